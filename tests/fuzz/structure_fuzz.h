// Shared body of the structure-file fuzz targets: the bytes become a file,
// the reader runs on it, and whatever it accepts must survive a write and a
// second read unchanged in atom count and type count.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "qb/qb_formats.h"

inline std::string fuzz_path(const char* tag) {
    return "/tmp/quelm_fuzz_" + std::to_string(getpid()) + "_" + tag;
}

inline void fuzz_structure(const uint8_t* data, size_t size, int (*reader)(QB_tools*, const char*)) {
    const std::string in = fuzz_path("in"), out = fuzz_path("out");
    FILE* f = std::fopen(in.c_str(), "wb");
    if (!f) return;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    std::FILE* saved = stdout;
    stdout = std::fopen("/dev/null", "w");  // the readers' remarks
    QB_tools s;
    const int code = reader(&s, in.c_str());
    QB_tools all;
    QB_read_file(&all, in.c_str());
    if (code == 1) {
        for (auto writer : {QB_dump_lmp, QB_dump_lmc, QB_dump_vasp_Direct, QB_dump_vasp_Cartesian}) {
            if (writer(&s, out.c_str()) != 1) continue;
            QB_tools back;
            const int again = QB_read_file(&back, out.c_str());
            int live = 0;
            for (int i = 0; i < s.natoms; i++) live += s.atoms[i].id > 0;
            const bool poscar = writer == QB_dump_vasp_Direct || writer == QB_dump_vasp_Cartesian;
            // A POSCAR needs at least one species to be read again.
            if (poscar && live == 0) continue;
            if (again % 2 != 1 || (!poscar && back.natoms != live)) std::abort();
        }
    }
    std::fclose(stdout);
    stdout = saved;
    std::remove(in.c_str());
    std::remove(out.c_str());
}
