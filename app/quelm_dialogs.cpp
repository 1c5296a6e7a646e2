#include "app/quelm_dialogs.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Native_File_Chooser.H>
#include <FL/Fl_Return_Button.H>
#include <FL/Fl_Secret_Input.H>
#include <FL/fl_ask.H>

#include <clocale>

#include "app/quelm_shell.h"
#include "qb/qb_gzip.h"

namespace {

int ask_with_fl_choice(const char* question, const char* b0, const char* b1) {
    return fl_choice("%s", b0, b1, nullptr, question);
}

bool ask_with_fl_input(const char* question, const char* initial, std::string& answer) {
    const char* typed = fl_input("%s", initial, question);
    if (!typed) return false;
    answer = typed;
    return true;
}

constexpr int kFilterCount = 5;
const char* const kExtensions[kFilterCount] = {".lmc", ".lmp", ".POSCAR", ".POSCAR", ".xyz"};

}  // namespace

bool QN_ask_secret_dialog(const std::string& prompt, std::string& answer) {
    Fl_Group* saved = Fl_Group::current();
    Fl_Group::current(nullptr);
    Fl_Double_Window win(460, 150, "The server asks");
    Fl_Box text(15, 10, 430, 60);
    text.copy_label(prompt.c_str());
    text.align(FL_ALIGN_INSIDE | FL_ALIGN_LEFT | FL_ALIGN_WRAP);
    Fl_Secret_Input field(15, 75, 430, 30);
    Fl_Return_Button ok(255, 112, 90, 30, "OK");
    Fl_Button cancel(355, 112, 90, 30, "Cancel");
    int chosen = -1;
    ok.callback([](Fl_Widget*, void* c) { *static_cast<int*>(c) = 1; }, &chosen);
    cancel.callback([](Fl_Widget*, void* c) { *static_cast<int*>(c) = 0; }, &chosen);
    win.callback([](Fl_Widget*, void* c) { *static_cast<int*>(c) = 0; }, &chosen);
    win.end();
    win.set_modal();
    win.show();
    field.take_focus();
    while (chosen < 0 && win.shown()) Fl::wait(0.1);
    if (chosen == 1) answer = field.value() ? field.value() : "";
    // The typed secret leaves no copy in the widget.
    field.value("");
    win.hide();
    Fl_Group::current(saved);
    return chosen == 1;
}

bool (*QN_secret_hook)(const std::string&, std::string&) = QN_ask_secret_dialog;
int (*QN_choice_hook)(const char*, const char*, const char*) = ask_with_fl_choice;
bool (*QN_text_hook)(const char*, const char*, std::string&) = ask_with_fl_input;

const char* const QN_save_filters =
    "LAMMPS custom dump file\t*.lmc\nLAMMPS data file\t*.lmp\n"
    "VASP POSCAR file Cartesian\t*.POSCAR\nVASP POSCAR file Direct\t*.POSCAR\nExtended XYZ file\t*.xyz";

bool QN_choose_file(const char* title, int type, const char* filter, std::string& chosen, int* filter_value) {
    const char* now = std::setlocale(LC_ALL, nullptr);
    const std::string saved = now ? now : "C";
    Fl_Native_File_Chooser chooser;
    chooser.title(title);
    chooser.type(type);
    if (filter) chooser.filter(filter);
    const int result = chooser.show();
    const char* picked = chooser.filename();
    const bool ok = result == 0 && picked && *picked;
    if (ok) {
        chosen = picked;
        if (filter_value) *filter_value = chooser.filter_value();
    }
    std::setlocale(LC_ALL, saved.c_str());
    return ok;
}

bool QN_choose_file_to_save(const char* filter, std::string& chosen, int* filter_value) {
    return QN_choose_file("Save file", Fl_Native_File_Chooser::BROWSE_SAVE_FILE, filter, chosen, filter_value);
}

std::string QN_export_name(const std::string& chosen, int filter) {
    const std::string ext = kExtensions[filter < 0 || filter >= kFilterCount ? 0 : filter];
    const std::string plain = QB_without_gz(chosen);
    const bool has = plain.size() > ext.size() && plain.compare(plain.size() - ext.size(), ext.size(), ext) == 0;
    return has ? chosen : chosen + ext;
}

int QN_ask_model_change() {
    if (Current_Model.natoms > 0 &&
        QN_choice_hook("The current model has been built.\nWould you like to overwrite it now?", "No", "Yes") == 0)
        return 0;
    QN_forget_file_series();
    return 1;
}

int QN_ask_form_change() {
    if (Current_Model.natoms == 0) return 1;
    return QN_choice_hook("The current model stays in the view until Preview in the other form replaces it.\n"
                          "Would you like to open the other form now?",
                          "No", "Yes") == 1;
}
