// Cantorel: pitch correction for monophonic recordings.

#include <FL/Fl.H>
#include <FL/x.H>

#include <iostream>

#include "MainWindow.h"

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

// The canvas uses every key it gets, so menu shortcuts are offered first here;
// while a file is being analysed, input is refused so no command runs halfway.
static int dispatchEvent(int event, Fl_Window* window) {
    if (mainInterface->busy() && isInput(event)) return 1;
    if (event == FL_KEYBOARD && window == mainWindow && mainInterface->handleShortcutKey()) return 1;
    return Fl::handle_(event, window);
}

// Trace lines are buffered; hand them on whenever the program waits for input.
static void flushTrace(void*) { std::cout.flush(); }

static void setWindowManagerHints(Fl_Window* window) {
    XWMHints* hints = XGetWMHints(fl_display, fl_xid(window));
    if (!hints) return;
    hints->flags = IconPixmapHint | IconMaskHint;
    XSetWMHints(fl_display, fl_xid(window), hints);
    XFree(hints);
}

int main() {
    fl_open_display();
    UserInterface ui;
    Fl_Double_Window* window = ui.make_window();
    mainInterface = &ui;
    mainWindow = window;
    window->end();
    window->show();
    setWindowManagerHints(window);
    Fl::event_dispatch(dispatchEvent);
    Fl::add_check(flushTrace);
    int result = Fl::run();
    // Exit asked the toolkit to delete the main window; do it before saying goodbye.
    Fl::do_widget_deletion();
    std::cout << "Thank you for using cantorel." << std::endl;
    return result;
}
