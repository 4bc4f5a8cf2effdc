// The real `glowtern` driving the real `glowtern-panel` on a machine without a parallel port
// or USB light device: on a private X server with a tray and a private sound server, a tone
// lights the port line and the USB pin of its band in the panel's log; Glowtern lives
// through the panel quitting and finds it again; with a working /dev/parport0 the port
// writes stay on the port.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/sound_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/xvfb.h"

namespace glowtern {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// A program of the test's, started with extra environment in a working directory, its
// output in a file. It gets SIGKILL if the test process dies first.
class Child {
  public:
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() { stop(); }

    bool start(const std::vector<std::string>& args, const std::string& directory,
               const std::vector<std::string>& environment, const std::string& output) {
        std::vector<char*> argv;
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        const pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent || ::chdir(directory.c_str()) != 0) {
                ::_exit(126);
            }
            for (const std::string& entry : environment) {
                ::putenv(const_cast<char*>(entry.c_str()));
            }
            const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            const int in = ::open("/dev/null", O_RDONLY);
            ::dup2(in, 0);
            ::dup2(out, 1);
            ::dup2(out, 2);
            ::execvp(argv[0], argv.data());
            ::_exit(127);
        }
        return pid_ > 0;
    }

    bool running() {
        if (pid_ > 0 && ::waitpid(pid_, &status_, WNOHANG) == pid_) {
            pid_ = -1;
        }
        return pid_ > 0;
    }

    // SIGTERM and the exit status (128 + signal when killed), waiting at most `grace`.
    int stop(milliseconds grace = seconds(10)) {
        if (pid_ <= 0) {
            return exitStatus();
        }
        ::kill(pid_, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + grace;
        while (running()) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status_, 0);
                pid_ = -1;
                break;
            }
            std::this_thread::sleep_for(milliseconds(10));
        }
        return exitStatus();
    }

    int exitStatus() const {
        return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
    }

  private:
    pid_t pid_ = -1;
    int status_ = 0;
};

std::vector<std::string> logEvents(const std::string& path) {
    std::vector<std::string> events;
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        const size_t space = line.find(' ');
        if (space != std::string::npos) {
            events.push_back(line.substr(space + 1));
        }
    }
    return events;
}

bool waitUntil(const std::function<bool()>& condition, milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(50));
    }
    return true;
}

// The value of a "DATA 0x.." event, or -1.
int dataValue(const std::string& event) {
    if (event.rfind("DATA 0x", 0) != 0) {
        return -1;
    }
    return static_cast<int>(std::strtol(event.c_str() + 7, nullptr, 16));
}

bool logHas(const std::string& path, const std::function<bool(const std::string&)>& match) {
    for (const std::string& event : logEvents(path)) {
        if (match(event)) {
            return true;
        }
    }
    return false;
}

bool logHas(const std::string& path, const std::string& event) {
    return logHas(path, [&event](const std::string& line) { return line == event; });
}

// Band 5 ("53 Hz") listens at a low threshold, every other band is out of reach, and output
// OUT2 (pin PD1) follows band 5. Manual mode, port output on, keyboard LEDs left alone.
std::string settings() {
    std::ostringstream text;
    text << "Level = 35\r\nARU = 35\r\nEffect = 1\r\nKEY_LED = 0\r\nLPT_LED = 1\r\n";
    for (int band = 1; band <= 18; ++band) {
        text << "fr" << band << " = " << (band == 5 ? 3 : 39) << "\r\n";
    }
    for (int output = 1; output <= 18; ++output) {
        text << "OUT" << output << " = " << (output == 2 ? 5 : 0) << "\r\n";
    }
    return text.str();
}

class PanelEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(x_.running()) << "Xvfb did not start";
        ASSERT_TRUE(sound_.running()) << "PulseAudio did not start";
        ASSERT_TRUE(tray_.start({"trayer", "--edge", "top", "--align", "right", "--widthtype",
                                 "request", "--height", "26"},
                                work_.path(), {}, work_.file("trayer.out")));
        testing::writeFile(work_.file("setting.dat"), settings());
        socket_ = sound_.directory() + "/glowtern-panel.sock";  // XDG_RUNTIME_DIR is there
    }

    void TearDown() override {
        glowtern_.stop();
        panel_.stop();
        tray_.stop();
    }

    // Starts the panel with its log at `log` and waits until it listens.
    void startPanel(const std::string& log) {
        ASSERT_TRUE(panel_.start({GLOWTERN_PANEL_PROGRAM, "--log", log}, work_.path(), {},
                                 work_.file("panel.out")));
        ASSERT_TRUE(waitUntil([this] { return ::access(socket_.c_str(), F_OK) == 0; }, seconds(20)))
            << testing::readFile(work_.file("panel.out"));
    }

    void startGlowtern(const std::vector<std::string>& environment = {}) {
        ASSERT_TRUE(glowtern_.start({GLOWTERN_PROGRAM}, work_.path(), environment,
                                    work_.file("glowtern.out")));
    }

    // Plays a 100 Hz tone until the log shows the D1 line and the PD1 pin lit, or gives up.
    bool toneLights(const std::string& log, bool portToo) {
        const std::string tone = sound_.makeTone(100, 4, 0.5);
        if (tone.empty()) {
            ADD_FAILURE() << "sox made no tone";
            return false;
        }
        for (int attempt = 0; attempt < 4; ++attempt) {
            sound_.play(tone);
            const bool lit = waitUntil(
                [&] {
                    return logHas(log, "USB 0x00 0x82") &&
                           (!portToo || logHas(log, [](const std::string& event) {
                               return dataValue(event) >= 0 && (dataValue(event) & 0x02) != 0;
                           }));
                },
                seconds(5));
            if (lit) {
                return true;
            }
        }
        return false;
    }

    testing::PrivateXServer x_;
    testing::PrivateSoundServer sound_;
    testing::TempDir work_;
    std::string socket_;
    Child tray_;
    Child panel_;
    Child glowtern_;
};

