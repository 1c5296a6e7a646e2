// The view in a real window under Xvfb and Mesa: loading, drawing, picking,
// the control panel's colouring and trimming, snapshots.
#include <gtest/gtest.h>

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Round_Button.H>
#include <FL/Fl_Scroll.H>
#include <FL/Fl_Tabs.H>
#include <FL/Fl_Value_Input.H>
#include <FL/fl_draw.H>
#include <SOIL/SOIL.h>
#include <unistd.h>

#include <sys/wait.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "app/quelm_import.h"
#include "store/quelm_store.h"
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
        main_window->show();
        QN_window_reset();
        testing::internal::CaptureStdout();
        ASSERT_EQ(QN_import_path(kFixtures + "lammps_fcc.data"), 1);
        for (int k = 0; k < 10; k++) Fl::check();
        ASSERT_NE(cube, nullptr);
    }
    void TearDown() override { testing::internal::GetCapturedStdout(); }

    // Window pixel of a drawn atom, from the same matrices the view uses.
    static bool screen_of(int drawn, int& x, int& y) {
        const atomdata& a = Current_Model.atoms[Current_Model.atoms[drawn].scratch];
        const double c[3] = {a.x - (Current_Model.lo[0] + Current_Model.size[0] / 2),
                             a.y - (Current_Model.lo[1] + Current_Model.size[1] / 2),
                             a.z - (Current_Model.lo[2] + Current_Model.size[2] / 2)};
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
    QN_inspect_global();
    EXPECT_EQ(cube->inspect_mode, 1);
    EXPECT_NE(Inspect_MenuButton->image(), before);
    QN_inspect_global();
    EXPECT_EQ(cube->inspect_mode, 0);
    EXPECT_EQ(cube->selected, -1);
    EXPECT_EQ(QN_message_text().rfind("Box Data:\n32 Particles\n2 Particles Type\n", 0), 0u);
}

// Reads the protected horizontal scroll of a text field: 0 when its text
// starts at the field's left edge.
struct ScrollOf : Fl_Input_ {
    static int of(const Fl_Input_& input) { return (input.*(&ScrollOf::xscroll))(); }
};

// The Min and Max fields show the whole range, however long its numbers'
// text ("-1.00973e-28" once showed as ".00973e-28", the field scrolled to
// the end of a text too long for it).
TEST_F(View, MinAndMaxShowTheirWholeNumbers) {
    control_region->value(view_region);
    view_region->scroll_to(0, 0);
    QB_add_exdouble(&Current_Model, "csp");
    for (int i = 0; i < Current_Model.natoms; i++)
        QB_save_data(&Current_Model, i, "csp", i == 3 ? -1.00973e-28 : i == 5 ? 19.6284 : 0.5);
    QN_render_check_file2("csp");
    EXPECT_EQ(bar_slot_min->value(), -1.00973e-28);
    EXPECT_EQ(bar_slot_max->value(), 19.6284);
    auto shows_all = [](Fl_Value_Input* field, const char* text) {
        field->redraw();
        for (int k = 0; k < 5; k++) Fl::check();
        EXPECT_STREQ(field->input.value(), text);
        EXPECT_TRUE(field->visible_r());
        EXPECT_EQ(ScrollOf::of(field->input), 0) << text;
        fl_font(field->textfont(), field->textsize());
        EXPECT_LE(fl_width(text), field->w() - Fl::box_dw(field->box())) << text;
    };
    shows_all(bar_slot_min, "-1.00973e-28");
    shows_all(bar_slot_max, "19.6284");
    // The longest texts a field writes ("%g": sign, six digits, a
    // three-digit exponent).
    for (double v : {-1.23457e+100, -2.22507e-308, -1.79769e+308, -0.000123457}) {
        for (Fl_Value_Input* field : {bar_slot_min, bar_slot_max}) {
            field->value(v);
            char text[32];
            std::snprintf(text, sizeof text, "%g", v);
            shows_all(field, text);
        }
    }
}

