// Framing the model in a real window under Xvfb and Mesa: a new model fills
// 90 % of the view whatever its size, Fit (menu, tool bar, key F) frames it
// again after a rotation, and stepping through a file series or re-showing
// the same box keeps the user's camera.
#include <gtest/gtest.h>

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Menu_Bar.H>
#include <FL/Fl_Scroll.H>
#include <FL/Fl_Slider.H>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "app/quelm_import.h"
#include "store/quelm_model_io.h"
#include "app/quelm_window.h"
#include "gui_window.h"
#include "qb/qb_lattice.h"
#include "test_support.h"
#include "view/view_core.h"
#include "view/view_panel.h"
#include "view/view_widget.h"

namespace {

// The view is kept small: llvmpipe draws every atom on the processor.
constexpr int kViewW = 200, kViewH = 150;

// An fcc copper crystal of nx x ny x nz cells (4 atoms each).
QB_tools crystal(int nx, int ny, int nz) {
    QB_tools s;
    QB_init(&s);
    testing::internal::CaptureStdout();
    EXPECT_EQ(QB_create_fcc(&s, 3.615, 1, 0, 0, 0, 1, 0, 0, 0, 1), 0);
    testing::internal::GetCapturedStdout();
    if (nx * ny * nz > 1) {
        EXPECT_EQ(QB_duplicate(&s, nx, ny, nz), 1);
    }
    return s;
}

class Fit : public testing::Test {
protected:
    void SetUp() override {
        open_main_window();
        for (int k = 0; k < 5; k++) Fl::check();
    }
    // The next test opens its own window: this one goes, with its model.
    void TearDown() override {
        QN_window_reset();
        main_window->hide();
        Fl::check();
    }

    // Shows `model` as a builder's preview does (the file series is
    // dropped), in a view of kViewW x kViewH pixels.
    void show(const QB_tools& model) {
        QN_file_list_free();
        Current_Model = model;
        small_view();
        QN_update_model();
        small_view();
    }
    // The first update builds the view at the render area's size; the tests
    // shrink it (and frame again when it was just built).
    static void small_view() {
        if (!cube || (cube->w() == kViewW && cube->h() == kViewH)) return;
        cube->resize(cube->x(), cube->y(), kViewW, kViewH);
        cube->fit(&Current_Model);
    }
    static QN_view_bounds bounds() {
        const std::array<double, 24> corners = QN_render_box_corners(&Current_Model);
        QN_view_bounds b;
        EXPECT_TRUE(QN_camera_bounds(cube->camera(), corners.data(), 8, cube->pixel_w(), cube->pixel_h(), &b));
        return b;
    }
    static void expect_framed(const char* what) {
        const QN_view_bounds b = bounds();
        EXPECT_GE(b.x_min, -1) << what;
        EXPECT_LE(b.x_max, 1) << what;
        EXPECT_GE(b.y_min, -1) << what;
        EXPECT_LE(b.y_max, 1) << what;
        EXPECT_NEAR(b.extent(), 0.9, 0.02) << what;
        EXPECT_NEAR(b.x_min + b.x_max, 0, 0.01) << what;
        EXPECT_NEAR(b.y_min + b.y_max, 0, 0.01) << what;
    }
    struct Camera {
        double rot_x, rot_y, view_height;
        float shift_x, shift_y;
    };
    static Camera camera() { return {cube->rot_x, cube->rot_y, cube->view_height, cube->shift_x, cube->shift_y}; }
    static void expect_same(const Camera& a, const Camera& b, const char* what) {
        EXPECT_EQ(a.rot_x, b.rot_x) << what;
        EXPECT_EQ(a.rot_y, b.rot_y) << what;
        EXPECT_EQ(a.view_height, b.view_height) << what;
        EXPECT_EQ(a.shift_x, b.shift_x) << what;
        EXPECT_EQ(a.shift_y, b.shift_y) << what;
    }
    // A camera the user moved: turned, zoomed out, shifted.
    static void move_camera() {
        cube->rot_x = 25;
        cube->rot_y = 40;
        cube->view_height *= 3;
        cube->shift_x += 2;
        cube->shift_y -= 1;
    }
    // The rows and columns of a frame read back that differ from white.
    static bool drawn_extent(int W, int H, int& x0, int& x1, int& y0, int& y1) {
        std::vector<unsigned char> rgb;
        if (!cube->render_frame(W, H, rgb)) return false;
        x0 = W, x1 = -1, y0 = H, y1 = -1;
        for (int y = 0; y < H; y++)
            for (int x = 0; x < W; x++) {
                const unsigned char* p = &rgb[(static_cast<size_t>(y) * W + x) * 3];
                if (p[0] == 255 && p[1] == 255 && p[2] == 255) continue;
                x0 = std::min(x0, x);
                x1 = std::max(x1, x);
                y0 = std::min(y0, y);
                y1 = std::max(y1, y);
            }
        return x1 >= 0;
    }
    ScratchDir scratch_;
};

}  // namespace

