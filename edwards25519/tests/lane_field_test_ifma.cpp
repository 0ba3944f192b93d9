// The AVX-512 IFMA lane field. The field and the checks are compiled for
// AVX-512F, IFMA, VL, DQ and BW, the rest for any CPU (see
// lane_field_cases.hpp).
#include "lane_field_cases.hpp"

LANE_FIELD_TARGET("avx512f,avx512ifma,avx512vl,avx512dq,avx512bw")
#include "edwards25519/batch/ifma_field.hpp"
#include "lane_field_checks.hpp"
LANE_FIELD_TARGET_END

namespace lane_field_cases {
namespace {
struct IfmaCpu {
    static bool runs() {
        return LANE_FIELD_CPU_HAS("avx512f") && LANE_FIELD_CPU_HAS("avx512ifma") && LANE_FIELD_CPU_HAS("avx512vl") &&
               LANE_FIELD_CPU_HAS("avx512dq") && LANE_FIELD_CPU_HAS("avx512bw");
    }
};
using Ifma = ::testing::Types<Backend<edwards25519::batch::IfmaField, IfmaCpu>>;
INSTANTIATE_TYPED_TEST_SUITE_P(Ifma, LaneFieldTest, Ifma);
}  // namespace
}  // namespace lane_field_cases
