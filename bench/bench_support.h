// What the benchmark programs share: timing a piece of work and running a
// program to its end.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

// Seconds f() takes.
template <class F>
double timed(F f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Runs path with the null-terminated argument list argv and waits for it;
// returns the child's peak resident memory in MB, and its exit code in *code.
inline double run_to_end(const char* path, char* const* argv, int* code = nullptr) {
    const pid_t pid = fork();
    if (pid == 0) {
        execv(path, argv);
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    wait4(pid, &status, 0, &usage);
    if (code) *code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return usage.ru_maxrss / 1024.0;
}
