#include "simulation/campaign.h"

#include <fnmatch.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <system_error>

#include "qb/qb_file.h"
#include "store/quelm_resources.h"
#include "store/quelm_store.h"

namespace fs = std::filesystem;

namespace {

const char kRecordWord[] = "quelm-campaign";
const char kStateWord[] = "quelm-campaign-state";
constexpr int kVersion = 1;

bool one_line(const std::string& text) { return text.find_first_of(std::string("\n\r\0", 3)) == std::string::npos; }

std::string quote(const std::string& word) {
    std::string q = "'";
    for (char c : word) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// The account's login shell may be csh or tcsh: the commands of a campaign
// are written for a POSIX shell and run in one.
std::string posix(const std::string& command) { return "/bin/sh -c " + quote(command); }

bool write_text(const std::string& path, const std::string& text, std::string& why) {
    QB_output_file file(path);
    if (!file) {
        why = "cannot write " + path;
        return false;
    }
    std::fwrite(text.data(), 1, text.size(), file.get());
    if (!file.commit()) {
        why = "cannot write " + path;
        return false;
    }
    return true;
}

// "key value" lines; the value is the rest of the line after one blank.
void put(std::string& out, const char* key, const std::string& value) { out += std::string(key) + " " + value + "\n"; }
void put(std::string& out, const char* key, int value) { put(out, key, std::to_string(value)); }

bool to_int(const std::string& text, int& value) {
    if (text.empty() || text.find_first_not_of("-0123456789") != std::string::npos) return false;
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (*end || v < -1000000000L || v > 1000000000L) return false;
    value = static_cast<int>(v);
    return true;
}

// Indices as QN_index_ranges writes them.
bool parse_ranges(const std::string& text, std::vector<int>& indices) {
    indices.clear();
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, ',');) {
        const size_t dash = part.find('-');
        int a = 0, b = 0;
        if (dash == std::string::npos) {
            if (!to_int(part, a) || a < 0) return false;
            b = a;
        } else if (!to_int(part.substr(0, dash), a) || !to_int(part.substr(dash + 1), b) || a < 0 || b < a) {
            return false;
        }
        if (!indices.empty() && a <= indices.back()) return false;
        if (b - a > 10000000) return false;
        for (int i = a; i <= b; i++) indices.push_back(i);
    }
    return !indices.empty();
}

std::string state_path(const std::string& record) { return record + ".state"; }

// The job and index a task runs as now: "1234_5", or "" when none.
std::string job_of(const QN_campaign& c, int task) {
    size_t k = 0;
    int index = 0;
    if (!QN_array_of_task(c.arrays, task, k, index)) return "";
    return c.arrays[k].job_id + "_" + std::to_string(index);
}

const QN_scheduler_kind* queued_kind(const QN_campaign& c, std::string& why) {
    const QN_scheduler_kind* kind = QN_scheduler_find(c.scheduler);
    if (!kind || !kind->queued) {
        why = "the campaign's scheduler \"" + c.scheduler + "\" queues no jobs";
        return nullptr;
    }
    return kind;
}

}  // namespace

// ---- The record ----------------------------------------------------------------

