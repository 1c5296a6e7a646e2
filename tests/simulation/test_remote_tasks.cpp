// Task folders on a real server: submitting staged folders (uploads checked,
// one command per folder, failures reported as failures), the download list
// and downloads into a save folder, and quelm-batch's stage, submit, list and
// download against an OpenSSH server on 127.0.0.1.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>
#include <string>
#include <vector>

#include "qb/qb_file.h"
#include "simulation/remote_tasks.h"
#include "slurm_fixture.h"
#include "sshd_fixture.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

void write_file(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// ---- Without a server ------------------------------------------------------------

TEST(TaskCommand, QuotesTheFolderAndKeepsTheCommand) {
    const struct {
        const char* folder;
        const char* expected;
    } cases[] = {
        {"run/R1", "cd -- 'run/R1' && lmp -in in"},
        {"my run/R2", "cd -- 'my run/R2' && lmp -in in"},
        {"it's; rm -rf ~/R1", "cd -- 'it'\\''s; rm -rf ~/R1' && lmp -in in"},
        {"-x/R1", "cd -- '-x/R1' && lmp -in in"},
    };
    for (const auto& c : cases) {
        std::string line;
        ASSERT_TRUE(QN_task_command(c.folder, "lmp -in in", line)) << c.folder;
        EXPECT_EQ(line, c.expected);
    }
    std::string line = "unchanged";
    EXPECT_FALSE(QN_task_command("a\nb/R1", "true", line));
    EXPECT_FALSE(QN_task_command(std::string("a\0b", 3), "true", line));
    EXPECT_EQ(line, "unchanged");
}

TEST(Reports, SayCompleteOnlyWhenEverythingSucceeded) {
    QN_submit_report report;
    EXPECT_FALSE(report.ok());  // nothing submitted is no success
    QN_task_report good;
    good.folder = "run/R1";
    good.command_ran = true;
    good.exit_status = 0;
    report.tasks = {good};
    EXPECT_EQ(report.summary(), "Submit complete");

    QN_task_report exited = good;
    exited.folder = "run/R2";
    exited.exit_status = 3;
    QN_task_report cut = good;
    cut.folder = "run/R3";
    cut.command_ran = false;
    cut.error = "upload of in failed: connection lost";
    report.tasks = {good, exited, cut};
    EXPECT_FALSE(report.ok());
    EXPECT_EQ(report.summary(),
              "Submit failed: 2 of 3 tasks did not succeed\n"
              "run/R2: the command ended with exit status 3\n"
              "run/R3: upload of in failed: connection lost");

    QN_download_report download;
    EXPECT_EQ(download.summary(), "No file selected: nothing was downloaded");
    download.done = {"R1/log"};
    EXPECT_EQ(download.summary(), "The files have been downloaded");
    download.skipped = {"R1/out"};
    EXPECT_EQ(download.summary(), "The files have been downloaded (1 existing file left as it was)");
    download.failed = {{"R2/log", "size mismatch"}};
    EXPECT_EQ(download.summary(), "Download failed: 1 of 3 files could not be downloaded\nR2/log: size mismatch");
    download.error = "Can not access save folder /x";
    EXPECT_EQ(download.summary(), "Download failed: Can not access save folder /x");
}

TEST(DownloadList, FilesComeInByteOrder) {
    QN_download_filelist list;
    list.items = {{"b", 1, 0}, {"a.txt", 0, 0}, {"b/Z", 0, 0}, {"b/a", 0, 0}, {"B", 0, 0}};
    EXPECT_EQ(QNDF_files(list), (std::vector<std::string>{"B", "a.txt", "b/Z", "b/a"}));
}

TEST(DownloadRefusals, NoServerIsContactedForAMissingSaveFolder) {
    QN_ssh_options options;
    options.host = "127.0.0.1";
    options.port = 1;  // nothing listens there; the folder check comes first
    options.user = "nobody";
    options.password = "x";
    const QN_download_report report = QNDF_download(options, "run", {"R1/log"}, "/nonexistent/save", QN_existing::refuse);
    EXPECT_FALSE(report.ok());
    EXPECT_EQ(report.error.rfind("Can not access save folder", 0), 0u) << report.error;
}

// ---- Against a server --------------------------------------------------------------

class RemoteTasks : public testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!server.start(why, sshd_setup)) GTEST_SKIP() << why;
        options = server.options();
        options.accept_new_host_key = true;
    }
    TestSshdSetup sshd_setup;
    // A staged folder local/R1 … local/Rn, each holding the named files.
    std::string stage(int tasks, const std::vector<std::pair<std::string, std::string>>& files) {
        const std::string local = scratch.path("staged");
        for (int j = 1; j <= tasks; j++)
            for (const auto& f : files)
                write_file(local + "/R" + std::to_string(j) + "/" + f.first, f.second + " of R" + std::to_string(j));
        return local;
    }
    std::string remote(const std::string& relative) const { return server.home + "/" + relative; }

    TestSshd server;
    QN_ssh_options options;
    ScratchDir scratch;
};

