#include "analysis/morla_orient.h"
#include "analysis/morla_words.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "qb/qb_text.h"

namespace MORLA_METHOD {

namespace {

struct V3 {
    double x, y, z;
};

inline double dot3(const V3& a, const V3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline double len3(const V3& a) { return std::sqrt(dot3(a, a)); }
inline V3 cross3(const V3& a, const V3& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline double cos3(const V3& a, const V3& b) { return dot3(a, b) / std::sqrt(dot3(a, a) * dot3(b, b)); }

// Shared "init" of LCO and OIM.
template <class M>
int init_orientation(M& m, int argc, char** argv, const char* key) {
    m.ntypes = 0;
    const int k = find_word(argc, argv, key);
    if (k < 0) return 0;
    const std::vector<double> v = numbers_after(argc, argv, k);
    if (v.size() < 5) {
        m.isadaptive = true;
        m.cut.assign(1, 0.0);
        return -1;
    }
    m.mindis = v[0];
    const double l = std::sqrt(v[1] * v[1] + v[2] * v[2] + v[3] * v[3]);
    m.dir[0] = v[1] / l;
    m.dir[1] = v[2] / l;
    m.dir[2] = v[3] / l;
    m.cut.assign(v.begin() + 4, v.end());
    m.ntypes = static_cast<int>(m.cut.size());
    m.isadaptive = false;
    return 1;
}

// Cut-off of one call (adaptive: written into cut[0] with mindis 3 and dir
// along z); a negative value means the type has no parameters.
template <class M>
double orientation_cut(M& m, const V3* r, int n, int type) {
    if (m.isadaptive) {
        m.mindis = 3;
        m.dir[0] = 0;
        m.dir[1] = 0;
        m.dir[2] = 1;
        double S = 0;
        const int first = n < 4 ? n : 4, last = n < 12 ? n : 12;
        for (int j = 0; j < first; j++) S += 1.1547005383792517 * len3(r[j]);
        for (int j = 4; j < last; j++) S += len3(r[j]);
        const double D = n >= 12 ? 12.0 : static_cast<double>(n);
        const double R = 1.2071067811865475 * S / D;  // 0/0 without neighbours: nothing kept
        if (m.cut.empty()) m.cut.assign(1, 0.0);
        m.cut[0] = R;
        return R;
    }
    if (type < 0 || m.cut.empty()) return -1;
    const int t = type < m.ntypes && static_cast<std::size_t>(type) < m.cut.size() ? type : 0;
    return m.cut[t];
}

// Record of the mcsp test: neighbour index (into the kept list), partner
// (-1 when none came within the cut-off) and residual.
struct Record {
    int index;
    int partner;
    double residual;
};

// The part of the mcsp test shared by LCO and OIM. p holds the kept
// neighbours. Returns the code (1, 2, 3 or other_code(m)); for hcp, rec is
// sorted (in-plane records 0..5, out-of-plane 6..11), normal is the unit c
// axis and u[j] = normal . p of record j for j = 6..11.
double mcsp(const V3* p, int m, double R, double mindis, Record* rec, V3* normal, double* u) {
    const double fail = other_code(m);
    if (m != 12 && m != 14) return fail;
    const double R2 = R * R;
    for (int l = 0; l < 12; l++) {
        rec[l] = {l, -1, R2};
        for (int k = 0; k < 12; k++) {
            const V3 q{p[l].x + p[k].x, p[l].y + p[k].y, p[l].z + p[k].z};
            const double e = dot3(q, q);
            if (e < rec[l].residual) {
                rec[l].partner = k;
                rec[l].residual = e;
            }
        }
    }
    double s8 = 0, s12 = 0;
    bool all8 = true, all12 = true;
    for (int l = 0; l < 12; l++) {
        if (l < 8) {
            s8 += rec[l].residual;
            if (rec[l].partner < 0) all8 = false;
        }
        s12 += rec[l].residual;
        if (rec[l].partner < 0) all12 = false;
    }
    if (m == 14 && all8 && s8 < mindis) return 2;
    if (m == 12 && all12 && s12 < mindis) return 1;
    if (!all12) return fail;

    // hcp: sort by residual, ties keep their order.
    for (int pass = 0; pass < 12; pass++)
        for (int j = 0; j < 11; j++)
            if (rec[j].residual > rec[j + 1].residual) {
                const Record t = rec[j];
                rec[j] = rec[j + 1];
                rec[j + 1] = t;
            }
    int count = 0;
    double s6 = 0;
    for (int a = 0; a < 6; a++)
        for (int bb = 0; bb < 6; bb++)
            if (rec[bb].partner == rec[a].index) {
                count++;
                s6 += rec[a].residual;
            }
    if (!(count == 6 && s6 <= mindis)) return fail;

    const V3 P = p[rec[0].index];
    V3 nn{0, 0, 0};
    for (int q = 5; q >= 1; q--) {
        if (rec[q].partner == rec[0].index) continue;
        const V3 x = cross3(P, p[rec[q].partner]);
        if (nn.x == 0 && nn.y == 0 && nn.z == 0) {
            nn = x;
        } else {
            nn.x += (nn.x > 0 ? 1 : -1) * std::fabs(x.x);
            nn.y += (nn.y > 0 ? 1 : -1) * std::fabs(x.y);
            nn.z += (nn.z > 0 ? 1 : -1) * std::fabs(x.z);
        }
    }
    const double ln = len3(nn);
    if (!(ln > 0) || !std::isfinite(ln)) return fail;
    nn = {nn.x / ln, nn.y / ln, nn.z / ln};

    for (int j = 6; j < 12; j++) {
        const V3 Q = p[rec[j].index];
        u[j] = dot3(nn, Q);
        const V3 image{Q.x - 2 * u[j] * nn.x, Q.y - 2 * u[j] * nn.y, Q.z - 2 * u[j] * nn.z};
        for (int k = 6; k < 12; k++) {
            if (k == j) continue;
            const V3 pk = p[rec[k].index];
            const V3 d{pk.x - image.x, pk.y - image.y, pk.z - image.z};
            const double e = dot3(d, d);
            if (e < rec[j].residual) rec[j].residual = e;
        }
    }
    double sum = 0;
    for (int l = 0; l < 12; l++) sum += rec[l].residual;
    if (!(sum < mindis)) return fail;
    *normal = nn;
    return 3;
}

// Kept neighbours (strictly inside R) in list order, with their positions
// in the whole list.
int keep(const V3* r, int n, double R, V3* p, int* at) {
    const double R2 = R * R;
    int m = 0;
    for (int j = 0; j < n; j++)
        if (dot3(r[j], r[j]) < R2) {
            p[m] = r[j];
            at[m] = j;
            m++;
        }
    return m;
}

// Cubic inverse-pole-figure colour of three crystal axes; NaN when it
// cannot be normalised.
void cubic_colour(const V3& a1, const V3& a2, const V3& a3, const V3& d, double* out) {
    double E = std::fabs(cos3(a1, d)), F = std::fabs(cos3(a2, d)), D = std::fabs(cos3(a3, d));
    if (F > E) std::swap(E, F);
    if (D > E) std::swap(E, D);
    if (D > F) std::swap(F, D);
    const double red = 1 - (std::sqrt(2 * F * F + D * D) + F) / (1 + E);
    const double green = (F - D) / ((1 + E) * 0.41421356237309515);
    const double blue = 2 * D / (0.7320508075688772 * (1 + E));
    const double mu = std::fmax(std::fmax(red, green), blue);
    if (!(mu > 0) || !std::isfinite(mu)) {
        out[0] = out[1] = out[2] = NAN;
        return;
    }
    out[0] = red / mu;
    out[1] = green / mu;
    out[2] = blue / mu;
}

const double kGrey = 0.7;

}  // namespace

// ---------------------------------------------------------------------------
// Local crystallographic orientation

int LocalCrystallographicOrientation::init(int argc, char** argv) { return init_orientation(*this, argc, argv, "lco"); }

void LocalCrystallographicOrientation::freesetting() { std::vector<double>().swap(cut); }

double LocalCrystallographicOrientation::point(double ax, double ay, double az, double bx, double by, double bz) {
    return ax * bx + ay * by + az * bz;
}
double LocalCrystallographicOrientation::squaredlengths(double x, double y, double z) { return x * x + y * y + z * z; }
double LocalCrystallographicOrientation::sign(double x) { return x > 0 ? 1 : -1; }
double LocalCrystallographicOrientation::max(double a, double b) { return a > b ? a : b; }
double LocalCrystallographicOrientation::min(double a, double b) { return a < b ? a : b; }

double LocalCrystallographicOrientation::cosangle(vector* v, int j, int k) {
    return point(v[j].x, v[j].y, v[j].z, v[k].x, v[k].y, v[k].z) /
           std::sqrt(squaredlengths(v[j].x, v[j].y, v[j].z) * squaredlengths(v[k].x, v[k].y, v[k].z));
}

LocalCrystallographicOrientation::vector LocalCrystallographicOrientation::crossproduct(vector a, vector c) {
    return {a.y * c.z - a.z * c.y, a.z * c.x - a.x * c.z, a.x * c.y - a.y * c.x};
}

LocalCrystallographicOrientation::vector LocalCrystallographicOrientation::rotate(vector v, vector n) {
    const double C = 0.70710677, C1 = 0.29289323;
    // C I + (1 - C) n n^T - C [n]x, entries in single precision.
    const float m[3][3] = {
        {static_cast<float>(C + C1 * n.x * n.x), static_cast<float>(C1 * n.x * n.y + C * n.z),
         static_cast<float>(C1 * n.x * n.z - C * n.y)},
        {static_cast<float>(C1 * n.y * n.x - C * n.z), static_cast<float>(C + C1 * n.y * n.y),
         static_cast<float>(C1 * n.y * n.z + C * n.x)},
        {static_cast<float>(C1 * n.z * n.x + C * n.y), static_cast<float>(C1 * n.z * n.y - C * n.x),
         static_cast<float>(C + C1 * n.z * n.z)},
    };
    return {m[0][0] * v.x + m[0][1] * v.y + m[0][2] * v.z, m[1][0] * v.x + m[1][1] * v.y + m[1][2] * v.z,
            m[2][0] * v.x + m[2][1] * v.y + m[2][2] * v.z};
}

void LocalCrystallographicOrientation::str(vector* v, int n, double R) {
    V3 rr[MORLA_MAX_NEIGHBOURS], p[MORLA_MAX_NEIGHBOURS];
    int at[MORLA_MAX_NEIGHBOURS];
    if (n > MORLA_MAX_NEIGHBOURS) n = MORLA_MAX_NEIGHBOURS;
    if (v == nullptr || n < 0) n = 0;
    for (int j = 0; j < n; j++) rr[j] = {v[j].x, v[j].y, v[j].z};
    const int m = keep(rr, n, R, p, at);
    Record rec[12];
    V3 nn{0, 0, 1};
    double u[12] = {};
    s = mcsp(p, m, R, mindis, rec, &nn, u);
    if (s == 3) {
        for (int l = 0; l < 6; l++) {
            inplane[l] = at[rec[l].index];
            outplane[l] = at[rec[l + 6].index];
        }
    }
}

void LocalCrystallographicOrientation::fcc(vector* v, int k) {
    const V3 d{dir[0], dir[1], dir[2]};
    double val[4] = {1, 1, 1, 1};
    int idx[4] = {-1, -1, -1, -1};
    for (int j = 0; j < 12; j++) {
        const double e = std::fabs(cosangle(v, k, j) - 0.5);
        if (e < val[3]) {
            val[3] = e;
            idx[3] = j;
            for (int q = 0; q < 3; q++)
                if (val[q] > val[q + 1]) {
                    std::swap(val[q], val[q + 1]);
                    std::swap(idx[q], idx[q + 1]);
                }
        }
    }
    double out[3] = {NAN, NAN, NAN};
    if (idx[0] >= 0 && idx[1] >= 0 && idx[2] >= 0 && idx[3] >= 0) {
        const int c = idx[0];
        int dd = -1;
        double best = 1;
        for (int q = 1; q < 4; q++) {
            const double e = std::fabs(cosangle(v, c, idx[q]));
            if (e < best) {
                best = e;
                dd = idx[q];
            }
        }
        if (dd >= 0) {
            const V3 a1{v[c].x + v[dd].x, v[c].y + v[dd].y, v[c].z + v[dd].z};
            V3 a2{0, 0, 0};
            for (int q = 1; q < 4; q++) {
                a2.x += v[idx[q]].x;
                a2.y += v[idx[q]].y;
                a2.z += v[idx[q]].z;
            }
            a2 = {a2.x - v[dd].x, a2.y - v[dd].y, a2.z - v[dd].z};
            cubic_colour(a1, a2, cross3(a1, a2), d, out);
        }
    }
    r += out[0];
    g += out[1];
    b += out[2];
}

void LocalCrystallographicOrientation::bcc(vector* v, int k) {
    const V3 d{dir[0], dir[1], dir[2]};
    int ib = -1, ic = -1;
    double vb = 1, vc = 1;
    for (int j = 0; j < 8; j++) {
        const double c = cosangle(v, k, j);
        if (std::fabs(c + 1) < vb) {
            vb = std::fabs(c + 1);
            ib = j;
        }
        if (std::fabs(c - 0.3333132475682374) < vc) {
            vc = std::fabs(c - 0.3333132475682374);
            ic = j;
        }
    }
    double out[3] = {NAN, NAN, NAN};
    if (ib >= 0 && ic >= 0) {
        const vector v1{v[k].x + v[ic].x, v[k].y + v[ic].y, v[k].z + v[ic].z};
        const vector v2{v[ic].x + v[ib].x, v[ic].y + v[ib].y, v[ic].z + v[ib].z};
        const vector v3 = crossproduct(v1, v2);
        const double l = std::sqrt(squaredlengths(v2.x, v2.y, v2.z));
        const vector n{v2.x / l, v2.y / l, v2.z / l};
        const vector a2 = rotate(v1, n), a3 = rotate(v3, n);
        cubic_colour({n.x, n.y, n.z}, {a2.x, a2.y, a2.z}, {a3.x, a3.y, a3.z}, d, out);
    }
    r += out[0];
    g += out[1];
    b += out[2];
}

void LocalCrystallographicOrientation::hcp(vector* v, int k) {
    const V3 d{dir[0], dir[1], dir[2]};
    auto at = [&](int j) { return V3{v[j].x, v[j].y, v[j].z}; };
    int P[3] = {inplane[k], -1, -1};
    {
        double best = 1, second = 1;
        int ibest = -1, isecond = -1;
        for (int q = 0; q < 6; q++) {
            const double e = std::fabs(cosangle(v, P[0], inplane[q]) + 0.5);
            if (e < second) {
                second = e;
                isecond = inplane[q];
                if (second < best) {
                    std::swap(best, second);
                    std::swap(ibest, isecond);
                }
            }
        }
        P[1] = isecond;
        P[2] = ibest;
    }
    double out[3] = {NAN, NAN, NAN};
    if (P[1] >= 0 && P[2] >= 0) {
        V3 o[3];
        bool ok = true;
        for (int i = 0; i < 3 && ok; i++) {
            double best = 1, second = 1;
            int ibest = -1, isecond = -1;
            for (int q = 0; q < 6; q++) {
                const double e = std::fabs(cosangle(v, P[i], outplane[q]));
                if (e < second) {
                    second = e;
                    isecond = outplane[q];
                    if (second < best) {
                        std::swap(best, second);
                        std::swap(ibest, isecond);
                    }
                }
            }
            if (ibest < 0 || isecond < 0) {
                ok = false;
                break;
            }
            const V3 x = at(ibest), y = at(isecond);
            o[i] = {x.x + y.x, x.y + y.y, x.z + y.z};
        }
        if (ok) {
            const V3 N = cross3(at(P[0]), at(P[1]));
            int istar = -1;
            double alpha = 0;
            for (int i = 0; i < 3; i++) {
                const double e = std::fabs(cos3(at(P[i]), d));
                if (e > alpha) {
                    alpha = e;
                    istar = i;
                }
            }
            const double beta = istar >= 0 ? std::fabs(cos3(o[istar], d)) : 0;
            const double gamma = std::fabs(cos3(N, d));
            const double red = 1 - std::sqrt(alpha * alpha + beta * beta) / (1 + gamma);
            const double green = (alpha - std::sqrt(3.0) * beta) / (1 + gamma);
            const double blue = 2 * beta / (1 + gamma);
            const double mu = max(max(red, green), blue);
            if (mu > 0 && std::isfinite(mu)) {
                out[0] = red / mu;
                out[1] = green / mu;
                out[2] = blue / mu;
            }
        }
    }
    r += out[0];
    g += out[1];
    b += out[2];
}

void LocalCrystallographicOrientation::analysis(double* centre, double** neighbours, int n, int type) {
    r = g = b = kGrey;
    n = usable_count(centre, neighbours, n);
    vector v[MORLA_MAX_NEIGHBOURS];
    V3 rr[MORLA_MAX_NEIGHBOURS];
    for (int j = 0; j < n; j++) {
        v[j] = {neighbours[j][0] - centre[0], neighbours[j][1] - centre[1], neighbours[j][2] - centre[2]};
        rr[j] = {v[j].x, v[j].y, v[j].z};
    }
    const double R = orientation_cut(*this, rr, n, type);
    if (!(R >= 0)) {
        s = other_code(0);
        return;
    }
    str(v, n, R);
    int calls = 0;
    if (s == 1) calls = 6;
    else if (s == 2) calls = 4;
    else if (s == 3) calls = 3;
    if (calls == 0) return;
    r = g = b = 0;
    for (int k = 0; k < calls; k++) {
        if (s == 1) fcc(v, k);
        else if (s == 2) bcc(v, k);
        else hcp(v, k);
    }
    if (s == 2) {
        r *= 0.25;
        g *= 0.25;
        b *= 0.25;
    } else {
        r /= calls;
        g /= calls;
        b /= calls;
    }
    if (!std::isfinite(r) || !std::isfinite(g) || !std::isfinite(b)) r = g = b = kGrey;
}

// ---------------------------------------------------------------------------
// Orientation imaging map

namespace {

const double k135 = 2.356194490192345, k90 = 1.5707963267948966, k45 = 0.7853981633974483;
const double k180 = 3.141592653589793, k120 = 2.0943951023931953, k60 = 1.0471975511965976;
const double k144 = 2.5261129449194057, k35 = 0.6154797086703874;
const double k125 = 2.186276035465284, k54 = 0.9553166181245093;
const double k109 = 1.9106332362490186, k70 = 1.2309594173407747;
const double k150 = 2.6179938779914944, k30 = 0.5235987755982988;
const double k73 = 1.2779535550663212, k106 = 1.863639098523472;

double deviation(const double* a, const double* ref, int n) {
    double d = 0;
    for (int l = 0; l < n; l++) d += std::fabs(a[l] - ref[l]);
    return d;
}

double weight(double delta) { return delta < 1e-5 ? 100000.0 : std::pow(delta, -1.1); }

void unit_weights(double* rgb, double w0, double w1, double w2) {
    const double l = std::sqrt(w0 * w0 + w1 * w1 + w2 * w2);
    if (!(l > 0) || !std::isfinite(l)) {
        rgb[0] = rgb[1] = rgb[2] = kGrey;
        return;
    }
    rgb[0] = w0 / l;
    rgb[1] = w1 / l;
    rgb[2] = w2 / l;
}

}  // namespace

int OrientationImagingMap::init(int argc, char** argv) { return init_orientation(*this, argc, argv, "oim"); }

void OrientationImagingMap::freesetting() { std::vector<double>().swap(cut); }

double OrientationImagingMap::point(double ax, double ay, double az, double bx, double by, double bz) {
    return ax * bx + ay * by + az * bz;
}
double OrientationImagingMap::squaredlengths(double x, double y, double z) { return x * x + y * y + z * z; }
double OrientationImagingMap::sign(double x) { return x > 0 ? 1 : -1; }

void OrientationImagingMap::sbubble(double* a, int n) {
    for (int pass = 0; pass < n - 1; pass++)
        for (int j = 0; j < n - 1; j++)
            if (a[j] >= a[j + 1]) std::swap(a[j], a[j + 1]);
}

void OrientationImagingMap::str(double** w, int n, double R) {
    V3 rr[MORLA_MAX_NEIGHBOURS], p[MORLA_MAX_NEIGHBOURS];
    int at[MORLA_MAX_NEIGHBOURS];
    if (n > MORLA_MAX_NEIGHBOURS) n = MORLA_MAX_NEIGHBOURS;
    if (w == nullptr || n < 0) n = 0;
    for (int j = 0; j < n; j++) rr[j] = {w[j][0], w[j][1], w[j][2]};
    const int m = keep(rr, n, R, p, at);
    Record rec[12];
    V3 nn{0, 0, 1};
    double u[12] = {};
    const double code = mcsp(p, m, R, mindis, rec, &nn, u);
    if (code == 3) {
        double h = 0, t = 0;
        for (int j = 6; j < 12; j++) h += std::fabs(u[j]);
        for (int j = 0; j < 6; j++) t += len3(p[rec[j].index]);
        const double beta = h / t - 0.8164965809277259;
        V3 ordered[12];
        for (int l = 0; l < 12; l++) {
            V3 q = p[rec[l].index];
            if (l >= 6) {
                const double c = beta * dot3(nn, q);
                q = {q.x - c * nn.x, q.y - c * nn.y, q.z - c * nn.z};
            }
            ordered[l] = q;
        }
        for (int l = 0; l < 12; l++) {
            w[l][0] = ordered[l].x;
            w[l][1] = ordered[l].y;
            w[l][2] = ordered[l].z;
        }
    }
    s = code;
}

void OrientationImagingMap::fcc(double* rgb, double* a) {
    const double red[12] = {k135, k135, k135, k135, k90, k90, k90, k90, k45, k45, k45, k45};
    const double green[12] = {k180, k120, k120, k120, k120, k90, k90, k60, k60, k60, k60, 0};
    const double blue[12] = {k144, k144, k144, k90, k90, k90, k90, k90, k90, k35, k35, k35};
    unit_weights(rgb, weight(deviation(a, red, 12)), weight(deviation(a, green, 12)), weight(deviation(a, blue, 12)));
}

void OrientationImagingMap::bcc(double* rgb, double* a) {
    const double red[8] = {k125, k125, k125, k125, k54, k54, k54, k54};
    const double green[8] = {k144, k144, k90, k90, k90, k90, k35, k35};
    const double blue[8] = {k180, k109, k109, k109, k70, k70, k70, 0};
    unit_weights(rgb, weight(deviation(a, red, 8)), weight(deviation(a, green, 8)), weight(deviation(a, blue, 8)));
}

void OrientationImagingMap::hcp(double* rgb, double* a) {
    const double red[12] = {k90, k90, k90, k90, k90, k90, k144, k144, k144, k35, k35, k35};
    const double green[12] = {k180, k120, k120, k60, k60, 0, k120, k120, k90, k90, k60, k60};
    const double blue_in[6] = {k150, k150, k90, k90, k30, k30};
    const double blue_out1[6] = {k125, k125, k73, k73, k73, k73};
    const double blue_out2[6] = {k106, k106, k106, k106, k54, k54};
    const double dblue =
        deviation(a, blue_in, 6) + std::fmin(deviation(a + 6, blue_out1, 6), deviation(a + 6, blue_out2, 6));
    unit_weights(rgb, weight(deviation(a, red, 12)), weight(deviation(a, green, 12)), weight(dblue));
}

void OrientationImagingMap::analysis(double* centre, double** neighbours, int n, int type) {
    s = 0;
    r = g = b = kGrey;
    n = usable_count(centre, neighbours, n);
    double work[MORLA_MAX_NEIGHBOURS][3];
    double* w[MORLA_MAX_NEIGHBOURS];
    V3 rr[MORLA_MAX_NEIGHBOURS];
    for (int j = 0; j < n; j++) {
        for (int c = 0; c < 3; c++) work[j][c] = neighbours[j][c] - centre[c];
        w[j] = work[j];
        rr[j] = {work[j][0], work[j][1], work[j][2]};
    }
    const double R = orientation_cut(*this, rr, n, type);
    if (!(R >= 0)) {
        s = other_code(0);
        return;
    }
    str(w, n, R);
    if (!(s > 0.75)) return;

    // Cosines to the reference direction; its length enters the divisor, so
    // a direction of zero length gives no colour (grey) rather than 90 deg.
    const double dlen = std::sqrt(squaredlengths(dir[0], dir[1], dir[2]));
    double t[12];
    for (int l = 0; l < 12; l++) {
        const double len = dlen * std::sqrt(squaredlengths(w[l][0], w[l][1], w[l][2]));
        double c = point(dir[0], dir[1], dir[2], w[l][0], w[l][1], w[l][2]) / len;
        if (c > 1) c = 1;
        if (c < -1) c = -1;
        t[l] = c;
    }
    double rgb[3] = {kGrey, kGrey, kGrey};
    double angles[12];
    if (s == 1) {
        sbubble(t, 12);
        for (int l = 0; l < 12; l++) angles[l] = std::acos(t[l]);
        fcc(rgb, angles);
    } else if (s == 2) {
        sbubble(t, 8);
        for (int l = 0; l < 8; l++) angles[l] = std::acos(t[l]);
        bcc(rgb, angles);
    } else if (s == 3) {
        sbubble(t, 6);
        sbubble(t + 6, 6);
        for (int l = 0; l < 12; l++) angles[l] = std::acos(t[l]);
        hcp(rgb, angles);
    }
    r = rgb[0];
    g = rgb[1];
    b = rgb[2];
}

// ---------------------------------------------------------------------------
// Neighbour distance analysis

void NeighborDistanceAnalysis::sbubble(double* a, int n) {
    for (int pass = 0; pass < n - 1; pass++)
        for (int j = 0; j < n - 1; j++)
            if (a[j] >= a[j + 1]) std::swap(a[j], a[j + 1]);
}

void NeighborDistanceAnalysis::freesetting() {
    npattern = 0;
    std::vector<std::vector<double>>().swap(pattern_dist);
    std::vector<std::vector<double>>().swap(pattern_radial);
    std::vector<double>().swap(pattern_tol);
    std::vector<int>().swap(pattern_size);
}

void NeighborDistanceAnalysis::append(const std::vector<double>& pts, double tol) {
    const int N = static_cast<int>(pts.size() / 3);
    std::vector<double> radial(N), dist;
    dist.reserve(static_cast<std::size_t>(N) * (N > 0 ? N - 1 : 0));
    for (int i = 0; i < N; i++)
        radial[i] = std::sqrt(pts[3 * i] * pts[3 * i] + pts[3 * i + 1] * pts[3 * i + 1] + pts[3 * i + 2] * pts[3 * i + 2]);
    sbubble(radial.data(), N);
    for (int i = 0; i < N; i++) {
        std::vector<double> row;
        for (int j = 0; j < N; j++) {
            if (j == i) continue;
            const double dx = pts[3 * i] - pts[3 * j], dy = pts[3 * i + 1] - pts[3 * j + 1],
                         dz = pts[3 * i + 2] - pts[3 * j + 2];
            row.push_back(std::sqrt(dx * dx + dy * dy + dz * dz));
        }
        sbubble(row.data(), static_cast<int>(row.size()));
        dist.insert(dist.end(), row.begin(), row.end());
    }
    pattern_dist.push_back(dist);
    pattern_radial.push_back(radial);
    pattern_tol.push_back(tol);
    pattern_size.push_back(N);
    npattern = static_cast<int>(pattern_size.size());
}

int NeighborDistanceAnalysis::readpattern(char* file) {
    if (file == nullptr) return 0;
    FILE* f = std::fopen(file, "r");
    if (f == nullptr) return 0;
    std::string text;
    char buf[4096];
    std::size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, got);
    std::fclose(f);

    // Skip the title line, then split into words.
    const std::size_t eol = text.find('\n');
    text = eol == std::string::npos ? std::string() : text.substr(eol + 1);
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) i++;
        const std::size_t start = i;
        while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i]))) i++;
        if (i > start) words.push_back(text.substr(start, i - start));
    }

    long N = 0;
    double tol = 0;
    if (words.size() < 2 || !whole_int(words[0].c_str(), &N) || !whole_double(words[1].c_str(), &tol)) return -1;
    if (N < 1 || N > 100000 || !std::isfinite(tol)) return -1;
    if (words.size() < 2 + 3 * static_cast<std::size_t>(N)) return -1;  // truncated
    std::vector<double> pts(3 * N);
    for (long k = 0; k < 3 * N; k++)
        if (!whole_double(words[2 + k].c_str(), &pts[k]) || !std::isfinite(pts[k])) return -1;
    for (long k = 0; k < N; k++)
        if (pts[3 * k] == 0 && pts[3 * k + 1] == 0 && pts[3 * k + 2] == 0) return -1;  // point at the origin
    append(pts, tol);
    return 1;
}

