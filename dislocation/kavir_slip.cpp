// Slip vectors (SVA) and differential displacements (DDA).
#include "dislocation/kavir_slip.h"

#include <atomic>
#include <charconv>
#include <cmath>
#include <limits>

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double dot(const double* a, const double* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
double norm(const double* a) { return std::sqrt(dot(a, a)); }

size_t c3(size_t i) { return 3 * i; }  // first coordinate of entry i

// Diagnostic files of the preparation: the extension ("PERI"), the grid the
// lists were searched in ("bin_.txt") and the lists ("_pointsneigh.txt").

// Reads both configurations and prepares the extension, the reference
// positions and the lists.
void prepare(CCMDBASE& cmd, atom& def, atom& ref, CCMC& ccmc) {
    KAVIR_read_two(cmd, def, ref);
    ccmc.def = &def;
    ccmc.ref = &ref;
    ccmc.calc(cmd);
    if (ccmc.unmatched >= ccmc.nb.peri.nreal)
        throw KavirError(KAVIR_BAD_DATA, "no atom of the deformed configuration has a partner of the same id in the reference");
}

// Positions of the atoms inside the box in input order.
std::vector<double> input_order_positions(const CPERI& p) {
    std::vector<double> x(c3(p.by_input.size()));
    for (size_t k = 0; k < p.by_input.size(); k++)
        for (size_t d = 0; d < 3; d++) x[c3(k) + d] = p.ext_pos[c3(static_cast<size_t>(p.by_input[k])) + d];
    return x;
}

}  // namespace

void KAVIR_reduce_by(double v[3], const double b[3]) {
    const double bb = dot(b, b);
    if (!(bb > 0) || !std::isfinite(bb)) return;
    // The steps below walk one b at a time; a long way is jumped to within a
    // step of its end first (the walk stops at the shortest v + m b, the one
    // nearer the start on a tie).
    const double t = -dot(v, b) / bb;
    if (std::isfinite(t) && std::fabs(t) > 2 && std::fabs(t) < 1e15) {
        const double m = std::copysign(std::ceil(std::fabs(t) - 0.5) - 1, t);
        for (int d = 0; d < 3; d++) v[d] += m * b[d];
    }
    auto len2 = [&](double s) {
        const double a[3] = {v[0] + s * b[0], v[1] + s * b[1], v[2] + s * b[2]};
        return dot(a, a);
    };
    while (len2(1) < len2(0))
        for (int d = 0; d < 3; d++) v[d] += b[d];
    while (len2(-1) < len2(0))
        for (int d = 0; d < 3; d++) v[d] -= b[d];
}

// ================================================================ SVA

void CSVACMD::cmd_read(const std::string& path) {
    const std::vector<KAVIR_keyword> own = {{"avedis", {}}, {"max_sva", {}}};
    for (const KAVIR_entry& e : readcut(path, own, 6)) {
        if (e.key == "avedis") avedis = true;
        else if (e.key == "max_sva") max_sva = true;
    }
    // Slip is measured over the bonds of the deformed crystal.
    neighset = 0;
}

