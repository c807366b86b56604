#include "Analysis.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "NoteChanges.h"
#include "PeriodSearch.h"
#include "ScaleNames.h"
#include "Scan.h"
#include "WaveHandler.h"

namespace {

// Lengths in samples at this rate; other rates scale them so that they keep their durations.
const double REFERENCE_RATE = 44100.0;
const int SHORTEST_LAG = 20;  // lags below 20 samples would find harmonics above 2 kHz
const int SHORT_PERIOD = 29;  // periods this short say nothing about the next window
const int SHORTEST_SEGMENT = 1000;  // runs must be longer than this to become a note
const float SILENT = -1.0f;
const double NO_PITCH = -1.0;
const double DEFAULT_CORRECTION_RATE = 0.0003;
// A note's own readings stay this close to its held pitch: vibrato swings up to a semitone either
// way, and a scoop starts up to two below. Further off, a reading is another note or a misread period.
const double NOTE_REACH = 2.5;

// Arrays as calloc hands them out: those of a long recording come from the system already zero,
// so no entry is written before the analysis writes it.
template <typename T>
T* zeroedArray(int length) {
    void* block = std::calloc(static_cast<size_t>(std::max(length, 1)), sizeof(T));
    if (!block) throw std::bad_alloc();
    return static_cast<T*>(block);
}

// Truncates toward zero, clamped so that its negation stays in range; NaN gives 0.
int truncateToInt(double value) {
    if (std::isnan(value)) return 0;
    if (value >= static_cast<double>(INT_MAX)) return INT_MAX;
    if (value <= -static_cast<double>(INT_MAX)) return -INT_MAX;
    return static_cast<int>(value);
}

}  // namespace

WaveAnalysis::WaveAnalysis(float* samples, int sampleslen, int sampleRate, int windowSize, WaveHandler* handler)
    : sampleRate(static_cast<float>(sampleRate)),
      windowSize(windowSize),
      samples(samples),
      sampleslen(samples && sampleslen > 0 ? sampleslen : 0),
      zero(0),
      zeroCutoff(0),
      silenceMinWidth(200),
      wavehandler(handler),
      scalePitch(nullptr),
      search(new PeriodSearch(shortestPeriod())),
      waveWidth(nullptr),
      segments(nullptr),
      needsResampling(true),
      midiValue(nullptr),
      correctedMidiValue(nullptr),
      frequency(nullptr),
      maxAmplitude(0) {
    // A long recording may not fit: give back what was taken before passing the failure on.
    try {
        allocateArrays();
    } catch (const std::bad_alloc&) {
        releaseArrays();
        throw;
    }
    setScale("g major");
}

WaveAnalysis::~WaveAnalysis() { releaseArrays(); }

void WaveAnalysis::allocateArrays() {
    scalePitch = new bool[12]();
    segments = new std::vector<WaveSegment*>();
    waveWidth = zeroedArray<int>(sampleslen);
    midiValue = zeroedArray<double>(sampleslen);
    correctedMidiValue = ownCorrection = zeroedArray<double>(sampleslen);
    frequency = zeroedArray<float>(sampleslen);
}

void WaveAnalysis::releaseArrays() {
    if (segments) releaseSegments();
    delete segments;
    delete[] scalePitch;
    std::free(waveWidth);
    std::free(frequency);
    std::free(midiValue);
    std::free(ownCorrection);
}

void WaveAnalysis::releaseSegments() {
    for (WaveSegment* segment : *segments) delete segment;
    segments->clear();
}

int WaveAnalysis::shortestPeriod() const { return atThisRate(SHORTEST_LAG); }

int WaveAnalysis::atThisRate(int samplesAtReference) const {
    return static_cast<int>(std::floor(samplesAtReference * static_cast<double>(sampleRate) / REFERENCE_RATE + 0.5));
}

void WaveAnalysis::findSilence() {
    std::fill(frequency, frequency + sampleslen, 0.0f);
    for (const Stretch& rest : silentStretches()) std::fill(frequency + rest.start, frequency + rest.end, SILENT);
}

namespace {

// A NaN compares as quiet, like a zero.
bool isLoud(float sample, float cutoff) { return std::fabs(sample) > cutoff; }

}  // namespace

