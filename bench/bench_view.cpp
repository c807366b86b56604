// Prints how long a full redraw of the wave view takes on a 10-minute file.
// Needs an X display: run it as  xvfb-run -a build/bench/bench_view

#include <FL/Fl.H>
#include <FL/Fl_Window.H>
#include <FL/fl_draw.H>
#include <FL/x.H>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <vector>

#include "WaveHandler.h"

static const int RATE = 44100;

// A line of sung-like notes with vibrato and rests, long enough for the analysis to find many notes.
static std::vector<float> melody(int seconds) {
    std::vector<float> out(static_cast<size_t>(seconds) * RATE);
    double phase = 0.0;
    for (size_t i = 0; i < out.size(); i++) {
        size_t note = i / (RATE / 2);
        if (i % (RATE / 2) > RATE * 9 / 20) continue;  // a short rest after every note
        double midi = 57 + (note * 7) % 15 + 0.3 * std::sin(i * 2 * M_PI * 5.0 / RATE);
        phase += 2 * M_PI * 440.0 * std::pow(2.0, (midi - 69) / 12) / RATE;
        out[i] = static_cast<float>(0.5 * std::sin(phase) + 0.15 * std::sin(2 * phase));
    }
    return out;
}

static std::string writeMelody() {
    std::string path = "/tmp/bench_view_44100Hz_600s_melody_mono_float.wav";
    std::vector<float> samples = melody(600);
    SF_INFO info{};
    info.samplerate = RATE;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    sf_write_float(f, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(f);
    return path;
}

int main() {
    fl_open_display();
    Fl_Window window(752, 432);
    window.show();
    Fl::check();
    std::ofstream traceFile("/tmp/bench_view_trace.txt");
    std::streambuf* console = std::cout.rdbuf(traceFile.rdbuf());
    WaveHandler document;
    std::string path = writeMelody();
    auto loadStart = std::chrono::steady_clock::now();
    document.loadWave(&path);
    double loadSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - loadStart).count();
    document.selectionStart = 1000000;
    document.selectionEnd = 1200000;
    Fl_Offscreen canvas = fl_create_offscreen(752, 432);
    std::printf("loading and analysing the 10-minute file: %.2f s, %zu notes\n", loadSeconds,
                document.analyzeWave->segments->size());
    std::printf("full redraw of the 752x432 view, 10-minute file, trace lines to a file\n");
    std::printf("%12s %12s %14s\n", "zoom", "scroll", "ms per redraw");
    for (float zoom : {0.0625f, 1.0f, 64.0f, 512.0f, 4096.0f, 65536.0f}) {
        for (int scroll : {0, 13000000}) {
            document.zoom = zoom;
            const int rounds = 20;
            fl_begin_offscreen(canvas);
            auto start = std::chrono::steady_clock::now();
            for (int r = 0; r < rounds; r++) document.render(0, 0, 752, 432, scroll);
            XSync(fl_display, False);  // count the X server's drawing too
            double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
            fl_end_offscreen();
            std::printf("%12g %12d %14.2f\n", zoom, scroll, ms / rounds);
        }
    }
    std::cout.rdbuf(console);
    fl_delete_offscreen(canvas);
    return 0;
}
