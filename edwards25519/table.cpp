// Fixed-base tables of the scalar layer: the engine's one design
// (batch::engine::BasepointTable) on one lane of the scalar field, the same
// table every backend builds on its own lanes, with the one-lane windows
// (batch::engine::kTableWindow): the standard base point's table is the
// engine's, shared with the portable backend; any other point gets a
// per-call table.
#include "edwards25519/table.hpp"

#include "edwards25519/batch/engine.hpp"
#include "edwards25519/batch/scalar_field.hpp"

namespace edwards25519 {

struct EdwardsBasepointTable::Data {
    EdwardsPoint base;
    // Null for the standard base point, whose table is the engine's.
    std::unique_ptr<batch::engine::KeyTable<batch::ScalarField>> table;
};

EdwardsBasepointTable::EdwardsBasepointTable(const EdwardsPoint& base)
    : data_(std::make_unique<Data>(Data{base, std::make_unique<batch::engine::KeyTable<batch::ScalarField>>(base)})) {}

EdwardsBasepointTable::EdwardsBasepointTable(std::unique_ptr<Data> data) noexcept : data_(std::move(data)) {}

EdwardsBasepointTable::~EdwardsBasepointTable() = default;
EdwardsBasepointTable::EdwardsBasepointTable(EdwardsBasepointTable&&) noexcept = default;
EdwardsBasepointTable& EdwardsBasepointTable::operator=(EdwardsBasepointTable&&) noexcept = default;

const EdwardsPoint& EdwardsBasepointTable::base() const noexcept { return data_->base; }

EdwardsPoint EdwardsBasepointTable::mul(const Scalar& scalar) const noexcept {
    // Which table serves is public: it depends on the base only.
    const auto q = data_->table ? data_->table->mul(&scalar)
                                : batch::engine::basepoint_table<batch::ScalarField>().mul(&scalar);
    return {q.X, q.Y, q.Z, q.T};
}

const EdwardsBasepointTable& ED25519_BASEPOINT_TABLE() {
    static const EdwardsBasepointTable table(std::make_unique<EdwardsBasepointTable::Data>(
        EdwardsBasepointTable::Data{EdwardsPoint::basepoint(), nullptr}));
    return table;
}

}  // namespace edwards25519
