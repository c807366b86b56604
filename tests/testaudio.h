#ifndef TESTAUDIO_H
#define TESTAUDIO_H

// Signals and files that tests make for themselves.

#include <sndfile.h>
#include <sys/resource.h>

#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "takes.h"

class WaveHandler;
struct SaveOutcome;

namespace testaudio {

// A fresh folder under $TMPDIR (else the build folder's tmp/, else /tmp), named
// after the test tag. It is removed with everything in it when the test that made
// it ends; one made outside a test goes when the test program ends.
std::string makeTempDir(const std::string& tag);

// Sine of a whole number of samples per period, so periods are exact.
std::vector<float> sinePeriod(int period, int frames, float amplitude = 0.5f);

// A harmonic tone (fundamental plus two weaker harmonics) with the given period.
std::vector<float> harmonicPeriod(int period, int frames, float amplitude = 0.5f);

struct Note {
    double hz;   // 0 for a rest (digital silence)
    int frames;
};

// Notes joined phase-continuously; harmonic timbre; rests are exact zeros.
std::vector<float> melody(const std::vector<Note>& notes, int rate, float amplitude = 0.5f);

// A harmonic tone whose pitch follows midiAt(seconds from the start), phase-continuous: vibrato,
// scoops, drifts and legato lines.
std::vector<float> pitchCurveTone(const std::function<double(double)>& midiAt, int frames, int rate,
                                  float amplitude = 0.5f);

enum class Waveform { SINE, SQUARE, SAWTOOTH };

// A steady tone holding every harmonic of its waveform below half the rate (1/k each for the
// sawtooth, odd harmonics only for the square), so that nothing folds back.
std::vector<float> steadyTone(Waveform shape, double hz, int frames, int rate, float amplitude = 0.5f);

// White noise through a one-pole low-pass: the slowest material for pitch detection.
std::vector<float> brownNoise(int frames, unsigned seed = 1);

double midiToHz(double midi);
double hzToMidi(double hz);

// Writes interleaved samples; format e.g. SF_FORMAT_WAV | SF_FORMAT_PCM_16.
void writeFile(const std::string& path, const std::vector<float>& samples, int rate, int channels, int format);

// Reads the whole file as interleaved floats and fills info.
std::vector<float> readFile(const std::string& path, SF_INFO* info);

// A file's bytes; "" when it cannot be read.
std::string fileBytes(const std::string& path);
void putBytes(const std::string& path, const std::string& bytes);
// The names in a folder, sorted, without "." and "..".
std::vector<std::string> namesIn(const std::string& folder);

// The last component of a path.
std::string fileName(const std::string& path);

// Frequency of [start, end) from the mean spacing of rising zero crossings.
double zeroCrossingHz(const std::vector<float>& samples, int start, int end, int rate);

// Collects what the code under test writes to standard output while it lives.
class CoutCapture {
public:
    CoutCapture();
    ~CoutCapture();
    std::string text() const;
    void clear();

private:
    std::ostringstream captured;
    std::streambuf* saved;
};

// How many times `line` stands in `text`, occurrences not overlapping.
int countOf(const std::string& text, const std::string& line);

// Standard MIDI files at one tick per millisecond, rendered by fluidsynth.
using takes::fluidsynthSoundFont;
using takes::midiFileOfTrack;
using takes::putVariableLength;
// Renders the MIDI file at 44.1 kHz in a folder of the test, mixed to one channel; empty when fluidsynth fails.
std::vector<float> renderWithFluidsynth(const std::vector<unsigned char>& midi, const std::string& name);

// Loads a 441 Hz tone (period 100) of `frames` mono float frames into the document.
void loadTone(WaveHandler& doc, int frames, const std::string& tag);

// Sets an environment variable for as long as it lives; the earlier value comes back after.
class ScopedVariable {
public:
    ScopedVariable(const std::string& name, const std::string& value);
    ~ScopedVariable();
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    std::string name;
    bool wasSet;
    std::string earlier;
};

// Saves `frames` of a 441 Hz tone (16-bit WAV, mono, 44.1 kHz) over
// `target` through the safe save. With `started`, a byte goes to that file
// descriptor once the first block is written.
SaveOutcome saveTone(const std::string& target, long long frames, int started = -1);

// Runs `work` in a child process: what it returned, or nothing when it had
// not answered within `seconds` (it is killed then).
std::optional<std::string> answeredWithin(int seconds, const std::function<std::string()>& work);

// When interruptedSave signals the save it started.
enum class Interrupt {
    WhileWritingAudio,     // once the first block of audio is written
    WhenTheTargetChanges,  // once the target's size or time stamp moves
};

// Saves `frames` of a 441 Hz tone (16-bit WAV) over `target` through the
// safe save in a child process, sends it `signal` at the moment `when` asks,
// and returns the child's wait status; -1 when that moment never came.
int interruptedSave(const std::string& target, long long frames, int signal, Interrupt when);

// True in a build with AddressSanitizer, whose shadow memory needs a vast address space.
bool underAddressSanitizer();

// Caps this process's address space a little above what it uses now, as a
// smaller machine would, for as long as it lives; does nothing under AddressSanitizer.
class AddressSpaceHeadroom {
public:
    explicit AddressSpaceHeadroom(rlim_t bytes);
    ~AddressSpaceHeadroom();
    AddressSpaceHeadroom(const AddressSpaceHeadroom&) = delete;
    AddressSpaceHeadroom& operator=(const AddressSpaceHeadroom&) = delete;

private:
    rlimit saved;
};

}  // namespace testaudio

#endif
