// The AVX2 lane fields (four lanes, and eight in register pairs). The field
// and the checks are compiled for AVX2, the rest for any CPU (see
// lane_field_cases.hpp).
#include "lane_field_cases.hpp"

LANE_FIELD_TARGET("avx2")
#define OSTRELLINE_TARGET_REGION_AVX2
#include "edwards25519/batch/avx2_field.hpp"
#include "edwards25519/tests/pair_field.hpp"
#include "lane_field_checks.hpp"
LANE_FIELD_TARGET_END

namespace lane_field_cases {
namespace {
struct Avx2Cpu {
    static bool runs() { return LANE_FIELD_CPU_HAS("avx2"); }
};
using Avx2 = ::testing::Types<Backend<edwards25519::batch::Avx2Field, Avx2Cpu>,
                              Backend<edwards25519::batch::Avx2x8Field, Avx2Cpu>>;
INSTANTIATE_TYPED_TEST_SUITE_P(Avx2, LaneFieldTest, Avx2);
INSTANTIATE_TYPED_TEST_SUITE_P(Avx2, LaneFieldBoundsTest, Avx2);
}  // namespace
}  // namespace lane_field_cases
