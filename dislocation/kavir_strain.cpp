// The two analyses that measure strain against a reference configuration:
//
// STA, atomic strain: per atom the least-squares map D of its reference
// bonds onto its deformed bonds (P D = Q, so the deformation gradient is
// F = D^T), the Green-Lagrange strain E = (D D^T - I) / 2, the shear and
// volumetric strain, and from the polar decomposition D = U R the stretch U
// and the rotation of the material.
//
// NTA, Nye tensor from a reference: per atom the correspondence G that maps
// the deformed bonds back onto the reference bonds (Q G = P), and the Nye
// tensor as the curl of the field G, as the NYE analysis does with ideal
// lattice bonds.
//
// Both work on the atoms inside the box; values of image neighbours are
// those of the atoms they copy. Atoms without a partner in the reference,
// and atoms whose bonds are too close to a plane for a least-squares fit,
// get NaN results.
#include "dislocation/kavir_strain.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <mutex>

#include "dislocation/kavir_compare.h"
#include "dislocation/kavir_nye.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Singular values of the Nye tensor above this (per Angstrom) are taken as
// noise of a broken correspondence.
constexpr double kNtaS1Cutoff = 0.3;
constexpr int kNtaProgressStep = 10000;

double det3(const double* A) {
    return A[0] * (A[4] * A[8] - A[5] * A[7]) - A[1] * (A[3] * A[8] - A[5] * A[6]) + A[2] * (A[3] * A[7] - A[4] * A[6]);
}

// Determinant of the 3x3 minor of a 4x4 matrix without row r and column c.
double minor4(const double M[4][4], int r, int c) {
    double m[9];
    int k = 0;
    for (int i = 0; i < 4; i++) {
        if (i == r) continue;
        for (int j = 0; j < 4; j++)
            if (j != c) m[k++] = M[i][j];
    }
    return det3(m);
}

double det4(const double M[4][4]) {
    double d = 0;
    for (int c = 0; c < 4; c++) d += (c % 2 ? -1 : 1) * M[0][c] * minor4(M, 0, c);
    return d;
}

void transpose3(const double* a, double* t) {
    for (int r = 0; r < 3; r++)
        for (int c = 0; c < 3; c++) t[3 * c + r] = a[3 * r + c];
}

// The bond pairs of one atom: reference bonds P and deformed bonds Q (rows),
// over its neighbours that have a reference partner.
struct Bonds {
    std::vector<double> P, Q;
    int count() const { return static_cast<int>(P.size() / 3); }
    void clear() {
        P.clear();
        Q.clear();
    }
};

// Fills b with the bond pairs of real atom i; with reduce, each pair loses
// whole Burgers-vector components; keep(p, q) decides whether a pair counts.
template <class Keep>
void collect_bonds(const CCMC& m, const CCMDBASE& cmd, int i, bool reduce, Keep keep, Bonds& b) {
    b.clear();
    const CANL& anl = m.nb.anl;
    const std::vector<double>& x = m.nb.peri.ext_pos;
    const std::vector<double>& ref = m.refpos;
    const size_t si = static_cast<size_t>(i);
    const int* nbr = anl.neigh(i);
    for (int k = 0, c = anl.pneighn(i); k < c; k++) {
        const size_t j = static_cast<size_t>(nbr[k]);
        if (std::isnan(ref[3 * j])) continue;  // no partner: left out
        double p[3], q[3];
        for (int d = 0; d < 3; d++) {
            p[d] = ref[3 * j + static_cast<size_t>(d)] - ref[3 * si + static_cast<size_t>(d)];
            q[d] = x[3 * j + static_cast<size_t>(d)] - x[3 * si + static_cast<size_t>(d)];
        }
        if (reduce) KAVIR_reduce_components(cmd.burgers, p, q);
        if (!keep(p, q)) continue;
        b.P.insert(b.P.end(), p, p + 3);
        b.Q.insert(b.Q.end(), q, q + 3);
    }
}

// The atoms to write to the projection file (entries of the extension, in
// input order) and their projected positions.
struct Projection {
    CPROJECT proj;
    std::vector<int> entries;
    std::vector<double> pos;
};

