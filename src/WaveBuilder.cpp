#include "WaveBuilder.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <iostream>

#include "Analysis.h"

// Both cursors of one resampleStream call, with the buffers they walk and
// the part of a sample that each kind carries from one copy into the next.
struct WaveBuilder::Stream {
    float* samples;
    int sampleslen;
    float* buffer;
    int bufferlen;
    int src;
    int dst;
    double phase;     // spline copies: where in its period the next copy starts reading
    double fraction;  // grains: how far the output has fallen behind the exact spacing
};

// Defined here too, so the kinds can be bound by reference (lists, std::min).
const int WaveBuilder::USE_CATMULL_CLARK;
const int WaveBuilder::USE_CUBIC_SPLINE;
const int WaveBuilder::USE_PSOLA;

WaveBuilder::WaveBuilder() : interpolation(USE_CATMULL_CLARK) {}

double WaveBuilder::catmullClarkSpline(double p0, double p1, double p2, double p3, float t) {
    double t1 = t;
    double t2 = t1 * t1;
    double t3 = t2 * t1;
    return 0.5 * (2 * p1 + (p2 - p0) * t1 + (2 * p0 - 5 * p1 + 4 * p2 - p3) * t2 + (-p0 + 3 * p1 - 3 * p2 + p3) * t3);
}

double WaveBuilder::cubicSpline(double p0, double p1, double p2, double p3, float t) {
    double t1 = t;
    double t2 = t1 * t1;
    double t3 = t2 * t1;
    return p1 + t1 * (-2 * p0 - 3 * p1 + 6 * p2 - p3) / 6 + t2 * (3 * p0 - 6 * p1 + 3 * p2) / 6 +
           t3 * (-p0 + 3 * p1 - 3 * p2 + p3) / 6;
}

float WaveBuilder::getInterpolatedValue(float index, float* samples, int sampleslen) {
    int whole = static_cast<int>(index);
    return valueAt(whole, index - whole, samples, sampleslen);
}

// A position is a whole sample index plus an offset from it: a float
// position past 2^16 samples rounds the small steps of a period away.
float WaveBuilder::valueAt(int base, double offset, const float* samples, int sampleslen) {
    int step = static_cast<int>(offset);
    int i = base + step;
    double t = offset - step;
    // Near either end a neighbour of the four points is missing.
    bool nearStart = i < 4;
    bool nearEnd = i > sampleslen - 4 || (i == sampleslen - 4 && t > 0.0);
    if (nearStart || nearEnd) return samples[i];
    double p0 = samples[i - 1], p1 = samples[i], p2 = samples[i + 1], p3 = samples[i + 2];
    switch (interpolation) {
        case USE_CATMULL_CLARK:
            return static_cast<float>(catmullClarkSpline(p0, p1, p2, p3, static_cast<float>(t)));
        case USE_CUBIC_SPLINE:
            return static_cast<float>(cubicSpline(p0, p1, p2, p3, static_cast<float>(t)));
        default:
            return samples[i];
    }
}

int WaveBuilder::interpolateSingleWave(float* srcSamples, int srcSampleslen, int srcAt, int width, float* dstSamples,
                                       int dstSampleslen, int dstAt, double rate, double phase) {
    std::cout << "TODO: WaveBuilder::interpolateSingleWave\n";
    // Each offset is phase + k * rate, never a running sum, so no error builds up.
    for (int k = 0; phase + k * rate < width && dstAt < dstSampleslen; k++) {
        dstSamples[dstAt++] = valueAt(srcAt, phase + k * rate, srcSamples, srcSampleslen);
    }
    return dstAt;
}

float* WaveBuilder::resampleStream(float* samples, int sampleslen, float* frequency, double* targetMidi,
                                   int* waveWidth) {
    std::cout << "TODO: WaveBuilder::resampleStream\n";
    Stream stream{samples, sampleslen, new float[sampleslen](), sampleslen, 0, 0, 0.0, 0.0};
    while (stream.src < stream.sampleslen && stream.dst < stream.bufferlen) {
        int width = waveWidth[stream.src];
        if (width == 0) {
            copyUnchanged(stream, 1);
        } else {
            resynthesisePeriod(stream, width, frequency[stream.src], targetMidi[stream.src]);
        }
    }
    return stream.buffer;
}

// Bad analysis data costs the correction of one period, never the session:
// the period is copied as it was.
void WaveBuilder::resynthesisePeriod(Stream& stream, int width, float actualFrequency, double targetMidi) {
    if (width < 1) {
        std::cout << "zero length found at " << stream.src << '\n';
        copyUnchanged(stream, 1);
        return;
    }
    // No pitch, or a period the input cannot hold: its samples stay as they are.
    if (targetMidi < WaveAnalysis::NO_PITCH_BELOW || width > stream.sampleslen - stream.src) {
        copyUnchanged(stream, width);
        return;
    }
    double rate = WaveAnalysis::midiToFrequency(targetMidi) / actualFrequency;
    double dstLength = width / rate;
    if (!(rate > 0.0 && std::isfinite(rate) && dstLength >= 1.0)) {
        std::cout << "zero destination width - " << width << " divided by rate of " << rate << '\n';
        copyUnchanged(stream, width);
        return;
    }
    // A length beyond any buffer only has to compare as "too long".
    int dstWidth = static_cast<int>(std::min(dstLength, static_cast<double>(INT_MAX)));
    emitCopies(stream, width, rate, dstWidth);
    stream.src += width;
}

// Copies go out while the next one ends strictly before the source period
// does: a lagging output repeats the period, one running ahead drops it.
// A copy is a whole number of samples; the part of a sample it leaves over
// is carried into the next one, so copies average exactly width / rate
// samples and the note sounds at its target, not up to a sample flat or sharp.
void WaveBuilder::emitCopies(Stream& stream, int width, double rate, int dstWidth) {
    while (static_cast<long long>(stream.dst) + dstWidth < static_cast<long long>(stream.src) + width) {
        if (stream.dst >= stream.bufferlen) break;  // a full output takes nothing more
        if (interpolation == USE_PSOLA) {
            addGrain(stream, width);
            stream.fraction += width / rate - dstWidth;
            int advance = dstWidth;
            if (stream.fraction >= 1.0) {
                advance++;
                stream.fraction -= 1.0;
            }
            stream.dst += advance;
        } else {
            int next = interpolateSingleWave(stream.samples, stream.sampleslen, stream.src, width, stream.buffer,
                                             stream.bufferlen, stream.dst, rate, stream.phase);
            stream.phase = stream.phase + (next - stream.dst) * rate - width;
            stream.dst = next;
        }
    }
}

// A grain is two source periods, unwindowed, averaged into the buffer.
void WaveBuilder::addGrain(Stream& stream, int width) {
    long long grainLength = std::min(2LL * width, static_cast<long long>(stream.bufferlen) - stream.dst);
    for (int i = 0; i < grainLength; i++) {
        float sample = stream.src + i < stream.sampleslen ? stream.samples[stream.src + i] : 0.0f;
        stream.buffer[stream.dst + i] = (sample + stream.buffer[stream.dst + i]) * 0.5f;
    }
}

// Whatever a copy carried belongs to the stretch it came from: a new one starts afresh.
void WaveBuilder::copyUnchanged(Stream& stream, int count) {
    stream.phase = 0.0;
    stream.fraction = 0.0;
    int n = std::min({count, stream.sampleslen - stream.src, stream.bufferlen - stream.dst});
    std::copy_n(stream.samples + stream.src, n, stream.buffer + stream.dst);
    stream.src += n;
    stream.dst += n;
}
