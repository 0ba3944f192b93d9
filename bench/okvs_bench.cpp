// Encoding, serialising, parsing and decoding the store with 64-byte values
// and 20-byte string keys at 10^4, 10^5 and 10^6 keys: keys per second, and
// the peak heap in use while encoding (counted by the global allocation
// functions below) against the size of the serialised store.
#include <sys/resource.h>

#include <malloc.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "okvs/bits.hpp"
#include "okvs/src/hashable.hpp"
#include "okvs/paxos.hpp"
#include "support/rng.hpp"

namespace {

std::atomic<std::size_t> heap_in_use{0};
std::atomic<std::size_t> heap_peak{0};

void count_allocation(void* p) {
    const std::size_t now = heap_in_use.fetch_add(malloc_usable_size(p)) + malloc_usable_size(p);
    std::size_t peak = heap_peak.load();
    while (now > peak && !heap_peak.compare_exchange_weak(peak, now)) {
    }
}

void* allocate(std::size_t size) {
    void* p = std::malloc(size == 0 ? 1 : size);
    if (!p) throw std::bad_alloc();
    count_allocation(p);
    return p;
}

void* allocate_aligned(std::size_t size, std::align_val_t align) {
    void* p = std::aligned_alloc(static_cast<std::size_t>(align),
                                 (std::max<std::size_t>(size, 1) + static_cast<std::size_t>(align) - 1) &
                                     ~(static_cast<std::size_t>(align) - 1));
    if (!p) throw std::bad_alloc();
    count_allocation(p);
    return p;
}

void release(void* p) noexcept {
    if (!p) return;
    heap_in_use.fetch_sub(malloc_usable_size(p));
    std::free(p);
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, std::align_val_t align) { return allocate_aligned(size, align); }
void* operator new[](std::size_t size, std::align_val_t align) { return allocate_aligned(size, align); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
void operator delete(void* p, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { release(p); }

namespace {

// 64-byte values that draw their random bytes one value at a time ...
struct Cell {
    std::array<std::uint8_t, 64> bytes;
    friend Cell operator^(const Cell& a, const Cell& b) {
        Cell out;
        for (std::size_t i = 0; i < 64; ++i) out.bytes[i] = static_cast<std::uint8_t>(a.bytes[i] ^ b.bytes[i]);
        return out;
    }
};

// ... and the same values with a bulk draw for many at once.
struct BulkCell : Cell {
    friend BulkCell operator^(const BulkCell& a, const BulkCell& b) {
        return BulkCell{static_cast<const Cell&>(a) ^ static_cast<const Cell&>(b)};
    }
};

struct RowKey {
    std::string text;
    std::string_view key_bytes() const { return text; }
};

template <class T>
struct CellTraits {
    static constexpr std::size_t width = 64;
    static void to_bytes(const T& value, std::uint8_t* out) { std::memcpy(out, value.bytes.data(), 64); }
    static T from_bytes(std::span<const std::uint8_t> in) {
        T out;
        std::memcpy(out.bytes.data(), in.data(), 64);
        return out;
    }
    static T random() {
        T out;
        support::random_bytes(out.bytes);
        return out;
    }
};

}  // namespace

template <>
struct okvs::bits::Traits<Cell> : CellTraits<Cell> {};

template <>
struct okvs::bits::Traits<BulkCell> : CellTraits<BulkCell> {
    static void random_fill(std::span<BulkCell> out) {
        static_assert(sizeof(BulkCell) == 64);
        support::random_bytes({reinterpret_cast<std::uint8_t*>(out.data()), out.size() * 64});
    }
};

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

template <class F>
double best_of(int runs, F&& f) {
    double best = 1e300;
    for (int r = 0; r < runs; ++r) {
        const auto start = Clock::now();
        f();
        best = std::min(best, seconds_since(start));
    }
    return best;
}

double mib(std::size_t bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

template <class V>
void run(const char* name, std::size_t n, int runs) {
    using Store = okvs::schemes::paxos::Paxos<V>;
    std::vector<std::pair<RowKey, V>> pairs;
    std::vector<RowKey> keys;
    pairs.reserve(n);
    keys.reserve(n);
    char text[32];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(text, sizeof text, "acct-%09zu-%06zu", i * 7919 % 1000000007, i % 999983);
        pairs.emplace_back(RowKey{text}, okvs::bits::Traits<V>::random());
        keys.push_back(RowKey{text});
    }
    const std::span<const std::pair<RowKey, V>> view(pairs);

    // Peak heap of one encoding, over what was in use before it.
    const std::size_t before = heap_in_use.load();
    heap_peak.store(before);
    std::optional<Store> store = Store::encode(view);
    const std::size_t encode_peak = heap_peak.load() - before;

    const double encode = best_of(runs, [&] { store = Store::encode(view); });
    std::vector<std::uint8_t> bytes;
    const double serialise = best_of(runs, [&] { bytes = store->to_bytes(); });
    const double parse = best_of(runs, [&] { store = Store::from_bytes(bytes); });
    std::uint8_t check = 0;
    const double decode = best_of(runs, [&] {
        for (const RowKey& key : keys) check ^= store->decode(key).bytes[0];
    });
    std::vector<V> values;
    const double decode_many = best_of(runs, [&] { values = store->decode_many(std::span<const RowKey>(keys)); });
    for (std::size_t i = 0; i < n; ++i) {
        if (values[i].bytes != pairs[i].second.bytes || store->decode(keys[i]).bytes != pairs[i].second.bytes) {
            std::fprintf(stderr, "decoding gave a wrong value\n");
            std::exit(1);
        }
    }

    const double count = static_cast<double>(n);
    std::printf("%-9s n=%-8zu encode %5.2f Mkeys/s (%6.1f ms)  to_bytes %6.2f ms  from_bytes %6.2f ms  "
                "decode %5.2f M/s  decode_many %5.2f M/s  store %6.1f MiB  encode peak heap %6.1f MiB = %.2f x store%s\n",
                name, n, count / encode / 1e6, encode * 1e3, serialise * 1e3, parse * 1e3, count / decode / 1e6,
                count / decode_many / 1e6, mib(bytes.size()), mib(encode_peak),
                static_cast<double>(encode_peak) / static_cast<double>(bytes.size()), check == 0xFF ? " " : "");
}

}  // namespace

int main() {
    std::printf("64-byte values, 20-byte keys; best of several runs; peak heap counts every allocation made while\n"
                "encoding, the store built included (the keys and values passed in are not counted)\n");
    run<BulkCell>("bulk", 10'000, 20);
    run<BulkCell>("bulk", 100'000, 5);
    run<BulkCell>("bulk", 1'000'000, 3);
    run<Cell>("one-by-one", 10'000, 20);
    run<Cell>("one-by-one", 100'000, 5);
    run<Cell>("one-by-one", 1'000'000, 3);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("bulk: values drawing many random cells at once; one-by-one: one draw per value\n");
    std::printf("max resident set %.1f MiB\n", static_cast<double>(usage.ru_maxrss) / 1024.0);
    return 0;
}
