#include "platform/page_memory.h"

#include <sys/mman.h>
#include <unistd.h>

namespace glowtern {

namespace {

constexpr uint64_t k4GiB = uint64_t{1} << 32;

// True when [offset, offset + size) lies inside [0, limit); never overflows.
bool InRange(uint64_t offset, uint64_t size, uint64_t limit) {
    return offset <= limit && size <= limit - offset;
}

// One private anonymous mapping stands for Windows' reserve-then-commit: pages cost memory only
// once touched.
void* MapAt(uint64_t address, size_t size, int extraFlags) {
    void* mapped =
        mmap(reinterpret_cast<void*>(static_cast<uintptr_t>(address)), size, PROT_READ | PROT_WRITE,
             MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | extraFlags, -1, 0);
    return mapped == MAP_FAILED ? nullptr : mapped;
}

int PosixProtection(int protection) {
    int flags = PROT_NONE;
    if ((protection & kPageRead) != 0) {
        flags |= PROT_READ;
    }
    if ((protection & kPageWrite) != 0) {
        flags |= PROT_READ | PROT_WRITE;
    }
    if ((protection & kPageExecute) != 0) {
        flags |= PROT_EXEC;
    }
    return flags;
}

}  // namespace

size_t SystemPageSize() {
    static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

// MAP_FIXED_NOREPLACE never replaces an existing mapping.
void* ReservePagesAt(uint64_t address, size_t size) {
    void* mapped = MapAt(address, size, MAP_FIXED_NOREPLACE);
    if (mapped == nullptr || reinterpret_cast<uintptr_t>(mapped) == address) {
        return mapped;
    }
    munmap(mapped, size);  // a kernel without MAP_FIXED_NOREPLACE took it as a hint
    return nullptr;
}

void* ReservePagesBelow(uint64_t limit, size_t size) {
    auto fits = [&](void* mapped) {
        return InRange(reinterpret_cast<uintptr_t>(mapped), size, limit);
    };
    if (limit == UINT64_MAX) {
        return MapAt(0, size, 0);
    }
#if defined(MAP_32BIT)
    if (limit >= k4GiB) {
        if (void* mapped = MapAt(0, size, MAP_32BIT)) {
            if (fits(mapped)) {
                return mapped;
            }
            munmap(mapped, size);
        }
    }
#endif
    // MAP_32BIT is missing or its window (1 GiB on x86-64) is full: try free slots below the limit.
    constexpr uint64_t kStep = uint64_t{64} << 20;
    for (uint64_t hint = kStep; InRange(hint, size, limit); hint += kStep) {
        if (void* mapped = MapAt(hint, size, MAP_FIXED_NOREPLACE)) {
            if (fits(mapped)) {
                return mapped;
            }
            munmap(mapped, size);
        }
    }
    return nullptr;
}

bool ProtectPages(void* start, size_t size, int protection) {
    return mprotect(start, size, PosixProtection(protection)) == 0;
}

// A private anonymous page that is dropped reads as zeros at its next touch.
void ZeroPages(void* start, size_t size) {
    madvise(start, size, MADV_DONTNEED);
}

void DecommitPages(void* start, size_t size) {
    mprotect(start, size, PROT_NONE);
    madvise(start, size, MADV_DONTNEED);
}

void ReleasePages(void* start, size_t size) {
    munmap(start, size);
}

}  // namespace glowtern
