#include "PeriodSearch.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define CANTOREL_X86 1
#else
#define CANTOREL_X86 0
#endif

// Every match is decided by plain sequential double sums. A fused multiply-add rounds once where
// those sums round twice, so nothing in this file may fuse on its own.
#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

namespace {

// Below this half window every lag is summed exactly: ranking would not pay for itself.
const int RANK_FROM_HALF = 64;
// From this half window on, lags are ranked through the spectrum instead of direct sums.
const int SPECTRUM_FROM_HALF = 1536;
// Ranked sums add this many products in single precision before widening.
const int RANK_BLOCK = 64;
// Windows of more energy could overflow a single-precision block sum.
const double RANK_SAFE_ENERGY = 1e36;
// Samples readable past a window, so that whole vectors may run beyond the last lag.
const int PADDING = 64;
// Window energies are kept per chunk of this many samples.
const int CHUNK = 32;

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

// CANTOREL_PLAIN_KERNELS=1 in the environment selects the portable kernels even where vector
// units exist, so that they can be checked on any machine.
PeriodSearch::CpuFeatures detectCpu() {
    const char* plain = std::getenv("CANTOREL_PLAIN_KERNELS");
    if (plain && *plain && std::strcmp(plain, "0") != 0) return {false, false};
#if CANTOREL_X86
    __builtin_cpu_init();
    return {__builtin_cpu_supports("avx2") != 0, __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")};
#else
    return {false, false};
#endif
}

// ---------------------------------------------------------------------------------------------
// Exact lagged sums. Lanes hold neighbouring lags and each lane adds its products in the order
// j = 0, 1, 2, ..., so every sum is bit for bit the plain sequential one.

typedef double Doubles4 __attribute__((vector_size(32)));
typedef float Floats4 __attribute__((vector_size(16)));

inline __attribute__((always_inline)) void loadDoubles(Doubles4* to, const double* from) {
    std::memcpy(to, from, sizeof(Doubles4));
}

// Four floats widened to double, which is exact.
inline __attribute__((always_inline)) void loadWidened(Doubles4* to, const float* from) {
    Floats4 narrow;
    std::memcpy(&narrow, from, sizeof narrow);
    *to = __builtin_convertvector(narrow, Doubles4);
}

// sums[lag - from] for lags [from, to); x may be read up to 16 samples past lag to - 1 + half - 1
// (those lanes are dropped).
inline __attribute__((always_inline)) void exactSumsBody(const float* x, int half, int from, int to, double* sums) {
    for (int lag = from; lag < to; lag += 16) {
        Doubles4 s0 = {0, 0, 0, 0}, s1 = s0, s2 = s0, s3 = s0;
        const float* b = x + lag;
        for (int j = 0; j < half; j++) {
            double aj = x[j];
            Doubles4 a = {aj, aj, aj, aj}, v0, v1, v2, v3;
            loadWidened(&v0, b + j);
            loadWidened(&v1, b + j + 4);
            loadWidened(&v2, b + j + 8);
            loadWidened(&v3, b + j + 12);
            s0 += a * v0;
            s1 += a * v1;
            s2 += a * v2;
            s3 += a * v3;
        }
        double lanes[16];
        std::memcpy(lanes, &s0, sizeof s0);
        std::memcpy(lanes + 4, &s1, sizeof s1);
        std::memcpy(lanes + 8, &s2, sizeof s2);
        std::memcpy(lanes + 12, &s3, sizeof s3);
        std::memcpy(sums + (lag - from), lanes, sizeof(double) * std::min(16, to - lag));
    }
}

#if CANTOREL_X86
__attribute__((target("avx2"))) void exactSumsAvx2(const float* x, int half, int from, int to, double* sums) {
    exactSumsBody(x, half, from, to, sums);
}
#endif

void exactSumsPlain(const float* x, int half, int from, int to, double* sums) {
    exactSumsBody(x, half, from, to, sums);
}

// prefix[t] = energy of samples [0, CHUNK * t) of x, for every chunk of the `used` samples.
inline __attribute__((always_inline)) void chunkEnergiesBody(const float* x, int used, double* prefix) {
    prefix[0] = 0.0;
    for (int from = 0, t = 0; from < used; from += CHUNK, t++) {
        int to = std::min(from + CHUNK, used);
        Doubles4 sum = {0, 0, 0, 0};
        int k = from;
        for (; k + 4 <= to; k += 4) {
            Doubles4 v;
            loadWidened(&v, x + k);
            sum += v * v;
        }
        double chunk = (sum[0] + sum[1]) + (sum[2] + sum[3]);
        for (; k < to; k++) chunk += static_cast<double>(x[k]) * x[k];
        prefix[t + 1] = prefix[t] + chunk;
    }
}

#if CANTOREL_X86
__attribute__((target("avx2"))) void chunkEnergiesAvx2(const float* x, int used, double* prefix) {
    chunkEnergiesBody(x, used, prefix);
}
#endif

void chunkEnergiesPlain(const float* x, int used, double* prefix) { chunkEnergiesBody(x, used, prefix); }

// ---------------------------------------------------------------------------------------------
// Ranked lagged sums in single precision: blocks of RANK_BLOCK fused products, widened to double
// between blocks. Only used to rank lags, never to decide between close ones.

#if CANTOREL_X86
// Adds the products of j in [jFrom, jTo) to sums[lag - from] for lags [from, to), starting from
// zero unless `accumulate`. Even and odd products go to separate accumulators: eight independent
// chains keep both fused multiply-add units busy, and each block still adds at most RANK_BLOCK.
__attribute__((target("avx2,fma"))) void rankedSumsFma(const float* x, int jFrom, int jTo, int from, int to,
                                                        double* sums, bool accumulate) {
    for (int lag = from; lag < to; lag += 32) {
        int count = std::min(32, to - lag);
        double lanes[32] = {};
        if (accumulate) std::memcpy(lanes, sums + (lag - from), sizeof(double) * count);
        __m256d total[8];
        for (int k = 0; k < 8; k++) total[k] = _mm256_loadu_pd(lanes + 4 * k);
        const float* b = x + lag;
        for (int j0 = jFrom; j0 < jTo; j0 += RANK_BLOCK) {
            int j1 = std::min(j0 + RANK_BLOCK, jTo);
            __m256 e0 = _mm256_setzero_ps(), e1 = e0, e2 = e0, e3 = e0, o0 = e0, o1 = e0, o2 = e0, o3 = e0;
            int j = j0;
            for (; j + 2 <= j1; j += 2) {
                __m256 a0 = _mm256_set1_ps(x[j]);
                __m256 a1 = _mm256_set1_ps(x[j + 1]);
                const float* v = b + j;
                e0 = _mm256_fmadd_ps(a0, _mm256_loadu_ps(v), e0);
                e1 = _mm256_fmadd_ps(a0, _mm256_loadu_ps(v + 8), e1);
                e2 = _mm256_fmadd_ps(a0, _mm256_loadu_ps(v + 16), e2);
                e3 = _mm256_fmadd_ps(a0, _mm256_loadu_ps(v + 24), e3);
                o0 = _mm256_fmadd_ps(a1, _mm256_loadu_ps(v + 1), o0);
                o1 = _mm256_fmadd_ps(a1, _mm256_loadu_ps(v + 9), o1);
                o2 = _mm256_fmadd_ps(a1, _mm256_loadu_ps(v + 17), o2);
                o3 = _mm256_fmadd_ps(a1, _mm256_loadu_ps(v + 25), o3);
            }
            if (j < j1) {
                __m256 a0 = _mm256_set1_ps(x[j]);
                const float* v = b + j;
                e0 = _mm256_fmadd_ps(a0, _mm256_loadu_ps(v), e0);
                e1 = _mm256_fmadd_ps(a0, _mm256_loadu_ps(v + 8), e1);
                e2 = _mm256_fmadd_ps(a0, _mm256_loadu_ps(v + 16), e2);
                e3 = _mm256_fmadd_ps(a0, _mm256_loadu_ps(v + 24), e3);
            }
            const __m256 blocks[4] = {_mm256_add_ps(e0, o0), _mm256_add_ps(e1, o1), _mm256_add_ps(e2, o2),
                                      _mm256_add_ps(e3, o3)};
            for (int k = 0; k < 4; k++) {
                total[2 * k] = _mm256_add_pd(total[2 * k], _mm256_cvtps_pd(_mm256_castps256_ps128(blocks[k])));
                total[2 * k + 1] =
                    _mm256_add_pd(total[2 * k + 1], _mm256_cvtps_pd(_mm256_extractf128_ps(blocks[k], 1)));
            }
        }
        for (int k = 0; k < 8; k++) _mm256_storeu_pd(lanes + 4 * k, total[k]);
        std::memcpy(sums + (lag - from), lanes, sizeof(double) * count);
    }
}
#endif

// ---------------------------------------------------------------------------------------------
// Radix-2 transform on separate real and imaginary arrays. The forward pass leaves the spectrum
// in bit-reversed order and the inverse pass takes it back from there: a product of two spectra
// does not care about their order, so no reordering is ever done.
// Nothing is shared with FastFourierTransform: its spectrum is single precision with twiddles
// computed per butterfly, and either side computed the other's way would change its results.

// One butterfly stage of half-length m (m >= 4, a multiple of 4) on whole vectors.
inline __attribute__((always_inline)) void vectorStage(double* re, double* im, size_t n, size_t m,
                                                       const double* wr, const double* wi, bool inverse) {
    for (size_t base = 0; base < n; base += 2 * m) {
        double* r0 = re + base;
        double* i0 = im + base;
        double* r1 = r0 + m;
        double* i1 = i0 + m;
        for (size_t k = 0; k < m; k += 4) {
            Doubles4 ar, ai, br, bi, cr, ci;
            loadDoubles(&ar, r0 + k);
            loadDoubles(&ai, i0 + k);
            loadDoubles(&br, r1 + k);
            loadDoubles(&bi, i1 + k);
            loadDoubles(&cr, wr + k);
            loadDoubles(&ci, wi + k);
            if (inverse) {
                // b times the conjugate twiddle, then the sum and difference.
                Doubles4 tr = br * cr + bi * ci;
                Doubles4 ti = bi * cr - br * ci;
                Doubles4 sr = ar + tr, si = ai + ti, dr = ar - tr, di = ai - ti;
                std::memcpy(r0 + k, &sr, sizeof sr);
                std::memcpy(i0 + k, &si, sizeof si);
                std::memcpy(r1 + k, &dr, sizeof dr);
                std::memcpy(i1 + k, &di, sizeof di);
            } else {
                Doubles4 sr = ar + br, si = ai + bi, dr = ar - br, di = ai - bi;
                Doubles4 tr = dr * cr - di * ci;
                Doubles4 ti = dr * ci + di * cr;
                std::memcpy(r0 + k, &sr, sizeof sr);
                std::memcpy(i0 + k, &si, sizeof si);
                std::memcpy(r1 + k, &tr, sizeof tr);
                std::memcpy(i1 + k, &ti, sizeof ti);
            }
        }
    }
}

// The two stages of half-length 2 and 1 together, as 4-point transforms whose twiddles are the
// exact 1 and -i (forward) or 1 and +i (inverse).
inline __attribute__((always_inline)) void fourPointStages(double* re, double* im, size_t n, bool inverse) {
    for (size_t base = 0; base < n; base += 4) {
        double* r = re + base;
        double* i = im + base;
        if (inverse) {
            // Half-length 1 first, then 2 with the twiddle +i on the odd difference.
            double s0r = r[0] + r[1], s0i = i[0] + i[1], d0r = r[0] - r[1], d0i = i[0] - i[1];
            double s1r = r[2] + r[3], s1i = i[2] + i[3], d1r = r[2] - r[3], d1i = i[2] - i[3];
            r[0] = s0r + s1r, i[0] = s0i + s1i, r[2] = s0r - s1r, i[2] = s0i - s1i;
            r[1] = d0r - d1i, i[1] = d0i + d1r, r[3] = d0r + d1i, i[3] = d0i - d1r;
        } else {
            double s0r = r[0] + r[2], s0i = i[0] + i[2], d0r = r[0] - r[2], d0i = i[0] - i[2];
            double s1r = r[1] + r[3], s1i = i[1] + i[3], d1r = r[1] - r[3], d1i = i[1] - i[3];
            // The difference d1 turns by -i: (x + iy)(-i) = y - ix.
            r[0] = s0r + s1r, i[0] = s0i + s1i, r[1] = s0r - s1r, i[1] = s0i - s1i;
            r[2] = d0r + d1i, i[2] = d0i - d1r, r[3] = d0r - d1i, i[3] = d0i + d1r;
        }
    }
}

// twiddles holds, for every half-length m = n/2, n/4, ..., 4, the m factors exp(-i pi k / m)
// one table after the other (real parts in wr, imaginary parts in wi).
inline __attribute__((always_inline)) void transformBody(double* re, double* im, size_t n, const double* wr,
                                                          const double* wi, bool inverse) {
    if (!inverse) {
        size_t offset = 0;
        for (size_t m = n / 2; m >= 4; m /= 2) {
            vectorStage(re, im, n, m, wr + offset, wi + offset, false);
            offset += m;
        }
        fourPointStages(re, im, n, false);
    } else {
        fourPointStages(re, im, n, true);
        size_t offset = n - 4;  // the tables run from m = n/2 down to 4
        for (size_t m = 4; m <= n / 2; m *= 2) {
            offset -= m;
            vectorStage(re, im, n, m, wr + offset, wi + offset, true);
        }
    }
}

#if CANTOREL_X86
__attribute__((target("avx2"))) void transformAvx2(double* re, double* im, size_t n, const double* wr,
                                                   const double* wi, bool inverse) {
    transformBody(re, im, n, wr, wi, inverse);
}
#endif

void transformPlain(double* re, double* im, size_t n, const double* wr, const double* wi, bool inverse) {
    transformBody(re, im, n, wr, wi, inverse);
}

}  // namespace

PeriodSearch::PeriodSearch(int shortestLag) : shortestLag(std::max(shortestLag, 1)), cpu(detectCpu()) {}

int PeriodSearch::bestLag(const float* window, int half, long long available) {
    if (half <= shortestLag) return -1;
    size_t used = static_cast<size_t>(2 * half - 1);
    x = window;
    if (available < static_cast<long long>(used + PADDING)) {
        paddedWindow.assign(used + PADDING, 0.0f);
        std::copy(window, window + used, paddedWindow.begin());
        x = paddedWindow.data();
    }
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

// Energies per chunk of the window, accumulated. A non-finite sample makes the energy non-finite,
// and such windows are only summed the plain way.
void PeriodSearch::measure(int half) {
    int used = 2 * half - 1;
    int chunks = (used + CHUNK - 1) / CHUNK;
    chunkEnergy.resize(static_cast<size_t>(chunks) + 1);
#if CANTOREL_X86
    if (cpu.avx2) {
        chunkEnergiesAvx2(x, used, chunkEnergy.data());
    } else
#endif
    {
        chunkEnergiesPlain(x, used, chunkEnergy.data());
    }
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

void PeriodSearch::sumExactly(int half, int from, int to, double* out) {
#if CANTOREL_X86
    if (cpu.avx2) return exactSumsAvx2(x, half, from, to, out);
#endif
    exactSumsPlain(x, half, from, to, out);
}

int PeriodSearch::firstMaximumOfAll(int half) {
    exactSums.resize(static_cast<size_t>(half));
    sumExactly(half, shortestLag, half, exactSums.data());
    double maximum = -1.0;
    int maximumAt = -1;
    for (int lag = shortestLag; lag < half; lag++) {
        if (exactSums[lag - shortestLag] > maximum) {
            maximum = exactSums[lag - shortestLag];
            maximumAt = lag;
        }
    }
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
    rankedSumsFma(x, 0, split, shortestLag, half, estimates.data(), false);
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
    rankedSumsFma(x, split, half, from, to, estimates.data() + 32 * block, true);
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
#if CANTOREL_X86
    if (cpu.avx2) return transformAvx2(re, im, n, twiddleRe.data(), twiddleIm.data(), inverse);
#endif
    transformPlain(re, im, n, twiddleRe.data(), twiddleIm.data(), inverse);
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
    exactSums.resize(static_cast<size_t>(half));
    double maximum = -1.0;
    int maximumAt = -1;
    for (int k = 0; k < lags;) {
        if (!(estimates[k] >= threshold)) {
            k++;
            continue;
        }
        int end = k;
        while (end < lags && estimates[end] >= threshold) end++;
        sumExactly(half, shortestLag + k, shortestLag + end, exactSums.data());
        for (int c = k; c < end; c++) {
            if (exactSums[c - k] > maximum) {
                maximum = exactSums[c - k];
                maximumAt = shortestLag + c;
            }
        }
        k = end;
    }
    return maximumAt;
}
