// Row keys: a database row (a list of column strings) as a store key.
//
// The row's strings are held back to back in one buffer with their end
// offsets, so the key bytes (the concatenation of the columns' UTF-8 bytes,
// with no separator, prefix or terminator) are available without building
// a new buffer for every hash.
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

    void push_column(std::string_view utf8) {
        bytes_.append(utf8);
        ends_.push_back(bytes_.size());
    }
    void reserve_columns(std::size_t count) { ends_.reserve(count); }

    std::size_t column_count() const noexcept { return ends_.size(); }
    std::string_view column(std::size_t i) const {
        std::size_t begin = i == 0 ? 0 : ends_[i - 1];
        return std::string_view(bytes_).substr(begin, ends_[i] - begin);
    }

    // The bytes every key hash reads: the columns' UTF-8 bytes concatenated.
    std::span<const std::uint8_t> key_bytes() const noexcept {
        return {reinterpret_cast<const std::uint8_t*>(bytes_.data()), bytes_.size()};
    }

private:
    std::string bytes_;
    std::vector<std::size_t> ends_;
};

using Rows = std::vector<DataRow>;

}  // namespace ostrelline
