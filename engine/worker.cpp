#include "engine/worker.h"

#include <chrono>
#include <vector>

#include "engine/analysis.h"

namespace glowtern {

namespace {
constexpr auto kCyclePause = std::chrono::milliseconds(50);
}

void SpectrumWorker(Worker& worker, WorkerContext context) {
    // One element more than the fetch fills, as the recording library's buffer had.
    std::vector<float> spectrum(kSpectrumBins + 1, 0.0f);
    AnalysisState local;
    local.gainReference = 6;
    local.random.seed(context.randomSeed);

    std::unique_lock lock(worker.mutex);
    while (!worker.stopRequested) {
        worker.inCycle = true;
        lock.unlock();

        // The mode is read once, as the cycle starts: a handler that changes the mode
        // and then waits for the end of the current cycle knows that no later cycle
        // runs the old mode.
        const int32_t mode = context.shared.effectMode.load();
        context.audio.fetchSpectrum(context.shared.recordingChannel.load(), spectrum.data());
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
}

void StartSpectrumWorker(Worker& worker, const WorkerContext& context) {
    worker.stopRequested = false;
    worker.thread = std::thread([&worker, context] { SpectrumWorker(worker, context); });
}

void StopSpectrumWorker(Worker& worker) {
    {
        std::lock_guard lock(worker.mutex);
        worker.stopRequested = true;
    }
    worker.changed.notify_all();
    if (worker.thread.joinable()) {
        worker.thread.join();
    }
}

void WaitForCycleEnd(Worker& worker) {
    std::unique_lock lock(worker.mutex);
    worker.changed.wait(lock, [&] { return !worker.inCycle; });
}

uint64_t CyclesCompleted(Worker& worker) {
    std::lock_guard lock(worker.mutex);
    return worker.cyclesDone;
}

}  // namespace glowtern
