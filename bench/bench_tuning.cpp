// How far corrected notes land from their notes. Detuned melodies are made here, corrected along
// the program's own path (analysis, chromatic scale, resynthesis) and measured by a pitch tracker
// of this file's own, which shares nothing with the analysis. Prints figures; never fails.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <random>
#include <vector>

#include "Analysis.h"
#include "WaveBuilder.h"

namespace {

const int RATE = 44100;
const int WINDOW = 2048;                 // the document's analysis window
const int FRAME = 1024;                  // tracker frame: two periods at 86 Hz
const int HOP = RATE / 100;              // 10 ms
const int MIN_LAG = RATE / 1000;         // 1 kHz
const int MAX_LAG = RATE / 80;           // 80 Hz
const int REST_FRAMES = RATE * 6 / 100;  // digital silence between notes
const int FADE_FRAMES = RATE / 100;      // 10 ms in and out, no clicks

struct Melody {
    const char* name;
    std::vector<float> samples;
    std::vector<std::pair<int, int>> notes;  // [start, end) of every note
};

struct Style {
    const char* name;
    double seconds;
    double vibratoCents;  // 0 for a steady tone
    double shortest, longest;  // note length in seconds
    unsigned seed;
    double detuneCents = 20.0, detuneSpread = 25.0;  // 0, 0 sings in tune
};

double harmonicTone(double phase) {
    return std::sin(phase) + 0.4 * std::sin(2 * phase) + 0.2 * std::sin(3 * phase) + 0.1 * std::sin(4 * phase);
}

// Every note sits off a random semitone by a random amount, sharp or flat.
Melody makeMelody(const Style& style) {
    std::mt19937 random(style.seed);
    std::uniform_int_distribution<int> note(52, 76);
    std::uniform_real_distribution<double> detune(style.detuneCents, style.detuneCents + style.detuneSpread), length(style.shortest, style.longest);
    std::bernoulli_distribution flat(0.5);
    Melody melody{style.name, {}, {}};
    double phase = 0.0, vibratoPhase = 0.0;
    while (melody.samples.size() < style.seconds * RATE) {
        double cents = 100.0 * note(random) + (flat(random) ? -detune(random) : detune(random));
        int frames = static_cast<int>(length(random) * RATE);
        int start = static_cast<int>(melody.samples.size());
        for (int i = 0; i < frames; i++) {
            double vibrato = style.vibratoCents * std::sin(vibratoPhase);
            double hz = 440.0 * std::pow(2.0, (cents + vibrato - 6900.0) / 1200.0);
            double fade = std::min({1.0, double(i) / FADE_FRAMES, double(frames - i) / FADE_FRAMES});
            melody.samples.push_back(static_cast<float>(0.3 * fade * harmonicTone(phase)));
            phase = std::fmod(phase + 2 * M_PI * hz / RATE, 2 * M_PI);
            vibratoPhase += 2 * M_PI * 5.5 / RATE;
        }
        melody.notes.push_back({start, start + frames});
        melody.samples.insert(melody.samples.end(), REST_FRAMES, 0.0f);
    }
    return melody;
}

// Normalised square difference of one frame: peaks near 1 at lags of whole periods.
std::vector<double> nsdf(const std::vector<float>& x, int at) {
    std::vector<double> n(MAX_LAG + 2, 0.0);
    for (int lag = MIN_LAG - 1; lag <= MAX_LAG + 1; lag++) {
        double product = 0.0, energy = 0.0;
        for (int i = at; i + lag < at + FRAME; i++) {
            product += double(x[i]) * x[i + lag];
            energy += double(x[i]) * x[i] + double(x[i + lag]) * x[i + lag];
        }
        n[lag] = energy > 0.0 ? 2.0 * product / energy : 0.0;
    }
    return n;
}

// The first peak within 0.9 of the highest, refined by a parabola; 0 when nothing repeats.
double frameHz(const std::vector<float>& x, int at) {
    std::vector<double> n = nsdf(x, at);
    double highest = *std::max_element(n.begin() + MIN_LAG, n.begin() + MAX_LAG + 1);
    if (highest < 0.5) return 0.0;
    for (int lag = MIN_LAG; lag <= MAX_LAG; lag++) {
        if (n[lag] < 0.9 * highest || n[lag] < n[lag - 1] || n[lag] < n[lag + 1]) continue;
        double a = n[lag - 1], b = n[lag], c = n[lag + 1];
        double denominator = a - 2 * b + c;
        double shift = denominator != 0.0 ? 0.5 * (a - c) / denominator : 0.0;
        return RATE / (lag + shift);
    }
    return 0.0;
}

// The value `tenths` of the way up the sorted values.
double percentile(std::vector<double> values, int tenths) {
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    return values[values.size() * tenths / 10];
}

double median(const std::vector<double>& values) { return percentile(values, 5); }

// The pitch of a note is the median of its middle half's frames; its error is the distance in
// cents to the nearest equal-tempered note.
void addNoteErrors(const std::vector<float>& x, const Melody& melody, std::vector<double>& errors) {
    for (const auto& note : melody.notes) {
        int quarter = (note.second - note.first) / 4;
        std::vector<double> cents;
        for (int at = note.first + quarter; at + FRAME <= note.second - quarter; at += HOP) {
            double hz = frameHz(x, at);
            if (hz > 0.0) cents.push_back(1200.0 * std::log2(hz / 440.0));
        }
        if (cents.empty()) continue;
        double c = median(cents);
        errors.push_back(std::fabs(c - 100.0 * std::round(c / 100.0)));
    }
}

std::vector<float> corrected(Melody& melody, WaveAnalysis& analysis, int kind) {
    WaveBuilder builder;
    builder.interpolation = kind;
    int length = static_cast<int>(melody.samples.size());
    float* out = builder.resampleStream(melody.samples.data(), length, analysis.frequency,
                                        analysis.correctedMidiValue, analysis.waveWidth);
    std::vector<float> samples(out, out + length);
    delete[] out;
    return samples;
}

}  // namespace

