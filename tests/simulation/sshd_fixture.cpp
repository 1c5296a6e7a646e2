#include "sshd_fixture.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <initializer_list>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace {

const char kSshd[] = "/usr/sbin/sshd";
const char kHostKeyName[] = "ssh_host_ed25519_key";  // in the scratch folder

// Runs argv[0] (an absolute path) with `input` on its standard input; its
// stdout and stderr go to *output when given. Returns the exit status, or
// -1 when it could not run or ended by a signal.
int run_program(const std::vector<std::string>& argv, const std::string& input = std::string(),
                std::string* output = nullptr, const char* cwd = nullptr) {
    int in_pipe[2], out_pipe[2];
    if (::pipe2(in_pipe, O_CLOEXEC) != 0) return -1;
    if (::pipe2(out_pipe, O_CLOEXEC) != 0) {
        ::close(in_pipe[0]);
        ::close(in_pipe[1]);
        return -1;
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in_pipe[0], 0);
        ::dup2(out_pipe[1], 1);
        ::dup2(out_pipe[1], 2);
        if (cwd && ::chdir(cwd) != 0) ::_exit(126);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(in_pipe[0]);
    ::close(out_pipe[1]);
    if (pid < 0) {
        ::close(in_pipe[1]);
        ::close(out_pipe[0]);
        return -1;
    }
    // The inputs here are short: written whole before reading.
    const struct sigaction ignore = {};
    struct sigaction old_action;
    struct sigaction pipe_ignore = ignore;
    pipe_ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &pipe_ignore, &old_action);
    size_t off = 0;
    while (off < input.size()) {
        const ssize_t n = ::write(in_pipe[1], input.data() + off, input.size() - off);
        if (n <= 0) break;
        off += static_cast<size_t>(n);
    }
    ::close(in_pipe[1]);
    ::sigaction(SIGPIPE, &old_action, nullptr);
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(out_pipe[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (output) output->append(buffer, static_cast<size_t>(n));
    }
    ::close(out_pipe[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// useradd, userdel and chpasswd fail while another process holds the lock
// of /etc/passwd or /etc/shadow (test processes run in parallel): retry.
// `retry_on` lists the exit statuses that mean "busy".
int run_locked(const std::vector<std::string>& argv, const std::string& input, std::string* output,
               std::initializer_list<int> retry_on) {
    int status = -1;
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (output) output->clear();
        status = run_program(argv, input, output);
        if (status == 0 || std::find(retry_on.begin(), retry_on.end(), status) == retry_on.end()) return status;
        std::this_thread::sleep_for(std::chrono::milliseconds(50 + 10 * (attempt % 10)));
    }
    return status;
}

std::string random_password(size_t length) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::ifstream in("/dev/urandom", std::ios::binary);
    std::string out;
    while (out.size() < length && in) {
        const int c = in.get();
        if (c < 0) break;
        if (c < 248) out += alphabet[c % 62];  // 248 = 4 × 62: no bias
    }
    return out;
}

int free_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = 0;
    socklen_t len = sizeof sa;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) == 0)
        port = ntohs(sa.sin_port);
    ::close(fd);
    return port;
}

bool port_accepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    ::close(fd);
    return ok;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Parent pid and real uid of a process from /proc, false when it is gone
// (or only a zombie).
bool process_info(pid_t pid, pid_t& parent, uid_t& uid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    if (!in) return false;
    std::string line;
    bool have_parent = false, have_uid = false;
    while (std::getline(in, line)) {
        if (line.rfind("State:", 0) == 0 && line.find('Z') != std::string::npos) return false;  // a zombie
        if (line.rfind("PPid:", 0) == 0) {
            parent = static_cast<pid_t>(std::atol(line.c_str() + 5));
            have_parent = true;
        } else if (line.rfind("Uid:", 0) == 0) {
            uid = static_cast<uid_t>(std::strtoul(line.c_str() + 4, nullptr, 10));
            have_uid = true;
        }
    }
    return have_parent && have_uid;
}

// SIGKILL to each process of `uid` (the throwaway account) or whose parent
// is `parent`; the number of processes signalled.
int kill_processes(uid_t uid, bool by_uid, pid_t parent) {
    int count = 0;
    for (pid_t pid : all_pids()) {
        if (pid == ::getpid()) continue;
        pid_t ppid = 0;
        uid_t puid = 0;
        if (!process_info(pid, ppid, puid)) continue;
        if ((by_uid && puid == uid) || (parent > 0 && ppid == parent)) {
            if (::kill(pid, SIGKILL) == 0) ++count;
        }
    }
    return count;
}

std::atomic<int> instance_counter{0};