std::string QN_utc_text(long long seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

std::string QN_campaign_text(const QN_campaign& c) {
    std::string out = "# A campaign of Quelm Visualizer: its tasks on the scheduler of a server\n";
    put(out, kRecordWord, kVersion);
    put(out, "server", c.server);
    if (c.port > 0) put(out, "port", c.port);
    if (!c.user.empty()) put(out, "user", c.user);
    if (!c.jump.empty()) put(out, "jump", c.jump);
    if (!c.ssh_config.empty()) put(out, "ssh_config", c.ssh_config);
    if (!c.identity.empty()) put(out, "identity", c.identity);
    if (!c.known_hosts.empty()) put(out, "known_hosts", c.known_hosts);
    put(out, "folder", c.folder);
    put(out, "scheduler", c.scheduler);
    put(out, "submitted", c.submitted);
    put(out, "source", c.source);
    put(out, "tasks", c.tasks);
    const QN_job_settings& j = c.job;
    put(out, "job_name", j.job_name);
    put(out, "partition", j.partition);
    put(out, "nodes", j.nodes);
    put(out, "ntasks", j.tasks);
    put(out, "cpus_per_task", j.cpus_per_task);
    put(out, "time", j.time);
    put(out, "memory", j.memory);
    put(out, "account", j.account);
    put(out, "qos", j.qos);
    put(out, "max_running", j.max_running);
    put(out, "launcher", j.launcher);
    for (const auto& line : j.environment) put(out, "environment", line);
    for (const auto& a : c.arrays)
        put(out, "array", a.job_id + " " + std::to_string(a.part.first_task) + " " + QN_index_ranges(a.part.index_list()));
    for (const auto& line : c.settings) put(out, "setting", line);
    return out;
}

bool QN_campaign_parse(const std::string& text, QN_campaign& campaign, std::string& why) {
    QN_campaign c;
    c.job.launcher.clear();
    std::stringstream in(text);
    bool headed = false;
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        number++;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const size_t blank = line.find(' ');
        const std::string key = line.substr(0, blank);
        const std::string value = blank == std::string::npos ? std::string() : line.substr(blank + 1);
        const std::string where = "line " + std::to_string(number) + ": ";
        if (!headed) {
            int version = 0;
            if (key != kRecordWord || !to_int(value, version)) {
                why = "not a campaign record";
                return false;
            }
            if (version != kVersion) {
                why = "campaign record version " + value + " is not known to this program";
                return false;
            }
            headed = true;
            continue;
        }
        int* number_field = key == "port"            ? &c.port
                            : key == "tasks"         ? &c.tasks
                            : key == "nodes"         ? &c.job.nodes
                            : key == "ntasks"        ? &c.job.tasks
                            : key == "cpus_per_task" ? &c.job.cpus_per_task
                            : key == "max_running"   ? &c.job.max_running
                                                     : nullptr;
        std::string* text_field = key == "server"       ? &c.server
                                  : key == "user"        ? &c.user
                                  : key == "jump"        ? &c.jump
                                  : key == "ssh_config"  ? &c.ssh_config
                                  : key == "identity"    ? &c.identity
                                  : key == "known_hosts" ? &c.known_hosts
                                  : key == "folder"      ? &c.folder
                                  : key == "scheduler"   ? &c.scheduler
                                  : key == "submitted"   ? &c.submitted
                                  : key == "source"      ? &c.source
                                  : key == "job_name"    ? &c.job.job_name
                                  : key == "partition"   ? &c.job.partition
                                  : key == "time"        ? &c.job.time
                                  : key == "memory"      ? &c.job.memory
                                  : key == "account"     ? &c.job.account
                                  : key == "qos"         ? &c.job.qos
                                  : key == "launcher"    ? &c.job.launcher
                                                         : nullptr;
        if (number_field) {
            if (!to_int(value, *number_field)) {
                why = where + key + " \"" + value + "\" is not a number";
                return false;
            }
        } else if (text_field) {
            *text_field = value;
        } else if (key == "environment") {
            c.job.environment.push_back(value);
        } else if (key == "setting") {
            c.settings.push_back(value);
        } else if (key == "array") {
            std::stringstream words(value);
            QN_submitted_array a;
            std::string first, ranges;
            words >> a.job_id >> first >> ranges;
            std::vector<int> indices;
            if (a.job_id.empty() || a.job_id.find_first_not_of("0123456789") != std::string::npos ||
                !to_int(first, a.part.first_task) || a.part.first_task < 1 || !parse_ranges(ranges, indices)) {
                why = where + "array \"" + value + "\" is not JOB FIRST_TASK INDICES";
                return false;
            }
            a.part.count = static_cast<int>(indices.size());
            if (indices.back() != a.part.count - 1) a.part.indices = indices;
            c.arrays.push_back(a);
        }
        // Other keys are of later versions' additions: ignored.
    }
    if (!headed) {
        why = "not a campaign record";
        return false;
    }
    if (c.server.empty() || c.folder.empty() || c.scheduler.empty() || c.tasks < 1 || c.arrays.empty()) {
        why = "the campaign record lacks its server, folder, scheduler, tasks or arrays";
        return false;
    }
    for (const auto& a : c.arrays) {
        const std::vector<int> list = a.part.index_list();
        if (a.part.first_task + list.back() > c.tasks) {
            why = "array " + a.job_id + " holds tasks beyond the campaign's " + std::to_string(c.tasks);
            return false;
        }
    }
    campaign = c;
    return true;
}

bool QN_campaign_save(const std::string& path, const QN_campaign& campaign, std::string& why) {
    const std::vector<std::string> texts = {campaign.server, campaign.user,     campaign.jump,
                                            campaign.ssh_config, campaign.identity, campaign.known_hosts,
                                            campaign.folder, campaign.source,   campaign.job.launcher};
    for (const auto& t : texts)
        if (!one_line(t)) {
            why = "a campaign setting holds a line end";
            return false;
        }
    for (const auto& t : campaign.settings)
        if (!one_line(t)) {
            why = "a campaign setting holds a line end";
            return false;
        }
    return write_text(path, QN_campaign_text(campaign), why);
}

