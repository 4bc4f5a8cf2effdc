#include "tests/support/program_rig.h"

#include <chrono>
#include <thread>

namespace glowtern::testing {

ProgramRig::ProgramRig(bool asOnWindows)
    : program(toolkit, Platform{.audio = audio,
                                .keyboard = keyboard,
                                .hid = hid,
                                .portModule = portModule,
                                .instanceGuard = instanceGuard,
                                .terminationFd = -1,
                                .endWatchdog = nullptr,
                                .endProcess = nullptr,
                                .panelSocket = {},
                                .dmx = asOnWindows ? nullptr : &dmx}) {
    audio.sourceChoice = !asOnWindows;
    program.settingsFileName = settingsPath();
}

std::vector<std::string> ProgramRig::logged(std::initializer_list<std::string> prefixes) const {
    std::vector<std::string> matching;
    for (const std::string& entry : log.entries()) {
        for (const std::string& prefix : prefixes) {
            if (entry.rfind(prefix, 0) == 0) {
                matching.push_back(entry);
                break;
            }
        }
    }
    return matching;
}

void ProgramRig::waitForCycles(int count) {
    const uint64_t target = CyclesCompleted(program.worker) + static_cast<uint64_t>(count);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (CyclesCompleted(program.worker) < target &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace glowtern::testing
