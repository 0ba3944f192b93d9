// The batch engine: edwards25519 point arithmetic on kLanes independent
// points at once, written once over any `LaneField` (lane_field.hpp). Every
// backend (AVX-512 IFMA, AVX-512F, AVX2, portable) runs these same formulas;
// a lane gives exactly the value the scalar layer gives for the same input,
// and encodings are the same bytes.
//
// The curve is -x^2 + y^2 = 1 + d x^2 y^2 with a = -1 a square and d a
// non-square, so the addition law is complete: exact for every pair of
// points, small-order ones included, with the same instructions for all.
//
// Instantiated for a vector field only by that backend's translation unit
// (src/paths/, compiled for its instruction set); the scalar layer
// (field.cpp, point.cpp, table.cpp) runs it on one lane of the scalar field.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "edwards25519/batch/lane_field.hpp"
#include "edwards25519/field.hpp"
#include "edwards25519/point.hpp"
#include "edwards25519/scalar.hpp"
#include "support/rng.hpp"

namespace edwards25519::batch::engine {

// Whether the multiplication loop is compiled as one function, every
// formula inlined (F::kFlattenLoops): faster where the registers hold a
// point's coordinates (AVX-512, the scalar field), slower where they spill
// (AVX2's sixteen registers).
// Builds that emulate the vector instructions (OSTRELLINE_SIMD_EMULATION)
// never flatten: the emulated intrinsics are large functions of their own,
// and a loop with all of them inlined takes the compiler far too long.
template <class F>
#if defined(OSTRELLINE_SIMD_EMULATION)
inline constexpr bool kFlattenLoops = false;
#else
inline constexpr bool kFlattenLoops = requires { requires F::kFlattenLoops; };
#endif


// ---- field functions derived from the lane field ------------------------

// How many independent exponentiations run side by side (F::kChains, one
// where a field does not say): as many as the registers hold without
// spilling, measured with bench/batch_bench. Builds that emulate the vector
// instructions keep the fields' choices, so they test the same code.
template <class F>
inline constexpr std::size_t kChains = [] {
    if constexpr (requires { F::kChains; }) {
        return std::size_t{F::kChains};
    } else {
        return std::size_t{1};
    }
}();

// K independent elements of a lane field, each product applied to all K in
// turn: a chain of squarings (an exponentiation) waits on each product's
// latency, and K chains side by side give the CPU independent work to fill
// that wait. The exponentiations below are written over this arithmetic;
// K = 1 is the plain field.
template <LaneField F, std::size_t K>
struct Interleaved {
    using Element = std::array<typename F::Element, K>;

