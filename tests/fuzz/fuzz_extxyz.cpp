// The extended-XYZ reader on any bytes: whatever it accepts must survive
// our extended-XYZ writer and a second read with the same atoms and types.
#include <cstdlib>

#include "qb/qb_extxyz.h"
#include "structure_fuzz.h"

namespace {
int read_xyz(QB_tools* s, const char* path) { return QB_read_extxyz(s, path); }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_structure(data, size, read_xyz);
    // Our own writer and reader agree on what they hold.
    const std::string in = fuzz_path("xin"), out = fuzz_path("xout.xyz");
    FILE* f = std::fopen(in.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    std::FILE* saved = stdout;
    stdout = std::fopen("/dev/null", "w");
    QB_tools s;
    if (QB_read_extxyz(&s, in.c_str()) == 1 && QB_dump_extxyz(&s, out.c_str()) == 1) {
        QB_tools back;
        if (QB_read_file(&back, out.c_str()) != QB_READ_EXTXYZ) std::abort();
        int live = 0;
        for (int i = 0; i < s.natoms; i++) live += s.atoms[i].id > 0;
        if (back.natoms != live || back.channel_count != s.channel_count) std::abort();
    }
    std::fclose(stdout);
    stdout = saved;
    std::remove(in.c_str());
    std::remove(out.c_str());
    return 0;
}
