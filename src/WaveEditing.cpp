// The document's editing commands and pointer gestures: scales, interpolation,
// zoom, note moves with their undo history, hit tests and the selection.

#include <algorithm>
#include <cmath>
#include <iostream>

#include "ViewGeometry.h"
#include "WaveHandler.h"

using std::cout;
using namespace ViewGeometry;

// ---------------------------------------------------------- editing commands

void WaveHandler::chooseScale(const char* scaleName) {
    if (!analyzeWave) return;
    if (!scaleName) {
        restoreOriginal();
    } else {
        analyzeWave->setScale(scaleName);
        analyzeWave->calculateCorrectPitch();
    }
    appliedScale = scaleName ? scaleName : "";
    markChanged();
}

void WaveHandler::markChanged() {
    unsavedChanges = analyzeWave != nullptr;
    tellStateChanged();
}

// The interpolation choice lists its items in another order than the kinds' values.
static const int kindOfItem[] = {WaveBuilder::USE_CUBIC_SPLINE, WaveBuilder::USE_CATMULL_CLARK, WaveBuilder::USE_PSOLA};

void WaveHandler::chooseInterpolation(int item) {
    if (item >= 0 && item < 3) waveBuilder->interpolation = kindOfItem[item];
    if (!analyzeWave) return;
    analyzeWave->needsResampling = true;
    markChanged();
}

int WaveHandler::interpolationItem() const {
    for (int item = 0; item < 3; item++) {
        if (kindOfItem[item] == waveBuilder->interpolation) return item;
    }
    return 0;
}

// The view needs a positive, finite scale; keep it where pixels still mean something.
void WaveHandler::setZoom(double samplesPerPixel) {
    if (!std::isfinite(samplesPerPixel)) return;
    zoom = static_cast<float>(std::clamp(samplesPerPixel, MIN_ZOOM, MAX_ZOOM));
}

double WaveHandler::zoomToSelection(int areaWidth) {
    if (selectionStart == -1 || selectionEnd == -1 || areaWidth < 1) return -1;
    int start = std::clamp(selectionStart, 0, std::max(frameCount(), 0));
    int end = std::clamp(selectionEnd, start, std::max(frameCount(), start));
    if (end <= start) return -1;
    setZoom(static_cast<double>(end - start) / areaWidth);
    return start;
}

void WaveHandler::zoomToFit(int areaWidth) {
    if (frameCount() == 0 || areaWidth < 1) return;
    setZoom(static_cast<double>(frameCount()) / areaWidth);
    // A zoom rounded to a float a hair too fine would leave the last frames out.
    while (zoom * areaWidth < frameCount() && zoom < MAX_ZOOM)
        zoom = std::nextafter(zoom, static_cast<float>(MAX_ZOOM));
}

// Each box moves onto the note it sounds at; where it is corrected to does not change.
void WaveHandler::fixNotes() {
    if (!analyzeWave || analyzeWave->segments->empty()) return;
    std::vector<int> indexes;
    std::vector<NotePlacement> before;
    std::vector<WaveSegment*>& segments = *analyzeWave->segments;
    for (size_t i = 0; i < segments.size(); i++) {
        double target = std::floor(analyzeWave->targetOf(*segments[i]) + 0.5);
        if (target < 0.0 || static_cast<int>(target) == segments[i]->midiNumber) continue;
        indexes.push_back(static_cast<int>(i));
        before.push_back(segments[i]->placement());
        segments[i]->midiNumber = static_cast<int>(target);
    }
    if (indexes.empty()) return;
    analyzeWave->calculateCorrectPitch();
    recordNoteMoves(indexes, before);
}

// A note the user moves is theirs: the scale no longer decides where it goes.
void WaveHandler::moveNote(WaveSegment* segment, int semitones) {
    segment->midiNumber += semitones;
    segment->setOverrideScale(true);
    if (analyzeWave) analyzeWave->calculateCorrectPitch();
}

