// The AVX-512 IFMA backend, compiled for those instructions.
#include "edwards25519/batch/group_kernels.hpp"
#include "edwards25519/batch/ifma_field.hpp"

namespace edwards25519::batch::ifma {

extern const GroupKernels kGroupKernels;
const GroupKernels kGroupKernels = engine::Kernels<IfmaField>::table(Isa::ifma);

}  // namespace edwards25519::batch::ifma
