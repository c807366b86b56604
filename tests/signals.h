#ifndef SIGNALS_H
#define SIGNALS_H

// Generated materials for pitch detection and the detection written as plain loops, shared by
// the tests and the benchmarks so that both measure against the same reference.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace signals {

// CPU time of this process, in seconds: what the benchmarks divide audio time by.
double cpuSeconds();

// A fixed xorshift: the materials come out the same on every platform and every run.
class Noise {
public:
    explicit Noise(uint64_t seed);
    double uniform();  // in [-1, 1)

private:
    uint64_t state;
};

// How a generated singer sings: which notes, how far off key, how long and how bright. The
// defaults are the tests' singer, whose off-key notes are only ever sharp.
struct Singing {
    std::vector<int> notes = {57, 59, 60, 62, 64, 65, 67, 69, 71, 72, 74};  // drawn with equal chance
    double firstNote = 64.0;     // where the slide into the first note starts
    double offKeyAbove = 0.5;    // a draw in [-1, 1) above this puts a note 20-40 cents off
    bool flatToo = false;        // off-key notes may be flat as well as sharp
    double noteSeconds = 0.45;   // mean note length...
    double noteSpread = 0.2;     // ...give or take up to this
    double slideSeconds = 0.05;  // the glide from the previous note
    int harmonics = 4;           // 1 to 5
};

// Notes with vibrato and slides, breath noise under the voice and rests of digital silence.
std::vector<float> sungMelody(const Singing& singing, double seconds, int rate, uint64_t seed);

// A cello line from C2 to A3: bowed notes with vibrato and bow noise, legato or with short breaks
// between bows.
std::vector<float> bowedLine(double seconds, int rate, uint64_t seed);

// White noise through a one-pole low-pass.
std::vector<float> brownNoise(size_t frames, uint64_t seed);

// A glottal pulse train with jittered period and a falling contour through three formant
// resonators; syllables separated by hissed consonants and pauses.
std::vector<float> speechLike(double seconds, int rate, uint64_t seed);

// A tone falling from 110 Hz to 18 Hz, whose period the detection follows into windows of
// several thousand samples.
std::vector<float> fallingSweep(double seconds, int rate, uint64_t seed);

// The arrays the detection fills, as the analysis keeps them.
struct Detection {
    std::vector<int> waveWidth;
    std::vector<float> frequency;
    std::vector<double> midiValue;
};

// Arrays allocated and zeroed as the analysis's own are before it runs.
Detection emptyDetection(size_t frames);

// The end of the period that starts at `at`, and where between samples it lies.
struct PlainPeriod {
    int end;        // -1 where none is found
    double vertex;  // in [-0.5, 0.5]
};

// Where in [at + shortestLag, at + wide / 2) the wide / 2 samples from `at` repeat best; -1 where
// the window runs past the end, meets silence or nothing correlates above -1. A shortest lag
// below 1 counts as 1. A positive best is moved to the first shorter lag whose normalised match
// is at least 0.95 of the best's and a peak (above the lag before, not below the lag after). The
// vertex is that of the parabola through the normalised matches around the end, where both
// neighbours lie in the range and the matches bend down, clamped to half a sample.
PlainPeriod plainPeriod(const std::vector<float>& x, const std::vector<float>& frequency, int at, int wide,
                        int shortestLag = 20);

// The end alone.
int plainAutocorrelate(const std::vector<float>& x, const std::vector<float>& frequency, int at, int wide,
                       int shortestLag = 20);

// The whole detection, one plain loop per step, into the zeroed arrays of d. The lengths written
// for 44.1 kHz (shortest lag 20, first window, short period 29, silence 200) scale with the rate.
void plainDetection(const std::vector<float>& x, int rate, int firstWindow, Detection& d);

}  // namespace signals

#endif
