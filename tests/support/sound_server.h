#pragma once

#include <sys/types.h>

#include <deque>
#include <string>

#include "tests/support/temp_dir.h"

namespace glowtern::testing {

// A private PulseAudio server for one test: a null sink "t" whose monitor is the default
// source, so whatever is played into the sink is what a recording from the default device
// hears. Everything lives in a fresh temporary directory (runtime dir, cookie, config, tone
// files); this process's environment points libpulse (and so ALSA's "default" device) at the
// server until the object goes, when the server is stopped, the directory removed and the
// environment restored. The server runs in the foreground as a child that dies with this
// process, so a crashed test leaves no daemon behind.
class PrivateSoundServer {
  public:
    PrivateSoundServer();
    ~PrivateSoundServer();
    PrivateSoundServer(const PrivateSoundServer&) = delete;
    PrivateSoundServer& operator=(const PrivateSoundServer&) = delete;

    bool running() const { return serverPid_ > 0; }
    // Writes a sine tone (44.1 kHz stereo WAV, made by sox) into the server's directory and
    // returns its path, or "" on failure. `volume` 1 is full scale.
    std::string makeTone(double hertz, double seconds, double volume);
    // Starts playing `file` into the sink with paplay; a playback still running is stopped
    // first. False when paplay could not be started.
    bool play(const std::string& file);
    bool playing();  // while the last playback runs

  private:
    std::string directory_;
    pid_t serverPid_ = -1;
    pid_t playerPid_ = -1;
    std::deque<ScopedEnvironment> environment_;  // the clients' settings, undone at the end
};

}  // namespace glowtern::testing
