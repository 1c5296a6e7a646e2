// The engine's command file: any bytes are read as the Nye analysis' INPAR.
// A file either reads, with every setting in range, or is refused with
// status 2 and a message naming its line; nothing else may happen.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "dislocation/kavir_nye.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::string dir;
    if (dir.empty()) {
        char pattern[] = "/tmp/quelm_fuzz_inparXXXXXX";
        if (!mkdtemp(pattern)) std::abort();
        dir = pattern;
    }
    FILE* f = std::fopen((dir + "/INPAR").c_str(), "wb");
    if (!f) std::abort();
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    CKAVIR k(nullptr, nullptr, dir);
    CNYECMD cmd(&k);
    try {
        cmd.cmd_read("INPAR");
    } catch (const KavirError& e) {
        const std::string m = e.what();
        if (e.status != KAVIR_BAD_INPAR || m.rfind("INPAR", 0) != 0) std::abort();
        return 0;
    }
    if (cmd.decimal_digit < 0 || cmd.decimal_digit > 17 || cmd.proj_axis < 0 || cmd.proj_axis > 2 ||
        cmd.proj_face < 0 || cmd.proj_face > 2 || cmd.write_datatype < 0 || cmd.write_datatype > 3)
        std::abort();
    for (double l : cmd.cut_len)
        if (!(l > 0)) std::abort();
    for (const auto& c : cmd.lattice.const_entries)
        if (!(c.second > 0)) std::abort();
    return 0;
}
