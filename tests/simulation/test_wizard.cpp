// The simulation wizards' core: store groups and their defaults, the type
// map, task expansion, Pack and staging, crack status files, the interface
// search, the "Download Standard" blocks, the submission against a real
// sshd, and quelm-batch pack/stage/download-standard.
#include "simulation/wizard.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "store/quelm_store.h"
#include "builders/layers.h"
#include "qb/qb_formats.h"
#include "qb/qb_lattice.h"
#include "qb/qb_text.h"
#include "simulation/remote_tasks.h"
#include "slurm_fixture.h"
#include "sshd_fixture.h"
#include "test_support.h"
#include "tools/potentials.h"
#include "view/view_image.h"

namespace fs = std::filesystem;

namespace {

const std::string FIXTURES = std::string(QUELM_TEST_DATA) + "/simulation/fixtures";
const char* const kSetfl = "/usr/share/lammps/potentials/CuNi.eam.alloy";
const char* const kSecret = "Sw0rdfish-secret";

void write_file(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// An fcc single crystal (one cubic cell) written as a LAMMPS data file.
std::string write_crystal(const std::string& path, double a) {
    fs::create_directories(fs::path(path).parent_path());
    QB_tools s;
    EXPECT_EQ(QB_create_fcc(&s, a, 1, 0, 0, 0, 1, 0, 0, 0, 1), 0);
    EXPECT_EQ(QB_dump_lmp(&s, path.c_str()), 1);
    return path;
}

// The labels and value texts of a group, "LABEL=VALUE", one per value.
std::vector<std::string> group_texts(int group) {
    std::vector<std::string> out;
    for (const auto& bit : Quelm_data[group].bits)
        for (const auto& v : bit.values) out.push_back(v.substr(1));
    return out;
}

// "A=1 B=x*3" → {"A=1", "B=x", "B=x", "B=x"}.
std::vector<std::string> expand(const std::string& compact) {
    std::vector<std::string> out;
    std::istringstream in(compact);
    std::string word;
    while (in >> word) {
        const size_t star = word.rfind('*');
        int times = 1;
        if (star != std::string::npos) {
            times = std::atoi(word.c_str() + star + 1);
            word.resize(star);
        }
        for (int k = 0; k < times; k++) out.push_back(word);
    }
    return out;
}

// The entries of a task script or status file by label (first occurrence).
std::map<std::string, std::string> entries_of(const std::string& path) {
    std::vector<std::string> entries;
    std::vector<int> flags;
    EXPECT_GT(Quelm_read_add(path, entries, flags), 0) << path;
    std::map<std::string, std::string> out;
    for (const auto& e : entries) {
        const std::string label = Quelm_get_label(e);
        std::string value;
        Quelm_scan_char_single(e, label, value);
        out.emplace(label, value);
    }
    return out;
}

double number(const std::string& text) { return QB_strtod(text.c_str(), nullptr); }

// Every regular file below dir, by path relative to it.
std::set<std::string> files_below(const std::string& dir) {
    std::set<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file()) out.insert(fs::relative(e.path(), dir).string());
    return out;
}

// True when some file below dir holds text.
std::string file_holding(const std::string& dir, const std::string& text) {
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file() && slurp(e.path().string()).find(text) != std::string::npos) return e.path().string();
    return "";
}

// Three interface solutions with distinct values in every column.
std::vector<scaned_data> three_solutions() {
    std::vector<scaned_data> rows(3);
    for (int k = 0; k < 3; k++) {
        scaned_data& r = rows[k];
        r.theta1 = 10 * (k + 1);
        r.theta2 = 100 + 10 * k;
        r.d1y = 1.5 + k;
        r.d2y = 2.5 + k;
        r.d1z = 3.5 + k;
        r.d2z = 4.5 + k;
        r.n1y = 5 + k;
        r.n2y = 6 + k;
        r.n1z = 7 + k;
        r.n2z = 8 + k;
        r.mismatchy = r.mismatchz = 0;
        r.selected = 0;
    }
    return rows;
}

// Scratch files every wizard run needs: the model, an upper crystal, the
// potential converted to .quelm (in its own folder) and a job script.
class WizardTest : public QuietStdoutTest {
protected:
    void SetUp() override {
        QuietStdoutTest::SetUp();
        QN_store_init();
        model = write_crystal(scratch.path("models/cu_fcc.lmp"), 3.615);
        upper = write_crystal(scratch.path("models/ni_fcc.lmp"), 3.52);
        script = scratch.path("scripts/job.sh");
        write_file(script, "#!/bin/sh\necho job\n");
        if (fs::exists(kSetfl)) {
            fs::create_directories(scratch.path("pot"));
            potential = scratch.path("pot/cuni.quelm");
            std::string message;
            EXPECT_TRUE(QT_setfl_to_quelm(kSetfl, potential, QT_setfl_layout::alloy, message)) << message;
        }
    }
    // The wizard's defaults with the files and the mass of type 1.
    int ready(QN_wizard kind) {
        const int group = QN_wizard_about(kind).group;
        EXPECT_EQ(QN_wizard_write_defaults(kind), 2);
        QN_set_bit_char(group, "S_pot", potential.empty() ? scratch.path("pot/none.quelm") : potential);
        QN_set_bit_char(group, "S_inputa", model);
        QN_set_bit_char(group, "S_script", script);
        QN_set_bit_double_multi(group, 0, "S_mass", 63.546, 0);
        return group;
    }
    // A crack in "Tilt Interface" mode with three solutions and a
    // temperature loop 300, 600.
    void ready_crack_six() {
        ready(QN_wizard::crack);
        QN_set_bit_int(QN_CRACK_GROUP, "S_model", 1, 0);
        QN_set_bit_char(QN_CRACK_GROUP, "S_inputb", upper);
        QN_set_bit_int(QN_CRACK_GROUP, "S_temp", 300, 0);
        QN_set_bit_int(QN_CRACK_GROUP, "S_temp", 600, 1);
        std::string message;
        ASSERT_EQ(QN_crack_choose(three_solutions(), {0, 1, 2}, message), 3) << message;
    }
    bool have_potential() const { return !potential.empty(); }

public:
    ScratchDir scratch;
    std::string model, upper, script, potential;
};

#define NEED_POTENTIAL()                                                                          \
    do {                                                                                          \
        if (!have_potential()) GTEST_SKIP() << "LAMMPS potentials are not installed (" << kSetfl << ")"; \
    } while (0)

// ---- Store groups ------------------------------------------------------------------

struct DefaultsCase {
    QN_wizard kind;
    int group;
    const char* marker;
    std::string expected;  // compact "LABEL=VALUE" list in store order
};

const std::string kCommonTail =
    " S_ssdia=1 S_str=0 S_par=0 S_ort=0 S_ast=0 S_apt=0 S_dump=2000 S_script=blank S_px=0 S_py=0 S_pz=0"
    " S_img1=0 S_img2=0 S_img3=0 S_img4=0 S_img5=0";

