#include "app/quelm_import.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Native_File_Chooser.H>
#include <FL/Fl_Slider.H>
#include <FL/Fl_Value_Input.H>
#include <FL/filename.H>

#include <algorithm>
#include <cctype>
#include <cmath>

#include "store/quelm_model_io.h"
#include "app/quelm_window.h"
#include "atomkit/atomkit_panel.h"
#include "qb/qb_file.h"
#include "qb/qb_formats.h"
#include "qb/qb_frames.h"
#include "qb/qb_gzip.h"
#include "qb/qb_text.h"

std::vector<std::string> QN_file_list;
std::vector<int> QN_file_frames;
int QN_file_list_current = 0;
Fl_Value_Input* QN_file_list_input = nullptr;
Fl_Slider* QN_file_list_slider = nullptr;
Fl_Box* QN_blank_Slider = nullptr;
Fl_Box* QN_file_list_label = nullptr;

namespace {

// A POSCAR names every type's element: asks for the names the model lacks
// and gives them to it. 1 named (or nothing to ask), 0 Cancel, -1 refused
// (alerted).
int ask_elements(QB_tools* model) {
    if (QB_vasp_unnamed_type(model) == 0) return 1;
    const std::string known = QB_elename_list(model);
    const bool any = known.find_first_not_of(',') != std::string::npos;
    const std::string question =
        model->ntypes == 1
            ? std::string("A POSCAR file names the element of each atom type.\nElement of type 1 (e.g. Cu):")
            : QB_format("A POSCAR file names the element of each atom type.\n"
                        "Elements of types 1 ... %d, in type order (e.g. Cu,Ni):",
                        model->ntypes);
    std::string answer;
    if (!QN_text_hook(question.c_str(), any ? known.c_str() : "", answer)) return 0;
    std::string why;
    if (QB_set_elenames(model, answer, &why) != 1) {
        QN_message_alert(("Saving file failed\n" + why).c_str());
        return -1;
    }
    return 1;
}

const char* const kOpenFilters =
    "Auto detect format\t*\nLAMMPS custom dump file\t*.lmc\nLAMMPS data file\t*.lmp\n"
    "VASP POSCAR file Cartesian\t*.POSCAR\nVASP POSCAR file Direct\t*.POSCAR\nExtended XYZ file\t*.{xyz,extxyz}\n"
    "gzipped file\t*.gz";
constexpr int kFilterCount = 5;

// The frame index of the multi-frame file on the bar, kept while its frames
// are stepped through so that a step reads one frame and scans nothing.
QB_frames& frame_index() {
    static QB_frames frames;
    return frames;
}

// Atomkit, when shown, works on the model just read.
void backup_for_atomkit() {
    if (model_choice && model_choice->value() == 0) AK_backup_model();
}

// Replaces the current model by what path holds, when it can be read.
int read_into_model(const char* path, bool report_success) {
    const int types = Current_Model.ntypes;
    QB_tools fresh;
    std::string text;
    const int result = QN_read_model(&fresh, path, text);
    if (result == 1) {
        Current_Model = std::move(fresh);
        if (report_success) QN_message(text.c_str());
        if (Current_Model.ntypes == types) QNGC.analysis_rebuild = 0;
    } else if (result < 0) {
        QN_message_alert(text.c_str());
    }
    return result;
}

// Replaces the current model by frame k of the indexed file, when it reads.
int read_frame_into_model(const QB_frames& frames, int k, const std::string& remark) {
    const int types = Current_Model.ntypes;
    QB_tools fresh;
    std::string reason, text;
    const int code = frames.read(k, &fresh, &reason);
    int result = QN_read_report(code, &fresh, text, reason);
    if (result == 1) {
        Current_Model = std::move(fresh);
        text += QB_format("\nFrame %d of %d, timestep %lld", k + 1, frames.count(), frames.timestep(k));
        if (!remark.empty()) text += "\n" + remark;
        QN_message(text.c_str());
        if (Current_Model.ntypes == types) QNGC.analysis_rebuild = 0;
    } else {
        if (result == 0) text = "Reading file failed\n" + (reason.empty() ? frames.path() : reason);
        QN_message_alert(text.c_str());
        result = -1;
    }
    return result;
}

void step_to(double v) {
    if (!(v >= 0) || v >= static_cast<double>(QN_file_list.size())) return;
    QN_file_list_current = static_cast<int>(v);
    if (QN_file_list_input) QN_file_list_input->value(QN_file_list_current);
    if (QN_file_list_slider) QN_file_list_slider->value(QN_file_list_current);
    const size_t at = static_cast<size_t>(QN_file_list_current);
    const int frame = at < QN_file_frames.size() ? QN_file_frames[at] : -1;
    if (frame >= 0) {
        QB_frames& frames = frame_index();
        // Opened again should the bar hold frames of another file.
        if (frames.path() != QN_file_list[at]) {
            std::string reason;
            if (frames.open(QN_file_list[at], &reason) != 1) {
                QN_message_alert(("Reading file failed\n" + reason).c_str());
                return;
            }
        }
        if (read_frame_into_model(frames, frame, std::string()) != 1) return;
    } else if (SC_get_file_private(QN_file_list[at].c_str()) != 1) {
        return;
    }
    backup_for_atomkit();
    QN_update_model();
    QN_model_saved();
}

}  // namespace

