// The atom system: one atomic model (atoms in a box plus named per-atom
// columns) and the plain functions that create, edit, copy, merge, replicate
// and wrap it.
//
// Return codes follow the library's convention: 1 done, 0 nothing to do,
// negative for a refusal (QB_REFUSED). No function here opens a dialog or ends
// the program; remarks go to standard output.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qb/qb_memory.h"

constexpr int QB_REFUSED = -1;

// Highest atom type a model may hold: far above any real model, low enough
// that per-type tables sized from a damaged file cannot exhaust memory.
constexpr int QB_MAX_TYPES = 1000000;

// One atom record. A negative id marks a deleted atom (its magnitude is the
// former id) until QB_affine_delete removes it.
struct atomdata {
    int32_t id;
    int32_t type;  // 1-based
    double x, y, z;
    int32_t scratch;  // working integer owned by the caller (the view keeps its drawing order here)
};

// The atom array of a record.
using QB_atom_array = std::vector<atomdata, QB_allocator<atomdata>>;

// Plain three-component vector passed by address.
struct vector {
    double x, y, z;
};

// A binned atom's position and index, stored bin after bin.
struct QB_packed_atom {
    double x, y, z;
    int index;
};

struct QB_tools {
    // File columns (the extra columns of a LAMMPS custom dump).
    std::vector<std::string> channel_names;
    std::vector<std::vector<double>> channel_data;  // channel_data[c][i]
    int channel_count = 0;

    QB_atom_array atoms;  // natoms records, deleted ones included

    // Box, in two forms. Orthogonal: lo + [0, size] per axis. Triclinic
    // (triclinic == 1): origin + u*a + v*b + w*c, 0 <= u, v, w < 1, with
    // lo/size its bounding box.
    double size[3] = {0, 0, 0};
    double cell[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};  // rows a, b, c
    double origin[3] = {0, 0, 0};
    int triclinic = 0;
    double lo[3] = {0, 0, 0};

    int ntypes = 0;
    int natoms = 0;

    // Columns added by the program.
    std::vector<std::vector<double>> exdouble_data;
    std::vector<std::vector<int>> exint_data;
    int exint_count = 0;
    std::vector<std::string> exint_names;
    int exdouble_count = 0;
    std::vector<std::string> exdouble_names;

    int periodic[3] = {1, 1, 1};  // per cell vector a, b, c

    // Cell network. bin_atoms holds one list per bin, flat in (i, j, k)
    // order: bin_atoms[QB_bin_index(s, i, j, k)]; its size is the bin's fill.
    double bin_size[3] = {0, 0, 0};
    int bin_count[3] = {0, 0, 0};
    std::vector<std::vector<int>> bin_atoms;
    int network_built = 0;
    double network_radius = 0;  // effective cut-off the bins were made for
    // Optional copy of the binned positions, bin after bin (bin b holds
    // entries packed_start[b] ... packed_start[b + 1] - 1), made by
    // QB_network_pack for callers whose atoms stay still while they query.
    std::vector<QB_packed_atom> packed_atoms;
    std::vector<int> packed_start;

    // Bounded neighbour list of the last query.
    int list_allocated = 0;
    int list_capacity = 16;
    int neighbour_count = 0;
    std::vector<int> neighbour_index;
    std::vector<double> neighbour_distance;

    // Element names; entry t - 1 names type t.
    int element_count = 0;
    std::vector<std::string> element_names;

    // Periodic ghost atoms currently appended by QB_pbc: [pbc_start, pbc_end).
    int pbc_start = 0;
    int pbc_end = 0;
};

// Record life cycle.
void QB_init(QB_tools* s);
void QB_free_atom(QB_tools* s);
void QB_free_extra(QB_tools* s);
void QB_free_exchannel(QB_tools* s);
void QB_copy_system(QB_tools* dst, const QB_tools* src);

