#pragma once

#include "message_checks.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

namespace keyflip::testing_support {

// The process's resident memory now, from /proc/self/statm; -1 when it cannot
// be read.
inline long long residentBytes() {
    std::ifstream statm("/proc/self/statm");
    long long sizePages = 0;
    long long residentPages = 0;
    if (!(statm >> sizePages >> residentPages)) {
        return -1;
    }
    return residentPages * ::sysconf(_SC_PAGESIZE);
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
        const long long now = residentBytes();
        ASSERT_GT(before_, 0);
        ASSERT_GT(now, 0);
        EXPECT_LT(now - before_, limit);
    }
    long long bytes() const { return residentBytes() - before_; }

private:
    long long before_;
};

}  // namespace keyflip::testing_support
