// The engine's command file, settings file, atom reader, result writers,
// neighbours and id correspondence, and its command line.
#include <sys/stat.h>

#include <cmath>

#include "dislocation/crystal_maker.h"
#include "dislocation/kavir_neigh.h"
#include "dislocation/kavir_test.h"
#include "qb/qb_text.h"

// Under the address sanitizer, a request the allocator cannot meet returns
// null (as the C library's does) instead of ending the test program.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

namespace {

using Kavir = QuietStdoutTest;

const double kIdentity[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};

TestCrystal cube(int n, double a = kCu, const char* lattice = "fcc") {
    const int rep[3] = {n, n, n};
    const double period[3] = {a, a, a};
    return make_crystal(lattice, a, kIdentity, period, rep);
}

void put(const ScratchDir& dir, const std::string& name, const std::string& text) {
    FILE* f = std::fopen(dir.path(name).c_str(), "w");
    std::fputs(text.c_str(), f);
    std::fclose(f);
}

TEST_F(Kavir, MalformedCommandFilesAndUnusableDataAreRefusedWithTheirLineAndStatus) {
    struct Case {
        const char* inpar;
        int status;
        const char* message;
    };
    const Case cases[] = {
        {"", 2, "INPAR: the file names no analysis; the analyses are nye dda dva ida nta sta sva"},
        {"#\n", 2, "the file names no analysis"},
        // The first line names the analysis after its first character.
        {"# only a comment\n", 2, "INPAR:1: unknown analysis 'only'"},
        {"nyx\n", 2, "INPAR:1: unknown analysis 'nyx'; the analyses are nye dda dva ida nta sta sva"},
        {"Nye\n", 2, "INPAR:1: unknown analysis 'Nye'; the analyses are nye dda dva ida nta sta sva"},
        {"#nye extra\nbogus\n", 2, "INPAR:2: unknown keyword 'bogus'"},
        {"nye\nread_datafile_def cu.dump\nbogus 3\n", 2, "INPAR:3: unknown keyword 'bogus'"},
        {"nye\nread_datafile_def\n", 2, "INPAR:2: read_datafile_def needs 1 argument"},
        {"nye\nboundary p p\n", 2, "INPAR:2: boundary needs 3 arguments"},
        {"nye\nboundary p x p\n", 2, "INPAR:2: boundary takes p or s, not 'x'"},
        {"nye\nwarpin yes\n", 2, "INPAR:2: warpin takes on or off, not 'yes'"},
        {"nye\nwrite_datatype xyz\n", 2, "INPAR:2: write_datatype takes one of lmp imd lmpdata cfg, not 'xyz'"},
        {"nye\ndecimal_digit four\n", 2, "INPAR:2: decimal_digit: 'four' is not a whole number"},
        {"nye\nproj_norm 0 0 1e999\n", 2, "INPAR:2: proj_norm: '1e999' is not a number"},
        {"nye\nporjection 3 0\n", 2, "INPAR:2: porjection takes two indices from 0 to 2"},
        {"nye\nshowpbc warpin on\n", 2, "INPAR:2: 'warpin' after the arguments of showpbc"},
        {"nye read_datafile_def cu.dump\n", 2, "INPAR:1: 'read_datafile_def' after the analysis word nye"},
        {"nye\nneighbor_cutoff 1 -3\n", 2, "INPAR:2: neighbor_cutoff needs a positive length"},
        {"nye\nlattice_orient 1 1 0 0 0 0 0 0 0 1\n", 2, "INPAR:2: lattice_orient: row 2 is zero"},
        {"nye\nlattice_type 1 fcx\n", 2, "INPAR:2: lattice_type takes one of fcc bcc hcp others, not 'fcx'"},
        {"nye\nmapset angel 15\n", 2, "INPAR:2: mapset takes one of angle cos_angle distance, not 'angel'"},
        // A keyword of another analysis is not one of this analysis'.
        {"nye\navedis\n", 2, "INPAR:2: unknown keyword 'avedis'"},
        {"nye\nread_datafile_def missing.dump\n", 1, "file missing.dump can not open: cannot open"},
        {"nye\nread_datafile_def empty.dump\n", 1, "file empty.dump holds no atoms"},
        {"nye\nread_datafile_def text.txt\n", 1, "can not find useful data in text.txt"},
        {"nye\nread_datafile_def tilted.dump\n", 1, "tilted.dump has a tilted (triclinic) box"},
        {"nye\nread_datafile_def gas.dump\nboundary s s s\n", 1, "no atom has a neighbour closer than"},
        {"nye\nread_datafile_def pipe\n", 1, "file pipe can not open: cannot open"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.inpar);
        ScratchDir dir;
        put(dir, "empty.dump", "ITEM: TIMESTEP\n0\nITEM: NUMBER OF ATOMS\n0\nITEM: BOX BOUNDS pp pp pp\n0 1\n0 1\n0 1\nITEM: ATOMS id type x y z\n");
        put(dir, "text.txt", "a letter, not atoms\n");
        put(dir, "tilted.dump", "ITEM: TIMESTEP\n0\nITEM: NUMBER OF ATOMS\n1\nITEM: BOX BOUNDS xy xz yz pp pp pp\n0 10 1\n0 10 0\n0 10 0\n"
                                "ITEM: ATOMS id type x y z\n1 1 1 1 1\n");
        // One lone atom: nothing to call a crystal.
        put(dir, "gas.dump", "ITEM: TIMESTEP\n0\nITEM: NUMBER OF ATOMS\n1\nITEM: BOX BOUNDS ss ss ss\n0 100\n0 100\n0 100\n"
                             "ITEM: ATOMS id type x y z\n1 1 1 1 1\n");
        ASSERT_EQ(mkfifo(dir.path("pipe").c_str(), 0600), 0);  // never waited on
        const KavirOutcome o = run_kavir(dir, c.inpar);
        EXPECT_EQ(o.status, c.status) << o.messages;
        EXPECT_NE(o.errors.find(c.message), std::string::npos) << o.errors;
        EXPECT_NE(o.messages.find(c.message), std::string::npos) << "failures also go to the messages";
        EXPECT_FALSE(QB_file_exists(dir.path("OUTFILE")));
    }
}

TEST_F(Kavir, TheRunsAllocatorTracksItsBlocksAndRefusesWhatItCannotGive) {
    CMEM mem;
    EXPECT_EQ(mem.smalloc(0, "none"), nullptr);
    double* a = mem.array<double>(100, "a");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a[99], 0.0);  // zero-filled
    a = static_cast<double*>(mem.srealloc(a, 1000 * sizeof(double), "a"));
    a[999] = 1;
    int* b = mem.array<int>(10, "b");
    EXPECT_EQ(mem.count(), 2u);
    mem.sfree(a);
    EXPECT_EQ(mem.count(), 1u);
    int stranger = 0;
    mem.sfree(&stranger);  // not ours: left alone
    EXPECT_EQ(mem.setptrnull(b), 1);
    EXPECT_EQ(mem.setptrnull(b), 0);
    EXPECT_EQ(mem.count(), 0u);
    std::free(b);
    try {
        mem.smalloc(static_cast<size_t>(-1) / 2, "huge");
        ADD_FAILURE() << "not refused";
    } catch (const KavirError& e) {
        EXPECT_EQ(e.status, 1);
        EXPECT_EQ(std::string(e.what()).rfind("Failed to allocate ", 0), 0u) << e.what();
        EXPECT_NE(std::string(e.what()).find(" bytes for array huge"), std::string::npos);
    }
    try {
        mem.array<double>(static_cast<size_t>(-1) / 4, "overflow");
        ADD_FAILURE() << "not refused";
    } catch (const KavirError& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot create/grow a vector/array of pointers for overflow");
    }
    mem.array<char>(5, "kept");
    mem.destroyall();
    EXPECT_EQ(mem.count(), 0u);
}

