// The SSH session against a real OpenSSH server on loopback (one throwaway
// account and sshd per test case), and its pure helpers.
#include "simulation/ssh_session.h"
#include "sshd_fixture.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

namespace fs = std::filesystem;

namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary);
    out << data;
}

std::string random_bytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(gen() & 0xff);
    return s;
}

// Output of a shell command run here (the test's own tools, e.g. ssh-keygen).
std::string shell_output(const std::string& command) {
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        ::pclose(p);
    }
    return out;
}

std::string sh_word(const std::string& word) {
    std::string out;
    EXPECT_TRUE(QN_shell_quote(word, out)) << word;
    return out;
}

// The SHA256 field of `ssh-keygen -lf FILE`.
std::string keygen_fingerprint(const std::string& pub) {
    std::istringstream in(shell_output("/usr/bin/ssh-keygen -lf " + sh_word(pub)));
    std::string bits, fp;
    in >> bits >> fp;
    return fp;
}

std::string host_key_pub(const TestSshd& sshd) { return sshd.scratch + "/ssh_host_ed25519_key.pub"; }

// True when the known-hosts file has a key for the name (plain or hashed),
// as ssh-keygen finds it.
bool known_hosts_names(const std::string& file, const std::string& name) {
    return shell_output("/usr/bin/ssh-keygen -F " + sh_word(name) + " -f " + sh_word(file) + " 2>/dev/null")
               .find("found") != std::string::npos;
}

std::vector<std::string> files_in(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) names.push_back(e.path().filename().string());
    return names;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Each case gets its own sshd and account.
class SshServer : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!sshd.start(why)) GTEST_SKIP() << why;
    }
    QN_ssh_options trusting() const {
        QN_ssh_options o = sshd.options();
        o.accept_new_host_key = true;
        return o;
    }
    void connect(QN_ssh_session& session) {
        ASSERT_EQ(session.open(trusting()), QN_SSH_OK) << session.message();
    }
    TestSshd sshd;
};

// ---- Authentication -----------------------------------------------------------

using SshAuth = SshServer;

TEST_F(SshAuth, RightPasswordConnectsAsTheUser) {
    QN_ssh_session session;
    connect(session);
    EXPECT_TRUE(session.is_open());
    int status = -1;
    std::string out;
    ASSERT_EQ(session.exec("id -un", &status, &out), QN_SSH_OK) << session.message();
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, sshd.user + "\n");
    session.close();
    EXPECT_FALSE(session.is_open());
    session.close();  // a second close is harmless
    EXPECT_NE(session.exec("true", &status), QN_SSH_OK);
}

TEST_F(SshAuth, WrongPasswordRefusedThenRightOneWorksOnTheSameObject) {
    QN_ssh_session session;
    QN_ssh_options o = trusting();
    o.password += "x";
    EXPECT_EQ(session.open(o), QN_SSH_AUTH_REFUSED);
    EXPECT_EQ(session.message(), "Authentication by password failed.");
    EXPECT_FALSE(session.is_open());
    EXPECT_EQ(session.message().find(o.password), std::string::npos);
    EXPECT_NE(sshd.log_text().find("Failed password for " + sshd.user), std::string::npos);
    EXPECT_EQ(session.open(trusting()), QN_SSH_OK) << session.message();
    EXPECT_TRUE(session.is_open());
}

TEST_F(SshAuth, WithoutAnySecretOnlyKeysAreTriedAndNoPasswordIsSent) {
    QN_ssh_session session;
    QN_ssh_options o = trusting();
    o.password.clear();
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(session.open(o), QN_SSH_AUTH_REFUSED);
    EXPECT_LT(seconds_since(t0), 5.0) << "nothing waits for an answer";
    EXPECT_NE(session.message().find("(it accepts: password)"), std::string::npos) << session.message();
    EXPECT_NE(session.message().find("No password was given"), std::string::npos) << session.message();
    EXPECT_FALSE(session.is_open());
    const std::string log = sshd.log_text();
    EXPECT_NE(log.find("Connection from 127.0.0.1"), std::string::npos) << log;
    EXPECT_EQ(log.find("Failed password"), std::string::npos) << log;
    EXPECT_EQ(sshd.accepted(), 0);
    connect(session);
    EXPECT_EQ(sshd.accepted(), 1);
}

// ---- Host keys ----------------------------------------------------------------

using SshHostKey = SshServer;

TEST_F(SshHostKey, UnknownKeyRefusedBeforeAnyPassword) {
    QN_ssh_session session;
    EXPECT_EQ(session.open(sshd.options()), QN_SSH_HOSTKEY_UNKNOWN);
    const std::string fp = keygen_fingerprint(host_key_pub(sshd));
    ASSERT_EQ(fp.rfind("SHA256:", 0), 0u) << fp;
    EXPECT_EQ(session.hostkey().fingerprint, fp);
    EXPECT_EQ(session.hostkey().type, "ssh-ed25519");
    EXPECT_EQ(session.hostkey().host, "[127.0.0.1]:" + std::to_string(sshd.port));
    EXPECT_NE(session.message().find(fp), std::string::npos) << session.message();
    EXPECT_NE(session.message().find("ssh-ed25519"), std::string::npos);
    EXPECT_NE(session.message().find("accept"), std::string::npos);
    EXPECT_FALSE(fs::exists(sshd.known_hosts));
    EXPECT_FALSE(session.is_open());
    const std::string log = sshd.log_text();
    EXPECT_EQ(log.find("Failed password"), std::string::npos) << log;
    EXPECT_EQ(log.find("Accepted password"), std::string::npos) << log;
    // The same log does record a password once it is sent.
    connect(session);
    EXPECT_NE(sshd.log_text().find("Accepted password for " + sshd.user), std::string::npos);
}

TEST_F(SshHostKey, AcceptedKeyIsAppendedAndKnownNextTime) {
    const std::string before = "# kept as it is\nother.example ssh-ed25519 "
                               "AAAAC3NzaC1lZDI1NTE5AAAAIKw+v4VxG0U+7jBd3fe4Yj7X0v3JQ3dXDeO9HqQu4Rz1";  // no line end
    write_file(sshd.known_hosts, before);
    QN_ssh_session session;
    connect(session);
    const std::string text = read_file(sshd.known_hosts);
    ASSERT_EQ(text.compare(0, before.size(), before), 0) << text;
    std::istringstream lines(text.substr(before.size()));
    std::string empty, line, extra;
    std::getline(lines, empty);  // the line end added after the old last line
    EXPECT_EQ(empty, "");
    std::getline(lines, line);
    EXPECT_FALSE(std::getline(lines, extra));
    // The key is the server's public key, under its name with the port
    // (hashed when the system's ssh configuration says so).
    std::istringstream fields(line);
    std::string names, type, blob;
    fields >> names >> type >> blob;
    std::istringstream pub(read_file(host_key_pub(sshd)));
    std::string pub_type, pub_blob;
    pub >> pub_type >> pub_blob;
    EXPECT_EQ(type + " " + blob, pub_type + " " + pub_blob) << line;
    EXPECT_TRUE(known_hosts_names(sshd.known_hosts, "[127.0.0.1]:" + std::to_string(sshd.port))) << line;
    session.close();

    // Known now: no acceptance needed, nothing appended.
    EXPECT_EQ(session.open(sshd.options()), QN_SSH_OK) << session.message();
    EXPECT_EQ(read_file(sshd.known_hosts), text);
}

