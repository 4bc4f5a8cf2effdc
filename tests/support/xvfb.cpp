#include "tests/support/xvfb.h"

#include <signal.h>

#include <cstdlib>

namespace glowtern::testing {

PrivateXServer::PrivateXServer()
    : output_(popen("echo $$ && exec setpriv --pdeathsig TERM Xvfb -displayfd 1 -screen 0 "
                    "1280x800x24 -nolisten tcp -noreset 2>/dev/null",
                    "re")) {
    char pid[32], number[32];
    if (output_ != nullptr && std::fgets(pid, sizeof pid, output_) != nullptr &&
        std::fgets(number, sizeof number, output_) != nullptr) {
        pid_ = std::atoi(pid);
        display_ = ":" + std::to_string(std::atoi(number));
        setenv("DISPLAY", display_.c_str(), 1);
    }
}

PrivateXServer::~PrivateXServer() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
    }
    if (output_ != nullptr) {
        pclose(output_);
    }
}

}  // namespace glowtern::testing
