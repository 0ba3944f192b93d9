// The conversions on the ifma backend's lane field, compiled for its instruction set.
#include "edwards25519/batch/ifma_field.hpp"
#include "src/tests/conversions/lane_conversions.hpp"

namespace conversions::ifma {

extern const Kernels kKernels;
const Kernels kKernels = LaneConversions<edwards25519::batch::IfmaField>::table();

}  // namespace conversions::ifma
