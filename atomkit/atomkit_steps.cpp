// The runs of the Atomkit steps and of a whole recipe.
#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "atomkit/atomkit.h"
#include "qb/qb_formats.h"
#include "qb/qb_progress.h"
#include "qb/qb_random.h"
#include "qb/qb_region.h"
#include "qb/qb_text.h"

namespace {

using Vec = std::array<double, 3>;

double dot(const double* a, const double* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
void cross(const double* a, const double* b, double* out) {
    out[0] = a[1] * b[2] - a[2] * b[1];
    out[1] = a[2] * b[0] - a[0] * b[2];
    out[2] = a[0] * b[1] - a[1] * b[0];
}
double norm(const double* a) { return std::sqrt(dot(a, a)); }

double det3(const double m[3][3]) {
    double c[3];
    cross(m[1], m[2], c);
    return dot(m[0], c);
}

// A record whose cell was never set (an orthogonal box known only by lo and
// size) gets the cell of that box.
void ensure_cell(QB_tools* s) {
    bool zero = true;
    for (const auto& row : s->cell)
        for (double v : row) zero = zero && v == 0;
    if (!zero || s->triclinic == 1) return;
    for (int a = 0; a < 3; a++) {
        s->origin[a] = s->lo[a];
        for (int b = 0; b < 3; b++) s->cell[a][b] = a == b ? s->size[a] : 0;
    }
}

// lo and size from origin and the cell vectors.
void recompute_box(QB_tools* s) {
    for (int a = 0; a < 3; a++) {
        double low = 0, span = 0;
        for (int e = 0; e < 3; e++) {
            if (s->cell[e][a] < 0) low += s->cell[e][a];
            span += std::fabs(s->cell[e][a]);
        }
        s->lo[a] = s->origin[a] + low;
        s->size[a] = span;
    }
}

// A vector given in box units.
Vec box_vector(const QB_tools* s, double fx, double fy, double fz) {
    if (s->triclinic == 1) {
        Vec v;
        for (int a = 0; a < 3; a++) v[a] = fx * s->cell[0][a] + fy * s->cell[1][a] + fz * s->cell[2][a];
        return v;
    }
    return {fx * s->size[0], fy * s->size[1], fz * s->size[2]};
}

bool in_region(QB_tools* s, int i, int region) {
    const atomdata& a = s->atoms[static_cast<size_t>(i)];
    return a.id > 0 && QB_region_extract(i, a, region);
}

// Live atoms of a region, in atom order.
std::vector<int> members(QB_tools* s, int region) {
    std::vector<int> out;
    for (int i = 0; i < s->natoms; i++)
        if (in_region(s, i, region)) out.push_back(i);
    return out;
}

int live_atoms(const QB_tools* s) {
    int n = 0;
    for (const auto& a : s->atoms) n += a.id > 0;
    return n;
}

double random_unit(QB_random& g) { return g.next() / 32767.0; }

// Every pair of live atoms closer than r, through the periodic box: a grid
// of bins over the cell in fractional coordinates, no cap on the count.
class Neighbours {
public:
    Neighbours(const QB_tools* s, double r) : s_(s), r_(r) {
        double cell[3][3];
        std::memcpy(cell, s->cell, sizeof cell);
        bool usable = std::fabs(det3(cell)) > 0;
        if (s->triclinic != 1) {
            for (int a = 0; a < 3; a++)
                for (int b = 0; b < 3; b++) cell[a][b] = a == b ? s->size[a] : 0;
            usable = s->size[0] > 0 && s->size[1] > 0 && s->size[2] > 0;
        }
        std::memcpy(cell_, cell, sizeof cell_);
        const double* o = s->triclinic == 1 ? s->origin : s->lo;
        std::memcpy(origin_, o, sizeof origin_);
        const double volume = usable ? std::fabs(det3(cell)) : 0;
        // Inverse rows: (b x c), (c x a), (a x b) over the volume.
        for (int e = 0; e < 3; e++) {
            double n[3];
            cross(cell[(e + 1) % 3], cell[(e + 2) % 3], n);
            for (int a = 0; a < 3; a++) inverse_[e][a] = usable ? n[a] / det3(cell) : 0;
            // Thickness of the cell across face e, and bins at least r wide.
            const double thick = usable ? volume / norm(n) : 0;
            periodic_[e] = usable && s->periodic[e] != 0;
            count_[e] = usable && r > 0 ? std::max(1, static_cast<int>(thick / r)) : 1;
        }
        single_image_ = true;
        for (int e = 0; e < 3; e++) {
            double nrm[3];
            cross(cell[(e + 1) % 3], cell[(e + 2) % 3], nrm);
            single_image_ = single_image_ && (!periodic_[e] || (usable && volume / norm(nrm) >= 3 * r));
        }
        const int n = std::max(1, live_atoms(s));
        while (static_cast<double>(count_[0]) * count_[1] * count_[2] > 2.0 * n + 27) {
            const int widest = static_cast<int>(std::max_element(count_, count_ + 3) - count_);
            count_[widest] = std::max(1, count_[widest] / 2);
        }
        // Bins of the live atoms, in atom order.
        frac_.resize(s->atoms.size());
        std::vector<int> bin_of(s->atoms.size(), -1);
        std::vector<int> fill(static_cast<size_t>(count_[0]) * count_[1] * count_[2] + 1, 0);
        for (size_t i = 0; i < s->atoms.size(); i++) {
            if (s->atoms[i].id <= 0) continue;
            frac_[i] = fraction(s->atoms[i]);
            bin_of[i] = bin(frac_[i]);
            fill[static_cast<size_t>(bin_of[i]) + 1]++;
        }
        std::partial_sum(fill.begin(), fill.end(), fill.begin());
        start_ = fill;
        sorted_.resize(static_cast<size_t>(fill.back()));
        for (size_t i = 0; i < s->atoms.size(); i++)
            if (bin_of[i] >= 0) sorted_[static_cast<size_t>(fill[static_cast<size_t>(bin_of[i])]++)] = static_cast<int>(i);
    }

    // Calls f(j) for every live atom j != i closer than r to atom i (any
    // periodic image); f returns false to stop.
    template <class F>
    void each(int i, F f) const {
        const Vec& fi = frac_[static_cast<size_t>(i)];
        int c[3], span[3][3], counts[3];
        for (int a = 0; a < 3; a++) {
            c[a] = coordinate_bin(fi[a], a);
            counts[a] = 0;
            for (int d = -1; d <= 1; d++) {
                int v = c[a] + d;
                if (v < 0 || v >= count_[a]) {
                    if (!periodic_[a]) continue;
                    v = (v + count_[a]) % count_[a];
                }
                bool seen = false;
                for (int k = 0; k < counts[a]; k++) seen = seen || span[a][k] == v;
                if (!seen) span[a][counts[a]++] = v;
            }
        }
        const double r2 = r_ * r_;
        for (int x = 0; x < counts[0]; x++)
            for (int y = 0; y < counts[1]; y++)
                for (int z = 0; z < counts[2]; z++) {
                    const size_t b = static_cast<size_t>((span[0][x] * count_[1] + span[1][y]) * count_[2] + span[2][z]);
                    for (int k = start_[b]; k < start_[b + 1]; k++) {
                        const int j = sorted_[static_cast<size_t>(k)];
                        if (j == i || s_->atoms[static_cast<size_t>(j)].id <= 0) continue;
                        if (distance2(fi, frac_[static_cast<size_t>(j)]) < r2 && !f(j)) return;
                    }
                }
    }

private:
    Vec fraction(const atomdata& a) const {
        const double d[3] = {a.x - origin_[0], a.y - origin_[1], a.z - origin_[2]};
        Vec f;
        for (int e = 0; e < 3; e++) {
            f[e] = dot(inverse_[e], d);
            if (periodic_[e]) f[e] -= std::floor(f[e]);
        }
        return f;
    }
    int coordinate_bin(double f, int a) const {
        return std::min(count_[a] - 1, std::max(0, static_cast<int>(std::floor(f * count_[a]))));
    }
    int bin(const Vec& f) const {
        return (coordinate_bin(f[0], 0) * count_[1] + coordinate_bin(f[1], 1)) * count_[2] + coordinate_bin(f[2], 2);
    }
    // Squared distance of the nearest periodic image.
    double distance2(const Vec& a, const Vec& b) const {
        if (single_image_) {
            double df[3];
            for (int e = 0; e < 3; e++) {
                df[e] = b[e] - a[e];
                if (periodic_[e]) df[e] -= std::round(df[e]);
            }
            double d2 = 0;
            for (int k = 0; k < 3; k++) {
                const double x = df[0] * cell_[0][k] + df[1] * cell_[1][k] + df[2] * cell_[2][k];
                d2 += x * x;
            }
            return d2;
        }
        double best = 1e300;
        for (int u = -1; u <= 1; u++)
            for (int v = -1; v <= 1; v++)
                for (int w = -1; w <= 1; w++) {
                    const int shift[3] = {u, v, w};
                    bool skip = false;
                    double df[3];
                    for (int e = 0; e < 3; e++) {
                        skip = skip || (shift[e] != 0 && !periodic_[e]);
                        df[e] = b[e] - a[e] + shift[e];
                    }
                    if (skip) continue;
                    double d2 = 0;
                    for (int k = 0; k < 3; k++) {
                        const double x = df[0] * cell_[0][k] + df[1] * cell_[1][k] + df[2] * cell_[2][k];
                        d2 += x * x;
                    }
                    best = std::min(best, d2);
                }
        return best;
    }

    const QB_tools* s_;
    double r_;
    double cell_[3][3], inverse_[3][3], origin_[3];
    bool periodic_[3];
    bool single_image_ = false;  // the cell is at least 3 r thick across every periodic face
    int count_[3];
    std::vector<Vec> frac_;
    std::vector<int> start_, sorted_;
};

// The run of one step; false with the reason when it cannot run.
using Step = bool (*)(QB_tools*, const AK_step_item&, std::string&);

bool add_atom(QB_tools* s, const AK_step_item& step, std::string& why) {
    const AK_step_add& p = step.add;
    Vec at{p.x, p.y, p.z};
    if (p.unit == 1) {
        ensure_cell(s);
        at = box_vector(s, p.x, p.y, p.z);
        const double* o = s->triclinic == 1 ? s->origin : s->lo;
        for (int a = 0; a < 3; a++) at[a] += o[a];
    }
    if (QB_create_atom(s, std::max(1, p.mode), at[0], at[1], at[2]) < 0) {
        why = "no room for another atom";
        return false;
    }
    return true;
}

std::string resolved(const std::string& path) {
    if (path.empty() || path[0] == '/' || AK_recipe_folder.empty()) return path;
    return AK_recipe_folder + path;
}

bool fill_atoms(QB_tools* s, const AK_step_item& step, std::string& why) {
    const AK_step_add& p = step.add;
    if (p.file == "No File") {
        why = "no file chosen";
        return false;
    }
    QB_tools part;
    std::string reason;
    const std::string path = resolved(p.file);
    const int code = QB_read_file(&part, path.c_str(), &reason);
    if (code % 2 == 0) {
        why = "cannot read " + path + (reason.empty() ? "" : ": " + reason);
        return false;
    }
    ensure_cell(s);
    Vec target{p.x, p.y, p.z};
    if (p.unit == 1) target = box_vector(s, p.x, p.y, p.z);
    Vec from{part.origin[0], part.origin[1], part.origin[2]};
    if (p.mode == 1) {
        from = {0, 0, 0};
        int n = 0;
        for (const auto& a : part.atoms)
            if (a.id > 0) {
                from[0] += a.x, from[1] += a.y, from[2] += a.z;
                n++;
            }
        if (n == 0) return true;  // nothing to add
        for (double& v : from) v /= n;
    }
    QB_move_box(&part, target[0] - from[0], target[1] - from[1], target[2] - from[2]);
    QB_combine_system(s, &part);
    return true;
}

bool create_box(QB_tools* s, const AK_step_item& step, std::string& why) {
    const auto& m = step.deform.m;
    if (!(std::fabs(det3(m)) > 1e-12)) {
        why = "the cell has no volume";
        return false;
    }
    std::memcpy(s->cell, m, sizeof s->cell);
    for (double& o : s->origin) o = 0;
    recompute_box(s);
    if (m[0][1] != 0 || m[0][2] != 0 || m[1][0] != 0 || m[1][2] != 0 || m[2][0] != 0 || m[2][1] != 0) s->triclinic = 1;
    return true;
}

bool deform(QB_tools* s, const AK_step_item& step, std::string& why) {
    const auto& M = step.deform.m;
    const double d = det3(M);
    const bool affine = step.kind != AK_DEFORM;
    if (affine ? !(d > 1e-12) : !(std::fabs(d) > 1e-12)) {
        why = affine ? "the strain collapses the cell" : "the deformation matrix is singular";
        return false;
    }
    ensure_cell(s);
    if (M[0][1] != 0 || M[0][2] != 0 || M[1][0] != 0 || M[1][2] != 0 || M[2][0] != 0 || M[2][1] != 0) s->triclinic = 1;
    if (step.deform.remap != 0)
        for (auto& v : s->cell) {
            const double row[3] = {v[0], v[1], v[2]};
            for (int j = 0; j < 3; j++) v[j] = row[0] * M[0][j] + row[1] * M[1][j] + row[2] * M[2][j];
        }
    if (step.deform.remap != 1) {
        const int region = affine ? 0 : step.region;
        for (int i : members(s, region)) {
            atomdata& a = s->atoms[static_cast<size_t>(i)];
            const double p[3] = {a.x - s->origin[0], a.y - s->origin[1], a.z - s->origin[2]};
            double q[3];
            for (int j = 0; j < 3; j++) q[j] = p[0] * M[0][j] + p[1] * M[1][j] + p[2] * M[2][j];
            a.x = s->origin[0] + q[0];
            a.y = s->origin[1] + q[1];
            a.z = s->origin[2] + q[2];
        }
    }
    recompute_box(s);
    return true;
}

bool delete_atoms(QB_tools* s, const AK_step_item& step, std::string&) {
    for (int i : members(s, step.region)) QB_delete_atom(s, i);
    return true;
}

bool displace(QB_tools* s, const AK_step_item& step, std::string&) {
    const AK_step_disterb& p = step.disterb;
    QB_random g;
    g.seed(static_cast<uint32_t>(p.seed));
    for (int i : members(s, step.region)) {
        atomdata& a = s->atoms[static_cast<size_t>(i)];
        if (p.mode == 0) {
            const double k = p.distance * 2 * 0.8164966013401402;
            a.x += (0.5 - random_unit(g)) * k;
            a.y += (0.5 - random_unit(g)) * k;
            a.z += (0.5 - random_unit(g)) * k;
        } else if (p.mode == 1) {
            const double u[3] = {0.5 - random_unit(g), 0.5 - random_unit(g), 0.5 - random_unit(g)};
            const double len = norm(u);
            if (!(len > 0)) continue;
            const double k = 2 * p.distance / len;
            a.x += u[0] * k;
            a.y += u[1] * k;
            a.z += u[2] * k;
        } else {
            const double k = (0.5 - random_unit(g)) * p.distance;
            a.x += k * p.dx;
            a.y += k * p.dy;
            a.z += k * p.dz;
        }
    }
    return true;
}

bool duplicate(QB_tools* s, const AK_step_item& step, std::string& why) {
    const AK_step_duplicate& p = step.duplicate;
    if (p.nx < 1 || p.ny < 1 || p.nz < 1) return true;
    ensure_cell(s);
    if (QB_duplicate(s, p.nx, p.ny, p.nz) < 0) {
        why = "too many atoms for one model";
        return false;
    }
    return true;
}

bool extend(QB_tools* s, const AK_step_item& step, std::string&) {
    if (s->natoms == 0) return true;
    const int type = std::max(1, step.changetype.type);
    const double radius = step.changetype.rate;
    s->ntypes = std::max(s->ntypes, type);
    std::vector<char> seed(static_cast<size_t>(s->natoms), 0);
    for (int i : members(s, step.changetype.seed)) seed[static_cast<size_t>(i)] = 1;
    std::vector<char> candidate(seed);
    if (radius != 0) {
        const Neighbours near(s, std::fabs(radius));
        for (int i = 0; i < s->natoms; i++) {
            if (s->atoms[static_cast<size_t>(i)].id <= 0) continue;
            if (radius > 0 && !seed[static_cast<size_t>(i)]) {
                near.each(i, [&](int j) {
                    if (seed[static_cast<size_t>(j)]) candidate[static_cast<size_t>(i)] = 1;
                    return !candidate[static_cast<size_t>(i)];
                });
            } else if (radius < 0 && seed[static_cast<size_t>(i)]) {
                near.each(i, [&](int j) {
                    if (!seed[static_cast<size_t>(j)]) candidate[static_cast<size_t>(i)] = 0;
                    return candidate[static_cast<size_t>(i)] != 0;
                });
            }
        }
    }
    for (int i : members(s, step.region))
        if (candidate[static_cast<size_t>(i)]) s->atoms[static_cast<size_t>(i)].type = type;
    return true;
}

bool mirror(QB_tools* s, const AK_step_item& step, std::string& why) {
    const AK_step_rotate& p = step.rotate;
    const double n[3] = {p.dx, p.dy, p.dz};
    const double len = norm(n);
    if (!(len > 0)) {
        why = "the mirror normal is zero";
        return false;
    }
    const double u[3] = {n[0] / len, n[1] / len, n[2] / len};
    for (int i : members(s, step.region)) {
        const atomdata a = s->atoms[static_cast<size_t>(i)];
        const double k = 2 * (u[0] * a.x + u[1] * a.y + u[2] * a.z - p.angle);
        const double q[3] = {a.x - k * u[0], a.y - k * u[1], a.z - k * u[2]};
        if (p.remap == 1) {
            if (QB_create_atom(s, a.type, q[0], q[1], q[2]) < 0) {
                why = "no room for another atom";
                return false;
            }
        } else {
            atomdata& b = s->atoms[static_cast<size_t>(i)];
            b.x = q[0], b.y = q[1], b.z = q[2];
        }
    }
    return true;
}

bool move_atoms(QB_tools* s, const AK_step_item& step, std::string&) {
    const AK_step_move& p = step.move;
    ensure_cell(s);
    Vec v = p.unit == 1 ? box_vector(s, p.x, p.y, p.z) : Vec{p.x, p.y, p.z};
    const std::vector<int> moving = members(s, step.region);
    if (p.mode == 1) {
        if (moving.empty()) return true;
        Vec centre{0, 0, 0};
        for (int i : moving) {
            centre[0] += s->atoms[static_cast<size_t>(i)].x;
            centre[1] += s->atoms[static_cast<size_t>(i)].y;
            centre[2] += s->atoms[static_cast<size_t>(i)].z;
        }
        for (int a = 0; a < 3; a++) v[a] -= centre[a] / moving.size();
    }
    for (int i : moving) {
        atomdata& a = s->atoms[static_cast<size_t>(i)];
        a.x += v[0], a.y += v[1], a.z += v[2];
    }
    return true;
}

bool remove_duplicate(QB_tools* s, const AK_step_item& step, std::string&) {
    const double radius = step.changetype.rate;
    if (!(radius > 0)) return true;
    const Neighbours near(s, radius);
    for (int i : members(s, step.region)) {
        bool doubled = false;
        near.each(i, [&](int j) {
            doubled = j < i;
            return !doubled;
        });
        if (doubled) QB_delete_atom(s, i);
    }
    return true;
}

bool substitute(QB_tools* s, const AK_step_item& step, std::string&) {
    const AK_step_changetype& p = step.changetype;
    const int type = std::max(1, p.type);
    s->ntypes = std::max(s->ntypes, type);
    std::vector<int> list;
    for (int i : members(s, step.region))
        if (s->atoms[static_cast<size_t>(i)].type != type) list.push_back(i);
    const double wanted = list.size() * p.rate;
    const long long count = wanted >= 9e18 ? LLONG_MAX : static_cast<long long>(wanted);
    if (count <= 0) return true;
    if (static_cast<long long>(list.size()) < count) {
        for (int i : list) s->atoms[static_cast<size_t>(i)].type = type;
        return true;
    }
    QB_random g;
    g.seed(static_cast<uint32_t>(p.seed));
    long long d = static_cast<long long>(list.size());
    for (long long c = 0; c < count; c++) {
        long long j = static_cast<long long>(d * (g.next() / 32767.0));
        j = std::min(std::max(j, 0LL), d - 1);
        s->atoms[static_cast<size_t>(list[static_cast<size_t>(j)])].type = type;
        std::swap(list[static_cast<size_t>(j)], list[static_cast<size_t>(d - 1)]);
        d--;
    }
    return true;
}

bool rotate(QB_tools* s, const AK_step_item& step, std::string& why) {
    const AK_step_rotate& p = step.rotate;
    const double axis[3] = {p.dx, p.dy, p.dz};
    const double len = norm(axis);
    if (!(len > 0)) {
        why = "the rotation axis is zero";
        return false;
    }
    const double ux = axis[0] / len, uy = axis[1] / len, uz = axis[2] / len;
    const double t = p.angle * 3.141592653589793 / 180, c = std::cos(t), sn = std::sin(t);
    const double R[3][3] = {{c + ux * ux * (1 - c), ux * uy * (1 - c) + sn * uz, ux * uz * (1 - c) - sn * uy},
                            {ux * uy * (1 - c) - sn * uz, c + uy * uy * (1 - c), uy * uz * (1 - c) + sn * ux},
                            {ux * uz * (1 - c) + sn * uy, uy * uz * (1 - c) - sn * ux, c + uz * uz * (1 - c)}};
    const double centre[3] = {p.cx, p.cy, p.cz};
    auto turn = [&](const double* q, double* out) {
        for (int r = 0; r < 3; r++) out[r] = dot(R[r], q);
    };
    ensure_cell(s);
    if (p.remap != 0) {
        // The box turns about the same centre as the atoms.
        for (auto& v : s->cell) {
            const double old[3] = {v[0], v[1], v[2]};
            turn(old, v);
        }
        const double d[3] = {s->origin[0] - centre[0], s->origin[1] - centre[1], s->origin[2] - centre[2]};
        double q[3];
        turn(d, q);
        for (int a = 0; a < 3; a++) s->origin[a] = centre[a] + q[a];
    }
    if (p.remap != 1)
        for (int i : members(s, step.region)) {
            atomdata& a = s->atoms[static_cast<size_t>(i)];
            const double d[3] = {a.x - centre[0], a.y - centre[1], a.z - centre[2]};
            double q[3];
            turn(d, q);
            a.x = centre[0] + q[0], a.y = centre[1] + q[1], a.z = centre[2] + q[2];
        }
    recompute_box(s);
    return true;
}

// The sorted column's values by atom index, read once (the sort compares
// records where they stood before it).
std::vector<double> sort_keys;
int sort_decreasing(QB_tools*, int j, int k) { return sort_keys[static_cast<size_t>(j)] < sort_keys[static_cast<size_t>(k)]; }
int sort_increasing(QB_tools*, int j, int k) { return sort_keys[static_cast<size_t>(j)] > sort_keys[static_cast<size_t>(k)]; }

bool sort_atoms(QB_tools* s, const AK_step_item& step, std::string& why) {
    const int slot = QB_slot_get(s, step.sort.slot.c_str());
    if (slot < 0) {
        why = "the model has no column " + step.sort.slot;
        return false;
    }
    sort_keys.resize(static_cast<size_t>(s->natoms));
    for (int i = 0; i < s->natoms; i++) sort_keys[static_cast<size_t>(i)] = QB_slot_data(s, slot, i);
    QB_sort_atom(s, step.sort.mode == 0 ? sort_decreasing : sort_increasing);
    sort_keys.clear();
    sort_keys.shrink_to_fit();
    return true;
}

bool symmetrize(QB_tools* s, const AK_step_item&, std::string&) {
    QB_move_box(s, -(s->lo[0] + s->size[0] / 2), -(s->lo[1] + s->size[1] / 2), -(s->lo[2] + s->size[2] / 2));
    return true;
}

bool wrap(QB_tools* s, const AK_step_item&, std::string&) {
    ensure_cell(s);
    for (int i = 0; i < s->natoms; i++)
        if (s->atoms[static_cast<size_t>(i)].id > 0) QB_wrap(s, i);
    return true;
}

// Atoms above a plane spanned by two cell vectors move by t; the moved
// vector m grows by t.
bool slip(QB_tools* s, int moved, const double t[3], double height, std::string& why) {
    const double* u = s->cell[moved == 0 ? 1 : 0];
    const double* w = s->cell[moved == 2 ? 1 : 2];
    double n[3];
    cross(u, w, n);
    const double len = norm(n);
    if (!(len > 0) || !(norm(s->cell[moved]) > 0)) {
        why = "the cell is degenerate";
        return false;
    }
    for (double& v : n) v /= len;
    if (dot(n, s->cell[moved]) < 0)
        for (double& v : n) v = -v;
    for (int i = 0; i < s->natoms; i++) {
        atomdata& a = s->atoms[static_cast<size_t>(i)];
        if (a.id <= 0) continue;
        const double d[3] = {a.x - s->origin[0], a.y - s->origin[1], a.z - s->origin[2]};
        if (dot(n, d) > height) a.x += t[0], a.y += t[1], a.z += t[2];
    }
    for (int a = 0; a < 3; a++) s->cell[moved][a] += t[a];
    recompute_box(s);
    return true;
}

bool alias_normal(QB_tools* s, const AK_step_item& step, std::string& why) {
    ensure_cell(s);
    const int e = step.alias.direction;
    const double len = norm(s->cell[e]);
    if (!(len > 0)) {
        why = "the cell is degenerate";
        return false;
    }
    const double k = (step.kind == AK_ALIAS_TENSILE ? 1 : -1) * step.alias.d1 / len;
    const double t[3] = {s->cell[e][0] * k, s->cell[e][1] * k, s->cell[e][2] * k};
    return slip(s, e, t, step.alias.height, why);
}

bool alias_shear(QB_tools* s, const AK_step_item& step, std::string& why) {
    ensure_cell(s);
    // Slip plane 0 keeps a and b and moves c; 1 keeps a and c and moves b;
    // 2 keeps b and c and moves a.
    static const int kKept[3][2] = {{0, 1}, {0, 2}, {1, 2}};
    static const int kMoved[3] = {2, 1, 0};
    const int plane = step.alias.direction;
    const double* u = s->cell[kKept[plane][0]];
    const double* w = s->cell[kKept[plane][1]];
    const double lu = norm(u), lw = norm(w);
    if (!(lu > 0) || !(lw > 0)) {
        why = "the cell is degenerate";
        return false;
    }
    double t[3];
    for (int a = 0; a < 3; a++) t[a] = step.alias.d1 * u[a] / lu + step.alias.d2 * w[a] / lw;
    s->triclinic = 1;
    return slip(s, kMoved[plane], t, step.alias.height, why);
}

const Step kRuns[AK_STEP_KINDS] = {add_atom,   fill_atoms, create_box, deform,           delete_atoms, displace,
                                   duplicate,  extend,     mirror,     move_atoms,       remove_duplicate,
                                   substitute, rotate,     sort_atoms, symmetrize,       wrap,
                                   deform,     deform,     deform,     alias_normal,     alias_normal,
                                   alias_shear};

bool finite_model(const QB_tools* s) {
    for (const auto& a : s->atoms)
        if (a.id > 0 && !(std::isfinite(a.x) && std::isfinite(a.y) && std::isfinite(a.z))) return false;
    for (int a = 0; a < 3; a++)
        if (!std::isfinite(s->lo[a]) || !std::isfinite(s->size[a])) return false;
    return true;
}

// Ids that collide (atoms added to a model with gapped ids) are renumbered,
// all of them, 1 ... N.
void renumber_if_colliding(QB_tools* s) {
    bool collide = false;
    const size_t bound = 4 * s->atoms.size() + 16;
    int top = 0;
    for (const auto& a : s->atoms) top = std::max(top, a.id);
    if (static_cast<size_t>(top) < bound) {
        std::vector<char> seen(static_cast<size_t>(top) + 1, 0);
        for (const auto& a : s->atoms) {
            if (a.id < 0) continue;
            collide = collide || seen[static_cast<size_t>(a.id)];
            seen[static_cast<size_t>(a.id)] = 1;
        }
    } else {
        std::vector<int> ids;
        ids.reserve(s->atoms.size());
        for (const auto& a : s->atoms) ids.push_back(a.id);
        std::sort(ids.begin(), ids.end());
        collide = std::adjacent_find(ids.begin(), ids.end()) != ids.end();
    }
    if (!collide) return;
    int id = 0;
    for (auto& a : s->atoms) a.id = ++id;
}

}  // namespace

int AK_run(const QB_tools& base, QB_tools* model, int upto, std::vector<AK_step_report>& report, std::string& message) {
    report.clear();
    if (AKdata_region.empty()) AK_free_all();
    QB_tools work;
    QB_copy_system(&work, &base);
    QB_region_set_invest_system(&work);
    int number = 0, failed = 0, steps = 0;
    std::string failures;
    const int last = AK_last_position();
    for (const auto& step : AKdata_step) steps += step.position >= 1;
    QB_progress_begin("Running Atomkit Please Wait");
    for (int p = 1; p <= last; p++) {
        const int index = AK_step_at(p);
        if (index < 0) continue;
        number++;
        if (upto > 0 && number > upto) break;
        const AK_step_item& step = AKdata_step[static_cast<size_t>(index)];
        AK_step_report r{number, index, step.active != 0, false, "", 0};
        if (r.ran) {
            std::string why;
            if (!kRuns[step.kind](&work, step, why)) {
                r.failed = true;
                r.message = why;
            } else if (!finite_model(&work)) {
                r.failed = true;
                r.message = "the step produced coordinates that are not numbers";
            }
        }
        r.atoms = live_atoms(&work);
        if (r.failed) {
            failed++;
            failures += QB_format("\nstep %d %s: %s", number, step.name.c_str(), r.message.c_str());
        }
        report.push_back(r);
        QB_progress_update(100.0 * number / std::max(steps, 1));
    }
    QB_progress_end();
    QB_affine_delete(&work);
    renumber_if_colliding(&work);
    *model = std::move(work);
    QB_region_set_invest_system(model);
    message = failed ? "Operation failed" + failures : "Operation Complete";
    return failed;
}
