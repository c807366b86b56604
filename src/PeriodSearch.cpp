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

// A shorter lag is the period where its normalised match reaches this share of the maximum's.
const double PEAK_SHARE = 0.95;
// A plain ratio rounds three times (product, root, quotient), and so does each of its bounds.
const double RATIO_ROUNDING = 8.0 * UNIT_ROUNDOFF;
// Margins for comparing squares of ratios: far above the few roundings of each side.
const double SQUARE_MARGIN = 1e-12;
const double TINY = 1e-300;

// prefix[i] = the energy of x[0 .. i) for i <= n, from four running sums over quarters of the
// samples that overlap in time; x and prefix hold three more than n. Returns how many roundings
// any entry has taken at most.
int prefixEnergies(const float* x, int n, double* prefix) {
    int q = (n + 3) / 4;
    double r0 = 0.0, r1 = 0.0, r2 = 0.0, r3 = 0.0;
    prefix[0] = 0.0;
    for (int t = 0; t < q; t++) {
        r0 += static_cast<double>(x[t]) * x[t];
        r1 += static_cast<double>(x[q + t]) * x[q + t];
        r2 += static_cast<double>(x[2 * q + t]) * x[2 * q + t];
        r3 += static_cast<double>(x[3 * q + t]) * x[3 * q + t];
        prefix[t + 1] = r0;
        prefix[q + t + 1] = r1;
        prefix[2 * q + t + 1] = r2;
        prefix[3 * q + t + 1] = r3;
    }
    for (int quarter = 1; quarter < 4; quarter++) {
        double before = prefix[quarter * q];
        for (int t = 1; t <= q; t++) prefix[quarter * q + t] += before;
    }
    return 4 * q + 3;
}

// The offset of the vertex of the parabola through three values from the middle one; 0 where they
// do not bend down around it.
double parabolaVertex(double before, double at, double after) {
    double denominator = before - 2.0 * at + after;
    if (!(denominator < 0.0)) return 0.0;
    double vertex = 0.5 * (before - after) / denominator;
    if (std::isnan(vertex)) return 0.0;
    return std::min(0.5, std::max(-0.5, vertex));
}

}  // namespace

PeriodSearch::PeriodSearch(int shortestLag) : shortestLag(std::max(shortestLag, 1)), cpu(periodkernels::detectCpu()) {}

PeriodSearch::Period PeriodSearch::bestLag(const float* window, int half, long long available) {
    if (half <= shortestLag) return {-1, 0.0};
    size_t used = static_cast<size_t>(2 * half - 1);
    x = window;
    if (available < static_cast<long long>(used + PADDING)) {
        paddedWindow.assign(used + PADDING, 0.0f);
        std::copy(window, window + used, paddedWindow.begin());
        x = paddedWindow.data();
    }
    int lag = largestSumLag(half);
    if (lag == -1) return {-1, 0.0};
    forgetEnergies(half);
    if (positiveSum(half, lag)) lag = firstNormalisedPeak(half, lag);
    return {lag, vertexAt(half, lag)};
}

