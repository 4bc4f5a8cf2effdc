#include "platform/sample_ring.h"

namespace glowtern {

void SampleRing::push(const int16_t* samples, std::size_t count) {
    const uint64_t start = written_.load(std::memory_order_relaxed);  // only this thread writes it
    // Announce the slots about to change before changing any. Each slot is stored with release
    // order, so a reader that loads one of the new values is certain to see this claim too.
    claimed_.store(start + count, std::memory_order_relaxed);
    for (std::size_t i = 0; i < count; ++i) {
        slots_[(start + i) & (kCapacity - 1)].store(samples[i], std::memory_order_release);
    }
    written_.store(start + count, std::memory_order_release);
}

bool SampleRing::copyNewest(int16_t* out, std::size_t count, uint64_t& end) const {
    for (int attempt = 0; attempt < kCopyTries; ++attempt) {
        end = written_.load(std::memory_order_acquire);
        const std::size_t missing = end < count ? static_cast<std::size_t>(count - end) : 0;
        for (std::size_t i = 0; i < missing; ++i) {
            out[i] = 0;
        }
        const uint64_t first = end - (count - missing);
        for (std::size_t i = missing; i < count; ++i) {
            out[i] =
                slots_[(first + (i - missing)) & (kCapacity - 1)].load(std::memory_order_acquire);
        }
        // The oldest sample copied lives until sample first + kCapacity is stored. A newer value
        // in any slot read (acquire) brings its claim along, so this bound covers every slot read.
        if (claimed_.load(std::memory_order_relaxed) <= first + kCapacity) {
            return true;
        }
    }
    return false;
}

}  // namespace glowtern
