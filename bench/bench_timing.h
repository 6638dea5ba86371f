// bench_timing.h: the timing helper the benchmarks share.
#pragma once

#include <chrono>
#include <functional>

namespace vxbench {

using Clock = std::chrono::steady_clock;

// Best of `rounds` after one warm-up; returns seconds for one call of `work`.
inline double BestSeconds(const std::function<void()>& work, int rounds) {
    work();
    double best = 1e30;
    for (int i = 0; i < rounds; ++i) {
        const auto start = Clock::now();
        work();
        const double s = std::chrono::duration<double>(Clock::now() - start).count();
        if (s < best) best = s;
    }
    return best;
}

}  // namespace vxbench
