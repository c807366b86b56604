#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <vector>

#include "Analysis.h"
#include "analysischecks.h"
#include "PeriodSearch.h"
#include "signals.h"
#include "testaudio.h"

namespace {

using analysischecks::analyse;
using analysischecks::sameArray;
using analysischecks::WINDOW;

// The shipped detection against the plain loops of signals.h, whole arrays.
void expectSameDetection(std::vector<float>& x, int rate, const char* material) {
    SCOPED_TRACE(material);
    signals::Detection expected = signals::emptyDetection(x.size());
    signals::plainDetection(x, rate, WINDOW, expected);
    std::unique_ptr<WaveAnalysis> shipped = analyse(x, rate);
    EXPECT_TRUE(sameArray("waveWidth", expected.waveWidth, shipped->waveWidth));
    EXPECT_TRUE(sameArray("frequency", expected.frequency, shipped->frequency));
    EXPECT_TRUE(sameArray("midiValue", expected.midiValue, shipped->midiValue));
    int periods = 0;
    for (int w : expected.waveWidth) periods += w > 0;
    EXPECT_GT(periods, 0) << "the material should hold detectable periods";
}

std::vector<float> whiteNoise(int frames, uint64_t seed) {
    signals::Noise noise(seed);
    std::vector<float> out(frames);
    for (float& v : out) v = static_cast<float>(0.5 * noise.uniform());
    return out;
}

// Mains hum: 40 Hz with two harmonics; its period is longer than the first window searches.
std::vector<float> hum40(int frames, int rate) {
    std::vector<float> out(frames);
    for (int i = 0; i < frames; i++) {
        double p = 2.0 * M_PI * 40.0 * i / rate;
        out[i] = static_cast<float>(0.3 * std::sin(p) + 0.1 * std::sin(2 * p) + 0.05 * std::sin(3 * p));
    }
    return out;
}

}  // namespace

TEST(PeriodSearchLags, AutocorrelateFindsThePeriodAndPrefersTheSmallestOfEqualLags) {
    // Every period holds the same floats, so lags 100, 200, 300, 400 and 500 tie exactly.
    std::vector<float> samples = testaudio::sinePeriod(100, 4000);
    WaveAnalysis analysis(samples.data(), 4000, 44100, WINDOW, nullptr);
    EXPECT_EQ(analysis.autocorrelate(0, 1024), 100);
    EXPECT_EQ(analysis.autocorrelate(1000, 1024), 1100);
    EXPECT_EQ(analysis.autocorrelate(37, 300), 137);
    // Windows long enough to be ranked through the spectrum keep the same rule.
    std::vector<float> longer = testaudio::sinePeriod(100, 12000);
    WaveAnalysis wide(longer.data(), 12000, 44100, WINDOW, nullptr);
    EXPECT_EQ(wide.autocorrelate(0, 4000), 100);
    EXPECT_EQ(wide.autocorrelate(5000, 7000), 5100);
}

TEST(PeriodSearchLags, AllSumsZeroPicksTheShortestLag) {
    // Zeros that findSilence has not marked: every sum is exactly 0.0, which beats -1.0.
    std::vector<float> samples(9000, 0.0f);
    WaveAnalysis analysis(samples.data(), 9000, 44100, WINDOW, nullptr);
    for (int window : {60, 200, 1024, 4000, 8000}) EXPECT_EQ(analysis.autocorrelate(0, window), 20) << window;
}

TEST(PeriodSearchLags, SumsOfMinusOneOrLessAreNeverChosen) {
    // A 42-sample window searches lag 20 alone, and its sum is x[0] * x[20] = tail.
    for (float tail : {-2.0f, -1.0f, -0.999f}) {
        std::vector<float> samples(42, 0.0f);
        samples[0] = 1.0f;
        samples[20] = tail;
        WaveAnalysis analysis(samples.data(), 42, 44100, WINDOW, nullptr);
        EXPECT_EQ(analysis.autocorrelate(0, 42), tail > -1.0f ? 20 : -1) << tail;
    }
}

