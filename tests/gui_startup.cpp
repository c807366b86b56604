// The real window: start-up, size limits, growth, and every way out.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "guidriver.h"
#include "testaudio.h"

static const char* const FAREWELL = "Thank you for using cantorel.";

TEST(GuiStartup, WindowAppearsWithStartupTrace) {
    ProgramUnderTest program("startup");
    std::string window = program.startWindow();
    ASSERT_FALSE(window.empty()) << program.output();
    ASSERT_TRUE(program.waitForOutput("WaveHandler::init()"));
    EXPECT_EQ(program.output().rfind("WaveHandler::WaveHandler()\nWaveHandler::init()\n", 0), 0u)
        << program.output();
    std::string geometry = shellOutput("xdotool getwindowgeometry " + window);
    EXPECT_NE(geometry.find("770x500"), std::string::npos) << geometry;
}

// No narrower than the toolbar, so no control is ever cut off.
TEST(GuiStartup, SizeHintsRefuseBelow770x200AndAbove2048) {
    ProgramUnderTest program("hints");
    std::string window = program.startWindow();
    ASSERT_FALSE(window.empty());
    std::string hints = shellOutput("xprop -id " + window + " WM_NORMAL_HINTS");
    EXPECT_NE(hints.find("minimum size: 770 by 200"), std::string::npos) << hints;
    EXPECT_NE(hints.find("maximum size: 2048 by 2048"), std::string::npos) << hints;
}

TEST(GuiStartup, WideningGrowsOnlyTheWavePanel) {
    ProgramUnderTest program("widen");
    std::string window = program.startWindow();
    ASSERT_FALSE(window.empty());
    std::string before = program.home() + "/before.png", after = program.home() + "/after.png";
    program.screenshot(before);
    program.resize(window, 1000, 600);
    int left, top;
    program.origin(window, left, top);
    // The window is redrawn at once from its back buffer: the grip in the new corner shows it.
    program.waitForPixel(after, left + 1000 - 18 + 16, top + 600 - 18 + 3, "255,255,255");
    // The toolbar keeps every control where it was.
    for (int x : {15, 45, 210, 330, 435, 540, 610, 700})
        EXPECT_EQ(pixelAt(before, left + x, top + 35), pixelAt(after, left + x, top + 35)) << "toolbar column " << x;
    // The grip sits in the new bottom-right corner: white stripe pixel at row 3, column 16.
    EXPECT_EQ(pixelAt(after, left + 1000 - 18 + 16, top + 600 - 18 + 3), "255,255,255");
    // Canvas now reaches where the window was empty before: a piano-roll band colour.
    std::string band = pixelAt(after, left + 900, top + 400);
    EXPECT_TRUE(band == "239,239,255" || band == "212,212,255" || band == "127,127,255") << band;
}

TEST(GuiStartup, FileExitSaysFarewellOnce) {
    ProgramUnderTest program("exit");
    std::string window = program.startWindow();
    ASSERT_FALSE(window.empty());
    ASSERT_TRUE(program.clickMenu(window, 15, 10));
    program.pressKeys("x");
    EXPECT_EQ(program.waitForExit(), 0);
    EXPECT_EQ(program.count(FAREWELL), 1) << program.output();
}

TEST(GuiStartup, AltFOpensTheFileMenuEvenOverTheCanvas) {
    ProgramUnderTest program("altf");
    std::string window = program.startWindow();
    ASSERT_FALSE(window.empty());
    program.click(window, 400, 300);  // the canvas takes every key it is offered
    ASSERT_TRUE(program.waitForOutput("WaveHandler::hitSegment()"));
    ASSERT_TRUE(program.keyMenu(window, "alt+f"));
    program.pressKeys("x");
    EXPECT_EQ(program.waitForExit(), 0);
    EXPECT_EQ(program.count(FAREWELL), 1) << program.output();
}

TEST(GuiStartup, ClosingTheWindowSaysFarewellOnce) {
    ProgramUnderTest program("close");
    std::string window = program.startWindow();
    ASSERT_FALSE(window.empty());
    program.closeWindow(window);
    EXPECT_EQ(program.waitForExit(), 0);
    EXPECT_EQ(program.count(FAREWELL), 1) << program.output();
}

TEST(GuiStartup, HelpAboutShowsNameVersionAndLicence) {
    ProgramUnderTest program("about");
    std::string window = program.startWindow();
    ASSERT_FALSE(window.empty());
    ASSERT_TRUE(program.clickMenu(window, 50, 10));
    program.pressKeys("a");
    std::string about = program.waitForWindow("About Cantorel");
    ASSERT_FALSE(about.empty());
    std::string shot = program.home() + "/about.png";
    program.screenshot(shot);
    program.key(about, "Return");
    program.waitForWindowGone("About Cantorel");
    EXPECT_TRUE(program.waitForWindow("About Cantorel", 1).empty()) << "the dialog closes";
    EXPECT_TRUE(program.running());
}

// The save writes in place (the file has a second name) and is killed while it
// writes: the original is left whole in the copy, and the next start names it.
TEST(GuiStartup, ACopyLeftByAKilledInPlaceSaveIsNamedAtTheNextStart) {
    ProgramUnderTest program("interrupted_save");
    std::string target = program.audioFolder() + "/44100Hz_2000000f_noise_two_names.wav";
    testaudio::writeFile(target, testaudio::brownNoise(2000000), 44100, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    std::string old = testaudio::fileBytes(target);
    ASSERT_EQ(link(target.c_str(), (target + ".second_name").c_str()), 0);
    std::string copies = program.home() + "/.cache/cantorel";  // where the program looks by default
    {
        testaudio::ScopedVariable cache("XDG_CACHE_HOME", program.home() + "/.cache");
        int status = testaudio::interruptedSave(target, 8000000, SIGKILL, testaudio::Interrupt::WhenTheTargetChanges);
        ASSERT_TRUE(status != -1 && WIFSIGNALED(status)) << "the save ended before it was killed: " << status;
    }
    std::vector<std::string> kept = testaudio::namesIn(copies);
    ASSERT_EQ(kept.size(), 2u) << ::testing::PrintToString(kept);
    EXPECT_EQ(kept[0].rfind("44100Hz_2000000f_noise_two_names-", 0), 0u) << kept[0];
    EXPECT_EQ(kept[1], kept[0] + ".origin");
    EXPECT_TRUE(testaudio::fileBytes(copies + "/" + kept[0]) == old);
    std::vector<std::string> beside = {testaudio::fileName(target), testaudio::fileName(target) + ".second_name"};
    EXPECT_EQ(testaudio::namesIn(program.audioFolder()), beside);

    program.start("XDG_CACHE_HOME=");
    ASSERT_FALSE(program.waitForWindow(MAIN_TITLE).empty()) << program.output();
    EXPECT_NE(program.output().find("A save of \"" + target + "\" was interrupted; the file as it was before is kept in \"" +
                                    copies + "/" + kept[0] + "\". If it is damaged, copy that back over it; then "
                                    "delete the copy.\n"),
              std::string::npos)
        << program.output();
}
