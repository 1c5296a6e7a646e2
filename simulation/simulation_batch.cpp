#include "simulation/simulation_batch.h"

#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "store/quelm_batch_core.h"
#include "store/quelm_resources.h"
#include "store/quelm_store.h"
#include "builders/layers.h"
#include "qb/qb_file.h"
#include "qb/qb_text.h"
#include "qb/qb_tools.h"
#include "simulation/frame_template.h"
#include "simulation/campaign.h"
#include "simulation/remote_tasks.h"
#include "simulation/ssh_session.h"
#include "simulation/wizard.h"

namespace fs = std::filesystem;

namespace {

const char* const kStageUsage =
    "usage: quelm-batch stage frame TEMPLATE MODEL [-LABEL=VALUE ...] [--status F.qnw] [--config DIR] "
    "[--elements E1,E2,...] [--loop LABEL=START:END:STEP | --loop LABEL=V1,V2,... ...] [--potential FILE] -o DIR "
    "[--overwrite]";
// How the server is named and reached, common to the commands that connect.
#define QN_SERVER_USAGE                                                                                       \
    "--host [USER@]HOST[:PORT] [--user U] [--port N] [--identity FILE] [--jump [USER@]HOST[:PORT],...] "   \
    "[--ssh-config FILE] [--known-hosts FILE] [--accept-new-host-key] [--timeout S] [--password-stdin]"
const char* const kSubmitUsage =
    "usage: quelm-batch submit frame TEMPLATE MODEL [-LABEL=VALUE ...] [--status F.qnw] [--config DIR] "
    "[--elements E1,E2,...] [--loop LABEL=START:END:STEP | --loop LABEL=V1,V2,... ...] [--potential FILE] "
    QN_SERVER_USAGE " --folder F (--command CMD | --scheduler slurm [scheduler settings]) [--overwrite]";
const char* const kListUsage = "usage: quelm-batch list " QN_SERVER_USAGE " --folder F";
const char* const kDownloadUsage =
    "usage: quelm-batch download " QN_SERVER_USAGE " --folder F -o SAVE (--all | PATH ...) "
    "[--overwrite | --skip-existing]";
const char* const kDisconnectUsage =
    "usage: quelm-batch disconnect --host [USER@]HOST[:PORT] [--user U] [--port N] [--jump ...] [--ssh-config FILE]";

const char* const kPackUsage =
    "usage: quelm-batch pack dynamic|quasistatic|shock|crack MODEL [-S_...=VALUE ...] [--status F.qnw] "
    "[--link FROM:TO ...] [--image W,H,RX,RY,RZ,D ...] [--upper UPPER] [--solutions all|K,L,...] [--overwrite] -o DIR";
const char* const kWizardStageUsage =
    "usage: quelm-batch stage dynamic|quasistatic|shock|crack MODEL [-S_...=VALUE ...] [--status F.qnw] "
    "[--link FROM:TO ...] [--image W,H,RX,RY,RZ,D ...] [--upper UPPER] [--solutions all|K,L,...] -o DIR "
    "[--overwrite]";
const char* const kWizardSubmitUsage =
    "usage: quelm-batch submit dynamic|quasistatic|shock|crack MODEL [-S_...=VALUE ...] [--status F.qnw] "
    "[--link FROM:TO ...] [--image W,H,RX,RY,RZ,D ...] [--upper UPPER] [--solutions all|K,L,...] " QN_SERVER_USAGE
    " --folder F (--command CMD | --scheduler slurm [scheduler settings]) [--overwrite]";
const char* const kDownloadStandardUsage =
    "usage: quelm-batch download-standard crack [--status F.qnw] [-S_...=VALUE ...] " QN_SERVER_USAGE
    " --folder F -o SAVE [--overwrite | --skip-existing]";

const std::vector<std::string> kSessionValued = {"--host",  "--port",       "--user",        "--folder",
                                                 "--known-hosts", "--timeout", "--identity", "--jump",
                                                 "--ssh-config"};
const std::vector<std::string> kSessionFlags = {"--accept-new-host-key", "--password-stdin"};
// Options of the simulation wizards only.
const std::vector<std::string> kWizardValued = {"--link", "--image", "--upper", "--solutions"};

int usage(FILE* err, const std::string& why, const char* line) {
    std::fprintf(err, "%s\n%s\n", why.c_str(), line);
    return 2;
}

int failure(FILE* err, const std::string& why) {
    std::fprintf(err, "%s\n", why.c_str());
    return 1;
}

std::vector<std::string> join(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bool given(const QN_batch_args& args, const char* name) { return args.option(name) != nullptr; }

bool parse_number(const std::string& text, double& value) {
    char* end = nullptr;
    value = QB_strtod(text.c_str(), &end);
    return !text.empty() && end && *end == '\0';
}

// A remote name as it can be shown on one line.
std::string printable(const std::string& name) {
    std::string shown;
    for (unsigned char c : name) shown += c < 32 || c == 127 ? '?' : static_cast<char>(c);
    return shown;
}

// The value of an environment variable, then the variable gone: also from
// the text the system shows as this process's environment.
std::string take_secret_variable(const char* name) {
    char* value = std::getenv(name);
    if (!value) return std::string();
    std::string secret = value;
    std::fill(value, value + std::strlen(value), '\0');
    unsetenv(name);
    return secret;
}

// Asks the server's question on the terminal, without echo.
bool ask_on_terminal(const QN_ssh_prompt& prompt, std::string& answer) {
    FILE* tty = std::fopen("/dev/tty", "r+");
    if (!tty) return false;
    std::fprintf(tty, "%s", prompt.text.c_str());
    if (!prompt.text.empty() && prompt.text.back() != ' ' && prompt.text.back() != '\n') std::fputc(' ', tty);
    std::fflush(tty);
    termios saved{};
    const bool terminal = tcgetattr(fileno(tty), &saved) == 0;
    if (terminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(fileno(tty), TCSAFLUSH, &quiet);
    }
    answer.clear();
    int c;
    bool ended = false;
    while ((c = std::fgetc(tty)) != EOF) {
        if (c == '\n') {
            ended = true;
            break;
        }
        answer += static_cast<char>(c);
    }
    if (terminal) tcsetattr(fileno(tty), TCSAFLUSH, &saved);
    std::fputc('\n', tty);
    std::fclose(tty);
    return ended || !answer.empty();
}

// Asks whether to trust an unknown host key, on the terminal.
bool confirm_on_terminal(const QN_ssh_hostkey& key) {
    FILE* tty = std::fopen("/dev/tty", "r+");
    if (!tty) return false;
    std::fprintf(tty, "The server %s is not known yet. Its %s key has the fingerprint\n%s\nTrust it (yes/no)? ",
                 key.host.c_str(), key.type.c_str(), key.fingerprint.c_str());
    std::fflush(tty);
    char line[64] = {};
    const bool got = std::fgets(line, sizeof line, tty) != nullptr;
    std::fclose(tty);
    std::string word = got ? line : "";
    while (!word.empty() && (word.back() == '\n' || word.back() == '\r' || word.back() == ' ')) word.pop_back();
    return word == "yes" || word == "y";
}

int session_secrets(const QN_batch_args& args, QN_ssh_options& options, FILE* err);

// The session options of --host, --user, --port, --identity, --jump,
// --ssh-config, --known-hosts, --accept-new-host-key and --timeout, with the
// sources of secrets: --password-stdin (standard input's first line) or
// QUELM_SSH_PASSWORD for a password, QUELM_SSH_PASSPHRASE for a key's
// passphrase, and the terminal (without echo) when standard input is one.
// Without any, only keys and agents are tried.
int session_options(const QN_batch_args& args, QN_ssh_options& options, FILE* err, const char* usage_line,
                    bool secrets = true) {
    const std::string* host = args.option("--host");
    if (!host || host->empty()) return usage(err, "--host is needed", usage_line);
    QN_ssh_target target;
    std::string error;
    if (!QN_ssh_parse_target(*host, target, error))
        return usage(err, "--host " + *host + ": " + error +
                              " (give an SSH alias, a host name, A.B.C.D or [IPv6], with optional USER@ and :PORT)",
                     usage_line);
    options.host = *host;
    if (const std::string* user = args.option("--user")) {
        if (user->empty()) return usage(err, "--user needs a name", usage_line);
        options.user = *user;
    }
    if (const std::string* port = args.option("--port")) {
        double value = 0;
        if (!parse_number(*port, value) || value != static_cast<int>(value) || value < 1 || value > 65535)
            return usage(err, "--port " + *port + " is not a port number (1 ... 65535)", usage_line);
        options.port = static_cast<int>(value);
    }
    if (const std::string* timeout = args.option("--timeout")) {
        if (!parse_number(*timeout, options.timeout) || !(options.timeout > 0) || options.timeout > 86400)
            return usage(err, "--timeout " + *timeout + " is not a number of seconds", usage_line);
    }
    if (const std::string* identity = args.option("--identity")) options.identity = *identity;
    if (const std::string* jump = args.option("--jump")) {
        options.jump = *jump;
        size_t start = 0;
        for (;;) {
            const size_t comma = jump->find(',', start);
            const std::string one = jump->substr(start, comma == std::string::npos ? std::string::npos : comma - start);
            QN_ssh_target hop;
            if (!QN_ssh_parse_target(one, hop, error))
                return usage(err, "--jump " + *jump + ": " + error, usage_line);
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
    }
    if (const std::string* config = args.option("--ssh-config")) options.ssh_config = *config;
    if (const std::string* known = args.option("--known-hosts")) options.known_hosts = *known;
    options.accept_new_host_key = given(args, "--accept-new-host-key");
    if (!secrets) return 0;
    return session_secrets(args, options, err);
}

// The sources of secrets of a session: --password-stdin or the variables,
// and the terminal when standard input is one.
int session_secrets(const QN_batch_args& args, QN_ssh_options& options, FILE* err) {
    if (given(args, "--password-stdin")) {
        std::string line;
        if (!std::getline(std::cin, line) && line.empty())
            return failure(err, "--password-stdin: no password on standard input");
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
        options.password = line;
        std::fill(line.begin(), line.end(), '\0');
    } else {
        options.password = take_secret_variable("QUELM_SSH_PASSWORD");
    }
    options.passphrase = take_secret_variable("QUELM_SSH_PASSPHRASE");
    if (::isatty(STDIN_FILENO)) {
        options.ask = ask_on_terminal;
        if (!options.accept_new_host_key) options.confirm_new_host_key = confirm_on_terminal;
    }
    return 0;
}

// The session's reason, with what the user can do about it.
std::string session_failure(const std::string& message) {
    if (message.find("is not in the known hosts") != std::string::npos)
        return message + "\n(give --accept-new-host-key to trust this key)";
    if (message.find("No password was given") != std::string::npos)
        return message + "\n(give the password with QUELM_SSH_PASSWORD or --password-stdin, or run in a terminal)";
    return message;
}

// The template: a file, a file in the config folder (by default the one the
// program ships), or a frame's name there.
bool find_template(const std::string& given_name, std::string& config_dir, std::string& path, std::string& error) {
    std::error_code ec;
    if (fs::is_regular_file(given_name, ec)) {
        path = given_name;
        if (config_dir.empty()) config_dir = fs::path(given_name).parent_path().string();
        if (config_dir.empty()) config_dir = ".";
        return true;
    }
    const bool shipped = config_dir.empty();
    if (shipped) config_dir = QN_resource_path("config");
    if (fs::is_regular_file(config_dir + "/" + given_name, ec)) {
        path = config_dir + "/" + given_name;
        return true;
    }
    std::vector<std::string> paths;
    std::string message;
    QN_frame_read_list(config_dir, paths, message);
    for (const auto& p : paths) {
        QN_frame_template frame;
        if (QN_frame_read_template(p, frame, message) == 1 && frame.name == QN_frame_display(given_name)) {
            path = p;
            return true;
        }
    }
    error = "no template " + given_name + " (neither a file nor a frame of " + config_dir + "/config_list.txt)";
    std::string missing;
    if (shipped && QN_resource_check({"config/config_list.txt"}, missing) != 1) error += "\n" + missing;
    return false;
}

// Fills a fresh store group for "frame TEMPLATE MODEL": the template's
// defaults, the status file, the -LABEL=VALUE entries, then the model.
// 0, or the exit status of a failure (already reported).
int prepare_frame(const QN_batch_args& args, QN_frame_template& frame, std::string& config_dir, int& group, FILE* out,
                  FILE* err, const char* usage_line) {
    if (args.words.size() != 3 || args.words[0] != "frame")
        return usage(err, "give: frame TEMPLATE MODEL", usage_line);
    if (const std::string* config = args.option("--config")) config_dir = *config;
    std::string path, error;
    if (!find_template(args.words[1], config_dir, path, error)) return failure(err, error);
    if (QN_frame_read_template(path, frame, error) != 1) return failure(err, error);
    for (const auto& w : frame.warnings) std::fprintf(err, "%s: %s\n", path.c_str(), w.c_str());
    QN_store_init();
    group = QN_add_zone();
    QN_frame_write_defaults(group, frame);
    // Elements may be given by symbol: -S_elemt=Cu is stored as its index.
    QN_batch_args filled_args = args;
    for (std::string& entry : filled_args.entries) {
        if (Quelm_get_label(entry) != "S_elemt") continue;
        std::string value;
        Quelm_scan_char_single(entry, "S_elemt", value);
        const int e = QN_frame_element_index(value);
        if (e < 0) return usage(err, "-S_elemt=" + value + ": no element symbol (Cu) or index (28)", usage_line);
        entry = "-S_elemt=" + std::to_string(e);
    }
    const int filled = QN_batch_fill_group(group, filled_args, error);
    if (filled == 2) return usage(err, error, usage_line);
    if (filled != 0) return failure(err, error);
    if (const std::string* elements = args.option("--elements"))
        if (QN_frame_set_elements(group, *elements, error) != 1) return usage(err, error, usage_line);
    if (const std::string* potential = args.option("--potential")) {
        int type = -1;
        if (QN_frame_potential_kind(*potential, type, error) != 1) return failure(err, error);
        QN_set_bit_int(group, "S_potype", type, 0);
        QN_set_bit_char(group, "S_pot1", *potential);
        std::fprintf(out, "%s: %s potential\n", potential->c_str(), QN_FRAME_POTENTIAL_NAMES[type]);
    }
    for (const auto& o : args.options) {
        if (o.first != "--loop") continue;
        std::string label;
        std::vector<double> values;
        if (QN_frame_parse_loop(o.second, label, values, error) != 1) return usage(err, error, usage_line);
        if (QN_frame_set_loop(group, frame, label, values, error) != 1) return usage(err, error, usage_line);
    }
    QN_set_bit_char(group, "S_input", args.words[2]);
    // Standard masses only for the types whose element was chosen (by an
    // entry, --elements or the status file), never for the default element.
    int named = 0, in_entries = 0;
    for (const std::string& entry : args.entries)
        if (Quelm_get_label(entry) == "S_elemt") in_entries++;
    named = std::max(named, in_entries);
    if (const std::string* elements = args.option("--elements"))
        named = std::max(named, static_cast<int>(QB_split_elenames(*elements).size()));
    if (const std::string* status = args.option("--status")) {
        std::vector<std::string> entries;
        std::vector<int> flags;
        int in_status = 0;
        if (Quelm_read_add(*status, entries, flags) >= 0)
            for (size_t i = 0; i < entries.size(); i++)
                if (flags[i] == 0 && Quelm_get_label(entries[i]) == "S_elemt") in_status++;
        named = std::max(named, in_status);
    }
    std::vector<std::string> notes;
    QN_frame_default_masses(group, notes, named);
    for (const auto& n : notes) std::fprintf(out, "%s\n", n.c_str());
    return 0;
}

// The task count and each task's looped values.
void print_frame_tasks(int group, FILE* out) {
    const int tasks = QN_frame_task_count(group);
    std::fprintf(out, "%d task%s\n", tasks, tasks == 1 ? "" : "s");
    for (int t = 0; t < tasks; t++) {
        const std::string values = QN_frame_task_values(group, t);
        if (!values.empty()) std::fprintf(out, "R%d: %s\n", t + 1, values.c_str());
    }
}

int wizard_stage(const QN_batch_args& args, QN_wizard kind, FILE* out, FILE* err);
int wizard_submit(const QN_batch_args& args, QN_wizard kind, FILE* out, FILE* err);

// The wizard named by the first word, if any; frames refuse the wizards'
// options.
bool wizard_word(const QN_batch_args& args, QN_wizard& kind) {
    return !args.words.empty() && QN_wizard_from_word(args.words[0], kind);
}
const std::string* wizard_option_given(const QN_batch_args& args) {
    for (const auto& o : args.options)
        if (std::find(kWizardValued.begin(), kWizardValued.end(), o.first) != kWizardValued.end()) return &o.first;
    return nullptr;
}

int command_stage(int argc, const char* const* argv, FILE* out, FILE* err) {
    QN_batch_args args;
    std::string error;
    if (!QN_batch_parse(argc, argv, 2, join({"-o", "--status", "--config", "--elements", "--loop", "--potential"}, kWizardValued),
                        args, error, {"--overwrite"}))
        return usage(err, error, kStageUsage);
    QN_wizard kind;
    if (wizard_word(args, kind)) {
        if (given(args, "--loop") || given(args, "--elements") || given(args, "--potential"))
            return usage(err, "--loop, --elements and --potential belong to the frames", kStageUsage);
        return wizard_stage(args, kind, out, err);
    }
    if (const std::string* name = wizard_option_given(args))
        return usage(err, *name + " belongs to the simulation wizards", kStageUsage);
    const std::string* target = args.option("-o");
    if (!target || target->empty()) return usage(err, "stage needs an output folder (-o)", kStageUsage);
    QN_frame_template frame;
    std::string config_dir;
    int group = -1;
    if (int status = prepare_frame(args, frame, config_dir, group, out, err, kStageUsage)) return status;
    const int tasks = QN_frame_stage(group, frame, config_dir, *target, given(args, "--overwrite"), error);
    if (tasks < 1) return failure(err, error);
    print_frame_tasks(group, out);
    std::fprintf(out, "%s: %d task%s staged in %s (R1 ... R%d)\n", frame.name.c_str(), tasks, tasks == 1 ? "" : "s",
                 target->c_str(), tasks);
    return 0;
}

void print_task_reports(const QN_submit_report& report, FILE* out) {
    for (const auto& t : report.tasks) {
        if (t.ok())
            std::fprintf(out, "%s: %d files uploaded, command exit status 0\n", t.folder.c_str(), t.files_uploaded);
        else if (!t.error.empty())
            std::fprintf(out, "%s: FAILED after %d of %d files: %s\n", t.folder.c_str(), t.files_uploaded, t.files,
                         t.error.c_str());
        else
            std::fprintf(out, "%s: %d files uploaded, command exit status %d\n%s", t.folder.c_str(),
                         t.files_uploaded, t.exit_status, t.output.c_str());
    }
}

// ---- The simulation wizards ------------------------------------------------------

// Splits "a,b,c" (or "a:b" with sep ':') into numbers; false when a part is
// no number.
bool parse_numbers(const std::string& text, char sep, std::vector<double>& values) {
    values.clear();
    size_t start = 0;
    while (true) {
        const size_t end = text.find(sep, start);
        double v = 0;
        if (!parse_number(text.substr(start, end == std::string::npos ? std::string::npos : end - start), v))
            return false;
        values.push_back(v);
        if (end == std::string::npos) return true;
        start = end + 1;
    }
}

void print_lines(FILE* err, const std::string& prefix, const std::string& text) {
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        std::fprintf(err, "%s%s\n", prefix.c_str(), text.substr(start, end - start).c_str());
        if (end == std::string::npos) break;
        start = end + 1;
    }
}

// The wizard's group from its defaults, the status file and the
// -LABEL=VALUE entries. A crack status file is read by the crack's label
// kinds (a password entry in it is ignored with a warning). 0, or the exit
// status of a failure (already reported).
int fill_wizard_group(const QN_batch_args& args, QN_wizard kind, FILE* err, const char* usage_line) {
    QN_store_init();
    QN_wizard_write_defaults(kind);
    const int group = QN_wizard_about(kind).group;
    std::string error;
    int filled;
    if (kind == QN_wizard::crack) {
        QN_batch_args rest = args;
        rest.options.erase(std::remove_if(rest.options.begin(), rest.options.end(),
                                          [](const std::pair<std::string, std::string>& o) { return o.first == "--status"; }),
                           rest.options.end());
        if (const std::string* status = args.option("--status")) {
            std::string warnings;
            if (QN_crack_load_status(*status, warnings, error) != 1) return failure(err, error);
            print_lines(err, *status + ": ", warnings);
        }
        filled = QN_batch_fill_group(group, rest, error);
    } else {
        filled = QN_batch_fill_group(group, args, error);
    }
    if (filled == 2) return usage(err, error, usage_line);
    if (filled != 0) return failure(err, error);
    return 0;
}

// Fills the wizard's group and the window-only settings from "KIND MODEL
// [options]". 0, or the exit status of a failure (already reported).
int prepare_wizard(const QN_batch_args& args, QN_wizard kind, QN_wizard_extras& extras, FILE* out, FILE* err,
                   const char* usage_line) {
    const QN_wizard_info& info = QN_wizard_about(kind);
    if (args.words.size() != 2) return usage(err, std::string("give: ") + info.word + " MODEL", usage_line);
    if (given(args, "--config")) return usage(err, "--config belongs to the frames", usage_line);
    if (kind != QN_wizard::crack && (given(args, "--upper") || given(args, "--solutions")))
        return usage(err, "--upper and --solutions belong to the crack wizard", usage_line);
    if (int status = fill_wizard_group(args, kind, err, usage_line)) return status;
    const int group = info.group;
    QN_set_bit_char(group, "S_inputa", args.words[1]);
    if (const std::string* upper = args.option("--upper")) {
        QN_set_bit_char(group, "S_inputb", *upper);
        QN_set_bit_int(group, "S_model", 1, 0);
    }
    std::vector<double> v;
    for (const auto& o : args.options) {
        if (o.first == "--link") {
            if (!parse_numbers(o.second, ':', v) || v.size() != 2 || v[0] != static_cast<int>(v[0]))
                return usage(err, "--link " + o.second + " is not FROM:TO (a model type and a potential element)",
                             usage_line);
            extras.links.push_back({static_cast<int>(v[0]), v[1]});
        } else if (o.first == "--image") {
            if (!parse_numbers(o.second, ',', v) || v.size() != 6 || v[0] != static_cast<int>(v[0]) ||
                v[1] != static_cast<int>(v[1]) || v[0] < 1 || v[1] < 1)
                return usage(err, "--image " + o.second + " is not W,H,RX,RY,RZ,D", usage_line);
            if (extras.images.size() == 5) return usage(err, "at most 5 images (--image) can be rendered", usage_line);
            QN_image_setting image;
            image.width = static_cast<int>(v[0]);
            image.height = static_cast<int>(v[1]);
            image.rotx = v[2];
            image.roty = v[3];
            image.rotz = v[4];
            image.distance = v[5];
            extras.images.push_back(image);
        }
    }
    // An image given without a colour mode is rendered as "Atomic Mises Stress".
    for (size_t k = 1; k <= extras.images.size(); k++) {
        const std::string label = "S_img" + std::to_string(k);
        if (QN_stored_int(group, label, 0) == 0) QN_set_bit_int(group, label, 1, 0);
    }
    if (const std::string* which = args.option("--solutions")) {
        if (QN_stored_int(group, "S_model", 0) != 1)
            return usage(err, "--solutions needs the Tilt Interface model (--upper UPPER)", usage_line);
        std::vector<scaned_data> rows;
        std::string message;
        if (QN_crack_search(rows, message) < 0) return failure(err, message);
        if (rows.empty()) return failure(err, "ERROR: Model not selected: the interface search found no solution");
        std::vector<int> chosen;
        if (*which == "all") {
            for (size_t k = 0; k < rows.size(); k++) chosen.push_back(static_cast<int>(k));
        } else {
            if (!parse_numbers(*which, ',', v)) return usage(err, "--solutions " + *which + " is not all or K,L,...", usage_line);
            for (double k : v) {
                if (k != static_cast<int>(k) || k < 1)
                    return usage(err, "--solutions takes row numbers from 1 (" + *which + ")", usage_line);
                chosen.push_back(static_cast<int>(k) - 1);
            }
        }
        if (QN_crack_choose(rows, chosen, message) < 1) return failure(err, message);
        std::fprintf(out, "%s (of %zu)\n", message.c_str(), rows.size());
    }
    return 0;
}

int command_pack(int argc, const char* const* argv, FILE* out, FILE* err) {
    QN_batch_args args;
    std::string error;
    if (!QN_batch_parse(argc, argv, 2, join({"-o", "--status"}, kWizardValued), args, error, {"--overwrite"}))
        return usage(err, error, kPackUsage);
    QN_wizard kind;
    if (!wizard_word(args, kind)) return usage(err, "give: dynamic|quasistatic|shock|crack MODEL", kPackUsage);
    const std::string* target = args.option("-o");
    if (!target || target->empty()) return usage(err, "pack needs an output folder (-o)", kPackUsage);
    QN_wizard_extras extras;
    if (int status = prepare_wizard(args, kind, extras, out, err, kPackUsage)) return status;
    const int tasks = QN_wizard_pack(kind, extras, *target, given(args, "--overwrite"), error);
    if (tasks < 1) return failure(err, error);
    std::fprintf(out, "%s: %s\n", QN_wizard_about(kind).name, error.c_str());
    return 0;
}

int wizard_stage(const QN_batch_args& args, QN_wizard kind, FILE* out, FILE* err) {
    const std::string* target = args.option("-o");
    if (!target || target->empty()) return usage(err, "stage needs an output folder (-o)", kWizardStageUsage);
    QN_wizard_extras extras;
    if (int status = prepare_wizard(args, kind, extras, out, err, kWizardStageUsage)) return status;
    std::string error;
    const int tasks = QN_wizard_stage(kind, extras, *target, given(args, "--overwrite"), error);
    if (tasks < 1) return failure(err, error);
    std::fprintf(out, "%s: %d task%s staged in %s (R1 ... R%d)\n", QN_wizard_about(kind).name, tasks,
                 tasks == 1 ? "" : "s", target->c_str(), tasks);
    return 0;
}

// ---- Schedulers -------------------------------------------------------------

// Options of a submission through a scheduler.
const std::vector<std::string> kQueueValued = {
    "--scheduler", "--partition", "--time",     "--nodes",    "--ntasks",   "--cpus-per-task", "--mem",
    "--account",   "--qos",       "--env",      "--max-running", "--launcher", "--job-name",  "--template",
    "--campaign"};

std::string scheduler_names() {
    std::string names;
    for (const auto& k : QN_scheduler_kinds()) names += (names.empty() ? "" : ", ") + std::string(k.name);
    return names;
}

bool positive_int(const std::string& text, int& value, int least) {
    double v = 0;
    if (!parse_number(text, v) || v != static_cast<int>(v) || v < least || v > 1000000) return false;
    value = static_cast<int>(v);
    return true;
}

// Reads --scheduler and its settings into queue (kind stays null for the
// direct kind) and the record's path. Everything local is checked here,
// before the server is contacted. 0, or the exit status (already reported).
int queue_options(const QN_batch_args& args, const std::string& folder, QN_queue_request& queue, std::string& record,
                  FILE* err, const char* usage_line) {
    const std::string* name = args.option("--scheduler");
    const QN_scheduler_kind* kind = QN_scheduler_find(name ? *name : "direct");
    if (!kind) return usage(err, "--scheduler " + *name + ": give one of " + scheduler_names(), usage_line);
    if (!kind->queued) {
        for (const auto& o : args.options)
            if (o.first != "--scheduler" &&
                std::find(kQueueValued.begin(), kQueueValued.end(), o.first) != kQueueValued.end())
                return usage(err, o.first + " belongs to a scheduler that queues jobs (--scheduler slurm)", usage_line);
        if (!args.option("--command") || args.option("--command")->empty())
            return usage(err, "submit needs --command (or --scheduler slurm)", usage_line);
        return 0;
    }
    if (given(args, "--command"))
        return usage(err, std::string("with --scheduler ") + kind->name +
                              " the command of each task is --launcher (default: " + QN_job_settings().launcher + ")",
                     usage_line);
    queue.kind = kind;
    QN_job_settings& job = queue.job;
    job.job_name = QN_job_name_of(folder);
    struct Text {
        const char* option;
        std::string* field;
    } texts[] = {{"--job-name", &job.job_name}, {"--partition", &job.partition}, {"--time", &job.time},
                 {"--mem", &job.memory},        {"--account", &job.account},     {"--qos", &job.qos},
                 {"--launcher", &job.launcher}};
    for (const Text& t : texts)
        if (const std::string* v = args.option(t.option)) *t.field = *v;
    struct Number {
        const char* option;
        int* field;
        int least;
    } numbers[] = {{"--nodes", &job.nodes, 1},
                   {"--ntasks", &job.tasks, 1},
                   {"--cpus-per-task", &job.cpus_per_task, 1},
                   {"--max-running", &job.max_running, 0}};
    for (const Number& n : numbers)
        if (const std::string* v = args.option(n.option))
            if (!positive_int(*v, *n.field, n.least))
                return usage(err, std::string(n.option) + " " + *v + " is not a whole number of at least " +
                                      std::to_string(n.least),
                             usage_line);
    for (const auto& o : args.options)
        if (o.first == "--env") job.environment.push_back(o.second);
    std::string path = QN_job_template_path(*kind);
    if (const std::string* t = args.option("--template")) path = *t;
    std::string reason;
    if (!QB_read_text_file(path, queue.templ, &reason)) return failure(err, "job-script template: " + reason);
    // The settings must make a script before anything is sent.
    std::string script, why;
    if (!kind->script(queue.templ, job, "/checked", {1, 1, {}}, script, why)) return failure(err, why);
    record = job.job_name + ".qnc";
    if (const std::string* c = args.option("--campaign")) record = *c;
    std::error_code ec;
    if (fs::exists(fs::symlink_status(record, ec)))
        return failure(err, "the campaign record " + record + " exists already (give another --campaign FILE)");
    const fs::path parent = fs::path(record).parent_path();
    if (!parent.empty() && !fs::is_directory(parent, ec))
        return failure(err, "cannot write the campaign record " + record + ": no folder " + parent.string());
    return 0;
}

// After a submission through a scheduler: the record of what it accepted.
int record_campaign(QN_queue_request& queue, const QN_ssh_options& options, const QN_batch_args& args, int group,
                    const std::string& record, FILE* out, FILE* err) {
    QN_campaign& c = queue.campaign;
    if (c.arrays.empty()) return 0;
    std::string source, why;
    for (const auto& w : args.words) source += (source.empty() ? "" : " ") + w;
    if (!QN_campaign_record(c, options, source, group, record, why)) return failure(err, why);
    std::fprintf(out, "Campaign recorded in %s (%d tasks, %zu array%s)\n", record.c_str(), c.tasks, c.arrays.size(),
                 c.arrays.size() == 1 ? "" : "s");
    return 0;
}

int wizard_submit(const QN_batch_args& args, QN_wizard kind, FILE* out, FILE* err) {
    const std::string* folder = args.option("--folder");
    if (!folder || folder->empty()) return usage(err, "submit needs --folder", kWizardSubmitUsage);
    QN_queue_request queue;
    std::string record;
    if (int status = queue_options(args, *folder, queue, record, err, kWizardSubmitUsage)) return status;
    const std::string command = args.option("--command") ? *args.option("--command") : "";
    QN_wizard_extras extras;
    if (int status = prepare_wizard(args, kind, extras, out, err, kWizardSubmitUsage)) return status;
    // Everything local is checked before the server is contacted.
    std::string error;
    if (QN_wizard_check(kind, extras, error) != 1) return failure(err, error);
    QN_ssh_options options;
    if (int status = session_options(args, options, err, kWizardSubmitUsage)) return status;
    const QN_submit_report report = QN_wizard_submit(kind, extras, options, *folder, command,
                                                     given(args, "--overwrite"), queue.kind ? &queue : nullptr);
    print_task_reports(report, out);
    const int recorded =
        queue.kind ? record_campaign(queue, options, args, QN_wizard_about(kind).group, record, out, err) : 0;
    if (!report.ok()) return failure(err, session_failure(report.summary()));
    std::fprintf(out, "%s\n", report.summary().c_str());
    return recorded;
}

int command_download_standard(int argc, const char* const* argv, FILE* out, FILE* err) {
    QN_batch_args args;
    std::string error;
    if (!QN_batch_parse(argc, argv, 2, join({"-o", "--status"}, kSessionValued), args, error,
                        join({"--overwrite", "--skip-existing"}, kSessionFlags)))
        return usage(err, error, kDownloadStandardUsage);
    if (args.words.size() != 1 || args.words[0] != "crack")
        return usage(err, "give: download-standard crack", kDownloadStandardUsage);
    const std::string* folder = args.option("--folder");
    const std::string* save = args.option("-o");
    if (!folder || folder->empty() || !save || save->empty())
        return usage(err, "download-standard needs --folder and -o SAVE", kDownloadStandardUsage);
    if (given(args, "--overwrite") && given(args, "--skip-existing"))
        return usage(err, "--overwrite and --skip-existing exclude each other", kDownloadStandardUsage);
    const QN_existing existing = given(args, "--overwrite")        ? QN_existing::overwrite
                                 : given(args, "--skip-existing") ? QN_existing::skip
                                                                   : QN_existing::refuse;
    if (int status = fill_wizard_group(args, QN_wizard::crack, err, kDownloadStandardUsage)) return status;
    std::error_code ec;
    if (!fs::is_directory(*save, ec)) return failure(err, "Can not access save folder " + *save);
    if (QN_crack_blocks(error).empty()) return failure(err, error);
    QN_ssh_options options;
    if (int status = session_options(args, options, err, kDownloadStandardUsage)) return status;
    const QN_download_report report = QN_crack_download_standard(options, *folder, *save, existing);
    for (const auto& name : report.done) std::fprintf(out, "%s\n", name.c_str());
    for (const auto& name : report.skipped) std::fprintf(out, "%s (exists, skipped)\n", name.c_str());
    if (!report.ok()) return failure(err, session_failure(report.summary()));
    std::fprintf(out, "%s\n", report.summary().c_str());
    return 0;
}

int command_submit(int argc, const char* const* argv, FILE* out, FILE* err) {
    QN_batch_args args;
    std::string error;
    if (!QN_batch_parse(argc, argv, 2,
                        join(join(join({"--status", "--config", "--command", "--elements", "--loop", "--potential"},
                                       kSessionValued),
                                  kWizardValued),
                             kQueueValued),
                        args, error, join({"--overwrite"}, kSessionFlags)))
        return usage(err, error, kSubmitUsage);
    QN_wizard kind;
    if (wizard_word(args, kind)) {
        if (given(args, "--loop") || given(args, "--elements") || given(args, "--potential"))
            return usage(err, "--loop, --elements and --potential belong to the frames", kSubmitUsage);
        return wizard_submit(args, kind, out, err);
    }
    if (const std::string* name = wizard_option_given(args))
        return usage(err, *name + " belongs to the simulation wizards", kSubmitUsage);
    const std::string* folder = args.option("--folder");
    if (!folder || folder->empty()) return usage(err, "submit needs --folder", kSubmitUsage);
    QN_queue_request queue;
    std::string record;
    if (int status = queue_options(args, *folder, queue, record, err, kSubmitUsage)) return status;
    const std::string command = args.option("--command") ? *args.option("--command") : "";
    QN_frame_template frame;
    std::string config_dir;
    int group = -1;
    if (int status = prepare_frame(args, frame, config_dir, group, out, err, kSubmitUsage)) return status;
    // Everything local is checked before the server is contacted.
    if (QN_frame_check(group, frame, config_dir, error) != 1) return failure(err, error);
    QN_ssh_options options;
    if (int status = session_options(args, options, err, kSubmitUsage)) return status;
    QB_private_folder staging("quelm_stage_");
    if (staging.path.empty()) return failure(err, "cannot create a private staging folder");
    const int tasks = QN_frame_stage(group, frame, config_dir, staging.path + "/run", true, error);
    if (tasks < 1) return failure(err, error);
    print_frame_tasks(group, out);
    const QN_submit_report report = QN_submit_tasks(options, staging.path + "/run", tasks, *folder, command,
                                                    given(args, "--overwrite"), nullptr, queue.kind ? &queue : nullptr);
    print_task_reports(report, out);
    const int recorded = queue.kind ? record_campaign(queue, options, args, group, record, out, err) : 0;
    if (!report.ok()) return failure(err, session_failure(report.summary()));
    std::fprintf(out, "%s\n", report.summary().c_str());
    return recorded;
}

int command_list(int argc, const char* const* argv, FILE* out, FILE* err) {
    QN_batch_args args;
    std::string error;
    if (!QN_batch_parse(argc, argv, 2, kSessionValued, args, error, kSessionFlags))
        return usage(err, error, kListUsage);
    const std::string* folder = args.option("--folder");
    if (!folder || folder->empty()) return usage(err, "list needs --folder", kListUsage);
    if (!args.words.empty() || !args.entries.empty()) return usage(err, "list takes no words", kListUsage);
    QN_ssh_options options;
    if (int status = session_options(args, options, err, kListUsage)) return status;
    QN_download_filelist list;
    if (QNDF_request(&list, options, *folder, error) != QN_SSH_OK) return failure(err, session_failure(error));
    for (const auto& name : QNDF_files(list)) std::fprintf(out, "%s\n", name.c_str());
    for (const auto& name : list.refused)
        std::fprintf(err, "refused remote name (cannot be saved locally): %s\n", printable(name).c_str());
    for (const auto& name : list.unlisted) std::fprintf(err, "cannot list %s\n", name.c_str());
    return list.unlisted.empty() ? 0 : 1;
}

int command_download(int argc, const char* const* argv, FILE* out, FILE* err) {
    QN_batch_args args;
    std::string error;
    if (!QN_batch_parse(argc, argv, 2, join({"-o"}, kSessionValued), args, error,
                        join({"--all", "--overwrite", "--skip-existing"}, kSessionFlags)))
        return usage(err, error, kDownloadUsage);
    const std::string* folder = args.option("--folder");
    const std::string* save = args.option("-o");
    if (!folder || folder->empty() || !save || save->empty())
        return usage(err, "download needs --folder and -o SAVE", kDownloadUsage);
    const bool all = given(args, "--all");
    if (all == !args.words.empty()) return usage(err, "give either --all or the paths to fetch", kDownloadUsage);
    if (given(args, "--overwrite") && given(args, "--skip-existing"))
        return usage(err, "--overwrite and --skip-existing exclude each other", kDownloadUsage);
    if (!args.entries.empty()) return usage(err, "download takes no -LABEL=VALUE entries", kDownloadUsage);
    const QN_existing existing = given(args, "--overwrite")        ? QN_existing::overwrite
                                 : given(args, "--skip-existing") ? QN_existing::skip
                                                                   : QN_existing::refuse;
    std::error_code ec;
    if (!fs::is_directory(*save, ec)) return failure(err, "Can not access save folder " + *save);
    QN_ssh_options options;
    if (int status = session_options(args, options, err, kDownloadUsage)) return status;
    std::vector<std::string> names = args.words;
    if (all) {
        QN_download_filelist list;
        if (QNDF_request(&list, options, *folder, error) != QN_SSH_OK) return failure(err, session_failure(error));
        names = QNDF_files(list);
        for (const auto& name : list.refused)
            std::fprintf(err, "refused remote name (cannot be saved locally): %s\n", printable(name).c_str());
    }
    const QN_download_report report = QNDF_download(options, *folder, names, *save, existing);
    for (const auto& name : report.done) std::fprintf(out, "%s\n", name.c_str());
    for (const auto& name : report.skipped) std::fprintf(out, "%s (exists, skipped)\n", name.c_str());
    if (!report.ok()) return failure(err, session_failure(report.summary()));
    std::fprintf(out, "%s\n", report.summary().c_str());
    return 0;
}

int command_disconnect(int argc, const char* const* argv, FILE* out, FILE* err) {
    QN_batch_args args;
    std::string error;
    if (!QN_batch_parse(argc, argv, 2, {"--host", "--port", "--user", "--jump", "--ssh-config", "--timeout"}, args,
                        error))
        return usage(err, error, kDisconnectUsage);
    if (!args.words.empty() || !args.entries.empty()) return usage(err, "disconnect takes no words", kDisconnectUsage);
    QN_ssh_options options;
    if (int status = session_options(args, options, err, kDisconnectUsage, false)) return status;
    const int r = QN_ssh_disconnect(options, error);
    if (r < 0) return failure(err, error);
    std::fprintf(out, "%s\n", error.c_str());
    return 0;
}

// ---- Campaigns -------------------------------------------------------------

const char* const kStatusUsage = "usage: quelm-batch status CAMPAIGN.qnc [--watch] [--interval S] [--timeout S] "
                                 "[--password-stdin]";
const char* const kCancelUsage =
    "usage: quelm-batch cancel CAMPAIGN.qnc [--tasks 3,5-7] [--timeout S] [--password-stdin]";
const char* const kFetchUsage = "usage: quelm-batch fetch CAMPAIGN.qnc -o SAVE [--pattern GLOB ...] [--tasks 3,5-7] "
                                "[--interval S] [--timeout S] [--password-stdin]";
const char* const kResubmitUsage = "usage: quelm-batch resubmit CAMPAIGN.qnc --failed [--template FILE] "
                                   "[--interval S] [--timeout S] [--password-stdin]";

// The record named by the only word, and the session options that reach its
// server (secrets from the usual sources). 0, or the exit status.
int open_campaign(const QN_batch_args& args, QN_campaign& campaign, QN_ssh_options& options, FILE* err,
                  const char* usage_line) {
    if (args.words.size() != 1) return usage(err, "give the campaign record (NAME.qnc)", usage_line);
    if (!args.entries.empty()) return usage(err, "a campaign takes no -LABEL=VALUE entries", usage_line);
    std::string why;
    if (!QN_campaign_load(args.words[0], campaign, why)) return failure(err, why);
    options = QN_campaign_ssh_options(campaign);
    if (const std::string* timeout = args.option("--timeout")) {
        if (!parse_number(*timeout, options.timeout) || !(options.timeout > 0) || options.timeout > 86400)
            return usage(err, "--timeout " + *timeout + " is not a number of seconds", usage_line);
    }
    return session_secrets(args, options, err);
}

int interval_option(const QN_batch_args& args, int& interval, FILE* err, const char* usage_line) {
    interval = QN_POLL_INTERVAL;
    if (const std::string* v = args.option("--interval")) {
        double s = 0;
        if (!parse_number(*v, s) || s != static_cast<int>(s) || s < QN_POLL_MINIMUM || s > 86400)
            return usage(err,
                         "--interval " + *v + " is not a whole number of seconds from " +
                             std::to_string(QN_POLL_MINIMUM),
                         usage_line);
        interval = static_cast<int>(s);
    }
    return 0;
}

long long now_seconds() { return static_cast<long long>(std::time(nullptr)); }

void print_status(const QN_campaign& c, const std::string& path, const QN_campaign_status& st, int interval,
                  FILE* out, FILE* err) {
    std::string ids;
    for (const auto& a : c.arrays)
        if (ids.find(a.job_id) == std::string::npos) ids += (ids.empty() ? "" : ", ") + a.job_id;
    std::fprintf(out, "Campaign %s: %d task%s on %s in %s (%s, job%s %s)\n", path.c_str(), c.tasks,
                 c.tasks == 1 ? "" : "s", c.server.c_str(), c.folder.c_str(), c.scheduler.c_str(),
                 c.arrays.size() == 1 ? "" : "s", ids.c_str());
    if (!st.error.empty()) std::fprintf(err, "%s\n", st.error.c_str());
    std::string when = st.polled > 0 ? QN_utc_text(st.polled) : std::string("never");
    if (!st.source.empty()) when += " (" + st.source + ")";
    if (st.cached) {
        const long long next = st.polled + interval - now_seconds();
        when += ", from the last poll; the next in " + std::to_string(std::max(next, 0LL)) + " s";
    }
    std::fprintf(out, "States at %s: %s\n", when.c_str(), st.count_text().c_str());
    std::fputs(QN_campaign_status_lines(st).c_str(), out);
    std::fflush(out);
}

bool all_ended(const QN_campaign_status& st) {
    return std::all_of(st.tasks.begin(), st.tasks.end(),
                       [](const QN_task_status& t) { return QN_task_state_ended(t.state); });
}

int command_status(int argc, const char* const* argv, FILE* out, FILE* err) {
    QN_batch_args args;
    std::string error;
    if (!QN_batch_parse(argc, argv, 2, {"--interval", "--timeout"}, args, error, {"--watch", "--password-stdin"}))
        return usage(err, error, kStatusUsage);
    QN_campaign campaign;
    QN_ssh_options options;
    if (int status = open_campaign(args, campaign, options, err, kStatusUsage)) return status;
    int interval = 0;
    if (int status = interval_option(args, interval, err, kStatusUsage)) return status;
    const std::string& path = args.words[0];
    for (;;) {
        const QN_campaign_status st = QN_campaign_refresh(path, campaign, options, interval, now_seconds());
        print_status(campaign, path, st, interval, out, err);
        if (!given(args, "--watch") || all_ended(st)) {
            const bool asked = st.error.empty() || st.cached;
            return asked || st.polled == 0 ? 0 : 1;
        }
        // The next poll when the interval since this one has passed.
        const long long wait = std::max<long long>(1, st.polled + interval - now_seconds());
        ::sleep(static_cast<unsigned>(wait));
    }
}

int command_cancel(int argc, const char* const* argv, FILE* out, FILE* err) {
    QN_batch_args args;
    std::string error;
    if (!QN_batch_parse(argc, argv, 2, {"--tasks", "--timeout"}, args, error, {"--password-stdin"}))
        return usage(err, error, kCancelUsage);
    QN_campaign campaign;
    QN_ssh_options options;
    if (int status = open_campaign(args, campaign, options, err, kCancelUsage)) return status;
    std::vector<int> tasks;
    if (const std::string* list = args.option("--tasks"))
        if (!QN_parse_task_list(*list, campaign.tasks, tasks, error)) return usage(err, "--tasks: " + error, kCancelUsage);
    if (QN_campaign_cancel(options, campaign, tasks, error) != QN_SSH_OK) return failure(err, session_failure(error));
    std::fprintf(out, "%s\n", error.c_str());
    return 0;
}

int command_fetch(int argc, const char* const* argv, FILE* out, FILE* err) {
    QN_batch_args args;
    std::string error;
    if (!QN_batch_parse(argc, argv, 2, {"-o", "--pattern", "--tasks", "--interval", "--timeout"}, args, error,
                        {"--password-stdin"}))
        return usage(err, error, kFetchUsage);
    QN_campaign campaign;
    QN_ssh_options options;
    if (int status = open_campaign(args, campaign, options, err, kFetchUsage)) return status;
    const std::string* save = args.option("-o");
    if (!save || save->empty()) return usage(err, "fetch needs -o SAVE", kFetchUsage);
    int interval = 0;
    if (int status = interval_option(args, interval, err, kFetchUsage)) return status;
    std::vector<int> tasks;
    if (const std::string* list = args.option("--tasks"))
        if (!QN_parse_task_list(*list, campaign.tasks, tasks, error)) return usage(err, "--tasks: " + error, kFetchUsage);
    std::vector<std::string> patterns;
    for (const auto& o : args.options)
        if (o.first == "--pattern") patterns.push_back(o.second);
    std::error_code ec;
    if (!fs::is_directory(*save, ec)) {
        const fs::path parent = fs::path(*save).parent_path();
        if (!parent.empty() && !fs::is_directory(parent, ec)) return failure(err, "Can not access save folder " + *save);
        fs::create_directory(*save, ec);
        if (ec) return failure(err, "cannot create the save folder " + *save + ": " + ec.message());
    }
    const QN_campaign_status st = QN_campaign_refresh(args.words[0], campaign, options, interval, now_seconds());
    if (!st.error.empty()) std::fprintf(err, "%s\n", st.error.c_str());
    const QN_fetch_report report = QN_campaign_fetch(options, campaign, st, tasks, *save, patterns);
    for (const auto& name : report.done) std::fprintf(out, "%s\n", name.c_str());
    if (!report.ok()) return failure(err, session_failure(report.summary()));
    std::fprintf(out, "%s\n", report.summary().c_str());
    return 0;
}

int command_resubmit(int argc, const char* const* argv, FILE* out, FILE* err) {
    QN_batch_args args;
    std::string error;
    if (!QN_batch_parse(argc, argv, 2, {"--template", "--interval", "--timeout"}, args, error,
                        {"--failed", "--password-stdin"}))
        return usage(err, error, kResubmitUsage);
    if (!given(args, "--failed")) return usage(err, "resubmit needs --failed", kResubmitUsage);
    QN_campaign campaign;
    QN_ssh_options options;
    if (int status = open_campaign(args, campaign, options, err, kResubmitUsage)) return status;
    int interval = 0;
    if (int status = interval_option(args, interval, err, kResubmitUsage)) return status;
    const QN_scheduler_kind* kind = QN_scheduler_find(campaign.scheduler);
    if (!kind || !kind->queued) return failure(err, "the campaign's scheduler " + campaign.scheduler + " queues no jobs");
    std::string path = QN_job_template_path(*kind), templ, reason;
    if (const std::string* t = args.option("--template")) path = *t;
    if (!QB_read_text_file(path, templ, &reason)) return failure(err, "job-script template: " + reason);
    const std::string& record = args.words[0];
    const QN_campaign_status st = QN_campaign_refresh(record, campaign, options, interval, now_seconds());
    if (!st.error.empty()) std::fprintf(err, "%s\n", st.error.c_str());
    const std::vector<int> failed = QN_campaign_failed_tasks(st);
    const int n = QN_campaign_resubmit(record, campaign, st, options, templ, error);
    if (n < 0) return failure(err, session_failure(error));
    if (n == 0) {
        std::fprintf(out, "No task has failed: nothing was submitted\n");
        return 0;
    }
    std::string list;
    for (int t : failed) list += (list.empty() ? "R" : ", R") + std::to_string(t);
    std::fprintf(out, "Resubmitted %d task%s (%s) as job %s, recorded in %s\n", n, n == 1 ? "" : "s", list.c_str(),
                 campaign.arrays.back().job_id.c_str(), record.c_str());
    return 0;
}

}  // namespace

void QN_batch_register_simulation() {
    QN_batch_add_command("stage",
                         "  stage frame TEMPLATE MODEL [-S_...=VALUE ...] [--status F.qnw] [--config DIR] -o DIR\n"
                         "  stage dynamic|quasistatic|shock|crack MODEL [wizard options as for pack] -o DIR\n"
                         "                            write the task folders R1 ... RT of a LAMMPS frame as a\n"
                         "                            submission creates them on the server\n"
                         "       frames also take: --elements Cu,Ni (the element of each type; -S_elemt=Cu\n"
                         "       works too), --loop LABEL=START:END:STEP or --loop LABEL=V1,V2,... (a loop\n"
                         "       field; several loops combine, the first field of the frame fastest) and\n"
                         "       --potential FILE (its type read from the file). A mass left at 0 takes\n"
                         "       the standard atomic weight of the type's chosen element\n",
                         command_stage);
    QN_batch_add_command("submit",
                         "  submit frame TEMPLATE MODEL ... --host SERVER --folder F --command CMD\n"
                         "  submit dynamic|quasistatic|shock|crack MODEL ... --host SERVER --folder F --command CMD\n"
                         "                            stage, upload to F/R1 ... and run CMD in each\n"
                         "       SERVER is an alias of ~/.ssh/config (or --ssh-config FILE), a host name, A.B.C.D\n"
                         "       or [IPv6], each as [USER@]SERVER[:PORT]; --user U and --port N override,\n"
                         "       --identity FILE names a key, --jump [USER@]HOST[:PORT],... the jump hosts,\n"
                         "       --known-hosts FILE the host keys, --accept-new-host-key trusts an unknown key,\n"
                         "       --timeout S (default 30) fails a step without progress. Keys and ssh-agent\n"
                         "       are used as ssh uses them; a password comes from --password-stdin or\n"
                         "       QUELM_SSH_PASSWORD, a key's passphrase from QUELM_SSH_PASSPHRASE, other\n"
                         "       questions (one-time codes) from the terminal. One connection per server\n"
                         "       serves every command for 10 minutes after its last use\n"
                         "       --scheduler slurm queues the tasks as job arrays instead of running CMD:\n"
                         "       --partition P --time T --nodes N --ntasks N --cpus-per-task N --mem M\n"
                         "       --account A --qos Q --env LINE (repeatable, e.g. 'module load lammps')\n"
                         "       --max-running K --launcher CMD (default: srun lmp -in in) --job-name NAME\n"
                         "       --template FILE (default: ~/.config/quelm/slurm_job.sh, else the shipped\n"
                         "       config/slurm_job.sh); the campaign is recorded in --campaign FILE\n"
                         "       (default: NAME.qnc) once the scheduler accepted it\n",
                         command_submit);
    QN_batch_add_command("pack",
                         "  pack dynamic|quasistatic|shock|crack MODEL [-S_...=VALUE ...] [--status F.qnw]\n"
                         "       [--link FROM:TO ...] [--image W,H,RX,RY,RZ,D ...] [--upper UPPER]\n"
                         "       [--solutions all|K,L,...] [--overwrite] -o DIR\n"
                         "                            write a simulation wizard's package: the re-mapped\n"
                         "                            potential, model(s), job script, input1.qld ... and img1 ...\n"
                         "                            (stage and submit take the same wizard words and options;\n"
                         "                            --solutions picks rows of the interface search, from 1)\n",
                         command_pack);
    QN_batch_add_command("list",
                         "  list --host SERVER --folder F\n"
                         "                            every file below the server folder F\n",
                         command_list);
    QN_batch_add_command("download",
                         "  download --host SERVER --folder F -o SAVE (--all | PATH ...)\n"
                         "                            fetch files below F into SAVE [--overwrite|--skip-existing]\n",
                         command_download);
    QN_batch_add_command("download-standard",
                         "  download-standard crack [--status F.qnw] --host SERVER --folder F -o SAVE\n"
                         "                            render each block of crack tasks with ~/bin/data_render and\n"
                         "                            fetch F/result/theta*.png|dat|log into SAVE/result\n"
                         "                            [--overwrite|--skip-existing]\n",
                         command_download_standard);
    QN_batch_add_command("status",
                         "  status CAMPAIGN.qnc [--watch] [--interval S]\n"
                         "                            each task's state (PENDING, RUNNING, COMPLETED, FAILED,\n"
                         "                            CANCELLED, TIMEOUT, OUT_OF_MEMORY, unknown), exit code and\n"
                         "                            time; at most one poll per interval (default 30 s, from 10)\n",
                         command_status);
    QN_batch_add_command("cancel",
                         "  cancel CAMPAIGN.qnc [--tasks 3,5-7]\n"
                         "                            cancel the campaign's jobs, or some of its tasks\n",
                         command_cancel);
    QN_batch_add_command("fetch",
                         "  fetch CAMPAIGN.qnc -o SAVE [--pattern GLOB ...] [--tasks 3,5-7]\n"
                         "                            bring home the files of ended tasks into SAVE/Rj; files\n"
                         "                            already home are skipped, a cut-off fetch resumes\n",
                         command_fetch);
    QN_batch_add_command("resubmit",
                         "  resubmit CAMPAIGN.qnc --failed [--template FILE]\n"
                         "                            submit the FAILED, TIMEOUT and OUT_OF_MEMORY tasks again\n"
                         "                            as a new array of the same campaign\n",
                         command_resubmit);
    QN_batch_add_command("disconnect",
                         "  disconnect --host SERVER [--user U] [--port N] [--jump ...] [--ssh-config FILE]\n"
                         "                            end the server's shared connection (the next command\n"
                         "                            authenticates again)\n",
                         command_disconnect);
}
