// The forms of the region kinds. Every field writes straight into the
// region library's record of its region, so a change counts at the next run
// or preview without building the region again.
#include <FL/Fl_Group.H>

#include <algorithm>
#include <array>
#include <cmath>

#include "atomkit/atomkit.h"
#include "atomkit/atomkit_forms.h"
#include "atomkit/atomkit_panel.h"
#include "qb/qb_region.h"
#include "qb/qb_tools.h"

namespace {

constexpr double kPi = 3.141592653589793;

// One region's form under construction: (gx, gy) is its top-left corner.
struct Form {
    int i;
    int gx, gy;
    std::vector<Fl_Widget*>& fields;

    template <class W>
    W* keep(W* w) {
        fields.push_back(w);
        return w;
    }

    template <class R>
    AK_number* real(std::vector<R>& records, double R::*field, int x, int y, int w, const char* label) {
        const size_t k = static_cast<size_t>(i);
        return keep(new AK_number(
            gx + x, gy + y, w, label, [&records, k, field] { return records[k].*field; },
            [&records, k, field](double v) { records[k].*field = v; }));
    }

    // x, y and z at 70, 140 and 210, 60 wide; the label on the first.
    template <class R>
    void row(std::vector<R>& records, std::array<double R::*, 3> xyz, int y, const char* label) {
        for (int a = 0; a < 3; a++) real(records, xyz[static_cast<size_t>(a)], 70 + 70 * a, y, 60, a == 0 ? label : nullptr);
    }

    template <class R>
    AK_list* list(std::vector<R>& records, int R::*field, int x, int y, int w, const char* label,
                  const std::vector<std::string>& entries, std::function<void()> after = nullptr) {
        const size_t k = static_cast<size_t>(i);
        return keep(new AK_list(
            gx + x, gy + y, w, label, entries, [&records, k, field] { return records[k].*field; },
            [&records, k, field, after](int v) {
                records[k].*field = v;
                if (after) after();
            }));
    }

    Fl_Choice* operand(int which, int y, const char* label) {
        return keep(AK_require_Select_region_region(gx + 70, gy + y, 200, 30, label, i, which));
    }
};

// Places the Polyhedron's fields by its mode and surfaces and sets the
// form's height; fields: mode, centre x y z, surface, normals 1 ... 3 (x y z
// each), radii 1 ... 3.
void polyhedron_layout(int region) {
    if (region <= 0 || region >= static_cast<int>(AK_region_forms.size())) return;
    AK_item_form& f = AK_region_forms[static_cast<size_t>(region)];
    if (!f.full_group || f.fields.size() < 17) return;
    const QB_region_polyhedron_record& r = QB_region_polyhedrondata[static_cast<size_t>(region)];
    const int gx = f.full_group->x(), gy = f.full_group->y();
    Fl_Widget* surface = f.fields[4];
    auto normal = [&](int n, int k) { return f.fields[static_cast<size_t>(5 + 3 * n + k)]; };
    auto radius = [&](int n) { return f.fields[static_cast<size_t>(14 + n)]; };
    auto place = [&](int n, int y, bool shown) {
        for (int k = 0; k < 3; k++) {
            normal(n, k)->position(gx + 70 + 70 * k, gy + y);
            if (shown)
                normal(n, k)->show();
            else
                normal(n, k)->hide();
        }
        radius(n)->position(gx + 70, gy + y + 40);
        if (shown)
            radius(n)->show();
        else
            radius(n)->hide();
    };
    int height;
    if (r.kind == 0 || r.kind == 1) {
        surface->position(gx + 70, gy + 130);
        surface->show();
        place(0, 170, true);
        place(1, 250, r.surfaces >= 1);
        place(2, 330, r.surfaces >= 2);
        height = r.surfaces >= 2 ? 410 : r.surfaces >= 1 ? 330 : 250;
    } else {
        // The regular solids use the centre and radius 1 (the inradius).
        surface->hide();
        place(0, 130, true);
        place(1, 250, false);
        place(2, 330, false);
        height = 210;
    }
    f.full_group->size(f.full_group->w(), height);
}

}  // namespace

void AK_polyhedron_region_redraw(int region) {
    polyhedron_layout(region);
    AK_shuffle();
}