// True when a socket can listen on ::1.
bool ipv6_loopback() {
    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_addr = in6addr_loopback;
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

std::vector<pid_t> all_pids() {
    std::vector<pid_t> pids;
    if (DIR* d = ::opendir("/proc")) {
        while (dirent* e = ::readdir(d)) {
            char* end = nullptr;
            const long v = std::strtol(e->d_name, &end, 10);
            if (end && *end == '\0' && v > 0) pids.push_back(static_cast<pid_t>(v));
        }
        ::closedir(d);
    }
    return pids;
}


TestSshd::~TestSshd() { stop(); }

bool TestSshd::start(std::string& why, const TestSshdSetup& setup) {
    if (::geteuid() != 0) {
        why = "the SSH server tests need root (to add a throwaway account and run sshd)";
        return false;
    }
    if (::access(kSshd, X_OK) != 0) {
        why = std::string(kSshd) + " is missing (install openssh-server)";
        return false;
    }
    char dir_template[] = "/tmp/qnsshd.XXXXXX";
    if (!::mkdtemp(dir_template)) {
        why = std::string("mkdtemp: ") + std::strerror(errno);
        return false;
    }
    scratch = dir_template;
    // The account may read the test's files by name, not list the folder.
    ::chmod(scratch.c_str(), 0711);
    known_hosts = scratch + "/known_hosts";
    log = scratch + "/sshd.log";
    config_ = scratch + "/sshd_config";
    host_key_ = scratch + "/" + kHostKeyName;

    user = "qtst" + std::to_string(::getpid()) + "n" + std::to_string(instance_counter++);
    std::string out;
    if (run_locked({"/usr/sbin/useradd", "-m", "-s", "/bin/bash", user}, "", &out, {1, 10}) != 0) {
        why = "useradd " + user + " failed: " + out;
        user.clear();
        stop();
        return false;
    }
    password = random_password(24);
    if (run_locked({"/usr/sbin/chpasswd"}, user + ":" + password + "\n", &out, {1, 10}) != 0) {
        why = "chpasswd failed: " + out;
        stop();
        return false;
    }
    if (const passwd* pw = ::getpwnam(user.c_str())) home = pw->pw_dir;
    if (home.empty()) {
        why = "the new account " + user + " has no home folder";
        stop();
        return false;
    }
    if (run_program({"/usr/bin/ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", host_key_}, "", &out) != 0) {
        why = "ssh-keygen failed: " + out;
        stop();
        return false;
    }
    port = free_port();
    if (port == 0) {
        why = "no free port";
        stop();
        return false;
    }
    ipv6 = setup.ipv6 && ipv6_loopback();
    std::ofstream conf(config_);
    conf << "Port " << port << "\n"
         << "ListenAddress 127.0.0.1\n"
         << (ipv6 ? "ListenAddress ::1\n" : "")
         << "HostKey " << host_key_ << "\n"
         << "PidFile " << scratch << "/sshd.pid\n"
         << "PasswordAuthentication " << (setup.password ? "yes" : "no") << "\n"
         << "KbdInteractiveAuthentication " << (setup.pam ? "yes" : "no") << "\n"
         << "PubkeyAuthentication " << (setup.pubkey ? "yes" : "no") << "\n"
         << "UsePAM " << (setup.pam ? "yes" : "no") << "\n"
         << (setup.methods.empty() ? std::string() : "AuthenticationMethods " + setup.methods + "\n")
         << "AllowUsers " << user << "\n"
         << "PermitRootLogin no\n"
         << "UseDNS no\n"
         << "LogLevel " << setup.log_level << "\n"
         << "MaxStartups 100\n"
         << "MaxSessions 100\n"
         << "Subsystem sftp /usr/lib/openssh/sftp-server\n";
    for (const auto& line : setup.extra_config) conf << line << "\n";
    conf.close();
    if (!conf) {
        why = "cannot write " + config_;
        stop();
        return false;
    }
    ::mkdir("/run/sshd", 0755);
    if (!launch(why)) {
        stop();
        return false;
    }
    return true;
}

bool TestSshd::launch(std::string& why) {
    std::string out;
    if (run_program({kSshd, "-t", "-f", config_}, "", &out) != 0) {
        why = "sshd refuses its configuration: " + out;
        return false;
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        why = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    if (pid == 0) {
        const int null_fd = ::open("/dev/null", O_RDWR);
        if (null_fd >= 0) {
            ::dup2(null_fd, 0);
            ::dup2(null_fd, 1);
            ::dup2(null_fd, 2);
        }
        ::execl(kSshd, kSshd, "-f", config_.c_str(), "-D", "-E", log.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    pid_ = pid;
    // Ready when sshd says it listens: a probe connection would leave
    // lines in the log that tests look at.
    const std::string listening = "Server listening on 127.0.0.1 port " + std::to_string(port);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < until) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = 0;
            why = "sshd ended at once: " + log_text();
            return false;
        }
        if (log_text().find(listening) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // No line (another log format?): fall back to a connection.
    if (port_accepts(port)) return true;
    why = "sshd did not listen on port " + std::to_string(port) + " within 5 s: " + log_text();
    return false;
}

void TestSshd::stop() {
    if (pid_ > 0) {
        kill_sessions();
        ::kill(pid_, SIGTERM);
        int status = 0;
        bool ended = false;
        for (int i = 0; i < 300 && !ended; ++i) {
            if (::waitpid(pid_, &status, WNOHANG) == pid_)
                ended = true;
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (!ended) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
        }
        pid_ = 0;
    }
    if (!user.empty()) {
        if (const passwd* pw = ::getpwnam(user.c_str())) {
            const uid_t uid = pw->pw_uid;
            for (int i = 0; i < 50 && kill_processes(uid, true, 0) > 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            std::string out;
            run_locked({"/usr/sbin/userdel", "-r", "-f", user}, "", &out, {1, 10});
        }
        user.clear();
    }
    if (!scratch.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(scratch, ec);
        scratch.clear();
    }
}

bool TestSshd::restart_with_new_host_key(std::string& why) {
    kill_sessions();
    // The control masters of the test's sessions notice the cut and go.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    for (bool sockets = true; sockets && std::chrono::steady_clock::now() < until;) {
        sockets = false;
        std::error_code ec;
        for (const auto& dir : std::filesystem::directory_iterator(scratch, ec)) {
            if (dir.path().filename().string().rfind("ctl", 0) != 0) continue;
            for (const auto& entry : std::filesystem::directory_iterator(dir.path(), ec))
                if (entry.is_socket(ec) && entry.path().filename().string().rfind("ask.", 0) != 0) sockets = true;
        }
        if (sockets) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = 0;
    }
    ::unlink(host_key_.c_str());
    ::unlink((host_key_ + ".pub").c_str());
    std::string out;
    if (run_program({"/usr/bin/ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", host_key_}, "", &out) != 0) {
        why = "ssh-keygen failed: " + out;
        return false;
    }
    // A fresh log, so that "Server listening" means the new server.
    ::truncate(log.c_str(), 0);
    return launch(why);
}

void TestSshd::kill_sessions() {
    // The account's processes first (its side of each connection): the
    // per-connection sshd processes then end by themselves and are reaped
    // by their parents instead of lingering as zombies. Whatever is left
    // of them goes after a short while.
    uid_t uid = 0;
    bool have_uid = false;
    if (!user.empty())
        if (const passwd* pw = ::getpwnam(user.c_str())) {
            uid = pw->pw_uid;
            have_uid = true;
            kill_processes(uid, true, 0);
        }
    if (pid_ <= 0) return;
    // A connection that has just authenticated may get its account-side
    // process only now: those are killed as they appear.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    while (std::chrono::steady_clock::now() < until) {
        bool children = false;
        for (pid_t pid : all_pids()) {
            pid_t ppid = 0;
            uid_t puid = 0;
            if (process_info(pid, ppid, puid) && ppid == pid_) children = true;
        }
        if (!children) return;
        if (have_uid) kill_processes(uid, true, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill_processes(0, false, pid_);
    if (have_uid) kill_processes(uid, true, 0);
}

QN_ssh_options TestSshd::options() const {
    QN_ssh_options o;
    o.host = "127.0.0.1";
    o.port = port;
    o.user = user;
    o.password = password;
    o.known_hosts = known_hosts;
    o.timeout = 10;
    o.control_persist = 60;
    o.control_dir = scratch + "/ctl";
    return o;
}

std::string TestSshd::fresh_control_dir() { return scratch + "/ctl" + std::to_string(++control_dirs_); }

bool TestSshd::authorize(const std::string& public_key_line) {
    std::string line = public_key_line;
    if (line.empty() || line.back() != '\n') line += '\n';
    std::string quoted;
    for (char c : line) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return run_as_user("mkdir -p .ssh && chmod 700 .ssh && printf '%s' '" + quoted +
                       "' >> .ssh/authorized_keys && chmod 600 .ssh/authorized_keys") == 0;
}

std::string TestSshd::log_text() const { return read_file(log); }

int TestSshd::accepted() const {
    std::istringstream lines(log_text());
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        const size_t at = line.find("Accepted ");
        if (at == std::string::npos) continue;
        const size_t sp = line.find(' ', at + 9);
        if (sp != std::string::npos && line.compare(sp, 5 + user.size(), " for " + user) == 0 &&
            (line.size() == sp + 5 + user.size() || line[sp + 5 + user.size()] == ' '))
            ++count;
    }
    return count;
}

int TestSshd::run_as_user(const std::string& command) const {
    std::string out;
    const int status =
        run_program({"/usr/sbin/runuser", "-u", user, "--", "/bin/sh", "-c", command}, "", &out, home.c_str());
    if (status != 0 && !out.empty()) std::fprintf(stderr, "run_as_user(%s): %s\n", command.c_str(), out.c_str());
    return status;
}
