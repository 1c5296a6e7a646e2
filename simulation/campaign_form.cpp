// Simulation > Campaigns. Everything it does is a call of the campaign core;
// the window shows the records, the states and the reports.
#include "simulation/campaign_form.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Hold_Browser.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Multi_Browser.H>
#include <FL/Fl_Native_File_Chooser.H>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "app/quelm_bind.h"
#include "app/quelm_dialogs.h"
#include "app/quelm_shell.h"
#include "app/quelm_widgets.h"
#include "qb/qb_file.h"
#include "simulation/campaign.h"
#include "simulation/remote_form.h"

namespace fs = std::filesystem;

namespace {

struct CampaignsWindow {
    Fl_Double_Window* window = nullptr;
    Fl_Input* folder = nullptr;
    Fl_Hold_Browser* records = nullptr;
    Fl_Multi_Browser* tasks = nullptr;
    Fl_Box* counts = nullptr;
    Fl_Input* save = nullptr;
    std::vector<std::string> paths;  // the records listed
    std::string chosen;              // the record shown
    QN_campaign campaign;
    QN_campaign_status status;
    std::string counts_text;
};

CampaignsWindow* the = nullptr;

Fl_Color state_colour(QN_task_state s) {
    switch (s) {
        case QN_task_state::completed: return fl_rgb_color(0, 130, 0);
        case QN_task_state::failed:
        case QN_task_state::timeout:
        case QN_task_state::out_of_memory: return FL_RED;
        case QN_task_state::cancelled: return FL_DARK3;
        case QN_task_state::running: return FL_BLUE;
        case QN_task_state::pending: return fl_rgb_color(200, 120, 0);
        case QN_task_state::unknown: break;
    }
    return FL_BLACK;
}

void show_tasks(CampaignsWindow& w) {
    w.tasks->clear();
    const std::string lines = QN_campaign_status_lines(w.status);
    size_t start = 0;
    for (size_t k = 0; k < w.status.tasks.size() && start < lines.size(); k++) {
        const size_t end = lines.find('\n', start);
        const std::string line = lines.substr(start, end - start);
        start = end == std::string::npos ? lines.size() : end + 1;
        char code[32];
        std::snprintf(code, sizeof code, "@C%u@.", static_cast<unsigned>(state_colour(w.status.tasks[k].state)));
        w.tasks->add((code + line).c_str());
    }
    std::string when = w.status.polled > 0 ? QN_utc_text(w.status.polled) : std::string("never asked");
    w.counts_text = w.status.count_text() + " (" + when + ")";
    if (!w.status.error.empty()) w.counts_text += ": " + w.status.error;
    w.counts->copy_label(w.counts_text.c_str());
    w.window->redraw();
}

void list_records(CampaignsWindow& w) {
    w.records->clear();
    std::string folder = w.folder->value();
    if (folder.empty()) folder = ".";
    w.paths = QN_campaign_files(folder);
    for (const auto& p : w.paths) w.records->add(fs::path(p).filename().string().c_str());
}

bool choose(CampaignsWindow& w, int line) {
    if (line < 1 || line > static_cast<int>(w.paths.size())) return false;
    w.records->value(line);
    std::string why;
    QN_campaign c;
    if (!QN_campaign_load(w.paths[line - 1], c, why)) {
        QN_message_alert(why.c_str());
        return false;
    }
    w.chosen = w.paths[line - 1];
    w.campaign = c;
    w.status = QN_campaign_last_status(w.chosen, w.campaign);
    show_tasks(w);
    return true;
}

QN_ssh_options options_of(const QN_campaign& c) {
    QN_ssh_options o = QN_campaign_ssh_options(c);
    QN_window_questions(o);
    return o;
}

std::vector<int> selected_tasks(CampaignsWindow& w) {
    std::vector<int> tasks;
    for (int line = 1; line <= w.tasks->size(); line++)
        if (w.tasks->selected(line)) tasks.push_back(line);
    return tasks;
}

bool have_campaign(CampaignsWindow& w) {
    if (!w.chosen.empty()) return true;
    QN_message_alert("Choose a campaign first");
    return false;
}

void refresh(CampaignsWindow& w) {
    if (!have_campaign(w)) return;
    QN_wait("Asking the scheduler, please wait");
    w.status = QN_campaign_refresh(w.chosen, w.campaign, options_of(w.campaign), QN_POLL_INTERVAL,
                                   static_cast<long long>(std::time(nullptr)));
    QN_wait_end();
    show_tasks(w);
    if (w.status.cached) {
        const long long next = w.status.polled + QN_POLL_INTERVAL - static_cast<long long>(std::time(nullptr));
        QN_message(("States of the last poll: the scheduler is asked again in " +
                    std::to_string(next > 0 ? next : 0) + " s")
                       .c_str());
    }
}

void cancel_selected(CampaignsWindow& w) {
    if (!have_campaign(w)) return;
    const std::vector<int> tasks = selected_tasks(w);
    if (tasks.empty()) {
        QN_message_alert("Select the tasks to cancel");
        return;
    }
    if (!QN_ask_yes("Cancel " + std::to_string(tasks.size()) + (tasks.size() == 1 ? " task" : " tasks") + " of " +
                    fs::path(w.chosen).filename().string() + "?"))
        return;
    std::string message;
    const int r = QN_campaign_cancel(options_of(w.campaign), w.campaign, tasks, message);
    QN_show_summary(r == QN_SSH_OK, message);
}

void fetch_selected(CampaignsWindow& w) {
    if (!have_campaign(w)) return;
    const std::string save = w.save->value();
    std::error_code ec;
    if (save.empty() || !fs::is_directory(save, ec)) {
        QN_message_alert(("Can not access save folder " + save).c_str());
        return;
    }
    QN_wait("Fetching, please wait");
    const QN_fetch_report report =
        QN_campaign_fetch(options_of(w.campaign), w.campaign, w.status, selected_tasks(w), save, {});
    QN_wait_end();
    QN_show_summary(report.ok(), report.summary());
}

void resubmit_failed(CampaignsWindow& w) {
    if (!have_campaign(w)) return;
    const QN_scheduler_kind* kind = QN_scheduler_find(w.campaign.scheduler);
    std::string templ, reason, why;
    if (!kind || !QB_read_text_file(QN_job_template_path(*kind), templ, &reason)) {
        QN_message_alert(("Job-script template: " + reason).c_str());
        return;
    }
    QN_wait("Submitting, please wait");
    const int n = QN_campaign_resubmit(w.chosen, w.campaign, w.status, options_of(w.campaign), templ, why);
    QN_wait_end();
    if (n < 0) {
        QN_message_alert(why.c_str());
        return;
    }
    w.status = QN_campaign_last_status(w.chosen, w.campaign);
    show_tasks(w);
    QN_message(n == 0 ? "No task has failed: nothing was submitted"
                      : ("Resubmitted " + std::to_string(n) + " tasks as job " + w.campaign.arrays.back().job_id)
                            .c_str());
}

void list_cb(Fl_Widget*, void*) { list_records(*the); }
void record_cb(Fl_Widget*, void*) { choose(*the, the->records->value()); }
void browse_cb(Fl_Widget*, void* data) {
    std::string chosen;
    if (QN_choose_file("Campaign folder", Fl_Native_File_Chooser::BROWSE_DIRECTORY, nullptr, chosen)) {
        static_cast<Fl_Input*>(data)->value(chosen.c_str());
        if (data == the->folder) list_records(*the);
    }
}
void refresh_cb(Fl_Widget*, void*) { refresh(*the); }
void cancel_cb(Fl_Widget*, void*) { cancel_selected(*the); }
void fetch_cb(Fl_Widget*, void*) { fetch_selected(*the); }
void resubmit_cb(Fl_Widget*, void*) { resubmit_failed(*the); }

void build() {
    Fl_Group* saved = Fl_Group::current();
    Fl_Group::current(nullptr);
    the = new CampaignsWindow;
    CampaignsWindow& w = *the;
    w.window = new Fl_Double_Window(760, 480, "Campaigns");
    w.window->color(FL_WHITE);
    auto* folder = new QN_hint_input(110, 10, 420, 30, "Folder:");
    folder->hint("the folder of the campaign records (.qnc)");
    folder->tooltip("The local folder where Submit wrote the campaign records (the Campaign Folder of the "
                    "Scheduler tab)");
    w.folder = folder;
    auto* browse = new Fl_Button(535, 10, 70, 30, "Browse");
    browse->callback(browse_cb, w.folder);
    auto* list = new Fl_Button(610, 10, 70, 30, "List");
    list->callback(list_cb);
    w.records = new Fl_Hold_Browser(10, 70, 220, 320, "Campaigns");
    w.records->align(FL_ALIGN_TOP_LEFT);
    w.records->callback(record_cb);
    w.tasks = new Fl_Multi_Browser(240, 70, 510, 320, "Tasks");
    w.tasks->align(FL_ALIGN_TOP_LEFT);
    w.tasks->textfont(FL_COURIER);
    w.counts = new Fl_Box(240, 392, 510, 22);
    w.counts->align(FL_ALIGN_INSIDE | FL_ALIGN_LEFT);
    auto* save = new QN_hint_input(110, 418, 420, 25, "Save Folder:");
    save->hint("local folder for the fetched results");
    save->tooltip("Fetch Selected brings the files of the ended tasks into SAVE/R1, SAVE/R2 ...");
    w.save = save;
    auto* save_browse = new Fl_Button(535, 418, 70, 25, "Browse");
    save_browse->callback(browse_cb, w.save);
    const char* labels[4] = {"Refresh", "Cancel Selected", "Fetch Selected", "Resubmit Failed"};
    Fl_Callback* callbacks[4] = {refresh_cb, cancel_cb, fetch_cb, resubmit_cb};
    for (int k = 0; k < 4; k++) {
        auto* b = new Fl_Button(10 + 150 * k, 448, 140, 28, labels[k]);
        b->callback(callbacks[k]);
    }
    w.window->end();
    w.window->resizable(w.tasks);
    w.window->size_range(760, 480);
    Fl_Group::current(saved);
}

}  // namespace

