// What the Simulation menu's windows share: menu-item texts, framed groups
// and tabs, the yes/no question, the host-key question, connection settings
// from a window's fields, the submission with its overwrite question, and the
// download tree with its downloads. Reports go to the message area.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "simulation/remote_tasks.h"
#include "simulation/ssh_session.h"

class Fl_Group;
class Fl_Input;
class Fl_Menu_Button;
class Fl_Light_Button;
class Fl_Value_Input;
class Fl_Widget;
class Fl_Scroll;
class Fl_Tree;
class Fl_Tree_Item;

// A text as one item of Fl_Menu_::add (no submenu, shortcut or divider).
std::string QN_menu_escape(const std::string& text);
// A group drawn with a shadowed frame and its title above its top left
// corner; moving it keeps the sizes of its children.
void QN_framed(Fl_Group* group);
// The height of the tab bar of the simulation windows.
constexpr int QN_SIM_TAB_BAR = 35;
// The size of the simulation windows (frames and wizards) and their
// smallest size: every tab's content fits it without scrolling.
constexpr int QN_SIM_WINDOW_W = 620;
constexpr int QN_SIM_TABS_H = 555;
// A tab of the simulation windows, built inside their Fl_Tabs (the current
// group): a white vertical scroll below the tab bar, as wide and as high as
// the tabs leave. The content of a tab starts at y = tabs' y + 60.
Fl_Scroll* QN_simulation_tab(const char* label);

// A loop field: one value, or start, end and step, switched by the light.
struct QN_loop_field {
    Fl_Value_Input* single = nullptr;
    Fl_Value_Input* start = nullptr;
    Fl_Value_Input* end = nullptr;
    Fl_Value_Input* step = nullptr;
    Fl_Light_Button* toggle = nullptr;
};
// The light's callback (data: the QN_loop_field): on shows the loop inputs
// and hides the single one, off the reverse.
void QN_loop_callback(Fl_Widget* light, void* loop);

// The window's two-button question answered "Yes".
bool QN_ask_yes(const std::string& question);
// Asks whether to trust a server whose host key is not known yet, showing
// its type and SHA-256 fingerprint.
bool QN_confirm_host_key(const QN_ssh_hostkey& key);
// Connection settings from a window's fields: the server (a Host alias of
// the SSH configuration, a host name, an IPv4 or bracketed IPv6 address,
// each as user@…:port when needed), the user (empty or "NULL": the
// configuration's) and the password (empty: keys and the agent). False with
// an alert when the server cannot be used. Host keys are checked against
// $HOME/.ssh/known_hosts, new ones confirmed by the user; what the server
// asks besides (a one-time code, a passphrase) is asked in QN_secret_hook's
// dialog with the server's own words. The server is remembered among the
// recent ones once an action on it succeeded.
// An empty server or user (or one of the placeholders older status files
// store, "No_file", "None", "NULL" …) is none: no server is refused with an
// alert asking for one, no user leaves it to the configuration.
bool QN_server_options(const std::string& server, const std::string& user, const std::string& password,
                       QN_ssh_options& options);
// A field of the Submit and Download tabs, 30 high, labelled "Server:",
// "User Name:", "Password:" (a hidden input), "Server Folder:" or "Submit
// Command:": empty, it shows greyed what it takes ("cluster.example.org",
// "/scratch/you/run" …); its callback runs on every change. The Server
// field has its drop-down of servers beside it (20 pixels).
Fl_Input* QN_server_field(int x, int y, int w, const char* label);
// A stored text as a field shows it: the placeholders as empty.
std::string QN_shown_text(const std::string& stored);
// The drop-down beside a Server field: the servers used last, then the Host
// aliases of ~/.ssh/config (read when it is built and each time it opens);
// picking one puts it in the field and runs the field's callback.
Fl_Menu_Button* QN_server_field_menu(Fl_Input* field);

// Runs a submission (run(false)); when the server folder already holds R1,
// asks whether to overwrite and runs run(true) on "Yes". Shows the summary:
// a message on success, an alert otherwise.
void QN_submit_and_report(const std::string& folder, const std::function<QN_submit_report(bool overwrite)>& run);
// The "Scheduler" tab of a window whose group holds the job labels
// (QN_job_labels): "Scheduler:" (the kinds of the scheduler table) and the
// job settings, bound to the group for the owner. A setting left empty
// shows greyed what applies then (the site's default, the server folder's
// name).
void QN_scheduler_tab(int group, int owner);
// Submit through the scheduler the group names: a direct one as
// QN_submit_and_report does with run(overwrite, nullptr); a queued one with
// the job settings, the template and, once the scheduler accepted the
// arrays, the campaign recorded in the group's campaign folder (source names
// the frame or wizard and its model). Shows the summary.
// settings_group is the group whose settings the record keeps (the window's
// own when its job settings live in a group of their own).
void QN_submit_through_scheduler(int group, const QN_ssh_options& options, const std::string& folder,
                                 const std::string& source,
                                 const std::function<QN_submit_report(bool overwrite, QN_queue_request*)>& run,
                                 int settings_group = -1);
// The window's questions (host keys, passwords, one-time codes) for options
// built without a window (a campaign record's).
void QN_window_questions(QN_ssh_options& options);
// Shows a summary: a message when ok, an alert otherwise.
void QN_show_summary(bool ok, const std::string& summary);

// The Download tab's tree (20, 70, 250, 310), left of the server fields: no
// root shown, several items selectable, callback on every change.
Fl_Tree* QN_download_tree(void (*callback)(Fl_Widget*, void*), void* data);
// "Request": lists the server folder into list and shows its files in tree
// (levels by '/', sorted byte by byte).
void QN_tree_request(Fl_Tree* tree, QN_download_filelist& list, const QN_ssh_options& options,
                     const std::string& folder);
// The relative paths of the selected files of tree.
std::vector<std::string> QN_tree_selected(Fl_Tree* tree);
// Downloads names from the server folder into save, asking first whether
// files already there are replaced; shows the report and returns it.
QN_download_report QN_download_and_report(const std::vector<std::string>& names, const QN_ssh_options& options,
                                          const std::string& folder, const std::string& save);
// A window showing a text file's lines.
void QN_open_text_viewer(const std::string& path);
