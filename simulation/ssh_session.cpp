// The SSH session over a non-blocking POSIX socket: every libssh2 call that
// answers EAGAIN waits with poll() on the socket in the direction libssh2 is
// blocked on, until the step's deadline (options.timeout seconds without
// progress) passes.
#include "simulation/ssh_session.h"

#include <libssh2.h>
#include <libssh2_sftp.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kUploadChunk = 256 * 1024;
constexpr size_t kDownloadChunk = 1024 * 1024;
constexpr uint64_t kProgressStep = 1024 * 1024;

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

// libssh2_init once per process.
bool library_ready() {
    static const int rc = libssh2_init(0);
    return rc == 0;
}

const char* key_type_name(int type) {
    switch (type) {
    case LIBSSH2_HOSTKEY_TYPE_RSA: return "ssh-rsa";
    case LIBSSH2_HOSTKEY_TYPE_DSS: return "ssh-dss";
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_256: return "ecdsa-sha2-nistp256";
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_384: return "ecdsa-sha2-nistp384";
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_521: return "ecdsa-sha2-nistp521";
    case LIBSSH2_HOSTKEY_TYPE_ED25519: return "ssh-ed25519";
    default: return "unknown";
    }
}

int known_host_key_bit(int type) {
    switch (type) {
    case LIBSSH2_HOSTKEY_TYPE_RSA: return LIBSSH2_KNOWNHOST_KEY_SSHRSA;
    case LIBSSH2_HOSTKEY_TYPE_DSS: return LIBSSH2_KNOWNHOST_KEY_SSHDSS;
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_256: return LIBSSH2_KNOWNHOST_KEY_ECDSA_256;
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_384: return LIBSSH2_KNOWNHOST_KEY_ECDSA_384;
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_521: return LIBSSH2_KNOWNHOST_KEY_ECDSA_521;
    case LIBSSH2_HOSTKEY_TYPE_ED25519: return LIBSSH2_KNOWNHOST_KEY_ED25519;
    default: return 0;
    }
}

int signal_number(const std::string& name) {
    static const struct {
        const char* name;
        int number;
    } table[] = {{"HUP", 1}, {"INT", 2}, {"KILL", 9}, {"TERM", 15}, {"SEGV", 11}, {"ABRT", 6}, {"PIPE", 13}};
    std::string n = name;
    if (n.rfind("SIG", 0) == 0) n.erase(0, 3);
    for (const auto& entry : table)
        if (n == entry.name) return entry.number;
    return -1;
}

const char* sftp_status_text(unsigned long code) {
    switch (code) {
    case LIBSSH2_FX_EOF: return "end of file";
    case LIBSSH2_FX_NO_SUCH_FILE: return "no such file";
    case LIBSSH2_FX_PERMISSION_DENIED: return "permission denied";
    case LIBSSH2_FX_FAILURE: return "failure";
    case LIBSSH2_FX_BAD_MESSAGE: return "bad message";
    case LIBSSH2_FX_NO_CONNECTION: return "no connection";
    case LIBSSH2_FX_CONNECTION_LOST: return "connection lost";
    case LIBSSH2_FX_OP_UNSUPPORTED: return "operation not supported";
    case LIBSSH2_FX_INVALID_HANDLE: return "invalid handle";
    case LIBSSH2_FX_NO_SUCH_PATH: return "no such path";
    case LIBSSH2_FX_FILE_ALREADY_EXISTS: return "file already exists";
    case LIBSSH2_FX_WRITE_PROTECT: return "write protected";
    case LIBSSH2_FX_NO_SPACE_ON_FILESYSTEM: return "no space left on the file system";
    case LIBSSH2_FX_QUOTA_EXCEEDED: return "quota exceeded";
    case LIBSSH2_FX_NOT_A_DIRECTORY: return "not a folder";
    case LIBSSH2_FX_INVALID_FILENAME: return "invalid file name";
    default: return "SFTP error";
    }
}

// Errors after which the connection cannot be used any more.
bool connection_lost(long rc) {
    return rc == LIBSSH2_ERROR_SOCKET_SEND || rc == LIBSSH2_ERROR_SOCKET_RECV ||
           rc == LIBSSH2_ERROR_SOCKET_DISCONNECT || rc == LIBSSH2_ERROR_SOCKET_TIMEOUT ||
           rc == LIBSSH2_ERROR_TIMEOUT || rc == LIBSSH2_ERROR_BAD_SOCKET || rc == LIBSSH2_ERROR_DECRYPT ||
           rc == LIBSSH2_ERROR_PROTO;
}

std::string errno_text(int err) { return std::strerror(err); }

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