TEST_F(SshHostKey, FileInMissingFolderIsCreated) {
    QN_ssh_session session;
    QN_ssh_options o = trusting();
    o.known_hosts = sshd.scratch + "/new/.ssh/known_hosts";
    ASSERT_EQ(session.open(o), QN_SSH_OK) << session.message();
    EXPECT_EQ(fs::status(sshd.scratch + "/new/.ssh").permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_TRUE(known_hosts_names(o.known_hosts, "[127.0.0.1]:" + std::to_string(sshd.port))) << read_file(o.known_hosts);
}

TEST_F(SshHostKey, ConfirmCallbackSeesTheFingerprint) {
    const std::string fp = keygen_fingerprint(host_key_pub(sshd));
    QN_ssh_session session;
    QN_ssh_options o = sshd.options();
    int calls = 0;
    QN_ssh_hostkey seen;
    o.confirm_new_host_key = [&](const QN_ssh_hostkey& key) {
        ++calls;
        seen = key;
        return false;
    };
    EXPECT_EQ(session.open(o), QN_SSH_HOSTKEY_UNKNOWN);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(seen.fingerprint, fp);
    EXPECT_EQ(seen.type, "ssh-ed25519");
    EXPECT_FALSE(fs::exists(sshd.known_hosts));

    o.confirm_new_host_key = [&](const QN_ssh_hostkey& key) {
        ++calls;
        return key.fingerprint == fp;
    };
    EXPECT_EQ(session.open(o), QN_SSH_OK) << session.message();
    EXPECT_EQ(calls, 2);
    EXPECT_TRUE(fs::exists(sshd.known_hosts));
}

TEST_F(SshHostKey, ChangedKeyRefusedBeforeAnyPassword) {
    const std::string old_fp = keygen_fingerprint(host_key_pub(sshd));
    {
        QN_ssh_session session;
        connect(session);
    }
    std::string why;
    ASSERT_TRUE(sshd.restart_with_new_host_key(why)) << why;
    const std::string new_fp = keygen_fingerprint(host_key_pub(sshd));
    ASSERT_NE(old_fp, new_fp);
    const std::string known = read_file(sshd.known_hosts);

    QN_ssh_session session;
    int asked = 0;
    QN_ssh_options o = trusting();  // even with acceptance of new keys
    o.confirm_new_host_key = [&](const QN_ssh_hostkey&) { return ++asked, true; };
    EXPECT_EQ(session.open(o), QN_SSH_HOSTKEY_CHANGED);
    EXPECT_EQ(asked, 0);
    EXPECT_NE(session.message().find(old_fp), std::string::npos) << session.message();
    EXPECT_NE(session.message().find(new_fp), std::string::npos) << session.message();
    EXPECT_EQ(session.hostkey().fingerprint, new_fp);
    EXPECT_EQ(session.hostkey().old_fingerprint, old_fp);
    EXPECT_EQ(read_file(sshd.known_hosts), known);
    const std::string log = sshd.log_text();  // only since the restart
    EXPECT_NE(log.find("Connection from 127.0.0.1"), std::string::npos) << log;
    EXPECT_EQ(log.find("password"), std::string::npos) << log;
}

// ---- Commands -----------------------------------------------------------------

using SshExec = SshServer;

TEST_F(SshExec, ExitStatusesAndMergedOutput) {
    QN_ssh_session session;
    connect(session);
    int status = -1;
    std::string out;
    ASSERT_EQ(session.exec("true", &status, &out), QN_SSH_OK) << session.message();
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, "");
    ASSERT_EQ(session.exec("echo x; exit 3", &status, &out), QN_SSH_OK) << session.message();
    EXPECT_EQ(status, 3);
    EXPECT_EQ(out, "x\n");
    out = "kept:";
    ASSERT_EQ(session.exec("echo out; echo err >&2; echo out2", &status, &out), QN_SSH_OK);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out.rfind("kept:", 0), 0u);
    for (const char* word : {"out\n", "err\n", "out2\n"}) EXPECT_NE(out.find(word), std::string::npos) << out;
    EXPECT_EQ(out.size(), std::string("kept:out\nerr\nout2\n").size());
    ASSERT_EQ(session.exec("exit 3", &status), QN_SSH_OK);  // no output wanted
    EXPECT_EQ(status, 3);
}

TEST_F(SshExec, NoisyStderrDoesNotStall) {
    QN_ssh_session session;
    connect(session);
    int status = -1;
    std::string out;
    ASSERT_EQ(session.exec("head -c 5000000 /dev/zero | tr '\\000' e >&2; echo done", &status, &out), QN_SSH_OK)
        << session.message();
    EXPECT_EQ(status, 0);
    // Both streams whole; stdout and stderr come through separate pipes on
    // the server, so "done" may arrive before the end of the noise.
    ASSERT_EQ(out.size(), 5000005u);
    const size_t done = out.find("done\n");
    ASSERT_NE(done, std::string::npos);
    out.erase(done, 5);
    EXPECT_EQ(out, std::string(5000000, 'e'));
}

TEST_F(SshExec, SignalsGive128PlusNumber) {
    QN_ssh_session session;
    connect(session);
    int status = -1;
    ASSERT_EQ(session.exec("kill -TERM $$", &status), QN_SSH_OK) << session.message();
    EXPECT_EQ(status, 143);
    ASSERT_EQ(session.exec("kill -KILL $$", &status), QN_SSH_OK) << session.message();
    EXPECT_EQ(status, 137);
    ASSERT_EQ(session.exec("kill -USR1 $$", &status), QN_SSH_OK) << session.message();
    EXPECT_EQ(status, 128 + SIGUSR1);
}

TEST_F(SshExec, ManyCommandsOnOneSession) {
    QN_ssh_session session;
    connect(session);
    for (int i = 0; i < 60; ++i) {
        int status = -1;
        std::string out;
        ASSERT_EQ(session.exec("echo " + std::to_string(i) + "; exit " + std::to_string(i % 5), &status, &out),
                  QN_SSH_OK)
            << i << ": " << session.message();
        EXPECT_EQ(status, i % 5);
        EXPECT_EQ(out, std::to_string(i) + "\n");
    }
}

TEST_F(SshExec, StalledServerTimesOut) {
    QN_ssh_session session;
    QN_ssh_options o = trusting();
    o.timeout = 2;
    ASSERT_EQ(session.open(o), QN_SSH_OK) << session.message();
    int status = -1;
    ASSERT_EQ(session.exec("true", &status), QN_SSH_OK);
    // Freeze the account's side of the connection (its sshd process runs as
    // the account): the next command gets no answer.
    ASSERT_EQ(sshd.run_as_user("kill -STOP -1; true"), 0);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(session.exec("true", &status), QN_SSH_TIMEOUT);
    const double took = seconds_since(t0);
    EXPECT_GE(took, 1.5);
    EXPECT_LE(took, 5.0);
    EXPECT_NE(session.message().find("timed out waiting for"), std::string::npos) << session.message();
    EXPECT_FALSE(session.is_open());
    sshd.kill_sessions();
}

// ---- Transfers ----------------------------------------------------------------

using SshTransfer = SshServer;

TEST_F(SshTransfer, RoundTripWithAwkwardNames) {
    QN_ssh_session session;
    connect(session);
    const std::string dir = sshd.home + "/run 1; it's \"here\"";
    ASSERT_EQ(session.mkdir(dir), QN_SSH_OK) << session.message();
    EXPECT_EQ(session.mkdir(dir), QN_SSH_OK) << "an existing folder is fine";
    const std::string data = random_bytes(3 * 1024 * 1024 + 17, 7);
    struct Case {
        std::string name, data;
    } cases[] = {{"a b's \"c\"; d.dat", data}, {"empty file", ""}};
    for (const auto& c : cases) {
        const std::string local = sshd.scratch + "/up " + c.name;
        write_file(local, c.data);
        const std::string remote = dir + "/" + c.name;
        std::vector<std::pair<uint64_t, uint64_t>> steps;
        ASSERT_EQ(session.upload(local, remote, [&](uint64_t d, uint64_t t) { steps.emplace_back(d, t); }), QN_SSH_OK)
            << session.message();
        ASSERT_FALSE(steps.empty());
        EXPECT_EQ(steps.back(), std::make_pair(uint64_t(c.data.size()), uint64_t(c.data.size())));
        if (!c.data.empty()) {
            EXPECT_LE(steps.size(), c.data.size() / (1 << 20) + 2);
        }
        // The file as the account sees it on the server.
        EXPECT_EQ(sshd.run_as_user("test -f " + sh_word(remote) + " && test \"$(stat -c %s " + sh_word(remote) +
                                   ")\" = " + std::to_string(c.data.size())),
                  0);
        EXPECT_EQ(sshd.run_as_user("cmp -s " + sh_word(remote) + " " + sh_word(local)), 0);
        QN_remote_entry entry;
        ASSERT_EQ(session.stat(remote, &entry), 1) << session.message();
        EXPECT_FALSE(entry.is_dir);
        EXPECT_EQ(entry.size, c.data.size());
        EXPECT_EQ(entry.name, c.name);

        const std::string back = sshd.scratch + "/down " + c.name;
        steps.clear();
        ASSERT_EQ(session.download(remote, back, QN_existing::refuse,
                                   [&](uint64_t d, uint64_t t) { steps.emplace_back(d, t); }),
                  QN_SSH_OK)
            << session.message();
        EXPECT_TRUE(read_file(back) == c.data) << c.name;
        ASSERT_FALSE(steps.empty());
        EXPECT_EQ(steps.back(), std::make_pair(uint64_t(c.data.size()), uint64_t(c.data.size())));
    }
    // Nothing but the final files in the local folder.
    std::set<std::string> names;
    for (const auto& n : files_in(sshd.scratch))
        if (n.rfind("down ", 0) == 0 || n[0] == '.') names.insert(n);
    EXPECT_EQ(names, (std::set<std::string>{"down a b's \"c\"; d.dat", "down empty file"}));
    // Upload replaces (truncates) an existing remote file.
    const std::string small = sshd.scratch + "/small";
    write_file(small, "12345");
    ASSERT_EQ(session.upload(small, dir + "/a b's \"c\"; d.dat"), QN_SSH_OK);
    QN_remote_entry entry;
    ASSERT_EQ(session.stat(dir + "/a b's \"c\"; d.dat", &entry), 1);
    EXPECT_EQ(entry.size, 5u);
}

