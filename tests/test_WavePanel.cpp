// The wave panel and the playback it drives.

#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <vector>

#include "WaveHandler.h"
#include "testaudio.h"

// ------------------------------------------------------------------ playback

static const int RATE = 44100;

// A loaded mono document of `frames` frames of a 441 Hz tone (period 100).
static void loadTone(WaveHandler& doc, int frames, const std::string& tag) {
    std::string path = testaudio::makeTempDir(tag) + "/44100Hz_" + std::to_string(frames) + "f_sine441_mono.wav";
    testaudio::writeFile(path, testaudio::sinePeriod(100, frames), RATE, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    doc.loadWave(&path);
    ASSERT_EQ(doc.frameCount(), frames);
}

static void expectRange(const FrameRange& range, int first, int end) {
    EXPECT_EQ(range.first, first);
    EXPECT_EQ(range.end, end);
}

TEST(PlayRange, MinusOneStandsForTheStartAndTheEndOfTheFile) {
    WaveHandler doc;
    loadTone(doc, 5000, "range_ends");
    expectRange(doc.playRange(-1, -1), 0, 5000);
    expectRange(doc.playRange(1000, 3000), 1000, 3000);
    expectRange(doc.playRange(-1, 3000), 0, 3000);
    expectRange(doc.playRange(1000, -1), 1000, 5000);
}

TEST(PlayRange, OutOfRangeIsClampedAndEmptyOrReversedPlaysNothing) {
    WaveHandler doc;
    loadTone(doc, 5000, "range_clamp");
    expectRange(doc.playRange(-40, 9000), 0, 5000);
    expectRange(doc.playRange(4000, 7000), 4000, 5000);
    FrameRange pastTheEnd = doc.playRange(6000, 7000);
    EXPECT_EQ(pastTheEnd.first, pastTheEnd.end);
    FrameRange empty = doc.playRange(2000, 2000);
    EXPECT_EQ(empty.first, empty.end);
    FrameRange reversed = doc.playRange(3000, 1000);
    EXPECT_EQ(reversed.first, reversed.end);
}

TEST(PlayRange, WithNoFileEveryRangeIsEmpty) {
    WaveHandler doc;
    expectRange(doc.playRange(-1, -1), 0, 0);
    expectRange(doc.playRange(10, 200), 0, 0);
}

TEST(PlayRange, PlayToEndsAtTheSelectionEndOrElseAtTheInsertionMark) {
    WaveHandler doc;
    EXPECT_EQ(doc.selectionEndOrMark(), -1);
    doc.selectionStart = 700;
    EXPECT_EQ(doc.selectionEndOrMark(), 700);
    doc.selectionEnd = 900;
    EXPECT_EQ(doc.selectionEndOrMark(), 900);
}

TEST(PlaybackGain, TopOfTheSliderIsTheFilesOwnLevelAndZeroIsSilence) {
    EXPECT_EQ(AudioPlayer::gainForVolume(10.0f), 1.0f);
    EXPECT_EQ(AudioPlayer::gainForVolume(12.0f), 1.0f);
    EXPECT_EQ(AudioPlayer::gainForVolume(0.0f), 0.0f);
    EXPECT_EQ(AudioPlayer::gainForVolume(-1.0f), 0.0f);
    EXPECT_EQ(AudioPlayer::gainForVolume(std::numeric_limits<float>::quiet_NaN()), 0.0f);
}

TEST(PlaybackGain, EachStepIsFourDecibelsSoTheMiddleIsMinusTwenty) {
    EXPECT_NEAR(AudioPlayer::gainForVolume(5.0f), 0.1f, 1e-7);
    EXPECT_NEAR(AudioPlayer::gainForVolume(1.0f), std::pow(10.0, -36.0 / 20.0), 1e-8);
    for (int v = 1; v < 10; v++) {
        double step = 20.0 * std::log10(AudioPlayer::gainForVolume(v + 1.0f) / AudioPlayer::gainForVolume(v));
        // float gains: a few ulps of 1e-7 each, far below a hundredth of a dB.
        EXPECT_NEAR(step, 4.0, 1e-4) << "from " << v;
    }
}

TEST(PlaybackSamples, FullGainLeavesFloatsBitExactAndOtherGainsScale) {
    std::vector<float> in = {0.0f, -0.0f, 1e-40f, 0.123456789f, -0.999999f, 1.5f, 0.5f};
    std::vector<float> out(in.size());
    AudioPlayer::scaleSamples(in.data(), out.data(), in.size(), 1.0f);
    EXPECT_EQ(std::memcmp(in.data(), out.data(), in.size() * sizeof(float)), 0);
    AudioPlayer::scaleSamples(in.data(), out.data(), in.size(), 0.25f);
    EXPECT_EQ(out[6], 0.125f);
    EXPECT_EQ(out[5], 0.375f);
}

TEST(PlaybackSamples, SixteenBitSourcesComeBackExactly) {
    std::vector<float> in;
    std::vector<short> levels;
    for (int k = -32768; k <= 32767; k += 97) levels.push_back(static_cast<short>(k));
    levels.push_back(32767);
    for (short k : levels) in.push_back(k / 32768.0f);
    std::vector<short> out(in.size());
    AudioPlayer::toShortSamples(in.data(), out.data(), in.size(), 1.0f);
    EXPECT_EQ(out, levels);
}

TEST(PlaybackSamples, SixteenBitRoundsToNearestAndClipsAtFullScale) {
    std::vector<float> in = {1.4f / 32768, 1.6f / 32768, -1.6f / 32768, 1.0f, -1.0f, 3.0f, -3.0f, 1000.5f / 32768};
    std::vector<short> out(in.size());
    AudioPlayer::toShortSamples(in.data(), out.data(), in.size(), 1.0f);
    EXPECT_EQ(out, (std::vector<short>{1, 2, -2, 32767, -32768, 32767, -32768, 1000}));
    AudioPlayer::toShortSamples(in.data() + 3, out.data(), 1, 0.5f);
    EXPECT_EQ(out[0], 16384);
}

// Plays into ALSA's file plugin: the output a listener would hear, as a file.
class PlayerThroughFile : public ::testing::Test {
protected:
    bool stopRequest = false;
    float volume = 10.0f;
    std::string home;
    std::string ownHome = getenv("HOME") ? getenv("HOME") : "";

    // Later tests in this program get the real home and ALSA configuration back.
    void TearDown() override {
        setenv("HOME", ownHome.c_str(), 1);
        unsetenv("ALSA_CONFIG_PATH");
        snd_config_update_free_global();
    }

    // `device` is the body of the default PCM; OUT stands for the output file.
    void useDevice(const std::string& tag, std::string device) {
        home = testaudio::makeTempDir(tag);
        size_t at = device.find("OUT");
        if (at != std::string::npos) device.replace(at, 3, home + "/out");
        std::ofstream(home + "/.asoundrc") << "pcm.!default { " << device << " }\n";
        setenv("HOME", home.c_str(), 1);
        unsetenv("ALSA_CONFIG_PATH");
        // ALSA keeps its configuration once read; this test brings its own.
        snd_config_update_free_global();
    }

    void playToTheEnd(AudioPlayer& player) {
        for (int feeds = 0; player.playing() && feeds < 100000; feeds++) player.feed();
        ASSERT_FALSE(player.playing());
    }

    std::vector<float> rawFloats() {
        std::ifstream in(home + "/out", std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<float> values(bytes.size() / sizeof(float));
        std::memcpy(values.data(), bytes.data(), values.size() * sizeof(float));
        return values;
    }
};

static const char* const FLOAT_DEVICE = "type file; slave.pcm \"null\"; file \"OUT\"; format \"raw\"";
// The linear plugin takes integers only, so the player must fall back to 16 bits.
static const char* const SHORT_DEVICE =
    "type linear; slave { pcm { type file; slave.pcm \"null\"; file \"OUT\"; format \"wav\" } format S16_LE }";

TEST_F(PlayerThroughFile, FloatDeviceGetsTheRangeBitExactAtFullVolume) {
    useDevice("player_float", FLOAT_DEVICE);
    std::vector<float> tone = testaudio::harmonicPeriod(100, 30000);
    AudioPlayer player(stopRequest, volume);
    EXPECT_EQ(player.play(tone.data(), {1234, 25000}, 1, RATE), "");
    EXPECT_GE(player.headFrame(), 1234);
    EXPECT_LE(player.headFrame(), 25000);
    playToTheEnd(player);
    EXPECT_EQ(player.headFrame(), -1);
    std::vector<float> heard = rawFloats();
    ASSERT_EQ(heard.size(), 25000u - 1234u);
    EXPECT_EQ(std::memcmp(heard.data(), tone.data() + 1234, heard.size() * sizeof(float)), 0);
}

TEST_F(PlayerThroughFile, StereoFramesStayInterleavedAndVolumeScalesThem) {
    useDevice("player_stereo", FLOAT_DEVICE);
    std::vector<float> frames;
    for (int i = 0; i < 8000; i++) {
        frames.push_back(0.5f);
        frames.push_back(-0.25f);
    }
    volume = 5.0f;
    AudioPlayer player(stopRequest, volume);
    player.play(frames.data(), {0, 8000}, 2, RATE);
    playToTheEnd(player);
    std::vector<float> heard = rawFloats();
    ASSERT_EQ(heard.size(), 16000u);
    for (size_t i = 0; i < heard.size(); i += 2) {
        ASSERT_NEAR(heard[i], 0.05f, 1e-8) << i;
        ASSERT_NEAR(heard[i + 1], -0.025f, 1e-8) << i;
    }
}

TEST_F(PlayerThroughFile, IntegerOnlyDeviceGetsSixteenBitsRounded) {
    useDevice("player_short", SHORT_DEVICE);
    std::vector<float> tone = testaudio::sinePeriod(100, 20000);
    for (float& s : tone) s = std::round(s * 32768.0f) / 32768.0f;
    AudioPlayer player(stopRequest, volume);
    player.play(tone.data(), {0, 20000}, 1, RATE);
    playToTheEnd(player);
    SF_INFO info;
    std::vector<float> heard = testaudio::readFile(home + "/out", &info);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_EQ(heard, tone);
}

TEST_F(PlayerThroughFile, StopRequestEndsPlaybackBeforeTheEnd) {
    useDevice("player_stop", FLOAT_DEVICE);
    std::vector<float> tone = testaudio::sinePeriod(100, RATE * 20);
    AudioPlayer player(stopRequest, volume);
    player.play(tone.data(), {0, RATE * 20}, 1, RATE);
    ASSERT_TRUE(player.playing());
    stopRequest = true;
    player.feed();
    EXPECT_FALSE(player.playing());
    // The first feed sends at most one device buffer (0.2 s), nothing after the stop.
    EXPECT_LE(rawFloats().size(), static_cast<size_t>(RATE));
}

TEST_F(PlayerThroughFile, ANewVolumeActsOnTheNextBuffer) {
    useDevice("player_volume", FLOAT_DEVICE);
    std::vector<float> tone = testaudio::sinePeriod(100, RATE * 2);
    AudioPlayer player(stopRequest, volume);
    player.play(tone.data(), {0, RATE * 2}, 1, RATE);
    // The null device takes all it is given at once: what was sent is already heard.
    size_t loudFrames = static_cast<size_t>(player.headFrame());
    ASSERT_GT(loudFrames, 0u);
    ASSERT_LT(loudFrames, tone.size());
    volume = 5.0f;
    playToTheEnd(player);
    std::vector<float> heard = rawFloats();
    ASSERT_EQ(heard.size(), tone.size());
    EXPECT_EQ(std::memcmp(heard.data(), tone.data(), loudFrames * sizeof(float)), 0);
    for (size_t i = loudFrames; i < heard.size(); i++) ASSERT_NEAR(heard[i], 0.1f * tone[i], 1e-8) << i;
}

TEST_F(PlayerThroughFile, ANewPlaybackReplacesTheOneRunning) {
    useDevice("player_replace", FLOAT_DEVICE);
    std::vector<float> tone = testaudio::sinePeriod(100, RATE * 20);
    AudioPlayer player(stopRequest, volume);
    player.play(tone.data(), {0, RATE * 20}, 1, RATE);
    player.play(tone.data(), {500, 900}, 1, RATE);
    playToTheEnd(player);
    std::vector<float> heard = rawFloats();
    ASSERT_EQ(heard.size(), 400u);
    EXPECT_EQ(std::memcmp(heard.data(), tone.data() + 500, heard.size() * sizeof(float)), 0);
}

TEST_F(PlayerThroughFile, MissingDeviceIsToldOnceAndNothingPlays) {
    useDevice("player_missing", FLOAT_DEVICE);
    std::string nothing = home + "/defines_nothing.conf";
    std::ofstream(nothing) << "\n";
    setenv("ALSA_CONFIG_PATH", nothing.c_str(), 1);
    snd_config_update_free_global();
    std::vector<float> tone = testaudio::sinePeriod(100, 1000);
    AudioPlayer player(stopRequest, volume);
    std::string first = player.play(tone.data(), {0, 1000}, 1, RATE);
    EXPECT_EQ(first.rfind("No audio output device: ", 0), 0u) << first;
    EXPECT_GT(first.size(), std::strlen("No audio output device: "));
    EXPECT_FALSE(player.playing());
    EXPECT_EQ(player.play(tone.data(), {0, 1000}, 1, RATE), "");
    EXPECT_FALSE(player.playing());
}

TEST_F(PlayerThroughFile, DocumentPlaysItsWorkingSamplesAndClearsAnEarlierStop) {
    useDevice("player_document", FLOAT_DEVICE);
    WaveHandler doc;
    loadTone(doc, 6000, "player_document_file");
    doc.setVolume(10.0f);
    doc.stopPlayingWave = true;
    doc.playWave(1000, 4000);
    EXPECT_FALSE(doc.stopPlayingWave);
    playToTheEnd(*doc.audioPlayer);
    std::vector<float> heard = rawFloats();
    ASSERT_EQ(heard.size(), 3000u);
    EXPECT_EQ(std::memcmp(heard.data(), doc.modifiedSamples + 1000, heard.size() * sizeof(float)), 0);
}

TEST_F(PlayerThroughFile, LoadingAnotherFileStopsTheOldOneSounding) {
    useDevice("player_load", FLOAT_DEVICE);
    WaveHandler doc;
    loadTone(doc, 441000, "player_load_first");
    doc.playWave(-1, -1);
    ASSERT_TRUE(doc.audioPlayer->playing());
    loadTone(doc, 6000, "player_load_second");
    EXPECT_FALSE(doc.audioPlayer->playing());
}

// --------------------------------------------------------------- the view

#include <FL/Fl.H>
#include <FL/fl_draw.H>
#include <FL/x.H>

#include "WavePanel.h"

// Draws into an offscreen picture and keeps every trace line the drawing prints.
class ViewDrawing : public ::testing::Test {
protected:
    WaveHandler doc;
    testaudio::CoutCapture trace;
    Fl_Offscreen picture = 0;

    void SetUp() override {
        ASSERT_NE(getenv("DISPLAY"), nullptr) << "run under xvfb-run";
        fl_open_display();
        picture = fl_create_offscreen(752, 432);
    }
    void TearDown() override { fl_delete_offscreen(picture); }
    std::string draw(void (WaveHandler::*layer)(int, int, int, int, int), int offset = 0) {
        trace.clear();
        fl_begin_offscreen(picture);
        (doc.*layer)(0, 0, 752, 432, offset);
        fl_end_offscreen();
        return trace.text();
    }
    // An analysis whose arrays the test sets by hand: no pitch anywhere.
    void unpitchedAnalysis(int frames) {
        doc.sfinfoin->frames = frames;
        doc.sfinfoin->samplerate = RATE;
        samples.assign(frames + 1024, 0.0f);
        doc.analyzeWave = new WaveAnalysis(samples.data(), frames, RATE, 1024, &doc);
        for (int i = 0; i < frames; i++) {
            doc.analyzeWave->frequency[i] = -1.0f;
            doc.analyzeWave->midiValue[i] = -1.0;
            doc.analyzeWave->correctedMidiValue[i] = -1.0;
        }
    }
    void pitchAt(int sample, double midi) {
        doc.analyzeWave->frequency[sample] = static_cast<float>(WaveAnalysis::midiToFrequency(midi));
        doc.analyzeWave->midiValue[sample] = midi;
        doc.analyzeWave->correctedMidiValue[sample] = midi;
    }
    std::vector<float> samples;
};

static int countLines(const std::string& text, const std::string& line) {
    int n = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) n++;
    return n;
}

TEST(ViewMapping, RowsNamesAndKeys) {
    WaveHandler doc;
    EXPECT_EQ(doc.midiToPos(40, 432), 432);
    EXPECT_EQ(doc.midiToPos(41, 432), 420);
    EXPECT_EQ(doc.midiToPos(40.5, 432), 426);
    // The band drawn for i covers the row of i - 1: 61 paints C3 white, 62 paints C#3 black.
    EXPECT_FALSE(doc.isBlackKey(61));
    EXPECT_TRUE(doc.isBlackKey(62));
    EXPECT_FALSE(doc.isBlackKey(0)) << "remainder 11 is never black";
    EXPECT_FALSE(doc.isBlackKey(-13)) << "negative remainders are never black";
    for (auto [midi, name] : {std::pair{60, "C3"}, {69, "A3"}, {41, "F1"}, {127, "G8"}, {-1, "?"}}) {
        std::string* text = doc.midiNoteName(midi);
        EXPECT_EQ(*text, name) << midi;
        delete text;
    }
}

TEST_F(ViewDrawing, PolylinePrintsItsCountThenEveryPointOnOneLine) {
    int xs[] = {1, 3, 5}, ys[] = {2, 4, 6};
    fl_begin_offscreen(picture);
    doc.drawPolyline(xs, ys, 0);
    EXPECT_EQ(trace.text(), "");
    doc.drawPolyline(xs, ys, 1);
    EXPECT_EQ(trace.text(), "polyline1\n");
    trace.clear();
    doc.drawPolyline(xs, ys, 3);
    fl_end_offscreen();
    EXPECT_EQ(trace.text(), "polyline3\n(1,2)(3,4)(5,6)\n");
}

TEST_F(ViewDrawing, SelectionLineAndNoSpectrumWithoutAudio) {
    EXPECT_EQ(draw(&WaveHandler::render_selection), "") << "nothing selected, nothing printed";
    doc.selectionStart = 5120;
    EXPECT_EQ(draw(&WaveHandler::render_selection, 1024), "selectionStart=5120off=1024zoom=512\n");
}

TEST_F(ViewDrawing, SpectrumOfASelectionNearTheEndReadsZerosPastTheLastSample) {
    loadTone(doc, 3000, "view_spectrum_end");
    doc.selectionStart = 2990;  // 10 samples of tone, then nothing
    doc.selectionEnd = 5000;
    std::string printed = draw(&WaveHandler::render_selection);
    EXPECT_NE(printed.find("polyline512\n"), std::string::npos);
    doc.selectionStart = -4000;  // before the file: all zeros, a flat line on the top edge
    printed = draw(&WaveHandler::render_selection);
    EXPECT_NE(printed.find("polyline512\n(20,0)(21,0)"), std::string::npos);
}

TEST_F(ViewDrawing, CurvesStopWhereTheSamplesEnd) {
    unpitchedAnalysis(100000);
    // Column c shows sample (c - 39) * 512: 195 columns lie inside 100000 samples.
    EXPECT_EQ(countLines(draw(&WaveHandler::render_waves), "freqWidth="), 195);
}

TEST_F(ViewDrawing, ALoneUsableColumnDrawsADotInEachColourAndUnusableOnesNothing) {
    unpitchedAnalysis(512 * 10);
    pitchAt(1024, 60.0);  // column 41 only
    std::string printed = draw(&WaveHandler::render_waves);
    EXPECT_EQ(countLines(printed, "polyline"), 2);
    EXPECT_EQ(countLines(printed, "polyline1\n"), 2);
    EXPECT_NE(printed.find("yFreqPos[freqWidth]=192\nyFixedFreqPos[freqWidth]=192\nmidivalue [1024] = 60\n"),
              std::string::npos);
}

TEST_F(ViewDrawing, ARunEndsBeforeTheColumnThatBreaksIt) {
    unpitchedAnalysis(512 * 10);
    for (int c = 40; c <= 44; c++) pitchAt((c - 39) * 512, 60.0 + 0.5 * (c - 40));
    std::string printed = draw(&WaveHandler::render_waves);
    // Columns 40 to 44 are usable and column 45 breaks the run: five points, drawn red then green.
    std::string run = "polyline5\n(40,192)(41,186)(42,180)(43,174)(44,168)\n";
    EXPECT_EQ(countLines(printed, run), 2) << printed.substr(0, 600);
    EXPECT_EQ(countLines(printed, "polyline"), 2);
}

TEST_F(ViewDrawing, PitchOutsideTheRollBreaksTheRun) {
    unpitchedAnalysis(512 * 10);
    for (int c = 40; c <= 44; c++) pitchAt((c - 39) * 512, 60.0);
    pitchAt(3 * 512, 130.0);  // column 42: above MIDI 127
    std::string printed = draw(&WaveHandler::render_waves);
    EXPECT_EQ(countLines(printed, "polyline2\n(40,192)(41,192)\n"), 2) << printed.substr(0, 600);
    EXPECT_EQ(countLines(printed, "polyline2\n(43,192)(44,192)\n"), 2) << "a new run after the break";
}