ssize_t read_some(int fd, char* data, size_t length) {
    for (;;) {
        const ssize_t n = ::read(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
}

std::string base_name(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Creates the missing folders of `dir` with `mode`.
bool make_folders(const std::string& dir, mode_t mode) {
    if (dir.empty()) return true;
    size_t pos = 0;
    for (;;) {
        pos = dir.find('/', pos + 1);
        const std::string prefix = dir.substr(0, pos);
        if (!prefix.empty()) {
            struct stat st;
            if (::stat(prefix.c_str(), &st) != 0) {
                if (::mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST) return false;
            } else if (!S_ISDIR(st.st_mode)) {
                return false;
            }
        }
        if (pos == std::string::npos) return true;
    }
}

}  // namespace

// ---- The session --------------------------------------------------------------

struct QN_ssh_session::Impl {
    int fd = -1;
    LIBSSH2_SESSION* session = nullptr;
    LIBSSH2_SFTP* sftp = nullptr;
    bool authenticated = false;
    double timeout = 30;
    std::string message;
    QN_ssh_hostkey hostkey;

    Clock::time_point deadline() const {
        return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout));
    }

    int fail(int code, std::string text) {
        message = std::move(text);
        return code;
    }

    std::string lib_error() const {
        if (!session) return "no session";
        char* text = nullptr;
        int length = 0;
        libssh2_session_last_error(session, &text, &length, 0);
        return text && length > 0 ? std::string(text, static_cast<size_t>(length)) : std::string("unknown error");
    }

    std::string sftp_error() const {
        if (session && sftp && libssh2_session_last_errno(session) == LIBSSH2_ERROR_SFTP_PROTOCOL)
            return sftp_status_text(libssh2_sftp_last_error(sftp));
        return lib_error();
    }

    bool sftp_status_is(unsigned long a, unsigned long b) const {
        if (!session || !sftp || libssh2_session_last_errno(session) != LIBSSH2_ERROR_SFTP_PROTOCOL) return false;
        const unsigned long code = libssh2_sftp_last_error(sftp);
        return code == a || code == b;
    }

    // Waits until the socket is ready for what libssh2 is blocked on.
    int wait(Clock::time_point until, const char* what) {
        for (;;) {
            const auto now = Clock::now();
            if (now >= until) return fail(QN_SSH_TIMEOUT, std::string("timed out waiting for ") + what);
            const int dirs = session ? libssh2_session_block_directions(session) : LIBSSH2_SESSION_BLOCK_INBOUND;
            short events = 0;
            if (dirs & LIBSSH2_SESSION_BLOCK_INBOUND) events |= POLLIN;
            if (dirs & LIBSSH2_SESSION_BLOCK_OUTBOUND) events |= POLLOUT;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1;
            if (events == 0) {
                // Nothing to wait for: try again shortly rather than spin.
                events = POLLIN;
                left = std::min<long long>(left, 5);
            }
            struct pollfd p = {fd, events, 0};
            const int r = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
            if (r < 0) {
                if (errno == EINTR) continue;
                return fail(QN_SSH_FAILED, "poll failed: " + errno_text(errno));
            }
            if (r > 0 || events == POLLIN) return QN_SSH_OK;
        }
    }

    // Repeats call() while libssh2 answers EAGAIN. QN_SSH_OK with the call's
    // result in rc, or QN_SSH_TIMEOUT when the deadline passed.
    template <class F>
    int retry(const char* what, F&& call, long& rc) {
        const auto until = deadline();
        for (;;) {
            rc = static_cast<long>(call());
            if (rc != LIBSSH2_ERROR_EAGAIN) return QN_SSH_OK;
            const int w = wait(until, what);
            if (w != QN_SSH_OK) return w;
        }
    }

    // Looks remote up: QN_SSH_OK with libssh2's result in rc and the
    // attributes, or the wait's failure.
    int stat_remote(const std::string& remote, LIBSSH2_SFTP_ATTRIBUTES& attrs, long& rc) {
        return retry("the server to look up a file",
                     [&] {
                         return libssh2_sftp_stat_ex(sftp, remote.data(), static_cast<unsigned int>(remote.size()),
                                                     LIBSSH2_SFTP_STAT, &attrs);
                     },
                     rc);
    }

    // The same for calls returning a pointer (null with EAGAIN as the
    // session's last error while they would block).
    template <class T, class F>
    int retry_ptr(const char* what, F&& call, T*& out) {
        const auto until = deadline();
        for (;;) {
            out = call();
            if (out) return QN_SSH_OK;
            if (libssh2_session_last_errno(session) != LIBSSH2_ERROR_EAGAIN) return QN_SSH_FAILED;
            const int w = wait(until, what);
            if (w != QN_SSH_OK) return w;
        }
    }

    // Ends everything; `polite` sends the SSH goodbyes, otherwise the socket
    // is shut first so that nothing waits on a dead or stuck connection.
    void teardown(bool polite) {
        const std::string keep = message;
        if (session) {
            if (!polite && fd >= 0) ::shutdown(fd, SHUT_RDWR);
            const double grace = polite ? std::min(timeout, 5.0) : 2.0;
            const auto until =
                Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(grace));
            auto repeat = [&](auto&& call) {
                for (int round = 0; round < 2; ++round) {
                    for (;;) {
                        const int rc = call();
                        if (rc != LIBSSH2_ERROR_EAGAIN) return rc;
                        if (wait(until, "the connection to close") != QN_SSH_OK) break;
                    }
                    // Still blocked: cut the connection and let the calls fail.
                    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
                }
                return static_cast<int>(LIBSSH2_ERROR_EAGAIN);
            };
            if (sftp) repeat([&] { return libssh2_sftp_shutdown(sftp); });
            sftp = nullptr;
            if (polite) repeat([&] { return libssh2_session_disconnect(session, "Closed by the client"); });
            repeat([&] { return libssh2_session_free(session); });
            session = nullptr;
        }
        if (fd >= 0) ::close(fd);
        fd = -1;
        authenticated = false;
        message = keep;
    }

    // Opens a remote file or folder. QN_SSH_OK with the handle, or the
    // failure ("FAILURE: the server's reason"); a timeout or a broken
    // connection closes the session.
    int open_remote(const std::string& remote, unsigned long flags, long mode, int type, const char* what,
                    const std::string& failure, LIBSSH2_SFTP_HANDLE*& handle) {
        int r = retry_ptr(what,
                          [&] {
                              return libssh2_sftp_open_ex(sftp, remote.data(),
                                                          static_cast<unsigned int>(remote.size()), flags, mode, type);
                          },
                          handle);
        if (r == QN_SSH_TIMEOUT) return lost(r);
        if (r != QN_SSH_OK) {
            const long err = libssh2_session_last_errno(session);
            r = fail(QN_SSH_FAILED, failure + ": " + sftp_error());
            return connection_lost(err) ? lost(r) : r;
        }
        return QN_SSH_OK;
    }

    // A step failed in a way that leaves the connection unusable.
    int lost(int code) {
        teardown(false);
        return code;
    }

    int ready() {
        if (!session || !authenticated) return fail(QN_SSH_FAILED, "Not connected to the server.");
        return QN_SSH_OK;
    }

    int sftp_ready() {
        int r = ready();
        if (r != QN_SSH_OK) return r;
        if (sftp) return QN_SSH_OK;
        r = retry_ptr("the SFTP subsystem to start", [&] { return libssh2_sftp_init(session); }, sftp);
        if (r == QN_SSH_TIMEOUT) return lost(r);
        if (r != QN_SSH_OK) {
            const long rc = libssh2_session_last_errno(session);
            r = fail(QN_SSH_FAILED, "Cannot start SFTP on the server: " + lib_error());
            if (connection_lost(rc)) return lost(r);
            return r;
        }
        return QN_SSH_OK;
    }

    // The connection broke with an SFTP handle open: cut the socket so
    // that closing the handle fails at once (libssh2 frees it then), and
    // end the session.
    void drop_handle(LIBSSH2_SFTP_HANDLE* handle) {
        if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
        for (int i = 0; i < 100 && libssh2_sftp_close_handle(handle) == LIBSSH2_ERROR_EAGAIN; ++i) {
        }
        teardown(false);
    }

    // Closes an SFTP handle; false when the connection broke on the way.
    bool close_handle(LIBSSH2_SFTP_HANDLE* handle) {
        long rc = 0;
        const int r = retry("the server to close a file", [&] { return libssh2_sftp_close_handle(handle); }, rc);
        return r == QN_SSH_OK && !connection_lost(rc);
    }

    int connect_socket(const in_addr& address, int port, const std::string& where) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) return fail(QN_SSH_FAILED, "Cannot create a socket: " + errno_text(errno));
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(port));
        sa.sin_addr = address;
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) return QN_SSH_OK;
        if (errno != EINPROGRESS)
            return fail(QN_SSH_FAILED, "Cannot connect to " + where + ": " + errno_text(errno));
        const auto until = deadline();
        for (;;) {
            const auto now = Clock::now();
            if (now >= until) return fail(QN_SSH_TIMEOUT, "timed out connecting to " + where);
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1;
            struct pollfd p = {fd, POLLOUT, 0};
            const int r = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) return fail(QN_SSH_FAILED, "poll failed: " + errno_text(errno));
            if (r > 0) break;
        }
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
        if (err != 0) return fail(QN_SSH_FAILED, "Cannot connect to " + where + ": " + errno_text(err));
        return QN_SSH_OK;
    }

    // Waits for the first bytes of the server (its SSH banner).
    int wait_banner() {
        const auto until = deadline();
        for (;;) {
            const auto now = Clock::now();
            if (now >= until) return fail(QN_SSH_TIMEOUT, "timed out waiting for the server's SSH banner");
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1;
            struct pollfd p = {fd, POLLIN, 0};
            const int r = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) return fail(QN_SSH_FAILED, "poll failed: " + errno_text(errno));
            if (r > 0) return QN_SSH_OK;
        }
    }

    std::string known_hosts_path(const QN_ssh_options& options) const {
        if (!options.known_hosts.empty()) return options.known_hosts;
        const char* home = std::getenv("HOME");
        std::string dir = home && *home ? home : "";
        if (dir.empty()) {
            if (const passwd* pw = ::getpwuid(::getuid())) dir = pw->pw_dir ? pw->pw_dir : "";
        }
        if (dir.empty()) dir = ".";
        return dir + "/.ssh/known_hosts";
    }

    // Appends one line to the known-hosts file, creating its folder (0700).
    int append_known_host(const std::string& path, const std::string& line) {
        const size_t slash = path.find_last_of('/');
        if (slash != std::string::npos && slash > 0 && !make_folders(path.substr(0, slash), 0700))
            return fail(QN_SSH_LOCAL_FAILED, "Cannot create the folder of " + path + ": " + errno_text(errno));
        const int out = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        if (out < 0) return fail(QN_SSH_LOCAL_FAILED, "Cannot write " + path + ": " + errno_text(errno));
        std::string text = line;
        struct stat st;
        if (::fstat(out, &st) == 0 && st.st_size > 0) {
            char last = '\n';
            if (::pread(out, &last, 1, st.st_size - 1) == 1 && last != '\n') text.insert(text.begin(), '\n');
        }
        if (text.empty() || text.back() != '\n') text += '\n';
        const bool ok = write_all(out, text.data(), text.size());
        const int err = errno;
        if (::close(out) != 0 || !ok)
            return fail(QN_SSH_LOCAL_FAILED, "Cannot write " + path + ": " + errno_text(ok ? errno : err));
        return QN_SSH_OK;
    }

    int check_host_key(const QN_ssh_options& options, const std::string& address, int port) {
        size_t length = 0;
        int type = 0;
        const char* key = libssh2_session_hostkey(session, &length, &type);
        if (!key || length == 0) return fail(QN_SSH_FAILED, "The server sent no host key.");
        hostkey.host = port == 22 ? address : "[" + address + "]:" + std::to_string(port);
        hostkey.type = key_type_name(type);
        const char* hash = libssh2_hostkey_hash(session, LIBSSH2_HOSTKEY_HASH_SHA256);
        hostkey.fingerprint =
            hash ? "SHA256:" + base64_unpadded(reinterpret_cast<const unsigned char*>(hash), 32)
                 : QN_ssh_fingerprint(reinterpret_cast<const unsigned char*>(key), length);
        const int key_bit = known_host_key_bit(type);
        if (key_bit == 0) return fail(QN_SSH_FAILED, "The server's host key has a type this program cannot check.");

        const std::string path = known_hosts_path(options);
        std::unique_ptr<LIBSSH2_KNOWNHOSTS, void (*)(LIBSSH2_KNOWNHOSTS*)> hosts(libssh2_knownhost_init(session),
                                                                               libssh2_knownhost_free);
        if (!hosts) return fail(QN_SSH_FAILED, "Cannot check the host key: " + lib_error());
        struct stat st;
        if (::stat(path.c_str(), &st) == 0) {
            std::ifstream in(path);
            if (!in) return fail(QN_SSH_LOCAL_FAILED, "Cannot read the known hosts file " + path);
            std::string line;
            // Line by line, so that one line libssh2 cannot read (another
            // key type, say) does not hide the others.
            while (std::getline(in, line)) {
                if (line.empty()) continue;
                libssh2_knownhost_readline(hosts.get(), line.data(), line.size(), LIBSSH2_KNOWNHOST_FILE_OPENSSH);
            }
        }
        const int mask = LIBSSH2_KNOWNHOST_TYPE_PLAIN | LIBSSH2_KNOWNHOST_KEYENC_RAW | key_bit;
        struct libssh2_knownhost* known = nullptr;
        const int check = libssh2_knownhost_checkp(hosts.get(), address.c_str(), port, key, length, mask, &known);
        if (check == LIBSSH2_KNOWNHOST_CHECK_MATCH) return QN_SSH_OK;
        if (check == LIBSSH2_KNOWNHOST_CHECK_MISMATCH) {
            std::string blob;
            if (known && known->key && base64_decode(known->key, blob))
                hostkey.old_fingerprint =
                    QN_ssh_fingerprint(reinterpret_cast<const unsigned char*>(blob.data()), blob.size());
            return fail(QN_SSH_HOSTKEY_CHANGED,
                        "The host key of " + hostkey.host + " has changed: the known hosts file " + path +
                            " holds the key " + (hostkey.old_fingerprint.empty() ? "(unreadable)" : hostkey.old_fingerprint) +
                            ", the server now shows the " + hostkey.type + " key " + hostkey.fingerprint +
                            ". No password was sent. Someone may be intercepting the connection; if the server's key "
                            "was replaced on purpose, remove its old line from " + path + ".");
        }
        if (check != LIBSSH2_KNOWNHOST_CHECK_NOTFOUND)
            return fail(QN_SSH_FAILED, "Cannot check the host key against " + path + ": " + lib_error());

        const bool accepted =
            options.accept_new_host_key || (options.confirm_new_host_key && options.confirm_new_host_key(hostkey));
        if (!accepted)
            return fail(QN_SSH_HOSTKEY_UNKNOWN,
                        "The server " + hostkey.host + " is not in the known hosts file " + path + ". Its " +
                            hostkey.type + " key has the fingerprint " + hostkey.fingerprint +
                            ". Compare it with the one the server's administrator gives, then accept the new host "
                            "key to connect; it will be added to " + path + ".");
        struct libssh2_knownhost* added = nullptr;
        if (libssh2_knownhost_addc(hosts.get(), hostkey.host.c_str(), nullptr, key, length, nullptr, 0, mask,
                                   &added) != 0 ||
            !added)
            return fail(QN_SSH_FAILED, "Cannot record the host key: " + lib_error());
        std::vector<char> buffer(16384);
        size_t written = 0;
        if (libssh2_knownhost_writeline(hosts.get(), added, buffer.data(), buffer.size(), &written,
                                        LIBSSH2_KNOWNHOST_FILE_OPENSSH) != 0)
            return fail(QN_SSH_FAILED, "Cannot record the host key: " + lib_error());
        return append_known_host(path, std::string(buffer.data(), written));
    }
};