TEST(PeriodSearchMatchesPlainLoop, NaNAndInfiniteSamples) {
    std::vector<float> samples = testaudio::harmonicPeriod(150, 20000);
    samples[3000] = std::numeric_limits<float>::infinity();
    samples[9000] = -std::numeric_limits<float>::infinity();
    for (int i = 14000; i < 14050; i++) samples[i] = std::nanf("");
    samples[17000] = 3.0e38f;
    expectSameDetection(samples, 44100, "harmonic 294 Hz with inf, NaN and huge samples");
    std::unique_ptr<WaveAnalysis> analysis = analyse(samples, 44100);
    analysis->setScale("c major");
    analysis->calculateCorrectPitch();
    analysis->findMaxAmplitude();
    EXPECT_GT(analysis->maxAmplitude, 0);
}

TEST(PeriodSearchMatchesPlainLoop, SungMelodies) {
    std::vector<float> at44k = signals::sungMelody({}, 6.0, 44100, 1);
    expectSameDetection(at44k, 44100, "44100Hz_6s_sung_melody_seed1");
    std::vector<float> at8k = signals::sungMelody({}, 4.0, 8000, 2);
    expectSameDetection(at8k, 8000, "8000Hz_4s_sung_melody_seed2");
    std::vector<float> at192k = signals::sungMelody({}, 1.5, 192000, 3);
    expectSameDetection(at192k, 192000, "192000Hz_1.5s_sung_melody_seed3");
}

TEST(PeriodSearchMatchesPlainLoop, Noise) {
    std::vector<float> brown = signals::brownNoise(3 * 44100, 4);
    expectSameDetection(brown, 44100, "44100Hz_3s_brown_noise_seed4");
    std::vector<float> white = whiteNoise(2 * 44100, 5);
    expectSameDetection(white, 44100, "44100Hz_2s_white_noise_seed5");
}

TEST(PeriodSearchMatchesPlainLoop, HumAndSpeech) {
    std::vector<float> hum = hum40(3 * 44100, 44100);
    expectSameDetection(hum, 44100, "44100Hz_3s_hum40");
    std::vector<float> speech = signals::speechLike(5.0, 44100, 6);
    expectSameDetection(speech, 44100, "44100Hz_5s_speech_like_seed6");
}

TEST(PeriodSearchMatchesPlainLoop, BowedAndLowSungLines) {
    // Periods of up to 674 samples fill the first window, and a sawtooth's sums peak on many
    // multiples of its period: the normalised peak below the largest sum decides most windows.
    std::vector<float> cello = signals::bowedLine(5.0, 44100, 13);
    expectSameDetection(cello, 44100, "44100Hz_5s_bowed_cello_seed13");
    std::vector<float> cello96k = signals::bowedLine(1.5, 96000, 14);
    expectSameDetection(cello96k, 96000, "96000Hz_1.5s_bowed_cello_seed14");
    signals::Singing bass;
    bass.notes = {36, 38, 40, 41, 43, 45, 47, 48};
    bass.firstNote = 43.0;
    bass.flatToo = true;
    std::vector<float> low = signals::sungMelody(bass, 5.0, 44100, 15);
    expectSameDetection(low, 44100, "44100Hz_5s_bass_melody_seed15");
}

TEST(PeriodSearchMatchesPlainLoop, FirstWindowsOfSteadyTonesEndOnTheirPeriod) {
    // The largest sum of a first window often lies on a multiple of the period; the period is the
    // first normalised peak below it, whichever way the search came to know the sums around it.
    using testaudio::Waveform;
    for (int rate : {44100, 96000}) {
        int wide = static_cast<int>(std::floor(WINDOW * rate / 44100.0 + 0.5));
        int shortestLag = static_cast<int>(std::floor(20 * rate / 44100.0 + 0.5));
        for (Waveform shape : {Waveform::SINE, Waveform::SQUARE, Waveform::SAWTOOTH}) {
            for (int note : {36, 43, 50, 57, 64, 71, 77, 81, 86, 90}) {
                double hz = testaudio::midiToHz(note);
                std::vector<float> tone = testaudio::steadyTone(shape, hz, 2 * wide, rate);
                std::vector<float> unmarked(tone.size(), 0.0f);
                WaveAnalysis analysis(tone.data(), static_cast<int>(tone.size()), rate, WINDOW, nullptr);
                for (int at : {0, 37, wide / 3}) {
                    SCOPED_TRACE(std::to_string(rate) + "Hz_shape" + std::to_string(static_cast<int>(shape)) + "_midi" +
                                 std::to_string(note) + "_at" + std::to_string(at));
                    int end = analysis.autocorrelate(at, wide);
                    EXPECT_EQ(end, signals::plainAutocorrelate(tone, unmarked, at, wide, shortestLag));
                    EXPECT_NEAR(end - at, rate / hz, 1.0);
                }
            }
        }
    }
}

