#include "FastFourierTransform.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

namespace {

struct FreeDeleter {
    void operator()(float* p) const { free(p); }
};
using Spectrum = std::unique_ptr<float[], FreeDeleter>;

Spectrum magnitudeSpectrum(FastFourierTransform& fft, std::vector<float> block)
{
    return Spectrum(fft.fftMag(block.data(), (int)block.size()));
}

std::vector<float> cosineBlock(int n, int bin, double amplitude)
{
    std::vector<float> block(n);
    for (int k = 0; k < n; k++)
        block[k] = (float)(amplitude * std::cos(2.0 * M_PI * bin * k / n));
    return block;
}

std::vector<float> sineBlock(int n, int bin, double amplitude)
{
    std::vector<float> block(n);
    for (int k = 0; k < n; k++)
        block[k] = (float)(amplitude * std::sin(2.0 * M_PI * bin * k / n));
    return block;
}

// The same scaling as the transform: the mean at bin 0, cosine amplitudes above.
std::vector<double> directMagnitudes(const std::vector<float>& block)
{
    const int n = (int)block.size();
    std::vector<double> mag(n / 2);
    for (int bin = 0; bin < n / 2; bin++) {
        double re = 0.0, im = 0.0;
        for (int k = 0; k < n; k++) {
            double arg = 2.0 * M_PI * (double)((long)bin * k % n) / n;
            re += block[k] * std::cos(arg);
            im -= block[k] * std::sin(arg);
        }
        mag[bin] = (bin == 0 ? 1.0 : 2.0) * std::sqrt(re * re + im * im) / n;
    }
    return mag;
}

// Single-precision cancellation leaves about 1e-7 in bins that should be empty.
const float EMPTY_BIN = 1e-6f;

}  // namespace

TEST(FastFourierTransform, BitrevReversesTheLowNuBits)
{
    FastFourierTransform fft{};
    magnitudeSpectrum(fft, std::vector<float>(8, 0.0f));  // sets nu to 3
    EXPECT_EQ(0, fft.bitrev(0));
    EXPECT_EQ(4, fft.bitrev(1));
    EXPECT_EQ(6, fft.bitrev(3));
    EXPECT_EQ(3, fft.bitrev(6));
    EXPECT_EQ(7, fft.bitrev(7));

    magnitudeSpectrum(fft, std::vector<float>(1024, 0.0f));  // nu 10
    EXPECT_EQ(512, fft.bitrev(1));
    EXPECT_EQ(1023 - 512, fft.bitrev(1022));
}

TEST(FastFourierTransform, ConstantBlockIsAllMean)
{
    FastFourierTransform fft{};
    Spectrum mag = magnitudeSpectrum(fft, std::vector<float>(8, 1.0f));
    EXPECT_FLOAT_EQ(1.0f, mag[0]);
    for (int i = 1; i < 4; i++)
        EXPECT_NEAR(0.0f, mag[i], EMPTY_BIN) << "bin " << i;

    Spectrum pair = magnitudeSpectrum(fft, {3.0f, 1.0f});
    EXPECT_FLOAT_EQ(2.0f, pair[0]);
    Spectrum negativePair = magnitudeSpectrum(fft, {-3.0f, -1.0f});
    EXPECT_FLOAT_EQ(2.0f, negativePair[0]) << "a magnitude, never the signed mean";
}

TEST(FastFourierTransform, PureTonesLandInTheirBinWithTheirAmplitude)
{
    FastFourierTransform fft{};
    Spectrum cosine = magnitudeSpectrum(fft, cosineBlock(64, 4, 1.0));
    EXPECT_NEAR(1.0f, cosine[4], 1e-5f);
    for (int i = 0; i < 32; i++) {
        if (i != 4) {
            EXPECT_NEAR(0.0f, cosine[i], EMPTY_BIN) << "bin " << i;
        }
    }

    Spectrum sine = magnitudeSpectrum(fft, sineBlock(64, 10, 0.5));
    EXPECT_NEAR(0.5f, sine[10], 1e-5f);
    for (int i = 0; i < 32; i++) {
        if (i != 10) {
            EXPECT_NEAR(0.0f, sine[i], EMPTY_BIN) << "bin " << i;
        }
    }
}

TEST(FastFourierTransform, MatchesDirectTransformOnNoise1024)
{
    std::mt19937 generator(1024);
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    std::vector<float> block(1024);
    for (float& sample : block)
        sample = uniform(generator);
    const std::vector<float> original = block;

    FastFourierTransform fft{};
    Spectrum mag(fft.fftMag(block.data(), 1024));
    std::vector<double> expected = directMagnitudes(block);

    // Ten float stages with float twiddles round to about 2e-8 per bin; 2e-7 leaves
    // room for another libm, and one misplaced sample moves a bin by about 2e-3.
    for (int bin = 0; bin < 512; bin++)
        EXPECT_NEAR(expected[bin], mag[bin], 2e-7) << "bin " << bin;
    EXPECT_EQ(original, block) << "the input block is only read";
}
