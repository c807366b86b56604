#include "MemoryBudget.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>

// Per frame and channel: a float as loaded and one in the working copy.
static const long long SAMPLE_BYTES = 2 * sizeof(float);
// Per frame of the analysed stream: frequency, period width, pitch and corrected pitch.
static const long long ANALYSIS_BYTES = sizeof(float) + sizeof(int) + 2 * sizeof(double);
// Per frame and channel, once the correction is heard or saved: the rebuilt channel (with the
// channel it is rebuilt from, for several) or the copy that playback queues, whichever is larger.
static const long long REBUILD_BYTES = sizeof(float);

long long MemoryFigures::usable() const {
    long long room = addressLimit < 0 ? -1 : std::max(0LL, addressLimit - addressUsed);
    if (available < 0) return room;
    return room < 0 ? available : std::min(available, room);
}

static long long memAvailable() {
    std::ifstream meminfo("/proc/meminfo");
    std::string line;
    while (std::getline(meminfo, line)) {
        long long kilobytes = 0;
        if (std::sscanf(line.c_str(), "MemAvailable: %lld kB", &kilobytes) == 1) return kilobytes * 1024;
    }
    return -1;
}

static long long addressSpaceInUse() {
    std::ifstream statm("/proc/self/statm");
    long long pages = 0;
    return statm >> pages ? pages * sysconf(_SC_PAGESIZE) : 0;
}

MemoryFigures currentMemoryFigures() {
    MemoryFigures figures;
    figures.available = memAvailable();
    rlimit limit;
    if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        figures.addressLimit = static_cast<long long>(limit.rlim_cur);
        figures.addressUsed = addressSpaceInUse();
    }
    return figures;
}

long long bytesToEdit(long long frames, int channels) {
    long long mixdown = channels > 1 ? sizeof(float) : 0;
    return frames * ((SAMPLE_BYTES + REBUILD_BYTES) * channels + mixdown + ANALYSIS_BYTES);
}

// Whole units of `unit` bytes, rounded as asked.
static double inUnits(long long bytes, double unit, Rounding rounding) {
    double units = bytes / unit;
    if (rounding == Rounding::Up) return std::ceil(units);
    if (rounding == Rounding::Down) return std::floor(units);
    return std::floor(units + 0.5);
}

std::string readableSize(long long bytes, Rounding rounding) {
    const double tenthOfGB = (1LL << 30) / 10.0, megabyte = 1LL << 20;
    char text[32];
    if (bytes >= (1LL << 30))
        std::snprintf(text, sizeof text, "%.1f GB", inUnits(bytes, tenthOfGB, rounding) / 10);
    else
        std::snprintf(text, sizeof text, "%.0f MB",
                      std::max(rounding == Rounding::Down ? 0.0 : 1.0, inUnits(bytes, megabyte, rounding)));
    return text;
}
