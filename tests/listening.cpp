#include "listening.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>

namespace listening {

namespace {

using Complex = std::complex<double>;

const double HOP_SECONDS = 0.005;
// A frame clear enough to have a pitch: its best repetition matches this well.
const double CLEAR = 0.7;
// Frames quieter than this below the loudest frame have no pitch.
const double QUIET_DB = -45.0;

// In-place radix-2 transform; n a power of two.
void fft(std::vector<Complex>& a, bool inverse) {
    size_t n = a.size();
    for (size_t i = 1, j = 0; i < n; i++) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(a[i], a[j]);
    }
    for (size_t len = 2; len <= n; len <<= 1) {
        double angle = 2.0 * M_PI / static_cast<double>(len) * (inverse ? 1.0 : -1.0);
        Complex step(std::cos(angle), std::sin(angle));
        for (size_t i = 0; i < n; i += len) {
            Complex w(1.0, 0.0);
            for (size_t k = 0; k < len / 2; k++) {
                Complex u = a[i + k], v = a[i + k + len / 2] * w;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
                w *= step;
            }
        }
    }
    if (inverse) {
        for (Complex& c : a) c /= static_cast<double>(n);
    }
}

size_t powerOfTwoAtLeast(size_t n) {
    size_t p = 1;
    while (p < n) p <<= 1;
    return p;
}

// Normalised square difference of one frame for lags 0 .. maxLag: 1 at a perfect repetition.
std::vector<double> nsdf(const float* x, int frame, int maxLag) {
    size_t n = powerOfTwoAtLeast(2 * static_cast<size_t>(frame));
    std::vector<Complex> spectrum(n);
    for (int i = 0; i < frame; i++) spectrum[i] = x[i];
    fft(spectrum, false);
    for (Complex& c : spectrum) c = std::norm(c);
    fft(spectrum, true);
    std::vector<double> squares(frame + 1, 0.0);
    for (int i = 0; i < frame; i++) squares[i + 1] = squares[i] + static_cast<double>(x[i]) * x[i];
    std::vector<double> n2(maxLag + 2, 0.0);
    for (int lag = 0; lag <= maxLag + 1 && lag < frame; lag++) {
        double energy = squares[frame - lag] + (squares[frame] - squares[lag]);
        n2[lag] = energy > 0.0 ? 2.0 * spectrum[lag].real() / energy : 0.0;
    }
    return n2;
}

// The first peak within 0.9 of the highest, refined by a parabola; lag 0 when nothing repeats.
void bestRepetition(const std::vector<double>& n, int minLag, int maxLag, double& lag, double& clarity) {
    lag = 0.0;
    clarity = 0.0;
    double highest = 0.0;
    for (int k = minLag; k <= maxLag; k++) highest = std::max(highest, n[k]);
    if (highest <= 0.0) return;
    for (int k = minLag; k <= maxLag; k++) {
        if (n[k] < 0.9 * highest || n[k] < n[k - 1] || n[k] < n[k + 1]) continue;
        double a = n[k - 1], b = n[k], c = n[k + 1];
        double denominator = a - 2.0 * b + c;
        double shift = denominator < 0.0 ? std::clamp(0.5 * (a - c) / denominator, -0.5, 0.5) : 0.0;
        lag = k + shift;
        clarity = b - 0.25 * (a - c) * shift;
        return;
    }
}

double noteDistance(double midi, int note) { return std::fabs(midi - note); }

// The written note sounding at time t, or null.
const takes::WrittenNote* noteAt(const std::vector<takes::WrittenNote>& notes, double t) {
    for (const takes::WrittenNote& n : notes) {
        if (t >= n.start && t < n.end) return &n;
    }
    return nullptr;
}

}  // namespace

PitchTrack trackPitch(const std::vector<float>& samples, int rate, double lowestHz, double highestHz) {
    PitchTrack track;
    track.hopSeconds = HOP_SECONDS;
    int maxLag = static_cast<int>(std::ceil(rate / lowestHz));
    int minLag = std::max(2, static_cast<int>(std::floor(rate / highestHz)));
    int frame = 2 * maxLag + 2;
    int hop = static_cast<int>(std::lround(HOP_SECONDS * rate));
    int frames = static_cast<int>(samples.size()) > frame ? (static_cast<int>(samples.size()) - frame) / hop + 1 : 0;
    std::vector<double> energy(frames, 0.0);
    double loudest = 0.0;
    for (int f = 0; f < frames; f++) {
        for (int i = 0; i < frame; i++) energy[f] += static_cast<double>(samples[f * hop + i]) * samples[f * hop + i];
        loudest = std::max(loudest, energy[f]);
    }
    // Frames are centred on their time: the first stands half a frame in.
    int lead = (frame / 2) / hop;
    track.midi.assign(frames + lead, std::numeric_limits<double>::quiet_NaN());
    track.clarity.assign(frames + lead, 0.0);
    for (int f = 0; f < frames; f++) {
        if (energy[f] <= 0.0 || 10.0 * std::log10(energy[f] / loudest) < QUIET_DB) continue;
        std::vector<double> n = nsdf(samples.data() + f * hop, frame, maxLag);
        double lag, clarity;
        bestRepetition(n, minLag, maxLag, lag, clarity);
        track.clarity[f + lead] = clarity;
        if (lag > 0.0 && clarity >= CLEAR) track.midi[f + lead] = 69.0 + 12.0 * std::log2(rate / lag / 440.0);
    }
    return track;
}