void NeighborDistanceAnalysis::defaultsetting() {
    std::vector<double> f;
    for (int sx = -1; sx <= 1; sx += 2)
        for (int sy = -1; sy <= 1; sy += 2) {
            f.insert(f.end(), {0.5 * sx, 0.5 * sy, 0});
            f.insert(f.end(), {0, 0.5 * sx, 0.5 * sy});
            f.insert(f.end(), {0.5 * sx, 0, 0.5 * sy});
        }
    append(f, 0.21);
    std::vector<double> c;
    for (int sx = -1; sx <= 1; sx += 2)
        for (int sy = -1; sy <= 1; sy += 2)
            for (int sz = -1; sz <= 1; sz += 2) c.insert(c.end(), {0.5 * sx, 0.5 * sy, 0.5 * sz});
    for (int sx = -1; sx <= 1; sx += 2) {
        c.insert(c.end(), {1.0 * sx, 0, 0});
        c.insert(c.end(), {0, 1.0 * sx, 0});
        c.insert(c.end(), {0, 0, 1.0 * sx});
    }
    append(c, 0.21);
}

int NeighborDistanceAnalysis::init(int argc, char** argv) {
    freesetting();
    bool keyword = false;
    int i = 0;
    while ((i = find_word(argc, argv, "nda", i)) >= 0) {
        keyword = true;
        i++;
        for (; i < argc; i++) {
            const int got = readpattern(argv[i]);
            if (got < 0) return -1;
            if (got == 0) break;
        }
    }
    if (npattern > 0) return 1;
    if (keyword) {
        defaultsetting();
        return 2;
    }
    return 0;
}

