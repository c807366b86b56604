#include <FL/filename.H>
#include <dirent.h>
#include <gtest/gtest.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "NoteChanges.h"
#include "analysischecks.h"
#include "WaveBuilder.h"
#include "WaveHandler.h"
#include "signals.h"
#include "testaudio.h"

namespace {

using testaudio::AddressSpaceHeadroom;
using testaudio::CoutCapture;
using testaudio::underAddressSanitizer;
using testaudio::countOf;
using testaudio::fileBytes;
using testaudio::namesIn;
using testaudio::putBytes;

const int RATE = 44100;
const char* const STREAM_LINE = "TODO: WaveBuilder::resampleStream\n";

std::vector<long> writeCounts(const std::string& text) {
    std::vector<long> counts;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("Writecount=", 0) == 0) counts.push_back(std::stol(line.substr(11)));
    }
    return counts;
}

// The final "Writecount=" of a save, or -1 when it wrote no block.
long lastWriteCount(const std::string& text) {
    std::vector<long> counts = writeCounts(text);
    return counts.empty() ? -1 : counts.back();
}


bool hasTemporaryFile(const std::string& folder) {
    for (const std::string& name : namesIn(folder)) {
        if (name.find(".cantorel-") != std::string::npos) return true;
    }
    return false;
}

double cents(double hz, double referenceHz) { return 1200.0 * std::log2(hz / referenceHz); }

// Samples of one channel of an interleaved buffer.
std::vector<float> channelOf(const std::vector<float>& interleaved, int channels, int channel) {
    std::vector<float> out;
    for (size_t i = channel; i < interleaved.size(); i += channels) out.push_back(interleaved[i]);
    return out;
}

double rms(const std::vector<float>& x, int start, int end) {
    double sum = 0.0;
    for (int i = start; i < end; i++) sum += static_cast<double>(x[i]) * x[i];
    return std::sqrt(sum / (end - start));
}

// A hand-made RIFF/WAVE header (PCM fmt chunk) with whatever numbers libsndfile
// itself would never write, followed by actualBytes zero bytes of data.
std::string craftedWav(int channels, uint32_t rate, int bits, uint32_t dataBytes, uint32_t actualBytes) {
    std::string b;
    auto le = [&b](uint32_t v, int n) {
        for (int i = 0; i < n; i++) b.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
    };
    b += "RIFF";
    le(36 + dataBytes, 4);
    b += "WAVEfmt ";
    le(16, 4);
    le(1, 2);
    le(channels, 2);
    le(rate, 4);
    le(rate * channels * bits / 8, 4);
    le(channels * bits / 8, 2);
    le(bits, 2);
    b += "data";
    le(dataBytes, 4);
    b.append(actualBytes, '\0');
    return b;
}

// A file in memory that claims to be longer than the bytes it has: the rest
// reads as zeros. Lets a header announce more frames than a disk would hold.
struct ClaimedFile {
    std::string bytes;
    sf_count_t claimedLength;
    sf_count_t position = 0;
    sf_count_t bytesRead = 0;
};

SF_VIRTUAL_IO claimedFileIO() {
    SF_VIRTUAL_IO io{};
    io.get_filelen = [](void* user) { return static_cast<ClaimedFile*>(user)->claimedLength; };
    io.seek = [](sf_count_t offset, int whence, void* user) {
        ClaimedFile* f = static_cast<ClaimedFile*>(user);
        sf_count_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? f->position : f->claimedLength;
        f->position = std::max<sf_count_t>(0, base + offset);
        return f->position;
    };
    io.read = [](void* into, sf_count_t count, void* user) {
        ClaimedFile* f = static_cast<ClaimedFile*>(user);
        sf_count_t n = std::max<sf_count_t>(0, std::min(count, f->claimedLength - f->position));
        char* out = static_cast<char*>(into);
        for (sf_count_t i = 0; i < n; i++) {
            sf_count_t at = f->position + i;
            out[i] = at < static_cast<sf_count_t>(f->bytes.size()) ? f->bytes[at] : 0;
        }
        f->position += n;
        f->bytesRead += n;
        return n;
    };
    io.write = [](const void*, sf_count_t, void*) -> sf_count_t { return 0; };
    io.tell = [](void* user) { return static_cast<ClaimedFile*>(user)->position; };
    return io;
}

// What must stay as it was when a load is refused.
struct DocumentState {
    float* originalSamples;
    float* modifiedSamples;
    WaveAnalysis* analysis;
    int frames;
    int rate;
    int channels;
    int length;

    explicit DocumentState(const WaveHandler& doc)
        : originalSamples(doc.originalSamples),
          modifiedSamples(doc.modifiedSamples),
          analysis(doc.analyzeWave),
          frames(doc.frameCount()),
          rate(doc.sampleRate()),
          channels(doc.channels),
          length(doc.originalSampleslen) {}

    bool operator==(const DocumentState& o) const {
        return originalSamples == o.originalSamples && modifiedSamples == o.modifiedSamples && analysis == o.analysis &&
               frames == o.frames && rate == o.rate && channels == o.channels && length == o.length;
    }
};

class DocumentTest : public ::testing::Test {
protected:
    std::string dir = testaudio::makeTempDir("wavehandler");
    CoutCapture quietConstruction;  // the constructor's trace lines are not under test
    WaveHandler doc;

    std::string path(const std::string& name) const { return dir + "/" + name; }