Projection project_atoms(CCMDBASE& cmd, const CPERI& p) {
    Projection s;
    const size_t n = p.by_input.size();
    std::vector<double> ordered(3 * n);
    for (size_t k = 0; k < n; k++)
        for (size_t d = 0; d < 3; d++) ordered[3 * k + d] = p.ext_pos[3 * static_cast<size_t>(p.by_input[k]) + d];
    proj_init(&cmd, &s.proj, static_cast<int>(n), ordered.data());
    for (int k : cmd.proj_idx) {
        const int r = p.by_input[static_cast<size_t>(k)];
        s.entries.push_back(r);
        double x[3] = {p.ext_pos[3 * static_cast<size_t>(r)], p.ext_pos[3 * static_cast<size_t>(r) + 1],
                       p.ext_pos[3 * static_cast<size_t>(r) + 2]};
        s.proj.calc(x);
        s.pos.insert(s.pos.end(), x, x + 3);
    }
    return s;
}

}  // namespace

// ================================================================ matrices

void matmul(const double* a, const double* b, double* out) {
    for (int r = 0; r < 3; r++)
        for (int c = 0; c < 3; c++) out[3 * r + c] = a[3 * r] * b[c] + a[3 * r + 1] * b[3 + c] + a[3 * r + 2] * b[6 + c];
}

bool polar_decomposition_3x3(const double* A_in, bool right_sided, double* R, double* U) {
    // The rotation nearest to A is the unit quaternion of the largest
    // eigenvalue of the symmetric 4x4 matrix N of A.
    double A[9];
    const bool improper = det3(A_in) < 0;
    for (int k = 0; k < 9; k++) A[k] = improper ? -A_in[k] : A_in[k];
    const double N[4][4] = {
        {A[0] + A[4] + A[8], A[5] - A[7], A[6] - A[2], A[1] - A[3]},
        {A[5] - A[7], A[0] - A[4] - A[8], A[1] + A[3], A[2] + A[6]},
        {A[6] - A[2], A[1] + A[3], A[4] - A[0] - A[8], A[5] + A[7]},
        {A[1] - A[3], A[2] + A[6], A[5] + A[7], A[8] - A[0] - A[4]},
    };
    // Largest root of the characteristic polynomial
    // l^4 - 2 |A|^2 l^2 - 8 det A l + det N by Newton steps from above
    // (the sum of the singular values is at most sqrt(3 |A|^2)).
    double a2 = 0;
    for (double v : A) a2 += v * v;
    const double d = det3(A), dn = det4(N);
    double lambda = std::sqrt(3 * a2);
    if (lambda > 1e-11) {
        for (int step = 0; step < 50; step++) {
            const double l2 = lambda * lambda;
            const double f = l2 * l2 - 2 * a2 * l2 - 8 * d * lambda + dn;
            const double fp = 4 * l2 * lambda - 4 * a2 * lambda - 8 * d;
            if (fp == 0) break;
            const double next = lambda - f / fp;
            const bool done = std::fabs(next - lambda) < 1e-11 * std::fabs(next);
            lambda = next;
            if (done) break;
        }
    }
    // Its eigenvector: a column of the adjugate of N - lambda I (all columns
    // are multiples of it); the longest is the most accurate.
    double M[4][4];
    for (int r = 0; r < 4; r++)
        for (int c = 0; c < 4; c++) M[r][c] = N[r][c] - (r == c ? lambda : 0);
    double best[4] = {0, 0, 0, 0}, best2 = 0;
    for (int c = 0; c < 4; c++) {
        double col[4], n2 = 0;
        for (int r = 0; r < 4; r++) {
            col[r] = ((r + c) % 2 ? -1 : 1) * minor4(M, c, r);
            n2 += col[r] * col[r];
        }
        if (n2 > best2) {
            best2 = n2;
            for (int r = 0; r < 4; r++) best[r] = col[r];
        }
    }
    bool ok = best2 >= 1e-6 && std::isfinite(best2);
    if (ok) {
        const double l = std::sqrt(best2);
        // N holds the quaternion (w, -x, -y, -z) of the rotation.
        const double w = best[0] / l, x = -best[1] / l, y = -best[2] / l, z = -best[3] / l;
        R[0] = 1 - 2 * (y * y + z * z);
        R[1] = 2 * (x * y - w * z);
        R[2] = 2 * (x * z + w * y);
        R[3] = 2 * (x * y + w * z);
        R[4] = 1 - 2 * (x * x + z * z);
        R[5] = 2 * (y * z - w * x);
        R[6] = 2 * (x * z - w * y);
        R[7] = 2 * (y * z + w * x);
        R[8] = 1 - 2 * (x * x + y * y);
    } else {
        for (int k = 0; k < 9; k++) R[k] = k % 4 == 0 ? 1 : 0;
    }
    if (improper)
        for (int k = 0; k < 9; k++) R[k] = -R[k];
    double Rt[9];
    transpose3(R, Rt);
    if (right_sided) matmul(Rt, A_in, U);
    else matmul(A_in, Rt, U);
    return ok;
}

