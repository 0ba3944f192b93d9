#include "src/store_build.hpp"

#include <cstddef>
#include <cstring>
#include <new>
#include <string>
#include <type_traits>

#include "okvs/src/distinct.hpp"
#include "okvs/paxos.hpp"
#include "support/failure.hpp"

namespace ostrelline {

namespace paxos = okvs::schemes::paxos;

namespace {

// The graph cells are encoded in place in the result buffer, which is the
// store's byte form: a cell's bytes there are its object representation.
static_assert(std::is_trivially_copyable_v<Ciphertext> && std::is_standard_layout_v<Ciphertext>);
static_assert(sizeof(Ciphertext) == Ciphertext::kSize && alignof(Ciphertext) == 1);
static_assert(offsetof(Ciphertext, c1) == 0 && offsetof(Ciphertext, c2) == 32);

// `count` cells over the bytes at `at`, their lifetimes begun without a write.
std::span<Ciphertext> cells_over(std::uint8_t* at, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) ::new (static_cast<void*>(at + Ciphertext::kSize * i)) Ciphertext;
    return {reinterpret_cast<Ciphertext*>(at), count};
}

std::uint64_t little_endian_at(const std::uint8_t* at) noexcept {
    std::uint64_t value = 0;
    for (std::size_t k = 8; k-- > 0;) value = (value << 8) | at[k];
    return value;
}

void write_little_endian(std::uint64_t value, std::uint8_t* at) noexcept {
    for (std::size_t k = 0; k < 8; ++k) at[k] = static_cast<std::uint8_t>(value >> (8 * k));
}

}  // namespace

PackedRows::PackedRows(std::span<const std::uint8_t> keys, std::span<const std::uint8_t> offsets)
    : keys_(keys), offsets_(offsets.data()), rows_(0) {
    if (offsets.empty() || offsets.size() % 8 != 0) {
        support::fail("The row_offsets object should hold n + 1 offsets of 8 bytes each for n rows: its length, " +
                      std::to_string(offsets.size()) + ", is not a positive multiple of 8.");
    }
    rows_ = offsets.size() / 8 - 1;
    if (offset(0) != 0) {
        support::fail("Row offset 0 is " + std::to_string(offset(0)) + ": the first row starts at byte 0 of row_keys.");
    }
    for (std::size_t i = 1; i <= rows_; ++i) {
        const std::uint64_t at = offset(i), before = offset(i - 1);
        if (at < before) {
            support::fail("Row offset " + std::to_string(i) + " (" + std::to_string(at) + ") is below row offset " +
                          std::to_string(i - 1) + " (" + std::to_string(before) + "): offsets never decrease.");
        }
        if (at > keys.size()) {
            support::fail("Row offset " + std::to_string(i) + " (" + std::to_string(at) +
                          ") is beyond the end of row_keys (" + std::to_string(keys.size()) + " bytes).");
        }
    }
    if (offset(rows_) != keys.size()) {
        support::fail("The last row offset (" + std::to_string(offset(rows_)) + ") is not the length of row_keys (" +
                      std::to_string(keys.size()) + " bytes): every key byte belongs to a row.");
    }
}

std::uint64_t PackedRows::offset(std::size_t i) const noexcept { return little_endian_at(offsets_ + 8 * i); }

void build_store(const ByteArg& public_key, const RowKeys& rows, bool hiding, Sink out,
                 const paths::Kernels& kernels) {
    const edwards25519::EdwardsPoint key = read_public_key(public_key);
    const std::size_t n = rows.size();
    // Every multiple of the identity or of the point of order 2 is one of those
    // two points, neither of which has uniform point bytes: encrypting under
    // such a key would retry forever.
    if (n != 0 && key.double_point().is_identity().declassify()) {
        support::fail("The public key is the identity or the point of order 2: none of its multiples has uniform "
                      "point bytes, so it can encrypt nothing.");
    }
    // Refuse repeated rows before the expensive encryptions rather than after.
    okvs::schemes::require_distinct(n, rows);
    paxos::detail::require_storable(n);
    std::vector<Ciphertext> zeros(n);
    kernels.zero(key, n, hiding, zeros.data());

    // The result is allocated once the first attempt has peeled its graph,
    // and its graph cells are written in place.
    const std::size_t m = paxos::graph_size(n);
    std::uint8_t* bytes = nullptr;
    const auto graph_cells = [&](std::size_t cells) {
        if (bytes == nullptr) {
            const std::size_t size = paxos::kHeaderBytes + Ciphertext::kSize * (m + paxos::kBinaryCells);
            bytes = out(size);
            paxos::detail::advise_huge_pages(bytes, size);
        }
        return cells_over(bytes + paxos::kHeaderBytes, cells);
    };
    const auto value_at = [&](std::size_t i) -> const Ciphertext& { return zeros[i]; };
    const paxos::PlacedParts<Ciphertext> parts = paxos::encode_placed<Ciphertext>(n, rows, value_at, graph_cells);
    paxos::detail::write_seeds(parts.seeds, bytes);
    std::uint8_t* binary = bytes + paxos::kHeaderBytes + Ciphertext::kSize * m;
    for (const Ciphertext& cell : parts.binary_part) {
        cell.to_bytes(binary);
        binary += Ciphertext::kSize;
    }
}

void build_okvs_packed(const ByteArg& public_key, const ByteArg& row_keys, const ByteArg& row_offsets, bool hiding,
                       Sink out, const paths::Kernels& kernels) {
    const auto keys = row_keys.require(kRowKeysText);
    const auto offsets = row_offsets.require(kRowOffsetsText);
    const PackedRows rows(keys, offsets);
    build_store(public_key, RowKeys(rows), hiding, out, kernels);
}

void distinct_packed(const ByteArg& row_keys, const ByteArg& row_offsets, Sink out) {
    const auto keys = row_keys.require(kRowKeysText);
    const auto offsets = row_offsets.require(kRowOffsetsText);
    const PackedRows rows(keys, offsets);
    const std::size_t n = rows.size();
    std::vector<std::uint64_t> repeated((n + 63) / 64, 0);
    std::size_t kept = n, kept_bytes = keys.size();
    okvs::schemes::find_repeats(n, RowKeys(rows), [&](std::size_t, std::size_t j) {
        repeated[j / 64] |= std::uint64_t{1} << (j % 64);
        --kept;
        kept_bytes -= rows[j].bytes.size();
    });
    std::uint8_t* key_out = out(kept_bytes);
    std::uint8_t* offsets_out = out(8 * (kept + 1));
    std::uint64_t at = 0;
    write_little_endian(at, offsets_out);
    for (std::size_t i = 0; i < n; ++i) {
        if ((repeated[i / 64] >> (i % 64)) & 1u) continue;
        const auto bytes = rows[i].bytes;
        if (!bytes.empty()) std::memcpy(key_out + at, bytes.data(), bytes.size());
        at += bytes.size();
        offsets_out += 8;
        write_little_endian(at, offsets_out);
    }
}

}  // namespace ostrelline