double msOffNotes(const PitchTrack& track, const std::vector<takes::WrittenNote>& notes, double cents) {
    int off = 0;
    for (size_t f = 0; f < track.midi.size(); f++) {
        if (std::isnan(track.midi[f])) continue;
        const takes::WrittenNote* n = noteAt(notes, f * track.hopSeconds);
        if (n && noteDistance(track.midi[f], n->note) > cents / 100.0) off++;
    }
    return 1000.0 * off * track.hopSeconds;
}

double medianCentsOff(const PitchTrack& track, const std::vector<takes::WrittenNote>& notes) {
    std::vector<double> perNote;
    for (const takes::WrittenNote& n : notes) {
        double quarter = (n.end - n.start) / 4.0;
        std::vector<double> cents;
        for (size_t f = 0; f < track.midi.size(); f++) {
            double t = f * track.hopSeconds;
            if (t >= n.start + quarter && t < n.end - quarter && !std::isnan(track.midi[f]))
                cents.push_back(100.0 * (track.midi[f] - n.note));
        }
        if (cents.empty()) continue;
        std::nth_element(cents.begin(), cents.begin() + cents.size() / 2, cents.end());
        perNote.push_back(std::fabs(cents[cents.size() / 2]));
    }
    if (perNote.empty()) return std::numeric_limits<double>::quiet_NaN();
    std::nth_element(perNote.begin(), perNote.begin() + perNote.size() / 2, perNote.end());
    return perNote[perNote.size() / 2];
}

double BoxScore::fMeasure() const {
    double p = precision(), r = recall();
    return p + r > 0.0 ? 2.0 * p * r / (p + r) : 0.0;
}

BoxScore scoreBoxes(const std::vector<Box>& boxes, const std::vector<takes::WrittenNote>& notes, int rate) {
    const double WITHIN = 0.1;
    BoxScore score;
    score.boxes = static_cast<int>(boxes.size());
    score.notes = static_cast<int>(notes.size());
    std::vector<bool> used(boxes.size(), false);
    for (const takes::WrittenNote& n : notes) {
        int best = -1;
        double nearest = WITHIN;
        for (size_t b = 0; b < boxes.size(); b++) {
            double distance = std::fabs(static_cast<double>(boxes[b].start) / rate - n.start);
            if (!used[b] && boxes[b].note == n.note && distance <= nearest) {
                nearest = distance;
                best = static_cast<int>(b);
            }
        }
        if (best < 0) continue;
        used[best] = true;
        score.found++;
    }
    return score;
}

int clickPlaces(const std::vector<float>& input, const std::vector<float>& output, int rate) {
    auto curvature = [](const std::vector<float>& x, size_t i) {
        return std::fabs(static_cast<double>(x[i + 1]) - 2.0 * x[i] + x[i - 1]);
    };
    double largest = 0.0;
    for (size_t i = 1; i + 1 < input.size(); i++) largest = std::max(largest, curvature(input, i));
    int places = 0;
    long last = -rate;
    for (size_t i = 1; i + 1 < output.size(); i++) {
        if (curvature(output, i) <= largest) continue;
        if (static_cast<long>(i) - last > rate / 100) places++;
        last = static_cast<long>(i);
    }
    return places;
}

double bandEnergyDb(const std::vector<float>& samples, int rate, double fromHz) {
    const int N = 2048;
    std::vector<double> window(N);
    for (int i = 0; i < N; i++) window[i] = 0.5 - 0.5 * std::cos(2.0 * M_PI * i / N);
    int firstBin = static_cast<int>(std::ceil(fromHz * N / rate));
    double energy = 1e-30;
    std::vector<Complex> frame(N);
    for (size_t at = 0; at + N <= samples.size(); at += N / 2) {
        for (int i = 0; i < N; i++) frame[i] = samples[at + i] * window[i];
        fft(frame, false);
        for (int k = firstBin; k <= N / 2; k++) energy += std::norm(frame[k]);
    }
    return 10.0 * std::log10(energy);
}

double harmonicityDb(const PitchTrack& track, const PitchTrack& reference) {
    double sum = 0.0;
    int count = 0;
    for (size_t f = 0; f < std::min(track.clarity.size(), reference.midi.size()); f++) {
        if (std::isnan(reference.midi[f])) continue;
        double c = std::clamp(track.clarity[f], 1e-3, 1.0 - 1e-6);
        sum += 10.0 * std::log10(c / (1.0 - c));
        count++;
    }
    return count ? sum / count : 0.0;
}

}  // namespace listening