void KAVIR_quaternion(const double* R, double q[4]) {
    // The largest of 4w^2, 4x^2, 4y^2, 4z^2 gives the most accurate root.
    const double t = R[0] + R[4] + R[8];
    double x, y, z, w;
    if (t >= R[0] && t >= R[4] && t >= R[8]) {
        w = std::sqrt(std::max(0.0, 1 + t)) / 2;
        x = (R[7] - R[5]) / (4 * w);
        y = (R[2] - R[6]) / (4 * w);
        z = (R[3] - R[1]) / (4 * w);
    } else if (R[0] >= R[4] && R[0] >= R[8]) {
        x = std::sqrt(std::max(0.0, 1 + R[0] - R[4] - R[8])) / 2;
        w = (R[7] - R[5]) / (4 * x);
        y = (R[1] + R[3]) / (4 * x);
        z = (R[2] + R[6]) / (4 * x);
    } else if (R[4] >= R[8]) {
        y = std::sqrt(std::max(0.0, 1 - R[0] + R[4] - R[8])) / 2;
        w = (R[2] - R[6]) / (4 * y);
        x = (R[1] + R[3]) / (4 * y);
        z = (R[5] + R[7]) / (4 * y);
    } else {
        z = std::sqrt(std::max(0.0, 1 - R[0] - R[4] + R[8])) / 2;
        w = (R[3] - R[1]) / (4 * z);
        x = (R[2] + R[6]) / (4 * z);
        y = (R[5] + R[7]) / (4 * z);
    }
    const double l = std::sqrt(x * x + y * y + z * z + w * w);
    const double s = (w < 0 ? -1.0 : 1.0) / l;
    q[0] = s * x;
    q[1] = s * y;
    q[2] = s * z;
    q[3] = s * w;
}

void KAVIR_reduce_components(const double b[3], double p[3], double q[3]) {
    for (int k = 0; k < 3; k++) {
        const double g = std::fabs(b[k]);
        if (!(g > 0.1)) continue;
        const double delta = p[k] - q[k];
        const double pp = p[0] * p[0] + p[1] * p[1] + p[2] * p[2];
        const double qq = q[0] * q[0] + q[1] * q[1] + q[2] * q[2];
        if (delta > g / 2) {
            const double m = std::floor(delta / g + 0.5);
            if (pp > qq) p[k] -= m * g;
            else q[k] += m * g;
        } else if (delta < -g / 2) {
            const double m = std::floor(-delta / g + 0.5);
            if (pp > qq) p[k] += m * g;
            else q[k] -= m * g;
        }
    }
}

// ================================================================ STA

class CSTA;

// Command file of the strain analysis.
class CSTACMD : public CCMDBASE {
public:
    explicit CSTACMD(CKAVIR* k) : CCMDBASE(k) {}
    bool deform = false, strain = false, stretch = false, rotation = false, volume = false;

    void cmd_read(const std::string& path);
    void calculate(const std::string& path);

private:
    std::vector<KAVIR_column> columns() const;
    // Values of the row of extension entry r, written at position x.
    void row(const CCMC& m, const CSTA& sta, size_t r, const double* x, double* v) const;
    void cmd_out(const CCMC& m, const CSTA& sta, const atom& def);
    void proj_out(const CCMC& m, const CSTA& sta, const atom& def);
};

// Per-atom strain of the atoms inside the box.
class CSTA {
public:
    CSTA(CKAVIR* k, const CSTACMD* c, const CCMC* m) : kavir(k), cmd(c), ccmc(m) {}
    CKAVIR* kavir;
    const CSTACMD* cmd;
    const CCMC* ccmc;
    int n = 0;
    std::vector<double> deform;    // D, 9 per atom, row by row
    std::vector<double> strain;    // E: XX YY ZZ XY XZ YZ
    std::vector<double> shear, volume;
    std::vector<double> stretch;   // U: XX YY ZZ XY XZ YZ
    std::vector<double> rotation;  // X Y Z W
    int flat = 0;                  // atoms whose bonds gave no fit

    void calculate();
    void calDeformPQ() { deform_from_bonds(false); }
    void calDeformPQ_burgers() { deform_from_bonds(true); }
    void calRotVol();

private:
    void deform_from_bonds(bool reduce);
};

