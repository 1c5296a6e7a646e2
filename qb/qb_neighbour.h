// Neighbour search on an atom system: a cell network of bins over the box,
// bounded distance-sorted neighbour lists (at most list_capacity entries,
// nearest first) and periodic images.
//
// A list operation leaves its result in neighbour_count, neighbour_index
// (atom indices) and neighbour_distance. Equal distances keep the order in
// which the bins (i, j, k, k fastest) and the atoms within a bin are visited.
#pragma once

#include <array>
#include <vector>

#include "qb/qb_tools.h"

// Builds the network for cut-off r (bins are made for max(r, 3)); an
// existing one is freed first. Returns 1, or QB_REFUSED for a non-finite r.
int QB_network_init(QB_tools* s, double r);
// Adds atom i to the bin of its position unless the bin lists it already.
// The bin is found with the cut-off the network was built with; r is kept
// for the callers' convenience and not needed.
int QB_network_update(QB_tools* s, double r, int i);
void QB_network_free(QB_tools* s);
// Copies the binned positions into one array in bin order, which makes the
// queries that follow much faster. Only for atoms that do not move until the
// network is rebuilt or freed; QB_network_update drops the copy.
int QB_network_pack(QB_tools* s);

// A neighbour list owned by its caller, so that several lists can be built
// at once from one network (which the query only reads).
struct QB_neighbour_list {
    int count = 0;
    std::vector<int> index;
    std::vector<double> distance;
};

// Neighbours of atom i (every other record, ghosts included) within r.
int QB_list_build(QB_tools* s, int i, double r);
// The same neighbours, written to list instead of the record's own list.
int QB_list_query(const QB_tools* s, int i, double r, QB_neighbour_list* list);
// Neighbours of the point (x, y, z) within r; no atom excluded.
int QB_nearest_atom(QB_tools* s, double x, double y, double z, double r);
// Neighbours of atom i and of its periodic images within r, without ghosts.
int QB_pbclist_build(QB_tools* s, int i, double r);
void QB_list_clear(QB_tools* s);

// The atoms of a record and their periodic images within reach of the faces
// (the ghosts QB_pbc(s, reach) would append, at the same positions and in
// the same order), binned once for many queries without copying the record.
// The bins are those QB_network_init would make for r on the record with
// its ghosts; entries lie bin after bin, in record order within a bin, so a
// query finds what QB_list_query finds on such a copy, in the same order.
struct QB_cell_list {
    int atoms = 0;  // the record's atoms: entries of record index < atoms
    double lo[3] = {0, 0, 0};
    double bin_size[3] = {0, 0, 0};
    int bin_count[3] = {0, 0, 0};
    double radius = 0;                // the cut-off the bins were made for
    std::vector<int> start;           // entries of bin b: start[b] ... start[b + 1] - 1
    std::vector<double> x, y, z;      // positions of the entries
    std::vector<int> record;          // record index of each entry (images: atoms, atoms + 1, ...)
    std::vector<int> source;          // the atom record each entry is, or is an image of
};

// The work is shared by up to threads threads (QB_thread_count), with the
// same result on any number. Returns 1, or QB_REFUSED for a non-finite
// reach or r, or more records than an int counts.
int QB_cell_list_build(const QB_tools* s, double reach, double r, QB_cell_list* c, int threads = 1);

// The at most K nearest neighbours of one entry: entry indices, squared
// distances and positions relative to the centre, nearest first.
struct QB_cell_hits {
    int count = 0;
    std::vector<int> entry;
    std::vector<double> d2, dx, dy, dz;
};

// Queries of a cell list, the entries of one bin after another: the
// candidates around a bin are gathered once for all its entries. One walker
// per thread; the list is only read.
class QB_cell_walker {
public:
    QB_cell_walker(const QB_cell_list& c, int K);
    // Neighbours of entry e within r (e excluded), as QB_list_query lists
    // them on the copy with ghosts. Queries of entries of the same bin in a
    // row share their candidates.
    void query(int e, double r, QB_cell_hits* hits);

private:
    const QB_cell_list& c_;
    int K_;
    int bin_ = -1;                  // the bin whose candidates are gathered
    double origin_[3] = {0, 0, 0};  // its corner
    std::vector<float> x_, y_, z_;  // candidates' positions from the corner
    std::vector<double> d2_;
    std::vector<int> entry_;
    std::vector<int> inside_;
    std::vector<int> index_;
    std::vector<double> dist_;
};

// Appends ghost copies of the atoms within r of the periodic faces, with the
// column values of the atoms they copy. A second call before QB_pbc_clean
// prints "PBC init twice!" and returns QB_REFUSED.
int QB_pbc(QB_tools* s, double r);
// Marks the ghost atoms deleted; QB_affine_delete removes them.
int QB_pbc_clean(QB_tools* s);
// The positions QB_pbc would give the ghost copies of an atom at p: its
// periodic images across the faces it lies within r of (none for an atom
// deep inside the box).
std::vector<std::array<double, 3>> QB_point_images(const QB_tools* s, double r, const double p[3]);
