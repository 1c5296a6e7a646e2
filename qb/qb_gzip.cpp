#include "qb/qb_gzip.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

#include "qb/qb_read_text.h"

namespace {

constexpr unsigned kBuffer = 1u << 20;

}  // namespace

bool QB_is_gzip(const char* path) {
    const int fd = qb_read::open_regular(path, nullptr);
    if (fd < 0) return false;
    unsigned char magic[2] = {0, 0};
    const bool gz = ::read(fd, magic, 2) == 2 && magic[0] == 0x1f && magic[1] == 0x8b;
    close(fd);
    return gz;
}

bool QB_gz_name(const std::string& path) { return path.size() > 3 && path.compare(path.size() - 3, 3, ".gz") == 0; }

std::string QB_without_gz(const std::string& path) { return QB_gz_name(path) ? path.substr(0, path.size() - 3) : path; }

QB_gzip_stream::~QB_gzip_stream() {
    if (file_) gzclose_r(static_cast<gzFile>(file_));
}

bool QB_gzip_stream::open(const char* path, std::string* reason) {
    const int fd = qb_read::open_regular(path, reason);
    if (fd < 0) return false;
    gzFile f = gzdopen(fd, "rb");
    if (!f) {
        close(fd);
        if (reason) *reason = "cannot open " + std::string(path) + ": out of memory";
        return false;
    }
    gzbuffer(f, kBuffer);
    file_ = f;
    path_ = path;
    return true;
}

long QB_gzip_stream::read(char* buf, size_t n) {
    if (!file_) return -1;
    if (!error_.empty()) return -1;
    gzFile f = static_cast<gzFile>(file_);
    const unsigned want = static_cast<unsigned>(n > (1u << 30) ? (1u << 30) : n);
    const int got = gzread(f, buf, want);
    int code = Z_OK;
    const char* message = gzerror(f, &code);
    if (got < 0 || (code != Z_OK && code != Z_BUF_ERROR)) {
        error_ = path_ + ": damaged gzip data (" + (message && *message ? message : "unknown error") + ")";
        return -1;
    }
    if (got == 0 && code == Z_BUF_ERROR) {
        error_ = path_ + ": the gzip data ends early";
        return -1;
    }
    if (got > 0) return got;
    // A clean end; zlib reports a cut-short stream at the read that finds it.
    if (code == Z_BUF_ERROR) {
        error_ = path_ + ": the gzip data ends early";
        return -1;
    }
    return 0;
}

bool QB_gzip_stream::skip(size_t n) {
    std::vector<char> buf(n < kBuffer ? n + 1 : kBuffer);
    while (n > 0) {
        const long got = read(buf.data(), n < buf.size() ? n : buf.size());
        if (got <= 0) return false;
        n -= static_cast<size_t>(got);
    }
    return true;
}

bool QB_gunzip(const char* path, std::string& out, std::string* reason) {
    out.clear();
    QB_gzip_stream in;
    if (!in.open(path, reason)) return false;
    size_t used = 0;
    while (true) {
        if (out.size() - used < kBuffer) out.resize(used + 4 * size_t(kBuffer) + out.size() / 2);
        const long got = in.read(&out[used], out.size() - used);
        if (got < 0) {
            if (reason) *reason = in.error();
            out.clear();
            return false;
        }
        if (got == 0) break;
        used += static_cast<size_t>(got);
    }
    out.resize(used);
    return true;
}
