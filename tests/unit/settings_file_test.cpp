#include "toolkit/settings_file.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>

namespace glowtern {
namespace {

namespace fs = std::filesystem;

const std::string kNo = "\xCD\xE5\xF2";  // "Нет" in Windows-1251, the program's default text

class SettingsFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "glowtern-settings-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        file_ = (dir_ / "setting.dat").string();
    }
    void TearDown() override {
        std::error_code ignored;
        for (const auto& entry : fs::recursive_directory_iterator(dir_, ignored)) {
            if (entry.is_directory(ignored) && !entry.is_symlink(ignored)) {
                fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
            }
        }
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(dir_, ignored);
    }

    static void writeFile(const std::string& path, const std::string& bytes) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << bytes;
        ASSERT_TRUE(out.good()) << path;
    }
    static std::string readFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::set<std::string> names() const {
        std::set<std::string> result;
        for (const auto& entry : fs::directory_iterator(dir_)) {
            result.insert(entry.path().filename().string());
        }
        return result;
    }

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

    fs::path dir_;
    std::string file_;
};

// Runs `body` in a child process that cannot override file permissions (as root
// it becomes "nobody"); returns the child's exit status, 0 when its checks held.
int runUnprivileged(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::geteuid() == 0) {
            const gid_t nobodyGroup = 65534;
            if (::setgroups(0, nullptr) != 0 || ::setgid(nobodyGroup) != 0 ||
                ::setuid(65534) != 0) {
                ::_exit(100);
            }
        }
        ::_exit(body());
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

TEST(SettingsNumbers, ConvertsEveryNotationAndStopsAtForeignCharacters) {
    EXPECT_EQ(toNumber("20"), 20);
    EXPECT_EQ(toNumber(" \t 20 \t"), 20);
    EXPECT_EQ(toNumber("$1F"), 31);
    EXPECT_EQ(toNumber("$1f"), 31);
    EXPECT_EQ(toNumber("-$10"), -16);
    EXPECT_EQ(toNumber("%101"), 5);
    EXPECT_EQ(toNumber("%102"), 2);
    EXPECT_EQ(toNumber("0x10"), 0);
    EXPECT_EQ(toNumber("12abc"), 12);
    EXPECT_EQ(toNumber("-3"), -3);
    EXPECT_EQ(toNumber("+7"), 7);
    EXPECT_EQ(toNumber("35 ; remark"), 35);
    EXPECT_EQ(toNumber(kNo), 0);
    EXPECT_EQ(toNumber(""), 0);
    EXPECT_EQ(toNumber("-"), 0);
    EXPECT_EQ(toNumber("$"), 0);
    EXPECT_EQ(toNumber("$G"), 0);
    EXPECT_EQ(toNumber("- 5"), 0);
    EXPECT_EQ(toNumber("--5"), 0);
    EXPECT_EQ(toNumber("\n5"), 0);
    EXPECT_EQ(toNumber("1A"), 1);  // letters are digits only after "$"
}

TEST(SettingsNumbers, OverflowWrapsLikeA32BitRegister) {
    EXPECT_EQ(toNumber("2147483647"), INT32_MAX);
    EXPECT_EQ(toNumber("-2147483648"), INT32_MIN);
    EXPECT_EQ(toNumber("2147483648"), INT32_MIN);
    EXPECT_EQ(toNumber("4294967295"), -1);
    EXPECT_EQ(toNumber("4294967296"), 0);
    EXPECT_EQ(toNumber("4294967303"), 7);
    EXPECT_EQ(toNumber("$FFFFFFFF"), -1);
    EXPECT_EQ(toNumber("$80000000"), INT32_MIN);
    EXPECT_EQ(toNumber("$123456789"), 0x23456789);
    EXPECT_EQ(toNumber("-$80000000"), INT32_MIN);
    EXPECT_EQ(toNumber("%" + std::string(32, '1')), -1);
    EXPECT_EQ(toNumber("%1" + std::string(32, '0')), 0);
}

