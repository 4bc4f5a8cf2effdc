// Any file the settings store reads must survive a rewrite: read it, write every
// entry back, read again, and the entries are the same.
#include "toolkit/settings_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace {

namespace fs = std::filesystem;

// A private directory for the whole run, on tmpfs when there is one (the store
// flushes every save to disk), removed at exit.
const std::string& settingsPath() {
    static const std::string path = [] {
        const fs::path base =
            fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        std::string pattern = (base / "glowtern-settings-fuzz-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        static const fs::path dir = pattern;
        std::atexit([] {
            std::error_code ignored;
            fs::remove_all(dir, ignored);
        });
        return pattern + "/setting.dat";
    }();
    return path;
}

void writeFile(const std::string& path, const uint8_t* data, size_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::abort();
    }
    while (size > 0) {
        const ssize_t put = ::write(fd, data, size);
        if (put <= 0) {
            std::abort();
        }
        data += put;
        size -= static_cast<size_t>(put);
    }
    ::close(fd);
}

bool startsWithByteOrderMark(const std::string& path) {
    char head[3] = {};
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const bool found =
        fd >= 0 && ::read(fd, head, 3) == 3 && std::string_view(head, 3) == "\xEF\xBB\xBF";
    if (fd >= 0) {
        ::close(fd);
    }
    return found;
}

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using glowtern::SettingsEntry;
    using glowtern::SettingsEntryKind;
    const std::string& path = settingsPath();
    writeFile(path, data, size);

    glowtern::SettingsFile store;
    // A file above 1 MiB is refused; one near that may grow past it when rewritten
    // (CR LF line ends, " = "), so only small ones go round.
    constexpr size_t kLimit = size_t{1} << 20;
    if (size > kLimit / 4) {
        check(store.open(path) == (size <= kLimit));
        return 0;
    }
    check(store.open(path));
    std::vector<SettingsEntry> expected = store.entries();

    // Force a rewrite that changes nothing: the first key of the top section is
    // written with its own value. Without one, a new key is appended to the top
    // section, which must then be the only change.
    auto firstKey = expected.end();
    auto firstGroup = expected.begin();
    for (; firstGroup != expected.end(); ++firstGroup) {
        if (firstGroup->kind == SettingsEntryKind::Group) {
            break;
        }
        if (firstKey == expected.end() && firstGroup->kind == SettingsEntryKind::Key &&
            !firstGroup->text.empty()) {
            firstKey = firstGroup;
        }
    }
    if (firstKey != expected.end()) {
        check(store.readString(firstKey->text, "\x01") == firstKey->value);
        store.writeString(firstKey->text, firstKey->value);
    } else {
        store.writeString("FuzzKey", "1");
        expected.insert(firstGroup, SettingsEntry{SettingsEntryKind::Key, "FuzzKey", "1"});
    }
    check(store.entries() == expected);
    store.close();

    // The file keeps its encoding.
    check(startsWithByteOrderMark(path) ==
          std::string_view(reinterpret_cast<const char*>(data), size).starts_with("\xEF\xBB\xBF"));
    check(store.open(path));
    check(store.entries() == expected);
    for (const SettingsEntry& entry : expected) {
        const int32_t number = glowtern::toNumber(entry.value);
        check(glowtern::toNumber(glowtern::toText(number)) == number);
    }
    store.close();
    return 0;
}
