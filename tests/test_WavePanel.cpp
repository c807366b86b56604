// The wave panel: what a play command covers, and the drawing of the view.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "WaveHandler.h"
#include "testaudio.h"

// ---------------------------------------------------------------- play range

static const int RATE = 44100;

using testaudio::loadTone;

static void expectRange(const FrameRange& range, int first, int end) {
    EXPECT_EQ(range.first, first);
    EXPECT_EQ(range.end, end);
}

TEST(PlayRange, MinusOneStandsForTheStartAndTheEndOfTheFile) {
    WaveHandler doc;
    loadTone(doc, 5000, "range_ends");
    expectRange(doc.playRange(-1, -1), 0, 5000);
    expectRange(doc.playRange(1000, 3000), 1000, 3000);
    expectRange(doc.playRange(-1, 3000), 0, 3000);
    expectRange(doc.playRange(1000, -1), 1000, 5000);
}

TEST(PlayRange, OutOfRangeIsClampedAndEmptyOrReversedPlaysNothing) {
    WaveHandler doc;
    loadTone(doc, 5000, "range_clamp");
    expectRange(doc.playRange(-40, 9000), 0, 5000);
    expectRange(doc.playRange(4000, 7000), 4000, 5000);
    FrameRange pastTheEnd = doc.playRange(6000, 7000);
    EXPECT_EQ(pastTheEnd.first, pastTheEnd.end);
    FrameRange empty = doc.playRange(2000, 2000);
    EXPECT_EQ(empty.first, empty.end);
    FrameRange reversed = doc.playRange(3000, 1000);
    EXPECT_EQ(reversed.first, reversed.end);
}

TEST(PlayRange, WithNoFileEveryRangeIsEmpty) {
    WaveHandler doc;
    expectRange(doc.playRange(-1, -1), 0, 0);
    expectRange(doc.playRange(10, 200), 0, 0);
}

TEST(PlayRange, PlayToEndsAtTheSelectionEndOrElseAtTheInsertionMark) {
    WaveHandler doc;
    EXPECT_EQ(doc.selectionEndOrMark(), -1);
    doc.selectionStart = 700;
    EXPECT_EQ(doc.selectionEndOrMark(), 700);
    doc.selectionEnd = 900;
    EXPECT_EQ(doc.selectionEndOrMark(), 900);
}

// --------------------------------------------------------------- the view

#include <FL/Fl.H>
#include <FL/fl_draw.H>
#include <FL/x.H>

#include "WavePanel.h"

// Draws into an offscreen picture and keeps every trace line the drawing prints.
class ViewDrawing : public ::testing::Test {
protected:
    WaveHandler doc;
    testaudio::CoutCapture trace;
    Fl_Offscreen picture = 0;

    void SetUp() override {
        ASSERT_NE(getenv("DISPLAY"), nullptr) << "run under xvfb-run";
        fl_open_display();
        picture = fl_create_offscreen(752, 432);
    }
    void TearDown() override { fl_delete_offscreen(picture); }
    std::string draw(void (WaveHandler::*layer)(int, int, int, int, int), int offset = 0) {
        trace.clear();
        fl_begin_offscreen(picture);
        (doc.*layer)(0, 0, 752, 432, offset);
        fl_end_offscreen();
        return trace.text();
    }
    // An analysis whose arrays the test sets by hand: no pitch anywhere.
    void unpitchedAnalysis(int frames) {
        doc.sfinfoin->frames = frames;
        doc.sfinfoin->samplerate = RATE;
        samples.assign(frames + 1024, 0.0f);
        doc.analyzeWave = new WaveAnalysis(samples.data(), frames, RATE, 1024, &doc);
        for (int i = 0; i < frames; i++) {
            doc.analyzeWave->frequency[i] = -1.0f;
            doc.analyzeWave->midiValue[i] = -1.0;
            doc.analyzeWave->correctedMidiValue[i] = -1.0;
        }
    }
    void pitchAt(int sample, double midi) {
        doc.analyzeWave->frequency[sample] = static_cast<float>(WaveAnalysis::midiToFrequency(midi));
        doc.analyzeWave->midiValue[sample] = midi;
        doc.analyzeWave->correctedMidiValue[sample] = midi;
    }
    std::vector<float> samples;
};

