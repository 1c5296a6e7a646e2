#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "qb/qb_formats.h"
#include "qb/qb_lattice.h"
#include "qb/qb_random.h"
#include "qb/qb_text.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

const std::string kFixtures = std::string(QUELM_TEST_DATA) + "/qb/fixtures/formats/";

class Formats : public QuietStdoutTest {
protected:
    std::string path(const std::string& name) const { return scratch_.path(name); }
    std::string write(const std::string& name, const std::string& text) const {
        std::ofstream(path(name), std::ios::binary) << text;
        return path(name);
    }
    ScratchDir scratch_;
    const std::string& dir_ = scratch_.dir();
};

QB_tools orthogonal_sample() {
    QB_tools s;
    QB_init(&s);
    for (int d = 0; d < 3; d++) {
        s.lo[d] = s.origin[d] = -1.5 + d;
        s.size[d] = s.cell[d][d] = 10 + d;
    }
    QB_create_atom(&s, 1, 0.25, 1.5, 2.125);
    QB_create_atom(&s, 2, 3.0000004, -0.5, 9.75);
    QB_create_atom(&s, 1, 7, 8, 3.3333333333);
    return s;
}

QB_tools triclinic_sample() {
    QB_tools s;
    QB_init(&s);
    s.triclinic = 1;
    const double cell[3][3] = {{6, 0, 0}, {2, 5, 0}, {-1, 1.5, 7}};
    for (int e = 0; e < 3; e++)
        for (int d = 0; d < 3; d++) s.cell[e][d] = cell[e][d];
    s.origin[0] = 1;
    s.origin[1] = 2;
    s.origin[2] = 3;
    QB_create_atom(&s, 1, 2, 3, 4);
    QB_create_atom(&s, 2, 5, 6, 7);
    QB_create_atom(&s, 3, 4.5, 4, 9);
    return s;
}

// Fractional coordinates of p in the cell of s, folded into [0, 1).
std::array<double, 3> fractions(const QB_tools& s, double x, double y, double z) {
    const double d[3] = {x - s.origin[0], y - s.origin[1], z - s.origin[2]};
    const auto& c = s.cell;
    const double det = c[0][0] * (c[1][1] * c[2][2] - c[1][2] * c[2][1]) -
                       c[0][1] * (c[1][0] * c[2][2] - c[1][2] * c[2][0]) +
                       c[0][2] * (c[1][0] * c[2][1] - c[1][1] * c[2][0]);
    std::array<double, 3> f;
    for (int e = 0; e < 3; e++) {
        const double* p = c[(e + 1) % 3];
        const double* q = c[(e + 2) % 3];
        const double n[3] = {p[1] * q[2] - p[2] * q[1], p[2] * q[0] - p[0] * q[2], p[0] * q[1] - p[1] * q[0]};
        f[e] = (d[0] * n[0] + d[1] * n[1] + d[2] * n[2]) / det;
        f[e] -= std::floor(f[e]);
        if (f[e] > 1 - 1e-6) f[e] = 0;
    }
    return f;
}

double length(const double* v) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

// The same periodic crystal: equal cell volume and every atom of a at a
// site of b (fractional coordinates of each in its own cell, matched by
// Cartesian distance modulo b's lattice).
void expect_same_crystal(const QB_tools& a, const QB_tools& b, double tol) {
    ASSERT_EQ(a.natoms, b.natoms);
    auto volume = [](const QB_tools& s) {
        const auto& c = s.cell;
        return std::fabs(c[0][0] * (c[1][1] * c[2][2] - c[1][2] * c[2][1]) -
                         c[0][1] * (c[1][0] * c[2][2] - c[1][2] * c[2][0]) +
                         c[0][2] * (c[1][0] * c[2][1] - c[1][1] * c[2][0]));
    };
    EXPECT_NEAR(volume(a), volume(b), 1e-4 * volume(a));
    // Pairwise distances are frame-independent: compare the sorted lists of
    // the shortest periodic distance of each atom pair.
    auto distances = [](const QB_tools& s) {
        std::vector<double> out;
        for (int i = 0; i < s.natoms; i++)
            for (int j = i + 1; j < s.natoms; j++) {
                const auto fi = fractions(s, s.atoms[i].x, s.atoms[i].y, s.atoms[i].z);
                const auto fj = fractions(s, s.atoms[j].x, s.atoms[j].y, s.atoms[j].z);
                double best = 1e300;
                for (int u = -3; u <= 3; u++)
                    for (int v = -3; v <= 3; v++)
                        for (int w = -3; w <= 3; w++) {
                            const double f[3] = {fj[0] - fi[0] + u, fj[1] - fi[1] + v, fj[2] - fi[2] + w};
                            double p[3];
                            for (int d = 0; d < 3; d++)
                                p[d] = f[0] * s.cell[0][d] + f[1] * s.cell[1][d] + f[2] * s.cell[2][d];
                            best = std::min(best, length(p));
                        }
                out.push_back(best);
            }
        std::sort(out.begin(), out.end());
        return out;
    };
    const auto da = distances(a), db = distances(b);
    for (size_t k = 0; k < da.size(); k++) EXPECT_NEAR(da[k], db[k], tol) << k;
}

}  // namespace

// ------------------------------------------------------------- golden bytes

TEST_F(Formats, DataFileBytesOrthogonalAndTriclinic) {
    QB_tools s = orthogonal_sample();
    QB_delete_atom(&s, 1);
    ASSERT_EQ(QB_dump_lmp(&s, path("o.lmp").c_str()), 1);
    EXPECT_EQ(slurp(path("o.lmp")),
              "Position data Generated by Quelm\n"
              "2\tatoms\n"
              "2\tatom types\n"
              "-1.500000\t\t8.500000\txlo xhi\n"
              "-0.500000\t\t10.500000\tylo yhi\n"
              "0.500000\t\t12.500000\tzlo zhi\n"
              "\nAtoms\n\n"
              "1\t1\t0.250000\t1.500000\t2.125000\n"
              "3\t1\t7.000000\t8.000000\t3.333333\n");

    QB_tools t = triclinic_sample();
    ASSERT_EQ(QB_dump_lmp(&t, path("t.lmp").c_str()), 1);
    EXPECT_EQ(slurp(path("t.lmp")),
              "Position data Generated by Quelm\n"
              "3\tatoms\n"
              "3\tatom types\n"
              "1.000000\t\t7.000000\txlo xhi\n"
              "2.000000\t\t7.000000\tylo yhi\n"
              "3.000000\t\t10.000000\tzlo zhi\n"
              "2.000000\t\t-1.000000\t1.500000\txy xz yz\n"
              "\nAtoms\n\n"
              "1\t1\t2.000000\t3.000000\t4.000000\n"
              "2\t2\t5.000000\t6.000000\t7.000000\n"
              "3\t3\t4.500000\t4.000000\t9.000000\n");
}

