// Micro-benchmarks of the work Glowtern repeats while a show runs: the analysis
// cycle (every 50 ms), its spectrum fetch and meter drawing, and the settings file
// load and save.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "engine/analysis.h"
#include "engine/bands.h"
#include "engine/control_ids.h"
#include "engine/engine_state.h"
#include "engine/level_meter.h"
#include "platform/audio.h"
#include "platform/sample_ring.h"
#include "platform/spectrum_analyser.h"
#include "toolkit/settings_file.h"

namespace glowtern::bench {
namespace {

// One audio buffer of the recording stream, as the sound arrives.
constexpr std::size_t kAudioBuffer = 256;

// What the worker works on: a ring of recorded music, the analyser, the real control
// table and the engine's state, with outputs that go nowhere.
struct ShowRig {
    explicit ShowRig(int32_t mode) {
        DefineShowControls(controls);
        shared.effectMode.store(mode);
        shared.levelValue.store(35);
        local.gainReference = 6;
        local.random.seed(1);
        record(2 * kFftLength);
    }

    // Appends the next `count` samples of the music (looping) to the ring.
    void record(std::size_t count) {
        while (count > 0) {
            const std::size_t chunk = std::min(count, music.size() - played);
            ring->push(music.data() + played, chunk);
            played = (played + chunk) % music.size();
            count -= chunk;
        }
    }

    void cycle() {
        analyser.analyse(*ring, spectrum.data());
        RunAnalysisCycle(spectrum.data(), shared.effectMode.load(), shared, local, controls,
                         outputs.list());
    }

    std::vector<int16_t> music = MusicLikeSamples(10.0);
    std::size_t played = 0;
    std::unique_ptr<SampleRing> ring = std::make_unique<SampleRing>();
    SpectrumAnalyser analyser;
    std::vector<float> spectrum = std::vector<float>(kSpectrumBins + 1, 0.0f);
    ControlModel controls;
    EngineState shared;
    AnalysisState local;
    NullOutputs outputs{controls};
};

// One whole analysis cycle without devices: spectrum fetch from the ring, bands,
// gain, the mode's decisions, 18 meters, LED flags and output bytes. Each iteration
// first records one more audio buffer, so every cycle sees new sound (that push is
// measured on its own by BM_SampleRingPush).
void BM_AnalysisCycle(benchmark::State& state) {
    auto rig = std::make_unique<ShowRig>(static_cast<int32_t>(state.range(0)));
    for (auto _ : state) {
        rig->record(kAudioBuffer);
        rig->cycle();
    }
    benchmark::DoNotOptimize(rig->outputs.lastPort);
    state.SetLabel(std::array{"no mode", "Manual", "Auto", "Rnd"}[state.range(0)]);
}
BENCHMARK(BM_AnalysisCycle)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);

// The cycle after the fetch alone (RunAnalysisCycle), on a set of precomputed spectra.
void BM_AnalysisAfterFetch(benchmark::State& state) {
    auto rig = std::make_unique<ShowRig>(static_cast<int32_t>(state.range(0)));
    constexpr int kSpectra = 16;
    std::vector<std::vector<float>> spectra;
    for (int i = 0; i < kSpectra; ++i) {
        rig->record(1103);
        rig->analyser.analyse(*rig->ring, rig->spectrum.data());
        spectra.push_back(rig->spectrum);
    }
    int next = 0;
    for (auto _ : state) {
        RunAnalysisCycle(spectra[next].data(), static_cast<int32_t>(state.range(0)), rig->shared,
                         rig->local, rig->controls, rig->outputs.list());
        next = (next + 1) % kSpectra;
    }
    benchmark::DoNotOptimize(rig->outputs.lastPort);
    state.SetLabel(std::array{"no mode", "Manual", "Auto", "Rnd"}[state.range(0)]);
}
BENCHMARK(BM_AnalysisAfterFetch)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);

