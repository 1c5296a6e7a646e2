// Plots for the window and for papers: histograms of a per-atom column,
// curves of a table (an RDF, a cluster-size distribution) and time series
// over a file series, drawn with one code by Cairo into a PNG, SVG or PDF
// file or into a window's Cairo context, with axis labels and units, a
// legend and fonts fit for print; the data beside them as a TSV table.
//
// Numbers (tick labels, tables, the SVG's text layer) are written and read
// in the C locale whatever the process locale is.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "view/view_core.h"

// One data set of a plot.
struct QN_plot_series {
    enum Kind { Line, Bars, Points };
    Kind kind = Line;
    std::string name;          // in the legend (none when empty)
    std::vector<double> x, y;  // Bars: x the left edges, with one more x than y (the last right edge)
    // Bars only: one colour per bar (0xRRGGBB), e.g. the view's colour map
    // over the bars' range; empty: the series' own colour.
    std::vector<unsigned> bar_colours;
};

struct QN_plot {
    std::string title;
    std::string x_label, y_label;  // with their units, "r (Å)", "g(r)"
    std::vector<QN_plot_series> series;
    // Axis ranges; both equal (the default 0, 0): from the data.
    double x_min = 0, x_max = 0, y_min = 0, y_max = 0;
};

// The histogram of values (NaN left out) in `bins` equal bins over
// [lo, hi] (lo == hi: the values' own range, widened by 0.5 on each side
// when they are all equal, [0, 1] when there is none; lo > hi is taken as
// [hi, lo]); values outside are left out, hi itself falls in the last bin.
// colours: the colours of a colour map (0xRRGGBB) that the bars take by
// their centre over [lo, hi] — 64 of them are taken as the view takes its
// colour bar (QN_render_bar_index), so a bar has the colour the view gives
// atoms of its value over the same range — or empty. One Bars series named
// after the column; title "Histogram of COLUMN", x label the column, y
// label "Atoms". bins must be 1 ... QN_PLOT_MAX_BINS (otherwise the plot
// has no series, and nothing to write).
constexpr int QN_PLOT_MAX_BINS = 100000;
QN_plot QN_plot_histogram(const std::vector<double>& values, int bins, double lo, double hi,
                          const std::string& column, const std::vector<unsigned>& colours = {});

// The view's colour map as 0xRRGGBB colours for QN_plot_histogram.
std::vector<unsigned> QN_plot_colours(const QN_atlas& atlas);

// The data of a plot as a table: for each series its x and y columns
// ("name x", "name y"; "series K" for a series without a name; tabs and
// line breaks in names become spaces), tab-separated, one header line,
// numbers "%.10g" in the C locale, a cell left empty where a column is
// shorter than the longest (a Bars series' y column ends one row before its
// edges).
std::string QN_plot_tsv(const QN_plot& plot);

// A table as QN_plot_tsv writes it and the analyses write theirs: the first
// line the column names, tab-separated, then one row of numbers per line.
// Blank lines and lines beginning with '#' are skipped; an empty cell, and
// the cells a short row lacks, are NaN (no point).
struct QN_plot_table {
    std::vector<std::string> names;
    std::vector<std::vector<double>> columns;  // columns[c][row]
    // Index of the column named name, -1 when there is none.
    int column(const std::string& name) const;
};
// 1 read; -1 with the reason in *message (no header line, a row with more
// cells than the header names, a cell that is no number), naming the line.
int QN_plot_table_parse(const std::string& text, QN_plot_table* table, std::string* message);

// Curves of a table: one series per y column over column x (kind Line or
// Points), named after its column; x label x, y label the y column when
// there is one, else empty. 1 made; -1 with *message naming a column the
// table lacks (and the ones it has).
int QN_plot_curves(const QN_plot_table& table, const std::string& x, const std::vector<std::string>& y,
                   QN_plot_series::Kind kind, QN_plot* plot, std::string* message);

// Whether the plot has anything to draw: a bar or a point with finite x
// and y.
bool QN_plot_has_data(const QN_plot& plot);

// Sizes QN_plot_write takes, in pixels or points, each side.
constexpr int QN_PLOT_MIN_SIDE = 100;
constexpr int QN_PLOT_MAX_SIDE = 10000;

// Writes the plot as PNG, SVG or PDF by the file's extension (.png, .svg,
// .pdf, in any case), w x h in pixels (points for PDF and SVG), through a
// temporary file beside it renamed at the end, so that a failure leaves an
// existing file as it was; 1 written, -1 with the reason in *message (an
// unknown extension, a size outside 100 ... 10000, nothing to plot, the
// file not written). Cairo draws texts as glyph outlines in an SVG; the
// SVG therefore also carries every text of the plot as an invisible <text>
// element at its place (searchable, selectable, read by screen readers),
// the title as its <title> and the axis titles as its <desc>. The PDF's
// texts are real text (pdftotext finds them) and its title the document
// title.
int QN_plot_write(const QN_plot& plot, const std::string& path, int w, int h, std::string* message);

// The same, and the plot's data (QN_plot_tsv) to table_path when that is
// not empty: both files are made in full under temporary names before
// either replaces what was there.
int QN_plot_write_with_table(const QN_plot& plot, const std::string& path, int w, int h,
                             const std::string& table_path, std::string* message);

// Where a picture's data goes: its name with ".tsv" for its extension
// ("rdf.png" gives "rdf.tsv").
std::string QN_plot_data_path(const std::string& picture);

// Draws the plot into the Cairo context cr (a cairo_t*) over w x h units
// from the context's origin: a white background, the frame with ticks at
// 1, 2, 5 x 10^k and their labels (a range from the data: the x axis spans
// the data, the y axis has a little room and ends on ticks, bars stand on
// 0), the axis titles (the y title turned), the
// title, bars, lines and points (clipped to the frame) and, when more than
// one series has a name, a legend in the upper right corner. Texts are
// "DejaVu Sans", sized for 800 x 500 and scaled with the size (from 0.6 x
// to 4 x). The context's state is left as it was.
void QN_plot_draw(const QN_plot& plot, void* cr, int w, int h);

// Formats v as the tick labels and tables do: "%.10g" (digits) in the C
// locale whatever the process locale.
std::string QN_plot_number(double v, int digits = 10);
