// Pitch detection speed: the shipped detection against the plain loop it must reproduce exactly.
// Usage: bench_analysis [seconds of the short materials, default 60] [minutes of the long melody, default 10]

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "Analysis.h"

namespace {

const int RATE = 44100;
const int WINDOW = 1024;

double cpuSeconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + 1e-9 * t.tv_nsec;
}

// ---------------------------------------------------------------------------------------------
// The reference: the detection exactly as written, one plain loop per step.

struct Detection {
    std::vector<int> waveWidth;
    std::vector<float> frequency;
    std::vector<double> midiValue;
};

int plainAutocorrelate(const std::vector<float>& x, const std::vector<float>& frequency, int at, int wide) {
    if (static_cast<long long>(at) + wide > static_cast<long long>(x.size())) return -1;
    int half = wide / 2;
    for (int k = at; k < at + half; k++) {
        if (frequency[k] == -1.0f) return -1;
    }
    double maximum = -1.0;
    int maximumAt = -1;
    for (int i = at + 20; i < at + half; i++) {
        double sum = 0.0;
        for (int j = 0; j < half; j++) sum += static_cast<double>(x[at + j]) * static_cast<double>(x[i + j]);
        if (sum > maximum) {
            maximum = sum;
            maximumAt = i;
        }
    }
    return maximumAt;
}

// Fills d, whose arrays are allocated and zeroed beforehand as the analysis's own are.
void plainDetection(const std::vector<float>& x, Detection& d) {
    int n = static_cast<int>(x.size());
    int startAt = -1;
    for (int at = 0; at < n; at++) {
        if (std::fabs(x[at]) > 0 || at == n - 1) {
            if (startAt != -1 && at - startAt > 200) {
                for (int k = startAt; k < at; k++) d.frequency[k] = -1.0f;
            }
            startAt = -1;
        } else if (startAt == -1) {
            startAt = at;
        }
    }
    int priorWidth = -1;
    for (int i = 0; i < n;) {
        if (d.frequency[i] == -1.0f) {
            i++;
            continue;
        }
        int wide = priorWidth > 29 ? static_cast<int>(priorWidth * 3.0) : WINDOW;
        int match = plainAutocorrelate(x, d.frequency, i, wide);
        if (match == -1) {
            i++;
            continue;
        }
        d.waveWidth[i] = match - i;
        float freq = static_cast<float>(RATE) / (match - i);
        for (int k = i; k <= match; k++) d.frequency[k] = freq;
        priorWidth = match - i;
        i = match;
    }
    for (int i = 0; i < n; i++) {
        if (d.frequency[i] == 0.0f) d.frequency[i] = -1.0f;
        d.midiValue[i] = d.frequency[i] > 10.0f ? 12.0 * std::log(d.frequency[i] / 220.0) / std::log(2.0) + 57.01 : -1.0;
    }
}

// ---------------------------------------------------------------------------------------------
// Materials, generated with a fixed xorshift so that every run measures the same samples.

class Noise {
public:
    explicit Noise(uint64_t seed) : state(seed * 2654435761u + 1) {}
    double uniform() {  // in [-1, 1)
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return static_cast<double>(state >> 11) / 4503599627370496.0 - 1.0;
    }

private:
    uint64_t state;
};