TEST_F(Kavir, OptionWordsIgnoreCaseAndALatticeMatrixMayTakeThreeLines) {
    ScratchDir dir;
    write_dump(cube(4), dir.path("cu.dump"));
    const KavirOutcome o = run_kavir(dir, "NYE  # the analysis\nread_datafile_def cu.dump\nwrite_datatype IMD\nboundary P p P\n"
                                          "warpin On\nlattice_orient 1\n 1 0 0\n 0 1 0\n 0 0 1\ndecimal_digit 4\n"
                                          "write_datafile out.imd # a comment\n");
    ASSERT_EQ(o.status, 0) << o.messages;
    const std::string text = slurp(dir.path("out.imd"));
    EXPECT_EQ(text.rfind("#F A 0 0 0 3 0 0\n#C id type x y z s1 s2 s3 Line.X Line.Y Line.Z Burgers.X Burgers.Y "
                         "Burgers.Z refid\n#X 14.460000 0.0 0.0\n#Y 0.0 14.460000 0.0\n#Z 0.0 0.0 14.460000\n#E\n"
                         "1\t0\t0.0000e+00\t0.0000e+00\t0.0000e+00\t",
                         0),
              0u)
        << text.substr(0, 400);
    // The engine reads its own IMD output.
    put(dir, "again", "nye\nread_datafile_def out.imd\nwrite_datafile again.lmp\nread_prop_def 2\n");
    const KavirOutcome again = run_kavir(dir, "", "again");
    ASSERT_EQ(again.status, 0) << again.messages;
    EXPECT_NE(again.messages.find("file out.imd input 256 stoms with 2 more info"), std::string::npos) << again.messages;
    const KavirResult r = read_result(dir.path("again.lmp"));
    ASSERT_EQ(r.size(), 256u);
    EXPECT_EQ(r.col.count("c0"), 1u);
    EXPECT_EQ(r.col.count("c1"), 1u);
}

