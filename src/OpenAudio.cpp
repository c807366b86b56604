#include "OpenAudio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <vector>

#include "utils.h"

using std::string;

// Below this size a file holds no whole header of any format Cantorel reads
// together with audio; a refused one has been cut short.
static const long long SHORTEST_AUDIO_FILE = 128;

static string openErrorReason(int error) {
    if (error == ENOENT) return "there is no such file.";
    if (error == EACCES) return "you are not allowed to read it.";
    return string(strerror(error)) + ".";
}

// Opened without blocking, so a named pipe with no writer cannot hang the
// program; whatever is not a regular file is refused before it is read.
static int openRegularFile(const string& path, long long& size, string& problem) {
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        problem = openErrorReason(errno);
        return -1;
    }
    struct stat st;
    const char* kind = fstat(fd, &st) == 0 ? utils::nonFileKind(st.st_mode) : "unreadable";
    if (kind) {
        problem = string("it is ") + kind + ", not an audio file.";
        close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    size = st.st_size;
    return fd;
}

// A number that libsndfile wrote into its log after `label`, or `otherwise`.
static long long loggedNumber(const string& log, const string& label, long long otherwise) {
    size_t at = log.find(label);
    if (at == string::npos) return otherwise;
    size_t colon = log.find(':', at + label.size());
    return colon == string::npos ? otherwise : std::atoll(log.c_str() + colon + 1);
}

// libsndfile words a refusal for its own developers ("Internal error : SF_INFO
// struct incomplete."); its log of the failed open tells what the header said.
static string unreadableReason(long long size) {
    std::vector<char> buffer(16384, '\0');
    sf_command(nullptr, SFC_GET_LOG_INFO, buffer.data(), static_cast<int>(buffer.size()) - 1);
    string log(buffer.data());
    int error = sf_error(nullptr);
    std::cout << "libsndfile: " << sf_strerror(nullptr) << "\n";
    // The record it checked last is logged after a line of dashes; without one
    // the header's own fields are the last word.
    size_t record = log.find("\n----");
    string checked = record == string::npos ? log : log.substr(record);
    long long bitWidth = loggedNumber(log, "Bit Width", 0);
    if (loggedNumber(checked, "Sample rate", 1) < 1) return "the file is damaged: its header gives no usable sample rate.";
    if (loggedNumber(checked, "Channels", 1) < 1) return "the file is damaged: its header gives no channels.";
    if (loggedNumber(checked, "Frames", 0) < 0) return "the file is damaged: its header gives an impossible length.";
    if (log.find("IEEE_FLOAT") != string::npos && bitWidth != 32 && bitWidth != 64)
        return "its samples are " + std::to_string(bitWidth) + "-bit floating-point numbers, which Cantorel cannot read.";
    if (size < SHORTEST_AUDIO_FILE)
        return "it is too short to be an audio file (only " + std::to_string(size) + " bytes).";
    if (error == SF_ERR_UNRECOGNISED_FORMAT) return "it is not an audio file that Cantorel can read.";
    if (error == SF_ERR_UNSUPPORTED_ENCODING) return "its audio is stored in an encoding that Cantorel cannot read.";
    return "the file is damaged, or is not a kind of audio file that Cantorel can read.";
}

SNDFILE* openAudioFile(const string& path, SF_INFO& info, string& problem) {
    long long size = 0;
    int fd = openRegularFile(path, size, problem);
    if (fd < 0) return nullptr;
    info = SF_INFO{};
    SNDFILE* file = sf_open_fd(fd, SFM_READ, &info, SF_TRUE);  // closes fd when it fails
    if (!file) problem = unreadableReason(size);
    return file;
}

bool framesKnownBeforeReading(const SF_INFO& info) {
    // libsndfile trims uncompressed data to what the file holds, so its frame
    // count is known before a sample is read; a compressed stream may promise anything.
    if ((info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_FLAC) return false;  // names its samples PCM
    switch (info.format & SF_FORMAT_SUBMASK) {
        case SF_FORMAT_PCM_S8: case SF_FORMAT_PCM_U8: case SF_FORMAT_PCM_16: case SF_FORMAT_PCM_24:
        case SF_FORMAT_PCM_32: case SF_FORMAT_FLOAT: case SF_FORMAT_DOUBLE: case SF_FORMAT_ULAW:
        case SF_FORMAT_ALAW:
            return true;
        default:
            return false;
    }
}

// libsndfile trims a data chunk that runs past the end of the file and notes
// that only in its log, as "data : <size in header> (should be <size found>)".
static bool dataChunkCut(SNDFILE* file) {
    std::vector<char> log(16384, '\0');
    sf_command(file, SFC_GET_LOG_INFO, log.data(), static_cast<int>(log.size()) - 1);
    string text(log.data());
    for (const char* chunk : {"\ndata : ", " SSND : "}) {
        size_t at = text.find(chunk);
        if (at == string::npos) continue;
        size_t lineEnd = text.find('\n', at + 1);
        if (text.substr(at, lineEnd - at).find("(should be") != string::npos) return true;
    }
    return false;
}

string shortfallNotice(SNDFILE* file, const SF_INFO& info, long long framesRead, const string& name) {
    string shown = "\"" + utils::printable(name) + "\"";
    string frames = std::to_string(framesRead) + " frames";
    // An MP3 without a length tag has its length guessed from its bit rate: a
    // shortfall there is no damage.
    if ((info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG) return "";
    // An Ogg stream whose last page is missing has no known length at all.
    if (info.frames == SF_COUNT_MAX) return shown + " is cut short or damaged at its end: the " + frames + " before that were loaded.";
    if (framesRead < info.frames || dataChunkCut(file))
        return shown + " is shorter than its header says: only " + frames + " could be read.";
    return "";
}
