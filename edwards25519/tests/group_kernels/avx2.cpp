// The group kernels of the AVX2 backend (radix 2^25.5, 32x32-bit products), compiled for AVX2.
#include "edwards25519/batch/avx2_field.hpp"
#include "edwards25519/tests/group_kernels/lane_kernels.hpp"

namespace edwards25519::batch::avx2 {

extern const GroupKernels kGroupKernels;
const GroupKernels kGroupKernels = engine::Kernels<Avx2Field>::table(Isa::avx2);

}  // namespace edwards25519::batch::avx2
