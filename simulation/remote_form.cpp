#include "simulation/remote_form.h"

#include <FL/Fl.H>
#include <FL/Fl_Browser.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Light_Button.H>
#include <FL/Fl_Menu_Button.H>
#include <FL/Fl_Scroll.H>
#include <FL/Fl_Secret_Input.H>
#include <FL/Fl_Tree.H>
#include <FL/Fl_Tree_Item.H>
#include <FL/Fl_Value_Input.H>

#include <cstring>
#include <memory>
#include <filesystem>
#include <system_error>

#include "app/quelm_bind.h"
#include "app/quelm_dialogs.h"
#include "app/quelm_shell.h"
#include "app/quelm_widgets.h"
#include "qb/qb_file.h"
#include "simulation/campaign.h"
#include "store/quelm_store.h"
#include "simulation/ssh_hosts.h"

namespace fs = std::filesystem;

std::string QN_menu_escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '/' || c == '\\' || c == '_') out += '\\';
        if (c == '&') out += '&';
        out += c;
    }
    return out;
}

void QN_framed(Fl_Group* g) {
    g->box(FL_SHADOW_FRAME);
    g->align(FL_ALIGN_TOP_LEFT);
    g->resizable(nullptr);
}

Fl_Scroll* QN_simulation_tab(const char* label) {
    // Below the bar of the tabs being built; alone, the size of a window's.
    Fl_Group* tabs = Fl_Group::current();
    const int x = tabs ? tabs->x() : 0, y = tabs ? tabs->y() : 0;
    const int w = tabs ? tabs->w() : QN_SIM_WINDOW_W, h = tabs ? tabs->h() : QN_SIM_TABS_H;
    auto* s = new Fl_Scroll(x, y + QN_SIM_TAB_BAR, w, h - QN_SIM_TAB_BAR, label);
    s->type(Fl_Scroll::VERTICAL);
    s->color(FL_WHITE);
    s->box(FL_FLAT_BOX);
    return s;
}

void QN_loop_callback(Fl_Widget* light, void* data) {
    auto* loop = static_cast<QN_loop_field*>(data);
    const bool on = static_cast<Fl_Light_Button*>(light)->value() != 0;
    for (Fl_Widget* w : {static_cast<Fl_Widget*>(loop->start), static_cast<Fl_Widget*>(loop->end),
                         static_cast<Fl_Widget*>(loop->step)}) {
        if (on)
            w->show();
        else
            w->hide();
    }
    if (on)
        loop->single->hide();
    else
        loop->single->show();
    if (Fl_Group* p = light->parent()) p->redraw();
}

bool QN_ask_yes(const std::string& question) {
    return QN_choice_hook && QN_choice_hook(question.c_str(), "No", "Yes") == 1;
}

bool QN_confirm_host_key(const QN_ssh_hostkey& key) {
    return QN_ask_yes("The server " + key.host + " is not known yet.\nIts " + key.type + " key has the fingerprint\n" +
                      key.fingerprint + "\nTrust this server and remember its key?");
}

namespace {

// The server of the settings last taken from a window: remembered among the
// recent servers once an action on it succeeded.
std::string last_server;

void remember_last_server() {
    if (!last_server.empty()) QN_remember_server(last_server);
}

bool ask_secret(const QN_ssh_prompt& prompt, std::string& answer) {
    return QN_secret_hook && QN_secret_hook(prompt.text, answer);
}

// The Server field's list: what QN_server_choices offers when it opens.
class server_menu : public Fl_Menu_Button {
public:
    server_menu(Fl_Input* field) : Fl_Menu_Button(field->x() + field->w(), field->y(), 20, field->h()), field_(field) {
        tooltip("Servers used last and the Host aliases of ~/.ssh/config");
        callback(picked, this);
        refresh();
    }
    int handle(int event) override {
        if (event == FL_PUSH) refresh();
        return Fl_Menu_Button::handle(event);
    }
    void refresh() {
        clear();
        for (const std::string& s : QN_server_choices()) add(QN_menu_escape(s).c_str());
        if (size() <= 1) add("(no server used yet, no alias in ~/.ssh/config)", 0, nullptr, nullptr, FL_MENU_INACTIVE);
    }

private:
    static void picked(Fl_Widget*, void* data) {
        auto* self = static_cast<server_menu*>(data);
        const Fl_Menu_Item* item = self->mvalue();
        if (!item || !item->label() || (item->flags & FL_MENU_INACTIVE)) return;
        // The text as it was, without the menu's escapes.
        const int k = static_cast<int>(item - self->menu());
        const std::vector<std::string> choices = QN_server_choices();
        if (k < 0 || k >= static_cast<int>(choices.size())) return;
        self->field_->value(choices[static_cast<size_t>(k)].c_str());
        self->field_->do_callback();
    }
    Fl_Input* field_;
};

}  // namespace

