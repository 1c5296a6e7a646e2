// The OpenGL view of the current model: atoms as shaded point sprites
// (coloured through the colour-bar atlas or by three columns as RGB), the
// box, the axis triad and the slab outline; a colour legend in the lower
// right corner while the atoms are coloured by a column; mouse rotation,
// shift and zoom.
#pragma once

#include <FL/Fl_Gl_Window.H>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "qb/qb_tools.h"
#include "view/view_core.h"

class cube_box : public Fl_Gl_Window {
public:
    cube_box(int x, int y, int w, int h);
    ~cube_box() override;

    void draw() override;
    int handle(int event) override;

    // Build the render data of model (colour bar from one slot, or RGB from
    // three); the upload happens at the next draw, with the context current.
    void loadQB_bar(QB_tools* model, int slot, double min, double max);
    void loadQB_col(QB_tools* model, int slot_r, int slot_g, int slot_b);

    // GL names (0 until the first draw created them).
    unsigned prog_col = 0, prog_bar = 0, prog_hit = 0, prog_atoms = 0, prog_box = 0, prog_select = 0,
             prog_label = 0;
    unsigned vao = 0, vbo = 0;
    unsigned tex_atoms = 0, tex_x = 0, tex_y = 0, tex_z = 0;

    int n_vertex_floats = 0;  // 7 x atoms drawn
    double px_per_unit = 1;
    double atom_radius = 1.2;
    double view_height = 100;
    double depth_range = 550;
    double light_position = 0.5;
    double light_strength = 0;
    double chroma = 1.0;
    double rot_x = 0, rot_y = 0, rot_z = 0;
    double box_line_width = 2.0;
    double perspective = 0;
    std::vector<double> rel_radius;  // per atom type
    float box_color[3] = {0.7f, 0.7f, 0.7f};
    float bg_color[3] = {1.0f, 1.0f, 1.0f};
    float shift_x = 0, shift_y = 0;
    int draw_box = 1, draw_slice = 0, draw_axes = 1;
    int inspect_mode = 0;
    int selected = -1;
    int picking = 0;
    // Draw the colour legend (when the colouring has one), in the view and
    // in snapshots.
    int show_legend = 1;
    // Sizes of the legend relative to the screen's (the supersampling factor
    // while a snapshot frame is rendered).
    double legend_scale = 1;
    QN_slice_outline slice;  // slice_count and slice_points of the slab outline

    // 1 + the drawn index of the atom under window pixel (x, y), 0 for none.
    int pick_partical(int x, int y);
    // Renders the scene off screen at W x H pixels and reads it back (RGB,
    // bottom row first); false when the frame cannot be made.
    bool render_frame(int W, int H, std::vector<unsigned char>& rgb);
    int atoms_drawn() const { return atoms_drawn_; }
    // The legend of the current colouring (kind Empty for colouring by type),
    // laid out for a picture of w x h pixels at the given scale.
    QN_legend legend(int w, int h, double scale = 1) const;

    // The camera as the matrices take it.
    QN_camera camera() const;
    // Frames the box of `model` at the current rotation and perspective
    // (view height and shift, QN_camera_fit_box) for a picture of w x h
    // pixels, the view's own size when w or h is not above 0, and redraws;
    // false, camera unchanged, when the box cannot be framed.
    bool fit(const QB_tools* model, int w = 0, int h = 0);

private:
    bool use_bar_ = true;
    bool upload_pending_ = false;
    std::vector<float> host_;  // render data waiting for its upload
    int atoms_drawn_ = 0;
    int drag_x_ = 0, drag_y_ = 0;
    QN_legend legend_;  // content of the current colouring's legend
    unsigned prog_legend_ = 0, legend_vao_ = 0, legend_vbo_ = 0;
    struct Label {
        unsigned texture = 0;
        int w = 0, h = 0;
    };
    std::map<std::pair<std::string, int>, Label> labels_;  // rasterised legend texts

    void create_resources();
    void paint_legend(int w, int h);
    const Label& label(const std::string& text, int px);
    void paint(int w, int h);
    void take(const QN_render_info& info, bool bar);
    void release_resources();
};

// The one view, or nullptr while the window shows no model.
extern cube_box* cube;

// Builds the view in the render area (the first model's hand-off).
void QN_create_render();
// Loads the current model into the view with the default or the kept
// colouring.
void QN_render_check_file();

// Snapshot results beside the image writers' codes: the GL frame could not be
// made (too large for the renderer, or no context).
constexpr int QN_SNAPSHOT_NO_FRAME = -3;

// Reads the view supersampled S times, reduced to W x H with blur B, into out
// (W H 3 bytes, bottom row first). QN_IMAGE_OK or a failure code.
int QN_glReadPixels(int W, int H, int S, int B, unsigned char* out);
// Render the view and write it: QN_IMAGE_OK when written, a negative code
// otherwise (bad argument, frame not made, file not written).
int SOIL_save_png(const char* name, int W, int H, int S, int B);
int SOIL_save_jpeg(const char* name, int W, int H, int S, int B);
int SOIL_save_bmp(const char* name, int W, int H, int S, int B);
