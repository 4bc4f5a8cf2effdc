#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "engine/engine_state.h"
#include "engine/light_output.h"
#include "platform/audio.h"
#include "toolkit/controls.h"

namespace glowtern {

// What the worker works with; all of it outlives the worker.
struct WorkerContext {
    EngineState& shared;
    ControlModel& controls;
    AudioCapture& audio;
    LightOutputList outputs;  // written in this order every cycle
    uint32_t randomSeed = 0;
};

// The worker thread running `SpectrumWorker`. It stops cooperatively: it sleeps on
// a condition variable between cycles and checks the stop flag there, so a stop
// never cuts a cycle in half.
//
// A cycle, as the main thread waits for it, is the analysis and the output writes: the
// spectrum fetch before it lies outside, so that a sound library that hangs (a sound
// server killed mid-read) can never hold up the window or the end of the program.
struct Worker {
    std::thread thread;
    std::mutex mutex;
    std::condition_variable changed;  // a stop request, the end of a cycle, the end
    bool stopRequested = false;
    bool inCycle = false;
    bool finished = false;  // the thread procedure has returned
    uint64_t cyclesDone = 0;
};

// The worker's thread procedure: fetch the spectrum, run the analysis cycle, sleep
// 50 ms; until stopped. While no recording runs it tries to start one every few seconds,
// so a sound server that appears later is heard.
void SpectrumWorker(Worker& worker, WorkerContext context);

void StartSpectrumWorker(Worker& worker, const WorkerContext& context);

// Asks the worker to stop and waits for it at most `limit`. True when it has finished
// (it writes nothing after this); false when it is stuck in a library call, in which
// case the thread is left running and the caller must not rely on it having stopped.
bool StopSpectrumWorker(Worker& worker, std::chrono::milliseconds limit);

// Waits without limit for a worker that has been asked to stop (the thread is joined).
void JoinSpectrumWorker(Worker& worker);

// How many analysis cycles have run to their end.
uint64_t CyclesCompleted(Worker& worker);

// Returns when no analysis cycle is running, or after `limit` at the latest. A cycle
// starting afterwards sees every change the caller made before calling, so the caller's
// next writes are not undone by a cycle that read the old state. Never waits for more
// than one cycle. False when the limit ran out (a cycle stuck in an output).
bool WaitForCycleEnd(Worker& worker,
                     std::chrono::milliseconds limit = std::chrono::milliseconds(250));

}  // namespace glowtern