TEST(SettingsNumbers, TextIsPlainSignedDecimal) {
    EXPECT_EQ(toText(0), "0");
    EXPECT_EQ(toText(39), "39");
    EXPECT_EQ(toText(-1), "-1");
    EXPECT_EQ(toText(INT32_MAX), "2147483647");
    EXPECT_EQ(toText(INT32_MIN), "-2147483648");
    for (int32_t n : {0, 1, -1, 17, -250, INT32_MAX, INT32_MIN}) {
        EXPECT_EQ(toNumber(toText(n)), n);
    }
}

TEST_F(SettingsFileTest, ReadsPaddedValuesInEveryNotation) {
    writeFile(file_,
              "  fr1 \t=\t 20 \t\r\n"
              "\tLevel=$1F\r\n"
              "ARU = %101\r\n"
              "fr2 = 0x10\r\n"
              "fr3 = 12abc\r\n"
              "fr4=-3\r\n"
              "fr5 = +7\r\n"
              "fr6 = 35 ; remark\r\n"
              "fr7 =\r\n");
    SettingsFile store;
    ASSERT_TRUE(store.open(file_));
    EXPECT_TRUE(store.isOpen());
    EXPECT_EQ(store.readString("fr1", kNo), "20");
    EXPECT_EQ(store.readString("FR1", kNo), "20");
    EXPECT_EQ(toNumber(store.readString("Level", kNo)), 31);
    EXPECT_EQ(toNumber(store.readString("ARU", kNo)), 5);
    EXPECT_EQ(toNumber(store.readString("fr2", kNo)), 0);
    EXPECT_EQ(toNumber(store.readString("fr3", kNo)), 12);
    EXPECT_EQ(toNumber(store.readString("fr4", kNo)), -3);
    EXPECT_EQ(toNumber(store.readString("fr5", kNo)), 7);
    EXPECT_EQ(store.readString("fr6", kNo), "35 ; remark");
    EXPECT_EQ(toNumber(store.readString("fr6", kNo)), 35);
    EXPECT_EQ(store.readString("fr7", kNo), "");  // present but empty: not the default
    EXPECT_EQ(store.readString("fr8", kNo), kNo);
    EXPECT_EQ(store.readString("fr", kNo), kNo);  // no prefix matches
    store.close();
    EXPECT_FALSE(store.isOpen());
    EXPECT_EQ(store.readString("fr1", kNo), kNo);
}

TEST_F(SettingsFileTest, RewritesALowerCaseKeyInPlaceWithTheProgramsSpelling) {
    EXPECT_EQ(rewrite("fr1 = 3\r\nlevel=12\r\nARU = 9\r\n", "Level", "40"),
              "fr1 = 3\r\nLevel = 40\r\nARU = 9\r\n");
    // Only the first of two matching entries is read and changed.
    writeFile(file_, "a = 1\r\nA = 2\r\n");
    SettingsFile store;
    ASSERT_TRUE(store.open(file_));
    EXPECT_EQ(store.readString("A", kNo), "1");
    store.writeString("A", "3");
    EXPECT_EQ(store.readString("a", kNo), "3");
    store.close();
    EXPECT_EQ(readFile(file_), "A = 3\r\nA = 2\r\n");
}

