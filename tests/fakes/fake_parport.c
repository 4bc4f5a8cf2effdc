/*
 * A stand-in for /dev/parport0, preloaded into a test process with LD_PRELOAD.
 *
 * With GLOWTERN_FAKE_PARPORT_LOG naming a file, opening exactly "/dev/parport0" gives a
 * real descriptor of /dev/null that this library tracks; the ppdev requests PPCLAIM,
 * PPRELEASE, PPWDATA and PPWCONTROL on it are answered here, and every event is
 * appended to the log file as one line:
 *
 *   <CLOCK_MONOTONIC ns> OPEN RDWR CLOEXEC      (access mode, then CLOEXEC if asked for)
 *   <ns> CLAIM | RELEASE | CLOSE
 *   <ns> DATA 0x02 | CONTROL 0x0b
 *   <ns> OPEN-FAILED | CLAIM-FAILED             (failures asked for, see below)
 *   <ns> REJECTED <request> [0x..]              (what ppdev refuses: a write or release
 *                                                while the port is not claimed, a
 *                                                second claim)
 *
 * Events are logged under one lock with one write() each to a descriptor opened with
 * O_APPEND, so lines from several threads never interleave and the timestamps in the
 * file never decrease. GLOWTERN_FAKE_PARPORT_FAIL=open makes the open fail (ENOENT),
 * =claim makes PPCLAIM fail (EBUSY).
 *
 * Without GLOWTERN_FAKE_PARPORT_LOG everything passes through to the real functions,
 * so the port is missing just as on a machine without one. Every other open, ioctl
 * and close always passes through.
 *
 * The library must not be built with sanitizers: it is preloaded into programs that
 * may or may not carry a sanitizer runtime of their own.
 */
#define _GNU_SOURCE
#undef _FORTIFY_SOURCE

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/ppdev.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))

static int (*real_open)(const char*, int, ...);
static int (*real_ioctl)(int, unsigned long, ...);
static int (*real_close)(int);

static pthread_once_t once = PTHREAD_ONCE_INIT;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static int log_fd = -1; /* >= 0: the fake is active */
static int fail_open, fail_claim;
static int port_fd = -1; /* the tracked descriptor (one port per process) */
static int claimed;

static void init(void) {
    void* found[3] = {dlsym(RTLD_NEXT, "open"), dlsym(RTLD_NEXT, "ioctl"),
                      dlsym(RTLD_NEXT, "close")};
    memcpy(&real_open, &found[0], sizeof found[0]);
    memcpy(&real_ioctl, &found[1], sizeof found[1]);
    memcpy(&real_close, &found[2], sizeof found[2]);
    const char* path = getenv("GLOWTERN_FAKE_PARPORT_LOG");
    if (path == NULL || path[0] == '\0') {
        return;
    }
    log_fd = real_open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log_fd < 0) {
        static const char message[] = "fake_parport: cannot open GLOWTERN_FAKE_PARPORT_LOG\n";
        ssize_t ignored = write(STDERR_FILENO, message, sizeof message - 1);
        (void)ignored;
    }
    const char* fail = getenv("GLOWTERN_FAKE_PARPORT_FAIL");
    fail_open = fail != NULL && strcmp(fail, "open") == 0;
    fail_claim = fail != NULL && strcmp(fail, "claim") == 0;
}

static int refuse(int error) {
    errno = error;
    return -1;
}

/* Called with `lock` held. */
__attribute__((format(printf, 1, 2))) static void log_event(const char* format, ...) {
    char line[128];
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    int length = snprintf(line, sizeof line, "%lld ",
                          (long long)now.tv_sec * 1000000000LL + (long long)now.tv_nsec);
    va_list arguments;
    va_start(arguments, format);
    length += vsnprintf(line + length, sizeof line - (size_t)length - 1, format, arguments);
    va_end(arguments);
    length = length > (int)sizeof line - 1 ? (int)sizeof line - 1 : length;
    line[length++] = '\n';
    while (write(log_fd, line, (size_t)length) < 0 && errno == EINTR) {
    }
}

/* Whether `fd` is the tracked port, called with `lock` held. A descriptor closed behind this
 * library's back (dup2, close_range) and taken again is no longer /dev/null: forgotten, so
 * its calls are never answered here. */
