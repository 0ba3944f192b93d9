// Nanoseconds per element of a product, a square and an inversion in every
// lane field this CPU runs natively (all of them in a build that emulates
// the instructions, where the figures mean little), against the scalar
// radix-2^51 field (as the one-lane field of the engine), with the ratio scalar / lane field (above 1: the lane
// field is faster per element). "mul" and "square" keep four independent
// operations in flight, as the point formulas do; "chain" makes each wait
// for the one before, as exponentiation does. Seconds are the thread's CPU
// time, best of fifteen runs.
#include <cstdio>
#include <string>

#include "edwards25519/tests/loop_field.hpp"
#include "edwards25519/batch/scalar_field.hpp"
#include "lane_field_bench.hpp"

namespace {

using lane_field_bench::Figures;

bool runs(const char* name) {
#if defined(OSTRELLINE_SIMD_EMULATION)
    (void)name;
    return true;
#elif defined(__x86_64__)
    const std::string n = name;
    if (n == "avx2") return __builtin_cpu_supports("avx2");
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
           __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw");
#else
    (void)name;
    return false;
#endif
}

void print(const Figures& f, const Figures& scalar) {
    std::printf("%-12s %5zu %9.2f %5.2fx %9.2f %5.2fx %9.2f %5.2fx %9.2f %5.2fx %9.1f %5.2fx\n", f.name, f.lanes, f.mul,
                scalar.mul / f.mul, f.mul_chain, scalar.mul_chain / f.mul_chain, f.square, scalar.square / f.square,
                f.square_chain, scalar.square_chain / f.square_chain, f.invert, scalar.invert / f.invert);
}

}  // namespace

int main() {
    std::printf("ns per element (ratio: scalar / lane field)\n");
    std::printf("%-12s %5s %16s %16s %16s %16s %16s\n", "field", "lanes", "mul", "mul chain", "square",
                "square chain", "invert");
    const Figures scalar = lane_field_bench::measure<edwards25519::batch::ScalarField>("scalar");
    print(scalar, scalar);
    print(lane_field_bench::measure<edwards25519::batch::LoopField>(), scalar);
#if defined(__x86_64__) || defined(OSTRELLINE_SIMD_EMULATION)
    if (runs("avx2")) {
        print(lane_field_bench::avx2(), scalar);
        print(lane_field_bench::avx2x8(), scalar);
    }
    if (runs("avx512f")) print(lane_field_bench::avx512f(), scalar);
#endif
    return 0;
}
