#include <cstdio>

#include "app/quelm_batch_core.h"

int main(int argc, char** argv) { return QN_batch_main(argc, argv, stdout, stderr); }
