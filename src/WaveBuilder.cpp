#include "WaveBuilder.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <iostream>
#include <vector>

#include "Analysis.h"

// Both cursors of one resampleStream call with the buffers and analysis they walk. Outside a
// corrected region the output stays in step with the input (dst == src).
struct WaveBuilder::Stream {
    float* samples;
    int sampleslen;
    float* buffer;
    int bufferlen;
    const float* frequency;
    const double* targetMidi;
    const int* waveWidth;
    int src;
    int dst;
    double phase;  // spline copies: where in its period the next copy starts reading
    // Spline copies: where the last copy would have read on, as a period start and an offset.
    int readOnFrom;
    double readOnOffset;
    bool writing;  // spline copies: false while a pass only works out where the copies fall
};

namespace {

// What becomes of one period.
const double AS_SUNG = 0.0;     // copied unchanged: no target, or its own pitch as the target
const double UNUSABLE = -1.0;   // bad analysis data: copied unchanged, with a line saying why
// Each grain fades in and out over the middle of the gap to its neighbour, 40 % of it but no
// longer than half a millisecond, and holds alone elsewhere: grains of slightly different
// periods blended for long cancel part of their highest harmonics, blended too briefly they click.
const double FADE_SHARE = 0.4;
const double LONGEST_FADE_SECONDS = 0.0005;
// Where a corrected region runs into sound, its pitch is stretched evenly by at most this much
// so that the output meets the input in phase: a fade between the two half a period apart would
// cancel the tone for a moment. Far below the 50 cents that put a note out of tune.
const double MOST_LANDING_CENTS = 15.0;
// Spline copies: a stretch can move which period is repeated or dropped, so the error left at
// the end need not shrink every pass; the best of these many is taken.
const int LANDING_PASSES = 4;

bool withinLandingReach(double stretch) { return std::fabs(1200.0 * std::log2(stretch)) <= MOST_LANDING_CENTS; }

// Stretches the marks evenly so that the one nearest `length` lands on it, when that moves the
// pitch by no more than MOST_LANDING_CENTS: the output then meets the input in phase where the
// region ends. Whether they were stretched.
bool landOnEnd(std::vector<double>& marks, double length) {
    size_t last = marks.size() - 1;
    if (last > 1 && length - marks[last - 1] < marks[last] - length) last--;
    if (last == 0) return false;
    double stretch = length / marks[last];
    if (!withinLandingReach(stretch)) return false;
    for (double& mark : marks) mark *= stretch;
    return true;
}

// A weight rising smoothly from 0 to 1 as x goes from 0 to 1; at x and 1 - x the two add up to 1.
double raisedCosine(double x) { return 0.5 - 0.5 * std::cos(M_PI * x); }

// The input as a grain placed with its mark `source` at the fractional output position `mark`
// hears it: read between samples by a windowed sinc, whose response is flat far above the
// voice, so the grain neither jitters by a sample nor loses its air.
class FractionalReader {
public:
    // `source` and `mark` count from the same place; `before` and `after` samples of the input
    // may be read on either side of it.
    FractionalReader(int before, int after, int source, double mark)
        : before(before), after(after), shift(source - static_cast<long long>(std::floor(mark))) {
        double fraction = mark - std::floor(mark);
        double sum = 0.0;
        for (int k = 0; k < TAPS; k++) {
            double u = k - HALF + 1 - fraction;  // distance of tap k from the point read
            taps[k] = sinc(u) * window(u);
            sum += taps[k];
        }
        for (double& tap : taps) tap /= sum;
        exact = fraction == 0.0;
    }

    // The grain's value at output sample t, reading `samples` from the same place.
    double at(const float* samples, int t) const {
        long long centre = t + shift;
        if (exact) return sampleAt(samples, centre);
        double value = 0.0;
        for (int k = 0; k < TAPS; k++) value += taps[k] * sampleAt(samples, centre + HALF - 1 - k);
        return value;
    }

private:
    static const int TAPS = 16, HALF = TAPS / 2;
    int before, after;
    long long shift;
    bool exact;
    double taps[TAPS];

