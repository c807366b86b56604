#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <limits>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "Analysis.h"
#include "WaveBuilder.h"
#include "WaveHandler.h"
#include "correcting.h"
#include "listening.h"
#include "takes.h"
#include "testaudio.h"

namespace {

using testaudio::CoutCapture;
using testaudio::countOf;

const char* const STREAM_LINE = "TODO: WaveBuilder::resampleStream\n";
const char* const COPY_LINE = "TODO: WaveBuilder::interpolateSingleWave\n";

// Target MIDI 69 is exactly 440 Hz, so the detected frequency alone sets the rate.
const double TARGET_A440 = 69.0;
const float HZ_RATE_1 = 440.0f;
const float HZ_RATE_0_8 = 550.0f;
const float HZ_RATE_1_5 = 440.0f / 1.5f;  // rate 1.4999999..., truncates the same way as 1.5
const float HZ_RATE_1_25 = 352.0f;         // exactly 1.25, so every carried phase is exact
const double TARGET_OCTAVE_UP = 81.0;      // 880 Hz: with 440 Hz detected, a rate of exactly 2

// The per-sample arrays as the analysis leaves them: no period anywhere, no pitch.
struct AnalysedStream {
    std::vector<float> samples;
    std::vector<float> frequency;
    std::vector<double> targetMidi;
    std::vector<int> waveWidth;

    explicit AnalysedStream(std::vector<float> input)
        : samples(std::move(input)),
          frequency(samples.size(), -1.0f),
          targetMidi(samples.size(), -1.0),
          waveWidth(samples.size(), 0) {}

    void markPeriod(int at, int width, float hz, double midi) {
        waveWidth[at] = width;
        frequency[at] = hz;
        targetMidi[at] = midi;
    }
};

struct Rebuilt {
    std::vector<float> samples;
    std::string trace;
};

Rebuilt rebuild(WaveBuilder& builder, AnalysedStream& in) {
    CoutCapture capture;
    int length = static_cast<int>(in.samples.size());
    float* out = builder.resampleStream(in.samples.data(), length, in.frequency.data(), in.targetMidi.data(),
                                        in.waveWidth.data());
    std::vector<float> samples(out, out + length);
    delete[] out;
    return {samples, capture.text()};
}

WaveBuilder builderOfKind(int kind) {
    WaveBuilder builder;
    builder.interpolation = kind;
    return builder;
}

// Distinct values that both splines reproduce exactly: a straight line.
std::vector<float> ramp(int frames) {
    std::vector<float> out(frames);
    for (int i = 0; i < frames; i++) out[i] = i / 1024.0f;
    return out;
}

double rampAt(double position) { return position / 1024.0; }

double cents(double hz, double referenceHz) { return 1200.0 * std::log2(hz / referenceHz); }

int longestRunOfEqualSamples(const std::vector<float>& samples, int end) {
    int longest = 1, run = 1;
    for (int i = 1; i < end; i++) {
        run = samples[i] == samples[i - 1] ? run + 1 : 1;
        longest = std::max(longest, run);
    }
    return longest;
}

// Periods of width 100 at 100, 200 and 300 over a ramp, everything else copied.
AnalysedStream threePeriods(float hz) {
    AnalysedStream in(ramp(600));
    for (int at : {100, 200, 300}) in.markPeriod(at, 100, hz, TARGET_A440);
    return in;
}

// Expects buffer[dstAt + k] to be the ramp at srcAt + k * rate, for count samples.
void expectCopy(const std::vector<float>& out, int dstAt, double srcAt, double rate, int count) {
    // Float ramp values below 0.6 (ulp 6e-8), and a rate 3e-8 off its nominal value.
    const double tolerance = 1e-6;
    for (int k = 0; k < count; k++) {
        ASSERT_NEAR(out[dstAt + k], rampAt(srcAt + k * rate), tolerance) << "copy of " << srcAt << " at " << dstAt;
    }
}

void expectShiftedCopy(const std::vector<float>& out, const std::vector<float>& in, int dstFrom, int dstTo,
                       int shift) {
    for (int i = dstFrom; i < dstTo; i++) ASSERT_EQ(out[i], in[i + shift]) << "at " << i;
}

// A unit impulse at the start of every period from `first` on, each marked as analysed.
AnalysedStream impulsePeriods(int first, int width, int frames, float hz, double midi) {
    AnalysedStream in(std::vector<float>(frames, 0.0f));
    for (int at = first; at + width <= frames; at += width) {
        in.samples[at] = 1.0f;
        in.markPeriod(at, width, hz, midi);
    }
    return in;
}

template <class Predicate>
void expectNonzeroExactlyWhere(const std::vector<float>& out, int from, int to, Predicate expected) {
    for (int i = from; i < to; i++) ASSERT_EQ(out[i] != 0.0f, expected(i)) << "at " << i;
}

}  // namespace

