#include "platform/audio_pulse.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cstring>

namespace glowtern {

namespace {

using Clock = std::chrono::steady_clock;

// Dispatch rounds per service: enough for the fragments and events of one cycle, and a bound,
// so that no flood of messages can hold the worker.
constexpr int kServiceRounds = 16;
constexpr const char* kApplicationName = "Glowtern";
constexpr const char* kStreamName = "Sound to light";

bool Listed(const std::vector<SoundSource>& sources, std::string_view name) {
    return std::any_of(sources.begin(), sources.end(),
                       [&](const SoundSource& source) { return source.name == name; });
}

}  // namespace

std::string RecordingSourceFor(const SoundSourceChoice& choice, std::string_view defaultSink,
                               const std::vector<SoundSource>& sources) {
    switch (choice.from) {
        case SoundFrom::ThisComputer: {
            // Every sink's monitor is named after it, in PulseAudio and in PipeWire alike.
            const std::string monitor = std::string(defaultSink) + ".monitor";
            return !defaultSink.empty() && Listed(sources, monitor) ? monitor : "";
        }
        case SoundFrom::NamedSource:
            return !choice.name.empty() && Listed(sources, choice.name) ? choice.name : "";
        case SoundFrom::DefaultInput:
            break;
    }
    return "";
}

// libpulse calls these while the worker serves the main loop; they note what the server said
// and ask for what follows from it.
struct PulseCallbacks {
    static PulseCapture& capture(void* userdata) { return *static_cast<PulseCapture*>(userdata); }

    static void contextState(pa_context* context, void* userdata) {
        PulseCapture& self = capture(userdata);
        switch (pa_context_get_state(context)) {
            case PA_CONTEXT_READY:
                self.onContextReady();
                break;
            case PA_CONTEXT_FAILED:
            case PA_CONTEXT_TERMINATED:
                self.contextEnded_ = true;
                break;
            default:
                break;
        }
    }

    static void event(pa_context* context, pa_subscription_event_type_t type, uint32_t /*index*/,
                      void* userdata) {
        PulseCapture& self = capture(userdata);
        const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
        const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
        if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
            // The default input or output may have changed.
            if (pa_operation* op = pa_context_get_server_info(context, serverInfo, userdata)) {
                pa_operation_unref(op);
            }
        } else if (facility == PA_SUBSCRIPTION_EVENT_SOURCE &&
                   kind != PA_SUBSCRIPTION_EVENT_CHANGE) {
            // A source came or went (a change is a volume or a state, not a new name).
            self.requestSources();
        }
    }

    static void serverInfo(pa_context* /*context*/, const pa_server_info* info, void* userdata) {
        PulseCapture& self = capture(userdata);
        if (info != nullptr) {
            self.defaultSink_ = info->default_sink_name != nullptr ? info->default_sink_name : "";
            self.serverInfoKnown_ = true;
        }
    }

    static void sourceInfo(pa_context* /*context*/, const pa_source_info* info, int eol,
                           void* userdata) {
        PulseCapture& self = capture(userdata);
        if (eol == 0 && info != nullptr) {
            self.incomingSources_.push_back(
                {.name = info->name != nullptr ? info->name : "",
                 .description = info->description != nullptr && *info->description != '\0'
                                    ? info->description
                                    : (info->name != nullptr ? info->name : "")});
            return;
        }
        self.listing_ = false;
        if (eol > 0) {
            self.knownSources_.swap(self.incomingSources_);
            self.sourcesKnown_ = true;
            const std::lock_guard lock(self.sharedMutex_);
            self.published_ = self.knownSources_;
        }
        self.incomingSources_.clear();
        if (self.listAgain_) {
            self.requestSources();
        }
    }

    static void streamState(pa_stream* stream, void* userdata) {
        PulseCapture& self = capture(userdata);
        switch (pa_stream_get_state(stream)) {
            case PA_STREAM_READY:
                self.streamReady_ = true;
                break;
            case PA_STREAM_FAILED:
            case PA_STREAM_TERMINATED:
                self.streamReady_ = false;
                self.streamEnded_ = true;
                break;
            default:
                break;
        }
    }
};

PulseCapture::PulseCapture() : loop_(pa_mainloop_new()) {}

