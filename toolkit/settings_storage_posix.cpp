#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "toolkit/settings_storage.h"

namespace glowtern {
namespace {

enum class ReadResult : uint8_t { Read, TooLarge, Unreadable };

// Reads a regular file whole, but never more than `limit` bytes (plus one to
// see that there are more): a file that grows while it is read is caught too.
ReadResult readAtMost(int fd, size_t limit, std::string& out) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        return ReadResult::Unreadable;
    }
    if (info.st_size > static_cast<off_t>(limit)) {
        return ReadResult::TooLarge;
    }
    char buffer[8192];
    for (;;) {
        const size_t wanted = std::min(sizeof buffer, limit + 1 - out.size());
        const ssize_t got = ::read(fd, buffer, wanted);
        if (got > 0) {
            out.append(buffer, static_cast<size_t>(got));
            if (out.size() > limit) {
                return ReadResult::TooLarge;
            }
        } else if (got == 0) {
            return ReadResult::Read;
        } else if (errno != EINTR) {
            return ReadResult::Unreadable;
        }
    }
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t put = ::write(fd, bytes.data(), bytes.size());
        if (put > 0) {
            bytes.remove_prefix(static_cast<size_t>(put));
        } else if (put < 0 && errno != EINTR) {
            return false;
        }
    }
    return true;
}

std::string directoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The file a name finally refers to, following symbolic links (also one whose
// target does not exist yet), so that a save replaces the target and keeps the link.
std::string resolveLinks(const std::string& fileName) {
    std::string path = fileName;
    for (int hop = 0; hop < 40; ++hop) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
            return path;
        }
        std::string target(4096, '\0');
        const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
        if (length <= 0 || static_cast<size_t>(length) >= target.size()) {
            return path;
        }
        target.resize(static_cast<size_t>(length));
        path = target.front() == '/' ? target : directoryOf(path) + target;
    }
    return path;
}

// Calls `make` with names beside `target` that no file has yet
// ("<target>.tmp-<process>-<count>") until one is free; false when `make` fails
// for another reason (errno tells which) or no free name turns up.
template <typename Make>
bool underUniqueName(const std::string& target, std::string& name, const Make& make) {
    static unsigned count = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = target + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(++count);
        if (make(name.c_str())) {
            return true;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    name.clear();
    return false;
}

// Writes `bytes` over the start of the file and cuts it to their length. Only for
// a file whose directory we may not write to, so that no new file can be made
// beside it: a crash half-way leaves a mix of old and new text.
bool rewriteInPlace(const std::string& target, std::string_view bytes) {
    const int fd =
        ::open(target.c_str(), O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat info {};
    bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && writeAll(fd, bytes) &&
              ::ftruncate(fd, static_cast<off_t>(bytes.size())) == 0 && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    return ok;
}

// Replaces the file by one holding `bytes` (see the class comment): a temporary
// beside it, flushed, given the old file's permissions and owner, named only now,
// renamed over the old file, and the directory flushed. On any failure the old
// file is untouched and the temporary gone.
bool saveFile(const std::string& fileName, std::string_view bytes) {
    const std::string target = resolveLinks(fileName);
    struct stat old {};
    const bool existed = ::stat(target.c_str(), &old) == 0;
    if (existed ? !S_ISREG(old.st_mode) : errno != ENOENT) {
        return false;
    }
    // A new file gets the usual mode less the umask; a replacement starts private
    // and takes the old mode once its owner is set.
    const mode_t mode = existed ? 0600 : 0666;
    const std::string directoryName = directoryOf(target);
    const char* directory = directoryName.empty() ? "." : directoryName.c_str();
    std::string name;  // the temporary's name, once it has one
    int fd = ::open(directory, O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    if (fd < 0) {
        underUniqueName(target, name, [&](const char* path) {
            fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
            return fd >= 0;
        });
    }
    if (fd < 0) {
        // A directory we may not write to: the file itself may still be writable.
        const bool refused = errno == EACCES || errno == EPERM || errno == EROFS;
        return existed && refused && rewriteInPlace(target, bytes);
    }
    bool ok = writeAll(fd, bytes);
    if (ok && existed) {
        if (old.st_uid != ::geteuid() || old.st_gid != ::getegid()) {
            // Only root may give the file away; a member of its group may keep the group.
            if (::fchown(fd, old.st_uid, old.st_gid) != 0 &&
                ::fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0) {
                // the file keeps our owner and group
            }
        }
        ok = ::fchmod(fd, old.st_mode & 07777) == 0;
    }
    ok = ok && ::fsync(fd) == 0;
    if (ok && name.empty()) {
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        ok = underUniqueName(target, name, [&](const char* path) {
            return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path, AT_SYMLINK_FOLLOW) == 0;
        });
    }
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(name.c_str(), target.c_str()) == 0;
    if (!ok) {
        if (!name.empty()) {
            ::unlink(name.c_str());
        }
        return false;
    }
    const int directoryFd = ::open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directoryFd >= 0) {
        ::fsync(directoryFd);
        ::close(directoryFd);
    }
    return true;
}

}  // namespace

StoredFileAccess ReadStoredFile(const std::string& fileName, size_t limit, std::string& bytes) {
    // Read-write when we may replace the file; read-only when refused (permissions,
    // a read-only file system): such a file is read but never written.
    constexpr int kFlags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    StoredFileAccess access = StoredFileAccess::ReadWrite;
    int fd = ::open(fileName.c_str(), O_RDWR | kFlags);
    if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM || errno == ETXTBSY)) {
        access = StoredFileAccess::ReadOnly;
        fd = ::open(fileName.c_str(), O_RDONLY | kFlags);
    }
    if (fd < 0) {
        // Only a file that is not there is created by a save; one that is there but
        // cannot be read is never replaced.
        return errno == ENOENT ? StoredFileAccess::Missing : StoredFileAccess::Unusable;
    }
    const ReadResult read = readAtMost(fd, limit, bytes);
    ::close(fd);
    switch (read) {
        case ReadResult::Read:
            return access;
        case ReadResult::TooLarge:
            return StoredFileAccess::TooLarge;
        case ReadResult::Unreadable:
            break;
    }
    return StoredFileAccess::Unusable;
}

bool ReplaceStoredFile(const std::string& fileName, std::string_view bytes) {
    return saveFile(fileName, bytes);
}

}  // namespace glowtern
