// Timing of the lane fields' products, squares and inversions per element,
// shared by the benchmark's translation units (one per instruction set).
// Everything but the declarations of the per-backend entry points has
// internal linkage: the units are compiled for different instruction sets
// and must not share code.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <ctime>

#include "edwards25519/batch/engine.hpp"
#include "edwards25519/field.hpp"

namespace lane_field_bench {

// Nanoseconds per element.
struct Figures {
    const char* name;
    std::size_t lanes;
    double mul;           // four independent products in flight
    double mul_chain;     // each product waits for the one before
    double square;
    double square_chain;
    double invert;        // the engine's z^(p-2): 254 squarings and 11 products in a chain
};

// Defined in the unit of each backend; call only where the CPU runs it.
Figures avx2();
Figures avx2x8();
Figures avx512f();

namespace {

double thread_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// CPU seconds of the fastest of fifteen runs: on a shared machine the slower
// runs only add time lost to other processes.
template <class Fn>
double best_seconds(Fn&& fn) {
    double best = 1e300;
    for (int r = 0; r < 15; ++r) {
        const double start = thread_seconds();
        fn();
        best = std::min(best, thread_seconds() - start);
    }
    return best;
}

// Lane i of the inputs: a fixed odd-looking value per lane, so that no
// lane is trivially small.
template <class F>
typename F::Element inputs(std::uint64_t seed) {
    edwards25519::FieldElement lanes[F::kLanes];
    for (std::size_t i = 0; i < F::kLanes; ++i) {
        std::uint8_t bytes[32];
        std::uint64_t x = seed * 0x9e3779b97f4a7c15u + i;
        for (auto& b : bytes) {
            x ^= x >> 29;
            x *= 0xbf58476d1ce4e5b9u;
            b = static_cast<std::uint8_t>(x >> 56);
        }
        lanes[i] = edwards25519::FieldElement::from_bytes(bytes);
    }
    return F::from_lanes(lanes);
}

template <class F>
Figures measure(const char* name = F::name()) {
    using E = typename F::Element;
    constexpr int kSteps = 20000;
    constexpr double kElements = static_cast<double>(kSteps) * F::kLanes;
    const E y = inputs<F>(1);
    E x[4] = {inputs<F>(2), inputs<F>(3), inputs<F>(4), inputs<F>(5)};
    edwards25519::FieldElement sink[F::kLanes];
    const auto four = [&](auto op) {
        return best_seconds([&] {
                   for (int s = 0; s < kSteps; ++s) {
                       for (E& xi : x) xi = op(xi);
                   }
               }) * 1e9 / (4 * kElements);
    };
    const auto chain = [&](auto op) {
        return best_seconds([&] {
                   for (int s = 0; s < kSteps; ++s) x[0] = op(x[0]);
               }) * 1e9 / kElements;
    };
    Figures f{};
    f.name = name;
    f.lanes = F::kLanes;
    f.mul = four([&](const E& a) { return F::mul(a, y); });
    f.mul_chain = chain([&](const E& a) { return F::mul(a, y); });
    f.square = four([](const E& a) { return F::square(a); });
    f.square_chain = chain([](const E& a) { return F::square(a); });
    constexpr int kInversions = 200;
    f.invert = best_seconds([&] {
                   for (int s = 0; s < kInversions; ++s) x[1] = edwards25519::batch::engine::invert<F>(F::add(x[1], y));
               }) * 1e9 / (static_cast<double>(kInversions) * F::kLanes);
    for (const E& xi : x) F::to_lanes(xi, sink);
    // Keep the results alive without printing them.
    volatile std::uint64_t keep = sink[0].v[0];
    (void)keep;
    return f;
}

}  // namespace
}  // namespace lane_field_bench
