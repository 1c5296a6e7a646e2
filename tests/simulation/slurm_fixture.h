// A real one-node Slurm cluster for the campaign tests: munged with a
// throwaway key, slurmctld and slurmd as root in a private folder on free
// ports (proctrack/linuxproc, task/none, select/cons_tres, no accounting
// storage, job completions logged to a file), one partition "debug" holding
// this machine. Stopped (every job cancelled, the daemons ended, the folder
// removed) by stop() or the destructor. Needs root; start() says why not.
//
// What this Slurm (Debian 12, 22.05) prints, as the campaign code reads it:
//   sbatch --parsable --array=0-3%2 job.sh     → "1"
//   sbatch … -p nosuch                         → exit 1, "sbatch: error: invalid partition specified: nosuch\n
//                                                 sbatch: error: Batch job submission failed: Invalid partition name specified"
//   sbatch --array=0-9 with MaxArraySize=5     → exit 1, sbatch's error that the job array is invalid
//   squeue -h -r -t all -j 1 -o '%F|%K|%T|%M'  → "1|0|COMPLETED|0:00", "1|2|RUNNING|0:04", "1|3|PENDING|0:00"
//                                                 (ended jobs stay for MinJobAge seconds)
//   squeue … -j 99 (a job it no longer knows)  → exit 1, "slurm_load_jobs error: Invalid job id specified"
//   sacct with accounting off                  → exit 1, "Slurm accounting storage is disabled"
//   scontrol show config                       → "MaxArraySize            = 5"
#pragma once

#include <string>
#include <vector>

struct TestSlurmSetup {
    int max_array_size = 0;  // MaxArraySize; 0: Slurm's default (1001)
    int min_job_age = 300;   // seconds an ended job stays known to squeue
};

class TestSlurm {
public:
    TestSlurm() = default;
    ~TestSlurm();
    TestSlurm(const TestSlurm&) = delete;
    TestSlurm& operator=(const TestSlurm&) = delete;

    // Starts munged, slurmctld and slurmd and waits until the node is idle;
    // false with the reason (not root, a program missing, a daemon that did
    // not come up, with the end of its log).
    bool start(std::string& why, const TestSlurmSetup& setup = TestSlurmSetup());
    void stop();

    // "SLURM_CONF=…/slurm.conf", the variable the cluster's commands need.
    std::string env_line() const { return "SLURM_CONF=" + conf; }
    // The sshd_config lines that give it to every command of an SSH session.
    std::vector<std::string> sshd_config() const { return {"SetEnv " + env_line()}; }
    // Starts the cluster before a test's server and gives the server the
    // lines above; false with the reason ("no test cluster: ...").
    template <class SshdSetup>
    bool start_for(SshdSetup& server, std::string& why) {
        if (!start(why)) {
            why = "no test cluster: " + why;
            return false;
        }
        server.extra_config = sshd_config();
        return true;
    }
    // Runs a shell command here as root with the cluster's configuration;
    // its exit status, and its output (stdout and stderr) in *output.
    int run(const std::string& command, std::string* output = nullptr) const;

    std::string folder;  // the private folder (0755: accounts read the configuration)
    std::string conf;    // folder/slurm.conf
    std::string partition = "debug";
    std::string jobcomp_log;  // the job-completion log

private:
    bool stop_daemon(const char* name);
    bool started_ = false;
};
