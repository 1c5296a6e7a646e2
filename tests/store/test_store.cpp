#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "store/quelm_store.h"
#include "qb/qb_progress.h"

namespace fs = std::filesystem;

namespace {

std::string read_bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void write_bytes(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

const fs::path fixture_dir = fs::path(QUELM_TEST_DATA) / "store" / "fixtures" / "store";

// The example of the status file format: title " ", one value, a loop of two.
const char* const example_qnw =
    "# \n"
    "#blank tip\n"
    "-S_elenum=2\n"
    "#blank tip\n"
    "-PRIVATE_LOOP_FLAG=0\t-S_temp=300.000000\n"
    "-PRIVATE_LOOP_FLAG=1\t-S_temp=600.000000\n"
    "-PRIVATE_LOOP_FLAG=0\t";

// Progress reports seen by the hooks.
struct progress_log {
    std::vector<std::string> begun;
    std::vector<double> updates;
    int depth = 0;
};
progress_log progress;

void hook_begin(const char* message) {
    progress.begun.push_back(message);
    progress.depth++;
}
void hook_update(double percent) { progress.updates.push_back(percent); }
void hook_end() { progress.depth--; }

class Store : public ::testing::Test {
protected:
    void SetUp() override {
        QN_store_init();
        std::string pattern = (fs::temp_directory_path() / "quelm_store_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        progress = progress_log();
        const QB_progress_hooks hooks = {hook_begin, hook_update, hook_end};
        QB_set_progress_hooks(&hooks);
    }
    void TearDown() override {
        QB_set_progress_hooks(nullptr);
        std::error_code ec;
        fs::remove_all(dir, ec);
        QN_store_free();
    }

    std::vector<std::string> values(int group, int bit) const { return Quelm_data[group].bits[bit].values; }

    // Reads a status file, checking that entries and flags stay paired.
    std::vector<std::string> read(const fs::path& path, std::vector<int>* flags = nullptr) const {
        std::vector<std::string> entries;
        std::vector<int> f;
        const int n = Quelm_read_add(path.string(), entries, f);
        EXPECT_EQ(n, static_cast<int>(entries.size()));
        EXPECT_EQ(f.size(), entries.size());
        if (flags) *flags = f;
        return entries;
    }

    std::vector<std::string> read_text(const std::string& text, std::vector<int>* flags = nullptr) const {
        write_bytes(dir / "in.qnw", text);
        return read(dir / "in.qnw", flags);
    }

    // The group of the crack_loops.qnw fixture, written the way a form does.
    void fill_crack(int g) const {
        QN_reset_group(g, "Crack simulation");
        QN_set_bit_int(g, "S_elenum", 2, 0);
        for (int k = 0; k < 3; k++) QN_set_bit_double(g, "S_temp", 300.0 * (k + 1), k);
        QN_set_bit_char(g, "S_cmd", "mpirun -np 4 lmp");
        QN_set_bit_double_multi(g, 0, "S_mass", 63.546, 0);
        QN_set_bit_double_multi(g, 1, "S_mass", 58.6934, 0);
    }

    // A form's initialisation: reset, defaults, then the entries of a file.
    void load_crack_form(int g, const std::vector<std::string>& entries, const std::vector<int>& flags) const {
        QN_reset_group(g, "Crack simulation");
        QN_set_bit_int(g, "S_elenum", 1, 0);
        QN_set_bit_double(g, "S_temp", 10, 0);
        QN_set_bit_char(g, "S_cmd", "lmp");
        QN_set_bit_double_multi(g, 0, "S_mass", 1, 0);
        QN_set_bit_double_multi(g, 1, "S_mass", 1, 0);
        int mass = 0;
        for (size_t i = 0; i < entries.size(); i++) {
            QN_reset_bit_int(g, "S_elenum", entries[i], flags[i]);
            QN_reset_bit_double(g, "S_temp", entries[i], flags[i]);
            QN_reset_bit_char(g, "S_cmd", entries[i], flags[i]);
            if (QN_reset_bit_double_multi(g, mass, "S_mass", entries[i], flags[i]) == 1) mass++;
        }
    }

    fs::path dir;
};

// ---- Start-up and groups ---------------------------------------------------

TEST_F(Store, StartUpMakesEightEmptyGroupsAndZonesAppend) {
    ASSERT_EQ(QN_MAX_BIT, 8);
    ASSERT_EQ(Quelm_data.size(), 8u);
    for (const auto& g : Quelm_data) EXPECT_EQ(g.bit_count, 0);
    EXPECT_EQ(QN_add_zone(), 8);
    EXPECT_EQ(QN_add_zone(), 9);
    EXPECT_EQ(QN_MAX_BIT, 10);
    EXPECT_EQ(QN_set_bit_int(9, "S_n", 3, 0), 1);

    // Starting again resets the whole store.
    QN_set_bit_int(0, "M_x", 1, 0);
    QN_output_bind_set(0, 0, 1);
    QN_store_init();
    EXPECT_EQ(QN_MAX_BIT, 8);
    EXPECT_EQ(Quelm_data[0].bit_count, 0);
    EXPECT_EQ(BIND_IDLIST[0][0], -1);

    // Without a store nothing is written or found.
    QN_store_free();
    int v = 7;
    EXPECT_EQ(QN_add_zone(), QN_REFUSED);
    EXPECT_EQ(QN_set_bit_int(0, "M_x", 1, 0), QN_REFUSED);
    EXPECT_EQ(QN_scan_int_single(0, "M_x", v), 0);
    EXPECT_EQ(v, 7);
}

TEST_F(Store, ResetGroupKeepsOnlyTheTitle) {
    QN_set_bit_int(5, "S_n", 3, 0);
    ASSERT_EQ(QN_reset_group(5, "Dynamic"), 1);
    EXPECT_EQ(Quelm_data[5].bit_count, 0);
    EXPECT_TRUE(Quelm_data[5].bits.empty());
    EXPECT_EQ(Quelm_data[5].title, "Dynamic");
    EXPECT_EQ(QN_reset_group(8, "x"), QN_REFUSED);
    EXPECT_EQ(QN_reset_group(-1, "x"), QN_REFUSED);
}

// ---- Matching rule ---------------------------------------------------------

TEST(StoreMatching, PrefixLabelsEmptyValuesAndTheLeadingMinus) {
    std::string s = "unchanged";
    EXPECT_EQ(Quelm_scan_char_single("-S_pot1=Cu.eam", "S_pot", s), 0);
    EXPECT_EQ(Quelm_scan_char_single("-S_pot=Cu.eam", "S_pot1", s), 0);
    EXPECT_EQ(Quelm_scan_char_single("-L", "L", s), 0);
    EXPECT_EQ(Quelm_scan_char_single("--a=1", "a", s), 0);
    EXPECT_EQ(s, "unchanged");
    EXPECT_EQ(Quelm_scan_char_single("-S_pot=Cu.eam", "S_pot", s), 1);
    EXPECT_EQ(s, "Cu.eam");
    EXPECT_EQ(Quelm_scan_char_single("S_pot=Ni x", "S_pot", s), 1);  // the '-' is optional
    EXPECT_EQ(s, "Ni x");
    EXPECT_EQ(Quelm_scan_char_single("--a=1", "-a", s), 1);
    EXPECT_EQ(s, "1");
    EXPECT_EQ(Quelm_scan_char_single("-a==", "a", s), 1);
    EXPECT_EQ(s, "=");
    EXPECT_EQ(Quelm_scan_char_single("-L=", "L", s), 1);  // an empty text is a value
    EXPECT_EQ(s, "");
}

TEST(StoreMatching, AnEmptyTextIsStoredReadAndReplacedInItsOwnBit) {
    QN_store_init();
    QN_set_bit_char(4, "S_severpass", "");
    QN_set_bit_char(4, "S_severname", "me");
    EXPECT_EQ(QN_stored_text(4, "S_severpass", "fallback"), "");
    QN_set_bit_char(4, "S_severpass", "typed");
    ASSERT_EQ(Quelm_data[4].bits.size(), 2u);
    EXPECT_EQ(Quelm_data[4].bits[0].values[0], "-S_severpass=typed");
}

TEST(StoreValues, SmallDoublesKeepTheirValue) {
    QN_store_init();
    const std::pair<double, const char*> cases[] = {
        {0.5, "-S_v=0.500000"},   {63.546, "-S_v=63.546000"}, {1.0 / 3, "-S_v=0.333333"},
        {0.0012345678, "-S_v=0.001235"}, {2e-7, "-S_v=2e-07"}, {-6e-7, "-S_v=-6e-07"},
        {0, "-S_v=0.000000"},     {1e-300, "-S_v=1e-300"},
    };
    for (const auto& c : cases) {
        QN_set_bit_double(4, "S_v", c.first, 0);
        EXPECT_EQ(Quelm_data[4].bits[0].values[0], c.second);
        EXPECT_NEAR(QN_stored_double(4, "S_v"), c.first, 1e-3 * std::fabs(c.first)) << c.second;
    }
}

TEST(StoreMatching, IntegersAreTruncatedDoublesAndClamped) {
    int n = -5;
    const std::pair<const char*, int> cases[] = {
        {"-n=2.9", 2},   {"-n=-2.9", -2},          {"-n=1e3", 1000}, {"-n=abc", 0},
        {"-n=1e300", INT_MAX}, {"-n=-1e300", INT_MIN}, {"-n=nan", 0},     {"-n=0x10", 16},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(Quelm_scan_int_single(c.first, "n", n), 1) << c.first;
        EXPECT_EQ(n, c.second) << c.first;
    }
    double d = 0;
    EXPECT_EQ(Quelm_scan_double_single("-d=3.25x", "d", d), 1);
    EXPECT_EQ(d, 3.25);
    EXPECT_EQ(Quelm_scan_double_single("-e=1", "d", d), 0);
    EXPECT_EQ(d, 3.25);
}

TEST(StoreMatching, LabelOfAnEntry) {
    EXPECT_EQ(Quelm_get_label("-S_temp=300.0"), "S_temp");
    EXPECT_EQ(Quelm_get_label("S_temp=300.0"), "S_temp");
    EXPECT_EQ(Quelm_get_label("--x=1"), "-x");
    EXPECT_EQ(Quelm_get_label("-flag"), "flag");
    EXPECT_EQ(Quelm_get_label("-=1"), "");
    EXPECT_EQ(Quelm_get_label(""), "");
}

// ---- Writers and readers ---------------------------------------------------

TEST_F(Store, DoublesKeepSixDecimals) {
    QN_set_bit_double(0, "M_single_a", 3.6149098873, 0);
    EXPECT_EQ(values(0, 0), std::vector<std::string>{"-M_single_a=3.614910"});
    double a = 0;
    ASSERT_EQ(QN_scan_double_single(0, "M_single_a", a), 1);
    EXPECT_DOUBLE_EQ(a, 3.61491);
    QN_set_bit_double(0, "tiny", 4.9e-7, 0);
    QN_set_bit_double(0, "neg_tiny", -4.9e-7, 0);
    // Six decimals would make them 0: they keep their value instead.
    ASSERT_EQ(QN_scan_double_single(0, "tiny", a), 1);
    EXPECT_EQ(a, 4.9e-7);
    ASSERT_EQ(QN_scan_double_single(0, "neg_tiny", a), 1);
    EXPECT_EQ(a, -4.9e-7);
    QN_set_bit_int(0, "n", -12, 0);
    EXPECT_EQ(values(0, 3), std::vector<std::string>{"-n=-12"});
}

TEST_F(Store, SlotWritesGrowAndReplaceLoops) {
    QN_set_bit_double(5, "S_temp", 300, 0);
    EXPECT_EQ(QN_set_bit_double(5, "S_temp", 600, 1), 1);  // a single value becomes a loop
    EXPECT_EQ(values(5, 0), (std::vector<std::string>{"-S_temp=300.000000", "-S_temp=600.000000"}));
    EXPECT_EQ(QN_set_bit_int(5, "S_temp", 450, 1), 1);  // overwrite inside the loop
    EXPECT_EQ(values(5, 0), (std::vector<std::string>{"-S_temp=300.000000", "-S_temp=450"}));
    EXPECT_EQ(Quelm_data[5].bits[0].value_count, 2);

    // Past the end would leave an undefined slot; a negative slot is no slot.
    EXPECT_EQ(QN_set_bit_double(5, "S_temp", 900, 3), QN_REFUSED);
    EXPECT_EQ(QN_set_bit_double(5, "S_temp", 900, -1), QN_REFUSED);
    EXPECT_EQ(Quelm_data[5].bits[0].value_count, 2);

    // A new bit starts at slot 0: a refused write appends nothing.
    EXPECT_EQ(QN_set_bit_int(5, "S_new", 1, 1), QN_REFUSED);
    EXPECT_EQ(Quelm_data[5].bit_count, 1);

    EXPECT_EQ(QN_set_bit_double(5, "S_temp", 200, 0), 1);  // slot 0 leaves a single value
    EXPECT_EQ(values(5, 0), std::vector<std::string>{"-S_temp=200.000000"});
    EXPECT_EQ(QN_set_bit_int(5, "S_temp", 1, 1), 1);
    EXPECT_EQ(QN_set_bit_char(5, "S_temp", "hot"), 1);  // text: one slot
    EXPECT_EQ(values(5, 0), std::vector<std::string>{"-S_temp=hot"});

    const Quelm_data_bit_LV2& bit = Quelm_data[5].bits[0];
    EXPECT_EQ(bit.tip, "blank tip");
    EXPECT_EQ(bit.label, "S_temp");
}

TEST_F(Store, LoopReaderWalksTheSlots) {
    for (int k = 0; k < 4; k++) QN_set_bit_double(6, "S_strain", 0.01 * k, k);
    QN_set_bit_double(6, "S_strain_rate", 5, 0);
    std::vector<double> seen;
    double v = -1;
    int n = 1;
    for (int slot = 0; slot < n; slot++) {
        n = QN_scan_double_loop(6, "S_strain", v, slot);
        seen.push_back(v);
    }
    EXPECT_EQ(seen, (std::vector<double>{0, 0.01, 0.02, 0.03}));
    int i = 9;
    EXPECT_EQ(QN_scan_int_loop(6, "S_strain", i, 4), 0);
    EXPECT_EQ(QN_scan_int_loop(6, "S_strain", i, -1), 0);
    EXPECT_EQ(i, 9);
    EXPECT_EQ(QN_scan_int_loop(6, "S_strain_rate", i, 0), 1);
    EXPECT_EQ(i, 5);
}

TEST_F(Store, OccurrencesTellEqualLabelsApart) {
    QN_set_bit_double_multi(4, 0, "S_mass", 63.546, 0);
    QN_set_bit_int(4, "S_other", 1, 0);
    QN_set_bit_double_multi(4, 1, "S_mass", 58.69, 0);
    // Occurrence 3 of a label present twice appends occurrence 2.
    QN_set_bit_double_multi(4, 3, "S_mass", 26.98, 0);
    EXPECT_EQ(Quelm_data[4].bit_count, 4);
    EXPECT_EQ(Quelm_scan_dest_multi(4, "S_mass", 2), 3);
    EXPECT_EQ(Quelm_scan_dest_single(4, "S_mass"), 0);
    EXPECT_EQ(Quelm_scan_dest_multi(4, "S_mass", 3), -1);
    EXPECT_EQ(Quelm_scan_dest_multi(4, "S_mass", -1), -1);

    double m = 0;
    EXPECT_EQ(QN_scan_double_single(4, "S_mass", m), 1);
    EXPECT_DOUBLE_EQ(m, 63.546);
    EXPECT_EQ(QN_scan_double_multi(4, 1, "S_mass", m), 1);
    EXPECT_DOUBLE_EQ(m, 58.69);
    // Not found: out holds the last match met on the way.
    EXPECT_EQ(QN_scan_double_multi(4, 5, "S_mass", m), 0);
    EXPECT_DOUBLE_EQ(m, 26.98);
    std::string s = "default";
    EXPECT_EQ(QN_scan_char_multi(4, 0, "S_none", s), 0);
    EXPECT_EQ(s, "default");
    EXPECT_EQ(QN_set_bit_int_multi(4, -1, "S_mass", 1, 0), QN_REFUSED);
}

TEST_F(Store, AnEmptyTextIsFoundAndItsBitReusedButIsNoNumber) {
    ASSERT_EQ(QN_set_bit_char(0, "M_file", ""), 1);
    EXPECT_EQ(values(0, 0), std::vector<std::string>{"-M_file="});
    std::string s = "NULL";
    EXPECT_EQ(QN_scan_char_single(0, "M_file", s), 1);
    EXPECT_EQ(s, "");
    EXPECT_EQ(Quelm_scan_dest_single(0, "M_file"), 0);
    int n = 7;
    EXPECT_EQ(QN_scan_int_single(0, "M_file", n), 0);
    EXPECT_EQ(n, 7);
    // The next write by label replaces the empty text in its own bit.
    QN_set_bit_char(0, "M_file", "a.lmp");
    EXPECT_EQ(Quelm_data[0].bit_count, 1);
    EXPECT_EQ(values(0, 0), std::vector<std::string>{"-M_file=a.lmp"});
}

TEST_F(Store, LabelsThatCannotComeBackFromAFileAreRefused) {
    for (const char* bad : {"", "two words", "a=b", "tab\there", "PRIVATE_LOOP_FLAG"}) {
        EXPECT_EQ(QN_set_bit_int(0, bad, 1, 0), QN_REFUSED) << bad;
        EXPECT_EQ(QN_set_bit_char(0, bad, "x"), QN_REFUSED) << bad;
    }
    EXPECT_EQ(Quelm_data[0].bit_count, 0);
    EXPECT_EQ(QN_set_bit_int(8, "S_n", 1, 0), QN_REFUSED);
    int v = 3;
    EXPECT_EQ(QN_scan_int_single(99, "S_n", v), 0);
    EXPECT_EQ(QN_scan_int_loop(-1, "S_n", v, 0), 0);
    EXPECT_EQ(Quelm_scan_dest_single(8, "S_n"), -1);
}

TEST_F(Store, IndexWritersWorkOnTheBoundBit) {
    QN_set_bit_int(1, "A_cna", 0, 0);
    QN_set_bit_double(1, "A_cut", 3.5, 0);
    auto& bits = Quelm_data[1].bits;
    ASSERT_EQ(QN_delete_bit(bits, 1), 1);
    EXPECT_EQ(Quelm_data[1].bit_count, 2);  // the bit keeps its place
    EXPECT_EQ(bits[1].value_count, 0);
    EXPECT_EQ(Quelm_scan_dest_single(1, "A_cut"), -1);

    EXPECT_EQ(QN_save_bit_double(bits, 1, "A_cut", 1, 0), 1);
    EXPECT_EQ(QN_save_bit_double(bits, 1, "A_cut", 2, 1), 1);
    EXPECT_EQ(QN_save_bit_double(bits, 1, "A_cut", 4, 3), QN_REFUSED);
    EXPECT_EQ(values(1, 1), (std::vector<std::string>{"-A_cut=1.000000", "-A_cut=2.000000"}));
    EXPECT_EQ(QN_save_bit_char(bits, 1, "A_cut", "x y"), 1);
    EXPECT_EQ(values(1, 1), std::vector<std::string>{"-A_cut=x y"});
    EXPECT_EQ(QN_save_bit_int(bits, 0, "A_cna", 1, 0), 1);
    EXPECT_EQ(values(1, 0), std::vector<std::string>{"-A_cna=1"});

    EXPECT_EQ(QN_save_bit_int(bits, 2, "A_cna", 1, 0), QN_REFUSED);
    EXPECT_EQ(QN_save_bit_int(bits, -1, "A_cna", 1, 0), QN_REFUSED);
    EXPECT_EQ(QN_delete_bit(bits, 2), QN_REFUSED);
    EXPECT_EQ(Quelm_data[1].bit_count, 2);
}

TEST_F(Store, EntryWritersApplyOnlyMatchingEntries) {
    QN_set_bit_int(4, "S_elenum", 1, 0);
    EXPECT_EQ(QN_reset_bit_int(4, "S_elenum", "-S_elenum1=5", 0), 0);
    EXPECT_EQ(QN_reset_bit_int(4, "S_elenum", "-S_elenum=", 0), 0);
    EXPECT_EQ(values(4, 0), std::vector<std::string>{"-S_elenum=1"});
    EXPECT_EQ(QN_reset_bit_int(4, "S_elenum", "-S_elenum=abc", 0), 1);  // wrong kind reads as 0
    EXPECT_EQ(values(4, 0), std::vector<std::string>{"-S_elenum=0"});
    EXPECT_EQ(QN_reset_bit_double(4, "S_elenum", "-S_elenum=2.5", 1), 1);
    EXPECT_EQ(QN_reset_bit_double(4, "S_elenum", "-S_elenum=3", 5), QN_REFUSED);
    EXPECT_EQ(QN_reset_bit_double(4, "S_elenum", "-S_elenum=3", -1), QN_REFUSED);
    EXPECT_EQ(Quelm_data[4].bits[0].value_count, 2);
    EXPECT_EQ(QN_reset_bit_char(4, "S_elenum", "-S_elenum=a b", 7), 1);  // text ignores the slot
    EXPECT_EQ(values(4, 0), std::vector<std::string>{"-S_elenum=a b"});
}

// ---- Status files ----------------------------------------------------------

TEST_F(Store, StatusFileIsByteExact) {
    QN_reset_group(4, " ");
    QN_set_bit_int(4, "S_elenum", 2, 0);
    QN_set_bit_double(4, "S_temp", 300, 0);
    QN_set_bit_double(4, "S_temp", 600, 1);
    QN_set_bit_int(4, "S_gone", 1, 0);
    QN_delete_bit(Quelm_data[4].bits, 2);  // bits without values are not written
    ASSERT_EQ(QN_dump_status((dir / "example.qnw").string(), 4), 1);
    EXPECT_EQ(read_bytes(dir / "example.qnw"), example_qnw);

    fill_crack(3);
    QN_set_bit_char(3, "S_none", "");
    QN_delete_bit(Quelm_data[3].bits, 5);
    ASSERT_EQ(QN_dump_status((dir / "crack").string(), 3), 1);  // extension added
    EXPECT_EQ(read_bytes(dir / "crack.qnw"), read_bytes(fixture_dir / "crack_loops.qnw"));
}

TEST_F(Store, StatusFileNameGetsItsExtensionOnce) {
    ASSERT_EQ(QN_dump_status((dir / "a.qnw").string(), 0), 1);
    ASSERT_EQ(QN_dump_status((dir / "b.txt").string(), 0), 1);
    EXPECT_TRUE(fs::exists(dir / "a.qnw"));
    EXPECT_TRUE(fs::exists(dir / "b.txt.qnw"));
    EXPECT_FALSE(fs::exists(dir / "a.qnw.qnw"));
    EXPECT_EQ(read_bytes(dir / "a.qnw"), "#\n");
}

TEST_F(Store, StatusFileFailuresAreReported) {
    EXPECT_EQ(QN_dump_status((dir / "missing" / "x.qnw").string(), 0), QN_FILE_ERROR);
    EXPECT_EQ(QN_dump_status((dir / "x.qnw").string(), 8), QN_REFUSED);
    EXPECT_FALSE(fs::exists(dir / "x.qnw"));
    std::vector<std::string> entries{"stale"};
    std::vector<int> flags{4};
    EXPECT_EQ(Quelm_read_add((dir / "missing.qnw").string(), entries, flags), QN_FILE_ERROR);
    EXPECT_TRUE(entries.empty());
    EXPECT_TRUE(flags.empty());
}

TEST_F(Store, TitleAndTipStayOneCommentLine) {
    QN_reset_group(2, "first line\n-KV_evil=1");
    QN_set_bit_int(2, "KV_n", 3, 0);
    ASSERT_EQ(QN_dump_status((dir / "t.qnw").string(), 2), 1);
    EXPECT_EQ(read(dir / "t.qnw"), std::vector<std::string>{"-KV_n=3"});
}

TEST_F(Store, ReaderSkipsCommentsAndCollapsesBlanks) {
    std::vector<int> flags;
    const auto entries = read_text(
        "ignored before the first entry\n"
        "#title -a=1 on a comment line\n"
        "-text=one   two\t\tthree\n\n  four\n"
        "// -b=2 skipped -c=3\n"
        "-d=4 /* a comment -e=5\n"
        "still -f=6 inside /*x*/ -g=7\n"
        "//\n"
        "/ -h=8 #x -i=9\n"
        "# last line without a line end -j=10",
        &flags);
    EXPECT_EQ(entries, (std::vector<std::string>{"-text=one two three four", "-d=4", "-g=7 /", "-h=8"}));
    EXPECT_EQ(flags, (std::vector<int>{0, 0, 0, 0}));

    // The opening token is not searched for the closing mark; an unclosed
    // comment runs to the end of the file.
    EXPECT_EQ(read_text("-a=1 /*x*/ -b=2 */ -c=3 /* -d=4\n-e=5"), (std::vector<std::string>{"-a=1", "-c=3"}));
    EXPECT_TRUE(read_text("").empty());
    EXPECT_TRUE(read_text("# only a comment").empty());
}

TEST_F(Store, WordsStartingWithMinusStayInTheirText) {
    QN_set_bit_char(4, "S_submit", "mpirun -np 4 lmp -in input.qld");
    QN_set_bit_char(4, "S_note", "a -x=1 b");  // a word with '=' starts an entry
    ASSERT_EQ(QN_dump_status((dir / "s.qnw").string(), 4), 1);
    EXPECT_EQ(read(dir / "s.qnw"),
              (std::vector<std::string>{"-S_submit=mpirun -np 4 lmp -in input.qld", "-S_note=a", "-x=1 b"}));
    EXPECT_EQ(read_text("-a=1 - -- -b"), std::vector<std::string>{"-a=1 - -- -b"});
}

TEST_F(Store, LoopFlagsGovernTheEntriesBehindThem) {
    std::vector<int> flags;
    const auto entries = read(fixture_dir / "crack_loops.qnw", &flags);
    EXPECT_EQ(entries, (std::vector<std::string>{"-S_elenum=2", "-PRIVATE_LOOP_FLAG=0", "-S_temp=300.000000",
                                                 "-PRIVATE_LOOP_FLAG=1", "-S_temp=600.000000",
                                                 "-PRIVATE_LOOP_FLAG=2", "-S_temp=900.000000",
                                                 "-PRIVATE_LOOP_FLAG=0", "-S_cmd=mpirun -np 4 lmp",
                                                 "-S_mass=63.546000", "-S_mass=58.693400"}));
    EXPECT_EQ(flags, (std::vector<int>{0, 0, 0, 1, 1, 2, 2, 0, 0, 0, 0}));

    // The closing flag at the very end of a file disturbs nothing.
    read_text(example_qnw, &flags);
    EXPECT_EQ(flags, (std::vector<int>{0, 0, 0, 1, 1, 0}));
}

TEST_F(Store, OutOfRangeLoopFlagsAreNotApplied) {
    std::vector<int> flags;
    const auto entries = read_text(
        "-S_t=1\n-PRIVATE_LOOP_FLAG=2000000000\t-S_t=2\n-PRIVATE_LOOP_FLAG=-3\t-S_t=3\n"
        "-PRIVATE_LOOP_FLAG=1e300\t-S_t=4\n-PRIVATE_LOOP_FLAG=1\t-S_t=5\n-PRIVATE_LOOP_FLAG=\t-S_t=6\n",
        &flags);
    ASSERT_EQ(entries.size(), 11u);
    EXPECT_EQ(flags, (std::vector<int>{0, -1, -1, -1, -1, -1, -1, 1, 1, 1, 1}));  // "=" alone is no flag
    QN_set_bit_double(4, "S_t", 0, 0);
    for (size_t i = 0; i < entries.size(); i++) QN_reset_bit_double(4, "S_t", entries[i], flags[i]);
    EXPECT_EQ(values(4, 0), (std::vector<std::string>{"-S_t=1.000000", "-S_t=6.000000"}));
}

TEST_F(Store, LongTokensAreKeptWhole) {
    const std::string word(10000, 'w');
    const auto entries = read_text("#" + word + "\n-S_cmd=" + word + " " + word + "\n-" + word + "=1");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0], "-S_cmd=" + word + " " + word);
    EXPECT_EQ(Quelm_get_label(entries[1]), word);
    int v = 0;
    EXPECT_EQ(Quelm_scan_int_single(entries[1], word, v), 1);
    EXPECT_EQ(v, 1);
}

TEST_F(Store, StatusRoundTripRestoresTheGroup) {
    fill_crack(3);
    std::vector<int> flags;
    const auto entries = read(fixture_dir / "crack_loops.qnw", &flags);
    load_crack_form(4, entries, flags);
    ASSERT_EQ(Quelm_data[4].bit_count, Quelm_data[3].bit_count);
    for (int b = 0; b < Quelm_data[3].bit_count; b++) {
        EXPECT_EQ(values(4, b), values(3, b)) << b;
        EXPECT_EQ(Quelm_data[4].bits[b].value_count, Quelm_data[3].bits[b].value_count);
        EXPECT_EQ(Quelm_data[4].bits[b].label, Quelm_data[3].bits[b].label);
    }
    ASSERT_EQ(QN_dump_status((dir / "again.qnw").string(), 4), 1);
    EXPECT_EQ(read_bytes(dir / "again.qnw"), read_bytes(fixture_dir / "crack_loops.qnw"));

    // Defaults the file does not mention stay; entries of unknown labels do nothing.
    load_crack_form(5, read_text("-S_other=1 -S_elenum=7"), {0, 0});
    int n = 0;
    EXPECT_EQ(QN_scan_int_single(5, "S_elenum", n), 1);
    EXPECT_EQ(n, 7);
    EXPECT_EQ(Quelm_data[5].bit_count, 5);
    EXPECT_EQ(values(5, 1), std::vector<std::string>{"-S_temp=10.000000"});
}

TEST_F(Store, NumbersUseThePointInAnyLocale) {
    const char* found = nullptr;
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "ru_RU.UTF-8"})
        if (std::setlocale(LC_ALL, name)) {
            found = name;
            break;
        }
    if (!found) GTEST_SKIP() << "no locale with a decimal comma installed";
    QN_set_bit_double(0, "M_a", 3.5, 0);
    ASSERT_EQ(QN_dump_status((dir / "l.qnw").string(), 0), 1);
    const auto entries = read(dir / "l.qnw");
    double a = 0;
    const int matched = QN_scan_double_single(0, "M_a", a);
    std::setlocale(LC_ALL, "C");
    EXPECT_EQ(entries, std::vector<std::string>{"-M_a=3.500000"});
    EXPECT_EQ(matched, 1);
    EXPECT_EQ(a, 3.5);
}

