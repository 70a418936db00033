// What the benchmarks time with: a stopwatch on the performance counter and
// the middle of a set of figures.
#ifndef GAGENT_BENCHMARK_TIMING_H
#define GAGENT_BENCHMARK_TIMING_H

#include <windows.h>

#include <algorithm>
#include <vector>

class Stopwatch {
public:
    Stopwatch() { QueryPerformanceCounter(&started); }
    double milliseconds() const
    {
        LARGE_INTEGER now, frequency;
        QueryPerformanceCounter(&now);
        QueryPerformanceFrequency(&frequency);
        return 1000.0 * static_cast<double>(now.QuadPart - started.QuadPart) /
               static_cast<double>(frequency.QuadPart);
    }

private:
    LARGE_INTEGER started;
};

inline double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

#endif
