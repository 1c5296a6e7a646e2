// A real OpenSSH server for tests of the remote session: started on
// 127.0.0.1 (and ::1 when asked and possible) on a free port with its own
// ed25519 host key, a throwaway account with a random password, logging to a
// file; stopped (and the account removed) by stop() or the destructor. Needs
// root; start() says why not.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "simulation/ssh_session.h"

// XDG_RUNTIME_DIR pointed at a private folder (created) while alive, so that
// the control masters of the quelm-batch runs of a test stay among its files
// instead of the user's.
// The ids of every process now running (the entries of /proc).
std::vector<pid_t> all_pids();

class ScopedRuntimeDir {
public:
    explicit ScopedRuntimeDir(const std::string& dir) {
        std::filesystem::create_directories(dir);
        ::chmod(dir.c_str(), 0700);
        if (const char* old = std::getenv("XDG_RUNTIME_DIR")) {
            had_ = true;
            old_ = old;
        }
        setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    }
    ~ScopedRuntimeDir() {
        if (had_) setenv("XDG_RUNTIME_DIR", old_.c_str(), 1);
        else unsetenv("XDG_RUNTIME_DIR");
    }
    ScopedRuntimeDir(const ScopedRuntimeDir&) = delete;
    ScopedRuntimeDir& operator=(const ScopedRuntimeDir&) = delete;

private:
    bool had_ = false;
    std::string old_;
};

// What the server accepts. By default: passwords only, as the server of
// the first versions of this program.
struct TestSshdSetup {
    bool password = true;   // PasswordAuthentication
    bool pubkey = false;    // PubkeyAuthentication (keys in the account's authorized_keys)
    bool pam = false;       // UsePAM and KbdInteractiveAuthentication (PAM asks "Password:")
    std::string methods;    // AuthenticationMethods, e.g. "publickey,keyboard-interactive"
    bool ipv6 = false;      // also listen on ::1 when the machine has IPv6 loopback
    std::string log_level = "VERBOSE";
    // More lines of sshd_config ("SetEnv SLURM_CONF=…").
    std::vector<std::string> extra_config;
};

class TestSshd {
public:
    TestSshd() = default;
    ~TestSshd();
    TestSshd(const TestSshd&) = delete;
    TestSshd& operator=(const TestSshd&) = delete;

    // Creates the account, a scratch folder, the host key and the config,
    // and starts sshd; false with the reason (not root, no sshd …).
    bool start(std::string& why, const TestSshdSetup& setup = TestSshdSetup());
    // Stops sshd and removes the account, its home and the scratch folder.
    void stop();
    // Restarts sshd on the same port with a new host key (open connections
    // are cut first, as a reinstalled server would).
    bool restart_with_new_host_key(std::string& why);
    // Adds a public key line to the account's ~/.ssh/authorized_keys.
    bool authorize(const std::string& public_key_line);
    // Kills sshd's per-connection processes (cuts open sessions off).
    void kill_sessions();

    // Options for the account: host 127.0.0.1, the port, user, password,
    // known_hosts and a control folder of its own in the scratch folder,
    // timeout 10 s, the master kept 60 s.
    QN_ssh_options options() const;
    // A fresh control folder in the scratch folder (a session that does not
    // find the masters of earlier ones).
    std::string fresh_control_dir();

    int port = 0;
    std::string user, password;
    std::string home;         // the account's home folder
    std::string scratch;      // a private local folder for the test's files
    std::string known_hosts;  // scratch/known_hosts (absent at first)
    std::string log;          // sshd's log file (LogLevel VERBOSE)

    bool ipv6 = false;        // also listening on ::1

    // The log's text.
    std::string log_text() const;
    // The number of authentications the log records ("Accepted METHOD for USER").
    int accepted() const;
    // Runs a shell command as the account on this machine (no SSH), for
    // setting up or checking remote files; returns its exit status.
    int run_as_user(const std::string& command) const;

private:
    bool launch(std::string& why);
    int pid_ = 0;
    int control_dirs_ = 0;
    std::string config_, host_key_;
};
