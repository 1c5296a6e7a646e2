// The colour legend's content and layout, and its texts measured and
// rasterised in the legend's font, without a display.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "view/view_core.h"
#include "view/view_text.h"

namespace {

// A model of n atoms in a 10^3 box with one file column.
QB_tools with_column(const std::string& name, const std::vector<double>& values) {
    QB_tools m;
    for (int d = 0; d < 3; d++) {
        m.lo[d] = m.origin[d] = 0;
        m.size[d] = m.cell[d][d] = 10;
    }
    for (size_t k = 0; k < values.size(); k++) QB_create_atom(&m, 1, 1.0 * k, 1, 1);
    m.channel_names.push_back(name);
    m.channel_data.push_back(values);
    m.channel_count = 1;
    return m;
}

// An atlas whose index f has the colour (f, 2 f, 255 - f).
QN_atlas ramp() {
    QN_atlas a;
    for (int f = 0; f < QN_ATLAS_COLOURS; f++)
        a[f] = {static_cast<unsigned char>(f), static_cast<unsigned char>(2 * f), static_cast<unsigned char>(255 - f)};
    return a;
}

QN_legend_classes structures(const std::string& column) {
    if (column == "cna" || column == "baa") return {{1, "fcc"}, {2, "bcc"}, {3, "hcp"}, {-1, "other"}};
    return {};
}

class Legend : public testing::Test {
protected:
    void SetUp() override { QN_legend_set_class_source(structures); }
    void TearDown() override { QN_legend_set_class_source(nullptr); }
};

QN_legend_request bar(const QB_tools& m, const std::string& column, double min, double max) {
    QN_legend_request r;
    r.mode = QN_legend_request::Bar;
    r.column = column;
    r.slot = QB_slot_get(&m, column.c_str());
    r.min = min;
    r.max = max;
    return r;
}

}  // namespace

TEST(LegendAtlas, EachIndexTakesTheMeanOfItsCellsDisc) {
    // 8 x 8 cells of 10 x 10 pixels; cell (column c, row r from the first row)
    // is coloured (c, r, 7) inside and white outside a radius of 4 pixels,
    // with transparent pixels of another colour in its corners.
    const int W = 80, H = 80;
    std::vector<unsigned char> rgba(W * H * 4);
    for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++) {
            unsigned char* p = &rgba[(y * W + x) * 4];
            const double dx = x % 10 + 0.5 - 5, dy = y % 10 + 0.5 - 5;
            const bool corner = dx * dx + dy * dy > 16;
            p[0] = corner ? 200 : static_cast<unsigned char>(x / 10);
            p[1] = corner ? 200 : static_cast<unsigned char>(y / 10);
            p[2] = corner ? 200 : 7;
            p[3] = corner ? 0 : 255;
        }
    const QN_atlas a = QN_atlas_from_rgba(rgba.data(), W, H);
    for (int f = 0; f < QN_ATLAS_COLOURS; f++) {
        EXPECT_EQ(a[f].r, f % 8) << f;
        EXPECT_EQ(a[f].g, 7 - f / 8) << f;  // index 0 in the last row of the file
        EXPECT_EQ(a[f].b, 7) << f;
    }
}

TEST(LegendAtlas, TheProjectsAtlasRunsFromBlueToRed) {
    QN_atlas a;
    ASSERT_TRUE(QN_atlas_load((std::string(QUELM_TEST_DATA) + "/../img/color.png").c_str(), &a));
    EXPECT_GT(a[0].b, a[0].r + 50);
    EXPECT_GT(a[63].r, a[63].b + 50);
    QN_atlas missing;
    EXPECT_FALSE(QN_atlas_load("/nonexistent/color.png", &missing));
    EXPECT_EQ(missing[0], (QN_rgb{128, 128, 128}));
}

