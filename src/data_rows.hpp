// Row keys: a database row (a list of column strings) as a store key.
//
// A row is looked up by its key bytes alone: the concatenation of the
// columns' UTF-8 bytes, with no separator, prefix or terminator. Only those
// bytes are kept, in one string (inline for keys of up to 15 bytes), so a
// row costs one allocation at most: a build holds every row of its input at
// once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ostrelline {

class DataRow {
public:
    DataRow() = default;

    void push_column(std::string_view utf8) { bytes_.append(utf8); }

    // The bytes every key hash reads: the columns' UTF-8 bytes concatenated.
    std::span<const std::uint8_t> key_bytes() const noexcept {
        return {reinterpret_cast<const std::uint8_t*>(bytes_.data()), bytes_.size()};
    }

private:
    std::string bytes_;
};

using Rows = std::vector<DataRow>;

}  // namespace ostrelline
