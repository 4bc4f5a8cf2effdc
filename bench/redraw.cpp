// What the open window costs the GUI thread: the real window with every control on a private
// Xvfb, while the real worker analyses music-like sound every 50 ms and publishes its meters
// and sliders, and the GUI thread waits for events as the program's does. Its CPU time
// (CLOCK_THREAD_CPUTIME_ID) is divided by the cycles the worker ran: first in the Auto mode
// (18 meters and the band sliders that moved), then in the Manual mode (the meters alone).
//
//   glowtern_redraw [--seconds S]     (each mode, default 10; after 2 s of warm-up)

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "bench/bench_support.h"
#include "engine/bands.h"
#include "engine/control_ids.h"
#include "engine/engine_state.h"
#include "engine/worker.h"
#include "platform/audio.h"
#include "platform/sample_ring.h"
#include "platform/spectrum_analyser.h"
#include "toolkit/qt/qt_toolkit.h"

namespace glowtern::bench {
namespace {

constexpr int kSamplesPerCycle = kSampleRate / 20;
constexpr int kStopTimer = 90;

// Xvfb on a display number it picks itself; ends with this process.
pid_t StartXvfb() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return -1;
    }
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) {
            _exit(1);
        }
        dup2(fds[1], 3);
        const int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        dup2(devnull, 2);
        execlp("Xvfb", "Xvfb", "-displayfd", "3", "-screen", "0", "1280x800x24", "-nolisten", "tcp",
               "-noreset", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    std::string number;
    char c;
    while (pid > 0 && read(fds[0], &c, 1) == 1 && c != '\n') {
        number += c;
    }
    close(fds[0]);
    if (number.empty()) {
        return -1;
    }
    setenv("DISPLAY", (":" + number).c_str(), 1);
    return pid;
}

// The sound arrives in step with the cycles: each fetch takes in 50 ms more of the music.
class MusicCapture final : public AudioCapture {
  public:
    uint32_t startRecording() override { return 1; }
    void fetchSpectrum(uint32_t, float* magnitudes) override {
        int left = kSamplesPerCycle;
        while (left > 0) {
            const int chunk = std::min(left, static_cast<int>(music_.size() - played_));
            ring_.push(music_.data() + played_, static_cast<std::size_t>(chunk));
            played_ = (played_ + static_cast<std::size_t>(chunk)) % music_.size();
            left -= chunk;
        }
        analyser_.analyse(ring_, magnitudes);
    }

  private:
    std::vector<int16_t> music_ = MusicLikeSamples(20.0);
    std::size_t played_ = 0;
    SampleRing ring_;
    SpectrumAnalyser analyser_;
};

double ThreadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Runs the event loop as the program does until `milliseconds` have passed.
void RunEvents(QtToolkit& toolkit, int milliseconds) {
    toolkit.startTimer(kStopTimer, milliseconds);
    while (true) {
        const Event event = toolkit.waitEvent();
        if (event.number == kTimerEvent && event.id == kStopTimer) {
            break;
        }
    }
    toolkit.stopTimer(kStopTimer);
}

int Run(int argc, char** argv) {
    double seconds = 10.0;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0) {
            seconds = std::atof(argv[i + 1]);
        }
    }
    const pid_t xvfb = StartXvfb();
    if (xvfb < 0) {
        std::fprintf(stderr, "glowtern_redraw: Xvfb did not start\n");
        return 1;
    }
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    char runtime[] = "/tmp/glowtern-redraw-XXXXXX";  // Qt wants a private runtime directory
    const bool ownRuntime = getenv("XDG_RUNTIME_DIR") == nullptr && mkdtemp(runtime) != nullptr;
    if (ownRuntime) {
        setenv("XDG_RUNTIME_DIR", runtime, 1);
    }
    int status = 0;
    {
        QtToolkit toolkit(argc, argv);
        OpenMainWindow(toolkit, 0, 0);
        CreateMainWindowControls(toolkit);
        ControlModel& controls = toolkit.controls();
        controls.setState(kLevelSlider, 35);
        controls.setState(kAruSlider, 35);
        controls.setState(kLptCheckBox, 1);
        for (int band = 1; band <= kBandCount; ++band) {
            controls.setState(bandSlider(band), 15);
            controls.setState(outputSelector(band), band);
        }
        toolkit.showMainWindow();
        toolkit.restoreMainWindow();

        EngineState shared;
        shared.effectMode.store(kAutoMode);
        MusicCapture capture;
        shared.recordingChannel.store(capture.startRecording());
        NullOutputs outputs(controls);
        Worker worker;
        StartSpectrumWorker(worker, {.shared = shared,
                                     .controls = controls,
                                     .audio = capture,
                                     .outputs = outputs.list(),
                                     .randomSeed = 1});
        std::printf("GUI thread per analysis cycle, window shown (%.0f s each):\n", seconds);
        for (const int32_t mode : {kAutoMode, kManualMode}) {
            shared.effectMode.store(mode);
            RunEvents(toolkit, 2000);  // warm-up
            const uint64_t cyclesBefore = CyclesCompleted(worker);
            const double before = ThreadSeconds();
            RunEvents(toolkit, static_cast<int>(seconds * 1000));
            const double used = ThreadSeconds() - before;
            const uint64_t cycles = CyclesCompleted(worker) - cyclesBefore;
            std::printf("  %-6s %6.1f us per cycle (%llu cycles, %.2f ms/s)\n",
                        mode == kAutoMode ? "Auto" : "Manual",
                        cycles > 0 ? used * 1e6 / static_cast<double>(cycles) : 0.0,
                        static_cast<unsigned long long>(cycles), used * 1e3 / seconds);
        }
        StopSpectrumWorker(worker, std::chrono::milliseconds(1000));
        toolkit.closeMainWindow();
    }
    kill(xvfb, SIGTERM);
    waitpid(xvfb, &status, 0);
    if (ownRuntime) {
        rmdir(runtime);
    }
    return 0;
}

}  // namespace
}  // namespace glowtern::bench

int main(int argc, char** argv) {
    return glowtern::bench::Run(argc, argv);
}