TEST_F(View, ColouringByNamedColumnsAndTrimming) {
    QB_add_exdouble(&Current_Model, "csp");
    for (int i = 0; i < Current_Model.natoms; i++) QB_save_data(&Current_Model, i, "csp", i % 4);
    QN_render_check_file2("csp");
    EXPECT_STREQ(bar_slot->text(), "csp");
    EXPECT_DOUBLE_EQ(bar_slot_min->value(), 0);  // the values' range
    EXPECT_DOUBLE_EQ(bar_slot_max->value(), 3);
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
    for (int i = 0; i < Current_Model.natoms; i++) {
        const double v = QB_get_data(&Current_Model, i, "csp");
        EXPECT_EQ(Current_Model.atoms[i].id > 0, v >= 1 && v <= 2) << i;
    }
    QN_render_recover_delete();
    EXPECT_EQ(cube->atoms_drawn(), 32);
    // A half-space cut (width 0) hides n.p > D and shows the outline.
    render_slice_D->value(5);
    QN_render_slice_delete();
    EXPECT_EQ(cube->draw_slice, 1);
    EXPECT_EQ(render_drawslice_flag->value(), 1);
    int kept = 0;
    for (const auto& a : Current_Model.atoms) kept += a.x <= 5;
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

// quelm-batch snapshot, as a user runs it.
TEST(BatchSnapshot, DrawsAFileWithTheViewsRenderer) {
    ScratchDir scratch;
    const std::string batch = QUELM_BATCH, in = kFixtures + "lammps_tric.dump";
    // Without an X display, as on a compute node.
    auto run = [&](const std::string& arguments, const std::string& environment = "") {
        const std::string cmd = "env -u DISPLAY " + environment + " " + batch + " " + arguments + " > " +
                                scratch.path("out") + " 2> " + scratch.path("err");
        const int raw = std::system(cmd.c_str());
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    };
    ASSERT_EQ(run("snapshot " + in + " -o " + scratch.path("a.png") + " --size 120x80 --scale 2 --color c_ke"), 0)
        << slurp(scratch.path("err"));
    EXPECT_NE(slurp(scratch.path("out")).find("Scene exported to " + scratch.path("a.png")), std::string::npos);
    const std::string png = slurp(scratch.path("a.png"));
    ASSERT_GT(png.size(), 24u);
    EXPECT_EQ(static_cast<unsigned char>(png[19]), 120);
    EXPECT_EQ(static_cast<unsigned char>(png[23]), 80);
    ASSERT_EQ(run("snapshot " + in + " -o " + scratch.path("b.bmp") + " --size 30x20 --rgb x,y,z --rotate 10,20,30"), 0);
    EXPECT_EQ(slurp(scratch.path("b.bmp")).size(), 54u + 20 * (3 * 30 + 2));

    EXPECT_EQ(run("snapshot " + in + " -o " + scratch.path("c.png") + " --color nothing"), 1);
    EXPECT_EQ(run("snapshot " + in + " -o " + scratch.path("c.gif")), 2);
    EXPECT_EQ(run("snapshot " + in + " -o " + scratch.path("c.png") + " --size 10"), 2);
    EXPECT_EQ(run("snapshot " + in + " -o " + scratch.path("c.png") + " --scale 11"), 2);
    EXPECT_EQ(run("snapshot " + kFixtures + "ase_nacl_positions.txt -o " + scratch.path("c.png")), 1);
    EXPECT_EQ(run("snapshot " + in + " -o " + scratch.path("no/dir/c.png") + " --size 10x10"), 1);
    EXPECT_EQ(slurp(scratch.path("err")).rfind("Saving picture failed\n", 0), 0u);
    // No X display at all: drawn off screen all the same.
    ASSERT_EQ(run("snapshot " + in + " -o " + scratch.path("d.png") + " --size 90x60 --color c_ke --legend"), 0)
        << slurp(scratch.path("err"));
    EXPECT_EQ(slurp(scratch.path("err")), "");
    int w = 0, h = 0, channels = 0;
    unsigned char* d = SOIL_load_image(scratch.path("d.png").c_str(), &w, &h, &channels, SOIL_LOAD_RGB);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(w, 90);
    EXPECT_EQ(h, 60);
    int coloured = 0;
    for (int k = 0; k < w * h; k++) coloured += d[3 * k] != 255 || d[3 * k + 1] != 255 || d[3 * k + 2] != 255;
    SOIL_free_image_data(d);
    EXPECT_GT(coloured, 500);
    // Without an OpenGL context (no EGL driver) it says why and writes nothing.
    ASSERT_EQ(run("snapshot " + in + " -o " + scratch.path("e.png"), "__EGL_VENDOR_LIBRARY_FILENAMES=/nonexistent.json"),
              1);
    EXPECT_EQ(slurp(scratch.path("err")).rfind("quelm-batch: snapshot could not make an OpenGL context: ", 0), 0u)
        << slurp(scratch.path("err"));
    EXPECT_FALSE(std::ifstream(scratch.path("e.png")).good());
}

// The window's snapshot and quelm-batch's, drawn off screen without a
// display, are the same picture for the same model, size, supersampling,
// rotation and colouring: one scene draws both, its legend texts in one
// font, and both contexts are Mesa's software renderer (run_with_xvfb.sh
// sets LIBGL_ALWAYS_SOFTWARE, which EGL follows too), which rasterises the
// same commands to the same bytes.
TEST_F(View, TheWindowsSnapshotIsQuelmBatchs) {
    struct Case {
        std::string file, column, rgb;  // colouring: by type, a column (with its legend) or three as RGB
        int W, H, S;
        double rotate[3];
    };
    const std::vector<Case> cases = {
        {kFixtures + "lammps_fcc.data", "", "", 160, 120, 2, {10, 20, 30}},
        {kFixtures + "lammps_tric.dump", "c_ke", "", 240, 180, 2, {0, 30, 0}},
        {kFixtures + "lammps_tric.dump", "", "x,y,z", 200, 150, 1, {-20, 0, 45}},
        {kFixtures + "lammps_tric.dump", "c_ke", "", 130, 90, 3, {0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file + " " + c.column + c.rgb + " " + std::to_string(c.W) + "x" + std::to_string(c.H));
        ASSERT_EQ(QN_import_path(c.file), 1);
        for (int k = 0; k < 10; k++) Fl::check();
        ASSERT_NE(cube, nullptr);
        std::string options;
        if (!c.column.empty()) {
            QN_render_check_file2(c.column.c_str());
            options = " --color " + c.column;
        } else if (!c.rgb.empty()) {
            QN_render_check_file3("x", "y", "z");
            options = " --rgb " + c.rgb;
        }
        ASSERT_EQ(cube->show_legend, 1);
        cube->rot_x = c.rotate[0];
        cube->rot_y = c.rotate[1];
        cube->rot_z = c.rotate[2];
        ASSERT_TRUE(cube->fit(&Current_Model, c.W, c.H));
        const std::string window = scratch_.path("window.png"), batch = scratch_.path("batch.png");
        ASSERT_EQ(SOIL_save_png(window.c_str(), c.W, c.H, c.S, 0), QN_IMAGE_OK);
        char rotate[96];
        std::snprintf(rotate, sizeof rotate, "%g,%g,%g", c.rotate[0], c.rotate[1], c.rotate[2]);
        const std::string cmd = "env -u DISPLAY " + std::string(QUELM_BATCH) + " snapshot " + c.file + " -o " + batch +
                                " --size " + std::to_string(c.W) + "x" + std::to_string(c.H) + " --scale " +
                                std::to_string(c.S) + " --rotate " + rotate + options + " --legend > /dev/null 2> " +
                                scratch_.path("err");
        ASSERT_EQ(std::system(cmd.c_str()), 0) << slurp(scratch_.path("err"));
        int w = 0, h = 0, wb = 0, hb = 0, channels = 0;
        unsigned char* a = SOIL_load_image(window.c_str(), &w, &h, &channels, SOIL_LOAD_RGB);
        unsigned char* b = SOIL_load_image(batch.c_str(), &wb, &hb, &channels, SOIL_LOAD_RGB);
        ASSERT_NE(a, nullptr);
        ASSERT_NE(b, nullptr);
        ASSERT_EQ(w, c.W);
        ASSERT_EQ(h, c.H);
        ASSERT_EQ(wb, c.W);
        ASSERT_EQ(hb, c.H);
        int differing = 0, coloured = 0;
        for (int k = 0; k < w * h * 3; k += 3) {
            differing += a[k] != b[k] || a[k + 1] != b[k + 1] || a[k + 2] != b[k + 2];
            coloured += a[k] != 255 || a[k + 1] != 255 || a[k + 2] != 255;
        }
        SOIL_free_image_data(a);
        SOIL_free_image_data(b);
        EXPECT_EQ(differing, 0);
        EXPECT_GT(coloured, w * h / 10);  // atoms, box, axes (and legend) drawn
    }
}

// quelm-batch snapshot frames the box as the window does; --fixed-height
// keeps a view 100 length units high.
TEST(BatchSnapshot, FramesTheBoxUnlessTheHeightIsFixed) {
    ScratchDir scratch;
    const std::string batch = QUELM_BATCH, in = kFixtures + "lammps_fcc.data";
    // The columns and rows of the picture that differ from the background,
    // the axis triad in the lower left corner left out.
    struct Extent {
        int x0 = 160, x1 = -1, y0 = 100, y1 = -1;
    };
    auto drawn = [&](const std::string& options, Extent& e) {
        const std::string png = scratch.path("p.png");
        const std::string cmd = batch + " snapshot " + in + " -o " + png + " --size 160x100 --scale 1 " + options +
                                " > /dev/null 2> " + scratch.path("err");
        if (std::system(cmd.c_str()) != 0) return false;
        int w = 0, h = 0, channels = 0;
        unsigned char* p = SOIL_load_image(png.c_str(), &w, &h, &channels, SOIL_LOAD_RGB);
        if (!p || w != 160 || h != 100) return false;
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++) {
                const unsigned char* q = p + (static_cast<size_t>(y) * w + x) * 3;
                if ((q[0] == 255 && q[1] == 255 && q[2] == 255) || (x < 48 && y > 60)) continue;
                e.x0 = std::min(e.x0, x);
                e.x1 = std::max(e.x1, x);
                e.y0 = std::min(e.y0, y);
                e.y1 = std::max(e.y1, y);
            }
        SOIL_free_image_data(p);
        return e.x1 >= 0;
    };
    // The box is 10.2 x 5.1 A seen face on: in a 160 x 100 picture its width
    // limits, and the box with the atoms on its faces spans at least 90 % of
    // the picture's width (the atoms sit on the lower faces only, so the
    // rows are not centred).
    Extent framed;
    ASSERT_TRUE(drawn("", framed)) << slurp(scratch.path("err"));
    EXPECT_LE(framed.x0, 8);
    EXPECT_GE(framed.x1, 151);
    // A view 100 A high leaves it a speck in the middle.
    Extent fixed;
    ASSERT_TRUE(drawn("--fixed-height", fixed)) << slurp(scratch.path("err"));
    EXPECT_LT(fixed.x1 - fixed.x0 + 1, 20);
    EXPECT_NEAR((fixed.x0 + fixed.x1) / 2.0, 79.5, 3);
    EXPECT_NEAR((fixed.y0 + fixed.y1) / 2.0, 49.5, 3);
}

// Small hand-made models in a small window.
class ViewPixels : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(chdir(QUELM_SOURCE), 0);
        QN_alerts_modal = 0;
        QN_store_init();
        QN_build_main_window();
        main_window->show();
        QN_window_reset();
    }

    // A box [-5, 5]^3 holding the given atoms (type 1), shown in the view
    // with neither box nor axes.
    void show(const std::vector<std::array<double, 3>>& atoms) {
        QB_tools m;
        for (int d = 0; d < 3; d++) {
            m.lo[d] = m.origin[d] = -5;
            m.size[d] = m.cell[d][d] = 10;
        }
        for (const auto& p : atoms) QB_create_atom(&m, 1, p[0], p[1], p[2]);
        Current_Model = m;
        QN_update_model();
        for (int k = 0; k < 10; k++) Fl::check();
        ASSERT_NE(cube, nullptr);
        cube->draw_box = cube->draw_axes = 0;
        cube->view_height = 20;
    }
    // Pixel (x, y) of a frame read back bottom row first, y counted from the top.
    static const unsigned char* at(const std::vector<unsigned char>& rgb, int W, int H, int x, int y) {
        return &rgb[(static_cast<size_t>(H - 1 - y) * W + x) * 3];
    }
    // Where the matrices put a box-centred point, in pixels from the top left.
    static void predicted(double x, double y, double z, int W, int H, double& px, double& py) {
        const QN_mat4 m = QN_camera_mvp(cube->camera(), W, H);
        double c[4];
        for (int r = 0; r < 4; r++) c[r] = m[r] * x + m[4 + r] * y + m[8 + r] * z + m[12 + r];
        px = (c[0] / c[3] + 1) / 2 * W;
        py = (1 - c[1] / c[3]) / 2 * H;
    }
};

