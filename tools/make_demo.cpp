// Writes examples/demo_44100Hz_mono_pcm16.wav: a short sung-like line, a few
// notes slightly out of tune, with vibrato, slides between notes and breaths.

#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <vector>

struct SungNote {
    double midi;     // the pitch actually sung, cents off included
    double seconds;  // how long it is held
};

static const int RATE = 44100;

// Harmonics falling off like a soft voice, with a little more energy near 700 Hz.
static double voice(double phase, double hz) {
    double sum = 0.0;
    for (int h = 1; h <= 8; h++) {
        double f = h * hz;
        double formant = 1.0 + 0.8 * std::exp(-std::pow((f - 700.0) / 300.0, 2));
        sum += formant * std::sin(h * phase) / (h * h * 0.6 + 0.4);
    }
    return sum / 2.2;
}

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "examples/demo_44100Hz_mono_pcm16.wav";
    const std::vector<SungNote> line = {
        {60.00, 0.55}, {62.25, 0.55}, {64.00, 0.55}, {65.30, 0.80},  // D 25 cents sharp, F 30 sharp
        {0, 0.25},     {67.00, 0.55}, {68.70, 0.55}, {67.00, 0.55},  // G# 30 flat of A
        {64.20, 0.90}, {0, 0.30},     {62.00, 0.45}, {60.35, 1.10},  // final C 35 cents sharp
    };
    std::vector<float> samples;
    double phase = 0.0, midi = line[0].midi;
    for (const SungNote& note : line) {
        int frames = static_cast<int>(note.seconds * RATE);
        for (int i = 0; i < frames; i++) {
            if (note.midi <= 0) {
                samples.push_back(0.0f);
                continue;
            }
            // Slide towards the note over about 40 ms, then a gentle 5.5 Hz vibrato.
            midi += (note.midi - midi) * 0.0006;
            double t = static_cast<double>(i) / RATE;
            double vibrato = 0.12 * std::sin(2 * M_PI * 5.5 * t) * std::min(1.0, t / 0.3);
            double hz = 440.0 * std::pow(2.0, (midi + vibrato - 69.0) / 12.0);
            double envelope = std::min(1.0, i / 800.0) * std::min(1.0, (frames - i) / 1200.0);
            samples.push_back(static_cast<float>(0.6 * envelope * voice(phase, hz)));
            phase = std::fmod(phase + 2 * M_PI * hz / RATE, 2 * M_PI);
        }
    }
    SF_INFO info{};
    info.samplerate = RATE;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* out = sf_open(path, SFM_WRITE, &info);
    if (!out) {
        std::fprintf(stderr, "cannot write %s: %s\n", path, sf_strerror(nullptr));
        return 1;
    }
    sf_write_float(out, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(out);
    std::printf("wrote %s (%zu samples)\n", path, samples.size());
    return 0;
}
