#include "signals.h"

#include <algorithm>
#include <cmath>
#include <ctime>

namespace signals {

double cpuSeconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + 1e-9 * t.tv_nsec;
}

Noise::Noise(uint64_t seed) : state(seed * 2654435761u + 1) {}

double Noise::uniform() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return static_cast<double>(state >> 11) / 4503599627370496.0 - 1.0;
}

namespace {

// Harmonic weights of the voice, fundamental first.
const double VOICE_HARMONICS[] = {1.0, 0.5, 0.25, 0.12, 0.06};

double voiceAt(double phase, int harmonics) {
    double voice = std::sin(phase);
    for (int h = 1; h < harmonics; h++) voice += VOICE_HARMONICS[h] * std::sin((h + 1) * phase);
    return voice;
}

// The note to sing next, sometimes pushed 20-40 cents off key.
double nextNote(const Singing& singing, Noise& noise) {
    double target = singing.notes[static_cast<size_t>((noise.uniform() + 1.0) * (singing.notes.size() / 2.0))];
    if (noise.uniform() > singing.offKeyAbove) {
        double direction = singing.flatToo && noise.uniform() <= 0 ? -1.0 : 1.0;
        target += direction * (0.2 + 0.1 * (noise.uniform() + 1.0));
    }
    return target;
}

}  // namespace

std::vector<float> sungMelody(const Singing& singing, double seconds, int rate, uint64_t seed) {
    Noise noise(seed);
    std::vector<float> out;
    size_t total = static_cast<size_t>(seconds * rate);
    double phase = 0.0, midi = singing.firstNote;
    while (out.size() < total) {
        if (noise.uniform() > 0.7) {
            out.resize(out.size() + static_cast<size_t>((0.3 + 0.1 * noise.uniform()) * rate), 0.0f);
            continue;
        }
        double target = nextNote(singing, noise);
        int frames = static_cast<int>((singing.noteSeconds + singing.noteSpread * noise.uniform()) * rate);
        double start = midi;
        for (int k = 0; k < frames; k++) {
            double t = static_cast<double>(k) / rate;
            double slide = t < singing.slideSeconds ? start + (target - start) * t / singing.slideSeconds : target;
            double vibrato = t > 0.15 ? 0.3 * std::sin(2.0 * M_PI * 5.5 * t) : 0.0;
            double hz = 440.0 * std::pow(2.0, (slide + vibrato - 69.0) / 12.0);
            phase = std::fmod(phase + 2.0 * M_PI * hz / rate, 2.0 * M_PI);
            double envelope = std::fmin(1.0, std::fmin(t / 0.02, (frames - k) / (0.03 * rate)));
            double voice = voiceAt(phase, singing.harmonics);
            out.push_back(static_cast<float>(envelope * (0.3 * voice + 0.003 * noise.uniform())));
        }
        midi = target;
    }
    out.resize(total);
    return out;
}

namespace {

// A bowed string moves in a sawtooth; its harmonics above the fifth fall off faster.
double bowedAt(double phase, double hz, int rate) {
    double sum = 0.0;
    for (int h = 1; h <= 40 && h * hz < rate / 2.0; h++) sum += std::sin(h * phase) / h * (h > 5 ? 5.0 / h : 1.0);
    return sum;
}

}  // namespace

std::vector<float> bowedLine(double seconds, int rate, uint64_t seed) {
    static const int notes[] = {36, 38, 40, 41, 43, 45, 47, 48, 50, 52, 53, 55, 57};
    Noise noise(seed);
    std::vector<float> out;
    size_t total = static_cast<size_t>(seconds * rate);
    double phase = 0.0;
    while (out.size() < total) {
        double note = notes[static_cast<int>((noise.uniform() + 1.0) * 6.5) % 13] + 0.1 * noise.uniform();
        int frames = static_cast<int>((0.5 + 0.25 * noise.uniform()) * rate);
        for (int k = 0; k < frames; k++) {
            double t = static_cast<double>(k) / rate;
            double vibrato = t > 0.2 ? 0.15 * std::sin(2.0 * M_PI * 5.0 * t) : 0.0;
            double hz = 440.0 * std::pow(2.0, (note + vibrato - 69.0) / 12.0);
            phase = std::fmod(phase + 2.0 * M_PI * hz / rate, 2.0 * M_PI);
            double envelope = std::fmin(1.0, std::fmin(t / 0.04, (frames - k) / (0.02 * rate)));
            out.push_back(static_cast<float>(envelope * (0.2 * bowedAt(phase, hz, rate) + 0.01 * noise.uniform())));
        }
        if (noise.uniform() > 0.4) out.resize(out.size() + static_cast<size_t>(0.08 * rate), 0.0f);
    }
    out.resize(total);
    return out;
}

