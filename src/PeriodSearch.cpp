#include "PeriodSearch.h"

#include <algorithm>
#include <cmath>

// Every match is decided by plain sequential double sums. A fused multiply-add rounds once where
// those sums round twice, so nothing in this file may fuse on its own.
#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

using periodkernels::CHUNK;
using periodkernels::RANK_BLOCK;

namespace {

// Below this half window every lag is summed exactly: ranking would not pay for itself.
const int RANK_FROM_HALF = 64;
// From this half window on, lags are ranked through the spectrum instead of direct sums.
const int SPECTRUM_FROM_HALF = 1536;
// Windows of more energy could overflow a single-precision block sum.
const double RANK_SAFE_ENERGY = 1e36;
// Samples readable past a window, so that whole vectors may run beyond the last lag.
const int PADDING = 64;

const double UNIT_ROUNDOFF = 0x1p-53;
const double UNIT_ROUNDOFF_FLOAT = 0x1p-24;
const double SMALLEST_FLOAT_STEP = 0x1p-149;

// The largest of values[0 .. count), NaN-free input assumed; four running maxima hide latency.
double largestOf(const double* values, int count) {
    double m0 = -HUGE_VAL, m1 = -HUGE_VAL, m2 = -HUGE_VAL, m3 = -HUGE_VAL;
    int k = 0;
    for (; k + 4 <= count; k += 4) {
        m0 = std::max(m0, values[k]);
        m1 = std::max(m1, values[k + 1]);
        m2 = std::max(m2, values[k + 2]);
        m3 = std::max(m3, values[k + 3]);
    }
    for (; k < count; k++) m0 = std::max(m0, values[k]);
    return std::max(std::max(m0, m1), std::max(m2, m3));
}

// The classic bound on n successive roundings: n u / (1 - n u).
double errorGrowth(double n, double unit) { return n * unit / (1.0 - n * unit); }

// A lagged sum over the square root of both energies; 0 where either energy is.
double normalised(double sum, double energyA, double energyB) {
    if (energyA == 0.0 || energyB == 0.0) return 0.0;
    return sum / std::sqrt(energyA * energyB);
}

// Fractions of the found lag tried as the period, from the half on, one group of sums each.
const int LAST_FRACTION = periodkernels::NEIGHBOUR_GROUPS + 1;

// Beyond a fifth, the fraction of a low voice's lag lies well inside one period, where a smooth
// wave matches a short lag about as well as a poorly matching found lag: there only a near
// repetition counts.
bool matchesNearlyAsWell(int k, double candidateMatch, double match) {
    return candidateMatch >= 0.95 * match && (k <= 5 || candidateMatch >= 0.95);
}

int roundedFraction(int lag, int k) { return static_cast<int>(std::floor(lag / static_cast<double>(k) + 0.5)); }

}  // namespace

PeriodSearch::PeriodSearch(int shortestLag) : shortestLag(std::max(shortestLag, 1)), cpu(periodkernels::detectCpu()) {}

int PeriodSearch::bestLag(const float* window, int half, long long available) {
    if (half <= shortestLag) return -1;
    size_t used = static_cast<size_t>(2 * half - 1);
    x = window;
    if (available < static_cast<long long>(used + PADDING)) {
        paddedWindow.assign(used + PADDING, 0.0f);
        std::copy(window, window + used, paddedWindow.begin());
        x = paddedWindow.data();
    }
    int lag = largestSumLag(half);
    return lag == -1 ? -1 : ownOctave(half, lag);
}

int PeriodSearch::largestSumLag(int half) {
    measure(half);
    if (!std::isfinite(energy) || half < RANK_FROM_HALF) return firstMaximumOfAll(half);
    if (half < SPECTRUM_FROM_HALF && cpu.fma && energy <= RANK_SAFE_ENERGY) {
        double bound = directBound(half);
        rankDirect(half, bound);
        return firstMaximumNear(half, bound);
    }
    rankBySpectrum(half);
    return firstMaximumNear(half, spectrumBound(half, spectrumSize));
}

