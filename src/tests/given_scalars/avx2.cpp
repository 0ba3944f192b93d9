// The lane path with given scalars on the avx2 backend's lane field, compiled for its instruction set.
#include "edwards25519/batch/avx2_field.hpp"
#include "src/paths/lane_paths.hpp"
#include "src/tests/given_scalars/given_scalars.hpp"

namespace given_scalars::avx2 {

using Paths = ostrelline::paths::LanePaths<edwards25519::batch::Avx2Field, GivenScalars>;
extern const ostrelline::paths::Kernels kKernels;
const ostrelline::paths::Kernels kKernels = Paths::table(edwards25519::batch::Isa::avx2);

}  // namespace given_scalars::avx2
