// Neighbourhoods of every atom gathered as the analysis driver gathers them,
// the pointer buffers the methods take, and per-atom runs of the methods.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <vector>

#include "analysis/morla.h"
#include "qb/qb_lattice.h"
#include "qb/qb_neighbour.h"
#include "qb/qb_random.h"
#include "qb/qb_tools.h"

using P3 = std::array<double, 3>;

// Moves every coordinate by up to +-amp (the program's generator from seed)
// and wraps the atoms back into the box.
inline void add_noise(QB_tools* s, double amp, uint32_t seed) {
    QB_random g;
    g.seed(seed);
    auto u = [&g, amp]() { return (2.0 * g.next() / QB_RAND_MAX - 1.0) * amp; };
    for (int i = 0; i < s->natoms; i++) {
        s->atoms[i].x += u();
        s->atoms[i].y += u();
        s->atoms[i].z += u();
        QB_wrap(s, i);
    }
}

// A perfect hcp crystal of ideal c/a: x along [1 0 0] (an a axis), y along
// [1 2 0] (a <10-10> direction), z along c.
inline QB_tools hcp_crystal(double a, int nx, int ny, int nz) {
    QB_tools s;
    QB_init(&s);
    QB_create_hcp(&s, a, a * std::sqrt(8.0 / 3.0), 1, 0, 0, 1, 2, 0, 0, 0, 1);
    QB_duplicate(&s, nx, ny, nz);
    return s;
}

// The analysis radius: sqrt(2 (lx^2 + ly^2 + lz^2)) / N^(1/3).
inline double analysis_radius(const QB_tools& s) {
    const double l2 = s.size[0] * s.size[0] + s.size[1] * s.size[1] + s.size[2] * s.size[2];
    return std::sqrt(2 * l2) / std::cbrt(static_cast<double>(s.natoms));
}

// Each atom's position and its (at most 16) nearest neighbours, periodic
// images included, nearest first.
struct Neighbourhoods {
    std::vector<P3> centre;
    std::vector<std::vector<P3>> near;
    std::vector<int> type;
};

inline Neighbourhoods gather(const QB_tools& model) {
    QB_tools s = model;
    const int n = s.natoms;
    const double R = analysis_radius(s);
    Neighbourhoods out;
    EXPECT_EQ(QB_pbc(&s, R), 1);
    EXPECT_EQ(QB_network_init(&s, R), 1);
    for (int i = 0; i < n; i++) {
        EXPECT_EQ(QB_list_build(&s, i, R), 1);
        out.centre.push_back({s.atoms[i].x, s.atoms[i].y, s.atoms[i].z});
        out.type.push_back(s.atoms[i].type - 1);
        std::vector<P3> nb;
        for (int k = 0; k < s.neighbour_count; k++) {
            const atomdata& a = s.atoms[s.neighbour_index[k]];
            nb.push_back({a.x, a.y, a.z});
        }
        out.near.push_back(nb);
        QB_list_clear(&s);
    }
    return out;
}

// Pointer buffers in the form the methods take.
struct Call {
    P3 c;
    std::vector<P3> nb;
    std::vector<double*> ptr;
    Call(const P3& centre, const std::vector<P3>& near) : c(centre), nb(near) {
        for (auto& p : nb) ptr.push_back(p.data());
    }
    double* centre() { return c.data(); }
    double** list() { return ptr.empty() ? nullptr : ptr.data(); }
    int n() const { return static_cast<int>(nb.size()); }
};

// f(call, type) for every atom, in atom order.
template <class F>
std::vector<double> run(const Neighbourhoods& h, F f) {
    std::vector<double> out;
    for (size_t i = 0; i < h.centre.size(); i++) {
        Call c(h.centre[i], h.near[i]);
        out.push_back(f(c, h.type[i]));
    }
    return out;
}

// CNA with one fixed window (lo, hi) for every type.
inline std::vector<double> cna_fixed(const Neighbourhoods& h, double lo, double hi) {
    MORLA_METHOD::CommonNeighborAnalysis m;
    m.isadaptive = 0;
    m.ntypes = 1;
    m.mincut = {lo};
    m.maxcut = {hi};
    return run(h, [&](Call& c, int t) { return static_cast<double>(m.analysis(c.centre(), c.list(), c.n(), t)); });
}

// CSP over the N nearest neighbours, for every type.
inline std::vector<double> csp(const Neighbourhoods& h, int N) {
    MORLA_METHOD::CentroSymmetryParameter m;
    m.ntypes = 1;
    m.cn = {N};
    return run(h, [&](Call& c, int t) { return m.analysis(c.centre(), c.list(), c.n(), t); });
}
