// Cantorel: pitch correction for monophonic recordings.

#include <FL/Fl.H>
#include <FL/filename.H>
#include <FL/x.H>

#include <cstring>
#include <iostream>

#include "MainWindow.h"
#include "SafeSave.h"

static UserInterface* mainInterface = nullptr;
static Fl_Window* mainWindow = nullptr;

static bool isInput(int event) {
    switch (event) {
        case FL_PUSH: case FL_RELEASE: case FL_DRAG: case FL_KEYBOARD: case FL_KEYUP: case FL_SHORTCUT:
        case FL_MOUSEWHEEL: case FL_CLOSE: case FL_PASTE: case FL_DND_ENTER: case FL_DND_DRAG: case FL_DND_RELEASE:
            return true;
        default:
            return false;
    }
}

static bool closeAfterLoad = false;

// While a file loads, Escape and the close button cancel it; other input is
// refused so no command runs halfway, and pointer motion too, so no widget
// takes the wait pointer away.
static int dispatchWhileBusy(int event, Fl_Window* window) {
    bool escape = event == FL_KEYBOARD && Fl::event_key() == FL_Escape;
    bool close = event == FL_CLOSE && window == mainWindow;
    if (escape || close) mainInterface->wavePanel->wave->cancelLoad();
    closeAfterLoad = closeAfterLoad || close;
    bool pointerMotion = event == FL_MOVE || event == FL_ENTER || event == FL_LEAVE;
    return isInput(event) || pointerMotion ? 1 : Fl::handle_(event, window);
}

// The canvas uses every key it gets, so menu shortcuts are offered first here.
static int dispatchEvent(int event, Fl_Window* window) {
    if (mainInterface->busy()) return dispatchWhileBusy(event, window);
    if (event == FL_KEYBOARD && window == mainWindow &&
        (mainInterface->handleShortcutKey() || mainInterface->handleEditorKey()))
        return 1;
    return Fl::handle_(event, window);
}

// Trace lines are buffered; hand them on whenever the program waits for input.
// A close asked for during a load happens once the load has given up.
static void whenIdle(void*) {
    std::cout.flush();
    if (!closeAfterLoad || mainInterface->busy()) return;
    closeAfterLoad = false;
    mainInterface->closeMainWindow();
}

static void setWindowManagerHints(Fl_Window* window) {
    XWMHints* hints = XGetWMHints(fl_display, fl_xid(window));
    if (!hints) return;
    hints->flags = IconPixmapHint | IconMaskHint;
    XSetWMHints(fl_display, fl_xid(window), hints);
    XFree(hints);
}

static const char* const USAGE = "Usage: cantorel [--help | --version | FILE]\n";

static void printHelp() {
    std::cout << USAGE
              << "Corrects the pitch of a monophonic recording such as a sung line.\n"
                 "FILE, any audio file libsndfile reads, is opened at start.\n\n"
                 "  --help     show this help and exit\n"
                 "  --version  show the version and exit\n";
}

static int refuseArguments(const char* problem, const char* argument) {
    std::cerr << "cantorel: " << problem << " '" << argument << "'\n" << USAGE;
    return 2;
}

// The file to open at start, or null; `exitStatus` is set when the program
// should end without showing its window.
static const char* parseArguments(int argc, char** argv, int& exitStatus) {
    exitStatus = -1;
    const char* file = nullptr;
    for (int i = 1; i < argc && exitStatus < 0; i++) {
        if (strcmp(argv[i], "--help") == 0) {
            printHelp();
            exitStatus = 0;
        } else if (strcmp(argv[i], "--version") == 0) {
            std::cout << "cantorel " << CANTOREL_VERSION << "\n";
            exitStatus = 0;
        } else if (argv[i][0] == '-') {
            exitStatus = refuseArguments("unknown option", argv[i]);
        } else if (file) {
            exitStatus = refuseArguments("unexpected second file", argv[i]);
        } else {
            file = argv[i];
        }
    }
    return file;
}

// The folder remembered for the file must make sense from any working directory.
static void openAtStart(UserInterface& ui, const char* file) {
    char absolute[FL_PATH_MAX];
    fl_filename_absolute(absolute, sizeof absolute, file);
    ui.openFile(absolute);
}

int main(int argc, char** argv) {
    int exitStatus;
    const char* file = parseArguments(argc, argv, exitStatus);
    if (exitStatus >= 0) return exitStatus;
    reportInterruptedSaves();
    fl_open_display();
    UserInterface ui;
    Fl_Double_Window* window = ui.make_window();
    mainInterface = &ui;
    mainWindow = window;
    window->end();
    window->show();
    setWindowManagerHints(window);
    Fl::event_dispatch(dispatchEvent);
    Fl::add_check(whenIdle);
    if (file) openAtStart(ui, file);
    int result = Fl::run();
    // Exit asked the toolkit to delete the main window; do it before saying goodbye.
    Fl::do_widget_deletion();
    std::cout << "Thank you for using cantorel." << std::endl;
    return result;
}
