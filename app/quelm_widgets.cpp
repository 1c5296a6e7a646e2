#include "app/quelm_widgets.h"

#include <FL/Fl.H>
#include <FL/fl_draw.H>

void QN_hint_input::draw() {
    Fl_Input::draw();
    if (hint_.empty() || size() > 0 || Fl::focus() == this) return;
    const int x0 = x() + Fl::box_dx(box()) + 3, y0 = y() + Fl::box_dy(box());
    const int w0 = w() - Fl::box_dw(box()) - 6, h0 = h() - Fl::box_dh(box());
    fl_push_clip(x0, y0, w0, h0);
    fl_font(textfont(), textsize());
    fl_color(fl_inactive(textcolor()));
    fl_draw(hint_.c_str(), x0, y0, w0, h0, FL_ALIGN_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_CLIP, nullptr, 0);
    fl_pop_clip();
}

bool QN_is_placeholder(const std::string& value) {
    return value == "No_file" || value == "No_File" || value == "blank" || value == "None" || value == "NULL";
}
