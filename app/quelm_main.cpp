// quelm: the program's main window.
#include <X11/Xlib.h>

#include <FL/Fl.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Tabs.H>
#include <FL/Fl_Scroll.H>

#include <cstdio>

#include "store/quelm_store.h"
#include "app/quelm_window.h"
#include "builders/monocrystal_form.h"

int main(int argc, char** argv) {
    // Without a display FLTK would end the program with a terse message.
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr,
                     "quelm: cannot open a display. Run it on a desktop, or under a virtual X server "
                     "(xvfb-run build/app/quelm); quelm-batch does the same work without one.\n");
        return 1;
    }
    XCloseDisplay(display);

    QN_store_init();
    QN_build_main_window();
    main_window->show(argc, argv);
    QN_window_reset();
    // The program opens on the Monocrystal form with its default crystal.
    QN_model_single_crystal();
    QN_model_single_preview();
    QN_model_saved();  // nothing of the user's yet
    control_region->value(view_region);
    main_window->flush();
    return Fl::run();
}