// The spectrum fetch alone: copy of the newest 4096 samples, Hann window, real FFT,
// 2048 magnitudes.
void BM_SpectrumFetch(benchmark::State& state) {
    auto rig = std::make_unique<ShowRig>(kNoMode);
    for (auto _ : state) {
        rig->analyser.analyse(*rig->ring, rig->spectrum.data());
        benchmark::DoNotOptimize(rig->spectrum.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_SpectrumFetch)->Unit(benchmark::kMicrosecond);

// What taking in one buffer of recorded sound costs.
void BM_SampleRingPush(benchmark::State& state) {
    auto rig = std::make_unique<ShowRig>(kNoMode);
    for (auto _ : state) {
        rig->record(static_cast<std::size_t>(state.range(0)));
    }
}
BENCHMARK(BM_SampleRingPush)->Arg(kAudioBuffer)->Unit(benchmark::kNanosecond);

// One meter: clear, bar, 22 grid lines, and the copy handed to the control.
void BM_DrawLevelMeter(benchmark::State& state) {
    auto rig = std::make_unique<ShowRig>(kNoMode);
    Image scratch(8, 70);
    int band = 1;
    float level = 0.0f;
    for (auto _ : state) {
        DrawLevelMeter(scratch, rig->controls, band, level, band % 2 == 0);
        band = band % kBandCount + 1;
        level = level >= 40.0f ? 0.0f : level + 0.75f;
    }
}
BENCHMARK(BM_DrawLevelMeter)->Unit(benchmark::kNanosecond);

// A settings file in a directory of its own, with the 43 keys the program saves.
class SettingsDirectory {
  public:
    SettingsDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "glowtern-bench-XXXXXX");
        if (mkdtemp(pattern.data()) != nullptr) {
            directory_ = pattern;
        }
        file_ = directory_ + "/setting.dat";
        SettingsFile settings;
        settings.open(file_);
        for (const std::string& key : Keys()) {
            settings.writeString(key, "15");
        }
        settings.close();
    }
    ~SettingsDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }
    SettingsDirectory(const SettingsDirectory&) = delete;
    SettingsDirectory& operator=(const SettingsDirectory&) = delete;

    const std::string& file() const { return file_; }

    // In the order the program saves them: the show, the outputs, the window, the
    // band thresholds.
    static const std::vector<std::string>& Keys() {
        static const std::vector<std::string> keys = [] {
            std::vector<std::string> k = {"Level", "ARU", "Effect", "KEY_LED"};
            for (int output = 1; output <= 18; ++output) {
                k.push_back("OUT" + std::to_string(output));
            }
            k.insert(k.end(), {"LPT_LED", "X_form", "Y_form"});
            for (int band = 1; band <= kBandCount; ++band) {
                k.push_back("fr" + std::to_string(band));
            }
            return k;
        }();
        return keys;
    }

  private:
    std::string directory_;
    std::string file_;
};

void BM_SettingsLoad(benchmark::State& state) {
    SettingsDirectory directory;
    SettingsFile settings;
    int32_t sum = 0;
    for (auto _ : state) {
        settings.open(directory.file());
        for (const std::string& key : SettingsDirectory::Keys()) {
            sum += toNumber(settings.readString(key, "0"));
        }
        settings.close();
    }
    benchmark::DoNotOptimize(sum);
    if (sum == 0) {
        state.SkipWithError("the settings file did not read back");
    }
}
BENCHMARK(BM_SettingsLoad)->Unit(benchmark::kMicrosecond);

// Includes the program's crash-safe replace: temporary file, fsync, rename, fsync of
// the directory; so it mostly measures the file system.
void BM_SettingsSave(benchmark::State& state) {
    SettingsDirectory directory;
    SettingsFile settings;
    int32_t value = 0;
    for (auto _ : state) {
        settings.open(directory.file());
        for (const std::string& key : SettingsDirectory::Keys()) {
            settings.writeString(key, toText(value));
        }
        settings.close();
        value = (value + 1) % 40;
    }
}
BENCHMARK(BM_SettingsSave)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace glowtern::bench

BENCHMARK_MAIN();
