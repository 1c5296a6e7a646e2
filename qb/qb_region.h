// Region library: one process-wide, append-only table of atom membership
// tests. Regions are addressed by their index in the table; derived regions
// (logic combinations, deformed, rotated, moved and periodic copies) name
// their operands by index, so expression trees are built bottom-up.
//
// Every kind keeps its parameter records in a vector indexed by the global
// region index (QB_region_<kind>data[k] belongs to region k; records at the
// indices of other kinds' regions are unused). Editors change a region by
// writing straight into its record; the change counts at the next evaluation.
//
// Constructors return the new index, or QB_REFUSED when they refuse an
// operand. Evaluation answers nonzero for inside. An operand that does not
// exist (negative or not yet created) counts as outside; an evaluation that
// runs into a cycle of operand references answers outside.
#pragma once

#include <string>
#include <vector>

#include "qb/qb_tools.h"

using QB_region_test = int (*)(int atom_index, atomdata atom);

struct QB_region_entry {
    QB_region_test test;
    double volume;  // size estimate; informative only
};

struct QB_region_cuboid_record {
    double x0, y0, z0, x1, y1, z1;
};
struct QB_region_sphere_record {
    double r, cx, cy, cz;
};
struct QB_region_cylinder_record {
    double r, cx, cy, cz, length;
    int axis;  // 0 x, 1 y, 2 z
};
struct QB_region_cone_record {
    double cx, cy, cz;  // centre of the base
    double height, radius;
    int dir;  // 0 +x, 1 -x, 2 +y, 3 -y, 4 +z, 5 -z
};
struct QB_region_plane_record {
    double nx, ny, nz, d, width;  // plane n.p = d; width <= 0: half-space n.p > d
};
struct QB_region_prism_record {
    int axis;
    double cx, cy, cz;
    double r;  // apothem
    double length;
    int sides;
};
struct QB_region_polyhedron_record {
    int kind;      // 0 mirror symmetric, 1 axial symmetric, 2..6 tetra/hexa/octa/dodeca/icosahedron
    int surfaces;  // 0..2: number of normals used by kinds 0 and 1, minus one
    double cx, cy, cz;
    double n1x, n1y, n1z, n2x, n2y, n2z, n3x, n3y, n3z;
    double R1, R2, R3;  // R1 is the inradius of the regular solids
};
struct QB_region_expression_record {
    std::string name;  // slot name
    double max, min;
};
struct QB_region_deform_record {
    double cx, cy, cz;
    double m[3][3];  // row-major: m[0][0] = m00, m[0][1] = m01, ...
    int k;
};
struct QB_region_rotate_record {
    double cx, cy, cz;
    double ax, ay, az;
    double cos_angle, sin_angle;
    int k;
};
struct QB_region_move_record {
    double dx, dy, dz;
    int k;
    int mode;  // 0 length units, otherwise box units
};
struct QB_region_periodic_record {
    int k;
};
struct QB_region_logic_record {
    int a, b;
    int operation;  // 1 and, 2 or, 3 exclusive or, 4 neither, 5 not
};

// The table and the evaluation state.
extern std::vector<QB_region_entry> QB_region_control;
extern int QB_region_sum;
extern int QB_region_invest;
extern QB_tools* INV_SYS;
extern int QB_invest_system_flag;

// Parameter records per kind and their lengths.
extern std::vector<QB_region_cuboid_record> QB_region_cuboiddata;
extern int QB_region_cuboid_sum;
extern std::vector<QB_region_sphere_record> QB_region_spheredata;
extern int QB_region_sphere_sum;
extern std::vector<QB_region_cylinder_record> QB_region_cylinderdata;
extern int QB_region_cylinder_sum;
extern std::vector<QB_region_cone_record> QB_region_conedata;
extern int QB_region_cone_sum;
extern std::vector<QB_region_plane_record> QB_region_planedata;
extern int QB_region_plane_sum;
extern std::vector<QB_region_prism_record> QB_region_prismdata;
extern int QB_region_prism_sum;
extern std::vector<QB_region_polyhedron_record> QB_region_polyhedrondata;
extern int QB_region_polyhedron_sum;
extern std::vector<QB_region_expression_record> QB_region_expressiondata;
extern int QB_region_expression_sum;
extern std::vector<QB_region_deform_record> QB_region_deformdata;
extern int QB_region_deform_sum;
extern std::vector<QB_region_rotate_record> QB_region_rotatedata;
extern int QB_region_rotate_sum;
extern std::vector<QB_region_move_record> QB_region_movedata;
extern int QB_region_move_sum;
extern std::vector<QB_region_periodic_record> QB_region_periodicdata;
extern int QB_region_periodic_sum;
extern std::vector<QB_region_logic_record> QB_region_math;
extern int QB_region_logic_sum;

// Table.
int QB_region_add(QB_region_test test, double volume);
int DEAL_ALL(int atom_index, atomdata atom);  // always inside
double VOL_BOX();                             // 1
int QB_region_extract(int i, atomdata atom, int k);
void QB_region_set_invest_system(QB_tools* s);  // null unsets
void QB_region_logic_memory();
void QB_region_free();   // drops every region and record
void QB_region_clean();  // drops the table only
int QB_region_get_sum();
int QB_region_get_invest();
double QB_region_volume(int k);      // 0 for an invalid index
int QB_region_vol(int k, double v);  // 1, or QB_REFUSED for an invalid index

// Writes the transpose of M's inverse (cofactors / det) and returns 1;
// returns 0 when |det M| < 0.0001.
int QB_region_matrix_reverse(double (*M)[3], double (*out)[3]);

// Shapes.
int QB_region_cuboid(double x0, double y0, double z0, double x1, double y1, double z1);
int QB_region_sphere(double cx, double cy, double cz, double r);
int QB_region_cylinder(double cx, double cy, double cz, double r, double length, int axis);
int QB_region_cone(double cx, double cy, double cz, double radius, double height, int dir);
int QB_region_plane(double nx, double ny, double nz, double px, double py, double pz, double width);
int QB_region_prism(double cx, double cy, double cz, double r, double length, int sides, int axis);
int QB_region_polyhedron(int kind, int surfaces, double cx, double cy, double cz, double n1x,
                         double n1y, double n1z, double n2x, double n2y, double n2z, double n3x,
                         double n3y, double n3z, double R1, double R2, double R3);
int QB_region_expression(const char* name, double min, double max);
int QB_region_inbox();

// Derived regions. Logic and deform accept operands created later; rotate,
// move and periodic need an existing operand. Negative operands are refused.
int QB_region_deform(int k, double cx, double cy, double cz, double m00, double m01, double m02,
                     double m10, double m11, double m12, double m20, double m21, double m22);
int QB_region_rotate(int k, double cx, double cy, double cz, double ax, double ay, double az,
                     double angle);  // degrees, right-hand sense
int QB_region_move(int k, int mode, double dx, double dy, double dz);
int QB_region_periodic(int k);
int QB_region_and(int a, int b, double vol);
int QB_region_or(int a, int b, double vol);
int QB_region_comple(int a, int b, double vol);  // exclusive or
int QB_region_neither(int a, int b, double vol);
int QB_region_not(int a, double vol);