TEST_F(Formats, DumpBytesWithColumns) {
    QB_tools s = orthogonal_sample();
    s.channel_names = {"c_pe"};
    s.channel_data = {{-3.5, -3.25, 1e-7}};
    s.channel_count = 1;
    QB_add_exint(&s, "grain");
    QB_add_exdouble(&s, "csp");
    QB_save_data(&s, 0, "grain", 7);
    QB_save_data(&s, 2, "csp", 0.1234567);
    ASSERT_EQ(QB_dump_lmc(&s, path("o.lmc").c_str()), 1);
    EXPECT_EQ(slurp(path("o.lmc")),
              "ITEM: TIMESTEP\n0\nITEM: NUMBER OF ATOMS\n3\n"
              "ITEM: BOX BOUNDS pp pp pp\n"
              "-1.500000 8.500000\n-0.500000 10.500000\n0.500000 12.500000\n"
              "ITEM: ATOMS id type x y z c_pe grain csp\n"
              "1\t1\t0.250000\t1.500000\t2.125000\t-3.500000\t7\t0.000000\n"
              "2\t2\t3.000000\t-0.500000\t9.750000\t-3.250000\t0\t0.000000\n"
              "3\t1\t7.000000\t8.000000\t3.333333\t0.000000\t0\t0.123457\n");

    QB_tools t = triclinic_sample();
    ASSERT_EQ(QB_dump_lmc(&t, path("t.lmc").c_str()), 1);
    EXPECT_EQ(slurp(path("t.lmc")),
              "ITEM: TIMESTEP\n0\nITEM: NUMBER OF ATOMS\n3\n"
              "ITEM: BOX BOUNDS xy xz yz pp pp pp\n"
              "0.000000 9.000000 2.000000\n"
              "2.000000 8.500000 -1.000000\n"
              "3.000000 10.000000 1.500000\n"
              "ITEM: ATOMS id type x y z\n"
              "1\t1\t2.000000\t3.000000\t4.000000\n"
              "2\t2\t5.000000\t6.000000\t7.000000\n"
              "3\t3\t4.500000\t4.000000\t9.000000\n");
}

// Enough atoms for the rows to be made into text in blocks side by side:
// the blocks land in order, deleted atoms are left out, and a triclinic
// dump numbers the atoms it writes without a gap.
TEST_F(Formats, LargeDumpsKeepTheirRowsInOrder) {
    QB_tools s = orthogonal_sample();
    QB_add_exint(&s, "grain");
    QB_add_exdouble(&s, "csp");
    std::string rows;
    for (int i = 0; i < 100000; i++) {
        const double x = i * 0.0013 - 5, y = -i * 1e-4, z = i % 977 * 0.5;
        QB_create_atom(&s, 1 + i % 3, x, y, z);
        const int k = s.natoms - 1;
        s.atoms[k].id = i + 10;
        QB_save_data(&s, k, "grain", i % 11);
        QB_save_data(&s, k, "csp", i * 1e-5);
        if (i % 13 == 5) {
            QB_delete_atom(&s, k);
            continue;
        }
        char row[160];
        std::snprintf(row, sizeof row, "%d\t%d\t%lf\t%lf\t%lf\t%d\t%lf\n", i + 10, 1 + i % 3, x, y, z, i % 11, i * 1e-5);
        rows += row;
    }
    ASSERT_EQ(QB_dump_lmc(&s, path("big.lmc").c_str()), 1);
    const std::string text = slurp(path("big.lmc"));
    const std::string header = "ITEM: ATOMS id type x y z grain csp\n";
    const size_t at = text.find(header);
    ASSERT_NE(at, std::string::npos);
    const std::string first_rows = "1\t1\t0.250000\t1.500000\t2.125000\t0\t0.000000\n"
                                   "2\t2\t3.000000\t-0.500000\t9.750000\t0\t0.000000\n"
                                   "3\t1\t7.000000\t8.000000\t3.333333\t0\t0.000000\n";
    EXPECT_TRUE(text.substr(at + header.size()) == first_rows + rows);

    QB_tools t = triclinic_sample();
    const atomdata pattern[3] = {t.atoms[0], t.atoms[1], t.atoms[2]};
    for (int k = 0; k < 40000; k++)
        for (const atomdata& a : pattern) QB_create_atom(&t, a.type, a.x, a.y, a.z);
    for (int i = 4; i < t.natoms; i += 7) QB_delete_atom(&t, i);
    ASSERT_EQ(QB_dump_lmc(&t, path("big_t.lmc").c_str()), 1);
    const std::string tri = slurp(path("big_t.lmc"));
    const char* const kRows[3] = {"\t1\t2.000000\t3.000000\t4.000000\n", "\t2\t5.000000\t6.000000\t7.000000\n",
                                  "\t3\t4.500000\t4.000000\t9.000000\n"};
    std::string want;
    int written = 0;
    for (int i = 0; i < t.natoms; i++)
        if (t.atoms[i].id > 0) want += std::to_string(++written) + kRows[i % 3];
    const size_t rows_at = tri.find("ITEM: ATOMS id type x y z\n");
    ASSERT_NE(rows_at, std::string::npos);
    EXPECT_TRUE(tri.substr(rows_at + 26) == want);
    EXPECT_NE(tri.find("ITEM: NUMBER OF ATOMS\n" + std::to_string(written) + "\n"), std::string::npos);
}

