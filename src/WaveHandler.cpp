#include "WaveHandler.h"

#include <FL/Fl.H>
#include <FL/Fl_Native_File_Chooser.H>
#include <FL/fl_ask.H>
#include <FL/filename.H>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>

#include "OpenAudio.h"
#include "SafeSave.h"
#include "Scan.h"
#include "utils.h"

using std::cout;

const double WaveHandler::MIN_ZOOM = 1.0 / 16.0;
const double WaveHandler::MAX_ZOOM = 65536.0;

static const int BLOCK = 1024;
// The first window searches lags up to half its length: 1023 samples hold a period of 43 Hz, below
// a bass's lowest sung notes.
static const int FIRST_WINDOW = 2048;
static const int MAX_CHANNELS = 64;
static const int MAX_SAMPLE_RATE = 1536000;
const char* const WaveHandler::AUDIO_FILTER =
    "Audio files\t*.{wav,WAV,flac,FLAC,ogg,OGG,oga,OGA,aif,AIF,aiff,AIFF,aifc,AIFC,au,AU,snd,SND,caf,CAF,w64,W64,"
    "mp3,MP3}\nAll files\t*";

WaveHandler::WaveHandler()
    : originalSamples(nullptr),
      modifiedSamples(nullptr),
      channels(0),
      playBackVolume(5.0f),
      originalSampleslen(0),
      wavePanel(nullptr),
      waveBuilder(nullptr),
      sfinfoin(nullptr),
      sfinfoout(nullptr),
      CORRECTION_RATE(0.0003),
      analyzeWave(nullptr),
      zoom(512.0f),
      selectionStart(-1),
      selectionEnd(-1),
      stopPlayingWave(false) {
    cout << "WaveHandler::WaveHandler()\n";
    init();
}

static void followPlayHeadTick(void* document);

WaveHandler::~WaveHandler() {
    Fl::remove_timeout(followPlayHeadTick, this);
    audioPlayer.reset();
    delete analyzeWave;
    free(originalSamples);
    free(workingCopy);
    delete waveBuilder;
    delete sfinfoin;
    delete sfinfoout;
}

void WaveHandler::init() {
    cout << "WaveHandler::init()\n";
    originalSamples = nullptr;
    modifiedSamples = nullptr;
    channels = 0;
    playBackVolume = 5.0f;
    originalSampleslen = 0;
    waveBuilder = new WaveBuilder();
    sfinfoin = new SF_INFO();
    sfinfoout = new SF_INFO();
    CORRECTION_RATE = 0.0003;
    analyzeWave = nullptr;
    zoom = 512.0f;
    selectionStart = -1;
    selectionEnd = -1;
    stopPlayingWave = false;
    audioPlayer = std::make_unique<AudioPlayer>(stopPlayingWave, playBackVolume);
}

void WaveHandler::setVolume(float volume) { playBackVolume = volume; }

void WaveHandler::tellStateChanged() {
    if (wavePanel) wavePanel->documentStateChanged();
}

float* WaveHandler::monoSamples() { return channels > 1 ? mixdown.data() : originalSamples; }

// Problems go to standard output always, and to a dialog when a window shows
// this document.
void WaveHandler::tellUser(const string& text) {
    cout << text << "\n";
    if (!wavePanel) return;
    cout.flush();
    fl_message_title("Cantorel");
    // A long file name pushes the reason past the screen's edge: give it a line of its own.
    string shown = text;
    size_t afterName = shown.find("\": ");
    if (afterName != string::npos) shown.replace(afterName, 3, "\":\n");
    fl_alert("%s", shown.c_str());
}

// ------------------------------------------------------------------- loading

// A file name as messages show it: quoted, with control characters escaped.
static string quoted(const string& name) { return "\"" + utils::printable(name) + "\""; }

// Sample counts are indexed with int, with a block of headroom.
static long long mostFrames(int channels) { return (INT_MAX - BLOCK) / channels; }