TEST_F(SshTransfer, MkdirStatAndBadLocalFiles) {
    QN_ssh_session session;
    connect(session);
    ASSERT_EQ(sshd.run_as_user("echo hi > file"), 0);
    QN_remote_entry entry;
    EXPECT_EQ(session.stat(sshd.home + "/file", &entry), 1);
    EXPECT_EQ(entry.size, 3u);
    EXPECT_EQ(session.stat(sshd.home + "/missing", &entry), 0) << session.message();
    ASSERT_EQ(session.stat(sshd.home, &entry), 1);
    EXPECT_TRUE(entry.is_dir);
    EXPECT_NE(session.mkdir(sshd.home + "/file"), QN_SSH_OK) << "a file has the name";
    EXPECT_NE(session.mkdir(sshd.home + "/no/such/parent"), QN_SSH_OK);
    EXPECT_NE(session.mkdir("/root/forbidden"), QN_SSH_OK);
    EXPECT_EQ(session.upload(sshd.scratch + "/missing", sshd.home + "/x"), QN_SSH_LOCAL_FAILED);
    EXPECT_EQ(session.upload(sshd.scratch, sshd.home + "/x"), QN_SSH_LOCAL_FAILED);
    write_file(sshd.scratch + "/f", "f");
    EXPECT_EQ(session.upload(sshd.scratch + "/f", "/root/forbidden"), QN_SSH_FAILED);
    EXPECT_EQ(session.stat(sshd.home + "/x", &entry), 0);
    // The session is still usable after those refusals.
    int status = -1;
    EXPECT_EQ(session.exec("true", &status), QN_SSH_OK);
    EXPECT_EQ(status, 0);
}

TEST_F(SshTransfer, ManyFilesGoUpInOneBatchEachWithItsResult) {
    QN_ssh_session session;
    connect(session);
    const std::string dir = sshd.home + "/many";
    ASSERT_EQ(session.mkdir(dir), QN_SSH_OK) << session.message();
    std::vector<QN_upload_item> items;
    for (int i = 0; i < 150; ++i) {
        const std::string local = sshd.scratch + "/m" + std::to_string(i);
        write_file(local, std::string(static_cast<size_t>(i * 37), char('a' + i % 26)));
        items.push_back({local, dir + "/f" + std::to_string(i), 0, std::string()});
    }
    items[70].local = sshd.scratch + "/absent";         // cannot be read
    items[120].remote = sshd.home + "/nowhere/f";       // no such remote folder
    EXPECT_EQ(session.upload_all(items), QN_SSH_LOCAL_FAILED);
    for (int i = 0; i < 150; ++i) {
        if (i == 70 || i == 120) continue;
        EXPECT_EQ(items[i].result, QN_SSH_OK) << i << ": " << items[i].error;
    }
    EXPECT_EQ(items[70].result, QN_SSH_LOCAL_FAILED);
    EXPECT_NE(items[70].error.find("absent"), std::string::npos) << items[70].error;
    EXPECT_EQ(items[120].result, QN_SSH_FAILED);
    EXPECT_NE(items[120].error.find("nowhere"), std::string::npos) << items[120].error;
    std::vector<QN_remote_entry> entries;
    ASSERT_EQ(session.list(dir, entries), QN_SSH_OK);
    EXPECT_EQ(entries.size(), 148u) << "no temporary file left";
    for (const auto& e : entries) {
        const int i = std::atoi(e.name.c_str() + 1);
        EXPECT_EQ(e.size, static_cast<uint64_t>(i * 37)) << e.name;
    }
    EXPECT_EQ(sshd.run_as_user("cmp -s many/f149 " + sh_word(sshd.scratch + "/m149")), 0);
    EXPECT_TRUE(session.is_open());
}

TEST_F(SshTransfer, DownloadPolicies) {
    QN_ssh_session session;
    connect(session);
    ASSERT_EQ(sshd.run_as_user("printf new > f"), 0);
    const std::string remote = sshd.home + "/f";
    const std::string local = sshd.scratch + "/local";
    write_file(local, "old content");
    EXPECT_EQ(session.download(remote, local, QN_existing::refuse), QN_SSH_EXISTS);
    EXPECT_NE(session.message().find(local), std::string::npos);
    EXPECT_EQ(read_file(local), "old content");
    EXPECT_EQ(session.download(remote, local, QN_existing::skip), QN_SSH_OK) << session.message();
    EXPECT_EQ(read_file(local), "old content");
    EXPECT_EQ(session.download(remote, local, QN_existing::overwrite), QN_SSH_OK) << session.message();
    EXPECT_EQ(read_file(local), "new");

    // A missing remote file: failure, no local file, no temporary file.
    const std::string dir = sshd.scratch + "/d";
    fs::create_directory(dir);
    EXPECT_EQ(session.download(sshd.home + "/missing", dir + "/m", QN_existing::overwrite), QN_SSH_FAILED);
    EXPECT_TRUE(files_in(dir).empty());
    // A remote folder is not a file.
    EXPECT_EQ(session.download(sshd.home, dir + "/m", QN_existing::overwrite), QN_SSH_FAILED);
    EXPECT_TRUE(files_in(dir).empty());
    // Missing local folders are created.
    const std::string nested = sshd.scratch + "/n1/n2/n3/f";
    EXPECT_EQ(session.download(remote, nested, QN_existing::refuse), QN_SSH_OK) << session.message();
    EXPECT_EQ(read_file(nested), "new");
    EXPECT_EQ(files_in(sshd.scratch + "/n1/n2/n3"), std::vector<std::string>{"f"});
    // A local folder in the way.
    EXPECT_EQ(session.download(remote, dir, QN_existing::overwrite), QN_SSH_LOCAL_FAILED);
    EXPECT_TRUE(fs::is_directory(dir));
}

// Cuts the connection once a tenth of a large download arrived.
class SshCut : public SshServer {
protected:
    void cut_download(const std::string& local, QN_existing existing) {
        ASSERT_EQ(sshd.run_as_user("truncate -s 600M big"), 0);
        QN_ssh_session session;
        connect(session);
        bool cut = false;
        uint64_t seen = 0;
        const int r = session.download(sshd.home + "/big", local, existing, [&](uint64_t done, uint64_t total) {
            seen = done;
            if (!cut && total > 0 && done >= total / 10) {
                cut = true;
                sshd.kill_sessions();
            }
        });
        EXPECT_TRUE(cut);
        EXPECT_LT(r, 0);
        EXPECT_LT(seen, 600u << 20);
        EXPECT_FALSE(session.message().empty());
        EXPECT_FALSE(session.is_open());
    }
};

TEST_F(SshCut, NothingLeftBehind) {
    const std::string dir = sshd.scratch + "/cut";
    fs::create_directory(dir);
    cut_download(dir + "/big", QN_existing::refuse);
    EXPECT_TRUE(files_in(dir).empty());
}

TEST_F(SshCut, ExistingFileUnchanged) {
    const std::string dir = sshd.scratch + "/cut";
    fs::create_directory(dir);
    write_file(dir + "/big", "precious");
    cut_download(dir + "/big", QN_existing::overwrite);
    EXPECT_EQ(files_in(dir), std::vector<std::string>{"big"});
    EXPECT_EQ(read_file(dir + "/big"), "precious");
}

// ---- Listing ------------------------------------------------------------------

using SshList = SshServer;

TEST_F(SshList, DirectoriesAndRegularFilesOnly) {
    const std::string long_name(255, 'L');
    ASSERT_EQ(sshd.run_as_user("mkdir -p L/b && printf abc > L/a && head -c 1000 /dev/zero > L/b/c.dat && "
                               "ln -s a L/link && ln -s b L/dirlink && echo > L/.h && mkfifo L/fifo && "
                               "printf 1234567 > L/" + long_name),
              0);
    QN_ssh_session session;
    connect(session);
    std::vector<QN_remote_entry> entries;
    ASSERT_EQ(session.list(sshd.home + "/L", entries), QN_SSH_OK) << session.message();
    std::map<std::string, std::pair<bool, uint64_t>> got;
    for (const auto& e : entries) got[e.name] = {e.is_dir, e.size};
    EXPECT_EQ(got.size(), entries.size()) << "no name twice";
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got.count("a"), 1u);
    EXPECT_EQ(got["a"], std::make_pair(false, uint64_t(3)));
    EXPECT_EQ(got.count("b"), 1u);
    EXPECT_TRUE(got["b"].first);
    EXPECT_EQ(got.count(".h"), 1u);
    EXPECT_EQ(got[".h"], std::make_pair(false, uint64_t(1)));
    EXPECT_EQ(got.count(long_name), 1u);
    EXPECT_EQ(got[long_name], std::make_pair(false, uint64_t(7)));

    ASSERT_EQ(session.list(sshd.home + "/L/b", entries), QN_SSH_OK);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "c.dat");
    EXPECT_EQ(entries[0].size, 1000u);

    EXPECT_EQ(session.list(sshd.home + "/missing", entries), QN_SSH_FAILED);
    EXPECT_TRUE(entries.empty());
    EXPECT_FALSE(session.message().empty());
    EXPECT_TRUE(session.is_open());
}

TEST_F(SshList, ManyEntries) {
    ASSERT_EQ(sshd.run_as_user("mkdir M && cd M && for i in $(seq 1 500); do : > file$i; done && mkdir d1 d2"), 0);
    QN_ssh_session session;
    connect(session);
    std::vector<QN_remote_entry> entries;
    ASSERT_EQ(session.list(sshd.home + "/M", entries), QN_SSH_OK) << session.message();
    std::set<std::string> names;
    for (const auto& e : entries) names.insert(e.name);
    EXPECT_EQ(entries.size(), 502u);
    EXPECT_EQ(names.size(), 502u);
    EXPECT_EQ(names.count("file1"), 1u);
    EXPECT_EQ(names.count("file500"), 1u);
    EXPECT_EQ(names.count("d2"), 1u);
}

// ---- The global session -------------------------------------------------------

using SshGlobal = SshServer;