std::vector<float> brownNoise(size_t frames, uint64_t seed) {
    Noise noise(seed);
    std::vector<float> out(frames);
    double y = 0.0;
    for (float& v : out) {
        y = 0.995 * y + 0.005 * noise.uniform();
        v = static_cast<float>(8.0 * y);
    }
    return out;
}

std::vector<float> speechLike(double seconds, int rate, uint64_t seed) {
    static const double vowels[][3] = {{730, 1090, 2440}, {270, 2290, 3010}, {570, 840, 2410}, {440, 1020, 2240}};
    Noise noise(seed);
    std::vector<float> out;
    size_t total = static_cast<size_t>(seconds * rate);
    while (out.size() < total) {
        const double* formants = vowels[static_cast<int>((noise.uniform() + 1.0) * 2.0) % 4];
        double y1[3] = {0, 0, 0}, y2[3] = {0, 0, 0};
        double basePitch = 120.0 + 30.0 * noise.uniform();
        int frames = static_cast<int>((0.25 + 0.1 * noise.uniform()) * rate);
        double pulsePhase = 0.0, periodJitter = 1.0;
        for (int k = 0; k < frames; k++) {
            double hz = basePitch * (1.0 - 0.15 * k / frames) * periodJitter;
            pulsePhase += hz / rate;
            if (pulsePhase >= 1.0) {
                pulsePhase -= 1.0;
                periodJitter = 1.0 + 0.02 * noise.uniform();
            }
            double source = pulsePhase < 0.6 ? 0.5 * (1.0 - std::cos(M_PI * pulsePhase / 0.6)) : 0.0;
            double sum = 0.0;
            for (int f = 0; f < 3; f++) {
                double r = std::exp(-M_PI * 90.0 / rate);
                double c = 2.0 * r * std::cos(2.0 * M_PI * formants[f] / rate);
                double y = source * (1.0 - r) + c * y1[f] - r * r * y2[f];
                y2[f] = y1[f];
                y1[f] = y;
                sum += y / (f + 1);
            }
            double envelope = std::fmin(1.0, std::fmin(k / (0.03 * rate), (frames - k) / (0.04 * rate)));
            out.push_back(static_cast<float>(0.5 * envelope * sum));
        }
        int hiss = static_cast<int>(0.06 * rate);
        for (int k = 0; k < hiss; k++) out.push_back(static_cast<float>(0.05 * noise.uniform()));
        out.resize(out.size() + static_cast<size_t>((0.12 + 0.05 * noise.uniform()) * rate), 0.0f);
    }
    out.resize(total);
    return out;
}

std::vector<float> fallingSweep(double seconds, int rate, uint64_t seed) {
    std::vector<float> out(static_cast<size_t>(seconds * rate));
    double phase = 0.0;
    Noise noise(seed);
    for (size_t i = 0; i < out.size(); i++) {
        double hz = 110.0 * std::pow(18.0 / 110.0, static_cast<double>(i) / out.size());
        phase = std::fmod(phase + 2.0 * M_PI * hz / rate, 2.0 * M_PI);
        out[i] = static_cast<float>(0.4 * std::sin(phase) + 0.1 * std::sin(2 * phase) + 0.002 * noise.uniform());
    }
    return out;
}

Detection emptyDetection(size_t frames) {
    return Detection{std::vector<int>(frames, 0), std::vector<float>(frames, 0.0f), std::vector<double>(frames, 0.0)};
}

