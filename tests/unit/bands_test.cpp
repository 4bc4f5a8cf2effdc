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

}  // namespace
}  // namespace glowtern
