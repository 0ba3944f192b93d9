// The conversions on the portable backend's lane field, compiled for its instruction set.
#include "edwards25519/batch/scalar_field.hpp"
#include "src/tests/conversions/lane_conversions.hpp"

namespace conversions::portable {

extern const Kernels kKernels;
const Kernels kKernels = LaneConversions<edwards25519::batch::ScalarField>::table();

}  // namespace conversions::portable
