#include "structure_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_structure(data, size, QB_read_lmp);
    return 0;
}
