#include "simulation/scheduler.h"

#include <algorithm>
#include <cctype>
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

std::vector<QN_array_part> QN_split_arrays(int tasks, int max_array_size) {
    std::vector<QN_array_part> parts;
    const int size = max_array_size > 0 ? max_array_size : 1001;
    for (int first = 1; first <= tasks; first += size) parts.push_back({first, std::min(size, tasks - first + 1)});
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

std::string QN_slurm_array_option(const QN_array_part& part, int max_running) {
    std::string option = "--parsable --array=0-" + std::to_string(std::max(part.count, 1) - 1);
    if (max_running > 0) option += "%" + std::to_string(max_running);
    return option;
}
