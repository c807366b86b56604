#include "MainWindow.h"

#include <FL/Fl_RGB_Image.H>
#include <FL/fl_ask.H>
#include <FL/filename.H>

#include <cctype>
#include <cmath>
#include <cstring>

#include "MainWindowImages.h"
#include "ScaleNames.h"
#include "ViewGeometry.h"

Fl_Pixmap image_open(idata_open);
Fl_Pixmap image_save(idata_save);
Fl_Pixmap image_play(idata_play);
Fl_Pixmap image_play_selection(idata_play_selection);
Fl_Pixmap image_play_to(idata_play_to);
Fl_Pixmap image_play_from(idata_play_from);
Fl_Pixmap image_stock_media(idata_stock_media);
Fl_Pixmap image_zoom_fit(idata_zoom_fit);
Fl_Pixmap image_zoom_1(idata_zoom_1);
Fl_Pixmap image_zoom_in(idata_zoom_in);
Fl_Pixmap image_zoom_out(idata_zoom_out);
Fl_Pixmap image_stock_glue(idata_stock_glue);
static Fl_Pixmap image_cantorel_icon(idata_cantorel_icon);

const char* const UserInterface::TITLE = "Cantorel Pitch Correction";

const char* UserInterface::scaleNameForItem(int item) {
    if (item < 1 || item > SCALE_COUNT) return nullptr;
    return SCALE_NAMES[item - 1].key;
}

int UserInterface::itemForScaleName(const string& name) {
    for (int item = 1; item <= SCALE_COUNT; item++)
        if (name == scaleNameForItem(item)) return item;
    return 0;
}

UserInterface* UserInterface::of(Fl_Widget* o) { return (UserInterface*)(o->window() ? o->window() : o)->user_data(); }

WaveHandler* UserInterface::wave() { return wavePanel->wave; }

int UserInterface::waveAreaWidth() { return wavePanel->waveCanvas->w() - ViewGeometry::LABEL_MARGIN; }

void UserInterface::rescaleView() {
    wavePanel->adjustScrollbar();
    wavePanel->waveCanvas->repaint();
}

// ------------------------------------------------------------------ commands

void UserInterface::cb_Open_i(Fl_Menu_*, void*) {
    wave()->fileOpen();
    wavePanel->redraw();
}
void UserInterface::cb_Open(Fl_Menu_* o, void* v) { of(o)->cb_Open_i(o, v); }

void UserInterface::cb_Save_i(Fl_Menu_*, void*) { wave()->fileSave(); }
void UserInterface::cb_Save(Fl_Menu_* o, void* v) { of(o)->cb_Save_i(o, v); }

void UserInterface::cb_Save1_i(Fl_Menu_*, void*) { wave()->fileSaveAs(); }
void UserInterface::cb_Save1(Fl_Menu_* o, void* v) { of(o)->cb_Save1_i(o, v); }

void UserInterface::cb_E_i(Fl_Menu_*, void*) {
    if (wave()->cancelledAutoSave()) return;
    Fl::delete_widget(Fl::first_window());
}
void UserInterface::cb_E(Fl_Menu_* o, void* v) { of(o)->cb_E_i(o, v); }

void UserInterface::cb_About_i(Fl_Menu_*, void*) {
    fl_message_title("About Cantorel");
    fl_message("Cantorel %s\n\nPitch correction for monophonic recordings such as a sung line:\n"
               "it finds the pitch of every period, shows the notes over a piano roll,\n"
               "snaps them to a scale and saves the corrected audio.\n\n"
               "Released under the MIT License.",
               CANTOREL_VERSION);
}
void UserInterface::cb_About(Fl_Menu_* o, void* v) { of(o)->cb_About_i(o, v); }

void UserInterface::closeMainWindow() {
    if (wave()->cancelledAutoSave()) return;
    wavePanel->window()->hide();
}

// "melody.wav * - Cantorel" while there is unsaved work.
void UserInterface::showDocumentState() {
    choice_scale->value(itemForScaleName(wave()->scaleApplied()));
    const string& path = wave()->recordingPath();
    string title = TITLE;
    if (!path.empty())
        title = string(fl_filename_name(path.c_str())) + (wave()->hasUnsavedChanges() ? " *" : "") + " - Cantorel";
    if (title != wavePanel->window()->label()) wavePanel->window()->copy_label(title.c_str());
}

