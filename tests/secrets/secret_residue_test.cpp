// After an operation that handled a secret scalar returns (normally or by a
// failure), the stack it ran on must hold no copy of the scalar: not its 32
// bytes, not its five 52-bit limbs, not its 64 radix-16 digits, nor any 16
// contiguous bytes of those. The stack below the caller is examined by a
// function whose large local buffer lies over the callee frames just left.
// A control function that leaves a copy behind on purpose shows that the
// scan finds such copies. The test is linked with immediate binding: the
// dynamic linker's lazy-binding trampoline saves the vector registers on the
// stack, and registers still holding a secret are not the operations' copies.
// x86-64 only: the snapshot reads the stack pointer.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "edwards25519/point.hpp"
#include "edwards25519/scalar.hpp"
#include "edwards25519/table.hpp"
#include "src/operations.hpp"
#include "src/paths/kernels.hpp"
#include "src/tests/given_scalars/given_scalars.hpp"
#include "support/failure.hpp"
#include "support/rng.hpp"

namespace {

using edwards25519::EdwardsPoint;
using edwards25519::Scalar;
using ostrelline::ByteArg;

constexpr std::size_t kScanBytes = 48 * 1024;
constexpr std::size_t kWindow = 16;

// The byte patterns a secret scalar can leave: its bytes, its limbs in
// radix 2^52, its signed radix-16 digits.
std::vector<std::vector<std::uint8_t>> forms_of(const std::array<std::uint8_t, 32>& bytes) {
    std::vector<std::vector<std::uint8_t>> forms;
    forms.emplace_back(bytes.begin(), bytes.end());
    std::uint64_t w[4];
    std::memcpy(w, bytes.data(), 32);
    const std::uint64_t mask = (std::uint64_t{1} << 52) - 1;
    std::uint64_t limbs[5] = {w[0] & mask, ((w[0] >> 52) | (w[1] << 12)) & mask,
                                    ((w[1] >> 40) | (w[2] << 24)) & mask, ((w[2] >> 28) | (w[3] << 36)) & mask,
                                    w[3] >> 16};
    forms.emplace_back(reinterpret_cast<const std::uint8_t*>(limbs),
                       reinterpret_cast<const std::uint8_t*>(limbs) + sizeof limbs);
    std::array<std::uint8_t, 32> cleared = bytes;
    cleared[31] &= 0x7f;
    auto digits = Scalar::from_bits(cleared.data()).as_radix_16();
    forms.emplace_back(reinterpret_cast<const std::uint8_t*>(digits.data()),
                       reinterpret_cast<const std::uint8_t*>(digits.data()) + digits.size());
    // This frame must not itself leave what the scans look for.
    support::secure_zero(w, sizeof w);
    support::secure_zero(limbs, sizeof limbs);
    support::secure_zero(cleared.data(), cleared.size());
    support::secure_zero(digits.data(), digits.size());
    return forms;
}

// Fills the stack below the caller with a known pattern, so that what a
// later scan finds was written after it.
__attribute__((noinline)) void paint_stack() {
    volatile std::uint8_t area[kScanBytes];
    for (std::size_t i = 0; i < kScanBytes; ++i) area[i] = 0xcc;
    __asm__ volatile("" : : "r"(area) : "memory");
}

// The stack the last callees of the caller ran on: the kScanBytes just
// below the caller's stack pointer, copied by a leaf function that itself
// keeps nothing on the stack (it runs in the red zone, using registers), so
// that it overwrites none of what it copies.
std::uint8_t snapshot_buffer[kScanBytes];

__attribute__((noinline, no_sanitize("address", "undefined"))) void snapshot_stack() {
    const std::uint8_t* sp;  // the caller's stack pointer
#if defined(__aarch64__)
    __asm__ volatile("mov %0, sp" : "=r"(sp));  // the call left the return address in x30
#else
    __asm__ volatile("mov %%rsp, %0" : "=r"(sp));
    sp += sizeof(void*);  // above the return address the call pushed
#endif
    const volatile std::uint8_t* below = sp - kScanBytes;
    for (std::size_t i = 0; i < kScanBytes; ++i) snapshot_buffer[i] = below[i];
}

// Whether any kWindow-byte run of any form lies in the snapshot.
bool snapshot_holds(const std::vector<std::vector<std::uint8_t>>& forms) {
    const std::uint8_t* begin = snapshot_buffer;
    const std::uint8_t* end = snapshot_buffer + kScanBytes;
    for (const auto& form : forms) {
        for (std::size_t start = 0; start + kWindow <= form.size(); start += 4) {
            auto first = form.begin() + static_cast<std::ptrdiff_t>(start);
            const std::uint8_t* found = std::search(begin, end, first, first + kWindow);
            if (found != end) {
                std::printf("found form %zu, bytes %zu..%zu, %td bytes below the caller's stack pointer\n",
                            static_cast<std::size_t>(&form - forms.data()), start, start + kWindow, end - found);
                return true;
            }
        }
    }
    return false;
}

// The control: a function that keeps a copy of the key in its frame.
__attribute__((noinline)) void leave_a_copy(const std::array<std::uint8_t, 32>& key) {
    volatile std::uint8_t copy[32];
    for (std::size_t i = 0; i < 32; ++i) copy[i] = key[i];
    __asm__ volatile("" : : "r"(copy) : "memory");
}

std::array<std::uint8_t, 32> test_key(std::uint8_t seed) {
    std::array<std::uint8_t, 32> key;
    for (std::size_t i = 0; i < 32; ++i) key[i] = static_cast<std::uint8_t>(seed * 37 + 11 * i + (i * i) % 7);
    key[31] &= 0x0f;
    return key;
}

// The forms of the key and of the scalar decrypt multiplies by, x / 8 mod l.
std::vector<std::vector<std::uint8_t>> decrypt_forms_of(const std::array<std::uint8_t, 32>& key) {
    static constexpr std::uint8_t kInverseOfEight[32] = {
        0x79, 0x2f, 0xdc, 0xe2, 0x29, 0xe5, 0x06, 0x61, 0xd0, 0xda, 0x1c, 0x7d, 0xb3, 0x9d, 0xd3, 0x07,
        0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0x06};
    auto forms = forms_of(key);
    std::array<std::uint8_t, 32> eighth =
        (Scalar::from_bits(key.data()) * Scalar::from_bits(kInverseOfEight)).to_bytes();
    for (auto& form : forms_of(eighth)) forms.push_back(std::move(form));
    support::secure_zero(eighth.data(), eighth.size());
    return forms;
}

struct Discard {
    std::vector<std::vector<std::uint8_t>> buffers;
    ostrelline::Sink sink() {
        return ostrelline::Sink{this, [](void* context, std::size_t size) {
                                    auto* self = static_cast<Discard*>(context);
                                    self->buffers.emplace_back(size);
                                    return self->buffers.back().data();
                                }};
    }
};

std::vector<std::uint8_t> points(std::size_t count) {
    std::vector<std::uint8_t> out;
    EdwardsPoint p = EdwardsPoint::basepoint();
    for (std::size_t i = 0; i < count; ++i) {
        const auto c = p.compress();
        out.insert(out.end(), c.bytes.begin(), c.bytes.end());
        p = p + p + EdwardsPoint::basepoint();
    }
    return out;
}

TEST(SecretResidue, TheScanFindsACopyLeftOnPurpose) {
    const auto key = test_key(1);
    const auto forms = forms_of(key);
    paint_stack();
    leave_a_copy(key);
    EXPECT_TRUE((snapshot_stack(), snapshot_holds(forms)));
}

// The stream operations on the reference (one lane of the scalar field) and
// on the backend dispatch chooses (eight entries at a time where the
// processor has a vector backend).
class SecretResidueOnPath : public ::testing::TestWithParam<edwards25519::batch::Isa> {
protected:
    ostrelline::Operations operations() const { return ostrelline::Operations(ostrelline::paths::kernels(GetParam())); }
};

INSTANTIATE_TEST_SUITE_P(Paths, SecretResidueOnPath,
                         ::testing::Values(edwards25519::batch::Isa::portable, edwards25519::batch::best()));

TEST_P(SecretResidueOnPath, DecryptLeavesNoCopyOfTheKey) {
    const auto key = test_key(2);
    const auto stream = points(11);
    const auto forms = decrypt_forms_of(key);
    Discard out;
    paint_stack();
    operations().decrypt(ByteArg::of(stream), ByteArg::of(key), out.sink());
    EXPECT_FALSE((snapshot_stack(), snapshot_holds(forms)));
}

TEST_P(SecretResidueOnPath, DecryptThatFailsLeavesNoCopyOfTheKey) {
    const auto key = test_key(3);
    auto stream = points(10);
    std::fill(stream.begin() + 9 * 32, stream.end(), 0);
    stream[9 * 32] = 2;  // the tenth entry is no point
    const auto forms = decrypt_forms_of(key);
    Discard out;
    paint_stack();
    EXPECT_THROW(operations().decrypt(ByteArg::of(stream), ByteArg::of(key), out.sink()),
                 support::Failure);
    EXPECT_FALSE((snapshot_stack(), snapshot_holds(forms)));
}

TEST_P(SecretResidueOnPath, FinishLeavesNoCopyOfTheKey) {
    const auto key = test_key(4);
    const auto stream = points(11);
    const auto forms = forms_of(key);
    paint_stack();
    const auto matches = operations().finish(ByteArg::of(stream), ByteArg::of(stream), ByteArg::of(stream),
                                             ByteArg::of(stream), ByteArg::of(key));
    EXPECT_EQ(matches.size(), 11u);
    EXPECT_FALSE((snapshot_stack(), snapshot_holds(forms)));
}

TEST_P(SecretResidueOnPath, FinishThatFailsLeavesNoCopyOfTheKey) {
    const auto key = test_key(5);
    const auto stream = points(11);
    const std::vector<std::uint8_t> short_stream(stream.begin(), stream.begin() + 9 * 32 + 8);
    const auto forms = forms_of(key);
    paint_stack();
    EXPECT_THROW(operations().finish(ByteArg::of(stream), ByteArg::of(stream), ByteArg::of(short_stream),
                                     ByteArg::of(stream), ByteArg::of(key)),
                 support::Failure);
    EXPECT_FALSE((snapshot_stack(), snapshot_holds(forms)));
}

TEST(SecretResidue, KeyGenLeavesNoCopyOfTheSecretKey) {
    edwards25519::ED25519_BASEPOINT_TABLE();  // built once, before the scan
    paint_stack();
    ostrelline::KeyPair pair = ostrelline::key_gen();
    const std::array<std::uint8_t, 32> secret = pair.secret_key;
    std::memset(pair.secret_key.data(), 0, 32);
    EXPECT_FALSE((snapshot_stack(), snapshot_holds(forms_of(secret))));
}

TEST(SecretResidue, RandomizationLeavesNoCopyOfItsScalar) {
    const auto t_bytes = test_key(6);
    const Scalar t = Scalar::from_bits(t_bytes.data());
    const auto entry = points(4);
    std::vector<std::uint8_t> result(128);
    const auto forms = forms_of(t_bytes);
    paint_stack();
    {
        const given_scalars::GivenScalars::Use use(&t);
        given_scalars::kernels(edwards25519::batch::Isa::portable).randomize(entry, result.data(), 1);
    }
    EXPECT_NE(std::memcmp(result.data(), entry.data(), 32), 0);
    EXPECT_FALSE((snapshot_stack(), snapshot_holds(forms)));
}

TEST(SecretResidue, FixedBaseMultiplicationLeavesNoDigits) {
    const auto x_bytes = test_key(7);
    const Scalar x = Scalar::from_bits(x_bytes.data());
    const auto& table = edwards25519::ED25519_BASEPOINT_TABLE();
    const auto forms = forms_of(x_bytes);
    paint_stack();
    const auto product = table.mul(x);
    EXPECT_TRUE(product.is_on_curve());
    EXPECT_FALSE((snapshot_stack(), snapshot_holds(forms)));
}

}  // namespace
