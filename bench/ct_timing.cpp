// Statistical timing study of the operations on secret scalars (in the
// manner of dudect): each measurement times one call on either a fixed input
// (class 0) or a fresh random one (class 1), the class drawn at random for
// every measurement so that drifts of the machine hit both alike. A Welch
// t-test compares the two classes' cycle counts, on all measurements and on
// those below a series of percentiles (long tails from interrupts otherwise
// hide small differences). |t| above about 4.5 says the timing depends on
// the input; below it, no dependence was detected with this many samples.
//
// Studied: fixed-base multiplication (the table of B, as key_gen and the
// ciphertexts use it), variable-base multiplication (decrypt, finish,
// randomize), the reduction of 64 random bytes to a scalar, and the
// conversion of a secret multiple r B to uniform point bytes. A control that
// branches on the scalar's bits must show a large |t|.
//
// Usage: ct_timing [measurements per study] (default 200000). Prints figures;
// it is not a test and never fails on them.
#include "bench/welch.hpp"
#include <x86intrin.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "edwards25519/point.hpp"
#include "edwards25519/scalar.hpp"
#include "edwards25519/table.hpp"
#include "src/point_conversion.hpp"
#include "support/rng.hpp"

namespace {

using edwards25519::EdwardsPoint;
using edwards25519::Scalar;
using edwards25519::random_scalar;

using bench::cycles;
using bench::Welch;

struct Result {
    double t_all, t_max_cropped, median_cycles;
    double cropped_at;  // the percentile of the crop with the largest |t|
};

// `run(i)` performs measurement i's call on the input prepared for it.
Result study(std::size_t count, const std::vector<int>& classes, const std::function<void(std::size_t)>& run) {
    std::vector<std::uint64_t> times(count);
    for (std::size_t i = 0; i < std::min<std::size_t>(count, 2000); ++i) run(i);  // warm caches and tables
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t start = cycles();
        run(i);
        times[i] = cycles() - start;
    }
    // Drop the first tenth: caches and frequency settle.
    const std::size_t first = count / 10;
    std::vector<std::uint64_t> sorted(times.begin() + static_cast<std::ptrdiff_t>(first), times.end());
    std::sort(sorted.begin(), sorted.end());
    // Crops at the percentiles 1 - 0.5^(10 (k + 1) / 100), k = 0..99, as dudect.
    std::vector<double> percentiles;
    for (int k = 0; k < 100; k += 5) percentiles.push_back(1.0 - std::pow(0.5, 10.0 * (k + 1) / 100.0));
    std::vector<std::uint64_t> thresholds;
    for (double p : percentiles) thresholds.push_back(sorted[static_cast<std::size_t>(p * static_cast<double>(sorted.size() - 1))]);
    Welch all;
    std::vector<Welch> cropped(thresholds.size());
    for (std::size_t i = first; i < count; ++i) {
        const double x = static_cast<double>(times[i]);
        all.add(classes[i], x);
        for (std::size_t c = 0; c < thresholds.size(); ++c)
            if (times[i] <= thresholds[c]) cropped[c].add(classes[i], x);
    }
    Result r{all.t(), 0, static_cast<double>(sorted[sorted.size() / 2]), 0};
    for (std::size_t c = 0; c < cropped.size(); ++c) {
        if (std::fabs(cropped[c].t()) > std::fabs(r.t_max_cropped)) {
            r.t_max_cropped = cropped[c].t();
            r.cropped_at = percentiles[c];
        }
    }
    return r;
}

void print(const char* name, std::size_t count, const Result& r) {
    const double worst = std::max(std::fabs(r.t_all), std::fabs(r.t_max_cropped));
    std::printf("%-44s n=%zu  median %7.0f cycles  t(all) %+7.2f  max|t| over crops %6.2f (at p%.3f)  %s\n", name,
                count, r.median_cycles, r.t_all, std::fabs(r.t_max_cropped), r.cropped_at,
                worst < 4.5 ? "no leak detected" : "TIMING DEPENDS ON THE INPUT");
    std::fflush(stdout);
}


std::vector<int> draw_classes(std::size_t count) {
    std::vector<int> classes(count);
    for (auto& c : classes) c = static_cast<int>(support::random_u32() & 1);
    return classes;
}

// A deliberately leaky double-and-add: it adds only for the scalar's set bits.
__attribute__((noinline)) EdwardsPoint leaky_mul(const EdwardsPoint& p, const Scalar& s) {
    EdwardsPoint q = EdwardsPoint::identity();
    const auto& bytes = s.to_bytes();
    for (int bit = 254; bit >= 0; --bit) {
        q = q.double_point();
        if ((bytes[static_cast<std::size_t>(bit / 8)] >> (bit % 8)) & 1) q = q + p;
    }
    return q;
}

volatile std::uint8_t sink;

