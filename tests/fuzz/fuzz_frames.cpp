// The frame index on any bytes, plain and gzipped: every frame it lists
// reads or is refused with a code, and the two scans agree.
#include <zlib.h>

#include <cstdlib>

#include "qb/qb_frames.h"
#include "structure_fuzz.h"

namespace {

void check(const std::string& path, int expect_count) {
    QB_frames frames;
    std::string reason;
    const int opened = frames.open(path, &reason);
    if (opened < 0) {
        if (reason.empty()) std::abort();
        return;
    }
    if (expect_count >= 0 && frames.count() != expect_count) std::abort();
    for (int k = 0; k < frames.count() && k < 8; k++) {
        QB_tools s;
        const int code = frames.read(k, &s, &reason);
        if (code != 3 && code != 4 && code != QB_READ_EXTXYZ && code != QB_READ_EXTXYZ_BROKEN) std::abort();
    }
    QB_tools s;
    frames.read(frames.count(), &s, &reason);  // one past the end: refused
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string plain = fuzz_path("frames"), packed = fuzz_path("frames.gz");
    FILE* f = std::fopen(plain.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    std::FILE* saved = stdout;
    stdout = std::fopen("/dev/null", "w");
    QB_frames first;
    const int count = first.open(plain) == 1 ? first.count() : -1;
    check(plain, -1);
    // The same bytes gzipped list the same frames.
    gzFile gz = gzopen(packed.c_str(), "wb1");
    if (gz) {
        if (size) gzwrite(gz, data, static_cast<unsigned>(size));
        gzclose(gz);
        const bool nested = size >= 2 && data[0] == 0x1f && data[1] == 0x8b;
        check(packed, count < 0 || nested ? -1 : count);
    }
    // Damaged gzip: the bytes themselves read as a gzip file.
    QB_tools s;
    QB_read_file(&s, plain.c_str());
    std::fclose(stdout);
    stdout = saved;
    std::remove(plain.c_str());
    std::remove(packed.c_str());
    return 0;
}