void CSVA::calculate() {
    const CPERI& p = ccmc->nb.peri;
    const CANL& anl = ccmc->nb.anl;
    const double* x = p.ext_pos.data();
    const double* X = ccmc->refpos.data();
    n = p.nreal;
    const size_t N = static_cast<size_t>(n);
    mean.assign(c3(N), kNaN);
    average.assign(N, kNaN);
    length.assign(N, kNaN);
    longest.assign(c3(N), kNaN);
    longest_len.assign(N, kNaN);
    slip.assign(c3(N), kNaN);
    slip_len.assign(N, kNaN);
    const bool reduce = cmd->has_burgers;
    const double* b = cmd->burgers;
    std::atomic<long long> left_out{0};
    KAVIR_parallel(N, 2048, [&](size_t b0, size_t b1) {
        std::vector<double> s;  // the slips of one atom's bonds, 3 each
        std::vector<double> sl;
        long long lost_here = 0;
        for (size_t i = b0; i < b1; i++) {
            const double* xi = x + c3(i);
            const double* Xi = X + c3(i);
            if (std::isnan(Xi[0])) continue;  // no partner: all NaN
            const int m = anl.pneighn(static_cast<int>(i));
            const int* nb = anl.neigh(static_cast<int>(i));
            s.clear();
            sl.clear();
            double sum[3] = {0, 0, 0}, sumlen = 0, bondsum = 0, maxlen = 0, maxv[3] = {0, 0, 0};
            for (int q = 0; q < m; q++) {
                const size_t j = static_cast<size_t>(nb[q]);
                const double* xj = x + c3(j);
                const double* Xj = X + c3(j);
                if (std::isnan(Xj[0])) {
                    lost_here++;
                    continue;
                }
                double v[3], B[3];
                for (int d = 0; d < 3; d++) {
                    B[d] = Xj[d] - Xi[d];
                    v[d] = (xj[d] - xi[d]) - B[d];
                }
                if (reduce) KAVIR_reduce_by(v, b);
                const double l = norm(v);
                for (int d = 0; d < 3; d++) sum[d] += v[d];
                sumlen += l;
                bondsum += norm(B);
                if (l > maxlen) {  // the first of equal lengths stays
                    maxlen = l;
                    for (int d = 0; d < 3; d++) maxv[d] = v[d];
                }
                s.insert(s.end(), v, v + 3);
                sl.push_back(l);
            }
            const size_t used = sl.size();
            if (used == 0) continue;  // no neighbour with a partner: NaN
            double* mi = &mean[c3(i)];
            for (int d = 0; d < 3; d++) mi[d] = sum[d] / static_cast<double>(used);
            average[i] = sumlen / static_cast<double>(used);
            length[i] = norm(mi);
            for (int d = 0; d < 3; d++) longest[c3(i) + static_cast<size_t>(d)] = maxv[d];
            longest_len[i] = maxlen;
            // Published slip vector: the mean over the bonds that slipped.
            const double threshold = KAVIR_SLIP_FRACTION * bondsum / static_cast<double>(used);
            double ss[3] = {0, 0, 0};
            int slipped = 0;
            for (size_t q = 0; q < used; q++) {
                if (!(sl[q] > threshold)) continue;
                slipped++;
                for (size_t d = 0; d < 3; d++) ss[d] += s[c3(q) + d];
            }
            double* si = &slip[c3(i)];
            for (int d = 0; d < 3; d++) si[d] = slipped ? ss[d] / slipped : 0.0;
            slip_len[i] = norm(si);
        }
        left_out += lost_here;
    });
    lost = left_out;
    if (lost > 0) kavir->say("%lld bonds to atoms without a partner in the reference left out\n", lost);
    kavir->say("cal sva succeed\n");
}

