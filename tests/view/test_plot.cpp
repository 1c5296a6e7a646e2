// The plot core and quelm-batch plot: histograms and curves drawn by Cairo
// into PNG, SVG and PDF files, read back as a reader would read them.
//
// PNG: the pixels, through Cairo's PNG reader; bars are found by their exact
// colour (anti-aliasing blends only their edges).
// SVG: parsed by Python's xml.etree in a child process. Cairo draws texts as
// glyph outlines (<use> of a <symbol>), which no search can read, so the
// writer adds every text as an invisible <text> element at the glyphs' place
// plus <title> and <desc>; the tests read the texts there and check that the
// glyphs are drawn as well (at least one <use> per character).
// PDF: rendered by poppler's pdftoppm and its texts extracted by pdftotext,
// as a viewer and a search would.
#include <cairo.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"
#include "view/plot.h"
#include "view/view_core.h"

namespace fs = std::filesystem;

namespace {

// ---- Reading the files back

struct Picture {
    int w = 0, h = 0;
    std::vector<unsigned> rgb;  // 0xRRGGBB, row 0 at the top
    unsigned at(int x, int y) const { return rgb[static_cast<size_t>(y) * w + x]; }
};

Picture read_png(const std::string& path) {
    Picture p;
    cairo_surface_t* s = cairo_image_surface_create_from_png(path.c_str());
    if (cairo_surface_status(s) == CAIRO_STATUS_SUCCESS) {
        cairo_surface_flush(s);
        p.w = cairo_image_surface_get_width(s);
        p.h = cairo_image_surface_get_height(s);
        const int stride = cairo_image_surface_get_stride(s);
        const unsigned char* data = cairo_image_surface_get_data(s);
        for (int y = 0; y < p.h; y++)
            for (int x = 0; x < p.w; x++)
                p.rgb.push_back(*reinterpret_cast<const uint32_t*>(data + y * stride + 4 * x) & 0xFFFFFF);
    }
    cairo_surface_destroy(s);
    return p;
}

// Where the pixels of one colour are (within tol per channel).
struct Box {
    int x0 = 1 << 30, y0 = 1 << 30, x1 = -1, y1 = -1, count = 0;
    int width() const { return x1 - x0 + 1; }
    int height() const { return y1 - y0 + 1; }
};

bool near_colour(unsigned a, unsigned b, int tol) {
    for (int shift : {0, 8, 16})
        if (std::abs(static_cast<int>((a >> shift) & 255) - static_cast<int>((b >> shift) & 255)) > tol) return false;
    return true;
}

Box find_colour(const Picture& p, unsigned colour, int tol = 0) {
    Box b;
    for (int y = 0; y < p.h; y++)
        for (int x = 0; x < p.w; x++)
            if (near_colour(p.at(x, y), colour, tol)) {
                b.x0 = std::min(b.x0, x);
                b.x1 = std::max(b.x1, x);
                b.y0 = std::min(b.y0, y);
                b.y1 = std::max(b.y1, y);
                b.count++;
            }
    return b;
}

// A command's standard output (and its exit status).
std::string capture(const std::string& command, int* status = nullptr) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
    const int raw = pclose(pipe);
    if (status) *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return out;
}

struct Svg_text {
    double x = 0, y = 0, size = 0;
    bool turned = false;
    std::string text;
};

struct Svg {
    bool parsed = false;
    std::string root, width, height, title, desc;
    int uses = 0;
    std::vector<Svg_text> texts;
    bool has_text(const std::string& s) const {
        return std::any_of(texts.begin(), texts.end(), [&](const Svg_text& t) { return t.text == s; });
    }
};

const char* const kSvgReader =
    "import sys, xml.etree.ElementTree as E\n"
    "root = E.parse(sys.argv[1]).getroot()\n"
    "ns = '{http://www.w3.org/2000/svg}'\n"
    "uses = 0\n"
    "print('root', root.tag.replace(ns, ''), root.get('width'), root.get('height'), sep='\\t')\n"
    "for e in root.iter():\n"
    "    t = e.tag.replace(ns, '')\n"
    "    if t == 'text':\n"
    "        print('text', e.get('x'), e.get('y'), e.get('font-size'), e.get('transform') or '-', e.text or '',\n"
    "              sep='\\t')\n"
    "    elif t in ('title', 'desc'):\n"
    "        print(t, e.text or '', sep='\\t')\n"
    "    elif t == 'use':\n"
    "        uses += 1\n"
    "print('uses', uses, sep='\\t')\n";

double number(const std::string& s) {
    double v = std::nan("");
    std::from_chars(s.data(), s.data() + s.size(), v);
    return v;
}

std::vector<std::string> split(const std::string& s, char c) {
    std::vector<std::string> out;
    std::string part;
    std::istringstream in(s);
    while (std::getline(in, part, c)) out.push_back(part);
    return out;
}

