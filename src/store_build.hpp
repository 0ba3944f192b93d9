// Building a bank's store from its rows, however the rows are held: as a
// list of DataRow (build_okvs, build_hiding_okvs) or packed, one buffer of
// all their key bytes and an array of offsets into it (build_okvs_packed),
// which costs a row no object of its own. Both go through one build, so the
// same rows and the same random draws give the same store bytes, and the
// store is encoded straight into the buffer of the result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "okvs/src/hashable.hpp"
#include "src/ciphertexts.hpp"
#include "src/operations.hpp"
#include "src/paths/kernels.hpp"

namespace ostrelline {

inline constexpr std::string_view kRowKeysText = "The row_keys object should be of type `bytes`.";
inline constexpr std::string_view kRowOffsetsText = "The row_offsets object should be of type `bytes`.";

// The key bytes of n rows, whatever holds them: row i of a container whose
// element i has key_bytes(). The container must outlive the view.
class RowKeys {
public:
    template <class Rows>
    explicit RowKeys(const Rows& rows)
        : rows_(&rows), size_(rows.size()), at_([](const void* held, std::size_t i) {
              const auto& row = (*static_cast<const Rows*>(held))[i];
              return okvs::hashable::byte_view(row.key_bytes());
          }) {}

    std::size_t size() const noexcept { return size_; }
    okvs::hashable::BytesKey operator()(std::size_t i) const { return {at_(rows_, i)}; }

private:
    const void* rows_;
    std::size_t size_;
    std::span<const std::uint8_t> (*at_)(const void* rows, std::size_t i);
};

// n rows packed: row i's key bytes are keys[offsets[i], offsets[i + 1]),
// with n + 1 offsets of 8 bytes each, little-endian, the first 0 and the
// last the length of the keys. Read in place; the buffers must outlive it.
class PackedRows {
public:
    // Checks the offsets before any key is read: their byte length a
    // positive multiple of 8, the first 0, none below the one before it or
    // beyond the keys, the last the keys' length. Each refusal names the
    // first offset at fault.
    PackedRows(std::span<const std::uint8_t> keys, std::span<const std::uint8_t> offsets);

    std::size_t size() const noexcept { return rows_; }
    okvs::hashable::BytesKey operator[](std::size_t i) const {
        return {keys_.subspan(offset(i), offset(i + 1) - offset(i))};
    }

private:
    std::uint64_t offset(std::size_t i) const noexcept;

    std::span<const std::uint8_t> keys_;
    const std::uint8_t* offsets_;
    std::size_t rows_;
};

// A store of the given rows under the public key: the encryptions of the
// identity that `hiding` selects (paths::Kernels::zero) for each
// row, encoded and written into one result buffer allocated through `out`.
// The checks and failures, in order: the key (read_public_key, and one that
// can encrypt nothing when there are rows), repeated rows, then the build.
void build_store(const ByteArg& public_key, const RowKeys& rows, bool hiding, Sink out,
                 const paths::Kernels& kernels = paths::dispatched());

// build_store of packed rows (row_keys and row_offsets as PackedRows reads
// them), after their checks: the store of build_okvs (hiding false) or of
// build_hiding_okvs (hiding true) of the same rows as a list.
void build_okvs_packed(const ByteArg& public_key, const ByteArg& row_keys, const ByteArg& row_offsets, bool hiding,
                       Sink out, const paths::Kernels& kernels = paths::dispatched());

// The distinct rows of packed rows, each where it first occurs, in order,
// packed the same way: their key bytes, then their offsets, allocated through
// `out` in that order. Rows are compared by their key bytes, as a build
// compares them.
void distinct_packed(const ByteArg& row_keys, const ByteArg& row_offsets, Sink out);

}  // namespace ostrelline
