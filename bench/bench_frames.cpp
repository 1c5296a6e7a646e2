// Multi-frame dumps and gzipped files: writes a 100-frame custom dump of
// 100,000 atoms (about 1 GB), times opening it up to the first frame read
// (the frame index built and frame 1 read; target 1 s) and stepping to
// frame 50 (target 0.3 s); writes a 1,000,000-atom data file plain and
// gzipped and compares their read times (target: gzipped under 3 times the
// plain). The big files go to /tmp or the folder given, and are deleted.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.h"
#include "qb/qb_formats.h"
#include "qb/qb_frames.h"

namespace {

constexpr int kFrames = 100;
constexpr int kAtoms = 100000;

// A thermalised-looking crystal: fcc positions moved a little per frame.
bool write_dump(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return false;
    std::vector<char> buf(1 << 24);
    const int cells = static_cast<int>(std::ceil(std::cbrt(kAtoms / 4.0)));
    const double a = 3.615, L = cells * a;
    const double basis[4][3] = {{0, 0, 0}, {0.5, 0.5, 0}, {0.5, 0, 0.5}, {0, 0.5, 0.5}};
    for (int frame = 0; frame < kFrames; frame++) {
        char* p = buf.data();
        p += std::snprintf(p, 512,
                           "ITEM: TIMESTEP\n%d\nITEM: NUMBER OF ATOMS\n%d\nITEM: BOX BOUNDS pp pp pp\n"
                           "0 %.12g\n0 %.12g\n0 %.12g\nITEM: ATOMS id type x y z vx vy vz\n",
                           frame * 100, kAtoms, L, L, L);
        for (int i = 0; i < kAtoms; i++) {
            const int c = i / 4, b = i % 4;
            const int cx = c % cells, cy = (c / cells) % cells, cz = c / (cells * cells);
            const double phase = 0.37 * i + 0.11 * frame;
            const double v[6] = {(cx + basis[b][0]) * a + 0.05 * std::sin(phase),
                                 (cy + basis[b][1]) * a + 0.05 * std::cos(1.3 * phase),
                                 (cz + basis[b][2]) * a + 0.05 * std::sin(0.7 * phase),
                                 3.1 * std::cos(phase), -2.7 * std::sin(1.1 * phase), 1.9 * std::cos(0.9 * phase)};
            p = std::to_chars(p, p + 16, i + 1).ptr;
            *p++ = ' ';
            *p++ = i % 3 == 0 ? '2' : '1';
            for (double x : v) {
                *p++ = ' ';
                p = std::to_chars(p, p + 32, x, std::chars_format::general, 12).ptr;
            }
            *p++ = '\n';
        }
        if (std::fwrite(buf.data(), 1, static_cast<size_t>(p - buf.data()), f) != static_cast<size_t>(p - buf.data())) {
            std::fclose(f);
            return false;
        }
    }
    return std::fclose(f) == 0;
}

double file_mb(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return 0;
    std::fseek(f, 0, SEEK_END);
    const double mb = std::ftell(f) / 1e6;
    std::fclose(f);
    return mb;
}

double peak_mb() {
    struct rusage u {};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss / 1024.0;
}

// Drops the file's pages from the page cache: the next read comes from disk.
void drop_cache(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return;
    fdatasync(fd);
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : "/tmp";
    const std::string dump = dir + "/quelm_bench_frames.dump";
    const std::string data = dir + "/quelm_bench_frames.lmp";
    const std::string packed = data + ".gz";
    std::FILE* saved = stdout;
    bool ok = true;

    const double write_time = timed([&] { ok = write_dump(dump) && ok; });
    std::printf("wrote %d frames of %d atoms: %.0f MB in %.1f s\n", kFrames, kAtoms, file_mb(dump), write_time);

    for (const bool cold : {false, true}) {
        if (cold) drop_cache(dump);
        QB_frames frames;
        QB_tools s;
        int code = 0;
        stdout = std::fopen("/dev/null", "w");
        const double open_time = timed([&] {
            if (frames.open(dump) == 1) code = frames.read(0, &s);
        });
        QB_tools t;
        int code50 = 0;
        const double step_time = timed([&] { code50 = frames.read(49, &t); });
        std::fclose(stdout);
        stdout = saved;
        const bool right = code == 3 && code50 == 3 && frames.count() == kFrames && s.natoms == kAtoms &&
                           t.natoms == kAtoms && frames.timestep(49) == 4900 && t.channel_count == 3;
        ok = ok && right;
        std::printf("%s: open to first frame %.3f s (target 1 s), step to frame 50 %.3f s (target 0.3 s)%s\n",
                    cold ? "from disk (page cache dropped)" : "file in the page cache", open_time, step_time,
                    right ? "" : "  WRONG");
    }
    std::printf("peak memory of the process %.0f MB (one frame about %.0f MB of atoms and columns)\n", peak_mb(),
                kAtoms * (sizeof(atomdata) + 3 * sizeof(double)) / 1e6);
    std::remove(dump.c_str());

    // A million atoms as a data file, plain and gzipped.
    {
        QB_tools m;
        const int n = 63;
        const double a = 3.615;
        const double basis[4][3] = {{0, 0, 0}, {0.5, 0.5, 0}, {0.5, 0, 0.5}, {0, 0.5, 0.5}};
        for (int x = 0; x < n; x++)
            for (int y = 0; y < n; y++)
                for (int z = 0; z < n; z++)
                    for (const auto& b : basis) QB_create_atom(&m, 1, (x + b[0]) * a, (y + b[1]) * a, (z + b[2]) * a);
        m.ntypes = 1;
        for (int d = 0; d < 3; d++) m.size[d] = n * a;
        double plain_write = timed([&] { ok = QB_dump_lmp(&m, data.c_str()) == 1 && ok; });
        double gz_write = timed([&] { ok = QB_dump_lmp(&m, packed.c_str()) == 1 && ok; });
        std::printf("data file of %d atoms: %.0f MB plain (written in %.2f s), %.0f MB gzipped (written in %.2f s)\n",
                    m.natoms, file_mb(data), plain_write, file_mb(packed), gz_write);
        double best[2] = {1e9, 1e9};
        for (int round = 0; round < 3; round++)
            for (int k = 0; k < 2; k++) {
                QB_tools r;
                int code = 0;
                stdout = std::fopen("/dev/null", "w");
                const double t = timed([&] { code = QB_read_file(&r, (k ? packed : data).c_str()); });
                std::fclose(stdout);
                stdout = saved;
                ok = ok && code == 1 && r.natoms == m.natoms;
                best[k] = std::min(best[k], t);
            }
        std::printf("read: plain %.3f s, gzipped %.3f s, ratio %.2f (target below 3)\n", best[0], best[1],
                    best[1] / best[0]);
    }
    std::remove(data.c_str());
    std::remove(packed.c_str());
    std::printf("%s\n", ok ? "all results right" : "SOME RESULTS WRONG");
    return ok ? 0 : 1;
}
