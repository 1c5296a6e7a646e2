#include "builders/polycrystal.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "store/quelm_model_io.h"
#include "builders/crystal_source.h"
#include "qb/qb_file.h"
#include "qb/qb_formats.h"
#include "qb/qb_progress.h"
#include "qb/qb_text.h"

namespace {

using Vec = std::array<double, 3>;

enum Layout { k2D, k3D, kLami, kSpgb };

// A grain's own periodic images split space into copies of the box centred
// on its seed: the grain keeps the points d (from its seed) with
// -L/2 - s <= d < L/2 - s on each periodic axis, so every periodic site has
// exactly one owner whatever rounding does to the two copies of a site on
// the faces. The shift s is far above rounding and far below any spacing
// of atoms.
constexpr double kFaceShift = 1.37e-6;
constexpr int kMaxGrains = 1000000;
constexpr double kMaxAtoms = 4e8;
constexpr double kLeastSeedDistance = 0.5;

double dot(const Vec& a, const Vec& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
double norm(const Vec& a) { return std::sqrt(dot(a, a)); }
Vec sub(const Vec& a, const Vec& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
Vec add(const Vec& a, const Vec& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }
Vec scale(const Vec& a, double f) { return {a[0] * f, a[1] * f, a[2] * f}; }
Vec cross(const Vec& a, const Vec& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

using Mat = std::array<Vec, 3>;  // rows

Vec mul(const Mat& m, const Vec& v) { return {dot(m[0], v), dot(m[1], v), dot(m[2], v)}; }
Mat transpose(const Mat& m) {
    Mat t;
    for (int r = 0; r < 3; r++)
        for (int c = 0; c < 3; c++) t[r][c] = m[c][r];
    return t;
}
double det(const Mat& m) { return dot(m[0], cross(m[1], m[2])); }
// Inverse of a matrix with non-zero determinant.
Mat inverse(const Mat& m) {
    const double d = det(m);
    const Vec c0 = cross(m[1], m[2]), c1 = cross(m[2], m[0]), c2 = cross(m[0], m[1]);
    Mat out;
    for (int r = 0; r < 3; r++) {
        out[r][0] = c0[r] / d;
        out[r][1] = c1[r] / d;
        out[r][2] = c2[r] / d;
    }
    return out;
}

// ------------------------------------------------------------------ inputs

struct SegRule {
    int from, to;
    double tol, p;
};

struct Grain {
    Vec pos{};
    Mat orient{};  // x_box = orient * p_template
    Vec weight{1, 1, 1};
    int layer = 0;
    int templ = -1;  // index of its build line, -1 for none
};

struct Template {
    std::string file;
    Mat cell{};  // rows a, b, c
    Vec offset{};
    std::vector<Vec> sites;
    std::vector<int> types;  // shifted by the types of the build lines before
    int ntypes = 0;
    std::vector<std::string> names;  // element names of its own types 1 ... ntypes
};

// A seed or one of its periodic images.
struct Site {
    Vec pos;
    int grain;
    Vec shift;  // the box translation from its grain's seed
};

struct Input {
    Layout layout = k3D;
    bool have_mode = false, have_box = false;
    int P = 1, Q = 1;
    std::string gb_file;
    int gb_repeat[3] = {1, 1, 1};
    int gb_thick = 0;
    Vec box{};
    double cutoff = 0.1;
    unsigned seed = 0;
    std::vector<SegRule> seg;
    std::vector<Grain> grains;
    std::vector<Template> templates;
    // Boundary lattice of "spgb".
    std::vector<Vec> gb_sites;
    std::vector<int> gb_types;
    std::vector<std::string> gb_names;
    Vec gb_cell{};
};

// Periodic axes of a layout's Voronoi construction.
bool periodic_axis(Layout layout, int a) {
    if (layout == k2D) return a != 0;
    if (layout == kLami) return a != 2;
    return true;
}

// ------------------------------------------------------------------ parsing

class Parser {
public:
    Parser(const std::string& text, Input& in) : in_(in) {
        size_t i = 0;
        while (i < text.size()) {
            while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) i++;
            const size_t start = i;
            while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i]))) i++;
            if (i > start) words_.emplace_back(text, start, i - start);
        }
    }
    bool run();
    const std::string& error() const { return error_; }

private:
    bool fail(const std::string& message) {
        error_ = message;
        return false;
    }
    bool peek(std::string& w) const {
        if (at_ >= words_.size()) return false;
        w = words_[at_];
        return true;
    }
    bool word(std::string& w) {
        if (!peek(w)) return fail("ERROR: KEYWORD FILE ENDS IN THE MIDDLE OF A LINE");
        at_++;
        return true;
    }
    // A complete, finite number.
    bool number(double& v) {
        std::string w;
        if (!word(w)) return false;
        char* end = nullptr;
        v = QB_strtod(w.c_str(), &end);
        if (w.empty() || end != w.c_str() + w.size() || !std::isfinite(v))
            return fail("ERROR: " + w + " IS NOT A NUMBER");
        return true;
    }
    bool integer(int& v) {
        double d;
        if (!number(d)) return false;
        v = QB_to_int(d);
        return true;
    }
    bool numbers(double* v, int n) {
        for (int k = 0; k < n; k++)
            if (!number(v[k])) return false;
        return true;
    }
    double u() { return random_.next() / 32767.0; }
    bool in_box(const double* p) const {
        for (int a = 0; a < 3; a++)
            if (!(p[a] >= 0 && p[a] <= in_.box[a])) return false;
        return true;
    }
    bool environment();
    bool read_gb_lattice();
    bool grains();
    bool room_for(double n) {
        if (static_cast<double>(in_.grains.size()) + n > kMaxGrains)
            return fail(QB_format("ERROR: MORE THAN %d GRAINS", kMaxGrains));
        return true;
    }
    // Position of a new random seed of the current line.
    Vec random_position() {
        Vec p;
        if (in_.layout == k2D) {
            p[0] = 0;
            p[1] = u() * in_.box[1];
            p[2] = u() * in_.box[2];
        } else if (in_.layout == kLami) {
            const double h = in_.box[2] / (in_.P * in_.Q);
            p[0] = u() * in_.box[0];
            p[1] = u() * in_.box[1];
            p[2] = h * (timer2floor(in_.P, in_.Q, layer_) + u());
        } else {
            for (int a = 0; a < 3; a++) p[a] = u() * in_.box[a];
        }
        return p;
    }
    void orient_randomly(Grain& g) {
        double m[3][3];
        if (in_.layout == k2D)
            randoml2(m, random_);
        else
            randoml(m, random_);
        for (int r = 0; r < 3; r++)
            for (int c = 0; c < 3; c++) g.orient[r][c] = m[c][r];
    }
    bool next_layer() {
        if (in_.layout != kLami) return true;
        if (layer_ >= in_.P * in_.Q) return fail("ERROR: MORE LAYER LINES THAN SLABS");
        return true;
    }
    bool random_line(int n);
    bool ranave_line(int n);
    bool directions(const double* triples, Mat& rows);
    bool grain_number(int i) {
        if (i < 1 || i > static_cast<int>(in_.grains.size())) return fail("ERROR: GRAIN NUMBER OUT OF RANGE");
        return true;
    }
    bool seeds_apart();
    bool templates();
    bool read_template(Template& t, int shift);

    Input& in_;
    std::vector<std::string> words_;
    size_t at_ = 0;
    std::string error_;
    QB_random random_;
    int layer_ = 0;
};

