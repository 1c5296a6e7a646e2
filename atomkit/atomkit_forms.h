// What the Atomkit panel and the forms of its region and step kinds share:
// fields bound to a record, the item frame and the selectors.
#pragma once

#include <FL/Fl_Choice.H>
#include <FL/Fl_Value_Input.H>

#include <functional>
#include <string>
#include <vector>

class Fl_Group;

// A number field. It shows what get() gives; a value entered (on release)
// goes through set(), and the field then shows what was stored, so a value
// the record corrects is seen corrected. Values that are not numbers (inf,
// nan) are not stored.
class AK_number : public Fl_Value_Input {
public:
    AK_number(int x, int y, int w, const char* label, std::function<double()> get, std::function<void(double)> set);
    void refresh();

private:
    static void entered(Fl_Widget* w, void*);
    std::function<double()> get_;
    std::function<void(double)> set_;
};

// A choice of fixed entries bound to an index in the same way.
class AK_list : public Fl_Choice {
public:
    AK_list(int x, int y, int w, const char* label, const std::vector<std::string>& entries, std::function<int()> get,
            std::function<void(int)> set);
    // New entries (the shown one is read again).
    void entries(const std::vector<std::string>& texts);
    void refresh();

private:
    static void picked_cb(Fl_Widget* w, void*);
    std::function<int()> get_;
    std::function<void(int)> set_;
};

// Replaces a choice's entries by the texts as they are (no menu paths,
// shortcuts or dividers read into them).
void AK_fill_choice(Fl_Choice* c, const std::vector<std::string>& texts);

// The item frame. Both make the collapsed form and the full form with the
// frame's widgets and leave the full form open for the kind's fields; the
// caller ends it.
Fl_Group* AK_region_frame(int region);
Fl_Group* AK_step_frame(int step);
// Once the kind's fields are in: the form grows to hold its shown widgets
// (10 pixels below the lowest), and is never lower than `least`.
void AK_fit_form(Fl_Group* form, int least);

// Selectors, registered for AK_update_Select_region / AK_update_Select_slot.
Fl_Choice* AK_require_Select_region_step(int x, int y, int w, int h, const char* label, int step, int which);
Fl_Choice* AK_require_Select_region_region(int x, int y, int w, int h, const char* label, int region, int which);
Fl_Choice* AK_require_Select_slot(int x, int y, int w, int h, const char* label, bool step, int owner);

// The forms of existing items, made from the recipe's current values.
void AK_region_form(int region);
void AK_step_form(int step);