TEST_F(SshGlobal, WrappersUseTheOneSession) {
    ASSERT_EQ(QN_init_ssh(trusting()), QN_SSH_OK) << QN_global_session.message();
    int status = -1;
    EXPECT_EQ(QN_ssh_exec("mkdir w && exit 4", &status), QN_SSH_OK);
    EXPECT_EQ(status, 4);
    write_file(sshd.scratch + "/up", "payload");
    EXPECT_EQ(QN_ssh_upload(sshd.scratch + "/up", sshd.home + "/w/p"), QN_SSH_OK);
    write_file(sshd.scratch + "/down", "old");
    EXPECT_EQ(QN_ssh_download(sshd.home + "/w/p", sshd.scratch + "/down"), QN_SSH_OK);
    EXPECT_EQ(read_file(sshd.scratch + "/down"), "payload");
    std::vector<std::string> names;
    std::vector<int> dirs;
    ASSERT_EQ(sshd.run_as_user("mkdir w/sub"), 0);
    ASSERT_EQ(QN_ssh_opendir(sshd.home + "/w", names, dirs), 2);
    std::map<std::string, int> got;
    for (size_t i = 0; i < names.size(); ++i) got[names[i]] = dirs[i];
    EXPECT_EQ(got, (std::map<std::string, int>{{"p", 0}, {"sub", 1}}));
    EXPECT_EQ(QN_ssh_opendir(sshd.home + "/nothing", names, dirs), -2);
    QN_ssh_shutdown();
    EXPECT_FALSE(QN_global_session.is_open());
    EXPECT_LT(QN_ssh_exec("true", &status), 0);
}

// True once pid is gone or a zombie (within seconds).
bool process_ends(pid_t pid, double seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        std::ifstream in("/proc/" + std::to_string(pid) + "/status");
        std::string line;
        bool zombie = false, exists = static_cast<bool>(in);
        while (std::getline(in, line))
            if (line.rfind("State:", 0) == 0) zombie = line.find('Z') != std::string::npos;
        if (!exists || zombie) return true;
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// ---- Keys, agents, two steps, names, jump hosts -----------------------------------
//
// The servers of these cases are shared: one that takes public keys only
// (with the account's keys authorized, listening on ::1 too when it can), one
// that wants a key and then PAM's keyboard-interactive question, and a
// bastion. Each case gets a control folder of its own, so that it never finds
// the master of another.

struct KeyServers {
    TestSshd target, bastion, two_step;
    std::string why;  // why the cases are skipped
    std::string keys;  // a private folder of key files
    std::string ed25519, rsa, wrong, rsa_passphrase;
};
KeyServers* key_servers = nullptr;

std::string random_text(size_t n) {
    static const char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device rd;
    std::string out;
    for (size_t i = 0; i < n; ++i) out += alphabet[rd() % 62];
    return out;
}

class SshKeys : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        key_servers = new KeyServers;
        KeyServers& k = *key_servers;
        TestSshdSetup keys_only;
        keys_only.password = false;
        keys_only.pubkey = true;
        keys_only.ipv6 = true;
        if (!k.target.start(k.why, keys_only)) return;
        TestSshdSetup bastion = keys_only;
        bastion.ipv6 = false;
        bastion.log_level = "DEBUG1";  // shows the forwardings
        if (!k.bastion.start(k.why, bastion)) return;
        TestSshdSetup two_step;
        two_step.password = false;
        two_step.pubkey = true;
        two_step.pam = true;
        two_step.methods = "publickey,keyboard-interactive";
        if (!k.two_step.start(k.why, two_step)) return;
        k.keys = k.target.scratch + "/keys";
        fs::create_directory(k.keys);
        ::chmod(k.keys.c_str(), 0700);
        k.ed25519 = k.keys + "/id_ed25519";
        k.rsa = k.keys + "/id_rsa";
        k.wrong = k.keys + "/id_wrong";
        k.rsa_passphrase = random_text(20);
        shell_output("/usr/bin/ssh-keygen -q -t ed25519 -N '' -C test -f " + sh_word(k.ed25519));
        shell_output("/usr/bin/ssh-keygen -q -t rsa -b 2048 -N " + sh_word(k.rsa_passphrase) + " -C test -f " +
                     sh_word(k.rsa));
        shell_output("/usr/bin/ssh-keygen -q -t ed25519 -N '' -C test -f " + sh_word(k.wrong));
        for (TestSshd* server : {&k.target, &k.bastion, &k.two_step})
            for (const std::string& key : {k.ed25519, k.rsa})
                if (!server->authorize(read_file(key + ".pub"))) k.why = "cannot authorize a key";
        if (!fs::exists(k.ed25519) || !fs::exists(k.rsa)) k.why = "ssh-keygen made no keys";
    }
    static void TearDownTestSuite() {
        delete key_servers;
        key_servers = nullptr;
    }
    void SetUp() override {
        if (!key_servers || !key_servers->why.empty())
            GTEST_SKIP() << (key_servers ? key_servers->why : std::string("no servers"));
    }
    KeyServers& k() { return *key_servers; }
    // Options for a server with a key and no password.
    QN_ssh_options keyed(TestSshd& server, const std::string& key) {
        QN_ssh_options o = server.options();
        o.password.clear();
        o.identity = key;
        o.accept_new_host_key = true;
        o.control_dir = server.fresh_control_dir();
        return o;
    }
    std::string whoami(QN_ssh_session& session) {
        int status = -1;
        std::string out;
        EXPECT_EQ(session.exec("id -un", &status, &out), QN_SSH_OK) << session.message();
        EXPECT_EQ(status, 0);
        return out;
    }
};

TEST_F(SshKeys, Ed25519KeyByIdentityFile) {
    const int before = k().target.accepted();
    QN_ssh_session session;
    ASSERT_EQ(session.open(keyed(k().target, k().ed25519)), QN_SSH_OK) << session.message();
    EXPECT_EQ(whoami(session), k().target.user + "\n");
    EXPECT_EQ(k().target.accepted(), before + 1);
    const std::string fp = keygen_fingerprint(k().ed25519 + ".pub");
    EXPECT_NE(k().target.log_text().find("Accepted publickey for " + k().target.user), std::string::npos);
    EXPECT_NE(k().target.log_text().find(fp), std::string::npos) << fp;
    // The host key the master met.
    EXPECT_EQ(session.hostkey().fingerprint, keygen_fingerprint(host_key_pub(k().target)));
}

TEST_F(SshKeys, RsaKeyPassphraseComesThroughAskpass) {
    // From the options (as quelm-batch passes QUELM_SSH_PASSPHRASE).
    {
        QN_ssh_session session;
        QN_ssh_options o = keyed(k().target, k().rsa);
        o.passphrase = k().rsa_passphrase;
        ASSERT_EQ(session.open(o), QN_SSH_OK) << session.message();
        EXPECT_EQ(whoami(session), k().target.user + "\n");
        EXPECT_EQ(session.message().find(k().rsa_passphrase), std::string::npos);
    }
    // From the callback, which sees ssh's question.
    {
        QN_ssh_session session;
        QN_ssh_options o = keyed(k().target, k().rsa);
        std::vector<QN_ssh_prompt> asked;
        o.ask = [&](const QN_ssh_prompt& prompt, std::string& answer) {
            asked.push_back(prompt);
            answer = k().rsa_passphrase;
            return true;
        };
        ASSERT_EQ(session.open(o), QN_SSH_OK) << session.message();
        ASSERT_EQ(asked.size(), 1u);
        EXPECT_EQ(asked[0].kind, QN_ssh_secret::passphrase);
        EXPECT_NE(asked[0].text.find(k().rsa), std::string::npos) << asked[0].text;
    }
    // A wrong passphrase: refused, and said so.
    {
        QN_ssh_session session;
        QN_ssh_options o = keyed(k().target, k().rsa);
        o.passphrase = "not-" + k().rsa_passphrase;
        EXPECT_EQ(session.open(o), QN_SSH_AUTH_REFUSED);
        EXPECT_NE(session.message().find("passphrase"), std::string::npos) << session.message();
        EXPECT_EQ(session.message().find(o.passphrase), std::string::npos);
        EXPECT_FALSE(session.is_open());
    }
}

