// The per-thread random source: the ChaCha20 block function keyed from the operating
// system's entropy. 32-bit output words are used in order; a 64-bit draw takes two
// consecutive words, the earlier as the low half. After every 64 KiB of output the
// generator rekeys itself, keeping its key when entropy is unavailable; in a forked child
// it drops its buffered words and rekeys before its next draw.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace vandu {

using ChaChaBlock = std::array<std::uint32_t, 16>;

// The ChaCha20 block function: 20 rounds over (constants, key, counter, nonce),
// then the input added word by word.
ChaChaBlock chacha20_block(const std::array<std::uint32_t, 8>& key, std::uint32_t counter,
                           const std::array<std::uint32_t, 3>& nonce);

// Four consecutive blocks of the generator's stream at once, side by side in vector lanes:
// counters counter .. counter + 3 (64-bit: low word in word 12, high word in word 13).
// The same words as four calls of chacha20_block, in a fraction of the time.
void chacha20_four_blocks(const std::array<std::uint32_t, 8>& key, std::uint64_t counter,
                          std::array<ChaChaBlock, 4>& out);
// Eight, in 256-bit lanes where the processor has them (the generator's refill).
void chacha20_eight_blocks(const std::array<std::uint32_t, 8>& key, std::uint64_t counter,
                           std::array<ChaChaBlock, 8>& out);

class ThreadRandom {
public:
    static constexpr std::uint64_t rekey_interval_bytes = 64 * 1024;

    // This thread's generator, created and keyed at its first use.
    static ThreadRandom& local();

    std::uint32_t next_u32() {
        if (next_word_ >= buffered_words) refill();
        const std::uint32_t word = blocks_[next_word_ / 16][next_word_ % 16];
        ++next_word_;
        return word;
    }
    std::uint64_t next_u64() {
        const std::uint64_t low = next_u32();
        const std::uint64_t high = next_u32();
        return (high << 32) | low;
    }

    // Replaces the key with a fixed one and restarts the stream (tests only).
    void seed_for_testing(const std::array<std::uint32_t, 8>& key);

    // Forgets the rest of the current block; the next draw computes a new one.
    void drop_buffered() noexcept;

private:
    ThreadRandom();
    void rekey();  // from entropy; keeps the key on failure
    void refill();

    static constexpr unsigned buffered_words = 128;  // eight blocks

    std::array<std::uint32_t, 8> key_{};
    std::array<ChaChaBlock, 8> blocks_{};
    std::uint64_t counter_ = 0;
    unsigned next_word_ = buffered_words;
    std::uint64_t bytes_since_rekey_ = 0;
    std::uint64_t fork_generation_ = 0;
    bool fixed_key_ = false;
};

// Tests only: makes uniform_in_range take its random bits from `draw` (null: the thread's
// generator), a function of the bounds and the attempt, so that a tree fitted on several
// threads in any order can be compared with one grown node by node.
using DrawBitsForTesting = std::uint64_t (*)(double low, double high, unsigned attempt);
void set_draw_bits_for_testing(DrawBitsForTesting draw);

namespace detail {
extern std::atomic<DrawBitsForTesting> draw_bits_for_testing;
double uniform_in_range_attempts(ThreadRandom& rng, double low, double high);
}  // namespace detail

// A draw of uniform_in_range (core/numerics) from a generator already at hand: the
// thread's own, looked up once for many draws. The first attempt is made here; the rest,
// rare, start afresh with the same scale, which is the same sequence of draws.
inline double uniform_in_range(ThreadRandom& rng, double low, double high) {
    const double scale = high - low;
    if (low < high && __builtin_isfinite(scale) &&
        !detail::draw_bits_for_testing.load(std::memory_order_relaxed)) {
        const std::uint64_t one_bits = 0x3ff0000000000000ull | (rng.next_u64() >> 12);
        double v;
        __builtin_memcpy(&v, &one_bits, sizeof v);
        v = v - 1.0;
        const double r = v * scale + low;
        if (r < high) return r;
    }
    return detail::uniform_in_range_attempts(rng, low, high);
}

// Fills the buffer from the operating system's entropy; false if that failed.
bool system_entropy(void* buffer, std::size_t bytes);

}  // namespace vandu
