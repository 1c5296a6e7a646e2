// The dislocation analyses on the current model: the command files the
// parameter group gives, the run in a private folder and the merge of the
// result columns by atom id; and quelm-batch analyse with them.
#include <cmath>

#include "store/quelm_store.h"
#include "dislocation/crystal_maker.h"
#include "dislocation/kavir_bridge.h"
#include "dislocation/kavir_test.h"

namespace {

using Bridge = QuietStdoutTest;

const double kIdentity[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};

std::string fixture(const std::string& name) { return std::string(QUELM_TEST_DATA) + "/dislocation/fixtures/" + name; }

QB_tools model_of(const TestCrystal& c) {
    QB_tools m;
    QB_init(&m);
    for (size_t i = 0; i < c.size(); i++) {
        QB_create_atom(&m, c.type[i], c.pos[3 * i], c.pos[3 * i + 1], c.pos[3 * i + 2]);
        m.atoms.back().id = c.id[i];
    }
    for (int d = 0; d < 3; d++) {
        m.lo[d] = c.lo[d];
        m.size[d] = m.cell[d][d] = c.hi[d] - c.lo[d];
    }
    return m;
}

TEST_F(Bridge, TheGroupsDefaultsGiveTheseCommandFiles) {
    QN_store_init();
    ASSERT_EQ(QN_KAVIR_init(2), 1);
    QN_set_bit_char(QN_KAVIR_GROUP, "KV_ref", "/data/ref.lmc");
    const int ppp[3] = {1, 1, 0};
    EXPECT_EQ(QN_KAVIR_command(QN_KAVIR_DVA, ppp, 2, "donotout"),
              "#dva\nread_datafile_def INFILE.lmc\nwrite_datatype lmp\nread_datafile_ref /data/ref.lmc\n"
              "write_datafile donotout\nboundary p  p  s\neliminate_cell on\nneighbor_cutoff 1 3.000000\n"
              "neighbor_cutoff 2 3.000000\neliminate_overall on\n");
    // The default strain page asks for all five outputs; no Burgers line
    // while the vector is zero.
    const std::string sta = QN_KAVIR_command(QN_KAVIR_STA, ppp, 2, "donotout");
    EXPECT_NE(sta.find("neighbor_cutoff 2 3.000000\nStrain\nDeform\nVolume\nRotation\nStretch\n"), std::string::npos) << sta;
    EXPECT_EQ(sta.find("burgers"), std::string::npos);
    QN_set_bit_double(QN_KAVIR_GROUP, "KV_sta_bz", 2.5, 0);
    EXPECT_NE(QN_KAVIR_command(QN_KAVIR_STA, ppp, 2, "x").find("burgers 0.000000 0.000000 2.500000\n"), std::string::npos);
    // DDA by default names none of its components (the engine's screw-only
    // default applies) and centres bonds in the reference.
    const std::string dda = QN_KAVIR_command(QN_KAVIR_DDA, ppp, 2, "x");
    EXPECT_EQ(dda.find("EDGE"), std::string::npos);
    EXPECT_EQ(dda.find("SCREW"), std::string::npos);
    EXPECT_NE(dda.find("dda_normal 1.000000 0.000000 0.000000\ndda_burgers 1.000000 0.000000 0.000000\n"
                       "dda_projection 0.000000 0.000000 1.000000\ncenter ref\n"),
              std::string::npos)
        << dda;
    // The Nye page always carries its lattice, replacing the automatic one.
    const std::string nye = QN_KAVIR_command(QN_KAVIR_NYE, ppp, 2, "donotout");
    EXPECT_NE(nye.find("mapset angle 15.000000\n"), std::string::npos) << nye;
    EXPECT_NE(nye.find("lattice_orient 2\n1.000000 0.000000 0.000000\n0.000000 1.000000 0.000000\n0.000000 0.000000 1.000000\n"),
              std::string::npos)
        << nye;
    EXPECT_NE(nye.find("lattice_type 1 fcc\nlattice_type 2 fcc\nlattice_const 1 3.000000\nlattice_const 2 3.000000\n"),
              std::string::npos)
        << nye;
}

TEST_F(Bridge, ResultsAreMergedByIdAndARerunReplacesItsColumns) {
    // The LAMMPS-moved crystal as the model, its first atom deleted (a
    // negative id), against the reference file.
    QB_tools model;
    QB_init(&model);
    ASSERT_EQ(QB_read_file(&model, fixture("dva_def.dump").c_str()), 3);
    const KavirResult lammps = read_result(fixture("dva_def.dump"));
    model.atoms[0].id = -model.atoms[0].id;
    QN_store_init();
    QN_KAVIR_init(model.ntypes);
    QN_set_bit_char(QN_KAVIR_GROUP, "KV_ref", fixture("dva_ref.dump"));
    QN_set_bit_int(QN_KAVIR_GROUP, "KV_eli", 0, 0);
    QN_set_bit_int(QN_KAVIR_GROUP, "KV_dva_eli", 0, 0);
    std::string message;
    ASSERT_EQ(QN_KAVIR_compute(&model, QN_KAVIR_DVA, message), 1) << message;
    EXPECT_EQ(message, "dva: 3 columns added; 1 atoms without a result (outside the box or deleted) hold nan");
    const int before = QB_slot_sum(&model);
    ASSERT_EQ(QN_KAVIR_compute(&model, QN_KAVIR_DVA, message), 1) << message;
    EXPECT_EQ(QB_slot_sum(&model), before);  // the same columns, not copies
    for (int i = 0; i < model.natoms; i++) {
        const double dx = QB_get_data(&model, i, "Displacement.X");
        if (i == 0) {
            EXPECT_TRUE(std::isnan(dx));
            continue;
        }
        ASSERT_NEAR(dx, lammps("c_dsp[1]", static_cast<size_t>(i)), 1e-8) << "atom " << model.atoms[i].id;
        ASSERT_NEAR(QB_get_data(&model, i, "Displacement.Z"), lammps("c_dsp[3]", static_cast<size_t>(i)), 1e-8);
    }
}

TEST_F(Bridge, ManyColumnsAtOnceLandOnTheirAtoms) {
    // The strain page's default writes 28 columns into a model that already
    // has columns of its own.
    QB_tools model;
    QB_init(&model);
    ASSERT_EQ(QB_read_file(&model, fixture("dva_ref.dump").c_str()), 3);
    QB_add_exdouble(&model, "mine");
    QN_store_init();
    QN_KAVIR_init(model.ntypes);
    QN_set_bit_char(QN_KAVIR_GROUP, "KV_ref", fixture("dva_ref.dump"));  // itself: no strain
    std::string message;
    ASSERT_EQ(QN_KAVIR_compute(&model, QN_KAVIR_STA, message), 1) << message;
    EXPECT_EQ(message, "sta: 28 columns added");
    for (const char* c : {"StrainTensor.XX", "StrainTensor.YZ", "ShearStrain", "VolumetricStrain", "Rotation.X"})
        for (int i = 0; i < model.natoms; i++) ASSERT_NEAR(QB_get_data(&model, i, c), 0, 1e-9) << c;
    for (const char* c : {"DeformationGradient.11", "DeformationGradient.22", "Rotation.W", "StretchTensor.ZZ"})
        for (int i = 0; i < model.natoms; i++) ASSERT_NEAR(QB_get_data(&model, i, c), 1, 1e-9) << c;
    for (int i = 0; i < model.natoms; i++) ASSERT_EQ(QB_get_data(&model, i, "neigh"), 12);
}

TEST_F(Bridge, FailuresAreReportedAndLeaveTheModel) {
    const int rep[3] = {4, 4, 4};
    const double a[3] = {kCu, kCu, kCu};
    QB_tools model = model_of(make_crystal("fcc", kCu, kIdentity, a, rep));
    QN_store_init();
    QN_KAVIR_init(1);
    std::string message;
    // No reference chosen, one that cannot be read, one the command file
    // cannot name; no result file for DDA.
    EXPECT_EQ(QN_KAVIR_compute(&model, QN_KAVIR_DVA, message), 0);
    EXPECT_EQ(message, "Analysis Failed\nno reference file chosen");
    QN_set_bit_char(QN_KAVIR_GROUP, "KV_ref", "/nowhere/ref.lmc");
    EXPECT_EQ(QN_KAVIR_compute(&model, QN_KAVIR_DVA, message), 0);
    EXPECT_EQ(message.rfind("Analysis Failed\nfile /nowhere/ref.lmc can not open", 0), 0u) << message;
    QN_set_bit_char(QN_KAVIR_GROUP, "KV_ref", "/my data/ref.lmc");
    EXPECT_EQ(QN_KAVIR_compute(&model, QN_KAVIR_SVA, message), 0);
    EXPECT_NE(message.find("has a blank in its name"), std::string::npos) << message;
    QN_set_bit_char(QN_KAVIR_GROUP, "KV_ref", "/nowhere/ref.lmc");
    EXPECT_EQ(QN_KAVIR_compute(&model, QN_KAVIR_DDA, message), 0);
    EXPECT_EQ(message, "DDA Analysis Failed\nno result file chosen");
    EXPECT_EQ(model.exdouble_count, 0);
    // The Nye page's default lattice (fcc, a = 3) on a bcc model matches no bond.
    const int brep[3] = {5, 5, 5};
    const double b[3] = {2.8665, 2.8665, 2.8665};
    QB_tools iron = model_of(make_crystal("bcc", 2.8665, kIdentity, b, brep));
    EXPECT_EQ(QN_KAVIR_compute(&iron, QN_KAVIR_NYE, message), 0);
    EXPECT_NE(message.find("the ideal lattice (type 1 fcc a = 3) matches no bond of the model"), std::string::npos)
        << message;
    // With bcc on the page it runs and adds its columns.
    QN_set_bit_int_multi(QN_KAVIR_GROUP, 0, "KV_nta_tt", 1, 0);
    QN_set_bit_double_multi(QN_KAVIR_GROUP, 0, "KV_nta_tc", 2.8665, 0);
    QN_set_bit_double_multi(QN_KAVIR_GROUP, 0, "KV_nta_cut", 2.6, 0);
    ASSERT_EQ(QN_KAVIR_compute(&iron, QN_KAVIR_NYE, message), 1) << message;
    EXPECT_GE(QB_slot_get(&iron, "Burgers.Z"), 0);
    for (int i = 0; i < iron.natoms; i++) ASSERT_NEAR(QB_get_data(&iron, i, "s1"), 0, 1e-9);
    // A tilted box is refused before anything runs.
    model.triclinic = 1;
    EXPECT_EQ(QN_KAVIR_compute(&model, QN_KAVIR_NYE, message), 0);
    EXPECT_EQ(message, "Please use orthogonal system");
}

TEST(BridgeBatch, AnalyseRunsTheDislocationAnalysesBeforeTheStructureMethods) {
    ScratchDir dir;
    BatchOutcome ok = run_batch(dir, "analyse " + fixture("dva_def.dump") + " -o " + dir.path("out.lmc") +
                                         " --method cna,dva --reference " + fixture("dva_ref.dump") +
                                         " -KV_eli=0 -KV_dva_eli=0");
    ASSERT_EQ(ok.status, 0) << ok.err;
    EXPECT_NE(ok.out.find("dva: 3 columns added\n"), std::string::npos) << ok.out;
    EXPECT_NE(ok.out.find("2 analyses run\n"), std::string::npos);
    const KavirResult r = read_result(dir.path("out.lmc"));
    const KavirResult lammps = read_result(fixture("dva_def.dump"));
    ASSERT_EQ(r.size(), 256u);
    for (size_t i = 0; i < r.size(); i++) ASSERT_NEAR(r("Displacement.Y", i), lammps("c_dsp[2]", i), 1e-5);
    EXPECT_EQ(r.col.count("cna"), 1u);

    // A failed analysis writes nothing.
    BatchOutcome bad = run_batch(dir, "analyse " + fixture("dva_def.dump") + " -o " + dir.path("bad.lmc") +
                                          " --method dva --reference " + dir.path("none.dump"));
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("Analysis Failed"), std::string::npos) << bad.err;
    EXPECT_FALSE(QB_file_exists(dir.path("bad.lmc")));
    // DDA and IDA write the files named for them.
    BatchOutcome dda = run_batch(dir, "analyse " + fixture("dva_def.dump") + " -o " + dir.path("d.lmc") +
                                          " --method dda,ida --reference " + fixture("dva_ref.dump") +
                                          " -KV_dda_dump=" + dir.path("dda.lmc") + " -KV_ida_dump=" + dir.path("ida.lmc") +
                                          " -KV_ida_nz=1 -KV_ida_nx=0 -KV_ida_l1d=7.23 -KV_ida_l1h=0.5"
                                          " -KV_ida_l2d=9.0375 -KV_ida_l2h=0.5 -KV_ida_l2t=1");
    ASSERT_EQ(dda.status, 0) << dda.err;
    EXPECT_NE(dda.out.find("Result written to " + dir.path("dda.lmc")), std::string::npos) << dda.out;
    const KavirResult bonds = read_result(dir.path("dda.lmc"));
    EXPECT_GT(bonds.size(), 256u * 12);  // bonds of every atom (and the atoms with export_atoms)
    const KavirResult layer = read_result(dir.path("ida.lmc"));
    EXPECT_GT(layer.size(), 0u);
    EXPECT_EQ(layer.col.count("Disregistry.X"), 1u);
    BatchOutcome unknown = run_batch(dir, "analyse " + fixture("dva_def.dump") + " -o " + dir.path("u.lmc") +
                                              " --method dva -KV_nonsense=1");
    EXPECT_EQ(unknown.status, 2) << unknown.err;
}

}  // namespace
