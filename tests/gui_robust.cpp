// Long loads that the user cancels, and Escape, through the real window.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "guidriver.h"
#include "testaudio.h"

static const int RATE = 44100;
static const int MELODY_FRAMES = 2 * (22050 + 4410);

class GuiRobust : public WindowTest {
protected:
    GuiRobust() : WindowTest("robust") {}
    void SetUp() override { startProgram(); }

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

TEST_F(GuiRobust, EscapeClosesTheWindowThroughTheUnsavedChangesQuestion) {
    writeMelody();
    ASSERT_TRUE(program.openFile(window, "audio/44100Hz_melody2_mono.wav")) << program.output();
    ASSERT_TRUE(waitForCount("WaveHandler::cancelledAutoSave()", 1));
    pickScale(5);
    program.key(window, "Escape");
    std::string question = program.waitForWindow("Save changes\\?");
    ASSERT_FALSE(question.empty()) << program.output();
    program.key(question, "Escape");
    ASSERT_TRUE(questionGone());
    EXPECT_TRUE(program.running());
    program.key(window, "Escape");
    question = program.waitForWindow("Save changes\\?");
    ASSERT_FALSE(question.empty()) << program.output();
    program.key(question, "alt+d");
    EXPECT_EQ(program.waitForExit(), 0);
    EXPECT_EQ(program.count("Thank you for using cantorel."), 1) << program.output();
}