TEST(LegendNumber, FourSignificantDigitsWithAPoint) {
    EXPECT_EQ(QN_legend_number(0.1), "0.1");
    EXPECT_EQ(QN_legend_number(-3.66664), "-3.667");
    EXPECT_EQ(QN_legend_number(5.66664), "5.667");
    EXPECT_EQ(QN_legend_number(12345.0), "1.234e+04");
    EXPECT_EQ(QN_legend_number(-0.0), "0");
    EXPECT_EQ(QN_legend_number(1e-7), "1e-07");
}

TEST_F(Legend, ContinuousColumnShowsTheAtlasFromMinToMax) {
    const QB_tools m = with_column("c_ke", {0.5, 1.0, 2.0});
    const QN_atlas a = ramp();
    const QN_legend l = QN_legend_build(&m, bar(m, "c_ke", -1.5, 2.25), a);
    ASSERT_EQ(l.kind, QN_legend::Bar);
    EXPECT_EQ(l.title, "c_ke");
    EXPECT_EQ(l.min_text, "-1.5");
    EXPECT_EQ(l.max_text, "2.25");
    ASSERT_EQ(l.entries.size(), static_cast<size_t>(QN_ATLAS_COLOURS));
    EXPECT_EQ(l.entries.front().colour, a[0]);
    EXPECT_EQ(l.entries.back().colour, a[63]);
    // The ends are the colours the atoms at min and max get.
    EXPECT_EQ(l.entries.front().colour, a[QN_render_bar_index(-1.5, -1.5, 2.25)]);
    EXPECT_EQ(l.entries.back().colour, a[QN_render_bar_index(2.25, -1.5, 2.25)]);
    EXPECT_DOUBLE_EQ(l.entries.front().value, -1.5);
    for (size_t k = 0; k < l.entries.size(); k++) EXPECT_EQ(l.entries[k].colour, a[k]);
}

TEST_F(Legend, ClassesHeldByTheDrawnAtomsInClassOrder) {
    // hcp before fcc in the file, a deleted bcc atom, three "other" codes.
    QB_tools m = with_column("cna", {3, 1, 1, 0.25, 0.25, 0.375, 2});
    m.atoms[6].id = -m.atoms[6].id;
    const QN_atlas a = ramp();
    const double lo = -3.66664, hi = 5.66664;
    const QN_legend l = QN_legend_build(&m, bar(m, "cna", lo, hi), a);
    ASSERT_EQ(l.kind, QN_legend::Classes);
    EXPECT_EQ(l.title, "cna");
    ASSERT_EQ(l.entries.size(), 3u);
    EXPECT_EQ(l.entries[0].label, "fcc");
    EXPECT_EQ(l.entries[0].colour, a[QN_render_bar_index(1, lo, hi)]);
    EXPECT_EQ(l.entries[1].label, "hcp");
    EXPECT_EQ(l.entries[1].colour, a[QN_render_bar_index(3, lo, hi)]);
    EXPECT_EQ(l.entries[2].label, "other");
    EXPECT_DOUBLE_EQ(l.entries[2].value, 0.25);  // its most frequent code
    EXPECT_EQ(l.entries[2].colour, a[QN_render_bar_index(0.25, lo, hi)]);
    EXPECT_NE(l.entries[0].colour, l.entries[1].colour);

    // Only fcc atoms: one entry.
    const QB_tools fcc = with_column("baa", {1, 1});
    const QN_legend one = QN_legend_build(&fcc, bar(fcc, "baa", lo, hi), a);
    ASSERT_EQ(one.entries.size(), 1u);
    EXPECT_EQ(one.entries[0].label, "fcc");
}

TEST_F(Legend, NoClassSourceMakesEveryColumnContinuous) {
    QN_legend_set_class_source(nullptr);
    const QB_tools m = with_column("cna", {1, 3});
    EXPECT_EQ(QN_legend_build(&m, bar(m, "cna", -3.66664, 5.66664), ramp()).kind, QN_legend::Bar);
}

