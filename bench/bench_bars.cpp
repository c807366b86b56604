// Whether a chromatic correction harms, over many sung lines: for each seed, the low, middle and high
// voices in tune and detuned by 20 to 40 cents a note go through the program's own path with each
// interpolation kind, and a tracker that shares no code with the analysis measures them. A take
// passes the in-tune bar when its correction is no further from its notes than it was sung (a
// tenth and 25 ms of slack), and the detuned bar when the detuned take comes out within a tenth of
// the in-tune one as corrected; the detuned take is also held against the in-tune one as sung,
// the level a singer in tune reaches; and no take may click in more than three places. Prints
// every take that misses a bar, then the counts and totals per kind.
// Prints figures; never fails.
//
// Usage: bench_bars [first seed, default 31] [last seed, default 44] [seconds per take, default 12]

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

// A take may click in this many places at most.
const int MOST_CLICKS = 3;

struct Tally {
    double inTune = 0, detuned = 0;
    int inTuneMisses = 0, detunedMisses = 0, worseThanSung = 0, clicks = 0, clickyTakes = 0;
};

double msOff(const takes::Take& take, const std::vector<float>& samples) {
    return listening::msOffNotes(listening::trackPitch(samples, take.rate, take.lowestHz, take.highestHz), take.notes);
}

}  // namespace

int main(int argc, char** argv) {
    int firstSeed = argc > 1 ? std::atoi(argv[1]) : 31, lastSeed = argc > 2 ? std::atoi(argv[2]) : 44;
    double seconds = argc > 3 ? std::atof(argv[3]) : 12.0;
    std::string folder = std::filesystem::temp_directory_path() / "cantorel_bench_bars_XXXXXX";
    if (!mkdtemp(folder.data())) return 1;
    Tally tally[3];
    double sung = 0;
    int pairs = 0;
    for (int seed = firstSeed; seed <= lastSeed; seed++) {
        std::vector<takes::Take> lines = takes::sungLines(seconds, 44100, seed);
        for (size_t k = 0; k + 1 < lines.size(); k += 2) {
            const takes::Take &inTune = lines[k], &detuned = lines[k + 1];
            correcting::Session inTuneSession(inTune, folder), detunedSession(detuned, folder);
            double sungOff = msOff(inTune, inTune.samples);
            sung += sungOff;
            pairs++;
            for (int kind = 0; kind < 3; kind++) {
                std::vector<float> fromInTune = inTuneSession.corrected("chromatic", KINDS[kind].kind);
                std::vector<float> fromDetuned = detunedSession.corrected("chromatic", KINDS[kind].kind);
                double inTuneOff = msOff(inTune, fromInTune), detunedOff = msOff(detuned, fromDetuned);
                Tally& t = tally[kind];
                t.inTune += inTuneOff;
                t.detuned += detunedOff;
                int inTuneClicks = listening::clickPlaces(inTune.samples, fromInTune, inTune.rate);
                int detunedClicks = listening::clickPlaces(detuned.samples, fromDetuned, detuned.rate);
                t.clicks += inTuneClicks + detunedClicks;
                t.clickyTakes += (inTuneClicks > MOST_CLICKS) + (detunedClicks > MOST_CLICKS);
                bool inTuneMiss = inTuneOff > 1.1 * sungOff + 25.0, detunedMiss = detunedOff > 1.1 * inTuneOff;
                bool worseThanSung = detunedOff > 1.1 * sungOff;
                t.inTuneMisses += inTuneMiss;
                t.detunedMisses += detunedMiss;
                t.worseThanSung += worseThanSung;
                if (inTuneMiss || detunedMiss || worseThanSung || inTuneClicks > MOST_CLICKS || detunedClicks > MOST_CLICKS)
                    std::printf("miss  %-30s %-12s sung %5.0f  in tune %5.0f  detuned %5.0f ms  clicks %d, %d\n",
                                inTune.name.c_str(), KINDS[kind].name, sungOff, inTuneOff, detunedOff, inTuneClicks,
                                detunedClicks);
            }
            std::fflush(stdout);
        }
    }
    std::printf("\n%d pairs, %.0f ms off the notes as sung\n", pairs, sung);
    for (int kind = 0; kind < 3; kind++) {
        const Tally& t = tally[kind];
        std::printf("%-12s in tune %6.0f ms (%d misses)  detuned %6.0f ms (%d misses, %.1f %% of in tune; "
                    "%d further than a tenth beyond the in-tune take as sung)  clicks %d (%d takes with more than %d)\n",
                    KINDS[kind].name, t.inTune, t.inTuneMisses, t.detuned, t.detunedMisses,
                    t.inTune > 0 ? 100.0 * t.detuned / t.inTune : 0.0, t.worseThanSung, t.clicks, t.clickyTakes, MOST_CLICKS);
    }
    std::filesystem::remove_all(folder);
    return 0;
}
