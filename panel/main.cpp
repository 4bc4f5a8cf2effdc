// glowtern-panel: a virtual parallel port and USB light device for Glowtern, with every lamp
// on screen. Glowtern turns to it by itself when the machine has no parallel port.
//
//   glowtern-panel [--log FILE] [--ready] [Qt options]   run the panel
//   glowtern-panel --print-socket                        print where it listens, and end
//
// --log FILE writes every write received, one line each: "<monotonic ns> DATA 0x02",
// "<ns> CONTROL 0x0b", "<ns> USB 0x00 0x41", and the connections coming and going.
// --ready prints the socket's path on standard output once the panel takes connections,
// so that a script can start Glowtern right then. Exit status 3: a panel already runs.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/light_panel_client.h"
#include "platform/light_panel_server.h"
#include "platform/termination.h"
#include "toolkit/qt/light_panel_window.h"

namespace glowtern {
namespace {

struct Options {
    std::string logPath;
    bool printSocket = false;
    bool ready = false;
    bool help = false;
    std::string error;
};

// Takes the panel's own options out of argv; the rest is left for Qt.
Options takeOptions(int& argc, char** argv) {
    Options options;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--log") {
            if (i + 1 >= argc) {
                options.error = "--log needs a file name";
                break;
            }
            options.logPath = argv[++i];
        } else if (argument.rfind("--log=", 0) == 0) {
            options.logPath = argument.substr(6);
        } else if (argument == "--print-socket") {
            options.printSocket = true;
        } else if (argument == "--ready") {
            options.ready = true;
        } else if (argument == "--help" || argument == "-h") {
            options.help = true;
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    argv[argc] = nullptr;
    return options;
}

std::string statusText(const LightPanelServer& server, const std::string& path) {
    if (server.clientCount() == 0) {
        return "Waiting for Glowtern at " + path;
    }
    const uint8_t roles = server.clientRoles();
    std::string text = "Glowtern connected:";
    text += (roles & kPanelPort) ? " writing the parallel port" : " parallel port idle";
    text += (roles & kPanelUsbDevice) ? ", USB light device open" : ", USB light device closed";
    return text;
}

int run(int argc, char** argv) {
    const Options options = takeOptions(argc, argv);
    if (!options.error.empty() || options.help) {
        std::fprintf(options.help ? stdout : stderr,
                     "%s%susage: glowtern-panel [--log FILE] [--ready] | --print-socket\n",
                     options.error.c_str(), options.error.empty() ? "" : "\n");
        return options.help ? 0 : 2;
    }
    const std::string path = LightPanelSocketPath(!options.printSocket);
    if (options.printSocket) {
        std::printf("%s\n", path.c_str());
        return path.empty() ? 1 : 0;
    }
    if (path.empty()) {
        std::fprintf(stderr,
                     "glowtern-panel: no private place for the socket "
                     "(set XDG_RUNTIME_DIR)\n");
        return 1;
    }

    // The window first: without a display there is no panel, and no socket is left behind.
    const int terminationFd = InstallTerminationPipe();
    LightPanelWindow window(argc, argv);

    LightPanelServer server;
    if (!options.logPath.empty()) {
        const int logFd = ::open(options.logPath.c_str(),
                                 O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
        if (logFd < 0) {
            std::fprintf(stderr, "glowtern-panel: cannot write %s: %s\n", options.logPath.c_str(),
                         std::strerror(errno));
            return 1;
        }
        server.setLog(logFd);
    }
    std::string error;
    const LightPanelServer::ListenResult listening = server.listen(path, error);
    if (listening != LightPanelServer::ListenResult::Listening) {
        std::fprintf(stderr, "glowtern-panel: %s\n", error.c_str());
        return listening == LightPanelServer::ListenResult::PanelRunning ? 3 : 1;
    }
    if (options.ready) {
        std::printf("%s\n", path.c_str());
        std::fflush(stdout);
    }

    // The server's descriptor also turns readable when a connection has been silent too
    // long, so the panel hangs up on it without any other wake-up.
    window.watch(server.pollFd(), [&server, &window] {
        const uint64_t before = server.changeCount();
        server.process(0);
        if (server.changeCount() != before) {
            window.changed();
        }
    });
    if (terminationFd >= 0) {
        window.watch(terminationFd, [&window] { window.quit(); });
    }
    window.setUsbPluggedHandler([&server, &window](bool plugged) {
        server.setUsbPlugged(plugged);
        window.changed();
    });
    window.setPictureSource([&server, &path](LightPanelPicture& picture) {
        PanelLamps& lamps = server.lamps();
        TrimPanelHistory(lamps, PanelMonotonicNanoseconds());
        picture.lines = lamps.lines;
        picture.pins = lamps.pins;
        picture.usbPlugged = server.usbPlugged();
        picture.status = statusText(server, path);
        picture.history.clear();
        for (const PanelLineChange& change : lamps.history) {
            picture.history.push_back({change.nanoseconds, change.lines});
        }
    });
    const int status = window.run();
    server.close();
    return status;
}

}  // namespace
}  // namespace glowtern

int main(int argc, char** argv) {
    return glowtern::run(argc, argv);
}
