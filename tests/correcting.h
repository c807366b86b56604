#ifndef CORRECTING_H
#define CORRECTING_H

// A take taken through the program as a user would: opened from a file into a document, a scale
// picked, an interpolation chosen, and the corrected audio rebuilt.

#include <memory>
#include <string>
#include <vector>

#include "listening.h"
#include "takes.h"

class WaveHandler;

namespace correcting {

// Each interpolation kind with the name the measurements print for it.
struct NamedKind {
    const char* name;
    int kind;
};
extern const NamedKind KINDS[3];

class Session {
public:
    // Writes the take as a float WAV file into `folder` and opens it; trace lines are swallowed.
    Session(const takes::Take& take, const std::string& folder);
    ~Session();

    // The note boxes as the view shows them.
    std::vector<listening::Box> boxes() const;
    // The audio after picking `scaleName` ("chromatic", "c major", ...; null for "No correction")
    // with the interpolation kind `kind` (a WaveBuilder kind).
    std::vector<float> corrected(const char* scaleName, int kind);
    WaveHandler& document() { return *doc; }

private:
    std::unique_ptr<WaveHandler> doc;
};

}  // namespace correcting

#endif