const DefaultsCase kDefaults[] = {
    {QN_wizard::dynamic, 5, "S_Dynamic",
     "S_Dynamic=0 S_pot=blank S_elenum=0 S_mass=0.000000*10 S_model=0 S_inputa=blank S_load=0 S_dirload=0"
     " S_rate=1.000000 S_end=0.200000 S_relax=0 S_cond=0 S_dt=1.000000 S_temp=300.000000" + kCommonTail},
    {QN_wizard::quasistatic, 6, "S_Quasistatic",
     "S_Quasistatic=0 S_pot=blank S_elenum=0 S_mass=0.000000*10 S_model=0 S_inputa=blank S_load=0 S_dirload=0"
     " S_rate=0.001000 S_end=0.200000 S_relax=0 S_cond=0 S_dt=1.000000 S_temp=300.000000" + kCommonTail},
    {QN_wizard::shock, 7, "S_Shock",
     "S_Shock=0 S_pot=blank S_elenum=0 S_mass=0.000000*10 S_model=0 S_inputa=blank S_load=0 S_dirload=0"
     " S_spd=1.000000 S_end=20.000000 S_relax=0 S_blank=0.000000 S_dt=1.000000" + kCommonTail},
    {QN_wizard::crack, 4, "S_Crack",
     "S_Crack=0 S_pot=No_File S_elenum=0 S_mass=1.000000*10 S_model=0 S_inputa=No_File S_inputb=No_File"
     " S_minanga=0.000000 S_maxanga=360.000000 S_minangb=0.000000 S_maxangb=360.000000 S_maxbox=200.000000"
     " S_maxlat=30.000000 S_maxmis=0.000100 S_boxx=100.000000 S_boxy=100.000000 S_boxz=100.000000 S_solute=0"
     " S_seed=0.000000 S_snum=0.000000 S_dx=3.000000 S_dy=3.000000 S_dz=3.000000 S_crar=0.000000 S_crak=0.000000"
     " S_load=0 S_craa=0.000000 S_crab=0.000000 S_cral=0.000000 S_crag=70.000000 S_miu=0.300000 S_dirload=2"
     " S_dircrack=0 S_fix=0.000000 S_relax=0 S_cond=0 S_rate=0.100000 S_dt=1.000000 S_step=5000 S_loop=20"
     " S_temp=300 S_ssdia=0 S_str=0 S_par=0 S_ort=0 S_ast=0 S_apt=0 S_dump=0 S_anga=reset S_n1y=reset"
     " S_n1z=reset S_d1y=reset S_d1z=reset S_angb=reset S_n2y=reset S_n2z=reset S_d2y=reset S_d2z=reset"
     " S_img1=0 S_img2=0 S_img3=0 S_img4=0 S_img5=0 S_scut=0.000000 S_px=0 S_py=0 S_pz=0 S_script=None"
     " S_severip=0.0.0.0 S_severname=None S_severfold=None S_severcomm=None S_savefold=None"},
};

void PrintTo(const DefaultsCase& c, std::ostream* os) { *os << c.marker; }

class WizardDefaults : public testing::TestWithParam<DefaultsCase> {
protected:
    void SetUp() override { QN_store_init(); }
};

TEST_P(WizardDefaults, InitWritesTheDefaultsInStoreOrder) {
    const DefaultsCase& c = GetParam();
    const QN_wizard_info& info = QN_wizard_about(c.kind);
    EXPECT_EQ(info.group, c.group);
    EXPECT_STREQ(info.marker, c.marker);
    QN_wizard kind;
    ASSERT_TRUE(QN_wizard_from_word(info.word, kind));
    EXPECT_EQ(kind, c.kind);
    EXPECT_EQ(QN_wizard_init(c.kind), 2);
    EXPECT_EQ(Quelm_data[c.group].title, " ");
    EXPECT_EQ(group_texts(c.group), expand(c.expected));
    for (const auto& bit : Quelm_data[c.group].bits) EXPECT_EQ(bit.value_count, 1);
}

TEST_P(WizardDefaults, InitKeepsAGroupThatStartsWithTheMarker) {
    const DefaultsCase& c = GetParam();
    ASSERT_EQ(QN_wizard_init(c.kind), 2);
    QN_set_bit_int(c.group, "S_elenum", 3, 0);
    EXPECT_EQ(QN_wizard_init(c.kind), 1);
    EXPECT_EQ(QN_stored_int(c.group, "S_elenum"), 3);
    // A group of something else is replaced by the defaults.
    QN_reset_group(c.group, "other");
    QN_set_bit_int(c.group, "S_elenum", 3, 0);
    EXPECT_EQ(QN_wizard_init(c.kind), 2);
    EXPECT_EQ(group_texts(c.group), expand(c.expected));
}

INSTANTIATE_TEST_SUITE_P(EachWizard, WizardDefaults, testing::ValuesIn(kDefaults),
                         [](const testing::TestParamInfo<DefaultsCase>& p) {
                             return std::string(QN_wizard_about(p.param.kind).name);
                         });

TEST(WizardKinds, UnknownWordsAreNoWizard) {
    QN_wizard kind;
    EXPECT_FALSE(QN_wizard_from_word("frame", kind));
    EXPECT_FALSE(QN_wizard_from_word("Crack", kind));
    EXPECT_FALSE(QN_wizard_from_word("", kind));
}

// ---- Type map ----------------------------------------------------------------------

struct MapCase {
    const char* name;
    int types;
    std::vector<QN_type_link> links;
    std::vector<int> expected;
};

void PrintTo(const MapCase& c, std::ostream* os) { *os << c.name; }

class TypeMap : public testing::TestWithParam<MapCase> {};

