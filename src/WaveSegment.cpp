#include "WaveSegment.h"

#include <FL/Enumerations.H>
#include <FL/fl_draw.H>

#include <climits>
#include <cmath>

#include "ViewGeometry.h"

namespace {

const int HALF_ROW = ViewGeometry::SEMITONE_ROW / 2;
const int ROW_HEIGHT = ViewGeometry::SEMITONE_ROW;

}  // namespace

WaveSegment::WaveSegment(int startSample, int endSample, int midiNumber, float* samples, int sampleslen)
    : maxHeight(1.0f),
      overrideScale(false),
      selected(false),
      isSelected(false),
      x1(0),
      y1(0),
      x2(0),
      y2(0),
      dragY(0),
      endSample(endSample),
      midiNumber(midiNumber),
      startSample(startSample) {
    if (!samples) return;
    // The range always lies inside the buffer it was built from; the clamp only keeps a
    // misuse from reading past it.
    int first = startSample < 0 ? 0 : startSample;
    int last = endSample < sampleslen ? endSample : sampleslen - 1;
    for (int i = first; i <= last; i++) {
        float v = samples[i];
        if (v < 0) v = -v;
        if (v > maxHeight) maxHeight = v;
    }
}

void WaveSegment::calcScreenPosition(int x, int y, double zoom, WaveHandler* /*wave*/) {
    x1 = x;
    y1 = y - HALF_ROW;
    x2 = x1 + truncateToInt((endSample - startSample) / zoom, INT_MIN);
    y2 = y1 + ROW_HEIGHT;
}

void WaveSegment::render(int x, int y, double zoom, WaveHandler* wave, float* /*samples*/, int /*sampleslen*/,
                         int scroll) {
    calcScreenPosition(x, y, zoom, wave);
    int left = truncateToInt(x1 - scroll / zoom, INT_MIN);
    int width = x2 + 1 - x1;
    int height = y2 + 1 - y1;
    fl_color(isSelected ? fl_rgb_color(182, 25, 117) : fl_rgb_color(240, 212, 134));
    fl_rectf(left, y1, width, height);
    fl_color(fl_rgb_color(127, 0, 0));
    fl_rect(left, y1 + dragY, width, height);
}
