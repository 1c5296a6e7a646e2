// Computing core of the 3D view: everything the view widget needs that does
// not touch OpenGL or FLTK. Building the vertex data of a model, the colour
// index and colour-bar ranges, the slab outline, the trimming operations on an
// atom system, the camera matrices and the decoding of a picked colour.
//
// Plain functions over plain data; the widget keeps its own state and calls
// these with it.
#pragma once

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "qb/qb_tools.h"

// Render data: 7 floats per vertex (x, y, z, c0, c1, c2, relative radius).
constexpr int QN_RENDER_FLOATS = 7;
// Vertices after the atoms: 24 box-edge ends, 6 axis ends, 24 outline points.
constexpr int QN_RENDER_BOX_VERTICES = 24;
constexpr int QN_RENDER_AXIS_VERTICES = 6;
constexpr int QN_RENDER_SLICE_VERTICES = 24;
constexpr int QN_RENDER_EXTRA_VERTICES =
    QN_RENDER_BOX_VERTICES + QN_RENDER_AXIS_VERTICES + QN_RENDER_SLICE_VERTICES;
// Depth of the orthographic volume before any model is loaded.
constexpr double QN_DEPTH_RANGE_DEFAULT = 550;

// Outline of the slicing slab: up to 12 points per plane, plane 0 first
// (slice_points[0 .. slice_count[0])), then plane 1
// (slice_points[slice_count[0] .. slice_count[0] + slice_count[1])), in
// box-centred coordinates. Unused entries are zero.
struct QN_slice_outline {
    int slice_count[2] = {0, 0};
    double slice_points[24][3] = {};
};

// What a build of the render data produced.
struct QN_render_info {
    int drawn = 0;                                // atoms in the buffer (n_vertex_floats = 7 * drawn)
    double depth_range = QN_DEPTH_RANGE_DEFAULT;  // depth of the orthographic volume
};

// Colour-bar index of value v for the range [min, max]:
// trunc(float(float(v - float(min)) / float(max - min) * 64) + 0.5) clamped to
// 0 ... 63. A non-finite v, an empty range (min == max) or a non-finite range
// give 0.
int QN_render_bar_index(double v, double min, double max);

// Relative radius of an atom of the given type: rel_radius[min(max(type - 1,
// 0), n - 1)] when the table has entries, else 1.
double QN_render_rel_radius(int type, const std::vector<double>& rel_radius);

// Depth range for a model: 3.464 x the largest of lx, ly, lz, raised when
// needed so that every vertex in `vertices` (7 floats each) lies within
// +-depth/2 of the centre in every rotation; QN_DEPTH_RANGE_DEFAULT when
// nothing has an extent.
double QN_render_depth_range(const QB_tools* model, const std::vector<float>& vertices);

// Fills `out` with the render data of `model` in colour-bar mode: one vertex
// per atom with a positive id (position relative to the centre of the
// axis-aligned box, colour from the index of slot `slot` in [min, max],
// relative radius by type), then box edges, axes and the slab outline. The
// scratch of atom record k receives the atom index of the k-th drawn atom.
QN_render_info QN_render_build_bar(QB_tools* model, int slot, double min, double max,
                                   const std::vector<double>& rel_radius,
                                   const QN_slice_outline& outline, std::vector<float>& out);

// The same in RGB mode: c0, c1, c2 are the values of three slots (non-finite
// values become 0).
QN_render_info QN_render_build_col(QB_tools* model, int slot_r, int slot_g, int slot_b,
                                   const std::vector<double>& rel_radius,
                                   const QN_slice_outline& outline, std::vector<float>& out);

// The 24 box-edge end points (72 doubles), box-centred: 4 edges along a, then
// 4 along b, then 4 along c (the box axes for an orthogonal box).
std::array<double, 72> QN_render_box_edges(const QB_tools* model);

// A colour-bar range.
struct QN_range {
    double min = 0;
    double max = 0;
};