// The SVG as an XML parser sees it; parsed stays false when it is no XML.
Svg read_svg(const ScratchDir& scratch, const std::string& path) {
    std::ofstream(scratch.path("read_svg.py")) << kSvgReader;
    int status = -1;
    const std::string out = capture("PYTHONIOENCODING=utf-8 /usr/bin/python3 " + scratch.path("read_svg.py") + " '" +
                                        path + "' 2>&1",
                                    &status);
    Svg svg;
    if (status != 0) {
        ADD_FAILURE() << "the SVG does not parse as XML:\n" << out;
        return svg;
    }
    svg.parsed = true;
    for (const std::string& line : split(out, '\n')) {
        const std::vector<std::string> f = split(line, '\t');
        if (f.empty()) continue;
        if (f[0] == "root" && f.size() >= 4) {
            svg.root = f[1];
            svg.width = f[2];
            svg.height = f[3];
        } else if (f[0] == "title" && f.size() >= 2) {
            svg.title = f[1];
        } else if (f[0] == "desc" && f.size() >= 2) {
            svg.desc = f[1];
        } else if (f[0] == "uses" && f.size() >= 2) {
            svg.uses = std::stoi(f[1]);
        } else if (f[0] == "text" && f.size() >= 5) {
            Svg_text t;
            t.x = number(f[1]);
            t.y = number(f[2]);
            t.size = number(f[3]);
            t.turned = f[4] != "-";
            t.text = f.size() >= 6 ? f[5] : "";
            svg.texts.push_back(t);
        }
    }
    return svg;
}

// The tick labels of an axis in the SVG's text layer: those of the tick size
// (the smallest texts) on the lowest line are the x axis's, the others the
// y axis's.
std::vector<std::string> tick_labels(const Svg& svg, bool x_axis) {
    double size = 1e9, low = -1e9;
    for (const Svg_text& t : svg.texts) size = std::min(size, t.size);
    for (const Svg_text& t : svg.texts)
        if (t.size == size && !t.turned) low = std::max(low, t.y);
    std::vector<std::pair<double, std::string>> found;
    for (const Svg_text& t : svg.texts)
        if (t.size == size && !t.turned && (t.y == low) == x_axis) found.emplace_back(x_axis ? t.x : -t.y, t.text);
    std::sort(found.begin(), found.end());
    std::vector<std::string> out;
    for (auto& f : found) out.push_back(f.second);
    return out;
}

// Whether labels are evenly spaced multiples of 1, 2 or 5 x 10^k.
::testing::AssertionResult nice_ticks(const std::vector<std::string>& labels) {
    if (labels.size() < 2) return ::testing::AssertionFailure() << labels.size() << " tick labels";
    std::vector<double> v;
    for (const std::string& s : labels) {
        v.push_back(number(s));
        if (!std::isfinite(v.back()) || s.size() > 8) return ::testing::AssertionFailure() << "label '" << s << "'";
    }
    const double step = v[1] - v[0];
    const double p = std::pow(10.0, std::floor(std::log10(step) + 1e-9));
    const double m = step / p;
    if (std::fabs(m - 1) > 1e-6 && std::fabs(m - 2) > 1e-6 && std::fabs(m - 5) > 1e-6)
        return ::testing::AssertionFailure() << "step " << step;
    for (size_t k = 0; k < v.size(); k++) {
        if (k && std::fabs(v[k] - v[k - 1] - step) > 1e-9 * std::fabs(step) * 10)
            return ::testing::AssertionFailure() << "uneven at '" << labels[k] << "'";
        const double q = v[k] / step;
        if (std::fabs(q - std::round(q)) > 1e-6) return ::testing::AssertionFailure() << labels[k] << " off the step";
    }
    return ::testing::AssertionSuccess();
}

// ---- Plots of known data

// Counts 1, 2, 4, 8 in the bins [0, 1), [1, 2), [2, 3), [3, 4].
std::vector<double> doubling_values() {
    std::vector<double> v;
    for (int k = 0; k < 4; k++)
        for (int n = 0; n < (1 << k); n++) v.push_back(k + 0.25 + 0.5 * n / 8);
    return v;
}

const std::vector<unsigned> kBarColours = {0xE41A1C, 0x4DAF4A, 0x984EA3, 0xFF7F00};

QN_plot doubling_plot() {
    QN_plot plot = QN_plot_histogram(doubling_values(), 4, 0, 4, "c_csp");
    plot.series[0].bar_colours = kBarColours;
    return plot;
}

class Plot : public testing::Test {
protected:
    std::string path(const std::string& name) const { return scratch_.path(name); }
    // Files in the scratch folder (temporary ones would show here).
    std::set<std::string> files() const {
        std::set<std::string> out;
        for (const auto& e : fs::directory_iterator(scratch_.dir())) out.insert(e.path().filename().string());
        return out;
    }
    ScratchDir scratch_;
};

// Switches the process to a locale with a decimal comma for a test.
class Comma_locale {
public:
    Comma_locale() {
        for (const char* name : {"de_DE.UTF-8", "de_DE.utf8"})
            if (std::setlocale(LC_ALL, name)) {
                active_ = true;
                break;
            }
    }
    ~Comma_locale() { std::setlocale(LC_ALL, "C"); }
    bool active() const { return active_; }

private:
    bool active_ = false;
};

}  // namespace

// ---- Histogram and table