TEST_F(SshKeys, TheSameKeyFromAnAgent) {
    // An agent of the test's own holding the RSA key.
    const std::string sock = k().keys + "/agent.sock";
    const std::string plain = k().keys + "/id_rsa_agent";
    shell_output("cp " + sh_word(k().rsa) + " " + sh_word(plain) + " && chmod 600 " + sh_word(plain) +
                 " && /usr/bin/ssh-keygen -q -p -P " + sh_word(k().rsa_passphrase) + " -N '' -f " + sh_word(plain));
    const std::string started = shell_output("/usr/bin/ssh-agent -s -a " + sh_word(sock));
    const size_t at = started.find("SSH_AGENT_PID=");
    ASSERT_NE(at, std::string::npos) << started;
    const int agent = std::atoi(started.c_str() + at + 14);
    struct AgentEnd {
        int pid;
        std::string old;
        bool had;
        ~AgentEnd() {
            if (pid > 0) ::kill(pid, SIGTERM);
            if (had) setenv("SSH_AUTH_SOCK", old.c_str(), 1);
            else unsetenv("SSH_AUTH_SOCK");
        }
    } end{agent, std::getenv("SSH_AUTH_SOCK") ? std::getenv("SSH_AUTH_SOCK") : "",
          std::getenv("SSH_AUTH_SOCK") != nullptr};
    ASSERT_NE(shell_output("SSH_AUTH_SOCK=" + sh_word(sock) + " /usr/bin/ssh-add " + sh_word(plain) + " 2>&1")
                  .find("Identity added"),
              std::string::npos);
    fs::remove(plain);
    setenv("SSH_AUTH_SOCK", sock.c_str(), 1);

    QN_ssh_session session;
    QN_ssh_options o = keyed(k().target, "");  // no key file: the agent's
    ASSERT_EQ(session.open(o), QN_SSH_OK) << session.message();
    EXPECT_EQ(whoami(session), k().target.user + "\n");
    const std::string fp = keygen_fingerprint(k().rsa + ".pub");
    EXPECT_NE(k().target.log_text().find("Accepted publickey for " + k().target.user), std::string::npos);
    EXPECT_NE(k().target.log_text().find("RSA " + fp), std::string::npos) << fp;
}

TEST_F(SshKeys, AWrongKeyIsRefusedWithAClearMessage) {
    QN_ssh_session session;
    const int before = k().target.accepted();
    EXPECT_EQ(session.open(keyed(k().target, k().wrong)), QN_SSH_AUTH_REFUSED);
    EXPECT_FALSE(session.is_open());
    const std::string& m = session.message();
    EXPECT_NE(m.find("refused the authentication"), std::string::npos) << m;
    EXPECT_NE(m.find("(it accepts: publickey)"), std::string::npos) << m;
    EXPECT_NE(m.find(k().wrong), std::string::npos) << m;
    EXPECT_NE(m.find(keygen_fingerprint(k().wrong + ".pub")), std::string::npos) << m;
    EXPECT_EQ(k().target.accepted(), before);
    int status = -1;
    EXPECT_NE(session.exec("true", &status), QN_SSH_OK);
    // A missing key file is said before any connection.
    EXPECT_EQ(session.open(keyed(k().target, k().keys + "/absent")), QN_SSH_FAILED);
    EXPECT_NE(session.message().find("absent"), std::string::npos) << session.message();
}

TEST_F(SshKeys, KeyAndKeyboardInteractiveQuestion) {
    TestSshd& server = k().two_step;
    QN_ssh_options o = keyed(server, k().ed25519);
    std::vector<QN_ssh_prompt> asked;
    o.ask = [&](const QN_ssh_prompt& prompt, std::string& answer) {
        asked.push_back(prompt);
        answer = server.password;
        return true;
    };
    QN_ssh_session session;
    ASSERT_EQ(session.open(o), QN_SSH_OK) << session.message();
    EXPECT_EQ(whoami(session), server.user + "\n");
    // PAM's own question, as the server worded it, reached the callback.
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_NE(asked[0].text.find("Password:"), std::string::npos) << asked[0].text;
    EXPECT_NE(asked[0].text.find(server.user), std::string::npos) << asked[0].text;
    const std::string log = server.log_text();
    EXPECT_NE(log.find("Partial publickey for " + server.user), std::string::npos) << log;
    EXPECT_NE(log.find("Accepted keyboard-interactive/pam for " + server.user), std::string::npos) << log;

    // The key alone is not enough; a declined question fails too.
    QN_ssh_session other;
    QN_ssh_options key_only = keyed(server, k().ed25519);
    EXPECT_EQ(other.open(key_only), QN_SSH_AUTH_REFUSED);
    EXPECT_NE(other.message().find("keyboard-interactive"), std::string::npos) << other.message();
    key_only.control_dir = server.fresh_control_dir();
    key_only.ask = [](const QN_ssh_prompt&, std::string&) { return false; };
    EXPECT_EQ(other.open(key_only), QN_SSH_AUTH_REFUSED);
}

TEST_F(SshKeys, AnAliasOfAConfigFileAndNamesOfTheMachine) {
    TestSshd& server = k().target;
    const std::string config = k().keys + "/config";
    write_file(config, "Host qn-cluster\n  HostName 127.0.0.1\n  Port " + std::to_string(server.port) + "\n  User " +
                           server.user + "\n  IdentityFile " + k().ed25519 + "\n");
    QN_ssh_options o = server.options();
    o.password.clear();
    o.host = "qn-cluster";
    o.port = 0;
    o.user.clear();
    o.ssh_config = config;
    o.accept_new_host_key = true;
    o.control_dir = server.fresh_control_dir();
    QN_ssh_session session;
    ASSERT_EQ(session.open(o), QN_SSH_OK) << session.message();
    EXPECT_EQ(whoami(session), server.user + "\n");
    // The same server in the same configuration is the same master.
    EXPECT_GT(QN_ssh_master_pid(o), 0);
    session.close();

    // By name.
    QN_ssh_options by_name = keyed(server, k().ed25519);
    by_name.host = "localhost";
    ASSERT_EQ(session.open(by_name), QN_SSH_OK) << session.message();
    EXPECT_EQ(whoami(session), server.user + "\n");
    EXPECT_TRUE(known_hosts_names(server.known_hosts, "[localhost]:" + std::to_string(server.port)));
    session.close();

    // By IPv6 address with the user and the port in the server text.
    if (!server.ipv6) {
        std::printf("[  SKIPPED ] [::1]: this machine has no IPv6 loopback\n");
        return;
    }
    QN_ssh_options v6 = keyed(server, k().ed25519);
    v6.host = server.user + "@[::1]:" + std::to_string(server.port);
    v6.user.clear();
    v6.port = 0;
    ASSERT_EQ(session.open(v6), QN_SSH_OK) << session.message();
    EXPECT_EQ(whoami(session), server.user + "\n");
    EXPECT_NE(server.log_text().find("from ::1"), std::string::npos);
}

TEST_F(SshKeys, TheTargetThroughABastion) {
    TestSshd& target = k().target;
    TestSshd& bastion = k().bastion;
    const std::string hop = bastion.user + "@127.0.0.1:" + std::to_string(bastion.port);
    const std::string forwarded = "target 127.0.0.1 port " + std::to_string(target.port);
    QN_ssh_options o = keyed(target, k().ed25519);
    o.jump = hop;
    QN_ssh_session session;
    ASSERT_EQ(session.open(o), QN_SSH_OK) << session.message();
    EXPECT_EQ(whoami(session), target.user + "\n");
    std::vector<QN_remote_entry> entries;
    EXPECT_EQ(session.list(".", entries), QN_SSH_OK) << session.message();
    session.close();
    const std::string log = bastion.log_text();
    EXPECT_NE(log.find("Accepted publickey for " + bastion.user), std::string::npos) << log;
    EXPECT_NE(log.find(forwarded), std::string::npos) << log;
    // The bastion's key went into the same known-hosts file.
    EXPECT_TRUE(known_hosts_names(target.known_hosts, "[127.0.0.1]:" + std::to_string(bastion.port)));

    // ProxyJump in the configuration.
    const std::string config = k().keys + "/config_jump";
    write_file(config, "Host qn-bastion\n  HostName 127.0.0.1\n  Port " + std::to_string(bastion.port) +
                           "\n  User " + bastion.user + "\n  IdentityFile " + k().ed25519 + "\n" +
                           "Host qn-behind\n  HostName 127.0.0.1\n  Port " + std::to_string(target.port) +
                           "\n  User " + target.user + "\n  IdentityFile " + k().ed25519 +
                           "\n  ProxyJump qn-bastion\n");
    QN_ssh_options via = keyed(target, "");
    via.host = "qn-behind";
    via.port = 0;
    via.user.clear();
    via.ssh_config = config;
    const size_t before = std::count(log.begin(), log.end(), '\n');
    ASSERT_EQ(session.open(via), QN_SSH_OK) << session.message();
    EXPECT_EQ(whoami(session), target.user + "\n");
    const std::string later = bastion.log_text();
    std::string fresh;
    std::istringstream lines(later);
    std::string line;
    for (size_t n = 0; std::getline(lines, line); ++n)
        if (n >= before) fresh += line + "\n";
    EXPECT_NE(fresh.find(forwarded), std::string::npos) << fresh;
    // A bastion that refuses the login is named as the failing step.
    QN_ssh_options refused = keyed(target, k().wrong);
    refused.jump = hop;
    EXPECT_EQ(session.open(refused), QN_SSH_FAILED);
    EXPECT_NE(session.message().find("jump host " + bastion.user + "@"), std::string::npos) << session.message();
    // A jump host that is no host is refused before anything runs.
    via.jump = "bad host";
    EXPECT_EQ(session.open(via), QN_SSH_FAILED);
    EXPECT_NE(session.message().find("jump host"), std::string::npos) << session.message();
}

