#include "NoteChanges.h"

#include <algorithm>
#include <cmath>

namespace {

// The level on each side of a candidate is taken over this long: one whole cycle of the slowest
// vibrato (3 Hz), so that a cycle's highs and lows cancel instead of reading as a new note.
const int SIDE_MS = 340;
// Candidates are looked at this often; the boundary itself is then placed to the millisecond.
const int HOP_MS = 5;
// Two peaks of the level difference closer than this are one note change.
const int PEAK_RADIUS_MS = SIDE_MS / 2;
// A semitone step sung up to 40 cents narrow is still a new note; the largest level difference
// that a vibrato of one semitone leaves between two windows is 0.42.
const double SMALLEST_STEP = 0.6;
// The boundary is placed on the pitch smoothed by two moving means; their lengths together
// cancel most of any vibrato from 3 to 8 Hz, and being centred they leave a step where it was.
const int SMOOTHING_MS[] = {250, 150};
// Leaps wider than this are left to the segmenting's own rule that a run ends two semitones
// from its first pitch; a second boundary in the same glide would only cut off a sliver of it.
const double LARGEST_STEP = 3.0;
// Pitch further than this from a window's median counts only this far: an octave slip of a few
// periods, or the start of a scoop, cannot outweigh the note itself.
const double CLAMP_SEMITONES = 1.5;

// The pitch once per millisecond over one stretch of pitched samples; the pitch is constant
// over each detected period, so nothing a note change is made of is lost.
std::vector<double> pitchPerMillisecond(const double* midiValue, int from, int to, double sampleRate) {
    std::vector<double> track;
    for (long ms = 0;; ms++) {
        long at = from + static_cast<long>(std::floor(ms * sampleRate / 1000.0));
        if (at >= to) break;
        track.push_back(midiValue[at]);
    }
    return track;
}

// Where a window sits: its mean, every value first clamped to near the window's median. The
// mean, unlike the median, is hardly moved by the part cycle of vibrato a window holds beyond
// a whole one.
double levelOf(const std::vector<double>& track, int from, int to, std::vector<double>& scratch) {
    scratch.assign(track.begin() + from, track.begin() + to);
    std::nth_element(scratch.begin(), scratch.begin() + scratch.size() / 2, scratch.end());
    double median = scratch[scratch.size() / 2];
    double sum = 0.0;
    for (int m = from; m < to; m++) {
        sum += std::min(std::max(track[m], median - CLAMP_SEMITONES), median + CLAMP_SEMITONES);
    }
    return sum / (to - from);
}

struct Candidate {
    int ms;
    double before;
    double after;
    double step() const { return std::fabs(after - before); }
};

std::vector<Candidate> levelSteps(const std::vector<double>& track) {
    std::vector<Candidate> steps;
    std::vector<double> scratch;
    int last = static_cast<int>(track.size()) - SIDE_MS;
    for (int ms = SIDE_MS; ms <= last; ms += HOP_MS) {
        steps.push_back({ms, levelOf(track, ms - SIDE_MS, ms, scratch), levelOf(track, ms, ms + SIDE_MS, scratch)});
    }
    return steps;
}

// Candidates whose step is large enough and the largest around; among equal neighbours the
// earliest wins, so a flat top gives one change.
std::vector<Candidate> peaksOf(const std::vector<Candidate>& steps) {
    std::vector<Candidate> peaks;
    int radius = PEAK_RADIUS_MS / HOP_MS;
    int count = static_cast<int>(steps.size());
    for (int k = 0; k < count; k++) {
        double step = steps[k].step();
        if (step < SMALLEST_STEP) continue;
        bool largest = true;
        for (int j = std::max(0, k - radius); j <= std::min(count - 1, k + radius) && largest; j++) {
            largest = j < k ? step >= steps[j].step() : j == k || step > steps[j].step();
        }
        if (largest) peaks.push_back(steps[k]);
    }
    return peaks;
}

// Moving mean over `width` milliseconds, centred, shrinking at the ends.
std::vector<double> movingMean(const std::vector<double>& track, int width) {
    int count = static_cast<int>(track.size());
    std::vector<double> sums(count + 1, 0.0);
    for (int m = 0; m < count; m++) sums[m + 1] = sums[m] + track[m];
    std::vector<double> mean(count);
    for (int m = 0; m < count; m++) {
        int from = std::max(0, m - width / 2), to = std::min(count, m - width / 2 + width);
        mean[m] = (sums[to] - sums[from]) / (to - from);
    }
    return mean;
}

// The millisecond near the peak that best parts the pitch into the level before and the level
// after, judged by absolute distances so that what vibrato is left pulls it little.
int bestSplit(const std::vector<double>& track, const Candidate& peak) {
    int from = peak.ms - PEAK_RADIUS_MS;
    int to = peak.ms + PEAK_RADIUS_MS;
    double cost = 0.0, lowest = 0.0;
    int best = from;
    for (int m = from; m < to; m++) {
        cost += std::fabs(track[m] - peak.before) - std::fabs(track[m] - peak.after);
        if (cost < lowest) {
            lowest = cost;
            best = m + 1;
        }
    }
    return best;
}

void addChangesInStretch(const double* midiValue, int from, int to, double sampleRate, std::vector<int>& changes) {
    std::vector<double> track = pitchPerMillisecond(midiValue, from, to, sampleRate);
    std::vector<double> smooth = movingMean(movingMean(track, SMOOTHING_MS[0]), SMOOTHING_MS[1]);
    for (const Candidate& peak : peaksOf(levelSteps(track))) {
        if (peak.step() > LARGEST_STEP) continue;
        int at = from + static_cast<int>(std::floor(bestSplit(smooth, peak) * sampleRate / 1000.0));
        if (at > from && at < to && (changes.empty() || at > changes.back())) changes.push_back(at);
    }
}

bool pitched(double midi) { return midi > 0.0; }

}  // namespace

std::vector<int> findNoteChanges(const double* midiValue, int length, double sampleRate,
                                 const std::function<void(int)>& reached) {
    std::vector<int> changes;
    if (!midiValue || !(sampleRate > 0.0)) return changes;
    long shortestStretch = std::lround(2 * SIDE_MS * sampleRate / 1000.0);
    int i = 0;
    while (i < length) {
        if (!pitched(midiValue[i])) {
            i++;
            continue;
        }
        int from = i;
        while (i < length && pitched(midiValue[i])) i++;
        if (i - from >= shortestStretch) addChangesInStretch(midiValue, from, i, sampleRate, changes);
        if (reached) reached(i);
    }
    return changes;
}
