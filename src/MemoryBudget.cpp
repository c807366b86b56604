#include "MemoryBudget.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

// Per frame and channel: a float as loaded and one in the working copy.
static const long long SAMPLE_BYTES = 2 * sizeof(float);
// Per frame of the analysed stream: frequency, period width, pitch and corrected pitch.
static const long long ANALYSIS_BYTES = sizeof(float) + sizeof(int) + 2 * sizeof(double);

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
    return frames * (SAMPLE_BYTES * channels + mixdown + ANALYSIS_BYTES);
}

std::string readableSize(long long bytes) {
    char text[32];
    if (bytes >= (1LL << 30)) std::snprintf(text, sizeof text, "%.1f GB", bytes / double(1LL << 30));
    else std::snprintf(text, sizeof text, "%lld MB", std::max(1LL, (bytes + (1LL << 19)) >> 20));
    return text;
}