// ---- Task scripts ----------------------------------------------------------

TEST_F(Store, GroupWithoutLoopsIsOneTask) {
    QN_reset_group(5, "Dynamic");
    QN_set_bit_int(5, "S_elenum", 2, 0);
    QN_set_bit_int(5, "S_empty", 2, 0);
    QN_delete_bit(Quelm_data[5].bits, 1);
    EXPECT_EQ(QN_sum_script(5), 1);
    const std::string base = (dir / "input").string();
    ASSERT_EQ(QN_dump_script(base, 5), 2);
    EXPECT_EQ(read_bytes(base + "1.qld"), "#Dynamic\n#blank tip\n-S_elenum=2\n");
    EXPECT_FALSE(fs::exists(base + "2.qld"));
    EXPECT_EQ(progress.begun, std::vector<std::string>{"Submitting 1 tasks"});
    EXPECT_EQ(progress.depth, 0);

    QN_reset_group(6, "Empty");
    EXPECT_EQ(QN_dump_script((dir / "e").string(), 6), 2);
    EXPECT_EQ(read_bytes(dir / "e1.qld"), "#Empty\n");
}

TEST_F(Store, FreeLoopsExpandFirstFastest) {
    QN_reset_group(5, "T");
    QN_set_bit_int(5, "a", 0, 0);
    QN_set_bit_int(5, "a", 1, 1);
    QN_set_bit_char(5, "s", "x");
    for (int k = 0; k < 3; k++) QN_set_bit_int(5, "b", 10 * k, k);
    EXPECT_EQ(QN_sum_script(5), 6);
    const std::string base = (dir / "input").string();
    ASSERT_EQ(QN_dump_script(base, 5), 7);
    EXPECT_FALSE(fs::exists(base + "7.qld"));
    EXPECT_FALSE(fs::exists(base + "0.qld"));
    const int expected[6][2] = {{0, 0}, {1, 0}, {0, 10}, {1, 10}, {0, 20}, {1, 20}};
    for (int t = 0; t < 6; t++) {
        std::vector<int> flags;
        const auto entries = read(base + std::to_string(t + 1) + ".qld", &flags);
        ASSERT_EQ(entries.size(), 3u) << t;
        EXPECT_EQ(entries[0], "-a=" + std::to_string(expected[t][0])) << t;
        EXPECT_EQ(entries[1], "-s=x");
        EXPECT_EQ(entries[2], "-b=" + std::to_string(expected[t][1])) << t;
        EXPECT_EQ(flags, (std::vector<int>{0, 0, 0}));
    }
    EXPECT_EQ(read_bytes(base + "5.qld"), "#T\n#blank tip\n-a=0\n#blank tip\n-s=x\n#blank tip\n-b=20\n");
    EXPECT_EQ(progress.begun, std::vector<std::string>{"Submitting 6 tasks"});
    ASSERT_EQ(progress.updates.size(), 6u);
    EXPECT_EQ(progress.updates[0], 0.0);
    EXPECT_EQ(progress.updates[3], 50.0);
    EXPECT_EQ(progress.depth, 0);
}

