#ifndef MEMORYBUDGET_H
#define MEMORYBUDGET_H

#include <string>

// What the process may still allocate, in bytes; -1 where a figure is unknown.
struct MemoryFigures {
    long long available = -1;     // MemAvailable of the system
    long long addressLimit = -1;  // the process's address-space limit, when one is set
    long long addressUsed = 0;    // address space the process holds already

    // The smaller of what the system offers and what the limit leaves; -1 when neither is known.
    long long usable() const;
};

MemoryFigures currentMemoryFigures();

// Bytes that editing a recording takes: the samples as loaded, the working
// copy, a mono mixdown for several channels, the analysis' per-sample arrays,
// and room to rebuild the corrected audio and play it.
long long bytesToEdit(long long frames, int channels);

// A need shown rounded up and a supply rounded down never read the same while
// the need is the larger.
enum class Rounding { Nearest, Up, Down };

// "4.8 GB", "310 MB": sizes as a user reads them.
std::string readableSize(long long bytes, Rounding rounding = Rounding::Nearest);

#endif
