#include "FastFourierTransform.h"

#include <cmath>
#include <cstdlib>
#include <utility>

namespace {

// The twiddle angle is built in single precision, as the spectrum has always been.
const float TWO_PI = 6.2831855f;

// Bin 0 is the block's mean; the others are cosine amplitudes, hence the 2.
float* magnitudes(const float* xre, const float* xim, int n)
{
    float* mag = (float*)malloc(n / 2 * sizeof(float));
    mag[0] = sqrtf(xre[0] * xre[0] + xim[0] * xim[0]) / (float)n;
    for (int i = 1; i < n / 2; i++)
        mag[i] = 2.0f * sqrtf(xre[i] * xre[i] + xim[i] * xim[i]) / (float)n;
    return mag;
}

}  // namespace

int FastFourierTransform::bitrev(int j)
{
    int j1 = j;
    int k = 0;
    for (int i = 0; i < nu; i++) {
        int j2 = j1 / 2;
        k = 2 * k + (j1 - 2 * j2);
        j1 = j2;
    }
    return k;
}

// Decimation in time with the twiddles evaluated on the spot; the output is
// left in bit-reversed order.
void FastFourierTransform::butterflies(float* xre, float* xim)
{
    int n2 = n / 2;
    int nu1 = nu - 1;
    for (int stage = 1; stage <= nu; stage++) {
        int k = 0;
        while (k < n) {
            for (int i = 0; i < n2; i++, k++) {
                float arg = TWO_PI * (float)bitrev(k >> nu1) / (float)n;
                float c = cosf(arg);
                float s = sinf(arg);
                float tr = xre[k + n2] * c + xim[k + n2] * s;
                float ti = xim[k + n2] * c - xre[k + n2] * s;
                xre[k + n2] = xre[k] - tr;
                xim[k + n2] = xim[k] - ti;
                xre[k] += tr;
                xim[k] += ti;
            }
            k += n2;
        }
        nu1--;
        n2 /= 2;
    }
}

void FastFourierTransform::reorder(float* xre, float* xim)
{
    for (int k = 0; k < n; k++) {
        int r = bitrev(k);
        if (r > k) {
            std::swap(xre[k], xre[r]);
            std::swap(xim[k], xim[r]);
        }
    }
}

float* FastFourierTransform::fftMag(float* x, int xlen)
{
    n = xlen;
    // ln n / ln 2 in double precision is exact for every power of two up to 2^30.
    nu = (int)(std::log((double)n) / std::log(2.0));

    float* xre = (float*)malloc(n * sizeof(float));
    float* xim = (float*)malloc(n * sizeof(float));
    for (int i = 0; i < n; i++) {
        xre[i] = x[i];
        xim[i] = 0.0f;
    }
    butterflies(xre, xim);
    reorder(xre, xim);
    float* mag = magnitudes(xre, xim, n);
    free(xre);
    free(xim);
    return mag;
}
