// The lane path of the stream operations on one lane of the scalar field: the reference.
#include "edwards25519/batch/scalar_field.hpp"
#include "src/paths/lane_paths.hpp"

namespace ostrelline::paths::portable {

extern const Kernels kKernels;
const Kernels kKernels = LanePaths<edwards25519::batch::ScalarField>::table(edwards25519::batch::Isa::portable);

}  // namespace ostrelline::paths::portable
