#pragma once

#include <cstdint>
#include <random>

#include "engine/bands.h"
#include "engine/engine_state.h"
#include "engine/light_output.h"
#include "toolkit/controls.h"
#include "toolkit/image.h"

namespace glowtern {

// The worker's own state across analysis cycles.
struct AnalysisState {
    BandSums sums;
    int32_t gainReference = 6;
    int32_t decayCounter = 0;
    std::mt19937 random;      // seeded once when the worker starts
    Image meterImage{8, 70};  // the worker's scratch picture for the level meters
    LightFrame frame;         // what the outputs are given; levels and channels carry over
};

// One analysis cycle after the spectrum fetch: band sums, gain, the blocks of
// `effectMode`, meters, the group beats, the frame written to every output in order,
// and the level sample, in that order. The caller reads the effect mode once per cycle, so no
// cycle runs the blocks of two modes.
void RunAnalysisCycle(const float* spectrum, int32_t effectMode, EngineState& shared,
                      AnalysisState& local, ControlModel& controls, LightOutputList outputs);

}  // namespace glowtern
