#include "platform/instance_guard.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace glowtern {

namespace {

std::string lockFilePath(const std::string& name) {
    const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
    if (runtimeDir != nullptr && runtimeDir[0] != '\0') {
        return std::string(runtimeDir) + "/" + name + ".lock";
    }
    return "/tmp/" + name + "-" + std::to_string(getuid()) + ".lock";
}

}  // namespace

FileLockInstanceGuard::~FileLockInstanceGuard() {
    // The lock belongs to the process's whole life; it is only dropped here when the
    // guard object itself goes (tests), never while the program runs.
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool FileLockInstanceGuard::heldElsewhere(const std::string& name) {
    const int fd = ::open(lockFilePath(name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    int result;
    do {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        const bool held = errno == EWOULDBLOCK;
        ::close(fd);
        return held;
    }
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = fd;
    return false;
}

}  // namespace glowtern
