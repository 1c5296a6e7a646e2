#include <gtest/gtest.h>

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Progress.H>
#include <FL/Fl_RGB_Image.H>
#include <FL/Fl_Round_Button.H>
#include <FL/Fl_Shared_Image.H>
#include <FL/Fl_Value_Input.H>

#include <unistd.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "app/quelm_bind.h"
#include "store/quelm_store.h"
#include "app/quelm_window.h"
#include "qb/qb_formats.h"
#include "qb/qb_progress.h"
#include "qb/qb_tools.h"

namespace fs = std::filesystem;

namespace {

// ---- Helpers ---------------------------------------------------------------

// The value texts of bit `index` of group 0.
std::vector<std::string> texts(int index, int group = 0) { return Quelm_data[group].bits[index].values; }

std::string text0(int index, int group = 0) {
    const auto& v = Quelm_data[group].bits[index].values;
    return v.empty() ? std::string("<no value>") : v[0];
}

// After-change actions record what the store held when they ran.
int action_calls = 0;
std::string action_saw;
int action_saw_count = 0;
std::string action_label = "M_n";
void record_action() {
    action_calls++;
    const int index = Quelm_scan_dest_single(0, action_label);
    action_saw = index >= 0 ? text0(index) : std::string("<missing>");
    action_saw_count = index >= 0 ? Quelm_data[0].bits[index].value_count : -1;
}

// A PNG of w x h RGB pixels, written with stored (uncompressed) deflate
// blocks so that the test needs no image library.
uint32_t crc32(const std::string& bytes) {
    static uint32_t table[256];
    static bool ready = false;
    if (!ready) {
        for (uint32_t n = 0; n < 256; n++) {
            uint32_t c = n;
            for (int k = 0; k < 8; k++) c = c & 1 ? 0xedb88320u ^ (c >> 1) : c >> 1;
            table[n] = c;
        }
        ready = true;
    }
    uint32_t c = 0xffffffffu;
    for (unsigned char b : bytes) c = table[(c ^ b) & 0xff] ^ (c >> 8);
    return c ^ 0xffffffffu;
}

void put32(std::string& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((v >> shift) & 0xff));
}

void chunk(std::string& out, const char* type, const std::string& data) {
    put32(out, static_cast<uint32_t>(data.size()));
    const std::string body = std::string(type, 4) + data;
    out += body;
    put32(out, crc32(body));
}

void write_png(const fs::path& path, int w, int h) {
    std::string raw;
    for (int y = 0; y < h; y++) {
        raw.push_back(0);  // filter: none
        for (int x = 0; x < w; x++) {
            raw.push_back(static_cast<char>(x & 0xff));
            raw.push_back(static_cast<char>(y & 0xff));
            raw.push_back(static_cast<char>(0x80));
        }
    }
    std::string z = "\x78\x01";
    for (size_t at = 0; at < raw.size() || at == 0; at += 65535) {
        const size_t n = std::min<size_t>(65535, raw.size() - at);
        z.push_back(at + n >= raw.size() ? 1 : 0);
        z.push_back(static_cast<char>(n & 0xff));
        z.push_back(static_cast<char>(n >> 8));
        z.push_back(static_cast<char>(~n & 0xff));
        z.push_back(static_cast<char>((~n >> 8) & 0xff));
        z.append(raw, at, n);
        if (at + n >= raw.size()) break;
    }
    uint32_t a = 1, b = 0;
    for (unsigned char c : raw) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    put32(z, (b << 16) | a);

    std::string png = "\x89PNG\r\n\x1a\n";
    std::string ihdr;
    put32(ihdr, static_cast<uint32_t>(w));
    put32(ihdr, static_cast<uint32_t>(h));
    ihdr += std::string("\x08\x02\x00\x00\x00", 5);  // 8 bit RGB
    chunk(png, "IHDR", ihdr);
    chunk(png, "IDAT", z);
    chunk(png, "IEND", "");
    std::ofstream(path, std::ios::binary) << png;
}

class BindFixture : public ::testing::Test {
protected:
    void SetUp() override {
        QN_store_init();
        QN_alerts_modal = 0;
        // Widgets of earlier tests are gone: start from an empty table.
        SEND_BIT.clear();
        BIT_SUM = 0;
        action_calls = 0;
        action_saw.clear();
        action_label = "M_n";
        key = QN_sendbit_id();
    }
    void TearDown() override { QN_sendbit_free(key); }
    int key = 0;
};

