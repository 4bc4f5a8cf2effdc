#pragma once

// Whole pages of the process's address space, for the in-memory module loader: reserved (and
// committed read/write) at a given address or anywhere below a limit, protected, zeroed,
// decommitted and released. mmap and friends on POSIX systems, VirtualAlloc and friends on
// Windows.

#include <cstddef>
#include <cstdint>

namespace glowtern {

// Page protections, combined with |. Writable pages are always readable too.
inline constexpr int kPageNone = 0;
inline constexpr int kPageRead = 1;
inline constexpr int kPageWrite = 2;
inline constexpr int kPageExecute = 4;

size_t SystemPageSize();

// `size` bytes at exactly `address`, readable and writable; null when that range is not free
// (an existing mapping is never replaced).
void* ReservePagesAt(uint64_t address, size_t size);

// `size` bytes anywhere wholly below `limit` (UINT64_MAX: anywhere), readable and writable;
// null when no such range is free.
void* ReservePagesBelow(uint64_t limit, size_t size);

// Gives whole pages a protection; false when the system refused.
bool ProtectPages(void* start, size_t size, int protection);

// Whole pages read as zeros again, without being written (they cost no memory until touched).
// Their protection stays readable and writable.
void ZeroPages(void* start, size_t size);

// Whole pages become inaccessible and give their memory back.
void DecommitPages(void* start, size_t size);

// Gives a whole range back that ReservePages* made.
void ReleasePages(void* start, size_t size);

}  // namespace glowtern
