#ifndef ANALYSIS_H
#define ANALYSIS_H

#include <functional>
#include <memory>
#include <vector>

#include "WaveSegment.h"

class WaveHandler;
class PeriodSearch;

// Pitch analysis of one loaded recording: silence, periods, per-sample pitch,
// note segments, the current scale and the corrected pitch curve.
class WaveAnalysis {
private:
    float sampleRate;
    int windowSize;
    float* samples;
    int sampleslen;
    int zero;
    int zeroCutoff;
    int silenceMinWidth;
    WaveHandler* wavehandler;
    bool* scalePitch;

    static const int C_NOTE = 0;
    static const int C_SHARP_NOTE = 1;
    static const int D_FLAT_NOTE = 1;
    static const int D_NOTE = 2;
    static const int D_SHARP_NOTE = 3;
    static const int E_FLAT_NOTE = 3;
    static const int E_NOTE = 4;
    static const int E_SHARP_NOTE = 5;
    static const int F_FLAT_NOTE = 4;
    static const int F_NOTE = 5;
    static const int F_SHARP_NOTE = 6;
    static const int G_FLAT_NOTE = 6;
    static const int G_NOTE = 7;
    static const int G_SHARP_NOTE = 8;
    static const int A__FLAT_NOTE = 8;
    static const int A_NOTE = 9;
    static const int A_SHARP_NOTE = 10;
    static const int B_FLAT_NOTE = 10;
    static const int B_NOTE = 11;
    static const int B_SHARP_NOTE = 0;
    static const int C_FLAT_NOTE = 11;

    // Scratch and kernels of the period search, sized from the largest window met so far.
    std::unique_ptr<PeriodSearch> search;

    // Samples [start, end).
    struct Stretch {
        int start;
        int end;
    };

    int atThisRate(int samplesAtReference) const;
    int windowAfter(int priorWidth) const;
    int firstSilentIn(int from, int to) const;
    std::vector<Stretch> silentStretches() const;
    int bestMatch(int at, int half, double* vertex);
    void markUnpitched(int from, int to);
    int nearestPeriodStart(int at) const;
    void releaseSegments();
    void allocateArrays();
    void releaseArrays();
    double correctionRate() const;
    void correctSegment(int from, int to, double target, double held, double rate);
    // False while the notes are left as sung ("No correction"): only notes the user put
    // elsewhere are moved.
    bool followScale = true;
    // The corrected curve's own memory, taken with the other arrays. Until a correction first
    // moves a note the corrected curve is the sung one, and correctedMidiValue points at
    // midiValue itself: this memory is not touched before it is needed.
    double* ownCorrection = nullptr;
    bool notesMoved = false;
    bool everyNoteLeftAsSung() const;

public:
    // MIDI values below this mean "no pitch": the markers of -1.0 and anything under 10 Hz.
    static constexpr double NO_PITCH_BELOW = 5.0;

    int* waveWidth;
    std::vector<WaveSegment*>* segments;
    bool needsResampling;
    double* midiValue;
    // The sung curve itself until a correction first moves a note (see ownCorrection): read it,
    // never write it.
    double* correctedMidiValue;
    float* frequency;
    int maxAmplitude;
    // The shortest period the search tries. A reading this short is where the best match lay at
    // the edge of the lags tried, as in noise whose energy sits low: not a period of a note.
    int shortestPeriod() const;

    // Called now and then during findFrequencies, and again during findSegments, with the
    // share of that step done (0..1), so a long load can show progress. May be left empty.
    std::function<void(double)> progress;
    // Told the name of each step of the analysis as it ends ("detection", "note changes", ...),
    // so that a benchmark can time them. May be left empty.
    std::function<void(const char*)> stepDone;

    WaveAnalysis(float* samples, int sampleslen, int sampleRate, int windowSize, WaveHandler* handler);
    ~WaveAnalysis();
    WaveAnalysis(const WaveAnalysis&) = delete;
    WaveAnalysis& operator=(const WaveAnalysis&) = delete;

    void findFrequencies();
    void findSegments();
    void findSilence();
    int autocorrelate(int at, int localWindowSize);
    // `vertex` places the period's end between samples for its frequency; its width stays whole.
    // The period's MIDI value goes with its frequency.
    void markFrequency(int start, int end, double vertex = 0.0);
    void findMaxAmplitude();
    static double frequencyToMidi(float f);
    static double midiToFrequency(double midi);
    double myabs(double x);
    bool near(float error, float a, float b);

    // Selects a scale that the notes follow from the next correction on.
    void setScale(const char* keyName);
    // Leaves every note as sung, but those the user put on a note of their own.
    void leaveAsSung() { followScale = false; }
    bool leftAsSung(const WaveSegment& segment) const { return !followScale && !segment.overridesScale(); }
    double closestMatch(double midiPitch);
    // The pitch a box is corrected to: the note the user put it on, else the scale note
    // nearest what was sung in it, or what was sung while notes are left as sung.
    double targetOf(const WaveSegment& segment);
    void calculateCorrectPitch();
    // The same with this glide instead of the document's (semitones per sample at 44.1 kHz).
    void calculateCorrectPitch(double glideRate);
    bool inScale(int pitchClass) const { return scalePitch[((pitchClass % 12) + 12) % 12]; }
};

#endif
