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

// Writes through `writeBody` into a temporary file beside `target` (a symbolic
// link is followed) and renames it over the target only when every sample
// reached the disk, so a failed save never destroys the file that was there.
// The written file keeps the permission bits of the one it replaces. A target
// that cannot be opened for writing is refused; where no temporary file can be
// made beside it, the target is written in place.
SaveOutcome saveSafely(const std::string& target, SF_INFO& format, const std::function<bool(SNDFILE*)>& writeBody);

#endif