    static double sinc(double u) { return u == 0.0 ? 1.0 : std::sin(M_PI * u) / (M_PI * u); }
    static double window(double u) { return std::fabs(u) >= HALF ? 0.0 : 0.42 + 0.5 * std::cos(M_PI * u / HALF) + 0.08 * std::cos(2.0 * M_PI * u / HALF); }
    float sampleAt(const float* samples, long long at) const { return at >= -before && at < after ? samples[at] : 0.0f; }
};

}  // namespace

// Defined here too, so the kinds can be bound by reference (lists, std::min).
const int WaveBuilder::USE_CATMULL_CLARK;
const int WaveBuilder::USE_CUBIC_SPLINE;
const int WaveBuilder::USE_PSOLA;

WaveBuilder::WaveBuilder() : interpolation(USE_CATMULL_CLARK), shortestPeriod(0) {}

double WaveBuilder::catmullClarkSpline(double p0, double p1, double p2, double p3, float t) {
    double t1 = t;
    double t2 = t1 * t1;
    double t3 = t2 * t1;
    return 0.5 * (2 * p1 + (p2 - p0) * t1 + (2 * p0 - 5 * p1 + 4 * p2 - p3) * t2 + (-p0 + 3 * p1 - 3 * p2 + p3) * t3);
}

double WaveBuilder::cubicSpline(double p0, double p1, double p2, double p3, float t) {
    double t1 = t;
    double t2 = t1 * t1;
    double t3 = t2 * t1;
    return p1 + t1 * (-2 * p0 - 3 * p1 + 6 * p2 - p3) / 6 + t2 * (3 * p0 - 6 * p1 + 3 * p2) / 6 +
           t3 * (-p0 + 3 * p1 - 3 * p2 + p3) / 6;
}

float WaveBuilder::getInterpolatedValue(float index, float* samples, int sampleslen) {
    int whole = static_cast<int>(index);
    return valueAt(whole, index - whole, samples, sampleslen);
}

// A position is a whole sample index plus an offset from it: a float
// position past 2^16 samples rounds the small steps of a period away.
float WaveBuilder::valueAt(int base, double offset, const float* samples, int sampleslen) {
    int step = static_cast<int>(offset);
    int i = base + step;
    double t = offset - step;
    if (i >= sampleslen) return samples[sampleslen - 1];  // reading on past the last period
    // Near either end a neighbour of the four points is missing.
    bool nearStart = i < 4;
    bool nearEnd = i > sampleslen - 4 || (i == sampleslen - 4 && t > 0.0);
    if (nearStart || nearEnd) return samples[i];
    double p0 = samples[i - 1], p1 = samples[i], p2 = samples[i + 1], p3 = samples[i + 2];
    switch (interpolation) {
        case USE_CATMULL_CLARK:
            return static_cast<float>(catmullClarkSpline(p0, p1, p2, p3, static_cast<float>(t)));
        case USE_CUBIC_SPLINE:
            return static_cast<float>(cubicSpline(p0, p1, p2, p3, static_cast<float>(t)));
        default:
            return samples[i];
    }
}

// How many samples one copy of a period writes, given `room` for them: one per offset
// phase + k * rate that still lies inside the period.
int WaveBuilder::copyLength(int width, double rate, double phase, int room) {
    int k = 0;
    while (phase + k * rate < width && k < room) k++;
    return k;
}

int WaveBuilder::interpolateSingleWave(float* srcSamples, int srcSampleslen, int srcAt, int width, float* dstSamples,
                                       int dstSampleslen, int dstAt, double rate, double phase) {
    std::cout << "TODO: WaveBuilder::interpolateSingleWave\n";
    // Each offset is phase + k * rate, never a running sum, so no error builds up.
    int count = copyLength(width, rate, phase, dstSampleslen - dstAt);
    for (int k = 0; k < count; k++) dstSamples[dstAt + k] = valueAt(srcAt, phase + k * rate, srcSamples, srcSampleslen);
    return dstAt + count;
}

