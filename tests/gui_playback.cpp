// Playing through ALSA from the real window. The test's own ALSA configuration
// sends the default device into a file, so the test hears exactly what a
// listener would.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "WaveHandler.h"
#include "guidriver.h"
#include "testaudio.h"

using testaudio::Note;

static const int RATE = 44100;
// Toolbar buttons, at y 34.
static const int PLAY = 210, PLAY_SELECTION = 240, PLAY_TO = 270, PLAY_FROM = 300, STOP = 330;
// Float output, written raw: the WAV header the file plugin writes for floats
// calls them integers, while raw data is exactly what the device received.
static const char* const FLOAT_TO_FILE = "type file; slave.pcm \"null\"; file \"OUT\"; format \"raw\"";

// Three sung notes with a rest; the working samples are their resynthesis.
static std::string writeMelody(const std::string& folder, int noteFrames) {
    std::vector<Note> notes = {{220.0, noteFrames}, {0.0, 4410}, {246.9, noteFrames}, {261.6, noteFrames}};
    std::vector<float> samples = testaudio::melody(notes, RATE);
    std::string path = folder + "/44100Hz_" + std::to_string(samples.size()) + "f_melody3_mono_float.wav";
    testaudio::writeFile(path, samples, RATE, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    return path;
}

// What playWave hands to the device: the working samples after the resampling it runs first.
static std::vector<float> workingSamples(std::string path) {
    WaveHandler document;
    document.loadWave(&path);
    document.resampleWaveIfRequired();
    return std::vector<float>(document.modifiedSamples, document.modifiedSamples + document.frameCount());
}

static int lastNumberAfter(const std::string& trace, const std::string& label) {
    size_t at = trace.rfind(label);
    return at == std::string::npos ? -1 : std::stoi(trace.substr(at + label.size()));
}

class GuiPlayback : public WindowTest {
protected:
    GuiPlayback() : WindowTest("playback") {}
    std::string heardPath;

    void startWithDevice(const std::string& device, const std::string& extraEnv = "") {
        heardPath = program.home() + "/out.raw";
        std::string body = device;
        size_t at = body.find("OUT");
        if (at != std::string::npos) body.replace(at, 3, heardPath);
        std::ofstream(program.home() + "/.asoundrc") << "pcm.!default { " << body << " }\n";
        program.start(extraEnv);
        window = program.waitForWindow(MAIN_TITLE);
        ASSERT_FALSE(window.empty()) << program.output();
    }

    // Returns once the view has drawn the analysed file: until then the window refuses input.
    void open(const std::string& path) {
        ASSERT_TRUE(program.openFile(window, "audio/" + testaudio::fileName(path))) << program.output();
    }

    std::vector<float> working;  // what playing the opened melody must deliver

    // Starts on the file device and opens a melody of notes `noteFrames` long.
    void openMelody(int noteFrames) {
        startWithDevice(FLOAT_TO_FILE);
        std::string path = writeMelody(audioDir, noteFrames);
        working = workingSamples(path);
        open(path);
    }

    // Clicks a play button and waits for the playback's closing "Played" line.
    void playAndWait(int button) {
        int before = program.count("Played ");
        program.click(window, button, 34);
        program.waitForCount("Played ", before + 1, 10);
        ASSERT_GT(program.count("Played "), before) << program.output().substr(0, 3000);
    }

    std::vector<float> heard() {
        std::ifstream in(heardPath, std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<float> values(bytes.size() / sizeof(float));
        std::memcpy(values.data(), bytes.data(), values.size() * sizeof(float));
        return values;
    }

    // The slider runs from x 75 to 175; a drag past either end pins it there.
    void dragVolumeSlider(int toX) {
        program.drag(window, 125, 34, toX, 34);
        ASSERT_TRUE(program.waitForIdle());
    }

    // A press, a small first move and then the rest, so the selection starts
    // where the drag began rather than where it ended.
    void selectByDrag(int fromX, int toX) {
        program.moveTo(window, fromX, 60);
        shellOutput("xdotool mousedown 1");
        program.moveTo(window, fromX + 1, 60);
        ASSERT_TRUE(program.waitForIdle());
        program.moveTo(window, toX, 60);
        ASSERT_TRUE(program.waitForIdle());
        shellOutput("xdotool mouseup 1");
        ASSERT_TRUE(program.waitForIdle());
        ASSERT_GE(lastNumberAfter(program.output(), "extendSelection end at "), 0) << "no selection was made";
    }
};

static void expectExactly(const std::vector<float>& heard, const std::vector<float>& working, int first, int end,
                          const std::string& what) {
    ASSERT_EQ(heard.size(), static_cast<size_t>(end - first)) << what;
    for (int i = first; i < end; i++) ASSERT_EQ(heard[i - first], working[i]) << what << ", frame " << i;
}

TEST_F(GuiPlayback, PlayCommandsHearTheirRangeOfTheWorkingSamples) {
    openMelody(22050);
    int frames = static_cast<int>(working.size());

    // Volume 5 at start: the file's own level, every sample as it is.
    playAndWait(PLAY);
    expectExactly(heard(), working, 0, frames, "Play at volume 5");

    selectByDrag(80, 160);
    std::string trace = program.output();
    int start = lastNumberAfter(trace, "selectionStart=");
    int end = lastNumberAfter(trace, "extendSelection end at ");
    ASSERT_EQ(end, 512 * (160 - 40)) << trace.substr(trace.size() > 3000 ? trace.size() - 3000 : 0);
    ASSERT_EQ(start, 512 * (80 - 40)) << "the selection starts where the button went down";
    playAndWait(PLAY_SELECTION);
    expectExactly(heard(), working, start, end, "Play selection");
    playAndWait(PLAY_TO);
    expectExactly(heard(), working, 0, end, "Play to");
    playAndWait(PLAY_FROM);
    expectExactly(heard(), working, start, frames, "Play from");

    // Volume 10 is +12 dB, clipped at full scale.
    dragVolumeSlider(300);
    playAndWait(PLAY_SELECTION);
    std::vector<float> loud = heard();
    ASSERT_EQ(loud.size(), static_cast<size_t>(end - start));
    float gain = std::pow(10.0f, 12.0f / 20.0f);
    bool clipped = false;
    for (int i = start; i < end; i++) {
        float expected = std::clamp(working[i] * gain, -1.0f, 1.0f);
        clipped = clipped || expected == 1.0f || expected == -1.0f;
        // float gains: a few ulps apart.
        ASSERT_NEAR(loud[i - start], expected, 1e-6) << "frame " << i;
    }
    EXPECT_TRUE(clipped) << "the melody's peaks should reach full scale at +12 dB";

    dragVolumeSlider(0);
    playAndWait(PLAY_SELECTION);
    std::vector<float> silent = heard();
    ASSERT_EQ(silent.size(), static_cast<size_t>(end - start));
    for (float s : silent) ASSERT_EQ(s, 0.0f);
}

// Columns of one screenshot row drawn in the play-head's colour.
static std::vector<int> playHeadColumns(const std::string& png, int y, int fromX, int toX) {
    std::string pixels = shellOutput("convert '" + png + "' -crop " + std::to_string(toX - fromX) + "x1+" +
                                     std::to_string(fromX) + "+" + std::to_string(y) + " txt:-");
    std::vector<int> columns;
    std::istringstream lines(pixels);
    std::string line;
    // Lines read "x,0: (r,g,b) ...".
    while (std::getline(lines, line))
        if (line.find(",0: (0,140,140)") != std::string::npos) columns.push_back(fromX + std::stoi(line));
    return columns;
}

TEST_F(GuiPlayback, StopEndsPlaybackWhileThePlayHeadRunsAcrossTheView) {
    // Long enough that even the file device, which takes whatever it is given,
    // is still busy when Stop comes.
    openMelody(44100 * 30);
    // A selection makes every redraw print the scroll position.
    selectByDrag(60, 70);

    size_t before = program.output().size();
    program.click(window, PLAY, 34);
    ASSERT_TRUE(program.waitForOutput("TODO: WaveHandler::playWave"));
    // A page of the view is 580 pixels of 512 frames; wait until the view turns one to follow the head.
    waitUntil([&] { return lastNumberAfter(program.output().substr(before), "off=") > 0; }, 10);
    ASSERT_GT(lastNumberAfter(program.output().substr(before), "off="), 0) << "the view never scrolled";
    int originX, originY;
    program.origin(window, originX, originY);
    std::string shot = program.home() + "/playing.png";
    program.screenshot(shot);
    program.click(window, STOP, 34);
    ASSERT_TRUE(program.waitForOutput("Played ")) << program.output().substr(before, 3000);

    std::string trace = program.output().substr(before);
    int heardFrames = -1, total = -1;
    ASSERT_EQ(std::sscanf(trace.c_str() + trace.find("Played "), "Played %d of %d frames", &heardFrames, &total), 2);
    EXPECT_EQ(total, static_cast<int>(working.size()));
    EXPECT_LT(heardFrames, total);
    std::vector<float> out = heard();
    EXPECT_LT(out.size(), working.size());
    EXPECT_GE(out.size(), static_cast<size_t>(heardFrames));
    for (size_t i = 0; i < out.size() && i < working.size(); i++) ASSERT_EQ(out[i], working[i]) << "frame " << i;

    // The play-head: one thin line inside the wave area, in the middle of the canvas.
    std::vector<int> columns = playHeadColumns(shot, originY + 250, originX + 40, originX + 620);
    EXPECT_GE(columns.size(), 1u);
    EXPECT_LE(columns.size(), 2u);
    EXPECT_GT(heardFrames, lastNumberAfter(trace, "off="));

    // After the stop the play-head is gone and the program still plays.
    ASSERT_TRUE(program.waitForIdle());
    std::string stopped = program.home() + "/stopped.png";
    program.screenshot(stopped);
    EXPECT_TRUE(playHeadColumns(stopped, originY + 250, originX + 40, originX + 620).empty());
    EXPECT_TRUE(program.running());
}

TEST_F(GuiPlayback, MissingDeviceIsToldOnceAndTheProgramGoesOn) {
    std::string nothing = program.home() + "/defines_nothing.conf";
    std::ofstream(nothing) << "\n";
    startWithDevice(FLOAT_TO_FILE, "ALSA_CONFIG_PATH=" + nothing);
    std::string path = writeMelody(audioDir, 22050);
    open(path);
    program.click(window, PLAY, 34);
    std::string alert = program.waitForWindow("Cantorel");
    ASSERT_FALSE(alert.empty()) << program.output();
    EXPECT_EQ(program.count("No audio output device: "), 1) << program.output();
    program.key(alert, "Return");
    ASSERT_TRUE(program.waitForWindowGone("Cantorel"));

    program.click(window, PLAY_FROM, 34);
    program.waitForCount("TODO: WaveHandler::playWave", 2, 5);
    ASSERT_EQ(program.count("TODO: WaveHandler::playWave"), 2) << "the second play never ran";
    ASSERT_TRUE(program.waitForIdle());
    EXPECT_EQ(program.count("No audio output device: "), 1);
    EXPECT_EQ(program.count("Played "), 0);
    EXPECT_TRUE(program.running());
    EXPECT_FALSE(std::ifstream(heardPath).good());
}

TEST_F(GuiPlayback, AClickLeavesAMarkThatPlayToAndPlayFromSplitTheFileAt) {
    openMelody(22050);
    int frames = static_cast<int>(working.size());
    selectByDrag(80, 160);
    program.click(window, 100, 60);
    int mark = 512 * (100 - 40);
    waitUntil([&] { return lastNumberAfter(program.output(), "selectionStart=") == mark; }, 5);
    ASSERT_EQ(lastNumberAfter(program.output(), "selectionStart="), mark);

    playAndWait(PLAY_TO);
    expectExactly(heard(), working, 0, mark, "Play to the mark");
    playAndWait(PLAY_FROM);
    expectExactly(heard(), working, mark, frames, "Play from the mark");
    // The click cleared the selection: Play selection plays nothing, then Play to runs alone.
    int plays = program.count("TODO: WaveHandler::playWave");
    program.click(window, PLAY_SELECTION, 34);
    playAndWait(PLAY_TO);
    EXPECT_EQ(program.count("TODO: WaveHandler::playWave"), plays + 1);
    expectExactly(heard(), working, 0, mark, "Play to after Play selection");
}

TEST_F(GuiPlayback, WhenPlaybackEndsTheViewShowsTheLastPageNotABlankOne) {
    // About 12 s: more than the 712 columns of 512 frames one page shows.
    openMelody(44100 * 4);
    int frames = static_cast<int>(working.size());
    selectByDrag(60, 70);  // every redraw then prints the scroll position
    size_t before = program.output().size();
    program.click(window, PLAY, 34);
    ASSERT_TRUE(program.waitForOutput("Played ", 30));
    std::string trace = program.output();
    size_t played = trace.find("Played ", before);
    ASSERT_NE(played, std::string::npos);
    waitUntil([&] { return program.output().find("freqWidth=", played) != std::string::npos; }, 5);
    trace = program.output();
    EXPECT_NE(trace.find("freqWidth=", played), std::string::npos) << "the view after playback draws no curve";
    EXPECT_EQ(lastNumberAfter(trace, "off="), frames - 712 * 512);
}