// Atoms.
int QB_create_atom(QB_tools* s, int type, double x, double y, double z);
int QB_delete_atom(QB_tools* s, int i);
int QB_recover_atom(QB_tools* s, int i);
int QB_affine_delete(QB_tools* s);
int QB_swap(QB_tools* s, int i, int j);
int QB_sort_atom(QB_tools* s, int (*out_of_order)(QB_tools*, int, int));
int QB_move_atom(QB_tools* s, int i, double dx, double dy, double dz);
void QB_move_box(QB_tools* s, double dx, double dy, double dz);
int QB_duplicate(QB_tools* s, int nx, int ny, int nz);
int QB_wrap(QB_tools* s, int i);
// Brings a point into the box as QB_wrap brings an atom.
void QB_wrap_point(const QB_tools* s, double& x, double& y, double& z);
int QB_combine_system(QB_tools* dst, const QB_tools* src);
int QB_combine(QB_tools* dst, const QB_tools* src);
int QB_inbox(const QB_tools* s, int i);
int QB_mirror(QB_tools* s, int i, const vector* n, double d);
int QB_rotate(QB_tools* s, int i, const vector* centre, const vector* axis, float angle);
void QB_switchxy(QB_tools* s);
void QB_switchxz(QB_tools* s);
void QB_switchyz(QB_tools* s);

// Data columns and slots: 0 id, 1 type, 2 x, 3 y, 4 z, then the file, integer
// and double columns.
int QB_add_exint(QB_tools* s, const char* name);
int QB_add_exdouble(QB_tools* s, const char* name);
void QB_update_extra(QB_tools* s);
int QB_slot_sum(const QB_tools* s);
int QB_slot_get(const QB_tools* s, const char* name);
int QB_slot_name(const QB_tools* s, int slot, std::string& out);
double QB_slot_data(const QB_tools* s, int slot, int i);
int QB_slot_save(QB_tools* s, int slot, int i, double value);
double QB_get_data(const QB_tools* s, int i, const char* name);
int QB_save_data(QB_tools* s, int i, const char* name, double value);

// Element names: entry k names type k + 1. An entry that was never given a
// name (or was given an empty one) is empty: no name is known for that type,
// and nothing is made up for it. QB_save_elename makes entries 0 ... k exist
// (the new ones empty); QB_load_elename gives entry k, empty when there is
// none. Both refuse k outside 0 ... QB_MAX_TYPES - 1.
int QB_save_elename(QB_tools* s, int k, const char* name);
int QB_load_elename(QB_tools* s, int k, std::string& out);
void QB_free_elename(QB_tools* s);
// Whether type k + 1 has a name, and the name (empty when none).
bool QB_has_elename(const QB_tools* s, int k);
std::string QB_elename(const QB_tools* s, int k);
// The first type (1 ... ntypes) without a name, or 0 when every type has one.
int QB_unnamed_type(const QB_tools* s);
// The names of types 1 ... ntypes joined by commas, unknown ones empty
// ("Cu,,Ni").
std::string QB_elename_list(const QB_tools* s);

// Chemical elements: the standard atomic weight of a symbol ("Cu" 63.546,
// case as written), 0 for a text that is no element symbol.
double QB_element_mass(const std::string& symbol);
// Names every type from a list of element symbols, one per type in type
// order, separated by commas or blanks ("Cu,Ni", "Cu Ni"). 1 when named;
// QB_REFUSED with the reason in *why (when given) and the names unchanged
// when the list is empty, holds a word that is no element symbol, or does
// not give exactly one name per type.
int QB_set_elenames(QB_tools* s, const std::string& list, std::string* why = nullptr);
// Splits such a list into its words.
std::vector<std::string> QB_split_elenames(const std::string& list);

// Small helpers.
double QB_squaredlengths(double dx, double dy, double dz);
int QB_Max(int a, int b);
int QB_Min(int a, int b);

// Converts to int by truncation toward zero, clamped to the int range; NaN
// gives 0.
int QB_to_int(double v);

// Calls f on the value vector of every data column (file, integer, double).
template <class F>
void QB_for_each_column(QB_tools* s, F f) {
    for (auto& c : s->channel_data) f(c);
    for (auto& c : s->exint_data) f(c);
    for (auto& c : s->exdouble_data) f(c);
}

// Index of bin (i, j, k) in bin_atoms.
inline int QB_bin_index(const QB_tools* s, int i, int j, int k) {
    return (i * s->bin_count[1] + j) * s->bin_count[2] + k;
}