TEST_F(ViewPixels, OneAtomShowsItsAtlasColourAndBackgroundAround) {
    show({{0, 0, 0}});
    const int W = 200, H = 200;
    std::vector<unsigned char> rgb;
    ASSERT_TRUE(cube->render_frame(W, H, rgb));
    // One type: range [-1, 5], type 1 -> cell 21 (column 5, row 2 of the atlas).
    ASSERT_EQ(QN_render_bar_index(1, -1, 5), 21);
    int w = 0, h = 0, channels = 0;
    unsigned char* atlas = SOIL_load_image("img/color.png", &w, &h, &channels, SOIL_LOAD_RGB);
    ASSERT_NE(atlas, nullptr);
    // The pixel at the sprite's centre samples the sprite coordinate
    // 0.5 + 0.5 / size in s and t: in cell 21, u = 0.625 + 0.125 s and
    // v = 1 - 0.25 - 0.125 t, rows counted from the file's first row;
    // linear filtering between the four nearest texels.
    const double size = 2 * cube->atom_radius * H / cube->view_height;
    const double st = 0.5 + 0.5 / size;
    const double u = 0.625 + 0.125 * st, v = 0.75 - 0.125 * st;
    const double fx = u * w - 0.5, fy = v * h - 0.5;
    const int x0 = static_cast<int>(fx), y0 = static_cast<int>(fy);
    const double ax = fx - x0, ay = fy - y0;
    auto texel = [&](int x, int y, int c) { return atlas[(static_cast<size_t>(y) * w + x) * 3 + c]; };
    const unsigned char* centre = at(rgb, W, H, W / 2, H / 2);
    for (int c = 0; c < 3; c++) {
        const double expect = (1 - ay) * ((1 - ax) * texel(x0, y0, c) + ax * texel(x0 + 1, y0, c)) +
                              ay * ((1 - ax) * texel(x0, y0 + 1, c) + ax * texel(x0 + 1, y0 + 1, c));
        EXPECT_NEAR(centre[c], expect, 3) << c;
    }
    SOIL_free_image_data(atlas);
    // Outside the sprite (radius 2 atom_radius px_per_unit / 2 = 12 pixels): background.
    const unsigned char* outside = at(rgb, W, H, W / 2 + 30, H / 2);
    EXPECT_EQ(outside[0], 255);
    EXPECT_EQ(outside[1], 255);
    EXPECT_EQ(outside[2], 255);
}