TEST_F(Kavir, TheEngineReadsItsOwnResultsNanAndExponentsIncluded) {
    // A result file as the engine writes it (tabs, type 0, exponents, nan
    // and inf): its extra columns come back unchanged.
    ScratchDir dir;
    const TestCrystal c = cube(4);
    std::string text = "ITEM: TIMESTEP\n0\nITEM: NUMBER OF ATOMS\n" + std::to_string(c.size()) +
                       "\nITEM: BOX BOUNDS pp pp pp\n0 14.46\n0 14.46\n0 14.46\nITEM: ATOMS id\ttype\tx\ty\tz\ts1\tBig\n";
    for (size_t i = 0; i < c.size(); i++)
        text += QB_format("%d\t0\t%.9e\t%.9e\t%.9e\t%s\t1.5e+05\n", c.id[i], c.pos[3 * i], c.pos[3 * i + 1], c.pos[3 * i + 2],
                          i == 0 ? "nan" : i == 1 ? "-inf" : "2.5e-03");
    put(dir, "prev.lmp", text);
    const KavirOutcome o = run_kavir(dir, "nye\nread_datafile_def prev.lmp\nwrite_datafile next.lmp\nmapnum\n");
    ASSERT_EQ(o.status, 0) << o.messages;
    const KavirResult r = read_result(dir.path("next.lmp"));
    ASSERT_EQ(r.size(), c.size());
    EXPECT_TRUE(std::isnan(r("c0", 0)));
    EXPECT_EQ(r("c0", 1), -HUGE_VAL);
    EXPECT_EQ(r("c0", 2), 2.5e-3);
    EXPECT_EQ(r("c1", 5), 1.5e5);
    // Type 0 in the file is read (as the first type) and every atom has
    // its 12 bonds.
    for (size_t i = 0; i < r.size(); i++) ASSERT_EQ(r("n", i), 12);
}

