#include "simulation/scheduler.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <sstream>

namespace {

bool one_line(const std::string& text) {
    return text.find_first_of(std::string("\n\r\0", 3)) == std::string::npos;
}

// A value of an #SBATCH line: one word, no control character.
bool option_word(const std::string& text) {
    for (char c : text)
        if (std::isspace(static_cast<unsigned char>(c)) || std::iscntrl(static_cast<unsigned char>(c))) return false;
    return true;
}

// A folder the script may name without quoting, in #SBATCH lines as in the
// shell: letters, digits and . _ - + / ~ only, and no ".." part.
bool safe_folder(const std::string& folder) {
    if (folder.empty()) return false;
    for (char c : folder)
        if (!std::isalnum(static_cast<unsigned char>(c)) && std::string("._-+/~").find(c) == std::string::npos)
            return false;
    return ("/" + folder + "/").find("/../") == std::string::npos;
}

std::string number(int v) { return v > 0 ? std::to_string(v) : std::string(); }

}  // namespace

std::vector<int> QN_array_part::index_list() const {
    if (!indices.empty()) return indices;
    std::vector<int> all(static_cast<size_t>(std::max(count, 0)));
    for (int i = 0; i < count; i++) all[i] = i;
    return all;
}

std::vector<QN_array_part> QN_split_arrays(int tasks, int max_array_size) {
    std::vector<QN_array_part> parts;
    const int size = max_array_size > 0 ? max_array_size : 1001;
    for (int first = 1; first <= tasks; first += size) parts.push_back({first, std::min(size, tasks - first + 1), {}});
    return parts;
}

std::vector<QN_array_part> QN_split_tasks(std::vector<int> tasks, int max_array_size) {
    const int size = max_array_size > 0 ? max_array_size : 1001;
    std::sort(tasks.begin(), tasks.end());
    tasks.erase(std::unique(tasks.begin(), tasks.end()), tasks.end());
    std::vector<QN_array_part> parts;
    for (int task : tasks) {
        if (task < 1) continue;
        if (parts.empty() || task - parts.back().first_task >= size) parts.push_back({task, 0, {}});
        parts.back().indices.push_back(task - parts.back().first_task);
        parts.back().count++;
    }
    // A run of consecutive tasks from the first is the plain form.
    for (QN_array_part& p : parts)
        if (p.indices.back() == p.count - 1) p.indices.clear();
    return parts;
}

bool QN_slurm_script(const std::string& templ, const QN_job_settings& s, const std::string& folder,
                     const QN_array_part& part, std::string& script, std::string& why) {
    if (!safe_folder(folder)) {
        why = "The server folder \"" + folder +
              "\" cannot be named in a job script: use letters, digits and . _ - + / ~ only";
        return false;
    }
    if (part.first_task < 1 || part.count < 1) {
        why = "An array needs at least one task";
        return false;
    }
    const std::map<std::string, std::string> words = {
        {"job_name", s.job_name},         {"partition", s.partition},      {"nodes", number(s.nodes)},
        {"tasks", number(s.tasks)},       {"cpus_per_task", number(s.cpus_per_task)},
        {"time", s.time},                 {"memory", s.memory},            {"account", s.account},
        {"qos", s.qos},                   {"folder", folder},              {"task_offset", std::to_string(part.first_task)},
    };
    for (const auto& [name, value] : words)
        if (!option_word(value)) {
            why = "The setting " + name + " \"" + value + "\" must be one word";
            return false;
        }
    for (const std::string& line : s.environment)
        if (!one_line(line)) {
            why = "An environment line holds a line end";
            return false;
        }
    if (!one_line(s.launcher) || s.launcher.find_first_not_of(" \t") == std::string::npos) {
        why = "The launcher must be one command line";
        return false;
    }
    std::ostringstream out;
    std::istringstream in(templ);
    for (std::string line; std::getline(in, line);) {
        // Comments (and the first line's #!) stay as they are; #SBATCH
        // lines are the scheduler's and are filled.
        if (line.rfind('#', 0) == 0 && line.rfind("#SBATCH", 0) != 0) {
            out << line << '\n';
            continue;
        }
        std::string done;
        bool drop = false;
        size_t at = 0;
        while (true) {
            const size_t open = line.find("{{", at);
            if (open == std::string::npos) {
                done += line.substr(at);
                break;
            }
            const size_t close = line.find("}}", open + 2);
            if (close == std::string::npos) {
                why = "The job-script template has a '{{' without '}}': " + line;
                return false;
            }
            const std::string name = line.substr(open + 2, close - open - 2);
            std::string value;
            if (name == "environment") {
                for (size_t k = 0; k < s.environment.size(); k++) value += (k ? "\n" : "") + s.environment[k];
            } else if (name == "launcher") {
                value = s.launcher;
            } else if (const auto w = words.find(name); w != words.end()) {
                value = w->second;
            } else {
                why = "The job-script template names an unknown setting {{" + name + "}}";
                return false;
            }
            if (value.empty()) drop = true;
            done += line.substr(at, open - at) + value;
            at = close + 2;
        }
        if (!drop) out << done << '\n';
    }
    script = out.str();
    return true;
}

