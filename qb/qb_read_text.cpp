#include "qb/qb_read_text.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "qb/qb_formats.h"
#include "qb/qb_progress.h"
#include "qb/qb_text.h"

namespace qb_read {

const char* const kReadingMessage = "Reading model please wait";

size_t parse_number(const char* p, const char* end, double& out) {
    const char* q = p;
    if (q < end && *q == '+') {
        q++;
        if (q < end && (*q == '-' || *q == '+')) return 0;
    }
    const char* digits = q < end && *q == '-' ? q + 1 : q;
    const bool hex = end - digits >= 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X');
    if (!hex) {
        const auto r = std::from_chars(q, end, out);
        if (r.ec == std::errc()) return static_cast<size_t>(r.ptr - p);
        if (r.ec != std::errc::result_out_of_range) return 0;
    }
    // Hexadecimal and out-of-range numbers: strtod on a copy of the token.
    const char* stop = p;
    while (stop < end && !is_space(*stop)) stop++;
    const std::string copy(p, stop);
    char* used = nullptr;
    out = QB_strtod(copy.c_str(), &used);
    return static_cast<size_t>(used - copy.c_str());
}

bool parse_int_prefix(const char*& p, const char* end, long long& out) {
    const char* q = p;
    bool negative = false;
    if (q < end && (*q == '+' || *q == '-')) negative = *q++ == '-';
    if (q >= end || !is_digit(*q)) return false;
    long long v = 0;
    while (q < end && is_digit(*q)) {
        v = v * 10 + (*q++ - '0');
        if (v > INT_MAX + 1LL) return false;
    }
    out = negative ? -v : v;
    if (out > INT_MAX || out < INT_MIN) return false;
    p = q;
    return true;
}

bool token_number(std::string_view w, double& v) {
    const size_t n = parse_number(w.data(), w.data() + w.size(), v);
    return n > 0 && n == w.size();
}

bool token_int(std::string_view w, long long& v) {
    const char* p = w.data();
    return parse_int_prefix(p, w.data() + w.size(), v) && p == w.data() + w.size();
}

bool is_plain_number(std::string_view w) {
    double v;
    return token_number(w, v);
}

double checkdat(std::string_view w) {
    double v = 0;
    const size_t n = parse_number(w.data(), w.data() + w.size(), v);
    if (n != w.size()) {
        const std::string rest(w.substr(n));
        QB_fprintf(stdout, ">>ERROR: error data type %s should be float or int type\n", rest.c_str());
        QB_checkdat_err = 1;
    }
    return n > 0 ? v : 0;
}

std::vector<std::string_view> words_of(std::string_view line) {
    std::vector<std::string_view> out;
    Scanner sc(line);
    std::string_view w;
    while (sc.read_word(w)) out.push_back(w);
    return out;
}

// ------------------------------------------------------------------ the file

MappedFile::~MappedFile() {
    if (map_) munmap(map_, size_);
}

int open_regular(const char* path, std::string* reason) {
    auto fail = [&](const std::string& why) {
        if (reason) *reason = "cannot open " + std::string(path ? path : "") + ": " + why;
        return -1;
    };
    if (!path) return fail("no file name");
    struct stat st;
    if (::stat(path, &st) != 0) return fail(std::generic_category().message(errno));
    if (!S_ISREG(st.st_mode)) return fail("not a regular file");
    // Non-blocking: should the name have become a pipe since, opening it
    // does not wait for a writer.
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return fail(std::generic_category().message(errno));
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return fail("not a regular file");
    }
    return fd;
}

bool MappedFile::open(const char* path, std::string* reason) {
    auto fail = [&](const std::string& why) {
        if (reason) *reason = "cannot open " + std::string(path ? path : "") + ": " + why;
        return false;
    };
    const int fd = open_regular(path, reason);
    if (fd < 0) return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0;
    if (!ok) fail(std::generic_category().message(errno));
    if (ok && st.st_size > 0) {
        size_ = static_cast<size_t>(st.st_size);
        void* p = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
        if (p == MAP_FAILED) {
            ok = fail(std::generic_category().message(errno));
            size_ = 0;
        } else {
            map_ = p;
        }
    }
    close(fd);
    return ok;
}

// ----------------------------------------------------------------- results

void store_result(QB_tools* s, ReadResult& r) {
    QB_free_atom(s);
    s->atoms = std::move(r.atoms);
    s->natoms = static_cast<int>(s->atoms.size());
    s->ntypes = r.ntypes;
    s->triclinic = r.triclinic;
    std::memcpy(s->lo, r.lo, sizeof r.lo);
    std::memcpy(s->size, r.size, sizeof r.size);
    std::memcpy(s->origin, r.origin, sizeof r.origin);
    std::memcpy(s->cell, r.cell, sizeof r.cell);
    std::memcpy(s->periodic, r.periodic, sizeof r.periodic);
    s->channel_names = std::move(r.channel_names);
    s->channel_data = std::move(r.channel_data);
    s->channel_count = static_cast<int>(s->channel_names.size());
    s->exint_names = std::move(r.exint_names);
    s->exint_data = std::move(r.exint_data);
    s->exint_count = static_cast<int>(s->exint_names.size());
    for (size_t k = 0; k < r.element_names.size(); k++)
        if (!r.element_names[k].empty()) QB_save_elename(s, static_cast<int>(k), r.element_names[k].c_str());
}

void print_totals(int natoms, int ntypes) {
    std::printf(">>total %d atoms\n", natoms);
    std::printf(">>total %d atom types\n", ntypes);
}

void set_restricted_cell(ReadResult& r, const double o[3], const double L[3], double xy, double xz, double yz) {
    r.triclinic = 1;
    const double cell[3][3] = {{L[0], 0, 0}, {xy, L[1], 0}, {xz, yz, L[2]}};
    std::memcpy(r.cell, cell, sizeof cell);
    std::memcpy(r.origin, o, sizeof r.origin);
    r.lo[0] = o[0] + std::min(0.0, xy) + std::min(0.0, xz);
    r.size[0] = L[0] + std::fabs(xy) + std::fabs(xz);
    r.lo[1] = o[1] + std::min(0.0, yz);
    r.size[1] = L[1] + std::fabs(yz);
    r.lo[2] = o[2];
    r.size[2] = L[2];
}

ProgressScope::ProgressScope(const char* message) { QB_progress_begin(message); }
ProgressScope::~ProgressScope() { QB_progress_end(); }

}  // namespace qb_read
