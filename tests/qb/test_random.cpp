#include <gtest/gtest.h>

#include "qb/qb_random.h"

TEST(Random, SeedOneGivesTheKnownSequence) {
    QB_random g;
    g.seed(1);
    const int expected[] = {41, 18467, 6334, 26500, 19169};
    for (int v : expected) EXPECT_EQ(g.next(), v);
}

TEST(Random, ProcessGeneratorRestartsOnReseedAndStaysIn15Bits) {
    QB_srand(1);
    const int first = QB_rand();
    EXPECT_EQ(first, 41);
    QB_srand(12345);
    int lowest = QB_RAND_MAX, highest = 0;
    for (int k = 0; k < 200000; k++) {
        const int v = QB_rand();
        lowest = std::min(lowest, v);
        highest = std::max(highest, v);
    }
    EXPECT_EQ(lowest, 0);
    EXPECT_EQ(highest, QB_RAND_MAX);
    QB_srand(1);
    EXPECT_EQ(QB_rand(), first);
}

TEST(Random, GeneratorsAreIndependent) {
    QB_random a, b;
    a.seed(7);
    b.seed(7);
    const int a1 = a.next();
    QB_srand(7);
    QB_rand();
    QB_rand();
    EXPECT_EQ(b.next(), a1);
}
