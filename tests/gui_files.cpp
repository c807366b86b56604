// Opening, correcting and saving through the real window and FLTK's own chooser.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <fstream>

#include "guidriver.h"
#include "testaudio.h"

using testaudio::Note;

static const int RATE = 44100;
static const int NOTE_FRAMES = 22050;
static const int REST_FRAMES = 4410;

// Sung pitches, in MIDI numbers, each off its note; F# sung 20 cents sharp
// lies outside C major and must come out as the nearer G.
static const double SUNG[] = {60.30, 64.35, 66.20, 62.70, 67.35};
static const int EXPECTED_IN_C_MAJOR[] = {60, 64, 67, 62, 67};

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

    // The choice's menu opens on the item shown: `steps` counts from there.
    void pickScaleItem(int steps) {
        ASSERT_TRUE(program.clickMenu(window, 540, 35));
        for (int i = 0; i < steps; i++) program.pressKeys("Down");
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

TEST_F(GuiFiles, ANamedPipeChosenToOpenIsRefusedAtOnceAndTheProgramGoesOn) {
    std::string pipe = audioDir + "/named_pipe_without_writer.wav";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0666), 0);
    openThroughChooser(pipe);
    std::string alert = program.waitForWindow("Cantorel", 10);
    ASSERT_FALSE(alert.empty()) << "no answer within 10 seconds: " << program.output();
    EXPECT_NE(program.output().find("Cannot open \"" + pipe + "\": it is a named pipe, not an audio file.\n"),
              std::string::npos)
        << program.output();
    program.key(alert, "Return");
    ASSERT_TRUE(program.waitForWindowGone("Cantorel"));
    // Still answering: the next file opens as usual, from the folder remembered.
    std::string input = writeOutOfTuneMelody(audioDir);
    program.key(window, "ctrl+o");
    choose("Select a file to load", fileName(input));
    EXPECT_TRUE(program.waitForOutput("totreadcount=")) << program.output();
}

TEST_F(GuiFiles, SaveAsOntoALinkToAFileNotMadeYetAsksFirstNamingWhereItLeads) {
    std::string input = writeOutOfTuneMelody(audioDir);
    openThroughChooser(input);
    ASSERT_TRUE(program.waitForOutput("totreadcount="));
    std::string elsewhere = program.home() + "/elsewhere";
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0755), 0);
    std::string destination = elsewhere + "/take_not_made_yet.wav";
    ASSERT_EQ(symlink(destination.c_str(), (audioDir + "/link_to_new_take.wav").c_str()), 0);

    saveAsThroughChooser("link_to_new_take.wav");
    std::string question = program.waitForWindow("Overwrite file\\?");
    ASSERT_FALSE(question.empty()) << program.output();
    EXPECT_NE(program.output().find("A link with this name already exists. It leads to \"" + destination +
                                    "\", which does not exist yet. Do you wish to save the audio there?\n"),
              std::string::npos)
        << program.output();
    EXPECT_NE(access(destination.c_str(), F_OK), 0) << "written before the answer";
    program.key(question, "Return");  // "Yes"
    ASSERT_TRUE(program.waitForOutput("Writecount=" + std::to_string(5 * (NOTE_FRAMES + REST_FRAMES)) + "\n"))
        << program.output();
    SF_INFO info;
    EXPECT_EQ(testaudio::readFile(destination, &info).size(), static_cast<size_t>(5 * (NOTE_FRAMES + REST_FRAMES)));
    struct stat st;
    ASSERT_EQ(lstat((audioDir + "/link_to_new_take.wav").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST_F(GuiFiles, AfterSaveAsSaveWritesThereWithoutAskingWhileTheTitleFollows) {
    std::string input = writeOutOfTuneMelody(audioDir);
    std::string recorded = testaudio::fileBytes(input);
    openThroughChooser(input);
    ASSERT_TRUE(program.waitForOutput("totreadcount=")) << program.output();
    ASSERT_TRUE(program.waitForIdle());
    EXPECT_EQ(program.title(window), "44100Hz_melody5_outoftune_mono_pcm16.wav - Cantorel");
    pickScaleItem(5);  // "C Major"
    EXPECT_EQ(program.title(window), "44100Hz_melody5_outoftune_mono_pcm16.wav * - Cantorel");

    // The recording opened is never written over without a question: Save asks for a name.
    program.key(window, "ctrl+s");
    choose("Save audio file as", "corrected.wav");
    std::string saved = audioDir + "/corrected.wav";
    EXPECT_TRUE(waitUntil([&] { return program.title(window) == "corrected.wav - Cantorel"; }))
        << program.title(window);
    std::string inCMajor = testaudio::fileBytes(saved);
    ASSERT_FALSE(inCMajor.empty());

    pickScaleItem(7);  // from "C Major" to "G Major", where the F# note stays F#
    EXPECT_EQ(program.title(window), "corrected.wav * - Cantorel");
    int writes = program.count("TODO:: WaveHandler::writeFile");
    program.key(window, "ctrl+s");
    EXPECT_TRUE(waitUntil([&] { return program.title(window) == "corrected.wav - Cantorel"; }))
        << program.title(window);
    EXPECT_EQ(program.count("TODO:: WaveHandler::writeFile"), writes + 1);
    EXPECT_TRUE(program.waitForWindow("Save audio file as", 1).empty()) << "Save asked for a name again";
    EXPECT_NE(testaudio::fileBytes(saved), inCMajor) << "the second correction was not written to the saved file";
    EXPECT_EQ(testaudio::fileBytes(input), recorded) << "the recording opened was written";
}
