// What a listener hears after a chromatic correction. Takes with known notes (sung lines for low,
// middle and high voices, and lines played on five instruments by fluidsynth), in tune and detuned
// by 20 to 40 cents a note, go through the program's own path: opened into a document, "Chromatic"
// picked, the audio rebuilt with each interpolation kind. A tracker that shares no code with the
// analysis then measures them. Prints figures; never fails.
//
// Per take: the note boxes scored against the notes sung (F-measure, a box counting when it starts
// within 100 ms of a note on that note), then per kind: time more than 50 cents off the written
// notes before -> after, the median cents off over the notes' middles before -> after, click places
// (second differences beyond the input's largest), energy above 8 kHz and harmonicity against the
// input.
//
// Usage: bench_tuning [seconds per sung take, default 20]

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "correcting.h"
#include "listening.h"
#include "takes.h"

namespace {

using correcting::KINDS;

struct Totals {
    double msBefore = 0, msAfter[3] = {0, 0, 0};
    int clicks[3] = {0, 0, 0};
};

void measure(const takes::Take& take, const std::string& folder, Totals& totals) {
    correcting::Session session(take, folder);
    listening::BoxScore score = listening::scoreBoxes(session.boxes(), take.notes, take.rate);
    listening::PitchTrack before = listening::trackPitch(take.samples, take.rate, take.lowestHz, take.highestHz);
    double msBefore = listening::msOffNotes(before, take.notes);
    double centsBefore = listening::medianCentsOff(before, take.notes);
    double highBefore = listening::bandEnergyDb(take.samples, take.rate, 8000.0);
    double harmonicBefore = listening::harmonicityDb(before, before);
    totals.msBefore += msBefore;
    std::printf("%-34s %3d notes %3d boxes  F %.2f (P %.2f R %.2f)\n", take.name.c_str(), score.notes, score.boxes,
                score.fMeasure(), score.precision(), score.recall());
    for (int k = 0; k < 3; k++) {
        std::vector<float> out = session.corrected("chromatic", KINDS[k].kind);
        listening::PitchTrack after = listening::trackPitch(out, take.rate, take.lowestHz, take.highestHz);
        double msAfter = listening::msOffNotes(after, take.notes);
        int clicks = listening::clickPlaces(take.samples, out, take.rate);
        totals.msAfter[k] += msAfter;
        totals.clicks[k] += clicks;
        std::printf("    %-12s off %6.0f -> %6.0f ms  median %5.1f -> %5.1f cents  clicks %3d  >8k %+5.1f dB  HNR %+5.1f dB\n",
                    KINDS[k].name, msBefore, msAfter, centsBefore, listening::medianCentsOff(after, take.notes), clicks,
                    listening::bandEnergyDb(out, take.rate, 8000.0) - highBefore,
                    listening::harmonicityDb(after, before) - harmonicBefore);
    }
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 20.0;
    std::string folder = std::filesystem::temp_directory_path() / "cantorel_bench_tuning_XXXXXX";
    if (!mkdtemp(folder.data())) return 1;
    std::vector<takes::Take> all;
    for (uint64_t seed : {7, 8, 9}) {
        std::vector<takes::Take> sung = takes::sungLines(seconds, 44100, seed);
        all.insert(all.end(), sung.begin(), sung.end());
    }
    std::string whyNot;
    for (bool detuned : {false, true}) {
        std::vector<takes::Take> played = takes::playedLines(detuned, folder, whyNot);
        all.insert(all.end(), played.begin(), played.end());
    }
    if (!whyNot.empty()) std::printf("(no played lines: %s)\n", whyNot.c_str());
    Totals totals;
    for (const takes::Take& take : all) measure(take, folder, totals);
    std::printf("\nall takes: off the notes %.0f ms before;", totals.msBefore);
    for (int k = 0; k < 3; k++) std::printf(" %s %.0f ms, %d clicks;", KINDS[k].name, totals.msAfter[k], totals.clicks[k]);
    std::printf("\n");
    std::filesystem::remove_all(folder);
    return 0;
}
