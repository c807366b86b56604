// How steadily the progress bar of a long load moves: the longest time it stands
// still once shown, beside the whole load, for a sung line as WAV and as FLAC.
// Usage: bench_load [minutes of audio, default 5]

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "WaveHandler.h"
#include "signals.h"

namespace {

const int RATE = 44100;
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Stands in for the window: notes when the bar moves, draws nothing.
struct BarWatch : DocumentListener {
    WaveHandler* document = nullptr;
    Clock::time_point started;
    double lastMove = -1.0, longestStill = 0.0, stillFrom = 0.0, shownAt = -1.0, total = 0.0;

    void analysisProgressStarted() override { started = Clock::now(); }
    void analysisProgressed() override {
        if (document->loadProgress < 0.0) return;
        moved(secondsSince(started), document->loadProgress);
    }
    void analysisProgressEnded() override {
        total = secondsSince(started);
        if (lastMove >= 0.0) moved(total, 1.0);
    }
    void moved(double now, double share) {
        if (shownAt < 0.0) shownAt = now;
        if (lastMove >= 0.0 && now - lastMove > longestStill) {
            longestStill = now - lastMove;
            stillFrom = share;
        }
        lastMove = now;
    }
    void frameCountChanged() override {}
    void segmentsReleased() override {}
    void playHeadMoved(int) override {}
};

void writeFile(const std::string& path, const std::vector<float>& samples, int format) {
    SF_INFO info{};
    info.samplerate = RATE;
    info.channels = 1;
    info.format = format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    for (size_t at = 0; at < samples.size(); at += 4096)
        sf_write_float(file, samples.data() + at, std::min<sf_count_t>(4096, samples.size() - at));
    sf_close(file);
}

}  // namespace

int main(int argc, char** argv) {
    double minutes = argc > 1 ? std::atof(argv[1]) : 5.0;
    std::vector<float> samples = signals::sungMelody(signals::Singing(), 60.0 * minutes, RATE, 5);
    std::printf("%.0f min of sung melody at %d Hz; the bar shows after half a second\n", minutes, RATE);
    std::printf("%-6s %10s %12s %14s %12s\n", "file", "load s", "bar shown s", "longest still", "until share");
    for (auto [kind, format] :
         {std::pair{"wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16}, std::pair{"flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16}}) {
        std::string path = std::string("/tmp/bench_load_44100Hz_sung_mono_pcm16.") + kind;
        writeFile(path, samples, format);
        std::ostringstream trace;
        std::streambuf* console = std::cout.rdbuf(trace.rdbuf());
        WaveHandler document;
        BarWatch watch;
        watch.document = &document;
        document.wavePanel = &watch;
        document.loadWave(&path);
        std::cout.rdbuf(console);
        std::printf("%-6s %10.2f %12.2f %9.2f s %2.0f%% %12.3f\n", kind, watch.total, watch.shownAt, watch.longestStill,
                    100.0 * watch.longestStill / watch.total, watch.stillFrom);
        std::remove(path.c_str());
    }
    return 0;
}