// A compressed stream's header may promise any length: its frames are counted as they are read.
bool WaveHandler::acceptable(const SF_INFO& info, const string& path) {
    string problem;
    if (info.channels < 1 || info.channels > MAX_CHANNELS)
        problem = "has " + std::to_string(info.channels) + " channels; Cantorel opens files with 1 to 64 channels.";
    else if (info.samplerate < 1 || info.samplerate > MAX_SAMPLE_RATE)
        problem = "has an unusable sample rate of " + std::to_string(info.samplerate) + " Hz.";
    else if (framesKnownBeforeReading(info) && info.frames > mostFrames(info.channels))
        problem = "is too long for Cantorel to edit.";
    if (problem.empty()) return true;
    tellUser("Cannot open " + quoted(path) + ": the file " + problem);
    return false;
}

// Thrown out of a progress report when the user cancels a load.
struct LoadCancelled {};

// A recording being loaded: it replaces the document's only once complete.
struct WaveHandler::Recording {
    std::unique_ptr<float, decltype(&free)> samples{nullptr, &free};
    std::unique_ptr<float, decltype(&free)> working{nullptr, &free};
    std::vector<float> mixdown;
    std::unique_ptr<WaveAnalysis> analysis;
    long long total = 0;
};

// Where each step of a load ends on the progress bar, in proportion to what the
// steps take on a sung line: reading, the working copy and the analysis' arrays,
// the period search, the note boundaries; installing and the correction take the rest.
static const double READ_END = 0.05;
static const double ARRAYS_MADE = 0.06;
static const double PERIODS_FOUND = 0.82;
static const double NOTES_FOUND = 0.88;
// Frames asked of the library at a time, in blocks; the bar moves after each read.
static const int BLOCKS_PER_READ = 64;

// How many were replaced with 0.0. A NaN fails the comparison too, so one test finds both kinds.
static int replaceNonFinite(float* samples, int count) {
    auto nonFinite = [](float x) { return !(std::fabs(x) <= std::numeric_limits<float>::max()); };
    int replaced = 0;
    for (int at = firstWhere(samples, 0, count, nonFinite); at < count; at = firstWhere(samples, at + 1, count, nonFinite)) {
        samples[at] = 0.0f;
        replaced++;
    }
    return replaced;
}

// Reads every sample the file delivers, in runs of blocks of 1024 frames, never
// past what the header promised nor past what can be indexed, into a buffer with
// 1024 floats of headroom, and replaces non-finite samples while each run is at
// hand. An uncompressed file holds what its header says, so its buffer is taken
// at once; a compressed one's grows with the data, so a header that promises far
// more than the file holds costs no memory. Null when memory runs out. The
// document's sample buffers are malloc'ed raw arrays, so the analysis can read
// them in place.
float* WaveHandler::readBlocks(SNDFILE* file, const SF_INFO& info, long long& total, long long& replaced) {
    long long capacity = std::clamp<long long>(info.frames, 0, mostFrames(info.channels)) * info.channels;
    bool sizeKnown = framesKnownBeforeReading(info);
    long long room = 0;
    std::unique_ptr<float, decltype(&free)> samples(nullptr, &free);
    total = replaced = 0;
    for (;;) {
        long long wanted = std::min<long long>((long long)BLOCK * BLOCKS_PER_READ * info.channels, capacity - total);
        if (total + wanted + BLOCK > room) {
            room = std::min(std::max(sizeKnown ? capacity : 2 * room, total + wanted) + BLOCK, capacity + BLOCK);
            float* grown = static_cast<float*>(realloc(samples.get(), room * sizeof(float)));
            if (!grown) return nullptr;
            samples.release();
            samples.reset(grown);
        }
        sf_count_t got = wanted > 0 ? sf_read_float(file, samples.get() + total, wanted) : 0;
        if (got <= 0) break;
        replaced += replaceNonFinite(samples.get() + total, static_cast<int>(got));
        total += got;
        reportLoadProgress(READ_END * std::min(1.0, total / (double)capacity));
    }
    std::fill(samples.get() + total, samples.get() + total + BLOCK, 0.0f);
    return samples.release();
}

void WaveHandler::releaseAnalysis() {
    if (wavePanel) wavePanel->segmentsReleased();
    delete analyzeWave;
    analyzeWave = nullptr;
}

