#include "NoteChanges.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "Scan.h"

namespace {

// The pitch is looked at once every this many milliseconds: finer than any note change a
// listener can place, coarse enough to cost little beside the detection.
const int HOP_MS = 2;
// Readings below this are no pitch at all.
const double NO_PITCH_BELOW = 5.0;
// Noise read as pitch (a breath, a consonant) jumps from one reading to the next: where most
// readings around a frame jump this far from the one before, nobody sings. A sung pitch moves
// less than a tenth of that in a frame, even through vibrato or a glide; an octave slip jumps
// twice, too seldom to count.
const double NOISE_JUMP = 0.5;
const int NOISE_RADIUS_MS = 8;
// A reading this far from the median of its neighbourhood is a misread period (an octave slip,
// an onset transient), as long as such readings last less than the neighbourhood's half.
const int OUTLIER_RADIUS_MS = 30;
const double OUTLIER_SEMITONES = 1.5;
// Swings smaller than this are jitter, not vibrato.
const double VIBRATO_SMALLEST_SWING = 0.1;
// Vibrato is 3 to 8 Hz and up to a semitone either way: a swing lasting longer or reaching
// further is a movement of the pitch itself. So is a swing unlike the ones beside it in size,
// length or centre, such as the step from one note to the next between two notes with vibrato.
const int VIBRATO_LONGEST_HALF_CYCLE_MS = 200;
const double VIBRATO_LARGEST_SWING = 2.5;
const double VIBRATO_REGULARITY = 2.5;
const double VIBRATO_CENTRE_MOVES = 0.3;
// The pitch is steady where it stays within this range over this radius, vibrato taken out. A
// scoop of two semitones over 150 ms moves more than that; a drift of half a semitone a second
// far less.
const int STEADY_RADIUS_MS = 20;
const double STEADY_RANGE = 0.25;
// A note holds steady at least this long, and moves less than this meanwhile unless it turns
// back; shorter steady stretches, or ones that ramp one way, are parts of a scoop, a glide or an
// ornament, and belong to the note around them. A drift of 0.4 semitone over a quarter-second
// note moves at up to 2.4 semitones a second in its middle; the slowest scoop, half a semitone in
// 120 ms, at 4 on average.
const int SHORTEST_NOTE_MS = 50;
const double MOST_HELD_SLOPE = 3.0;  // semitones a second
// A scoop rises into a note over up to this long from its onset: what holds steady that early,
// as where vibrato briefly cancels the scoop's rise, is part of the note's onset, unless it is
// all that is held.
const int SCOOP_MS = 150;
// Two notes sung this far apart are two notes, however detuned: a B sung 30 cents sharp and a C
// sung 25 cents flat are 0.45 apart. A slow drift of under half a semitone never makes two
// steady stretches this far apart.
const double SMALLEST_STEP = 0.4;
// The peak of a single vibrato swing holds steady for less than this, even at 3 Hz; a note sung
// as briefly is an ornament of the note around it.
const int LONGEST_SWING_PEAK_MS = 100;

int toFrames(int ms) { return ms / HOP_MS; }

// The pitch once every hop over one stretch of pitched samples [from, to).
std::vector<double> pitchTrack(const double* midiValue, int from, int to, double sampleRate) {
    std::vector<double> track;
    for (long frame = 0;; frame++) {
        long at = from + static_cast<long>(std::floor(frame * HOP_MS * sampleRate / 1000.0));
        if (at >= to) break;
        track.push_back(midiValue[at]);
    }
    return track;
}

// The first sample of a frame of the track.
int sampleOfFrame(int from, long frame, double sampleRate) {
    return from + static_cast<int>(std::floor(frame * HOP_MS * sampleRate / 1000.0));
}

// Readings far from the median around them take that median's place. The median lies between
// the lowest and the highest reading around, so a reading near both keeps its place without it.
std::vector<double> withoutOutliers(const std::vector<double>& track) {
    int count = static_cast<int>(track.size()), radius = toFrames(OUTLIER_RADIUS_MS);
    std::vector<double> cleaned(track), window;
    for (int f = 0; f < count; f++) {
        auto first = track.begin() + std::max(0, f - radius), last = track.begin() + std::min(count, f + radius + 1);
        auto [low, high] = std::minmax_element(first, last);
        if (track[f] - *low <= OUTLIER_SEMITONES && *high - track[f] <= OUTLIER_SEMITONES) continue;
        window.assign(first, last);
        std::nth_element(window.begin(), window.begin() + window.size() / 2, window.end());
        double median = window[window.size() / 2];
        if (std::fabs(track[f] - median) > OUTLIER_SEMITONES) cleaned[f] = median;
    }
    return cleaned;
}

// The turning points of the pitch: the peaks and troughs of every swing of at least the
// smallest vibrato swing.
std::vector<int> turningPoints(const std::vector<double>& track) {
    std::vector<int> turns;
    int count = static_cast<int>(track.size());
    int lowest = 0, highest = 0, extreme = 0, direction = 0;  // +1 while rising to a peak, -1 falling
    for (int f = 1; f < count; f++) {
        if (direction == 0) {
            if (track[f] < track[lowest]) lowest = f;
            if (track[f] > track[highest]) highest = f;
            int from = track[f] - track[lowest] >= VIBRATO_SMALLEST_SWING   ? lowest
                       : track[highest] - track[f] >= VIBRATO_SMALLEST_SWING ? highest
                                                                               : -1;
            if (from < 0) continue;
            if (from > 0) turns.push_back(from);
            direction = from == lowest ? 1 : -1;
            extreme = f;
        } else if (direction * (track[f] - track[extreme]) > 0.0) {
            extreme = f;
        } else if (direction * (track[extreme] - track[f]) >= VIBRATO_SMALLEST_SWING) {
            turns.push_back(extreme);
            direction = -direction;
            extreme = f;
        }
    }
    return turns;
}

struct Swing {
    int from, to;  // frames of its turning points (or of the track's ends)
    double size;
    double midpoint;
};

bool alike(const Swing& a, const Swing& b) {
    auto within = [](double x, double y) { return x <= VIBRATO_REGULARITY * y && y <= VIBRATO_REGULARITY * x; };
    return within(a.size, b.size) && within(a.to - a.from, b.to - b.from) &&
           std::fabs(a.midpoint - b.midpoint) <= VIBRATO_CENTRE_MOVES;
}

// The pitch with vibrato taken out: through each swing of a vibrato, from one turning point to
// the next, the midpoint of the two, where the swing's high and low cancel. Elsewhere, and in a
// swing unlike the ones beside it (such as the step from one note to the next), the pitch itself.
std::vector<double> withoutVibrato(const std::vector<double>& track) {
    std::vector<double> centre(track);
    int count = static_cast<int>(track.size());
    std::vector<int> turns = turningPoints(track);
    if (turns.empty()) return centre;
    // The ends of the track bound the first and last swings, which only help judge their neighbours.
    turns.insert(turns.begin(), 0);
    turns.push_back(count - 1);
    std::vector<Swing> swings;
    for (size_t k = 0; k + 1 < turns.size(); k++) {
        double low = track[turns[k]], high = track[turns[k + 1]];
        swings.push_back({turns[k], turns[k + 1], std::fabs(high - low), 0.5 * (low + high)});
    }
    for (size_t k = 1; k + 1 < swings.size(); k++) {
        const Swing& swing = swings[k];
        if (swing.to - swing.from > toFrames(VIBRATO_LONGEST_HALF_CYCLE_MS) || swing.size > VIBRATO_LARGEST_SWING) continue;
        if (!alike(swing, swings[k - 1]) && !alike(swing, swings[k + 1])) continue;
        std::fill(centre.begin() + swing.from, centre.begin() + swing.to, swing.midpoint);
    }
    return centre;
}

struct SteadyRun {
    int from, to;  // frames [from, to)
    double level;
    double slope;  // semitones a second, over its middle half
};

// The slope of the least-squares line through frames [from, to), in semitones a second.
double slopeOf(const std::vector<double>& centre, int from, int to) {
    double n = to - from, meanX = 0.5 * (from + to - 1), meanY = 0.0;
    for (int f = from; f < to; f++) meanY += centre[f] / n;
    double sxy = 0.0, sxx = 0.0;
    for (int f = from; f < to; f++) {
        sxy += (f - meanX) * (centre[f] - meanY);
        sxx += (f - meanX) * (f - meanX);
    }
    return sxx > 0.0 ? sxy / sxx * (1000.0 / HOP_MS) : 0.0;
}

double medianOf(std::vector<double> values) {
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

// Where frames [from, to) part into two sides, each as long as a note, whose means lie furthest
// apart, and how far: a step between two notes through a glide slow enough to stay steady.
std::pair<int, double> widestParting(const std::vector<double>& centre, int from, int to) {
    int shortest = toFrames(SHORTEST_NOTE_MS);
    double left = 0.0, total = 0.0;
    for (int f = from; f < to; f++) total += centre[f];
    std::pair<int, double> widest = {-1, 0.0};
    for (int split = from; split <= to - shortest; split++) {
        if (split - from >= shortest) {
            double apart = std::fabs(left / (split - from) - (total - left) / (to - split));
            if (apart > widest.second) widest = {split, apart};
        }
        left += centre[split];
    }
    return widest;
}

// Adds frames [from, to) of steady pitch as a run if it holds a note, or as two if it steps
// from one note to another.
void addSteadyRun(const std::vector<double>& centre, const std::vector<int>& turns, int from, int to,
                  std::vector<SteadyRun>& runs) {
    auto [split, apart] = widestParting(centre, from, to);
    if (apart >= SMALLEST_STEP) {
        addSteadyRun(centre, turns, from, split, runs);
        addSteadyRun(centre, turns, split, to, runs);
        return;
    }
    // Judged on its middle: a run may begin on a scoop's tail or end where vibrato sets in.
    int quarter = (to - from) / 4;
    double slope = slopeOf(centre, from + quarter, to - quarter);
    // A run that turns back is no ramp, however fast a slow vibrato moves it.
    bool turnsBack = std::lower_bound(turns.begin(), turns.end(), from + quarter) !=
                     std::lower_bound(turns.begin(), turns.end(), to - quarter);
    bool held = std::fabs(slope) <= MOST_HELD_SLOPE || turnsBack;
    if (to - from >= toFrames(SHORTEST_NOTE_MS) && held)
        runs.push_back({from, to, medianOf({centre.begin() + from, centre.begin() + to}), slope});
}

std::vector<SteadyRun> steadyRuns(const std::vector<double>& centre) {
    int count = static_cast<int>(centre.size()), radius = toFrames(STEADY_RADIUS_MS);
    std::vector<int> turns = turningPoints(centre);
    std::vector<SteadyRun> runs;
    int runFrom = -1;
    for (int f = 0; f <= count; f++) {
        bool steady = false;
        if (f < count) {
            auto first = centre.begin() + std::max(0, f - radius), last = centre.begin() + std::min(count, f + radius + 1);
            auto [low, high] = std::minmax_element(first, last);
            steady = *high - *low <= STEADY_RANGE;
        }
        if (steady && runFrom < 0) runFrom = f;
        if (!steady && runFrom >= 0) {
            addSteadyRun(centre, turns, runFrom, f, runs);
            runFrom = -1;
        }
    }
    return runs;
}

// Where the pitch passes halfway between two steady runs for the last time: vibrato that goes
// on after the earlier note stopped holding steady may cross halfway before the change itself.
int changeBetween(const std::vector<double>& centre, const SteadyRun& before, const SteadyRun& after) {
    double halfway = 0.5 * (before.level + after.level);
    bool rising = after.level > before.level;
    for (int f = after.from - 1; f >= before.to; f--) {
        if (rising ? centre[f] < halfway : centre[f] > halfway) return f + 1;
    }
    return before.to;
}

// The last frame in [from, to) whose reading lies at least `size` from the one before, or -1.
int lastJumpIn(const std::vector<double>& readings, int from, int to, double size) {
    for (int f = std::min(to, static_cast<int>(readings.size())) - 1; f >= std::max(from, 1); f--) {
        if (std::fabs(readings[f] - readings[f - 1]) >= size) return f;
    }
    return -1;
}

// Whether the readings leave one run for the next at a leap: from one reading to the next by a
// step between two notes. A scoop rises far slower, vibrato and all; a held pitch left that way
// before a note, such as the release of the note before a short rest, is not part of it.
bool leapsBetween(const std::vector<double>& readings, const SteadyRun& before, const SteadyRun& after) {
    return std::fabs(after.level - before.level) >= SMALLEST_STEP &&
           lastJumpIn(readings, before.to, after.from + 1, SMALLEST_STEP) >= 0;
}

// Whether run `k` is the peak of a swing from the pitch `held` before it, such as the first swing
// of a vibrato setting in: a short run that the pitch leaves to come back to where the note
// held, either to hold there again or to turn near it before the next run. A note of its own
// holds longer, and a glide on to the next note turns, if at all, far from the held pitch.
bool swingsBack(const std::vector<double>& centre, const std::vector<SteadyRun>& runs, size_t k, double held) {
    if (k + 1 >= runs.size() || runs[k].to - runs[k].from > toFrames(LONGEST_SWING_PEAK_MS)) return false;
    if (std::fabs(runs[k + 1].level - held) < SMALLEST_STEP) return true;
    auto first = centre.begin() + runs[k].to, last = centre.begin() + runs[k + 1].from;
    if (first >= last) return false;
    double sign = runs[k].level > held ? 1.0 : -1.0;
    auto turn = sign > 0 ? std::min_element(first, last) : std::max_element(first, last);
    bool nearHeld = std::fabs(*turn - held) < 0.5 * SMALLEST_STEP;
    bool turnsAgain = std::any_of(turn, last, [&](double c) { return sign * (c - *turn) >= VIBRATO_SMALLEST_SWING; });
    return nearHeld && turnsAgain;
}

// The held pitch of frames [from, to): the median of its middle half, clear of the onset and of
// the change to the next note. A note that drifts is held where it sits on average, not where it
// happens to hold steady: one sung 40 cents flat that drifts up into vibrato holds steady only
// near its start, past the midpoint to the note below.
double heldPitch(const std::vector<double>& centre, int from, int to) {
    int quarter = (to - from) / 4;
    return medianOf({centre.begin() + from + quarter, centre.begin() + to - quarter});
}

// Frames where the readings jump about as they do in noise.
std::vector<bool> noisyFrames(const std::vector<double>& track) {
    int count = static_cast<int>(track.size()), radius = toFrames(NOISE_RADIUS_MS);
    std::vector<int> jumps(count + 1, 0);
    for (int f = 0; f < count; f++) jumps[f + 1] = jumps[f] + (f > 0 && std::fabs(track[f] - track[f - 1]) > NOISE_JUMP);
    std::vector<bool> noisy(count);
    for (int f = 0; f < count; f++) {
        int from = std::max(0, f - radius), to = std::min(count, f + radius + 1);
        noisy[f] = 2 * (jumps[to] - jumps[from]) > to - from;
    }
    return noisy;
}

// The notes of frames [from, to) of a stretch that starts at sample `first`.
void addNotesOfPart(const std::vector<double>& track, int from, int to, int first, double sampleRate,
                    std::vector<SungNote>& notes) {
    std::vector<double> readings = withoutOutliers({track.begin() + from, track.begin() + to});
    std::vector<double> centre = withoutVibrato(readings);
    std::vector<SteadyRun> runs = steadyRuns(centre);
    auto afterOnset = std::find_if(runs.begin(), runs.end(), [](const SteadyRun& run) { return run.to > toFrames(SCOOP_MS); });
    int noteFrom = 0;
    if (afterOnset != runs.begin() && afterOnset != runs.end() && leapsBetween(readings, afterOnset[-1], *afterOnset))
        noteFrom = changeBetween(centre, afterOnset[-1], *afterOnset);
    if (afterOnset != runs.end()) runs.erase(runs.begin(), afterOnset);
    if (runs.empty()) return;  // nothing held: a glide between rests, or a scrap of noise
    // The sung onset begins after the last jump before the first held run as far as an outlier lies
    // from its neighbours: a scoop rises smoothly; what jumps is noise read as pitch, such as a
    // breath before the note, and no part of it.
    noteFrom = std::max(noteFrom, lastJumpIn(readings, 1, runs[0].from + 1, OUTLIER_SEMITONES));
    auto sampleAt = [&](int frame) { return sampleOfFrame(first, from + frame, sampleRate); };
    size_t held = 0;
    std::vector<double> heldSoFar(centre.begin() + runs[0].from, centre.begin() + runs[0].to);
    for (size_t k = 1; k < runs.size(); k++) {
        // Against all the note has held so far: a step through vibrato may pass a steady
        // stretch halfway, and a drift moves the latest run but hardly the whole.
        double level = medianOf(heldSoFar);
        if (std::fabs(runs[k].level - level) < SMALLEST_STEP) {
            held = k;
            heldSoFar.insert(heldSoFar.end(), centre.begin() + runs[k].from, centre.begin() + runs[k].to);
            continue;
        }
        if (swingsBack(centre, runs, k, level)) {
            runs.erase(runs.begin() + static_cast<long>(k));
            k--;  // the run after it now stands at k
            continue;
        }
        int change = changeBetween(centre, runs[held], runs[k]);
        notes.push_back({sampleAt(noteFrom), sampleAt(change) - 1, heldPitch(centre, noteFrom, change)});
        noteFrom = change;
        held = k;
        heldSoFar.assign(centre.begin() + runs[k].from, centre.begin() + runs[k].to);
    }
    int end = static_cast<int>(centre.size());
    notes.push_back({sampleAt(noteFrom), sampleAt(end) - 1, heldPitch(centre, noteFrom, end)});
}

// Frames of no use to the search: noise, or a reading too high to be sung.
std::vector<bool> unusableFrames(const std::vector<double>& track, double noPitchFrom) {
    std::vector<bool> unusable = noisyFrames(track);
    for (size_t f = 0; f < track.size(); f++) unusable[f] = unusable[f] || track[f] >= noPitchFrom;
    return unusable;
}

// Unusable frames [from, to) take the readings around them, in a straight line.
void bridge(std::vector<double>& track, int from, int to) {
    double before = track[from - 1], after = track[to];
    for (int f = from; f < to; f++) track[f] = before + (after - before) * (f - from + 1) / (to - from + 1);
}

// A stretch of readings [from, to): its parts between noise, each holding notes. Unusable
// readings shorter than a note between readings that agree are bridged, so that a few periods
// read far off do not end a note.
void addNotesOfStretch(const double* midiValue, int from, int to, double sampleRate, double noPitchFrom,
                       std::vector<SungNote>& notes) {
    std::vector<double> track = pitchTrack(midiValue, from, to, sampleRate);
    std::vector<bool> unusable = unusableFrames(track, noPitchFrom);
    int count = static_cast<int>(track.size());
    int partFrom = -1;  // the part open, if any
    for (int f = 0; f <= count;) {
        if (f < count && !unusable[f]) {
            if (partFrom < 0) partFrom = f;
            f++;
            continue;
        }
        int gapFrom = f;
        while (f < count && unusable[f]) f++;
        bool bridged = partFrom >= 0 && f < count && f - gapFrom < toFrames(SHORTEST_NOTE_MS) &&
                       std::fabs(track[f] - track[gapFrom - 1]) <= OUTLIER_SEMITONES;
        if (bridged) {
            bridge(track, gapFrom, f);
            continue;
        }
        if (partFrom >= 0) {
            size_t before = notes.size();
            addNotesOfPart(track, partFrom, gapFrom, from, sampleRate, notes);
            // The last part runs to the stretch's last sample, not its last frame's first sample.
            if (gapFrom == count && notes.size() > before) notes.back().end = to - 1;
        }
        partFrom = -1;
        if (f == count) break;
    }
}

bool isPitch(double midi) { return midi >= NO_PITCH_BELOW; }

}  // namespace

std::vector<SungNote> findSungNotes(const double* midiValue, int length, double sampleRate, double noPitchFrom) {
    std::vector<SungNote> notes;
    if (!midiValue || !(sampleRate > 0.0)) return notes;
    auto pitch = [](double midi) { return isPitch(midi); };
    auto none = [](double midi) { return !isPitch(midi); };
    for (int from = firstWhere(midiValue, 0, length, pitch); from < length;) {
        int to = firstWhere(midiValue, from, length, none);
        addNotesOfStretch(midiValue, from, to, sampleRate, noPitchFrom, notes);
        from = firstWhere(midiValue, to, length, pitch);
    }
    return notes;
}
