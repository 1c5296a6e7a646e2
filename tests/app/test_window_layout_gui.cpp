// The main window's frame in a real window: the view, the sequence strip and
// the message area at every window size, the message area following its
// text, the words of Help and of the Analysis menu, and no clipped or
// overlapping widget.
#include <gtest/gtest.h>

#include <FL/Fl.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Menu_Bar.H>
#include <FL/Fl_Tabs.H>
#include <FL/Fl_Text_Buffer.H>
#include <FL/Fl_Text_Display.H>
#include <FL/Fl_Tile.H>

#include <string>
#include <utility>

#include <FL/Fl_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Input.H>

#include "app/quelm_analysis_tab.h"
#include "app/quelm_window.h"
#include "builders/monocrystal_form.h"
#include "gui_window.h"
#include "layout_check.h"

namespace {
class MainWindow : public testing::Test {
protected:
    void SetUp() override {
        open_main_window();
        Fl::check();
    }
};
}  // namespace

// The view, the sequence strip and the message area share the room right of
// the tabs without a gap, at the default size, enlarged, and at the minimum.
TEST_F(MainWindow, ViewAndMessagesFillTheWindowAtAnySize) {
    ASSERT_NE(work_tile, nullptr);
    ASSERT_NE(message_display, nullptr);
    // The smallest window the program allows, then back.
    for (const auto& size : {std::pair<int, int>{1280, 720}, {1600, 1000}, {960, 600}, {1280, 720}}) {
        SCOPED_TRACE(std::to_string(size.first) + " x " + std::to_string(size.second));
        main_window->resize(main_window->x(), main_window->y(), size.first, size.second);
        for (int k = 0; k < 5; k++) Fl::check();
        const int W = main_window->w(), H = main_window->h();
        EXPECT_EQ(W, size.first);
        EXPECT_EQ(H, size.second);
        // Tabs keep their width; the view and the messages reach the right edge.
        EXPECT_EQ(control_region->w(), 320);
        EXPECT_EQ(control_region->y() + control_region->h(), H);
        EXPECT_EQ(render_region->x(), 320);
        EXPECT_EQ(render_region->x() + render_region->w(), W);
        EXPECT_EQ(message_display->x(), 320);
        EXPECT_EQ(message_display->x() + message_display->w(), W);
        EXPECT_EQ(message_display->y() + message_display->h(), H);
        // The message area keeps its height; the strip sits between view and messages.
        EXPECT_EQ(message_display->h(), 106);
        EXPECT_EQ(render_region->y() + render_region->h(), sliding_region->y());
        EXPECT_EQ(sliding_region->y() + sliding_region->h(), message_display->y());
        EXPECT_EQ(sliding_region->x() + sliding_region->w(), W);
    }
}

TEST_F(MainWindow, TheMessageAreaShowsTheNewestLineWrapped) {
    std::string text;
    for (int k = 1; k <= 50; k++) text += "line " + std::to_string(k) + "\n";
    text += "the newest line";
    QN_message(text.c_str());
    for (int k = 0; k < 5; k++) Fl::check();
    int x = 0, y = 0;
    const int end = message_region->length();
    EXPECT_TRUE(message_display->position_to_xy(end, &x, &y)) << "the last line is out of sight";
    EXPECT_FALSE(message_display->position_to_xy(0, &x, &y)) << "fifty lines fit the message area";
    // A line longer than the area is wrapped, not cut: its end is in sight.
    const std::string wide(400, 'w');
    QN_message((wide + "|end").c_str());
    for (int k = 0; k < 5; k++) Fl::check();
    ASSERT_TRUE(message_display->position_to_xy(message_region->length(), &x, &y));
    EXPECT_LE(x, message_display->x() + message_display->w());
    EXPECT_GT(message_display->count_lines(0, message_region->length(), true), 0);
    // Back to a short text: it is shown from its first line.
    QN_message("short");
    Fl::check();
    EXPECT_TRUE(message_display->position_to_xy(0, &x, &y));
}

TEST_F(MainWindow, HelpNamesTheVersionAndWrapsTheLicence) {
    EXPECT_EQ(QN_about_text().rfind(std::string("Quelm Visualizer ") + QN_version() + "\n", 0), 0u);
    EXPECT_STRNE(QN_version(), "");
    EXPECT_NE(std::string(QN_version()).find('.'), std::string::npos);
    // One paragraph per line: the window wraps them.
    const std::string licence = QN_licence_text;
    EXPECT_EQ(licence.find(" \n"), std::string::npos);
    EXPECT_EQ(licence.find("prepare\nsimulations"), std::string::npos);
}