TEST(PeriodSearchMatchesPlainLoop, FallingSweepGrowsTheWindow) {
    // The period is followed from 400 to 2450 samples, so the windows grow far beyond the first one.
    std::vector<float> sweep = signals::fallingSweep(4.0, 44100, 9);
    expectSameDetection(sweep, 44100, "44100Hz_4s_sweep_110_to_18Hz");
    std::unique_ptr<WaveAnalysis> analysis = analyse(sweep, 44100);
    int longest = *std::max_element(analysis->waveWidth, analysis->waveWidth + sweep.size());
    EXPECT_GT(longest, 1100) << "the windows should have grown past 3300 samples";
}

TEST(PeriodSearchMatchesPlainLoop, PortableKernels) {
    // Without vector units every ranked window goes through the spectrum, from the smallest on.
    setenv("CANTOREL_PLAIN_KERNELS", "1", 1);
    std::vector<float> melody = signals::sungMelody({}, 3.0, 44100, 12);
    expectSameDetection(melody, 44100, "44100Hz_3s_sung_melody_seed12_portable");
    std::vector<float> sweep = signals::fallingSweep(2.5, 44100, 9);
    expectSameDetection(sweep, 44100, "44100Hz_2.5s_sweep_portable");
    std::vector<float> tone = testaudio::sinePeriod(100, 12000);
    WaveAnalysis wide(tone.data(), 12000, 44100, WINDOW, nullptr);
    EXPECT_EQ(wide.autocorrelate(0, 4000), 100);
    EXPECT_EQ(wide.autocorrelate(0, 1024), 100);
    unsetenv("CANTOREL_PLAIN_KERNELS");
}

TEST(PeriodSearchMatchesPlainLoop, AutocorrelateOnAwkwardWindows) {
    // Near-ties (a period of 100.5 samples), exact repeats, tiny samples whose single-precision
    // products are subnormal, and samples too loud for single-precision sums, in windows of every
    // size the search treats differently.
    signals::Noise noise(21);
    const double amplitudes[] = {0.5, 1e-22, 1e-40, 3e15, 1e25};
    for (int window : {100, 130, 500, 1024, 2000, 3100, 4100}) {
        for (double amplitude : amplitudes) {
            for (int shape = 0; shape < 3; shape++) {
                int n = window + 64;
                std::vector<float> x(n);
                for (int i = 0; i < n; i++) {
                    double tone = std::sin(2.0 * M_PI * i / 100.5) + 0.4 * std::sin(2.0 * M_PI * i / 33.5);
                    double value = shape == 0 ? tone : shape == 1 ? std::sin(2.0 * M_PI * (i % 40) / 40.0) : noise.uniform();
                    x[i] = static_cast<float>(amplitude * value);
                }
                std::vector<float> unmarked(n, 0.0f);
                WaveAnalysis analysis(x.data(), n, 44100, WINDOW, nullptr);
                for (int at : {0, 64}) {
                    EXPECT_EQ(analysis.autocorrelate(at, window), signals::plainAutocorrelate(x, unmarked, at, window))
                        << "window " << window << ", amplitude " << amplitude << ", shape " << shape << ", at " << at;
                }
            }
        }
    }
}

TEST(PeriodSearchLags, OneSearchServesWindowsOfChangingSizes) {
    // Scratch arrays and twiddle tables are kept between calls: a window after a larger or a
    // smaller one, taking another of the direct, ranked or spectrum paths, must not see stale data.
    signals::Noise noise(31);
    std::vector<float> x(9000);
    for (size_t i = 0; i < x.size(); i++) {
        x[i] = static_cast<float>(std::sin(2.0 * M_PI * i / 123.4) + 0.3 * noise.uniform());
    }
    std::vector<float> unmarked(x.size(), 0.0f);
    PeriodSearch search(20);
    for (int half : {2100, 40, 3000, 2100, 100, 700, 1600, 21}) {
        int at = static_cast<int>(x.size()) - 2 * half;  // just room for the window and a little
        int expected = signals::plainAutocorrelate(x, unmarked, at, 2 * half);
        int lag = search.bestLag(x.data() + at, half, static_cast<long long>(x.size()) - at).lag;
        EXPECT_EQ(lag == -1 ? -1 : at + lag, expected) << "half " << half;
    }
}
