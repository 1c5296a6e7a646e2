// The forms of the step kinds. Every field writes straight into the step's
// record in the recipe; the next run reads it from there.
#include <FL/Fl_Button.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Output.H>

#include <algorithm>
#include <climits>
#include <cmath>

#include "app/quelm_bind.h"
#include "app/quelm_dialogs.h"
#include "atomkit/atomkit.h"
#include "atomkit/atomkit_forms.h"
#include "atomkit/atomkit_panel.h"
#include "qb/qb_tools.h"

namespace {

// A field of the step record, for the field helpers below.
#define AK_FIELD(member) [](AK_step_item& s) -> auto& { return s.member; }

using RealField = double& (*)(AK_step_item&);
using IntField = int& (*)(AK_step_item&);

// Affine Shear: the matrix element of each direction (Simple: XY XZ YX YZ
// ZX ZY; Pure: XY XZ YZ, each with its mirror element).
const int kSimpleShear[6][2] = {{0, 1}, {0, 2}, {1, 0}, {1, 2}, {2, 0}, {2, 1}};
const int kPureShear[3][2] = {{0, 1}, {0, 2}, {1, 2}};
const std::vector<std::string> kSimpleDirections = {"XY", "XZ", "YX", "YZ", "ZX", "ZY"};
const std::vector<std::string> kPureDirections = {"XY", "XZ", "YZ"};
const std::vector<std::string> kUnits = {"Å", "Box"};
const std::vector<std::string> kRemaps = {"Atom Only", "Box Only", "Remap All"};

AK_step_item& step_of(size_t k) { return AKdata_step[k]; }

const int* shear_element(const AK_step_deform& d) {
    return d.shear_mode == 0 ? kSimpleShear[std::min(std::max(d.direction, 0), 5)]
                             : kPureShear[std::min(std::max(d.direction, 0), 2)];
}

double shear_strain(const AK_step_deform& d) {
    const int* e = shear_element(d);
    return d.m[e[0]][e[1]];
}

// The identity with the strain at the element (Simple) or pair (Pure) of
// the step's direction.
void set_shear(AK_step_deform& d, double strain) {
    for (int r = 0; r < 3; r++)
        for (int c = 0; c < 3; c++)
            if (r != c) d.m[r][c] = 0;
    const int* e = shear_element(d);
    d.m[e[0]][e[1]] = strain;
    if (d.shear_mode == 1) d.m[e[1]][e[0]] = strain;
}

// One step's form under construction: (gx, gy) is its top-left corner.
struct Form {
    int i;
    int gx, gy;
    std::vector<Fl_Widget*>& fields;

    size_t k() const { return static_cast<size_t>(i); }

    template <class W>
    W* keep(W* w) {
        fields.push_back(w);
        return w;
    }

    AK_number* real(RealField field, int x, int y, int w, const char* label) {
        const size_t s = k();
        return keep(new AK_number(
            gx + x, gy + y, w, label, [s, field] { return field(step_of(s)); },
            [s, field](double v) { field(step_of(s)) = v; }));
    }

    // The integer part is stored (values below `least` become `least`).
    AK_number* whole(IntField field, int x, int y, int w, const char* label, int least = INT_MIN) {
        const size_t s = k();
        return keep(new AK_number(
            gx + x, gy + y, w, label, [s, field] { return static_cast<double>(field(step_of(s))); },
            [s, field, least](double v) { field(step_of(s)) = std::max(least, QB_to_int(v)); }));
    }

    // x, y and z at 70, 140 and 210, 60 wide; the label on the first.
    void row(RealField fx, RealField fy, RealField fz, int y, const char* label) {
        real(fx, 70, y, 60, label);
        real(fy, 140, y, 60, nullptr);
        real(fz, 210, y, 60, nullptr);
    }

    AK_list* list(IntField field, int x, int y, int w, const char* label, const std::vector<std::string>& entries,
                  std::function<void()> after = nullptr) {
        const size_t s = k();
        return keep(new AK_list(
            gx + x, gy + y, w, label, entries, [s, field] { return field(step_of(s)); },
            [s, field, after](int v) {
                field(step_of(s)) = v;
                if (after) after();
            }));
    }

