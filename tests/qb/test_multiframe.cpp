// Files as LAMMPS and ASE users have them: a custom dump of three frames
// written by LAMMPS (stepped frame by frame, plain and gzipped, against the
// positions LAMMPS wrote a second time as an XYZ dump), gzipped structure
// files read and written, and extended XYZ written by ASE and by us. The
// fixtures come from oracle/make_frame_fixtures.py.
#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <cmath>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "frames_reference.h"
#include "qb/qb_extxyz.h"
#include "qb/qb_formats.h"
#include "qb/qb_frames.h"
#include "qb/qb_gzip.h"
#include "qb/qb_lattice.h"
#include "qb/qb_progress.h"
#include "store/quelm_model_io.h"
#include "test_support.h"

namespace {

const std::string kFrames = std::string(QUELM_TEST_DATA) + "/qb/fixtures/frames/";
const std::string kFormats = std::string(QUELM_TEST_DATA) + "/qb/fixtures/formats/";

std::vector<std::map<int, std::array<double, 3>>> lammps_reference() {
    return ::lammps_reference(kFrames + "cu_run_ref.xyz");
}

void write_bytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string gzip_bytes(const std::string& text) {
    uLongf size = compressBound(static_cast<uLong>(text.size())) + 32;
    std::string out(size, '\0');
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

class Frames : public QuietStdoutTest {
protected:
    std::string path(const std::string& name) const { return scratch_.path(name); }
    ScratchDir scratch_;
};

}  // namespace

// The LAMMPS run stepped frame by frame: every position equals LAMMPS' own,
// and each frame keeps its own velocity column.
TEST_F(Frames, LammpsDumpSteppedFrameByFrame) {
    const auto reference = lammps_reference();
    ASSERT_EQ(reference.size(), 3u);
    const double first_vx[3] = {6.80915359291, 5.8839849257, 3.10253365323};  // atom 1 in the dump
    for (const char* file : {"cu_run.dump", "cu_run.dump.gz"}) {
        SCOPED_TRACE(file);
        QB_frames frames;
        std::string reason;
        ASSERT_EQ(frames.open(kFrames + file, &reason), 1) << reason;
        EXPECT_EQ(frames.gzipped(), std::string(file).find(".gz") != std::string::npos);
        EXPECT_TRUE(frames.remark().empty());
        ASSERT_EQ(frames.count(), 3);
        for (int k = 0; k < 3; k++) {
            SCOPED_TRACE(k);
            EXPECT_EQ(frames.timestep(k), 10 * k);
            QB_tools s;
            ASSERT_EQ(frames.read(k, &s, &reason), 3) << reason;
            ASSERT_EQ(s.natoms, 108);
            EXPECT_EQ(s.ntypes, 1);
            EXPECT_DOUBLE_EQ(s.size[0], 10.845);
            ASSERT_EQ(s.channel_count, 1);
            EXPECT_EQ(s.channel_names[0], "vx");
            for (int i = 0; i < s.natoms; i++) {
                const atomdata& a = s.atoms[i];
                const auto& p = reference[static_cast<size_t>(k)].at(a.id);
                ASSERT_EQ(a.x, p[0]) << a.id;
                ASSERT_EQ(a.y, p[1]) << a.id;
                ASSERT_EQ(a.z, p[2]) << a.id;
                if (a.id == 1) {
                    EXPECT_EQ(s.channel_data[0][static_cast<size_t>(i)], first_vx[k]);
                }
            }
        }
        // Beyond the last frame: refused with the reason.
        QB_tools s;
        EXPECT_EQ(frames.read(3, &s, &reason), QB_READ_UNREADABLE);
        EXPECT_NE(reason.find("has 3 frames, not 4"), std::string::npos) << reason;
        // The whole-file reader reads the first frame, gzipped or not.
        EXPECT_EQ(QB_read_file(&s, (kFrames + file).c_str()), 3);
        EXPECT_EQ(s.natoms, 108);
        EXPECT_EQ(s.atoms[0].x, 0.0);
    }
    QB_tools s;
    int count = 0;
    ASSERT_EQ(QB_read_frame(&s, (kFrames + "cu_run.dump").c_str(), 2, nullptr, &count), 3);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(s.atoms[0].x, reference[2].at(s.atoms[0].id)[0]);
}

// A run that stopped while writing: the complete frames stay usable and the
// cut-short one is named, plain and gzipped, cut anywhere in its frame.
TEST_F(Frames, IncompleteLastFrameIsReported) {
    const std::string whole = slurp(kFrames + "cu_run.dump");
    const size_t third = whole.find("ITEM: TIMESTEP\n20\n");
    ASSERT_NE(third, std::string::npos);
    const size_t atoms = whole.find("ITEM: ATOMS", third);
    const struct {
        const char* what;
        size_t cut;
        const char* remark;
    } cases[] = {
        {"in the atoms", atoms + (whole.size() - atoms) / 2, "frame 3 is incomplete: 5"},
        {"mid-line", whole.size() - 7, "frame 3 is incomplete: 107 of 108 atoms"},
        {"in the header", third + 50, "frame 3 is incomplete: 0 of 108 atoms"},
        {"after its timestep", third + 18, "frame 3 is incomplete: its header is cut short"},
    };
    for (const auto& c : cases) {
        for (bool gz : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (gz ? " gzipped" : ""));
            const std::string text = whole.substr(0, c.cut);
            const std::string file = path(gz ? "cut.dump.gz" : "cut.dump");
            write_bytes(file, gz ? gzip_bytes(text) : text);
            QB_frames frames;
            std::string reason;
            ASSERT_EQ(frames.open(file, &reason), 1) << reason;
            EXPECT_EQ(frames.count(), 2);
            EXPECT_EQ(frames.remark().rfind(c.remark, 0), 0u) << frames.remark();
            EXPECT_NE(frames.remark().find("2 complete frames are read"), std::string::npos);
            QB_tools s;
            EXPECT_EQ(frames.read(1, &s, &reason), 3);
            EXPECT_EQ(s.natoms, 108);
        }
    }
}

