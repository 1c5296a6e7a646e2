// Times `quelm-batch convert-potential` of a two-element eam/fs file with
// 10,000 points per table (Nrho = Nr = 10000) as a whole process, and the
// re-mapping of its .quelm file to three model types; checks a value read
// back.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"
#include "qb/qb_text.h"
#include "tools/potentials.h"

int main() {
    char dir[] = "/tmp/quelm_bench_potentialsXXXXXX";
    if (!mkdtemp(dir)) return 1;
    const std::string base = dir, fs = base + "/big.eam.fs", quelm = base + "/big.quelm", mapped = base + "/mapped.quelm";
    const int n = 10000;
    const double drho = 0.005, dr = 0.0006;
    {
        // Smooth tables written five numbers a line, as setfl files are.
        std::string text = "bench\npotential\nfile\n2 Cu Ni\n";
        text += QB_format("%d %.16e %d %.16e %.16e\n", n, drho, n, dr, n * dr);
        int column = 0;
        auto put = [&](double v) {
            text += QB_format("%.16e", v);
            text += ++column % 5 == 0 ? "\n" : " ";
        };
        for (int e = 0; e < 2; e++) {
            text += QB_format("%d 63.546 3.615 fcc\n", 29 - e);
            for (int k = 0; k < n; k++) put(-std::sqrt(k * drho) * (1 + 0.1 * e));
            for (int j = 0; j < 2; j++)
                for (int k = 0; k < n; k++) put(std::exp(-k * dr) * (1 + 0.01 * (e + 2 * j)));
        }
        for (int i = 0; i < 2; i++)
            for (int j = 0; j <= i; j++)
                for (int k = 0; k < n; k++) put((k * dr) * std::exp(-2 * k * dr) * (1 + 0.1 * (i + j)));
        FILE* f = std::fopen(fs.c_str(), "w");
        std::fputs(text.c_str(), f);
        std::fclose(f);
    }
    bool ok = true;
    const std::vector<BatchCase> cases = {
        {"convert-potential, eam/fs 10,000 points",
         {"convert-potential", fs, "-o", quelm, "--format", "fs"},
         0.5,
         [&](int code, bool& right) {
             QT_quelm pot;
             std::string message;
             right = right && code == 0 && QT_read_quelm(quelm, pot, message) && pot.n == 2 &&
                     pot.embedding[1].x.size() == static_cast<size_t>(n);
             return QB_format("%d elements", pot.n);
         }},
        {"remap-potential to 3 types",
         {"remap-potential", quelm, "-o", mapped, "--map", "2,1,2"},
         0.5,
         [&](int code, bool& right) {
             QT_quelm pot;
             std::string message;
             right = right && code == 0 && QT_read_quelm(mapped, pot, message) && pot.n == 3;
             return QB_format("%d types", pot.n);
         }}};
    std::fputs(time_batch_cases(QUELM_BATCH, cases, ok).c_str(), stdout);
    std::filesystem::remove_all(base);
    std::printf("%s\n", ok ? "all results right" : "SOME RESULTS WRONG");
    return ok ? 0 : 1;
}
