#include "builders/polycrystal_editor.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "store/quelm_store.h"
#include "builders/crystal_source.h"
#include "builders/polycrystal.h"
#include "qb/qb_file.h"
#include "qb/qb_random.h"
#include "qb/qb_text.h"

const char* const QN_POLY_TITLE = "Build a poly-crystal model with given files";
const char* const QN_POLY_NO_FILE = "No File";
const char* const QN_POLY_FILL_SEED = "Please fill all seed first";

int QN_model_poly_defaults(int mode) {
    const int reset = QN_reset_group(QN_POLY_GROUP, QN_POLY_TITLE);
    if (reset < 0) return reset;
    QN_set_bit_char(QN_POLY_GROUP, "Model_", QB_format("Poly_Crystal%d", mode));
    QN_set_bit_char(QN_POLY_GROUP, "Model_Poly_file", "./Quelm_ply.input");
    QN_elements_default(QN_POLY_GROUP);
    return 1;
}

int QN_model_poly_build(QB_tools* model, const std::string& log_path, std::string& message) {
    std::string input = "./Quelm_ply.input";
    QN_scan_char_single(QN_POLY_GROUP, "Model_Poly_file", input);
    QN_poly_options options;
    options.log_path = log_path;
    QB_tools work;
    const int built = ic_xyz_poly(input.c_str(), &work, message, options);
    if (built != QN_POLY_BUILT) return built;
    if (QN_elements_apply(QN_POLY_GROUP, &work, message) != 1) return QN_POLY_REFUSED;
    *model = std::move(work);
    return built;
}

// ------------------------------------------------------------------ grains

void QN_poly_grains::add_grain(double x, double y, double z, double xh, double xk, double xl, double yh, double yk,
                               double yl, double zh, double zk, double zl) {
    grains.push_back({{x, y, z, xh, xk, xl, yh, yk, yl, zh, zk, zl}, 1});
}

void QN_poly_grains::delete_grain(int first, int last) {
    const int n = static_cast<int>(grains.size());
    first = std::max(first, 0);
    last = std::min(last, n - 1);
    if (first > last) return;
    grains.erase(grains.begin() + first, grains.begin() + last + 1);
}

void QN_poly_grains::clear_grain(int first, int last) {
    for (int i = std::max(first, 0); i <= last && i < static_cast<int>(grains.size()); i++)
        grains[static_cast<size_t>(i)].file = 0;
}

// Six draws give the directions along x, y and z (the generator's randoml).
void QN_poly_grains::add_oriented(const double p[3]) {
    double m[3][3];
    randoml(m, QB_process_random());
    add_grain(p[0], p[1], p[2], m[0][0], m[0][1], m[0][2], m[1][0], m[1][1], m[1][2], m[2][0], m[2][1], m[2][2]);
}

void QN_poly_grains::add_random(int n) {
    for (int k = 0; k < n; k++) {
        double m[3][3];
        randoml(m, QB_process_random());
        double p[3];
        for (int a = 2; a >= 0; a--) p[a] = QB_rand() / 32767.0 * box[a];  // z, y, x
        add_grain(p[0], p[1], p[2], m[0][0], m[0][1], m[0][2], m[1][0], m[1][1], m[1][2], m[2][0], m[2][1], m[2][2]);
    }
}

void QN_poly_grains::random_core(int n, int seed) {
    if (grains.empty()) QB_srand(static_cast<uint32_t>(seed));
    grains.clear();
    add_random(n);
}