TEST_F(SettingsFileTest, SeesOnlyTheTopSectionAndAppendsAboveTheFirstGroup) {
    writeFile(file_, "A = 1\r\n; note\r\n[Extra] tail\r\nLevel = 5\r\n[More]\r\nB = 2\r\n");
    SettingsFile store;
    ASSERT_TRUE(store.open(file_));
    EXPECT_EQ(store.readString("Level", kNo), kNo);
    EXPECT_EQ(store.readString("B", kNo), kNo);
    EXPECT_EQ(store.readString("A", kNo), "1");
    store.writeString("Level", "7");
    store.writeString("ARU", "8");
    EXPECT_EQ(store.readString("Level", kNo), "7");
    store.close();
    EXPECT_EQ(readFile(file_),
              "A = 1\r\n; note\r\nLevel = 7\r\nARU = 8\r\n[Extra]\r\nLevel = 5\r\n[More]\r\n"
              "B = 2\r\n");

    // A file that starts with a group gets new keys at the very start; an
    // unclosed group name runs to the end of its line.
    EXPECT_EQ(rewrite("\r\n  [G\r\nx = 1\r\n", "x", "2"), "x = 2\r\n[G]\r\nx = 1\r\n");
    // Without groups a new key goes to the end.
    EXPECT_EQ(rewrite("a = 1\r\n; last\r\n", "b", "2"), "a = 1\r\n; last\r\nb = 2\r\n");
}

TEST_F(SettingsFileTest, KeepsCommentsUnknownKeysAndPlainLinesAndDropsBlankLines) {
    writeFile(file_,
              ";first\n"
              "\n"
              "   ;  two spaces\n"
              "; \n"
              "Unknown = x y \n"
              "   just some text  \n"
              " \t \n"
              "=5\n"
              "  = 6\n"
              "Level = 1\n"
              "\n");
    SettingsFile store;
    ASSERT_TRUE(store.open(file_));
    EXPECT_EQ(store.readString("just some text", kNo), kNo);
    EXPECT_EQ(store.readString("Level", kNo), "1");
    EXPECT_EQ(store.readString("", kNo), kNo);
    // An empty key never matches; a write cannot create one either.
    store.writeString("", "9");
    store.writeString("Level", "2");
    store.writeString("just some text", "3");
    const std::vector<SettingsEntry> expected = {
        {SettingsEntryKind::Comment, "first", ""},
        {SettingsEntryKind::Comment, " two spaces", ""},
        {SettingsEntryKind::Comment, "", ""},
        {SettingsEntryKind::Key, "Unknown", "x y"},
        {SettingsEntryKind::Line, "just some text  ", ""},
        {SettingsEntryKind::Key, "", "5"},
        {SettingsEntryKind::Key, "", "6"},
        {SettingsEntryKind::Key, "Level", "2"},
        {SettingsEntryKind::Key, "just some text", "3"},
    };
    EXPECT_EQ(store.entries(), expected);
    store.close();
    EXPECT_EQ(readFile(file_),
              "; first\r\n"
              ";  two spaces\r\n"
              "; \r\n"
              "Unknown = x y\r\n"
              "just some text  \r\n"
              " = 5\r\n"
              " = 6\r\n"
              "Level = 2\r\n"
              "just some text = 3\r\n");
    ASSERT_TRUE(store.open(file_));
    EXPECT_EQ(store.entries(), expected);
}