static int countLines(const std::string& text, const std::string& line) {
    int n = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) n++;
    return n;
}

TEST(ViewMapping, RowsNamesAndKeys) {
    WaveHandler doc;
    EXPECT_EQ(doc.midiToPos(40, 432), 432);
    EXPECT_EQ(doc.midiToPos(41, 432), 420);
    EXPECT_EQ(doc.midiToPos(40.5, 432), 426);
    // The band drawn for i covers the row of i - 1: 61 paints C3 white, 62 paints C#3 black.
    EXPECT_FALSE(doc.isBlackKey(61));
    EXPECT_TRUE(doc.isBlackKey(62));
    EXPECT_FALSE(doc.isBlackKey(0)) << "remainder 11 is never black";
    EXPECT_FALSE(doc.isBlackKey(-13)) << "negative remainders are never black";
    for (auto [midi, name] : {std::pair{60, "C3"}, {69, "A3"}, {41, "F1"}, {127, "G8"}, {-1, "?"}}) {
        std::string* text = doc.midiNoteName(midi);
        EXPECT_EQ(*text, name) << midi;
        delete text;
    }
}

TEST_F(ViewDrawing, PolylinePrintsItsCountThenEveryPointOnOneLine) {
    int xs[] = {1, 3, 5}, ys[] = {2, 4, 6};
    fl_begin_offscreen(picture);
    doc.drawPolyline(xs, ys, 0);
    EXPECT_EQ(trace.text(), "");
    doc.drawPolyline(xs, ys, 1);
    EXPECT_EQ(trace.text(), "polyline1\n");
    trace.clear();
    doc.drawPolyline(xs, ys, 3);
    fl_end_offscreen();
    EXPECT_EQ(trace.text(), "polyline3\n(1,2)(3,4)(5,6)\n");
}

TEST_F(ViewDrawing, SelectionLineAndNoSpectrumWithoutAudio) {
    EXPECT_EQ(draw(&WaveHandler::render_selection), "") << "nothing selected, nothing printed";
    doc.selectionStart = 5120;
    EXPECT_EQ(draw(&WaveHandler::render_selection, 1024), "selectionStart=5120off=1024zoom=512\n");
}

TEST_F(ViewDrawing, SpectrumOfASelectionNearTheEndReadsZerosPastTheLastSample) {
    loadTone(doc, 3000, "view_spectrum_end");
    doc.selectionStart = 2990;  // 10 samples of tone, then nothing
    doc.selectionEnd = 5000;
    std::string printed = draw(&WaveHandler::render_selection);
    EXPECT_NE(printed.find("polyline512\n"), std::string::npos);
    doc.selectionStart = -4000;  // before the file: all zeros, a flat line on the bottom edge
    printed = draw(&WaveHandler::render_selection);
    EXPECT_NE(printed.find("polyline512\n(40,431)(41,431)"), std::string::npos);
}

// The points of the last polyline the trace printed.
static std::vector<std::pair<int, int>> lastPolyline(const std::string& trace) {
    std::vector<std::pair<int, int>> points;
    size_t at = trace.rfind("polyline");
    at = trace.find('\n', at);
    int x, y, used;
    while (at != std::string::npos && std::sscanf(trace.c_str() + at + 1, "(%d,%d)%n", &x, &y, &used) == 2) {
        points.push_back({x, y});
        at += used;
    }
    return points;
}

