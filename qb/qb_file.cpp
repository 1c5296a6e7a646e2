#include "qb/qb_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

QB_output_file::~QB_output_file() { discard(); }

bool QB_output_file::open(const std::string& path) {
    discard();
    path_ = path;
    const size_t slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string pattern = dir + "." + name + ".tmpXXXXXX";
    int fd = mkstemp(pattern.data());
    if (fd < 0) return false;
    // mkstemp makes the file private; give it the usual permissions.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    file_ = fdopen(fd, "w");
    if (!file_) {
        close(fd);
        unlink(pattern.c_str());
        return false;
    }
    temp_ = pattern;
    return true;
}

bool QB_output_file::commit() {
    if (!file_) return false;
    bool ok = std::ferror(file_) == 0;
    ok = std::fflush(file_) == 0 && ok;
    ok = std::fclose(file_) == 0 && ok;
    file_ = nullptr;
    if (ok) ok = std::rename(temp_.c_str(), path_.c_str()) == 0;
    if (!ok) unlink(temp_.c_str());
    temp_.clear();
    return ok;
}

void QB_output_file::discard() {
    if (file_) {
        std::fclose(file_);
        file_ = nullptr;
    }
    if (!temp_.empty()) {
        unlink(temp_.c_str());
        temp_.clear();
    }
}

bool QB_file_exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool QB_read_text_file(const std::string& path, std::string& text, std::string* reason) {
    auto fail = [&](const std::string& why) {
        if (reason) *reason = "cannot open " + path + ": " + why;
        return false;
    };
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return fail(std::generic_category().message(errno));
    if (!S_ISREG(st.st_mode)) return fail("not a regular file");
    std::ifstream in(path, std::ios::binary);
    if (!in) return fail(std::generic_category().message(errno));
    std::ostringstream all;
    all << in.rdbuf();
    if (in.bad()) return fail("read error");
    text = all.str();
    return true;
}

QB_private_folder::QB_private_folder(const std::string& stem, const std::string& parent) {
    std::error_code ec;
    const std::filesystem::path base = parent.empty() ? std::filesystem::temp_directory_path(ec) : std::filesystem::path(parent);
    std::string pattern = (base / (stem + "XXXXXX")).string();
    if (!ec && mkdtemp(pattern.data())) path = pattern;
}

QB_private_folder::~QB_private_folder() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
}
