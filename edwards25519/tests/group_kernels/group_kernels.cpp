#include "edwards25519/tests/group_kernels/group_kernels.hpp"

namespace edwards25519::batch {

OSTRELLINE_BACKEND_TABLES(GroupKernels, kGroupKernels, group_kernels)

}  // namespace edwards25519::batch
