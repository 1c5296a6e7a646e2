// The Nye analysis' run from its command file to its result and side files.
#include <cmath>

#include "dislocation/kavir_nye.h"
#include "qb/qb_formats.h"
#include "qb/qb_text.h"

namespace {

const char* const kResultNames = "\ts1\ts2\ts3\tLine.X\tLine.Y\tLine.Z\tBurgers.X\tBurgers.Y\tBurgers.Z\trefid";
const char* const kTestNames =
    "\ts1\ts2\ts3\tDisplacement.X\tDisplacement.Y\tDisplacement.Z\tForce.X\tForce.Y\tForce.Z\trefid";

// Diagnostic file name: path, prefix, item and suffix.
std::string diag(const CNYECMD& c, const std::string& item) { return c.filepath + c.sfilename + item + c.filename; }

struct Context {
    CNYECMD& cmd;
    atom& a;
    KAVIR_neighbours& nb;
    CNYE& nye;
};

// The columns id, type, x, y, z and the extra input columns of atom r.
void lead(const Context& c, size_t r, std::string& s, const double* x) {
    const CPERI& p = c.nb.peri;
    s += std::to_string(p.ext_id[r]);
    s += '\t';
    s += std::to_string(c.nb.anl.type[r]);
    s += '\t';
    if (!x) x = &p.ext_pos[3 * r];
    for (int d = 0; d < 3; d++) c.cmd.real(s, x[d], '\t');
    const size_t o = static_cast<size_t>(p.oldidx[r]);
    for (int k = 0; k < c.a.ninfo; k++) c.cmd.real(s, c.a.info[o * static_cast<size_t>(c.a.ninfo) + static_cast<size_t>(k)], '\t');
}

std::string lead_names(const Context& c) {
    std::string h = "id\ttype\tx\ty\tz";
    for (int k = 0; k < c.a.ninfo; k++) h += QB_format("\tc%d", k);
    return h;
}

// Writes a result-style file over the atoms inside the box (or the selected
// ones, with their projected positions), its rows made by tail.
template <class Tail>
void write_rows(const Context& c, const std::string& path, const std::string& columns, const std::vector<int>* only,
                Tail tail, const std::vector<double>* projected = nullptr) {
    KAVIR_out out(path);
    const std::vector<int>& all = c.nb.peri.by_input;
    const size_t n = only ? only->size() : all.size();
    c.cmd.head_out(out.file(), columns.c_str(), static_cast<int>(n), c.a.box[0], c.a.box[1]);
    out.rows(n, [&](size_t k, std::string& s) {
        const size_t r = static_cast<size_t>(only ? (*only)[k] : all[k]);
        lead(c, r, s, projected ? &(*projected)[3 * k] : nullptr);
        tail(r, s);
    });
    out.commit();
}

void result_tail(const Context& c, size_t r, std::string& s, const double* line, const double* burgers) {
    if (c.cmd.mapnum) s += std::to_string(c.nye.mapnum[r]) + "\t";
    for (int d = 0; d < 3; d++) c.cmd.real(s, c.nye.s[3 * r + static_cast<size_t>(d)], '\t');
    for (int d = 0; d < 3; d++) c.cmd.real(s, line[d], '\t');
    for (int d = 0; d < 3; d++) c.cmd.real(s, burgers[d], '\t');
    s += std::to_string(c.nye.refid[r]);
    s += '\n';
}

void write_proper(const Context& c) {
    const CANL& anl = c.nb.anl;
    const CLattice& L = c.cmd.lattice;
    std::string s = QB_format("type_amount = %d\ntypes are:\n\t", anl.ntypes);
    for (int v : anl.typeid_) s += QB_format("%d\t", v);
    s += "\ntype\t";
    for (int code : L.code)
        s += std::string(code == LATTICE_FCC ? "fcc" : code == LATTICE_BCC ? "bcc" : code == LATTICE_HCP ? "hcp" : "others") + "\t";
    s += "\nlatc\t";
    for (double a : L.constant) s += QB_format("%7.5f\t", a);
    s += QB_format("\npre_neigh = %f\nx_lneigh = %f\nstat_set.amount = %d\nstat_set.mult_min = %d\nstat_set.mult_max = %d\n"
                   "neigh_length_stan = \n",
                   c.nb.h, c.cmd.x_lneigh, anl.stat.amount, anl.stat.mult_min, anl.stat.mult_max);
    for (double l : anl.neigh_length_stan) s += QB_format("%.5f\t", l);
    s += "\n";
    KAVIR_out out(c.cmd.out_name(".proper"));
    out.text(s);
    out.commit();
}

// Bond-matching lists: per atom its matched reference bonds, its actual
// bonds, and the pairs with the reference tables.
void write_correlation(const Context& c) {
    const CANL& anl = c.nb.anl;
    const CNYE& nye = c.nye;
    int widest = 0;
    for (int i = 0; i < nye.n; i++) widest = std::max(widest, anl.pneighn(i));
    auto vectors = [&](const std::string& item, bool reference) {
        KAVIR_out out(c.cmd.kavir->path(diag(c.cmd, item) + ".txt"));
        out.rows(static_cast<size_t>(nye.n), [&](size_t k, std::string& s) {
            const size_t i = static_cast<size_t>(c.nb.peri.by_input[k]);
            const auto& pr = nye.pairs[i];
            const size_t t = static_cast<size_t>(anl.type[i]);
            const bool v2 = nye.refid[i] == 2;
            for (const auto& [k, j] : pr) {
                const double* xi = anl.pos + 3 * i;
                const double* xj = anl.pos + 3 * static_cast<size_t>(j);
                for (int d = 0; d < 3; d++) {
                    const double v = reference ? (v2 ? nye.pref2 : nye.pref)[t][static_cast<size_t>(k)][static_cast<size_t>(d)]
                                               : xj[d] - xi[d];
                    s += QB_format("%.8e\t", v);
                }
                s += "\n";
            }
            for (int q = static_cast<int>(pr.size()); q < widest; q++) s += "0\t0\t0\t\n";
        });
        out.commit();
    };
    vectors("_Pref", true);
    vectors("_Qreal", false);
    KAVIR_out out(c.cmd.kavir->path(diag(c.cmd, "_PrefQreal") + ".txt"));
    std::string head = QB_format("%d\n", nye.n);
    for (int d = 0; d < 3; d++) head += QB_format("%f\t%f\n", c.a.box[0][d], c.a.box[1][d]);
    for (size_t t = 0; t < nye.pref.size(); t++) {
        head += QB_format("o\t%zu\n", t);
        for (const auto& b : nye.pref[t]) head += QB_format("%.8e\t%.8e\t%.8e\n", b[0], b[1], b[2]);
    }
    out.text(head);
    out.rows(static_cast<size_t>(nye.n), [&](size_t k, std::string& s) {
        const size_t i = static_cast<size_t>(c.nb.peri.by_input[k]);
        const double* x = anl.pos + 3 * i;
        s += QB_format("a\t%d\t%zu\t%.8e\t%.8e\t%.8e\n", anl.type[i], nye.pairs[i].size(), x[0], x[1], x[2]);
        for (const auto& [k, j] : nye.pairs[i]) s += QB_format("%d\t%d\n", k, j);
    });
    out.commit();
}

// For the atoms of a line of cells: small dumps of their matched reference
// bond ends (type 1) and actual bond ends (type 2).
void write_checkref(const Context& c) {
    const CBIN& g = c.nb.grid;
    const CANL& anl = c.nb.anl;
    int from[3];
    for (int d = 0; d < 3; d++) from[d] = std::clamp(static_cast<int>(c.cmd.loc[d] * g.nbin[d]), 0, g.nbin[d] - 1);
    const int axis = c.cmd.coor;
    for (int step = from[axis]; step < g.nbin[axis]; step++) {
        int cell[3] = {from[0], from[1], from[2]};
        cell[axis] = step;
        const int64_t b = cell[0] + static_cast<int64_t>(g.nbin[0]) * (cell[1] + static_cast<int64_t>(g.nbin[1]) * cell[2]);
        for (int64_t q = g.start[static_cast<size_t>(b)]; q < g.start[static_cast<size_t>(b) + 1]; q++) {
            const int i = g.binid[static_cast<size_t>(q)];
            if (i >= c.nye.n) continue;
            const double* xi = anl.pos + 3 * static_cast<size_t>(i);
            const double o[3] = {c.cmd.relative ? 0 : xi[0], c.cmd.relative ? 0 : xi[1], c.cmd.relative ? 0 : xi[2]};
            const auto& pr = c.nye.pairs[static_cast<size_t>(i)];
            const size_t t = static_cast<size_t>(anl.type[static_cast<size_t>(i)]);
            const auto& ref = c.nye.refid[static_cast<size_t>(i)] == 2 ? c.nye.pref2[t] : c.nye.pref[t];
            KAVIR_out out(c.cmd.kavir->path(diag(c.cmd, "") + QB_format("_checkref.%d.txtp", i)));
            double lo[3], hi[3];
            for (int d = 0; d < 3; d++) {
                lo[d] = o[d] - 2 * c.nb.h;
                hi[d] = o[d] + 2 * c.nb.h;
            }
            out_lmp_head(out.file(), "id type x y z", static_cast<int>(2 * pr.size()), 0, lo, hi);
            std::string s;
            int id = 1;
            for (int kind = 1; kind <= 2; kind++)
                for (const auto& [k, j] : pr) {
                    const double* xj = anl.pos + 3 * static_cast<size_t>(j);
                    double v[3];
                    for (int d = 0; d < 3; d++)
                        v[d] = o[d] + (kind == 1 ? ref[static_cast<size_t>(k)][static_cast<size_t>(d)] : xj[d] - xi[d]);
                    s += QB_format("%d %d %f %f %f\n", id++, kind, v[0], v[1], v[2]);
                }
            out.text(s);
            out.commit();
        }
    }
}

void fill_table(const Context& c, const std::vector<std::string>& names, KAVIR_table* table) {
    table->columns = names;
    const size_t n = static_cast<size_t>(c.nye.n), w = names.size();
    table->id.assign(n, 0);
    table->values.assign(n * w, 0.0);
    const CPERI& p = c.nb.peri;
    KAVIR_parallel(n, 8192, [&](size_t b0, size_t b1) {
      for (size_t row = b0; row < b1; row++) {
        const size_t r = static_cast<size_t>(p.by_input[row]);
        table->id[row] = p.ext_id[r];
        double* v = &table->values[row * w];
        size_t k = 0;
        v[k++] = c.nb.anl.type[r];
        for (int d = 0; d < 3; d++) v[k++] = p.ext_pos[3 * r + static_cast<size_t>(d)];
        const size_t o = static_cast<size_t>(p.oldidx[r]);
        for (int e = 0; e < c.a.ninfo; e++) v[k++] = c.a.info[o * static_cast<size_t>(c.a.ninfo) + static_cast<size_t>(e)];
        if (c.cmd.mapnum) v[k++] = c.nye.mapnum[r];
        for (int d = 0; d < 3; d++) v[k++] = c.nye.s[3 * r + static_cast<size_t>(d)];
        for (int d = 0; d < 3; d++) v[k++] = c.nye.line[3 * r + static_cast<size_t>(d)];
        for (int d = 0; d < 3; d++) v[k++] = c.nye.burgers[3 * r + static_cast<size_t>(d)];
        v[k++] = c.nye.refid[r];
      }
    });
}

std::vector<std::string> split_tabs(const std::string& s) {
    std::vector<std::string> out;
    size_t p = 0;
    while (p <= s.size()) {
        const size_t e = std::min(s.find('\t', p), s.size());
        if (e > p) out.push_back(s.substr(p, e - p));
        p = e + 1;
    }
    return out;
}

}  // namespace