// `held` is what the recording has taken already, such as its samples once read.
void WaveHandler::checkMemoryFor(long long frames, int channels, long long held) {
    MemoryFigures memory = memoryFigures();
    long long needed = bytesToEdit(frames, channels), usable = memory.usable();
    if (usable < 0 || needed <= usable + held) return;
    usable += held;
    string limit = memory.addressLimit < 0 ? "" : " (this program may use " + readableSize(memory.addressLimit) + ")";
    throw std::runtime_error("editing it needs about " + readableSize(needed, Rounding::Up) + " of memory, but only " +
                             readableSize(usable, Rounding::Down) + " is available" + limit + ".");
}

// Everything the new recording needs is made before anything of the open one
// is let go, so running out of memory or cancelling leaves that one intact.
void WaveHandler::readRecording(SNDFILE* file, const SF_INFO& info, Recording& recording) {
    bool checkedAhead = framesKnownBeforeReading(info);
    if (checkedAhead) checkMemoryFor(info.frames, info.channels, 0);
    long long replaced;
    recording.samples.reset(readBlocks(file, info, recording.total, replaced));
    if (!recording.samples) throw std::bad_alloc();
    long long frames = recording.total / info.channels;
    if (frames == 0) throw std::runtime_error("the file contains no audio.");
    if (!checkedAhead && frames >= mostFrames(info.channels))
        throw std::runtime_error("the file is too long for Cantorel to edit.");
    if (!checkedAhead) checkMemoryFor(frames, info.channels, recording.total * static_cast<long long>(sizeof(float)));
    if (replaced > 0) cout << "Replaced " << replaced << " non-finite samples with 0.0\n";
    if (stepDone) stepDone("reading");
    recording.working.reset(static_cast<float*>(calloc(recording.total + BLOCK, sizeof(float))));
    if (!recording.working) throw std::bad_alloc();
    if (info.channels > 1) {
        // Each mean is written once; only the headroom after them is zeroed.
        recording.mixdown.reserve(frames + BLOCK);
        const float* loaded = recording.samples.get();
        for (long long frame = 0; frame < frames; frame++) {
            double sum = 0.0;
            for (int c = 0; c < info.channels; c++) sum += loaded[frame * info.channels + c];
            recording.mixdown.push_back(static_cast<float>(sum / info.channels));
        }
        recording.mixdown.resize(frames + BLOCK, 0.0f);
    }
    if (stepDone) stepDone("mixing");
}

// The analysis reports each step's share done; the bar shows it within the step's part.
static std::function<void(double)> reportBetween(double from, double to, const std::function<void(double)>& report) {
    return [=](double share) { report(from + (to - from) * share); };
}

void WaveHandler::analyse(Recording& recording, int sampleRate) {
    float* mono = recording.mixdown.empty() ? recording.samples.get() : recording.mixdown.data();
    int frames = static_cast<int>(recording.mixdown.empty() ? recording.total : recording.mixdown.size() - BLOCK);
    reportLoadProgress(READ_END);
    recording.analysis = std::make_unique<WaveAnalysis>(mono, frames, sampleRate, FIRST_WINDOW, this);
    if (stepDone) stepDone("array set-up");
    recording.analysis->stepDone = stepDone;
    std::function<void(double)> report = [this](double share) { reportLoadProgress(share); };
    recording.analysis->progress = reportBetween(ARRAYS_MADE, PERIODS_FOUND, report);
    recording.analysis->findFrequencies();
    recording.analysis->progress = reportBetween(PERIODS_FOUND, NOTES_FOUND, report);
    recording.analysis->findSegments();
    recording.analysis->progress = nullptr;
    recording.analysis->stepDone = nullptr;
}

void WaveHandler::install(Recording& recording, const SF_INFO& info, const string& name) {
    // The old recording stops sounding when a new one takes its place.
    audioPlayer->stop();
    releaseAnalysis();
    free(originalSamples);
    free(workingCopy);
    originalSamples = recording.samples.release();
    workingCopy = recording.working.release();
    *sfinfoin = info;
    sfinfoin->frames = recording.total / info.channels;
    channels = info.channels;
    originalSampleslen = static_cast<int>(recording.total);
    mixdown.swap(recording.mixdown);
    analyzeWave = recording.analysis.release();
    undoHistory.clear();
    redoHistory.clear();
    unsavedChanges = false;
    shownPath = name;
    saveAsPath.clear();
    appliedScale.clear();
    if (wavePanel) wavePanel->frameCountChanged();
    restoreOriginal();
    if (stepDone) stepDone("correction");
    tellStateChanged();
}