    // Writes a 441 Hz sine (period of exactly 100 samples) as 16-bit WAV and loads it.
    void loadSine(int frames) {
        std::string name = path("44100Hz_" + std::to_string(frames) + "f_sine441_mono_wav16.wav");
        testaudio::writeFile(name, testaudio::sinePeriod(100, frames), RATE, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
        load(name);
    }

    std::string load(std::string name) {
        CoutCapture capture;
        doc.loadWave(&name);
        return capture.text();
    }

    std::string save(std::string name) {
        CoutCapture capture;
        doc.writeFile(&name);
        return capture.text();
    }

    std::string loadStreamFrom(ClaimedFile& file, const std::string& name) {
        SF_VIRTUAL_IO io = claimedFileIO();
        SF_INFO info{};
        SNDFILE* stream = sf_open_virtual(&io, SFM_READ, &info, &file);
        CoutCapture capture;
        if (!stream) {
            std::cout << "libsndfile refused: " << sf_strerror(nullptr) << "\n";
            return capture.text();
        }
        doc.loadStream(stream, info, name);
        sf_close(stream);
        return capture.text();
    }
};

// ------------------------------------------------------------------- loading

TEST_F(DocumentTest, LoadingAMonoFileReadsEverySampleAndAnalysesThemAll) {
    const int frames = 5000;
    std::string name = path("44100Hz_5000f_sine441_mono_wav16.wav");
    testaudio::writeFile(name, testaudio::sinePeriod(100, frames), RATE, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    std::string out = load(name);

    EXPECT_EQ(countOf(out, "totreadcount=5000\n"), 1) << out;
    ASSERT_EQ(doc.frameCount(), frames);
    EXPECT_EQ(doc.sampleRate(), RATE);
    ASSERT_NE(doc.analyzeWave, nullptr);
    SF_INFO info;
    std::vector<float> expected = testaudio::readFile(name, &info);
    for (int i = 0; i < frames; i++) {
        ASSERT_EQ(doc.originalSamples[i], expected[i]) << "sample " << i;
        ASSERT_EQ(doc.modifiedSamples[i], doc.originalSamples[i]) << "sample " << i;
    }
    // The analysis spans the whole file: a period is found within a window of its end.
    int lastPeriod = -1;
    for (int i = 0; i < frames; i++) {
        if (doc.analyzeWave->waveWidth[i] > 0) lastPeriod = i;
    }
    EXPECT_GE(lastPeriod, frames - 1024 - 200);
    EXPECT_EQ(doc.analyzeWave->waveWidth[lastPeriod], 100);
    EXPECT_NEAR(doc.analyzeWave->frequency[lastPeriod], 441.0f, 0.01f);
}

namespace {

// Lengths written for 44.1 kHz, at another rate.
int atRate(int samples, int rate) { return static_cast<int>(std::floor(samples * (rate / 44100.0) + 0.5)); }

// The start of the period nearest `at`: of the period that holds it, or of the next one; outside
// every period, `at` itself.
int plainNearestPeriodStart(const signals::Detection& d, int at) {
    int n = static_cast<int>(d.frequency.size());
    if (at <= 0 || at >= n || d.frequency[at] == -1.0f) return at;
    int start = at;
    while (d.waveWidth[start] == 0) start--;
    int next = start + d.waveWidth[start];
    return at - start <= next - at ? start : next;
}

// The boxes of a plain analysis: the note-change search run on each stretch of pitched samples
// alone, each note snapped to whole periods, and too short a note dropped.
std::vector<WaveSegment> plainBoxes(const signals::Detection& d, int rate) {
    int n = static_cast<int>(d.midiValue.size());
    double noPitchFrom = WaveAnalysis::frequencyToMidi(static_cast<float>(rate / (atRate(20, rate) + 0.5)));
    std::vector<WaveSegment> boxes;
    for (int from = 0; from < n;) {
        if (d.midiValue[from] < 5.0) {
            from++;
            continue;
        }
        int to = from;
        while (to < n && d.midiValue[to] >= 5.0) to++;
        for (const SungNote& note : findSungNotes(d.midiValue.data() + from, to - from, rate, noPitchFrom)) {
            int start = plainNearestPeriodStart(d, from + note.start);
            int end = plainNearestPeriodStart(d, from + note.end + 1) - 1;
            if (end - start < atRate(1000, rate)) continue;
            boxes.emplace_back(start, end, static_cast<int>(std::floor(note.heldMidi + 0.5)), nullptr, 0);
            boxes.back().heldMidi = note.heldMidi;
        }
        from = to;
    }
    return boxes;
}

// A sung line with rests at `rate`, as `channels` channels of different loudness, with a NaN
// and infinities among its samples: the first in a group of the mending, the last at the end.
std::vector<float> sungChannels(double seconds, int rate, int channels) {
    std::vector<float> line = signals::sungMelody({}, seconds, rate, 21);
    line[16 * 1000 + 15] = std::nanf("");
    line[16 * 3000] = std::numeric_limits<float>::infinity();
    line.back() = -std::numeric_limits<float>::infinity();
    std::vector<float> interleaved;
    for (float sample : line) {
        for (int c = 0; c < channels; c++) interleaved.push_back(sample * (1.0f - 0.2f * c));
    }
    return interleaved;
}

// What the document analyses: every non-finite sample as 0.0, the channels' mean.
std::vector<float> plainMono(std::vector<float> interleaved, int channels) {
    for (float& sample : interleaved) {
        if (!std::isfinite(sample)) sample = 0.0f;
    }
    std::vector<float> mono;
    for (size_t frame = 0; frame * channels < interleaved.size(); frame++) {
        double sum = 0.0;
        for (int c = 0; c < channels; c++) sum += interleaved[frame * channels + c];
        mono.push_back(static_cast<float>(sum / channels));
    }
    return mono;
}

}  // namespace

// A whole load, from the file's blocks to the corrected curve, against plain loops: the
// detection of the channels' mean, boxes snapped to its periods, and a corrected curve that
// is the sung one while every note is left as sung.
TEST_F(DocumentTest, ALoadGivesTheArraysAndBoxesOfAPlainAnalysis) {
    struct Take {
        int rate, channels;
        double seconds;
    };
    for (Take take : {Take{44100, 2, 9.0}, Take{48000, 1, 4.0}}) {
        std::string name = path(std::to_string(take.rate) + "Hz_" + std::to_string(take.channels) + "ch_" +
                                std::to_string(static_cast<int>(take.seconds)) + "s_sung_seed21_nonfinite_float.wav");
        SCOPED_TRACE(name);
        std::vector<float> interleaved = sungChannels(take.seconds, take.rate, take.channels);
        testaudio::writeFile(name, interleaved, take.rate, take.channels, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
        std::string out = load(name);
        EXPECT_EQ(countOf(out, "Replaced " + std::to_string(3 * take.channels) + " non-finite samples with 0.0\n"), 1)
            << out;

        std::vector<float> mono = plainMono(interleaved, take.channels);
        signals::Detection expected = signals::emptyDetection(mono.size());
        signals::plainDetection(mono, take.rate, 2048, expected);
        ASSERT_EQ(doc.frameCount(), static_cast<int>(mono.size()));
        const WaveAnalysis& analysis = *doc.analyzeWave;
        EXPECT_TRUE(analysischecks::sameArray("waveWidth", expected.waveWidth, analysis.waveWidth));
        EXPECT_TRUE(analysischecks::sameArray("frequency", expected.frequency, analysis.frequency));
        EXPECT_TRUE(analysischecks::sameArray("midiValue", expected.midiValue, analysis.midiValue));
        EXPECT_TRUE(analysischecks::sameArray("correctedMidiValue", expected.midiValue, analysis.correctedMidiValue));

        std::vector<WaveSegment> boxes = plainBoxes(expected, take.rate);
        ASSERT_GT(boxes.size(), 5u);
        ASSERT_EQ(analysis.segments->size(), boxes.size());
        for (size_t k = 0; k < boxes.size(); k++) {
            const WaveSegment& box = *(*analysis.segments)[k];
            EXPECT_EQ(box.startSample, boxes[k].startSample) << "box " << k;
            EXPECT_EQ(box.endSample, boxes[k].endSample) << "box " << k;
            EXPECT_EQ(box.midiNumber, boxes[k].midiNumber) << "box " << k;
            EXPECT_EQ(box.heldMidi, boxes[k].heldMidi) << "box " << k;
        }
    }
}

// A view that writes down what the document tells it, and what the document
// holds at that moment.
struct RecordingView : DocumentListener {
    WaveHandler* doc = nullptr;
    std::vector<std::string> told;
    void frameCountChanged() override { told.push_back("frames " + std::to_string(doc->frameCount())); }
    void segmentsReleased() override { told.push_back(doc->analyzeWave ? "release analysis" : "release none"); }
    void analysisProgressStarted() override { told.push_back("progress started"); }
    void analysisProgressed() override {}
    void analysisProgressEnded() override { told.push_back("progress ended"); }
    void playHeadMoved(int head) override { told.push_back("head " + std::to_string(head)); }
};

TEST_F(DocumentTest, ItsViewHearsOfEachNewLengthAfterTheOldSegmentsAreLetGo) {
    RecordingView view;
    view.doc = &doc;
    doc.wavePanel = &view;
    std::string first = path("44100Hz_3000f_sine441_mono.wav");
    std::string second = path("44100Hz_7000f_sine441_mono.wav");
    testaudio::writeFile(first, testaudio::sinePeriod(100, 3000), RATE, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    testaudio::writeFile(second, testaudio::sinePeriod(100, 7000), RATE, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    load(first);
    load(second);
    doc.wavePanel = nullptr;
    std::vector<std::string> expected = {"progress started", "release none",     "frames 3000", "progress ended",
                                         "progress started", "release analysis", "frames 7000", "progress ended"};
    EXPECT_EQ(view.told, expected) << "every load holds the window busy throughout; no play-head moves";
}

TEST_F(DocumentTest, NonFiniteSamplesOfAFloatFileBecomeSilence) {
    std::vector<float> samples = testaudio::sinePeriod(100, 3000);
    samples[10] = std::nanf("");
    samples[20] = INFINITY;
    samples[30] = -INFINITY;
    std::string name = path("44100Hz_3000f_sine441_3nonfinite_mono_float.wav");
    testaudio::writeFile(name, samples, RATE, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    std::string out = load(name);

    EXPECT_EQ(countOf(out, "Replaced 3 non-finite samples with 0.0\n"), 1) << out;
    ASSERT_EQ(doc.frameCount(), 3000);
    for (int i : {10, 20, 30}) EXPECT_EQ(doc.originalSamples[i], 0.0f) << "sample " << i;
    EXPECT_EQ(doc.originalSamples[11], samples[11]);
}

TEST_F(DocumentTest, ASecondLoadKeepsTheInterpolationKind) {
    loadSine(2000);
    doc.waveBuilder->interpolation = WaveBuilder::USE_PSOLA;
    loadSine(3000);
    EXPECT_EQ(doc.frameCount(), 3000);
    EXPECT_EQ(doc.waveBuilder->interpolation, WaveBuilder::USE_PSOLA);
}

// ------------------------------------------------------------ refused loads

TEST_F(DocumentTest, AFailedOpenLeavesTheDocumentAsItWas) {
    loadSine(2500);
    DocumentState before(doc);
    std::string notAudio = path("plain_text_named.wav");
    putBytes(notAudio, "This is a letter, not a recording.\n");

    struct Case {
        std::string path;
        std::string says;
    };
    for (const Case& c : {Case{path("missing_file.wav"), "there is no such file."},
                          Case{notAudio, "it is too short to be an audio file (only 35 bytes)."},
                          Case{dir, "it is a folder, not an audio file."}}) {
        std::string out = load(c.path);
        EXPECT_TRUE(DocumentState(doc) == before) << c.path;
        EXPECT_NE(out.find("Cannot open \"" + c.path + "\": " + c.says), std::string::npos) << out;
        EXPECT_EQ(countOf(out, "totreadcount="), 0) << out;
    }

    // Still savable: the file that was loaded is written whole.
    std::string out = save(path("after_failed_open_44100Hz_2500f.wav"));
    EXPECT_EQ(lastWriteCount(out), 2500) << out;
    SF_INFO info;
    testaudio::readFile(path("after_failed_open_44100Hz_2500f.wav"), &info);
    EXPECT_EQ(info.frames, 2500);
}

TEST_F(DocumentTest, HeadersBeyondTheLimitsAreRefusedWithAMessage) {
    loadSine(2000);
    DocumentState before(doc);
    struct Case {
        const char* name;
        std::string bytes;
        const char* says;
    };
    const Case cases[] = {
        {"0ch_44100Hz_16bit.wav", craftedWav(0, 44100, 16, 400, 400), "its header gives no channels."},
        {"65ch_44100Hz_16bit.wav", craftedWav(65, 44100, 16, 65 * 2 * 20, 65 * 2 * 20), "has 65 channels"},
        {"1ch_0Hz_16bit.wav", craftedWav(1, 0, 16, 400, 400), "its header gives no usable sample rate."},
        {"1ch_2000000000Hz_16bit.wav", craftedWav(1, 2000000000u, 16, 400, 400), "unusable sample rate"},
    };
    for (const Case& c : cases) {
        putBytes(path(c.name), c.bytes);
        std::string out = load(path(c.name));
        EXPECT_TRUE(DocumentState(doc) == before) << c.name;
        EXPECT_NE(out.find("Cannot open \"" + path(c.name) + "\""), std::string::npos) << out;
        EXPECT_NE(out.find(c.says), std::string::npos) << c.name << ": " << out;
    }
}

TEST_F(DocumentTest, AFileWithNoAudioIsRefusedAndTheOpenDocumentStillSavesWhole) {
    std::string flac = path("44100Hz_4410f_flac_cut_to_400_bytes.flac");
    testaudio::writeFile(flac, testaudio::sinePeriod(100, 4410), RATE, 1, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    ASSERT_EQ(truncate(flac.c_str(), 400), 0);
    std::string au = path("44100Hz_4410f_au_cut_to_its_header.au");
    testaudio::writeFile(au, testaudio::sinePeriod(100, 4410), RATE, 1, SF_FORMAT_AU | SF_FORMAT_PCM_16);
    ASSERT_EQ(truncate(au.c_str(), 24), 0);
    std::string wav = path("44100Hz_0f_empty_data_chunk.wav");
    putBytes(wav, craftedWav(1, RATE, 16, 0, 0));
    loadSine(2000);
    DocumentState before(doc);
    for (const std::string& empty : {flac, au, wav}) {
        std::string out = load(empty);
        EXPECT_NE(out.find("Cannot open \"" + empty + "\": the file contains no audio.\n"), std::string::npos) << out;
        EXPECT_TRUE(DocumentState(doc) == before) << empty;
    }

    // Saved over a good file, the open document leaves its own audio there.
    std::string good = path("44100Hz_1000f_good_file.wav");
    testaudio::writeFile(good, testaudio::sinePeriod(50, 1000), RATE, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    save(good);
    SF_INFO info;
    EXPECT_EQ(testaudio::readFile(good, &info), testaudio::readFile(path("44100Hz_2000f_sine441_mono_wav16.wav"), &info));

    // A document that never held audio writes nothing over it.
    std::string kept = fileBytes(good);
    WaveHandler empty;
    CoutCapture capture;
    empty.writeFile(&good);
    EXPECT_NE(capture.text().find("Nothing to save: open a recording first.\n"), std::string::npos) << capture.text();
    EXPECT_EQ(fileBytes(good), kept);
}

TEST_F(DocumentTest, ANamedPipeOrADeviceIsRefusedAtOnceAndTheDocumentKept) {
    loadSine(2000);
    std::string pipe = path("named_pipe_without_writer.wav");
    ASSERT_EQ(mkfifo(pipe.c_str(), 0666), 0);
    struct Case {
        std::string name, says;
    };
    for (const Case& c : {Case{pipe, "it is a named pipe, not an audio file."},
                          Case{"/dev/zero", "it is a device, not an audio file."}}) {
        std::optional<std::string> said =
            testaudio::answeredWithin(5, [&] { return load(c.name) + "frames=" + std::to_string(doc.frameCount()); });
        ASSERT_TRUE(said.has_value()) << c.name << ": no answer within 5 seconds";
        EXPECT_NE(said->find("Cannot open \"" + c.name + "\": " + c.says + "\n"), std::string::npos) << *said;
        EXPECT_NE(said->find("frames=2000"), std::string::npos) << *said;
    }
}

TEST_F(DocumentTest, MoreFramesThanCanBeIndexedAreRefused) {
    loadSine(2000);
    DocumentState before(doc);
    // 8-bit mono: a data chunk of nearly 4 GiB announces more frames than an int counts.
    const uint32_t dataBytes = 0xFFFFFF00u;
    ClaimedFile file{craftedWav(1, 8000, 8, dataBytes, 0), 44 + static_cast<sf_count_t>(dataBytes)};
    std::string out = loadStreamFrom(file, "1ch_8000Hz_8bit_4294967040f.wav");

    EXPECT_TRUE(DocumentState(doc) == before);
    EXPECT_NE(out.find("is too long for Cantorel to edit."), std::string::npos) << out;
}

// ------------------------------------------------------------- short files

TEST_F(DocumentTest, ACutWavIsLoadedAsFarAsItGoesAndTheUserIsTold) {
    std::string name = path("44100Hz_8820f_cut_to_4410f_sine441_mono_wav16.wav");
    testaudio::writeFile(name, testaudio::sinePeriod(100, 8820), RATE, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    ASSERT_EQ(truncate(name.c_str(), 44 + 4410 * 2), 0);  // the header still announces 8820 frames
    std::string out = load(name);

    EXPECT_EQ(doc.frameCount(), 4410);
    EXPECT_EQ(countOf(out, "totreadcount=4410\n"), 1) << out;
    EXPECT_NE(out.find("is shorter than its header says"), std::string::npos) << out;
    out = save(path("44100Hz_4410f_saved_from_cut.wav"));
    EXPECT_EQ(lastWriteCount(out), 4410);
    SF_INFO info;
    testaudio::readFile(path("44100Hz_4410f_saved_from_cut.wav"), &info);
    EXPECT_EQ(info.frames, 4410);
}

TEST_F(DocumentTest, AFlacThatEndsEarlyIsLoadedAsFarAsItGoesAndTheUserIsTold) {
    // Noise does not compress, so cutting the file's second half loses frames.
    std::vector<float> noise(20000);
    uint32_t seed = 12345;
    for (float& x : noise) {
        seed = seed * 1664525u + 1013904223u;
        x = static_cast<float>(seed >> 8) / (1 << 24) - 0.5f;
    }
    std::string name = path("44100Hz_20000f_noise_cut_half_mono.flac");
    testaudio::writeFile(name, noise, RATE, 1, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    struct stat st;
    ASSERT_EQ(stat(name.c_str(), &st), 0);
    ASSERT_EQ(truncate(name.c_str(), st.st_size / 2), 0);
    std::string out = load(name);

    ASSERT_NE(doc.analyzeWave, nullptr) << out;
    EXPECT_GT(doc.frameCount(), 0);
    EXPECT_LT(doc.frameCount(), 20000);
    EXPECT_EQ(countOf(out, "totreadcount=" + std::to_string(doc.frameCount()) + "\n"), 1) << out;
    EXPECT_NE(out.find("is shorter than its header says"), std::string::npos) << out;
}

TEST_F(DocumentTest, AHeaderPromisingFarMoreFramesThanTheFileHoldsCostsNoMemory) {
    std::string name = path("44100Hz_4410f_flac_header_claims_2147479552f.flac");
    testaudio::writeFile(name, testaudio::sinePeriod(100, 4410), RATE, 1, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    std::string bytes = fileBytes(name);
    // The 36-bit total sample count of the FLAC stream information ends at byte 25.
    bytes[21] = static_cast<char>(bytes[21] & 0xf0);
    bytes.replace(22, 4, "\x7f\xff\xf0\x00", 4);
    putBytes(name, bytes);
    std::string out;
    {
        AddressSpaceHeadroom headroom(1u << 30);  // buffers for the promise would take 17 GB
        out = load(name);
    }
    EXPECT_EQ(doc.frameCount(), 4410) << out;
    EXPECT_NE(out.find("is shorter than its header says: only 4410 frames could be read."), std::string::npos) << out;
}

// A document holding a short file is asked to load a longer one that it must
// refuse: everything the user had stays, down to the buffers, and still saves.
class RefusedLoad : public DocumentTest {
protected:
    std::string longer = path("44100Hz_100000f_sine441_mono_wav16.wav");

    std::optional<DocumentState> before;
    std::vector<WaveSegment*> segmentsBefore;

    void SetUp() override {
        loadSine(3000);
        before.emplace(doc);
        segmentsBefore = *doc.analyzeWave->segments;
        ASSERT_FALSE(segmentsBefore.empty());
        testaudio::writeFile(longer, testaudio::sinePeriod(100, 100000), RATE, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    }

    void expectKept() {
        EXPECT_TRUE(DocumentState(doc) == *before);
        EXPECT_EQ(*doc.analyzeWave->segments, segmentsBefore);
        EXPECT_FALSE(doc.loading());
        std::string out = save(path("44100Hz_3000f_saved_after_refusal.wav"));
        EXPECT_EQ(lastWriteCount(out), 3000) << out;
    }
};

TEST_F(RefusedLoad, AFileThatCannotFitSaysWhatItNeedsAndWhatIsAvailable) {
    doc.memoryFigures = [] { return MemoryFigures{1 << 20}; };
    std::string out = load(longer);
    // 100000 frames at 36 bytes each: 3.4 MB, a need shown rounded up.
    EXPECT_NE(out.find("Cannot open \"" + longer + "\": editing it needs about 4 MB of memory, but only 1 MB is available.\n"),
              std::string::npos) << out;
    EXPECT_EQ(countOf(out, "totreadcount="), 0) << "refused before its analysis";
    expectKept();

    doc.memoryFigures = [] { return MemoryFigures{1LL << 40, 12 << 20, 10 << 20}; };
    out = load(longer);
    EXPECT_NE(out.find("needs about 4 MB of memory, but only 2 MB is available (this program may use 12 MB).\n"),
              std::string::npos) << out;
    expectKept();
}

TEST_F(RefusedLoad, AnUncompressedFileThatCannotFitIsRefusedBeforeItsSamplesAreRead) {
    doc.memoryFigures = [] { return MemoryFigures{1 << 20}; };
    ClaimedFile file{craftedWav(1, 44100, 16, 200000, 200000), 44 + 200000};
    std::string out = loadStreamFrom(file, "44100Hz_100000f_zeros_mono_wav16.wav");
    EXPECT_NE(out.find("editing it needs about 4 MB of memory, but only 1 MB is available."), std::string::npos)
        << out;
    EXPECT_LT(file.bytesRead, 4096) << "its 200 kB of samples were read first";
}

// Both figures of a refusal read apart whenever they are apart: 1.14 GB needed
// against 1.11 GB available once read "1.1 GB" twice.
TEST_F(RefusedLoad, FiguresCloseTogetherStillReadApart) {
    const long long gigabyte = 1LL << 30;
    doc.memoryFigures = [=] { return MemoryFigures{gigabyte * 111 / 100}; };
    const uint32_t frames = static_cast<uint32_t>(gigabyte * 114 / 100 / bytesToEdit(1, 1));
    ClaimedFile file{craftedWav(1, 44100, 16, 2 * frames, 0), 44 + 2 * frames};
    std::string out = loadStreamFrom(file, "44100Hz_" + std::to_string(frames) + "f_zeros_mono_wav16.wav");
    EXPECT_NE(out.find("editing it needs about 1.2 GB of memory, but only 1.1 GB is available."), std::string::npos)
        << out;
}

// The estimate covers the rebuild of the corrected audio: under an address-space
// limit that holds the recording and its analysis but not the rebuild, the file
// is refused at once instead of failing at the first save; with room for the
// rebuild it opens, and its correction is saved.
TEST_F(DocumentTest, AFileThatOpensCanBeCorrectedAndSaved) {
    if (underAddressSanitizer()) GTEST_SKIP() << "AddressSanitizer needs an unlimited address space";
    const int frames = 1000000;
    std::string big = path("44100Hz_1000000f_sine441_mono_wav16.wav");
    testaudio::writeFile(big, testaudio::sinePeriod(100, frames), RATE, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    // Per frame: 8 bytes of samples and 24 of analysis, then 4 to rebuild.
    for (int bytesPerFrame : {34, 40}) {
        std::string opened, saved;
        {
            AddressSpaceHeadroom headroom(static_cast<rlim_t>(bytesPerFrame) * frames);
            opened = load(big);
            if (doc.frameCount() == frames) {
                doc.chooseScale("c major");
                saved = save(path("44100Hz_1000000f_cmajor_" + std::to_string(bytesPerFrame) + ".wav"));
            }
        }
        if (bytesPerFrame == 34) {
            EXPECT_NE(doc.frameCount(), frames) << "opened although it cannot be saved corrected: " << saved;
            EXPECT_NE(opened.find("editing it needs about"), std::string::npos) << opened;
        } else {
            ASSERT_EQ(doc.frameCount(), frames) << opened;
            EXPECT_EQ(lastWriteCount(saved), frames) << saved;
        }
    }
}

// Once a compressed file is read, its samples are no longer free memory: they
// count as part of what editing it needs, not against it.
TEST_F(DocumentTest, ACompressedFileIsCheckedWithoutCountingItsReadSamplesTwice) {
    std::string name = path("44100Hz_100000f_sine441_mono_flac16.flac");
    testaudio::writeFile(name, testaudio::sinePeriod(100, 100000), RATE, 1, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    doc.memoryFigures = [] { return MemoryFigures{bytesToEdit(100000, 1) - 100000}; };
    std::string out = load(name);
    EXPECT_EQ(doc.frameCount(), 100000) << out;
}

TEST_F(RefusedLoad, RunningOutOfMemoryHalfwayKeepsTheOpenDocument) {
    if (underAddressSanitizer()) GTEST_SKIP() << "AddressSanitizer needs an unlimited address space";
    // The estimate waves the file through; the analysis' arrays (24 MB) then find no room.
    doc.memoryFigures = [] { return MemoryFigures{1LL << 40}; };
    std::string big = path("44100Hz_1000000f_sine441_mono_wav16.wav");
    testaudio::writeFile(big, testaudio::sinePeriod(100, 1000000), RATE, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    std::string out;
    {
        AddressSpaceHeadroom headroom(20u << 20);
        out = load(big);
    }
    EXPECT_NE(out.find("Cannot open \"" + big + "\": there is not enough memory for it.\n"), std::string::npos) << out;
    expectKept();
}

// A view whose user presses Escape as soon as the load begins.
struct CancellingView : RecordingView {
    void analysisProgressStarted() override {
        RecordingView::analysisProgressStarted();
        doc->cancelLoad();
    }
};

TEST_F(RefusedLoad, ACancelledLoadLeavesTheOpenDocumentExactlyAsItWas) {
    CancellingView view;
    view.doc = &doc;
    doc.wavePanel = &view;
    std::string out = load(longer);
    doc.wavePanel = nullptr;
    EXPECT_NE(out.find("Loading cancelled; the open document is kept.\n"), std::string::npos) << out;
    std::vector<std::string> told = {"progress started", "progress ended"};
    EXPECT_EQ(view.told, told) << "no segments let go, no new length";
    expectKept();
    doc.cancelLoad();
    load(longer);
    EXPECT_EQ(doc.frameCount(), 100000) << "a cancel asked for outside a load stops nothing";
}

// ------------------------------------------------------------------- saving

class WriteCounts : public DocumentTest, public ::testing::WithParamInterface<int> {};

TEST_P(WriteCounts, BlocksOf1024ThenTheRest) {
    int frames = GetParam();
    loadSine(frames);
    std::string out = save(path("44100Hz_" + std::to_string(frames) + "f_saved.wav"));
    std::vector<long> expected;
    for (long n = 1024; n < frames; n += 1024) expected.push_back(n);
    expected.push_back(frames);
    EXPECT_EQ(writeCounts(out), expected) << out;
    EXPECT_EQ(out.find("\n1\n"), std::string::npos) << "a stray line: " << out;
}

INSTANTIATE_TEST_SUITE_P(Frames, WriteCounts, ::testing::Values(1000, 2048, 2500));

TEST_F(DocumentTest, ASecondSaveWithoutChangeDoesNotResampleAgain) {
    loadSine(3000);
    doc.chooseScale("c major");
    EXPECT_EQ(countOf(save(path("44100Hz_3000f_first_save.wav")), STREAM_LINE), 1);
    EXPECT_EQ(countOf(save(path("44100Hz_3000f_second_save.wav")), STREAM_LINE), 0);
    EXPECT_EQ(fileBytes(path("44100Hz_3000f_first_save.wav")), fileBytes(path("44100Hz_3000f_second_save.wav")));
}

TEST_F(DocumentTest, IntegerFormatsClipInsteadOfWrapping) {
    loadSine(2000);
    doc.analyzeWave->needsResampling = false;  // save the working copy exactly as set here
    for (int i = 0; i < 10; i++) {
        doc.modifiedSamples[i] = 1.5f;
        doc.modifiedSamples[10 + i] = -1.5f;
    }
    std::string name = path("44100Hz_2000f_over_full_scale_wav16.wav");
    save(name);

    SF_INFO info{};
    SNDFILE* file = sf_open(name.c_str(), SFM_READ, &info);
    ASSERT_NE(file, nullptr);
    std::vector<short> saved(2000);
    ASSERT_EQ(sf_read_short(file, saved.data(), 2000), 2000);
    sf_close(file);
    for (int i = 0; i < 10; i++) {
        EXPECT_EQ(saved[i], 32767) << "sample " << i;
        EXPECT_EQ(saved[10 + i], -32768) << "sample " << 10 + i;
    }
}

TEST_F(DocumentTest, ASaveIntoAMissingFolderSaysWhyAndLeavesNothingBehind) {
    loadSine(2000);
    std::string target = path("no_such_folder/44100Hz_2000f.wav");
    std::string out = save(target);
    EXPECT_NE(out.find("Error opening file.\n" + std::string(strerror(ENOENT)) + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Could not save \"" + target + "\""), std::string::npos) << out;
    EXPECT_EQ(writeCounts(out).size(), 0u);
    EXPECT_FALSE(hasTemporaryFile(dir));
    EXPECT_EQ(doc.frameCount(), 2000);
}

TEST_F(DocumentTest, ASaveOverAFileKeepsItsPermissionBits) {
    loadSine(2000);
    std::string target = path("44100Hz_2000f_mode0640.wav");
    putBytes(target, "old contents");
    ASSERT_EQ(chmod(target.c_str(), 0640), 0);
    save(target);

    struct stat st;
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    SF_INFO info;
    testaudio::readFile(target, &info);
    EXPECT_EQ(info.frames, 2000);
    EXPECT_FALSE(hasTemporaryFile(dir));
}

TEST_F(DocumentTest, AWriteProtectedFileIsRefusedEvenToRoot) {
    loadSine(2000);
    std::string target = path("44100Hz_2000f_mode0444.wav");
    putBytes(target, "old contents");
    ASSERT_EQ(chmod(target.c_str(), 0444), 0);
    std::string out = save(target);
    EXPECT_NE(out.find("Error opening file.\nthe file is write-protected.\nCould not save \"" + target +
                       "\": the file is write-protected.\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(fileBytes(target), "old contents");
    EXPECT_EQ(lastWriteCount(out), -1);
}

// Saves as an unprivileged user would (tests may run as root, whom no file mode
// stops) in a child process, and prints what the save said on standard error.
[[noreturn]] void saveAsNobody(WaveHandler& doc, std::string target) {
    bool dropped = getuid() != 0 || (setgroups(0, nullptr) == 0 && setresgid(65534, 65534, 65534) == 0 &&
                                     setresuid(65534, 65534, 65534) == 0);
    if (!dropped) _exit(2);
    CoutCapture capture;
    doc.writeFile(&target);
    std::fprintf(stderr, "%s", capture.text().c_str());
    std::fflush(stderr);
    _exit(0);
}

mode_t modeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

class SavingAsAUser : public DocumentTest {
protected:
    void SetUp() override {
        ::testing::FLAGS_gtest_death_test_style = "fast";
        ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
        loadSine(2000);
    }

    // Where a file written in place is copied meanwhile; the user may write there.
    std::string cache = folder("cache", 0777);
    testaudio::ScopedVariable cacheHome{"XDG_CACHE_HOME", cache};

    std::string folder(const std::string& name, mode_t mode) {
        std::string made = path(name);
        EXPECT_EQ(mkdir(made.c_str(), 0755), 0);
        EXPECT_EQ(chmod(made.c_str(), mode), 0);
        return made;
    }
};

TEST_F(SavingAsAUser, AWriteProtectedFileIsRefusedAndLeftUntouched) {
    std::string target = folder("writable", 0777) + "/44100Hz_2000f_mode0444.wav";
    putBytes(target, "old contents");
    ASSERT_EQ(chmod(target.c_str(), 0444), 0);
    EXPECT_EXIT(saveAsNobody(doc, target), ::testing::ExitedWithCode(0),
                "Error opening file.\nthe file is write-protected.\n");
    EXPECT_EQ(fileBytes(target), "old contents");
    EXPECT_EQ(modeOf(target), 0444u);
    EXPECT_FALSE(hasTemporaryFile(path("writable")));
}

TEST_F(SavingAsAUser, AWritableFileInAProtectedFolderIsWrittenInPlace) {
    std::string protectedFolder = folder("protected", 0777);
    std::string target = protectedFolder + "/44100Hz_2000f_mode0666.wav";
    putBytes(target, "old contents");
    ASSERT_EQ(chmod(target.c_str(), 0666), 0);
    ASSERT_EQ(chmod(protectedFolder.c_str(), 0555), 0);
    struct stat before;
    ASSERT_EQ(stat(target.c_str(), &before), 0);
    EXPECT_EXIT(saveAsNobody(doc, target), ::testing::ExitedWithCode(0),
                "Writing \"" + target + "\" in place: no new file can be made beside it \\(" + strerror(EACCES) +
                    "\\); a copy is kept in \"" + cache + "/cantorel\" meanwhile.\n.*Writecount=2000\n");
    SF_INFO info;
    EXPECT_EQ(testaudio::readFile(target, &info).size(), 2000u);
    struct stat after;
    ASSERT_EQ(stat(target.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, 0666u);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_TRUE(namesIn(cache + "/cantorel").empty()) << "the copy goes once the new audio is there";
}

TEST_F(DocumentTest, AFolderChosenAsTheTargetIsRefusedWithTheReason) {
    loadSine(2000);
    std::string target = path("44100Hz_2000f_a_folder.wav");
    ASSERT_EQ(mkdir(target.c_str(), 0755), 0);
    std::string out = save(target);
    EXPECT_NE(out.find("Error opening file.\nit is a folder; Cantorel saves only into regular files.\n"), std::string::npos)
        << out;
    EXPECT_TRUE(namesIn(target).empty());
}

TEST_F(DocumentTest, ASaveThroughASymbolicLinkReplacesTheFileAndKeepsTheLink) {
    loadSine(2000);
    ASSERT_EQ(mkdir(path("elsewhere").c_str(), 0755), 0);
    std::string real = path("elsewhere/44100Hz_2000f_link_target.wav");
    putBytes(real, "old contents");
    std::string link = path("44100Hz_2000f_link.wav");
    ASSERT_EQ(symlink("elsewhere/44100Hz_2000f_link_target.wav", link.c_str()), 0);
    save(link);

    struct stat st;
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    SF_INFO info;
    testaudio::readFile(real, &info);
    EXPECT_EQ(info.frames, 2000);
    EXPECT_FALSE(hasTemporaryFile(dir));
    EXPECT_FALSE(hasTemporaryFile(path("elsewhere")));
}

// Lowers the largest file this process may write, as a full disk would stop it,
// for as long as it lives.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved);
        savedHandler = signal(SIGXFSZ, SIG_IGN);  // a failed write then returns EFBIG
        rlimit lowered = saved;
        lowered.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved);
        signal(SIGXFSZ, savedHandler);
    }

private:
    rlimit saved;
    void (*savedHandler)(int);
};

TEST_F(DocumentTest, ADiskThatFillsUpDuringASaveLeavesTheOldFileIntact) {
    loadSine(44100);  // 88 KB of 16-bit samples
    std::string target = path("44100Hz_44100f_disk_full_target.wav");
    testaudio::writeFile(target, testaudio::sinePeriod(50, 1000), RATE, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    std::string old = fileBytes(target);
    std::string out;
    {
        FileSizeLimit limit(16384);
        out = save(target);
    }
    EXPECT_EQ(fileBytes(target), old);
    EXPECT_NE(out.find("Could not save \"" + target + "\": " + strerror(EFBIG)), std::string::npos) << out;
    EXPECT_FALSE(hasTemporaryFile(dir));
}

// ----------------------------------------------------------------- formats

struct FormatCase {
    const char* name;
    const char* extension;
    int format;
    double tolerance;  // one step of the encoding; negative: lossy, not compared
};

void PrintTo(const FormatCase& c, std::ostream* os) { *os << c.name; }

class Formats : public DocumentTest, public ::testing::WithParamInterface<FormatCase> {};

// Each encoding opens and is saved back in itself: same container, encoding,
// rate, channel count and length, with the samples the document held.
TEST_P(Formats, OpenAndSaveBackInTheirOwnFormat) {
    const FormatCase& c = GetParam();
    std::string source = path(std::string("22050Hz_4410f_harmonic100_mono_") + c.name + "." + c.extension);
    testaudio::writeFile(source, testaudio::harmonicPeriod(100, 4410), 22050, 1, c.format);
    std::string out = load(source);
    ASSERT_EQ(doc.frameCount(), 4410) << out;
    std::string target = path(std::string("saved_") + c.name + "." + c.extension);
    save(target);

    SF_INFO info;
    std::vector<float> saved = testaudio::readFile(target, &info);
    EXPECT_EQ(info.format, c.format);
    EXPECT_EQ(info.samplerate, 22050);
    EXPECT_EQ(info.channels, 1);
    EXPECT_EQ(info.frames, 4410);
    if (c.tolerance < 0) return;
    ASSERT_EQ(saved.size(), 4410u);
    for (int i = 0; i < 4410; i++) ASSERT_NEAR(saved[i], doc.modifiedSamples[i], c.tolerance) << "sample " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Encodings, Formats,
    ::testing::Values(FormatCase{"wav_u8", "wav", SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 1.0 / 128},
                      FormatCase{"wav_pcm16", "wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1.0 / 32768},
                      FormatCase{"wav_pcm24", "wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 1.0 / 8388608},
                      FormatCase{"wav_pcm32", "wav", SF_FORMAT_WAV | SF_FORMAT_PCM_32, 1e-7},
                      FormatCase{"wav_float", "wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 0.0},
                      FormatCase{"wav_double", "wav", SF_FORMAT_WAV | SF_FORMAT_DOUBLE, 0.0},
                      FormatCase{"aiff_pcm16", "aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 1.0 / 32768},
                      FormatCase{"flac_pcm16", "flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 1.0 / 32768},
                      FormatCase{"ogg_vorbis", "ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, -1.0},
                      FormatCase{"caf_pcm16", "caf", SF_FORMAT_CAF | SF_FORMAT_PCM_16, 1.0 / 32768},
                      FormatCase{"w64_pcm16", "w64", SF_FORMAT_W64 | SF_FORMAT_PCM_16, 1.0 / 32768}),
    [](const ::testing::TestParamInfo<FormatCase>& info) { return std::string(info.param.name); });

// The choosers list every kind of audio file the program opens, named in either
// case, and all files besides.
TEST_F(DocumentTest, TheChoosersListEveryKindOfAudioFileThatOpens) {
    std::string filter = WaveHandler::AUDIO_FILTER;
    size_t lineEnd = filter.find('\n');
    ASSERT_NE(lineEnd, std::string::npos) << filter;
    EXPECT_EQ(filter.substr(lineEnd + 1), "All files\t*");
    ASSERT_EQ(filter.rfind("Audio files\t", 0), 0u) << filter;
    std::string pattern = filter.substr(filter.find('\t') + 1, lineEnd - filter.find('\t') - 1);
    const std::pair<std::string, int> kinds[] = {
        {"wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16}, {"flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
        {"ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS}, {"aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16},
        {"au", SF_FORMAT_AU | SF_FORMAT_PCM_16},   {"caf", SF_FORMAT_CAF | SF_FORMAT_PCM_16},
        {"w64", SF_FORMAT_W64 | SF_FORMAT_PCM_16}, {"mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III}};
    for (const auto& [extension, format] : kinds) {
        std::string name = "44100Hz_8820f_sine441_mono." + extension;
        testaudio::writeFile(path(name), testaudio::sinePeriod(100, 8820), RATE, 1, format);
        std::string out = load(path(name));
        EXPECT_EQ(countOf(out, "totreadcount="), 1) << name << " did not open: " << out;
        EXPECT_EQ(doc.recordingPath(), path(name));
        std::string upper = name;
        std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
        EXPECT_TRUE(fl_filename_match(name.c_str(), pattern.c_str())) << name;
        EXPECT_TRUE(fl_filename_match(upper.c_str(), pattern.c_str())) << upper;
    }
    EXPECT_FALSE(fl_filename_match("notes.txt", pattern.c_str()));
}

TEST_F(DocumentTest, AFlacFileNamedWavIsReadByContentAndSavedAsFlac) {
    std::string source = path("44100Hz_4410f_sine441_mono_flac16_named.wav");
    testaudio::writeFile(source, testaudio::sinePeriod(100, 4410), RATE, 1, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    load(source);
    ASSERT_EQ(doc.frameCount(), 4410);
    std::string target = path("44100Hz_4410f_saved_as_flac_named.wav");
    save(target);

    EXPECT_EQ(fileBytes(target).substr(0, 4), "fLaC");
    SF_INFO info;
    testaudio::readFile(target, &info);
    EXPECT_EQ(info.format, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    EXPECT_EQ(info.frames, 4410);
}

// ------------------------------------------------------------ multi-channel

TEST_F(DocumentTest, AStereoFileIsAnalysedAsTheMeanOfItsChannels) {
    std::vector<float> left = testaudio::sinePeriod(100, 3000, 0.8f);
    std::vector<float> right = testaudio::sinePeriod(50, 3000, 0.2f);
    std::vector<float> interleaved;
    for (int i = 0; i < 3000; i++) {
        interleaved.push_back(left[i]);
        interleaved.push_back(right[i]);
    }
    std::string name = path("44100Hz_3000f_sine441_sine882_stereo_float.wav");
    testaudio::writeFile(name, interleaved, RATE, 2, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    std::string out = load(name);

    EXPECT_EQ(countOf(out, "totreadcount=6000\n"), 1) << out;
    ASSERT_EQ(doc.frameCount(), 3000);
    EXPECT_EQ(doc.channels, 2);
    const float* mono = doc.monoSamples();
    for (int i = 0; i < 3000; i++) ASSERT_FLOAT_EQ(mono[i], (left[i] + right[i]) / 2) << "frame " << i;
}

class ManyChannels : public DocumentTest, public ::testing::WithParamInterface<int> {};

// The same tone in every channel at different loudness: a scale that moves it
// moves every channel alike, and each keeps its own loudness.
TEST_P(ManyChannels, EveryChannelIsCorrectedTheSameWay) {
    const int channels = GetParam();
    const int frames = 22050;
    // Period 162: 272.22 Hz, C#4 sung 31 cents flat; C major takes it to the nearer C4 (261.63 Hz).
    std::vector<float> tone = testaudio::harmonicPeriod(162, frames, 1.0f);
    std::vector<float> interleaved;
    for (int i = 0; i < frames; i++) {
        for (int c = 0; c < channels; c++) interleaved.push_back(tone[i] * 0.8f / (c + 1));
    }
    std::string name = path("44100Hz_22050f_harmonic162_" + std::to_string(channels) + "ch_pcm16.wav");
    testaudio::writeFile(name, interleaved, RATE, channels, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    load(name);
    ASSERT_EQ(doc.channels, channels);
    doc.analyzeWave->setScale("c major");
    doc.analyzeWave->calculateCorrectPitch();
    std::string target = path("44100Hz_22050f_c_major_" + std::to_string(channels) + "ch_saved.wav");
    std::string out = save(target);
    EXPECT_EQ(countOf(out, STREAM_LINE), channels);

    SF_INFO info;
    std::vector<float> saved = testaudio::readFile(target, &info);
    ASSERT_EQ(info.channels, channels);
    ASSERT_EQ(info.frames, frames);
    std::vector<float> first = channelOf(saved, channels, 0);
    double firstHz = testaudio::zeroCrossingHz(first, frames / 4, 3 * frames / 4, RATE);
    // Whole-sample output periods leave the note up to 10.3 cents flat (one sample in 169).
    EXPECT_NEAR(cents(firstHz, testaudio::midiToHz(60)), 0.0, 11.0) << firstHz << " Hz";
    for (int c = 1; c < channels; c++) {
        std::vector<float> channel = channelOf(saved, channels, c);
        double hz = testaudio::zeroCrossingHz(channel, frames / 4, 3 * frames / 4, RATE);
        EXPECT_NEAR(cents(hz, firstHz), 0.0, 0.5) << "channel " << c;
        // Loudness ratios survive within 16-bit rounding of the quietest channel.
        double ratio = rms(channel, frames / 4, 3 * frames / 4) / rms(first, frames / 4, 3 * frames / 4);
        EXPECT_NEAR(ratio, 1.0 / (c + 1), 0.002) << "channel " << c;
    }
}

INSTANTIATE_TEST_SUITE_P(Stereo_And_Six, ManyChannels, ::testing::Values(2, 6));

// --------------------------------------------------------- correction to disk

// Off-pitch notes that any resynthesis would move: a save that leaves them
// exactly as they were has not touched the recording.
TEST_F(DocumentTest, NoCorrectionSavesTheRecordingsOwnSamplesAndMovesOnlyANoteDragged) {
    std::vector<float> sung;
    for (int period : {166, 272, 221}) {
        std::vector<float> note = testaudio::harmonicPeriod(period, 8820);
        sung.insert(sung.end(), note.begin(), note.end());
    }
    for (int format : {SF_FORMAT_PCM_16, SF_FORMAT_FLOAT}) {
        std::string name = path("44100Hz_26460f_3notes_off_pitch_mono_" + std::to_string(format) + ".wav");
        testaudio::writeFile(name, sung, RATE, 1, SF_FORMAT_WAV | format);
        SF_INFO info;
        std::vector<float> loaded = testaudio::readFile(name, &info);
        load(name);
        save(path("right_after_loading.wav"));
        EXPECT_EQ(testaudio::readFile(path("right_after_loading.wav"), &info), loaded) << "format " << format;
        doc.chooseScale("c major");
        doc.chooseScale(nullptr);  // "No correction"
        save(path("after_no_correction.wav"));
        EXPECT_EQ(testaudio::readFile(path("after_no_correction.wav"), &info), loaded) << "format " << format;
    }
    // Still under "No correction", a note dragged two semitones up moves alone, onto the note it
    // was dragged to: every sample of the other notes is saved as it was loaded.
    ASSERT_EQ(doc.analyzeWave->segments->size(), 3u);
    const WaveSegment& dragged = *(*doc.analyzeWave->segments)[1];
    doc.moveNote((*doc.analyzeWave->segments)[1], 2);
    save(path("one_note_dragged.wav"));
    SF_INFO info;
    std::vector<float> loaded = testaudio::readFile(path("right_after_loading.wav"), &info);
    std::vector<float> saved = testaudio::readFile(path("one_note_dragged.wav"), &info);
    for (int i = 0; i < static_cast<int>(saved.size()); i++) {
        if (i >= dragged.startSample && i <= dragged.endSample) continue;
        ASSERT_EQ(saved[i], loaded[i]) << "sample " << i;
    }
    int from = dragged.startSample + 2000, to = dragged.endSample - 2000;
    double draggedTo = testaudio::midiToHz(dragged.midiNumber);
    EXPECT_NEAR(cents(testaudio::zeroCrossingHz(saved, from, to, RATE), draggedTo), 0.0, 5.0);
}

struct OffNote {
    int midi;    // the C-major note it is meant to be
    int period;  // samples at 44.1 kHz: 20 to 40 cents away from it
};

// A melody sung 20 to 40 cents off C-major notes, each after a rest, so that
// every note starts afresh on its target.
TEST_F(DocumentTest, ACMajorCorrectionPutsEveryNoteOfASavedMelodyOnTheScale) {
    const OffNote notes[] = {{60, 166}, {52, 272}, {55, 221}, {57, 204}, {62, 153}, {59, 176}};
    const int noteFrames = 11025, restFrames = 2205;
    std::vector<float> sung;
    for (const OffNote& n : notes) {
        std::vector<float> note = testaudio::harmonicPeriod(n.period, noteFrames);
        sung.insert(sung.end(), note.begin(), note.end());
        sung.insert(sung.end(), restFrames, 0.0f);
    }
    std::string name = path("44100Hz_79380f_melody_6notes_20to40cents_off_mono_pcm16.wav");
    testaudio::writeFile(name, sung, RATE, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    load(name);
    doc.analyzeWave->setScale("c major");
    doc.analyzeWave->calculateCorrectPitch();
    std::string target = path("44100Hz_79380f_melody_c_major_saved.wav");
    save(target);

    SF_INFO info;
    std::vector<float> saved = testaudio::readFile(target, &info);
    ASSERT_EQ(saved.size(), sung.size());
    for (size_t k = 0; k < std::size(notes); k++) {
        int start = static_cast<int>(k) * (noteFrames + restFrames);
        int from = start + noteFrames / 4, to = start + 3 * noteFrames / 4;
        double targetHz = testaudio::midiToHz(notes[k].midi);
        double before = cents(testaudio::zeroCrossingHz(sung, from, to, RATE), targetHz);
        double after = cents(testaudio::zeroCrossingHz(saved, from, to, RATE), targetHz);
        ASSERT_GE(std::fabs(before), 20.0) << "note " << k;
        // Copies carry their leftover fraction of a sample, and periods are read to a fraction
        // of a sample, so a note sounds at its target; one cent covers the zero-crossing
        // measurement.
        EXPECT_NEAR(after, 0.0, 1.0) << "note " << k << " midi " << notes[k].midi;
    }
}

namespace {

// Notes of half a second, phase-continuous, each followed by a fifth of a second of digital
// silence; `voice` adds the second and third harmonics of a sung vowel.
std::vector<float> notesWithRests(const std::vector<int>& notes, int rate, bool voice) {
    std::vector<float> out;
    for (int note : notes) {
        double hz = testaudio::midiToHz(note);
        int frames = rate / 2;
        for (int i = 0; i < frames; i++) {
            double phase = 2.0 * M_PI * hz * i / rate;
            double fade = std::min({1.0, i / (0.02 * rate), (frames - i) / (0.03 * rate)});
            double harmonics = voice ? 0.5 * std::sin(2 * phase) + 0.25 * std::sin(3 * phase) : 0.0;
            out.push_back(static_cast<float>(0.3 * fade * (std::sin(phase) + harmonics)));
        }
        out.insert(out.end(), rate / 5, 0.0f);
    }
    return out;
}

// Cents from its note of the middle half of every note of a saved notesWithRests melody.
std::vector<double> savedNoteCents(const std::string& saved, const std::vector<int>& notes, int rate) {
    SF_INFO info;
    std::vector<float> samples = testaudio::readFile(saved, &info);
    std::vector<double> off;
    for (size_t k = 0; k < notes.size(); k++) {
        int start = static_cast<int>(k) * (rate / 2 + rate / 5), quarter = rate / 8;
        double hz = testaudio::zeroCrossingHz(samples, start + quarter, start + rate / 2 - quarter, rate);
        off.push_back(cents(hz, testaudio::midiToHz(notes[k])));
    }
    return off;
}

}  // namespace

// Where periods are few samples long, whole-sample periods were a sixth of a semitone off: an
// in-tune 220 Hz sine at 8 kHz came out 17.6 cents flat after a chromatic correction, and sung
// notes at 22.05 kHz up to 25 cents off.
TEST_F(DocumentTest, InTuneNotesAtLowRatesStayInTuneThroughAChromaticCorrection) {
    const std::vector<int> notes = {57, 60, 64, 67, 69, 71, 72, 74, 76, 79, 81, 83, 84};
    for (int rate : {8000, 22050}) {
        std::string name = path(std::to_string(rate) + "Hz_13_sines_in_tune_with_rests.wav");
        testaudio::writeFile(name, notesWithRests(notes, rate, false), rate, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
        load(name);
        doc.chooseScale("chromatic");
        save(path(std::to_string(rate) + "Hz_13_sines_corrected.wav"));
        std::vector<double> off = savedNoteCents(path(std::to_string(rate) + "Hz_13_sines_corrected.wav"), notes, rate);
        // The vertex finds a period to a cent or two; the measurement adds well under one.
        for (size_t k = 0; k < notes.size(); k++) EXPECT_NEAR(off[k], 0.0, 3.0) << rate << " Hz, note " << notes[k];
    }
    std::string sung = path("22050Hz_13_sung_notes_in_tune_with_rests.wav");
    testaudio::writeFile(sung, notesWithRests(notes, 22050, true), 22050, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    load(sung);
    doc.chooseScale("chromatic");
    save(path("22050Hz_13_sung_notes_corrected.wav"));
    std::vector<double> off = savedNoteCents(path("22050Hz_13_sung_notes_corrected.wav"), notes, 22050);
    // Whole-sample periods left these 10 cents off on average and 23 at worst.
    double total = 0.0;
    for (size_t k = 0; k < notes.size(); k++) {
        EXPECT_NEAR(off[k], 0.0, 4.0) << "sung note " << notes[k];
        total += std::fabs(off[k]);
    }
    EXPECT_LT(total / notes.size(), 2.0);
}

// The first window holds a period of up to 1023 samples: a bass's low C (65.4 Hz, a period of
// 674 samples) is read on its note, where a first window of 1024 samples read MIDI 97.
TEST_F(DocumentTest, ABassLowCIsReadOnItsNote) {
    std::string name = path("44100Hz_1s_sawtooth_C2_65Hz.wav");
    testaudio::writeFile(name, testaudio::steadyTone(testaudio::Waveform::SAWTOOTH, testaudio::midiToHz(36), RATE, RATE),
                         RATE, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    load(name);
    ASSERT_NE(doc.analyzeWave, nullptr);
    for (int i = RATE / 4; i < 3 * RATE / 4; i++) {
        ASSERT_NEAR(doc.analyzeWave->midiValue[i], 36.0, 0.5) << "sample " << i;
    }
}

TEST_F(DocumentTest, ANoteRaisedBeyondAnyPeriodKeepsTheProgramRunningAndSaves) {
    // After a rest the corrected pitch starts right on the raised note instead of gliding there.
    std::vector<float> samples(1000, 0.0f);
    std::vector<float> tone = testaudio::sinePeriod(100, 21050);
    samples.insert(samples.end(), tone.begin(), tone.end());
    std::string name = path("44100Hz_22050f_rest1000_sine441_mono_wav16.wav");
    testaudio::writeFile(name, samples, RATE, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    load(name);
    ASSERT_FALSE(doc.analyzeWave->segments->empty());
    doc.moveNote((*doc.analyzeWave->segments)[0], 100);
    std::string target = path("44100Hz_22050f_sine441_raised_100_semitones.wav");
    std::string out = save(target);

    EXPECT_GE(countOf(out, "zero destination width - "), 1) << out.substr(0, 2000);
    EXPECT_EQ(lastWriteCount(out), 22050);
    SF_INFO info;
    testaudio::readFile(target, &info);
    EXPECT_EQ(info.frames, 22050);
}

}  // namespace
