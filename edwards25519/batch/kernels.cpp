// The batch backend's arithmetic, compiled for AVX-512 IFMA (see the build
// fragment batch.cmake). Only plain data crosses this file's boundary, so no
// inline function of another header is emitted here with vector code.
#include "edwards25519/batch/kernels.hpp"

#include "edwards25519/batch/point8.hpp"

namespace edwards25519::batch {

using namespace ifma;

namespace {

Fe8 load(const FieldBatch& f) noexcept {
    Fe8 r;
    for (int k = 0; k < 5; ++k) r.l[k] = _mm512_loadu_si512(f.limb[k]);
    return r;
}

FieldBatch store(const Fe8& a) noexcept {
    FieldBatch f;
    for (int k = 0; k < 5; ++k) _mm512_storeu_si512(f.limb[k], a.l[k]);
    return f;
}

Point8 load(const PointBatch& p) noexcept { return {load(p.X), load(p.Y), load(p.Z), load(p.T)}; }

PointBatch store(const Point8& p) noexcept { return {store(p.X), store(p.Y), store(p.Z), store(p.T)}; }

// Word k of the 32 bytes at bytes[i] into lane i of w[k].
void load_words(const std::uint8_t* const bytes[kLanes], V w[4]) noexcept {
    alignas(64) std::uint64_t t[4][kLanes];
    for (std::size_t i = 0; i < kLanes; ++i) {
        for (std::size_t k = 0; k < 4; ++k) __builtin_memcpy(&t[k][i], bytes[i] + 8 * k, 8);
    }
    for (int k = 0; k < 4; ++k) w[k] = _mm512_load_si512(t[k]);
}

void store_words(const V w[4], std::uint8_t* const out[kLanes]) noexcept {
    alignas(64) std::uint64_t t[4][kLanes];
    for (int k = 0; k < 4; ++k) _mm512_store_si512(t[k], w[k]);
    for (std::size_t i = 0; i < kLanes; ++i) {
        for (std::size_t k = 0; k < 4; ++k) __builtin_memcpy(out[i] + 8 * k, &t[k][i], 8);
    }
}

// Canonical y with the sign of x in bit 255, from x = X/Z, y = Y/Z given 1/Z.
void compress_with(const Point8& p, const Fe8& z_inverse, std::uint8_t* const out[kLanes]) noexcept {
    V w[4];
    to_words(mul(p.Y, z_inverse), w);
    const Mask x_negative = is_negative(mul(p.X, z_inverse));
    w[3] = _mm512_mask_or_epi64(w[3], x_negative, w[3], splat(std::uint64_t{1} << 63));
    store_words(w, out);
}

// Completed to projective for the doublings, the last one to extended.
Point8 mul_by_16(const Point8& p) noexcept {
    Projective8 s{p.X, p.Y, p.Z};
    for (int i = 0; i < 3; ++i) s = to_projective(double_point(s));
    return to_extended(double_point(s));
}

}  // namespace

// ---- field -------------------------------------------------------------

FieldBatch field_from_bytes(const std::uint8_t* const bytes[kLanes]) noexcept {
    V w[4];
    load_words(bytes, w);
    return store(from_words(w));
}

void field_to_bytes(const FieldBatch& a, std::uint8_t* const out[kLanes]) noexcept {
    V w[4];
    to_words(load(a), w);
    store_words(w, out);
}

FieldBatch add(const FieldBatch& a, const FieldBatch& b) noexcept { return store(ifma::add(load(a), load(b))); }
FieldBatch sub(const FieldBatch& a, const FieldBatch& b) noexcept { return store(ifma::sub(load(a), load(b))); }
FieldBatch mul(const FieldBatch& a, const FieldBatch& b) noexcept { return store(ifma::mul(load(a), load(b))); }
FieldBatch square(const FieldBatch& a) noexcept { return store(ifma::square(load(a))); }
FieldBatch neg(const FieldBatch& a) noexcept { return store(ifma::neg(load(a))); }

FieldBatch select(const FieldBatch& a, const FieldBatch& b, LaneMask choose_b) noexcept {
    return store(ifma::select(load(a), load(b), choose_b));
}

FieldBatch conditional_negate(const FieldBatch& a, LaneMask negate) noexcept {
    return store(ifma::conditional_negate(load(a), negate));
}

LaneMask is_negative(const FieldBatch& a) noexcept { return ifma::is_negative(load(a)); }
LaneMask is_zero(const FieldBatch& a) noexcept { return ifma::is_zero(load(a)); }
LaneMask equal(const FieldBatch& a, const FieldBatch& b) noexcept { return ifma::equal(load(a), load(b)); }
FieldBatch invert(const FieldBatch& a) noexcept { return store(ifma::invert(load(a))); }

FieldBatch sqrt_ratio_i(const FieldBatch& u, const FieldBatch& v, LaneMask& was_square) noexcept {
    Mask m = 0;
    const FieldBatch r = store(ifma::sqrt_ratio_i(load(u), load(v), m));
    was_square = m;
    return r;
}

// ---- points ------------------------------------------------------------

PointBatch point_identity() noexcept { return store(identity8()); }

PointBatch add(const PointBatch& a, const PointBatch& b) noexcept {
    return store(to_extended(ifma::add(load(a), to_niels(load(b)))));
}

PointBatch double_point(const PointBatch& a) noexcept {
    const Point8 p = load(a);
    return store(to_extended(ifma::double_point({p.X, p.Y, p.Z})));
}

LaneMask equal(const PointBatch& a, const PointBatch& b) noexcept {
    const Point8 p = load(a), q = load(b);
    return static_cast<LaneMask>(ifma::equal(mul(p.X, q.Z), mul(q.X, p.Z)) &
                                 ifma::equal(mul(p.Y, q.Z), mul(q.Y, p.Z)));
}

// y from bits 0..254, x^2 = (y^2 - 1) / (d y^2 + 1), x the non-negative root
// negated when bit 255 is set (x = 0 accepted with either bit).
LaneMask decompress(const std::uint8_t* const bytes[kLanes], PointBatch& out) noexcept {
    V w[4];
    load_words(bytes, w);
    const Mask sign = _mm512_test_epi64_mask(w[3], splat(std::uint64_t{1} << 63));
    const Fe8 y = from_words(w);
    const Fe8 yy = square(y);
    const Fe8 u = sub(yy, fe_one());
    const Fe8 v = ifma::add(mul(yy, fe_splat(kEdwardsD)), fe_one());
    Mask ok = 0;
    Fe8 x = ifma::sqrt_ratio_i(u, v, ok);
    x = ifma::conditional_negate(x, sign);
    const Point8 p{x, y, fe_one(), mul(x, y)};
    const Point8 id = identity8();
    out = store(Point8{ifma::select(id.X, p.X, ok), ifma::select(id.Y, p.Y, ok), ifma::select(id.Z, p.Z, ok),
                       ifma::select(id.T, p.T, ok)});
    return ok;
}

void compress(const PointBatch& p, std::uint8_t* const out[kLanes]) noexcept {
    const Point8 q = load(p);
    compress_with(q, ifma::invert(q.Z), out);
}

// One inversion for all: prefix[k] = Z_0 ... Z_(k-1), the inverse of the
// whole product, then each 1/Z_k peeled off from the last to the first.
void compress_many(const PointBatch* points, std::size_t count, std::uint8_t* const* out) noexcept {
    if (count == 0 || count > kMaxCompress) return;
    Fe8 prefix[kMaxCompress];
    Fe8 product = fe_one();
    for (std::size_t k = 0; k < count; ++k) {
        prefix[k] = product;
        product = mul(product, load(points[k].Z));
    }
    Fe8 inverse = ifma::invert(product);
    for (std::size_t k = count; k-- > 0;) {
        const Point8 q = load(points[k]);
        const Fe8 z_inverse = mul(inverse, prefix[k]);
        inverse = mul(inverse, q.Z);
        compress_with(q, z_inverse, out + k * kLanes);
    }
}

// ---- scalar multiplication kernels ---------------------------------------

namespace detail {

// Horner's rule from the top digit: four doublings and one addition of
// digit * P (from [P, ..., 8P] by masked selection) per digit.
void mul_variable(PointBatch& out, const PointBatch& p, const Digits& digits) noexcept {
    ProjectiveNiels8 multiples[8];
    Point8 current = load(p);
    multiples[0] = to_niels(current);
    for (int j = 1; j < 8; ++j) {
        current = to_extended(ifma::add(current, multiples[0]));
        multiples[j] = to_niels(current);
    }
    Completed8 sum = ifma::add(identity8(), select_multiple(multiples, _mm512_loadu_si512(digits[63])));
    for (int i = 62; i >= 0; --i) {
        Projective8 s = to_projective(sum);
        for (int k = 0; k < 3; ++k) s = to_projective(ifma::double_point(s));
        const Point8 q = to_extended(ifma::double_point(s));
        sum = ifma::add(q, select_multiple(multiples, _mm512_loadu_si512(digits[i])));
    }
    out = store(to_extended(sum));
}

// One addition per digit, no doubling: position i holds the multiples of 16^i B.
void mul_fixed(PointBatch& out, const std::uint64_t* table, const Digits& digits) noexcept {
    Point8 q = identity8();
    for (std::size_t i = 0; i < BatchBasepointTable::kPositions; ++i) {
        const AffineNiels8 entry =
            select_affine(table + i * BatchBasepointTable::kWordsPerPosition, _mm512_loadu_si512(digits[i]));
        q = to_extended(ifma::add(q, entry));
    }
    out = store(q);
}

// Lane j of `current` is (j + 1) 16^i P; its affine Niels form goes to
// position i, then every lane is multiplied by 16 for the next position.
void build_table(const PointBatch& multiples, std::uint64_t* table, std::size_t positions) noexcept {
    Point8 current = load(multiples);
    for (std::size_t i = 0; i < positions; ++i) {
        const Fe8 z_inverse = ifma::invert(current.Z);
        const Fe8 x = mul(current.X, z_inverse);
        const Fe8 y = mul(current.Y, z_inverse);
        const Fe8 words[3] = {ifma::add(y, x), ifma::sub(y, x), mul(mul(x, y), fe_splat(kEdwardsD2))};
        std::uint64_t* position = table + i * BatchBasepointTable::kWordsPerPosition;
        for (int f = 0; f < 3; ++f) {
            for (int k = 0; k < 5; ++k) _mm512_storeu_si512(position + (5 * f + k) * kLanes, words[f].l[k]);
        }
        if (i + 1 < positions) current = mul_by_16(current);
    }
}

}  // namespace detail

}  // namespace edwards25519::batch
