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

// One array of a campaign: tasks first_task + 0 ... first_task + count - 1
// (R1 is task 1), array indices 0 ... count - 1.
struct QN_array_part {
    int first_task = 1;
    int count = 0;
};

// The arrays of a campaign of `tasks` tasks on a cluster whose array
// indices stay below max_array_size (its MaxArraySize; 0 or less: 1001,
// Slurm's default): as few as possible, each as large as allowed, in task
// order. None for tasks < 1.
std::vector<QN_array_part> QN_split_arrays(int tasks, int max_array_size);

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

// The arguments of sbatch for one array: "--parsable --array=0-N[%K]".
std::string QN_slurm_array_option(const QN_array_part& part, int max_running);
