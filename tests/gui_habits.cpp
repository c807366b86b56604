// The habits of a desktop audio editor, through the real window: a file named
// on the command line or dropped on the view, the editor's keys, and saving
// with nothing loaded.

#include <FL/Fl.H>
#include <FL/Fl_Double_Window.H>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>

#include "WavePanel.h"
#include "guidriver.h"
#include "testaudio.h"
#include "utils.h"

static const int RATE = 44100;

// A 441 Hz tone: exactly 100 samples a period.
static std::string writeTone(const std::string& folder, int frames) {
    std::string path = folder + "/44100Hz_" + std::to_string(frames) + "f_441Hz_sine_mono.wav";
    testaudio::writeFile(path, testaudio::sinePeriod(100, frames), RATE, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    return path;
}

static int lastNumberAfter(const std::string& trace, const std::string& label) {
    size_t at = trace.rfind(label);
    return at == std::string::npos ? -1 : std::stoi(trace.substr(at + label.size()));
}

TEST(CommandLine, HelpAndVersionPrintAndEveryOtherOptionOrASecondFileIsRefused) {
    std::string program = std::string("'") + CANTOREL_BINARY + "'";
    std::string help = shellOutput(program + " --help 2>/dev/null; echo status=$?");
    EXPECT_EQ(help.find("Usage: cantorel [--help | --version | FILE]\n"), 0u) << help;
    EXPECT_NE(help.find("status=0"), std::string::npos) << help;
    EXPECT_EQ(shellOutput(program + " --version 2>&1; echo status=$?"),
              std::string("cantorel ") + CANTOREL_VERSION + "\nstatus=0\n");
    // Refused before any window: no display is needed to be told.
    for (std::string wrong : {"--bogus", "-x", "one.wav two.wav"}) {
        std::string said = shellOutput("DISPLAY= " + program + " " + wrong + " 2>&1 >/dev/null; echo status=$?");
        EXPECT_NE(said.find("\nUsage: cantorel [--help | --version | FILE]\nstatus=2\n"), std::string::npos)
            << wrong << ": " << said;
    }
}

class GuiHabits : public WindowTest {
protected:
    GuiHabits() : WindowTest("habits") {}

    // Starts with the tone named as the program's only argument, relative to its working folder.
    void startWithTone(int frames) {
        program.setArguments({"audio/" + testaudio::fileName(writeTone(audioDir, frames))});
        startProgram();
        ASSERT_TRUE(program.waitForOutput("totreadcount=" + std::to_string(frames))) << program.output();
        // Until the analysed file is drawn the window refuses input.
        ASSERT_TRUE(program.waitForOutput("freqWidth=")) << "the loaded file was never drawn";
    }
};

TEST_F(GuiHabits, FileArgumentOpensThenKeysPlayStopScrollSaveAndQuitAfterAClickOnTheCanvas) {
    std::string heardPath = program.home() + "/out.raw";
    std::ofstream(program.home() + "/.asoundrc")
        << "pcm.!default { type file; slave.pcm \"null\"; file \"" << heardPath << "\"; format \"raw\" }\n";
    // Thirty seconds: still playing when the second Space comes.
    const int frames = RATE * 30;
    startWithTone(frames);
    EXPECT_NE(program.readPreferences().find("wavedir:" + audioDir + "/\n"), std::string::npos)
        << program.readPreferences();

    // A drag on the canvas selects, and gives the canvas the focus.
    program.drag(window, 100, 60, 200, 60);
    ASSERT_TRUE(program.waitForOutput("extendSelection end at ")) << "no selection was made";
    int selectionStart = lastNumberAfter(program.output(), "selectionStart=");
    ASSERT_GT(selectionStart, 0);

    program.key(window, "space");
    ASSERT_TRUE(program.waitForOutput("TODO: WaveHandler::playWave")) << program.output().substr(0, 3000);
    program.key(window, "space");
    ASSERT_TRUE(program.waitForOutput("Played ")) << "Space did not stop the playback";
    std::string trace = program.output();
    int heardFrames = -1, queued = -1;
    ASSERT_EQ(std::sscanf(trace.c_str() + trace.find("Played "), "Played %d of %d frames", &heardFrames, &queued), 2);
    EXPECT_EQ(queued, frames - selectionStart) << "Space plays from the selection's start to the end";
    EXPECT_LT(heardFrames, queued);

    // The canvas beside the vertical scrollbar is 752 pixels wide, 712 of them
    // samples at 512 a pixel; End shows the last of them at the right edge.
    program.key(window, "End");
    waitUntil([&] { return lastNumberAfter(program.output(), "off=") == frames - 712 * 512; });
    EXPECT_EQ(lastNumberAfter(program.output(), "off="), frames - 712 * 512);
    program.key(window, "Home");
    waitUntil([&] { return lastNumberAfter(program.output(), "off=") == 0; });
    EXPECT_EQ(lastNumberAfter(program.output(), "off="), 0);

    program.key(window, "ctrl+s");
    std::string chooser = program.waitForWindow("Save audio file as");
    ASSERT_FALSE(chooser.empty()) << program.output().substr(0, 3000);
    EXPECT_EQ(program.count("WaveHandler::fileSave()"), 1);
    program.key(chooser, "Escape");
    ASSERT_TRUE(program.waitForWindowGone("Save audio file as"));

    int questionsBefore = program.count("WaveHandler::cancelledAutoSave()");
    program.key(window, "ctrl+q");
    EXPECT_EQ(program.waitForExit(), 0);
    EXPECT_EQ(program.count("WaveHandler::cancelledAutoSave()"), questionsBefore + 1);
    EXPECT_EQ(program.count("Thank you for using cantorel."), 1);
}

TEST_F(GuiHabits, SaveAndSaveAsWithNothingLoadedSaySoAndWriteNothing) {
    startProgram();
    program.click(window, 400, 300);
    program.key(window, "ctrl+s");
    std::string alert = program.waitForWindow("Cantorel");
    ASSERT_FALSE(alert.empty()) << program.output();
    program.key(alert, "Return");
    ASSERT_TRUE(program.waitForWindowGone("Cantorel"));
    ASSERT_TRUE(program.clickMenu(window, 15, 10));
    program.pressKeys("a");
    alert = program.waitForWindow("Cantorel");
    ASSERT_FALSE(alert.empty()) << program.output();
    program.key(alert, "Return");

    EXPECT_EQ(program.count("Nothing to save: open a recording first.\n"), 2) << program.output();
    EXPECT_TRUE(program.waitForWindow("Save audio file as", 1).empty());
    EXPECT_EQ(program.count("TODO:: WaveHandler::writeFile"), 0);
    EXPECT_TRUE(program.running());
}

// A drop as FLTK delivers it from a file manager: the drag events find the
// canvas under the pointer, then the widget that took the drop gets the URI list.
TEST(Drop, AFileDroppedOnTheCanvasIsOpenedAndItsFolderRemembered) {
    std::string home = testaudio::makeTempDir("drop_home");
    setenv("HOME", home.c_str(), 1);
    std::string folder = home + "/my songs";
    mkdir(folder.c_str(), 0755);
    std::string path = writeTone(folder, RATE);

    Fl_Double_Window window(770, 450);
    WavePanel* panel = new WavePanel(0, 0, 770, 450);
    window.end();
    window.show();
    for (int i = 0; i < 10; i++) Fl::wait(0.02);

    WaveCanvas* canvas = panel->waveCanvas;
    Fl::e_x = canvas->x() + canvas->w() / 2;
    Fl::e_y = canvas->y() + canvas->h() / 2;
    EXPECT_TRUE(Fl::handle(FL_DND_ENTER, &window));
    EXPECT_TRUE(Fl::handle(FL_DND_DRAG, &window));
    ASSERT_TRUE(Fl::handle(FL_DND_RELEASE, &window));
    ASSERT_EQ(Fl::belowmouse(), canvas);
    std::string uriList = "file://" + home + "/my%20songs/" + testaudio::fileName(path) + "\r\n";
    Fl::e_text = &uriList[0];
    Fl::e_length = static_cast<int>(uriList.size());
    Fl::belowmouse()->handle(FL_PASTE);
    // A failed open would wait on its alert for ever: close it, so the checks below tell.
    Fl::add_timeout(10.0, [](void*) {
        if (Fl::modal()) Fl::modal()->hide();
    });
    for (int i = 0; i < 200 && panel->wave->frameCount() == 0; i++) Fl::wait(0.05);

    EXPECT_EQ(panel->wave->frameCount(), RATE);
    std::unique_ptr<string> remembered(utils::getlastdir("wavedir"));
    EXPECT_EQ(*remembered, folder + "/");
}
