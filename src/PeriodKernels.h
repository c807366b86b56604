#ifndef PERIODKERNELS_H
#define PERIODKERNELS_H

#include <cstddef>

#if defined(__x86_64__) || defined(__i386__)
#define CANTOREL_X86 1
#else
#define CANTOREL_X86 0
#endif

// The vector loops of the period search. Each has one portable body, built once more for AVX2 on
// x86 and chosen by the processor met at run time. The exact ones add every sum in the order
// j = 0, 1, 2, ..., so that they are bit for bit the plain sequential double sums.
namespace periodkernels {

// Window energies are kept per chunk of this many samples.
const int CHUNK = 32;
// Ranked sums add this many products in single precision before widening.
const int RANK_BLOCK = 64;

struct Cpu {
    bool avx2;
    bool fma;
};

// CANTOREL_PLAIN_KERNELS=1 in the environment selects the portable kernels even where vector
// units exist, so that they can be checked on any machine.
Cpu detectCpu();

// sums[lag - from] = the exact sum of x[j] x[lag + j] over j < half, for lags [from, to); x may be
// read up to 16 samples past lag to - 1 + half - 1 (those lanes are dropped).
void exactSums(Cpu cpu, const float* x, int half, int from, int to, double* sums);

// prefix[t] = energy of samples [0, CHUNK * t) of x, for every chunk of the `used` samples.
void chunkEnergies(Cpu cpu, const float* x, int used, double* prefix);

// energies[lag - from] = the exact energy of x[lag + j] over j < half, for lags [from, to); read
// as far as exactSums reads.
void exactEnergies(Cpu cpu, const float* x, int half, int from, int to, double* energies);

// In one pass, for the three lags from `from`: sums[i] = the exact sum of x[j] x[from + i + j] and
// energies[i] = the exact energy of x[from + i + j] over j < half; *startEnergy = that of x[j].
// x may be read up to from + 3 + half - 1.
void neighbourSums(Cpu cpu, const float* x, int half, int from, double* sums, double* energies, double* startEnergy);

// Radix-2 transform of size n on separate real and imaginary arrays with the twiddle tables wr
// and wi (see PeriodKernels.cpp); the forward pass leaves bit-reversed order, the inverse takes it.
void transform(Cpu cpu, double* re, double* im, size_t n, const double* wr, const double* wi, bool inverse);

#if CANTOREL_X86
// Single-precision estimates of the lagged sums, in blocks of RANK_BLOCK products (needs AVX2
// and FMA): adds the products of j in [jFrom, jTo) to sums[lag - from] for lags [from, to),
// starting from zero unless `accumulate`.
void rankedSums(const float* x, int jFrom, int jTo, int from, int to, double* sums, bool accumulate);
#endif

}  // namespace periodkernels

#endif