void consume(const EdwardsPoint& p) { sink = static_cast<std::uint8_t>(sink ^ p.X.v[0] ^ p.Y.v[1]); }

}  // namespace

int main(int argc, char** argv) {
    const std::size_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 200000;
    if (count < 1000) {
        std::fprintf(stderr, "ct_timing: give at least 1000 measurements\n");
        return 2;
    }
    std::printf("Welch t-test, fixed input (class 0) against random inputs (class 1), classes interleaved at random;\n"
                "|t| < 4.5: no dependence of the time on the input detected.\n");

    const auto& table = edwards25519::ED25519_BASEPOINT_TABLE();
    const EdwardsPoint base = EdwardsPoint::basepoint();
    const EdwardsPoint other = table.mul(random_scalar());

    // Scalars for the multiplications: class 0 is the zero scalar (every
    // digit selects the identity), class 1 a fresh random scalar.
    {
        const std::vector<int> classes = draw_classes(count);
        std::vector<Scalar> scalars(count);
        for (std::size_t i = 0; i < count; ++i) scalars[i] = classes[i] == 0 ? Scalar() : random_scalar();
        print("fixed-base mul (table of B), fixed 0", count,
              study(count, classes, [&](std::size_t i) { consume(table.mul(scalars[i])); }));
        print("variable-base mul, fixed 0", count,
              study(count, classes, [&](std::size_t i) { consume(other.mul(scalars[i])); }));
    }
    // The same with an unreduced all-ones fixed key (2^255 - 1), the largest
    // a secret-key reader accepts.
    {
        std::uint8_t ones[32];
        for (auto& b : ones) b = 0xff;
        const Scalar big = Scalar::from_bits(ones);
        const std::vector<int> classes = draw_classes(count);
        std::vector<Scalar> scalars(count);
        for (std::size_t i = 0; i < count; ++i) scalars[i] = classes[i] == 0 ? big : random_scalar();
        print("fixed-base mul (table of B), fixed 2^255-1", count,
              study(count, classes, [&](std::size_t i) { consume(table.mul(scalars[i])); }));
        print("variable-base mul, fixed 2^255-1", count,
              study(count, classes, [&](std::size_t i) { consume(other.mul(scalars[i])); }));
    }
    // Reduction of 64 random bytes to a scalar: class 0 all zero bytes.
    {
        const std::vector<int> classes = draw_classes(count);
        std::vector<std::array<std::uint8_t, 64>> wides(count);
        for (std::size_t i = 0; i < count; ++i) {
            if (classes[i] == 0) wides[i].fill(0);
            else support::random_bytes(wides[i]);
        }
        print("scalar from 64 bytes mod l, fixed 0", count, study(count, classes, [&](std::size_t i) {
                  sink = static_cast<std::uint8_t>(sink ^ Scalar::from_bytes_mod_order_wide(wides[i].data()).to_bytes()[0]);
              }));
    }
    // Uniform point bytes of r B for a secret r, over points that have a
    // representative (the others are discarded, which the retry shows anyway):
    // class 0 one fixed such point, class 1 fresh ones; the choice bit random.
    {
        const std::vector<int> classes = draw_classes(count);
        auto has_representative = [](const EdwardsPoint& p) {
            return ostrelline::point_conversion::point_to_uniform_bytes(p, 0).has_value();
        };
        EdwardsPoint fixed_point = table.mul(random_scalar());
        while (!has_representative(fixed_point)) fixed_point = table.mul(random_scalar());
        std::vector<EdwardsPoint> points(count);
        std::vector<std::uint8_t> bits(count);
        for (std::size_t i = 0; i < count; ++i) {
            bits[i] = static_cast<std::uint8_t>(support::random_u32() & 1);
            if (classes[i] == 0) {
                points[i] = fixed_point;
                continue;
            }
            do points[i] = table.mul(random_scalar());
            while (!has_representative(points[i]));
        }
        print("point_to_uniform_bytes of r B, fixed point", count, study(count, classes, [&](std::size_t i) {
                  auto out = ostrelline::point_conversion::point_to_uniform_bytes(points[i], bits[i]);
                  sink = static_cast<std::uint8_t>(sink ^ (*out)[0]);
              }));
    }
    // The control: branching on the scalar's bits, fixed scalar 1 (one set bit).
    {
        const std::size_t control_count = std::min<std::size_t>(count, 20000);
        const std::vector<int> classes = draw_classes(control_count);
        std::uint8_t one[32] = {1};
        const Scalar small = Scalar::from_bits(one);
        std::vector<Scalar> scalars(control_count);
        for (std::size_t i = 0; i < control_count; ++i) scalars[i] = classes[i] == 0 ? small : random_scalar();
        print("control: double-and-add branching on bits", control_count,
              study(control_count, classes, [&](std::size_t i) { consume(leaky_mul(base, scalars[i])); }));
    }
    return 0;
}
