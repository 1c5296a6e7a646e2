// A campaign without a cluster: its record, the reading of what the
// scheduler says of its tasks, the kept states and the task lists.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "simulation/campaign.h"

namespace fs = std::filesystem;

namespace {

QN_campaign two_array_campaign() {
    QN_campaign c;
    c.server = "hpc-login";
    c.port = 2222;
    c.user = "alice";
    c.jump = "bastion.example.org";
    c.folder = "/home/alice/runs/anneal";
    c.scheduler = "slurm";
    c.submitted = "2026-12-10T17:30:00Z";
    c.source = "frame NVT_Anneal cu.lmp";
    c.settings = {"-S_temp=300", "-S_elemt=28"};
    c.job.job_name = "anneal";
    c.job.partition = "debug";
    c.job.tasks = 4;
    c.job.time = "00:30:00";
    c.job.max_running = 2;
    c.job.environment = {"module load lammps", "export OMP_NUM_THREADS=1"};
    c.job.launcher = "mpirun -np 4 lmp -in in";
    c.tasks = 7;
    // Tasks 1-4 and 5-7 (an index limit of 4), then 2 and 6 run again.
    c.arrays = {{"1001", {1, 4, {}}}, {"1002", {5, 3, {}}}, {"1010", {2, 2, {0, 4}}}};
    return c;
}

std::string scratch_dir(const char* name) {
    std::string pattern = (fs::temp_directory_path() / (std::string(name) + "_XXXXXX")).string();
    EXPECT_NE(mkdtemp(pattern.data()), nullptr);
    return pattern;
}

const QN_scheduler_kind& slurm() { return *QN_scheduler_find("slurm"); }

// The states of a query's output as "STATE/exit/elapsed" per task.
std::vector<std::string> read_states(const std::string& output, const QN_campaign& c, std::string* source = nullptr,
                                     std::string* why = nullptr, bool* asked = nullptr) {
    std::vector<QN_task_status> states;
    std::string src, reason;
    const bool ok = slurm().query(output, c.arrays, c.tasks, states, src, reason);
    if (source) *source = src;
    if (why) *why = reason;
    if (asked) *asked = ok;
    std::vector<std::string> out;
    for (const auto& s : states)
        out.push_back(std::string(QN_task_state_name(s.state)) + "/" + std::to_string(s.exit_code) + "/" +
                      std::to_string(s.elapsed));
    return out;
}

}  // namespace