TEST_P(TypeMap, LinksReplaceTheirTypesOnly) {
    EXPECT_EQ(QN_wizard_type_map(GetParam().types, GetParam().links), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TypeMap,
    testing::Values(MapCase{"TwoTypesNoLinks", 2, {}, {1, 2}}, MapCase{"LinkTwoToFive", 2, {{2, 5}}, {1, 5}},
                    MapCase{"LinkFromThreeIgnored", 2, {{3, 4}}, {1, 2}},
                    MapCase{"LinkFromZeroIgnored", 2, {{0, 4}}, {1, 2}},
                    MapCase{"TargetTruncated", 3, {{1, 2.9}}, {2, 2, 3}},
                    MapCase{"LaterLinkWins", 1, {{1, 2}, {1, 3}}, {3}}, MapCase{"NoTypes", 0, {{1, 2}}, {}}),
    [](const testing::TestParamInfo<MapCase>& p) { return std::string(p.param.name); });

// ---- Task expansion ----------------------------------------------------------------

TEST_F(WizardTest, DynamicHasOneTask) {
    NEED_POTENTIAL();
    ready(QN_wizard::dynamic);
    std::string message;
    EXPECT_EQ(QN_wizard_task_count(QN_wizard::dynamic, message), 1) << message;
    EXPECT_EQ(QN_wizard_pack(QN_wizard::dynamic, {}, scratch.path("pack"), false, message), 1) << message;
    EXPECT_TRUE(fs::exists(scratch.path("pack/input1.qld")));
    EXPECT_FALSE(fs::exists(scratch.path("pack/input2.qld")));
}

TEST_F(WizardTest, QuasistaticLoopGivesTwoTaskScriptsMatchingTheFixture) {
    NEED_POTENTIAL();
    // Through a model named like the fixture's.
    model = scratch.path("models/cu_fcc.lmp");
    const int group = ready(QN_wizard::quasistatic);
    QN_set_bit_double(group, "S_rate", 0.001, 0);
    QN_set_bit_double(group, "S_rate", 2e-7, 1);  // "%lf" would write 0.000000
    QN_set_bit_int(group, "S_img1", 1, 0);
    QN_wizard_extras extras;
    extras.images.resize(1);
    std::string message;
    ASSERT_EQ(QN_wizard_task_count(QN_wizard::quasistatic, message), 2) << message;
    ASSERT_EQ(QN_wizard_pack(QN_wizard::quasistatic, extras, scratch.path("pack"), false, message), 2) << message;
    EXPECT_EQ(slurp(scratch.path("pack/input1.qld")), slurp(FIXTURES + "/wizard/quasistatic_input1.qld"));
    EXPECT_EQ(slurp(scratch.path("pack/input2.qld")), slurp(FIXTURES + "/wizard/quasistatic_input2.qld"));
    EXPECT_NE(slurp(scratch.path("pack/input2.qld")).find("-S_rate=2e-07\n"), std::string::npos);
    // The store keeps the full paths.
    EXPECT_EQ(QN_stored_text(group, "S_inputa"), model);
    EXPECT_EQ(QN_stored_text(group, "S_pot"), potential);
}

TEST_F(WizardTest, CrackSolutionsTimesTemperaturesGiveSixConsistentTasks) {
    NEED_POTENTIAL();
    ready_crack_six();
    std::string message;
    ASSERT_EQ(QN_wizard_task_count(QN_wizard::crack, message), 6) << message;
    ASSERT_EQ(QN_wizard_pack(QN_wizard::crack, {}, scratch.path("pack"), false, message), 6) << message;
    const auto rows = three_solutions();
    for (int j = 1; j <= 6; j++) {
        SCOPED_TRACE("task " + std::to_string(j));
        auto e = entries_of(scratch.path("pack/input" + std::to_string(j) + ".qld"));
        // The temperature comes before the solutions: it changes every task.
        EXPECT_EQ(e["S_temp"], j % 2 ? "300" : "600");
        const scaned_data& r = rows[(j - 1) / 2];
        EXPECT_DOUBLE_EQ(number(e["S_anga"]), r.theta1);
        EXPECT_DOUBLE_EQ(number(e["S_n1y"]), r.n1y);
        EXPECT_DOUBLE_EQ(number(e["S_n1z"]), r.n1z);
        EXPECT_DOUBLE_EQ(number(e["S_d1y"]), r.d1y);
        EXPECT_DOUBLE_EQ(number(e["S_d1z"]), r.d1z);
        EXPECT_DOUBLE_EQ(number(e["S_angb"]), r.theta2);
        EXPECT_DOUBLE_EQ(number(e["S_n2y"]), r.n2y);
        EXPECT_DOUBLE_EQ(number(e["S_n2z"]), r.n2z);
        EXPECT_DOUBLE_EQ(number(e["S_d2y"]), r.d2y);
        EXPECT_DOUBLE_EQ(number(e["S_d2z"]), r.d2z);
        EXPECT_EQ(e["S_inputa"], "cu_fcc.lmp");
        EXPECT_EQ(e["S_inputb"], "ni_fcc.lmp");
        EXPECT_EQ(e.count("S_severpass"), 0u);
    }
    // The binding lives only while the scripts are written.
    EXPECT_EQ(BIND_IDLIST[0][0], -1);
}

// ---- Pack ----------------------------------------------------------------------------

TEST_F(WizardTest, PackWritesTheFileSetWithBareNamesAndTheRemappedPotential) {
    NEED_POTENTIAL();
    const int group = ready(QN_wizard::dynamic);
    QN_set_bit_int(group, "S_elenum", 1, 0);
    QN_set_bit_double_multi(group, 1, "S_mass", 58.69, 0);
    QN_set_bit_int(group, "S_img1", 1, 0);
    QN_set_bit_int(group, "S_img2", 3, 0);
    QN_wizard_extras extras;
    extras.links = {{1, 2}, {2, 1}};  // swap the elements
    QN_image_setting second;
    second.width = 640;
    second.height = 480;
    second.rotx = 30.7;
    second.distance = 500;
    extras.images = {QN_image_setting{}, second};
    const std::string cwd_before = [] {
        std::string s;
        for (const auto& e : fs::directory_iterator(fs::current_path())) s += e.path().string() + "\n";
        return s;
    }();
    std::string message;
    ASSERT_EQ(QN_wizard_pack(QN_wizard::dynamic, extras, scratch.path("pack"), false, message), 1) << message;
    EXPECT_EQ(files_below(scratch.path("pack")),
              (std::set<std::string>{"cuni.quelm", "cu_fcc.lmp", "job.sh", "input1.qld", "img1", "img2"}));
    const std::string script_text = slurp(scratch.path("pack/input1.qld"));
    EXPECT_EQ(script_text.find(scratch.dir()), std::string::npos) << "a local path leaked";
    auto e = entries_of(scratch.path("pack/input1.qld"));
    EXPECT_EQ(e["S_pot"], "cuni.quelm");
    EXPECT_EQ(e["S_inputa"], "cu_fcc.lmp");
    EXPECT_EQ(e["S_script"], "job.sh");

    ASSERT_TRUE(QT_remap_quelm(potential, scratch.path("expected.quelm"), {2, 1}, message) == 1) << message;
    EXPECT_EQ(slurp(scratch.path("pack/cuni.quelm")), slurp(scratch.path("expected.quelm")));
    EXPECT_EQ(slurp(scratch.path("pack/cu_fcc.lmp")), slurp(model));
    EXPECT_EQ(slurp(scratch.path("pack/job.sh")), slurp(script));
    ASSERT_EQ(Quelm_dump_img(scratch.path("img1").c_str(), 1000, 1000, 0, 90, 0, 1000), QN_IMAGE_OK);
    ASSERT_EQ(Quelm_dump_img(scratch.path("img2").c_str(), 640, 480, 30, 90, 0, 500), QN_IMAGE_OK);
    EXPECT_EQ(slurp(scratch.path("pack/img1")), slurp(scratch.path("img1")));
    EXPECT_EQ(slurp(scratch.path("pack/img2")), slurp(scratch.path("img2")));

    // Nothing beside the user's potential, nothing in the working folder.
    EXPECT_EQ(files_below(scratch.path("pot")), std::set<std::string>{"cuni.quelm"});
    std::string cwd_after;
    for (const auto& f : fs::directory_iterator(fs::current_path())) cwd_after += f.path().string() + "\n";
    EXPECT_EQ(cwd_after, cwd_before);
    EXPECT_FALSE(fs::exists("clog.txt.qnw"));
}

TEST_F(WizardTest, PackRefusesExistingFilesUnlessOverwrite) {
    NEED_POTENTIAL();
    const std::string original = slurp(potential);
    const int group = ready(QN_wizard::quasistatic);
    QN_set_bit_double(group, "S_rate", 0.002, 1);
    std::string message;
    ASSERT_EQ(QN_wizard_pack(QN_wizard::quasistatic, {}, scratch.path("pack"), false, message), 2) << message;
    write_file(scratch.path("pack/input1.qld"), "mine");
    EXPECT_LT(QN_wizard_pack(QN_wizard::quasistatic, {}, scratch.path("pack"), false, message), 0);
    EXPECT_NE(message.find("input1.qld"), std::string::npos) << message;
    EXPECT_EQ(slurp(scratch.path("pack/input1.qld")), "mine");
    // With overwrite: replaced, and the scripts of the old second task go.
    QN_set_bit_double(group, "S_rate", 0.001, 0);
    EXPECT_EQ(QN_wizard_pack(QN_wizard::quasistatic, {}, scratch.path("pack"), true, message), 1) << message;
    EXPECT_NE(slurp(scratch.path("pack/input1.qld")), "mine");
    EXPECT_FALSE(fs::exists(scratch.path("pack/input2.qld")));
    // The potential's own folder would see it replaced: always refused.
    EXPECT_LT(QN_wizard_pack(QN_wizard::quasistatic, {}, scratch.path("pot"), true, message), 0);
    EXPECT_NE(message.find("potential"), std::string::npos) << message;
    EXPECT_EQ(slurp(potential), original);
    EXPECT_EQ(files_below(scratch.path("pot")), std::set<std::string>{"cuni.quelm"});
}

TEST_F(WizardTest, StageWritesTheTaskFoldersAsTheServerHoldsThem) {
    NEED_POTENTIAL();
    ready_crack_six();
    QN_set_bit_int(QN_CRACK_GROUP, "S_img1", 2, 0);
    QN_wizard_extras extras;
    extras.images.resize(1);
    std::string message;
    ASSERT_EQ(QN_wizard_stage(QN_wizard::crack, extras, scratch.path("staged"), false, message), 6) << message;
    ASSERT_EQ(QN_wizard_pack(QN_wizard::crack, extras, scratch.path("pack"), false, message), 6) << message;
    const std::set<std::string> shared = {"cuni.quelm", "cu_fcc.lmp", "ni_fcc.lmp", "job.sh"};
    std::set<std::string> expected;
    for (int j = 1; j <= 6; j++) {
        const std::string r = "R" + std::to_string(j) + "/";
        for (const auto& s : shared) expected.insert(r + s);
        for (const char* own : {"input.qld", "img1", "run_no"}) expected.insert(r + own);
        EXPECT_EQ(slurp(scratch.path("staged/" + r + "input.qld")),
                  slurp(scratch.path("pack/input" + std::to_string(j) + ".qld")));
        EXPECT_EQ(slurp(scratch.path("staged/" + r + "run_no")), "0\n");
    }
    EXPECT_EQ(files_below(scratch.path("staged")), expected);
    EXPECT_EQ(slurp(scratch.path("staged/R4/cuni.quelm")), slurp(scratch.path("pack/cuni.quelm")));

    // With the shared files written once beside the task folders.
    std::vector<std::string> names;
    EXPECT_LT(QN_wizard_stage(QN_wizard::crack, extras, scratch.path("staged"), false, message, &names), 0);
    ASSERT_EQ(QN_wizard_stage(QN_wizard::crack, extras, scratch.path("once"), false, message, &names), 6) << message;
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), shared);
    expected.clear();
    for (const auto& s : shared) expected.insert(s);
    for (int j = 1; j <= 6; j++)
        for (const char* own : {"input.qld", "img1", "run_no"}) expected.insert("R" + std::to_string(j) + "/" + own);
    EXPECT_EQ(files_below(scratch.path("once")), expected);
}

