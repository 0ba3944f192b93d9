// Value and key types for the store's tests.
//
// `Block` is a 64-byte value whose `random` can be scripted: while a
// `ScriptedDraws` guard lives on the thread, draw number k (from 1) is the
// block `Block::numbered(k)`, so tests can tell which cell got which draw.
// Every draw is counted either way.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "okvs/bits.hpp"
#include "support/failure.hpp"
#include "support/rng.hpp"

namespace okvs_test {

struct Block {
    std::array<std::uint8_t, 64> bytes{};

    friend Block operator^(const Block& a, const Block& b) {
        Block out;
        for (std::size_t i = 0; i < 64; ++i) out.bytes[i] = static_cast<std::uint8_t>(a.bytes[i] ^ b.bytes[i]);
        return out;
    }
    friend bool operator==(const Block&, const Block&) = default;

    // A block derived from a number, different for different numbers.
    static Block numbered(std::uint64_t k) {
        Block out;
        std::uint64_t x = k;
        for (std::size_t i = 0; i < 64; i += 8) {
            x += 0x9e3779b97f4a7c15ull;
            std::uint64_t z = x;
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
            z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
            z ^= z >> 31;
            std::memcpy(out.bytes.data() + i, &z, 8);
        }
        return out;
    }

    static Block fresh() {
        Block out;
        support::random_bytes(out.bytes);
        return out;
    }
};

struct Draws {
    static inline thread_local bool scripted = false;
    static inline thread_local std::uint64_t count = 0;
};

// Makes draws deterministic and numbered from 1 while it lives.
class ScriptedDraws {
public:
    ScriptedDraws() {
        Draws::scripted = true;
        Draws::count = 0;
    }
    ~ScriptedDraws() { Draws::scripted = false; }
    ScriptedDraws(const ScriptedDraws&) = delete;
    ScriptedDraws& operator=(const ScriptedDraws&) = delete;
};

// A key given by its bytes.
struct Key {
    std::string text;
    std::string_view key_bytes() const { return text; }
};

using Pair = std::pair<Key, Block>;

// The message of the failure `f()` throws, or "no failure".
template <class F>
std::string failure_of(F&& f) {
    try {
        f();
    } catch (const support::Failure& failure) {
        return failure.what();
    }
    return "no failure";
}

inline std::vector<Pair> numbered_pairs(std::size_t n, std::string_view prefix = "key-") {
    std::vector<Pair> pairs;
    pairs.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        pairs.emplace_back(Key{std::string(prefix) + std::to_string(i)}, Block::fresh());
    }
    return pairs;
}

}  // namespace okvs_test

template <>
struct okvs::bits::Traits<okvs_test::Block> {
    static constexpr std::size_t width = 64;
    static void to_bytes(const okvs_test::Block& value, std::uint8_t* out) {
        std::memcpy(out, value.bytes.data(), 64);
    }
    static okvs_test::Block from_bytes(std::span<const std::uint8_t> in) {
        okvs_test::Block out;
        std::memcpy(out.bytes.data(), in.data(), 64);
        return out;
    }
    static okvs_test::Block random() {
        ++okvs_test::Draws::count;
        return okvs_test::Draws::scripted ? okvs_test::Block::numbered(okvs_test::Draws::count)
                                          : okvs_test::Block::fresh();
    }
    // Many draws at once, exactly as successive `random` calls would give.
    static void random_fill(std::span<okvs_test::Block> out) {
        if (okvs_test::Draws::scripted) {
            for (auto& value : out) value = random();
            return;
        }
        okvs_test::Draws::count += out.size();
        support::random_bytes({reinterpret_cast<std::uint8_t*>(out.data()), out.size() * sizeof(okvs_test::Block)});
    }
};

static_assert(okvs::bits::Bits<okvs_test::Block> && sizeof(okvs_test::Block) == 64);