std::string QN_shown_text(const std::string& stored) { return QN_is_placeholder(stored) ? std::string() : stored; }

Fl_Input* QN_server_field(int x, int y, int w, const char* label) {
    const std::string l = label ? label : "";
    if (l == "Password:") {
        auto* in = new Fl_Secret_Input(x, y, w, 30, label);
        in->tooltip("Empty: your SSH keys and agent serve, and what the server asks is asked in a dialog");
        in->when(FL_WHEN_CHANGED);
        return in;
    }
    auto* in = new QN_hint_input(x, y, l == "Server:" ? w - 20 : w, 30, label);
    if (l == "Server:") {
        in->hint("cluster.example.org");
        QN_server_field_menu(in);
    } else if (l == "User Name:") {
        in->hint("user name");
        in->tooltip("Empty: the user your SSH configuration names for the server");
    } else if (l == "Server Folder:") {
        in->hint("/scratch/you/run");
        in->tooltip("The folder on the server that holds the task folders R1, R2 ...");
    } else if (l == "Submit Command:") {
        in->hint("sbatch job.sh");
        in->tooltip("Run in each task folder on the server (direct scheduler)");
    }
    in->when(FL_WHEN_CHANGED);
    return in;
}

Fl_Menu_Button* QN_server_field_menu(Fl_Input* field) {
    if (!field) return nullptr;
    field->tooltip("A Host alias of ~/.ssh/config, a host name or an address, as user@host:port when needed");
    return new server_menu(field);
}

bool QN_server_options(const std::string& server, const std::string& user, const std::string& password,
                       QN_ssh_options& options) {
    QN_ssh_target target;
    std::string why;
    if (QN_shown_text(server).find_first_not_of(" \t") == std::string::npos) {
        QN_message_alert("Please enter the Server: a Host alias of your SSH configuration, a host name or an "
                         "address (user@host:port when needed)");
        return false;
    }
    if (!QN_ssh_parse_target(server, target, why)) {
        QN_message_alert(("Server must be a Host alias of your SSH configuration, a host name or an address "
                          "(user@host:port when needed), not \"" + server + "\": " + why)
                             .c_str());
        return false;
    }
    options.host = server;
    options.port = 0;
    options.user = QN_shown_text(user);
    // Empty: the keys of the SSH configuration and the agent, and questions
    // the server asks are shown in a dialog.
    options.password = password;
    options.known_hosts.clear();  // $HOME/.ssh/known_hosts
    options.accept_new_host_key = false;
    options.confirm_new_host_key = QN_confirm_host_key;
    options.ask = ask_secret;
    options.timeout = 30;
    last_server = server;
    const size_t b = last_server.find_first_not_of(" \t"), e = last_server.find_last_not_of(" \t");
    last_server = b == std::string::npos ? std::string() : last_server.substr(b, e - b + 1);
    return true;
}

void QN_window_questions(QN_ssh_options& options) {
    options.confirm_new_host_key = QN_confirm_host_key;
    options.ask = ask_secret;
}

