#include "guidriver.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "testaudio.h"

std::string shellOutput(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
    pclose(pipe);
    return out;
}

std::string pixelAt(const std::string& png, int x, int y) {
    std::string cmd = "convert '" + png + "' -crop 1x1+" + std::to_string(x) + "+" + std::to_string(y) +
                      " -depth 8 -format '%[fx:int(255*r+.5)],%[fx:int(255*g+.5)],%[fx:int(255*b+.5)]' info:";
    return shellOutput(cmd);
}

std::string cursorSignature() {
    Display* display = XOpenDisplay(nullptr);
    if (!display) return "";
    XFixesCursorImage* image = XFixesGetCursorImage(display);
    std::string signature;
    if (image) {
        unsigned long sum = 0;
        for (int i = 0; i < image->width * image->height; i++) sum = sum * 31 + image->pixels[i];
        signature = std::to_string(image->width) + "x" + std::to_string(image->height) + ":" + std::to_string(sum);
        XFree(image);
    }
    XCloseDisplay(display);
    return signature;
}

static void run(const std::string& command) {
    if (system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

ProgramUnderTest::ProgramUnderTest(const std::string& tag) {
    programPath = CANTOREL_BINARY;
    homeDir = testaudio::makeTempDir("gui_" + tag);
    outPath = homeDir + "/stdout.txt";
    // FLTK's own file chooser, not a desktop one, so xdotool can type into it.
    mkdir((homeDir + "/.fltk").c_str(), 0755);
    mkdir((homeDir + "/.fltk/fltk.org").c_str(), 0755);
    std::ofstream prefs(homeDir + "/.fltk/fltk.org/fltk.prefs");
    prefs << "; FLTK preferences file format 1.0\n; vendor: fltk.org\n; application: fltk\n\n"
             "[./options]\n\nFNFCUsesGTK:0\n";
}

ProgramUnderTest::~ProgramUnderTest() {
    if (pid > 0 && running()) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
}

void ProgramUnderTest::start(const std::string& extraEnv) {
    pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        setenv("HOME", homeDir.c_str(), 1);
        std::istringstream entries(extraEnv);
        std::string entry;
        while (entries >> entry) putenv(strdup(entry.c_str()));
        if (chdir(homeDir.c_str()) != 0) _exit(126);
        if (!freopen(outPath.c_str(), "w", stdout)) _exit(126);
        if (!freopen((homeDir + "/stderr.txt").c_str(), "w", stderr)) _exit(126);
        std::vector<char*> argv{const_cast<char*>(programPath.c_str())};
        for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        execv(programPath.c_str(), argv.data());
        _exit(127);
    }
}

std::string ProgramUnderTest::waitForWindow(const std::string& title, int seconds) {
    std::string out = shellOutput("timeout " + std::to_string(seconds) + " xdotool search --sync --name '^" + title +
                                  "$' 2>/dev/null | head -n 1");
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

bool ProgramUnderTest::waitForOutput(const std::string& text, int seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (output().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

bool ProgramUnderTest::running() {
    if (pid <= 0) return false;
    return waitpid(pid, &status, WNOHANG) == 0;
}

int ProgramUnderTest::waitForExit(int seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (!running()) {
            pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
}

std::string ProgramUnderTest::output() const {
    std::ifstream in(outPath);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int ProgramUnderTest::count(const std::string& text) const {
    std::string all = output();
    int n = 0;
    for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + text.size())) n++;
    return n;
}

void ProgramUnderTest::focus(const std::string& window) { run("xdotool windowfocus --sync " + window); }

void ProgramUnderTest::key(const std::string& window, const std::string& keys) {
    focus(window);
    run("xdotool key --delay 60 " + keys);
}

void ProgramUnderTest::pressKeys(const std::string& keys) { run("xdotool key --delay 60 " + keys); }

void ProgramUnderTest::type(const std::string& window, const std::string& text) {
    focus(window);
    run("xdotool type --delay 20 '" + text + "'");
}

void ProgramUnderTest::moveTo(const std::string& window, int x, int y) {
    run("xdotool mousemove --sync --window " + window + " " + std::to_string(x) + " " + std::to_string(y));
}

void ProgramUnderTest::click(const std::string& window, int x, int y, int button) {
    moveTo(window, x, y);
    run("xdotool click " + std::to_string(button));
}

void ProgramUnderTest::drag(const std::string& window, int x, int y, int toX, int toY) {
    moveTo(window, x, y);
    run("xdotool mousedown 1");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    moveTo(window, toX, toY);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    run("xdotool mouseup 1");
}

void ProgramUnderTest::resize(const std::string& window, int w, int h) {
    run("xdotool windowsize --sync " + window + " " + std::to_string(w) + " " + std::to_string(h));
}

void ProgramUnderTest::closeWindow(const std::string& window) {
    Display* display = XOpenDisplay(nullptr);
    if (!display) throw std::runtime_error("no display");
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = std::stoul(window);
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = XInternAtom(display, "WM_DELETE_WINDOW", False);
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, event.xclient.window, False, NoEventMask, &event);
    XFlush(display);
    XCloseDisplay(display);
}

void ProgramUnderTest::origin(const std::string& window, int& x, int& y) {
    std::string shell = shellOutput("xdotool getwindowgeometry --shell " + window);
    x = y = 0;
    size_t at = shell.find("X=");
    if (at != std::string::npos) x = std::stoi(shell.substr(at + 2));
    at = shell.find("Y=");
    if (at != std::string::npos) y = std::stoi(shell.substr(at + 2));
}

bool ProgramUnderTest::answerChooser(const std::string& title, const std::string& rest) {
    std::string chooser = waitForWindow(title);
    if (chooser.empty()) return false;
    usleep(300000);
    type(chooser, rest);
    pressKeys("Return");
    return true;
}

bool ProgramUnderTest::openFile(const std::string& window, const std::string& restOfPath) {
    int loadsBefore = count("totreadcount=");
    key(window, "ctrl+o");
    if (!answerChooser("Select a file to load", restOfPath)) return false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        if (count("totreadcount=") > loadsBefore) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

void ProgramUnderTest::screenshot(const std::string& path) { run("import -window root '" + path + "'"); }

void ProgramUnderTest::writePreferences(const std::string& content) {
    mkdir((homeDir + "/.fltk/kelv").c_str(), 0755);
    std::ofstream prefs(homeDir + "/.fltk/kelv/Cantorel.prefs");
    prefs << content;
}

std::string ProgramUnderTest::readPreferences() const {
    std::ifstream in(homeDir + "/.fltk/kelv/Cantorel.prefs");
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}