TEST_F(WizardTest, SmallStrainRateSurvivesIntoTheTaskScript) {
    NEED_POTENTIAL();
    const int group = ready(QN_wizard::quasistatic);
    QN_set_bit_double(group, "S_rate", 2e-7, 0);
    EXPECT_EQ(QN_stored_double(group, "S_rate"), 2e-7);
    std::string message;
    ASSERT_EQ(QN_wizard_pack(QN_wizard::quasistatic, {}, scratch.path("pack"), false, message), 1) << message;
    EXPECT_NE(slurp(scratch.path("pack/input1.qld")).find("\n-S_rate=2e-07\n"), std::string::npos);
}

// ---- Checks ----------------------------------------------------------------------------

struct CheckCase {
    const char* name;
    QN_wizard kind;
    std::function<void(WizardTest&, QN_wizard_extras&)> spoil;
    const char* expected;
};

void PrintTo(const CheckCase& c, std::ostream* os) { *os << c.name; }

class WizardCheck : public WizardTest, public testing::WithParamInterface<CheckCase> {};

TEST_P(WizardCheck, RefusesBeforeWritingAnything) {
    NEED_POTENTIAL();
    const CheckCase& c = GetParam();
    ready(c.kind);
    QN_wizard_extras extras;
    c.spoil(*this, extras);
    std::string message;
    EXPECT_LT(QN_wizard_check(c.kind, extras, message), 0);
    EXPECT_NE(message.find(c.expected), std::string::npos) << message;
    EXPECT_LT(QN_wizard_pack(c.kind, extras, scratch.path("pack"), false, message), 0);
    EXPECT_NE(message.find(c.expected), std::string::npos) << message;
    EXPECT_FALSE(fs::exists(scratch.path("pack")));
    const QN_submit_report report = QN_wizard_submit(c.kind, extras, QN_ssh_options{}, "F", "true", false);
    EXPECT_FALSE(report.ok());
    EXPECT_NE(report.error.find(c.expected), std::string::npos) << report.error;
}

INSTANTIATE_TEST_SUITE_P(
    Errors, WizardCheck,
    testing::Values(
        CheckCase{"MissingPotential", QN_wizard::shock,
                  [](WizardTest& t, QN_wizard_extras&) {
                      QN_set_bit_char(7, "S_pot", t.scratch.path("pot/absent.quelm"));
                  },
                  "ERROR: Potential file not found"},
        CheckCase{"LinkBeyondThePotential", QN_wizard::dynamic,
                  [](WizardTest&, QN_wizard_extras& x) { x.links = {{1, 3}}; },
                  "ERROR: Too much element required in potential file"},
        CheckCase{"ThreeTypesForATwoElementPotential", QN_wizard::quasistatic,
                  [](WizardTest&, QN_wizard_extras&) {
                      QN_set_bit_int(6, "S_elenum", 2, 0);
                      QN_set_bit_double_multi(6, 1, "S_mass", 1, 0);
                      QN_set_bit_double_multi(6, 2, "S_mass", 1, 0);
                  },
                  "ERROR: Too much element required in potential file"},
        CheckCase{"TiltInterfaceWithoutSolutions", QN_wizard::crack,
                  [](WizardTest& t, QN_wizard_extras&) {
                      QN_set_bit_int(4, "S_model", 1, 0);
                      QN_set_bit_char(4, "S_inputb", t.upper);
                  },
                  "ERROR: Model not selected"},
        CheckCase{"MissingModel", QN_wizard::dynamic,
                  [](WizardTest& t, QN_wizard_extras&) { QN_set_bit_char(5, "S_inputa", t.scratch.path("no.lmp")); },
                  "ERROR: Model file not found"},
        CheckCase{"MassNotSet", QN_wizard::dynamic,
                  [](WizardTest&, QN_wizard_extras&) { QN_set_bit_int(5, "S_elenum", 1, 0); },
                  "mass of type 2"},
        CheckCase{"ImageWithoutColour", QN_wizard::dynamic,
                  [](WizardTest&, QN_wizard_extras& x) { x.images.resize(1); }, "no colour mode"}),
    [](const testing::TestParamInfo<CheckCase>& p) { return std::string(p.param.name); });

TEST_F(WizardTest, CrackFromASelectedFileNeedsNoSolutions) {
    NEED_POTENTIAL();
    ready(QN_wizard::crack);
    QN_set_bit_int(QN_CRACK_GROUP, "S_temp", 300, 0);
    QN_set_bit_int(QN_CRACK_GROUP, "S_temp", 600, 1);
    std::string message;
    EXPECT_EQ(QN_wizard_check(QN_wizard::crack, {}, message), 1) << message;
    ASSERT_EQ(QN_wizard_pack(QN_wizard::crack, {}, scratch.path("pack"), false, message), 2) << message;
    auto e = entries_of(scratch.path("pack/input2.qld"));
    EXPECT_EQ(e["S_anga"], "reset");
    EXPECT_EQ(e["S_d2z"], "reset");
    EXPECT_EQ(e["S_temp"], "600");
    EXPECT_EQ(files_below(scratch.path("pack")),
              (std::set<std::string>{"cuni.quelm", "cu_fcc.lmp", "job.sh", "input1.qld", "input2.qld"}));
}

