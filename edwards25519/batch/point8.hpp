// Eight edwards25519 points at once, one per lane, with the formulas of the
// scalar layer (models.hpp) over Fe8. The addition law of -x^2 + y^2 =
// 1 + d x^2 y^2 is complete, so every lane is exact for any pair of points,
// small-order ones included, and all lanes run the same instructions.
//
// Included only by the AVX-512 IFMA translation units.
#pragma once

#include "edwards25519/batch/field8.hpp"

namespace edwards25519::batch::ifma {

// Extended (X:Y:Z:T), x = X/Z, y = Y/Z, XY = ZT.
struct Point8 {
    Fe8 X, Y, Z, T;
};

// (X:Y:Z).
struct Projective8 {
    Fe8 X, Y, Z;
};

// ((X:Z), (Y:T)), x = X/Z, y = Y/T.
struct Completed8 {
    Fe8 X, Y, Z, T;
};

// (Y+X, Y-X, Z, 2d T) of an extended point.
struct ProjectiveNiels8 {
    Fe8 ypx, ymx, z, t2d;
};

// (y+x, y-x, 2d x y) of an affine point.
struct AffineNiels8 {
    Fe8 ypx, ymx, xy2d;
};

inline Point8 identity8() noexcept { return {fe_zero(), fe_one(), fe_one(), fe_zero()}; }

inline Point8 to_extended(const Completed8& c) noexcept {
    return {mul(c.X, c.T), mul(c.Y, c.Z), mul(c.Z, c.T), mul(c.X, c.Y)};
}

inline Projective8 to_projective(const Completed8& c) noexcept { return {mul(c.X, c.T), mul(c.Y, c.Z), mul(c.Z, c.T)}; }

inline ProjectiveNiels8 to_niels(const Point8& p) noexcept {
    return {add(p.Y, p.X), sub(p.Y, p.X), p.Z, mul(p.T, fe_splat(kEdwardsD2))};
}

// From PP = (Y1+X1)(Y2+X2), MM = (Y1-X1)(Y2-X2), TT = T1 2d T2 and the lazy
// ZZ2 = 2 Z1 Z2 (limbs below 2^53): X3 = PP - MM, Y3 = PP + MM,
// Z3 = ZZ2 + TT, T3 = ZZ2 - TT.
inline Completed8 combine(const Fe8& pp, const Fe8& mm, const Fe8& tt, const Fe8& zz2) noexcept {
    return {sub(pp, mm), add(pp, mm), add(zz2, tt), sub(zz2, tt)};
}

inline Completed8 add(const Point8& p, const ProjectiveNiels8& q) noexcept {
    const Fe8 pp = mul(add(p.Y, p.X), q.ypx);
    const Fe8 mm = mul(sub(p.Y, p.X), q.ymx);
    const Fe8 tt = mul(p.T, q.t2d);
    const Fe8 zz = mul(p.Z, q.z);
    return combine(pp, mm, tt, add_lazy(zz, zz));
}

inline Completed8 add(const Point8& p, const AffineNiels8& q) noexcept {
    const Fe8 pp = mul(add(p.Y, p.X), q.ypx);
    const Fe8 mm = mul(sub(p.Y, p.X), q.ymx);
    const Fe8 tt = mul(p.T, q.xy2d);
    return combine(pp, mm, tt, add_lazy(p.Z, p.Z));
}

// With XX = X^2, YY = Y^2 and 2xy = (X+Y)^2 - XX - YY over Z^2, the double
// is ((X+Y)^2 - XX - YY : YY - XX) for x and (YY + XX : 2 Z^2 - (YY - XX)) for y.
inline Completed8 double_point(const Projective8& p) noexcept {
    const Fe8 xx = square(p.X);
    const Fe8 yy = square(p.Y);
    const Fe8 zz = square(p.Z);
    const Fe8 xpy2 = square(add(p.X, p.Y));
    const Fe8 yy_plus_xx = add(yy, xx);
    const Fe8 yy_minus_xx = sub(yy, xx);
    return {sub(xpy2, yy_plus_xx), yy_plus_xx, yy_minus_xx, sub(add_lazy(zz, zz), yy_minus_xx)};
}

// Negation of a Niels form under a mask: Y+X and Y-X swap, the T term flips.
inline void conditional_negate(ProjectiveNiels8& n, Mask m) noexcept {
    const Fe8 ypx = n.ypx;
    n.ypx = select(n.ypx, n.ymx, m);
    n.ymx = select(n.ymx, ypx, m);
    n.t2d = conditional_negate(n.t2d, m);
}

inline void conditional_negate(AffineNiels8& n, Mask m) noexcept {
    const Fe8 ypx = n.ypx;
    n.ypx = select(n.ypx, n.ymx, m);
    n.ymx = select(n.ymx, ypx, m);
    n.xy2d = conditional_negate(n.xy2d, m);
}

// digit * P per lane from multiples[j] = (j+1) P, |digit| <= 8: every entry
// is passed over and blended in where its index matches, so neither the
// instructions nor the memory touched depend on the digits.
inline ProjectiveNiels8 select_multiple(const ProjectiveNiels8 multiples[8], V digit) noexcept {
    const V magnitude = _mm512_maskz_abs_epi64(0xff, digit);
    const Mask negative = _mm512_movepi64_mask(digit);
    ProjectiveNiels8 r{fe_one(), fe_one(), fe_one(), fe_zero()};
    for (int j = 0; j < 8; ++j) {
        const Mask m = _mm512_cmpeq_epi64_mask(magnitude, splat(static_cast<std::uint64_t>(j + 1)));
        r.ypx = select(r.ypx, multiples[j].ypx, m);
        r.ymx = select(r.ymx, multiples[j].ymx, m);
        r.z = select(r.z, multiples[j].z, m);
        r.t2d = select(r.t2d, multiples[j].t2d, m);
    }
    conditional_negate(r, negative);
    return r;
}

// The same from one position of a shared fixed-base table: 15 words per
// entry (y+x, y-x, 2dxy, five limbs each), stored field-major with the eight
// entries of a word side by side, words[w * 8 + j] for entry j. Each word of
// every entry is broadcast into the lanes whose digit selects that entry.
inline AffineNiels8 select_affine(const std::uint64_t* words, V digit) noexcept {
    const V magnitude = _mm512_maskz_abs_epi64(0xff, digit);
    const Mask negative = _mm512_movepi64_mask(digit);
    V r[15];
    for (int w = 0; w < 15; ++w) r[w] = _mm512_setzero_si512();
    r[0] = splat(1);
    r[5] = splat(1);
    for (int j = 0; j < 8; ++j) {
        const Mask m = _mm512_cmpeq_epi64_mask(magnitude, splat(static_cast<std::uint64_t>(j + 1)));
        for (int w = 0; w < 15; ++w) {
            r[w] = _mm512_mask_mov_epi64(r[w], m, _mm512_set1_epi64(static_cast<long long>(words[w * 8 + j])));
        }
    }
    AffineNiels8 a{{{r[0], r[1], r[2], r[3], r[4]}}, {{r[5], r[6], r[7], r[8], r[9]}},
                   {{r[10], r[11], r[12], r[13], r[14]}}};
    conditional_negate(a, negative);
    return a;
}

}  // namespace edwards25519::batch::ifma