TEST_F(SettingsFileTest, ConvertsUtf8WithByteOrderMarkBothWays) {
    writeFile(file_,
              "\xEF\xBB\xBF"
              "Name = \xC3\xA9t\xC3\xA9\r\n"              // "été": Latin-1 letters
              "Euro = \xE2\x82\xAC \xD0\x9D\r\n"          // beyond U+00FF
              "Bad = \xC3\x28 \xC0\x8A \xED\xA0\x80\r\n"  // malformed, overlong, surrogate
              "Level = 1\r\n");
    SettingsFile store;
    ASSERT_TRUE(store.open(file_));
    EXPECT_EQ(store.readString("Name", kNo), "\xE9t\xE9");
    EXPECT_EQ(store.readString("Euro", kNo), "? ?");
    EXPECT_EQ(store.readString("Bad", kNo), "?( ?? ???");
    store.writeString("Level", "2");
    store.writeString("Text", "\xFF\xB5");
    store.close();
    const std::string rewritten =
        "\xEF\xBB\xBF\r\n"
        "Name = \xC3\xA9t\xC3\xA9\r\n"
        "Euro = ? ?\r\n"
        "Bad = ?( ?? ???\r\n"
        "Level = 2\r\n"
        "Text = \xC3\xBF\xC2\xB5\r\n";
    EXPECT_EQ(readFile(file_), rewritten);
    // And the rewritten file reads back the same single-byte text.
    ASSERT_TRUE(store.open(file_));
    EXPECT_EQ(store.readString("Name", kNo), "\xE9t\xE9");
    EXPECT_EQ(store.readString("Text", kNo), "\xFF\xB5");
    store.writeString("Level", "2");
    store.close();
    EXPECT_EQ(readFile(file_), rewritten);

    // A single-byte file keeps its bytes as they are, also above 0x7F.
    EXPECT_EQ(rewrite("Name = \xE9t\xE9\r\n", "Level", "3"), "Name = \xE9t\xE9\r\nLevel = 3\r\n");
    // Single-byte text that would start with the mark's bytes stays single-byte.
    EXPECT_EQ(rewrite("\r\n\xEF\xBB\xBFx = 1\r\n", "\xEF\xBB\xBFx", "1"),
              "\r\n\xEF\xBB\xBFx = 1\r\n");
    SettingsFile again;
    ASSERT_TRUE(again.open(file_));
    EXPECT_EQ(again.readString("\xEF\xBB\xBFx", kNo), "1");
}

TEST_F(SettingsFileTest, AcceptsEveryLineEnd) {
    EXPECT_EQ(rewrite("a = 1\rb = 2\r\nc = 3\nd = 4\r\r\n\n\re = 5", "f", "6"),
              "a = 1\r\nb = 2\r\nc = 3\r\nd = 4\r\ne = 5\r\nf = 6\r\n");
    EXPECT_EQ(rewrite("a = 1\r\rb = 2\r", "a", "0"), "a = 0\r\nb = 2\r\n");
    SettingsFile store;
    ASSERT_TRUE(store.open(file_));
    EXPECT_EQ(store.readString("b", kNo), "2");
}

TEST_F(SettingsFileTest, CreatesAMissingFileOnlyWhenWritten) {
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
    EXPECT_EQ(names(), std::set<std::string>{"setting.dat"});
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(fs::status(file_).permissions(), static_cast<fs::perms>(0666 & ~mask));

    // Opening another file first saves the open one; the destructor saves too.
    const std::string other = (dir_ / "other.dat").string();
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
}

TEST_F(SettingsFileTest, CloseWithoutWritesLeavesTheFileUntouched) {
    const std::string bytes = "\n\n level=12\r\n[G]\n\xEF\xBB\xBF\r\n";
    writeFile(file_, bytes);
    const timespec past[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, file_.c_str(), past, 0), 0);
    {
        SettingsFile store;
        ASSERT_TRUE(store.open(file_));
        EXPECT_EQ(toNumber(store.readString("Level", kNo)), 12);
        // Writes the file cannot hold as one entry are refused and change nothing.
        store.writeString("a=b", "1");
        store.writeString(" Level", "1");
        store.writeString("Level ", "1");
        store.writeString(";Level", "1");
        store.writeString("[Level", "1");
        store.writeString("Le\nvel", "1");
        store.writeString("Level", "1\r\nEffect = 3");
        EXPECT_EQ(toNumber(store.readString("Level", kNo)), 12);
        store.close();
        ASSERT_TRUE(store.open(file_));
    }  // the destructor closes too
    EXPECT_EQ(readFile(file_), bytes);
    struct stat info {};
    ASSERT_EQ(::stat(file_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mtim.tv_sec, 1000000000);
    EXPECT_EQ(names(), std::set<std::string>{"setting.dat"});
}

