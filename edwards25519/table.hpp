// Precomputed tables for constant-time fixed-base multiplication: built from
// any point (a bank's public key per call), or once per process for B.
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
    // Signed radix 2^window digits: one table addition per digit, 2^(window-1)
    // entries gathered per addition. The public constructor uses window 5.
    EdwardsBasepointTable(const EdwardsPoint& base, unsigned window);
    friend const EdwardsBasepointTable& ED25519_BASEPOINT_TABLE();

    std::unique_ptr<Data> data_;
};

// The table of the standard base point, built on first use, once per process.
const EdwardsBasepointTable& ED25519_BASEPOINT_TABLE();

}  // namespace edwards25519