using BindValue = BindFixture;
using BindText = BindFixture;
using BindChoice = BindFixture;
using BindFile = BindFixture;
using BindAction = BindFixture;
using BindDeathTest = BindFixture;
using SendBit = BindFixture;
using LoopBind = BindFixture;

// ---- Numbers and buttons ---------------------------------------------------

TEST_F(BindValue, IntTruncatesTowardZeroInWidgetAndStore) {
    QN_set_bit_double(0, "M_n", 2.9, 0);
    Fl_Value_Input w(0, 0, 80, 20);
    QN_get_int(&w, 0, "M_n", key);
    EXPECT_EQ(w.value(), 2.0);  // shown truncated

    w.value(2.7);
    w.do_callback();
    EXPECT_EQ(w.value(), 2.0);
    EXPECT_EQ(text0(0), "-M_n=2");

    w.value(-2.7);
    w.do_callback();
    EXPECT_EQ(w.value(), -2.0);
    EXPECT_EQ(text0(0), "-M_n=-2");
}

TEST_F(BindValue, IntOutsideTheIntRangeIsClampedAndNaNIsZero) {
    QN_set_bit_int(0, "M_n", 1, 0);
    Fl_Value_Input w(0, 0, 80, 20);
    QN_get_int(&w, 0, "M_n", key);

    w.value(1e12);
    w.do_callback();
    EXPECT_EQ(text0(0), "-M_n=2147483647");
    EXPECT_EQ(w.value(), static_cast<double>(INT_MAX));

    w.value(-1e12);
    w.do_callback();
    EXPECT_EQ(text0(0), "-M_n=-2147483648");

    w.value(std::numeric_limits<double>::quiet_NaN());
    w.do_callback();
    EXPECT_EQ(text0(0), "-M_n=0");
    EXPECT_EQ(w.value(), 0.0);
}

TEST_F(BindValue, DoubleShowsStoredValueAndStoresSixDecimals) {
    QN_set_bit_double(0, "M_single_a", 3.6149098873, 0);
    QN_set_bit_double_multi(0, 0, "M_mass", 1.5, 0);
    QN_set_bit_double_multi(0, 1, "M_mass", 2.5, 0);
    Fl_Value_Input a(0, 0, 80, 20), mass(0, 0, 80, 20);
    QN_get_double(&a, 0, "M_single_a", key);
    QN_get_double_multi(&mass, 0, 1, "M_mass", key);
    EXPECT_DOUBLE_EQ(a.value(), 3.61491);
    EXPECT_DOUBLE_EQ(mass.value(), 2.5);

    a.value(1.0 / 3);
    a.do_callback();
    EXPECT_EQ(text0(0), "-M_single_a=0.333333");
    mass.value(7.25);
    mass.do_callback();
    EXPECT_EQ(text0(1), "-M_mass=1.500000");
    EXPECT_EQ(text0(2), "-M_mass=7.250000");
}

TEST_F(BindValue, BoolStoresZeroOrOneAndRunsNoAction) {
    QN_set_bit_int(0, "M_flag", 7, 0);
    Fl_Round_Button b(0, 0, 20, 20);
    QN_get_bool_full(&b, 0, 0, "M_flag", record_action, key);
    EXPECT_EQ(b.value(), 1);

    b.value(0);
    b.do_callback();
    EXPECT_EQ(text0(0), "-M_flag=0");
    b.value(1);
    b.do_callback();
    EXPECT_EQ(text0(0), "-M_flag=1");
    EXPECT_EQ(action_calls, 0);
}

TEST_F(BindAction, AfterChangeRunsAfterTheStoreUpdate) {
    QN_set_bit_int(0, "M_n", 1, 0);
    Fl_Value_Input w(0, 0, 80, 20);
    QN_get_int_plus(&w, 0, "M_n", record_action, key);
    EXPECT_EQ(action_calls, 0);  // binding runs no action
    w.value(4);
    w.do_callback();
    EXPECT_EQ(action_calls, 1);
    EXPECT_EQ(action_saw, "-M_n=4");

    action_label = "M_s";
    QN_set_bit_char(0, "M_s", "old");
    Fl_Input s(0, 0, 80, 20);
    QN_get_char_plus(&s, 0, "M_s", record_action, key);
    s.value("new");
    s.do_callback();
    EXPECT_EQ(action_saw, "-M_s=new");

    action_label = "M_loop";
    QN_set_bit_double(0, "M_loop", 0, 0);
    Fl_Value_Input from(0, 0, 80, 20), to(0, 0, 80, 20), step(0, 0, 80, 20);
    QN_get_loop_full(&from, &to, &step, 0, 0, "M_loop", record_action, key);
    to.value(3);
    step.value(1);
    to.do_callback();
    EXPECT_EQ(action_calls, 3);
    EXPECT_EQ(action_saw, "-M_loop=0.000000");
    EXPECT_EQ(action_saw_count, 4);
}