TEST_F(Kavir, SettingsFileRenamesKeywordsForItsRunOnly) {
    ScratchDir dir;
    write_dump(cube(4), dir.path("cu.dump"));
    put(dir, "CMDSETTING", "CMDSETTING\n# renamed keywords\nneighbor_cutoff ncut\nOUTFILE renamed.lmp\nDECIMAL_DIGIT 3\n"
                           "INPAR command.txt\n");
    put(dir, "command.txt", "nye\nread_datafile_def cu.dump\nncut 1 3.0\n");
    KAVIR_run run;
    run.dir = dir.dir();
    run.out = nullptr;
    run.err = nullptr;
    ASSERT_EQ(KAVIR_main(run), 0);
    const std::string text = slurp(dir.path("renamed.lmp"));
    EXPECT_NE(text.find("\n1\t0\t0.000e+00\t"), std::string::npos) << text.substr(0, 300);
    // Without the settings file, the next run knows neighbor_cutoff only.
    std::filesystem::remove(dir.path("CMDSETTING"));
    const KavirOutcome o = run_kavir(dir, "", "command.txt");
    EXPECT_EQ(o.status, 2);
    EXPECT_NE(o.errors.find("command.txt:3: unknown keyword 'ncut'"), std::string::npos) << o.errors;
}

TEST_F(Kavir, ResultsCanStayInMemoryAndTheModelCanComeFromMemory) {
    ScratchDir dir;
    const TestCrystal c = cube(4);
    QB_tools model;
    QB_init(&model);
    for (size_t i = 0; i < c.size(); i++) QB_create_atom(&model, 1, c.pos[3 * i], c.pos[3 * i + 1], c.pos[3 * i + 2]);
    for (int d = 0; d < 3; d++) model.size[d] = model.cell[d][d] = c.hi[d];
    KAVIR_table table;
    const KavirOutcome o = run_kavir(dir, "nye\nwrite_datafile donotout\nmapnum\n", "INPAR", &table, &model);
    ASSERT_EQ(o.status, 0) << o.messages;
    EXPECT_TRUE(std::filesystem::is_empty(dir.dir()) || !QB_file_exists(dir.path("donotout")));
    const std::vector<std::string> expected = {"type", "x", "y", "z", "n", "s1", "s2", "s3", "Line.X", "Line.Y", "Line.Z",
                                               "Burgers.X", "Burgers.Y", "Burgers.Z", "refid"};
    EXPECT_EQ(table.columns, expected);
    ASSERT_EQ(table.id.size(), c.size());
    for (size_t i = 0; i < c.size(); i++) {
        EXPECT_EQ(table.id[i], model.atoms[i].id);
        EXPECT_EQ(table.values[i * expected.size() + 4], 12);
    }
}

TEST_F(Kavir, ProjectionFilesAreNamedByAxisAndPlane) {
    ScratchDir dir;
    write_dump(cube(3), dir.path("cu.dump"));
    const KavirOutcome o = run_kavir(dir, "nye\nread_datafile_def cu.dump\nwrite_datafile res\nporjection 2 2\n"
                                          "proj_norm 0 0 5\nproj_format default\nproj_dis 1 2\n");
    ASSERT_EQ(o.status, 0) << o.messages;
    // A normal along z flattens z; the file takes the normal's axis name.
    const KavirResult r = read_result(dir.path("res_z_xy"));
    ASSERT_GT(r.size(), 0u);
    for (size_t i = 0; i < r.size(); i++) EXPECT_EQ(r.z[i], 0);
    // proj_dis keeps the atoms between 1 and 2 along the normal: the plane
    // at z = 1.8075, two atoms per cell face.
    EXPECT_EQ(r.size(), 18u);
    for (const char* f : {"d0001.txt", "e0001.txt", "a0001.txt"}) EXPECT_TRUE(QB_file_exists(dir.path(f))) << f;
    EXPECT_NE(o.messages.find("Proj(default) Success! "), std::string::npos);
    const std::string a = slurp(dir.path("a0001.txt"));
    EXPECT_EQ(std::count(a.begin(), a.end(), '\n'), 18);
}

