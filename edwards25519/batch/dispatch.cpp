// Run-time choice of the backend. Compiled with the project's ordinary
// flags, so it runs on any CPU; it only reads CPUID and XCR0 (and the
// environment variable OSTRELLINE_BATCH_BACKEND).
#include <cstdlib>
#include <cstring>

#include "edwards25519/batch/backend.hpp"

#if defined(OSTRELLINE_X86_BACKENDS)
#include <cpuid.h>
#endif

namespace edwards25519::batch {

namespace {

#if defined(OSTRELLINE_X86_BACKENDS) && !defined(OSTRELLINE_SIMD_EMULATION)
struct CpuFeatures {
    bool avx2 = false, avx512f = false, ifma = false;
};

// CPUID leaf 1 ECX bit 27: XGETBV enabled. Leaf 7 EBX: AVX2 bit 5, AVX512F
// 16, AVX512DQ 17, AVX512IFMA 21, AVX512BW 30, AVX512VL 31. XCR0: SSE (1)
// and AVX (2) state for AVX2; opmask (5) and the upper ZMM halves (6, 7)
// besides for AVX-512.
CpuFeatures detect() noexcept {
    CpuFeatures f;
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0 || (c & (1u << 27)) == 0) return f;
    if (__get_cpuid_max(0, nullptr) < 7) return f;
    __cpuid_count(7, 0, a, b, c, d);
    unsigned xcr0 = 0, xcr0_high = 0;
    __asm__ volatile("xgetbv" : "=a"(xcr0), "=d"(xcr0_high) : "c"(0));
    (void)xcr0_high;
    const unsigned avx_state = (1u << 1) | (1u << 2);
    const unsigned avx512_state = avx_state | (1u << 5) | (1u << 6) | (1u << 7);
    f.avx2 = (b & (1u << 5)) != 0 && (xcr0 & avx_state) == avx_state;
    const unsigned avx512 = (1u << 16) | (1u << 17) | (1u << 30) | (1u << 31);
    f.avx512f = (b & avx512) == avx512 && (xcr0 & avx512_state) == avx512_state;
    f.ifma = f.avx512f && (b & (1u << 21)) != 0;
    return f;
}

const CpuFeatures& features() noexcept {
    static const CpuFeatures f = detect();
    return f;
}
#endif

Isa choose() noexcept {
    Isa chosen = Isa::portable;
    for (Isa isa : kAllIsas) {
        if (supported(isa)) chosen = isa;  // listed from slowest to fastest
    }
    const char* wanted = std::getenv("OSTRELLINE_BATCH_BACKEND");
    if (wanted != nullptr) {
        for (Isa isa : kAllIsas) {
            if (std::strcmp(wanted, isa_name(isa)) == 0 && supported(isa)) return isa;
        }
    }
    return chosen;
}

}  // namespace

const char* isa_name(Isa isa) noexcept {
    switch (isa) {
        case Isa::portable: return "portable";
        case Isa::avx2: return "avx2";
        case Isa::avx512f: return "avx512f";
        case Isa::ifma: return "avx512ifma";
    }
    return "unknown";
}

bool supported(Isa isa) noexcept {
    if (isa == Isa::portable) return true;
#if !defined(OSTRELLINE_X86_BACKENDS)
    return false;
#elif defined(OSTRELLINE_SIMD_EMULATION)
    return true;
#else
    switch (isa) {
        case Isa::avx2: return features().avx2;
        case Isa::avx512f: return features().avx512f;
        case Isa::ifma: return features().ifma;
        case Isa::portable: return true;
    }
    return false;
#endif
}

Isa best() noexcept {
    static const Isa isa = choose();
    return isa;
}

}  // namespace edwards25519::batch
