#include "qb/qb_tools.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numeric>

#include "qb/qb_text.h"

namespace {


const char* const kFixedSlots[5] = {"id", "type", "x", "y", "z"};

bool valid_atom(const QB_tools* s, int i) { return i >= 0 && i < s->natoms; }

void resize_columns(QB_tools* s, int n) {
    QB_for_each_column(s, [n](auto& c) { c.resize(static_cast<size_t>(n)); });
}

void cross(const double* a, const double* b, double* out) {
    out[0] = a[1] * b[2] - a[2] * b[1];
    out[1] = a[2] * b[0] - a[0] * b[2];
    out[2] = a[0] * b[1] - a[1] * b[0];
}

double dot(const double* a, const double* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

// lo/size as the bounding box of the parallelepiped origin + cell.
void bounding_box_from_cell(QB_tools* s) {
    for (int d = 0; d < 3; d++) {
        double low = s->origin[d], high = s->origin[d];
        for (int e = 0; e < 3; e++) {
            if (s->cell[e][d] < 0)
                low += s->cell[e][d];
            else
                high += s->cell[e][d];
        }
        s->lo[d] = low;
        s->size[d] = high - low;
    }
}

// Maps one coordinate into [lo, lo + L] the way repeated shifts by L do.
double wrap_coordinate(double x, double lo, double L) {
    if (!(L > 0) || !std::isfinite(L) || !std::isfinite(x)) return x;
    // Far-away coordinates would take too many single shifts; bring them
    // close first.
    if (std::fabs(x - lo) > 1000.0 * L) x = lo + std::fmod(x - lo, L);
    while (x > lo + L) x -= L;
    while (x < lo) x += L;
    return x;
}

}  // namespace

int QB_to_int(double v) {
    if (std::isnan(v)) return 0;
    if (v >= static_cast<double>(INT_MAX)) return INT_MAX;
    if (v <= static_cast<double>(INT_MIN)) return INT_MIN;
    return static_cast<int>(v);
}

double QB_squaredlengths(double dx, double dy, double dz) { return dx * dx + dy * dy + dz * dz; }
int QB_Max(int a, int b) { return a > b ? a : b; }
int QB_Min(int a, int b) { return a < b ? a : b; }

// ---------------------------------------------------------------- life cycle

void QB_init(QB_tools* s) {
    s->atoms.clear();
    s->atoms.shrink_to_fit();
    s->natoms = 0;
    s->ntypes = 0;
    QB_free_extra(s);
    QB_free_exchannel(s);
    s->triclinic = 0;
    std::memset(s->cell, 0, sizeof(s->cell));
    s->bin_atoms.clear();
    s->bin_atoms.shrink_to_fit();
    s->packed_atoms.clear();
    s->packed_start.clear();
    s->network_built = 0;
    s->network_radius = 0;
    s->neighbour_index.clear();
    s->neighbour_distance.clear();
    s->neighbour_count = 0;
    s->list_allocated = 0;
    s->list_capacity = 16;
    for (int d = 0; d < 3; d++) s->periodic[d] = 1;
    QB_free_elename(s);
    s->pbc_start = s->pbc_end = 0;
}

void QB_free_atom(QB_tools* s) {
    double lo[3], size[3], origin[3];
    std::memcpy(lo, s->lo, sizeof(lo));
    std::memcpy(size, s->size, sizeof(size));
    std::memcpy(origin, s->origin, sizeof(origin));
    QB_init(s);
    std::memcpy(s->lo, lo, sizeof(lo));
    std::memcpy(s->size, size, sizeof(size));
    std::memcpy(s->origin, origin, sizeof(origin));
}

void QB_free_extra(QB_tools* s) {
    s->exint_data.clear();
    s->exint_names.clear();
    s->exint_count = 0;
    s->exdouble_data.clear();
    s->exdouble_names.clear();
    s->exdouble_count = 0;
}

void QB_free_exchannel(QB_tools* s) {
    s->channel_data.clear();
    s->channel_names.clear();
    s->channel_count = 0;
}

void QB_copy_system(QB_tools* dst, const QB_tools* src) {
    if (dst == src) return;
    QB_free_atom(dst);
    dst->natoms = src->natoms;
    dst->ntypes = src->ntypes;
    std::memcpy(dst->lo, src->lo, sizeof(dst->lo));
    std::memcpy(dst->size, src->size, sizeof(dst->size));
    std::memcpy(dst->origin, src->origin, sizeof(dst->origin));
    std::memcpy(dst->cell, src->cell, sizeof(dst->cell));
    dst->triclinic = src->triclinic;
    dst->atoms = src->atoms;
    for (auto& a : dst->atoms) a.scratch = 0;
    dst->channel_names = src->channel_names;
    dst->channel_data = src->channel_data;
    dst->channel_count = src->channel_count;
    dst->exint_names = src->exint_names;
    dst->exint_data = src->exint_data;
    dst->exint_count = src->exint_count;
    dst->exdouble_names = src->exdouble_names;
    dst->exdouble_data = src->exdouble_data;
    dst->exdouble_count = src->exdouble_count;
    dst->element_names = src->element_names;
    dst->element_count = src->element_count;
    // Ghost atoms travel with the copy, so the copy can release them too.
    dst->pbc_start = src->pbc_start;
    dst->pbc_end = src->pbc_end;
}

// --------------------------------------------------------------------- atoms

int QB_create_atom(QB_tools* s, int type, double x, double y, double z) {
    if (s->natoms == INT_MAX) return QB_REFUSED;
    atomdata a;
    a.id = s->natoms + 1;
    a.type = type;
    a.x = x;
    a.y = y;
    a.z = z;
    a.scratch = 0;
    s->atoms.push_back(a);
    s->natoms++;
    resize_columns(s, s->natoms);
    s->ntypes = std::max(s->ntypes, type);
    return 1;
}

int QB_delete_atom(QB_tools* s, int i) {
    if (!valid_atom(s, i)) return QB_REFUSED;
    if (s->atoms[i].id > 0) {
        s->atoms[i].id = -s->atoms[i].id;
        return 1;
    }
    return 0;
}

int QB_recover_atom(QB_tools* s, int i) {
    if (!valid_atom(s, i)) return QB_REFUSED;
    if (s->atoms[i].id < 0) s->atoms[i].id = -s->atoms[i].id;
    return s->atoms[i].id;
}

int QB_swap(QB_tools* s, int i, int j) {
    if (!valid_atom(s, i) || !valid_atom(s, j)) return QB_REFUSED;
    atomdata& a = s->atoms[i];
    atomdata& b = s->atoms[j];
    std::swap(a.id, b.id);
    std::swap(a.type, b.type);
    std::swap(a.x, b.x);
    std::swap(a.y, b.y);
    std::swap(a.z, b.z);
    QB_for_each_column(s, [i, j](auto& c) {
        if (static_cast<size_t>(std::max(i, j)) < c.size()) std::swap(c[i], c[j]);
    });
    return 1;
}

int QB_affine_delete(QB_tools* s) {
    const int n = s->natoms;
    for (int i = 0; i < s->natoms; i++) {
        if (s->atoms[i].id >= 0) continue;
        int j = s->natoms - 1;
        while (true) {
            if (j == i) {
                s->natoms--;
                break;
            }
            if (s->atoms[j].id < 0) {
                s->natoms--;
                j--;
                continue;
            }
            QB_swap(s, i, j);
            s->natoms--;
            break;
        }
    }
    if (s->natoms == n) return 0;
    for (int i = 0; i < s->natoms; i++) s->atoms[i].id = i + 1;
    s->atoms.resize(static_cast<size_t>(s->natoms));
    resize_columns(s, s->natoms);
    return 1;
}

int QB_sort_atom(QB_tools* s, int (*out_of_order)(QB_tools*, int, int)) {
    if (!out_of_order) return QB_REFUSED;
    const int n = s->natoms;
    if (n < 2) return 0;
    // A stable sort of a permutation gives exactly the order of the adjacent
    // exchange sort (records only pass each other when out of order) in
    // O(n log n). The comparison sees the records where they stand.
    std::vector<int> perm(static_cast<size_t>(n));
    std::iota(perm.begin(), perm.end(), 0);
    std::stable_sort(perm.begin(), perm.end(), [s, out_of_order](int a, int b) { return out_of_order(s, b, a) != 0; });

    const QB_atom_array old = s->atoms;
    for (int k = 0; k < n; k++) {
        const atomdata& from = old[perm[k]];
        atomdata& to = s->atoms[k];
        to.id = from.id;
        to.type = from.type;
        to.x = from.x;
        to.y = from.y;
        to.z = from.z;  // scratch stays with the slot, as an exchange leaves it
    }
    QB_for_each_column(s, [&perm, n](auto& c) {
        if (c.size() < static_cast<size_t>(n)) return;
        auto copy = c;
        for (int k = 0; k < n; k++) c[k] = copy[perm[k]];
    });
    return 1;
}

int QB_move_atom(QB_tools* s, int i, double dx, double dy, double dz) {
    if (!valid_atom(s, i)) return QB_REFUSED;
    s->atoms[i].x += dx;
    s->atoms[i].y += dy;
    s->atoms[i].z += dz;
    return 1;
}

void QB_move_box(QB_tools* s, double dx, double dy, double dz) {
    for (auto& a : s->atoms) {
        a.x += dx;
        a.y += dy;
        a.z += dz;
    }
    const double d[3] = {dx, dy, dz};
    for (int k = 0; k < 3; k++) {
        s->lo[k] += d[k];
        s->origin[k] += d[k];
    }
}

int QB_duplicate(QB_tools* s, int nx, int ny, int nz) {
    if (nx < 1 || ny < 1 || nz < 1) return QB_REFUSED;
    const int n = s->natoms;
    const long long copies = static_cast<long long>(nx) * ny * nz;
    const long long total = copies * n;
    if (total > INT_MAX) {
        std::printf("Duplicating failed: %lld atoms are too many\n", total);
        return QB_REFUSED;
    }
    // Copies come in index order c = (i ny + j) nz + k, so each is appended
    // after the previous one; copy 0 is the source itself.
    s->atoms.reserve(static_cast<size_t>(total));
    for (int m = 0; m < n; m++) s->atoms[m].id = s->atoms[m].id < 0 ? -(m + 1) : m + 1;
    for (int i = 0; i < nx; i++)
        for (int j = 0; j < ny; j++)
            for (int k = 0; k < nz; k++) {
                if (i == 0 && j == 0 && k == 0) continue;
                double shift[3];
                if (s->triclinic == 1) {
                    for (int d = 0; d < 3; d++) shift[d] = i * s->cell[0][d] + j * s->cell[1][d] + k * s->cell[2][d];
                } else {
                    shift[0] = i * s->size[0];
                    shift[1] = j * s->size[1];
                    shift[2] = k * s->size[2];
                }
                for (int m = 0; m < n; m++) {
                    const atomdata& from = s->atoms[m];
                    const int id = static_cast<int>(s->atoms.size()) + 1;
                    s->atoms.push_back({from.id < 0 ? -id : id, from.type, from.x + shift[0], from.y + shift[1],
                                        from.z + shift[2], 0});
                }
            }
    const int factor[3] = {nx, ny, nz};
    for (int e = 0; e < 3; e++)
        for (int d = 0; d < 3; d++) s->cell[e][d] *= factor[e];
    if (s->triclinic == 1) {
        bounding_box_from_cell(s);
    } else {
        for (int d = 0; d < 3; d++) s->size[d] *= factor[d];
    }
    s->natoms = static_cast<int>(total);
    QB_update_extra(s);
    QB_for_each_column(s, [n, copies](auto& col) {
        for (long long c = 1; c < copies; c++)
            std::copy(col.begin(), col.begin() + n, col.begin() + c * n);
    });
    return 1;
}

void QB_wrap_point(const QB_tools* s, double& x, double& y, double& z) {
    if (s->triclinic != 1) {
        x = wrap_coordinate(x, s->lo[0], s->size[0]);
        y = wrap_coordinate(y, s->lo[1], s->size[1]);
        z = wrap_coordinate(z, s->lo[2], s->size[2]);
        return;
    }
    double normal[3][3];
    double low[3], high[3];
    for (int e = 0; e < 3; e++) {
        cross(s->cell[(e + 1) % 3], s->cell[(e + 2) % 3], normal[e]);
        if (dot(normal[e], s->cell[e]) < 0)
            for (int d = 0; d < 3; d++) normal[e][d] = -normal[e][d];
        double top[3];
        for (int d = 0; d < 3; d++) top[d] = s->origin[d] + s->cell[e][d];
        low[e] = dot(normal[e], s->origin);
        high[e] = dot(normal[e], top);
    }
    for (int pass = 0; pass < 10; pass++) {
        const double p[3] = {x, y, z};
        bool moved = false;
        for (int e = 0; e < 3; e++) {
            const double h = dot(normal[e], p);
            double sign = 0;
            if (h < low[e]) sign += 1;
            if (h >= high[e]) sign -= 1;
            if (sign != 0) {
                x += sign * s->cell[e][0];
                y += sign * s->cell[e][1];
                z += sign * s->cell[e][2];
                moved = true;
            }
        }
        if (!moved) break;
    }
}

int QB_wrap(QB_tools* s, int i) {
    if (!valid_atom(s, i)) return QB_REFUSED;
    atomdata& a = s->atoms[i];
    QB_wrap_point(s, a.x, a.y, a.z);
    return 1;
}

int QB_combine_system(QB_tools* dst, const QB_tools* src) {
    if (dst == src) {
        const QB_tools copy = *src;
        return QB_combine_system(dst, &copy);
    }
    const long long total = static_cast<long long>(dst->natoms) + src->natoms;
    if (total > INT_MAX) return QB_REFUSED;
    const int n = dst->natoms;
    const int t = dst->ntypes;
    dst->atoms.resize(static_cast<size_t>(total));
    for (int m = 0; m < src->natoms; m++) {
        const atomdata& from = src->atoms[m];
        atomdata& to = dst->atoms[n + m];
        to.id = n + from.id;
        to.type = t + from.type;
        to.x = from.x;
        to.y = from.y;
        to.z = from.z;
        to.scratch = 0;
    }
    dst->natoms = static_cast<int>(total);
    QB_update_extra(dst);
    std::string name;
    for (int slot = 5; slot < QB_slot_sum(dst); slot++) {
        QB_slot_name(dst, slot, name);
        const int from = QB_slot_get(src, name.c_str());
        for (int m = 0; m < src->natoms; m++)
            QB_slot_save(dst, slot, n + m, from > 0 ? QB_slot_data(src, from, m) : 0.0);
    }
    // The merged types keep their names.
    for (int k = 0; k < src->ntypes; k++)
        if (QB_has_elename(src, k)) QB_save_elename(dst, t + k, QB_elename(src, k).c_str());
    dst->ntypes += src->ntypes;
    return 1;
}

int QB_combine(QB_tools* dst, const QB_tools* src) {
    if (dst->natoms != src->natoms) return 0;
    if (dst == src) {
        const QB_tools copy = *src;
        return QB_combine(dst, &copy);
    }
    for (int c = 0; c < src->channel_count; c++) {
        const char* name = src->channel_names[c].c_str();
        QB_add_exdouble(dst, name);
        for (int i = 0; i < src->natoms; i++) QB_save_data(dst, i, name, src->channel_data[c][i]);
    }
    return 1;
}

int QB_inbox(const QB_tools* s, int i) {
    if (!valid_atom(s, i)) return QB_REFUSED;
    const atomdata& a = s->atoms[i];
    if (s->triclinic != 1) {
        const double p[3] = {a.x, a.y, a.z};
        for (int d = 0; d < 3; d++)
            if (!(p[d] >= s->lo[d] && p[d] <= s->lo[d] + s->size[d])) return 0;
        return 1;
    }
    // Fractional coordinates of the position in the cell.
    const double d[3] = {a.x - s->origin[0], a.y - s->origin[1], a.z - s->origin[2]};
    double bc[3];
    cross(s->cell[1], s->cell[2], bc);
    const double volume = dot(s->cell[0], bc);
    if (volume == 0) return 0;
    for (int e = 0; e < 3; e++) {
        double n[3];
        cross(s->cell[(e + 1) % 3], s->cell[(e + 2) % 3], n);
        const double u = dot(d, n) / volume;
        if (!(u >= 0 && u < 1)) return 0;
    }
    return 1;
}

int QB_mirror(QB_tools* s, int i, const vector* n, double d) {
    if (!valid_atom(s, i) || !n) return QB_REFUSED;
    const double len = std::sqrt(QB_squaredlengths(n->x, n->y, n->z));
    if (!(len > 0)) return QB_REFUSED;
    const atomdata a = s->atoms[i];
    const double ux = n->x / len, uy = n->y / len, uz = n->z / len;
    const double dist = ux * a.x + uy * a.y + uz * a.z - d / len;
    return QB_create_atom(s, a.type, a.x - 2 * dist * ux, a.y - 2 * dist * uy, a.z - 2 * dist * uz);
}

int QB_rotate(QB_tools* s, int i, const vector* centre, const vector* axis, float angle) {
    if (!valid_atom(s, i) || !centre || !axis) return QB_REFUSED;
    const double len = std::sqrt(QB_squaredlengths(axis->x, axis->y, axis->z));
    if (!(len > 0)) return QB_REFUSED;
    const double ux = axis->x / len, uy = axis->y / len, uz = axis->z / len;
    const float theta = static_cast<float>(angle * 0.017453292519943295);
    const double c = std::cos(theta);
    const double sn = std::sin(theta);
    const double t = 1 - c;
    atomdata& a = s->atoms[i];
    const double qx = a.x - centre->x, qy = a.y - centre->y, qz = a.z - centre->z;
    a.x = centre->x + (c + ux * ux * t) * qx + (ux * uy * t + sn * uz) * qy + (ux * uz * t - sn * uy) * qz;
    a.y = centre->y + (ux * uy * t - sn * uz) * qx + (c + uy * uy * t) * qy + (uy * uz * t + sn * ux) * qz;
    a.z = centre->z + (ux * uz * t + sn * uy) * qx + (uy * uz * t - sn * ux) * qy + (c + uz * uz * t) * qz;
    return 1;
}

namespace {
void swap_axes(QB_tools* s, int p, int q) {
    if (s->triclinic == 1) return;
    for (auto& a : s->atoms) {
        double* c[3] = {&a.x, &a.y, &a.z};
        std::swap(*c[p], *c[q]);
    }
    std::swap(s->size[p], s->size[q]);
    std::swap(s->lo[p], s->lo[q]);
}
}  // namespace

void QB_switchxy(QB_tools* s) { swap_axes(s, 0, 1); }
void QB_switchxz(QB_tools* s) { swap_axes(s, 0, 2); }
void QB_switchyz(QB_tools* s) { swap_axes(s, 1, 2); }

// --------------------------------------------------------------- data columns

namespace {
int add_column(QB_tools* s, const char* name, bool integer) {
    if (!name) return QB_REFUSED;
    if (QB_slot_get(s, name) >= 0) return 0;
    if (s->natoms == 0) {
        std::printf(integer ? "Please get at least one number before add extra data\n"
                            : "Please get at least one atom before add extra data\n");
        return QB_REFUSED;
    }
    if (integer) {
        s->exint_names.emplace_back(name);
        s->exint_data.emplace_back(static_cast<size_t>(s->natoms), 0);
        s->exint_count++;
    } else {
        s->exdouble_names.emplace_back(name);
        s->exdouble_data.emplace_back(static_cast<size_t>(s->natoms), 0.0);
        s->exdouble_count++;
    }
    return 1;
}

// Finds slot's column: group 0 file, 1 integer, 2 double, and its index
// within the group; false for fixed and out-of-range slots.
bool locate_slot(const QB_tools* s, int slot, int& group, int& index) {
    if (slot < 5 || slot >= QB_slot_sum(s)) return false;
    index = slot - 5;
    if (index < s->channel_count) {
        group = 0;
        return true;
    }
    index -= s->channel_count;
    if (index < s->exint_count) {
        group = 1;
        return true;
    }
    index -= s->exint_count;
    group = 2;
    return true;
}

// Slot of the first data column named name (file, integer, double columns
// in this order), -1 if none; the fixed slots are not searched.
int column_slot(const QB_tools* s, const char* name) {
    if (!name) return -1;
    int slot = 5;
    for (const auto* group : {&s->channel_names, &s->exint_names, &s->exdouble_names})
        for (const auto& n : *group) {
            if (n == name) return slot;
            slot++;
        }
    return -1;
}

template <class T>
bool has_entry(const std::vector<std::vector<T>>& data, int c, int i) {
    return c < static_cast<int>(data.size()) && i < static_cast<int>(data[c].size());
}
}  // namespace

int QB_add_exint(QB_tools* s, const char* name) { return add_column(s, name, true); }
int QB_add_exdouble(QB_tools* s, const char* name) { return add_column(s, name, false); }

void QB_update_extra(QB_tools* s) { resize_columns(s, s->natoms); }

int QB_slot_sum(const QB_tools* s) { return s->channel_count + s->exint_count + s->exdouble_count + 5; }

int QB_slot_get(const QB_tools* s, const char* name) {
    if (!name) return -1;
    for (int k = 0; k < 5; k++)
        if (std::strcmp(name, kFixedSlots[k]) == 0) return k;
    return column_slot(s, name);
}

int QB_slot_name(const QB_tools* s, int slot, std::string& out) {
    if (slot < 0 || slot >= QB_slot_sum(s)) return 0;
    if (slot < 5) {
        out = kFixedSlots[slot];
        return 1;
    }
    int group = 0, index = 0;
    locate_slot(s, slot, group, index);
    const std::vector<std::string>& names =
        group == 0 ? s->channel_names : group == 1 ? s->exint_names : s->exdouble_names;
    if (index >= static_cast<int>(names.size())) return 0;
    out = names[index];
    return 1;
}

double QB_slot_data(const QB_tools* s, int slot, int i) {
    if (!valid_atom(s, i)) return 0;
    const atomdata& a = s->atoms[i];
    switch (slot) {
        case 0: return a.id;
        case 1: return a.type;
        case 2: return a.x;
        case 3: return a.y;
        case 4: return a.z;
    }
    int group = 0, index = 0;
    if (!locate_slot(s, slot, group, index)) return 0;
    if (group == 0) return has_entry(s->channel_data, index, i) ? s->channel_data[index][i] : 0;
    if (group == 1) return has_entry(s->exint_data, index, i) ? s->exint_data[index][i] : 0;
    return has_entry(s->exdouble_data, index, i) ? s->exdouble_data[index][i] : 0;
}

int QB_slot_save(QB_tools* s, int slot, int i, double value) {
    if (!valid_atom(s, i)) return QB_REFUSED;
    atomdata& a = s->atoms[i];
    switch (slot) {
        case 0: a.id = QB_to_int(value); return 1;
        case 1: a.type = QB_to_int(value); return 1;
        case 2: a.x = value; return 1;
        case 3: a.y = value; return 1;
        case 4: a.z = value; return 1;
    }
    int group = 0, index = 0;
    if (!locate_slot(s, slot, group, index)) return 0;
    if (group == 0 && has_entry(s->channel_data, index, i)) {
        s->channel_data[index][i] = value;
    } else if (group == 1 && has_entry(s->exint_data, index, i)) {
        s->exint_data[index][i] = QB_to_int(value);
    } else if (group == 2 && has_entry(s->exdouble_data, index, i)) {
        s->exdouble_data[index][i] = value;
    } else {
        return QB_REFUSED;
    }
    return 1;
}

double QB_get_data(const QB_tools* s, int i, const char* name) {
    const int slot = QB_slot_get(s, name);
    return slot < 0 ? 0 : QB_slot_data(s, slot, i);
}

int QB_save_data(QB_tools* s, int i, const char* name, double value) {
    const int slot = column_slot(s, name);
    if (slot < 0) return 0;
    return QB_slot_save(s, slot, i, value);
}

// -------------------------------------------------------------- element names

namespace {
bool make_elements(QB_tools* s, int k) {
    if (k < 0 || k >= QB_MAX_TYPES) return false;
    if (static_cast<int>(s->element_names.size()) <= k) s->element_names.resize(static_cast<size_t>(k) + 1);
    s->element_count = static_cast<int>(s->element_names.size());
    return true;
}

// Standard atomic weights (IUPAC; the longest-lived isotope where there is
// none), by atomic number.
struct Element {
    const char* symbol;
    double mass;
};
constexpr Element kElements[] = {
    {"H", 1.008}, {"He", 4.002602}, {"Li", 6.94}, {"Be", 9.0121831}, {"B", 10.81}, {"C", 12.011}, {"N", 14.007},
    {"O", 15.999}, {"F", 18.998403163}, {"Ne", 20.1797}, {"Na", 22.98976928}, {"Mg", 24.305}, {"Al", 26.9815385},
    {"Si", 28.085}, {"P", 30.973761998}, {"S", 32.06}, {"Cl", 35.45}, {"Ar", 39.948}, {"K", 39.0983}, {"Ca", 40.078},
    {"Sc", 44.955908}, {"Ti", 47.867}, {"V", 50.9415}, {"Cr", 51.9961}, {"Mn", 54.938044}, {"Fe", 55.845},
    {"Co", 58.933194}, {"Ni", 58.6934}, {"Cu", 63.546}, {"Zn", 65.38}, {"Ga", 69.723}, {"Ge", 72.63},
    {"As", 74.921595}, {"Se", 78.971}, {"Br", 79.904}, {"Kr", 83.798}, {"Rb", 85.4678}, {"Sr", 87.62}, {"Y", 88.90584},
    {"Zr", 91.224}, {"Nb", 92.90637}, {"Mo", 95.95}, {"Tc", 97.90721}, {"Ru", 101.07}, {"Rh", 102.9055},
    {"Pd", 106.42}, {"Ag", 107.8682}, {"Cd", 112.414}, {"In", 114.818}, {"Sn", 118.71}, {"Sb", 121.76}, {"Te", 127.6},
    {"I", 126.90447}, {"Xe", 131.293}, {"Cs", 132.90545196}, {"Ba", 137.327}, {"La", 138.90547}, {"Ce", 140.116},
    {"Pr", 140.90766}, {"Nd", 144.242}, {"Pm", 144.91276}, {"Sm", 150.36}, {"Eu", 151.964}, {"Gd", 157.25},
    {"Tb", 158.92535}, {"Dy", 162.5}, {"Ho", 164.93033}, {"Er", 167.259}, {"Tm", 168.93422}, {"Yb", 173.054},
    {"Lu", 174.9668}, {"Hf", 178.49}, {"Ta", 180.94788}, {"W", 183.84}, {"Re", 186.207}, {"Os", 190.23},
    {"Ir", 192.217}, {"Pt", 195.084}, {"Au", 196.966569}, {"Hg", 200.592}, {"Tl", 204.38}, {"Pb", 207.2},
    {"Bi", 208.9804}, {"Po", 208.98243}, {"At", 209.98715}, {"Rn", 222.01758}, {"Fr", 223.01974}, {"Ra", 226.02541},
    {"Ac", 227.02775}, {"Th", 232.0377}, {"Pa", 231.03588}, {"U", 238.02891}, {"Np", 237.04817}, {"Pu", 244.06421},
    {"Am", 243.06138}, {"Cm", 247.07035}, {"Bk", 247.07031}, {"Cf", 251.07959}, {"Es", 252.083}, {"Fm", 257.09511},
    {"Md", 258.09843}, {"No", 259.101}, {"Lr", 262.11}, {"Rf", 267.122}, {"Db", 268.126}, {"Sg", 271.134},
    {"Bh", 270.133}, {"Hs", 269.1338}, {"Mt", 278.156}, {"Ds", 281.165}, {"Rg", 281.166}, {"Cn", 285.177},
    {"Nh", 286.182}, {"Fl", 289.19}, {"Mc", 289.194}, {"Lv", 293.204}, {"Ts", 293.208}, {"Og", 294.214},
};
}  // namespace

int QB_save_elename(QB_tools* s, int k, const char* name) {
    if (!name || !make_elements(s, k)) return QB_REFUSED;
    s->element_names[static_cast<size_t>(k)] = name;
    return 1;
}

int QB_load_elename(QB_tools* s, int k, std::string& out) {
    if (k < 0 || k >= QB_MAX_TYPES) return QB_REFUSED;
    out = k < static_cast<int>(s->element_names.size()) ? s->element_names[static_cast<size_t>(k)] : std::string();
    return 1;
}

void QB_free_elename(QB_tools* s) {
    s->element_names.clear();
    s->element_count = 0;
}

bool QB_has_elename(const QB_tools* s, int k) {
    return k >= 0 && k < static_cast<int>(s->element_names.size()) && !s->element_names[static_cast<size_t>(k)].empty();
}

std::string QB_elename(const QB_tools* s, int k) {
    return QB_has_elename(s, k) ? s->element_names[static_cast<size_t>(k)] : std::string();
}

int QB_unnamed_type(const QB_tools* s) {
    for (int t = 1; t <= s->ntypes; t++)
        if (!QB_has_elename(s, t - 1)) return t;
    return 0;
}

std::string QB_elename_list(const QB_tools* s) {
    std::string out;
    for (int t = 1; t <= s->ntypes; t++) {
        if (t > 1) out += ',';
        out += QB_elename(s, t - 1);
    }
    return out;
}

double QB_element_mass(const std::string& symbol) {
    for (const Element& e : kElements)
        if (symbol == e.symbol) return e.mass;
    return 0;
}

std::vector<std::string> QB_split_elenames(const std::string& list) {
    std::vector<std::string> words;
    std::string word;
    for (char c : list) {
        if (c == ',' || c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            if (!word.empty()) words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty()) words.push_back(word);
    return words;
}

int QB_set_elenames(QB_tools* s, const std::string& list, std::string* why) {
    auto refuse = [why](const std::string& reason) {
        if (why) *why = reason;
        return QB_REFUSED;
    };
    const std::vector<std::string> names = QB_split_elenames(list);
    if (names.empty()) return refuse("no element names are given");
    for (const std::string& n : names)
        if (!(QB_element_mass(n) > 0)) return refuse("\"" + n + "\" is not an element symbol (such as Cu, Ni, O)");
    if (static_cast<int>(names.size()) != s->ntypes)
        return refuse(QB_format("%d element name%s given for %d atom type%s: give one per type, in type order",
                                static_cast<int>(names.size()), names.size() == 1 ? "" : "s", s->ntypes,
                                s->ntypes == 1 ? "" : "s"));
    for (size_t k = 0; k < names.size(); k++) QB_save_elename(s, static_cast<int>(k), names[k].c_str());
    return 1;
}
