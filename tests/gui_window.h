// The main window as the program opens it, for tests in a real window:
// working folder at the sources (for the images), alerts only in the message
// area, every question answered "yes" (a text question cancelled, a
// server's question for a secret declined), an empty
// store and model.
#pragma once

#include <gtest/gtest.h>

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Menu_.H>
#include <FL/Fl_Secret_Input.H>
#include <FL/Fl_Value_Input.H>
#include <unistd.h>

#include <cstring>
#include <string>

#include "app/quelm_dialogs.h"
#include "app/quelm_import.h"
#include "store/quelm_store.h"
#include "app/quelm_window.h"

inline int answer_yes(const char*, const char*, const char*) { return 1; }
// A text question (the element names of a POSCAR export) answered with Cancel.
inline bool answer_cancel(const char*, const char*, std::string&) { return false; }
// A server's question for a secret, declined: a test never waits on a dialog.
inline bool decline_secret(const std::string&, std::string&) { return false; }

// Answers the secret dialog once it is shown (Fl::add_timeout(0.05,
// answer_secret_dialog, &script)): records the prompt, types into the hidden
// field and presses the button (null: closes the window).
struct SecretScript {
    std::string prompt_seen;
    const char* typed = nullptr;
    const char* button = nullptr;  // "OK", "Cancel", or null to close the window
    bool hidden = false;
};
inline void answer_secret_dialog(void* data) {
    auto* script = static_cast<SecretScript*>(data);
    for (Fl_Window* w = Fl::first_window(); w; w = Fl::next_window(w)) {
        if (!w->label() || std::string(w->label()) != "The server asks") continue;
        for (int k = 0; k < w->children(); k++) {
            Fl_Widget* c = w->child(k);
            if (auto* in = dynamic_cast<Fl_Secret_Input*>(c)) {
                in->value(script->typed);
                script->hidden = true;
            } else if (dynamic_cast<Fl_Box*>(c) && c->label()) {
                script->prompt_seen = c->label();
            }
        }
        for (int k = 0; k < w->children(); k++)
            if (auto* b = dynamic_cast<Fl_Button*>(w->child(k)))
                if (script->button && b->label() && std::string(b->label()) == script->button) b->do_callback();
        if (!script->button) w->do_callback();
        return;
    }
    Fl::repeat_timeout(0.05, answer_secret_dialog, data);
}

inline void open_main_window() {
    ASSERT_EQ(chdir(QUELM_SOURCE), 0);
    QN_alerts_modal = 0;
    QN_choice_hook = answer_yes;
    QN_text_hook = answer_cancel;
    QN_secret_hook = decline_secret;
    QN_store_init();
    QN_build_main_window();
    main_window->show();
    QN_window_reset();
}

// The first shown widget of type T labelled `label` under g, at any depth.
template <class T>
T* find_labelled(Fl_Group* g, const char* label) {
    if (!g) return nullptr;
    for (int i = 0; i < g->children(); i++) {
        Fl_Widget* w = g->child(i);
        if (!w->visible() && !dynamic_cast<Fl_Group*>(w)) continue;  // widgets on their way out
        if (w->label() && std::strcmp(w->label(), label) == 0)
            if (T* t = dynamic_cast<T*>(w)) return t;
        if (T* t = find_labelled<T>(w->as_group(), label)) return t;
    }
    return nullptr;
}

// A value entered and committed, as the user's typing ends.
inline void enter(Fl_Widget* w, double v) {
    auto* input = dynamic_cast<Fl_Value_Input*>(w);
    ASSERT_NE(input, nullptr);
    input->value(v);
    input->do_callback();
}

inline void press(Fl_Widget* b) {
    ASSERT_NE(b, nullptr);
    b->do_callback();
}

// Picks the entry of a menu widget whose label is `label` (the last of that
// name), as a click would.
inline void pick(Fl_Menu_* menu, const char* label) {
    ASSERT_NE(menu, nullptr);
    const Fl_Menu_Item* item = nullptr;
    for (int i = 0; i < menu->size(); i++) {
        const Fl_Menu_Item& m = menu->menu()[i];
        if (m.label() && std::strcmp(m.label(), label) == 0) item = &m;
    }
    ASSERT_NE(item, nullptr) << label;
    menu->picked(item);
}
