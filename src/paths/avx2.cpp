// The lane path of the stream operations on the AVX2 backend, compiled for AVX2.
#include "edwards25519/batch/avx2_field.hpp"
#include "src/paths/lane_paths.hpp"

namespace ostrelline::paths::avx2 {

extern const Kernels kKernels;
const Kernels kKernels = LanePaths<edwards25519::batch::Avx2Field>::table(edwards25519::batch::Isa::avx2);

}  // namespace ostrelline::paths::avx2
