// Times converting the engine's binary dumps of a million atoms, an
// atomic-stress file (DatAES) and a structure file (DatST), into LAMMPS
// custom dumps: the converter in a fresh process of its own, and
// `quelm-batch convert-dump` as a whole process when the program carries the
// command. Prints the time, the process's peak memory and whether the dump
// holds every atom as printf writes it.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "qb/qb_text.h"
#include "tools/dumps.h"

namespace {

constexpr int kAtoms = 1000000;

// A reproducible value for field k of record i.
uint64_t mix(uint64_t x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}
double unit(int i, int k) { return static_cast<double>(mix(static_cast<uint64_t>(i) * 16 + k) >> 11) * 0x1p-53; }

// Field values as an engine run gives them: positions in a 300 Å box,
// energies near -3.5 eV, stresses of thousands of bar.
double aes_value(int i, int k) {
    const double u = unit(i, k);
    if (k < 3) return 300.0 * u;
    if (k == 3) return -3.5 + 0.4 * (u - 0.5);
    if (k == 10) return 20000.0 * u;
    return 40000.0 * (u - 0.5);
}
double st_value(int i, int k) {  // x y z pe cna cnp
    const double u = unit(i, k);
    if (k < 3) return 300.0 * u;
    if (k == 3) return -3.5 + 0.4 * (u - 0.5);
    if (k == 4) return static_cast<double>(static_cast<int>(u * 5));
    return 12.0 * u;
}
int32_t st_colour(int i) { return static_cast<int32_t>(mix(static_cast<uint64_t>(i) * 16 + 15) & 0xffffff); }
int32_t atom_id(int i) { return i % 9 == 4 ? -(i + 1) : i + 1; }

void put_i32(unsigned char* p, int32_t v) {
    uint32_t u;
    std::memcpy(&u, &v, 4);
    for (int b = 0; b < 4; b++) p[b] = static_cast<unsigned char>(u >> (8 * b));
}
void put_f64(unsigned char* p, double v) {
    uint64_t u;
    std::memcpy(&u, &v, 8);
    for (int b = 0; b < 8; b++) p[b] = static_cast<unsigned char>(u >> (8 * b));
}

// Writes the binary dump and its header, a block of records at a time.
bool write_dump(const std::string& path, DUMP_kind kind) {
    const int size = DUMP_record_size(kind);
    std::vector<unsigned char> block(static_cast<size_t>(size) * 4096);
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = true;
    for (int start = 0; start < kAtoms && ok; start += 4096) {
        const int n = std::min(4096, kAtoms - start);
        for (int j = 0; j < n; j++) {
            const int i = start + j;
            unsigned char* r = block.data() + static_cast<size_t>(j) * size;
            std::memset(r, 0, static_cast<size_t>(size));
            put_i32(r, atom_id(i));
            put_i32(r + 4, i % 3);
            if (kind == DUMP_kind::aes) {
                for (int k = 0; k < 11; k++) put_f64(r + 8 + 8 * k, aes_value(i, k));
            } else {
                for (int k = 0; k < 4; k++) put_f64(r + 8 + 8 * k, st_value(i, k));
                put_i32(r + 40, st_colour(i));
                put_f64(r + 48, st_value(i, 4));
                put_f64(r + 56, st_value(i, 5));
            }
        }
        ok = std::fwrite(block.data(), static_cast<size_t>(size), static_cast<size_t>(n), f) == static_cast<size_t>(n);
    }
    ok = std::fclose(f) == 0 && ok;
    FILE* h = std::fopen((path + ".parm").c_str(), "w");
    if (!h) return false;
    std::fprintf(h, "natoms %d xlo 0 300 ylo 0 300 zlo 0 300 a b c 25000\n", kAtoms);
    return std::fclose(h) == 0 && ok;
}

// The line of record i as printf writes it.
std::string expected_line(DUMP_kind kind, int i) {
    const long long id = atom_id(i) < 0 ? -static_cast<long long>(atom_id(i)) : atom_id(i);
    std::string line = QB_format("%lld %d", id, i % 3 + 1);
    if (kind == DUMP_kind::aes) {
        for (int k = 0; k < 11; k++) line += QB_format(" %9.4lf", aes_value(i, k));
    } else {
        const int c = st_colour(i);
        for (int k = 0; k < 6; k++) line += QB_format(" %9.4lf", st_value(i, k));
        line += QB_format(" %9.4lf %9.4lf %9.4lf", ((c / 65536) % 256) / 255.0, ((c / 256) % 256) / 255.0,
                          (c % 256) / 255.0);
    }
    return line;
}

// The dump declares a million atoms and holds a million lines; the lines
// checked (every 997th, the first and the last) are printf's.
std::string check_dump(DUMP_kind kind, const std::string& path, bool& right) {
    std::ifstream in(path);
    std::string line;
    std::vector<std::string> head;
    for (int k = 0; k < 9 && std::getline(in, line); k++) head.push_back(line);
    right = head.size() == 9 && head[3] == std::to_string(kAtoms);
    int i = 0, wrong = 0;
    while (std::getline(in, line)) {
        if ((i % 997 == 0 || i == kAtoms - 1) && i < kAtoms && line != expected_line(kind, i)) wrong++;
        i++;
    }
    right = right && i == kAtoms && wrong == 0;
    return right ? "1000000 lines, as printf" : QB_format("%d lines, %d differ", i, wrong);
}

// Runs the converter in a child process of its own: seconds and peak MB.
double convert_in_child(DUMP_kind kind, const std::string& in, const std::string& out, double* peak_mb, int* code) {
    double peak = 0;
    const double t = timed([&] {
        const pid_t pid = fork();
        if (pid == 0) _exit(DUMP_convert(kind, in, out).status);
        int status = 0;
        struct rusage usage {};
        wait4(pid, &status, 0, &usage);
        *code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        peak = usage.ru_maxrss / 1024.0;
    });
    *peak_mb = peak;
    return t;
}

}  // namespace

