#include "WaveHandler.h"

#include <FL/Fl.H>
#include <FL/Fl_Native_File_Chooser.H>
#include <FL/fl_ask.H>
#include <FL/fl_draw.H>
#include <FL/filename.H>
#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "FastFourierTransform.h"
#include "WavePanel.h"
#include "convertlib.h"
#include "utils.h"

using std::cout;

const double WaveHandler::MIN_ZOOM = 1.0 / 16.0;
const double WaveHandler::MAX_ZOOM = 65536.0;

static const int BLOCK = 1024;
static const int MAX_CHANNELS = 64;
static const int MAX_SAMPLE_RATE = 1536000;
static const char* const AUDIO_FILTER = "Audio files\t*.{wav}";

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
    delete audioPlayer;
    delete analyzeWave;
    free(originalSamples);
    free(modifiedSamples);
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
    audioPlayer = new AudioPlayer(stopPlayingWave, playBackVolume);
}

void WaveHandler::setVolume(float volume) { playBackVolume = volume; }

float* WaveHandler::monoSamples() { return channels > 1 ? mixdown.data() : originalSamples; }

// Problems go to standard output always, and to a dialog when a window shows
// this document.
void WaveHandler::tellUser(const string& text) {
    cout << text << "\n";
    if (!wavePanel) return;
    cout.flush();
    fl_message_title("Cantorel");
    fl_alert("%s", text.c_str());
}

// ------------------------------------------------------------------- loading

bool WaveHandler::acceptable(const SF_INFO& info, const string& path) {
    string problem;
    if (info.channels < 1 || info.channels > MAX_CHANNELS)
        problem = "has " + std::to_string(info.channels) + " channels; Cantorel opens files with 1 to 64 channels.";
    else if (info.samplerate < 1 || info.samplerate > MAX_SAMPLE_RATE)
        problem = "has an unusable sample rate of " + std::to_string(info.samplerate) + " Hz.";
    else if (info.frames < 0 || info.frames > (INT_MAX - BLOCK) / info.channels)
        problem = "is too long for Cantorel to edit.";
    if (problem.empty()) return true;
    tellUser("Cannot open \"" + path + "\": the file " + problem);
    return false;
}

// Reads every sample the file delivers, in blocks of 1024 frames, never past
// what the header promised, into a buffer with 1024 floats of headroom. The
// buffer grows with the data, so a header that promises far more than the file
// holds costs no memory. Null when memory runs out.
float* WaveHandler::readBlocks(SNDFILE* file, const SF_INFO& info, long long& total) {
    long long capacity = info.frames * info.channels;
    long long room = 0;
    float* samples = nullptr;
    total = 0;
    while (true) {
        long long wanted = std::min<long long>((long long)BLOCK * info.channels, capacity - total);
        if (total + wanted + BLOCK > room) {
            room = std::min(std::max(2 * room, total + wanted + BLOCK), capacity + BLOCK);
            float* grown = static_cast<float*>(realloc(samples, room * sizeof(float)));
            if (!grown) {
                free(samples);
                return nullptr;
            }
            samples = grown;
        }
        sf_count_t got = wanted > 0 ? sf_read_float(file, samples + total, wanted) : 0;
        if (got <= 0) break;
        total += got;
    }
    std::fill(samples + total, samples + room, 0.0f);
    return samples;
}

