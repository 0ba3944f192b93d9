// Fixed-base tables: for every radix-16 position i the affine multiples
// j 16^i P, j = 1..8, so s P = sum d_i 16^i P needs one table addition per
// signed digit and no doubling.
#include "edwards25519/table.hpp"

#include <vector>

#include "edwards25519/models.hpp"
#include "support/rng.hpp"

namespace edwards25519 {

using detail::AffineNiels;

struct EdwardsBasepointTable::Data {
    static constexpr std::size_t kPositions = 64;
    EdwardsPoint base;
    AffineNiels rows[kPositions][8];
};

namespace {

// Affine Niels forms of many points with one inversion: prefix products of
// the Z's, one inverse of the total, then each 1/Z peeled off backwards.
std::vector<AffineNiels> batch_to_affine_niels(const std::vector<EdwardsPoint>& points) {
    const std::size_t n = points.size();
    std::vector<AffineNiels> out(n);
    std::vector<FieldElement> prefix(n);
    FieldElement acc = FieldElement::one();
    for (std::size_t i = 0; i < n; ++i) {
        prefix[i] = acc;
        acc = fe::mul(acc, points[i].Z);
    }
    acc = acc.invert();
    for (std::size_t i = n; i-- > 0;) {
        const FieldElement z_inv = fe::mul(acc, prefix[i]);
        acc = fe::mul(acc, points[i].Z);
        const FieldElement x = fe::mul(points[i].X, z_inv);
        const FieldElement y = fe::mul(points[i].Y, z_inv);
        out[i] = {fe::weak_reduce(fe::add(y, x)), fe::weak_reduce(fe::sub(y, x)),
                  fe::mul(fe::mul(x, y), constants::EDWARDS_D2)};
    }
    return out;
}

}  // namespace

EdwardsBasepointTable::EdwardsBasepointTable(const EdwardsPoint& base) : data_(std::make_unique<Data>()) {
    data_->base = base;
    std::vector<EdwardsPoint> points;
    points.reserve(Data::kPositions * 8);
    EdwardsPoint position = base;  // 16^i P
    for (std::size_t i = 0; i < Data::kPositions; ++i) {
        const detail::ProjectiveNiels step = detail::ProjectiveNiels::from(position);
        EdwardsPoint multiple = position;
        points.push_back(multiple);
        for (std::size_t j = 1; j < 8; ++j) {
            multiple = detail::add(multiple, step).to_extended();
            points.push_back(multiple);
        }
        position = multiple.double_point();  // 16 * 16^i P from 8 * 16^i P
    }
    const std::vector<AffineNiels> entries = batch_to_affine_niels(points);
    for (std::size_t k = 0; k < entries.size(); ++k) data_->rows[k / 8][k % 8] = entries[k];
}

EdwardsBasepointTable::~EdwardsBasepointTable() = default;
EdwardsBasepointTable::EdwardsBasepointTable(EdwardsBasepointTable&&) noexcept = default;
EdwardsBasepointTable& EdwardsBasepointTable::operator=(EdwardsBasepointTable&&) noexcept = default;

const EdwardsPoint& EdwardsBasepointTable::base() const noexcept { return data_->base; }

EdwardsPoint EdwardsBasepointTable::mul(const Scalar& scalar) const noexcept {
    std::array<std::int8_t, 64> digits = scalar.as_radix_16();
    EdwardsPoint q = EdwardsPoint::identity();
    for (std::size_t i = 0; i < Data::kPositions; ++i)
        q = detail::add(q, detail::select_multiple(data_->rows[i], digits[i])).to_extended();
    support::secure_zero(digits.data(), digits.size());
    return q;
}

const EdwardsBasepointTable& ED25519_BASEPOINT_TABLE() {
    static const EdwardsBasepointTable table(EdwardsPoint::basepoint());
    return table;
}

}  // namespace edwards25519