TEST_F(Formats, PoscarBytesDirectAndCartesian) {
    QB_tools s = orthogonal_sample();
    QB_save_elename(&s, 0, "Cu");
    QB_save_elename(&s, 1, "E1");  // any name that reads back as one
    ASSERT_EQ(QB_dump_vasp_Cartesian(&s, path("c.POSCAR").c_str()), 1);
    EXPECT_EQ(slurp(path("c.POSCAR")),
              "\tPosition data Generated by Quelm\n\t1.0\n"
              "\t10.000000\t\t0.0\t\t0.0\n"
              "\t0.0\t\t11.000000\t\t0.0\n"
              "\t0.0\t\t0.0\t\t12.000000\n"
              "\tCu\tE1\t\n\t2\t1\t\nCartesian\n"
              "\t1.750000\t\t2.000000\t\t1.625000\n"
              "\t8.500000\t\t8.500000\t\t2.833333\n"
              "\t4.500000\t\t0.000000\t\t9.250000\n");
    ASSERT_EQ(QB_dump_vasp_Direct(&s, path("d.POSCAR").c_str()), 1);
    EXPECT_EQ(slurp(path("d.POSCAR")),
              "\tPosition data Generated by Quelm\n\t1.0\n"
              "\t10.000000\t\t0.0\t\t0.0\n"
              "\t0.0\t\t11.000000\t\t0.0\n"
              "\t0.0\t\t0.0\t\t12.000000\n"
              "\tCu\tE1\t\n\t2\t1\t\nDirect\n"
              "\t0.175000\t\t0.181818\t\t0.135417\n"
              "\t0.850000\t\t0.772727\t\t0.236111\n"
              "\t0.450000\t\t0.000000\t\t0.770833\n");

    QB_tools t = triclinic_sample();
    t.ntypes = 2;  // the type-3 atom is neither counted nor written
    QB_save_elename(&t, 0, "E0");
    QB_save_elename(&t, 1, "E1");
    ASSERT_EQ(QB_dump_vasp_Direct(&t, path("t.POSCAR").c_str()), 1);
    EXPECT_EQ(slurp(path("t.POSCAR")),
              "\tPosition data Generated by Quelm\n\t1.0\n"
              "\t6.000000\t\t0.000000\t\t0.000000\n"
              "\t2.000000\t\t5.000000\t\t0.000000\n"
              "\t-1.000000\t\t1.500000\t\t7.000000\n"
              "\tE0\tE1\t\n\t1\t1\t\nDirect\n"
              "\t0.138095\t\t0.157143\t\t0.142857\n"
              "\t0.552381\t\t0.628571\t\t0.571429\n");
}

// A POSCAR needs a name for every type that reads back as a name: without
// one nothing is written (and a file already there stays), no name is made
// up.
TEST_F(Formats, PoscarWithoutElementNamesIsRefused) {
    const std::string kept = "an earlier file\n";
    const struct {
        const char* first;
        const char* second;  // nullptr: never named
        int unnamed;         // the first type without a usable name
    } cases[] = {
        {nullptr, nullptr, 1}, {"Cu", nullptr, 2}, {"Cu", "", 2},   {"12", "Ni", 1},
        {"Cu", "Fe Ni", 2},    {"!Cu", "Ni", 1},   {"Cu", "Ni", 0}, {"Cu", "Cu_pv", 0},
    };
    for (const auto& c : cases) {
        QB_tools s = orthogonal_sample();
        if (c.first) QB_save_elename(&s, 0, c.first);
        if (c.second) QB_save_elename(&s, 1, c.second);
        EXPECT_EQ(QB_vasp_unnamed_type(&s), c.unnamed) << (c.first ? c.first : "-");
        for (auto writer : {QB_dump_vasp_Direct, QB_dump_vasp_Cartesian}) {
            const std::string fresh = path("fresh.POSCAR"), old = path("old.POSCAR");
            std::remove(fresh.c_str());
            std::ofstream(old) << kept;
            if (c.unnamed == 0) {
                EXPECT_EQ(writer(&s, fresh.c_str()), 1);
                continue;
            }
            EXPECT_EQ(writer(&s, fresh.c_str()), QB_WRITE_UNNAMED);
            EXPECT_FALSE(std::filesystem::exists(fresh));
            EXPECT_EQ(writer(&s, old.c_str()), QB_WRITE_UNNAMED);
            EXPECT_EQ(slurp(old), kept);
        }
    }
}

// Element names travel through every format that holds them: the POSCAR
// species line, the extended XYZ species and the comments of a data file's
// Masses.
TEST_F(Formats, ElementNamesRoundTripThroughEveryFormatThatHoldsThem) {
    const struct {
        const char* file;
        int (*writer)(QB_tools*, const char*);
        int code;
    } formats[] = {
        {"n.lmp", QB_dump_lmp, 1},
        {"n.POSCAR", QB_dump_vasp_Direct, 5},
        {"c.POSCAR", QB_dump_vasp_Cartesian, 5},
        {"n.xyz", QB_dump_extxyz, QB_READ_EXTXYZ},
        {"n.lmp.gz", QB_dump_lmp, 1},
    };
    for (bool tilted : {false, true}) {
        QB_tools s = tilted ? triclinic_sample() : orthogonal_sample();
        const std::vector<std::string> names = tilted ? std::vector<std::string>{"Ni", "Al", "Cu"}
                                                      : std::vector<std::string>{"Cu", "Ni"};
        for (size_t k = 0; k < names.size(); k++) QB_save_elename(&s, static_cast<int>(k), names[k].c_str());
        for (const auto& f : formats) {
            ASSERT_EQ(f.writer(&s, path(f.file).c_str()), 1) << f.file;
            QB_tools r;
            ASSERT_EQ(QB_read_file(&r, path(f.file).c_str()), f.code) << f.file;
            ASSERT_EQ(r.ntypes, s.ntypes) << f.file;
            EXPECT_EQ(QB_elename_list(&r), QB_elename_list(&s)) << f.file;
            for (int i = 0; i < r.natoms; i++) {
                // Each atom keeps the element of its type (POSCAR groups atoms by type).
                std::string name;
                QB_load_elename(&r, r.atoms[i].type - 1, name);
                EXPECT_FALSE(name.empty()) << f.file;
            }
        }
    }
}

TEST_F(Formats, DataFileMassesNameTheTypes) {
    QB_tools s = orthogonal_sample();
    EXPECT_EQ(QB_lammps_masses(&s), "");
    ASSERT_EQ(QB_dump_lmp(&s, path("none.lmp").c_str()), 1);
    const std::string without = slurp(path("none.lmp"));
    EXPECT_EQ(without.find("Masses"), std::string::npos);
    // A section only when every type is named after an element (its mass known).
    QB_save_elename(&s, 0, "Cu");
    EXPECT_EQ(QB_lammps_masses(&s), "");
    QB_save_elename(&s, 1, "Cu_pv");
    EXPECT_EQ(QB_lammps_masses(&s), "");
    QB_save_elename(&s, 1, "Ni");
    EXPECT_EQ(QB_lammps_masses(&s), "\nMasses\n\n1\t63.546000\t# Cu\n2\t58.693400\t# Ni\n");
    ASSERT_EQ(QB_dump_lmp(&s, path("named.lmp").c_str()), 1);
    const std::string with = slurp(path("named.lmp"));
    const size_t atoms = without.find("\nAtoms\n");
    ASSERT_NE(atoms, std::string::npos);
    // The same file with the section before "Atoms".
    EXPECT_EQ(with, without.substr(0, atoms) + QB_lammps_masses(&s) + without.substr(atoms));

    // Data files of other programs: the comment's first word when it is an
    // element symbol, anything else passed over; the atoms read as before.
    const std::string head = "t\n\n2 atoms\n3 atom types\n0 4 xlo xhi\n0 4 ylo yhi\n0 4 zlo zhi\n\n";
    const std::string atoms_part = "\nAtoms # atomic\n\n1 1 0 0 0\n2 3 1 1 1\n";
    const struct {
        const char* masses;
        const char* names;
    } cases[] = {
        {"Masses\n\n1 63.546 # Cu\n2 58.6934 # Ni\n3 26.98 # Al\n", "Cu,Ni,Al"},
        {"Masses # amu\n\n1 63.546 #Cu\n2 58.6934\n3 26.98 # Al Ni\n", "Cu,,Al"},
        {"Masses\n\n1 63.546 # copper\n2 1 # type 2\n3 1 # 3\n", ",,"},
        {"Masses\n\n9 63.546 # Cu\n3 1 # O\n", ",,O"},
        {"Masses\n\n1 63.546 # Cu\n\nPair Coeffs # eam\n\n1 2 # Ni\n", "Cu,,"},
    };
    for (const auto& c : cases) {
        QB_tools r;
        ASSERT_EQ(QB_read_file(&r, write("m.lmp", head + c.masses + atoms_part).c_str()), 1) << c.masses;
        EXPECT_EQ(r.natoms, 2);
        EXPECT_EQ(r.atoms[1].type, 3);
        EXPECT_EQ(QB_elename_list(&r), c.names) << c.masses;
    }
}

