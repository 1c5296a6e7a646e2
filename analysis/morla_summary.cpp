#include "analysis/morla_summary.h"

#include <cmath>
#include <map>

#include "analysis/morla_driver.h"
#include "store/quelm_store.h"
#include "qb/qb_text.h"

namespace {

bool classifying(const std::string& column) {
    return column == "cna" || column == "baa" || column == "lco_s" || column == "oim_s";
}

// The n of a code 0.75 - 0.125 n, or -1 when code is not of that form (the
// codes are multiples of 1/8, exact in float and double). The n is the
// number of neighbours the method looked at (for adaptive CNA the length of
// the list, 16 for nearly every atom), not the atom's coordination, so the
// summary names every such code "other" without it.
int other_count(double code) {
    if (!std::isfinite(code)) return -1;
    const double n = (0.75 - code) / 0.125;
    const double r = std::round(n);
    if (std::fabs(n - r) > 1e-6 || r < 0 || r > 1e6) return -1;
    return static_cast<int>(r);
}

// Order of a class code in the display: fcc, bcc, hcp, "other", then
// anything else by value. Every code 0.75 - 0.125 n is equivalent to every
// other, so a map counts them as the one class "other".
struct ClassOrder {
    bool operator()(double a, double b) const {
        auto rank = [](double c, double& second) {
            if (c == 1 || c == 2 || c == 3) {
                second = c;
                return 0;
            }
            second = 0;
            if (other_count(c) >= 0) return 1;
            second = std::isnan(c) ? HUGE_VAL : c;
            return 2;
        };
        double sa = 0, sb = 0;
        const int ra = rank(a, sa), rb = rank(b, sb);
        if (ra != rb) return ra < rb;
        return sa < sb;
    }
};

double percent_of(long long count, long long atoms) { return atoms > 0 ? 100.0 * count / atoms : 0; }

QN_MORLA_row row(const std::string& column, const std::string& label, long long count, long long atoms) {
    QN_MORLA_row r;
    r.column = column;
    r.label = label;
    r.count = count;
    r.percent = percent_of(count, atoms);
    return r;
}

QN_MORLA_row valued(QN_MORLA_row r, double value) {
    r.has_value = true;
    r.value = value;
    return r;
}

void summarise_classes(const QB_tools* model, int slot, const std::string& column, QN_MORLA_summary_t& s) {
    std::map<double, long long, ClassOrder> counts;
    long long missing = 0;
    for (int i = 0; i < model->natoms; i++) {
        const double v = QB_slot_data(model, slot, i);
        if (std::isnan(v)) missing++;
        else counts[v]++;
    }
    for (const auto& [code, count] : counts) s.rows.push_back(row(column, QN_MORLA_class_name(code), count, s.atoms));
    if (missing > 0) s.rows.push_back(row(column, "no value", missing, s.atoms));
}

void summarise_values(const QB_tools* model, int slot, const std::string& column, QN_MORLA_summary_t& s) {
    const bool csp = column == "csp";
    long long n = 0, above = 0;
    double lo = 0, hi = 0, sum = 0;
    for (int i = 0; i < model->natoms; i++) {
        const double v = QB_slot_data(model, slot, i);
        if (!std::isfinite(v) || (csp && v < 0)) continue;
        if (n == 0 || v < lo) lo = v;
        if (n == 0 || v > hi) hi = v;
        sum += v;
        n++;
        if (csp && v > 1) above++;
    }
    if (n > 0) {
        s.rows.push_back(valued(row(column, "min", n, s.atoms), lo));
        s.rows.push_back(valued(row(column, "mean", n, s.atoms), sum / n));
        s.rows.push_back(valued(row(column, "max", n, s.atoms), hi));
    }
    if (n < s.atoms) s.rows.push_back(row(column, "no value", s.atoms - n, s.atoms));
    if (csp) s.rows.push_back(valued(row(column, "above 1", above, s.atoms), 1));
}

std::string number(double v) { return QB_format("%.6g", v); }

std::string percent_text(double p) { return QB_format("%.1f", p); }

}  // namespace

std::vector<std::pair<double, std::string>> QN_MORLA_classes(const std::string& column) {
    if (!classifying(column)) return {};
    return {{1, "fcc"}, {2, "bcc"}, {3, "hcp"}, {-1, "other"}};
}

std::string QN_MORLA_class_name(double code) {
    if (code == 1) return "fcc";
    if (code == 2) return "bcc";
    if (code == 3) return "hcp";
    if (other_count(code) >= 0) return "other";
    return "code " + number(code);
}

const std::vector<std::string>& QN_MORLA_result_columns() {
    static const std::vector<std::string> columns = {"cna", "baa", "cnp", "csp", "lco_s", "oim_s"};
    return columns;
}

std::vector<std::string> QN_MORLA_active_columns() {
    const char* const active[6] = {"A_cna_active", "A_baa_active", "A_cnp_active",
                                   "A_csp_active", "A_lco_active", "A_oim_active"};
    std::vector<std::string> out;
    for (int k = 0; k < 6; k++)
        if (QN_stored_int(QN_ANALY_GROUP, active[k], 0) != 0) out.push_back(QN_MORLA_result_columns()[k]);
    return out;
}

QN_MORLA_summary_t QN_MORLA_summary(const QB_tools* model, const std::vector<std::string>* columns) {
    QN_MORLA_summary_t s;
    if (!model) return s;
    s.atoms = model->natoms > 0 ? model->natoms : 0;
    for (const std::string& column : QN_MORLA_result_columns()) {
        if (columns) {
            bool wanted = false;
            for (const std::string& c : *columns) wanted |= c == column;
            if (!wanted) continue;
        }
        const int slot = QB_slot_get(model, column.c_str());
        if (slot < 0) continue;
        if (classifying(column)) summarise_classes(model, slot, column, s);
        else summarise_values(model, slot, column, s);
    }
    return s;
}

std::vector<std::string> QN_MORLA_summary_lines(const QN_MORLA_summary_t& s) {
    std::vector<std::string> lines;
    if (s.rows.empty()) return lines;
    lines.push_back(QB_format("Structure summary of %lld atoms:", s.atoms));
    std::string line, column;
    auto flush = [&]() {
        if (!line.empty()) lines.push_back(line);
        line.clear();
    };
    for (const QN_MORLA_row& r : s.rows) {
        if (r.column != column) {
            flush();
            column = r.column;
            line = column + ":";
        } else {
            line += ",";
        }
        const std::string share = QB_format("%lld (%s%%)", r.count, percent_text(r.percent).c_str());
        if (r.label == "min" || r.label == "mean" || r.label == "max")
            line += " " + r.label + " " + number(r.value);
        else if (r.percent < 0)  // a count of things, not of atoms
            line += " " + r.label + " " + std::to_string(r.count);
        else if (r.label.rfind("above ", 0) == 0)
            line += " " + share + " " + r.label;
        else
            line += " " + r.label + " " + share;
    }
    flush();
    return lines;
}

std::string QN_MORLA_tsv_header() { return "file\tcolumn\tclass\tcount\tpercent\tvalue\n"; }

std::string QN_MORLA_tsv_rows(const QN_MORLA_summary_t& s, const std::string& file) {
    std::string out;
    for (const QN_MORLA_row& r : s.rows)
        out += file + "\t" + r.column + "\t" + r.label + "\t" + std::to_string(r.count) + "\t" +
               (r.percent < 0 ? std::string() : percent_text(r.percent)) + "\t" +
               (r.has_value ? number(r.value) : std::string()) + "\n";
    return out;
}