// Notes with vibrato and slides, some 20-40 cents off, breath noise and rests of silence.
std::vector<float> sungMelody(double seconds, uint64_t seed) {
    static const int notes[] = {55, 57, 59, 60, 62, 64, 65, 67, 69, 71, 72};
    Noise noise(seed);
    std::vector<float> out;
    size_t total = static_cast<size_t>(seconds * RATE);
    double phase = 0.0, midi = 62.0;
    while (out.size() < total) {
        if (noise.uniform() > 0.7) {
            out.resize(out.size() + static_cast<size_t>((0.3 + 0.1 * noise.uniform()) * RATE), 0.0f);
            continue;
        }
        double target = notes[static_cast<int>((noise.uniform() + 1.0) * 5.5)];
        if (noise.uniform() > 0.6) target += (noise.uniform() > 0 ? 1 : -1) * (0.2 + 0.1 * (noise.uniform() + 1.0));
        int frames = static_cast<int>((0.5 + 0.25 * noise.uniform()) * RATE);
        double start = midi;
        for (int k = 0; k < frames; k++) {
            double t = static_cast<double>(k) / RATE;
            double slide = t < 0.06 ? start + (target - start) * t / 0.06 : target;
            double vibrato = t > 0.15 ? 0.3 * std::sin(2.0 * M_PI * 5.5 * t) : 0.0;
            double hz = 440.0 * std::pow(2.0, (slide + vibrato - 69.0) / 12.0);
            phase = std::fmod(phase + 2.0 * M_PI * hz / RATE, 2.0 * M_PI);
            double envelope = std::fmin(1.0, std::fmin(t / 0.02, (frames - k) / (0.03 * RATE)));
            double voice = std::sin(phase) + 0.5 * std::sin(2 * phase) + 0.25 * std::sin(3 * phase) +
                           0.12 * std::sin(4 * phase) + 0.06 * std::sin(5 * phase);
            out.push_back(static_cast<float>(envelope * (0.3 * voice + 0.003 * noise.uniform())));
        }
        midi = target;
    }
    out.resize(total);
    return out;
}

// White noise through a one-pole low-pass.
std::vector<float> brownNoise(double seconds, uint64_t seed) {
    Noise noise(seed);
    std::vector<float> out(static_cast<size_t>(seconds * RATE));
    double y = 0.0;
    for (float& v : out) {
        y = 0.995 * y + 0.005 * noise.uniform();
        v = static_cast<float>(8.0 * y);
    }
    return out;
}

// A glottal pulse train with jittered period and a falling contour through three formant
// resonators; syllables separated by hissed consonants and pauses.
std::vector<float> speechLike(double seconds, uint64_t seed) {
    static const double vowels[][3] = {{730, 1090, 2440}, {270, 2290, 3010}, {570, 840, 2410}, {440, 1020, 2240}};
    Noise noise(seed);
    std::vector<float> out;
    size_t total = static_cast<size_t>(seconds * RATE);
    while (out.size() < total) {
        const double* formants = vowels[static_cast<int>((noise.uniform() + 1.0) * 2.0) % 4];
        double y1[3] = {0, 0, 0}, y2[3] = {0, 0, 0};
        double basePitch = 120.0 + 30.0 * noise.uniform();
        int frames = static_cast<int>((0.25 + 0.1 * noise.uniform()) * RATE);
        double pulsePhase = 0.0, periodJitter = 1.0;
        for (int k = 0; k < frames; k++) {
            double hz = basePitch * (1.0 - 0.15 * k / frames) * periodJitter;
            pulsePhase += hz / RATE;
            if (pulsePhase >= 1.0) {
                pulsePhase -= 1.0;
                periodJitter = 1.0 + 0.02 * noise.uniform();
            }
            double source = pulsePhase < 0.6 ? 0.5 * (1.0 - std::cos(M_PI * pulsePhase / 0.6)) : 0.0;
            double sum = 0.0;
            for (int f = 0; f < 3; f++) {
                double r = std::exp(-M_PI * 90.0 / RATE);
                double c = 2.0 * r * std::cos(2.0 * M_PI * formants[f] / RATE);
                double y = source * (1.0 - r) + c * y1[f] - r * r * y2[f];
                y2[f] = y1[f];
                y1[f] = y;
                sum += y / (f + 1);
            }
            double envelope = std::fmin(1.0, std::fmin(k / (0.03 * RATE), (frames - k) / (0.04 * RATE)));
            out.push_back(static_cast<float>(0.5 * envelope * sum));
        }
        int hiss = static_cast<int>(0.06 * RATE);
        for (int k = 0; k < hiss; k++) out.push_back(static_cast<float>(0.05 * noise.uniform()));
        out.resize(out.size() + static_cast<size_t>((0.12 + 0.05 * noise.uniform()) * RATE), 0.0f);
    }
    out.resize(total);
    return out;
}

