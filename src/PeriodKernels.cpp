#include "PeriodKernels.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#if CANTOREL_X86
#include <immintrin.h>
#endif

// Every match is decided by plain sequential double sums. A fused multiply-add rounds once where
// those sums round twice, so nothing in this file may fuse on its own.
#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

namespace periodkernels {

namespace {

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

// The first `count` of sixteen lanes.
inline __attribute__((always_inline)) void storeLanes(double* to, int count, const Doubles4& s0, const Doubles4& s1,
                                                      const Doubles4& s2, const Doubles4& s3) {
    double lanes[16];
    std::memcpy(lanes, &s0, sizeof s0);
    std::memcpy(lanes + 4, &s1, sizeof s1);
    std::memcpy(lanes + 8, &s2, sizeof s2);
    std::memcpy(lanes + 12, &s3, sizeof s3);
    std::memcpy(to, lanes, sizeof(double) * count);
}

// Sums over j < half for lags [from, to), each added in the order j = 0, 1, 2, ...: of
// x[j] * x[lag + j] (the lag's sum), or with `Squares` of x[lag + j] squared (the lagged half's
// energy). out[lag - from]; x may be read up to 16 samples past lag to - 1 + half - 1 (those
// lanes are dropped).
template <bool Squares>
inline __attribute__((always_inline)) void lagSumsBody(const float* x, int half, int from, int to, double* out) {
    for (int lag = from; lag < to; lag += 16) {
        Doubles4 s0 = {0, 0, 0, 0}, s1 = s0, s2 = s0, s3 = s0;
        const float* b = x + lag;
        for (int j = 0; j < half; j++) {
            Doubles4 v0, v1, v2, v3;
            loadWidened(&v0, b + j);
            loadWidened(&v1, b + j + 4);
            loadWidened(&v2, b + j + 8);
            loadWidened(&v3, b + j + 12);
            if constexpr (Squares) {
                s0 += v0 * v0;
                s1 += v1 * v1;
                s2 += v2 * v2;
                s3 += v3 * v3;
            } else {
                double aj = x[j];
                Doubles4 a = {aj, aj, aj, aj};
                s0 += a * v0;
                s1 += a * v1;
                s2 += a * v2;
                s3 += a * v3;
            }
        }
        storeLanes(out + (lag - from), std::min(16, to - lag), s0, s1, s2, s3);
    }
}

#if CANTOREL_X86
__attribute__((target("avx2"))) void exactSumsAvx2(const float* x, int half, int from, int to, double* sums) {
    lagSumsBody<false>(x, half, from, to, sums);
}
#endif

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

#if CANTOREL_X86
__attribute__((target("avx2"))) void exactEnergiesAvx2(const float* x, int half, int from, int to,
                                                       double* energies) {
    lagSumsBody<true>(x, half, from, to, energies);
}
#endif

// Three neighbouring lags with the start: their sums, energies and the start's energy, each added
// in the order j = 0, 1, 2, ... in a chain of its own.
inline __attribute__((always_inline)) void neighbourSumsBody(const float* x, int half, int from, double* sums,
                                                             double* energies, double* startEnergy) {
    Doubles4 s = {0, 0, 0, 0}, e = s;
    double start = 0.0;
    for (int j = 0; j < half; j++) {
        double aj = x[j];
        Doubles4 a = {aj, aj, aj, aj}, v;
        loadWidened(&v, x + from + j);
        s += a * v;
        e += v * v;
        start += aj * aj;
    }
    for (int i = 0; i < 3; i++) {
        sums[i] = s[i];
        energies[i] = e[i];
    }
    *startEnergy = start;
}

#if CANTOREL_X86
__attribute__((target("avx2"))) void neighbourSumsAvx2(const float* x, int half, int from, double* sums,
                                                       double* energies, double* startEnergy) {
    neighbourSumsBody(x, half, from, sums, energies, startEnergy);
}
#endif

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
// Nothing shared with FastFourierTransform: its float spectrum and per-butterfly twiddles would change.

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

}  // namespace

Cpu detectCpu() {
    const char* plain = std::getenv("CANTOREL_PLAIN_KERNELS");
    if (plain && *plain && std::strcmp(plain, "0") != 0) return {false, false};
#if CANTOREL_X86
    __builtin_cpu_init();
    return {__builtin_cpu_supports("avx2") != 0, __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")};
#else
    return {false, false};
#endif
}

// Each dispatcher below is itself the portable build of its kernel.
void exactSums(Cpu cpu, const float* x, int half, int from, int to, double* sums) {
#if CANTOREL_X86
    if (cpu.avx2) return exactSumsAvx2(x, half, from, to, sums);
#endif
    lagSumsBody<false>(x, half, from, to, sums);
}

void chunkEnergies(Cpu cpu, const float* x, int used, double* prefix) {
#if CANTOREL_X86
    if (cpu.avx2) return chunkEnergiesAvx2(x, used, prefix);
#endif
    chunkEnergiesBody(x, used, prefix);
}

void exactEnergies(Cpu cpu, const float* x, int half, int from, int to, double* energies) {
#if CANTOREL_X86
    if (cpu.avx2) return exactEnergiesAvx2(x, half, from, to, energies);
#endif
    lagSumsBody<true>(x, half, from, to, energies);
}

void neighbourSums(Cpu cpu, const float* x, int half, int from, double* sums, double* energies, double* startEnergy) {
#if CANTOREL_X86
    if (cpu.avx2) return neighbourSumsAvx2(x, half, from, sums, energies, startEnergy);
#endif
    neighbourSumsBody(x, half, from, sums, energies, startEnergy);
}

#if CANTOREL_X86
void rankedSums(const float* x, int jFrom, int jTo, int from, int to, double* sums, bool accumulate) {
    rankedSumsFma(x, jFrom, jTo, from, to, sums, accumulate);
}
#endif

void transform(Cpu cpu, double* re, double* im, size_t n, const double* wr, const double* wi, bool inverse) {
#if CANTOREL_X86
    if (cpu.avx2) return transformAvx2(re, im, n, wr, wi, inverse);
#endif
    transformBody(re, im, n, wr, wi, inverse);
}

}  // namespace periodkernels
