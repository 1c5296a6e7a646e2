#include "builders/crystal_source.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

#include "store/quelm_store.h"
#include "qb/qb_formats.h"

namespace {

double dot(const QN_vec& a, const QN_vec& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
QN_vec cross(const double* a, const double* b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

double det(const double m[3][3]) {
    const QN_vec c = cross(m[1], m[2]);
    return m[0][0] * c[0] + m[0][1] * c[1] + m[0][2] * c[2];
}

// Rows of the inverse of the matrix whose columns are a, b, c: n = inv * p.
void inverse_columns(const double cell[3][3], double inv[3][3]) {
    const double v = det(cell);
    for (int e = 0; e < 3; e++) {
        const QN_vec n = cross(cell[(e + 1) % 3], cell[(e + 2) % 3]);
        for (int k = 0; k < 3; k++) inv[e][k] = n[k] / v;
    }
}

}  // namespace

bool QN_refuse(std::string* message, const std::string& why) {
    if (message) *message = "Building model error: " + why;
    return false;
}

int QN_refused(std::string* message, const std::string& why) {
    QN_refuse(message, why);
    return -1;
}

int QN_read_builder_model(const std::string& path, QB_tools& s, std::string& message) {
    std::string reason;
    const int code = QB_read_file(&s, path.c_str(), &reason);
    if (code % 2 == 0) {
        message = "Building model error: cannot read " + path + (reason.empty() ? "" : ": " + reason);
        return -1;
    }
    double cell[3][3];
    for (int e = 0; e < 3; e++)
        for (int k = 0; k < 3; k++) cell[e][k] = s.triclinic == 1 ? s.cell[e][k] : (e == k ? s.size[e] : 0);
    double longest = 0;
    for (const auto& row : cell) longest = std::max(longest, std::sqrt(row[0] * row[0] + row[1] * row[1] + row[2] * row[2]));
    if (!(std::fabs(det(cell)) > 1e-9 * longest * longest * longest) || !std::isfinite(det(cell))) {
        message = "Building model error: the box of " + path + " has no volume";
        return -1;
    }
    if (std::none_of(s.atoms.begin(), s.atoms.end(), [](const atomdata& a) { return a.id > 0; })) {
        message = "Building model error: " + path + " holds no atoms";
        return -1;
    }
    return 1;
}

int QN_read_crystal(const std::string& path, QN_crystal& c, std::string& message) {
    QB_tools s;
    if (QN_read_builder_model(path, s, message) != 1) return -1;
    c = QN_crystal();
    c.triclinic = s.triclinic == 1;
    for (int e = 0; e < 3; e++)
        for (int k = 0; k < 3; k++) c.cell[e][k] = c.triclinic ? s.cell[e][k] : (e == k ? s.size[e] : 0);
    for (int k = 0; k < 3; k++) c.origin[k] = c.triclinic ? s.origin[k] : s.lo[k];
    bool found = false;
    for (const atomdata& a : s.atoms) {
        if (a.id <= 0) continue;
        if (!found) {
            c.first = {a.x, a.y, a.z};
            found = true;
        }
        c.sites.push_back({a.x - c.first[0], a.y - c.first[1], a.z - c.first[2]});
        c.types.push_back(a.type);
    }
    c.ntypes = s.ntypes;
    c.names = QN_type_names(s);
    return 1;
}

std::vector<std::string> QN_type_names(const QB_tools& model) {
    std::vector<std::string> names(static_cast<size_t>(std::max(model.ntypes, 0)));
    for (size_t k = 0; k < names.size(); k++) names[k] = QB_elename(&model, static_cast<int>(k));
    return names;
}

void QN_name_types(QB_tools* model, const std::vector<std::string>& names, int shift) {
    for (size_t k = 0; k < names.size(); k++)
        if (!names[k].empty()) QB_save_elename(model, shift + static_cast<int>(k), names[k].c_str());
}

const char* const QN_ELEMENTS_KEY = "M_elements";

void QN_elements_default(int group) { QN_set_bit_char(group, QN_ELEMENTS_KEY, ""); }

int QN_elements_apply(int group, QB_tools* model, std::string& message) {
    std::string list;
    if (!QN_scan_char_single(group, QN_ELEMENTS_KEY, list) || QB_split_elenames(list).empty()) return 1;
    std::string why;
    if (QB_set_elenames(model, list, &why) != 1) return QN_refused(&message, "Elements: " + why);
    return 1;
}

namespace {
// The difference of site l's image n from site k, as the distance search
// of every pair computes it.
QN_vec image_difference(const QN_crystal& c, size_t k, size_t l, int i, int j, int m) {
    QN_vec d;
    for (int a = 0; a < 3; a++)
        d[a] = c.sites[l][a] - c.sites[k][a] + i * c.cell[0][a] + j * c.cell[1][a] + m * c.cell[2][a];
    return d;
}
}  // namespace

// The shortest distance between two sites, over the images two cells away in
// every direction. Any pair bounds it, so only the images within that bound
// of the sites' own box take part; they are binned by the bound and each
// site looks at the bins around it. The distances are computed as a search
// over every pair computes them, so the answer is the same to the last bit.
double QN_crystal_nearest(const QN_crystal& c) {
    const size_t S = c.sites.size();
    double bound = 1e300;
    for (size_t l = 0; l < S; l++)
        for (int i = -2; i <= 2; i++)
            for (int j = -2; j <= 2; j++)
                for (int m = -2; m <= 2; m++) {
                    const QN_vec d = image_difference(c, 0, l, i, j, m);
                    const double r = std::sqrt(dot(d, d));
                    if (r > 1e-6) bound = std::min(bound, r);
                }
    if (S < 2 || !(bound < 1e300)) return bound;
    QN_vec lo = c.sites[0], hi = c.sites[0];
    for (const QN_vec& s : c.sites)
        for (int a = 0; a < 3; a++) lo[a] = std::min(lo[a], s[a]), hi[a] = std::max(hi[a], s[a]);
    struct Image {
        QN_vec p;
        int l, i, j, m;
    };
    std::vector<Image> images;
    for (size_t l = 0; l < S; l++)
        for (int i = -2; i <= 2; i++)
            for (int j = -2; j <= 2; j++)
                for (int m = -2; m <= 2; m++) {
                    QN_vec p;
                    bool near = true;
                    for (int a = 0; a < 3; a++) {
                        p[a] = c.sites[l][a] + i * c.cell[0][a] + j * c.cell[1][a] + m * c.cell[2][a];
                        near = near && p[a] >= lo[a] - bound * 1.01 && p[a] <= hi[a] + bound * 1.01;
                    }
                    if (near) images.push_back({p, static_cast<int>(l), i, j, m});
                }
    // Bins at least the bound wide, no more of them than a few per image.
    double width = bound * 1.01;
    int n[3];
    for (;;) {
        double count = 1;
        for (int a = 0; a < 3; a++) {
            n[a] = std::max(1, static_cast<int>((hi[a] - lo[a] + 2 * bound * 1.01) / width));
            count *= n[a];
        }
        if (count <= 4.0 * static_cast<double>(images.size()) + 64) break;
        width *= 2;
    }
    auto bin_of = [&](const QN_vec& p, int a) {
        const int b = static_cast<int>((p[a] - (lo[a] - bound * 1.01)) / width);
        return std::min(std::max(b, 0), n[a] - 1);
    };
    std::vector<std::vector<int>> bins(static_cast<size_t>(n[0]) * n[1] * n[2]);
    for (size_t q = 0; q < images.size(); q++) {
        const QN_vec& p = images[q].p;
        bins[(static_cast<size_t>(bin_of(p, 0)) * n[1] + bin_of(p, 1)) * n[2] + bin_of(p, 2)].push_back(static_cast<int>(q));
    }
    double best = bound;
    for (size_t k = 0; k < S; k++) {
        const int b[3] = {bin_of(c.sites[k], 0), bin_of(c.sites[k], 1), bin_of(c.sites[k], 2)};
        for (int x = std::max(b[0] - 1, 0); x <= std::min(b[0] + 1, n[0] - 1); x++)
            for (int y = std::max(b[1] - 1, 0); y <= std::min(b[1] + 1, n[1] - 1); y++)
                for (int z = std::max(b[2] - 1, 0); z <= std::min(b[2] + 1, n[2] - 1); z++)
                    for (int q : bins[(static_cast<size_t>(x) * n[1] + y) * n[2] + z]) {
                        const Image& im = images[static_cast<size_t>(q)];
                        const QN_vec d = image_difference(c, k, static_cast<size_t>(im.l), im.i, im.j, im.m);
                        const double r = std::sqrt(dot(d, d));
                        if (r > 1e-6) best = std::min(best, r);
                    }
    }
    return best;
}

void QN_line_stretch::limit(double along, double room) {
    if (along > 0)
        t1 = std::min(t1, room / along);
    else if (along < 0)
        t0 = std::max(t0, room / along);
    else if (room < 0)
        empty = true;
}

void QN_line_stretch::box(const QN_vec& base, const QN_vec& dir, const QN_vec& lo, const QN_vec& hi) {
    for (int a = 0; a < 3 && !empty; a++) {
        limit(dir[a], hi[a] - base[a]);
        limit(-dir[a], base[a] - lo[a]);
    }
}

void QN_line_stretch::steps(long& lo, long& hi) const {
    lo = static_cast<long>(std::ceil(std::max(t0, -1e15))) - 1;
    hi = static_cast<long>(std::floor(std::min(t1, 1e15))) + 1;
}

void QN_fill_crystal(const QN_crystal& c, const QN_fill_shape& shape, QB_atom_array& out) {
    double inv[3][3];
    inverse_columns(c.cell, inv);
    const size_t K = c.sites.size();
    // Index ranges over the corners of the box, per site.
    long range[2][2] = {{LONG_MAX, LONG_MIN}, {LONG_MAX, LONG_MIN}};
    for (size_t k = 0; k < K; k++)
        for (int corner = 0; corner < 8; corner++) {
            const QN_vec p{(corner & 1 ? shape.hi[0] : shape.lo[0]) - c.sites[k][0],
                           (corner & 2 ? shape.hi[1] : shape.lo[1]) - c.sites[k][1],
                           (corner & 4 ? shape.hi[2] : shape.lo[2]) - c.sites[k][2]};
            for (int e = 0; e < 2; e++) {
                const double n = inv[e][0] * p[0] + inv[e][1] * p[1] + inv[e][2] * p[2];
                range[e][0] = std::min(range[e][0], static_cast<long>(std::floor(n)) - 1);
                range[e][1] = std::max(range[e][1], static_cast<long>(std::ceil(n)) + 1);
            }
        }
    const QN_vec dir{c.cell[2][0], c.cell[2][1], c.cell[2][2]};
    for (long na = range[0][0]; na <= range[0][1]; na++)
        for (long nb = range[1][0]; nb <= range[1][1]; nb++)
            for (size_t k = 0; k < K; k++) {
                QN_vec base;
                for (int a = 0; a < 3; a++) base[a] = na * c.cell[0][a] + nb * c.cell[1][a] + c.sites[k][a];
                QN_line_stretch line;
                line.box(base, dir, shape.lo, shape.hi);
                for (const auto& p : shape.planes) line.limit(dot(p.n, dir), p.d - dot(p.n, base));
                if (shape.radius >= 0 && !line.empty) {
                    // |P(base + t dir)|^2 <= r^2 over the radial axes.
                    double A = 0, B = 0, C = -shape.radius * shape.radius;
                    for (int a = 0; a < 3; a++) {
                        if (!shape.radial[a]) continue;
                        A += dir[a] * dir[a];
                        B += 2 * dir[a] * base[a];
                        C += base[a] * base[a];
                    }
                    if (A > 0) {
                        const double disc = B * B - 4 * A * C;
                        if (disc < 0) {
                            line.empty = true;
                        } else {
                            const double root = std::sqrt(disc);
                            line.t0 = std::max(line.t0, (-B - root) / (2 * A));
                            line.t1 = std::min(line.t1, (-B + root) / (2 * A));
                        }
                    } else if (C > 0) {
                        line.empty = true;
                    }
                }
                if (!line.open()) continue;
                long lo = 0, hi = 0;
                line.steps(lo, hi);
                auto point = [&](long n) {
                    return QN_vec{base[0] + n * dir[0], base[1] + n * dir[1], base[2] + n * dir[2]};
                };
                if (shape.convex) {
                    while (lo <= hi && !shape.keep(point(lo))) lo++;
                    while (hi >= lo && !shape.keep(point(hi))) hi--;
                }
                for (long n = lo; n <= hi; n++) {
                    const QN_vec p = point(n);
                    if (!shape.convex && !shape.keep(p)) continue;
                    out.push_back({0, c.types[k], p[0], p[1], p[2], 0});
                }
            }
}

void QN_padded_box(QB_tools* s, const bool axes[3]) {
    for (int a = 0; a < 3; a++) {
        if (!axes[a]) continue;
        double low = 0, high = 0;
        for (int i = 0; i < s->natoms; i++) {
            const atomdata& at = s->atoms[static_cast<size_t>(i)];
            const double v = a == 0 ? at.x : a == 1 ? at.y : at.z;
            if (v > high) high = v + 0.2;
            if (v < low) low = v - 0.2;
        }
        s->lo[a] = s->origin[a] = low;
        s->size[a] = high - low;
    }
    for (int e = 0; e < 3; e++)
        for (int k = 0; k < 3; k++) s->cell[e][k] = e == k ? s->size[e] : 0;
    s->triclinic = 0;
}

void QN_number_atoms(QB_tools* s, int ntypes) {
    s->natoms = static_cast<int>(s->atoms.size());
    int top = ntypes;
    for (int i = 0; i < s->natoms; i++) {
        s->atoms[static_cast<size_t>(i)].id = i + 1;
        top = std::max(top, static_cast<int>(s->atoms[static_cast<size_t>(i)].type));
    }
    s->ntypes = top;
    QB_update_extra(s);
}