void CSVACMD::calculate(const std::string& path) {
    cmd_read(path);
    atom def, ref;
    CCMC ccmc(kavir);
    prepare(*this, def, ref, ccmc);
    CSVA sva(kavir, this, &ccmc);
    sva.calculate();

    const CPERI& p = ccmc.nb.peri;
    const CANL& anl = ccmc.nb.anl;
    std::vector<KAVIR_column> cols = KAVIR_lead_columns('f');
    if (neighbor_list) cols.push_back({"neigh", 'd'});
    if (avedis) {
        const char* names[3] = {"SVA.X", "SVA.Y", "SVA.Z"};
        const char* test[3] = {"Displacement.X", "Displacement.Y", "Displacement.Z"};
        for (int d = 0; d < 3; d++) cols.push_back({test_mode ? test[d] : names[d], 'e'});
    }
    cols.push_back({"Average", 'e'});
    cols.push_back({"SVA", 'e'});
    if (max_sva) {
        const char* names[3] = {"MAXSVA.X", "MAXSVA.Y", "MAXSVA.Z"};
        const char* test[3] = {"Force.X", "Force.Y", "Force.Z"};
        for (int d = 0; d < 3; d++) cols.push_back({test_mode ? test[d] : names[d], 'e'});
        cols.push_back({"MAXSVA", 'e'});
    }
    for (const char* c : {"Slip.X", "Slip.Y", "Slip.Z", "Slip"}) cols.push_back({c, 'e'});

    // One row: entry r with its position and vectors (projected or not).
    auto fill = [&](size_t r, const double* pos, const double* mean, const double* longest, const double* slip,
                    double* v) {
        size_t c = 0;
        v[c++] = p.ext_id[r];
        v[c++] = p.ext_type[r];
        for (int d = 0; d < 3; d++) v[c++] = pos[d];
        if (neighbor_list) v[c++] = anl.pneighn(static_cast<int>(r));
        if (avedis)
            for (int d = 0; d < 3; d++) v[c++] = mean[d];
        v[c++] = sva.average[r];
        v[c++] = sva.length[r];
        if (max_sva) {
            for (int d = 0; d < 3; d++) v[c++] = longest[d];
            v[c++] = sva.longest_len[r];
        }
        for (int d = 0; d < 3; d++) v[c++] = slip[d];
        v[c++] = sva.slip_len[r];
    };
    KAVIR_write_table(*this, no_output() ? std::string() : out_name(""), cols, static_cast<size_t>(p.nreal),
                      def.box[0], def.box[1], [&](size_t k, double* v) {
                          const size_t r = static_cast<size_t>(p.by_input[k]);
                          fill(r, &p.ext_pos[c3(r)], &sva.mean[c3(r)], &sva.longest[c3(r)], &sva.slip[c3(r)], v);
                      });
    if (!no_output()) kavir->say("result written to %s\n", write_datafile.c_str());

    if (has_porjection) {
        CPROJECT proj;
        const std::vector<double> ordered = input_order_positions(p);
        proj_init(this, &proj, p.nreal, ordered.data());
        const size_t m = proj_idx.size();
        std::vector<size_t> entry(m);
        std::vector<double> pp(c3(m)), mm(c3(m)), ll(c3(m)), ss(c3(m));
        for (size_t k = 0; k < m; k++) {
            const size_t r = static_cast<size_t>(p.by_input[static_cast<size_t>(proj_idx[k])]);
            entry[k] = r;
            for (size_t d = 0; d < 3; d++) {
                pp[c3(k) + d] = p.ext_pos[c3(r) + d];
                mm[c3(k) + d] = sva.mean[c3(r) + d];
                ll[c3(k) + d] = sva.longest[c3(r) + d];
                ss[c3(k) + d] = sva.slip[c3(r) + d];
            }
            proj.calc(&pp[c3(k)]);
            proj.calc(&mm[c3(k)]);
            proj.calc(&ll[c3(k)]);
            proj.calc(&ss[c3(k)]);
        }
        KAVIR_write_table(*this, kavir->path(proj_name(0)), cols, m, def.box[0], def.box[1],
                          [&](size_t k, double* v) { fill(entry[k], &pp[c3(k)], &mm[c3(k)], &ll[c3(k)], &ss[c3(k)], v); },
                          false);
        if (avedis) {
            std::vector<const double*> pv(m), mv(m);
            for (size_t k = 0; k < m; k++) {
                pv[k] = &pp[c3(k)];
                mv[k] = &mm[c3(k)];
            }
            proj_default(this, proj.plane, pv, mv, def.box[0], def.box[1]);
        }
    }
}

void KAVIR_sva(CKAVIR* k, const std::string& inpar) {
    CSVACMD cmd(k);
    cmd.calculate(inpar);
}

// ================================================================ DDA

CDDACMD::CDDACMD(CKAVIR* k) : CCMDBASE(k) {
    for (bool& b : boundary) b = false;
    warpin = false;
    neighset = 1;
}

void CDDACMD::cmd_read(const std::string& path) {
    const std::vector<std::string> d3 = {"d", "d", "d"};
    const std::vector<KAVIR_keyword> own = {
        {"export_atoms", {}}, {"dda_normal", d3}, {"dda_projection", d3}, {"dda_burgers", d3}, {"EDGE", {}},
        {"SCREW", {}},        {"MIXED", {}},      {"center", {":def:cur:ref"}},               {"edge_bond", {}},
    };
    for (const KAVIR_entry& e : readcut(path, own, 0)) {
        const std::string& k = e.key;
        auto vec = [&](double* out) {
            for (size_t d = 0; d < 3; d++) out[d] = std::atof(e.args[d].c_str());
        };
        if (k == "export_atoms") export_atoms = true;
        else if (k == "dda_normal") vec(dda_normal);
        else if (k == "dda_projection") vec(dda_projection);
        else if (k == "dda_burgers") vec(dda_burgers);
        else if (k == "EDGE") edge = true;
        else if (k == "SCREW") screw = true;
        else if (k == "MIXED") mixed = true;
        else if (k == "center") center = e.args[0] == "ref" ? 1 : 0;
        else if (k == "edge_bond") edge_bond = true;
    }
}