// ASE's dummy species X names no element: a model whose types have no names
// goes through extended XYZ without gaining any.
TEST_F(Formats, ExtendedXyzDummySpeciesNamesNothing) {
    QB_tools s = orthogonal_sample();
    ASSERT_EQ(QB_dump_extxyz(&s, path("x.xyz").c_str()), 1);
    EXPECT_NE(slurp(path("x.xyz")).find("\nX "), std::string::npos);
    QB_tools r;
    ASSERT_EQ(QB_read_file(&r, path("x.xyz").c_str()), QB_READ_EXTXYZ);
    EXPECT_EQ(r.ntypes, 2);  // kept apart by the type column
    EXPECT_EQ(QB_unnamed_type(&r), 1);
    EXPECT_EQ(QB_dump_vasp_Direct(&r, path("x.POSCAR").c_str()), QB_WRITE_UNNAMED);
    // One named type, one not.
    QB_save_elename(&s, 1, "Ni");
    ASSERT_EQ(QB_dump_extxyz(&s, path("y.xyz").c_str()), 1);
    ASSERT_EQ(QB_read_file(&r, path("y.xyz").c_str()), QB_READ_EXTXYZ);
    EXPECT_EQ(QB_elename_list(&r), ",Ni");
}

TEST_F(Formats, EngineHeaders) {
    const std::string p = path("h.txt");
    FILE* f = aaopenfile(p.c_str(), "w");
    ASSERT_NE(f, nullptr);
    const double lo[3] = {0, -1, 2.5}, hi[3] = {10, 1, 3};
    out_lmp_head(f, "id type x y z nye", 12, 500, lo, hi);
    out_imd_head(f, "number type x y z", 12, hi);
    out_data_head(f, 12, 2, lo, hi);
    std::fclose(f);
    EXPECT_EQ(slurp(p),
              "ITEM: TIMESTEP\n500\nITEM: NUMBER OF ATOMS\n12\nITEM: BOX BOUNDS pp pp pp\n"
              "0.000000 10.000000\n-1.000000 1.000000\n2.500000 3.000000\nITEM: ATOMS id type x y z nye\n"
              "#F A 0 0 0 3 0 0\n#C number type x y z\n#X 10.000000 0.0 0.0\n#Y 0.0 1.000000 0.0\n"
              "#Z 0.0 0.0 3.000000\n#E\n"
              "\n12 atoms\n2 atom types\n0.000000 10.000000 xlo xhi\n-1.000000 1.000000 ylo yhi\n"
              "2.500000 3.000000 zlo zhi\n\nAtoms\n\n");
    EXPECT_EQ(aaopenfile(path("no/such/dir/x").c_str(), "w"), nullptr);  // no wait for a key
}

// ---------------------------------------------------------------- round trips

TEST_F(Formats, RoundTripsKeepAtomsBoxAndColumns) {
    QB_tools s = orthogonal_sample();
    s.channel_names = {"vx"};
    s.channel_data = {{0.5, -0.25, 3}};
    s.channel_count = 1;
    QB_add_exdouble(&s, "csp");
    QB_save_data(&s, 1, "csp", 2.75);

    ASSERT_EQ(QB_dump_lmp(&s, path("a.lmp").c_str()), 1);
    QB_tools r;
    ASSERT_EQ(QB_read_file(&r, path("a.lmp").c_str()), 1);
    ASSERT_EQ(r.natoms, 3);
    EXPECT_EQ(r.ntypes, 2);
    EXPECT_EQ(r.triclinic, 0);
    for (int d = 0; d < 3; d++) {
        EXPECT_DOUBLE_EQ(r.lo[d], s.lo[d]);
        EXPECT_DOUBLE_EQ(r.size[d], s.size[d]);
        EXPECT_DOUBLE_EQ(r.cell[d][d], s.size[d]);
        EXPECT_DOUBLE_EQ(r.origin[d], s.lo[d]);
    }
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(r.atoms[i].id, s.atoms[i].id);
        EXPECT_EQ(r.atoms[i].type, s.atoms[i].type);
        EXPECT_NEAR(r.atoms[i].z, s.atoms[i].z, 5e-7);
    }

    ASSERT_EQ(QB_dump_lmc(&s, path("a.lmc").c_str()), 1);
    QB_tools d;
    ASSERT_EQ(QB_read_file(&d, path("a.lmc").c_str()), 3);
    ASSERT_EQ(d.channel_count, 2);
    EXPECT_EQ(d.channel_names[0], "vx");
    EXPECT_EQ(d.channel_names[1], "csp");
    EXPECT_DOUBLE_EQ(QB_get_data(&d, 2, "vx"), 3);
    EXPECT_DOUBLE_EQ(QB_get_data(&d, 1, "csp"), 2.75);
    EXPECT_NEAR(d.atoms[1].x, 3.0, 1e-6);
    for (int k = 0; k < 3; k++) EXPECT_EQ(d.periodic[k], 1);

    QB_save_elename(&s, 0, "Cu");
    QB_save_elename(&s, 1, "Ni");
    for (auto writer : {QB_dump_vasp_Direct, QB_dump_vasp_Cartesian}) {
        ASSERT_EQ(writer(&s, path("a.POSCAR").c_str()), 1);
        QB_tools v;
        ASSERT_EQ(QB_read_file(&v, path("a.POSCAR").c_str()), 5);
        ASSERT_EQ(v.natoms, 3);
        EXPECT_EQ(v.triclinic, 1);
        EXPECT_EQ(v.ntypes, 2);
        // Atoms come out grouped by type, relative to the box corner.
        EXPECT_NEAR(v.atoms[1].x, 7 - s.lo[0], 1e-5);
        EXPECT_NEAR(v.atoms[2].z, 9.75 - s.lo[2], 1e-5);
        EXPECT_EQ(v.atoms[2].type, 2);
        EXPECT_NEAR(v.size[1], 11, 1e-9);
    }
}

