#include "WavePanel.h"

#include <FL/Fl.H>
#include <FL/filename.H>
#include <FL/fl_draw.H>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>

#include "ViewGeometry.h"
#include "WavePanelImages.h"

using namespace ViewGeometry;

Fl_Pixmap image_resizethumb(idata_resizethumb);

// ---------------------------------------------------------------- WaveCanvas

WaveCanvas::WaveCanvas(int a, int b, int c, int d)
    : Fl_Group(a, b, c, d),
      event_x(0),
      event_y(0),
      mouseDragStartX(0),
      mouseDragStartY(0),
      isShiftDown(false),
      whichbutton(0),
      wavePanel(nullptr),
      selectedSegment(nullptr),
      win(nullptr),
      currentCursor(0) {
    init_window();
    end();
}

WaveCanvas::~WaveCanvas() { delete win; }

Fl_Double_Window* WaveCanvas::make_window() {
    // The hidden window is top-level; building it must not disturb the group
    // that the panel is filling.
    Fl_Group* filling = Fl_Group::current();
    Fl_Double_Window* w = new Fl_Double_Window(395, 275, "wavecanvas");
    w->color((Fl_Color)53);
    w->selection_color((Fl_Color)53);
    w->labelsize(12);
    w->align(Fl_Align(17));
    w->user_data((void*)(this));
    w->end();
    Fl_Group::current(filling);
    return w;
}

void WaveCanvas::init_window() {
    win = make_window();
    if (parent()) win->resize(parent()->x(), parent()->y(), parent()->w(), parent()->h());
    currentCursor = 0;
    selectedSegment = nullptr;
}

void WaveCanvas::Panel(WavePanel* panel) { wavePanel = panel; }

void WaveCanvas::repaint() { redraw(); }

// A pointer past either end of the recording stands for that end.
long long WaveCanvas::sampleUnder(int pointerX) {
    long long sample = columnToSample(pointerX - x() - LABEL_MARGIN, wavePanel->wave->zoom) + scrollPosition();
    return std::clamp(sample, 0LL, static_cast<long long>(wavePanel->wave->frameCount()));
}

int WaveCanvas::scrollPosition() {
    if (!wavePanel) return 0;
    return static_cast<int>(wavePanel->horizontalScrollBar->value());
}

void WaveCanvas::draw() {
    if (!wavePanel) return;
    Fl_Group::draw();
    fl_color(0xEFEFFF00);
    fl_rectf(x(), y(), w(), h());
    fl_push_clip(x(), y(), w(), h());
    if (wavePanel->wave->loadProgress >= 0.0)
        drawLoadProgress(wavePanel->wave->loadProgress);
    else {
        wavePanel->wave->render(x(), y(), w(), h(), scrollPosition());
        if (pointedSegment) wavePanel->wave->render_readout(*pointedSegment, x(), y(), w());
        wavePanel->wave->render_playhead(x(), y(), w(), h(), scrollPosition());
    }
    fl_pop_clip();
}

// While a long file is analysed the canvas shows a bar instead of half-made curves.
static const int PROGRESS_BAR_WIDTH = 400;
static const int PROGRESS_BAR_SIDES = 40;

void WaveCanvas::drawLoadProgress(double share) {
    int barW = std::min(PROGRESS_BAR_WIDTH, w() - PROGRESS_BAR_SIDES), barH = 18;
    int barX = x() + (w() - barW) / 2, barY = y() + h() / 2 - barH / 2;
    fl_color(fl_rgb_color(0, 0, 127));
    fl_rect(barX, barY, barW, barH);
    fl_rectf(barX + 2, barY + 2, static_cast<int>((barW - 4) * std::clamp(share, 0.0, 1.0)), barH - 4);
    char text[64];
    snprintf(text, sizeof text, "Analysing... %d%%", static_cast<int>(share * 100));
    fl_color(FL_BLACK);
    fl_font(FL_HELVETICA, 12);
    fl_draw(text, barX, barY - 6);
}