// ---- Text, choice, file --------------------------------------------------

TEST_F(BindText, EmptiedTextStoresEmptyAndRebindingShowsItEmpty) {
    QN_set_bit_char(0, "S_name", "abc");
    {
        Fl_Input w(0, 0, 80, 20);
        QN_get_char(&w, 0, "S_name", key);
        EXPECT_STREQ(w.value(), "abc");
        w.value("");
        w.do_callback();
    }
    EXPECT_EQ(text0(0), "-S_name=");
    std::string out = "default";
    EXPECT_EQ(QN_scan_char_single(0, "S_name", out), 1);
    EXPECT_EQ(out, "");

    // The form binds its widgets again without resetting its group.
    QN_sendbit_free(key);
    Fl_Input again(0, 0, 80, 20);
    QN_get_char(&again, 0, "S_name", key);
    EXPECT_STREQ(again.value(), "");
    again.value("x y");
    again.do_callback();
    EXPECT_EQ(Quelm_data[0].bit_count, 1);
    EXPECT_EQ(text0(0), "-S_name=x y");
}

TEST_F(BindText, LongTextIsStoredWhole) {
    QN_set_bit_char(0, "S_cmd", "short");
    Fl_Input w(0, 0, 80, 20);
    QN_get_char(&w, 0, "S_cmd", key);
    const std::string long_text(5000, 'q');
    w.value(long_text.c_str());
    w.do_callback();
    EXPECT_EQ(text0(0), "-S_cmd=" + long_text);
}

TEST_F(BindChoice, ShowsStoredItemClampedAndStoresTheChosenIndex) {
    Fl_Choice c(0, 0, 80, 20);
    c.add("a");
    c.add("b");
    c.add("c");

    QN_set_bit_int(0, "M_kind", 1, 0);
    QN_choice(&c, 0, "M_kind", key);
    EXPECT_EQ(c.value(), 1);

    QN_set_bit_int(0, "M_kind", 7, 0);
    QN_choice(&c, 0, "M_kind", key);
    EXPECT_EQ(c.value(), 2);
    QN_set_bit_int(0, "M_kind", -3, 0);
    QN_choice(&c, 0, "M_kind", key);
    EXPECT_EQ(c.value(), 0);
    QN_set_bit_char(0, "M_kind", "junk");
    QN_choice(&c, 0, "M_kind", key);
    EXPECT_EQ(c.value(), 0);

    c.value(2);
    c.do_callback();
    EXPECT_EQ(text0(0), "-M_kind=2");
}

TEST_F(BindChoice, NoItemChosenStoresMinusOne) {
    QN_set_bit_int(0, "M_kind", 3, 0);
    Fl_Choice empty(0, 0, 80, 20);
    QN_choice_plus(&empty, 0, "M_kind", record_action, key);
    EXPECT_EQ(empty.value(), -1);
    empty.do_callback();
    EXPECT_EQ(text0(0), "-M_kind=-1");
    EXPECT_EQ(action_calls, 1);
}

int picker_calls = 0;
int picker_directory = -1;
std::string picker_answer;
int fake_picker(int directory, std::string& path) {
    picker_calls++;
    picker_directory = directory;
    if (picker_answer.empty()) return 0;
    path = picker_answer;
    return 1;
}

