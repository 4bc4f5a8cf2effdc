#include <windows.h>

#include "platform/memory_port_module.h"
#include "platform/wide_text_win32.h"

namespace glowtern {

namespace {

void* loadSystemLibrary(const char* name) {
    return reinterpret_cast<void*>(LoadLibraryA(name));
}

void* findSystemSymbol(void* handle, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
}

void* findSystemOrdinal(void* handle, uint16_t ordinal) {
    return reinterpret_cast<void*>(
        GetProcAddress(static_cast<HMODULE>(handle), MAKEINTRESOURCEA(ordinal)));
}

void releaseSystemLibrary(void* handle) {
    FreeLibrary(static_cast<HMODULE>(handle));
}

constexpr SystemLibraries kWindowsLibraries{loadSystemLibrary, findSystemSymbol, findSystemOrdinal,
                                            releaseSystemLibrary};

std::string besideProgram(const char* fileName) {
    std::wstring program(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, program.data(), static_cast<DWORD>(program.size()));
        if (length == 0) {
            return fileName;
        }
        if (length < program.size()) {
            program.resize(length);
            break;
        }
        program.resize(program.size() * 2);
    }
    const size_t slash = program.find_last_of(L"\\/");
    program.resize(slash == std::wstring::npos ? 0 : slash + 1);
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, program.c_str(), static_cast<int>(program.size()), nullptr,
                            0, nullptr, nullptr);
    std::string folder(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, program.c_str(), static_cast<int>(program.size()),
                        folder.data(), length, nullptr, nullptr);
    return folder + fileName;
}

bool readImage(const std::string& path, size_t limit, std::vector<uint8_t>& image) {
    HANDLE file = CreateFileW(WideText(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    LARGE_INTEGER size{};
    bool ok = GetFileType(file) == FILE_TYPE_DISK && GetFileSizeEx(file, &size) &&
              size.QuadPart > 0 && static_cast<uint64_t>(size.QuadPart) <= limit;
    if (ok) {
        image.resize(static_cast<size_t>(size.QuadPart));
        DWORD got = 0;
        ok = ReadFile(file, image.data(), static_cast<DWORD>(image.size()), &got, nullptr) &&
             got == image.size();
    }
    CloseHandle(file);
    return ok;
}

}  // namespace

MemoryPortModule::MemoryPortModule(std::string path)
    : path_(path.empty() ? besideProgram(kPortLibraryFileName) : std::move(path)) {
    hostModules_.system = &kWindowsLibraries;
}

MemoryPortModule::~MemoryPortModule() {
    unload();
}

bool MemoryPortModule::load() {
    unload();
    std::vector<uint8_t> image;
    if (!readImage(path_, kMaxImageSize, image)) {
        return false;
    }
    // The image is not needed once it is mapped.
    module_ = LoadModuleFromMemory(image.data(), image.size(), hostModules_);
    return module_ != nullptr;
}

void* MemoryPortModule::findExport(const char* name) {
    return FindModuleExport(module_, name);
}

void MemoryPortModule::unload() {
    UnloadModule(module_);
    module_ = nullptr;
}

}  // namespace glowtern
