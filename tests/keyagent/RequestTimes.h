// Requests timed one by one, for make benchmark: how many per second, and
// the median and 99th percentile of their latency.
#ifndef KEYAGENT_REQUESTTIMES_H
#define KEYAGENT_REQUESTTIMES_H

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

class RequestTimes {
public:
    // Runs request until seconds have passed; false when one failed.
    template <class Request>
    bool run(double seconds, Request request) {
        using Clock = std::chrono::steady_clock;
        Clock::time_point start = Clock::now(), last = start;
        do {
            if (!request()) return false;
            Clock::time_point now = Clock::now();
            latencies_.push_back(std::chrono::duration<double>(now - last).count());
            last = now;
        } while (std::chrono::duration<double>(last - start).count() < seconds);
        elapsed_ = std::chrono::duration<double>(last - start).count();
        return true;
    }

    // "per-second median-ms p99-ms", the form tools/agent-benchmark.sh reads.
    void print() {
        std::sort(latencies_.begin(), latencies_.end());
        std::printf("%.1f %.3f %.3f\n", double(latencies_.size()) / elapsed_, 1000 * at(0.5), 1000 * at(0.99));
    }

private:
    double at(double fraction) const {
        std::size_t i = std::size_t(fraction * double(latencies_.size() - 1) + 0.5);
        return latencies_[i];
    }
    std::vector<double> latencies_;
    double elapsed_ = 0;
};

#endif
