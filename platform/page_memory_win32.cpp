#include "platform/page_memory.h"

#include <windows.h>

namespace glowtern {

namespace {

bool InRange(uint64_t offset, uint64_t size, uint64_t limit) {
    return offset <= limit && size <= limit - offset;
}

DWORD WindowsProtection(int protection) {
    const bool read = (protection & (kPageRead | kPageWrite)) != 0;
    const bool write = (protection & kPageWrite) != 0;
    if ((protection & kPageExecute) != 0) {
        return write ? PAGE_EXECUTE_READWRITE : read ? PAGE_EXECUTE_READ : PAGE_EXECUTE;
    }
    return write ? PAGE_READWRITE : read ? PAGE_READONLY : PAGE_NOACCESS;
}

void* Commit(void* address, size_t size) {
    return VirtualAlloc(address, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

}  // namespace

size_t SystemPageSize() {
    static const size_t size = [] {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        return static_cast<size_t>(info.dwPageSize);
    }();
    return size;
}

// VirtualAlloc rounds a wanted address down to the allocation granularity (64 KiB); a range
// that does not start where it was asked for is not the one wanted.
void* ReservePagesAt(uint64_t address, size_t size) {
    void* wanted = reinterpret_cast<void*>(static_cast<uintptr_t>(address));
    void* got = Commit(wanted, size);
    if (got != nullptr && got != wanted) {
        VirtualFree(got, 0, MEM_RELEASE);
        return nullptr;
    }
    return got;
}

void* ReservePagesBelow(uint64_t limit, size_t size) {
    if (limit == UINT64_MAX) {
        return Commit(nullptr, size);
    }
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    const uint64_t granularity = info.dwAllocationGranularity;
    // The free regions below the limit, lowest first, each tried at its first aligned address.
    uint64_t at = reinterpret_cast<uintptr_t>(info.lpMinimumApplicationAddress);
    while (InRange(at, size, limit)) {
        MEMORY_BASIC_INFORMATION region;
        if (VirtualQuery(reinterpret_cast<void*>(static_cast<uintptr_t>(at)), &region,
                         sizeof region) == 0) {
            return nullptr;
        }
        const uint64_t start = reinterpret_cast<uintptr_t>(region.BaseAddress);
        const uint64_t end = start + region.RegionSize;
        if (region.State == MEM_FREE) {
            const uint64_t aligned = (start + granularity - 1) / granularity * granularity;
            if (aligned + size <= end && InRange(aligned, size, limit)) {
                if (void* got = ReservePagesAt(aligned, size)) {
                    return got;
                }
            }
        }
        if (end <= at) {
            return nullptr;
        }
        at = end;
    }
    return nullptr;
}

bool ProtectPages(void* start, size_t size, int protection) {
    DWORD old = 0;
    return VirtualProtect(start, size, WindowsProtection(protection), &old) != 0;
}

// Decommitted and committed again: fresh pages read as zeros.
void ZeroPages(void* start, size_t size) {
    VirtualFree(start, size, MEM_DECOMMIT);
    VirtualAlloc(start, size, MEM_COMMIT, PAGE_READWRITE);
}

void DecommitPages(void* start, size_t size) {
    VirtualFree(start, size, MEM_DECOMMIT);
}

void ReleasePages(void* start, size_t /*size*/) {
    VirtualFree(start, 0, MEM_RELEASE);
}

}  // namespace glowtern