// ---- The password ----------------------------------------------------------------------

TEST_F(WizardTest, NoWrittenFileHoldsThePassword) {
    NEED_POTENTIAL();
    ready_crack_six();
    QN_set_bit_char(QN_CRACK_GROUP, "S_severip", "127.0.0.1");
    QN_set_bit_char(QN_CRACK_GROUP, "S_severname", "someone");
    // Whatever put a password entry into the group, nothing written holds it.
    QN_set_bit_char(QN_CRACK_GROUP, "S_severpass", kSecret);
    std::string message;
    ASSERT_EQ(QN_wizard_pack(QN_wizard::crack, {}, scratch.path("out/pack"), false, message), 6) << message;
    ASSERT_EQ(QN_wizard_stage(QN_wizard::crack, {}, scratch.path("out/staged"), false, message), 6) << message;
    std::vector<std::string> shared;
    ASSERT_EQ(QN_wizard_stage(QN_wizard::crack, {}, scratch.path("out/shared"), false, message, &shared), 6);
    ASSERT_EQ(QN_crack_save_status(scratch.path("out/setup.qnw"), message), 1) << message;
    EXPECT_EQ(file_holding(scratch.path("out"), kSecret), "");
    EXPECT_EQ(file_holding(scratch.path("out"), "S_severpass"), "");
    EXPECT_NE(file_holding(scratch.path("out"), "someone"), "");
    // The group itself is left as it was.
    EXPECT_EQ(QN_stored_text(QN_CRACK_GROUP, "S_severpass"), kSecret);
    EXPECT_FALSE(fs::exists("clog.txt.qnw"));
}

// ---- Crack status files ----------------------------------------------------------------

// Same labels in the same order, and every value the same number (or text).
void expect_same_values(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); i++) {
        const std::string la = a[i].substr(0, a[i].find('=')), lb = b[i].substr(0, b[i].find('='));
        EXPECT_EQ(la, lb);
        const std::string va = a[i].substr(a[i].find('=') + 1), vb = b[i].substr(b[i].find('=') + 1);
        char* end = nullptr;
        QB_strtod(va.c_str(), &end);
        if (!va.empty() && *end == '\0')
            EXPECT_EQ(number(va), number(vb)) << la;
        else
            EXPECT_EQ(va, vb) << la;
    }
}

TEST_F(WizardTest, StatusRoundTripKeepsLoopsAndSolutions) {
    ready_crack_six();
    for (int k = 0; k < 3; k++) QN_set_bit_double(QN_CRACK_GROUP, "S_seed", 1 + k, k);
    QN_set_bit_double_multi(QN_CRACK_GROUP, 2, "S_mass", 58.69, 0);
    QN_set_bit_char(QN_CRACK_GROUP, "S_severfold", "runs/crack");
    QN_set_bit_double(QN_CRACK_GROUP, "S_rate", 2e-7, 0);
    const std::vector<std::string> before = group_texts(QN_CRACK_GROUP);
    std::string message, warnings;
    ASSERT_EQ(QN_crack_save_status(scratch.path("setup.qnw"), message), 1) << message;
    QN_store_init();
    ASSERT_EQ(QN_crack_load_status(scratch.path("setup.qnw"), warnings, message), 1) << message;
    EXPECT_EQ(warnings, "");
    expect_same_values(group_texts(QN_CRACK_GROUP), before);
    const int seed = Quelm_scan_dest_single(QN_CRACK_GROUP, "S_seed");
    ASSERT_GE(seed, 0);
    EXPECT_EQ(Quelm_data[QN_CRACK_GROUP].bits[seed].values,
              (std::vector<std::string>{"-S_seed=1", "-S_seed=2", "-S_seed=3"}));
    EXPECT_EQ(Quelm_data[QN_CRACK_GROUP].bits[Quelm_scan_dest_single(QN_CRACK_GROUP, "S_anga")].value_count, 3);
    EXPECT_EQ(QN_stored_double(QN_CRACK_GROUP, "S_rate"), 2e-7);
    EXPECT_EQ(QN_wizard_task_count(QN_wizard::crack, message), 3 * 2 * 3) << message;
}

TEST_F(WizardTest, StatusLoadingFollowsTheLabelKindsAndIgnoresThePassword) {
    write_file(scratch.path("given.qnw"),
               "# \n-S_Crack=0\n-S_seed=2.500000\n-S_temp=450.7\n-S_mass=2\n-S_mass=3\n-S_severpass=hunter2\n"
               "-S_severname=alice\n-S_pot=/data/x.quelm\n-S_anga=reset\n-S_n1y=12.000000\n-S_miu=0.25\n"
               "-S_unknown=1\n-PRIVATE_LOOP_FLAG=0\t-S_dx=1\n-PRIVATE_LOOP_FLAG=1\t-S_dx=2\n-PRIVATE_LOOP_FLAG=0\t\n");
    std::string warnings, message;
    ASSERT_EQ(QN_crack_load_status(scratch.path("given.qnw"), warnings, message), 1) << message;
    EXPECT_NE(warnings.find("S_severpass"), std::string::npos) << warnings;
    EXPECT_NE(warnings.find("S_unknown"), std::string::npos) << warnings;
    EXPECT_EQ(warnings.find("hunter2"), std::string::npos);
    EXPECT_LT(Quelm_scan_dest_single(QN_CRACK_GROUP, "S_severpass"), 0);
    const auto texts = group_texts(QN_CRACK_GROUP);
    auto has = [&](const std::string& t) { return std::find(texts.begin(), texts.end(), t) != texts.end(); };
    EXPECT_TRUE(has("S_seed=2"));
    EXPECT_TRUE(has("S_temp=450"));
    EXPECT_TRUE(has("S_severname=alice"));
    EXPECT_TRUE(has("S_pot=/data/x.quelm"));
    EXPECT_TRUE(has("S_anga=reset"));
    EXPECT_TRUE(has("S_n1y=12"));
    EXPECT_TRUE(has("S_miu=0.250000"));
    EXPECT_TRUE(has("S_dx=1.000000") && has("S_dx=2.000000"));
    double mass = 0;
    EXPECT_EQ(QN_scan_double_multi(QN_CRACK_GROUP, 1, "S_mass", mass), 1);
    EXPECT_EQ(mass, 3);
    EXPECT_EQ(QN_scan_double_multi(QN_CRACK_GROUP, 2, "S_mass", mass), 1);
    EXPECT_EQ(mass, 1);
    EXPECT_FALSE(has("S_unknown=1"));
    EXPECT_EQ(texts.size(), expand(kDefaults[3].expected).size() + 1);  // the second S_dx value

    EXPECT_LT(QN_crack_load_status(scratch.path("absent.qnw"), warnings, message), 0);
    EXPECT_NE(message.find("absent.qnw"), std::string::npos);
}

// ---- Download Standard blocks ------------------------------------------------------

struct BlocksCase {
    const char* name;
    std::function<void()> loops;
    std::vector<std::vector<int>> expected;
};

void PrintTo(const BlocksCase& c, std::ostream* os) { *os << c.name; }

class CrackBlocks : public WizardTest, public testing::WithParamInterface<BlocksCase> {};

TEST_P(CrackBlocks, EachBlockHoldsTheAnglesOfOneSetting) {
    ready(QN_wizard::crack);
    std::string message;
    ASSERT_EQ(QN_crack_choose(three_solutions(), {0, 1, 2}, message), 3) << message;
    GetParam().loops();
    EXPECT_EQ(QN_crack_blocks(message), GetParam().expected) << message;
}

