#include "store/quelm_resources.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

#ifndef QUELM_DATA_RELATIVE
#define QUELM_DATA_RELATIVE "../share/quelm"
#endif

namespace {

const char* const kHowToPoint = "set QUELM_DATA_DIR to the folder that holds img/ and config/";

struct Found {
    bool looked = false;
    bool from_env = false;
    std::string dir;      // empty when none was found
    std::string message;  // why none was found
};

Found& found() {
    static Found f;
    return f;
}

bool is_dir(const std::string& path) {
    std::error_code ec;
    return !path.empty() && fs::is_directory(path, ec);
}

const Found& look() {
    Found& f = found();
    if (f.looked) return f;
    const char* env = std::getenv("QUELM_DATA_DIR");
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    const std::string executable = ec ? std::string() : exe.string();
    const fs::path cwd = fs::current_path(ec);
    const std::string working = ec ? std::string() : cwd.string();
    f.from_env = env && *env;
    f.dir = QN_resource_locate(env ? env : "", executable, working, f.message);
    f.looked = true;
    return f;
}

}  // namespace

std::string QN_resource_beside(const std::string& executable) {
    if (executable.empty()) return std::string();
    return (fs::path(executable).parent_path() / QUELM_DATA_RELATIVE).lexically_normal().string();
}

std::string QN_resource_locate(const std::string& data_dir_env, const std::string& executable,
                               const std::string& working_dir, std::string& message) {
    message.clear();
    if (!data_dir_env.empty()) {
        if (is_dir(data_dir_env)) return data_dir_env;
        message = "QUELM_DATA_DIR is " + data_dir_env + ", which is not a folder; " + kHowToPoint + ", or unset it";
        return std::string();
    }
    const std::string beside = QN_resource_beside(executable);
    if (is_dir(beside)) return beside;
    std::error_code ec;
    if (!working_dir.empty() && fs::is_directory(fs::path(working_dir) / "img", ec)) return working_dir;
    message = "cannot find the program's images and simulation templates (img/, config/): ";
    if (executable.empty())
        message += "the program's own path is unknown";
    else
        message += "there is no folder " + beside + " beside " + executable;
    message += ", and the working folder " + (working_dir.empty() ? std::string("(unknown)") : working_dir) +
               " holds no img/; " + kHowToPoint;
    return std::string();
}

const std::string& QN_resource_dir() { return look().dir; }

std::string QN_resource_path(const std::string& relative) {
    const std::string& dir = QN_resource_dir();
    if (dir.empty()) return relative;
    return (fs::path(dir) / relative).string();
}

int QN_resource_check(const std::vector<std::string>& relative, std::string& message) {
    message.clear();
    const Found& f = look();
    if (f.dir.empty()) {
        message = f.message;
        return 0;
    }
    std::string missing;
    for (const std::string& name : relative) {
        std::error_code ec;
        if (fs::exists(fs::path(f.dir) / name, ec)) continue;
        missing += (missing.empty() ? "" : ", ") + name;
    }
    if (missing.empty()) return 1;
    message = "the program's resource folder " + f.dir + (f.from_env ? " (QUELM_DATA_DIR)" : "") + " lacks " +
              missing + "; " + (f.from_env ? std::string(kHowToPoint) + ", or unset it"
                                           : "reinstall the program, or " + std::string(kHowToPoint));
    return 0;
}

const std::vector<std::string>& QN_resource_essentials() {
    static const std::vector<std::string> names = {"img/color.png",      "img/x.png",    "img/y.png",
                                                   "img/z.png",          "img/icon",     "img/background.png",
                                                   "img/icon.png",       "config/config_list.txt"};
    return names;
}

const std::vector<std::string>& QN_resource_textures() {
    static const std::vector<std::string> names = {"img/color.png", "img/x.png", "img/y.png", "img/z.png"};
    return names;
}

void QN_resource_reset() { found() = Found(); }