TEST(WaveBuilderKinds, ConstantsAndStartValue) {
    EXPECT_EQ(WaveBuilder::USE_CATMULL_CLARK, 0);
    EXPECT_EQ(WaveBuilder::USE_CUBIC_SPLINE, 1);
    EXPECT_EQ(WaveBuilder::USE_PSOLA, 2);
    EXPECT_EQ(WaveBuilder().interpolation, WaveBuilder::USE_CATMULL_CLARK);
}

TEST(WaveBuilderSplines, PassThroughTheInnerPoints) {
    WaveBuilder builder;
    // Four terms summed in double: a few ulps at most.
    const double tolerance = 1e-12;
    EXPECT_NEAR(builder.catmullClarkSpline(0.3, -0.7, 0.9, 0.1, 0.0f), -0.7, tolerance);
    EXPECT_NEAR(builder.catmullClarkSpline(0.3, -0.7, 0.9, 0.1, 1.0f), 0.9, tolerance);
    EXPECT_NEAR(builder.cubicSpline(0.3, -0.7, 0.9, 0.1, 0.0f), -0.7, tolerance);
    EXPECT_NEAR(builder.cubicSpline(0.3, -0.7, 0.9, 0.1, 1.0f), 0.9, tolerance);
}

TEST(WaveBuilderSplines, KnownValuesBetweenThePoints) {
    WaveBuilder builder;
    // The cubic's sixths round in double; a few ulps at most.
    const double tolerance = 1e-12;
    EXPECT_NEAR(builder.catmullClarkSpline(0, 1, 0, 0, 0.5f), 0.5625, tolerance);
    EXPECT_NEAR(builder.cubicSpline(0, 1, 0, 0, 0.5f), 0.5625, tolerance);
    EXPECT_NEAR(builder.catmullClarkSpline(1, 0, 0, 0, 0.25f), -0.0703125, tolerance);
    EXPECT_NEAR(builder.cubicSpline(1, 0, 0, 0, 0.25f), -0.0546875, tolerance);
}

TEST(WaveBuilderInterpolatedValue, EdgeRuleNearBothEnds) {
    // samples[i] = i * i: an interpolated value between two samples differs from both.
    std::vector<float> squares(20);
    for (int i = 0; i < 20; i++) squares[i] = static_cast<float>(i * i);
    for (int kind : {WaveBuilder::USE_CATMULL_CLARK, WaveBuilder::USE_CUBIC_SPLINE}) {
        WaveBuilder builder = builderOfKind(kind);
        EXPECT_EQ(builder.getInterpolatedValue(3.9f, squares.data(), 20), 9.0f) << "kind " << kind;
        EXPECT_EQ(builder.getInterpolatedValue(4.0f, squares.data(), 20), 16.0f) << "kind " << kind;
        EXPECT_EQ(builder.getInterpolatedValue(16.0f, squares.data(), 20), 256.0f) << "kind " << kind;
        EXPECT_EQ(builder.getInterpolatedValue(16.5f, squares.data(), 20), 256.0f) << "kind " << kind;
        EXPECT_EQ(builder.getInterpolatedValue(19.9f, squares.data(), 20), 361.0f) << "kind " << kind;
        // Both curves are exact for a parabola at the midpoint.
        EXPECT_EQ(builder.getInterpolatedValue(15.5f, squares.data(), 20), 240.25f) << "kind " << kind;
    }
}

TEST(WaveBuilderInterpolatedValue, EachKindTakesTheFourNeighbours) {
    // An impulse at 5: position 4.25 sees the points 0, 0, 1, 0.
    std::vector<float> impulse(20, 0.0f);
    impulse[5] = 1.0f;
    EXPECT_EQ(builderOfKind(WaveBuilder::USE_CATMULL_CLARK).getInterpolatedValue(4.25f, impulse.data(), 20),
              0.2265625f);
    EXPECT_EQ(builderOfKind(WaveBuilder::USE_CUBIC_SPLINE).getInterpolatedValue(4.25f, impulse.data(), 20),
              0.2734375f);
    EXPECT_EQ(builderOfKind(WaveBuilder::USE_CATMULL_CLARK).getInterpolatedValue(4.5f, impulse.data(), 20),
              0.5625f);
}