// Quiet runs longer than the silence width, in order. A run ends at the first loud sample or at
// the last sample, which never belongs to one.
std::vector<WaveAnalysis::Stretch> WaveAnalysis::silentStretches() const {
    std::vector<Stretch> rests;
    int longerThan = atThisRate(silenceMinWidth);
    float cutoff = static_cast<float>(zeroCutoff);
    int last = sampleslen - 1;
    for (int at = 0; at < last;) {
        int quiet = firstWhere(samples, at, last, [cutoff](float x) { return !isLoud(x, cutoff); });
        int loud = firstWhere(samples, quiet, last, [cutoff](float x) { return isLoud(x, cutoff); });
        if (loud - quiet > longerThan) rests.push_back({quiet, loud});
        at = loud + 1;
    }
    return rests;
}

int WaveAnalysis::autocorrelate(int at, int localWindowSize) {
    if (at < 0 || localWindowSize < 0) return -1;
    if (static_cast<long long>(at) + localWindowSize > sampleslen) return -1;
    int half = localWindowSize / 2;
    if (firstSilentIn(at, at + half) < at + half) return -1;
    double vertex;
    return bestMatch(at, half, &vertex);
}

// The end of the period that starts at `at`, or -1; `vertex` tells where between samples it ends.
int WaveAnalysis::bestMatch(int at, int half, double* vertex) {
    PeriodSearch::Period period = search->bestLag(samples + at, half, static_cast<long long>(sampleslen) - at);
    *vertex = period.vertex;
    return period.lag == -1 ? -1 : at + period.lag;
}

// The first index in [from, to) marked silent, or `to`.
int WaveAnalysis::firstSilentIn(int from, int to) const {
    for (int k = from; k < to; k++) {
        if (frequency[k] == SILENT) return k;
    }
    return to;
}

void WaveAnalysis::markFrequency(int start, int end, double vertex) {
    if (start < 0 || end < start || end >= sampleslen) return;
    int width = end - start;
    waveWidth[start] = width;
    float freq = static_cast<float>(sampleRate / (width + vertex));
    // The period shares one frequency, so one conversion serves all its samples.
    double midi = freq > 10.0f ? frequencyToMidi(freq) : NO_PITCH;
    std::fill(frequency + start, frequency + end + 1, freq);
    std::fill(midiValue + start, midiValue + end + 1, midi);
}

void WaveAnalysis::markUnpitched(int from, int to) {
    if (from >= to) return;
    std::fill(frequency + from, frequency + to, SILENT);
    std::fill(midiValue + from, midiValue + to, NO_PITCH);
}

int WaveAnalysis::windowAfter(int priorWidth) const {
    if (priorWidth > atThisRate(SHORT_PERIOD)) return truncateToInt(priorWidth * 3.0);
    return atThisRate(windowSize);
}

// One walk writes every entry of frequency and midiValue once, in order: each period as it is
// found, and what lies between periods (silence, or no period found) as no pitch.
void WaveAnalysis::findFrequencies() {
    std::vector<Stretch> rests = silentStretches();
    auto rest = rests.begin();  // the first rest that ends after i
    int written = 0;            // entries before this one are written
    int priorWidth = -1;
    int step = sampleslen / 100 > 0 ? sampleslen / 100 : 1;
    int nextReport = 0;
    int i = 0;
    while (i < sampleslen) {
        if (progress && i >= nextReport) {
            progress(static_cast<double>(i) / sampleslen);
            nextReport = i + step;
        }
        while (rest != rests.end() && rest->end <= i) ++rest;
        if (rest != rests.end() && rest->start <= i) {
            // A rest parts two notes: the period sung before it says nothing of the next one,
            // and a short one would leave the next note's window too short to hold its period.
            priorWidth = -1;
            i = rest->end;
            continue;
        }
        int nextSilent = rest != rests.end() ? rest->start : sampleslen;
        int wide = windowAfter(priorWidth);
        // The window length stays the same while attempts fail, so a window that no longer
        // fits never fits again before the next silence.
        if (wide < 0 || static_cast<long long>(i) + wide > sampleslen) {
            if (nextSilent >= sampleslen) break;
            i = nextSilent;
            continue;
        }
        int half = wide / 2;
        // Every attempt up to a silent sample in the first half fails the same way.
        if (nextSilent < i + half) {
            i = nextSilent;
            continue;
        }
        double vertex;
        int match = bestMatch(i, half, &vertex);
        if (match == -1) {
            i++;
            continue;
        }
        markUnpitched(written, i);
        // A period starting on the last one's end writes that entry again, as its own.
        markFrequency(i, match, vertex);
        written = match + 1;
        priorWidth = match - i;
        i = match;
    }
    markUnpitched(written, sampleslen);
    if (stepDone) stepDone("detection");
    if (progress) progress(1.0);
}

