#ifndef SCAN_H
#define SCAN_H

// The first index in [from, to) whose value passes `test`, else `to`. Values are tested a group at
// a time, side by side, so that a long run of values that fail is passed over a group at once.
template <typename T, typename Test>
int firstWhere(const T* values, int from, int to, Test test) {
    const int group = 16;
    for (; from + group <= to; from += group) {
        int passed = 0;
        for (int k = 0; k < group; k++) passed += test(values[from + k]);
        if (passed > 0) break;
    }
    while (from < to && !test(values[from])) from++;
    return from;
}

#endif
