// The backends: the lane fields the engine (engine.hpp) runs on, which this
// build has and this CPU runs, and which one the operations take. Each
// backend's code is the lane path of src/paths/ compiled for its field's
// instruction set in a translation unit of its own; only plain data crosses
// a backend's boundary (scalar-layer field elements, points, scalars and
// bytes), so no vector instruction can leak into code that runs on a CPU
// without them.
//
//  portable   one lane of the scalar field (plain C++, any CPU)
//  avx2       radix 2^25.5, 32x32-bit products (x86-64 with AVX2)
//  avx512f    the same radix, 8 lanes (AVX-512 F/DQ/BW/VL without IFMA)
//  avx512ifma radix 2^52, 52-bit multiply-accumulate (AVX-512 IFMA)
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace edwards25519::batch {

enum class Isa : std::uint8_t { portable, avx2, avx512f, ifma };
inline constexpr std::array<Isa, 4> kAllIsas = {Isa::portable, Isa::avx2, Isa::avx512f, Isa::ifma};
// The most lanes any backend has.
inline constexpr std::size_t kMaxLanes = 8;

const char* isa_name(Isa isa) noexcept;

// Whether this build has the backend and the CPU and operating system run
// it. A build that emulates the vector instructions (OSTRELLINE_SIMD_EMULATION)
// runs every backend it has on any x86-64 CPU.
bool supported(Isa isa) noexcept;

// The backend the batch paths take: the fastest supported one, unless the
// environment variable OSTRELLINE_BATCH_BACKEND names another supported one
// (portable, avx2, avx512f, avx512ifma), for comparisons and benchmarks.
Isa best() noexcept;

}  // namespace edwards25519::batch

// Inside a namespace N: declares the `Type` table `name` that each backend's
// translation unit defines in N::portable, N::avx2, N::avx512f and N::ifma,
// and defines `const Type& function(Isa)`, which hands out the one of the
// given backend (the portable one in a build without the x86 backends).
#if defined(OSTRELLINE_X86_BACKENDS)
#define OSTRELLINE_BACKEND_TABLES(Type, name, function)                        \
    namespace portable { extern const Type name; }                             \
    namespace avx2 { extern const Type name; }                                 \
    namespace avx512f { extern const Type name; }                              \
    namespace ifma { extern const Type name; }                                 \
    const Type& function(::edwards25519::batch::Isa isa) {                     \
        switch (isa) {                                                         \
            case ::edwards25519::batch::Isa::avx2: return avx2::name;          \
            case ::edwards25519::batch::Isa::avx512f: return avx512f::name;    \
            case ::edwards25519::batch::Isa::ifma: return ifma::name;          \
            case ::edwards25519::batch::Isa::portable: break;                  \
        }                                                                      \
        return portable::name;                                                 \
    }
#else
#define OSTRELLINE_BACKEND_TABLES(Type, name, function)    \
    namespace portable { extern const Type name; }         \
    const Type& function(::edwards25519::batch::Isa) { return portable::name; }
#endif
