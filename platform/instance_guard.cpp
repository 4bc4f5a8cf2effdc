#include "platform/instance_guard.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace glowtern {

namespace {

bool isAbsolute(const char* path) {
    return path != nullptr && path[0] == '/';
}

// Ours, a real directory (links are not followed) and closed to `forbidden`.
bool isPrivateDirectory(const std::string& path, mode_t forbidden) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
           info.st_uid == ::geteuid() && (info.st_mode & forbidden) == 0;
}

// Where the lock lives: the session's runtime directory, else the user's own one
// under `userRuntimeRoot`, else a private directory in the user's cache. Never a
// shared directory such as /tmp, where another user could make the file first and
// keep every copy from taking it. Empty when there is no such place.
std::string lockDirectory(const std::string& userRuntimeRoot) {
    const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
    if (isAbsolute(runtimeDir)) {
        return runtimeDir;
    }
    const std::string userRuntime = userRuntimeRoot + "/" + std::to_string(::geteuid());
    if (isPrivateDirectory(userRuntime, S_IWGRP | S_IWOTH)) {
        return userRuntime;
    }
    std::string cache;
    if (const char* cacheHome = std::getenv("XDG_CACHE_HOME"); isAbsolute(cacheHome)) {
        cache = cacheHome;
    } else if (const char* home = std::getenv("HOME"); isAbsolute(home)) {
        cache = std::string(home) + "/.cache";
    } else {
        return {};
    }
    const std::string own = cache + "/glowtern";
    ::mkdir(cache.c_str(), 0700);
    ::mkdir(own.c_str(), 0700);
    return isPrivateDirectory(own, S_IRWXG | S_IRWXO) ? own : std::string();
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
    const std::string directory = lockDirectory(userRuntimeRoot_);
    const std::string path = directory + "/" + name + ".lock";
    const int fd = directory.empty()
                       ? -1
                       : ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    int result = -1;
    if (fd >= 0) {
        do {
            result = ::flock(fd, LOCK_EX | LOCK_NB);
        } while (result != 0 && errno == EINTR);
    }
    if (result != 0) {
        // Held by another copy, or not to be had at all: then another copy may be
        // running, so this one must not.
        if (directory.empty()) {
            std::fprintf(stderr, "%s: no private directory for the lock file\n", name.c_str());
        } else if (fd < 0 || errno != EWOULDBLOCK) {
            std::fprintf(stderr, "%s: cannot lock %s: %s\n", name.c_str(), path.c_str(),
                         std::strerror(errno));
        }
        if (fd >= 0) {
            ::close(fd);
        }
        return true;
    }
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = fd;
    return false;
}

}  // namespace glowtern