TEST_F(SshKeys, AnUnknownKeyWithoutAnySecretShowsItsFingerprint) {
    TestSshd& server = k().target;
    QN_ssh_options o = keyed(server, k().ed25519);
    o.accept_new_host_key = false;
    o.known_hosts = k().keys + "/known_hosts_fresh";
    QN_ssh_session session;
    EXPECT_EQ(session.open(o), QN_SSH_HOSTKEY_UNKNOWN);
    const std::string fp = keygen_fingerprint(host_key_pub(server));
    EXPECT_EQ(session.hostkey().fingerprint, fp);
    EXPECT_EQ(session.hostkey().type, "ssh-ed25519");
    EXPECT_NE(session.message().find(fp), std::string::npos) << session.message();
    EXPECT_FALSE(fs::exists(o.known_hosts));
    o.accept_new_host_key = true;
    ASSERT_EQ(session.open(o), QN_SSH_OK) << session.message();
    EXPECT_TRUE(known_hosts_names(o.known_hosts, "[127.0.0.1]:" + std::to_string(server.port)));
}

TEST_F(SshKeys, AMasterThatDiedIsNotReusedAndDisconnectEndsOne) {
    TestSshd& server = k().target;
    QN_ssh_options o = keyed(server, k().ed25519);
    QN_ssh_session session;
    ASSERT_EQ(session.open(o), QN_SSH_OK) << session.message();
    const int master = QN_ssh_master_pid(o);
    ASSERT_GT(master, 0);
    session.close();
    // Killed: its socket stays behind, and a new master replaces it.
    ASSERT_EQ(::kill(master, SIGKILL), 0);
    ASSERT_TRUE(process_ends(master, 3.0));
    const int before = server.accepted();
    ASSERT_EQ(session.open(o), QN_SSH_OK) << session.message();
    EXPECT_EQ(server.accepted(), before + 1);
    const int second = QN_ssh_master_pid(o);
    EXPECT_GT(second, 0);
    EXPECT_NE(second, master);
    EXPECT_EQ(whoami(session), server.user + "\n");
    // The session's own disconnect.
    EXPECT_EQ(session.disconnect(), QN_SSH_OK);
    EXPECT_FALSE(session.is_open());
    EXPECT_EQ(QN_ssh_master_pid(o), 0);
    EXPECT_TRUE(process_ends(second, 3.0));
    std::string message;
    EXPECT_EQ(QN_ssh_disconnect(o, message), 0);
    EXPECT_NE(message.find("no open connection"), std::string::npos) << message;
}

TEST_F(SshKeys, TwoProgramsOpeningAtOnceShareOneMaster) {
    TestSshd& server = k().target;
    const QN_ssh_options o = keyed(server, k().ed25519);
    int results[2] = {0, 0};
    std::string messages[2];
    std::thread a([&] {
        QN_ssh_session s;
        results[0] = s.open(o);
        messages[0] = s.message();
    });
    std::thread b([&] {
        QN_ssh_session s;
        results[1] = s.open(o);
        messages[1] = s.message();
    });
    a.join();
    b.join();
    EXPECT_EQ(results[0], QN_SSH_OK) << messages[0];
    EXPECT_EQ(results[1], QN_SSH_OK) << messages[1];
    EXPECT_GT(QN_ssh_master_pid(o), 0);
    QN_ssh_session session;
    ASSERT_EQ(session.open(o), QN_SSH_OK);
    EXPECT_EQ(whoami(session), server.user + "\n");
}

TEST_F(SshKeys, QuelmBatchTakesKeysAliasesAndJumpHosts) {
    TestSshd& target = k().target;
    TestSshd& bastion = k().bastion;
    const std::string home = k().keys + "/batch_home", run = k().keys + "/batch_run";
    fs::create_directories(home);
    fs::create_directories(run);
    ::chmod(run.c_str(), 0700);
    auto batch = [&](const std::string& args) {
        const std::string out = k().keys + "/out", err = k().keys + "/err";
        const std::string cmd = "env -u QUELM_SSH_PASSWORD HOME=" + sh_word(home) + " XDG_RUNTIME_DIR=" + sh_word(run) +
                                " " + QUELM_BATCH + " " + args + " > " + out + " 2> " + err + " < /dev/null";
        const int raw = std::system(cmd.c_str());
        return std::make_tuple(WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, read_file(out), read_file(err));
    };
    const std::string server = " --host " + target.user + "@127.0.0.1:" + std::to_string(target.port) +
                               " --known-hosts " + sh_word(target.known_hosts) + " --accept-new-host-key";
    ASSERT_EQ(target.run_as_user("mkdir -p batchdir && printf x > batchdir/f"), 0);
    auto [wrong, wrong_out, wrong_err] = batch("list --folder batchdir --identity " + sh_word(k().wrong) + server);
    EXPECT_EQ(wrong, 1);
    EXPECT_NE(wrong_err.find("refused the authentication"), std::string::npos) << wrong_err;
    auto [right, right_out, right_err] = batch("list --folder batchdir --identity " + sh_word(k().ed25519) + server);
    EXPECT_EQ(right, 0) << right_err;
    EXPECT_EQ(right_out, "f\n");
    batch("disconnect" + server.substr(0, server.find(" --known-hosts")));

    const std::string config = k().keys + "/batch_config";
    write_file(config, "Host qn-batch\n  HostName 127.0.0.1\n  Port " + std::to_string(target.port) + "\n  User " +
                           target.user + "\n  IdentityFile " + k().ed25519 + "\n");
    auto [alias, alias_out, alias_err] =
        batch("list --folder batchdir --host qn-batch --ssh-config " + sh_word(config) + " --known-hosts " +
              sh_word(target.known_hosts));
    EXPECT_EQ(alias, 0) << alias_err;
    EXPECT_EQ(alias_out, "f\n");
    auto [bye, bye_out, bye_err] = batch("disconnect --host qn-batch --ssh-config " + sh_word(config));
    EXPECT_EQ(bye, 0) << bye_err;
    EXPECT_NE(bye_out.find("has been closed"), std::string::npos) << bye_out;

    auto [jumped, jumped_out, jumped_err] =
        batch("list --folder batchdir --identity " + sh_word(k().ed25519) + " --jump " + bastion.user +
              "@127.0.0.1:" + std::to_string(bastion.port) + server);
    EXPECT_EQ(jumped, 0) << jumped_err;
    EXPECT_EQ(jumped_out, "f\n");
    auto [bad, bad_out, bad_err] = batch("list --folder batchdir --jump 'a b'" + server);
    EXPECT_EQ(bad, 2);
    EXPECT_NE(bad_err.find("--jump"), std::string::npos) << bad_err;
}

// ---- quelm-batch over one connection ----------------------------------------------

struct BatchRun {
    int status = -1;
    std::string out, err;
};

// Every file below dir, recursively, as one text per file.
void read_tree(const std::string& dir, std::vector<std::pair<std::string, std::string>>& files) {
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dir, fs::directory_options::skip_permission_denied, ec), end;
         !ec && it != end; it.increment(ec)) {
        if (it->is_regular_file(ec)) files.emplace_back(it->path().string(), read_file(it->path().string()));
    }
}

// Reads /proc/PID/NAME whole (cmdline and environ hold NULs).
std::string proc_file(pid_t pid, const char* name) {
    return read_file("/proc/" + std::to_string(pid) + "/" + name);
}

// A password server, a frame of 20 tasks and quelm-batch with a home,
// runtime and temporary folder of its own, the password in
// QUELM_SSH_PASSWORD.
class SshBatch : public SshServer {
protected:
    void SetUp() override {
        SshServer::SetUp();
        if (IsSkipped()) return;
        base = sshd.scratch + "/batch";
        for (const char* d : {"home", "run", "tmp", "save", "config"}) fs::create_directories(base + "/" + d);
        ::chmod((base + "/run").c_str(), 0700);
        write_file(base + "/config/config_list.txt", "twenty.txt\n");
        write_file(base + "/config/twenty.txt", "#frame Twenty\nRegion: Setting\nLoop: T 300\nIn: in.twenty\n");
        write_file(base + "/config/in.twenty", "units metal\natom_style atomic\nboundary p p p\ninclude in.variable\n");
        write_file(base + "/pair.in", "pair_style zero 3.0\npair_coeff * *\n");
        write_file(base + "/model.lmp",
                   "one atom\n\n1 atoms\n1 atom types\n\n0 4 xlo xhi\n0 4 ylo yhi\n0 4 zlo zhi\n\nAtoms # atomic\n\n"
                   "1 1 0 0 0\n");
        std::string status;
        for (int k = 0; k < 20; ++k)
            status += "-PRIVATE_LOOP_FLAG=" + std::to_string(k) + "\t-T=" + std::to_string(300 + 10 * k) + "\n";
        status += "-PRIVATE_LOOP_FLAG=0\t\n";
        write_file(base + "/loop.qnw", status);
    }
    std::vector<std::string> server_args() const {
        return {"--host", sshd.user + "@127.0.0.1:" + std::to_string(sshd.port), "--known-hosts", sshd.known_hosts,
                "--accept-new-host-key", "--timeout", "20"};
    }
    std::vector<std::string> submit_args(const std::string& command) const {
        std::vector<std::string> a = {"submit", "frame", base + "/config/twenty.txt", base + "/model.lmp",
                                      "--status", base + "/loop.qnw", "-S_potype=5", "-S_pot_cus=" + base + "/pair.in",
                                      "-S_elemt=28", "-S_mass=63.546", "--folder", "runs", "--command", command};
        for (const auto& w : server_args()) a.push_back(w);
        return a;
    }
    // The options quelm-batch uses for this server (its control folder).
    QN_ssh_options batch_options() const {
        QN_ssh_options o = sshd.options();
        o.password.clear();
        o.control_dir = base + "/run/quelm-ssh";
        return o;
    }
    // Runs quelm-batch with args and the environment of the case (plus
    // extra); `watch` runs while it does.
    BatchRun batch(const std::vector<std::string>& args, const std::vector<std::string>& extra = {},
                   const std::string& input = "", const std::function<void(pid_t)>& watch = {}) {
        std::vector<std::string> argv = {QUELM_BATCH};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            if (entry.rfind("HOME=", 0) == 0 || entry.rfind("XDG_RUNTIME_DIR=", 0) == 0 ||
                entry.rfind("TMPDIR=", 0) == 0 || entry.rfind("QUELM_SSH_", 0) == 0)
                continue;
            env.push_back(entry);
        }
        env.push_back("HOME=" + base + "/home");
        env.push_back("XDG_RUNTIME_DIR=" + base + "/run");
        env.push_back("TMPDIR=" + base + "/tmp");
        env.insert(env.end(), extra.begin(), extra.end());
        std::vector<char*> a, e;
        for (auto& w : argv) a.push_back(&w[0]);
        a.push_back(nullptr);
        for (auto& w : env) e.push_back(&w[0]);
        e.push_back(nullptr);
        const std::string out = base + "/out", err = base + "/err", in = base + "/in";
        write_file(in, input);
        const pid_t pid = ::fork();
        if (pid == 0) {
            const int i = ::open(in.c_str(), O_RDONLY), o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600),
                      r = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(i, 0);
            ::dup2(o, 1);
            ::dup2(r, 2);
            ::execve(a[0], a.data(), e.data());
            ::_exit(127);
        }
        int raw = 0;
        if (watch) {
            // Called over and over until quelm-batch ends.
            while (::waitpid(pid, &raw, WNOHANG) == 0) watch(pid);
        } else {
            ::waitpid(pid, &raw, 0);
        }
        BatchRun run{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, read_file(out), read_file(err)};
        ::unlink(in.c_str());
        EXPECT_EQ(run.out.find(sshd.password), std::string::npos);
        EXPECT_EQ(run.err.find(sshd.password), std::string::npos);
        return run;
    }
    std::string base;
};

