#include "tools/tools_form.h"

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Native_File_Chooser.H>
#include <FL/Fl_Output.H>

#include "app/quelm_dialogs.h"
#include "app/quelm_shell.h"
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

const Tool kAlloy = {"LAMMPS eam/alloy 2 Quelm", "Auto detect format\t*\nlammps eam /eam alloy format\t*.{eam,alloy}",
                     true, run_alloy};
const Tool kFs = {"LAMMPS eam/fs 2 Quelm", "Auto detect format\t*\nlammps fs format\t*.{fs}", true, run_fs};
const Tool kSt = {"Quelm Structure to Lammps custom dump", "Quelm dump format\t", false, run_st};
const Tool kAes = {"Quelm Atomic Stress to Lammps custom dump", "Quelm dump format\t", false, run_aes};

struct Window {
    const Tool* tool;
    Fl_Output* input;
    Fl_Output* output;
};

void input_cb(Fl_Widget*, void* data) {
    auto* w = static_cast<Window*>(data);
    std::string chosen;
    if (QN_choose_file("Open file", Fl_Native_File_Chooser::BROWSE_FILE, w->tool->input_filter, chosen))
        w->input->value(chosen.c_str());
}

void output_cb(Fl_Widget*, void* data) {
    auto* w = static_cast<Window*>(data);
    std::string chosen;
    const char* filter = w->tool->potential ? "Quelm potential file\t*.quelm" : "LAMMPS custom dump file\t*.lmc";
    if (QN_choose_file("Save file", Fl_Native_File_Chooser::BROWSE_SAVE_FILE, filter, chosen))
        w->output->value((w->tool->potential ? QN_tools_quelm_name(chosen) : QN_tools_lmc_name(chosen)).c_str());
}

void transfer_cb(Fl_Widget*, void* data) {
    auto* w = static_cast<Window*>(data);
    const std::string in = w->input->value() ? w->input->value() : "";
    if (!QB_file_exists(in)) {
        QN_message_alert("Get input failed");
        return;
    }
    std::string message;
    w->tool->run(in, w->output->value() ? w->output->value() : "", message);
    QN_message_alert(message.c_str());
}

void delete_cb(Fl_Widget* win, void* data) {
    win->hide();
    Fl::delete_widget(win);
    if (QN_tools_window == win) QN_tools_window = nullptr;
    delete static_cast<Window*>(data);
}

void open_window(const Tool& tool) {
    auto* win = new Fl_Double_Window(300, 130, tool.title);
    auto* state = new Window{&tool, nullptr, nullptr};
    state->input = new Fl_Output(60, 10, 160, 30, "Input:");
    auto* pick_in = new Fl_Button(220, 10, 70, 30, "Select");
    pick_in->callback(input_cb, state);
    state->output = new Fl_Output(60, 50, 160, 30, "Output:");
    auto* pick_out = new Fl_Button(220, 50, 70, 30, "Select");
    pick_out->callback(output_cb, state);
    auto* go = new Fl_Button(10, 90, 280, 30, "Transfer");
    go->callback(transfer_cb, state);
    win->end();
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
