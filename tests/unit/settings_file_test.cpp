#include "toolkit/settings_file.h"

#ifndef _WIN32
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/temp_dir.h"

namespace glowtern {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::writeFile;

const std::string kNo = "\xCD\xE5\xF2";  // "Нет" in Windows-1251, the program's default text

std::set<std::string> names(const fs::path& directory) {
    std::set<std::string> result;
    for (const auto& entry : fs::directory_iterator(directory)) {
        result.insert(entry.path().filename().string());
    }
    return result;
}

class SettingsFileTest : public ::testing::Test {
  protected:
    // Opens `bytes` as the settings file, writes `key`, closes, and returns the file.
    std::string rewrite(const std::string& bytes, const std::string& key,
                        const std::string& value) {
        writeFile(file_, bytes);
        SettingsFile store;
        EXPECT_TRUE(store.open(file_));
        store.writeString(key, value);
        store.close();
        return readFile(file_);
    }

    testing::TempDir dir_;
    const std::string file_ = dir_.file("setting.dat");
};

// Letters are digits only after "$"; overflow wraps like a 32-bit register.
TEST(SettingsNumbers, ConvertEveryNotationWrapLikeA32BitRegisterAndRoundTrip) {
    using Cases = std::vector<std::pair<std::string, int32_t>>;
    const Cases notations = {{"20", 20},    {" \t 20 \t", 20}, {"$1F", 31}, {"$1f", 31},
                             {"-$10", -16}, {"%101", 5},       {"%102", 2}, {"0x10", 0},
                             {"12abc", 12}, {"-3", -3},        {"+7", 7},   {"35 ; remark", 35},
                             {kNo, 0},      {"", 0},           {"-", 0},    {"$", 0},
                             {"$G", 0},     {"- 5", 0},        {"--5", 0},  {"\n5", 0},
                             {"1A", 1}};
    const Cases overflow = {{"2147483647", INT32_MAX},  {"2147483648", INT32_MIN},
                            {"4294967303", 7},          {"$FFFFFFFF", -1},
                            {"$123456789", 0x23456789}, {"-$80000000", INT32_MIN}};
    EXPECT_EQ(toNumber("%" + std::string(32, '1')), -1);
    EXPECT_EQ(toNumber("%1" + std::string(32, '0')), 0);
    for (const Cases& cases : {notations, overflow}) {
        for (const auto& [text, number] : cases) {
            EXPECT_EQ(toNumber(text), number) << '"' << text << '"';
        }
    }
    EXPECT_EQ(toText(-250), "-250");
    for (int32_t n : {0, 39, -1, INT32_MAX, INT32_MIN}) {
        EXPECT_EQ(toNumber(toText(n)), n);
    }
}

TEST_F(SettingsFileTest, ReadsPaddedValuesAsTheTextAfterTheEqualsSign) {
    writeFile(file_,
              "  fr1 \t=\t 20 \t\r\n\tLevel=$1F\r\nfr3 = 12abc\r\nfr6 = 35 ; remark\r\nfr7 =\r\n");
    SettingsFile store;
    ASSERT_TRUE(store.open(file_));
    // fr7 is present but empty, so not the default; no prefix of a key matches.
    const std::pair<std::string, std::string> values[] = {
        {"fr1", "20"},          {"FR1", "20"}, {"Level", "$1F"}, {"fr3", "12abc"},
        {"fr6", "35 ; remark"}, {"fr7", ""},   {"fr8", kNo},     {"fr", kNo}};
    for (const auto& [key, value] : values) {
        EXPECT_EQ(store.readString(key, kNo), value) << key;
    }
    store.close();
    EXPECT_FALSE(store.isOpen());
    EXPECT_EQ(store.readString("fr1", kNo), kNo);
}

// Each file is opened, one key written, and the file closed.
TEST_F(SettingsFileTest, RewritesKeysInPlaceAndKeepsEverythingButBlankLines) {
    const std::string keeps =
        "; first\r\n;  two spaces\r\n; \r\nUnknown = x y\r\njust some text  \r\n = 5\r\n"
        " = 6\r\nLevel = 1\r\njust some text = 3\r\n";
    const std::array<std::string, 4> rewrites[] = {
        // A lower-case key takes the program's spelling in its place; only the first of two
        // matching entries changes.
        {"fr1 = 3\r\nlevel=12\r\nARU = 9\r\n", "Level", "40",
         "fr1 = 3\r\nLevel = 40\r\nARU = 9\r\n"},
        {"a = 1\r\nA = 2\r\n", "A", "3", "A = 3\r\nA = 2\r\n"},
        // Keys below a group are invisible; new keys go at the end of the top section, which
        // may be empty. An unclosed group name runs to the end of its line.
        {"A = 1\r\n; note\r\n[Extra] tail\r\nLevel = 5\r\n[More]\r\nB = 2\r\n", "Level", "7",
         "A = 1\r\n; note\r\nLevel = 7\r\n[Extra]\r\nLevel = 5\r\n[More]\r\nB = 2\r\n"},
        {"\r\n  [G\r\nx = 1\r\n", "x", "2", "x = 2\r\n[G]\r\nx = 1\r\n"},
        // Comments, unknown keys and lines without "=" are kept (and such a line is no key);
        // blank lines go. The result reads back as the same entries.
        {";first\n\n   ;  two spaces\n; \nUnknown = x y \n   just some text  \n \t \n=5\n"
         "  = 6\nLevel = 1\n\n",
         "just some text", "3", keeps},
        {keeps, "just some text", "3", keeps},
        // Every line end; files are written with CR LF.
        {"a = 1\rb = 2\r\nc = 3\nd = 4\r\r\n\n\re = 5", "f", "6",
         "a = 1\r\nb = 2\r\nc = 3\r\nd = 4\r\ne = 5\r\nf = 6\r\n"},
        // A single-byte file keeps its bytes above 0x7F, and text that would start with the
        // byte-order mark's bytes stays single-byte.
        {"Name = \xE9t\xE9\r\n", "Level", "3", "Name = \xE9t\xE9\r\nLevel = 3\r\n"},
        {"\r\n\xEF\xBB\xBFx = 1\r\n", "\xEF\xBB\xBFx", "1", "\r\n\xEF\xBB\xBFx = 1\r\n"},
    };
    for (const auto& [before, key, value, after] : rewrites) {
        EXPECT_EQ(rewrite(before, key, value), after) << before;
    }
}

TEST_F(SettingsFileTest, ConvertsUtf8WithByteOrderMarkBothWays) {
    writeFile(file_,
              "\xEF\xBB\xBF"
              "Name = \xC3\xA9t\xC3\xA9\r\n"              // "été": Latin-1 letters
              "Euro = \xE2\x82\xAC \xD0\x9D\r\n"          // beyond U+00FF
              "Bad = \xC3\x28 \xC0\x8A \xED\xA0\x80\r\n"  // malformed, overlong, surrogate
              "Cut = \xE2\x82");                          // cut short by the end of the file
    SettingsFile store;
    ASSERT_TRUE(store.open(file_));
    EXPECT_EQ(store.readString("Name", kNo), "\xE9t\xE9");
    EXPECT_EQ(store.readString("Euro", kNo), "? ?");
    EXPECT_EQ(store.readString("Bad", kNo), "?( ?? ???");
    EXPECT_EQ(store.readString("Cut", kNo), "??");
    store.writeString("Level", "2");
    store.writeString("Text", "\xFF\xB5");
    store.close();
    const std::string rewritten =
        "\xEF\xBB\xBF\r\nName = \xC3\xA9t\xC3\xA9\r\nEuro = ? ?\r\nBad = ?( ?? ???\r\n"
        "Cut = ??\r\nLevel = 2\r\nText = \xC3\xBF\xC2\xB5\r\n";
    EXPECT_EQ(readFile(file_), rewritten);
    EXPECT_EQ(rewrite(rewritten, "Level", "2"), rewritten);  // reads back the same text
}

TEST_F(SettingsFileTest, CreatesAMissingFileOnlyWhenWrittenAndSavesOnEveryWayOut) {
    SettingsFile store;
    EXPECT_FALSE(store.open(file_));
    EXPECT_TRUE(store.isOpen());
    EXPECT_EQ(store.readString("Level", kNo), kNo);
    store.close();
    EXPECT_FALSE(fs::exists(file_));

    EXPECT_FALSE(store.open(file_));
    store.writeString("fr1", "15");
    store.writeString("OUT1", "-1");
    store.writeString("fr1", "16");
    store.close();
    EXPECT_EQ(readFile(file_), "fr1 = 16\r\nOUT1 = -1\r\n");  // never a byte-order mark
#ifndef _WIN32
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(fs::status(file_).permissions(), static_cast<fs::perms>(0666 & ~mask));
#endif

    // Opening another file first saves the open one; the destructor saves too.
    const std::string other = dir_.file("other.dat");
    {
        SettingsFile scoped;
        EXPECT_TRUE(scoped.open(file_));
        scoped.writeString("Level", "1");
        EXPECT_FALSE(scoped.open(other));
        scoped.writeString("ARU", "2");
    }
    EXPECT_EQ(readFile(file_), "fr1 = 16\r\nOUT1 = -1\r\nLevel = 1\r\n");
    EXPECT_EQ(readFile(other), "ARU = 2\r\n");
    // Writes without an open file go nowhere.
    store.writeString("Level", "3");
    store.close();
    EXPECT_EQ(readFile(file_), "fr1 = 16\r\nOUT1 = -1\r\nLevel = 1\r\n");
    EXPECT_EQ(names(dir_.path()), (std::set<std::string>{"setting.dat", "other.dat"}));
}

TEST_F(SettingsFileTest, CloseWithoutWritesLeavesTheFileUntouched) {
    const std::string bytes = "\n\n level=12\r\n[G]\n\xEF\xBB\xBF\r\n";
    writeFile(file_, bytes);
    const fs::file_time_type past = fs::last_write_time(file_) - std::chrono::hours(24 * 365);
    fs::last_write_time(file_, past);
    {
        SettingsFile store;
        ASSERT_TRUE(store.open(file_));
        // Writes the file cannot hold as one entry are refused and change nothing.
        for (const char* key : {"", "a=b", " Level", "Level ", ";Level", "[Level", "Le\nvel"}) {
            store.writeString(key, "1");
        }
        store.writeString("Level", "1\r\nEffect = 3");
        EXPECT_EQ(store.readString("Level", kNo), "12");
        store.close();
        ASSERT_TRUE(store.open(file_));
    }  // the destructor closes too
    EXPECT_EQ(readFile(file_), bytes);
    EXPECT_EQ(fs::last_write_time(file_), past);
    EXPECT_EQ(names(dir_.path()), std::set<std::string>{"setting.dat"});
}

#ifndef _WIN32  // sizes, permissions, owners and links the POSIX way

// A file far too large for settings (a wrong file, a runaway script) is not read: the
// defaults hold, the file stays as it is, and the reason is told once.
TEST_F(SettingsFileTest, AHugeFileIsNeitherReadNorChanged) {
    writeFile(file_, "Level = 5\r\n");
    ASSERT_EQ(::truncate(file_.c_str(), 50 << 20), 0);  // sparse: costs no disk
    const auto identity = [this] {
        struct stat info {};
        EXPECT_EQ(::stat(file_.c_str(), &info), 0);
        // The change time moves with every write, truncation or rename.
        return std::tuple(info.st_ino, info.st_size, info.st_ctim.tv_sec, info.st_ctim.tv_nsec);
    };
    const auto before = identity();
    ::testing::internal::CaptureStderr();
    {
        SettingsFile store;  // opened as often as the program does in one run
        for (int round = 0; round < 3; ++round) {
            EXPECT_FALSE(store.open(file_));
            EXPECT_EQ(store.readString("Level", kNo), kNo);
            store.writeString("Level", "30");
            store.close();
        }
    }
    const std::string told = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::ranges::count(told, '\n'), 1) << told;
    EXPECT_NE(told.find(file_), std::string::npos) << told;
    EXPECT_EQ(identity(), before);
}

