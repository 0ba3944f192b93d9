// The one exception type for internal failures. Every layer throws it; only
// the Python module frame catches it, at the interpreter boundary.
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>

namespace support {

class Failure : public std::runtime_error {
public:
    explicit Failure(std::string message,
                     std::source_location where = std::source_location::current())
        : std::runtime_error(std::move(message)), where_(where) {}

    const std::source_location& where() const noexcept { return where_; }

private:
    std::source_location where_;
};

// The message of an `Option::unwrap()` on nothing: used wherever a value that
// must exist is missing (an undecodable point, a lost twin edge, ...).
inline constexpr const char* kUnwrapNone = "called `Option::unwrap()` on a `None` value";

[[noreturn]] inline void fail(std::string message,
                              std::source_location where = std::source_location::current()) {
    throw Failure(std::move(message), where);
}

}  // namespace support
