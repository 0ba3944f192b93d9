// Internal point representations and the formulas between them, inline so the
// scalar multiplication loops compile to straight-line field code.
//
// The curve is -x^2 + y^2 = 1 + d x^2 y^2 with a = -1 a square and d a
// non-square in GF(p), so the addition law below is complete: it is exact for
// every pair of curve points, small-order ones included.
//
//  ProjectivePoint   (X:Y:Z)          x = X/Z, y = Y/Z
//  CompletedPoint    ((X:Z),(Y:T))    x = X/Z, y = Y/T
//  ProjectiveNiels   (Y+X, Y-X, Z, 2d T) of an extended point
//  AffineNiels       (y+x, y-x, 2d x y) of an affine point
//
// Field bounds (see fe51.hpp): stored coordinates are below 2^52; completed
// coordinates are below 2^54, the limit of a product's inputs.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "edwards25519/bytes.hpp"
#include "edwards25519/fe51.hpp"
#include "edwards25519/point.hpp"

namespace edwards25519::detail {

struct ProjectivePoint {
    FieldElement X, Y, Z;
};

struct CompletedPoint {
    FieldElement X, Y, Z, T;

    ProjectivePoint to_projective() const noexcept {
        return {fe::mul(X, T), fe::mul(Y, Z), fe::mul(Z, T)};
    }
    EdwardsPoint to_extended() const noexcept {
        return {fe::mul(X, T), fe::mul(Y, Z), fe::mul(Z, T), fe::mul(X, Y)};
    }
};

// -a with limbs below 2^54, enough for a product's input.
inline FieldElement lazy_negate(const FieldElement& a) noexcept { return fe::sub(FieldElement::zero(), a); }

inline void masked_negate(FieldElement& a, std::uint64_t mask) noexcept {
    const FieldElement n = lazy_negate(a);
    for (int k = 0; k < 5; ++k) a.v[k] ^= (a.v[k] ^ n.v[k]) & mask;
}

inline void masked_swap(FieldElement& a, FieldElement& b, std::uint64_t mask) noexcept {
    for (int k = 0; k < 5; ++k) {
        const std::uint64_t t = (a.v[k] ^ b.v[k]) & mask;
        a.v[k] ^= t;
        b.v[k] ^= t;
    }
}

struct ProjectiveNiels {
    FieldElement Y_plus_X, Y_minus_X, Z, T2d;

    static ProjectiveNiels from(const EdwardsPoint& p) noexcept {
        return {fe::weak_reduce(fe::add(p.Y, p.X)), fe::weak_reduce(fe::sub(p.Y, p.X)), p.Z,
                fe::mul(p.T, constants::EDWARDS_D2)};
    }
    // Adds the identity (1, 1, 1, 0) into an all-zero value under the mask.
    void gather_identity(std::uint64_t mask) noexcept {
        Y_plus_X.v[0] |= 1 & mask;
        Y_minus_X.v[0] |= 1 & mask;
        Z.v[0] |= 1 & mask;
    }
    // The negation swaps Y+X with Y-X and negates 2d T.
    void negate_if(std::uint64_t mask) noexcept {
        masked_swap(Y_plus_X, Y_minus_X, mask);
        masked_negate(T2d, mask);
    }
};

struct AffineNiels {
    FieldElement y_plus_x, y_minus_x, xy2d;

    void negate_if(std::uint64_t mask) noexcept {
        masked_swap(y_plus_x, y_minus_x, mask);
        masked_negate(xy2d, mask);
    }
};

// An AffineNiels form as three canonical 255-bit values in 96 bytes, the
// table entry: a quarter less to pass over per gather than the limbs.
struct PackedAffineNiels {
    std::uint64_t w[12];

