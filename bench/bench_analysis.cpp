// Times the structure analysis of a million-atom fcc crystal: adaptive CNA
// alone over the model in memory, and `quelm-batch analyse --method cna` as a
// whole process (reading the data file, analysing, writing the custom dump).
// Every atom of the perfect crystal must come out as fcc.
#include <cstdio>
#include <string>

#include "analysis/morla_driver.h"
#include "bench_support.h"
#include "app/quelm_store.h"
#include "qb/qb_formats.h"
#include "qb/qb_lattice.h"

namespace {
// Atoms of s whose column name does not hold value.
int count_other(QB_tools* s, const char* name, double value) {
    const int slot = QB_slot_get(s, name);
    if (slot < 0) return s->natoms;
    int other = 0;
    for (int i = 0; i < s->natoms; i++) other += QB_slot_data(s, slot, i) != value;
    return other;
}
}  // namespace

int main() {
    char dir[] = "/tmp/quelm_bench_analysisXXXXXX";
    if (!mkdtemp(dir)) return 1;
    const std::string lmp = std::string(dir) + "/c.lmp", lmc = std::string(dir) + "/c.lmc";

    QB_tools s;
    QB_init(&s);
    QB_create_fcc(&s, 3.615, 1, 0, 0, 0, 1, 0, 0, 0, 1);
    QB_duplicate(&s, 63, 63, 63);
    if (QB_dump_lmp(&s, lmp.c_str()) != 1) return 1;
    std::FILE* remarks = std::freopen("/dev/null", "w", stdout);  // the run's remarks
    (void)remarks;

    QN_store_init();
    QN_analy_defaults(s.ntypes);
    QN_set_bit_int(QN_ANALY_GROUP, "A_cna_active", 1, 0);
    const double t_alone = timed([&] { QN_MORLA_compute(&s); });
    const int not_fcc = count_other(&s, "cna", 1);

    const double t_process = timed([&] {
        const char* argv[] = {"quelm-batch", "analyse", lmp.c_str(), "-o", lmc.c_str(), "--method", "cna", nullptr};
        run_to_end(QUELM_BATCH, const_cast<char* const*>(argv));
    });
    QB_tools r;
    const int read = QB_read_lmc(&r, lmc.c_str());
    const int dump_not_fcc = read == 1 ? count_other(&r, "cna", 1) : -1;

    std::fprintf(stderr, "fcc crystal, %d atoms, adaptive CNA (times in s)\n", s.natoms);
    std::fprintf(stderr, "analysis alone          %6.3f  (target < 1.2)  atoms not fcc: %d\n", t_alone, not_fcc);
    std::fprintf(stderr, "quelm-batch analyse     %6.3f  (target < 2.5)  atoms not fcc in the dump: %d\n", t_process,
                 dump_not_fcc);
    std::remove(lmp.c_str());
    std::remove(lmc.c_str());
    rmdir(dir);
    return not_fcc == 0 && dump_not_fcc == 0 ? 0 : 1;
}