TEST_F(RemoteTasks, SubmitUploadsEveryFileAndRunsTheCommandInsideEachFolder) {
    const std::string local = stage(2, {{"in", "units metal"}, {"it's a; \"job\"", "quoted name"}});
    const QN_submit_report report =
        QN_submit_tasks(options, local, 2, "runs/first", "cat in > out.txt && pwd > where.txt", false);
    ASSERT_TRUE(report.ok()) << report.summary();
    EXPECT_EQ(report.summary(), "Submit complete");
    ASSERT_EQ(report.tasks.size(), 2u);
    for (int j = 1; j <= 2; j++) {
        const std::string r = "runs/first/R" + std::to_string(j);
        EXPECT_EQ(report.tasks[j - 1].folder, r);
        EXPECT_EQ(report.tasks[j - 1].files_uploaded, 2);
        EXPECT_EQ(slurp(remote(r + "/in")), "units metal of R" + std::to_string(j));
        EXPECT_EQ(slurp(remote(r + "/it's a; \"job\"")), "quoted name of R" + std::to_string(j));
        EXPECT_EQ(slurp(remote(r + "/out.txt")), "units metal of R" + std::to_string(j));
        EXPECT_EQ(slurp(remote(r + "/where.txt")), remote(r) + "\n");
    }
}

TEST_F(RemoteTasks, SharedFilesGoUpOnceAndEachTaskCopiesThemBeforeItsSetupAndCommand) {
    const std::string local = stage(2, {{"input.qld", "task"}});
    write_file(local + "/pot's.quelm", "potential");
    QN_submit_shared shared;
    shared.files = {"pot's.quelm"};
    shared.setup = "echo '0' > run_no";
    const QN_submit_report report =
        QN_submit_tasks(options, local, 2, "run", "cat \"pot's.quelm\" run_no > seen", false, &shared);
    ASSERT_TRUE(report.ok()) << report.summary();
    EXPECT_EQ(slurp(remote("run/pot's.quelm")), "potential");
    for (const char* r : {"run/R1", "run/R2"}) {
        EXPECT_EQ(slurp(remote(std::string(r) + "/seen")), "potential0\n");
        EXPECT_EQ(report.tasks[0].files_uploaded, 1);
    }
}

TEST_F(RemoteTasks, ResubmittingIsRefusedUnlessOverwriteIsGiven) {
    const std::string local = stage(1, {{"in", "first"}});
    ASSERT_TRUE(QN_submit_tasks(options, local, 1, "run", "true", false).ok());
    write_file(local + "/R1/in", "second");
    const QN_submit_report again = QN_submit_tasks(options, local, 1, "run", "touch ran_again", false);
    EXPECT_FALSE(again.ok());
    EXPECT_TRUE(again.exists);
    EXPECT_TRUE(again.tasks.empty());
    EXPECT_NE(again.summary().find("run/R1 already exists"), std::string::npos) << again.summary();
    EXPECT_EQ(slurp(remote("run/R1/in")), "first of R1");
    EXPECT_FALSE(fs::exists(remote("run/R1/ran_again")));

    const QN_submit_report replaced = QN_submit_tasks(options, local, 1, "run", "touch ran_again", true);
    ASSERT_TRUE(replaced.ok()) << replaced.summary();
    EXPECT_EQ(slurp(remote("run/R1/in")), "second");
    EXPECT_TRUE(fs::exists(remote("run/R1/ran_again")));
}

TEST_F(RemoteTasks, AFailingCommandIsReportedWithItsExitStatusAndTheOthersStillRun) {
    const std::string local = stage(3, {{"in", "x"}});
    write_file(local + "/R2/marker", "");
    const QN_submit_report report =
        QN_submit_tasks(options, local, 3, "run", "test -f marker || { echo no marker >&2; exit 3; }", false);
    ASSERT_EQ(report.tasks.size(), 3u);
    EXPECT_FALSE(report.ok());
    EXPECT_EQ(report.tasks[0].exit_status, 3);
    EXPECT_EQ(report.tasks[0].output, "no marker\n");  // stderr comes back too
    EXPECT_TRUE(report.tasks[1].ok());
    EXPECT_EQ(report.tasks[2].exit_status, 3);
    EXPECT_EQ(report.summary(),
              "Submit failed: 2 of 3 tasks did not succeed\n"
              "run/R1: the command ended with exit status 3\n"
              "run/R3: the command ended with exit status 3");
}