// Closing through the window manager asks about unsaved work like Exit does.
// The toolkit closes a window on Escape too; this one stays (see stopOrDeselect).
void UserInterface::cb_window_i(Fl_Double_Window*, void*) {
    if (Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape) return;
    closeMainWindow();
}
void UserInterface::cb_window(Fl_Double_Window* o, void* v) { ((UserInterface*)o->user_data())->cb_window_i(o, v); }

void UserInterface::cb_button_fileopen_i(Fl_Button*, void*) {
    wave()->fileOpen();
    wavePanel->redraw();
}
void UserInterface::cb_button_fileopen(Fl_Button* o, void* v) { of(o)->cb_button_fileopen_i(o, v); }

void UserInterface::cb_button_filesave_i(Fl_Button*, void*) { wave()->fileSave(); }
void UserInterface::cb_button_filesave(Fl_Button* o, void* v) { of(o)->cb_button_filesave_i(o, v); }

void UserInterface::cb_slider_volume_i(Fl_Slider* o, void*) {
    wave()->setVolume(static_cast<float>(o->value()));
    o->redraw();
}
void UserInterface::cb_slider_volume(Fl_Slider* o, void* v) { of(o)->cb_slider_volume_i(o, v); }

void UserInterface::cb_button_play_i(Fl_Button*, void*) { wave()->playWave(-1, -1); }
void UserInterface::cb_button_play(Fl_Button* o, void* v) { of(o)->cb_button_play_i(o, v); }

void UserInterface::cb_button_playselection_i(Fl_Button*, void*) {
    wave()->playSelection();
}
void UserInterface::cb_button_playselection(Fl_Button* o, void* v) { of(o)->cb_button_playselection_i(o, v); }

void UserInterface::cb_button_playto_i(Fl_Button*, void*) { wave()->playWave(-1, wave()->selectionEndOrMark()); }
void UserInterface::cb_button_playto(Fl_Button* o, void* v) { of(o)->cb_button_playto_i(o, v); }

void UserInterface::cb_button_playfrom_i(Fl_Button*, void*) { wave()->playWave(wave()->selectionStart, -1); }
void UserInterface::cb_button_playfrom(Fl_Button* o, void* v) { of(o)->cb_button_playfrom_i(o, v); }

void UserInterface::cb_button_stop_i(Fl_Button*, void*) { wave()->stopPlayingWave = true; }
void UserInterface::cb_button_stop(Fl_Button* o, void* v) { of(o)->cb_button_stop_i(o, v); }

void UserInterface::cb_button_zoom_fit_i(Fl_Button*, void*) {
    double scroll = wave()->zoomToSelection(waveAreaWidth());
    if (scroll < 0) return;
    wavePanel->adjustScrollbar();
    wavePanel->scrollTimeTo(static_cast<long long>(scroll));
}
void UserInterface::cb_button_zoom_fit(Fl_Button* o, void* v) { of(o)->cb_button_zoom_fit_i(o, v); }

void UserInterface::cb_button_zoom_1_i(Fl_Button*, void*) {
    wave()->zoomToFit(waveAreaWidth());
    wavePanel->adjustScrollbar();
    wavePanel->scrollTimeTo(0);
}
void UserInterface::cb_button_zoom_1(Fl_Button* o, void* v) { of(o)->cb_button_zoom_1_i(o, v); }

void UserInterface::cb_button_zoom_in_i(Fl_Button*, void*) {
    wave()->setZoom(0.5 * wave()->zoom);
    rescaleView();
}
void UserInterface::cb_button_zoom_in(Fl_Button* o, void* v) { of(o)->cb_button_zoom_in_i(o, v); }

void UserInterface::cb_button_zoom_out_i(Fl_Button*, void*) {
    wave()->setZoom(wave()->zoom + wave()->zoom);
    rescaleView();
}
void UserInterface::cb_button_zoom_out(Fl_Button* o, void* v) { of(o)->cb_button_zoom_out_i(o, v); }

void UserInterface::cb_choice_scale_i(Fl_Choice* o, void*) {
    wave()->chooseScale(scaleNameForItem(o->value()));
    wavePanel->redraw();
}
void UserInterface::cb_choice_scale(Fl_Choice* o, void* v) { of(o)->cb_choice_scale_i(o, v); }

