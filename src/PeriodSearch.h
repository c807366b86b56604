#ifndef PERIODSEARCH_H
#define PERIODSEARCH_H

#include <cstddef>
#include <vector>

#include "PeriodKernels.h"

// Finds the period of a window: the lag of the largest plain sum, or the first shorter lag where
// the normalised match peaks nearly as high, placed between samples by the parabola through the
// normalised matches around it. The answer is always that of the plain loop: sequential double
// sums for lags shortestLag .. half - 1, the first maximum above -1.0, and the peak and vertex
// taken from those same sums and from sequential double energies.
//
// Large windows are first ranked by a cheaper estimate of every sum whose error is bounded;
// only lags whose estimate comes within twice that bound of the best estimate can hold the
// maximum, and exactly those are summed again the plain way to decide. The peak is found the
// same way: bounds settle every comparison they can, exact sums and energies the rest.
class PeriodSearch {
public:
    struct Period {
        int lag;        // -1 when nothing matches
        double vertex;  // in [-0.5, 0.5]: where the sums peak, relative to the lag
    };

    // A lag of 0 would match every window with itself: the shortest lag is at least 1.
    explicit PeriodSearch(int shortestLag);
    // The window holds 2 * half - 1 samples; `available` says how many can be read from it.
    Period bestLag(const float* window, int half, long long available);

private:
    // How well each lag's plain sum is known, from the shortest lag on.
    enum Knowledge : char { PARTIAL, ESTIMATED, EXACT };
    struct Interval {
        double low, high;
        bool exact;  // low and high are both the plain value
    };
    enum Verdict { NOT_PEAK, PEAK, UNDECIDED };

    int shortestLag;
    periodkernels::Cpu cpu;
    std::vector<float> paddedWindow;  // a copy for windows too close to the end of the samples
    std::vector<double> estimates;    // one per lag, from the shortest on
    std::vector<double> partials;     // the first products only, of lags whose block was not completed
    std::vector<double> blockRest;    // per block of 32 lags: at least what their missing products add
    std::vector<char> sumKnown;       // a Knowledge per lag
    std::vector<double> sums;         // exact sums, where sumKnown says so
    std::vector<char> energyKnown;
    std::vector<double> lagEnergies;  // exact energies of the lagged halves, where energyKnown says so
    std::vector<double> prefixEnergy;     // running energy of the window, for energyEstimates
    std::vector<double> energyEstimates;  // of the lagged halves, within estimateSlack
    std::vector<double> chunkEnergy;  // energy before each chunk of CHUNK samples of the window
    std::vector<double> spectrumRe, spectrumIm, otherRe, otherIm, twiddleRe, twiddleIm;
    size_t spectrumSize = 0;
    // Of the current window:
    const float* x = nullptr;
    double energy = 0.0;          // sum of squares over the window, infinite or NaN if any sample is
    double energyBound = 0.0;     // at least sqrt(sum of a^2) * sqrt(sum of b^2)
    double energySlack = 0.0;     // covers the rounding of any difference of chunkEnergy entries
    double estimateBound = 0.0;   // how far an estimate may lie from the plain sum
    double energyAtStart = 0.0;   // energy of the first half, where startKnown
    double estimateSlack = 0.0;   // how far an energy estimate may lie from the plain energy
    int rankSplit = 0;            // products summed before the first ranking
    int windowHalf = 0;
    bool startKnown = false;      // energyAtStart is exact

    int largestSumLag(int half);
    void measure(int half);
    double energyAtMost(int from, int to) const;
    void sumExactly(int half, int from, int to);
    void keepFirstMaximum(int half, int from, int to, double& maximum, int& maximumAt);
    int firstMaximumOfAll(int half);
    void rankDirect(int half, double bound);
    void completeRanks(int half, int split, int block);
    void completeBlock(int half, int block);
    double remainderAtMost(int half, int split, int block) const;
    void rankBySpectrum(int half);
    void prepareTwiddles(size_t n);
    void transform(double* re, double* im, size_t n, bool inverse);
    int firstMaximumNear(int half, double bound);
    double directBound(int half) const;
    double spectrumBound(int half, size_t n) const;

    int firstNormalisedPeak(int half, int lag);
    void forgetEnergies(int half);
    void energyExactly(int half, int from, int to);
    void estimateEnergies(int half, int lag);
    Interval sumBounds(int k) const;
    Interval startEnergyBounds() const;
    Interval energyBounds(int k) const;
    Interval reachBounds(int lastK) const;
    Interval ratioBounds(int k) const;
    bool positiveSum(int half, int lag);
    bool cannotReach(int k, double squaredReach) const;
    Verdict peakVerdict(int k, int lastK) const;
    void refineAround(int half, int k, int lastK);
    double vertexAt(int half, int lag);
};

#endif