TEST_F(Formats, TriclinicRoundTripsAreTheSameCrystal) {
    // A general cell (not in LAMMPS' restricted form) with large tilts.
    QB_tools s;
    QB_init(&s);
    s.triclinic = 1;
    const double cell[3][3] = {{4, 1, 0.5}, {7, 5, -1}, {-6, 7, 8}};
    for (int e = 0; e < 3; e++)
        for (int d = 0; d < 3; d++) s.cell[e][d] = cell[e][d];
    QB_random g;
    for (int i = 0; i < 12; i++) {
        const double f[3] = {g.next() / 32768.0, g.next() / 32768.0, g.next() / 32768.0};
        double p[3];
        for (int d = 0; d < 3; d++) p[d] = f[0] * cell[0][d] + f[1] * cell[1][d] + f[2] * cell[2][d];
        QB_create_atom(&s, 1 + i % 2, p[0], p[1], p[2]);
    }
    QB_save_elename(&s, 0, "Al");
    QB_save_elename(&s, 1, "Mg");
    for (auto writer : {QB_dump_lmp, QB_dump_lmc, QB_dump_vasp_Direct, QB_dump_vasp_Cartesian}) {
        ASSERT_EQ(writer(&s, path("t.out").c_str()), 1);
        QB_tools r;
        const int code = QB_read_file(&r, path("t.out").c_str());
        ASSERT_TRUE(code == 1 || code == 3 || code == 5) << code;
        EXPECT_EQ(r.triclinic, 1);
        expect_same_crystal(s, r, 2e-5);
        if (code != 5) {
            // LAMMPS accepts the box: every tilt within half its box length.
            const double lx = r.cell[0][0], ly = r.cell[1][1];
            EXPECT_LE(std::fabs(r.cell[1][0]), lx / 2 + 1e-6);
            EXPECT_LE(std::fabs(r.cell[2][0]), lx / 2 + 1e-6);
            EXPECT_LE(std::fabs(r.cell[2][1]), ly / 2 + 1e-6);
        }
    }
}

TEST_F(Formats, DegenerateCellIsRefusedAndExistingFilesSurviveFailedWrites) {
    QB_tools s = triclinic_sample();
    const double flat[3][3] = {{6, 0, 0}, {3, 0, 0}, {0, 0, 7}};
    for (int e = 0; e < 3; e++)
        for (int d = 0; d < 3; d++) s.cell[e][d] = flat[e][d];
    const std::string keep = write("keep.lmp", "precious");
    EXPECT_EQ(QB_dump_lmp(&s, keep.c_str()), -2);
    EXPECT_EQ(QB_dump_lmc(&s, keep.c_str()), -2);
    EXPECT_EQ(QB_dump_vasp_Direct(&s, keep.c_str()), -2);
    EXPECT_EQ(slurp(keep), "precious");

    QB_tools o = orthogonal_sample();
    fs::create_directory(path("occupied.lmp"));  // the rename onto it fails
    EXPECT_EQ(QB_dump_lmp(&o, path("occupied.lmp").c_str()), -1);
    EXPECT_TRUE(fs::is_directory(path("occupied.lmp")));
    EXPECT_EQ(QB_dump_lmc(&o, path("missing/dir/x.lmc").c_str()), -1);
    int leftovers = 0;
    for (const auto& e : fs::directory_iterator(dir_)) leftovers += e.path().filename().string()[0] == '.';
    EXPECT_EQ(leftovers, 0);  // no temporary file stays behind
    ASSERT_EQ(QB_dump_lmp(&o, keep.c_str()), 1);
    EXPECT_NE(slurp(keep), "precious");
}

// ------------------------------------------------------ files of other tools

TEST_F(Formats, LammpsFilesReadTheSameFromDataAndDump) {
    for (const char* name : {"lammps_fcc", "lammps_tric"}) {
        QB_tools data, dump;
        ASSERT_EQ(QB_read_file(&data, (kFixtures + name + ".data").c_str()), 1) << name;
        ASSERT_EQ(QB_read_file(&dump, (kFixtures + name + ".dump").c_str()), 3) << name;
        ASSERT_EQ(data.natoms, dump.natoms);
        EXPECT_EQ(data.ntypes, dump.ntypes);
        EXPECT_EQ(data.triclinic, dump.triclinic);
        for (int e = 0; e < 3; e++) {
            EXPECT_NEAR(data.origin[e], dump.origin[e], 1e-9) << name;
            EXPECT_NEAR(data.lo[e], dump.lo[e], 1e-9) << name;
            EXPECT_NEAR(data.size[e], dump.size[e], 1e-9) << name;
            for (int d = 0; d < 3; d++) EXPECT_NEAR(data.cell[e][d], dump.cell[e][d], 1e-9) << name;
        }
        for (int i = 0; i < data.natoms; i++) {
            EXPECT_EQ(data.atoms[i].id, dump.atoms[i].id);
            EXPECT_EQ(data.atoms[i].type, dump.atoms[i].type);
            EXPECT_NEAR(data.atoms[i].x, dump.atoms[i].x, 1e-9);
            EXPECT_NEAR(data.atoms[i].z, dump.atoms[i].z, 1e-9);
        }
    }
    // The fcc block: 2 x 1 x 2 oriented cells of 8 atoms, two types.
    QB_tools fcc;
    QB_read_file(&fcc, (kFixtures + "lammps_fcc.data").c_str());
    EXPECT_EQ(fcc.natoms, 32);
    EXPECT_EQ(fcc.ntypes, 2);
    // The bcc prism is periodic in x and y only and carries a kinetic energy column.
    QB_tools tric;
    QB_read_file(&tric, (kFixtures + "lammps_tric.dump").c_str());
    EXPECT_EQ(tric.periodic[2], 0);
    EXPECT_EQ(tric.periodic[0], 1);
    ASSERT_EQ(tric.channel_count, 1);
    EXPECT_EQ(tric.channel_names[0], "c_ke");
    EXPECT_DOUBLE_EQ(tric.channel_data[0][0], 0.0196984017075);
    EXPECT_DOUBLE_EQ(tric.cell[1][0], 3.444);
}

