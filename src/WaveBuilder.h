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

    WaveBuilder();
    double catmullClarkSpline(double p0, double p1, double p2, double p3, float t);
    double cubicSpline(double p0, double p1, double p2, double p3, float t);
    float getInterpolatedValue(float index, float* samples, int sampleslen);
    // A copy reading the offsets phase, phase + rate, ... below width.
    int interpolateSingleWave(float* srcSamples, int srcSampleslen, int srcAt, int width, float* dstSamples,
                              int dstSampleslen, int dstAt, double rate, double phase = 0.0);
    // Returns a new[] buffer of sampleslen floats owned by the caller.
    float* resampleStream(float* samples, int sampleslen, float* frequency, double* targetMidi, int* waveWidth);

private:
    struct Stream;

    float valueAt(int base, double offset, const float* samples, int sampleslen);
    void resynthesisePeriod(Stream& stream, int width, float actualFrequency, double targetMidi);
    void emitCopies(Stream& stream, int width, double rate, int dstWidth);
    static void addGrain(Stream& stream, int width);
    static void copyUnchanged(Stream& stream, int count);
};

#endif
