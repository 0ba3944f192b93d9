// Precomputed tables for constant-time fixed-base multiplication: built from
// any point, or once per process for B (the engine's table design on one
// lane of the scalar field, table.cpp).
#pragma once

#include <memory>

#include "edwards25519/point.hpp"
#include "edwards25519/scalar.hpp"

namespace edwards25519 {

class EdwardsBasepointTable {
public:
    explicit EdwardsBasepointTable(const EdwardsPoint& base);
    ~EdwardsBasepointTable();
    EdwardsBasepointTable(EdwardsBasepointTable&&) noexcept;
    EdwardsBasepointTable& operator=(EdwardsBasepointTable&&) noexcept;

    // scalar * base, constant time: no branch or memory index depends on the scalar.
    // Scalars up to 2^255 - 1.
    EdwardsPoint mul(const Scalar& scalar) const noexcept;

    const EdwardsPoint& base() const noexcept;

    struct Data;

private:
    friend const EdwardsBasepointTable& ED25519_BASEPOINT_TABLE();
    explicit EdwardsBasepointTable(std::unique_ptr<Data> data) noexcept;

    std::unique_ptr<Data> data_;
};

// The table of the standard base point, built on first use, once per process.
const EdwardsBasepointTable& ED25519_BASEPOINT_TABLE();

}  // namespace edwards25519
