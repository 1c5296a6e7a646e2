// The analyses that compare atoms without their neighbours: displacement
// vectors (DVA) and the disregistry between two layers (IDA).
#include <cmath>
#include <limits>

#include "dislocation/kavir_compare.h"
#include "qb/qb_text.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Brings a difference vector to its nearest periodic image.
void nearest_image(double* d, const bool* periodic, const double* len) {
    for (int k = 0; k < 3; k++)
        if (periodic[k] && len[k] > 0 && std::isfinite(d[k])) d[k] -= std::round(d[k] / len[k]) * len[k];
}

// Subtracts the mean of the finite vectors (3 per row) from all of them.
void remove_mean(std::vector<double>& v) {
    double sum[3] = {0, 0, 0};
    size_t n = 0;
    for (size_t i = 0; i + 2 < v.size(); i += 3) {
        if (!std::isfinite(v[i])) continue;
        for (int k = 0; k < 3; k++) sum[k] += v[i + static_cast<size_t>(k)];
        n++;
    }
    if (n == 0) return;
    for (size_t i = 0; i + 2 < v.size(); i += 3)
        for (int k = 0; k < 3; k++) v[i + static_cast<size_t>(k)] -= sum[k] / static_cast<double>(n);
}

// Writes rows of "id type x y z" plus three vector columns; with a
// projection, also the projection file and the default files.
// default_name names the vectors of the default projection files.
void write_vectors(CCMDBASE& cmd, const std::string& path, const char* name, const atom& a,
                   const std::vector<int>& rows, const std::vector<double>& pos, const std::vector<double>& vec,
                   bool projection, const char* default_name) {
    std::vector<KAVIR_column> cols = {{"id", 'd'}, {"type", 'd'}, {"x", 'e'}, {"y", 'e'}, {"z", 'e'}};
    for (const char* c : {".X", ".Y", ".Z"}) cols.push_back({std::string(name) + c, 'e'});
    auto row = [&](const std::vector<double>& p, const std::vector<double>& v) {
        return [&](size_t k, double* out) {
            const size_t i = static_cast<size_t>(rows[k]);
            out[0] = a.id[i];
            out[1] = a.type[i];
            for (int d = 0; d < 3; d++) {
                out[2 + d] = p[3 * k + static_cast<size_t>(d)];
                out[5 + d] = v[3 * k + static_cast<size_t>(d)];
            }
        };
    };
    if (!path.empty() || cmd.kavir->table) KAVIR_write_table(cmd, path, cols, rows.size(), a.box[0], a.box[1], row(pos, vec));
    if (!projection || !cmd.has_porjection) return;
    CPROJECT proj;
    proj_init(&cmd, &proj, static_cast<int>(rows.size()), pos.data());
    const std::vector<int> chosen = cmd.proj_idx;
    std::vector<int> sub;
    std::vector<double> pp, vv;
    for (int k : chosen) {
        sub.push_back(rows[static_cast<size_t>(k)]);
        double p[3], v[3];
        for (int d = 0; d < 3; d++) {
            p[d] = pos[3 * static_cast<size_t>(k) + static_cast<size_t>(d)];
            v[d] = vec[3 * static_cast<size_t>(k) + static_cast<size_t>(d)];
        }
        proj.calc(p);
        proj.calc(v);
        pp.insert(pp.end(), p, p + 3);
        vv.insert(vv.end(), v, v + 3);
    }
    const std::vector<int>& use = sub;
    KAVIR_write_table(
        cmd, cmd.kavir->path(cmd.proj_name(0)), cols, use.size(), a.box[0], a.box[1],
        [&](size_t k, double* out) {
            const size_t i = static_cast<size_t>(use[k]);
            out[0] = a.id[i];
            out[1] = a.type[i];
            for (int d = 0; d < 3; d++) {
                out[2 + d] = pp[3 * k + static_cast<size_t>(d)];
                out[5 + d] = vv[3 * k + static_cast<size_t>(d)];
            }
        },
        false);
    std::vector<const double*> pv, dv;
    for (size_t k = 0; k < use.size(); k++) {
        pv.push_back(&pp[3 * k]);
        dv.push_back(&vv[3 * k]);
    }
    proj_default(&cmd, proj.plane, pv, dv, a.box[0], a.box[1], default_name);
}

}  // namespace

// ================================================================ DVA

namespace {

class CDVACMD : public CCMDBASE {
public:
    explicit CDVACMD(CKAVIR* k) : CCMDBASE(k) {}
    std::string write_datafile_ref;
    bool eliminate_overall = false;
    void cmd_read(const std::string& path) {
        const std::vector<KAVIR_keyword> own = {{"write_datafile_ref", {"w"}}, {"eliminate_overall", {"b"}}};
        for (const KAVIR_entry& e : readcut(path, own, 1)) {
            if (e.key == "write_datafile_ref") write_datafile_ref = e.args[0];
            else if (e.key == "eliminate_overall") eliminate_overall = e.args[0] == "on";
        }
    }
};

// d = x_a - x_b for every atom of a with a partner in b, NaN otherwise.
std::vector<double> displacements(const atom& a, const atom& b, const std::vector<int>& partner, const bool* periodic,
                                  const double* len, int& unmatched) {
    std::vector<double> d(3 * static_cast<size_t>(a.natoms), kNaN);
    unmatched = 0;
    for (int i = 0; i < a.natoms; i++) {
        const int j = partner[static_cast<size_t>(i)];
        if (j < 0) {
            unmatched++;
            continue;
        }
        double* v = &d[3 * static_cast<size_t>(i)];
        for (int k = 0; k < 3; k++) v[k] = a.p(i)[k] - b.p(j)[k];
        nearest_image(v, periodic, len);
    }
    return d;
}

}  // namespace