TEST(WaveBuilderInterpolatedValue, PsolaDropsToTheTruncatedSample) {
    std::vector<float> squares(20);
    for (int i = 0; i < 20; i++) squares[i] = static_cast<float>(i * i);
    WaveBuilder builder = builderOfKind(WaveBuilder::USE_PSOLA);
    for (float index : {0.5f, 3.9f, 4.0f, 4.5f, 9.75f, 15.5f, 16.5f, 19.9f}) {
        EXPECT_EQ(builder.getInterpolatedValue(index, squares.data(), 20), squares[static_cast<int>(index)])
            << "index " << index;
    }
}

TEST(WaveBuilderSingleWave, WidthHundredAtRateOneAndAHalf) {
    WaveBuilder builder;
    std::vector<float> source = ramp(400);
    std::vector<float> out(400, 0.0f);
    CoutCapture capture;
    int next = builder.interpolateSingleWave(source.data(), 400, 100, 100, out.data(), 400, 10, 1.5);
    EXPECT_EQ(next, 10 + 67);  // positions 100, 101.5, ... 199
    EXPECT_EQ(out[10 + 66], source[199]);
    EXPECT_EQ(out[10 + 67], 0.0f);
    // A full destination cuts the copy short.
    EXPECT_EQ(builder.interpolateSingleWave(source.data(), 400, 100, 100, out.data(), 40, 10, 1.5), 40);
    EXPECT_EQ(capture.text(), std::string(COPY_LINE) + COPY_LINE);
}

TEST(WaveBuilderStream, NothingAnalysedIsAnExactCopy) {
    AnalysedStream in(testaudio::harmonicPeriod(100, 1000));
    for (int kind : {WaveBuilder::USE_CATMULL_CLARK, WaveBuilder::USE_CUBIC_SPLINE, WaveBuilder::USE_PSOLA}) {
        WaveBuilder builder = builderOfKind(kind);
        Rebuilt out = rebuild(builder, in);
        EXPECT_EQ(out.samples, in.samples) << "kind " << kind;
        EXPECT_EQ(out.trace, STREAM_LINE);
    }
}

TEST(WaveBuilderStream, EmptyStreamReadsNoArray) {
    WaveBuilder builder;
    CoutCapture capture;
    float* out = builder.resampleStream(nullptr, 0, nullptr, nullptr, nullptr);
    EXPECT_NE(out, nullptr);
    delete[] out;
    EXPECT_EQ(capture.text(), STREAM_LINE);
}

// Width 98 at rate 1.25 is 78.4 samples a copy: the carried phase runs
// 0, 0.75, 0.25, 1.0, 0.5 and back to 0, copies of 79, 78, 79, 78 and 78.
TEST(WaveBuilderStream, RaisedPitchCarriesThePhaseAndRepeatsPeriodsWhenTheOutputLags) {
    for (int kind : {WaveBuilder::USE_CATMULL_CLARK, WaveBuilder::USE_CUBIC_SPLINE}) {
        SCOPED_TRACE(kind);
        AnalysedStream in(ramp(800));
        for (int at = 100; at < 590; at += 98) in.markPeriod(at, 98, HZ_RATE_1_25, TARGET_A440);
        WaveBuilder builder = builderOfKind(kind);
        Rebuilt out = rebuild(builder, in);
        expectShiftedCopy(out.samples, in.samples, 0, 100, 0);
        expectCopy(out.samples, 100, 100, 1.25, 79);
        expectCopy(out.samples, 179, 198 + 0.75, 1.25, 78);
        expectCopy(out.samples, 257, 296 + 0.25, 1.25, 79);
        expectCopy(out.samples, 336, 394 + 1.0, 1.25, 78);
        expectCopy(out.samples, 414, 492 + 0.5, 1.25, 78);
        // The lag has grown to a period: 492 is repeated, fading in from where reading on would
        // go. The output runs on to the region's end, fades into the input over its last period
        // and is in step with the input from there on: nothing is shifted or cut off.
        expectShiftedCopy(out.samples, in.samples, 590, 800, 0);
        EXPECT_EQ(countOf(out.trace, COPY_LINE), 7);
        EXPECT_EQ(countOf(out.trace, STREAM_LINE), 1);
    }
}

