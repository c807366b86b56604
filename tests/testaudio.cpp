#include "testaudio.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include "SafeSave.h"
#include "WaveHandler.h"

namespace testaudio {

namespace {

void removeFolders(std::vector<std::string>& folders) {
    for (const std::string& folder : folders) {
        std::error_code error;
        std::filesystem::remove_all(folder, error);
        if (error) std::cerr << "cannot remove " << folder << ": " << error.message() << "\n";
    }
    folders.clear();
}

// Folders made while a test runs go when it ends, the others when the program
// ends (gtest deletes its listeners then). A forked child that exits normally
// leaves its parent's folders alone.
class TempFolders : public ::testing::EmptyTestEventListener {
public:
    ~TempFolders() override {
        if (getpid() != owner) return;
        removeFolders(ofTest);
        removeFolders(ofProgram);
    }
    void add(const std::string& folder) {
        bool inTest = ::testing::UnitTest::GetInstance()->current_test_info() != nullptr;
        (inTest ? ofTest : ofProgram).push_back(folder);
    }
    void OnTestEnd(const ::testing::TestInfo&) override { removeFolders(ofTest); }

private:
    pid_t owner = getpid();
    std::vector<std::string> ofTest, ofProgram;
};

TempFolders& tempFolders() {
    static TempFolders* folders = [] {
        TempFolders* made = new TempFolders;
        ::testing::UnitTest::GetInstance()->listeners().Append(made);
        return made;
    }();
    return *folders;
}

std::string tempBase() {
    const char* fromEnvironment = std::getenv("TMPDIR");
    if (fromEnvironment && *fromEnvironment) return fromEnvironment;
#ifdef CANTOREL_TEST_TMPDIR
    return CANTOREL_TEST_TMPDIR;
#else
    return "/tmp";
#endif
}

}  // namespace

std::string makeTempDir(const std::string& tag) {
    std::string base = tempBase();
    std::filesystem::create_directories(base);
    std::string pattern = base + "/cantorel_" + tag + "_XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed in " + base);
    tempFolders().add(buf.data());
    return std::string(buf.data());
}

std::vector<float> sinePeriod(int period, int frames, float amplitude) {
    std::vector<float> out(frames);
    for (int i = 0; i < frames; i++) out[i] = amplitude * std::sin(2.0 * M_PI * (i % period) / period);
    return out;
}

static double harmonicShape(double phase) {
    return std::sin(phase) + 0.3 * std::sin(2 * phase) + 0.15 * std::sin(3 * phase);
}

std::vector<float> harmonicPeriod(int period, int frames, float amplitude) {
    std::vector<float> out(frames);
    for (int i = 0; i < frames; i++) out[i] = amplitude / 1.45 * harmonicShape(2.0 * M_PI * (i % period) / period);
    return out;
}

std::vector<float> melody(const std::vector<Note>& notes, int rate, float amplitude) {
    std::vector<float> out;
    double phase = 0.0;
    for (const Note& n : notes) {
        for (int i = 0; i < n.frames; i++) {
            if (n.hz <= 0.0) {
                out.push_back(0.0f);
                continue;
            }
            out.push_back(static_cast<float>(amplitude / 1.45 * harmonicShape(phase)));
            phase = std::fmod(phase + 2.0 * M_PI * n.hz / rate, 2.0 * M_PI);
        }
    }
    return out;
}

std::vector<float> pitchCurveTone(const std::function<double(double)>& midiAt, int frames, int rate,
                                  float amplitude) {
    std::vector<float> out(frames);
    double phase = 0.0;
    for (int i = 0; i < frames; i++) {
        out[i] = static_cast<float>(amplitude / 1.45 * harmonicShape(phase));
        phase = std::fmod(phase + 2.0 * M_PI * midiToHz(midiAt(static_cast<double>(i) / rate)) / rate, 2.0 * M_PI);
    }
    return out;
}

