// What the benchmark programs share: timing a piece of work and running a
// program to its end.
#pragma once

#include <sys/resource.h>
#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

// The program's full path from the PATH, or "".
inline std::string on_path(const char* name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "";
    for (size_t at = 0; at <= dirs.size();) {
        size_t end = dirs.find(':', at);
        if (end == std::string::npos) end = dirs.size();
        const std::string candidate = dirs.substr(at, end - at) + "/" + name;
        if (end > at && access(candidate.c_str(), X_OK) == 0) return candidate;
        at = end + 1;
    }
    return "";
}

// Seconds f() takes.
template <class F>
double timed(F f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Runs path with the null-terminated argument list argv and waits for it;
// returns the child's peak resident memory in MB, and its exit code in *code.
// (Through the small program peak_of, BENCH_PEAK_OF: a child forked
// straight from a benchmark holding a large model counts that memory too.)
inline double run_to_end(const char* path, char* const* argv, int* code = nullptr) {
    char file[] = "/tmp/bench_peak_XXXXXX";
    const int fd = mkstemp(file);
    if (fd >= 0) close(fd);
    std::vector<char*> through{const_cast<char*>("peak_of"), file, const_cast<char*>(path)};
    for (char* const* a = argv + 1; *a; a++) through.push_back(*a);
    through.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        execv(BENCH_PEAK_OF, through.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (code) *code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    long kb = 0;
    if (FILE* f = std::fopen(file, "r")) {
        if (std::fscanf(f, "%ld", &kb) != 1) kb = 0;
        std::fclose(f);
    }
    unlink(file);
    return kb / 1024.0;
}

// One quelm-batch command timed as a whole process: `check` looks at what it
// wrote (given its exit code) and returns a short description, setting
// `right` to false when the result is wrong.
struct BatchCase {
    std::string name;
    std::vector<std::string> args;  // after "quelm-batch"
    double target;                  // seconds
    std::function<std::string(int code, bool& right)> check;
};

// Runs each case three times and returns one report line per case: the
// median time, the process's peak memory and the check; `ok` turns false on
// a wrong result.
inline std::string time_batch_cases(const char* batch, const std::vector<BatchCase>& cases, bool& ok,
                                    double memory_target_mb = 0) {
    std::string report;
    for (const BatchCase& c : cases) {
        std::vector<const char*> argv{"quelm-batch"};
        for (const std::string& a : c.args) argv.push_back(a.c_str());
        argv.push_back(nullptr);
        std::vector<double> times;
        double peak = 0;
        int code = 0;
        for (int run = 0; run < 3; run++)
            times.push_back(timed([&] { peak = std::max(peak, run_to_end(batch, const_cast<char* const*>(argv.data()), &code)); }));
        std::sort(times.begin(), times.end());
        bool right = code == 0;
        const std::string what = c.check(code, right);
        ok = ok && right;
        char line[400];
        std::snprintf(line, sizeof line, "%-38s %7.3f  %6.0f MB  %-24s target < %.1f s%s\n", c.name.c_str(), times[1], peak,
                      (what + (right ? "" : " (WRONG)")).c_str(), c.target,
                      memory_target_mb > 0 && c.target >= 0.8 ? (", " + std::to_string(static_cast<int>(memory_target_mb)) + " MB").c_str() : "");
        report += line;
    }
    return report;
}