// The first local file of a drop: file managers send a URI list
// ("file:///folder/my%20song.wav", one a line), some send plain paths.
static string droppedFilePath(const char* text, int length) {
    std::istringstream lines(string(text ? text : "", text ? length : 0));
    string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("file://", 0) == 0) {
            line.erase(0, line.find('/', strlen("file://")));
            fl_decode_uri(&line[0]);
            line.resize(strlen(line.c_str()));
        }
        if (!line.empty() && line[0] == '/') return line;
    }
    return "";
}

struct DroppedFile {
    WavePanel* panel;
    string path;
};

static void openDropped(void* data) {
    std::unique_ptr<DroppedFile> drop(static_cast<DroppedFile*>(data));
    drop->panel->wave->openNamedFile(drop->path);
    drop->panel->redraw();
}

// Opened once the drop is over, so the file manager is not kept waiting by
// the unsaved-changes question or a long analysis.
static void openDroppedFile(const char* text, int length, WavePanel* panel) {
    string path = droppedFilePath(text, length);
    if (panel && !path.empty()) Fl::add_timeout(0.0, openDropped, new DroppedFile{panel, path});
}

int WaveCanvas::handle(int e) {
    event_x = Fl::event_x();
    event_y = Fl::event_y();
    whichbutton = 0;
    isShiftDown = (Fl::event_state() & FL_SHIFT) != 0;
    if (Fl::event_state() & FL_BUTTON1) whichbutton = 1;
    if (Fl::event_state() & FL_BUTTON2) whichbutton = 2;
    if (Fl::event_state() & FL_BUTTON3) whichbutton = 3;
    switch (e) {
        case FL_PUSH:
            mousePressed();
            break;
        case FL_DRAG:
            mouseDragged();
            break;
        case FL_RELEASE:
            mouseReleased();
            if (Fl::event_is_click() && Fl::event_clicks() == 1) Fl::event_clicks(0);
            break;
        case FL_MOVE:
            mouseMoved();
            break;
        case FL_ENTER:
            mouseEntered();
            break;
        case FL_LEAVE:
            mouseExited();
            break;
        case FL_PASTE:
            openDroppedFile(Fl::event_text(), Fl::event_length(), wavePanel);
            break;
        case FL_MOUSEWHEEL:
            mouseWheeled();
            break;
        default:
            break;
    }
    return 1;
}

void WaveCanvas::mousePressed() {
    int x = event_x;
    int y = event_y;
    WaveHandler* wave = wavePanel->wave;
    if (selectedSegment) selectedSegment->isSelected = false;
    selectedSegment = wave->hitSegment(x, y, this->x(), this->y(), h(), scrollPosition());
    if (selectedSegment) {
        selectedSegment->isSelected = true;
        pointAt(selectedSegment);
        mouseDragStartX = x;
        mouseDragStartY = y;
        placementBeforeDrag = selectedSegment->placement();
        useCursor(FL_CURSOR_NS);
        wavePanel->redraw();
    } else {
        // A click leaves an insertion mark here; a drag selects from here.
        selectionAnchor = toSampleIndex(sampleUnder(x));
        wave->selectionStart = selectionAnchor;
        wave->selectionEnd = -1;
        wavePanel->redraw();
    }
}

void WaveCanvas::mouseDragged() {
    WaveHandler* wave = wavePanel ? wavePanel->wave : nullptr;
    if (!wave) return;
    int y = event_y;
    if (selectedSegment) {
        int dy = y - mouseDragStartY;
        int addMidi = semitonesIn(dy);
        if (addMidi == 0) {
            selectedSegment->dragY = dy;
        } else {
            selectedSegment->dragY = 0;
            mouseDragStartY = y;
            wave->moveNote(selectedSegment, -addMidi);
            wavePanel->keepNoteInView(selectedSegment->midiNumber);
        }
        wavePanel->redraw();
        return;
    }
    wave->selectionStart = selectionAnchor;
    wave->extendSelection(toSampleIndex(sampleUnder(event_x)));
    wavePanel->redraw();
}

void WaveCanvas::mouseReleased() {
    if (!selectedSegment) return;
    selectedSegment->dragY = 0;
    recordDrag();
    wavePanel->redraw();
}