TEST_F(Store, FollowersTakeTheirDriversSlot) {
    QN_reset_group(4, " ");
    for (int k = 0; k < 2; k++) QN_set_bit_int(4, "S_free", k, k);
    for (int k = 0; k < 3; k++) QN_set_bit_int(4, "S_anga", 10 + k, k);
    QN_set_bit_int(4, "S_x", 1, 0);
    for (int k = 0; k < 3; k++) QN_set_bit_int(4, "S_n1y", 20 + k, k);
    for (int k = 0; k < 4; k++) QN_set_bit_int(4, "S_n1z", 30 + k, k);  // longer than its driver: fine
    ASSERT_EQ(QN_output_bind_set(0, 3, 1), 1);
    ASSERT_EQ(QN_output_bind_set(1, 1, 4), 1);
    EXPECT_EQ(BIND_IDLIST[0][0], 1);
    EXPECT_EQ(BIND_IDLIST[1][0], 3);
    EXPECT_EQ(QN_sum_script(4), 6);
    const std::string base = (dir / "c").string();
    ASSERT_EQ(QN_dump_script(base, 4), 7);
    for (int t = 0; t < 6; t++) {
        const auto e = read(base + std::to_string(t + 1) + ".qld");
        ASSERT_EQ(e.size(), 5u);
        const int slot = t / 2;
        EXPECT_EQ(e[0], "-S_free=" + std::to_string(t % 2));
        EXPECT_EQ(e[1], "-S_anga=" + std::to_string(10 + slot));
        EXPECT_EQ(e[3], "-S_n1y=" + std::to_string(20 + slot));
        EXPECT_EQ(e[4], "-S_n1z=" + std::to_string(30 + slot));
    }

    // Entries behind the first free one are not read.
    QN_output_bind_free();
    QN_output_bind_set(1, 1, 3);
    EXPECT_EQ(QN_sum_script(4), 2 * 3 * 3 * 4);
    // A follower without values takes no part.
    QN_output_bind_set(0, 1, 3);
    QN_delete_bit(Quelm_data[4].bits, 3);
    EXPECT_EQ(QN_sum_script(4), 2 * 3 * 4);
}