// Damaged gzip data is reported by every reader, never read past.
TEST_F(Frames, DamagedGzipIsReported) {
    const std::string packed = slurp(kFrames + "cu_run.dump.gz");
    std::string flipped = packed;
    for (size_t k = 40; k < 60; k++) flipped[k] = static_cast<char>(flipped[k] ^ 0x5a);
    std::string bad_crc = packed;
    bad_crc[bad_crc.size() - 6] = static_cast<char>(bad_crc[bad_crc.size() - 6] ^ 1);
    const struct {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"cut short", packed.substr(0, packed.size() / 2)},
        {"cut in its trailer", packed.substr(0, packed.size() - 3)},
        {"bytes changed", flipped},
        {"wrong check sum", bad_crc},
        {"magic bytes only", std::string("\x1f\x8b", 2)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string file = path("bad.dump.gz");
        write_bytes(file, c.bytes);
        QB_tools s;
        std::string reason;
        EXPECT_EQ(QB_read_file(&s, file.c_str(), &reason), QB_READ_UNREADABLE);
        EXPECT_NE(reason.find("gzip"), std::string::npos) << reason;
        EXPECT_EQ(s.natoms, 0);
        QB_frames frames;
        reason.clear();
        const int opened = frames.open(file, &reason);
        // A damaged stream is refused; one cut late may still list the
        // frames before the damage, each read or refused with a reason.
        if (opened < 0) {
            EXPECT_NE(reason.find("gzip"), std::string::npos) << reason;
        } else {
            for (int k = 0; k < frames.count(); k++) frames.read(k, &s, &reason);
        }
    }
}

// Data files, dumps, POSCAR and extended XYZ written gzipped by their ending
// and read back transparently, whatever the name.
TEST_F(Frames, GzipWrittenByEndingAndReadBack) {
    QB_tools model;
    ASSERT_EQ(QB_read_file(&model, (kFormats + "lammps_tric.data").c_str()), 1);
    for (int k = 0; k < model.ntypes; k++) QB_save_elename(&model, k, "Cu");  // for the POSCAR
    const struct {
        const char* name;
        int (*writer)(QB_tools*, const char*);
        int code;
    } cases[] = {
        {"m.lmp.gz", QB_dump_lmp, 1},
        {"m.lmc.gz", QB_dump_lmc, 3},
        {"m.POSCAR.gz", QB_dump_vasp_Cartesian, 5},
        {"m.xyz.gz", QB_dump_extxyz, QB_READ_EXTXYZ},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(c.writer(&model, path(c.name).c_str()), 1);
        EXPECT_TRUE(QB_is_gzip(path(c.name).c_str()));
        std::string plain;
        ASSERT_TRUE(QB_gunzip(path(c.name).c_str(), plain));
        // The same text as the plain writer gives.
        const std::string unpacked = QB_without_gz(path(c.name));
        ASSERT_EQ(c.writer(&model, unpacked.c_str()), 1);
        EXPECT_EQ(plain, slurp(unpacked));
        QB_tools back;
        EXPECT_EQ(QB_read_file(&back, path(c.name).c_str()), c.code);
        EXPECT_EQ(back.natoms, model.natoms);
        // Recognised by content: a gzip file by any name.
        std::rename(path(c.name).c_str(), path("renamed").c_str());
        EXPECT_EQ(QB_read_file(&back, path("renamed").c_str()), c.code);
    }
    // A target that cannot be written leaves nothing behind.
    EXPECT_EQ(QB_dump_lmp(&model, path("no/such/m.lmp.gz").c_str()), -1);
}

