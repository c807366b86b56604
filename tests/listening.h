#ifndef LISTENING_H
#define LISTENING_H

// What a listener hears in a take, measured without any of the program's own analysis: a pitch
// tracker of its own, clicks, the air above 8 kHz, how harmonic the voice sounds, and whether the
// note boxes found are the notes that were sung.

#include <vector>

#include "takes.h"

namespace listening {

// The pitch every 5 ms, as a fractional MIDI note; NaN where nothing repeats clearly. `clarity`
// is how well each frame repeats at its period (1 for a perfect repetition).
struct PitchTrack {
    double hopSeconds = 0.005;
    std::vector<double> midi;
    std::vector<double> clarity;
};

PitchTrack trackPitch(const std::vector<float>& samples, int rate, double lowestHz, double highestHz);

// How long the tracked pitch lies more than `cents` from the note written at that time, in
// milliseconds; only frames with a pitch inside a written note count.
double msOffNotes(const PitchTrack& track, const std::vector<takes::WrittenNote>& notes, double cents = 50.0);

// The median distance in cents, over every note's middle half, of the tracked pitch from its note.
double medianCentsOff(const PitchTrack& track, const std::vector<takes::WrittenNote>& notes);

// A box as the view shows it: its first sample and its note.
struct Box {
    int start;
    int note;
};

// A written note counts as found when a box on its note starts within 100 ms of it, each box
// finding one note at most.
struct BoxScore {
    int boxes = 0;
    int notes = 0;
    int found = 0;
    double precision() const { return boxes ? static_cast<double>(found) / boxes : 1.0; }
    double recall() const { return notes ? static_cast<double>(found) / notes : 1.0; }
    double fMeasure() const;
};

BoxScore scoreBoxes(const std::vector<Box>& boxes, const std::vector<takes::WrittenNote>& notes, int rate);

// Places where the output's second difference exceeds the largest of the input: clicks. Samples
// within 10 ms of each other are one place.
int clickPlaces(const std::vector<float>& input, const std::vector<float>& output, int rate);

// Energy above `fromHz`, in dB.
double bandEnergyDb(const std::vector<float>& samples, int rate, double fromHz);

// The mean harmonics-to-noise ratio, in dB, over the frames where `reference` has a clear pitch.
double harmonicityDb(const PitchTrack& track, const PitchTrack& reference);

}  // namespace listening

#endif
