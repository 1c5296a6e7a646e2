#include "simulation/remote_tasks.h"

#include <algorithm>
#include <filesystem>
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

// True when path, with the symbolic links of its existing folders resolved,
// stays inside folder (already canonical).
bool stays_inside(const fs::path& folder, const fs::path& path) {
    std::error_code ec;
    const fs::path resolved = fs::weakly_canonical(path.parent_path(), ec);
    if (ec) return false;
    auto f = folder.begin();
    auto r = resolved.begin();
    for (; f != folder.end(); ++f, ++r)
        if (r == resolved.end() || *f != *r) return false;
    return true;
}

std::string plural(size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
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
                                 const QN_submit_shared* shared) {
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
    if (command.empty() || command == "No_file" || command.find('\0') != std::string::npos) {
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
    if (shared) {
        for (const auto& name : shared->files) {
            if (session.upload(local_dir + "/" + name, folder + "/" + name) != QN_SSH_OK) {
                report.error = "upload of " + name + " failed: " + session.message();
                return report;
            }
        }
    }
    for (int j = 1; j <= tasks; j++) {
        QN_task_report task;
        task.folder = folder + "/R" + std::to_string(j);
        const std::string local = local_dir + "/R" + std::to_string(j);
        task.files = static_cast<int>(files[j - 1].size());
        if (session.mkdir(task.folder) != QN_SSH_OK) {
            task.error = "cannot create the folder: " + session.message();
            report.tasks.push_back(task);
            continue;
        }
        task.created = true;
        for (const auto& name : files[j - 1]) {
            if (session.upload(local + "/" + name, task.folder + "/" + name) != QN_SSH_OK) {
                task.error = "upload of " + name + " failed: " + session.message();
                break;
            }
            task.files_uploaded++;
        }
        if (task.error.empty()) {
            std::string line;
            if (!QN_task_command(task.folder, prepare + command, line)) {
                task.error = "the folder name cannot be passed to a shell";
            } else if (session.exec(line, &task.exit_status, &task.output) != QN_SSH_OK) {
                task.error = "the command could not be run: " + session.message();
            } else {
                task.command_ran = true;
            }
            if (task.output.size() > kOutputKept) task.output.erase(0, task.output.size() - kOutputKept);
        }
        report.tasks.push_back(std::move(task));
    }
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
        if (!stays_inside(inside, local)) {
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
