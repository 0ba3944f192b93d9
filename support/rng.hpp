// The per-thread cryptographically secure random generator.
//
// Each thread owns a ChaCha20 keystream seeded from getrandom (falling back to
// /dev/urandom) at its first use. A child process made by fork() reseeds
// before its first draw, so parent and child never share output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace support {

// Fills `out` with random bytes from the calling thread's generator.
// Throws Failure("could not initialize thread_rng: ...") if seeding fails.
void random_bytes(std::span<std::uint8_t> out);

std::uint32_t random_u32();
std::uint64_t random_u64();

// Overwrites memory in a way the optimiser may not remove.
void secure_zero(void* data, std::size_t size) noexcept;

}  // namespace support
