// The main window as the program opens it, for tests in a real window:
// working folder at the sources (for the images), alerts only in the message
// area, every question answered "yes", an empty store and model.
#pragma once

#include <gtest/gtest.h>

#include <FL/Fl_Double_Window.H>
#include <unistd.h>

#include "app/quelm_import.h"
#include "app/quelm_store.h"
#include "app/quelm_window.h"

inline int answer_yes(const char*, const char*, const char*) { return 1; }

inline void open_main_window() {
    ASSERT_EQ(chdir(QUELM_SOURCE), 0);
    QN_alerts_modal = 0;
    QN_choice_hook = answer_yes;
    QN_store_init();
    QN_build_main_window();
    foo_window->show();
    QN_window_reset();
}
