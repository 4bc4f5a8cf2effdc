#include "engine/bands.h"

namespace glowtern {

void ComputeBandSums(const float* spectrum, BandSums& sums) {
    for (int band = 0; band < kBandCount; ++band) {
        float sum = 0;
        for (int bin = kBandBins[band].firstBin; bin <= kBandBins[band].lastBin; ++bin) {
            sum = static_cast<float>(static_cast<double>(sum) + spectrum[bin]);
        }
        sums.levels[band] = sum;
    }
    // Each assignment is evaluated in double and stored as float. The groups come off the running
    // total on the way: low after band 8, mid after band 13 (less the low level itself), high after
    // band 18.
    float total = 0;
    for (int band = 0; band < kBandCount; ++band) {
        total = static_cast<float>(static_cast<double>(total) + sums.levels[band]);
        if (band == 7) {
            sums.groups.low = static_cast<float>(total / 8.0);
        } else if (band == 12) {
            sums.groups.mid =
                static_cast<float>((static_cast<double>(total) - sums.groups.low) / 5.0);
        } else if (band == 17) {
            sums.groups.high = static_cast<float>(
                (static_cast<double>(total) - sums.groups.low - sums.groups.mid) / 5.0);
        }
    }
    sums.levels[kBandCount] = total;
}

}  // namespace glowtern
