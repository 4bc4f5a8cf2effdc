#include "engine/bands.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace glowtern {
namespace {

TEST(BandTable, EveryBinBelongsToExactlyOneBandInOrder) {
    int nextBin = 0;
    for (const BandRange& range : kBandBins) {
        EXPECT_EQ(range.firstBin, nextBin);
        EXPECT_GE(range.lastBin, range.firstBin);
        nextBin = range.lastBin + 1;
    }
    EXPECT_EQ(nextBin, kSpectrumBins);
}

// Bands sum their bins in float as they go, and so does the total; the groups come off the
// running total: the low an eighth of it after band 8, the middle a fifth of what is new
// after band 13, the high a fifth of what is new after band 18.
TEST(BandSums, BandsTotalAndGroupsFollowTheBins) {
    std::vector<float> spectrum(kSpectrumBins, 0.0f);
    BandSums sums;
    sums.levels.fill(7.0f);
    ComputeBandSums(spectrum.data(), sums);
    EXPECT_EQ(sums.levels, decltype(sums.levels){});
    EXPECT_EQ(sums.groups.low + sums.groups.mid + sums.groups.high, 0.0f);

    spectrum[0] = 0.75f;
    spectrum[16] = 1.0f;  // band 5: 1 + 2^-30 + ... stays 1 in float
    for (int bin = 17; bin <= 23; ++bin) {
        spectrum[bin] = 0x1p-30f;
    }
    spectrum[2047] = 0.5f;
    ComputeBandSums(spectrum.data(), sums);
    std::array<float, kBandCount + 1> levels{};
    levels[0] = 0.75f;
    levels[4] = 1.0f;
    levels[17] = 0.5f;
    levels[kBandCount] = 2.25f;
    EXPECT_EQ(sums.levels, levels);
    const float low = static_cast<float>(1.75 / 8.0);
    const float mid = static_cast<float>((1.75 - low) / 5.0);
    EXPECT_EQ(sums.groups.low, low);
    EXPECT_EQ(sums.groups.mid, mid);
    EXPECT_EQ(sums.groups.high, static_cast<float>((2.25 - low - mid) / 5.0));
}

}  // namespace
}  // namespace glowtern
