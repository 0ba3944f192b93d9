// The lane path of the stream operations on the AVX-512F backend, compiled for AVX-512 F/DQ/BW/VL.
#include "edwards25519/batch/avx512f_field.hpp"
#include "src/paths/lane_paths.hpp"

namespace ostrelline::paths::avx512f {

extern const Kernels kKernels;
const Kernels kKernels = LanePaths<edwards25519::batch::Avx512fField>::table(edwards25519::batch::Isa::avx512f);

}  // namespace ostrelline::paths::avx512f
