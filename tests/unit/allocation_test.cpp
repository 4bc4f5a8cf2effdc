// What the analysis cycle costs the rest of the program, beyond its own time: it takes
// nothing from the heap, and it wakes the window once per cycle with nothing in it that
// did not change.
//
// Heap allocations are counted for one thread at a time. In a plain build this test binary
// supplies malloc and its relatives itself, counting and then passing on to glibc's own
// allocator (so every library's allocations, kissfft's and libstdc++'s operator new among
// them, are seen). Under AddressSanitizer or ThreadSanitizer the sanitizer owns malloc; its
// allocation hook counts instead.

#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <numbers>
#include <string_view>
#include <thread>
#include <vector>

#include "app/main_window.h"
#include "engine/analysis.h"
#include "engine/bands.h"
#include "engine/control_ids.h"
#include "engine/engine_state.h"
#include "engine/light_outputs.h"
#include "engine/worker.h"
#include "platform/audio.h"
#include "platform/sample_ring.h"
#include "platform/spectrum_analyser.h"
#include "toolkit/controls.h"
#include "toolkit/image.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define GLOWTERN_SANITIZER_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define GLOWTERN_SANITIZER_ALLOCATOR 1
#endif
#endif

namespace {

// Plain thread-local flags: static TLS, safe to touch from inside malloc.
thread_local bool tCounting = false;
thread_local long tAllocations = 0;

void noteAllocation() {
    if (tCounting) {
        ++tAllocations;
    }
}

}  // namespace

#ifdef GLOWTERN_SANITIZER_ALLOCATOR

extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*mallocHook)(const volatile void*,
                                                                            size_t),
                                                         void (*freeHook)(const volatile void*));

namespace {

void OnSanitizerMalloc(const volatile void*, size_t) {
    noteAllocation();
}
void OnSanitizerFree(const volatile void*) {}

bool InstallCounter() {
    static const bool installed =
        __sanitizer_install_malloc_and_free_hooks(OnSanitizerMalloc, OnSanitizerFree) != 0;
    return installed;
}

}  // namespace

#else

// glibc's allocator under its own names; the definitions below take the usual names for the
// whole process and hand every call on unchanged.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* pointer);

void* malloc(size_t size) noexcept {
    noteAllocation();
    return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) noexcept {
    noteAllocation();
    return __libc_calloc(count, size);
}
void* realloc(void* pointer, size_t size) noexcept {
    noteAllocation();
    return __libc_realloc(pointer, size);
}
void free(void* pointer) noexcept {
    __libc_free(pointer);
}
void* memalign(size_t alignment, size_t size) noexcept {
    noteAllocation();
    return __libc_memalign(alignment, size);
}
void* aligned_alloc(size_t alignment, size_t size) noexcept {
    noteAllocation();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** result, size_t alignment, size_t size) noexcept {
    if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) {
        return EINVAL;
    }
    noteAllocation();
    void* pointer = __libc_memalign(alignment, size);
    if (pointer == nullptr) {
        return ENOMEM;
    }
    *result = pointer;
    return 0;
}
}

namespace {
bool InstallCounter() {
    return true;
}
}  // namespace

#endif

namespace glowtern {
namespace {

// Counts the heap allocations this thread makes while it lives.
class AllocationCount {
  public:
    AllocationCount() {
        tAllocations = 0;
        tCounting = true;
    }
    ~AllocationCount() { tCounting = false; }
    AllocationCount(const AllocationCount&) = delete;
    AllocationCount& operator=(const AllocationCount&) = delete;

    long stop() {
        tCounting = false;
        return tAllocations;
    }
};

// Keeps the compiler from dropping an allocation whose result nobody uses.
void Escape(void* pointer) {
    asm volatile("" : : "r"(pointer) : "memory");
}

class NullOutputs final : public LightOutputs {
  public:
    void setKeyboardLed(std::string_view, int32_t) override { ++writes; }
    void writePort(uint16_t, uint8_t) override { ++writes; }
    void writeUsbReport(uint8_t) override { ++writes; }
    int writes = 0;
};

// Tells nothing but how often it was told; with `flushAtOnce` it also takes every change at
// once, as the window's thread would a moment later.
class CountingObserver final : public ControlObserver {
  public:
    explicit CountingObserver(ControlModel& model, bool flushAtOnce = false)
        : model_(model), flushAtOnce_(flushAtOnce) {
        model_.setObserver(this);
    }
    ~CountingObserver() { model_.setObserver(nullptr); }
    CountingObserver(const CountingObserver&) = delete;
    CountingObserver& operator=(const CountingObserver&) = delete;

