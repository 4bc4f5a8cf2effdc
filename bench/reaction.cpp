// How fast the lamps react, inside the process: a tone burst is fed into the sample
// ring in real time, one audio buffer at a time as the recording delivers it, while
// the real worker runs its analysis cycle every 50 ms; the time from the burst's first
// sample to the first parallel-port write with its band's line raised is measured and
// split into what the analysis window, the audio buffer, the wait for the next cycle and
// the cycle itself contribute.
//
//   glowtern_reaction [--bursts N] [--threshold T]
//
// The burst is a 107.7 Hz tone (spectrum bin 20, band 5 "53 Hz", data line D1), amplitude
// 0.5, 300 ms long, after digital silence; the show is in the Manual mode with band 5's
// slider at T (20) and every other slider at 39, level 35.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numbers>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "engine/analysis.h"
#include "engine/bands.h"
#include "engine/control_ids.h"
#include "engine/engine_state.h"
#include "engine/worker.h"
#include "platform/audio.h"
#include "platform/audio_pulse.h"
#include "platform/sample_ring.h"
#include "platform/spectrum_analyser.h"

namespace glowtern::bench {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::nanoseconds;

constexpr int kBurstBand = 5;
constexpr uint8_t kBurstLine = 0x02;  // band 5 raises D1
constexpr int kBurstBin = 20;
constexpr double kBurstHertz = kBurstBin * static_cast<double>(kSampleRate) / kFftLength;
constexpr double kBurstAmplitude = 0.5;
constexpr double kBurstSeconds = 0.3;
constexpr double kLeadSeconds = 1.0;
constexpr double kSpacingSeconds = 1.5;  // plus up to one cycle of random jitter
// The recording delivers the sound in the sound server's fragments.
constexpr std::size_t kBuffer = PulseCapture::kFragmentFrames;
constexpr double kCycleMilliseconds = 50.0;

double Milliseconds(nanoseconds d) {
    return static_cast<double>(d.count()) / 1e6;
}

double SamplesToMilliseconds(double samples) {
    return samples * 1000.0 / kSampleRate;
}

struct Stimulus {
    std::vector<int16_t> samples;
    std::vector<std::size_t> onsets;  // first sample of each burst
};

std::vector<int16_t> Burst() {
    const auto length = static_cast<std::size_t>(kBurstSeconds * kSampleRate);
    std::vector<int16_t> burst(length);
    for (std::size_t n = 0; n < length; ++n) {
        const double phase =
            2.0 * std::numbers::pi * kBurstHertz * static_cast<double>(n) / kSampleRate;
        burst[n] = static_cast<int16_t>(std::lround(kBurstAmplitude * 32767.0 * std::sin(phase)));
    }
    return burst;
}

Stimulus MakeStimulus(int bursts, uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> jitter(0.0, kCycleMilliseconds / 1000.0);
    const std::vector<int16_t> burst = Burst();
    Stimulus stimulus;
    double at = kLeadSeconds;
    for (int b = 0; b < bursts; ++b) {
        const auto onset = static_cast<std::size_t>(at * kSampleRate);
        stimulus.samples.resize(onset, 0);
        stimulus.onsets.push_back(onset);
        stimulus.samples.insert(stimulus.samples.end(), burst.begin(), burst.end());
        at += kSpacingSeconds + jitter(random);
    }
    stimulus.samples.resize(static_cast<std::size_t>((at + 0.5) * kSampleRate), 0);
    return stimulus;
}

void DefineReactionControls(ControlModel& controls, int threshold) {
    DefineShowControls(controls, 39);
    controls.setState(bandSlider(kBurstBand), threshold);
    controls.setState(kKeyCheckBox, 0);
}

// Data-port writes, as the port output maps the frame, with the time they were made; room
// is reserved up front.
class TimedPortOutputs final : public LightOutput {
  public:
    explicit TimedPortOutputs(std::size_t capacity) : writes_(capacity) {}
    LightOutputList list() const { return self_; }

    struct Write {
        Clock::time_point at;
        uint8_t value = 0;
    };
    std::size_t count() const { return count_.load(std::memory_order_acquire); }
    const Write& write(std::size_t i) const { return writes_[i]; }

  protected:
    void send(const LightFrame& frame) override {
        const std::size_t i = count_.load(std::memory_order_relaxed);
        if (i < writes_.size()) {
            writes_[i] = {Clock::now(), PortBytesFor(frame, true).data};
            count_.store(i + 1, std::memory_order_release);
        }
    }
    void sendOff() override {}

  private:
    std::vector<Write> writes_;
    std::atomic<std::size_t> count_{0};
    std::array<LightOutput*, 1> self_{this};
};

// The recording as the worker sees it: the spectrum of the newest samples in the ring,
// exactly as the recording fetches it. Notes when each fetch started.
class RingCapture final : public AudioCapture {
  public:
    RingCapture(const SampleRing& ring, std::size_t capacity) : ring_(ring), fetches_(capacity) {}