// A steady tone matches itself at every whole multiple of its period, and the largest plain sum
// often lies on one of them. A whole fraction of the lag that matches nearly as well, once both
// are normalised by their energies, is the tone's own period. Shorter lags only, so it ends.
int PeriodSearch::ownOctave(int half, int lag) {
    double energyAtStart = 0.0, sum = 0.0, energyAtLag = 0.0;
    for (int j = 0; j < half; j++) {
        energyAtStart += static_cast<double>(x[j]) * x[j];
        sum += static_cast<double>(x[j]) * x[lag + j];
        energyAtLag += static_cast<double>(x[lag + j]) * x[lag + j];
    }
    if (!(sum > 0.0)) return lag;
    double match = normalised(sum, energyAtStart, energyAtLag);
    bool moved = true;
    while (moved) moved = movedToFraction(half, energyAtStart, lag, match);
    return lag;
}

// Tries the lags next to a half, third, ... seventh of `lag`, in that order: a first window holds
// up to seven periods of a tone near 700 Hz.
bool PeriodSearch::movedToFraction(int half, double energyAtStart, int& lag, double& match) {
    int firsts[periodkernels::NEIGHBOUR_GROUPS];
    double sums[4 * periodkernels::NEIGHBOUR_GROUPS], energies[4 * periodkernels::NEIGHBOUR_GROUPS];
    for (int k = 2; k <= LAST_FRACTION; k++) firsts[k - 2] = std::max(0, roundedFraction(lag, k) - 1);
    periodkernels::neighbourSums(cpu, x, half, firsts, sums, energies);
    for (int k = 2; k <= LAST_FRACTION; k++) {
        for (int d = -1; d <= 1; d++) {
            int candidate = roundedFraction(lag, k) + d;
            if (candidate < shortestLag || candidate >= lag) continue;
            int lane = 4 * (k - 2) + candidate - firsts[k - 2];
            double candidateMatch = normalised(sums[lane], energyAtStart, energies[lane]);
            if (matchesNearlyAsWell(k, candidateMatch, match)) {
                lag = candidate;
                match = candidateMatch;
                return true;
            }
        }
    }
    return false;
}

// Energies per chunk of the window, accumulated. A non-finite sample makes the energy non-finite,
// and such windows are only summed the plain way.
void PeriodSearch::measure(int half) {
    int used = 2 * half - 1;
    int chunks = (used + CHUNK - 1) / CHUNK;
    chunkEnergy.resize(static_cast<size_t>(chunks) + 1);
    periodkernels::chunkEnergies(cpu, x, used, chunkEnergy.data());
    energy = chunkEnergy[chunks];
    // Every partial sum carries at most used + CHUNK roundings.
    energySlack = 4.0 * errorGrowth(used + CHUNK, UNIT_ROUNDOFF) * energy;
    energyBound = std::sqrt(energyAtMost(0, half) * energyAtMost(0, used));
}

// At least the energy of samples [from, to) of the window.
double PeriodSearch::energyAtMost(int from, int to) const {
    int last = static_cast<int>(chunkEnergy.size()) - 1;
    int upTo = std::min((to + CHUNK - 1) / CHUNK, last);
    return (chunkEnergy[upTo] - chunkEnergy[from / CHUNK] + energySlack) * (1.0 + 4.0 * UNIT_ROUNDOFF);
}

// Sums lags [from, to) exactly and keeps the first that beats `maximum`, as the plain loop does.
void PeriodSearch::keepFirstMaximum(int half, int from, int to, double& maximum, int& maximumAt) {
    exactSums.resize(static_cast<size_t>(half));
    periodkernels::exactSums(cpu, x, half, from, to, exactSums.data());
    for (int lag = from; lag < to; lag++) {
        if (exactSums[lag - from] > maximum) {
            maximum = exactSums[lag - from];
            maximumAt = lag;
        }
    }
}

int PeriodSearch::firstMaximumOfAll(int half) {
    double maximum = -1.0;
    int maximumAt = -1;
    keepFirstMaximum(half, shortestLag, half, maximum, maximumAt);
    return maximumAt;
}