TEST_F(Formats, AseFilesGiveAsesPositions) {
    auto positions = [](const std::string& file) {
        std::ifstream in(kFixtures + file);
        std::vector<std::array<double, 3>> out;
        std::array<double, 3> p;
        while (in >> p[0] >> p[1] >> p[2]) out.push_back(p);
        return out;
    };
    const auto nacl = positions("ase_nacl_positions.txt");
    for (const char* name : {"ase_nacl.data", "ase_nacl_direct.POSCAR", "ase_nacl_cart.POSCAR"}) {
        QB_tools s;
        const int code = QB_read_file(&s, (kFixtures + name).c_str());
        ASSERT_TRUE(code == 1 || code == 5) << name;
        ASSERT_EQ(s.natoms, static_cast<int>(nacl.size()));
        EXPECT_EQ(s.ntypes, 2);
        for (int i = 0; i < s.natoms; i++) {
            EXPECT_NEAR(s.atoms[i].x, nacl[i][0], 1e-9) << name;
            EXPECT_NEAR(s.atoms[i].y, nacl[i][1], 1e-9) << name;
            EXPECT_NEAR(s.atoms[i].z, nacl[i][2], 1e-9) << name;
        }
        if (code == 5) {
            std::string element;
            QB_load_elename(&s, 1, element);
            EXPECT_EQ(element, "Na");
            EXPECT_EQ(s.atoms[0].type, 1);
            EXPECT_EQ(s.atoms[15].type, 2);
        }
    }
    // The primitive fcc cell: a general cell in the POSCAR, the restricted
    // form in the data file, one crystal.
    QB_tools general, restricted;
    ASSERT_EQ(QB_read_file(&general, (kFixtures + "ase_cu_primitive.POSCAR").c_str()), 5);
    ASSERT_EQ(QB_read_file(&restricted, (kFixtures + "ase_cu_primitive.data").c_str()), 1);
    const auto cu = positions("ase_cu_primitive_positions.txt");
    for (int i = 0; i < general.natoms; i++) EXPECT_NEAR(general.atoms[i].y, cu[i][1], 1e-9);
    expect_same_crystal(general, restricted, 1e-9);
}

// ------------------------------------------------------------- reader rules

TEST_F(Formats, DumpReaderRules) {
    const std::string head = "ITEM: TIMESTEP\n0\nITEM: NUMBER OF ATOMS\n3\nITEM: BOX BOUNDS pp ss pp\n0 10\n0 10\n0 10\n";
    QB_tools s;
    ASSERT_EQ(QB_read_file(&s, write("a.lmc", head + "ITEM: ATOMS type x y z c_pe\n0 1 1 1 -1\n2 2 2 2 -2\n1 3 3 3 -3\n")
                                    .c_str()),
              3);
    EXPECT_EQ(s.periodic[0], 1);
    EXPECT_EQ(s.periodic[1], 0);
    EXPECT_EQ(s.periodic[2], 1);
    EXPECT_EQ(s.atoms[2].id, 3);  // no id column: 1 ... N
    EXPECT_EQ(s.atoms[0].type, 1);  // types 0 ... 2 become 1 ... 3
    EXPECT_EQ(s.atoms[1].type, 3);
    EXPECT_EQ(s.ntypes, 3);
    ASSERT_EQ(s.channel_count, 1);
    EXPECT_EQ(s.channel_names[0], "c_pe");
    EXPECT_DOUBLE_EQ(s.channel_data[0][1], -2);

    // Old layout without boundary words.
    ASSERT_EQ(QB_read_file(&s, write("b.lmc", "ITEM: TIMESTEP\n0\nITEM: NUMBER OF ATOMS\n1\nITEM: BOX BOUNDS\n0 5\n0 5\n"
                                              "0 5\nITEM: ATOMS id type x y z\n7 2 1 2 3\n")
                                    .c_str()),
              3);
    EXPECT_EQ(s.atoms[0].id, 7);
    EXPECT_DOUBLE_EQ(s.size[2], 5);

    // No position columns: refused with a code, the program goes on.
    EXPECT_EQ(QB_read_file(&s, write("c.lmc", head + "ITEM: ATOMS id type vx vy vz\n1 1 0 0 0\n2 1 0 0 0\n3 1 0 0 0\n")
                                   .c_str()),
              4);
    EXPECT_EQ(s.natoms, 0);

    // A bad number fails the read, and the next good file is not failed by it.
    EXPECT_EQ(QB_read_file(&s, write("d.lmc", head + "ITEM: ATOMS id type x y z\n1 1 0 0 0\n2 1 0 x7 0\n3 1 0 0 0\n")
                                   .c_str()),
              0);
    EXPECT_EQ(QB_read_lmc(&s, path("a.lmc").c_str()), 1);

    // Only the first frame of a trajectory; an empty frame reads as no atoms.
    ASSERT_EQ(QB_read_file(&s, write("e.lmc", head + "ITEM: ATOMS id type x y z\n1 1 0 0 0\n2 1 1 0 0\n3 1 2 0 0\n" + head +
                                                  "ITEM: ATOMS id type x y z\n1 1 9 0 0\n2 1 9 0 0\n3 1 9 0 0\n")
                                    .c_str()),
              3);
    EXPECT_DOUBLE_EQ(s.atoms[2].x, 2);
    ASSERT_EQ(QB_read_file(&s, write("f.lmc", "ITEM: TIMESTEP\n0\nITEM: NUMBER OF ATOMS\n0\nITEM: BOX BOUNDS pp pp pp\n0 1\n"
                                              "0 1\n0 1\nITEM: ATOMS id type x y z\nITEM: TIMESTEP\n5\n")
                                    .c_str()),
              3);
    EXPECT_EQ(s.natoms, 0);
}

TEST_F(Formats, PoscarReaderRules) {
    QB_tools s;
    const std::string cell = "test\n2.0\n1 0 0\n0 2 0\n0 0 3\n";
    ASSERT_EQ(QB_read_file(&s, write("a.POSCAR", cell + "Fe Ni\n1 2\nSelective dynamics\nCartesian\n0.5 0.5 0.5 T T F\n"
                                                       "1 1 1 F F F Ni\n0.25 0 1 T T T\n")
                                   .c_str()),
              5);
    ASSERT_EQ(s.natoms, 3);
    EXPECT_DOUBLE_EQ(s.atoms[0].x, 1.0);  // Cartesian values times the scale
    EXPECT_DOUBLE_EQ(s.atoms[2].z, 2.0);
    EXPECT_EQ(s.atoms[1].type, 2);
    EXPECT_DOUBLE_EQ(s.cell[1][1], 4);
    EXPECT_DOUBLE_EQ(s.size[2], 6);

    // No species line: no names, and none are made up when written again.
    ASSERT_EQ(QB_read_file(&s, write("b.POSCAR", cell + "2\nDirect\n0 0 0\n0.5 0.5 0.5\n").c_str()), 5);
    std::string name = "?";
    QB_load_elename(&s, 0, name);
    EXPECT_EQ(name, "");
    EXPECT_EQ(QB_dump_vasp_Direct(&s, path("b2.POSCAR").c_str()), QB_WRITE_UNNAMED);
    EXPECT_DOUBLE_EQ(s.atoms[1].y, 2.0);

    // A negative scale is the volume of the cell: 6 -> 48 doubles every edge.
    ASSERT_EQ(QB_read_file(&s, write("c.POSCAR", "v\n-48\n1 0 0\n0 2 0\n0 0 3\nAl\n1\nDirect\n0.5 0.5 0.5\n").c_str()),
              5);
    EXPECT_NEAR(s.cell[0][0], 2, 1e-12);
    EXPECT_NEAR(s.cell[2][2], 6, 1e-12);
    EXPECT_NEAR(s.atoms[0].y, 2, 1e-12);

    // Species with no atoms keep their type numbers.
    ASSERT_EQ(QB_read_file(&s, write("d.POSCAR", cell + "A B C\n1 0 1\nDirect\n0 0 0\n0.5 0 0\n").c_str()), 5);
    EXPECT_EQ(s.ntypes, 3);
    EXPECT_EQ(s.atoms[1].type, 3);
}