    static Element square(const Element& a) noexcept {
        Element r;
        for (std::size_t i = 0; i < K; ++i) r[i] = F::square(a[i]);
        return r;
    }
    static Element mul(const Element& a, const Element& b) noexcept {
        Element r;
        for (std::size_t i = 0; i < K; ++i) r[i] = F::mul(a[i], b[i]);
        return r;
    }
    static Element pow2k(const Element& a, unsigned k) noexcept {
        Element r = a;
        do {
            r = square(r);
        } while (--k != 0);
        return r;
    }
};

// z^(2^250 - 1) and z^11, shared by the inversion and z^((p-5)/8); z_a_0
// stands for z^(2^a - 1). A is a lane field or Interleaved.
template <class A>
struct Chain {
    typename A::Element z_250_0, z11;
};

template <class A>
Chain<A> pow_chain(const typename A::Element& z) noexcept {
    using E = typename A::Element;
    const E z2 = A::square(z);
    const E z9 = A::mul(A::pow2k(z2, 2), z);
    const E z11 = A::mul(z9, z2);
    const E z_5_0 = A::mul(A::square(z11), z9);
    const E z_10_0 = A::mul(A::pow2k(z_5_0, 5), z_5_0);
    const E z_20_0 = A::mul(A::pow2k(z_10_0, 10), z_10_0);
    const E z_40_0 = A::mul(A::pow2k(z_20_0, 20), z_20_0);
    const E z_50_0 = A::mul(A::pow2k(z_40_0, 10), z_10_0);
    const E z_100_0 = A::mul(A::pow2k(z_50_0, 50), z_50_0);
    const E z_200_0 = A::mul(A::pow2k(z_100_0, 100), z_100_0);
    const E z_250_0 = A::mul(A::pow2k(z_200_0, 50), z_50_0);
    return {z_250_0, z11};
}

// The inverse, and 0 for 0: the field's own inversion where it has one (the
// scalar field's divsteps), else z^(p-2) = z^((2^250 - 1) 2^5 + 11).
template <LaneField F>
typename F::Element invert(const typename F::Element& z) noexcept {
    if constexpr (requires { F::invert(z); }) {
        return F::invert(z);
    } else {
        const Chain<F> c = pow_chain<F>(z);
        return F::mul(F::pow2k(c.z_250_0, 5), c.z11);
    }
}

// z^((p-5)/8) = z^((2^250 - 1) 4 + 1).
template <class A>
typename A::Element pow22523(const typename A::Element& z) noexcept {
    const Chain<A> c = pow_chain<A>(z);
    return A::mul(A::pow2k(c.z_250_0, 2), z);
}

template <LaneField F>
typename F::Element conditional_negate(const typename F::Element& a, const typename F::Mask& m) noexcept {
    return F::select(a, F::neg(a), m);
}

// The non-negative one of a and -a.
template <LaneField F>
typename F::Element abs(const typename F::Element& a) noexcept {
    return conditional_negate<F>(a, F::is_negative(a));
}

template <LaneField F>
struct SqrtRatio {
    typename F::Element root;
    typename F::Mask was_square;
};

// Per lane FieldElement::sqrt_ratio_i: r = u v^3 (u v^7)^((p-5)/8) has
// v r^2 in {u, -u, i u, -i u} when v != 0; r or i r is then a root of u/v or
// of i u/v. The root returned is the non-negative one, so it does not depend
// on how it was found; `was_square` holds the lanes where u/v is a square or
// u = 0. Its steps around the exponentiation are shared by one ratio
// (sqrt_ratio_i) and K at once (sqrt_ratios, the exponentiations
// interleaved).
template <LaneField F>
struct RatioPowers {
    typename F::Element uv3, uv7;
};

template <LaneField F>
RatioPowers<F> ratio_powers(const typename F::Element& u, const typename F::Element& v) noexcept {
    const typename F::Element v3 = F::mul(F::square(v), v);
    const typename F::Element v7 = F::mul(F::square(v3), v);
    return {F::mul(u, v3), F::mul(u, v7)};
}

// From u v^3 and (u v^7)^((p-5)/8).
template <LaneField F>
SqrtRatio<F> ratio_root(const typename F::Element& u, const typename F::Element& v, const typename F::Element& uv3,
                        const typename F::Element& power) noexcept {
    using E = typename F::Element;
    const E sqrt_m1 = F::broadcast(constants::SQRT_M1);
    E r = F::mul(uv3, power);
    const E check = F::mul(v, F::square(r));
    const E neg_u = F::neg(u);
    const auto correct = F::equal(check, u);
    const auto flipped = F::equal(check, neg_u);
    const auto flipped_i = F::equal(check, F::mul(neg_u, sqrt_m1));
    r = F::select(r, F::mul(r, sqrt_m1), flipped | flipped_i);
    return {abs<F>(r), correct | flipped};
}

template <LaneField F>
SqrtRatio<F> sqrt_ratio_i(const typename F::Element& u, const typename F::Element& v) noexcept {
    const RatioPowers<F> p = ratio_powers<F>(u, v);
    return ratio_root<F>(u, v, p.uv3, pow22523<F>(p.uv7));
}

template <LaneField F, std::size_t K>
std::array<SqrtRatio<F>, K> sqrt_ratios(const typename F::Element (&u)[K], const typename F::Element (&v)[K]) noexcept {
    typename Interleaved<F, K>::Element uv3, uv7;
    for (std::size_t i = 0; i < K; ++i) {
        const RatioPowers<F> p = ratio_powers<F>(u[i], v[i]);
        uv3[i] = p.uv3;
        uv7[i] = p.uv7;
    }
    const auto powers = pow22523<Interleaved<F, K>>(uv7);
    std::array<SqrtRatio<F>, K> out;
    for (std::size_t i = 0; i < K; ++i) out[i] = ratio_root<F>(u[i], v[i], uv3[i], powers[i]);
    return out;
}

// ---- point representations ------------------------------------------------

// Extended (X:Y:Z:T), x = X/Z, y = Y/Z, XY = ZT.
template <LaneField F>
struct Point {
    typename F::Element X, Y, Z, T;
};

// (X:Y:Z).
template <LaneField F>
struct Projective {
    typename F::Element X, Y, Z;
};

// ((X:Z), (Y:T)), x = X/Z, y = Y/T. Its coordinates only ever feed products,
// so they stay loose.
template <LaneField F>
struct Completed {
    typename F::Loose X, Y, Z, T;

