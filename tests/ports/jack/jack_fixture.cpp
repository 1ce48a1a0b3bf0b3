#include "jack_fixture.h"

#include <QCoreApplication>

#include <cstdio>
#include <string>
#include <thread>

namespace keyflip::jacktest {

void JackTest::SetUp() {
    if (!programInPath("jackd")) {
        std::fprintf(stderr,
                     "\n*** jackd is not installed: this JACK test is SKIPPED, not passed ***\n\n");
        GTEST_SKIP() << "jackd is not installed";
    }
    server_ = std::make_unique<JackServer>(testPeriodFrames());
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
    std::uint64_t before = 0;
    checks::runUntilClean(
        body, {[&](int run) {
                   // A run that killed the server on purpose and then did not
                   // count leaves the next one without it.
                   if (!server_->running() && !startServerAgain()) {
                       ADD_FAILURE() << "jackd did not come up again for run " << run << ":\n"
                                     << server_->log();
                       return false;
                   }
                   before = serverXruns();
                   runStartXruns_ = before;
                   timingSensitive_ = true;
                   return true;
               },
               [&] { return (timingSensitive_ ? serverXruns() : xrunsBeforeEnd_) - before; }});
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
