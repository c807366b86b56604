#ifndef WAVESEGMENT_H
#define WAVESEGMENT_H

class WaveHandler;

// What the user can change of a note: the note it sits on, and whether that overrides the scale.
struct NotePlacement {
    int midiNumber;
    bool overridesScale;
    bool operator==(const NotePlacement& other) const {
        return midiNumber == other.midiNumber && overridesScale == other.overridesScale;
    }
};

// One detected note: a run of samples whose pitch stays near one MIDI note.
class WaveSegment {
private:
    float maxHeight;
    // Set once the user has put the box on a note of their own: its note then overrides the scale.
    bool overrideScale;
    // Kept for the record's layout; nothing reads it yet.
    [[maybe_unused]] bool selected;

public:
    bool isSelected;
    int x1;
    int y1;
    int x2;
    int y2;
    int dragY;
    int endSample;
    int midiNumber;
    int startSample;
    // The pitch held in the box's body, as a fractional MIDI note: what the singer sang there.
    // Its note until the analysis knows better.
    double heldMidi;

    WaveSegment(int startSample, int endSample, int midiNumber, float* samples, int sampleslen);
    // x is a column of a long view, taken in 64 bits; the box keeps it clamped
    // to where the toolkit can still draw it.
    void calcScreenPosition(long long x, int y, double zoom, WaveHandler* wave);
    void render(long long x, int y, double zoom, WaveHandler* wave, float* samples, int sampleslen, int scroll);
    float getMaxHeight() const { return maxHeight; }
    bool overridesScale() const { return overrideScale; }
    void setOverrideScale(bool overrides) { overrideScale = overrides; }
    NotePlacement placement() const { return {midiNumber, overrideScale}; }
    void place(const NotePlacement& placement) {
        midiNumber = placement.midiNumber;
        overrideScale = placement.overridesScale;
    }
};

#endif