// Range used when a model is loaded with the default colouring by type:
// [-1, 5] for one type (or none), else [1 - 0.5 T, 1.5 T].
QN_range QN_render_default_range(int ntypes);

// The smallest spread of a column's values the colour bar spreads over its
// colours: one unit of the sixth decimal, the last one the program keeps
// when it writes a column. Values closer than that are the same value once
// written (rounding noise such as the 1e-28 of CSP on a perfect crystal).
constexpr double QN_RENDER_RANGE_RESOLUTION = 1e-6;

// Whether the values from min to max differ only by rounding: their spread
// is below QN_RENDER_RANGE_RESOLUTION, or at most 1e-9 of their magnitude
// (the last digits of a double's values far from 0).
bool QN_render_range_is_noise(double min, double max);

// Range set when column `slot` named `name` is chosen for the colour bar:
// "cna"/"baa" [-3.66664, 5.66664] (the same colour for a class in every
// model); otherwise the range [m, M] of the finite values of the column (all
// atom records), the lowest value drawn in the bar's first colour and the
// highest in its last, or [m - 2, m + 4] when the values differ only by
// rounding (QN_render_range_is_noise, equal values included), every atom in
// one colour (also when no value is finite, with m = 0); "Select" [-0.1,
// 1.2]. Returns 0 and leaves *range alone when the model holds no atom
// records, else 1.
int QN_render_bar_range(const QB_tools* model, int slot, const char* name, QN_range* range);

// Slab outline for plane normal n, distance D and width W over the model's box
// padded by 2 on every side.
QN_slice_outline QN_slice_outline_build(const QB_tools* model, double nx, double ny, double nz,
                                        double distance, double width);

// Trimming. Positions are the model's own coordinates. Slab: with W/2 > 0 the
// atoms with |n.p - D| < W/2, else those with n.p > D. Data range: the atoms
// whose value in `slot` lies in [min, max]. Each returns the number of atoms
// whose id changed.
int QN_trim_slab_delete(QB_tools* model, double nx, double ny, double nz, double distance,
                        double width);
int QN_trim_slab_recover(QB_tools* model, double nx, double ny, double nz, double distance,
                         double width);
int QN_trim_data_delete(QB_tools* model, int slot, double min, double max);
int QN_trim_data_recover(QB_tools* model, int slot, double min, double max);
// Negates every id: hidden atoms come back, visible ones are hidden.
int QN_trim_inverse(QB_tools* model);
// Makes every negative id positive.
int QN_trim_recover_all(QB_tools* model);

// Camera steps whose rule is more than an addition.
// Zoom in: view_height - step only while the result stays above 0
// (view_height > step); zoom out: view_height + step when that stays above 0.
double QN_camera_zoom_in(double view_height, double step);
double QN_camera_zoom_out(double view_height, double step);
// Perspective changes, never below 0.
double QN_camera_perspective_plus(double perspective, double step);
double QN_camera_perspective_minus(double perspective, double step);

// Camera state that enters the matrices.
struct QN_camera {
    double rot_x = 0, rot_y = 0, rot_z = 0;  // degrees
    double view_height = 100;                // length spanned by the window height
    double depth_range = QN_DEPTH_RANGE_DEFAULT;
    double perspective = 0;  // 0 orthographic
    float shift_x = 0, shift_y = 0;
};

// 4 x 4 single-precision matrices in column-major order: element (row r,
// column c) at index 4 c + r.
using QN_mat4 = std::array<float, 16>;

// R = Rx(rot_x) Ry(rot_y) Rz(rot_z).
QN_mat4 QN_camera_rotation(double rot_x, double rot_y, double rot_z);
// The model-view-projection matrix for a window of w x h pixels:
// P diag(1, 1, 1/p, 1) Q T R with perspective p > 0, else P T0 R.
QN_mat4 QN_camera_mvp(const QN_camera& cam, int w, int h);
// Axis triad: translate(-0.8, -0.8, 0) scale(h/w, 1, 1) R.
QN_mat4 QN_camera_axes(const QN_camera& cam, int w, int h);
// Pixels per length unit: h / view_height.
double QN_camera_px_per_unit(const QN_camera& cam, int h);
// A drag of (dx, dy) pixels (y down) in a window h pixels high moves the
// scene with the pointer: the point under it follows it, exactly in an
// orthographic view, at the depth of the rotation centre with perspective.
void QN_camera_pan(QN_camera* cam, double dx, double dy, int h);

