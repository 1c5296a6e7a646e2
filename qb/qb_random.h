// The program's one random generator: a 15-bit linear congruential generator
// (values 0 ... QB_RAND_MAX), so that a seed gives the same model on every
// platform. Forms with a "Seed" call QB_srand with it.
#pragma once

#include <cstdint>

constexpr int QB_RAND_MAX = 32767;

struct QB_random {
    uint32_t state = 1;
    void seed(uint32_t s) { state = s; }
    // x <- 214013 x + 2531011 (mod 2^32); the value is bits 16 ... 30 of x.
    int next() {
        state = state * 214013u + 2531011u;
        return static_cast<int>((state >> 16) & 0x7FFFu);
    }
};

// The process-wide generator (seed 1 until QB_srand is called).
void QB_srand(uint32_t seed);
int QB_rand();
QB_random& QB_process_random();

// A draw uniform over 0 ... n - 1 (n from 1 to 2^45): two or three 15-bit
// values of g joined into one number, redrawn while it falls in the
// incomplete top stretch, so every value is reachable and none is favoured.
int64_t QB_random_below(QB_random& g, int64_t n);
