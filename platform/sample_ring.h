#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace glowtern {

// Recorded samples on their way from the recording callback (the one writer) to the analysis
// (the one reader). Neither side ever waits: when the ring is full the writer overwrites the
// oldest samples, and the reader copies out the newest ones whenever it likes.
//
// Every slot is an atomic, so a reader that the writer overtakes mid-copy reads newer samples
// instead of racing with the writer (release stores and acquire loads of 16 bits are plain moves
// on x86). The writer announces how far it is about to write before it stores any slot; the
// reader compares that with what it copied and copies again when a slot it read may have been
// overwritten.
class SampleRing {
  public:
    static constexpr std::size_t kCapacity = 16384;  // 0.74 s at 22050 Hz
    static_assert((kCapacity & (kCapacity - 1)) == 0, "the capacity must be a power of two");

    // Writer side: appends `count` samples.
    void push(const int16_t* samples, std::size_t count);

    // Reader side: copies the newest `count` samples (count <= kCapacity) into `out`, oldest
    // first; places before the first sample ever recorded read as 0. `end` receives the number
    // of samples recorded up to the last one copied. Returns false when the writer overtook every
    // try; `out` then holds samples from slightly different moments, which is harmless for a
    // spectrum but not one contiguous stretch of sound.
    bool copyNewest(int16_t* out, std::size_t count, uint64_t& end) const;

    // Samples recorded since the ring was made (sample n was recorded at n / sample rate after
    // the first one).
    uint64_t written() const { return written_.load(std::memory_order_acquire); }

  private:
    static constexpr int kCopyTries = 4;

    std::array<std::atomic<int16_t>, kCapacity> slots_{};
    std::atomic<uint64_t> claimed_{0};  // samples the writer has started to store
    std::atomic<uint64_t> written_{0};  // samples fully stored
    static_assert(std::atomic<uint64_t>::is_always_lock_free);
    static_assert(std::atomic<int16_t>::is_always_lock_free);
};

}  // namespace glowtern
