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
 * Lines are written under one lock with one write() each to a descriptor opened with
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
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))

static const char kPortPath[] = "/dev/parport0";

/* ---- the real functions, resolved on first use ---- */

/* The C library's function `name` (null if there is none), looked up past this library once at
 * each place that asks; concurrent first calls resolve the same pointer, so a plain atomic store
 * is enough. */
#define REAL(name)                                                                 \
    __extension__({                                                                \
        static _Atomic(void*) real_slot;                                           \
        void* real_entry = atomic_load_explicit(&real_slot, memory_order_acquire); \
        if (real_entry == NULL) {                                                  \
            real_entry = dlsym(RTLD_NEXT, #name);                                  \
            atomic_store_explicit(&real_slot, real_entry, memory_order_release);   \
        }                                                                          \
        __typeof__(&name) function;                                                \
        memcpy(&function, &real_entry, sizeof function);                           \
        function;                                                                  \
    })

static int refuse(int error) {
    errno = error;
    return -1;
}

/* ---- configuration, read once ---- */

static pthread_once_t config_once = PTHREAD_ONCE_INIT;
static int log_fd = -1; /* >= 0: the fake is active */
static int fail_open;
static int fail_claim;

static void read_config(void) {
    const char* path = getenv("GLOWTERN_FAKE_PARPORT_LOG");
    if (path == NULL || path[0] == '\0') {
        return;
    }
    int (*open_log)(const char*, int, ...) = REAL(open);
    if (open_log == NULL) {
        return;
    }
    log_fd = open_log(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log_fd < 0) {
        static const char message[] = "fake_parport: cannot open GLOWTERN_FAKE_PARPORT_LOG\n";
        ssize_t ignored = write(STDERR_FILENO, message, sizeof message - 1);
        (void)ignored;
        return;
    }
    const char* fail = getenv("GLOWTERN_FAKE_PARPORT_FAIL");
    if (fail != NULL) {
        fail_open = strcmp(fail, "open") == 0;
        fail_claim = strcmp(fail, "claim") == 0;
    }
}

static int active(void) {
    pthread_once(&config_once, read_config);
    return log_fd >= 0;
}

/* ---- the log ---- */

static pthread_mutex_t log_lock = PTHREAD_MUTEX_INITIALIZER;

__attribute__((format(printf, 1, 2))) static void log_event(const char* format, ...) {
    char line[128];
    pthread_mutex_lock(&log_lock);
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    int length = snprintf(line, sizeof line, "%lld ",
                          (long long)now.tv_sec * 1000000000LL + (long long)now.tv_nsec);
    va_list arguments;
    va_start(arguments, format);
    length += vsnprintf(line + length, sizeof line - (size_t)length - 1, format, arguments);
    va_end(arguments);
    if (length > (int)sizeof line - 1) {
        length = (int)sizeof line - 1;
    }
    line[length++] = '\n';
    ssize_t written;
    do {
        written = write(log_fd, line, (size_t)length);
    } while (written < 0 && errno == EINTR);
    pthread_mutex_unlock(&log_lock);
}

/* ---- tracked descriptors ---- */

/* A slot holds fd + 1 (0 when free) and whether that descriptor has claimed the port.
 * The table is lock-free so that the ioctl and close calls of every other descriptor
 * cost one load of `tracked_count` while no port is open. */
#define SLOTS 16
static atomic_int slot_fd[SLOTS];
static atomic_int slot_claimed[SLOTS];
static atomic_int tracked_count;

static int find_slot(int fd) {
    if (fd < 0 || atomic_load(&tracked_count) == 0) {
        return -1;
    }
    for (int i = 0; i < SLOTS; ++i) {
        if (atomic_load(&slot_fd[i]) == fd + 1) {
            return i;
        }
    }
    return -1;
}

static int track(int fd) {
    for (int i = 0; i < SLOTS; ++i) {
        int expected = 0;
        if (atomic_compare_exchange_strong(&slot_fd[i], &expected, fd + 1)) {
            /* Nobody has the descriptor yet, so nobody can see the old flag. */
            atomic_store(&slot_claimed[i], 0);
            atomic_fetch_add(&tracked_count, 1);
            return 1;
        }
    }
    return 0;
}

/* True when this call took the slot away (so only one caller acts on it). */
static int untrack(int slot, int fd) {
    int expected = fd + 1;
    const int taken = atomic_compare_exchange_strong(&slot_fd[slot], &expected, 0);
    atomic_fetch_sub(&tracked_count, taken);
    return taken;
}

/* A descriptor number handed out by a real open can only be free because the tracked
 * descriptor of that number was closed behind this library's back (fclose, dup2,
 * close_range); forget it so that its ioctls are never answered here. */
static int forget_reused(int fd) {
    /* (A negative result of a failed open finds no slot and comes back unchanged.) */
    int slot = find_slot(fd);
    if (slot >= 0) {
        untrack(slot, fd);
    }
    return fd;
}

/* The same check at ioctl time: a tracked descriptor must still be /dev/null. */
static int still_ours(int slot, int fd) {
    struct stat status;
    if (fstat(fd, &status) == 0 && S_ISCHR(status.st_mode) && major(status.st_rdev) == 1 &&
        minor(status.st_rdev) == 3) {
        return 1;
    }
    untrack(slot, fd);
    return 0;
}

/* ---- open ---- */

static int is_port(const char* path) {
    return path != NULL && strcmp(path, kPortPath) == 0;
}

static int needs_mode(int flags) {
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

static int open_port(int flags) {
    if (fail_open) {
        log_event("OPEN-FAILED");
        errno = ENOENT;
        return -1;
    }
    int (*open_null)(const char*, int, ...) = REAL(open);
    if (open_null == NULL) {
        return refuse(ENOSYS);
    }
    int fd = open_null("/dev/null", flags & (O_ACCMODE | O_CLOEXEC | O_NONBLOCK));
    if (fd < 0) {
        return -1;
    }
    forget_reused(fd);
    if (!track(fd)) {
        REAL(close)(fd);
        errno = EMFILE;
        return -1;
    }
    const int mode = flags & O_ACCMODE;
    log_event("OPEN %s%s",
              mode == O_RDONLY   ? "RDONLY"
              : mode == O_WRONLY ? "WRONLY"
                                 : "RDWR",
              (flags & O_CLOEXEC) != 0 ? " CLOEXEC" : "");
    return fd;
}

/* The port is opened here; any other file by the C library, looked up only when needed. */
#define OPEN_PORT_OR_PASS(name, ...)     \
    if (is_port(path) && active()) {     \
        return open_port(flags);         \
    }                                    \
    __typeof__(&name) real = REAL(name); \
    return real == NULL ? refuse(ENOSYS) : forget_reused(real(__VA_ARGS__))

/* The mode argument that follows the flags when they create a file. */
#define MODE_ARGUMENT                     \
    mode_t mode = 0;                      \
    if (needs_mode(flags)) {              \
        va_list arguments;                \
        va_start(arguments, flags);       \
        mode = va_arg(arguments, mode_t); \
        va_end(arguments);                \
    }

EXPORT int open(const char* path, int flags, ...) {
    MODE_ARGUMENT
    OPEN_PORT_OR_PASS(open, path, flags, mode);
}

EXPORT int open64(const char* path, int flags, ...) {
    MODE_ARGUMENT
    OPEN_PORT_OR_PASS(open64, path, flags, mode);
}

EXPORT int openat(int dirfd, const char* path, int flags, ...) {
    MODE_ARGUMENT
    OPEN_PORT_OR_PASS(openat, dirfd, path, flags, mode);
}

EXPORT int openat64(int dirfd, const char* path, int flags, ...) {
    MODE_ARGUMENT
    OPEN_PORT_OR_PASS(openat64, dirfd, path, flags, mode);
}

/* The checked variants that fortified callers use when the flags need no mode. */
EXPORT int __open_2(const char* path, int flags) {
    OPEN_PORT_OR_PASS(__open_2, path, flags);
}

EXPORT int __open64_2(const char* path, int flags) {
    OPEN_PORT_OR_PASS(__open64_2, path, flags);
}

EXPORT int __openat_2(int dirfd, const char* path, int flags) {
    OPEN_PORT_OR_PASS(__openat_2, dirfd, path, flags);
}

EXPORT int __openat64_2(int dirfd, const char* path, int flags) {
    OPEN_PORT_OR_PASS(__openat64_2, dirfd, path, flags);
}

/* ---- ioctl ---- */

static int port_ioctl(int slot, unsigned long request, void* argument) {
    const int claimed = atomic_load(&slot_claimed[slot]);
    switch (request) {
        case PPCLAIM:
            if (claimed) {
                log_event("REJECTED CLAIM");
                return refuse(EINVAL);
            }
            if (fail_claim) {
                log_event("CLAIM-FAILED");
                return refuse(EBUSY);
            }
            atomic_store(&slot_claimed[slot], 1);
            log_event("CLAIM");
            return 0;
        case PPRELEASE:
            if (!claimed) {
                log_event("REJECTED RELEASE");
                return refuse(EINVAL);
            }
            atomic_store(&slot_claimed[slot], 0);
            log_event("RELEASE");
            return 0;
        case PPWDATA:
        case PPWCONTROL: {
            const char* name = request == PPWDATA ? "DATA" : "CONTROL";
            if (argument == NULL) {
                return refuse(EFAULT);
            }
            const unsigned value = *(const unsigned char*)argument;
            if (!claimed) {
                log_event("REJECTED %s 0x%02x", name, value);
                return refuse(EINVAL);
            }
            log_event("%s 0x%02x", name, value);
            return 0;
        }
        default:
            return -2; /* not a request answered here */
    }
}

EXPORT int ioctl(int fd, unsigned long request, ...) {
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    const int slot = find_slot(fd);
    if (slot >= 0 && still_ours(slot, fd)) {
        const int result = port_ioctl(slot, request, argument);
        if (result != -2) {
            return result;
        }
    }
    int (*real)(int, unsigned long, ...) = REAL(ioctl);
    return real == NULL ? refuse(ENOSYS) : real(fd, request, argument);
}

/* ---- close ---- */

EXPORT int close(int fd) {
    int (*real)(int) = REAL(close);
    if (real == NULL) {
        return refuse(ENOSYS);
    }
    const int slot = find_slot(fd);
    if (slot >= 0 && still_ours(slot, fd) && untrack(slot, fd)) {
        /* Forgotten before the real close, so that the number, once free again, is
         * never mistaken for the port. */
        const int result = real(fd);
        log_event("CLOSE");
        return result;
    }
    return real(fd);
}
