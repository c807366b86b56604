// The main window's commands, driven through the controls' own callbacks on a
// window that is built but never shown.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "MainWindow.h"
#include "testaudio.h"

using testaudio::Note;

static const int RATE = 44100;

// Play must find a device even on a machine without a sound card, or its
// message dialog would wait for an answer.
static void useSilentAudioDevice() {
    std::string config = testaudio::makeTempDir("alsa") + "/asound.conf";
    std::ofstream(config) << "pcm.!default { type null }\n";
    setenv("ALSA_CONFIG_PATH", config.c_str(), 1);
}

class MainWindowCommands : public ::testing::Test {
protected:
    UserInterface ui;
    Fl_Double_Window* window = nullptr;
    WaveHandler* wave = nullptr;
    testaudio::CoutCapture trace;

    void SetUp() override {
        // Without a display the toolkit would end the process with status 0.
        ASSERT_NE(getenv("DISPLAY"), nullptr) << "run under xvfb-run";
        useSilentAudioDevice();
        window = ui.make_window();
        wave = ui.wavePanel->wave;
    }
    void TearDown() override { delete window; }
    // Two steady notes a little sharp of B3 and C#4 (MIDI 71.3 and 73.3), after a rest.
    void loadTwoNotes() {
        std::string dir = testaudio::makeTempDir("commands");
        std::string path = dir + "/44100Hz_notes71.3_73.3_mono_float.wav";
        std::vector<Note> notes = {{0, 4410}, {testaudio::midiToHz(71.3), 22050}, {0, 4410},
                                   {testaudio::midiToHz(73.3), 22050}, {0, 4410}};
        testaudio::writeFile(path, testaudio::melody(notes, 44100), 44100, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
        wave->loadWave(&path);
        ASSERT_EQ(wave->analyzeWave->segments->size(), 2u);
    }
    void pick(Fl_Choice* choice, int item) {
        choice->value(item);
        choice->do_callback();
    }
    // As a user picks: through the menu, whatever the choice showed before.
    void choose(Fl_Choice* choice, int item) { choice->picked(choice->menu() + item); }
    int note(int n) { return (*wave->analyzeWave->segments)[n]->midiNumber; }
};

TEST_F(MainWindowCommands, ScaleItemsPassTheirNames) {
    EXPECT_EQ(UserInterface::scaleNameForItem(0), nullptr);
    EXPECT_STREQ(UserInterface::scaleNameForItem(1), "chromatic");
    EXPECT_STREQ(UserInterface::scaleNameForItem(4), "b major");
    EXPECT_STREQ(UserInterface::scaleNameForItem(5), "c major");
    EXPECT_STREQ(UserInterface::scaleNameForItem(13), "g# major");
    EXPECT_EQ(UserInterface::scaleNameForItem(14), nullptr);
    EXPECT_STREQ(ui.menu_choice_scale[13].label(), "G# Major");
}

TEST_F(MainWindowCommands, ScaleChoiceCorrectsAndNoCorrectionRestores) {
    loadTwoNotes();
    pick(ui.choice_scale, 5);  // C major: C# sung 30 cents sharp (73.3) goes to the nearer D
    int inSecondNote = (*wave->analyzeWave->segments)[1]->startSample + 11025;
    EXPECT_NEAR(wave->analyzeWave->correctedMidiValue[inSecondNote], 74.0, 1e-9);
    EXPECT_TRUE(wave->analyzeWave->needsResampling);
    EXPECT_TRUE(wave->hasUnsavedChanges());
    ASSERT_TRUE(wave->resampleWaveIfRequired());  // as playing or saving does
    int frames = wave->frameCount();
    auto changed = [&] {
        int count = 0;
        for (int i = 0; i < frames; i++) count += wave->modifiedSamples[i] != wave->originalSamples[i];
        return count;
    };
    EXPECT_GT(changed(), 10000) << "the second note is rebuilt";
    pick(ui.choice_scale, 0);
    EXPECT_EQ(changed(), 0) << "the working samples are the recording again";
    // The note as sung.
    EXPECT_EQ(wave->analyzeWave->correctedMidiValue[inSecondNote], wave->analyzeWave->midiValue[inSecondNote]);
}

TEST_F(MainWindowCommands, InterpolationItemsMapToKindsAndAskForResampling) {
    // The choice starts on the kind the builder starts with.
    EXPECT_STREQ(ui.choice_splinetype->text(), "Catmull-Clark Spline");
    EXPECT_EQ(wave->waveBuilder->interpolation, WaveBuilder::USE_CATMULL_CLARK);
    pick(ui.choice_splinetype, 0);
    EXPECT_EQ(wave->waveBuilder->interpolation, WaveBuilder::USE_CUBIC_SPLINE);
    pick(ui.choice_splinetype, 1);
    EXPECT_EQ(wave->waveBuilder->interpolation, WaveBuilder::USE_CATMULL_CLARK);
    loadTwoNotes();
    wave->analyzeWave->needsResampling = false;
    pick(ui.choice_splinetype, 2);
    EXPECT_EQ(wave->waveBuilder->interpolation, WaveBuilder::USE_PSOLA);
    EXPECT_TRUE(wave->analyzeWave->needsResampling);
}

TEST_F(MainWindowCommands, ZoomHalvesDoublesAndStaysInBounds) {
    for (int i = 0; i < 10; i++) ui.button_zoom_in->do_callback();
    EXPECT_FLOAT_EQ(wave->zoom, 0.5f);
    for (int i = 0; i < 20; i++) ui.button_zoom_in->do_callback();
    EXPECT_FLOAT_EQ(wave->zoom, 1.0f / 16.0f);
    for (int i = 0; i < 40; i++) ui.button_zoom_out->do_callback();
    EXPECT_FLOAT_EQ(wave->zoom, 65536.0f);
}

TEST_F(MainWindowCommands, ZoomToSelectionFillsTheWaveArea) {
    ui.button_zoom_fit->do_callback();
    EXPECT_FLOAT_EQ(wave->zoom, 512.0f) << "nothing selected: nothing happens";
    loadTwoNotes();
    wave->selectionStart = 10000;
    wave->selectionEnd = 10000 + 712 * 4;
    ui.button_zoom_fit->do_callback();
    int areaWidth = ui.wavePanel->waveCanvas->w() - 40;
    EXPECT_FLOAT_EQ(wave->zoom, 712.0f * 4 / areaWidth);
    EXPECT_EQ(ui.wavePanel->horizontalScrollBar->value(), 10000);
    EXPECT_EQ(ui.wavePanel->horizontalScrollBar->maximum(), wave->frameCount() - 712 * 4);
}

TEST_F(MainWindowCommands, FixNotesMovesBoxesOntoTheScaleAndUndoRestoresThem) {
    loadTwoNotes();
    ASSERT_EQ(note(0), 71);
    ASSERT_EQ(note(1), 73);
    pick(ui.choice_scale, 5);
    ui.button_fixnotes->do_callback();
    EXPECT_EQ(note(0), 71) << "B is in C major";
    EXPECT_EQ(note(1), 74) << "C# sung 30 cents sharp goes to the nearer D";
    wave->undo();
    EXPECT_EQ(note(1), 73);
    wave->redo();
    EXPECT_EQ(note(1), 74);
}

TEST_F(MainWindowCommands, PlayButtonsPassTheirRangesAndStopRaisesItsFlag) {
    loadTwoNotes();
    trace.clear();
    ui.button_play->do_callback();
    EXPECT_NE(trace.text().find("TODO: WaveHandler::resampleWaveIfRequired \n"), std::string::npos);
    EXPECT_NE(trace.text().find("TODO: WaveHandler::playWave\n"), std::string::npos);
    EXPECT_FALSE(wave->analyzeWave->needsResampling) << "playing brings the samples up to date";
    ui.button_stop->do_callback();
    EXPECT_TRUE(wave->stopPlayingWave);
    ui.slider_volume->value(7.5);
    ui.slider_volume->do_callback();
    EXPECT_FLOAT_EQ(wave->playBackVolume, 7.5f);
}

TEST_F(MainWindowCommands, NothingLoadedLeavesCommandsHarmless) {
    pick(ui.choice_scale, 5);
    pick(ui.choice_splinetype, 2);
    ui.button_fixnotes->do_callback();
    EXPECT_EQ(wave->analyzeWave, nullptr);
    EXPECT_FALSE(wave->hasUnsavedChanges());
    EXPECT_FALSE(wave->cancelledAutoSave()) << "nothing to lose: no question";
}

// ------------------------------------------------- what the window shows

static std::string writeNotes(const std::string& name, const std::vector<double>& midi, int rate) {
    std::vector<Note> notes = {{0, rate / 10}};
    for (double m : midi) {
        notes.push_back({testaudio::midiToHz(m), rate / 2});
        notes.push_back({0, rate / 10});
    }
    std::string path = testaudio::makeTempDir("window") + "/" + name;
    testaudio::writeFile(path, testaudio::melody(notes, rate), rate, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    return path;
}

// The pitch of the middle of the second note of a saved two-note file, in MIDI numbers.
static double savedSecondNote(const std::string& path) {
    SF_INFO info;
    std::vector<float> samples = testaudio::readFile(path, &info);
    int start = RATE / 10 + RATE / 2 + RATE / 10 + RATE / 8;
    return testaudio::hzToMidi(testaudio::zeroCrossingHz(samples, start, start + RATE / 4, RATE));
}

TEST_F(MainWindowCommands, AfterALoadTheScaleChoiceShowsNoCorrectionAndAScalePickedThenCorrects) {
    loadTwoNotes();
    choose(ui.choice_scale, 5);
    std::string second = writeNotes("44100Hz_notes71.3_73.3_again_mono_float.wav", {71.3, 73.3}, RATE);
    wave->loadWave(&second);
    EXPECT_STREQ(ui.choice_scale->text(), "No correction") << "the new recording is not corrected";
    choose(ui.choice_scale, 5);
    std::string saved = testaudio::makeTempDir("window") + "/44100Hz_cmajor.wav";
    ASSERT_TRUE(wave->writeFile(&saved));
    // C# (73.3) is outside C major: it must sound at C (72), within the few cents periods of whole samples allow.
    EXPECT_NEAR(savedSecondNote(saved), 74.0, 0.06);
    // Picked again while shown, the scale applies again.
    choose(ui.choice_scale, 5);
    EXPECT_TRUE(wave->hasUnsavedChanges());
}

// A click at `x` along the horizontal scrollbar, as the pointer gives it.
static void clickScrollbar(Fl_Scrollbar* bar, int x) {
    Fl::e_x = x;
    Fl::e_y = bar->y() + bar->h() / 2;
    bar->handle(FL_PUSH);
    bar->handle(FL_RELEASE);
}

TEST_F(MainWindowCommands, TheTimeScrollbarIsSizedAndSteppedByTheViewAndNormalViewShowsTheWholeRecording) {
    const int frames = 829248;
    testaudio::loadTone(*wave, frames, "scrollbar");
    Fl_Scrollbar* bar = ui.wavePanel->horizontalScrollBar;
    const int shown = 712 * 512;  // the 752-pixel canvas less its 40 columns of note names
    EXPECT_NEAR(bar->slider_size(), static_cast<double>(shown) / frames, 1e-6);
    EXPECT_EQ(bar->maximum(), frames - shown) << "the range ends where the last frame meets the right edge";
    clickScrollbar(bar, bar->x() + bar->w() - 4);
    EXPECT_EQ(bar->value(), shown / 10) << "an arrow moves by a tenth of the view";
    clickScrollbar(bar, bar->x() + bar->w() - bar->h() - 4);
    EXPECT_NEAR(bar->value(), shown / 10 + shown, 1) << "the track beside the thumb moves by a view";
    ui.wavePanel->scrollTimeTo(frames);
    EXPECT_EQ(bar->value(), frames - shown);
    WaveCanvas* canvas = ui.wavePanel->waveCanvas;
    EXPECT_GE(canvas->sampleUnder(canvas->x() + canvas->w() - 1), frames - 512) << "the last column shows the end";

    ui.button_zoom_1->do_callback();
    EXPECT_EQ(bar->value(), 0);
    EXPECT_EQ(bar->maximum(), 0);
    EXPECT_DOUBLE_EQ(bar->slider_size(), 1.0);
    EXPECT_GE(wave->zoom * 712.0, frames) << "every frame in view";
    EXPECT_LT(wave->zoom * 711.0, frames) << "and the recording spans the view";
}

#include <FL/fl_draw.H>
#include <FL/x.H>
#include <X11/Xutil.h>

#include "ViewGeometry.h"

TEST_F(MainWindowCommands, AtTheSmallestSizeEveryControlShowsWholeAndEveryChoiceItemFits) {
    window->show();
    Fl::check();
    XSizeHints hints{};
    long supplied = 0;
    ASSERT_TRUE(XGetWMNormalHints(fl_display, fl_xid(window), &hints, &supplied));
    ASSERT_TRUE(hints.flags & PMinSize);
    window->resize(window->x(), window->y(), hints.min_width, hints.min_height);
    Fl::check();
    for (Fl_Group* group : {ui.fixedsizebuttonbargroup, static_cast<Fl_Group*>(ui.wavePanel)}) {
        for (int i = 0; i < group->children(); i++) {
            Fl_Widget* c = group->child(i);
            EXPECT_TRUE(c->x() >= 0 && c->y() >= 0 && c->x() + c->w() <= window->w() && c->y() + c->h() <= window->h())
                << "child " << i << " at " << c->x() << "," << c->y() << " " << c->w() << "x" << c->h() << " of a "
                << hints.min_width << "x" << hints.min_height << " window";
        }
    }
    EXPECT_GT(ViewGeometry::rowsShown(ui.wavePanel->waveCanvas->h()), 4) << "notes still show";
    // A choice shows its item right of a 3-pixel margin, left of its arrow box (its height less
    // the border) and a 3-pixel margin.
    fl_font(FL_HELVETICA, 12);
    for (Fl_Choice* choice : {ui.choice_scale, ui.choice_splinetype}) {
        int room = choice->w() - (choice->h() - 4) - 6;
        for (const Fl_Menu_Item* item = choice->menu(); item->label(); item++)
            EXPECT_LE(fl_width(item->label()), room) << item->label();
    }
}

TEST_F(MainWindowCommands, NotesLoadedAt22kHzShowWholeBelowTheRuler) {
    window->show();
    // Thirty-three semitones apart: the most rows of notes that show whole at the start.
    std::string path = writeNotes("22050Hz_notes48_81_mono_float.wav", {48.0, 64.0, 81.0}, 22050);
    wave->loadWave(&path);
    window->redraw();
    Fl::flush();
    int lowest, highest;
    ASSERT_TRUE(wave->noteSpan(lowest, highest));
    ASSERT_EQ(highest - lowest, 33);
    int h = ui.wavePanel->waveCanvas->h();
    for (int midi : {lowest, highest}) {
        int row = wave->midiToPos(midi, h);
        EXPECT_GE(row - 6, ViewGeometry::RULER_HEIGHT) << midi << " reaches under the ruler";
        EXPECT_LE(row + 6, h) << midi << " runs past the bottom edge";
    }
}

// ------------------------------------------------------------------ pictures

#include <cstring>

#include "MainWindowImages.h"
#include "WavePanelImages.h"

struct Picture {
    const char* const* data;
    int size, colours, charsPerPixel;  // colours < 0: the packed colour table
};

// Checks an XPM array's header against its colour table and rows; "" when it holds together.
static std::string xpmProblem(const Picture& p) {
    int w, h, n, cpp;
    if (sscanf(p.data[0], "%d %d %d %d", &w, &h, &n, &cpp) != 4) return "unreadable header";
    if (w != p.size || h != p.size || n != p.colours || cpp != p.charsPerPixel) return std::string("header ") + p.data[0];
    int tableLines = n < 0 ? 1 : n;
    if (n < 0 && std::strlen(p.data[1]) != static_cast<size_t>(-4 * n)) return "packed table length";
    for (int row = 0; row < h; row++)
        if (std::strlen(p.data[1 + tableLines + row]) != static_cast<size_t>(w * cpp))
            return "row " + std::to_string(row);
    return "";
}

TEST(Pictures, SizesAndColourTablesHoldTogether) {
    const Picture pictures[] = {
        {idata_open, 24, -39, 1},         {idata_save, 24, -92, 1},          {idata_play, 24, -41, 1},
        {idata_play_selection, 24, -70, 1}, {idata_play_to, 24, -70, 1},     {idata_play_from, 24, -70, 1},
        {idata_stock_media, 24, 29, 1},   {idata_zoom_fit, 24, -24, 1},      {idata_zoom_1, 24, -24, 1},
        {idata_zoom_in, 24, -24, 1},      {idata_zoom_out, 24, -24, 1},      {idata_stock_glue, 24, 141, 2},
        {idata_resizethumb, 18, -3, 1},   {idata_cantorel_icon, 48, 64, 1},
    };
    for (const Picture& p : pictures) EXPECT_EQ(xpmProblem(p), "") << p.data[0];
}

TEST(Pictures, GripStripesFollowTheCornerDiagonals) {
    // Rows 3 to 16: white at column 19 - row + 5k, then two shadow pixels, up to column 16.
    for (int row = 0; row < 18; row++) {
        std::string expected(18, '"');
        for (int k = 0; row >= 3 && row <= 16 && k < 3; k++) {
            int c = 19 - row + 5 * k;
            if (c > 16) continue;
            expected[c] = '#';
            for (int d = 1; d <= 2 && c + d <= 16; d++) expected[c + d] = '!';
        }
        EXPECT_EQ(idata_resizethumb[2 + row], expected) << "row " << row;
    }
}
