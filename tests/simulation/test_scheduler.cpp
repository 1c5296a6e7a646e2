// The scheduler's side of a campaign without a cluster: arrays split below
// MaxArraySize, and the job script filled from the shipped template.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "simulation/scheduler.h"

namespace {

std::string shipped_template() {
    std::ifstream in(std::string(QUELM_TEST_DATA) + "/../config/slurm_job.sh");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(SplitArrays, AsFewAsTheIndexLimitAllows) {
    struct Case {
        int tasks, max;
        std::vector<std::pair<int, int>> parts;  // first task, count
    } cases[] = {
        {7, 3, {{1, 3}, {4, 3}, {7, 1}}},
        {6, 3, {{1, 3}, {4, 3}}},
        {1, 3, {{1, 1}}},
        {1000, 0, {{1, 1000}}},  // Slurm's default MaxArraySize 1001: indices 0 … 1000
        {1001, 0, {{1, 1001}}},
        {1002, -5, {{1, 1001}, {1002, 1}}},
        {0, 3, {}},
        {-2, 3, {}},
    };
    for (const Case& c : cases) {
        const std::vector<QN_array_part> parts = QN_split_arrays(c.tasks, c.max);
        std::vector<std::pair<int, int>> got;
        for (const QN_array_part& p : parts) got.emplace_back(p.first_task, p.count);
        EXPECT_EQ(got, c.parts) << c.tasks << " tasks below " << c.max;
    }
    EXPECT_EQ(QN_slurm_array_option({4, 3}, 2), "--parsable --array=0-2%2");
    EXPECT_EQ(QN_slurm_array_option({1, 1}, 0), "--parsable --array=0-0");
}

TEST(SlurmScript, TheShippedTemplateFilledAndUnsetLinesLeftOut) {
    QN_job_settings s;
    s.job_name = "nvt_anneal";
    s.partition = "small";
    s.nodes = 1;
    s.tasks = 2;
    s.cpus_per_task = 1;
    s.time = "00:30:00";
    s.account = "project_2001234";
    s.environment = {"module load lammps", "export OMP_NUM_THREADS=1"};
    s.launcher = "mpirun -np 2 lmp -in in";
    std::string script, why;
    ASSERT_TRUE(QN_slurm_script(shipped_template(), s, "runs/anneal", {4, 3}, script, why)) << why;
    const std::string body = script.substr(script.find("\n#SBATCH") + 1);
    EXPECT_EQ(body,
              "#SBATCH --job-name=nvt_anneal\n"
              "#SBATCH --partition=small\n"
              "#SBATCH --nodes=1\n"
              "#SBATCH --ntasks=2\n"
              "#SBATCH --cpus-per-task=1\n"
              "#SBATCH --time=00:30:00\n"
              "#SBATCH --account=project_2001234\n"
              "#SBATCH --output=runs/anneal/slurm-%A_%a.out\n"
              "module load lammps\n"
              "export OMP_NUM_THREADS=1\n"
              "task=$(( 4 + SLURM_ARRAY_TASK_ID ))\n"
              "cd runs/anneal/R$task || exit 1\n"
              "mpirun -np 2 lmp -in in\n"
              "status=$?\n"
              "echo $status > exit_status\n"
              "exit $status\n");
    EXPECT_EQ(script.rfind("#!/bin/bash\n", 0), 0u);

    // bash reads it, and run with a task index it enters R<offset + index>
    // and leaves the launcher's status there.
    char dir[] = "/tmp/quelm-slurm-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string base = dir;
    s.launcher = "sh -c 'echo ran > ran; exit 3'";
    ASSERT_TRUE(QN_slurm_script(shipped_template(), s, base, {4, 3}, script, why)) << why;
    for (const char* r : {"R4", "R5", "R6"}) ASSERT_EQ(std::system(("mkdir -p " + base + "/" + r).c_str()), 0);
    { std::ofstream(base + "/job.sh") << script; }
    EXPECT_EQ(std::system(("bash -n " + base + "/job.sh").c_str()), 0);
    const int status = std::system(("env SLURM_ARRAY_TASK_ID=1 bash " + base + "/job.sh").c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << status;
    std::ifstream ran(base + "/R5/ran"), code(base + "/R5/exit_status");
    std::string word;
    EXPECT_TRUE(ran >> word && word == "ran");
    EXPECT_TRUE(code >> word && word == "3");
    std::ifstream other(base + "/R4/ran");
    EXPECT_FALSE(other.good());
    std::system(("rm -rf " + base).c_str());
}

TEST(SlurmScript, WhatCannotGoInAScriptIsRefused) {
    const std::string templ = shipped_template();
    struct Case {
        const char* what;
        QN_job_settings settings;
        std::string folder;
        std::string templ;
        const char* why;
    };
    QN_job_settings ok;
    QN_job_settings spaced = ok, two_lines = ok, no_launcher = ok, env_break = ok;
    spaced.partition = "small large";
    two_lines.launcher = "srun lmp -in in\nrm -rf ~";
    no_launcher.launcher = "  ";
    env_break.environment = {"module load lammps\nsrun evil"};
    const Case cases[] = {
        {"a blank in a folder", ok, "runs/my anneal", templ, "cannot be named in a job script"},
        {"a quote in a folder", ok, "runs/'x", templ, "cannot be named in a job script"},
        {"a folder going up", ok, "runs/../..", templ, "cannot be named in a job script"},
        {"no folder", ok, "", templ, "cannot be named in a job script"},
        {"two words of a partition", spaced, "runs", templ, "The setting partition \"small large\" must be one word"},
        {"a launcher of two lines", two_lines, "runs", templ, "The launcher must be one command line"},
        {"an empty launcher", no_launcher, "runs", templ, "The launcher must be one command line"},
        {"an environment line break", env_break, "runs", templ, "An environment line holds a line end"},
        {"an unknown setting", ok, "runs", "#SBATCH --gres={{gpus}}\n", "unknown setting {{gpus}}"},
        {"an unclosed setting", ok, "runs", "#SBATCH --time={{time\n", "without '}}'"},
    };
    for (const Case& c : cases) {
        std::string script = "kept", why;
        EXPECT_FALSE(QN_slurm_script(c.templ, c.settings, c.folder, {1, 2}, script, why)) << c.what;
        EXPECT_NE(why.find(c.why), std::string::npos) << c.what << ": " << why;
        EXPECT_EQ(script, "kept") << c.what;
    }
    std::string script, why;
    EXPECT_FALSE(QN_slurm_script(templ, ok, "runs", {1, 0}, script, why));
    EXPECT_EQ(why, "An array needs at least one task");
}

}  // namespace
