#ifndef DOCUMENTLISTENER_H
#define DOCUMENTLISTENER_H

// What the document tells the view that shows it. The document never reaches
// into the view; the view implements this and registers itself.
class DocumentListener {
public:
    virtual ~DocumentListener() = default;
    // The frame count changed: the scroll range follows it.
    virtual void frameCountChanged() = 0;
    // The analysis and its segments are about to go away: forget any segment held.
    virtual void segmentsReleased() = 0;
    // A long analysis began to show its progress, moved on, or ended. While it
    // runs, the view redraws and keeps the window alive, refusing input.
    virtual void analysisProgressStarted() = 0;
    virtual void analysisProgressed() = 0;
    virtual void analysisProgressEnded() = 0;
    // The play-head moved to `head` (a frame; -1 once playback ended).
    virtual void playHeadMoved(int head) = 0;
    // The recording's name, whether it has unsaved changes, or the scale it follows changed.
    virtual void documentStateChanged() {}
};

#endif
