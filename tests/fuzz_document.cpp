// Feeds arbitrary bytes through the document's whole file path in memory:
// read, analyse, correct to C major, resample with every interpolation kind
// and write back in the same format.
//
// Built with -fsanitize=fuzzer it is a libFuzzer target. Built with
// CANTOREL_FUZZ_REPLAY it is a plain program that runs every file of the
// folders named on its command line through the same entry function.

#include <sndfile.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <streambuf>
#include <vector>

#include "WaveBuilder.h"
#include "WaveHandler.h"

namespace {

// The bytes of one input, read through libsndfile's virtual I/O.
struct MemoryReader {
    const uint8_t* data;
    sf_count_t size;
    sf_count_t position;
};

// A growing file in memory that libsndfile writes (and may read back and seek in).
struct MemoryWriter {
    std::vector<uint8_t> bytes;
    sf_count_t position = 0;
};

sf_count_t clampedSeek(sf_count_t offset, int whence, sf_count_t position, sf_count_t size) {
    sf_count_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? position : size;
    return std::max<sf_count_t>(0, base + offset);
}

sf_count_t readerLength(void* user) { return static_cast<MemoryReader*>(user)->size; }

sf_count_t readerSeek(sf_count_t offset, int whence, void* user) {
    MemoryReader* reader = static_cast<MemoryReader*>(user);
    reader->position = std::min(clampedSeek(offset, whence, reader->position, reader->size), reader->size);
    return reader->position;
}

sf_count_t readerRead(void* into, sf_count_t count, void* user) {
    MemoryReader* reader = static_cast<MemoryReader*>(user);
    sf_count_t n = std::max<sf_count_t>(0, std::min(count, reader->size - reader->position));
    if (n > 0) std::memcpy(into, reader->data + reader->position, static_cast<size_t>(n));
    reader->position += n;
    return n;
}

sf_count_t readerWrite(const void*, sf_count_t, void*) { return 0; }

sf_count_t readerTell(void* user) { return static_cast<MemoryReader*>(user)->position; }

sf_count_t writerLength(void* user) { return static_cast<sf_count_t>(static_cast<MemoryWriter*>(user)->bytes.size()); }

sf_count_t writerSeek(sf_count_t offset, int whence, void* user) {
    MemoryWriter* writer = static_cast<MemoryWriter*>(user);
    writer->position = clampedSeek(offset, whence, writer->position, writerLength(user));
    return writer->position;
}

sf_count_t writerRead(void* into, sf_count_t count, void* user) {
    MemoryWriter* writer = static_cast<MemoryWriter*>(user);
    sf_count_t n = std::max<sf_count_t>(0, std::min(count, writerLength(user) - writer->position));
    if (n > 0) std::memcpy(into, writer->bytes.data() + writer->position, static_cast<size_t>(n));
    writer->position += n;
    return n;
}

sf_count_t writerWrite(const void* from, sf_count_t count, void* user) {
    MemoryWriter* writer = static_cast<MemoryWriter*>(user);
    size_t end = static_cast<size_t>(writer->position + count);
    if (end > writer->bytes.size()) writer->bytes.resize(end);
    std::memcpy(writer->bytes.data() + writer->position, from, static_cast<size_t>(count));
    writer->position += count;
    return count;
}

sf_count_t writerTell(void* user) { return static_cast<MemoryWriter*>(user)->position; }

SF_VIRTUAL_IO readerIO = {readerLength, readerSeek, readerRead, readerWrite, readerTell};
SF_VIRTUAL_IO writerIO = {writerLength, writerSeek, writerRead, writerWrite, writerTell};

// Swallows the trace lines: printing them costs more than everything else.
class NullBuffer : public std::streambuf {
protected:
    int overflow(int c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

class SilencedOutput {
public:
    SilencedOutput() : saved(std::cout.rdbuf(&sink)) {}
    ~SilencedOutput() { std::cout.rdbuf(saved); }

private:
    NullBuffer sink;
    std::streambuf* saved;
};

void saveInMemory(WaveHandler& document) {
    SF_INFO out{};
    out.samplerate = document.sfinfoin->samplerate;
    out.channels = document.sfinfoin->channels;
    out.format = document.sfinfoin->format;
    MemoryWriter writer;
    SNDFILE* file = sf_open_virtual(&writerIO, SFM_WRITE, &out, &writer);
    if (!file) return;
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    document.writeSamples(file);
    sf_close(file);
}

void correctAndSave(WaveHandler& document) {
    document.analyzeWave->setScale("c major");
    document.analyzeWave->calculateCorrectPitch();
    for (int kind : {WaveBuilder::USE_CATMULL_CLARK, WaveBuilder::USE_CUBIC_SPLINE, WaveBuilder::USE_PSOLA}) {
        document.waveBuilder->interpolation = kind;
        document.analyzeWave->needsResampling = true;
        document.resampleWaveIfRequired();
        saveInMemory(document);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SilencedOutput silence;
    MemoryReader reader{data, static_cast<sf_count_t>(size), 0};
    SF_INFO info{};
    SNDFILE* file = sf_open_virtual(&readerIO, SFM_READ, &info, &reader);
    if (!file) return 0;
    WaveHandler document;
    bool loaded = document.loadStream(file, info, "fuzz");
    sf_close(file);
    if (loaded) correctAndSave(document);
    return 0;
}

#ifdef CANTOREL_FUZZ_REPLAY

#include <dirent.h>

#include <fstream>
#include <iterator>
#include <string>

namespace {

std::vector<std::string> filesIn(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = opendir(folder.c_str());
    if (!dir) return names;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_type == DT_REG) names.push_back(folder + "/" + entry->d_name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

// Runs every saved input once; a crash or sanitizer report fails the test,
// and so does finding no input at all, so a moved corpus is noticed.
int main(int argc, char** argv) {
    size_t replayed = 0;
    for (int i = 1; i < argc; i++) {
        for (const std::string& name : filesIn(argv[i])) {
            std::ifstream in(name, std::ios::binary);
            std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
            replayed++;
        }
    }
    std::cerr << "replayed " << replayed << " inputs\n";
    return replayed > 0 ? 0 : 1;
}

#endif
