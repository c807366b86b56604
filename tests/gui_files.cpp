// Opening, correcting and saving through the real window and FLTK's own chooser.

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "guidriver.h"
#include "testaudio.h"

using testaudio::Note;

static const int RATE = 44100;
static const int NOTE_FRAMES = 22050;
static const int REST_FRAMES = 4410;

// Sung pitches, in MIDI numbers, each off its note; F# lies outside C major
// and must come out as F.
static const double SUNG[] = {60.30, 64.35, 66.20, 62.70, 67.35};
static const int EXPECTED_IN_C_MAJOR[] = {60, 64, 65, 62, 67};

static std::string writeOutOfTuneMelody(const std::string& folder) {
    std::vector<Note> notes;
    for (double midi : SUNG) {
        notes.push_back({testaudio::midiToHz(midi), NOTE_FRAMES});
        notes.push_back({0.0, REST_FRAMES});
    }
    std::string path = folder + "/44100Hz_melody5_outoftune_mono_pcm16.wav";
    testaudio::writeFile(path, testaudio::melody(notes, RATE), RATE, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    return path;
}

static std::string fileName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

class GuiFiles : public WindowTest {
protected:
    GuiFiles() : WindowTest("files") {}
    void SetUp() override { startProgram(); }

    void choose(const std::string& title, const std::string& rest) {
        ASSERT_TRUE(program.answerChooser(title, rest)) << "no chooser titled " << title;
    }

    void openThroughChooser(const std::string& path) {
        program.key(window, "ctrl+o");
        choose("Select a file to load", "audio/" + fileName(path));
    }

    void saveAsThroughChooser(const std::string& name) {
        ASSERT_TRUE(program.clickMenu(window, 15, 10));
        program.pressKeys("a");
        choose("Save audio file as", name);
    }

    void pickScaleItem(int index) {
        ASSERT_TRUE(program.clickMenu(window, 540, 35));
        for (int i = 0; i < index; i++) program.pressKeys("Down");
        program.pressKeys("Return");
        ASSERT_TRUE(program.waitForIdle());
    }
};

TEST_F(GuiFiles, OpenPickCMajorSaveAsPutsEveryNoteOnTheScale) {
    std::string input = writeOutOfTuneMelody(audioDir);
    openThroughChooser(input);
    ASSERT_TRUE(program.waitForOutput("totreadcount=")) << program.output();
    pickScaleItem(5);  // "C Major"
    saveAsThroughChooser("corrected_cmajor.wav");
    std::string saved = audioDir + "/corrected_cmajor.wav";
    ASSERT_TRUE(program.waitForOutput("Writecount=" + std::to_string(5 * (NOTE_FRAMES + REST_FRAMES))))
        << program.output();

    SF_INFO info;
    std::vector<float> samples = testaudio::readFile(saved, &info);
    EXPECT_EQ(info.samplerate, RATE);
    EXPECT_EQ(info.channels, 1);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    for (int n = 0; n < 5; n++) {
        // The middle of each note: away from its first periods and its end.
        int start = n * (NOTE_FRAMES + REST_FRAMES) + NOTE_FRAMES / 4;
        double hz = testaudio::zeroCrossingHz(samples, start, start + NOTE_FRAMES / 2, RATE);
        double midi = testaudio::hzToMidi(hz);
        // The input was 20 to 35 cents off, and the F# a whole semitone away from F.
        // The corrected curve keeps the sung movements as the periods read them, a few
        // cents at these pitches; a copy one sample long per period would put a note 12
        // cents flat.
        EXPECT_NEAR(midi, EXPECTED_IN_C_MAJOR[n], 0.06) << "note " << n << " measured " << hz << " Hz";
    }
    EXPECT_NE(program.readPreferences().find("wavedir:" + audioDir + "/"), std::string::npos)
        << program.readPreferences();
}

TEST_F(GuiFiles, SaveAsOntoExistingFileAnsweredNoLeavesFileAndPreference) {
    std::string input = writeOutOfTuneMelody(audioDir);
    openThroughChooser(input);
    ASSERT_TRUE(program.waitForOutput("totreadcount="));
    std::string otherDir = program.home() + "/other";
    mkdir(otherDir.c_str(), 0755);
    std::string existing = otherDir + "/keep_me.wav";
    { std::ofstream(existing) << "precious"; }
    program.writePreferences("; FLTK preferences file format 1.0\n; vendor: kelv\n; application: Cantorel\n\n[.]\n\n"
                             "wavedir:" + audioDir + "/\n");
    saveAsThroughChooser("../other/keep_me.wav");
    std::string question = program.waitForWindow("Overwrite file\\?");
    ASSERT_FALSE(question.empty()) << program.output();
    program.key(question, "Escape");
    ASSERT_TRUE(program.waitForWindowGone("Overwrite file\\?"));
    ASSERT_TRUE(program.waitForIdle());
    std::ifstream in(existing);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "precious");
    EXPECT_EQ(program.count("TODO:: WaveHandler::writeFile"), 0);
    EXPECT_EQ(program.readPreferences().find(otherDir), std::string::npos) << program.readPreferences();
}

TEST_F(GuiFiles, FailedOpenStillRemembersTheFolder) {
    std::string bogus = audioDir + "/not_audio_text.wav";
    { std::ofstream(bogus) << "this is not audio"; }
    openThroughChooser(bogus);
    std::string alert = program.waitForWindow("Cantorel");
    ASSERT_FALSE(alert.empty()) << program.output();
    EXPECT_NE(program.output().find("Cannot open"), std::string::npos);
    program.key(alert, "Return");
    EXPECT_NE(program.readPreferences().find("wavedir:" + audioDir + "/"), std::string::npos)
        << program.readPreferences();
}

TEST_F(GuiFiles, CtrlOWorksAfterAClickOnTheCanvas) {
    program.click(window, 400, 300);
    ASSERT_TRUE(program.waitForOutput("WaveHandler::hitSegment()"));
    program.key(window, "ctrl+o");
    EXPECT_FALSE(program.waitForWindow("Select a file to load").empty()) << program.output();
}

TEST_F(GuiFiles, ExitAsksAboutUnsavedCorrectionAndCancelKeepsRunning) {
    std::string input = writeOutOfTuneMelody(audioDir);
    openThroughChooser(input);
    ASSERT_TRUE(program.waitForOutput("totreadcount="));
    pickScaleItem(5);
    ASSERT_TRUE(program.clickMenu(window, 15, 10));
    program.pressKeys("x");
    std::string question = program.waitForWindow("Save changes\\?");
    ASSERT_FALSE(question.empty()) << program.output();
    program.key(question, "Escape");
    ASSERT_TRUE(program.waitForWindowGone("Save changes\\?"));
    ASSERT_TRUE(program.waitForIdle());
    EXPECT_TRUE(program.running());
    EXPECT_EQ(program.count("Thank you for using cantorel."), 0);
    program.closeWindow(window);
    question = program.waitForWindow("Save changes\\?");
    ASSERT_FALSE(question.empty());
    program.key(question, "alt+d");
    EXPECT_EQ(program.waitForExit(), 0);
    EXPECT_EQ(program.count("Thank you for using cantorel."), 1) << program.output();
}
