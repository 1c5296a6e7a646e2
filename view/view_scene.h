// The view's drawing, without a window: atoms as shaded round sprites
// (coloured through the colour-bar atlas or by three columns as RGB), the
// box, the axis triad, the slab outline and the colour legend in the lower
// right corner while the atoms are coloured by a column. It draws with
// whatever OpenGL context is current: the view widget's (view_widget.h) in
// the window, an off-screen one (view_offscreen.h) in quelm-batch.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "qb/qb_tools.h"
#include "view/view_core.h"

class QN_scene {
public:
    QN_scene() = default;
    virtual ~QN_scene() = default;
    QN_scene(const QN_scene&) = delete;
    QN_scene& operator=(const QN_scene&) = delete;

    // Build the render data of model (colour bar from one slot, or RGB from
    // three); the upload happens at the next paint, with the context current.
    void loadQB_bar(QB_tools* model, int slot, double min, double max);
    void loadQB_col(QB_tools* model, int slot_r, int slot_g, int slot_b);

    // GL names (0 until create_resources made them).
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
    // Largest atom, in pixels, drawn as a point sprite; larger atoms are
    // drawn as squares. Below 0: the driver's largest point (the default);
    // 0: always squares.
    double point_size_limit = -1;
    // Whether the last frame drew its atoms as squares.
    bool drew_squares() const { return squares_; }

    // Renders the scene off screen at W x H pixels and reads it back (RGB,
    // bottom row first); false when the frame cannot be made (no context,
    // larger than the renderer's framebuffers).
    bool render_frame(int W, int H, std::vector<unsigned char>& rgb);
    int atoms_drawn() const { return atoms_drawn_; }
    // The legend of the current colouring (kind Empty for colouring by type),
    // laid out for a picture of w x h pixels at the given scale, its texts
    // measured in the legend's font (estimated when there is none).
    QN_legend legend(int w, int h, double scale = 1) const;

    // The camera as the matrices take it.
    QN_camera camera() const;
    // Frames the box of `model` at the current rotation and perspective
    // (view height and shift, QN_camera_fit_box) for a picture of w x h
    // pixels and asks for a redraw; false, camera unchanged, when the box
    // cannot be framed or the size is not above 0.
    bool fit(const QB_tools* model, int w, int h);

    // With the context current: the shaders, buffers and textures (from the
    // resource folder), and their release.
    void create_resources();
    void release_resources();
    // With the context current and the resources made: draws the scene into
    // the bound framebuffer of w x h pixels (uploading new render data first).
    void paint(int w, int h);

protected:
    // What the window that shows the scene adds. use_context makes the
    // scene's context current (false when there is none yet); the default
    // takes the current one.
    virtual bool use_context() { return true; }
    // After a change of the camera.
    virtual void request_redraw() {}
    // Whether the program shows a model at all (before the first one, an
    // empty scene is only cleared).
    virtual bool showing_model() const { return true; }

private:
    bool use_bar_ = true;
    bool upload_pending_ = false;
    std::vector<float> host_;  // render data waiting for its upload
    int atoms_drawn_ = 0;
    QN_legend legend_;  // content of the current colouring's legend
    unsigned prog_legend_ = 0, legend_vao_ = 0, legend_vbo_ = 0;
    unsigned atom_vao_ = 0;  // the render data's atoms as instances
    struct Atom_programs {
        unsigned bar = 0, col = 0, select = 0, hit = 0;
    };
    Atom_programs atoms_[2];  // point sprites, squares
    double driver_point_limit_ = 1;
    bool squares_ = false;  // how the last frame drew its atoms

    void draw_atoms(unsigned program, int first, int count);
    struct Label {
        unsigned texture = 0;
        int w = 0, h = 0;
    };
    std::map<std::pair<std::string, int>, Label> labels_;  // rasterised legend texts

    void paint_legend(int w, int h);
    // The texture of a legend text in a line box px pixels high.
    const Label& label_texture(const std::string& text, int px);
    void take(const QN_render_info& info, bool bar);
};

// Snapshot results beside the image writers' codes: the GL frame could not be
// made (too large for the renderer, or no context).
constexpr int QN_SNAPSHOT_NO_FRAME = -3;

// Renders `scene` supersampled S times (its legend kept at the picture's
// size), reduced to W x H with blur B, into out (W H 3 bytes, bottom row
// first). QN_IMAGE_OK or a failure code.
int QN_scene_read_pixels(QN_scene* scene, int W, int H, int S, int B, unsigned char* out);

// Picture files of a snapshot.
enum class QN_picture_kind { Png, Jpeg, Bmp };
// Renders `scene` as QN_scene_read_pixels does and writes the picture:
// QN_IMAGE_OK when written, a negative code otherwise (bad argument, frame
// not made, file not written).
int QN_scene_save(QN_scene* scene, QN_picture_kind kind, const char* name, int W, int H, int S, int B);
