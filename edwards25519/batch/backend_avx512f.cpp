// The AVX-512F backend: radix 2^25.5 in eight lanes, compiled for AVX-512 F/DQ/BW/VL.
#include "edwards25519/batch/avx512f_field.hpp"
#include "edwards25519/batch/group_kernels.hpp"

namespace edwards25519::batch::avx512f {

extern const GroupKernels kGroupKernels;
const GroupKernels kGroupKernels = engine::Kernels<Avx512fField>::table(Isa::avx512f);

}  // namespace edwards25519::batch::avx512f
