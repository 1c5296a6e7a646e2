// The simulation wizards at scale: packing 200 tasks of a 100,000-atom model,
// and submitting them over loopback (the potential, model and job script go
// up once and are copied on the server). Starts its own sshd, so the
// submission needs root.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "store/quelm_store.h"
#include "qb/qb_formats.h"
#include "qb/qb_lattice.h"
#include "simulation/remote_tasks.h"
#include "simulation/wizard.h"
#include "sshd_fixture.h"
#include "tools/potentials.h"

namespace fs = std::filesystem;

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

const char* const kSetfl = "/usr/share/lammps/potentials/CuNi.eam.alloy";

}  // namespace

int main() {
    TestSshd server;
    std::string why;
    if (!server.start(why)) {
        std::fprintf(stderr, "bench_wizard: %s\n", why.c_str());
        return 1;
    }
    QN_ssh_options options = server.options();
    options.accept_new_host_key = true;
    options.timeout = 60;
    const std::string dir = server.scratch + "/bench";
    fs::create_directories(dir);

    // 100,000 atoms: 25 x 25 x 40 fcc cells.
    QB_tools model;
    if (QB_create_fcc(&model, 3.615, 1, 0, 0, 0, 1, 0, 0, 0, 1) != 0 || QB_duplicate(&model, 25, 25, 40) != 1 ||
        model.natoms != 100000 || QB_dump_lmp(&model, (dir + "/cu100k.lmp").c_str()) != 1) {
        std::fprintf(stderr, "bench_wizard: cannot write the model\n");
        return 1;
    }
    std::string message;
    if (!fs::exists(kSetfl) ||
        !QT_setfl_to_quelm(kSetfl, dir + "/cuni.quelm", QT_setfl_layout::alloy, message)) {
        std::fprintf(stderr, "bench_wizard: no potential (%s): %s\n", kSetfl, message.c_str());
        return 1;
    }
    std::ofstream(dir + "/job.sh") << "#!/bin/sh\necho job\n";

    // Quasistatic: 20 strain steps x 10 temperatures = 200 tasks, one image.
    QN_store_init();
    QN_wizard_write_defaults(QN_wizard::quasistatic);
    const int group = QN_wizard_about(QN_wizard::quasistatic).group;
    QN_set_bit_char(group, "S_pot", dir + "/cuni.quelm");
    QN_set_bit_char(group, "S_inputa", dir + "/cu100k.lmp");
    QN_set_bit_char(group, "S_script", dir + "/job.sh");
    QN_set_bit_double_multi(group, 0, "S_mass", 63.546, 0);
    for (int k = 0; k < 20; k++) QN_set_bit_double(group, "S_rate", 1e-4 * (k + 1), k);
    for (int k = 0; k < 10; k++) QN_set_bit_double(group, "S_temp", 100 + 50 * k, k);
    QN_set_bit_int(group, "S_img1", 1, 0);
    QN_wizard_extras extras;
    extras.images.resize(1);

    auto start = std::chrono::steady_clock::now();
    const int packed = QN_wizard_pack(QN_wizard::quasistatic, extras, dir + "/pack", true, message);
    const double packing = seconds_since(start);
    if (packed != 200) {
        std::fprintf(stderr, "bench_wizard: pack gave %d: %s\n", packed, message.c_str());
        return 1;
    }
    std::printf("pack 200 tasks of a 100,000-atom model (%.1f MB): %.2f s (target 5 s)\n",
                fs::file_size(dir + "/cu100k.lmp") / 1e6, packing);

    start = std::chrono::steady_clock::now();
    const QN_submit_report report =
        QN_wizard_submit(QN_wizard::quasistatic, extras, options, "bench", "true", false);
    const double submitting = seconds_since(start);
    if (!report.ok()) {
        std::fprintf(stderr, "bench_wizard: %s\n", report.summary().c_str());
        return 1;
    }
    int files = 0;
    for (const auto& t : report.tasks) files += t.files_uploaded;
    std::printf("submit 200 tasks (3 shared files uploaded once, %d task files, 200 commands): %.2f s "
                "(target 20 s)\n",
                files, submitting);
    return 0;
}
