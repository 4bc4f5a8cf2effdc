// Any file the settings store reads must survive a rewrite: read it, write every entry back,
// read again, and the entries are the same; the file keeps its encoding.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "toolkit/settings_file.h"

// The fuzzer's verdict: a failed check ends the run with the input that broke it.
#define CHECK(condition) ((condition) ? void() : std::abort())

namespace {

namespace fs = std::filesystem;

// A private directory for the whole run, on tmpfs when there is one (the store flushes every
// save to disk), removed at exit.
const std::string& SettingsPath() {
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using glowtern::SettingsEntry;
    using glowtern::SettingsEntryKind;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::string& path = SettingsPath();
    std::ofstream(path, std::ios::binary | std::ios::trunc) << input;

    glowtern::SettingsFile store;
    // A file above 1 MiB is refused; one near that may grow past it when rewritten (CR LF line
    // ends, " = "), so only small ones go round.
    constexpr size_t kLimit = size_t{1} << 20;
    if (size > kLimit / 4) {
        CHECK(store.open(path) == (size <= kLimit));
        return 0;
    }
    CHECK(store.open(path));
    std::vector<SettingsEntry> expected = store.entries();

    // Force a rewrite that changes nothing: the first key of the top section is written with
    // its own value. Without one, a new key is appended to the top section, which must then be
    // the only change.
    auto firstKey = expected.end();
    auto firstGroup = expected.begin();
    for (; firstGroup != expected.end() && firstGroup->kind != SettingsEntryKind::Group;
         ++firstGroup) {
        if (firstKey == expected.end() && firstGroup->kind == SettingsEntryKind::Key &&
            !firstGroup->text.empty()) {
            firstKey = firstGroup;
        }
    }
    if (firstKey != expected.end()) {
        CHECK(store.readString(firstKey->text, "\x01") == firstKey->value);
        store.writeString(firstKey->text, firstKey->value);
    } else {
        store.writeString("FuzzKey", "1");
        expected.insert(firstGroup, SettingsEntry{SettingsEntryKind::Key, "FuzzKey", "1"});
    }
    CHECK(store.entries() == expected);
    store.close();

    std::ifstream written(path, std::ios::binary);
    const std::string head(std::istreambuf_iterator<char>(written), {});
    CHECK(head.starts_with("\xEF\xBB\xBF") == input.starts_with("\xEF\xBB\xBF"));
    CHECK(store.open(path));
    CHECK(store.entries() == expected);
    for (const SettingsEntry& entry : expected) {
        const int32_t number = glowtern::toNumber(entry.value);
        CHECK(glowtern::toNumber(glowtern::toText(number)) == number);
    }
    return 0;
}