PulseCapture::~PulseCapture() {
    // Nothing here waits for the server: the stream's and the connection's ends are only
    // queued or the socket closed.
    closeStream();
    if (context_ != nullptr) {
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_set_subscribe_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
        pa_context_unref(context_);
    }
    if (loop_ != nullptr) {
        pa_mainloop_free(loop_);
    }
}

uint32_t PulseCapture::startRecording() {
    if (loop_ == nullptr) {
        return 0;
    }
    if (!wanted_) {
        wanted_ = true;
        link_ = Link::Connecting;
    }
    return kChannel;
}

void PulseCapture::chooseSource(const SoundSourceChoice& choice) {
    const std::lock_guard lock(sharedMutex_);
    chosen_ = choice;
    choiceChanged_.store(true);
}

std::vector<SoundSource> PulseCapture::sources() {
    const std::lock_guard lock(sharedMutex_);
    return published_;
}

void PulseCapture::connect(Clock::time_point now) {
    nextAttempt_ = now + kRetryPeriod;
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "glowtern");
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ICON_NAME, "glowtern");
    context_ =
        pa_context_new_with_proplist(pa_mainloop_get_api(loop_), kApplicationName, properties);
    pa_proplist_free(properties);
    if (context_ == nullptr) {
        return;
    }
    contextReady_ = false;
    contextEnded_ = false;
    pa_context_set_state_callback(context_, PulseCallbacks::contextState, this);
    pa_context_set_subscribe_callback(context_, PulseCallbacks::event, this);
    // Never start a server of our own: the desktop's is the one that hears what it plays.
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        contextEnded_ = true;
    }
}

void PulseCapture::onContextReady() {
    contextReady_ = true;
    link_ = Link::Connected;
    const auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SERVER |
                                                          PA_SUBSCRIPTION_MASK_SOURCE);
    if (pa_operation* op = pa_context_subscribe(context_, mask, nullptr, nullptr)) {
        pa_operation_unref(op);
    }
    if (pa_operation* op = pa_context_get_server_info(context_, PulseCallbacks::serverInfo, this)) {
        pa_operation_unref(op);
    }
    requestSources();
}

void PulseCapture::requestSources() {
    if (listing_) {
        listAgain_ = true;  // asked again when this listing ends
        return;
    }
    listAgain_ = false;
    incomingSources_.clear();
    if (pa_operation* op =
            pa_context_get_source_info_list(context_, PulseCallbacks::sourceInfo, this)) {
        listing_ = true;
        pa_operation_unref(op);
    }
}

void PulseCapture::dropConnection(Clock::time_point now) {
    // An attempt that ended before the server answered found none, unless it timed out: a
    // server that is there but does not answer (stopped) is waited for, not worked around.
    const bool noServer = !contextReady_ && pa_context_errno(context_) != PA_ERR_TIMEOUT;
    closeStream();
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_set_subscribe_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    context_ = nullptr;
    contextReady_ = false;
    contextEnded_ = false;
    serverInfoKnown_ = false;
    sourcesKnown_ = false;
    listing_ = false;
    listAgain_ = false;
    defaultSink_.clear();
    knownSources_.clear();
    incomingSources_.clear();
    {
        const std::lock_guard lock(sharedMutex_);
        published_.clear();
    }
    // A server that went away takes its sound with it: silence from now on.
    lastSound_ = {};
    link_ = noServer ? Link::NoServer : Link::Connecting;
    nextAttempt_ = std::max(nextAttempt_, now + kRetryPeriod);
}

void PulseCapture::followChoice(Clock::time_point now) {
    if (choiceChanged_.exchange(false)) {
        const std::lock_guard lock(sharedMutex_);
        choice_ = chosen_;
    }
    if (!contextReady_ || !serverInfoKnown_ || !sourcesKnown_) {
        return;  // the stream starts on the right source, not on one it would leave at once
    }
    if (stream_ != nullptr && streamEnded_) {
        closeStream();
        nextStream_ = now + kRetryPeriod;  // a source that refuses is not asked again at once
    }
    const std::string source = RecordingSourceFor(choice_, defaultSink_, knownSources_);
    if (stream_ != nullptr && source != streamSource_) {
        closeStream();
        nextStream_ = now;
    }
    if (stream_ == nullptr && now >= nextStream_) {
        openStream(source);
        if (stream_ == nullptr) {
            nextStream_ = now + kRetryPeriod;
        }
    }
}

