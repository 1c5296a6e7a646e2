// The main window started from a folder that is not the sources: its icons,
// background and the Simulation menu's frames come from the program's
// resource folder, and a missing folder is told in the message area.
#include <gtest/gtest.h>

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Menu_Bar.H>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "store/quelm_resources.h"
#include "store/quelm_store.h"
#include "app/quelm_window.h"
#include "gui_window.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

class ElsewhereWindow : public testing::Test {
protected:
    void SetUp() override {
        here_ = fs::current_path().string();
        ASSERT_EQ(chdir(scratch_.dir().c_str()), 0);  // a fresh folder: no img/, no config/
        unsetenv("QUELM_DATA_DIR");
        QN_resource_reset();
        QN_alerts_modal = 0;
        QN_choice_hook = answer_yes;
    }
    void TearDown() override {
        if (main_window) main_window->hide();
        Fl::check();
        unsetenv("QUELM_DATA_DIR");
        QN_resource_reset();
        ASSERT_EQ(chdir(here_.c_str()), 0);
    }
    void open() {
        QN_store_init();
        QN_build_main_window();
        main_window->show();
        testing::internal::CaptureStderr();  // the start-up alert, when there is one
        QN_window_reset();
        alert_ = testing::internal::GetCapturedStderr();
        Fl::check();
    }
    // The tool bar's buttons with and without an image.
    void count_icons(int& with, int& without) const {
        with = without = 0;
        for (int k = 0; k < menu_region->children(); k++)
            if (auto* b = dynamic_cast<Fl_Button*>(menu_region->child(k))) (b->image() ? with : without)++;
    }
    // The image the render area shows after a reset (its one box).
    static bool background_shown() {
        return render_region->children() == 1 && render_region->child(0)->image() != nullptr;
    }
    ScratchDir scratch_;
    std::string here_, alert_;
};

}  // namespace

TEST_F(ElsewhereWindow, FindsItsIconsBackgroundAndFrames) {
    open();
    int with = 0, without = 0;
    count_icons(with, without);
    EXPECT_EQ(with, 14);
    EXPECT_EQ(without, 0);
    EXPECT_TRUE(background_shown());
    EXPECT_NE(menu_bar->find_item("Simulation/LAMMPS/Tensile Test"), nullptr);
    EXPECT_NE(menu_bar->find_item("Simulation/LAMMPS/NVT Anneal"), nullptr);
    EXPECT_EQ(QN_message_text().find("resource folder"), std::string::npos) << QN_message_text();
    EXPECT_EQ(alert_, "");
}

TEST_F(ElsewhereWindow, AnEmptyResourceFolderIsToldNotHidden) {
    setenv("QUELM_DATA_DIR", scratch_.dir().c_str(), 1);
    QN_resource_reset();
    open();
    int with = 0, without = 0;
    count_icons(with, without);
    EXPECT_EQ(with, 0);
    EXPECT_EQ(without, 14);
    EXPECT_FALSE(background_shown());
    EXPECT_EQ(menu_bar->find_item("Simulation/LAMMPS/Tensile Test"), nullptr);
    const std::string expected = "the program's resource folder " + scratch_.dir() +
                                 " (QUELM_DATA_DIR) lacks img/color.png, img/x.png, img/y.png, img/z.png, img/icon, "
                                 "img/background.png, img/icon.png, config/config_list.txt; set QUELM_DATA_DIR to "
                                 "the folder that holds img/ and config/, or unset it";
    const std::string text = QN_message_text();
    EXPECT_EQ(text.rfind("Welcome to Quelm Visualizer!\n", 0), 0u);
    EXPECT_NE(text.find("\n" + expected + "\n"), std::string::npos) << text;
    // Said once at start-up as an alert too (here on standard error).
    EXPECT_EQ(alert_, expected + "\n");
    // The message area keeps it after "New".
    QN_window_reset();
    EXPECT_NE(QN_message_text().find(expected), std::string::npos);
}