    static PackedAffineNiels pack(const AffineNiels& n) noexcept {
        PackedAffineNiels out{};
        const FieldElement* coordinates[3] = {&n.y_plus_x, &n.y_minus_x, &n.xy2d};
        for (int c = 0; c < 3; ++c) {
            const auto bytes = coordinates[c]->to_bytes();
            for (int k = 0; k < 4; ++k) out.w[4 * c + k] = load_le64(bytes.data() + 8 * k);
        }
        return out;
    }
    AffineNiels unpack() const noexcept {
        const auto field = [&](int c) { return fe::from_words(w[4 * c], w[4 * c + 1], w[4 * c + 2], w[4 * c + 3]); };
        return {field(0), field(1), field(2)};
    }
    // The identity is (1, 1, 0).
    void gather_identity(std::uint64_t mask) noexcept {
        w[0] |= 1 & mask;
        w[4] |= 1 & mask;
    }
};

inline const ProjectiveNiels& unpacked(const ProjectiveNiels& n) noexcept { return n; }
inline AffineNiels unpacked(const PackedAffineNiels& n) noexcept { return n.unpack(); }

// The sum from the products (Y1+X1)(Y2+X2), (Y1-X1)(Y2-X2), T1 2d T2 and
// 2 Z1 Z2: X3 = PP - MM and Y3 = PP + MM are twice x1 y2 + y1 x2 and
// y1 y2 + x1 x2; Z3, T3 = 2 Z1 Z2 +- 2d T1 T2 are twice 1 +- d x1 x2 y1 y2.
// A subtraction swaps the Niels halves and the sign of the T term.
inline CompletedPoint combine(const FieldElement& PP, const FieldElement& MM, const FieldElement& TT2d,
                              const FieldElement& ZZ2, bool subtract) noexcept {
    const FieldElement plus = fe::add(ZZ2, TT2d);
    const FieldElement minus = fe::sub(ZZ2, TT2d);
    return {fe::sub(PP, MM), fe::add(PP, MM), subtract ? minus : plus, subtract ? plus : minus};
}

inline CompletedPoint add(const EdwardsPoint& p, const ProjectiveNiels& q, bool subtract = false) noexcept {
    const FieldElement PP = fe::mul(fe::add(p.Y, p.X), subtract ? q.Y_minus_X : q.Y_plus_X);
    const FieldElement MM = fe::mul(fe::sub(p.Y, p.X), subtract ? q.Y_plus_X : q.Y_minus_X);
    const FieldElement TT2d = fe::mul(p.T, q.T2d);
    const FieldElement ZZ = fe::mul(p.Z, q.Z);
    return combine(PP, MM, TT2d, fe::add(ZZ, ZZ), subtract);
}

inline CompletedPoint add(const EdwardsPoint& p, const AffineNiels& q) noexcept {
    const FieldElement PP = fe::mul(fe::add(p.Y, p.X), q.y_plus_x);
    const FieldElement MM = fe::mul(fe::sub(p.Y, p.X), q.y_minus_x);
    const FieldElement TT2d = fe::mul(p.T, q.xy2d);
    return combine(PP, MM, TT2d, fe::add(p.Z, p.Z), false);
}

// Doubling of -x^2 + y^2 = 1 + d x^2 y^2: with XX = X^2, YY = Y^2,
// 2x y = (X+Y)^2 - XX - YY over Z^2, the double is
// ((X+Y)^2 - XX - YY : YY - XX) for x and (YY + XX : 2 Z^2 - (YY - XX)) for y.
inline CompletedPoint double_point(const ProjectivePoint& p) noexcept {
    const FieldElement XX = fe::square(p.X);
    const FieldElement YY = fe::square(p.Y);
    const FieldElement ZZ2 = fe::square2(p.Z);
    const FieldElement XpY2 = fe::square(fe::add(p.X, p.Y));
    const FieldElement YY_plus_XX = fe::add(YY, XX);
    const FieldElement YY_minus_XX = fe::weak_reduce(fe::sub(YY, XX));
    return {fe::sub(XpY2, YY_plus_XX), YY_plus_XX, YY_minus_XX, fe::sub(ZZ2, YY_minus_XX)};
}

inline ProjectivePoint to_projective(const EdwardsPoint& p) noexcept { return {p.X, p.Y, p.Z}; }

// 2^k p for k >= 1, keeping T only for the last doubling.
inline EdwardsPoint mul_by_pow2(const EdwardsPoint& p, unsigned k) noexcept {
    ProjectivePoint s = to_projective(p);
    for (unsigned i = 1; i < k; ++i) s = double_point(s).to_projective();
    return double_point(s).to_extended();
}

// Equality of small public or secret integers as a Choice, for x, y < 2^63.
inline Choice ct_eq_u64(std::uint64_t x, std::uint64_t y) noexcept {
    const std::uint64_t diff = x ^ y;
    return Choice::from_bit(static_cast<std::uint8_t>(((diff | (0 - diff)) >> 63) ^ 1));
}

using u64x2 = std::uint64_t __attribute__((vector_size(16)));

// entries[j] = (j+1) P; returns digit * P for |digit| <= N. Every entry is
// read and ORed in under a mask that is all ones for the chosen one only, so
// neither a branch nor the memory touched depends on the digit. The entries
// are gathered as raw 16-byte vectors.
template <std::size_t N, class Entry>
inline auto select_multiple(const Entry* entries, int digit) noexcept {
    static_assert(sizeof(Entry) % 16 == 0 && std::is_trivially_copyable_v<Entry>);
    constexpr std::size_t kVectors = sizeof(Entry) / 16;
    const int sign_mask = digit >> 31;  // -1 when negative
    const std::uint64_t magnitude = static_cast<std::uint64_t>((digit ^ sign_mask) - sign_mask);
    u64x2 acc[kVectors] = {};
    for (std::size_t j = 0; j < N; ++j) {
        const std::uint64_t m = ct_eq_u64(magnitude, j + 1).mask();
        const u64x2 mv = {m, m};
        const auto* src = reinterpret_cast<const unsigned char*>(&entries[j]);
        for (std::size_t k = 0; k < kVectors; ++k) {
            u64x2 e;
            std::memcpy(&e, src + 16 * k, 16);
            acc[k] |= e & mv;
        }
    }
    Entry gathered;
    std::memcpy(&gathered, acc, sizeof gathered);
    gathered.gather_identity(ct_eq_u64(magnitude, 0).mask());
    auto r = unpacked(gathered);
    r.negate_if(Choice::from_bit(static_cast<std::uint8_t>(sign_mask & 1)).mask());
    return r;
}

template <class Niels, std::size_t N>
inline auto select_multiple(const Niels (&entries)[N], int digit) noexcept {
    return select_multiple<N>(&entries[0], digit);
}

}  // namespace edwards25519::detail
