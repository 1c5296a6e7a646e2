// Displacement vectors (DVA) and interlayer disregistry (IDA): a deformed
// configuration against its reference, matched by atom id.
#include <cmath>

#include "dislocation/crystal_maker.h"
#include "dislocation/kavir_test.h"

namespace {

using Compare = QuietStdoutTest;

const double kIdentity[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};

TestCrystal cube(int n) {
    const int rep[3] = {n, n, n};
    const double period[3] = {kCu, kCu, kCu};
    return make_crystal("fcc", kCu, kIdentity, period, rep);
}

std::string fixture(const std::string& name) { return std::string(QUELM_TEST_DATA) + "/dislocation/fixtures/" + name; }

TEST_F(Compare, DisplacementsMatchLammpsAtomByAtom) {
    // LAMMPS moved every atom at random, then all by (1.7, -0.9, 0.6) across
    // the periodic faces, then made the box 2 % longer along x; the
    // deformed file lists the atoms shuffled, with compute displace/atom.
    ScratchDir dir;
    const std::string inpar = "#dva\nread_datafile_def " + fixture("dva_def.dump") + "\nread_datafile_ref " +
                              fixture("dva_ref.dump") + "\nwrite_datafile dva.lmp\neliminate_cell off\n";
    const KavirOutcome o = run_kavir(dir, inpar);
    ASSERT_EQ(o.status, 0) << o.messages;
    const KavirResult lammps = read_result(fixture("dva_def.dump"));
    const KavirResult r = read_result(dir.path("dva.lmp"));
    ASSERT_EQ(r.size(), 256u);
    for (size_t i = 0; i < r.size(); i++) {
        ASSERT_EQ(r.id[i], lammps.id[i]);  // input order kept
        ASSERT_NEAR(r("Displacement.X", i), lammps("c_dsp[1]", i), 1e-8) << "atom " << r.id[i];
        ASSERT_NEAR(r("Displacement.Y", i), lammps("c_dsp[2]", i), 1e-8) << "atom " << r.id[i];
        ASSERT_NEAR(r("Displacement.Z", i), lammps("c_dsp[3]", i), 1e-8) << "atom " << r.id[i];
    }
    // With the box change taken out (relative to each box's corner), x loses
    // the 2 % stretch; y and z stay as they were.
    const KavirOutcome on = run_kavir(dir, "#dva\nread_datafile_def " + fixture("dva_def.dump") + "\nread_datafile_ref " +
                                               fixture("dva_ref.dump") + "\nwrite_datafile on.lmp\neliminate_cell on\n");
    ASSERT_EQ(on.status, 0) << on.messages;
    const KavirResult e = read_result(dir.path("on.lmp"));
    const KavirResult ref = read_result(fixture("dva_ref.dump"));
    std::map<int, size_t> at;
    for (size_t i = 0; i < ref.size(); i++) at[ref.id[i]] = i;
    const double lo = -1.4460000000000051e-01, L = 14.46;
    for (size_t i = 0; i < e.size(); i++) {
        const double x_ref = ref.x[at.at(e.id[i])];
        double expected = lammps("c_dsp[1]", i) - ((lo + x_ref * 1.02) - x_ref);
        expected -= std::round(expected / (1.02 * L)) * 1.02 * L;
        ASSERT_NEAR(e("Displacement.X", i), expected, 1e-8) << "atom " << e.id[i];
        ASSERT_NEAR(e("Displacement.Y", i), lammps("c_dsp[2]", i), 1e-8);
    }
}

TEST_F(Compare, ABoxScaledAboutItsCentreGivesNoDisplacementWithTheCellTakenOut) {
    ScratchDir dir;
    const TestCrystal ref = cube(4);
    TestCrystal def = ref;
    const double L = ref.hi[0], f = 1.02, centre = L / 2;
    def.lo[0] = centre - f * L / 2;
    def.hi[0] = centre + f * L / 2;
    for (size_t i = 0; i < def.size(); i++) def.p(i)[0] = centre + f * (ref.pos[3 * i] - centre);
    write_dump(ref, dir.path("ref.dump"));
    write_dump(def, dir.path("def.dump"));
    ASSERT_EQ(run_kavir(dir, "#dva\nread_datafile_def def.dump\nread_datafile_ref ref.dump\nwrite_datafile on.lmp\n").status, 0);
    const KavirResult on = read_result(dir.path("on.lmp"));
    for (size_t i = 0; i < on.size(); i++) ASSERT_NEAR(on("Displacement.X", i), 0, 1e-9);
    ASSERT_EQ(run_kavir(dir, "#dva\nread_datafile_def def.dump\nread_datafile_ref ref.dump\nwrite_datafile off.lmp\n"
                             "eliminate_cell off\n")
                  .status,
              0);
    const KavirResult off = read_result(dir.path("off.lmp"));
    for (size_t i = 0; i < off.size(); i++) {
        double expected = (f - 1) * (ref.pos[3 * i] - centre);
        ASSERT_NEAR(off("Displacement.X", i), expected, 1e-9);
    }
}

TEST_F(Compare, ATranslationIsEveryAtomsDisplacementUnlessTheMeanIsTakenOut) {
    ScratchDir dir;
    const TestCrystal ref = cube(3);
    TestCrystal def = ref;
    for (size_t i = 0; i < def.size(); i++)
        for (int d = 0; d < 3; d++) def.p(i)[d] += 0.1 * (d + 1);
    // One atom left the deformed file and one has no partner in the reference.
    def.id[5] = 9999;
    write_dump(ref, dir.path("ref.dump"));
    write_dump(def, dir.path("def.dump"));
    const std::string base = "#dva\nread_datafile_def def.dump\nread_datafile_ref ref.dump\n";
    const KavirOutcome o = run_kavir(dir, base + "write_datafile t.lmp\nwrite_datafile_ref back.lmp\n");
    ASSERT_EQ(o.status, 0) << o.messages;
    EXPECT_NE(o.messages.find("1 atoms have no partner of the same id in the reference"), std::string::npos) << o.messages;
    const KavirResult t = read_result(dir.path("t.lmp"));
    const KavirResult back = read_result(dir.path("back.lmp"));
    ASSERT_EQ(t.size(), ref.size());
    for (size_t i = 0; i < t.size(); i++) {
        if (t.id[i] == 9999) {
            EXPECT_TRUE(std::isnan(t("Displacement.X", i)));
            continue;
        }
        ASSERT_NEAR(t("Displacement.X", i), 0.1, 1e-9);
        ASSERT_NEAR(t("Displacement.Z", i), 0.3, 1e-9);
    }
    for (size_t i = 0; i < back.size(); i++) {
        if (back.id[i] == 6) {
            EXPECT_TRUE(std::isnan(back("Displacement.Y", i)));
            continue;
        }
        ASSERT_NEAR(back("Displacement.Y", i), -0.2, 1e-9);
    }
    // The mean of the matched atoms only: the others stay exactly zero.
    ASSERT_EQ(run_kavir(dir, base + "write_datafile m.lmp\neliminate_overall on\n").status, 0);
    const KavirResult m = read_result(dir.path("m.lmp"));
    for (size_t i = 0; i < m.size(); i++) {
        if (m.id[i] == 9999) continue;
        ASSERT_NEAR(m("Displacement.X", i), 0, 1e-12);
        ASSERT_NEAR(m("Displacement.Y", i), 0, 1e-12);
    }
}

// Two neighbouring (001) planes of an fcc crystal as layers; the upper
// planes shifted in the deformed file.
struct Layers {
    ScratchDir dir;
    TestCrystal ref = cube(4);
    std::string inpar(const std::string& extra = "") const {
        return "#ida\nread_datafile_def def.dump\nread_datafile_ref ref.dump\nwrite_datafile ida.lmp\n"
               "normal_vector 0 0 3\nlayer_one 7.23 0.5 1\nlayer_two 9.0375 0.5 1\n" +
               extra;
    }
    void write(const double shift[3]) {
        TestCrystal def = ref;
        for (size_t i = 0; i < def.size(); i++)
            if (def.pos[3 * i + 2] > 8)
                for (int d = 0; d < 3; d++) def.p(i)[d] += shift[d];
        write_dump(ref, dir.path("ref.dump"));
        write_dump(def, dir.path("def.dump"));
    }
};

TEST_F(Compare, TheDisregistryOfALayerIsItsShift) {
    Layers l;
    const double none[3] = {0, 0, 0};
    l.write(none);
    ASSERT_EQ(run_kavir(l.dir, l.inpar()).status, 0);
    const KavirResult zero = read_result(l.dir.path("ida.lmp"));
    ASSERT_EQ(zero.size(), 32u);  // the plane z = 7.23: 2 atoms per cell face
    for (size_t i = 0; i < zero.size(); i++) ASSERT_NEAR(zero("Disregistry.X", i), 0, 1e-12);

    // Shifted by more than half a partner spacing along x: the partners stay
    // those of the reference, and the disregistry is the shift itself.
    const double shift[3] = {1.3, -0.4, 0};
    l.write(shift);
    const KavirOutcome o = run_kavir(l.dir, l.inpar());
    ASSERT_EQ(o.status, 0) << o.messages;
    const KavirResult r = read_result(l.dir.path("ida.lmp"));
    ASSERT_EQ(r.size(), 32u);
    for (size_t i = 0; i < r.size(); i++) {
        ASSERT_NEAR(r("Disregistry.X", i), 1.3, 1e-9) << "atom " << r.id[i];
        ASSERT_NEAR(r("Disregistry.Y", i), -0.4, 1e-9);
        ASSERT_NEAR(r("Disregistry.Z", i), 0, 1e-9);
        ASSERT_NEAR(r.z[i], 7.23, 1e-9);  // positions of the reference
    }
    ASSERT_EQ(run_kavir(l.dir, l.inpar("eliminate_overall on\n")).status, 0);
    const KavirResult m = read_result(l.dir.path("ida.lmp"));
    for (size_t i = 0; i < m.size(); i++) ASSERT_NEAR(m("Disregistry.X", i), 0, 1e-9);
    // In test mode the default projection files are dumps of the disregistry.
    const KavirOutcome t = run_kavir(l.dir, l.inpar("test_mode\nporjection 2 2\nproj_format default\n"));
    ASSERT_EQ(t.status, 0) << t.messages;
    EXPECT_NE(slurp(l.dir.path("d0001.lmp")).find("ITEM: ATOMS x\ty\tz\tDisregistry.X\tDisregistry.Y\tDisregistry.Z\n"),
              std::string::npos);
    EXPECT_EQ(read_result(l.dir.path("ida.lmp")).col.count("Displacement.X"), 1u);  // the test-mode name
    EXPECT_NE(t.messages.find("IDA Success! \n"), std::string::npos);
}

TEST_F(Compare, ALayerWithoutPartnersOrAtomsIsReported) {
    Layers l;
    const double none[3] = {0, 0, 0};
    l.write(none);
    // A second layer out of reach (more than 10 A away): no made-up partner.
    KavirOutcome far = run_kavir(l.dir, "#ida\nread_datafile_def def.dump\nread_datafile_ref ref.dump\n"
                                        "write_datafile ida.lmp\nnormal_vector 0 0 1\nlayer_one 0 0.5 -1\n"
                                        "layer_two 12.6525 0.5 -1\nboundary p p s\n");
    ASSERT_EQ(far.status, 0) << far.messages;
    EXPECT_NE(far.messages.find("32 atoms of layer 1 have no layer-2 atom within 10"), std::string::npos) << far.messages;
    const KavirResult r = read_result(l.dir.path("ida.lmp"));
    for (size_t i = 0; i < r.size(); i++) EXPECT_TRUE(std::isnan(r("Disregistry.X", i)));
    // Across the periodic face the partner is found (z = 0 and z = L - a/2).
    KavirOutcome wrap = run_kavir(l.dir, "#ida\nread_datafile_def def.dump\nread_datafile_ref ref.dump\n"
                                         "write_datafile wrap.lmp\nnormal_vector 0 0 1\nlayer_one 0 0.5 -1\n"
                                         "layer_two 12.6525 0.5 -1\n");
    ASSERT_EQ(wrap.status, 0) << wrap.messages;
    const KavirResult w = read_result(l.dir.path("wrap.lmp"));
    for (size_t i = 0; i < w.size(); i++) EXPECT_NEAR(w("Disregistry.X", i), 0, 1e-9);
    // Types start at 1: a layer of type 0 is empty.
    KavirOutcome empty = run_kavir(l.dir, l.inpar() + "layer_one 7.23 0.5 0\n");
    EXPECT_EQ(empty.status, 1);
    EXPECT_NE(empty.errors.find("no atom find in layer 1"), std::string::npos) << empty.errors;
}

}  // namespace