void UserInterface::cb_button_fixnotes_i(Fl_Button*, void*) {
    wave()->fixNotes();
    wavePanel->redraw();
}
void UserInterface::cb_button_fixnotes(Fl_Button* o, void* v) { of(o)->cb_button_fixnotes_i(o, v); }

void UserInterface::cb_choice_splinetype_i(Fl_Choice* o, void*) {
    wave()->chooseInterpolation(o->value());
    wavePanel->redraw();
}
void UserInterface::cb_choice_splinetype(Fl_Choice* o, void* v) { of(o)->cb_choice_splinetype_i(o, v); }

// --------------------------------------------------------------- menu tables

Fl_Menu_Item UserInterface::menu_[] = {
    {"&File", 0, 0, 0, FL_SUBMENU, FL_NORMAL_LABEL, 0, 12, 0},
    {"&Open...", FL_CTRL + 'o', (Fl_Callback*)UserInterface::cb_Open, 0, FL_MENU_DIVIDER, FL_NORMAL_LABEL, 0, 12, 0},
    {"&Save...", FL_CTRL + 's', (Fl_Callback*)UserInterface::cb_Save, 0, 0, FL_NORMAL_LABEL, 0, 12, 0},
    {"Save &As...", FL_CTRL + FL_SHIFT + 's', (Fl_Callback*)UserInterface::cb_Save1, 0, FL_MENU_DIVIDER,
     FL_NORMAL_LABEL, 0, 12, 0},
    {"E&xit", FL_CTRL + 'q', (Fl_Callback*)UserInterface::cb_E, 0, 0, FL_NORMAL_LABEL, 0, 12, 0},
    {0, 0, 0, 0, 0, 0, 0, 0, 0},
    {"&Help", 0, 0, 0, FL_SUBMENU, FL_NORMAL_LABEL, 0, 12, 0},
    {"&About...", 0, (Fl_Callback*)UserInterface::cb_About, 0, 0, FL_NORMAL_LABEL, 0, 12, 0},
    {0, 0, 0, 0, 0, 0, 0, 0, 0},
    {0, 0, 0, 0, 0, 0, 0, 0, 0}};

static constexpr Fl_Menu_Item scaleItem(int scale) {
    return {SCALE_NAMES[scale].label, 0, 0, 0, 0, FL_NORMAL_LABEL, 0, 12, 0};
}

// One item per entry of the shared scale table, after "No correction".
static_assert(SCALE_COUNT == 13, "the scale choice lists every scale");
Fl_Menu_Item UserInterface::menu_choice_scale[] = {
    {"No correction", 0, 0, 0, 0, FL_NORMAL_LABEL, 0, 12, 0},
    scaleItem(0), scaleItem(1), scaleItem(2), scaleItem(3), scaleItem(4), scaleItem(5), scaleItem(6),
    scaleItem(7), scaleItem(8), scaleItem(9), scaleItem(10), scaleItem(11), scaleItem(12),
    {0, 0, 0, 0, 0, 0, 0, 0, 0}};

Fl_Menu_Item UserInterface::menu_choice_splinetype[] = {
    {"Cubic Spline", 0, 0, 0, 0, FL_NORMAL_LABEL, 0, 12, 0},
    {"Catmull-Clark Spline", 0, 0, 0, 0, FL_NORMAL_LABEL, 0, 12, 0},
    {"PSOLA", 0, 0, 0, 0, FL_NORMAL_LABEL, 0, 12, 0},
    {0, 0, 0, 0, 0, 0, 0, 0, 0}};

// ------------------------------------------------------------------ building

static Fl_Button* makeToolButton(int x, const char* tip, Fl_Pixmap& image, Fl_Callback* cb) {
    Fl_Button* o = new Fl_Button(x, 21, 30, 27);
    o->tooltip(tip);
    o->box(FL_NO_BOX);
    o->color((Fl_Color)53);
    o->selection_color((Fl_Color)53);
    o->image(image);
    o->callback(cb);
    return o;
}

static Fl_Choice* makeChoice(int x, int w, const char* tip, Fl_Menu_Item* items, Fl_Callback* cb) {
    Fl_Choice* o = new Fl_Choice(x, 25, w, 20);
    o->tooltip(tip);
    o->down_box(FL_BORDER_BOX);
    o->selection_color((Fl_Color)7);
    o->labelsize(12);
    o->textsize(12);
    o->menu(items);
    if (cb) o->callback(cb);
    return o;
}

