#include "support/rng.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>

#include "support/failure.hpp"

namespace support {
namespace {

// Incremented in every child after fork(); a generator seeded under an older
// value reseeds before its next draw.
std::atomic<std::uint64_t> fork_epoch{1};

void on_fork_child() noexcept { fork_epoch.fetch_add(1, std::memory_order_relaxed); }

void register_fork_handler() {
    static const int registered = pthread_atfork(nullptr, nullptr, on_fork_child);
    (void)registered;
}

inline std::uint32_t rotl(std::uint32_t v, int c) { return (v << c) | (v >> (32 - c)); }

inline void quarter(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c, std::uint32_t& d) {
    a += b; d ^= a; d = rotl(d, 16);
    c += d; b ^= c; b = rotl(b, 12);
    a += b; d ^= a; d = rotl(d, 8);
    c += d; b ^= c; b = rotl(b, 7);
}

void system_entropy(std::uint8_t* out, std::size_t size) {
    std::size_t done = 0;
    int last_error = 0;
    while (done < size) {
        ssize_t got = getrandom(out + done, size - done, 0);
        if (got > 0) {
            done += static_cast<std::size_t>(got);
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        last_error = got < 0 ? errno : EIO;
        break;
    }
    if (done == size) return;
    // getrandom is unavailable (ENOSYS) or refused: read /dev/urandom instead.
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        int e = errno;
        fail(std::string("could not initialize thread_rng: getrandom: ") + std::strerror(last_error) +
             "; /dev/urandom: " + std::strerror(e));
    }
    done = 0;
    while (done < size) {
        ssize_t got = read(fd, out + done, size - done);
        if (got > 0) {
            done += static_cast<std::size_t>(got);
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else {
            int e = got < 0 ? errno : EIO;
            close(fd);
            fail(std::string("could not initialize thread_rng: /dev/urandom: ") + std::strerror(e));
        }
    }
    close(fd);
}

class ChaChaRng {
public:
    ~ChaChaRng() {
        secure_zero(key_, sizeof key_);
        secure_zero(buffer_, sizeof buffer_);
    }

    void fill(std::uint8_t* out, std::size_t size) {
        ensure_seeded();
        while (size > 0) {
            if (used_ == sizeof buffer_) refill();
            std::size_t take = sizeof buffer_ - used_;
            if (take > size) take = size;
            std::memcpy(out, buffer_ + used_, take);
            // Bytes handed out are not kept.
            secure_zero(buffer_ + used_, take);
            used_ += take;
            out += take;
            size -= take;
        }
    }

private:
    void ensure_seeded() {
        std::uint64_t epoch = fork_epoch.load(std::memory_order_relaxed);
        if (epoch == seeded_epoch_) return;
        register_fork_handler();
        std::uint8_t seed[40];
        system_entropy(seed, sizeof seed);
        std::memcpy(key_, seed, 32);
        std::memcpy(nonce_, seed + 32, 8);
        secure_zero(seed, sizeof seed);
        counter_ = 0;
        used_ = sizeof buffer_;
        seeded_epoch_ = fork_epoch.load(std::memory_order_relaxed);
    }

    void refill() {
        for (std::size_t block = 0; block < kBlocks; ++block) {
            std::uint32_t s[16] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
            std::memcpy(s + 4, key_, 32);
            s[12] = static_cast<std::uint32_t>(counter_);
            s[13] = static_cast<std::uint32_t>(counter_ >> 32);
            std::memcpy(s + 14, nonce_, 8);
            std::uint32_t x[16];
            std::memcpy(x, s, sizeof x);
            for (int round = 0; round < 10; ++round) {
                quarter(x[0], x[4], x[8], x[12]);
                quarter(x[1], x[5], x[9], x[13]);
                quarter(x[2], x[6], x[10], x[14]);
                quarter(x[3], x[7], x[11], x[15]);
                quarter(x[0], x[5], x[10], x[15]);
                quarter(x[1], x[6], x[11], x[12]);
                quarter(x[2], x[7], x[8], x[13]);
                quarter(x[3], x[4], x[9], x[14]);
            }
            for (int i = 0; i < 16; ++i) x[i] += s[i];
            std::memcpy(buffer_ + 64 * block, x, 64);
            secure_zero(x, sizeof x);
            secure_zero(s, sizeof s);
            ++counter_;
        }
        used_ = 0;
    }

    static constexpr std::size_t kBlocks = 4;
    std::uint8_t key_[32] = {};
    std::uint8_t nonce_[8] = {};
    std::uint64_t counter_ = 0;
    std::uint64_t seeded_epoch_ = 0;
    std::uint8_t buffer_[64 * kBlocks] = {};
    std::size_t used_ = sizeof buffer_;
};

ChaChaRng& thread_rng() {
    thread_local ChaChaRng rng;
    return rng;
}

}  // namespace

void random_bytes(std::span<std::uint8_t> out) { thread_rng().fill(out.data(), out.size()); }

std::uint32_t random_u32() {
    std::uint8_t b[4];
    thread_rng().fill(b, sizeof b);
    return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
           static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

std::uint64_t random_u64() {
    std::uint8_t b[8];
    thread_rng().fill(b, sizeof b);
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | b[i];
    return v;
}

void secure_zero(void* data, std::size_t size) noexcept {
    if (size == 0) return;
    explicit_bzero(data, size);
}

}  // namespace support