// Ranks every lag on its first products only, completes the block of lags that looks best, and
// then completes only those blocks that could still beat it: a lag's sum is at most its partial
// estimate plus the bound plus, by Cauchy-Schwarz, the square root of the energies of the
// products still missing.
void PeriodSearch::rankDirect(int half, double bound) {
    int lags = half - shortestLag;
    int split = (half / 3) & ~1;
    estimates.resize(static_cast<size_t>(lags));
#if CANTOREL_X86
    periodkernels::rankedSums(x, 0, split, shortestLag, half, estimates.data(), false);
#endif
    double partialBest = largestOf(estimates.data(), lags);
    int bestBlock = static_cast<int>(std::find(estimates.begin(), estimates.end(), partialBest) - estimates.begin()) / 32;
    completeRanks(half, split, bestBlock);
    int bestFrom = 32 * bestBlock, bestTo = std::min(bestFrom + 32, lags);
    double lowest = largestOf(estimates.data() + bestFrom, bestTo - bestFrom) - bound;
    for (int block = 0; block * 32 < lags; block++) {
        if (block == bestBlock) continue;
        int from = 32 * block, to = std::min(from + 32, lags);
        double highest = largestOf(estimates.data() + from, to - from) + bound + remainderAtMost(half, split, block);
        if (highest < lowest) {
            std::fill(estimates.begin() + from, estimates.begin() + to, -HUGE_VAL);
        } else {
            completeRanks(half, split, block);
        }
    }
}

void PeriodSearch::completeRanks(int half, int split, int block) {
    int from = shortestLag + 32 * block, to = std::min(from + 32, half);
#if CANTOREL_X86
    periodkernels::rankedSums(x, split, half, from, to, estimates.data() + 32 * block, true);
#else
    (void)split, (void)to;
#endif
}

// At least |sum of a_j b_(lag + j)| over j >= split, for every lag of the block.
double PeriodSearch::remainderAtMost(int half, int split, int block) const {
    int firstLag = shortestLag + 32 * block, lastLag = std::min(firstLag + 32, half) - 1;
    double a = energyAtMost(split, half);
    double b = energyAtMost(firstLag + split, lastLag + half);
    return std::sqrt(a * b) * (1.0 + 4.0 * UNIT_ROUNDOFF);
}

// Each block of RANK_BLOCK fused products is off by at most errorGrowth(RANK_BLOCK) in single precision
// of the sum of |a b| over the block; widening is exact and the double sum of the blocks adds
// errorGrowth(blocks) more. The plain sum itself is off by errorGrowth(half) from the true sum. Sums of |a b|
// never exceed the energy bound (Cauchy-Schwarz); subnormal products add an absolute step each.
double PeriodSearch::directBound(int half) const {
    double relative = errorGrowth(RANK_BLOCK, UNIT_ROUNDOFF_FLOAT) * (1.0 + errorGrowth(half, UNIT_ROUNDOFF)) +
                      2.0 * errorGrowth(half, UNIT_ROUNDOFF) + 4.0 * UNIT_ROUNDOFF;
    return 1.01 * relative * energyBound + 2.0 * half * SMALLEST_FLOAT_STEP;
}

void PeriodSearch::prepareTwiddles(size_t n) {
    if (spectrumSize == n) return;
    spectrumSize = n;
    twiddleRe.clear();
    twiddleIm.clear();
    for (size_t m = n / 2; m >= 4; m /= 2) {
        for (size_t k = 0; k < m; k++) {
            double angle = M_PI * static_cast<double>(k) / static_cast<double>(m);
            twiddleRe.push_back(std::cos(angle));
            twiddleIm.push_back(-std::sin(angle));
        }
    }
    twiddleRe.resize(n + PADDING, 0.0);
    twiddleIm.resize(n + PADDING, 0.0);
}

void PeriodSearch::transform(double* re, double* im, size_t n, bool inverse) {
    periodkernels::transform(cpu, re, im, n, twiddleRe.data(), twiddleIm.data(), inverse);
}

