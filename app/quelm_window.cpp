#include "app/quelm_window.h"

#include <FL/Fl.H>
#include <FL/Fl_Text_Buffer.H>
#include <FL/Fl_Double_Window.H>
#include <FL/fl_ask.H>

#include <cstdio>

Fl_Double_Window* foo_window = nullptr;
Fl_Menu_Bar* menu_bar = nullptr;
Fl_Group* menu_region = nullptr;
Fl_Button* Inspect_MenuButton = nullptr;
Fl_Group* rending_region = nullptr;
Fl_Group* sliding_region = nullptr;
Fl_Text_Buffer* message_region = nullptr;
Fl_Text_Display* message_display = nullptr;
Fl_Tabs* control_region = nullptr;
Fl_Scroll* view_region = nullptr;
Fl_Scroll* model_region = nullptr;
Fl_Scroll* analysis_region = nullptr;
Fl_Choice* model_choice = nullptr;
Fl_Group* model_group = nullptr;
Fl_Choice* view_choice = nullptr;

QB_tools Globel_Model;
QN_global_control QNGC;
int inited_atomic_viewer = 0;
int QN_alerts_modal = 1;

namespace {
std::string last_message;
}

void QN_message(const char* text) {
    last_message = text ? text : "";
    if (message_region) message_region->text(last_message.c_str());
    if (foo_window) foo_window->redraw();
}

void QN_message_alert(const char* text) {
    const char* shown = text ? text : "";
    if (QN_alerts_modal)
        fl_alert("%s", shown);
    else
        std::fprintf(stderr, "%s\n", shown);
    QN_message(shown);
}

std::string QN_message_text() { return last_message; }