Fl_Double_Window* QN_show_campaigns(const std::string& folder) {
    if (!the) build();
    std::string dir = folder;
    if (dir.empty()) {
        std::error_code ec;
        dir = fs::current_path(ec).string();
    }
    the->folder->value(dir.c_str());
    list_records(*the);
    the->window->show();
    return the->window;
}

void QN_campaigns_menu() { QN_show_campaigns(); }

int QN_campaigns_view::records() { return the ? the->records->size() : 0; }
std::string QN_campaigns_view::record(int line) {
    const char* t = the ? the->records->text(line) : nullptr;
    return t ? t : "";
}
void QN_campaigns_view::choose(int line) {
    if (the) ::choose(*the, line);
}
int QN_campaigns_view::tasks() { return the ? the->tasks->size() : 0; }
std::string QN_campaigns_view::task(int line) {
    const char* t = the ? the->tasks->text(line) : nullptr;
    std::string text = t ? t : "";
    const size_t dot = text.find("@.");
    return dot == std::string::npos ? text : text.substr(dot + 2);
}
unsigned QN_campaigns_view::task_colour(int line) {
    const char* t = the ? the->tasks->text(line) : nullptr;
    unsigned colour = 0;
    if (t) std::sscanf(t, "@C%u", &colour);
    return colour;
}
std::string QN_campaigns_view::counts() { return the ? the->counts_text : ""; }
void QN_campaigns_view::select_task(int line, bool on) {
    if (the) the->tasks->select(line, on ? 1 : 0);
}
void QN_campaigns_view::set_save_folder(const std::string& folder) {
    if (the) the->save->value(folder.c_str());
}
void QN_campaigns_view::refresh() {
    if (the) ::refresh(*the);
}
void QN_campaigns_view::cancel_selected() {
    if (the) ::cancel_selected(*the);
}
void QN_campaigns_view::fetch_selected() {
    if (the) ::fetch_selected(*the);
}
void QN_campaigns_view::resubmit_failed() {
    if (the) ::resubmit_failed(*the);
}