bool QN_campaign_load(const std::string& path, QN_campaign& campaign, std::string& why) {
    std::string text, reason;
    if (!QB_read_text_file(path, text, &reason)) {
        why = reason;
        return false;
    }
    if (!QN_campaign_parse(text, campaign, why)) {
        why = path + ": " + why;
        return false;
    }
    return true;
}

std::vector<std::string> QN_campaign_files(const std::string& folder) {
    std::vector<std::string> files;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        if (it->path().extension() == ".qnc" && it->is_regular_file(ec)) files.push_back(it->path().string());
    std::sort(files.begin(), files.end());
    return files;
}

QN_ssh_options QN_campaign_ssh_options(const QN_campaign& c) {
    QN_ssh_options o;
    o.host = c.server;
    o.port = c.port;
    o.user = c.user;
    o.jump = c.jump;
    o.ssh_config = c.ssh_config;
    o.identity = c.identity;
    o.known_hosts = c.known_hosts;
    return o;
}

void QN_campaign_set_server(QN_campaign& c, const QN_ssh_options& o) {
    c.server = o.host;
    c.port = o.port;
    c.user = o.user;
    c.jump = o.jump;
    c.ssh_config = o.ssh_config;
    c.identity = o.identity;
    c.known_hosts = o.known_hosts;
}

std::string QN_job_template_path(const QN_scheduler_kind& kind) {
    if (!kind.template_file) return "";
    std::string config;
    if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x)
        config = x;
    else if (const char* home = std::getenv("HOME"); home && *home)
        config = std::string(home) + "/.config";
    if (!config.empty()) {
        const std::string own = config + "/quelm/" + kind.template_file;
        if (QB_file_exists(own)) return own;
    }
    return QN_resource_path(std::string("config/") + kind.template_file);
}

namespace {

const std::vector<std::pair<const char*, const char*>> kJobLabels = {
    {"S_sched", "direct"}, {"S_jobname", ""},   {"S_partition", ""}, {"S_jobtime", ""},
    {"S_nodes", "1"},      {"S_ntasks", "1"},   {"S_cpus", "1"},     {"S_jobmem", ""},
    {"S_account", ""},     {"S_qos", ""},       {"S_jobenv", ""},    {"S_maxrun", "0"},
    {"S_launcher", "srun lmp -in in"},          {"S_campdir", "."},
};

}  // namespace

const std::vector<std::pair<const char*, const char*>>& QN_job_labels() { return kJobLabels; }

bool QN_job_write_defaults(int group) {
    bool ok = true;
    for (const auto& [label, value] : kJobLabels) ok = QN_set_bit_char(group, label, value) >= 0 && ok;
    return ok;
}

std::string QN_job_name_of(const std::string& folder) {
    std::string name = fs::path(folder).filename().string();
    if (name.empty()) name = fs::path(folder).parent_path().filename().string();
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-') c = '_';
    return name.empty() ? "quelm" : name;
}

bool QN_job_from_group(int group, const std::string& server_folder, const QN_scheduler_kind*& kind,
                       QN_job_settings& job, std::string& campaign_dir, std::string& why) {
    auto text = [group](const char* label, const char* fallback) {
        std::string v = QN_stored_text(group, label, fallback);
        return v == "blank" ? std::string() : v;
    };
    kind = QN_scheduler_find(text("S_sched", "direct"));
    job = QN_job_settings();
    job.job_name = text("S_jobname", "");
    if (job.job_name.empty()) job.job_name = QN_job_name_of(server_folder);
    job.partition = text("S_partition", "");
    job.time = text("S_jobtime", "");
    job.memory = text("S_jobmem", "");
    job.account = text("S_account", "");
    job.qos = text("S_qos", "");
    job.launcher = text("S_launcher", "srun lmp -in in");
    std::stringstream env(text("S_jobenv", ""));
    for (std::string line; std::getline(env, line, ';');) {
        const size_t b = line.find_first_not_of(" \t"), e = line.find_last_not_of(" \t");
        if (b != std::string::npos) job.environment.push_back(line.substr(b, e - b + 1));
    }
    struct Number {
        const char* label;
        const char* name;
        int* field;
        int least;
    } numbers[] = {{"S_nodes", "Nodes", &job.nodes, 1},
                   {"S_ntasks", "Tasks", &job.tasks, 1},
                   {"S_cpus", "CPUs per task", &job.cpus_per_task, 1},
                   {"S_maxrun", "Max running", &job.max_running, 0}};
    for (const Number& n : numbers) {
        const std::string v = text(n.label, n.least ? "1" : "0");
        if (!to_int(v, *n.field) || *n.field < n.least) {
            why = std::string(n.name) + " \"" + v + "\" is not a whole number of at least " + std::to_string(n.least);
            return false;
        }
    }
    campaign_dir = text("S_campdir", ".");
    if (campaign_dir.empty()) campaign_dir = ".";
    return true;
}

