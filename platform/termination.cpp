#include "platform/termination.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

namespace glowtern {

namespace {

int terminationWriteEnd = -1;

void onTerminationSignal(int) {
    const int savedErrno = errno;
    const char byte = 1;
    // A full pipe already holds a request; dropping this one loses nothing.
    [[maybe_unused]] const ssize_t written = write(terminationWriteEnd, &byte, 1);
    errno = savedErrno;
}

}  // namespace

int InstallTerminationPipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return -1;
    }
    terminationWriteEnd = fds[1];
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
        sigaction(signalNumber, &action, nullptr);
    }
    return fds[0];
}

}  // namespace glowtern