TEST_F(SettingsFileTest, NeverWritesAFileItMayOnlyRead) {
    // The directory is open to everyone, so only the store's own rule can keep
    // a read-only file from being replaced.
    fs::permissions(dir_, fs::perms::all);
    const std::string unreadable = (dir_ / "secret.dat").string();
    writeFile(file_, "level=12\r\n");
    writeFile(unreadable, "Level = 4\r\n");
    fs::permissions(file_, static_cast<fs::perms>(0444));
    fs::permissions(unreadable, fs::perms::none);
    const int status = runUnprivileged([&] {
        SettingsFile store;
        if (!store.open(file_) || store.readString("Level", kNo) != "12") {
            return 1;
        }
        store.writeString("Level", "30");
        store.writeString("ARU", "30");
        if (store.readString("Level", kNo) != "30") {
            return 2;
        }
        store.close();
        if (store.open(unreadable)) {
            return 3;
        }
        store.writeString("Level", "30");
        store.close();
        return 0;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readFile(file_), "level=12\r\n");
    EXPECT_EQ(fs::status(file_).permissions(), static_cast<fs::perms>(0444));
    EXPECT_EQ(fs::status(unreadable).permissions(), fs::perms::none);
    fs::permissions(unreadable, fs::perms::owner_read);
    EXPECT_EQ(readFile(unreadable), "Level = 4\r\n");
    EXPECT_EQ(names(), (std::set<std::string>{"setting.dat", "secret.dat"}));
}

TEST_F(SettingsFileTest, AWritableFileInAReadOnlyDirectoryStaysAsItWas) {
    writeFile(file_, "Level = 1\r\n");
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(file_.c_str(), 65534, 65534), 0);
    }
    fs::permissions(dir_, static_cast<fs::perms>(0555));
    fs::permissions(file_, static_cast<fs::perms>(0644));
    const int status = runUnprivileged([&] {
        SettingsFile store;
        if (!store.open(file_)) {
            return 1;
        }
        store.writeString("Level", "2");
        store.close();
        return 0;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readFile(file_), "Level = 1\r\n");
    EXPECT_EQ(names(), std::set<std::string>{"setting.dat"});
}

TEST_F(SettingsFileTest, KeepsPermissionsOwnerAndSymbolicLinks) {
    writeFile(file_, "Level = 1\r\n");
    fs::permissions(file_, static_cast<fs::perms>(0640));
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(file_.c_str(), 65534, 65534), 0);
    }
    SettingsFile store;
    ASSERT_TRUE(store.open(file_));
    store.writeString("Level", "2");
    store.close();
    EXPECT_EQ(readFile(file_), "Level = 2\r\n");
    struct stat info {};
    ASSERT_EQ(::stat(file_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    if (root) {
        EXPECT_EQ(info.st_uid, 65534u);
        EXPECT_EQ(info.st_gid, 65534u);
    }

    // A link is kept, and its target replaced beside the target.
    fs::create_directory(dir_ / "real");
    const fs::path target = dir_ / "real" / "store.dat";
    writeFile(target.string(), "Level = 1\r\n");
    fs::permissions(target, static_cast<fs::perms>(0600));
    const std::string link = (dir_ / "link.dat").string();
    fs::create_symlink("real/store.dat", link);
    ASSERT_TRUE(store.open(link));
    store.writeString("Level", "3");
    store.close();
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::read_symlink(link), "real/store.dat");
    EXPECT_EQ(readFile(target.string()), "Level = 3\r\n");
    EXPECT_EQ(fs::status(target).permissions(), static_cast<fs::perms>(0600));
    EXPECT_EQ(names(), (std::set<std::string>{"setting.dat", "real", "link.dat"}));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "real"), {}), 1);

    // A dangling link: the file is created where the link points.
    const std::string dangling = (dir_ / "dangling.dat").string();
    fs::create_symlink("real/new.dat", dangling);
    EXPECT_FALSE(store.open(dangling));
    store.writeString("ARU", "4");
    store.close();
    EXPECT_TRUE(fs::is_symlink(dangling));
    EXPECT_EQ(readFile((dir_ / "real" / "new.dat").string()), "ARU = 4\r\n");
}

}  // namespace
}  // namespace glowtern
