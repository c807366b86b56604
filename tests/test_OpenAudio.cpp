// What the user is told about files that cannot be read, or only in part:
// generated damaged headers, cut streams and hostile names, opened by the document.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "WaveHandler.h"
#include "testaudio.h"

namespace {

using testaudio::CoutCapture;
using testaudio::fileBytes;

std::string littleEndian(uint32_t value, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; i++) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
    return out;
}

// A WAV of 200 silent frames with whatever format tag, width and rate its
// header claims; `dataChunks` of them.
std::string wav(int formatTag, int bits, uint32_t rate, int dataChunks = 1) {
    const uint32_t dataBytes = 200 * bits / 8;
    std::string body = "WAVEfmt " + littleEndian(16, 4) + littleEndian(formatTag, 2) + littleEndian(1, 2) +
                       littleEndian(rate, 4) + littleEndian(rate * bits / 8, 4) + littleEndian(bits / 8, 2) +
                       littleEndian(bits, 2);
    for (int i = 0; i < dataChunks; i++) body += "data" + littleEndian(dataBytes, 4) + std::string(dataBytes, '\0');
    return "RIFF" + littleEndian(static_cast<uint32_t>(body.size()), 4) + body;
}

class OpenAudioTest : public ::testing::Test {
protected:
    std::string dir = testaudio::makeTempDir("openaudio");
    CoutCapture quietConstruction;
    WaveHandler doc;

    void SetUp() override { testaudio::loadTone(doc, 3000, "openaudio_open"); }

    std::string path(const std::string& name) const { return dir + "/" + name; }

    // The bytes of a 1000-frame tone written by libsndfile, with `bytes` put over them at `offset`.
    std::string patched(const std::string& extension, int format, size_t offset, const std::string& bytes) {
        std::string source = path("44100Hz_1000f_sine441_pcm16." + extension);
        testaudio::writeFile(source, testaudio::sinePeriod(100, 1000), 44100, 1, format);
        return fileBytes(source).replace(offset, bytes.size(), bytes);
    }

    std::string load(std::string name) {
        CoutCapture capture;
        doc.loadWave(&name);
        return capture.text();
    }
};

std::string bigEndianDouble(double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    std::string out;
    for (int i = 7; i >= 0; i--) out.push_back(static_cast<char>((bits >> (8 * i)) & 0xff));
    return out;
}

TEST_F(OpenAudioTest, EachDamagedHeaderIsNamedAndTheOpenDocumentKept) {
    const float* open = doc.originalSamples;
    struct Case {
        std::string name, bytes, says;
    };
    const std::string noRate = "the file is damaged: its header gives no usable sample rate.";
    const Case cases[] = {
        {"1ch_0Hz_pcm16.wav", wav(1, 16, 0), noRate},
        // The rate of an AU file sits at byte 16, of a CAF file (a double) at byte 20.
        {"1ch_minus65536Hz_pcm16.au", patched("au", SF_FORMAT_AU | SF_FORMAT_PCM_16, 16, std::string("\xff\xff\x00\x00", 4)), noRate},
        {"1ch_NaNHz_pcm16.caf", patched("caf", SF_FORMAT_CAF | SF_FORMAT_PCM_16, 20, bigEndianDouble(NAN)), noRate},
        {"1ch_44100Hz_two_data_chunks.wav", wav(1, 16, 44100, 2),
         "the file is damaged: its header gives an impossible length."},
        {"1ch_44100Hz_float16.wav", wav(3, 16, 44100),
         "its samples are 16-bit floating-point numbers, which Cantorel cannot read."},
        {"1ch_44100Hz_float8.wav", wav(3, 8, 44100),
         "its samples are 8-bit floating-point numbers, which Cantorel cannot read."},
        {"4_bytes.wav", "RIFF", "it is too short to be an audio file (only 4 bytes)."},
        {"13_bytes_mp3_sync.mp3", std::string("\xff\xfb", 2) + std::string(11, '\0'),
         "it is too short to be an audio file (only 13 bytes)."},
        {"100_bytes_of_text.wav", std::string(100, 'a'), "it is too short to be an audio file (only 100 bytes)."},
    };
    for (const Case& c : cases) {
        testaudio::putBytes(path(c.name), c.bytes);
        std::string out = load(path(c.name));
        EXPECT_NE(out.find("Cannot open \"" + path(c.name) + "\": " + c.says + "\n"), std::string::npos) << out;
        EXPECT_EQ(doc.originalSamples, open) << c.name;
        EXPECT_EQ(doc.frameCount(), 3000) << c.name;
    }
}

TEST_F(OpenAudioTest, AnMp3WithoutALengthTagLoadsWithoutAFalseAlarm) {
    // A constant bit rate file without its "Info" frame: its length is guessed from its size.
    std::string mp3 = path("44100Hz_44100f_sine441_cbr_no_length_tag.mp3");
    SF_INFO format{};
    format.samplerate = 44100;
    format.channels = 1;
    format.format = SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
    SNDFILE* out = sf_open(mp3.c_str(), SFM_WRITE, &format);
    ASSERT_NE(out, nullptr) << sf_strerror(nullptr);
    int constant = SF_BITRATE_MODE_CONSTANT;
    sf_command(out, SFC_SET_BITRATE_MODE, &constant, sizeof constant);
    std::vector<float> tone = testaudio::sinePeriod(100, 44100);
    sf_write_float(out, tone.data(), 44100);
    sf_close(out);
    std::string bytes = fileBytes(mp3);
    size_t tag = bytes.find("Info"), nextFrame = bytes.find("\xff\xfb", tag);
    ASSERT_NE(nextFrame, std::string::npos);
    testaudio::putBytes(mp3, bytes.substr(0, bytes.rfind("\xff\xfb", tag)) + bytes.substr(nextFrame));

    std::string said = load(mp3);
    EXPECT_GE(doc.frameCount(), 44100) << said;
    EXPECT_EQ(said.find(mp3 + "\" is"), std::string::npos) << said;
}

TEST_F(OpenAudioTest, AnOggCutInHalfLoadsWhatIsThereAndSaysSo) {
    std::string ogg = path("44100Hz_441000f_sine441_vorbis_cut_in_half.ogg");
    testaudio::writeFile(ogg, testaudio::sinePeriod(100, 441000), 44100, 1, SF_FORMAT_OGG | SF_FORMAT_VORBIS);
    struct stat st;
    ASSERT_EQ(stat(ogg.c_str(), &st), 0);
    ASSERT_EQ(truncate(ogg.c_str(), st.st_size / 2), 0);

    std::string said = load(ogg);
    EXPECT_GT(doc.frameCount(), 100000) << said;
    EXPECT_LT(doc.frameCount(), 441000) << said;
    EXPECT_NE(said.find("\"" + ogg + "\" is cut short or damaged at its end: the " + std::to_string(doc.frameCount()) +
                        " frames before that were loaded.\n"),
              std::string::npos)
        << said;
    EXPECT_EQ(said.find("too long"), std::string::npos) << said;
}

TEST_F(OpenAudioTest, ANameHoldingTerminalEscapesIsShownEscaped) {
    std::string hostile = path("take\x1b]0;owned\x07_\x1b[31mred\n.wav");
    testaudio::putBytes(hostile, "This is a letter, not a recording.\n");
    std::string said = load(hostile);
    EXPECT_NE(said.find("take\\x1b]0;owned\\x07_\\x1b[31mred\\n.wav\": it is too short"), std::string::npos) << said;
    EXPECT_EQ(said.find('\x1b'), std::string::npos);
    EXPECT_EQ(said.find('\x07'), std::string::npos);
}

}  // namespace
