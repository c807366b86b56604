// Resynthesis speed over a long sung melody, with its trace lines going to a
// file and to nowhere. Prints figures; never fails.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <streambuf>
#include <vector>

#include "WaveBuilder.h"

namespace {

const int SAMPLE_RATE = 44100;
const int NOTE_FRAMES = SAMPLE_RATE * 45 / 100;
const int REST_FRAMES = SAMPLE_RATE * 5 / 100;
const char* const TRACE_FILE = "/tmp/cantorel_bench_builder_trace.txt";
const int RUNS = 5;

// The per-sample arrays the analysis and the correction would leave.
struct Melody {
    std::vector<float> samples;
    std::vector<float> frequency;
    std::vector<double> targetMidi;
    std::vector<int> waveWidth;
    int periods = 0;
};

double harmonicShape(double phase) { return std::sin(phase) + 0.3 * std::sin(2 * phase) + 0.15 * std::sin(3 * phase); }

void addRest(Melody& melody) {
    melody.samples.insert(melody.samples.end(), REST_FRAMES, 0.0f);
    melody.frequency.insert(melody.frequency.end(), REST_FRAMES, -1.0f);
    melody.targetMidi.insert(melody.targetMidi.end(), REST_FRAMES, -1.0);
    melody.waveWidth.insert(melody.waveWidth.end(), REST_FRAMES, 0);
}

// A note sung 0.3 semitone sharp; the correction aims at the whole note,
// except at the first period, which holds the 0.0 of a re-seated sample.
void addNote(Melody& melody, int midi) {
    double sungHz = 440.0 * std::pow(2.0, (midi + 0.3 - 69) / 12.0);
    int period = static_cast<int>(std::lround(SAMPLE_RATE / sungHz));
    int start = static_cast<int>(melody.samples.size());
    for (int i = 0; i < NOTE_FRAMES; i++) {
        melody.samples.push_back(static_cast<float>(0.35 * harmonicShape(2 * M_PI * (i % period) / period)));
        melody.frequency.push_back(static_cast<float>(SAMPLE_RATE) / period);
        melody.targetMidi.push_back(midi);
        melody.waveWidth.push_back(0);
    }
    for (int at = 0; at + period <= NOTE_FRAMES; at += period) {
        melody.waveWidth[start + at] = period;
        melody.periods++;
    }
    melody.targetMidi[start] = 0.0;
}

Melody makeMelody(int minutes) {
    const int tune[] = {57, 60, 62, 64, 67, 69, 67, 64, 62, 60, 59, 62, 65, 69, 72, 71};
    Melody melody;
    int notes = minutes * 60 * SAMPLE_RATE / (NOTE_FRAMES + REST_FRAMES);
    for (int n = 0; n < notes; n++) {
        addNote(melody, tune[n % 16]);
        addRest(melody);
    }
    return melody;
}

// Swallows the trace, counting its lines.
class NullBuffer : public std::streambuf {
public:
    long lines = 0;

protected:
    int overflow(int c) override {
        if (c == '\n') lines++;
        return c;
    }
    std::streamsize xsputn(const char* text, std::streamsize n) override {
        lines += std::count(text, text + n, '\n');
        return n;
    }
};

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Best of several runs (the cores are shared), the trace going into the given buffer.
double resampleSeconds(WaveBuilder& builder, Melody& melody, std::streambuf* trace) {
    std::streambuf* saved = std::cout.rdbuf(trace);
    double best = 1e9;
    for (int run = 0; run < RUNS; run++) {
        auto start = std::chrono::steady_clock::now();
        float* out = builder.resampleStream(melody.samples.data(), static_cast<int>(melody.samples.size()),
                                            melody.frequency.data(), melody.targetMidi.data(),
                                            melody.waveWidth.data());
        std::cout.flush();
        best = std::min(best, secondsSince(start));
        delete[] out;
    }
    std::cout.rdbuf(saved);
    return best;
}

// The cost of the trace alone: the same lines written to the same file.
double traceOnlySeconds(long lines) {
    double best = 1e9;
    for (int run = 0; run < RUNS; run++) {
        std::ofstream file(TRACE_FILE, std::ios::out | std::ios::trunc);
        auto start = std::chrono::steady_clock::now();
        for (long i = 0; i < lines; i++) file << "TODO: WaveBuilder::interpolateSingleWave\n";
        file.flush();
        best = std::min(best, secondsSince(start));
    }
    return best;
}

double copySeconds(const Melody& melody) {
    double best = 1e9;
    for (int run = 0; run < RUNS; run++) {
        auto start = std::chrono::steady_clock::now();
        float* out = new float[melody.samples.size()]();
        std::memcpy(out, melody.samples.data(), melody.samples.size() * sizeof(float));
        best = std::min(best, secondsSince(start));
        delete[] out;
    }
    return best;
}

void reportKind(const char* name, int kind, Melody& melody) {
    WaveBuilder builder;
    builder.interpolation = kind;
    std::filebuf file;
    file.open(TRACE_FILE, std::ios::out | std::ios::trunc);
    NullBuffer nowhere;
    double toFile = resampleSeconds(builder, melody, &file);
    double toNull = resampleSeconds(builder, melody, &nowhere);
    long lines = nowhere.lines / RUNS;
    double samples = static_cast<double>(melody.samples.size());
    std::printf("%-20s %7.2f s %9.1f M/s %9.1f M/s %8.1f %% %8ld %8.1f %%\n", name, toFile, samples / toFile / 1e6,
                samples / toNull / 1e6, 100.0 * std::max(0.0, toFile - toNull) / toFile, lines,
                100.0 * traceOnlySeconds(lines) / toFile);
}

void reportLinearity() {
    WaveBuilder builder;
    NullBuffer nowhere;
    std::printf("\nlinearity (Catmull-Rom, trace to nowhere):\n");
    for (int minutes : {1, 10}) {
        Melody melody = makeMelody(minutes);
        double seconds = resampleSeconds(builder, melody, &nowhere);
        std::printf("  %2d min: %6.2f ns per sample\n", minutes, 1e9 * seconds / melody.samples.size());
    }
}

}  // namespace

int main() {
    Melody melody = makeMelody(10);
    std::printf("10 min melody at %d Hz: %zu samples, %d analysed periods\n", SAMPLE_RATE, melody.samples.size(),
                melody.periods);
    std::printf("target: 10 min in under 1 s (%.1f M samples/s) with trace lines going to a file\n",
                melody.samples.size() / 1e6);
    std::printf("reference: plain copy into a fresh buffer %.1f M samples/s\n\n",
                melody.samples.size() / copySeconds(melody) / 1e6);
    std::printf("%-20s %9s %13s %13s %10s %8s %10s\n", "kind", "10 min", "trace->file", "trace->null",
                "file-null", "lines", "lines only");
    reportKind("Catmull-Rom spline", WaveBuilder::USE_CATMULL_CLARK, melody);
    reportKind("cubic polynomial", WaveBuilder::USE_CUBIC_SPLINE, melody);
    reportKind("PSOLA", WaveBuilder::USE_PSOLA, melody);
    reportLinearity();
    std::remove(TRACE_FILE);
    return 0;
}
