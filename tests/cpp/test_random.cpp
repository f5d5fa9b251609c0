#include "core/random.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <set>
#include <thread>

#include "core/failure.hpp"
#include "core/numerics.hpp"

namespace vandu {
namespace {

// The published block-function test vectors (key, counter, nonce -> 16 output words).
struct BlockVector {
    std::array<std::uint32_t, 8> key;
    std::uint32_t counter;
    std::array<std::uint32_t, 3> nonce;
    ChaChaBlock expected;
};

class ChaCha20Block : public ::testing::TestWithParam<BlockVector> {};

TEST_P(ChaCha20Block, MatchesPublishedVector) {
    const BlockVector& v = GetParam();
    EXPECT_EQ(chacha20_block(v.key, v.counter, v.nonce), v.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Published, ChaCha20Block,
    ::testing::Values(
        // Key 00 01 .. 1f, counter 1, nonce 00000009 0000004a 00000000.
        BlockVector{{0x03020100, 0x07060504, 0x0b0a0908, 0x0f0e0d0c, 0x13121110, 0x17161514,
                     0x1b1a1918, 0x1f1e1d1c},
                    1,
                    {0x09000000, 0x4a000000, 0x00000000},
                    {0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3, 0xc7f4d1c7, 0x0368c033,
                     0x9aaa2204, 0x4e6cd4c3, 0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9,
                     0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2}},
        // All-zero key, counter 0, zero nonce: keystream starting 76 b8 e0 ad a0 f1 3d 90.
        BlockVector{{0, 0, 0, 0, 0, 0, 0, 0},
                    0,
                    {0, 0, 0},
                    {0xade0b876, 0x903df1a0, 0xe56a5d40, 0x28bd8653, 0xb819d2bd, 0x1aed8da0,
                     0xccef36a8, 0xc70d778b, 0x7c5941da, 0x8d485751, 0x3fe02477, 0x374ad8b8,
                     0xf4b8436a, 0x1ca11815, 0x69b687c3, 0x8665eeb2}},
        // All-zero key, counter 1: keystream starting 9f 07 e7 be 55 51 38 7a.
        BlockVector{{0, 0, 0, 0, 0, 0, 0, 0},
                    1,
                    {0, 0, 0},
                    {0xbee7079f, 0x7a385155, 0x7c97ba98, 0x0d082d73, 0xa0290fcb, 0x6965e348,
                     0x3e53c612, 0xed7aee32, 0x7621b729, 0x434ee69c, 0xb03371d5, 0xd539d874,
                     0x281fed31, 0x45fb0a51, 0x1f0ae1ac, 0x6f4d794b}}),
    [](const auto& info) { return "vector" + std::to_string(info.index); });

TEST(ThreadRandom, WordsComeInOrderAndPairIntoDraws) {
    const std::array<std::uint32_t, 8> key{1, 2, 3, 4, 5, 6, 7, 8};
    ThreadRandom& rng = ThreadRandom::local();
    rng.seed_for_testing(key);
    const ChaChaBlock first = chacha20_block(key, 0, {0, 0, 0});
    const ChaChaBlock second = chacha20_block(key, 1, {0, 0, 0});
    EXPECT_EQ(rng.next_u32(), first[0]);
    EXPECT_EQ(rng.next_u64(), (std::uint64_t{first[2]} << 32) | first[1]);
    for (int i = 3; i < 15; ++i) rng.next_u32();
    // A draw may straddle two blocks: low half from the end of one, high from the next.
    EXPECT_EQ(rng.next_u64(), (std::uint64_t{second[0]} << 32) | first[15]);
}

// Blocks are made four at a time: the same words as one at a time, across a wrap of the
// counter's low word, and the stream runs on across the refills.
TEST(ThreadRandom, FourBlocksAtOnceAreFourBlocksInOrder) {
    const std::array<std::uint32_t, 8> key{3, 1, 4, 1, 5, 9, 2, 6};
    for (std::uint64_t counter : {std::uint64_t{0}, std::uint64_t{0xfffffffe}, std::uint64_t{0x1234567800000003}}) {
        std::array<ChaChaBlock, 4> four;
        std::array<ChaChaBlock, 8> eight;
        chacha20_four_blocks(key, counter, four);
        chacha20_eight_blocks(key, counter, eight);
        for (std::uint64_t k = 0; k < 8; ++k) {
            const std::uint64_t c = counter + k;
            const ChaChaBlock one = chacha20_block(key, static_cast<std::uint32_t>(c), {static_cast<std::uint32_t>(c >> 32), 0, 0});
            if (k < 4) {
                EXPECT_EQ(four[k], one) << counter << " + " << k;
            }
            EXPECT_EQ(eight[k], one) << counter << " + " << k;
        }
    }
    ThreadRandom& rng = ThreadRandom::local();
    rng.seed_for_testing(key);
    for (std::uint32_t block = 0; block < 17; ++block) {
        const ChaChaBlock expected = chacha20_block(key, block, {0, 0, 0});
        for (int i = 0; i < 16; ++i) ASSERT_EQ(rng.next_u32(), expected[i]) << block << " " << i;
    }
}

TEST(ThreadRandom, ThreadsDrawIndependentStreams) {
    std::uint64_t a = 0, b = 0;
    std::thread([&] { a = ThreadRandom::local().next_u64(); }).join();
    std::thread([&] { b = ThreadRandom::local().next_u64(); }).join();
    EXPECT_NE(a, b);
}

TEST(ThreadRandom, RekeysAfterSixtyFourKibibytes) {
    ThreadRandom& rng = ThreadRandom::local();
    rng.seed_for_testing({9, 9, 9, 9, 9, 9, 9, 9});
    // A fixed key is kept across the rekey and its stream continues: no block repeats.
    std::set<std::uint32_t> firsts;
    for (int block = 0; block < 3 * 1024; ++block) {
        firsts.insert(rng.next_u32());
        for (int i = 1; i < 16; ++i) rng.next_u32();
    }
    EXPECT_EQ(firsts.size(), 3u * 1024u);
}

TEST(ThreadRandom, ForkedChildDropsTheBufferedRestOfTheBlock) {
    ThreadRandom& rng = ThreadRandom::local();
    rng.next_u32();  // most of a block is now buffered
    rng.next_u32();
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const std::uint64_t drawn = ThreadRandom::local().next_u64();
        _exit(write(pipe_ends[1], &drawn, sizeof drawn) == sizeof drawn ? 0 : 1);
    }
    const std::uint64_t mine = rng.next_u64();
    std::uint64_t theirs = 0;
    EXPECT_EQ(read(pipe_ends[0], &theirs, sizeof theirs), static_cast<ssize_t>(sizeof theirs));
    int status = 0;
    waitpid(child, &status, 0);
    close(pipe_ends[0]);
    close(pipe_ends[1]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(theirs, mine);
}

double draw(double lo, double hi) { return uniform_in_range(lo, hi); }

TEST(UniformInRange, StaysInHalfOpenInterval) {
    ThreadRandom::local().seed_for_testing({4, 4, 4, 4, 4, 4, 4, 4});
    for (auto [lo, hi] : {std::pair{0.0, 1e-300}, std::pair{-1.0, 1.0}, std::pair{5.0, 5.000000000000001},
                          std::pair{-1e308, 1e308}, std::pair{0.0, std::numeric_limits<double>::denorm_min()}}) {
        for (int i = 0; i < 2000; ++i) {
            const double r = draw(lo, hi);
            ASSERT_TRUE(std::isfinite(r));
            ASSERT_LE(lo, r);
            ASSERT_LT(r, hi);
        }
    }
}

TEST(UniformInRange, RefusesEmptyAndInfiniteRanges) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double lo, hi;
        const char* message;
    };
    for (const Case& c : {Case{1.0, 1.0, "UniformSampler::sample_single: low >= high"},
                          Case{2.0, 1.0, "UniformSampler::sample_single: low >= high"},
                          Case{NAN, 1.0, "UniformSampler::sample_single: low >= high"},
                          Case{0.0, inf, "Uniform::sample_single: low and high must be finite"},
                          Case{-inf, 0.0, "Uniform::sample_single: low and high must be finite"},
                          Case{-inf, inf, "Uniform::sample_single: low and high must be finite"}}) {
        try {
            draw(c.lo, c.hi);
            ADD_FAILURE() << c.lo << " " << c.hi;
        } catch (const InternalFailure& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }
}

TEST(UniformInRange, UsesFiftyTwoHighBitsOfADraw) {
    const std::array<std::uint32_t, 8> key{7, 7, 7, 7, 7, 7, 7, 7};
    ThreadRandom::local().seed_for_testing(key);
    const ChaChaBlock block = chacha20_block(key, 0, {0, 0, 0});
    const std::uint64_t u = (std::uint64_t{block[1]} << 32) | block[0];
    const std::uint64_t one = 0x3ff0000000000000ull | (u >> 12);
    double v;
    std::memcpy(&v, &one, sizeof v);
    EXPECT_EQ(draw(2.0, 6.0), (v - 1.0) * 4.0 + 2.0);
}

}  // namespace
}  // namespace vandu