int PeriodSearch::largestSumLag(int half) {
    windowHalf = half;
    size_t lags = static_cast<size_t>(half - shortestLag);
    sums.resize(lags);
    sumKnown.assign(lags, ESTIMATED);
    measure(half);
    if (!std::isfinite(energy) || half < RANK_FROM_HALF) return firstMaximumOfAll(half);
    if (half < SPECTRUM_FROM_HALF && cpu.fma && energy <= RANK_SAFE_ENERGY) {
        estimateBound = directBound(half);
        rankDirect(half, estimateBound);
        return firstMaximumNear(half, estimateBound);
    }
    rankBySpectrum(half);
    estimateBound = spectrumBound(half, spectrumSize);
    return firstMaximumNear(half, estimateBound);
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

void PeriodSearch::sumExactly(int half, int from, int to) {
    auto known = sumKnown.begin() + (from - shortestLag);
    if (std::all_of(known, known + (to - from), [](char k) { return k == EXACT; })) return;
    periodkernels::exactSums(cpu, x, half, from, to, sums.data() + (from - shortestLag));
    std::fill(sumKnown.begin() + (from - shortestLag), sumKnown.begin() + (to - shortestLag), EXACT);
}

// Sums lags [from, to) exactly and keeps the first that beats `maximum`, as the plain loop does.
// The lags just outside are summed too, in the same pass: the vertex of the maximum needs them.
void PeriodSearch::keepFirstMaximum(int half, int from, int to, double& maximum, int& maximumAt) {
    sumExactly(half, std::max(from - 1, shortestLag), std::min(to + 1, half));
    for (int lag = from; lag < to; lag++) {
        if (sums[lag - shortestLag] > maximum) {
            maximum = sums[lag - shortestLag];
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
    rankSplit = split;
    estimates.resize(static_cast<size_t>(lags));
    partials.resize(static_cast<size_t>(lags));
    blockRest.resize(static_cast<size_t>(lags / 32 + 1));
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
        double rest = remainderAtMost(half, split, block);
        double highest = largestOf(estimates.data() + from, to - from) + bound + rest;
        if (highest < lowest) {
            // Kept for the peak, which may need a lag of this block after all.
            std::copy(estimates.begin() + from, estimates.begin() + to, partials.begin() + from);
            std::fill(sumKnown.begin() + from, sumKnown.begin() + to, PARTIAL);
            blockRest[block] = rest;
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

void PeriodSearch::completeBlock(int half, int block) {
    int from = 32 * block, to = std::min(from + 32, half - shortestLag);
    std::copy(partials.begin() + from, partials.begin() + to, estimates.begin() + from);
    completeRanks(half, rankSplit, block);
    for (int k = from; k < to; k++) {
        if (sumKnown[k] == PARTIAL) sumKnown[k] = ESTIMATED;
    }
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

bool PeriodSearch::positiveSum(int half, int lag) {
    Interval sum = sumBounds(lag - shortestLag);
    if (sum.low > 0.0 || !(sum.high > 0.0)) return sum.low > 0.0;
    sumExactly(half, lag, lag + 1);
    return sums[lag - shortestLag] > 0.0;
}

// The period ends at the first lag below the maximum's whose normalised match is a local peak
// reaching PEAK_SHARE of the maximum's: smooth low tones match short lags nearly as well without
// those being periods, so only a peak counts. Lags whose bounds cannot reach that share are
// passed over without a sum; a lag that may is decided by bounds where they settle it, else by
// exact sums and energies around it.
int PeriodSearch::firstNormalisedPeak(int half, int lag) {
    int lastK = lag - shortestLag;
    estimateEnergies(half, lag);
    // The reach is positive, but its bounds may not yet say so.
    double lowestReach = std::max(reachBounds(lastK).low, 0.0);
    double squaredReach = lowestReach * lowestReach * std::max(startEnergyBounds().low, 0.0) * (1.0 - SQUARE_MARGIN);
    for (int k = 1; k < lastK; k++) {
        if (cannotReach(k, squaredReach)) continue;
        Verdict verdict;
        while ((verdict = peakVerdict(k, lastK)) == UNDECIDED) refineAround(half, k, lastK);
        if (verdict == PEAK) return shortestLag + k;
    }
    return lag;
}

void PeriodSearch::forgetEnergies(int half) {
    energyKnown.assign(static_cast<size_t>(half - shortestLag), 0);
    lagEnergies.resize(static_cast<size_t>(half - shortestLag));
    startKnown = false;
}

void PeriodSearch::energyExactly(int half, int from, int to) {
    auto known = energyKnown.begin() + (from - shortestLag);
    if (std::all_of(known, known + (to - from), [](char k) { return k != 0; })) return;
    periodkernels::exactEnergies(cpu, x, half, from, to, lagEnergies.data() + (from - shortestLag));
    std::fill(energyKnown.begin() + (from - shortestLag), energyKnown.begin() + (to - shortestLag), 1);
}

// Energies of the first half and of the lagged halves up to `lag`, from running sums: each is off
// by at most the rounding of two prefix sums, their difference and the plain sum itself.
void PeriodSearch::estimateEnergies(int half, int lag) {
    int lastK = lag - shortestLag, n = lag + half;
    energyEstimates.resize(static_cast<size_t>(lastK + 1));
    prefixEnergy.resize(static_cast<size_t>(n + 4));
    if (!std::isfinite(energy)) {
        // Nothing can be bounded: every ratio is decided exactly.
        estimateSlack = NAN;
        return;
    }
    int roundings = prefixEnergies(x, n, prefixEnergy.data());
    for (int k = 0; k <= lastK; k++) {
        energyEstimates[k] = prefixEnergy[shortestLag + k + half] - prefixEnergy[shortestLag + k];
    }
    // Each of the two prefix sums, their difference and the plain sum rounds off at most this
    // share of the total; 1 % more covers the rounding of the total itself.
    estimateSlack = 4.0 * 1.01 * errorGrowth(roundings + half + 1, UNIT_ROUNDOFF) * prefixEnergy[n];
}

PeriodSearch::Interval PeriodSearch::sumBounds(int k) const {
    if (sumKnown[k] == EXACT) return {sums[k], sums[k], true};
    if (sumKnown[k] == ESTIMATED) return {estimates[k] - estimateBound, estimates[k] + estimateBound, false};
    double slack = estimateBound + blockRest[k / 32];
    return {partials[k] - slack, partials[k] + slack, false};
}

PeriodSearch::Interval PeriodSearch::startEnergyBounds() const {
    if (startKnown) return {energyAtStart, energyAtStart, true};
    return {prefixEnergy[windowHalf] - estimateSlack, prefixEnergy[windowHalf] + estimateSlack, false};
}

PeriodSearch::Interval PeriodSearch::energyBounds(int k) const {
    if (energyKnown[k]) return {lagEnergies[k], lagEnergies[k], true};
    return {energyEstimates[k] - estimateSlack, energyEstimates[k] + estimateSlack, false};
}

// Holds the plain S / sqrt(E(at) E), 0 where an energy is 0, however the sum and energies are known.
PeriodSearch::Interval PeriodSearch::ratioBounds(int k) const {
    Interval sum = sumBounds(k), lagged = energyBounds(k), start = startEnergyBounds();
    if (lagged.exact && start.exact && (sum.exact || lagged.low == 0.0)) {
        double ratio = normalised(sum.low, start.low, lagged.low);
        return {ratio, ratio, true};
    }
    if (!(lagged.low > 0.0) || !(start.low > 0.0)) return {-HUGE_VAL, HUGE_VAL, false};
    double nearRoot = std::sqrt(start.low * lagged.low), farRoot = std::sqrt(start.high * lagged.high);
    double high = sum.high >= 0.0 ? sum.high / nearRoot : sum.high / farRoot;
    double low = sum.low >= 0.0 ? sum.low / farRoot : sum.low / nearRoot;
    return {low - std::fabs(low) * RATIO_ROUNDING - TINY, high + std::fabs(high) * RATIO_ROUNDING + TINY, false};
}

// Holds PEAK_SHARE of the maximum's ratio; multiplying by it keeps the order of the bounds.
PeriodSearch::Interval PeriodSearch::reachBounds(int lastK) const {
    Interval peak = ratioBounds(lastK);
    return {PEAK_SHARE * peak.low, PEAK_SHARE * peak.high, peak.exact};
}

// True where the ratio is certainly below the reach, told without a root: the reach is positive,
// so a sum of at most 0 never gets there, and otherwise the squares compare.
bool PeriodSearch::cannotReach(int k, double squaredReach) const {
    double highestSum = sumBounds(k).high;
    if (highestSum <= 0.0) return true;
    return highestSum * highestSum * (1.0 + SQUARE_MARGIN) + TINY < squaredReach * energyBounds(k).low;
}

// The plain comparisons, where the ratios around k and the reach are known; their outcome, where
// the bounds settle it.
PeriodSearch::Verdict PeriodSearch::peakVerdict(int k, int lastK) const {
    Interval before = ratioBounds(k - 1), at = ratioBounds(k), after = ratioBounds(k + 1), reach = reachBounds(lastK);
    if (before.exact && at.exact && after.exact && reach.exact) {
        return at.low >= reach.low && at.low > before.low && at.low >= after.low ? PEAK : NOT_PEAK;
    }
    if (at.high < reach.low || at.high <= before.low || at.high < after.low) return NOT_PEAK;
    if (at.low >= reach.high && at.low > before.high && at.low >= after.high) return PEAK;
    return UNDECIDED;
}

// Narrows what is known around k: a block that was never completed first, then the energy of the
// first half with the maximum's own sum and energy, then exact sums and energies from k - 1 on,
// as many as one pass of the kernels gives.
void PeriodSearch::refineAround(int half, int k, int lastK) {
    for (int near : {k, k - 1, k + 1}) {
        if (sumKnown[near] == PARTIAL) return completeBlock(half, near / 32);
    }
    if (!startKnown) {
        periodkernels::exactEnergies(cpu, x, half, 0, 1, &energyAtStart);
        startKnown = true;
        int lag = shortestLag + lastK;
        sumExactly(half, lag, lag + 1);
        return energyExactly(half, lag, lag + 1);
    }
    int from = shortestLag + k - 1, to = shortestLag + std::min(k + 15, lastK + 1);
    sumExactly(half, from, to);
    energyExactly(half, from, to);
}

// The vertex of the normalised matches around the period, not of its raw sums: a window that ends
// part way through a period of an uneven wave holds more of it on one side of the period than on
// the other, and that tilts raw sums by more than they bend.
double PeriodSearch::vertexAt(int half, int lag) {
    if (lag - 1 < shortestLag || lag + 1 >= half) return 0.0;
    int k = lag - shortestLag;
    periodkernels::neighbourSums(cpu, x, half, lag - 1, &sums[k - 1], &lagEnergies[k - 1], &energyAtStart);
    std::fill(sumKnown.begin() + (k - 1), sumKnown.begin() + (k + 2), EXACT);
    std::fill(energyKnown.begin() + (k - 1), energyKnown.begin() + (k + 2), 1);
    startKnown = true;
    return parabolaVertex(ratioBounds(k - 1).low, ratioBounds(k).low, ratioBounds(k + 1).low);
}
