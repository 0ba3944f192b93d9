// The lane fields against the scalar field, lane by lane: every operation
// on kLanes elements must give, in each lane, the canonical bytes the scalar
// FieldElement gives for that lane's inputs. Inputs mix random values with
// the edges of the representations (0, 1, p - 1, p, values from p to
// 2^255 - 1, bit 255 set, values at limb boundaries), each lane a different
// input, and, for backends that publish their limb bounds, elements whose
// limbs sit at those bounds, tight and loose, fed into every operation that
// accepts them.
//
// Written once as a typed test; each backend instantiates it in a source
// file of its own (lane_field_test_<backend>.cpp). There the checks of
// lane_field_checks.hpp, and the field, are compiled for the backend's
// instruction set, inside a target region: the test registration, which
// runs at start-up, and the library code the sources share stay baseline
// code, so that the program starts on any CPU, and a backend whose
// instructions the CPU lacks skips at run time. A build that emulates the
// instructions runs every backend.
//
// Everything here has internal linkage: the including translation units
// compile the checks for different instruction sets, and must not share
// them.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "edwards25519/batch/lane_field.hpp"
#include "edwards25519/field.hpp"

// LANE_FIELD_TARGET("isa,...") ... LANE_FIELD_TARGET_END: a region compiled
// for those instructions (nothing in a build that emulates them).
#if defined(OSTRELLINE_SIMD_EMULATION)
#define LANE_FIELD_CPU_HAS(feature) true
#define LANE_FIELD_TARGET(isa)
#define LANE_FIELD_TARGET_END
#else
#define LANE_FIELD_CPU_HAS(feature) __builtin_cpu_supports(feature)
#define LANE_FIELD_PRAGMA(text) _Pragma(#text)
#define LANE_FIELD_TARGET(isa) _Pragma("GCC push_options") LANE_FIELD_PRAGMA(GCC target(isa))
#define LANE_FIELD_TARGET_END _Pragma("GCC pop_options")
#endif

namespace lane_field_cases {
namespace {

using edwards25519::FieldElement;
using edwards25519::batch::LaneField;
using Bytes32 = std::array<std::uint8_t, 32>;

// A lane field and whether this CPU (or the emulation) runs it.
template <class F, class Cpu>
struct Backend {
    static_assert(LaneField<F>);
    using Field = F;
    static bool runs() { return Cpu::runs(); }
};

struct AnyCpu {
    static bool runs() { return true; }
};

template <class B>
class LaneFieldTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!B::runs()) GTEST_SKIP() << "instructions missing on this CPU";
    }
};

// The checks, one static function per test, defined in lane_field_checks.hpp.
template <class F>
struct Checks;

TYPED_TEST_SUITE_P(LaneFieldTest);

TYPED_TEST_P(LaneFieldTest, BytesLanesAndTableEntriesRoundTrip) {
    Checks<typename TypeParam::Field>::round_trips();
}

TYPED_TEST_P(LaneFieldTest, ArithmeticMatchesScalar) {
    Checks<typename TypeParam::Field>::arithmetic();
}

TYPED_TEST_P(LaneFieldTest, LongChainsStayExact) {
    Checks<typename TypeParam::Field>::long_chains();
}

TYPED_TEST_P(LaneFieldTest, PredicatesAndSelectionMatchScalar) {
    Checks<typename TypeParam::Field>::predicates_and_selection();
}

TYPED_TEST_P(LaneFieldTest, MasksCombineLaneByLane) {
    Checks<typename TypeParam::Field>::masks();
}

TYPED_TEST_P(LaneFieldTest, RadixDigitsPerLane) {
    Checks<typename TypeParam::Field>::radix_digits();
}

REGISTER_TYPED_TEST_SUITE_P(LaneFieldTest, BytesLanesAndTableEntriesRoundTrip, ArithmeticMatchesScalar,
                            LongChainsStayExact, PredicatesAndSelectionMatchScalar,
                            MasksCombineLaneByLane, RadixDigitsPerLane);

// For the fields of radix 2^25.5, which state their limb bounds
// (its tight and loose limb bounds): elements with limbs at those bounds.
template <class B>
class LaneFieldBoundsTest : public LaneFieldTest<B> {};

TYPED_TEST_SUITE_P(LaneFieldBoundsTest);

TYPED_TEST_P(LaneFieldBoundsTest, LimbsAtTheirBoundsStayExact) {
    Checks<typename TypeParam::Field>::limbs_at_bounds();
}

REGISTER_TYPED_TEST_SUITE_P(LaneFieldBoundsTest, LimbsAtTheirBoundsStayExact);

}  // namespace
}  // namespace lane_field_cases
