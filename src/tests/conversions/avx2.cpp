// The conversions on the avx2 backend's lane field, compiled for its instruction set.
#include "edwards25519/batch/avx2_field.hpp"
#include "src/tests/conversions/lane_conversions.hpp"

namespace conversions::avx2 {

extern const Kernels kKernels;
const Kernels kKernels = LaneConversions<edwards25519::batch::Avx2Field>::table();

}  // namespace conversions::avx2