// ASE's extended XYZ: a triclinic cell, two species, scalar, vector and
// integer properties, two frames; positions, cell and charges equal to what
// ASE reads back from its own file.
TEST_F(Frames, ExtendedXyzWrittenByAse) {
    std::ifstream ref(kFrames + "ase_tric_ref.txt");
    QB_frames frames;
    std::string reason;
    ASSERT_EQ(frames.open(kFrames + "ase_tric.extxyz", &reason), 1) << reason;
    EXPECT_TRUE(frames.xyz());
    ASSERT_EQ(frames.count(), 2);
    for (int k = 0; k < 2; k++) {
        SCOPED_TRACE(k);
        QB_tools s;
        ASSERT_EQ(frames.read(k, &s, &reason), QB_READ_EXTXYZ) << reason;
        ASSERT_EQ(s.natoms, 5);
        EXPECT_EQ(s.ntypes, 2);
        std::string word, name;
        ref >> word;
        ASSERT_EQ(word, "cell");
        EXPECT_EQ(s.triclinic, 1);
        for (int e = 0; e < 3; e++)
            for (int d = 0; d < 3; d++) {
                double v;
                ref >> v;
                EXPECT_EQ(s.cell[e][d], v) << e << d;
            }
        EXPECT_EQ(s.periodic[0], 1);
        EXPECT_EQ(s.periodic[1], 1);
        EXPECT_EQ(s.periodic[2], 0);
        QB_load_elename(&s, 0, name);
        EXPECT_EQ(name, "Cu");
        QB_load_elename(&s, 1, name);
        EXPECT_EQ(name, "Ni");
        const std::vector<std::string> columns = {"charge", "spin_0", "spin_1", "spin_2", "tag_n"};
        EXPECT_EQ(s.channel_names, columns);
        for (int i = 0; i < 5; i++) {
            double p[3], q;
            ref >> word >> p[0] >> p[1] >> p[2] >> q;
            EXPECT_EQ(s.atoms[i].type, word == "Cu" ? 1 : 2);
            EXPECT_EQ(s.atoms[i].x, p[0]);
            EXPECT_EQ(s.atoms[i].y, p[1]);
            EXPECT_EQ(s.atoms[i].z, p[2]);
            EXPECT_EQ(QB_get_data(&s, i, "charge"), q);
        }
        EXPECT_EQ(QB_get_data(&s, 4, "spin_2"), 0.5);
        EXPECT_EQ(QB_get_data(&s, 2, "tag_n"), 4);
    }
    // The whole-file reader: the first frame, with its own code.
    QB_tools s;
    EXPECT_EQ(QB_read_file(&s, (kFrames + "ase_tric.extxyz").c_str()), QB_READ_EXTXYZ);
    EXPECT_EQ(s.natoms, 5);
}

// What we write, ASE reads (oracle/check_extxyz_ase.py wrote what ASE read
// from quelm_written.xyz); the writer still writes exactly that file.
TEST_F(Frames, ExtendedXyzWeWriteReadsInAse) {
    QB_tools s;
    ASSERT_EQ(QB_read_frame(&s, (kFrames + "cu_run.dump").c_str(), 1), 3);
    ASSERT_EQ(QB_dump_extxyz(&s, path("out.xyz").c_str()), 1);
    EXPECT_EQ(slurp(path("out.xyz")), slurp(kFrames + "quelm_written.xyz"));

    std::ifstream ase(kFrames + "quelm_written_ase.txt");
    std::string word;
    ase >> word;
    ASSERT_EQ(word, "cell");
    for (int e = 0; e < 3; e++)
        for (int d = 0; d < 3; d++) {
            double v;
            ase >> v;
            EXPECT_EQ(v, e == d ? s.size[d] : 0.0);
        }
    ase >> word;
    EXPECT_EQ(word, "pbc");
    ase >> word;
    EXPECT_EQ(word, "TTT");
    for (int i = 0; i < s.natoms; i++) {
        double p[3], vx;
        ase >> word >> p[0] >> p[1] >> p[2] >> vx;
        EXPECT_EQ(word, "X");
        EXPECT_EQ(p[0], s.atoms[i].x);
        EXPECT_EQ(p[1], s.atoms[i].y);
        EXPECT_EQ(p[2], s.atoms[i].z);
        EXPECT_EQ(vx, s.channel_data[0][static_cast<size_t>(i)]);
    }
    // And we read it back to the same model.
    QB_tools back;
    ASSERT_EQ(QB_read_file(&back, path("out.xyz").c_str()), QB_READ_EXTXYZ);
    ASSERT_EQ(back.natoms, s.natoms);
    for (int i = 0; i < s.natoms; i++) EXPECT_EQ(back.atoms[i].z, s.atoms[i].z);
    EXPECT_EQ(back.channel_names, s.channel_names);
}