std::string QN_index_ranges(const std::vector<int>& indices) {
    std::string text;
    for (size_t k = 0; k < indices.size();) {
        size_t end = k;
        while (end + 1 < indices.size() && indices[end + 1] == indices[end] + 1) end++;
        if (!text.empty()) text += ",";
        text += std::to_string(indices[k]);
        if (end > k) text += "-" + std::to_string(indices[end]);
        k = end + 1;
    }
    return text;
}

std::string QN_slurm_array_option(const QN_array_part& part, int max_running) {
    std::string option = "--parsable --array=";
    if (part.indices.empty())
        option += "0-" + std::to_string(std::max(part.count, 1) - 1);
    else
        option += QN_index_ranges(part.indices);
    if (max_running > 0) option += "%" + std::to_string(max_running);
    return option;
}

bool QN_parse_task_list(const std::string& text, int max_task, std::vector<int>& tasks, std::string& why) {
    std::vector<int> found;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, ',');) {
        const size_t b = part.find_first_not_of(" \t");
        const size_t e = part.find_last_not_of(" \t");
        part = b == std::string::npos ? std::string() : part.substr(b, e - b + 1);
        int first = 0, last = 0;
        char tail = 0;
        const bool range = std::sscanf(part.c_str(), "%d-%d%c", &first, &last, &tail) == 2;
        const bool one = !range && std::sscanf(part.c_str(), "%d%c", &first, &tail) == 1;
        if (one) last = first;
        if ((!range && !one) || part.find_first_not_of("0123456789-") != std::string::npos) {
            why = "\"" + part + "\" is not a task number or range (give 3,5-7)";
            return false;
        }
        if (first < 1 || last < first || last > max_task) {
            why = "tasks " + part + " are not among the campaign's tasks 1 ... " + std::to_string(max_task);
            return false;
        }
        for (int t = first; t <= last; t++) found.push_back(t);
    }
    if (found.empty()) {
        why = "no task given";
        return false;
    }
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    tasks = found;
    return true;
}

// ---- States ------------------------------------------------------------------

namespace {

const char* const kStateNames[QN_TASK_STATES] = {"unknown", "PENDING",   "RUNNING", "COMPLETED",
                                                 "FAILED",  "CANCELLED", "TIMEOUT", "OUT_OF_MEMORY"};

}  // namespace

const char* QN_task_state_name(QN_task_state state) { return kStateNames[static_cast<int>(state)]; }

QN_task_state QN_task_state_from_slurm(const std::string& text) {
    std::string name = text.substr(0, text.find(' '));  // "CANCELLED by 1000"
    while (!name.empty() && (name.back() == '+' || name.back() == '\r')) name.pop_back();
    static const std::map<std::string, QN_task_state> names = {
        {"PENDING", QN_task_state::pending},         {"PD", QN_task_state::pending},
        {"REQUEUED", QN_task_state::pending},        {"REQUEUE_HOLD", QN_task_state::pending},
        {"REQUEUE_FED", QN_task_state::pending},     {"RESV_DEL_HOLD", QN_task_state::pending},
        {"RUNNING", QN_task_state::running},         {"R", QN_task_state::running},
        {"CONFIGURING", QN_task_state::running},     {"COMPLETING", QN_task_state::running},
        {"SUSPENDED", QN_task_state::running},       {"STOPPED", QN_task_state::running},
        {"SIGNALING", QN_task_state::running},       {"STAGE_OUT", QN_task_state::running},
        {"RESIZING", QN_task_state::running},        {"COMPLETED", QN_task_state::completed},
        {"CD", QN_task_state::completed},            {"FAILED", QN_task_state::failed},
        {"F", QN_task_state::failed},                {"NODE_FAIL", QN_task_state::failed},
        {"BOOT_FAIL", QN_task_state::failed},        {"PREEMPTED", QN_task_state::failed},
        {"SPECIAL_EXIT", QN_task_state::failed},     {"REVOKED", QN_task_state::failed},
        {"CANCELLED", QN_task_state::cancelled},     {"CA", QN_task_state::cancelled},
        {"TIMEOUT", QN_task_state::timeout},         {"TO", QN_task_state::timeout},
        {"DEADLINE", QN_task_state::timeout},        {"OUT_OF_MEMORY", QN_task_state::out_of_memory},
        {"OOM", QN_task_state::out_of_memory},
    };
    const auto it = names.find(name);
    return it == names.end() ? QN_task_state::unknown : it->second;
}