TEST_F(RemoteTasks, AHostileFolderNameIsCreatedLiterallyAndNeverRunAsCommands) {
    const std::string local = stage(1, {{"in", "x"}});
    const std::string folder = "it's; touch PWNED #";
    const QN_submit_report report = QN_submit_tasks(options, local, 1, folder, "touch done", false);
    ASSERT_TRUE(report.ok()) << report.summary();
    EXPECT_TRUE(fs::exists(remote(folder + "/R1/done")));
    EXPECT_FALSE(fs::exists(remote("PWNED")));
}

TEST_F(RemoteTasks, ATaskWhoseFolderCannotBeMadeNeverRunsItsCommand) {
    const std::string local = stage(1, {{"in", "x"}});
    ASSERT_EQ(server.run_as_user("mkdir -p run && echo file > run/R1"), 0);  // R1 is a file
    const QN_submit_report report = QN_submit_tasks(options, local, 1, "run", "touch \"$HOME/ran\"", true);
    ASSERT_EQ(report.tasks.size(), 1u);
    EXPECT_FALSE(report.ok());
    EXPECT_FALSE(report.tasks[0].command_ran);
    EXPECT_NE(report.tasks[0].error.find("cannot create the folder"), std::string::npos) << report.tasks[0].error;
    EXPECT_FALSE(fs::exists(remote("ran")));
}

TEST_F(RemoteTasks, AWrongPasswordSubmitsNothing) {
    const std::string local = stage(1, {{"in", "x"}});
    options.password = "not the password";
    const QN_submit_report report = QN_submit_tasks(options, local, 1, "run", "true", false);
    EXPECT_FALSE(report.ok());
    EXPECT_TRUE(report.tasks.empty());
    EXPECT_NE(report.summary().find("Authentication by password failed"), std::string::npos) << report.summary();
    EXPECT_FALSE(fs::exists(remote("run")));
}

TEST_F(RemoteTasks, TheDownloadListHoldsEveryFileBelowTheRootAndRefusesUnsafeNames) {
    ASSERT_EQ(server.run_as_user("mkdir -p res/R1/sub res/R2 && echo a > res/R1/log && echo b > res/R1/sub/dump && "
                                 "echo c > res/R2/log && ln -s /etc/passwd res/R2/link && echo d > 'res/x\\y' && "
                                 "echo e > res/.hidden"),
              0);
    QN_download_filelist list;
    std::string message;
    ASSERT_EQ(QNDF_request(&list, options, "res/", message), QN_SSH_OK) << message;
    EXPECT_EQ(QNDF_files(list), (std::vector<std::string>{".hidden", "R1/log", "R1/sub/dump", "R2/log"}));
    EXPECT_EQ(list.refused, (std::vector<std::string>{"x\\y"}));
    EXPECT_EQ(list.count, static_cast<int>(list.items.size()));
    for (const auto& item : list.items) EXPECT_EQ(item.expand, 0) << item.name;

    QNDF_init(&list);
    EXPECT_LT(QNDF_request(&list, options, "missing", message), 0);
    EXPECT_TRUE(list.items.empty());
}

TEST_F(RemoteTasks, DownloadsFollowTheOverwritePolicyAndStayInsideTheSaveFolder) {
    ASSERT_EQ(server.run_as_user("mkdir -p res/R1 && printf new > res/R1/log && printf out > res/R1/out"), 0);
    const std::string save = scratch.path("save");
    write_file(save + "/R1/log", "old");

    QN_download_report refused = QNDF_download(options, "res", {"R1/log", "R1/out"}, save, QN_existing::refuse);
    EXPECT_FALSE(refused.ok());
    EXPECT_EQ(refused.done, (std::vector<std::string>{"R1/out"}));
    ASSERT_EQ(refused.failed.size(), 1u);
    EXPECT_EQ(refused.failed[0].first, "R1/log");
    EXPECT_EQ(slurp(save + "/R1/log"), "old");
    EXPECT_EQ(slurp(save + "/R1/out"), "out");

    QN_download_report skipped = QNDF_download(options, "res", {"R1/log"}, save, QN_existing::skip);
    EXPECT_TRUE(skipped.ok());
    EXPECT_EQ(skipped.skipped, (std::vector<std::string>{"R1/log"}));
    EXPECT_EQ(slurp(save + "/R1/log"), "old");

    QN_download_report replaced = QNDF_download(options, "res", {"R1/log"}, save, QN_existing::overwrite);
    EXPECT_EQ(replaced.summary(), "The files have been downloaded");
    EXPECT_EQ(slurp(save + "/R1/log"), "new");

    // Names leading out of the save folder, directly or through a link.
    fs::create_directories(scratch.path("outside"));
    fs::create_directory_symlink(scratch.path("outside"), save + "/R9");
    ASSERT_EQ(server.run_as_user("mkdir -p res/R9 && echo x > res/R9/log"), 0);
    QN_download_report escaping =
        QNDF_download(options, "res", {"../escaped", "/etc/x", "R9/log"}, save, QN_existing::overwrite);
    EXPECT_EQ(escaping.failed.size(), 3u);
    EXPECT_TRUE(escaping.done.empty());
    EXPECT_FALSE(fs::exists(scratch.path("escaped")));
    EXPECT_FALSE(fs::exists(scratch.path("outside/log")));
}

