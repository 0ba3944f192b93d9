// The lane path of the stream operations on the AVX-512 IFMA backend, compiled for those instructions.
#include "edwards25519/batch/ifma_field.hpp"
#include "src/paths/lane_paths.hpp"

namespace ostrelline::paths::ifma {

extern const Kernels kKernels;
const Kernels kKernels = LanePaths<edwards25519::batch::IfmaField>::table(edwards25519::batch::Isa::ifma);

}  // namespace ostrelline::paths::ifma
