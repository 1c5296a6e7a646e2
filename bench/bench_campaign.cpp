// A campaign on a queueing scheduler: reading the answer of a status poll
// of 1,000 tasks (accounting and queue forms), then, on a one-node Slurm
// reached through a loopback sshd, 1,000 small tasks staged, uploaded and
// submitted (one sbatch per array) and one real poll of them. The cluster
// part needs root; without it only the reading is measured.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "qb/qb_file.h"
#include "simulation/campaign.h"
#include "simulation/remote_tasks.h"
#include "slurm_fixture.h"
#include "sshd_fixture.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

void write_file(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// What sacct and squeue print for a campaign of n tasks in two arrays, a
// third of them ended, a few running, the rest pending one per line.
std::string sacct_answer(int n) {
    std::string out = "@quelm-sacct\n";
    for (int t = 0; t < n; t++) {
        const std::string job = t < 500 ? "4000" : "4001";
        const int index = t < 500 ? t : t - 500;
        const char* state = t % 3 == 0 ? "COMPLETED" : t % 3 == 1 ? "RUNNING" : "PENDING";
        out += job + "_" + std::to_string(index) + "|" + state + "|0:0|00:0" + std::to_string(t % 10) + ":12\n";
    }
    return out + "@quelm-end\n";
}

std::string squeue_answer(int n) {
    std::string out = "@quelm-squeue\n";
    for (int t = 0; t < n; t++) {
        if (t % 3 == 0) continue;
        const std::string job = t < 500 ? "4000" : "4001";
        const int index = t < 500 ? t : t - 500;
        out += job + "|" + std::to_string(index) + "|" + (t % 3 == 1 ? "RUNNING" : "PENDING") + "|1:02\n";
    }
    out += "@quelm-squeue-status 0\n@quelm-files\n";
    for (int t = 0; t < n; t += 3) out += "./R" + std::to_string(t + 1) + "/exit_status:0\n";
    return out + "@quelm-end\n";
}

void bench_reading() {
    const QN_scheduler_kind& slurm = *QN_scheduler_find("slurm");
    const std::vector<QN_submitted_array> arrays = {{"4000", {1, 500, {}}}, {"4001", {501, 500, {}}}};
    for (const auto& [name, text] : {std::make_pair("sacct", sacct_answer(1000)),
                                     std::make_pair("squeue + exit files", squeue_answer(1000))}) {
        const int rounds = 50;
        std::vector<QN_task_status> states;
        std::string source, why;
        const auto start = Clock::now();
        for (int r = 0; r < rounds; r++) slurm.query(text, arrays, 1000, states, source, why);
        std::printf("status poll of 1000 tasks, %s answer (%zu kB) read in %.4f s\n", name, text.size() / 1024,
                    seconds_since(start) / rounds);
    }
}

}  // namespace

int main() {
    bench_reading();

    TestSlurm cluster;
    std::string why;
    if (!cluster.start(why)) {
        std::printf("no one-node Slurm (%s): the cluster part is left out\n", why.c_str());
        return 0;
    }
    TestSshdSetup setup;
    setup.extra_config = cluster.sshd_config();
    TestSshd server;
    if (!server.start(why, setup)) {
        std::printf("no loopback sshd (%s): the cluster part is left out\n", why.c_str());
        return 0;
    }
    QN_ssh_options options = server.options();
    options.accept_new_host_key = true;
    options.timeout = 60;

    const int tasks = 1000;
    const std::string stage = server.scratch + "/stage";
    auto start = Clock::now();
    for (int j = 1; j <= tasks; j++) {
        const std::string r = stage + "/R" + std::to_string(j);
        write_file(r + "/in", "variable T equal " + std::to_string(300 + j) + "\nprint \"T = ${T}\"\n");
        write_file(r + "/in.variable", "variable T equal " + std::to_string(300 + j) + "\n");
    }
    const double staged = seconds_since(start);

    QN_queue_request queue;
    queue.kind = QN_scheduler_find("slurm");
    queue.job.job_name = "bench";
    queue.job.partition = cluster.partition;
    queue.job.launcher = "true";
    std::string reason;
    QB_read_text_file(QN_job_template_path(*queue.kind), queue.templ, &reason);
    start = Clock::now();
    const QN_submit_report report = QN_submit_tasks(options, stage, tasks, "campaign", "", false, nullptr, &queue);
    const double submitted = seconds_since(start);
    if (!report.ok()) {
        std::printf("submission failed: %s\n", report.summary().c_str());
        return 1;
    }
    std::printf("%d tasks staged in %.2f s, uploaded and submitted in %.2f s (%zu array%s: %s)\n", tasks, staged,
                submitted, queue.campaign.arrays.size(), queue.campaign.arrays.size() == 1 ? "" : "s",
                report.summary().c_str());

    QN_ssh_session session;
    session.open(options);
    QN_campaign_status status;
    start = Clock::now();
    QN_campaign_poll(session, queue.campaign, status);
    std::printf("one poll of the %d tasks on the cluster (%s): %.3f s, %s\n", tasks, status.source.c_str(),
                seconds_since(start), status.count_text().c_str());
    std::string message;
    session.close();
    QN_campaign_cancel(options, queue.campaign, {}, message);
    return 0;
}