void AK_region_form(int region) {
    if (region <= 0 || region >= static_cast<int>(AKdata_region.size())) return;
    Fl_Group* g = AK_region_frame(region);
    Form form{region, g->x(), g->y(), AK_region_forms[static_cast<size_t>(region)].fields};
    const size_t k = static_cast<size_t>(region);
    switch (AKdata_region[k].kind) {
        case AK_CUBOID: {
            using R = QB_region_cuboid_record;
            form.row(QB_region_cuboiddata, {&R::x0, &R::y0, &R::z0}, 50, "Min");
            form.row(QB_region_cuboiddata, {&R::x1, &R::y1, &R::z1}, 90, "Max");
            break;
        }
        case AK_CYLINDER: {
            using R = QB_region_cylinder_record;
            form.list(QB_region_cylinderdata, &R::axis, 70, 50, 200, "Direction", {"X", "Y", "Z"});
            form.row(QB_region_cylinderdata, {&R::cx, &R::cy, &R::cz}, 90, "Center");
            form.real(QB_region_cylinderdata, &R::r, 70, 130, 60, "Radius");
            form.real(QB_region_cylinderdata, &R::length, 210, 130, 60, "Height");
            break;
        }
        case AK_CONE: {
            using R = QB_region_cone_record;
            form.list(QB_region_conedata, &R::dir, 70, 50, 200, "Direction", {"X+", "X-", "Y+", "Y-", "Z+", "Z-"});
            form.row(QB_region_conedata, {&R::cx, &R::cy, &R::cz}, 90, "Center");
            form.real(QB_region_conedata, &R::radius, 70, 130, 60, "Radius");
            form.real(QB_region_conedata, &R::height, 210, 130, 60, "Height");
            break;
        }
        case AK_POLYHEDRON: {
            using R = QB_region_polyhedron_record;
            auto& v = QB_region_polyhedrondata;
            auto relayout = [region] { AK_polyhedron_region_redraw(region); };
            form.list(v, &R::kind, 70, 50, 210, "Mode",
                      {"Mirror Symmetric Surface", "Axial Symmetric Surface", "Tetrahedron", "Hexahedron", "Octahedron",
                       "Dodecahedron", "Icosahedron"},
                      relayout);
            form.row(v, {&R::cx, &R::cy, &R::cz}, 90, "Center");
            form.list(v, &R::surfaces, 70, 130, 200, "Surface", {"1", "2", "3"}, relayout);
            form.row(v, {&R::n1x, &R::n1y, &R::n1z}, 170, "Normal");
            form.row(v, {&R::n2x, &R::n2y, &R::n2z}, 250, "Normal");
            form.row(v, {&R::n3x, &R::n3y, &R::n3z}, 330, "Normal");
            form.real(v, &R::R1, 70, 210, 200, "Radius");
            form.real(v, &R::R2, 70, 290, 200, "Radius");
            form.real(v, &R::R3, 70, 370, 200, "Radius");
            break;
        }
        case AK_PRISM: {
            using R = QB_region_prism_record;
            auto& v = QB_region_prismdata;
            form.list(v, &R::axis, 70, 50, 60, "Axis", {"X", "Y", "Z"});
            form.real(v, &R::length, 180, 50, 90, "Height");
            form.row(v, {&R::cx, &R::cy, &R::cz}, 90, "Center");
            form.real(v, &R::r, 70, 130, 80, "Distance");
            // A prism has three edges at least.
            form.keep(new AK_number(
                form.gx + 190, form.gy + 130, 80, "Edge", [k] { return static_cast<double>(QB_region_prismdata[k].sides); },
                [k](double e) { QB_region_prismdata[k].sides = std::max(3, QB_to_int(e)); }));
            break;
        }
        case AK_SLICE: {
            using R = QB_region_plane_record;
            auto& v = QB_region_planedata;
            form.real(v, &R::nx, 80, 50, 50, "Normal X");
            form.real(v, &R::ny, 150, 50, 50, "Y");
            form.real(v, &R::nz, 220, 50, 50, "Z");
            form.real(v, &R::d, 80, 90, 55, "Distance");
            form.real(v, &R::width, 215, 90, 55, "Thickness");
            break;
        }
        case AK_SPHERE: {
            using R = QB_region_sphere_record;
            form.row(QB_region_spheredata, {&R::cx, &R::cy, &R::cz}, 50, "Center");
            form.real(QB_region_spheredata, &R::r, 70, 90, 200, "Radius");
            break;
        }
        case AK_EXPRESSION: {
            using R = QB_region_expression_record;
            form.keep(AK_require_Select_slot(form.gx + 70, form.gy + 50, 200, 30, "Column", false, region));
            form.real(QB_region_expressiondata, &R::min, 70, 90, 60, "Min");
            form.real(QB_region_expressiondata, &R::max, 210, 90, 60, "Max");
            break;
        }
        case AK_INBOX: break;  // the box of the model being built
        case AK_AND:
        case AK_OR:
        case AK_COMPLE:
        case AK_NEITHER:
            form.operand(0, 50, "Region");
            form.operand(1, 90, nullptr);
            break;
        case AK_NOT:
        case AK_PERIODIC: form.operand(0, 50, "Region"); break;
        case AK_DEFORM_REGION: {
            using R = QB_region_deform_record;
            form.operand(0, 50, "Region");
            form.row(QB_region_deformdata, {&R::cx, &R::cy, &R::cz}, 90, "Center");
            for (int r = 0; r < 3; r++)
                for (int c = 0; c < 3; c++)
                    form.keep(new AK_number(
                        form.gx + 70 + 70 * c, form.gy + 130 + 40 * r, 60, r == 0 && c == 0 ? "Matrix" : nullptr,
                        [k, r, c] { return QB_region_deformdata[k].m[r][c]; },
                        [k, r, c](double v) { QB_region_deformdata[k].m[r][c] = v; }));
            break;
        }
        case AK_MOVE_REGION: {
            using R = QB_region_move_record;
            form.operand(0, 50, "Region");
            form.list(QB_region_movedata, &R::mode, 70, 90, 200, "Unit", {"Å", "Box"});
            form.row(QB_region_movedata, {&R::dx, &R::dy, &R::dz}, 130, "Vector");
            break;
        }
        case AK_ROTATE_REGION: {
            using R = QB_region_rotate_record;
            form.operand(0, 50, "Region");
            form.row(QB_region_rotatedata, {&R::cx, &R::cy, &R::cz}, 90, "Center");
            form.row(QB_region_rotatedata, {&R::ax, &R::ay, &R::az}, 130, "Direction");
            // The record keeps the angle's cosine and sine.
            form.keep(new AK_number(
                form.gx + 70, form.gy + 170, 200, "Angle", [region] { return AK_region_fields(region)[7].number; },
                [k](double degrees) {
                    QB_region_rotatedata[k].cos_angle = std::cos(degrees * kPi / 180);
                    QB_region_rotatedata[k].sin_angle = std::sin(degrees * kPi / 180);
                }));
            break;
        }
        default: break;
    }
    g->end();
    AK_fit_form(g, AK_region_kinds[AKdata_region[k].kind].height);
    if (AKdata_region[k].kind == AK_POLYHEDRON) polyhedron_layout(region);
}
