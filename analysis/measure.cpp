#include "analysis/measure.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "analysis/measure_pass.h"
#include "qb/qb_text.h"

namespace measure_detail {

double box_volume(const QB_tools* model) {
    if (model->triclinic != 1) return model->size[0] * model->size[1] * model->size[2];
    const double(*c)[3] = model->cell;
    const double cross[3] = {c[1][1] * c[2][2] - c[1][2] * c[2][1], c[1][2] * c[2][0] - c[1][0] * c[2][2],
                             c[1][0] * c[2][1] - c[1][1] * c[2][0]};
    return std::fabs(c[0][0] * cross[0] + c[0][1] * cross[1] + c[0][2] * cross[2]);
}

int neighbour_room(const QB_tools* model, double r) {
    const double volume = box_volume(model);
    const double density = volume > 0 && std::isfinite(volume) ? model->natoms / volume : 0.1;
    const double expected = 4.0 / 3.0 * M_PI * r * r * r * std::min(density, 1.0);
    return static_cast<int>(std::min(expected * 1.5 + 64, 1e6));
}

}  // namespace measure_detail

const std::vector<double>* QN_table::column(const std::string& name) const {
    for (size_t k = 0; k < names.size() && k < columns.size(); k++)
        if (names[k] == name) return &columns[k];
    return nullptr;
}

namespace {
void append_number(std::string& out, double v) {
    if (std::isnan(v)) {
        out += "nan";
        return;
    }
    char buf[64];
    const auto done = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, 10);
    out.append(buf, done.ptr);
}
}  // namespace

std::string QN_table_tsv(const QN_table& table) {
    std::string out;
    for (size_t k = 0; k < table.names.size(); k++) out += (k ? "\t" : "") + table.names[k];
    out += "\n";
    for (size_t row = 0; row < table.rows(); row++) {
        for (size_t k = 0; k < table.columns.size(); k++) {
            if (k) out += "\t";
            append_number(out, row < table.columns[k].size() ? table.columns[k][row] : NAN);
        }
        out += "\n";
    }
    return out;
}

int QN_measure_store(QB_tools* model, const std::string& name, const std::vector<double>& values) {
    if (!model || values.size() != static_cast<size_t>(model->natoms)) return -1;
    // A column of that name (a re-run's, or one read from a file) is reused.
    if (QB_slot_get(model, name.c_str()) < 0 && QB_add_exdouble(model, name.c_str()) < 0) return -1;
    const int slot = QB_slot_get(model, name.c_str());
    if (slot < 0) return -1;
    for (int i = 0; i < model->natoms; i++) QB_slot_save(model, slot, i, values[static_cast<size_t>(i)]);
    return 1;
}

double QN_measure_reach(const QB_tools* model) {
    double reach = std::numeric_limits<double>::infinity();
    if (!model) return reach;
    const double volume = measure_detail::box_volume(model);
    for (int k = 0; k < 3; k++) {
        if (!model->periodic[k]) continue;
        double width = model->size[k];
        if (model->triclinic == 1) {
            const double* b = model->cell[(k + 1) % 3];
            const double* c = model->cell[(k + 2) % 3];
            const double cross[3] = {b[1] * c[2] - b[2] * c[1], b[2] * c[0] - b[0] * c[2], b[0] * c[1] - b[1] * c[0]};
            const double area = std::sqrt(cross[0] * cross[0] + cross[1] * cross[1] + cross[2] * cross[2]);
            width = area > 0 ? volume / area : 0;
        }
        reach = std::min(reach, width);
    }
    return reach;
}

bool QN_measure_select(const QB_tools* model, const std::string& column, const std::string& op, double value,
                       std::vector<bool>* include, std::string* message) {
    const int slot = model ? QB_slot_get(model, column.c_str()) : -1;
    if (slot < 0) {
        if (message) *message = "The model has no column \"" + column + "\"";
        return false;
    }
    const char* const ops[6] = {"=", "!=", "<", "<=", ">", ">="};
    int which = -1;
    for (int k = 0; k < 6; k++)
        if (op == ops[k]) which = k;
    if (which < 0) {
        if (message) *message = "Unknown comparison \"" + op + "\" (one of = != < <= > >=)";
        return false;
    }
    include->assign(static_cast<size_t>(model->natoms), false);
    for (int i = 0; i < model->natoms; i++) {
        const double v = QB_slot_data(model, slot, i);
        const bool keep[6] = {v == value, v != value, v < value, v <= value, v > value, v >= value};
        (*include)[static_cast<size_t>(i)] = keep[which];
    }
    return true;
}