void WaveAnalysis::findSegments() {
    releaseSegments();
    int segmentLongerThan = atThisRate(SHORTEST_SEGMENT);
    double noPitchFrom = frequencyToMidi(static_cast<float>(sampleRate / (shortestPeriod() + 0.5)));
    std::vector<SungNote> notes = findSungNotes(midiValue, sampleslen, sampleRate, noPitchFrom);
    if (stepDone) stepDone("note changes");
    for (const SungNote& note : notes) {
        // Boxes hold whole periods, so that what lies outside them is never resampled.
        int start = nearestPeriodStart(note.start), end = nearestPeriodStart(note.end + 1) - 1;
        if (end - start < segmentLongerThan) continue;
        int nearest = truncateToInt(std::floor(note.heldMidi + 0.5));
        segments->push_back(new WaveSegment(start, end, nearest, samples, sampleslen));
        segments->back()->heldMidi = note.heldMidi;
    }
    if (stepDone) stepDone("segments");
    if (progress) progress(1.0);
}

// The start of the period nearest `at`: of the period that holds it, or of the next one. Outside
// every period, `at` itself.
int WaveAnalysis::nearestPeriodStart(int at) const {
    if (at <= 0 || at >= sampleslen) return at;
    for (int k = at; k >= 0 && frequency[k] != SILENT; k--) {
        if (waveWidth[k] <= 0) continue;
        int next = k + waveWidth[k];
        if (next < at) return at;  // the period ended before: `at` lies in none
        return at - k <= next - at ? k : next;
    }
    return at;
}

void WaveAnalysis::findMaxAmplitude() {
    zero = 0;
    int maxSample = 0;
    int minSample = 0;
    for (int i = 0; i < sampleslen; i++) {
        float value = samples[i];
        if (value > maxSample) maxSample = truncateToInt(value);
        if (value < minSample) minSample = truncateToInt(value);
    }
    maxAmplitude = maxSample > -minSample ? maxSample : -minSample;
    zeroCutoff = truncateToInt(maxAmplitude * 0.1);
}

double WaveAnalysis::frequencyToMidi(float f) { return 12.0 * std::log(f / 220.0) / std::log(2.0) + 57.01; }

double WaveAnalysis::midiToFrequency(double midi) { return 440.0 * std::pow(2.0, (midi - 69.0) / 12.0); }

double WaveAnalysis::myabs(double x) { return x < 0 ? -x : x; }

bool WaveAnalysis::near(float error, float a, float b) { return myabs(a - b) <= error; }

// Major scales by tonic; every other name but "chromatic" selects no pitch class.
void WaveAnalysis::setScale(const char* keyName) {
    static const int majorSteps[7] = {0, 2, 4, 5, 7, 9, 11};
    bool chromatic = keyName && std::strcmp(keyName, "chromatic") == 0;
    followScale = true;
    for (int pc = 0; pc < 12; pc++) scalePitch[pc] = chromatic;
    int tonic = majorScaleTonic(keyName);
    if (chromatic || tonic < 0) return;
    for (int step : majorSteps) scalePitch[(tonic + step) % 12] = true;
}

double WaveAnalysis::closestMatch(double midiPitch) {
    // Written as a negated test so that a NaN pitch also counts as no pitch.
    if (!(midiPitch >= NO_PITCH_BELOW)) return NO_PITCH;
    double centeredMidi = std::floor(midiPitch + 0.5);
    int scaleNumber = static_cast<int>(std::fmod(centeredMidi, 12.0));
    if (scalePitch[scaleNumber]) return centeredMidi;
    double toAbove = myabs(midiPitch - (centeredMidi + 1));
    double toBelow = myabs(midiPitch - (centeredMidi - 1));
    return toBelow <= toAbove ? centeredMidi - 1 : centeredMidi + 1;
}

