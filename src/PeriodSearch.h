#ifndef PERIODSEARCH_H
#define PERIODSEARCH_H

#include <cstddef>
#include <vector>

#include "PeriodKernels.h"

// Finds the period of a window: the lag of the largest plain sum, moved to a whole fraction of
// itself that matches nearly as well. The answer is always that of the plain loop: sequential
// double sums for lags shortestLag .. half - 1, the first maximum above -1.0.
//
// Large windows are first ranked by a cheaper estimate of every sum whose error is bounded;
// only lags whose estimate comes within twice that bound of the best estimate can hold the
// maximum, and exactly those are summed again the plain way to decide.
class PeriodSearch {
public:
    // A lag of 0 would match every window with itself: the shortest lag is at least 1.
    explicit PeriodSearch(int shortestLag);
    // The window holds 2 * half - 1 samples; `available` says how many can be read from it.
    // Returns the lag, or -1.
    int bestLag(const float* window, int half, long long available);

private:
    int shortestLag;
    periodkernels::Cpu cpu;
    std::vector<float> paddedWindow;  // a copy for windows too close to the end of the samples
    std::vector<double> estimates;    // one per lag, from the shortest on
    std::vector<double> exactSums;
    std::vector<double> chunkEnergy;  // energy before each chunk of CHUNK samples of the window
    std::vector<double> spectrumRe, spectrumIm, otherRe, otherIm, twiddleRe, twiddleIm;
    size_t spectrumSize = 0;
    // Of the current window:
    const float* x = nullptr;
    double energy = 0.0;       // sum of squares over the window, infinite or NaN if any sample is
    double energyBound = 0.0;  // at least sqrt(sum of a^2) * sqrt(sum of b^2)
    double energySlack = 0.0;  // covers the rounding of any difference of chunkEnergy entries

    int largestSumLag(int half);
    int ownOctave(int half, int lag);
    bool movedToFraction(int half, double energyAtStart, int& lag, double& match);
    void measure(int half);
    double energyAtMost(int from, int to) const;
    void keepFirstMaximum(int half, int from, int to, double& maximum, int& maximumAt);
    int firstMaximumOfAll(int half);
    void rankDirect(int half, double bound);
    void completeRanks(int half, int split, int block);
    double remainderAtMost(int half, int split, int block) const;
    void rankBySpectrum(int half);
    void prepareTwiddles(size_t n);
    void transform(double* re, double* im, size_t n, bool inverse);
    int firstMaximumNear(int half, double bound);
    double directBound(int half) const;
    double spectrumBound(int half, size_t n) const;
};

#endif