std::string fl_file_pattern(const std::string& path) { return QN_series_pattern(path); }

int SC_get_file_private(const char* path) { return read_into_model(path, true); }

int QB_get_file_private(QB_tools* system, const char* path) {
    QB_tools fresh;
    std::string text;
    const int result = QN_read_model(&fresh, path, text);
    if (result == 1)
        *system = std::move(fresh);
    else if (result < 0)
        QN_message_alert(text.c_str());
    return result;
}

void QN_file_list_add(const char* path) {
    QN_file_list.emplace_back(path ? path : "");
    QN_file_frames.resize(QN_file_list.size() - 1, -1);
    QN_file_frames.push_back(-1);
}

void QN_file_list_free() {
    QN_file_list.clear();
    QN_file_frames.clear();
    QN_file_list_current = 0;
}

void QN_get_file_model() {
    std::string chosen;
    if (!QN_choose_file("Open file", Fl_Native_File_Chooser::BROWSE_FILE, kOpenFilters, chosen)) return;
    if (!QN_ask_model_change()) return;
    QN_import_path(chosen);
}

int QN_import_path(const std::string& chosen) {
    // A file of many frames: the bar steps through its frames.
    {
        QB_frames& frames = frame_index();
        std::string reason;
        const int opened = frames.open(chosen, &reason);
        if (opened < 0) {
            QN_message_alert(("Reading file failed\n" + reason).c_str());
            return -1;
        }
        if (opened == 1 && (frames.count() > 1 || !frames.remark().empty())) {
            const int result = read_frame_into_model(frames, 0, frames.remark());
            if (result != 1) return result;
            QN_file_list.assign(static_cast<size_t>(frames.count()), chosen);
            QN_file_frames.resize(static_cast<size_t>(frames.count()));
            for (int k = 0; k < frames.count(); k++) QN_file_frames[static_cast<size_t>(k)] = k;
            QN_file_list_current = 0;
            backup_for_atomkit();
            QN_update_model();
            QN_model_saved();
            return 1;
        }
        frames = QB_frames();
    }
    // The series of the chosen file, in the folder's numeric order.
    std::vector<std::string> series = QN_series_of(chosen);
    if (series.empty()) series.push_back(chosen);
    const int current = static_cast<int>(std::find(series.begin(), series.end(), chosen) - series.begin());

    const int result = SC_get_file_private(chosen.c_str());
    if (result != 1) return result;
    QN_file_frames.assign(series.size(), -1);
    QN_file_list = std::move(series);
    QN_file_list_current = current;
    backup_for_atomkit();
    QN_update_model();
    QN_model_saved();
    return 1;
}

