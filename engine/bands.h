#pragma once

#include <array>
#include <string_view>

#include "platform/audio.h"

namespace glowtern {

inline constexpr int kBandCount = 18;

struct BandRange {
    int firstBin;
    int lastBin;  // inclusive
};

// Spectrum bins of bands 1..18 (index 0..17): four bins each for bands 1-4, then
// each pair of bands doubles the width; together they cover bins 0..2047 in order.
inline constexpr std::array<BandRange, kBandCount> kBandBins = {{
    {0, 3},
    {4, 7},
    {8, 11},
    {12, 15},
    {16, 23},
    {24, 31},
    {32, 47},
    {48, 63},
    {64, 95},
    {96, 127},
    {128, 191},
    {192, 255},
    {256, 383},
    {384, 511},
    {512, 767},
    {768, 1023},
    {1024, 1535},
    {1536, 2047},
}};

// The names the bands go by on screen.
inline constexpr std::array<std::string_view, kBandCount> kBandLabels = {
    "13 Hz",  "16 Hz",  "24 Hz",  "35 Hz",   "53 Hz",   "79 Hz",   "118 Hz",  "178 Hz",  "267 Hz",
    "400 Hz", "600 Hz", "900 Hz", "1350 Hz", "2024 Hz", "3036 Hz", "4554 Hz", "6830 Hz", "10250 Hz",
};

struct GroupLevels {
    float low = 0;
    float mid = 0;
    float high = 0;
};

// Raw band sums of one spectrum, the total level (element 18) and the three group
// levels. Every partial sum is rounded to float as it is stored.
struct BandSums {
    std::array<float, kBandCount + 1> levels{};
    GroupLevels groups;
};

void ComputeBandSums(const float* spectrum, BandSums& sums);

}  // namespace glowtern