void CDDA::calculate() {
    const CPERI& p = ccmc->nb.peri;
    const CANL& anl = ccmc->nb.anl;
    const double* x = p.ext_pos.data();
    const double* X = ccmc->refpos.data();
    n = p.nreal;
    const size_t N = static_cast<size_t>(n);
    first.assign(N + 1, 0);
    for (size_t k = 0; k < N; k++) first[k + 1] = first[k] + static_cast<size_t>(anl.pneighn(p.by_input[k]));
    const size_t nb = first[N];
    centre.assign(c3(nb), 0.0);
    edge.assign(cmd->edge ? c3(nb) : 0, 0.0);
    screw.assign(cmd->screw ? c3(nb) : 0, 0.0);
    mixed.assign(cmd->mixed ? c3(nb) : 0, 0.0);
    atom_pos.assign(c3(N), 0.0);

    // Unit normal and projection direction (left alone when zero); the
    // Burgers vector as given, split along the normal.
    double nh[3], ph[3];
    const double nl = norm(cmd->dda_normal), pl = norm(cmd->dda_projection);
    for (int d = 0; d < 3; d++) {
        nh[d] = nl > 0 ? cmd->dda_normal[d] / nl : cmd->dda_normal[d];
        ph[d] = pl > 0 ? cmd->dda_projection[d] / pl : cmd->dda_projection[d];
    }
    const double beta = dot(cmd->dda_burgers, nh);
    double bpar[3];
    for (int d = 0; d < 3; d++) bpar[d] = cmd->dda_burgers[d] - beta * nh[d];
    const bool use_ref = cmd->center == 1;

    KAVIR_parallel(N, 2048, [&](size_t k0, size_t k1) {
        for (size_t k = k0; k < k1; k++) {
            const size_t i = static_cast<size_t>(p.by_input[k]);
            const double* xi = x + c3(i);
            const double* Xi = X + c3(i);
            const bool ri = !std::isnan(Xi[0]);
            // An atom without a partner is drawn where it is.
            const double* ci = use_ref && ri ? Xi : xi;
            for (size_t d = 0; d < 3; d++) atom_pos[c3(k) + d] = ci[d];
            const int m = anl.pneighn(static_cast<int>(i));
            const int* list = anl.neigh(static_cast<int>(i));
            for (int q = 0; q < m; q++) {
                const size_t b = first[k] + static_cast<size_t>(q);
                const size_t j = static_cast<size_t>(list[q]);
                const double* xj = x + c3(j);
                const double* Xj = X + c3(j);
                const bool both = ri && !std::isnan(Xj[0]);
                const double* a0 = use_ref && both ? Xi : xi;
                const double* a1 = use_ref && both ? Xj : xj;
                double B[3], D[3];
                for (int d = 0; d < 3; d++) {
                    centre[c3(b) + static_cast<size_t>(d)] = 0.5 * (a0[d] + a1[d]);
                    B[d] = a1[d] - a0[d];
                    D[d] = both ? (xj[d] - xi[d]) - (Xj[d] - Xi[d]) : kNaN;
                }
                const double h = dot(nh, D);
                const double nB = dot(nh, B);
                double Bpar[3];
                for (int d = 0; d < 3; d++) Bpar[d] = B[d] - nB * nh[d];
                if (cmd->screw) {
                    // The normal part in units of the Burgers vector's, folded
                    // into [-1/2, 1/2) and doubled: a full in-plane bond is
                    // half a Burgers vector.
                    double J = h / beta;
                    J = 2 * (J - std::floor(J + 0.5));
                    for (int d = 0; d < 3; d++) screw[c3(b) + static_cast<size_t>(d)] = J * Bpar[d];
                }
                if (cmd->edge) {
                    double e[3];
                    for (int d = 0; d < 3; d++) e[d] = D[d] - h * nh[d];
                    KAVIR_reduce_by(e, bpar);
                    if (cmd->edge_bond) {
                        const double lb = norm(Bpar);
                        const double f = lb > 0.001 ? norm(e) / lb : (both ? 0.0 : kNaN);
                        for (int d = 0; d < 3; d++) e[d] = lb > 0.001 ? f * Bpar[d] : f;
                    }
                    for (int d = 0; d < 3; d++) edge[c3(b) + static_cast<size_t>(d)] = e[d];
                }
                if (cmd->mixed) {
                    const double G = dot(D, ph) * pl;
                    double w[3];
                    for (int d = 0; d < 3; d++) w[d] = G * ph[d];
                    const double wn = dot(w, nh);
                    for (int d = 0; d < 3; d++) mixed[c3(b) + static_cast<size_t>(d)] = w[d] - wn * nh[d];
                }
            }
        }
    });
    kavir->say("cal dda succeed\n");
}

