// The Tools menu's converter windows in the real window: each menu entry
// opens its window, "Transfer" converts and reports in the message area.
#include <gtest/gtest.h>

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Menu_Bar.H>
#include <FL/Fl_Output.H>

#include <cstdint>
#include <cstring>
#include <string>

#include "app/quelm_window.h"
#include "gui_window.h"
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
        auto* input = find_labelled<Fl_Output>(QN_tools_window, "Input:");
        auto* output = find_labelled<Fl_Output>(QN_tools_window, "Output:");
        ASSERT_NE(input, nullptr);
        ASSERT_NE(output, nullptr);
        input->value(in.c_str());
        output->value(out.c_str());
    }
    void transfer() { press(find_labelled<Fl_Button>(QN_tools_window, "Transfer")); }
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
    const char* entries[4][2] = {{"&Tools/&Potential transformation/EAM", "LAMMPS eam/alloy 2 Quelm"},
                                 {"&Tools/&Potential transformation/FS", "LAMMPS eam/fs 2 Quelm"},
                                 {"&Tools/&Dump transformation/DatST", "Quelm Structure to Lammps custom dump"},
                                 {"&Tools/&Dump transformation/DatAES", "Quelm Atomic Stress to Lammps custom dump"}};
    for (const auto& e : entries) {
        menu_bar->picked(menu_bar->find_item(e[0]));
        ASSERT_NE(QN_tools_window, nullptr) << e[0];
        EXPECT_STREQ(QN_tools_window->label(), e[1]);
        EXPECT_EQ(QN_tools_window->w(), 300);
        EXPECT_EQ(QN_tools_window->h(), 130);
        auto* go = find_labelled<Fl_Button>(QN_tools_window, "Transfer");
        ASSERT_NE(go, nullptr);
        EXPECT_EQ(go->y(), 90);
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
    EXPECT_EQ(QN_message_text(), "Get input failed");
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
