#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "WaveSegment.h"

namespace {

// 4096 samples of a slow 0.5-amplitude sine, so every value lies inside full scale.
std::vector<float> quietBuffer() {
    std::vector<float> samples(4096);
    for (size_t i = 0; i < samples.size(); i++) samples[i] = 0.5f * std::sin(0.01 * i);
    return samples;
}

}  // namespace

TEST(WaveSegment, ConstructionStoresRangeAndNoteAndClearsTheRest) {
    std::vector<float> samples = quietBuffer();
    WaveSegment segment(1000, 3047, 62, samples.data(), static_cast<int>(samples.size()));
    EXPECT_EQ(segment.startSample, 1000);
    EXPECT_EQ(segment.endSample, 3047);
    EXPECT_EQ(segment.midiNumber, 62);
    EXPECT_FALSE(segment.isSelected);
    EXPECT_EQ(segment.dragY, 0);
    EXPECT_EQ(segment.x1, 0);
    EXPECT_EQ(segment.y1, 0);
    EXPECT_EQ(segment.x2, 0);
    EXPECT_EQ(segment.y2, 0);
}

TEST(WaveSegment, MaxHeightIsOneUnlessTheRangeHoldsALouderSample) {
    std::vector<float> samples = quietBuffer();
    int len = static_cast<int>(samples.size());
    EXPECT_FLOAT_EQ(WaveSegment(0, len - 1, 60, samples.data(), len).getMaxHeight(), 1.0f);

    samples[2000] = -1.5f;
    EXPECT_FLOAT_EQ(WaveSegment(1000, 3047, 60, samples.data(), len).getMaxHeight(), 1.5f);

    // Louder samples just outside the range, on both sides, do not count.
    samples[999] = 4.0f;
    samples[3048] = -4.0f;
    EXPECT_FLOAT_EQ(WaveSegment(1000, 3047, 60, samples.data(), len).getMaxHeight(), 1.5f);
    // Both ends are inclusive.
    samples[1000] = 2.5f;
    EXPECT_FLOAT_EQ(WaveSegment(1000, 3047, 60, samples.data(), len).getMaxHeight(), 2.5f);
    samples[3047] = -3.0f;
    EXPECT_FLOAT_EQ(WaveSegment(1000, 3047, 60, samples.data(), len).getMaxHeight(), 3.0f);
}

TEST(WaveSegment, MaxHeightIgnoresNaNAndSurvivesAMissingBuffer) {
    std::vector<float> samples = quietBuffer();
    samples[10] = std::nanf("");
    samples[11] = 1.25f;
    WaveSegment withNaN(0, 20, 60, samples.data(), static_cast<int>(samples.size()));
    EXPECT_FLOAT_EQ(withNaN.getMaxHeight(), 1.25f);
    WaveSegment noBuffer(0, 20, 60, nullptr, 0);
    EXPECT_FLOAT_EQ(noBuffer.getMaxHeight(), 1.0f);
}

TEST(WaveSegment, ScreenBoxSpansTheSamplesAtTheZoomAndOneRowHigh) {
    std::vector<float> samples = quietBuffer();
    WaveSegment segment(1000, 3047, 60, samples.data(), static_cast<int>(samples.size()));
    segment.calcScreenPosition(100, 300, 512.0, nullptr);
    EXPECT_EQ(segment.x1, 100);
    EXPECT_EQ(segment.y1, 294);
    EXPECT_EQ(segment.x2, 103);  // 2047 / 512 = 3.998, truncated
    EXPECT_EQ(segment.y2, 306);

    // A new layout replaces the old one; a finer zoom widens the box.
    segment.calcScreenPosition(-50, 12, 2.0, nullptr);
    EXPECT_EQ(segment.x1, -50);
    EXPECT_EQ(segment.y1, 6);
    EXPECT_EQ(segment.x2, -50 + 1023);
    EXPECT_EQ(segment.y2, 18);
}

TEST(WaveSegment, SegmentShorterThanOneZoomStepIsOnePixelWide) {
    std::vector<float> samples = quietBuffer();
    WaveSegment segment(100, 600, 60, samples.data(), static_cast<int>(samples.size()));
    segment.calcScreenPosition(7, 50, 512.0, nullptr);
    EXPECT_EQ(segment.x2, segment.x1);  // drawn x2 + 1 - x1 = 1 pixel wide
    WaveSegment single(5, 5, 60, samples.data(), static_cast<int>(samples.size()));
    single.calcScreenPosition(7, 50, 0.5, nullptr);
    EXPECT_EQ(single.x2, single.x1);
}

TEST(WaveSegment, ScreenBoxIgnoresDragOffsetAndSelection) {
    std::vector<float> samples = quietBuffer();
    WaveSegment segment(1000, 3047, 60, samples.data(), static_cast<int>(samples.size()));
    segment.dragY = -7;
    segment.isSelected = true;
    segment.calcScreenPosition(100, 300, 512.0, nullptr);
    EXPECT_EQ(segment.y1, 294);
    EXPECT_EQ(segment.y2, 306);
    EXPECT_EQ(segment.dragY, -7);
}
