#include "qb/qb_frames.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>
#include <system_error>

#include "qb/qb_extxyz.h"
#include "qb/qb_formats.h"
#include "qb/qb_gzip.h"
#include "qb/qb_read_text.h"
#include "qb/qb_text.h"

namespace {

using namespace qb_read;

constexpr size_t kChunk = 4u << 20;
constexpr size_t kPrefix = 256;  // what the scan looks at of each line

// A plain or gzipped file read front to back.
class ByteSource {
public:
    ~ByteSource() {
        if (fd_ >= 0) close(fd_);
    }
    bool open(const char* path, bool gz, std::string* reason) {
        if (gz) {
            gz_ = std::make_unique<QB_gzip_stream>();
            return gz_->open(path, reason);
        }
        auto fail = [&](const std::string& why) {
            if (reason) *reason = "cannot open " + std::string(path) + ": " + why;
            return false;
        };
        struct stat st;
        if (::stat(path, &st) != 0) return fail(std::generic_category().message(errno));
        if (!S_ISREG(st.st_mode)) return fail("not a regular file");
        fd_ = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        if (fd_ < 0) return fail(std::generic_category().message(errno));
        if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return fail("not a regular file");
        posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
        path_ = path;
        return true;
    }
    // Up to n bytes, 0 at the end, -1 on an error (error() says why).
    long read(char* buf, size_t n) {
        if (gz_) return gz_->read(buf, n);
        while (true) {
            const ssize_t got = ::read(fd_, buf, n);
            if (got >= 0) return static_cast<long>(got);
            if (errno == EINTR) continue;
            error_ = "cannot read " + path_ + ": " + std::generic_category().message(errno);
            return -1;
        }
    }
    bool skip(uint64_t n) {
        if (gz_) return gz_->skip(n);
        return lseek(fd_, static_cast<off_t>(n), SEEK_CUR) >= 0;
    }
    // Exactly n bytes at the current place; false when fewer are there.
    bool read_exact(char* buf, size_t n) {
        while (n > 0) {
            const long got = read(buf, n);
            if (got <= 0) return false;
            buf += got;
            n -= static_cast<size_t>(got);
        }
        return true;
    }
    const std::string& error() const { return gz_ ? gz_->error() : error_; }

private:
    int fd_ = -1;
    std::unique_ptr<QB_gzip_stream> gz_;
    std::string path_, error_;
};

bool starts_with(std::string_view s, std::string_view head) { return s.substr(0, head.size()) == head; }

bool blank(std::string_view s) {
    for (char c : s)
        if (!is_space(c)) return false;
    return true;
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    return s;
}

// Calls line(offset, prefix) for every line of the source, the prefix being
// its first kPrefix bytes without the line end; false when the source fails.
// `last_unterminated` is set before the call for a final line that has no
// line end (a write cut short may have stopped inside it).
template <class Line>
bool for_each_line(ByteSource& src, Line line, std::string* reason, bool& last_unterminated) {
    last_unterminated = false;
    // Chunks grow from small (a small file costs little) to kChunk.
    std::vector<char> buf(64 * 1024);
    std::string carry;  // the start of a line that runs past the chunk
    bool in_line = false;
    uint64_t line_start = 0, at = 0;
    while (true) {
        const long got = src.read(buf.data(), buf.size());
        if (got < 0) {
            if (reason) *reason = src.error();
            return false;
        }
        if (got == 0) break;
        const char* p = buf.data();
        const char* end = p + got;
        while (p < end) {
            if (!in_line) {
                in_line = true;
                line_start = at + static_cast<uint64_t>(p - buf.data());
                carry.clear();
            }
            const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
            const char* stop = nl ? nl : end;
            if (carry.size() < kPrefix) carry.append(p, std::min<size_t>(kPrefix - carry.size(), static_cast<size_t>(stop - p)));
            p = stop;
            if (nl) {
                p++;
                in_line = false;
                if (!line(line_start, std::string_view(carry))) return true;
            }
        }
        at += static_cast<uint64_t>(got);
        if (static_cast<size_t>(got) == buf.size() && buf.size() < kChunk) buf.resize(buf.size() * 2);
    }
    if (in_line) {
        last_unterminated = true;
        if (!line(line_start, std::string_view(carry))) return true;
    }
    line(at, std::string_view());  // the end
    return true;
}

}  // namespace

