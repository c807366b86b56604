#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Analysis.h"
#include "analysischecks.h"
#include "signals.h"
#include "testaudio.h"
#include "WaveHandler.h"

namespace {

using analysischecks::analyse;
using analysischecks::sameArray;
using analysischecks::WINDOW;

}  // namespace

// ---------------------------------------------------------------------------------------------
// Construction

TEST(AnalysisConstruction, ArraysAreZeroAndNothingIsAnalysed) {
    std::vector<float> samples = testaudio::sinePeriod(100, 5000);
    WaveAnalysis analysis(samples.data(), 5000, 44100, WINDOW, nullptr);
    for (int i = 0; i < 5000; i++) {
        ASSERT_EQ(analysis.waveWidth[i], 0);
        ASSERT_EQ(analysis.frequency[i], 0.0f);
        ASSERT_EQ(analysis.midiValue[i], 0.0);
        ASSERT_EQ(analysis.correctedMidiValue[i], 0.0);
    }
    EXPECT_TRUE(analysis.segments->empty());
    EXPECT_TRUE(analysis.needsResampling);
    EXPECT_EQ(analysis.maxAmplitude, 0);
}

// 100 M samples take 2.4 GB of per-sample arrays: with 1 GB of room the
// construction fails part way, and whatever it took must be given back.
TEST(AnalysisConstruction, ARecordingTooLongForMemoryIsRefusedWithoutKeepingAnything) {
    if (testaudio::underAddressSanitizer()) GTEST_SKIP() << "AddressSanitizer needs an unlimited address space";
    float sample = 0.0f;
    testaudio::AddressSpaceHeadroom headroom(1u << 30);
    for (int attempt = 0; attempt < 2; attempt++)
        EXPECT_THROW(WaveAnalysis(&sample, 100000000, 44100, 1024, nullptr), std::bad_alloc) << attempt;
    // Had the first arrays been kept, 600 MB would no longer fit.
    auto takeRoom = [] {
        std::unique_ptr<char[]> room(new char[600u << 20]);
        static_cast<volatile char*>(room.get())[0] = 1;  // keeps the allocation from being optimised away
    };
    EXPECT_NO_THROW(takeRoom());
}

TEST(AnalysisConstruction, StartsOnGMajor) {
    std::vector<float> samples(10, 0.0f);
    WaveAnalysis analysis(samples.data(), 10, 44100, WINDOW, nullptr);
    const bool gMajor[12] = {true, false, true, false, true, false, true, true, false, true, false, true};
    for (int pc = 0; pc < 12; pc++) EXPECT_EQ(analysis.inScale(pc), gMajor[pc]) << "pitch class " << pc;
}

// ---------------------------------------------------------------------------------------------
// Conversions

TEST(AnalysisConversions, MidiToFrequency) {
    EXPECT_NEAR(WaveAnalysis::midiToFrequency(69), 440.0, 1e-9);
    EXPECT_NEAR(WaveAnalysis::midiToFrequency(57), 220.0, 1e-9);
    EXPECT_NEAR(WaveAnalysis::midiToFrequency(0), 8.1758, 1e-4);
    EXPECT_NEAR(WaveAnalysis::midiToFrequency(81), 880.0, 1e-9);
}

TEST(AnalysisConversions, FrequencyToMidiSitsOneCentAbove) {
    EXPECT_NEAR(WaveAnalysis::frequencyToMidi(440.0f), 69.01, 1e-9);
    EXPECT_NEAR(WaveAnalysis::frequencyToMidi(220.0f), 57.01, 1e-9);
    EXPECT_NEAR(WaveAnalysis::frequencyToMidi(110.0f), 45.01, 1e-9);
    EXPECT_NEAR(WaveAnalysis::frequencyToMidi(static_cast<float>(WaveAnalysis::midiToFrequency(60.5))), 60.51, 1e-5);
}

TEST(AnalysisConversions, HelpersMyabsAndNear) {
    std::vector<float> samples(4, 0.0f);
    WaveAnalysis analysis(samples.data(), 4, 44100, WINDOW, nullptr);
    EXPECT_EQ(analysis.myabs(-2.5), 2.5);
    EXPECT_EQ(analysis.myabs(3.0), 3.0);
    EXPECT_TRUE(analysis.near(0.5f, 1.0f, 1.5f));
    EXPECT_FALSE(analysis.near(0.5f, 1.0f, 1.6f));
}

// ---------------------------------------------------------------------------------------------
// Scales and snapping

TEST(AnalysisScales, EveryNamedScaleEnablesItsSevenPitchClasses) {
    const char* names[12] = {"c major", "c# major", "d major", "d# major", "e major",  "f major",
                             "f# major", "g major", "g# major", "a major", "a# major", "b major"};
    std::vector<float> samples(4, 0.0f);
    WaveAnalysis analysis(samples.data(), 4, 44100, WINDOW, nullptr);
    for (int tonic = 0; tonic < 12; tonic++) {
        analysis.setScale(names[tonic]);
        for (int pc = 0; pc < 12; pc++) {
            int step = (pc - tonic + 12) % 12;
            bool expected = step == 0 || step == 2 || step == 4 || step == 5 || step == 7 || step == 9 || step == 11;
            EXPECT_EQ(analysis.inScale(pc), expected) << names[tonic] << ", pitch class " << pc;
        }
    }
    analysis.setScale("chromatic");
    for (int pc = 0; pc < 12; pc++) EXPECT_TRUE(analysis.inScale(pc));
}

