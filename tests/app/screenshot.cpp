// Writes docs/screenshot.png: the main window after importing a model,
// coloured by its x column and turned a little. With --form the start-up
// window; with --analysis a crystal with a corner cut away after common
// neighbour analysis, and the Analysis tab.
// Run from the repository root under an X server, e.g.
//   tests/run_with_xvfb.sh build/tests/gui_screenshot docs/screenshot.png
#include <FL/Fl.H>
#include <FL/Fl_Double_Window.H>
#include <FL/fl_draw.H>
#include <png.h>

#include <cstdio>
#include <string>

#include <FL/Fl_Button.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Value_Input.H>

#include "analysis/morla_form.h"
#include "app/quelm_import.h"
#include "store/quelm_store.h"
#include "app/quelm_window.h"
#include "builders/monocrystal_form.h"
#include "view/view_panel.h"
#include "view/view_widget.h"

namespace {
bool write_png(const char* path, const unsigned char* rgb, int w, int h) {
    FILE* f = std::fopen(path, "wb");
    if (!f) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, info ? &info : nullptr);
        std::fclose(f);
        return false;
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, w, h, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < h; y++) png_write_row(png, const_cast<png_bytep>(rgb + 3 * y * w));
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return std::fclose(f) == 0;
}
}  // namespace

int main(int argc, char** argv) {
    const char* out = argc > 1 ? argv[1] : "docs/screenshot.png";
    const std::string mode = argc > 2 ? argv[2] : "";
    const bool form = mode == "--form", analysis = mode == "--analysis";
    QN_alerts_modal = 0;
    QN_store_init();
    QN_build_main_window();
    main_window->show();
    QN_window_reset();
    if (form || analysis) {
        QN_model_single_crystal();
        if (analysis) {
            for (Fl_Value_Input* n : QN_single_dp) {
                n->value(8);
                n->do_callback();
            }
        }
        QN_model_single_preview();
    }
    if (analysis) {
        // One corner cut away, then CNA on the Analysis tab.
        const double c = 4.1 * 3.615;
        for (int i = 0; i < Current_Model.natoms; i++) {
            const atomdata& a = Current_Model.atoms[i];
            if (a.x > c && a.y > c && a.z > c) QB_delete_atom(&Current_Model, i);
        }
        QB_affine_delete(&Current_Model);
        QN_update_model();
        QN_switch_analy_cna();
        auto* active = static_cast<Fl_Button*>(analysis_cna->child(0));  // "Active"
        active->value(1);
        active->do_callback();
        QN_run_analysis();
    } else if (!form) {
        if (QN_import_path("tests/qb/fixtures/formats/lammps_tric.dump") != 1) return 1;
        QN_render_check_file2("x");
    }
    cube->view_height = form ? 12 : analysis ? 60 : 24;
    cube->rot_x = 20;
    cube->rot_y = -30;
    cube->redraw();
    for (int k = 0; k < 20; k++) Fl::check();
    main_window->make_current();
    unsigned char* rgb = fl_read_image(nullptr, 0, 0, main_window->w(), main_window->h());
    const bool ok = rgb && write_png(out, rgb, main_window->w(), main_window->h());
    delete[] rgb;
    std::printf("%s %s\n", ok ? "wrote" : "could not write", out);
    return ok ? 0 : 1;
}
