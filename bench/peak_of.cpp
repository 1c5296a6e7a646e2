// peak_of FILE PROGRAM ARGS...: runs PROGRAM and writes its peak resident
// memory (kB) to FILE, exiting with its exit status. A benchmark holding a
// large model runs its commands through this small process: a child forked
// straight from the benchmark would count the benchmark's own memory, which
// it shares until it execs, in its peak.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: peak_of FILE PROGRAM ARGS...\n");
        return 2;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        execv(argv[2], argv + 2);
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    if (pid < 0 || wait4(pid, &status, 0, &usage) < 0) return 127;
    if (FILE* f = std::fopen(argv[1], "w")) {
        std::fprintf(f, "%ld\n", usage.ru_maxrss);
        std::fclose(f);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
