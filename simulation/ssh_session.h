// The connection to the compute server, through the system's OpenSSH client:
// `ssh` reads the user's SSH configuration (Host aliases, HostName, User,
// Port, IdentityFile, ProxyJump, certificates, agents, hardware keys) as a
// terminal does, and one control master per server carries every command,
// transfer and listing, of the window and of quelm-batch alike, for
// control_persist seconds after its last use.
//
// Remote commands run as `ssh` clients of the master; transfers and listings
// speak SFTP to one `sftp-server` per session, also over the master. A secret
// the server or ssh asks for (password, key passphrase, one-time code) comes
// through SSH_ASKPASS, which points at the running program itself: the
// question travels over a Unix socket in the private control folder to the
// session, which answers from the options (password, passphrase) or the ask
// callback. A secret never appears in an argument list, an environment, a
// file, a log or a message.
//
// Every function returns a code and leaves the reason in message(); nothing
// here opens a dialog, ends the program or prints a secret. Every step has a
// deadline of options.timeout seconds without progress; a child that stays
// silent past it is killed, and every child is reaped.
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
constexpr int QN_SSH_FAILED = -1;           // connection, ssh, SFTP, transfer
constexpr int QN_SSH_AUTH_REFUSED = -2;     // the server accepted none of the credentials
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

// What a question of the server (or of ssh) asks for.
enum class QN_ssh_secret {
    password,    // "user@host's password: ", or a keyboard-interactive "Password:"
    passphrase,  // "Enter passphrase for key '…': " (used locally, never sent)
    code,        // any other keyboard-interactive question: a one-time code, a PIN …
};

struct QN_ssh_prompt {
    QN_ssh_secret kind = QN_ssh_secret::code;
    std::string text;  // the question as ssh words it, e.g. "(alice@hpc) Verification code: "
};

// A server as the user names it: "alias", "host.name", "10.1.2.3",
// "[2001:db8::1]", each optionally as "user@…" and "…:PORT" (an IPv6 address
// with a port only in brackets; a bare IPv6 address has no port).
struct QN_ssh_target {
    std::string user;  // empty when not given
    std::string host;  // without brackets
    int port = 0;      // 0 when not given
};
// Parses and checks such a text (blanks around it are ignored). False with
// the reason in error for anything else: names with blanks, quotes, '%' or
// a leading '-', ports outside 1 … 65535, unbalanced brackets.
bool QN_ssh_parse_target(const std::string& text, QN_ssh_target& target, std::string& error);
// "user@host:port" again ("[v6]:port"); parts that are not given are left out.
std::string QN_ssh_target_text(const QN_ssh_target& target);

struct QN_ssh_options {
    // The server as QN_ssh_parse_target reads it (a Host alias of
    // the SSH configuration, a host name, an IPv4 or bracketed IPv6 address,
    // with optional user@ and :port).
    std::string host;
    int port = 0;      // > 0: overrides the port in host and the configuration's
    std::string user;  // not empty: overrides the user in host and the configuration's
    // Answers a password question (also a keyboard-interactive "Password:")
    // and, when passphrase is empty, a key's passphrase question. Each
    // question is answered from it once; never written anywhere.
    std::string password;
    std::string passphrase;  // answers a key's passphrase question
    std::string identity;    // a private key file (IdentityFile), tried before the others
    std::string jump;        // jump hosts, "[user@]host[:port]" separated by commas (ProxyJump)
    // The SSH configuration file. Empty: $HOME/.ssh/config, then
    // /etc/ssh/ssh_config, as ssh reads them.
    std::string ssh_config;
    // The known-hosts file (OpenSSH format). Empty: $HOME/.ssh/known_hosts
    // (or what the SSH configuration names).
    std::string known_hosts;
    // A key the file does not know is trusted (and recorded in the file)
    // when this is set or when confirm_new_host_key returns true. A changed
    // key is always refused.
    bool accept_new_host_key = false;
    std::function<bool(const QN_ssh_hostkey&)> confirm_new_host_key;
    // Questions no option answers (one-time codes, a password asked again,
    // a passphrase without passphrase or password): true with the answer, or
    // false to decline. The window shows the prompt text in a dialog,
    // quelm-batch asks on its terminal without echo.
    std::function<bool(const QN_ssh_prompt&, std::string& answer)> ask;
    // Seconds without progress before a step fails; also ssh's
    // ConnectTimeout, and ServerAliveInterval × ServerAliveCountMax (3).
    double timeout = 30;
    // Seconds the control master stays after its last client (1 … 86400).
    int control_persist = 600;
    // The private folder of the control sockets. Empty:
    // $XDG_RUNTIME_DIR/quelm-ssh, else $HOME/.cache/quelm/ssh.
    std::string control_dir;
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

// One file of an upload batch and what became of it.
struct QN_upload_item {
    std::string local, remote;
    int result = 0;  // QN_SSH_OK or negative after upload_all
    std::string error;
};

class QN_ssh_session {
public:
    QN_ssh_session();
    ~QN_ssh_session();  // closes
    QN_ssh_session(const QN_ssh_session&) = delete;
    QN_ssh_session& operator=(const QN_ssh_session&) = delete;

