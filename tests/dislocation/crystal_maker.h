// Perfect and deformed crystals written as LAMMPS dumps for the engine's
// tests and benchmark.
#pragma once

#include <array>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

struct TestCrystal {
    std::vector<int> id, type;
    std::vector<double> pos;  // x, y, z per atom
    double lo[3] = {0, 0, 0}, hi[3] = {0, 0, 0};
    size_t size() const { return id.size(); }
    double* p(size_t i) { return &pos[3 * i]; }
};

// A crystal of lattice constant a ("fcc", "bcc", or "hcp" with the ideal
// c/a) whose lab axes run along the crystal directions in the rows of
// orient, rep periods of `period` along each axis, in the box [0, rep *
// period). hcp uses its orthohexagonal cell (a, a sqrt 3, c) in the default
// orientation.
inline TestCrystal make_crystal(const std::string& lattice, double a, const double orient[3][3],
                                const double period[3], const int rep[3]) {
    TestCrystal c;
    double R[3][3];
    for (int r = 0; r < 3; r++) {
        const double l = std::sqrt(orient[r][0] * orient[r][0] + orient[r][1] * orient[r][1] + orient[r][2] * orient[r][2]);
        for (int k = 0; k < 3; k++) R[r][k] = orient[r][k] / l;
    }
    double cellv[3] = {a, a, a};
    std::vector<std::array<double, 3>> basis;
    if (lattice == "fcc") basis = {{0, 0, 0}, {0, .5, .5}, {.5, 0, .5}, {.5, .5, 0}};
    else if (lattice == "bcc") basis = {{0, 0, 0}, {.5, .5, .5}};
    else {
        basis = {{0, 0, 0}, {.5, .5, 0}, {.5, 1.0 / 6, .5}, {0, 2.0 / 3, .5}};
        cellv[1] = a * std::sqrt(3.0);
        cellv[2] = a * std::sqrt(8.0 / 3.0);
    }
    double L[3];
    for (int d = 0; d < 3; d++) {
        L[d] = rep[d] * period[d];
        c.hi[d] = L[d];
    }
    // Crystal cells that can reach the box.
    double reach = std::sqrt(L[0] * L[0] + L[1] * L[1] + L[2] * L[2]);
    int m[3];
    for (int d = 0; d < 3; d++) m[d] = static_cast<int>(std::ceil(reach / cellv[d])) + 1;
    const double eps = 1e-6;
    for (int i = -m[0]; i <= m[0]; i++)
        for (int j = -m[1]; j <= m[1]; j++)
            for (int k = -m[2]; k <= m[2]; k++)
                for (const auto& b : basis) {
                    const double x[3] = {(i + b[0]) * cellv[0], (j + b[1]) * cellv[1], (k + b[2]) * cellv[2]};
                    double lab[3];
                    for (int r = 0; r < 3; r++) lab[r] = R[r][0] * x[0] + R[r][1] * x[1] + R[r][2] * x[2];
                    bool in = true;
                    for (int d = 0; d < 3; d++) in = in && lab[d] >= -eps && lab[d] < L[d] - eps;
                    if (!in) continue;
                    c.id.push_back(static_cast<int>(c.id.size()) + 1);
                    c.type.push_back(1);
                    for (int d = 0; d < 3; d++) c.pos.push_back(std::fabs(lab[d]) < eps ? 0.0 : lab[d]);
                }
    return c;
}

inline void write_dump(const TestCrystal& c, const std::string& path, const char* bounds = "pp pp pp") {
    FILE* f = std::fopen(path.c_str(), "w");
    std::fprintf(f, "ITEM: TIMESTEP\n0\nITEM: NUMBER OF ATOMS\n%zu\nITEM: BOX BOUNDS %s\n", c.size(), bounds);
    for (int d = 0; d < 3; d++) std::fprintf(f, "%.10f %.10f\n", c.lo[d], c.hi[d]);
    std::fprintf(f, "ITEM: ATOMS id type x y z\n");
    for (size_t i = 0; i < c.size(); i++)
        std::fprintf(f, "%d %d %.10f %.10f %.10f\n", c.id[i], c.type[i], c.pos[3 * i], c.pos[3 * i + 1], c.pos[3 * i + 2]);
    std::fclose(f);
}

// Cu along x = [1 1 -2], y = [1 1 1], z = [1 -1 0] and its periods.
constexpr double kCu = 3.615;
inline const double (&cu_screw_orient())[3][3] {
    static const double m[3][3] = {{1, 1, -2}, {1, 1, 1}, {1, -1, 0}};
    return m;
}
inline std::array<double, 3> cu_screw_periods() {
    return {kCu * std::sqrt(6.0) / 2, kCu * std::sqrt(3.0), kCu / std::sqrt(2.0)};
}

// Isotropic Volterra screw dislocation along z through (x0, y0), b along z.
inline void add_screw(TestCrystal& c, double b, double x0, double y0) {
    for (size_t i = 0; i < c.size(); i++) {
        double* p = c.p(i);
        p[2] += b / (2 * M_PI) * std::atan2(p[1] - y0, p[0] - x0);
    }
}
