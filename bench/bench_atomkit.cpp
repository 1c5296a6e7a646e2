// Times Atomkit on the 1,000,188-atom fcc crystal: `quelm-batch atomkit`
// with a five-step recipe as a whole process (reading, running, writing),
// Sort alone, Remove Duplicate on the crystal filled onto a copy of itself
// shifted by 0.1 A (the copy must go, exactly), and a Delete in a
// 144-face polyhedron region.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "atomkit/atomkit.h"
#include "bench_support.h"
#include "qb/qb_formats.h"
#include "qb/qb_lattice.h"
#include "qb/qb_text.h"

namespace {

// Runs a recipe on base in memory; the time of the run alone.
double run(const std::string& recipe, const QB_tools& base, QB_tools& out, bool& ok) {
    std::string message;
    ok = AK_load_text(recipe, "bench", message) == 1;
    std::vector<AK_step_report> report;
    const double t = timed([&] { ok = AK_run(base, &out, 0, report, message) == 0 && ok; });
    return t;
}

}  // namespace

int main() {
    char dir[] = "/tmp/quelm_bench_atomkitXXXXXX";
    if (!mkdtemp(dir)) return 1;
    const std::string base_path = std::string(dir) + "/cu.lmp", recipe_path = std::string(dir) + "/r.txt",
                      out_path = std::string(dir) + "/out.lmp";
    QB_tools s;
    QB_init(&s);
    QB_create_fcc(&s, 3.615, 1, 0, 0, 0, 1, 0, 0, 0, 1);
    QB_duplicate(&s, 63, 63, 63);
    if (QB_dump_lmp(&s, base_path.c_str()) != 1) return 1;
    std::FILE* remarks = std::freopen("/dev/null", "w", stdout);  // the readers' remarks
    (void)remarks;
    const double c = s.size[0] / 2;
    const std::string five = QB_format(
        "#Quelm_atomkit_save\n#region_sphere Void %f %f %f 30.000000\n#step_delete Void\n"
        "#step_rotate ALL %f %f %f 0.000000 0.000000 1.000000 15.000000 0\n#step_tensile 0 0.020000 2\n"
        "#step_changetype ALL 2 0.100000 7\n#step_wrap\n#END\n",
        c, c, c, c, c, c);
    std::ofstream(recipe_path) << five;
    std::vector<double> whole;
    for (int k = 0; k < 3; k++)
        whole.push_back(timed([&] {
            const char* argv[] = {"quelm-batch", "atomkit", base_path.c_str(), recipe_path.c_str(), "-o", out_path.c_str(), nullptr};
            run_to_end(QUELM_BATCH, const_cast<char* const*>(argv));
        }));
    QB_tools written;
    bool ok = QB_read_lmp(&written, out_path.c_str()) == 1;
    int type2 = 0;
    for (const auto& a : written.atoms) type2 += a.type == 2;
    const int expected_left = s.natoms - written.natoms;  // the void
    ok = ok && expected_left > 0 && type2 == written.natoms / 10;

    bool sort_ok, dup_ok, poly_ok;
    QB_tools out;
    const double t_sort = run("#Quelm_atomkit_save\n#step_sort z 1\n#END\n", s, out, sort_ok);
    for (int i = 1; i < out.natoms && sort_ok; i++) sort_ok = out.atoms[i - 1].z <= out.atoms[i].z;

    QB_tools doubled = s, shifted = s;
    QB_move_box(&shifted, 0.1, 0, 0);
    QB_combine_system(&doubled, &shifted);
    for (auto& a : doubled.atoms) a.type = 1;
    doubled.ntypes = 1;
    const double t_dup = run("#Quelm_atomkit_save\n#step_separate ALL 0.500000\n#END\n", doubled, out, dup_ok);
    const int left = out.natoms;
    dup_ok = dup_ok && left == s.natoms;

    const std::string poly = QB_format(
        "#Quelm_atomkit_save\n#region_polyhedron P 1 2 %f %f %f 1.000000 2.000000 3.000000 1.000000 1.000000 0.000000 "
        "3.000000 1.000000 1.000000 80.000000 75.000000 82.000000\n#step_delete P\n#END\n",
        c, c, c);
    const double t_poly = run(poly, s, out, poly_ok);
    poly_ok = poly_ok && out.natoms < s.natoms && out.natoms > 0;

    std::fprintf(stderr, "fcc crystal, %d atoms (times in s)\n", s.natoms);
    std::fprintf(stderr, "quelm-batch atomkit, 5 steps (delete in a sphere, rotate, tensile, substitute 10%%, wrap): "
                         "%.3f %.3f %.3f  %s (target < 1.0)\n",
                 whole[0], whole[1], whole[2], ok ? "result right" : "WRONG RESULT");
    std::fprintf(stderr, "sort by z: %.3f  %s (target < 0.3)\n", t_sort, sort_ok ? "sorted" : "NOT SORTED");
    std::fprintf(stderr, "remove duplicate, 2,000,376 atoms 0.1 A apart in pairs: %.3f  %d left %s (target < 1.5)\n", t_dup,
                 left, dup_ok ? "right" : "WRONG");
    std::fprintf(stderr, "delete in a 144-face polyhedron: %.3f  %s (target < 0.5)\n", t_poly, poly_ok ? "ok" : "WRONG");
    for (const auto& p : {base_path, recipe_path, out_path}) std::remove(p.c_str());
    rmdir(dir);
    return ok && sort_ok && dup_ok && poly_ok ? 0 : 1;
}
