// Shared helpers for the tests: random inputs, hex, and conversions between
// little-endian byte strings and GMP integers (the arithmetic oracle).
#pragma once

#include <gmp.h>
#include <sodium.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "support/rng.hpp"

namespace oracle {

using Bytes32 = std::array<std::uint8_t, 32>;

inline Bytes32 random32() {
    Bytes32 b{};
    support::random_bytes(b);
    return b;
}

inline std::vector<std::uint8_t> from_hex(const std::string& hex) {
    std::vector<std::uint8_t> out(hex.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    return out;
}

inline Bytes32 hex32(const std::string& hex) {
    const std::vector<std::uint8_t> v = from_hex(hex);
    Bytes32 b{};
    for (std::size_t i = 0; i < 32 && i < v.size(); ++i) b[i] = v[i];
    return b;
}

// An owning GMP integer.
class Mpz {
public:
    Mpz() { mpz_init(v_); }
    explicit Mpz(const char* decimal) { mpz_init_set_str(v_, decimal, 10); }
    Mpz(const Mpz& o) { mpz_init_set(v_, o.v_); }
    Mpz& operator=(const Mpz& o) {
        mpz_set(v_, o.v_);
        return *this;
    }
    ~Mpz() { mpz_clear(v_); }
    mpz_ptr get() { return v_; }
    mpz_srcptr get() const { return v_; }

    // Little-endian bytes, any length.
    static Mpz from_le(const std::uint8_t* bytes, std::size_t n) {
        Mpz r;
        mpz_import(r.v_, n, -1, 1, 0, 0, bytes);
        return r;
    }
    Bytes32 to_le32() const {
        Bytes32 b{};
        std::size_t count = 0;
        mpz_export(b.data(), &count, -1, 1, 0, 0, v_);
        return b;
    }
    friend bool operator==(const Mpz& a, const Mpz& b) { return mpz_cmp(a.v_, b.v_) == 0; }

private:
    mpz_t v_;
};

// p = 2^255 - 19 and l = 2^252 + 27742317777372353535851937790883648493,
// built from their definitions.
inline Mpz field_prime() {
    Mpz p;
    mpz_ui_pow_ui(p.get(), 2, 255);
    mpz_sub_ui(p.get(), p.get(), 19);
    return p;
}

inline Mpz group_order() {
    Mpz l("27742317777372353535851937790883648493");
    Mpz t;
    mpz_ui_pow_ui(t.get(), 2, 252);
    mpz_add(l.get(), l.get(), t.get());
    return l;
}

inline void init_sodium() {
    static const int ok = sodium_init();
    (void)ok;
}

}  // namespace oracle
