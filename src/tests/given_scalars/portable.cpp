// The lane path with given scalars on the portable backend's lane field, compiled for its instruction set.
#include "edwards25519/batch/scalar_field.hpp"
#include "src/paths/lane_paths.hpp"
#include "src/tests/given_scalars/given_scalars.hpp"

namespace given_scalars::portable {

using Paths = ostrelline::paths::LanePaths<edwards25519::batch::ScalarField, GivenScalars>;
extern const ostrelline::paths::Kernels kKernels;
const ostrelline::paths::Kernels kKernels = Paths::table(edwards25519::batch::Isa::portable);

}  // namespace given_scalars::portable
