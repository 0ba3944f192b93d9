// The lane path with given scalars on the avx512f backend's lane field, compiled for its instruction set.
#include "edwards25519/batch/avx512f_field.hpp"
#include "src/paths/lane_paths.hpp"
#include "src/tests/given_scalars/given_scalars.hpp"

namespace given_scalars::avx512f {

using Paths = ostrelline::paths::LanePaths<edwards25519::batch::Avx512fField, GivenScalars>;
extern const ostrelline::paths::Kernels kKernels;
const ostrelline::paths::Kernels kKernels = Paths::table(edwards25519::batch::Isa::avx512f);

}  // namespace given_scalars::avx512f
