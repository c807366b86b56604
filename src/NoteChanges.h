#ifndef NOTECHANGES_H
#define NOTECHANGES_H

#include <functional>
#include <vector>

// Where a legato line moves to another note without a break: the sample indices, in increasing
// order, at which the pitch settles at least about a semitone away from where it sat. Vibrato,
// a scoop into a note and a slow drift do not count. `midiValue` holds a fractional MIDI note per
// sample, anything not above 0 meaning no pitch; no change is reported across such samples.
// Every time is in milliseconds, so the result is the same at every sample rate. `reached`, when
// given, hears now and then the index up to which the search is done.
std::vector<int> findNoteChanges(const double* midiValue, int length, double sampleRate,
                                 const std::function<void(int)>& reached = nullptr);

#endif