TEST_F(PanelEndToEnd, GlowternDrivesThePanelAndLivesThroughItsRestart) {
    const std::string log = work_.file("panel.log");
    startPanel(log);
    startGlowtern();
    // The driver check passed through the panel, and the USB device was found and opened.
    ASSERT_TRUE(waitUntil([&] { return logHas(log, "HELLO usb-device"); }, seconds(20)))
        << testing::readFile(log) << testing::readFile(work_.file("glowtern.out"));
    EXPECT_TRUE(logHas(log, "HELLO port"));
    EXPECT_TRUE(glowtern_.running());
    // Silence: all lines at rest and the three reports with no pin set.
    ASSERT_TRUE(waitUntil([&] { return logHas(log, "CONTROL 0x0b"); }, seconds(10)));
    EXPECT_TRUE(logHas(log, "DATA 0x00"));
    EXPECT_TRUE(waitUntil([&] { return logHas(log, "USB 0x00 0x40"); }, seconds(10)));
    // The panel's window is up.
    EXPECT_EQ(std::system("xdotool search --name '^Glowtern panel$' > /dev/null"), 0);

    // A 100 Hz tone: band 5 lights line D1 and, through OUT2, pin PD1.
    ASSERT_TRUE(toneLights(log, true)) << testing::readFile(log);
    // When it stops the line goes dark again.
    sound_.stopPlaying();
    ASSERT_TRUE(waitUntil(
        [&] {
            const std::vector<std::string> events = logEvents(log);
            int last = -1;
            for (const std::string& event : events) {
                last = dataValue(event) >= 0 ? dataValue(event) : last;
            }
            return last == 0;
        },
        seconds(10)));

    // The panel quits while Glowtern writes: Glowtern goes on (no SIGPIPE), and finds the
    // panel again when it is back, port and USB device both.
    EXPECT_EQ(panel_.stop(), 0) << testing::readFile(work_.file("panel.out"));
    std::this_thread::sleep_for(milliseconds(1500));
    ASSERT_TRUE(glowtern_.running()) << "Glowtern ended when the panel quit";
    const std::string again = work_.file("panel-again.log");
    startPanel(again);
    ASSERT_TRUE(waitUntil([&] { return logHas(again, "HELLO usb-device"); }, seconds(20)));
    ASSERT_TRUE(waitUntil([&] { return logHas(again, "CONTROL 0x0b"); }, seconds(10)));
    EXPECT_TRUE(toneLights(again, true)) << testing::readFile(again);
    sound_.stopPlaying();
    EXPECT_TRUE(glowtern_.running());

    // Glowtern's Exit sequence leaves every lamp off: USB first, then the port.
    ASSERT_EQ(glowtern_.stop(), 0) << testing::readFile(work_.file("glowtern.out"));
    std::vector<std::string> events = logEvents(again);
    std::vector<std::string> writes;
    for (const std::string& event : events) {
        if (event.rfind("DATA", 0) == 0 || event.rfind("CONTROL", 0) == 0 ||
            event.rfind("USB", 0) == 0) {
            writes.push_back(event);
        }
    }
    ASSERT_GE(writes.size(), 5u);
    const std::vector<std::string> last(writes.end() - 5, writes.end());
    EXPECT_EQ(last, (std::vector<std::string>{"USB 0x00 0x00", "USB 0x00 0x40", "USB 0x00 0x80",
                                              "DATA 0x00", "CONTROL 0x0b"}));
}

TEST_F(PanelEndToEnd, AWorkingParallelPortKeepsThePortWritesOnThePort) {
    const std::string log = work_.file("panel.log");
    const std::string portLog = work_.file("port.log");
    startPanel(log);
    startGlowtern({std::string("LD_PRELOAD=") + GLOWTERN_FAKE_PARPORT_PRELOAD,
                   "GLOWTERN_FAKE_PARPORT_LOG=" + portLog});
    ASSERT_TRUE(waitUntil([&] { return logHas(log, "HELLO usb-device"); }, seconds(20)))
        << testing::readFile(log) << testing::readFile(work_.file("glowtern.out"));
    // The tone reaches the USB pin through the panel and the port line through the port.
    ASSERT_TRUE(toneLights(log, false)) << testing::readFile(log);
    EXPECT_TRUE(logHas(portLog, [](const std::string& event) {
        return dataValue(event) >= 0 && (dataValue(event) & 0x02) != 0;
    }));
    sound_.stopPlaying();
    ASSERT_EQ(glowtern_.stop(), 0) << testing::readFile(work_.file("glowtern.out"));
    EXPECT_FALSE(logHas(log, "HELLO port"));
    EXPECT_FALSE(logHas(log, [](const std::string& event) { return dataValue(event) >= 0; }));
    EXPECT_TRUE(logHas(portLog, "CLAIM"));
}

}  // namespace
}  // namespace glowtern