float* WaveBuilder::resampleStream(float* samples, int sampleslen, float* frequency, double* targetMidi,
                                   int* waveWidth) {
    std::cout << "TODO: WaveBuilder::resampleStream\n";
    Stream stream{samples, sampleslen, new float[sampleslen](), sampleslen, frequency, targetMidi, waveWidth, 0, 0, 0.0,
                  0, 0.0, true};
    while (stream.src < stream.sampleslen) {
        int width = waveWidth[stream.src];
        if (width < 1) {
            if (width < 0) std::cout << "zero length found at " << stream.src << '\n';
            copyPeriod(stream, 1);
            continue;
        }
        double rate = rateOf(stream, stream.src);
        if (rate > 0.0) {
            int end = regionEnd(stream, stream.src);
            if (interpolation == USE_PSOLA) overlapAddRegion(stream, end);
            else resampleRegion(stream, end);
        } else {
            if (rate == UNUSABLE) {
                double asked = WaveAnalysis::midiToFrequency(targetMidi[stream.src]) / frequency[stream.src];
                std::cout << "zero destination width - " << width << " divided by rate of " << asked << '\n';
            }
            copyPeriod(stream, width);
        }
    }
    return stream.buffer;
}

// The rate at which the period at `at` is resampled, or AS_SUNG or UNUSABLE.
double WaveBuilder::rateOf(const Stream& stream, int at) const {
    int width = stream.waveWidth[at];
    double target = stream.targetMidi[at];
    // No pitch, its own pitch, or a period the input cannot hold: its samples stay as they are.
    if (target < WaveAnalysis::NO_PITCH_BELOW || width > stream.sampleslen - at) return AS_SUNG;
    if (target == WaveAnalysis::frequencyToMidi(stream.frequency[at])) return AS_SUNG;
    double rate = WaveAnalysis::midiToFrequency(target) / stream.frequency[at];
    if (!(rate > 0.0 && std::isfinite(rate) && width / rate >= 1.0)) return UNUSABLE;
    return rate;
}

bool WaveBuilder::isVoicePeriod(const Stream& stream, int at) const { return stream.waveWidth[at] > shortestPeriod; }

// Whether a region ending at `end` runs into sound the output must meet in phase: the input
// sounds for the `reach` samples after it, if only as short readings of a change between
// notes. Into silence nobody hears the phase, and a note keeps its exact pitch.
bool WaveBuilder::meetsSoundAt(const Stream& stream, int end, int reach) {
    if (end + reach > stream.sampleslen) return false;
    return std::all_of(stream.frequency + end, stream.frequency + end + reach, [](float f) { return f > 0.0f; });
}

// The end of the run of consecutive periods from `from` that are all resampled.
int WaveBuilder::regionEnd(const Stream& stream, int from) const {
    int at = from;
    while (at < stream.sampleslen && stream.waveWidth[at] > 0 && rateOf(stream, at) > 0.0) at += stream.waveWidth[at];
    return at;
}

void WaveBuilder::copyPeriod(Stream& stream, int width) {
    int n = std::min(width, stream.sampleslen - stream.src);
    std::copy_n(stream.samples + stream.src, n, stream.buffer + stream.src);
    stream.src += n;
    stream.dst = stream.src;
}

// The periods of [src, end) resampled one after another, each repeated while the output lags
// and dropped while it runs ahead. The output then runs on until it reaches `end`, and over its
// last period it fades into the input, so that everything after `end` is the input itself, at
// its own place, and no sample jumps where the two meet. Where sound follows, the rates are
// first stretched evenly so that the copies reach `end` in phase with it.
void WaveBuilder::resampleRegion(Stream& stream, int end) {
    double stretch = meetsSoundAt(stream, end, stream.waveWidth[stream.src]) ? landingStretch(stream, end) : 1.0;
    copyRegion(stream, end, stretch);
    stream.dst = end;
}

