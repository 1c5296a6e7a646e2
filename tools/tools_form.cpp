#include "tools/tools_form.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Native_File_Chooser.H>

#include "app/quelm_dialogs.h"
#include "app/quelm_shell.h"
#include "app/quelm_widgets.h"
#include "qb/qb_file.h"
#include "tools/dumps.h"
#include "tools/potentials.h"

Fl_Double_Window* QN_tools_window = nullptr;

namespace {

// What one window converts and with which choosers.
struct Tool {
    const char* title;
    const char* input_filter;
    bool potential;  // .quelm output, else .lmc
    const char* input_what;   // the input file, as the messages name it
    const char* output_what;  // the output file likewise
    const char* input_hint;
    // Runs the conversion; true when the output was written, message says
    // what happened.
    bool (*run)(const std::string& in, const std::string& out, std::string& message);
};

bool run_alloy(const std::string& in, const std::string& out, std::string& message) {
    return QT_setfl_to_quelm(in, out, QT_setfl_layout::alloy, message, stdout);
}
bool run_fs(const std::string& in, const std::string& out, std::string& message) {
    return QT_setfl_to_quelm(in, out, QT_setfl_layout::fs, message, stdout);
}
bool run_dump(DUMP_kind kind, const std::string& in, const std::string& out, std::string& message) {
    const DUMP_report r = DUMP_convert(kind, in, out, stdout);
    message.clear();
    for (const std::string& w : r.warnings) message += w + "\n";
    message += r.status == 0 ? "Transfer complete\n" + r.message : r.message;
    return r.status == 0;
}
bool run_st(const std::string& in, const std::string& out, std::string& message) {
    return run_dump(DUMP_kind::st, in, out, message);
}
bool run_aes(const std::string& in, const std::string& out, std::string& message) {
    return run_dump(DUMP_kind::aes, in, out, message);
}

const char* const kPotentialOut = "the .quelm potential to write";
const char* const kDumpOut = "the LAMMPS custom dump (.lmc) to write";
const Tool kAlloy = {"Convert a LAMMPS eam/alloy potential",
                     "Auto detect format\t*\nlammps eam /eam alloy format\t*.{eam,alloy}",
                     true,
                     "the LAMMPS eam/alloy potential",
                     kPotentialOut,
                     "eam/alloy (setfl) file",
                     run_alloy};
const Tool kFs = {"Convert a LAMMPS eam/fs potential",
                  "Auto detect format\t*\nlammps fs format\t*.{fs}",
                  true,
                  "the LAMMPS eam/fs potential",
                  kPotentialOut,
                  "eam/fs (setfl) file",
                  run_fs};
const Tool kSt = {"Convert a Quelm structure dump to a LAMMPS custom dump",
                  "Quelm dump format\t*",
                  false,
                  "the Quelm structure dump (DatST)",
                  kDumpOut,
                  "DatST dump (with its .parm)",
                  run_st};
const Tool kAes = {"Convert a Quelm atomic stress dump to a LAMMPS custom dump",
                   "Quelm dump format\t*",
                   false,
                   "the Quelm atomic stress dump (DatAES)",
                   kDumpOut,
                   "DatAES dump (with its .parm)",
                   run_aes};

struct Window {
    const Tool* tool;
    QN_hint_input* input;
    QN_hint_input* output;
    Fl_Box* status;  // the outcome of the last "Transfer", replaced by the next
};

std::string field_text(const Fl_Input* in) {
    std::string text = in->value() ? in->value() : "";
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

void input_cb(Fl_Widget*, void* data) {
    auto* w = static_cast<Window*>(data);
    std::string chosen;
    if (QN_choose_file("Open file", Fl_Native_File_Chooser::BROWSE_FILE, w->tool->input_filter, chosen))
        w->input->value(chosen.c_str());
}

std::string output_name(const Tool& tool, const std::string& chosen) {
    return tool.potential ? QN_tools_quelm_name(chosen) : QN_tools_lmc_name(chosen);
}

void output_cb(Fl_Widget*, void* data) {
    auto* w = static_cast<Window*>(data);
    std::string chosen;
    const char* filter = w->tool->potential ? "Quelm potential file\t*.quelm" : "LAMMPS custom dump file\t*.lmc";
    if (QN_choose_file("Save file", Fl_Native_File_Chooser::BROWSE_SAVE_FILE, filter, chosen))
        w->output->value(output_name(*w->tool, chosen).c_str());
}

// The outcome in the window's status line and in the message area; a
// failure is also alerted.
void report(Window* w, bool ok, const std::string& text) {
    w->status->copy_label(text.c_str());
    w->status->labelcolor(ok ? FL_FOREGROUND_COLOR : FL_RED);
    w->status->redraw();
    if (ok)
        QN_message(text.c_str());
    else
        QN_message_alert(text.c_str());
}

void transfer_cb(Fl_Widget*, void* data) {
    auto* w = static_cast<Window*>(data);
    const Tool& tool = *w->tool;
    const std::string in = field_text(w->input);
    std::string out = field_text(w->output);
    if (in.empty()) {
        report(w, false, std::string("Please choose the input file first: ") + tool.input_what + " to convert");
        return;
    }
    if (!QB_file_exists(in)) {
        report(w, false, "Cannot read the input file: " + in + " does not exist");
        return;
    }
    if (out.empty()) {
        report(w, false, std::string("Please choose the output file first: ") + tool.output_what);
        return;
    }
    out = output_name(tool, out);
    w->output->value(out.c_str());  // the name written, as the chooser gives it
    std::string message;
    const bool ok = tool.run(in, out, message);
    report(w, ok, message);
}

void delete_cb(Fl_Widget* win, void* data) {
    win->hide();
    Fl::delete_widget(win);
    if (QN_tools_window == win) QN_tools_window = nullptr;
    delete static_cast<Window*>(data);
}

void open_window(const Tool& tool) {
    // Typed or chosen paths: the fields are wide and grow with the window.
    auto* win = new Fl_Double_Window(540, 190, tool.title);
    auto* state = new Window{&tool, nullptr, nullptr, nullptr};
    state->input = new QN_hint_input(100, 10, 330, 30, "Input file:");
    state->input->hint(tool.input_hint);
    state->input->tooltip("The file to convert: type its path or choose it with Select");
    auto* pick_in = new Fl_Button(440, 10, 90, 30, "Select...");
    pick_in->callback(input_cb, state);
    state->output = new QN_hint_input(100, 50, 330, 30, "Output file:");
    state->output->hint(tool.potential ? "name.quelm" : "name.lmc");
    state->output->tooltip(tool.potential ? "The .quelm file to write (\".quelm\" is added when missing)"
                                          : "The LAMMPS custom dump to write (\".lmc\" is added when missing)");
    auto* pick_out = new Fl_Button(440, 50, 90, 30, "Select...");
    pick_out->callback(output_cb, state);
    auto* go = new Fl_Button(10, 90, 520, 30, "Transfer");
    go->callback(transfer_cb, state);
    state->status = new Fl_Box(10, 130, 520, 50);
    state->status->box(FL_THIN_DOWN_BOX);
    state->status->align(FL_ALIGN_INSIDE | FL_ALIGN_LEFT | FL_ALIGN_TOP | FL_ALIGN_WRAP | FL_ALIGN_CLIP);
    state->status->labelsize(12);
    win->end();
    win->resizable(state->input);
    win->size_range(540, 190, 0, 190);  // wider for long paths; the rows keep their height
    win->callback(delete_cb, state);
    win->show();
    QN_tools_window = win;
}

std::string with_ending(const std::string& chosen, const std::string& ending) {
    const bool ends = chosen.size() > ending.size() &&
                      chosen.compare(chosen.size() - ending.size(), ending.size(), ending) == 0;
    return ends ? chosen : chosen + ending;
}

}  // namespace

std::string QN_tools_quelm_name(const std::string& chosen) { return with_ending(chosen, ".quelm"); }
std::string QN_tools_lmc_name(const std::string& chosen) { return with_ending(chosen, ".lmc"); }

void QN_alloy2quelm() { open_window(kAlloy); }
void QN_fs2quelm() { open_window(kFs); }
void QN_DatST2lmp() { open_window(kSt); }
void QN_DatAES2lmp() { open_window(kAes); }

// ============================================================ in the window

QN_subsystem QN_tools_subsystem() {
    QN_subsystem part;
    part.name = "Converters";
    part.menu = {
        {"&Tools/&Potential transformation/EAM", 0, QN_alloy2quelm, 0},
        {"&Tools/&Potential transformation/FS", 0, QN_fs2quelm, 0},
        {"&Tools/&Dump transformation/DatST", 0, QN_DatST2lmp, 0},
        {"&Tools/&Dump transformation/DatAES", 0, QN_DatAES2lmp, 0},
    };
    return part;
}
