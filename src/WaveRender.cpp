#include <FL/fl_draw.H>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <vector>

#include "FastFourierTransform.h"
#include "ViewGeometry.h"
#include "WaveHandler.h"
#include "convertlib.h"

// The drawing members of the document: the piano roll, the selection with its
// spectrum, the note boxes, the pitch curves, the time ruler, the read-out of a
// note and the play-head.

using std::cout;
using namespace ViewGeometry;

void WaveHandler::render(int xpos, int ypos, int width, int height, int waveOffset) {
    render_pitchscale(xpos, ypos, width, height, waveOffset);
    render_selection(xpos, ypos, width, height, waveOffset);
    // Scrolled in time, boxes start left of the wave area: the names stay readable.
    fl_push_clip(xpos + LABEL_MARGIN, ypos, width - LABEL_MARGIN, height);
    render_segments(xpos, ypos, width, height, waveOffset);
    render_waves(xpos, ypos, width, height, waveOffset);
    fl_pop_clip();
    render_ruler(xpos, ypos, width, height, waveOffset);
}

int WaveHandler::midiToPos(double midi, int height) { return pitchToRow(midi, height, bottomMidi); }

// Answers for the note one below: the band drawn for i covers the row of i - 1.
bool WaveHandler::isBlackKey(int midiNote) {
    int scaleNumber = (midiNote + 11) % 12;
    if (scaleNumber < 0 || scaleNumber > 10) return false;
    return (0x54a >> scaleNumber) & 1;
}

// The caller owns the returned name, as it owns the conversion library's strings.
string* WaveHandler::midiNoteName(int i) {
    static const char* const NAMES[] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
    if (i < 0) return new string("?");
    int octave = i / 12 - 2;
    std::unique_ptr<string> number(Convert::int32tostr(static_cast<unsigned long>(std::abs(octave))));
    return new string(string(NAMES[i % 12]) + (octave < 0 ? "-" : "") + *number);
}

void WaveHandler::render_pitchscale(int xpos, int ypos, int width, int height, int) {
    fl_font(fl_font(), 12);
    for (int i = 127; i >= 0; i--) {
        int rowTop = midiToPos(i - 0.5, height);
        if (rowTop < 0) continue;
        int y = ypos + rowTop;
        fl_color(isBlackKey(i) ? fl_rgb_color(212, 212, 255) : fl_rgb_color(239, 239, 255));
        fl_rectf(xpos, y, width, SEMITONE_ROW);
        fl_color(fl_rgb_color(127, 127, 255));
        fl_line(xpos, y, xpos + width, y);
        if (y >= ypos + 8 && y <= ypos + height) {
            std::unique_ptr<string> name(midiNoteName(i));
            fl_color(FL_BLACK);
            fl_draw(name->c_str(), xpos + 5, y);
        }
    }
}

// The 1024 samples from the selection's start; zeros where the file has none.
static void copySpectrumWindow(const float* samples, int frames, int start, float* window) {
    for (int k = 0; k < 1024; k++) {
        long long at = (long long)start + k;
        window[k] = (at >= 0 && at < frames) ? samples[at] : 0.0f;
    }
}

// The spectrum's strongest bin reaches this share of the canvas's height above its bottom edge.
static const int SPECTRUM_HEIGHT_DIVISOR = 3;

// Black on a light box, so the label reads on the selection's dark band too.
static void drawLabel(const string& text, int x, int baseline) {
    int w = static_cast<int>(fl_width(text.c_str())) + 8, h = fl_height() + 2;
    fl_color(fl_rgb_color(255, 255, 240));
    fl_rectf(x, baseline - h + fl_descent() + 1, w, h);
    fl_color(FL_BLACK);
    fl_draw(text.c_str(), x + 4, baseline);
}

