// The engine's neighbours: the cell grid, the periodic extension (images of
// the atoms as far as the cut-off reaches), the id correspondence of two
// configurations, the neighbour analysis with its automatic neighbour
// lengths, and the two-configuration preparation.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "dislocation/kavir_core.h"

// Spacing of a configuration: h = 0.896 (4 / rho)^(1/3), rho the number
// density of the space the atoms occupy (cells of about two atomic spacings
// holding atoms; empty vacuum and a stray atom do not dilute it). For fcc of
// lattice constant a, h = 0.896 a, between the first and second shells.
double KAVIR_spacing(int n, const double* pos, const double box[3][3], const bool* periodic);

// Cell grid: atoms sorted into cells of at least `size` by counting sort
// (any number of atoms per cell).
class CBIN {
public:
    explicit CBIN(CKAVIR* k) : kavir(k) {}
    CKAVIR* kavir;
    int n = 0;
    const double* pos = nullptr;
    double size = 0;     // requested cell size
    double cell[3] = {0, 0, 0};  // actual cell edges (>= size)
    int nbin[3] = {1, 1, 1};
    int64_t total = 1;
    double lo[3] = {0, 0, 0}, hi[3] = {0, 0, 0}, len[3] = {0, 0, 0};
    std::vector<int> boxid;       // linear cell per atom (-1: not binned)
    std::vector<int64_t> start;   // per cell, its first entry in binid; total + 1 entries
    std::vector<int> binid;       // atom indices cell after cell, in input order within a cell
    std::vector<double> packed;   // their positions, 3 per entry

    // The grid over the atoms' bounding box (pre_box_size).
    void calculate();
    // The grid over a given box; atoms outside it are not binned.
    void calculate(const double lo_[3], const double hi_[3]);

    // Calls f(j, dx, dy, dz, d2) for every binned atom j with
    // d2 = |x_j - p|^2 < r^2 (j may be the atom at p itself).
    template <class F>
    void near(const double* p, double r, F f) const;
    int64_t cell_of(const double* p, int c[3]) const;
};

// Periodic extension: the atoms inside the box followed by their images,
// as many boxes out as `size` needs along each periodic axis.
class CPERI {
public:
    explicit CPERI(CKAVIR* k) : kavir(k) {}
    CKAVIR* kavir;
    int n = 0;
    const int* id = nullptr;
    const int* type = nullptr;
    const double* pos = nullptr;
    double size = 0;  // reach of the images
    double lo[3] = {0, 0, 0}, hi[3] = {0, 0, 0}, len[3] = {0, 0, 0};
    bool periodic[3] = {true, true, true};
    bool pbc_any = true;
    bool showpbc = false;
    int ntotal = 0, nreal = 0;
    int outside = 0;  // input atoms outside the box along a periodic axis, left out
    std::vector<int> ext_id, ext_type, oldidx;
    std::vector<int> real_of;  // per entry, the entry of the atom inside the box it copies
    // The atoms inside the box are stored in space-filling order (near atoms
    // near in memory); by_input lists their entries in input order.
    std::vector<int> by_input;
    std::vector<double> ext_pos;
    std::vector<int> shift;  // 3 per entry: box lengths added per axis
    double ext_lo[3] = {0, 0, 0}, ext_hi[3] = {0, 0, 0}, ext_len[3] = {0, 0, 0};

    void calculate();
};

// Id correspondence of two atom sets: a direct table when the ids are dense,
// a sorted list otherwise. Duplicate ids are refused.
class CMAP {
public:
    explicit CMAP(CKAVIR* k) : kavir(k) {}
    CKAVIR* kavir;
    bool twoway = false;
    int size1 = 0, size2 = 0;
    const int* id1 = nullptr;
    const int* id2 = nullptr;
    std::vector<int> map12, map21;
    int unmatched1 = 0, unmatched2 = 0;
    std::string name1 = "the deformed file", name2 = "the reference file";
    void map();
};

// Statistics setting of the automatic neighbour lengths.
struct Stat_Setting {
    int amount = 150;
    int mult_min = 3;
    int mult_max = 6;
    double window = 0.25;
};

// Neighbour analysis of the first nlist atoms of a set (their neighbours may
// be any atom of the set).
class CANL {
public:
    explicit CANL(CKAVIR* k) : kavir(k) {}
    CKAVIR* kavir;
    int n = 0;      // atoms of the set
    int nlist = 0;  // atoms that get lists
    const int* type_value = nullptr;  // type values
    const std::vector<int>* order = nullptr;  // listed atoms in input order (null: as stored)
    const double* pos = nullptr;
    const CBIN* grid = nullptr;
    double h = 0;
    std::vector<int> type;            // type index per atom of the set
    std::vector<int> typeid_;         // distinct type values, in order of first appearance
    int ntypes = 0;
    bool onetype = false;
    std::vector<double> neigh_length_stan;  // neighbour length per type
    std::vector<double> ebond;             // bond length per type (automatic lengths)
    std::vector<int> cut_type;
    std::vector<double> cut_len;
    double x_lneigh = 0.5;
    std::vector<uint8_t> unpure;
    std::vector<int64_t> pneigh_start;  // nlist + 1 entries
    std::vector<int> pneighid;
    Stat_Setting stat;
    // Histograms of the last statistics pass: per type amount counts, the
    // bin width and the lower edge; the mean and deviation per type.
    std::vector<std::vector<double>> exstat;
    std::vector<double> exstat_dlength, exstat_min, stat_mean, stat_dev;
    int stat_pass = 0;
    std::function<void(CANL*)> callback;  // after each statistics pass