namespace {

struct SchedulerTab {
    int group = -1;
    Fl_Choice* kind = nullptr;
    std::vector<Fl_Widget*> settings;
};
std::vector<std::unique_ptr<SchedulerTab>> scheduler_tabs;

void show_job_settings(SchedulerTab& t) {
    const QN_scheduler_kind* kind = QN_scheduler_find(QN_stored_text(t.group, "S_sched", "direct"));
    for (Fl_Widget* w : t.settings) {
        if (kind && kind->queued)
            w->activate();
        else
            w->deactivate();
    }
}

void scheduler_cb(Fl_Widget*, void* data) {
    auto& t = *static_cast<SchedulerTab*>(data);
    const int k = t.kind->value();
    const auto& kinds = QN_scheduler_kinds();
    if (k >= 0 && static_cast<size_t>(k) < kinds.size()) QN_set_bit_char(t.group, "S_sched", kinds[k].name);
    show_job_settings(t);
}

}  // namespace

void QN_scheduler_tab(int group, int owner) {
    Fl_Scroll* s = QN_simulation_tab("Scheduler");
    const int x0 = s->x(), y0 = s->y() - QN_SIM_TAB_BAR;  // the tabs' corner
    const int gw = s->w() - 20;
    // Two columns of fields (labels right-aligned before them); the texts
    // that run long take a whole row.
    const int left = x0 + 150, right = x0 + gw / 2 + 150, half = gw / 2 - 160, whole = gw - 160;
    auto* g = new Fl_Group(x0 + 10, y0 + 60, gw, 10, "Scheduler");
    QN_framed(g);
    auto tab = std::make_unique<SchedulerTab>();
    tab->group = group;
    tab->kind = new Fl_Choice(left, y0 + 70, whole, 30, "Scheduler:");
    const auto& kinds = QN_scheduler_kinds();
    const std::string chosen = QN_stored_text(group, "S_sched", "direct");
    for (size_t k = 0; k < kinds.size(); k++) {
        tab->kind->add(QN_menu_escape(kinds[k].label).c_str());
        if (chosen == kinds[k].name) tab->kind->value(static_cast<int>(k));
    }
    if (tab->kind->value() < 0) tab->kind->value(0);
    tab->kind->callback(scheduler_cb, tab.get());
    tab->kind->tooltip("Direct: the Submit Command runs in each task folder at once; a scheduler queues the tasks "
                       "as job arrays");
    struct Field {
        const char* label;
        const char* text;
        bool wide;
        const char* hint;
        const char* tip;
    } fields[] = {
        {"S_jobname", "Job Name:", false, "folder name", "Empty: the name of the server folder"},
        {"S_partition", "Partition:", false, "site default", nullptr},
        {"S_jobtime", "Time:", false, "site default", "Wall time of each task, as HH:MM:SS"},
        {"S_nodes", "Nodes:", false, nullptr, nullptr},
        {"S_ntasks", "Tasks:", false, nullptr, "MPI processes of each task (--ntasks)"},
        {"S_cpus", "CPUs per Task:", false, nullptr, nullptr},
        {"S_jobmem", "Memory:", false, "site default", "Memory of each task (4G, 500M)"},
        {"S_account", "Account:", false, "site default", "The project billed (project_2001234)"},
        {"S_qos", "QOS:", false, "site default", nullptr},
        {"S_maxrun", "Max Running:", false, nullptr, "How many tasks of an array run at once (0: no limit)"},
        {"S_jobenv", "Environment:", true, "e.g. module load lammps",
         "Lines run before the task, separated by ';' (module load lammps; export OMP_NUM_THREADS=1)"},
        {"S_launcher", "Launcher:", true, "e.g. srun lmp -in in", "The command that runs LAMMPS in the task folder"},
        {"S_campdir", "Campaign Folder:", true, "the current folder",
         "The local folder where the campaign's record (NAME.qnc) is written"},
    };
    int y = y0 + 110;
    bool column = false;  // false: the left one
    for (const Field& f : fields) {
        if (f.wide && column) {
            column = false;
            y += 40;
        }
        const int x = f.wide || !column ? left : right;
        auto* in = new QN_hint_input(x, y, f.wide ? whole : half, 30, f.text);
        QN_get_char(in, group, f.label, owner);
        // "." (the default campaign folder) shows as the hint that says it.
        if (QN_is_placeholder(in->value()) || (std::strcmp(f.label, "S_campdir") == 0 && std::strcmp(in->value(), ".") == 0))
            in->value("");
        if (f.hint) in->hint(f.hint);
        if (f.tip) in->tooltip(f.tip);
        tab->settings.push_back(in);
        if (f.wide || column) y += 40;
        column = !f.wide && !column;
    }
    g->size(gw, y - g->y() + (column ? 40 : 0));
    show_job_settings(*tab);
    scheduler_tabs.push_back(std::move(tab));
    g->end();
    s->end();
}

