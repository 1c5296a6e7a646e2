// Times `quelm-batch build` of about a million atoms for each layer and
// nanostructure kind, as whole processes that read the crystal files and
// write the data file, and `quelm-batch scan` of copper on nickel with the
// form's defaults. Prints the median of three runs, the child's peak memory
// and the atom count written, which must be the expected one.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "qb/qb_formats.h"
#include "qb/qb_text.h"

namespace {

std::string fcc_cell(double a) {
    const double h = a / 2;
    return QB_format("fcc\n4 atoms\n1 atom types\n0 %.10f xlo xhi\n0 %.10f ylo yhi\n0 %.10f zlo zhi\n\nAtoms\n\n1 1 0 0 0\n"
                     "2 1 %.10f %.10f 0\n3 1 %.10f 0 %.10f\n4 1 0 %.10f %.10f\n",
                     a, a, a, h, h, h, h, h, h);
}

}  // namespace

int main() {
    char dir[] = "/tmp/quelm_bench_layersXXXXXX";
    if (!mkdtemp(dir)) return 1;
    const std::string base = dir, cu = base + "/cu.lmp", ni = base + "/ni.lmp", out = base + "/out.lmp",
                      table = base + "/scan.tsv";
    std::ofstream(cu) << fcc_cell(3.615);
    std::ofstream(ni) << fcc_cell(3.524);
    const std::string A = "-M_double_filea=" + cu, B = "-M_double_fileb=" + ni;
    // What a build wrote: its atom count, which must be `atoms` (0: about a million).
    auto atoms_written = [&](int atoms) {
        return [&out, atoms](int, bool& right) {
            QB_tools written;
            right = right && QB_read_lmp(&written, out.c_str()) == 1 &&
                    (atoms == 0 ? written.natoms > 900000 : written.natoms == atoms);
            return QB_format("%d atoms", written.natoms);
        };
    };
    auto matches = [&](int, bool& right) {
        std::ifstream in(table);
        int rows = -1;
        for (std::string line; std::getline(in, line);) rows++;
        right = right && rows > 0;
        return QB_format("%d matches", rows);
    };
    const std::vector<BatchCase> cases = {
        // 39 x 39 copper cells on 40 x 40 nickel cells, 80 cell layers each
        {"bilayer",
         {"build", "bilayer", A, B, "-M_double_dir=2", "-M_double_ax=39", "-M_double_ay=39", "-M_double_bx=40",
          "-M_double_by=40", "-M_double_at=285.585", "-M_double_bt=278.396", "-M_double_void=10", "-o", out},
         0.6,
         atoms_written(80 * (4 * 39 * 39 + 4 * 40 * 40))},
        // ten periods of 8 + 8 cell layers
        {"multilayer",
         {"build", "multilayer", A, B, "-M_double_dir=2", "-M_double_ax=39", "-M_double_ay=39", "-M_double_bx=40",
          "-M_double_by=40", "-M_double_at=25.305", "-M_double_bt=24.668", "-M_double_period=10", "-o", out},
         0.6,
         atoms_written(10 * 8 * (4 * 39 * 39 + 4 * 40 * 40))},
        {"nanowire (cylinder R 50, H 1500)",
         {"build", "nanowire", "-M_wire_input=" + cu, "-M_wire_dir=2", "-M_wire_r=50", "-M_wire_h=1500", "-o", out},
         0.6,
         atoms_written(0)},
        // 250 x 250 cells, 8 atomic planes
        {"nanosheet",
         {"build", "nanosheet", "-M_sheet_input=" + cu, "-M_sheet_nx=250", "-M_sheet_ny=250", "-M_sheet_z=1.8075",
          "-M_sheet_thick=14.46", "-o", out},
         0.6,
         atoms_written(250 * 250 * 2 * 8)},
        {"nanoparticle (sphere R 141.3)",
         {"build", "nanoparticle", "-M_cluster_input=" + cu, "-M_cluster_r=141.3", "-o", out},
         0.8,
         atoms_written(0)},
        {"core-shell (R 141.3, nickel core 80)",
         {"build", "coreshell", "-M_coreshell_input=" + cu, "-M_coreshell_cfile=" + ni, "-M_coreshell_cmode=1",
          "-M_coreshell_r=141.3", "-M_coreshell_core=80", "-o", out},
         0.8,
         atoms_written(0)},
        {"scan copper on nickel", {"scan", cu, ni, "-o", table}, 0.5, matches},
    };
    std::FILE* quiet = std::freopen("/dev/null", "w", stdout);  // the children's "New model detected" lines
    (void)quiet;
    bool ok = true;
    const std::string report = "quelm-batch, whole process (median of 3 runs, s), peak memory of the process\n" +
                               time_batch_cases(QUELM_BATCH, cases, ok, 300);
    std::fputs(report.c_str(), stderr);
    for (const std::string& f : {cu, ni, out, table}) std::remove(f.c_str());
    rmdir(dir);
    return ok ? 0 : 1;
}