bool QN_task_state_ended(QN_task_state state) {
    return state == QN_task_state::completed || state == QN_task_state::failed || state == QN_task_state::cancelled ||
           state == QN_task_state::timeout || state == QN_task_state::out_of_memory;
}

long QN_slurm_seconds(const std::string& text) {
    long days = 0;
    std::string rest = text;
    const size_t dash = text.find('-');
    if (dash != std::string::npos) {
        if (dash == 0 || text.find_first_not_of("0123456789") != dash) return -1;
        days = std::atol(text.substr(0, dash).c_str());
        rest = text.substr(dash + 1);
    }
    if (rest.empty() || rest.find_first_not_of("0123456789:.") != std::string::npos) return -1;
    std::vector<long> parts;
    std::stringstream in(rest);
    for (std::string p; std::getline(in, p, ':');) {
        if (p.empty()) return -1;
        parts.push_back(std::atol(p.c_str()));  // "05.123": fractions of seconds are dropped
    }
    if (parts.size() < 2 || parts.size() > 3) return -1;
    if (parts.size() == 2) parts.insert(parts.begin(), 0);
    return ((days * 24 + parts[0]) * 60 + parts[1]) * 60 + parts[2];
}

std::string QN_elapsed_text(long seconds) {
    if (seconds < 0) return "";
    char text[40];
    const long d = seconds / 86400, h = seconds / 3600 % 24, m = seconds / 60 % 60, s = seconds % 60;
    if (d > 0)
        std::snprintf(text, sizeof text, "%ld-%02ld:%02ld:%02ld", d, h, m, s);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", h, m, s);
    return text;
}

bool QN_array_of_task(const std::vector<QN_submitted_array>& arrays, int task, size_t& array, int& index) {
    for (size_t k = arrays.size(); k-- > 0;) {
        const QN_array_part& p = arrays[k].part;
        const int i = task - p.first_task;
        if (i < 0) continue;
        const bool in = p.indices.empty() ? i < p.count : std::binary_search(p.indices.begin(), p.indices.end(), i);
        if (in) {
            array = k;
            index = i;
            return true;
        }
    }
    return false;
}

// ---- Slurm ---------------------------------------------------------------------

