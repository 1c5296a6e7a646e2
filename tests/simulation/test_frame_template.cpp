// The configurable simulation frames: template files, the frame's store
// group, the LAMMPS input texts of each task and the staged task folders.
#include "simulation/campaign.h"
#include "simulation/frame_template.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "store/quelm_store.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

const std::string FIXTURES = std::string(QUELM_TEST_DATA) + "/simulation/fixtures";
const std::string CONFIG = std::string(QUELM_TEST_DATA) + "/../config";
const std::string LAMMPS_POTENTIALS = "/usr/share/lammps/potentials";

void write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

// Labels of a group's bits in store order.
std::vector<std::string> store_labels(int group) {
    std::vector<std::string> out;
    for (const auto& bit : Quelm_data[group].bits) out.push_back(Quelm_get_label(bit.values.at(0)));
    return out;
}

std::set<std::string> folder_names(const std::string& dir) {
    std::set<std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) out.insert(e.path().filename().string());
    return out;
}

bool has_line(const std::string& message, const std::string& part) { return message.find(part) != std::string::npos; }

// How the tests start a serial LAMMPS: see ShippedTemplateRunsInLammps.
const char* const kQuietMpi = "OMPI_MCA_ess_singleton_isolated=1 HWLOC_COMPONENTS=-gl";

bool lmp_available() { return std::system("command -v lmp > /dev/null 2>&1") == 0; }

// A fresh store and a scratch folder for every test.
class FrameTest : public QuietStdoutTest {
protected:
    void SetUp() override {
        QuietStdoutTest::SetUp();
        QN_store_init();
        group = QN_add_zone();
        ASSERT_GE(group, QN_FIXED_GROUPS);
    }

    // Reads a template, expecting success.
    QN_frame_template read(const std::string& path) {
        QN_frame_template frame;
        std::string message;
        EXPECT_EQ(QN_frame_read_template(path, frame, message), 1) << message;
        return frame;
    }

    QN_frame_template read_text(const std::string& text) {
        write_file(scratch.path("frame.txt"), text);
        return read(scratch.path("frame.txt"));
    }

    // A frame that passes the check: the synthetic two-loop template, the
    // Cu model copied into the scratch folder (one type, Cu 63.546) and an
    // EAM-Alloy potential file (only its presence matters to the check).
    QN_frame_template runnable_frame() { return runnable_frame(scratch.dir()); }
    QN_frame_template runnable_frame(const std::string& dir) {
        const QN_frame_template frame = read(FIXTURES + "/two_loops.txt");
        EXPECT_EQ(QN_frame_write_defaults(group, frame), 1);
        fs::copy_file(FIXTURES + "/cu_fcc.lmp", dir + "/cu_fcc.lmp", fs::copy_options::overwrite_existing);
        write_file(dir + "/Cu.eam.alloy", "a potential\n");
        QN_set_bit_char(group, "S_input", dir + "/cu_fcc.lmp");
        QN_set_bit_char(group, "S_pot1", dir + "/Cu.eam.alloy");
        QN_set_bit_int(group, "S_potype", QN_POT_EAM_ALLOY, 0);
        QN_set_bit_double_multi(group, 0, "S_mass", 63.546, 0);
        QN_set_bit_int_multi(group, 0, "S_elemt", 28, 0);
        return frame;
    }

    // Two types (Cu 63.546, Ni 58.6934) with the given potential type.
    void two_types(int type, const std::string& pot1, const std::string& pot2 = "NULL") {
        QN_set_bit_int(group, "S_potype", type, 0);
        QN_set_bit_int(group, "S_elenum", 1, 0);
        QN_set_bit_char(group, "S_pot1", pot1);
        QN_set_bit_char(group, "S_pot2", pot2);
        QN_set_bit_double_multi(group, 0, "S_mass", 63.546, 0);
        QN_set_bit_int_multi(group, 0, "S_elemt", 28, 0);
        QN_set_bit_double_multi(group, 1, "S_mass", 58.6934, 0);
        QN_set_bit_int_multi(group, 1, "S_elemt", 27, 0);
    }

    void set_loops_2_by_3() {
        QN_set_bit_double(group, "temp", 600, 1);
        QN_set_bit_double(group, "rate", 0.2, 1);
        QN_set_bit_double(group, "rate", 0.3, 2);
    }

    ScratchDir scratch;
    int group = -1;
};

// ---- Tables and names ------------------------------------------------------

TEST(FrameNames, ElementTableRunsFromHydrogenToMeitnerium) {
    EXPECT_STREQ(ELEMENT_NAME[0], "H");
    EXPECT_STREQ(ELEMENT_NAME[1], "He");
    EXPECT_STREQ(ELEMENT_NAME[25], "Fe");
    EXPECT_STREQ(ELEMENT_NAME[27], "Ni");
    EXPECT_STREQ(ELEMENT_NAME[28], "Cu");
    EXPECT_STREQ(ELEMENT_NAME[78], "Au");
    EXPECT_STREQ(ELEMENT_NAME[91], "U");
    EXPECT_STREQ(ELEMENT_NAME[108], "Mt");
}

TEST(FrameNames, PotentialTypesInChoiceOrder) {
    const std::vector<std::string> expected = {"EAM",    "EAM-Alloy", "EAM-FS",       "Tersoff",
                                               "MEAM",   "Custom",    "Custom+1file", "Custom+2files"};
    for (int k = 0; k < 8; k++) EXPECT_EQ(QN_FRAME_POTENTIAL_NAMES[k], expected[k]);
}

TEST(FrameNames, UnderscoresShowAsBlanks) {
    EXPECT_EQ(QN_frame_display("Tensile_Test"), "Tensile Test");
    EXPECT_EQ(QN_frame_display("__a_b"), "  a b");
    EXPECT_EQ(QN_frame_display("plain"), "plain");
}

TEST(FrameNames, FixedLabels) {
    for (const char* label : {"S_model", "S_input", "S_pot1", "S_pot2", "S_pot_cus", "S_elenum", "S_potype", "S_mass",
                              "S_elemt", "S_script", "S_path", "S_severip", "S_severfold", "S_severcomm",
                              "S_severpass", "S_severname", "S_savefold"})
        EXPECT_TRUE(QN_frame_is_fixed_label(label)) << label;
    for (const char* label : {"temp", "S_mass2", "s_input", ""}) EXPECT_FALSE(QN_frame_is_fixed_label(label)) << label;
}

// ---- Template list and grammar ---------------------------------------------

TEST_F(FrameTest, ShippedListNamesBothTemplatesInOrder) {
    std::vector<std::string> paths;
    std::string message;
    ASSERT_EQ(QN_frame_read_list(CONFIG, paths, message), 2) << message;
    EXPECT_EQ(paths[0], CONFIG + "/nvt_anneal.txt");
    EXPECT_EQ(paths[1], CONFIG + "/tensile_test.txt");
}

TEST_F(FrameTest, MissingListIsRefused) {
    std::vector<std::string> paths = {"stale"};
    std::string message;
    EXPECT_LT(QN_frame_read_list(scratch.dir(), paths, message), 0);
    EXPECT_TRUE(paths.empty());
    EXPECT_TRUE(has_line(message, "config_list.txt")) << message;
}