// A tone falling from 110 Hz to 18 Hz, whose period the detection follows into windows of
// several thousand samples.
std::vector<float> fallingSweep(double seconds) {
    std::vector<float> out(static_cast<size_t>(seconds * RATE));
    double phase = 0.0;
    Noise noise(5);
    for (size_t i = 0; i < out.size(); i++) {
        double hz = 110.0 * std::pow(18.0 / 110.0, static_cast<double>(i) / out.size());
        phase = std::fmod(phase + 2.0 * M_PI * hz / RATE, 2.0 * M_PI);
        out[i] = static_cast<float>(0.4 * std::sin(phase) + 0.1 * std::sin(2 * phase) + 0.002 * noise.uniform());
    }
    return out;
}

// ---------------------------------------------------------------------------------------------

template <typename T>
bool sameArray(const std::vector<T>& expected, const T* actual) {
    for (size_t i = 0; i < expected.size(); i++) {
        if (!(expected[i] == actual[i])) return false;
    }
    return true;
}

void compare(const char* material, std::vector<float>& samples) {
    double audioSeconds = static_cast<double>(samples.size()) / RATE;
    size_t n = samples.size();
    // Both sides get their result arrays allocated and zeroed before the clock starts.
    Detection reference{std::vector<int>(n, 0), std::vector<float>(n, 0.0f), std::vector<double>(n, 0.0)};
    WaveAnalysis shipped(samples.data(), static_cast<int>(n), RATE, WINDOW, nullptr);
    double t0 = cpuSeconds();
    plainDetection(samples, reference);
    double t1 = cpuSeconds();
    shipped.findFrequencies();
    double t2 = cpuSeconds();
    bool identical = sameArray(reference.waveWidth, shipped.waveWidth) &&
                     sameArray(reference.frequency, shipped.frequency) &&
                     sameArray(reference.midiValue, shipped.midiValue);
    double plainRate = audioSeconds / (t1 - t0);
    double shippedRate = audioSeconds / (t2 - t1);
    std::printf("%-28s %8.1f s  plain %8.1f  shipped %9.1f audio-s/CPU-s  ratio %6.1fx  arrays %s\n", material,
                audioSeconds, plainRate, shippedRate, shippedRate / plainRate, identical ? "identical" : "DIFFER");
    std::fflush(stdout);
}

void timeCorrection(std::vector<float>& samples) {
    WaveAnalysis analysis(samples.data(), static_cast<int>(samples.size()), RATE, WINDOW, nullptr);
    analysis.findFrequencies();
    analysis.findSegments();
    analysis.setScale("c major");
    double t0 = cpuSeconds();
    analysis.calculateCorrectPitch();
    double t1 = cpuSeconds();
    std::printf("calculateCorrectPitch on %.0f s of audio (%zu segments): %.1f ms\n",
                static_cast<double>(samples.size()) / RATE, analysis.segments->size(), 1000.0 * (t1 - t0));
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 60.0;
    double minutes = argc > 2 ? std::atof(argv[2]) : 10.0;
    std::printf("Pitch detection at %d Hz, one core; audio-seconds analysed per CPU-second\n", RATE);
    std::printf("(the result arrays are allocated before timing on both sides)\n");
    std::vector<float> melody = sungMelody(seconds, 1);
    compare("sung melody", melody);
    std::vector<float> brown = brownNoise(seconds, 2);
    compare("brown noise", brown);
    std::vector<float> speech = speechLike(seconds, 3);
    compare("speech-like", speech);
    std::vector<float> sweep = fallingSweep(seconds / 3.0);
    compare("falling sweep, wide windows", sweep);
    std::vector<float> longMelody = sungMelody(60.0 * minutes, 4);
    compare("sung melody, long", longMelody);
    timeCorrection(longMelody);
    return 0;
}
