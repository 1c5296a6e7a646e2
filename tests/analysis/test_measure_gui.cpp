// The measurements in the window: their Analysis pages, a run that colours
// the view and reports, the Plot window's histogram, a table's plot, the
// numbers over a series, and "Save plot".
#include <gtest/gtest.h>

#include <FL/Fl.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Round_Button.H>

#include <filesystem>
#include <string>

#include "analysis/measure_driver.h"
#include "analysis/measure_form.h"
#include "analysis/morla_form.h"
#include "analysis/plot_window.h"
#include "app/quelm_analysis_tab.h"
#include "app/quelm_import.h"
#include "app/quelm_window.h"
#include "gui_window.h"
#include "layout_check.h"
#include "store/quelm_store.h"
#include "test_support.h"
#include "view/plot.h"
#include "view/view_panel.h"

namespace {

const std::string kEveryday = std::string(QUELM_TEST_DATA) + "/analysis/fixtures/everyday/";
const std::string kFrames = std::string(QUELM_TEST_DATA) + "/qb/fixtures/frames/";

class Measurements : public testing::Test {
protected:
    void SetUp() override {
        open_main_window();
        testing::internal::CaptureStdout();
        ASSERT_EQ(QN_import_path(kEveryday + "cu_liquid.data"), 1);
        for (int k = 0; k < 5; k++) Fl::check();
    }
    void TearDown() override {
        if (QN_plot_window()) QN_plot_window()->hide();
        Fl::check();
        testing::internal::GetCapturedStdout();
    }
    // Switches method k's page on and shows it.
    static void switch_on(int k) {
        QN_show_analysis_method(QN_measure_kinds[k].label);
        Fl_Group* page = QN_measure_page(k);
        ASSERT_NE(page, nullptr);
        auto* active = dynamic_cast<Fl_Round_Button*>(page->child(0));
        ASSERT_NE(active, nullptr);
        active->value(1);
        active->do_callback();
    }
    ScratchDir scratch_;
};

}  // namespace

TEST_F(Measurements, ARunColoursTheViewReportsAndPlotsTheTable) {
    switch_on(QN_M_COORD);
    QN_run_analysis();
    EXPECT_GE(QB_slot_get(&Current_Model, "coord"), 5);
    ASSERT_NE(bar_slot, nullptr);
    EXPECT_STREQ(bar_slot->text(), "coord");
    const std::string text = QN_message_text();
    EXPECT_NE(text.find("Measurements:\nCoordination of 864 atoms within 3 Å"), std::string::npos) << text;
    EXPECT_NE(text.find("coord: min 7, mean 11.0208, max 14"), std::string::npos) << text;
    // A second run replaces the report.
    QN_run_analysis();
    EXPECT_EQ(QN_message_text().find("Measurements:"), QN_message_text().rfind("Measurements:"));

    // The RDF's page shown: its curves in the Plot window.
    switch_on(QN_M_RDF);
    QN_run_analysis();
    ASSERT_NE(QN_plot_window(), nullptr);
    EXPECT_TRUE(QN_plot_window()->shown());
    EXPECT_EQ(QN_plot_window_plot().title, "Radial distribution function");
    EXPECT_EQ(QN_plot_window_plot().x_label, "r (Å)");
    ASSERT_FALSE(QN_plot_window_plot().series.empty());
    EXPECT_EQ(QN_plot_window_plot().series[0].x.size(), 200u);
    for (int k = 0; k < 5; k++) Fl::check();
    const auto problems = layout::problems_of(QN_plot_window());
    EXPECT_TRUE(problems.empty()) << layout::joined(problems);
}

TEST_F(Measurements, TheHistogramOfAColumnIsSavedAsPictureAndData) {
    ASSERT_TRUE(QN_plot_window_histogram("x"));
    const QN_plot& p = QN_plot_window_plot();
    ASSERT_EQ(p.series.size(), 1u);
    EXPECT_EQ(p.series[0].kind, QN_plot_series::Bars);
    EXPECT_EQ(p.series[0].y.size(), 50u);  // the window's 50 bins
    double atoms = 0;
    for (double v : p.series[0].y) atoms += v;
    EXPECT_EQ(atoms, 864);
    EXPECT_EQ(p.series[0].bar_colours.size(), 50u);  // the view's colour map
    for (const char* ext : {".png", ".svg", ".pdf"}) {
        const std::string path = scratch_.path(std::string("h") + ext);
        std::string message;
        ASSERT_EQ(QN_plot_window_save(path, &message), 1) << message;
        EXPECT_GT(std::filesystem::file_size(path), 100u) << ext;
        EXPECT_EQ(slurp(scratch_.path("h.tsv")).rfind("x x\tx y\n", 0), 0u);
    }
    // An unknown column is refused; the plot stays.
    EXPECT_FALSE(QN_plot_window_histogram("nothing"));
    EXPECT_EQ(QN_message_text(), "The model has no column \"nothing\"");
    EXPECT_EQ(QN_plot_window_plot().series[0].y.size(), 50u);
}

TEST_F(Measurements, NumbersOverTheFramesOfADump) {
    ASSERT_EQ(QN_import_path(kFrames + "cu_run.dump"), 1);
    Fl::check();
    QN_switch_analy_cna();
    auto* cna = static_cast<Fl_Button*>(analysis_cna->child(0));  // "Active"
    cna->value(1);
    cna->do_callback();
    switch_on(QN_M_COORD);
    ASSERT_TRUE(QN_plot_window_series());
    const QN_plot& p = QN_plot_window_plot();
    ASSERT_EQ(p.series.size(), 1u);
    EXPECT_EQ(p.series[0].x, (std::vector<double>{0, 1, 2}));
    EXPECT_EQ(p.y_label, "cna fcc");
    // The model shown stays the frame it was.
    EXPECT_EQ(QN_file_list_current, 0);
    // Without a series there is nothing to go over.
    ASSERT_EQ(QN_import_path(kEveryday + "cu_thermal.data"), 1);
    EXPECT_FALSE(QN_plot_window_series());
}