INSTANTIATE_TEST_SUITE_P(
    Loops, CrackBlocks,
    testing::Values(BlocksCase{"NoOtherLoop", [] {}, {{1, 2, 3}}},
                    BlocksCase{"TemperatureBefore",
                               [] {
                                   QN_set_bit_int(4, "S_temp", 300, 0);
                                   QN_set_bit_int(4, "S_temp", 600, 1);
                               },
                               {{1, 3, 5}, {2, 4, 6}}},
                    BlocksCase{"CutoffAfter",
                               [] {
                                   QN_set_bit_double(4, "S_scut", 2, 0);
                                   QN_set_bit_double(4, "S_scut", 3, 1);
                               },
                               {{1, 2, 3}, {4, 5, 6}}},
                    BlocksCase{"BothSides",
                               [] {
                                   QN_set_bit_int(4, "S_temp", 300, 0);
                                   QN_set_bit_int(4, "S_temp", 600, 1);
                                   QN_set_bit_double(4, "S_scut", 2, 0);
                                   QN_set_bit_double(4, "S_scut", 3, 1);
                               },
                               {{1, 3, 5}, {2, 4, 6}, {7, 9, 11}, {8, 10, 12}}}),
    [](const testing::TestParamInfo<BlocksCase>& p) { return std::string(p.param.name); });

// ---- Interface search ----------------------------------------------------------------

TEST_F(WizardTest, InterfaceSearchOnTwoCrystalsFillsTheSolutions) {
    ready(QN_wizard::crack);
    QN_set_bit_int(QN_CRACK_GROUP, "S_model", 1, 0);
    QN_set_bit_char(QN_CRACK_GROUP, "S_inputb", upper);
    QN_set_bit_double(QN_CRACK_GROUP, "S_maxmis", 2e-4, 0);
    // Tilt angles of the bottom crystal within 40 ... 50, the upper's within 0 ... 180.
    QN_set_bit_double(QN_CRACK_GROUP, "S_minanga", 40, 0);
    QN_set_bit_double(QN_CRACK_GROUP, "S_maxanga", 50, 0);
    QN_set_bit_double(QN_CRACK_GROUP, "S_minangb", 0, 0);
    QN_set_bit_double(QN_CRACK_GROUP, "S_maxangb", 180, 0);
    std::vector<scaned_data> rows;
    std::string message;
    const int found = QN_crack_search(rows, message);
    ASSERT_GT(found, 1) << message;
    ASSERT_EQ(static_cast<size_t>(found), rows.size());
    for (const auto& r : rows) {
        EXPECT_TRUE(r.theta1 >= 40 && r.theta1 <= 50);
        EXPECT_TRUE(r.theta2 >= 0 && r.theta2 <= 180);
        EXPECT_LT(r.mismatchy, 2e-4);
    }
    ASSERT_GT(found, 2);
    const std::vector<int> chosen = {0, 1, found - 1};
    ASSERT_EQ(QN_crack_choose(rows, chosen, message), 3) << message;
    const auto& bits = Quelm_data[QN_CRACK_GROUP].bits;
    for (const char* label : {"S_anga", "S_n1y", "S_n1z", "S_d1y", "S_d1z", "S_angb", "S_n2y", "S_n2z", "S_d2y", "S_d2z"})
        EXPECT_EQ(bits[Quelm_scan_dest_single(QN_CRACK_GROUP, label)].value_count, 3) << label;
    for (int k = 0; k < 3; k++) {
        double angle = 0, upper_angle = 0;
        QN_scan_double_loop(QN_CRACK_GROUP, "S_anga", angle, k);
        QN_scan_double_loop(QN_CRACK_GROUP, "S_angb", upper_angle, k);
        EXPECT_NEAR(angle, rows[chosen[k]].theta1, 1e-6);
        EXPECT_NEAR(upper_angle, rows[chosen[k]].theta2, 1e-6);
    }
    EXPECT_EQ(QN_wizard_task_count(QN_wizard::crack, message), 3) << message;
    // Rows that are not there are refused.
    EXPECT_LT(QN_crack_choose(rows, {found}, message), 0);
    EXPECT_LT(QN_crack_choose(rows, {}, message), 0);
    // A missing crystal is named.
    QN_set_bit_char(QN_CRACK_GROUP, "S_inputb", scratch.path("none.lmp"));
    EXPECT_LT(QN_crack_search(rows, message), 0);
    EXPECT_NE(message.find("upper"), std::string::npos) << message;
}

// ---- Against a real sshd -------------------------------------------------------------

class WizardRemote : public WizardTest {
protected:
    void SetUp() override {
        WizardTest::SetUp();
        std::string why;
        if (!before_server(why)) GTEST_SKIP() << why;
        if (!server.start(why, sshd_setup)) GTEST_SKIP() << why;
        options = server.options();
        options.accept_new_host_key = true;
        runtime = std::make_unique<ScopedRuntimeDir>(scratch.path("run"));
    }
    void TearDown() override {
        runtime.reset();
        WizardTest::TearDown();
    }
    std::string remote(const std::string& relative) const { return server.home + "/" + relative; }
    // What must run before the server starts (false: skip, with why).
    virtual bool before_server(std::string&) { return true; }

    TestSshdSetup sshd_setup;
    TestSshd server;
    QN_ssh_options options;
    std::unique_ptr<ScopedRuntimeDir> runtime;  // quelm-batch's connections among the case's files
};

TEST_F(WizardRemote, QuasistaticBatchCreatesOneFolderPerTask) {
    NEED_POTENTIAL();
    const int group = ready(QN_wizard::quasistatic);
    QN_set_bit_double(group, "S_rate", 0.002, 1);
    QN_set_bit_double(group, "S_temp", 600, 1);
    QN_set_bit_int(group, "S_img1", 1, 0);
    QN_wizard_extras extras;
    extras.images.resize(1);
    ASSERT_EQ(server.run_as_user("mkdir -p bin/Viz && echo viewer > bin/Viz/marker"), 0);
    const QN_submit_report report =
        QN_wizard_submit(QN_wizard::quasistatic, extras, options, "runs/qs", "true", false);
    ASSERT_TRUE(report.ok()) << report.summary();
    EXPECT_EQ(report.summary(), "Submit complete");
    ASSERT_EQ(report.tasks.size(), 4u);
    std::string message;
    std::vector<std::string> shared;
    ASSERT_EQ(QN_wizard_stage(QN_wizard::quasistatic, extras, scratch.path("staged"), false, message, &shared), 4);
    for (int j = 1; j <= 4; j++) {
        const std::string r = "runs/qs/R" + std::to_string(j);
        SCOPED_TRACE(r);
        EXPECT_EQ(report.tasks[j - 1].folder, r);
        EXPECT_EQ(report.tasks[j - 1].exit_status, 0);
        EXPECT_TRUE(report.tasks[j - 1].command_ran);
        EXPECT_EQ(slurp(remote(r + "/run_no")), "0\n");
        EXPECT_EQ(slurp(remote(r + "/input.qld")), slurp(scratch.path("staged/R" + std::to_string(j) + "/input.qld")));
        EXPECT_EQ(slurp(remote(r + "/img1")), slurp(scratch.path("staged/R1/img1")));
        EXPECT_EQ(slurp(remote(r + "/Viz/marker")), "viewer\n");
        for (const auto& name : shared) EXPECT_EQ(slurp(remote(r + "/" + name)), slurp(scratch.path("staged/" + name)));
    }
    // The shared files went up once, beside the task folders.
    for (const auto& name : shared) EXPECT_TRUE(fs::exists(remote("runs/qs/" + name))) << name;
    // The rates differ between R1 and R2, the temperatures between R1 and R3.
    EXPECT_EQ(entries_of(remote("runs/qs/R2/input.qld"))["S_rate"], "0.002000");
    EXPECT_EQ(entries_of(remote("runs/qs/R3/input.qld"))["S_temp"], "600.000000");
    // Submitting again without overwrite sends nothing.
    const QN_submit_report again = QN_wizard_submit(QN_wizard::quasistatic, extras, options, "runs/qs", "true", false);
    EXPECT_FALSE(again.ok());
    EXPECT_TRUE(again.exists);
}

