// The AVX2 lane fields' timings; compiled for AVX2.
#include "edwards25519/batch/avx2_field.hpp"
#include "edwards25519/tests/pair_field.hpp"
#include "lane_field_bench.hpp"

namespace lane_field_bench {
Figures avx2() { return measure<edwards25519::batch::Avx2Field>(); }
Figures avx2x8() { return measure<edwards25519::batch::Avx2x8Field>(); }
}  // namespace lane_field_bench
