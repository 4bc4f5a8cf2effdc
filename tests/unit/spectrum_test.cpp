#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <complex>
#include <cstdint>
#include <numbers>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/bands.h"
#include "platform/radix2_fft.h"
#include "platform/sample_ring.h"
#include "platform/spectrum_analyser.h"

namespace glowtern {
namespace {

// Samples of a sine of `amplitude` (1 is full scale) that completes `bin` periods in every
// kFftLength samples, i.e. sits exactly on spectrum bin `bin`; sample numbering starts at `from`.
std::vector<int16_t> Sine(int bin, double amplitude, std::size_t count, std::size_t from = 0) {
    std::vector<int16_t> samples(count);
    for (std::size_t n = 0; n < count; ++n) {
        const double phase =
            2.0 * std::numbers::pi * bin * static_cast<double>(from + n) / kFftLength;
        samples[n] = static_cast<int16_t>(std::lround(std::sin(phase) * amplitude * 32767.0));
    }
    return samples;
}

std::vector<float> Analyse(const SampleRing& ring) {
    SpectrumAnalyser analyser;
    std::vector<float> magnitudes(kSpectrumBins, -1.0f);
    analyser.analyse(ring, magnitudes.data());
    return magnitudes;
}

// The periodic Hann window has a coherent gain of 1/2, so a sine of amplitude A centred on bin
// k gives 2 * (A * N / 2 * 1/2) / N = A / 2 there, A / 4 in each neighbour and nothing beyond.
// The tolerances only have to absorb 16-bit rounding of the samples and float arithmetic
// (both far below 1e-4 per bin).
constexpr float kTolerance = 1e-3f;

void ExpectCentredSine(const std::vector<float>& magnitudes, int bin, double amplitude) {
    for (int k = 0; k < kSpectrumBins; ++k) {
        const double expected = k == bin                 ? amplitude / 2
                                : std::abs(k - bin) == 1 ? amplitude / 4
                                                         : 0;
        ASSERT_NEAR(magnitudes[k], expected, kTolerance) << "bin " << k;
    }
}

TEST(Spectrum, CentredSineLandsInItsBinWithHalfItsAmplitude) {
    for (const auto& [bin, amplitude] : {std::pair{19, 1.0}, {300, 0.5}, {1500, 1.0}}) {
        SampleRing ring;
        const std::vector<int16_t> sine = Sine(bin, amplitude, kFftLength);
        ring.push(sine.data(), sine.size());
        ExpectCentredSine(Analyse(ring), bin, amplitude);
    }
}

// The Windows build's FFT against the definition of the DFT, computed in double: every bin of
// random input, at the analysis length and the smallest one.
TEST(Spectrum, Radix2RealFftMatchesTheDirectTransform) {
    std::mt19937 random(7);
    std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
    for (const int length : {kFftLength, 4}) {
        SCOPED_TRACE(::testing::Message() << "length " << length);
        std::vector<float> input(length);
        for (float& value : input) {
            value = sample(random);
        }
        const Radix2RealFft fft(length);
        std::vector<std::complex<float>> output(length / 2 + 1);
        std::vector<std::complex<float>> work(length / 2);
        fft.transform(input.data(), output.data(), work.data());
        double worst = 0;
        for (int k = 0; k <= length / 2; ++k) {
            std::complex<double> direct = 0;
            for (int n = 0; n < length; ++n) {
                direct += static_cast<double>(input[n]) *
                          std::polar(1.0, -2.0 * std::numbers::pi * k * n / length);
            }
            worst = std::max(worst, std::abs(direct - std::complex<double>(output[k])));
        }
        // Random input of this length gives bins of about sqrt(length / 3) = 37.
        EXPECT_LT(worst, 2e-3);
    }
}

// Samples not yet recorded count as silence: an empty ring, or zeros, give zeros; half a
// window of sine gives what the same sine after real zeros does.
TEST(Spectrum, MissingOlderSamplesCountAsSilence) {
    SampleRing empty;
    const std::vector<int16_t> zeros(SampleRing::kCapacity + 100, 0);
    SampleRing quiet;
    quiet.push(zeros.data(), zeros.size());
    EXPECT_EQ(Analyse(empty), std::vector<float>(kSpectrumBins, 0.0f));
    EXPECT_EQ(Analyse(quiet), std::vector<float>(kSpectrumBins, 0.0f));

    const int bin = 40;
    const std::vector<int16_t> sine = Sine(bin, 1.0, kFftLength / 2, kFftLength / 2);
    SampleRing partial;
    partial.push(sine.data(), sine.size());
    SampleRing padded;
    padded.push(zeros.data(), kFftLength / 2);
    padded.push(sine.data(), sine.size());
    const std::vector<float> a = Analyse(partial);
    EXPECT_EQ(a, Analyse(padded));
    // Half the samples present: the peak is clearly there but well below a full window's 0.5.
    EXPECT_EQ(std::ranges::max_element(a) - a.begin(), bin);
    EXPECT_GT(a[bin], 0.2f);
    EXPECT_LT(a[bin], 0.3f);

    // A handful of samples copies out behind leading zeros, in order.
    SampleRing few;
    const int16_t three[] = {7, -8, 9};
    few.push(three, 3);
    std::vector<int16_t> out(6, 99);
    uint64_t end = 0;
    EXPECT_TRUE(few.copyNewest(out.data(), out.size(), end));
    EXPECT_EQ(end, 3u);
    EXPECT_EQ(out, (std::vector<int16_t>{0, 0, 0, 7, -8, 9}));
}

// The recording side pushes a counting sequence as fast as it can, in callback-sized chunks
// (256 frames, as the recordings get them) and in chunks so large that it keeps overtaking the
// reader mid-copy, which the reader must notice; meanwhile the reader analyses and copies. Every
// copy that reports itself intact must be one contiguous stretch ending at the reported sample
// count, however often the ring has wrapped. Also run under the thread sanitizer.
TEST(Spectrum, ReaderAndRecordingCallbackRunTogether) {
    for (const size_t chunk : {size_t{256}, size_t{6001}}) {
        SampleRing ring;
        std::jthread producer([&](const std::stop_token& stop) {
            std::vector<int16_t> samples(chunk);
            for (uint64_t next = 0; !stop.stop_requested();
                 ring.push(samples.data(), samples.size())) {
                for (int16_t& sample : samples) {
                    sample = static_cast<int16_t>(next++ & 0x7fff);
                }
            }
        });
        SpectrumAnalyser analyser;
        std::vector<float> magnitudes(kSpectrumBins);
        std::vector<int16_t> out(kFftLength);
        int intact = 0;
        int overtaken = 0;
        uint64_t lastEnd = 0;
        while ((intact < 200 || ring.written() < 40 * SampleRing::kCapacity) &&
               overtaken < 1000000) {
            analyser.analyse(ring, magnitudes.data());
            uint64_t end = 0;
            if (!ring.copyNewest(out.data(), out.size(), end)) {
                ++overtaken;
                continue;
            }
            ++intact;
            ASSERT_GE(end, lastEnd) << "the sample count went back";
            lastEnd = end;
            for (size_t i = 0; i < out.size(); ++i) {
                const int64_t n = static_cast<int64_t>(end) - kFftLength + static_cast<int64_t>(i);
                ASSERT_EQ(out[i], n < 0 ? 0 : static_cast<int16_t>(n & 0x7fff))
                    << "sample " << n << " of a copy ending at " << end << ", chunks of " << chunk;
            }
        }
        EXPECT_GE(intact, 200);
    }
}

}  // namespace
}  // namespace glowtern
