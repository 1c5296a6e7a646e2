// The colour legend in a real window under Xvfb: its swatches and bar read
// back from the frame, its disappearance with colouring by type, and
// quelm-batch snapshot --legend.
#include <gtest/gtest.h>

#include <FL/Fl.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Value_Input.H>
#include <SOIL/SOIL.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "store/quelm_store.h"
#include "app/quelm_window.h"
#include "gui_window.h"
#include "qb/qb_formats.h"
#include "test_support.h"
#include "view/view_core.h"
#include "view/view_image.h"
#include "view/view_panel.h"
#include "view/view_widget.h"

namespace {

// quelm-batch snapshot of `in` to `png` at W x H with `options`, read back
// as rows of RGB; false when the command fails or the picture is not W x H.
bool batch_snapshot(const std::string& in, const std::string& png, int W, int H, const std::string& options,
                    const std::string& err, std::vector<unsigned char>& rgb) {
    const std::string cmd = std::string(QUELM_BATCH) + " snapshot " + in + " -o " + png + " --size " +
                            std::to_string(W) + "x" + std::to_string(H) + " " + options + " > /dev/null 2> " + err;
    if (std::system(cmd.c_str()) != 0) return false;
    int w = 0, h = 0, channels = 0;
    unsigned char* p = SOIL_load_image(png.c_str(), &w, &h, &channels, SOIL_LOAD_RGB);
    const bool ok = p && w == W && h == H;
    if (ok) rgb.assign(p, p + static_cast<size_t>(w) * h * 3);
    if (p) SOIL_free_image_data(p);
    return ok;
}

// A small crystal whose CNA column holds fcc (1) and hcp (3) atoms, with a
// continuous column beside it, in a box [-5, 5]^3.
QB_tools crystal() {
    QB_tools m;
    for (int d = 0; d < 3; d++) {
        m.lo[d] = m.origin[d] = -5;
        m.size[d] = m.cell[d][d] = 10;
    }
    std::vector<double> cna, energy;
    for (int k = 0; k < 8; k++) {
        QB_create_atom(&m, 1 + k % 2, -1.5 + (k % 2) * 3, -1.5 + (k / 2 % 2) * 3, -1.5 + (k / 4) * 3);
        cna.push_back(k < 6 ? 1 : 3);
        energy.push_back(-3.5 + 0.1 * k);
    }
    m.channel_names = {"cna", "c_pe"};
    m.channel_data = {cna, energy};
    m.channel_count = 2;
    return m;
}

QN_atlas project_atlas() {
    QN_atlas a;
    QN_atlas_load("img/color.png", &a);
    return a;
}

class LegendView : public testing::Test {
protected:
    void SetUp() override {
        open_main_window();
        if (HasFatalFailure()) return;
        Current_Model = crystal();
        QN_update_model();
        for (int k = 0; k < 10; k++) Fl::check();
        ASSERT_NE(cube, nullptr);
        cube->draw_box = cube->draw_axes = 0;
        cube->view_height = 20;
        cube->shift_x = cube->shift_y = 0;
    }
    // Frame pixel (x, y), both counted from the lower left.
    static QN_rgb at(const std::vector<unsigned char>& rgb, int W, int x, int y) {
        const unsigned char* p = &rgb[(static_cast<size_t>(y) * W + x) * 3];
        return {p[0], p[1], p[2]};
    }
    static QN_rgb centre(const std::vector<unsigned char>& rgb, int W, const QN_legend_rect& r) {
        return at(rgb, W, r.x + r.w / 2, r.y + r.h / 2);
    }
    static constexpr int W = 240, H = 180;
};

}  // namespace

