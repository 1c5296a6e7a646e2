// The connection to the compute server: one SSH session over TCP with
// password authentication (libssh2), remote commands on session channels,
// SFTP upload, download and folder listing.
//
// Every function returns a code and leaves the reason in message(); nothing
// here opens a dialog, ends the program or prints the password. Every step
// (connect, handshake, authentication, each read and write of a channel or a
// transfer) has a deadline of options.timeout seconds without progress, so a
// server that stops answering makes the call fail instead of hanging.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Results. Open: QN_SSH_OK, or one of the negative codes. Transfers: QN_SSH_OK,
// QN_SSH_LOCAL_FAILED for a local file that cannot be read or written,
// QN_SSH_FAILED for a remote or channel failure (size mismatch included).
constexpr int QN_SSH_OK = 1;
constexpr int QN_SSH_FAILED = -1;           // connection, handshake, channel, SFTP, transfer
constexpr int QN_SSH_AUTH_REFUSED = -2;     // password refused, or an empty password
constexpr int QN_SSH_HOSTKEY_UNKNOWN = -3;  // key not in the known hosts and not accepted
constexpr int QN_SSH_HOSTKEY_CHANGED = -4;  // key differs from the known one: refused
constexpr int QN_SSH_TIMEOUT = -5;          // a step passed its deadline
constexpr int QN_SSH_LOCAL_FAILED = -6;     // a local file could not be opened, written or renamed
constexpr int QN_SSH_EXISTS = -7;           // a local file exists and the policy refuses to replace it

// The server's host key as shown to the user.
struct QN_ssh_hostkey {
    std::string host;             // "127.0.0.1", or "[127.0.0.1]:2222" for another port
    std::string type;             // "ssh-ed25519", "ecdsa-sha2-nistp256", "ssh-rsa", …
    std::string fingerprint;      // "SHA256:" + unpadded base64, as OpenSSH prints it
    std::string old_fingerprint;  // the known key's fingerprint when the key changed
};

struct QN_ssh_options {
    std::string host;  // a dotted IPv4 address
    int port = 22;
    std::string user;
    std::string password;  // never written anywhere
    // The known-hosts file (OpenSSH format). Empty: $HOME/.ssh/known_hosts.
    std::string known_hosts;
    // A key the file does not know is accepted (and appended to the file)
    // when this is set or when confirm_new_host_key returns true.
    bool accept_new_host_key = false;
    std::function<bool(const QN_ssh_hostkey&)> confirm_new_host_key;
    double timeout = 30;  // seconds without progress before a step fails
};

// How a download treats a local file that already exists.
enum class QN_existing { refuse, overwrite, skip };

// One entry of a remote folder: directories and regular files only.
struct QN_remote_entry {
    std::string name;
    bool is_dir = false;
    uint64_t size = 0;
};

// Bytes done and total of a transfer (for a busy dialog); total is 0 when
// unknown.
using QN_ssh_progress = std::function<void(uint64_t done, uint64_t total)>;

class QN_ssh_session {
public:
    QN_ssh_session();
    ~QN_ssh_session();  // closes
    QN_ssh_session(const QN_ssh_session&) = delete;
    QN_ssh_session& operator=(const QN_ssh_session&) = delete;

    // Connects, checks the host key against the known hosts and
    // authenticates with the password. An empty password is refused before
    // connecting. A changed key is refused before any password is sent.
    // On failure the half-opened session is closed.
    int open(const QN_ssh_options& options);
    // Ends the SFTP subsystem, disconnects and closes the socket. Safe to
    // call again.
    void close();
    bool is_open() const;
    // Why the last call failed (never contains the password).
    const std::string& message() const;
    // The server's host key met by the last open (also after a refusal).
    const QN_ssh_hostkey& hostkey() const;

    // Runs one shell command and waits for its end. Its stderr is merged
    // into its stdout; the output is appended to *output when given.
    // QN_SSH_OK with the command's exit status in *exit_status (a command
    // killed by a signal gives 128 + signal number when known, else 255), or a
    // negative code when the channel failed or timed out.
    int exec(const std::string& command, int* exit_status, std::string* output = nullptr);

    // SFTP operations. The subsystem is started by the first of them and
    // kept until close(), so one action uses one SFTP session.
    // Creates a remote folder; QN_SSH_OK also when it exists as a folder.
    int mkdir(const std::string& remote);
    // 1 and the entry when remote exists, 0 when it does not, or negative.
    int stat(const std::string& remote, QN_remote_entry* entry);
    // Copies a local regular file to remote (created or truncated, mode
    // 0644) and checks the remote size equals the local one.
    int upload(const std::string& local, const std::string& remote, const QN_ssh_progress& progress = {});
    // Copies a remote regular file to local through a temporary name in the
    // same folder, renamed over local only when all bytes (the remote size)
    // arrived; missing local folders are created. An existing local file
    // follows `existing` (skip returns QN_SSH_OK and leaves it). Memory use
    // does not grow with the file size.
    int download(const std::string& remote, const std::string& local, QN_existing existing,
                 const QN_ssh_progress& progress = {});
    // Lists a remote folder: directories and regular files, without "." and
    // "..", symbolic links and devices; names of any length. QN_SSH_OK or
    // negative.
    int list(const std::string& remote_dir, std::vector<QN_remote_entry>& entries);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// ---- Names and commands ----------------------------------------------------

// The word in single quotes for a POSIX shell ('\'' for a quote inside).
// False for a text holding NUL or a line end (nothing is written to out).
bool QN_shell_quote(const std::string& word, std::string& out);
// True for a single remote file or folder name that may be joined below a
// local folder: not empty, not "." or "..", without '/', '\\', NUL.
bool QN_remote_name_ok(const std::string& name);
// True for a relative path of such names joined by '/' (no empty part).
bool QN_remote_path_ok(const std::string& path);
// Splits "A.B.C.D" or "A.B.C.D:PORT" (as a Server IP field holds it) into
// the address and the port (22 when none is given). False for anything else
// (host names, a port outside 1 … 65535).
bool QN_ssh_parse_host(const std::string& text, std::string& host, int& port);
// SHA-256 fingerprint of a raw key blob as OpenSSH prints it.
std::string QN_ssh_fingerprint(const unsigned char* key, size_t length);

// ---- The one session of a user action --------------------------------------
// Forms open the session, use it and shut it down within one button press.
extern QN_ssh_session QN_global_session;
// QN_global_session.open(options): QN_SSH_OK (1) or a negative code.
int QN_init_ssh(const QN_ssh_options& options);
// Runs a command; the exit status goes to *exit_status. QN_SSH_OK or negative.
int QN_ssh_exec(const std::string& command, int* exit_status);
int QN_ssh_upload(const std::string& local, const std::string& remote);
// Replaces an existing local file (the caller asked first).
int QN_ssh_download(const std::string& remote, const std::string& local);
// Number of entries (names and directory flags, in the server's order), or
// -2 when the folder cannot be listed.
int QN_ssh_opendir(const std::string& remote_dir, std::vector<std::string>& names, std::vector<int>& is_dir);
void QN_ssh_shutdown();
// Creates every folder named by a prefix of path ending before a '/';
// false when one cannot be created (an existing folder is fine).
bool QN_check_dir(const std::string& path);
