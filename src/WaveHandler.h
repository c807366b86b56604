#ifndef WAVEHANDLER_H
#define WAVEHANDLER_H

#include <sndfile.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Analysis.h"
#include "AudioPlayer.h"
#include "DocumentListener.h"
#include "MemoryBudget.h"
#include "ViewGeometry.h"
#include "WaveBuilder.h"
#include "WaveSegment.h"

using std::string;

// The one audio document: the samples as loaded, the working copy that the
// correction rewrites, their analysis, the builder and the view state.
class WaveHandler {
public:
    static const int BAR_WIDTH = 30;
    static const int WAVE_HEIGHT = 60;
    static const int SEGMENT_HEIGHT = ViewGeometry::SEMITONE_ROW;

    // Raw pointers as the design lays them out. The document owns originalSamples; the working
    // samples are either those or its own working copy (see workingCopy).
    float* originalSamples;
    float* modifiedSamples;
    int channels;
    float playBackVolume;
    int originalSampleslen;
    // The view that shows this document, if any; it registers itself here.
    DocumentListener* wavePanel;
    WaveBuilder* waveBuilder;
    SF_INFO* sfinfoin;
    SF_INFO* sfinfoout;
    double CORRECTION_RATE;
    WaveAnalysis* analyzeWave;
    float zoom;
    // The note on the canvas's bottom edge: where the view is scrolled in pitch.
    int bottomMidi = ViewGeometry::BOTTOM_MIDI;
    int selectionStart;
    int selectionEnd;
    bool stopPlayingWave;
    // Share of a long load done so far (0..1) while the window shows it; -1 otherwise.
    double loadProgress = -1.0;
    std::unique_ptr<AudioPlayer> audioPlayer;
    // Told the name of each step of a load as it ends ("reading", "mixing", then the analysis's
    // steps, "correction"), so that a benchmark can time them. May be left empty.
    std::function<void(const char*)> stepDone;
    // Where the memory figures come from; tests put in their own.
    std::function<MemoryFigures()> memoryFigures = currentMemoryFigures;

    WaveHandler();
    ~WaveHandler();
    WaveHandler(const WaveHandler&) = delete;
    WaveHandler& operator=(const WaveHandler&) = delete;

    void init();
    void loadWave(string* path);
    // Audio files the choosers list: every kind the program reads, then all files.
    static const char* const AUDIO_FILTER;
    // Loads from a stream that is already open (a file, or memory); name is
    // what messages call it. False when the document was left unchanged.
    bool loadStream(SNDFILE* file, const SF_INFO& info, const string& name);
    // True from the start of reading a file to the end of its analysis.
    bool loading() const { return loadRunning; }
    // Stops a running load at its next progress report; the document stays as it was.
    void cancelLoad() { cancelRequested = loadRunning; }
    void restoreOriginal();
    // False when memory ran out: the working samples are then the previous ones.
    bool resampleWaveIfRequired();
    // Writes the working samples to an open stream in blocks; false on a short write.
    bool writeSamples(SNDFILE* out);
    // False when nothing was written.
    bool writeFile(string* path);
    void playWave(int start, int end);
    // The frames that playWave(start, end) plays, clamped to the file.
    FrameRange playRange(int start, int end) const;
    // Where "Play to" ends: the selection's end, or the insertion mark.
    int selectionEndOrMark() const { return selectionEnd != -1 ? selectionEnd : selectionStart; }
    // Keeps the play-head in view and the canvas redrawn while playing.
    void followPlayHead();
    void setVolume(float volume);

    // File commands.
    void fileOpen();
    // Opens a file named without the chooser (the command line, a drop): the
    // unsaved-changes question, the remembered folder and the load, as Open.
    void openNamedFile(const string& path);
    void fileSave();
    void fileSaveAs();
    bool cancelledAutoSave();
    int confirm(const char* question);

    // Drawing of the wave view.
    void render(int xpos, int ypos, int width, int height, int waveOffset);
    void render_pitchscale(int xpos, int ypos, int width, int height, int waveOffset);
    void render_selection(int xpos, int ypos, int width, int height, int waveOffset);
    void render_segments(int xpos, int ypos, int width, int height, int waveOffset);
    void render_waves(int xpos, int ypos, int width, int height, int waveOffset);
    void render_playhead(int xpos, int ypos, int width, int height, int waveOffset);
    void render_ruler(int xpos, int ypos, int width, int height, int waveOffset);
    // The note a box holds: "Sung C#4 +30 cents, corrected to C4".
    string noteReadout(const WaveSegment& segment);
    void render_readout(const WaveSegment& segment, int xpos, int ypos, int width);
    string pitchName(double midi);
    void drawPolyline(int* x, int* y, int size);
    int midiToPos(double midi, int height);
    bool isBlackKey(int midiNote);
    string* midiNoteName(int i);