TEST_F(LegendView, CnaSwatchesShowTheClassColours) {
    QN_render_check_file2("cna");
    ASSERT_EQ(std::string(bar_slot->text()), "cna");
    const double lo = bar_slot_min->value(), hi = bar_slot_max->value();
    const QN_legend l = cube->legend(W, H);
    ASSERT_EQ(l.kind, QN_legend::Classes);
    ASSERT_EQ(l.entries.size(), 2u);  // no bcc atom, no other
    EXPECT_EQ(l.entries[0].label, "fcc");
    EXPECT_EQ(l.entries[1].label, "hcp");
    std::vector<unsigned char> rgb;
    ASSERT_TRUE(cube->render_frame(W, H, rgb));
    const QN_atlas atlas = project_atlas();
    const QN_rgb fcc = atlas[QN_render_bar_index(1, lo, hi)], hcp = atlas[QN_render_bar_index(3, lo, hi)];
    EXPECT_NE(fcc, hcp);
    ASSERT_EQ(l.quads.size(), 2u);
    EXPECT_EQ(centre(rgb, W, l.quads[0].rect), fcc);
    EXPECT_EQ(centre(rgb, W, l.quads[1].rect), hcp);
    // The swatches sit in the lower right corner, the first above the second.
    EXPECT_GT(l.quads[0].rect.x, W / 2);
    EXPECT_LT(l.quads[1].rect.y, H / 2);
    EXPECT_GT(l.quads[0].rect.y, l.quads[1].rect.y);
    // Some legend text is drawn: the panel holds pixels darker than the
    // white background besides the swatches.
    int ink = 0;
    for (int y = l.panel.y; y < l.panel.y + l.panel.h; y++)
        for (int x = l.panel.x; x < l.panel.x + l.panel.w; x++) {
            const QN_rgb p = at(rgb, W, x, y);
            ink += p.r < 100 && p.g < 100 && p.b < 100;
        }
    EXPECT_GT(ink, 10);

    // Back to colouring by type: no legend, background where it was.
    const int type = bar_slot->find_index("type");
    ASSERT_GE(type, 0);
    bar_slot->value(type);
    QN_render_bar_flush_callback();
    EXPECT_EQ(cube->legend(W, H).kind, QN_legend::Empty);
    ASSERT_TRUE(cube->render_frame(W, H, rgb));
    const QN_rgb white{255, 255, 255};
    EXPECT_EQ(centre(rgb, W, l.quads[0].rect), white);
    EXPECT_EQ(centre(rgb, W, l.quads[1].rect), white);
    for (int y = l.panel.y; y < l.panel.y + l.panel.h; y++)
        for (int x = l.panel.x; x < l.panel.x + l.panel.w; x++) ASSERT_EQ(at(rgb, W, x, y), white) << x << " " << y;

    // Hidden on request.
    QN_render_check_file2("cna");
    cube->show_legend = 0;
    ASSERT_TRUE(cube->render_frame(W, H, rgb));
    EXPECT_EQ(centre(rgb, W, l.quads[0].rect), white);
    cube->show_legend = 1;
}

TEST_F(LegendView, ContinuousBarEndsHaveTheAtlasEndColours) {
    QN_render_check_file2("c_pe");
    const QN_legend l = cube->legend(W, H);
    ASSERT_EQ(l.kind, QN_legend::Bar);
    EXPECT_EQ(l.title, "c_pe");
    EXPECT_EQ(l.min_text, QN_legend_number(bar_slot_min->value()));
    EXPECT_EQ(l.max_text, QN_legend_number(bar_slot_max->value()));
    std::vector<unsigned char> rgb;
    ASSERT_TRUE(cube->render_frame(W, H, rgb));
    const QN_atlas atlas = project_atlas();
    ASSERT_EQ(l.quads.size(), 64u);
    EXPECT_EQ(centre(rgb, W, l.quads.front().rect), atlas[0]);
    EXPECT_EQ(centre(rgb, W, l.quads.back().rect), atlas[63]);
    EXPECT_EQ(centre(rgb, W, l.quads[32].rect), atlas[32]);
    // A snapshot supersampled 3 times keeps the legend's size.
    std::vector<unsigned char> picture(W * H * 3);
    ASSERT_EQ(QN_glReadPixels(W, H, 3, 0, picture.data()), QN_IMAGE_OK);
    EXPECT_EQ(centre(picture, W, l.quads.front().rect), atlas[0]);
    EXPECT_EQ(centre(picture, W, l.quads.back().rect), atlas[63]);
    EXPECT_DOUBLE_EQ(cube->legend_scale, 1);
}

TEST_F(LegendView, RgbColouringNamesItsThreeColumns) {
    QN_render_check_file3("x", "c_pe", "z");
    const QN_legend l = cube->legend(W, H);
    ASSERT_EQ(l.kind, QN_legend::Rgb);
    ASSERT_EQ(l.entries.size(), 3u);
    EXPECT_EQ(l.entries[1].label, "c_pe");
    std::vector<unsigned char> rgb;
    ASSERT_TRUE(cube->render_frame(W, H, rgb));
    EXPECT_EQ(centre(rgb, W, l.quads[0].rect), (QN_rgb{255, 0, 0}));
    EXPECT_EQ(centre(rgb, W, l.quads[1].rect), (QN_rgb{0, 255, 0}));
    EXPECT_EQ(centre(rgb, W, l.quads[2].rect), (QN_rgb{0, 0, 255}));
}