void CSTA::deform_from_bonds(bool reduce) {
    const CANL& anl = ccmc->nb.anl;
    const std::vector<double>& ref = ccmc->refpos;
    std::atomic<int> singular{0};
    KAVIR_parallel(static_cast<size_t>(n), 2048, [&](size_t b0, size_t b1) {
        Bonds b;
        for (size_t i = b0; i < b1; i++) {
            double* D = &deform[9 * i];
            const int ii = static_cast<int>(i);
            if (std::isnan(ref[3 * i])) {
                for (int k = 0; k < 9; k++) D[k] = kNaN;
                continue;
            }
            if (anl.pneighn(ii) <= 2) continue;  // D stays zero
            collect_bonds(*ccmc, *cmd, ii, reduce, [](const double*, const double*) { return true; }, b);
            if (b.count() < 3 || !KAVIR_lsq3(b.P.data(), b.Q.data(), b.count(), 3, D)) {
                for (int k = 0; k < 9; k++) D[k] = kNaN;
                singular++;
            }
        }
    });
    flat = singular.load();
    if (flat > 0)
        kavir->say("%d atoms have bonds too close to a plane for a deformation gradient; their results are nan\n", flat);
    kavir->say("cal coresp succeed\n");
}

void CSTA::calRotVol() {
    const bool polar = cmd->stretch || cmd->rotation;
    KAVIR_parallel(static_cast<size_t>(n), 4096, [&](size_t b0, size_t b1) {
        for (size_t i = b0; i < b1; i++) {
            const double* D = &deform[9 * i];
            double E[3][3];
            for (int a = 0; a < 3; a++)
                for (int c = 0; c < 3; c++)
                    E[a][c] = 0.5 * (D[3 * a] * D[3 * c] + D[3 * a + 1] * D[3 * c + 1] + D[3 * a + 2] * D[3 * c + 2] -
                                     (a == c ? 1 : 0));
            double* e = &strain[6 * i];
            e[0] = E[0][0];
            e[1] = E[1][1];
            e[2] = E[2][2];
            e[3] = E[0][1];
            e[4] = E[0][2];
            e[5] = E[1][2];
            const double d01 = E[0][0] - E[1][1], d02 = E[0][0] - E[2][2], d12 = E[1][1] - E[2][2];
            shear[i] = std::sqrt(E[0][1] * E[0][1] + E[0][2] * E[0][2] + E[1][2] * E[1][2] +
                                 (d01 * d01 + d02 * d02 + d12 * d12) / 6);
            volume[i] = (E[0][0] + E[1][1] + E[2][2]) / 3;
            if (!polar) continue;
            double* u = &stretch[6 * i];
            double* q = &rotation[4 * i];
            if (std::isnan(D[0])) {
                for (int k = 0; k < 6; k++) u[k] = kNaN;
                for (int k = 0; k < 4; k++) q[k] = kNaN;
                continue;
            }
            double R[9], U[9];
            polar_decomposition_3x3(D, false, R, U);
            u[0] = U[0];
            u[1] = U[4];
            u[2] = U[8];
            u[3] = U[1];
            u[4] = U[2];
            u[5] = U[5];
            // D = U R, so F = D^T = R^T U: the material turns by R^T (its
            // proper part when D inverts space).
            double M[9];
            transpose3(R, M);
            if (det3(M) < 0)
                for (double& v : M) v = -v;
            KAVIR_quaternion(M, q);
        }
    });
}

void CSTA::calculate() {
    n = ccmc->nb.peri.nreal;
    const size_t sn = static_cast<size_t>(n);
    deform.assign(9 * sn, 0.0);
    strain.assign(6 * sn, 0.0);
    shear.assign(sn, 0.0);
    volume.assign(sn, 0.0);
    if (cmd->stretch || cmd->rotation) {
        stretch.assign(6 * sn, 0.0);
        rotation.assign(4 * sn, 0.0);
    }
    if (cmd->has_burgers) calDeformPQ_burgers();
    else calDeformPQ();
    calRotVol();
}

void CSTACMD::cmd_read(const std::string& path) {
    const std::vector<KAVIR_keyword> own = {
        {"Deform", {}}, {"Strain", {}}, {"Stretch", {}}, {"Rotation", {}}, {"Volume", {}},
    };
    for (const KAVIR_entry& e : readcut(path, own, 5)) {
        if (e.key == "Deform") deform = true;
        else if (e.key == "Strain") strain = true;
        else if (e.key == "Stretch") stretch = true;
        else if (e.key == "Rotation") rotation = true;
        else if (e.key == "Volume") volume = true;
    }
}