TEST(CampaignRecord, RoundTripKeepsEveryArrayAndSetting) {
    const QN_campaign c = two_array_campaign();
    const std::string text = QN_campaign_text(c);
    EXPECT_NE(text.find("array 1010 2 0,4\n"), std::string::npos) << text;
    EXPECT_NE(text.find("array 1001 1 0-3\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("password"), std::string::npos);
    QN_campaign back;
    std::string why;
    ASSERT_TRUE(QN_campaign_parse(text, back, why)) << why;
    EXPECT_EQ(QN_campaign_text(back), text);
    EXPECT_EQ(back.arrays[2].part.index_list(), (std::vector<int>{0, 4}));
    EXPECT_EQ(back.job.environment, c.job.environment);
    EXPECT_EQ(back.job.launcher, c.job.launcher);
    const QN_ssh_options o = QN_campaign_ssh_options(back);
    EXPECT_EQ(o.host, "hpc-login");
    EXPECT_EQ(o.port, 2222);
    EXPECT_EQ(o.jump, "bastion.example.org");
    EXPECT_TRUE(o.password.empty());

    // Saved through a temporary name; the folder lists it.
    const std::string dir = scratch_dir("campaign_record");
    ASSERT_TRUE(QN_campaign_save(dir + "/anneal.qnc", c, why)) << why;
    std::ofstream(dir + "/notes.txt") << "not a record\n";
    EXPECT_EQ(QN_campaign_files(dir), (std::vector<std::string>{dir + "/anneal.qnc"}));
    QN_campaign loaded;
    ASSERT_TRUE(QN_campaign_load(dir + "/anneal.qnc", loaded, why)) << why;
    EXPECT_EQ(QN_campaign_text(loaded), text);
    fs::remove_all(dir);
}

TEST(CampaignRecord, RefusesWhatIsNoRecord) {
    const std::string good = QN_campaign_text(two_array_campaign());
    auto replaced = [&](const std::string& from, const std::string& to) {
        std::string t = good;
        t.replace(t.find(from), from.size(), to);
        return t;
    };
    struct Case {
        std::string text, reason;
    } cases[] = {
        {"", "not a campaign record"},
        {"server x\n", "not a campaign record"},
        {replaced("quelm-campaign 1", "quelm-campaign 2"), "version 2 is not known"},
        {replaced("array 1002 5 0-2", "array 1002 5 0-3"), "beyond the campaign's 7"},
        {replaced("array 1002 5 0-2", "array 10x2 5 0-2"), "is not JOB FIRST_TASK INDICES"},
        {replaced("array 1002 5 0-2", "array 1002 0 0-2"), "is not JOB FIRST_TASK INDICES"},
        {replaced("array 1010 2 0,4", "array 1010 2 4,0"), "is not JOB FIRST_TASK INDICES"},
        {replaced("tasks 7", "tasks seven"), "is not a number"},
        {replaced("server hpc-login", "server"), "lacks its server"},
    };
    for (const Case& c : cases) {
        QN_campaign out;
        std::string why;
        EXPECT_FALSE(QN_campaign_parse(c.text, out, why)) << c.reason;
        EXPECT_NE(why.find(c.reason), std::string::npos) << why;
    }
    // A key of a later version is passed over.
    QN_campaign out;
    std::string why;
    EXPECT_TRUE(QN_campaign_parse(replaced("tasks 7\n", "tasks 7\nfuture_key 12\n"), out, why)) << why;
}

TEST(CampaignTasks, ListsRangesAndArraysOfSomeTasks) {
    std::vector<int> tasks;
    std::string why;
    ASSERT_TRUE(QN_parse_task_list(" 7, 3,5-6 ,3", 10, tasks, why)) << why;
    EXPECT_EQ(tasks, (std::vector<int>{3, 5, 6, 7}));
    for (const char* bad : {"", "0", "11", "3-", "a", "5-3", "2.5", "1,,2"}) {
        EXPECT_FALSE(QN_parse_task_list(bad, 10, tasks, why)) << bad;
        EXPECT_FALSE(why.empty());
    }
    EXPECT_EQ(QN_index_ranges({0, 1, 2, 5, 7, 8}), "0-2,5,7-8");

    // Failed tasks 3, 4, 9 and 1500 of a cluster with MaxArraySize 1001.
    const auto parts = QN_split_tasks({1500, 9, 3, 4, 3}, 1001);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].first_task, 3);
    EXPECT_EQ(parts[0].index_list(), (std::vector<int>{0, 1, 6}));
    EXPECT_EQ(QN_slurm_array_option(parts[0], 2), "--parsable --array=0-1,6%2");
    EXPECT_EQ(parts[1].first_task, 1500);
    EXPECT_EQ(QN_slurm_array_option(parts[1], 0), "--parsable --array=0-0");
    // Consecutive tasks keep the plain form.
    const auto run = QN_split_tasks({4, 5, 6}, 0);
    ASSERT_EQ(run.size(), 1u);
    EXPECT_TRUE(run[0].indices.empty());
    EXPECT_EQ(run[0].count, 3);
}

