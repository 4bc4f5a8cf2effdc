#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace glowtern {

enum EffectMode : int32_t { kNoMode = 0, kManualMode = 1, kAutoMode = 2, kRndMode = 3 };

// Values the worker shares with the main thread. Each is one atomic 32-bit value
// with a single writer; readers may see a mix of old and new array elements within
// a cycle, which the program tolerates.
struct EngineState {
    std::atomic<int32_t> effectMode{kNoMode};         // main thread writes, worker reads
    std::atomic<uint32_t> recordingChannel{0};        // set once before the worker starts
    std::atomic<int32_t> levelValue{0};               // worker writes (level slider), saved at exit
    std::atomic<int32_t> aruValue{0};                 // worker writes (ARU slider), saved at exit
    std::array<std::atomic<float>, 21> bandLevels{};  // 0..17 bands, 18 total level
    std::array<std::atomic<int32_t>, 20> channelStates{};   // 1..18 bands; 0 stays 0 ("No")
    std::array<std::atomic<float>, 3> groupLevels{};        // low, mid, high
    std::array<std::atomic<int32_t>, 3> heldGroupLevels{};  // peak holds behind the beats
};

}  // namespace glowtern
