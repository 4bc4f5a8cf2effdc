#pragma once

// The file-system side of the settings store (settings_file.h): reading the file whole and
// replacing it safely. POSIX calls here, the Win32 API in the Windows build.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace glowtern {

// What opening the file found.
enum class StoredFileAccess : uint8_t {
    ReadWrite,  // read; it may be replaced
    ReadOnly,   // read; it may not be written (permissions, a read-only file system)
    Missing,    // no such file: a save creates it
    Unusable,   // there but not readable or not a regular file: never written
    TooLarge,   // larger than the limit: not read, never written
};

// Reads the whole file into `bytes`, but never more than `limit` bytes (a file that grows
// while it is read is caught too).
StoredFileAccess ReadStoredFile(const std::string& fileName, size_t limit, std::string& bytes);

// Replaces the file by one holding `bytes`: the new text goes to a temporary beside it, is
// flushed to disk and then takes the old file's place, so a crash leaves either the old or the
// new file. Only where the directory refuses new files is a writable file rewritten in place.
// False, with the old file untouched (but for an in-place rewrite cut short), on failure.
bool ReplaceStoredFile(const std::string& fileName, std::string_view bytes);

}  // namespace glowtern