TEST_F(ViewPixels, RotationMovesAnAtomWhereTheMatricesSay) {
    show({{3, 0, 0}});
    const int W = 160, H = 160;
    for (double rz : {0.0, 90.0, 200.0}) {
        cube->rot_z = rz;
        cube->rot_x = 30;
        std::vector<unsigned char> rgb;
        ASSERT_TRUE(cube->render_frame(W, H, rgb));
        double sx = 0, sy = 0;
        int n = 0;
        for (int y = 0; y < H; y++)
            for (int x = 0; x < W; x++) {
                const unsigned char* p = at(rgb, W, H, x, y);
                if (p[0] != 255 || p[1] != 255 || p[2] != 255) {
                    sx += x;
                    sy += y;
                    n++;
                }
            }
        ASSERT_GT(n, 20) << rz;
        double px, py;
        predicted(3, 0, 0, W, H, px, py);
        EXPECT_NEAR(sx / n + 0.5, px, 1.5) << rz;
        EXPECT_NEAR(sy / n + 0.5, py, 1.5) << rz;
    }
}

TEST_F(ViewPixels, PickingTakesTheFrontAtomAndNeverTheAxes) {
    show({{0, 0, -2}, {0, 0, 2}, {3, 3, 0}});
    cube->draw_axes = 1;
    const int W = cube->w(), H = cube->h();
    const int n = cube->pick_partical(W / 2, H / 2);
    ASSERT_GT(n, 0);
    EXPECT_DOUBLE_EQ(Current_Model.atoms[Current_Model.atoms[n - 1].scratch].z, 2);  // nearer the viewer
    EXPECT_EQ(cube->pick_partical(5, 5), 0);
    // The axis triad's corner (-0.8, -0.8 in the view) is drawn but never picked.
    EXPECT_EQ(cube->pick_partical(static_cast<int>(0.1 * W), static_cast<int>(0.9 * H)), 0);
    double px, py;
    predicted(3, 3, 0, W, H, px, py);
    const int third = cube->pick_partical(static_cast<int>(px), static_cast<int>(py));
    ASSERT_GT(third, 0);
    EXPECT_DOUBLE_EQ(Current_Model.atoms[Current_Model.atoms[third - 1].scratch].x, 3);
}

