// Times the structure analysis of a million-atom fcc crystal (1,000,188
// copper atoms): where one core's time goes, the analysis alone over the
// model in memory (adaptive CNA on every core and on one, and with CSP and
// BAA added), and `quelm-batch analyse --method cna` as a whole process
// (reading the data file, analysing, writing the custom dump) with its peak
// memory, next to LAMMPS reading the same file and running
// `compute cna/atom` when `lmp` is on the PATH. Every atom of the perfect
// crystal must come out as fcc, with CSP 0 and BAA fcc.
//
// Times are medians of several runs (--runs N, 7 by default) with the
// fastest in brackets.
#include <sched.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "analysis/morla.h"
#include "analysis/morla_driver.h"
#include "store/quelm_store.h"
#include "bench_support.h"
#include "qb/qb_formats.h"
#include "qb/qb_lattice.h"
#include "qb/qb_neighbour.h"

namespace {

// Atoms of s whose column name does not hold value (within tolerance).
int count_other(const QB_tools* s, const char* name, double value, double tolerance = 0) {
    const int slot = QB_slot_get(s, name);
    if (slot < 0) return s->natoms;
    int other = 0;
    for (int i = 0; i < s->natoms; i++) other += !(std::fabs(QB_slot_data(s, slot, i) - value) <= tolerance);
    return other;
}

struct Figure {
    double median = 0, best = 0;
};

// f() timed runs times.
template <class F>
Figure repeated(int runs, F f) {
    std::vector<double> t;
    for (int k = 0; k < runs; k++) t.push_back(timed(f));
    std::sort(t.begin(), t.end());
    return {t[t.size() / 2], t.front()};
}

void switch_on(std::initializer_list<const char*> methods) {
    QN_analy_defaults(1);
    for (const char* m : methods) QN_set_bit_int(QN_ANALY_GROUP, std::string("A_") + m + "_active", 1, 0);
    QN_set_bit_double_multi(QN_ANALY_GROUP, 0, "A_csp_cn", 12, 0);
}


}  // namespace