    Point<F> to_extended() const noexcept { return {F::mul(X, T), F::mul(Y, Z), F::mul(Z, T), F::mul(X, Y)}; }
    Projective<F> to_projective() const noexcept { return {F::mul(X, T), F::mul(Y, Z), F::mul(Z, T)}; }
};

// (Y+X, Y-X, Z, 2d T) of an extended point.
template <LaneField F>
struct ProjectiveNiels {
    typename F::Element ypx, ymx, z, t2d;
};

// (y+x, y-x, 2d x y) of an affine point.
template <LaneField F>
struct AffineNiels {
    typename F::Element ypx, ymx, xy2d;
};

template <LaneField F>
Point<F> identity() noexcept {
    return {F::zero(), F::one(), F::one(), F::zero()};
}

template <LaneField F>
ProjectiveNiels<F> to_niels(const Point<F>& p) noexcept {
    return {F::add(p.Y, p.X), F::sub(p.Y, p.X), p.Z, F::mul(p.T, F::broadcast(constants::EDWARDS_D2))};
}

// 2a + b and 2a - b, loose. A field whose doubling may feed a sum or a
// difference before it is carried says so with twice_plus_loose and
// twice_minus_loose (one carry fewer each); the others double first.
template <LaneField F>
void twice_plus_minus(const typename F::Element& a, const typename F::Element& b, typename F::Loose& plus,
                      typename F::Loose& minus) noexcept {
    if constexpr (requires { F::twice_plus_loose(a, b); F::twice_minus_loose(a, b); }) {
        plus = F::twice_plus_loose(a, b);
        minus = F::twice_minus_loose(a, b);
    } else {
        const auto a2 = F::add(a, a);
        plus = F::add_loose(a2, b);
        minus = F::sub_loose(a2, b);
    }
}

template <LaneField F>
typename F::Loose twice_minus(const typename F::Element& a, const typename F::Element& b) noexcept {
    if constexpr (requires { F::twice_minus_loose(a, b); }) {
        return F::twice_minus_loose(a, b);
    } else {
        return F::sub_loose(F::add(a, a), b);
    }
}

// From PP = (Y1+X1)(Y2+X2), MM = (Y1-X1)(Y2-X2), TT = T1 2d T2 and
// ZZ = Z1 Z2: X3 = PP - MM and Y3 = PP + MM are twice x1 y2 + y1 x2 and
// y1 y2 + x1 x2; Z3, T3 = 2 ZZ +- TT are twice 1 +- d x1 x2 y1 y2.
template <LaneField F>
Completed<F> combine(const typename F::Element& pp, const typename F::Element& mm, const typename F::Element& tt,
                     const typename F::Element& zz) noexcept {
    Completed<F> c{F::sub_loose(pp, mm), F::add_loose(pp, mm), {}, {}};
    twice_plus_minus<F>(zz, tt, c.Z, c.T);
    return c;
}

template <LaneField F>
Completed<F> add(const Point<F>& p, const ProjectiveNiels<F>& q) noexcept {
    const auto pp = F::mul(F::add_loose(p.Y, p.X), q.ypx);
    const auto mm = F::mul(F::sub_loose(p.Y, p.X), q.ymx);
    const auto tt = F::mul(p.T, q.t2d);
    const auto zz = F::mul(p.Z, q.z);
    return combine<F>(pp, mm, tt, zz);
}

template <LaneField F>
Completed<F> add(const Point<F>& p, const AffineNiels<F>& q) noexcept {
    const auto pp = F::mul(F::add_loose(p.Y, p.X), q.ypx);
    const auto mm = F::mul(F::sub_loose(p.Y, p.X), q.ymx);
    const auto tt = F::mul(p.T, q.xy2d);
    return combine<F>(pp, mm, tt, p.Z);
}

// With XX = X^2, YY = Y^2 and 2xy = (X+Y)^2 - XX - YY over Z^2, the double
// is ((X+Y)^2 - XX - YY : YY - XX) for x and (YY + XX : 2 Z^2 - (YY - XX)) for y.
template <LaneField F>
Completed<F> double_point(const Projective<F>& p) noexcept {
    const auto xx = F::square(p.X);
    const auto yy = F::square(p.Y);
    const auto zz = F::square(p.Z);
    const auto xpy2 = F::square(F::add_loose(p.X, p.Y));
    const auto yy_plus_xx = F::add(yy, xx);
    const auto yy_minus_xx = F::sub(yy, xx);
    return {F::sub_loose(xpy2, yy_plus_xx), F::loosen(yy_plus_xx), F::loosen(yy_minus_xx),
            twice_minus<F>(zz, yy_minus_xx)};
}

template <LaneField F>
Point<F> add_points(const Point<F>& a, const Point<F>& b) noexcept {
    return add<F>(a, to_niels<F>(b)).to_extended();
}

template <LaneField F>
Point<F> double_extended(const Point<F>& a) noexcept {
    return double_point<F>({a.X, a.Y, a.Z}).to_extended();
}

// 2^k p for k >= 1, keeping T only for the last doubling.
template <LaneField F>
Point<F> mul_by_pow2(const Point<F>& p, unsigned k) noexcept {
    Projective<F> s{p.X, p.Y, p.Z};
    for (unsigned i = 1; i < k; ++i) s = double_point<F>(s).to_projective();
    return double_point<F>(s).to_extended();
}

template <LaneField F>
Point<F> select(const Point<F>& a, const Point<F>& b, const typename F::Mask& m) noexcept {
    return {F::select(a.X, b.X, m), F::select(a.Y, b.Y, m), F::select(a.Z, b.Z, m), F::select(a.T, b.T, m)};
}

// Equality as group elements, per lane, without inversion.
template <LaneField F>
typename F::Mask equal(const Point<F>& a, const Point<F>& b) noexcept {
    return F::equal(F::mul(a.X, b.Z), F::mul(b.X, a.Z)) & F::equal(F::mul(a.Y, b.Z), F::mul(b.Y, a.Z));
}

template <LaneField F>
Point<F> from_lanes(const EdwardsPoint* lanes) noexcept {
    std::array<FieldElement, F::kLanes> x, y, z, t;
    for (std::size_t i = 0; i < F::kLanes; ++i) {
        x[i] = lanes[i].X;
        y[i] = lanes[i].Y;
        z[i] = lanes[i].Z;
        t[i] = lanes[i].T;
    }
    return {F::from_lanes(x.data()), F::from_lanes(y.data()), F::from_lanes(z.data()), F::from_lanes(t.data())};
}

template <LaneField F>
void to_lanes(const Point<F>& p, EdwardsPoint* out) noexcept {
    std::array<FieldElement, F::kLanes> x, y, z, t;
    F::to_lanes(p.X, x.data());
    F::to_lanes(p.Y, y.data());
    F::to_lanes(p.Z, z.data());
    F::to_lanes(p.T, t.data());
    for (std::size_t i = 0; i < F::kLanes; ++i) out[i] = EdwardsPoint{x[i], y[i], z[i], t[i]};
}

template <LaneField F>
Point<F> broadcast(const EdwardsPoint& p) noexcept {
    return {F::broadcast(p.X), F::broadcast(p.Y), F::broadcast(p.Z), F::broadcast(p.T)};
}

// ---- encodings -------------------------------------------------------------

template <LaneField F>
struct Decompressed {
    Point<F> point;           // the identity in lanes that did not decompress
    typename F::Mask valid;   // lanes that decompressed
};

// CompressedEdwardsY::decompress per lane: y from bits 0..254,
// x^2 = (y^2 - 1) / (d y^2 + 1), x the non-negative root negated when bit 255
// is set (x = 0 accepted with either bit). The steps around the square root
// are shared by one point (decompress) and several (decompress_many).
template <LaneField F>
struct Ratio {
    typename F::Element y, u, v;  // x^2 = u / v
};

template <LaneField F>
Ratio<F> decompression_ratio(const std::uint8_t* const* bytes) noexcept {
    using E = typename F::Element;
    const E y = F::from_bytes(bytes);
    const E yy = F::square(y);
    return {y, F::sub(yy, F::one()), F::add(F::mul(yy, F::broadcast(constants::EDWARDS_D)), F::one())};
}

template <LaneField F>
Decompressed<F> decompressed(const std::uint8_t* const* bytes, const typename F::Element& y,
                             const SqrtRatio<F>& root) noexcept {
    const typename F::Element x = conditional_negate<F>(root.root, F::top_bits(bytes));
    const Point<F> p{x, y, F::one(), F::mul(x, y)};
    return {select<F>(identity<F>(), p, root.was_square), root.was_square};
}

template <LaneField F>
Decompressed<F> decompress(const std::uint8_t* const* bytes) noexcept {
    const Ratio<F> r = decompression_ratio<F>(bytes);
    return decompressed<F>(bytes, r.y, sqrt_ratio_i<F>(r.u, r.v));
}

// K points, kChains<F> of them interleaved at a time.
template <LaneField F, std::size_t K>
std::array<Decompressed<F>, K> decompress_many(const std::uint8_t* const (&bytes)[K][F::kLanes]) noexcept {
    constexpr std::size_t C = K < kChains<F> ? K : kChains<F>;
    static_assert(K % C == 0);
    std::array<Decompressed<F>, K> out;
    if constexpr (C == 1) {
        for (std::size_t k = 0; k < K; ++k) out[k] = decompress<F>(bytes[k]);
    } else {
        for (std::size_t b = 0; b < K; b += C) {
            typename F::Element y[C], u[C], v[C];
            for (std::size_t k = 0; k < C; ++k) {
                const Ratio<F> r = decompression_ratio<F>(bytes[b + k]);
                y[k] = r.y;
                u[k] = r.u;
                v[k] = r.v;
            }
            const std::array<SqrtRatio<F>, C> roots = sqrt_ratios<F, C>(u, v);
            for (std::size_t k = 0; k < C; ++k) out[b + k] = decompressed<F>(bytes[b + k], y[k], roots[k]);
        }
    }
    return out;
}


// Canonical y with the sign of x in bit 255, from x = X/Z, y = Y/Z given 1/Z.
template <LaneField F>
void compress_with(const Point<F>& p, const typename F::Element& z_inverse, std::uint8_t* const* out) noexcept {
    F::to_bytes(F::mul(p.Y, z_inverse), F::is_negative(F::mul(p.X, z_inverse)), out);
}

// One inversion for `count` elements: inverses[k] first holds the prefix
// product a_0 ... a_(k-1); the inverse of the whole product then peels each
// 1/a_k off from the last to the first. 0 stays 0 only when it is the sole
// element; callers invert nonzero values (Z coordinates). `values` and
// `inverses` do not overlap.
template <LaneField F>
void batch_invert(const typename F::Element* values, std::size_t count, typename F::Element* inverses) noexcept {
    typename F::Element product = F::one();
    for (std::size_t k = 0; k < count; ++k) {
        inverses[k] = product;
        product = F::mul(product, values[k]);
    }
    typename F::Element inverse = invert<F>(product);
    for (std::size_t k = count; k-- > 0;) {
        inverses[k] = F::mul(inverse, inverses[k]);
        inverse = F::mul(inverse, values[k]);
    }
}

// The compressed bytes of points[k] lane i to out[k * kLanes + i], for up to
// kMaxCompress points per lane sharing one field inversion.
inline constexpr std::size_t kMaxCompress = 4;

template <LaneField F>
void compress_many(const Point<F>* points, std::size_t count, std::uint8_t* const* out) noexcept {
    if (count == 0 || count > kMaxCompress) return;
    typename F::Element z[kMaxCompress] = {}, z_inverse[kMaxCompress] = {};
    for (std::size_t k = 0; k < count; ++k) z[k] = points[k].Z;
    batch_invert<F>(z, count, z_inverse);
    for (std::size_t k = 0; k < count; ++k) compress_with<F>(points[k], z_inverse[k], out + k * F::kLanes);
}

// ---- scalar multiplication ---------------------------------------------------

// Positions of signed radix-2^W digits of a scalar below 2^255.
template <unsigned W>
constexpr std::size_t kPositions = (256 + W - 1) / W;

// Signed radix-2^W digits, window-major: digits[i][lane] is digit i of that
// lane's scalar, in [-2^(W-1), 2^(W-1)] (Scalar::signed_digits).
// (A class rather than an array type, whose bound would be an expression in
// the mangled names of the functions taking it.)
template <LaneField F, unsigned W = 4>
struct Digits {
    alignas(64) std::int8_t at[kPositions<W>][F::kLanes];

