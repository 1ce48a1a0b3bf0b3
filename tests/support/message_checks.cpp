#include "message_checks.h"

#include <gtest/gtest-spi.h>
#if defined(__linux__)
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace keyflip::checks {

namespace {

constexpr int kMostRuns = 8;
constexpr std::chrono::seconds kRunsStartWithin{60};

bool excusableByXruns(const ::testing::TestPartResult& result) {
    return std::strstr(result.message(), kNotExcusedByXruns) == nullptr;
}

std::string whereAndWhat(const ::testing::TestPartResult& result) {
    const std::string message = result.message();
    return std::string(result.file_name() != nullptr ? result.file_name() : "?") + ':' +
           std::to_string(result.line_number()) + ' ' + message.substr(0, message.find('\n'));
}

void report(const ::testing::TestPartResult& result) {
    ADD_FAILURE_AT(result.file_name() != nullptr ? result.file_name() : "?", result.line_number())
        << result.message();
}

}  // namespace

std::vector<WireMessage> mixedMessages(std::size_t count) {
    struct Kind {
        std::uint8_t status;
        std::uint8_t size;
        bool channel;
    };
    static constexpr std::array<Kind, 10> kKinds{{{0x90, 3, true},
                                                  {0x80, 3, true},
                                                  {0xA0, 3, true},
                                                  {0xB0, 3, true},
                                                  {0xC0, 2, true},
                                                  {0xD0, 2, true},
                                                  {0xE0, 3, true},
                                                  {0xF8, 1, false},
                                                  {0xF3, 2, false},
                                                  {0xF2, 3, false}}};
    std::vector<WireMessage> messages;
    messages.reserve(count);
    for (std::size_t index = 0; index < count; ++index) {
        const Kind& kind = kKinds[index % kKinds.size()];
        WireMessage message;
        message.size = kind.size;
        const auto channel = static_cast<std::uint8_t>((index / kKinds.size()) % 16);
        message.bytes[0] = static_cast<std::uint8_t>(kind.status | (kind.channel ? channel : 0));
        message.bytes[1] = kind.size > 1 ? static_cast<std::uint8_t>((index * 7) % 128) : 0;
        message.bytes[2] = kind.size > 2 ? static_cast<std::uint8_t>((index / 3 + 1) % 128) : 0;
        messages.push_back(message);
    }
    return messages;
}

std::string hexBytes(const WireMessage& message) {
    std::string text;
    char digits[4];
    for (const auto byte : message.view()) {
        std::snprintf(digits, sizeof digits, "%02x", byte);
        if (!text.empty()) {
            text += ' ';
        }
        text += digits;
    }
    return text;
}

std::optional<std::string> departureFromOrder(const std::vector<WireMessage>& sent,
                                              const std::vector<WireMessage>& received) {
    std::size_t next = 0;
    for (std::size_t index = 0; index < received.size(); ++index) {
        std::size_t match = next;
        while (match < sent.size() && !(sent[match] == received[index])) {
            ++match;
        }
        if (match == sent.size()) {
            std::string text = "received message " + std::to_string(index) + " [" +
                               hexBytes(received[index]) + "] is not one still to come in order";
            if (next < sent.size()) {
                text += " (the next sent one still to come is number " + std::to_string(next) +
                        ", [" + hexBytes(sent[next]) + "])";
            } else {
                text += " (every sent message had arrived already)";
            }
            return text;
        }
        next = match + 1;
    }
    return std::nullopt;
}

CpuKeepAwake::CpuKeepAwake() {
    // Under ThreadSanitizer every load the spinners make goes through its
    // runtime, which slows the threads that matter more than a halted CPU
    // ever would. Only Linux lets a thread take the lowest weight; elsewhere
    // spinners would compete with the threads under test.
#if defined(__linux__)
    if (kUnderThreadSanitizer) {
        return;
    }
    const unsigned int cpus = std::max(1u, std::thread::hardware_concurrency());
    for (unsigned int cpu = 0; cpu < cpus; ++cpu) {
        spinners_.emplace_back([this] {
            // The lowest weight a normal thread can have: it runs only when
            // nothing else on its CPU wants to.
            ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 19);
            while (!stop_.load(std::memory_order_relaxed)) {
            }
        });
    }
#endif
}

CpuKeepAwake::~CpuKeepAwake() {
    stop_.store(true, std::memory_order_relaxed);
    for (auto& spinner : spinners_) {
        spinner.join();
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

void runUntilClean(const std::function<void()>& body, const RunHooks& hooks) {
    const auto began = std::chrono::steady_clock::now();
    std::string voided;
    for (int run = 1;; ++run) {
        if (!hooks.beforeRun(run)) {
            return;
        }
        ::testing::TestPartResultArray results;
        {
            const CpuKeepAwake awake;
            ::testing::ScopedFakeTestPartResultReporter intercept(
                ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD,
                &results);
            body();
        }
        const std::uint64_t xruns = hooks.xrunsInRun();
        bool notExcused = false;
        int setAside = 0;
        std::string firstSetAside;
        std::optional<std::string> skipped;
        for (int index = 0; index < results.size(); ++index) {
            const auto& result = results.GetTestPartResult(index);
            if (result.skipped() && !skipped) {
                skipped = result.message();
            }
            if (!result.failed()) {
                continue;
            }
            if (xruns == 0 || (!kXrunsExcuseEverything && !excusableByXruns(result))) {
                report(result);
                notExcused = true;
            } else if (setAside++ == 0) {
                firstSetAside = whereAndWhat(result);
            }
        }
        if (xruns == 0 || notExcused) {
            // A case that says why it cannot be passed here is skipped, not passed.
            if (skipped && !notExcused) {
                GTEST_SKIP() << *skipped;
            }
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
                             "deadlines too often for these tests; see RELIABILITY.md.";
            return;
        }
    }
}

}  // namespace keyflip::checks