// A whole drag is one step of the undo history.
void WaveCanvas::recordDrag() {
    if (wavePanel->wave->recordNoteMove(selectedSegment, placementBeforeDrag))
        placementBeforeDrag = selectedSegment->placement();
}

// The pointer may come in right onto a note.
void WaveCanvas::mouseEntered() {
    currentCursor = 0;
    setCursor(0);
    mouseMoved();
}

void WaveCanvas::mouseExited() {
    pointAt(nullptr);
    if (currentCursor == 0) return;
    currentCursor = 0;
    if (window()) window()->cursor(FL_CURSOR_DEFAULT);
}

// A note box can be picked up: show it with a vertical-move pointer.
void WaveCanvas::mouseMoved() {
    WaveHandler* wave = wavePanel ? wavePanel->wave : nullptr;
    if (!wave) return;
    WaveSegment* over = wave->segmentAt(event_x, event_y, x(), y(), h(), scrollPosition());
    useCursor(over ? FL_CURSOR_NS : 0);
    pointAt(over);
}

// The read-out follows the pointer from note to note; the trace says what it reads.
void WaveCanvas::pointAt(WaveSegment* segment) {
    if (segment == pointedSegment) return;
    pointedSegment = segment;
    if (segment) std::cout << "Note under the pointer: " << wavePanel->wave->noteReadout(*segment) << "\n";
    redraw();
}

// Semitones one notch of the wheel scrolls the pitch axis by, and the share
// of the wave area it scrolls in time.
static const int WHEEL_SEMITONES = 3;
static const int WHEEL_PAGE_SHARE = 8;

void WaveCanvas::mouseWheeled() {
    int notches = Fl::event_dy();
    if (notches == 0) return;
    if (Fl::event_state() & FL_CTRL)
        wavePanel->zoomAround(event_x - x() - LABEL_MARGIN, notches);
    else if (Fl::event_state() & FL_SHIFT)
        wavePanel->scrollTimeBy(static_cast<long long>(notches) * std::max(1, (w() - LABEL_MARGIN) / WHEEL_PAGE_SHARE));
    else
        wavePanel->scrollPitchTo(wavePanel->wave->bottomMidi - notches * WHEEL_SEMITONES);
}

void WaveCanvas::mouseClicked() {}

void WaveCanvas::mouseDoubleClicked() {}

void WaveCanvas::useCursor(int id) {
    if (id == currentCursor) return;
    currentCursor = id;
    setCursor(id);
}

void WaveCanvas::setCursor(int id) {
    std::cout << "TODO: WaveCanvas::usecursor";
    if (window()) window()->cursor(id == 0 ? FL_CURSOR_DEFAULT : static_cast<Fl_Cursor>(id));
}

void WaveCanvas::adjustCursor(int, int, bool) {}

void WaveCanvas::forgetSegment() {
    selectedSegment = nullptr;
    pointedSegment = nullptr;
}

// ----------------------------------------------------------------- WavePanel

WavePanel::WavePanel(int a, int b, int c, int d)
    : Fl_Group(a, b, c, d),
      selectedSegment(nullptr),
      baseMidi(0),
      win(nullptr),
      wave(nullptr),
      waveCanvas(nullptr) {
    init_window();
    end();
}

WavePanel::~WavePanel() { delete wave; }

void WavePanel::init_window() {
    win = make_window();
    if (parent()) win->resize(parent()->x(), parent()->y(), parent()->w(), parent()->h());
    wave = new WaveHandler();
    wave->wavePanel = this;
    baseMidi = 0;
    selectedSegment = nullptr;
    verticalScrollBar->linesize(1);
    fitPitchScrollbar();
    adjustScrollbar();
}

void WavePanel::cb_horizontalScrollBar_i(Fl_Scrollbar*, void*) { waveCanvas->repaint(); }
void WavePanel::cb_horizontalScrollBar(Fl_Scrollbar* o, void* v) {
    ((WavePanel*)(o->parent()->parent()->parent()->user_data()))->cb_horizontalScrollBar_i(o, v);
}

