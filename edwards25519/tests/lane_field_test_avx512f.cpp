// The AVX-512F lane field. The field and the checks are compiled for
// AVX-512F, DQ, VL and BW, the rest for any CPU (see lane_field_cases.hpp).
#include "lane_field_cases.hpp"

LANE_FIELD_TARGET("avx512f,avx512dq,avx512vl,avx512bw")
#define OSTRELLINE_TARGET_REGION_AVX512F
#include "edwards25519/batch/avx512f_field.hpp"
#include "lane_field_checks.hpp"
LANE_FIELD_TARGET_END

namespace lane_field_cases {
namespace {
struct Avx512fCpu {
    static bool runs() {
        return LANE_FIELD_CPU_HAS("avx512f") && LANE_FIELD_CPU_HAS("avx512dq") && LANE_FIELD_CPU_HAS("avx512vl") &&
               LANE_FIELD_CPU_HAS("avx512bw");
    }
};
using Avx512f = ::testing::Types<Backend<edwards25519::batch::Avx512fField, Avx512fCpu>>;
INSTANTIATE_TYPED_TEST_SUITE_P(Avx512f, LaneFieldTest, Avx512f);
INSTANTIATE_TYPED_TEST_SUITE_P(Avx512f, LaneFieldBoundsTest, Avx512f);
}  // namespace
}  // namespace lane_field_cases
