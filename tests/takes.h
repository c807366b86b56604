#ifndef TAKES_H
#define TAKES_H

// Takes whose notes are known: sung lines made here for low, middle and high voices, and lines
// played by a software synthesizer. Each comes with the notes it was meant to sing, so that what
// the program makes of it can be scored as a listener would score it.

#include <cstdint>
#include <string>
#include <vector>

namespace takes {

// A note as written: its note number and when it sounds, in seconds.
struct WrittenNote {
    int note;
    double start;
    double end;
};

struct Take {
    std::string name;
    int rate = 44100;
    std::vector<float> samples;
    std::vector<WrittenNote> notes;
    // The range the take's pitch stays in, for a tracker to search.
    double lowestHz = 60.0;
    double highestHz = 1500.0;
};

enum class Voice { low, middle, high };

// How a line is sung. Every note of a line gets its own draw of these.
struct Singing {
    Voice voice = Voice::middle;
    double detuneCents = 0.0;    // each note sung this far off its note, or up to 20 cents more...
    bool detuned = false;        // ...when set, sharp or flat at random
    double legatoShare = 0.6;    // notes joined to the one before by a glide, not a rest
    double vibratoSemitones = 0.4;
    double scoopShare = 0.3;     // notes that start up to 2 semitones below and rise in
    double driftShare = 0.2;     // notes that drift by up to 0.4 semitone over their length
    double shortestSeconds = 0.25;
    double longestSeconds = 0.9;
};

// A sung line of about `seconds`, the same notes and timing for the same seed whatever the
// detuning, so that an in-tune take and a detuned one can be compared.
Take sungLine(const Singing& singing, double seconds, int rate, uint64_t seed);

// Lines played on voice "oohs" (a middle and a low voice), cello, flute and violin by fluidsynth,
// legato and with rests, some notes bent off their note; empty when fluidsynth or its soundfont
// is missing.
std::vector<Take> playedLines(bool detuned, const std::string& folder, std::string& whyNot);

// One line each for a low, a middle and a high voice, sung in tune and then 20 to 40 cents off.
std::vector<Take> sungLines(double seconds, int rate, uint64_t seed);

std::string describe(const Singing& singing);

// Standard MIDI files at one tick per millisecond, rendered by fluidsynth.
void putVariableLength(std::vector<unsigned char>& out, unsigned value);
// A one-track file around the track's events (without its end-of-track event).
std::vector<unsigned char> midiFileOfTrack(std::vector<unsigned char> track);
// The soundfont the takes are played with, or "" with the reason when fluidsynth or it is missing.
std::string fluidsynthSoundFont(std::string& whyNot);
// Renders the MIDI file at 44.1 kHz into `folder`, mixed to one channel; empty when fluidsynth fails.
std::vector<float> renderWithFluidsynth(const std::vector<unsigned char>& midi, const std::string& folder,
                                        const std::string& name);

}  // namespace takes

#endif