TEST_F(Legend, TypeColouringHasNoLegendAndRgbNamesItsColumns) {
    const QB_tools m = with_column("c_ke", {1, 2});
    EXPECT_EQ(QN_legend_build(&m, bar(m, "type", 0, 3), ramp()).kind, QN_legend::Empty);
    QN_legend_request none;
    EXPECT_EQ(QN_legend_build(&m, none, ramp()).kind, QN_legend::Empty);
    EXPECT_EQ(QN_legend_build(nullptr, bar(m, "c_ke", 0, 3), ramp()).kind, QN_legend::Empty);

    QN_legend_request rgb;
    rgb.mode = QN_legend_request::Rgb;
    rgb.rgb[0] = "x";
    rgb.rgb[1] = "c_ke";
    rgb.rgb[2] = "z";
    const QN_legend l = QN_legend_build(&m, rgb, ramp());
    ASSERT_EQ(l.kind, QN_legend::Rgb);
    ASSERT_EQ(l.entries.size(), 3u);
    EXPECT_EQ(l.entries[0].label, "x");
    EXPECT_EQ(l.entries[1].label, "c_ke");
    EXPECT_EQ(l.entries[2].label, "z");
    EXPECT_EQ(l.entries[0].colour, (QN_rgb{255, 0, 0}));
    EXPECT_EQ(l.entries[1].colour, (QN_rgb{0, 255, 0}));
    EXPECT_EQ(l.entries[2].colour, (QN_rgb{0, 0, 255}));
}

namespace {
bool inside(const QN_legend_rect& inner, const QN_legend_rect& outer) {
    return inner.x >= outer.x && inner.y >= outer.y && inner.x + inner.w <= outer.x + outer.w &&
           inner.y + inner.h <= outer.y + outer.h;
}
}  // namespace

TEST_F(Legend, BarLayoutInTheLowerRightCorner) {
    const QB_tools m = with_column("c_ke", {0.5});
    QN_legend l = QN_legend_build(&m, bar(m, "c_ke", 0, 1), ramp());
    QN_legend_layout(&l, 400, 300, 1);
    EXPECT_EQ(l.text_px, 13);
    EXPECT_EQ(l.panel.x + l.panel.w, 400 - 10);
    EXPECT_EQ(l.panel.y, 10);
    EXPECT_EQ(l.panel.w, 128 + 12);
    const int x0 = l.panel.x + 6;
    ASSERT_EQ(l.quads.size(), 64u);
    for (size_t k = 0; k < l.quads.size(); k++) {
        EXPECT_EQ(l.quads[k].rect.x, x0 + 2 * static_cast<int>(k));
        EXPECT_EQ(l.quads[k].rect.w, 2);
        EXPECT_EQ(l.quads[k].rect.h, 14);
        EXPECT_EQ(l.quads[k].colour, l.entries[k].colour);
        EXPECT_TRUE(inside(l.quads[k].rect, l.panel));
    }
    // min text under the left end, max text flush with the right end, title on top.
    ASSERT_EQ(l.texts.size(), 3u);
    EXPECT_EQ(l.texts[0].text, "0");
    EXPECT_EQ(l.texts[0].x, x0);
    EXPECT_LT(l.texts[0].y + l.text_px, l.quads[0].rect.y + 1);
    EXPECT_EQ(l.texts[1].text, "1");
    EXPECT_EQ(l.texts[1].x + 8, x0 + 128);  // estimated width 0.6 x 13 = 8 pixels
    EXPECT_EQ(l.texts[2].text, "c_ke");
    EXPECT_GE(l.texts[2].y, l.quads[0].rect.y + l.quads[0].rect.h);
    EXPECT_EQ(l.panel.y + l.panel.h, l.texts[2].y + l.text_px + 6);

    // Twice the scale: twice the sizes.
    QN_legend big = l;
    QN_legend_layout(&big, 800, 600, 2);
    EXPECT_EQ(big.panel.x + big.panel.w, 800 - 20);
    EXPECT_EQ(big.panel.y, 20);
    EXPECT_EQ(big.quads[1].rect.x - big.quads[0].rect.x, 4);
    EXPECT_EQ(big.quads[0].rect.h, 28);
    EXPECT_EQ(big.text_px, 26);

    // A picture narrower than the legend: from the left margin on.
    QN_legend narrow = l;
    QN_legend_layout(&narrow, 50, 50, 1);
    EXPECT_EQ(narrow.panel.x, 10);
    EXPECT_EQ(narrow.quads[0].rect.x, 16);
}

