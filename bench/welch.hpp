// Shared pieces of the timing studies: a serialised cycle counter and Welch's
// t statistic of two classes of measurements, by running sums.
#pragma once

#include <x86intrin.h>

#include <cmath>
#include <cstdint>

namespace bench {

inline std::uint64_t cycles() {
    _mm_lfence();
    const std::uint64_t t = __rdtsc();
    _mm_lfence();
    return t;
}

struct Welch {
    double n[2] = {0, 0}, mean[2] = {0, 0}, m2[2] = {0, 0};

    void add(int cls, double x) {
        n[cls] += 1;
        const double delta = x - mean[cls];
        mean[cls] += delta / n[cls];
        m2[cls] += delta * (x - mean[cls]);
    }
    double t() const {
        if (n[0] < 2 || n[1] < 2) return 0;
        const double v0 = m2[0] / (n[0] - 1), v1 = m2[1] / (n[1] - 1);
        return (mean[0] - mean[1]) / std::sqrt(v0 / n[0] + v1 / n[1]);
    }
};

}  // namespace bench
