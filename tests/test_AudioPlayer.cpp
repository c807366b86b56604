// The ALSA player, and the document playing through it.

#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <vector>

#include "AudioPlayer.h"
#include "WaveHandler.h"
#include "testaudio.h"

static const int RATE = 44100;

using testaudio::loadTone;

static double decibels(float gain) { return 20.0 * std::log10(gain); }

TEST(PlaybackGain, TheMiddleIsTheFilesOwnLevelZeroIsSilenceAndTheTopTwelveDecibelsUp) {
    EXPECT_EQ(AudioPlayer::gainForVolume(5.0f), 1.0f);
    // float gains: a few ulps each, far below a hundredth of a dB.
    EXPECT_NEAR(decibels(AudioPlayer::gainForVolume(10.0f)), 12.0, 1e-4);
    EXPECT_EQ(AudioPlayer::gainForVolume(12.0f), AudioPlayer::gainForVolume(10.0f));
    EXPECT_NEAR(decibels(AudioPlayer::gainForVolume(1.0f)), -24.0, 1e-4);
    EXPECT_EQ(AudioPlayer::gainForVolume(0.0f), 0.0f);
    EXPECT_EQ(AudioPlayer::gainForVolume(-1.0f), 0.0f);
    EXPECT_EQ(AudioPlayer::gainForVolume(std::numeric_limits<float>::quiet_NaN()), 0.0f);
    for (float v = 0.0f; v < 10.0f; v += 0.5f)
        EXPECT_LT(AudioPlayer::gainForVolume(v), AudioPlayer::gainForVolume(v + 0.5f)) << "from " << v;
}

TEST(PlaybackSamples, UnityGainLeavesFloatsBitExactAndEveryGainClipsAtFullScale) {
    std::vector<float> in = {0.0f, -0.0f, 1e-40f, 0.123456789f, -0.999999f, 1.0f, 0.5f};
    std::vector<float> out(in.size());
    AudioPlayer::scaleSamples(in.data(), out.data(), in.size(), 1.0f);
    EXPECT_EQ(std::memcmp(in.data(), out.data(), in.size() * sizeof(float)), 0);
    AudioPlayer::scaleSamples(in.data(), out.data(), in.size(), 0.25f);
    EXPECT_EQ(out[6], 0.125f);
    AudioPlayer::scaleSamples(in.data(), out.data(), in.size(), 4.0f);
    EXPECT_EQ(out[3], 0.123456789f * 4.0f);
    EXPECT_EQ(out[4], -1.0f);
    EXPECT_EQ(out[6], 1.0f);
    std::vector<float> loud = {1.5f, -3.0f};
    AudioPlayer::scaleSamples(loud.data(), out.data(), loud.size(), 1.0f);
    EXPECT_EQ(out[0], 1.0f);
    EXPECT_EQ(out[1], -1.0f);
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
    float volume = 5.0f;
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

TEST_F(PlayerThroughFile, StereoFramesStayInterleavedAndTheTopVolumeClipsAtFullScale) {
    useDevice("player_stereo", FLOAT_DEVICE);
    std::vector<float> frames;
    for (int i = 0; i < 8000; i++) {
        frames.push_back(0.5f);
        frames.push_back(-0.25f);
    }
    volume = 10.0f;
    AudioPlayer player(stopRequest, volume);
    player.play(frames.data(), {0, 8000}, 2, RATE);
    playToTheEnd(player);
    std::vector<float> heard = rawFloats();
    ASSERT_EQ(heard.size(), 16000u);
    // +12 dB is about four times: 0.5 would be 2, -0.25 is -0.995.
    for (size_t i = 0; i < heard.size(); i += 2) {
        ASSERT_EQ(heard[i], 1.0f) << i;
        ASSERT_NEAR(heard[i + 1], -0.25f * AudioPlayer::gainForVolume(10.0f), 1e-7) << i;
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
    volume = 1.0f;
    playToTheEnd(player);
    std::vector<float> heard = rawFloats();
    ASSERT_EQ(heard.size(), tone.size());
    EXPECT_EQ(std::memcmp(heard.data(), tone.data(), loudFrames * sizeof(float)), 0);
    float quiet = AudioPlayer::gainForVolume(1.0f);
    for (size_t i = loudFrames; i < heard.size(); i++) ASSERT_NEAR(heard[i], quiet * tone[i], 1e-8) << i;
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
    doc.setVolume(5.0f);
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