TEST_F(FrameTest, ListTokensMayShareLinesAndBlanks) {
    write_file(scratch.path("config_list.txt"), "  a.txt\tb.txt\n\n c.txt");
    std::vector<std::string> paths;
    std::string message;
    ASSERT_EQ(QN_frame_read_list(scratch.dir(), paths, message), 3);
    EXPECT_EQ(paths[2], scratch.dir() + "/c.txt");
}

// One shipped template: its name, script and fields (kind and label).
struct ShippedCase {
    const char* file;
    const char* name;
    const char* script;
    std::vector<std::pair<QN_frame_field::Kind, std::string>> fields;
};

TEST_F(FrameTest, ShippedTemplatesParseWithoutWarnings) {
    using K = QN_frame_field;
    const std::vector<ShippedCase> cases = {
        {"nvt_anneal.txt",
         "NVT Anneal",
         "in.nvt_anneal",
         {{K::LOOP, "temp"},
          {K::FLOAT, "tdamp"},
          {K::INT, "steps"},
          {K::FLOAT, "dt"},
          {K::INT, "seed"},
          {K::INT, "thermo_every"},
          {K::INT, "dump_every"},
          {K::CHOICE, "dump_kind"}}},
        {"tensile_test.txt",
         "Tensile Test",
         "in.tensile",
         {{K::LOOP, "temp"},
          {K::FLOAT, "tdamp"},
          {K::FLOAT, "pdamp"},
          {K::LOOP, "erate"},
          {K::INT, "equil_steps"},
          {K::INT, "pull_steps"},
          {K::FLOAT, "dt"},
          {K::INT, "seed"},
          {K::INT, "thermo_every"},
          {K::INT, "dump_every"},
          {K::CHOICE, "stress_unit"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const QN_frame_template frame = read(CONFIG + "/" + c.file);
        EXPECT_EQ(frame.name, c.name);
        EXPECT_EQ(frame.input_script, c.script);
        EXPECT_TRUE(frame.warnings.empty()) << frame.warnings.at(0);
        EXPECT_TRUE(fs::exists(CONFIG + "/" + c.script));
        std::vector<std::pair<QN_frame_field::Kind, std::string>> fields;
        std::vector<std::string> regions;
        for (const auto& f : frame.fields) {
            if (f.kind == K::REGION) regions.push_back(f.text);
            if (f.kind == K::INT || f.kind == K::FLOAT || f.kind == K::LOOP || f.kind == K::CHOICE)
                fields.emplace_back(f.kind, f.text);
        }
        EXPECT_EQ(fields, c.fields);
        EXPECT_EQ(regions, (std::vector<std::string>{"Setting", "Output"}));
    }
}

TEST_F(FrameTest, SyntheticTemplateGivesEveryDirectiveInFileOrder) {
    const QN_frame_template frame = read_text(
        "ignored Tensile_Test\n"
        "Region: Setting Tip: Pull_along_x Group: Load_Setting\n"
        "Int: steps 300.9 Float: dt 0.5 stray words here Loop: temp -20\n"
        "GroupEnd Region: Output\n"
        "Choice: mode 3 fast careful_mode slow 2\n"
        "In: in.tensile\n");
    EXPECT_EQ(frame.name, "Tensile Test");
    EXPECT_EQ(frame.input_script, "in.tensile");
    EXPECT_TRUE(frame.warnings.empty());
    using K = QN_frame_field;
    const std::vector<K::Kind> kinds = {K::REGION, K::TIP,    K::GROUP, K::INT,   K::FLOAT,
                                        K::LOOP,   K::GROUP_END, K::REGION, K::CHOICE};
    ASSERT_EQ(frame.fields.size(), kinds.size());
    for (size_t i = 0; i < kinds.size(); i++) EXPECT_EQ(frame.fields[i].kind, kinds[i]) << i;
    EXPECT_EQ(frame.fields[1].text, "Pull_along_x");  // as written; shown through QN_frame_display
    EXPECT_EQ(frame.fields[2].text, "Load_Setting");
    EXPECT_EQ(frame.fields[3].text, "steps");
    EXPECT_EQ(frame.fields[3].value, 300);  // truncated
    EXPECT_EQ(frame.fields[4].value, 0.5);
    EXPECT_EQ(frame.fields[5].value, -20);
    EXPECT_EQ(frame.fields[7].text, "Output");
    EXPECT_EQ(frame.fields[8].text, "mode");
    EXPECT_EQ(frame.fields[8].items, (std::vector<std::string>{"fast", "careful_mode", "slow"}));
    EXPECT_EQ(frame.fields[8].value, 2);
}

struct WarningCase {
    const char* what;
    const char* body;  // after the name
    const char* warning;
};

TEST_F(FrameTest, GrammarProblemsAreWarned) {
    const std::vector<WarningCase> cases = {
        {"unknown section", "Region: Plots Int: a 1 In: in.x", "Region: \"Plots\""},
        {"GroupEnd without a group", "GroupEnd Int: a 1 In: in.x", "GroupEnd without an open Group:"},
        {"group left open", "Group: G Int: a 1 In: in.x", "not closed"},
        {"nested group", "Group: A Group: B GroupEnd GroupEnd In: in.x", "inside another group"},
        {"choice count no number", "Choice: m x a b 0 In: in.x", "no positive integer"},
        {"choice count zero", "Choice: m 0 In: in.x", "no positive integer"},
        {"choice count fraction", "Choice: m 1.5 a 0 In: in.x", "no positive integer"},
        {"choice too short", "In: in.x Choice: m 3 a b", "lacks its items"},
        {"choice default outside", "Choice: m 2 a b 2 In: in.x", "outside its items"},
        {"default no number", "Float: x abc In: in.x", "no number"},
        {"missing In:", "Int: a 1", "no input script"},
        {"directive without arguments", "In: in.x Int: a", "lacks its arguments"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const QN_frame_template frame = read_text(std::string("x Name ") + c.body);
        ASSERT_EQ(frame.warnings.size(), 1u);
        EXPECT_TRUE(has_line(frame.warnings[0], c.warning)) << frame.warnings[0];
    }
}

TEST_F(FrameTest, BadChoiceIsLeftOutAndParsingGoesOn) {
    const QN_frame_template frame = read_text("x Name Choice: m zero Int: after 7 In: in.x");
    ASSERT_EQ(frame.fields.size(), 1u);
    EXPECT_EQ(frame.fields[0].text, "after");
    EXPECT_EQ(frame.fields[0].value, 7);
}

TEST_F(FrameTest, TemplateWithoutNameOrFileIsRefused) {
    QN_frame_template frame;
    std::string message;
    write_file(scratch.path("one.txt"), "  only_one_token \n");
    EXPECT_LT(QN_frame_read_template(scratch.path("one.txt"), frame, message), 0);
    EXPECT_TRUE(has_line(message, "no name")) << message;
    EXPECT_LT(QN_frame_read_template(scratch.path("missing.txt"), frame, message), 0);
    EXPECT_FALSE(message.empty());
}

// ---- Store defaults ----------------------------------------------------------

TEST_F(FrameTest, DefaultsFollowTheStoreOrder) {
    const QN_frame_template frame = read(FIXTURES + "/two_loops.txt");
    ASSERT_EQ(QN_frame_write_defaults(group, frame), 1);
    EXPECT_EQ(Quelm_data[group].title, "Two Loops");
    std::vector<std::string> expected = {"S_model", "S_input", "S_pot1", "S_pot2", "S_pot_cus", "S_elenum", "S_potype"};
    for (int k = 0; k < 10; k++) {
        expected.push_back("S_mass");
        expected.push_back("S_elemt");
    }
    for (const char* l : {"temp", "steps", "rate", "mode", "dt", "S_script", "S_path", "S_severip", "S_severfold",
                          "S_severcomm", "S_severpass", "S_severname", "S_savefold"})
        expected.push_back(l);
    for (const auto& job : QN_job_labels()) expected.push_back(job.first);
    EXPECT_EQ(store_labels(group), expected);

    // Value texts, as the store keeps them.
    const auto& bits = Quelm_data[group].bits;
    EXPECT_EQ(bits[0].values[0], "-S_model=0");
    EXPECT_EQ(bits[1].values[0], "-S_input=No_file");
    EXPECT_EQ(bits[2].values[0], "-S_pot1=NULL");
    EXPECT_EQ(bits[4].values[0], "-S_pot_cus=NULL");
    EXPECT_EQ(bits[6].values[0], "-S_potype=0");
    EXPECT_EQ(bits[7].values[0], "-S_mass=0.000000");
    EXPECT_EQ(bits[8].values[0], "-S_elemt=0");
    EXPECT_EQ(bits[27].values[0], "-temp=300.000000");
    EXPECT_EQ(bits[28].values[0], "-steps=1000");
    EXPECT_EQ(bits[30].values[0], "-mode=1");
    EXPECT_EQ(bits[31].values[0], "-dt=0.500000");
    EXPECT_EQ(bits[32].values[0], "-S_script=No_file");
    EXPECT_EQ(bits[37].values[0], "-S_severpass=");  // empty password
    EXPECT_EQ(bits[39].values[0], "-S_savefold=No_file");
    for (const auto& bit : bits) EXPECT_EQ(bit.value_count, 1);
}

TEST_F(FrameTest, DefaultsResetAnEditedGroup) {
    const QN_frame_template frame = read(FIXTURES + "/two_loops.txt");
    ASSERT_EQ(QN_frame_write_defaults(group, frame), 1);
    set_loops_2_by_3();
    QN_set_bit_char(group, "S_input", "/somewhere/model.lmp");
    QN_set_bit_int(group, "extra", 5, 0);
    ASSERT_EQ(QN_frame_write_defaults(group, frame), 1);
    EXPECT_EQ(QN_frame_task_count(group), 1);
    EXPECT_EQ(QN_stored_text(group, "S_input"), "No_file");
    EXPECT_EQ(Quelm_scan_dest_single(group, "extra"), -1);
    EXPECT_EQ(Quelm_data[group].bits.size(), 40u + QN_job_labels().size());
}

// ---- Variable texts ----------------------------------------------------------

TEST_F(FrameTest, WithoutLoopsOneTask) {
    runnable_frame();
    ASSERT_EQ(QN_frame_task_count(group), 1);
    EXPECT_EQ(QN_frame_variable_text(group, 0),
              "read_data cu_fcc.lmp\n"
              "variable temp equal 300.000000\n"
              "variable steps equal 1000\n"
              "variable rate equal 0.100000\n"
              "variable mode equal 1\n"   // a choice writes its index
              "variable dt equal 0.500000\n");  // a float as %lf
    EXPECT_EQ(QN_frame_variable_text(group, 1), "");
}

TEST_F(FrameTest, TwoLoopsGiveSixTasksFirstLoopFastest) {
    runnable_frame();
    set_loops_2_by_3();
    ASSERT_EQ(QN_frame_task_count(group), 6);
    std::string all;
    for (int t = 0; t < 6; t++)
        all += "==> R" + std::to_string(t + 1) + "/in.variable <==\n" + QN_frame_variable_text(group, t);
    EXPECT_EQ(all, slurp(FIXTURES + "/two_loops.variable"));
}

TEST_F(FrameTest, DumpVariableWritesOneFilePerTask) {
    runnable_frame();
    set_loops_2_by_3();
    std::string message;
    ASSERT_EQ(QN_dump_variable(scratch.path("in.variable"), group, message), 7) << message;
    for (int t = 0; t < 6; t++)
        EXPECT_EQ(slurp(scratch.path("in.variable" + std::to_string(t + 1))), QN_frame_variable_text(group, t));
    EXPECT_FALSE(fs::exists(scratch.path("in.variable7")));
    EXPECT_LT(QN_dump_variable(scratch.path("no_folder/in.variable"), group, message), 0);
}

// ---- Potential texts -----------------------------------------------------------

struct PotentialCase {
    const char* what;
    int type;
    const char* pot1;
    const char* pot2;
    const char* expected;
};

TEST_F(FrameTest, PotentialTextPerType) {
    const std::vector<PotentialCase> cases = {
        {"eam/alloy", QN_POT_EAM_ALLOY, "/data/pots/CuNi.eam.alloy", "NULL",
         "pair_style eam/alloy\npair_coeff * * CuNi.eam.alloy Cu Ni\nmass 1 63.546000\nmass 2 58.693400\n"},
        {"funcfl takes no element names", QN_POT_EAM, "Cu_u3.eam", "NULL",
         "pair_style eam\npair_coeff * * Cu_u3.eam\nmass 1 63.546000\nmass 2 58.693400\n"},
        {"eam/fs", QN_POT_EAM_FS, "/p/CuNi.eam.fs", "NULL",
         "pair_style eam/fs\npair_coeff * * CuNi.eam.fs Cu Ni\nmass 1 63.546000\nmass 2 58.693400\n"},
        {"tersoff", QN_POT_TERSOFF, "/p/CuNi.tersoff", "NULL",
         "pair_style tersoff\npair_coeff * * CuNi.tersoff Cu Ni\nmass 1 63.546000\nmass 2 58.693400\n"},
        {"meam", QN_POT_MEAM, "/p/library.meam", "/q/CuNi.meam",
         "pair_style meam\npair_coeff * * library.meam Cu Ni CuNi.meam Cu Ni\nmass 1 63.546000\nmass 2 "
         "58.693400\n"},
    };
    const QN_frame_template frame = read(FIXTURES + "/two_loops.txt");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(QN_frame_write_defaults(group, frame), 1);
        two_types(c.type, c.pot1, c.pot2);
        EXPECT_EQ(QN_frame_potential_text(group, CONFIG), c.expected);
    }
}

TEST_F(FrameTest, ThreeTypesGiveThreeElementsAndMasses) {
    runnable_frame();
    QN_set_bit_int(group, "S_elenum", 2, 0);
    const std::vector<std::pair<int, double>> types = {{12, 26.9815}, {28, 63.546}, {25, 55.845}};
    for (int k = 0; k < 3; k++) {
        QN_set_bit_int_multi(group, k, "S_elemt", types[k].first, 0);
        QN_set_bit_double_multi(group, k, "S_mass", types[k].second, 0);
    }
    EXPECT_EQ(QN_frame_potential_text(group, CONFIG),
              "pair_style eam/alloy\npair_coeff * * Cu.eam.alloy Al Cu Fe\n"
              "mass 1 26.981500\nmass 2 63.546000\nmass 3 55.845000\n");
}

TEST_F(FrameTest, CustomPairLinesComeFirst) {
    runnable_frame();
    write_file(scratch.path("pair.in"), "pair_style lj/cut 8.0\npair_coeff * * 0.4 2.3");  // no final line end
    QN_set_bit_int(group, "S_potype", QN_POT_CUSTOM, 0);
    QN_set_bit_char(group, "S_pot_cus", scratch.path("pair.in"));
    EXPECT_EQ(QN_frame_potential_text(group, CONFIG),
              "pair_style lj/cut 8.0\npair_coeff * * 0.4 2.3\nmass 1 63.546000\n");
    std::string message;
    ASSERT_EQ(QN_frame_dump_potential(scratch.path("in.potential"), group, CONFIG, message), 1) << message;
    EXPECT_EQ(slurp(scratch.path("in.potential")), QN_frame_potential_text(group, CONFIG));

    QN_set_bit_char(group, "S_pot_cus", scratch.path("gone.in"));
    EXPECT_LT(QN_frame_dump_potential(scratch.path("in.potential2"), group, CONFIG, message), 0);
    EXPECT_TRUE(has_line(message, "ERROR: Potential file not found")) << message;
    EXPECT_FALSE(fs::exists(scratch.path("in.potential2")));
}

TEST_F(FrameTest, FilesUploadedWithThePotential) {
    const std::vector<std::pair<int, std::vector<std::string>>> cases = {
        {QN_POT_EAM, {"/a/p1"}},          {QN_POT_EAM_ALLOY, {"/a/p1"}}, {QN_POT_EAM_FS, {"/a/p1"}},
        {QN_POT_TERSOFF, {"/a/p1"}},      {QN_POT_MEAM, {"/a/p1", "/a/p2"}}, {QN_POT_CUSTOM, {}},
        {QN_POT_CUSTOM_1, {"/a/p1"}},     {QN_POT_CUSTOM_2, {"/a/p1", "/a/p2"}},
    };
    const QN_frame_template frame = read(FIXTURES + "/two_loops.txt");
    ASSERT_EQ(QN_frame_write_defaults(group, frame), 1);
    QN_set_bit_char(group, "S_pot1", "/a/p1");
    QN_set_bit_char(group, "S_pot2", "/a/p2");
    QN_set_bit_char(group, "S_pot_cus", "/a/pair.in");
    for (const auto& c : cases) {
        QN_set_bit_int(group, "S_potype", c.first, 0);
        EXPECT_EQ(QN_frame_potential_files(group), c.second) << QN_FRAME_POTENTIAL_NAMES[c.first];
    }
}

// ---- Check -----------------------------------------------------------------------

TEST_F(FrameTest, RunnableFramePassesTheCheck) {
    const QN_frame_template frame = runnable_frame();
    std::string message;
    EXPECT_EQ(QN_frame_check(group, frame, FIXTURES, message), 1) << message;
    EXPECT_TRUE(message.empty());
}

struct CheckCase {
    const char* what;
    void (*spoil)(int group, const std::string& scratch, QN_frame_template& frame);
    const char* expected;
};

TEST_F(FrameTest, CheckNamesEachProblem) {
    const std::vector<CheckCase> cases = {
        {"missing potential file",
         [](int g, const std::string& dir, QN_frame_template&) {
             QN_set_bit_char(g, "S_pot1", dir + "/nowhere.eam.alloy");
         },
         "ERROR: Potential file not found: "},
        {"no potential chosen",
         [](int g, const std::string&, QN_frame_template&) { QN_set_bit_char(g, "S_pot1", "NULL"); },
         "ERROR: Potential file not found"},
        {"mass 0", [](int g, const std::string&, QN_frame_template&) { QN_set_bit_double_multi(g, 0, "S_mass", 0, 0); },
         "The mass of atom type 1 is 0.000000"},
        {"type count", [](int g, const std::string&, QN_frame_template&) { QN_set_bit_int(g, "S_elenum", 1, 0); },
         "The model has 1 atom types but 2 are set in Type Sum"},
        {"bad label",
         [](int, const std::string&, QN_frame_template& f) {
             QN_frame_field x;
             x.kind = QN_frame_field::FLOAT;
             x.text = "T-1";
             f.fields.push_back(x);
         },
         "\"T-1\" is no LAMMPS variable name"},
        {"fixed label",
         [](int, const std::string&, QN_frame_template& f) {
             QN_frame_field x;
             x.kind = QN_frame_field::INT;
             x.text = "S_mass";
             f.fields.push_back(x);
         },
         "\"S_mass\" is one the frame uses itself"},
        {"model name with a blank",
         [](int g, const std::string& dir, QN_frame_template&) {
             fs::copy_file(dir + "/cu_fcc.lmp", dir + "/cu fcc.lmp");
             QN_set_bit_char(g, "S_input", dir + "/cu fcc.lmp");
         },
         "holds a blank"},
        {"model missing",
         [](int g, const std::string& dir, QN_frame_template&) { QN_set_bit_char(g, "S_input", dir + "/none.lmp"); },
         "does not exist"},
        {"model no data file",
         [](int g, const std::string& dir, QN_frame_template&) {
             write_file(dir + "/junk.lmp", "nothing like a model\n");
             QN_set_bit_char(g, "S_input", dir + "/junk.lmp");
         },
         "cannot be read as a LAMMPS data file"},
        {"no model chosen",
         [](int g, const std::string&, QN_frame_template&) { QN_set_bit_char(g, "S_input", "No_file"); },
         "No model file is chosen"},
        {"meam refused",
         [](int g, const std::string& dir, QN_frame_template&) {
             QN_set_bit_int(g, "S_potype", QN_POT_MEAM, 0);
             write_file(dir + "/Cu.meam", "x\n");
             QN_set_bit_char(g, "S_pot2", dir + "/Cu.meam");
         },
         "The potential type MEAM (pair_style meam) is not available in the installed LAMMPS"},
        {"element out of range",
         [](int g, const std::string&, QN_frame_template&) { QN_set_bit_int_multi(g, 0, "S_elemt", 109, 0); },
         "Atom type 1 has no element"},
        {"In: script missing", [](int, const std::string&, QN_frame_template& f) { f.input_script = "in.gone"; },
         "in.gone does not exist"},
        {"no In: script", [](int, const std::string&, QN_frame_template& f) { f.input_script.clear(); },
         "names no input script"},
        {"job script missing",
         [](int g, const std::string& dir, QN_frame_template&) { QN_set_bit_char(g, "S_script", dir + "/job.sh"); },
         "The job script"},
        {"potential named like a task file",
         [](int g, const std::string& dir, QN_frame_template&) {
             write_file(dir + "/in", "x\n");
             QN_set_bit_char(g, "S_pot1", dir + "/in");
         },
         "a name the task folder uses itself"},
        {"custom lines missing",
         [](int g, const std::string& dir, QN_frame_template&) {
             QN_set_bit_int(g, "S_potype", QN_POT_CUSTOM, 0);
             QN_set_bit_char(g, "S_pot_cus", dir + "/pair.in");
         },
         "ERROR: Potential file not found"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir case_dir;
        QN_frame_template frame = runnable_frame(case_dir.dir());
        c.spoil(group, case_dir.dir(), frame);
        std::string message;
        EXPECT_LT(QN_frame_check(group, frame, FIXTURES, message), 0);
        EXPECT_TRUE(has_line(message, c.expected)) << message;
    }
}

TEST_F(FrameTest, CheckCollectsEveryProblem) {
    QN_frame_template frame = runnable_frame();
    QN_set_bit_char(group, "S_pot1", scratch.path("gone.eam.alloy"));
    QN_set_bit_double_multi(group, 0, "S_mass", -1, 0);
    frame.input_script = "in.gone";
    std::string message;
    EXPECT_LT(QN_frame_check(group, frame, FIXTURES, message), 0);
    EXPECT_TRUE(has_line(message, "ERROR: Potential file not found: " + scratch.path("gone.eam.alloy"))) << message;
    EXPECT_TRUE(has_line(message, "The mass of atom type 1")) << message;
    EXPECT_TRUE(has_line(message, "in.gone")) << message;
    EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 2) << message;
}

// ---- Staging ---------------------------------------------------------------------

TEST_F(FrameTest, StagingWritesOneFolderPerTask) {
    const QN_frame_template frame = runnable_frame();
    set_loops_2_by_3();
    write_file(scratch.path("job.sh"), "#!/bin/sh\nlmp -in in\n");
    QN_set_bit_char(group, "S_script", scratch.path("job.sh"));
    const std::string out = scratch.path("stage/deep");
    std::string message;
    ASSERT_EQ(QN_frame_stage(group, frame, FIXTURES, out, false, message), 6) << message;
    EXPECT_EQ(folder_names(out), (std::set<std::string>{"R1", "R2", "R3", "R4", "R5", "R6"}));
    const std::string expected_all = slurp(FIXTURES + "/two_loops.variable");
    std::string all;
    for (int j = 1; j <= 6; j++) {
        const std::string dir = out + "/R" + std::to_string(j);
        EXPECT_EQ(folder_names(dir), (std::set<std::string>{"cu_fcc.lmp", "job.sh", "Cu.eam.alloy", "in.variable", "in",
                                                            "in.potential"}));
        all += "==> R" + std::to_string(j) + "/in.variable <==\n" + slurp(dir + "/in.variable");
        EXPECT_EQ(slurp(dir + "/in"), slurp(FIXTURES + "/in.two_loops"));
        EXPECT_EQ(slurp(dir + "/in.potential"),
                  "pair_style eam/alloy\npair_coeff * * Cu.eam.alloy Cu\nmass 1 63.546000\n");
        EXPECT_EQ(slurp(dir + "/cu_fcc.lmp"), slurp(FIXTURES + "/cu_fcc.lmp"));
        EXPECT_EQ(slurp(dir + "/job.sh"), slurp(scratch.path("job.sh")));
    }
    EXPECT_EQ(all, expected_all);
}

TEST_F(FrameTest, ExistingTaskFoldersNeedOverwrite) {
    const QN_frame_template frame = runnable_frame();
    set_loops_2_by_3();
    const std::string out = scratch.path("stage");
    std::string message;
    ASSERT_EQ(QN_frame_stage(group, frame, FIXTURES, out, false, message), 6) << message;
    write_file(out + "/R1/log.lammps", "an earlier run\n");

    // Refused: the earlier run stays.
    EXPECT_LT(QN_frame_stage(group, frame, FIXTURES, out, false, message), 0);
    EXPECT_TRUE(has_line(message, "R1")) << message;
    EXPECT_TRUE(fs::exists(out + "/R1/log.lammps"));
    fs::rename(out + "/R1", scratch.path("R1_moved"));
    EXPECT_LT(QN_frame_stage(group, frame, FIXTURES, out, false, message), 0);  // R2 … R6 are still there
    EXPECT_TRUE(has_line(message, "R2")) << message;
    fs::rename(scratch.path("R1_moved"), out + "/R1");

    // Replaced: one task now, and no folder of the earlier six is left.
    runnable_frame();
    ASSERT_EQ(QN_frame_stage(group, frame, FIXTURES, out, true, message), 1) << message;
    EXPECT_EQ(folder_names(out), std::set<std::string>{"R1"});
    EXPECT_FALSE(fs::exists(out + "/R1/log.lammps"));
    EXPECT_EQ(slurp(out + "/R1/in.variable"), QN_frame_variable_text(group, 0));
}

TEST_F(FrameTest, NothingIsWrittenWhenTheCheckFails) {
    const QN_frame_template frame = runnable_frame();
    QN_set_bit_double_multi(group, 0, "S_mass", 0, 0);
    const std::string out = scratch.path("stage");
    std::string message;
    EXPECT_LT(QN_frame_stage(group, frame, FIXTURES, out, true, message), 0);
    EXPECT_TRUE(has_line(message, "The mass of atom type 1")) << message;
    EXPECT_FALSE(fs::exists(out));
}

// ---- LAMMPS ------------------------------------------------------------------------

// Stages the shipped NVT template (one task, 100 steps) with Cu_mishin1 and
// runs it. QUELM_FRAME_STAGE=DIR instead stages both shipped templates with
// two loops each into DIR and leaves the runs to
// tests/simulation/oracle/run_frames.sh.
TEST_F(FrameTest, ShippedTemplateRunsInLammps) {
    const std::string potential = LAMMPS_POTENTIALS + "/Cu_mishin1.eam.alloy";
    if (!fs::exists(potential)) GTEST_SKIP() << "no " << potential << " (Debian package lammps-data)";
    const char* keep = std::getenv("QUELM_FRAME_STAGE");
    if (!keep && !lmp_available()) GTEST_SKIP() << "lmp is not installed";

    fs::copy_file(FIXTURES + "/cu_fcc.lmp", scratch.path("cu_fcc.lmp"));
    auto set_up = [&](const QN_frame_template& frame) {
        ASSERT_EQ(QN_frame_write_defaults(group, frame), 1);
        QN_set_bit_char(group, "S_input", scratch.path("cu_fcc.lmp"));
        QN_set_bit_char(group, "S_pot1", potential);
        QN_set_bit_int(group, "S_potype", QN_POT_EAM_ALLOY, 0);
        QN_set_bit_double_multi(group, 0, "S_mass", 63.546, 0);
        QN_set_bit_int_multi(group, 0, "S_elemt", 28, 0);
    };
    std::string message;
    if (keep) {
        const std::vector<std::pair<std::string, std::string>> loops = {{"nvt_anneal", "temp"},
                                                                         {"tensile_test", "erate"}};
        for (const auto& l : loops) {
            const QN_frame_template frame = read(CONFIG + "/" + l.first + ".txt");
            set_up(frame);
            QN_set_bit_double(group, "temp", 500, 1);
            if (l.second == "erate") QN_set_bit_double(group, "erate", 0.1, 1);
            const int tasks = QN_frame_stage(group, frame, CONFIG, std::string(keep) + "/" + l.first, true, message);
            EXPECT_EQ(tasks, l.second == "erate" ? 4 : 2) << message;
        }
        return;
    }
    const QN_frame_template frame = read(CONFIG + "/nvt_anneal.txt");
    set_up(frame);
    QN_set_bit_int(group, "steps", 100, 0);
    ASSERT_EQ(QN_frame_stage(group, frame, CONFIG, scratch.path("stage"), false, message), 1) << message;
    const std::string r1 = scratch.path("stage/R1");
    // A serial LAMMPS needs no MPI daemon, nor hwloc's look for graphics
    // cards on the X displays, which a GUI test's Xvfb closing beside it
    // turns into an exit.
    const std::string cmd = "cd '" + r1 + "' && " + kQuietMpi + " lmp -in in -log log.lammps > screen.txt 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << slurp(r1 + "/screen.txt");
    const std::string log = slurp(r1 + "/log.lammps");
    EXPECT_TRUE(has_line(log, "Loop time")) << log;
    EXPECT_TRUE(has_line(log, "Total wall time")) << log;
    EXPECT_TRUE(fs::exists(r1 + "/annealed.data"));
}

// ---- The campaign command line ---------------------------------------------

TEST(FrameCampaignLine, ElementsBySymbolOrIndex) {
    struct Case {
        const char* text;
        int index;
    } cases[] = {{"H", 0}, {"Cu", 28}, {"Ni", 27}, {"Mt", 108}, {"28", 28}, {"0", 0}, {"108", 108},
                 {"cu", -1}, {"Xx", -1}, {"", -1}, {"109", -1}, {"-1", -1}, {"28.5", -1}, {"28x", -1}};
    for (const Case& c : cases) EXPECT_EQ(QN_frame_element_index(c.text), c.index) << c.text;
}

TEST_F(FrameTest, ElementListSetsEveryTypeAndTheTypeSum) {
    runnable_frame();
    std::string message;
    ASSERT_EQ(QN_frame_set_elements(group, "Cu,Ni", message), 1) << message;
    int e0 = -1, e1 = -1, sum = -1;
    EXPECT_TRUE(QN_scan_int_multi(group, 0, "S_elemt", e0));
    EXPECT_TRUE(QN_scan_int_multi(group, 1, "S_elemt", e1));
    EXPECT_TRUE(QN_scan_int_single(group, "S_elenum", sum));
    EXPECT_EQ(e0, 28);
    EXPECT_EQ(e1, 27);
    EXPECT_EQ(sum, 1);
    ASSERT_EQ(QN_frame_set_elements(group, "Fe 25", message), 1) << message;  // blanks and an index
    EXPECT_TRUE(QN_scan_int_multi(group, 0, "S_elemt", e0));
    EXPECT_TRUE(QN_scan_int_multi(group, 1, "S_elemt", e1));
    EXPECT_EQ(e0, 25);
    EXPECT_EQ(e1, 25);

    EXPECT_EQ(QN_frame_set_elements(group, "Cu,Unobtainium", message), QN_REFUSED);
    EXPECT_EQ(message, "--elements: \"Unobtainium\" (type 2) is no element symbol");
    EXPECT_EQ(QN_frame_set_elements(group, "", message), QN_REFUSED);
    EXPECT_EQ(QN_frame_set_elements(group, "Cu,Cu,Cu,Cu,Cu,Cu,Cu,Cu,Cu,Cu,Cu", message), QN_REFUSED);
    EXPECT_NE(message.find("at most 10 atom types"), std::string::npos) << message;
}

TEST_F(FrameTest, ZeroMassesTakeTheStandardAtomicWeight) {
    runnable_frame();
    std::string message;
    // Standard atomic weights (IUPAC): Cu 63.546, Ni 58.6934, Fe 55.845.
    ASSERT_EQ(QN_frame_set_elements(group, "Cu,Ni,Fe", message), 1);
    QN_set_bit_double_multi(group, 0, "S_mass", 0, 0);
    QN_set_bit_double_multi(group, 1, "S_mass", 0, 0);
    QN_set_bit_double_multi(group, 2, "S_mass", 50.5, 0);  // typed: wins
    std::vector<std::string> notes;
    ASSERT_EQ(QN_frame_default_masses(group, notes), 1);
    EXPECT_EQ(notes, (std::vector<std::string>{"type 1 Cu: mass 63.546 (standard atomic weight)",
                                               "type 2 Ni: mass 58.6934 (standard atomic weight)"}));
    double m[3] = {0, 0, 0};
    for (int k = 0; k < 3; k++) EXPECT_TRUE(QN_scan_double_multi(group, k, "S_mass", m[k]));
    EXPECT_DOUBLE_EQ(m[0], 63.546);
    EXPECT_DOUBLE_EQ(m[1], 58.6934);
    EXPECT_DOUBLE_EQ(m[2], 50.5);
    // Run again: every mass is set now, nothing more is said.
    ASSERT_EQ(QN_frame_default_masses(group, notes), 1);
    EXPECT_TRUE(notes.empty());
}

TEST_F(FrameTest, AZeroMassWithoutElementIsStillRefusedNamingTheType) {
    const QN_frame_template frame = runnable_frame();
    QN_set_bit_double_multi(group, 0, "S_mass", 0, 0);
    QN_set_bit_int_multi(group, 0, "S_elemt", 200, 0);
    std::vector<std::string> notes;
    QN_frame_default_masses(group, notes);
    EXPECT_TRUE(notes.empty());
    std::string message;
    EXPECT_LT(QN_frame_check(group, frame, FIXTURES, message), 0);
    EXPECT_NE(message.find("The mass of atom type 1 is 0.000000; it must be above 0"), std::string::npos) << message;
    EXPECT_NE(message.find("Atom type 1 has no element"), std::string::npos) << message;
}

TEST(FrameCampaignLine, LoopRangesAndLists) {
    struct Case {
        const char* text;
        const char* label;
        std::vector<double> values;
    } cases[] = {
        {"temp=300:600:100", "temp", {300, 400, 500, 600}},
        {"temp=300:650:100", "temp", {300, 400, 500, 600}},  // END not reached: stops before
        {"temp=600:300:-150", "temp", {600, 450, 300}},
        {"rate=0.1:0.5:0.1", "rate", {0.1, 0.2, 0.3, 0.4, 0.5}},  // float steps reach END
        {"rate=-0.2:0.2:0.1", "rate", {-0.2, -0.1, 0, 0.1, 0.2}},
        {"temp=5:5:1", "temp", {5}},
        {"temp=300,450,1e3", "temp", {300, 450, 1000}},
        {"temp=7", "temp", {7}},
    };
    for (const Case& c : cases) {
        std::string label, message;
        std::vector<double> values;
        ASSERT_EQ(QN_frame_parse_loop(c.text, label, values, message), 1) << c.text << ": " << message;
        EXPECT_EQ(label, c.label);
        ASSERT_EQ(values.size(), c.values.size()) << c.text;
        for (size_t i = 0; i < values.size(); i++) EXPECT_NEAR(values[i], c.values[i], 1e-12) << c.text << " " << i;
    }
}

TEST(FrameCampaignLine, BadLoopsAreRefusedWithTheReason) {
    struct Case {
        const char* text;
        const char* message;
    } cases[] = {
        {"temp", "--loop temp: give --loop LABEL=START:END:STEP or --loop LABEL=V1,V2,..."},
        {"=1,2", "--loop =1,2: give --loop LABEL=START:END:STEP or --loop LABEL=V1,V2,..."},
        {"temp=", "--loop temp=: give --loop LABEL=START:END:STEP or --loop LABEL=V1,V2,..."},
        {"temp=1:2", "--loop temp=1:2: a range is START:END:STEP"},
        {"temp=1:2:3:4", "--loop temp=1:2:3:4: a range is START:END:STEP"},
        {"temp=1:5:0", "--loop temp=1:5:0: the step must be non-zero and go from START towards END"},
        {"temp=1:5:-1", "--loop temp=1:5:-1: the step must be non-zero and go from START towards END"},
        {"temp=300,,400", "--loop temp=300,,400: \"\" is no number; give --loop LABEL=START:END:STEP or --loop "
                          "LABEL=V1,V2,..."},
        {"temp=300,hot", "--loop temp=300,hot: \"hot\" is no number; give --loop LABEL=START:END:STEP or --loop "
                         "LABEL=V1,V2,..."},
        {"temp=0:1e9:1", "--loop temp=0:1e9:1: more than 100000 values"},
        {"temp=nan:1:1", "--loop temp=nan:1:1: \"nan\" is no number; give --loop LABEL=START:END:STEP or --loop "
                         "LABEL=V1,V2,..."},
    };
    for (const Case& c : cases) {
        std::string label, message;
        std::vector<double> values;
        EXPECT_EQ(QN_frame_parse_loop(c.text, label, values, message), QN_REFUSED) << c.text;
        EXPECT_EQ(message, c.message);
        EXPECT_TRUE(values.empty()) << c.text;
    }
}

TEST_F(FrameTest, LoopsGivenOnTheLineMakeTheStatusFileLoopsTasks) {
    // The same loops as set_loops_2_by_3 (temp 300, 600; rate 0.1, 0.2, 0.3),
    // given in the other order: the tasks still follow the store order.
    const QN_frame_template frame = runnable_frame();
    std::string message;
    ASSERT_EQ(QN_frame_set_loop(group, frame, "rate", {0.1, 0.2, 0.3}, message), 1) << message;
    ASSERT_EQ(QN_frame_set_loop(group, frame, "temp", {300, 600}, message), 1) << message;
    ASSERT_EQ(QN_frame_task_count(group), 6);
    std::string all;
    for (int t = 0; t < 6; t++)
        all += "==> R" + std::to_string(t + 1) + "/in.variable <==\n" + QN_frame_variable_text(group, t);
    EXPECT_EQ(all, slurp(FIXTURES + "/two_loops.variable"));
    EXPECT_EQ(QN_frame_task_values(group, 0), "temp=300 rate=0.1");
    EXPECT_EQ(QN_frame_task_values(group, 1), "temp=600 rate=0.1");
    EXPECT_EQ(QN_frame_task_values(group, 5), "temp=600 rate=0.3");
    EXPECT_EQ(QN_frame_task_values(group, 6), "");
    // A new --loop replaces the values, it does not add to them.
    ASSERT_EQ(QN_frame_set_loop(group, frame, "rate", {0.5}, message), 1);
    EXPECT_EQ(QN_frame_task_count(group), 2);
    EXPECT_EQ(QN_frame_task_values(group, 1), "temp=600");
}

TEST_F(FrameTest, OnlyLoopFieldsTakeLoops) {
    const QN_frame_template frame = runnable_frame();
    std::string message;
    for (const char* label : {"steps", "dt", "mode", "S_mass", "nothing"}) {
        EXPECT_EQ(QN_frame_set_loop(group, frame, label, {1, 2}, message), QN_REFUSED) << label;
        EXPECT_EQ(message, std::string(label) + " is no loop of Two Loops; its loops: temp, rate");
    }
    EXPECT_EQ(QN_frame_task_count(group), 1);
}

TEST(FrameCampaignLine, StageAShippedFrameWithALoopAndAnElementName) {
    ScratchDir scratch;
    fs::copy_file(FIXTURES + "/cu_fcc.lmp", scratch.path("cu_fcc.lmp"));
    write_file(scratch.path("Cu.eam"), "a potential\n");
    const BatchOutcome r = run_batch(scratch, "stage frame NVT_Anneal " + scratch.path("cu_fcc.lmp") +
                                                  " --loop temp=300:600:100 -S_elemt=Cu -S_potype=0 -S_pot1=" +
                                                  scratch.path("Cu.eam") + " -o " + scratch.path("run"));
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* line : {"type 1 Cu: mass 63.546 (standard atomic weight)", "4 tasks", "R1: temp=300",
                             "R2: temp=400", "R3: temp=500", "R4: temp=600"})
        EXPECT_TRUE(has_line(r.out, line)) << line << "\n" << r.out;
    for (int t = 1; t <= 4; t++) {
        const std::string dir = scratch.path("run/R" + std::to_string(t));
        const std::string variable = slurp(dir + "/in.variable");
        EXPECT_TRUE(has_line(variable, "variable temp equal " + std::to_string(200 + 100 * t) + ".000000")) << variable;
        EXPECT_EQ(slurp(dir + "/in.potential"), "pair_style eam\npair_coeff * * Cu.eam\nmass 1 63.546000\n");
    }
    EXPECT_FALSE(fs::exists(scratch.path("run/R5")));

    const BatchOutcome bad = run_batch(scratch, "stage frame NVT_Anneal " + scratch.path("cu_fcc.lmp") +
                                                    " --loop steps=1,2 -o " + scratch.path("bad"));
    EXPECT_EQ(bad.status, 2);
    EXPECT_TRUE(has_line(bad.err, "steps is no loop of NVT Anneal; its loops: temp")) << bad.err;
    const BatchOutcome element = run_batch(scratch, "stage frame NVT_Anneal " + scratch.path("cu_fcc.lmp") +
                                                        " -S_elemt=Kryptonite -o " + scratch.path("bad"));
    EXPECT_EQ(element.status, 2);
    EXPECT_TRUE(has_line(element.err, "-S_elemt=Kryptonite: no element symbol (Cu) or index (28)")) << element.err;
    EXPECT_FALSE(fs::exists(scratch.path("bad")));
}

// Small potential files of each kind: every value where its layout puts one.
const char* const kFuncfl = "Cu test funcfl\n 29 63.55 3.615 FCC\n 2 0.1 2 0.5 1.0\n 1 2\n 3 4\n 5 6\n";
const char* const kSetflAlloy =
    "a\nb\nc\n2 Cu Ni\n2 0.1 2 0.5 1.0\n29 63.55 3.615 fcc\n1 2 3 4\n28 58.69 3.52 fcc\n1 2 3 4\n1 2 3 4 5 6\n";
const char* const kSetflFs =
    "a\nb\nc\n2 Al Fe\n2 0.1 2 0.5 1.0\n13 26.98 4.05 fcc\n1 2 3 4 5 6\n26 55.85 2.86 bcc\n1 2 3 4 5 6\n1 2 3 4 5 6\n";
const char* const kSetflOne = "a\nb\nc\n1 Cu\n2 0.1 2 0.5 1.0\n29 63.55 3.615 fcc\n1 2 3 4\n1 2\n";
const char* const kTersoff =
    "# Si, written as LAMMPS ships it\n"
    "Si Si Si 3.0 1.0 1.3258 4.8381 2.0417 0.0000 22.956\n"
    "         0.33675 1.3258 95.373 2.82 0.14 2.4799 1830.8\n";

TEST(FrameCampaignLine, PotentialKindFromTheContent) {
    ScratchDir scratch;
    struct Case {
        const char* name;
        const char* text;
        int type;
    } cases[] = {{"pot.eam", kFuncfl, QN_POT_EAM},           {"pot.eam.alloy", kSetflAlloy, QN_POT_EAM_ALLOY},
                 {"pot.eam.fs", kSetflFs, QN_POT_EAM_FS},      {"one.setfl", kSetflOne, QN_POT_EAM_ALLOY},
                 {"Si.tersoff", kTersoff, QN_POT_TERSOFF},     {"named.eam.fs", kSetflAlloy, QN_POT_EAM_ALLOY}};
    for (const Case& c : cases) {
        write_file(scratch.path(c.name), c.text);
        int type = -1;
        std::string message;
        EXPECT_EQ(QN_frame_potential_kind(scratch.path(c.name), type, message), 1) << c.name << ": " << message;
        EXPECT_EQ(type, c.type) << c.name;
    }
}

TEST(FrameCampaignLine, UnrecognisedPotentialsAreRefusedNamingTheChoices) {
    ScratchDir scratch;
    const std::string funcfl(kFuncfl);
    const std::string tersoff(kTersoff);
    const struct {
        const char* name;
        std::string text;
    } cases[] = {
        {"words", "hello world\n"},
        {"short.eam", funcfl.substr(0, funcfl.size() - 2)},  // one table value missing
        {"long.eam", funcfl + "7\n"},
        {"bad.tersoff", tersoff.substr(0, tersoff.size() - 8) + "\n"},  // an entry of 16 words
        {"unknown.tersoff", "Xx Si Si 3.0 1.0 1.3258 4.8381 2.0417 0.0000 22.956 0.33675 1.3258 95.373 2.82 0.14 "
                            "2.4799 1830.8\n"},
        {"empty", ""},
    };
    for (const auto& c : cases) {
        write_file(scratch.path(c.name), c.text);
        int type = -7;
        std::string message;
        EXPECT_EQ(QN_frame_potential_kind(scratch.path(c.name), type, message), QN_REFUSED) << c.name;
        EXPECT_EQ(type, -7);
        EXPECT_EQ(message, scratch.path(c.name) +
                               " is none of the potential files recognised here (EAM funcfl, EAM/alloy setfl, EAM/fs "
                               "Finnis-Sinclair, Tersoff); give its type: -S_potype=0 (EAM funcfl), 1 (EAM/alloy "
                               "setfl), 2 (EAM/fs Finnis-Sinclair) or 3 (Tersoff) with -S_pot1=FILE");
    }
    int type = -1;
    std::string message;
    EXPECT_EQ(QN_frame_potential_kind(scratch.path("missing"), type, message), QN_REFUSED);
    EXPECT_EQ(message.rfind("cannot read the potential file " + scratch.path("missing"), 0), 0u) << message;
}

TEST(FrameCampaignLine, LammpsPotentialFilesAreRecognised) {
    const std::string dir = "/usr/share/lammps/potentials";
    if (!fs::is_directory(dir)) GTEST_SKIP() << "the LAMMPS potentials are not installed";
    struct Case {
        const char* name;
        int type;  // -1: refused
    } cases[] = {{"Cu_u3.eam", QN_POT_EAM},
                 {"Ni_u3.eam", QN_POT_EAM},
                 {"Cu_mishin1.eam.alloy", QN_POT_EAM_ALLOY},  // one element
                 {"CuNi.eam.alloy", QN_POT_EAM_ALLOY},
                 {"AlFe_mm.eam.fs", QN_POT_EAM_FS},
                 {"Si.tersoff", QN_POT_TERSOFF},
                 {"BNC.tersoff", QN_POT_TERSOFF},
                 {"GaN.tersoff", QN_POT_TERSOFF},
                 {"Si.tersoff.mod", -1},  // tersoff/mod: other parameters
                 {"Cu.meam", -1}};
    for (const Case& c : cases) {
        if (!fs::exists(dir + "/" + c.name)) continue;
        int type = -1;
        std::string message;
        const int code = QN_frame_potential_kind(dir + "/" + c.name, type, message);
        if (c.type < 0) {
            EXPECT_EQ(code, QN_REFUSED) << c.name;
        } else {
            EXPECT_EQ(code, 1) << c.name << ": " << message;
            EXPECT_EQ(type, c.type) << c.name;
        }
    }
}

TEST(FrameCampaignLine, StageWithAPotentialFile) {
    ScratchDir scratch;
    fs::copy_file(FIXTURES + "/cu_fcc.lmp", scratch.path("cu_fcc.lmp"));
    write_file(scratch.path("two.alloy"), kSetflAlloy);
    write_file(scratch.path("Cu.eam"), kFuncfl);
    const std::string common = "stage frame NVT_Anneal " + scratch.path("cu_fcc.lmp") + " -S_elemt=Cu ";
    BatchOutcome r = run_batch(scratch, common + "--potential " + scratch.path("Cu.eam") + " -o " + scratch.path("a"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has_line(r.out, scratch.path("Cu.eam") + ": EAM potential")) << r.out;
    EXPECT_EQ(slurp(scratch.path("a/R1/in.potential")), "pair_style eam\npair_coeff * * Cu.eam\nmass 1 63.546000\n");
    EXPECT_EQ(slurp(scratch.path("a/R1/Cu.eam")), kFuncfl);
    r = run_batch(scratch, common + "--potential " + scratch.path("two.alloy") + " -o " + scratch.path("b"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp(scratch.path("b/R1/in.potential")),
              "pair_style eam/alloy\npair_coeff * * two.alloy Cu\nmass 1 63.546000\n");
    write_file(scratch.path("junk"), "hello\n");
    r = run_batch(scratch, common + "--potential " + scratch.path("junk") + " -o " + scratch.path("c"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("is none of the potential files recognised here"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(scratch.path("c")));
    // Without an element the zero mass is refused as before, naming the type.
    r = run_batch(scratch, "stage frame NVT_Anneal " + scratch.path("cu_fcc.lmp") + " --potential " +
                               scratch.path("Cu.eam") + " -o " + scratch.path("d"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has_line(r.err, "The mass of atom type 1 is 0.000000; it must be above 0")) << r.err;
    EXPECT_EQ(r.out.find("standard atomic weight"), std::string::npos) << r.out;
}

}  // namespace
