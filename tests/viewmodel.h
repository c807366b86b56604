#ifndef VIEWMODEL_H
#define VIEWMODEL_H

// The same file loaded into a document inside the test, so a test knows where
// the real window draws every note box and curve point.

#include <string>

#include "WaveHandler.h"
#include "testaudio.h"

struct ViewModel {
    // The main window's canvas at its design size.
    static constexpr int CANVAS_X = 0, CANVAS_Y = 50, CANVAS_W = 752, CANVAS_H = 432;

    WaveHandler document;

    explicit ViewModel(std::string path) {
        testaudio::CoutCapture quiet;
        document.loadWave(&path);
    }
    WaveSegment& segment(int n) { return *(*document.analyzeWave->segments)[n]; }
    int segmentCount() { return static_cast<int>(document.analyzeWave->segments->size()); }
    // Window column in the middle of a note's box, with the view unscrolled at zoom 512.
    int boxMiddleX(int n) {
        WaveSegment& s = segment(n);
        int x1 = static_cast<int>(s.startSample / 512.0f);
        int x2 = x1 + static_cast<int>((s.endSample - s.startSample) / 512.0);
        return CANVAS_X + 40 + (x1 + x2) / 2;
    }
    int rowY(double midi) { return CANVAS_Y + document.midiToPos(midi, CANVAS_H); }
    // The sample the curves show at window column c (unscrolled, zoom 512).
    static int sampleAtColumn(int c) { return (c - CANVAS_X - 39) * 512; }
    int correctedY(int sample) { return rowY(document.analyzeWave->correctedMidiValue[sample]); }
    int detectedY(int sample) { return rowY(document.analyzeWave->midiValue[sample]); }
};

// The y the last redraw printed for a sample: "yFreqPos..." (detected) or
// "yFixedFreqPos..." (corrected), found just before "midivalue [sample]"; -1 if absent.
inline int lastPrintedY(const std::string& trace, int sample, bool corrected) {
    std::string key = "midivalue [" + std::to_string(sample) + "] = ";
    size_t at = trace.rfind(key);
    if (at == std::string::npos) return -1;
    std::string label = corrected ? "yFixedFreqPos[freqWidth]=" : "yFreqPos[freqWidth]=";
    size_t lineAt = trace.rfind(label, at);
    if (lineAt == std::string::npos) return -1;
    return std::stoi(trace.substr(lineAt + label.size()));
}

#endif
