#include "engine/bands.h"

#include <gtest/gtest.h>

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
    // The road of one sound: 86..129 Hz lands in band 5.
    EXPECT_EQ(kBandBins[4].firstBin, 16);
    EXPECT_EQ(kBandBins[4].lastBin, 23);
    EXPECT_EQ(kBandLabels[4], "53 Hz");
}

TEST(BandSums, SilenceGivesZeroEverywhere) {
    std::vector<float> spectrum(kSpectrumBins, 0.0f);
    BandSums sums;
    sums.levels.fill(7.0f);
    ComputeBandSums(spectrum.data(), sums);
    for (float level : sums.levels) {
        EXPECT_EQ(level, 0.0f);
    }
    EXPECT_EQ(sums.groups.low, 0.0f);
    EXPECT_EQ(sums.groups.mid, 0.0f);
    EXPECT_EQ(sums.groups.high, 0.0f);
}

TEST(BandSums, FirstBinFeedsBandOneAndEveryGroup) {
    const float v = 0.75f;
    std::vector<float> spectrum(kSpectrumBins, 0.0f);
    spectrum[0] = v;
    BandSums sums;
    ComputeBandSums(spectrum.data(), sums);
    EXPECT_EQ(sums.levels[0], v);
    for (int band = 1; band < kBandCount; ++band) {
        EXPECT_EQ(sums.levels[band], 0.0f) << "band " << band + 1;
    }
    EXPECT_EQ(sums.levels[kBandCount], v);
    const float low = static_cast<float>(v / 8.0);
    const float mid = static_cast<float>((static_cast<double>(v) - low) / 5.0);
    const float high = static_cast<float>((static_cast<double>(v) - low - mid) / 5.0);
    EXPECT_EQ(sums.groups.low, low);
    EXPECT_EQ(sums.groups.mid, mid);
    EXPECT_EQ(sums.groups.high, high);
}

TEST(BandSums, LastBinFeedsOnlyTheHighGroup) {
    const float v = 0.5f;
    std::vector<float> spectrum(kSpectrumBins, 0.0f);
    spectrum[2047] = v;
    BandSums sums;
    ComputeBandSums(spectrum.data(), sums);
    EXPECT_EQ(sums.levels[17], v);
    EXPECT_EQ(sums.levels[kBandCount], v);
    EXPECT_EQ(sums.groups.low, 0.0f);
    EXPECT_EQ(sums.groups.mid, 0.0f);
    EXPECT_EQ(sums.groups.high, static_cast<float>(v / 5.0));
}

TEST(BandSums, PartialSumsAreRoundedToFloatAsTheyGo) {
    // 1 + 2^-30 + 2^-30 ... stays 1 in float even though the exact sum grows.
    std::vector<float> spectrum(kSpectrumBins, 0.0f);
    spectrum[16] = 1.0f;
    for (int bin = 17; bin <= 23; ++bin) {
        spectrum[bin] = 0x1p-30f;
    }
    BandSums sums;
    ComputeBandSums(spectrum.data(), sums);
    EXPECT_EQ(sums.levels[4], 1.0f);
}

}  // namespace
}  // namespace glowtern
