#include "view/view_widget.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Double_Window.H>

#include <algorithm>
#include <vector>

#include "analysis/morla_summary.h"
#include "app/quelm_shell.h"
#include "view/view_core.h"
#include "view/view_image.h"
#include "view/view_panel.h"

cube_box* cube = nullptr;

cube_box::cube_box(int x, int y, int w, int h) : Fl_Gl_Window(x, y, w, h) {
    mode(FL_OPENGL3 | FL_DEPTH | FL_ALPHA | FL_DOUBLE);
    // The legend names the classes of the structure-analysis columns.
    if (!QN_legend_get_class_source()) QN_legend_set_class_source(QN_MORLA_classes);
}

cube_box::~cube_box() {
    if (prog_atoms && shown()) {
        make_current();
        release_resources();
    }
    if (cube == this) cube = nullptr;
}

bool cube_box::use_context() {
    if (!shown()) return false;
    make_current();
    return true;
}

bool cube_box::showing_model() const { return inited_atomic_viewer != 0; }

bool cube_box::fit(const QB_tools* model, int w, int h) {
    if (w < 1 || h < 1) {
        w = pixel_w();
        h = pixel_h();
    }
    return QN_scene::fit(model, w, h);
}

void cube_box::draw() {
    if (!prog_atoms) create_resources();
    paint(pixel_w(), pixel_h());
}

int cube_box::handle(int event) {
    switch (event) {
        case FL_MOUSEWHEEL:
            if (Fl::event_dy() < 0)
                QN_render_zom_plus();
            else
                QN_render_zom_minus();
            return 1;
        case FL_FOCUS:
        case FL_UNFOCUS:
            return 1;  // takes the keyboard for F
        case FL_KEYBOARD:
        case FL_SHORTCUT:
            // F frames the model: from the keyboard while the view has the
            // focus, or as a shortcut nobody else took with the pointer over
            // the view.
            if ((Fl::event_key() == 'f' || Fl::event_key() == 'F') &&
                !(Fl::event_state() & (FL_CTRL | FL_ALT | FL_META)) &&
                (event == FL_KEYBOARD || Fl::event_inside(this))) {
                QN_render_fit();
                return 1;
            }
            break;
        case FL_PUSH:
            if (Fl::focus() != this) Fl::focus(this);
            if (Fl::event_button() == FL_LEFT_MOUSE && inspect_mode) {
                const int n = pick_partical(Fl::event_x(), Fl::event_y());
                // The picked vertex's atom record, 1-based; 0 shows the box.
                QN_atom_message(n > 0 ? Current_Model.atoms[n - 1].scratch + 1 : 0);
                selected = n - 1;
                redraw();
            }
            if (Fl::event_button() == FL_LEFT_MOUSE || Fl::event_button() == FL_RIGHT_MOUSE) {
                drag_x_ = Fl::event_x();
                drag_y_ = Fl::event_y();
                return 1;
            }
            break;
        case FL_DRAG: {
            const int dx = Fl::event_x() - drag_x_, dy = Fl::event_y() - drag_y_;
            drag_x_ = Fl::event_x();
            drag_y_ = Fl::event_y();
            if (Fl::event_state(FL_BUTTON1)) {
                rot_y += 0.2 * dx;
                rot_x += 0.2 * dy;
                redraw();
            }
            if (Fl::event_state(FL_BUTTON3)) {
                QN_camera c = camera();
                QN_camera_pan(&c, dx, dy, h());
                shift_x = c.shift_x;
                shift_y = c.shift_y;
                redraw();
            }
            return 1;
        }
    }
    return Fl_Gl_Window::handle(event);
}

// ----------------------------------------------------------- entry points

void QN_create_render() {
    Fl::use_high_res_GL(1);
    if (!QN_render_area()) return;
    QN_render_area()->clear();
    QN_render_area()->begin();
    auto* frame = new Fl_Box(QN_render_area()->x(), QN_render_area()->y(), QN_render_area()->w(), QN_render_area()->h());
    frame->box(FL_THIN_DOWN_BOX);
    cube = new cube_box(QN_render_area()->x() + 10, QN_render_area()->y() + 10, QN_render_area()->w() - 20,
                        QN_render_area()->h() - 20);
    QN_render_area()->end();
    QN_render_area()->resizable(cube);
    QNGC.view_built = 1;
    if (QN_main_window() && QN_main_window()->shown()) cube->show();
    QN_render_area()->redraw();
    QN_render_build_panel();
}

int cube_box::pick_partical(int x, int y) {
    const int W = pixel_w(), H = pixel_h();
    const int px = static_cast<int>(static_cast<long long>(x) * W / std::max(w(), 1));
    const int py = static_cast<int>(static_cast<long long>(y) * H / std::max(h(), 1));
    if (px < 0 || py < 0 || px >= W || py >= H) return 0;
    std::vector<unsigned char> frame;
    picking = 1;
    const bool ok = render_frame(W, H, frame);
    picking = 0;
    if (!ok) return 0;
    const unsigned char* p = &frame[(static_cast<size_t>(H - 1 - py) * W + px) * 3];
    return QN_pick_decode(p[0], p[1], p[2], atoms_drawn());
}

int QN_glReadPixels(int W, int H, int S, int B, unsigned char* out) {
    if (!cube) return QN_IMAGE_BAD_ARGUMENT;
    return QN_scene_read_pixels(cube, W, H, S, B, out);
}

int SOIL_save_png(const char* name, int W, int H, int S, int B) {
    return QN_scene_save(cube, QN_picture_kind::Png, name, W, H, S, B);
}

int SOIL_save_jpeg(const char* name, int W, int H, int S, int B) {
    return QN_scene_save(cube, QN_picture_kind::Jpeg, name, W, H, S, B);
}

int SOIL_save_bmp(const char* name, int W, int H, int S, int B) {
    return QN_scene_save(cube, QN_picture_kind::Bmp, name, W, H, S, B);
}
