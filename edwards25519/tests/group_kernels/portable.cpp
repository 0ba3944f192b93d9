// The group kernels of the portable backend: the engine over one lane of the scalar field.
#include "edwards25519/batch/scalar_field.hpp"
#include "edwards25519/tests/group_kernels/lane_kernels.hpp"

namespace edwards25519::batch::portable {

extern const GroupKernels kGroupKernels;
const GroupKernels kGroupKernels = engine::Kernels<ScalarField>::table(Isa::portable);

}  // namespace edwards25519::batch::portable