TEST_F(Store, BindsThatCannotHoldAreRefused) {
    QN_reset_group(4, " ");
    for (int k = 0; k < 3; k++) QN_set_bit_int(4, "S_anga", k, k);
    for (int k = 0; k < 2; k++) QN_set_bit_int(4, "S_short", k, k);
    QN_set_bit_int(4, "S_empty", 1, 0);
    QN_delete_bit(Quelm_data[4].bits, 2);
    QN_set_bit_int(4, "S_one", 1, 0);

    EXPECT_EQ(QN_output_bind_set(10, 0, 1), QN_REFUSED);
    EXPECT_EQ(QN_output_bind_set(-1, 0, 1), QN_REFUSED);
    EXPECT_EQ(QN_output_bind_set(0, -1, 1), QN_REFUSED);
    EXPECT_EQ(QN_output_bind_set(0, 1, 1), QN_REFUSED);
    EXPECT_EQ(BIND_IDLIST[0][0], -1);

    QN_output_bind_set(0, 0, 1);  // follower shorter than its driver
    EXPECT_EQ(QN_sum_script(4), QN_BAD_BIND);
    EXPECT_EQ(QN_dump_script((dir / "b").string(), 4), QN_BAD_BIND);
    EXPECT_FALSE(fs::exists(dir / "b1.qld"));
    QN_output_bind_set(0, 2, 3);  // driver without values, follower with
    EXPECT_EQ(QN_sum_script(4), QN_BAD_BIND);
    QN_output_bind_set(0, 0, 4);  // no such bit
    EXPECT_EQ(QN_sum_script(4), QN_BAD_BIND);
    BIND_IDLIST[0][0] = 3;  // written directly: driver behind its follower
    BIND_IDLIST[1][0] = 0;
    EXPECT_EQ(QN_sum_script(4), QN_BAD_BIND);
    QN_output_bind_free();
    EXPECT_EQ(QN_sum_script(4), 6);
    EXPECT_EQ(QN_sum_script(8), QN_REFUSED);
    EXPECT_EQ(progress.begun.size(), 0u);
}