TEST_F(Legend, ClassLayoutOneRowPerClassFromTheTop) {
    const QB_tools m = with_column("cna", {1, 2, 3});
    QN_legend l = QN_legend_build(&m, bar(m, "cna", -3.66664, 5.66664), ramp());
    ASSERT_EQ(l.entries.size(), 3u);
    QN_legend_layout(&l, 400, 300, 1, [](const std::string& text, int) { return 7 * static_cast<int>(text.size()); });
    ASSERT_EQ(l.quads.size(), 3u);
    ASSERT_EQ(l.texts.size(), 4u);
    EXPECT_EQ(l.panel.x + l.panel.w, 390);
    const int x0 = l.panel.x + 6;
    for (int k = 0; k < 3; k++) {
        EXPECT_EQ(l.quads[k].rect.x, x0);
        EXPECT_EQ(l.quads[k].rect.y, 16 + (2 - k) * 17);  // first class on top
        EXPECT_EQ(l.quads[k].rect.w, 13);
        EXPECT_EQ(l.quads[k].colour, l.entries[k].colour);
        EXPECT_EQ(l.texts[k].text, l.entries[k].label);
        EXPECT_EQ(l.texts[k].x, x0 + 13 + 5);
        EXPECT_EQ(l.texts[k].y, l.quads[k].rect.y);
        EXPECT_TRUE(inside(l.quads[k].rect, l.panel));
    }
    EXPECT_EQ(l.texts[3].text, "cna");
    EXPECT_EQ(l.texts[3].y, 16 + 3 * 17);
    EXPECT_EQ(l.panel.w, 13 + 5 + 21 + 12);  // widest row plus padding

    QN_legend none;
    QN_legend_layout(&none, 400, 300, 1);
    EXPECT_TRUE(none.quads.empty());
    EXPECT_EQ(none.panel.w, 0);
}

// ---- The legend's texts: FreeType in the font fontconfig gives for "sans"

namespace {

// Pixels of `image` in columns [x0, x1) with at least half coverage.
int dark(const QN_text_image& image, int x0, int x1) {
    int n = 0;
    for (int y = 0; y < image.h; y++)
        for (int x = std::max(x0, 0); x < std::min(x1, image.w); x++)
            n += image.coverage[static_cast<size_t>(y) * image.w + x] >= 128;
    return n;
}

// First and last rows holding any coverage (-1, -1 for none).
std::pair<int, int> inked_rows(const QN_text_image& image) {
    int first = -1, last = -1;
    for (int y = 0; y < image.h; y++)
        for (int x = 0; x < image.w; x++)
            if (image.coverage[static_cast<size_t>(y) * image.w + x] > 0) {
                if (first < 0) first = y;
                last = y;
            }
    return {first, last};
}

}  // namespace