// ---- Framing

// Share of the view a framed model fills: the larger of its projected width
// over the view width and projected height over the view height.
constexpr double QN_FIT_FILL = 0.9;

// The 8 corners of the model's box (the cell for a triclinic box), centred as
// the render data is: corner k at [3 k, 3 k + 3), the ends of the 4 box edges
// along a.
std::array<double, 24> QN_render_box_corners(const QB_tools* model);

// Bounds of points projected through QN_camera_mvp(cam, w, h), in normalised
// device coordinates (-1 ... 1 across the view in x and y).
struct QN_view_bounds {
    double x_min = 0, x_max = 0, y_min = 0, y_max = 0;
    // The larger of the width and height fractions of the view covered.
    double extent() const;
};

// Projects `count` points (3 doubles each, box-centred) with the camera's
// matrices. False when there are no points, a coordinate is not finite or a
// point lies at or behind the eye of a perspective camera.
bool QN_camera_bounds(const QN_camera& cam, const double* points, int count, int w, int h,
                      QN_view_bounds* out);

// Frames points in a view of w x h pixels: keeps the rotation, perspective
// and depth range, and sets view_height and the shift so that the projected
// points are centred and their extent (QN_view_bounds::extent) is `fill`.
// Orthographic cameras scale linearly; with perspective the centre solves
// max((X + s) / d) = -min((X + s) / d) over the corners (d the distance from
// the eye), then the view height scales the result. Returns false and leaves
// *cam alone when the points have no projected extent, are not finite, or
// one lies at or behind the eye (a perspective too strong for their size).
bool QN_camera_fit(QN_camera* cam, const double* points, int count, int w, int h,
                   double fill = QN_FIT_FILL);
// The same for the 8 corners of the model's box.
bool QN_camera_fit_box(QN_camera* cam, const QB_tools* model, int w, int h,
                       double fill = QN_FIT_FILL);

// Whether two boxes differ by more than `tolerance` relative to their size:
// the largest change of lo, size, origin and cell (and the triclinic flag)
// over the largest box length of the two.
bool QN_box_changed(const QB_tools* a, const QB_tools* b, double tolerance = 1e-6);

// Picking: the hit pass writes n = vertex index + 1 as (n & 255, n >> 8 & 255,
// n >> 16 & 255) in red, green and blue. Returns n (1 + drawn index) when
// 1 <= n <= drawn, else 0 (no atom).
int QN_pick_decode(unsigned char r, unsigned char g, unsigned char b, int drawn);

// ---- Colour legend

// An 8-bit colour.
struct QN_rgb {
    unsigned char r = 0, g = 0, b = 0;
};
inline bool operator==(const QN_rgb& a, const QN_rgb& b) { return a.r == b.r && a.g == b.g && a.b == b.b; }
inline bool operator!=(const QN_rgb& a, const QN_rgb& b) { return !(a == b); }

// Number of colours of the colour-bar atlas (img/color.png: 8 x 8 shaded
// spheres; index f is column f % 8, row 7 - f / 8 counted from the file's
// first row, so index 0 is at the lower left and 63 at the upper right).
constexpr int QN_ATLAS_COLOURS = 64;
using QN_atlas = std::array<QN_rgb, QN_ATLAS_COLOURS>;

// The colour that stands for each atlas index: the mean over the opaque
// pixels of the sphere's disc (radius 0.4 of the cell, centred in the cell).
// `rgba` holds W x H pixels of 4 bytes, the file's first row first. Cells
// without an opaque pixel get mid grey.
QN_atlas QN_atlas_from_rgba(const unsigned char* rgba, int W, int H);
// The same read from a PNG file; false (and mid grey everywhere) when the file
// cannot be read.
bool QN_atlas_load(const char* path, QN_atlas* out);

