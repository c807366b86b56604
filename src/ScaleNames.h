#ifndef SCALENAMES_H
#define SCALENAMES_H

#include <cstring>

// The scales the program offers, in the order of the scale choice: the label
// shown, the name the analysis takes, and the tonic's pitch class (0 = C;
// -1 for the chromatic scale, which has none).
struct ScaleName {
    const char* label;
    const char* key;
    int tonic;
};

inline constexpr ScaleName SCALE_NAMES[] = {
    {"Chromatic", "chromatic", -1}, {"A Major", "a major", 9},   {"A# Major", "a# major", 10},
    {"B Major", "b major", 11},     {"C Major", "c major", 0},   {"C# Major", "c# major", 1},
    {"D Major", "d major", 2},      {"D# Major", "d# major", 3}, {"E Major", "e major", 4},
    {"F Major", "f major", 5},      {"F# Major", "f# major", 6}, {"G Major", "g major", 7},
    {"G# Major", "g# major", 8},
};
inline constexpr int SCALE_COUNT = sizeof SCALE_NAMES / sizeof SCALE_NAMES[0];

// Pitch class of the tonic of a major scale named as the analysis takes it
// ("c# major"); -1 for any other name.
inline int majorScaleTonic(const char* key) {
    for (const ScaleName& scale : SCALE_NAMES)
        if (key && scale.tonic >= 0 && std::strcmp(key, scale.key) == 0) return scale.tonic;
    return -1;
}

#endif
