#ifndef WAVEBUILDER_H
#define WAVEBUILDER_H

// Rebuilds a sample stream so that every analysed period sounds at its
// corrected pitch.
class WaveBuilder {
public:
    static const int USE_CATMULL_CLARK = 0;
    static const int USE_CUBIC_SPLINE = 1;
    static const int USE_PSOLA = 2;

    int interpolation;
    // Periods no longer than this are readings at the edge of the lags the analysis tries (noise
    // or a missed period inside a note), not periods of the voice: a corrected stretch reads on
    // through them once, at the rate of the period before, and never repeats or drops them.
    int shortestPeriod;

    WaveBuilder();
    double catmullClarkSpline(double p0, double p1, double p2, double p3, float t);
    double cubicSpline(double p0, double p1, double p2, double p3, float t);
    float getInterpolatedValue(float index, float* samples, int sampleslen);
    // A copy reading the offsets phase, phase + rate, ... below width.
    int interpolateSingleWave(float* srcSamples, int srcSampleslen, int srcAt, int width, float* dstSamples,
                              int dstSampleslen, int dstAt, double rate, double phase = 0.0);
    // Returns a new[] buffer of sampleslen floats owned by the caller. A period whose target is
    // its own detected pitch (or no pitch) is copied unchanged, at its own place.
    float* resampleStream(float* samples, int sampleslen, float* frequency, double* targetMidi, int* waveWidth);

private:
    struct Stream;

    float valueAt(int base, double offset, const float* samples, int sampleslen);
    double rateOf(const Stream& stream, int at) const;
    bool isVoicePeriod(const Stream& stream, int at) const;
    static bool meetsSoundAt(const Stream& stream, int end, int reach);
    int regionEnd(const Stream& stream, int from) const;
    void copyPeriod(Stream& stream, int width);
    void resampleRegion(Stream& stream, int end);
    double landingStretch(Stream& stream, int end);
    double copyRegion(Stream& stream, int end, double stretch);
    static int copyLength(int width, double rate, double phase, int room);
    void emitCopy(Stream& stream, int from, int width, double rate);
    void overlapAddRegion(Stream& stream, int end);
    static void fadeIntoInput(Stream& stream, int from, int to);
};

#endif
