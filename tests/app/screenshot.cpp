// Writes docs/screenshot.png: the main window after importing a model,
// coloured by its x column and turned a little. With --form the start-up
// window; with --analysis a crystal with a corner cut away after common
// neighbour analysis, and the Analysis tab; with --atomkit a crystal with a
// sphere selected and deleted in the Atomkit panel; with --wizard the
// dynamic simulation wizard, with --frame the first LAMMPS frame window
// (those two pictures are of their own window). The main window is
// 1280 x 720. scripts/screenshots.sh makes every picture of docs/.
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
#include <FL/Fl_Choice.H>
#include <FL/Fl_Tabs.H>
#include <FL/Fl_Device.H>
#include <FL/Fl_Image.H>
#include <FL/Fl_Image_Surface.H>
#include <FL/Fl_Menu_Bar.H>
#include <FL/Fl_Menu_Button.H>
#include <FL/Fl_Value_Input.H>

#include "analysis/morla_form.h"
#include "atomkit/atomkit_forms.h"
#include "atomkit/atomkit_panel.h"
#include "app/quelm_dialogs.h"
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
Fl_Tabs* first_tabs(Fl_Group* g) {
    for (int k = 0; g && k < g->children(); k++) {
        if (auto* t = dynamic_cast<Fl_Tabs*>(g->child(k))) return t;
        if (Fl_Tabs* t = first_tabs(g->child(k)->as_group())) return t;
    }
    return nullptr;
}
}  // namespace

int main(int argc, char** argv) {
    const char* out = argc > 1 ? argv[1] : "docs/screenshot.png";
    const std::string mode = argc > 2 ? argv[2] : "";
    const bool atomkit = mode == "--atomkit", wizard = mode == "--wizard", frame = mode == "--frame";
    const bool form = mode == "--form" || wizard || frame || atomkit, analysis = mode == "--analysis";
    QN_alerts_modal = 0;
    // No question waits for a click: keep the model shown and go on.
    QN_choice_hook = [](const char*, const char*, const char*) { return 1; };
    AK_choice3_hook = [](const char*, const char*, const char*, const char*) { return 1; };
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
        // As the program opens, then an import coloured by x with the View tab's panel.
        QN_model_single_crystal();
        if (QN_import_path("tests/qb/fixtures/formats/lammps_tric.dump") != 1) return 1;
        QN_render_check_file2("x");
        QN_switch_chroma();
    }
    if (atomkit) {
        QN_model_single_crystal();
        for (Fl_Value_Input* n : QN_single_dp) {
            n->value(6);
            n->do_callback();
        }
        QN_model_single_preview();
        model_choice->picked(&model_choice->menu()[0]);  // "Atomkit"
        const Fl_Menu_Item* sphere = AK_method_menu ? AK_method_menu->find_item("Selection/Sphere") : nullptr;
        const Fl_Menu_Item* remove = AK_method_menu ? AK_method_menu->find_item("Operation/Delete") : nullptr;
        if (sphere) {
            // A sphere at the crystal's top corner, cut away.
            AK_method_menu->picked(sphere);
            const AK_item_form& f = AK_region_forms.back();
            const double at[4] = {6 * 3.615, 6 * 3.615, 6 * 3.615, 12};
            for (size_t k = 0; k < 4 && k < f.fields.size(); k++)
                if (auto* v = dynamic_cast<Fl_Value_Input*>(f.fields[k])) {
                    v->value(at[k]);
                    v->do_callback();
                }
        }
        if (remove) AK_method_menu->picked(remove);
        AK_step_run_all();
    }
    cube->view_height = form ? 12 : analysis ? 60 : 24;
    cube->rot_x = 20;
    cube->rot_y = -30;
    if (atomkit) QN_render_fit();  // the whole crystal, turned
    cube->redraw();
    for (int k = 0; k < 20; k++) Fl::check();
    Fl_Window* shot = main_window;
    if (wizard || frame) {
        const char* entry = wizard ? "Simulation/Quelm/&Dynamic" : nullptr;
        std::string first_frame;
        if (frame) {
            for (int i = 0; i < menu_bar->size(); i++) {
                const char* l = menu_bar->menu()[i].label();
                if (l && std::string(l) == "LAMMPS" && i + 1 < menu_bar->size() && menu_bar->menu()[i + 1].label()) {
                    first_frame = std::string("Simulation/LAMMPS/") + menu_bar->menu()[i + 1].label();
                    break;
                }
            }
            entry = first_frame.c_str();
        }
        const Fl_Menu_Item* item = entry ? menu_bar->find_item(entry) : nullptr;
        if (!item) {
            std::printf("no menu entry %s\n", entry ? entry : "");
            return 1;
        }
        menu_bar->picked(item);
        for (Fl_Window* w = Fl::first_window(); w; w = Fl::next_window(w))
            if (w != main_window && !w->parent() && w->shown()) shot = w;
        // The tab that says most: the wizard's loading, the frame's submission.
        if (Fl_Tabs* tabs = first_tabs(shot))
            for (int k = 0; k < tabs->children(); k++)
                if (tabs->child(k)->label() && std::string(tabs->child(k)->label()) == (wizard ? "Loading" : "Submit"))
                    tabs->value(tabs->child(k));
        for (int k = 0; k < 20; k++) Fl::check();
    }
    bool ok = false;
    if (shot == main_window) {
        shot->make_current();
        unsigned char* rgb = fl_read_image(nullptr, 0, 0, shot->w(), shot->h());
        ok = rgb && write_png(out, rgb, shot->w(), shot->h());
        delete[] rgb;
    } else {
        // A window of its own is drawn into an image, whatever covers it on screen.
        Fl_Image_Surface surface(shot->w(), shot->h());
        surface.set_current();
        surface.draw(shot);
        Fl_RGB_Image* image = surface.image();
        Fl_Display_Device::display_device()->set_current();
        if (image && image->d() == 3 && image->data() && (image->ld() == 0 || image->ld() == 3 * image->w()))
            ok = write_png(out, reinterpret_cast<const unsigned char*>(image->data()[0]), image->w(), image->h());
        delete image;
    }
    std::printf("%s %s\n", ok ? "wrote" : "could not write", out);
    return ok ? 0 : 1;
}
