// What the tests of the builders' forms share: the main window on the
// Monocrystal form with scripted answers to its questions, a scratch folder as
// the working folder, the widgets of the open form by label, and the store's
// group 0.
#pragma once

#include <gtest/gtest.h>

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Scroll.H>
#include <FL/Fl_Tabs.H>
#include <FL/Fl_Value_Input.H>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "store/quelm_model_io.h"
#include "store/quelm_store.h"
#include "app/quelm_window.h"
#include "builders/monocrystal_form.h"
#include "gui_window.h"
#include "test_support.h"
#include "view/view_widget.h"

inline const char* const kModelChange = "The current model has been built.\nWould you like to overwrite it now?";
inline const char* const kFormChange =
    "The current model stays in the view until Preview in the other form replaces it.\n"
    "Would you like to open the other form now?";

// The questions asked, and the answers given: `form_answer` to every
// question not listed in `form_answers`.
inline std::vector<std::string> asked;
inline int form_answer = 1;
inline std::map<std::string, int> form_answers;
inline int scripted_answer(const char* question, const char*, const char*) {
    asked.push_back(question ? question : "");
    const auto listed = form_answers.find(asked.back());
    return listed == form_answers.end() ? form_answer : listed->second;
}

inline Fl_Value_Input* input(const char* label) { return find_labelled<Fl_Value_Input>(model_group, label); }
inline Fl_Input* text_input(const char* label) { return find_labelled<Fl_Input>(model_group, label); }

// Types text into a text input key by key, as the user does, after
// selecting what it held; moving on to `next` ends the typing (the input
// commits its text when it loses the focus).
inline void type_into(Fl_Input* in, const std::string& text, Fl_Widget* next) {
    ASSERT_NE(in, nullptr);
    ASSERT_NE(next, nullptr);
    ASSERT_TRUE(in->take_focus());
    in->position(in->size(), 0);  // all of it selected: typing replaces it
    Fl::e_state = 0;
    for (char c : text) {
        char key[2] = {c, 0};
        Fl::e_text = key;
        Fl::e_length = 1;
        Fl::e_keysym = static_cast<unsigned char>(c);
        ASSERT_TRUE(Fl::handle(FL_KEYBOARD, in->window())) << c;
    }
    Fl::e_text = const_cast<char*>("");
    Fl::e_length = 0;
    next->take_focus();
    Fl::check();
}
inline Fl_Choice* choice(const char* label) { return find_labelled<Fl_Choice>(model_group, label); }
inline Fl_Button* button(const char* label) { return find_labelled<Fl_Button>(model_group, label); }

inline void choose(Fl_Choice* c, int item) {
    ASSERT_NE(c, nullptr);
    c->value(item);
    c->do_callback();
}

// A menu entry picked, and the events it causes handled.
inline void pick_and_settle(Fl_Menu_* menu, const char* label) {
    pick(menu, label);
    Fl::check();
}

inline std::vector<std::string> items(const Fl_Choice* c) {
    std::vector<std::string> out;
    for (int i = 0; c && i < c->size() - 1; i++) out.emplace_back(c->menu()[i].label());
    return out;
}

// Values of group 0 (a missing key fails the test).
inline int stored_int(const char* key) {
    int v = -12345;
    EXPECT_EQ(QN_scan_int_single(0, key, v), 1) << key;
    return v;
}
inline double stored_double(const char* key) {
    double v = -12345;
    EXPECT_EQ(QN_scan_double_single(0, key, v), 1) << key;
    return v;
}
inline std::string stored_text(int group, const char* key) {
    std::string v = "(none)";
    QN_scan_char_single(group, key, v);
    return v;
}

inline bool starts_with(const std::string& s, const std::string& head) { return s.rfind(head, 0) == 0; }

class BuilderFormTest : public testing::Test {
protected:
    void SetUp() override {
        open_main_window();
        asked.clear();
        form_answer = 1;
        form_answers.clear();
        QN_choice_hook = scripted_answer;
        QN_model_single_crystal();  // the program starts on the Monocrystal form
        Fl::check();
        // Exports go to a scratch folder; the view finds its images through a link.
        std::filesystem::create_directory_symlink(std::filesystem::path(QUELM_SOURCE) / "img", scratch_.path("img"));
        ASSERT_EQ(chdir(scratch_.dir().c_str()), 0);
        testing::internal::CaptureStdout();  // the readers' remarks
    }
    void TearDown() override {
        const std::string captured = testing::internal::GetCapturedStdout();
        if (HasFailure()) std::fputs(captured.c_str(), stdout);
        ASSERT_EQ(chdir(QUELM_SOURCE), 0);
    }
    std::string write(const std::string& name, const std::string& text) const {
        std::ofstream(scratch_.path(name), std::ios::binary) << text;
        return scratch_.path(name);
    }
    // Opens a form by its entry in "Select model:" and checks where it sits.
    void open(const char* entry, int index, int height) {
        pick_and_settle(model_choice, entry);
        ASSERT_EQ(model_choice->value(), index) << entry;
        EXPECT_EQ(model_group->w(), 320);
        EXPECT_EQ(model_group->h(), height);
        EXPECT_EQ(model_group->y(), model_choice->y() + model_choice->h() + 20);
        EXPECT_EQ(control_region->value(), model_region);
    }
    // The model a successful Preview leaves: its atoms, drawn, and the
    // message beginning with the usual report.
    void expect_shown(int atoms) {
        EXPECT_EQ(Current_Model.natoms, atoms);
        ASSERT_NE(cube, nullptr);
        EXPECT_EQ(cube->atoms_drawn(), atoms);
        EXPECT_TRUE(starts_with(QN_message_text(), QN_new_model_text(&Current_Model))) << QN_message_text();
    }

    ScratchDir scratch_;
};