TEST_F(Formats, DataFilesOfLammpsAndAseLayouts) {
    QB_tools s;
    const std::string head = "title\n\n3 atoms\n2 atom types\n\n0 10 xlo xhi\n0 10 ylo yhi\n0 10 zlo zhi\n\n";
    ASSERT_EQ(QB_read_file(&s, write("a.lmp", head + "Masses\n\n1 63.5\n2 58.7\n\nAtoms # atomic\n\n"
                                                     "1 1 1 2 3 0 0 0\n2 2 4 5 6 1 -1 0\n3 1 7 8 9 0 0 0\n\n"
                                                     "Velocities\n\n1 0 0 0\n2 0 0 0\n3 0 0 0\n")
                                   .c_str()),
              1);
    ASSERT_EQ(s.natoms, 3);
    EXPECT_DOUBLE_EQ(s.atoms[1].y, 5);  // image flags are not shifted into positions
    EXPECT_EQ(s.atoms[1].type, 2);
    EXPECT_DOUBLE_EQ(s.atoms[2].z, 9);

    // CRLF line ends read the same.
    std::string crlf = head + "Atoms\n\n1 1 1 2 3\n2 2 4 5 6\n3 1 7 8 9\n";
    for (size_t k = 0; (k = crlf.find('\n', k)) != std::string::npos; k += 2) crlf.replace(k, 1, "\r\n");
    ASSERT_EQ(QB_read_file(&s, write("b.lmp", crlf).c_str()), 1);
    EXPECT_DOUBLE_EQ(s.atoms[2].x, 7);

    // A type above the header's count raises the count instead of running past per-type tables.
    ASSERT_EQ(QB_read_file(&s, write("c.lmp", head + "Atoms\n\n1 1 1 2 3\n2 5 4 5 6\n3 1 7 8 9\n").c_str()), 1);
    EXPECT_EQ(s.ntypes, 5);
}

// A malformed file gives its code and no crash.
TEST_F(Formats, MalformedFilesGiveTheirCodes) {
    const std::string data = "t\n2 atoms\n1 atom types\n0 5 xlo xhi\n0 5 ylo yhi\n0 5 zlo zhi\n\nAtoms\n\n";
    const std::string dump = "ITEM: TIMESTEP\n0\nITEM: NUMBER OF ATOMS\n2\nITEM: BOX BOUNDS pp pp pp\n0 5\n0 5\n0 5\n"
                             "ITEM: ATOMS id type x y z\n";
    const std::string poscar = "p\n1.0\n5 0 0\n0 5 0\n0 0 5\nCu\n2\nDirect\n";
    std::string noise;
    QB_random g;
    for (int k = 0; k < 4000; k++) noise.push_back(static_cast<char>(g.next() & 0xFF));
    const struct {
        const char* name;
        std::string text;
        int code;
    } cases[] = {
        {"empty", "", 0},
        {"binary noise", noise, 0},
        {"blank lines", "\n\n\n   \n", 0},
        {"data ok", data + "1 1 0 0 0\n2 1 1 1 1\n", 1},
        {"data truncated", data + "1 1 0 0 0\n", 2},
        {"data truncated mid-line", data + "1 1 0 0 0\n2 1 1", 2},
        {"data huge count", "t\n2000000000 atoms\n1 atom types\n0 5 xlo xhi\n0 5 ylo yhi\n0 5 zlo zhi\n\nAtoms\n\n1 1 0 0 0\n", 2},
        {"data count beyond int", "t\n99999999999 atoms\n1 atom types\n0 5 xlo xhi\n0 5 ylo yhi\n0 5 zlo zhi\nAtoms\n", 0},
        {"data charge style", data + "1 1 0.5 0 0 0\n2 1 0.5 1 1 1\n", 2},
        {"data seven columns", data + "1 1 0 0 0 0 0\n2 1 1 1 1 0 0\n", 2},
        {"data type zero", data + "1 0 0 0 0\n2 1 1 1 1\n", 2},
        {"data huge type", data + "1 5000000 0 0 0\n2 1 1 1 1\n", 2},
        {"data huge type count", "t\n2 atoms\n99999999 atom types\n0 5 xlo xhi\n0 5 ylo yhi\n0 5 zlo zhi\nAtoms\n\n1 1 0 0 0\n2 1 0 0 0\n", 0},
        {"data garbage number", data + "1 1 0 abc 0\n2 1 1 1 1\n", 2},
        {"data fractional id", data + "1.5 1 0 0 0\n2 1 1 1 1\n", 2},
        {"data no Atoms", "t\n2 atoms\n1 atom types\n0 5 xlo xhi\n0 5 ylo yhi\n0 5 zlo zhi\n", 0},
        {"dump ok", dump + "1 1 0 0 0\n2 1 1 1 1\n", 3},
        {"dump truncated", dump + "1 1 0 0 0\n2 1 1\n", 4},
        {"dump huge type", dump + "1 5000000 0 0 0\n2 1 1 1 1\n", 4},
        {"dump types far below one", dump + "1 -5000000 0 0 0\n2 1 1 1 1\n", 4},
        {"dump huge count",
         "ITEM: TIMESTEP\n0\nITEM: NUMBER OF ATOMS\n1e15\nITEM: BOX BOUNDS pp pp pp\n0 5\n0 5\n0 5\nITEM: ATOMS id type x y "
         "z\n1 1 0 0 0\n",
         4},
        {"dump negative count", "ITEM: TIMESTEP\n0\nITEM: NUMBER OF ATOMS\n-3\nITEM: BOX BOUNDS pp pp pp\n0 5\n", 0},
        {"dump header only", "ITEM: TIMESTEP\n0\nITEM: NUMBER OF ATOMS\n", 0},
        {"poscar ok", poscar + "0 0 0\n0.5 0.5 0.5\n", 5},
        {"poscar truncated", poscar + "0 0 0\n0.5 0.5\n", 6},
        {"poscar huge counts", "p\n1.0\n5 0 0\n0 5 0\n0 0 5\nCu\n2000000000\nDirect\n0 0 0\n", 6},
        {"poscar counts beyond int", "p\n1.0\n5 0 0\n0 5 0\n0 0 5\nCu Ni\n2000000000 2000000000\nDirect\n0 0 0\n", 6},
        {"poscar negative count", "p\n1.0\n5 0 0\n0 5 0\n0 0 5\nCu\n-2\nDirect\n0 0 0\n", 0},
        {"poscar zero volume negative scale", "p\n-10\n5 0 0\n5 0 0\n0 0 5\nCu\n1\nDirect\n0 0 0\n", 0},
        {"poscar no coordinates line", "p\n1.0\n5 0 0\n0 5 0\n0 0 5\nCu\n2\n", 0},
    };
    for (const auto& c : cases) {
        QB_tools s;
        QB_create_atom(&s, 1, 0, 0, 0);
        EXPECT_EQ(QB_read_file(&s, write("case", c.text).c_str()), c.code) << c.name;
        if (c.code % 2 == 0) {
            EXPECT_EQ(s.natoms, 0) << c.name;
        }
    }
    QB_tools s;
    EXPECT_EQ(QB_read_file(&s, path("does-not-exist").c_str()), QB_READ_UNREADABLE);
    EXPECT_EQ(QB_read_lmp(&s, path("does-not-exist").c_str()), -1);
}