TEST_F(ViewPixels, SnapshotsOfOddSizesAgreeBetweenFormats) {
    show({{0, 0, 0}, {2, 1, 0}});
    ScratchDir scratch;
    const int W = 30, H = 21;
    ASSERT_EQ(SOIL_save_png(scratch.path("a.png").c_str(), W, H, 3, 1), QN_IMAGE_OK);
    ASSERT_EQ(SOIL_save_bmp(scratch.path("a.bmp").c_str(), W, H, 3, 1), QN_IMAGE_OK);
    int w = 0, h = 0, channels = 0;
    unsigned char* png = SOIL_load_image(scratch.path("a.png").c_str(), &w, &h, &channels, SOIL_LOAD_RGB);
    ASSERT_NE(png, nullptr);
    EXPECT_EQ(w, W);
    EXPECT_EQ(h, H);
    const std::string bmp = slurp(scratch.path("a.bmp"));
    const int row = 3 * W + W % 4;
    ASSERT_EQ(bmp.size(), static_cast<size_t>(54 + H * row));
    int differences = 0, coloured = 0;
    for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++) {
            const unsigned char* p = png + (static_cast<size_t>(y) * W + x) * 3;  // top row first
            const unsigned char* b = reinterpret_cast<const unsigned char*>(bmp.data()) + 54 + (H - 1 - y) * row + 3 * x;
            differences += p[0] != b[2] || p[1] != b[1] || p[2] != b[0];
            coloured += p[0] != 255 || p[1] != 255 || p[2] != 255;
        }
    SOIL_free_image_data(png);
    EXPECT_EQ(differences, 0);
    EXPECT_GT(coloured, 4);
}

