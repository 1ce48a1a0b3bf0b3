#pragma once

#include "backend_probes.h"
#include "jack_testkit.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <vector>

namespace keyflip::jacktest {

using checks::arrivedInOrder;
using checks::kNotExcusedByXruns;
using checks::pumpUntil;

// Every message in released is a Note Off that was owed, and none came
// twice: a wrong or doubled release is never excused. Owed Note Offs that
// did not arrive make a failure an xrun can excuse.
::testing::AssertionResult releasedAsOwed(const std::set<std::vector<std::uint8_t>>& owed,
                                          const std::vector<WireMessage>& released);

// Each test gets a private server of its own, started in SetUp and ended in
// TearDown. Without jackd on this machine the tests are skipped, loudly.
class JackTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs one case until a run of it sees no xrun (checks::runUntilClean);
    // a server that the last run killed on purpose is started again first.
    void runCase(const std::function<void()>& body);
    // True once the server has reported an xrun during the current run, so
    // a long wait can give up early: that run does not count anyway.
    bool xrunInThisRun() const { return xrunsInThisRun() > 0; }
    // From here on the run checks nothing that timing can spoil, and xruns no
    // longer void it: a client that is killed on purpose mid-period makes the
    // server report one.
    void endTimingSensitivePart();
    std::uint64_t xrunsInThisRun() const { return serverXruns() - runStartXruns_; }

    // The server goes (as a crash would, with SIGKILL, or politely) and comes
    // back under the same name. libjack frees every client of a dead server as
    // soon as this process opens a new one: close the test's own clients of
    // that server, once they have heard of its end, before anything opens a
    // client again.
    void stopServer(int signal);
    bool startServerAgain();

    JackServer& server() { return *server_; }
    std::uint64_t serverXruns() const;

private:
    bool startXrunWatch();

    std::unique_ptr<JackServer> server_;
    std::unique_ptr<JackClient> xrunWatch_;
    std::uint64_t earlierXruns_ = 0;  // counted by watch clients of stopped servers
    std::uint64_t runStartXruns_ = 0;
    bool timingSensitive_ = true;
    std::uint64_t xrunsBeforeEnd_ = 0;
};

}  // namespace keyflip::jacktest