int NeighborDistanceAnalysis::analysis(double* centre, double** neighbours, int n) {
    nmatch = 0;
    n = usable_count(centre, neighbours, n);
    if (n == 0) return -1;
    V3 rv[MORLA_MAX_NEIGHBOURS];
    for (int j = 0; j < n; j++)
        rv[j] = {neighbours[j][0] - centre[0], neighbours[j][1] - centre[1], neighbours[j][2] - centre[2]};
    const double d0 = len3(rv[0]);
    if (!(d0 > 0) || !std::isfinite(d0)) return -1;
    double best = 1;
    int result = -1;
    for (int i = 0; i < npattern; i++) {
        const int N = pattern_size[i];
        if (N < 1 || N > n) continue;
        const double tau = pattern_tol[i];
        const int w = N - 1;
        std::vector<double> atom(static_cast<std::size_t>(N) * w);
        double f = 0;
        for (int k = 0; k < N; k++) {
            int c = 0;
            for (int l = 0; l < N; l++) {
                if (l == k) continue;
                const V3 d{rv[l].x - rv[k].x, rv[l].y - rv[k].y, rv[l].z - rv[k].z};
                atom[k * w + c++] = len3(d);
            }
            sbubble(atom.data() + k * w, w);
            f += len3(rv[k]) / pattern_radial[i][k];
        }
        f /= N;
        std::vector<char> taken(N, 0);
        double o = 0;
        for (int k = 0; k < N; k++) {
            double C = tau * d0;
            int choice = -1;
            for (int m = 0; m < N; m++) {
                if (taken[m]) continue;
                double D = 0;
                for (int l = 0; l < w; l++) {
                    const double e = std::fabs(f * pattern_dist[i][m * w + l] - atom[k * w + l]);
                    if (e > D) D = e;
                }
                if (D < C) {
                    choice = m;
                    C = D;
                    if (D > o) o = D;
                }
            }
            if (choice >= 0) taken[choice] = 1;
        }
        bool all = true;
        for (int m = 0; m < N; m++)
            if (!taken[m]) all = false;
        if (!all) continue;
        const double score = o / d0 / tau;
        if (score < best) {
            best = score;
            result = i + 1;
            nmatch = N;
        }
    }
    return result;
}

}  // namespace MORLA_METHOD