bool Parser::environment() {
    bool have_seed = false;
    std::string w;
    while (peek(w)) {
        if (w == "mode") {
            at_++;
            std::string m;
            if (!word(m)) return false;
            in_.have_mode = true;
            if (m == "2D") {
                in_.layout = k2D;
            } else if (m == "3D") {
                in_.layout = k3D;
            } else if (m == "lami") {
                in_.layout = kLami;
                if (!integer(in_.P) || !integer(in_.Q)) return false;
                if (in_.P < 1 || in_.Q < 1) return fail("ERROR: LAMI NEEDS P AND Q OF 1 OR MORE");
            } else if (m == "spgb") {
                in_.layout = kSpgb;
                if (!word(in_.gb_file)) return false;
                for (int& r : in_.gb_repeat)
                    if (!integer(r)) return false;
                if (!integer(in_.gb_thick)) return false;
                if (in_.gb_repeat[0] < 1 || in_.gb_repeat[1] < 1 || in_.gb_repeat[2] < 1)
                    return fail("ERROR: BOUNDARY LATTICE REPEATS MUST BE 1 OR MORE");
            } else {
                return fail("ERROR: UNKNOWN MODE " + m);
            }
        } else if (w == "box") {
            at_++;
            if (!numbers(in_.box.data(), 3)) return false;
            in_.have_box = true;
        } else if (w == "cutoff") {
            at_++;
            if (!number(in_.cutoff)) return false;
        } else if (w == "seed") {
            at_++;
            double s;
            if (!number(s)) return false;
            in_.seed = static_cast<unsigned>(static_cast<long long>(std::trunc(std::fmod(s, 4294967296.0))));
            have_seed = true;
        } else if (w == "seg") {
            at_++;
            double v[4];
            if (!numbers(v, 4)) return false;
            SegRule r{QB_to_int(v[0]), QB_to_int(v[1]), v[2], v[3]};
            if (r.from < 1 || r.to < 1 || r.to > QB_MAX_TYPES) return fail("ERROR: SEGREGATION TYPES MUST BE 1 OR MORE");
            in_.seg.push_back(r);
        } else {
            break;
        }
    }
    if (in_.layout == kSpgb && in_.have_mode && !read_gb_lattice()) return false;
    if (!in_.have_mode || !in_.have_box) return fail("ERROR: ENVIRONMENT UNSET");
    for (double e : in_.box)
        if (!(e > 0) || !std::isfinite(e)) return fail("ERROR: BOX EDGE NOT POSITIVE");
    if (!have_seed) in_.seed = static_cast<unsigned>(time(nullptr));
    random_.seed(in_.seed);
    return true;
}

bool Parser::read_gb_lattice() {
    std::printf("Reading file %s\n", in_.gb_file.c_str());
    QB_tools lattice;
    std::string reason;
    const int code = QB_read_file(&lattice, in_.gb_file.c_str(), &reason);
    if (code % 2 == 0 || lattice.natoms == 0)
        return fail("ERROR: CANNOT READ BOUNDARY LATTICE " + in_.gb_file + (reason.empty() ? "" : ": " + reason));
    for (int a = 0; a < 3; a++) {
        in_.gb_cell[a] = lattice.size[a];
        if (!(lattice.size[a] > 0)) return fail("ERROR: BOUNDARY LATTICE " + in_.gb_file + " HAS NO VOLUME");
        in_.box[a] = in_.gb_repeat[a] * lattice.size[a];
    }
    in_.have_box = true;
    for (int i = 0; i < lattice.natoms; i++) {
        const atomdata& a = lattice.atoms[static_cast<size_t>(i)];
        if (a.id <= 0) continue;
        in_.gb_sites.push_back({a.x, a.y, a.z});
        in_.gb_types.push_back(a.type);
    }
    in_.gb_names = QN_type_names(lattice);
    return true;
}

bool Parser::random_line(int n) {
    if (!next_layer() || !room_for(std::max(n, 0))) return false;
    for (int k = 0; k < n; k++) {
        Grain g;
        g.pos = random_position();
        g.layer = in_.layout == kLami ? layer_ : 0;
        orient_randomly(g);
        in_.grains.push_back(g);
    }
    if (in_.layout == kLami) layer_++;
    return true;
}

bool Parser::ranave_line(int n) {
    if (!next_layer() || !room_for(std::max(n, 0))) return false;
    const bool planar = in_.layout == k2D;
    const double total = static_cast<double>(in_.grains.size()) + std::max(n, 0);
    const double least = planar ? std::sqrt(in_.box[1] * in_.box[2] / std::max(total, 1.0))
                                : std::cbrt(in_.box[0] * in_.box[1] * in_.box[2] / std::max(total, 1.0));
    QN_spaced_points spaced(in_.box.data(), planar);
    for (const Grain& g : in_.grains) spaced.add_fixed(g.pos.data());
    spaced.restart(least, n);
    std::vector<Vec> placed;
    double d = least;
    for (int k = 0; n > 0; k++) {
        d = least * std::max(0.0, 1 - 0.0001 * k);
        spaced.restart(d);
        placed.clear();
        int rejected = 0;
        while (static_cast<int>(placed.size()) < n && rejected <= 10000) {
            const Vec p = random_position();
            if (spaced.accept(p.data()))
                placed.push_back(p);
            else
                rejected++;
        }
        if (static_cast<int>(placed.size()) == n) break;
    }
    std::printf("ranave succeed at min distance %lf\n", d);
    for (const Vec& p : placed) {
        Grain g;
        g.pos = p;
        g.layer = in_.layout == kLami ? layer_ : 0;
        orient_randomly(g);
        in_.grains.push_back(g);
    }
    if (in_.layout == kLami) layer_++;
    return true;
}

// Three triples as unit rows, refused when one is zero or two are not
// perpendicular.
bool Parser::directions(const double* t, Mat& rows) {
    for (int r = 0; r < 3; r++) {
        const Vec v{t[3 * r], t[3 * r + 1], t[3 * r + 2]};
        const double len = norm(v);
        if (!(len > 0)) return fail("ERROR: ZERO DIRECTION");
        rows[r] = scale(v, 1 / len);
    }
    for (int r = 0; r < 3; r++)
        if (std::fabs(dot(rows[r], rows[(r + 1) % 3])) > 1e-3) return fail("ERROR: DIRECTIONS NOT PERPENDICULAR");
    return true;
}

