#include "tests/support/sound_server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>
#include <vector>

namespace glowtern::testing {

namespace {

// Starts `args` as a child with its standard streams on /dev/null. The child gets SIGKILL
// when this process ends first.
pid_t Spawn(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        const int devnull = open("/dev/null", O_RDWR);
        for (int fd = 0; fd < 3; ++fd) {
            dup2(devnull, fd);
        }
        if (getppid() == parent) {
            execvp(argv[0], argv.data());
        }
        _exit(127);
    }
    return pid;
}

bool Run(const std::string& command) {  // to its end; whether it succeeded
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

void Stop(pid_t& pid) {
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    pid = -1;
}

}  // namespace

PrivateSoundServer::PrivateSoundServer() {
    char pattern[] = "/tmp/glowtern-pulse-XXXXXX";  // short: the socket path must fit 108 bytes
    if (mkdtemp(pattern) == nullptr) {
        return;
    }
    directory_ = pattern;
    // The server keeps its cookie, state and socket in the directory. Running as root only
    // earns a warning; D-Bus is pointed at nothing so that it never autolaunches a session bus.
    pid_t pid = Spawn({"env", "-u", "DISPLAY", "-u", "PULSE_SERVER", "-u", "PULSE_COOKIE",
                       "HOME=" + directory_, "XDG_CONFIG_HOME=" + directory_ + "/config",
                       "XDG_RUNTIME_DIR=" + directory_,
                       "DBUS_SESSION_BUS_ADDRESS=unix:path=" + directory_ + "/no-bus", "pulseaudio",
                       "--daemonize=no", "--exit-idle-time=-1", "-n", "--high-priority=no",
                       "--realtime=no", "--load=module-null-sink sink_name=t",
                       "--load=module-native-protocol-unix auth-anonymous=1"});
    // Clients of this process (ALSA's pulse plugin inside PortAudio, pactl, paplay) talk to
    // this server only, and never write a cookie outside the directory.
    environment_.emplace_back("XDG_RUNTIME_DIR", directory_.c_str());
    environment_.emplace_back("PULSE_SERVER", ("unix:" + directory_ + "/pulse/native").c_str());
    environment_.emplace_back("PULSE_COOKIE", (directory_ + "/cookie").c_str());
    // Ready once the sink exists and its monitor has become the default source.
    for (int tries = 0; tries < 500 && waitpid(pid, nullptr, WNOHANG) == 0; ++tries) {
        if (Run("pactl set-default-source t.monitor")) {
            serverPid_ = pid;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Stop(pid);
}

PrivateSoundServer::~PrivateSoundServer() {
    Stop(playerPid_);
    Stop(serverPid_);
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
}

std::string PrivateSoundServer::makeTone(double hertz, double seconds, double volume) {
    const std::string path = directory_ + "/tone.wav";
    return Run("sox -n -r 44100 -c 2 " + path + " synth " + std::to_string(seconds) + " sine " +
               std::to_string(hertz) + " vol " + std::to_string(volume))
               ? path
               : "";
}

bool PrivateSoundServer::play(const std::string& file) {
    Stop(playerPid_);
    playerPid_ = running() ? Spawn({"paplay", file}) : -1;
    return playerPid_ > 0;
}

bool PrivateSoundServer::playing() {
    if (playerPid_ > 0 && waitpid(playerPid_, nullptr, WNOHANG) != 0) {
        playerPid_ = -1;
    }
    return playerPid_ > 0;
}

}  // namespace glowtern::testing