QN_ssh_session::QN_ssh_session() : impl_(new Impl) {}

QN_ssh_session::~QN_ssh_session() { close(); }

void QN_ssh_session::close() { impl_->teardown(impl_->session != nullptr && impl_->authenticated); }

bool QN_ssh_session::is_open() const { return impl_->session != nullptr && impl_->authenticated; }

const std::string& QN_ssh_session::message() const { return impl_->message; }

const QN_ssh_hostkey& QN_ssh_session::hostkey() const { return impl_->hostkey; }

int QN_ssh_session::open(const QN_ssh_options& options) {
    Impl& s = *impl_;
    close();
    s.message.clear();
    s.hostkey = QN_ssh_hostkey();
    s.timeout = options.timeout > 0 ? options.timeout : 30;
    if (options.password.empty())
        return s.fail(QN_SSH_AUTH_REFUSED, "No password given: the server was not contacted.");
    if (options.user.empty()) return s.fail(QN_SSH_FAILED, "No user name given.");
    in_addr address{};
    if (::inet_pton(AF_INET, options.host.c_str(), &address) != 1)
        return s.fail(QN_SSH_FAILED, "The server address \"" + options.host + "\" is not a dotted IPv4 address.");
    if (options.port < 1 || options.port > 65535)
        return s.fail(QN_SSH_FAILED, "The port " + std::to_string(options.port) + " is outside 1 to 65535.");
    if (!library_ready()) return s.fail(QN_SSH_FAILED, "The SSH library could not be initialised.");
    const std::string where = options.host + ":" + std::to_string(options.port);

    int r = s.connect_socket(address, options.port, where);
    if (r != QN_SSH_OK) return s.lost(r);
    s.session = libssh2_session_init();
    if (!s.session) return s.lost(s.fail(QN_SSH_FAILED, "Cannot create an SSH session."));
    libssh2_session_set_blocking(s.session, 0);

    r = s.wait_banner();
    if (r != QN_SSH_OK) return s.lost(r);
    long rc = 0;
    r = s.retry("the SSH key exchange with the server", [&] { return libssh2_session_handshake(s.session, s.fd); }, rc);
    if (r != QN_SSH_OK) return s.lost(r);
    if (rc != 0) return s.lost(s.fail(QN_SSH_FAILED, "The SSH handshake with " + where + " failed: " + s.lib_error()));

    r = s.check_host_key(options, options.host, options.port);
    if (r != QN_SSH_OK) return s.lost(r);

    r = s.retry("the server to check the password",
                [&] {
                    return libssh2_userauth_password_ex(s.session, options.user.data(),
                                                        static_cast<unsigned int>(options.user.size()),
                                                        options.password.data(),
                                                        static_cast<unsigned int>(options.password.size()), nullptr);
                },
                rc);
    if (r != QN_SSH_OK) return s.lost(r);
    if (rc == LIBSSH2_ERROR_AUTHENTICATION_FAILED || rc == LIBSSH2_ERROR_PASSWORD_EXPIRED ||
        rc == LIBSSH2_ERROR_METHOD_NOT_SUPPORTED)
        return s.lost(s.fail(QN_SSH_AUTH_REFUSED, "Authentication by password failed."));
    if (rc != 0) return s.lost(s.fail(QN_SSH_FAILED, "Authentication failed: " + s.lib_error()));
    s.authenticated = true;
    return QN_SSH_OK;
}