bool Parser::grains() {
    std::string w;
    while (peek(w)) {
        double v[12];
        if (w == "random" || w == "ranave") {
            at_++;
            int n;
            if (!integer(n)) return false;
            if (!(w == "random" ? random_line(n) : ranave_line(n))) return false;
        } else if (w == "lock") {
            at_++;
            int n;
            if (!integer(n) || !numbers(v, 6)) return false;
            if (in_.layout == kLami) return fail("ERROR: LOCK IN LAMI MODE");
            if (!in_box(v) || !in_box(v + 3)) return fail("ERROR: LOCK OVER BOUNDARY");
            if (!room_for(std::max(n, 0))) return false;
            for (int k = 0; k < n; k++) {
                Grain g;
                for (int a = 0; a < 3; a++) g.pos[a] = v[a] + u() * (v[a + 3] - v[a]);
                orient_randomly(g);
                in_.grains.push_back(g);
            }
        } else if (w == "eular") {
            at_++;
            if (!numbers(v, 6)) return false;
            if (!in_box(v)) return fail("ERROR: POSITION OVER BOUNDARY");
            if (in_.layout == k2D && (v[4] != 0 || v[5] != 0)) return fail("2D ERROR");
            if (!room_for(1)) return false;
            Grain g;
            g.pos = {v[0], v[1], v[2]};
            double m[3][3];
            eulerangle(m, v[3], v[4], v[5]);
            for (int r = 0; r < 3; r++)
                for (int c = 0; c < 3; c++) g.orient[r][c] = m[c][r];
            in_.grains.push_back(g);
        } else if (w == "miller") {
            at_++;
            if (!numbers(v, 12)) return false;
            if (!in_box(v)) return fail("ERROR: POSITION OVER BOUNDARY");
            if (!room_for(1)) return false;
            Grain g;
            g.pos = {v[0], v[1], v[2]};
            if (!directions(v + 3, g.orient)) return false;
            in_.grains.push_back(g);
        } else if (w == "pos") {
            at_++;
            int i;
            if (!integer(i) || !numbers(v, 3) || !grain_number(i)) return false;
            if (!in_box(v)) return fail("ERROR: POSITION OUT OF RANGE");
            Grain& g = in_.grains[static_cast<size_t>(i - 1)];
            g.pos = {v[0], v[1], v[2]};
            g.weight = {1, 1, 1};
        } else if (w == "wei") {
            at_++;
            int i, j;
            if (!integer(i) || !integer(j) || !numbers(v, 3)) return false;
            if (!grain_number(i) || !grain_number(j) || j < i) return fail("ERROR: GRAIN NUMBER OUT OF RANGE");
            for (int a = 0; a < 3; a++)
                if (!(v[a] > 0)) return fail("ERROR: WEIGHT NOT POSITIVE");
            for (int k = i; k <= j; k++) in_.grains[static_cast<size_t>(k - 1)].weight = {v[0], v[1], v[2]};
        } else if (w == "switch") {
            at_++;
            int i, j, n;
            if (!integer(i) || !integer(j) || !integer(n)) return false;
            if (n < 0) return fail("ERROR: GRAIN NUMBER OUT OF RANGE");
            if (n > 0 && (!grain_number(i) || !grain_number(j) || !grain_number(i + n - 1) || !grain_number(j + n - 1)))
                return false;
            for (int m = 0; m < n; m++) {
                Grain& a = in_.grains[static_cast<size_t>(i + m - 1)];
                Grain& b = in_.grains[static_cast<size_t>(j + m - 1)];
                std::swap(a.pos, b.pos);
                std::swap(a.weight, b.weight);
                std::swap(a.orient, b.orient);
                std::swap(a.layer, b.layer);
            }
        } else if (w == "ort") {
            at_++;
            int i;
            if (!integer(i) || !numbers(v, 9)) return false;
            if (i < 1 || i > static_cast<int>(in_.grains.size())) return fail("ERROR: POSITION OUT OF RANGE");
            Mat columns;
            if (!directions(v, columns)) return false;
            in_.grains[static_cast<size_t>(i - 1)].orient = transpose(columns);
        } else {
            break;
        }
    }
    if (in_.grains.empty()) return fail("ERROR: NO GRAIN");
    return seeds_apart();
}

// Seeds of grains that meet (all of them; one layer in "lami"; in the y-z
// plane in "2D") must not coincide, periodic copies included.
bool Parser::seeds_apart() {
    int layers = 1;
    for (const Grain& g : in_.grains) layers = std::max(layers, g.layer + 1);
    for (int layer = 0; layer < layers; layer++) {
        QN_spaced_points spaced(in_.box.data(), in_.layout == k2D);
        spaced.restart(kLeastSeedDistance, static_cast<int>(in_.grains.size()));
        for (const Grain& g : in_.grains)
            if (g.layer == layer && !spaced.accept(g.pos.data())) return fail("ERROR: SEEDS COINCIDE");
    }
    return true;
}

bool Parser::read_template(Template& t, int shift) {
    QB_tools s;
    std::string reason;
    const int code = QB_read_file(&s, t.file.c_str(), &reason);
    if (code % 2 == 0) return fail("ERROR: CANNOT READ TEMPLATE " + t.file + (reason.empty() ? "" : ": " + reason));
    for (int i = 0; i < s.natoms; i++) {
        const atomdata& a = s.atoms[static_cast<size_t>(i)];
        if (a.id <= 0) continue;
        t.sites.push_back({a.x, a.y, a.z});
        t.types.push_back(a.type + shift);
    }
    if (t.sites.empty()) return fail("ERROR: TEMPLATE " + t.file + " HAS NO ATOMS");
    for (int r = 0; r < 3; r++) t.cell[r] = {s.cell[r][0], s.cell[r][1], s.cell[r][2]};
    const double longest = std::max({norm(t.cell[0]), norm(t.cell[1]), norm(t.cell[2])});
    if (!(std::fabs(det(t.cell)) > 1e-9 * longest * longest * longest))
        return fail("ERROR: TEMPLATE " + t.file + " HAS A CELL WITHOUT VOLUME");
    t.ntypes = s.ntypes;
    t.names = QN_type_names(s);
    return true;
}

bool Parser::templates() {
    const int count = static_cast<int>(in_.grains.size());
    int built = 0, types = 0;
    std::string w;
    while (built < count && peek(w)) {
        at_++;
        if (w != "build") continue;
        Template t;
        int n;
        if (!word(t.file) || !integer(n) || !numbers(t.offset.data(), 3)) return false;
        std::printf("seed number %d is %s\n", static_cast<int>(in_.templates.size()) + 1, t.file.c_str());
        if (n < 1) return fail("ERROR: BUILD COUNT MUST BE 1 OR MORE");
        if (built + static_cast<long long>(n) > count) return fail("ERROR: BUILD OVERLOAD");
        if (!read_template(t, types)) return false;
        std::printf("containing  %d atoms\n", static_cast<int>(t.sites.size()));
        types += t.ntypes;
        for (int k = built; k < built + n; k++)
            in_.grains[static_cast<size_t>(k)].templ = static_cast<int>(in_.templates.size());
        built += n;
        in_.templates.push_back(std::move(t));
    }
    return true;
}

bool Parser::run() { return environment() && grains() && templates(); }

// The structure's shortest translation along the unit vector u of the
// template frame, or 0 when there is none up to `longest`.
double period_along(const Template& t, const Vec& u, double longest) {
    const Mat cellT = transpose(t.cell);  // columns a, b, c
    const Mat to_cell = inverse(cellT);
    const Vec f = mul(to_cell, u);  // u in cell coordinates
    int lead = 0;
    for (int a = 1; a < 3; a++)
        if (std::fabs(f[a]) > std::fabs(f[lead])) lead = a;
    // Centring translations: differences of sites of one type that map the
    // whole basis onto itself.
    std::vector<Vec> centring;
    auto wrapped = [](Vec g) {
        for (double& x : g) x -= std::floor(x + 1e-7);
        return g;
    };
    std::vector<Vec> frac(t.sites.size());
    for (size_t k = 0; k < t.sites.size(); k++) frac[k] = wrapped(mul(to_cell, t.sites[k]));
    for (size_t j = 0; j < t.sites.size(); j++) {
        if (t.types[j] != t.types[0]) continue;
        const Vec tau = wrapped(sub(frac[j], frac[0]));
        bool maps = true;
        for (size_t k = 0; k < t.sites.size() && maps; k++) {
            const Vec moved = wrapped(add(frac[k], tau));
            bool found = false;
            for (size_t q = 0; q < t.sites.size() && !found; q++) {
                if (t.types[q] != t.types[k]) continue;
                Vec diff = sub(moved, frac[q]);
                for (double& x : diff) x -= std::round(x);
                found = norm(diff) < 1e-6;
            }
            maps = found;
        }
        if (maps) centring.push_back(tau);
    }
    double best = 0;
    for (const Vec& tau : centring) {
        // s f - tau must be an integer vector: try the integers of the lead axis.
        const int most = static_cast<int>(std::min(1e6, std::ceil(longest * std::fabs(f[lead]) + 2)));
        for (int n = -most; n <= most; n++) {
            const double s = (n + tau[lead]) / f[lead];
            if (!(s > 1e-9) || s > longest) continue;
            bool integral = true;
            for (int a = 0; a < 3 && integral; a++) {
                const double v = s * f[a] - tau[a];
                integral = std::fabs(v - std::round(v)) < 1e-6;
            }
            if (integral && (best == 0 || s < best)) best = s;
        }
    }
    return best;
}