    std::int8_t* operator[](std::size_t i) noexcept { return at[i]; }
    const std::int8_t* operator[](std::size_t i) const noexcept { return at[i]; }
};

// Every lane's digits from one scalar each (or the same scalar for all when
// `shared`). Secret: callers wipe them.
template <LaneField F, unsigned W = 4>
void recode(const Scalar* scalars, bool shared, Digits<F, W>& digits) noexcept {
    for (std::size_t lane = 0; lane < F::kLanes; ++lane) {
        if (shared && lane > 0) {
            for (std::size_t i = 0; i < kPositions<W>; ++i) digits[i][lane] = digits[i][0];
            continue;
        }
        auto d = scalars[lane].template signed_digits<W>();
        for (std::size_t i = 0; i < kPositions<W>; ++i) digits[i][lane] = d[i];
        support::secure_zero(d.data(), d.size());
    }
}

// Negation of a Niels form under a mask: Y+X and Y-X swap, the T term flips.
template <LaneField F>
void conditional_negate(ProjectiveNiels<F>& n, const typename F::Mask& m) noexcept {
    const auto ypx = n.ypx;
    n.ypx = F::select(n.ypx, n.ymx, m);
    n.ymx = F::select(n.ymx, ypx, m);
    n.t2d = conditional_negate<F>(n.t2d, m);
}

template <LaneField F>
void conditional_negate(AffineNiels<F>& n, const typename F::Mask& m) noexcept {
    const auto ypx = n.ypx;
    n.ypx = F::select(n.ypx, n.ymx, m);
    n.ymx = F::select(n.ymx, ypx, m);
    n.xy2d = conditional_negate<F>(n.xy2d, m);
}

// ProjectiveNiels coordinates in the lane field's selection form.
template <LaneField F>
struct PackedNiels {
    typename F::Entry ypx, ymx, z, t2d;
};

// digit * P per lane from multiples[j] = (j+1) P, |digit| <= 8: every entry
// is passed over and blended in where its index matches, so neither the
// instructions nor the memory touched depend on the digits.
template <LaneField F>
ProjectiveNiels<F> select_multiple(const PackedNiels<F> (&multiples)[8], const PackedNiels<F>& identity,
                                   const std::int8_t* digits) noexcept {
    const auto index = F::index(digits);
    PackedNiels<F> r = identity;
    for (unsigned j = 0; j < 8; ++j) {
        const auto m = F::index_is(index, j + 1);
        r.ypx = F::select(r.ypx, multiples[j].ypx, m);
        r.ymx = F::select(r.ymx, multiples[j].ymx, m);
        r.z = F::select(r.z, multiples[j].z, m);
        r.t2d = F::select(r.t2d, multiples[j].t2d, m);
    }
    ProjectiveNiels<F> n{F::unpack(r.ypx), F::unpack(r.ymx), F::unpack(r.z), F::unpack(r.t2d)};
    conditional_negate<F>(n, F::index_negative(index));
    return n;
}

template <LaneField F>
PackedNiels<F> pack(const ProjectiveNiels<F>& n) noexcept {
    return {F::pack(n.ypx), F::pack(n.ymx), F::pack(n.z), F::pack(n.t2d)};
}

// sum over i of digits[i] 16^i p per lane, by Horner's rule from the top
// digit: four doublings and one addition of digit * P per digit.
template <LaneField F>
Point<F> mul_digits_loop(const Point<F>& p, const Digits<F>& digits) noexcept {
    PackedNiels<F> multiples[8];
    const ProjectiveNiels<F> first = to_niels<F>(p);
    multiples[0] = pack<F>(first);
    Point<F> current = p;
    for (int j = 1; j < 8; ++j) {
        current = add<F>(current, first).to_extended();
        multiples[j] = pack<F>(to_niels<F>(current));
    }
    const PackedNiels<F> identity = pack<F>({F::one(), F::one(), F::one(), F::zero()});
    Completed<F> sum = add<F>(engine::identity<F>(), select_multiple<F>(multiples, identity, digits[63]));
    for (int i = 62; i >= 0; --i) {
        Projective<F> s = sum.to_projective();
        for (int k = 0; k < 3; ++k) s = double_point<F>(s).to_projective();
        const Point<F> q = double_point<F>(s).to_extended();
        sum = add<F>(q, select_multiple<F>(multiples, identity, digits[i]));
    }
    return sum.to_extended();
}

template <LaneField F>
[[gnu::flatten]] Point<F> mul_digits_flat(const Point<F>& p, const Digits<F>& digits) noexcept {
    return mul_digits_loop<F>(p, digits);
}

template <LaneField F>
Point<F> mul_digits(const Point<F>& p, const Digits<F>& digits) noexcept {
    if constexpr (kFlattenLoops<F>) {
        return mul_digits_flat<F>(p, digits);
    } else {
        return mul_digits_loop<F>(p, digits);
    }
}

// Variable-base multiplication, lane i by scalars[i] (or every lane by
// scalars[0] when `shared`); scalars up to 2^255 - 1, as EdwardsPoint::mul.
template <LaneField F>
Point<F> mul(const Point<F>& p, const Scalar* scalars, bool shared) noexcept {
    Digits<F> digits;
    recode<F>(scalars, shared, digits);
    const Point<F> out = mul_digits<F>(p, digits);
    support::secure_zero(&digits, sizeof digits);
    return out;
}

// scalars[i] (8 p) per lane (or scalars[0] for every lane when `shared`):
// three doublings, then `mul`. The small-order part of p is gone before the
// scalar touches it, so the result is the same for p and for p plus any
// point of order dividing 8; with a scalar s = x / 8 mod l it is x Q, Q the
// prime-order part of p (x P itself for P of the prime-order subgroup).
template <LaneField F>
Point<F> mul_cleared(const Point<F>& p, const Scalar* scalars, bool shared) noexcept {
    return mul<F>(mul_by_pow2<F>(p, 3), scalars, shared);
}

// Fixed-base multiplication: with signed radix-2^W digits, the multiples
// j 2^(W i) P (j = 1..2^(W-1), for every digit position i) of one point as
// affine Niels forms, shared by all lanes; lane i of `mul` is scalars[i] P,
// one table addition per digit and no doubling. A wider window means fewer
// additions but more entries to pass over per addition (kTableWindow).
template <LaneField F, unsigned W>
class BasepointTable {
public:
    static constexpr std::size_t kPositions = engine::kPositions<W>;
    static constexpr std::size_t kMultiples = std::size_t{1} << (W - 1);