    uint32_t startRecording() override { return 1; }
    void fetchSpectrum(uint32_t, float* magnitudes) override {
        const std::size_t i = count_.load(std::memory_order_relaxed);
        if (i < fetches_.size()) {
            fetches_[i] = Clock::now();
            count_.store(i + 1, std::memory_order_release);
        }
        analyser_.analyse(ring_, magnitudes);
    }

    std::size_t count() const { return count_.load(std::memory_order_acquire); }
    Clock::time_point fetch(std::size_t i) const { return fetches_[i]; }

  private:
    const SampleRing& ring_;
    SpectrumAnalyser analyser_;
    std::vector<Clock::time_point> fetches_;
    std::atomic<std::size_t> count_{0};
};

// How many samples of the burst the newest window must hold before band 5 is decided
// on: the delay the 4096-sample window itself imposes on this burst at this threshold.
// Found by running the real cycle on windows holding 1, 2, ... burst samples after
// silence. Returns 0 when the burst is never detected. Near the threshold the automatic
// gain, which steps down as the total grows, can switch the band off again for a few
// more samples; `steady` receives the count from which it stays on.
std::size_t WindowDelaySamples(int threshold, std::size_t& steady) {
    const std::vector<int16_t> burst = Burst();
    const std::vector<int16_t> silence(kFftLength, 0);
    auto ring = std::make_unique<SampleRing>();
    SpectrumAnalyser analyser;
    std::vector<float> spectrum(kSpectrumBins + 1, 0.0f);
    ControlModel controls;
    DefineReactionControls(controls, threshold);
    std::size_t first = 0;
    steady = 0;
    const std::size_t longest = std::min<std::size_t>(burst.size(), kFftLength);
    for (std::size_t d = 1; d <= longest; ++d) {
        ring->push(silence.data(), silence.size());
        ring->push(burst.data(), d);
        analyser.analyse(*ring, spectrum.data());
        EngineState shared;
        shared.levelValue.store(35);
        AnalysisState local;
        local.gainReference = 6;
        NullOutputs outputs(controls);
        RunAnalysisCycle(spectrum.data(), kManualMode, shared, local, controls, outputs.list());
        const bool on = shared.channelStates[kBurstBand].load() != 0;
        if (on && first == 0) {
            first = d;
        }
        if (!on) {
            steady = 0;
        } else if (steady == 0) {
            steady = d;
        }
    }
    return first;
}

struct Summary {
    double median = 0;
    double p90 = 0;
    double max = 0;
};

Summary Summarise(std::vector<double> values) {
    Summary s;
    if (values.empty()) {
        return s;
    }
    std::sort(values.begin(), values.end());
    const auto at = [&](double q) {
        const double position = q * static_cast<double>(values.size() - 1);
        const auto low = static_cast<std::size_t>(std::floor(position));
        const std::size_t high = std::min(low + 1, values.size() - 1);
        return values[low] + (values[high] - values[low]) * (position - static_cast<double>(low));
    };
    s.median = at(0.5);
    s.p90 = at(0.9);
    s.max = values.back();
    return s;
}

int Run(int bursts, int threshold) {
    std::size_t steady = 0;
    const std::size_t windowDelay = WindowDelaySamples(threshold, steady);
    if (windowDelay == 0) {
        std::fprintf(stderr, "the burst never raises band %d at threshold %d\n", kBurstBand,
                     threshold);
        return 1;
    }

    const Stimulus stimulus = MakeStimulus(bursts, 20240611u);
    const std::size_t chunks = (stimulus.samples.size() + kBuffer - 1) / kBuffer;
    const std::size_t cycleRoom = chunks;  // far more than the cycles that fit in the run

    auto ring = std::make_unique<SampleRing>();
    RingCapture capture(*ring, cycleRoom);
    TimedPortOutputs outputs(cycleRoom);
    auto controls = std::make_unique<ControlModel>();
    DefineReactionControls(*controls, threshold);
    EngineState shared;
    shared.effectMode.store(kManualMode);
    shared.recordingChannel.store(capture.startRecording());

    Worker worker;
    StartSpectrumWorker(worker, WorkerContext{.shared = shared,
                                              .controls = *controls,
                                              .audio = capture,
                                              .outputs = outputs.list(),
                                              .randomSeed = 1});

    // The recording: each buffer arrives once its last sample has been
    // recorded. Sample n is in the air at start + n / rate.
    std::vector<Clock::time_point> pushed(chunks);
    const Clock::time_point start = Clock::now() + std::chrono::milliseconds(200);
    std::thread feeder([&] {
        for (std::size_t k = 0; k < chunks; ++k) {
            const std::size_t end = std::min((k + 1) * kBuffer, stimulus.samples.size());
            std::this_thread::sleep_until(
                start +
                nanoseconds(static_cast<int64_t>(static_cast<double>(end) * 1e9 / kSampleRate)));
            ring->push(stimulus.samples.data() + k * kBuffer, end - k * kBuffer);
            pushed[k] = Clock::now();
        }
    });
    feeder.join();
    JoinSpectrumWorker(worker);

    const auto sampleTime = [&](std::size_t n) {
        return start +
               nanoseconds(static_cast<int64_t>(static_cast<double>(n) * 1e9 / kSampleRate));
    };
    std::vector<double> reaction, beyondWindow, bufferShare, waitShare, cycleShare;
    std::vector<double> cycleTimes;
    const std::size_t writes = std::min(outputs.count(), capture.count());
    for (std::size_t i = 0; i < writes; ++i) {
        cycleTimes.push_back(Milliseconds(outputs.write(i).at - capture.fetch(i)));
    }
    std::printf("burst  onset(s)  reaction(ms)  window  buffer  wait  cycle\n");
    int missed = 0;
    for (std::size_t b = 0; b < stimulus.onsets.size(); ++b) {
        const std::size_t onset = stimulus.onsets[b];
        const Clock::time_point onsetTime = sampleTime(onset);
        std::size_t hit = writes;
        for (std::size_t i = 0; i < writes; ++i) {
            if (outputs.write(i).at >= onsetTime && (outputs.write(i).value & kBurstLine) != 0) {
                hit = i;
                break;
            }
        }
        if (hit == writes || (hit > 0 && (outputs.write(hit - 1).value & kBurstLine) != 0)) {
            ++missed;
            std::printf("%5zu  %8.3f  missed\n", b + 1, static_cast<double>(onset) / kSampleRate);
            continue;
        }
        // The detecting cycle could use the burst from when the buffer holding its
        // windowDelay-th sample was in the ring.
        const std::size_t detectable = onset + windowDelay - 1;
        const Clock::time_point available = pushed[detectable / kBuffer];
        const double total = Milliseconds(outputs.write(hit).at - onsetTime);
        const double window = SamplesToMilliseconds(static_cast<double>(windowDelay));
        const double buffer = Milliseconds(available - sampleTime(detectable + 1));
        const double wait = Milliseconds(capture.fetch(hit) - available);
        const double cycle = Milliseconds(outputs.write(hit).at - capture.fetch(hit));
        reaction.push_back(total);
        beyondWindow.push_back(total - window);
        bufferShare.push_back(buffer);
        waitShare.push_back(wait);
        cycleShare.push_back(cycle);
        std::printf("%5zu  %8.3f  %12.2f  %6.2f  %6.2f  %5.2f  %5.3f\n", b + 1,
                    static_cast<double>(onset) / kSampleRate, total, window, buffer, wait, cycle);
    }

    const Summary r = Summarise(reaction);
    const Summary beyond = Summarise(beyondWindow);
    const Summary cyc = Summarise(cycleTimes);
    const double allowance = kCycleMilliseconds + cyc.median + SamplesToMilliseconds(kBuffer);
    std::printf(
        "\nwindow delay: %zu samples = %.2f ms (the burst's first %zu samples must be in "
        "the newest %d; on for good from %zu = %.2f ms)\n",
        windowDelay, SamplesToMilliseconds(static_cast<double>(windowDelay)), windowDelay,
        kFftLength, steady, SamplesToMilliseconds(static_cast<double>(steady)));
    std::printf("reaction: median %.2f ms, p90 %.2f ms, max %.2f ms over %zu bursts (%d missed)\n",
                r.median, r.p90, r.max, reaction.size(), missed);
    std::printf("  shares (median): window %.2f, buffer %.2f, wait for cycle %.2f, cycle %.3f ms\n",
                SamplesToMilliseconds(static_cast<double>(windowDelay)),
                Summarise(bufferShare).median, Summarise(waitShare).median,
                Summarise(cycleShare).median);
    std::printf(
        "beyond the window: median %.2f ms, max %.2f ms; allowance one cycle + one buffer "
        "= %.2f ms: %s\n",
        beyond.median, beyond.max, allowance,
        beyond.max <= allowance ? "met for every burst" : "MISSED");
    std::printf("cycle (fetch to port write) in situ: median %.3f ms, p90 %.3f ms, max %.3f ms\n",
                cyc.median, cyc.p90, cyc.max);
    return missed == 0 ? 0 : 1;
}

}  // namespace
}  // namespace glowtern::bench

int main(int argc, char** argv) {
    int bursts = 20;
    int threshold = 20;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--bursts") == 0) {
            bursts = std::max(1, std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--threshold") == 0) {
            threshold = std::clamp(std::atoi(argv[i + 1]), 0, 39);
        } else {
            std::fprintf(stderr, "usage: %s [--bursts N] [--threshold T]\n", argv[0]);
            return 2;
        }
    }
    return glowtern::bench::Run(bursts, threshold);
}