TEST_F(Kavir, ProjectionFrameIsOrthonormal) {
    CPROJECT p;
    p.normal[0] = 1;
    p.normal[1] = 2;
    p.normal[2] = 2;
    p.axis = 2;
    p.base = 0;
    ASSERT_EQ(p.init(nullptr), -1);
    for (int r = 0; r < 3; r++)
        for (int c = 0; c < 3; c++) {
            double dot = 0;
            for (int k = 0; k < 3; k++) dot += p.trot[r][k] * p.trot[c][k];
            EXPECT_NEAR(dot, r == c ? 1 : 0, 1e-12);
        }
    double v[3] = {1, 2, 2};
    p.calc(v);
    EXPECT_NEAR(v[0], 0, 1e-12);
    EXPECT_NEAR(v[1], 0, 1e-12);
    EXPECT_NEAR(v[2], 0, 1e-12);  // the normal itself, flattened
}

TEST_F(Kavir, SpacingFollowsTheCrystalNotTheVacuumOrAStrayAtom) {
    // h = 0.896 a for fcc in its box; the same with a slab of vacuum above
    // the crystal and with one atom far away along a free axis.
    TestCrystal c = cube(8);
    const bool periodic[3] = {true, true, true};
    double box[3][3] = {{0, 0, 0}, {c.hi[0], c.hi[1], c.hi[2]}, {c.hi[0], c.hi[1], c.hi[2]}};
    const double h = KAVIR_spacing(static_cast<int>(c.size()), c.pos.data(), box, periodic);
    EXPECT_NEAR(h, 0.896 * kCu, 1e-9);
    box[1][2] = box[2][2] = 3 * c.hi[2];
    EXPECT_NEAR(KAVIR_spacing(static_cast<int>(c.size()), c.pos.data(), box, periodic), h, 0.05 * h);
    const bool free_z[3] = {true, true, false};
    c.pos.insert(c.pos.end(), {1.0, 1.0, 5000.0});
    EXPECT_NEAR(KAVIR_spacing(static_cast<int>(c.size()), c.pos.data(), box, free_z), h, 0.05 * h);
}

TEST_F(Kavir, NeighbourLengthsComeFromTheBondsOfEachType) {
    // 4000 fcc atoms of a = 3.6: bonds 2.546, length 1.25 times that, 12
    // neighbours each.
    CKAVIR k(nullptr, nullptr, ".");
    CCMDBASE cmd(&k);
    atom a;
    const TestCrystal c = cube(10, 3.6);
    a.init(static_cast<int>(c.size()), 0);
    a.id = c.id;
    a.type = c.type;
    a.pos = c.pos;
    a.boxtype = 2;
    for (int d = 0; d < 3; d++) a.box[1][d] = a.box[2][d] = 36;
    KAVIR_neighbours nb(&k);
    nb.build(cmd, a);
    EXPECT_NEAR(nb.h, 0.896 * 3.6, 1e-9);
    EXPECT_NEAR(nb.anl.neigh_length_stan[0], 1.25 * 3.6 / std::sqrt(2.0), 1e-9);
    for (int i = 0; i < nb.anl.nlist; i++) ASSERT_EQ(nb.anl.pneighn(i), 12);

    // L1_2 Cu3Au: no atom has neighbours of its own type only; the lengths
    // come from all atoms of each type. Mixed pairs with x_lneigh.
    atom l12;
    l12.init(a.natoms, 0);
    l12 = a;
    for (int i = 0; i < l12.natoms; i++) {
        const double* p = l12.p(i);
        bool corner = true;
        for (int d = 0; d < 3; d++) corner = corner && std::fmod(p[d] + 1e-6, 3.6) < 1e-3;
        l12.type[static_cast<size_t>(i)] = corner ? 2 : 1;
    }
    KAVIR_neighbours alloy(&k);
    alloy.build(cmd, l12);
    ASSERT_EQ(alloy.anl.ntypes, 2);
    for (double L : alloy.anl.neigh_length_stan) EXPECT_NEAR(L, 1.25 * 3.6 / std::sqrt(2.0), 1e-9);
    for (int i = 0; i < alloy.anl.nlist; i++) {
        ASSERT_EQ(alloy.anl.pneighn(i), 12);
        ASSERT_TRUE(alloy.anl.unpure[static_cast<size_t>(i)]);
    }

    // Given lengths 2.5 (Cu) and 2.6 (Au) with x_lneigh 0.5: only mixed
    // pairs (2.55) reach the bonds at 2.546.
    cmd.cut_type = {1, 2};
    cmd.cut_len = {2.5, 2.6};
    cmd.x_lneigh = 0.5;
    KAVIR_neighbours given(&k);
    given.build(cmd, l12);
    // Types in order of first appearance: the corner (Au) atom comes first.
    EXPECT_EQ(given.anl.typeid_, (std::vector<int>{2, 1}));
    EXPECT_EQ(given.anl.neigh_length_stan, (std::vector<double>{2.6, 2.5}));
    for (int i = 0; i < given.anl.nlist; i++) {
        const int expected = l12.type[static_cast<size_t>(given.peri.oldidx[static_cast<size_t>(i)])] == 2 ? 12 : 4;
        ASSERT_EQ(given.anl.pneighn(i), expected) << i;
    }
}