int QN_ssh_session::exec(const std::string& command, int* exit_status, std::string* output) {
    Impl& s = *impl_;
    if (exit_status) *exit_status = -1;
    int r = s.ready();
    if (r != QN_SSH_OK) return r;

    LIBSSH2_CHANNEL* channel = nullptr;
    r = s.retry_ptr("the server to open a channel", [&] { return libssh2_channel_open_session(s.session); }, channel);
    if (r == QN_SSH_TIMEOUT) return s.lost(r);
    if (r != QN_SSH_OK) {
        const long err = libssh2_session_last_errno(s.session);
        r = s.fail(QN_SSH_FAILED, "Cannot open a channel: " + s.lib_error());
        return connection_lost(err) ? s.lost(r) : r;
    }
    // Frees the channel on every way out; after a broken connection the
    // whole session goes.
    auto finish = [&](int code, bool broken) {
        if (!broken) {
            long rc = 0;
            if (s.retry("the server to free a channel", [&] { return libssh2_channel_free(channel); }, rc) !=
                QN_SSH_OK)
                broken = true;
        }
        if (broken) s.teardown(false);  // libssh2_session_free frees the channel
        return code;
    };

    long rc = 0;
    r = s.retry("the server to set up the channel",
                [&] { return libssh2_channel_handle_extended_data2(channel, LIBSSH2_CHANNEL_EXTENDED_DATA_MERGE); },
                rc);
    if (r != QN_SSH_OK) return finish(r, true);
    r = s.retry("the server to start the command",
                [&] {
                    return libssh2_channel_process_startup(channel, "exec", 4, command.data(),
                                                           static_cast<unsigned int>(command.size()));
                },
                rc);
    if (r != QN_SSH_OK) return finish(r, true);
    if (rc != 0) {
        const int code = s.fail(QN_SSH_FAILED, "The server did not start the command: " + s.lib_error());
        return finish(code, connection_lost(rc));
    }

    std::vector<char> buffer(64 * 1024);
    auto until = s.deadline();
    for (;;) {
        const ssize_t n = libssh2_channel_read(channel, buffer.data(), buffer.size());
        if (n > 0) {
            if (output) output->append(buffer.data(), static_cast<size_t>(n));
            until = s.deadline();
            continue;
        }
        if (n == 0 && libssh2_channel_eof(channel)) break;
        if (n == LIBSSH2_ERROR_EAGAIN || n == 0) {
            r = s.wait(until, "the command's output");
            if (r != QN_SSH_OK) return finish(r, true);
            continue;
        }
        const int code = s.fail(QN_SSH_FAILED, "Reading the command's output failed: " + s.lib_error());
        return finish(code, connection_lost(n));
    }
    r = s.retry("the server to close the channel", [&] { return libssh2_channel_close(channel); }, rc);
    if (r != QN_SSH_OK) return finish(r, true);
    if (rc != 0 && connection_lost(rc))
        return finish(s.fail(QN_SSH_FAILED, "The connection broke: " + s.lib_error()), true);
    r = s.retry("the command's channel to close", [&] { return libssh2_channel_wait_closed(channel); }, rc);
    if (r != QN_SSH_OK) return finish(r, true);
    if (rc != 0 && connection_lost(rc))
        return finish(s.fail(QN_SSH_FAILED, "The connection broke: " + s.lib_error()), true);

    int status = libssh2_channel_get_exit_status(channel);
    char* signal_name = nullptr;
    size_t signal_length = 0;
    char* error_text = nullptr;
    size_t error_length = 0;
    char* language = nullptr;
    size_t language_length = 0;
    libssh2_channel_get_exit_signal(channel, &signal_name, &signal_length, &error_text, &error_length, &language,
                                    &language_length);
    if (signal_name) {
        const int number = signal_number(std::string(signal_name, signal_length));
        status = number > 0 ? 128 + number : 255;
    }
    if (signal_name) libssh2_free(s.session, signal_name);
    if (error_text) libssh2_free(s.session, error_text);
    if (language) libssh2_free(s.session, language);
    if (exit_status) *exit_status = status;
    return finish(QN_SSH_OK, false);
}

