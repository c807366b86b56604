#include "WaveSegment.h"

#include <FL/Enumerations.H>
#include <FL/fl_draw.H>

#include <algorithm>
#include <cmath>

#include "ViewGeometry.h"

namespace {

const int HALF_ROW = ViewGeometry::SEMITONE_ROW / 2;
const int ROW_HEIGHT = ViewGeometry::SEMITONE_ROW;

// Truncates toward zero; a zero zoom or a wild value must not become undefined behaviour.
long long truncateColumns(double value) {
    if (std::isnan(value)) return 0;
    const double limit = 1e15;
    return static_cast<long long>(std::clamp(value, -limit, limit));
}

const int LANES = 8;

// The larger of a sample's height and `height`; a NaN never is.
float higher(float sample, float height) {
    float v = std::fabs(sample);
    return v > height ? v : height;
}

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
      startSample(startSample),
      heldMidi(midiNumber) {
    if (!samples) return;
    // The range always lies inside the buffer it was built from; the clamp only keeps a
    // misuse from reading past it.
    int first = startSample < 0 ? 0 : startSample;
    int end = endSample < sampleslen ? endSample + 1 : sampleslen;
    // Lanes side by side, which the compiler keeps in one vector register.
    float lanes[LANES];
    std::fill(lanes, lanes + LANES, maxHeight);
    int i = first;
    for (; i + LANES <= end; i += LANES) {
        for (int k = 0; k < LANES; k++) lanes[k] = higher(samples[i + k], lanes[k]);
    }
    for (; i < end; i++) lanes[0] = higher(samples[i], lanes[0]);
    maxHeight = *std::max_element(lanes, lanes + LANES);
}

void WaveSegment::calcScreenPosition(long long x, int y, double zoom, WaveHandler* /*wave*/) {
    x1 = ViewGeometry::toPixel(x);
    y1 = y - HALF_ROW;
    x2 = ViewGeometry::toPixel(x + truncateColumns((endSample - startSample) / zoom));
    y2 = y1 + ROW_HEIGHT;
}

// The box is laid out where it is drawn, scrolled, so its columns stay in reach of an int.
void WaveSegment::render(long long x, int y, double zoom, WaveHandler* wave, float* /*samples*/, int /*sampleslen*/,
                         int scroll) {
    calcScreenPosition(truncateColumns(x - scroll / zoom), y, zoom, wave);
    int width = x2 + 1 - x1;
    int height = y2 + 1 - y1;
    fl_color(isSelected ? fl_rgb_color(182, 25, 117) : fl_rgb_color(240, 212, 134));
    fl_rectf(x1, y1, width, height);
    fl_color(fl_rgb_color(127, 0, 0));
    fl_rect(x1, y1 + dragY, width, height);
}
