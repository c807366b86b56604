// Picking and dragging notes, and selecting samples, in the real window.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "FastFourierTransform.h"
#include "guidriver.h"
#include "testaudio.h"
#include "viewmodel.h"

using testaudio::Note;


// Three steady notes of whole-sample periods (100, 150 and 200 samples at
// 44.1 kHz) with rests between them, so every note is one clean segment; a
// long rest at the end leaves room to scroll once zoomed in.
static std::string writeThreeNotes(const std::string& folder) {
    std::vector<Note> notes = {{441.0, 44100}, {0, 4410}, {294.0, 44100}, {0, 4410}, {220.5, 44100}, {0, 220500}};
    std::string path = folder + "/44100Hz_notes441_294_220.5_mono_float.wav";
    testaudio::writeFile(path, testaudio::melody(notes, 44100), 44100, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    return path;
}

// Waits for a line the view prints on a redraw, after `from` in the trace.
static bool printedAfter(ProgramUnderTest& program, size_t from, const std::string& text) {
    return waitUntil([&] { return program.output().find(text, from) != std::string::npos; }, 10);
}

class GuiGestures : public ::testing::Test {
protected:
    ProgramUnderTest program{"gestures"};
    std::string window;
    std::string path;

    void SetUp() override {
        path = writeThreeNotes(program.home());
        window = program.startWindow();
        ASSERT_FALSE(window.empty());
        ASSERT_TRUE(program.openFile(window, testaudio::fileName(path))) << program.output();
    }

    void dragAndSettle(int x, int y, int toX, int toY) {
        program.drag(window, x, y, toX, toY);
        ASSERT_TRUE(program.waitForIdle());
    }

    // Waits until the program has answered a pointer move with a new pointer shape.
    void moveAndWaitForPointer(int x, int y, int shapesBefore) {
        program.moveTo(window, x, y);
        ASSERT_TRUE(program.waitForCount("TODO: WaveCanvas::usecursor", shapesBefore + 1));
    }
};

TEST_F(GuiGestures, DraggingANoteMovesItBySemitonesAndTheCurveFollows) {
    ViewModel model(path);
    ASSERT_EQ(model.segmentCount(), 3);
    WaveSegment& note = model.segment(1);
    int x = model.boxMiddleX(1);
    int sample = ViewModel::sampleAtColumn(x);
    int startNote = note.midiNumber;

    // 12 pixels down: one semitone lower; 30 down: two more, 6 pixels dropped; 13 up: one higher.
    struct Step {
        int dy, semitones;
    };
    for (Step step : {Step{12, -1}, Step{30, -2}, Step{-13, 1}}) {
        int y = model.rowY(note.midiNumber);
        size_t before = program.output().size();
        dragAndSettle(x, y, x, y + step.dy);
        std::string trace = program.output().substr(before);
        EXPECT_NE(trace.find("WaveHandler::hitSegment()\nTODO: WaveHandler::hitSegment\n"), std::string::npos);
        EXPECT_EQ(trace.find("extendSelection"), std::string::npos) << "a note drag must not select samples";
        model.document.moveNote(&note, step.semitones);
        EXPECT_EQ(lastPrintedY(trace, sample, true), model.correctedY(sample)) << "after a drag of " << step.dy;
        EXPECT_EQ(lastPrintedY(trace, sample, false), model.detectedY(sample));
    }
    EXPECT_EQ(note.midiNumber, startNote - 2);

    // Undo takes back the whole last drag; redo puts it back.
    size_t before = program.output().size();
    program.key(window, "ctrl+z");
    ASSERT_TRUE(program.waitForIdle());
    model.document.moveNote(&note, -1);
    EXPECT_EQ(lastPrintedY(program.output().substr(before), sample, true), model.correctedY(sample));
    before = program.output().size();
    program.key(window, "ctrl+shift+z");
    ASSERT_TRUE(program.waitForIdle());
    model.document.moveNote(&note, 1);
    EXPECT_EQ(lastPrintedY(program.output().substr(before), sample, true), model.correctedY(sample));
}

TEST_F(GuiGestures, DraggingOverEmptySpaceSelectsSamplesAndShowsTheirSpectrum) {
    ViewModel model(path);
    // Near the top of the canvas no note is drawn.
    size_t before = program.output().size();
    dragAndSettle(140, 60, 200, 60);
    std::string trace = program.output().substr(before);
    int at = 512 * (140 - 40), end = 512 * (200 - 40);
    EXPECT_NE(trace.find("WaveHandler::extendSelection()\nextendSelection end at " + std::to_string(end) + "\n"),
              std::string::npos)
        << trace.substr(0, 2000);
    EXPECT_NE(trace.find("selectionStart=" + std::to_string(at) + "off=0zoom=512\n"), std::string::npos);

    // The spectrum polyline of the 1024 samples from the selection's start, rising from the
    // canvas's bottom edge, its strongest bin a third of the canvas high.
    FastFourierTransform fft{};
    float* mag = fft.fftMag(model.document.originalSamples + at, 1024);
    double peak = *std::max_element(mag, mag + 512);
    std::string points;
    for (int k = 0; k < 512; k++)
        points +=
            "(" + std::to_string(40 + k) + "," + std::to_string(50 + 431 - std::lround(mag[k] * (144 / peak))) + ")";
    free(mag);
    EXPECT_NE(trace.find("polyline512\n" + points + "\n"), std::string::npos);

    // A click on empty space replaces the selection with a mark there.
    before = program.output().size();
    program.click(window, 300, 60);
    EXPECT_TRUE(printedAfter(program, before, "selectionStart=133120off=0zoom=512\n"));
    trace = program.output().substr(before);
    EXPECT_NE(trace.find("WaveHandler::hitSegment()"), std::string::npos);
    EXPECT_EQ(trace.find("selectionStart=" + std::to_string(at)), std::string::npos);
}

TEST_F(GuiGestures, PointerShowsWhereANoteCanBePickedUp) {
    ViewModel model(path);
    int x = model.boxMiddleX(0), y = model.rowY(model.segment(0).midiNumber);
    program.moveTo(window, 600, 60);
    ASSERT_TRUE(program.waitForIdle());
    std::string elsewhere = cursorSignature();
    int shapes = program.count("TODO: WaveCanvas::usecursor");
    moveAndWaitForPointer(x, y, shapes);
    // The new shape goes to the X server just after the line is printed.
    waitUntil([&] { return cursorSignature() != elsewhere; }, 2);
    std::string overNote = cursorSignature();
    ASSERT_FALSE(elsewhere.empty());
    EXPECT_NE(overNote, elsewhere);
    moveAndWaitForPointer(600, 60, shapes + 1);
    waitUntil([&] { return cursorSignature() == elsewhere; }, 2);
    EXPECT_EQ(cursorSignature(), elsewhere);
}

TEST_F(GuiGestures, AClickLeavesAMarkTheWheelZoomsAroundItAndADragSelectsFromThePress) {
    // Column 260 of the wave area at 512 samples per pixel.
    size_t before = program.output().size();
    program.click(window, 300, 60);
    ASSERT_TRUE(printedAfter(program, before, "selectionStart=133120off=0zoom=512\n")) << program.output().substr(before, 2000);
    EXPECT_TRUE(printedAfter(program, before, "polyline512\n")) << "the mark's spectrum";

    // Ctrl+wheel up halves the zoom and keeps the mark's sample under the pointer: 133120 - 256 * 260.
    before = program.output().size();
    shellOutput("xdotool keydown ctrl click 4 keyup ctrl");
    ASSERT_TRUE(printedAfter(program, before, "selectionStart=133120off=66560zoom=256\n"));
    // Shift+wheel down scrolls an eighth of the 712 columns later: 89 * 256 samples.
    before = program.output().size();
    shellOutput("xdotool keydown shift click 5 keyup shift");
    ASSERT_TRUE(printedAfter(program, before, "selectionStart=133120off=89344zoom=256\n"));

    // A quick drag: the selection runs from the press (column 160), not from the first motion event.
    before = program.output().size();
    program.drag(window, 200, 60, 260, 60);
    int pressed = 89344 + 256 * 160, released = 89344 + 256 * 220;
    EXPECT_TRUE(printedAfter(program, before, "extendSelection end at " + std::to_string(released) + "\n"));
    EXPECT_TRUE(printedAfter(program, before, "selectionStart=" + std::to_string(pressed) + "off=89344zoom=256\n"))
        << program.output().substr(before, 2000);
}

TEST_F(GuiGestures, ANoteDraggedPastTheTopEdgeTakesTheViewWithIt) {
    ViewModel model(path);
    WaveSegment& note = model.segment(0);
    ASSERT_EQ(note.midiNumber, 69);
    int x = model.boxMiddleX(0), sample = ViewModel::sampleAtColumn(x);
    // From its row (y 134) to 10 pixels from the window's top: 124 pixels up, ten semitones.
    size_t before = program.output().size();
    program.drag(window, x, model.rowY(69), x, 10);
    model.document.moveNote(&note, 10);
    // The view follows so the note's row shows whole below the ruler: 79 - 34 rows = 45 on the bottom edge.
    model.document.bottomMidi = 45;
    int y = model.correctedY(sample);
    EXPECT_TRUE(printedAfter(program, before, "yFixedFreqPos[freqWidth]=" + std::to_string(y) + "\n"));
    EXPECT_GE(y - 6, ViewModel::CANVAS_Y + ViewGeometry::RULER_HEIGHT);
    std::string trace = program.output();
    EXPECT_EQ(lastPrintedY(trace.substr(before), sample, true), y);
}