TEST(WaveBuilderStream, WholeNumberRatioGivesCopiesOfExactlyThatLength) {
    // 100-sample periods an octave up: every copy or grain starts 50 samples after the last,
    // so only the impulse at each start shows.
    for (int kind : {WaveBuilder::USE_CATMULL_CLARK, WaveBuilder::USE_CUBIC_SPLINE, WaveBuilder::USE_PSOLA}) {
        SCOPED_TRACE(kind);
        AnalysedStream in = impulsePeriods(100, 100, 20000, 440.0f, TARGET_OCTAVE_UP);
        WaveBuilder builder = builderOfKind(kind);
        Rebuilt out = rebuild(builder, in);
        expectNonzeroExactlyWhere(out.samples, 100, 19700, [](int i) { return i % 50 == 0; });
    }
    // 99-sample periods give grains 49.5 apart: each impulse lands half way between two samples,
    // read there by the grain, its energy centred on the exact place.
    AnalysedStream in = impulsePeriods(100, 99, 20000, 440.0f, TARGET_OCTAVE_UP);
    WaveBuilder builder = builderOfKind(WaveBuilder::USE_PSOLA);
    Rebuilt out = rebuild(builder, in);
    for (int k = 1; k < 390; k++) {
        double mark = 100 + 49.5 * k, energy = 0.0, moment = 0.0;
        for (int i = static_cast<int>(mark) - 12; i <= static_cast<int>(mark) + 12; i++) {
            energy += out.samples[i] * out.samples[i];
            moment += i * out.samples[i] * out.samples[i];
        }
        ASSERT_NEAR(moment / energy, mark, 0.01) << "grain " << k;
    }
}

// A carried phase or fraction belongs to its own stretch of voice.
TEST(WaveBuilderStream, IdenticalStretchesAfterUnvoicedSamplesComeOutIdentical) {
    const int gap = 300, period = 98, stretch = 225 * period;
    std::vector<float> voice = testaudio::harmonicPeriod(period, stretch);
    std::vector<float> samples(gap, 0.0f);
    for (int copy = 0; copy < 2; copy++) {
        samples.insert(samples.end(), voice.begin(), voice.end());
        samples.insert(samples.end(), gap, 0.0f);
    }
    AnalysedStream in(samples);
    // Each stretch opens with a period left unanalysed, so that whichever period is copied
    // first has the tone, not the silence, as its neighbour.
    for (int first : {gap, 2 * gap + stretch}) {
        for (int at = first + period; at < first + stretch; at += period) {
            in.markPeriod(at, period, 450.0f, TARGET_A440);
        }
    }
    for (int kind : {WaveBuilder::USE_CATMULL_CLARK, WaveBuilder::USE_CUBIC_SPLINE, WaveBuilder::USE_PSOLA}) {
        SCOPED_TRACE(kind);
        WaveBuilder builder = builderOfKind(kind);
        Rebuilt out = rebuild(builder, in);
        // The output of a stretch ends within a couple of periods of its input.
        const int compared = stretch - 3 * period;
        auto first = out.samples.begin() + gap;
        bool found = false;
        for (int at = 2 * gap + stretch - 3 * period; at <= 2 * gap + stretch + 3 * period && !found; at++) {
            found = std::equal(first, first + compared, out.samples.begin() + at);
        }
        EXPECT_TRUE(found);
    }
}

TEST(WaveBuilderBadData, APeriodRunningPastTheEndKeepsItsSamples) {
    for (int kind : {WaveBuilder::USE_CATMULL_CLARK, WaveBuilder::USE_PSOLA}) {
        SCOPED_TRACE(kind);
        AnalysedStream in(testaudio::sinePeriod(100, 500));
        in.markPeriod(450, 400, 110.25f, 69.0);  // 400 samples claimed where 50 remain
        WaveBuilder builder = builderOfKind(kind);
        Rebuilt out = rebuild(builder, in);
        expectShiftedCopy(out.samples, in.samples, 0, 500, 0);
    }
}

// Where a period is dropped, the next copy fades in from where reading on would have gone.
TEST(WaveBuilderStream, LoweredPitchDropsThePeriodThatWouldRunAhead) {
    AnalysedStream in = threePeriods(HZ_RATE_0_8);
    WaveBuilder builder;
    Rebuilt out = rebuild(builder, in);
    expectShiftedCopy(out.samples, in.samples, 0, 100, 0);
    expectCopy(out.samples, 100 + 63, 200 + 63 * 0.8, 0.8, 62);  // the half after the fade
    expectCopy(out.samples, 225, 300, 0.8, 75);  // up to where the region fades into the input
    expectShiftedCopy(out.samples, in.samples, 400, 600, 0);
    EXPECT_EQ(countOf(out.trace, COPY_LINE), 3);
}

