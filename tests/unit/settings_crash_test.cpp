#include "toolkit/settings_file.h"

#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace glowtern {
namespace {

namespace fs = std::filesystem;

// The 43 keys of the program's settings, in the order a save appends them.
std::vector<std::string> settingsKeys() {
    std::vector<std::string> keys;
    for (int n = 1; n <= 18; ++n) {
        keys.push_back("fr" + std::to_string(n));
    }
    for (const char* key : {"Level", "ARU", "Effect", "KEY_LED"}) {
        keys.push_back(key);
    }
    for (int n = 1; n <= 18; ++n) {
        keys.push_back("OUT" + std::to_string(n));
    }
    for (const char* key : {"LPT_LED", "X_form", "Y_form"}) {
        keys.push_back(key);
    }
    return keys;
}

// Version 0 gives key n the value n, version 1 the value 1000 + n.
int32_t valueOf(int version, size_t keyIndex) {
    return static_cast<int32_t>(keyIndex) + (version == 0 ? 0 : 1000);
}

void save(const std::string& file, const std::vector<std::string>& keys, int version) {
    SettingsFile store;
    store.open(file);
    for (size_t n = 0; n < keys.size(); ++n) {
        store.writeString(keys[n], toText(valueOf(version, n)));
    }
    store.close();
}

std::string expectedBytes(const std::vector<std::string>& keys, int version) {
    std::string bytes;
    for (size_t n = 0; n < keys.size(); ++n) {
        bytes += keys[n] + " = " + toText(valueOf(version, n)) + "\r\n";
    }
    return bytes;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct RemovedAtEnd {
    fs::path dir;
    ~RemovedAtEnd() {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
};

// A process that keeps saving the two versions in turn is killed at random
// moments; every time, the file must hold one whole version.
TEST(SettingsCrashSafety, AKilledSaveLeavesTheOldOrTheNewFileWhole) {
    std::string pattern = (fs::temp_directory_path() / "glowtern-crash-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const fs::path dir = pattern;
    const RemovedAtEnd cleanup{dir};
    const std::string file = (dir / "setting.dat").string();
    const std::vector<std::string> keys = settingsKeys();
    ASSERT_EQ(keys.size(), 43u);
    const std::string versions[2] = {expectedBytes(keys, 0), expectedBytes(keys, 1)};
    save(file, keys, 0);
    ASSERT_EQ(readFile(file), versions[0]);

    std::mt19937 random(12345);
    std::uniform_int_distribution<long> delayNs(0, 12'000'000);
    int current = 0;
    int seen[2] = {0, 0};
    size_t leftovers = 0;
    const int rounds = 200;
    for (int round = 0; round < rounds; ++round) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // Starts with the version the file does not hold, so that every
            // round changes the file.
            for (int version = 1 - current;; version = 1 - version) {
                save(file, keys, version);
            }
        }
        const timespec delay = {0, delayNs(random)};
        ::nanosleep(&delay, nullptr);
        ::kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status));

        const std::string bytes = readFile(file);
        if (bytes == versions[0]) {
            current = 0;
        } else if (bytes == versions[1]) {
            current = 1;
        } else {
            FAIL() << "round " << round << ": the file holds neither version (" << bytes.size()
                   << " bytes)";
        }
        ++seen[current];
        SettingsFile store;
        ASSERT_TRUE(store.open(file));
        for (size_t n = 0; n < keys.size(); ++n) {
            ASSERT_EQ(toNumber(store.readString(keys[n], "")), valueOf(current, n));
        }
        store.close();

        // A save killed between naming its temporary and the rename leaves that
        // one file behind, under a name of its own; nothing else is ever left.
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir)) {
            names.insert(entry.path().filename().string());
        }
        names.erase("setting.dat");
        for (const std::string& name : names) {
            ASSERT_TRUE(name.starts_with("setting.dat.tmp-")) << "round " << round << ": " << name;
        }
        ASSERT_LE(names.size(), leftovers + 1) << "round " << round;
        leftovers = names.size();
    }
    std::printf("[ INFO     ] %d rounds: old/new version %d/%d, temporary files left %zu\n", rounds,
                seen[0], seen[1], leftovers);
    // Both versions turned up: the saves really ran while the kills came.
    EXPECT_GT(seen[0], 0);
    EXPECT_GT(seen[1], 0);

    // A complete save leaves nothing new behind.
    save(file, keys, 1 - current);
    EXPECT_EQ(readFile(file), versions[1 - current]);
    EXPECT_EQ(static_cast<size_t>(std::distance(fs::directory_iterator(dir), {})), leftovers + 1);
}

}  // namespace
}  // namespace glowtern