void KAVIR_dva(CKAVIR* k, const std::string& inpar) {
    CDVACMD cmd(k);
    cmd.cmd_read(inpar);
    atom def, ref;
    KAVIR_read_two(cmd, def, ref);
    const bool boxes = def.boxtype == 2 && ref.boxtype == 2;
    if (cmd.eliminate_cell && boxes) pre_eliminate_cell(def.box, ref.box, ref.natoms, ref.pos.data());
    bool periodic[3];
    double len[3];
    for (int d = 0; d < 3; d++) {
        periodic[d] = def.boxtype == 2 && cmd.boundary[d];
        // The deformed positions are the wrapped ones: their images lie whole
        // deformed boxes apart, whether or not the cell change is taken out.
        len[d] = def.box[2][d];
    }
    CMAP map(k);
    map.twoway = true;
    map.size1 = def.natoms;
    map.id1 = def.id.data();
    map.size2 = ref.natoms;
    map.id2 = ref.id.data();
    map.map();
    int unmatched = 0;
    std::vector<double> d = displacements(def, ref, map.map12, periodic, len, unmatched);
    if (unmatched > 0)
        k->say("%d atoms have no partner of the same id in the reference; their displacements are nan\n", unmatched);
    if (cmd.eliminate_overall) remove_mean(d);
    std::vector<int> rows(static_cast<size_t>(def.natoms));
    for (int i = 0; i < def.natoms; i++) rows[static_cast<size_t>(i)] = i;
    const char* name = "Displacement";
    write_vectors(cmd, cmd.no_output() ? "" : cmd.out_name(""), name, def, rows, def.pos, d, true, name);
    if (!cmd.write_datafile_ref.empty()) {
        int missing = 0;
        std::vector<double> back = displacements(ref, def, map.map21, periodic, len, missing);
        if (cmd.eliminate_overall) remove_mean(back);
        std::vector<int> all(static_cast<size_t>(ref.natoms));
        for (int i = 0; i < ref.natoms; i++) all[static_cast<size_t>(i)] = i;
        KAVIR_table* kept = k->table;
        k->table = nullptr;  // the table holds the deformed atoms' result
        write_vectors(cmd, k->path(cmd.write_datafile_ref), name, ref, all, ref.pos, back, false, name);
        k->table = kept;
    }
    k->say("DVA Success! \n");
}

// ================================================================ IDA

namespace {

class CIDACMD : public CCMDBASE {
public:
    explicit CIDACMD(CKAVIR* k) : CCMDBASE(k) {}
    double normal[3] = {1, 0, 0};
    double layer[2][3] = {{0, 0, 0}, {0, 0, 0}};  // centre, half-thickness, type
    bool eliminate_overall = false;
    void cmd_read(const std::string& path) {
        const std::vector<KAVIR_keyword> own = {{"normal_vector", {"d", "d", "d"}},
                                                {"layer_one", {"d", "d", "i"}},
                                                {"layer_two", {"d", "d", "i"}},
                                                {"eliminate_overall", {"b"}}};
        for (const KAVIR_entry& e : readcut(path, own, 4)) {
            if (e.key == "normal_vector") {
                for (int d = 0; d < 3; d++) normal[d] = std::atof(e.args[static_cast<size_t>(d)].c_str());
            } else if (e.key == "layer_one" || e.key == "layer_two") {
                double* l = layer[e.key == "layer_two"];
                for (int d = 0; d < 3; d++) l[d] = std::atof(e.args[static_cast<size_t>(d)].c_str());
            } else if (e.key == "eliminate_overall") {
                eliminate_overall = e.args[0] == "on";
            }
        }
    }
};

// Partner search radius (the nearest layer-2 atom within it).
constexpr double kPartnerReach = 10.0;

}  // namespace

