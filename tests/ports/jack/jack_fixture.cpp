#include "jack_fixture.h"

#include <gtest/gtest-spi.h>

#include <QCoreApplication>

#include <cstdio>
#include <cstring>
#include <string>
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

// A case gets more runs while it has had fewer than this many and this much
// time has passed since it began; a run that starts is always finished.
constexpr int kMostRuns = 8;
constexpr std::chrono::seconds kRunsStartWithin{60};

bool excusableByXruns(const ::testing::TestPartResult& result) {
    return std::strstr(result.message(), kNotExcusedByXruns) == nullptr;
}

void report(const ::testing::TestPartResult& result) {
    ADD_FAILURE_AT(result.file_name() != nullptr ? result.file_name() : "?", result.line_number())
        << result.message();
}

}  // namespace

void JackTest::SetUp() {
    if (!programInPath("jackd")) {
        std::fprintf(stderr,
                     "\n*** jackd is not installed: this JACK test is SKIPPED, not passed ***\n\n");
        GTEST_SKIP() << "jackd is not installed";
    }
    server_ = std::make_unique<JackServer>(JackServer::uniqueName(0), testPeriodFrames());
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
    const auto began = std::chrono::steady_clock::now();
    std::string voided;
    for (int run = 1;; ++run) {
        // A run that killed the server on purpose and then does not count
        // leaves the next one without it.
        if (!server_->running() && !startServerAgain()) {
            ADD_FAILURE() << "jackd did not come up again for run " << run << ":\n"
                          << server_->log();
            return;
        }
        const std::uint64_t before = serverXruns();
        runStartXruns_ = before;
        timingSensitive_ = true;
        ::testing::TestPartResultArray results;
        {
            const CpuKeepAwake awake;
            ::testing::ScopedFakeTestPartResultReporter intercept(
                ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD,
                &results);
            body();
        }
        const std::uint64_t xruns = (timingSensitive_ ? serverXruns() : xrunsBeforeEnd_) - before;
        bool notExcused = false;
        int setAside = 0;
        std::string firstSetAside;
        for (int index = 0; index < results.size(); ++index) {
            const auto& result = results.GetTestPartResult(index);
            if (!result.failed()) {
                continue;
            }
            if (xruns == 0 || !excusableByXruns(result)) {
                report(result);
                notExcused = true;
            } else if (setAside++ == 0) {
                const std::string message = result.message();
                firstSetAside =
                    std::string(result.file_name() != nullptr ? result.file_name() : "?") + ':' +
                    std::to_string(result.line_number()) + ' ' +
                    message.substr(0, message.find('\n'));
            }
        }
        if (xruns == 0 || notExcused) {
            return;
        }
        voided += (voided.empty() ? "" : ", ") + std::to_string(xruns);
        const bool again =
            run < kMostRuns && std::chrono::steady_clock::now() - began < kRunsStartWithin;
        const std::string checks =
            setAside == 0
                ? std::string("its checks all passed")
                : std::to_string(setAside) + " failure(s) set aside, the first: " + firstSetAside;
        std::printf(
            "[  XRUN    ] the server reported %llu xrun(s) during run %d of this case (%s)%s\n",
            static_cast<unsigned long long>(xruns), run, checks.c_str(),
            again ? "; it does not count, running it again" : "");
        std::fflush(stdout);
        if (!again) {
            ADD_FAILURE() << "No run of this case was free of xruns (xruns per run: " << voided
                          << "), so none of them counts. This machine misses real-time "
                             "deadlines too often for the JACK tests; see RELIABILITY.md.";
            return;
        }
    }
}

::testing::AssertionResult arrivedInOrder(const std::vector<WireMessage>& sent,
                                          const std::vector<WireMessage>& received) {
    if (const auto departure = departureFromOrder(sent, received)) {
        return ::testing::AssertionFailure() << kNotExcusedByXruns << *departure;
    }
    if (received.size() != sent.size()) {
        return ::testing::AssertionFailure()
               << received.size() << " of " << sent.size() << " messages arrived, in order";
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult releasedAsOwed(const std::set<std::vector<std::uint8_t>>& owed,
                                          const std::vector<WireMessage>& released) {
    std::set<std::vector<std::uint8_t>> seen;
    for (const auto& message : released) {
        const auto bytes = message.view();
        std::vector<std::uint8_t> key(bytes.begin(), bytes.end());
        if (owed.count(key) == 0 || !seen.insert(key).second) {
            return ::testing::AssertionFailure()
                   << kNotExcusedByXruns << "[" << hexBytes(message) << "] was "
                   << (owed.count(key) == 0 ? "not owed" : "released twice");
        }
    }
    if (seen.size() != owed.size()) {
        return ::testing::AssertionFailure()
               << seen.size() << " of the " << owed.size() << " Note Offs owed arrived";
    }
    return ::testing::AssertionSuccess();
}

}  // namespace keyflip::jacktest
