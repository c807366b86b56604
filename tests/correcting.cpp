#include "correcting.h"

#include <sndfile.h>

#include <iostream>
#include <stdexcept>

#include "WaveBuilder.h"
#include "WaveHandler.h"

namespace correcting {

const NamedKind KINDS[3] = {{"Catmull-Rom", WaveBuilder::USE_CATMULL_CLARK},
                            {"cubic", WaveBuilder::USE_CUBIC_SPLINE},
                            {"PSOLA", WaveBuilder::USE_PSOLA}};

namespace {

// The trace lines of a whole load would drown whatever the caller prints.
class Quiet {
public:
    Quiet() { std::cout.setstate(std::ios::badbit); }
    ~Quiet() { std::cout.clear(); }
};

void writeFloatWav(const std::string& path, const std::vector<float>& samples, int rate) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) throw std::runtime_error("cannot write " + path);
    sf_write_float(file, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(file);
}

}  // namespace

Session::Session(const takes::Take& take, const std::string& folder) {
    Quiet quiet;
    std::string path = folder + "/" + std::to_string(take.rate) + "Hz_" + take.name + ".wav";
    writeFloatWav(path, take.samples, take.rate);
    doc = std::make_unique<WaveHandler>();
    doc->loadWave(&path);
    if (!doc->analyzeWave) throw std::runtime_error("the program could not open " + path);
}

Session::~Session() = default;

std::vector<listening::Box> Session::boxes() const {
    std::vector<listening::Box> found;
    for (const WaveSegment* segment : *doc->analyzeWave->segments) found.push_back({segment->startSample, segment->midiNumber});
    return found;
}

std::vector<float> Session::corrected(const char* scaleName, int kind) {
    Quiet quiet;
    doc->waveBuilder->interpolation = kind;
    doc->chooseScale(scaleName);
    doc->resampleWaveIfRequired();
    return std::vector<float>(doc->modifiedSamples, doc->modifiedSamples + doc->frameCount());
}

}  // namespace correcting