void CNYECMD::calculate(const std::string& path) {
    cmd_read(path);
    atom a;
    int ninfo = kavir->deformed_model && !kavir->model_columns ? -2 : prop_def;
    CREADATOM reader(kavir);
    if (kavir->deformed_model) reader.take(kavir->deformed_model, &a, &ninfo, "model");
    else reader.read(datafile_def, &a, &ninfo);
    if (warpin && a.boxtype == 2) pre_warpin(a.box, a.natoms, a.pos.data(), boundary);

    KAVIR_neighbours nb(kavir);
    if (stat || neighlenth || unpure) {
        nb.anl.callback = [this](CANL* anl) {
            const int p = anl->stat_pass;
            if (stat) ex_stat_func(*this, *anl, diag(*this, QB_format("neighlenth_stat%d", p)));
            if (neighlenth) ex_neighlenth_func(*this, *anl, diag(*this, QB_format("neighlenth%d", p)));
            if (unpure) ex_unpure_func(*this, *anl, diag(*this, QB_format("unpure%d", p)));
        };
    }
    nb.build(*this, a);
    if (nb.peri.ntotal > 0 && showpbc) ex_peri_func(*this, nb.peri, nb.grid, "PERI");
    if (bin) ex_bin_func(*this, nb.grid, diag(*this, "bin"));
    if (neighbor_list) ex_pointsneigh_func(*this, nb.anl, filepath + sfilename + filename + "_pointsneigh");

    lattice.calculate(kavir, nb.anl);
    CNYE nye(kavir, this, &nb);
    const Context c{*this, a, nb, nye};
    if (program_infor) write_proper(c);
    nye.calculate();
    if (correlation_list) {
        write_correlation(c);
        write_checkref(c);
    }

    if (deformtensor || deformsvd) {
        std::string cols = lead_names(c) + "\tn";
        if (deformtensor) cols += "\tD11\tD12\tD13\tD21\tD22\tD23\tD31\tD32\tD33";
        if (deformsvd)
            cols += test_mode ? "\ts1\ts2\ts3\tDisplacement.X\tDisplacement.Y\tDisplacement.Z\tForce.X\tForce.Y\tForce.Z"
                              : "\ts1\ts2\ts3\tU.X\tU.Y\tU.Z\tV.X\tV.Y\tV.Z";
        write_rows(c, out_name("_deform"), cols, nullptr, [&](size_t r, std::string& s) {
            s += std::to_string(nye.mapnum[r]);
            const double* G = &nye.deform_tensor[9 * r];
            for (int k = 0; k < 9 && deformtensor; k++) {
                s += '\t';
                real(s, G[k], '\t');
                s.pop_back();
            }
            if (deformsvd) {
                const double A[3][3] = {{G[0], G[1], G[2]}, {G[3], G[4], G[5]}, {G[6], G[7], G[8]}};
                double U[3][3], V[3][3], sv[3];
                if (std::isnan(G[0]) || svd_m_3(A, U, sv, V) < 0)
                    for (int k = 0; k < 3; k++) sv[k] = U[0][k] = V[0][k] = std::nan("");
                for (int k = 0; k < 3; k++) s += '\t', real(s, sv[k], '\t'), s.pop_back();
                for (int k = 0; k < 3; k++) s += '\t', real(s, U[0][k], '\t'), s.pop_back();
                for (int k = 0; k < 3; k++) s += '\t', real(s, V[0][k], '\t'), s.pop_back();
            }
            s += '\n';
        });
    }
    if (nye_tensors) {
        write_rows(c, out_name("_ntensor"), lead_names(c) + "\tN11\tN12\tN13\tN21\tN22\tN23\tN31\tN32\tN33", nullptr,
                   [&](size_t r, std::string& s) {
                       for (int k = 0; k < 9; k++) real(s, nye.nye_tensor[9 * r + static_cast<size_t>(k)], k == 8 ? '\n' : '\t');
                   });
    }
    std::string cols = lead_names(c);
    if (mapnum) cols += "\tn";
    cols += test_mode ? kTestNames : kResultNames;
    if (kavir->table) {
        std::vector<std::string> names = split_tabs(cols);
        names.erase(names.begin());
        fill_table(c, names, kavir->table);
    }
    if (!no_output()) {
        write_rows(c, out_name(""), cols, nullptr, [&](size_t r, std::string& s) {
            result_tail(c, r, s, &nye.line[3 * r], &nye.burgers[3 * r]);
        });
        kavir->say("result written to %s\n", write_datafile.c_str());
    }
    if (has_porjection) {
        CPROJECT proj;
        std::vector<double> ordered(3 * nb.peri.by_input.size());
        for (size_t k = 0; k < nb.peri.by_input.size(); k++)
            for (int d = 0; d < 3; d++)
                ordered[3 * k + static_cast<size_t>(d)] = nb.peri.ext_pos[3 * static_cast<size_t>(nb.peri.by_input[k]) + static_cast<size_t>(d)];
        proj_init(this, &proj, nb.peri.nreal, ordered.data());
        for (int& k : proj_idx) k = nb.peri.by_input[static_cast<size_t>(k)];
        const size_t m = proj_idx.size();
        std::vector<double> pp(3 * m), ll(3 * m), bb(3 * m);
        for (size_t k = 0; k < m; k++) {
            const size_t r = static_cast<size_t>(proj_idx[k]);
            for (int d = 0; d < 3; d++) {
                pp[3 * k + static_cast<size_t>(d)] = nb.peri.ext_pos[3 * r + static_cast<size_t>(d)];
                ll[3 * k + static_cast<size_t>(d)] = nye.line[3 * r + static_cast<size_t>(d)];
                bb[3 * k + static_cast<size_t>(d)] = nye.burgers[3 * r + static_cast<size_t>(d)];
            }
            proj.calc(&pp[3 * k]);
            proj.calc(&ll[3 * k]);
            proj.calc(&bb[3 * k]);
        }
        std::vector<size_t> slot(static_cast<size_t>(nb.peri.nreal), 0);
        for (size_t k = 0; k < m; k++) slot[static_cast<size_t>(proj_idx[k])] = k;
        write_rows(c, kavir->path(proj_name(0)), cols, &proj_idx, [&](size_t r, std::string& s) {
            const size_t k = slot[r];
            result_tail(c, r, s, &ll[3 * k], &bb[3 * k]);
        }, &pp);
        std::vector<const double*> pv(m), bv(m);
        for (size_t k = 0; k < m; k++) {
            pv[k] = &pp[3 * k];
            bv[k] = &bb[3 * k];
        }
        proj_default(this, proj.plane, pv, bv, a.box[0], a.box[1]);
    }
    kavir->say("NYE Success! \n");
}

void KAVIR_nye(CKAVIR* k, const std::string& inpar) {
    CNYECMD cmd(k);
    cmd.calculate(inpar);
}
