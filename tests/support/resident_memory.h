#pragma once

#include "message_checks.h"

#include <gtest/gtest.h>
#if defined(__linux__)
#include <unistd.h>
#endif

#include <fstream>

namespace keyflip::testing_support {

// The process's resident memory now, from /proc/self/statm; -1 when it cannot
// be read, and on systems without it.
inline long long residentBytes() {
#if defined(__linux__)
    std::ifstream statm("/proc/self/statm");
    long long sizePages = 0;
    long long residentPages = 0;
    if (!(statm >> sizePages >> residentPages)) {
        return -1;
    }
    return residentPages * ::sysconf(_SC_PAGESIZE);
#else
    return -1;
#endif
}

// How far the process's resident memory grows from the moment it is made.
class ResidentGrowth {
public:
    ResidentGrowth() : before_(residentBytes()) {}

    // ThreadSanitizer's own memory grows with every access the program makes,
    // so there the process's resident memory says nothing about the program's
    // own, and nothing is checked.
    void expectBelow(long long limit) const {
        if (checks::kUnderThreadSanitizer) {
            return;
        }
#if !defined(__linux__)
        GTEST_SKIP() << "resident memory is read from Linux's /proc only";
#endif
        const long long now = residentBytes();
        ASSERT_GT(before_, 0);
        ASSERT_GT(now, 0);
        EXPECT_LT(now - before_, limit);
    }
    long long bytes() const {
        return residentBytes() - before_;
    }

private:
    long long before_;
};

}  // namespace keyflip::testing_support
