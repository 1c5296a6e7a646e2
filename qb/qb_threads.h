// Work shared by a few threads in the computing core: how many to use, and
// running f(0) ... f(T - 1) side by side, f(0) on the calling thread (which
// alone may report progress: the busy dialog belongs to it).
#pragma once

#include <algorithm>
#include <thread>
#include <vector>

// The threads for a request of wanted (0 or less: one per processor core),
// from 1 to 8.
inline int QB_thread_count(int wanted) {
    const int cores = std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    return std::clamp(wanted > 0 ? wanted : cores, 1, 8);
}

template <class F>
void QB_on_threads(int T, F f) {
    std::vector<std::thread> helpers;
    for (int t = 1; t < T; t++) helpers.emplace_back(f, t);
    f(0);
    for (std::thread& h : helpers) h.join();
}