std::string QN_campaign_new_path(const std::string& folder, const std::string& name) {
    std::error_code ec;
    for (int k = 1;; k++) {
        const std::string path = folder + "/" + name + (k == 1 ? "" : "-" + std::to_string(k)) + ".qnc";
        if (!fs::exists(fs::symlink_status(path, ec))) return path;
    }
}

std::vector<std::string> QN_group_settings(int group) {
    std::vector<std::string> lines;
    std::error_code ec;
    std::string dir = (fs::temp_directory_path(ec) / "quelm_settings_XXXXXX").string();
    if (!mkdtemp(dir.data())) return lines;
    std::string text;
    if (QN_dump_status(dir + "/status.qnw", group) >= 0) QB_read_text_file(dir + "/status.qnw", text);
    fs::remove_all(dir, ec);
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::string lower = line;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (lower.find("pass") != std::string::npos) continue;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

bool QN_campaign_record(QN_campaign& campaign, const QN_ssh_options& options, const std::string& source, int group,
                        const std::string& path, std::string& why) {
    QN_campaign_set_server(campaign, options);
    campaign.source = source;
    campaign.settings = QN_group_settings(group);
    if (QN_campaign_save(path, campaign, why)) return true;
    std::string ids;
    for (const auto& a : campaign.arrays) ids += " " + a.job_id;
    why += "\nthe scheduler runs the jobs" + ids + ": cancel them on the server if they are not wanted";
    return false;
}

// ---- States --------------------------------------------------------------------

std::array<int, QN_TASK_STATES> QN_campaign_status::counts() const {
    std::array<int, QN_TASK_STATES> n{};
    for (const auto& t : tasks) n[static_cast<int>(t.state)]++;
    return n;
}

std::string QN_campaign_status::count_text() const {
    // Ended states first, as a researcher reads a campaign's progress.
    static const QN_task_state order[] = {QN_task_state::completed, QN_task_state::failed,  QN_task_state::timeout,
                                          QN_task_state::out_of_memory, QN_task_state::cancelled,
                                          QN_task_state::running,   QN_task_state::pending, QN_task_state::unknown};
    const auto n = counts();
    std::string text;
    for (QN_task_state s : order) {
        const int k = n[static_cast<int>(s)];
        if (k == 0) continue;
        if (!text.empty()) text += ", ";
        text += std::to_string(k) + " " + QN_task_state_name(s);
    }
    return text.empty() ? "no task" : text;
}

int QN_campaign_poll(QN_ssh_session& session, const QN_campaign& campaign, QN_campaign_status& status) {
    status = QN_campaign_status();
    status.tasks.assign(static_cast<size_t>(std::max(campaign.tasks, 0)), QN_task_status());
    const QN_scheduler_kind* kind = queued_kind(campaign, status.error);
    if (!kind) return QN_SSH_FAILED;
    std::string output;
    int exit_status = -1;
    const int ran = session.exec(posix(kind->query_command(campaign.arrays, campaign.folder)), &exit_status, &output);
    if (ran != QN_SSH_OK) {
        status.error = "the server could not be asked: " + session.message();
        return ran;
    }
    std::string why;
    if (!kind->query(output, campaign.arrays, campaign.tasks, status.tasks, status.source, why)) {
        status.error = "the scheduler could not be asked: " + why;
        return QN_SSH_FAILED;
    }
    status.error = why;
    return QN_SSH_OK;
}

namespace {

// The kept states with the job each was seen for.
struct KeptStates {
    QN_campaign_status status;
    std::vector<std::string> jobs;
};

KeptStates read_kept(const std::string& path, const QN_campaign& campaign) {
    KeptStates kept;
    kept.status.tasks.assign(static_cast<size_t>(std::max(campaign.tasks, 0)), QN_task_status());
    kept.jobs.assign(kept.status.tasks.size(), std::string());
    std::string text;
    if (!QB_read_text_file(state_path(path), text)) return kept;
    std::stringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != std::string(kStateWord) + " 1") return kept;
    while (std::getline(in, line)) {
        std::stringstream words(line);
        std::string key;
        words >> key;
        if (key == "polled") {
            words >> kept.status.polled;
        } else if (key == "source") {
            words >> kept.status.source;
        } else if (key == "error") {
            std::getline(words >> std::ws, kept.status.error);
        } else if (key == "task") {
            int task = 0, code = -1;
            long elapsed = -1;
            std::string state, job;
            words >> task >> state >> code >> elapsed >> job;
            if (task < 1 || task > campaign.tasks) continue;
            QN_task_status& s = kept.status.tasks[task - 1];
            s.state = QN_task_state_from_slurm(state);
            s.exit_code = code;
            s.elapsed = elapsed;
            kept.jobs[task - 1] = job;
        }
    }
    return kept;
}

void write_kept(const std::string& path, const QN_campaign& campaign, const QN_campaign_status& status) {
    std::string out = std::string(kStateWord) + " 1\n";
    out += "polled " + std::to_string(status.polled) + "\n";
    if (!status.source.empty()) out += "source " + status.source + "\n";
    if (!status.error.empty() && one_line(status.error)) out += "error " + status.error + "\n";
    for (size_t k = 0; k < status.tasks.size(); k++) {
        const QN_task_status& s = status.tasks[k];
        const std::string job = job_of(campaign, static_cast<int>(k) + 1);
        out += "task " + std::to_string(k + 1) + " " + QN_task_state_name(s.state) + " " +
               std::to_string(s.exit_code) + " " + std::to_string(s.elapsed) + " " + (job.empty() ? "-" : job) + "\n";
    }
    std::string why;
    write_text(state_path(path), out, why);  // the states are a convenience: a failed write loses nothing
}

}  // namespace

