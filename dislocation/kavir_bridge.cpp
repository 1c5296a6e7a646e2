#include "dislocation/kavir_bridge.h"

#include <stdlib.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <unordered_map>

#include "store/quelm_store.h"
#include "dislocation/kavir_main.h"
#include "qb/qb_file.h"
#include "qb/qb_text.h"

const char* const QN_KAVIR_names[QN_KAVIR_COUNT] = {"dva", "sta", "dda", "sva", "ida", "nye", "nta"};

namespace {

constexpr int g = QN_KAVIR_GROUP;

// Cut-off label of each page, in the tab's order.
const char* const kCutLabel[QN_KAVIR_COUNT] = {"KV_dva_cut", "KV_sta_cut", "KV_dda_cut", "KV_sva_cut",
                                               "KV_ida_cut", "KV_nta_cut", "KV_nye_cut"};

double entry(const char* label, int t, double fallback) {
    double v = fallback;
    QN_scan_double_multi(g, t, label, v);
    return v;
}

int flag(const char* label) { return QN_stored_int(g, label, 0); }
double number(const char* label) { return QN_stored_double(g, label, 0); }

// A name as the engine in its private folder must see it.
std::string absolute(const std::string& name) {
    if (name.empty() || name[0] == '/') return name;
    std::error_code ec;
    const std::filesystem::path p = std::filesystem::absolute(name, ec);
    return ec ? name : p.string();
}

}  // namespace

int QN_KAVIR_init(int ntypes) {
    int r = QN_reset_group(g, "Analy model with MORLA");
    if (r < 0) return r;
    QN_set_bit_char(g, "KAVIR_", "KAVIR_model");
    QN_set_bit_char(g, "KV_ref", "REFERENCE FILE");
    QN_set_bit_int(g, "KV_eli", 1, 0);
    for (const char* l : {"KV_sta_bx", "KV_sta_by", "KV_sta_bz"}) QN_set_bit_double(g, l, 0, 0);
    QN_set_bit_int(g, "KV_dva_eli", 1, 0);
    for (const char* l : {"KV_sta_sta", "KV_sta_def", "KV_sta_vol", "KV_sta_rot", "KV_sta_ste"}) QN_set_bit_int(g, l, 1, 0);
    const double dda[9] = {1, 0, 0, 1, 0, 0, 0, 0, 1};
    const char* const dda_labels[9] = {"KV_dda_nx", "KV_dda_ny", "KV_dda_nz", "KV_dda_bx", "KV_dda_by",
                                       "KV_dda_bz", "KV_dda_px", "KV_dda_py", "KV_dda_pz"};
    for (int k = 0; k < 9; k++) QN_set_bit_double(g, dda_labels[k], dda[k], 0);
    for (const char* l : {"KV_dda_eed", "KV_dda_edg", "KV_dda_ctr", "KV_sva_max"}) QN_set_bit_int(g, l, 0, 0);
    QN_set_bit_double(g, "KV_ida_nx", 1, 0);
    QN_set_bit_double(g, "KV_ida_ny", 0, 0);
    QN_set_bit_double(g, "KV_ida_nz", 0, 0);
    QN_set_bit_double(g, "KV_ida_l1d", 0, 0);
    QN_set_bit_double(g, "KV_ida_l1h", 0, 0);
    QN_set_bit_int(g, "KV_ida_l1t", 1, 0);
    QN_set_bit_double(g, "KV_ida_l2d", 0, 0);
    QN_set_bit_double(g, "KV_ida_l2h", 0, 0);
    QN_set_bit_int(g, "KV_ida_l2t", 0, 0);
    QN_set_bit_int(g, "KV_ida_eli", 1, 0);
    QN_set_bit_int(g, "KV_nta_mm", 0, 0);
    QN_set_bit_double(g, "KV_nta_mv", 15, 0);
    for (const char* l : {"KV_nta_dt", "KV_nta_ds", "KV_nta_nt", "KV_nta_mn"}) QN_set_bit_int(g, l, 0, 0);
    for (const char* l : {"KV_sva_bx", "KV_sva_by", "KV_sva_bz", "KV_nta_bx", "KV_nta_by", "KV_nta_bz"})
        QN_set_bit_double(g, l, 0, 0);
    QN_set_bit_int(g, "KV_dda_esr", 0, 0);
    QN_set_bit_int(g, "KV_dda_emx", 0, 0);
    QN_set_bit_char(g, "KV_dda_dump", "blank");
    QN_set_bit_char(g, "KV_ida_dump", "blank");
    auto per_type = [ntypes](const char* label, double value) {
        for (int t = 0; t < ntypes; t++) QN_set_bit_double_multi(g, t, label, value, 0);
    };
    for (const char* l : {"KV_dva_cut", "KV_sta_cut", "KV_dda_cut", "KV_sva_cut", "KV_ida_cut", "KV_nta_cut"}) per_type(l, 3);
    const char* const orient[9] = {"KV_nta_xi", "KV_nta_xj", "KV_nta_xk", "KV_nta_yi", "KV_nta_yj",
                                   "KV_nta_yk", "KV_nta_zi", "KV_nta_zj", "KV_nta_zk"};
    for (int k = 0; k < 9; k++) per_type(orient[k], k % 4 == 0 ? 1 : 0);
    for (int t = 0; t < ntypes; t++) QN_set_bit_int_multi(g, t, "KV_nta_tt", 0, 0);
    per_type("KV_nta_tc", 3);
    per_type("KV_nye_cut", 3);
    return 1;
}

