#include "jack_fixture.h"

#include <gtest/gtest-spi.h>

#include <QCoreApplication>

#include <cstdio>
#include <thread>

namespace keyflip::jacktest {

bool pumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (pred()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds{200});
    }
}

namespace {

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool kUnderSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
constexpr bool kUnderSanitizer = true;
#else
constexpr bool kUnderSanitizer = false;
#endif
#else
constexpr bool kUnderSanitizer = false;
#endif

// The sanitizers make every callback several times slower (and
// ThreadSanitizer now and then stops all threads for a while); a longer
// period keeps most of that from turning into xruns, which would make every
// run of a case void.
constexpr std::uint32_t kPeriodFrames = kUnderSanitizer ? 2048 : JackServer::kPeriodFrames;

}  // namespace

void JackTest::SetUp() {
    if (!programInPath("jackd")) {
        std::fprintf(stderr,
                     "\n*** jackd is not installed: this JACK test is SKIPPED, not passed ***\n\n");
        GTEST_SKIP() << "jackd is not installed";
    }
    server_ = std::make_unique<JackServer>(JackServer::uniqueName(0), kPeriodFrames);
    ASSERT_TRUE(server_->start()) << "jackd did not come up:\n" << server_->log();
    ASSERT_TRUE(startXrunWatch()) << "status " << xrunWatch_->openStatus() << ", server said:\n"
                                  << server_->log();
}

bool JackTest::startXrunWatch() {
    xrunWatch_ = std::make_unique<JackClient>("xrun-watch");
    return xrunWatch_->ok() && jack_activate(xrunWatch_->get()) == 0;
}

void JackTest::TearDown() {
    xrunWatch_.reset();
    server_.reset();
}

std::uint64_t JackTest::serverXruns() const {
    return earlierXruns_ + (xrunWatch_ != nullptr ? xrunWatch_->xruns() : 0);
}

void JackTest::stopServer(int signal) {
    server_->stop(signal);
    // libjack frees the clients of a dead server the next time any client of
    // this process opens, so a dead handle must be closed before that; and
    // only once libjack has said so (see JackClient).
    if (xrunWatch_ != nullptr) {
        pollUntil([this] { return xrunWatch_->serverWentAway(); }, std::chrono::milliseconds{5000});
        earlierXruns_ += xrunWatch_->xruns();
        xrunWatch_.reset();
    }
}

bool JackTest::startServerAgain() {
    if (!server_->start()) {
        std::printf("jackd did not come up again:\n%s\n", server_->log().c_str());
        return false;
    }
    if (!startXrunWatch()) {
        std::printf("status %d, server said:\n%s\n", static_cast<int>(xrunWatch_->openStatus()),
                    server_->log().c_str());
        return false;
    }
    return true;
}

void JackTest::endTimingSensitivePart() {
    timingSensitive_ = false;
    xrunsBeforeEnd_ = serverXruns();
}

void JackTest::runCase(const std::function<void()>& body) {
    for (int attempt = 1; attempt <= 2; ++attempt) {
        const std::uint64_t before = serverXruns();
        runStartXruns_ = before;
        timingSensitive_ = true;
        ::testing::TestPartResultArray results;
        {
            ::testing::ScopedFakeTestPartResultReporter intercept(
                ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD,
                &results);
            body();
        }
        const std::uint64_t xruns = (timingSensitive_ ? serverXruns() : xrunsBeforeEnd_) - before;
        if (xruns == 0) {
            for (int index = 0; index < results.size(); ++index) {
                const auto& result = results.GetTestPartResult(index);
                if (result.failed()) {
                    ADD_FAILURE_AT(result.file_name() != nullptr ? result.file_name() : "?",
                                   result.line_number())
                        << result.message();
                }
            }
            return;
        }
        std::printf("[  XRUN    ] the server reported %llu xrun(s) during run %d of this case%s\n",
                    static_cast<unsigned long long>(xruns), attempt,
                    attempt == 1 ? "; running it again" : "");
    }
    ADD_FAILURE() << "The server reported xruns during both runs of this case, so neither counts.";
}

}  // namespace keyflip::jacktest