TEST_F(MainWindow, TheMenusSayWhatTheAnalysesDo) {
    for (const char* path : {"Analysis/Structure analysis/Common neighbour analysis (CNA)",
                             "Analysis/Dislocation and strain analysis/Nye tensor (NYE)"})
        EXPECT_NE(menu_bar->find_item(path), nullptr) << path;
    EXPECT_EQ(menu_bar->find_item("Analysis/MORLA"), nullptr);
    EXPECT_EQ(menu_bar->find_item("Analysis/KAVIR"), nullptr);
}

// The check itself finds what it is for.
TEST(LayoutCheck, FindsClippedLabelsOverlapsAndCutTexts) {
    Fl_Double_Window w(300, 200, "made badly");
    new Fl_Input(20, 10, 100, 25, "Type Sum:");                 // its label leaves the window
    new Fl_Button(150, 10, 60, 25, "one");
    new Fl_Button(180, 20, 60, 25, "two");                      // overlaps "one"
    new Fl_Button(20, 60, 40, 25, "Select a file");             // label wider than the button
    auto* c = new Fl_Choice(120, 60, 60, 25, "Mode:");
    c->add("Nose-Hoover");                                      // item wider than the choice
    new Fl_Input(100, 100, 80, 25, "A long label:");
    new Fl_Button(10, 102, 50, 20, "x");                         // under that label
    new Fl_Button(250, 170, 80, 25, "far");                     // leaves the window
    new Fl_Button(100, 150, 60, 25, "fine");
    w.end();
    w.show();
    Fl::check();
    const std::string found = layout::joined(layout::problems_of(&w));
    for (const char* expected :
         {"the label of \"Type Sum:\" leaves the window", "\"two\" overlaps \"one\"", "\"Select a file\" is cut",
          "\"Mode:\" cuts its item \"Nose-Hoover\"", "\"x\" overlaps \"A long label:\"", "\"far\" leaves the window"})
        EXPECT_NE(found.find(expected), std::string::npos) << expected << "\n" << found;
    EXPECT_EQ(found.find("fine"), std::string::npos) << found;
    w.hide();
}

// Nothing of the main window clipped or overlapping, with the start-up form
// and then a model in the view, at both sizes a researcher uses.
TEST_F(MainWindow, NoWidgetIsClippedOrOverlapsAtEitherSize) {
    QN_model_single_crystal();
    Fl::check();
    for (int pass = 0; pass < 2; pass++) {
        if (pass == 1) {
            QN_model_single_preview();
            QN_switch_chroma();  // the view's panel in the left tabs
        }
        for (const auto& size : {std::pair<int, int>{1280, 720}, {1600, 1000}}) {
            main_window->resize(main_window->x(), main_window->y(), size.first, size.second);
            for (int k = 0; k < 5; k++) Fl::check();
            const auto problems = layout::problems_of(main_window);
            EXPECT_TRUE(problems.empty()) << pass << ": " << size.first << " x " << size.second << "\n"
                                          << layout::joined(problems);
        }
    }
}

// Every model form of "Select model:", the camera panel and every page of the
// Analysis tab, with a model shown.
TEST_F(MainWindow, EveryFormAndPanelFitsTheLeftTabs) {
    QN_model_single_crystal();
    QN_model_single_preview();
    Fl::check();
    auto check = [&](const std::string& what) {
        for (int k = 0; k < 5; k++) Fl::check();
        const auto problems = layout::problems_of(main_window);
        EXPECT_TRUE(problems.empty()) << what << "\n" << layout::joined(problems);
    };
    QN_switch_camera();
    check("camera panel");
    for (int k = 0; k + 1 < model_choice->size(); k++) {
        const Fl_Menu_Item& item = model_choice->menu()[k];
        if (!item.label()) continue;
        model_choice->picked(&item);
        QN_switch_model();
        check(std::string("form ") + item.label());
    }
    QN_switch_analy();
    for (const char* method : {"CNA", "BAA", "CNP", "CSP", "LCO", "OIM", "DVA", "STA", "DDA", "SVA", "IDA", "NYE",
                               "NTA", "RDF", "Coordination", "Steinhardt", "Voronoi", "Clusters", "Wigner-Seitz"}) {
        QN_show_analysis_method(method);
        check(std::string("analysis page ") + method);
    }
}
