// Pitch detection speed: the shipped detection against the plain loop it must reproduce exactly.
// Usage: bench_analysis [seconds of the short materials, default 60] [minutes of the long melody, default 10]

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "Analysis.h"
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

void compare(const char* material, std::vector<float>& samples) {
    double audioSeconds = static_cast<double>(samples.size()) / RATE;
    size_t n = samples.size();
    // Both sides get their result arrays allocated and zeroed before the clock starts.
    signals::Detection reference = signals::emptyDetection(n);
    WaveAnalysis shipped(samples.data(), static_cast<int>(n), RATE, WINDOW, nullptr);
    double t0 = cpuSeconds();
    signals::plainDetection(samples, RATE, WINDOW, reference);
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
    std::vector<float> melody = signals::sungMelody(benchSinger(), seconds, RATE, 1);
    compare("sung melody", melody);
    std::vector<float> brown = signals::brownNoise(static_cast<size_t>(seconds * RATE), 2);
    compare("brown noise", brown);
    std::vector<float> speech = signals::speechLike(seconds, RATE, 3);
    compare("speech-like", speech);
    std::vector<float> sweep = signals::fallingSweep(seconds / 3.0, RATE, 5);
    compare("falling sweep, wide windows", sweep);
    std::vector<float> longMelody = signals::sungMelody(benchSinger(), 60.0 * minutes, RATE, 4);
    compare("sung melody, long", longMelody);
    timeCorrection(longMelody);
    return 0;
}