void KAVIR_ida(CKAVIR* k, const std::string& inpar) {
    CIDACMD cmd(k);
    cmd.cmd_read(inpar);
    atom def, ref;
    KAVIR_read_two(cmd, def, ref);
    // Layers in the reference configuration.
    double n[3] = {cmd.normal[0], cmd.normal[1], cmd.normal[2]};
    const double nl = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    if (nl > 0) {
        for (double& c : n) c /= nl;
    } else {
        n[0] = 1;
        n[1] = n[2] = 0;
    }
    std::vector<int> members[2];
    for (int L = 0; L < 2; L++) {
        const double c = cmd.layer[L][0], w = cmd.layer[L][1];
        const int t = static_cast<int>(cmd.layer[L][2]);
        for (int i = 0; i < ref.natoms; i++) {
            const double* x = ref.p(i);
            const double h = n[0] * x[0] + n[1] * x[1] + n[2] * x[2];
            if (h > c - w && h < c + w && (t < 0 || ref.type[static_cast<size_t>(i)] == t)) members[L].push_back(i);
        }
        if (members[L].empty())
            throw KavirError(KAVIR_BAD_DATA, QB_format("no atom find in layer %d", L + 1));
    }
    // Layer 2 with its periodic images, binned, for the partner search.
    const bool has_box = ref.boxtype == 2;
    std::vector<int> id2, type2;
    std::vector<double> pos2;
    for (int i : members[1]) {
        id2.push_back(ref.id[static_cast<size_t>(i)]);
        type2.push_back(ref.type[static_cast<size_t>(i)]);
        pos2.insert(pos2.end(), ref.p(i), ref.p(i) + 3);
    }
    CPERI peri(k);
    peri.n = static_cast<int>(members[1].size());
    peri.id = id2.data();
    peri.type = type2.data();
    peri.pos = pos2.data();
    peri.size = kPartnerReach;
    double lo[3], hi[3];
    for (int d = 0; d < 3; d++) {
        peri.periodic[d] = has_box && cmd.boundary[d];
        double mn, mx;
        KAVIR_extent(peri.n, pos2.data(), d, mn, mx);
        lo[d] = has_box ? std::min(ref.box[0][d], mn) : mn;
        hi[d] = has_box ? std::max(ref.box[1][d], mx + 1e-9) : mx + 1e-9;
        if (peri.periodic[d]) {
            lo[d] = ref.box[0][d];
            hi[d] = ref.box[1][d];
        }
        peri.lo[d] = lo[d];
        peri.hi[d] = hi[d];
        peri.len[d] = hi[d] - lo[d];
    }
    peri.calculate();
    CBIN grid(k);
    grid.n = peri.ntotal;
    grid.pos = peri.ext_pos.data();
    grid.size = kPartnerReach;
    grid.calculate(peri.ext_lo, peri.ext_hi);
    // Deformed partners by id.
    CMAP map(k);
    map.size1 = ref.natoms;
    map.id1 = ref.id.data();
    map.size2 = def.natoms;
    map.id2 = def.id.data();
    map.name1 = "the reference file";
    map.name2 = "the deformed file";
    map.map();
    bool periodic[3];
    double len[3], scale[3];
    const bool eliminate = cmd.eliminate_cell && def.boxtype == 2 && has_box;
    for (int d = 0; d < 3; d++) {
        periodic[d] = def.boxtype == 2 && cmd.boundary[d];
        len[d] = def.box[2][d];  // deformed differences are known up to deformed boxes
        scale[d] = eliminate && ref.box[2][d] > 0 ? def.box[2][d] / ref.box[2][d] : 1.0;
    }
    const size_t m = members[0].size();
    std::vector<double> delta(3 * m, kNaN), where(3 * m);
    int lonely = 0, unmatched = 0;
    for (size_t q = 0; q < m; q++) {
        const int a = members[0][q];
        const double* xa = ref.p(a);
        for (int d = 0; d < 3; d++) where[3 * q + static_cast<size_t>(d)] = xa[d];
        // The nearest layer-2 atom (or image) within reach, itself excluded.
        int best = -1;
        double best_d2 = kPartnerReach * kPartnerReach;
        grid.near(xa, kPartnerReach, [&](int e, double, double, double, double d2) {
            if (members[1][static_cast<size_t>(peri.oldidx[static_cast<size_t>(e)])] == a && d2 == 0) return;
            if (d2 < best_d2) {
                best_d2 = d2;
                best = e;
            }
        });
        if (best < 0) {
            lonely++;
            continue;
        }
        const int b = members[1][static_cast<size_t>(peri.oldidx[static_cast<size_t>(best)])];
        const int da = map.map12[static_cast<size_t>(a)], db = map.map12[static_cast<size_t>(b)];
        if (da < 0 || db < 0) {
            unmatched++;
            continue;
        }
        double* v = &delta[3 * q];
        for (int d = 0; d < 3; d++) {
            const double r = (peri.ext_pos[3 * static_cast<size_t>(best) + static_cast<size_t>(d)] - xa[d]) * scale[d];
            v[d] = (def.p(db)[d] - def.p(da)[d]) - r;
        }
        nearest_image(v, periodic, len);
    }
    if (lonely > 0)
        k->say("%d atoms of layer 1 have no layer-2 atom within %g; their disregistry is nan\n", lonely, kPartnerReach);
    if (unmatched > 0)
        k->say("%d atoms of layer 1 or their partners are missing from the deformed file; their disregistry is nan\n",
               unmatched);
    if (cmd.eliminate_overall) remove_mean(delta);
    write_vectors(cmd, cmd.no_output() ? "" : cmd.out_name(""), cmd.test_mode ? "Displacement" : "Disregistry", ref,
                  members[0], where, delta, true, "Disregistry");
    k->say("IDA Success! \n");
}