TEST(SlurmStates, NamesTimesAndLimits) {
    struct Case {
        const char* slurm;
        QN_task_state state;
    } cases[] = {
        {"PENDING", QN_task_state::pending},     {"RUNNING", QN_task_state::running},
        {"COMPLETING", QN_task_state::running},  {"COMPLETED", QN_task_state::completed},
        {"FAILED", QN_task_state::failed},       {"NODE_FAIL", QN_task_state::failed},
        {"CANCELLED by 1000", QN_task_state::cancelled}, {"CANCELLED+", QN_task_state::cancelled},
        {"TIMEOUT", QN_task_state::timeout},     {"OUT_OF_MEMORY", QN_task_state::out_of_memory},
        {"", QN_task_state::unknown},            {"SOMETHING_NEW", QN_task_state::unknown},
    };
    for (const Case& c : cases) EXPECT_EQ(QN_task_state_from_slurm(c.slurm), c.state) << c.slurm;
    EXPECT_EQ(QN_slurm_seconds("00:01:05"), 65);
    EXPECT_EQ(QN_slurm_seconds("1:05"), 65);
    EXPECT_EQ(QN_slurm_seconds("2-03:04:05"), ((2 * 24 + 3) * 60 + 4) * 60 + 5);
    EXPECT_EQ(QN_slurm_seconds("00:00:01.234"), 1);
    for (const char* bad : {"", "5", "a:b", "-1:00", "1-", "INVALID"}) EXPECT_EQ(QN_slurm_seconds(bad), -1) << bad;
    EXPECT_EQ(QN_elapsed_text(65), "0:01:05");
    EXPECT_EQ(QN_elapsed_text(90061), "1-01:01:01");
    EXPECT_EQ(QN_elapsed_text(-1), "");
    EXPECT_EQ(slurm().limit("AccountingStorageType   = (null)\nMaxArraySize            = 40\nMaxJobCount = 10000\n"), 40);
    EXPECT_EQ(slurm().limit("nothing here\n"), 0);
    std::string id, why;
    EXPECT_TRUE(slurm().submitted("sbatch: warning: something\n4242;cluster\n", id, why));
    EXPECT_EQ(id, "4242");
    EXPECT_FALSE(slurm().submitted("sbatch: error: invalid partition specified: nosuch\n", id, why));
    EXPECT_EQ(why, "sbatch: error: invalid partition specified: nosuch\n");
}

TEST(SlurmStates, AccountingLinesGiveEachTaskOfTheArrayItRunsIn) {
    const QN_campaign c = two_array_campaign();
    // Task 2 ran again as 1010_0 and 6 as 1010_4: their old lines say nothing.
    const std::string output =
        "motd of the login node\n"
        "@quelm-sacct\n"
        "1001_0|COMPLETED|0:0|00:01:05\n"
        "1001_1|FAILED|3:0|00:00:02\n"
        "1001_2|CANCELLED by 1000|0:15|00:00:09\n"
        "1001_3|TIMEOUT|0:0|00:30:00\n"
        "1002_0|OUT_OF_MEMORY|0:125|00:00:01\n"
        "1002_1|FAILED|1:0|00:00:01\n"
        "1002_2|RUNNING|0:0|00:00:30\n"
        "1010_0|COMPLETED|0:0|1-00:00:00\n"
        "1010_[4]|PENDING|0:0|00:00:00\n"
        "@quelm-end\n";
    std::string source;
    const auto states = read_states(output, c, &source);
    EXPECT_EQ(source, "sacct");
    EXPECT_EQ(states, (std::vector<std::string>{"COMPLETED/0/65", "COMPLETED/0/86400", "CANCELLED/143/9",
                                                 "TIMEOUT/0/1800", "OUT_OF_MEMORY/125/1", "PENDING/-1/0",
                                                 "RUNNING/-1/30"}));
    // A pending range of a big array.
    QN_campaign big;
    big.tasks = 1000;
    big.arrays = {{"77", {1, 1000, {}}}};
    std::vector<QN_task_status> st;
    std::string why;
    ASSERT_TRUE(slurm().query("@quelm-sacct\n77_0|RUNNING|0:0|00:00:01\n77_[1-999%4]|PENDING|0:0|00:00:00\n@quelm-end\n",
                              big.arrays, big.tasks, st, source, why));
    EXPECT_EQ(st[0].state, QN_task_state::running);
    EXPECT_EQ(st[1].state, QN_task_state::pending);
    EXPECT_EQ(st[999].state, QN_task_state::pending);
}

