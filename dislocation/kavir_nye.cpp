#include "dislocation/kavir_nye.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>

#include "qb/qb_text.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Q^T Q counts as singular when det / (trace / 3)^3 is below this: the
// smallest eigenvalue is then below about 1e-9 of the largest (bonds
// within a few hundredths of a degree of a plane).
constexpr double kFlat = 1e-9;

using Vec3 = std::array<double, 3>;

}  // namespace

bool KAVIR_lsq3(const double* Q, const double* R, int n, int k, double* X) {
    double A[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
    for (int j = 0; j < n; j++)
        for (int a = 0; a < 3; a++)
            for (int b = 0; b < 3; b++) A[a][b] += Q[3 * j + a] * Q[3 * j + b];
    const double det = A[0][0] * (A[1][1] * A[2][2] - A[1][2] * A[2][1]) -
                       A[0][1] * (A[1][0] * A[2][2] - A[1][2] * A[2][0]) +
                       A[0][2] * (A[1][0] * A[2][1] - A[1][1] * A[2][0]);
    const double tr = (A[0][0] + A[1][1] + A[2][2]) / 3;
    if (!(tr > 0) || !(det > kFlat * tr * tr * tr)) return false;
    double inv[3][3];
    inv[0][0] = (A[1][1] * A[2][2] - A[1][2] * A[2][1]) / det;
    inv[0][1] = (A[0][2] * A[2][1] - A[0][1] * A[2][2]) / det;
    inv[0][2] = (A[0][1] * A[1][2] - A[0][2] * A[1][1]) / det;
    inv[1][0] = (A[1][2] * A[2][0] - A[1][0] * A[2][2]) / det;
    inv[1][1] = (A[0][0] * A[2][2] - A[0][2] * A[2][0]) / det;
    inv[1][2] = (A[0][2] * A[1][0] - A[0][0] * A[1][2]) / det;
    inv[2][0] = (A[1][0] * A[2][1] - A[1][1] * A[2][0]) / det;
    inv[2][1] = (A[0][1] * A[2][0] - A[0][0] * A[2][1]) / det;
    inv[2][2] = (A[0][0] * A[1][1] - A[0][1] * A[1][0]) / det;
    // X = inv * Q^T R
    double QtR[27] = {0};  // k <= 9
    for (int j = 0; j < n; j++)
        for (int a = 0; a < 3; a++)
            for (int c = 0; c < k; c++) QtR[a * k + c] += Q[3 * j + a] * R[k * j + c];
    for (int a = 0; a < 3; a++)
        for (int c = 0; c < k; c++)
            X[a * k + c] = inv[a][0] * QtR[c] + inv[a][1] * QtR[k + c] +
                           inv[a][2] * QtR[2 * k + c];
    return true;
}

namespace {

std::vector<Vec3> crystal_bonds(int code, bool variant2) {
    std::vector<Vec3> b;
    if (code == LATTICE_FCC) {
        b = {{0, .5, .5}, {.5, 0, .5}, {.5, .5, 0}, {0, -.5, .5}, {-.5, 0, .5}, {-.5, .5, 0}};
    } else if (code == LATTICE_BCC) {
        b = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {.5, .5, .5}, {-.5, .5, .5}, {.5, -.5, .5}, {.5, .5, -.5}};
    } else if (code == LATTICE_HCP) {
        const double r3 = std::sqrt(3.0), z = std::sqrt(2.0 / 3.0), y1 = 1 / r3, y2 = 1 / (2 * r3);
        b = {{1, 0, 0}, {-1, 0, 0}, {.5, r3 / 2, 0}, {-.5, r3 / 2, 0}, {-.5, -r3 / 2, 0}, {.5, -r3 / 2, 0},
             {0, y1, z}, {-.5, -y2, z}, {.5, -y2, z}, {0, y1, -z}, {-.5, -y2, -z}, {.5, -y2, -z}};
        if (variant2)
            for (size_t k = 6; k < 12; k++) b[k][1] = -b[k][1];
        return b;
    } else {
        return b;
    }
    const size_t half = b.size();
    for (size_t k = 0; k < half; k++) b.push_back({-b[k][0], -b[k][1], -b[k][2]});
    return b;
}

}  // namespace