int main() {
    const Style styles[] = {{"steady", 30.0, 0.0, 0.3, 0.9, 11},
                            {"sung", 30.0, 12.0, 0.4, 1.0, 12},
                            {"sung fast", 20.0, 20.0, 0.25, 0.5, 13}};
    const struct {
        const char* name;
        int kind;
    } kinds[] = {{"Catmull-Rom", WaveBuilder::USE_CATMULL_CLARK},
                 {"cubic", WaveBuilder::USE_CUBIC_SPLINE},
                 {"PSOLA", WaveBuilder::USE_PSOLA}};

    std::vector<double> before, after[3];
    int notes = 0;
    for (const Style& style : styles) {
        Melody melody = makeMelody(style);
        notes += static_cast<int>(melody.notes.size());
        addNoteErrors(melody.samples, melody, before);
        std::cout.setstate(std::ios::badbit);  // swallows the trace lines
        // No document: the analysis glides at its own default rate, as after choosing a scale.
        WaveAnalysis analysis(melody.samples.data(), static_cast<int>(melody.samples.size()), RATE, WINDOW, nullptr);
        analysis.findFrequencies();
        analysis.findSegments();
        analysis.setScale("chromatic");
        analysis.calculateCorrectPitch();
        std::vector<std::vector<float>> outputs;
        for (const auto& k : kinds) outputs.push_back(corrected(melody, analysis, k.kind));
        std::cout.clear();
        for (int k = 0; k < 3; k++) addNoteErrors(outputs[k], melody, after[k]);
    }

    // What the tracker reads on notes sung exactly in tune: its own error.
    Style inTune = styles[1];
    inTune.detuneCents = inTune.detuneSpread = 0.0;
    std::vector<double> floor;
    Melody reference = makeMelody(inTune);
    addNoteErrors(reference.samples, reference, floor);
    std::printf("tracker on an in-tune sung melody: median %.2f, p90 %.2f cents\n", median(floor),
                percentile(floor, 9));
    std::printf("%d notes detuned 20-45 cents, at %d Hz; cents off the nearest note, per note\n", notes, RATE);
    std::printf("%-12s %10s %10s %10s %10s\n", "kind", "in median", "in p90", "out median", "out p90");
    for (int k = 0; k < 3; k++) {
        std::printf("%-12s %10.2f %10.2f %10.2f %10.2f\n", kinds[k].name, median(before), percentile(before, 9),
                    median(after[k]), percentile(after[k], 9));
    }
    return 0;
}
