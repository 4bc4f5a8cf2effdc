#include "tests/support/sound_server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

extern char** environ;

namespace glowtern::testing {

namespace {

using std::chrono::milliseconds;

// Starts `args` as a child with its standard streams on /dev/null; `environment` replaces the
// environment when not empty. The child gets SIGKILL when this process ends first.
pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& environment) {
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& e : environment) {
        envp.push_back(const_cast<char*>(e.c_str()));
    }
    envp.push_back(nullptr);

    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(1);
        }
        const int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, 0);
        dup2(devnull, 1);
        dup2(devnull, 2);
        if (environment.empty()) {
            execvp(argv[0], argv.data());
        } else {
            execvpe(argv[0], argv.data(), envp.data());
        }
        _exit(127);
    }
    return pid;
}

// Runs a command to its end; its exit status, or -1.
int Run(const std::vector<std::string>& args) {
    const pid_t pid = Spawn(args, {});
    if (pid < 0) {
        return -1;
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
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

// This process's environment with `overrides` ("NAME=value") in place and `removed` taken out.
std::vector<std::string> EnvironmentWith(const std::vector<std::string>& overrides,
                                         const std::vector<std::string>& removed) {
    std::vector<std::string> result;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        bool keep = true;
        for (const std::string& o : overrides) {
            keep = keep && o.substr(0, o.find('=')) != name;
        }
        for (const std::string& r : removed) {
            keep = keep && r != name;
        }
        if (keep) {
            result.push_back(entry);
        }
    }
    result.insert(result.end(), overrides.begin(), overrides.end());
    return result;
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
    const std::vector<std::string> serverEnvironment =
        EnvironmentWith({"HOME=" + directory_, "XDG_CONFIG_HOME=" + directory_ + "/config",
                         "XDG_RUNTIME_DIR=" + directory_,
                         "DBUS_SESSION_BUS_ADDRESS=unix:path=" + directory_ + "/no-bus"},
                        {"DISPLAY", "PULSE_SERVER", "PULSE_COOKIE"});
    const pid_t pid =
        Spawn({"pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "-n", "--high-priority=no",
               "--realtime=no", "--log-target=stderr", "--load=module-null-sink sink_name=t",
               "--load=module-native-protocol-unix auth-anonymous=1"},
              serverEnvironment);
    if (pid < 0) {
        return;
    }

    // Clients of this process (ALSA's pulse plugin inside PortAudio, pactl, paplay) talk to
    // this server only, and never write a cookie outside the directory.
    const std::vector<std::pair<std::string, std::string>> clientEnvironment = {
        {"XDG_RUNTIME_DIR", directory_},
        {"PULSE_SERVER", "unix:" + directory_ + "/pulse/native"},
        {"PULSE_COOKIE", directory_ + "/cookie"},
    };
    for (const auto& [name, value] : clientEnvironment) {
        if (const char* old = std::getenv(name.c_str())) {
            savedEnvironment_.emplace_back(name, old);
        } else {
            unsetEnvironment_.push_back(name);
        }
        setenv(name.c_str(), value.c_str(), 1);
    }

    // Ready once the sink exists and its monitor has become the default source.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitpid(pid, nullptr, WNOHANG) != 0) {
            return;  // the server ended by itself
        }
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
    if (!directory_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }
    restoreEnvironment();
}

void PrivateSoundServer::restoreEnvironment() {
    for (const auto& [name, value] : savedEnvironment_) {
        setenv(name.c_str(), value.c_str(), 1);
    }
    for (const std::string& name : unsetEnvironment_) {
        unsetenv(name.c_str());
    }
}

std::string PrivateSoundServer::makeTone(double hertz, double seconds, double volume) {
    if (directory_.empty()) {
        return "";
    }
    static int made = 0;
    const std::string path = directory_ + "/tone-" + std::to_string(++made) + ".wav";
    if (Run({"sox", "-n", "-r", "44100", "-c", "2", path, "synth", std::to_string(seconds), "sine",
             std::to_string(hertz), "vol", std::to_string(volume)}) != 0) {
        return "";
    }
    return path;
}

bool PrivateSoundServer::play(const std::string& file) {
    stopPlaying();
    if (!running()) {
        return false;
    }
    playerPid_ = Spawn({"paplay", file}, {});
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