TEST_F(SshBatch, OneAuthenticationServesSubmitListAndDownloadUntilDisconnect) {
    const std::string password = "QUELM_SSH_PASSWORD=" + sshd.password;
    // While the submission runs, no process shows the password in its
    // arguments or its environment (quelm-batch's own environment holds it
    // until it reads it), and no file in its temporary folder holds it.
    std::set<std::string> seen;
    int scans = 0;
    auto watch = [&](pid_t batch_pid) {
        for (pid_t pid : all_pids()) {
            if (pid == ::getpid()) continue;
            const std::string cmdline = proc_file(pid, "cmdline");
            const std::string environ_text = pid == batch_pid ? std::string() : proc_file(pid, "environ");
            if (cmdline.find(sshd.password) != std::string::npos ||
                environ_text.find(sshd.password) != std::string::npos)
                seen.insert("process " + std::to_string(pid) + ": " + cmdline);
        }
        std::vector<std::pair<std::string, std::string>> files;
        read_tree(base + "/tmp", files);
        read_tree(base + "/run", files);
        for (const auto& f : files)
            if (f.second.find(sshd.password) != std::string::npos) seen.insert("file " + f.first);
        ++scans;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    };
    const auto t0 = std::chrono::steady_clock::now();
    BatchRun submitted = batch(submit_args("sleep 0.05; echo ran > ran"), {password}, "", watch);
    const double submit_seconds = seconds_since(t0);
    ASSERT_EQ(submitted.status, 0) << submitted.out << submitted.err;
    EXPECT_NE(submitted.out.find("Submit complete"), std::string::npos) << submitted.out;
    EXPECT_GT(scans, 3);
    EXPECT_TRUE(seen.empty()) << *seen.begin();
    for (int j = 1; j <= 20; ++j) EXPECT_TRUE(fs::exists(sshd.home + "/runs/R" + std::to_string(j) + "/ran")) << j;
    std::printf("[   INFO   ] staging and submitting 20 tasks took %.2f s\n", submit_seconds);

    // The next commands use the same master: no password, no new login.
    const BatchRun listed = batch({"list", "--folder", "runs", "--host",
                                   sshd.user + "@127.0.0.1:" + std::to_string(sshd.port), "--known-hosts",
                                   sshd.known_hosts});
    ASSERT_EQ(listed.status, 0) << listed.err;
    EXPECT_NE(listed.out.find("R20/in.variable\n"), std::string::npos) << listed.out;
    std::vector<std::string> download = {"download", "--folder", "runs", "--all", "-o", base + "/save"};
    for (const auto& w : server_args()) download.push_back(w);
    const BatchRun fetched = batch(download);
    ASSERT_EQ(fetched.status, 0) << fetched.err;
    EXPECT_EQ(read_file(base + "/save/R7/ran"), "ran\n");
    EXPECT_EQ(sshd.accepted(), 1) << sshd.log_text();
    const int master = QN_ssh_master_pid(batch_options());
    EXPECT_GT(master, 0);

    // No file of the session's folders holds the password.
    std::vector<std::pair<std::string, std::string>> files;
    for (const char* d : {"home", "run", "tmp", "save"}) read_tree(base + "/" + d, files);
    read_tree(sshd.scratch + "/known_hosts", files);
    EXPECT_FALSE(files.empty());
    for (const auto& f : files) EXPECT_EQ(f.second.find(sshd.password), std::string::npos) << f.first;

    // disconnect ends the master; the next command logs in again.
    const BatchRun ended = batch({"disconnect", "--host", sshd.user + "@127.0.0.1:" + std::to_string(sshd.port)});
    EXPECT_EQ(ended.status, 0) << ended.err;
    EXPECT_NE(ended.out.find("has been closed"), std::string::npos) << ended.out;
    EXPECT_EQ(QN_ssh_master_pid(batch_options()), 0);
    EXPECT_TRUE(process_ends(master, 3.0)) << "the master process is gone";
    const BatchRun again = batch({"disconnect", "--host", sshd.user + "@127.0.0.1:" + std::to_string(sshd.port)});
    EXPECT_EQ(again.status, 0);
    EXPECT_NE(again.out.find("no open connection"), std::string::npos) << again.out;
    const BatchRun relisted = batch({"list", "--folder", "runs", "--host",
                                     sshd.user + "@127.0.0.1:" + std::to_string(sshd.port), "--known-hosts",
                                     sshd.known_hosts, "--password-stdin"},
                                    {}, sshd.password + "\n");
    EXPECT_EQ(relisted.status, 0) << relisted.err;
    EXPECT_EQ(sshd.accepted(), 2);
}

TEST_F(SshBatch, WithoutAPasswordItSaysHowToGiveOne) {
    std::vector<std::string> args = {"list", "--folder", "."};
    for (const auto& w : server_args()) args.push_back(w);
    const BatchRun none = batch(args);
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("QUELM_SSH_PASSWORD"), std::string::npos) << none.err;
    EXPECT_EQ(sshd.log_text().find("Failed password"), std::string::npos);
    const BatchRun bad_host = batch({"list", "--folder", ".", "--host", "-oProxyCommand=x"});
    EXPECT_EQ(bad_host.status, 2);
    EXPECT_NE(bad_host.err.find("--host"), std::string::npos) << bad_host.err;
}

// ---- Servers that do not answer -----------------------------------------------

// A private folder below /tmp, removed with its contents.
struct TempFolder {
    std::string path;
    TempFolder() {
        char pattern[] = "/tmp/qnctl.XXXXXX";
        if (::mkdtemp(pattern)) path = pattern;
    }
    ~TempFolder() {
        std::error_code ec;
        if (!path.empty()) fs::remove_all(path, ec);
    }
};

TEST(SshTimeout, SilentServerFailsWithinTheTimeout) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len), 0);
    std::atomic<bool> accepted{false};
    // Accepts and holds the connection without a word.
    std::thread server([&] {
        const int c = ::accept(listener, nullptr, nullptr);
        if (c >= 0) {
            accepted = true;
            char b[256];
            while (::read(c, b, sizeof b) > 0) {
            }
            ::close(c);
        }
    });
    QN_ssh_session session;
    QN_ssh_options o;
    const TempFolder control;
    o.control_dir = control.path;
    o.host = "127.0.0.1";
    o.port = ntohs(sa.sin_port);
    o.user = "nobody";
    o.password = "secret-word";
    o.accept_new_host_key = true;
    o.known_hosts = "/nonexistent/known_hosts";
    o.timeout = 2;
    const auto t0 = std::chrono::steady_clock::now();
    const int r = session.open(o);
    const double took = seconds_since(t0);
    EXPECT_EQ(r, QN_SSH_TIMEOUT);
    EXPECT_GE(took, 1.5);
    EXPECT_LE(took, 5.0);
    EXPECT_NE(session.message().find("banner"), std::string::npos) << session.message();
    EXPECT_EQ(session.message().find("secret-word"), std::string::npos);
    EXPECT_TRUE(accepted);
    EXPECT_FALSE(session.is_open());
    ::shutdown(listener, SHUT_RDWR);  // the session closed its socket: the reader ends
    server.join();
    ::close(listener);
}