TEST_F(BindFile, PickedPathIsStoredAndCancelChangesNothing) {
    auto* saved = QN_path_picker;
    QN_path_picker = fake_picker;
    QN_set_bit_char(0, "M_file", "none");
    QN_set_bit_char(0, "M_dir", "none");
    Fl_Button file(0, 0, 20, 20), dir(0, 0, 20, 20);
    QN_get_file_plus(&file, 0, "M_file", record_action, key);
    QN_get_dir_plus(&dir, 0, "M_dir", record_action, key);
    EXPECT_EQ(text0(0), "-M_file=none");  // binding shows nothing, changes nothing

    picker_answer.clear();
    file.do_callback();
    EXPECT_EQ(picker_calls, 1);
    EXPECT_EQ(picker_directory, 0);
    EXPECT_EQ(text0(0), "-M_file=none");
    EXPECT_EQ(action_calls, 0);

    picker_answer = "/data/with blank/cu.lmp";
    file.do_callback();
    EXPECT_EQ(text0(0), "-M_file=/data/with blank/cu.lmp");
    EXPECT_EQ(action_calls, 1);

    picker_answer = "/tmp/out";
    dir.do_callback();
    EXPECT_EQ(picker_directory, 1);
    EXPECT_EQ(text0(1), "-M_dir=/tmp/out");
    QN_path_picker = saved;
}

TEST_F(BindDeathTest, MissingLabelIsReportedAndEndsWithStatusOne) {
    QN_set_bit_int(0, "M_n", 1, 0);
    Fl_Value_Input w(0, 0, 80, 20);
    EXPECT_EXIT(QN_get_int(&w, 0, "M_missing", key), testing::ExitedWithCode(1),
                "Programming ERROR : no such label\nM_missing");
    // A prefix of a stored label is no label either.
    EXPECT_EXIT(QN_get_double(&w, 0, "M", key), testing::ExitedWithCode(1), "no such label\nM\n");
    // Nor a second occurrence of a label stored once.
    EXPECT_EXIT(QN_get_double_multi(&w, 0, 1, "M_n", key), testing::ExitedWithCode(1), "no such label\nM_n");
}

// ---- Slots and owners ------------------------------------------------------

TEST_F(SendBit, OwnerKeysFreeTheirSlotsForReuse) {
    const int form_a = QN_sendbit_id();
    const int form_b = QN_sendbit_id();
    EXPECT_EQ(form_b, form_a + 1);
    QN_set_bit_int(0, "M_a", 1, 0);
    QN_set_bit_int(0, "M_b", 2, 0);
    Fl_Value_Input a1(0, 0, 80, 20), a2(0, 0, 80, 20), b1(0, 0, 80, 20);
    const int s_a1 = QN_get_int(&a1, 0, "M_a", form_a);
    const int s_b1 = QN_get_int(&b1, 0, "M_b", form_b);
    const int s_a2 = QN_get_int(&a2, 0, "M_a", form_a);
    EXPECT_EQ(BIT_SUM, 3);
    EXPECT_EQ(static_cast<int>(SEND_BIT.size()), BIT_SUM);
    EXPECT_EQ(reinterpret_cast<intptr_t>(b1.user_data()), s_b1);

    QN_sendbit_free(form_a);
    EXPECT_LT(SEND_BIT[s_a1].owner, 0);
    EXPECT_LT(SEND_BIT[s_a2].owner, 0);
    EXPECT_EQ(SEND_BIT[s_b1].owner, form_b);

    // A released binding no longer writes.
    a1.value(9);
    a1.do_callback();
    EXPECT_EQ(text0(0), "-M_a=1");

    // New bindings take the freed slots, lowest first; the table keeps its size.
    const int form_c = QN_sendbit_id();
    Fl_Value_Input c1(0, 0, 80, 20);
    EXPECT_EQ(QN_get_int(&c1, 0, "M_b", form_c), s_a1);
    EXPECT_EQ(BIT_SUM, 3);
    // The old widget whose slot now serves another binding writes nothing.
    a1.value(5);
    a1.do_callback();
    EXPECT_EQ(text0(0), "-M_a=1");
    EXPECT_EQ(text0(1), "-M_b=2");
    c1.value(6);
    c1.do_callback();
    EXPECT_EQ(text0(1), "-M_b=6");
    EXPECT_EQ(QN_get_bitid(), s_a2);
    QN_sendbit_free(form_b);
    QN_sendbit_free(form_c);
}

