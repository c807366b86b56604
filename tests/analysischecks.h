#ifndef ANALYSISCHECKS_H
#define ANALYSISCHECKS_H

// What the analysis tests share: a whole analysis as the document runs it, and
// a comparison of whole arrays that names the first difference.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "Analysis.h"

namespace analysischecks {

const int WINDOW = 2048;  // the first window the document passes

inline std::unique_ptr<WaveAnalysis> analyse(std::vector<float>& samples, int rate) {
    std::unique_ptr<WaveAnalysis> analysis(
        new WaveAnalysis(samples.data(), static_cast<int>(samples.size()), rate, WINDOW, nullptr));
    analysis->findFrequencies();
    analysis->findSegments();
    return analysis;
}

template <typename T>
::testing::AssertionResult sameArray(const char* name, const std::vector<T>& expected, const T* actual) {
    for (size_t i = 0; i < expected.size(); i++) {
        if (!(expected[i] == actual[i])) {
            return ::testing::AssertionFailure()
                   << name << " differs first at " << i << ": expected " << expected[i] << ", got " << actual[i];
        }
    }
    return ::testing::AssertionSuccess();
}

}  // namespace analysischecks

#endif