bool WaveHandler::recordNoteMove(WaveSegment* segment, const NotePlacement& before) {
    if (!analyzeWave || segment->placement() == before) return false;
    std::vector<WaveSegment*>& segments = *analyzeWave->segments;
    auto found = std::find(segments.begin(), segments.end(), segment);
    if (found == segments.end()) return false;
    recordNoteMoves({static_cast<int>(found - segments.begin())}, {before});
    return true;
}

void WaveHandler::recordNoteMoves(const std::vector<int>& segmentIndexes, const std::vector<NotePlacement>& before) {
    NoteMoves moves{segmentIndexes, before, {}};
    for (int index : segmentIndexes) moves.after.push_back((*analyzeWave->segments)[index]->placement());
    undoHistory.push_back(moves);
    redoHistory.clear();
    markChanged();
}

// Undo and redo: the last step of one history is applied and moves to the other.
void WaveHandler::replayNoteMoves(std::vector<NoteMoves>& from, std::vector<NoteMoves>& to, bool forward) {
    if (from.empty() || !analyzeWave) return;
    to.push_back(from.back());
    from.pop_back();
    const NoteMoves& moves = to.back();
    const std::vector<NotePlacement>& placements = forward ? moves.after : moves.before;
    for (size_t i = 0; i < placements.size(); i++) (*analyzeWave->segments)[moves.segmentIndexes[i]]->place(placements[i]);
    analyzeWave->calculateCorrectPitch();
    markChanged();
}

// ---------------------------------------------------------- pointer gestures

WaveSegment* WaveHandler::segmentAt(int x, int y, int xoff, int yoff, int height, int scroll) {
    if (!analyzeWave || frameCount() == 0 || !analyzeWave->segments) return nullptr;
    // The ruler covers what lies under it.
    if (y < yoff + RULER_HEIGHT) return nullptr;
    long long scrolled = columnsScrolled(scroll, zoom);
    std::vector<WaveSegment*>& segments = *analyzeWave->segments;
    for (size_t i = 0; i < segments.size(); i++) {
        WaveSegment* segment = segments[i];
        long long xStart = sampleToColumn(segment->startSample, zoom) - scrolled;
        int yStart = midiToPos(segment->midiNumber, height);
        segment->calcScreenPosition(xStart, yStart, zoom, this);
        int left = xoff + LABEL_MARGIN;
        if (left + segment->x1 < x && x < left + segment->x2 && yoff + segment->y1 < y && y < yoff + segment->y2)
            return segment;
    }
    return nullptr;
}

WaveSegment* WaveHandler::hitSegment(int x, int y, int xoff, int yoff, int height, int scroll) {
    cout << "WaveHandler::hitSegment()\n";
    if (!analyzeWave || frameCount() == 0) return nullptr;
    cout << "TODO: WaveHandler::hitSegment\n";
    return segmentAt(x, y, xoff, yoff, height, scroll);
}

bool WaveHandler::noteSpan(int& lowest, int& highest) const {
    if (!analyzeWave || !analyzeWave->segments || analyzeWave->segments->empty()) return false;
    lowest = INT_MAX;
    highest = INT_MIN;
    for (const WaveSegment* segment : *analyzeWave->segments) {
        lowest = std::min(lowest, segment->midiNumber);
        highest = std::max(highest, segment->midiNumber);
    }
    return true;
}

void WaveHandler::startSelection(int at) {
    cout << "WaveHandler::startSelection()\n";
    cout << "startSelection at " << at;
    selectionStart = at;
    selectionEnd = -1;
}

void WaveHandler::extendSelection(int at) {
    cout << "WaveHandler::extendSelection()\n";
    if (selectionStart <= at) {
        cout << "extendSelection end at " << at << "\n";
        selectionEnd = at;
    } else {
        cout << "extendSelection at " << at << "\n";
        selectionEnd = selectionStart;
        selectionStart = at;
    }
}
