#include "core/random.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstddef>

#include "core/chacha_lanes.inc"
#include "core/cpu_features.hpp"
#include "core/failure.hpp"
#include "core/numerics.hpp"

namespace vandu {

namespace {

constexpr std::uint32_t rotl(std::uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

inline void quarter_round(ChaChaBlock& s, int a, int b, int c, int d) {
    s[a] += s[b]; s[d] ^= s[a]; s[d] = rotl(s[d], 16);
    s[c] += s[d]; s[b] ^= s[c]; s[b] = rotl(s[b], 12);
    s[a] += s[b]; s[d] ^= s[a]; s[d] = rotl(s[d], 8);
    s[c] += s[d]; s[b] ^= s[c]; s[b] = rotl(s[b], 7);
}

// A forked child must not replay its parent's stream: every thread checks this
// generation before computing a block and rekeys when it moved.
std::atomic<std::uint64_t> fork_generation{0};

// This thread's generator once it exists. In a forked child only the forking thread runs
// on, and its buffered words are also the parent's next words: they are dropped at once.
thread_local ThreadRandom* this_thread_generator = nullptr;

void after_fork_in_child() {
    fork_generation.fetch_add(1, std::memory_order_relaxed);
    if (this_thread_generator) this_thread_generator->drop_buffered();
}

const bool fork_handler_installed = [] {
    pthread_atfork(nullptr, nullptr, after_fork_in_child);
    return true;
}();

}  // namespace

ChaChaBlock chacha20_block(const std::array<std::uint32_t, 8>& key, std::uint32_t counter,
                           const std::array<std::uint32_t, 3>& nonce) {
    ChaChaBlock input{0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};
    for (int i = 0; i < 8; ++i) input[4 + i] = key[i];
    input[12] = counter;
    input[13] = nonce[0];
    input[14] = nonce[1];
    input[15] = nonce[2];
    ChaChaBlock s = input;
    for (int round = 0; round < 10; ++round) {
        quarter_round(s, 0, 4, 8, 12);
        quarter_round(s, 1, 5, 9, 13);
        quarter_round(s, 2, 6, 10, 14);
        quarter_round(s, 3, 7, 11, 15);
        quarter_round(s, 0, 5, 10, 15);
        quarter_round(s, 1, 6, 11, 12);
        quarter_round(s, 2, 7, 8, 13);
        quarter_round(s, 3, 4, 9, 14);
    }
    for (int i = 0; i < 16; ++i) s[i] += input[i];
    return s;
}

void chacha20_four_blocks(const std::array<std::uint32_t, 8>& key, std::uint64_t counter,
                          std::array<ChaChaBlock, 4>& out) {
    chacha_lanes::blocks<4>(key, counter, out.data());
}

#if defined(__x86_64__)
namespace chacha_lanes {
void eight_blocks_avx2(const std::array<std::uint32_t, 8>& key, std::uint64_t counter,
                       std::array<std::uint32_t, 16>* out);
}
#endif

void chacha20_eight_blocks(const std::array<std::uint32_t, 8>& key, std::uint64_t counter,
                           std::array<ChaChaBlock, 8>& out) {
    static const bool wide = [] {
#if defined(__x86_64__)
        return cpu::has_avx2();
#else
        return false;
#endif
    }();
#if defined(__x86_64__)
    if (wide) return chacha_lanes::eight_blocks_avx2(key, counter, out.data());
#endif
    (void)wide;
    std::array<ChaChaBlock, 4> half;
    for (int h = 0; h < 2; ++h) {
        chacha20_four_blocks(key, counter + 4 * h, half);
        std::copy(half.begin(), half.end(), out.begin() + 4 * h);
    }
}

namespace {

// Kernels before 3.17 (those of the oldest glibc the wheels run on) have no getrandom.
bool urandom_entropy(unsigned char* out, std::size_t bytes) {
    const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    while (bytes > 0) {
        const ssize_t got = read(fd, out, bytes);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        out += got;
        bytes -= static_cast<std::size_t>(got);
    }
    close(fd);
    return bytes == 0;
}

}  // namespace

bool system_entropy(void* buffer, std::size_t bytes) {
    auto* out = static_cast<unsigned char*>(buffer);
    while (bytes > 0) {
        // The system call itself: glibc wraps it only from 2.25, and wheels are built for older ones.
        const long got = syscall(SYS_getrandom, out, bytes, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return errno == ENOSYS && urandom_entropy(out, bytes);
        }
        out += got;
        bytes -= static_cast<std::size_t>(got);
    }
    return true;
}

ThreadRandom& ThreadRandom::local() {
    thread_local ThreadRandom generator;
    return generator;
}

void ThreadRandom::drop_buffered() noexcept {
    for (auto& block : blocks_) block.fill(0);
    next_word_ = buffered_words;
}

ThreadRandom::ThreadRandom() {
    (void)fork_handler_installed;
    this_thread_generator = this;
    fork_generation_ = fork_generation.load(std::memory_order_relaxed);
    if (!system_entropy(key_.data(), sizeof key_)) {
        // No entropy at all: still differ between threads and runs.
        const auto mix = reinterpret_cast<std::uintptr_t>(this) ^
                         static_cast<std::uintptr_t>(
                             std::chrono::steady_clock::now().time_since_epoch().count());
        key_[0] = static_cast<std::uint32_t>(mix);
        key_[1] = static_cast<std::uint32_t>(mix >> 32);
    }
}

void ThreadRandom::rekey() {
    std::array<std::uint32_t, 8> fresh;
    if (!fixed_key_ && system_entropy(fresh.data(), sizeof fresh)) {
        key_ = fresh;
        counter_ = 0;
    }
    // A kept key continues its stream rather than replaying it.
    bytes_since_rekey_ = 0;
}

void ThreadRandom::refill() {
    const std::uint64_t generation = fork_generation.load(std::memory_order_relaxed);
    if (generation != fork_generation_) {
        fork_generation_ = generation;
        fixed_key_ = false;
        rekey();
    } else if (bytes_since_rekey_ >= rekey_interval_bytes) {
        rekey();
    }
    // 64-bit block counter in words 12 and 13; the rest of the nonce is zero. Eight blocks
    // at a time: the rekeying interval is a whole number of them.
    static_assert(rekey_interval_bytes % sizeof blocks_ == 0);
    chacha20_eight_blocks(key_, counter_, blocks_);
    counter_ += blocks_.size();
    bytes_since_rekey_ += sizeof blocks_;
    next_word_ = 0;
}

void ThreadRandom::seed_for_testing(const std::array<std::uint32_t, 8>& key) {
    key_ = key;
    fixed_key_ = true;
    counter_ = 0;
    bytes_since_rekey_ = 0;
    next_word_ = buffered_words;
    fork_generation_ = fork_generation.load(std::memory_order_relaxed);
}

std::atomic<DrawBitsForTesting> detail::draw_bits_for_testing{nullptr};

void set_draw_bits_for_testing(DrawBitsForTesting draw) {
    detail::draw_bits_for_testing.store(draw, std::memory_order_relaxed);
}

double uniform_in_range(double low, double high) { return uniform_in_range(ThreadRandom::local(), low, high); }

double detail::uniform_in_range_attempts(ThreadRandom& rng, double low, double high) {
    if (!(low < high)) fail("UniformSampler::sample_single: low >= high");
    double scale = high - low;
    const DrawBitsForTesting fixed = detail::draw_bits_for_testing.load(std::memory_order_relaxed);
    for (unsigned attempt = 0;; ++attempt) {
        const std::uint64_t bits = fixed ? fixed(low, high, attempt) : rng.next_u64();
        const std::uint64_t one_bits = 0x3ff0000000000000ull | (bits >> 12);
        double v;
        __builtin_memcpy(&v, &one_bits, sizeof v);
        v = v - 1.0;
        const double r = v * scale + low;
        if (r < high) return r;
        if (!__builtin_isfinite(scale)) {
            if (!__builtin_isfinite(low) || !__builtin_isfinite(high))
                fail("Uniform::sample_single: low and high must be finite");
            std::uint64_t scale_bits;
            __builtin_memcpy(&scale_bits, &scale, sizeof scale);
            scale_bits -= 1;
            __builtin_memcpy(&scale, &scale_bits, sizeof scale);
        }
    }
}

}  // namespace vandu
