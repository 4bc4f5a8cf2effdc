// The ppdev port module for real, through the /dev/parport0 stand-in: the probe runs
// as a child process with the stand-in preloaded, and the tests read its log.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace glowtern {
namespace {

struct LogLine {
    int64_t nanoseconds = 0;
    std::string event;  // the line without its timestamp
};

struct ProbeRun {
    int exitStatus = -1;
    std::string output;
};

bool PortDeviceExists() {
    return ::access("/dev/parport0", F_OK) == 0;
}

class FakeParportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "glowtern-parport-XXXXXX");
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr) << std::strerror(errno);
        dir_ = pattern;
        logPath_ = dir_ / "port.log";
    }

    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    // Runs the probe with the stand-in preloaded. `logged` false leaves the log variable
    // unset; `fail` non-empty sets GLOWTERN_FAKE_PARPORT_FAIL.
    ProbeRun runProbe(const std::vector<std::string>& arguments, bool logged = true,
                      const std::string& fail = "") {
        std::vector<std::string> environment;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string variable = *entry;
            if (variable.rfind("LD_PRELOAD=", 0) != 0 &&
                variable.rfind("GLOWTERN_FAKE_PARPORT_", 0) != 0 &&
                variable.rfind("XDG_RUNTIME_DIR=", 0) != 0) {
                environment.push_back(variable);
            }
        }
        environment.push_back(std::string("LD_PRELOAD=") + GLOWTERN_FAKE_PARPORT_PRELOAD);
        // A light panel the user runs must not stand in for the missing port here.
        environment.push_back("XDG_RUNTIME_DIR=" + dir_.string());
        if (logged) {
            environment.push_back("GLOWTERN_FAKE_PARPORT_LOG=" + logPath_.string());
        }
        if (!fail.empty()) {
            environment.push_back("GLOWTERN_FAKE_PARPORT_FAIL=" + fail);
        }
        std::vector<char*> envp;
        for (std::string& variable : environment) {
            envp.push_back(variable.data());
        }
        envp.push_back(nullptr);
        std::string program = GLOWTERN_PARPORT_PROBE;
        std::vector<std::string> argumentStore{program};
        argumentStore.insert(argumentStore.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& argument : argumentStore) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);

        ProbeRun run;
        int pipeFds[2];
        if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe: " << std::strerror(errno);
            return run;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
        pid_t child = -1;
        const int spawned =
            ::posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipeFds[1]);
        if (spawned != 0) {
            ::close(pipeFds[0]);
            ADD_FAILURE() << "spawn " << program << ": " << std::strerror(spawned);
            return run;
        }
        char buffer[256];
        ssize_t got;
        while ((got = ::read(pipeFds[0], buffer, sizeof buffer)) != 0) {
            if (got < 0 && errno != EINTR) {
                break;
            }
            if (got > 0) {
                run.output.append(buffer, static_cast<size_t>(got));
            }
        }
        ::close(pipeFds[0]);
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return run;
    }

    // The log's lines, each checked for the "<ns> <event>" form.
    std::vector<LogLine> readLog() {
        std::vector<LogLine> lines;
        std::ifstream file(logPath_);
        std::string text;
        while (std::getline(file, text)) {
            std::istringstream fields(text);
            LogLine line;
            fields >> line.nanoseconds;
            EXPECT_TRUE(fields && fields.get() == ' ') << "malformed line: " << text;
            std::getline(fields, line.event);
            lines.push_back(line);
        }
        return lines;
    }

    static std::vector<std::string> events(const std::vector<LogLine>& lines) {
        std::vector<std::string> result;
        for (const LogLine& line : lines) {
            result.push_back(line.event);
        }
        return result;
    }

    std::filesystem::path dir_;
    std::filesystem::path logPath_;
};

TEST_F(FakeParportTest, ModuleOpensClaimsWritesRegistersAndReleases) {
    const ProbeRun run = runProbe({"module"});
    ASSERT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.output, "driver=1\n");
    const std::vector<LogLine> lines = readLog();
    // 0x379 is no writable register and the write after unbinding goes nowhere.
    const std::vector<std::string> expected = {
        "OPEN RDWR CLOEXEC", "CLAIM",        "DATA 0x02", "CONTROL 0x0e",
        "DATA 0x00",         "CONTROL 0x0b", "RELEASE",   "CLOSE",
    };
    EXPECT_EQ(events(lines), expected);
    ASSERT_FALSE(lines.empty());
    for (size_t i = 1; i < lines.size(); ++i) {
        EXPECT_LE(lines[i - 1].nanoseconds, lines[i].nanoseconds) << "line " << i;
    }
    EXPECT_LT(lines.front().nanoseconds, lines.back().nanoseconds);
}

TEST_F(FakeParportTest, WithoutTheLogVariableThePortIsMissing) {
    if (PortDeviceExists()) {
        GTEST_SKIP() << "this machine has a real /dev/parport0";
    }
    const ProbeRun run = runProbe({"module"}, /*logged=*/false);
    ASSERT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.output, "driver=0\n");
    EXPECT_FALSE(std::filesystem::exists(logPath_));
}

TEST_F(FakeParportTest, FailedClaimOrOpenMeansNoDriverAndNoWrites) {
    ProbeRun run = runProbe({"module"}, true, "claim");
    ASSERT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.output, "driver=0\n");
    // The descriptor is given back at once; no write is even tried, nothing released.
    EXPECT_EQ(events(readLog()),
              (std::vector<std::string>{"OPEN RDWR CLOEXEC", "CLAIM-FAILED", "CLOSE"}));

    std::filesystem::remove(logPath_);
    run = runProbe({"module"}, true, "open");
    ASSERT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.output, "driver=0\n");
    EXPECT_EQ(events(readLog()), (std::vector<std::string>{"OPEN-FAILED"}));
}

TEST_F(FakeParportTest, SecondLoadSharesThePortUntilTheLastUnload) {
    const ProbeRun run = runProbe({"shared"});
    ASSERT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.output, "driver=1,1\n");
    EXPECT_EQ(events(readLog()), (std::vector<std::string>{"OPEN RDWR CLOEXEC", "CLAIM",
                                                           "DATA 0x11", "RELEASE", "CLOSE"}));
}

TEST_F(FakeParportTest, ThreadsGetWholeOrderedLinesAndOtherFilesPassThrough) {
    const ProbeRun run = runProbe({"threads", dir_.string()});
    ASSERT_EQ(run.exitStatus, 0) << run.output;
    EXPECT_EQ(run.output, "threads=ok\n");
    const std::vector<LogLine> lines = readLog();
    // 4 port threads, each: open, claim, 200 writes, release, close.
    ASSERT_EQ(lines.size(), 4u * (200u + 4u));
    std::map<std::string, int> counts;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& event = lines[i].event;
        const std::string kind = event.substr(0, event.find(' '));
        ++counts[kind];
        if (kind == "DATA") {
            ASSERT_EQ(event.size(), 9u) << event;
            EXPECT_EQ(event.compare(0, 7, "DATA 0x"), 0) << event;
        }
        if (i > 0) {
            EXPECT_LE(lines[i - 1].nanoseconds, lines[i].nanoseconds) << "line " << i;
        }
    }
    EXPECT_EQ(counts["OPEN"], 4);
    EXPECT_EQ(counts["CLAIM"], 4);
    EXPECT_EQ(counts["DATA"], 800);
    EXPECT_EQ(counts["RELEASE"], 4);
    EXPECT_EQ(counts["CLOSE"], 4);
    EXPECT_EQ(counts.size(), 5u);
}

}  // namespace
}  // namespace glowtern
