// GF(2^255 - 19): the public operations over the inline radix-2^51 core.
#include "edwards25519/field.hpp"

#include "edwards25519/bytes.hpp"
#include "edwards25519/fe51.hpp"

namespace edwards25519 {

using fe::kMask51;

FieldElement FieldElement::from_u64(std::uint64_t x) noexcept { return {{x & kMask51, x >> 51, 0, 0, 0}}; }

// The top limb's mask drops bit 255.
FieldElement FieldElement::from_bytes(const std::uint8_t bytes[32]) noexcept {
    return fe::from_words(load_le64(bytes), load_le64(bytes + 8), load_le64(bytes + 16), load_le64(bytes + 24));
}

std::array<std::uint8_t, 32> FieldElement::to_bytes() const noexcept {
    FieldElement h = fe::weak_reduce(*this);
    // h < 2p now. q = floor((h + 19) / 2^255) is 1 exactly when h >= p; the
    // chain below computes that carry limb by limb.
    std::uint64_t q = (h.v[0] + 19) >> 51;
    q = (h.v[1] + q) >> 51;
    q = (h.v[2] + q) >> 51;
    q = (h.v[3] + q) >> 51;
    q = (h.v[4] + q) >> 51;
    // h - q p = h + 19 q - q 2^255: add 19 q, carry, drop bit 255.
    h.v[0] += 19 * q;
    h.v[1] += h.v[0] >> 51;
    h.v[0] &= kMask51;
    h.v[2] += h.v[1] >> 51;
    h.v[1] &= kMask51;
    h.v[3] += h.v[2] >> 51;
    h.v[2] &= kMask51;
    h.v[4] += h.v[3] >> 51;
    h.v[3] &= kMask51;
    h.v[4] &= kMask51;

    return store_le256(h.v[0] | (h.v[1] << 51), (h.v[1] >> 13) | (h.v[2] << 38), (h.v[2] >> 26) | (h.v[3] << 25),
                       (h.v[3] >> 39) | (h.v[4] << 12));
}

FieldElement operator+(const FieldElement& a, const FieldElement& b) noexcept {
    return fe::weak_reduce(fe::add(a, b));
}

FieldElement operator-(const FieldElement& a, const FieldElement& b) noexcept {
    return fe::weak_reduce(fe::sub(a, b));
}

FieldElement operator*(const FieldElement& a, const FieldElement& b) noexcept { return fe::mul(a, b); }

FieldElement FieldElement::operator-() const noexcept { return fe::weak_reduce(fe::sub(zero(), *this)); }

FieldElement FieldElement::square() const noexcept { return fe::square(*this); }

FieldElement FieldElement::square2() const noexcept { return fe::weak_reduce(fe::square2(*this)); }

FieldElement FieldElement::pow2k(unsigned k) const noexcept { return k == 0 ? *this : fe::pow2k(*this, k); }

namespace {

// z^(2^250 - 1) and z^11, the common part of the inversion and of
// z^((p-5)/8). Exponents in the names are written in binary run lengths:
// z_a_0 is z^(2^a - 1).
struct ChainResult {
    FieldElement z_250_0;
    FieldElement z11;
};

ChainResult pow_chain(const FieldElement& z) noexcept {
    const FieldElement z2 = fe::square(z);
    const FieldElement z9 = fe::mul(fe::pow2k(z2, 2), z);
    const FieldElement z11 = fe::mul(z9, z2);
    const FieldElement z_5_0 = fe::mul(fe::square(z11), z9);  // z^31
    const FieldElement z_10_0 = fe::mul(fe::pow2k(z_5_0, 5), z_5_0);
    const FieldElement z_20_0 = fe::mul(fe::pow2k(z_10_0, 10), z_10_0);
    const FieldElement z_40_0 = fe::mul(fe::pow2k(z_20_0, 20), z_20_0);
    const FieldElement z_50_0 = fe::mul(fe::pow2k(z_40_0, 10), z_10_0);
    const FieldElement z_100_0 = fe::mul(fe::pow2k(z_50_0, 50), z_50_0);
    const FieldElement z_200_0 = fe::mul(fe::pow2k(z_100_0, 100), z_100_0);
    const FieldElement z_250_0 = fe::mul(fe::pow2k(z_200_0, 50), z_50_0);
    return {z_250_0, z11};
}

Choice bytes_equal(const std::array<std::uint8_t, 32>& a, const std::array<std::uint8_t, 32>& b) noexcept {
    std::uint64_t diff = 0;
    for (std::size_t i = 0; i < 32; ++i) diff |= static_cast<std::uint64_t>(a[i] ^ b[i]);
    return Choice::from_bit(static_cast<std::uint8_t>(((diff | (0 - diff)) >> 63) ^ 1));
}

}  // namespace

// (p-5)/8 = 2^252 - 3 = (2^250 - 1) * 4 + 1.
FieldElement FieldElement::pow22523() const noexcept {
    const ChainResult c = pow_chain(*this);
    return fe::mul(fe::pow2k(c.z_250_0, 2), *this);
}

// p - 2 = 2^255 - 21 = (2^250 - 1) * 32 + 11.
FieldElement FieldElement::invert() const noexcept {
    const ChainResult c = pow_chain(*this);
    return fe::mul(fe::pow2k(c.z_250_0, 5), c.z11);
}

Choice FieldElement::is_negative() const noexcept {
    return Choice::from_bit(static_cast<std::uint8_t>(to_bytes()[0] & 1));
}

Choice FieldElement::is_zero() const noexcept { return bytes_equal(to_bytes(), std::array<std::uint8_t, 32>{}); }

Choice FieldElement::ct_eq(const FieldElement& other) const noexcept {
    return bytes_equal(to_bytes(), other.to_bytes());
}

FieldElement FieldElement::select(const FieldElement& a, const FieldElement& b, Choice choose_b) noexcept {
    const std::uint64_t mask = choose_b.mask();
    FieldElement r;
    for (int i = 0; i < 5; ++i) r.v[i] = a.v[i] ^ ((a.v[i] ^ b.v[i]) & mask);
    return r;
}

void FieldElement::conditional_assign(const FieldElement& other, Choice choice) noexcept {
    *this = select(*this, other, choice);
}

void FieldElement::conditional_negate(Choice choice) noexcept { conditional_assign(-*this, choice); }

void FieldElement::conditional_swap(FieldElement& a, FieldElement& b, Choice choice) noexcept {
    const std::uint64_t mask = choice.mask();
    for (int i = 0; i < 5; ++i) {
        const std::uint64_t t = (a.v[i] ^ b.v[i]) & mask;
        a.v[i] ^= t;
        b.v[i] ^= t;
    }
}

FieldElement FieldElement::abs() const noexcept { return select(*this, -*this, is_negative()); }

// r = u v^3 (u v^7)^((p-5)/8) satisfies v r^2 in {u, -u, i u, -i u} when
// v != 0. v r^2 = u: r is the root. v r^2 = -u: i r is. v r^2 = -i u: u/v is
// not a square and i r is a root of i u / v. v r^2 = i u: r already is.
std::pair<Choice, FieldElement> FieldElement::sqrt_ratio_i(const FieldElement& u, const FieldElement& v) noexcept {
    const FieldElement v3 = fe::mul(fe::square(v), v);
    const FieldElement v7 = fe::mul(fe::square(v3), v);
    FieldElement r = fe::mul(fe::mul(u, v3), fe::mul(u, v7).pow22523());
    const FieldElement check = fe::mul(v, fe::square(r));

    const FieldElement neg_u = -u;
    const Choice correct = check.ct_eq(u);
    const Choice flipped = check.ct_eq(neg_u);
    const Choice flipped_i = check.ct_eq(fe::mul(neg_u, constants::SQRT_M1));

    r.conditional_assign(fe::mul(r, constants::SQRT_M1), flipped | flipped_i);
    return {correct | flipped, r.abs()};
}

namespace constants {
// The limbs of d = -121665/121666, 2d and sqrt(-1) = 2^((p-1)/4); the tests
// recheck each against its defining equation.
const FieldElement EDWARDS_D{
    {929955233495203, 466365720129213, 1662059464998953, 2033849074728123, 1442794654840575}};
const FieldElement EDWARDS_D2{
    {1859910466990425, 932731440258426, 1072319116312658, 1815898335770999, 633789495995903}};
const FieldElement SQRT_M1{
    {1718705420411056, 234908883556509, 2233514472574048, 2117202627021982, 765476049583133}};
const FieldElement MONTGOMERY_A{{486662, 0, 0, 0, 0}};
}  // namespace constants

}  // namespace edwards25519
