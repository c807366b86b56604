#ifndef FASTFOURIERTRANSFORM_H
#define FASTFOURIERTRANSFORM_H

// One-sided magnitude spectrum by an in-place radix-2 transform. Create the
// object value-initialised (FastFourierTransform fft{} or new ...()).
class FastFourierTransform {
public:
    int bitrev(int j);
    // Returns xlen / 2 magnitudes allocated with malloc; the caller frees them.
    // xlen must be a power of two, at least 2.
    float* fftMag(float* x, int xlen);

private:
    void butterflies(float* xre, float* xim);
    void reorder(float* xre, float* xim);

    int n;
    int nu;
};

#endif