TEST_F(SendBit, BindingAfterGroupResetWritesItsOwnLabel) {
    QN_set_bit_int(0, "M_a", 1, 0);
    QN_set_bit_int(0, "M_b", 2, 0);
    QN_set_bit_int_multi(0, 0, "M_m", 10, 0);
    QN_set_bit_int_multi(0, 1, "M_m", 11, 0);
    Fl_Value_Input b(0, 0, 80, 20), m1(0, 0, 80, 20);
    QN_get_int(&b, 0, "M_b", key);             // bit 1
    QN_get_int_full(&m1, 0, 1, "M_m", nullptr, key);  // bit 3

    // The group is reset and filled in another order: bit 1 is now M_x and
    // bit 3 is the first M_m.
    QN_reset_group(0, "again");
    QN_set_bit_int(0, "M_m", 20, 0);
    QN_set_bit_int(0, "M_x", 0, 0);
    QN_set_bit_int(0, "M_b", 2, 0);
    QN_set_bit_int_multi(0, 1, "M_m", 21, 0);
    QN_set_bit_int_multi(0, 0, "M_m", 20, 0);

    b.value(8);
    b.do_callback();
    EXPECT_EQ(text0(1), "-M_x=0");
    EXPECT_EQ(text0(2), "-M_b=8");
    m1.value(9);
    m1.do_callback();
    EXPECT_EQ(text0(0), "-M_m=20");
    EXPECT_EQ(text0(3), "-M_m=9");

    // A label the group no longer holds: nothing is written anywhere.
    QN_reset_group(0, "other");
    QN_set_bit_int(0, "M_x", 0, 0);
    b.value(3);
    b.do_callback();
    EXPECT_EQ(Quelm_data[0].bit_count, 1);
    EXPECT_EQ(text0(0), "-M_x=0");
}

TEST_F(SendBit, EmptyingOneOccurrenceKeepsTheOthersBound) {
    QN_set_bit_char_multi(0, 0, "S_el", "Cu");
    QN_set_bit_char_multi(0, 1, "S_el", "Ni");
    Fl_Input first(0, 0, 80, 20), second(0, 0, 80, 20);
    QN_get_char_full(&first, 0, 0, "S_el", nullptr, key);
    QN_get_char_full(&second, 0, 1, "S_el", nullptr, key);
    first.value("");
    first.do_callback();
    second.value("Al");
    second.do_callback();
    EXPECT_EQ(texts(0), std::vector<std::string>{"-S_el="});
    EXPECT_EQ(texts(1), std::vector<std::string>{"-S_el=Al"});
    first.value("Fe");
    first.do_callback();
    EXPECT_EQ(text0(0), "-S_el=Fe");
    EXPECT_EQ(text0(1), "-S_el=Al");
}

// ---- Loops -----------------------------------------------------------------

TEST_F(LoopBind, ShowsStoredLoopOrSingleValue) {
    for (int i = 0; i < 4; i++) QN_set_bit_double(0, "S_temp", 100.0 + 50 * i, i);
    QN_set_bit_double(0, "S_rate", 7, 0);
    Fl_Value_Input s(0, 0, 80, 20), e(0, 0, 80, 20), st(0, 0, 80, 20);
    QN_get_loop(&s, &e, &st, 0, "S_temp", key);
    EXPECT_DOUBLE_EQ(s.value(), 100);
    EXPECT_DOUBLE_EQ(e.value(), 250);
    EXPECT_DOUBLE_EQ(st.value(), 50);
    EXPECT_STREQ(s.tooltip(), "Initial value");
    EXPECT_STREQ(e.tooltip(), "End value");
    EXPECT_STREQ(st.tooltip(), "Step");

    QN_get_loop(&s, &e, &st, 0, "S_rate", key);
    EXPECT_DOUBLE_EQ(s.value(), 7);
    EXPECT_DOUBLE_EQ(e.value(), 7);
    EXPECT_DOUBLE_EQ(st.value(), 0);
}

struct loop_case {
    double start, end, step;
    double shown_start, shown_end, shown_step;
    std::vector<std::string> stored;
};