TEST_F(Fit, TheFourAtomCrystalFillsTheView) {
    show(crystal(1, 1, 1));
    ASSERT_NE(cube, nullptr);
    ASSERT_EQ(Current_Model.natoms, 4);
    EXPECT_EQ(cube->w(), kViewW);
    expect_framed("4 atoms");
    // The drawn box, read back: with the atoms hidden only its edges differ
    // from the background; they span 90 % of the height (the limiting side
    // of a cube seen face on in a wide view), centred.
    cube->draw_axes = 0;
    QN_render_inverse_delete();
    int x0, x1, y0, y1;
    ASSERT_TRUE(drawn_extent(kViewW, kViewH, x0, x1, y0, y1));
    EXPECT_NEAR(y1 - y0 + 1, 0.9 * kViewH, 3);
    EXPECT_NEAR(x1 - x0 + 1, 0.9 * kViewH, 3);  // a square
    EXPECT_NEAR((x0 + x1) / 2.0, kViewW / 2.0, 1.5);
    EXPECT_NEAR((y0 + y1) / 2.0, kViewH / 2.0, 1.5);
    // Turned, Fit frames the projected corners again; the picture agrees.
    cube->rot_x = 30;
    cube->rot_y = 45;
    QN_switch_camera_fit();
    expect_framed("4 atoms turned");
    EXPECT_EQ(cube->rot_x, 30);
    EXPECT_EQ(cube->rot_y, 45);
    ASSERT_TRUE(drawn_extent(kViewW, kViewH, x0, x1, y0, y1));
    const QN_view_bounds b = bounds();
    EXPECT_NEAR(y1 - y0 + 1, (b.y_max - b.y_min) / 2 * kViewH, 3);
    EXPECT_NEAR(x1 - x0 + 1, (b.x_max - b.x_min) / 2 * kViewW, 3);
    EXPECT_NEAR(std::max((y1 - y0 + 1.0) / kViewH, (x1 - x0 + 1.0) / kViewW), 0.9, 0.03);
}

TEST_F(Fit, FiveMillionAtomsFillTheView) {
    show(crystal(100, 100, 125));
    ASSERT_EQ(Current_Model.natoms, 5000000);
    ASSERT_NE(cube, nullptr);
    EXPECT_EQ(cube->atoms_drawn(), 5000000);
    EXPECT_EQ(cube->w(), kViewW);
    expect_framed("5,000,000 atoms");
    EXPECT_GT(cube->view_height, 400);  // 451.9 A of box height over 90 %
    // Turned, the key F frames it again from the camera matrices alone.
    cube->rot_x = -20;
    cube->rot_y = 130;
    cube->view_height = 100;
    Fl::e_keysym = 'f';
    Fl::e_state = 0;
    EXPECT_EQ(cube->handle(FL_KEYBOARD), 1);
    expect_framed("5,000,000 atoms turned");
    EXPECT_EQ(cube->rot_y, 130);
}