// The scrollbar's top is the top of the MIDI range.
void WavePanel::cb_verticalScrollBar_i(Fl_Scrollbar*, void*) {
    wave->bottomMidi = highestBottomMidi(waveCanvas->h()) - verticalScrollBar->value();
    waveCanvas->repaint();
}
void WavePanel::cb_verticalScrollBar(Fl_Scrollbar* o, void* v) {
    ((WavePanel*)(o->parent()->parent()->parent()->user_data()))->cb_verticalScrollBar_i(o, v);
}

Fl_Group* WavePanel::make_window() {
    {
        Fl_Group* o = panel = new Fl_Group(0, 0, 645, 435);
        o->box(FL_FLAT_BOX);
        o->color(FL_BACKGROUND_COLOR);
        o->selection_color(FL_BACKGROUND_COLOR);
        o->labeltype(FL_NO_LABEL);
        o->labelfont(0);
        o->labelsize(14);
        o->labelcolor(FL_FOREGROUND_COLOR);
        o->user_data((void*)(this));
        o->align(Fl_Align(FL_ALIGN_TOP));
        o->when(FL_WHEN_RELEASE);
        {
            Fl_Group* v = wavepanelvstretch = new Fl_Group(0, 0, 645, 417);
            {
                Fl_Group* c = wavecanvascontainer = new Fl_Group(0, 0, 627, 417);
                c->color((Fl_Color)53);
                c->selection_color((Fl_Color)53);
                {
                    WaveCanvas* w = wavecanvasobject = new WaveCanvas(0, 0, 627, 417);
                    w->box(FL_NO_BOX);
                    w->color((Fl_Color)53);
                    w->selection_color((Fl_Color)53);
                    w->labeltype(FL_NORMAL_LABEL);
                    w->labelfont(0);
                    w->labelsize(12);
                    w->labelcolor(FL_FOREGROUND_COLOR);
                    w->align(Fl_Align(FL_ALIGN_TOP));
                    w->when(FL_WHEN_RELEASE);
                    w->Panel(this);
                    waveCanvas = w;
                }
                c->end();
            }
            {
                Fl_Group* g = new Fl_Group(627, 0, 18, 417);
                {
                    Fl_Scrollbar* s = verticalScrollBar = new Fl_Scrollbar(627, 0, 18, 417);
                    s->color((Fl_Color)53);
                    s->selection_color((Fl_Color)51);
                    s->maximum(10000);
                    s->labelsize(12);
                    s->callback((Fl_Callback*)cb_verticalScrollBar);
                }
                g->end();
            }
            v->resizable(wavecanvascontainer);
            v->end();
        }
        {
            Fl_Group* g = new Fl_Group(0, 417, 648, 18);
            {
                Fl_Group* hs = wavepanelhstretch = new Fl_Group(0, 417, 648, 18);
                {
                    Fl_Scrollbar* s = horizontalScrollBar = new Fl_Scrollbar(0, 417, 627, 18);
                    s->type(FL_HORIZONTAL);
                    s->color((Fl_Color)53);
                    s->selection_color((Fl_Color)51);
                    s->maximum(10000);
                    s->labelsize(12);
                    s->callback((Fl_Callback*)cb_horizontalScrollBar);
                }
                {
                    Fl_Group* f = wavepanelfixed = new Fl_Group(627, 417, 18, 18);
                    f->image(image_resizethumb);
                    f->align(Fl_Align(FL_ALIGN_TOP | FL_ALIGN_INSIDE));
                    f->end();
                }
                hs->resizable(horizontalScrollBar);
                hs->end();
            }
            g->end();
        }
        o->resizable(wavepanelvstretch);
        o->end();
    }
    return panel;
}

// Arrow clicks scroll by this share of the view; a click on the track beside
// the thumb scrolls by a whole view.
static const int ARROW_STEPS_PER_VIEW = 10;