namespace {
// Pixels of row y (from the top) of an RGB frame (bottom row first, W wide)
// that stand out from a white background.
int atom_width(const unsigned char* rgb, int W, int H, int y) {
    int n = 0;
    for (int x = 0; x < W; x++) {
        const unsigned char* p = &rgb[(static_cast<size_t>(H - 1 - y) * W + x) * 3];
        n += (255 - p[0]) + (255 - p[1]) + (255 - p[2]) > 60;
    }
    return n;
}
}  // namespace

TEST_F(ViewPixels, AtomsLargerThanAnyPointSizeKeepTheirSizeInSnapshots) {
    show({{0, 0, 0}});
    const int W = 360, H = 360;
    // A 300-pixel atom on screen: rendered three times larger for a
    // supersampled snapshot it spans 900 pixels, far beyond the 255 pixels
    // Mesa allows a point (and 63 on many cards).
    cube->view_height = 2 * cube->atom_radius * H / 300.0;
    const double disc = 300 * std::sqrt(0.92);  // the round part of the square
    std::vector<unsigned char> screen;
    ASSERT_TRUE(cube->render_frame(W, H, screen));
    EXPECT_NEAR(atom_width(screen.data(), W, H, H / 2), disc, 3);
    for (int S : {1, 3}) {
        std::vector<unsigned char> snap(static_cast<size_t>(W) * H * 3);
        ASSERT_EQ(QN_scene_read_pixels(cube, W, H, S, 0, snap.data()), QN_IMAGE_OK) << S;
        EXPECT_NEAR(atom_width(snap.data(), W, H, H / 2), disc, 3) << S;
    }
    // A snapshot twice the screen's size shows the atom twice as large.
    std::vector<unsigned char> big(static_cast<size_t>(2 * W) * 2 * H * 3);
    ASSERT_EQ(QN_scene_read_pixels(cube, 2 * W, 2 * H, 2, 0, big.data()), QN_IMAGE_OK);
    EXPECT_NEAR(atom_width(big.data(), 2 * W, 2 * H, H), 2 * disc, 5);
}

