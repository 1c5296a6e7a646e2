// The sequence bar over the frames of one file (under the private Xvfb
// display of the test command): a three-frame LAMMPS dump, plain and
// gzipped, stepped with the slider and the number box to LAMMPS' own
// positions; a file whose last frame is cut short; numbered files as before.
#include <gtest/gtest.h>

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Slider.H>
#include <FL/Fl_Value_Input.H>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "app/quelm_import.h"
#include "store/quelm_store.h"
#include "app/quelm_window.h"
#include "qb/frames_reference.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

const std::string kFrames = std::string(QUELM_TEST_DATA) + "/qb/fixtures/frames/";

int scripted_answer(const char*, const char*, const char*) { return 1; }

std::vector<std::map<int, std::array<double, 3>>> lammps_reference() {
    return ::lammps_reference(kFrames + "cu_run_ref.xyz");
}

class FrameBar : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(chdir(QUELM_SOURCE), 0);
        QN_alerts_modal = 0;
        QN_choice_hook = scripted_answer;
        QN_store_init();
        QN_build_main_window();
        main_window->show();
        QN_window_reset();
        Fl::check();
        testing::internal::CaptureStdout();
    }
    void TearDown() override { testing::internal::GetCapturedStdout(); }
    std::string path(const std::string& name) const { return scratch_.path(name); }

    // The model shown holds frame k of the LAMMPS run.
    void expect_frame(size_t k) {
        static const auto reference = lammps_reference();
        ASSERT_EQ(Current_Model.natoms, 108);
        for (int i = 0; i < Current_Model.natoms; i++) {
            const atomdata& a = Current_Model.atoms[i];
            const auto& p = reference[k].at(a.id);
            ASSERT_EQ(a.x, p[0]) << k << " " << a.id;
            ASSERT_EQ(a.y, p[1]) << k << " " << a.id;
            ASSERT_EQ(a.z, p[2]) << k << " " << a.id;
        }
    }
    ScratchDir scratch_;
};

}  // namespace

TEST_F(FrameBar, StepsThroughTheFramesOfOneDump) {
    for (const char* name : {"cu_run.dump", "cu_run.dump.gz"}) {
        SCOPED_TRACE(name);
        const std::string file = kFrames + name;
        ASSERT_EQ(QN_import_path(file), 1);
        EXPECT_EQ(QN_message_text(),
                  "LMC file detected with 108 atoms and 1 type\nBox size 10.845000 10.845000 10.845000\n"
                  "Frame 1 of 3, timestep 0");
        ASSERT_EQ(QN_file_list.size(), 3u);
        ASSERT_EQ(QN_file_frames.size(), 3u);
        for (size_t k = 0; k < 3; k++) {
            EXPECT_EQ(QN_file_list[k], file);
            EXPECT_EQ(QN_file_frames[k], static_cast<int>(k));
        }
        EXPECT_EQ(QN_file_list_current, 0);
        Fl::check();
        EXPECT_TRUE(QN_file_list_slider->visible());
        EXPECT_FALSE(QN_blank_Slider->visible());
        EXPECT_EQ(QN_file_list_slider->maximum(), 2);
        ASSERT_NE(QN_file_list_label, nullptr);
        EXPECT_STREQ(QN_file_list_label->label(), "Frame 1 of 3, step 0");
        expect_frame(0);

        // The slider, then the number box, as the user moves them.
        QN_file_list_slider->value(2);
        QN_change_file2(QN_file_list_slider, nullptr);
        EXPECT_EQ(QN_file_list_current, 2);
        EXPECT_EQ(QN_file_list_input->value(), 2);
        EXPECT_EQ(QN_message_text().substr(QN_message_text().rfind('\n') + 1), "Frame 3 of 3, timestep 20");
        EXPECT_STREQ(QN_file_list_label->label(), "Frame 3 of 3, step 20");
        expect_frame(2);
        QN_file_list_input->value(1);
        QN_change_file1(QN_file_list_input, nullptr);
        EXPECT_EQ(QN_file_list_current, 1);
        EXPECT_EQ(QN_file_list_slider->value(), 1);
        expect_frame(1);
        // Each frame keeps its own velocity column.
        ASSERT_EQ(Current_Model.channel_count, 1);
        EXPECT_EQ(Current_Model.channel_data[0][0], 5.8839849257);
        // A step outside the frames is ignored.
        QN_file_list_input->value(5);
        QN_change_file1(QN_file_list_input, nullptr);
        EXPECT_EQ(QN_file_list_current, 1);
        expect_frame(1);
    }
}

TEST_F(FrameBar, CutShortLastFrameAndNumberedFiles) {
    const std::string whole = slurp(kFrames + "cu_run.dump");
    std::ofstream(path("run.dump"), std::ios::binary) << whole.substr(0, whole.size() - 500);
    ASSERT_EQ(QN_import_path(path("run.dump")), 1);
    const std::string text = QN_message_text();
    EXPECT_NE(text.find("Frame 1 of 2, timestep 0\nframe 3 is incomplete: "), std::string::npos) << text;
    EXPECT_EQ(QN_file_list.size(), 2u);
    QN_file_list_slider->value(1);
    QN_change_file2(QN_file_list_slider, nullptr);
    expect_frame(1);

    // Numbered single-frame files still make the series they did.
    for (const char* name : {"one.1.lmc", "one.2.lmc"}) fs::copy_file(kFrames + "cu_run.dump", path(name));
    std::ofstream(path("one.1.lmc"), std::ios::binary) << whole.substr(0, whole.find("ITEM: TIMESTEP\n10\n"));
    std::ofstream(path("one.2.lmc"), std::ios::binary) << whole.substr(0, whole.find("ITEM: TIMESTEP\n10\n"));
    ASSERT_EQ(QN_import_path(path("one.2.lmc")), 1);
    ASSERT_EQ(QN_file_list.size(), 2u);
    EXPECT_EQ(QN_file_frames, std::vector<int>({-1, -1}));
    EXPECT_EQ(QN_file_list_current, 1);
    EXPECT_STREQ(QN_file_list_label->label(), "File 2 of 2: one.2.lmc");
    QN_file_list_slider->value(0);
    QN_change_file2(QN_file_list_slider, nullptr);
    EXPECT_EQ(QN_file_list_current, 0);
    EXPECT_STREQ(QN_file_list_label->label(), "File 1 of 2: one.1.lmc");
    expect_frame(0);
    // The message area tells the frames from the numbered files apart.
    EXPECT_EQ(QN_message_text(), "LMC file detected with 108 atoms and 1 type\nBox size 10.845000 10.845000 10.845000");
}