TEST(BatchLegend, SnapshotDrawsTheLegendOnlyWhenAsked) {
    ASSERT_EQ(chdir(QUELM_SOURCE), 0);
    ScratchDir scratch;
    const std::string in = scratch.path("cna.dump");
    {
        std::ofstream f(in);
        f << "ITEM: TIMESTEP\n0\nITEM: NUMBER OF ATOMS\n4\nITEM: BOX BOUNDS pp pp pp\n"
             "0 10\n0 10\n0 10\nITEM: ATOMS id type x y z cna\n"
             "1 1 4 4 5 1\n2 1 6 4 5 1\n3 1 4 6 5 3\n4 1 6 6 5 3\n";
    }
    const int PW = 200, PH = 150;
    auto snapshot = [&](const std::string& options, std::vector<unsigned char>& rgb) {
        return batch_snapshot(in, scratch.path("p.png"), PW, PH, "--scale 2 --fixed-height --color cna " + options,
                              scratch.path("err"), rgb);
    };
    const QN_atlas atlas = project_atlas();
    const double lo = -3.66664, hi = 5.66664;  // the range of a "cna" column
    std::vector<unsigned char> with, without;
    ASSERT_TRUE(snapshot("--legend", with)) << slurp(scratch.path("err"));
    ASSERT_TRUE(snapshot("", without)) << slurp(scratch.path("err"));
    const QN_rgb fcc = atlas[QN_render_bar_index(1, lo, hi)];
    const QN_rgb hcp = atlas[QN_render_bar_index(3, lo, hi)];
    // The two swatches (13 x 13 pixels of one colour each) in the lower
    // right quarter; the shaded atoms in the middle never give such areas.
    auto count = [&](const std::vector<unsigned char>& rgb, const QN_rgb& c) {
        int n = 0;
        for (int y = PH / 2; y < PH; y++)
            for (int x = PW / 2; x < PW; x++) {
                const unsigned char* p = &rgb[(static_cast<size_t>(y) * PW + x) * 3];
                n += p[0] == c.r && p[1] == c.g && p[2] == c.b;
            }
        return n;
    };
    EXPECT_GE(count(with, fcc), 13 * 13);
    EXPECT_GE(count(with, hcp), 13 * 13);
    EXPECT_LT(count(without, fcc), 13);
    EXPECT_LT(count(without, hcp), 13);
}

// Where no font can be found the legend keeps its panel and colours, laid
// out with estimated text widths, and quelm-batch says that the texts are
// missing; the picture is written all the same.
TEST(BatchLegend, SnapshotWithoutAFontDrawsTheColoursAndSaysSo) {
    ASSERT_EQ(chdir(QUELM_SOURCE), 0);
    ScratchDir scratch;
    const std::string in = scratch.path("cna.dump"), conf = scratch.path("fonts.conf");
    {
        std::ofstream f(in);
        f << "ITEM: TIMESTEP\n0\nITEM: NUMBER OF ATOMS\n4\nITEM: BOX BOUNDS pp pp pp\n"
             "0 10\n0 10\n0 10\nITEM: ATOMS id type x y z cna\n"
             "1 1 4 4 5 1\n2 1 6 4 5 1\n3 1 4 6 5 3\n4 1 6 6 5 3\n";
        // A fontconfig set-up that knows no font folder.
        std::ofstream c(conf);
        c << "<?xml version=\"1.0\"?>\n<!DOCTYPE fontconfig SYSTEM \"fonts.dtd\">\n<fontconfig><cachedir>"
          << scratch.path("cache") << "</cachedir></fontconfig>\n";
    }
    const int PW = 200, PH = 150;
    auto snapshot = [&](const std::string& environment, const std::string& png, std::vector<unsigned char>& rgb) {
        const std::string cmd = "env " + environment + " " + QUELM_BATCH + " snapshot " + in + " -o " + png +
                                " --size 200x150 --scale 2 --fixed-height --color cna --legend > /dev/null 2> " +
                                scratch.path("err");
        if (std::system(cmd.c_str()) != 0) return false;
        int w = 0, h = 0, channels = 0;
        unsigned char* p = SOIL_load_image(png.c_str(), &w, &h, &channels, SOIL_LOAD_RGB);
        const bool ok = p && w == PW && h == PH;
        if (ok) rgb.assign(p, p + static_cast<size_t>(w) * h * 3);
        if (p) SOIL_free_image_data(p);
        return ok;
    };
    std::vector<unsigned char> with_font, without;
    ASSERT_TRUE(snapshot("FONTCONFIG_FILE=" + conf, scratch.path("none.png"), without)) << slurp(scratch.path("err"));
    EXPECT_EQ(slurp(scratch.path("err")).rfind("quelm-batch: the legend is drawn without its texts: ", 0), 0u)
        << slurp(scratch.path("err"));
    ASSERT_TRUE(snapshot("", scratch.path("font.png"), with_font)) << slurp(scratch.path("err"));
    EXPECT_EQ(slurp(scratch.path("err")), "");
    const QN_atlas atlas = project_atlas();
    const double lo = -3.66664, hi = 5.66664;  // the range of a "cna" column
    // Both swatches whole; dark text pixels only where the font drew them.
    auto count = [&](const std::vector<unsigned char>& rgb, auto match) {
        int n = 0;
        for (int y = PH / 2; y < PH; y++)
            for (int x = PW / 2; x < PW; x++) {
                const unsigned char* p = &rgb[(static_cast<size_t>(y) * PW + x) * 3];
                n += match(QN_rgb{p[0], p[1], p[2]});
            }
        return n;
    };
    for (double code : {1.0, 3.0}) {
        const QN_rgb swatch = atlas[QN_render_bar_index(code, lo, hi)];
        EXPECT_GE(count(without, [&](const QN_rgb& p) { return p == swatch; }), 13 * 13) << code;
    }
    auto ink = [](const QN_rgb& p) { return p.r < 60 && p.g < 60 && p.b < 60; };
    EXPECT_GT(count(with_font, ink), 20);
    EXPECT_EQ(count(without, ink), 0);
}

