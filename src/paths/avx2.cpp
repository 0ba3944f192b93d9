// The batch path of the stream operations on the AVX2 backend, compiled for AVX2.
#include "edwards25519/batch/avx2_field.hpp"
#include "src/batch_paths.hpp"

namespace ostrelline::paths::avx2 {

extern const StreamKernels kStreamKernels;
const StreamKernels kStreamKernels = BatchPaths<edwards25519::batch::Avx2Field>::table(edwards25519::batch::Isa::avx2);

}  // namespace ostrelline::paths::avx2
