// Shared helpers for the tests: random inputs, hex, and conversions between
// little-endian byte strings and big integers (the arithmetic oracle).
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

// An owning big integer with the arithmetic the tests need.
class Mpz {
public:
    Mpz() { mpz_init(v_); }
    Mpz(long x) { mpz_init_set_si(v_, x); }  // NOLINT: implicit on purpose
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
    static Mpz pow2(unsigned long k) {
        Mpz r;
        mpz_ui_pow_ui(r.v_, 2, k);
        return r;
    }
    // Bytes of a value below 2^256.
    Bytes32 to_le32() const {
        Bytes32 b{};
        mpz_export(b.data(), nullptr, -1, 1, 0, 0, v_);
        return b;
    }
    bool odd() const { return mpz_odd_p(v_) != 0; }

    friend Mpz operator+(const Mpz& a, const Mpz& b) { return op(mpz_add, a, b); }
    friend Mpz operator-(const Mpz& a, const Mpz& b) { return op(mpz_sub, a, b); }
    friend Mpz operator*(const Mpz& a, const Mpz& b) { return op(mpz_mul, a, b); }
    friend Mpz operator%(const Mpz& a, const Mpz& m) { return op(mpz_mod, a, m); }  // in [0, m)
    friend Mpz operator>>(const Mpz& a, unsigned long k) {
        Mpz r;
        mpz_fdiv_q_2exp(r.v_, a.v_, k);
        return r;
    }
    friend Mpz powm(const Mpz& b, const Mpz& e, const Mpz& m) {
        Mpz r;
        mpz_powm(r.v_, b.v_, e.v_, m.v_);
        return r;
    }
    friend bool operator==(const Mpz& a, const Mpz& b) { return mpz_cmp(a.v_, b.v_) == 0; }
    friend bool operator<(const Mpz& a, const Mpz& b) { return mpz_cmp(a.v_, b.v_) < 0; }

private:
    template <class F>
    static Mpz op(F f, const Mpz& a, const Mpz& b) {
        Mpz r;
        f(r.v_, a.v_, b.v_);
        return r;
    }
    mpz_t v_;
};

// p = 2^255 - 19 and l = 2^252 + 27742317777372353535851937790883648493,
// built from their definitions.
inline Mpz field_prime() { return Mpz::pow2(255) - 19; }
inline Mpz group_order() { return Mpz::pow2(252) + Mpz("27742317777372353535851937790883648493"); }

inline void init_reference() {
    static const int ok = sodium_init();
    (void)ok;
}

}  // namespace oracle
