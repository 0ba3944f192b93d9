// The AVX-512F lane field's timings; compiled for AVX-512F, DQ, VL and BW.
#include "edwards25519/batch/avx512f_field.hpp"
#include "lane_field_bench.hpp"

namespace lane_field_bench {
Figures avx512f() { return measure<edwards25519::batch::Avx512fField>(); }
}  // namespace lane_field_bench
