#ifndef SAFESAVE_H
#define SAFESAVE_H

#include <sndfile.h>

#include <functional>
#include <string>

// How a save ended: `reason` is empty on success; `openFailed` tells that the
// output could not even be opened, so nothing was written.
struct SaveOutcome {
    bool openFailed = false;
    std::string reason;
    bool saved() const { return reason.empty(); }
};

// Writes the samples into an open stream; false when a write fell short.
using WriteBody = std::function<bool(SNDFILE*)>;

// Saves so that the file that was there never comes to harm. The new file is
// made unnamed beside `target` (symbolic links followed) and takes the
// target's place only when every sample reached the disk, with its owner,
// group and permission bits, never its setuid or setgid bit. A target with
// several names, one whose folder cannot be written or whose owner a new file
// could not keep is written in place instead, with a copy of it kept (see
// keptCopiesFolder) until the new audio is there: any failure puts it back.
// Named pipes, devices, folders and write-protected files are refused.
// SIGTERM, SIGHUP and SIGINT stop a running save cleanly and then end the
// program as they would have.
SaveOutcome saveSafely(const std::string& target, SF_INFO& format, const WriteBody& writeBody);

// The file a save to `target` writes: links followed, even to a file not made yet.
std::string savedFileOf(const std::string& target);

// True once a signal asked the running save to stop; a body stops writing then.
bool saveStopRequested();

// Where a file written in place is copied first: $XDG_CACHE_HOME/cantorel,
// else ~/.cache/cantorel.
std::string keptCopiesFolder();

// Says on standard output which copies interrupted in-place saves left, and of what.
void reportInterruptedSaves();

#endif