TEST_F(LoopBind, InputsAreOrderedFittedAndStored) {
    const std::vector<loop_case> cases = {
        {5, 1, 1, 1, 5, 1, {"1.000000", "2.000000", "3.000000", "4.000000", "5.000000"}},
        {1, 5, 0, 1, 5, 4, {"1.000000", "5.000000"}},
        {1, 5, -1, 1, 1, 0, {"1.000000"}},
        {2, 2, 3, 2, 2, 0, {"2.000000"}},
        {0, 10, 3, 0, 10, 10.0 / 3, {"0.000000", "3.333333", "6.666667", "10.000000"}},
        // A step that divides the range up to rounding keeps its count.
        {0, 0.3, 0.1, 0, 0.3, 0.1, {"0.000000", "0.100000", "0.200000", "0.300000"}},
        // A step larger than the range still gives both ends.
        {0, 1, 5, 0, 1, 1, {"0.000000", "1.000000"}},
    };
    for (size_t k = 0; k < cases.size(); k++) {
        const loop_case& c = cases[k];
        SCOPED_TRACE("case " + std::to_string(k));
        QN_reset_group(0, " ");
        QN_set_bit_int(0, "M_before", 0, 0);
        QN_set_bit_double(0, "S_temp", 42, 0);
        Fl_Value_Input s(0, 0, 80, 20), e(0, 0, 80, 20), st(0, 0, 80, 20);
        QN_get_loop(&s, &e, &st, 0, "S_temp", key);
        s.value(c.start);
        e.value(c.end);
        st.value(c.step);
        st.do_callback();
        EXPECT_DOUBLE_EQ(s.value(), c.shown_start);
        EXPECT_DOUBLE_EQ(e.value(), c.shown_end);
        EXPECT_NEAR(st.value(), c.shown_step, 1e-12);
        std::vector<std::string> expected;
        for (const auto& v : c.stored) expected.push_back("-S_temp=" + v);
        EXPECT_EQ(texts(1), expected);
        EXPECT_EQ(text0(0), "-M_before=0");
        QN_sendbit_free(key);
    }
}

TEST_F(LoopBind, TinyStepIsWidenedToTheValueCap) {
    QN_set_bit_double(0, "S_temp", 0, 0);
    Fl_Value_Input s(0, 0, 80, 20), e(0, 0, 80, 20), st(0, 0, 80, 20);
    QN_get_loop(&s, &e, &st, 0, "S_temp", key);

    s.value(0);
    e.value(1);
    st.value(1e-9);
    e.do_callback();
    ASSERT_EQ(Quelm_data[0].bits[0].value_count, QN_LOOP_MAX_VALUES);
    EXPECT_DOUBLE_EQ(st.value(), 1.0 / (QN_LOOP_MAX_VALUES - 1));
    EXPECT_EQ(texts(0).front(), "-S_temp=0.000000");
    EXPECT_EQ(texts(0).back(), "-S_temp=1.000000");

    // A range beyond the double range and a denormal step stay finite.
    s.value(-1e308);
    e.value(1e308);
    st.value(1e-320);
    s.do_callback();
    ASSERT_EQ(Quelm_data[0].bits[0].value_count, QN_LOOP_MAX_VALUES);
    EXPECT_TRUE(std::isfinite(st.value()));
    EXPECT_GT(st.value(), 0);
    double v = 0;
    for (int slot = 0; slot < QN_LOOP_MAX_VALUES; slot += 999) {
        QN_scan_double_loop(0, "S_temp", v, slot);
        EXPECT_TRUE(std::isfinite(v)) << slot;
    }
}

// ---- Busy dialog -----------------------------------------------------------

class WaitDialog : public BindFixture {
protected:
    void TearDown() override {
        while (QN_wait_flag > 0) QN_wait_end();
        QB_set_progress_hooks(nullptr);
        BindFixture::TearDown();
    }
    static std::string shown_message() {
        if (!wait_window) return "<none>";
        auto* box = dynamic_cast<Fl_Box*>(wait_window->child(0));
        return box && box->label() ? box->label() : "";
    }
};

TEST_F(WaitDialog, NestedLevelsShowTheFirstMessageAndCloseAtTheLastEnd) {
    QN_wait_end();  // none open: ignored
    EXPECT_EQ(QN_wait_flag, 0);

    {
        std::string message = "Building model";
        QN_wait(message.c_str());
        message.assign(message.size(), 'x');  // the dialog keeps its own copy
    }
    ASSERT_NE(wait_window, nullptr);
    Fl_Double_Window* first = wait_window;
    EXPECT_TRUE(wait_window->shown());
    EXPECT_TRUE(wait_window->modal());
    EXPECT_EQ(wait_window->w(), 200);
    EXPECT_EQ(wait_window->h(), 100);
    EXPECT_EQ(shown_message(), "Building model");

    QN_wait("Reading model please wait");
    EXPECT_EQ(QN_wait_flag, 2);
    EXPECT_EQ(wait_window, first);
    EXPECT_EQ(shown_message(), "Building model");
    QN_wait_update(40);  // an inner level's progress is not shown
    EXPECT_FLOAT_EQ(wait_progress->value(), 0);

    QN_wait_end();
    EXPECT_EQ(QN_wait_flag, 1);
    EXPECT_TRUE(wait_window->shown());
    QN_wait_update(40);
    EXPECT_FLOAT_EQ(wait_progress->value(), 40);
    QN_wait_update(250);
    EXPECT_FLOAT_EQ(wait_progress->value(), 100);

    Fl_Widget_Tracker tracker(wait_window);
    QN_wait_end();
    EXPECT_EQ(QN_wait_flag, 0);
    EXPECT_EQ(wait_window, nullptr);
    EXPECT_EQ(wait_progress, nullptr);
    EXPECT_TRUE(tracker.deleted());
    QN_wait_end();
    EXPECT_EQ(QN_wait_flag, 0);

    // The next outermost level gets a window of its own.
    QN_wait("Again");
    EXPECT_EQ(shown_message(), "Again");
    EXPECT_FLOAT_EQ(wait_progress->value(), 0);
    QN_wait_end();
}