// Room right of the last control at the narrowest window.
static const int TOOLBAR_MARGIN = 5;
// The menu bar, the toolbar and a canvas that still shows nine rows of notes below its ruler.
static const int MIN_HEIGHT = 200;

static Fl_Group* makeGroup(int x, int y, int w, int h) {
    Fl_Group* o = new Fl_Group(x, y, w, h);
    o->color((Fl_Color)53);
    o->selection_color((Fl_Color)53);
    return o;
}

Fl_Double_Window* UserInterface::make_window() {
    Fl_Double_Window* w = new Fl_Double_Window(770, 500, TITLE);
    w->user_data((void*)(this));
    w->callback((Fl_Callback*)cb_window);
    uigroup = makeGroup(0, 0, 5000, 500);
    {
        Fl_Menu_Bar* o = new Fl_Menu_Bar(0, 0, 5000, 20);
        o->color((Fl_Color)53);
        o->labelsize(12);
        o->menu(menu_);
    }
    buttonbar = makeGroup(0, 20, 5000, 30);
    buttonbar->box(FL_UP_BOX);
    fixedsizebuttonbargroup = makeGroup(0, 20, 775, 30);
    button_fileopen = makeToolButton(0, "Load a file from disk", image_open, (Fl_Callback*)cb_button_fileopen);
    button_filesave = makeToolButton(30, "Save a file to disk", image_save, (Fl_Callback*)cb_button_filesave);
    {
        Fl_Slider* o = slider_volume = new Fl_Slider(75, 24, 100, 21);
        o->tooltip("Adjust the playback volume");
        o->type(FL_HOR_NICE_SLIDER);
        o->box(FL_NO_BOX);
        o->color((Fl_Color)53);
        o->selection_color((Fl_Color)53);
        o->range(0, 10);
        o->value(5);
        o->callback((Fl_Callback*)cb_slider_volume);
    }
    button_play = makeToolButton(195, "Play the wave", image_play, (Fl_Callback*)cb_button_play);
    button_playselection = makeToolButton(225, "Play the selected portion of the wave", image_play_selection,
                                          (Fl_Callback*)cb_button_playselection);
    button_playto = makeToolButton(255, "Play the wave from the start to the current position", image_play_to,
                                   (Fl_Callback*)cb_button_playto);
    button_playfrom = makeToolButton(285, "Play the wave from current position to the end", image_play_from,
                                     (Fl_Callback*)cb_button_playfrom);
    button_stop = makeToolButton(315, "Stop playing the wave", image_stock_media, (Fl_Callback*)cb_button_stop);
    button_zoom_fit = makeToolButton(355, "Zoom in on selection", image_zoom_fit, (Fl_Callback*)cb_button_zoom_fit);
    button_zoom_1 = makeToolButton(385, "Normal view", image_zoom_1, (Fl_Callback*)cb_button_zoom_1);
    button_zoom_in = makeToolButton(415, "Zoom in", image_zoom_in, (Fl_Callback*)cb_button_zoom_in);
    button_zoom_out = makeToolButton(445, "Zoom out", image_zoom_out, (Fl_Callback*)cb_button_zoom_out);
    // Each choice is as wide as its longest item needs: "No correction", "Catmull-Clark Spline".
    choice_scale = makeChoice(480, 105, "Select a scale", menu_choice_scale, (Fl_Callback*)cb_choice_scale);
    // Picking the scale already shown applies it again.
    choice_scale->when(FL_WHEN_RELEASE_ALWAYS);
    button_fixnotes = makeToolButton(585, "Fix notes", image_stock_glue, (Fl_Callback*)cb_button_fixnotes);
    choice_splinetype = makeChoice(620, 145, "Select an interpolation method", menu_choice_splinetype,
                                   (Fl_Callback*)cb_choice_splinetype);
    fixedsizebuttonbargroup->end();
    xstretchbuttonbargroup = makeGroup(775, 20, 10, 30);
    xstretchbuttonbargroup->end();
    buttonbar->resizable(xstretchbuttonbargroup);
    buttonbar->end();
    WavePanelContainer = makeGroup(0, 50, 770, 450);
    {
        WavePanel* o = wavePanel = new WavePanel(0, 50, 770, 450);
        o->box(FL_NO_BOX);
        o->color((Fl_Color)53);
        o->selection_color((Fl_Color)53);
        Fl_Group::current()->resizable(o);
    }
    WavePanelContainer->end();
    wavePanel->showDocumentState = [this] { showDocumentState(); };
    // The choice shows the kind the builder really starts with, so picking any item changes something.
    choice_splinetype->value(wave()->interpolationItem());
    uigroup->resizable(WavePanelContainer);
    uigroup->end();
    // The toolbar does not wrap: no narrower window may cut a control off.
    w->size_range(choice_splinetype->x() + choice_splinetype->w() + TOOLBAR_MARGIN, MIN_HEIGHT, 2048, 2048);
    w->end();
    w->resizable(w);
    setWindowIcon(w);
    return w;
}

