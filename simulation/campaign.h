// A campaign: the tasks of one submission to a cluster's scheduler, and
// everything done with them later (states, cancel, fetch, resubmit), from a
// record kept in a local folder.
//
// The record is a text file NAME.qnc written (through a temporary name) only
// after the scheduler returned the job ids of its arrays: the server as the
// user named it (never a secret), the remote folder, the scheduler, the job
// ids with each array's tasks, the submission time, the job settings and the
// frame or wizard with its settings. The last states seen are kept beside it
// in NAME.qnc.state, so that a poll is never repeated within the interval
// and a task whose end the scheduler has forgotten keeps its last state.
//
// Core only: the window and quelm-batch call these and show the messages.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "simulation/scheduler.h"
#include "simulation/ssh_session.h"

struct QN_campaign {
    // The server, as for QN_ssh_options.
    std::string server;
    int port = 0;
    std::string user, jump, ssh_config, identity, known_hosts;
    std::string folder;     // the remote folder holding R1 … RT, absolute
    std::string scheduler;  // a QN_scheduler_kinds() name
    std::string submitted;  // UTC, "2026-12-10T17:30:00Z"
    std::string source;     // "frame TEMPLATE MODEL", "wizard dynamic MODEL"
    // The frame's or wizard's settings as the lines of its status file.
    std::vector<std::string> settings;
    QN_job_settings job;
    int tasks = 0;
    // Every array submitted, in order; a task runs in the last array
    // holding it (a resubmission holds the tasks it ran again).
    std::vector<QN_submitted_array> arrays;
};

// The record's text and back. Parse refuses a text that is no record, an
// unknown version, a task outside 1 … tasks, an array without a job id.
std::string QN_campaign_text(const QN_campaign& campaign);
bool QN_campaign_parse(const std::string& text, QN_campaign& campaign, std::string& why);
// Writes through a temporary name in the same folder; false with the reason
// (the old file, if any, is left as it was).
bool QN_campaign_save(const std::string& path, const QN_campaign& campaign, std::string& why);
bool QN_campaign_load(const std::string& path, QN_campaign& campaign, std::string& why);
// The records (*.qnc) of a folder, sorted by name; empty when there are none.
std::vector<std::string> QN_campaign_files(const std::string& folder);
// The options that reach the campaign's server (secrets and callbacks are
// the caller's).
QN_ssh_options QN_campaign_ssh_options(const QN_campaign& campaign);
void QN_campaign_set_server(QN_campaign& campaign, const QN_ssh_options& options);
// "2026-12-10T17:30:00Z" of a time (seconds since the epoch).
std::string QN_utc_text(long long seconds);

// The job-script template of a scheduler kind: the user's own copy in
// $XDG_CONFIG_HOME/quelm (else ~/.config/quelm) when there is one, otherwise
// the one shipped in config/. "" for a kind without template.
std::string QN_job_template_path(const QN_scheduler_kind& kind);

// ---- The settings of a window ------------------------------------------------

// A window keeps the scheduler and its job settings in its store group as
// texts: S_sched (a kind's name, "direct" by default), S_jobname, S_partition,
// S_jobtime, S_nodes, S_ntasks, S_cpus, S_jobmem, S_account, S_qos, S_jobenv
// (environment lines separated by ';'), S_maxrun, S_launcher and S_campdir
// (the local folder of the campaign records).
const std::vector<std::pair<const char*, const char*>>& QN_job_labels();  // label, default
// Writes the defaults into the group; false when the store refused one.
bool QN_job_write_defaults(int group);
// Reads them: the kind (nullptr for an unknown name), the settings (an empty
// job name becomes the server folder's last part) and the record folder.
// False with why for a number that is none.
bool QN_job_from_group(int group, const std::string& server_folder, const QN_scheduler_kind*& kind,
                       QN_job_settings& job, std::string& campaign_dir, std::string& why);
// A job name from a server folder: its last part, characters other than
// letters, digits, '.', '_' and '-' made '_'.
std::string QN_job_name_of(const std::string& folder);
// FOLDER/NAME.qnc, or NAME-2.qnc, NAME-3.qnc … when taken (no record is
// ever replaced).
std::string QN_campaign_new_path(const std::string& folder, const std::string& name);

// The group's settings as the lines of its status file, without secrets
// (no line whose label speaks of a password).
std::vector<std::string> QN_group_settings(int group);
// After a submission the scheduler accepted (campaign.arrays not empty):
// the server of options (no secret), the source and the group's settings
// go into the campaign, which is saved at path. False with why.
bool QN_campaign_record(QN_campaign& campaign, const QN_ssh_options& options, const std::string& source, int group,
                        const std::string& path, std::string& why);

// ---- States --------------------------------------------------------------------

