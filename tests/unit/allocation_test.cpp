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
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
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
#include "engine/light_output.h"
#include "engine/worker.h"
#include "platform/audio.h"
#include "platform/sample_ring.h"
#include "platform/spectrum_analyser.h"
#include "tests/support/program_rig.h"
#include "toolkit/controls.h"
#include "toolkit/image.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define GLOWTERN_SANITIZER_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define GLOWTERN_SANITIZER_ALLOCATOR 1
#endif
#endif

// Plain thread-local flags: static TLS, safe to touch from inside malloc.
static thread_local bool tCounting = false;
static thread_local long tAllocations = 0;

static void noteAllocation() {
    tAllocations += tCounting ? 1 : 0;
}

#ifdef GLOWTERN_SANITIZER_ALLOCATOR

extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, size_t),
                                                         void (*)(const volatile void*));
static const bool kCounterInstalled =
    __sanitizer_install_malloc_and_free_hooks(
        [](const volatile void*, size_t) { noteAllocation(); }, [](const volatile void*) {}) != 0;

#else

static void* counted(void* block) {
    noteAllocation();
    return block;
}

// glibc's allocator under its own names; the definitions below take the usual names for the
// whole process and hand every call on unchanged (glibc's own free takes the blocks back).
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);

void* malloc(size_t size) noexcept {
    return counted(__libc_malloc(size));
}
void* calloc(size_t count, size_t size) noexcept {
    return counted(__libc_calloc(count, size));
}
void* realloc(void* pointer, size_t size) noexcept {
    return counted(__libc_realloc(pointer, size));
}
void* memalign(size_t alignment, size_t size) noexcept {
    return counted(__libc_memalign(alignment, size));
}
void* aligned_alloc(size_t alignment, size_t size) noexcept {
    return counted(__libc_memalign(alignment, size));
}
int posix_memalign(void** result, size_t alignment, size_t size) noexcept {
    if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) {
        return EINVAL;
    }
    void* block = counted(__libc_memalign(alignment, size));
    if (block == nullptr) {
        return ENOMEM;
    }
    *result = block;
    return 0;
}
}

static const bool kCounterInstalled = true;

#endif

namespace glowtern {
namespace {

// Counts the heap allocations this thread makes from start() to stop().
void start() {
    tAllocations = 0;
    tCounting = true;
}
long stop() {
    tCounting = false;
    return tAllocations;
}

// Keeps the compiler from dropping an allocation whose result nobody uses.
void Escape(void* pointer) {
    asm volatile("" : : "r"(pointer) : "memory");
}

class NullOutput final : public LightOutput {
  public:
    int writes = 0;

  protected:
    void send(const LightFrame&) override { ++writes; }
    void sendOff() override {}
};

// The window's side: told of changes, it takes them at once, as its thread would a moment
// later, and notes which controls changed and how many of them showed a picture.
class Window final : public ControlObserver {
  public:
    explicit Window(ControlModel& model) : model_(model) { model_.setObserver(this); }
    ~Window() { model_.setObserver(nullptr); }

    void controlsChanged() override {
        ++notices;
        model_.flushChanges([this](int id) {
            changed.push_back(id);
            pictures += model_.latestImage(id) != nullptr ? 1 : 0;
        });
    }

    std::atomic<int> notices{0};
    std::vector<int> changed;
    int pictures = 0;

