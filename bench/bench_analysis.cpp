// Pitch detection speed: the shipped detection against the plain loop it must reproduce exactly,
// then a whole load of the same material from a file, step by step, against the same plain loop.
// Usage: bench_analysis [seconds of the short materials, default 60] [minutes of the long melody, default 10]
//                       [rounds of the whole load against the plain loop, default 3]

#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "Analysis.h"
#include "WaveHandler.h"
#include "signals.h"

namespace {

const int RATE = 44100;
const int WINDOW = 2048;

using signals::cpuSeconds;

// Off key either way, with longer notes and a brighter voice than the tests' singer; unchanged
// so that figures compare across runs.
signals::Singing benchSinger() {
    signals::Singing singing;
    singing.notes = {55, 57, 59, 60, 62, 64, 65, 67, 69, 71, 72};
    singing.firstNote = 62.0;
    singing.offKeyAbove = 0.6;
    singing.flatToo = true;
    singing.noteSeconds = 0.5;
    singing.noteSpread = 0.25;
    singing.slideSeconds = 0.06;
    singing.harmonics = 5;
    return singing;
}

template <typename T>
bool sameArray(const std::vector<T>& expected, const T* actual) {
    for (size_t i = 0; i < expected.size(); i++) {
        if (!(expected[i] == actual[i])) return false;
    }
    return true;
}

bool sameDetection(const signals::Detection& reference, const WaveAnalysis& analysis) {
    return sameArray(reference.waveWidth, analysis.waveWidth) && sameArray(reference.frequency, analysis.frequency) &&
           sameArray(reference.midiValue, analysis.midiValue);
}

// The plain loop's arrays and the CPU seconds it took.
struct PlainRun {
    signals::Detection detection;
    double seconds;
};

PlainRun plainRun(const std::vector<float>& samples) {
    // Allocated and zeroed before the clock starts.
    PlainRun run{signals::emptyDetection(samples.size()), 0.0};
    double t0 = cpuSeconds();
    signals::plainDetection(samples, RATE, WINDOW, run.detection);
    run.seconds = cpuSeconds() - t0;
    return run;
}

void compareDetection(const char* material, std::vector<float>& samples, const PlainRun& plain) {
    double audioSeconds = static_cast<double>(samples.size()) / RATE;
    size_t n = samples.size();
    WaveAnalysis shipped(samples.data(), static_cast<int>(n), RATE, WINDOW, nullptr);
    // Written once before the clock starts, as the plain loop's arrays are by their zeroing: this
    // line compares the detections alone, the load below what a user waits for.
    std::fill(shipped.waveWidth, shipped.waveWidth + n, 0);
    std::fill(shipped.frequency, shipped.frequency + n, 0.0f);
    std::fill(shipped.midiValue, shipped.midiValue + n, 0.0);
    double t0 = cpuSeconds();
    shipped.findFrequencies();
    double seconds = cpuSeconds() - t0;
    double plainRate = audioSeconds / plain.seconds;
    double shippedRate = audioSeconds / seconds;
    std::printf("%-28s %8.1f s  plain %8.1f  shipped %9.1f audio-s/CPU-s  ratio %6.1fx  arrays %s\n", material,
                audioSeconds, plainRate, shippedRate, shippedRate / plainRate,
                sameDetection(plain.detection, shipped) ? "identical" : "DIFFER");
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
    analysis.setScale("d major");
    analysis.calculateCorrectPitch();
    double t2 = cpuSeconds();
    // The first correction is the first to touch the corrected curve's own memory.
    std::printf("calculateCorrectPitch on %.0f s of audio (%zu segments): %.1f ms the first time, %.1f ms again\n",
                static_cast<double>(samples.size()) / RATE, analysis.segments->size(), 1000.0 * (t1 - t0),
                1000.0 * (t2 - t1));
}

// ------------------------------------------------------------------------------- whole load

// The steps a load announces, in the order it takes them.
const char* const STEPS[] = {"reading",      "mixing",   "array set-up", "detection",
                             "note changes", "segments", "correction"};
const char* const STEP_HEADS[] = {"read", "mix", "arrays", "detect", "notes", "boxes", "correct"};

std::string writeFloatWav(const std::string& folder, const char* material, const std::vector<float>& samples) {
    std::string tag = material;
    for (char& c : tag) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    std::string path = folder + "/" + std::to_string(RATE) + "Hz_" + std::to_string(samples.size()) + "f_" + tag +
                       "_mono_float.wav";
    SF_INFO info{};
    info.samplerate = RATE;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) return "";
    sf_write_float(file, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(file);
    return path;
}

void printLoadHeading(int rounds) {
    std::printf("\nWhole load of a float WAV file as the window opens it, CPU seconds by step: reading (with\n"
                "non-finite samples mended), mixing to mono, the analysis's arrays, detection (silence, periods,\n"
                "and each period's frequency and MIDI value written as it is found), note changes, boxes\n"
                "snapped to periods, the correction (the sung curve, until a note moves); 'other' is the rest\n"
                "of the load. plain:load is the plain loop's analysis of the same samples over the whole load,\n"
                "each side's least time of %d alternating rounds.\n", rounds);
    std::printf("%-20s %7s", "material", "audio s");
    for (const char* head : STEP_HEADS) std::printf(" %7s", head);
    std::printf(" %7s %7s %8s %10s  %s\n", "other", "load", "plain", "plain:load", "arrays");
}

// One load's CPU seconds, step by step, and whether its arrays equal the plain loop's.
struct LoadRun {
    std::map<std::string, double> laps;
    double seconds;
    bool identical;
};

LoadRun timeLoad(std::string path, const signals::Detection& plain) {
    LoadRun run{{}, 0.0, false};
    double lastLap = 0.0;
    std::ostringstream trace;
    std::streambuf* console = std::cout.rdbuf(trace.rdbuf());
    WaveHandler document;
    document.stepDone = [&](const char* step) {
        double now = cpuSeconds();
        run.laps[step] += now - lastLap;
        lastLap = now;
    };
    double t0 = lastLap = cpuSeconds();
    document.loadWave(&path);
    run.seconds = cpuSeconds() - t0;
    std::cout.rdbuf(console);
    run.identical = document.analyzeWave && sameDetection(plain, *document.analyzeWave);
    return run;
}

// Other programs on a shared machine slow either side by turns, so the load and the plain loop
// take turns for `rounds` rounds and each side's least time is what it costs.
void compareLoad(const std::string& folder, const char* material, const std::vector<float>& samples,
                 PlainRun plain, int rounds) {
    std::string path = writeFloatWav(folder, material, samples);
    LoadRun best = timeLoad(path, plain.detection);
    for (int round = 1; round < rounds; round++) {
        plain.seconds = std::min(plain.seconds, plainRun(samples).seconds);
        LoadRun again = timeLoad(path, plain.detection);
        if (again.seconds < best.seconds) best = again;
    }
    std::remove(path.c_str());
    std::printf("%-20s %7.1f", material, static_cast<double>(samples.size()) / RATE);
    double stepped = 0.0;
    for (const char* step : STEPS) {
        auto lap = best.laps.find(step);
        if (lap == best.laps.end()) {
            std::printf(" %7s", "-");
            continue;
        }
        std::printf(" %7.4f", lap->second);
        stepped += lap->second;
    }
    std::printf(" %7.4f %7.4f %8.3f %9.1fx  %s\n", best.seconds - stepped, best.seconds, plain.seconds,
                plain.seconds / best.seconds, best.identical ? "identical" : "DIFFER");
    std::fflush(stdout);
}

struct Material {
    const char* name;
    std::vector<float> samples;
    bool loaded;  // also timed as a whole load
};

}  // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 60.0;
    double minutes = argc > 2 ? std::atof(argv[2]) : 10.0;
    int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
    std::vector<Material> materials;
    materials.push_back({"sung melody", signals::sungMelody(benchSinger(), seconds, RATE, 1), true});
    materials.push_back({"brown noise", signals::brownNoise(static_cast<size_t>(seconds * RATE), 2), true});
    materials.push_back({"speech-like", signals::speechLike(seconds, RATE, 3), true});
    materials.push_back({"falling sweep, wide windows", signals::fallingSweep(seconds / 3.0, RATE, 5), false});
    materials.push_back({"sung melody, long", signals::sungMelody(benchSinger(), 60.0 * minutes, RATE, 4), true});

    std::printf("Pitch detection at %d Hz, one core; audio-seconds analysed per CPU-second\n", RATE);
    std::printf("(the result arrays are allocated and written once before timing on both sides)\n");
    std::vector<PlainRun> plainRuns;
    for (Material& material : materials) {
        plainRuns.push_back(plainRun(material.samples));
        compareDetection(material.name, material.samples, plainRuns.back());
    }
    timeCorrection(materials.back().samples);

    char folder[] = "/tmp/bench_analysis_XXXXXX";
    if (!mkdtemp(folder)) return 1;
    printLoadHeading(rounds);
    for (size_t k = 0; k < materials.size(); k++) {
        if (materials[k].loaded) compareLoad(folder, materials[k].name, materials[k].samples, plainRuns[k], rounds);
    }
    rmdir(folder);
    return 0;
}
