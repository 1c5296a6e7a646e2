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
    const double t_snap = timed([&] { SOIL_save_png("/tmp/quelm_bench_view.png", 1920, 1100, 1, 0); });
    std::printf("one full redraw, 960 x 550:   %7.3f s\n", t_draw);
    std::printf("snapshot 1920 x 1100 (PNG):   %7.3f s\n", t_snap);
    std::remove("/tmp/quelm_bench_view.png");
    return 0;
}