// ------------------------------------------------------------------ cells

// A convex polytope as its faces, each an ordered polygon; enough to find
// the bounding box of a Voronoi cell and which of its planes touch it.
class Polytope {
public:
    Polytope(const Vec& lo, const Vec& hi) {
        const Vec c[8] = {{lo[0], lo[1], lo[2]}, {hi[0], lo[1], lo[2]}, {hi[0], hi[1], lo[2]}, {lo[0], hi[1], lo[2]},
                          {lo[0], lo[1], hi[2]}, {hi[0], lo[1], hi[2]}, {hi[0], hi[1], hi[2]}, {lo[0], hi[1], hi[2]}};
        const int f[6][4] = {{0, 3, 2, 1}, {4, 5, 6, 7}, {0, 1, 5, 4}, {1, 2, 6, 5}, {2, 3, 7, 6}, {3, 0, 4, 7}};
        for (const auto& face : f) faces_.push_back({c[face[0]], c[face[1]], c[face[2]], c[face[3]]});
        extent_ = norm(sub(hi, lo));
    }
    bool empty() const { return faces_.empty(); }
    // Keeps the part with n . x <= c.
    void clip(const Vec& n, double c) {
        const double len = norm(n);
        if (!(len > 0)) return;
        const double tiny = 1e-12 * len * std::max(extent_, 1.0);
        bool any_out = false, any_in = false;
        for (const auto& face : faces_)
            for (const Vec& v : face) {
                const double s = dot(n, v) - c;
                any_out = any_out || s > tiny;
                any_in = any_in || s < -tiny;
            }
        if (!any_out) return;
        if (!any_in) {
            faces_.clear();
            return;
        }
        std::vector<std::vector<Vec>> kept;
        std::vector<Vec> cut;
        for (const auto& face : faces_) {
            std::vector<Vec> out;
            for (size_t i = 0; i < face.size(); i++) {
                const Vec& a = face[i];
                const Vec& b = face[(i + 1) % face.size()];
                const double sa = dot(n, a) - c, sb = dot(n, b) - c;
                const bool ina = sa <= tiny, inb = sb <= tiny;
                if (ina) out.push_back(a);
                if (ina != inb) {
                    const double t = sa / (sa - sb);
                    const Vec p = add(a, scale(sub(b, a), t));
                    out.push_back(p);
                    cut.push_back(p);
                } else if (ina && std::fabs(sa) <= tiny) {
                    cut.push_back(a);
                }
            }
            if (out.size() >= 3) kept.push_back(std::move(out));
        }
        // The new face on the plane, its points in order around their centre.
        if (cut.size() >= 3) {
            Vec centre{0, 0, 0};
            for (const Vec& p : cut) centre = add(centre, p);
            centre = scale(centre, 1.0 / cut.size());
            const Vec nz = scale(n, 1 / len);
            Vec ref = std::fabs(nz[0]) < 0.9 ? Vec{1, 0, 0} : Vec{0, 1, 0};
            const Vec e1 = scale(cross(nz, ref), 1 / norm(cross(nz, ref)));
            const Vec e2 = cross(nz, e1);
            std::sort(cut.begin(), cut.end(), [&](const Vec& p, const Vec& q) {
                const Vec dp = sub(p, centre), dq = sub(q, centre);
                return std::atan2(dot(dp, e2), dot(dp, e1)) < std::atan2(dot(dq, e2), dot(dq, e1));
            });
            std::vector<Vec> face;
            for (const Vec& p : cut)
                if (face.empty() || norm(sub(p, face.back())) > tiny) face.push_back(p);
            if (face.size() >= 3) kept.push_back(std::move(face));
        }
        faces_ = std::move(kept);
    }
    void bounds(Vec& lo, Vec& hi) const {
        lo = {1e300, 1e300, 1e300};
        hi = {-1e300, -1e300, -1e300};
        for (const auto& face : faces_)
            for (const Vec& v : face)
                for (int a = 0; a < 3; a++) {
                    lo[a] = std::min(lo[a], v[a]);
                    hi[a] = std::max(hi[a], v[a]);
                }
    }
    // Largest n . x over the polytope.
    double highest(const Vec& n) const {
        double best = -1e300;
        for (const auto& face : faces_)
            for (const Vec& v : face) best = std::max(best, dot(n, v));
        return best;
    }

private:
    std::vector<std::vector<Vec>> faces_;
    double extent_;
};

struct Plane {
    Vec n;
    double c;  // n . d <= c + tol, d the point from the seed
};

// Everything the fill of one grain needs, read-only once made.
struct Cell {
    int grain;
    Vec seed, weight;
    std::vector<int> neighbours;  // the m nearest sites, own images included
    std::vector<Plane> planes;    // same-weight neighbours that touch the cell
    std::vector<int> curved;      // neighbours of other weights, tested point by point
    bool periodic[3];
    Vec low, high;  // the cell's bounding box, relative to the seed
    bool empty = false;
};

struct AtomOut {
    int type;
    Vec x;
};

class Generator {
public:
    explicit Generator(const Input& in) : in_(in) {}
    void prepare();
    std::vector<AtomOut> fill(int g) const;
    int ntypes() const;

private:
    double distance2(const Vec& a, const Vec& b) const {
        if (in_.layout == k2D) return (a[1] - b[1]) * (a[1] - b[1]) + (a[2] - b[2]) * (a[2] - b[2]);
        const Vec d = sub(a, b);
        return dot(d, d);
    }
    // A - B of the membership test, point x against site j.
    double excess(const Cell& cell, const Vec& x, int j) const {
        const Site& s = sites_[static_cast<size_t>(j)];
        const Vec& wp = in_.grains[static_cast<size_t>(s.grain)].weight;
        double a = 0, b = 0;
        for (int k = in_.layout == k2D ? 1 : 0; k < 3; k++) {
            const double da = cell.weight[k] * (x[k] - cell.seed[k]);
            const double db = wp[k] * (x[k] - s.pos[k]);
            a += da * da;
            b += db * db;
        }
        return a - b;
    }
    // The test of the description, over every listed site (own images
    // included): inside unless A - B > tol for one of them.
    bool cubic(const Cell& cell, const Vec& x, double tol) const {
        for (int j : cell.neighbours)
            if (excess(cell, x, j) > tol) return false;
        return true;
    }
    // The boundary band of "spgb".
    bool cubic_spe(const Cell& cell, const Vec& x, double d) const {
        for (int j : cell.neighbours) {
            const Site& s = sites_[static_cast<size_t>(j)];
            const Vec& wp = in_.grains[static_cast<size_t>(s.grain)].weight;
            const Vec e = sub(s.pos, cell.seed);
            const double len = norm(e);
            if (!(len > 0)) continue;
            double v = 0;
            for (int k = 0; k < 3; k++) v += e[k] / len * (cell.weight[k] * (x[k] - cell.seed[k]) + wp[k] * (x[k] - s.pos[k]));
            if (v > -d) return true;
        }
        return false;
    }
    bool inside(const Cell& cell, const Vec& d, double tol) const;
    Cell make_cell(int g, double tol) const;
    void add_gb_atoms(const Cell& cell, std::vector<AtomOut>& out) const;

