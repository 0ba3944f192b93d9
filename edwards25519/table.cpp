// Fixed-base tables of the scalar layer: the engine's one design
// (batch::engine::BasepointTable) on one lane of the scalar field, the same
// table every backend builds on its own lanes: the affine multiples
// j 16^i P (j = 1..8, i = 0..63), one addition and no doubling per signed
// radix-16 digit, each multiple chosen by a masked pass over all eight.
#include "edwards25519/table.hpp"

#include "edwards25519/batch/engine.hpp"
#include "edwards25519/batch/scalar_field.hpp"

namespace edwards25519 {

struct EdwardsBasepointTable::Data {
    explicit Data(const EdwardsPoint& p) noexcept : base(p), table(p) {}

    EdwardsPoint base;
    batch::engine::BasepointTable<batch::ScalarField> table;
};

EdwardsBasepointTable::EdwardsBasepointTable(const EdwardsPoint& base) : data_(std::make_unique<Data>(base)) {}

EdwardsBasepointTable::~EdwardsBasepointTable() = default;
EdwardsBasepointTable::EdwardsBasepointTable(EdwardsBasepointTable&&) noexcept = default;
EdwardsBasepointTable& EdwardsBasepointTable::operator=(EdwardsBasepointTable&&) noexcept = default;

const EdwardsPoint& EdwardsBasepointTable::base() const noexcept { return data_->base; }

EdwardsPoint EdwardsBasepointTable::mul(const Scalar& scalar) const noexcept {
    const auto q = data_->table.mul(&scalar);
    return {q.X, q.Y, q.Z, q.T};
}

const EdwardsBasepointTable& ED25519_BASEPOINT_TABLE() {
    static const EdwardsBasepointTable table(EdwardsPoint::basepoint());
    return table;
}

}  // namespace edwards25519
