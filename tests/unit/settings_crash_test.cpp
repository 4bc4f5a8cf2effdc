#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"
#include "toolkit/settings_file.h"

namespace glowtern {
namespace {

namespace fs = std::filesystem;

// The 43 keys of the program's settings, version 0 with key n at n, version 1 at 1000 + n.
constexpr int kKeys = 43;
std::string key(int n) {
    return n < 18 ? "fr" + std::to_string(n + 1) : "K" + std::to_string(n);
}

void save(const std::string& file, int version) {
    SettingsFile store;
    store.open(file);
    for (int n = 0; n < kKeys; ++n) {
        store.writeString(key(n), toText(n + 1000 * version));
    }
    store.close();
}

std::string bytesOf(int version) {
    std::string bytes;
    for (int n = 0; n < kKeys; ++n) {
        bytes += key(n) + " = " + toText(n + 1000 * version) + "\r\n";
    }
    return bytes;
}

// A process that keeps saving the two versions in turn is killed at random moments; every
// time, the file must hold one whole version.
TEST(SettingsCrashSafety, AKilledSaveLeavesTheOldOrTheNewFileWhole) {
    testing::TempDir dir;
    const std::string file = dir.file("setting.dat");
    save(file, 0);
    ASSERT_EQ(testing::readFile(file), bytesOf(0));

    std::mt19937 random(12345);
    std::uniform_int_distribution<long> delayNs(0, 12'000'000);
    int current = 0;
    int seen[2] = {0, 0};
    size_t leftovers = 0;
    for (int round = 0; round < 200; ++round) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // Starts with the version the file does not hold, so that every round changes it.
            for (int version = 1 - current;; version = 1 - version) {
                save(file, version);
            }
        }
        const timespec delay = {0, delayNs(random)};
        ::nanosleep(&delay, nullptr);
        ::kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status));

        const std::string bytes = testing::readFile(file);
        ASSERT_TRUE(bytes == bytesOf(0) || bytes == bytesOf(1))
            << "round " << round << ": the file holds neither version (" << bytes.size()
            << " bytes)";
        current = bytes == bytesOf(0) ? 0 : 1;
        ++seen[current];
        SettingsFile store;
        ASSERT_TRUE(store.open(file));
        for (int n = 0; n < kKeys; ++n) {
            ASSERT_EQ(toNumber(store.readString(key(n), "")), n + 1000 * current);
        }
        store.close();

        // A save killed between naming its temporary and the rename leaves that one file
        // behind, under a name of its own; nothing else is ever left.
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir.path())) {
            names.insert(entry.path().filename().string());
        }
        names.erase("setting.dat");
        for (const std::string& name : names) {
            ASSERT_TRUE(name.starts_with("setting.dat.tmp-")) << "round " << round << ": " << name;
        }
        ASSERT_LE(names.size(), leftovers + 1) << "round " << round;
        leftovers = names.size();
    }
    // Both versions turned up: the saves really ran while the kills came.
    EXPECT_GT(seen[0], 0);
    EXPECT_GT(seen[1], 0);

    // A complete save leaves nothing new behind.
    save(file, 1 - current);
    EXPECT_EQ(testing::readFile(file), bytesOf(1 - current));
    EXPECT_EQ(static_cast<size_t>(std::distance(fs::directory_iterator(dir.path()), {})),
              leftovers + 1);
}

}  // namespace
}  // namespace glowtern