    // Rows of a matrix field m at y0, y0 + 40, y0 + 80.
    void matrix(int y0, const char* label) {
        const size_t s = k();
        for (int r = 0; r < 3; r++)
            for (int c = 0; c < 3; c++)
                keep(new AK_number(
                    gx + 70 + 70 * c, gy + y0 + 40 * r, 60, c == 0 ? (r == 0 ? label : nullptr) : nullptr,
                    [s, r, c] { return step_of(s).deform.m[r][c]; }, [s, r, c](double v) { step_of(s).deform.m[r][c] = v; }));
    }
};

std::vector<Fl_Widget*>* fields_of(size_t step) {
    return step < AK_step_forms.size() ? &AK_step_forms[step].fields : nullptr;
}

// Displace: the direction is used by "Random Distance" only.
void displace_directions(size_t step) {
    std::vector<Fl_Widget*>* f = fields_of(step);
    if (!f || f->size() < 6) return;
    const bool on = step_of(step).disterb.mode == 2;
    for (size_t k = 3; k < 6; k++) QN_set_active((*f)[k], on);
}

// Move: the vector is along a, b, c in box units.
void move_labels(size_t step) {
    std::vector<Fl_Widget*>* f = fields_of(step);
    if (!f || f->size() < 3) return;
    const bool box = step_of(step).move.unit == 1;
    (*f)[0]->label(box ? "Direction a" : "Direction x");
    (*f)[1]->label(box ? "b" : "y");
    (*f)[2]->label(box ? "c" : "z");
    if (Fl_Group* g = (*f)[0]->parent()) g->redraw();
}

void affine_normal(Form& form, bool tensile) {
    const size_t s = form.k();
    form.keep(new AK_list(
        form.gx + 70, form.gy + 50, 60, "Direction", {"X", "Y", "Z"}, [s] { return step_of(s).deform.direction; },
        [s](int to) {
            // The strained diagonal element moves to the new direction.
            AK_step_deform& d = step_of(s).deform;
            const int from = std::min(std::max(d.direction, 0), 2);
            const double v = d.m[from][from];
            for (int a = 0; a < 3; a++) d.m[a][a] = 1;
            d.m[to][to] = v;
            d.direction = to;
        }));
    form.keep(new AK_number(
        form.gx + 230, form.gy + 50, 60, "Strain",
        [s, tensile] {
            const AK_step_deform& d = step_of(s).deform;
            const int e = std::min(std::max(d.direction, 0), 2);
            return tensile ? d.m[e][e] - 1 : 1 - d.m[e][e];
        },
        [s, tensile](double strain) {
            AK_step_deform& d = step_of(s).deform;
            const int e = std::min(std::max(d.direction, 0), 2);
            d.m[e][e] = tensile ? 1 + strain : 1 - strain;
        }));
    form.list(AK_FIELD(deform.remap), 70, 90, 200, "Remap", kRemaps);
}

void affine_shear(Form& form) {
    const size_t s = form.k();
    form.keep(new AK_list(
        form.gx + 70, form.gy + 50, 80, "Mode", {"Simple", "Pure"}, [s] { return step_of(s).deform.shear_mode; },
        [s](int to) {
            AK_step_deform& d = step_of(s).deform;
            if (to == d.shear_mode || to < 0 || to > 1) return;
            const double strain = shear_strain(d);
            // The direction on the same pair of axes.
            static const int kToPure[6] = {0, 1, 0, 2, 1, 2};
            static const int kToSimple[3] = {0, 1, 3};
            d.direction = to == 1 ? kToPure[std::min(std::max(d.direction, 0), 5)]
                                  : kToSimple[std::min(std::max(d.direction, 0), 2)];
            d.shear_mode = to;
            set_shear(d, strain);
            std::vector<Fl_Widget*>* f = fields_of(s);
            if (f && f->size() > 2) {
                static_cast<AK_list*>((*f)[1])->entries(to == 0 ? kSimpleDirections : kPureDirections);
                static_cast<AK_number*>((*f)[2])->refresh();
            }
        }));
    form.keep(new AK_list(
        form.gx + 230, form.gy + 50, 60, "Direction",
        step_of(s).deform.shear_mode == 0 ? kSimpleDirections : kPureDirections,
        [s] { return step_of(s).deform.direction; },
        [s](int to) {
            AK_step_deform& d = step_of(s).deform;
            const double strain = shear_strain(d);
            d.direction = to;
            set_shear(d, strain);
        }));
    form.keep(new AK_number(
        form.gx + 70, form.gy + 90, 200, "Strain", [s] { return shear_strain(step_of(s).deform); },
        [s](double strain) { set_shear(step_of(s).deform, strain); }));
    form.list(AK_FIELD(deform.remap), 70, 130, 200, "Remap", kRemaps);
}

}  // namespace