void WaveHandler::replaceNonFinite(float* samples, long long count) {
    long long replaced = 0;
    for (long long i = 0; i < count; i++) {
        if (!std::isfinite(samples[i])) {
            samples[i] = 0.0f;
            replaced++;
        }
    }
    if (replaced > 0) cout << "Replaced " << replaced << " non-finite samples with 0.0\n";
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

void WaveHandler::releaseAnalysis() {
    if (wavePanel) wavePanel->forgetSegments();
    delete analyzeWave;
    analyzeWave = nullptr;
}

void WaveHandler::installSamples(const SF_INFO& info, float* loaded, float* working, long long total) {
    // The old recording stops sounding when a new one takes its place.
    audioPlayer->stop();
    releaseAnalysis();
    free(originalSamples);
    free(modifiedSamples);
    originalSamples = loaded;
    *sfinfoin = info;
    sfinfoin->frames = total / info.channels;
    channels = info.channels;
    originalSampleslen = static_cast<int>(total);
    modifiedSamples = working;
    mixdown.assign(channels > 1 ? sfinfoin->frames + BLOCK : 0, 0.0f);
    for (long long frame = 0; channels > 1 && frame < sfinfoin->frames; frame++) {
        double sum = 0.0;
        for (int c = 0; c < channels; c++) sum += loaded[frame * channels + c];
        mixdown[frame] = static_cast<float>(sum / channels);
    }
    undoHistory.clear();
    redoHistory.clear();
    unsavedChanges = false;
}

void WaveHandler::loadWave(string* path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path->c_str(), SFM_READ, &info);
    if (!file) {
        struct stat st;
        if (stat(path->c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            tellUser("Cannot open \"" + *path + "\": it is a folder, not an audio file.");
        else
            tellUser("Cannot open \"" + *path + "\": " + sf_strerror(nullptr));
        return;
    }
    loadStream(file, info, *path);
    sf_close(file);
}

bool WaveHandler::loadStream(SNDFILE* file, const SF_INFO& info, const string& name) {
    if (!acceptable(info, name)) return false;
    long long total = 0;
    float* loaded = readBlocks(file, info, total);
    float* working = loaded ? static_cast<float*>(calloc(total + BLOCK, sizeof(float))) : nullptr;
    if (!loaded || !working) {
        free(loaded);
        free(working);
        tellUser("Cannot open \"" + name + "\": not enough memory for its samples.");
        return false;
    }
    replaceNonFinite(loaded, total);
    installSamples(info, loaded, working, total);
    if (sfinfoin->frames < info.frames || dataChunkCut(file))
        tellUser("\"" + name + "\" is shorter than its header says: only " + std::to_string(sfinfoin->frames) +
                 " frames could be read.");
    if (wavePanel) wavePanel->adjustScrollbar();
    cout << "totreadcount=" << total << "\n";
    analyzeWave = new WaveAnalysis(monoSamples(), frameCount(), sfinfoin->samplerate, 1024, this);
    analyseWithProgress();
    restoreOriginal();
    return true;
}

// A window that shows the document shows how a long analysis is getting on,
// so it never looks hung.
void WaveHandler::analyseWithProgress() {
    if (wavePanel) {
        auto started = std::chrono::steady_clock::now();
        analyzeWave->progress = [this, started](double share) { showLoadProgress(share, started); };
    }
    analyzeWave->findFrequencies();
    analyzeWave->findSegments();
    analyzeWave->progress = nullptr;
    if (loadProgress < 0.0) return;
    loadProgress = -1.0;
    wavePanel->window()->cursor(FL_CURSOR_DEFAULT);
    wavePanel->redraw();
}

void WaveHandler::showLoadProgress(double share, std::chrono::steady_clock::time_point started) {
    if (loadProgress < 0.0 && std::chrono::steady_clock::now() - started < std::chrono::milliseconds(500)) return;
    if (loadProgress < 0.0) wavePanel->window()->cursor(FL_CURSOR_WAIT);
    loadProgress = share;
    wavePanel->waveCanvas->redraw();
    // Input is refused meanwhile (see the event dispatch); only redraws happen.
    Fl::check();
}

void WaveHandler::restoreOriginal() {
    if (!analyzeWave) return;
    analyzeWave->setScale("chromatic");
    std::copy(originalSamples, originalSamples + originalSampleslen, modifiedSamples);
    analyzeWave->calculateCorrectPitch(0.0);  // no glide: the curve keeps the sung movements
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
    float* rebuilt = waveBuilder->resampleStream(source, frames, analyzeWave->frequency,
                                                 analyzeWave->correctedMidiValue, analyzeWave->waveWidth);
    for (int i = 0; i < frames; i++) modifiedSamples[(size_t)i * channels + channel] = rebuilt[i];
    delete[] rebuilt;
}

void WaveHandler::resampleWaveIfRequired() {
    cout << "TODO: WaveHandler::resampleWaveIfRequired \n";
    if (!analyzeWave || !sfinfoin || sfinfoin->frames == 0 || !analyzeWave->needsResampling) return;
    // Every channel follows the same period plan, found on the mono stream.
    for (int c = 0; c < channels; c++) resampleChannel(c);
    analyzeWave->needsResampling = false;
}

// ------------------------------------------------------------------- writing

bool WaveHandler::writeSamples(SNDFILE* out) {
    long long frames = sfinfoin->frames;
    long long written = 0;
    while (written < frames) {
        long long count = std::min<long long>(BLOCK, frames - written);
        sf_count_t items = count * channels;
        if (sf_write_float(out, modifiedSamples + written * channels, items) != items) return false;
        written += count;
        cout << "Writecount=" << written << "\n";
    }
    return true;
}

// The file a name finally stands for: a symbolic link is followed, so the
// file it points to is replaced and the link survives.
static string resolvedTarget(const string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    char* real = realpath(path.c_str(), nullptr);
    if (real) {
        string resolved(real);
        free(real);
        return resolved;
    }
    std::vector<char> link(PATH_MAX + 1, '\0');
    ssize_t n = readlink(path.c_str(), link.data(), PATH_MAX);
    if (n <= 0) return path;
    string target(link.data(), n);
    if (target[0] == '/') return target;
    size_t slash = path.rfind('/');
    return slash == string::npos ? target : path.substr(0, slash + 1) + target;
}

static mode_t permissionsFor(const string& target) {
    struct stat st;
    if (stat(target.c_str(), &st) == 0) return st.st_mode & 07777;
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

static bool finishFile(int fd, mode_t mode) {
    bool ok = fchmod(fd, mode) == 0 && fsync(fd) == 0;
    return close(fd) == 0 && ok;
}

bool WaveHandler::reportOpenFailure(const string& target, const string& reason) {
    cout << "Error opening file.\n";
    sf_format_check(sfinfoout);
    cout << reason << "\n";
    tellUser("Could not save \"" + target + "\": " + reason);
    return false;
}

// Writes into a temporary file beside the target and renames it over the
// target only when every sample reached the disk, so a failed save never
// destroys the file that was there.
bool WaveHandler::writeAtomically(const string& target) {
    string resolved = resolvedTarget(target);
    size_t slash = resolved.rfind('/');
    string folder = slash == string::npos ? "." : resolved.substr(0, slash);
    string name = slash == string::npos ? resolved : resolved.substr(slash + 1);
    string temporary = folder + "/." + name + ".cantorel-XXXXXX";
    int fd = mkstemp(&temporary[0]);
    if (fd < 0) return reportOpenFailure(target, strerror(errno));
    SNDFILE* out = sf_open_fd(fd, SFM_WRITE, sfinfoout, SF_FALSE);
    if (!out) {
        close(fd);
        unlink(temporary.c_str());
        return reportOpenFailure(target, sf_strerror(nullptr));
    }
    sf_format_check(sfinfoout);
    cout << "1\n";
    // Out-of-range samples are clipped, never wrapped into a loud click.
    sf_command(out, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    errno = 0;
    bool ok = writeSamples(out);
    int writeErr = errno;
    sf_write_sync(out);
    ok = sf_close(out) == 0 && ok;
    ok = finishFile(fd, permissionsFor(resolved)) && ok;
    if (!ok && writeErr == 0) writeErr = errno ? errno : EIO;
    if (ok && rename(temporary.c_str(), resolved.c_str()) != 0) {
        ok = false;
        writeErr = errno;
    }
    if (ok) return true;
    unlink(temporary.c_str());
    tellUser("Could not save \"" + target + "\": " + strerror(writeErr ? writeErr : EIO));
    return false;
}

void WaveHandler::writeFile(string* path) {
    cout << "TODO:: WaveHandler::writeFile\n";
    resampleWaveIfRequired();
    sfinfoout->frames = 0;
    sfinfoout->samplerate = sfinfoin->samplerate;
    sfinfoout->channels = sfinfoin->channels;
    sfinfoout->format = sfinfoin->format;
    sfinfoout->sections = 1;
    sfinfoout->seekable = 0;
    if (writeAtomically(*path)) unsavedChanges = false;
}

void WaveHandler::playWave(int start, int end) {
    resampleWaveIfRequired();
    cout << "TODO: WaveHandler::playWave\n";
    stopPlayingWave = false;
    string problem = audioPlayer->play(modifiedSamples, playRange(start, end), channels, sampleRate());
    if (!problem.empty()) tellUser(problem);
    if (audioPlayer->playing()) followPlayHead();
}

// ------------------------------------------------------------- file commands

static string folderOf(const char* name) { return string(name, fl_filename_name(name) - name); }

void WaveHandler::fileOpen() {
    cout << "WaveHandler::fileOpen()\n";
    if (cancelledAutoSave()) return;
    string* dir = utils::getlastdir("wavedir");
    Fl_Native_File_Chooser chooser;
    chooser.directory(dir->c_str());
    delete dir;
    chooser.title("Select a file to load");
    chooser.type(Fl_Native_File_Chooser::BROWSE_FILE);
    chooser.filter(AUDIO_FILTER);
    int shown = chooser.show();
    if (shown == -1 || shown == 1 || !chooser.filename() || !*chooser.filename()) return;
    string name = chooser.filename();
    utils::setlastdir("wavedir", folderOf(name.c_str()).c_str());
    loadWave(&name);
}

void WaveHandler::fileSave() {
    cout << "WaveHandler::fileSave()\n";
    fileSaveAs();
}

void WaveHandler::fileSaveAs() {
    cout << "WaveHandler::fileSaveAs()\n";
    cout << "TODO: fileSaveAs\n";
    string* dir = utils::getlastdir("wavedir");
    Fl_Native_File_Chooser chooser;
    chooser.filter(AUDIO_FILTER);
    chooser.title("Save audio file as");
    chooser.directory(dir->c_str());
    delete dir;
    chooser.options(Fl_Native_File_Chooser::NEW_FOLDER);
    chooser.type(Fl_Native_File_Chooser::BROWSE_SAVE_FILE);
    int shown = chooser.show();
    if (shown == -1 || shown == 1 || !chooser.filename() || !*chooser.filename()) return;
    string name = chooser.filename();
    if (utils::fileExists(name.c_str()) &&
        !confirm("A file with this name already exists. Do you wish to overwrite it?"))
        return;
    utils::setlastdir("wavedir", folderOf(name.c_str()).c_str());
    writeFile(&name);
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
    fileSaveAs();
    return unsavedChanges;
}

int WaveHandler::confirm(const char* question) {
    cout.flush();
    fl_message_title("Overwrite file?");
    return fl_choice("%s", "No", "Yes", nullptr, question) == 1 ? 1 : 0;
}

// ---------------------------------------------------------- editing commands

void WaveHandler::chooseScale(const char* scaleName) {
    if (!analyzeWave) return;
    if (!scaleName) {
        restoreOriginal();
    } else {
        analyzeWave->setScale(scaleName);
        analyzeWave->calculateCorrectPitch();
    }
    markChanged();
}

void WaveHandler::chooseInterpolation(int item) {
    static const int kindOfItem[] = {WaveBuilder::USE_CUBIC_SPLINE, WaveBuilder::USE_CATMULL_CLARK,
                                     WaveBuilder::USE_PSOLA};
    if (item >= 0 && item < 3) waveBuilder->interpolation = kindOfItem[item];
    if (!analyzeWave) return;
    analyzeWave->needsResampling = true;
    markChanged();
}

// The view needs a positive, finite scale; keep it where pixels still mean something.
void WaveHandler::setZoom(double samplesPerPixel) {
    if (!std::isfinite(samplesPerPixel)) return;
    zoom = static_cast<float>(std::clamp(samplesPerPixel, MIN_ZOOM, MAX_ZOOM));
}

double WaveHandler::zoomToSelection(int areaWidth) {
    if (selectionStart == -1 || selectionEnd == -1 || areaWidth < 1) return -1;
    int start = std::clamp(selectionStart, 0, std::max(frameCount(), 0));
    int end = std::clamp(selectionEnd, start, std::max(frameCount(), start));
    if (end <= start) return -1;
    setZoom(static_cast<double>(end - start) / areaWidth);
    return start;
}

void WaveHandler::fixNotes() {
    if (!analyzeWave || analyzeWave->segments->empty()) return;
    std::vector<int> indexes, before;
    std::vector<WaveSegment*>& segments = *analyzeWave->segments;
    for (size_t i = 0; i < segments.size(); i++) {
        double target = analyzeWave->closestMatch(segments[i]->midiNumber);
        if (target < 0.0 || static_cast<int>(target) == segments[i]->midiNumber) continue;
        indexes.push_back(static_cast<int>(i));
        before.push_back(segments[i]->midiNumber);
        segments[i]->midiNumber = static_cast<int>(target);
    }
    if (indexes.empty()) return;
    analyzeWave->calculateCorrectPitch();
    recordNoteMoves(indexes, before);
}

void WaveHandler::recordNoteMoves(const std::vector<int>& segmentIndexes, const std::vector<int>& before) {
    NoteMoves moves{segmentIndexes, before, {}};
    for (int index : segmentIndexes) moves.notesAfter.push_back((*analyzeWave->segments)[index]->midiNumber);
    undoHistory.push_back(moves);
    redoHistory.clear();
    markChanged();
}

void WaveHandler::applyNotes(const std::vector<int>& segmentIndexes, const std::vector<int>& notes) {
    for (size_t i = 0; i < segmentIndexes.size(); i++) (*analyzeWave->segments)[segmentIndexes[i]]->midiNumber = notes[i];
    analyzeWave->calculateCorrectPitch();
    markChanged();
}

void WaveHandler::undo() {
    if (undoHistory.empty() || !analyzeWave) return;
    NoteMoves moves = undoHistory.back();
    undoHistory.pop_back();
    applyNotes(moves.segmentIndexes, moves.notesBefore);
    redoHistory.push_back(moves);
}

void WaveHandler::redo() {
    if (redoHistory.empty() || !analyzeWave) return;
    NoteMoves moves = redoHistory.back();
    redoHistory.pop_back();
    applyNotes(moves.segmentIndexes, moves.notesAfter);
    undoHistory.push_back(moves);
}

// ------------------------------------------------------------------- drawing

void WaveHandler::render(int xpos, int ypos, int width, int height, int waveOffset) {
    render_pitchscale(xpos, ypos, width, height, waveOffset);
    render_selection(xpos, ypos, width, height, waveOffset);
    render_segments(xpos, ypos, width, height, waveOffset);
    render_waves(xpos, ypos, width, height, waveOffset);
}

int WaveHandler::midiToPos(double midi, int height) { return height - static_cast<int>((midi - 40.0) * 12.0); }

// Answers for the note one below: the band drawn for i covers the row of i - 1.
bool WaveHandler::isBlackKey(int midiNote) {
    int scaleNumber = (midiNote + 11) % 12;
    if (scaleNumber < 0 || scaleNumber > 10) return false;
    return (0x54a >> scaleNumber) & 1;
}

string* WaveHandler::midiNoteName(int i) {
    static const char* const NAMES[] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
    if (i < 0) return new string("?");
    int octave = i / 12 - 2;
    string* number = Convert::int32tostr(static_cast<unsigned long>(std::abs(octave)));
    string* name = new string(string(NAMES[i % 12]) + (octave < 0 ? "-" : "") + *number);
    delete number;
    return name;
}

void WaveHandler::render_pitchscale(int xpos, int ypos, int width, int height, int) {
    fl_font(fl_font(), 12);
    for (int i = 127; i >= 0; i--) {
        int rowTop = midiToPos(i - 0.5, height);
        if (rowTop < 0) continue;
        int y = ypos + rowTop;
        fl_color(isBlackKey(i) ? fl_rgb_color(212, 212, 255) : fl_rgb_color(239, 239, 255));
        fl_rectf(xpos, y, width, 12);
        fl_color(fl_rgb_color(127, 127, 255));
        fl_line(xpos, y, xpos + width, y);
        if (y >= ypos + 8 && y <= ypos + height) {
            string* name = midiNoteName(i);
            fl_color(FL_BLACK);
            fl_draw(name->c_str(), xpos + 5, y);
            delete name;
        }
    }
}

static int viewOffset(int sample, float zoom, int waveOffset) {
    return static_cast<int>(static_cast<int>(sample / zoom) - waveOffset / zoom);
}

// The 1024 samples from the selection's start; zeros where the file has none.
static void copySpectrumWindow(const float* samples, int frames, int start, float* window) {
    for (int k = 0; k < 1024; k++) {
        long long at = (long long)start + k;
        window[k] = (at >= 0 && at < frames) ? samples[at] : 0.0f;
    }
}

void WaveHandler::render_selection(int xpos, int ypos, int, int height, int waveOffset) {
    if (selectionStart == -1) return;
    cout << "selectionStart=" << selectionStart << "off=" << waveOffset << "zoom=" << static_cast<double>(zoom)
         << "\n";
    int start = viewOffset(selectionStart, zoom, waveOffset);
    fl_color(fl_rgb_color(0, 0, 127));
    if (selectionEnd == -1) {
        fl_rectf(xpos + 40 + start, ypos, 1, height);
    } else {
        int e = viewOffset(selectionEnd, zoom, waveOffset);
        fl_rectf(xpos + 40 + start, ypos, e + 1 - start, height);
    }
    if (frameCount() == 0) return;
    float* window = static_cast<float*>(malloc(1024 * sizeof(float)));
    if (!window) return;
    copySpectrumWindow(monoSamples(), frameCount(), selectionStart, window);
    FastFourierTransform* fft = new FastFourierTransform();
    float* mag = fft->fftMag(window, 1024);
    int* xs = new int[512];
    int* ys = new int[512];
    int maxAt = 0;
    for (int k = 0; k < 512; k++) {
        xs[k] = xpos + 20 + k;
        // Magnitudes are pixel offsets; bound them so the conversion stays defined.
        ys[k] = ypos + static_cast<int>(std::min(mag[k], 1.0e6f));
        if (mag[k] > mag[maxAt]) maxAt = k;
    }
    fl_color(fl_rgb_color(255, 112, 0));
    drawPolyline(xs, ys, 512);
    float f = maxAt * static_cast<float>(sfinfoin->samplerate) * 0.5f * 0.001953125f;
    string* number = Convert::int2str(static_cast<int>(f));
    string text = "Frequency=" + *number + "Hz";
    fl_color(FL_BLACK);
    fl_font(fl_font(), 12);
    fl_draw(text.c_str(), xpos + 10, ypos + 10);
    delete number;
    delete[] xs;
    delete[] ys;
    free(mag);
    free(window);
    delete fft;
}

void WaveHandler::render_segments(int xpos, int ypos, int, int height, int waveOffset) {
    if (!analyzeWave || !analyzeWave->segments) return;
    for (WaveSegment* segment : *analyzeWave->segments) {
        int x = xpos + static_cast<int>(segment->startSample / zoom) + 40;
        int y = ypos + height - static_cast<int>((segment->midiNumber - 40.0) * 12.0);
        segment->render(x, y, zoom, this, modifiedSamples, frameCount(), waveOffset);
    }
}

// Ends the current run of pitch points: the point just added is dropped, the
// rest is drawn as a red detected and a green corrected polyline.
void WaveHandler::flushPitchRun(int* xs, int* detected, int* corrected, int& freqWidth) {
    if (freqWidth > 0) freqWidth--;
    if (freqWidth > 0) {
        fl_color(FL_RED);
        drawPolyline(xs, detected, freqWidth);
        fl_color(FL_GREEN);
        drawPolyline(xs, corrected, freqWidth);
    }
    freqWidth = 0;
}

int WaveHandler::pitchPosition(double midi, int ypos, int height, bool& breakwave) {
    if (midi < 0 || midi > 127) breakwave = true;
    int mpos = midiToPos(midi, height);
    if (mpos <= 0) breakwave = true;
    return mpos + ypos;
}

void WaveHandler::render_waves(int xpos, int ypos, int width, int height, int waveOffset) {
    if (!analyzeWave || !analyzeWave->midiValue || width <= 0) return;
    std::vector<int> xs(width, 0), detected(width, 0), corrected(width, 0);
    int freqWidth = 0;
    float at = static_cast<float>(waveOffset);
    int frames = frameCount();
    for (int c = 40; c < 40 + width; c++) {
        at = at + zoom;
        int i = static_cast<int>(at);
        if (i >= frames) {
            flushPitchRun(xs.data(), detected.data(), corrected.data(), freqWidth);
            return;
        }
        cout << "freqWidth=" << freqWidth << "\n";
        bool breakwave = false;
        xs[freqWidth] = xpos + c;
        detected[freqWidth] = pitchPosition(analyzeWave->midiValue[i], ypos, height, breakwave);
        corrected[freqWidth] = pitchPosition(analyzeWave->correctedMidiValue[i], ypos, height, breakwave);
        if (detected[freqWidth] < 0 || corrected[freqWidth] < 0) breakwave = true;
        cout << "yFreqPos[freqWidth]=" << detected[freqWidth] << "\n";
        cout << "yFixedFreqPos[freqWidth]=" << corrected[freqWidth] << "\n";
        cout << "midivalue [" << i << "] = " << analyzeWave->midiValue[i] << "\n";
        freqWidth++;
        if (analyzeWave->frequency[i] < 20.0f || breakwave || c == 39 + width)
            flushPitchRun(xs.data(), detected.data(), corrected.data(), freqWidth);
    }
}

void WaveHandler::drawPolyline(int* x, int* y, int size) {
    if (size < 1) return;
    fl_line(x[0], y[0], x[0], y[0]);
    cout << "polyline" << size << "\n";
    if (size == 1) return;
    cout << "(" << x[0] << "," << y[0] << ")";
    for (int k = 1; k < size; k++) {
        cout << "(" << x[k] << "," << y[k] << ")";
        fl_line(x[k - 1], y[k - 1], x[k], y[k]);
    }
    cout << "\n";
}

// ---------------------------------------------------------- pointer gestures

WaveSegment* WaveHandler::segmentAt(int x, int y, int xoff, int yoff, int height) {
    if (!analyzeWave || frameCount() == 0 || !analyzeWave->segments) return nullptr;
    std::vector<WaveSegment*>& segments = *analyzeWave->segments;
    for (size_t i = 0; i < segments.size(); i++) {
        WaveSegment* segment = segments[i];
        int xStart = static_cast<int>(segment->startSample / zoom);
        int yStart = height - 12 * (segment->midiNumber - 40);
        segment->calcScreenPosition(xStart, yStart, zoom, this);
        if (xoff + 40 + segment->x1 < x && x < xoff + 40 + segment->x2 && yoff + segment->y1 < y &&
            y < yoff + segment->y2)
            return segment;
    }
    return nullptr;
}

WaveSegment* WaveHandler::hitSegment(int x, int y, int xoff, int yoff, int height) {
    cout << "WaveHandler::hitSegment()\n";
    if (!analyzeWave || frameCount() == 0) return nullptr;
    cout << "TODO: WaveHandler::hitSegment\n";
    return segmentAt(x, y, xoff, yoff, height);
}

void WaveHandler::startSelection(int at) {
    cout << "WaveHandler::startSelection()\n";
    cout << "startSelection at " << at;
    selectionStart = at;
    selectionEnd = -1;
}

void WaveHandler::extendSelection(int at) {
    cout << "WaveHandler::extendSelection()\n";
    if (selectionStart <= at) {
        cout << "extendSelection end at " << at << "\n";
        selectionEnd = at;
    } else {
        cout << "extendSelection at " << at << "\n";
        selectionEnd = selectionStart;
        selectionStart = at;
    }
}

// ------------------------------------------------------------------ playback

// The device holds this much ahead of the ear: enough that a slow redraw of a
// large view between two feeds does not run it dry. Stop drops it at once; a
// new volume is heard once the queued part has played.
static const unsigned int DEVICE_LATENCY_US = 200000;
static const double FEED_INTERVAL = 0.01;
static const double PLAYHEAD_INTERVAL = 0.03;

// The end is exclusive, so Play to and Play from at one mark split the file
// without a frame heard twice.
FrameRange WaveHandler::playRange(int start, int end) const {
    int frames = frameCount();
    int first = start == -1 ? 0 : std::clamp(start, 0, frames);
    int last = end == -1 ? frames : std::clamp(end, 0, frames);
    return {first, std::max(first, last)};
}

// Turns the page when the play-head leaves the view: it goes on from the left edge.
static void keepInView(WavePanel* panel, int head, float zoom) {
    Fl_Scrollbar* bar = panel->horizontalScrollBar;
    int shown = static_cast<int>(zoom * std::max(panel->waveCanvas->w() - 40, 1));
    int scroll = bar->value();
    if (head >= scroll && head < scroll + shown) return;
    bar->value(std::clamp(head, static_cast<int>(bar->minimum()), static_cast<int>(bar->maximum())));
}

static void followPlayHeadTick(void* document) { static_cast<WaveHandler*>(document)->followPlayHead(); }

// One more redraw after the playback ended takes the play-head away.
void WaveHandler::followPlayHead() {
    if (!wavePanel) return;
    Fl::remove_timeout(followPlayHeadTick, this);
    int head = audioPlayer->headFrame();
    if (head >= 0) keepInView(wavePanel, head, zoom);
    wavePanel->waveCanvas->redraw();
    if (audioPlayer->playing()) Fl::add_timeout(PLAYHEAD_INTERVAL, followPlayHeadTick, this);
}

void WaveHandler::render_playhead(int xpos, int ypos, int width, int height, int waveOffset) {
    int head = audioPlayer ? audioPlayer->headFrame() : -1;
    if (head < 0) return;
    int x = xpos + 40 + viewOffset(head, zoom, waveOffset);
    if (x < xpos + 40 || x >= xpos + width) return;
    fl_color(fl_rgb_color(0, 140, 140));
    fl_rectf(x, ypos, 1, height);
}

static void feedTick(void* player) {
    AudioPlayer* audio = static_cast<AudioPlayer*>(player);
    audio->feed();
    if (audio->playing()) Fl::repeat_timeout(FEED_INTERVAL, feedTick, player);
}

AudioPlayer::AudioPlayer(const bool& stopRequest, const float& volume) : stopRequest(stopRequest), volume(volume) {}

AudioPlayer::~AudioPlayer() { stop(); }

// Each step of the 0..10 slider is 4 dB, which the ear hears as even steps:
// 10 is the file's own level (gain exactly 1, samples unchanged), 5 is -20 dB,
// 1 is -36 dB; 0 is silence.
float AudioPlayer::gainForVolume(float volume) {
    if (!(volume > 0.0f)) return 0.0f;
    if (volume >= 10.0f) return 1.0f;
    return static_cast<float>(std::pow(10.0, (volume - 10.0) * 4.0 / 20.0));
}

void AudioPlayer::scaleSamples(const float* in, float* out, size_t count, float gain) {
    for (size_t i = 0; i < count; i++) out[i] = in[i] * gain;
}

// Full scale is 32768 so a 16-bit source comes back exactly; the top step is
// clipped to fit.
void AudioPlayer::toShortSamples(const float* in, short* out, size_t count, float gain) {
    for (size_t i = 0; i < count; i++) {
        float level = std::clamp(in[i] * gain * 32768.0f, -32768.0f, 32767.0f);
        out[i] = static_cast<short>(std::lrint(level));
    }
}

string AudioPlayer::play(const float* samples, FrameRange range, int channelCount, int rate) {
    stop();
    if (!samples || range.end <= range.first || channelCount < 1) return "";
    channels = channelCount;
    string problem = open(rate);
    if (!problem.empty()) {
        if (problemTold) return "";
        problemTold = true;
        return problem;
    }
    queued.assign(samples + static_cast<size_t>(range.first) * channels,
                  samples + static_cast<size_t>(range.end) * channels);
    firstFrame = range.first;
    framesWritten = 0;
    draining = false;
    feed();
    if (playing()) Fl::add_timeout(FEED_INTERVAL, feedTick, this);
    return "";
}

// Floats reach the device untouched; 16-bit integers are what every device takes.
static bool acceptsFloat(snd_pcm_t* pcm) {
    snd_pcm_hw_params_t* params;
    snd_pcm_hw_params_alloca(&params);
    return snd_pcm_hw_params_any(pcm, params) >= 0 &&
           snd_pcm_hw_params_test_format(pcm, params, SND_PCM_FORMAT_FLOAT) == 0;
}

string AudioPlayer::open(int rate) {
    int error = snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    if (error < 0) {
        pcm = nullptr;
        return string("No audio output device: ") + snd_strerror(error);
    }
    floatOutput = acceptsFloat(pcm);
    error = snd_pcm_set_params(pcm, floatOutput ? SND_PCM_FORMAT_FLOAT : SND_PCM_FORMAT_S16,
                               SND_PCM_ACCESS_RW_INTERLEAVED, channels, rate, 1, DEVICE_LATENCY_US);
    snd_pcm_uframes_t bufferFrames = 0, periodFrames = 0;
    if (error >= 0) error = snd_pcm_get_params(pcm, &bufferFrames, &periodFrames);
    if (error < 0) {
        snd_pcm_close(pcm);
        pcm = nullptr;
        return "The audio output device cannot play " + std::to_string(channels) + " channels at " +
               std::to_string(rate) + " Hz: " + snd_strerror(error);
    }
    deviceBufferFrames = static_cast<int>(bufferFrames);
    return "";
}

void AudioPlayer::stop() {
    if (!pcm) return;
    int heard = framesHeard();
    snd_pcm_drop(pcm);
    finish(heard);
}

void AudioPlayer::feed() {
    if (!pcm) return;
    if (stopRequest) {
        stop();
        return;
    }
    if (!draining) {
        writeWhatFits();
        if (!pcm || framesWritten < queued.size() / channels) return;
        // Non-blocking: the device plays out what it holds while the window goes on.
        snd_pcm_drain(pcm);
        draining = true;
    }
    snd_pcm_state_t state = snd_pcm_state(pcm);
    if (state != SND_PCM_STATE_DRAINING && state != SND_PCM_STATE_RUNNING) finish(framesHeard());
}

void AudioPlayer::writeWhatFits() {
    snd_pcm_sframes_t room = snd_pcm_avail_update(pcm);
    if (room < 0) {
        recover(static_cast<int>(room));
        return;
    }
    size_t remaining = queued.size() / channels - framesWritten;
    size_t count = std::min({static_cast<size_t>(room), remaining, static_cast<size_t>(deviceBufferFrames)});
    if (count == 0) return;
    long written = writeFrames(count);
    if (written == -EAGAIN) return;
    if (written < 0) {
        recover(static_cast<int>(written));
        return;
    }
    framesWritten += written;
}

long AudioPlayer::writeFrames(size_t count) {
    const float* from = queued.data() + framesWritten * channels;
    size_t values = count * channels;
    float gain = gainForVolume(volume);
    if (floatOutput) {
        floatBlock.resize(values);
        scaleSamples(from, floatBlock.data(), values, gain);
        return snd_pcm_writei(pcm, floatBlock.data(), count);
    }
    shortBlock.resize(values);
    toShortSamples(from, shortBlock.data(), values, gain);
    return snd_pcm_writei(pcm, shortBlock.data(), count);
}

// A late feed (an underrun) is recovered from and playing goes on; a device
// that went away ends the playback.
void AudioPlayer::recover(int error) {
    if (snd_pcm_recover(pcm, error, 1) >= 0) return;
    cout << "Audio output failed: " << snd_strerror(error) << "\n";
    stop();
}

int AudioPlayer::framesHeard() const {
    snd_pcm_sframes_t delay = 0;
    if (snd_pcm_delay(pcm, &delay) < 0 || delay < 0) delay = 0;
    return static_cast<int>(framesWritten - std::min(static_cast<size_t>(delay), framesWritten));
}

int AudioPlayer::headFrame() const { return pcm ? firstFrame + framesHeard() : -1; }

// The line comes after the close, when everything sent is out of the program.
void AudioPlayer::finish(int heard) {
    Fl::remove_timeout(feedTick, this);
    snd_pcm_close(pcm);
    pcm = nullptr;
    cout << "Played " << heard << " of " << queued.size() / channels << " frames\n";
    queued = std::vector<float>();
}