void QN_submit_through_scheduler(int group, const QN_ssh_options& options, const std::string& folder,
                                 const std::string& source,
                                 const std::function<QN_submit_report(bool, QN_queue_request*)>& run,
                                 int settings_group) {
    QN_queue_request queue;
    std::string campaign_dir, why;
    // A direct submission needs none of the job settings.
    const QN_scheduler_kind* named = QN_scheduler_find(QN_stored_text(group, "S_sched", "direct"));
    if (named && !named->queued) {
        QN_submit_and_report(folder, [&](bool overwrite) { return run(overwrite, nullptr); });
        return;
    }
    if (!QN_job_from_group(group, folder, queue.kind, queue.job, campaign_dir, why)) {
        QN_message_alert(why.c_str());
        return;
    }
    if (!queue.kind) {
        QN_message_alert(("Unknown scheduler \"" + QN_stored_text(group, "S_sched", "") + "\"").c_str());
        return;
    }
    if (!queue.kind->queued) {
        QN_submit_and_report(folder, [&](bool overwrite) { return run(overwrite, nullptr); });
        return;
    }
    std::string reason;
    if (!QB_read_text_file(QN_job_template_path(*queue.kind), queue.templ, &reason)) {
        QN_message_alert(("Job-script template: " + reason).c_str());
        return;
    }
    std::string script;
    if (!queue.kind->script(queue.templ, queue.job, "/checked", {1, 1, {}}, script, why)) {
        QN_message_alert(why.c_str());
        return;
    }
    std::error_code ec;
    if (!std::filesystem::is_directory(campaign_dir, ec)) {
        QN_message_alert(("Can not access the campaign folder " + campaign_dir).c_str());
        return;
    }
    QN_submit_report report;
    QN_submit_and_report(folder, [&](bool overwrite) {
        queue.campaign = QN_campaign();
        report = run(overwrite, &queue);
        return report;
    });
    if (queue.campaign.arrays.empty()) return;
    const std::string path = QN_campaign_new_path(campaign_dir, queue.job.job_name);
    if (QN_campaign_record(queue.campaign, options, source, settings_group >= 0 ? settings_group : group, path, why))
        QN_message(("Campaign recorded in " + path + " (" + std::to_string(queue.campaign.tasks) + " tasks)").c_str());
    else
        QN_message_alert(why.c_str());
}

void QN_show_summary(bool ok, const std::string& summary) {
    if (ok) remember_last_server();
    if (ok)
        QN_message(summary.c_str());
    else
        QN_message_alert(summary.c_str());
}

void QN_submit_and_report(const std::string& folder, const std::function<QN_submit_report(bool)>& run) {
    QN_wait("Submitting, please wait");
    QN_submit_report report = run(false);
    QN_wait_end();
    if (report.exists) {
        if (!QN_ask_yes(folder + " already holds a submitted run (R1). Overwrite it?")) {
            QN_message(("Nothing was submitted: " + folder + "/R1 already exists on the server.").c_str());
            return;
        }
        QN_wait("Submitting, please wait");
        report = run(true);
        QN_wait_end();
    }
    QN_show_summary(report.ok(), report.summary());
}