void WaveHandler::render_selection(int xpos, int ypos, int width, int height, int waveOffset) {
    if (selectionStart == -1) return;
    cout << "selectionStart=" << selectionStart << "off=" << waveOffset << "zoom=" << static_cast<double>(zoom)
         << "\n";
    long long areaLeft = xpos + LABEL_MARGIN;
    int start = toPixel(areaLeft + scrolledColumn(selectionStart, zoom, waveOffset));
    int end = selectionEnd == -1 ? start : toPixel(areaLeft + scrolledColumn(selectionEnd, zoom, waveOffset));
    fl_color(fl_rgb_color(0, 0, 127));
    fl_push_clip(xpos + LABEL_MARGIN, ypos, width - LABEL_MARGIN, height);
    fl_rectf(start, ypos, end + 1 - start, height);
    fl_pop_clip();
    if (frameCount() == 0) return;
    // The transform takes and returns malloc'ed buffers; these hold them until the end.
    std::unique_ptr<float, decltype(&free)> window(static_cast<float*>(malloc(1024 * sizeof(float))), &free);
    if (!window) return;
    copySpectrumWindow(monoSamples(), frameCount(), selectionStart, window.get());
    FastFourierTransform fft;
    std::unique_ptr<float, decltype(&free)> magnitudes(fft.fftMag(window.get(), 1024), &free);
    const float* mag = magnitudes.get();
    int maxAt = 0;
    for (int k = 1; k < 512; k++)
        if (mag[k] > mag[maxAt]) maxAt = k;
    // Rising from the bottom edge, scaled so the strongest bin always shows.
    int baseline = ypos + height - 1, tallest = height / SPECTRUM_HEIGHT_DIVISOR;
    double perMagnitude = mag[maxAt] > 0.0f ? tallest / static_cast<double>(mag[maxAt]) : 0.0;
    std::vector<int> xs(512), ys(512);
    for (int k = 0; k < 512; k++) {
        xs[k] = xpos + LABEL_MARGIN + k;
        ys[k] = baseline - static_cast<int>(std::lround(mag[k] * perMagnitude));
    }
    fl_color(fl_rgb_color(255, 112, 0));
    drawPolyline(xs.data(), ys.data(), 512);
    float f = maxAt * static_cast<float>(sfinfoin->samplerate) * 0.5f * 0.001953125f;
    std::unique_ptr<string> number(Convert::int2str(static_cast<int>(f)));
    fl_font(fl_font(), 12);
    drawLabel("Frequency=" + *number + "Hz", xpos + LABEL_MARGIN + 4, baseline - tallest - 6);
}

void WaveHandler::render_segments(int xpos, int ypos, int, int height, int waveOffset) {
    if (!analyzeWave || !analyzeWave->segments) return;
    for (WaveSegment* segment : *analyzeWave->segments) {
        long long x = xpos + sampleToColumn(segment->startSample, zoom) + LABEL_MARGIN;
        int y = ypos + midiToPos(segment->midiNumber, height);
        segment->render(x, y, zoom, this, modifiedSamples, frameCount(), waveOffset);
    }
}

// Ends the current run of pitch points: the point just added is dropped, the
// rest is drawn as a red detected and a green corrected polyline.
void WaveHandler::flushPitchRun(int* xs, int* detected, int* corrected, int& freqWidth) {
    if (freqWidth > 0) freqWidth--;
    if (freqWidth > 0) {
        fl_color(FL_RED);
        drawPolyline(xs, detected, freqWidth);
        fl_color(FL_GREEN);
        drawPolyline(xs, corrected, freqWidth);
    }
    freqWidth = 0;
}

// Below this the analysis has no pitch for the sample, whatever number it holds.
static const double LOWEST_PITCH = 5.0;

int WaveHandler::pitchPosition(double midi, int ypos, int height, bool& breakwave) {
    if (midi < LOWEST_PITCH || midi > 127) breakwave = true;
    int mpos = midiToPos(midi, height);
    if (mpos <= 0) breakwave = true;
    return mpos + ypos;
}

void WaveHandler::render_waves(int xpos, int ypos, int width, int height, int waveOffset) {
    if (!analyzeWave || !analyzeWave->midiValue || width <= 0) return;
    std::vector<int> xs(width, 0), detected(width, 0), corrected(width, 0);
    int freqWidth = 0;
    int frames = frameCount();
    for (int c = LABEL_MARGIN; c < LABEL_MARGIN + width; c++) {
        // Each column from the scroll itself: added up in floats, a fine zoom
        // stops moving at all once the scroll passes 2^24.
        long long at = waveOffset + static_cast<long long>((c - LABEL_MARGIN + 1) * static_cast<double>(zoom));
        if (at >= frames) {
            flushPitchRun(xs.data(), detected.data(), corrected.data(), freqWidth);
            return;
        }
        int i = static_cast<int>(at);
        cout << "freqWidth=" << freqWidth << "\n";
        bool breakwave = false;
        xs[freqWidth] = xpos + c;
        detected[freqWidth] = pitchPosition(analyzeWave->midiValue[i], ypos, height, breakwave);
        corrected[freqWidth] = pitchPosition(analyzeWave->correctedMidiValue[i], ypos, height, breakwave);
        if (detected[freqWidth] < 0 || corrected[freqWidth] < 0) breakwave = true;
        cout << "yFreqPos[freqWidth]=" << detected[freqWidth] << "\n";
        cout << "yFixedFreqPos[freqWidth]=" << corrected[freqWidth] << "\n";
        cout << "midivalue [" << i << "] = " << analyzeWave->midiValue[i] << "\n";
        freqWidth++;
        if (analyzeWave->frequency[i] < 20.0f || breakwave || c == LABEL_MARGIN + width - 1)
            flushPitchRun(xs.data(), detected.data(), corrected.data(), freqWidth);
    }
}