    const Input& in_;
    std::vector<Site> sites_;
    std::vector<Cell> cells_;
    double tol_ = 0;
    int gb_type_shift_ = 0;
};

void Generator::prepare() {
    const int n = static_cast<int>(in_.grains.size());
    for (int g = 0; g < n; g++) sites_.push_back({in_.grains[static_cast<size_t>(g)].pos, g, {0, 0, 0}});
    for (int g = 0; g < n; g++)
        for (int i = -1; i <= 1; i++)
            for (int j = -1; j <= 1; j++)
                for (int k = -1; k <= 1; k++) {
                    const int t[3] = {i, j, k};
                    bool skip = i == 0 && j == 0 && k == 0;
                    for (int a = 0; a < 3; a++) skip = skip || (t[a] != 0 && !periodic_axis(in_.layout, a));
                    if (skip) continue;
                    const Vec shift{i * in_.box[0], j * in_.box[1], k * in_.box[2]};
                    sites_.push_back({add(in_.grains[static_cast<size_t>(g)].pos, shift), g, shift});
                }
    tol_ = in_.cutoff + (in_.layout == kSpgb ? in_.gb_thick : 0);
    for (const Template& t : in_.templates) gb_type_shift_ += t.ntypes;
    cells_.resize(static_cast<size_t>(n));
}

// Whether the point d (from the seed) belongs to the grain, with the
// tolerance tol against other grains.
bool Generator::inside(const Cell& cell, const Vec& d, double tol) const {
    for (int a = 0; a < 3; a++) {
        if (!cell.periodic[a]) continue;
        const double half = 0.5 * in_.box[a];
        if (!(d[a] >= -half - kFaceShift && d[a] < half - kFaceShift)) return false;
    }
    if (in_.layout == k2D) {
        const double x = cell.seed[0] + d[0];
        if (!(x >= -kFaceShift && x < in_.box[0] - kFaceShift)) return false;
    } else if (in_.layout == kLami) {
        const double h = in_.box[2] / (in_.P * in_.Q);
        const int slab = timer2floor(in_.P, in_.Q, in_.grains[static_cast<size_t>(cell.grain)].layer);
        const double z = cell.seed[2] + d[2];
        if (!(z >= slab * h + in_.cutoff && z < (slab + 1) * h - in_.cutoff)) return false;
    }
    for (const Plane& p : cell.planes)
        if (dot(p.n, d) > p.c + tol) return false;
    if (!cell.curved.empty()) {
        const Vec x = add(cell.seed, d);
        for (int j : cell.curved)
            if (excess(cell, x, j) > tol) return false;
    }
    return true;
}

Cell Generator::make_cell(int g, double tol) const {
    const Grain& grain = in_.grains[static_cast<size_t>(g)];
    Cell cell;
    cell.grain = g;
    cell.seed = grain.pos;
    cell.weight = grain.weight;
    for (int a = 0; a < 3; a++) cell.periodic[a] = periodic_axis(in_.layout, a);

    // The m nearest sites of the same layer, later sites first among equals.
    const int n = static_cast<int>(in_.grains.size());
    const int most = in_.layout == k2D ? std::min(9 * n - 1, 20) : std::min(27 * n - 1, 129);
    std::vector<std::pair<double, int>> near;
    for (int j = 0; j < static_cast<int>(sites_.size()); j++) {
        const Site& s = sites_[static_cast<size_t>(j)];
        if (j == g || in_.grains[static_cast<size_t>(s.grain)].layer != grain.layer) continue;
        near.push_back({distance2(s.pos, grain.pos), j});
    }
    const size_t keep = std::min(near.size(), static_cast<size_t>(std::max(most, 0)));
    auto closer = [](const std::pair<double, int>& a, const std::pair<double, int>& b) {
        return a.first < b.first || (a.first == b.first && a.second > b.second);
    };
    std::partial_sort(near.begin(), near.begin() + static_cast<long>(keep), near.end(), closer);
    near.resize(keep);
    for (const auto& e : near) cell.neighbours.push_back(e.second);

    // The region the grain may fill: its own box of periodic copies, the
    // column or the slab of its layout, cut by the planes of its neighbours.
    Vec lo, hi;
    for (int a = 0; a < 3; a++) {
        lo[a] = -0.5 * in_.box[a] - 2 * kFaceShift;
        hi[a] = 0.5 * in_.box[a];
    }
    if (in_.layout == k2D) {
        lo[0] = -grain.pos[0] - 2 * kFaceShift;
        hi[0] = in_.box[0] - grain.pos[0];
    } else if (in_.layout == kLami) {
        const double h = in_.box[2] / (in_.P * in_.Q);
        const int slab = timer2floor(in_.P, in_.Q, grain.layer);
        lo[2] = slab * h + in_.cutoff - grain.pos[2] - 1e-9 * h;
        hi[2] = (slab + 1) * h - in_.cutoff - grain.pos[2] + 1e-9 * h;
        if (!(hi[2] > lo[2])) {
            cell.empty = true;
            return cell;
        }
    }
    std::vector<Plane> planes;
    for (int j : cell.neighbours) {
        const Site& s = sites_[static_cast<size_t>(j)];
        if (s.grain == g) continue;  // own images: the box above
        const Vec& wp = in_.grains[static_cast<size_t>(s.grain)].weight;
        if (wp != grain.weight) {
            cell.curved.push_back(j);
            continue;
        }
        // |w(d)|^2 - |w(d - D)|^2 = 2 w^2 D . d - |w D|^2, D = s_p - s_g.
        Plane p{{0, 0, 0}, 0};
        for (int a = in_.layout == k2D ? 1 : 0; a < 3; a++) {
            const double D = s.pos[a] - grain.pos[a];
            const double w2 = grain.weight[a] * grain.weight[a];
            p.n[a] = 2 * w2 * D;
            p.c += w2 * D * D;
        }
        planes.push_back(p);
    }
    Polytope poly(lo, hi);
    for (const Plane& p : planes) {
        poly.clip(p.n, p.c + tol);
        if (poly.empty()) break;
    }
    if (poly.empty()) {
        cell.empty = true;
        return cell;
    }
    poly.bounds(cell.low, cell.high);
    const double margin = 1e-7 * (in_.box[0] + in_.box[1] + in_.box[2]);
    for (int a = 0; a < 3; a++) {
        cell.low[a] = std::max(cell.low[a] - margin, lo[a]);
        cell.high[a] = std::min(cell.high[a] + margin, hi[a]);
    }
    // Only planes that reach the cell can refuse a point of it; "spgb" tests
    // its boundary atoms with another tolerance and keeps them all.
    for (const Plane& p : planes)
        if (in_.layout == kSpgb || poly.highest(p.n) > p.c + tol - 1e-6 * norm(p.n) * (1 + margin))
            cell.planes.push_back(p);
    return cell;
}

