#ifndef GUIDRIVER_H
#define GUIDRIVER_H

// Drives the real program inside the virtual X server the test runs in:
// a private HOME, xdotool for input, standard output captured to a file.

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// The main window's title.
extern const char* const MAIN_TITLE;

class ProgramUnderTest {
public:
    explicit ProgramUnderTest(const std::string& tag);
    ~ProgramUnderTest();

    const std::string& home() const { return homeDir; }
    // Runs another copy of the program, e.g. an installed one, instead of the build's.
    void setProgram(const std::string& path) { programPath = path; }
    // Command-line arguments for the next start.
    void setArguments(const std::vector<std::string>& args) { arguments = args; }
    // Starts the program; env entries "NAME=value" are added to its environment.
    void start(const std::string& extraEnv = "");
    // A folder "audio" in the private HOME for the files a test opens and saves.
    std::string audioFolder() const;
    // Starts the program and waits for its main window; its id, or "" when none came.
    std::string startWindow();
    // Window id of the first shown window whose title matches `title` whole, or "" after the timeout.
    std::string waitForWindow(const std::string& title, int seconds = 20);
    std::string title(const std::string& window);
    // True once no window titled `title` is shown any more.
    bool waitForWindowGone(const std::string& title, int seconds = 20);
    bool waitForOutput(const std::string& text, int seconds = 20);
    // True once `text` stands at least `n` times in the output.
    bool waitForCount(const std::string& text, int n, int seconds = 20);
    // True once the program has handled every input sent so far and drawn what it
    // changed: it waits for more with nothing left unread.
    bool waitForIdle(int seconds = 20);
    // Waits for the program to end; its exit status, or -1 when it had to be killed.
    int waitForExit(int seconds = 20);
    bool running();
    std::string output() const;
    int count(const std::string& text) const;

    void focus(const std::string& window);
    void key(const std::string& window, const std::string& keys);
    // Keys to whatever has the keyboard now (an open menu, a dialog).
    void pressKeys(const std::string& keys);
    void type(const std::string& window, const std::string& text);
    void click(const std::string& window, int x, int y, int button = 1);
    void drag(const std::string& window, int x, int y, int toX, int toY);
    void moveTo(const std::string& window, int x, int y);
    void resize(const std::string& window, int w, int h);
    // Asks to close the window the way a window manager does (WM_DELETE_WINDOW).
    void closeWindow(const std::string& window);
    // Clicks a menu bar title or a choice, or presses keys, and waits for the menu to pop up.
    bool clickMenu(const std::string& window, int x, int y);
    bool keyMenu(const std::string& window, const std::string& keys);
    // Answers FLTK's file chooser (pre-filled with its folder) with the rest of a path.
    bool answerChooser(const std::string& title, const std::string& rest);
    // Ctrl+O and the chooser; true once the loaded file is drawn (until then input is refused).
    bool openFile(const std::string& window, const std::string& restOfPath);
    void screenshot(const std::string& path);
    // Takes screenshots into `png` until the screen pixel (x, y) is `rgb` ("r,g,b").
    bool waitForPixel(const std::string& png, int x, int y, const std::string& rgb, int seconds = 20);
    // Where the window's top-left corner is on the screen.
    void origin(const std::string& window, int& x, int& y);
    // Seeds the program's preference file.
    void writePreferences(const std::string& content);
    std::string readPreferences() const;

private:
    bool waitForNewPopup(const std::vector<unsigned long>& before);
    bool drawnAfterLoad() const;

    std::string homeDir;
    std::string programPath;
    std::vector<std::string> arguments;
    std::string outPath;
    pid_t pid = -1;
    int status = 0;
};

// Polls `condition` until it holds; false after the timeout.
bool waitUntil(const std::function<bool()>& condition, int seconds = 20);
// A test of the real program, with a folder for audio in its private HOME.
class WindowTest : public ::testing::Test {
protected:
    explicit WindowTest(const std::string& tag) : program(tag), audioDir(program.audioFolder()) {}
    // Starts the program and waits for its main window.
    void startProgram() {
        window = program.startWindow();
        ASSERT_FALSE(window.empty()) << program.output();
    }

    ProgramUnderTest program;
    std::string audioDir;
    std::string window;
};

// Runs a shell command and returns what it printed.
std::string shellOutput(const std::string& command);
// The pointer's current picture (size and a checksum of its pixels), to tell pointer shapes apart.
std::string cursorSignature();
// RGB of one pixel of a screenshot, as "r,g,b" in 0..255.
std::string pixelAt(const std::string& png, int x, int y);

#endif