    struct Entry {
        typename F::Limbs ypx, ymx, xy2d;
    };

    // The multiples in the scalar layer, made affine with one shared
    // inversion, then stored in the backend's limb form.
    explicit BasepointTable(const EdwardsPoint& base) : entries_(kPositions) {
        std::vector<EdwardsPoint> points(kPositions * kMultiples);
        EdwardsPoint position = base;  // 2^(W i) P
        for (std::size_t i = 0; i < kPositions; ++i) {
            EdwardsPoint* row = &points[i * kMultiples];
            row[0] = position;
            for (std::size_t j = 1; j < kMultiples; ++j) row[j] = row[j - 1] + position;
            position = row[kMultiples - 1] + row[kMultiples - 1];  // 2^W from 2^(W-1) times the position
        }
        std::vector<FieldElement> z(points.size()), z_inverse(points.size());
        for (std::size_t k = 0; k < points.size(); ++k) z[k] = points[k].Z;
        FieldElement::batch_invert(z.data(), z.size(), z_inverse.data());
        for (std::size_t k = 0; k < points.size(); ++k) {
            const FieldElement x = points[k].X * z_inverse[k];
            const FieldElement y = points[k].Y * z_inverse[k];
            entries_[k / kMultiples][k % kMultiples] = {limbs(y + x), limbs(y - x), limbs(x * y * constants::EDWARDS_D2)};
        }
    }