QN_campaign_status QN_campaign_last_status(const std::string& path, const QN_campaign& campaign) {
    KeptStates kept = read_kept(path, campaign);
    // States seen for an array the task no longer runs in say nothing now.
    for (size_t k = 0; k < kept.status.tasks.size(); k++)
        if (kept.jobs[k] != job_of(campaign, static_cast<int>(k) + 1)) kept.status.tasks[k] = QN_task_status();
    kept.status.cached = true;
    return kept.status;
}

QN_campaign_status QN_campaign_refresh(const std::string& path, const QN_campaign& campaign,
                                       const QN_ssh_options& options, int interval, long long now) {
    interval = std::max(interval, QN_POLL_MINIMUM);
    QN_campaign_status last = QN_campaign_last_status(path, campaign);
    if (last.polled > 0 && now >= last.polled && now - last.polled < interval) return last;
    QN_campaign_status status;
    QN_ssh_session session;
    if (session.open(options) != QN_SSH_OK) {
        status.tasks.assign(static_cast<size_t>(std::max(campaign.tasks, 0)), QN_task_status());
        status.error = "the server could not be reached: " + session.message();
    } else {
        QN_campaign_poll(session, campaign, status);
        session.close();
    }
    status.polled = now;
    // An ended task stays ended: what the scheduler forgot, or what a lost
    // connection hides, is taken from the last poll.
    for (size_t k = 0; k < status.tasks.size() && k < last.tasks.size(); k++)
        if (status.tasks[k].state == QN_task_state::unknown && QN_task_state_ended(last.tasks[k].state))
            status.tasks[k] = last.tasks[k];
    status.cached = false;
    write_kept(path, campaign, status);
    return status;
}

std::string QN_campaign_status_lines(const QN_campaign_status& status) {
    std::string out;
    char line[160];
    for (size_t k = 0; k < status.tasks.size(); k++) {
        const QN_task_status& s = status.tasks[k];
        const std::string code = s.exit_code >= 0 ? "exit " + std::to_string(s.exit_code) : "";
        std::snprintf(line, sizeof line, "R%-6zu %-13s %-9s %s", k + 1, QN_task_state_name(s.state), code.c_str(),
                      QN_elapsed_text(s.elapsed).c_str());
        std::string text = line;
        while (!text.empty() && text.back() == ' ') text.pop_back();
        out += text + "\n";
    }
    return out;
}

// ---- Acting on the tasks ---------------------------------------------------------

