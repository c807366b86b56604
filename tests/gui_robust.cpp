// Long loads that the user cancels, and Escape, through the real window.

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "guidriver.h"
#include "testaudio.h"

static const int RATE = 44100;
static const int MELODY_FRAMES = 2 * (22050 + 4410);

class GuiRobust : public WindowTest {
protected:
    GuiRobust() : WindowTest("robust") {}
    // Playback goes to a file, so no sound card is needed.
    void SetUp() override {
        std::ofstream(program.home() + "/.asoundrc") << "pcm.!default { type file; slave.pcm \"null\"; file \""
                                                     << program.home() << "/out.raw\"; format \"raw\" }\n";
        startProgram();
    }

    void writeMelody() {
        std::vector<float> samples = testaudio::melody({{440.0, 22050}, {0.0, 4410}, {523.25, 22050}, {0.0, 4410}}, RATE);
        testaudio::writeFile(audioDir + "/44100Hz_melody2_mono.wav", samples, RATE, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    }

    // Noise is the slowest material to analyse: five minutes of it keep the
    // progress bar up for seconds.
    void writeLongNoise() {
        testaudio::writeFile(audioDir + "/44100Hz_300s_brownnoise_mono.wav", testaudio::brownNoise(300 * RATE), RATE, 1,
                             SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    }

    // The chooser starts in the folder of the file opened before.
    void startOpening(const std::string& name) {
        program.key(window, "ctrl+o");
        ASSERT_TRUE(program.answerChooser("Select a file to load", name));
    }

    bool waitForCount(const std::string& text, int wanted, int seconds = 30) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (program.count(text) < wanted) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return true;
    }

    bool questionGone() {
        for (int look = 0; look < 100; look++) {
            if (shellOutput("xdotool search --name 'Save changes\\?'").empty()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    void pickScale(int index) {
        program.click(window, 540, 35);
        for (int i = 0; i < index; i++) program.pressKeys("Down");
        program.pressKeys("Return");
    }
};

TEST_F(GuiRobust, EscapeAndClosingDuringALongLoadCancelItAndKeepTheOpenFile) {
    writeMelody();
    writeLongNoise();
    ASSERT_TRUE(program.openFile(window, "audio/44100Hz_melody2_mono.wav")) << program.output();
    program.moveTo(window, 400, 300);
    std::string idlePointer = cursorSignature();

    startOpening("44100Hz_300s_brownnoise_mono.wav");
    ASSERT_TRUE(program.waitForOutput("Showing load progress")) << program.output();
    // Leaving and re-entering the canvas keeps the wait pointer.
    program.moveTo(window, 600, 35);
    program.moveTo(window, 400, 300);
    for (int look = 0; look < 5 && program.count("Loading cancelled") == 0; look++) {
        EXPECT_NE(cursorSignature(), idlePointer) << "look " << look;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    program.key(window, "Escape");
    ASSERT_TRUE(program.waitForOutput("Loading cancelled; the open document is kept.")) << program.output();
    EXPECT_TRUE(program.running());

    // The melody is still the document: it saves with its own length.
    program.click(window, 15, 10);
    program.pressKeys("a");
    ASSERT_TRUE(program.answerChooser("Save audio file as", "kept.wav"));
    ASSERT_TRUE(program.waitForOutput("Writecount=" + std::to_string(MELODY_FRAMES) + "\n")) << program.output();
    SF_INFO info{};
    EXPECT_EQ(testaudio::readFile(audioDir + "/kept.wav", &info).size(), static_cast<size_t>(MELODY_FRAMES));

    startOpening("44100Hz_300s_brownnoise_mono.wav");
    ASSERT_TRUE(waitForCount("Showing load progress", 2)) << program.output();
    program.closeWindow(window);
    EXPECT_EQ(program.waitForExit(), 0) << program.output();
    EXPECT_EQ(program.count("Loading cancelled; the open document is kept."), 2) << program.output();
    EXPECT_EQ(program.count("Thank you for using cantorel."), 1);
}

TEST_F(GuiRobust, EscapeStopsPlaybackAndClearsTheSelectionButNeverClosesTheWindow) {
    // Thirty seconds: still playing when Escape comes.
    testaudio::writeFile(audioDir + "/44100Hz_30s_sine441_mono.wav", testaudio::sinePeriod(100, 30 * RATE), RATE, 1,
                         SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    ASSERT_TRUE(program.openFile(window, "audio/44100Hz_30s_sine441_mono.wav")) << program.output();
    pickScale(5);  // unsaved work: closing would ask about it
    int left, top;
    program.origin(window, left, top);
    // Above the tone's note and its spectrum, the selection's band alone.
    std::string shot = program.home() + "/escape.png";
    program.drag(window, 100, 200, 300, 200);
    ASSERT_TRUE(program.waitForPixel(shot, left + 250, top + 200, "0,0,127")) << "no selection to clear";
    program.key(window, "Escape");
    EXPECT_TRUE(waitUntil([&] {
        program.screenshot(shot);
        return pixelAt(shot, left + 250, top + 200) != "0,0,127";
    })) << "Escape left the selection";

    program.key(window, "space");
    ASSERT_TRUE(program.waitForOutput("TODO: WaveHandler::playWave")) << program.output().substr(0, 2000);
    program.key(window, "Escape");
    ASSERT_TRUE(program.waitForOutput("Played ")) << "Escape did not stop the playback";

    // Escape again once a question was cancelled with it.
    program.key(window, "ctrl+o");
    std::string question = program.waitForWindow("Save changes\\?");
    ASSERT_FALSE(question.empty()) << program.output();
    program.key(question, "Escape");
    ASSERT_TRUE(questionGone());
    program.key(window, "Escape");
    ASSERT_TRUE(program.waitForIdle());
    EXPECT_TRUE(program.running());
    EXPECT_TRUE(program.waitForWindow("Save changes\\?", 1).empty()) << "Escape set out to close the window";
    EXPECT_EQ(program.count("Thank you for using cantorel."), 0);

    // Quitting stays on Ctrl+Q, through the question.
    program.key(window, "ctrl+q");
    question = program.waitForWindow("Save changes\\?");
    ASSERT_FALSE(question.empty()) << program.output();
    program.key(question, "alt+d");
    EXPECT_EQ(program.waitForExit(), 0);
    EXPECT_EQ(program.count("Thank you for using cantorel."), 1) << program.output();
}