std::vector<KAVIR_column> CSTACMD::columns() const {
    std::vector<KAVIR_column> c = KAVIR_lead_columns('f');
    c.push_back({"neigh", 'd'});
    if (strain)
        for (const char* s : {"XX", "YY", "ZZ", "XY", "XZ", "YZ"}) c.push_back({std::string("StrainTensor.") + s, 'e'});
    if (deform)
        for (const char* s : {"11", "21", "31", "12", "22", "32", "13", "23", "33"})
            c.push_back({std::string("DeformationGradient.") + s, 'e'});
    if (volume) c.push_back({"VolumetricStrain", 'e'});
    c.push_back({"ShearStrain", 'e'});
    if (rotation)
        for (const char* s : {"X", "Y", "Z", "W"}) c.push_back({std::string("Rotation.") + s, 'e'});
    if (stretch)
        for (const char* s : {"XX", "YY", "ZZ", "XY", "XZ", "YZ"}) c.push_back({std::string("StretchTensor.") + s, 'e'});
    return c;
}

void CSTACMD::row(const CCMC& m, const CSTA& sta, size_t r, const double* x, double* v) const {
    const CPERI& p = m.nb.peri;
    size_t k = 0;
    v[k++] = p.ext_id[r];
    v[k++] = p.ext_type[r];
    for (int d = 0; d < 3; d++) v[k++] = x[d];
    v[k++] = m.nb.anl.pneighn(static_cast<int>(r));
    if (strain)
        for (int c = 0; c < 6; c++) v[k++] = sta.strain[6 * r + static_cast<size_t>(c)];
    if (deform)
        for (int c = 0; c < 9; c++) v[k++] = sta.deform[9 * r + static_cast<size_t>(c)];
    if (volume) v[k++] = sta.volume[r];
    v[k++] = sta.shear[r];
    if (rotation)
        for (int c = 0; c < 4; c++) v[k++] = sta.rotation[4 * r + static_cast<size_t>(c)];
    if (stretch)
        for (int c = 0; c < 6; c++) v[k++] = sta.stretch[6 * r + static_cast<size_t>(c)];
}

void CSTACMD::cmd_out(const CCMC& m, const CSTA& sta, const atom& def) {
    const CPERI& p = m.nb.peri;
    KAVIR_write_table(*this, no_output() ? std::string() : out_name(""), columns(), p.by_input.size(), def.box[0],
                      def.box[1], [&](size_t k, double* v) {
                          const size_t r = static_cast<size_t>(p.by_input[k]);
                          row(m, sta, r, &p.ext_pos[3 * r], v);
                      });
    if (!no_output()) kavir->say("result written to %s\n", write_datafile.c_str());
}

void CSTACMD::proj_out(const CCMC& m, const CSTA& sta, const atom& def) {
    const Projection s = project_atoms(*this, m.nb.peri);
    KAVIR_write_table(*this, kavir->path(proj_name(0)), columns(), s.entries.size(), def.box[0], def.box[1],
                      [&](size_t k, double* v) { row(m, sta, static_cast<size_t>(s.entries[k]), &s.pos[3 * k], v); },
                      false);
}

void CSTACMD::calculate(const std::string& path) {
    cmd_read(path);
    atom def, ref;
    KAVIR_read_two(*this, def, ref);
    CCMC ccmc(kavir);
    ccmc.def = &def;
    ccmc.ref = &ref;
    ccmc.calc(*this);
    CSTA sta(kavir, this, &ccmc);
    sta.calculate();
    cmd_out(ccmc, sta, def);
    if (has_porjection) proj_out(ccmc, sta, def);
    kavir->say("STA Success! \n");
}

void KAVIR_sta(CKAVIR* k, const std::string& inpar) {
    CSTACMD cmd(k);
    cmd.calculate(inpar);
}

// ================================================================ NTA

// Command file of the Nye analysis against a reference.
class CNTACMD : public CCMDBASE {
public:
    explicit CNTACMD(CKAVIR* k) : CCMDBASE(k) {}
    bool has_mapset = false;
    int map_method = 0;  // 0: cosine of the bond pair above the threshold; 1: distance below it
    double map_threshold = 0;
    bool mapnum = false, deformtensor = false, deformsvd = false, nye_tensors = false;

    void cmd_read(const std::string& path);
    void calculate(const std::string& path);
};

// Per-atom correspondence and Nye tensor of the atoms inside the box.
class CNTA {
public:
    CNTA(CKAVIR* k, const CNTACMD* c, const CCMC* m) : kavir(k), cmd(c), ccmc(m) {}
    CKAVIR* kavir;
    const CNTACMD* cmd;
    const CCMC* ccmc;
    int n = 0;
    std::vector<double> deform_tensor;  // G, 9 per atom
    std::vector<int> mapnum;
    std::vector<double> nye_tensor;     // alpha, 9 per atom
    std::vector<double> s;              // 3 per atom
    std::vector<double> line, burgers;  // 3 per atom
    int flat = 0;       // atoms whose bonds gave no correspondence
    int flat_grad = 0;  // atoms whose neighbours gave no gradient