TEST(AnalysisScales, UnknownNamesSelectAnEmptyScale) {
    std::vector<float> samples(4, 0.0f);
    WaveAnalysis analysis(samples.data(), 4, 44100, WINDOW, nullptr);
    for (const char* name : {"C Major", "none", "", "c major ", "Chromatic", "h major"}) {
        analysis.setScale("chromatic");
        analysis.setScale(name);
        for (int pc = 0; pc < 12; pc++) EXPECT_FALSE(analysis.inScale(pc)) << '"' << name << '"';
    }
    analysis.setScale(nullptr);
    for (int pc = 0; pc < 12; pc++) EXPECT_FALSE(analysis.inScale(pc));
    analysis.setScale("C Major");
    EXPECT_EQ(analysis.closestMatch(60.0), 59.0);
}

TEST(AnalysisScales, ClosestMatchChromaticRoundsHalfUpAndRejectsNoPitch) {
    std::vector<float> samples(4, 0.0f);
    WaveAnalysis analysis(samples.data(), 4, 44100, WINDOW, nullptr);
    analysis.setScale("chromatic");
    EXPECT_EQ(analysis.closestMatch(4.99), -1.0);
    EXPECT_EQ(analysis.closestMatch(-1.0), -1.0);
    EXPECT_EQ(analysis.closestMatch(std::nan("")), -1.0);
    EXPECT_EQ(analysis.closestMatch(5.0), 5.0);
    EXPECT_EQ(analysis.closestMatch(60.4), 60.0);
    EXPECT_EQ(analysis.closestMatch(60.5), 61.0);
    EXPECT_EQ(analysis.closestMatch(127.2), 127.0);
}

TEST(AnalysisScales, ClosestMatchOutsideTheScaleGoesToTheNearerNeighbour) {
    std::vector<float> samples(4, 0.0f);
    WaveAnalysis analysis(samples.data(), 4, 44100, WINDOW, nullptr);
    analysis.setScale("c major");
    EXPECT_EQ(analysis.closestMatch(61.2), 62.0);
    EXPECT_EQ(analysis.closestMatch(61.0), 60.0);  // an exact tie goes below
    EXPECT_EQ(analysis.closestMatch(60.6), 60.0);
    EXPECT_EQ(analysis.closestMatch(62.3), 62.0);  // in the scale: unchanged
    EXPECT_EQ(analysis.closestMatch(66.0), 65.0);  // F# -> F
    EXPECT_EQ(analysis.closestMatch(66.3), 67.0);  // F# + 0.3 -> G
}

// ---------------------------------------------------------------------------------------------
// Silence

TEST(AnalysisSilence, MoreThanTwoHundredQuietSamplesAreSilence) {
    for (int run : {200, 201}) {
        std::vector<float> samples(1000, 0.25f);
        for (int i = 300; i < 300 + run; i++) samples[i] = 0.0f;
        WaveAnalysis analysis(samples.data(), 1000, 44100, WINDOW, nullptr);
        analysis.findSilence();
        float inside = run == 201 ? -1.0f : 0.0f;
        EXPECT_EQ(analysis.frequency[299], 0.0f) << run;
        EXPECT_EQ(analysis.frequency[300], inside) << run;
        EXPECT_EQ(analysis.frequency[300 + run - 1], inside) << run;
        EXPECT_EQ(analysis.frequency[300 + run], 0.0f) << run;  // the sample that ends the run
    }
}

TEST(AnalysisSilence, TheLastSampleIsNeverMarkedAndNaNCountsAsQuiet) {
    std::vector<float> samples(600, 0.25f);
    for (int i = 100; i < 350; i++) samples[i] = std::nanf("");
    for (int i = 300; i < 600; i++) samples[i] = 0.0f;  // a mixed quiet run reaching the end
    WaveAnalysis analysis(samples.data(), 600, 44100, WINDOW, nullptr);
    analysis.findSilence();
    EXPECT_EQ(analysis.frequency[99], 0.0f);
    EXPECT_EQ(analysis.frequency[100], -1.0f);
    EXPECT_EQ(analysis.frequency[598], -1.0f);
    EXPECT_EQ(analysis.frequency[599], 0.0f);
}

TEST(AnalysisSilence, FindSilenceClearsEarlierResults) {
    std::vector<float> samples(600, 0.25f);
    WaveAnalysis analysis(samples.data(), 600, 44100, WINDOW, nullptr);
    for (int i = 0; i < 600; i++) analysis.frequency[i] = 123.0f;
    analysis.findSilence();
    for (int i = 0; i < 600; i++) ASSERT_EQ(analysis.frequency[i], 0.0f);
}

// ---------------------------------------------------------------------------------------------
// Autocorrelation and periods

TEST(AnalysisPeriods, AutocorrelateNeedsTheWholeWindow) {
    std::vector<float> samples = testaudio::sinePeriod(100, 2000);
    WaveAnalysis analysis(samples.data(), 2000, 44100, WINDOW, nullptr);
    EXPECT_EQ(analysis.autocorrelate(976, 1024), 1076);  // ends exactly at the buffer's end
    EXPECT_EQ(analysis.autocorrelate(977, 1024), -1);
    EXPECT_EQ(analysis.autocorrelate(-1, 300), -1);
    EXPECT_EQ(analysis.autocorrelate(0, -5), -1);
}

TEST(AnalysisPeriods, AutocorrelateSkipsWindowsWhoseFirstHalfTouchesSilence) {
    std::vector<float> samples = testaudio::sinePeriod(100, 3000);
    WaveAnalysis analysis(samples.data(), 3000, 44100, WINDOW, nullptr);
    analysis.frequency[511] = -1.0f;
    EXPECT_EQ(analysis.autocorrelate(0, 1024), -1);
    EXPECT_EQ(analysis.autocorrelate(1, 1024), -1);
    EXPECT_EQ(analysis.autocorrelate(512, 1024), 612);
    analysis.frequency[511] = 0.0f;
    analysis.frequency[512] = -1.0f;  // in the second half: correlated anyway
    EXPECT_EQ(analysis.autocorrelate(0, 1024), 100);
}

