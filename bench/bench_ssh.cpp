// The remote session over loopback: opening (a new connection, then the
// running one again), the round trip of a remote command, submitting 20 and
// 200 small tasks, and a 500 MB download (speed and memory). Prints the
// server's count of authentications at the end: with one control master per
// server the whole run logs in once. Starts its own sshd, so it needs root.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "simulation/remote_tasks.h"
#include "simulation/ssh_session.h"
#include "sshd_fixture.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

long peak_rss_kb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void write_file(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// The "Accepted METHOD for USER" lines of the server's log.
int logins(const TestSshd& server) {
    std::istringstream lines(server.log_text());
    std::string line;
    int n = 0;
    while (std::getline(lines, line))
        if (line.find("Accepted password for " + server.user) != std::string::npos) ++n;
    return n;
}

// Stages n tasks of five small files each, as a frame's submission does.
void stage(const std::string& dir, int n) {
    for (int j = 1; j <= n; j++) {
        const std::string r = dir + "/R" + std::to_string(j);
        write_file(r + "/in", "units metal\natom_style atomic\nboundary p p p\ninclude in.variable\n");
        write_file(r + "/in.variable", "read_data model.lmp\nvariable T equal " + std::to_string(300 + j) + "\n");
        write_file(r + "/in.potential", "pair_style zero 3.0\npair_coeff * *\nmass 1 63.546\n");
        write_file(r + "/model.lmp", "one atom\n\n1 atoms\n1 atom types\n\n0 4 xlo xhi\n0 4 ylo yhi\n0 4 zlo zhi\n\n"
                                     "Atoms # atomic\n\n1 1 0 0 0\n");
        write_file(r + "/job.sh", "#!/bin/sh\nlmp -in in\n");
    }
}

}  // namespace

int main() {
    TestSshd server;
    std::string why;
    if (!server.start(why)) {
        std::fprintf(stderr, "bench_ssh: %s\n", why.c_str());
        return 1;
    }
    QN_ssh_options options = server.options();
    options.accept_new_host_key = true;
    options.timeout = 60;

    // Opening: the first time authenticates, the second finds the connection.
    QN_ssh_session session;
    auto start = Clock::now();
    if (session.open(options) != QN_SSH_OK) {
        std::fprintf(stderr, "bench_ssh: %s\n", session.message().c_str());
        return 1;
    }
    const double first_open = seconds_since(start);
    session.close();
    start = Clock::now();
    if (session.open(options) != QN_SSH_OK) {
        std::fprintf(stderr, "bench_ssh: %s\n", session.message().c_str());
        return 1;
    }
    const double second_open = seconds_since(start);
    std::printf("open: %.0f ms (authenticating), %.0f ms (again, within the same program)\n", first_open * 1000,
                second_open * 1000);

    // The round trip of a command.
    std::vector<double> trips;
    for (int i = 0; i < 100; i++) {
        int status = -1;
        start = Clock::now();
        if (session.exec("true", &status) != QN_SSH_OK || status != 0) {
            std::fprintf(stderr, "bench_ssh: %s\n", session.message().c_str());
            return 1;
        }
        trips.push_back(seconds_since(start) * 1000);
    }
    std::sort(trips.begin(), trips.end());
    std::printf("command round trip: median %.1f ms, 90th percentile %.1f ms over 100 commands (target 20 ms)\n",
                trips[trips.size() / 2], trips[trips.size() * 9 / 10]);
    session.close();

    // Submissions: five small files and one command per task.
    const std::string dir = server.scratch + "/bench";
    for (int n : {20, 200}) {
        const std::string local = dir + "/staged" + std::to_string(n);
        stage(local, n);
        start = Clock::now();
        const QN_submit_report report =
            QN_submit_tasks(options, local, n, "bench" + std::to_string(n), "true", false);
        const double took = seconds_since(start);
        if (!report.ok()) {
            std::fprintf(stderr, "bench_ssh: %s\n", report.summary().c_str());
            return 1;
        }
        int files = 0;
        for (const auto& t : report.tasks) files += t.files_uploaded;
        std::printf("submit %d tasks (%d files, %d commands): %.2f s%s\n", n, files, n, took,
                    n == 200 ? " (target 10 s)" : "");
    }

    // 500 MB download: speed and memory.
    const long size_mb = 500;
    if (server.run_as_user("head -c " + std::to_string(size_mb) + "M /dev/urandom > big") != 0) return 1;
    if (session.open(options) != QN_SSH_OK) {
        std::fprintf(stderr, "bench_ssh: %s\n", session.message().c_str());
        return 1;
    }
    const long rss_before = peak_rss_kb();
    start = Clock::now();
    if (session.download(server.home + "/big", dir + "/big", QN_existing::overwrite) != QN_SSH_OK) {
        std::fprintf(stderr, "bench_ssh: %s\n", session.message().c_str());
        return 1;
    }
    const double download = seconds_since(start);
    session.close();
    if (fs::file_size(dir + "/big") != static_cast<uintmax_t>(size_mb) << 20) {
        std::fprintf(stderr, "bench_ssh: the download has the wrong size\n");
        return 1;
    }
    std::printf("download %ld MB: %.2f s, %.0f MB/s (target 100 MB/s); peak memory grew by %.1f MB\n", size_mb,
                download, size_mb / download, (peak_rss_kb() - rss_before) / 1024.0);
    fs::remove(dir + "/big");
    std::printf("authentications logged by the server for the whole run: %d\n", logins(server));
    return 0;
}
