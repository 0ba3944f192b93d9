// A dudect-style timing check of the batch backend's multiplications: each
// call is timed with the time-stamp counter, the inputs alternating at
// random between two classes of secret scalars (all lanes zero, whose digits
// are all 0, against fresh random scalars), and Welch's t statistic of the
// two timing distributions is printed, for all samples and for the samples
// below several percentiles (which drops interrupts and other outliers).
// |t| above about 10 after many samples would point to a timing difference
// that depends on the secret; small values are what constant-time code gives.
//
//   batch_timing [samples per test]   (default 20000)
#include "bench/welch.hpp"
#include <x86intrin.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "edwards25519/batch/batch.hpp"
#include "edwards25519/table.hpp"
#include "src/wide_ciphertexts.hpp"
#include "support/rng.hpp"

namespace {

namespace b = edwards25519::batch;
using edwards25519::Scalar;
using Scalars = std::array<Scalar, b::kLanes>;

using bench::cycles;
using bench::Welch;

// Per sample: `prepare(cls, i)` outside the timing (it copies the sample's
// scalars into one fixed buffer, so that both classes are read from the same
// cached memory), then `call()` timed. Prints t.
template <class P, class F>
void check(const char* name, std::size_t samples, P&& prepare, F&& call) {
    std::vector<int> classes(samples);
    std::vector<double> times(samples);
    for (std::size_t i = 0; i < samples; ++i) classes[i] = static_cast<int>(support::random_u32() & 1);
    for (std::size_t i = 0; i < samples; ++i) {
        prepare(classes[i], i);
        const std::uint64_t start = cycles();
        call();
        times[i] = static_cast<double>(cycles() - start);
    }
    std::vector<double> sorted = times;
    std::sort(sorted.begin(), sorted.end());
    std::printf("%-40s median %9.0f cycles  t:", name, sorted[samples / 2]);
    for (double percentile : {1.0, 0.9, 0.5}) {
        const double limit = sorted[std::min(samples - 1, static_cast<std::size_t>(percentile * static_cast<double>(samples - 1)))];
        Welch w;
        for (std::size_t i = 0; i < samples; ++i) {
            if (times[i] <= limit) w.add(classes[i], times[i]);
        }
        std::printf("  %5.2f (<= p%.0f)", w.t(), percentile * 100);
    }
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t samples = argc > 1 ? static_cast<std::size_t>(std::max(100, std::atoi(argv[1]))) : 20000;
    if (!b::available()) {
        std::printf("no AVX-512 IFMA on this CPU: nothing to measure\n");
        return 0;
    }
    // Class 0: every lane's scalar is zero. Class 1: fresh random scalars,
    // a new set for every sample, drawn before the timing starts.
    std::vector<Scalars> random_sets(samples);
    for (Scalars& set : random_sets) {
        for (Scalar& s : set) s = ostrelline::random_scalar();
    }
    const Scalars zeros{};
    std::array<edwards25519::EdwardsPoint, b::kLanes> lanes;
    for (auto& p : lanes) p = edwards25519::ED25519_BASEPOINT_TABLE().mul(ostrelline::random_scalar());
    const b::PointBatch points = b::point_from_lanes(lanes);
    const b::BatchBasepointTable& table = b::batch_basepoint_table();
    volatile std::uint64_t sink = 0;
    Scalars input{};
    const auto prepare = [&](int cls, std::size_t i) { input = cls == 0 ? zeros : random_sets[i]; };

    std::printf("%zu samples per test; classes: all-zero scalars against random scalars\n", samples);
    check("fixed base, scalar per lane", samples, prepare, [&] { sink = sink + table.mul(input).X.limb[0][0]; });
    check("variable base, scalar per lane", samples, prepare, [&] { sink = sink + b::mul(points, input).X.limb[0][0]; });
    check("variable base, one shared scalar", samples, prepare,
          [&] { sink = sink + b::mul(points, input[0]).X.limb[0][0]; });
    return 0;
}
