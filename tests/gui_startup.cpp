// The real window: start-up, size limits, growth, and every way out.

#include <gtest/gtest.h>

#include "guidriver.h"

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