// ---- quelm-batch ---------------------------------------------------------------

// A small frame of its own: one loop, a LAMMPS script that runs a few steps.
void write_test_frame(const std::string& dir) {
    write_file(dir + "/config_list.txt", "short_run.txt\n");
    write_file(dir + "/short_run.txt",
               "#frame Short_Run\n"
               "Region: Setting\n"
               "Tip: A_few_NVE_steps\n"
               "Loop: T 300\n"
               "Int: steps 20\n"
               "In: in.short\n");
    write_file(dir + "/in.short",
               "units metal\n"
               "atom_style atomic\n"
               "boundary p p p\n"
               "include in.variable\n"
               "include in.potential\n"
               "velocity all create ${T} 4928459\n"
               "fix 1 all nve\n"
               "thermo 10\n"
               "run ${steps}\n");
}

// A 3 × 3 × 3 fcc Cu block (108 atoms) as a LAMMPS data file.
void write_cu_block(const std::string& path) {
    const double a = 3.615;
    std::string text = "fcc Cu\n\n108 atoms\n1 atom types\n\n";
    text += "0 10.845 xlo xhi\n0 10.845 ylo yhi\n0 10.845 zlo zhi\n\nAtoms # atomic\n\n";
    const double basis[4][3] = {{0, 0, 0}, {0.5, 0.5, 0}, {0.5, 0, 0.5}, {0, 0.5, 0.5}};
    int id = 1;
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 3; j++)
            for (int k = 0; k < 3; k++)
                for (const auto& b : basis) {
                    char line[128];
                    std::snprintf(line, sizeof line, "%d 1 %.6f %.6f %.6f\n", id++, (i + b[0]) * a, (j + b[1]) * a,
                                  (k + b[2]) * a);
                    text += line;
                }
    write_file(path, text);
}

const char* const kPotential = "/usr/share/lammps/potentials/Cu_mishin1.eam.alloy";

class BatchRemote : public RemoteTasks {
protected:
    void SetUp() override {
        RemoteTasks::SetUp();
        if (IsSkipped()) return;
        write_test_frame(scratch.path("config"));
        write_cu_block(scratch.path("cu.lmp"));
        write_file(scratch.path("loop.qnw"),
                   "-PRIVATE_LOOP_FLAG=0\t-T=300\n-PRIVATE_LOOP_FLAG=1\t-T=600\n-PRIVATE_LOOP_FLAG=0\t\n");
        setenv("QUELM_SSH_PASSWORD", server.password.c_str(), 1);
        // quelm-batch's connections to this server stay among the case's files.
        runtime = std::make_unique<ScopedRuntimeDir>(scratch.path("run"));
    }
    void TearDown() override {
        unsetenv("QUELM_SSH_PASSWORD");
        runtime.reset();
    }
    std::unique_ptr<ScopedRuntimeDir> runtime;
    std::string session_args() const {
        return "--host 127.0.0.1 --port " + std::to_string(server.port) + " --user " + server.user +
               " --known-hosts " + server.known_hosts + " --timeout 20";
    }
    std::string frame_args() const {
        return "frame " + scratch.path("config/short_run.txt") + " " + scratch.path("cu.lmp") + " --status " +
               scratch.path("loop.qnw") + " -S_potype=1 -S_pot1=" + kPotential + " -S_elemt=28 -S_mass=63.546";
    }
    // quelm-batch with the arguments; standard input from the file `input`
    // (none when empty).
    BatchOutcome batch(const std::string& arguments, const std::string& input = "") {
        const std::string cmd = std::string(QUELM_BATCH) + " " + arguments + " > " + scratch.path("out") + " 2> " +
                                scratch.path("err") + " < " + (input.empty() ? "/dev/null" : input);
        const int raw = std::system(cmd.c_str());
        BatchOutcome outcome{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(scratch.path("out")),
                             slurp(scratch.path("err"))};
        EXPECT_EQ(outcome.out.find(server.password), std::string::npos);
        EXPECT_EQ(outcome.err.find(server.password), std::string::npos);
        return outcome;
    }
};