std::vector<float> steadyTone(Waveform shape, double hz, int frames, int rate, float amplitude) {
    int harmonics = shape == Waveform::SINE ? 1 : static_cast<int>(std::ceil(rate / (2.0 * hz))) - 1;
    int step = shape == Waveform::SQUARE ? 2 : 1;
    // The limits of the two series are pi/2 and pi/4 at their peaks.
    double scale = amplitude * (shape == Waveform::SAWTOOTH ? 2.0 / M_PI : shape == Waveform::SQUARE ? 4.0 / M_PI : 1.0);
    std::vector<float> out(frames);
    for (int i = 0; i < frames; i++) {
        double phase = 2.0 * M_PI * std::fmod(hz * i / rate, 1.0);
        // sin(k phase) for k = 1, 2, 3, ... by the recurrence of the Chebyshev polynomials.
        double twiceCos = 2.0 * std::cos(phase), previous = 0.0, current = std::sin(phase), sum = 0.0;
        for (int k = 1; k <= harmonics; k++) {
            if ((k - 1) % step == 0) sum += current / k;
            double next = twiceCos * current - previous;
            previous = current;
            current = next;
        }
        out[i] = static_cast<float>(scale * sum);
    }
    return out;
}

std::vector<float> brownNoise(int frames, unsigned seed) {
    std::vector<float> out(frames);
    unsigned state = seed;
    double level = 0.0;
    for (int i = 0; i < frames; i++) {
        state = state * 1664525u + 1013904223u;
        double white = (state >> 8) / double(1 << 24) * 2.0 - 1.0;
        level = 0.99 * level + 0.1 * white;
        out[i] = static_cast<float>(level);
    }
    return out;
}

double midiToHz(double midi) { return 440.0 * std::pow(2.0, (midi - 69.0) / 12.0); }
double hzToMidi(double hz) { return 69.0 + 12.0 * std::log2(hz / 440.0); }

void writeFile(const std::string& path, const std::vector<float>& samples, int rate, int channels, int format) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) throw std::runtime_error("cannot write " + path + ": " + sf_strerror(nullptr));
    sf_write_float(f, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(f);
}

std::vector<float> readFile(const std::string& path, SF_INFO* info) {
    *info = SF_INFO{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, info);
    if (!f) throw std::runtime_error("cannot read " + path + ": " + sf_strerror(nullptr));
    std::vector<float> out(static_cast<size_t>(info->frames * info->channels));
    sf_count_t got = sf_read_float(f, out.data(), static_cast<sf_count_t>(out.size()));
    out.resize(static_cast<size_t>(got));
    sf_close(f);
    return out;
}

std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void putBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

std::vector<std::string> namesIn(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = opendir(folder.c_str());
    while (dirent* entry = dir ? readdir(dir) : nullptr) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    if (dir) closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

std::string fileName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

double zeroCrossingHz(const std::vector<float>& samples, int start, int end, int rate) {
    double first = -1.0, last = -1.0;
    int crossings = 0;
    for (int i = start + 1; i < end; i++) {
        if (samples[i - 1] < 0.0f && samples[i] >= 0.0f) {
            // Interpolate where the signal crosses zero between the two samples.
            double at = (i - 1) + samples[i - 1] / (samples[i - 1] - samples[i]);
            if (first < 0.0) first = at;
            last = at;
            crossings++;
        }
    }
    if (crossings < 2) return 0.0;
    return (crossings - 1) * rate / (last - first);
}

CoutCapture::CoutCapture() : saved(std::cout.rdbuf(captured.rdbuf())) {}

CoutCapture::~CoutCapture() { std::cout.rdbuf(saved); }

std::string CoutCapture::text() const { return captured.str(); }

void CoutCapture::clear() { captured.str(""); }

int countOf(const std::string& text, const std::string& line) {
    int count = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + line.size())) count++;
    return count;
}

bool underAddressSanitizer() {
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return true;
#endif
#endif
    return false;
}

AddressSpaceHeadroom::AddressSpaceHeadroom(rlim_t bytes) {
    getrlimit(RLIMIT_AS, &saved);
    if (underAddressSanitizer()) return;
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    rlimit lowered = saved;
    lowered.rlim_cur = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + bytes;
    setrlimit(RLIMIT_AS, &lowered);
}

AddressSpaceHeadroom::~AddressSpaceHeadroom() { setrlimit(RLIMIT_AS, &saved); }