// A directory called "setting.dat.tmp" does not stop the save; a writable file in a directory
// that is not is rewritten in place; a read-only file (its directory open to everyone, so only
// the store's own rule keeps it) and an unreadable one stay as they were. Neither costs the
// settings read.
TEST_F(SettingsFileTest, FilesItMayNotReplaceOrReadStayAsTheyWere) {
    fs::create_directory(file_ + ".tmp");
    EXPECT_EQ(rewrite("level=12\r\n", "Level", "12"), "Level = 12\r\n");

    fs::permissions(dir_.path(), fs::perms::all);
    const std::string unreadable = dir_.file("secret.dat");
    const fs::path locked = dir_.path() / "locked";
    const std::string inLocked = (locked / "setting.dat").string();
    fs::create_directory(locked);
    writeFile(unreadable, "Level = 4\r\n");
    writeFile(inLocked, "  Level  =  1  \r\n\r\n\r\n");  // longer than what replaces it
    fs::permissions(file_, static_cast<fs::perms>(0444));
    fs::permissions(unreadable, fs::perms::none);
    fs::permissions(inLocked, static_cast<fs::perms>(0666));
    fs::permissions(locked, static_cast<fs::perms>(0555));
    // Checked in a child that cannot override file permissions (as root it becomes nobody).
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::geteuid() == 0 &&
            (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
            ::_exit(100);
        }
        SettingsFile store;
        bool held = store.open(file_) && store.readString("Level", kNo) == "12";
        store.writeString("Level", "30");
        held = held && store.readString("Level", kNo) == "30" && !store.open(unreadable);
        store.writeString("Level", "30");
        held = held && store.open(inLocked);
        store.writeString("Level", "30");
        store.close();
        ::_exit(held ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(readFile(file_), "Level = 12\r\n");
    EXPECT_EQ(fs::status(file_).permissions(), static_cast<fs::perms>(0444));
    EXPECT_EQ(fs::status(unreadable).permissions(), fs::perms::none);
    EXPECT_EQ(readFile(inLocked), "Level = 30\r\n");
    EXPECT_EQ(names(dir_.path()),
              (std::set<std::string>{"setting.dat", "setting.dat.tmp", "secret.dat", "locked"}));
    EXPECT_EQ(names(locked), std::set<std::string>{"setting.dat"});
    fs::permissions(unreadable, fs::perms::owner_read);
    EXPECT_EQ(readFile(unreadable), "Level = 4\r\n");
    fs::permissions(locked, fs::perms::owner_all);
}

TEST_F(SettingsFileTest, KeepsPermissionsOwnerAndSymbolicLinks) {
    writeFile(file_, "Level = 1\r\n");
    fs::permissions(file_, static_cast<fs::perms>(0640));
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(file_.c_str(), 65534, 65534), 0);
    }
    EXPECT_EQ(rewrite(readFile(file_), "Level", "2"), "Level = 2\r\n");
    struct stat info {};
    ASSERT_EQ(::stat(file_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_TRUE(!root || (info.st_uid == 65534u && info.st_gid == 65534u));

    // A link is kept and its target replaced beside the target; a dangling link gets its
    // file created where it points.
    fs::create_directory(dir_.path() / "real");
    writeFile(dir_.file("real/store.dat"), "Level = 1\r\n");
    fs::create_symlink("real/store.dat", dir_.path() / "link.dat");
    fs::create_symlink("real/new.dat", dir_.path() / "dangling.dat");
    SettingsFile store;
    ASSERT_TRUE(store.open(dir_.file("link.dat")));
    store.writeString("Level", "3");
    EXPECT_FALSE(store.open(dir_.file("dangling.dat")));
    store.writeString("ARU", "4");
    store.close();
    EXPECT_EQ(fs::read_symlink(dir_.path() / "link.dat"), "real/store.dat");
    EXPECT_EQ(fs::read_symlink(dir_.path() / "dangling.dat"), "real/new.dat");
    EXPECT_EQ(readFile(dir_.file("real/store.dat")), "Level = 3\r\n");
    EXPECT_EQ(readFile(dir_.file("real/new.dat")), "ARU = 4\r\n");
    EXPECT_EQ(names(dir_.path() / "real"), (std::set<std::string>{"store.dat", "new.dat"}));
}

#endif

}  // namespace
}  // namespace glowtern