// ================================================================ matrices

int svd_m_3(const double A[3][3], double U[3][3], double s[3], double V[3][3]) {
    double S[3][3], E[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    for (int a = 0; a < 3; a++)
        for (int b = 0; b < 3; b++) S[a][b] = A[0][a] * A[0][b] + A[1][a] * A[1][b] + A[2][a] * A[2][b];
    int rotations = 0;
    for (;;) {
        int p = 0, q = 1;
        double big = std::fabs(S[0][1]);
        if (std::fabs(S[0][2]) > big) p = 0, q = 2, big = std::fabs(S[0][2]);
        if (std::fabs(S[1][2]) > big) p = 1, q = 2, big = std::fabs(S[1][2]);
        const double scale = std::max({std::fabs(S[0][0]), std::fabs(S[1][1]), std::fabs(S[2][2])});
        if (big <= 1e-15 * scale || big == 0) break;
        if (++rotations > 100) return -1;
        const double theta = (S[q][q] - S[p][p]) / (2 * S[p][q]);
        const double t = (theta >= 0 ? 1 : -1) / (std::fabs(theta) + std::sqrt(theta * theta + 1));
        const double c = 1 / std::sqrt(t * t + 1), sn = t * c;
        for (int k = 0; k < 3; k++) {
            const double skp = S[k][p], skq = S[k][q];
            S[k][p] = c * skp - sn * skq;
            S[k][q] = sn * skp + c * skq;
        }
        for (int k = 0; k < 3; k++) {
            const double spk = S[p][k], sqk = S[q][k];
            S[p][k] = c * spk - sn * sqk;
            S[q][k] = sn * spk + c * sqk;
        }
        for (int k = 0; k < 3; k++) {
            const double ekp = E[k][p], ekq = E[k][q];
            E[k][p] = c * ekp - sn * ekq;
            E[k][q] = sn * ekp + c * ekq;
        }
    }
    int order[3] = {0, 1, 2};
    std::sort(order, order + 3, [&](int a, int b) { return S[a][a] > S[b][b]; });
    for (int k = 0; k < 3; k++) {
        const int o = order[k];
        s[k] = std::sqrt(std::max(0.0, S[o][o]));
        for (int c = 0; c < 3; c++) V[k][c] = E[c][o];
        for (int r = 0; r < 3; r++)
            U[k][r] = s[k] > 0 ? (A[r][0] * V[k][0] + A[r][1] * V[k][1] + A[r][2] * V[k][2]) / s[k] : 0.0;
    }
    return rotations;
}

bool pinv_m_3(const double* Q, const double* P, int n, double X[3][3]) {
    double out[9];
    if (!KAVIR_lsq3(Q, P, n, 3, out)) return false;
    for (int a = 0; a < 3; a++)
        for (int b = 0; b < 3; b++) X[a][b] = out[3 * a + b];
    return true;
}

// ================================================================ CLattice

void CLattice::calculate(CKAVIR* k, const CANL& anl) {
    const int T = anl.ntypes;
    orient.assign(static_cast<size_t>(T), {1, 0, 0, 0, 1, 0, 0, 0, 1});
    code.assign(static_cast<size_t>(T), LATTICE_FCC);
    constant.assign(static_cast<size_t>(T), 0.0);
    mean.assign(static_cast<size_t>(T), 0.0);
    dev.assign(static_cast<size_t>(T), 0.0);
    histogram.assign(static_cast<size_t>(T), {});
    auto index_of = [&](int value) {
        for (int t = 0; t < T; t++)
            if (anl.typeid_[static_cast<size_t>(t)] == value) return t;
        return -1;
    };
    for (const Manual& m : orient_entries) {
        const int t = index_of(m.type);
        if (t < 0) continue;
        for (int r = 0; r < 3; r++) {
            const double l = std::sqrt(m.m[r][0] * m.m[r][0] + m.m[r][1] * m.m[r][1] + m.m[r][2] * m.m[r][2]);
            for (int c = 0; c < 3; c++) orient[static_cast<size_t>(t)][static_cast<size_t>(3 * r + c)] = m.m[r][c] / l;
        }
    }
    // Bond statistics of the atoms whose neighbours share their type (all
    // atoms of the type when there is none).
    for (int t = 0; t < T; t++) {
        for (int pass = 0; pass < 2; pass++) {
            double sum = 0, sum2 = 0;
            long long count = 0;
            std::vector<long long>& h = histogram[static_cast<size_t>(t)];
            h.clear();
            for (int i = 0; i < anl.nlist; i++) {
                if (anl.type[static_cast<size_t>(i)] != t || (pass == 0 && anl.unpure[static_cast<size_t>(i)])) continue;
                const int c = anl.pneighn(i);
                if (static_cast<size_t>(c) >= h.size()) h.resize(static_cast<size_t>(c) + 1, 0);
                h[static_cast<size_t>(c)]++;
                for (int q = 0; q < c; q++) {
                    const double d = anl.length(i, q);
                    sum += d;
                    sum2 += d * d;
                    count++;
                }
            }
            if (count == 0 && pass == 0) continue;
            if (count > 0) {
                mean[static_cast<size_t>(t)] = sum / static_cast<double>(count);
                dev[static_cast<size_t>(t)] = std::sqrt(std::max(0.0, sum2 / static_cast<double>(count) - mean[static_cast<size_t>(t)] * mean[static_cast<size_t>(t)]));
            }
            break;
        }
        // Most frequent neighbour count: 14 means bcc.
        const auto& h = histogram[static_cast<size_t>(t)];
        int mode = 0;
        for (size_t c = 1; c < h.size(); c++) {
            if (h[c] > h[static_cast<size_t>(mode)]) mode = static_cast<int>(c);
            else if (h[c] == h[static_cast<size_t>(mode)] && h[c] > 0 && c == 10) mode = 10;
        }
        code[static_cast<size_t>(t)] = mode == 14 ? LATTICE_BCC : LATTICE_FCC;
    }
    for (const auto& e : type_entries) {
        const int t = index_of(e.first);
        if (t >= 0) code[static_cast<size_t>(t)] = e.second;
    }
    for (int t = 0; t < T; t++) {
        const double E = mean[static_cast<size_t>(t)];
        const int c = code[static_cast<size_t>(t)];
        constant[static_cast<size_t>(t)] =
            c == LATTICE_FCC ? std::sqrt(2.0) * E : c == LATTICE_BCC ? 14 * E / (4 * std::sqrt(3.0) + 6) : E;
    }
    k->say("lattice constant:\n");
    for (int v : anl.typeid_) k->say("%4d\t", v);
    k->say("\n");
    for (double a : constant) k->say("%7.4f\t", a);
    k->say("\n");
    for (const auto& e : const_entries) {
        const int t = index_of(e.first);
        if (t >= 0) constant[static_cast<size_t>(t)] = e.second;
    }
}

// ================================================================ command

void CNYECMD::cmd_read(const std::string& path) {
    const std::vector<std::string> d9(9, "d");
    std::vector<std::string> orient_args = {"i"};
    orient_args.insert(orient_args.end(), d9.begin(), d9.end());
    const std::vector<KAVIR_keyword> own = {
        {"lattice_orient", orient_args},
        {"lattice_type", {"i", ":fcc:bcc:hcp:others"}},
        {"lattice_const", {"i", "d"}},
        {"spatial_division", {}},
        {"deform", {}},
        {"correlation_list", {}},
        {"nye_tensors", {}},
        {"stat", {}},
        {"neighlenth", {}},
        {"unpure", {}},
        {"program_infor", {}},
        {"checkPrefQreal", {}},
        {"inboxid", {}},
        {"coor", {":x:y:z"}},
        {"loc", {"d", "d", "d"}},
        {"relative", {}},
        {"absolute", {}},
        {"filepath", {"w"}},
        {"sfilename", {"w"}},
        {"filename", {"w"}},
        {"filetype", {"w"}},
        {"mapset", {":angle:cos_angle:distance", "d"}},
        {"mapnum", {}},
        {"deformtensor", {}},
        {"deformsvd", {}},
    };
    const std::vector<KAVIR_entry> entries = readcut(path, own, 3);
    bool announced = false;
    for (const KAVIR_entry& e : entries) {
        const std::string& k = e.key;
        const auto& a = e.args;
        auto bad = [&](const std::string& why) {
            return KavirError(KAVIR_BAD_INPAR, inpar + ":" + std::to_string(e.line) + ": " + why);
        };
        if (k == "lattice_orient") {
            CLattice::Manual m;
            m.type = std::atoi(a[0].c_str());
            for (int r = 0; r < 3; r++) {
                double l = 0;
                for (int c = 0; c < 3; c++) {
                    m.m[r][c] = std::atof(a[static_cast<size_t>(1 + 3 * r + c)].c_str());
                    l += m.m[r][c] * m.m[r][c];
                }
                if (!(l > 0)) throw bad("lattice_orient: row " + std::to_string(r + 1) + " is zero");
            }
            lattice.orient_entries.push_back(m);
        } else if (k == "lattice_type") {
            const std::string& v = a[1];
            lattice.type_entries.emplace_back(std::atoi(a[0].c_str()), v == "fcc"   ? LATTICE_FCC
                                                                        : v == "bcc" ? LATTICE_BCC
                                                                        : v == "hcp" ? LATTICE_HCP
                                                                                     : LATTICE_OTHERS);
        } else if (k == "lattice_const") {
            const double v = std::atof(a[1].c_str());
            if (!(v > 0)) throw bad("lattice_const needs a positive constant");
            lattice.const_entries.emplace_back(std::atoi(a[0].c_str()), v);
        } else if (k == "spatial_division") bin = true;
        else if (k == "correlation_list") correlation_list = true;
        else if (k == "nye_tensors") nye_tensors = true;
        else if (k == "stat") stat = true;
        else if (k == "neighlenth") neighlenth = true;
        else if (k == "unpure") unpure = true;
        else if (k == "program_infor") program_infor = true;
        else if (k == "coor") coor = a[0][0] - 'x';
        else if (k == "loc") for (int d = 0; d < 3; d++) loc[d] = std::atof(a[static_cast<size_t>(d)].c_str());
        else if (k == "relative") relative = true;
        else if (k == "absolute") relative = false;
        else if (k == "filepath") filepath = a[0];
        else if (k == "sfilename") sfilename = a[0];
        else if (k == "filename") filename = a[0];
        else if (k == "mapset") {
            const double v = std::atof(a[1].c_str());
            if (a[0] == "angle") {
                map_method = 0;
                map_threshold = std::cos(v * std::acos(-1.0) / 180.0);
                kavir->say("map by angle method with cos angle cutoff %f\n", v);
            } else if (a[0] == "cos_angle") {
                map_method = 0;
                map_threshold = v;
                kavir->say("map by angle method with cos angle cutoff %f\n", v);
            } else {
                if (!(v > 0)) throw bad("mapset distance needs a positive threshold");
                map_method = 1;
                map_threshold = v;
                kavir->say("map by distance method with cutoff %f\n", v);
            }
            announced = true;
        } else if (k == "mapnum") mapnum = true;
        else if (k == "deformtensor") deformtensor = true;
        else if (k == "deformsvd") deformsvd = true;
    }
    if (!announced) kavir->say("map by angle method with cos angle cutoff %f\n", map_threshold);
    // Input summary.
    kavir->say("read_datafile_def = %s\nwrite_datafile = %s\ndecimal_digit = %d\nboundary = %c %c %c\n",
               datafile_def.c_str(), write_datafile.c_str(), decimal_digit, boundary[0] ? 'p' : 's',
               boundary[1] ? 'p' : 's', boundary[2] ? 'p' : 's');
}

// ================================================================ CNYE

void CNYE::reference_tables() {
    const CLattice& L = cmd->lattice;
    const size_t T = L.code.size();
    pref_dir.assign(T, {});
    pref.assign(T, {});
    pref2_dir.assign(T, {});
    pref2.assign(T, {});
    for (size_t t = 0; t < T; t++) {
        const auto& M = L.orient[t];
        for (int variant = 0; variant < 2; variant++) {
            if (variant == 1 && L.code[t] != LATTICE_HCP) break;
            for (const Vec3& r : crystal_bonds(L.code[t], variant == 1)) {
                Vec3 lab;
                for (int k = 0; k < 3; k++) lab[static_cast<size_t>(k)] = M[static_cast<size_t>(3 * k)] * r[0] + M[static_cast<size_t>(3 * k + 1)] * r[1] + M[static_cast<size_t>(3 * k + 2)] * r[2];
                const double l = std::sqrt(lab[0] * lab[0] + lab[1] * lab[1] + lab[2] * lab[2]);
                const Vec3 dir = {lab[0] / l, lab[1] / l, lab[2] / l};
                const Vec3 bond = {lab[0] * L.constant[t], lab[1] * L.constant[t], lab[2] * L.constant[t]};
                (variant ? pref2_dir : pref_dir)[t].push_back(dir);
                (variant ? pref2 : pref)[t].push_back(bond);
            }
        }
    }
}

int CNYE::match(int i, bool variant2, std::vector<std::pair<int, int>>& out) const {
    out.clear();
    const CANL& anl = nb->anl;
    const size_t t = static_cast<size_t>(anl.type[static_cast<size_t>(i)]);
    const auto& dirs = variant2 ? pref2_dir[t] : pref_dir[t];
    const auto& bonds = variant2 ? pref2[t] : pref[t];
    const int m = static_cast<int>(dirs.size());
    if (m == 0) return 0;
    double best[14];
    int who[14];
    for (int k = 0; k < m; k++) who[k] = -1;
    const double* xi = anl.pos + 3 * static_cast<size_t>(i);
    const int* nbr = anl.neigh(i);
    for (int q = 0, c = anl.pneighn(i); q < c; q++) {
        const double* xj = anl.pos + 3 * static_cast<size_t>(nbr[q]);
        const double d[3] = {xj[0] - xi[0], xj[1] - xi[1], xj[2] - xi[2]};
        int kbest = -1;
        double score = 0;
        if (cmd->map_method == 0) {
            const double l = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
            if (!(l > 0)) continue;
            score = -2;
            for (int k = 0; k < m; k++) {
                const double cs = (d[0] * dirs[static_cast<size_t>(k)][0] + d[1] * dirs[static_cast<size_t>(k)][1] + d[2] * dirs[static_cast<size_t>(k)][2]) / l;
                if (cs > score) score = cs, kbest = k;
            }
            if (!(score > cmd->map_threshold)) continue;
        } else {
            score = HUGE_VAL;
            for (int k = 0; k < m; k++) {
                const auto& b = bonds[static_cast<size_t>(k)];
                const double d2 = (d[0] - b[0]) * (d[0] - b[0]) + (d[1] - b[1]) * (d[1] - b[1]) + (d[2] - b[2]) * (d[2] - b[2]);
                if (d2 < score) score = d2, kbest = k;
            }
            if (!(score < cmd->map_threshold * cmd->map_threshold)) continue;
            score = -score;  // larger is better below
        }
        if (who[kbest] < 0 || score > best[kbest]) {
            who[kbest] = nbr[q];
            best[kbest] = score;
        }
    }
    for (int k = 0; k < m; k++)
        if (who[k] >= 0) out.emplace_back(k, who[k]);
    return static_cast<int>(out.size());
}

void CNYE::cal_hcp_refid() {
    const CLattice& L = cmd->lattice;
    const CANL& anl = nb->anl;
    if (std::find(L.code.begin(), L.code.end(), LATTICE_HCP) == L.code.end()) return;
    auto is_hcp = [&](int i) { return L.code[static_cast<size_t>(anl.type[static_cast<size_t>(i)])] == LATTICE_HCP; };
    KAVIR_parallel(static_cast<size_t>(n), 4096, [&](size_t b0, size_t b1) {
        std::vector<std::pair<int, int>> tmp;
        for (size_t i = b0; i < b1; i++) {
            if (!is_hcp(static_cast<int>(i))) continue;
            const int k1 = match(static_cast<int>(i), false, tmp), k2 = match(static_cast<int>(i), true, tmp);
            refid[i] = k1 == k2 ? 0 : k1 < k2 ? 2 : 1;
        }
    });
    kavir->say("cal mate_amount completed\n");
    const auto& real_of = nb->peri.real_of;
    for (int pass = 0; pass < kavir->set.NYE_TURN_HCP; pass++) {
        int undecided = 0, decided = 0;
        for (int k = 0; k < n; k++) {
            const int i = anl.in_order(k);
            if (!is_hcp(i) || refid[static_cast<size_t>(i)] != 0) continue;
            undecided++;
            const auto& M = L.orient[static_cast<size_t>(anl.type[static_cast<size_t>(i)])];
            const double c[3] = {M[6], M[7], M[8]};
            int votes[3] = {0, 0, 0};
            const double* xi = anl.pos + 3 * static_cast<size_t>(i);
            for (int q = 0, m = anl.pneighn(i); q < m; q++) {
                const int j = anl.neigh(i)[q];
                const int r = refid[static_cast<size_t>(real_of[static_cast<size_t>(j)])];
                if (r == 0) continue;
                const double* xj = anl.pos + 3 * static_cast<size_t>(j);
                const double d[3] = {xj[0] - xi[0], xj[1] - xi[1], xj[2] - xi[2]};
                const double l = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
                if (l > 0 && std::fabs((d[0] * c[0] + d[1] * c[1] + d[2] * c[2]) / l) < kavir->set.NYE_HCP_COPLANE) votes[r]++;
            }
            if (votes[1] != votes[2]) {
                refid[static_cast<size_t>(i)] = votes[1] > votes[2] ? 1 : 2;
                decided++;
            }
        }
        if (undecided == 0 || decided == 0) break;
    }
    kavir->say("cal hcp_refid completed\n");
}

KAVIR_step_report::KAVIR_step_report(CKAVIR* k, int n, const char* what, int step)
    : k_(k), n_(n), what_(what), step_(std::max(1, step)) {}

void KAVIR_step_report::done(int count) {
    const int total = done_.fetch_add(count) + count;
    std::lock_guard<std::mutex> lock(m_);
    while (printed_ + step_ <= total) {
        printed_ += step_;
        k_->say("%5d of %d points finished %s\n", printed_, n_, what_);
    }
}

int KAVIR_nye_atom(const CANL& anl, const std::vector<int>& real_of, const double* pos, const double* G, int i,
                   double cutoff, std::vector<double>& B, std::vector<double>& dG, double* a, double* si, double* li,
                   double* bi) {
    const double* Gi = G + 9 * static_cast<size_t>(i);
    auto invalid = [&] {
        for (int c = 0; c < 9; c++) a[c] = kNaN;
        for (int c = 0; c < 3; c++) si[c] = li[c] = bi[c] = kNaN;
    };
    if (std::isnan(Gi[0])) {
        invalid();
        return KAVIR_NYE_NO_G;
    }
    // Neighbours with a valid G.
    B.clear();
    dG.clear();
    const double* xi = pos + 3 * static_cast<size_t>(i);
    const int* nbr = anl.neigh(i);
    for (int q = 0, c = anl.pneighn(i); q < c; q++) {
        const int j = nbr[q];
        const double* Gj = G + 9 * static_cast<size_t>(real_of[static_cast<size_t>(j)]);
        if (std::isnan(Gj[0])) continue;
        const double* xj = pos + 3 * static_cast<size_t>(j);
        for (int d = 0; d < 3; d++) B.push_back(xj[d] - xi[d]);
        for (int c9 = 0; c9 < 9; c9++) dG.push_back(Gj[c9] - Gi[c9]);
    }
    const int t = static_cast<int>(B.size() / 3);
    if (t <= 2) return KAVIR_NYE_DONE;  // alpha stays zero
    double T[27];  // T[m][r][c] = dG[r][c] / dx_m
    if (!KAVIR_lsq3(B.data(), dG.data(), t, 9, T)) {
        invalid();
        return KAVIR_NYE_FLAT;
    }
    auto Tm = [&](int m, int r, int c) { return T[9 * m + 3 * r + c]; };
    for (int c = 0; c < 3; c++) {
        a[0 * 3 + c] = Tm(2, 1, c) - Tm(1, 2, c);
        a[1 * 3 + c] = Tm(0, 2, c) - Tm(2, 0, c);
        a[2 * 3 + c] = Tm(1, 0, c) - Tm(0, 1, c);
    }
    const double A[3][3] = {{a[0], a[1], a[2]}, {a[3], a[4], a[5]}, {a[6], a[7], a[8]}};
    double U[3][3], V[3][3], sv[3];
    if (svd_m_3(A, U, sv, V) < 0) return KAVIR_NYE_NO_SVD;
    if (sv[0] > cutoff || sv[0] == 0) return KAVIR_NYE_DONE;  // s, Line and Burgers stay zero
    for (int c = 0; c < 3; c++) si[c] = sv[c];
    // One sign for the pair: Line . (1, sqrt 2, pi) > 0.
    const double turn = U[0][0] + std::sqrt(2.0) * U[0][1] + std::acos(-1.0) * U[0][2] < 0 ? -1.0 : 1.0;
    for (int c = 0; c < 3; c++) {
        li[c] = turn * sv[0] * U[0][c];
        bi[c] = turn * sv[0] * V[0][c];
    }
    return KAVIR_NYE_DONE;
}

void CNYE::cal_coresp() {
    const CANL& anl = nb->anl;
    const bool keep = cmd->correlation_list;
    if (keep) pairs.assign(static_cast<size_t>(n), {});
    KAVIR_step_report report(kavir, n, "step1", kavir->set.NYE_PRINTFSTEP);
    KAVIR_parallel(static_cast<size_t>(n), 2048, [&](size_t b0, size_t b1) {
        std::vector<std::pair<int, int>> pr;
        double Q[3 * 14], P[3 * 14];
        for (size_t i = b0; i < b1; i++) {
            const int ii = static_cast<int>(i);
            const size_t t = static_cast<size_t>(anl.type[i]);
            const bool v2 = refid[i] == 2;
            const int m = match(ii, v2, pr);
            mapnum[i] = m;
            if (keep) pairs[i] = pr;
            if (m <= 2) continue;  // too few bonds: G stays the identity
            const auto& bonds = v2 ? pref2[t] : pref[t];
            const double* xi = anl.pos + 3 * i;
            for (int q = 0; q < m; q++) {
                const double* xj = anl.pos + 3 * static_cast<size_t>(pr[static_cast<size_t>(q)].second);
                for (int d = 0; d < 3; d++) {
                    Q[3 * q + d] = xj[d] - xi[d];
                    P[3 * q + d] = bonds[static_cast<size_t>(pr[static_cast<size_t>(q)].first)][static_cast<size_t>(d)];
                }
            }
            double G[3][3];
            double* out = &deform_tensor[9 * i];
            if (pinv_m_3(Q, P, m, G)) {
                for (int a = 0; a < 3; a++)
                    for (int b = 0; b < 3; b++) out[3 * a + b] = G[a][b];
            } else {
                for (int c = 0; c < 9; c++) out[c] = kNaN;
            }
        }
        report.done(static_cast<int>(b1 - b0));
    });
    flat = 0;
    for (int i = 0; i < n; i++)
        if (std::isnan(deform_tensor[9 * static_cast<size_t>(i)])) flat++;
    if (flat > 0)
        kavir->say("%d atoms have bonds too close to a plane for a lattice correspondence; their results are nan\n", flat);
    kavir->say("cal coresp succeed\n");
}

void CNYE::cal_nye_svd() {
    const CANL& anl = nb->anl;
    const double cutoff = kavir->set.NYE_S1_CUTOFF;
    std::atomic<int> no_gradient{0};
    KAVIR_step_report report(kavir, n, "all steps", kavir->set.NYE_PRINTFSTEP);
    KAVIR_parallel(static_cast<size_t>(n), 2048, [&](size_t b0, size_t b1) {
        std::vector<double> B, dG;
        for (size_t i = b0; i < b1; i++) {
            const int r = KAVIR_nye_atom(anl, nb->peri.real_of, anl.pos, deform_tensor.data(), static_cast<int>(i), cutoff,
                                         B, dG, &nye_tensor[9 * i], &s[3 * i], &line[3 * i], &burgers[3 * i]);
            if (r == KAVIR_NYE_FLAT) no_gradient++;
            if (r == KAVIR_NYE_NO_SVD) kavir->say("syep4 atom %5zu svd error\n", i);
        }
        report.done(static_cast<int>(b1 - b0));
    });
    flat_grad = no_gradient.load();
    if (flat_grad > 0)
        kavir->say("%d atoms have neighbours too close to a plane for a gradient; their results are nan\n", flat_grad);
    kavir->say("calculate completed\n");
}

void CNYE::calculate() {
    n = nb->peri.nreal;
    deform_tensor.assign(9 * static_cast<size_t>(n), 0.0);
    for (int i = 0; i < n; i++)
        for (int d = 0; d < 3; d++) deform_tensor[9 * static_cast<size_t>(i) + 4 * static_cast<size_t>(d)] = 1.0;
    mapnum.assign(static_cast<size_t>(n), 0);
    refid.assign(static_cast<size_t>(n), 1);
    nye_tensor.assign(9 * static_cast<size_t>(n), 0.0);
    s.assign(3 * static_cast<size_t>(n), 0.0);
    line.assign(3 * static_cast<size_t>(n), 0.0);
    burgers.assign(3 * static_cast<size_t>(n), 0.0);
    reference_tables();
    // hcp atoms start undecided.
    const CANL& anl = nb->anl;
    for (int i = 0; i < n; i++)
        if (cmd->lattice.code[static_cast<size_t>(anl.type[static_cast<size_t>(i)])] == LATTICE_HCP) refid[static_cast<size_t>(i)] = 0;
    cal_hcp_refid();
    cal_coresp();
    // An ideal lattice that matches no bond gives no correspondence at all:
    // say so rather than report an undisturbed crystal.
    bool matched = false;
    for (int i = 0; i < n && !matched; i++) matched = mapnum[static_cast<size_t>(i)] > 2;
    if (!matched && n > 0) {
        std::string what;
        for (size_t t = 0; t < cmd->lattice.code.size(); t++) {
            const int c = cmd->lattice.code[t];
            what += QB_format("%stype %d %s a = %g", t ? ", " : "", nb->anl.typeid_[t],
                              c == LATTICE_FCC ? "fcc" : c == LATTICE_BCC ? "bcc" : c == LATTICE_HCP ? "hcp" : "others",
                              cmd->lattice.constant[t]);
        }
        throw KavirError(KAVIR_BAD_DATA, "the ideal lattice (" + what +
                                             ") matches no bond of the model: check lattice_type, lattice_const and "
                                             "lattice_orient");
    }
    cal_nye_svd();
}