TEST(WaveBuilderStream, RateOfExactlyOneSkipsTheFirstPeriod) {
    AnalysedStream in = threePeriods(HZ_RATE_1);
    WaveBuilder builder;
    Rebuilt out = rebuild(builder, in);
    expectShiftedCopy(out.samples, in.samples, 0, 100, 0);
    // Whole positions give t = 0, so the copies are exact: one period early, until the region's end.
    expectShiftedCopy(out.samples, in.samples, 150, 300, 100);
    expectShiftedCopy(out.samples, in.samples, 400, 600, 0);
    EXPECT_EQ(countOf(out.trace, COPY_LINE), 3);
}

// Between two marks one grain fades out as the next fades in, their weights adding up to one:
// a steady level stays exactly where it was, however far the pitch moves.
TEST(WaveBuilderPsola, WindowsAddUpToOneSoASteadyLevelStays) {
    for (float hz : {HZ_RATE_1_25, HZ_RATE_0_8, HZ_RATE_1_5}) {
        AnalysedStream in(std::vector<float>(2000, 0.5f));
        for (int at = 100; at < 1800; at += 100) in.markPeriod(at, 100, hz, TARGET_A440);
        WaveBuilder builder = builderOfKind(WaveBuilder::USE_PSOLA);
        Rebuilt out = rebuild(builder, in);
        for (int i = 0; i < 2000; i++) ASSERT_FLOAT_EQ(out.samples[i], 0.5f) << "at " << i << ", " << hz << " Hz";
        EXPECT_EQ(out.trace, STREAM_LINE);
    }
}

// Bad analysis data prints its line and leaves the period as it was.
TEST(WaveBuilderBadData, NegativeWidthCopiesTheSample) {
    AnalysedStream in(ramp(400));
    in.markPeriod(100, -5, HZ_RATE_1_5, TARGET_A440);
    WaveBuilder builder;
    Rebuilt out = rebuild(builder, in);
    EXPECT_EQ(out.trace, std::string(STREAM_LINE) + "zero length found at 100\n");
    EXPECT_EQ(out.samples, in.samples);
}

TEST(WaveBuilderBadData, UnusableRateCopiesThePeriod) {
    struct Case {
        float hz;
        const char* line;
    };
    for (Case c : std::vector<Case>{{1.0f, "zero destination width - 100 divided by rate of 440\n"},
                                    {-1.0f, "zero destination width - 100 divided by rate of -440\n"},
                                    {std::numeric_limits<float>::infinity(),
                                     "zero destination width - 100 divided by rate of 0\n"},
                                    {std::numeric_limits<float>::quiet_NaN(),
                                     "zero destination width - 100 divided by rate of nan\n"}}) {
        AnalysedStream in(ramp(600));
        in.markPeriod(100, 100, c.hz, TARGET_A440);
        in.markPeriod(300, 100, HZ_RATE_1_5, TARGET_A440);
        in.markPeriod(400, 100, HZ_RATE_1_5, TARGET_A440);
        WaveBuilder builder;
        Rebuilt out = rebuild(builder, in);
        EXPECT_EQ(countOf(out.trace, c.line), 1) << out.trace;
        expectShiftedCopy(out.samples, in.samples, 0, 300, 0);
        // The later, sound periods are still corrected.
        EXPECT_GE(countOf(out.trace, COPY_LINE), 2) << "frequency " << c.hz;
        expectCopy(out.samples, 300, 300, 1.5, 67);
    }
}

TEST(WaveBuilderBadData, NoPitchPeriodsKeepTheirSamplesInStepWithTheInput) {
    // Rate 1 skips the period at 100, so the output lags by one period until its region ends;
    // from 300 on every period is voiced but has no target (0.0, then -1.0).
    AnalysedStream in(testaudio::sinePeriod(100, 13000));
    in.markPeriod(100, 100, HZ_RATE_1, TARGET_A440);
    in.markPeriod(200, 100, HZ_RATE_1, TARGET_A440);
    in.markPeriod(300, 100, HZ_RATE_1, 0.0);
    for (int at = 400; at < 12900; at += 100) in.markPeriod(at, 100, HZ_RATE_1, -1.0);
    for (int kind : {WaveBuilder::USE_CATMULL_CLARK, WaveBuilder::USE_CUBIC_SPLINE, WaveBuilder::USE_PSOLA}) {
        SCOPED_TRACE(kind);
        WaveBuilder builder = builderOfKind(kind);
        Rebuilt out = rebuild(builder, in);
        expectShiftedCopy(out.samples, in.samples, 300, 13000, 0);
        // A stretched period or a grain far apart from the next would repeat values.
        EXPECT_LE(longestRunOfEqualSamples(out.samples, 12900), 100);
    }
}

