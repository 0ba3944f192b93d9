// The lane fields that every CPU runs.
#include "edwards25519/tests/loop_field.hpp"
#include "lane_field_cases.hpp"
#include "lane_field_checks.hpp"

namespace lane_field_cases {
namespace {
using Portable = ::testing::Types<Backend<edwards25519::batch::LoopField, AnyCpu>>;
INSTANTIATE_TYPED_TEST_SUITE_P(Portable, LaneFieldTest, Portable);
INSTANTIATE_TYPED_TEST_SUITE_P(Portable, LaneFieldBoundsTest, Portable);
}  // namespace
}  // namespace lane_field_cases