TEST_F(WaitDialog, OpensOutsideAFormUnderConstruction) {
    Fl_Double_Window form(300, 200);
    form.begin();
    const int children = form.children();
    QN_wait("Busy");
    EXPECT_EQ(wait_window->parent(), nullptr);
    EXPECT_EQ(form.children(), children);
    EXPECT_EQ(Fl_Group::current(), &form);
    QN_wait_end();
    form.end();
}

int timeout_calls = 0;
void count_timeout(void*) { timeout_calls++; }

TEST_F(WaitDialog, UpdateNeverBlocksAndHandlesPendingEvents) {
    alarm(60);  // a blocking event wait ends the test program
    const auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < 1000; i++) QN_wait_update(i / 10.0);  // no dialog open
    QN_wait("Busy");
    for (int i = 0; i < 1000; i++) QN_wait_update(i / 10.0);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    EXPECT_LT(seconds, 20.0);

    timeout_calls = 0;
    Fl::add_timeout(0.0, count_timeout);
    QN_wait_update(50);
    EXPECT_EQ(timeout_calls, 1);
    QN_wait_end();
    alarm(0);
}

std::string message_while_reading;
void look_at_dialog(void*) {
    message_while_reading = wait_window ? static_cast<Fl_Box*>(wait_window->child(0))->label() : "<none>";
}

TEST_F(WaitDialog, CoreProgressReportsReachTheDialog) {
    QN_connect_progress();
    QB_progress_begin("Submitting 6 tasks");
    ASSERT_EQ(QN_wait_flag, 1);
    EXPECT_EQ(shown_message(), "Submitting 6 tasks");
    QB_progress_update(55);
    EXPECT_FLOAT_EQ(wait_progress->value(), 55);
    QB_progress_end();
    EXPECT_EQ(QN_wait_flag, 0);
    EXPECT_EQ(wait_window, nullptr);

    // A reader's report: the dialog is open (and handles events) while it reads.
    message_while_reading = "<not run>";
    Fl::add_timeout(0.0, look_at_dialog);
    QB_tools model;
    QB_init(&model);
    const std::string path = std::string(QUELM_TEST_DATA) + "/qb/fixtures/formats/lammps_fcc.data";
    EXPECT_EQ(QB_read_file(&model, path.c_str()), 1);
    EXPECT_EQ(message_while_reading, "Reading model please wait");
    EXPECT_EQ(QN_wait_flag, 0);
    EXPECT_EQ(wait_window, nullptr);
    QB_free_atom(&model);
    QB_free_extra(&model);
    QB_free_exchannel(&model);
}

// ---- Image labels ----------------------------------------------------------