std::string QN_KAVIR_command(int method, const int periodic[3], int ntypes, const std::string& result) {
    const std::string B = std::string("boundary") + (periodic[0] ? " p " : " s ") + (periodic[1] ? " p " : " s ") +
                          (periodic[2] ? " p\n" : " s\n");
    const std::string eli = flag("KV_eli") == 1 ? "eliminate_cell on\n" : "eliminate_cell off\n";
    auto cutoffs = [ntypes](const char* label) {
        std::string s;
        for (int t = 1; t <= ntypes; t++) s += QB_format("neighbor_cutoff %d %lf\n", t, entry(label, t - 1, 3));
        return s;
    };
    auto burgers = [](const char* x, const char* y, const char* z) {
        const double b[3] = {number(x), number(y), number(z)};
        return std::fabs(b[0]) + std::fabs(b[1]) + std::fabs(b[2]) > 0.1
                   ? QB_format("burgers %lf %lf %lf\n", b[0], b[1], b[2])
                   : std::string();
    };
    const std::string ref = "read_datafile_ref " + absolute(QN_stored_text(g, "KV_ref")) + "\n";
    const std::string head = "read_datafile_def INFILE.lmc\nwrite_datatype lmp\n";
    const std::string mapset = flag("KV_nta_mm") != 0 ? QB_format("mapset distance %lf\n", number("KV_nta_mv"))
                                                      : QB_format("mapset angle %lf\n", number("KV_nta_mv"));
    std::string s;
    switch (method) {
        case QN_KAVIR_DVA:
            s = "#dva\n" + head + ref + "write_datafile " + result + "\n" + B + eli + cutoffs(kCutLabel[method]) +
                (flag("KV_dva_eli") == 1 ? "eliminate_overall on\n" : "eliminate_overall off\n");
            break;
        case QN_KAVIR_IDA:
            s = "#ida\n" + head + ref + "write_datafile " + absolute(QN_stored_text(g, "KV_ida_dump")) + "\n" + B +
                cutoffs(kCutLabel[method]) + eli +
                (flag("KV_ida_eli") == 1 ? "eliminate_overall on\n" : "eliminate_overall off\n") +
                QB_format("normal_vector %lf %lf %lf\n", number("KV_ida_nx"), number("KV_ida_ny"), number("KV_ida_nz")) +
                QB_format("layer_one %lf %lf %d\n", number("KV_ida_l1d"), number("KV_ida_l1h"), flag("KV_ida_l1t")) +
                QB_format("layer_two %lf %lf %d\n", number("KV_ida_l2d"), number("KV_ida_l2h"), flag("KV_ida_l2t"));
            break;
        case QN_KAVIR_DDA:
            s = "#dda\n" + head + ref + "write_datafile " + absolute(QN_stored_text(g, "KV_dda_dump")) + "\n" + B + eli +
                cutoffs(kCutLabel[method]) +
                QB_format("dda_normal %lf %lf %lf\n", number("KV_dda_nx"), number("KV_dda_ny"), number("KV_dda_nz")) +
                QB_format("dda_burgers %lf %lf %lf\n", number("KV_dda_bx"), number("KV_dda_by"), number("KV_dda_bz")) +
                QB_format("dda_projection %lf %lf %lf\n", number("KV_dda_px"), number("KV_dda_py"), number("KV_dda_pz"));
            if (flag("KV_dda_eed") == 1) s += "EDGE\n";
            if (flag("KV_dda_esr") == 1) s += "SCREW\n";
            if (flag("KV_dda_emx") == 1) s += "MIXED\n";
            if (flag("KV_dda_edg") == 1) s += "edge_bond\n";
            s += flag("KV_dda_ctr") != 0 ? "center def\n" : "center ref\n";
            break;
        case QN_KAVIR_STA:
            s = "#sta\n" + head + ref + "write_datafile " + result + "\n" + B + eli + cutoffs(kCutLabel[method]) +
                burgers("KV_sta_bx", "KV_sta_by", "KV_sta_bz");
            if (flag("KV_sta_sta") == 1) s += "Strain\n";
            if (flag("KV_sta_def") == 1) s += "Deform\n";
            if (flag("KV_sta_vol") == 1) s += "Volume\n";
            if (flag("KV_sta_rot") == 1) s += "Rotation\n";
            if (flag("KV_sta_ste") == 1) s += "Stretch\n";
            break;
        case QN_KAVIR_SVA:
            s = "#sva\n" + head + ref + "write_datafile " + result + "\n" + B + eli + cutoffs(kCutLabel[method]) +
                burgers("KV_sva_bx", "KV_sva_by", "KV_sva_bz");
            if (flag("KV_sva_max") == 1) s += "max_sva\n";
            break;
        case QN_KAVIR_NTA:
            s = "#nta\n" + head + ref + "write_datafile " + result + "\n" + B + eli + mapset + cutoffs("KV_nye_cut") +
                burgers("KV_nta_bx", "KV_nta_by", "KV_nta_bz");
            break;
        case QN_KAVIR_NYE: {
            s = "#nye\nread_datafile_def INFILE.lmc\nwrite_datatype lmp\nwrite_datafile " + result + "\n" + B + eli +
                mapset + cutoffs("KV_nta_cut") + burgers("KV_nta_bx", "KV_nta_by", "KV_nta_bz");
            const char* const rows[3][3] = {{"KV_nta_xi", "KV_nta_xj", "KV_nta_xk"},
                                            {"KV_nta_yi", "KV_nta_yj", "KV_nta_yk"},
                                            {"KV_nta_zi", "KV_nta_zj", "KV_nta_zk"}};
            for (int t = 1; t <= ntypes; t++) {
                s += QB_format("lattice_orient %d\n", t);
                for (const auto& r : rows)
                    s += QB_format("%lf %lf %lf\n", entry(r[0], t - 1, 0), entry(r[1], t - 1, 0), entry(r[2], t - 1, 0));
            }
            const char* const kinds[3] = {"fcc", "bcc", "hcp"};
            for (int t = 1; t <= ntypes; t++) {
                int kind = 0;
                QN_scan_int_multi(g, t - 1, "KV_nta_tt", kind);
                s += QB_format("lattice_type %d %s\n", t, kinds[kind >= 0 && kind < 3 ? kind : 0]);
            }
            for (int t = 1; t <= ntypes; t++) s += QB_format("lattice_const %d %lf\n", t, entry("KV_nta_tc", t - 1, 3));
            break;
        }
        default:
            break;
    }
    return s;
}

