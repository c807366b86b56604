#ifndef VIEWGEOMETRY_H
#define VIEWGEOMETRY_H

#include <cmath>

// Where the wave view puts a pitch and a sample. The drawing, the hit test,
// the note boxes and the pointer gestures all map through these, so the
// piano roll and what the pointer picks always agree.
namespace ViewGeometry {

// The note names stand in a column this wide before the wave area.
const int LABEL_MARGIN = 40;
// Pixels per semitone row; also the height of a note box.
const int SEMITONE_ROW = 12;
// The note whose centre line lies on the canvas's bottom edge.
const int BOTTOM_MIDI = 40;

// Offset from the canvas top of a pitch's centre line; pitch rises upward.
inline int pitchToRow(double midi, int height) {
    return height - static_cast<int>((midi - BOTTOM_MIDI) * SEMITONE_ROW);
}

// Column of a sample from the start of the wave area, before scrolling.
inline int sampleToColumn(int sample, float zoom) { return static_cast<int>(sample / zoom); }

// Column of a sample from the start of the wave area, scrolled so that
// sample `scroll` stands at the area's left edge.
inline int scrolledColumn(int sample, float zoom, int scroll) {
    return static_cast<int>(sampleToColumn(sample, zoom) - scroll / zoom);
}

// Samples covered by a number of columns; the sample under a column of the
// wave area is columnToSample(column, zoom) plus the scroll.
inline int columnToSample(int column, float zoom) { return static_cast<int>(zoom * column); }

// Columns the view is scrolled by: boxes drawn shifted left by the scroll
// meet a pointer column carried this far the other way.
inline int columnsScrolled(int scroll, float zoom) { return static_cast<int>(std::ceil(scroll / zoom)); }

// Whole semitones a vertical drag of dy pixels covers; the remainder is dropped.
inline int semitonesIn(int dy) { return dy / SEMITONE_ROW; }

}  // namespace ViewGeometry

#endif
