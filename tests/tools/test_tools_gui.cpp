// The Tools menu's converter windows in the real window: each menu entry
// opens its window, "Transfer" converts and reports in the window's status
// line and the message area.
#include <gtest/gtest.h>

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Menu_Bar.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Input.H>

#include <cstdint>
#include <cstring>
#include <string>

#include "app/quelm_window.h"
#include "gui_window.h"
#include "layout_check.h"
#include "qb/qb_file.h"
#include "qb/qb_formats.h"
#include "test_support.h"
#include "tools/tools_form.h"

namespace {

class ToolWindows : public testing::Test {
protected:
    void SetUp() override {
        open_main_window();
        Fl::check();
    }
    // Opens the window of a menu entry and fills its two fields.
    void open(const char* entry, const std::string& in, const std::string& out) {
        menu_bar->picked(menu_bar->find_item(entry));
        Fl::check();
        ASSERT_NE(QN_tools_window, nullptr);
        ASSERT_NE(input(), nullptr);
        ASSERT_NE(output(), nullptr);
        input()->value(in.c_str());
        output()->value(out.c_str());
    }
    static Fl_Input* input() { return find_labelled<Fl_Input>(QN_tools_window, "Input file:"); }
    static Fl_Input* output() { return find_labelled<Fl_Input>(QN_tools_window, "Output file:"); }
    void transfer() { press(find_labelled<Fl_Button>(QN_tools_window, "Transfer")); }
    // The window's status line: the one box that shows text.
    static std::string status() {
        for (int i = 0; QN_tools_window && i < QN_tools_window->children(); i++)
            if (auto* b = dynamic_cast<Fl_Box*>(QN_tools_window->child(i))) return b->label() ? b->label() : "";
        return "<no status line>";
    }
    static Fl_Color status_colour() {
        for (int i = 0; QN_tools_window && i < QN_tools_window->children(); i++)
            if (auto* b = dynamic_cast<Fl_Box*>(QN_tools_window->child(i))) return b->labelcolor();
        return FL_BLACK;
    }
    ScratchDir dir;
};

// A three-atom DatST file with its header: id, type, x, y, z, pe, packed
// colour, 4 bytes of padding, cna, cnp per 64-byte record.
void write_st(const std::string& path) {
    std::string bytes;
    auto put = [&bytes](const void* p, size_t n) { bytes.append(static_cast<const char*>(p), n); };
    for (int32_t i = 1; i <= 3; i++) {
        const int32_t type = 1;
        const double pos[4] = {1.0 * i, 2.0, 3.0, -3.5};
        const int32_t colour = 16744448;
        const char pad[4] = {0, 0, 0, 0};
        const double cna = 1, cnp = 0.25;
        put(&i, 4);
        put(&type, 4);
        put(pos, 32);
        put(&colour, 4);
        put(pad, 4);
        put(&cna, 8);
        put(&cnp, 8);
    }
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    f = std::fopen((path + ".parm").c_str(), "w");
    std::fputs("natoms 3 xlo 0 10 ylo 0 10 zlo 0 10 a b c 100\n", f);
    std::fclose(f);
}

}  // namespace

TEST_F(ToolWindows, EachEntryOpensItsWindow) {
    const char* entries[4][2] = {
        {"&Tools/&Potential transformation/EAM", "Convert a LAMMPS eam/alloy potential"},
        {"&Tools/&Potential transformation/FS", "Convert a LAMMPS eam/fs potential"},
        {"&Tools/&Dump transformation/DatST", "Convert a Quelm structure dump to a LAMMPS custom dump"},
        {"&Tools/&Dump transformation/DatAES", "Convert a Quelm atomic stress dump to a LAMMPS custom dump"}};
    for (const auto& e : entries) {
        menu_bar->picked(menu_bar->find_item(e[0]));
        ASSERT_NE(QN_tools_window, nullptr) << e[0];
        EXPECT_STREQ(QN_tools_window->label(), e[1]);
        EXPECT_EQ(QN_tools_window->w(), 540);
        EXPECT_EQ(QN_tools_window->h(), 190);
        auto* go = find_labelled<Fl_Button>(QN_tools_window, "Transfer");
        ASSERT_NE(go, nullptr);
        EXPECT_EQ(go->y(), 90);
        // Both fields take typing.
        ASSERT_NE(input(), nullptr);
        ASSERT_NE(output(), nullptr);
        EXPECT_FALSE(input()->readonly());
        EXPECT_FALSE(output()->readonly());
        EXPECT_EQ(status(), "");
    }
    EXPECT_EQ(QN_tools_quelm_name("cu"), "cu.quelm");
    EXPECT_EQ(QN_tools_quelm_name("cu.quelm"), "cu.quelm");
    EXPECT_EQ(QN_tools_quelm_name(".quelm"), ".quelm.quelm");
    EXPECT_EQ(QN_tools_lmc_name("out.lmc"), "out.lmc");
    EXPECT_EQ(QN_tools_lmc_name("out"), "out.lmc");
}