int main(int argc, char** argv) {
    int runs = 7;
    for (int k = 1; k + 1 < argc; k++)
        if (std::strcmp(argv[k], "--runs") == 0) runs = std::max(1, std::atoi(argv[k + 1]));
    char dir[] = "/tmp/quelm_bench_analysisXXXXXX";
    if (!mkdtemp(dir)) return 1;
    const std::string lmp = std::string(dir) + "/c.lmp", lmc = std::string(dir) + "/c.lmc";

    QB_tools s;
    QB_init(&s);
    QB_create_fcc(&s, 3.615, 1, 0, 0, 0, 1, 0, 0, 0, 1);
    QB_duplicate(&s, 63, 63, 63);
    if (QB_dump_lmp(&s, lmp.c_str()) != 1) return 1;
    std::FILE* remarks = std::freopen("/dev/null", "w", stdout);  // the runs' remarks
    (void)remarks;
    QN_store_init();
    bool right = true;

    // Where one core's time goes: binning the atoms and their images, the
    // neighbour lists of every atom, and the rest (the CNA itself).
    double R = 0, near = 0;
    QN_MORLA_radii(&s, &R, &near);
    const Figure build = repeated(runs, [&] {
        QB_cell_list cells;
        QB_cell_list_build(&s, R, near, &cells, 1);
    });
    QB_cell_list cells;
    QB_cell_list_build(&s, R, near, &cells, 1);
    const Figure lists = repeated(runs, [&] {
        QB_cell_walker walker(cells, MORLA_METHOD::MORLA_MAX_NEIGHBOURS);
        QB_cell_hits hits;
        for (size_t e = 0; e < cells.record.size(); e++) {
            if (cells.record[e] >= cells.atoms) continue;
            walker.query(static_cast<int>(e), near, &hits);
            if (hits.count < MORLA_METHOD::MORLA_MAX_NEIGHBOURS) walker.query(static_cast<int>(e), R, &hits);
        }
    });

    switch_on({"cna"});
    const Figure cna2 = repeated(runs, [&] { QN_MORLA_compute(&s, 0); });
    int wrong = count_other(&s, "cna", 1);
    // One thread on one core.
    cpu_set_t all, one;
    sched_getaffinity(0, sizeof all, &all);
    CPU_ZERO(&one);
    CPU_SET(0, &one);
    sched_setaffinity(0, sizeof one, &one);
    const Figure cna1 = repeated(runs, [&] { QN_MORLA_compute(&s, 1); });
    sched_setaffinity(0, sizeof all, &all);
    wrong += count_other(&s, "cna", 1);
    switch_on({"cna", "csp", "baa"});
    const Figure three = repeated(runs, [&] { QN_MORLA_compute(&s, 0); });
    wrong += count_other(&s, "cna", 1) + count_other(&s, "baa", 1) + count_other(&s, "csp", 0, 1e-9);
    right = right && wrong == 0;

    // The whole process, and its reading and writing alone.
    const char* batch_argv[] = {"quelm-batch", "analyse", lmp.c_str(), "-o", lmc.c_str(), "--method", "cna", nullptr};
    double peak = 0;
    int code = 0;
    const Figure process = repeated(runs, [&] {
        peak = std::max(peak, run_to_end(QUELM_BATCH, const_cast<char* const*>(batch_argv), &code));
    });
    QB_tools back;
    const int dump_wrong = code == 0 && QB_read_lmc(&back, lmc.c_str()) == 1 ? count_other(&back, "cna", 1) : -1;
    right = right && dump_wrong == 0 && back.natoms == s.natoms;
    const Figure reading = repeated(runs, [&] {
        QB_tools r;
        QB_read_file(&r, lmp.c_str());
    });
    const Figure writing = repeated(runs, [&] { QB_dump_lmc(&back, lmc.c_str()); });

    // LAMMPS on the same file, as the user runs it: read, compute cna/atom.
    const std::string lammps = on_path("lmp");
    Figure reference;
    if (!lammps.empty()) {
        const std::string input = std::string(dir) + "/in.cna";
        if (std::FILE* f = std::fopen(input.c_str(), "w")) {
            std::fprintf(f,
                         "units metal\natom_style atomic\nboundary p p p\nread_data %s\nmass * 63.546\npair_style zero 3.086\n"
                         "pair_coeff * *\ncompute c all cna/atom 3.086\ncompute n all reduce sum c_c\n"
                         "thermo_style custom step c_n\nrun 0\n",
                         lmp.c_str());
            std::fclose(f);
        }
        const char* lmp_argv[] = {"lmp", "-in", input.c_str(), "-log", "none", "-screen", "none", nullptr};
        int lmp_code = 0;
        reference = repeated(std::max(1, runs / 2), [&] {
            run_to_end(lammps.c_str(), const_cast<char* const*>(lmp_argv), &lmp_code);
        });
        if (lmp_code != 0) {
            std::fprintf(stderr, "LAMMPS failed (exit code %d): no comparison\n", lmp_code);
            reference = Figure{};
        }
        std::remove(input.c_str());
    }

    auto line = [](const char* what, const Figure& f, const char* target) {
        std::fprintf(stderr, "%-44s %6.3f (%.3f)  %s\n", what, f.median, f.best, target);
    };
    std::fprintf(stderr, "fcc crystal, %d atoms (s, median of %d runs, fastest in brackets)\n", s.natoms, runs);
    std::fprintf(stderr, "one core's time: binning %.3f, neighbour lists %.3f, CNA and the rest %.3f\n", build.median,
                 lists.median, std::max(0.0, cna1.median - build.median - lists.median));
    line("analysis alone, adaptive CNA, every core", cna2, "target < 0.4");
    line("analysis alone, adaptive CNA, one core", cna1, "target < 0.7");
    line("analysis alone, CNA + CSP + BAA, every core", three, "target < 0.8");
    char memory[80];
    std::snprintf(memory, sizeof memory, "peak %.0f MB (target < 250 MB)", peak);
    line("quelm-batch analyse --method cna", process, memory);
    std::fprintf(stderr, "  of which reading %.3f and writing %.3f (in memory)\n", reading.median, writing.median);
    if (lammps.empty()) {
        std::fprintf(stderr, "LAMMPS (lmp) is not on the PATH: no comparison\n");
    } else if (reference.median > 0) {
        line("LAMMPS read_data + compute cna/atom", reference, "");
        std::fprintf(stderr, "%-44s %6.2f  target <= 0.30\n", "quelm-batch analyse / LAMMPS", process.median / reference.median);
    }
    std::fprintf(stderr, "atoms not fcc, CSP not 0 or BAA not fcc: %d in memory, %d in the dump%s\n", wrong, dump_wrong,
                 right ? "" : " (WRONG)");
    std::remove(lmp.c_str());
    std::remove(lmc.c_str());
    rmdir(dir);
    return right ? 0 : 1;
}
