// The x86 vector intrinsics for the backend sources. A normal build takes
// them from the compiler (the source is compiled with its instruction set's
// flags and runs only where dispatch found those instructions). A build with
// OSTRELLINE_SIMD_EMULATION defined takes the same names from SIMDe, which
// implements them with whatever the target CPU has, and from
// ifma_emulation.hpp for the two IFMA instructions SIMDe lacks: so the code
// of every backend runs and is tested on any x86-64 machine.
#pragma once

// The hot field operations of a backend are always inlined, except where
// their intrinsics are emulated (functions too large to inline everywhere).
#if defined(OSTRELLINE_SIMD_EMULATION)
#define OSTRELLINE_HOT_INLINE
#else
#define OSTRELLINE_HOT_INLINE [[gnu::always_inline]]
#endif

#if defined(OSTRELLINE_SIMD_EMULATION)
#define SIMDE_ENABLE_NATIVE_ALIASES
#include <simde/x86/avx512.h>

#include "edwards25519/batch/ifma_emulation.hpp"
#else
#include <immintrin.h>
#endif
