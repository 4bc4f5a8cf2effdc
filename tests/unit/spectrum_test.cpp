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
#ifdef _WIN32
#include "platform/audio_wavein.h"
#else
#include "platform/audio_portaudio.h"
#endif

namespace glowtern {
namespace {

#ifdef _WIN32
using PlatformCapture = WaveInCapture;
#else
using PlatformCapture = PortAudioCapture;
#endif

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
    EXPECT_NEAR(magnitudes[bin], amplitude / 2, kTolerance);
    EXPECT_NEAR(magnitudes[bin - 1], amplitude / 4, kTolerance);
    EXPECT_NEAR(magnitudes[bin + 1], amplitude / 4, kTolerance);
    for (int k = 0; k < kSpectrumBins; ++k) {
        if (std::abs(k - bin) > 1) {
            ASSERT_LT(magnitudes[k], kTolerance) << "bin " << k;
        }
    }
    EXPECT_EQ(std::max_element(magnitudes.begin(), magnitudes.end()) - magnitudes.begin(), bin);
}

TEST(Spectrum, CentredSineLandsInItsBinWithHalfItsAmplitude) {
    for (const int bin : {19, 300, 1500}) {
        for (const double amplitude : {1.0, 0.5}) {
            SCOPED_TRACE(::testing::Message() << "bin " << bin << ", amplitude " << amplitude);
            SampleRing ring;
            const std::vector<int16_t> sine = Sine(bin, amplitude, kFftLength);
            ring.push(sine.data(), sine.size());
            ExpectCentredSine(Analyse(ring), bin, amplitude);
        }
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

TEST(Spectrum, SilenceGivesZeroEverywhere) {
    SampleRing empty;
    for (const float m : Analyse(empty)) {
        ASSERT_EQ(m, 0.0f);
    }
    SampleRing quiet;
    const std::vector<int16_t> zeros(SampleRing::kCapacity + 100, 0);
    quiet.push(zeros.data(), zeros.size());
    for (const float m : Analyse(quiet)) {
        ASSERT_EQ(m, 0.0f);
    }
}

TEST(Spectrum, MissingOlderSamplesCountAsSilence) {
    // Half a window of a full-scale sine: the newest 2048 samples carry the sound, the older
    // 2048 are zeros. Its spectrum must equal that of the same sine after 2048 real zeros.
    const int bin = 40;
    const std::vector<int16_t> sine = Sine(bin, 1.0, kFftLength / 2, kFftLength / 2);
    SampleRing partial;
    partial.push(sine.data(), sine.size());
    EXPECT_EQ(partial.written(), static_cast<uint64_t>(kFftLength / 2));

    SampleRing padded;
    const std::vector<int16_t> zeros(kFftLength / 2, 0);
    padded.push(zeros.data(), zeros.size());
    padded.push(sine.data(), sine.size());

    const std::vector<float> a = Analyse(partial);
    const std::vector<float> b = Analyse(padded);
    EXPECT_EQ(a, b);
    // Half the samples present: the peak is clearly there but well below a full window's 0.5.
    EXPECT_EQ(std::max_element(a.begin(), a.end()) - a.begin(), bin);
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

TEST(Spectrum, WrappedRingStillGivesTheNewestSamples) {
    // A loud sine on bin 100 fills the ring several times over, in odd-sized chunks, then a
    // quieter one on bin 37 follows; the spectrum must show only the newest window.
    SampleRing ring;
    const std::size_t oldCount = 3 * SampleRing::kCapacity + 1234;
    const std::vector<int16_t> old = Sine(100, 1.0, oldCount);
    std::size_t pushed = 0;
    for (std::size_t chunk = 1; pushed < oldCount; chunk = chunk * 7 % 1021 + 1) {
        const std::size_t n = std::min(chunk, oldCount - pushed);
        ring.push(old.data() + pushed, n);
        pushed += n;
    }
    const std::vector<int16_t> fresh = Sine(37, 0.5, kFftLength + 333);
    for (std::size_t at = 0; at < fresh.size(); at += 333) {
        ring.push(fresh.data() + at, std::min<std::size_t>(333, fresh.size() - at));
    }
    EXPECT_EQ(ring.written(), oldCount + fresh.size());

    // The newest 4096 samples start 333 samples into the fresh sine, which only shifts its
    // phase, not its magnitudes.
    ExpectCentredSine(Analyse(ring), 37, 0.5);

    // The raw copy across the wrap point is the newest stretch, oldest first.
    std::vector<int16_t> out(kFftLength);
    uint64_t end = 0;
    EXPECT_TRUE(ring.copyNewest(out.data(), out.size(), end));
    EXPECT_EQ(end, ring.written());
    EXPECT_TRUE(std::equal(out.begin(), out.end(), fresh.end() - kFftLength));
}

struct RaceResult {
    int intact = 0;
    int overtaken = 0;
    std::string fault;  // empty when every intact copy was right
};

// The recording side pushes a counting sequence in chunks of `chunk` samples, as fast as it
// can, while the reader analyses and copies. Every copy that reports itself intact must be one
// contiguous stretch ending at the reported sample count. The reader goes on until the writer
// has gone round the ring many times and `intactWanted` copies came out intact (or, as a safety
// net, after very many overtaken ones).
RaceResult RaceReaderAgainstWriter(std::size_t chunk, int intactWanted) {
    SampleRing ring;
    std::atomic<bool> stop{false};
    std::thread producer([&] {
        std::vector<int16_t> samples(chunk);
        uint64_t next = 0;
        while (!stop.load()) {
            for (int16_t& s : samples) {
                s = static_cast<int16_t>(next++ & 0x7fff);
            }
            ring.push(samples.data(), samples.size());
        }
    });

    constexpr uint64_t kTotal = 40 * SampleRing::kCapacity;
    SpectrumAnalyser analyser;
    std::vector<float> magnitudes(kSpectrumBins);
    std::vector<int16_t> out(kFftLength);
    RaceResult result;
    uint64_t lastEnd = 0;
    while (result.fault.empty() && (result.intact < intactWanted || ring.written() < kTotal) &&
           result.overtaken < 1000000) {
        analyser.analyse(ring, magnitudes.data());
        uint64_t end = 0;
        if (!ring.copyNewest(out.data(), out.size(), end)) {
            ++result.overtaken;
            continue;
        }
        ++result.intact;
        if (end < lastEnd) {
            result.fault = "the sample count went back";
        }
        lastEnd = end;
        for (std::size_t i = 0; i < out.size() && result.fault.empty(); ++i) {
            const int64_t sample = static_cast<int64_t>(end) - kFftLength + static_cast<int64_t>(i);
            const int16_t expected = sample < 0 ? 0 : static_cast<int16_t>(sample & 0x7fff);
            if (out[i] != expected) {
                result.fault = "sample " + std::to_string(sample) + " of a copy ending at " +
                               std::to_string(end) + " reads " + std::to_string(out[i]);
            }
        }
    }
    stop.store(true);
    producer.join();
    return result;
}

TEST(Spectrum, ReaderAndRecordingCallbackRunTogether) {
    // Callback-sized chunks, and chunks so large that the writer keeps overtaking the reader
    // mid-copy, which the reader must notice. Also run under the thread sanitizer.
    for (const std::size_t chunk :
         {std::size_t{PlatformCapture::kFramesPerBuffer}, std::size_t{6001}}) {
        SCOPED_TRACE(::testing::Message() << "chunks of " << chunk);
        const RaceResult result = RaceReaderAgainstWriter(chunk, 200);
        EXPECT_EQ(result.fault, "");
        EXPECT_GE(result.intact, 200);
        RecordProperty("intact_copies_" + std::to_string(chunk), result.intact);
        RecordProperty("overtaken_copies_" + std::to_string(chunk), result.overtaken);
    }
}

TEST(PlatformCapture, FetchBeforeRecordingLeavesTheSpectrumAlone) {
    // Nothing here touches a sound system: recording was never started.
    PlatformCapture capture;
    std::vector<float> magnitudes(kSpectrumBins, 0.125f);
    capture.fetchSpectrum(0, magnitudes.data());
    capture.fetchSpectrum(1, magnitudes.data());
    for (const float m : magnitudes) {
        ASSERT_EQ(m, 0.125f);
    }
}

}  // namespace
}  // namespace glowtern
