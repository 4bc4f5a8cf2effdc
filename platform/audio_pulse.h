#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/audio.h"
#include "platform/sample_ring.h"
#include "platform/spectrum_analyser.h"

struct pa_context;
struct pa_mainloop;
struct pa_stream;

namespace glowtern {

// The source a recording for `choice` takes, given what the server reports: its default
// output (sink) and its sources. "" stands for the server's own default input. A named source
// that is not there, and a default output whose monitor is not (yet) listed, give "".
std::string RecordingSourceFor(const SoundSourceChoice& choice, std::string_view defaultSink,
                               const std::vector<SoundSource>& sources);

// Recording through the sound server's own client library (libpulse: PulseAudio, and
// PipeWire's pulse server). Nothing runs on its own: the connection lives on a plain
// pa_mainloop that every fetch serves without waiting (poll with a zero timeout), so the
// worker's one wake-up per cycle also takes in the sound the server sent since the last one,
// straight into the sample ring. The server sends it in fragments of kFragmentFrames.
//
// The server is watched for its default devices and its sources; the stream follows the
// choice (chooseSource): the default input (the server's own routing, so a stream moved in
// pavucontrol stays where it was put), the monitor of the default output (following it when the
// default output changes) or a named source (the default input while that one is not there).
//
// A server that is not there, or goes, gives silence and a new connection attempt every
// kRetryPeriod; a server that stops sending gives silence after kStaleAfter. No call waits on
// the server, and closing sends nothing that needs an answer. Serve it from one thread at a
// time (the worker); chooseSource() and sources() may be called from any thread.
class PulseCapture final : public AudioCapture {
  public:
    // Half a cycle: the newest sound is at most 25 ms old when a fetch comes (one cycle's
    // fragments would make the lamps about 12 ms later on average, 25 ms at worst), and the
    // server hands over two pieces a cycle, which costs the worker a few microseconds.
    static constexpr int kFragmentFrames = kSampleRate / 40;
    static constexpr std::chrono::milliseconds kRetryPeriod{1000};
    static constexpr std::chrono::milliseconds kStaleAfter{300};

    // How the connection to the server stands after the last service().
    enum class Link {
        Idle,        // not asked to record
        NoServer,    // the last attempt found no server (none listening, or it went meanwhile)
        Connecting,  // an attempt is under way, or the server went and the next one is due
        Connected,   // the server answers
    };

    PulseCapture();
    ~PulseCapture() override;
    PulseCapture(const PulseCapture&) = delete;
    PulseCapture& operator=(const PulseCapture&) = delete;

    // Starts connecting (on the next service) and gives the channel at once.
    uint32_t startRecording() override;
    void fetchSpectrum(uint32_t channel, float* magnitudes) override;
    bool offersSourceChoice() const override { return true; }
    void chooseSource(const SoundSourceChoice& choice) override;
    std::vector<SoundSource> sources() override;

    // Everything a fetch does before the analysis: a connection attempt when one is due, the
    // server's messages and the sound that arrived. Never waits.
    void service();
    Link link() const { return link_; }
    // Sound arrived within kStaleAfter.
    bool hasFreshSound() const;
    // The spectrum of the newest sound (silence when it is not fresh), without serving first.
    void analyse(float* magnitudes);
    // Samples recorded so far (served first).
    uint64_t samplesRecorded();
    // The source the stream records from ("" the server's default input), and whether it has
    // been set up; for tests.
    std::string recordingFrom() const { return streamSource_; }
    bool streaming() const { return streamReady_; }

  private:
    static constexpr uint32_t kChannel = 1;
    static constexpr std::size_t kReadFrames = 4096;

    void connect(std::chrono::steady_clock::time_point now);
    void dropConnection(std::chrono::steady_clock::time_point now);
    void onContextReady();
    void requestSources();
    void followChoice(std::chrono::steady_clock::time_point now);
    void openStream(const std::string& source);
    void closeStream();
    void takeRecorded();

    friend struct PulseCallbacks;  // libpulse's callbacks, which only note what happened

    // Worker side.
    pa_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    bool wanted_ = false;
    Link link_ = Link::Idle;
    bool contextReady_ = false;
    bool contextEnded_ = false;
    bool serverInfoKnown_ = false;
    bool sourcesKnown_ = false;
    bool listing_ = false;      // a source listing is under way
    bool listAgain_ = false;    // sources changed while it was
    bool streamEnded_ = false;  // the stream failed or the server ended it
    bool streamReady_ = false;
    std::string streamSource_;  // what the stream was opened on
    std::string defaultSink_;
    std::vector<SoundSource> knownSources_;
    std::vector<SoundSource> incomingSources_;
    SoundSourceChoice choice_;
    std::chrono::steady_clock::time_point nextAttempt_{};
    std::chrono::steady_clock::time_point nextStream_{};
    std::array<int16_t, kReadFrames> readBuffer_{};
    SampleRing ring_;
    SpectrumAnalyser analyser_;
    std::chrono::steady_clock::time_point lastSound_{};

    // Shared with other threads.
    mutable std::mutex sharedMutex_;
    SoundSourceChoice chosen_;  // the newest choice
    std::atomic<bool> choiceChanged_{false};
    std::vector<SoundSource> published_;  // the sources for menus
};

}  // namespace glowtern