class ImageLabel : public BindFixture {
protected:
    void SetUp() override {
        BindFixture::SetUp();
        fl_register_images();  // as the program does at start-up
        std::string pattern = (fs::temp_directory_path() / "quelm_img_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
        BindFixture::TearDown();
    }
    // Whether the shared-image cache still holds the original of `path`.
    static bool cached(const fs::path& path) {
        Fl_Shared_Image* found = Fl_Shared_Image::find(path.c_str());
        if (!found) return false;
        found->release();
        return true;
    }
    fs::path dir;
};

TEST_F(ImageLabel, LargeImageIsShownAsAScaledCopy) {
    const fs::path wide = dir / "wide.png";
    write_png(wide, 640, 320);
    Fl_Button b(0, 0, 32, 32, "text");
    QN_load_img(wide.c_str(), &b, nullptr);
    ASSERT_NE(b.image(), nullptr);
    EXPECT_EQ(b.image()->w(), 32);
    EXPECT_EQ(b.image()->h(), 16);
    EXPECT_EQ(b.label(), nullptr);
    EXPECT_EQ(b.labelsize(), 14);
    EXPECT_EQ(b.labelcolor(), 0u);
    EXPECT_FALSE(cached(wide));  // the full-size original was released

    // A line of 2000 x 1 pixels keeps at least one pixel of height.
    const fs::path line = dir / "line.png";
    write_png(line, 2000, 1);
    QN_load_img(line.c_str(), &b, dynamic_cast<Fl_Shared_Image*>(b.image()));
    ASSERT_NE(b.image(), nullptr);
    EXPECT_EQ(b.image()->w(), 32);
    EXPECT_EQ(b.image()->h(), 1);
    QN_release_img(&b);
    EXPECT_EQ(b.image(), nullptr);
}

TEST_F(ImageLabel, SmallImageIsShownUnscaledAndReleasedWhenReplaced) {
    const fs::path small = dir / "small.png";
    write_png(small, 16, 8);
    Fl_Button b(0, 0, 32, 32);
    QN_load_img(small.c_str(), &b, nullptr);
    ASSERT_NE(b.image(), nullptr);
    EXPECT_EQ(b.image()->w(), 16);
    EXPECT_EQ(b.image()->h(), 8);
    Fl_Shared_Image* shared = Fl_Shared_Image::find(small.c_str());
    ASSERT_NE(shared, nullptr);
    EXPECT_EQ(static_cast<Fl_Image*>(shared), b.image());
    shared->release();

    // Loading a folder over it gives back the image.
    QN_load_img(dir.c_str(), &b, shared);
    EXPECT_FALSE(cached(small));
    EXPECT_STREQ(b.label(), "@fileopen");
}

TEST_F(ImageLabel, FolderAndUnreadableFilesShowSymbols) {
    Fl_Button b(0, 0, 32, 32);
    QN_load_img(dir.c_str(), &b, nullptr);
    EXPECT_STREQ(b.label(), "@fileopen");
    EXPECT_EQ(b.image(), nullptr);
    EXPECT_EQ(b.labelsize(), 64);
    EXPECT_EQ(b.labelcolor(), 52u);

    QN_load_img((dir / "missing.png").c_str(), &b, nullptr);
    EXPECT_STREQ(b.label(), "@filenew");
    EXPECT_EQ(b.image(), nullptr);
    EXPECT_EQ(b.labelsize(), 64);
    EXPECT_EQ(b.labelcolor(), 52u);

    const fs::path text = dir / "notes.png";
    std::ofstream(text) << "not an image\n";
    QN_load_img(text.c_str(), &b, nullptr);
    EXPECT_STREQ(b.label(), "@filenew");

    const fs::path icon = dir / "icon.png";
    write_png(icon, 4, 4);
    QN_load_img(icon.c_str(), &b, nullptr);
    EXPECT_EQ(b.label(), nullptr);
    EXPECT_EQ(b.labelsize(), 14);
    EXPECT_EQ(b.labelcolor(), 0u);
    QN_release_img(&b);
}

TEST_F(ImageLabel, ImagesGivenByOthersAreNeverReleased) {
    const fs::path held = dir / "held.png";
    write_png(held, 8, 8);
    Fl_Shared_Image* mine = Fl_Shared_Image::get(held.c_str());
    ASSERT_NE(mine, nullptr);
    const int refs = mine->refcount();

    // The widget shows an image the test owns, and the caller names a shared
    // image as the previous one: neither is released or deleted.
    static const unsigned char pixels[4 * 4 * 3] = {};
    Fl_RGB_Image own(pixels, 4, 4, 3);
    Fl_Button b(0, 0, 32, 32);
    b.image(&own);
    QN_load_img(held.c_str(), &b, mine);
    EXPECT_EQ(mine->refcount(), refs + 1);  // one more reference, for the button
    EXPECT_EQ(own.w(), 4);
    EXPECT_EQ(reinterpret_cast<const void*>(own.data()[0]), static_cast<const void*>(pixels));

    // A scaled copy replaced by the folder symbol is dropped, the test's
    // reference stays.
    Fl_Button tiny(0, 0, 2, 2);
    QN_load_img(held.c_str(), &tiny, nullptr);
    EXPECT_EQ(tiny.image()->w(), 2);
    QN_load_img(dir.c_str(), &tiny, mine);
    QN_release_img(&b);
    EXPECT_EQ(mine->refcount(), refs);
    mine->release();
}

}  // namespace
