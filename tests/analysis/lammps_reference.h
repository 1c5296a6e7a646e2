// The LAMMPS reference files of the analysis tests: small crystals with
// their per-atom `compute centro/atom` and `compute cna/atom` values, written
// by fixtures/make_lammps_reference.py.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "neighbourhoods.h"
#include "qb/qb_tools.h"

// One reference file: the model LAMMPS saw and its per-atom values.
struct Reference {
    std::string lattice;
    double box[3] = {0, 0, 0};
    int periodic[3] = {-1, -1, -1};
    double cut = 0;
    int centro = 0;
    std::vector<P3> pos;
    std::vector<double> csp;
    std::vector<int> cna;
};

// Reads a reference file; false (with a failure) when it is missing or
// malformed.
inline bool read_reference(const std::string& path, Reference* r) {
    FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr) {
        ADD_FAILURE() << "cannot open " << path;
        return false;
    }
    char line[512];
    char word[32];
    double a = 0;
    bool ok = true;
    int seen = 0;
    while (std::fgets(line, sizeof line, f)) {
        if (line[0] == '#') {
            if (std::sscanf(line, "# lattice %31s a %lf", word, &a) == 2) r->lattice = word;
            std::sscanf(line, "# box %lf %lf %lf periodic %d %d %d", &r->box[0], &r->box[1], &r->box[2],
                        &r->periodic[0], &r->periodic[1], &r->periodic[2]);
            std::sscanf(line, "# cut %lf centro %d", &r->cut, &r->centro);
            continue;
        }
        int id = 0, code = 0;
        double x, y, z, c;
        if (std::sscanf(line, "%d %lf %lf %lf %lf %d", &id, &x, &y, &z, &c, &code) != 6 || id != ++seen) {
            ADD_FAILURE() << path << ": bad row " << line;
            ok = false;
            break;
        }
        r->pos.push_back({x, y, z});
        r->csp.push_back(c);
        r->cna.push_back(code);
    }
    std::fclose(f);
    return ok;
}

// The model LAMMPS saw: an orthogonal box from the origin with its
// periodic flags.
inline QB_tools model_of(const Reference& r) {
    QB_tools s;
    QB_init(&s);
    for (int d = 0; d < 3; d++) {
        s.size[d] = r.box[d];
        s.cell[d][d] = r.box[d];
        s.periodic[d] = r.periodic[d];
    }
    for (const P3& p : r.pos) QB_create_atom(&s, 1, p[0], p[1], p[2]);
    return s;
}