void WaveHandler::loadWave(string* path) {
    SF_INFO info{};
    string problem;
    SNDFILE* file = openAudioFile(*path, info, problem);
    if (!file) {
        tellUser("Cannot open " + quoted(*path) + ": " + problem);
        return;
    }
    loadStream(file, info, *path);
    sf_close(file);
}

bool WaveHandler::loadStream(SNDFILE* file, const SF_INFO& info, const string& name) {
    if (!acceptable(info, name)) return false;
    string problem;
    bool loaded = false;
    beginLoad();
    try {
        Recording recording;
        readRecording(file, info, recording);
        cout << "totreadcount=" << recording.total << "\n";
        analyse(recording, info.samplerate);
        install(recording, info, name);
        loaded = true;
    } catch (const std::bad_alloc&) {
        problem = "there is not enough memory for it.";
    } catch (const std::runtime_error& tooLarge) {
        problem = tooLarge.what();
    } catch (const LoadCancelled&) {
        cout << "Loading cancelled; the open document is kept.\n";
    }
    endLoad();
    if (!problem.empty()) tellUser("Cannot open " + quoted(name) + ": " + problem);
    string shortfall = loaded ? shortfallNotice(file, info, sfinfoin->frames, name) : "";
    if (!shortfall.empty()) tellUser(shortfall);
    return loaded;
}

// The window turns busy at once (wait pointer, input held back), and what
// covered it, such as the file chooser, goes before reading starts.
void WaveHandler::beginLoad() {
    loadRunning = true;
    cancelRequested = false;
    loadStartedAt = std::chrono::steady_clock::now();
    if (!wavePanel) return;
    wavePanel->analysisProgressStarted();
    wavePanel->analysisProgressed();
}

void WaveHandler::endLoad() {
    loadRunning = false;
    cancelRequested = false;
    loadProgress = -1.0;
    if (wavePanel) wavePanel->analysisProgressEnded();
}

// The bar's width is a few hundred pixels.
static const double SMALLEST_STEP = 0.0025;

// A load shows its bar once it has taken half a second, so it never looks hung;
// each report is also where a cancel takes effect.
void WaveHandler::reportLoadProgress(double share) {
    bool due = loadProgress >= 0.0 || std::chrono::steady_clock::now() - loadStartedAt >= std::chrono::milliseconds(500);
    // A redraw for less than a pixel of the bar would only cost time.
    bool moved = loadProgress < 0.0 || share >= loadProgress + SMALLEST_STEP;
    if (wavePanel && due && moved) {
        if (loadProgress < 0.0) cout << "Showing load progress\n";
        loadProgress = share;
        wavePanel->analysisProgressed();
    }
    if (cancelRequested) throw LoadCancelled();
}

// Every note as sung, but those the user put on a note of their own: they keep their place.
void WaveHandler::restoreOriginal() {
    if (!analyzeWave) return;
    analyzeWave->setScale("chromatic");
    analyzeWave->leaveAsSung();
    modifiedSamples = originalSamples;
    analyzeWave->calculateCorrectPitch(0.0);  // no glide: the curve keeps the sung movements
    // Unless a note was moved, the working copy is the recording itself.
    const std::vector<WaveSegment*>& notes = *analyzeWave->segments;
    analyzeWave->needsResampling =
        std::any_of(notes.begin(), notes.end(), [](const WaveSegment* note) { return note->overridesScale(); });
}

// --------------------------------------------------------------- resampling

void WaveHandler::resampleChannel(int channel) {
    int frames = frameCount();
    std::vector<float> stream;
    float* source = originalSamples;
    if (channels > 1) {
        stream.resize(frames);
        for (int i = 0; i < frames; i++) stream[i] = originalSamples[(size_t)i * channels + channel];
        source = stream.data();
    }
    waveBuilder->shortestPeriod = analyzeWave->shortestPeriod();
    std::unique_ptr<float[]> rebuilt(waveBuilder->resampleStream(source, frames, analyzeWave->frequency,
                                                                 analyzeWave->correctedMidiValue,
                                                                 analyzeWave->waveWidth));
    for (int i = 0; i < frames; i++) workingCopy[(size_t)i * channels + channel] = rebuilt[i];
}