TEST(AnalysisPeriods, MarkFrequencyCoversBothEnds) {
    std::vector<float> samples(1000, 0.1f);
    WaveAnalysis analysis(samples.data(), 1000, 44100, WINDOW, nullptr);
    analysis.markFrequency(100, 200);
    EXPECT_EQ(analysis.waveWidth[100], 100);
    EXPECT_EQ(analysis.waveWidth[101], 0);
    EXPECT_EQ(analysis.frequency[99], 0.0f);
    for (int i = 100; i <= 200; i++) ASSERT_EQ(analysis.frequency[i], 441.0f);
    EXPECT_EQ(analysis.frequency[201], 0.0f);
}

TEST(AnalysisPeriods, SteadyToneIsTrackedPeriodByPeriod) {
    std::vector<float> samples = testaudio::sinePeriod(100, 10000);  // 441 Hz
    std::unique_ptr<WaveAnalysis> analysis = analyse(samples, 44100);
    // After the first period the window is 300 samples, so the last start is 9700.
    for (int i = 0; i < 10000; i++) {
        int expected = (i % 100 == 0 && i <= 9700) ? 100 : 0;
        ASSERT_EQ(analysis->waveWidth[i], expected) << i;
    }
    // The first window ends part way through a period, which leans its vertex by a fiftieth of
    // a cent. Later windows hold one and a half periods, whose matches either side of the period
    // are equal.
    for (int i = 0; i < 100; i++) ASSERT_NEAR(1200.0 * std::log2(analysis->frequency[i] / 441.0), 0.0, 0.05) << i;
    for (int i = 100; i <= 9800; i++) ASSERT_EQ(analysis->frequency[i], 441.0f) << i;
    for (int i = 9801; i < 10000; i++) ASSERT_EQ(analysis->frequency[i], -1.0f) << i;
    EXPECT_NEAR(analysis->midiValue[500], 69.01 + 12.0 * std::log2(441.0 / 440.0), 1e-9);
    EXPECT_EQ(analysis->midiValue[9999], -1.0);
}

TEST(AnalysisPeriods, PeriodOf29KeepsTheFirstWindowAndOf30TriplesIt) {
    // 29 and 30 samples per period at 44100 Hz; the window length shows where detection ends.
    for (int period : {29, 30}) {
        std::vector<float> samples = testaudio::sinePeriod(period, 3000);
        std::unique_ptr<WaveAnalysis> analysis = analyse(samples, 44100);
        int window = period == 29 ? WINDOW : 90;
        int lastStart = 0;
        for (int i = 0; i < 3000; i++) {
            if (analysis->waveWidth[i] != 0) {
                ASSERT_EQ(analysis->waveWidth[i], period) << i;
                lastStart = i;
            }
        }
        EXPECT_EQ(lastStart, (3000 - window) / period * period) << period;
    }
}

TEST(AnalysisPeriods, DetectionStopsBeforeSilenceAndResumesAfterIt) {
    // The tone is exactly 0.0 at every period start, so the silence runs from 3000 to 3300.
    std::vector<float> samples = testaudio::sinePeriod(100, 6300);
    for (int i = 3000; i < 3300; i++) samples[i] = 0.0f;
    std::unique_ptr<WaveAnalysis> analysis = analyse(samples, 44100);
    EXPECT_EQ(analysis->waveWidth[2800], 100);
    // From 2900 on every window has silence in its first half: no period starts there.
    for (int i = 2801; i <= 3300; i++) ASSERT_EQ(analysis->waveWidth[i], 0) << i;
    // The last period's window reaches into the silence, which leans its vertex a little.
    EXPECT_NEAR(analysis->frequency[2900], 441.0f, 0.05f);
    for (int i = 2901; i <= 3300; i++) ASSERT_EQ(analysis->frequency[i], -1.0f) << i;
    // After the rest the search starts afresh with its first window.
    EXPECT_EQ(analysis->waveWidth[3301], 100);
    EXPECT_NEAR(analysis->frequency[3301], 441.0f, 0.05f);
}

TEST(AnalysisPeriods, TenHertzIsNoPitchButAnythingAboveIs) {
    // The first window scales with the rate: 8908 samples at 44.1 kHz are 202 at 1 kHz, which
    // search lags up to 100. A period at the end of the range takes no vertex: it stays whole.
    std::vector<float> samples = testaudio::sinePeriod(100, 3000);
    for (int rate : {1000, 1001}) {
        WaveAnalysis analysis(samples.data(), 3000, rate, 8908, nullptr);
        analysis.findFrequencies();
        EXPECT_EQ(analysis.waveWidth[0], 100) << rate;
        if (rate == 1000) {
            EXPECT_EQ(analysis.frequency[0], 10.0f);
            EXPECT_EQ(analysis.midiValue[0], -1.0);
        } else {
            EXPECT_EQ(analysis.frequency[0], 10.01f);
            EXPECT_NEAR(analysis.midiValue[0], WaveAnalysis::frequencyToMidi(10.01f), 1e-12);
        }
    }
    std::vector<float> tone220 = testaudio::sinePeriod(200, 3000);
    std::unique_ptr<WaveAnalysis> at44000 = analyse(tone220, 44000);
    EXPECT_NEAR(at44000->midiValue[0], 57.01, 1e-4) << "within the hundredth of a cent of a first window's vertex";
}