namespace {

// Marks between the parts of a query's output, so that what the account's
// shell start-up files print is not taken for the scheduler's words.
const char kMark[] = "@quelm-";

std::string quote(const std::string& word) {
    std::string q = "'";
    for (char c : word) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string job_list(const std::vector<QN_submitted_array>& arrays) {
    std::string ids;
    for (const auto& a : arrays) ids += (ids.empty() ? "" : ",") + a.job_id;
    return ids;
}

std::string slurm_submit_command(const std::string& script, const QN_array_part& part, int max_running) {
    return "sbatch " + QN_slurm_array_option(part, max_running) + " " + quote(script);
}

bool slurm_submitted(const std::string& output, std::string& job_id, std::string& why) {
    // --parsable prints "ID" or "ID;CLUSTER" last; warnings may come first.
    std::string last;
    std::stringstream in(output);
    for (std::string line; std::getline(in, line);) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (!line.empty()) last = line;
    }
    const std::string id = last.substr(0, last.find(';'));
    if (id.empty() || id.find_first_not_of("0123456789") != std::string::npos) {
        why = output.empty() ? "sbatch printed no job id" : output;
        return false;
    }
    job_id = id;
    return true;
}

std::string slurm_limit_command() { return "scontrol show config"; }

int slurm_limit(const std::string& output) {
    std::stringstream in(output);
    for (std::string line; std::getline(in, line);) {
        char key[64];
        int value = 0;
        if (std::sscanf(line.c_str(), " %63s = %d", key, &value) == 2 && std::string(key) == "MaxArraySize")
            return value;
    }
    return 0;
}

std::string slurm_query_command(const std::vector<QN_submitted_array>& arrays, const std::string& folder) {
    const std::string ids = job_list(arrays);
    std::string c;
    c += "out=$(sacct -n -P -X -j " + ids + " -o JobID,State,ExitCode,Elapsed 2>&1); st=$?\n";
    c += "if [ $st -eq 0 ] && [ -n \"$out\" ]; then printf '" + std::string(kMark) + "sacct\\n%s\\n' \"$out\"; else\n";
    c += "printf '" + std::string(kMark) + "squeue\\n'; squeue -h -r -t all -j " + ids +
         " -o '%F|%K|%T|%M' 2>&1; printf '" + std::string(kMark) + "squeue-status %s\\n' \"$?\"\n";
    c += "printf '" + std::string(kMark) + "files\\n'; cd -- " + quote(folder) +
         " && find . -mindepth 2 -maxdepth 2 -name exit_status -path './R*' -exec grep -H '' {} +\n";
    c += "fi\nprintf '" + std::string(kMark) + "end\\n'\n";
    return c;
}

// Every task a "JOB_INDEX" (or "JOB_[3-9%2]", "JOB_[1,4]") field names.
void tasks_of_field(const std::string& field, const std::vector<QN_submitted_array>& arrays,
                    const std::function<void(int task)>& each) {
    const size_t u = field.find('_');
    if (u == std::string::npos) return;
    const std::string job = field.substr(0, u);
    std::string set = field.substr(u + 1);
    if (!set.empty() && set.front() == '[') {
        set = set.substr(1, set.find(']') == std::string::npos ? std::string::npos : set.find(']') - 1);
        set = set.substr(0, set.find('%'));
    }
    std::vector<int> indices;
    std::stringstream in(set);
    for (std::string part; std::getline(in, part, ',');) {
        int a = 0, b = 0;
        char tail = 0;
        if (std::sscanf(part.c_str(), "%d-%d%c", &a, &b, &tail) == 2) {
            for (int i = a; i <= b && i - a < 10000000; i++) indices.push_back(i);
        } else if (std::sscanf(part.c_str(), "%d%c", &a, &tail) == 1) {
            indices.push_back(a);
        }
    }
    for (size_t k = 0; k < arrays.size(); k++) {
        if (arrays[k].job_id != job) continue;
        for (int i : indices) {
            const int task = arrays[k].part.first_task + i;
            size_t last = 0;
            int index = 0;
            // Only where this array is the one the task runs in now.
            if (QN_array_of_task(arrays, task, last, index) && last == k && index == i) each(task);
        }
    }
}

std::vector<std::string> split(const std::string& line, char sep) {
    std::vector<std::string> parts;
    std::stringstream in(line);
    for (std::string p; std::getline(in, p, sep);) parts.push_back(p);
    if (!line.empty() && line.back() == sep) parts.push_back("");
    return parts;
}

// "N:S" → N, or 128 + S for a signal S (a shell's way); Slurm's own codes
// beyond the signals (0:125 for memory) are given as they are.
int exit_code_of(const std::string& text) {
    int n = 0, sig = 0;
    if (std::sscanf(text.c_str(), "%d:%d", &n, &sig) != 2) return -1;
    if (sig > 0 && sig < 65) return 128 + sig;
    return n != 0 ? n : sig;
}

bool slurm_query(const std::string& output, const std::vector<QN_submitted_array>& arrays, int tasks,
                 std::vector<QN_task_status>& states, std::string& source, std::string& why) {
    states.assign(static_cast<size_t>(std::max(tasks, 0)), QN_task_status());
    auto at = [&](int task) -> QN_task_status* {
        return task >= 1 && task <= tasks ? &states[task - 1] : nullptr;
    };
    std::string section;
    bool ended = false, squeue_ok = true;
    std::string squeue_text;
    std::vector<char> in_queue(states.size(), 0);
    std::vector<int> file_status(states.size(), -1);
    std::stringstream in(output);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind(kMark, 0) == 0) {
            const std::string word = line.substr(sizeof kMark - 1);
            if (word.rfind("squeue-status ", 0) == 0) {
                // No job known any more is not a failure: they all ended.
                squeue_ok = word == "squeue-status 0" || squeue_text.find("Invalid job id") != std::string::npos;
                section.clear();
                continue;
            }
            section = word;
            if (section == "end") ended = true;
            continue;
        }
        if (section == "sacct") {
            const auto f = split(line, '|');
            if (f.size() < 4) continue;
            const QN_task_state state = QN_task_state_from_slurm(f[1]);
            const int code = exit_code_of(f[2]);
            const long elapsed = QN_slurm_seconds(f[3]);
            tasks_of_field(f[0], arrays, [&](int task) {
                if (QN_task_status* s = at(task)) {
                    s->state = state;
                    s->exit_code = QN_task_state_ended(state) ? code : -1;
                    s->elapsed = elapsed;
                }
            });
        } else if (section == "squeue") {
            const auto f = split(line, '|');
            if (f.size() < 4) {
                squeue_text += line + "\n";
                continue;
            }
            const QN_task_state state = QN_task_state_from_slurm(f[2]);
            const long elapsed = QN_slurm_seconds(f[3]);
            tasks_of_field(f[0] + "_" + (f[1].find('-') != std::string::npos ? "[" + f[1] + "]" : f[1]), arrays,
                           [&](int task) {
                               if (QN_task_status* s = at(task)) {
                                   s->state = state;
                                   s->elapsed = elapsed;
                                   in_queue[task - 1] = 1;
                               }
                           });
        } else if (section == "files") {
            // "./R12/exit_status:0"
            int task = 0, code = 0;
            char tail = 0;
            if (std::sscanf(line.c_str(), "./R%d/exit_status:%d%c", &task, &code, &tail) == 2 && at(task))
                file_status[task - 1] = code;
        }
    }
    if (!ended) {
        states.assign(states.size(), QN_task_status());
        why = "the server's answer ended early";
        return false;
    }
    if (output.find(std::string(kMark) + "sacct\n") != std::string::npos) {
        source = "sacct";
        return true;
    }
    source = "squeue";
    for (size_t k = 0; k < states.size(); k++) {
        if (file_status[k] < 0) continue;
        QN_task_status& s = states[k];
        if (in_queue[k] && !QN_task_state_ended(s.state)) continue;
        s.exit_code = file_status[k];
        if (!in_queue[k]) s.state = file_status[k] == 0 ? QN_task_state::completed : QN_task_state::failed;
    }
    if (!squeue_ok) {
        // The controller did not answer: only the finished tasks are known.
        for (size_t k = 0; k < states.size(); k++)
            if (file_status[k] < 0) states[k] = QN_task_status();
        while (!squeue_text.empty() && squeue_text.back() == '\n') squeue_text.pop_back();
        why = "squeue: " + squeue_text;
    }
    return true;
}