void UserInterface::setWindowIcon(Fl_Double_Window* window) {
    Fl_RGB_Image icon(&image_cantorel_icon, FL_BACKGROUND_COLOR);
    window->icon(&icon);
}

// The menu whose title underlines `key` ("&File" for f), or null.
static const Fl_Menu_Item* menuTitleFor(int key, const Fl_Menu_Item* menu) {
    for (const Fl_Menu_Item* m = menu; m && m->text; m = m->next()) {
        const char* underlined = strchr(m->text, '&');
        if (m->submenu() && underlined && tolower((unsigned char)underlined[1]) == key) return m;
    }
    return nullptr;
}

bool UserInterface::handleShortcutKey() {
    // The canvas keeps every key it gets, so Escape would never reach the window;
    // an open menu keeps its own Escape.
    if (Fl::event_key() == FL_Escape && !Fl::grab() && !Fl::event_state(FL_SHIFT | FL_CTRL | FL_ALT)) {
        stopOrDeselect();
        return true;
    }
    Fl_Menu_Bar* menuBar = static_cast<Fl_Menu_Bar*>(uigroup->child(0));
    const Fl_Menu_Item* item = menuBar->menu()->test_shortcut();
    if (item) {
        menuBar->picked(item);
        return true;
    }
    const Fl_Menu_Item* title = (Fl::event_state() & FL_ALT) ? menuTitleFor(Fl::event_key(), menuBar->menu()) : nullptr;
    if (title) {
        menuBar->picked(menuBar->menu()->pulldown(menuBar->x(), menuBar->y(), menuBar->w(), menuBar->h(), title,
                                                  menuBar, nullptr, 1));
        return true;
    }
    if (!(Fl::event_state() & FL_CTRL)) return false;
    int key = Fl::event_key();
    bool shift = (Fl::event_state() & FL_SHIFT) != 0;
    bool undoKey = key == 'z' && !shift;
    bool redoKey = (key == 'z' && shift) || key == 'y';
    if (!undoKey && !redoKey) return false;
    if (undoKey) wave()->undo();
    else wave()->redo();
    wavePanel->redraw();
    return true;
}

bool UserInterface::handleEditorKey() {
    int key = Fl::event_key();
    int modifiers = Fl::event_state() & (FL_CTRL | FL_ALT | FL_META | FL_SHIFT);
    if (modifiers == 0 && key == ' ') playOrStop();
    else if (modifiers == 0 && key == FL_Home) wavePanel->scrollTimeTo(0);
    else if (modifiers == 0 && key == FL_End) wavePanel->scrollTimeTo(wave()->frameCount());
    else return false;
    return true;
}

void UserInterface::playOrStop() {
    if (wave()->audioPlayer->playing()) cb_button_stop_i(nullptr, nullptr);
    else wave()->playWave(wave()->selectionStart, -1);
}

// Escape ends what is going on and never closes the window: quitting is Ctrl+Q.
// A running load is cancelled before this is reached (see the event dispatch).
void UserInterface::stopOrDeselect() {
    if (wave()->audioPlayer->playing()) {
        cb_button_stop_i(nullptr, nullptr);
        return;
    }
    wave()->clearSelection();
    wavePanel->redraw();
}

void UserInterface::openFile(const char* path) {
    wave()->openNamedFile(path);
    wavePanel->redraw();
}
