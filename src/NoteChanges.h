#ifndef NOTECHANGES_H
#define NOTECHANGES_H

#include <vector>

// One note as it was sung: samples [start, end], and the pitch held in its body as a fractional
// MIDI note (vibrato, scoops and far-off readings left out).
struct SungNote {
    int start;
    int end;
    double heldMidi;
};

// The notes of a line, in order and never overlapping. `midiValue` holds a fractional MIDI note
// per sample, anything below 5 or from `noPitchFrom` up meaning no pitch; a note never spans such
// samples. A note ends where the pitch settles at least 0.4 semitone from where it held, or at a
// leap, never at a few periods read far off, a scoop into the note, vibrato setting in or a slow
// drift; it starts where its own pitch does, not in a breath read as pitch before it. Every time
// is in milliseconds, so the result is the same at every sample rate.
std::vector<SungNote> findSungNotes(const double* midiValue, int length, double sampleRate, double noPitchFrom);

#endif