int QN_ssh_session::mkdir(const std::string& remote) {
    Impl& s = *impl_;
    int r = s.sftp_ready();
    if (r != QN_SSH_OK) return r;
    long rc = 0;
    r = s.retry("the server to create a folder",
                [&] {
                    return libssh2_sftp_mkdir_ex(s.sftp, remote.data(), static_cast<unsigned int>(remote.size()),
                                                 0755);
                },
                rc);
    if (r != QN_SSH_OK) return s.lost(r);
    if (rc == 0) return QN_SSH_OK;
    if (connection_lost(rc)) return s.lost(s.fail(QN_SSH_FAILED, "The connection broke: " + s.lib_error()));
    const std::string why = s.sftp_error();
    QN_remote_entry entry;
    const int exists = stat(remote, &entry);
    if (exists == 1 && entry.is_dir) return QN_SSH_OK;
    if (exists < 0) return exists;
    if (exists == 1) return s.fail(QN_SSH_FAILED, "Cannot create the remote folder " + remote + ": a file has that name.");
    return s.fail(QN_SSH_FAILED, "Cannot create the remote folder " + remote + ": " + why);
}

int QN_ssh_session::stat(const std::string& remote, QN_remote_entry* entry) {
    Impl& s = *impl_;
    int r = s.sftp_ready();
    if (r != QN_SSH_OK) return r;
    LIBSSH2_SFTP_ATTRIBUTES attrs{};
    long rc = 0;
    r = s.stat_remote(remote, attrs, rc);
    if (r != QN_SSH_OK) return s.lost(r);
    if (rc != 0) {
        if (connection_lost(rc)) return s.lost(s.fail(QN_SSH_FAILED, "The connection broke: " + s.lib_error()));
        if (s.sftp_status_is(LIBSSH2_FX_NO_SUCH_FILE, LIBSSH2_FX_NO_SUCH_PATH)) return 0;
        return s.fail(QN_SSH_FAILED, "Cannot look up " + remote + " on the server: " + s.sftp_error());
    }
    if (entry) {
        entry->name = base_name(remote);
        entry->is_dir = (attrs.flags & LIBSSH2_SFTP_ATTR_PERMISSIONS) &&
                        (attrs.permissions & LIBSSH2_SFTP_S_IFMT) == LIBSSH2_SFTP_S_IFDIR;
        entry->size = (attrs.flags & LIBSSH2_SFTP_ATTR_SIZE) ? attrs.filesize : 0;
    }
    return 1;
}

