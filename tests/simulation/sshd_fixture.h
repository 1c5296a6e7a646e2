// A real OpenSSH server for tests of the remote session: started on
// 127.0.0.1 on a free port with its own ed25519 host key, a throwaway account
// with a random password, logging to a file; stopped (and the account
// removed) by stop() or the destructor. Needs root; start() says why not.
#pragma once

#include <string>

#include "simulation/ssh_session.h"

class TestSshd {
public:
    TestSshd() = default;
    ~TestSshd();
    TestSshd(const TestSshd&) = delete;
    TestSshd& operator=(const TestSshd&) = delete;

    // Creates the account, a scratch folder, the host key and the config,
    // and starts sshd; false with the reason (not root, no sshd …).
    bool start(std::string& why);
    // Stops sshd and removes the account, its home and the scratch folder.
    void stop();
    // Restarts sshd on the same port with a new host key.
    bool restart_with_new_host_key(std::string& why);
    // Kills sshd's per-connection processes (cuts open sessions off).
    void kill_sessions();

    // Options for the account: host 127.0.0.1, the port, user, password,
    // known_hosts in the scratch folder, timeout 10 s.
    QN_ssh_options options() const;

    int port = 0;
    std::string user, password;
    std::string home;         // the account's home folder
    std::string scratch;      // a private local folder for the test's files
    std::string known_hosts;  // scratch/known_hosts (absent at first)
    std::string log;          // sshd's log file (LogLevel VERBOSE)

    // The log's text.
    std::string log_text() const;
    // Runs a shell command as the account on this machine (no SSH), for
    // setting up or checking remote files; returns its exit status.
    int run_as_user(const std::string& command) const;

private:
    bool launch(std::string& why);
    int pid_ = 0;
    std::string config_, host_key_;
};