bool WaveHandler::resampleWaveIfRequired() {
    cout << "TODO: WaveHandler::resampleWaveIfRequired \n";
    if (!analyzeWave || !sfinfoin || sfinfoin->frames == 0 || !analyzeWave->needsResampling) return true;
    try {
        // Every channel follows the same period plan, found on the mono stream.
        for (int c = 0; c < channels; c++) resampleChannel(c);
    } catch (const std::bad_alloc&) {
        return false;
    }
    modifiedSamples = workingCopy;
    analyzeWave->needsResampling = false;
    return true;
}

// ------------------------------------------------------------------- writing

bool WaveHandler::writeSamples(SNDFILE* out) {
    long long frames = sfinfoin->frames;
    long long written = 0;
    while (written < frames) {
        long long count = std::min<long long>(BLOCK, frames - written);
        sf_count_t items = count * channels;
        if (saveStopRequested() || sf_write_float(out, modifiedSamples + written * channels, items) != items) return false;
        written += count;
        cout << "Writecount=" << written << "\n";
    }
    return true;
}

// Says why the output could not be opened.
void WaveHandler::reportOpenFailure(const string& target, const string& reason) {
    cout << "Error opening file.\n";
    sf_format_check(sfinfoout);
    cout << reason << "\n";
    tellUser("Could not save " + quoted(target) + ": " + reason);
}

bool WaveHandler::writeAtomically(const string& target) {
    SaveOutcome outcome = saveSafely(target, *sfinfoout, [this](SNDFILE* out) { return writeSamples(out); });
    if (outcome.openFailed) reportOpenFailure(target, outcome.reason);
    else if (!outcome.saved()) tellUser("Could not save " + quoted(target) + ": " + outcome.reason);
    return outcome.saved();
}

bool WaveHandler::writeFile(string* path) {
    cout << "TODO:: WaveHandler::writeFile\n";
    // A document without audio would leave an empty file where a recording was.
    if (frameCount() == 0) {
        tellUser("Nothing to save: open a recording first.");
        return false;
    }
    if (!resampleWaveIfRequired()) {
        tellUser("Could not save " + quoted(*path) + ": there is not enough memory to rebuild the corrected audio.");
        return false;
    }
    sfinfoout->frames = 0;
    sfinfoout->samplerate = sfinfoin->samplerate;
    sfinfoout->channels = sfinfoin->channels;
    sfinfoout->format = sfinfoin->format;
    sfinfoout->sections = 1;
    sfinfoout->seekable = 0;
    bool saved = writeAtomically(*path);
    if (saved) {
        unsavedChanges = false;
        tellStateChanged();
    }
    return saved;
}

void WaveHandler::playWave(int start, int end) {
    bool rebuilt = resampleWaveIfRequired();
    cout << "TODO: WaveHandler::playWave\n";
    stopPlayingWave = false;
    string problem;
    try {
        problem = audioPlayer->play(modifiedSamples, playRange(start, end), channels, sampleRate());
    } catch (const std::bad_alloc&) {
        problem = "Cannot play: there is not enough memory.";
    }
    if (!rebuilt) problem = "Not enough memory to rebuild the corrected audio; playing it as it was.";
    if (!problem.empty()) tellUser(problem);
    if (audioPlayer->playing()) followPlayHead();
}

// ------------------------------------------------------------- file commands

// The chosen name; "" when the chooser was cancelled.
static string chooseFile(const char* title, Fl_Native_File_Chooser::Type type, int options = 0) {
    std::unique_ptr<string> dir(utils::getlastdir("wavedir"));
    Fl_Native_File_Chooser chooser;
    chooser.filter(WaveHandler::AUDIO_FILTER);
    chooser.title(title);
    chooser.directory(dir->c_str());
    chooser.options(options);
    chooser.type(type);
    int shown = chooser.show();
    if (shown == -1 || shown == 1 || !chooser.filename()) return "";
    return chooser.filename();
}

static void rememberFolderOf(const string& name) {
    utils::setlastdir("wavedir", name.substr(0, fl_filename_name(name.c_str()) - name.c_str()).c_str());
}

