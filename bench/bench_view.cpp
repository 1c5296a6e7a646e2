// Times the view on a million-atom fcc crystal: building the vertex buffer,
// one full redraw at 960 x 550 and a 1920 x 1100 snapshot. The drawing parts
// need an X server (tests/run_with_xvfb.sh build/bench/bench_view); with a
// software renderer their figures are reported, not judged.
#include <FL/Fl.H>
#include <FL/Fl_Double_Window.H>
#include <X11/Xlib.h>

#include <chrono>
#include <cstdio>
#include <vector>

#include "app/quelm_shell.h"
#include "qb/qb_lattice.h"
#include "bench_support.h"
#include "view/view_core.h"
#include "view/view_image.h"
#include "view/view_widget.h"

int main() {
    QB_create_fcc(&Current_Model, 3.615, 1, 0, 0, 0, 1, 0, 0, 0, 1);
    QB_duplicate(&Current_Model, 63, 63, 63);
    const QN_range range = QN_render_default_range(Current_Model.ntypes);
    const std::vector<double> radii(1, 1.0);
    std::vector<float> buffer;
    const double t_build = timed([&] {
        QN_render_build_bar(&Current_Model, 1, range.min, range.max, radii, QN_slice_outline(), buffer);
    });
    std::printf("fcc crystal, %d atoms\n", Current_Model.natoms);
    std::printf("vertex buffer build:          %7.3f s  (target < 0.2 s)\n", t_build);

    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::printf("no X display: drawing not timed (run under tests/run_with_xvfb.sh)\n");
        return 0;
    }
    XCloseDisplay(display);
    Fl_Double_Window window(960, 550, "bench");
    cube = new cube_box(0, 0, 960, 550);
    window.end();
    window.show();
    for (int k = 0; k < 20 && !cube->shown(); k++) Fl::check();
    inited_atomic_viewer = 1;
    cube->rel_radius = radii;
    cube->loadQB_bar(&Current_Model, 1, range.min, range.max);
    std::vector<unsigned char> frame;
    cube->render_frame(960, 550, frame);  // the upload and the first frame
    const double t_draw = timed([&] { cube->render_frame(960, 550, frame); });
    const bool as_squares = cube->drew_squares();
    const double t_snap = timed([&] { SOIL_save_png("/tmp/quelm_bench_view.png", 1920, 1100, 1, 0); });
    std::printf("one full redraw, 960 x 550:   %7.3f s  (atoms of %.0f pixels as %s)\n", t_draw,
                2 * cube->atom_radius * 550 / cube->view_height, as_squares ? "squares" : "point sprites");
    std::printf("snapshot 1920 x 1100 (PNG):   %7.3f s\n", t_snap);
    // The same frame with every atom drawn as a square, as atoms larger
    // than the driver's largest point are.
    cube->point_size_limit = 0;
    const double t_squares = timed([&] { cube->render_frame(960, 550, frame); });
    std::printf("the same redraw as squares:   %7.3f s\n", t_squares);
    // Zoomed in on the crystal's face: atoms of 300 pixels, beyond any point size.
    cube->point_size_limit = -1;
    cube->view_height = 2 * cube->atom_radius * 550 / 300.0;
    const double t_zoom = timed([&] { cube->render_frame(960, 550, frame); });
    std::printf("zoomed in, 300-pixel atoms:   %7.3f s  (as %s)\n", t_zoom,
                cube->drew_squares() ? "squares" : "point sprites");
    std::remove("/tmp/quelm_bench_view.png");
    return 0;
}