TEST_F(ToolWindows, APotentialIsConvertedAndAMissingInputReported) {
    const std::string source = std::string(QUELM_TEST_DATA) + "/tools/fixtures/potentials/CuNi.eam.alloy";
    open("&Tools/&Potential transformation/EAM", source, dir.path("cuni.quelm"));
    transfer();
    EXPECT_NE(QN_message_text().find("Transfer complete"), std::string::npos) << QN_message_text();
    EXPECT_TRUE(QB_file_exists(dir.path("cuni.quelm")));

    open("&Tools/&Potential transformation/FS", dir.path("none.fs"), dir.path("none.quelm"));
    transfer();
    EXPECT_EQ(QN_message_text(), "Cannot read the input file: " + dir.path("none.fs") + " does not exist");
    EXPECT_FALSE(QB_file_exists(dir.path("none.quelm")));
    // The alloy file read as eam/fs does not fit: its reason, no output.
    open("&Tools/&Potential transformation/FS", source, dir.path("wrong.quelm"));
    transfer();
    EXPECT_EQ(QN_message_text().find("Transfer complete"), std::string::npos) << QN_message_text();
    EXPECT_FALSE(QB_file_exists(dir.path("wrong.quelm")));
}

TEST_F(ToolWindows, AStructureDumpBecomesACustomDump) {
    write_st(dir.path("run.DatST"));
    open("&Tools/&Dump transformation/DatST", dir.path("run.DatST"), dir.path("run.lmc"));
    transfer();
    EXPECT_NE(QN_message_text().find("Transfer complete"), std::string::npos) << QN_message_text();
    QB_tools s;
    QB_init(&s);
    ASSERT_EQ(QB_read_file(&s, dir.path("run.lmc").c_str()), 3);
    EXPECT_EQ(s.natoms, 3);
}


TEST_F(ToolWindows, EveryWindowShowsWholeAtItsSizeAndWider) {
    for (const char* e : {"&Tools/&Potential transformation/EAM", "&Tools/&Potential transformation/FS",
                          "&Tools/&Dump transformation/DatST", "&Tools/&Dump transformation/DatAES"}) {
        menu_bar->picked(menu_bar->find_item(e));
        Fl::check();
        ASSERT_NE(QN_tools_window, nullptr) << e;
        EXPECT_EQ(layout::joined(layout::problems_of(QN_tools_window)), "") << e;
        // A failure's text in the status line stays inside it.
        transfer();
        EXPECT_EQ(layout::joined(layout::problems_of(QN_tools_window)), "") << e;
        const int field = input()->w();
        QN_tools_window->resize(QN_tools_window->x(), QN_tools_window->y(), 900, QN_tools_window->h());
        Fl::check();
        EXPECT_EQ(input()->w(), field + 900 - 540) << e;  // the path fields take the room
        EXPECT_EQ(output()->w(), input()->w()) << e;
        EXPECT_EQ(layout::joined(layout::problems_of(QN_tools_window)), "") << e << " at 900 wide";
    }
}