TEST_F(ViewDrawing, TheSpectrumRisesAThirdOfTheViewAtItsPeakAndItsLabelReadsOnTheSelection) {
    loadTone(doc, RATE, "view_spectrum_peak");  // 441 Hz: bin 10 of 1024 at 44.1 kHz
    doc.selectionStart = 1000;
    doc.selectionEnd = 20000;
    std::vector<std::pair<int, int>> points = lastPolyline(draw(&WaveHandler::render_selection));
    ASSERT_EQ(points.size(), 512u);
    auto peak = std::min_element(points.begin(), points.end(), [](auto a, auto b) { return a.second < b.second; });
    EXPECT_EQ(*peak, std::make_pair(40 + 10, 431 - 432 / 3)) << "the strongest bin, a third of the height up";
    for (auto [x, y] : points) EXPECT_TRUE(x >= 40 && y <= 431) << x << "," << y;
    // Light behind the black text, over the selection's dark band.
    fl_begin_offscreen(picture);
    std::unique_ptr<uchar[]> label(fl_read_image(nullptr, 44, 431 - 144 - 18, 100, 14));
    fl_end_offscreen();
    int light = 0, dark = 0;
    for (int i = 0; i < 100 * 14; i++) {
        int sum = label[3 * i] + label[3 * i + 1] + label[3 * i + 2];
        light += sum > 600;
        dark += sum < 100 && label[3 * i + 2] < 60;
    }
    EXPECT_GT(light, 100 * 14 / 2) << "the label's box";
    EXPECT_GT(dark, 40) << "the label's letters";
}

TEST_F(ViewDrawing, TheRulerLabelsSecondsWhereTheyFallFollowingZoomAndScroll) {
    loadTone(doc, 5 * RATE, "view_ruler");
    // At 512 samples a pixel a second is 86.13 columns; the ticks go on to the recording's end.
    std::string printed = draw(&WaveHandler::render_ruler);
    EXPECT_NE(printed.find("ruler: 0 s at 40 1 s at 126 2 s at 212 3 s at 298 4 s at 384 5 s at 470\n"),
              std::string::npos) << printed;
    printed = draw(&WaveHandler::render_ruler, 86 * 512);  // 86 columns: a hair before 1 s
    EXPECT_NE(printed.find("ruler: 1 s at 40 2 s at 126 3 s at 212 4 s at 298 5 s at 384\n"), std::string::npos)
        << printed;
    // Four times finer, ticks every half second; scrolled by 86 columns.
    doc.zoom = 128.0f;
    printed = draw(&WaveHandler::render_ruler, 86 * 128);
    EXPECT_NE(printed.find("ruler: 0.5 s at 126 1.0 s at 298 1.5 s at 470 2.0 s at 643\n"), std::string::npos)
        << printed;
    fl_begin_offscreen(picture);
    std::unique_ptr<uchar[]> row(fl_read_image(nullptr, 0, ViewGeometry::RULER_HEIGHT - 2, 752, 1));
    fl_end_offscreen();
    for (int x : {126, 298, 470, 643}) EXPECT_EQ(row[3 * x] + row[3 * x + 1] + row[3 * x + 2], 0) << "tick at " << x;
}

TEST_F(ViewDrawing, CurvesStopWhereTheSamplesEnd) {
    unpitchedAnalysis(100000);
    // Column c shows sample (c - 39) * 512: 195 columns lie inside 100000 samples.
    EXPECT_EQ(countLines(draw(&WaveHandler::render_waves), "freqWidth="), 195);
}

TEST_F(ViewDrawing, ALoneUsableColumnDrawsADotInEachColourAndUnusableOnesNothing) {
    unpitchedAnalysis(512 * 10);
    pitchAt(1024, 60.0);  // column 41 only
    std::string printed = draw(&WaveHandler::render_waves);
    EXPECT_EQ(countLines(printed, "polyline"), 2);
    EXPECT_EQ(countLines(printed, "polyline1\n"), 2);
    EXPECT_NE(printed.find("yFreqPos[freqWidth]=192\nyFixedFreqPos[freqWidth]=192\nmidivalue [1024] = 60\n"),
              std::string::npos);
}

TEST_F(ViewDrawing, ARunEndsBeforeTheColumnThatBreaksIt) {
    unpitchedAnalysis(512 * 10);
    for (int c = 40; c <= 44; c++) pitchAt((c - 39) * 512, 60.0 + 0.5 * (c - 40));
    std::string printed = draw(&WaveHandler::render_waves);
    // Columns 40 to 44 are usable and column 45 breaks the run: five points, drawn red then green.
    std::string run = "polyline5\n(40,192)(41,186)(42,180)(43,174)(44,168)\n";
    EXPECT_EQ(countLines(printed, run), 2) << printed.substr(0, 600);
    EXPECT_EQ(countLines(printed, "polyline"), 2);
}