double WaveAnalysis::targetOf(const WaveSegment& segment) {
    if (segment.overridesScale()) return segment.midiNumber;
    return followScale ? closestMatch(segment.heldMidi) : segment.heldMidi;
}

double WaveAnalysis::correctionRate() const {
    return wavehandler ? wavehandler->CORRECTION_RATE : DEFAULT_CORRECTION_RATE;
}

namespace {

// The segment that covers each sample (null outside every segment), in spans of one segment,
// asked for in increasing sample order. A list in order without overlaps is walked alongside;
// any other list is painted into an array in list order, a later segment covering an earlier one.
class SegmentSpans {
public:
    SegmentSpans(const std::vector<WaveSegment*>& segments, int length)
        : list(segments), length(length), next(0) {
        if (walkable()) return;
        painted.assign(static_cast<size_t>(length), nullptr);
        for (const WaveSegment* segment : list) {
            int first = std::max(segment->startSample, 0);
            int last = std::min(segment->endSample, length - 1);
            for (int i = first; i <= last; i++) painted[i] = segment;
        }
    }

    const WaveSegment* at(int i) {
        if (!painted.empty()) return painted[i];
        while (next < list.size() && list[next]->endSample < i) next++;
        return inside(i) ? list[next] : nullptr;
    }

    // The end of the span of one segment (or of none) that holds i; call after at(i).
    int spanEnd(int i) const {
        if (!painted.empty()) {
            int end = i + 1;
            while (end < length && painted[end] == painted[i]) end++;
            return end;
        }
        if (inside(i)) return list[next]->endSample + 1;
        return next < list.size() ? list[next]->startSample : length;
    }

private:
    const std::vector<WaveSegment*>& list;
    int length;
    size_t next;
    std::vector<const WaveSegment*> painted;

    bool inside(int i) const { return next < list.size() && list[next]->startSample <= i; }

    bool walkable() const {
        for (size_t k = 0; k < list.size(); k++) {
            if (list[k]->startSample < 0 || list[k]->startSample > list[k]->endSample) return false;
            if (list[k]->endSample >= length) return false;
            if (k > 0 && list[k]->startSample <= list[k - 1]->endSample) return false;
        }
        return true;
    }
};

double stepToward(double current, double target, double rate) {
    if (target > current) return std::min(current + rate, target);
    if (target < current) return std::max(current - rate, target);
    return current;
}

// One step of the corrected pitch at sample i inside a segment that shifts the sung pitch by
// `shift` on the way to `target`.
inline double correctedStep(const double* midi, int i, double current, double target, double shift, double rate) {
    if (midi[i] < WaveAnalysis::NO_PITCH_BELOW) return NO_PITCH;
    // The first voiced sample: the sung pitch moved by the segment's correction, so that an
    // onset that scoops or slides into the note keeps its shape.
    if (midi[i - 1] < WaveAnalysis::NO_PITCH_BELOW) return midi[i] + shift;
    // Follow the detected pitch's own movement (adding a zero change would change nothing).
    if (midi[i] != midi[i - 1]) current += midi[i] - midi[i - 1];
    return stepToward(current, target, rate);
}

// How many glide steps from `current` can be written as current +- k * step exactly: while every
// value stays inside the binade of `current`, adding `rate` rounds to the same grid step each
// time, unless rate lies exactly halfway between two steps (then rounding follows parity).
int exactGlideSteps(double current, double target, double rate, int limit, double* step) {
    if (!(current > 0.0) || !(rate > 0.0)) return 0;
    int exponent;
    std::frexp(current, &exponent);
    double low = std::ldexp(1.0, exponent - 1), high = std::ldexp(1.0, exponent);
    double ulp = std::ldexp(1.0, exponent - 53);
    bool up = target > current;
    *step = up ? (current + rate) - current : current - (current - rate);  // both exact
    if (!(std::fabs(rate - *step) < 0.5 * ulp) || !(*step > 0.0)) return 0;
    double room = up ? (high - ulp) - current : current - (low + ulp);
    // k * step stays exact while k * (step / ulp) stays below 2^53.
    double steps = std::min({std::floor(room / *step), std::floor(0x1p53 / (*step / ulp)), static_cast<double>(limit)});
    int count = steps > 0.0 ? static_cast<int>(steps) : 0;
    while (count > 0 && !(up ? current + count * *step <= high - ulp : current - count * *step >= low + ulp)) count--;
    return count;
}

// Fills out[from .. to) with successive glide steps from `current` towards `target` while the
// detected pitch stands still; returns the last value.
double glideRun(double* out, int from, int to, double current, double target, double rate) {
    int k = from;
    while (k < to) {
        double next = stepToward(current, target, rate);
        if (next == current) {
            std::fill(out + k, out + to, current);
            return current;
        }
        double step;
        int count = exactGlideSteps(current, target, rate, to - k, &step);
        if (count < 2) {
            out[k++] = current = next;
            continue;
        }
        if (target > current) {
            for (int j = 1; j <= count; j++) out[k + j - 1] = std::min(current + j * step, target);
        } else {
            for (int j = 1; j <= count; j++) out[k + j - 1] = std::max(current - j * step, target);
        }
        current = out[k + count - 1];
        k += count;
    }
    return current;
}

}  // namespace