TEST_F(ViewPixels, ARightDragMovesThePointUnderThePointerWithIt) {
    show({{1, 0.5, 0}});
    const int W = cube->pixel_w(), H = cube->pixel_h();
    ASSERT_EQ(W, cube->w());  // no high-resolution scaling under Xvfb
    auto centre_of_atom = [&](double& cx, double& cy) {
        std::vector<unsigned char> rgb;
        if (!cube->render_frame(W, H, rgb)) return false;
        double sx = 0, sy = 0;
        int n = 0;
        for (int y = 0; y < H; y++)
            for (int x = 0; x < W; x++) {
                const unsigned char* p = at(rgb, W, H, x, y);
                if (p[0] != 255 || p[1] != 255 || p[2] != 255) sx += x, sy += y, n++;
            }
        cx = sx / std::max(n, 1) + 0.5;
        cy = sy / std::max(n, 1) + 0.5;
        return n > 10;
    };
    auto drag = [&](int dx, int dy) {
        Fl::e_x = 100;
        Fl::e_y = 100;
        Fl::e_keysym = FL_Button + FL_RIGHT_MOUSE;
        Fl::e_state = FL_BUTTON3;
        cube->handle(FL_PUSH);
        // In two moves, as the pointer reports them.
        Fl::e_x = 100 + dx / 2;
        Fl::e_y = 100 + dy / 2;
        cube->handle(FL_DRAG);
        Fl::e_x = 100 + dx;
        Fl::e_y = 100 + dy;
        cube->handle(FL_DRAG);
        Fl::e_state = 0;
    };
    for (double height : {5.0, 20.0, 80.0}) {
        for (double perspective : {0.0, 0.5}) {
            cube->view_height = height;
            cube->perspective = perspective;
            cube->shift_x = cube->shift_y = 0;
            double x0, y0, x1, y1;
            ASSERT_TRUE(centre_of_atom(x0, y0)) << height;
            drag(30, -20);
            ASSERT_TRUE(centre_of_atom(x1, y1)) << height;
            // The atom lies in the plane of the rotation centre.
            EXPECT_NEAR(x1 - x0, 30, 1) << height << " " << perspective;
            EXPECT_NEAR(y1 - y0, -20, 1) << height << " " << perspective;
        }
    }
    cube->perspective = 0;
}

// Below the driver's point size the atoms are point sprites, above it
// squares: both give the same picture, and picking works through both.
TEST_F(ViewPixels, PointSpritesAndSquaresDrawTheSameAtoms) {
    show({{0, 0, 0}, {3, 1.5, -1}, {-2.5, -2, 2}});
    cube->light_strength = 0.4;
    const int W = 200, H = 160;
    std::vector<unsigned char> points, squares;
    cube->point_size_limit = -1;
    ASSERT_TRUE(cube->render_frame(W, H, points));
    EXPECT_FALSE(cube->drew_squares());  // 2 x 1.2 x 160 / 20 = 19 pixels
    cube->point_size_limit = 0;
    ASSERT_TRUE(cube->render_frame(W, H, squares));
    EXPECT_TRUE(cube->drew_squares());
    int differing = 0, worst = 0, coloured = 0;
    for (size_t k = 0; k < points.size(); k++) {
        const int d = std::abs(points[k] - squares[k]);
        worst = std::max(worst, d);
        differing += d > 0;
        coloured += points[k] != 255;
    }
    EXPECT_GT(coloured, 300);
    EXPECT_LE(worst, 3);
    EXPECT_LT(differing, coloured / 20);
    // The front atom of three is picked as squares too.
    const int n = cube->pick_partical(cube->w() / 2, cube->h() / 2);
    ASSERT_GT(n, 0);
    EXPECT_DOUBLE_EQ(Current_Model.atoms[Current_Model.atoms[n - 1].scratch].x, 0);
    cube->point_size_limit = -1;
}
