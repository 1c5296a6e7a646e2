// Remote runs over loopback: staging and submitting 200 small tasks (one
// SFTP session, one command per task), downloading a 500 MB file (speed and
// memory), and listing 200 folders of 20 files. Starts its own sshd, so it
// needs root.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "store/quelm_store.h"
#include "simulation/frame_template.h"
#include "simulation/remote_tasks.h"
#include "sshd_fixture.h"

namespace fs = std::filesystem;

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

long peak_rss_kb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void write_file(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

}  // namespace

int main() {
    TestSshd server;
    std::string why;
    if (!server.start(why)) {
        std::fprintf(stderr, "bench_remote: %s\n", why.c_str());
        return 1;
    }
    QN_ssh_options options = server.options();
    options.accept_new_host_key = true;
    options.timeout = 60;
    const std::string dir = server.scratch + "/bench";
    fs::create_directories(dir + "/config");

    // A frame with one loop of 200 values; the custom potential needs no file.
    write_file(dir + "/config/config_list.txt", "bench.txt\n");
    write_file(dir + "/config/bench.txt", "#frame Bench\nRegion: Setting\nLoop: T 300\nIn: in.bench\n");
    write_file(dir + "/config/in.bench", "units metal\natom_style atomic\nboundary p p p\ninclude in.variable\n");
    write_file(dir + "/pair.in", "pair_style zero 3.0\npair_coeff * *\n");
    write_file(dir + "/model.lmp",
               "one atom\n\n1 atoms\n1 atom types\n\n0 4 xlo xhi\n0 4 ylo yhi\n0 4 zlo zhi\n\nAtoms # atomic\n\n"
               "1 1 0 0 0\n");
    QN_store_init();
    const int group = QN_add_zone();
    QN_frame_template frame;
    std::string message;
    if (QN_frame_read_template(dir + "/config/bench.txt", frame, message) != 1) {
        std::fprintf(stderr, "bench_remote: %s\n", message.c_str());
        return 1;
    }
    QN_frame_write_defaults(group, frame);
    QN_set_bit_char(group, "S_input", dir + "/model.lmp");
    QN_set_bit_int(group, "S_potype", 5, 0);
    QN_set_bit_char(group, "S_pot_cus", dir + "/pair.in");
    QN_set_bit_double_multi(group, 0, "S_mass", 63.546, 0);
    QN_set_bit_int_multi(group, 0, "S_elemt", 28, 0);
    for (int k = 0; k < 200; k++) QN_set_bit_double(group, "T", 300 + k, k);

    auto start = std::chrono::steady_clock::now();
    const int tasks = QN_frame_stage(group, frame, dir + "/config", dir + "/staged", true, message);
    const double staging = seconds_since(start);
    if (tasks != 200) {
        std::fprintf(stderr, "bench_remote: staging gave %d tasks: %s\n", tasks, message.c_str());
        return 1;
    }
    start = std::chrono::steady_clock::now();
    const QN_submit_report report = QN_submit_tasks(options, dir + "/staged", tasks, "bench", "true", false);
    const double submitting = seconds_since(start);
    if (!report.ok()) {
        std::fprintf(stderr, "bench_remote: %s\n", report.summary().c_str());
        return 1;
    }
    int files = 0;
    for (const auto& t : report.tasks) files += t.files_uploaded;
    std::printf("stage + submit 200 tasks (%d files, 200 commands): %.2f s (staging %.2f s, submit %.2f s; target 15 s)\n",
                files, staging + submitting, staging, submitting);

    // 500 MB download: speed and memory.
    const long size_mb = 500;
    if (server.run_as_user("truncate -s " + std::to_string(size_mb) + "M big") != 0) return 1;
    fs::create_directories(dir + "/save");
    const long rss_before = peak_rss_kb();
    start = std::chrono::steady_clock::now();
    const QN_download_report fetched = QNDF_download(options, ".", {"big"}, dir + "/save", QN_existing::overwrite);
    const double download = seconds_since(start);
    if (!fetched.ok() || fs::file_size(dir + "/save/big") != static_cast<uintmax_t>(size_mb) << 20) {
        std::fprintf(stderr, "bench_remote: %s\n", fetched.summary().c_str());
        return 1;
    }
    std::printf("download %ld MB: %.2f s, %.0f MB/s (target 100 MB/s); peak memory grew by %.1f MB\n", size_mb,
                download, size_mb / download, (peak_rss_kb() - rss_before) / 1024.0);
    fs::remove(dir + "/save/big");

    // Listing 200 folders × 20 files.
    if (server.run_as_user("mkdir list && cd list && for i in $(seq 1 200); do mkdir R$i; "
                           "(cd R$i && touch $(seq -f 'file%g.dat' 1 20)); done") != 0)
        return 1;
    QN_download_filelist list;
    start = std::chrono::steady_clock::now();
    if (QNDF_request(&list, options, "list", message) != QN_SSH_OK) {
        std::fprintf(stderr, "bench_remote: %s\n", message.c_str());
        return 1;
    }
    const double listing = seconds_since(start);
    std::printf("list 200 folders x 20 files (%zu files): %.2f s (target 2 s)\n", QNDF_files(list).size(), listing);
    return 0;
}