TEST_F(BatchRemote, StageWritesOneVariableFilePerLoopValue) {
    if (!fs::exists(kPotential)) GTEST_SKIP() << "LAMMPS potentials are not installed";
    const BatchOutcome staged = batch("stage " + frame_args() + " -o " + scratch.path("staged"));
    ASSERT_EQ(staged.status, 0) << staged.err;
    for (int j = 1; j <= 2; j++) {
        const std::string r = scratch.path("staged/R" + std::to_string(j));
        EXPECT_EQ(slurp(r + "/in.variable"), std::string("read_data cu.lmp\nvariable T equal ") +
                                                 (j == 1 ? "300.000000" : "600.000000") + "\nvariable steps equal 20\n");
        EXPECT_EQ(slurp(r + "/in.potential"),
                  "pair_style eam/alloy\npair_coeff * * Cu_mishin1.eam.alloy Cu\nmass 1 63.546000\n");
        EXPECT_TRUE(fs::exists(r + "/cu.lmp"));
        EXPECT_TRUE(fs::exists(r + "/Cu_mishin1.eam.alloy"));
        EXPECT_EQ(slurp(r + "/in"), slurp(scratch.path("config/in.short")));
    }
    EXPECT_FALSE(fs::exists(scratch.path("staged/R3")));
}

// LAMMPS starts without Open MPI's daemon and without hwloc's look for
// graphics cards on the X displays, which a GUI test's Xvfb closing at the
// same time would turn into an exit.
TEST_F(BatchRemote, SubmitRunsLammpsInEveryTaskFolder) {
    if (system("command -v lmp > /dev/null 2>&1") != 0 || !fs::exists(kPotential))
        GTEST_SKIP() << "LAMMPS (lmp and its potentials) is not installed";
    const std::string submit = "submit " + frame_args() + " " + session_args() +
                               " --folder runs/anneal --command 'OMPI_MCA_ess_singleton_isolated=1 HWLOC_COMPONENTS=-gl lmp -in in > out 2>&1'";
    BatchOutcome first = batch(submit);
    EXPECT_EQ(first.status, 1);  // the server's key is not known yet
    EXPECT_NE(first.err.find("--accept-new-host-key"), std::string::npos) << first.err;
    EXPECT_FALSE(fs::exists(remote("runs")));

    const BatchOutcome done = batch(submit + " --accept-new-host-key");
    ASSERT_EQ(done.status, 0) << done.out << done.err << "\nR1/out:\n"
                              << slurp(remote("runs/anneal/R1/out")) << "\nR2/out:\n"
                              << slurp(remote("runs/anneal/R2/out"));
    EXPECT_NE(done.out.find("Submit complete"), std::string::npos) << done.out;
    for (int j = 1; j <= 2; j++) {
        const std::string out = slurp(remote("runs/anneal/R" + std::to_string(j) + "/out"));
        EXPECT_NE(out.find("Loop time"), std::string::npos) << out;
        EXPECT_EQ(out.find("ERROR"), std::string::npos) << out;
        EXPECT_NE(out.rfind("Total wall time"), std::string::npos);
    }
    EXPECT_NE(slurp(remote("runs/anneal/R2/in.variable")).find("variable T equal 600.000000"), std::string::npos);

    const BatchOutcome again = batch(submit);
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("already exists"), std::string::npos) << again.err;
    EXPECT_EQ(again.out.find("Submit complete"), std::string::npos);
}

TEST_F(BatchRemote, ListAndDownloadBringResultsHome) {
    ASSERT_EQ(server.run_as_user("mkdir -p res/R1 res/R2 && printf one > res/R1/log && printf two > 'res/R2/a b'"),
              0);
    const BatchOutcome listed = batch("list " + session_args() + " --accept-new-host-key --folder res");
    ASSERT_EQ(listed.status, 0) << listed.err;
    EXPECT_EQ(listed.out, "R1/log\nR2/a b\n");

    fs::create_directories(scratch.path("save"));
    const BatchOutcome fetched = batch("download " + session_args() + " --folder res --all -o " + scratch.path("save"));
    ASSERT_EQ(fetched.status, 0) << fetched.err;
    EXPECT_EQ(slurp(scratch.path("save/R1/log")), "one");
    EXPECT_EQ(slurp(scratch.path("save/R2/a b")), "two");

    const BatchOutcome refused = batch("download " + session_args() + " --folder res -o " + scratch.path("save") +
                                       " R1/log");
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out.find("The files have been downloaded"), std::string::npos);
    const BatchOutcome skipped = batch("download " + session_args() + " --folder res -o " + scratch.path("save") +
                                       " R1/log --skip-existing");
    EXPECT_EQ(skipped.status, 0) << skipped.err;
}

