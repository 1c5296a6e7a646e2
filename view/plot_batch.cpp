#include "view/plot_batch.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "qb/qb_file.h"
#include "qb/qb_tools.h"
#include "store/quelm_batch_core.h"
#include "store/quelm_resources.h"
#include "view/plot.h"
#include "view/view_core.h"

namespace {

const char* const kPlotUsage =
    "  plot IN --column NAME [--bins N] [--range LO:HI] [--color-map] -o OUT.png|.svg|.pdf\n"
    "       [--size WxH] [--title TEXT] [--tsv FILE]\n"
    "                            the histogram of the per-atom column NAME of the model IN\n"
    "                            (id, type, x, y, z or a column of the file or of an analysis,\n"
    "                            e.g. c_csp), in N bins (50) over LO ... HI (the values' own\n"
    "                            range); --color-map colours the bars as the view colours\n"
    "                            atoms over the same range\n"
    "  plot TABLE.tsv --x COL --y COL[,COL...] [--points] -o OUT.png|.svg|.pdf [--size WxH]\n"
    "       [--title TEXT] [--tsv FILE]\n"
    "                            curves of the columns of a tab-separated table whose first\n"
    "                            line names them (--points: points, no lines); both forms\n"
    "                            draw WxH pixels (points in SVG and PDF; 800x500 by\n"
    "                            default) and write the plotted data as a table with --tsv\n";

constexpr int kDefaultBins = 50;

bool whole_number(const std::string& text, int& out) {
    const char* last = text.c_str() + text.size();
    const auto r = std::from_chars(text.c_str(), last, out);
    return !text.empty() && r.ec == std::errc() && r.ptr == last;
}

bool real_number(const std::string& text, double& out) {
    const char* first = text.c_str() + (!text.empty() && text[0] == '+' ? 1 : 0);
    const char* last = text.c_str() + text.size();
    const auto r = std::from_chars(first, last, out);
    return first != last && r.ec == std::errc() && r.ptr == last && std::isfinite(out);
}

bool picture_name(const std::string& path) {
    const size_t dot = path.find_last_of('.'), slash = path.find_last_of('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
    std::string ext = path.substr(dot + 1);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext == "png" || ext == "svg" || ext == "pdf";
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> out;
    size_t start = 0;
    while (true) {
        const size_t end = text.find(separator, start);
        out.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return out;
        start = end + 1;
    }
}

bool same_file(const std::string& a, const std::string& b) {
    std::error_code ea, eb;
    const auto ca = std::filesystem::weakly_canonical(a, ea), cb = std::filesystem::weakly_canonical(b, eb);
    return ea || eb ? a == b : ca == cb;
}

std::string column_list(const QB_tools& model) {
    std::string list, name;
    for (int slot = 0; slot < QB_slot_sum(&model); slot++)
        if (QB_slot_name(&model, slot, name)) list += (list.empty() ? "" : ", ") + name;
    return list;
}

int command_plot(int argc, const char* const* argv, FILE* out, FILE* err) {
    QN_batch_args args;
    std::string error;
    if (!QN_batch_parse(argc, argv, 2,
                        {"-o", "--column", "--bins", "--range", "--size", "--tsv", "--x", "--y", "--title"}, args,
                        error, {"--color-map", "--points"}))
        return QN_batch_usage_error(err, error);
    const std::string* target = args.option("-o");
    const std::string* column = args.option("--column");
    const std::string* x = args.option("--x");
    const std::string* y = args.option("--y");
    if (args.words.size() != 1 || !target || !args.entries.empty())
        return QN_batch_usage_error(err, "plot takes IN, --column NAME or --x COL --y COL, and -o OUT");
    const std::string& input = args.words[0];
    const bool histogram = column != nullptr;
    if (histogram == (x || y))
        return QN_batch_usage_error(err, "plot takes --column NAME (a histogram) or --x COL --y COL (curves of a "
                                         "table), not both");
    if (!histogram && (!x || !y)) return QN_batch_usage_error(err, "curves of a table need --x COL and --y COL");
    if (!histogram && (args.option("--bins") || args.option("--range") || args.option("--color-map")))
        return QN_batch_usage_error(err, "--bins, --range and --color-map belong to a histogram (--column)");
    if (histogram && args.option("--points")) return QN_batch_usage_error(err, "--points belongs to curves (--x, --y)");
    if (!picture_name(*target)) return QN_batch_usage_error(err, "the plot must end in .png, .svg or .pdf");

    int w = 800, h = 500;
    if (const std::string* s = args.option("--size")) {
        const std::vector<std::string> parts = split(*s, 'x');
        if (parts.size() != 2 || !whole_number(parts[0], w) || !whole_number(parts[1], h) || w < QN_PLOT_MIN_SIDE ||
            w > QN_PLOT_MAX_SIDE || h < QN_PLOT_MIN_SIDE || h > QN_PLOT_MAX_SIDE)
            return QN_batch_usage_error(err, "--size takes WxH, each from " + std::to_string(QN_PLOT_MIN_SIDE) +
                                             " to " + std::to_string(QN_PLOT_MAX_SIDE));
    }
    int bins = kDefaultBins;
    if (const std::string* b = args.option("--bins"); b && (!whole_number(*b, bins) || bins < 1 || bins > QN_PLOT_MAX_BINS))
        return QN_batch_usage_error(err, "--bins takes a number from 1 to " + std::to_string(QN_PLOT_MAX_BINS));
    double lo = 0, hi = 0;
    if (const std::string* r = args.option("--range")) {
        const std::vector<std::string> parts = split(*r, ':');
        if (parts.size() != 2 || !real_number(parts[0], lo) || !real_number(parts[1], hi) || !(lo < hi))
            return QN_batch_usage_error(err, "--range takes LO:HI with LO below HI");
    }
    const std::string* table = args.option("--tsv");
    for (const std::string* written : {target, table})
        if (written && same_file(*written, input))
            return QN_batch_usage_error(err, "writing " + *written + " would replace the input");
    if (table && same_file(*table, *target)) return QN_batch_usage_error(err, "the plot and --tsv name the same file");

    QN_plot plot;
    if (histogram) {
        QB_tools model;
        if (!QN_batch_read_model(input, &model, out, err)) return 1;
        const int slot = QB_slot_get(&model, column->c_str());
        if (slot < 0) {
            std::fprintf(err, "quelm-batch: the model has no column %s (its columns: %s)\n", column->c_str(),
                         column_list(model).c_str());
            return 1;
        }
        std::vector<unsigned> colours;
        if (args.option("--color-map")) {
            std::string missing;
            QN_atlas atlas;
            if (QN_resource_check({"img/color.png"}, missing) != 1) {
                std::fprintf(err, "quelm-batch: %s\n", missing.c_str());
                return 1;
            }
            if (!QN_atlas_load(QN_resource_path("img/color.png").c_str(), &atlas)) {
                std::fprintf(err, "quelm-batch: cannot read the colour map %s\n",
                             QN_resource_path("img/color.png").c_str());
                return 1;
            }
            colours = QN_plot_colours(atlas);
        }
        std::vector<double> values;
        for (int i = 0; i < model.natoms; i++)
            if (model.atoms[static_cast<size_t>(i)].id > 0) values.push_back(QB_slot_data(&model, slot, i));
        plot = QN_plot_histogram(values, bins, lo, hi, *column, colours);
        double counted = 0;
        for (double c : plot.series.at(0).y) counted += c;
        const QN_plot_series& bars = plot.series[0];
        const std::string from = QN_plot_number(bars.x.front(), 6), to = QN_plot_number(bars.x.back(), 6);
        if (counted == 0) {
            std::fprintf(err, "quelm-batch: no value of %s lies in %s ... %s; nothing written\n", column->c_str(),
                         from.c_str(), to.c_str());
            return 1;
        }
        std::fprintf(out, "%.0f of %d atoms in %d bins from %s to %s\n", counted, static_cast<int>(values.size()),
                     bins, from.c_str(), to.c_str());
    } else {
        std::string text, why;
        if (!QB_read_text_file(input, text, &why)) {
            std::fprintf(err, "Reading file failed\n%s\n", why.c_str());
            return 1;
        }
        QN_plot_table rows;
        if (QN_plot_table_parse(text, &rows, &why) != 1) {
            std::fprintf(err, "Reading file failed\n%s: %s\n", input.c_str(), why.c_str());
            return 1;
        }
        const std::vector<std::string> ys = split(*y, ',');
        if (QN_plot_curves(rows, *x, ys, args.option("--points") ? QN_plot_series::Points : QN_plot_series::Line,
                           &plot, &why) != 1) {
            std::fprintf(err, "quelm-batch: %s: %s\n", input.c_str(), why.c_str());
            return 1;
        }
        if (!QN_plot_has_data(plot)) {
            std::fprintf(err, "quelm-batch: %s has no row with numbers in %s and %s; nothing written\n",
                         input.c_str(), x->c_str(), y->c_str());
            return 1;
        }
        std::fprintf(out, "%d rows, %d curves\n", static_cast<int>(rows.columns.empty() ? 0 : rows.columns[0].size()),
                     static_cast<int>(plot.series.size()));
    }
    if (const std::string* title = args.option("--title")) plot.title = *title;

    std::string why;
    if (QN_plot_write_with_table(plot, *target, w, h, table ? *table : std::string(), &why) != 1) {
        std::fprintf(err, "Writing file failed\n%s\n", why.c_str());
        return 1;
    }
    std::fprintf(out, "Plot written to %s\n", target->c_str());
    if (table) std::fprintf(out, "Table written to %s\n", table->c_str());
    return 0;
}

}  // namespace

void QN_batch_register_plot() { QN_batch_add_command("plot", kPlotUsage, command_plot); }