// Boundary-lattice atoms of "spgb" in the band of the grain's boundaries.
void Generator::add_gb_atoms(const Cell& cell, std::vector<AtomOut>& out) const {
    if (in_.gb_sites.empty()) return;
    Vec qlo{1e300, 1e300, 1e300}, qhi{-1e300, -1e300, -1e300};
    for (const Vec& q : in_.gb_sites)
        for (int a = 0; a < 3; a++) {
            qlo[a] = std::min(qlo[a], q[a]);
            qhi[a] = std::max(qhi[a], q[a]);
        }
    int first[3], last[3];
    for (int a = 0; a < 3; a++) {
        const double from = cell.seed[a] + cell.low[a], to = cell.seed[a] + cell.high[a];
        first[a] = std::max(-in_.gb_repeat[a], static_cast<int>(std::floor((from - qhi[a]) / in_.gb_cell[a])));
        last[a] = std::min(2 * in_.gb_repeat[a] - 1, static_cast<int>(std::ceil((to - qlo[a]) / in_.gb_cell[a])));
    }
    const double band = in_.gb_thick - in_.cutoff;
    for (int i = first[0]; i <= last[0]; i++)
        for (int j = first[1]; j <= last[1]; j++)
            for (int k = first[2]; k <= last[2]; k++)
                for (size_t q = 0; q < in_.gb_sites.size(); q++) {
                    const Vec x{i * in_.gb_cell[0] + in_.gb_sites[q][0], j * in_.gb_cell[1] + in_.gb_sites[q][1],
                                k * in_.gb_cell[2] + in_.gb_sites[q][2]};
                    if (cubic_spe(cell, x, band) && inside(cell, sub(x, cell.seed), 0))
                        out.push_back({in_.gb_types[q] + gb_type_shift_, x});
                }
}

// Integers from lo to hi in the fill order: 0, -1, -2, ..., then 1, 2, ...
template <class F>
void each_in_fill_order(long lo, long hi, F f) {
    for (long n = std::min(0L, hi); n >= lo; n--) f(n);
    for (long n = std::max(1L, lo); n <= hi; n++) f(n);
}

std::vector<AtomOut> Generator::fill(int g) const {
    std::vector<AtomOut> out;
    const Grain& grain = in_.grains[static_cast<size_t>(g)];
    const Cell cell = make_cell(g, in_.layout == kSpgb ? std::max(tol_, 0.0) : tol_);
    if (grain.templ < 0 || cell.empty) return out;
    const Template& t = in_.templates[static_cast<size_t>(grain.templ)];

    // Box-frame cell vectors (columns of G) and sites.
    Mat G;
    for (int r = 0; r < 3; r++) {
        const Vec v = mul(grain.orient, t.cell[r]);
        for (int a = 0; a < 3; a++) G[a][r] = v[a];
    }
    const Mat Ginv = inverse(G);
    const size_t K = t.sites.size();
    std::vector<Vec> site(K);
    for (size_t k = 0; k < K; k++) site[k] = mul(grain.orient, add(t.offset, t.sites[k]));

    // Index ranges of the lattice over the cell's bounding box.
    long range[2][2] = {{LONG_MAX, LONG_MIN}, {LONG_MAX, LONG_MIN}};
    for (size_t k = 0; k < K; k++)
        for (int corner = 0; corner < 8; corner++) {
            const Vec D{corner & 1 ? cell.high[0] : cell.low[0], corner & 2 ? cell.high[1] : cell.low[1],
                        corner & 4 ? cell.high[2] : cell.low[2]};
            const Vec n = mul(Ginv, sub(D, site[k]));
            for (int a = 0; a < 2; a++) {
                range[a][0] = std::min(range[a][0], static_cast<long>(std::floor(n[a])) - 1);
                range[a][1] = std::max(range[a][1], static_cast<long>(std::ceil(n[a])) + 1);
            }
        }
    const Vec dir{G[0][2], G[1][2], G[2][2]};
    const bool curved = !cell.curved.empty();
    std::vector<long> first(K), last(K);
    each_in_fill_order(range[0][0], range[0][1], [&](long na) {
        each_in_fill_order(range[1][0], range[1][1], [&](long nb) {
            long lo_all = LONG_MAX, hi_all = LONG_MIN;
            for (size_t k = 0; k < K; k++) {
                first[k] = 1;
                last[k] = 0;
                Vec base;
                for (int a = 0; a < 3; a++) base[a] = G[a][0] * na + G[a][1] * nb + site[k][a];
                // The stretch of the line inside the bounding box and the planes.
                QN_line_stretch line;
                line.box(base, dir, cell.low, cell.high);
                for (size_t p = 0; p < cell.planes.size() && line.open(); p++)
                    line.limit(dot(cell.planes[p].n, dir), cell.planes[p].c + tol_ - dot(cell.planes[p].n, base));
                if (!line.open()) continue;
                long lo = 0, hi = 0;
                line.steps(lo, hi);
                auto point = [&](long nc) { return add(base, scale(dir, static_cast<double>(nc))); };
                while (lo <= hi && !inside(cell, point(lo), tol_)) lo++;
                while (hi >= lo && !inside(cell, point(hi), tol_)) hi--;
                if (lo > hi) continue;
                first[k] = lo;
                last[k] = hi;
                lo_all = std::min(lo_all, lo);
                hi_all = std::max(hi_all, hi);
            }
            if (lo_all > hi_all) return;
            each_in_fill_order(lo_all, hi_all, [&](long nc) {
                for (size_t k = 0; k < K; k++) {
                    if (nc < first[k] || nc > last[k]) continue;
                    Vec d;
                    for (int a = 0; a < 3; a++) d[a] = G[a][0] * na + G[a][1] * nb + G[a][2] * nc + site[k][a];
                    if (curved && !inside(cell, d, tol_)) continue;
                    out.push_back({t.types[k], add(cell.seed, d)});
                }
            });
        });
    });

    // Segregation near boundaries (3D): the first rule that fires sets the type.
    if (in_.layout == k3D && !in_.seg.empty()) {
        QB_random random;
        random.seed(static_cast<unsigned>(in_.seed) * 2654435761u + static_cast<unsigned>(g) * 40503u + 1u);
        for (AtomOut& a : out)
            for (const SegRule& r : in_.seg) {
                if (a.type != r.from || cubic(cell, a.x, r.tol)) continue;
                if (r.p > random.next() / 32767.0) {
                    a.type = r.to;
                    break;
                }
            }
    }
    if (in_.layout == kSpgb) add_gb_atoms(cell, out);
    return out;
}

int Generator::ntypes() const {
    int n = 0;
    for (const Template& t : in_.templates) n += t.ntypes;
    if (in_.layout == k3D)
        for (const SegRule& r : in_.seg) n = std::max(n, r.to);
    if (in_.layout == kSpgb)
        for (int t : in_.gb_types) n = std::max(n, t + gb_type_shift_);
    return n;
}

bool write_log(const std::string& path, const Input& in, const std::vector<std::vector<AtomOut>>& grains) {
    QB_output_file out(path);
    if (!out) return false;
    FILE* f = out.get();
    QB_fprintf(f, "#box_size 0 %lf 0 %lf 0 %lf\n", in.box[0], in.box[1], in.box[2]);
    for (size_t g = 0; g < in.grains.size(); g++) {
        const Grain& grain = in.grains[g];
        QB_fprintf(f, "#Grain_num %d\n", static_cast<int>(grains[g].size()));
        QB_fprintf(f, "#Grain_pos %lf %lf %lf\n", grain.pos[0], grain.pos[1], grain.pos[2]);
        const Mat& m = grain.orient;
        QB_fprintf(f, "#Grain_mat %lf %lf %lf %lf %lf %lf %lf %lf %lf\n", m[0][0], m[1][0], m[2][0], m[0][1], m[1][1],
                   m[2][1], m[0][2], m[1][2], m[2][2]);
        QB_fprintf(f, "#Grain_sed %s\n", grain.templ < 0 ? "" : in.templates[static_cast<size_t>(grain.templ)].file.c_str());
    }
    std::fputs("#END", f);
    return out.commit();
}

