// Task folders on the compute server: submitting staged task folders
// (F/R1 … F/RT, each uploaded and its command run inside it), and the
// download list, the tree of every file below a remote result folder from
// which the user picks files to fetch into a local save folder.
//
// Core only: the windows and quelm-batch call these with an open or
// openable session and show the reports.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "simulation/campaign.h"
#include "simulation/ssh_session.h"

// ---- Submitting --------------------------------------------------------------

// What happened to one task folder.
struct QN_task_report {
    std::string folder;        // "F/Rj"
    bool created = false;      // the remote folder exists
    int files_uploaded = 0;    // size-checked uploads
    int files = 0;             // files to upload
    bool command_ran = false;  // the command ran to its end
    int exit_status = -1;      // its exit status
    std::string output;        // its output (stdout and stderr), at most 64 kB kept
    std::string error;         // the first failure, empty when the task succeeded
    bool queued = false;       // handed to the scheduler (its command runs later)
    bool ok() const { return error.empty() && (queued || (command_ran && exit_status == 0)); }
};

struct QN_submit_report {
    std::string error;  // a failure before any task (session, folder, refusal)
    bool exists = false;  // F/R1 exists and overwrite was not given: nothing sent
    std::vector<QN_task_report> tasks;
    std::vector<std::string> jobs;  // the scheduler's job ids, when queued
    bool ok() const;
    // "Submit complete" when everything succeeded, otherwise a summary of
    // what failed ("Submit failed: …", one line per failed task).
    std::string summary() const;
};

// The command that runs `command` inside folder: "cd -- 'folder' && command".
// False when the folder cannot be quoted (NUL or line end).
bool QN_task_command(const std::string& folder, const std::string& command, std::string& out);

// What every task shares: files of local_dir uploaded once into the server
// folder and copied on the server into each task folder, and shell text run
// in the task folder before the user's command.
struct QN_submit_shared {
    std::vector<std::string> files;  // names in local_dir
    std::string setup;               // e.g. "echo '0' > run_no"; may be empty
};

// A submission through a scheduler that queues the tasks (QN_scheduler_kind
// queued): the settings of its jobs and the job-script template's text. The
// campaign is filled (folder, scheduler, tasks, job settings, arrays,
// submission time) once the scheduler accepted every array; the caller adds
// the server and the source and saves it.
struct QN_queue_request {
    const QN_scheduler_kind* kind = nullptr;
    QN_job_settings job;
    std::string templ;
    QN_campaign campaign;
};

// Uploads local_dir/R1 … local_dir/RT (as QN_frame_stage writes them) to
// remote_folder/R1 … and runs command in each. The session is opened with
// options and closed at the end. remote_folder/R1 existing is refused unless
// overwrite. The first failure of a task stops that task; the others go on.
// With shared, its files go up once and the task command becomes
// "cd -- 'F/Rj' && cp -- '../A' '../B' . && SETUP && COMMAND".
// With queue, command is not run: the copies and setup run at once in each
// task folder, then every task goes to the scheduler as job arrays (all
// tasks or none: a refusal of the scheduler is the report's error, in its
// words).
QN_submit_report QN_submit_tasks(const QN_ssh_options& options, const std::string& local_dir, int tasks,
                                 const std::string& remote_folder, const std::string& command, bool overwrite,
                                 const QN_submit_shared* shared = nullptr, QN_queue_request* queue = nullptr);

// ---- Download list -----------------------------------------------------------

struct QN_download_item {
    std::string name;  // path relative to the remote root, parts joined by '/'
    int is_dir = 0;
    int expand = 0;    // 1 while a folder's contents are not listed yet
};

struct QN_download_filelist {
    std::vector<QN_download_item> items;
    int count = 0;  // items.size()
    // Names the server gave that cannot be joined below a local folder
    // ("..", names with '/' or '\\' …): listed here, never downloaded.
    std::vector<std::string> refused;
    // Folders whose contents could not be listed (permissions …).
    std::vector<std::string> unlisted;
};

void QNDF_init(QN_download_filelist* list);
// Fills the list with every file and folder below remote_root, breadth
// first, with an open session. QN_SSH_OK or negative (message in session).
int QNDF_fill(QN_ssh_session& session, QN_download_filelist* list, const std::string& remote_root);
// Opens a session with options, fills the list and closes it.
int QNDF_request(QN_download_filelist* list, const QN_ssh_options& options, const std::string& remote_root,
                 std::string& message);
// The file entries (not folders) in byte order of their names.
std::vector<std::string> QNDF_files(const QN_download_filelist& list);

struct QN_download_report {
    std::string error;                // a failure before any file
    std::vector<std::string> done;    // relative names fetched
    std::vector<std::string> skipped; // existing local files left alone
    std::vector<std::pair<std::string, std::string>> failed;  // name, reason
    bool ok() const { return error.empty() && failed.empty(); }
    // "The files have been downloaded" when everything succeeded, otherwise
    // a summary of what failed.
    std::string summary() const;
};

// Downloads remote_root/NAME to save_folder/NAME for each relative name
// (QN_remote_path_ok; others are refused), creating sub-folders. The save
// folder must exist. progress(k, n) is called before each file.
QN_download_report QNDF_download(const QN_ssh_options& options, const std::string& remote_root,
                                 const std::vector<std::string>& names, const std::string& save_folder,
                                 QN_existing existing, const std::function<void(int, int)>& progress = {});
