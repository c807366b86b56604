#ifndef VIEWGEOMETRY_H
#define VIEWGEOMETRY_H

#include <algorithm>
#include <climits>
#include <cmath>

// Where the wave view puts a pitch and a sample. The drawing, the hit test,
// the note boxes and the pointer gestures all map through these, so the
// piano roll and what the pointer picks always agree.
//
// Columns are 64-bit: at 1/16 sample per pixel the last frame of the longest
// file lies 2^35 columns in, far past what an int holds.
namespace ViewGeometry {

// The note names stand in a column this wide before the wave area.
const int LABEL_MARGIN = 40;
// Pixels per semitone row; also the height of a note box.
const int SEMITONE_ROW = 12;
// The note whose centre line lies on the canvas's bottom edge until the user scrolls.
const int BOTTOM_MIDI = 40;
// The highest note the piano roll has a row for.
const int TOP_MIDI = 127;
// Far enough off screen to stand for "off screen", near enough that the X
// server's 16-bit coordinates still draw it.
const long long PIXEL_LIMIT = 16000;
// The time ruler covers this much of the canvas's top: the rows under it do not count as shown.
const int RULER_HEIGHT = 18;
// Labelled ticks of the ruler stand at least this far apart, so their labels never meet.
const int TICK_SPACING = 80;

// Offset from the canvas top of a pitch's centre line; pitch rises upward.
inline int pitchToRow(double midi, int height, int bottomMidi = BOTTOM_MIDI) {
    return height - static_cast<int>((midi - bottomMidi) * SEMITONE_ROW);
}

// Notes whose whole row shows below the ruler on a canvas of this height, counted up from the bottom note.
inline int rowsShown(int height) { return std::max(0, (height - RULER_HEIGHT - SEMITONE_ROW / 2) / SEMITONE_ROW); }

// The highest bottom note the vertical scroll reaches: the row of MIDI 127
// just in view, and never below the starting view.
inline int highestBottomMidi(int height) { return std::max(BOTTOM_MIDI, TOP_MIDI + 1 - rowsShown(height)); }

// Column of a sample from the start of the wave area, before scrolling.
inline long long sampleToColumn(long long sample, double zoom) { return static_cast<long long>(sample / zoom); }

// Column of a sample from the start of the wave area, scrolled so that
// sample `scroll` stands at the area's left edge.
inline long long scrolledColumn(long long sample, double zoom, long long scroll) {
    return static_cast<long long>(sampleToColumn(sample, zoom) - scroll / zoom);
}

// Samples covered by a number of columns; the sample under a column of the
// wave area is columnToSample(column, zoom) plus the scroll.
inline long long columnToSample(long long column, double zoom) { return static_cast<long long>(zoom * column); }

// Columns the view is scrolled by: boxes drawn shifted left by the scroll
// meet a pointer column carried this far the other way.
inline long long columnsScrolled(long long scroll, double zoom) {
    return static_cast<long long>(std::ceil(scroll / zoom));
}

// The scroll that keeps `sample` under `column` at a new zoom.
inline long long scrollKeeping(long long sample, long long column, double zoom) {
    return sample - columnToSample(column, zoom);
}

// A pixel coordinate the toolkit can take; off-screen places stay off screen.
inline int toPixel(long long x) { return static_cast<int>(std::clamp(x, -PIXEL_LIMIT, PIXEL_LIMIT)); }

// A sample index as the document stores it (an int).
inline int toSampleIndex(long long sample) {
    return static_cast<int>(std::clamp(sample, static_cast<long long>(INT_MIN), static_cast<long long>(INT_MAX)));
}

// Whole semitones a vertical drag of dy pixels covers; the remainder is dropped.
inline int semitonesIn(int dy) { return dy / SEMITONE_ROW; }

// Seconds between labelled ticks of the time ruler: the shortest of 1, 2 or 5
// times a power of ten that keeps ticks TICK_SPACING columns apart.
inline double tickSeconds(double zoom, int sampleRate) {
    double least = TICK_SPACING * zoom / sampleRate;
    double decade = std::pow(10.0, std::floor(std::log10(least)));
    for (double multiple : {1.0, 2.0, 5.0})
        if (multiple * decade >= least) return multiple * decade;
    return 10.0 * decade;
}

}  // namespace ViewGeometry

#endif