// Seconds between two polls: 30 unless the user asks, never below 10.
constexpr int QN_POLL_INTERVAL = 30;
constexpr int QN_POLL_MINIMUM = 10;

struct QN_campaign_status {
    std::vector<QN_task_status> tasks;  // task j at [j - 1]
    long long polled = 0;   // when the server was last asked (seconds since the epoch), 0: never
    bool cached = false;    // shown from the last poll: the interval has not passed
    std::string source;     // what answered: "sacct", "squeue"
    std::string error;      // why the server could not be asked (the states are unknown)
    // Tasks per state, in QN_task_state order.
    std::array<int, QN_TASK_STATES> counts() const;
    // "12 COMPLETED, 3 RUNNING, 5 PENDING" (states with tasks, in order).
    std::string count_text() const;
};

// Asks the scheduler for the states of every task, with one remote command.
// QN_SSH_OK, or negative when the session failed (every state unknown, the
// reason in status.error).
int QN_campaign_poll(QN_ssh_session& session, const QN_campaign& campaign, QN_campaign_status& status);
// The states of the record at path: the last poll's when it is younger than
// interval seconds (status.cached), otherwise a new poll through a session
// opened with options. A task the new poll does not know (the server was not
// reached, the scheduler forgot it) keeps an ended state seen before. The
// states are kept in PATH.state. now: seconds since the epoch.
QN_campaign_status QN_campaign_refresh(const std::string& path, const QN_campaign& campaign,
                                       const QN_ssh_options& options, int interval, long long now);
// The states last kept for the record at path (all unknown when none).
QN_campaign_status QN_campaign_last_status(const std::string& path, const QN_campaign& campaign);
// One line per task: "R12  COMPLETED  exit 0  0:01:05".
std::string QN_campaign_status_lines(const QN_campaign_status& status);

// ---- Acting on the tasks ---------------------------------------------------------

// Cancels the tasks (numbers from 1; empty: the whole campaign) with one
// remote command. QN_SSH_OK with a message, or negative with the reason (the
// scheduler's words when it refused).
int QN_campaign_cancel(const QN_ssh_options& options, const QN_campaign& campaign, const std::vector<int>& tasks,
                       std::string& message);

struct QN_fetch_report {
    std::string error;                // a failure before any file
    std::vector<std::string> done;    // "R3/log.lammps" …, fetched now
    std::vector<std::string> skipped; // already home with the server's size
    std::vector<std::pair<std::string, std::string>> failed;  // name, reason
    std::vector<int> waiting;         // tasks not ended (nothing fetched for them)
    bool ok() const { return error.empty() && failed.empty(); }
    std::string summary() const;
};

// Brings the files of the ended tasks among `tasks` (empty: all) into
// save/Rj/…: every file below the task folder whose name (or path below it)
// matches one of the glob patterns (none: every file), and the task's
// scheduler output. A file already in save with the server's size is
// skipped; others are fetched through a temporary name, so a fetch that was
// cut off is taken up again by the next one.
QN_fetch_report QN_campaign_fetch(const QN_ssh_options& options, const QN_campaign& campaign,
                                  const QN_campaign_status& status, const std::vector<int>& tasks,
                                  const std::string& save, const std::vector<std::string>& patterns,
                                  const std::function<void(int done, int total)>& progress = {});

// The tasks a resubmission of the failed ones runs again: FAILED, TIMEOUT
// and OUT_OF_MEMORY (a CANCELLED task was stopped by the user and stays).
std::vector<int> QN_campaign_failed_tasks(const QN_campaign_status& status);

// Submits arrays of the campaign's tasks (in its folder, whose task folders
// are on the server) with an open session: the job scripts from templ go up
// as FOLDER/quelm-array-N.sh, one submission per array. When the scheduler
// refuses one, its words are the reason, the arrays it already accepted are
// cancelled and nothing is added; otherwise the arrays are appended to
// campaign.arrays. Stale exit_status files of the tasks are removed first.
// QN_SSH_OK or negative with why.
int QN_campaign_submit_arrays(QN_ssh_session& session, QN_campaign& campaign, const std::string& templ,
                              const std::vector<int>& tasks, int max_array_size, std::string& why);
// Resolves folder (relative ones below the account's home) on the server and
// reads the cluster's array limit. QN_SSH_OK or negative with why.
int QN_campaign_resolve(QN_ssh_session& session, const QN_scheduler_kind& kind, const std::string& folder,
                        std::string& absolute, int& max_array_size, std::string& why);
// Submits the failed tasks again as new arrays, recorded in the same
// campaign (the record at path is rewritten). The number resubmitted (0 when
// none failed), or negative with why.
int QN_campaign_resubmit(const std::string& path, QN_campaign& campaign, const QN_campaign_status& status,
                         const QN_ssh_options& options, const std::string& templ, std::string& why);
