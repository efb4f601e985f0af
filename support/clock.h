// Seconds on a clock without a daily wrap, with fractions of a second.
#pragma once
#include <windows.h>

namespace velkomb::support {

inline double MonotonicSeconds()
{
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / frequency;
}

} // namespace velkomb::support