// A steady 450 Hz tone (period 98 samples, 39 cents above A440) corrected to
// A440 for a minute: copies of 100 and 101 samples that average 100.227, so
// the output sounds at 440 Hz at the start and at the end alike.
TEST(WaveBuilderPrecision, CorrectedToneLandsOnItsTargetOverAMinute) {
    const int rate = 44100, period = 98, frames = 60 * rate, window = 10 * rate;
    AnalysedStream in(testaudio::harmonicPeriod(period, frames));
    for (int at = 0; at < frames; at += period) in.markPeriod(at, period, 450.0f, TARGET_A440);
    for (int kind : {WaveBuilder::USE_CATMULL_CLARK, WaveBuilder::USE_CUBIC_SPLINE, WaveBuilder::USE_PSOLA}) {
        SCOPED_TRACE(kind);
        WaveBuilder builder = builderOfKind(kind);
        Rebuilt out = rebuild(builder, in);
        // The output ends up to two periods early; its untouched tail is skipped.
        int end = frames - 2 * period;
        double firstHz = testaudio::zeroCrossingHz(out.samples, 0, window, rate);
        double lastHz = testaudio::zeroCrossingHz(out.samples, end - window, end, rate);
        // Crossings are interpolated within a sample: far below 1 cent over
        // 10 s, while whole-sample copies would be 13.7 cents flat.
        EXPECT_NEAR(cents(firstHz, 440.0), 0.0, 1.0) << firstHz << " Hz";
        EXPECT_NEAR(cents(lastHz, 440.0), 0.0, 1.0) << lastHz << " Hz";
    }
}

// A period of a held note that the analysis read as five readings at its shortest lag (as it
// does where it misses one) is read through once at the note's corrected pitch: repeating such a
// reading to catch up with the input would buzz at 2.2 kHz.
TEST(WaveBuilderPrecision, ShortReadingsInsideACorrectedNoteAreReadThroughAtItsPitch) {
    const int rate = 44100, period = 100, shortest = 20, frames = rate / 2, missedAt = 20 * period;
    const double up = 0.3;  // semitones: the output runs behind by about 35 samples at the missed period
    AnalysedStream in(testaudio::harmonicPeriod(period, frames));
    for (int at = 0; at < frames; at += period) {
        if (at != missedAt) in.markPeriod(at, period, 441.0f, WaveAnalysis::frequencyToMidi(441.0f) + up);
    }
    for (int at = missedAt; at < missedAt + period; at += shortest)
        in.markPeriod(at, shortest, 2205.0f, WaveAnalysis::frequencyToMidi(2205.0f) + up);
    double targetHz = WaveAnalysis::midiToFrequency(WaveAnalysis::frequencyToMidi(441.0f) + up);
    for (const auto& [name, kind] : correcting::KINDS) {
        SCOPED_TRACE(name);
        WaveBuilder builder = builderOfKind(kind);
        builder.shortestPeriod = shortest;
        Rebuilt out = rebuild(builder, in);
        double heardHz = testaudio::zeroCrossingHz(out.samples, missedAt - 5 * period, missedAt + 6 * period, rate);
        EXPECT_NEAR(cents(heardHz, targetHz), 0.0, 5.0) << heardHz << " Hz";
    }
}

// A corrected note that runs straight into sound left as sung meets it in phase: over 85 periods
// half a semitone up the copies drift half a period from the input, and fading one into the
// other there would cancel the tone for a moment.
TEST(WaveBuilderPrecision, ACorrectedNoteMeetsTheSoundAfterItInPhase) {
    const int rate = 44100, period = 100, corrected = 85 * period, frames = corrected + 40 * period;
    const double up = 0.5;
    std::vector<float> tone = testaudio::harmonicPeriod(period, frames);
    AnalysedStream in(tone);
    double sungMidi = WaveAnalysis::frequencyToMidi(441.0f);
    for (int at = 0; at < frames; at += period) in.markPeriod(at, period, 441.0f, at < corrected ? sungMidi + up : -1.0);
    std::fill(in.frequency.begin(), in.frequency.end(), 441.0f);  // as the analysis leaves a sounding stretch
    auto levelOver = [&](const std::vector<float>& samples, int from) {  // one whole period: the same at any phase
        double sum = 0.0;
        for (int i = from; i < from + period; i++) sum += samples[i] * samples[i];
        return std::sqrt(sum / period);
    };
    double sungLevel = levelOver(tone, 0);
    for (const auto& [name, kind] : correcting::KINDS) {
        SCOPED_TRACE(name);
        WaveBuilder builder = builderOfKind(kind);
        Rebuilt out = rebuild(builder, in);
        double weakest = sungLevel;
        for (int from = corrected - 2 * period; from < corrected + period; from++)
            weakest = std::min(weakest, levelOver(out.samples, from));
        EXPECT_GT(weakest, 0.95 * sungLevel);
        double heardHz = testaudio::zeroCrossingHz(out.samples, 5 * period, corrected - 5 * period, rate);
        EXPECT_NEAR(cents(heardHz, 441.0), 100.0 * up, 15.0) << heardHz << " Hz";
    }
}