TEST(PlotHistogram, CountsValuesInEqualBins) {
    std::vector<double> values = doubling_values();
    values.push_back(std::nan(""));
    values.push_back(-0.5);  // outside
    values.push_back(4.5);   // outside
    values.push_back(4.0);   // the upper end belongs to the last bin
    const QN_plot plot = QN_plot_histogram(values, 4, 0, 4, "c_csp");
    ASSERT_EQ(plot.series.size(), 1u);
    const QN_plot_series& s = plot.series[0];
    EXPECT_EQ(s.kind, QN_plot_series::Bars);
    EXPECT_EQ(s.name, "c_csp");
    EXPECT_EQ(s.x, (std::vector<double>{0, 1, 2, 3, 4}));
    EXPECT_EQ(s.y, (std::vector<double>{1, 2, 4, 9}));
    EXPECT_TRUE(s.bar_colours.empty());
    EXPECT_EQ(plot.x_label, "c_csp");
    EXPECT_EQ(plot.y_label, "Atoms");
    EXPECT_EQ(plot.title, "Histogram of c_csp");

    // lo == hi: the values' own range; lo > hi is the same range.
    const QN_plot own = QN_plot_histogram({2, 3, 7, std::nan("")}, 5, 0, 0, "x");
    EXPECT_EQ(own.series[0].x, (std::vector<double>{2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(own.series[0].y, (std::vector<double>{1, 1, 0, 0, 1}));
    EXPECT_EQ(QN_plot_histogram({2, 3, 7}, 5, 7, 2, "x").series[0].y, own.series[0].y);
    // All one value: a unit-wide range around it.
    const QN_plot one = QN_plot_histogram({3, 3, 3}, 2, 0, 0, "type");
    EXPECT_EQ(one.series[0].x, (std::vector<double>{2.5, 3, 3.5}));
    EXPECT_EQ(one.series[0].y, (std::vector<double>{0, 3}));

    // Bins outside 1 ... QN_PLOT_MAX_BINS give nothing to plot.
    EXPECT_TRUE(QN_plot_histogram(values, 0, 0, 4, "c").series.empty());
    EXPECT_TRUE(QN_plot_histogram(values, QN_PLOT_MAX_BINS + 1, 0, 4, "c").series.empty());
    EXPECT_EQ(QN_plot_histogram(values, QN_PLOT_MAX_BINS, 0, 4, "c").series[0].y.size(),
              static_cast<size_t>(QN_PLOT_MAX_BINS));
}

TEST(PlotHistogram, BarsTakeTheViewsColourOfTheirCentre) {
    std::vector<unsigned> map(64);
    for (unsigned k = 0; k < 64; k++) map[k] = 0x010203 * k;
    const QN_plot plot = QN_plot_histogram(doubling_values(), 4, 0, 4, "c_csp", map);
    // Centres 0.5, 1.5, 2.5, 3.5 of [0, 4]: trunc(c / 4 * 64 + 0.5).
    EXPECT_EQ(plot.series[0].bar_colours,
              (std::vector<unsigned>{map[8], map[24], map[40], map[56]}));
    // The view's own colour map, read from its atlas.
    QN_atlas atlas;
    ASSERT_TRUE(QN_atlas_load((std::string(QUELM_TEST_DATA) + "/../img/color.png").c_str(), &atlas));
    const std::vector<unsigned> colours = QN_plot_colours(atlas);
    ASSERT_EQ(colours.size(), 64u);
    EXPECT_EQ(colours[63], static_cast<unsigned>(atlas[63].r) << 16 | atlas[63].g << 8 | atlas[63].b);
    EXPECT_NE(colours[0], colours[63]);
}

TEST(PlotTable, TsvRoundTrips) {
    QN_plot plot = QN_plot_histogram(doubling_values(), 4, 0, 4, "counts");
    QN_plot_series line;
    line.name = "g(r)";
    line.x = {0.1, 0.2, 1e-12, 123456.789012345, -3.25};
    line.y = {1.0 / 3, std::nan(""), -2e300, 7, 0};
    plot.series.push_back(line);
    const std::string tsv = QN_plot_tsv(plot);
    EXPECT_EQ(tsv.substr(0, tsv.find('\n')), "counts x\tcounts y\tg(r) x\tg(r) y");
    // "%.10g" as the C library writes it.
    char expected[64];
    std::snprintf(expected, sizeof expected, "%.10g", 1.0 / 3);
    EXPECT_NE(tsv.find(std::string("\t0.1\t") + expected + "\n"), std::string::npos) << tsv;
    EXPECT_NE(tsv.find("\n4\t\t-3.25\t0\n"), std::string::npos) << tsv;  // the bars' last edge has no count

    QN_plot_table table;
    std::string message;
    ASSERT_EQ(QN_plot_table_parse(tsv, &table, &message), 1) << message;
    ASSERT_EQ(table.names, (std::vector<std::string>{"counts x", "counts y", "g(r) x", "g(r) y"}));
    ASSERT_EQ(table.columns.size(), 4u);
    auto same = [](const std::vector<double>& read, const std::vector<double>& written) {
        if (read.size() < written.size()) return false;
        for (size_t k = 0; k < read.size(); k++) {
            const double w = k < written.size() ? written[k] : std::nan("");
            if (std::isnan(w) ? !std::isnan(read[k]) : std::fabs(read[k] - w) > 1e-9 * std::fabs(w)) return false;
        }
        return true;
    };
    EXPECT_TRUE(same(table.columns[0], plot.series[0].x));
    EXPECT_TRUE(same(table.columns[1], plot.series[0].y));
    EXPECT_TRUE(same(table.columns[2], line.x));
    EXPECT_TRUE(same(table.columns[3], line.y));
    EXPECT_EQ(table.column("g(r) y"), 3);
    EXPECT_EQ(table.column("nope"), -1);

    // Curves of the table read back.
    QN_plot curves;
    ASSERT_EQ(QN_plot_curves(table, "g(r) x", {"g(r) y", "counts y"}, QN_plot_series::Points, &curves, &message), 1);
    ASSERT_EQ(curves.series.size(), 2u);
    EXPECT_EQ(curves.series[0].name, "g(r) y");
    EXPECT_EQ(curves.series[0].kind, QN_plot_series::Points);
    EXPECT_TRUE(same(curves.series[0].y, line.y));
    EXPECT_EQ(curves.x_label, "g(r) x");
    EXPECT_EQ(curves.y_label, "");
    EXPECT_EQ(QN_plot_curves(table, "g(r) x", {"r"}, QN_plot_series::Line, &curves, &message), -1);
    EXPECT_EQ(message, "the table has no column r (its columns: counts x, counts y, g(r) x, g(r) y)");
}

TEST(PlotTable, ReadsCommentsShortRowsAndRefusesWhatIsNoTable) {
    QN_plot_table t;
    std::string message;
    ASSERT_EQ(QN_plot_table_parse("# made by a test\n\nr\tg\r\n1\t+2.5\r\n2\n3\t\tnan\n", &t, &message), -1);
    EXPECT_EQ(message, "line 6 has 3 cells, the header names 2 columns");
    ASSERT_EQ(QN_plot_table_parse("# made by a test\n\nr\tg\r\n1\t+2.5\r\n2\n3\t-1e-3\n", &t, &message), 1) << message;
    EXPECT_EQ(t.names, (std::vector<std::string>{"r", "g"}));
    EXPECT_EQ(t.columns[0], (std::vector<double>{1, 2, 3}));
    EXPECT_EQ(t.columns[1][0], 2.5);
    EXPECT_TRUE(std::isnan(t.columns[1][1]));
    EXPECT_EQ(t.columns[1][2], -1e-3);
    EXPECT_EQ(QN_plot_table_parse("r\tg\n1\t2,5\n", &t, &message), -1);
    EXPECT_EQ(message, "line 2: '2,5' in column g is not a number");
    EXPECT_EQ(QN_plot_table_parse("# nothing\n\n", &t, &message), -1);
    EXPECT_EQ(message, "the table has no header line of column names");
}

// ---- Pictures

TEST_F(Plot, PngBarsStandInTheRatioOfTheirCounts) {
    std::string message;
    ASSERT_EQ(QN_plot_write(doubling_plot(), path("h.png"), 800, 500, &message), 1) << message;
    const Picture p = read_png(path("h.png"));
    ASSERT_EQ(p.w, 800);
    ASSERT_EQ(p.h, 500);
    EXPECT_EQ(p.at(2, 2), 0xFFFFFFu);  // white background
    std::vector<Box> bars;
    for (unsigned c : kBarColours) bars.push_back(find_colour(p, c));
    const int counts[4] = {1, 2, 4, 8};
    const double scale = bars[3].height() / 8.0;
    EXPECT_GT(scale, 30);  // the bars use most of the height
    for (int k = 0; k < 4; k++) {
        SCOPED_TRACE("bar " + std::to_string(k));
        ASSERT_GT(bars[k].count, 0);
        // Solid rectangles, side by side, equally wide, on one base line.
        EXPECT_EQ(bars[k].count, bars[k].width() * bars[k].height());
        EXPECT_NEAR(bars[k].width(), bars[0].width(), 2);
        EXPECT_NEAR(bars[k].y1, bars[0].y1, 1);
        if (k) {
            EXPECT_NEAR(bars[k].x0, bars[k - 1].x1, 4);
        }
        EXPECT_NEAR(bars[k].height(), counts[k] * scale, 2.5);
    }
    // Together they span the frame's width: the x axis spans the data.
    EXPECT_GT(bars[3].x1 - bars[0].x0, 600);

    // The series' own colour when the bars have none.
    QN_plot plain = doubling_plot();
    plain.series[0].bar_colours.clear();
    ASSERT_EQ(QN_plot_write(plain, path("plain.png"), 800, 500, &message), 1) << message;
    const Picture q = read_png(path("plain.png"));
    for (unsigned c : kBarColours) EXPECT_EQ(find_colour(q, c).count, 0);
    const Box all = find_colour(q, 0x0072B2);
    EXPECT_NEAR(all.height(), bars[3].height(), 1);
    EXPECT_NEAR(all.x0, bars[0].x0, 1);
    EXPECT_NEAR(all.x1, bars[3].x1, 1);
}

TEST_F(Plot, SvgIsXmlWithItsTextsFindable) {
    const QN_plot plot = doubling_plot();
    std::string message;
    ASSERT_EQ(QN_plot_write(plot, path("h.svg"), 800, 500, &message), 1) << message;
    const Svg svg = read_svg(scratch_, path("h.svg"));
    ASSERT_TRUE(svg.parsed);
    EXPECT_EQ(svg.root, "svg");
    EXPECT_EQ(svg.width, "800pt");
    EXPECT_EQ(svg.height, "500pt");
    EXPECT_EQ(svg.title, "Histogram of c_csp");
    EXPECT_EQ(svg.desc, "x axis: c_csp; y axis: Atoms");
    EXPECT_TRUE(svg.has_text("Histogram of c_csp"));
    EXPECT_TRUE(svg.has_text("c_csp"));
    EXPECT_TRUE(svg.has_text("Atoms"));
    // The glyphs themselves are drawn too.
    size_t characters = 0;
    for (const Svg_text& t : svg.texts) characters += t.text.size();
    EXPECT_GE(static_cast<size_t>(svg.uses), characters);
    // Where they are: the x title under the frame, the y title turned on the
    // left, the title on top; one legend-less series, so no other texts.
    for (const Svg_text& t : svg.texts) {
        if (t.text == "c_csp") {
            EXPECT_GT(t.y, 450);
        } else if (t.text == "Atoms") {
            EXPECT_TRUE(t.turned);
            EXPECT_LT(t.x, 40);
        } else if (t.text == "Histogram of c_csp") {
            EXPECT_LT(t.y, 40);
        }
    }
    // Ticks at nice numbers: counts 0 ... 8 with room on top; x over 0 ... 4.
    const std::vector<std::string> y_ticks = tick_labels(svg, false), x_ticks = tick_labels(svg, true);
    EXPECT_TRUE(nice_ticks(y_ticks));
    EXPECT_TRUE(nice_ticks(x_ticks));
    EXPECT_EQ(y_ticks.front(), "0");
    EXPECT_GE(number(y_ticks.back()), 8);
    EXPECT_EQ(x_ticks.front(), "0");
    EXPECT_EQ(x_ticks.back(), "4");
    EXPECT_EQ(svg.texts.size(), y_ticks.size() + x_ticks.size() + 3);
}

TEST_F(Plot, TicksFallOnNiceNumbersOverAnyRange) {
    struct Case {
        double lo, hi;
    };
    for (const Case c : {Case{0, 0.37}, Case{-3, 1200}, Case{1e-6, 5e-6}, Case{-0.013, 0.002}, Case{7, 7.5}}) {
        SCOPED_TRACE(std::to_string(c.lo) + " ... " + std::to_string(c.hi));
        QN_plot plot;
        QN_plot_series s;
        s.x = {c.lo, (c.lo + c.hi) / 2, c.hi};
        s.y = {c.lo, c.hi, c.lo};
        plot.series.push_back(s);
        std::string message;
        ASSERT_EQ(QN_plot_write(plot, path("t.svg"), 640, 400, &message), 1) << message;
        const Svg svg = read_svg(scratch_, path("t.svg"));
        const std::vector<std::string> xt = tick_labels(svg, true), yt = tick_labels(svg, false);
        EXPECT_TRUE(nice_ticks(xt));
        EXPECT_TRUE(nice_ticks(yt));
        // x ticks inside the data's span; y ticks cover it.
        EXPECT_GE(number(xt.front()), c.lo - 1e-12);
        EXPECT_LE(number(xt.back()), c.hi + 1e-12);
        EXPECT_LE(number(yt.front()), c.lo);
        EXPECT_GE(number(yt.back()), c.hi);
    }
}

TEST_F(Plot, LegendOnlyForMoreThanOneNamedSeries) {
    QN_plot plot;
    plot.x_label = "r (Å)";
    plot.y_label = "g(r)";
    QN_plot_series a, b;
    a.name = "Cu-Cu";
    a.x = {1, 2, 3};
    a.y = {0, 2, 1};
    b.x = {1, 2, 3};
    b.y = {1, 1, 1};
    b.kind = QN_plot_series::Points;
    plot.series = {a, b};
    std::string message;
    ASSERT_EQ(QN_plot_write(plot, path("one.svg"), 800, 500, &message), 1) << message;
    Svg svg = read_svg(scratch_, path("one.svg"));
    EXPECT_FALSE(svg.has_text("Cu-Cu"));
    EXPECT_TRUE(svg.has_text("r (Å)"));  // UTF-8 labels
    plot.series[1].name = "Cu-Ni";
    ASSERT_EQ(QN_plot_write(plot, path("two.svg"), 800, 500, &message), 1) << message;
    svg = read_svg(scratch_, path("two.svg"));
    EXPECT_TRUE(svg.has_text("Cu-Cu"));
    EXPECT_TRUE(svg.has_text("Cu-Ni"));
    // A text that is no UTF-8 is drawn with '?' instead of spoiling the file.
    plot.x_label = "r (\xC5)";
    ASSERT_EQ(QN_plot_write(plot, path("latin1.svg"), 800, 500, &message), 1) << message;
    svg = read_svg(scratch_, path("latin1.svg"));
    EXPECT_TRUE(svg.has_text("r (?)"));
}

TEST_F(Plot, PdfRendersWithItsTexts) {
    const QN_plot plot = doubling_plot();
    std::string message;
    ASSERT_EQ(QN_plot_write(plot, path("h.pdf"), 800, 500, &message), 1) << message;
    EXPECT_EQ(slurp(path("h.pdf")).substr(0, 5), "%PDF-");
    int status = -1;
    capture("pdftoppm -png -r 72 '" + path("h.pdf") + "' '" + path("page") + "' 2>&1", &status);
    ASSERT_EQ(status, 0);
    const Picture p = read_png(path("page-1.png"));
    ASSERT_EQ(p.w, 800);
    ASSERT_EQ(p.h, 500);
    // The same bars as in the PNG, within poppler's rounding.
    const int counts[4] = {1, 2, 4, 8};
    std::vector<Box> bars;
    for (unsigned c : kBarColours) bars.push_back(find_colour(p, c, 3));
    for (int k = 0; k < 4; k++) EXPECT_NEAR(bars[k].height(), counts[k] * bars[3].height() / 8.0, 3) << k;

    const std::string text = capture("pdftotext '" + path("h.pdf") + "' - 2>&1", &status);
    ASSERT_EQ(status, 0);
    for (const char* s : {"Histogram of c_csp", "c_csp", "Atoms", "0", "4", "8"})
        EXPECT_NE(text.find(s), std::string::npos) << s << " in\n" << text;
    const std::string info = capture("pdfinfo '" + path("h.pdf") + "' 2>&1", &status);
    EXPECT_NE(info.find("Histogram of c_csp"), std::string::npos) << info;  // the document's title
}

TEST_F(Plot, NumbersKeepTheirDecimalPointInAnyLocale) {
    Comma_locale comma;
    if (!comma.active()) GTEST_SKIP() << "no locale with a decimal comma installed";
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 0.5);
    ASSERT_STREQ(probe, "0,5");  // the locale is in force
    QN_plot plot;
    QN_plot_series s;
    s.name = "q6";
    s.x = {0, 0.25, 0.5, 0.75, 1};
    s.y = {0.125, 0.5, 0.25, 0.875, 0.5};
    plot.series.push_back(s);
    plot.x_label = "q6";
    const std::string tsv = QN_plot_tsv(plot);
    EXPECT_NE(tsv.find("0.25\t0.5\n"), std::string::npos) << tsv;
    EXPECT_EQ(tsv.find(','), std::string::npos) << tsv;
    QN_plot_table t;
    std::string message;
    ASSERT_EQ(QN_plot_table_parse(tsv, &t, &message), 1) << message;
    EXPECT_EQ(t.columns[1][3], 0.875);

    ASSERT_EQ(QN_plot_write(plot, path("q.svg"), 800, 500, &message), 1) << message;
    const Svg svg = read_svg(scratch_, path("q.svg"));
    ASSERT_TRUE(svg.parsed);
    const std::vector<std::string> xt = tick_labels(svg, true), yt = tick_labels(svg, false);
    EXPECT_TRUE(nice_ticks(xt));
    EXPECT_TRUE(nice_ticks(yt));
    int with_point = 0;
    for (const std::vector<std::string>* labels : {&xt, &yt})
        for (const std::string& l : *labels) {
            EXPECT_EQ(l.find(','), std::string::npos) << l;
            with_point += l.find('.') != std::string::npos;
        }
    EXPECT_GE(with_point, 4);
    // Cairo's own numbers (paths, positions) too: the SVG parsed above, and
    // no coordinate holds a comma.
    EXPECT_EQ(slurp(path("q.svg")).find("0,5"), std::string::npos);
}

TEST_F(Plot, RefusalsLeaveExistingFilesAlone) {
    const QN_plot plot = doubling_plot();
    std::string message;
    for (const char* name : {"old.png", "old.svg", "old.pdf", "old.jpg"}) std::ofstream(path(name)) << "precious";
    struct Case {
        std::string name;
        int w, h;
        QN_plot plot;
        std::string reason;
    };
    QN_plot empty = QN_plot_histogram({1, 2}, 0, 0, 0, "c");
    QN_plot nan_only;
    nan_only.series.resize(1);
    nan_only.series[0].x = {std::nan(""), 1};
    nan_only.series[0].y = {1, std::nan("")};
    const std::vector<Case> cases = {
        {"old.jpg", 800, 500, plot,
         "cannot tell the picture type of " + path("old.jpg") + ": give a name ending in .png, .svg or .pdf"},
        {"new", 800, 500, plot, "cannot tell the picture type of " + path("new") + ": give a name ending in .png, .svg or .pdf"},
        {"old.png", 99, 500, plot, "a plot is 100 to 10000 wide and high, not 99 x 500"},
        {"old.svg", 800, 10001, plot, "a plot is 100 to 10000 wide and high, not 800 x 10001"},
        {"old.pdf", 800, 500, empty, "nothing to plot"},
        {"old.png", 800, 500, nan_only, "nothing to plot"},
        {"no/such/folder/h.png", 800, 500, plot, "cannot write " + path("no/such/folder/h.png") + ": No such file or directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        message.clear();
        EXPECT_EQ(QN_plot_write(c.plot, path(c.name), c.w, c.h, &message), -1);
        EXPECT_EQ(message, c.reason);
    }
    for (const char* name : {"old.png", "old.svg", "old.pdf", "old.jpg"}) EXPECT_EQ(slurp(path(name)), "precious");
    EXPECT_EQ(files(), (std::set<std::string>{"old.png", "old.svg", "old.pdf", "old.jpg"}));

    // A folder in the way is refused, not replaced.
    fs::create_directory(path("folder.png"));
    EXPECT_EQ(QN_plot_write(plot, path("folder.png"), 800, 500, &message), -1);
    EXPECT_EQ(message, "cannot write " + path("folder.png") + ": it is a folder");
    EXPECT_TRUE(fs::is_directory(path("folder.png")));

    // The picture and its table both, or neither.
    EXPECT_EQ(QN_plot_write_with_table(plot, path("old.png"), 800, 500, path("none/h.tsv"), &message), -1);
    EXPECT_EQ(message, "cannot write " + path("none/h.tsv") + ": No such file or directory");
    EXPECT_EQ(slurp(path("old.png")), "precious");
    EXPECT_EQ(QN_plot_write_with_table(plot, path("old.png"), 800, 500, path("old.png"), &message), -1);
    EXPECT_EQ(slurp(path("old.png")), "precious");
    fs::remove(path("folder.png"));
    EXPECT_EQ(files(), (std::set<std::string>{"old.png", "old.svg", "old.pdf", "old.jpg"}));

    // A good write replaces the file whole, with no temporary file left.
    ASSERT_EQ(QN_plot_write_with_table(plot, path("old.png"), 800, 500, path("old.tsv"), &message), 1) << message;
    EXPECT_EQ(read_png(path("old.png")).w, 800);
    EXPECT_EQ(slurp(path("old.tsv")), QN_plot_tsv(plot));
    ASSERT_EQ(QN_plot_write(plot, path("old.SVG"), 100, 100, &message), 1) << message;  // any case, the least size
    EXPECT_EQ(files(), (std::set<std::string>{"old.png", "old.svg", "old.pdf", "old.jpg", "old.tsv", "old.SVG"}));
}

TEST(PlotDraw, DrawsInsideItsRectangleAndLeavesTheContextAsItWas) {
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 400, 300);
    cairo_t* cr = cairo_create(surface);
    cairo_set_source_rgb(cr, 0.5, 0.5, 0.5);
    cairo_paint(cr);
    cairo_translate(cr, 50, 40);
    cairo_set_line_width(cr, 7);
    cairo_set_source_rgb(cr, 1, 0, 0);
    QN_plot_draw(doubling_plot(), cr, 300, 200);
    EXPECT_EQ(cairo_status(cr), CAIRO_STATUS_SUCCESS);
    EXPECT_EQ(cairo_get_line_width(cr), 7);
    cairo_matrix_t m;
    cairo_get_matrix(cr, &m);
    EXPECT_EQ(m.x0, 50);
    EXPECT_EQ(m.y0, 40);
    double r = 0, g = 0, b = 0, a = 0;
    EXPECT_EQ(cairo_pattern_get_rgba(cairo_get_source(cr), &r, &g, &b, &a), CAIRO_STATUS_SUCCESS);
    EXPECT_EQ(r, 1);
    EXPECT_EQ(g, 0);
    cairo_destroy(cr);
    cairo_surface_flush(surface);
    Picture p;
    p.w = 400;
    p.h = 300;
    const int stride = cairo_image_surface_get_stride(surface);
    const unsigned char* data = cairo_image_surface_get_data(surface);
    for (int y = 0; y < 300; y++)
        for (int x = 0; x < 400; x++) p.rgb.push_back(*reinterpret_cast<const uint32_t*>(data + y * stride + 4 * x) & 0xFFFFFF);
    cairo_surface_destroy(surface);
    EXPECT_EQ(p.at(10, 10), 0x808080u);    // outside: untouched
    EXPECT_EQ(p.at(395, 295), 0x808080u);
    EXPECT_EQ(p.at(51, 41), 0xFFFFFFu);    // inside: the white background
    EXPECT_EQ(p.at(348, 238), 0xFFFFFFu);
    for (unsigned c : kBarColours) {
        const Box bar = find_colour(p, c);
        ASSERT_GT(bar.count, 0);
        EXPECT_GE(bar.x0, 50);
        EXPECT_LE(bar.x1, 349);
        EXPECT_GE(bar.y0, 40);
        EXPECT_LE(bar.y1, 239);
    }
}

// ---- quelm-batch plot

namespace {

// A dump with a c_csp column whose values fall 1, 2, 4, 8 into the bins of
// [0, 4].
std::string doubling_dump() {
    const std::vector<double> v = doubling_values();
    std::string s = "ITEM: TIMESTEP\n0\nITEM: NUMBER OF ATOMS\n" + std::to_string(v.size()) +
                    "\nITEM: BOX BOUNDS pp pp pp\n0 10\n0 10\n0 10\nITEM: ATOMS id type x y z c_csp\n";
    for (size_t k = 0; k < v.size(); k++) {
        char line[128];
        std::snprintf(line, sizeof line, "%d 1 %d.5 1 1 %.6f\n", static_cast<int>(k + 1), static_cast<int>(k % 10),
                      v[k]);
        s += line;
    }
    return s;
}

}  // namespace

TEST_F(Plot, BatchPlotsAHistogramOfAColumn) {
    std::ofstream(path("m.dump")) << doubling_dump();
    BatchOutcome r = run_batch(scratch_, "plot " + path("m.dump") + " --column c_csp --bins 4 --range 0:4 -o " +
                                             path("h.png") + " --tsv " + path("h.tsv"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("15 of 15 atoms in 4 bins from 0 to 4\nPlot written to " + path("h.png") +
                         "\nTable written to " + path("h.tsv") + "\n"),
              std::string::npos)
        << r.out;
    QN_plot_table t;
    std::string message;
    ASSERT_EQ(QN_plot_table_parse(slurp(path("h.tsv")), &t, &message), 1) << message;
    ASSERT_EQ(t.names, (std::vector<std::string>{"c_csp x", "c_csp y"}));
    EXPECT_EQ(t.columns[0], (std::vector<double>{0, 1, 2, 3, 4}));
    EXPECT_EQ(std::vector<double>(t.columns[1].begin(), t.columns[1].begin() + 4), (std::vector<double>{1, 2, 4, 8}));
    EXPECT_EQ(read_png(path("h.png")).w, 800);

    // The view's colours, from the program's own img/color.png.
    r = run_batch(scratch_, "plot " + path("m.dump") + " --column c_csp --bins 4 --range 0:4 --color-map --size 600x400 -o " +
                                path("c.png"));
    ASSERT_EQ(r.status, 0) << r.err;
    QN_atlas atlas;
    ASSERT_TRUE(QN_atlas_load((std::string(QUELM_TEST_DATA) + "/../img/color.png").c_str(), &atlas));
    const std::vector<unsigned> map = QN_plot_colours(atlas);
    const Picture p = read_png(path("c.png"));
    ASSERT_EQ(p.w, 600);
    ASSERT_EQ(p.h, 400);
    const int index[4] = {8, 24, 40, 56}, counts[4] = {1, 2, 4, 8};
    std::vector<Box> bars;
    for (int k = 0; k < 4; k++) bars.push_back(find_colour(p, map[index[k]]));
    for (int k = 0; k < 4; k++) {
        ASSERT_GT(bars[k].count, 0) << k;
        EXPECT_NEAR(bars[k].height(), counts[k] * bars[3].height() / 8.0, 2.5) << k;
    }

    // Curves of the table it wrote, as SVG, in a locale with a decimal comma.
    const std::string command = "LC_ALL=de_DE.UTF-8 " + std::string(QUELM_BATCH) + " plot " + path("h.tsv") +
                                " --x 'c_csp x' --y 'c_csp y' --points --title 'Counts' -o " + path("t.svg") + " 2>&1";
    int status = -1;
    const std::string out = capture(command, &status);
    ASSERT_EQ(status, 0) << out;
    EXPECT_NE(out.find("5 rows, 1 curves\n"), std::string::npos) << out;
    const Svg svg = read_svg(scratch_, path("t.svg"));
    EXPECT_EQ(svg.title, "Counts");
    EXPECT_TRUE(svg.has_text("c_csp x"));
    EXPECT_TRUE(svg.has_text("c_csp y"));
    EXPECT_TRUE(nice_ticks(tick_labels(svg, true)));
    EXPECT_TRUE(nice_ticks(tick_labels(svg, false)));

    // A PDF of a histogram over the values' own range.
    r = run_batch(scratch_, "plot " + path("m.dump") + " --column x -o " + path("x.pdf"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("15 of 15 atoms in 50 bins from 0.5 to 9.5\n"), std::string::npos) << r.out;
    EXPECT_NE(capture("pdftotext '" + path("x.pdf") + "' -").find("Histogram of x"), std::string::npos);
}

TEST_F(Plot, BatchRefusesAndWritesNothing) {
    std::ofstream(path("m.dump")) << doubling_dump();
    std::ofstream(path("h.png")) << "precious";
    std::ofstream(path("h.tsv")) << "precious";
    std::ofstream(path("table.tsv")) << "r\tg\n1\t2\n2\t\n";
    const std::string in = path("m.dump"), out = " -o " + path("h.png") + " --tsv " + path("h.tsv");
    struct Case {
        std::string arguments;
        int status;
        std::string error;
    };
    const std::string usage = "\nTry 'quelm-batch --help'.\n";
    const std::vector<Case> cases = {
        {"plot " + in + " --column c_cnp" + out, 1,
         "quelm-batch: the model has no column c_cnp (its columns: id, type, x, y, z, c_csp)\n"},
        {"plot " + in + " --column c_csp --bins 0" + out, 2, "quelm-batch: --bins takes a number from 1 to 100000" + usage},
        {"plot " + in + " --column c_csp --bins 100001" + out, 2,
         "quelm-batch: --bins takes a number from 1 to 100000" + usage},
        {"plot " + in + " --column c_csp --bins 2.5" + out, 2, "quelm-batch: --bins takes a number from 1 to 100000" + usage},
        {"plot " + in + " --column c_csp --range 10:20" + out, 1,
         "quelm-batch: no value of c_csp lies in 10 ... 20; nothing written\n"},
        {"plot " + in + " --column c_csp --range 2:1" + out, 2, "quelm-batch: --range takes LO:HI with LO below HI" + usage},
        {"plot " + in + " --column c_csp -o " + path("h.gif"), 2, "quelm-batch: the plot must end in .png, .svg or .pdf" + usage},
        {"plot " + in + " --column c_csp --size 99x500" + out, 2, "quelm-batch: --size takes WxH, each from 100 to 10000" + usage},
        {"plot " + in + " --column c_csp --size 800" + out, 2, "quelm-batch: --size takes WxH, each from 100 to 10000" + usage},
        {"plot " + in + " --column c_csp --x x" + out, 2,
         "quelm-batch: plot takes --column NAME (a histogram) or --x COL --y COL (curves of a table), not both" + usage},
        {"plot " + in + " --column c_csp -o " + path("h.png") + " --tsv " + scratch_.dir() + "/./m.dump", 2,
         "quelm-batch: writing " + scratch_.dir() + "/./m.dump would replace the input" + usage},
        {"plot " + in + " --column c_csp -o " + path("h.png") + " --tsv " + path("h.png"), 2,
         "quelm-batch: the plot and --tsv name the same file" + usage},
        {"plot " + path("table.tsv") + " --x r --y g,f" + out, 1,
         "quelm-batch: " + path("table.tsv") + ": the table has no column f (its columns: r, g)\n"},
        {"plot " + path("table.tsv") + " --x r --y g --bins 3" + out, 2,
         "quelm-batch: --bins, --range and --color-map belong to a histogram (--column)" + usage},
        {"plot " + in + " --x r --y g" + out, 1,
         "Reading file failed\n" + in + ": line 3: 'ITEM: NUMBER OF ATOMS' in column ITEM: TIMESTEP is not a number\n"},
        {"plot " + path("missing.tsv") + " --x r --y g" + out, 1,
         "Reading file failed\ncannot open " + path("missing.tsv") + ": No such file or directory\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        const BatchOutcome r = run_batch(scratch_, c.arguments);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.error);
    }
    EXPECT_EQ(slurp(path("h.png")), "precious");
    EXPECT_EQ(slurp(path("h.tsv")), "precious");
    EXPECT_FALSE(fs::exists(path("h.gif")));
    for (const std::string& f : files()) EXPECT_EQ(f.find(".tmp"), std::string::npos) << f;

    // With the table's one full row, the refusal of a row with no point
    // would not come; a table of no full row is refused.
    std::ofstream(path("gaps.tsv")) << "r\tg\n1\t\n\t2\n";
    const BatchOutcome r = run_batch(scratch_, "plot " + path("gaps.tsv") + " --x r --y g" + out);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "quelm-batch: " + path("gaps.tsv") + " has no row with numbers in r and g; nothing written\n");
    EXPECT_EQ(slurp(path("h.png")), "precious");
}
