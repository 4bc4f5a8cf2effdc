#include "engine/worker.h"

#include <vector>

#include "engine/analysis.h"

namespace glowtern {

namespace {
constexpr auto kCyclePause = std::chrono::milliseconds(50);
// How often a recording that could not start is tried again.
constexpr auto kRecordingRetry = std::chrono::seconds(3);
}  // namespace

void SpectrumWorker(Worker& worker, WorkerContext context) {
    // One element more than the fetch fills, as the recording library's buffer had.
    std::vector<float> spectrum(kSpectrumBins + 1, 0.0f);
    AnalysisState local;
    local.gainReference = 6;
    local.random.seed(context.randomSeed);
    auto lastRecordingAttempt = std::chrono::steady_clock::now();

    std::unique_lock lock(worker.mutex);
    while (!worker.stopRequested) {
        lock.unlock();

        uint32_t channel = context.shared.recordingChannel.load();
        if (channel == 0 &&
            std::chrono::steady_clock::now() - lastRecordingAttempt >= kRecordingRetry) {
            lastRecordingAttempt = std::chrono::steady_clock::now();
            channel = context.audio.startRecording();
            context.shared.recordingChannel.store(channel);
        }
        context.audio.fetchSpectrum(channel, spectrum.data());

        lock.lock();
        if (worker.stopRequested) {
            break;
        }
        worker.inCycle = true;
        lock.unlock();
        // The mode is read once, as the cycle starts: a handler that changes the mode
        // and then waits for the end of the current cycle knows that no later cycle
        // runs the old mode.
        const int32_t mode = context.shared.effectMode.load();
        {
            // The window shows the whole cycle's meters and sliders in one redraw.
            const ControlModel::Batch batch(context.controls);
            RunAnalysisCycle(spectrum.data(), mode, context.shared, local, context.controls,
                             context.outputs);
        }

        lock.lock();
        worker.inCycle = false;
        ++worker.cyclesDone;
        worker.changed.notify_all();
        worker.changed.wait_for(lock, kCyclePause, [&] { return worker.stopRequested; });
    }
    worker.inCycle = false;
    worker.finished = true;
    worker.changed.notify_all();
}

void StartSpectrumWorker(Worker& worker, const WorkerContext& context) {
    worker.stopRequested = false;
    worker.finished = false;
    worker.thread = std::thread([&worker, context] { SpectrumWorker(worker, context); });
}

bool StopSpectrumWorker(Worker& worker, std::chrono::milliseconds limit) {
    {
        std::unique_lock lock(worker.mutex);
        worker.stopRequested = true;
        worker.changed.notify_all();
        if (worker.thread.joinable() &&
            !worker.changed.wait_for(lock, limit, [&] { return worker.finished; })) {
            return false;
        }
    }
    if (worker.thread.joinable()) {
        worker.thread.join();
    }
    return true;
}

void JoinSpectrumWorker(Worker& worker) {
    {
        std::lock_guard lock(worker.mutex);
        worker.stopRequested = true;
    }
    worker.changed.notify_all();
    if (worker.thread.joinable()) {
        worker.thread.join();
    }
}

bool WaitForCycleEnd(Worker& worker, std::chrono::milliseconds limit) {
    std::unique_lock lock(worker.mutex);
    return worker.changed.wait_for(lock, limit, [&] { return !worker.inCycle; });
}

uint64_t CyclesCompleted(Worker& worker) {
    std::lock_guard lock(worker.mutex);
    return worker.cyclesDone;
}

}  // namespace glowtern
