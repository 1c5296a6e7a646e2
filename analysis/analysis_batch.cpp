#include "analysis/analysis_batch.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "analysis/measure_driver.h"
#include "analysis/measure_plots.h"
#include "analysis/morla_driver.h"
#include "analysis/morla_summary.h"
#include "dislocation/kavir_bridge.h"
#include "qb/qb_file.h"
#include "qb/qb_formats.h"
#include "qb/qb_gzip.h"
#include "qb/qb_text.h"
#include "store/quelm_batch_core.h"
#include "store/quelm_model_io.h"
#include "store/quelm_resources.h"
#include "store/quelm_store.h"
#include "view/view_core.h"

namespace {

const char* const kAnalyseUsage =
    "  analyse IN -o OUT.lmc [--method cna,baa,cnp,csp,lco,oim] [-A_...=VALUE ...]\n"
    "          [--status FILE.qnw] [--summary FILE.tsv]\n"
    "                            run the structure analyses switched on (each listed method,\n"
    "                            or -A_..._active=1) over IN, print a summary (atoms per\n"
    "                            structure class, statistics of CSP and CNP) and write IN\n"
    "                            with their result columns as a custom dump; --summary\n"
    "                            writes the summary as a table (file, column, class, count,\n"
    "                            percent, value); without -o only the summary is given\n"
    "  analyse IN1 IN2 ... [-o FOLDER] [--summary FILE.tsv] ...\n"
    "  analyse --series FILE [-o FOLDER] [--summary FILE.tsv] ...\n"
    "                            the same for several inputs, or for the numbered series FILE\n"
    "                            belongs to (its folder's files that differ only in their\n"
    "                            numbers, in numeric order: run.2 before run.10); one summary\n"
    "                            per input, in order; -o names a folder (made if its\n"
    "                            parent exists) that receives one dump per input: run.1.lmp\n"
    "                            gives run.1.lmc, dump.100 gives dump.100.lmc\n"
    "  analyse IN -o OUT.lmc --method dva,sta,dda,sva,ida,nye,nta[,cna,...] [--reference REF]\n"
    "          [-KV_...=VALUE ...]\n"
    "                            the dislocation analyses against the reference REF (DDA and\n"
    "                            IDA write the file -KV_dda_dump=... / -KV_ida_dump=...)\n"
    "  analyse IN [-o OUT.lmc] --method rdf,coordination,steinhardt,voronoi,clusters,defects\n"
    "          [--reference REF] [--table FILE.tsv] [--values FILE.tsv] [-E_...=VALUE ...]\n"
    "                            the everyday measurements: the radial distribution function\n"
    "                            (-E_rdf_cut=8 -E_rdf_bins=200), coordination numbers\n"
    "                            (-E_coord_cut=3 -E_coord_types=1,2), Steinhardt order\n"
    "                            (-E_q_degrees=4,6 -E_q_n=12 -E_q_cut=0 -E_q_wl=0 -E_q_avg=0),\n"
    "                            Voronoi cells (-E_vor_face=0), clusters (-E_cl_cut=3\n"
    "                            -E_cl_select='cna!=1') and Wigner-Seitz defects against REF;\n"
    "                            --table writes the RDF, cluster or site table (one file per\n"
    "                            method, its name before the extension when there are several;\n"
    "                            a first column \"file\" for several inputs), --values one row\n"
    "                            per input of the single numbers (defect counts, cluster\n"
    "                            count, mean values, structure classes) for a series\n"
    "          [--plot FILE.png|.svg|.pdf [--plot-size WxH] [--plot-value NAME,...]]\n"
    "                            a picture and its data (FILE.tsv): for one input the table's\n"
    "                            plot (RDF curves, cluster sizes, site occupancy) or else the\n"
    "                            histogram of the first measured column; for several inputs\n"
    "                            the single numbers over the inputs (--plot-value chooses them)\n";

// Index of a dislocation analysis by name, -1 for none.
int kavir_method(const std::string& name) {
    for (int k = 0; k < QN_KAVIR_COUNT; k++)
        if (name == QN_KAVIR_names[k]) return k;
    return -1;
}


bool is_folder(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_directory(path, ec);
}

// The dump written into folder for input: its name (after any ".gz") with
// ".lmc" in place of its ending, unless that ending is a number, as in
// LAMMPS's dump.100, which stays part of the name: dump.100.lmc.
std::string output_in_folder(const std::string& folder, const std::string& input) {
    std::string name = QB_without_gz(input);
    const size_t slash = name.find_last_of('/');
    if (slash != std::string::npos) name = name.substr(slash + 1);
    const size_t dot = name.find_last_of('.');
    if (dot != std::string::npos && dot > 0 && dot + 1 < name.size() &&
        name.find_first_not_of("0123456789", dot + 1) != std::string::npos)
        name = name.substr(0, dot);
    return folder + (folder.empty() || folder.back() == '/' ? "" : "/") + name + ".lmc";
}

bool same_file(const std::string& a, const std::string& b) {
    std::error_code ea, eb;
    const auto ca = std::filesystem::weakly_canonical(a, ea), cb = std::filesystem::weakly_canonical(b, eb);
    return ea || eb ? a == b : ca == cb;
}

// Inputs: the files named, or the numbered series of --series FILE. -o is
// optional (without it the summary is all there is): for one input it is
// OUT.lmc or a folder, for several a folder that receives one dump per
// input (see output_in_folder), never one that would replace an input. Each input gets its summary on standard
// output; --summary FILE.tsv collects all of them, rows in input order, and
// is written only when every input was analysed.
int command_analyse(int argc, const char* const* argv, FILE* out, FILE* err) {
    QN_batch_args args;
    std::string error;
    if (!QN_batch_parse(argc, argv, 2,
                        {"-o", "--method", "--status", "--reference", "--summary", "--series", "--table", "--values",
                         "--plot", "--plot-size", "--plot-value"},
                        args, error))
        return QN_batch_usage_error(err, error);
    const std::string* target = args.option("-o");
    const std::string* table = args.option("--summary");
    std::vector<std::string> inputs = args.words;
    if (const std::string* series = args.option("--series")) {
        if (!inputs.empty()) return QN_batch_usage_error(err, "analyse takes input files or --series FILE, not both");
        inputs = QN_series_of(*series);
        if (inputs.empty()) {
            std::fprintf(err, "Reading file failed\nCannot read %s\n", series->c_str());
            return 1;
        }
    }
    if (inputs.empty()) return QN_batch_usage_error(err, "analyse takes IN (or several, or --series FILE)");
    const bool to_folder = target && (inputs.size() > 1 || is_folder(*target) || target->back() == '/');
    if (target && !to_folder && !QN_batch_ends_with(*target, ".lmc"))
        return QN_batch_usage_error(err, "the analysed model is written as a custom dump (.lmc)");
    std::error_code exists_error;
    const bool target_exists = target && std::filesystem::exists(*target, exists_error);
    if (to_folder && (target_exists ? !is_folder(*target) : QN_batch_ends_with(*target, ".lmc")))
        return QN_batch_usage_error(err, "-o " + *target + " is not a folder");
    std::vector<std::string> outputs;
    for (const std::string& in : inputs) {
        if (!target) break;
        outputs.push_back(to_folder ? output_in_folder(*target, in) : *target);
        for (size_t k = 0; k + 1 < outputs.size(); k++)
            if (same_file(outputs[k], outputs.back()))
                return QN_batch_usage_error(err, "two inputs would both be written to " + outputs.back());
        for (const std::string& other : inputs)
            if (same_file(other, outputs.back()))
                return QN_batch_usage_error(err, "writing " + outputs.back() + " would replace an input");
    }
    if (table) {
        for (const std::string& in : inputs)
            if (same_file(in, *table)) return QN_batch_usage_error(err, "--summary " + *table + " would replace an input");
    }
    std::vector<std::string> methods;
    if (const std::string* list = args.option("--method")) {
        size_t start = 0;
        while (start <= list->size()) {
            const size_t end = list->find(',', start);
            methods.push_back(list->substr(start, end == std::string::npos ? std::string::npos : end - start));
            if (end == std::string::npos) break;
            start = end + 1;
        }
        for (const std::string& m : methods)
            if (m != "cna" && m != "baa" && m != "cnp" && m != "csp" && m != "lco" && m != "oim" &&
                kavir_method(m) < 0 && QN_measure_find(m) < 0)
                return QN_batch_usage_error(err, "unknown method '" + m + "'");
    }
    // The dislocation analyses' entries (-KV_…) and the measurements' (-E_…)
    // fill their own groups.
    QN_batch_args structure = args, dislocation = args, measures = args;
    structure.entries.clear();
    dislocation.entries.clear();
    measures.entries.clear();
    for (const std::string& e : args.entries)
        (e.rfind("-KV_", 0) == 0 ? dislocation : e.rfind("-E_", 0) == 0 ? measures : structure).entries.push_back(e);
    dislocation.options.clear();  // a status file belongs to the structure group
    measures.options.clear();
    bool measure[QN_M_COUNT] = {};
    for (const std::string& m : methods)
        if (QN_measure_find(m) >= 0) measure[QN_measure_find(m)] = true;
    const std::string* table_path = args.option("--table");
    const std::string* values_path = args.option("--values");
    const std::string* plot_path = args.option("--plot");
    int plot_w = 800, plot_h = 500;
    if (const std::string* size = args.option("--plot-size")) {
        char x = 0;
        char tail = 0;
        if (std::sscanf(size->c_str(), "%d%c%d%c", &plot_w, &x, &plot_h, &tail) != 3 || (x != 'x' && x != 'X'))
            return QN_batch_usage_error(err, "--plot-size takes WxH, e.g. 800x500");
    }
    if (plot_path && (plot_w < QN_PLOT_MIN_SIDE || plot_h < QN_PLOT_MIN_SIDE || plot_w > QN_PLOT_MAX_SIDE ||
                      plot_h > QN_PLOT_MAX_SIDE))
        return QN_batch_usage_error(err, QB_format("--plot-size must be %d ... %d on each side", QN_PLOT_MIN_SIDE,
                                                   QN_PLOT_MAX_SIDE));
    if (plot_path) {
        bool any = false;
        for (bool m : measure) any = any || m;
        if (!any) return QN_batch_usage_error(err, "--plot needs one of the measurements among the methods");
    }
    for (const std::string* p : {table_path, values_path, plot_path})
        if (p)
            for (const std::string& in : inputs)
                if (same_file(in, *p)) return QN_batch_usage_error(err, "writing " + *p + " would replace an input");
    // The tables of the methods that make one, and the single numbers of each input.
    std::vector<int> tabled;
    for (int k : {QN_M_RDF, QN_M_CLUSTERS, QN_M_DEFECTS})
        if (measure[k]) tabled.push_back(k);
    std::vector<std::string> tables(QN_M_COUNT);
    std::vector<QN_table> last_table(QN_M_COUNT);
    std::vector<std::string> measured_columns;
    QN_measure_series series;
    QB_tools last_model;
    std::vector<std::string> value_names;
    std::vector<std::vector<double>> value_rows;

    // A folder that does not exist yet is made (in a folder that does).
    if (to_folder && !target_exists) {
        std::error_code made;
        if (!std::filesystem::create_directory(*target, made) || made)
            return QN_batch_usage_error(err, "cannot make the folder " + *target +
                                        (made ? ": " + made.message() : std::string()));
    }
    std::string rows = QN_MORLA_tsv_header();
    for (size_t f = 0; f < inputs.size(); f++) {
        const std::string& input = inputs[f];
        if (inputs.size() > 1) std::fprintf(out, "[%d/%d] %s\n", static_cast<int>(f + 1),
                                            static_cast<int>(inputs.size()), input.c_str());
        QB_tools model;
        if (!QN_batch_read_model(input, &model, out, err)) return 1;
        QN_store_init();
        QN_analy_defaults(model.ntypes);
        QN_KAVIR_init(model.ntypes);
        bool kavir[QN_KAVIR_COUNT] = {};
        for (const std::string& m : methods) {
            if (kavir_method(m) >= 0) kavir[kavir_method(m)] = true;
            else QN_set_bit_int(QN_ANALY_GROUP, "A_" + m + "_active", 1, 0);
        }
        const int measure_group = QN_measure_defaults();
        for (int k = 0; k < QN_M_COUNT; k++)
            if (measure[k]) QN_set_bit_int(measure_group, std::string(QN_measure_kinds[k].prefix) + "active", 1, 0);
        if (const std::string* ref = args.option("--reference")) {
            QN_set_bit_char(QN_KAVIR_GROUP, "KV_ref", *ref);
            QN_set_bit_char(measure_group, "E_ws_ref", *ref);
        }
        for (auto [group, part] : {std::pair<int, const QN_batch_args*>{QN_ANALY_GROUP, &structure},
                                   std::pair<int, const QN_batch_args*>{QN_KAVIR_GROUP, &dislocation},
                                   std::pair<int, const QN_batch_args*>{measure_group, &measures}}) {
            const int filled = QN_batch_fill_group(group, *part, error);
            if (filled != 0) {
                if (filled == 2) return QN_batch_usage_error(err, error);
                std::fprintf(err, "%s\n", error.c_str());
                return 1;
            }
        }
        // The tab's order: the dislocation analyses, then the structure methods.
        int run = 0;
        for (int k = 0; k < QN_KAVIR_COUNT; k++) {
            if (!kavir[k]) continue;
            std::string message;
            if (QN_KAVIR_compute(&model, k, message) != 1) {
                std::fprintf(err, "%s\n", message.c_str());
                return 1;
            }
            std::fprintf(out, "%s\n", message.c_str());
            run++;
        }
        std::string note;
        const int structure_run = QN_MORLA_compute(&model, 0, &note);
        if (structure_run < 0) {
            std::fprintf(err, "%s\n", note.c_str());
            return 1;
        }
        if (!note.empty()) std::fprintf(out, "%s\n", note.c_str());
        run += structure_run;
        // The measurements, after the structure methods whose columns a
        // cluster selection may name.
        std::vector<QN_MORLA_row> measured_rows;
        std::vector<std::pair<std::string, double>> values;
        for (int k = 0; k < QN_M_COUNT; k++) {
            if (!QN_measure_active(k)) continue;
            QN_measure_output result;
            if (QN_measure_run(&model, k, &result) != 1) {
                std::fprintf(err, "%s\n", result.message.c_str());
                return 1;
            }
            std::fprintf(out, "%s\n", result.message.c_str());
            measured_rows.insert(measured_rows.end(), result.rows.begin(), result.rows.end());
            values.insert(values.end(), result.values.begin(), result.values.end());
            last_table[static_cast<size_t>(k)] = result.table;
            if (f == 0) measured_columns.insert(measured_columns.end(), result.columns.begin(), result.columns.end());
            if (!result.table.names.empty()) {
                std::string text = QN_table_tsv(result.table);
                if (inputs.size() > 1) {
                    // A first column naming the input: the header once, then every row.
                    std::string prefixed;
                    size_t line = 0, start = 0;
                    while (start < text.size()) {
                        const size_t end = text.find('\n', start);
                        const std::string row = text.substr(start, end - start);
                        if (line > 0 || tables[static_cast<size_t>(k)].empty())
                            prefixed += (line == 0 ? std::string("file") : input) + "\t" + row + "\n";
                        line++;
                        start = end == std::string::npos ? text.size() : end + 1;
                    }
                    text = prefixed;
                }
                tables[static_cast<size_t>(k)] += text;
            }
            run++;
        }
        std::fprintf(out, "%d analyses run\n", run);
        const std::vector<std::string> columns = QN_MORLA_active_columns();
        QN_MORLA_summary_t summary = QN_MORLA_summary(&model, &columns);
        summary.atoms = model.natoms;
        summary.rows.insert(summary.rows.end(), measured_rows.begin(), measured_rows.end());
        // The structure classes join the single numbers of the input, a
        // class without atoms as 0.
        for (const auto& v : QN_measure_class_counts(summary, columns)) values.push_back(v);
        std::vector<double> row(value_names.size(), NAN);
        for (const auto& [name, v] : values) {
            size_t at = 0;
            while (at < value_names.size() && value_names[at] != name) at++;
            if (at == value_names.size()) {
                value_names.push_back(name);
                row.push_back(NAN);
                for (std::vector<double>& earlier : value_rows) earlier.push_back(NAN);
            }
            row[at] = v;
        }
        value_rows.push_back(row);
        series.add(static_cast<double>(f), values);
        for (const std::string& line : QN_MORLA_summary_lines(summary)) std::fprintf(out, "%s\n", line.c_str());
        rows += QN_MORLA_tsv_rows(summary, input);
        if (plot_path && f + 1 == inputs.size()) last_model = model;
        if (target) {
            if (QB_dump_lmc(&model, outputs[f].c_str()) != 1) {
                std::fprintf(err, "Writing file failed\nCannot write %s\n", outputs[f].c_str());
                return 1;
            }
            std::fprintf(out, "Save file complete\n");
        }
    }
    auto write_text = [&](const std::string& path, const std::string& text, const char* what) {
        QB_output_file file(path);
        if (!file || std::fputs(text.c_str(), file.get()) < 0 || !file.commit()) {
            std::fprintf(err, "Writing file failed\nCannot write %s\n", path.c_str());
            return false;
        }
        std::fprintf(out, "%s written to %s\n", what, path.c_str());
        return true;
    };
    if (table && !write_text(*table, rows, "Summary")) return 1;
    if (table_path) {
        if (tabled.empty()) return QN_batch_usage_error(err, "--table needs rdf, clusters or defects among the methods");
        for (int k : tabled) {
            std::string path = *table_path;
            if (tabled.size() > 1) {
                const size_t dot = path.find_last_of('.');
                const size_t slash = path.find_last_of('/');
                const std::string name = QN_measure_kinds[k].name;
                path = dot != std::string::npos && (slash == std::string::npos || dot > slash)
                           ? path.substr(0, dot) + "." + name + path.substr(dot)
                           : path + "." + name;
            }
            if (!write_text(path, tables[static_cast<size_t>(k)], "Table")) return 1;
        }
    }
    if (plot_path) {
        QN_plot plot;
        std::string message;
        if (inputs.size() > 1) {
            std::vector<std::string> shown;
            if (const std::string* v = args.option("--plot-value")) {
                size_t start = 0;
                while (start <= v->size()) {
                    const size_t end = v->find(',', start);
                    shown.push_back(v->substr(start, end == std::string::npos ? std::string::npos : end - start));
                    if (end == std::string::npos) break;
                    start = end + 1;
                }
                for (const std::string& name : shown)
                    if (std::find(series.names.begin(), series.names.end(), name) == series.names.end()) {
                        std::string known;
                        for (const std::string& n : series.names) known += (known.empty() ? "" : ", ") + n;
                        std::fprintf(err, "No value \"%s\" was measured (%s)\n", name.c_str(), known.c_str());
                        return 1;
                    }
            } else if (!series.names.empty()) {
                shown = {series.names.front()};
            }
            // A numbered series is plotted over its numbers (LAMMPS's dump.*
            // names them by timestep), other inputs over their order.
            std::vector<double> numbers;
            for (const std::string& in : inputs) {
                const std::string name = in.substr(in.find_last_of('/') == std::string::npos ? 0 : in.find_last_of('/') + 1);
                const size_t last = name.find_last_of("0123456789");
                if (last == std::string::npos) break;
                size_t first = last;
                while (first > 0 && std::isdigit(static_cast<unsigned char>(name[first - 1]))) first--;
                numbers.push_back(std::strtod(name.substr(first, last - first + 1).c_str(), nullptr));
            }
            bool distinct = numbers.size() == inputs.size();
            for (size_t k = 1; k < numbers.size() && distinct; k++) distinct = numbers[k] > numbers[k - 1];
            if (distinct) {
                series.x = numbers;
                series.x_label = "Number in the file name (step)";
            } else {
                series.x_label = "Input";
            }
            plot = QN_measure_series_plot(series, shown);
        } else {
            for (int k : tabled)
                if (plot.series.empty()) plot = QN_measure_table_plot(k, last_table[static_cast<size_t>(k)]);
            if (plot.series.empty() && !measured_columns.empty()) {
                QN_atlas atlas;
                std::vector<unsigned> colours;
                if (QN_atlas_load(QN_resource_path("img/color.png").c_str(), &atlas)) colours = QN_plot_colours(atlas);
                if (!QN_measure_histogram(&last_model, measured_columns.front(), 50, 0, 0, colours, &plot, &message)) {
                    std::fprintf(err, "%s\n", message.c_str());
                    return 1;
                }
            }
        }
        const std::string data = QN_plot_data_path(*plot_path);
        if (QN_plot_write_with_table(plot, *plot_path, plot_w, plot_h, data, &message) != 1) {
            std::fprintf(err, "%s\n", message.c_str());
            return 1;
        }
        std::fprintf(out, "Plot written to %s (its data to %s)\n", plot_path->c_str(), data.c_str());
    }
    if (values_path) {
        QN_table t;
        t.names.push_back("index");
        t.names.insert(t.names.end(), value_names.begin(), value_names.end());
        t.columns.assign(t.names.size(), std::vector<double>(value_rows.size(), NAN));
        for (size_t r = 0; r < value_rows.size(); r++) {
            t.columns[0][r] = static_cast<double>(r);
            for (size_t c = 0; c < value_rows[r].size(); c++) t.columns[c + 1][r] = value_rows[r][c];
        }
        // The names of the inputs as the first column.
        std::string text = QN_table_tsv(t), named;
        size_t line = 0, start = 0;
        while (start < text.size()) {
            const size_t end = text.find('\n', start);
            named += (line == 0 ? std::string("file") : inputs[line - 1]) + "\t" + text.substr(start, end - start) + "\n";
            line++;
            start = end == std::string::npos ? text.size() : end + 1;
        }
        if (!write_text(*values_path, named, "Values")) return 1;
    }
    return 0;
}

}  // namespace

void QN_batch_register_analysis() { QN_batch_add_command("analyse", kAnalyseUsage, command_analyse); }
