#include "slurm_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

int free_port() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return 0;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int port = 0;
    socklen_t len = sizeof addr;
    if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    ::close(s);
    return port;
}

std::string short_host_name() {
    char name[256] = {};
    ::gethostname(name, sizeof name - 1);
    std::string host = name;
    return host.substr(0, host.find('.'));
}

std::string tail_of(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    const std::string all = text.str();
    return all.size() > 1500 ? all.substr(all.size() - 1500) : all;
}

int read_pid(const std::string& path) {
    std::ifstream in(path);
    int pid = 0;
    in >> pid;
    return pid;
}

// Runs a shell command; its exit status and output.
int shell(const std::string& command, std::string* output) {
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (!p) return -1;
    std::string out;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) out.append(buffer, n);
    const int status = ::pclose(p);
    if (output) *output = out;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TestSlurm::~TestSlurm() { stop(); }

int TestSlurm::run(const std::string& command, std::string* output) const {
    return shell("SLURM_CONF='" + conf + "' " + command, output);
}

bool TestSlurm::start(std::string& why, const TestSlurmSetup& setup) {
    if (::geteuid() != 0) {
        why = "the test cluster's daemons run as root";
        return false;
    }
    for (const char* program : {"/usr/sbin/munged", "/usr/sbin/slurmctld", "/usr/sbin/slurmd", "/usr/bin/sbatch"})
        if (::access(program, X_OK) != 0) {
            why = std::string("no ") + program + " (install slurm-wlm and munge)";
            return false;
        }
    std::string pattern = (fs::temp_directory_path() / "quelm-slurm-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        why = "cannot create a private folder";
        return false;
    }
    folder = pattern;
    started_ = true;
    ::chmod(folder.c_str(), 0755);
    fs::create_directories(folder + "/state");
    fs::create_directories(folder + "/spool");

    // A throwaway key, readable by root alone, as munged requires.
    {
        std::ifstream random("/dev/urandom", std::ios::binary);
        std::string key(1024, '\0');
        random.read(key.data(), static_cast<std::streamsize>(key.size()));
        std::ofstream(folder + "/munge.key", std::ios::binary) << key;
        ::chmod((folder + "/munge.key").c_str(), 0400);
    }
    std::string out;
    if (shell("/usr/sbin/munged --key-file=" + folder + "/munge.key --socket=" + folder + "/munge.sock --pid-file=" +
                  folder + "/munged.pid --log-file=" + folder + "/munged.log --seed-file=" + folder + "/munged.seed",
              &out) != 0) {
        why = "munged did not start: " + out + tail_of(folder + "/munged.log");
        stop();
        return false;
    }

    const std::string host = short_host_name();
    conf = folder + "/slurm.conf";
    jobcomp_log = folder + "/jobcomp.log";
    const unsigned cpus = std::max(1u, std::thread::hardware_concurrency());
    std::ofstream c(conf);
    c << "ClusterName=quelmtest\n"
      << "SlurmctldHost=" << host << "\n"
      << "AuthType=auth/munge\nAuthInfo=socket=" << folder << "/munge.sock\nCryptoType=crypto/munge\n"
      << "SlurmUser=root\nSlurmdUser=root\n"
      << "SlurmctldPort=" << free_port() << "\nSlurmdPort=" << free_port() << "\n"
      << "StateSaveLocation=" << folder << "/state\nSlurmdSpoolDir=" << folder << "/spool\n"
      << "SlurmctldPidFile=" << folder << "/slurmctld.pid\nSlurmdPidFile=" << folder << "/slurmd.pid\n"
      << "SlurmctldLogFile=" << folder << "/slurmctld.log\nSlurmdLogFile=" << folder << "/slurmd.log\n"
      << "ProctrackType=proctrack/linuxproc\nTaskPlugin=task/none\nSwitchType=switch/none\nMpiDefault=none\n"
      << "ReturnToService=2\nSelectType=select/cons_tres\nSelectTypeParameters=CR_Core\n"
      << "JobAcctGatherType=jobacct_gather/none\nAccountingStorageType=accounting_storage/none\n"
      << "JobCompType=jobcomp/filetxt\nJobCompLoc=" << jobcomp_log << "\n"
      << "MinJobAge=" << setup.min_job_age << "\n"
      << (setup.max_array_size > 0 ? "MaxArraySize=" + std::to_string(setup.max_array_size) + "\n" : "")
      << "NodeName=" << host << " CPUs=" << cpus << " State=UNKNOWN\n"
      << "PartitionName=" << partition << " Nodes=" << host << " Default=YES MaxTime=INFINITE State=UP\n";
    c.close();
    if (!c) {
        why = "cannot write " + conf;
        stop();
        return false;
    }
    if (run("/usr/sbin/slurmctld -i", &out) != 0) {
        why = "slurmctld did not start: " + out + tail_of(folder + "/slurmctld.log");
        stop();
        return false;
    }
    if (run("/usr/sbin/slurmd", &out) != 0) {
        why = "slurmd did not start: " + out + tail_of(folder + "/slurmd.log");
        stop();
        return false;
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < until) {
        if (run("sinfo -h -o %t", &out) == 0 && out.rfind("idle", 0) == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    why = "the node did not become idle (sinfo: " + out + ")\n" + tail_of(folder + "/slurmctld.log") +
          tail_of(folder + "/slurmd.log");
    stop();
    return false;
}

bool TestSlurm::stop_daemon(const char* name) {
    const int pid = read_pid(folder + "/" + name + ".pid");
    if (pid <= 0) return true;
    ::kill(pid, SIGTERM);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    // Gone, or a zombie of a parent that does not reap (PID 1 here).
    auto alive = [pid] {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string text;
        std::getline(stat, text);
        const size_t close = text.rfind(')');
        return !text.empty() && close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
    };
    while (alive() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (alive()) ::kill(pid, SIGKILL);
    return true;
}

void TestSlurm::stop() {
    if (!started_) return;
    started_ = false;
    // Every account's jobs (the tests' accounts submit too), then a little
    // time for their steps to end before the daemons go.
    if (!conf.empty() && fs::exists(conf)) {
        run("squeue -h -o %A | xargs -r scancel 2>/dev/null; true");
        std::string out;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < until && run("squeue -h -o %A", &out) == 0 && !out.empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    stop_daemon("slurmd");
    stop_daemon("slurmctld");
    stop_daemon("munged");
    std::error_code ec;
    fs::remove_all(folder, ec);
}