TEST(SlurmStates, WithoutAccountingTheQueueAndTheExitFilesTell) {
    QN_campaign c;
    c.tasks = 5;
    c.arrays = {{"500", {1, 5, {}}}};
    const std::string output =
        "@quelm-squeue\n"
        "500|2|RUNNING|1:02\n"
        "500|3|PENDING|0:00\n"
        "500|0|COMPLETED|0:07\n"
        "@quelm-squeue-status 0\n"
        "@quelm-files\n"
        "./R1/exit_status:0\n"
        "./R2/exit_status:3\n"
        "./R5/exit_status:0\n"
        "@quelm-end\n";
    std::string source;
    EXPECT_EQ(read_states(output, c, &source),
              (std::vector<std::string>{"COMPLETED/0/7", "FAILED/3/-1", "RUNNING/-1/62", "PENDING/-1/0",
                                        "COMPLETED/0/-1"}));
    EXPECT_EQ(source, "squeue");

    // Every job forgotten by the controller: only the files are known.
    const std::string forgotten =
        "@quelm-squeue\nslurm_load_jobs error: Invalid job id specified\n@quelm-squeue-status 1\n"
        "@quelm-files\n./R4/exit_status:0\n@quelm-end\n";
    std::string why;
    EXPECT_EQ(read_states(forgotten, c, nullptr, &why)[3], "COMPLETED/0/-1");
    EXPECT_TRUE(why.empty()) << why;

    // The controller down: the queue's tasks are unknown, never failed.
    const std::string down =
        "@quelm-squeue\nslurm_load_jobs error: Unable to contact slurm controller (connect failure)\n"
        "@quelm-squeue-status 1\n@quelm-files\n./R2/exit_status:1\n@quelm-end\n";
    const auto states = read_states(down, c, nullptr, &why);
    EXPECT_EQ(states[0], "unknown/-1/-1");
    EXPECT_EQ(states[1], "FAILED/1/-1");
    EXPECT_NE(why.find("Unable to contact slurm controller"), std::string::npos) << why;

    // An answer cut off before its end tells nothing.
    bool asked = true;
    const auto cut = read_states("@quelm-squeue\n500|2|RUNNING|1:02\n", c, nullptr, &why, &asked);
    EXPECT_FALSE(asked);
    EXPECT_EQ(cut[2], "unknown/-1/-1");
}

TEST(SlurmCommands, OneCommandPerPollAndCancelByTask) {
    const QN_campaign c = two_array_campaign();
    const std::string query = slurm().query_command(c.arrays, c.folder);
    EXPECT_NE(query.find("sacct -n -P -X -j 1001,1002,1010 "), std::string::npos) << query;
    EXPECT_NE(query.find("squeue -h -r -t all -j 1001,1002,1010 "), std::string::npos) << query;
    EXPECT_NE(query.find("cd -- '/home/alice/runs/anneal'"), std::string::npos) << query;
    // The command runs in a POSIX shell.
    const std::string file = scratch_dir("query_syntax") + "/q.sh";
    std::ofstream(file) << query;
    EXPECT_EQ(std::system(("sh -n " + file).c_str()), 0);
    EXPECT_EQ(slurm().cancel_command(c.arrays, {}), "scancel 1001 1002 1010");
    EXPECT_EQ(slurm().cancel_command(c.arrays, {2, 3, 6}), "scancel 1010_0 1001_2 1010_4");
    EXPECT_EQ(std::string(QN_scheduler_kinds().front().name), "direct");
    EXPECT_FALSE(QN_scheduler_kinds().front().queued);
    EXPECT_EQ(QN_scheduler_find("pbs"), nullptr);
}