  private:
    ControlModel& model_;
};

// The main window's controls, every output on, the changes so far taken.
std::unique_ptr<ControlModel> MainWindow() {
    auto controls = std::make_unique<ControlModel>();
    testing::DefineMainWindowControls(*controls);
    controls->setState(kAruSlider, 3);  // the Auto mode's thresholds decay often
    for (int n = 1; n <= kBandCount; ++n) {
        controls->setState(outputSelector(n), n);
    }
    controls->flushChanges([](int) {});
    return controls;
}

TEST(Allocation, TheCounterSeesAllocationsOfEveryKind) {
    // The check below means something only if a missed allocation would show here.
    ASSERT_TRUE(kCounterInstalled);
    start();
    int* number = new int(7);
    void* block = std::malloc(64);
    Escape(number), Escape(block);
    block = std::realloc(block, 4096);
    char* copy = strdup("from inside libc");
    Escape(block), Escape(copy);
    delete number;
    std::free(block);
    std::free(copy);
    EXPECT_EQ(stop(), 4);
}

// A thousand cycles with every mode, mode changes between them, sound recorded in callback-
// sized pieces, meters drawn and published, sliders moved, every output written, and the
// window's side taking the changes: none of it touches the heap.
TEST(Allocation, AnalysisCyclesAllocateNothing) {
    ASSERT_TRUE(kCounterInstalled);
    // Sound that keeps every band moving: noise, a falling kick and a rising sweep.
    std::vector<int16_t> sound(4 * kSampleRate);
    uint32_t noise = 12345;
    double phase = 0;
    for (size_t n = 0; n < sound.size(); ++n) {
        noise = noise * 1664525u + 1013904223u;
        const double t = static_cast<double>(n) / kSampleRate;
        phase += 2 * std::numbers::pi * (60.0 + 4000.0 * std::fmod(t, 1.3)) / kSampleRate;
        sound[n] = static_cast<int16_t>(
            6000 * (static_cast<double>(noise >> 16) / 32768.0 - 1.0) + 6000 * std::sin(phase) +
            16000 * std::exp(-std::fmod(t, 0.5) / 0.1) * std::sin(2 * std::numbers::pi * 70 * t));
    }
    auto ring = std::make_unique<SampleRing>();
    ring->push(sound.data(), kFftLength);
    SpectrumAnalyser analyser;
    std::vector<float> spectrum(kSpectrumBins + 1, 0.0f);
    std::unique_ptr<ControlModel> controls = MainWindow();
    Window window(*controls);
    window.changed.reserve(1000 * ControlModel::kCapacity);
    auto shared = std::make_unique<EngineState>();
    AnalysisState local;
    local.random.seed(7);
    NullOutput output;
    LightOutput* const outputs[] = {&output};
    constexpr size_t kPerCycle = 1103;  // 50 ms of sound
    constexpr size_t kPiece = 256;      // as the recording delivers it
    size_t played = kFftLength;

    start();
    for (int cycle = 0; cycle < 1000; ++cycle) {
        for (size_t done = 0; done < kPerCycle; done += kPiece) {
            played = played + kPiece > sound.size() ? 0 : played;
            ring->push(sound.data() + played, std::min(kPiece, kPerCycle - done));
            played += kPiece;
        }
        analyser.analyse(*ring, spectrum.data());
        const ControlModel::Batch batch(*controls);
        RunAnalysisCycle(spectrum.data(), (cycle / 50) % 4, *shared, local, *controls, outputs);
    }
    EXPECT_EQ(stop(), 0);
    // The cycles really did their work: every output written, meters published and taken.
    EXPECT_EQ(output.writes, 1000);
    EXPECT_GT(window.pictures, 0);
}

// While a thread holds a batch open, its changes are marked but the window is told once,
// when the batch closes; changes made by other threads meanwhile are told at once. A picture
// the control shows already is no change.
TEST(ControlBatch, TellsTheWindowOnceAndOnlyOfNewPictures) {
    std::unique_ptr<ControlModel> controls = MainWindow();
    Window window(*controls);
    Image picture(8, 70);
    {
        const ControlModel::Batch batch(*controls);
        controls->setState(bandSlider(3), 30);
        {
            const ControlModel::Batch inner(*controls);
            controls->setImage(levelMeter(3), picture);
        }
        controls->setState(kLevelSlider, 50);
        EXPECT_EQ(window.notices.load(), 0);
        std::thread([&] { controls->setState(bandSlider(4), 31); }).join();
        EXPECT_EQ(window.changed.size(), 4u);  // told at once, of every mark so far
        controls->setState(bandSlider(5), 32);
        controls->setImage(levelMeter(3), picture);  // the same again
    }
    EXPECT_EQ(window.notices.load(), 2);
    EXPECT_EQ(window.changed.back(), bandSlider(5));
    EXPECT_EQ(window.changed.size(), 5u);
    {
        const ControlModel::Batch unchanged(*controls);
        controls->setState(bandSlider(5), 32);
    }
    EXPECT_EQ(window.notices.load(), 2);

    // Another meter with the same picture, and this one with a changed pixel, are new.
    window.changed.clear();
    controls->setImage(levelMeter(2), picture);
    picture.fillRectangle(7, 69, 1, 1, Rgb{4, 5, 6});
    controls->setImage(levelMeter(3), picture);
    EXPECT_EQ(window.changed, (std::vector<int>{levelMeter(2), levelMeter(3)}));
    const uint8_t* shown = controls->latestImage(levelMeter(3));
    ASSERT_NE(shown, nullptr);
    EXPECT_EQ(shown[(69 * 8 + 7) * 3], 4);
}

// The worker wraps each cycle in a batch: one notice per cycle, not one per meter.
TEST(ControlBatch, WorkerTellsTheWindowOncePerCycle) {
    class ToneCapture final : public AudioCapture {
      public:
        uint32_t startRecording() override { return 1; }
        void fetchSpectrum(uint32_t, float* magnitudes) override {
            // A new level in every band every cycle, so every meter is redrawn every cycle.
            std::fill(magnitudes, magnitudes + kSpectrumBins, 0.0001f * (1 + ++fetches % 7));
        }
        int fetches = 0;
    };
    std::unique_ptr<ControlModel> controls = MainWindow();
    Window window(*controls);
    EngineState shared;
    shared.effectMode.store(kManualMode);
    ToneCapture capture;
    NullOutput output;
    LightOutput* const outputs[] = {&output};
    Worker worker;
    StartSpectrumWorker(worker, {shared, *controls, capture, outputs, 1});
    while (CyclesCompleted(worker) < 4) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    JoinSpectrumWorker(worker);
    EXPECT_GE(window.notices.load(), 1);
    EXPECT_LE(window.notices.load(), static_cast<int>(CyclesCompleted(worker)));
}

}  // namespace
}  // namespace glowtern
