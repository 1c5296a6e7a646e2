#include "dislocation/kavir_compare.h"

#include <charconv>
#include <cmath>

#include "qb/qb_text.h"

void KAVIR_read_two(CCMDBASE& cmd, atom& def, atom& ref) {
    CKAVIR* k = cmd.kavir;
    CREADATOM reader(k);
    // Models in memory bring their columns only when the caller wants them.
    const int none = -2;
    int ninfo = k->deformed_model && !k->model_columns ? none : cmd.prop_def;
    if (k->deformed_model) reader.take(k->deformed_model, &def, &ninfo, "model");
    else reader.read(cmd.datafile_def, &def, &ninfo);
    ninfo = k->reference_model && !k->model_columns ? none : cmd.prop_ref;
    if (k->reference_model) reader.take(k->reference_model, &ref, &ninfo, "reference model");
    else reader.read(cmd.datafile_ref, &ref, &ninfo);
    if (cmd.warpin && def.boxtype == 2) {
        pre_warpin(def.box, def.natoms, def.pos.data(), cmd.boundary);
        if (ref.boxtype == 2) pre_warpin(ref.box, ref.natoms, ref.pos.data(), cmd.boundary);
    }
}

std::vector<KAVIR_column> KAVIR_lead_columns(char pf, int ninfo) {
    std::vector<KAVIR_column> c = {{"id", 'd'}, {"type", 'd'}, {"x", pf}, {"y", pf}, {"z", pf}};
    for (int k = 0; k < ninfo; k++) c.push_back({QB_format("c%d", k), 'e'});
    return c;
}

void KAVIR_write_table(const CCMDBASE& cmd, const std::string& path, const std::vector<KAVIR_column>& columns,
                       size_t n, const double lo[3], const double hi[3],
                       const std::function<void(size_t, double*)>& row, bool to_table) {
    const size_t w = columns.size();
    if (!path.empty()) {
        std::string head;
        for (size_t c = 0; c < w; c++) head += (c ? "\t" : "") + columns[c].name;
        KAVIR_out out(path);
        cmd.head_out(out.file(), head.c_str(), static_cast<int>(n), lo, hi);
        out.rows(n, [&](size_t k, std::string& s) {
            double v[64];
            std::vector<double> big;
            double* values = v;
            if (w > 64) {
                big.resize(w);
                values = big.data();
            }
            row(k, values);
            for (size_t c = 0; c < w; c++) {
                const char sep = c + 1 == w ? '\n' : '\t';
                switch (columns[c].format) {
                    case 'd':
                        s += std::isfinite(values[c]) ? std::to_string(static_cast<long long>(values[c])) : std::string("nan");
                        s += sep;
                        break;
                    case 'f': {  // "%8.5f", whatever the thread's locale
                        char buf[400];
                        const auto r = std::to_chars(buf, buf + sizeof buf, values[c], std::chars_format::fixed, 5);
                        const size_t len = static_cast<size_t>(r.ptr - buf);
                        if (len < 8) s.append(8 - len, ' ');
                        s.append(buf, len);
                        s += sep;
                        break;
                    }
                    default:
                        cmd.real(s, values[c], sep);
                }
            }
        });
        out.commit();
    }
    if (to_table && cmd.kavir->table) {
        KAVIR_table* t = cmd.kavir->table;
        t->columns.clear();
        for (size_t c = 1; c < w; c++) t->columns.push_back(columns[c].name);
        t->id.assign(n, 0);
        t->values.assign(n * (w - 1), 0.0);
        KAVIR_parallel(n, 8192, [&](size_t b0, size_t b1) {
            std::vector<double> v(w);
            for (size_t k = b0; k < b1; k++) {
                row(k, v.data());
                t->id[k] = static_cast<int>(v[0]);
                for (size_t c = 1; c < w; c++) t->values[k * (w - 1) + c - 1] = v[c];
            }
        });
    }
}