// Classes of a classifying column, in display order: code and name. A code of
// -1 (when listed) stands for every value that matches no other listed code.
using QN_legend_classes = std::vector<std::pair<double, std::string>>;
// Where the legend takes the classes of a column from: a function returning
// the classes of a column name, empty for a continuous column. The structure
// analysis provides one (QN_MORLA_classes); the view core does not depend on
// it, so whoever links both registers it (the view does when it is created).
// nullptr (the default) treats every column as continuous.
using QN_legend_class_source = QN_legend_classes (*)(const std::string& column);
void QN_legend_set_class_source(QN_legend_class_source source);
QN_legend_class_source QN_legend_get_class_source();

// What the atoms are coloured by.
struct QN_legend_request {
    enum Mode { Type, Bar, Rgb } mode = Type;
    std::string column;       // Bar: the column's name ("type" shows no legend)
    int slot = -1;            // Bar: its slot
    double min = 0, max = 1;  // Bar: the colour-bar range
    std::string rgb[3];       // Rgb: the red, green and blue columns
};

// A legend's content and layout. Pixel coordinates have their origin at the
// lower left of the picture (as OpenGL's window coordinates), y upwards.
struct QN_legend_rect {
    int x = 0, y = 0, w = 0, h = 0;
};
struct QN_legend_quad {
    QN_legend_rect rect;
    QN_rgb colour;
};
struct QN_legend_text {
    int x = 0, y = 0;  // lower left of the text's line box (text_px high)
    std::string text;
};
struct QN_legend_entry {
    std::string label;  // class or column name; empty for the steps of a bar
    double value = 0;   // class code (Classes), the step's value (Bar)
    QN_rgb colour;
};
struct QN_legend {
    enum Kind { Empty, Bar, Classes, Rgb } kind = Empty;
    std::string title;                     // the column's name (Bar, Classes), "RGB"
    std::vector<QN_legend_entry> entries;  // Bar: 64 steps min ... max; Classes: one per class present; Rgb: 3
    std::string min_text, max_text;        // Bar: the range's ends
    // Layout (QN_legend_layout).
    int text_px = 0;
    QN_legend_rect panel;
    std::vector<QN_legend_quad> quads;  // swatches or bar steps, in entry order
    std::vector<QN_legend_text> texts;
};

// Text for a legend value: up to 4 significant digits, "C" locale.
std::string QN_legend_number(double v);

// The content of the legend for the colouring `request` of `model`: Empty for
// colouring by type (or no model); for a column whose class source lists
// classes, the classes held by the drawn atoms (positive id) in class order,
// each with the atlas colour of its code in the range (the "-1" class takes
// the colour of its most frequent value); for another column a bar of the
// 64 atlas colours from min to max with the range's texts; for RGB the three
// column names with pure red, green and blue.
QN_legend QN_legend_build(const QB_tools* model, const QN_legend_request& request, const QN_atlas& atlas);

// Width in pixels of a text `px` pixels high; the default estimate takes
// 0.6 px per character.
using QN_legend_measure = int (*)(const std::string& text, int px);
// Lays the legend out in the lower right corner of a W x H picture (the axis
// triad takes the lower left), its panel `margin` from the right and bottom
// edges, or from the left edge when the picture is narrower; `scale`
// multiplies every size (1 on screen, the supersampling factor of a
// snapshot). Sizes at scale 1: margin 10, padding 6, text 13 px high, rows of
// 17, swatches 13 x 13, a bar of 64 steps of 2 x 14 px. Rows from the top:
// title, then the swatches (Classes, Rgb) or the bar and under it the min
// text at its left end and the max text flush with its right end (Bar).
void QN_legend_layout(QN_legend* legend, int W, int H, double scale, QN_legend_measure measure = nullptr);
