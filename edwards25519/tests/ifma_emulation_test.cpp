// The emulated IFMA multiply-accumulate against 128-bit integer arithmetic:
// per lane, the product of the low 52 bits of b and c, its low or high 52
// bits added to a modulo 2^64. Lanes hold different values, so a mix-up of
// lanes shows too. Then the emulated sign extension of bytes under a mask.
#include <gtest/gtest.h>

#define SIMDE_ENABLE_NATIVE_ALIASES
#include "edwards25519/batch/ifma_emulation.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr std::uint64_t kMask52 = (std::uint64_t{1} << 52) - 1;

std::uint64_t expected(std::uint64_t a, std::uint64_t b, std::uint64_t c, bool high) {
    const unsigned __int128 p = static_cast<unsigned __int128>(b & kMask52) * (c & kMask52);
    return a + static_cast<std::uint64_t>(high ? p >> 52 : p & kMask52);
}

// Edge values: 0, 1, carries between the 26-bit halves, 2^52 - 1 and its
// neighbours, and values with bits above 52 that must be ignored.
const std::vector<std::uint64_t>& edges() {
    static const std::vector<std::uint64_t> values = {
        0,
        1,
        (std::uint64_t{1} << 26) - 1,
        std::uint64_t{1} << 26,
        (std::uint64_t{1} << 51),
        kMask52 - 1,
        kMask52,
        std::uint64_t{1} << 52,
        kMask52 | (std::uint64_t{1} << 52),
        ~std::uint64_t{0},
        ~std::uint64_t{0} - 1,
        0xfff0000000000001,
        0x0003ffffffffffff,
        0x000aaaaaaaaaaaaa,
        0x0005555555555555,
        0x8000000000000000,
    };
    return values;
}

template <std::size_t N>
using Lanes = std::array<std::uint64_t, N>;

// Runs the instruction on lane arrays through the given vector type.
template <class V, std::size_t N, class Op>
Lanes<N> run(Op op, const Lanes<N>& a, const Lanes<N>& b, const Lanes<N>& c) {
    static_assert(sizeof(V) == 8 * N);
    V va, vb, vc;
    std::memcpy(&va, a.data(), sizeof va);
    std::memcpy(&vb, b.data(), sizeof vb);
    std::memcpy(&vc, c.data(), sizeof vc);
    const V r = op(va, vb, vc);
    Lanes<N> out;
    std::memcpy(out.data(), &r, sizeof r);
    return out;
}

template <class V, std::size_t N, class Op>
void check(Op op, bool high, const Lanes<N>& a, const Lanes<N>& b, const Lanes<N>& c) {
    const Lanes<N> got = run<V, N>(op, a, b, c);
    for (std::size_t i = 0; i < N; ++i) {
        ASSERT_EQ(got[i], expected(a[i], b[i], c[i], high))
            << (high ? "hi" : "lo") << " lane " << i << " a=" << a[i] << " b=" << b[i] << " c=" << c[i];
    }
}

// Every pair of edge values as (b, c) in lane 0, edge values in the other
// lanes, accumulators near 0 and near 2^64 so that the addition wraps; then
// random lanes.
template <class V, std::size_t N, class Op>
void check_all(Op op, bool high) {
    const auto& e = edges();
    const std::array<std::uint64_t, 4> accumulators = {0, 5, ~std::uint64_t{0}, ~std::uint64_t{0} - kMask52 + 3};
    std::size_t k = 0;
    for (std::uint64_t x : e) {
        for (std::uint64_t y : e) {
            Lanes<N> a, b, c;
            for (std::size_t i = 0; i < N; ++i, ++k) {
                a[i] = accumulators[k % accumulators.size()];
                b[i] = i == 0 ? x : e[(k + i) % e.size()];
                c[i] = i == 0 ? y : e[(k * 7 + i) % e.size()];
            }
            ASSERT_NO_FATAL_FAILURE((check<V, N>(op, high, a, b, c)));
        }
    }
    std::mt19937_64 rng(52);
    for (int round = 0; round < 2000; ++round) {
        Lanes<N> a, b, c;
        for (std::size_t i = 0; i < N; ++i) {
            a[i] = rng();
            b[i] = rng();
            c[i] = rng();
            // Half the rounds: the largest 52-bit multiplicands.
            if (round % 2) {
                b[i] |= kMask52;
                c[i] |= kMask52 >> (i % 3);
            }
        }
        ASSERT_NO_FATAL_FAILURE((check<V, N>(op, high, a, b, c)));
    }
}

TEST(IfmaEmulation, Madd52Lo512) {
    check_all<__m512i, 8>([](__m512i a, __m512i b, __m512i c) { return _mm512_madd52lo_epu64(a, b, c); }, false);
}

TEST(IfmaEmulation, Madd52Hi512) {
    check_all<__m512i, 8>([](__m512i a, __m512i b, __m512i c) { return _mm512_madd52hi_epu64(a, b, c); }, true);
}

TEST(IfmaEmulation, Madd52Lo256) {
    check_all<__m256i, 4>([](__m256i a, __m256i b, __m256i c) { return _mm256_madd52lo_epu64(a, b, c); }, false);
}

TEST(IfmaEmulation, Madd52Hi256) {
    check_all<__m256i, 4>([](__m256i a, __m256i b, __m256i c) { return _mm256_madd52hi_epu64(a, b, c); }, true);
}

// The square of 2^52 - 1: low half 1, high half 2^52 - 2.
TEST(IfmaEmulation, LargestSquare) {
    const __m512i m = _mm512_set1_epi64(static_cast<std::int64_t>(kMask52));
    const __m512i zero = _mm512_setzero_si512();
    Lanes<8> lo, hi;
    const __m512i vlo = _mm512_madd52lo_epu64(zero, m, m), vhi = _mm512_madd52hi_epu64(zero, m, m);
    std::memcpy(lo.data(), &vlo, sizeof vlo);
    std::memcpy(hi.data(), &vhi, sizeof vhi);
    for (std::size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(lo[i], 1u);
        EXPECT_EQ(hi[i], kMask52 - 1);
    }
}

// Bytes at the edges of the signed range in every lane, under every mask;
// the bytes above the eighth are ignored.
TEST(IfmaEmulation, MaskedSignExtension) {
    const std::int8_t bytes[16] = {-128, -1, 0, 1, 127, -8, 8, -127, 55, 55, 55, 55, 55, 55, 55, 55};
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
    for (unsigned k = 0; k < 256; ++k) {
        const __m512i r = _mm512_maskz_cvtepi8_epi64(static_cast<simde__mmask8>(k), a);
        std::int64_t lanes[8];
        std::memcpy(lanes, &r, sizeof lanes);
        for (unsigned i = 0; i < 8; ++i) {
            ASSERT_EQ(lanes[i], ((k >> i) & 1) ? std::int64_t{bytes[i]} : 0) << "mask " << k << " lane " << i;
        }
    }
}

}  // namespace
