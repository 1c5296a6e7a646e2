// Times `quelm-batch build dislocation|crack|solution` on a 1,000,188-atom
// copper crystal (63^3 fcc cells) as whole processes, the crystal's data file
// read and the result written: an edge dislocation through the box's centre,
// a mode I crack to the middle, 1 % substitutional and 1 % interstitial
// solute. Prints the median of three runs and the process's peak memory, and
// checks what was written.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.h"
#include "qb/qb_formats.h"
#include "qb/qb_lattice.h"
#include "qb/qb_text.h"

int main() {
    char dir[] = "/tmp/quelm_bench_defectsXXXXXX";
    if (!mkdtemp(dir)) return 1;
    const std::string base = dir, cu = base + "/cu.lmp", out = base + "/out.lmp";
    {
        QB_tools s;
        if (QB_create_fcc(&s, 3.615, 1, 0, 0, 0, 1, 0, 0, 0, 1) != 0 || QB_duplicate(&s, 63, 63, 63) != 1 ||
            QB_dump_lmp(&s, cu.c_str()) != 1)
            return 1;
    }
    const int n = 1000188;
    // What a build wrote: `atoms` atoms, `solutes` of them of type 2.
    auto written = [&out](int atoms, int solutes) {
        return [&out, atoms, solutes](int, bool& right) {
            QB_tools s;
            right = right && QB_read_lmp(&s, out.c_str()) == 1 && s.natoms == atoms;
            const long two = std::count_if(s.atoms.begin(), s.atoms.end(), [](const atomdata& a) { return a.type == 2; });
            right = right && two == solutes;
            return QB_format("%d atoms, %ld solute", s.natoms, two);
        };
    };
    const std::vector<BatchCase> cases = {
        {"edge dislocation through the centre",
         {"build", "dislocation", "-M_dislocation_input=" + cu, "-M_dislocation_mode=1", "-M_dislocation_cu=1",
          "-M_dislocation_cx=0.5", "-M_dislocation_cy=0.5", "-M_dislocation_cz=0.5", "-M_dislocation_dx=0",
          "-M_dislocation_dz=1", "-M_dislocation_bx=1", "-M_dislocation_by=0", "-M_dislocation_bl=2.556",
          "-M_dislocation_miu=0.3", "-o", out},
         0.6,
         written(n, 0)},
        {"mode I crack to the middle",
         {"build", "crack", "-M_crack_input=" + cu, "-M_crack_dirp=1", "-M_crack_lenth=113.9", "-M_crack_g=48",
          "-M_crack_nu=0.34", "-M_crack_KI=1", "-o", out},
         0.6,
         written(n, 0)},
        {"substitution c = 0.01",
         {"build", "solution", "-M_solute_input=" + cu, "-M_solute_cont=0.01", "-o", out},
         0.6,
         written(n, 10001)},
        {"interstitials c = 0.01",
         {"build", "solution", "-M_solute_input=" + cu, "-M_solute_mode=1", "-M_solute_cont=0.01", "-o", out},
         1.2,
         written(n + 10001, 10001)},
    };
    std::FILE* quiet = std::freopen("/dev/null", "w", stdout);  // the children's "New model detected" lines
    (void)quiet;
    bool ok = true;
    const std::string report = "quelm-batch on 1,000,188 copper atoms, whole process (median of 3 runs, s), peak memory\n" +
                               time_batch_cases(QUELM_BATCH, cases, ok);
    std::fputs(report.c_str(), stderr);
    for (const std::string& f : {cu, out}) std::remove(f.c_str());
    rmdir(dir);
    return ok ? 0 : 1;
}
