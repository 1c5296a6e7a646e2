#include "simulation/remote_tasks.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <system_error>

namespace fs = std::filesystem;

namespace {

constexpr size_t kOutputKept = 64 * 1024;

// "a/b/" → "a/b"; the root stays "/".
std::string without_trailing_slash(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

bool has_line_end_or_nul(const std::string& text) { return text.find_first_of(std::string("\n\r\0", 3)) != std::string::npos; }

// Creates folder and every missing folder above it (relative ones below the
// account's home).
int make_remote_folders(QN_ssh_session& session, const std::string& folder) {
    size_t p = folder.front() == '/' ? 1 : 0;
    while (true) {
        const size_t slash = folder.find('/', p);
        const std::string prefix = folder.substr(0, slash);
        if (!prefix.empty() && prefix != "/" && slash != p) {
            const int made = session.mkdir(prefix);
            if (made != QN_SSH_OK) return made;
        }
        if (slash == std::string::npos) return QN_SSH_OK;
        p = slash + 1;
    }
}

// The regular files of a staged task folder, by name.
bool staged_files(const std::string& dir, std::vector<std::string>& names, std::string& error) {
    names.clear();
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_regular_file(ec)) names.push_back(it->path().filename().string());
    }
    if (ec) {
        error = "cannot read the staged folder " + dir + ": " + ec.message();
        return false;
    }
    std::sort(names.begin(), names.end());
    return true;
}

