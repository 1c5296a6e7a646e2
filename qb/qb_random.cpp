#include "qb/qb_random.h"

namespace {
QB_random process_generator;
}

void QB_srand(uint32_t seed) { process_generator.seed(seed); }
int QB_rand() { return process_generator.next(); }
QB_random& QB_process_random() { return process_generator; }
