#ifndef WAVEPANEL_H
#define WAVEPANEL_H

#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Pixmap.H>
#include <FL/Fl_Scrollbar.H>

#include <functional>

#include "WaveHandler.h"

class WavePanel;

// The drawing and mouse surface of the wave view.
class WaveCanvas : public Fl_Group {
public:
    int event_x;
    int event_y;
    int mouseDragStartX;
    int mouseDragStartY;
    bool isShiftDown;
    int whichbutton;
    WavePanel* wavePanel;
    WaveSegment* selectedSegment;
    Fl_Window* win;
    int currentCursor;

    WaveCanvas(int a, int b, int c, int d);
    virtual ~WaveCanvas();
    void draw() override;
    int handle(int e) override;

    Fl_Double_Window* make_window();
    void init_window();
    void Panel(WavePanel* panel);
    void repaint();

    void mousePressed();
    void mouseDragged();
    void mouseReleased();
    void mouseEntered();
    void mouseExited();
    void mouseMoved();
    void mouseClicked();
    void mouseDoubleClicked();
    void useCursor(int id);
    void setCursor(int id);
    void adjustCursor(int x, int y, bool isShiftDown);

    // The picked note when its drag began, for the undo history.
    NotePlacement placementBeforeDrag{0, false};

    // Forgets the picked and the pointed-at segment before the analysis that owns them goes away.
    void forgetSegment();
    // The scroll position handed to render: the scrollbar's value as a whole sample.
    int scrollPosition();
    // The sample under a window column.
    long long sampleUnder(int pointerX);

private:
    // Where the button went down on empty space: a drag selects from here.
    int selectionAnchor = 0;
    // The note under the pointer, whose read-out the ruler shows.
    WaveSegment* pointedSegment = nullptr;
    void pointAt(WaveSegment* segment);
    void mouseWheeled();
    void recordDrag();
    void drawLoadProgress(double share);
};

// The wave area of the main window: canvas, scrollbars and the resize grip.
// It shows the document and follows what the document tells it.
class WavePanel : public Fl_Group, public DocumentListener {
public:
    WaveSegment* selectedSegment;
    int baseMidi;
    Fl_Group* win;
    // Owned: created with the panel and released with it, so no timer of the document outlives
    // the view it reports to.
    WaveHandler* wave;
    WaveCanvas* waveCanvas;
    Fl_Group* panel;
    Fl_Group* wavepanelvstretch;
    Fl_Group* wavecanvascontainer;
    WaveCanvas* wavecanvasobject;
    Fl_Scrollbar* verticalScrollBar;
    Fl_Group* wavepanelhstretch;
    Fl_Scrollbar* horizontalScrollBar;
    Fl_Group* wavepanelfixed;

    WavePanel(int a, int b, int c, int d);
    virtual ~WavePanel();
    Fl_Group* make_window();
    void init_window();
    void adjustScrollbar();
    void repaint();
    void resize(int x, int y, int w, int h) override;
    void draw() override;

    // Scrolls the pitch axis so `midi` is the note on the canvas's bottom edge,
    // as far as the whole MIDI range allows.
    void scrollPitchTo(int midi);
    // Scrolls the pitch axis just enough that the row of `midi` shows whole.
    void keepNoteInView(int midi);
    // Scrolls in time by whole pixels, as far as the file allows.
    void scrollTimeBy(long long columns);
    // Scrolls as far towards `sample` as leaves the view full, the way the scrollbar would.
    void scrollTimeTo(long long sample);
    // Zooms in (steps < 0) or out by halves, keeping the sample under `column` of the wave area there.
    void zoomAround(int column, int steps);

    void frameCountChanged() override;
    void segmentsReleased() override;
    void analysisProgressStarted() override;
    void analysisProgressed() override;
    void analysisProgressEnded() override;
    void playHeadMoved(int head) override;
    void documentStateChanged() override;

    // Set by the window that holds the panel: shows the document's name and state around it.
    std::function<void()> showDocumentState;

private:
    // A load replaced the notes: bring them into view once they are drawn.
    bool newNotesToShow = false;
    void bringNotesIntoView();
    // Samples the wave area spans at the current zoom.
    long long samplesShown();
    void fitPitchScrollbar();

    static void cb_horizontalScrollBar(Fl_Scrollbar* o, void* v);
    void cb_horizontalScrollBar_i(Fl_Scrollbar* o, void* v);
    static void cb_verticalScrollBar(Fl_Scrollbar* o, void* v);
    void cb_verticalScrollBar_i(Fl_Scrollbar* o, void* v);
};

extern Fl_Pixmap image_resizethumb;

#endif