int QN_KAVIR_compute(QB_tools* model, int method, std::string& message, std::vector<std::string>* columns) {
    message.clear();
    if (method < 0 || method >= QN_KAVIR_COUNT) return 0;
    if (model->triclinic == 1) {
        message = "Please use orthogonal system";
        return 0;
    }
    if (model->natoms <= 0) {
        message = "The model has no atoms";
        return 0;
    }
    // Names the command file must carry: chosen, and without blanks.
    auto usable = [&](const char* label, const char* what) {
        const std::string name = QN_stored_text(g, label);
        if (name.empty() || name == "REFERENCE FILE" || name == "blank") {
            message = std::string(method == QN_KAVIR_DDA ? "DDA Analysis Failed" : "Analysis Failed") + "\nno " + what +
                      " chosen";
            return false;
        }
        if (name.find_first_of(" \t\r\n") != std::string::npos) {
            message = std::string("Analysis Failed\nthe ") + what + " '" + name +
                      "' has a blank in its name, which the engine's command file cannot carry";
            return false;
        }
        return true;
    };
    if (method != QN_KAVIR_NYE && !usable("KV_ref", "reference file")) return 0;
    if (method == QN_KAVIR_DDA && !usable("KV_dda_dump", "result file")) return 0;
    if (method == QN_KAVIR_IDA && !usable("KV_ida_dump", "result file")) return 0;
    QB_private_folder dir("quelm_kavir_");
    if (dir.path.empty()) {
        message = "Analysis Failed\ncannot make a private folder for the engine";
        return 0;
    }
    const bool to_file = method == QN_KAVIR_DDA || method == QN_KAVIR_IDA;
    const std::string text = QN_KAVIR_command(method, model->periodic, model->ntypes, "donotout");
    {
        QB_output_file f(dir.path + "/INPAR");
        if (!f || std::fputs(text.c_str(), f.get()) < 0 || !f.commit()) {
            message = "Analysis Failed\ncannot write the command file";
            return 0;
        }
    }
    char* log_text = nullptr;
    size_t log_size = 0;
    FILE* log = open_memstream(&log_text, &log_size);
    KAVIR_table table;
    KAVIR_run run;
    run.dir = dir.path;
    run.inpar = "INPAR";
    run.out = log;
    run.err = nullptr;
    run.deformed = model;
    run.table = to_file ? nullptr : &table;
    run.model_columns = false;  // the engine needs ids, types and positions only
    const int status = KAVIR_main(run);
    std::fclose(log);
    const std::string engine_log = log_text ? log_text : "";
    std::free(log_text);
    std::fputs(engine_log.c_str(), stdout);
    if (status != 0) {
        // The engine's last line says why.
        std::string why = engine_log;
        while (!why.empty() && why.back() == '\n') why.pop_back();
        const size_t cut = why.rfind('\n');
        message = std::string(method == QN_KAVIR_DDA ? "DDA Analysis Failed" : "Analysis Failed") + "\n" +
                  (cut == std::string::npos ? why : why.substr(cut + 1));
        return 0;
    }
    if (to_file) {
        message = "Result written to " + QN_stored_text(g, method == QN_KAVIR_DDA ? "KV_dda_dump" : "KV_ida_dump");
        return 1;
    }
    // Result columns: those after the atom's own (type, position, extra
    // columns) merged by id.
    size_t first = 0;
    while (first < table.columns.size()) {
        const std::string& c = table.columns[first];
        if (c == "type" || c == "x" || c == "y" || c == "z" || (c.size() > 1 && c[0] == 'c' && std::isdigit(static_cast<unsigned char>(c[1]))))
            first++;
        else
            break;
    }
    const size_t w = table.columns.size();
    const std::string prefix = method == QN_KAVIR_NTA ? "nta_" : "";
    std::unordered_map<int, int> row_of;
    row_of.reserve(table.id.size());
    for (size_t r = 0; r < table.id.size(); r++) row_of.emplace(table.id[r], static_cast<int>(r));
    // The model's column of each result: its own double column, or a file
    // column of that name (as when a result was read back); an integer
    // column of that name takes the values through its slot.
    std::vector<int> slots;
    std::vector<std::vector<double>*> direct;
    for (size_t c = first; c < w; c++) QB_add_exdouble(model, (prefix + table.columns[c]).c_str());
    if (columns)
        for (size_t c = first; c < w; c++) columns->push_back(prefix + table.columns[c]);
    // (all columns added first: adding one moves the others)
    for (size_t c = first; c < w; c++) {
        const std::string name = prefix + table.columns[c];
        slots.push_back(QB_slot_get(model, name.c_str()));
        std::vector<double>* column = nullptr;
        for (size_t k = 0; k < model->exdouble_names.size() && !column; k++)
            if (model->exdouble_names[k] == name) column = &model->exdouble_data[k];
        for (size_t k = 0; k < model->channel_names.size() && !column; k++)
            if (model->channel_names[k] == name) column = &model->channel_data[k];
        if (column && column->size() < static_cast<size_t>(model->natoms)) column->resize(static_cast<size_t>(model->natoms));
        direct.push_back(column);
    }
    int missing = 0;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (int i = 0; i < model->natoms; i++) {
        const auto it = row_of.find(model->atoms[static_cast<size_t>(i)].id);
        const bool found = it != row_of.end() && model->atoms[static_cast<size_t>(i)].id >= 0;
        if (!found) missing++;
        const double* row = found ? &table.values[static_cast<size_t>(it->second) * w] : nullptr;
        for (size_t c = first; c < w; c++) {
            const double v = row ? row[c] : nan;
            if (std::vector<double>* column = direct[c - first]) (*column)[static_cast<size_t>(i)] = v;
            else QB_slot_save(model, slots[c - first], i, v);
        }
    }
    message = QB_format("%s: %zu columns added", QN_KAVIR_names[method], w - first);
    if (missing > 0) message += QB_format("; %d atoms without a result (outside the box or deleted) hold nan", missing);
    return 1;
}