// The even stretch of the region's rates, within MOST_LANDING_CENTS, whose copies meet the input
// nearest in phase at `end`. Its passes only work out where the copies fall, and leave the
// stream as they found it.
double WaveBuilder::landingStretch(Stream& stream, int end) {
    int start = stream.src;
    stream.writing = false;
    double stretch = 1.0, best = 1.0, bestMissed = INFINITY;
    for (int pass = 0; pass < LANDING_PASSES; pass++) {
        stream.src = stream.dst = start;
        double missed = copyRegion(stream, end, stretch);
        if (std::fabs(missed) < std::fabs(bestMissed)) best = stretch, bestMissed = missed;
        double next = stretch * (1.0 - missed / (end - start));
        if (missed == 0.0 || !withinLandingReach(next)) break;
        stretch = next;
    }
    stream.src = stream.dst = start;
    stream.writing = true;
    return best;
}

// The copies of resampleRegion with every rate times `stretch`. How far, in input samples, they
// read out of phase with the input where they reach `end`.
double WaveBuilder::copyRegion(Stream& stream, int end, double stretch) {
    // The region opens reading on from the input: a first period dropped fades in from there.
    stream.phase = 0.0;
    stream.readOnFrom = stream.src;
    stream.readOnOffset = 0.0;
    int lastFrom = stream.src, lastWidth = stream.waveWidth[stream.src];
    double lastRate = rateOf(stream, stream.src) * stretch;
    while (stream.src < end) {
        int width = stream.waveWidth[stream.src];
        if (!isVoicePeriod(stream, stream.src)) {
            // Repeating a reading this short would buzz at its own pitch.
            emitCopy(stream, stream.src, width, lastRate);
            stream.src += width;
            continue;
        }
        double rate = rateOf(stream, stream.src) * stretch;
        // A length beyond any buffer only has to compare as "too long".
        int dstWidth = static_cast<int>(std::min(width / rate, static_cast<double>(INT_MAX)));
        while (static_cast<long long>(stream.dst) + dstWidth < static_cast<long long>(stream.src) + width) {
            if (stream.dst >= stream.bufferlen) break;  // a full output takes nothing more
            emitCopy(stream, stream.src, width, rate);
        }
        lastFrom = stream.src;
        lastWidth = width;
        lastRate = rate;
        stream.src += width;
    }
    while (stream.dst < end) emitCopy(stream, lastFrom, lastWidth, lastRate);
    if (stream.writing) fadeIntoInput(stream, end - lastWidth, end);
    // Where the copy reading at `end` reads, against the start of the period it reads from.
    double readAtEnd = stream.readOnOffset - (stream.dst - end) * lastRate;
    return std::remainder(readAtEnd, stream.waveWidth[stream.readOnFrom]);
}

// One copy of the period [from, from + width). A copy is a whole number of samples; the part of
// a sample it leaves over is carried into the next one, so copies average exactly width / rate
// samples and the note sounds at its target, not up to a sample flat or sharp. Where the copy
// does not read on from where the last one stopped (a period repeated or dropped), its first
// half fades in over what reading on would have given, so the output does not jump.
void WaveBuilder::emitCopy(Stream& stream, int from, int width, double rate) {
    int at = stream.dst;
    int next = stream.writing ? interpolateSingleWave(stream.samples, stream.sampleslen, from, width, stream.buffer,
                                                      stream.bufferlen, at, rate, stream.phase)
                              : at + copyLength(width, rate, stream.phase, stream.bufferlen - at);
    bool readsOn = std::fabs((stream.readOnFrom + stream.readOnOffset) - (from + stream.phase)) < 0.5 * rate;
    if (stream.writing && !readsOn) {
        int fade = (next - at) / 2;
        for (int j = 0; j < fade; j++) {
            double w = raisedCosine((j + 0.5) / fade);
            float readOn = valueAt(stream.readOnFrom, stream.readOnOffset + j * rate, stream.samples, stream.sampleslen);
            stream.buffer[at + j] = static_cast<float>((1.0 - w) * readOn + w * stream.buffer[at + j]);
        }
    }
    stream.readOnFrom = from;
    stream.readOnOffset = stream.phase + (next - at) * rate;
    stream.phase = stream.readOnOffset - width;
    stream.dst = next;
}