// ---------------------------------------------------------------------------------------------
// What a listener hears: takes with known notes taken through the program, measured by a
// tracker that shares nothing with the analysis.

namespace {

listening::PitchTrack heard(const takes::Take& take, const std::vector<float>& samples) {
    return listening::trackPitch(samples, take.rate, take.lowestHz, take.highestHz);
}

}  // namespace

// An in-tune take corrected chromatically is no further from its notes than it was (a tenth
// and 25 ms of slack), and neither take clicks: with every interpolation kind. The same melody
// sung 20 to 40 cents off comes out as close as it was sung in tune, and the detuned melodies,
// taken together, as close as the in-tune ones corrected: one take alone may lose a few frames
// more where its notes change a little apart from where the in-tune take's do.
TEST(WaveBuilderListening, ACorrectionHarmsNoInTuneTakeAndMendsDetunedOnes) {
    std::string folder = testaudio::makeTempDir("listening");
    std::vector<takes::Take> lines = takes::sungLines(12.0, 44100, 31);
    std::map<int, double> inTuneTotal, detunedTotal;
    for (size_t k = 0; k + 1 < lines.size(); k += 2) {
        const takes::Take &inTune = lines[k], &detuned = lines[k + 1];
        SCOPED_TRACE(inTune.name);
        correcting::Session inTuneSession(inTune, folder), detunedSession(detuned, folder);
        double sungOff = listening::msOffNotes(heard(inTune, inTune.samples), inTune.notes);
        for (const auto& [name, kind] : correcting::KINDS) {
            SCOPED_TRACE(name);
            std::vector<float> fromInTune = inTuneSession.corrected("chromatic", kind);
            std::vector<float> fromDetuned = detunedSession.corrected("chromatic", kind);
            double inTuneOff = listening::msOffNotes(heard(inTune, fromInTune), inTune.notes);
            double detunedOff = listening::msOffNotes(heard(detuned, fromDetuned), detuned.notes);
            inTuneTotal[kind] += inTuneOff;
            detunedTotal[kind] += detunedOff;
            EXPECT_LE(inTuneOff, 1.1 * sungOff + 25.0) << "sung " << sungOff << " ms off";
            EXPECT_LE(detunedOff, 1.1 * sungOff) << "sung in tune " << sungOff << " ms off";
            EXPECT_LE(listening::clickPlaces(inTune.samples, fromInTune, inTune.rate), 3);
            EXPECT_LE(listening::clickPlaces(detuned.samples, fromDetuned, detuned.rate), 3);
        }
    }
    for (const auto& [name, kind] : correcting::KINDS) EXPECT_LE(detunedTotal[kind], 1.1 * inTuneTotal[kind]) << name;
}

// Grains overlap-added keep the voice's air and its harmonics: energy above 8 kHz within a dB
// of the input, and harmonicity no more than half a dB lower, on a sung and a bowed take.
TEST(WaveBuilderListening, PsolaKeepsTheAirAndTheHarmonicsOfSungAndBowedTakes) {
    std::string folder = testaudio::makeTempDir("listening_psola"), whyNot;
    std::vector<takes::Take> all = {takes::sungLines(12.0, 44100, 31)[3]};  // the middle voice, detuned
    for (const takes::Take& played : takes::playedLines(true, folder, whyNot)) {
        if (played.name.find("cello") == 0 || played.name.find("violin") == 0) all.push_back(played);
    }
    if (all.size() == 1) std::cout << "Only the sung take: " << whyNot << "\n";
    for (const takes::Take& take : all) {
        SCOPED_TRACE(take.name);
        correcting::Session session(take, folder);
        std::vector<float> out = session.corrected("chromatic", WaveBuilder::USE_PSOLA);
        listening::PitchTrack in = heard(take, take.samples);
        EXPECT_NEAR(listening::bandEnergyDb(out, take.rate, 8000.0), listening::bandEnergyDb(take.samples, take.rate, 8000.0),
                    1.0);
        EXPECT_GE(listening::harmonicityDb(heard(take, out), in), listening::harmonicityDb(in, in) - 0.5);
        EXPECT_LE(listening::clickPlaces(take.samples, out, take.rate), 3);
    }
}