TEST_F(Kavir, IdsAreMatchedByValueWithDuplicatesRefused) {
    CKAVIR k(nullptr, nullptr, ".");
    struct Case {
        std::vector<int> a, b;
        std::vector<int> map;
        int unmatched;
        const char* refusal;
    };
    const Case cases[] = {
        {{5, 3, 9}, {9, 5, 4, 3}, {1, 3, 0}, 0, nullptr},
        {{1, 2000000000, 7}, {7, 1}, {1, -1, 0}, 1, nullptr},  // sparse ids: no table over the range
        {{-4, 8}, {8, -4}, {1, 0}, 0, nullptr},
        {{1, 2, 2}, {1, 2}, {}, 0, "atom id 2 appears twice in the deformed file"},
        {{1, 2}, {3, 3}, {}, 0, "atom id 3 appears twice in the reference file"},
        {{1, 2147483000}, {2147483000, 2147483000}, {}, 0, "atom id 2147483000 appears twice in the reference file"},
    };
    for (const Case& c : cases) {
        CMAP m(&k);
        m.twoway = true;
        m.size1 = static_cast<int>(c.a.size());
        m.id1 = c.a.data();
        m.size2 = static_cast<int>(c.b.size());
        m.id2 = c.b.data();
        if (c.refusal) {
            try {
                m.map();
                ADD_FAILURE() << "not refused: " << c.refusal;
            } catch (const KavirError& e) {
                EXPECT_EQ(e.status, 1);
                EXPECT_EQ(std::string(e.what()), c.refusal);
            }
            continue;
        }
        m.map();
        EXPECT_EQ(m.map12, c.map);
        EXPECT_EQ(m.unmatched1, c.unmatched);
        for (size_t i = 0; i < c.a.size(); i++) {
            if (c.map[i] < 0) continue;
            EXPECT_EQ(m.map21[static_cast<size_t>(c.map[i])], static_cast<int>(i));
        }
    }
}