TEST(AnalysisPeriods, ProgressRisesToOneAndDoesNotChangeResults) {
    std::vector<float> samples = signals::sungMelody({}, 2.0, 44100, 7);
    std::vector<double> seen;
    WaveAnalysis watched(samples.data(), static_cast<int>(samples.size()), 44100, WINDOW, nullptr);
    watched.progress = [&seen](double share) { seen.push_back(share); };
    watched.findFrequencies();
    WaveAnalysis quiet(samples.data(), static_cast<int>(samples.size()), 44100, WINDOW, nullptr);
    quiet.findFrequencies();
    ASSERT_GE(seen.size(), 10u);
    for (size_t k = 1; k < seen.size(); k++) ASSERT_LE(seen[k - 1], seen[k]);
    EXPECT_GE(seen.front(), 0.0);
    EXPECT_EQ(seen.back(), 1.0);
    for (size_t i = 0; i < samples.size(); i++) {
        ASSERT_EQ(watched.waveWidth[i], quiet.waveWidth[i]);
        ASSERT_EQ(watched.frequency[i], quiet.frequency[i]);
    }
}

// ---------------------------------------------------------------------------------------------
// Bad input

TEST(AnalysisBadInput, TooShortEmptySilentOrSingleSampleBuffersGiveNoPitch) {
    std::vector<std::vector<float>> buffers = {
        testaudio::sinePeriod(100, 1000),  // shorter than the window
        std::vector<float>(5000, 0.0f),    // all silence
        std::vector<float>(1, 0.5f),
        std::vector<float>(1, 0.0f),
    };
    for (std::vector<float>& samples : buffers) {
        SCOPED_TRACE(samples.size());
        std::unique_ptr<WaveAnalysis> analysis = analyse(samples, 44100);
        for (size_t i = 0; i < samples.size(); i++) {
            ASSERT_EQ(analysis->frequency[i], -1.0f);
            ASSERT_EQ(analysis->midiValue[i], -1.0);
            ASSERT_EQ(analysis->waveWidth[i], 0);
        }
        EXPECT_TRUE(analysis->segments->empty());
        analysis->calculateCorrectPitch();
        EXPECT_EQ(analysis->correctedMidiValue[0], -1.0);
    }
}

TEST(AnalysisBadInput, ZeroLengthAndMissingBuffersDoNothing) {
    std::vector<float> none;
    WaveAnalysis empty(none.data(), 0, 44100, WINDOW, nullptr);
    empty.findFrequencies();
    empty.findSegments();
    empty.findMaxAmplitude();
    empty.calculateCorrectPitch();
    EXPECT_TRUE(empty.segments->empty());
    EXPECT_TRUE(empty.needsResampling);
    EXPECT_EQ(empty.autocorrelate(0, 1024), -1);
    WaveAnalysis missing(nullptr, 500, 44100, WINDOW, nullptr);
    missing.findFrequencies();
    missing.findSegments();
    EXPECT_TRUE(missing.segments->empty());
}

TEST(AnalysisBadInput, LowAndHighSampleRates) {
    // Sines, because the later windows span one and a half periods: every half period of a sine
    // holds the same energy, so the true period wins exactly.
    std::vector<float> low = testaudio::sinePeriod(40, 8000);  // 200 Hz at 8 kHz
    std::unique_ptr<WaveAnalysis> at8k = analyse(low, 8000);
    EXPECT_EQ(at8k->waveWidth[0], 40);
    EXPECT_EQ(at8k->frequency[4000], 200.0f);
    ASSERT_EQ(at8k->segments->size(), 1u);
    EXPECT_EQ((*at8k->segments)[0]->midiNumber, 55);  // 200 Hz is 55.36 with the 0.01 offset
    std::vector<float> high = testaudio::sinePeriod(256, 192000);  // 750 Hz at 192 kHz
    std::unique_ptr<WaveAnalysis> at192k = analyse(high, 192000);
    // The first window holds 8.7 periods of unequal energy, which may favour a neighbouring lag.
    EXPECT_NEAR(at192k->waveWidth[0], 256, 1);
    EXPECT_EQ(at192k->frequency[96000], 750.0f);
    ASSERT_EQ(at192k->segments->size(), 1u);
    EXPECT_EQ((*at192k->segments)[0]->midiNumber, 78);  // 750 Hz is 78.24
}

TEST(AnalysisBadInput, PeakAmplitudeTruncatesAndSurvivesWildValues) {
    std::vector<float> samples = {0.5f, 2.7f, -3.9f, 1.0f};
    WaveAnalysis analysis(samples.data(), 4, 44100, WINDOW, nullptr);
    analysis.findMaxAmplitude();
    EXPECT_EQ(analysis.maxAmplitude, 3);
    samples[1] = 25.5f;
    analysis.findMaxAmplitude();
    EXPECT_EQ(analysis.maxAmplitude, 25);
    samples[2] = -std::numeric_limits<float>::infinity();
    samples[3] = std::nanf("");
    analysis.findMaxAmplitude();
    EXPECT_GT(analysis.maxAmplitude, 25);
}

// ---------------------------------------------------------------------------------------------
// Sample rates