namespace {

TEST_F(Compare, EliminateCellDoesWhatItSaysInEveryAnalysisThatOffersIt) {
    // The box made 2 % longer along x with the atoms: taken out, nothing
    // slipped or strained; kept, the bonds along x are 2 % longer.
    ScratchDir dir;
    const TestCrystal ref = cube(4);
    TestCrystal def = ref;
    def.hi[0] *= 1.02;
    for (size_t i = 0; i < def.size(); i++) def.p(i)[0] *= 1.02;
    write_dump(ref, dir.path("ref.dump"));
    write_dump(def, dir.path("def.dump"));
    struct Case {
        const char* word;
        const char* column;
        double kept;  // the value with the cell kept
    };
    const Case cases[] = {{"sva", "Average", 0.02 * kCu / std::sqrt(2.0) * 8 / 12 / std::sqrt(2.0)},
                          {"sta", "StrainTensor.XX", 0.5 * (1.02 * 1.02 - 1)}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.word);
        for (const char* mode : {"on", "off"}) {
            const KavirOutcome o = run_kavir(dir, std::string("#") + c.word + "\nread_datafile_def def.dump\n"
                                                  "read_datafile_ref ref.dump\nwrite_datafile r.lmp\n" +
                                                  (std::string(c.word) == "sta" ? "Strain\n" : "") + "eliminate_cell " +
                                                  mode + "\n");
            ASSERT_EQ(o.status, 0) << o.messages;
            const KavirResult r = read_result(dir.path("r.lmp"));
            ASSERT_EQ(r.size(), ref.size());
            for (size_t i = 0; i < r.size(); i++)
                ASSERT_NEAR(r(c.column, i), std::string(mode) == "on" ? 0 : c.kept, 1e-6) << mode << " atom " << r.id[i];
        }
    }
}

}  // namespace
