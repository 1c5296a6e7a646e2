// Times the polycrystal generator on a million-atom copper polycrystal
// (box 227.8 A, "random" seeds) with 20 and with 1,000 grains: generation
// alone in memory (medians of several runs), and `quelm-batch build
// polycrystal` as a whole process, the data file written. The atom count must
// match the crystal's density, and the process must write what the
// generator built.
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "builders/polycrystal.h"
#include "qb/qb_formats.h"
#include "qb/qb_text.h"

namespace {

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main() {
    char dir[] = "/tmp/quelm_bench_polyXXXXXX";
    if (!mkdtemp(dir)) return 1;
    const std::string base = dir;
    const double a = 3.615, L = 227.8;
    std::ofstream(base + "/cell.lmp") << QB_format(
        "fcc cell\n4 atoms\n1 atom types\n0 %.10f xlo xhi\n0 %.10f ylo yhi\n0 %.10f zlo zhi\n\nAtoms\n\n"
        "1 1 0 0 0\n2 1 %.10f %.10f 0\n3 1 %.10f 0 %.10f\n4 1 0 %.10f %.10f\n",
        a, a, a, a / 2, a / 2, a / 2, a / 2, a / 2, a / 2);
    std::FILE* remarks = std::freopen("/dev/null", "w", stdout);  // the generator's progress lines
    (void)remarks;

    const double expected = 4 / (a * a * a) * L * L * L;
    bool ok = true;
    std::string report = QB_format("copper polycrystal, box %.1f A, about %.0f atoms (times in s)\n", L, expected);
    for (int grains : {20, 1000}) {
        const std::string input = base + QB_format("/g%d.input", grains);
        std::ofstream(input) << QB_format("mode 3D\nbox %.1f %.1f %.1f\ncutoff 0.1\nseed 7\nrandom %d\nbuild %s/cell.lmp %d\n0 0 0\n",
                                          L, L, L, grains, base.c_str(), grains);
        QN_poly_options options;
        options.log_path = base + "/poly_log.fpl";
        std::vector<double> times;
        QB_tools model;
        std::string message;
        for (int run = 0; run < 5; run++) {
            QB_tools fresh;
            times.push_back(timed([&] { ok = ic_xyz_poly(input.c_str(), &fresh, message, options) == 1 && ok; }));
            model = std::move(fresh);
        }
        options.threads = 1;
        std::vector<double> one;
        for (int run = 0; run < 3; run++) {
            QB_tools fresh;
            one.push_back(timed([&] { ic_xyz_poly(input.c_str(), &fresh, message, options); }));
        }
        const std::string out = base + QB_format("/g%d.lmp", grains);
        std::vector<double> whole;
        for (int run = 0; run < 3; run++)
            whole.push_back(timed([&] {
                const std::string file = "-Model_Poly_file=" + input;
                const char* argv[] = {"quelm-batch", "build", "polycrystal", file.c_str(), "-o", out.c_str(), nullptr};
                run_to_end(QUELM_BATCH, const_cast<char* const*>(argv));
            }));
        QB_tools written;
        const bool same = QB_read_lmp(&written, out.c_str()) == 1 && written.natoms == model.natoms;
        const bool density = std::abs(model.natoms - expected) < 0.002 * expected;
        ok = ok && same && density;
        report += QB_format("%5d grains: %d atoms (%s), generation %.3f (one thread %.3f), quelm-batch build %.3f  %s\n",
                            grains, model.natoms, density ? "density right" : "WRONG COUNT", median(times), median(one),
                            median(whole), same ? "same model written" : "WRITTEN MODEL DIFFERS");
        std::remove(out.c_str());
        std::remove(input.c_str());
    }
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    report += QB_format("peak memory of the in-memory runs: %.0f MB\n", usage.ru_maxrss / 1024.0);
    report += "targets: generation < 0.5 s (20 grains), < 1.5 s (1000 grains); quelm-batch build < 1.2 s (20 grains)\n";
    std::fputs(report.c_str(), stderr);
    for (const char* name : {"/cell.lmp", "/poly_log.fpl"}) std::remove((base + name).c_str());
    rmdir(dir);
    return ok ? 0 : 1;
}