TEST(AnalysisSampleRates, OneMelodyGivesTheSameNotesAtEveryRate) {
    // A baritone's lowest notes up to a soprano's D, some off key by up to 20 cents, with rests of
    // digital silence and leaps of at least three semitones, so every note is a segment of its own.
    const double played[][2] = {{45, 0.0}, {50, 0.2}, {55, -0.15}, {59, 0.0}, {62, 0.1}, {65, -0.2}, {69, 0.0}, {74, 0.15}};
    for (int rate : {8000, 22050, 44100, 48000, 96000}) {
        SCOPED_TRACE(std::to_string(rate) + "Hz_eight_notes_with_rests");
        std::vector<testaudio::Note> notes;
        for (int k = 0; k < 8; k++) {
            notes.push_back({testaudio::midiToHz(played[k][0] + played[k][1]), rate / 2});
            if (k % 3 == 2) notes.push_back({0.0, rate / 5});
        }
        std::vector<float> samples = testaudio::melody(notes, rate);
        std::unique_ptr<WaveAnalysis> analysis = analyse(samples, rate);
        std::vector<int> found;
        for (const WaveSegment* s : *analysis->segments) found.push_back(s->midiNumber);
        EXPECT_EQ(found, std::vector<int>({45, 50, 55, 59, 62, 65, 69, 74}));
    }
}

TEST(AnalysisOctaves, SteadyTonesAreReadAtTheirOwnOctave) {
    // Whole multiples of a period match too, and the plain sum prefers them often: a 440 Hz sine
    // used to come out two to four octaves low, and the window that followed kept the error; near
    // 700 Hz a first window can lock on seven periods. A bright tone, whose second and third
    // harmonics are stronger than its fundamental, must not be read an octave high either.
    // Every semitone from 98 to 1480 Hz.
    const double sine[] = {1.0, 0.0, 0.0}, harmonic[] = {1.0, 0.3, 0.15}, bright[] = {0.4, 1.0, 0.8};
    const std::pair<const char*, const double*> timbres[] = {{"sine", sine}, {"harmonic", harmonic}, {"bright", bright}};
    for (int rate : {44100, 48000}) {
        for (int note = 43; note <= 78; note++) {
            double hz = testaudio::midiToHz(note);
            for (const auto& timbre : timbres) {
                SCOPED_TRACE(std::to_string(rate) + "Hz_" + std::to_string(static_cast<int>(hz)) + "Hz_" + timbre.first);
                const double* weight = timbre.second;
                std::vector<float> samples(rate);
                for (int i = 0; i < rate; i++) {
                    double phase = 2.0 * M_PI * hz * i / rate;
                    samples[i] = static_cast<float>(0.25 * (weight[0] * std::sin(phase) + weight[1] * std::sin(2 * phase) +
                                                            weight[2] * std::sin(3 * phase)));
                }
                std::unique_ptr<WaveAnalysis> analysis = analyse(samples, rate);
                // A whole-sample period is off by up to half a sample: 29 cents at 1480 Hz.
                int off = 0, voiced = 0;
                for (int i = 0; i < rate; i++) {
                    if (analysis->midiValue[i] < 0) continue;
                    voiced++;
                    off += std::fabs(analysis->midiValue[i] - note) > 0.5;
                }
                EXPECT_GT(voiced, rate - 4 * rate / hz) << "only the last window's three periods and one more unvoiced";
                ASSERT_EQ(off, 0);
                ASSERT_EQ(analysis->segments->size(), 1u);
                EXPECT_EQ((*analysis->segments)[0]->midiNumber, note);
            }
        }
    }
}

