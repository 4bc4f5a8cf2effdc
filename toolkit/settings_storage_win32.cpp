// The settings file on Windows: the same rules as on Linux, with the Win32 file API. The file
// name is UTF-8.

#include <windows.h>

#include <algorithm>
#include <string>

#include "platform/wide_text_win32.h"
#include "toolkit/settings_storage.h"

namespace glowtern {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool refused(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT ||
           error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

bool writeAll(HANDLE file, std::string_view bytes) {
    while (!bytes.empty()) {
        DWORD put = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1u << 20));
        if (!WriteFile(file, bytes.data(), chunk, &put, nullptr) || put == 0) {
            return false;
        }
        bytes.remove_prefix(put);
    }
    return true;
}

// Writes `bytes` over the start of the file and cuts it to their length. Only for a file whose
// directory refuses new files: a crash half-way leaves a mix of old and new text.
bool rewriteInPlace(const std::wstring& target, std::string_view bytes) {
    HANDLE file = CreateFileW(target.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool ok = GetFileType(file) == FILE_TYPE_DISK && writeAll(file, bytes) &&
                    SetEndOfFile(file) && FlushFileBuffers(file);
    return CloseHandle(file) && ok;
}

}  // namespace

StoredFileAccess ReadStoredFile(const std::string& fileName, size_t limit, std::string& bytes) {
    const std::wstring name = WideText(fileName);
    StoredFileAccess access = StoredFileAccess::ReadWrite;
    HANDLE file = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE && refused(GetLastError())) {
        access = StoredFileAccess::ReadOnly;
        file = CreateFileW(name.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                   ? StoredFileAccess::Missing
                   : StoredFileAccess::Unusable;
    }
    StoredFileAccess result = access;
    LARGE_INTEGER size{};
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileSizeEx(file, &size)) {
        result = StoredFileAccess::Unusable;
    } else if (static_cast<uint64_t>(size.QuadPart) > limit) {
        result = StoredFileAccess::TooLarge;
    } else {
        char buffer[8192];
        for (;;) {
            const DWORD wanted =
                static_cast<DWORD>(std::min(sizeof buffer, limit + 1 - bytes.size()));
            DWORD got = 0;
            if (!ReadFile(file, buffer, wanted, &got, nullptr)) {
                result = StoredFileAccess::Unusable;
                break;
            }
            if (got == 0) {
                break;
            }
            bytes.append(buffer, got);
            if (bytes.size() > limit) {
                result = StoredFileAccess::TooLarge;
                break;
            }
        }
    }
    CloseHandle(file);
    return result;
}

// A temporary beside the file ("<file>.tmp-<process>-<count>"), written and flushed, then put
// in the old file's place: ReplaceFileW keeps the old file's attributes and security, and a new
// file is moved into place. On failure the old file is untouched and the temporary gone.
bool ReplaceStoredFile(const std::string& fileName, std::string_view bytes) {
    const std::wstring target = WideText(fileName);
    const DWORD attributes = GetFileAttributesW(target.c_str());
    const bool existed = attributes != INVALID_FILE_ATTRIBUTES;
    if (existed && (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
        return false;
    }
    if (!existed && GetLastError() != ERROR_FILE_NOT_FOUND) {
        return false;
    }
    static unsigned count = 0;
    std::wstring temporary;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
        temporary = target + L".tmp-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                    std::to_wstring(++count);
        file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) {
            break;
        }
    }
    if (file == INVALID_HANDLE_VALUE) {
        // A directory we may not write to: the file itself may still be writable.
        return existed && refused(GetLastError()) && rewriteInPlace(target, bytes);
    }
    bool ok = writeAll(file, bytes) && FlushFileBuffers(file);
    ok = CloseHandle(file) && ok;
    if (ok && existed) {
        ok = ReplaceFileW(target.c_str(), temporary.c_str(), nullptr,
                          REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) ||
             MoveFileExW(temporary.c_str(), target.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    } else if (ok) {
        ok = MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH);
    }
    if (!ok) {
        DeleteFileW(temporary.c_str());
    }
    return ok;
}

}  // namespace glowtern
