// The one place that hands out a backend's kernels, and the failures the
// lane path raises. Compiled for any CPU: it only picks among the tables of
// the backends' translation units (this folder, one per instruction set).
#include "src/paths/kernels.hpp"

#include <string>

#include "src/ciphertexts.hpp"
#include "support/failure.hpp"

namespace ostrelline::paths {

OSTRELLINE_BACKEND_TABLES(Kernels, kKernels, kernels)

const Kernels& dispatched() {
    static const Kernels& chosen = kernels(edwards25519::batch::best());
    return chosen;
}

void point_length_failure(std::size_t length) {
    support::fail("source slice length (" + std::to_string(length) + ") does not match destination slice length (32)");
}

void wide_length_failure(std::size_t length) {
    for (std::size_t end = 32; end <= 128; end += 32) require_range_end(end, length);
    support::fail("a wide entry of 128 bytes was reported short");
}

void decompression_failure() { support::fail(support::kUnwrapNone); }

}  // namespace ostrelline::paths
