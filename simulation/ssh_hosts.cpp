#include "simulation/ssh_hosts.h"

#include <glob.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "qb/qb_file.h"

namespace {

std::string home() {
    const char* h = std::getenv("HOME");
    return h && *h ? h : ".";
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// A line's words: the keyword (up to blanks or '='), then its arguments
// (blank-separated, "double quoted" ones may hold blanks).
std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> out;
    size_t i = line.find_first_not_of(" \t");
    if (i == std::string::npos || line[i] == '#') return out;
    const size_t end = line.find_first_of(" \t=", i);
    out.push_back(line.substr(i, end == std::string::npos ? std::string::npos : end - i));
    i = end == std::string::npos ? line.size() : end;
    i = line.find_first_not_of(" \t", i);
    if (i != std::string::npos && line[i] == '=') i++;
    while (i < line.size()) {
        i = line.find_first_not_of(" \t", i);
        if (i == std::string::npos || line[i] == '#') break;
        std::string word;
        if (line[i] == '"') {
            const size_t close = line.find('"', i + 1);
            word = line.substr(i + 1, close == std::string::npos ? std::string::npos : close - i - 1);
            i = close == std::string::npos ? line.size() : close + 1;
        } else {
            const size_t stop = line.find_first_of(" \t", i);
            word = line.substr(i, stop == std::string::npos ? std::string::npos : stop - i);
            i = stop == std::string::npos ? line.size() : stop;
        }
        out.push_back(word);
    }
    return out;
}

void read_config(const std::string& path, int depth, std::vector<std::string>& aliases) {
    std::string text;
    if (depth > 16 || !QB_read_text_file(path, text)) return;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::vector<std::string> w = words(line);
        if (w.empty()) continue;
        const std::string key = lower(w[0]);
        if (key == "host") {
            for (size_t k = 1; k < w.size(); k++) {
                const std::string& p = w[k];
                if (p.empty() || p.find_first_of("*?!") != std::string::npos) continue;
                if (std::find(aliases.begin(), aliases.end(), p) == aliases.end()) aliases.push_back(p);
            }
        } else if (key == "include") {
            for (size_t k = 1; k < w.size(); k++) {
                std::string pattern = w[k];
                if (pattern.rfind("~/", 0) == 0)
                    pattern = home() + pattern.substr(1);
                else if (pattern.empty() || pattern[0] != '/')
                    pattern = home() + "/.ssh/" + pattern;
                glob_t found{};
                if (glob(pattern.c_str(), 0, nullptr, &found) == 0)
                    for (size_t n = 0; n < found.gl_pathc; n++) read_config(found.gl_pathv[n], depth + 1, aliases);
                globfree(&found);
            }
        }
    }
}

bool keepable(const std::string& server) {
    if (server.empty()) return false;
    for (char c : server)
        if (std::isspace(static_cast<unsigned char>(c)) || std::iscntrl(static_cast<unsigned char>(c))) return false;
    return true;
}

}  // namespace

std::vector<std::string> QN_ssh_config_aliases(const std::string& path) {
    std::vector<std::string> aliases;
    read_config(path, 0, aliases);
    return aliases;
}

std::string QN_ssh_user_config() { return home() + "/.ssh/config"; }

std::string QN_recent_servers_file() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    const std::string base = xdg && *xdg == '/' ? std::string(xdg) : home() + "/.config";
    return base + "/quelm/recent-servers";
}

std::vector<std::string> QN_recent_servers(const std::string& path) {
    std::vector<std::string> out;
    std::string text;
    if (!QB_read_text_file(path, text)) return out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (keepable(line) && std::find(out.begin(), out.end(), line) == out.end()) out.push_back(line);
    return out;
}

bool QN_remember_server(const std::string& server, const std::string& path, size_t keep) {
    if (!keepable(server)) return false;
    std::vector<std::string> list = QN_recent_servers(path);
    list.erase(std::remove(list.begin(), list.end(), server), list.end());
    list.insert(list.begin(), server);
    if (list.size() > keep) list.resize(keep);
    std::error_code ec;
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (!folder.empty()) std::filesystem::create_directories(folder, ec);
    QB_output_file out(path);
    if (!out) return false;
    for (const std::string& s : list) std::fprintf(out.get(), "%s\n", s.c_str());
    return out.commit();
}

std::vector<std::string> QN_server_choices(const std::string& config, const std::string& recent) {
    std::vector<std::string> out = QN_recent_servers(recent);
    for (const std::string& a : QN_ssh_config_aliases(config))
        if (std::find(out.begin(), out.end(), a) == out.end()) out.push_back(a);
    return out;
}
