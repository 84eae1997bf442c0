#pragma once
// How long a piece of work takes, in milliseconds: once, and the median of several runs.
#include <algorithm>
#include <chrono>
#include <functional>
#include <vector>

inline double ms(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

inline double median(int runs, const std::function<void()>& work) {
    std::vector<double> t;
    for (int i = 0; i < runs; ++i)
        t.push_back(ms(work));
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}
