#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "engine/engine_state.h"
#include "engine/light_outputs.h"
#include "platform/audio.h"
#include "toolkit/controls.h"

namespace glowtern {

// What the worker works with; all of it outlives the worker.
struct WorkerContext {
    EngineState& shared;
    ControlModel& controls;
    AudioCapture& audio;
    LightOutputs& outputs;
    uint32_t randomSeed = 0;
};

// The worker thread running `SpectrumWorker`. It stops cooperatively: it sleeps on
// a condition variable between cycles and checks the stop flag there, so a stop
// never cuts a cycle in half.
struct Worker {
    std::thread thread;
    std::mutex mutex;
    std::condition_variable changed;  // a stop request, or the end of a cycle
    bool stopRequested = false;
    bool inCycle = false;
    uint64_t cyclesDone = 0;
};

// The worker's thread procedure: fetch the spectrum, run the analysis cycle, sleep
// 50 ms; until stopped.
void SpectrumWorker(Worker& worker, WorkerContext context);

void StartSpectrumWorker(Worker& worker, const WorkerContext& context);

// Returns once the worker has finished: it writes nothing after this.
void StopSpectrumWorker(Worker& worker);

// How many analysis cycles have run to their end.
uint64_t CyclesCompleted(Worker& worker);

// Returns when no analysis cycle is running. A cycle starting afterwards sees every
// change the caller made before calling, so the caller's next writes are not undone
// by a cycle that read the old state. Never waits for more than one cycle.
void WaitForCycleEnd(Worker& worker);

}  // namespace glowtern