void WaveHandler::drawPolyline(int* x, int* y, int size) {
    if (size < 1) return;
    fl_line(x[0], y[0], x[0], y[0]);
    cout << "polyline" << size << "\n";
    if (size == 1) return;
    cout << "(" << x[0] << "," << y[0] << ")";
    for (int k = 1; k < size; k++) {
        cout << "(" << x[k] << "," << y[k] << ")";
        fl_line(x[k - 1], y[k - 1], x[k], y[k]);
    }
    cout << "\n";
}

// "12.5 s": as many decimals as the tick step has.
static string secondsLabel(double seconds, double step) {
    int decimals = std::max(0, static_cast<int>(-std::floor(std::log10(step) + 1e-9)));
    char text[32];
    snprintf(text, sizeof text, "%.*f s", decimals, seconds);
    return text;
}

// Seconds from the recording's start along the top of the canvas, labelled
// ticks following zoom and scroll up to the recording's end. The trace names
// each label with its column.
void WaveHandler::render_ruler(int xpos, int ypos, int width, int, int waveOffset) {
    fl_color(fl_rgb_color(224, 224, 232));
    fl_rectf(xpos, ypos, width, RULER_HEIGHT);
    fl_color(fl_rgb_color(127, 127, 255));
    fl_line(xpos, ypos + RULER_HEIGHT - 1, xpos + width, ypos + RULER_HEIGHT - 1);
    if (frameCount() == 0 || sampleRate() <= 0) return;
    double step = tickSeconds(zoom, sampleRate());
    long long areaLeft = xpos + LABEL_MARGIN;
    fl_font(fl_font(), 12);
    cout << "ruler:";
    for (long long k = static_cast<long long>(std::ceil(waveOffset / (step * sampleRate())));; k++) {
        long long sample = std::llround(k * step * sampleRate());
        long long x = areaLeft + scrolledColumn(sample, zoom, waveOffset);
        if (sample > frameCount() || x >= xpos + width) break;
        string label = secondsLabel(k * step, step);
        cout << " " << label << " at " << x;
        fl_color(FL_BLACK);
        fl_line(static_cast<int>(x), ypos + RULER_HEIGHT / 2, static_cast<int>(x), ypos + RULER_HEIGHT - 1);
        fl_draw(label.c_str(), static_cast<int>(x) + 3, ypos + RULER_HEIGHT - 5);
    }
    cout << "\n";
}

// A pitch as a note name and, when it is off the note, cents: "C#4 +30 cents".
string WaveHandler::pitchName(double midi) {
    int note = static_cast<int>(std::lround(midi));
    int cents = static_cast<int>(std::lround((midi - note) * 100.0));
    std::unique_ptr<string> name(midiNoteName(note));
    if (cents == 0) return *name;
    char offset[24];
    snprintf(offset, sizeof offset, " %+d cents", cents);
    return *name + offset;
}

string WaveHandler::noteReadout(const WaveSegment& segment) {
    double sung = segment.heldMidi >= WaveAnalysis::NO_PITCH_BELOW ? segment.heldMidi : segment.midiNumber;
    double target = analyzeWave ? analyzeWave->targetOf(segment) : -1.0;
    string corrected = target >= WaveAnalysis::NO_PITCH_BELOW ? "corrected to " + pitchName(target) : "not corrected";
    return "Sung " + pitchName(sung) + ", " + corrected;
}

// At the ruler's right end, where it neither covers a note nor moves with the pointer.
void WaveHandler::render_readout(const WaveSegment& segment, int xpos, int ypos, int width) {
    string text = noteReadout(segment);
    fl_font(fl_font(), 12);
    int textWidth = static_cast<int>(fl_width(text.c_str())) + 8;
    drawLabel(text, std::max(xpos + LABEL_MARGIN, xpos + width - textWidth - 2), ypos + RULER_HEIGHT - 5);
}

void WaveHandler::render_playhead(int xpos, int ypos, int width, int height, int waveOffset) {
    int head = audioPlayer ? audioPlayer->headFrame() : -1;
    if (head < 0) return;
    long long x = xpos + LABEL_MARGIN + scrolledColumn(head, zoom, waveOffset);
    if (x < xpos + LABEL_MARGIN || x >= xpos + width) return;
    fl_color(fl_rgb_color(0, 140, 140));
    fl_rectf(static_cast<int>(x), ypos, 1, height);
}