// quelm-batch snapshot --color uses the view's range: a column that differs
// only by rounding (CSP of a perfect crystal, 1e-28) gives the same picture
// as a constant one, legend included but for its title, and a column with a
// real spread draws its lowest atom in the bar's first colour and its
// highest in the last, as the legend's ends say.
TEST(BatchLegend, SnapshotColoursFollowTheDataRange) {
    ASSERT_EQ(chdir(QUELM_SOURCE), 0);
    ScratchDir scratch;
    const std::string in = scratch.path("csp.dump");
    {
        std::ofstream f(in);
        f << "ITEM: TIMESTEP\n0\nITEM: NUMBER OF ATOMS\n4\nITEM: BOX BOUNDS pp pp pp\n"
             "0 10\n0 10\n0 10\nITEM: ATOMS id type x y z a b c\n"
             "1 1 4 4 5 0 0 0\n2 1 6 4 5 0 1.00973e-28 19.6\n3 1 4 6 5 0 -3.78653e-29 0.5\n"
             "4 1 6 6 5 0 2.2e-29 7.75\n";
    }
    const int PW = 160, PH = 120;
    auto snapshot = [&](const std::string& column, const std::string& options, std::vector<unsigned char>& rgb) {
        return batch_snapshot(in, scratch.path(column + ".png"), PW, PH,
                              "--scale 1 --fixed-height --color " + column + " " + options, scratch.path("err"), rgb);
    };
    std::vector<unsigned char> flat, noise, spread;
    ASSERT_TRUE(snapshot("a", "", flat)) << slurp(scratch.path("err"));
    ASSERT_TRUE(snapshot("b", "", noise)) << slurp(scratch.path("err"));
    ASSERT_TRUE(snapshot("c", "", spread)) << slurp(scratch.path("err"));
    EXPECT_TRUE(noise == flat);
    EXPECT_FALSE(spread == flat);

    // The same model in the window: the legend's ends are the data's.
    open_main_window();
    ASSERT_FALSE(HasFatalFailure());
    QB_tools m;
    ASSERT_EQ(QB_read_file(&m, in.c_str()), 3);
    Current_Model = m;
    QN_update_model();
    for (int k = 0; k < 10; k++) Fl::check();
    ASSERT_NE(cube, nullptr);
    QN_render_check_file2("c");
    EXPECT_EQ(bar_slot_min->value(), 0);
    EXPECT_EQ(bar_slot_max->value(), 19.6);
    const QN_legend l = cube->legend(240, 180);
    EXPECT_EQ(l.min_text, "0");
    EXPECT_EQ(l.max_text, "19.6");
    QN_render_check_file2("b");
    const QN_legend one = cube->legend(240, 180);
    EXPECT_EQ(one.min_text, "-2");
    EXPECT_EQ(one.max_text, "4");
}