TEST_F(BatchRemote, ThePasswordComesFromStandardInputOrTheEnvironmentAndAWrongOneFails) {
    const std::string list = "list " + session_args() + " --accept-new-host-key --folder .";
    unsetenv("QUELM_SSH_PASSWORD");
    const BatchOutcome none = batch(list);  // no terminal, no variable
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("QUELM_SSH_PASSWORD"), std::string::npos) << none.err;

    write_file(scratch.path("pw"), server.password + "\n");
    const BatchOutcome piped = batch(list + " --password-stdin", scratch.path("pw"));
    EXPECT_EQ(piped.status, 0) << piped.err;

    // The connection made with the right password serves the next commands
    // whatever password they bring; after disconnect a wrong one fails.
    setenv("QUELM_SSH_PASSWORD", "wrong-password", 1);
    const BatchOutcome reused = batch(list);
    EXPECT_EQ(reused.status, 0) << reused.err;
    ASSERT_EQ(batch("disconnect --host 127.0.0.1 --port " + std::to_string(server.port) + " --user " + server.user).status, 0);
    const BatchOutcome wrong = batch(list);
    EXPECT_EQ(wrong.status, 1);
    EXPECT_NE(wrong.err.find("Authentication by password failed"), std::string::npos) << wrong.err;
    EXPECT_EQ(wrong.err.find("wrong-password"), std::string::npos);

    setenv("QUELM_SSH_PASSWORD", "", 1);
    const BatchOutcome empty = batch(list);
    EXPECT_EQ(empty.status, 1);
}

}  // namespace

// ---- Campaigns on a one-node Slurm -------------------------------------------

class SlurmCampaign : public BatchRemote {
protected:
    void SetUp() override {
        std::string why;
        if (!cluster.start(why, cluster_setup)) GTEST_SKIP() << "no test cluster: " << why;
        sshd_setup.extra_config = cluster.sshd_config();
        BatchRemote::SetUp();
    }
    // submit of the two-task frame through Slurm, with more options.
    BatchOutcome submit(const std::string& folder, const std::string& record, const std::string& more) {
        return batch("submit " + frame_args() + " " + session_args() + " --accept-new-host-key --folder " + folder +
                     " --scheduler slurm --partition " + cluster.partition + " --campaign " + scratch.path(record) +
                     " " + more);
    }
    // status until every task has ended (polls 10 s apart, at most 12 of them).
    BatchOutcome wait_until_ended(const std::string& record) {
        BatchOutcome st{};
        for (int poll = 0; poll < 12; poll++) {
            st = batch("status " + scratch.path(record) + " --interval 10 --timeout 20");
            if (st.status != 0 || (st.out.find("PENDING") == std::string::npos &&
                                   st.out.find("RUNNING") == std::string::npos &&
                                   st.out.find("unknown") == std::string::npos))
                return st;
            std::this_thread::sleep_for(std::chrono::seconds(poll == 0 ? 3 : 10));
        }
        ADD_FAILURE() << "the tasks did not end: " << st.out;
        return st;
    }
    QN_campaign record(const std::string& name) {
        QN_campaign c;
        std::string why;
        EXPECT_TRUE(QN_campaign_load(scratch.path(name), c, why)) << why;
        return c;
    }
    TestSlurm cluster;
    TestSlurmSetup cluster_setup;
};

