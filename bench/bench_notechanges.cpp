// Note-finding speed on the pitch of a long sung line: samples per CPU-second of the search
// alone, and of the whole segmenting pass that runs it.
// Usage: bench_notechanges [minutes of audio, default 10]

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "Analysis.h"
#include "NoteChanges.h"
#include "signals.h"

namespace {

const int RATE = 44100;
const int WINDOW = 2048;

using signals::cpuSeconds;

}  // namespace

int main(int argc, char** argv) {
    double minutes = argc > 1 ? std::atof(argv[1]) : 10.0;
    signals::Singing singing;
    singing.noteSeconds = 0.5;
    std::vector<float> samples = signals::sungMelody(singing, 60.0 * minutes, RATE, 4);
    int n = static_cast<int>(samples.size());
    WaveAnalysis analysis(samples.data(), n, RATE, WINDOW, nullptr);
    analysis.findFrequencies();

    double t0 = cpuSeconds();
    std::vector<SungNote> notes = findSungNotes(analysis.midiValue, n, RATE, 128.0);
    double t1 = cpuSeconds();
    analysis.findSegments();
    double t2 = cpuSeconds();
    std::printf("%.0f min of sung melody at %d Hz, %d samples\n", minutes, RATE, n);
    std::printf("findSungNotes    %8.1f ms  %12.0f samples/s  %zu notes\n", 1000.0 * (t1 - t0), n / (t1 - t0),
                notes.size());
    std::printf("findSegments     %8.1f ms  %12.0f samples/s  %zu segments\n", 1000.0 * (t2 - t1), n / (t2 - t1),
                analysis.segments->size());
    return 0;
}
