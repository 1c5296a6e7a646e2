// Times the everyday measurements on a million-atom copper crystal (1,000,188
// atoms, thermal noise of up to 0.1 Å so that no Voronoi vertex is
// degenerate): quelm-batch analyse as a whole process (reading the data
// file, measuring, writing the result: the RDF's table, or the dump with the
// per-atom column) with its peak memory, next to LAMMPS reading the same file
// and writing the same result (fix ave/time of compute rdf, a dump of
// coord/atom, orientorder/atom or voronoi/atom) when `lmp` is on the PATH.
//
//   build/bench/bench_measure [--runs N] [--only rdf,coordination,...]
//
// Times are medians of N runs (3 by default); LAMMPS runs once per method.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_support.h"
#include "qb/qb_formats.h"
#include "qb/qb_lattice.h"
#include "qb/qb_random.h"
#include "qb/qb_tools.h"

namespace {


struct Method {
    const char* name;
    std::vector<std::string> extra;  // quelm-batch options
    const char* lammps;              // the compute and its output, after read_data
};

}  // namespace

int main(int argc, char** argv) {
    int runs = 3;
    std::string only;
    for (int k = 1; k + 1 < argc; k++) {
        if (std::strcmp(argv[k], "--runs") == 0) runs = std::max(1, std::atoi(argv[k + 1]));
        if (std::strcmp(argv[k], "--only") == 0) only = argv[k + 1];
    }
    char dir[] = "/tmp/quelm_bench_measureXXXXXX";
    if (!mkdtemp(dir)) return 1;
    const std::string data = std::string(dir) + "/c.lmp", out = std::string(dir) + "/out";
    QB_tools s;
    QB_create_fcc(&s, 3.615, 1, 0, 0, 0, 1, 0, 0, 0, 1);
    QB_duplicate(&s, 63, 63, 63);
    QB_random g;
    g.seed(2026);
    auto noise = [&g] { return 0.1 * (2.0 * g.next() / QB_RAND_MAX - 1.0); };
    for (atomdata& a : s.atoms) {
        a.x += noise();
        a.y += noise();
        a.z += noise();
    }
    for (int i = 0; i < s.natoms; i++) QB_wrap(&s, i);
    if (QB_dump_lmp(&s, data.c_str()) != 1) return 1;
    std::printf("fcc copper with noise, %d atoms (median of %d runs)\n", s.natoms, runs);

    const std::string table = out + ".tsv", dump = out + ".lmc";
    const std::vector<Method> methods = {
        {"rdf", {"--table", table, "-E_rdf_cut=8", "-E_rdf_bins=200"},
         "pair_style zero 8.0\npair_coeff * *\ncompute r all rdf 200 cutoff 8.0\n"
         "fix r all ave/time 1 1 1 c_r[*] file OUT.rdf mode vector\nrun 0\n"},
        {"coordination", {"-o", dump, "-E_coord_cut=3"},
         "pair_style zero 3.0\npair_coeff * *\ncompute c all coord/atom cutoff 3.0\n"
         "dump d all custom 1 OUT.dump id c_c\nrun 0\n"},
        {"steinhardt", {"-o", dump, "-E_q_degrees=6"},
         "pair_style zero 3.2\npair_coeff * *\ncompute q all orientorder/atom degrees 1 6 nnn 12 cutoff 3.2\n"
         "dump d all custom 1 OUT.dump id c_q[1]\nrun 0\n"},
        {"voronoi", {"-o", dump},
         "pair_style zero 3.0\npair_coeff * *\ncompute v all voronoi/atom\n"
         "dump d all custom 1 OUT.dump id c_v[1] c_v[2]\nrun 0\n"},
    };
    const std::string lammps = on_path("lmp");
    bool ok = true;
    for (const Method& m : methods) {
        if (!only.empty() && only.find(m.name) == std::string::npos) continue;
        std::vector<std::string> args = {"analyse", data, "--method", m.name};
        args.insert(args.end(), m.extra.begin(), m.extra.end());
        std::vector<const char*> argv_batch{"quelm-batch"};
        for (const std::string& a : args) argv_batch.push_back(a.c_str());
        argv_batch.push_back(nullptr);
        std::vector<double> times;
        double peak = 0;
        int code = 0;
        for (int r = 0; r < runs; r++)
            times.push_back(timed([&] {
                peak = std::max(peak, run_to_end(QUELM_BATCH, const_cast<char* const*>(argv_batch.data()), &code));
            }));
        std::sort(times.begin(), times.end());
        const double ours = times[times.size() / 2];
        ok = ok && code == 0;
        std::printf("%-13s quelm-batch %7.2f s  %5.0f MB%s", m.name, ours, peak, code == 0 ? "" : "  (FAILED)");
        if (lammps.empty()) {
            std::printf("   (no lmp on the PATH)\n");
            continue;
        }
        std::string script = std::string("units metal\natom_style atomic\nboundary p p p\nread_data ") + data +
                             "\nmass * 63.546\nneighbor 0.3 bin\n" + m.lammps;
        for (size_t at; (at = script.find("OUT")) != std::string::npos;) script.replace(at, 3, out);
        const std::string input = std::string(dir) + "/in.bench";
        if (std::FILE* f = std::fopen(input.c_str(), "w")) {
            std::fputs(script.c_str(), f);
            std::fclose(f);
        }
        const char* lmp_argv[] = {"lmp", "-in", input.c_str(), "-log", "none", "-screen", "none", nullptr};
        int lmp_code = 0;
        double lmp_peak = 0;
        const double theirs = timed([&] { lmp_peak = run_to_end(lammps.c_str(), const_cast<char* const*>(lmp_argv), &lmp_code); });
        if (lmp_code != 0)
            std::printf("   LAMMPS failed (exit code %d)\n", lmp_code);
        else
            std::printf("   LAMMPS %7.2f s  %5.0f MB   ratio %.2f (target <= 0.20)\n", theirs, lmp_peak, ours / theirs);
        std::fflush(stdout);
    }
    for (const char* f : {"c.lmp", "out.tsv", "out.lmc", "out.rdf", "out.dump", "in.bench"})
        std::remove((std::string(dir) + "/" + f).c_str());
    rmdir(dir);
    return ok ? 0 : 1;
}