TEST_F(ViewDrawing, PitchOutsideTheRollBreaksTheRun) {
    unpitchedAnalysis(512 * 10);
    for (int c = 40; c <= 44; c++) pitchAt((c - 39) * 512, 60.0);
    pitchAt(3 * 512, 130.0);  // column 42: above MIDI 127
    std::string printed = draw(&WaveHandler::render_waves);
    EXPECT_EQ(countLines(printed, "polyline2\n(40,192)(41,192)\n"), 2) << printed.substr(0, 600);
    EXPECT_EQ(countLines(printed, "polyline2\n(43,192)(44,192)\n"), 2) << "a new run after the break";
}

TEST_F(ViewDrawing, NoCorrectedPitchBreaksTheRunInsteadOfDiving) {
    unpitchedAnalysis(512 * 10);
    for (int c = 40; c <= 44; c++) pitchAt((c - 39) * 512, 60.0);
    doc.analyzeWave->correctedMidiValue[3 * 512] = 0.0;  // column 42: a note's start before any correction
    std::string printed = draw(&WaveHandler::render_waves);
    EXPECT_EQ(countLines(printed, "polyline2\n(40,192)(41,192)\n"), 2) << printed.substr(0, 600);
    EXPECT_EQ(countLines(printed, "polyline2\n(43,192)(44,192)\n"), 2);
}

// ------------------------------------------------ the longest file, at its end

#include <climits>

#include "ViewGeometry.h"

TEST(ViewMapping, ColumnsOfTheLastFramesOfTheLongestFileAtTheFinestZoom) {
    using namespace ViewGeometry;
    const double finest = WaveHandler::MIN_ZOOM;
    const long long last = INT_MAX, scroll = INT_MAX - 700;
    EXPECT_EQ(sampleToColumn(last, finest), 16 * last);
    EXPECT_EQ(columnsScrolled(scroll, finest), 16 * scroll);
    EXPECT_EQ(scrolledColumn(last, finest, scroll), 700 * 16);
    // The sample under a pointer column, and back.
    EXPECT_EQ(columnToSample(700 * 16, finest) + scroll, last);
    EXPECT_EQ(scrollKeeping(last, 700 * 16, finest), scroll);
    // At the coarsest zoom a wide window still maps inside 64 bits.
    EXPECT_EQ(columnToSample(4000, WaveHandler::MAX_ZOOM) + scroll, scroll + 4000LL * 65536);
    EXPECT_EQ(toPixel(16 * last), PIXEL_LIMIT);
    EXPECT_EQ(toPixel(-16 * last), -PIXEL_LIMIT);
    EXPECT_EQ(toSampleIndex(scroll + 4000LL * 65536), INT_MAX);
}

TEST_F(ViewDrawing, NotesAtTheEndOfTheLongestFileAreDrawnAndHitWhereTheyAre) {
    unpitchedAnalysis(4096);
    doc.sfinfoin->frames = INT_MAX;  // only the mapping reads it here; no sample is drawn
    WaveSegment* note = new WaveSegment(INT_MAX - 1600, INT_MAX - 1, 60, nullptr, 0);
    doc.analyzeWave->segments->push_back(note);
    doc.zoom = static_cast<float>(WaveHandler::MIN_ZOOM);
    int scroll = INT_MAX - 1610;  // the note starts 160 columns into the wave area
    draw(&WaveHandler::render_segments, scroll);
    EXPECT_EQ(note->x1, 40 + 160);
    EXPECT_EQ(note->x2, ViewGeometry::PIXEL_LIMIT) << "1599 samples are 25584 columns: off screen";
    int y = doc.midiToPos(60, 432);
    EXPECT_EQ(doc.hitSegment(200, y, 0, 0, 432, scroll), nullptr) << "the box's own edge";
    EXPECT_EQ(doc.hitSegment(201, y, 0, 0, 432, scroll), note);
    EXPECT_EQ(doc.hitSegment(751, y, 0, 0, 432, scroll), note);
    EXPECT_EQ(doc.hitSegment(201, y - 7, 0, 0, 432, scroll), nullptr);
}
