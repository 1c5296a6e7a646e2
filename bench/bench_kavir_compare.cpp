// The analyses that compare a deformed model with its reference, on a
// 1,000,188-atom copper crystal (63^3 fcc cells) whose atoms were moved at
// random by up to 0.1 A and sheared by 1 %: each analysis alone on the
// models in memory (median of three, with the processor time), then
// `quelm-batch analyse --method sta --reference …` as a whole process.
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"
#include "dislocation/kavir_main.h"
#include "qb/qb_formats.h"
#include "qb/qb_lattice.h"
#include "qb/qb_random.h"
#include "qb/qb_text.h"

namespace {

double cpu_seconds() {
    struct rusage u {};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + 1e-6 * (u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

void put(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "w");
    std::fputs(text.c_str(), f);
    std::fclose(f);
}

}  // namespace

int main() {
    char dir[] = "/tmp/quelm_bench_compareXXXXXX";
    if (!mkdtemp(dir)) return 1;
    const std::string base = dir;
    QB_tools ref, def;
    QB_init(&ref);
    if (QB_create_fcc(&ref, 3.615, 1, 0, 0, 0, 1, 0, 0, 0, 1) != 0 || QB_duplicate(&ref, 63, 63, 63) != 1) return 1;
    QB_copy_system(&def, &ref);
    QB_random g;
    g.seed(11);
    for (atomdata& a : def.atoms) {
        a.x += 0.01 * a.y + 0.2 * (g.next() / 32767.0 - 0.5);
        a.y += 0.2 * (g.next() / 32767.0 - 0.5);
        a.z += 0.2 * (g.next() / 32767.0 - 0.5);
    }
    std::printf("model: %d atoms, box %.1f A\n", ref.natoms, ref.size[0]);
    put(base + "/CMDSETTING", "CMDSETTING\nNYE_PRINTFSTEP 1000000\n");
    bool ok = true;
    struct Case {
        const char* word;
        const char* extra;
        double target;
    };
    // Each with automatic neighbour lengths, and with the Analysis tab's
    // cut-off of 3 A (what the tab and quelm-batch analyse run).
    const Case cases[] = {{"dva", "", 0.2},
                          {"sta", "Strain\n", 1.2},
                          {"sta", "Strain\nneighbor_cutoff 1 3.0\n", 1.2},
                          {"sva", "", 1.2},
                          {"sva", "neighbor_cutoff 1 3.0\n", 1.2},
                          {"nta", "", 1.2},
                          {"nta", "neighbor_cutoff 1 3.0\n", 1.2}};
    for (const Case& c : cases) {
        put(base + "/INPAR", std::string("#") + c.word + "\nread_datafile_def none\nread_datafile_ref none\n"
                             "write_datafile donotout\n" + c.extra);
        std::vector<double> wall, cpu;
        int status = -1;
        size_t rows = 0;
        for (int run = 0; run < 3; run++) {
            KAVIR_table table;
            KAVIR_run r;
            r.dir = base;
            r.out = nullptr;
            r.err = stderr;
            r.deformed = &def;
            r.reference = &ref;
            r.table = &table;
            const double c0 = cpu_seconds();
            wall.push_back(timed([&] { status = KAVIR_main(r); }));
            cpu.push_back(cpu_seconds() - c0);
            rows = table.id.size();
        }
        std::sort(wall.begin(), wall.end());
        std::sort(cpu.begin(), cpu.end());
        const bool right = status == 0 && rows == static_cast<size_t>(def.natoms);
        ok = ok && right;
        const bool tab = std::string(c.extra).find("neighbor_cutoff") != std::string::npos;
        std::printf("%-4s alone%s %7.3f s  (%.2f s processor time)  %zu rows%s   target < %.1f s\n", c.word,
                    tab ? ", the tab's cut-off 3 A " : ", automatic lengths     ", wall[1], cpu[1], rows,
                    right ? "" : " (WRONG)", c.target);
    }
    const std::string ref_path = base + "/ref.lmp", def_path = base + "/def.lmp", out = base + "/out.lmc";
    if (QB_dump_lmp(&ref, ref_path.c_str()) != 1 || QB_dump_lmp(&def, def_path.c_str()) != 1) return 1;
    const std::vector<BatchCase> batch = {
        {"quelm-batch analyse --method sta",
         {"analyse", def_path, "-o", out, "--method", "sta", "--reference", ref_path},
         5.0,
         [&](int code, bool& right) {
             QB_tools s;
             QB_init(&s);
             right = right && code == 0 && QB_read_file(&s, out.c_str()) == 3 && s.natoms == def.natoms &&
                     QB_slot_get(&s, "ShearStrain") >= 0;
             return QB_format("%d atoms", s.natoms);
         }}};
    std::fputs(time_batch_cases(QUELM_BATCH, batch, ok).c_str(), stdout);
    std::filesystem::remove_all(base);
    std::printf("%s\n", ok ? "all results right" : "SOME RESULTS WRONG");
    return ok ? 0 : 1;
}