TEST_F(SlurmCampaign, SubmittedAsAnArrayFollowedFetchedAndRunAgain) {
    if (!fs::exists(kPotential)) GTEST_SKIP() << "LAMMPS potentials are not installed";
    // Open MPI's launcher in each task folder (srun's direct launch needs the
    // site's PMI support, which this test cluster lacks), each task with its
    // own temporary folder: two mpiruns starting at once on the one node may
    // otherwise both make the same session folder, and one of them fails.
    BatchOutcome sub = submit("runs/anneal", "anneal.qnc",
                              "--time 00:05:00 --env 'export OMP_NUM_THREADS=1' --env 'export TMPDIR=$(mktemp -d -p $HOME)' "
                              "--launcher 'mpirun -np 1 lmp -in in'");
    ASSERT_EQ(sub.status, 0) << sub.out << sub.err;
    EXPECT_NE(sub.out.find("Submitted 2 tasks to the scheduler as job "), std::string::npos) << sub.out;
    EXPECT_NE(sub.out.find("Campaign recorded in " + scratch.path("anneal.qnc") + " (2 tasks, 1 array)"),
              std::string::npos)
        << sub.out;
    const QN_campaign c = record("anneal.qnc");
    EXPECT_EQ(c.folder, server.home + "/runs/anneal");
    EXPECT_EQ(c.scheduler, "slurm");
    ASSERT_EQ(c.arrays.size(), 1u);
    EXPECT_EQ(c.job.job_name, "anneal");
    EXPECT_EQ(c.job.environment, (std::vector<std::string>{"export OMP_NUM_THREADS=1", "export TMPDIR=$(mktemp -d -p $HOME)"}));
    EXPECT_EQ(slurp(scratch.path("anneal.qnc")).find(server.password), std::string::npos);

    // At once, then again within the interval: the second shows the first.
    BatchOutcome st = batch("status " + scratch.path("anneal.qnc") + " --interval 10");
    ASSERT_EQ(st.status, 0) << st.err;
    EXPECT_NE(st.out.find("(squeue)"), std::string::npos) << st.out;
    st = batch("status " + scratch.path("anneal.qnc") + " --interval 10");
    EXPECT_NE(st.out.find("from the last poll; the next in"), std::string::npos) << st.out;

    st = wait_until_ended("anneal.qnc");
    EXPECT_NE(st.out.find(": 2 COMPLETED\n"), std::string::npos)
        << st.out << slurp(remote("runs/anneal/slurm-" + c.arrays[0].job_id + "_0.out"));
    EXPECT_NE(st.out.find("R1      COMPLETED     exit 0"), std::string::npos) << st.out;
    EXPECT_EQ(slurp(remote("runs/anneal/R2/exit_status")), "0\n");
    EXPECT_NE(slurp(remote("runs/anneal/R2/log.lammps")).find("Loop time"), std::string::npos);

    // The logs home, with each task's Slurm output; the second fetch skips them.
    BatchOutcome fetched = batch("fetch " + scratch.path("anneal.qnc") + " -o " + scratch.path("home") +
                                 " --pattern log.lammps");
    ASSERT_EQ(fetched.status, 0) << fetched.err;
    EXPECT_NE(fetched.out.find("Fetched 4 files"), std::string::npos) << fetched.out;
    EXPECT_NE(slurp(scratch.path("home/R1/log.lammps")).find("Loop time"), std::string::npos);
    EXPECT_TRUE(fs::exists(scratch.path("home/R2/slurm-" + c.arrays[0].job_id + "_1.out")));
    EXPECT_FALSE(fs::exists(scratch.path("home/R1/in")));
    // A cut-off file (shorter than the server's) is fetched again.
    write_file(scratch.path("home/R2/log.lammps"), "cut");
    fetched = batch("fetch " + scratch.path("anneal.qnc") + " -o " + scratch.path("home") + " --pattern log.lammps");
    EXPECT_NE(fetched.out.find("Fetched 1 file (3 already home)"), std::string::npos) << fetched.out;
    EXPECT_NE(slurp(scratch.path("home/R2/log.lammps")).find("Loop time"), std::string::npos);

    BatchOutcome again = batch("resubmit " + scratch.path("anneal.qnc") + " --failed");
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_NE(again.out.find("No task has failed"), std::string::npos) << again.out;

    // A launcher that fails the first time in each folder: both tasks FAILED,
    // resubmitted as a new array of the same campaign, then COMPLETED.
    sub = submit("runs/flaky", "flaky.qnc", "--launcher 'test -e tried || { touch tried; false; }'");
    ASSERT_EQ(sub.status, 0) << sub.out << sub.err;
    st = wait_until_ended("flaky.qnc");
    EXPECT_NE(st.out.find(": 2 FAILED\n"), std::string::npos) << st.out;
    EXPECT_NE(st.out.find("R2      FAILED        exit 1"), std::string::npos) << st.out;
    again = batch("resubmit " + scratch.path("flaky.qnc") + " --failed");
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_NE(again.out.find("Resubmitted 2 tasks (R1, R2) as job "), std::string::npos) << again.out;
    const QN_campaign flaky = record("flaky.qnc");
    ASSERT_EQ(flaky.arrays.size(), 2u);
    EXPECT_NE(flaky.arrays[0].job_id, flaky.arrays[1].job_id);
    std::this_thread::sleep_for(std::chrono::seconds(10));
    st = wait_until_ended("flaky.qnc");
    EXPECT_NE(st.out.find(": 2 COMPLETED\n"), std::string::npos) << st.out;
}