    // The k-th listed atom in input order.
    int in_order(int k) const { return order ? (*order)[static_cast<size_t>(k)] : k; }
    int pneighn(int i) const { return static_cast<int>(pneigh_start[static_cast<size_t>(i) + 1] - pneigh_start[static_cast<size_t>(i)]); }
    const int* neigh(int i) const { return pneighid.data() + pneigh_start[static_cast<size_t>(i)]; }
    double dist(int i, int j) const;
    // Distance of atom i to its k-th neighbour.
    double length(int i, int k) const { return dist(i, neigh(i)[k]); }
    // Largest pair length of the final pass.
    double reach() const;
    double extent = HUGE_VAL;  // how far the set's periodic images reach
    // Types, lengths (given or automatic) and the final lists. When the
    // automatic lengths reach beyond the images (extent), returns false
    // after setting the lengths, and the caller extends the set and calls
    // final_pass().
    bool calculate();
    void final_pass();

private:
    template <class Cutoff>
    void lists(Cutoff cutoff, double rmax);
    // Keeps the pairs of the present lists that are within the cut-off.
    template <class Cutoff>
    void filter(Cutoff cutoff);
    void find_unpure();
    void cal_stat();
    double first_radius_ = 0;  // radius of the lists held, 0 for none
};

// Periodic extension and neighbour lists of one configuration, with images
// as far as the neighbour lengths reach.
struct KAVIR_neighbours {
    explicit KAVIR_neighbours(CKAVIR* k) : peri(k), grid(k), anl(k) {}
    CPERI peri;
    CBIN grid;
    CANL anl;
    double h = 0;
    // cmd gives the boundary, showpbc, x_lneigh and neighbor_cutoff entries.
    void build(const CCMDBASE& cmd, const atom& a);
};

// Two configurations: the deformed atoms extended periodically, the
// matching reference position of every extended atom, and the neighbour
// lists in the deformed or the reference configuration.
class CCMC {
public:
    explicit CCMC(CKAVIR* k) : kavir(k), nb(k), map(k), refgrid(k) {}
    CKAVIR* kavir;
    atom* def = nullptr;
    atom* ref = nullptr;
    KAVIR_neighbours nb;
    CMAP map;
    CBIN refgrid;
    std::vector<double> refpos;  // 3 per extended atom; NaN for atoms without a partner
    int unmatched = 0;
    void calc(const CCMDBASE& cmd);
};

// Diagnostic files of the neighbour analysis.
void ex_bin_func(const CCMDBASE& cmd, const CBIN& grid, const std::string& name);
void ex_pointsneigh_func(const CCMDBASE& cmd, const CANL& anl, const std::string& name);
void ex_neighlenth_func(const CCMDBASE& cmd, const CANL& anl, const std::string& name);
void ex_stat_func(const CCMDBASE& cmd, const CANL& anl, const std::string& name);
void ex_unpure_func(const CCMDBASE& cmd, const CANL& anl, const std::string& name);
void ex_peri_func(const CCMDBASE& cmd, const CPERI& peri, const CBIN& grid, const std::string& name);

template <class F>
void CBIN::near(const double* p, double r, F f) const {
    int c[3];
    const double r2 = r * r;
    int reach[3];
    for (int d = 0; d < 3; d++) {
        c[d] = static_cast<int>(std::floor((p[d] - lo[d]) / cell[d]));
        reach[d] = static_cast<int>(std::ceil(r / cell[d]));
    }
    for (int k = std::max(0, c[2] - reach[2]); k <= std::min(nbin[2] - 1, c[2] + reach[2]); k++)
        for (int j = std::max(0, c[1] - reach[1]); j <= std::min(nbin[1] - 1, c[1] + reach[1]); j++) {
            const int64_t row = static_cast<int64_t>(nbin[0]) * (j + static_cast<int64_t>(nbin[1]) * k);
            const int i0 = std::max(0, c[0] - reach[0]), i1 = std::min(nbin[0] - 1, c[0] + reach[0]);
            if (i0 > i1) continue;
            const int64_t b = start[static_cast<size_t>(row + i0)], e = start[static_cast<size_t>(row + i1 + 1)];
            for (int64_t q = b; q < e; q++) {
                const double* x = &packed[3 * static_cast<size_t>(q)];
                const double dx = x[0] - p[0], dy = x[1] - p[1], dz = x[2] - p[2];
                const double d2 = dx * dx + dy * dy + dz * dz;
                if (d2 < r2) f(binid[static_cast<size_t>(q)], dx, dy, dz, d2);
            }
        }
}