std::string slurm_cancel_command(const std::vector<QN_submitted_array>& arrays, const std::vector<int>& tasks) {
    std::string c = "scancel";
    if (tasks.empty()) {
        for (const auto& a : arrays) c += " " + a.job_id;
        return c;
    }
    for (int task : tasks) {
        size_t k = 0;
        int index = 0;
        if (QN_array_of_task(arrays, task, k, index)) c += " " + arrays[k].job_id + "_" + std::to_string(index);
    }
    return c;
}

}  // namespace

const std::vector<QN_scheduler_kind>& QN_scheduler_kinds() {
    static const std::vector<QN_scheduler_kind> kinds = {
        {"direct", "Direct (runs the command in each task folder now)", false, nullptr, nullptr, nullptr, nullptr,
         nullptr, nullptr, nullptr, nullptr, nullptr},
        {"slurm", "Slurm (job arrays)", true, "slurm_job.sh", QN_slurm_script, slurm_submit_command, slurm_submitted,
         slurm_limit_command, slurm_limit, slurm_query_command, slurm_query, slurm_cancel_command},
    };
    return kinds;
}

const QN_scheduler_kind* QN_scheduler_find(const std::string& name) {
    for (const auto& k : QN_scheduler_kinds())
        if (name == k.name) return &k;
    return nullptr;
}