int QB_frames::open(const std::string& path, std::string* reason) {
    path_ = path;
    frames_.clear();
    remark_.clear();
    xyz_ = false;
    gz_ = QB_is_gzip(path.c_str());
    ByteSource src;
    if (!src.open(path.c_str(), gz_, reason)) return -1;

    // The kind, from the first lines.
    std::string head(16 * 1024, '\0');
    {
        ByteSource peek;
        if (!peek.open(path.c_str(), gz_, reason)) return -1;
        size_t used = 0;
        while (used < head.size()) {
            const long got = peek.read(&head[used], head.size() - used);
            if (got < 0) {
                if (reason) *reason = peek.error();
                return -1;
            }
            if (got == 0) break;
            used += static_cast<size_t>(got);
        }
        head.resize(used);
    }
    const std::string_view first = trimmed(std::string_view(head).substr(0, 64));
    if (starts_with(first, "ITEM:")) {
        xyz_ = false;
    } else if (looks_like_xyz(head)) {
        xyz_ = true;
    } else {
        return 0;
    }

    // One pass over the lines.
    struct Open {
        bool live = false;
        uint64_t start = 0;
        long long step = 0, natoms = -1, seen = 0, line = 0;
        bool atoms = false;
    } cur;
    std::string broken;  // the first incomplete frame
    auto close_frame = [&](uint64_t end) {
        if (!cur.live) return;
        cur.live = false;
        const int number = static_cast<int>(frames_.size()) + 1 + (broken.empty() ? 0 : 1);
        const bool complete = cur.natoms >= 0 && (xyz_ ? cur.seen >= cur.natoms + 1 : cur.atoms && cur.seen >= cur.natoms);
        if (complete) {
            frames_.push_back({cur.start, end, cur.step});
        } else if (broken.empty()) {
            const long long have = xyz_ ? std::max(0LL, cur.seen - 1) : cur.seen;
            broken = cur.natoms >= 0 ? QB_format("frame %d is incomplete: %lld of %lld atoms", number, have, cur.natoms)
                                     : QB_format("frame %d is incomplete: its header is cut short", number);
        }
    };
    bool stopped = false, unterminated = false;
    uint64_t stop_at = 0;
    auto dump_line = [&](uint64_t offset, std::string_view line) {
        if (line.data() == nullptr) {  // the end
            close_frame(offset);
            return true;
        }
        if (starts_with(line, "ITEM: TIMESTEP")) {
            close_frame(offset);
            cur = Open();
            cur.live = true;
            cur.start = offset;
            return true;
        }
        if (!cur.live || blank(line)) return true;
        cur.line++;
        if (cur.atoms) {
            // LAMMPS ends every line: a last line without its line end was
            // cut short, perhaps inside a number.
            if (!unterminated) cur.seen++;
            return true;
        }
        if (cur.line == 1) {
            long long v;
            if (token_int(trimmed(line), v)) cur.step = v;
        } else if (starts_with(line, "ITEM: ATOMS")) {
            cur.atoms = true;
        } else if (cur.line == 3) {
            long long v;
            if (token_int(trimmed(line), v) && v >= 0) cur.natoms = v;
        }
        return true;
    };
    auto xyz_line = [&](uint64_t offset, std::string_view line) {
        if (line.data() == nullptr) {
            if (cur.live) close_frame(offset);
            return true;
        }
        if (cur.live) {
            cur.seen++;
            if (cur.seen == cur.natoms + 1) {
                // The frame ends with this line; offset + its length is where
                // the next starts, found when the next line begins.
                cur.atoms = true;
            }
            return true;
        }
        return true;
    };
    // XYZ frames end after a counted number of lines, so the scan needs the
    // offset of the line after the last: handled by looking one line back.
    auto xyz_scan = [&](uint64_t offset, std::string_view line) {
        if (cur.live && cur.atoms) close_frame(offset);
        if (line.data() == nullptr) return xyz_line(offset, line);
        if (cur.live) return xyz_line(offset, line);
        if (blank(line)) return true;
        long long n;
        const std::vector<std::string_view> w = words_of(line);
        if (w.size() != 1 || !token_int(w[0], n) || n < 0) {
            stopped = true;
            stop_at = offset;
            return false;
        }
        cur = Open();
        cur.live = true;
        cur.start = offset;
        cur.natoms = n;
        cur.step = static_cast<long long>(frames_.size());
        return true;
    };
    const bool ok = xyz_ ? for_each_line(src, xyz_scan, reason, unterminated)
                         : for_each_line(src, dump_line, reason, unterminated);
    if (!ok) return -1;
    if (stopped && broken.empty() && !frames_.empty())
        remark_ = QB_format("the text after byte %llu is not a frame; %d frames are read",
                            static_cast<unsigned long long>(stop_at), count());
    if (!broken.empty()) remark_ = broken + QB_format("; %d complete frames are read", count());
    if (frames_.empty()) {
        if (reason && !broken.empty()) *reason = broken;
        return 0;
    }
    return 1;
}