namespace {

// "%8.5f" whatever the thread's locale.
void fixed5(std::string& s, double v, char sep) {
    char buf[400];
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 5);
    const size_t len = static_cast<size_t>(r.ptr - buf);
    if (len < 8) s.append(8 - len, ' ');
    s.append(buf, len);
    s += sep;
}

}  // namespace

void CDDACMD::calculate(const std::string& path) {
    cmd_read(path);
    atom def, ref;
    CCMC ccmc(kavir);
    prepare(*this, def, ref, ccmc);
    CDDA dda(kavir, this, &ccmc);
    dda.calculate();

    const CPERI& p = ccmc.nb.peri;
    const CANL& anl = ccmc.nb.anl;
    const size_t N = static_cast<size_t>(p.nreal), atoms = export_atoms ? N : 0, rows = atoms + dda.bonds();
    std::vector<KAVIR_column> cols = KAVIR_lead_columns('f');
    if (neighbor_list) cols.push_back({"neigh", 'd'});
    struct Part {
        bool on;
        const char* names[3];
        const char* test[3];
        const std::vector<double>* values;
    };
    const Part parts[3] = {
        {edge, {"Edge.X", "Edge.Y", "Edge.Z"}, {"Displacement.X", "Displacement.Y", "Displacement.Z"}, &dda.edge},
        {screw, {"Screw.X", "Screw.Y", "Screw.Z"}, {"Force.X", "Force.Y", "Force.Z"}, &dda.screw},
        {mixed, {"Mixed.X", "Mixed.Y", "Mixed.Z"}, {"DipoleOrientation.X", "DipoleOrientation.Y", "DipoleOrientation.Z"},
         &dda.mixed},
    };
    for (const Part& part : parts)
        if (part.on)
            for (int d = 0; d < 3; d++) cols.push_back({test_mode ? part.test[d] : part.names[d], 'e'});

    // Row k: an atom (k < atoms) or bond k - atoms, whose id is 10 N + its number.
    auto fill = [&](size_t k, double* v) {
        size_t c = 0;
        if (k < atoms) {
            const size_t r = static_cast<size_t>(p.by_input[k]);
            v[c++] = p.ext_id[r];
            v[c++] = p.ext_type[r];
            for (size_t d = 0; d < 3; d++) v[c++] = dda.atom_pos[c3(k) + d];
            if (neighbor_list) v[c++] = anl.pneighn(static_cast<int>(r));
            for (const Part& part : parts)
                if (part.on)
                    for (int d = 0; d < 3; d++) v[c++] = 0;
            return;
        }
        const size_t b = k - atoms;
        v[c++] = static_cast<double>(10 * N + b);
        v[c++] = 100;
        for (size_t d = 0; d < 3; d++) v[c++] = dda.centre[c3(b) + d];
        if (neighbor_list) v[c++] = 0;
        for (const Part& part : parts)
            if (part.on)
                for (size_t d = 0; d < 3; d++) v[c++] = (*part.values)[c3(b) + d];
    };
    if (!no_output()) {
        // Atom rows carry "0" for their components, bond rows real numbers.
        std::string head;
        for (size_t c = 0; c < cols.size(); c++) head += (c ? "\t" : "") + cols[c].name;
        KAVIR_out out(out_name(""));
        head_out(out.file(), head.c_str(), static_cast<int>(rows), def.box[0], def.box[1]);
        const size_t w = cols.size();
        out.rows(rows, [&](size_t k, std::string& s) {
            double v[32];
            fill(k, v);
            s += std::to_string(static_cast<long long>(v[0]));
            s += '\t';
            s += std::to_string(static_cast<long long>(v[1]));
            s += '\t';
            for (size_t c = 2; c < 5; c++) fixed5(s, v[c], c + 1 == w ? '\n' : '\t');
            size_t c = 5;
            if (neighbor_list) {
                s += std::to_string(static_cast<long long>(v[c]));
                s += ++c == w ? '\n' : '\t';
            }
            for (; c < w; c++) {
                const char sep = c + 1 == w ? '\n' : '\t';
                if (k < atoms) {
                    s += '0';
                    s += sep;
                } else {
                    real(s, v[c], sep);
                }
            }
        });
        out.commit();
        kavir->say("result written to %s\n", write_datafile.c_str());
    }
    // The in-memory result holds the same rows.
    KAVIR_write_table(*this, std::string(), cols, rows, def.box[0], def.box[1], fill);
}

void KAVIR_dda(CKAVIR* k, const std::string& inpar) {
    CDDACMD cmd(k);
    cmd.calculate(inpar);
}