    void calculate();
    void calDeform() { correspondence(false, false); }
    void calDeform_burgers() { correspondence(true, false); }
    void calDeform_check() { correspondence(cmd->has_burgers, true); }
    void cal_nye_svd();

private:
    void correspondence(bool reduce, bool check);
};

void CNTA::correspondence(bool reduce, bool check) {
    const std::vector<double>& ref = ccmc->refpos;
    const int method = cmd->map_method;
    const double thr = cmd->map_threshold;
    auto keep = [&](const double* p, const double* q) {
        if (!check) return true;
        if (method == 0) {
            const double pq = p[0] * q[0] + p[1] * q[1] + p[2] * q[2];
            const double l = std::sqrt((p[0] * p[0] + p[1] * p[1] + p[2] * p[2]) * (q[0] * q[0] + q[1] * q[1] + q[2] * q[2]));
            return l > 0 && pq / l > thr;
        }
        const double d[3] = {p[0] - q[0], p[1] - q[1], p[2] - q[2]};
        return d[0] * d[0] + d[1] * d[1] + d[2] * d[2] < thr * thr;
    };
    std::atomic<int> singular{0};
    KAVIR_parallel(static_cast<size_t>(n), 2048, [&](size_t b0, size_t b1) {
        Bonds b;
        for (size_t i = b0; i < b1; i++) {
            double* G = &deform_tensor[9 * i];
            if (std::isnan(ref[3 * i])) {
                for (int k = 0; k < 9; k++) G[k] = kNaN;
                continue;
            }
            collect_bonds(*ccmc, *cmd, static_cast<int>(i), reduce, keep, b);
            mapnum[i] = b.count();
            if (b.count() <= 2) continue;  // G stays zero
            if (!KAVIR_lsq3(b.Q.data(), b.P.data(), b.count(), 3, G)) {
                for (int k = 0; k < 9; k++) G[k] = kNaN;
                singular++;
            }
        }
    });
    flat = singular.load();
    if (flat > 0)
        kavir->say("%d atoms have bonds too close to a plane for a correspondence; their results are nan\n", flat);
    kavir->say("cal coresp succeed\n");
}

void CNTA::cal_nye_svd() {
    const CANL& anl = ccmc->nb.anl;
    const CPERI& p = ccmc->nb.peri;
    std::atomic<int> no_gradient{0};
    KAVIR_step_report report(kavir, n, "all steps", kNtaProgressStep);
    KAVIR_parallel(static_cast<size_t>(n), 2048, [&](size_t b0, size_t b1) {
        std::vector<double> B, dG;
        for (size_t i = b0; i < b1; i++) {
            // Over the deformed bonds; a decomposition that does not converge
            // leaves s, Line and Burgers at zero.
            if (KAVIR_nye_atom(anl, p.real_of, p.ext_pos.data(), deform_tensor.data(), static_cast<int>(i), kNtaS1Cutoff,
                               B, dG, &nye_tensor[9 * i], &s[3 * i], &line[3 * i], &burgers[3 * i]) == KAVIR_NYE_FLAT)
                no_gradient++;
        }
        report.done(static_cast<int>(b1 - b0));
    });
    flat_grad = no_gradient.load();
    if (flat_grad > 0)
        kavir->say("%d atoms have neighbours too close to a plane for a gradient; their results are nan\n", flat_grad);
    kavir->say("calculate completed\n");
}

void CNTA::calculate() {
    n = ccmc->nb.peri.nreal;
    const size_t sn = static_cast<size_t>(n);
    deform_tensor.assign(9 * sn, 0.0);
    mapnum.assign(sn, 0);
    nye_tensor.assign(9 * sn, 0.0);
    s.assign(3 * sn, 0.0);
    line.assign(3 * sn, 0.0);
    burgers.assign(3 * sn, 0.0);
    if (cmd->has_mapset) calDeform_check();
    else if (cmd->has_burgers) calDeform_burgers();
    else calDeform();
    cal_nye_svd();
}

