#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace glowtern {

inline constexpr int kSampleRate = 22050;   // recording rate, mono
inline constexpr int kFftLength = 4096;     // samples per spectrum
inline constexpr int kSpectrumBins = 2048;  // magnitudes per spectrum

// Where the sound comes from.
enum class SoundFrom : int32_t {
    DefaultInput = 0,  // the sound server's default input (a microphone, a line in)
    ThisComputer = 1,  // what this computer plays: the monitor of the default output
    NamedSource = 2,   // one source by its name; the default input while it is not there
};

struct SoundSourceChoice {
    SoundFrom from = SoundFrom::DefaultInput;
    std::string name{};  // NamedSource only
    bool operator==(const SoundSourceChoice&) const = default;
};

// A source the sound server offers.
struct SoundSource {
    std::string name{};         // the server's name, kept in the settings
    std::string description{};  // what a person reads in a menu
    bool operator==(const SoundSource&) const = default;
};

// Sound recording from the default input or a chosen source, and spectra of the newest sound.
class AudioCapture {
  public:
    virtual ~AudioCapture() = default;

    // Starts recording (mono, 22050 Hz, 16-bit) at once. Returns the recording
    // channel, or 0 when recording cannot start; nothing is reported. Called on the main
    // thread at start-up, and again by the worker while no recording runs; a running
    // recording gives its channel again. A recording that waits for a sound server gives its
    // channel at once and delivers silence until a server answers.
    virtual uint32_t startRecording() = 0;

    // Writes the magnitudes of a Hann-windowed 4096-point FFT of the newest 4096
    // samples into magnitudes[0..2047]: bin k is k * 22050 / 4096 Hz and holds
    // 2 * |X[k]| / 4096. Leaves the array untouched when the channel does not
    // record; gives silence (zeros) when the recording has delivered nothing new for
    // a while (a sound server stopped or gone). Never waits; the analysis never allocates
    // (a sound server's client library may, while it takes in what the server sent).
    virtual void fetchSpectrum(uint32_t channel, float* magnitudes) = 0;

    // Whether the recording can be pointed at another source than the default input (by
    // chooseSource); one that cannot keeps to its one input, and the program offers no choice.
    virtual bool offersSourceChoice() const { return false; }

    // Records from `choice` from now on (any thread; it takes effect within a fetch or two).
    // A recording without a choice of sources keeps to its one input.
    virtual void chooseSource(const SoundSourceChoice& choice) { (void)choice; }

    // The sources to choose from as last reported (any thread; empty while no sound server
    // answers). Never talks to the server itself.
    virtual std::vector<SoundSource> sources() { return {}; }
};

}  // namespace glowtern
