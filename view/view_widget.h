// The OpenGL view of the current model in the window: the scene of
// view_scene.h in an FLTK GL window, with mouse rotation, shift and zoom,
// the F key to frame the model and picking of the atom under the pointer.
#pragma once

#include <FL/Fl_Gl_Window.H>

#include "qb/qb_tools.h"
#include "view/view_core.h"
#include "view/view_scene.h"

class cube_box : public Fl_Gl_Window, public QN_scene {
public:
    cube_box(int x, int y, int w, int h);
    ~cube_box() override;

    // The scene's switch, not FLTK's Fl_Widget::draw_box().
    using QN_scene::draw_box;

    void draw() override;
    int handle(int event) override;

    // 1 + the drawn index of the atom under window pixel (x, y), 0 for none.
    int pick_partical(int x, int y);

    // Frames the box of `model` for a picture of w x h pixels, the view's
    // own size when w or h is not above 0, and redraws (QN_scene::fit).
    bool fit(const QB_tools* model, int w = 0, int h = 0);

protected:
    // The window's context, once the window is shown.
    bool use_context() override;
    void request_redraw() override { redraw(); }
    bool showing_model() const override;

private:
    int drag_x_ = 0, drag_y_ = 0;
};

// The one view, or nullptr while the window shows no model.
extern cube_box* cube;

// Builds the view in the render area (the first model's hand-off).
void QN_create_render();
// Loads the current model into the view with the default or the kept
// colouring.
void QN_render_check_file();

// Reads the view supersampled S times, reduced to W x H with blur B, into out
// (W H 3 bytes, bottom row first). QN_IMAGE_OK or a failure code.
int QN_glReadPixels(int W, int H, int S, int B, unsigned char* out);
// Render the view and write it: QN_IMAGE_OK when written, a negative code
// otherwise (bad argument, frame not made, file not written).
int SOIL_save_png(const char* name, int W, int H, int S, int B);
int SOIL_save_jpeg(const char* name, int W, int H, int S, int B);
int SOIL_save_bmp(const char* name, int W, int H, int S, int B);