void CNTACMD::cmd_read(const std::string& path) {
    const std::vector<KAVIR_keyword> own = {
        {"mapset", {":angle:cos_angle:distance", "d"}},
        {"mapnum", {}},
        {"deformtensor", {}},
        {"deformsvd", {}},
        {"nye_tensors", {}},
    };
    for (const KAVIR_entry& e : readcut(path, own, 2)) {
        const std::string& k = e.key;
        if (k == "mapset") {
            const double v = std::atof(e.args[1].c_str());
            has_mapset = true;
            if (e.args[0] == "angle") {
                map_method = 0;
                map_threshold = std::cos(v * std::acos(-1.0) / 180.0);
                kavir->say("map by angle method with cos angle cutoff %f\n", v);
            } else if (e.args[0] == "cos_angle") {
                map_method = 0;
                map_threshold = v;
                kavir->say("map by angle method with cos angle cutoff %f\n", v);
            } else {
                if (!(v > 0))
                    throw KavirError(KAVIR_BAD_INPAR, inpar + ":" + std::to_string(e.line) +
                                                          ": mapset distance needs a positive threshold");
                map_method = 1;
                map_threshold = v;
                kavir->say("map by distance method with cutoff %f\n", v);
            }
        } else if (k == "mapnum") mapnum = true;
        else if (k == "deformtensor") deformtensor = true;
        else if (k == "deformsvd") deformsvd = true;
        else if (k == "nye_tensors") nye_tensors = true;
    }
}

// Writes the result and side files of the analysis.
class CNTAOUT {
public:
    CNTAOUT(CNTACMD* c, const CCMC* m, const CNTA* r, const atom* d) : cmd(c), ccmc(m), nta(r), def(d) {}
    CNTACMD* cmd;
    const CCMC* ccmc;
    const CNTA* nta;
    const atom* def;

    void ex_coresp_func(const char* suffix) const;
    void ex_ntensor_func(const char* suffix) const;
    void cmd_out() const;
    void proj_out() const;

private:
    std::vector<KAVIR_column> result_columns() const;
    // The leading values of entry r (id, type, position x, extra columns);
    // returns the next free slot.
    size_t lead(size_t r, const double* x, double* v) const;
    void result_row(size_t r, const double* x, const double* l, const double* b, double* v) const;
    void write(const std::string& path, const std::vector<KAVIR_column>& columns,
               const std::function<void(size_t, double*)>& tail) const;
};

size_t CNTAOUT::lead(size_t r, const double* x, double* v) const {
    const CPERI& p = ccmc->nb.peri;
    size_t k = 0;
    v[k++] = p.ext_id[r];
    v[k++] = p.ext_type[r];
    for (int d = 0; d < 3; d++) v[k++] = x[d];
    const size_t o = static_cast<size_t>(p.oldidx[r]), w = static_cast<size_t>(def->ninfo);
    for (size_t c = 0; c < w; c++) v[k++] = def->info[o * w + c];
    return k;
}

void CNTAOUT::write(const std::string& path, const std::vector<KAVIR_column>& columns,
                    const std::function<void(size_t, double*)>& tail) const {
    const CPERI& p = ccmc->nb.peri;
    KAVIR_write_table(*cmd, path, columns, p.by_input.size(), def->box[0], def->box[1], [&](size_t k, double* v) {
        const size_t r = static_cast<size_t>(p.by_input[k]);
        tail(r, v + lead(r, &p.ext_pos[3 * r], v));
    }, false);
}

void CNTAOUT::ex_coresp_func(const char* suffix) const {
    std::vector<KAVIR_column> c = KAVIR_lead_columns('e', def->ninfo);
    c.push_back({"n", 'd'});
    if (cmd->deformtensor)
        for (const char* s : {"D11", "D12", "D13", "D21", "D22", "D23", "D31", "D32", "D33"}) c.push_back({s, 'e'});
    if (cmd->deformsvd) {
        const char* normal[9] = {"s1", "s2", "s3", "U.X", "U.Y", "U.Z", "V.X", "V.Y", "V.Z"};
        const char* test[9] = {"s1", "s2", "s3", "Displacement.X", "Displacement.Y", "Displacement.Z",
                               "Force.X", "Force.Y", "Force.Z"};
        for (int k = 0; k < 9; k++) c.push_back({cmd->test_mode ? test[k] : normal[k], 'e'});
    }
    write(cmd->out_name(suffix), c, [&](size_t r, double* v) {
        size_t k = 0;
        v[k++] = nta->mapnum[r];
        const double* G = &nta->deform_tensor[9 * r];
        if (cmd->deformtensor)
            for (int q = 0; q < 9; q++) v[k++] = G[q];
        if (cmd->deformsvd) {
            const double A[3][3] = {{G[0], G[1], G[2]}, {G[3], G[4], G[5]}, {G[6], G[7], G[8]}};
            double U[3][3], V[3][3], sv[3];
            if (std::isnan(G[0]) || svd_m_3(A, U, sv, V) < 0)
                for (int q = 0; q < 3; q++) sv[q] = U[0][q] = V[0][q] = kNaN;
            for (int q = 0; q < 3; q++) v[k++] = sv[q];
            for (int q = 0; q < 3; q++) v[k++] = U[0][q];
            for (int q = 0; q < 3; q++) v[k++] = V[0][q];
        }
    });
}