TEST(CampaignStates, KeptBetweenPollsAndNeverFailedByALostServer) {
    // A port nobody listens on: the server cannot be reached.
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len);
    const int port = ntohs(addr.sin_port);
    ::close(probe);

    const std::string dir = scratch_dir("campaign_states");
    QN_campaign c;
    c.server = "127.0.0.1";
    c.port = port;
    c.folder = "/nowhere";
    c.scheduler = "slurm";
    c.tasks = 3;
    c.arrays = {{"9", {1, 3, {}}}};
    const std::string record = dir + "/c.qnc";
    std::string why;
    ASSERT_TRUE(QN_campaign_save(record, c, why));
    // What an earlier poll saw: task 1 completed, task 2 running.
    std::ofstream(record + ".state") << "quelm-campaign-state 1\npolled 1000\nsource squeue\n"
                                        "task 1 COMPLETED 0 12 9_0\ntask 2 RUNNING -1 5 9_1\ntask 3 PENDING -1 0 9_2\n";
    QN_ssh_options options = QN_campaign_ssh_options(c);
    options.timeout = 5;
    options.control_dir = dir + "/ssh";
    options.known_hosts = dir + "/known_hosts";

    // Within the interval nothing is asked.
    QN_campaign_status st = QN_campaign_refresh(record, c, options, 30, 1010);
    EXPECT_TRUE(st.cached);
    EXPECT_EQ(st.polled, 1000);
    EXPECT_EQ(st.tasks[1].state, QN_task_state::running);
    // An interval below the minimum counts as the minimum.
    EXPECT_TRUE(QN_campaign_refresh(record, c, options, 1, 1009).cached);

    // Later the server is gone: the ended task stays, the others are unknown.
    st = QN_campaign_refresh(record, c, options, 30, 2000);
    EXPECT_FALSE(st.cached);
    EXPECT_FALSE(st.error.empty());
    EXPECT_EQ(st.polled, 2000);
    EXPECT_EQ(st.tasks[0].state, QN_task_state::completed);
    EXPECT_EQ(st.tasks[0].elapsed, 12);
    EXPECT_EQ(st.tasks[1].state, QN_task_state::unknown);
    EXPECT_EQ(st.tasks[2].state, QN_task_state::unknown);
    EXPECT_EQ(st.count_text(), "1 COMPLETED, 2 unknown");
    EXPECT_TRUE(QN_campaign_failed_tasks(st).empty());

    // States kept for another array than the task's are not shown for it.
    c.arrays.push_back({"12", {1, 1, {}}});
    EXPECT_EQ(QN_campaign_last_status(record, c).tasks[0].state, QN_task_state::unknown);
    fs::remove_all(dir);
}

TEST(CampaignStates, LinesAndFailedTasks) {
    QN_campaign_status st;
    st.tasks = {{QN_task_state::completed, 0, 65}, {QN_task_state::failed, 3, 2}, {QN_task_state::pending, -1, -1},
                {QN_task_state::timeout, -1, 1800}, {QN_task_state::cancelled, 143, 9},
                {QN_task_state::out_of_memory, 125, 1}};
    EXPECT_EQ(QN_campaign_status_lines(st),
              "R1      COMPLETED     exit 0    0:01:05\n"
              "R2      FAILED        exit 3    0:00:02\n"
              "R3      PENDING\n"
              "R4      TIMEOUT                 0:30:00\n"
              "R5      CANCELLED     exit 143  0:00:09\n"
              "R6      OUT_OF_MEMORY exit 125  0:00:01\n");
    EXPECT_EQ(QN_campaign_failed_tasks(st), (std::vector<int>{2, 4, 6}));
    EXPECT_EQ(st.count_text(), "1 COMPLETED, 1 FAILED, 1 TIMEOUT, 1 OUT_OF_MEMORY, 1 CANCELLED, 1 PENDING");
}