// -------------------------------------------------------- numbers as text

TEST(NumberText, FastSixDecimalsEqualPrintf) {
    QB_random g;
    g.seed(3);
    std::vector<double> values = {0.0, -0.0, 0.5e-6, 0.49999999e-6, 2.5e-7, 1.0000005, 2.0000005, 123456789.1234565,
                                  1e20, -1e-300, 3.6149098873, 0.1, 5e-7, 1.5e-6, 9.9999995, 1.0 / 3};
    for (int k = 0; k < 20000; k++) {
        const double mantissa = (g.next() * 32768.0 + g.next()) / (1 << 30);
        const int exponent = g.next() % 30 - 12;
        values.push_back((g.next() & 1 ? -1 : 1) * std::ldexp(mantissa, exponent));
        values.push_back(std::round(mantissa * 1e6) / 1e6 + 5e-7);  // near ties of the sixth decimal
        // Full 53-bit mantissas over the whole range a model can hold, and
        // far beyond (2^100 and more, below 2^-75).
        const double full = (mantissa * 8388608.0 + g.next() * 256.0 + g.next() % 256) / 8388608.0;
        values.push_back((g.next() & 1 ? -1 : 1) * std::ldexp(full, g.next() % 220 - 100));
        // Exact ties: odd multiples of 1/128 are whole numbers and a half
        // of millionths, which go to the even one.
        const double tie = (2 * (g.next() % 4096) + 1) / 128.0 + (g.next() % 3 == 0 ? g.next() * 1024.0 : 0);
        values.push_back(g.next() & 1 ? -tie : tie);
    }
    for (int e = 95; e <= 105; e++) values.push_back(std::nextafter(std::ldexp(1.0, e), 0.0));
    for (double v : values) {
        char fast[352], slow[352];
        const int n = QB_format_lf(fast, v);
        std::snprintf(slow, sizeof slow, "%lf", v);
        ASSERT_EQ(std::string(fast, static_cast<size_t>(n)), std::string(slow)) << v;
    }
}

TEST(NumberText, TokensConvertAsStrtodDoes) {
    testing::internal::CaptureStdout();
    QB_checkdat_err = 0;
    EXPECT_DOUBLE_EQ(QB_checkdat("2.5e3"), 2500);
    EXPECT_DOUBLE_EQ(QB_checkdat("+7"), 7);
    EXPECT_DOUBLE_EQ(QB_checkdat("0x10"), 16);
    EXPECT_TRUE(std::isinf(QB_checkdat("1e999")));
    EXPECT_EQ(QB_checkdat_err, 0);
    EXPECT_DOUBLE_EQ(QB_checkdat("12abc"), 12);
    EXPECT_EQ(QB_checkdat_err, 1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, ">>ERROR: error data type abc should be float or int type\n");
    QB_checkdat_err = 0;
    EXPECT_EQ(QB_checkchar("1.5"), 0);
    EXPECT_EQ(QB_checkchar("-3e-2"), 0);
    EXPECT_EQ(QB_checkchar("1.5x"), 1);
    EXPECT_EQ(QB_checkchar("Cu"), 1);
    EXPECT_EQ(QB_checkchar("+-1"), 1);
}

TEST_F(Formats, FilesKeepTheDecimalPointInACommaLocale) {
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) GTEST_SKIP() << "no locale with a decimal comma installed";
    QB_tools s = triclinic_sample();
    for (int k = 0; k < s.ntypes; k++) QB_save_elename(&s, k, "Fe");
    const int lmp = QB_dump_lmp(&s, path("l.lmp").c_str());
    const int poscar = QB_dump_vasp_Direct(&s, path("l.POSCAR").c_str());
    if (lmp != 1 || poscar != 1) std::setlocale(LC_ALL, "C");
    ASSERT_EQ(lmp, 1);
    ASSERT_EQ(poscar, 1);
    FILE* f = std::fopen(path("h.txt").c_str(), "w");
    const double lo[3] = {0.5, 0, 0}, hi[3] = {1, 1, 1};
    out_data_head(f, 1, 1, lo, hi);
    std::fclose(f);
    QB_tools r, v;
    const int code = QB_read_file(&r, path("l.lmp").c_str());
    const int vcode = QB_read_file(&v, path("l.POSCAR").c_str());
    std::setlocale(LC_ALL, "C");
    EXPECT_EQ(code, 1);
    EXPECT_EQ(vcode, 5);
    EXPECT_DOUBLE_EQ(r.atoms[2].x, 4.5);
    EXPECT_NE(slurp(path("l.lmp")).find("1.500000\txy xz yz"), std::string::npos);
    EXPECT_NE(slurp(path("l.lmp")).find("\t55.845000\t# Fe\n"), std::string::npos);
    EXPECT_NE(slurp(path("h.txt")).find("0.500000 1.000000 xlo xhi"), std::string::npos);
    EXPECT_NEAR(v.atoms[2].z, 6, 1e-5);
}