std::string plural(size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string base_name_of(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Single quotes for a POSIX shell, line ends allowed.
std::string quoted_script(const std::string& text) {
    std::string q = "'";
    for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// A word the output of the users' commands will not hold by chance.
std::string marker_word() {
    static unsigned counter = 0;
    const auto now = std::chrono::high_resolution_clock::now().time_since_epoch().count();
    const size_t h = std::hash<std::string>()(std::to_string(now) + ":" + std::to_string(::getpid()) + ":" +
                                              std::to_string(counter++));
    char text[40];
    std::snprintf(text, sizeof text, "QN%016zx%04x", h, counter & 0xffff);
    return text;
}

// Runs the command lines (task index, line) one after the other, in its own
// shell each, many per remote command: a task's output and exit status come
// between markers, so one connection round serves many tasks.
void run_commands(QN_ssh_session& session, const std::vector<std::pair<int, std::string>>& lines,
                  std::vector<QN_task_report>& tasks) {
    constexpr size_t kPerRound = 50;
    constexpr size_t kScriptBytes = 60 * 1024;  // well below the kernel's limit for one argument
    size_t next = 0;
    while (next < lines.size()) {
        const std::string mark = marker_word();
        std::string script;
        std::vector<std::pair<int, std::string>> round;
        while (next < lines.size() && round.size() < kPerRound &&
               (round.empty() || script.size() + lines[next].second.size() < kScriptBytes)) {
            const int j = lines[next].first;
            script += "printf '%s %d\\n' " + mark + "B " + std::to_string(j) + "\n";
            script += "\"${SHELL:-/bin/sh}\" -c " + quoted_script(lines[next].second) + " </dev/null 2>&1\n";
            script += "printf '\\n%s %d %d\\n' " + mark + "E " + std::to_string(j) + " \"$?\"\n";
            round.push_back(lines[next]);
            next++;
        }
        std::string output;
        int status = -1;
        const int ran = session.exec(script, &status, &output);
        // Each task's part of the output.
        size_t pos = 0;
        for (const auto& entry : round) {
            QN_task_report& task = tasks[entry.first];
            const std::string begin = mark + "B " + std::to_string(entry.first) + "\n";
            const std::string end = "\n" + mark + "E " + std::to_string(entry.first) + " ";
            const size_t b = output.find(begin, pos);
            if (b == std::string::npos) {
                task.error = "the command could not be run: " +
                             (ran == QN_SSH_OK ? std::string("the server's shell stopped") : session.message());
                continue;
            }
            const size_t start = b + begin.size();
            const size_t e = output.find(end, start);
            if (e == std::string::npos) {
                task.output = output.substr(start);
                task.error = "the command could not be run to its end: " +
                             (ran == QN_SSH_OK ? std::string("the server's shell stopped") : session.message());
            } else {
                task.output = output.substr(start, e - start);
                task.exit_status = std::atoi(output.c_str() + e + end.size());
                task.command_ran = true;
                pos = output.find('\n', e + end.size());
                if (pos == std::string::npos) pos = output.size();
            }
            if (task.output.size() > kOutputKept) task.output.erase(0, task.output.size() - kOutputKept);
        }
        if (ran != QN_SSH_OK) {
            // The connection is gone: the tasks not reached cannot run.
            for (size_t k = next; k < lines.size(); k++)
                tasks[lines[k].first].error = "the command could not be run: " + session.message();
            return;
        }
    }
}

// Hands every task to the scheduler once all of them are ready on the
// server; a task that is not leaves the whole campaign unsubmitted.
void queue_tasks(QN_ssh_session& session, const std::string& folder, QN_queue_request& queue,
                 QN_submit_report& report) {
    for (QN_task_report& task : report.tasks) {
        if (!task.error.empty()) {
            report.error = "not every task folder is ready, so nothing was given to the scheduler";
            return;
        }
        if (task.command_ran && task.exit_status != 0) {
            task.error = "the task's setup ended with exit status " + std::to_string(task.exit_status);
            report.error = "not every task folder is ready, so nothing was given to the scheduler";
            return;
        }
    }
    QN_campaign& c = queue.campaign;
    c.scheduler = queue.kind->name;
    c.job = queue.job;
    c.tasks = static_cast<int>(report.tasks.size());
    c.arrays.clear();
    int limit = 0;
    std::string why;
    if (QN_campaign_resolve(session, *queue.kind, folder, c.folder, limit, why) != QN_SSH_OK) {
        report.error = why;
        return;
    }
    std::vector<int> all;
    for (int j = 1; j <= c.tasks; j++) all.push_back(j);
    c.submitted = QN_utc_text(static_cast<long long>(std::time(nullptr)));
    const int submitted = QN_campaign_submit_arrays(session, c, queue.templ, all, limit, why);
    for (const auto& a : c.arrays) report.jobs.push_back(a.job_id);
    if (submitted != QN_SSH_OK) {
        report.error = why;
        return;
    }
    for (QN_task_report& task : report.tasks) task.queued = true;
}

}  // namespace

bool QN_task_command(const std::string& folder, const std::string& command, std::string& out) {
    std::string quoted;
    if (!QN_shell_quote(folder, quoted)) return false;
    out = "cd -- " + quoted + " && " + command;
    return true;
}

bool QN_submit_report::ok() const {
    if (!error.empty() || exists || tasks.empty()) return false;
    return std::all_of(tasks.begin(), tasks.end(), [](const QN_task_report& t) { return t.ok(); });
}

std::string QN_submit_report::summary() const {
    if (ok() && !jobs.empty()) {
        std::string ids;
        for (const auto& j : jobs) ids += (ids.empty() ? "" : ", ") + j;
        return "Submitted " + plural(tasks.size(), "task", "tasks") + " to the scheduler as " +
               (jobs.size() == 1 ? "job " : "jobs ") + ids;
    }
    if (ok()) return "Submit complete";
    if (!error.empty()) return "Submit failed: " + error;
    size_t failed = 0;
    for (const auto& t : tasks) failed += t.ok() ? 0 : 1;
    std::string text = "Submit failed: " + std::to_string(failed) + " of " + plural(tasks.size(), "task", "tasks") +
                       " did not succeed";
    for (const auto& t : tasks) {
        if (t.ok()) continue;
        text += "\n" + t.folder + ": ";
        if (!t.error.empty())
            text += t.error;
        else
            text += "the command ended with exit status " + std::to_string(t.exit_status);
    }
    return text;
}

QN_submit_report QN_submit_tasks(const QN_ssh_options& options, const std::string& local_dir, int tasks,
                                 const std::string& remote_folder, const std::string& command, bool overwrite,
                                 const QN_submit_shared* shared, QN_queue_request* queue) {
    QN_submit_report report;
    const std::string folder = without_trailing_slash(remote_folder);
    if (tasks < 1) {
        report.error = "there is no task to submit";
        return report;
    }
    if (folder.empty() || folder == "No_file" || folder.find('\0') != std::string::npos ||
        has_line_end_or_nul(folder)) {
        report.error = "no usable server folder given";
        return report;
    }
    if (queue && (!queue->kind || !queue->kind->queued)) {
        report.error = "the scheduler queues no jobs";
        return report;
    }
    if (!queue && (command.empty() || command == "No_file" || command.find('\0') != std::string::npos)) {
        report.error = "no submit command given";
        return report;
    }
    // Everything local is known before the server is contacted.
    std::vector<std::vector<std::string>> files(static_cast<size_t>(tasks));
    for (int j = 1; j <= tasks; j++) {
        if (!staged_files(local_dir + "/R" + std::to_string(j), files[j - 1], report.error)) return report;
    }

    // The shared files, copied into each task folder before the setup.
    std::string prepare;
    if (shared) {
        std::string copies;
        for (const auto& name : shared->files) {
            std::string quoted;
            if (!QN_remote_name_ok(name) || !QN_shell_quote("../" + name, quoted)) {
                report.error = "the shared file name " + name + " cannot be used on the server";
                return report;
            }
            copies += " " + quoted;
        }
        if (!copies.empty()) prepare = "cp --" + copies + " . && ";
        if (!shared->setup.empty()) prepare += shared->setup + " && ";
    }

    QN_ssh_session session;
    if (session.open(options) != QN_SSH_OK) {
        report.error = session.message();
        return report;
    }
    QN_remote_entry first;
    const int found = session.stat(folder + "/R1", &first);
    if (found < 0) {
        report.error = session.message();
        return report;
    }
    if (found == 1 && !overwrite) {
        report.exists = true;
        report.error = folder + "/R1 already exists on the server; nothing was sent (overwrite to replace it)";
        return report;
    }
    if (make_remote_folders(session, folder) != QN_SSH_OK) {
        report.error = "cannot create the server folder " + folder + ": " + session.message();
        return report;
    }
    if (shared && !shared->files.empty()) {
        std::vector<QN_upload_item> items;
        for (const auto& name : shared->files) items.push_back({local_dir + "/" + name, folder + "/" + name, 0, std::string()});
        if (session.upload_all(items) != QN_SSH_OK) {
            for (size_t k = 0; k < items.size(); k++)
                if (items[k].result != QN_SSH_OK) {
                    report.error = "upload of " + shared->files[k] + " failed: " + items[k].error;
                    break;
                }
            return report;
        }
    }

    // The task folders, then every file of every task, each batch of
    // requests sent together.
    report.tasks.resize(static_cast<size_t>(tasks));
    std::vector<std::string> folders;
    for (int j = 1; j <= tasks; j++) {
        QN_task_report& task = report.tasks[j - 1];
        task.folder = folder + "/R" + std::to_string(j);
        task.files = static_cast<int>(files[j - 1].size());
        folders.push_back(task.folder);
    }
    std::vector<std::string> made;
    if (session.mkdir_all(folders, made) != QN_SSH_OK && !session.is_open()) {
        report.tasks.clear();
        report.error = "cannot create the task folders: " + session.message();
        return report;
    }
    std::vector<QN_upload_item> uploads;
    std::vector<int> owner;
    for (int j = 1; j <= tasks; j++) {
        QN_task_report& task = report.tasks[j - 1];
        if (!made[j - 1].empty()) {
            task.error = "cannot create the folder: " + made[j - 1];
            continue;
        }
        task.created = true;
        for (const auto& name : files[j - 1]) {
            uploads.push_back({local_dir + "/R" + std::to_string(j) + "/" + name, task.folder + "/" + name, 0, std::string()});
            owner.push_back(j - 1);
        }
    }
    if (!uploads.empty()) session.upload_all(uploads);
    for (size_t k = 0; k < uploads.size(); k++) {
        QN_task_report& task = report.tasks[owner[k]];
        if (uploads[k].result == QN_SSH_OK) {
            task.files_uploaded++;
        } else if (task.error.empty()) {
            task.error = "upload of " + base_name_of(uploads[k].local) + " failed: " + uploads[k].error;
        }
    }

    // The commands of the tasks whose files are all there, in order. A
    // queued task only gets its shared files and setup now.
    std::vector<std::pair<int, std::string>> lines;
    for (int j = 1; j <= tasks; j++) {
        QN_task_report& task = report.tasks[j - 1];
        if (!task.error.empty()) continue;
        std::string line;
        if (!QN_task_command(task.folder, queue ? prepare + "true" : prepare + command, line)) {
            task.error = "the folder name cannot be passed to a shell";
            continue;
        }
        if (!queue || !prepare.empty()) lines.emplace_back(j - 1, line);
    }
    run_commands(session, lines, report.tasks);
    if (queue) queue_tasks(session, folder, *queue, report);
    return report;
}

// ---- Download list -----------------------------------------------------------

void QNDF_init(QN_download_filelist* list) {
    list->items.clear();
    list->refused.clear();
    list->unlisted.clear();
    list->count = 0;
}

int QNDF_fill(QN_ssh_session& session, QN_download_filelist* list, const std::string& remote_root) {
    QNDF_init(list);
    const std::string root = without_trailing_slash(remote_root);
    std::vector<QN_remote_entry> entries;
    const int listed = session.list(root, entries);
    if (listed != QN_SSH_OK) return listed;
    auto add = [list](const std::string& prefix, const std::vector<QN_remote_entry>& found) {
        for (const auto& e : found) {
            const std::string name = prefix.empty() ? e.name : prefix + "/" + e.name;
            if (!QN_remote_name_ok(e.name)) {
                list->refused.push_back(name);
                continue;
            }
            list->items.push_back({name, e.is_dir ? 1 : 0, e.is_dir ? 1 : 0});
        }
    };
    add("", entries);
    // Breadth first: the walk reaches the folders appended behind it.
    for (size_t i = 0; i < list->items.size(); i++) {
        if (!list->items[i].expand) continue;
        list->items[i].expand = 0;
        const std::string name = list->items[i].name;
        if (session.list(root + "/" + name, entries) != QN_SSH_OK) {
            list->unlisted.push_back(name);
            continue;
        }
        add(name, entries);
    }
    list->count = static_cast<int>(list->items.size());
    return QN_SSH_OK;
}

int QNDF_request(QN_download_filelist* list, const QN_ssh_options& options, const std::string& remote_root,
                 std::string& message) {
    QNDF_init(list);
    QN_ssh_session session;
    int result = session.open(options);
    if (result == QN_SSH_OK) result = QNDF_fill(session, list, remote_root);
    message = result == QN_SSH_OK ? "" : session.message();
    return result;
}

std::vector<std::string> QNDF_files(const QN_download_filelist& list) {
    std::vector<std::string> files;
    for (const auto& item : list.items)
        if (!item.is_dir) files.push_back(item.name);
    std::sort(files.begin(), files.end());
    return files;
}

std::string QN_download_report::summary() const {
    if (!error.empty()) return "Download failed: " + error;
    if (ok() && done.empty() && skipped.empty()) return "No file selected: nothing was downloaded";
    if (ok()) {
        if (skipped.empty()) return "The files have been downloaded";
        return "The files have been downloaded (" + plural(skipped.size(), "existing file", "existing files") +
               " left as " + (skipped.size() == 1 ? "it was)" : "they were)");
    }
    std::string text = "Download failed: " + std::to_string(failed.size()) + " of " +
                       plural(done.size() + skipped.size() + failed.size(), "file", "files") +
                       " could not be downloaded";
    for (const auto& f : failed) text += "\n" + f.first + ": " + f.second;
    return text;
}

QN_download_report QNDF_download(const QN_ssh_options& options, const std::string& remote_root,
                                 const std::vector<std::string>& names, const std::string& save_folder,
                                 QN_existing existing, const std::function<void(int, int)>& progress) {
    QN_download_report report;
    std::error_code ec;
    if (save_folder.empty() || !fs::is_directory(save_folder, ec)) {
        report.error = "Can not access save folder " + save_folder;
        return report;
    }
    if (names.empty()) return report;
    QN_ssh_session session;
    if (session.open(options) != QN_SSH_OK) {
        report.error = "Can not access sever: " + session.message();
        return report;
    }
    const std::string root = without_trailing_slash(remote_root);
    const fs::path inside = fs::canonical(save_folder, ec);
    const int n = static_cast<int>(names.size());
    for (int k = 0; k < n; k++) {
        const std::string& name = names[k];
        if (progress) progress(k, n);
        if (!QN_remote_path_ok(name)) {
            report.failed.emplace_back(name, "refused: not a name inside the save folder");
            continue;
        }
        const std::string local = save_folder + "/" + name;
        if (!QN_local_path_inside(inside.string(), local)) {
            report.failed.emplace_back(name, "refused: the path leads out of the save folder");
            continue;
        }
        if (existing == QN_existing::skip && fs::exists(fs::symlink_status(local, ec))) {
            report.skipped.push_back(name);
            continue;
        }
        if (session.download(root + "/" + name, local, existing) == QN_SSH_OK)
            report.done.push_back(name);
        else
            report.failed.emplace_back(name, session.message());
    }
    if (progress) progress(n, n);
    return report;
}
