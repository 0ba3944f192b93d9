// Failure messages shared by the store's parts. Their wording is fixed: the
// messages travel to the caller unchanged.
#pragma once

#include <cstddef>
#include <string>

#include "support/failure.hpp"

namespace okvs::detail {

[[noreturn]] inline void fail_index_out_of_bounds(std::size_t len, std::size_t index) {
    support::fail("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
                  std::to_string(index));
}

// An equality check between two counts that should always agree.
[[noreturn]] inline void fail_not_equal(std::size_t left, std::size_t right) {
    support::fail("assertion `left == right` failed\n  left: " + std::to_string(left) +
                  "\n right: " + std::to_string(right));
}

inline void assert_equal(std::size_t left, std::size_t right) {
    if (left != right) fail_not_equal(left, right);
}

}  // namespace okvs::detail