// The thumb is as long a share of the track as the view is of the recording,
// and the range ends where the last frame meets the right edge.
void WavePanel::adjustScrollbar() {
    long long frames = wave->frameCount();
    long long shown = std::min(samplesShown(), frames);
    long long scroll = std::clamp(static_cast<long long>(horizontalScrollBar->value()), 0LL, frames - shown);
    horizontalScrollBar->value(static_cast<int>(scroll), static_cast<int>(shown), 0, static_cast<int>(frames));
    horizontalScrollBar->linesize(static_cast<int>(std::max(1LL, shown / ARROW_STEPS_PER_VIEW)));
}

void WavePanel::repaint() { redraw(); }

void WavePanel::frameCountChanged() { adjustScrollbar(); }

void WavePanel::documentStateChanged() {
    if (showDocumentState) showDocumentState();
}

void WavePanel::segmentsReleased() {
    selectedSegment = nullptr;
    waveCanvas->forgetSegment();
    newNotesToShow = true;
}

void WavePanel::resize(int x, int y, int w, int h) {
    Fl_Group::resize(x, y, w, h);
    fitPitchScrollbar();
    adjustScrollbar();
}

// Settled before the children draw, so the scrollbar and the canvas agree.
void WavePanel::draw() {
    if (newNotesToShow && wave->analyzeWave && wave->loadProgress < 0.0) {
        newNotesToShow = false;
        bringNotesIntoView();
    }
    Fl_Group::draw();
}

void WavePanel::fitPitchScrollbar() { scrollPitchTo(wave->bottomMidi); }

void WavePanel::scrollPitchTo(int midi) {
    int highest = highestBottomMidi(waveCanvas->h());
    int shown = rowsShown(waveCanvas->h());
    wave->bottomMidi = std::clamp(midi, 0, highest);
    verticalScrollBar->value(highest - wave->bottomMidi, shown, 0, highest + shown);
    waveCanvas->redraw();
}

void WavePanel::keepNoteInView(int midi) {
    int shown = rowsShown(waveCanvas->h());
    if (midi > wave->bottomMidi + shown) scrollPitchTo(midi - shown);
    else if (midi <= wave->bottomMidi) scrollPitchTo(midi - 1);
}

// All notes when they fit, else the middle of their span.
void WavePanel::bringNotesIntoView() {
    int lowest, highest;
    if (!wave->noteSpan(lowest, highest)) return;
    int shown = rowsShown(waveCanvas->h());
    if (highest - lowest >= shown) {
        scrollPitchTo((lowest + highest) / 2 - shown / 2);
        return;
    }
    keepNoteInView(highest);
    keepNoteInView(lowest);
}

void WavePanel::scrollTimeBy(long long columns) {
    scrollTimeTo(horizontalScrollBar->value() + columnToSample(columns, wave->zoom));
}

void WavePanel::zoomAround(int column, int steps) {
    column = std::max(column, 0);
    long long sample = columnToSample(column, wave->zoom) + horizontalScrollBar->value();
    wave->setZoom(std::ldexp(static_cast<double>(wave->zoom), steps));
    adjustScrollbar();
    scrollTimeTo(scrollKeeping(sample, column, wave->zoom));
}

void WavePanel::analysisProgressStarted() { window()->cursor(FL_CURSOR_WAIT); }

void WavePanel::analysisProgressed() {
    waveCanvas->redraw();
    // Input is refused meanwhile (see the event dispatch); only redraws happen.
    Fl::check();
}

void WavePanel::analysisProgressEnded() {
    window()->cursor(FL_CURSOR_DEFAULT);
    redraw();
}

// Turns the page when the play-head leaves the view: it goes on from the left
// edge, and the last page ends with the file rather than run past it.
void WavePanel::playHeadMoved(int head) {
    long long scroll = horizontalScrollBar->value();
    if (head >= 0 && (head < scroll || head >= scroll + samplesShown())) scrollTimeTo(head);
    waveCanvas->redraw();
}

long long WavePanel::samplesShown() { return columnToSample(std::max(waveCanvas->w() - LABEL_MARGIN, 1), wave->zoom); }

void WavePanel::scrollTimeTo(long long sample) {
    long long lastPage = std::max(0LL, wave->frameCount() - samplesShown());
    horizontalScrollBar->value(static_cast<int>(std::clamp(sample, 0LL, lastPage)));
    waveCanvas->redraw();
}
