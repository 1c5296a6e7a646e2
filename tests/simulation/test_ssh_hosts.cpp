// The servers a Server field offers: the aliases of an SSH configuration
// (with its Include files) and the list of servers used last.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "simulation/ssh_hosts.h"

namespace {

using Names = std::vector<std::string>;

class SshHosts : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/quelm-hosts-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        const char* h = std::getenv("HOME");
        old_home_ = h ? h : "";
        setenv("HOME", dir_.c_str(), 1);
        std::filesystem::create_directories(dir_ + "/.ssh/conf.d");
    }
    void TearDown() override {
        setenv("HOME", old_home_.c_str(), 1);
        std::filesystem::remove_all(dir_);
    }
    void write(const std::string& name, const std::string& text) { std::ofstream(dir_ + "/" + name) << text; }
    std::string dir_, old_home_;
};

TEST_F(SshHosts, AliasesOfHostLinesWithTheirIncludes) {
    write(".ssh/config",
          "# clusters\n"
          "Host lumi lumi-login  # two names of one\n"
          "    HostName lumi.example.org\n"
          "Host *.internal !bad  gate?\n"
          "  ProxyJump bastion\n"
          "host=bastion\n"
          "  User me\n"
          "Include conf.d/*.conf\n"
          "Match host x exec \"true\"\n"
          "Host \"quoted name\" lumi\n"
          "Host\tpuhti\r\n");
    write(".ssh/conf.d/a.conf", "Host mahti\n  Include ../config\n");  // a loop ends
    write(".ssh/conf.d/b.conf", "HOST triton\n");
    EXPECT_EQ(QN_ssh_config_aliases(QN_ssh_user_config()),
              (Names{"lumi", "lumi-login", "bastion", "mahti", "triton", "quoted name", "puhti"}));
}

TEST_F(SshHosts, NoFileNoAliases) {
    EXPECT_TRUE(QN_ssh_config_aliases(dir_ + "/none").empty());
    EXPECT_TRUE(QN_ssh_config_aliases(dir_ + "/.ssh").empty());  // a folder
}

TEST_F(SshHosts, RecentServersMostRecentFirstWithoutRepeats) {
    unsetenv("XDG_CONFIG_HOME");
    const std::string file = QN_recent_servers_file();
    EXPECT_EQ(file, dir_ + "/.config/quelm/recent-servers");
    EXPECT_TRUE(QN_recent_servers(file).empty());
    for (const char* s : {"lumi", "me@10.0.0.5:2222", "[::1]:2200", "lumi"}) EXPECT_TRUE(QN_remember_server(s, file));
    EXPECT_EQ(QN_recent_servers(file), (Names{"lumi", "[::1]:2200", "me@10.0.0.5:2222"}));
    // Nothing with a blank or a line end is kept: a field's text is one name.
    for (const char* s : {"", "a b", "x\ny", "tab\there"}) EXPECT_FALSE(QN_remember_server(s, file)) << s;
    EXPECT_EQ(QN_recent_servers(file).size(), 3u);
    for (int k = 0; k < 12; k++) QN_remember_server("host" + std::to_string(k), file, 5);
    EXPECT_EQ(QN_recent_servers(file), (Names{"host11", "host10", "host9", "host8", "host7"}));
    setenv("XDG_CONFIG_HOME", (dir_ + "/xdg").c_str(), 1);
    EXPECT_EQ(QN_recent_servers_file(), dir_ + "/xdg/quelm/recent-servers");
    unsetenv("XDG_CONFIG_HOME");
}

TEST_F(SshHosts, AFolderThatCannotBeMadeIsAFailedWrite) {
    write("plain", "a file where the folder would be\n");
    EXPECT_FALSE(QN_remember_server("lumi", dir_ + "/plain/recent-servers"));
    // A folder in the file's place stays, and no temporary file is left.
    EXPECT_FALSE(QN_remember_server("lumi", dir_ + "/.ssh/conf.d"));
    EXPECT_TRUE(std::filesystem::is_directory(dir_ + "/.ssh/conf.d"));
    for (const auto& e : std::filesystem::directory_iterator(dir_ + "/.ssh"))
        EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();
}

TEST_F(SshHosts, ChoicesAreRecentThenAliases) {
    write(".ssh/config", "Host lumi\nHost puhti\n");
    const std::string recent = dir_ + "/recent";
    QN_remember_server("puhti", recent);
    QN_remember_server("me@host:2222", recent);
    EXPECT_EQ(QN_server_choices(QN_ssh_user_config(), recent), (Names{"me@host:2222", "puhti", "lumi"}));
}

}  // namespace