namespace {

// A length written for 44.1 kHz, for the same duration at `rate`.
int atRate(int samples, int rate) {
    return static_cast<int>(std::floor(samples * static_cast<double>(rate) / 44100.0 + 0.5));
}

// Runs of more than 200 zero samples (at 44.1 kHz) are silence: no period is looked for there.
void plainSilence(const std::vector<float>& x, int rate, std::vector<float>& frequency) {
    int n = static_cast<int>(x.size());
    int longerThan = atRate(200, rate);
    int startAt = -1;
    for (int at = 0; at < n; at++) {
        if (std::fabs(x[at]) > 0 || at == n - 1) {
            if (startAt != -1 && at - startAt > longerThan) {
                for (int k = startAt; k < at; k++) frequency[k] = -1.0f;
            }
            startAt = -1;
        } else if (startAt == -1) {
            startAt = at;
        }
    }
}

double plainSum(const std::vector<float>& x, int a, int b, int half) {
    double sum = 0.0;
    for (int j = 0; j < half; j++) sum += static_cast<double>(x[a + j]) * static_cast<double>(x[b + j]);
    return sum;
}

// Sum over j < half of x[at + j] x[c + j] / sqrt(E(at) E(c)), 0 where either energy is 0.
double plainRatio(double sum, double energyAtStart, double energyAtC) {
    if (energyAtStart == 0.0 || energyAtC == 0.0) return 0.0;
    return sum / std::sqrt(energyAtStart * energyAtC);
}

// The first c in (start, maximumAt) whose ratio reaches 0.95 of the maximum's and is a peak:
// above the one before, not below the one after. sums[c - start] holds the written sums.
int firstNormalisedPeak(const std::vector<float>& x, const std::vector<double>& sums, int at, int start,
                        int maximumAt, int half) {
    double energyAtStart = plainSum(x, at, at, half);
    std::vector<double> r(maximumAt - start + 1);
    for (int c = start; c <= maximumAt; c++) r[c - start] = plainRatio(sums[c - start], energyAtStart, plainSum(x, c, c, half));
    double reach = 0.95 * r[maximumAt - start];
    for (int c = start + 1; c < maximumAt; c++) {
        double here = r[c - start];
        if (here >= reach && here > r[c - start - 1] && here >= r[c - start + 1]) return c;
    }
    return maximumAt;
}

// The vertex d of the parabola through the normalised matches at L - 1, L and L + 1, within half
// a sample; 0 unless they bend down.
double vertexOf(double before, double at, double after) {
    double denominator = before - 2.0 * at + after;
    if (!(denominator < 0.0)) return 0.0;
    double vertex = 0.5 * (before - after) / denominator;
    if (std::isnan(vertex)) return 0.0;
    return std::min(0.5, std::max(-0.5, vertex));
}

}  // namespace

PlainPeriod plainPeriod(const std::vector<float>& x, const std::vector<float>& frequency, int at, int wide,
                        int shortestLag) {
    if (static_cast<long long>(at) + wide > static_cast<long long>(x.size())) return {-1, 0.0};
    int half = wide / 2;
    for (int k = at; k < at + half; k++) {
        if (frequency[k] == -1.0f) return {-1, 0.0};
    }
    int start = at + std::max(shortestLag, 1), end = at + half;
    double maximum = -1.0;
    int maximumAt = -1;
    std::vector<double> sums(std::max(end - start, 0));
    for (int i = start; i < end; i++) {
        double sum = plainSum(x, at, i, half);
        sums[i - start] = sum;
        if (sum > maximum) {
            maximum = sum;
            maximumAt = i;
        }
    }
    if (maximumAt == -1) return {-1, 0.0};
    if (maximum > 0.0) maximumAt = firstNormalisedPeak(x, sums, at, start, maximumAt, half);
    double vertex = 0.0;
    if (maximumAt - 1 >= start && maximumAt + 1 < end) {
        double energyAtStart = plainSum(x, at, at, half);
        double r[3];
        for (int c = maximumAt - 1; c <= maximumAt + 1; c++) {
            r[c - maximumAt + 1] = plainRatio(sums[c - start], energyAtStart, plainSum(x, c, c, half));
        }
        vertex = vertexOf(r[0], r[1], r[2]);
    }
    return {maximumAt, vertex};
}

int plainAutocorrelate(const std::vector<float>& x, const std::vector<float>& frequency, int at, int wide,
                       int shortestLag) {
    return plainPeriod(x, frequency, at, wide, shortestLag).end;
}

void plainDetection(const std::vector<float>& x, int rate, int firstWindow, Detection& d) {
    int n = static_cast<int>(x.size());
    plainSilence(x, rate, d.frequency);
    int shortestLag = atRate(20, rate), shortPeriod = atRate(29, rate);
    int priorWidth = -1;
    for (int i = 0; i < n;) {
        if (d.frequency[i] == -1.0f) {
            priorWidth = -1;
            i++;
            continue;
        }
        int wide = priorWidth > shortPeriod ? static_cast<int>(priorWidth * 3.0) : atRate(firstWindow, rate);
        PlainPeriod period = plainPeriod(x, d.frequency, i, wide, shortestLag);
        int match = period.end;
        if (match == -1) {
            i++;
            continue;
        }
        d.waveWidth[i] = match - i;
        float freq = static_cast<float>(static_cast<double>(rate) / (match - i + period.vertex));
        for (int k = i; k <= match; k++) d.frequency[k] = freq;
        priorWidth = match - i;
        i = match;
    }
    for (int i = 0; i < n; i++) {
        if (d.frequency[i] == 0.0f) d.frequency[i] = -1.0f;
        d.midiValue[i] = d.frequency[i] > 10.0f ? 12.0 * std::log(d.frequency[i] / 220.0) / std::log(2.0) + 57.01 : -1.0;
    }
}

}  // namespace signals