namespace {

// Sorts every level below item by label, byte by byte.
void sort_level(Fl_Tree_Item* item) {
    if (!item) return;
    const int n = item->children();
    for (int i = 0; i < n; i++)
        for (int j = i + 1; j < n; j++) {
            const char* a = item->child(i)->label();
            const char* b = item->child(j)->label();
            if (std::strcmp(a ? a : "", b ? b : "") > 0) item->swap_children(i, j);
        }
    for (int i = 0; i < n; i++) sort_level(item->child(i));
}

// The relative path of a tree item (its labels from below the root).
std::string item_path(Fl_Tree* tree, Fl_Tree_Item* item) {
    std::string path;
    for (Fl_Tree_Item* i = item; i && i != tree->root(); i = i->parent()) {
        const std::string label = i->label() ? i->label() : "";
        path = path.empty() ? label : label + "/" + path;
    }
    return path;
}

void viewer_close_cb(Fl_Widget* w, void*) {
    w->hide();
    Fl::delete_widget(w);
}

}  // namespace

Fl_Tree* QN_download_tree(void (*callback)(Fl_Widget*, void*), void* data) {
    auto* tree = new Fl_Tree(20, 70, 250, 310);
    tree->showroot(0);
    tree->selectmode(FL_TREE_SELECT_MULTI);
    tree->sortorder(FL_TREE_SORT_NONE);
    tree->callback(callback, data);
    tree->when(FL_WHEN_CHANGED);
    return tree;
}

void QN_tree_request(Fl_Tree* tree, QN_download_filelist& list, const QN_ssh_options& options,
                     const std::string& folder) {
    std::string message;
    QN_wait("Listing the server folder");
    QNDF_init(&list);
    const int result = QNDF_request(&list, options, folder, message);
    QN_wait_end();
    tree->clear_children(tree->root());
    if (result < 0) {
        tree->redraw();
        QN_message_alert(message.empty() ? "Can not list the server folder" : message.c_str());
        return;
    }
    remember_last_server();
    const std::vector<std::string> files = QNDF_files(list);
    for (const std::string& f : files) tree->add(f.c_str());
    sort_level(tree->root());
    tree->redraw();
    std::string text = std::to_string(files.size()) + " files below " + folder + " on the server";
    if (!list.refused.empty())
        text += "\n" + std::to_string(list.refused.size()) + " names were refused (they can not be saved locally)";
    QN_message(text.c_str());
}

std::vector<std::string> QN_tree_selected(Fl_Tree* tree) {
    std::vector<std::string> names;
    for (Fl_Tree_Item* i = tree->first(); i; i = tree->next(i))
        if (i != tree->root() && i->is_selected() && i->children() == 0) names.push_back(item_path(tree, i));
    return names;
}

QN_download_report QN_download_and_report(const std::vector<std::string>& names, const QN_ssh_options& options,
                                          const std::string& folder, const std::string& save) {
    std::error_code ec;
    int present = 0;
    for (const std::string& n : names)
        if (fs::exists(fs::path(save) / n, ec)) present++;
    QN_existing existing = QN_existing::refuse;
    if (present > 0)
        existing = QN_ask_yes(std::to_string(present) + " of the selected files already exist in " + save +
                              ".\nReplace them?")
                       ? QN_existing::overwrite
                       : QN_existing::skip;
    QN_wait("Downloading Selected Data");
    const QN_download_report report = QNDF_download(options, folder, names, save, existing, [](int k, int n) {
        if (n > 0) QN_wait_update(100.0 * k / n);
    });
    QN_wait_end();
    QN_show_summary(report.ok(), report.summary());
    return report;
}

void QN_open_text_viewer(const std::string& path) {
    Fl_Group* saved = Fl_Group::current();
    Fl_Group::current(nullptr);
    auto* win = new Fl_Double_Window(560, 400);
    win->copy_label(path.c_str());
    auto* browser = new Fl_Browser(0, 0, 560, 400);
    browser->type(FL_MULTI_BROWSER);
    browser->load(path.c_str());
    browser->topline(1);
    win->resizable(browser);
    win->end();
    win->callback(viewer_close_cb);
    win->show();
    Fl_Group::current(saved);
}