static int is_port(int fd) {
    struct stat status;
    if (fd < 0 || fd != __atomic_load_n(&port_fd, __ATOMIC_ACQUIRE)) {
        return 0;
    }
    if (fstat(fd, &status) == 0 && S_ISCHR(status.st_mode) && major(status.st_rdev) == 1 &&
        minor(status.st_rdev) == 3) {
        return 1;
    }
    __atomic_store_n(&port_fd, -1, __ATOMIC_RELEASE);
    return 0;
}

/* Whether a port is open at all: read without the lock, so that the other descriptors' calls
 * cost one load (and no lock a forked child might find taken) while none is. */
static int tracking(void) {
    return __atomic_load_n(&port_fd, __ATOMIC_ACQUIRE) >= 0;
}

static int open_any(const char* path, int flags, mode_t mode) {
    pthread_once(&once, init);
    if (path == NULL || strcmp(path, "/dev/parport0") != 0 || log_fd < 0) {
        const int fd = real_open(path, flags, mode);
        int reused = fd; /* the port's number handed out again: it was closed behind our back */
        __atomic_compare_exchange_n(&port_fd, &reused, -1, 0, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
        return fd;
    }
    pthread_mutex_lock(&lock);
    int fd = -1;
    if (fail_open) {
        log_event("OPEN-FAILED");
        errno = ENOENT;
    } else if (port_fd >= 0) {
        errno = EBUSY;
    } else if ((fd = real_open("/dev/null", flags & (O_ACCMODE | O_CLOEXEC | O_NONBLOCK))) >= 0) {
        claimed = 0;
        __atomic_store_n(&port_fd, fd, __ATOMIC_RELEASE);
        const int access = flags & O_ACCMODE;
        log_event("OPEN %s%s",
                  access == O_RDONLY   ? "RDONLY"
                  : access == O_WRONLY ? "WRONLY"
                                       : "RDWR",
                  (flags & O_CLOEXEC) != 0 ? " CLOEXEC" : "");
    }
    pthread_mutex_unlock(&lock);
    return fd;
}

/* The mode argument follows the flags only when they create a file. */
static mode_t mode_of(int flags, va_list arguments) {
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(arguments, mode_t)
                                                                      : 0;
}

EXPORT int open(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = mode_of(flags, arguments);
    va_end(arguments);
    return open_any(path, flags, mode);
}

EXPORT int open64(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = mode_of(flags, arguments);
    va_end(arguments);
    return open_any(path, flags, mode);
}

/* The checked variant that fortified callers use when the flags need no mode. */
EXPORT int __open_2(const char* path, int flags) {
    return open_any(path, flags, 0);
}

static int port_ioctl(unsigned long request, const unsigned char* argument) {
    const char* write_name = request == PPWDATA ? "DATA" : "CONTROL";
    switch (request) {
        case PPCLAIM:
            if (claimed || fail_claim) {
                log_event(claimed ? "REJECTED CLAIM" : "CLAIM-FAILED");
                return refuse(claimed ? EINVAL : EBUSY);
            }
            claimed = 1;
            log_event("CLAIM");
            return 0;
        case PPRELEASE:
            log_event(claimed ? "RELEASE" : "REJECTED RELEASE");
            if (!claimed) {
                return refuse(EINVAL);
            }
            claimed = 0;
            return 0;
        case PPWDATA:
        case PPWCONTROL:
            if (argument == NULL) {
                return refuse(EFAULT);
            }
            log_event("%s%s 0x%02x", claimed ? "" : "REJECTED ", write_name, *argument);
            return claimed ? 0 : refuse(EINVAL);
        default:
            return -2; /* not a request answered here */
    }
}

EXPORT int ioctl(int fd, unsigned long request, ...) {
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    pthread_once(&once, init);
    int result = -2;
    if (tracking()) {
        pthread_mutex_lock(&lock);
        result = is_port(fd) ? port_ioctl(request, argument) : -2;
        pthread_mutex_unlock(&lock);
    }
    return result != -2 ? result : real_ioctl(fd, request, argument);
}

EXPORT int close(int fd) {
    pthread_once(&once, init);
    if (!tracking()) {
        return real_close(fd);
    }
    /* Forgotten before the real close (under the lock, so that the number, once free again,
     * is never mistaken for the port). */
    pthread_mutex_lock(&lock);
    const int port = is_port(fd);
    port ? __atomic_store_n(&port_fd, -1, __ATOMIC_RELEASE) : (void)0;
    const int result = real_close(fd);
    if (port) {
        log_event("CLOSE");
    }
    pthread_mutex_unlock(&lock);
    return result;
}
