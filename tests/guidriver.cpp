#include "guidriver.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

const char* const MAIN_TITLE = "Cantorel Pitch Correction";

bool waitUntil(const std::function<bool()>& condition, int seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

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

// The first shown window titled exactly `title`; with `seconds`, waits that long for one.
static std::string shownWindow(const std::string& title, int seconds = 0) {
    std::string wait = seconds > 0 ? "timeout " + std::to_string(seconds) + " xdotool search --sync" : "xdotool search";
    std::string out = shellOutput(wait + " --onlyvisible --name '^" + title + "$' 2>/dev/null | head -n 1");
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

std::string ProgramUnderTest::audioFolder() const {
    std::string folder = homeDir + "/audio";
    mkdir(folder.c_str(), 0755);
    return folder;
}

// Named after its recording once one is open: "melody.wav - Cantorel".
std::string ProgramUnderTest::startWindow() {
    start();
    return waitForWindow(std::string("(") + MAIN_TITLE + "|.+ - Cantorel)");
}

std::string ProgramUnderTest::title(const std::string& window) {
    std::string name = shellOutput("xdotool getwindowname " + window);
    if (!name.empty() && name.back() == '\n') name.pop_back();
    return name;
}

std::string ProgramUnderTest::waitForWindow(const std::string& title, int seconds) {
    return shownWindow(title, seconds);
}

bool ProgramUnderTest::waitForWindowGone(const std::string& title, int seconds) {
    return waitUntil([&] { return shownWindow(title).empty(); }, seconds);
}

bool ProgramUnderTest::waitForOutput(const std::string& text, int seconds) {
    return waitUntil([&] { return output().find(text) != std::string::npos; }, seconds);
}

bool ProgramUnderTest::waitForCount(const std::string& text, int n, int seconds) {
    return waitUntil([&] { return count(text) >= n; }, seconds);
}

// The program's main thread sleeps in the event loop's wait, which it enters
// only after handling every event read and drawing what they changed.
static bool waitingForEvents(pid_t pid) {
    std::ifstream wchan("/proc/" + std::to_string(pid) + "/wchan");
    std::string where;
    wchan >> where;
    return where.find("poll") != std::string::npos || where.find("select") != std::string::npos;
}

// Bytes of input not yet read on the program's sockets (its X connection among them).
static bool hasUnreadInput(pid_t pid) {
    std::istringstream sockets(shellOutput("ss -xpH 2>/dev/null"));
    std::string line, owner = "pid=" + std::to_string(pid) + ",";
    while (std::getline(sockets, line)) {
        if (line.find(owner) == std::string::npos) continue;
        std::istringstream fields(line);
        std::string type, state;
        long unread = 0;
        fields >> type >> state >> unread;
        if (unread > 0) return true;
    }
    return false;
}

bool ProgramUnderTest::waitForIdle(int seconds) {
    // Unread input first: once none is left, a wait seen afterwards follows the handling.
    return waitUntil([&] { return running() && !hasUnreadInput(pid) && waitingForEvents(pid); }, seconds);
}

// Shown override-redirect windows at the top: FLTK's pop-up menus (and tooltips).
static std::vector<unsigned long> popups() {
    std::vector<unsigned long> found;
    Display* display = XOpenDisplay(nullptr);
    if (!display) return found;
    Window root, parent, *children = nullptr;
    unsigned int n = 0;
    if (XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &n)) {
        for (unsigned int i = 0; i < n; i++) {
            XWindowAttributes attributes;
            if (XGetWindowAttributes(display, children[i], &attributes) && attributes.override_redirect &&
                attributes.map_state == IsViewable)
                found.push_back(children[i]);
        }
        XFree(children);
    }
    XCloseDisplay(display);
    return found;
}

bool ProgramUnderTest::waitForNewPopup(const std::vector<unsigned long>& before) {
    return waitUntil([&] {
        for (unsigned long popup : popups())
            if (std::find(before.begin(), before.end(), popup) == before.end()) return true;
        return false;
    });
}

bool ProgramUnderTest::clickMenu(const std::string& window, int x, int y) {
    std::vector<unsigned long> before = popups();
    click(window, x, y);
    return waitForNewPopup(before);
}

bool ProgramUnderTest::keyMenu(const std::string& window, const std::string& keys) {
    std::vector<unsigned long> before = popups();
    key(window, keys);
    return waitForNewPopup(before);
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

int ProgramUnderTest::count(const std::string& text) const { return testaudio::countOf(output(), text); }

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

// Whether the pointer stands at (x, y) of the window already.
static bool pointerAt(const std::string& window, int x, int y) {
    Display* display = XOpenDisplay(nullptr);
    if (!display) return false;
    Window root, child;
    int rootX, rootY, windowX = -1, windowY = -1;
    unsigned int mask;
    XQueryPointer(display, std::stoul(window), &root, &child, &rootX, &rootY, &windowX, &windowY, &mask);
    XCloseDisplay(display);
    return windowX == x && windowY == y;
}

void ProgramUnderTest::moveTo(const std::string& window, int x, int y) {
    // xdotool's --sync waits for a movement, which never comes when the pointer is there already.
    if (pointerAt(window, x, y)) return;
    run("xdotool mousemove --sync --window " + window + " " + std::to_string(x) + " " + std::to_string(y));
}

void ProgramUnderTest::click(const std::string& window, int x, int y, int button) {
    moveTo(window, x, y);
    run("xdotool click " + std::to_string(button));
}

void ProgramUnderTest::drag(const std::string& window, int x, int y, int toX, int toY) {
    moveTo(window, x, y);
    // The toolkit passes a move on only after the events read with it: were the
    // release among them, the move would come after it, as no drag at all.
    run("xdotool mousedown 1");
    moveTo(window, toX, toY);
    waitForIdle();
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
    type(chooser, rest);
    pressKeys("Return");
    return true;
}

bool ProgramUnderTest::openFile(const std::string& window, const std::string& restOfPath) {
    int loadsBefore = count("totreadcount=");
    key(window, "ctrl+o");
    if (!answerChooser("Select a file to load", restOfPath)) return false;
    return waitUntil([&] { return count("totreadcount=") > loadsBefore && drawnAfterLoad(); }, 60);
}

// The curves of the file loaded last have been drawn.
bool ProgramUnderTest::drawnAfterLoad() const {
    std::string trace = output();
    return trace.find("freqWidth=", trace.rfind("totreadcount=")) != std::string::npos;
}

void ProgramUnderTest::screenshot(const std::string& path) { run("import -window root '" + path + "'"); }

bool ProgramUnderTest::waitForPixel(const std::string& png, int x, int y, const std::string& rgb, int seconds) {
    return waitUntil(
        [&] {
            screenshot(png);
            return pixelAt(png, x, y) == rgb;
        },
        seconds);
}

void ProgramUnderTest::writePreferences(const std::string& content) {
    mkdir((homeDir + "/.fltk/kelv").c_str(), 0755);
    std::ofstream prefs(homeDir + "/.fltk/kelv/Cantorel.prefs");
    prefs << content;
}

// The toolkit folds entries longer than 80 characters onto lines that start
// with "+"; they are joined back, so a long folder name reads as one entry.
std::string ProgramUnderTest::readPreferences() const {
    std::ifstream in(homeDir + "/.fltk/kelv/Cantorel.prefs");
    std::string text, line;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] == '+' && !text.empty()) {
            text.pop_back();
            line.erase(0, 1);
        }
        text += line + "\n";
    }
    return text;
}