TEST_F(SlurmCampaign, RefusalsCancelsAndTheServerGone) {
    if (!fs::exists(kPotential)) GTEST_SKIP() << "LAMMPS potentials are not installed";
    // Slurm's own words, and no record.
    BatchOutcome sub = batch("submit " + frame_args() + " " + session_args() +
                             " --accept-new-host-key --folder runs/bad --scheduler slurm --partition nosuch --campaign " +
                             scratch.path("bad.qnc"));
    EXPECT_EQ(sub.status, 1);
    EXPECT_NE(sub.err.find("sbatch: error: invalid partition specified: nosuch"), std::string::npos) << sub.err;
    EXPECT_FALSE(fs::exists(scratch.path("bad.qnc")));

    sub = submit("runs/long", "long.qnc", "--launcher 'sleep 120'");
    ASSERT_EQ(sub.status, 0) << sub.out << sub.err;
    const QN_campaign c = record("long.qnc");
    // Running within seconds on the idle node.
    std::string out;
    for (int k = 0; k < 50; k++) {
        cluster.run("squeue -h -r -j " + c.arrays[0].job_id + " -o %T", &out);
        if (out == "RUNNING\nRUNNING\n") break;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    BatchOutcome cancelled = batch("cancel " + scratch.path("long.qnc") + " --tasks 2");
    ASSERT_EQ(cancelled.status, 0) << cancelled.err;
    EXPECT_NE(cancelled.out.find("Cancelled 1 task"), std::string::npos) << cancelled.out;
    BatchOutcome bad = batch("cancel " + scratch.path("long.qnc") + " --tasks 3");
    EXPECT_EQ(bad.status, 2) << bad.out << bad.err;
    EXPECT_NE(bad.err.find("not among the campaign's tasks 1 ... 2"), std::string::npos) << bad.err;
    std::this_thread::sleep_for(std::chrono::seconds(2));
    BatchOutcome st = batch("status " + scratch.path("long.qnc") + " --interval 10");
    EXPECT_NE(st.out.find("R1      RUNNING"), std::string::npos) << st.out;
    EXPECT_NE(st.out.find("R2      CANCELLED"), std::string::npos) << st.out;
    // Nothing of a task still running is fetched.
    BatchOutcome fetched = batch("fetch " + scratch.path("long.qnc") + " -o " + scratch.path("home"));
    EXPECT_NE(fetched.out.find("1 task has not ended"), std::string::npos) << fetched.out;
    EXPECT_FALSE(fs::exists(scratch.path("home/R1")));

    // The server gone: the running task is unknown, the cancelled one stays.
    const std::string account = "--host 127.0.0.1 --port " + std::to_string(server.port) + " --user " + server.user;
    const std::string password = server.password;
    server.stop();
    server.password = password;  // still never to be printed
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const BatchOutcome gone = batch("disconnect " + account);
    ASSERT_EQ(gone.status, 0) << gone.err;
    st = batch("status " + scratch.path("long.qnc") + " --interval 10 --timeout 5");
    EXPECT_EQ(st.status, 1);
    EXPECT_NE(st.out.find("R1      unknown"), std::string::npos) << st.out;
    EXPECT_NE(st.out.find("R2      CANCELLED"), std::string::npos) << st.out;
    EXPECT_EQ(st.out.find("FAILED"), std::string::npos) << st.out;
}

class SlurmSmallArrays : public SlurmCampaign {
protected:
    void SetUp() override {
        cluster_setup.max_array_size = 3;
        SlurmCampaign::SetUp();
    }
};

TEST_F(SlurmSmallArrays, ACampaignAboveMaxArraySizeIsSplitAndRunsWhole) {
    const std::string local = stage(7, {{"in", "input"}});
    QN_queue_request queue;
    queue.kind = QN_scheduler_find("slurm");
    queue.job.job_name = "split";
    queue.job.launcher = "cat in > out";
    std::string why;
    ASSERT_TRUE(QB_read_text_file(QN_job_template_path(*queue.kind), queue.templ, &why)) << why;
    const QN_submit_report report = QN_submit_tasks(options, local, 7, "runs/split", "", false, nullptr, &queue);
    ASSERT_TRUE(report.ok()) << report.summary();
    const QN_campaign& c = queue.campaign;
    ASSERT_EQ(c.arrays.size(), 3u);
    EXPECT_EQ(c.arrays[1].part.first_task, 4);
    EXPECT_EQ(c.arrays[2].part.first_task, 7);
    EXPECT_EQ(c.arrays[2].part.count, 1);
    EXPECT_EQ(report.jobs.size(), 3u);
    // Every task ran in its own folder.
    QN_ssh_session session;
    ASSERT_EQ(session.open(options), QN_SSH_OK) << session.message();
    QN_campaign_status st;
    for (int k = 0; k < 60; k++) {
        ASSERT_EQ(QN_campaign_poll(session, c, st), QN_SSH_OK) << st.error;
        if (st.counts()[static_cast<int>(QN_task_state::completed)] == 7) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    EXPECT_EQ(st.count_text(), "7 COMPLETED");
    for (int j = 1; j <= 7; j++)
        EXPECT_EQ(slurp(remote("runs/split/R" + std::to_string(j) + "/out")), "input of R" + std::to_string(j));

    // A refusal leaves the campaign without arrays.
    queue.campaign = QN_campaign();
    queue.job.partition = "nosuch";
    const QN_submit_report refused = QN_submit_tasks(options, local, 7, "runs/split2", "", false, nullptr, &queue);
    EXPECT_FALSE(refused.ok());
    EXPECT_NE(refused.error.find("sbatch: error"), std::string::npos) << refused.error;
    EXPECT_TRUE(queue.campaign.arrays.empty());
}