int QN_campaign_cancel(const QN_ssh_options& options, const QN_campaign& campaign, const std::vector<int>& tasks,
                       std::string& message) {
    const QN_scheduler_kind* kind = queued_kind(campaign, message);
    if (!kind) return QN_SSH_FAILED;
    for (int t : tasks)
        if (t < 1 || t > campaign.tasks) {
            message = "task " + std::to_string(t) + " is not among the campaign's tasks 1 ... " +
                      std::to_string(campaign.tasks);
            return QN_SSH_FAILED;
        }
    QN_ssh_session session;
    if (session.open(options) != QN_SSH_OK) {
        message = session.message();
        return QN_SSH_FAILED;
    }
    std::string output;
    int status = -1;
    const std::string command = kind->cancel_command(campaign.arrays, tasks);
    if (session.exec(posix(command), &status, &output) != QN_SSH_OK) {
        message = session.message();
        return QN_SSH_FAILED;
    }
    while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) output.pop_back();
    if (status != 0) {
        message = output.empty() ? command + " ended with exit status " + std::to_string(status) : output;
        return QN_SSH_FAILED;
    }
    message = tasks.empty() ? "Cancelled the campaign's " + std::to_string(campaign.tasks) + " tasks"
                            : "Cancelled " + std::to_string(tasks.size()) + (tasks.size() == 1 ? " task" : " tasks");
    if (!output.empty()) message += "\n" + output;
    return QN_SSH_OK;
}

std::string QN_fetch_report::summary() const {
    if (!error.empty()) return "Fetch failed: " + error;
    std::string text;
    if (ok())
        text = "Fetched " + std::to_string(done.size()) + (done.size() == 1 ? " file" : " files");
    else
        text = "Fetch failed: " + std::to_string(failed.size()) + " of " +
               std::to_string(done.size() + skipped.size() + failed.size()) + " files could not be fetched";
    if (!skipped.empty()) text += " (" + std::to_string(skipped.size()) + " already home)";
    if (!waiting.empty())
        text += "; " + std::to_string(waiting.size()) + (waiting.size() == 1 ? " task has" : " tasks have") +
                " not ended";
    for (const auto& f : failed) text += "\n" + f.first + ": " + f.second;
    return text;
}

