// A dudect-style timing check of the batch backends' multiplications, for
// every backend this CPU runs: each call is timed with the time-stamp
// counter, the inputs alternating at random between two classes of secret
// scalars (all lanes zero, whose digits are all 0, against fresh random
// scalars), and Welch's t statistic of the two timing distributions is
// printed, for all samples and for the samples below several percentiles
// (which drops interrupts and other outliers). |t| above about 10 after many
// samples would point to a timing difference that depends on the secret;
// small values are what constant-time code gives.
//
//   batch_timing [samples per test [backend]]   (default 20000, every backend)
#include "bench/welch.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "edwards25519/batch/backend.hpp"
#include "edwards25519/table.hpp"
#include "edwards25519/tests/group_kernels/group_kernels.hpp"
#include "src/ciphertexts.hpp"
#include "support/rng.hpp"

namespace {

namespace b = edwards25519::batch;
using edwards25519::EdwardsPoint;
using edwards25519::Scalar;
using Scalars = std::array<Scalar, b::kMaxLanes>;

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
    std::printf("  %-34s median %9.0f cycles  t:", name, sorted[samples / 2]);
    for (double percentile : {1.0, 0.9, 0.5}) {
        const double limit =
            sorted[std::min(samples - 1, static_cast<std::size_t>(percentile * static_cast<double>(samples - 1)))];
        Welch w;
        for (std::size_t i = 0; i < samples; ++i) {
            if (times[i] <= limit) w.add(classes[i], times[i]);
        }
        std::printf("  %5.2f (<= p%.0f)", w.t(), percentile * 100);
    }
    std::printf("\n");
    std::fflush(stdout);
}

void check_backend(b::Isa isa, std::size_t samples) {
    const b::GroupKernels& k = b::group_kernels(isa);
    // Class 0: every lane's scalar is zero. Class 1: fresh random scalars,
    // a new set for every sample, drawn before the timing starts.
    std::vector<Scalars> random_sets(samples);
    for (Scalars& set : random_sets) {
        for (Scalar& s : set) s = ostrelline::random_scalar();
    }
    const Scalars zeros{};
    std::array<EdwardsPoint, b::kMaxLanes> points;
    for (EdwardsPoint& p : points) p = edwards25519::ED25519_BASEPOINT_TABLE().mul(ostrelline::random_scalar());
    std::array<EdwardsPoint, b::kMaxLanes> out;
    volatile std::uint8_t sink = 0;
    Scalars input{};
    const auto prepare = [&](int cls, std::size_t i) { input = cls == 0 ? zeros : random_sets[i]; };
    const auto keep = [&] { sink = static_cast<std::uint8_t>(sink + out[0].compress().bytes[0]); };

    std::printf("%s (%zu lanes)\n", b::isa_name(isa), k.lanes);
    check("fixed base, scalar per lane", samples, prepare, [&] { k.mul_basepoint(input.data(), out.data()); });
    keep();
    check("variable base, scalar per lane", samples, prepare,
          [&] { k.mul(points.data(), input.data(), false, out.data()); });
    keep();
    check("variable base, one shared scalar", samples, prepare,
          [&] { k.mul(points.data(), input.data(), true, out.data()); });
    keep();
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t samples = argc > 1 ? static_cast<std::size_t>(std::max(100, std::atoi(argv[1]))) : 20000;
    const char* only = argc > 2 ? argv[2] : nullptr;
#if defined(OSTRELLINE_SIMD_EMULATION)
    std::printf("this build EMULATES the vector instructions: the timings are those of the emulation\n");
#endif
    std::printf("%zu samples per test; classes: all-zero scalars against random scalars\n", samples);
    bool any = false;
    for (b::Isa isa : b::kAllIsas) {
        if (!b::supported(isa) || (only != nullptr && std::strcmp(only, b::isa_name(isa)) != 0)) continue;
        check_backend(isa, samples);
        any = true;
    }
    if (!any) {
        std::printf("no backend to measure%s%s\n", only != nullptr ? " named " : "", only != nullptr ? only : "");
        return 1;
    }
    return 0;
}