void AK_step_form(int step) {
    if (step < 0 || step >= static_cast<int>(AKdata_step.size())) return;
    Fl_Group* g = AK_step_frame(step);
    Form form{step, g->x(), g->y(), AK_step_forms[static_cast<size_t>(step)].fields};
    const size_t s = form.k();
    switch (AKdata_step[s].kind) {
        case AK_ADD_ATOM:
            form.whole(AK_FIELD(add.mode), 70, 50, 100, "Type", 1);
            form.list(AK_FIELD(add.unit), 210, 50, 60, "Unit", kUnits);
            form.row(AK_FIELD(add.x), AK_FIELD(add.y), AK_FIELD(add.z), 90, "Position");
            break;
        case AK_FILL_ATOMS: {
            auto* file = form.keep(new Fl_Output(form.gx + 70, form.gy + 50, 140, 30, "Input File"));
            file->value(AKdata_step[s].add.file.c_str());
            auto* select = form.keep(new Fl_Button(form.gx + 210, form.gy + 50, 60, 30, "Select"));
            select->callback(AK_add_atom_select, static_cast<long>(step));
            form.list(AK_FIELD(add.mode), 70, 90, 108, "Origin", {"Start Point", "Barycenter"});
            form.list(AK_FIELD(add.unit), 210, 90, 60, "Unit", kUnits);
            form.row(AK_FIELD(add.x), AK_FIELD(add.y), AK_FIELD(add.z), 130, "Target");
            break;
        }
        case AK_CREATE_BOX: {
            // The cell vectors a, b, c as the matrix rows.
            const char* rows[3] = {"a", "b", "c"};
            for (int r = 0; r < 3; r++)
                for (int c = 0; c < 3; c++)
                    form.keep(new AK_number(
                        form.gx + 70 + 70 * c, form.gy + 50 + 40 * r, 60, c == 0 ? rows[r] : nullptr,
                        [s, r, c] { return step_of(s).deform.m[r][c]; },
                        [s, r, c](double v) { step_of(s).deform.m[r][c] = v; }));
            break;
        }
        case AK_DEFORM:
            form.matrix(50, "Matrix");
            form.list(AK_FIELD(deform.remap), 70, 170, 200, "Remap", kRemaps);
            break;
        case AK_DELETE: break;
        case AK_DISPLACE:
            form.list(AK_FIELD(disterb.mode), 70, 50, 200, "Mode", {"Random All", "Random Direction", "Random Distance"},
                      [s] { displace_directions(s); });
            form.real(AK_FIELD(disterb.distance), 70, 90, 70, "Distance");
            form.whole(AK_FIELD(disterb.seed), 200, 90, 70, "Seed");
            form.real(AK_FIELD(disterb.dx), 85, 130, 45, "Direction X");
            form.real(AK_FIELD(disterb.dy), 145, 130, 50, "Y");
            form.real(AK_FIELD(disterb.dz), 220, 130, 50, "Z");
            break;
        case AK_DUPLICATE:
            form.whole(AK_FIELD(duplicate.nx), 70, 50, 60, "New box");
            form.whole(AK_FIELD(duplicate.ny), 140, 50, 60, nullptr);
            form.whole(AK_FIELD(duplicate.nz), 210, 50, 60, nullptr);
            break;
        case AK_EXTEND:
            form.keep(AK_require_Select_region_step(form.gx + 90, form.gy + 50, 200, 30, "Reference", step, 1));
            form.whole(AK_FIELD(changetype.type), 70, 90, 70, "Type", 1);
            form.keep(new AK_number(
                form.gx + 220, form.gy + 90, 70, "Distance", [s] { return step_of(s).changetype.rate; },
                [s](double radius) {
                    // A long reach makes the neighbour search slow: asked first.
                    if (std::fabs(radius) > 10 &&
                        QN_choice_hook("Operation will be slow with high input.\nWould you like to continue?", "Yes",
                                       "No") != 0)
                        radius = radius < 0 ? -10 : 10;
                    step_of(s).changetype.rate = radius;
                }));
            break;
        case AK_MIRROR:
            form.row(AK_FIELD(rotate.dx), AK_FIELD(rotate.dy), AK_FIELD(rotate.dz), 50, "Normal");
            form.real(AK_FIELD(rotate.angle), 70, 90, 200, "Distance");
            form.list(AK_FIELD(rotate.remap), 70, 130, 200, "Copy", {"NO", "YES"});
            break;
        case AK_MOVE:
            form.real(AK_FIELD(move.x), 85, 50, 50, "Direction x");
            form.real(AK_FIELD(move.y), 150, 50, 50, "y");
            form.real(AK_FIELD(move.z), 220, 50, 50, "z");
            form.list(AK_FIELD(move.mode), 70, 90, 105, "Mode", {"Distance", "Destination"});
            form.list(AK_FIELD(move.unit), 210, 90, 60, "Unit", kUnits, [s] { move_labels(s); });
            break;
        case AK_REMOVE_DUPLICATE: form.real(AK_FIELD(changetype.rate), 70, 50, 200, "Distance"); break;
        case AK_SUBSTITUTE:
            form.whole(AK_FIELD(changetype.type), 70, 50, 40, "Type", 1);
            form.real(AK_FIELD(changetype.rate), 150, 50, 40, "Ratio");
            form.whole(AK_FIELD(changetype.seed), 230, 50, 40, "Seed");
            break;
        case AK_ROTATE:
            form.row(AK_FIELD(rotate.cx), AK_FIELD(rotate.cy), AK_FIELD(rotate.cz), 50, "Center");
            form.row(AK_FIELD(rotate.dx), AK_FIELD(rotate.dy), AK_FIELD(rotate.dz), 90, "Direction");
            form.real(AK_FIELD(rotate.angle), 70, 130, 200, "Angle");
            form.list(AK_FIELD(rotate.remap), 70, 170, 200, "Remap", kRemaps);
            break;
        case AK_SORT:
            form.list(AK_FIELD(sort.mode), 70, 50, 200, "Mode", {"Up Down", "Down Up"});
            form.keep(AK_require_Select_slot(form.gx + 70, form.gy + 90, 200, 30, "Column", true, step));
            break;
        case AK_SYMMETRIZE:
        case AK_WRAP: break;
        case AK_AFFINE_TENSILE: affine_normal(form, true); break;
        case AK_AFFINE_COMPRESS: affine_normal(form, false); break;
        case AK_AFFINE_SHEAR: affine_shear(form); break;
        case AK_ALIAS_TENSILE:
        case AK_ALIAS_COMPRESS:
            form.list(AK_FIELD(alias.direction), 70, 50, 60, "Direction", {"a", "b", "c"});
            form.real(AK_FIELD(alias.height), 210, 50, 60, "Height");
            form.real(AK_FIELD(alias.d1), 70, 90, 200, "Displace");
            break;
        case AK_ALIAS_SHEAR:
            // Plane 0 keeps a and b in the slip plane, 1 keeps a and c, 2 keeps b and c.
            form.list(AK_FIELD(alias.direction), 75, 50, 55, "Slip Plane", {"ab", "ac", "bc"});
            form.real(AK_FIELD(alias.height), 210, 50, 60, "Height");
            form.real(AK_FIELD(alias.d1), 70, 90, 85, "Displace");
            form.real(AK_FIELD(alias.d2), 185, 90, 85, nullptr);
            break;
        default: break;
    }
    g->end();
    AK_fit_form(g, AK_step_kinds[AKdata_step[s].kind].height);
    if (AKdata_step[s].kind == AK_DISPLACE) displace_directions(s);
    if (AKdata_step[s].kind == AK_MOVE) move_labels(s);
}

#undef AK_FIELD