TEST(SshTimeout, RefusedAndBadAddresses) {
    // A port nobody listens on.
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_EQ(::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len), 0);
    ::close(s);
    QN_ssh_session session;
    QN_ssh_options o;
    const TempFolder control;
    o.control_dir = control.path;
    o.host = "127.0.0.1";
    o.port = ntohs(sa.sin_port);
    o.user = "u";
    o.password = "p";
    o.timeout = 2;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(session.open(o), QN_SSH_FAILED);
    EXPECT_LT(seconds_since(t0), 1.0);
    EXPECT_NE(session.message().find("refused"), std::string::npos) << session.message();
    o.host = "localhost";
    EXPECT_EQ(session.open(o), QN_SSH_FAILED);
    EXPECT_NE(session.message().find("localhost"), std::string::npos);
    o.host = "127.0.0.1";
    o.port = 0;
    EXPECT_EQ(session.open(o), QN_SSH_FAILED);
}

// ---- Pure helpers -------------------------------------------------------------

TEST(SshNames, ShellQuote) {
    const struct {
        std::string in;
        bool ok;
        std::string out;
    } cases[] = {
        {"plain", true, "'plain'"},
        {"", true, "''"},
        {"it's", true, "'it'\\''s'"},
        {"a b;c$(d)`e`\"f\"", true, "'a b;c$(d)`e`\"f\"'"},
        {"''", true, "''\\'''\\'''"},
        {std::string("a\0b", 3), false, ""},
        {"a\nb", false, ""},
        {"a\rb", false, ""},
    };
    for (const auto& c : cases) {
        std::string out = "untouched";
        EXPECT_EQ(QN_shell_quote(c.in, out), c.ok) << c.in;
        EXPECT_EQ(out, c.ok ? c.out : "untouched") << c.in;
    }
    // What the shell makes of a quoted word is the word.
    for (const std::string word : {"it's", "a \"b\" ; c", "$HOME `x` \\ *", ""}) {
        EXPECT_EQ(shell_output("printf %s " + sh_word(word)), word);
    }
}

TEST(SshNames, RemoteNamesAndPaths) {
    const struct {
        std::string in;
        bool name, path;
    } cases[] = {
        {"", false, false},
        {".", false, false},
        {"..", false, false},
        {"a", true, true},
        {".hidden", true, true},
        {"a b's", true, true},
        {"a/b", false, true},
        {"a\\b", false, false},
        {std::string("a\0b", 3), false, false},
        {"a/../b", false, false},
        {"a/./b", false, false},
        {"/abs", false, false},
        {"a/", false, false},
        {"a//b", false, false},
        {"...", true, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(QN_remote_name_ok(c.in), c.name) << c.in;
        EXPECT_EQ(QN_remote_path_ok(c.in), c.path) << c.in;
    }
}

TEST(SshNames, ParseHost) {
    const struct {
        std::string in;
        bool ok;
        std::string host;
        int port;
    } cases[] = {
        {"127.0.0.1", true, "127.0.0.1", 22},
        {"127.0.0.1:2222", true, "127.0.0.1", 2222},
        {" 10.1.2.3:65535 ", true, "10.1.2.3", 65535},
        {"1.2.3.4:1", true, "1.2.3.4", 1},
        {"host.name", false, "", 0},
        {"1.2.3.4:0", false, "", 0},
        {"1.2.3.4:70000", false, "", 0},
        {"1.2.3.4:", false, "", 0},
        {"1.2.3.4:22x", false, "", 0},
        {"1.2.3.4:-22", false, "", 0},
        {"1.2.3", false, "", 0},
        {"1.2.3.256", false, "", 0},
        {"", false, "", 0},
        {"::1", false, "", 0},
    };
    for (const auto& c : cases) {
        std::string host = "none";
        int port = -1;
        EXPECT_EQ(QN_ssh_parse_host(c.in, host, port), c.ok) << c.in;
        if (c.ok) {
            EXPECT_EQ(host, c.host) << c.in;
            EXPECT_EQ(port, c.port) << c.in;
        } else {
            EXPECT_EQ(host, "none") << c.in;
            EXPECT_EQ(port, -1) << c.in;
        }
    }
}

TEST(SshNames, ParseTarget) {
    const struct {
        std::string in;
        bool ok;
        std::string user, host;
        int port;
        std::string text;  // QN_ssh_target_text of the result
    } cases[] = {
        {"cluster", true, "", "cluster", 0, "cluster"},
        {" hpc.example.org ", true, "", "hpc.example.org", 0, "hpc.example.org"},
        {"alice@hpc.example.org", true, "alice", "hpc.example.org", 0, "alice@hpc.example.org"},
        {"alice@hpc:2222", true, "alice", "hpc", 2222, "alice@hpc:2222"},
        {"10.1.2.3", true, "", "10.1.2.3", 0, "10.1.2.3"},
        {"10.1.2.3:65535", true, "", "10.1.2.3", 65535, "10.1.2.3:65535"},
        {"[::1]", true, "", "::1", 0, "[::1]"},
        {"[2001:db8::7]:22", true, "", "2001:db8::7", 22, "[2001:db8::7]:22"},
        {"bob@[::1]:2200", true, "bob", "::1", 2200, "bob@[::1]:2200"},
        {"::1", true, "", "::1", 0, "[::1]"},
        {"my_alias-2", true, "", "my_alias-2", 0, "my_alias-2"},
        {"", false, "", "", 0, ""},
        {"host:0", false, "", "", 0, ""},
        {"host:70000", false, "", "", 0, ""},
        {"host:", false, "", "", 0, ""},
        {"host:22x", false, "", "", 0, ""},
        {"-oProxyCommand=x", false, "", "", 0, ""},
        {"-host", false, "", "", 0, ""},
        {"two words", false, "", "", 0, ""},
        {"h%st", false, "", "", 0, ""},
        {"ho'st", false, "", "", 0, ""},
        {"[::1", false, "", "", 0, ""},
        {"[hostname]:22", false, "", "", 0, ""},
        {"[::1]x", false, "", "", 0, ""},
        {"1:2:3", false, "", "", 0, ""},
        {"@host", false, "", "", 0, ""},
        {"-u@host", false, "", "", 0, ""},
        {"a b@host", false, "", "", 0, ""},
    };
    for (const auto& c : cases) {
        QN_ssh_target t;
        t.host = "untouched";
        std::string error;
        EXPECT_EQ(QN_ssh_parse_target(c.in, t, error), c.ok) << c.in;
        if (c.ok) {
            EXPECT_EQ(t.user, c.user) << c.in;
            EXPECT_EQ(t.host, c.host) << c.in;
            EXPECT_EQ(t.port, c.port) << c.in;
            EXPECT_EQ(QN_ssh_target_text(t), c.text) << c.in;
        } else {
            EXPECT_EQ(t.host, "untouched") << c.in;
            EXPECT_FALSE(error.empty()) << c.in;
        }
    }
}

TEST(SshNames, FingerprintIsSha256InUnpaddedBase64) {
    EXPECT_EQ(QN_ssh_fingerprint(nullptr, 0), "SHA256:47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU");
    const std::string abc = "abc";  // SHA-256 ba7816bf…f20015ad
    EXPECT_EQ(QN_ssh_fingerprint(reinterpret_cast<const unsigned char*>(abc.data()), abc.size()),
              "SHA256:ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0");
    // Longer than one block, and a real key against ssh-keygen.
    char dir[] = "/tmp/qnfp.XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string key = std::string(dir) + "/k";
    shell_output("/usr/bin/ssh-keygen -q -t ed25519 -N '' -f " + key + " 2>&1");
    std::istringstream pub(read_file(key + ".pub"));
    std::string type, b64;
    pub >> type >> b64;
    const std::string blob =
        shell_output("printf %s " + sh_word(b64) + " | base64 -d");
    ASSERT_GT(blob.size(), 32u);
    EXPECT_EQ(QN_ssh_fingerprint(reinterpret_cast<const unsigned char*>(blob.data()), blob.size()),
              keygen_fingerprint(key + ".pub"));
    const std::string million(1000000, 'a');  // SHA-256 cdc76e5c…c7112cd0
    EXPECT_EQ(QN_ssh_fingerprint(reinterpret_cast<const unsigned char*>(million.data()), million.size()),
              "SHA256:zcduXJkU+5KBocfihNc+Z/GAmkiklyAOBG05zMcRLNA");
    fs::remove_all(dir);
}

TEST(SshNames, CheckDirMakesEveryPrefix) {
    char dir[] = "/tmp/qncd.XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string base = dir;
    EXPECT_TRUE(QN_check_dir(base + "/a/b c/d/file.txt"));
    EXPECT_TRUE(fs::is_directory(base + "/a/b c/d"));
    EXPECT_FALSE(fs::exists(base + "/a/b c/d/file.txt"));
    EXPECT_TRUE(QN_check_dir(base + "/a/b c/d/file.txt")) << "existing folders are fine";
    EXPECT_TRUE(QN_check_dir(base + "/e/"));
    EXPECT_TRUE(fs::is_directory(base + "/e"));
    EXPECT_TRUE(QN_check_dir("nofolder"));
    write_file(base + "/plain", "x");
    EXPECT_FALSE(QN_check_dir(base + "/plain/sub/f"));
    fs::remove_all(base);
}

}  // namespace