// Wraps a coordinate into [0, L).
double wrap(double x, double L) {
    double y = x - std::floor(x / L) * L;
    if (y >= L || y < 0) y = 0;
    return y;
}

}  // namespace

// ============================================================== orientations

void eulerangle(double m[3][3], double a1, double a2, double a3) {
    const double r = 3.14159265358979323846 / 180;
    const double c1 = std::cos(a1 * r), s1 = std::sin(a1 * r), c2 = std::cos(a2 * r), s2 = std::sin(a2 * r),
                 c3 = std::cos(a3 * r), s3 = std::sin(a3 * r);
    const double rx[3][3] = {{1, 0, 0}, {0, c1, -s1}, {0, s1, c1}};
    const double ry[3][3] = {{c2, 0, s2}, {0, 1, 0}, {-s2, 0, c2}};
    const double rz[3][3] = {{c3, -s3, 0}, {s3, c3, 0}, {0, 0, 1}};
    double xy[3][3], all[3][3];
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 3; j++) {
            xy[i][j] = 0;
            for (int k = 0; k < 3; k++) xy[i][j] += rx[i][k] * ry[k][j];
        }
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 3; j++) {
            all[i][j] = 0;
            for (int k = 0; k < 3; k++) all[i][j] += xy[i][k] * rz[k][j];
        }
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 3; j++) m[i][j] = all[j][i];
}

namespace {
void normalise_rows(double m[3][3], int first) {
    for (int r = first; r < 3; r++) {
        const double len = std::sqrt(m[r][0] * m[r][0] + m[r][1] * m[r][1] + m[r][2] * m[r][2]);
        if (len > 0)
            for (int c = 0; c < 3; c++) m[r][c] /= len;
    }
}
}  // namespace

void randoml(double m[3][3], QB_random& random) {
    // Draws until the construction is defined (a zero divisor is as good as
    // impossible, but a degenerate matrix must never come out).
    for (int attempt = 0;; attempt++) {
        double q[9];
        for (int k = 0; k < 5; k++) q[k] = random.next() / 32767.0 - 0.5;
        q[5] = (-q[0] * q[3] - q[4] * q[1]) / q[2];
        q[6] = random.next() / 32767.0 - 0.5;
        q[7] = q[6] * (q[0] * q[5] - q[3] * q[2]) / (q[2] * q[4] - q[5] * q[1]);
        q[8] = (-q[0] * q[6] - q[7] * q[1]) / q[2];
        for (int r = 0; r < 3; r++)
            for (int c = 0; c < 3; c++) m[r][c] = q[3 * r + c];
        normalise_rows(m, 0);
        bool good = true;
        for (double v : q) good = good && std::isfinite(v);
        for (int r = 0; r < 3 && good; r++) {
            const double len = std::sqrt(m[r][0] * m[r][0] + m[r][1] * m[r][1] + m[r][2] * m[r][2]);
            good = std::fabs(len - 1) < 1e-9;
        }
        if (good || attempt > 100) return;
    }
}

void randoml2(double m[3][3], QB_random& random) {
    for (int attempt = 0;; attempt++) {
        m[0][0] = 1;
        m[0][1] = m[0][2] = 0;
        const double q4 = random.next() / 32767.0 - 0.5, q5 = random.next() / 32767.0 - 0.5;
        const double q7 = random.next() / 32767.0 - 0.5, q8 = -q4 * q7 / q5;
        m[1][0] = 0;
        m[1][1] = q4;
        m[1][2] = q5;
        m[2][0] = 0;
        m[2][1] = q7;
        m[2][2] = q8;
        normalise_rows(m, 1);
        const bool good = std::isfinite(q8) && (q4 != 0 || q5 != 0) && (q7 != 0 || q8 != 0);
        if (good || attempt > 100) return;
    }
}

int timer2floor(int P, int Q, int layer) { return P > 0 ? layer / P + Q * (layer % P) : 0; }

// ============================================================ spaced points

QN_spaced_points::QN_spaced_points(const double box[3], bool planar) : planar_(planar) {
    for (int a = 0; a < 3; a++) box_[a] = box[a];
}

int QN_spaced_points::cell_of(const double p[3]) const {
    int c[3];
    for (int a = 0; a < 3; a++) {
        const double f = p[a] / box_[a];
        const double w = f - std::floor(f);
        c[a] = std::min(cells_[a] - 1, std::max(0, static_cast<int>(w * cells_[a])));
    }
    return (c[0] * cells_[1] + c[1]) * cells_[2] + c[2];
}

void QN_spaced_points::insert(const double p[3]) {
    for (int a = 0; a < 3; a++) points_.push_back(p[a]);
    grid_[static_cast<size_t>(cell_of(p))].push_back(static_cast<int>(points_.size() / 3 - 1));
}

void QN_spaced_points::restart(double least_distance, int expected) {
    least_ = least_distance;
    expected_ = std::max(expected_, expected);
    points_.resize(fixed_ * 3);
    // Cells at least the least distance wide, no more of them than the points warrant.
    const double budget = std::max(64.0, static_cast<double>(fixed_) + expected_);
    for (int a = 0; a < 3; a++) {
        const double fit = least_ > 0 ? std::floor(box_[a] / least_) : 1;
        cells_[a] = (planar_ && a == 0) ? 1 : static_cast<int>(std::max(1.0, std::min(fit, std::cbrt(budget))));
    }
    grid_.assign(static_cast<size_t>(cells_[0]) * cells_[1] * cells_[2], {});
    const std::vector<double> kept = points_;
    points_.clear();
    for (size_t i = 0; i < fixed_; i++) insert(&kept[3 * i]);
}

void QN_spaced_points::add_fixed(const double p[3]) {
    if (points_.size() == fixed_ * 3) {
        for (int a = 0; a < 3; a++) points_.push_back(p[a]);
        fixed_++;
        if (!grid_.empty()) grid_[static_cast<size_t>(cell_of(p))].push_back(static_cast<int>(fixed_ - 1));
        return;
    }
    // Fixed points stand before the others.
    std::vector<double> others(points_.begin() + static_cast<long>(fixed_ * 3), points_.end());
    points_.resize(fixed_ * 3);
    for (int a = 0; a < 3; a++) points_.push_back(p[a]);
    fixed_++;
    restart(least_);
    for (size_t i = 0; i < others.size() / 3; i++) insert(&others[3 * i]);
}

