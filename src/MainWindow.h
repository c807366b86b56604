#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Menu_Bar.H>
#include <FL/Fl_Pixmap.H>
#include <FL/Fl_Slider.H>

#include "WavePanel.h"

// The main window: menu bar, toolbar and the wave panel.
class UserInterface {
public:
    Fl_Double_Window* make_window();

    WavePanel* wavePanel;
    Fl_Group* uigroup;
    static Fl_Menu_Item menu_[];
    Fl_Group* buttonbar;
    Fl_Group* fixedsizebuttonbargroup;
    Fl_Button* button_fileopen;
    Fl_Button* button_filesave;
    Fl_Slider* slider_volume;
    Fl_Button* button_play;
    Fl_Button* button_playselection;
    Fl_Button* button_playto;
    Fl_Button* button_playfrom;
    Fl_Button* button_stop;
    Fl_Button* button_zoom_fit;
    Fl_Button* button_zoom_1;
    Fl_Button* button_zoom_in;
    Fl_Button* button_zoom_out;
    Fl_Choice* choice_scale;
    static Fl_Menu_Item menu_choice_scale[];
    Fl_Button* button_fixnotes;
    Fl_Choice* choice_splinetype;
    static Fl_Menu_Item menu_choice_splinetype[];
    Fl_Group* xstretchbuttonbargroup;
    Fl_Group* WavePanelContainer;

    // The window's title while no recording is open.
    static const char* const TITLE;

    // The scale name handed to the analysis for an item of the scale choice
    // (1..13); null for "No correction" and anything out of range.
    static const char* scaleNameForItem(int item);
    // The item of the scale choice that names a scale as the analysis takes it; 0 for none.
    static int itemForScaleName(const string& name);
    // Offers menu shortcuts and undo/redo keys before any widget sees the key,
    // so they work even while the canvas (which eats every key) has focus.
    bool handleShortcutKey();
    // Space, Home and End, wherever the keyboard focus is.
    bool handleEditorKey();
    // Opens a named file as Open does once a name is chosen.
    void openFile(const char* path);
    void setWindowIcon(Fl_Double_Window* window);
    // True while a file is being read and analysed.
    bool busy() { return wavePanel->wave->loading(); }
    // The window's close button: ask about unsaved work, then close.
    void closeMainWindow();
    // The title names the recording and marks unsaved work; the scale choice shows the scale that applies.
    void showDocumentState();

private:
    static UserInterface* of(Fl_Widget* o);
    WaveHandler* wave();
    // Columns of the canvas that show the recording, right of the note names.
    int waveAreaWidth();

    static void cb_Open(Fl_Menu_*, void*);
    void cb_Open_i(Fl_Menu_*, void*);
    static void cb_Save(Fl_Menu_*, void*);
    void cb_Save_i(Fl_Menu_*, void*);
    static void cb_Save1(Fl_Menu_*, void*);
    void cb_Save1_i(Fl_Menu_*, void*);
    static void cb_E(Fl_Menu_*, void*);
    void cb_E_i(Fl_Menu_*, void*);
    static void cb_About(Fl_Menu_*, void*);
    void cb_About_i(Fl_Menu_*, void*);
    static void cb_window(Fl_Double_Window*, void*);
    void cb_window_i(Fl_Double_Window*, void*);
    static void cb_button_fileopen(Fl_Button*, void*);
    void cb_button_fileopen_i(Fl_Button*, void*);
    static void cb_button_filesave(Fl_Button*, void*);
    void cb_button_filesave_i(Fl_Button*, void*);
    static void cb_slider_volume(Fl_Slider*, void*);
    void cb_slider_volume_i(Fl_Slider*, void*);
    static void cb_button_play(Fl_Button*, void*);
    void cb_button_play_i(Fl_Button*, void*);
    static void cb_button_playselection(Fl_Button*, void*);
    void cb_button_playselection_i(Fl_Button*, void*);
    static void cb_button_playto(Fl_Button*, void*);
    void cb_button_playto_i(Fl_Button*, void*);
    static void cb_button_playfrom(Fl_Button*, void*);
    void cb_button_playfrom_i(Fl_Button*, void*);
    static void cb_button_stop(Fl_Button*, void*);
    void cb_button_stop_i(Fl_Button*, void*);
    static void cb_button_zoom_fit(Fl_Button*, void*);
    void cb_button_zoom_fit_i(Fl_Button*, void*);
    static void cb_button_zoom_1(Fl_Button*, void*);
    void cb_button_zoom_1_i(Fl_Button*, void*);
    static void cb_button_zoom_in(Fl_Button*, void*);
    void cb_button_zoom_in_i(Fl_Button*, void*);
    static void cb_button_zoom_out(Fl_Button*, void*);
    void cb_button_zoom_out_i(Fl_Button*, void*);
    static void cb_choice_scale(Fl_Choice*, void*);
    void cb_choice_scale_i(Fl_Choice*, void*);
    static void cb_button_fixnotes(Fl_Button*, void*);
    void cb_button_fixnotes_i(Fl_Button*, void*);
    static void cb_choice_splinetype(Fl_Choice*, void*);
    void cb_choice_splinetype_i(Fl_Choice*, void*);

    void rescaleView();
    void playOrStop();
    void stopOrDeselect();
};

extern Fl_Pixmap image_open;
extern Fl_Pixmap image_save;
extern Fl_Pixmap image_play;
extern Fl_Pixmap image_play_selection;
extern Fl_Pixmap image_play_to;
extern Fl_Pixmap image_play_from;
extern Fl_Pixmap image_stock_media;
extern Fl_Pixmap image_zoom_fit;
extern Fl_Pixmap image_zoom_1;
extern Fl_Pixmap image_zoom_in;
extern Fl_Pixmap image_zoom_out;
extern Fl_Pixmap image_stock_glue;

#endif
