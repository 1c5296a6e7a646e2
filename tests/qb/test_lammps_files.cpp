// LAMMPS files as LAMMPS writes them: the dumps and data files of one
// thermalised copper crystal (written by LAMMPS itself, see
// oracle/make_format_fixtures.py) all read to the same atoms in the same box.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "qb/qb_formats.h"
#include "test_support.h"

namespace {

const std::string kFixtures = std::string(QUELM_TEST_DATA) + "/qb/fixtures/formats/";

// One atom of the reference dump: "id type x y z ix iy iz" to twelve digits.
struct RefAtom {
    std::array<double, 3> x;
    std::array<int, 3> image;
};

// The reference dump read with plain stream input, box and all, so that the
// reader under test is checked against something it did not make.
struct Reference {
    std::map<int, RefAtom> atoms;
    double origin[3];
    double cell[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};

    explicit Reference(const std::string& file) {
        std::ifstream in(kFixtures + file);
        std::string line;
        int n = 0;
        for (int k = 0; k < 4; k++) std::getline(in, line);
        n = std::stoi(line);
        std::getline(in, line);
        const bool tric = line.find("xy") != std::string::npos;
        double b[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
        for (auto& row : b) {
            std::getline(in, line);
            std::istringstream(line) >> row[0] >> row[1] >> row[2];
        }
        const double xy = tric ? b[0][2] : 0, xz = tric ? b[1][2] : 0, yz = tric ? b[2][2] : 0;
        origin[0] = b[0][0] - std::min({0.0, xy, xz, xy + xz});
        origin[1] = b[1][0] - std::min(0.0, yz);
        origin[2] = b[2][0];
        cell[0][0] = b[0][1] - std::max({0.0, xy, xz, xy + xz}) - origin[0];
        cell[1][1] = b[1][1] - std::max(0.0, yz) - origin[1];
        cell[2][2] = b[2][1] - origin[2];
        cell[1][0] = xy;
        cell[2][0] = xz;
        cell[2][1] = yz;
        std::getline(in, line);  // ITEM: ATOMS id type x y z ix iy iz
        for (int i = 0; i < n; i++) {
            int id, type;
            RefAtom a;
            in >> id >> type >> a.x[0] >> a.x[1] >> a.x[2] >> a.image[0] >> a.image[1] >> a.image[2];
            atoms[id] = a;
        }
    }

    // Fractional coordinates of a displacement.
    std::array<double, 3> fractions(const std::array<double, 3>& d) const {
        std::array<double, 3> f;
        f[2] = d[2] / cell[2][2];
        f[1] = (d[1] - f[2] * cell[2][1]) / cell[1][1];
        f[0] = (d[0] - f[1] * cell[1][0] - f[2] * cell[2][0]) / cell[0][0];
        return f;
    }
    // Length of the shortest periodic image of p - q.
    double periodic_distance(const std::array<double, 3>& p, const std::array<double, 3>& q) const {
        auto f = fractions({p[0] - q[0], p[1] - q[1], p[2] - q[2]});
        for (double& v : f) v -= std::round(v);
        double d2 = 0;
        for (int e = 0; e < 3; e++) {
            const double c = f[0] * cell[0][e] + f[1] * cell[1][e] + f[2] * cell[2][e];
            d2 += c * c;
        }
        return std::sqrt(d2);
    }
};

class LammpsFiles : public QuietStdoutTest {
protected:
    std::string write(const std::string& name, const std::string& text) const {
        std::ofstream(scratch_.path(name), std::ios::binary) << text;
        return scratch_.path(name);
    }
    ScratchDir scratch_;
};

double column(const QB_tools& s, int i, const char* name) { return QB_get_data(&s, i, name); }

bool has_column(const QB_tools& s, const char* name) { return QB_slot_get(&s, name) >= 0; }

// Every file of one crystal, with the precision it was written to and what
// it must give besides positions.
struct Case {
    const char* file;
    int code;
    double tolerance;  // of the positions, from the digits the file carries
    bool wrapped;      // every atom strictly inside the box along x, y and z
};

const Case kCases[] = {
    {"_ref.dump", 3, 1e-9, false},   {".atom", 3, 1e-4, false},       {"_image.atom", 3, 1e-4, false},
    {"_x.dump", 3, 1e-4, false},     {"_xu.dump", 3, 1e-4, true},     {"_xs.dump", 3, 1e-4, false},
    {"_xsu.dump", 3, 1e-4, true},    {"_element.dump", 3, 1e-4, false}, {"_charge.data", 1, 1e-9, false},
    {"_full.data", 1, 1e-9, false},  {"_bond.data", 1, 1e-9, false},
};

}  // namespace

TEST_F(LammpsFiles, EveryFormOfOneRunReadsToTheSameAtomsAndBox) {
    for (const char* crystal : {"lammps_hot", "lammps_hot_tric"}) {
        const Reference ref(std::string(crystal) + "_ref.dump");
        for (const Case& c : kCases) {
            const std::string name = crystal + std::string(c.file);
            if (!std::ifstream(kFixtures + name)) continue;  // the tilted crystal has a charge data file only
            SCOPED_TRACE(name);
            QB_tools s;
            std::string reason;
            ASSERT_EQ(QB_read_file(&s, (kFixtures + name).c_str(), &reason), c.code) << reason;
            ASSERT_EQ(s.natoms, 108);
            EXPECT_EQ(s.ntypes, 1);
            for (int e = 0; e < 3; e++) {
                EXPECT_NEAR(s.origin[e], ref.origin[e], 1e-9);
                for (int d = 0; d < 3; d++) EXPECT_NEAR(s.cell[e][d], ref.cell[e][d], 1e-9);
            }
            EXPECT_EQ(s.triclinic, ref.cell[1][0] != 0 ? 1 : 0);
            for (int i = 0; i < s.natoms; i++) {
                const auto& a = s.atoms[i];
                ASSERT_EQ(ref.atoms.count(a.id), 1u) << a.id;
                const RefAtom& r = ref.atoms.at(a.id);
                EXPECT_LT(ref.periodic_distance({a.x, a.y, a.z}, r.x), c.tolerance) << a.id;
                if (c.wrapped) {
                    const auto f = ref.fractions({a.x - ref.origin[0], a.y - ref.origin[1], a.z - ref.origin[2]});
                    for (double v : f) EXPECT_TRUE(v >= 0 && v < 1) << a.id << " " << v;
                }
            }
        }
    }
}

TEST_F(LammpsFiles, ColumnsBesideThePositionsAreKept) {
    const Reference ref("lammps_hot_ref.dump");
    auto read = [](const std::string& name) {
        QB_tools s;
        EXPECT_EQ(QB_read_file(&s, (kFixtures + name).c_str()) % 2, 1) << name;
        return s;
    };

    // Unwrapped with image counts: wrapped positions plus integer image
    // columns that give the unwrapped position back.
    const QB_tools xu = read("lammps_hot_xu.dump");
    ASSERT_EQ(xu.exint_count, 3);
    EXPECT_EQ(xu.exint_names, (std::vector<std::string>{"ix", "iy", "iz"}));
    EXPECT_EQ(xu.channel_count, 0);
    int moved = 0;
    for (int i = 0; i < xu.natoms; i++) {
        const RefAtom& r = ref.atoms.at(xu.atoms[i].id);
        const double p[3] = {xu.atoms[i].x, xu.atoms[i].y, xu.atoms[i].z};
        for (int d = 0; d < 3; d++) {
            const int n = xu.exint_data[static_cast<size_t>(d)][static_cast<size_t>(i)];
            EXPECT_NEAR(p[d] + n * ref.cell[d][d], r.x[d] + r.image[d] * ref.cell[d][d], 1e-4) << xu.atoms[i].id;
            moved += n != 0;
        }
    }
    EXPECT_GT(moved, 20);  // the run sent many atoms through the faces
    // Without image columns in the file, none are made up.
    EXPECT_EQ(read("lammps_hot_xsu.dump").exint_count, 0);

    // dump atom with image flags keeps them as file columns, as any extra column.
    const QB_tools image = read("lammps_hot_image.atom");
    ASSERT_EQ(image.channel_count, 3);
    EXPECT_EQ(image.channel_names[2], "iz");
    for (int i = 0; i < image.natoms; i++)
        EXPECT_EQ(column(image, i, "iy"), ref.atoms.at(image.atoms[i].id).image[1]);

    // Element names become the names of the types.
    const QB_tools element = read("lammps_hot_element.dump");
    std::string name;
    QB_load_elename(const_cast<QB_tools*>(&element), 0, name);
    EXPECT_EQ(name, "Cu");
    EXPECT_FALSE(has_column(element, "element"));

    // Charges and molecule ids of the data files, as the run set them:
    // q = 0.01 (id mod 7) - 0.03, mol = (id - 1) / 12 + 1.
    for (const char* file : {"lammps_hot_charge.data", "lammps_hot_full.data", "lammps_hot_bond.data"}) {
        SCOPED_TRACE(file);
        const QB_tools s = read(file);
        const bool charge = std::string(file).find("bond") == std::string::npos;
        const bool molecule = std::string(file).find("charge") == std::string::npos;
        EXPECT_EQ(has_column(s, "q"), charge);
        EXPECT_EQ(has_column(s, "mol"), molecule);
        for (int i = 0; i < s.natoms; i++) {
            const int id = s.atoms[i].id;
            if (charge) {
                EXPECT_NEAR(column(s, i, "q"), 0.01 * (id % 7) - 0.03, 1e-12) << id;
            }
            if (molecule) {
                EXPECT_EQ(column(s, i, "mol"), (id - 1) / 12 + 1) << id;
            }
        }
    }
}

TEST_F(LammpsFiles, ConvertedDumpsReadBackTheSame) {
    for (const char* file : {"lammps_hot.atom", "lammps_hot_xu.dump", "lammps_hot_tric_xsu.dump", "lammps_hot_full.data",
                             "lammps_hot_element.dump"}) {
        SCOPED_TRACE(file);
        QB_tools s, back;
        ASSERT_EQ(QB_read_file(&s, (kFixtures + file).c_str()) % 2, 1);
        ASSERT_EQ(QB_dump_lmc(&s, scratch_.path("out.lmc").c_str()), 1);
        ASSERT_EQ(QB_read_file(&back, scratch_.path("out.lmc").c_str()), 3);
        ASSERT_EQ(back.natoms, s.natoms);
        EXPECT_EQ(QB_slot_sum(&back), QB_slot_sum(&s));
        for (int i = 0; i < s.natoms; i++) {
            const int id = s.triclinic ? i + 1 : s.atoms[i].id;  // triclinic dumps are renumbered
            EXPECT_EQ(back.atoms[i].id, id);
            EXPECT_NEAR(back.atoms[i].x, s.atoms[i].x, 1e-6);
            EXPECT_NEAR(back.atoms[i].z, s.atoms[i].z, 1e-6);
        }
    }
}

// ------------------------------------------------------------ data headers

TEST_F(LammpsFiles, DataHeadersInAnyOrderAndAtomStyles) {
    const std::string atoms = "1 2 1.5 2.5 3.5\n2 1 4 5 6\n";
    const struct {
        const char* name;
        std::string text;
        int code;
        double xy;  // the tilt read, or 0
    } cases[] = {
        {"box before counts", "t\n0 10 xlo xhi\n0 10 ylo yhi\n0 10 zlo zhi\n2 atom types\n2 atoms\n\nAtoms\n\n" + atoms, 1, 0},
        {"tilts first", "t\n1.5 0 0 xy xz yz\n2 atoms\n2 atom types\n0 10 xlo xhi\n0 10 ylo yhi\n0 10 zlo zhi\nAtoms\n\n" + atoms,
         1, 1.5},
        {"comments and other counts",
         "t # title\n\n2 atoms # two\n0 bonds\n2 atom types\n1 extra bond per atom\n0 10 xlo xhi\n0 10 ylo yhi\n"
         "0 10 zlo zhi\n\nMasses\n\n1 63.5\n2 58.7\n\nAtoms # atomic\n\n# first atom\n" +
             atoms + "\nVelocities\n\n1 0 0 0\n2 0 0 0\n\nBonds\n\n",
         1, 0},
        {"no box: LAMMPS' default", "t\n2 atoms\nAtoms\n\n" + atoms, 1, 0},
        {"a box line with one number", "t\n2 atoms\n10 xlo xhi\nAtoms\n\n" + atoms, 0, 0},
        {"charge without image flags", "t\n2 atoms\nAtoms # charge\n\n1 2 0.5 1.5 2.5 3.5\n2 1 -0.5 4 5 6\n", 1, 0},
        {"molecular with image flags", "t\n2 atoms\nAtoms # molecular\n\n1 7 2 1.5 2.5 3.5 0 0 1\n2 7 1 4 5 6 0 0 0\n", 1, 0},
        {"full", "t\n2 atoms\nAtoms # full\n\n1 7 2 0.5 1.5 2.5 3.5\n2 7 1 -0.5 4 5 6\n", 1, 0},
        {"charge style, one value short", "t\n2 atoms\nAtoms # charge\n\n1 2 1.5 2.5 3.5\n2 1 4 5 6\n", 2, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QB_tools s;
        std::string reason;
        ASSERT_EQ(QB_read_file(&s, write("case.lmp", c.text).c_str(), &reason), c.code) << reason;
        if (c.code != 1) continue;
        ASSERT_EQ(s.natoms, 2);
        EXPECT_EQ(s.atoms[0].type, 2);
        EXPECT_EQ(s.ntypes, 2);
        EXPECT_DOUBLE_EQ(s.atoms[0].x, 1.5);
        EXPECT_DOUBLE_EQ(s.atoms[1].z, 6);
        EXPECT_EQ(s.triclinic, c.xy != 0 ? 1 : 0);
        EXPECT_DOUBLE_EQ(s.cell[1][0], c.xy);
    }
    QB_tools s;
    ASSERT_EQ(QB_read_file(&s, write("d.lmp", cases[3].text).c_str()), 1);
    EXPECT_DOUBLE_EQ(s.lo[0], -0.5);
    EXPECT_DOUBLE_EQ(s.size[2], 1);
    ASSERT_EQ(QB_read_file(&s, write("f.lmp", cases[7].text).c_str()), 1);
    EXPECT_DOUBLE_EQ(column(s, 1, "q"), -0.5);
    EXPECT_EQ(column(s, 0, "mol"), 7);
    EXPECT_EQ(s.exint_count, 1);  // molecule ids are integers
}

// ------------------------------------------------------------ clear failures

TEST_F(LammpsFiles, FailuresSayWhy) {
    const std::string dump_head = "ITEM: TIMESTEP\n0\nITEM: NUMBER OF ATOMS\n1\nITEM: BOX BOUNDS pp pp pp\n0 5\n0 5\n0 5\n";
    const std::string missing = write("v.dump", dump_head + "ITEM: ATOMS id type vx vy vz\n1 1 0 0 0\n");
    const std::string scratch = scratch_.path("");
    const struct {
        const char* name;
        std::string path;
        int code;
        std::string reason;
    } cases[] = {
        {"missing", scratch_.path("hot.dump"), QB_READ_UNREADABLE,
         "cannot open " + scratch_.path("hot.dump") + ": No such file or directory"},
        {"folder", scratch_.dir(), QB_READ_UNREADABLE, "cannot open " + scratch_.dir() + ": not a regular file"},
        {"device", "/dev/null", QB_READ_UNREADABLE, "cannot open /dev/null: not a regular file"},
        {"no positions", missing, 4,
         "LAMMPS dump " + missing + " has the columns id type vx vy vz; it needs x y z, xu yu zu, xs ys zs or xsu ysu zsu"},
        {"half a position set", write("h.dump", dump_head + "ITEM: ATOMS id x y zs\n1 0 0 0\n"), 4,
         "LAMMPS dump " + scratch_.path("h.dump") +
             " has the columns id x y zs; it needs x y z, xu yu zu, xs ys zs or xsu ysu zsu"},
        {"unknown atom style", write("s.lmp", "t\n1 atoms\nAtoms # sphere\n\n1 1 1.0 1.0 0 0 0\n"), 2,
         "atom style sphere is not read (atomic, charge, full, molecular, bond, angle are)"},
        {"style not named", write("n.lmp", "t\n2 atoms\nAtoms\n\n1 1 0.5 0 0 0\n2 1 0.5 1 1 1\n"), 2,
         "atom line 1 has 6 values, not the 5 or 8 of atom style atomic; a data file of another style names it after "
         "its section, as \"Atoms # charge\" does"},
        {"truncated: the old message", write("t.lmp", "t\n3 atoms\nAtoms\n\n1 1 0 0 0\n2 1 1"), 2, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QB_tools s;
        QB_create_atom(&s, 1, 0, 0, 0);
        std::string reason = "left over";
        EXPECT_EQ(QB_read_file(&s, c.path.c_str(), &reason), c.code);
        EXPECT_EQ(reason, c.reason);
        EXPECT_EQ(s.natoms, 0);
    }
}

TEST_F(LammpsFiles, APipeIsRefusedNotWaitedOn) {
    const std::string fifo = scratch_.path("run.dump");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // In a child, so that a reader that waits for a writer fails the test
    // instead of hanging it.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(5);
        QB_tools s;
        std::string reason;
        const int code = QB_read_file(&s, fifo.c_str(), &reason);
        _exit(code == QB_READ_UNREADABLE && reason == "cannot open " + fifo + ": not a regular file" ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the reader waited on the pipe";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// ------------------------------------------------------------- dump rules

TEST_F(LammpsFiles, DumpPositionRules) {
    const std::string head = "ITEM: TIMESTEP\n0\nITEM: NUMBER OF ATOMS\n2\nITEM: BOX BOUNDS pp ss pp\n0 10\n0 10\n0 10\n";
    QB_tools s;
    // x y z is preferred; the other sets stay as file columns.
    ASSERT_EQ(QB_read_file(&s, write("a.dump", head + "ITEM: ATOMS id xu yu zu x y z\n1 12 1 1 2 1 1\n2 3 3 3 3 3 3\n").c_str()),
              3);
    EXPECT_DOUBLE_EQ(s.atoms[0].x, 2);
    EXPECT_EQ(s.channel_names, (std::vector<std::string>{"xu", "yu", "zu"}));

    // Unwrapped positions are wrapped along periodic directions only.
    ASSERT_EQ(QB_read_file(&s, write("b.dump", head + "ITEM: ATOMS id type xu yu zu ix iy iz\n"
                                                      "1 1 -2 12 25 -1 0 2\n2 1 10 3 3 1 0 0\n")
                                   .c_str()),
              3);
    EXPECT_DOUBLE_EQ(s.atoms[0].x, 8);
    EXPECT_DOUBLE_EQ(s.atoms[0].y, 12);  // shrink-wrapped y: not moved
    EXPECT_DOUBLE_EQ(s.atoms[0].z, 5);
    EXPECT_DOUBLE_EQ(s.atoms[1].x, 0);  // on the upper face: into the box
    EXPECT_EQ(s.exint_data[0], (std::vector<int>{-1, 1}));
    EXPECT_EQ(s.exint_data[1], (std::vector<int>{0, 0}));
    EXPECT_EQ(s.exint_data[2], (std::vector<int>{2, 0}));

    // The old dump atom layout without column names: id type xs ys zs.
    ASSERT_EQ(QB_read_file(&s, write("c.dump", head + "ITEM: ATOMS\n4 2 0.5 0.25 0.1\n5 1 0 0 0\n").c_str()), 3);
    EXPECT_EQ(s.atoms[0].id, 4);
    EXPECT_DOUBLE_EQ(s.atoms[0].y, 2.5);

    // Elements without types: types in order of first appearance.
    ASSERT_EQ(QB_read_file(&s, write("d.dump", head + "ITEM: ATOMS element x y z\nNi 1 1 1\nCu 2 2 2\n").c_str()), 3);
    EXPECT_EQ(s.atoms[0].type, 1);
    EXPECT_EQ(s.atoms[1].type, 2);
    EXPECT_EQ(s.ntypes, 2);
    std::string name;
    QB_load_elename(&s, 1, name);
    EXPECT_EQ(name, "Cu");
    // With types from 0, names follow their types up.
    ASSERT_EQ(QB_read_file(&s, write("e.dump", head + "ITEM: ATOMS type element x y z\n0 Ni 1 1 1\n2 Cu 2 2 2\n").c_str()),
              3);
    EXPECT_EQ(s.ntypes, 3);
    QB_load_elename(&s, 0, name);
    EXPECT_EQ(name, "Ni");
    QB_load_elename(&s, 1, name);
    EXPECT_EQ(name, "");  // type 2 has no atom, so no element
    EXPECT_FALSE(QB_has_elename(&s, 1));
    QB_load_elename(&s, 2, name);
    EXPECT_EQ(name, "Cu");
}