TEST(LegendText, WidthsGrowWithTheText) {
    std::string why;
    ASSERT_TRUE(QN_text_ready(&why)) << why;
    EXPECT_EQ(QN_text_width("", 13), 1);  // the pixel added to every width
    const int i1 = QN_text_width("i", 13) - 1, i2 = QN_text_width("ii", 13) - 1, i4 = QN_text_width("iiii", 13) - 1;
    EXPECT_GT(i1, 0);
    EXPECT_EQ(i2, 2 * i1);  // whole-pixel advances add up
    EXPECT_EQ(i4, 4 * i1);
    EXPECT_GT(QN_text_width("W", 13), QN_text_width("i", 13));  // a proportional font
    EXPECT_GT(QN_text_width("0.06988", 13), QN_text_width("0.0698", 13));
    EXPECT_GT(QN_text_width("0.06988", 26), QN_text_width("0.06988", 13));
    // UTF-8: one glyph for the two bytes of "\u00e9", as wide as "e".
    EXPECT_EQ(QN_text_width("\xc3\xa9", 13), QN_text_width("e", 13));
    EXPECT_EQ(QN_text_font_size(13), 11);
    EXPECT_EQ(QN_text_font_size(2), 6);
}

// The layout takes the font's widths through its callback: the maximum
// flush with the bar's right end, a class row as wide as its name.
TEST_F(Legend, LayoutMeasuresWithTheFont) {
    ASSERT_TRUE(QN_text_ready());
    const QB_tools m = with_column("c_ke", {0.5});
    QN_legend l = QN_legend_build(&m, bar(m, "c_ke", 0, 0.06988), ramp());
    QN_legend_layout(&l, 400, 300, 1, QN_text_width);
    ASSERT_EQ(l.texts.size(), 3u);
    EXPECT_EQ(l.texts[1].text, "0.06988");
    EXPECT_EQ(l.texts[1].x + QN_text_width("0.06988", 13), l.quads.back().rect.x + 2);
    const QB_tools c = with_column("cna", {1, 1});
    QN_legend classes = QN_legend_build(&c, bar(c, "cna", -3.66664, 5.66664), ramp());
    QN_legend_layout(&classes, 400, 300, 1, QN_text_width);
    ASSERT_EQ(classes.entries.size(), 1u);
    EXPECT_EQ(classes.panel.w, std::max(13 + 5 + QN_text_width("fcc", 13), QN_text_width("cna", 13)) + 12);
}

TEST(LegendText, GlyphsInkTheirPlaces) {
    ASSERT_TRUE(QN_text_ready());
    const int px = 26;
    QN_text_image image;
    ASSERT_TRUE(QN_text_render("W W", px, &image));
    EXPECT_EQ(image.w, QN_text_width("W W", px));
    EXPECT_EQ(image.h, px);
    ASSERT_EQ(image.coverage.size(), static_cast<size_t>(image.w) * image.h);
    // Dark pixels under both letters, none under the space between them.
    const int w = QN_text_width("W", px) - 1, ws = QN_text_width("W ", px) - 1;
    ASSERT_GT(ws - w, 3);
    EXPECT_GT(dark(image, 0, w), 30);
    EXPECT_EQ(dark(image, w + 1, ws - 1), 0);
    EXPECT_GT(dark(image, ws, image.w), 30);
    EXPECT_NEAR(dark(image, 0, w), dark(image, ws, image.w), 4);  // the same glyph twice
    // On the baseline: a full stop low in the line box, an apostrophe high
    // up, a letter with a descender reaching below the full stop.
    ASSERT_TRUE(QN_text_render(".", px, &image));
    const auto stop = inked_rows(image);
    EXPECT_GE(stop.first, px / 2);
    ASSERT_TRUE(QN_text_render("'", px, &image));
    const auto apostrophe = inked_rows(image);
    EXPECT_GE(apostrophe.first, 0);
    EXPECT_LT(apostrophe.second, px / 2);
    ASSERT_TRUE(QN_text_render("p", px, &image));
    EXPECT_GT(inked_rows(image).second, stop.second);
    EXPECT_LT(inked_rows(image).second, px);
    // Nothing to draw: one blank pixel.
    ASSERT_TRUE(QN_text_render("", px, &image));
    EXPECT_EQ(image.w, 1);
    EXPECT_EQ(image.h, px);
    EXPECT_EQ(inked_rows(image).first, -1);
}
