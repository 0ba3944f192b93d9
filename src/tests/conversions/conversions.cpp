#include "src/tests/conversions/conversions.hpp"

namespace conversions {

OSTRELLINE_BACKEND_TABLES(Kernels, kKernels, kernels)

}  // namespace conversions
