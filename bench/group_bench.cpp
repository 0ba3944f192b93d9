// Times the group layer against the reference library on the same inputs and
// prints the ratio ours / reference (below 1 is faster), plus field and table figures.
#include <sodium.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <vector>

#include "edwards25519/point.hpp"
#include "edwards25519/table.hpp"
#include "support/rng.hpp"

using namespace edwards25519;

namespace {

using Bytes = std::array<std::uint8_t, 32>;

volatile std::uint8_t g_sink;

// Mean time per call in nanoseconds of one round.
template <class F>
double round_ns(std::size_t iterations, F& f) {
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < iterations; ++i) f(i);
    const auto stop = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::nano>(stop - start).count() / double(iterations);
}

// The fastest of several rounds: on a shared machine the others only add
// time taken by other processes.
template <class F>
double time_ns(std::size_t iterations, F&& f) {
    double best = 1e300;
    for (int r = 0; r < 15; ++r) best = std::min(best, round_ns(iterations, f));
    return best;
}

// Ours and theirs in alternating rounds, so both see the same machine load.
template <class F, class G>
std::pair<double, double> time_pair(std::size_t iterations, F&& ours, G&& theirs) {
    double best_ours = 1e300, best_theirs = 1e300;
    for (int r = 0; r < 15; ++r) {
        best_ours = std::min(best_ours, round_ns(iterations, ours));
        best_theirs = std::min(best_theirs, round_ns(iterations, theirs));
    }
    return {best_ours, best_theirs};
}

void row(const char* name, double ours_ns, double theirs_ns) {
    std::printf("%-46s %10.2f us %10.2f us %8.3f\n", name, ours_ns / 1000, theirs_ns / 1000, ours_ns / theirs_ns);
}

}  // namespace

int main() {
    if (sodium_init() < 0) return 1;
    constexpr std::size_t kInputs = 64;
    std::vector<Scalar> scalars;
    std::vector<Bytes> points, others;
    for (std::size_t i = 0; i < kInputs; ++i) {
        scalars.push_back(random_scalar());
        Bytes a{}, b{};
        crypto_core_ed25519_random(a.data());
        crypto_core_ed25519_random(b.data());
        points.push_back(a);
        others.push_back(b);
    }
    const auto pick = [](std::size_t i) { return i % kInputs; };
    (void)ED25519_BASEPOINT_TABLE();

    std::printf("%-46s %13s %13s %8s\n", "operation", "ours", "reference", "ratio");
    Bytes out{};
    {
        const auto [ours, theirs] = time_pair(
            2000,
            [&](std::size_t i) {
                out = ED25519_BASEPOINT_TABLE().mul(scalars[pick(i)]).compress().bytes;
                g_sink = out[0];
            },
            [&](std::size_t i) {
            g_sink = static_cast<std::uint8_t>(
                crypto_scalarmult_ed25519_base_noclamp(out.data(), scalars[pick(i)].to_bytes().data()));
        });
        row("fixed-base mul + compress", ours, theirs);
    }
    {
        const auto [ours, theirs] = time_pair(
            1000,
            [&](std::size_t i) {
                const auto p = CompressedEdwardsY{points[pick(i)]}.decompress();
                out = p->mul(scalars[pick(i)]).compress().bytes;
                g_sink = out[0];
            },
            [&](std::size_t i) {
            g_sink = static_cast<std::uint8_t>(crypto_scalarmult_ed25519_noclamp(
                out.data(), scalars[pick(i)].to_bytes().data(), points[pick(i)].data()));
        });
        row("variable-base mul + decompress + compress", ours, theirs);
    }
    {
        const auto [ours, theirs] = time_pair(
            4000,
            [&](std::size_t i) {
                const auto p = CompressedEdwardsY{points[pick(i)]}.decompress();
                const auto q = CompressedEdwardsY{others[pick(i)]}.decompress();
                out = (*p + *q).compress().bytes;
                g_sink = out[0];
            },
            [&](std::size_t i) {
            g_sink = static_cast<std::uint8_t>(
                crypto_core_ed25519_add(out.data(), points[pick(i)].data(), others[pick(i)].data()));
        });
        row("add + decompress x2 + compress", ours, theirs);
    }

    std::printf("\n%-46s %13s\n", "ours only", "time");
    const EdwardsPoint arbitrary = *CompressedEdwardsY{points[0]}.decompress();
    const double build = time_ns(50, [&](std::size_t) {
        const EdwardsBasepointTable t(arbitrary);
        g_sink = static_cast<std::uint8_t>(t.base().X.v[0]);
    });
    std::printf("%-46s %10.2f us\n", "table construction (arbitrary point)", build / 1000);
    const EdwardsBasepointTable table(arbitrary);
    const double table_mul = time_ns(2000, [&](std::size_t i) {
        out = table.mul(scalars[pick(i)]).compress().bytes;
        g_sink = out[0];
    });
    std::printf("%-46s %10.2f us\n", "arbitrary-point table mul + compress", table_mul / 1000);

    FieldElement x = FieldElement::from_bytes(points[1]), y = FieldElement::from_bytes(points[2]);
    const double mul = time_ns(200000, [&](std::size_t) { x = x * y; });
    const double sq = time_ns(200000, [&](std::size_t) { x = x.square(); });
    const double inv = time_ns(5000, [&](std::size_t) { x = x.invert() + y; });
    const double sqrt = time_ns(5000, [&](std::size_t) { x = FieldElement::sqrt_ratio_i(x, y).second + y; });
    g_sink = x.to_bytes()[0];
    std::printf("%-46s %10.2f ns\n%-46s %10.2f ns\n%-46s %10.2f ns\n%-46s %10.2f ns\n", "field mul", mul,
                "field square", sq, "field invert", inv, "field sqrt_ratio_i", sqrt);
    return 0;
}
