// What the real window draws: piano-roll bands, note boxes and the two pitch
// curves where the view's mapping puts them, clipped to the canvas.

#include <gtest/gtest.h>

#include "guidriver.h"
#include "testaudio.h"
#include "viewmodel.h"

using testaudio::Note;

static const std::string WHITE_KEY = "239,239,255", BLACK_KEY = "212,212,255";
static const std::string RED = "255,0,0", GREEN = "0,255,0", NOTE_FILL = "240,212,134", NOTE_EDGE = "127,0,0";

class GuiView : public ::testing::Test {
protected:
    ProgramUnderTest program{"view"};
    std::string window;
    int left = 0, top = 0;

    void openAndShoot(const std::vector<Note>& notes, const std::string& name, const std::string& shot) {
        std::string path = program.home() + "/" + name;
        testaudio::writeFile(path, testaudio::melody(notes, 44100), 44100, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
        program.start();
        window = program.waitForWindow(MAIN_TITLE);
        ASSERT_FALSE(window.empty());
        ASSERT_TRUE(program.openFile(window, name)) << program.output();
        ASSERT_TRUE(program.waitForIdle());
        program.moveTo(window, 760, 5);  // keep the pointer off the canvas
        program.origin(window, left, top);
        program.screenshot(shot);
    }
    std::string pixel(const std::string& shot, int x, int y) { return pixelAt(shot, left + x, top + y); }
};

TEST_F(GuiView, BandsBoxesAndCurvesSitWhereTheMappingSays) {
    std::string shot = program.home() + "/view.png";
    // 450 Hz (a period of 98 samples) is MIDI 69.40: the red curve runs 4 pixels above the green one on A3.
    openAndShoot({{0, 4410}, {450.0, 44100}, {0, 4410}, {294.0, 44100}, {0, 4410}}, "44100Hz_notes450_294_mono_float.wav", shot);
    std::string path = program.home() + "/44100Hz_notes450_294_mono_float.wav";
    ViewModel model(path);
    ASSERT_EQ(model.segmentCount(), 2);

    // Right of the notes only the piano roll shows: C3 (MIDI 60) is a white row, C#3 a black one.
    EXPECT_EQ(pixel(shot, 600, model.rowY(60)), WHITE_KEY);
    EXPECT_EQ(pixel(shot, 600, model.rowY(61)), BLACK_KEY);
    EXPECT_EQ(pixel(shot, 600, model.rowY(69)), WHITE_KEY);
    EXPECT_EQ(pixel(shot, 600, model.rowY(70)), BLACK_KEY);

    WaveSegment& a3 = model.segment(0);
    EXPECT_EQ(a3.midiNumber, 69);
    int x = model.boxMiddleX(0);
    int sample = ViewModel::sampleAtColumn(x);
    // Nothing is corrected after a load: the green curve, what will be heard, lies on the red.
    int red = model.detectedY(sample), green = model.correctedY(sample), row = model.rowY(69);
    ASSERT_EQ(red, row - 4);
    ASSERT_EQ(green, red);
    EXPECT_EQ(lastPrintedY(program.output(), sample, false), red);
    EXPECT_EQ(pixel(shot, x, red), GREEN);
    EXPECT_EQ(pixel(shot, x, row + 4), NOTE_FILL);
    EXPECT_EQ(pixel(shot, x, row - 6), NOTE_EDGE);
}

TEST_F(GuiView, DrawingStaysInsideTheCanvas) {
    std::string shot = program.home() + "/clip.png";
    // Ten seconds of one note after a rest (a note at sample 0 keeps its own pitch):
    // the curves run past the canvas's right edge.
    openAndShoot({{0, 4410}, {450.0, 441000}}, "44100Hz_450f10s_mono_float.wav", shot);
    ViewModel model(program.home() + "/44100Hz_450f10s_mono_float.wav");
    int red = model.detectedY(100000), green = model.correctedY(100000);
    EXPECT_EQ(pixel(shot, 700, red), GREEN) << "the green curve lies on the red one";
    // The vertical scrollbar (columns 752 to 769) is never painted over.
    for (int x = 752; x < 770; x += 3) {
        EXPECT_NE(pixel(shot, x, red), RED) << x;
        EXPECT_NE(pixel(shot, x, green), GREEN) << x;
        EXPECT_NE(pixel(shot, x, model.rowY(69) + 3), WHITE_KEY) << x;
    }
}

TEST_F(GuiView, LongLoadShowsProgressAndRefusesInput) {
    // Forty seconds of brown noise take long enough to analyse that the window shows progress.
    std::string name = "44100Hz_brownnoise_40s_mono_pcm16.wav";
    testaudio::writeFile(program.home() + "/" + name, testaudio::brownNoise(40 * 44100), 44100, 1,
                         SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    program.start();
    window = program.waitForWindow(MAIN_TITLE);
    ASSERT_FALSE(window.empty());
    program.origin(window, left, top);
    program.key(window, "ctrl+o");
    ASSERT_TRUE(program.answerChooser("Select a file to load", name));
    bool sawBar = false;
    std::string shot = program.home() + "/progress.png";
    // The bar is centred on the canvas (752x432 at y 50); its fill is the selection colour.
    for (int i = 0; i < 200 && !sawBar && program.count("polyline") == 0; i++) {
        program.screenshot(shot);
        sawBar = pixel(shot, (752 - 400) / 2 + 4, 50 + 432 / 2) == "0,0,127";
    }
    EXPECT_TRUE(sawBar) << "no progress bar seen while loading";
    program.pressKeys("ctrl+o");  // refused while the analysis runs
    ASSERT_TRUE(program.waitForOutput("polyline", 120));
    ASSERT_TRUE(program.waitForIdle());
    EXPECT_EQ(program.count("WaveHandler::fileOpen()"), 1) << "a command ran during the load";
}

// Waits until a redraw after `from` in the trace has printed the curve point of `sample`.
static int printedYAfter(ProgramUnderTest& program, size_t from, int sample) {
    int y = -1;
    waitUntil([&] {
        std::string trace = program.output();
        y = from < trace.size() ? lastPrintedY(trace.substr(from), sample, true) : -1;
        return y != -1;
    }, 10);
    return y;
}

TEST_F(GuiView, HighNotesComeIntoViewAndTheWheelAndScrollbarMoveThePitchAxis) {
    // 882 Hz (50 samples) is MIDI 81, above the starting view's top row (75).
    std::string name = "44100Hz_notes441_882_mono_float.wav";
    std::string shot = program.home() + "/high.png";
    openAndShoot({{0, 4410}, {441.0, 44100}, {0, 4410}, {882.0, 44100}, {0, 4410}}, name, shot);
    ViewModel model(program.home() + "/" + name);
    ASSERT_EQ(model.segmentCount(), 2);
    ASSERT_EQ(model.segment(1).midiNumber, 81);
    int sample = ViewModel::sampleAtColumn(model.boxMiddleX(1));

    // Scrolled just enough that the top note's row shows whole below the ruler: 81 - 34 rows = 47
    // on the bottom edge.
    model.document.bottomMidi = 47;
    int y = model.correctedY(sample);
    EXPECT_EQ(lastPrintedY(program.output(), sample, true), y);
    EXPECT_GE(y - 6, ViewModel::CANVAS_Y);
    EXPECT_EQ(pixel(shot, model.boxMiddleX(1), y), GREEN);

    // One notch of the wheel down shows three semitones lower.
    size_t before = program.output().size();
    program.click(window, 600, 300, 5);
    EXPECT_EQ(printedYAfter(program, before, sample), y - 3 * 12);

    // The scrollbar's down arrow: one semitone lower.
    before = program.output().size();
    program.click(window, 761, ViewModel::CANVAS_Y + ViewModel::CANVAS_H - 8);
    EXPECT_EQ(printedYAfter(program, before, sample), y - 4 * 12);
}

TEST_F(GuiView, TheRulerMarksSecondsAndTheReadOutNamesTheNoteUnderThePointer) {
    std::string shot = program.home() + "/ruler.png";
    std::string name = "44100Hz_notes450_294_mono_float.wav";
    openAndShoot({{0, 4410}, {450.0, 44100}, {0, 4410}, {294.0, 44100}, {0, 4410}}, name, shot);
    // At 512 samples a pixel the ticks of 0 s and 1 s stand 86 columns apart, right of the note names.
    for (int x : {40, 126}) EXPECT_EQ(pixel(shot, x, ViewModel::CANVAS_Y + 14), "0,0,0") << "tick at " << x;
    EXPECT_NE(program.output().find("ruler: 0 s at 40 1 s at 126 2 s at 212\n"), std::string::npos);

    ASSERT_TRUE(program.clickMenu(window, 540, 35));
    for (int i = 0; i < 5; i++) program.pressKeys("Down");
    program.pressKeys("Return");  // "C Major", where A stays A
    ViewModel model(program.home() + "/" + name);
    program.moveTo(window, model.boxMiddleX(0), model.rowY(69));
    // 450 Hz (periods of 98 samples) lies 39 cents above A3; the analysis reads a cent more.
    ASSERT_TRUE(program.waitForOutput("Note under the pointer: Sung A3 +40 cents, corrected to A3\n"))
        << program.output().substr(program.output().rfind("ruler:"));
    ASSERT_TRUE(program.waitForIdle());
    program.screenshot(shot);
    // The read-out's light box at the ruler's right end.
    EXPECT_EQ(pixel(shot, ViewModel::CANVAS_W - 5, ViewModel::CANVAS_Y + 4), "255,255,240");
}
