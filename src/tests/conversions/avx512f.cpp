// The conversions on the avx512f backend's lane field, compiled for its instruction set.
#include "edwards25519/batch/avx512f_field.hpp"
#include "src/tests/conversions/lane_conversions.hpp"

namespace conversions::avx512f {

extern const Kernels kKernels;
const Kernels kKernels = LaneConversions<edwards25519::batch::Avx512fField>::table();

}  // namespace conversions::avx512f
