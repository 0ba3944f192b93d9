// The scalar-multiplication kernels of the batch backend, compiled for
// AVX-512 IFMA. Internal: batch.cpp prepares their plain inputs (radix-16
// digits, tables) and is the only caller.
#pragma once

#include <cstddef>
#include <cstdint>

#include "edwards25519/batch/batch.hpp"

namespace edwards25519::batch::detail {

// Signed radix-16 digits, window-major: digits[i][lane] is digit i of lane's
// scalar, in [-8, 8].
using Digits = std::int64_t[64][kLanes];

// out = sum over i of digits[i] 16^i p, per lane.
void mul_variable(PointBatch& out, const PointBatch& p, const Digits& digits) noexcept;

// out = sum over i of digits[i] 16^i B from the table of B (64 positions of
// BatchBasepointTable::kWordsPerPosition words).
void mul_fixed(PointBatch& out, const std::uint64_t* table, const Digits& digits) noexcept;

// Fills `positions` table positions from `multiples`, whose lane j holds
// (j + 1) P: position i holds (j + 1) 16^i P.
void build_table(const PointBatch& multiples, std::uint64_t* table, std::size_t positions) noexcept;

}  // namespace edwards25519::batch::detail