void PulseCapture::openStream(const std::string& source) {
    const pa_sample_spec sampleFormat{
        .format = PA_SAMPLE_S16LE, .rate = static_cast<uint32_t>(kSampleRate), .channels = 1};
    stream_ = pa_stream_new(context_, kStreamName, &sampleFormat, nullptr);
    if (stream_ == nullptr) {
        return;
    }
    streamReady_ = false;
    streamEnded_ = false;
    streamSource_ = source;
    pa_stream_set_state_callback(stream_, PulseCallbacks::streamState, this);
    constexpr auto kAny = static_cast<uint32_t>(-1);
    // Fragments of kFragmentFrames, and the source's latency set to match (a source that
    // another client asks to be faster delivers smaller pieces); the server keeps at most a
    // second for a reader that is late.
    const pa_buffer_attr attributes{.maxlength = static_cast<uint32_t>(kSampleRate) * 2,
                                    .tlength = kAny,
                                    .prebuf = kAny,
                                    .minreq = kAny,
                                    .fragsize = kFragmentFrames * 2};
    if (pa_stream_connect_record(stream_, source.empty() ? nullptr : source.c_str(), &attributes,
                                 PA_STREAM_ADJUST_LATENCY) < 0) {
        closeStream();
    }
}

void PulseCapture::closeStream() {
    if (stream_ == nullptr) {
        return;
    }
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    const pa_stream_state_t state = pa_stream_get_state(stream_);
    if (state == PA_STREAM_CREATING || state == PA_STREAM_READY) {
        pa_stream_disconnect(stream_);
    }
    pa_stream_unref(stream_);
    stream_ = nullptr;
    streamReady_ = false;
    streamEnded_ = false;
    streamSource_.clear();
}

void PulseCapture::takeRecorded() {
    if (stream_ == nullptr || !streamReady_) {
        return;
    }
    bool arrived = false;
    const void* data = nullptr;
    size_t bytes = 0;
    while (pa_stream_peek(stream_, &data, &bytes) == 0 && bytes > 0) {
        // (No data with a length is a hole the server left: nothing to take.)
        const auto* cursor = static_cast<const uint8_t*>(data);
        std::size_t frames = data != nullptr ? bytes / sizeof(int16_t) : 0;
        while (frames > 0) {
            const std::size_t piece = std::min(frames, readBuffer_.size());
            std::memcpy(readBuffer_.data(), cursor, piece * sizeof(int16_t));
            ring_.push(readBuffer_.data(), piece);
            cursor += piece * sizeof(int16_t);
            frames -= piece;
            arrived = true;
        }
        pa_stream_drop(stream_);
    }
    if (arrived) {
        lastSound_ = Clock::now();
    }
}

void PulseCapture::service() {
    if (!wanted_ || loop_ == nullptr) {
        return;
    }
    Clock::time_point now = Clock::now();
    if (context_ == nullptr && now >= nextAttempt_) {
        connect(now);
    }
    for (int round = 0; round < kServiceRounds; ++round) {
        if (pa_mainloop_iterate(loop_, 0, nullptr) <= 0) {
            break;
        }
    }
    now = Clock::now();
    if (context_ != nullptr && contextEnded_) {
        dropConnection(now);
    }
    if (context_ != nullptr) {
        followChoice(now);
    }
    takeRecorded();
}

bool PulseCapture::hasFreshSound() const {
    return lastSound_ != Clock::time_point{} && Clock::now() - lastSound_ <= kStaleAfter;
}

void PulseCapture::analyse(float* magnitudes) {
    if (!hasFreshSound()) {
        std::fill(magnitudes, magnitudes + kSpectrumBins, 0.0f);
        return;
    }
    analyser_.analyse(ring_, magnitudes);
}

void PulseCapture::fetchSpectrum(uint32_t channel, float* magnitudes) {
    if (channel != kChannel || !wanted_) {
        return;
    }
    service();
    analyse(magnitudes);
}

uint64_t PulseCapture::samplesRecorded() {
    service();
    return ring_.written();
}

}  // namespace glowtern
