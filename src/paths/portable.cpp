// The batch path of the stream operations on the portable backend (one lane of the scalar field).
#include "edwards25519/batch/scalar_field.hpp"
#include "src/batch_paths.hpp"

namespace ostrelline::paths::portable {

extern const StreamKernels kStreamKernels;
const StreamKernels kStreamKernels = BatchPaths<edwards25519::batch::ScalarField>::table(edwards25519::batch::Isa::portable);

}  // namespace ostrelline::paths::portable
