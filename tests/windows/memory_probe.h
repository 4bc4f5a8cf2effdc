#pragma once
// The loader tests' view of the process's memory in the Windows build: address ranges held by
// the test, the protection of a page and the peak working set.

#include <windows.h>
// (after windows.h)
#include <psapi.h>
#undef near  // (16-bit relics; the tests use the word)

#include <cstddef>
#include <cstdint>
#include <string>

namespace glowtern {
namespace {

// An address range held by the test (reserved, inaccessible), e.g. to keep an image's preferred
// base taken; none for address 0 or where the range is not free.
struct Reservation {
    Reservation(uint64_t address, size_t length) : wanted(reinterpret_cast<void*>(address)) {
        at = wanted ? VirtualAlloc(wanted, length, MEM_RESERVE, PAGE_NOACCESS) : nullptr;
    }
    ~Reservation() {
        if (at != nullptr) {
            VirtualFree(at, 0, MEM_RELEASE);
        }
    }
    // Not rounded down to another range that was free.
    bool held() const { return at != nullptr && at == wanted; }

    void* wanted;
    void* at;
};

// "r-x", "rw-", "---" ... of the pages holding `address` (reserved ones are "---"); "" if free.
std::string PagePermissions(const void* address) {
    MEMORY_BASIC_INFORMATION region{};
    if (VirtualQuery(address, &region, sizeof region) == 0 || region.State == MEM_FREE) {
        return "";
    }
    switch (region.State == MEM_RESERVE ? PAGE_NOACCESS : region.Protect & 0xFF) {
        case PAGE_READONLY:
            return "r--";
        case PAGE_READWRITE:
        case PAGE_WRITECOPY:
            return "rw-";
        case PAGE_EXECUTE:
            return "--x";
        case PAGE_EXECUTE_READ:
            return "r-x";
        case PAGE_EXECUTE_READWRITE:
        case PAGE_EXECUTE_WRITECOPY:
            return "rwx";
        default:
            return "---";
    }
}

long PeakResidentKiB() {
    PROCESS_MEMORY_COUNTERS counters{};
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return static_cast<long>(counters.PeakWorkingSetSize / 1024);
}

}  // namespace
}  // namespace glowtern