void QN_mufile_bar() {
    static bool inited_bar = false;
    if (!inited_bar && sliding_region && main_window) {
        // Input, slider, then the label at the right-hand end of the strip.
        const int x = sliding_region->x(), y = sliding_region->y(), h = sliding_region->h();
        const int label_w = QN_file_list_label ? QN_file_list_label->w() : 0;
        const int w = sliding_region->w() - label_w;
        sliding_region->begin();
        QN_file_list_input = new Fl_Value_Input(x, y + 2, 50, h - 4);
        QN_file_list_input->tooltip("Index in the sequence, from 0");
        QN_file_list_slider = new Fl_Slider(x + 50, y + 2, w - 50, h - 4);
        sliding_region->end();
        sliding_region->resizable(QN_file_list_slider);
        QN_file_list_slider->type(FL_HOR_NICE_SLIDER);
        for (Fl_Valuator* v : {static_cast<Fl_Valuator*>(QN_file_list_input), static_cast<Fl_Valuator*>(QN_file_list_slider)}) {
            v->box(FL_UP_BOX);
            v->when(FL_WHEN_RELEASE);
            v->step(1);
        }
        QN_file_list_input->callback(QN_change_file1);
        QN_file_list_slider->callback(QN_change_file2);
        inited_bar = true;
    }
    if (!inited_bar) return;
    const int size = static_cast<int>(QN_file_list.size());
    if (size < 2) {
        QN_file_list_input->range(0, 1);
        QN_file_list_slider->bounds(0, 1);
        QN_file_list_input->hide();
        QN_file_list_slider->hide();
        if (QN_blank_Slider) QN_blank_Slider->show();
        if (QN_file_list_label) QN_file_list_label->copy_label("");
    } else {
        QN_file_list_input->range(0, size - 1);
        QN_file_list_slider->bounds(0, size - 1);
        QN_file_list_input->value(QN_file_list_current);
        QN_file_list_slider->value(QN_file_list_current);
        QN_file_list_input->show();
        QN_file_list_slider->show();
        if (QN_blank_Slider) QN_blank_Slider->hide();
        if (QN_file_list_label) QN_file_list_label->copy_label(QN_sequence_text().c_str());
    }
    main_window->redraw();
}

std::string QN_sequence_text() {
    const int size = static_cast<int>(QN_file_list.size());
    if (size < 1 || QN_file_list_current < 0 || QN_file_list_current >= size) return "";
    const size_t at = static_cast<size_t>(QN_file_list_current);
    const int frame = at < QN_file_frames.size() ? QN_file_frames[at] : -1;
    const QB_frames& frames = frame_index();
    if (frame >= 0 && frames.path() == QN_file_list[at] && frame < frames.count())
        return QB_format("Frame %d of %d, step %lld", QN_file_list_current + 1, size, frames.timestep(frame));
    return QB_format("File %d of %d: %s", QN_file_list_current + 1, size,
                     fl_filename_name(QN_file_list[at].c_str()));
}

void QN_change_file1(Fl_Widget*, void*) { step_to(QN_file_list_input->value()); }
void QN_change_file2(Fl_Widget*, void*) { step_to(QN_file_list_slider->value()); }

void QN_save_file_model() {
    if (Current_Model.natoms == 0) {
        QN_message_alert("No model in current scene");
        return;
    }
    std::string chosen;
    int filter = 0;
    if (QN_choose_file_to_save(QN_save_filters, chosen, &filter)) QN_export_path(chosen, filter);
}

int QN_export_path(const std::string& chosen, int filter) {
    if (filter < 0 || filter >= kFilterCount) filter = 0;
    const std::string name = QN_export_name(chosen, filter);
    if (name != chosen && QB_file_exists(name)) {
        const std::string question = "The file " + name + " exists already.\nWould you like to overwrite it?";
        if (QN_choice_hook(question.c_str(), "No", "Yes") == 0) return 0;
    }
    if (filter == 2 || filter == 3) {
        const int named = ask_elements(&Current_Model);
        if (named != 1) return named;
    }
    const int written = QN_write_model(&Current_Model, name.c_str(), filter);
    if (written == 1) {
        QN_model_saved();
        QN_message_alert("Save file complete");
        return 1;
    }
    const std::string failure = "Saving file failed\n" + QN_write_failure(&Current_Model, written, name);
    QN_message_alert(failure.c_str());
    return -1;
}
