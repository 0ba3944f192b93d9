// Fixed-base tables. With signed radix 2^W digits s = sum d_i 2^(W i),
// |d_i| <= 2^(W-1), the table holds for every position i the affine
// multiples j 2^(W i) P, j = 1..2^(W-1), so s P needs one addition per
// digit and no doubling. A wider window means fewer additions but more
// entries to pass over per addition.
#include "edwards25519/table.hpp"

#include <cstdint>
#include <cstring>
#include <vector>

#include "edwards25519/batch/engine.hpp"
#include "edwards25519/batch/scalar_field.hpp"
#include "edwards25519/bytes.hpp"
#include "edwards25519/fe51.hpp"
#include "support/rng.hpp"

namespace edwards25519 {

namespace {

// The table entries: the point formulas are the engine's, run on one lane of
// the scalar field; what is here is how the entries are stored and gathered.
using OneLane = batch::ScalarField;
using AffineNiels = batch::engine::AffineNiels<OneLane>;

// An affine Niels form as three canonical 255-bit values in 96 bytes, the
// table entry: a quarter less to pass over per gather than the limbs.
struct PackedAffineNiels {
    std::uint64_t w[12];

    static PackedAffineNiels pack(const AffineNiels& n) noexcept {
        PackedAffineNiels out{};
        const FieldElement* coordinates[3] = {&n.ypx, &n.ymx, &n.xy2d};
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
};

// Equality of small public or secret integers as a Choice, for x, y < 2^63.
inline Choice ct_eq_u64(std::uint64_t x, std::uint64_t y) noexcept {
    const std::uint64_t diff = x ^ y;
    return Choice::from_bit(static_cast<std::uint8_t>(((diff | (0 - diff)) >> 63) ^ 1));
}

using u64x2 = std::uint64_t __attribute__((vector_size(16)));

// entries[j] = (j+1) P; returns digit * P for |digit| <= N. Every entry is
// read and ORed in under a mask that is all ones for the chosen one only, so
// neither a branch nor the memory touched depends on the digit. The entries
// are gathered as raw 16-byte vectors; digit 0 gives the identity (1, 1, 0).
template <std::size_t N>
inline AffineNiels select_multiple(const PackedAffineNiels* entries, int digit) noexcept {
    constexpr std::size_t kVectors = sizeof(PackedAffineNiels) / 16;
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
    PackedAffineNiels gathered;
    std::memcpy(&gathered, acc, sizeof gathered);
    const std::uint64_t identity = 1 & ct_eq_u64(magnitude, 0).mask();
    gathered.w[0] |= identity;
    gathered.w[4] |= identity;
    AffineNiels r = gathered.unpack();
    batch::engine::conditional_negate<OneLane>(r, OneLane::Mask(Choice::from_bit(static_cast<std::uint8_t>(sign_mask & 1))));
    return r;
}

}  // namespace

struct EdwardsBasepointTable::Data {
    EdwardsPoint base;
    unsigned window = 0;
    std::vector<PackedAffineNiels> entries;  // position-major
};

namespace {

constexpr unsigned kDefaultWindow = 5;
constexpr unsigned kBasepointWindow = 6;

template <unsigned W>
struct Layout {
    // Enough digits to cover bit 255, which is zero below 2^255, so the top
    // digit with its carry stays within 2^(W-1).
    static constexpr std::size_t kPositions = (256 + W - 1) / W;
    static constexpr std::size_t kMultiples = std::size_t{1} << (W - 1);
};

// Signed radix 2^W digits of a scalar below 2^255, exact for unreduced ones.
template <unsigned W>
std::array<int, Layout<W>::kPositions> signed_digits(const Scalar& s) noexcept {
    const std::array<std::uint8_t, 32>& b = s.to_bytes();
    std::array<int, Layout<W>::kPositions> digits{};
    int carry = 0;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        const std::size_t bit = W * i, byte = bit / 8;
        unsigned window = byte < 32 ? b[byte] : 0u;
        if (byte + 1 < 32) window |= static_cast<unsigned>(b[byte + 1]) << 8;
        const int chunk = static_cast<int>((window >> (bit % 8)) & ((1u << W) - 1));
        int d = chunk + carry;
        if (i + 1 < digits.size()) {
            carry = (d + (1 << (W - 1))) >> W;  // 1 when d >= 2^(W-1)
            d -= carry << W;
        }
        digits[i] = d;
    }
    return digits;
}

// Affine Niels forms of many points with one inversion of their Z's.
std::vector<PackedAffineNiels> batch_to_affine_niels(const std::vector<EdwardsPoint>& points) {
    const std::size_t n = points.size();
    std::vector<FieldElement> z(n), z_inverse(n);
    for (std::size_t i = 0; i < n; ++i) z[i] = points[i].Z;
    FieldElement::batch_invert(z.data(), n, z_inverse.data());
    std::vector<PackedAffineNiels> out(n);
    for (std::size_t i = 0; i < n; ++i) {
        const FieldElement x = fe::mul(points[i].X, z_inverse[i]);
        const FieldElement y = fe::mul(points[i].Y, z_inverse[i]);
        out[i] = PackedAffineNiels::pack({y + x, y - x, fe::mul(fe::mul(x, y), constants::EDWARDS_D2)});
    }
    return out;
}

template <unsigned W>
std::vector<PackedAffineNiels> build(const EdwardsPoint& base) {
    using L = Layout<W>;
    std::vector<EdwardsPoint> points;
    points.reserve(L::kPositions * L::kMultiples);
    EdwardsPoint position = base;  // 2^(W i) P
    for (std::size_t i = 0; i < L::kPositions; ++i) {
        EdwardsPoint multiple = position;
        points.push_back(multiple);
        for (std::size_t j = 1; j < L::kMultiples; ++j) {
            multiple = multiple + position;
            points.push_back(multiple);
        }
        position = multiple.double_point();  // 2^W from 2^(W-1) times 2^(W i) P
    }
    return batch_to_affine_niels(points);
}

template <unsigned W>
EdwardsPoint multiply(const std::vector<PackedAffineNiels>& entries, const Scalar& scalar) noexcept {
    using L = Layout<W>;
    std::array<int, L::kPositions> digits = signed_digits<W>(scalar);
    auto q = batch::engine::identity<OneLane>();
    for (std::size_t i = 0; i < L::kPositions; ++i) {
        const AffineNiels chosen = select_multiple<L::kMultiples>(&entries[i * L::kMultiples], digits[i]);
        q = batch::engine::add<OneLane>(q, chosen).to_extended();
    }
    support::secure_zero(digits.data(), sizeof digits);
    return {q.X, q.Y, q.Z, q.T};
}

}  // namespace

EdwardsBasepointTable::EdwardsBasepointTable(const EdwardsPoint& base) : EdwardsBasepointTable(base, kDefaultWindow) {}

EdwardsBasepointTable::EdwardsBasepointTable(const EdwardsPoint& base, unsigned window)
    : data_(std::make_unique<Data>()) {
    data_->base = base;
    data_->window = window;
    data_->entries = window == kBasepointWindow ? build<kBasepointWindow>(base) : build<kDefaultWindow>(base);
}

EdwardsBasepointTable::~EdwardsBasepointTable() = default;
EdwardsBasepointTable::EdwardsBasepointTable(EdwardsBasepointTable&&) noexcept = default;
EdwardsBasepointTable& EdwardsBasepointTable::operator=(EdwardsBasepointTable&&) noexcept = default;

const EdwardsPoint& EdwardsBasepointTable::base() const noexcept { return data_->base; }

// The window is a property of the table, not of the scalar.
EdwardsPoint EdwardsBasepointTable::mul(const Scalar& scalar) const noexcept {
    return data_->window == kBasepointWindow ? multiply<kBasepointWindow>(data_->entries, scalar)
                                             : multiply<kDefaultWindow>(data_->entries, scalar);
}

const EdwardsBasepointTable& ED25519_BASEPOINT_TABLE() {
    static const EdwardsBasepointTable table(EdwardsPoint::basepoint(), kBasepointWindow);
    return table;
}

}  // namespace edwards25519
