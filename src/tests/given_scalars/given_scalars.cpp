// The scalars set on each thread, and the one place that hands out a
// backend's table. Compiled for any CPU.
#include "src/tests/given_scalars/given_scalars.hpp"

#include <cstdio>
#include <cstdlib>

namespace given_scalars {

namespace {
thread_local const edwards25519::Scalar* current = nullptr;
}  // namespace

edwards25519::Scalar GivenScalars::scalar(std::size_t entry) {
    if (current == nullptr) {
        std::fputs("given_scalars: randomize or queries called with no scalars set on this thread\n", stderr);
        std::abort();
    }
    return current[entry];
}

GivenScalars::Use::Use(const edwards25519::Scalar* scalars) : previous_(current) { current = scalars; }

GivenScalars::Use::~Use() { current = previous_; }

using ostrelline::paths::Kernels;
OSTRELLINE_BACKEND_TABLES(Kernels, kKernels, kernels)

}  // namespace given_scalars
