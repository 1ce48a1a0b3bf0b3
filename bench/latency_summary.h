#pragma once

// The figures both benchmark chains print for a list of latencies.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

namespace keyflip::bench {

struct LatencySummary {
    std::size_t count = 0;
    double min = 0;
    double average = 0;
    double deviation = 0;  // the jitter
    double max = 0;
    std::vector<double> sorted;

    // The smallest latency at least a share q of them do not exceed.
    double quantile(double q) const {
        if (sorted.empty()) {
            return 0;
        }
        const auto index = static_cast<std::size_t>(std::ceil(q * static_cast<double>(count))) - 1;
        return sorted[std::min(index, count - 1)];
    }
};

inline LatencySummary summarize(std::vector<double> latencies) {
    LatencySummary summary;
    double sum = 0;
    double squares = 0;
    for (const double latency : latencies) {
        sum += latency;
        squares += latency * latency;
    }
    std::sort(latencies.begin(), latencies.end());
    summary.count = latencies.size();
    if (summary.count > 0) {
        const auto n = static_cast<double>(summary.count);
        summary.min = latencies.front();
        summary.max = latencies.back();
        summary.average = sum / n;
        summary.deviation =
            std::sqrt(std::max(0.0, squares / n - summary.average * summary.average));
    }
    summary.sorted = std::move(latencies);
    return summary;
}

}  // namespace keyflip::bench
