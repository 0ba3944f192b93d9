// Scope guard that wipes a secret object when it leaves scope, on every path.
#pragma once

#include "support/rng.hpp"

namespace support {

template <class T>
class Wipe {
public:
    explicit Wipe(T& object) noexcept : object_(object) {}
    ~Wipe() { secure_zero(&object_, sizeof(T)); }
    Wipe(const Wipe&) = delete;
    Wipe& operator=(const Wipe&) = delete;

private:
    T& object_;
};

}  // namespace support