TEST_F(Fit, MenuToolBarAndKeyFrameTheTurnedModel) {
    show(crystal(4, 2, 1));
    // View menu: Setting, Camera, Fit, then Snapshot and Inspection.
    const Fl_Menu_Item* fit = menu_bar->find_item("View/Fit");
    ASSERT_NE(fit, nullptr);
    const Fl_Menu_Item* view = menu_bar->find_item("View");
    ASSERT_NE(view, nullptr);
    std::vector<std::string> names;
    for (const Fl_Menu_Item* m = view + 1; m->label(); m = m->next()) names.push_back(m->label());
    EXPECT_EQ(names, (std::vector<std::string>{"Setting", "Camera", "Fit", "Snapshot", "Inspection"}));
    // The tool-bar button with its icon.
    Fl_Button* button = nullptr;
    for (int k = 0; k < menu_region->children(); k++)
        if (auto* b = dynamic_cast<Fl_Button*>(menu_region->child(k)); b && b->tooltip() && std::strcmp(b->tooltip(), "Fit") == 0)
            button = b;
    ASSERT_NE(button, nullptr);
    EXPECT_NE(button->image(), nullptr);

    int turn = 0;
    auto turned = [&] {
        cube->rot_x = 15 + 20 * turn;
        cube->rot_y = 70 - 35 * turn;
        cube->rot_z = 10 * turn++;
        cube->view_height = 500;
        cube->shift_x = 7;
    };
    turned();
    menu_bar->picked(fit);
    expect_framed("menu");
    turned();
    button->do_callback();
    expect_framed("tool bar");
    turned();
    // The key while the view has the focus, and as a shortcut with the
    // pointer over the view; not with Ctrl.
    Fl::e_keysym = 'f';
    Fl::e_state = FL_CTRL;
    EXPECT_EQ(cube->handle(FL_KEYBOARD), 0);
    EXPECT_EQ(cube->view_height, 500);
    Fl::e_state = 0;
    EXPECT_EQ(cube->handle(FL_KEYBOARD), 1);
    expect_framed("key");
    EXPECT_EQ(cube->rot_z, 20);
    // The camera panel's button.
    turned();
    press(find_labelled<Fl_Button>(view_region, "Fit"));
    expect_framed("panel");
}

TEST_F(Fit, SteppingAFileSeriesKeepsTheCamera) {
    // Two files of one series; the second box is 1 % larger (a run under
    // pressure).
    QB_tools first = crystal(3, 2, 2), second = first;
    for (int d = 0; d < 3; d++) {
        second.size[d] *= 1.01;
        second.cell[d][d] = second.size[d];
    }
    ASSERT_EQ(QN_write_model(&first, scratch_.path("run.0.lmc").c_str(), 0), 1);
    ASSERT_EQ(QN_write_model(&second, scratch_.path("run.1.lmc").c_str(), 0), 1);
    ASSERT_EQ(QN_import_path(scratch_.path("run.0.lmc")), 1);
    small_view();
    expect_framed("imported");
    ASSERT_EQ(QN_file_list.size(), 2u);
    move_camera();
    const Camera moved = camera();
    QN_file_list_slider->value(1);
    QN_file_list_slider->do_callback();
    ASSERT_EQ(QN_file_list_current, 1);
    EXPECT_NEAR(Current_Model.size[0], second.size[0], 1e-6);
    expect_same(camera(), moved, "series step");
    QN_file_list_slider->value(0);
    QN_file_list_slider->do_callback();
    expect_same(camera(), moved, "series step back");
    // Showing the same model again (an analysis re-run) keeps it too.
    QN_update_model();
    expect_same(camera(), moved, "same box");
    // A model with another box (a builder's preview) is framed.
    show(crystal(6, 1, 1));
    expect_framed("another box");
    EXPECT_EQ(cube->rot_y, 40);  // in the user's rotation
    // An import the user chose is framed even with the box shown before
    // (the menu and tool bar ask for it).
    show(first);
    move_camera();
    const Camera before = camera();
    QN_update_model();
    expect_same(camera(), before, "same box again");
    QN_frame_next_model();
    ASSERT_EQ(QN_import_path(scratch_.path("run.0.lmc")), 1);
    expect_framed("import");
    EXPECT_NE(camera().view_height, before.view_height);
}