    void controlsChanged() override {
        ++notices;
        if (flushAtOnce_) {
            takeChanges();
        }
    }
    std::vector<int> takeChanges() {
        std::vector<int> ids;
        model_.flushChanges([&](int id) { ids.push_back(id); });
        return ids;
    }

    std::atomic<int> notices{0};

  private:
    ControlModel& model_;
    bool flushAtOnce_;
};

void DefineMainWindow(ControlModel& controls) {
    for (const ControlSpec& control : MainWindowControls()) {
        controls.define(control);
    }
    controls.setState(kKeyCheckBox, 1);
    controls.setState(kLptCheckBox, 1);
    controls.setState(kLevelSlider, 35);
    controls.setState(kAruSlider, 3);  // the Auto mode's thresholds decay often
    for (int n = 1; n <= kBandCount; ++n) {
        controls.setState(bandSlider(n), 15);
        controls.setState(outputSelector(n), n);
    }
}

// Sound that keeps every band moving: noise, a falling kick and a rising sweep.
std::vector<int16_t> Sound(std::size_t count) {
    std::vector<int16_t> samples(count);
    uint32_t noise = 12345;
    double phase = 0;
    for (std::size_t n = 0; n < count; ++n) {
        noise = noise * 1664525u + 1013904223u;
        const double t = static_cast<double>(n) / kSampleRate;
        const double beat = std::fmod(t, 0.5);
        phase += 2 * std::numbers::pi * (60.0 + 4000.0 * std::fmod(t, 1.3)) / kSampleRate;
        const double value = 0.2 * (static_cast<double>(noise >> 16) / 32768.0 - 1.0) +
                             0.5 * std::exp(-beat / 0.1) * std::sin(2 * std::numbers::pi * 70 * t) +
                             0.2 * std::sin(phase);
        samples[n] = static_cast<int16_t>(std::clamp(value, -1.0, 1.0) * 32767.0);
    }
    return samples;
}

TEST(Allocation, TheCounterSeesAllocationsOfEveryKind) {
    // The check below means something only if a missed allocation would show here.
    ASSERT_TRUE(InstallCounter());
    AllocationCount count;
    int* number = new int(7);
    Escape(number);
    delete number;
    void* block = std::malloc(64);
    Escape(block);
    block = std::realloc(block, 4096);
    Escape(block);
    std::free(block);
    char* copy = strdup("from inside libc");
    Escape(copy);
    std::free(copy);
    EXPECT_EQ(count.stop(), 4);
}

// A thousand cycles with every mode, mode changes between them, sound recorded in callback-
// sized pieces, meters drawn and published, sliders moved, every output written, and the
// window's side taking the changes: none of it touches the heap.
TEST(Allocation, AnalysisCyclesAllocateNothing) {
    ASSERT_TRUE(InstallCounter());
    const std::vector<int16_t> sound = Sound(4 * kSampleRate);
    auto ring = std::make_unique<SampleRing>();
    ring->push(sound.data(), kFftLength);
    SpectrumAnalyser analyser;
    std::vector<float> spectrum(kSpectrumBins + 1, 0.0f);
    auto controls = std::make_unique<ControlModel>();
    DefineMainWindow(*controls);
    CountingObserver window(*controls);
    auto shared = std::make_unique<EngineState>();
    shared->levelValue.store(35);
    AnalysisState local;
    local.random.seed(7);
    NullOutputs outputs;
    constexpr std::size_t kPerCycle = 1103;  // 50 ms of sound
    constexpr std::size_t kPiece = 256;      // as the recording delivers it
    std::size_t played = kFftLength;
    int shownIds = 0;
    std::array<int, 4> cyclesPerMode{};

    AllocationCount count;
    for (int cycle = 0; cycle < 1000; ++cycle) {
        for (std::size_t done = 0; done < kPerCycle; done += kPiece) {
            if (played + kPiece > sound.size()) {
                played = 0;
            }
            ring->push(sound.data() + played, std::min(kPiece, kPerCycle - done));
            played += kPiece;
        }
        const int32_t mode = (cycle / 50) % 4;
        analyser.analyse(*ring, spectrum.data());
        {
            const ControlModel::Batch batch(*controls);
            RunAnalysisCycle(spectrum.data(), mode, *shared, local, *controls, outputs);
        }
        ++cyclesPerMode[static_cast<std::size_t>(mode)];
        controls->flushChanges(
            [&](int id) { shownIds += controls->latestImage(id) != nullptr ? 1 : 0; });
    }
    const long allocations = count.stop();

    EXPECT_EQ(allocations, 0);
    EXPECT_EQ(cyclesPerMode, (std::array<int, 4>{250, 250, 250, 250}));
    EXPECT_EQ(outputs.writes, 1000 * 8);  // 3 keyboard LEDs, 2 port registers, 3 USB reports
    EXPECT_GT(shownIds, 0);               // the meters really were published and taken
    EXPECT_GT(window.notices.load(), 0);
}

// While a thread holds a batch open, its changes are marked but the window is told once,
// when the batch closes; changes made by other threads meanwhile are told at once.
TEST(ControlBatch, TellsTheWindowOnceWhenTheBatchCloses) {
    ControlModel controls;
    DefineMainWindow(controls);
    CountingObserver window(controls);
    window.takeChanges();
    Image picture(8, 70);
    {
        const ControlModel::Batch batch(controls);
        controls.setState(bandSlider(3), 30);
        {
            const ControlModel::Batch inner(controls);
            controls.setImage(levelMeter(3), picture);
        }
        controls.setState(kLevelSlider, 50);
        EXPECT_EQ(window.notices.load(), 0);

        std::thread other([&] { controls.setState(bandSlider(4), 31); });
        other.join();
        EXPECT_EQ(window.notices.load(), 1);
        EXPECT_EQ(window.takeChanges().size(), 4u);  // every mark so far goes in that flush
        controls.setState(bandSlider(5), 32);
        EXPECT_EQ(window.notices.load(), 1);
    }
    EXPECT_EQ(window.notices.load(), 2);
    EXPECT_EQ(window.takeChanges(), std::vector<int>{bandSlider(5)});

    // A batch with no change tells nothing.
    {
        const ControlModel::Batch batch(controls);
        controls.setState(bandSlider(5), 32);
    }
    EXPECT_EQ(window.notices.load(), 2);
}

TEST(ControlBatch, SamePictureAgainIsNotRedrawn) {
    ControlModel controls;
    DefineMainWindow(controls);
    CountingObserver window(controls);
    window.takeChanges();
    Image picture(8, 70);
    picture.fillRectangle(0, 0, 8, 70, Rgb{1, 2, 3});
    controls.setImage(levelMeter(1), picture);
    EXPECT_EQ(window.takeChanges(), std::vector<int>{levelMeter(1)});
    controls.setImage(levelMeter(1), picture);
    EXPECT_TRUE(window.takeChanges().empty());
    // Another meter with the same picture, and this one with a changed pixel, are new.
    controls.setImage(levelMeter(2), picture);
    picture.fillRectangle(7, 69, 1, 1, Rgb{4, 5, 6});
    controls.setImage(levelMeter(1), picture);
    EXPECT_EQ(window.takeChanges(), (std::vector<int>{levelMeter(1), levelMeter(2)}));
    const uint8_t* shown = controls.latestImage(levelMeter(1));
    ASSERT_NE(shown, nullptr);
    EXPECT_EQ(shown[(69 * 8 + 7) * 3], 4);
}

// The worker wraps each cycle in a batch: one notice per cycle, not one per meter.
TEST(ControlBatch, WorkerTellsTheWindowOncePerCycle) {
    class ToneCapture final : public AudioCapture {
      public:
        uint32_t startRecording() override { return 1; }
        void fetchSpectrum(uint32_t, float* magnitudes) override {
            std::fill(magnitudes, magnitudes + kSpectrumBins, 0.0f);
            // A new level every cycle, so every meter is redrawn every cycle.
            for (int k = 0; k < kSpectrumBins; k += 3) {
                magnitudes[k] = 0.0001f * static_cast<float>(1 + (fetches + k) % 7);
            }
            ++fetches;
        }
        int fetches = 0;
    };
    auto controls = std::make_unique<ControlModel>();
    DefineMainWindow(*controls);
    CountingObserver window(*controls, true);
    window.takeChanges();  // the window as it is shown
    EngineState shared;
    shared.effectMode.store(kManualMode);
    shared.recordingChannel.store(1);
    shared.levelValue.store(35);
    ToneCapture capture;
    NullOutputs outputs;
    Worker worker;
    StartSpectrumWorker(worker, WorkerContext{.shared = shared,
                                              .controls = *controls,
                                              .audio = capture,
                                              .outputs = outputs,
                                              .randomSeed = 1});
    while (CyclesCompleted(worker) < 4) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    StopSpectrumWorker(worker);
    const auto cycles = static_cast<int>(CyclesCompleted(worker));
    EXPECT_GE(window.notices.load(), 1);
    EXPECT_LE(window.notices.load(), cycles);  // not once per meter
}

}  // namespace
}  // namespace glowtern
