// The servers a user can pick in a Server field: the Host aliases of their
// SSH configuration, and the servers they used last. Neither holds a secret:
// a Server field names a host, never a password.
#pragma once

#include <string>
#include <vector>

// The aliases the SSH client configuration at `path` defines: every pattern
// of a "Host" line that names one host (no '*', '?' or '!'), in the order of
// the file, each once; "Include" lines are followed (relative names below
// ~/.ssh, glob patterns allowed, at most 16 levels deep), "Match" blocks add
// nothing. An unreadable file gives none. Keywords are case-insensitive and
// may be written "Host=alias".
std::vector<std::string> QN_ssh_config_aliases(const std::string& path);
// The user's configuration: $HOME/.ssh/config.
std::string QN_ssh_user_config();

// The file of the servers used last: $XDG_CONFIG_HOME/quelm/recent-servers,
// or $HOME/.config/quelm/recent-servers.
std::string QN_recent_servers_file();
// The servers of that file (or of `path`), the most recent first.
std::vector<std::string> QN_recent_servers(const std::string& path = QN_recent_servers_file());
// Puts `server` first in the file (at most `keep` entries; an entry met
// again moves up), creating its folder; the file is written in full under
// another name and renamed. A server with a space, a control character or
// nothing in it is not kept. False when the file cannot be written.
bool QN_remember_server(const std::string& server, const std::string& path = QN_recent_servers_file(),
                        size_t keep = 10);

// What a Server field offers: the recent servers, then the aliases not
// among them.
std::vector<std::string> QN_server_choices(const std::string& config = QN_ssh_user_config(),
                                           const std::string& recent = QN_recent_servers_file());
