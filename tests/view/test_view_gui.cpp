// The view in a real window under Xvfb and Mesa: loading, drawing, picking,
// the control panel's colouring and trimming, snapshots.
#include <gtest/gtest.h>

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Round_Button.H>
#include <FL/Fl_Value_Input.H>
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

#include "app/quelm_import.h"
#include "app/quelm_store.h"
#include "app/quelm_window.h"
#include "test_support.h"
#include "view/view_image.h"
#include "view/view_panel.h"
#include "view/view_widget.h"

namespace {

const std::string kFixtures = std::string(QUELM_TEST_DATA) + "/qb/fixtures/formats/";

class View : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(chdir(QUELM_SOURCE), 0);
        QN_alerts_modal = 0;
        QN_store_init();
        QN_build_main_window();
        foo_window->show();
        QN_window_reset();
        testing::internal::CaptureStdout();
        ASSERT_EQ(QN_import_path(kFixtures + "lammps_fcc.data"), 1);
        for (int k = 0; k < 10; k++) Fl::check();
        ASSERT_NE(cube, nullptr);
    }
    void TearDown() override { testing::internal::GetCapturedStdout(); }

    // Window pixel of a drawn atom, from the same matrices the view uses.
    static bool screen_of(int drawn, int& x, int& y) {
        const atomdata& a = Globel_Model.atoms[Globel_Model.atoms[drawn].scratch];
        const double c[3] = {a.x - (Globel_Model.lo[0] + Globel_Model.size[0] / 2),
                             a.y - (Globel_Model.lo[1] + Globel_Model.size[1] / 2),
                             a.z - (Globel_Model.lo[2] + Globel_Model.size[2] / 2)};
        const QN_mat4 m = QN_camera_mvp(cube->camera(), cube->pixel_w(), cube->pixel_h());
        double clip[4];
        for (int r = 0; r < 4; r++) clip[r] = m[r] * c[0] + m[4 + r] * c[1] + m[8 + r] * c[2] + m[12 + r];
        x = static_cast<int>((clip[0] / clip[3] + 1) / 2 * cube->w());
        y = static_cast<int>((1 - clip[1] / clip[3]) / 2 * cube->h());
        return x >= 0 && y >= 0 && x < cube->w() && y < cube->h();
    }
    static int differing_pixels(const std::vector<unsigned char>& rgb, const unsigned char* background) {
        int n = 0;
        for (size_t k = 0; k + 2 < rgb.size(); k += 3)
            n += rgb[k] != background[0] || rgb[k + 1] != background[1] || rgb[k + 2] != background[2];
        return n;
    }
    ScratchDir scratch_;
};

}  // namespace

TEST_F(View, LoadingFillsThePanelWithTheDefaultColouring) {
    EXPECT_TRUE(render_control_region1->active());
    EXPECT_EQ(render_bar_flag->value(), 1);
    EXPECT_EQ(render_col_flag->value(), 0);
    EXPECT_STREQ(bar_slot->text(), "type");
    EXPECT_DOUBLE_EQ(bar_slot_min->value(), 0);  // two types: [1 - 0.5 T, 1.5 T]
    EXPECT_DOUBLE_EQ(bar_slot_max->value(), 3);
    EXPECT_EQ(bar_slot->size() - 1, 5);  // id type x y z
    EXPECT_EQ(render_rr_choice->size() - 1, 2);
    EXPECT_FALSE(colr_slot->active());
    EXPECT_EQ(cube->atoms_drawn(), 32);
}

TEST_F(View, TheFrameShowsAtomsBoxAndAxes) {
    std::vector<unsigned char> rgb;
    ASSERT_TRUE(cube->render_frame(320, 200, rgb));
    const unsigned char white[3] = {255, 255, 255};
    const int drawn = differing_pixels(rgb, white);
    EXPECT_GT(drawn, 200);
    // Hiding everything leaves only the box and the axes.
    QN_render_inverse_delete();
    std::vector<unsigned char> empty;
    ASSERT_TRUE(cube->render_frame(320, 200, empty));
    EXPECT_EQ(cube->atoms_drawn(), 0);
    EXPECT_LT(differing_pixels(empty, white), drawn);
    cube->draw_box = cube->draw_axes = 0;
    ASSERT_TRUE(cube->render_frame(320, 200, empty));
    EXPECT_EQ(differing_pixels(empty, white), 0);
}

TEST_F(View, PickingFindsTheAtomUnderThePointer) {
    cube->view_height = 20;  // atoms large enough to hit
    int found = 0;
    for (int k = 0; k < cube->atoms_drawn(); k++) {
        int x, y;
        if (!screen_of(k, x, y)) continue;
        const int n = cube->pick_partical(x, y);
        ASSERT_GT(n, 0) << k;
        // The atom found lies in front or is the one aimed at: same screen spot.
        int nx, ny;
        ASSERT_TRUE(screen_of(n - 1, nx, ny));
        EXPECT_LE(std::hypot(nx - x, ny - y), 2 * cube->atom_radius * cube->h() / cube->view_height);
        found++;
    }
    EXPECT_GT(found, 10);
    EXPECT_EQ(cube->pick_partical(2, 2), 0);  // background
    EXPECT_EQ(cube->pick_partical(-5, 3), 0);
}