// Raised-cosine weights from the output into the input over [from, to).
void WaveBuilder::fadeIntoInput(Stream& stream, int from, int to) {
    from = std::max(from, 0);
    for (int t = from; t < to; t++) {
        double w = raisedCosine((t - from + 0.5) / (to - from));
        stream.buffer[t] = static_cast<float>((1.0 - w) * stream.buffer[t] + w * stream.samples[t]);
    }
}

// Pitch-synchronous overlap-add over the periods of [src, end). Output period marks follow each
// other at the target's period; each takes the input period whose start lies nearest in time,
// so the output stays in step with the input. Between two marks the later grain rises and the
// earlier falls along the halves of one raised cosine, which add up to exactly one: a steady
// tone keeps its level. The region opens on the input's own first period; the marks run on past
// `end`, and over the last period the output fades into the input, as the spline copies do,
// in phase with it where sound follows.
void WaveBuilder::overlapAddRegion(Stream& stream, int end) {
    int start = stream.src;
    // A grain runs from one period of the voice to the next, over any short readings between.
    std::vector<int> sourceMarks = {start};
    for (int at = start + stream.waveWidth[start]; at < end; at += stream.waveWidth[at])
        if (isVoicePeriod(stream, at)) sourceMarks.push_back(at);
    auto grainEnd = [&](size_t k) { return k + 1 < sourceMarks.size() ? sourceMarks[k + 1] : end; };
    // Marks are kept from the region's start, so a stretch comes out the same wherever it lies.
    std::vector<double> marks = {0.0};
    std::vector<int> sources = {start};
    size_t nearest = 0;
    auto nearestTo = [&](double mark) {
        auto distance = [&](size_t k) { return std::fabs(sourceMarks[k] - start - mark); };
        while (nearest + 1 < sourceMarks.size() && distance(nearest + 1) <= distance(nearest)) nearest++;
        return sourceMarks[nearest];
    };
    while (marks.back() < end - start) {
        double next = marks.back() + (grainEnd(nearest) - sources.back()) / rateOf(stream, sources.back());
        marks.push_back(next);
        sources.push_back(nearestTo(next));
    }
    if (meetsSoundAt(stream, end, stream.waveWidth[start]) && landOnEnd(marks, end - start)) {
        nearest = 0;
        for (size_t n = 0; n < marks.size(); n++) sources[n] = nearestTo(marks[n]);
    }
    std::vector<FractionalReader> readers;
    for (size_t n = 0; n < marks.size(); n++)
        readers.emplace_back(start, stream.sampleslen - start, sources[n] - start, marks[n]);
    // The builder is not told the sample rate; a period's length times its frequency gives it
    // closely enough for the length of a fade.
    double longestFade = LONGEST_FADE_SECONDS * stream.frequency[start] * stream.waveWidth[start];
    const float* region = stream.samples + start;
    float* out = stream.buffer + start;
    for (size_t n = 0; n + 1 < marks.size(); n++) {
        int from = static_cast<int>(marks[n]), to = static_cast<int>(marks[n + 1]);
        double fade = std::min(FADE_SHARE * (to - from), longestFade);
        for (int t = from; t < std::min(to, end - start); t++) {
            double u = std::clamp(((t - from) - 0.5 * (to - from - fade)) / fade, 0.0, 1.0);
            double rising = raisedCosine(u);
            out[t] = static_cast<float>((1.0 - rising) * readers[n].at(region, t) + rising * readers[n + 1].at(region, t));
        }
    }
    fadeIntoInput(stream, end - stream.waveWidth[sourceMarks.back()], end);
    stream.src = stream.dst = end;
}