std::vector<float> renderWithFluidsynth(const std::vector<unsigned char>& midi, const std::string& name) {
    return takes::renderWithFluidsynth(midi, makeTempDir("fluidsynth"), name);
}

ScopedVariable::ScopedVariable(const std::string& variable, const std::string& value) : name(variable) {
    const char* before = std::getenv(name.c_str());
    wasSet = before != nullptr;
    if (wasSet) earlier = before;
    setenv(name.c_str(), value.c_str(), 1);
}

ScopedVariable::~ScopedVariable() {
    if (wasSet) setenv(name.c_str(), earlier.c_str(), 1);
    else unsetenv(name.c_str());
}

SaveOutcome saveTone(const std::string& target, long long frames, int started) {
    SF_INFO format{};
    format.samplerate = 44100;
    format.channels = 1;
    format.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;  // no time-stamped PEAK chunk: saves repeat byte for byte
    std::vector<float> block = sinePeriod(100, 4000);
    return saveSafely(target, format, [&](SNDFILE* out) {
        for (long long written = 0; written < frames; written += 4000) {
            sf_count_t count = std::min<long long>(4000, frames - written);
            if (saveStopRequested() || sf_write_float(out, block.data(), count) != count) return false;
            if (written == 0 && started >= 0 && write(started, "1", 1) != 1) return false;
        }
        return true;
    });
}

std::optional<std::string> answeredWithin(int seconds, const std::function<std::string()>& work) {
    int answer[2];
    if (pipe(answer) != 0) return std::nullopt;
    std::cout.flush();
    pid_t child = fork();
    if (child == 0) {
        close(answer[0]);
        std::string said = work();
        bool written = write(answer[1], said.data(), said.size()) == static_cast<ssize_t>(said.size());
        _exit(written ? 0 : 1);
    }
    close(answer[1]);
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            close(answer[0]);
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::string said;
    char block[4096];
    for (ssize_t got; (got = read(answer[0], block, sizeof block)) > 0;) said.append(block, got);
    close(answer[0]);
    return said;
}

static bool targetMoved(const std::string& target, const struct stat& before) {
    struct stat now;
    return stat(target.c_str(), &now) == 0 &&
           (now.st_size != before.st_size || now.st_mtim.tv_sec != before.st_mtim.tv_sec ||
            now.st_mtim.tv_nsec != before.st_mtim.tv_nsec);
}

// Polls often, so the signal lands while the save is still at it; false when
// the child ended first (its status is then in `status`).
static bool targetMovedFirst(const std::string& target, const struct stat& before, pid_t child, int& status) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        if (targetMoved(target, before)) return true;
        if (waitpid(child, &status, WNOHANG) == child) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return true;
}

int interruptedSave(const std::string& target, long long frames, int signal, Interrupt when) {
    struct stat before {};
    stat(target.c_str(), &before);
    int started[2];
    if (pipe(started) != 0) return -1;
    std::cout.flush();
    pid_t child = fork();
    if (child == 0) {
        // The saver yields to the test on a busy machine, so the signal comes in time.
        errno = 0;
        if (nice(19) == -1 && errno != 0) _exit(2);
        _exit(saveTone(target, frames, started[1]).saved() ? 0 : 1);
    }
    close(started[1]);
    int status = 0;
    char byte;
    bool due = when == Interrupt::WhileWritingAudio ? read(started[0], &byte, 1) == 1
                                                    : targetMovedFirst(target, before, child, status);
    close(started[0]);
    if (!due && when == Interrupt::WhileWritingAudio) waitpid(child, &status, 0);
    if (!due) return -1;
    kill(child, signal);
    waitpid(child, &status, 0);
    return status;
}

void loadTone(WaveHandler& doc, int frames, const std::string& tag) {
    std::string path = makeTempDir(tag) + "/44100Hz_" + std::to_string(frames) + "f_sine441_mono.wav";
    writeFile(path, sinePeriod(100, frames), 44100, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    doc.loadWave(&path);
    ASSERT_EQ(doc.frameCount(), frames);
}

}  // namespace testaudio