TEST(AnalysisOctaves, SineSquareAndSawtoothOnEverySemitoneAreReadAndBoxedOnTheirNote) {
    // A smooth low tone matches short lags nearly as well as its period, and a first window holds
    // a dozen periods of a high one: either used to put a steady tone on another note (1175 Hz
    // read as MIDI 44, a low C as 97). Half a second of each; its middle half lies past the first
    // window at every rate.
    struct Range {
        int rate, lowest, highest;
    };
    const Range ranges[] = {{44100, 36, 90}, {22050, 40, 88}, {48000, 40, 88}, {96000, 40, 88}};
    using testaudio::Waveform;
    const std::pair<Waveform, const char*> shapes[] = {
        {Waveform::SINE, "sine"}, {Waveform::SQUARE, "square"}, {Waveform::SAWTOOTH, "sawtooth"}};
    for (const Range& range : ranges) {
        for (const auto& shape : shapes) {
            for (int note = range.lowest; note <= range.highest; note++) {
                SCOPED_TRACE(std::to_string(range.rate) + "Hz_" + shape.second + "_midi" + std::to_string(note));
                int frames = range.rate / 2;
                std::vector<float> samples = testaudio::steadyTone(shape.first, testaudio::midiToHz(note), frames, range.rate);
                std::unique_ptr<WaveAnalysis> analysis = analyse(samples, range.rate);
                std::vector<double> cents;
                for (int i = frames / 4; i < 3 * frames / 4; i++) {
                    // MIDI values sit a cent above the pitch.
                    if (analysis->midiValue[i] >= 0.0) cents.push_back(100.0 * (analysis->midiValue[i] - 0.01 - note));
                }
                ASSERT_EQ(cents.size(), static_cast<size_t>(3 * frames / 4 - frames / 4)) << "a steady middle is voiced";
                for (double c : cents) ASSERT_LT(std::fabs(c), 50.0);
                ASSERT_FALSE(analysis->segments->empty());
                const WaveSegment* longest = *std::max_element(
                    analysis->segments->begin(), analysis->segments->end(), [](const WaveSegment* a, const WaveSegment* b) {
                        return a->endSample - a->startSample < b->endSample - b->startSample;
                    });
                ASSERT_EQ(longest->midiNumber, note) << "the longest box";
                // Read from whole-sample periods, these sawtooth tones were up to 23 cents off.
                if (range.rate == 44100 && shape.first == Waveform::SAWTOOTH && note >= 83 && note <= 89) {
                    std::nth_element(cents.begin(), cents.begin() + cents.size() / 2, cents.end());
                    EXPECT_LT(std::fabs(cents[cents.size() / 2]), 8.0) << "median";
                }
            }
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Segments, on hand-written detection arrays

namespace {

// An analysis over a quiet buffer whose detection arrays the test writes itself.
struct HandMade {
    std::vector<float> samples;
    WaveAnalysis analysis;
    explicit HandMade(int n) : samples(n, 0.1f), analysis(samples.data(), n, 44100, WINDOW, nullptr) {
        for (int i = 0; i < n; i++) {
            analysis.frequency[i] = -1.0f;
            analysis.midiValue[i] = -1.0;
        }
    }
    void voice(int from, int to, double midi) {
        for (int i = from; i < to; i++) {
            analysis.frequency[i] = 300.0f;
            analysis.midiValue[i] = midi;
        }
    }
    std::vector<WaveSegment*>& segments() { return *analysis.segments; }
};

}  // namespace

// 50 ms is the shortest note: 2205 samples at 44.1 kHz.
TEST(AnalysisSegments, ASoundHeldShorterThanANoteIsNoBox) {
    HandMade made(12000);
    made.voice(100, 2000, 60.0);    // 43 ms
    made.voice(5000, 8000, 62.0);   // 68 ms: a short note that was sung
    made.analysis.findSegments();
    ASSERT_EQ(made.segments().size(), 1u);
    EXPECT_EQ(made.segments()[0]->startSample, 5000);
    EXPECT_EQ(made.segments()[0]->endSample, 7999);
    EXPECT_EQ(made.segments()[0]->midiNumber, 62);
}

// A B sung 30 cents sharp and a C sung 25 cents flat are two notes; 0.3 apart is one that moved.
TEST(AnalysisSegments, NotesSungFromAboutHalfASemitoneApartAreTwoBoxesThatMeet) {
    HandMade made(40000);
    made.voice(0, 10000, 59.3);
    made.voice(10000, 20000, 59.75);  // 0.45 up: a new note
    made.voice(20000, 30000, 60.05);  // 0.3 up: the same note
    made.analysis.findSegments();
    ASSERT_EQ(made.segments().size(), 2u);
    EXPECT_EQ(made.segments()[0]->midiNumber, 59);
    EXPECT_EQ(made.segments()[1]->midiNumber, 60);
    EXPECT_EQ(made.segments()[0]->endSample + 1, made.segments()[1]->startSample) << "legato notes leave no gap";
    EXPECT_NEAR(made.segments()[1]->startSample, 10000, 100);
}

// The note is the one nearest the pitch held in the box's body; a sharp onset does not count.
TEST(AnalysisSegments, TheNoteIsNearestThePitchHeldNotTheOnset) {
    for (double held : {60.5, 60.49}) {
        HandMade made(30000);
        made.voice(0, 6500, 61.2);  // 147 ms of onset, 0.7 above
        made.voice(6500, 30000, held);
        made.analysis.findSegments();
        ASSERT_EQ(made.segments().size(), 1u) << held;
        EXPECT_EQ(made.segments()[0]->midiNumber, held == 60.5 ? 61 : 60);
        EXPECT_DOUBLE_EQ(made.segments()[0]->heldMidi, held);
    }
}

TEST(AnalysisSegments, FindingAgainReplacesTheList) {
    HandMade made(15000);
    made.voice(0, 5000, 60.0);
    made.voice(8000, 14000, 64.0);
    made.analysis.findSegments();
    made.analysis.findSegments();
    ASSERT_EQ(made.segments().size(), 2u);
    EXPECT_LT(made.segments()[0]->endSample, made.segments()[1]->startSample);
}

// ---------------------------------------------------------------------------------------------
// Corrected pitch

namespace {

// One segment of note `note` over [1000, 4000) whose detected pitch is `before` up to sample
// 2000 and `after` from there; unvoiced elsewhere.
struct StepSegment : HandMade {
    StepSegment(int note, double before, double after) : HandMade(6000) {
        voice(1000, 2000, before);
        voice(2000, 4000, after);
        analysis.segments->push_back(new WaveSegment(1000, 3999, note, samples.data(), 6000));
    }
};

}  // namespace

// A note sung between two scale notes goes to the nearer one, up as well as down.
TEST(AnalysisCorrection, APitchHeldOutsideTheScaleGoesToTheNearerScaleNote) {
    for (double held : {61.4, 60.6}) {
        StepSegment made(61, held, held);
        made.analysis.segments->back()->heldMidi = held;
        made.analysis.setScale("c major");
        made.analysis.needsResampling = false;
        made.analysis.calculateCorrectPitch();
        EXPECT_TRUE(made.analysis.needsResampling);
        double nearer = held > 61.0 ? 62.0 : 60.0;
        for (int i = 1000; i < 4000; i++) ASSERT_DOUBLE_EQ(made.analysis.correctedMidiValue[i], nearer) << i;
        EXPECT_EQ(made.analysis.targetOf(*made.analysis.segments->back()), nearer);
    }
}

TEST(AnalysisCorrection, AStepGlidesBackAtTheCorrectionRate) {
    StepSegment made(60, 60.0, 60.3);
    made.analysis.setScale("chromatic");
    made.analysis.calculateCorrectPitch();  // no document: 0.0003 per sample
    const double* corrected = made.analysis.correctedMidiValue;
    EXPECT_EQ(corrected[1000], 60.0);  // re-seated on the scale note
    EXPECT_EQ(corrected[1999], 60.0);
    EXPECT_NEAR(corrected[2000], 60.2997, 1e-9);
    EXPECT_NEAR(corrected[2001], 60.2994, 1e-9);
    for (int i = 2001; i < 4000; i++) ASSERT_LE(corrected[i], corrected[i - 1]) << i;
    for (int i = 2000; i < 4000; i++) ASSERT_GE(corrected[i], 60.0) << i;
    EXPECT_GT(corrected[2995], 60.0);
    EXPECT_EQ(corrected[3002], 60.0);  // about 1000 samples after the step, exactly on the note
    EXPECT_EQ(corrected[3999], 60.0);
}

// Readings of another note (the tail of the one before) or misread an octave off are not the
// note moving: no glide gathers while they last, so the note does not come back off its target.
TEST(AnalysisCorrection, ReadingsFarFromTheNoteLeaveItWhereItWas) {
    StepSegment made(60, 60.0, 60.0);
    made.voice(1000, 1600, 63.0);
    made.voice(2000, 2300, 40.0);
    made.voice(2300, 2600, 47.5);
    made.analysis.setScale("chromatic");
    made.analysis.calculateCorrectPitch();
    for (int i = 1000; i < 4000; i++) ASSERT_EQ(made.analysis.correctedMidiValue[i], made.analysis.midiValue[i]) << i;
}

// Outside every box the recording is left as sung, and so is a box left where it was sung.
TEST(AnalysisCorrection, VoicedSamplesOutsideBoxesAndBoxesLeftAsSungKeepTheirPitch) {
    StepSegment made(64, 63.8, 64.1);
    made.voice(4500, 5000, 70.3);
    made.analysis.midiValue[4700] = 87.0;  // a period read far off
    made.analysis.segments->back()->heldMidi = 64.1;
    made.analysis.setScale("chromatic");
    made.analysis.calculateCorrectPitch();
    const double* corrected = made.analysis.correctedMidiValue;
    for (int i = 4000; i < 6000; i++) ASSERT_EQ(corrected[i], made.analysis.midiValue[i]) << i;
    EXPECT_NEAR(corrected[1000], 63.7, 1e-12) << "the onset keeps its shape, moved by the box's correction";
    made.analysis.leaveAsSung();
    made.analysis.calculateCorrectPitch();
    for (int i = 0; i < 6000; i++) ASSERT_EQ(corrected[i], made.analysis.midiValue[i]) << i;
    // Only a box the user put on a note of their own moves.
    made.analysis.segments->back()->place({66, true});
    made.analysis.calculateCorrectPitch();
    EXPECT_NEAR(corrected[1000], 65.7, 1e-12);
    EXPECT_EQ(corrected[4500], 70.3);
}

TEST(AnalysisCorrection, CorrectionStartsAtTheFirstSampleAndAtEveryBox) {
    HandMade made(6000);
    made.voice(0, 3000, 64.2);
    made.voice(3000, 6000, 61.2);
    made.analysis.segments->push_back(new WaveSegment(0, 2999, 64, made.samples.data(), 6000));
    made.analysis.segments->push_back(new WaveSegment(3000, 5999, 61, made.samples.data(), 6000));
    (*made.analysis.segments)[0]->heldMidi = 64.2;
    (*made.analysis.segments)[1]->heldMidi = 61.2;
    made.analysis.setScale("c major");
    made.analysis.calculateCorrectPitch();
    const double* corrected = made.analysis.correctedMidiValue;
    EXPECT_DOUBLE_EQ(corrected[0], 64.0);  // index 0 is re-seated like any first sample
    EXPECT_DOUBLE_EQ(corrected[2999], 64.0);
    EXPECT_DOUBLE_EQ(corrected[3000], 62.0);  // a new box: re-seated on the scale note nearest 61.2
    EXPECT_DOUBLE_EQ(corrected[5999], 62.0);
}

namespace {

// calculateCorrectPitch written out plainly, with a temporary array of the box at each sample.
std::vector<double> plainCorrection(WaveAnalysis& analysis, int n, double rate) {
    std::vector<const WaveSegment*> box(n, nullptr);
    for (const WaveSegment* s : *analysis.segments) {
        for (int i = std::max(s->startSample, 0); i <= std::min(s->endSample, n - 1); i++) box[i] = s;
    }
    const double* midi = analysis.midiValue;
    std::vector<double> corrected(n);
    double current = -1.0;
    for (int i = 0; i < n; i++) {
        double target = box[i] ? analysis.targetOf(*box[i]) : 0.0;
        if (!box[i] || analysis.leftAsSung(*box[i]) || midi[i] < 5.0) {
            current = midi[i];
        } else if (i == 0 || box[i - 1] != box[i] || midi[i - 1] < 5.0) {
            current = midi[i] + (target - box[i]->heldMidi);
        } else {
            current += midi[i] - midi[i - 1];
            bool otherNote = std::fabs(midi[i] - box[i]->heldMidi) > 2.5;
            if (target > current && !otherNote) current = std::min(current + rate, target);
            if (target < current && !otherNote) current = std::max(current - rate, target);
        }
        corrected[i] = current;
    }
    return corrected;
}

}  // namespace

TEST(AnalysisCorrection, MatchesThePlainLoopOnASungMelody) {
    // The melody crosses MIDI 64.0, where the spacing of doubles doubles: glides across it must
    // still round exactly as step-by-step additions do.
    std::vector<float> samples = signals::sungMelody({}, 8.0, 44100, 11);
    int n = static_cast<int>(samples.size());
    std::unique_ptr<WaveAnalysis> analysis = analyse(samples, 44100);
    ASSERT_GT(analysis->segments->size(), 5u);
    for (const char* scale : {"chromatic", "c major", "f# major", "none"}) {
        SCOPED_TRACE(scale);
        analysis->setScale(scale);
        analysis->calculateCorrectPitch();
        EXPECT_TRUE(sameArray("correctedMidiValue", plainCorrection(*analysis, n, 0.0003), analysis->correctedMidiValue));
    }
    // A hand-made list out of order, overlapping and partly beyond the samples.
    std::vector<WaveSegment*>& list = *analysis->segments;
    std::swap(list.front(), list.back());
    list.push_back(new WaveSegment(list[1]->startSample + 10, list[1]->endSample + 3000, 70, samples.data(), n));
    list.push_back(new WaveSegment(n - 500, n - 1, 66, samples.data(), n));
    analysis->setScale("d major");
    analysis->calculateCorrectPitch();
    EXPECT_TRUE(sameArray("correctedMidiValue", plainCorrection(*analysis, n, 0.0003), analysis->correctedMidiValue));
}

TEST(AnalysisCorrection, TheDocumentsRateIsUsedAndZeroMeansNoGlide) {
    WaveHandler document;
    StepSegment made(60, 60.0, 60.3);
    WaveAnalysis analysis(made.samples.data(), 6000, 44100, WINDOW, &document);
    for (int i = 0; i < 6000; i++) {
        analysis.frequency[i] = made.analysis.frequency[i];
        analysis.midiValue[i] = made.analysis.midiValue[i];
    }
    analysis.segments->push_back(new WaveSegment(1000, 3999, 60, made.samples.data(), 6000));
    analysis.setScale("chromatic");
    document.CORRECTION_RATE = 0.0;
    analysis.calculateCorrectPitch();
    EXPECT_EQ(analysis.correctedMidiValue[1999], 60.0);
    for (int i = 2000; i < 4000; i++) ASSERT_NEAR(analysis.correctedMidiValue[i], 60.3, 1e-12) << i;
    document.CORRECTION_RATE = 0.001;  // 0.3 semitone in 300 samples
    analysis.calculateCorrectPitch();
    EXPECT_NEAR(analysis.correctedMidiValue[2000], 60.299, 1e-9);
    EXPECT_GT(analysis.correctedMidiValue[2298], 60.0);
    EXPECT_EQ(analysis.correctedMidiValue[2305], 60.0);
}

// ---------------------------------------------------------------------------------------------
// A real instrument: a melody rendered by a software synthesizer at test time

namespace {

struct PlayedNote {
    int note;
    int cents;  // pitch bend
    int startMs;
    int lengthMs;
};

// A one-track file: each note with its own bend (a range of two semitones).
std::vector<unsigned char> midiFile(const std::vector<PlayedNote>& notes, int program) {
    std::vector<unsigned char> track;
    using testaudio::putVariableLength;
    putVariableLength(track, 0);
    for (unsigned char b : {0xFF, 0x51, 0x03, 0x0F, 0x42, 0x40}) track.push_back(b);  // one second a quarter
    putVariableLength(track, 0);
    track.push_back(0xC0);
    track.push_back(static_cast<unsigned char>(program));
    int now = 0;
    for (const PlayedNote& n : notes) {
        int bend = 8192 + n.cents * 8192 / 200;
        putVariableLength(track, n.startMs - now);
        for (int b : {0xE0, bend & 0x7F, (bend >> 7) & 0x7F, 0}) track.push_back(static_cast<unsigned char>(b));
        for (int b : {0x90, n.note, 100}) track.push_back(static_cast<unsigned char>(b));
        putVariableLength(track, n.lengthMs);
        for (int b : {0x80, n.note, 0}) track.push_back(static_cast<unsigned char>(b));
        now = n.startMs + n.lengthMs;
    }
    return testaudio::midiFileOfTrack(track);
}

// Samples of [from, to) that the segments of note `note` cover.
int coveredBy(const std::vector<WaveSegment*>& segments, int note, int from, int to) {
    int covered = 0;
    for (const WaveSegment* s : segments) {
        if (s->midiNumber != note) continue;
        int a = std::max(from, s->startSample), b = std::min(to, s->endSample + 1);
        if (b > a) covered += b - a;
    }
    return covered;
}

}  // namespace

TEST(AnalysisRealInstrument, SynthesizedFluteMelodyGivesItsNotes) {
    std::string whyNot;
    if (testaudio::fluidsynthSoundFont(whyNot).empty()) GTEST_SKIP() << whyNot;

    // Every step is a leap of more than two semitones: a run of steady pitch only ends there.
    const std::vector<PlayedNote> melody = {
        {72, 0, 100, 600}, {76, 30, 800, 600}, {79, 0, 1500, 600},
        {74, -25, 2200, 700}, {77, 35, 3000, 600}, {72, 0, 3700, 800},
    };
    std::vector<float> mono = testaudio::renderWithFluidsynth(midiFile(melody, 73), "flute_program73_six_notes_bent");
    ASSERT_FALSE(mono.empty()) << "fluidsynth could not render the melody";
    std::unique_ptr<WaveAnalysis> analysis = analyse(mono, 44100);
    for (const PlayedNote& n : melody) {
        // Skip the attack; the note must be found over most of the rest of its length.
        int from = (n.startMs + 100) * 44100 / 1000;
        int to = (n.startMs + n.lengthMs) * 44100 / 1000;
        int covered = coveredBy(*analysis->segments, n.note, from, to);
        EXPECT_GT(covered, 0.8 * (to - from)) << "note " << n.note << " bent " << n.cents << " cents at "
                                               << n.startMs << " ms";
    }
    // Nothing longer than the shortest note's tenth sings a note that was not played.
    for (const WaveSegment* s : *analysis->segments) {
        if (s->endSample - s->startSample < 2646) continue;
        bool played = false;
        for (const PlayedNote& n : melody) played = played || n.note == s->midiNumber;
        EXPECT_TRUE(played) << "segment of note " << s->midiNumber << " at " << s->startSample;
    }
}
