// The Nye-tensor analysis on a 1,000,800-atom copper column holding a screw
// dislocation along [1 -1 0]: the analysis alone (model in memory, no file),
// then `quelm-batch kavir` as a whole process (dump read, result written),
// median of three runs with the process's peak memory; then 5,000,040 atoms
// run to the end. Checks that the core carries the Burgers vector.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>

#include "../tests/dislocation/crystal_maker.h"
#include "bench_support.h"
#include "dislocation/kavir_main.h"
#include "qb/qb_formats.h"
#include "qb/qb_text.h"
#include "qb/qb_tools.h"

namespace {

// Processor time of this process (all its threads) so far.
double cpu_seconds() {
    struct rusage u {};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + 1e-6 * (u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

TestCrystal screw(int nx, int ny, int nz) {
    const auto p = cu_screw_periods();
    const int rep[3] = {nx, ny, nz};
    const double period[3] = {p[0], p[1], p[2]};
    TestCrystal c = make_crystal("fcc", kCu, cu_screw_orient(), period, rep);
    add_screw(c, kCu / std::sqrt(2.0), nx / 2 * p[0] + 0.31, ny / 2 * p[1] + 0.17);
    return c;
}

std::string inpar_text(const std::string& dump, const std::string& out) {
    return "nye\nread_datafile_def " + dump + "\nwrite_datafile " + out +
           "\nboundary s s p\nlattice_orient 1\n 1 1 -2\n 1 1 1\n 1 -1 0\n";
}

void put(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "w");
    std::fputs(text.c_str(), f);
    std::fclose(f);
}

// Atoms with a Nye tensor above 0.02 / A in a result file.
long dislocated(const std::string& path, long& atoms) {
    QB_tools s;
    QB_init(&s);
    atoms = QB_read_file(&s, path.c_str()) == 3 ? s.natoms : -1;
    const int slot = QB_slot_get(&s, "s1");
    long n = 0;
    for (int i = 0; slot >= 0 && i < s.natoms; i++) n += QB_slot_data(&s, slot, i) > 0.02;
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    const bool skip_large = argc > 1 && std::string(argv[1]) == "--no-5m";
    char dir[] = "/tmp/quelm_bench_kavirXXXXXX";
    if (!mkdtemp(dir)) return 1;
    const std::string base = dir;
    bool ok = true;
    // Progress every million atoms, not every ten thousand.
    put(base + "/CMDSETTING", "CMDSETTING\nNYE_PRINTFSTEP 1000000\n");

    const TestCrystal c = screw(40, 30, 139);
    std::printf("model: %zu atoms, Volterra screw along [1 -1 0], box %.1f x %.1f x %.1f A\n", c.size(), c.hi[0], c.hi[1],
                c.hi[2]);
    // The analysis alone: the model in memory, the result kept in memory.
    {
        QB_tools model;
        QB_init(&model);
        model.atoms.resize(c.size());
        for (size_t i = 0; i < c.size(); i++) model.atoms[i] = {c.id[i], 1, c.pos[3 * i], c.pos[3 * i + 1], c.pos[3 * i + 2], 0};
        model.natoms = static_cast<int>(c.size());
        model.ntypes = 1;
        for (int d = 0; d < 3; d++) model.size[d] = model.cell[d][d] = c.hi[d];
        put(base + "/INPAR", inpar_text("none", "donotout"));
        std::vector<double> times, cpu;
        long core = 0;
        for (int run = 0; run < 3; run++) {
            KAVIR_table table;
            KAVIR_run r;
            r.dir = base;
            r.out = nullptr;
            r.err = stderr;
            r.deformed = &model;
            r.table = &table;
            int status = -1;
            const double cpu0 = cpu_seconds();
            times.push_back(timed([&] { status = KAVIR_main(r); }));
            cpu.push_back(cpu_seconds() - cpu0);
            ok = ok && status == 0;
            core = 0;
            const size_t w = table.columns.size();
            for (size_t i = 0; i < table.id.size(); i++) core += table.values[i * w + 4] > 0.02;
        }
        std::sort(times.begin(), times.end());
        std::sort(cpu.begin(), cpu.end());
        std::printf("%-38s %7.3f s  (%.2f s processor time)  %ld atoms with s1 > 0.02   target < 1.5 s\n",
                    "NYE analysis, model in memory", times[1], cpu[1], core);
        ok = ok && core > 100 && core < 2000;
    }
    // The whole process.
    const std::string dump = base + "/screw.dump", out = base + "/nye.lmp";
    write_dump(c, dump, "ss ss pp");
    put(base + "/INPAR", inpar_text(dump, out));
    const char* batch = QUELM_BATCH;
    const std::vector<BatchCase> cases = {
        {"quelm-batch kavir, 1,000,800 atoms", {"kavir", "--dir", base}, 5.0, [&](int code, bool& right) {
             long atoms = 0;
             const long core = dislocated(out, atoms);
             right = right && code == 0 && atoms == static_cast<long>(c.size()) && core > 100 && core < 2000;
             return QB_format("%ld atoms, %ld dislocated", atoms, core);
         }}};
    std::fputs(time_batch_cases(batch, cases, ok, 1000).c_str(), stdout);

    if (!skip_large) {
        const TestCrystal big = screw(90, 67, 138);
        write_dump(big, dump, "ss ss pp");
        std::vector<const char*> args{"quelm-batch", "kavir", "--dir", base.c_str(), nullptr};
        int code = -1;
        double peak = 0;
        const double t = timed([&] { peak = run_to_end(batch, const_cast<char* const*>(args.data()), &code); });
        long atoms = 0;
        const long core = dislocated(out, atoms);
        std::printf("%-38s %7.3f s  %6.0f MB  %ld atoms, %ld dislocated, exit %d\n", "quelm-batch kavir, large model", t, peak,
                    atoms, core, code);
        ok = ok && code == 0 && atoms == static_cast<long>(big.size());
    }
    std::filesystem::remove_all(base);
    std::printf("%s\n", ok ? "all results right" : "SOME RESULTS WRONG");
    return ok ? 0 : 1;
}
