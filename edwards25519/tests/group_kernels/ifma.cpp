// The group kernels of the AVX-512 IFMA backend, compiled for those instructions.
#include "edwards25519/batch/ifma_field.hpp"
#include "edwards25519/tests/group_kernels/lane_kernels.hpp"

namespace edwards25519::batch::ifma {

extern const GroupKernels kGroupKernels;
const GroupKernels kGroupKernels = engine::Kernels<IfmaField>::table(Isa::ifma);

}  // namespace edwards25519::batch::ifma
