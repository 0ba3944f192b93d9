// The stream kernels of each batch backend, by instruction set. Compiled for
// any CPU: it only hands out the tables of src/paths/.
#include "src/stream_paths.hpp"

namespace ostrelline::paths {

namespace portable {
extern const StreamKernels kStreamKernels;
}
#if defined(OSTRELLINE_X86_BACKENDS)
namespace ifma {
extern const StreamKernels kStreamKernels;
}
#if defined(OSTRELLINE_RADIX25_BACKENDS)
namespace avx2 {
extern const StreamKernels kStreamKernels;
}
namespace avx512f {
extern const StreamKernels kStreamKernels;
}
#endif
#endif

const StreamKernels& stream_kernels(edwards25519::batch::Isa isa) {
    using edwards25519::batch::Isa;
    switch (isa) {
#if defined(OSTRELLINE_X86_BACKENDS)
        case Isa::ifma: return ifma::kStreamKernels;
#if defined(OSTRELLINE_RADIX25_BACKENDS)
        case Isa::avx2: return avx2::kStreamKernels;
        case Isa::avx512f: return avx512f::kStreamKernels;
#endif
#endif
        default: break;
    }
    return portable::kStreamKernels;
}

}  // namespace ostrelline::paths