    // Reaches the server's control master, starting and authenticating it
    // when there is none (a running master is used as it is: nothing is asked
    // again). The host key is checked against the known hosts first; a
    // changed key is refused before any credential is sent. Without any
    // source of secrets (no password, passphrase or callbacks) ssh runs in
    // batch mode: keys and agents only, nothing waits for an answer. On
    // failure nothing is left open.
    int open(const QN_ssh_options& options);
    // Ends this session's SFTP server and forgets the connection; the control
    // master stays for control_persist seconds. Safe to call again.
    void close();
    // close(), then ends the control master (the next open authenticates
    // again). QN_SSH_OK, also when there was none.
    int disconnect();
    bool is_open() const;
    // Why the last call failed (never contains a secret).
    const std::string& message() const;
    // The server's host key met by the last open: filled when the master was
    // started by it (also after a refusal), empty when a master was reused.
    const QN_ssh_hostkey& hostkey() const;

    // Runs one shell command (POSIX shell syntax) and waits for its end. Its
    // stderr is merged into its stdout; the output is appended to *output
    // when given. QN_SSH_OK with the command's exit status in *exit_status (a
    // command killed by a signal gives 128 + signal number), or a negative
    // code when the connection failed or the command stayed silent past the
    // deadline.
    int exec(const std::string& command, int* exit_status, std::string* output = nullptr);

    // SFTP operations. The SFTP server is started by the first of them and
    // kept until close(), so one action uses one SFTP session.
    // Creates a remote folder; QN_SSH_OK also when it exists as a folder.
    int mkdir(const std::string& remote);
    // Creates several folders as mkdir does, their requests sent together;
    // errors[k] is empty when folder k exists as a folder afterwards.
    // QN_SSH_OK when all do, else the first failure's code.
    int mkdir_all(const std::vector<std::string>& remotes, std::vector<std::string>& errors);
    // 1 and the entry when remote exists, 0 when it does not, or negative.
    int stat(const std::string& remote, QN_remote_entry* entry);
    // Copies a local regular file to remote (mode 0644, replacing a file
    // there) through a temporary name in the remote folder, renamed over
    // remote only when the remote size equals the local one.
    int upload(const std::string& local, const std::string& remote, const QN_ssh_progress& progress = {});
    // Uploads several files as upload() does, with their requests sent
    // together so that many small files cost a few round trips. Each item gets
    // its result; QN_SSH_OK when all succeeded, else the first failure's code.
    int upload_all(std::vector<QN_upload_item>& items);
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
    int upload_batch(std::vector<QN_upload_item>& items, const std::function<void(uint64_t)>& acked);
    friend int QN_ssh_disconnect(const QN_ssh_options&, std::string&);
    friend int QN_ssh_master_pid(const QN_ssh_options&);
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Ends the control master of the server options name (quelm-batch
// disconnect). QN_SSH_OK when one was running and has ended, 0 when there was
// none, negative when the options are unusable; message says which.
int QN_ssh_disconnect(const QN_ssh_options& options, std::string& message);
// The process id of the server's running control master, or 0.
int QN_ssh_master_pid(const QN_ssh_options& options);

// ---- Names and commands ----------------------------------------------------

// The word in single quotes for a POSIX shell ('\'' for a quote inside).
// False for a text holding NUL or a line end (nothing is written to out).
bool QN_shell_quote(const std::string& word, std::string& out);
// True for a single remote file or folder name that may be joined below a
// local folder: not empty, not "." or "..", without '/', '\\', NUL.
bool QN_remote_name_ok(const std::string& name);
// True for a relative path of such names joined by '/' (no empty part).
bool QN_remote_path_ok(const std::string& path);
// True when path's folder, with the symbolic links of its existing folders
// resolved, lies inside folder (a canonical path): a link planted in a save
// folder cannot send a downloaded file elsewhere.
bool QN_local_path_inside(const std::string& folder, const std::string& path);
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
