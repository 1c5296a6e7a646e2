// Times the atom-system core on a million-atom fcc crystal: generation and
// replication, periodic images and cell network, the 16-nearest lists of
// every atom within the structure-analysis radius, and the peak memory.
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>

#include "qb/qb_lattice.h"
#include "qb/qb_neighbour.h"

namespace {
double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}
}  // namespace

int main() {
    const double a = 3.615;
    const int n = 63;
    auto t0 = std::chrono::steady_clock::now();
    QB_tools s;
    QB_init(&s);
    if (QB_create_fcc(&s, a, 1, 0, 0, 0, 1, 0, 0, 0, 1) != 0 || QB_duplicate(&s, n, n, n) != 1) {
        std::fprintf(stderr, "building the crystal failed\n");
        return 1;
    }
    const double t_build = seconds_since(t0);
    const int atoms = s.natoms;
    const double R = std::sqrt(2 * (s.size[0] * s.size[0] + s.size[1] * s.size[1] + s.size[2] * s.size[2])) /
                     std::cbrt(static_cast<double>(atoms));

    t0 = std::chrono::steady_clock::now();
    QB_pbc(&s, R);
    QB_network_init(&s, R);
    const double t_network = seconds_since(t0);

    t0 = std::chrono::steady_clock::now();
    long long listed = 0;
    for (int i = 0; i < atoms; i++) {
        QB_list_build(&s, i, R);
        listed += s.neighbour_count;
    }
    const double t_lists = seconds_since(t0);

    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    std::printf("fcc crystal a = %.3f, %d x %d x %d cells: %d atoms, %d with images\n", a, n, n, n, atoms, s.natoms);
    std::printf("generate + replicate:           %8.3f s   (target < 0.1 s)\n", t_build);
    std::printf("periodic images + cell network: %8.3f s\n", t_network);
    std::printf("16-nearest lists, R = %.3f:     %8.3f s   (%.2f neighbours per atom)\n", R, t_lists,
                static_cast<double>(listed) / atoms);
    std::printf("images + network + lists:       %8.3f s   (target < 1.5 s)\n", t_network + t_lists);
    std::printf("peak memory:                    %8.1f MB  (target < 400 MB)\n", usage.ru_maxrss / 1024.0);
    return 0;
}