TEST_F(Kavir, AReferenceGivesEveryExtendedAtomItsPartnerOrNan) {
    // The reference is the deformed crystal shifted by less than half a box
    // and shrunk by 2 %; one atom has no partner.
    CKAVIR k(nullptr, nullptr, ".");
    CCMDBASE cmd(&k);
    const TestCrystal c = cube(4);
    atom def, ref;
    def.init(static_cast<int>(c.size()), 0);
    def.id = c.id;
    def.type = c.type;
    def.pos = c.pos;
    def.boxtype = 2;
    for (int d = 0; d < 3; d++) def.box[1][d] = def.box[2][d] = c.hi[d];
    ref = def;
    for (int d = 0; d < 3; d++) ref.box[1][d] = ref.box[2][d] = 0.98 * c.hi[d];
    for (size_t i = 0; i < ref.pos.size(); i++) ref.pos[i] *= 0.98;
    ref.id[7] = 100000;
    CCMC ccmc(&k);
    ccmc.def = &def;
    ccmc.ref = &ref;
    ccmc.calc(cmd);
    const CPERI& p = ccmc.nb.peri;
    EXPECT_EQ(ccmc.unmatched, 1);
    int nan_entries = 0;
    for (int e = 0; e < p.ntotal; e++) {
        const double* r = &ccmc.refpos[3 * static_cast<size_t>(e)];
        const double* x = &p.ext_pos[3 * static_cast<size_t>(e)];
        if (p.oldidx[static_cast<size_t>(e)] == 7) {
            ASSERT_TRUE(std::isnan(r[0]));
            nan_entries++;
            continue;
        }
        // The cell change is taken out: the reference sits on the atom.
        for (int d = 0; d < 3; d++) ASSERT_NEAR(r[d], x[d], 1e-9) << "entry " << e;
    }
    EXPECT_GT(nan_entries, 1);  // the atom and its images
}

#ifdef QUELM_BATCH
TEST(KavirBatch, TheCommandLineRunsTheEngineInItsFolderWithItsStatus) {
    ScratchDir dir;
    write_dump(cube(4), dir.path("cu.dump"));
    // The first line as the Analysis tab writes it.
    put(dir, "INPAR", "#nye\nread_datafile_def cu.dump\nwrite_datafile out.lmp\n");
    BatchOutcome ok = run_batch(dir, "kavir --dir " + dir.dir());
    EXPECT_EQ(ok.status, 0) << ok.out << ok.err;
    EXPECT_NE(ok.out.find("function nye begin:\n"), std::string::npos);
    EXPECT_NE(ok.out.find("NYE Success!"), std::string::npos);
    EXPECT_EQ(ok.err, "");
    EXPECT_EQ(read_result(dir.path("out.lmp")).size(), 256u);

    put(dir, "bad", "nye\nwarpin maybe\n");
    BatchOutcome bad = run_batch(dir, "kavir bad --dir " + dir.dir());
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("bad:2: warpin takes on or off, not 'maybe'"), std::string::npos) << bad.err;

    put(dir, "lost", "nye\nread_datafile_def nowhere.dump\n");
    BatchOutcome lost = run_batch(dir, "kavir " + dir.path("lost"));
    EXPECT_EQ(lost.status, 1);
    EXPECT_NE(lost.err.find("nowhere.dump can not open"), std::string::npos) << lost.err;

    // A result that cannot be written: the old one stays, status 1.
    put(dir, "locked", "nye\nread_datafile_def cu.dump\nwrite_datafile sub/out.lmp\n");
    std::filesystem::create_directory(dir.path("sub"));
    put(dir, "sub/out.lmp", "old result\n");
    std::filesystem::permissions(dir.path("sub"), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    BatchOutcome locked = run_batch(dir, "kavir locked --dir " + dir.dir());
    std::filesystem::permissions(dir.path("sub"), std::filesystem::perms::owner_all);
    if (geteuid() != 0) {
        EXPECT_EQ(locked.status, 1);
        EXPECT_NE(locked.err.find("open error"), std::string::npos) << locked.err;
        EXPECT_EQ(slurp(dir.path("sub/out.lmp")), "old result\n");
    }

    BatchOutcome none = run_batch(dir, "kavir nothere --dir " + dir.dir());
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("infile error: can not open file nothere"), std::string::npos) << none.err;
    EXPECT_NE(none.out.find(">> KAVIR <INPAR>"), std::string::npos) << none.out;

    BatchOutcome usage = run_batch(dir, "kavir a b");
    EXPECT_EQ(usage.status, 2);
    EXPECT_NE(usage.err.find("usage: quelm-batch kavir [INPAR] [--dir DIR]"), std::string::npos);
}
#endif

}  // namespace