long long QB_frames::timestep(int k) const {
    return k >= 0 && k < count() ? frames_[static_cast<size_t>(k)].step : 0;
}

bool QB_frames::frame_text(int k, std::string& text, std::string* reason) const {
    const Frame& f = frames_[static_cast<size_t>(k)];
    ByteSource src;
    if (!src.open(path_.c_str(), gz_, reason)) return false;
    text.resize(static_cast<size_t>(f.end - f.start));
    if (!src.skip(f.start) || !src.read_exact(&text[0], text.size())) {
        if (reason) *reason = src.error().empty() ? path_ + " has changed since it was opened" : src.error();
        return false;
    }
    return true;
}

int QB_frames::read(int k, QB_tools* s, std::string* reason) const {
    if (reason) reason->clear();
    if (k < 0 || k >= count()) {
        if (reason) *reason = QB_format("%s has %d frames, not %d", path_.c_str(), count(), k + 1);
        return QB_READ_UNREADABLE;
    }
    std::string text;
    if (!frame_text(k, text, reason)) return QB_READ_UNREADABLE;
    ReadResult r;
    QB_checkdat_err = 0;
    const int code = xyz_ ? read_extxyz_text(text, r) : read_lmc_text(text, path_.c_str(), r);
    QB_checkdat_err = 0;
    if (code == -3 && r.reason.empty()) r.reason = QB_format("frame %d holds a value that is not a number", k + 1);
    if (code == 1) {
        store_result(s, r);
        return xyz_ ? QB_READ_EXTXYZ : 3;
    }
    if (reason && !r.reason.empty()) *reason = r.reason;
    return xyz_ ? QB_READ_EXTXYZ_BROKEN : 4;
}

int QB_read_frame(QB_tools* s, const char* path, int frame, std::string* reason, int* count, std::string* remark) {
    if (count) *count = 0;
    if (remark) remark->clear();
    QB_frames frames;
    const int opened = frames.open(path ? path : "", reason);
    if (opened < 0) return QB_READ_UNREADABLE;
    if (opened == 0) {
        if (reason) reason->clear();
        const int code = QB_read_file(s, path, reason);
        if (count) *count = code % 2 == 1 ? 1 : 0;
        if (code % 2 == 1 && frame != 0) {
            if (reason) *reason = QB_format("%s has 1 frame, not %d", path, frame + 1);
            return QB_READ_UNREADABLE;
        }
        return code;
    }
    if (count) *count = frames.count();
    if (remark) *remark = frames.remark();
    return frames.read(frame, s, reason);
}