TEST_F(Store, TaskCountsThatOverflowAreRefused) {
    for (int b = 0; b < 30; b++) {
        const std::string label = "L" + std::to_string(b);
        QN_set_bit_int(3, label, 0, 0);
        QN_set_bit_int(3, label, 1, 1);
    }
    EXPECT_EQ(QN_sum_script(3), 1 << 30);
    QN_set_bit_int(3, "L30", 0, 0);
    QN_set_bit_int(3, "L30", 1, 1);
    EXPECT_EQ(QN_sum_script(3), QN_TOO_MANY_TASKS);  // 2^31 tasks
    EXPECT_EQ(QN_dump_script((dir / "o").string(), 3), QN_TOO_MANY_TASKS);
    EXPECT_TRUE(fs::is_empty(dir));
    EXPECT_EQ(progress.begun.size(), 0u);
}

TEST_F(Store, ScriptFileFailuresAreReported) {
    QN_set_bit_int(5, "a", 0, 0);
    QN_set_bit_int(5, "a", 1, 1);
    EXPECT_EQ(QN_dump_script((dir / "missing" / "input").string(), 5), QN_FILE_ERROR);
    EXPECT_EQ(progress.depth, 0);
    EXPECT_EQ(QN_dump_script("", 8), QN_REFUSED);
}

TEST(StoreTasks, IdExtractReadsOneDigitOfTheTaskNumber) {
    EXPECT_EQ(QN_id_extract(0, 4, 1, 2), 0);
    EXPECT_EQ(QN_id_extract(0, 4, 2, 3), 2);
    EXPECT_EQ(QN_id_extract(99, 5, 2, 3), 2);
    EXPECT_EQ(QN_id_extract(0, INT_MAX, 65536, 65536), 32767);  // place * n beyond int
    EXPECT_EQ(QN_id_extract(0, 4, 0, 3), QN_REFUSED);
    EXPECT_EQ(QN_id_extract(0, 4, 1, 0), QN_REFUSED);
    EXPECT_EQ(QN_id_extract(0, -1, 1, 2), QN_REFUSED);
}

}  // namespace
