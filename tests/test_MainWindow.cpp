// The main window's commands, driven through the controls' own callbacks on a
// window that is built but never shown.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "MainWindow.h"
#include "testaudio.h"

using testaudio::Note;

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
    pick(ui.choice_scale, 5);  // C major: C# (73) is outside and snaps down to C
    int inSecondNote = (*wave->analyzeWave->segments)[1]->startSample + 11025;
    EXPECT_NEAR(wave->analyzeWave->correctedMidiValue[inSecondNote], 72.0, 1e-9);
    EXPECT_TRUE(wave->analyzeWave->needsResampling);
    EXPECT_TRUE(wave->hasUnsavedChanges());
    wave->modifiedSamples[100] = 0.25f;  // as a resampling would change it
    pick(ui.choice_scale, 0);
    EXPECT_EQ(wave->modifiedSamples[100], wave->originalSamples[100]);
    // Chromatic with no glide: the note keeps its sung movement on its own note.
    EXPECT_NEAR(wave->analyzeWave->correctedMidiValue[inSecondNote], 73.0, 0.05);
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
    ui.button_zoom_1->do_callback();
    EXPECT_FLOAT_EQ(wave->zoom, 65536.0f) << "normal view only re-fits the scrollbar";
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
    EXPECT_EQ(ui.wavePanel->horizontalScrollBar->maximum(), wave->frameCount());
}

TEST_F(MainWindowCommands, FixNotesMovesBoxesOntoTheScaleAndUndoRestoresThem) {
    loadTwoNotes();
    ASSERT_EQ(note(0), 71);
    ASSERT_EQ(note(1), 73);
    pick(ui.choice_scale, 5);
    ui.button_fixnotes->do_callback();
    EXPECT_EQ(note(0), 71) << "B is in C major";
    EXPECT_EQ(note(1), 72) << "C# snaps down to C";
    wave->undo();
    EXPECT_EQ(note(1), 73);
    wave->redo();
    EXPECT_EQ(note(1), 72);
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