int main() {
    char folder[] = "/tmp/quelm_bench_XXXXXX";
    if (!mkdtemp(folder)) return 1;
    const std::string dir = folder;
    const std::string aes = dir + "/run.DatAES", st = dir + "/run.DatST";
    const std::string aes_out = dir + "/aes.lmc", st_out = dir + "/st.lmc";
    bool ok = true;

    const double t_write = timed([&] { ok = write_dump(aes, DUMP_kind::aes) && write_dump(st, DUMP_kind::st); });
    std::printf("binary dumps of %d atoms written in %.2f s (DatAES %d MB, DatST %d MB)\n", kAtoms, t_write,
                kAtoms * DUMP_AES_RECORD / 1000000, kAtoms * DUMP_ST_RECORD / 1000000);
    if (!ok) return 1;

    struct Case {
        const char* name;
        DUMP_kind kind;
        std::string in, out;
        double target;
    };
    const std::vector<Case> cases = {{"DatAES -> custom dump", DUMP_kind::aes, aes, aes_out, 3.0},
                                     {"DatST -> custom dump", DUMP_kind::st, st, st_out, 2.5}};

    std::printf("\nconverter in a process of its own (median of 3; memory target 50 MB)\n");
    for (const Case& c : cases) {
        std::vector<double> times;
        double peak = 0, mb = 0;
        int code = 0;
        for (int run = 0; run < 3; run++) {
            times.push_back(convert_in_child(c.kind, c.in, c.out, &mb, &code));
            peak = std::max(peak, mb);
        }
        std::sort(times.begin(), times.end());
        bool right = code == 0;
        const std::string what = right ? check_dump(c.kind, c.out, right) : "failed";
        ok = ok && right;
        std::printf("%-38s %7.3f  %6.0f MB  %-24s target < %.1f s\n", c.name, times[1], peak,
                    (what + (right ? "" : " (WRONG)")).c_str(), c.target);
    }

#ifdef QUELM_BATCH
    // The whole program, once it carries the command.
    const char* probe[] = {"quelm-batch", "convert-dump", st.c_str(), "--kind", "st", "-o", st_out.c_str(), nullptr};
    int code = 0;
    std::fflush(stdout);
    run_to_end(QUELM_BATCH, const_cast<char* const*>(probe), &code);
    if (code == 0) {
        std::vector<BatchCase> batch;
        for (const Case& c : cases) {
            const DUMP_kind kind = c.kind;
            const std::string out = c.out;
            batch.push_back({std::string("quelm-batch convert-dump ") + (kind == DUMP_kind::aes ? "aes" : "st"),
                             {"convert-dump", c.in, "--kind", kind == DUMP_kind::aes ? "aes" : "st", "-o", c.out},
                             c.target,
                             [kind, out](int exit_code, bool& right) {
                                 if (exit_code != 0) return std::string("exit ") + std::to_string(exit_code);
                                 return check_dump(kind, out, right);
                             }});
        }
        std::printf("\nquelm-batch as a whole process (median of 3)\n%s",
                    time_batch_cases(QUELM_BATCH, batch, ok, 50).c_str());
    } else {
        std::printf("\nquelm-batch does not carry convert-dump yet (exit %d); whole-process figures skipped\n", code);
    }
#endif

    for (const std::string& p : {aes, st, aes + ".parm", st + ".parm", aes_out, st_out}) std::remove(p.c_str());
    rmdir(folder);
    return ok ? 0 : 1;
}