// Notes sung between the notes of C major go to the nearer one, up or down; what lies in no box
// (a blip too short to be a note, a breath) is left exactly as it was.
TEST(WaveBuilderListening, CMajorTakesEveryBoxToTheNearerScaleNoteAndLeavesTheRestAsSung) {
    struct Sung {
        double midi;  // 0 for a rest; sung pitches sit 10 to 45 cents off a scale note's neighbour
        int ms;
        int nearer;
    };
    const std::vector<Sung> line = {{0, 200, 0},     {61.4, 600, 62}, {0, 150, 0}, {65.65, 600, 65},
                                    {0, 150, 0},     {68.1, 600, 69}, {0, 150, 0}, {69.55, 600, 69},
                                    {75.3, 30, 0},  // a 30 ms blip: no note
                                    {0, 150, 0},     {62.05, 600, 62}, {0, 200, 0}};
    std::vector<testaudio::Note> notes;
    for (const Sung& s : line) notes.push_back({s.midi > 0 ? testaudio::midiToHz(s.midi) : 0.0, s.ms * 44100 / 1000});
    takes::Take take;
    take.name = "c_major_between_scale_notes";
    take.samples = testaudio::melody(notes, 44100);
    std::vector<float> breath = testaudio::brownNoise(44100 / 5, 3);  // 200 ms of breath after the notes
    for (float& b : breath) b *= 0.05f;
    take.samples.insert(take.samples.end(), breath.begin(), breath.end());
    double at = 0.0;
    for (const Sung& s : line) {
        if (s.nearer) take.notes.push_back({s.nearer, at / 1000.0, (at + s.ms) / 1000.0});
        at += s.ms;
    }
    correcting::Session session(take, testaudio::makeTempDir("listening_cmajor"));
    for (const auto& [name, kind] : correcting::KINDS) {
        SCOPED_TRACE(name);
        std::vector<float> out = session.corrected("c major", kind);
        const WaveAnalysis& analysis = *session.document().analyzeWave;
        ASSERT_EQ(analysis.segments->size(), 5u);
        std::vector<bool> inBox(out.size(), false);
        for (size_t k = 0; k < analysis.segments->size(); k++) {
            const WaveSegment& box = *(*analysis.segments)[k];
            EXPECT_EQ(session.document().analyzeWave->targetOf(box), take.notes[k].note) << "box " << k;
            std::fill(inBox.begin() + box.startSample, inBox.begin() + box.endSample + 1, true);
        }
        for (size_t i = 0; i < out.size(); i++) {
            if (inBox[i]) continue;
            ASSERT_EQ(out[i], take.samples[i]) << "sample " << i << " lies in no box";
        }
        // Five cents is far below what a listener tells apart.
        EXPECT_LT(listening::medianCentsOff(heard(take, out), take.notes), 5.0);
    }
}

// At low rates a period is few samples long, and periods measured in whole samples put notes up
// to 15 cents off at 22.05 kHz and a 220 Hz tone 17.6 cents flat at 8 kHz.
TEST(WaveBuilderListening, AtLowRatesCorrectedNotesLandOnTheirNote) {
    std::string folder = testaudio::makeTempDir("listening_low_rates");
    takes::Take detuned = takes::sungLines(8.0, 22050, 31)[3];  // the middle voice, 20 to 40 cents off
    correcting::Session sung(detuned, folder);
    takes::Take tone;
    tone.name = "220Hz_sine_8000Hz";
    tone.rate = 8000;
    tone.samples = testaudio::steadyTone(testaudio::Waveform::SINE, 220.0, 3 * tone.rate, tone.rate);
    correcting::Session steady(tone, folder);
    for (const auto& [name, kind] : correcting::KINDS) {
        SCOPED_TRACE(name);
        std::vector<float> out = sung.corrected("chromatic", kind);
        EXPECT_LT(listening::medianCentsOff(heard(detuned, out), detuned.notes), 3.0) << detuned.name;
        out = steady.corrected("chromatic", kind);
        double hz = testaudio::zeroCrossingHz(out, tone.rate / 2, 5 * tone.rate / 2, tone.rate);
        EXPECT_NEAR(cents(hz, 220.0), 0.0, 2.0) << hz << " Hz";
    }
}
