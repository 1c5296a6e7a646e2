#include "qb/qb_random.h"

namespace {
QB_random process_generator;
}

void QB_srand(uint32_t seed) { process_generator.seed(seed); }
int QB_rand() { return process_generator.next(); }
QB_random& QB_process_random() { return process_generator; }

int64_t QB_random_below(QB_random& g, int64_t n) {
    if (n <= 1) return 0;
    const int bits = n <= (int64_t{1} << 30) ? 30 : 45;
    const int64_t range = int64_t{1} << bits;
    const int64_t limit = range - range % n;
    for (;;) {
        int64_t v = 0;
        for (int k = 0; k < bits / 15; k++) v = (v << 15) | g.next();
        if (v < limit) return v % n;
    }
}