int QN_ssh_session::upload(const std::string& local, const std::string& remote, const QN_ssh_progress& progress) {
    Impl& s = *impl_;
    int r = s.ready();
    if (r != QN_SSH_OK) return r;
    const int in = ::open(local.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return s.fail(QN_SSH_LOCAL_FAILED, "Cannot read " + local + ": " + errno_text(errno));
    struct InGuard {
        int fd;
        ~InGuard() { ::close(fd); }
    } in_guard{in};
    struct stat st;
    if (::fstat(in, &st) != 0) return s.fail(QN_SSH_LOCAL_FAILED, "Cannot read " + local + ": " + errno_text(errno));
    if (!S_ISREG(st.st_mode)) return s.fail(QN_SSH_LOCAL_FAILED, "Cannot upload " + local + ": not a regular file.");
    r = s.sftp_ready();
    if (r != QN_SSH_OK) return r;

    LIBSSH2_SFTP_HANDLE* handle = nullptr;
    r = s.open_remote(remote, LIBSSH2_FXF_WRITE | LIBSSH2_FXF_CREAT | LIBSSH2_FXF_TRUNC, 0644, LIBSSH2_SFTP_OPENFILE,
                      "the server to create a file", "Cannot create " + remote + " on the server", handle);
    if (r != QN_SSH_OK) return r;
    // On failure: close the remote file, or drop a broken connection.
    auto give_up = [&](int code, bool broken) {
        if (broken || !s.close_handle(handle)) s.drop_handle(handle);
        return code;
    };

    const uint64_t total = static_cast<uint64_t>(st.st_size);
    uint64_t sent = 0, reported = 0;
    if (progress) progress(0, total);
    std::vector<char> buffer(kUploadChunk);
    for (;;) {
        const ssize_t n = read_some(in, buffer.data(), buffer.size());
        if (n < 0) return give_up(s.fail(QN_SSH_LOCAL_FAILED, "Cannot read " + local + ": " + errno_text(errno)), false);
        if (n == 0) break;
        size_t done = 0;
        auto until = s.deadline();
        while (done < static_cast<size_t>(n)) {
            // After EAGAIN libssh2 wants the same data again; after a partial
            // write, the rest.
            const ssize_t w = libssh2_sftp_write(handle, buffer.data() + done, static_cast<size_t>(n) - done);
            if (w == LIBSSH2_ERROR_EAGAIN) {
                r = s.wait(until, "the server to take the uploaded data");
                if (r != QN_SSH_OK) return give_up(r, true);
                continue;
            }
            if (w < 0)
                return give_up(s.fail(QN_SSH_FAILED, std::string(connection_lost(w) ? "The connection broke while writing "
                                                                                       : "Writing ") +
                                                         remote + " on the server: " + s.sftp_error()),
                               connection_lost(w));
            done += static_cast<size_t>(w);
            sent += static_cast<uint64_t>(w);
            until = s.deadline();
            if (progress && sent - reported >= kProgressStep) {
                progress(sent, total);
                reported = sent;
            }
        }
    }
    LIBSSH2_SFTP_ATTRIBUTES attrs{};
    long rc = 0;
    r = s.retry("the server to report the uploaded size",
                [&] { return libssh2_sftp_fstat_ex(handle, &attrs, 0); }, rc);
    if (r != QN_SSH_OK) return give_up(r, true);
    if (rc != 0)
        return give_up(s.fail(QN_SSH_FAILED, "Cannot check the size of " + remote + ": " + s.sftp_error()),
                       connection_lost(rc));
    r = s.retry("the server to close the uploaded file", [&] { return libssh2_sftp_close_handle(handle); }, rc);
    if (r != QN_SSH_OK) return s.lost(r);
    if (rc != 0) {
        r = s.fail(QN_SSH_FAILED, "Closing " + remote + " on the server failed: " + s.sftp_error());
        return connection_lost(rc) ? s.lost(r) : r;
    }
    if (!(attrs.flags & LIBSSH2_SFTP_ATTR_SIZE) || attrs.filesize != sent)
        return s.fail(QN_SSH_FAILED, "The uploaded " + remote + " holds " + std::to_string(attrs.filesize) +
                                         " bytes instead of " + std::to_string(sent) + ".");
    if (progress && reported != sent) progress(sent, total);
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
    LIBSSH2_SFTP_ATTRIBUTES attrs{};
    long rc = 0;
    r = s.stat_remote(remote, attrs, rc);
    if (r != QN_SSH_OK) return s.lost(r);
    if (rc != 0) {
        r = s.fail(QN_SSH_FAILED, "Cannot download " + remote + ": " + s.sftp_error());
        return connection_lost(rc) ? s.lost(r) : r;
    }
    if (!(attrs.flags & LIBSSH2_SFTP_ATTR_PERMISSIONS) ||
        (attrs.permissions & LIBSSH2_SFTP_S_IFMT) != LIBSSH2_SFTP_S_IFREG || !(attrs.flags & LIBSSH2_SFTP_ATTR_SIZE))
        return s.fail(QN_SSH_FAILED, "Cannot download " + remote + ": not a regular file.");
    const uint64_t total = attrs.filesize;

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
    std::string name = base_name(local).substr(0, 200);
    std::string temp = (dir == "/" ? std::string() : dir) + "/." + name + ".partXXXXXX";
    const int out = ::mkostemp(&temp[0], O_CLOEXEC);
    if (out < 0) return s.fail(QN_SSH_LOCAL_FAILED, "Cannot create a file in " + dir + ": " + errno_text(errno));
    bool out_open = true;
    auto drop_temp = [&] {
        if (out_open) ::close(out);
        out_open = false;
        ::unlink(temp.c_str());
    };

    LIBSSH2_SFTP_HANDLE* handle = nullptr;
    r = s.open_remote(remote, LIBSSH2_FXF_READ, 0, LIBSSH2_SFTP_OPENFILE, "the server to open a file",
                      "Cannot open " + remote + " on the server", handle);
    if (r != QN_SSH_OK) {
        drop_temp();
        return r;
    }
    auto give_up = [&](int code, bool broken) {
        drop_temp();
        if (broken || !s.close_handle(handle)) s.drop_handle(handle);
        return code;
    };

    uint64_t got = 0, reported = 0;
    if (progress) progress(0, total);
    std::vector<char> buffer(kDownloadChunk);
    auto until = s.deadline();
    for (;;) {
        const ssize_t n = libssh2_sftp_read(handle, buffer.data(), buffer.size());
        if (n == LIBSSH2_ERROR_EAGAIN) {
            r = s.wait(until, "the downloaded data");
            if (r != QN_SSH_OK) return give_up(r, true);
            continue;
        }
        if (n < 0)
            return give_up(s.fail(QN_SSH_FAILED, std::string(connection_lost(n) ? "The connection broke while reading "
                                                                                   : "Reading ") +
                                                     remote + " from the server: " + s.sftp_error()),
                           connection_lost(n));
        if (n == 0) break;
        if (!write_all(out, buffer.data(), static_cast<size_t>(n)))
            return give_up(s.fail(QN_SSH_LOCAL_FAILED, "Cannot write " + temp + ": " + errno_text(errno)), false);
        got += static_cast<uint64_t>(n);
        until = s.deadline();
        if (got > total)
            return give_up(s.fail(QN_SSH_FAILED, remote + " grew while it was downloaded."), false);
        if (progress && got - reported >= kProgressStep) {
            progress(got, total);
            reported = got;
        }
    }
    r = s.retry("the server to close a file", [&] { return libssh2_sftp_close_handle(handle); }, rc);
    if (r != QN_SSH_OK) {
        drop_temp();
        return s.lost(r);
    }
    if (rc != 0 && connection_lost(rc)) {
        drop_temp();
        return s.lost(s.fail(QN_SSH_FAILED, "The connection broke: " + s.lib_error()));
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
    LIBSSH2_SFTP_HANDLE* handle = nullptr;
    r = s.open_remote(remote_dir, 0, 0, LIBSSH2_SFTP_OPENDIR, "the server to open a folder",
                      "Cannot list " + remote_dir + " on the server", handle);
    if (r != QN_SSH_OK) return r;
    auto give_up = [&](int code, bool broken) {
        entries.clear();
        if (broken || !s.close_handle(handle)) s.drop_handle(handle);
        return code;
    };
    // Large enough for any name a POSIX server has; a longer one makes
    // libssh2 answer BUFFER_TOO_SMALL, and the buffer grows.
    std::vector<char> name(4096);
    auto until = s.deadline();
    for (;;) {
        LIBSSH2_SFTP_ATTRIBUTES attrs{};
        const int n = libssh2_sftp_readdir_ex(handle, name.data(), name.size(), nullptr, 0, &attrs);
        if (n == LIBSSH2_ERROR_EAGAIN) {
            r = s.wait(until, "the folder listing");
            if (r != QN_SSH_OK) return give_up(r, true);
            continue;
        }
        if (n == LIBSSH2_ERROR_BUFFER_TOO_SMALL && name.size() < (1u << 20)) {
            name.resize(name.size() * 2);
            continue;
        }
        if (n < 0)
            return give_up(s.fail(QN_SSH_FAILED, "Listing " + remote_dir + " failed: " + s.sftp_error()),
                           connection_lost(n));
        if (n == 0) break;
        until = s.deadline();
        std::string entry_name(name.data(), static_cast<size_t>(n));
        if (entry_name == "." || entry_name == "..") continue;
        if (!(attrs.flags & LIBSSH2_SFTP_ATTR_PERMISSIONS)) continue;
        const unsigned long type = attrs.permissions & LIBSSH2_SFTP_S_IFMT;
        if (type != LIBSSH2_SFTP_S_IFDIR && type != LIBSSH2_SFTP_S_IFREG) continue;
        QN_remote_entry entry;
        entry.name = std::move(entry_name);
        entry.is_dir = type == LIBSSH2_SFTP_S_IFDIR;
        entry.size = (attrs.flags & LIBSSH2_SFTP_ATTR_SIZE) ? attrs.filesize : 0;
        entries.push_back(std::move(entry));
    }
    long rc = 0;
    r = s.retry("the server to close a folder", [&] { return libssh2_sftp_close_handle(handle); }, rc);
    if (r != QN_SSH_OK) return s.lost(r);
    if (rc != 0 && connection_lost(rc)) return s.lost(s.fail(QN_SSH_FAILED, "The connection broke: " + s.lib_error()));
    return QN_SSH_OK;
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

bool QN_ssh_parse_host(const std::string& text, std::string& host, int& port) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return false;
    const std::string t = text.substr(first, text.find_last_not_of(" \t") - first + 1);
    const size_t colon = t.find(':');
    const std::string address = t.substr(0, colon);
    int number = 22;
    if (colon != std::string::npos) {
        const std::string digits = t.substr(colon + 1);
        if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
            return false;
        number = std::stoi(digits);
        if (number < 1 || number > 65535) return false;
    }
    in_addr a{};
    if (::inet_pton(AF_INET, address.c_str(), &a) != 1) return false;
    host = address;
    port = number;
    return true;
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