TEST_F(WizardRemote, BatchSubmitReportsEachTaskAndKeepsThePasswordOut) {
    NEED_POTENTIAL();
    setenv("QUELM_SSH_PASSWORD", server.password.c_str(), 1);
    const std::string submit = "submit shock " + model + " -S_pot=" + potential +
                               " -S_mass=63.546 --host 127.0.0.1 --port " + std::to_string(server.port) +
                               " --user " + server.user + " --known-hosts " + server.known_hosts +
                               " --accept-new-host-key --folder shock --command 'test -f run_no'";
    const BatchOutcome done = run_batch(scratch, submit);
    const BatchOutcome again = run_batch(scratch, submit);
    unsetenv("QUELM_SSH_PASSWORD");
    ASSERT_EQ(done.status, 0) << done.out << done.err;
    EXPECT_NE(done.out.find("shock/R1: "), std::string::npos) << done.out;
    EXPECT_NE(done.out.find("Submit complete"), std::string::npos) << done.out;
    EXPECT_TRUE(fs::exists(remote("shock/R1/input.qld")));
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("already exists"), std::string::npos) << again.err;
    for (const BatchOutcome* r : {&done, &again}) {
        EXPECT_EQ(r->out.find(server.password), std::string::npos);
        EXPECT_EQ(r->err.find(server.password), std::string::npos);
    }
}

TEST_F(WizardRemote, FailingCommandIsReported) {
    NEED_POTENTIAL();
    ready(QN_wizard::dynamic);
    const QN_submit_report report = QN_wizard_submit(QN_wizard::dynamic, {}, options, "runs/dyn", "exit 3", false);
    EXPECT_FALSE(report.ok());
    ASSERT_EQ(report.tasks.size(), 1u);
    EXPECT_EQ(report.tasks[0].exit_status, 3);
    EXPECT_NE(report.summary().find("exit status 3"), std::string::npos) << report.summary();
    // No viewer folder in the account: the setup still succeeds.
    EXPECT_EQ(slurp(remote("runs/dyn/R1/run_no")), "0\n");
    EXPECT_FALSE(fs::exists(remote("runs/dyn/R1/Viz")));
}

TEST_F(WizardRemote, PasswordNeverReachesTheServer) {
    NEED_POTENTIAL();
    ready_crack_six();
    QN_set_bit_char(QN_CRACK_GROUP, "S_severpass", kSecret);
    const QN_submit_report report = QN_wizard_submit(QN_wizard::crack, {}, options, "runs/pw", "true", false);
    ASSERT_TRUE(report.ok()) << report.summary();
    EXPECT_EQ(file_holding(remote("runs/pw"), kSecret), "");
    EXPECT_EQ(file_holding(remote("runs/pw"), "S_severpass"), "");
}

TEST_F(WizardRemote, DownloadStandardRendersEachBlockAndFetchesIt) {
    NEED_POTENTIAL();
    ready_crack_six();
    const QN_submit_report report = QN_wizard_submit(QN_wizard::crack, {}, options, "runs/crack", "true", false);
    ASSERT_TRUE(report.ok()) << report.summary();
    // A stand-in renderer: its arguments become the three outputs; it fails
    // when a task script is missing.
    ASSERT_EQ(server.run_as_user("mkdir -p bin && printf '%s\\n' '#!/bin/sh' "
                                 "'for a in \"$@\"; do case \"$a\" in *.qld) [ -f \"$a\" ] || exit 4;; esac; done' "
                                 "'echo \"$@\" > theta.png' 'echo \"$@\" > theta.dat' 'echo log \"$@\" > union.log' "
                                 "> bin/data_render && chmod +x bin/data_render"),
              0);
    fs::create_directories(scratch.path("save"));
    QN_download_report got =
        QN_crack_download_standard(options, "runs/crack", scratch.path("save"), QN_existing::refuse);
    ASSERT_TRUE(got.ok()) << got.summary();
    EXPECT_EQ(got.done.size(), 6u);
    const std::string first = "R1/input.qld R1/Quelm_globel_profile1.dat R3/input.qld R3/Quelm_globel_profile1.dat "
                              "R5/input.qld R5/Quelm_globel_profile1.dat\n";
    const std::string second = "R2/input.qld R2/Quelm_globel_profile1.dat R4/input.qld R4/Quelm_globel_profile1.dat "
                               "R6/input.qld R6/Quelm_globel_profile1.dat\n";
    EXPECT_EQ(slurp(scratch.path("save/result/theta1.png")), first);
    EXPECT_EQ(slurp(scratch.path("save/result/theta1.dat")), first);
    EXPECT_EQ(slurp(scratch.path("save/result/theta1.log")), "log " + first);
    EXPECT_EQ(slurp(scratch.path("save/result/theta2.png")), second);
    EXPECT_EQ(files_below(scratch.path("save")),
              (std::set<std::string>{"result/theta1.png", "result/theta1.dat", "result/theta1.log",
                                     "result/theta2.png", "result/theta2.dat", "result/theta2.log"}));

    // Existing files are refused, or skipped on request.
    got = QN_crack_download_standard(options, "runs/crack", scratch.path("save"), QN_existing::refuse);
    EXPECT_FALSE(got.ok());
    got = QN_crack_download_standard(options, "runs/crack", scratch.path("save"), QN_existing::skip);
    EXPECT_TRUE(got.ok()) << got.summary();
    EXPECT_EQ(got.skipped.size(), 6u);

    // A failing renderer is reported per block, and nothing is fetched.
    ASSERT_EQ(server.run_as_user("rm -f runs/crack/R3/input.qld"), 0);
    fs::create_directories(scratch.path("save2"));
    got = QN_crack_download_standard(options, "runs/crack", scratch.path("save2"), QN_existing::refuse);
    EXPECT_FALSE(got.ok());
    ASSERT_EQ(got.failed.size(), 1u) << got.summary();
    EXPECT_NE(got.failed[0].second.find("exit status 4"), std::string::npos) << got.failed[0].second;
    EXPECT_EQ(got.done.size(), 3u);
    EXPECT_TRUE(fs::exists(scratch.path("save2/result/theta2.png")));
    EXPECT_FALSE(fs::exists(scratch.path("save2/result/theta1.png")));

    // No save folder: nothing is tried.
    got = QN_crack_download_standard(options, "runs/crack", scratch.path("absent"), QN_existing::refuse);
    EXPECT_EQ(got.error.rfind("Can not access save folder", 0), 0u) << got.error;
}

// ---- quelm-batch -----------------------------------------------------------------------

