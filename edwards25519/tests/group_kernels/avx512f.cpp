// The group kernels of the AVX-512F backend (radix 2^25.5, eight lanes), compiled for AVX-512 F/DQ/BW/VL.
#include "edwards25519/batch/avx512f_field.hpp"
#include "edwards25519/tests/group_kernels/lane_kernels.hpp"

namespace edwards25519::batch::avx512f {

extern const GroupKernels kGroupKernels;
const GroupKernels kGroupKernels = engine::Kernels<Avx512fField>::table(Isa::avx512f);

}  // namespace edwards25519::batch::avx512f