// Broken extended XYZ: recognised, refused with the reason, no crash.
TEST_F(Frames, BrokenExtendedXyzIsReported) {
    const std::string head = "Lattice=\"4 0 0 0 4 0 0 0 4\" Properties=species:S:1:pos:R:3 pbc=\"T T T\"\n";
    const struct {
        const char* what;
        std::string text;
        const char* reason;
    } cases[] = {
        {"count above the atoms", "3\n" + head + "Cu 0 0 0\nCu 1 1 1\n", "the file ends after 2 of 3 atom lines"},
        {"short atom line", "2\n" + head + "Cu 0 0 0\nCu 1 1\n", "atom line 2 has 3 values, not the 4 of Properties"},
        {"long atom line", "1\n" + head + "Cu 0 0 0 7\n", "atom line 1 has more than 4 values"},
        {"bad number", "1\n" + head + "Cu 0 x 0\n", "atom line 1: \"x\" is not a number"},
        {"Properties not triples", "1\nProperties=species:S:1:pos:R\nCu 0 0 0\n", "is not a list of name:type:count"},
        {"Properties bad type", "1\nProperties=species:S:1:pos:Q:3\nCu 0 0 0\n", "\"pos:Q:3\" is not name:S|R|I|L:count"},
        {"Properties no pos", "1\nProperties=species:S:1:q:R:3\nCu 0 0 0\n", "has no pos:R:3"},
        {"Lattice of eight", "1\nLattice=\"4 0 0 0 4 0 0 0\"\nCu 0 0 0\n", "is not nine numbers"},
        {"open quote", "1\nLattice=\"4 0 0 0 4 0 0 0 4\nCu 0 0 0\n", "has no closing \""},
        {"bad pbc", "1\n" + std::string("Lattice=\"4 0 0 0 4 0 0 0 4\" pbc=\"T X T\"\nCu 0 0 0\n"), "is not three of T and F"},
        {"bad integer", "1\nProperties=species:S:1:pos:R:3:n:I:1\nCu 0 0 0 1.5\n", "\"1.5\" is not an integer"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        write_bytes(path("bad.xyz"), c.text);
        QB_tools s;
        std::string reason;
        EXPECT_EQ(QB_read_file(&s, path("bad.xyz").c_str(), &reason), QB_READ_EXTXYZ_BROKEN);
        EXPECT_NE(reason.find(c.reason), std::string::npos) << reason;
        EXPECT_EQ(s.natoms, 0);
    }
    // A multi-frame file whose last frame is short keeps the others.
    write_bytes(path("cut.xyz"), "1\n" + head + "Cu 0 0 0\n2\n" + head + "Cu 0 0 0\n");
    QB_frames frames;
    ASSERT_EQ(frames.open(path("cut.xyz")), 1);
    EXPECT_EQ(frames.count(), 1);
    EXPECT_EQ(frames.remark(), "frame 2 is incomplete: 1 of 2 atoms; 1 complete frames are read");
}

// Plain XYZ and the recognition around it: a POSCAR whose title is a number
// stays a POSCAR.
TEST_F(Frames, RecognitionKeepsTheOtherFormats) {
    write_bytes(path("plain.xyz"), "2\nwater bits\nO 0 0 0\nH 0.9 0 0\n");
    QB_tools s;
    ASSERT_EQ(QB_read_file(&s, path("plain.xyz").c_str()), QB_READ_EXTXYZ);
    EXPECT_EQ(s.ntypes, 2);
    EXPECT_EQ(s.periodic[0], 0);
    EXPECT_DOUBLE_EQ(s.size[0], 0.9);
    write_bytes(path("n.POSCAR"), "8\n1.0\n4 0 0\n0 4 0\n0 0 4\nCu\n1\nCartesian\n0 0 0\n");
    EXPECT_EQ(QB_read_file(&s, path("n.POSCAR").c_str()), 5);
    QB_frames frames;
    EXPECT_EQ(frames.open(path("n.POSCAR")), 0);
    EXPECT_EQ(frames.open(kFormats + "lammps_fcc.data"), 0);
    EXPECT_EQ(QB_read_frame(&s, (kFormats + "lammps_fcc.data").c_str(), 0), 1);
    std::string reason;
    EXPECT_EQ(QB_read_frame(&s, (kFormats + "lammps_fcc.data").c_str(), 1, &reason), QB_READ_UNREADABLE);
    EXPECT_NE(reason.find("has 1 frame, not 2"), std::string::npos);
}

// ---------------------------------------------------------------- stopping

namespace {

// Progress hooks that request a stop at the n-th report of a read.
std::atomic<int> read_reports{0};
int stop_at_read_report = 0;
void no_begin(const char*) {}
void no_end() {}
void stop_on_read_report(double) {
    if (++read_reports == stop_at_read_report) QB_progress_request_stop(true);
}

struct StopRequestGuard {
    StopRequestGuard() { read_reports = 0; }
    ~StopRequestGuard() {
        QB_progress_request_stop(false);
        QB_set_progress_hooks(nullptr);
    }
};

}  // namespace

// A stop requested before a read, or while the atoms are read (the readers
// report every 100000 atoms and look at the request there), fails the read
// as short atom data does, with the stop's message as the reason the
// caller reports. A dump or an XYZ file (read as frames) leaves the model
// as it was; a data file goes through QB_read_file, which empties the model
// on any failed read. Once the request is cleared the same read succeeds.
TEST_F(Frames, AStopRequestFailsTheReadWithItsReason) {
    QB_tools big;
    QB_create_fcc(&big, 3.615, 1, 0, 0, 0, 1, 0, 0, 0, 1);
    QB_duplicate(&big, 37, 37, 37);
    ASSERT_EQ(big.natoms, 202612);
    ASSERT_EQ(QB_dump_lmp(&big, path("big.data").c_str()), 1);
    ASSERT_EQ(QB_dump_lmc(&big, path("big.dump").c_str()), 1);
    ASSERT_EQ(QB_dump_extxyz(&big, path("big.xyz").c_str()), 1);
    const struct {
        const char* file;
        int stopped, read;
        bool keeps_the_model;
    } files[] = {{"big.data", 2, 1, false}, {"big.dump", 4, 3, true}, {"big.xyz", QB_READ_EXTXYZ_BROKEN, QB_READ_EXTXYZ, true}};
    for (const auto& f : files)
        for (int stop_at : {0, 1, 2}) {  // 0: requested before the read
            SCOPED_TRACE(std::string(f.file) + " stopped at report " + std::to_string(stop_at));
            StopRequestGuard guard;
            QB_tools m;
            ASSERT_EQ(QB_create_atom(&m, 1, 1, 2, 3), 1);
            ASSERT_EQ(QB_add_exdouble(&m, "marker"), 1);
            stop_at_read_report = stop_at;
            const QB_progress_hooks hooks = {no_begin, stop_on_read_report, no_end};
            if (stop_at == 0)
                QB_progress_request_stop(true);
            else
                QB_set_progress_hooks(&hooks);
            std::string reason, text;
            int count = -1;
            const int code = QB_read_frame(&m, path(f.file).c_str(), 0, &reason, &count);
            EXPECT_EQ(code, f.stopped);
            EXPECT_EQ(reason, "Stopped on request");
            EXPECT_EQ(reason, QB_STOPPED_MESSAGE);
            EXPECT_EQ(read_reports.load(), stop_at);  // the read went no further
            EXPECT_EQ(QN_read_report(code, &m, text, reason), -1);
            EXPECT_EQ(text, "Reading file failed\nStopped on request");
            if (f.keeps_the_model) {
                EXPECT_EQ(m.natoms, 1);
                EXPECT_EQ(m.exdouble_names, std::vector<std::string>{"marker"});
                EXPECT_EQ(m.atoms[0].z, 3);
            }
            // The reader on its own says the same.
            QB_tools other;
            reason.clear();
            if (stop_at == 0) {
                EXPECT_EQ(QB_read_file(&other, path(f.file).c_str(), &reason), f.stopped);
                EXPECT_EQ(reason, "Stopped on request");
            }

            QB_progress_request_stop(false);
            QB_set_progress_hooks(nullptr);
            ASSERT_EQ(QB_read_frame(&m, path(f.file).c_str(), 0, &reason, &count), f.read) << reason;
            EXPECT_EQ(m.natoms, big.natoms);
            EXPECT_EQ(m.atoms[1].x, big.atoms[1].x);
        }
}