void WaveAnalysis::calculateCorrectPitch() { calculateCorrectPitch(correctionRate()); }

bool WaveAnalysis::everyNoteLeftAsSung() const {
    return std::all_of(segments->begin(), segments->end(),
                       [this](const WaveSegment* note) { return leftAsSung(*note); });
}

void WaveAnalysis::calculateCorrectPitch(double glideRate) {
    needsResampling = true;
    if (sampleslen == 0) return;
    // Before any note has moved, "as sung" is the sung curve itself, not a copy that a long
    // recording would pay for at every load. Once notes move, the corrected curve keeps its own
    // memory for good, so that whatever was taken of it stays good.
    if (!notesMoved && everyNoteLeftAsSung()) {
        correctedMidiValue = midiValue;
        return;
    }
    notesMoved = true;
    correctedMidiValue = ownCorrection;
    SegmentSpans spans(*segments, sampleslen);
    // Per sample at the reference rate; the ratio is exactly 1 there, so nothing changes at 44.1 kHz.
    double rate = glideRate * (REFERENCE_RATE / sampleRate);
    for (int i = 0; i < sampleslen;) {
        const WaveSegment* segment = spans.at(i);
        int end = spans.spanEnd(i);
        // Outside every note, and in a note left as sung, the recording stays as it was.
        if (segment && !leftAsSung(*segment)) correctSegment(i, end, targetOf(*segment), segment->heldMidi, rate);
        else std::copy(midiValue + i, midiValue + end, correctedMidiValue + i);
        i = end;
    }
}

// Samples [from, to) of one segment. Re-seated samples keep their new start too, so consumers
// never see a stale value.
void WaveAnalysis::correctSegment(int from, int to, double target, double held, double rate) {
    double shift = target - held;
    double currentMidi = midiValue[from] < NO_PITCH_BELOW ? NO_PITCH : midiValue[from] + shift;
    correctedMidiValue[from] = currentMidi;
    for (int k = from + 1; k < to;) {
        // Only the note's own readings glide: gliding through another note's tail or a misread
        // period would leave the note off by all the glide gathered once its readings come back.
        double glide = std::fabs(midiValue[k] - held) > NOTE_REACH ? 0.0 : rate;
        if (midiValue[k] == midiValue[k - 1] && midiValue[k] >= NO_PITCH_BELOW) {
            // The detected pitch stands still: only the glide moves.
            int still = k + 1;
            while (still < to && midiValue[still] == midiValue[k]) still++;
            currentMidi = glideRun(correctedMidiValue, k, still, currentMidi, target, glide);
            k = still;
            continue;
        }
        currentMidi = correctedStep(midiValue, k, currentMidi, target, shift, glide);
        correctedMidiValue[k++] = currentMidi;
    }
}
