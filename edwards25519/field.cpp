// GF(2^255 - 19): the public operations over the inline radix-2^51 core.
#include "edwards25519/field.hpp"

#include "edwards25519/batch/engine.hpp"
#include "edwards25519/batch/scalar_field.hpp"
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

Choice bytes_equal(const std::array<std::uint8_t, 32>& a, const std::array<std::uint8_t, 32>& b) noexcept {
    std::uint64_t diff = 0;
    for (std::size_t i = 0; i < 32; ++i) diff |= static_cast<std::uint64_t>(a[i] ^ b[i]);
    return Choice::from_bit(static_cast<std::uint8_t>(((diff | (0 - diff)) >> 63) ^ 1));
}

}  // namespace

// The exponentiation chains and the square root of a ratio are the batch
// engine's, on one lane of this field.
FieldElement FieldElement::pow22523() const noexcept { return batch::engine::pow22523<batch::ScalarField>(*this); }

void FieldElement::batch_invert(const FieldElement* values, std::size_t count, FieldElement* inverses) noexcept {
    batch::engine::batch_invert<batch::ScalarField>(values, count, inverses);
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

std::pair<Choice, FieldElement> FieldElement::sqrt_ratio_i(const FieldElement& u, const FieldElement& v) noexcept {
    const auto r = batch::engine::sqrt_ratio_i<batch::ScalarField>(u, v);
    return {r.was_square.choice(), r.root};
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