    // Pointer gestures. A view scrolled to sample `scroll` passes it, and x as
    // the pointer stands on the canvas.
    WaveSegment* hitSegment(int x, int y, int xoff, int yoff, int height, int scroll = 0);
    void startSelection(int at);
    void extendSelection(int at);

    int frameCount() const { return sfinfoin ? static_cast<int>(sfinfoin->frames) : 0; }
    int sampleRate() const { return sfinfoin ? sfinfoin->samplerate : 0; }
    // The one-channel stream that is analysed and drawn: the samples themselves
    // for a mono file, the mean of the channels otherwise.
    float* monoSamples();

    // Editing commands of the main window.
    void chooseScale(const char* scaleName);
    void chooseInterpolation(int item);
    // The interpolation choice's item of the kind the builder uses.
    int interpolationItem() const;
    void setZoom(double samplesPerPixel);
    // Zooms so the selection fills areaWidth pixels; returns the scroll
    // position that shows it, or -1 when there is no selection.
    double zoomToSelection(int areaWidth);
    // Zooms so the whole recording fits in areaWidth pixels.
    void zoomToFit(int areaWidth);
    void fixNotes();

    // A drag moves a note by whole semitones and recomputes the correction.
    void moveNote(WaveSegment* segment, int semitones);
    // Records a finished drag of `segment` from where it was placed before for
    // undo; false when there was nothing to record.
    bool recordNoteMove(WaveSegment* segment, const NotePlacement& before);
    // Note moves that can be undone: a whole drag or one "Fix notes".
    void recordNoteMoves(const std::vector<int>& segmentIndexes, const std::vector<NotePlacement>& before);
    void undo() { replayNoteMoves(undoHistory, redoHistory, false); }
    void redo() { replayNoteMoves(redoHistory, undoHistory, true); }
    void markChanged();
    bool hasUnsavedChanges() const { return unsavedChanges; }
    // The file the title names: the one opened, or the one last saved as; "" with none.
    const string& recordingPath() const { return shownPath; }
    // The scale the correction follows, as the analysis names it; "" for no correction.
    const string& scaleApplied() const { return appliedScale; }
    void clearSelection() { selectionStart = selectionEnd = -1; }

    // Silent hit test for pointer shapes: like hitSegment, without trace lines.
    WaveSegment* segmentAt(int x, int y, int xoff, int yoff, int height, int scroll = 0);
    // Play selection: a bare insertion mark is an empty selection and plays nothing.
    void playSelection();
    // The lowest and highest note of the segments; false when there are none.
    bool noteSpan(int& lowest, int& highest) const;

    static const double MIN_ZOOM;
    static const double MAX_ZOOM;

private:
    struct Recording;
    struct NoteMoves {
        std::vector<int> segmentIndexes;
        std::vector<NotePlacement> before;
        std::vector<NotePlacement> after;
    };
    std::vector<float> mixdown;
    // Memory for the rebuilt samples, taken at load and touched at the first rebuild: until
    // then, and again under "No correction", modifiedSamples points at originalSamples.
    float* workingCopy = nullptr;
    std::vector<NoteMoves> undoHistory;
    std::vector<NoteMoves> redoHistory;
    bool unsavedChanges = false;
    string shownPath;
    // Where Save writes without asking: the name of the last Save As; "" until one.
    string saveAsPath;
    string appliedScale;
    bool loadRunning = false;
    bool cancelRequested = false;
    std::chrono::steady_clock::time_point loadStartedAt;

    void tellUser(const string& text);
    void beginLoad();
    void endLoad();
    void reportLoadProgress(double share);
    bool acceptable(const SF_INFO& info, const string& path);
    void checkMemoryFor(long long frames, int channels, long long held);
    float* readBlocks(SNDFILE* file, const SF_INFO& info, long long& total, long long& replaced);
    void readRecording(SNDFILE* file, const SF_INFO& info, Recording& recording);
    void analyse(Recording& recording, int sampleRate);
    void install(Recording& recording, const SF_INFO& info, const string& name);
    void tellStateChanged();
    void releaseAnalysis();
    void replayNoteMoves(std::vector<NoteMoves>& from, std::vector<NoteMoves>& to, bool forward);
    bool writeAtomically(const string& target);
    bool overwriteRefused(const string& name);
    void reportOpenFailure(const string& target, const string& reason);
    void resampleChannel(int channel);
    void flushPitchRun(int* xs, int* detected, int* corrected, int& freqWidth);
    int pitchPosition(double midi, int ypos, int height, bool& breakwave);
};

#endif