// Circular correlation through the spectrum: the size holds 2 * half - 1 samples, so no product
// that a lag below half needs ever wraps around.
void PeriodSearch::rankBySpectrum(int half) {
    size_t used = static_cast<size_t>(2 * half - 1);
    size_t n = 8;
    while (n < used) n *= 2;
    prepareTwiddles(n);
    spectrumRe.assign(n, 0.0);
    spectrumIm.assign(n, 0.0);
    otherRe.assign(n, 0.0);
    otherIm.assign(n, 0.0);
    std::copy(x, x + half, spectrumRe.begin());
    std::copy(x, x + used, otherRe.begin());
    transform(spectrumRe.data(), spectrumIm.data(), n, false);
    transform(otherRe.data(), otherIm.data(), n, false);
    for (size_t k = 0; k < n; k++) {
        // conj(A) B
        double re = spectrumRe[k] * otherRe[k] + spectrumIm[k] * otherIm[k];
        double im = spectrumRe[k] * otherIm[k] - spectrumIm[k] * otherRe[k];
        spectrumRe[k] = re;
        spectrumIm[k] = im;
    }
    transform(spectrumRe.data(), spectrumIm.data(), n, true);
    estimates.resize(static_cast<size_t>(half));
    double scale = 1.0 / static_cast<double>(n);  // a power of two: exact
    for (int lag = shortestLag; lag < half; lag++) estimates[lag - shortestLag] = spectrumRe[lag] * scale;
}

// A radix-2 transform of size n = 2^t with computed twiddles is off by at most
// eps = t eta / (1 - t eta) of its result in the 2-norm, eta = mu + errorGrowth(4) (sqrt 2 + mu), where
// mu bounds the twiddle error (a few units of roundoff; 4e-15 covers eta with room to spare).
// With ||A|| = sqrt(n) ||a||, a product spectrum off by n ||a|| ||b|| dp, dp = 2 eps + eps^2 +
// sqrt 2 errorGrowth(2) (1 + eps)^2, and the inverse off by eps more, every lag is off by at most
// sqrt(n) ||a|| ||b|| (dp + eps (1 + dp)). The plain sum adds errorGrowth(half) ||a|| ||b||.
double PeriodSearch::spectrumBound(int half, size_t n) const {
    double stages = std::log2(static_cast<double>(n));
    double eta = 4e-15;
    double eps = stages * eta / (1.0 - stages * eta);
    double dp = 2.0 * eps + eps * eps + std::sqrt(2.0) * errorGrowth(2, UNIT_ROUNDOFF) * (1.0 + eps) * (1.0 + eps);
    double relative = std::sqrt(static_cast<double>(n)) * (dp + eps * (1.0 + dp)) + errorGrowth(half, UNIT_ROUNDOFF) +
                      4.0 * UNIT_ROUNDOFF;
    return 1.01 * relative * energyBound + 1e-300;
}

// Lags whose estimate lies within twice the bound of the best estimate are the only ones that
// can hold the first maximum; they are summed exactly and decided as the plain loop decides.
int PeriodSearch::firstMaximumNear(int half, double bound) {
    int lags = half - shortestLag;
    double best = largestOf(estimates.data(), lags);
    double threshold = best - 2.0 * bound;
    int candidates = 0, candidate = -1;
    for (int k = 0; k < lags; k++) {
        if (estimates[k] >= threshold) {
            candidates++;
            candidate = k;
        }
    }
    if (!(best == best) || candidates > std::max(64, lags / 16)) return firstMaximumOfAll(half);
    // A lone candidate is the maximum; it only needs to be certainly above -1.0.
    if (candidates == 1 && estimates[candidate] - bound > -1.0) return shortestLag + candidate;
    double maximum = -1.0;
    int maximumAt = -1;
    for (int k = 0; k < lags;) {
        if (!(estimates[k] >= threshold)) {
            k++;
            continue;
        }
        int end = k;
        while (end < lags && estimates[end] >= threshold) end++;
        keepFirstMaximum(half, shortestLag + k, shortestLag + end, maximum, maximumAt);
        k = end;
    }
    return maximumAt;
}