TEST_F(WizardTest, BatchPackWritesTheWizardPackage) {
    NEED_POTENTIAL();
    const std::string common = "pack quasistatic " + model + " -S_pot=" + potential + " -S_script=" + script +
                               " -S_mass=63.546 -S_rate=2e-7 --image 800,600,10,90,0,700 --link 1:2 -o " +
                               scratch.path("pack");
    BatchOutcome r = run_batch(scratch, common);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("1 task packed"), std::string::npos) << r.out;
    EXPECT_EQ(files_below(scratch.path("pack")),
              (std::set<std::string>{"cuni.quelm", "cu_fcc.lmp", "job.sh", "input1.qld", "img1"}));
    auto e = entries_of(scratch.path("pack/input1.qld"));
    EXPECT_EQ(e["S_rate"], "2e-7");
    EXPECT_EQ(e["S_inputa"], "cu_fcc.lmp");
    EXPECT_EQ(e["S_img1"], "1");
    std::string message;
    ASSERT_EQ(QT_remap_quelm(potential, scratch.path("expected.quelm"), {2}, message), 1);
    EXPECT_EQ(slurp(scratch.path("pack/cuni.quelm")), slurp(scratch.path("expected.quelm")));
    // Again: the files exist.
    r = run_batch(scratch, common);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("overwrite"), std::string::npos) << r.err;
    EXPECT_EQ(run_batch(scratch, common + " --overwrite").status, 0);

    // Usage errors.
    EXPECT_EQ(run_batch(scratch, "pack quasistatic " + model).status, 2);
    EXPECT_EQ(run_batch(scratch, "pack tensile " + model + " -o " + scratch.path("x")).status, 2);
    EXPECT_EQ(run_batch(scratch, "pack dynamic " + model + " --upper " + upper + " -o " + scratch.path("x")).status, 2);
    EXPECT_EQ(run_batch(scratch, "pack dynamic " + model + " --link 1 -o " + scratch.path("x")).status, 2);
    r = run_batch(scratch, "pack crack " + model + " -S_severpass=x -o " + scratch.path("x"));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("S_severpass"), std::string::npos) << r.err;
    // A failure of the check.
    r = run_batch(scratch, "pack dynamic " + model + " -S_mass=1 -o " + scratch.path("x"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("ERROR: Potential file not found"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(scratch.path("x")));
}

TEST_F(WizardTest, BatchStageOfACrackWithSolutionsAndAStatusFile) {
    NEED_POTENTIAL();
    // A status file with a temperature loop and a password entry.
    ready(QN_wizard::crack);
    QN_set_bit_int(QN_CRACK_GROUP, "S_temp", 300, 0);
    QN_set_bit_int(QN_CRACK_GROUP, "S_temp", 600, 1);
    QN_set_bit_double(QN_CRACK_GROUP, "S_maxmis", 2e-4, 0);
    QN_set_bit_double(QN_CRACK_GROUP, "S_minanga", 40, 0);
    QN_set_bit_double(QN_CRACK_GROUP, "S_maxanga", 50, 0);
    QN_set_bit_double(QN_CRACK_GROUP, "S_minangb", 0, 0);
    QN_set_bit_double(QN_CRACK_GROUP, "S_maxangb", 180, 0);
    std::string message;
    ASSERT_EQ(QN_crack_save_status(scratch.path("setup.qnw"), message), 1) << message;
    std::ofstream(scratch.path("setup.qnw"), std::ios::app) << "-S_severpass=" << kSecret << "\n";

    BatchOutcome r = run_batch(scratch, "stage crack " + model + " --status " + scratch.path("setup.qnw") +
                                            " --upper " + upper + " --solutions 1,2 -o " + scratch.path("staged"));
    ASSERT_EQ(r.status, 0) << r.err << r.out;
    EXPECT_NE(r.err.find("S_severpass"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("4 tasks staged"), std::string::npos) << r.out;
    for (int j = 1; j <= 4; j++) {
        const std::string dir = scratch.path("staged/R" + std::to_string(j));
        EXPECT_EQ(files_below(dir), (std::set<std::string>{"input.qld", "run_no", "cuni.quelm", "cu_fcc.lmp",
                                                           "ni_fcc.lmp", "job.sh"}));
        auto e = entries_of(dir + "/input.qld");
        EXPECT_EQ(e["S_temp"], j % 2 ? "300" : "600");
        EXPECT_EQ(e["S_inputb"], "ni_fcc.lmp");
        EXPECT_EQ(e["S_model"], "1");
    }
    EXPECT_EQ(file_holding(scratch.path("staged"), kSecret), "");
    // Without solutions a Tilt Interface crack has no model.
    r = run_batch(scratch, "stage crack " + model + " --status " + scratch.path("setup.qnw") + " --upper " + upper +
                               " -o " + scratch.path("staged2"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("ERROR: Model not selected"), std::string::npos) << r.err;
    // A frame option for a wizard, a wizard option for a frame.
    EXPECT_EQ(run_batch(scratch, "stage crack " + model + " --config x -o " + scratch.path("s3")).status, 2);
    EXPECT_EQ(run_batch(scratch, "stage frame t.txt " + model + " --upper x -o " + scratch.path("s3")).status, 2);
}

TEST_F(WizardTest, BatchDownloadStandardChecksTheSaveFolderFirst) {
    BatchOutcome r = run_batch(scratch, "download-standard crack --host 127.0.0.1 --user u --folder F -o " +
                                            scratch.path("absent"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Can not access save folder"), std::string::npos) << r.err;
    EXPECT_EQ(run_batch(scratch, "download-standard dynamic --host 127.0.0.1 --user u --folder F -o " + scratch.dir())
                  .status,
              2);
    r = run_batch(scratch, "--help");
    EXPECT_NE(r.out.find("download-standard crack"), std::string::npos);
    EXPECT_NE(r.out.find("pack dynamic|quasistatic|shock|crack"), std::string::npos);
}

}  // namespace

class WizardOnSlurm : public WizardRemote {
protected:
    bool before_server(std::string& why) override { return cluster.start_for(sshd_setup, why); }
    TestSlurm cluster;
};

TEST_F(WizardOnSlurm, BatchSubmitQueuesTheTasksAfterTheirSetup) {
    NEED_POTENTIAL();
    setenv("QUELM_SSH_PASSWORD", server.password.c_str(), 1);
    // The launcher finds what the setup put in each task folder at submission.
    const BatchOutcome done = run_batch(
        scratch, "submit shock " + model + " -S_pot=" + potential + " -S_mass=63.546 --host 127.0.0.1 --port " +
                     std::to_string(server.port) + " --user " + server.user + " --known-hosts " + server.known_hosts +
                     " --accept-new-host-key --folder shock --scheduler slurm --partition " + cluster.partition +
                     " --launcher 'test -f run_no -a -f input.qld' --campaign " + scratch.path("shock.qnc"));
    unsetenv("QUELM_SSH_PASSWORD");
    ASSERT_EQ(done.status, 0) << done.out << done.err;
    EXPECT_NE(done.out.find("Submitted 1 task to the scheduler as job "), std::string::npos) << done.out;
    QN_campaign c;
    std::string why;
    ASSERT_TRUE(QN_campaign_load(scratch.path("shock.qnc"), c, why)) << why;
    EXPECT_EQ(c.source, "shock " + model);
    EXPECT_FALSE(c.settings.empty());
    QN_ssh_session session;
    ASSERT_EQ(session.open(options), QN_SSH_OK) << session.message();
    QN_campaign_status st;
    for (int k = 0; k < 60; k++) {
        ASSERT_EQ(QN_campaign_poll(session, c, st), QN_SSH_OK) << st.error;
        if (QN_task_state_ended(st.tasks[0].state)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    EXPECT_EQ(st.count_text(), "1 COMPLETED");
    EXPECT_EQ(st.tasks[0].exit_code, 0);
}