bool QN_spaced_points::far_enough(const double p[3]) const {
    const double least2 = least_ * least_;
    int c[3];
    for (int a = 0; a < 3; a++) {
        const double f = p[a] / box_[a];
        c[a] = std::min(cells_[a] - 1, std::max(0, static_cast<int>((f - std::floor(f)) * cells_[a])));
    }
    int span[3][3], counts[3];
    for (int a = 0; a < 3; a++) {
        counts[a] = 0;
        for (int s = -1; s <= 1; s++) {
            const int v = ((c[a] + s) % cells_[a] + cells_[a]) % cells_[a];
            bool seen = false;
            for (int k = 0; k < counts[a]; k++) seen = seen || span[a][k] == v;
            if (!seen) span[a][counts[a]++] = v;
        }
    }
    for (int i = 0; i < counts[0]; i++)
        for (int j = 0; j < counts[1]; j++)
            for (int k = 0; k < counts[2]; k++)
                for (int q : grid_[static_cast<size_t>((span[0][i] * cells_[1] + span[1][j]) * cells_[2] + span[2][k])]) {
                    double d2 = 0;
                    for (int a = planar_ ? 1 : 0; a < 3; a++) {
                        double d = std::fabs(p[a] - points_[3 * static_cast<size_t>(q) + static_cast<size_t>(a)]);
                        d -= std::floor(d / box_[a]) * box_[a];
                        d = std::min(d, box_[a] - d);
                        d2 += d * d;
                    }
                    if (d2 < least2) return false;
                }
    return true;
}

bool QN_spaced_points::accept(const double p[3]) {
    if (grid_.empty()) restart(least_);
    if (!far_enough(p)) return false;
    insert(p);
    return true;
}

// ================================================================ generator

int ic_xyz_poly(const char* input, QB_tools* model, std::string& message, const QN_poly_options& options) {
    if (QB_progress_stop_requested()) {
        message = QB_STOPPED_MESSAGE;
        return QN_POLY_REFUSED;
    }
    std::string text, reason;
    if (!input || !QB_read_text_file(input, text, &reason)) {
        message = "ERROR: NO INPUT STRUCTURE" + (reason.empty() ? std::string() : "\n" + reason);
        return QN_POLY_REFUSED;
    }
    try {
        Input in;
        Parser parser(text, in);
        if (!parser.run()) {
            // A template read cut short by a stop request says so alone.
            message = QB_progress_stop_requested() ? std::string(QB_STOPPED_MESSAGE) : parser.error();
            return QN_POLY_REFUSED;
        }
        // Columns of "2D" repeat along x: the box must hold whole periods.
        if (in.layout == k2D)
            for (const Grain& g : in.grains) {
                if (g.templ < 0) continue;
                const Template& t = in.templates[static_cast<size_t>(g.templ)];
                const double period = period_along(t, g.orient[0], in.box[0]);
                const double periods = period > 0 ? in.box[0] / period : 0;
                if (!(period > 0) || std::fabs(periods - std::round(periods)) > 1e-6 * std::max(1.0, periods)) {
                    message = QB_format("ERROR: BOX X %lf IS NOT A MULTIPLE OF THE PERIOD ALONG X OF %s", in.box[0],
                                        t.file.c_str());
                    return QN_POLY_REFUSED;
                }
            }
        double most = 0;
        for (const Template& t : in.templates)
            most = std::max(most, t.sites.size() / std::fabs(det(t.cell)));
        if (most * in.box[0] * in.box[1] * in.box[2] > kMaxAtoms) {
            message = "ERROR: MODEL TOO LARGE";
            return QN_POLY_REFUSED;
        }

        Generator generator(in);
        generator.prepare();
        const int n = static_cast<int>(in.grains.size());
        std::vector<std::vector<AtomOut>> grains(static_cast<size_t>(n));
        std::atomic<int> next{0}, done{0};
        QB_progress_begin("Building polycrystal please wait");
        const int threads =
            std::max(1, std::min(options.threads > 0 ? options.threads : static_cast<int>(std::thread::hardware_concurrency()),
                                 std::min(n, 8)));
        std::atomic<bool> out_of_memory{false};
        // A stop request is looked at before each grain is taken.
        auto work = [&](bool report) {
            while (!QB_progress_stop_requested()) {
                const int g = next++;
                if (g >= n) break;
                try {
                    grains[static_cast<size_t>(g)] = generator.fill(g);
                } catch (const std::bad_alloc&) {
                    out_of_memory = true;
                }
                const int finished = ++done;
                if (report) QB_progress_update(100.0 * finished / n);
            }
        };
        std::vector<std::thread> pool;
        for (int k = 1; k < threads; k++) pool.emplace_back(work, false);
        work(true);
        for (auto& t : pool) t.join();
        QB_progress_end();
        if (next.load() < n) {  // grains left unfilled
            message = QB_STOPPED_MESSAGE;
            return QN_POLY_REFUSED;
        }
        if (out_of_memory) {
            message = "ERROR: NOT ENOUGH MEMORY";
            return QN_POLY_REFUSED;
        }
        size_t total = 0;
        for (int g = 0; g < n; g++) {
            const int count = static_cast<int>(grains[static_cast<size_t>(g)].size());
            if (in.layout == kLami)
                std::printf("#GRAIN %d %d\n", g + 1, count);
            else
                std::printf("#GRAIN %d get %d atoms \n", g + 1, count);
            total += grains[static_cast<size_t>(g)].size();
        }
        if (total > static_cast<size_t>(INT_MAX)) {
            message = "ERROR: MODEL TOO LARGE";
            return QN_POLY_REFUSED;
        }

        QB_tools out;
        QB_init(&out);
        out.atoms.reserve(total);
        int id = 0;
        for (const auto& grain : grains)
            for (const AtomOut& a : grain) {
                out.atoms.push_back({++id, a.type, wrap(a.x[0], in.box[0]), wrap(a.x[1], in.box[1]),
                                     wrap(a.x[2], in.box[2]), 0});
            }
        out.natoms = id;
        out.ntypes = generator.ntypes();
        // Each template's types keep their element names, and so do the
        // boundary lattice's after them.
        int shift = 0;
        for (const Template& t : in.templates) {
            QN_name_types(&out, t.names, shift);
            shift += t.ntypes;
        }
        if (in.layout == kSpgb) QN_name_types(&out, in.gb_names, shift);
        for (int a = 0; a < 3; a++) {
            out.lo[a] = out.origin[a] = 0;
            out.size[a] = out.cell[a][a] = in.box[a];
        }
        out.triclinic = 0;
        if (!options.log_path.empty() && !write_log(options.log_path, in, grains)) {
            message = "ERROR: CANNOT WRITE " + options.log_path;
            return QN_POLY_WRITE_FAILED;
        }
        *model = std::move(out);
    } catch (const std::bad_alloc&) {
        message = "ERROR: NOT ENOUGH MEMORY";
        return QN_POLY_REFUSED;
    }
    message = QN_new_model_text(model);
    return QN_POLY_BUILT;
}

int QN_poly_write_data(const QB_tools* model, const char* path) {
    if (!model || !path) return -1;
    QB_output_file out(path);
    if (!out) return -1;
    FILE* f = out.get();
    int live = 0;
    for (int i = 0; i < model->natoms; i++) live += model->atoms[static_cast<size_t>(i)].id > 0;
    QB_fprintf(f, "Position data\n%d\tatoms\n%d\tatom types\n", live, model->ntypes);
    QB_fprintf(f, "0.00\t\t%lf\txlo xhi\n0.00\t\t%lf\tylo yhi\n0.00\t\t%lf\tzlo zhi\n", model->size[0],
               model->size[1], model->size[2]);
    // The types' element names, when every type has one.
    std::fputs(QB_lammps_masses(model).c_str(), f);
    std::fputs("\nAtoms\n\n", f);
    for (int i = 0; i < model->natoms; i++) {
        const atomdata& a = model->atoms[static_cast<size_t>(i)];
        if (a.id > 0) QB_fprintf(f, "%d\t%d\t%lf\t%lf\t%lf\n", a.id, a.type, a.x, a.y, a.z);
    }
    return out.commit() ? 1 : -1;
}
