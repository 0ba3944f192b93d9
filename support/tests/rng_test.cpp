#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <set>
#include <thread>

#include "support/failure.hpp"
#include "support/rng.hpp"

namespace {

std::array<std::uint8_t, 32> draw() {
    std::array<std::uint8_t, 32> out{};
    support::random_bytes(out);
    return out;
}

TEST(ThreadRng, SuccessiveDrawsDiffer) {
    std::set<std::array<std::uint8_t, 32>> seen;
    for (int i = 0; i < 1000; ++i) EXPECT_TRUE(seen.insert(draw()).second);
}

TEST(ThreadRng, BitsAreBalanced) {
    // 1 MiB of output: each bit position set close to half of the time.
    std::vector<std::uint8_t> buffer(1 << 20);
    support::random_bytes(buffer);
    std::size_t ones = 0;
    for (auto b : buffer) ones += static_cast<std::size_t>(__builtin_popcount(b));
    double share = static_cast<double>(ones) / (8.0 * static_cast<double>(buffer.size()));
    EXPECT_NEAR(share, 0.5, 0.002);
}

TEST(ThreadRng, ThreadsHaveTheirOwnStreams) {
    std::array<std::uint8_t, 32> a{}, b{};
    std::thread t1([&] { a = draw(); });
    std::thread t2([&] { b = draw(); });
    t1.join();
    t2.join();
    EXPECT_NE(a, b);
}

TEST(ThreadRng, ForkedChildReseeds) {
    (void)draw();  // the parent's generator is seeded before the fork
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        auto child = draw();
        ssize_t written = write(fds[1], child.data(), child.size());
        _exit(written == 32 ? 0 : 1);
    }
    close(fds[1]);
    auto parent = draw();
    std::array<std::uint8_t, 32> child{};
    ASSERT_EQ(read(fds[0], child.data(), child.size()), 32);
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // Without reseeding the child would produce exactly the parent's next bytes.
    EXPECT_NE(parent, child);
}

TEST(ThreadRng, WordsComeFromTheSameGenerator) {
    std::set<std::uint64_t> seen;
    for (int i = 0; i < 1000; ++i) EXPECT_TRUE(seen.insert(support::random_u64()).second);
    std::uint32_t top_bits = 0;
    for (int i = 0; i < 1000; ++i) top_bits += support::random_u32() >> 31;
    EXPECT_GT(top_bits, 400u);
    EXPECT_LT(top_bits, 600u);
}

TEST(Failure, CarriesMessageAndPosition) {
    try {
        support::fail("boom");
        FAIL() << "fail() returned";
    } catch (const support::Failure& f) {
        EXPECT_STREQ(f.what(), "boom");
        EXPECT_NE(std::strstr(f.where().file_name(), "rng_test.cpp"), nullptr);
    }
}

}  // namespace