TEST_F(View, InspectModeSwitchesTheToolBarIcon) {
    const Fl_Image* before = Inspect_MenuButton->image();
    QN_inspect_globel();
    EXPECT_EQ(cube->inspect_mode, 1);
    EXPECT_NE(Inspect_MenuButton->image(), before);
    QN_inspect_globel();
    EXPECT_EQ(cube->inspect_mode, 0);
    EXPECT_EQ(cube->selected, -1);
    EXPECT_EQ(QN_message_text().rfind("Box Data:\n32 Particles\n2 Particles Type\n", 0), 0u);
}

TEST_F(View, ColouringByNamedColumnsAndTrimming) {
    QB_add_exdouble(&Globel_Model, "csp");
    for (int i = 0; i < Globel_Model.natoms; i++) QB_save_data(&Globel_Model, i, "csp", i % 4);
    QN_render_check_file2("csp");
    EXPECT_STREQ(bar_slot->text(), "csp");
    EXPECT_DOUBLE_EQ(bar_slot_min->value(), 0 - 0.66666 * 3);
    EXPECT_DOUBLE_EQ(bar_slot_max->value(), 3 + 0.66666 * 3);
    QN_render_check_file3("x", "y", "csp");
    EXPECT_EQ(render_col_flag->value(), 1);
    EXPECT_TRUE(colr_slot->active());
    EXPECT_STREQ(colb_slot->text(), "csp");
    // Delete by data range, then "Inverse" shows exactly the deleted atoms.
    QN_render_check_file2("csp");
    delete_slot->value(5);  // csp
    render_delete_min->value(1);
    render_delete_max->value(2);
    QN_render_data_delete();
    EXPECT_EQ(cube->atoms_drawn(), 16);
    QN_render_inverse_delete();
    EXPECT_EQ(cube->atoms_drawn(), 16);
    for (int i = 0; i < Globel_Model.natoms; i++) {
        const double v = QB_get_data(&Globel_Model, i, "csp");
        EXPECT_EQ(Globel_Model.atoms[i].id > 0, v >= 1 && v <= 2) << i;
    }
    QN_render_recover_delete();
    EXPECT_EQ(cube->atoms_drawn(), 32);
    // A half-space cut (width 0) hides n.p > D and shows the outline.
    render_slice_D->value(5);
    QN_render_slice_delete();
    EXPECT_EQ(cube->draw_slice, 1);
    EXPECT_EQ(render_drawslice_flag->value(), 1);
    int kept = 0;
    for (const auto& a : Globel_Model.atoms) kept += a.x <= 5;
    EXPECT_EQ(cube->atoms_drawn(), kept);
}

TEST_F(View, CameraStepsKeepTheirLimits) {
    cube->view_height = 10;
    zom_size->value(10);
    QN_render_zom_plus();
    EXPECT_DOUBLE_EQ(cube->view_height, 10);
    QN_render_zom_minus();
    EXPECT_DOUBLE_EQ(cube->view_height, 20);
    pers_size->value(0.01);
    QN_render_perspective_minus();
    EXPECT_DOUBLE_EQ(cube->perspective, 0);
    QN_render_xrot_plus();
    QN_render_reset_setting();
    EXPECT_DOUBLE_EQ(cube->rot_x, 0);
    EXPECT_DOUBLE_EQ(cube->view_height, 100);
}

TEST_F(View, SnapshotsWriteTheRequestedSizeOrSaySo) {
    render_width->value(64);
    render_hight->value(48);
    render_SSAA->value(2);
    ASSERT_EQ(QN_snapshot_write(scratch_.path("a"), 0), QN_IMAGE_OK);
    EXPECT_EQ(QN_message_text(), "Scene exported to " + scratch_.path("a.png"));
    const std::string png = slurp(scratch_.path("a.png"));
    ASSERT_GT(png.size(), 24u);
    EXPECT_EQ(png.substr(1, 3), "PNG");
    EXPECT_EQ(static_cast<unsigned char>(png[19]), 64);  // IHDR width, big-endian
    EXPECT_EQ(static_cast<unsigned char>(png[23]), 48);
    ASSERT_EQ(QN_snapshot_write(scratch_.path("b.bmp"), 2), QN_IMAGE_OK);
    const std::string bmp = slurp(scratch_.path("b.bmp"));
    ASSERT_EQ(bmp.size(), 54u + 48 * (3 * 64));
    EXPECT_EQ(static_cast<unsigned char>(bmp[18]), 64);
    ASSERT_EQ(QN_snapshot_write(scratch_.path("c"), 1), QN_IMAGE_OK);
    EXPECT_EQ(slurp(scratch_.path("c.jpg")).substr(0, 2), "\xFF\xD8");

    EXPECT_LT(QN_snapshot_write(scratch_.path("no/dir/d"), 0), 0);
    EXPECT_EQ(QN_message_text().rfind("Saving picture failed\n", 0), 0u);
    render_SSAA->value(11);
    EXPECT_LT(QN_snapshot_write(scratch_.path("e"), 0), 0);
    render_SSAA->value(10);
    render_width->value(7000);
    render_hight->value(7000);
    QN_snapshot_render();  // refused before any file dialog
    EXPECT_EQ(QN_message_text(), "ERROR: Please decrease the resolution");
}