void CNTAOUT::ex_ntensor_func(const char* suffix) const {
    std::vector<KAVIR_column> c = KAVIR_lead_columns('e', def->ninfo);
    for (const char* s : {"N11", "N12", "N13", "N21", "N22", "N23", "N31", "N32", "N33"}) c.push_back({s, 'e'});
    write(cmd->out_name(suffix), c, [&](size_t r, double* v) {
        for (size_t q = 0; q < 9; q++) v[q] = nta->nye_tensor[9 * r + q];
    });
}

std::vector<KAVIR_column> CNTAOUT::result_columns() const {
    std::vector<KAVIR_column> c = KAVIR_lead_columns('e', def->ninfo);
    if (cmd->mapnum) c.push_back({"n", 'd'});
    const char* normal[6] = {"Line.X", "Line.Y", "Line.Z", "Burgers.X", "Burgers.Y", "Burgers.Z"};
    const char* test[6] = {"Displacement.X", "Displacement.Y", "Displacement.Z", "Force.X", "Force.Y", "Force.Z"};
    for (const char* s : {"s1", "s2", "s3"}) c.push_back({s, 'e'});
    for (int k = 0; k < 6; k++) c.push_back({cmd->test_mode ? test[k] : normal[k], 'e'});
    return c;
}

void CNTAOUT::result_row(size_t r, const double* x, const double* l, const double* b, double* v) const {
    size_t k = lead(r, x, v);
    if (cmd->mapnum) v[k++] = nta->mapnum[r];
    for (size_t d = 0; d < 3; d++) v[k++] = nta->s[3 * r + d];
    for (int d = 0; d < 3; d++) v[k++] = l[d];
    for (int d = 0; d < 3; d++) v[k++] = b[d];
}

void CNTAOUT::cmd_out() const {
    const CPERI& p = ccmc->nb.peri;
    KAVIR_write_table(*cmd, cmd->no_output() ? std::string() : cmd->out_name(""), result_columns(), p.by_input.size(),
                      def->box[0], def->box[1], [&](size_t k, double* v) {
                          const size_t r = static_cast<size_t>(p.by_input[k]);
                          result_row(r, &p.ext_pos[3 * r], &nta->line[3 * r], &nta->burgers[3 * r], v);
                      });
    if (!cmd->no_output()) cmd->kavir->say("result written to %s\n", cmd->write_datafile.c_str());
}

void CNTAOUT::proj_out() const {
    const Projection s = project_atoms(*cmd, ccmc->nb.peri);
    const size_t m = s.entries.size();
    std::vector<double> ll(3 * m), bb(3 * m);
    for (size_t k = 0; k < m; k++) {
        const size_t r = static_cast<size_t>(s.entries[k]);
        for (size_t d = 0; d < 3; d++) {
            ll[3 * k + d] = nta->line[3 * r + d];
            bb[3 * k + d] = nta->burgers[3 * r + d];
        }
        s.proj.calc(&ll[3 * k]);
        s.proj.calc(&bb[3 * k]);
    }
    KAVIR_write_table(*cmd, cmd->kavir->path(cmd->proj_name(0)), result_columns(), m, def->box[0], def->box[1],
                      [&](size_t k, double* v) {
                          result_row(static_cast<size_t>(s.entries[k]), &s.pos[3 * k], &ll[3 * k], &bb[3 * k], v);
                      }, false);
    std::vector<const double*> pv(m), bv(m);
    for (size_t k = 0; k < m; k++) {
        pv[k] = &s.pos[3 * k];
        bv[k] = &bb[3 * k];
    }
    proj_default(cmd, s.proj.plane, pv, bv, def->box[0], def->box[1]);
}

void CNTACMD::calculate(const std::string& path) {
    cmd_read(path);
    atom def, ref;
    KAVIR_read_two(*this, def, ref);
    CCMC ccmc(kavir);
    ccmc.def = &def;
    ccmc.ref = &ref;
    ccmc.calc(*this);
    CNTA nta(kavir, this, &ccmc);
    nta.calculate();
    const CNTAOUT out(this, &ccmc, &nta, &def);
    if (deformtensor || deformsvd) out.ex_coresp_func("_deform");
    if (nye_tensors) out.ex_ntensor_func("_ntensor");
    out.cmd_out();
    if (has_porjection) out.proj_out();
    kavir->say("NTA Success! \n");
}

void KAVIR_nta(CKAVIR* k, const std::string& inpar) {
    CNTACMD cmd(k);
    cmd.calculate(inpar);
}