void WaveHandler::fileOpen() {
    cout << "WaveHandler::fileOpen()\n";
    if (cancelledAutoSave()) return;
    string name = chooseFile("Select a file to load", Fl_Native_File_Chooser::BROWSE_FILE);
    if (name.empty()) return;
    rememberFolderOf(name);
    loadWave(&name);
}

void WaveHandler::openNamedFile(const string& path) {
    cout << "WaveHandler::openNamedFile()\n";
    if (cancelledAutoSave()) return;
    string name = path;
    rememberFolderOf(name);
    loadWave(&name);
}

// Once saved as a name, the document goes on saving there: the user chose that
// file and answered for it. The file opened is never written without asking.
void WaveHandler::fileSave() {
    cout << "WaveHandler::fileSave()\n";
    if (saveAsPath.empty()) {
        fileSaveAs();
        return;
    }
    string name = saveAsPath;
    writeFile(&name);
}

void WaveHandler::fileSaveAs() {
    cout << "WaveHandler::fileSaveAs()\n";
    cout << "TODO: fileSaveAs\n";
    if (!analyzeWave) {
        tellUser("Nothing to save: open a recording first.");
        return;
    }
    string name = chooseFile("Save audio file as", Fl_Native_File_Chooser::BROWSE_SAVE_FILE,
                             Fl_Native_File_Chooser::NEW_FOLDER);
    if (name.empty()) return;
    if (overwriteRefused(name)) return;
    rememberFolderOf(name);
    if (!writeFile(&name)) return;
    shownPath = saveAsPath = name;
    tellStateChanged();
}

// Asks before a save over whatever `name` stands for; true when the user said no.
bool WaveHandler::overwriteRefused(const string& name) {
    struct stat st;
    if (lstat(name.c_str(), &st) != 0) return false;
    string question = "A file with this name already exists. Do you wish to overwrite it?";
    // A link to a file not made yet asks too, naming where the audio would go.
    if (S_ISLNK(st.st_mode) && !utils::fileExists(name.c_str()))
        question = "A link with this name already exists. It leads to " + quoted(savedFileOf(name)) +
                   ", which does not exist yet. Do you wish to save the audio there?";
    cout << question << "\n";
    return !confirm(question.c_str());
}

// Offers to save a changed correction before it would be lost; true when the
// user cancelled (or the offered save did not happen).
bool WaveHandler::cancelledAutoSave() {
    cout << "WaveHandler::cancelledAutoSave()\n";
    if (!unsavedChanges) return false;
    cout.flush();
    fl_message_title("Save changes?");
    int answer = fl_choice("Save changes?\nThe corrected audio has not been saved.", "&Cancel", "&Save", "&Discard");
    if (answer == 2) return false;
    if (answer == 0) return true;
    fileSave();
    return unsavedChanges;
}

int WaveHandler::confirm(const char* question) {
    cout.flush();
    fl_message_title("Overwrite file?");
    return fl_choice("%s", "No", "Yes", nullptr, question) == 1 ? 1 : 0;
}

// ------------------------------------------------------------------ playback

static const double PLAYHEAD_INTERVAL = 0.03;

// The end is exclusive, so Play to and Play from at one mark split the file
// without a frame heard twice.
FrameRange WaveHandler::playRange(int start, int end) const {
    int frames = frameCount();
    int first = start == -1 ? 0 : std::clamp(start, 0, frames);
    int last = end == -1 ? frames : std::clamp(end, 0, frames);
    return {first, std::max(first, last)};
}

void WaveHandler::playSelection() {
    if (selectionStart != -1 && selectionEnd == -1) return;
    playWave(selectionStart, selectionEnd);
}

static void followPlayHeadTick(void* document) { static_cast<WaveHandler*>(document)->followPlayHead(); }

// One more redraw after the playback ended takes the play-head away.
void WaveHandler::followPlayHead() {
    if (!wavePanel) return;
    Fl::remove_timeout(followPlayHeadTick, this);
    int head = audioPlayer->headFrame();
    wavePanel->playHeadMoved(head);
    if (audioPlayer->playing()) Fl::add_timeout(PLAYHEAD_INTERVAL, followPlayHeadTick, this);
}
