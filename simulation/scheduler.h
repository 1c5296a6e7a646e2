// How a campaign's tasks reach a cluster's scheduler: the job script of an
// array from the template in config/, and the split of a campaign into
// arrays the scheduler accepts. No connection is made here.
#pragma once

#include <string>
#include <vector>

// What a submission asks of the scheduler. Empty texts (and numbers not
// above 0) leave their #SBATCH line out, so the cluster's defaults apply.
struct QN_job_settings {
    std::string job_name;
    std::string partition;
    int nodes = 1;
    int tasks = 1;
    int cpus_per_task = 1;
    std::string time;    // "HH:MM:SS", "D-HH:MM:SS", minutes …
    std::string memory;  // "4G", "500M" …
    std::string account;
    std::string qos;
    // Lines run before the task starts ("module load lammps"), in order.
    std::vector<std::string> environment;
    // The command run in the task folder.
    std::string launcher = "srun lmp -in in";
    // At most this many tasks of an array run at once (0: no limit).
    int max_running = 0;
};

// One array of a campaign. Index i of the array runs task first_task + i
// (R1 is task 1). With indices empty the array holds indices 0 ... count - 1;
// otherwise exactly those (increasing, count is their number), as a
// resubmission of some tasks gives.
struct QN_array_part {
    int first_task = 1;
    int count = 0;
    std::vector<int> indices;
    // The array's indices in order.
    std::vector<int> index_list() const;
};

// The arrays of a campaign of `tasks` tasks on a cluster whose array
// indices stay below max_array_size (its MaxArraySize; 0 or less: 1001,
// Slurm's default): as few as possible, each as large as allowed, in task
// order. None for tasks < 1.
std::vector<QN_array_part> QN_split_arrays(int tasks, int max_array_size);
// The same for some tasks of a campaign (numbers from 1, any order, repeats
// ignored): arrays of increasing tasks, each starting at its first task, with
// the indices of the others (all below max_array_size).
std::vector<QN_array_part> QN_split_tasks(std::vector<int> tasks, int max_array_size);

// The job script of one array: the template with every {{NAME}} replaced
// (job_name, partition, nodes, tasks, cpus_per_task, time, memory, account,
// qos, folder, task_offset = first_task, environment, launcher) outside
// comment lines (#SBATCH lines are filled); a line holding a setting left
// empty is dropped. False with the reason when a
// setting cannot be put in a script (an #SBATCH value of more than one word,
// a line end, an unknown or unclosed {{…}}) or the folder holds characters
// the script could not name unquoted; script is untouched then.
bool QN_slurm_script(const std::string& templ, const QN_job_settings& settings, const std::string& folder,
                     const QN_array_part& part, std::string& script, std::string& why);

// The arguments of sbatch for one array: "--parsable --array=0-N[%K]", or
// the list of its indices with runs joined ("--array=0,4-6,9").
std::string QN_slurm_array_option(const QN_array_part& part, int max_running);
// Indices in increasing order as Slurm writes a set: "0,4-6,9".
std::string QN_index_ranges(const std::vector<int>& indices);
// "3,5-7" (task numbers from 1, blanks allowed around the parts) into the
// numbers in increasing order without repeats; false with the reason.
bool QN_parse_task_list(const std::string& text, int max_task, std::vector<int>& tasks, std::string& why);

// ---- States of tasks ---------------------------------------------------------

enum class QN_task_state { unknown, pending, running, completed, failed, cancelled, timeout, out_of_memory };
constexpr int QN_TASK_STATES = 8;
// "PENDING", "RUNNING", "COMPLETED", "FAILED", "CANCELLED", "TIMEOUT",
// "OUT_OF_MEMORY", and "unknown" when the server could not be asked.
const char* QN_task_state_name(QN_task_state state);
// The state of a name as the scheduler prints it ("CANCELLED by 1000",
// "COMPLETING", "NODE_FAIL" …); unknown for a name it does not know.
QN_task_state QN_task_state_from_slurm(const std::string& name);
// True for the states a task does not leave (completed … out of memory).
bool QN_task_state_ended(QN_task_state state);

// What is known of one task.
struct QN_task_status {
    QN_task_state state = QN_task_state::unknown;
    int exit_code = -1;   // -1 while unknown; a signal S gives 128 + S
    long elapsed = -1;    // seconds, -1 while unknown
};
// "D-HH:MM:SS", "HH:MM:SS", "MM:SS" (Slurm's times) into seconds; -1 for
// anything else.
long QN_slurm_seconds(const std::string& text);
// Seconds as "H:MM:SS" ("D-HH:MM:SS" from a day on); "" for -1.
std::string QN_elapsed_text(long seconds);

// ---- Kinds of scheduler ------------------------------------------------------

// An array as it was submitted: its job id and its part of the campaign.
struct QN_submitted_array {
    std::string job_id;
    QN_array_part part;
};

// What a scheduler kind does, each as the one remote shell command that does
// it and the reading of what that command printed. A new scheduler (PBS Pro,
// Torque) is one more entry of the table.
struct QN_scheduler_kind {
    const char* name;   // "direct", "slurm": the word of --scheduler and of the records
    const char* label;  // the window's choice
    // False: tasks run at once in the session (direct), nothing is queued,
    // and the functions below are null.
    bool queued;
    const char* template_file;  // the job-script template in config/
    // The job script of one array from the template.
    bool (*script)(const std::string& templ, const QN_job_settings& settings, const std::string& folder,
                   const QN_array_part& part, std::string& script, std::string& why);
    // Submits the script (a file in the campaign folder) as the array; what
    // it prints is read by submitted().
    std::string (*submit_command)(const std::string& script, const QN_array_part& part, int max_running);
    // The job id from the output of a submission that exited 0; false with
    // the scheduler's words when it refused.
    bool (*submitted)(const std::string& output, std::string& job_id, std::string& why);
    // Prints the largest array the cluster takes (its index limit).
    std::string (*limit_command)();
    int (*limit)(const std::string& output);  // 0 when the output does not say
    // Asks the states of every task of the arrays (the campaign's folder holds
    // the task folders R1 … with their exit_status files).
    std::string (*query_command)(const std::vector<QN_submitted_array>& arrays, const std::string& folder);
    // Reads that output into the states of tasks 1 … tasks (a task is
    // looked for in the last array holding it); false when the output shows
    // the scheduler could not be asked (the states stay unknown then).
    bool (*query)(const std::string& output, const std::vector<QN_submitted_array>& arrays, int tasks,
                  std::vector<QN_task_status>& states, std::string& source, std::string& why);
    // Cancels the given tasks (empty: every array of the campaign).
    std::string (*cancel_command)(const std::vector<QN_submitted_array>& arrays, const std::vector<int>& tasks);
};

// Every kind, direct first.
const std::vector<QN_scheduler_kind>& QN_scheduler_kinds();
// The kind of that name, or nullptr.
const QN_scheduler_kind* QN_scheduler_find(const std::string& name);
// The last array of the campaign holding task, and its index there; false
// when none does.
bool QN_array_of_task(const std::vector<QN_submitted_array>& arrays, int task, size_t& array, int& index);
