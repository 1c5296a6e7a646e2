// The session over the system's OpenSSH client.
//
// open() writes a small private ssh configuration (the session's forced
// options, then an Include of the user's or the given configuration), asks
// `ssh -G` how the server resolves (host name, port, user, control socket),
// and runs `ssh -N` with ControlMaster=auto: with a running master that
// returns at once, otherwise ssh authenticates, puts the new master in the
// background and returns. Questions ssh asks meanwhile come through the
// askpass socket. Commands and the SFTP server then run as clients of the
// master (ControlMaster=no, and a ProxyCommand that fails, so that a missing
// master can never turn into a new connection).
#include "simulation/ssh_session.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <unordered_map>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint64_t kProgressStep = 1024 * 1024;
constexpr uint32_t kTransferChunk = 64 * 1024;       // bytes of one SFTP read or write
constexpr size_t kReadsInFlight = 48;                // reads outstanding during a download
constexpr size_t kWriteBytesInFlight = 4u << 20;     // bytes of writes not yet acknowledged
constexpr const char* kAskSocketEnv = "QUELM_ASKPASS_SOCKET";

// ---- SHA-256 (FIPS 180-4) ---------------------------------------------------

class Sha256 {
public:
    void update(const unsigned char* data, size_t length) {
        for (size_t i = 0; i < length; ++i) {
            block_[fill_++] = data[i];
            if (fill_ == 64) {
                compress();
                fill_ = 0;
            }
        }
        bits_ += static_cast<uint64_t>(length) * 8;
    }
    void finish(unsigned char out[32]) {
        const uint64_t bits = bits_;
        const unsigned char one = 0x80, zero = 0;
        update(&one, 1);
        while (fill_ != 56) update(&zero, 1);
        unsigned char len[8];
        for (int i = 0; i < 8; ++i) len[i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
        update(len, 8);
        for (int i = 0; i < 8; ++i)
            for (int j = 0; j < 4; ++j) out[4 * i + j] = static_cast<unsigned char>(h_[i] >> (24 - 8 * j));
    }

private:
    static uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
    void compress() {
        static const uint32_t k[64] = {
            0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
            0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
            0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
            0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
            0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
            0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
            0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
            0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
        uint32_t w[64];
        for (int i = 0; i < 16; ++i)
            w[i] = (uint32_t(block_[4 * i]) << 24) | (uint32_t(block_[4 * i + 1]) << 16) |
                   (uint32_t(block_[4 * i + 2]) << 8) | uint32_t(block_[4 * i + 3]);
        for (int i = 16; i < 64; ++i) {
            const uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4], f = h_[5], g = h_[6], h = h_[7];
        for (int i = 0; i < 64; ++i) {
            const uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
            const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        h_[0] += a;
        h_[1] += b;
        h_[2] += c;
        h_[3] += d;
        h_[4] += e;
        h_[5] += f;
        h_[6] += g;
        h_[7] += h;
    }

    uint32_t h_[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    unsigned char block_[64] = {};
    size_t fill_ = 0;
    uint64_t bits_ = 0;
};

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Base64 without '=' padding, as OpenSSH prints fingerprints.
std::string base64_unpadded(const unsigned char* p, size_t n) {
    std::string out;
    size_t i = 0;
    for (; i + 2 < n; i += 3) {
        const uint32_t v = (uint32_t(p[i]) << 16) | (uint32_t(p[i + 1]) << 8) | p[i + 2];
        out += kBase64[(v >> 18) & 63];
        out += kBase64[(v >> 12) & 63];
        out += kBase64[(v >> 6) & 63];
        out += kBase64[v & 63];
    }
    if (n - i == 1) {
        const uint32_t v = uint32_t(p[i]) << 16;
        out += kBase64[(v >> 18) & 63];
        out += kBase64[(v >> 12) & 63];
    } else if (n - i == 2) {
        const uint32_t v = (uint32_t(p[i]) << 16) | (uint32_t(p[i + 1]) << 8);
        out += kBase64[(v >> 18) & 63];
        out += kBase64[(v >> 12) & 63];
        out += kBase64[(v >> 6) & 63];
    }
    return out;
}

bool base64_decode(const std::string& text, std::string& out) {
    out.clear();
    uint32_t acc = 0;
    int bits = 0;
    for (char ch : text) {
        if (ch == '=') break;
        const char* pos = std::strchr(kBase64, ch);
        if (ch == '\0' || !pos) return false;
        acc = (acc << 6) | uint32_t(pos - kBase64);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((acc >> bits) & 0xff);
        }
    }
    return true;
}

// ---- Small helpers ------------------------------------------------------------

std::string errno_text(int err) { return std::strerror(err); }

bool starts_with(const std::string& s, const std::string& p) { return s.compare(0, p.size(), p) == 0; }
bool contains(const std::string& s, const std::string& p) { return s.find(p) != std::string::npos; }

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string trim(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t\r\n");
    if (a == std::string::npos) return std::string();
    return s.substr(a, s.find_last_not_of(" \t\r\n") - a + 1);
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    for (char c : text) {
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

// What a program said on its error output, its lines joined for a message:
// ": first; second", or nothing.
std::string said(const std::string& text) {
    std::string words;
    for (const auto& line : split_lines(text)) {
        const std::string t = trim(line);
        if (!t.empty()) words += (words.empty() ? ": " : "; ") + t;
    }
    return words;
}

double seconds_left(Clock::time_point until) {
    return std::chrono::duration<double>(until - Clock::now()).count();
}

Clock::time_point after(double seconds) {
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

int poll_ms(Clock::time_point until, int cap_ms) {
    const double left = seconds_left(until);
    if (left <= 0) return 0;
    return static_cast<int>(std::min<double>(cap_ms, std::ceil(left * 1000)));
}

// The user's home: $HOME, else the password database's.
std::string home_folder() {
    const char* home = std::getenv("HOME");
    if (home && *home) return home;
    if (const passwd* pw = ::getpwuid(::getuid()))
        if (pw->pw_dir && *pw->pw_dir) return pw->pw_dir;
    return "/";
}

// The home ssh itself uses for "~" (the password database's).
std::string passwd_home() {
    if (const passwd* pw = ::getpwuid(::getuid()))
        if (pw->pw_dir) return pw->pw_dir;
    return std::string();
}

std::string absolute_path(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    std::error_code ec;
    const std::filesystem::path cwd = std::filesystem::current_path(ec);
    if (ec) return path;
    return (cwd / path).lexically_normal().string();
}

std::string base_name(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string dir_name(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return std::string();
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool write_all(int fd, const char* data, size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool pwrite_all(int fd, const char* data, size_t length, off_t offset) {
    while (length > 0) {
        const ssize_t n = ::pwrite(fd, data, length, offset);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        offset += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

void set_nonblocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// A name that differs between calls of this process and between processes.
std::string unique_suffix() {
    static std::atomic<unsigned> counter{0};
    const auto now = std::chrono::high_resolution_clock::now().time_since_epoch().count();
    std::string seed = std::to_string(::getpid()) + ":" + std::to_string(counter++) + ":" + std::to_string(now);
    Sha256 sha;
    sha.update(reinterpret_cast<const unsigned char*>(seed.data()), seed.size());
    unsigned char digest[32];
    sha.finish(digest);
    static const char alphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string out;
    for (int i = 0; i < 8; ++i) out += alphabet[digest[i] % 36];
    return out;
}

// Creates dir (and missing parents, 0700 for the last) and checks it is a
// real folder of this user that nobody else may enter.
bool private_folder(const std::string& dir, std::string& error) {
    std::error_code ec;
    const std::string parent = dir_name(dir);
    if (!parent.empty() && parent != "/") std::filesystem::create_directories(parent, ec);
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "Cannot create the folder " + dir + ": " + errno_text(errno);
        return false;
    }
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = "The control folder " + dir + " is not a folder.";
        return false;
    }
    if (st.st_uid != ::geteuid()) {
        error = "The control folder " + dir + " belongs to another user.";
        return false;
    }
    if ((st.st_mode & 077) != 0 && ::chmod(dir.c_str(), 0700) != 0) {
        error = "The control folder " + dir + " is open to other users and cannot be closed: " + errno_text(errno);
        return false;
    }
    return true;
}

// ---- Child processes ----------------------------------------------------------

// A child process with its standard streams: `in` our end of its stdin (a
// socket, so that writing to a child that ended fails instead of raising
// SIGPIPE), `out` and `err` its stdout and stderr. It leads a session of its
// own (so it has no terminal to ask on), and its process group is what a
// deadline kills.
struct Child {
    pid_t pid = -1;
    int in = -1, out = -1, err = -1;
    int pidfd = -1;
    bool reaped = false;
    int status = 0;  // waitpid's status once reaped

    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() { end(0.5); }

    bool running() const { return pid > 0 && !reaped; }

    void close_fd(int& fd) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    void close_streams() {
        close_fd(in);
        close_fd(out);
        close_fd(err);
    }

    bool try_reap() {
        if (pid <= 0 || reaped) return true;
        int st = 0;
        const pid_t r = ::waitpid(pid, &st, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD)) {
            reaped = true;
            status = r == pid ? st : 0;
            close_fd(pidfd);
            return true;
        }
        return false;
    }

    // Waits up to grace seconds for the child to end by itself, then kills
    // its process group and reaps it.
    void end(double grace) {
        if (pid > 0 && !reaped) {
            const auto until = after(grace);
            while (!try_reap() && Clock::now() < until) ::usleep(2000);
            if (!reaped) {
                ::kill(-pid, SIGTERM);
                ::kill(pid, SIGTERM);
                const auto hard = after(1.0);
                while (!try_reap() && Clock::now() < hard) ::usleep(2000);
            }
            if (!reaped) {
                ::kill(-pid, SIGKILL);
                ::kill(pid, SIGKILL);
                int st = 0;
                while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
                }
                reaped = true;
                status = st;
            }
        }
        close_fd(pidfd);
        close_streams();
    }

    // Kills at once (a deadline passed).
    void kill_now() {
        if (pid > 0 && !reaped) {
            ::kill(-pid, SIGKILL);
            ::kill(pid, SIGKILL);
        }
        end(0);
    }

    int exit_code() const {
        if (WIFEXITED(status)) return WEXITSTATUS(status);
        if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
        return -1;
    }
};

// Starts argv[0] (an absolute path) with env. with_stdin gives it a socket
// as stdin (else /dev/null).
bool spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, bool with_stdin, Child& child,
           std::string& error) {
    int in_pair[2] = {-1, -1}, out_pipe[2] = {-1, -1}, err_pipe[2] = {-1, -1};
    auto close_all = [&] {
        for (int fd : {in_pair[0], in_pair[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
            if (fd >= 0) ::close(fd);
    };
    if ((with_stdin && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in_pair) != 0) ||
        ::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0) {
        error = "Cannot create pipes: " + errno_text(errno);
        close_all();
        return false;
    }
    const int null_fd = with_stdin ? -1 : ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    std::vector<char*> args, envp;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setsid();
        const int in_fd = with_stdin ? in_pair[1] : null_fd;
        if (in_fd >= 0) ::dup2(in_fd, 0);
        ::dup2(out_pipe[1], 1);
        ::dup2(err_pipe[1], 2);
        // Nothing else of this program reaches ssh or the master it leaves.
#ifdef SYS_close_range
        if (::syscall(SYS_close_range, 3u, ~0u, 0u) != 0)
#endif
            for (int fd = 3; fd < 4096; ++fd) ::close(fd);
        struct sigaction dfl = {};
        dfl.sa_handler = SIG_DFL;
        for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD}) ::sigaction(sig, &dfl, nullptr);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execve(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    if (null_fd >= 0) ::close(null_fd);
    if (pid < 0) {
        error = "Cannot start " + argv[0] + ": " + errno_text(errno);
        close_all();
        return false;
    }
    if (with_stdin) ::close(in_pair[1]);
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    child.pid = pid;
    child.reaped = false;
    child.in = with_stdin ? in_pair[0] : -1;
    child.out = out_pipe[0];
    child.err = err_pipe[0];
#ifdef SYS_pidfd_open
    child.pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (child.pidfd >= 0) ::fcntl(child.pidfd, F_SETFD, FD_CLOEXEC);
#endif
    for (int fd : {child.in, child.out, child.err})
        if (fd >= 0) set_nonblocking(fd);
    return true;
}

// The OpenSSH client on the PATH (or /usr/bin/ssh).
std::string find_ssh() {
    const char* path = std::getenv("PATH");
    std::string dirs = path && *path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        const size_t colon = dirs.find(':', start);
        const std::string dir = dirs.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        if (!dir.empty() && dir[0] == '/') {
            const std::string candidate = dir + "/ssh";
            if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        }
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    return ::access("/usr/bin/ssh", X_OK) == 0 ? "/usr/bin/ssh" : std::string();
}

// ---- The askpass relay --------------------------------------------------------
//
// ssh runs SSH_ASKPASS (this very program, /proc/PID/exe) with the question
// as its one argument and reads the answer from its stdout. That process
// sends the question over the socket named by QUELM_ASKPASS_SOCKET and
// prints what comes back. Wire format, both ways: a 4-byte big-endian length
// and the bytes; the request is "prompt", "hint", the reply a status byte
// ('Y' answer follows, 'N' declined) and the answer.

void put_u32(std::string& b, uint32_t v) {
    b += static_cast<char>(v >> 24);
    b += static_cast<char>(v >> 16);
    b += static_cast<char>(v >> 8);
    b += static_cast<char>(v);
}

uint32_t get_u32(const unsigned char* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

bool read_exact(int fd, char* data, size_t n) {
    while (n > 0) {
        const ssize_t r = ::read(fd, data, n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        data += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool send_all(int fd, const std::string& data) {
    size_t off = 0;
    while (off < data.size()) {
        const ssize_t n = ::send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

bool read_string(int fd, std::string& out, uint32_t limit) {
    unsigned char len[4];
    if (!read_exact(fd, reinterpret_cast<char*>(len), 4)) return false;
    const uint32_t n = get_u32(len);
    if (n > limit) return false;
    out.assign(n, '\0');
    return n == 0 || read_exact(fd, &out[0], n);
}

bool same_file(const char* a, const char* b) {
    struct stat sa, sb;
    return ::stat(a, &sa) == 0 && ::stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// The process's arguments from /proc (static initialisation has no argv).
std::vector<std::string> own_arguments() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::vector<std::string> args;
    std::string arg;
    char c;
    while (in.get(c)) {
        if (c == '\0') {
            args.push_back(arg);
            arg.clear();
        } else {
            arg += c;
        }
    }
    return args;
}

// When ssh started this program as its askpass helper: relays the question
// and ends the process (before main).
void askpass_if_asked() {
    const char* socket_path = std::getenv(kAskSocketEnv);
    const char* askpass = std::getenv("SSH_ASKPASS");
    if (!socket_path || !*socket_path || !askpass || !same_file(askpass, "/proc/self/exe")) return;
    const std::vector<std::string> args = own_arguments();
    if (args.size() != 2) return;
    const char* hint = std::getenv("SSH_ASKPASS_PROMPT");
    // A notice ("none": touch your security key …) needs no answer.
    if (hint && std::strcmp(hint, "none") == 0) ::_exit(0);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    if (fd < 0 || std::strlen(socket_path) >= sizeof sa.sun_path) ::_exit(1);
    std::strcpy(sa.sun_path, socket_path);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) ::_exit(1);
    std::string request;
    put_u32(request, static_cast<uint32_t>(args[1].size()));
    request += args[1];
    const std::string h = hint ? hint : "";
    put_u32(request, static_cast<uint32_t>(h.size()));
    request += h;
    if (!send_all(fd, request)) ::_exit(1);
    char status = 0;
    std::string answer;
    if (!read_exact(fd, &status, 1) || status != 'Y' || !read_string(fd, answer, 1u << 16)) ::_exit(1);
    ::close(fd);
    answer += '\n';
    const bool ok = write_all(1, answer.data(), answer.size());
    std::fill(answer.begin(), answer.end(), '\0');
    ::_exit(ok ? 0 : 1);
}

// This program's file, for ssh to start as its askpass helper: its path,
// or /proc/PID/exe when the file was replaced since it started.
std::string own_program() {
    char path[PATH_MAX + 1];
    const ssize_t n = ::readlink("/proc/self/exe", path, PATH_MAX);
    if (n > 0) {
        path[n] = '\0';
        if (same_file(path, "/proc/self/exe")) return path;
    }
    return "/proc/" + std::to_string(::getpid()) + "/exe";
}

struct AskpassHook {
    AskpassHook() { askpass_if_asked(); }
} const askpass_hook;

// The listening side, in the session's process.
class AskServer {
public:
    ~AskServer() { stop(); }
    bool start(const std::string& dir, std::string& error) {
        path_ = dir + "/ask." + std::to_string(::getpid()) + "." + unique_suffix();
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        if (path_.size() >= sizeof sa.sun_path) {
            error = "The control folder's path " + dir + " is too long for a socket.";
            return false;
        }
        std::strcpy(sa.sun_path, path_.c_str());
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd_, 8) != 0) {
            error = "Cannot create the question socket in " + dir + ": " + errno_text(errno);
            stop();
            return false;
        }
        ::chmod(path_.c_str(), 0600);
        return true;
    }
    void stop() {
        if (fd_ >= 0) {
            ::close(fd_);
            ::unlink(path_.c_str());
        }
        fd_ = -1;
    }
    int fd() const { return fd_; }
    const std::string& path() const { return path_; }

    // Accepts one question: false when there was none or it was unreadable.
    // The peer must run as this user.
    bool next(int& conn, std::string& prompt, std::string& hint) {
        conn = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn < 0) return false;
        ucred cred{};
        socklen_t len = sizeof cred;
        const timeval tv{2, 0};
        ::setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        if (::getsockopt(conn, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != ::geteuid() ||
            !read_string(conn, prompt, 1u << 16) || !read_string(conn, hint, 256)) {
            ::close(conn);
            conn = -1;
            return false;
        }
        return true;
    }
    static void reply(int conn, bool yes, const std::string& answer) {
        std::string r(1, yes ? 'Y' : 'N');
        if (yes) {
            put_u32(r, static_cast<uint32_t>(answer.size()));
            r += answer;
        }
        send_all(conn, r);
        std::fill(r.begin(), r.end(), '\0');
        ::close(conn);
    }

private:
    int fd_ = -1;
    std::string path_;
};

// ---- Running ssh --------------------------------------------------------------

struct RunHooks {
    std::function<void(const char*, size_t)> on_out, on_err;
    // Called with a question's socket ready to read; returns after replying.
    std::function<void()> on_question;
    int question_fd = -1;
    // Returns true to stop the child at once (its stderr said enough).
    std::function<bool()> should_stop;
    double timeout = 30;
};

// Runs the child to its end, feeding its output to the hooks. QN_SSH_OK once
// it ended (status in child), QN_SSH_TIMEOUT when it stayed silent for
// hooks.timeout seconds and was killed. A grandchild that keeps stderr open
// (ssh's ProxyJump helper lives as long as the master) does not hold it up.
int run_child(Child& child, RunHooks& hooks) {
    char buffer[65536];
    auto last = Clock::now();
    auto deadline = [&] { return last + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(hooks.timeout)); };
    bool stopped = false;
    Clock::time_point reaped_at{};
    for (;;) {
        if (!child.reaped) child.try_reap();
        if (child.reaped) {
            if (reaped_at == Clock::time_point{}) reaped_at = Clock::now();
            // Stdout ends with the child (or the master's copy of it); stderr
            // may be shared with a helper: whatever is there is read.
            const bool grace_over = Clock::now() - reaped_at > std::chrono::milliseconds(stopped ? 0 : 1000);
            if (child.out < 0 || grace_over) {
                for (int* fd : {&child.out, &child.err}) {
                    if (*fd < 0) continue;
                    for (;;) {
                        const ssize_t n = ::read(*fd, buffer, sizeof buffer);
                        if (n <= 0) break;
                        auto& hook = fd == &child.out ? hooks.on_out : hooks.on_err;
                        if (hook) hook(buffer, static_cast<size_t>(n));
                    }
                }
                child.close_streams();
                return QN_SSH_OK;
            }
        }
        std::vector<pollfd> fds;
        if (child.out >= 0) fds.push_back({child.out, POLLIN, 0});
        if (child.err >= 0) fds.push_back({child.err, POLLIN, 0});
        if (hooks.question_fd >= 0 && !child.reaped) fds.push_back({hooks.question_fd, POLLIN, 0});
        if (child.pidfd >= 0 && !child.reaped) fds.push_back({child.pidfd, POLLIN, 0});
        const int cap = child.pidfd >= 0 && !child.reaped ? 1000 : 20;
        const int r = ::poll(fds.data(), fds.size(), child.reaped ? 20 : poll_ms(deadline(), cap));
        if (r < 0 && errno != EINTR) {
            child.kill_now();
            return QN_SSH_FAILED;
        }
        for (const pollfd& p : fds) {
            if (!(p.revents & (POLLIN | POLLHUP | POLLERR))) continue;
            if (p.fd == child.out || p.fd == child.err) {
                const bool is_out = p.fd == child.out;
                const ssize_t n = ::read(p.fd, buffer, sizeof buffer);
                if (n > 0) {
                    last = Clock::now();
                    auto& hook = is_out ? hooks.on_out : hooks.on_err;
                    if (hook) hook(buffer, static_cast<size_t>(n));
                } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                    child.close_fd(is_out ? child.out : child.err);
                }
            } else if (p.fd == hooks.question_fd) {
                if (hooks.on_question) hooks.on_question();
                last = Clock::now();  // the time a person took to answer does not count
            } else if (p.fd == child.pidfd) {
                child.try_reap();
            }
        }
        if (!stopped && hooks.should_stop && hooks.should_stop()) {
            stopped = true;
            child.kill_now();
            return QN_SSH_OK;
        }
        if (!child.reaped && Clock::now() >= deadline()) {
            child.kill_now();
            return QN_SSH_TIMEOUT;
        }
    }
}

// ---- Server names ---------------------------------------------------------------

bool name_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_'; }

bool valid_name(const std::string& s) {
    if (s.empty() || s.size() > 253 || s[0] == '-' || s[0] == '.') return false;
    return std::all_of(s.begin(), s.end(), name_char);
}

bool valid_user(const std::string& s) {
    if (s.empty() || s.size() > 64 || s[0] == '-') return false;
    return std::all_of(s.begin(), s.end(), [](char c) { return name_char(c) || c == '$'; });
}

bool parse_port(const std::string& digits, int& port) {
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    port = std::stoi(digits);
    return port >= 1 && port <= 65535;
}

bool is_ipv6(const std::string& s) {
    in6_addr a{};
    return ::inet_pton(AF_INET6, s.c_str(), &a) == 1;
}

// "[v6]:port", "host:port", "[v6]" or "host" as ssh's -J and messages want it.
std::string host_port(const std::string& host, int port) {
    const bool v6 = host.find(':') != std::string::npos;
    if (port <= 0) return host;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

// How OpenSSH names the key type in its host key question.
std::string key_type_from_label(const std::string& label) {
    const std::string l = lower(label);
    if (l == "ed25519") return "ssh-ed25519";
    if (l == "rsa") return "ssh-rsa";
    if (l == "dsa") return "ssh-dss";
    if (l == "ecdsa") return "ecdsa-sha2-nistp256";
    if (l == "ed25519-sk") return "sk-ssh-ed25519@openssh.com";
    if (l == "ecdsa-sk") return "sk-ecdsa-sha2-nistp256@openssh.com";
    return label;
}

// A value for the generated ssh configuration: in double quotes, '%' doubled
// where ssh expands tokens. False for texts that cannot be written so.
bool config_word(const std::string& text, bool expands_tokens, std::string& out) {
    if (text.find_first_of(std::string("\"\n\r\0", 4)) != std::string::npos) return false;
    std::string v;
    for (char c : text) {
        if (c == '%' && expands_tokens) v += '%';
        v += c;
    }
    out = "\"" + v + "\"";
    return true;
}

// ---- SFTP (version 3, as OpenSSH's sftp-server speaks it) -----------------------

enum : uint8_t {
    FXP_INIT = 1,
    FXP_VERSION = 2,
    FXP_OPEN = 3,
    FXP_CLOSE = 4,
    FXP_READ = 5,
    FXP_WRITE = 6,
    FXP_LSTAT = 7,
    FXP_FSTAT = 8,
    FXP_OPENDIR = 11,
    FXP_READDIR = 12,
    FXP_REMOVE = 13,
    FXP_MKDIR = 14,
    FXP_STAT = 17,
    FXP_RENAME = 18,
    FXP_EXTENDED = 200,
    FXP_STATUS = 101,
    FXP_HANDLE = 102,
    FXP_DATA = 103,
    FXP_NAME = 104,
    FXP_ATTRS = 105,
};
constexpr uint32_t FXF_READ = 0x01, FXF_WRITE = 0x02, FXF_CREAT = 0x08, FXF_TRUNC = 0x10, FXF_EXCL = 0x20;
constexpr uint32_t ATTR_SIZE = 0x1, ATTR_UIDGID = 0x2, ATTR_PERMISSIONS = 0x4, ATTR_ACMODTIME = 0x8,
                   ATTR_EXTENDED = 0x80000000u;
constexpr uint32_t FX_OK = 0, FX_EOF = 1, FX_NO_SUCH_FILE = 2, FX_PERMISSION_DENIED = 3, FX_FAILURE = 4,
                   FX_NO_SUCH_PATH = 10;
constexpr uint32_t S_TYPE = 0170000, S_DIR = 0040000, S_REG = 0100000;
constexpr uint32_t kMaxPacket = 4u << 20;

const char* sftp_status_text(uint32_t code) {
    switch (code) {
    case 1: return "end of file";
    case 2: return "no such file";
    case 3: return "permission denied";
    case 4: return "failure";
    case 5: return "bad message";
    case 6: return "no connection";
    case 7: return "connection lost";
    case 8: return "operation not supported";
    case 9: return "invalid handle";
    case 10: return "no such path";
    case 11: return "file already exists";
    case 12: return "write protected";
    case 14: return "no space left on the file system";
    case 15: return "quota exceeded";
    case 19: return "not a folder";
    case 20: return "invalid file name";
    default: return "SFTP error";
    }
}

struct Attrs {
    uint32_t flags = 0;
    uint64_t size = 0;
    uint32_t permissions = 0;
    bool has_size() const { return flags & ATTR_SIZE; }
    bool has_type() const { return flags & ATTR_PERMISSIONS; }
    bool is_dir() const { return has_type() && (permissions & S_TYPE) == S_DIR; }
    bool is_reg() const { return has_type() && (permissions & S_TYPE) == S_REG; }
};

// Reads the fields of a reply.
class Reader {
public:
    explicit Reader(const std::string& d) : d_(d) {}
    bool u32(uint32_t& v) {
        if (p_ + 4 > d_.size()) return false;
        v = get_u32(reinterpret_cast<const unsigned char*>(d_.data() + p_));
        p_ += 4;
        return true;
    }
    bool u64(uint64_t& v) {
        uint32_t hi = 0, lo = 0;
        if (!u32(hi) || !u32(lo)) return false;
        v = (uint64_t(hi) << 32) | lo;
        return true;
    }
    bool str(std::string& s) {
        uint32_t n = 0;
        if (!u32(n) || p_ + n > d_.size()) return false;
        s.assign(d_, p_, n);
        p_ += n;
        return true;
    }
    bool attrs(Attrs& a) {
        if (!u32(a.flags)) return false;
        if ((a.flags & ATTR_SIZE) && !u64(a.size)) return false;
        uint32_t skip = 0;
        if ((a.flags & ATTR_UIDGID) && (!u32(skip) || !u32(skip))) return false;
        if ((a.flags & ATTR_PERMISSIONS) && !u32(a.permissions)) return false;
        if ((a.flags & ATTR_ACMODTIME) && (!u32(skip) || !u32(skip))) return false;
        if (a.flags & ATTR_EXTENDED) {
            uint32_t count = 0;
            if (!u32(count)) return false;
            std::string k, v;
            for (uint32_t i = 0; i < count; ++i)
                if (!str(k) || !str(v)) return false;
        }
        return true;
    }

private:
    const std::string& d_;
    size_t p_ = 0;
};

void put_u64(std::string& b, uint64_t v) {
    put_u32(b, static_cast<uint32_t>(v >> 32));
    put_u32(b, static_cast<uint32_t>(v));
}
void put_str(std::string& b, const std::string& s) {
    put_u32(b, static_cast<uint32_t>(s.size()));
    b += s;
}
void put_str(std::string& b, const char* data, size_t n) {
    put_u32(b, static_cast<uint32_t>(n));
    b.append(data, n);
}
std::string perm_attrs(uint32_t mode) {
    std::string b;
    put_u32(b, ATTR_PERMISSIONS);
    put_u32(b, mode);
    return b;
}

struct Reply {
    uint8_t type = 0;
    std::string body;  // after the request id
    uint32_t status() const {
        if (type != FXP_STATUS) return FX_FAILURE;
        Reader r(body);
        uint32_t code = FX_FAILURE;
        r.u32(code);
        return code;
    }
    bool ok() const { return type == FXP_STATUS && status() == FX_OK; }
    std::string reason() const {
        if (type != FXP_STATUS) return "unexpected reply from the SFTP server";
        return sftp_status_text(status());
    }
};

}  // namespace

// ---- The session --------------------------------------------------------------

struct QN_ssh_session::Impl {
    // The connection as resolved by open().
    bool connected = false;
    std::string message;
    QN_ssh_hostkey hostkey;
    double timeout = 30;
    std::string ssh;           // the client binary
    std::string config_file;   // the generated configuration, removed by close()
    std::string control_path;  // "DIR/%C" as given to ssh
    std::string socket_path;   // the same with %C expanded (ssh -G)
    std::string shown;         // the server as messages name it
    std::vector<std::string> destination;  // [-l USER] [-p PORT] -- HOST
    std::string jump;                       // for -J, empty when none
    std::vector<std::string> env;           // of every ssh child
    std::string known_hosts;                // the file named in messages
    int persist = 600;  // ControlPersist seconds
    std::string key_name;  // the server as known_hosts names it: "host" or "[host]:port"
    std::string via;       // the jump hosts ssh goes through (ssh -G), empty when none

    // The shell of the server that runs this session's commands.
    Child shell;
    bool shell_started = false;
    std::string shell_mark;  // the word of the line after each command
    std::string shell_err;   // what that shell or ssh wrote to stderr

    // The SFTP server of this session.
    Child sftp;
    bool sftp_started = false;
    bool posix_rename = false;
    uint32_t next_id = 1;
    std::string out_buf;  // requests not yet written
    size_t out_off = 0;
    std::string in_buf;   // replies not yet parsed
    size_t in_off = 0;
    std::string sftp_err;  // ssh's words on its stderr
    std::unordered_map<uint32_t, Reply> replies;

    ~Impl() { drop(); }

    int fail(int code, std::string text) {
        message = std::move(text);
        return code;
    }

    void remove_config() {
        if (!config_file.empty()) ::unlink(config_file.c_str());
        config_file.clear();
    }

    // Forgets the connection: ends the SFTP server, removes the generated
    // configuration.
    void drop() {
        for (Child* c : {&shell}) {
            if (c->running()) {
                if (c->in >= 0) ::shutdown(c->in, SHUT_WR);
                c->end(2.0);
            } else {
                c->end(0);
            }
        }
        shell_started = false;
        shell_err.clear();
        if (sftp.running()) {
            // End of input ends sftp-server, then its ssh client.
            if (sftp.in >= 0) ::shutdown(sftp.in, SHUT_WR);
            sftp.end(2.0);
        } else {
            sftp.end(0);
        }
        sftp_started = false;
        out_buf.clear();
        out_off = 0;
        in_buf.clear();
        in_off = 0;
        replies.clear();
        connected = false;
        remove_config();
    }

    // ssh with the common arguments before the mode's own.
    std::vector<std::string> base(const std::vector<std::string>& extra) const {
        std::vector<std::string> args = {ssh, "-F", config_file, "-o", "ControlPath=" + control_path};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    // Arguments of a client of the master (commands, SFTP): a master that
    // is gone makes it fail instead of connecting by itself.
    std::vector<std::string> client_args(const std::vector<std::string>& mode, const std::string& command) const {
        std::vector<std::string> args =
            base({"-o", "ControlMaster=no", "-o", "ProxyCommand=/bin/false", "-o", "BatchMode=yes", "-o",
                  "LogLevel=ERROR", "-T"});
        args.insert(args.end(), mode.begin(), mode.end());
        args.insert(args.end(), destination.begin(), destination.end());
        args.push_back(command);
        return args;
    }

    struct Prepared {
        std::string error;
        int code = QN_SSH_OK;
        bool batch = false;
        bool passwords = false;  // password or keyboard-interactive allowed
        bool accept_possible = false;
    };
    Prepared prepare(const QN_ssh_options& o);
    // Uploads a few files with their requests sent together.
    int upload_chunk(std::vector<QN_upload_item>& items, const std::function<void(uint64_t)>& acked);

    // True when a master answers on the control socket (ssh -O check, which
    // does not reach the server).
    bool master_alive(int* pid = nullptr) {
        struct stat st;
        if (socket_path.empty() || ::lstat(socket_path.c_str(), &st) != 0) return false;
        std::vector<std::string> args = base({"-O", "check"});
        args.insert(args.end(), destination.begin(), destination.end());
        Child c;
        std::string error, err;
        if (!spawn(args, env, false, c, error)) return false;
        RunHooks hooks;
        hooks.timeout = std::min(timeout, 10.0);
        hooks.on_err = [&](const char* d, size_t n) { err.append(d, n); };
        if (run_child(c, hooks) != QN_SSH_OK || c.exit_code() != 0) return false;
        const size_t at = err.find("(pid=");
        if (pid && at != std::string::npos) *pid = std::atoi(err.c_str() + at + 5);
        return true;
    }

    // Ends the master of this connection (ssh -O exit) and waits for its
    // socket to go.
    void end_master() {
        if (config_file.empty()) return;
        std::vector<std::string> args = base({"-O", "exit"});
        args.insert(args.end(), destination.begin(), destination.end());
        Child c;
        std::string error;
        if (spawn(args, env, false, c, error)) {
            RunHooks hooks;
            hooks.timeout = 5;
            run_child(c, hooks);
        }
        const auto until = after(3.0);
        struct stat st;
        while (!socket_path.empty() && ::lstat(socket_path.c_str(), &st) == 0 && Clock::now() < until)
            ::usleep(5000);
    }

    // A failure that leaves the connection unusable; a silent one also ends
    // the master, so that nobody reuses it.
    int lost(int code) {
        if (code == QN_SSH_TIMEOUT) end_master();
        drop();
        return code;
    }

    int ready() {
        if (!connected) return fail(QN_SSH_FAILED, "Not connected to the server.");
        return QN_SSH_OK;
    }

    // ---- SFTP transport ----

    uint32_t send(uint8_t type, const std::string& body) {
        const uint32_t id = next_id++;
        std::string packet;
        put_u32(packet, static_cast<uint32_t>(1 + 4 + body.size()));
        packet += static_cast<char>(type);
        put_u32(packet, id);
        packet += body;
        if (out_off > 0 && out_off == out_buf.size()) {
            out_buf.clear();
            out_off = 0;
        }
        out_buf += packet;
        return id;
    }

    // Parses complete replies out of in_buf.
    bool parse_replies() {
        for (;;) {
            const size_t avail = in_buf.size() - in_off;
            if (avail < 4) break;
            const uint32_t len = get_u32(reinterpret_cast<const unsigned char*>(in_buf.data() + in_off));
            if (len < 5 || len > kMaxPacket) return false;
            if (avail < 4 + size_t(len)) break;
            const uint8_t type = static_cast<uint8_t>(in_buf[in_off + 4]);
            const uint32_t id = get_u32(reinterpret_cast<const unsigned char*>(in_buf.data() + in_off + 5));
            Reply& r = replies[id];
            r.type = type;
            r.body.assign(in_buf, in_off + 9, len - 5);
            in_off += 4 + len;
        }
        if (in_off > (1u << 20) || in_off == in_buf.size()) {
            in_buf.erase(0, in_off);
            in_off = 0;
        }
        return true;
    }

    // One round of writing requests and reading replies; false with the
    // failure when the SFTP server is gone or silent past until.
    int pump(Clock::time_point& until, int& code) {
        pollfd fds[3];
        int n = 0;
        if (sftp.out >= 0) fds[n++] = {sftp.out, POLLIN, 0};
        if (sftp.err >= 0) fds[n++] = {sftp.err, POLLIN, 0};
        if (sftp.in >= 0 && out_off < out_buf.size()) fds[n++] = {sftp.in, POLLOUT, 0};
        if (sftp.out < 0) {
            code = fail(QN_SSH_FAILED, "The connection to " + shown + " broke" + ssh_words());
            return false;
        }
        const int r = ::poll(fds, n, poll_ms(until, 1000));
        if (r < 0 && errno != EINTR) {
            code = fail(QN_SSH_FAILED, "poll failed: " + errno_text(errno));
            return false;
        }
        char buffer[65536];
        for (int i = 0; i < n; ++i) {
            if (!fds[i].revents) continue;
            if (fds[i].fd == sftp.in) {
                const ssize_t w = ::send(sftp.in, out_buf.data() + out_off, out_buf.size() - out_off, MSG_NOSIGNAL);
                if (w > 0) {
                    out_off += static_cast<size_t>(w);
                    until = after(timeout);
                } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
                    sftp.close_fd(sftp.in);
                }
            } else if (fds[i].fd == sftp.out) {
                for (int round = 0; round < 64; ++round) {
                    const ssize_t got = ::read(sftp.out, buffer, sizeof buffer);
                    if (got > 0) {
                        in_buf.append(buffer, static_cast<size_t>(got));
                        until = after(timeout);
                        if (static_cast<size_t>(got) < sizeof buffer) break;
                    } else {
                        if (got == 0 || (errno != EAGAIN && errno != EINTR)) sftp.close_fd(sftp.out);
                        break;
                    }
                }
                if (!parse_replies()) {
                    code = fail(QN_SSH_FAILED, "The SFTP server sent a malformed reply.");
                    return false;
                }
            } else if (fds[i].fd == sftp.err) {
                const ssize_t got = ::read(sftp.err, buffer, sizeof buffer);
                if (got > 0) {
                    if (sftp_err.size() < 4096) sftp_err.append(buffer, static_cast<size_t>(got));
                } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                    sftp.close_fd(sftp.err);
                }
            }
        }
        if (Clock::now() >= until) {
            code = fail(QN_SSH_TIMEOUT, "timed out waiting for the server (no answer within " +
                                            std::to_string(static_cast<int>(std::lround(timeout))) + " s)");
            return false;
        }
        return true;
    }

    std::string ssh_words() const { return said(sftp_err); }

    // Moves the pending bytes once; on a failure the session is closed and
    // the failure's message kept.
    bool pump_or_lose(Clock::time_point& until, int& code) {
        if (pump(until, code)) return true;
        const std::string keep = message;
        lost(code);
        message = keep;
        return false;
    }

    // Waits for the reply to id. QN_SSH_OK, or a failure after which the
    // session is closed.
    int wait(uint32_t id, Reply& reply) {
        auto until = after(timeout);
        for (;;) {
            auto it = replies.find(id);
            if (it != replies.end()) {
                reply = std::move(it->second);
                replies.erase(it);
                return QN_SSH_OK;
            }
            int code = QN_SSH_FAILED;
            if (!pump_or_lose(until, code)) return code;
        }
    }

    // Writes every pending request (for requests whose replies nobody waits
    // for in order).
    int flush() {
        auto until = after(timeout);
        while (out_off < out_buf.size()) {
            int code = QN_SSH_FAILED;
            if (!pump_or_lose(until, code)) return code;
        }
        return QN_SSH_OK;
    }

    std::string shell_words() const { return said(shell_err); }

    // Starts the command shell on first use.
    int shell_ready() {
        if (shell_started && shell.running() && shell.out >= 0 && shell.in >= 0) return QN_SSH_OK;
        if (shell_started) {
            shell.end(0.5);
            shell_started = false;
        }
        std::string error;
        if (!spawn(client_args({}, "exec /bin/sh"), env, true, shell, error)) return fail(QN_SSH_FAILED, error);
        shell_started = true;
        shell_err.clear();
        shell_mark = "quelm-end-" + unique_suffix() + unique_suffix();
        return QN_SSH_OK;
    }

    int sftp_ready() {
        int r = ready();
        if (r != QN_SSH_OK) return r;
        if (sftp_started && sftp.running() && sftp.out >= 0) return QN_SSH_OK;
        if (sftp_started) return lost(fail(QN_SSH_FAILED, "The SFTP server of " + shown + " has ended."));
        std::string error;
        if (!spawn(client_args({"-s"}, "sftp"), env, true, sftp, error)) return fail(QN_SSH_FAILED, error);
        sftp_started = true;
        next_id = 1;
        std::string init;
        put_u32(init, 5);
        init += static_cast<char>(FXP_INIT);
        put_u32(init, 3);
        out_buf = init;
        out_off = 0;
        auto until = after(timeout);
        for (;;) {
            const size_t avail = in_buf.size() - in_off;
            if (avail >= 5) {
                const uint32_t len = get_u32(reinterpret_cast<const unsigned char*>(in_buf.data() + in_off));
                if (len < 5 || len > kMaxPacket || static_cast<uint8_t>(in_buf[in_off + 4]) != FXP_VERSION)
                    return lost(fail(QN_SSH_FAILED, "The server's SFTP subsystem answered nonsense."));
                if (avail >= 4 + size_t(len)) {
                    const std::string body = in_buf.substr(in_off + 9, len - 5);
                    in_off += 4 + len;
                    Reader rd(body);
                    std::string name, data;
                    while (rd.str(name) && rd.str(data))
                        if (name == "posix-rename@openssh.com") posix_rename = true;
                    break;
                }
            }
            // Replies are not parsed before the version: read raw.
            pollfd fds[3];
            int n = 0;
            if (sftp.out >= 0) fds[n++] = {sftp.out, POLLIN, 0};
            if (sftp.err >= 0) fds[n++] = {sftp.err, POLLIN, 0};
            if (sftp.in >= 0 && out_off < out_buf.size()) fds[n++] = {sftp.in, POLLOUT, 0};
            if (sftp.out < 0) {
                const std::string words = ssh_words();
                return lost(fail(QN_SSH_FAILED, "Cannot start SFTP on " + shown + words));
            }
            ::poll(fds, n, poll_ms(until, 1000));
            char buffer[4096];
            for (int i = 0; i < n; ++i) {
                if (!fds[i].revents) continue;
                if (fds[i].fd == sftp.in) {
                    const ssize_t w =
                        ::send(sftp.in, out_buf.data() + out_off, out_buf.size() - out_off, MSG_NOSIGNAL);
                    if (w > 0) out_off += static_cast<size_t>(w);
                    else if (w < 0 && errno != EAGAIN) sftp.close_fd(sftp.in);
                } else {
                    const bool is_out = fds[i].fd == sftp.out;
                    const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
                    if (got > 0) {
                        (is_out ? in_buf : sftp_err).append(buffer, static_cast<size_t>(got));
                        until = after(timeout);
                    } else if (got == 0 || errno != EAGAIN) {
                        sftp.close_fd(is_out ? sftp.out : sftp.err);
                    }
                }
            }
            if (Clock::now() >= until) return lost(fail(QN_SSH_TIMEOUT, "timed out waiting for the SFTP server"));
        }
        out_buf.clear();
        out_off = 0;
        return QN_SSH_OK;
    }

    // ---- SFTP requests ----

    uint32_t send_path(uint8_t type, const std::string& path) {
        std::string b;
        put_str(b, path);
        return send(type, b);
    }
    uint32_t send_handle(uint8_t type, const std::string& handle) {
        std::string b;
        put_str(b, handle);
        return send(type, b);
    }
    uint32_t send_open(const std::string& path, uint32_t flags, uint32_t mode) {
        std::string b;
        put_str(b, path);
        put_u32(b, flags);
        b += flags & FXF_CREAT ? perm_attrs(mode) : std::string(4, '\0');
        return send(FXP_OPEN, b);
    }
    uint32_t send_rename(const std::string& from, const std::string& to) {
        std::string b;
        if (posix_rename) {
            put_str(b, "posix-rename@openssh.com");
            put_str(b, from);
            put_str(b, to);
            return send(FXP_EXTENDED, b);
        }
        put_str(b, from);
        put_str(b, to);
        return send(FXP_RENAME, b);
    }
    uint32_t send_read(const std::string& handle, uint64_t offset, uint32_t length) {
        std::string b;
        put_str(b, handle);
        put_u64(b, offset);
        put_u32(b, length);
        return send(FXP_READ, b);
    }

    // Waits for the reply to id; QN_SSH_OK also for an error status (the
    // caller reads it), negative when the connection failed.
    int call(uint32_t id, Reply& reply) { return wait(id, reply); }

    static bool handle_of(const Reply& r, std::string& handle) {
        if (r.type != FXP_HANDLE) return false;
        Reader rd(r.body);
        return rd.str(handle);
    }
    static bool attrs_of(const Reply& r, Attrs& a) {
        if (r.type != FXP_ATTRS) return false;
        Reader rd(r.body);
        return rd.attrs(a);
    }

    // Closes a handle and removes a temporary file, waiting for both.
    void discard(const std::string& handle, const std::string& temp) {
        if (!connected) return;
        const std::string keep = message;
        Reply r;
        if (!handle.empty() && call(send_handle(FXP_CLOSE, handle), r) != QN_SSH_OK) return;
        if (!temp.empty() && connected) call(send_path(FXP_REMOVE, temp), r);
        message = keep;
    }
};

QN_ssh_session::QN_ssh_session() : impl_(new Impl) {}

QN_ssh_session::~QN_ssh_session() { close(); }

void QN_ssh_session::close() { impl_->drop(); }

bool QN_ssh_session::is_open() const { return impl_->connected; }

const std::string& QN_ssh_session::message() const { return impl_->message; }

const QN_ssh_hostkey& QN_ssh_session::hostkey() const { return impl_->hostkey; }

// ---- Opening --------------------------------------------------------------------

namespace {

// What open() learns from ssh's words and the questions it asked.
struct OpenState {
    std::string err;  // everything ssh wrote to stderr
    std::set<std::string> answered;  // prompts answered from a fixed secret
    bool password_sent = false;
    bool host_key_declined = false;
    bool passphrase_declined = false;
    bool passphrase_wrong = false;
    bool passphrase_given = false;
    bool question_declined = false;
    std::string declined_prompt;
    std::string declined_key;  // the key whose passphrase was not given
    std::vector<std::string> prompts;  // texts of the questions asked
    bool master_clash = false;  // another process's master came first
};

// The fingerprint of the key on line `number` of a known-hosts file.
std::string known_key_fingerprint(const std::string& file, long number) {
    std::ifstream in(file);
    std::string line;
    for (long i = 1; std::getline(in, line); ++i) {
        if (i != number) continue;
        std::istringstream words(line);
        std::vector<std::string> w;
        std::string t;
        while (words >> t) w.push_back(t);
        size_t k = 0;
        if (k < w.size() && !w[k].empty() && w[k][0] == '@') ++k;  // @cert-authority, @revoked
        k += 2;  // host patterns, key type
        if (k >= w.size()) return std::string();
        std::string blob;
        if (!base64_decode(w[k], blob) || blob.empty()) return std::string();
        return QN_ssh_fingerprint(reinterpret_cast<const unsigned char*>(blob.data()), blob.size());
    }
    return std::string();
}

// Appends a line end to a known-hosts file that lacks one, so that ssh's
// next line does not join the last one.
void end_with_newline(const std::string& file) {
    const int fd = ::open(file.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return;
    struct stat st;
    char last = '\n';
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
        ::pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n')
        ::pwrite(fd, "\n", 1, st.st_size);
    ::close(fd);
}

// True for a Unix socket nobody listens on any more.
bool stale_socket(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return false;
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    if (path.size() >= sizeof sa.sun_path) return false;
    std::strcpy(sa.sun_path, path.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool refused = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 && errno == ECONNREFUSED;
    ::close(fd);
    return refused;
}

// Removes the generated files and question sockets ("config.PID.…",
// "ask.PID.…") that processes which are gone left in the control folder.
void remove_leftovers(const std::string& dir) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        const std::string name = entry.path().filename().string();
        const bool ours = starts_with(name, "config.") || starts_with(name, "ask.");
        if (!ours) continue;
        const long pid = std::atol(name.c_str() + name.find('.') + 1);
        if (pid > 0 && pid != ::getpid() && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            ::unlink(entry.path().c_str());
    }
}

// The default folder of the control sockets.
std::string default_control_dir() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/') {
        struct stat st;
        if (::stat(runtime, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid())
            return std::string(runtime) + "/quelm-ssh";
    }
    return home_folder() + "/.cache/quelm/ssh";
}

// A socket path must fit sockaddr_un with ssh's 17-character temporary
// suffix: a folder too deep falls back to one below /tmp.
std::string usable_control_dir(const std::string& dir) {
    if (dir.size() + 1 + 40 + 17 < sizeof(sockaddr_un{}.sun_path)) return dir;
    return "/tmp/quelm-ssh-" + std::to_string(::geteuid());
}

}  // namespace

// Everything open() and the free functions need before running ssh:
// checks the options, writes the generated configuration and resolves the
// server with `ssh -G`.
QN_ssh_session::Impl::Prepared QN_ssh_session::Impl::prepare(const QN_ssh_options& o) {
    Impl& s = *this;
    Prepared p;
    auto refuse = [&](std::string why) {
        p.code = QN_SSH_FAILED;
        p.error = std::move(why);
        return p;
    };
    QN_ssh_target target;
    std::string why;
    if (!QN_ssh_parse_target(o.host, target, why)) return refuse(why);
    if (!o.user.empty()) {
        if (!valid_user(o.user)) return refuse("The user name \"" + o.user + "\" cannot be used.");
        target.user = o.user;
    }
    if (o.port != 0) {
        if (o.port < 1 || o.port > 65535)
            return refuse("The port " + std::to_string(o.port) + " is outside 1 to 65535.");
        target.port = o.port;
    }
    std::string jumps;
    if (!trim(o.jump).empty()) {
        std::string rest = o.jump;
        size_t start = 0;
        for (;;) {
            const size_t comma = rest.find(',', start);
            const std::string one = trim(rest.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
            QN_ssh_target j;
            if (!QN_ssh_parse_target(one, j, why)) return refuse("The jump host \"" + one + "\": " + why);
            jumps += (jumps.empty() ? "" : ",") + QN_ssh_target_text(j);
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
    }
    s.ssh = find_ssh();
    if (s.ssh.empty()) return refuse("The OpenSSH client (ssh) is not installed; install the package openssh-client.");
    s.timeout = o.timeout > 0 ? o.timeout : 30;
    s.persist = std::max(1, std::min(o.control_persist, 86400));

    // The folder of the control sockets, questions and generated files.
    const std::string dir = usable_control_dir(absolute_path(o.control_dir.empty() ? default_control_dir() : o.control_dir));
    if (!private_folder(dir, why)) return refuse(why);
    // In the -o argument: quoted (blanks), '%' doubled (ssh expands tokens).
    std::string quoted_dir;
    if (!config_word(dir, true, quoted_dir)) return refuse("The control folder's path cannot be used: " + dir);
    s.control_path = quoted_dir.substr(0, quoted_dir.size() - 1) + "/%C\"";

    // Files the options name must exist before ssh is asked.
    const std::string identity = absolute_path(o.identity);
    if (!identity.empty() && ::access(identity.c_str(), R_OK) != 0)
        return refuse("The identity file " + identity + " cannot be read: " + errno_text(errno));
    const std::string config = absolute_path(o.ssh_config);
    if (!config.empty() && ::access(config.c_str(), R_OK) != 0)
        return refuse("The SSH configuration " + config + " cannot be read: " + errno_text(errno));

    const bool secrets = !o.password.empty() || !o.passphrase.empty() || o.ask || o.confirm_new_host_key;
    p.batch = !secrets;
    p.passwords = !o.password.empty() || o.ask;
    p.accept_possible = o.accept_new_host_key || o.confirm_new_host_key;

    // The known-hosts file: the given one; $HOME's when HOME is not the home
    // ssh knows; otherwise what the configuration says (by default the same).
    const std::string home = home_folder();
    bool force_known = !o.known_hosts.empty();
    s.known_hosts = absolute_path(o.known_hosts);
    if (!force_known) {
        s.known_hosts = home + "/.ssh/known_hosts";
        force_known = home != passwd_home();
    }

    std::string text = "# The options of one connection of this program; removed when it closes.\nHost *\n";
    auto option = [&](const std::string& line) { text += "  " + line + "\n"; };
    option(std::string("BatchMode ") + (p.batch ? "yes" : "no"));
    option(std::string("StrictHostKeyChecking ") + (!p.batch ? "ask" : o.accept_new_host_key ? "accept-new" : "yes"));
    std::string word;
    if (force_known) {
        if (!config_word(s.known_hosts, true, word)) return refuse("The known-hosts path cannot be used: " + s.known_hosts);
        option("UserKnownHostsFile " + word);
    }
    if (!identity.empty()) {
        if (!config_word(identity, true, word)) return refuse("The identity file path cannot be used: " + identity);
        option("IdentityFile " + word);
    }
    const int seconds = static_cast<int>(std::ceil(s.timeout));
    option("ConnectTimeout " + std::to_string(seconds));
    option("ServerAliveInterval " + std::to_string(std::max(1, static_cast<int>(std::ceil(s.timeout / 3)))));
    option("ServerAliveCountMax 3");
    option("NumberOfPasswordPrompts " + std::string(o.ask ? "3" : "1"));
    if (!p.passwords) {
        option("PasswordAuthentication no");
        option("KbdInteractiveAuthentication no");
    }
    option("ClearAllForwardings yes");
    option("ForwardX11 no");
    option("PermitLocalCommand no");
    option("RequestTTY no");
    option("EscapeChar none");
    option("RemoteCommand none");
    if (!config.empty()) {
        if (!config_word(config, false, word)) return refuse("The SSH configuration path cannot be used: " + config);
        text += "Include " + word + "\n";
    } else {
        const std::string user_config = home + "/.ssh/config";
        if (::access(user_config.c_str(), R_OK) == 0 && config_word(user_config, false, word))
            text += "Include " + word + "\n";
        if (::access("/etc/ssh/ssh_config", R_OK) == 0) text += "Include /etc/ssh/ssh_config\n";
    }
    remove_leftovers(dir);
    std::string file = dir + "/config." + std::to_string(::getpid()) + ".XXXXXX";
    const int fd = ::mkostemp(&file[0], O_CLOEXEC);
    if (fd < 0) return refuse("Cannot write in the control folder " + dir + ": " + errno_text(errno));
    const bool written = write_all(fd, text.data(), text.size());
    ::close(fd);
    s.remove_config();
    s.config_file = file;
    if (!written) return refuse("Cannot write " + file + ": " + errno_text(errno));

    s.via.clear();
    s.destination.clear();
    if (!target.user.empty()) s.destination.insert(s.destination.end(), {"-l", target.user});
    if (target.port > 0) s.destination.insert(s.destination.end(), {"-p", std::to_string(target.port)});
    s.destination.insert(s.destination.end(), {"--", target.host});
    s.jump = jumps;
    s.shown = QN_ssh_target_text(target);

    // Every child's environment: this program as the askpass helper, no
    // secret of ours.
    s.env.clear();
    for (char** e = environ; e && *e; ++e) {
        const std::string entry = *e;
        bool drop = false;
        for (const char* name :
             {"QUELM_SSH_PASSWORD=", "QUELM_SSH_PASSPHRASE=", "SSH_ASKPASS=", "SSH_ASKPASS_REQUIRE=", "QUELM_ASKPASS_SOCKET="})
            if (starts_with(entry, name)) drop = true;
        if (!drop) s.env.push_back(entry);
    }
    s.env.push_back("SSH_ASKPASS=" + own_program());
    s.env.push_back("SSH_ASKPASS_REQUIRE=force");

    // How ssh resolves the server: the control socket, the user, the port.
    std::vector<std::string> args = s.base({"-G"});
    if (!s.jump.empty()) args.insert(args.end(), {"-J", s.jump});
    args.insert(args.end(), s.destination.begin(), s.destination.end());
    Child c;
    if (!spawn(args, s.env, false, c, why)) return refuse(why);
    std::string out, err;
    RunHooks hooks;
    hooks.timeout = s.timeout;
    hooks.on_out = [&](const char* d, size_t n) { out.append(d, n); };
    hooks.on_err = [&](const char* d, size_t n) { err.append(d, n); };
    if (run_child(c, hooks) != QN_SSH_OK || c.exit_code() != 0) {
        std::string words;
        for (const auto& line : split_lines(err))
            if (!trim(line).empty()) words += (words.empty() ? "" : "; ") + trim(line);
        return refuse("ssh cannot use the configuration for " + s.shown + (words.empty() ? "." : ": " + words));
    }
    std::string host_name, user_name, port_text;
    for (const auto& line : split_lines(out)) {
        const size_t sp = line.find(' ');
        if (sp == std::string::npos) continue;
        const std::string key = line.substr(0, sp), value = line.substr(sp + 1);
        if (key == "controlpath") s.socket_path = value;
        else if (key == "hostname") host_name = value;
        else if (key == "user") user_name = value;
        else if (key == "port") port_text = value;
        else if (key == "proxyjump") s.via = value;
        else if (key == "userknownhostsfile" && !force_known) {
            std::istringstream files(value);
            std::string first;
            if (files >> first) {
                if (starts_with(first, "~/")) first = passwd_home() + first.substr(1);
                if (first[0] == '/') s.known_hosts = first;
            }
        }
    }
    if (s.socket_path.size() + 17 >= sizeof(sockaddr_un{}.sun_path))
        return refuse("The control socket path " + s.socket_path + " is too long.");
    // As known_hosts names the server.
    const int resolved_port = std::atoi(port_text.c_str());
    s.key_name = resolved_port > 0 && resolved_port != 22 ? host_port(host_name, resolved_port) : host_name;
    if (s.key_name.find(':') != std::string::npos && s.key_name[0] != '[') s.key_name = "[" + s.key_name + "]";
    (void)user_name;
    return p;
}

int QN_ssh_session::open(const QN_ssh_options& options) {
    Impl& s = *impl_;
    close();
    s.message.clear();
    s.hostkey = QN_ssh_hostkey();
    const Impl::Prepared prep = s.prepare(options);
    if (prep.code != QN_SSH_OK) {
        s.remove_config();
        return s.fail(prep.code, prep.error);
    }
    // A running master is used as it is.
    if (s.master_alive()) {
        s.connected = true;
        return QN_SSH_OK;
    }
    // ssh appends an accepted key to the known-hosts file: its folder must
    // exist and its last line must end.
    if (prep.accept_possible && !s.known_hosts.empty()) {
        const std::string folder = dir_name(s.known_hosts);
        struct stat st;
        if (!folder.empty() && ::stat(folder.c_str(), &st) != 0) {
            std::error_code ec;
            std::filesystem::create_directories(folder, ec);
            ::chmod(folder.c_str(), 0700);
        }
        end_with_newline(s.known_hosts);
    }

    AskServer asks;
    std::string why;
    if (!prep.batch && !asks.start(dir_name(s.socket_path), why)) {
        s.remove_config();
        return s.fail(QN_SSH_FAILED, why);
    }
    std::vector<std::string> env = s.env;
    if (!prep.batch) env.push_back(std::string(kAskSocketEnv) + "=" + asks.path());

    OpenState st;
    // Answers one question ssh asks through the askpass helper.
    auto answer_question = [&] {
        int conn = -1;
        std::string prompt, hint;
        if (!asks.next(conn, prompt, hint)) return;
        st.prompts.push_back(prompt);
        // The host key question.
        if (contains(prompt, "Are you sure you want to continue connecting")) {
            QN_ssh_hostkey key;
            const size_t q = prompt.find("host '");
            if (q != std::string::npos) {
                const size_t start = q + 6;
                const size_t end = prompt.find_first_of(" '", start);
                key.host = prompt.substr(start, end == std::string::npos ? std::string::npos : end - start);
            }
            const size_t fpos = prompt.find(" key fingerprint is ");
            if (fpos != std::string::npos) {
                const size_t line_start = prompt.rfind('\n', fpos);
                key.type = key_type_from_label(
                    trim(prompt.substr(line_start == std::string::npos ? 0 : line_start + 1,
                                       fpos - (line_start == std::string::npos ? 0 : line_start + 1))));
                const size_t fp_start = fpos + std::strlen(" key fingerprint is ");
                size_t fp_end = prompt.find_first_of(".\n", fp_start);
                key.fingerprint = prompt.substr(fp_start, fp_end == std::string::npos ? std::string::npos : fp_end - fp_start);
            }
            // The precise type from ssh's own line when it is there.
            for (const auto& line : split_lines(st.err)) {
                const std::string tag = "Server host key: ";
                const size_t at = line.find(tag);
                if (at == std::string::npos) continue;
                std::istringstream w(line.substr(at + tag.size()));
                std::string type, fp;
                if (w >> type >> fp && fp == key.fingerprint) key.type = type;
            }
            s.hostkey = key;
            const bool yes = options.accept_new_host_key ||
                             (options.confirm_new_host_key && options.confirm_new_host_key(s.hostkey));
            if (!yes) st.host_key_declined = true;
            AskServer::reply(conn, true, yes ? "yes" : "no");
            return;
        }
        // Other yes/no questions are not this program's to answer.
        if (hint == "confirm") {
            st.question_declined = true;
            AskServer::reply(conn, false, std::string());
            return;
        }
        QN_ssh_prompt question;
        question.text = prompt;
        const std::string l = lower(prompt);
        const bool retry = starts_with(l, "bad passphrase");
        if (retry) {
            // ssh asks again after a wrong passphrase: not from the same source.
            st.passphrase_wrong = true;
            const size_t f = prompt.find(" for ");
            if (f != std::string::npos) st.declined_key = trim(prompt.substr(f + 5));
            while (!st.declined_key.empty() && (st.declined_key.back() == ':' || st.declined_key.back() == ' '))
                st.declined_key.pop_back();
        }
        if (contains(l, "passphrase for") || retry)
            question.kind = QN_ssh_secret::passphrase;
        else if (contains(l, "password"))
            question.kind = QN_ssh_secret::password;
        else
            question.kind = QN_ssh_secret::code;
        std::string answer;
        bool have = false;
        if (!retry && !st.answered.count(prompt)) {
            if (question.kind == QN_ssh_secret::passphrase) {
                // A passphrase stays here; a password may serve as one (the
                // window has a single field), never the other way round.
                if (!options.passphrase.empty()) answer = options.passphrase, have = true;
                else if (!options.password.empty()) answer = options.password, have = true;
                if (have) st.passphrase_given = true;
            } else if (question.kind == QN_ssh_secret::password && !options.password.empty()) {
                answer = options.password;
                have = true;
                st.password_sent = true;
            }
            if (have) st.answered.insert(prompt);
        }
        if (!have && options.ask) {
            have = options.ask(question, answer);
            if (have && question.kind == QN_ssh_secret::password) st.password_sent = true;
            if (have && question.kind == QN_ssh_secret::passphrase) st.passphrase_given = true;
        }
        if (question.kind == QN_ssh_secret::passphrase) {
            const size_t q1 = prompt.find('\''), q2 = prompt.rfind('\'');
            if (q1 != std::string::npos && q2 > q1) st.declined_key = prompt.substr(q1 + 1, q2 - q1 - 1);
        }
        if (!have) {
            if (question.kind == QN_ssh_secret::passphrase) {
                st.passphrase_declined = true;  // ssh goes on with the next key
            } else {
                // ssh would send an empty answer: the attempt ends here.
                st.question_declined = true;
                st.declined_prompt = prompt;
            }
        }
        AskServer::reply(conn, have, answer);
        std::fill(answer.begin(), answer.end(), '\0');
    };

    int result = QN_SSH_FAILED;
    int rc = -1;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt > 0 && s.master_alive()) {
            // Another process started the master meanwhile.
            s.connected = true;
            return QN_SSH_OK;
        }
        // A socket whose master is gone (killed) would block a new one; a
        // socket that answers is another program's new master.
        if (stale_socket(s.socket_path)) ::unlink(s.socket_path.c_str());
        std::vector<std::string> args = s.base({"-o", "LogLevel=DEBUG1", "-o", "ControlMaster=yes", "-o",
                                                "ControlPersist=" + std::to_string(s.persist),
                                                "-N"});
        if (!s.jump.empty()) args.insert(args.end(), {"-J", s.jump});
        args.insert(args.end(), s.destination.begin(), s.destination.end());
        Child c;
        if (!spawn(args, env, false, c, why)) {
            s.remove_config();
            return s.fail(QN_SSH_FAILED, why);
        }
        st = OpenState();
        RunHooks hooks;
        // ssh's own deadlines (ConnectTimeout) come first, with their words.
        hooks.timeout = s.timeout + 1.5;
        hooks.on_err = [&](const char* d, size_t n) {
            if (st.err.size() < (1u << 20)) st.err.append(d, n);
        };
        hooks.question_fd = prep.batch ? -1 : asks.fd();
        hooks.on_question = answer_question;
        hooks.should_stop = [&] {
            if (contains(st.err, "already exists, disabling multiplexing")) return st.master_clash = true;
            return !st.declined_prompt.empty();
        };
        result = run_child(c, hooks);
        rc = c.exit_code();
        if (!st.master_clash) break;
    }
    asks.stop();
    // QUELM_SSH_DEBUG shows what ssh said (never a secret: ssh does not
    // print them, and answers do not pass through here).
    if (const char* debug = std::getenv("QUELM_SSH_DEBUG"))
        if (*debug && std::strcmp(debug, "0") != 0) std::fprintf(stderr, "%s", st.err.c_str());

    if (result == QN_SSH_OK && rc == 0) {
        // The host key the new master met.
        for (const auto& line : split_lines(st.err)) {
            const size_t at = line.find("debug1: Server host key: ");
            if (at != 0) continue;
            std::istringstream w(line.substr(25));
            std::string type, fp;
            if (w >> type >> fp) {
                s.hostkey.host = s.key_name;
                s.hostkey.type = type;
                s.hostkey.fingerprint = fp;
            }
        }
        s.connected = true;
        return QN_SSH_OK;
    }

    // Why it failed, from ssh's own words.
    const std::vector<std::string> lines = split_lines(st.err);
    std::string said;  // ssh's messages without its debug lines and banners
    std::string offered, methods, server_fp, server_type, changed_host, unknown_host, offending_file;
    long offending_line = 0;
    bool changed = false, unknown = false, denied = false, too_many = false, refused = false, banner_timeout = false,
         connect_timeout = false, unresolved = false, closed = false, bad_config = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (starts_with(line, "debug1: ")) {
            const std::string d = line.substr(8);
            if (starts_with(d, "Server host key: ")) {
                std::istringstream w(d.substr(17));
                w >> server_type >> server_fp;
            } else if (starts_with(d, "Offering public key: ")) {
                std::istringstream w(d.substr(21));
                std::string file, type, fp;
                w >> file >> type >> fp;
                offered += (offered.empty() ? "" : ", ") + file + " (" + type + " " + fp + ")";
            } else if (starts_with(d, "Authentications that can continue: ")) {
                methods = d.substr(36);
            }
            continue;
        }
        if (starts_with(line, "@@@") || trim(line).empty()) continue;
        if (contains(line, "REMOTE HOST IDENTIFICATION HAS CHANGED")) changed = true;
        const size_t hk = line.find("Host key for ");
        if (hk != std::string::npos && contains(line, " has changed")) {
            changed = true;
            const size_t start = hk + 13;
            changed_host = line.substr(start, line.find(' ', start) - start);
        }
        if (contains(line, "key sent by the remote host is") && i + 1 < lines.size() && server_fp.empty()) {
            server_fp = trim(lines[i + 1]);
            while (!server_fp.empty() && server_fp.back() == '.') server_fp.pop_back();
        }
        const size_t off = line.find("Offending ");
        if (off != std::string::npos) {
            const size_t in = line.find(" key in ", off);
            const size_t colon = line.rfind(':');
            if (in != std::string::npos && colon != std::string::npos && colon > in) {
                offending_file = line.substr(in + 8, colon - in - 8);
                offending_line = std::atol(line.c_str() + colon + 1);
            }
        }
        const size_t nk = line.find(" host key is known for ");
        if (starts_with(line, "No ") && nk != std::string::npos && contains(line, "requested strict checking")) {
            unknown = true;
            const size_t start = nk + 23;
            unknown_host = line.substr(start, line.find(' ', start) - start);
            if (server_type.empty()) server_type = key_type_from_label(line.substr(3, nk - 3));
        }
        if (contains(line, "Permission denied (")) {
            denied = true;
            const size_t a = line.find('('), b = line.find(')', a);
            if (b != std::string::npos) methods = line.substr(a + 1, b - a - 1);
        }
        if (contains(line, "Too many authentication failures")) too_many = true;
        if (contains(line, "Connection refused")) refused = true;
        if (contains(line, "timed out during banner exchange")) banner_timeout = true;
        if (contains(line, "Connection timed out") || contains(line, "Operation timed out")) connect_timeout = true;
        if (contains(line, "Could not resolve hostname")) unresolved = true;
        if (contains(line, "Connection closed by") || contains(line, "Connection reset by") ||
            contains(line, "kex_exchange_identification"))
            closed = true;
        if (contains(line, "Bad configuration option") || contains(line, "bad configuration option") ||
            contains(line, "Unsupported option") || contains(line, "Bad key types"))
            bad_config = true;
        if (starts_with(line, "Warning: Permanently added") || starts_with(line, "Authenticated to ") ||
            contains(line, "Pseudo-terminal") || starts_with(line, "Transferred:"))
            continue;
        said += (said.empty() ? "" : "; ") + trim(line);
    }
    if (said.size() > 600) said = said.substr(0, 600) + " …";

    if (changed) {
        s.hostkey.host = changed_host.empty() ? s.hostkey.host : changed_host;
        s.hostkey.type = server_type.empty() ? s.hostkey.type : server_type;
        if (!server_fp.empty()) s.hostkey.fingerprint = server_fp;
        const std::string file = offending_file.empty() ? s.known_hosts : offending_file;
        if (!offending_file.empty()) s.hostkey.old_fingerprint = known_key_fingerprint(offending_file, offending_line);
        return s.fail(QN_SSH_HOSTKEY_CHANGED,
                      "The host key of " + s.hostkey.host + " has changed: the known hosts file " + file +
                          " holds the key " +
                          (s.hostkey.old_fingerprint.empty() ? "(unreadable)" : s.hostkey.old_fingerprint) +
                          ", the server now shows the " + s.hostkey.type + " key " + s.hostkey.fingerprint +
                          ". No password was sent. Someone may be intercepting the connection; if the server's key "
                          "was replaced on purpose, remove its old line from " + file + ".");
    }
    if (st.host_key_declined || unknown) {
        if (unknown) {
            s.hostkey.host = unknown_host;
            s.hostkey.type = server_type;
            s.hostkey.fingerprint = server_fp;
        }
        std::string text = "The server " + s.hostkey.host + " is not in the known hosts file " + s.known_hosts + ".";
        if (!s.hostkey.fingerprint.empty())
            text += " Its " + s.hostkey.type + " key has the fingerprint " + s.hostkey.fingerprint +
                    ". Compare it with the one the server's administrator gives, then accept the new host key to "
                    "connect; it will be added to " + s.known_hosts + ".";
        else
            text += " Accept the new host key to connect; it will be added to " + s.known_hosts + ".";
        return s.fail(QN_SSH_HOSTKEY_UNKNOWN, text);
    }
    if (!st.declined_prompt.empty())
        return s.fail(QN_SSH_AUTH_REFUSED, "The authentication to " + s.shown + " was given up: the question \"" +
                                               trim(st.declined_prompt) + "\" was not answered.");
    if (result == QN_SSH_TIMEOUT) {
        const std::string seconds = std::to_string(static_cast<int>(std::lround(s.timeout)));
        if (!contains(st.err, "Connection established"))
            return s.fail(QN_SSH_TIMEOUT, "timed out connecting to " + s.shown + " (" + seconds + " s)");
        if (!contains(st.err, "Remote protocol version"))
            return s.fail(QN_SSH_TIMEOUT, "timed out waiting for the server's SSH banner (" + s.shown + ", " + seconds + " s)");
        return s.fail(QN_SSH_TIMEOUT, "timed out waiting for the server " + s.shown + " (nothing happened for " +
                                          seconds + " s)");
    }
    if (denied || too_many) {
        if (st.password_sent) return s.fail(QN_SSH_AUTH_REFUSED, "Authentication by password failed.");
        std::string text = "The server " + s.shown + " refused the authentication";
        if (too_many) text += " after too many keys were offered; name the key with an identity file";
        if (!methods.empty()) text += " (it accepts: " + methods + ")";
        text += ".";
        if (!offered.empty())
            text += " It accepted none of the keys offered: " + offered + ".";
        else if (contains(methods, "publickey"))
            text += " No key was offered (no identity file, no key in an agent).";
        const std::string key = st.declined_key.empty() ? std::string("a key") : st.declined_key;
        if (st.passphrase_wrong || (st.passphrase_given && !st.passphrase_declined))
            text += " The passphrase given for " + key + " is wrong.";
        else if (st.passphrase_declined)
            text += " The passphrase of " + key + " was not given.";
        if (prep.batch && (contains(methods, "password") || contains(methods, "keyboard-interactive")))
            text += " No password was given.";
        return s.fail(QN_SSH_AUTH_REFUSED, text);
    }
    if (banner_timeout) return s.fail(QN_SSH_TIMEOUT, "timed out waiting for the server's SSH banner (" + s.shown + ")");
    if (connect_timeout) return s.fail(QN_SSH_TIMEOUT, "timed out connecting to " + s.shown);
    if (refused) return s.fail(QN_SSH_FAILED, "Cannot connect to " + s.shown + ": the connection was refused.");
    if (unresolved) return s.fail(QN_SSH_FAILED, "Cannot find the server " + s.shown + ": " + said);
    if (bad_config) return s.fail(QN_SSH_FAILED, "The SSH configuration cannot be used: " + said);
    if (closed && !s.via.empty())
        return s.fail(QN_SSH_FAILED, "The connection to " + s.shown + " through the jump host " + s.via +
                                         " failed: the jump host refused the login or could not reach the server (" +
                                         said + ").");
    if (closed) return s.fail(QN_SSH_FAILED, "The server " + s.shown + " closed the connection: " + said);
    return s.fail(QN_SSH_FAILED, "ssh could not connect to " + s.shown +
                                     (said.empty() ? " (exit status " + std::to_string(rc) + ")." : ": " + said));
}

int QN_ssh_session::disconnect() {
    Impl& s = *impl_;
    const bool had = !s.config_file.empty();
    if (had) s.end_master();
    s.drop();
    return QN_SSH_OK;
}

// ---- Commands -------------------------------------------------------------------

int QN_ssh_session::exec(const std::string& command, int* exit_status, std::string* output) {
    Impl& s = *impl_;
    if (exit_status) *exit_status = -1;
    int r = s.ready();
    if (r != QN_SSH_OK) return r;
    std::string quoted;
    if (!QN_shell_quote(command, quoted) && command.find('\0') != std::string::npos)
        return s.fail(QN_SSH_FAILED, "The command holds a NUL character.");
    if (quoted.empty()) {
        // A line end inside: quote it by hand (the quoting helper refuses it).
        quoted = "'";
        for (char ch : command) quoted += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
        quoted += "'";
    }
    // One shell of the server per session reads the commands; each runs in
    // the login shell's own kind of shell as its child, so that its exit
    // status (128 + N after signal N) and the end of its output come with the
    // marker line after it.
    r = s.shell_ready();
    if (r != QN_SSH_OK) return r;
    std::string line = "\"${SHELL:-/bin/sh}\" -c " + quoted + " </dev/null 2>&1; printf '\\n%s %d\\n' " +
                       s.shell_mark + " \"$?\"\n";
    const std::string mark = "\n" + s.shell_mark + " ";
    std::string got;
    size_t searched = 0;
    size_t sent = 0;
    auto until = after(s.timeout);
    char buffer[65536];
    for (;;) {
        // The marker, once its line is complete.
        const size_t from = searched > mark.size() ? searched - mark.size() : 0;
        const size_t at = got.find(mark, from);
        if (at != std::string::npos) {
            const size_t eol = got.find('\n', at + mark.size());
            if (eol != std::string::npos) {
                if (exit_status) *exit_status = std::atoi(got.c_str() + at + mark.size());
                if (output) output->append(got, 0, at);
                return QN_SSH_OK;
            }
        }
        searched = got.size();
        pollfd fds[3];
        int n = 0;
        if (s.shell.out >= 0) fds[n++] = {s.shell.out, POLLIN, 0};
        if (s.shell.err >= 0) fds[n++] = {s.shell.err, POLLIN, 0};
        if (sent < line.size() && s.shell.in >= 0) fds[n++] = {s.shell.in, POLLOUT, 0};
        if (s.shell.out < 0) {
            s.fail(QN_SSH_FAILED, "The command could not be run to its end on " + s.shown +
                                      " (the connection or the server's shell is gone" + s.shell_words() + ")");
            return s.lost(QN_SSH_FAILED);
        }
        if (::poll(fds, n, poll_ms(until, 1000)) < 0 && errno != EINTR) {
            s.fail(QN_SSH_FAILED, "poll failed: " + errno_text(errno));
            return s.lost(QN_SSH_FAILED);
        }
        for (int i = 0; i < n; ++i) {
            if (!fds[i].revents) continue;
            if (fds[i].fd == s.shell.in) {
                const ssize_t w = ::send(s.shell.in, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
                if (w > 0) {
                    sent += static_cast<size_t>(w);
                    until = after(s.timeout);
                } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
                    s.shell.close_fd(s.shell.in);
                }
                continue;
            }
            const bool is_out = fds[i].fd == s.shell.out;
            const ssize_t got_n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (got_n > 0) {
                until = after(s.timeout);
                if (is_out) got.append(buffer, static_cast<size_t>(got_n));
                else if (s.shell_err.size() < 4096) s.shell_err.append(buffer, static_cast<size_t>(got_n));
            } else if (got_n == 0 || (errno != EAGAIN && errno != EINTR)) {
                s.shell.close_fd(is_out ? s.shell.out : s.shell.err);
            }
        }
        if (Clock::now() >= until) {
            if (output) output->append(got);
            s.fail(QN_SSH_TIMEOUT, "timed out waiting for the command's output (nothing for " +
                                       std::to_string(static_cast<int>(std::lround(s.timeout))) + " s)");
            return s.lost(QN_SSH_TIMEOUT);
        }
    }
}

// ---- SFTP operations --------------------------------------------------------------

int QN_ssh_session::mkdir(const std::string& remote) {
    Impl& s = *impl_;
    int r = s.sftp_ready();
    if (r != QN_SSH_OK) return r;
    std::string b;
    put_str(b, remote);
    b += perm_attrs(0755);
    Reply reply;
    r = s.call(s.send(FXP_MKDIR, b), reply);
    if (r != QN_SSH_OK) return r;
    if (reply.ok()) return QN_SSH_OK;
    const std::string why = reply.reason();
    QN_remote_entry entry;
    const int exists = stat(remote, &entry);
    if (exists == 1 && entry.is_dir) return QN_SSH_OK;
    if (exists < 0) return exists;
    if (exists == 1) return s.fail(QN_SSH_FAILED, "Cannot create the remote folder " + remote + ": a file has that name.");
    return s.fail(QN_SSH_FAILED, "Cannot create the remote folder " + remote + ": " + why);
}

int QN_ssh_session::mkdir_all(const std::vector<std::string>& remotes, std::vector<std::string>& errors) {
    Impl& s = *impl_;
    errors.assign(remotes.size(), std::string());
    int r = s.sftp_ready();
    if (r != QN_SSH_OK) {
        for (auto& e : errors) e = s.message;
        return r;
    }
    std::vector<uint32_t> ids;
    for (const auto& remote : remotes) {
        std::string b;
        put_str(b, remote);
        b += perm_attrs(0755);
        ids.push_back(s.send(FXP_MKDIR, b));
    }
    // Folders that could not be made may exist already.
    std::vector<size_t> refused;
    std::vector<std::string> why(remotes.size());
    for (size_t k = 0; k < remotes.size(); ++k) {
        Reply reply;
        r = s.call(ids[k], reply);
        if (r != QN_SSH_OK) {
            for (auto& e : errors) e = s.message;
            return r;
        }
        if (!reply.ok()) {
            refused.push_back(k);
            why[k] = reply.reason();
        }
    }
    for (size_t k : refused) ids[k] = s.send_path(FXP_STAT, remotes[k]);
    int first = QN_SSH_OK;
    for (size_t k : refused) {
        Reply reply;
        r = s.call(ids[k], reply);
        if (r != QN_SSH_OK) {
            for (auto& e : errors) e = s.message;
            return r;
        }
        Attrs a;
        if (Impl::attrs_of(reply, a) && a.is_dir()) continue;
        errors[k] = "Cannot create the remote folder " + remotes[k] + ": " +
                    (Impl::attrs_of(reply, a) ? std::string("a file has that name.") : why[k]);
        if (first == QN_SSH_OK) {
            first = QN_SSH_FAILED;
            s.message = errors[k];
        }
    }
    return first;
}

int QN_ssh_session::stat(const std::string& remote, QN_remote_entry* entry) {
    Impl& s = *impl_;
    int r = s.sftp_ready();
    if (r != QN_SSH_OK) return r;
    Reply reply;
    r = s.call(s.send_path(FXP_STAT, remote), reply);
    if (r != QN_SSH_OK) return r;
    Attrs a;
    if (!Impl::attrs_of(reply, a)) {
        const uint32_t code = reply.status();
        if (reply.type == FXP_STATUS && (code == FX_NO_SUCH_FILE || code == FX_NO_SUCH_PATH)) return 0;
        return s.fail(QN_SSH_FAILED, "Cannot look up " + remote + " on the server: " + reply.reason());
    }
    if (entry) {
        entry->name = base_name(remote);
        entry->is_dir = a.is_dir();
        entry->size = a.has_size() ? a.size : 0;
    }
    return 1;
}

int QN_ssh_session::upload(const std::string& local, const std::string& remote, const QN_ssh_progress& progress) {
    std::vector<QN_upload_item> items(1);
    items[0].local = local;
    items[0].remote = remote;
    Impl& s = *impl_;
    // One file: the same path as a batch, with progress on acknowledged bytes.
    struct stat st;
    const uint64_t total = ::stat(local.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    uint64_t reported = 0;
    bool started = false;
    auto report = [&](uint64_t done) {
        if (!progress) return;
        if (!started || done - reported >= kProgressStep || done == total) {
            if (started && done == reported) return;
            progress(done, total);
            reported = done;
            started = true;
        }
    };
    const int r = upload_batch(items, report);
    if (r == QN_SSH_OK) {
        report(total);
        return QN_SSH_OK;
    }
    s.message = items[0].error.empty() ? s.message : items[0].error;
    return r;
}

int QN_ssh_session::upload_all(std::vector<QN_upload_item>& items) { return upload_batch(items, {}); }

int QN_ssh_session::upload_batch(std::vector<QN_upload_item>& items, const std::function<void(uint64_t)>& acked) {
    // A bounded number of files is open on the server at a time (its limit of
    // open files is often 1024).
    constexpr size_t kFilesAtOnce = 64;
    if (items.size() <= kFilesAtOnce) return impl_->upload_chunk(items, acked);
    int first = QN_SSH_OK;
    std::string first_message;
    for (size_t begin = 0; begin < items.size(); begin += kFilesAtOnce) {
        const size_t end = std::min(items.size(), begin + kFilesAtOnce);
        std::vector<QN_upload_item> part(items.begin() + static_cast<std::ptrdiff_t>(begin),
                                         items.begin() + static_cast<std::ptrdiff_t>(end));
        const int r = impl_->upload_chunk(part, acked);
        std::copy(part.begin(), part.end(), items.begin() + static_cast<std::ptrdiff_t>(begin));
        if (r != QN_SSH_OK && first == QN_SSH_OK) {
            first = r;
            first_message = impl_->message;
        }
        if (!impl_->connected) {
            // The connection is gone: the rest cannot go up.
            for (size_t k = end; k < items.size(); ++k) {
                items[k].result = r;
                items[k].error = impl_->message;
            }
            break;
        }
    }
    if (first != QN_SSH_OK) impl_->message = first_message;
    return first;
}

int QN_ssh_session::Impl::upload_chunk(std::vector<QN_upload_item>& items, const std::function<void(uint64_t)>& acked) {
    Impl& s = *this;
    for (auto& item : items) {
        item.result = 0;
        item.error.clear();
    }
    int r = s.ready();
    if (r != QN_SSH_OK) {
        for (auto& item : items) item.result = r, item.error = s.message;
        return r;
    }
    struct Up {
        int fd = -1;
        uint64_t size = 0, sent = 0, acked = 0;
        std::string temp, handle;
        bool failed = false;
    };
    std::vector<Up> up(items.size());
    int first_failure = QN_SSH_OK;
    auto fail_item = [&](size_t k, int code, const std::string& why) {
        if (up[k].failed) return;
        up[k].failed = true;
        items[k].result = code;
        items[k].error = why;
        if (first_failure == QN_SSH_OK) first_failure = code;
    };
    struct Closer {
        std::vector<Up>& up;
        ~Closer() {
            for (auto& u : up)
                if (u.fd >= 0) ::close(u.fd);
        }
    } closer{up};

    // The local files first: nothing goes up for a file that cannot be read.
    for (size_t k = 0; k < items.size(); ++k) {
        const std::string& local = items[k].local;
        const int fd = ::open(local.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            fail_item(k, QN_SSH_LOCAL_FAILED, "Cannot read " + local + ": " + errno_text(errno));
            continue;
        }
        up[k].fd = fd;
        struct stat st;
        if (::fstat(fd, &st) != 0) {
            fail_item(k, QN_SSH_LOCAL_FAILED, "Cannot read " + local + ": " + errno_text(errno));
            continue;
        }
        if (!S_ISREG(st.st_mode)) {
            fail_item(k, QN_SSH_LOCAL_FAILED, "Cannot upload " + local + ": not a regular file.");
            continue;
        }
        up[k].size = static_cast<uint64_t>(st.st_size);
    }
    bool any = false;
    for (auto& u : up) any = any || !u.failed;
    if (!any) {
        s.message = items.empty() ? std::string() : items[0].error;
        return first_failure == QN_SSH_OK ? QN_SSH_OK : first_failure;
    }
    r = s.sftp_ready();
    if (r != QN_SSH_OK) {
        for (size_t k = 0; k < items.size(); ++k) fail_item(k, r, s.message);
        return r;
    }
    // A connection that broke fails every file not done.
    auto broke = [&](int code) {
        const std::string why = s.message;
        for (size_t k = 0; k < items.size(); ++k) fail_item(k, code, why);
        s.message = why;
        return code;
    };

    // 1. Every temporary file is created (next to its final name).
    std::vector<uint32_t> ids(items.size(), 0);
    for (size_t k = 0; k < items.size(); ++k) {
        if (up[k].failed) continue;
        const std::string& remote = items[k].remote;
        const std::string folder = dir_name(remote);
        up[k].temp = (folder.empty() ? std::string() : folder == "/" ? "/" : folder + "/") + "." +
                     base_name(remote).substr(0, 200) + ".part" + unique_suffix();
        ids[k] = s.send_open(up[k].temp, FXF_WRITE | FXF_CREAT | FXF_EXCL, 0644);
    }
    for (size_t k = 0; k < items.size(); ++k) {
        if (up[k].failed) continue;
        Reply reply;
        if (s.call(ids[k], reply) != QN_SSH_OK) return broke(QN_SSH_FAILED);
        if (!Impl::handle_of(reply, up[k].handle)) {
            up[k].temp.clear();
            fail_item(k, QN_SSH_FAILED, "Cannot create " + items[k].remote + " on the server: " + reply.reason());
        }
    }

    // 2. The data, with a bounded amount unacknowledged; then each file's
    //    size is checked and the file closed.
    struct Pending {
        uint32_t id;
        size_t k;
        int kind;  // 0 write, 1 fstat, 2 close
        uint32_t bytes;
    };
    std::deque<Pending> pending;
    size_t in_flight = 0;
    std::vector<char> buffer(kTransferChunk);
    auto settle = [&]() -> bool {
        Pending p = pending.front();
        pending.pop_front();
        Reply reply;
        if (s.call(p.id, reply) != QN_SSH_OK) return false;
        Up& u = up[p.k];
        if (p.kind == 0) {
            in_flight -= p.bytes;
            if (!reply.ok())
                fail_item(p.k, QN_SSH_FAILED, "Writing " + items[p.k].remote + " on the server: " + reply.reason());
            u.acked += p.bytes;
            if (acked && !u.failed) acked(u.acked);
        } else if (p.kind == 1) {
            Attrs a;
            if (!Impl::attrs_of(reply, a))
                fail_item(p.k, QN_SSH_FAILED, "Cannot check the size of " + items[p.k].remote + ": " + reply.reason());
            else if (!a.has_size() || a.size != u.sent)
                fail_item(p.k, QN_SSH_FAILED, "The uploaded " + items[p.k].remote + " holds " +
                                                  std::to_string(a.size) + " bytes instead of " +
                                                  std::to_string(u.sent) + ".");
        } else {
            if (!reply.ok())
                fail_item(p.k, QN_SSH_FAILED, "Closing " + items[p.k].remote + " on the server failed: " + reply.reason());
        }
        return true;
    };
    for (size_t k = 0; k < items.size(); ++k) {
        Up& u = up[k];
        if (u.handle.empty()) continue;
        while (!u.failed) {
            const ssize_t n = ::read(u.fd, buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                fail_item(k, QN_SSH_LOCAL_FAILED, "Cannot read " + items[k].local + ": " + errno_text(errno));
                break;
            }
            if (n == 0) break;
            std::string b;
            put_str(b, u.handle);
            put_u64(b, u.sent);
            put_str(b, buffer.data(), static_cast<size_t>(n));
            pending.push_back({s.send(FXP_WRITE, b), k, 0, static_cast<uint32_t>(n)});
            u.sent += static_cast<uint64_t>(n);
            in_flight += static_cast<size_t>(n);
            while (in_flight > kWriteBytesInFlight)
                if (!settle()) return broke(QN_SSH_FAILED);
        }
        if (!u.failed) pending.push_back({s.send_handle(FXP_FSTAT, u.handle), k, 1, 0});
        pending.push_back({s.send_handle(FXP_CLOSE, u.handle), k, 2, 0});
    }
    while (!pending.empty())
        if (!settle()) return broke(QN_SSH_FAILED);

    // 3. Each complete file takes its final name; the others are removed.
    std::fill(ids.begin(), ids.end(), 0);
    std::vector<uint32_t> removes(items.size(), 0);
    for (size_t k = 0; k < items.size(); ++k) {
        if (up[k].temp.empty()) continue;
        if (up[k].failed) {
            removes[k] = s.send_path(FXP_REMOVE, up[k].temp);
        } else if (s.posix_rename) {
            ids[k] = s.send_rename(up[k].temp, items[k].remote);
        }
    }
    for (size_t k = 0; k < items.size(); ++k) {
        Reply reply;
        if (removes[k] && s.call(removes[k], reply) != QN_SSH_OK) return broke(QN_SSH_FAILED);
        if (up[k].temp.empty() || up[k].failed) continue;
        if (!s.posix_rename) {
            // Without an atomic replacement: the old file goes first.
            if (s.call(s.send_path(FXP_REMOVE, items[k].remote), reply) != QN_SSH_OK) return broke(QN_SSH_FAILED);
            ids[k] = s.send_rename(up[k].temp, items[k].remote);
        }
        if (s.call(ids[k], reply) != QN_SSH_OK) return broke(QN_SSH_FAILED);
        if (!reply.ok()) {
            fail_item(k, QN_SSH_FAILED, "Cannot rename the upload to " + items[k].remote + ": " + reply.reason());
            if (s.call(s.send_path(FXP_REMOVE, up[k].temp), reply) != QN_SSH_OK) return broke(QN_SSH_FAILED);
            continue;
        }
        items[k].result = QN_SSH_OK;
    }
    for (size_t k = 0; k < items.size(); ++k)
        if (items[k].result == 0) items[k].result = up[k].failed ? QN_SSH_FAILED : QN_SSH_OK;
    if (first_failure != QN_SSH_OK) {
        for (const auto& item : items)
            if (item.result != QN_SSH_OK) {
                s.message = item.error;
                break;
            }
        return first_failure;
    }
    return QN_SSH_OK;
}

int QN_ssh_session::download(const std::string& remote, const std::string& local, QN_existing existing,
                             const QN_ssh_progress& progress) {
    Impl& s = *impl_;
    int r = s.ready();
    if (r != QN_SSH_OK) return r;
    if (local.empty() || local.back() == '/') return s.fail(QN_SSH_LOCAL_FAILED, "No local file name given.");
    r = s.sftp_ready();
    if (r != QN_SSH_OK) return r;

    // The remote file and its size.
    Reply reply;
    r = s.call(s.send_path(FXP_STAT, remote), reply);
    if (r != QN_SSH_OK) return r;
    Attrs a;
    if (!Impl::attrs_of(reply, a)) return s.fail(QN_SSH_FAILED, "Cannot download " + remote + ": " + reply.reason());
    if (!a.is_reg() || !a.has_size()) return s.fail(QN_SSH_FAILED, "Cannot download " + remote + ": not a regular file.");
    const uint64_t total = a.size;

    // The local file.
    struct stat st;
    if (::lstat(local.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return s.fail(QN_SSH_LOCAL_FAILED, "Cannot write " + local + ": it is a folder.");
        if (existing == QN_existing::refuse)
            return s.fail(QN_SSH_EXISTS, "The local file " + local + " exists already; it was left as it is.");
        if (existing == QN_existing::skip) return QN_SSH_OK;
    }
    const size_t slash = local.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : local.substr(0, slash));
    if (!QN_check_dir(local)) return s.fail(QN_SSH_LOCAL_FAILED, "Cannot create the local folder " + dir + ".");
    const std::string name = base_name(local).substr(0, 200);
    std::string temp = (dir == "/" ? std::string() : dir) + "/." + name + ".partXXXXXX";
    const int out = ::mkostemp(&temp[0], O_CLOEXEC);
    if (out < 0) return s.fail(QN_SSH_LOCAL_FAILED, "Cannot create a file in " + dir + ": " + errno_text(errno));
    bool out_open = true;
    auto drop_temp = [&] {
        if (out_open) ::close(out);
        out_open = false;
        ::unlink(temp.c_str());
    };

    r = s.call(s.send_open(remote, FXF_READ, 0), reply);
    std::string handle;
    if (r != QN_SSH_OK) {
        drop_temp();
        return r;
    }
    if (!Impl::handle_of(reply, handle)) {
        drop_temp();
        return s.fail(QN_SSH_FAILED, "Cannot open " + remote + " on the server: " + reply.reason());
    }

    // Reads go out ahead of the data; each reply is written where it
    // belongs. One read past the end must find the end of the file.
    struct Read {
        uint32_t id;
        uint64_t offset;
        uint32_t length;
    };
    std::deque<Read> reads;
    uint64_t next = 0, got = 0, reported = 0;
    bool probe_sent = false;
    std::string error;
    int code = QN_SSH_OK;
    if (progress) progress(0, total);
    auto top_up = [&] {
        while (reads.size() < kReadsInFlight && next < total) {
            const uint32_t len = static_cast<uint32_t>(std::min<uint64_t>(kTransferChunk, total - next));
            reads.push_back({s.send_read(handle, next, len), next, len});
            next += len;
        }
        if (next >= total && !probe_sent) {
            reads.push_back({s.send_read(handle, total, 1), total, 0});
            probe_sent = true;
        }
    };
    top_up();
    while (!reads.empty()) {
        const Read rd = reads.front();
        reads.pop_front();
        Reply data;
        const int got_reply = s.call(rd.id, data);
        if (got_reply != QN_SSH_OK) {
            drop_temp();
            return got_reply;
        }
        if (code != QN_SSH_OK) continue;  // draining after a failure
        if (rd.length == 0) {  // the read past the end
            if (data.type == FXP_DATA) {
                code = QN_SSH_FAILED;
                error = remote + " grew while it was downloaded.";
            } else if (data.status() != FX_EOF) {
                code = QN_SSH_FAILED;
                error = "Reading " + remote + " from the server: " + data.reason();
            }
            continue;
        }
        if (data.type == FXP_STATUS) {
            code = QN_SSH_FAILED;
            error = data.status() == FX_EOF
                        ? "Downloading " + remote + " gave " + std::to_string(rd.offset) + " bytes instead of " +
                              std::to_string(total) + "."
                        : "Reading " + remote + " from the server: " + data.reason();
            continue;
        }
        std::string bytes;
        Reader rdr(data.body);
        if (data.type != FXP_DATA || !rdr.str(bytes) || bytes.size() > rd.length || bytes.empty()) {
            code = QN_SSH_FAILED;
            error = "Reading " + remote + " from the server: unexpected reply.";
            continue;
        }
        if (!pwrite_all(out, bytes.data(), bytes.size(), static_cast<off_t>(rd.offset))) {
            code = QN_SSH_LOCAL_FAILED;
            error = "Cannot write " + temp + ": " + errno_text(errno);
            continue;
        }
        got += bytes.size();
        if (bytes.size() < rd.length) {
            // A short read: the rest is asked for again (its reply comes
            // after those already asked for).
            const uint64_t off = rd.offset + bytes.size();
            const uint32_t rest = rd.length - static_cast<uint32_t>(bytes.size());
            reads.push_back({s.send_read(handle, off, rest), off, rest});
        }
        if (progress && got - reported >= kProgressStep) {
            progress(got, total);
            reported = got;
        }
        top_up();
    }
    Reply closed;
    const int close_rc = s.call(s.send_handle(FXP_CLOSE, handle), closed);
    if (close_rc != QN_SSH_OK) {
        drop_temp();
        return close_rc;
    }
    if (code != QN_SSH_OK) {
        drop_temp();
        return s.fail(code, error);
    }
    if (got != total) {
        drop_temp();
        return s.fail(QN_SSH_FAILED, "Downloading " + remote + " gave " + std::to_string(got) + " bytes instead of " +
                                         std::to_string(total) + ".");
    }
    ::fchmod(out, 0644);
    out_open = false;
    if (::close(out) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        return s.fail(QN_SSH_LOCAL_FAILED, "Cannot write " + temp + ": " + errno_text(err));
    }
    // Unless asked to overwrite, a file that appeared under the final name
    // during the transfer is not replaced either.
    int moved = existing == QN_existing::overwrite
                    ? ::rename(temp.c_str(), local.c_str())
                    : ::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, local.c_str(), RENAME_NOREPLACE);
    if (moved != 0 && errno == EINVAL) moved = ::rename(temp.c_str(), local.c_str());  // no such flag here
    if (moved != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        if (err == EEXIST)
            return s.fail(QN_SSH_EXISTS,
                          "The local file " + local + " appeared during the download; it was left as it is.");
        return s.fail(QN_SSH_LOCAL_FAILED, "Cannot rename the download to " + local + ": " + errno_text(err));
    }
    if (progress && reported != got) progress(got, total);
    return QN_SSH_OK;
}

int QN_ssh_session::list(const std::string& remote_dir, std::vector<QN_remote_entry>& entries) {
    Impl& s = *impl_;
    entries.clear();
    int r = s.sftp_ready();
    if (r != QN_SSH_OK) return r;
    Reply reply;
    r = s.call(s.send_path(FXP_OPENDIR, remote_dir), reply);
    if (r != QN_SSH_OK) return r;
    std::string handle;
    if (!Impl::handle_of(reply, handle))
        return s.fail(QN_SSH_FAILED, "Cannot list " + remote_dir + " on the server: " + reply.reason());
    std::string error;
    for (;;) {
        r = s.call(s.send_handle(FXP_READDIR, handle), reply);
        if (r != QN_SSH_OK) {
            entries.clear();
            return r;
        }
        if (reply.type == FXP_STATUS) {
            if (reply.status() != FX_EOF) error = "Listing " + remote_dir + " failed: " + reply.reason();
            break;
        }
        Reader rd(reply.body);
        uint32_t count = 0;
        if (reply.type != FXP_NAME || !rd.u32(count)) {
            error = "Listing " + remote_dir + " failed: unexpected reply.";
            break;
        }
        bool bad = false;
        for (uint32_t i = 0; i < count; ++i) {
            std::string name, long_name;
            Attrs a;
            if (!rd.str(name) || !rd.str(long_name) || !rd.attrs(a)) {
                bad = true;
                break;
            }
            if (name == "." || name == "..") continue;
            if (!a.is_dir() && !a.is_reg()) continue;
            entries.push_back({name, a.is_dir(), a.has_size() ? a.size : 0});
        }
        if (bad) {
            error = "Listing " + remote_dir + " failed: unexpected reply.";
            break;
        }
    }
    r = s.call(s.send_handle(FXP_CLOSE, handle), reply);
    if (r != QN_SSH_OK) {
        entries.clear();
        return r;
    }
    if (!error.empty()) {
        entries.clear();
        return s.fail(QN_SSH_FAILED, error);
    }
    return QN_SSH_OK;
}

// ---- The master from outside a session ----------------------------------------------

int QN_ssh_disconnect(const QN_ssh_options& options, std::string& message) {
    QN_ssh_session session;
    QN_ssh_session::Impl& s = *session.impl_;
    QN_ssh_options o = options;
    // Only the master is spoken to: no question can come.
    o.password.clear();
    o.passphrase.clear();
    o.ask = nullptr;
    o.confirm_new_host_key = nullptr;
    const QN_ssh_session::Impl::Prepared prep = s.prepare(o);
    if (prep.code != QN_SSH_OK) {
        message = prep.error;
        s.remove_config();
        return prep.code;
    }
    struct stat st;
    if (s.socket_path.empty() || ::lstat(s.socket_path.c_str(), &st) != 0) {
        message = "There is no open connection to " + s.shown + ".";
        s.remove_config();
        return 0;
    }
    std::vector<std::string> args = s.base({"-O", "exit"});
    args.insert(args.end(), s.destination.begin(), s.destination.end());
    Child c;
    std::string why, err;
    if (!spawn(args, s.env, false, c, why)) {
        message = why;
        s.remove_config();
        return QN_SSH_FAILED;
    }
    RunHooks hooks;
    hooks.timeout = 10;
    hooks.on_err = [&](const char* d, size_t n) { err.append(d, n); };
    run_child(c, hooks);
    const bool sent = c.exit_code() == 0;
    const auto until = after(5.0);
    while (::lstat(s.socket_path.c_str(), &st) == 0 && Clock::now() < until) ::usleep(5000);
    s.remove_config();
    if (!sent) {
        // A socket nobody listens on any more.
        ::unlink(s.socket_path.c_str());
        message = "There is no open connection to " + s.shown + ".";
        return 0;
    }
    message = "The connection to " + s.shown + " has been closed.";
    return QN_SSH_OK;
}

int QN_ssh_master_pid(const QN_ssh_options& options) {
    QN_ssh_session session;
    QN_ssh_session::Impl& s = *session.impl_;
    QN_ssh_options o = options;
    o.password.clear();
    o.passphrase.clear();
    o.ask = nullptr;
    o.confirm_new_host_key = nullptr;
    int pid = 0;
    if (s.prepare(o).code == QN_SSH_OK && !s.master_alive(&pid)) pid = 0;
    s.remove_config();
    return pid;
}

// ---- Names and commands ----------------------------------------------------

bool QN_shell_quote(const std::string& word, std::string& out) {
    if (word.find_first_of(std::string("\0\n\r", 3)) != std::string::npos) return false;
    std::string quoted = "'";
    for (char ch : word) {
        if (ch == '\'')
            quoted += "'\\''";
        else
            quoted += ch;
    }
    quoted += '\'';
    out = std::move(quoted);
    return true;
}

bool QN_remote_name_ok(const std::string& name) {
    if (name.empty() || name == "." || name == "..") return false;
    return name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

bool QN_remote_path_ok(const std::string& path) {
    if (path.empty()) return false;
    size_t start = 0;
    for (;;) {
        const size_t slash = path.find('/', start);
        if (!QN_remote_name_ok(path.substr(start, slash == std::string::npos ? std::string::npos : slash - start)))
            return false;
        if (slash == std::string::npos) return true;
        start = slash + 1;
    }
}

bool QN_local_path_inside(const std::string& folder, const std::string& path) {
    std::error_code ec;
    const std::filesystem::path resolved = std::filesystem::weakly_canonical(std::filesystem::path(path).parent_path(), ec);
    const std::filesystem::path base(folder);
    if (ec || folder.empty()) return false;
    auto r = resolved.begin();
    for (auto f = base.begin(); f != base.end(); ++f, ++r)
        if (r == resolved.end() || *f != *r) return false;
    return true;
}

bool QN_ssh_parse_host(const std::string& text, std::string& host, int& port) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return false;
    const std::string t = text.substr(first, text.find_last_not_of(" \t") - first + 1);
    const size_t colon = t.find(':');
    const std::string address = t.substr(0, colon);
    int number = 22;
    if (colon != std::string::npos && !parse_port(t.substr(colon + 1), number)) return false;
    in_addr a{};
    if (::inet_pton(AF_INET, address.c_str(), &a) != 1) return false;
    host = address;
    port = number;
    return true;
}

bool QN_ssh_parse_target(const std::string& text, QN_ssh_target& target, std::string& error) {
    const std::string t = trim(text);
    QN_ssh_target out;
    if (t.empty()) {
        error = "no server given";
        return false;
    }
    std::string rest = t;
    const size_t at = rest.rfind('@');
    if (at != std::string::npos) {
        out.user = rest.substr(0, at);
        rest = rest.substr(at + 1);
        if (!valid_user(out.user)) {
            error = "\"" + out.user + "\" is not a user name";
            return false;
        }
    }
    if (!rest.empty() && rest[0] == '[') {
        const size_t close = rest.find(']');
        if (close == std::string::npos) {
            error = "\"" + t + "\" has an unclosed '['";
            return false;
        }
        out.host = rest.substr(1, close - 1);
        const std::string after_bracket = rest.substr(close + 1);
        if (!is_ipv6(out.host)) {
            error = "\"" + out.host + "\" in brackets is not an IPv6 address";
            return false;
        }
        if (!after_bracket.empty()) {
            if (after_bracket[0] != ':' || !parse_port(after_bracket.substr(1), out.port)) {
                error = "\"" + after_bracket + "\" after the address is not \":PORT\" (1 ... 65535)";
                return false;
            }
        }
    } else if (std::count(rest.begin(), rest.end(), ':') > 1) {
        // A bare IPv6 address: no port can follow it.
        if (!is_ipv6(rest)) {
            error = "\"" + rest + "\" is not an IPv6 address (give a port as [ADDRESS]:PORT)";
            return false;
        }
        out.host = rest;
    } else {
        const size_t colon = rest.find(':');
        out.host = rest.substr(0, colon);
        if (colon != std::string::npos && !parse_port(rest.substr(colon + 1), out.port)) {
            error = "\"" + rest.substr(colon + 1) + "\" is not a port number (1 ... 65535)";
            return false;
        }
        if (!valid_name(out.host)) {
            error = "\"" + out.host + "\" is not a host name, address or alias (letters, digits, '.', '-', '_')";
            return false;
        }
    }
    target = out;
    return true;
}

std::string QN_ssh_target_text(const QN_ssh_target& target) {
    std::string text = target.user.empty() ? std::string() : target.user + "@";
    const bool v6 = target.host.find(':') != std::string::npos;
    if (target.port > 0)
        text += host_port(target.host, target.port);
    else
        text += v6 ? "[" + target.host + "]" : target.host;
    return text;
}

std::string QN_ssh_fingerprint(const unsigned char* key, size_t length) {
    Sha256 sha;
    sha.update(key, length);
    unsigned char digest[32];
    sha.finish(digest);
    return "SHA256:" + base64_unpadded(digest, sizeof digest);
}

bool QN_check_dir(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return true;
    const std::filesystem::path dir = path.substr(0, slash);
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    return std::filesystem::is_directory(dir, ec);
}

// ---- The one session of a user action --------------------------------------

QN_ssh_session QN_global_session;

int QN_init_ssh(const QN_ssh_options& options) { return QN_global_session.open(options); }

int QN_ssh_exec(const std::string& command, int* exit_status) { return QN_global_session.exec(command, exit_status); }

int QN_ssh_upload(const std::string& local, const std::string& remote) {
    return QN_global_session.upload(local, remote);
}

int QN_ssh_download(const std::string& remote, const std::string& local) {
    return QN_global_session.download(remote, local, QN_existing::overwrite);
}

int QN_ssh_opendir(const std::string& remote_dir, std::vector<std::string>& names, std::vector<int>& is_dir) {
    names.clear();
    is_dir.clear();
    std::vector<QN_remote_entry> entries;
    if (QN_global_session.list(remote_dir, entries) != QN_SSH_OK) return -2;
    for (const auto& entry : entries) {
        names.push_back(entry.name);
        is_dir.push_back(entry.is_dir ? 1 : 0);
    }
    return static_cast<int>(names.size());
}

void QN_ssh_shutdown() { QN_global_session.close(); }
