#include "tests/support/sound_server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

namespace glowtern::testing {

namespace {

using std::chrono::milliseconds;

// Starts `args` as a child with its standard streams on /dev/null. The child gets SIGKILL
// when this process ends first.
pid_t Spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(1);
        }
        const int devnull = open("/dev/null", O_RDWR);
        for (int fd = 0; fd < 3; ++fd) {
            dup2(devnull, fd);
        }
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Runs a command to its end; its exit status, or -1.
int Run(const std::vector<std::string>& args) {
    const pid_t pid = Spawn(args);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

// Ends a child: SIGTERM, and SIGKILL when it has not gone after `grace`.
void Stop(pid_t pid, milliseconds grace) {
    kill(pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + grace;
    while (waitpid(pid, nullptr, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            return;
        }
        std::this_thread::sleep_for(milliseconds(10));
    }
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
    const pid_t pid =
        Spawn({"sh", "-c",
               "exec env -u DISPLAY -u PULSE_SERVER -u PULSE_COOKIE HOME=\"$0\" "
               "XDG_CONFIG_HOME=\"$0/config\" XDG_RUNTIME_DIR=\"$0\" "
               "DBUS_SESSION_BUS_ADDRESS=\"unix:path=$0/no-bus\" pulseaudio --daemonize=no "
               "--exit-idle-time=-1 -n --high-priority=no --realtime=no --log-target=stderr "
               "'--load=module-null-sink sink_name=t' "
               "'--load=module-native-protocol-unix auth-anonymous=1'",
               directory_});
    if (pid < 0) {
        return;
    }

    // Clients of this process (ALSA's pulse plugin inside PortAudio, pactl, paplay) talk to
    // this server only, and never write a cookie outside the directory.
    environment_.emplace_back("XDG_RUNTIME_DIR", directory_.c_str());
    environment_.emplace_back("PULSE_SERVER", ("unix:" + directory_ + "/pulse/native").c_str());
    environment_.emplace_back("PULSE_COOKIE", (directory_ + "/cookie").c_str());

    // Ready once the sink exists and its monitor has become the default source.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline && waitpid(pid, nullptr, WNOHANG) == 0) {
        if (Run({"pactl", "set-default-source", "t.monitor"}) == 0) {
            serverPid_ = pid;
            return;
        }
        std::this_thread::sleep_for(milliseconds(20));
    }
    Stop(pid, milliseconds(2000));
}

PrivateSoundServer::~PrivateSoundServer() {
    stopPlaying();
    if (serverPid_ > 0) {
        Stop(serverPid_, milliseconds(5000));
    }
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
}

std::string PrivateSoundServer::makeTone(double hertz, double seconds, double volume) {
    static int made = 0;
    const std::string path = directory_ + "/tone-" + std::to_string(++made) + ".wav";
    const bool ok =
        !directory_.empty() &&
        Run({"sox", "-n", "-r", "44100", "-c", "2", path, "synth", std::to_string(seconds), "sine",
             std::to_string(hertz), "vol", std::to_string(volume)}) == 0;
    return ok ? path : "";
}

bool PrivateSoundServer::play(const std::string& file) {
    stopPlaying();
    playerPid_ = running() ? Spawn({"paplay", file}) : -1;
    return playerPid_ > 0;
}

bool PrivateSoundServer::playing() {
    if (playerPid_ > 0 && waitpid(playerPid_, nullptr, WNOHANG) != 0) {
        playerPid_ = -1;
    }
    return playerPid_ > 0;
}

void PrivateSoundServer::stopPlaying() {
    if (playerPid_ > 0) {
        Stop(playerPid_, milliseconds(2000));
        playerPid_ = -1;
    }
}

}  // namespace glowtern::testing