TEST_F(ToolWindows, AMissingFieldIsNamed) {
    const std::string source = std::string(QUELM_TEST_DATA) + "/tools/fixtures/potentials/CuNi.eam.alloy";
    open("&Tools/&Potential transformation/EAM", "", "");
    transfer();
    EXPECT_EQ(QN_message_text(),
              "Please choose the input file first: the LAMMPS eam/alloy potential to convert");
    EXPECT_EQ(status(), QN_message_text());
    EXPECT_EQ(status_colour(), FL_RED);
    // Blanks alone are no name either.
    open("&Tools/&Potential transformation/FS", "   ", dir.path("fs.quelm"));
    transfer();
    EXPECT_EQ(QN_message_text(), "Please choose the input file first: the LAMMPS eam/fs potential to convert");
    open("&Tools/&Potential transformation/EAM", source, "");
    transfer();
    EXPECT_EQ(QN_message_text(), "Please choose the output file first: the .quelm potential to write");
    EXPECT_EQ(status(), QN_message_text());
    open("&Tools/&Dump transformation/DatST", "", dir.path("run.lmc"));
    transfer();
    EXPECT_EQ(QN_message_text(),
              "Please choose the input file first: the Quelm structure dump (DatST) to convert");
    write_st(dir.path("run.DatST"));
    open("&Tools/&Dump transformation/DatAES", dir.path("run.DatST"), "");
    transfer();
    EXPECT_EQ(QN_message_text(), "Please choose the output file first: the LAMMPS custom dump (.lmc) to write");
    EXPECT_FALSE(QB_file_exists(dir.path("run.lmc")));
    EXPECT_FALSE(QB_file_exists(dir.path("fs.quelm")));
}

TEST_F(ToolWindows, ASuccessAfterAFailureShowsNoFailure) {
    const std::string source = std::string(QUELM_TEST_DATA) + "/tools/fixtures/potentials/CuNi.eam.alloy";
    open("&Tools/&Potential transformation/EAM", source, "");
    transfer();
    ASSERT_NE(status().find("Please choose the output file"), std::string::npos) << status();
    // The same window, the missing name typed in: only the success is shown.
    output()->value(dir.path("cuni.quelm").c_str());
    transfer();
    EXPECT_EQ(status(), "Transfer complete");
    EXPECT_EQ(QN_message_text(), "Transfer complete");
    EXPECT_NE(status_colour(), FL_RED);
    EXPECT_TRUE(QB_file_exists(dir.path("cuni.quelm")));
    // A file that does not fit, then one that does.
    output()->value(dir.path("other.quelm").c_str());
    input()->value(dir.path("cuni.quelm").c_str());  // not a setfl file
    transfer();
    EXPECT_NE(status(), "Transfer complete");
    EXPECT_EQ(status_colour(), FL_RED);
    input()->value(source.c_str());
    transfer();
    EXPECT_EQ(status(), "Transfer complete");
    EXPECT_EQ(QN_message_text(), "Transfer complete");
}

TEST_F(ToolWindows, TypedNamesAreConverted) {
    const std::string source = std::string(QUELM_TEST_DATA) + "/tools/fixtures/potentials/CuNi.eam.alloy";
    menu_bar->picked(menu_bar->find_item("&Tools/&Potential transformation/EAM"));
    Fl::check();
    ASSERT_NE(QN_tools_window, nullptr);
    // Key by key, as the user types (or pastes) the paths.
    auto type = [](Fl_Input* in, const std::string& text) {
        ASSERT_TRUE(in->take_focus());
        for (char c : text) {
            char key[2] = {c, 0};
            Fl::e_text = key;
            Fl::e_length = 1;
            Fl::e_keysym = static_cast<unsigned char>(c);
            Fl::e_state = 0;
            ASSERT_TRUE(Fl::handle(FL_KEYBOARD, in->window())) << c;
        }
        Fl::e_text = const_cast<char*>("");
        Fl::e_length = 0;
    };
    type(input(), source);
    type(output(), dir.path("typed"));
    EXPECT_EQ(std::string(input()->value()), source);
    transfer();
    EXPECT_EQ(status(), "Transfer complete");
    // ".quelm" is added as the chooser adds it, and the field shows the name written.
    EXPECT_TRUE(QB_file_exists(dir.path("typed.quelm")));
    EXPECT_EQ(std::string(output()->value()), dir.path("typed.quelm"));
}