    Point<F> mul(const Scalar* scalars) const noexcept {
        Digits<F, W> digits;
        recode<F, W>(scalars, false, digits);
        const Point<F> q = kFlattenLoops<F> ? sum_flat(digits) : sum(digits);
        support::secure_zero(&digits, sizeof digits);
        return q;
    }

private:
    using Row = std::array<Entry, kMultiples>;

    static typename F::Limbs limbs(const FieldElement& a) noexcept { return F::limbs(F::broadcast(a), 0); }

    // One table addition per digit (see kFlattenLoops).
    Point<F> sum(const Digits<F, W>& digits) const noexcept {
        Point<F> q = identity<F>();
        for (std::size_t i = 0; i < kPositions; ++i) q = add<F>(q, select(entries_[i], digits[i])).to_extended();
        return q;
    }
    [[gnu::flatten]] Point<F> sum_flat(const Digits<F, W>& digits) const noexcept { return sum(digits); }

    // digit * entry per lane: every entry of the position is broadcast and
    // blended into the lanes whose digit selects it.
    AffineNiels<F> select(const Row& entries, const std::int8_t* digits) const noexcept {
        const auto index = F::index(digits);
        typename F::Entry ypx = F::entry(one_), ymx = ypx, xy2d = F::entry(zero_);
        for (unsigned j = 0; j < kMultiples; ++j) {
            const auto m = F::index_is(index, j + 1);
            ypx = F::select(ypx, F::entry(entries[j].ypx), m);
            ymx = F::select(ymx, F::entry(entries[j].ymx), m);
            xy2d = F::select(xy2d, F::entry(entries[j].xy2d), m);
        }
        AffineNiels<F> r{F::unpack(ypx), F::unpack(ymx), F::unpack(xy2d)};
        conditional_negate<F>(r, F::index_negative(index));
        return r;
    }

    typename F::Limbs one_ = limbs(FieldElement::one()), zero_ = limbs(FieldElement::zero());
    std::vector<Row> entries_;
};

// The window of a table, the widest whose longer selections the saved
// additions pay for (measured with bench/batch_bench and bench/group_bench):
// on one lane selecting is cheap against an addition, so the standard base
// point's table, built once, takes 43 additions of 32 entries each; a table
// built per call (a public key's) and every table on vector lanes, which
// broadcast and blend each entry, take 52 additions of 16.
enum class TableUse { base_point, per_call };

template <LaneField F, TableUse U>
constexpr unsigned kTableWindow = F::kLanes == 1 && U == TableUse::base_point ? 6 : 5;

template <LaneField F>
using KeyTable = BasepointTable<F, kTableWindow<F, TableUse::per_call>>;

// The table of the standard base point, built on first use, one per backend.
template <LaneField F>
const BasepointTable<F, kTableWindow<F, TableUse::base_point>>& basepoint_table() {
    static const auto* const table =
        new BasepointTable<F, kTableWindow<F, TableUse::base_point>>(EdwardsPoint::basepoint());
    return *table;
}

}  // namespace edwards25519::batch::engine
