// The lane path with given scalars on the ifma backend's lane field, compiled for its instruction set.
#include "edwards25519/batch/ifma_field.hpp"
#include "src/paths/lane_paths.hpp"
#include "src/tests/given_scalars/given_scalars.hpp"

namespace given_scalars::ifma {

using Paths = ostrelline::paths::LanePaths<edwards25519::batch::IfmaField, GivenScalars>;
extern const ostrelline::paths::Kernels kKernels;
const ostrelline::paths::Kernels kKernels = Paths::table(edwards25519::batch::Isa::ifma);

}  // namespace given_scalars::ifma