double QN_poly_grains::ranave_core(int n, int seed) {
    if (grains.empty()) QB_srand(static_cast<uint32_t>(seed));
    grains.clear();
    if (n <= 0) return 0;
    const double least = std::cbrt(1.732 * box[0] * box[1] * box[2] / n);
    const bool has_volume = box[0] > 0 && box[1] > 0 && box[2] > 0;
    std::vector<double> points;
    double d = least;
    QN_spaced_points spaced(box, false);
    for (int k = 0;; k++) {
        d = has_volume ? least * std::max(0.0, 1 - 0.0001 * k) : 0;
        spaced.restart(d, n);
        points.clear();
        int rejected = 0;
        while (static_cast<int>(points.size()) < 3 * n && rejected <= 10000) {
            double p[3];
            for (int a = 0; a < 3; a++) p[a] = QB_rand() / 32767.0 * box[a];
            // Without a volume every point coincides: nothing to keep apart.
            if (!has_volume || spaced.accept(p))
                points.insert(points.end(), p, p + 3);
            else
                rejected++;
        }
        if (static_cast<int>(points.size()) == 3 * n) break;
    }
    for (int i = 0; i < n; i++) add_oriented(&points[3 * static_cast<size_t>(i)]);
    return d;
}

double QN_poly_grains::set_cell(int row, int column, double value) {
    if (row < 0 || row >= static_cast<int>(grains.size()) || column < 0 || column > 12) return value;
    QN_poly_grain& g = grains[static_cast<size_t>(row)];
    if (column > 0) {
        g.v[column - 1] = value;
        return value;
    }
    g.file = std::min(std::max(QB_to_int(value), 0), files);
    return g.file;
}

void QN_poly_grains::delete_range(int first, int last) {
    if (first >= 1 && last <= static_cast<int>(grains.size()) && last >= first) delete_grain(first - 1, last - 1);
}

void QN_poly_grains::assign_range(int first, int last, int number) {
    if (!(first >= 1 && last <= static_cast<int>(grains.size()) && last >= first)) return;
    for (int i = first - 1; i < last && i < static_cast<int>(grains.size()); i++)
        if (i >= 0) grains[static_cast<size_t>(i)].file = number;
}

void QN_poly_grains::clear_range(int first, int last) {
    if (first >= 1 && last <= static_cast<int>(grains.size()) && last >= first) clear_grain(first - 1, last - 1);
}

int QN_poly_grains::write(const std::string& path, const std::array<std::string, QN_POLY_FILES>& names,
                          std::string* bad) const {
    int highest = 0;
    for (const QN_poly_grain& g : grains) highest = std::max(highest, g.file);
    highest = std::min(highest, QN_POLY_FILES);
    std::vector<int> count(static_cast<size_t>(highest) + 1, 0);
    for (const QN_poly_grain& g : grains)
        if (g.file >= 0 && g.file <= highest) count[static_cast<size_t>(g.file)]++;
    // A name is one token of the keyword file.
    for (int i = 1; i <= highest; i++) {
        const std::string& name = names[static_cast<size_t>(i - 1)];
        bool carried = !name.empty();
        for (unsigned char c : name) carried = carried && !std::isspace(c);
        if (count[static_cast<size_t>(i)] > 0 && !carried) {
            if (bad) *bad = name;
            return -2;
        }
    }
    QB_output_file out(path);
    if (!out) return -1;
    FILE* f = out.get();
    QB_fprintf(f, "mode 3D\n");
    QB_fprintf(f, "box %lf %lf %lf\n", box[0], box[1], box[2]);
    QB_fprintf(f, "cutoff %lf\n", cutoff);
    auto line = [&](const QN_poly_grain& g) {
        QB_fprintf(f, "miller %lf %lf %lf %lf %lf %lf %lf %lf %lf %lf %lf %lf\n", g.v[0], g.v[1], g.v[2], g.v[3],
                   g.v[4], g.v[5], g.v[6], g.v[7], g.v[8], g.v[9], g.v[10], g.v[11]);
    };
    for (int i = 1; i <= highest; i++)
        for (const QN_poly_grain& g : grains)
            if (g.file == i) line(g);
    for (const QN_poly_grain& g : grains)
        if (g.file == 0) line(g);
    for (int i = 1; i <= highest; i++)
        if (count[static_cast<size_t>(i)] > 0)
            QB_fprintf(f, "build %s %d\n0 0 0\n", names[static_cast<size_t>(i - 1)].c_str(), count[static_cast<size_t>(i)]);
    return out.commit() ? 1 : -1;
}