namespace {

bool matches(const std::vector<std::string>& patterns, const std::string& path) {
    if (patterns.empty()) return true;
    const std::string base = path.substr(path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/') + 1);
    for (const auto& p : patterns)
        if (fnmatch(p.c_str(), path.c_str(), FNM_PATHNAME) == 0 || fnmatch(p.c_str(), base.c_str(), 0) == 0)
            return true;
    return false;
}

struct RemoteFile {
    std::string remote, local, name;
    uint64_t size = 0;
};

// Every regular file below dir (names that could leave a local folder are
// left out), as relative paths with their sizes.
void walk(QN_ssh_session& session, const std::string& dir, const std::string& prefix,
          std::vector<std::pair<std::string, uint64_t>>& files, int depth) {
    std::vector<QN_remote_entry> entries;
    if (depth > 32 || session.list(dir, entries) != QN_SSH_OK) return;
    std::sort(entries.begin(), entries.end(),
              [](const QN_remote_entry& a, const QN_remote_entry& b) { return a.name < b.name; });
    for (const auto& e : entries) {
        if (!QN_remote_name_ok(e.name)) continue;
        const std::string rel = prefix.empty() ? e.name : prefix + "/" + e.name;
        if (e.is_dir)
            walk(session, dir + "/" + e.name, rel, files, depth + 1);
        else
            files.emplace_back(rel, e.size);
    }
}

}  // namespace

QN_fetch_report QN_campaign_fetch(const QN_ssh_options& options, const QN_campaign& campaign,
                                  const QN_campaign_status& status, const std::vector<int>& tasks,
                                  const std::string& save, const std::vector<std::string>& patterns,
                                  const std::function<void(int, int)>& progress) {
    QN_fetch_report report;
    std::error_code ec;
    if (save.empty() || !fs::is_directory(save, ec)) {
        report.error = "Can not access save folder " + save;
        return report;
    }
    std::vector<int> chosen = tasks;
    if (chosen.empty())
        for (int t = 1; t <= campaign.tasks; t++) chosen.push_back(t);
    std::vector<int> ended;
    for (int t : chosen) {
        if (t < 1 || t > campaign.tasks) continue;
        if (static_cast<size_t>(t) <= status.tasks.size() && QN_task_state_ended(status.tasks[t - 1].state))
            ended.push_back(t);
        else
            report.waiting.push_back(t);
    }
    if (ended.empty()) return report;
    QN_ssh_session session;
    if (session.open(options) != QN_SSH_OK) {
        report.error = "Can not access server: " + session.message();
        return report;
    }
    std::vector<RemoteFile> files;
    for (int t : ended) {
        const std::string task = "R" + std::to_string(t);
        std::vector<std::pair<std::string, uint64_t>> found;
        walk(session, campaign.folder + "/" + task, "", found, 0);
        // The scheduler's output of the task, kept in the campaign folder.
        const std::string job = job_of(campaign, t);
        if (!job.empty()) {
            const std::string out = "slurm-" + job + ".out";
            QN_remote_entry entry;
            if (session.stat(campaign.folder + "/" + out, &entry) == 1 && !entry.is_dir)
                files.push_back({campaign.folder + "/" + out, save + "/" + task + "/" + out, task + "/" + out,
                                 entry.size});
        }
        for (const auto& f : found)
            if (matches(patterns, f.first))
                files.push_back({campaign.folder + "/" + task + "/" + f.first, save + "/" + task + "/" + f.first,
                                 task + "/" + f.first, f.second});
    }
    const fs::path home = fs::canonical(save, ec);
    const int n = static_cast<int>(files.size());
    for (int k = 0; k < n; k++) {
        const RemoteFile& f = files[k];
        if (progress) progress(k, n);
        const auto size = fs::file_size(f.local, ec);
        if (!ec && fs::is_regular_file(fs::symlink_status(f.local, ec)) && size == f.size) {
            report.skipped.push_back(f.name);
            continue;
        }
        if (fs::is_symlink(fs::symlink_status(f.local, ec)) || !QN_local_path_inside(home.string(), f.local)) {
            report.failed.emplace_back(f.name, "refused: the path leads out of the save folder");
            continue;
        }
        if (session.download(f.remote, f.local, QN_existing::overwrite) == QN_SSH_OK)
            report.done.push_back(f.name);
        else
            report.failed.emplace_back(f.name, session.message());
    }
    if (progress) progress(n, n);
    return report;
}

std::vector<int> QN_campaign_failed_tasks(const QN_campaign_status& status) {
    std::vector<int> failed;
    for (size_t k = 0; k < status.tasks.size(); k++) {
        const QN_task_state s = status.tasks[k].state;
        if (s == QN_task_state::failed || s == QN_task_state::timeout || s == QN_task_state::out_of_memory)
            failed.push_back(static_cast<int>(k) + 1);
    }
    return failed;
}

int QN_campaign_resolve(QN_ssh_session& session, const QN_scheduler_kind& kind, const std::string& folder,
                        std::string& absolute, int& max_array_size, std::string& why) {
    std::string output;
    int status = -1;
    const std::string mark = "@quelm-folder ";
    const std::string command = "cd -- " + quote(folder) + " && printf '" + mark + "%s\\n' \"$(pwd)\" && " +
                                (kind.limit_command ? kind.limit_command() : std::string("true"));
    if (session.exec(posix(command), &status, &output) != QN_SSH_OK) {
        why = session.message();
        return QN_SSH_FAILED;
    }
    const size_t at = output.find(mark);
    if (status != 0 || at == std::string::npos) {
        while (!output.empty() && output.back() == '\n') output.pop_back();
        why = output.empty() ? "the server folder " + folder + " cannot be entered" : output;
        return QN_SSH_FAILED;
    }
    const size_t end = output.find('\n', at);
    absolute = output.substr(at + mark.size(), end == std::string::npos ? std::string::npos : end - at - mark.size());
    max_array_size = kind.limit ? kind.limit(output) : 0;
    return QN_SSH_OK;
}

int QN_campaign_submit_arrays(QN_ssh_session& session, QN_campaign& campaign, const std::string& templ,
                              const std::vector<int>& tasks, int max_array_size, std::string& why) {
    const QN_scheduler_kind* kind = queued_kind(campaign, why);
    if (!kind) return QN_SSH_FAILED;
    const std::vector<QN_array_part> parts = QN_split_tasks(tasks, max_array_size);
    if (parts.empty()) {
        why = "there is no task to submit";
        return QN_SSH_FAILED;
    }
    // Scripts first, all checked before anything reaches the scheduler.
    std::vector<std::string> scripts;
    std::vector<QN_upload_item> uploads;
    std::error_code ec;
    std::string pattern = (fs::temp_directory_path(ec) / "quelm_arrays_XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        why = "cannot create a private folder for the job scripts";
        return QN_SSH_LOCAL_FAILED;
    }
    const fs::path local = pattern;
    struct Remove {
        fs::path p;
        ~Remove() {
            std::error_code e;
            fs::remove_all(p, e);
        }
    } remove{local};
    for (size_t k = 0; k < parts.size(); k++) {
        std::string script;
        if (!kind->script(templ, campaign.job, campaign.folder, parts[k], script, why)) return QN_SSH_FAILED;
        const std::string name = "quelm-array-" + std::to_string(campaign.arrays.size() + k + 1) + ".sh";
        const std::string path = (local / name).string();
        if (!write_text(path, script, why)) return QN_SSH_LOCAL_FAILED;
        scripts.push_back(campaign.folder + "/" + name);
        uploads.push_back({path, scripts.back(), 0, std::string()});
    }
    if (session.upload_all(uploads) != QN_SSH_OK) {
        for (const auto& u : uploads)
            if (u.result != QN_SSH_OK) {
                why = "upload of " + u.remote + " failed: " + u.error;
                break;
            }
        return QN_SSH_FAILED;
    }
    // A task run again must not show the exit status of its last run.
    std::string clean = "cd -- " + quote(campaign.folder) + " && rm -f --";
    for (int t : tasks) clean += " R" + std::to_string(t) + "/exit_status";
    int status = -1;
    std::string output;
    if (session.exec(posix(clean), &status, &output) != QN_SSH_OK) {
        why = session.message();
        return QN_SSH_FAILED;
    }
    std::vector<QN_submitted_array> accepted;
    for (size_t k = 0; k < parts.size(); k++) {
        output.clear();
        const std::string command =
            "cd -- " + quote(campaign.folder) + " && " + kind->submit_command(scripts[k], parts[k], campaign.job.max_running);
        const int ran = session.exec(posix(command), &status, &output);
        std::string job, refusal;
        if (ran == QN_SSH_OK && status == 0 && kind->submitted(output, job, refusal)) {
            accepted.push_back({job, parts[k]});
            continue;
        }
        if (ran != QN_SSH_OK) {
            refusal = session.message();
        } else if (refusal.empty()) {
            refusal = output;
        }
        while (!refusal.empty() && (refusal.back() == '\n' || refusal.back() == '\r')) refusal.pop_back();
        why = refusal.empty() ? "the scheduler refused the array" : refusal;
        if (!accepted.empty()) {
            // All or nothing: the arrays taken already are withdrawn.
            std::string cancel_output;
            int cancelled = -1;
            const bool withdrawn = session.exec(posix(kind->cancel_command(accepted, {})), &cancelled, &cancel_output) ==
                                       QN_SSH_OK &&
                                   cancelled == 0;
            std::string ids;
            for (const auto& a : accepted) ids += (ids.empty() ? "" : ", ") + a.job_id;
            if (withdrawn) {
                why += "\n(the arrays already accepted, jobs " + ids + ", were cancelled)";
            } else {
                // They stay on the cluster: the record must know them.
                campaign.arrays.insert(campaign.arrays.end(), accepted.begin(), accepted.end());
                why += "\n(the arrays already accepted, jobs " + ids + ", could not be cancelled and are recorded)";
                return QN_SSH_EXISTS;
            }
        }
        return QN_SSH_FAILED;
    }
    campaign.arrays.insert(campaign.arrays.end(), accepted.begin(), accepted.end());
    return QN_SSH_OK;
}

int QN_campaign_resubmit(const std::string& path, QN_campaign& campaign, const QN_campaign_status& status,
                         const QN_ssh_options& options, const std::string& templ, std::string& why) {
    const QN_scheduler_kind* kind = queued_kind(campaign, why);
    if (!kind) return QN_SSH_FAILED;
    const std::vector<int> failed = QN_campaign_failed_tasks(status);
    if (failed.empty()) return 0;
    QN_ssh_session session;
    if (session.open(options) != QN_SSH_OK) {
        why = session.message();
        return QN_SSH_FAILED;
    }
    std::string absolute;
    int limit = 0;
    if (QN_campaign_resolve(session, *kind, campaign.folder, absolute, limit, why) != QN_SSH_OK) return QN_SSH_FAILED;
    QN_campaign next = campaign;
    const int submitted = QN_campaign_submit_arrays(session, next, templ, failed, limit, why);
    if (submitted != QN_SSH_OK && submitted != QN_SSH_EXISTS) return submitted;
    std::string saved;
    if (!QN_campaign_save(path, next, saved)) {
        why = (submitted == QN_SSH_OK ? "" : why + "\n") + saved + " (the jobs were submitted: " +
              next.arrays.back().job_id + ")";
        campaign = next;
        return QN_SSH_LOCAL_FAILED;
    }
    campaign = next;
    // The tasks run again wait in the queue now, whatever was seen of them.
    QN_campaign_status kept = QN_campaign_last_status(path, campaign);
    for (int t : failed)
        if (static_cast<size_t>(t) <= kept.tasks.size()) kept.tasks[t - 1] = {QN_task_state::pending, -1, -1};
    write_kept(path, campaign, kept);
    if (submitted != QN_SSH_OK) return QN_SSH_FAILED;
    return static_cast<int>(failed.size());
}
