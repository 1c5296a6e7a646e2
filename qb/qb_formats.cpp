#include "qb/qb_formats.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "qb/qb_file.h"
#include "qb/qb_progress.h"
#include "qb/qb_text.h"

int QB_checkdat_err = 0;

namespace {

constexpr int kProgressStep = 100000;
const char* const kReadingMessage = "Reading model please wait";

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Converts the number at the start of [p, end) as strtod does (C locale);
// returns the number of characters used, 0 when there is no number.
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

// An integer token as "%d" reads it; false for no digits or beyond int.
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

// Reads a text in memory the way the formatted-input calls of the C library
// read a file, without their cost.
class Scanner {
public:
    Scanner(const char* begin, const char* end) : p_(begin), end_(end) {}

    void skip_space() {
        while (p_ < end_ && is_space(*p_)) p_++;
    }
    bool at_end() {
        skip_space();
        return p_ >= end_;
    }
    size_t remaining() const { return static_cast<size_t>(end_ - p_); }

    bool read_int(long long& v) {
        skip_space();
        return parse_int_prefix(p_, end_, v);
    }
    bool read_double(double& v) {
        skip_space();
        const size_t n = parse_number(p_, end_, v);
        p_ += n;
        return n > 0;
    }
    bool read_word(std::string_view& w) {
        skip_space();
        if (p_ >= end_) return false;
        const char* start = p_;
        while (p_ < end_ && !is_space(*p_)) p_++;
        w = std::string_view(start, static_cast<size_t>(p_ - start));
        return true;
    }
    // Discards the rest of the line and its line end; an empty rest leaves
    // the line end in place, as "%*[^\n]%*c" does.
    void skip_line() {
        const char* start = p_;
        while (p_ < end_ && *p_ != '\n') p_++;
        if (p_ > start && p_ < end_) p_++;
    }
    // The next line that holds more than blanks, without its line end;
    // false at the end of the text.
    bool next_line(std::string_view& line) {
        while (p_ < end_) {
            const char* start = p_;
            while (p_ < end_ && *p_ != '\n') p_++;
            line = std::string_view(start, static_cast<size_t>(p_ - start));
            if (p_ < end_) p_++;
            for (char c : line)
                if (!is_space(c)) return true;
        }
        return false;
    }

private:
    const char* p_;
    const char* end_;
};

// A whole file mapped into memory, read-only.
class MappedFile {
public:
    MappedFile() = default;
    ~MappedFile() {
        if (map_) munmap(map_, size_);
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    bool open(const char* path) {
        if (!path) return false;
        const int fd = ::open(path, O_RDONLY);
        if (fd < 0) return false;
        struct stat st;
        bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
        if (ok && st.st_size > 0) {
            size_ = static_cast<size_t>(st.st_size);
            void* p = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
            if (p == MAP_FAILED) {
                ok = false;
                size_ = 0;
            } else {
                map_ = p;
            }
        }
        close(fd);
        return ok;
    }
    std::string_view text() const {
        return map_ ? std::string_view(static_cast<const char*>(map_), size_) : std::string_view();
    }

private:
    void* map_ = nullptr;
    size_t size_ = 0;
};

// A whole token as a number: the value and whether all of it was used.
bool token_number(std::string_view w, double& v) {
    const size_t n = parse_number(w.data(), w.data() + w.size(), v);
    return n > 0 && n == w.size();
}

bool token_int(std::string_view w, long long& v) {
    const char* p = w.data();
    return parse_int_prefix(p, w.data() + w.size(), v) && p == w.data() + w.size();
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

bool is_plain_number(std::string_view w) {
    double v;
    return token_number(w, v);
}

// Everything a reader learns before it replaces the record.
struct ReadResult {
    QB_atom_array atoms;
    int ntypes = 0;
    int triclinic = 0;
    double lo[3] = {0, 0, 0}, size[3] = {0, 0, 0}, origin[3] = {0, 0, 0};
    double cell[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
    int periodic[3] = {1, 1, 1};
    std::vector<std::string> channel_names;
    std::vector<std::vector<double>> channel_data;
    std::vector<std::string> element_names;
};

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
    for (size_t k = 0; k < r.element_names.size(); k++)
        QB_save_elename(s, static_cast<int>(k), r.element_names[k].c_str());
}

void print_totals(int natoms, int ntypes) {
    std::printf(">>total %d atoms\n", natoms);
    std::printf(">>total %d atom types\n", ntypes);
}

// Closes the busy report however the reader leaves.
struct ProgressScope {
    explicit ProgressScope(const char* message) { QB_progress_begin(message); }
    ~ProgressScope() { QB_progress_end(); }
};

// Strips a trailing "# comment".
std::string_view without_comment(std::string_view line) {
    const size_t hash = line.find('#');
    return hash == std::string_view::npos ? line : line.substr(0, hash);
}

// ---------------------------------------------------------------- data file

int read_lmp_text(std::string_view text, ReadResult& r) {
    Scanner sc(text.data(), text.data() + text.size());
    sc.skip_line();
    long long natoms, ntypes;
    if (!sc.read_int(natoms)) return -1;
    sc.skip_space();
    sc.skip_line();
    if (!sc.read_int(ntypes)) return -1;
    sc.skip_space();
    sc.skip_line();
    if (natoms < 0 || ntypes < 0 || ntypes > QB_MAX_TYPES) return -1;
    double lo[3], hi[3];
    for (int d = 0; d < 3; d++) {
        if (!sc.read_double(lo[d]) || !sc.read_double(hi[d])) return -1;
        sc.skip_space();
        sc.skip_line();
    }
    double tilt[3];
    int tilts = 0;
    while (tilts < 3 && sc.read_double(tilt[tilts])) tilts++;
    sc.skip_space();
    std::string_view w;
    do {
        if (!sc.read_word(w)) return -1;
    } while (w != "Atoms");
    sc.skip_line();

    // The shortest atom line, "1 1 0 0 0", takes nine characters and a line end.
    if (static_cast<unsigned long long>(natoms) * 10 > sc.remaining() + 1) return -2;

    ProgressScope progress(kReadingMessage);
    r.atoms.reserve(static_cast<size_t>(natoms));
    int top = static_cast<int>(ntypes);
    for (long long i = 0; i < natoms; i++) {
        if (i % kProgressStep == 0 && i > 0) QB_progress_update(100.0 * i / natoms);
        std::string_view line;
        if (!sc.next_line(line)) return -2;
        Scanner fields(line.data(), line.data() + without_comment(line).size());
        std::string_view tok[9];
        int n = 0;
        while (n < 9 && fields.read_word(tok[n])) n++;
        if (n != 5 && n != 8) return -2;
        std::string_view extra;
        if (fields.read_word(extra)) return -2;
        long long id, type, flag;
        double x, y, z;
        if (!token_int(tok[0], id) || !token_int(tok[1], type) || !token_number(tok[2], x) ||
            !token_number(tok[3], y) || !token_number(tok[4], z))
            return -2;
        for (int k = 5; k < n; k++)
            if (!token_int(tok[k], flag)) return -2;
        if (id < 1 || type < 1 || type > QB_MAX_TYPES) return -2;
        r.atoms.push_back({static_cast<int32_t>(id), static_cast<int32_t>(type), x, y, z, 0});
        top = std::max(top, static_cast<int>(type));
    }
    r.ntypes = top;
    r.periodic[0] = r.periodic[1] = r.periodic[2] = 1;
    if (tilts == 3) {
        const double L[3] = {hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]};
        const double xy = tilt[0], xz = tilt[1], yz = tilt[2];
        r.triclinic = 1;
        const double cell[3][3] = {{L[0], 0, 0}, {xy, L[1], 0}, {xz, yz, L[2]}};
        std::memcpy(r.cell, cell, sizeof cell);
        std::memcpy(r.origin, lo, sizeof lo);
        r.lo[0] = lo[0] + std::min(0.0, xy) + std::min(0.0, xz);
        r.size[0] = L[0] + std::fabs(xy) + std::fabs(xz);
        r.lo[1] = lo[1] + std::min(0.0, yz);
        r.size[1] = L[1] + std::fabs(yz);
        r.lo[2] = lo[2];
        r.size[2] = L[2];
    } else {
        for (int d = 0; d < 3; d++) {
            r.lo[d] = r.origin[d] = lo[d];
            r.size[d] = hi[d] - lo[d];
            r.cell[d][d] = r.size[d];
        }
    }
    print_totals(static_cast<int>(natoms), r.ntypes);
    return 1;
}

// ----------------------------------------------------------------- dump file

int read_lmc_text(std::string_view text, const char* path, ReadResult& r) {
    Scanner sc(text.data(), text.data() + text.size());
    std::string_view w;
    auto until_item = [&]() {
        do {
            if (!sc.read_word(w)) return false;
        } while (w != "ITEM:");
        return true;
    };
    if (!until_item() || !sc.read_word(w) || !until_item()) return -1;
    for (int k = 0; k < 4; k++)
        if (!sc.read_word(w)) return -1;
    const double count = checkdat(w);
    if (!(count >= 0)) return -1;
    const long long natoms = static_cast<long long>(std::min(count, 1e18));

    for (int k = 0; k < 4; k++)
        if (!sc.read_word(w)) return -1;
    r.triclinic = 0;
    if (is_plain_number(w)) {
        r.periodic[0] = r.periodic[1] = r.periodic[2] = 1;
    } else {
        if (w == "xy") {
            r.triclinic = 1;
            if (!sc.read_word(w) || !sc.read_word(w) || !sc.read_word(w)) return -1;
        }
        for (int k = 0; k < 3; k++) {
            if (k > 0 && !sc.read_word(w)) return -1;
            r.periodic[k] = w == "pp" ? 1 : 0;
        }
        if (!sc.read_word(w)) return -1;
    }
    double tilt[3] = {0, 0, 0};
    for (int d = 0; d < 3; d++) {
        if (d > 0 && !sc.read_word(w)) return -1;
        const double low = checkdat(w);
        if (!sc.read_word(w)) return -1;
        const double high = checkdat(w);
        r.lo[d] = low;
        r.size[d] = high - low;
        if (r.triclinic) {
            if (!sc.read_word(w)) return -1;
            tilt[d] = checkdat(w);
        }
    }
    std::memcpy(r.origin, r.lo, sizeof r.lo);
    if (r.triclinic) {
        const double xy = tilt[0], xz = tilt[1], yz = tilt[2];
        const double cell[3][3] = {{std::fabs(r.size[0] - std::fabs(xy) - std::fabs(xz)), 0, 0},
                                   {xy, std::fabs(r.size[1] - std::fabs(yz)), 0},
                                   {xz, yz, r.size[2]}};
        std::memcpy(r.cell, cell, sizeof cell);
        if (xy < 0) r.origin[0] -= xy;
        if (xz < 0) r.origin[0] -= xz;
        if (yz < 0) r.origin[1] -= yz;
    } else {
        for (int d = 0; d < 3; d++) r.cell[d][d] = r.size[d];
    }

    // Column names run up to the first value (or the next frame, or the end).
    if (!sc.read_word(w) || !sc.read_word(w)) return -1;
    enum { kExtra = -1 };
    std::vector<int> role;  // 0 id, 1 type, 2 x, 3 y, 4 z, or kExtra
    int seen[5] = {-1, -1, -1, -1, -1};
    const char* const fixed[5] = {"id", "type", "x", "y", "z"};
    bool have_value = false;
    while (sc.read_word(w)) {
        if (is_plain_number(w)) {
            have_value = true;
            break;
        }
        if (w == "ITEM:") break;
        int k = 0;
        while (k < 5 && w != fixed[k]) k++;
        if (k < 5 && seen[k] < 0) {
            seen[k] = static_cast<int>(role.size());
            role.push_back(k);
        } else {
            const std::string name(w);
            QB_fprintf(stdout, ">>extra data %s is found\n", name.c_str());
            role.push_back(kExtra);
            r.channel_names.push_back(name);
        }
    }
    if (seen[2] < 0 || seen[3] < 0 || seen[4] < 0) {
        std::printf(">>ERROR: LAMMPS dump file: %s doesn't contain enough data\n", path);
        return -4;
    }
    const size_t columns = role.size();
    if (natoms > 0 && !have_value) return -2;
    // Every value takes at least one character and a separator.
    if (static_cast<double>(natoms) * columns > sc.remaining() / 2.0 + 2) return -2;

    ProgressScope progress(kReadingMessage);
    r.atoms.reserve(static_cast<size_t>(natoms));
    r.channel_data.assign(r.channel_names.size(), std::vector<double>());
    for (auto& c : r.channel_data) c.reserve(static_cast<size_t>(natoms));
    int tmin = INT_MAX, tmax = INT_MIN;
    for (long long i = 0; i < natoms; i++) {
        if (i % kProgressStep == 0 && i > 0) QB_progress_update(100.0 * i / natoms);
        atomdata a{static_cast<int32_t>(i + 1), 1, 0, 0, 0, 0};
        size_t extra = 0;
        for (size_t k = 0; k < columns; k++) {
            if ((i > 0 || k > 0) && !sc.read_word(w)) return -2;
            const double v = checkdat(w);
            switch (role[k]) {
                case 0: a.id = QB_to_int(v); break;
                case 1: a.type = QB_to_int(v); break;
                case 2: a.x = v; break;
                case 3: a.y = v; break;
                case 4: a.z = v; break;
                default: r.channel_data[extra++].push_back(v);
            }
        }
        tmin = std::min(tmin, static_cast<int>(a.type));
        tmax = std::max(tmax, static_cast<int>(a.type));
        r.atoms.push_back(a);
    }
    r.ntypes = natoms > 0 ? tmax : 0;
    if (natoms > 0 && tmin < 1) {
        const long long shift = 1LL - tmin;
        if (tmax + shift > QB_MAX_TYPES) return -2;
        for (auto& a : r.atoms) a.type += static_cast<int32_t>(shift);
        r.ntypes = static_cast<int>(tmax + shift);
    }
    if (r.ntypes > QB_MAX_TYPES) return -2;
    std::printf(">>LAMMPS dump file %s is found\n", path);
    print_totals(static_cast<int>(natoms), r.ntypes);
    if (QB_checkdat_err) {
        QB_checkdat_err = 0;
        return -3;
    }
    return 1;
}

// --------------------------------------------------------------------- POSCAR

double det3(const double m[3][3]) {
    return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
           m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}

void bounding_box(ReadResult& r) {
    for (int d = 0; d < 3; d++) {
        double low = 0, span = 0;
        for (int e = 0; e < 3; e++) {
            if (r.cell[e][d] < 0) low += r.cell[e][d];
            span += std::fabs(r.cell[e][d]);
        }
        r.lo[d] = low;
        r.size[d] = span;
    }
}

int read_vasp_text(std::string_view text, ReadResult& r) {
    Scanner sc(text.data(), text.data() + text.size());
    sc.skip_line();
    double scale;
    if (!sc.read_double(scale)) return -1;
    double m[3][3];
    for (auto& row : m)
        for (double& v : row)
            if (!sc.read_double(v)) return -1;
    std::vector<long long> counts;
    std::string_view w;
    while (true) {
        if (!sc.read_word(w)) return -1;
        if (!is_plain_number(w)) {
            if (!counts.empty()) break;
            r.element_names.emplace_back(w);
            continue;
        }
        const double c = checkdat(w);
        if (!(c >= 0) || c > INT_MAX) return -1;
        counts.push_back(static_cast<long long>(c));
    }
    if (w[0] == 'S' || w[0] == 's') {
        sc.skip_line();
        if (!sc.read_word(w)) return -1;
    }
    while (w[0] == '!') {
        sc.skip_line();
        if (!sc.read_word(w)) return -1;
    }
    const bool cartesian = std::strchr("CcKk", w[0]) != nullptr;

    // A negative scale is the cell volume.
    if (scale < 0) {
        const double volume = std::fabs(det3(m));
        if (!(volume > 0)) return -1;
        scale = std::cbrt(-scale / volume);
    }
    for (auto& row : m)
        for (double& v : row) v *= scale;

    if (counts.size() > static_cast<size_t>(QB_MAX_TYPES)) return -2;
    long long natoms = 0;
    for (long long c : counts) natoms += c;
    // Three numbers per atom take at least six characters.
    if (natoms > INT_MAX || static_cast<double>(natoms) * 6 > sc.remaining() + 1.0) return -2;

    ProgressScope progress(kReadingMessage);
    r.atoms.reserve(static_cast<size_t>(natoms));
    size_t species = 0;
    long long next_species_at = counts.empty() ? 0 : counts[0];
    for (long long j = 0; j < natoms; j++) {
        if (j % kProgressStep == 0 && j > 0) QB_progress_update(100.0 * j / natoms);
        while (j >= next_species_at && species + 1 < counts.size()) next_species_at += counts[++species];
        double v[3];
        for (double& value : v) {
            do {
                if (!sc.read_word(w)) return -2;
            } while (!is_plain_number(w));
            value = checkdat(w);
        }
        atomdata a{static_cast<int32_t>(j + 1), static_cast<int32_t>(species + 1), 0, 0, 0, 0};
        if (cartesian) {
            a.x = v[0] * scale;
            a.y = v[1] * scale;
            a.z = v[2] * scale;
        } else {
            a.x = v[0] * m[0][0] + v[1] * m[1][0] + v[2] * m[2][0];
            a.y = v[0] * m[0][1] + v[1] * m[1][1] + v[2] * m[2][1];
            a.z = v[0] * m[0][2] + v[1] * m[1][2] + v[2] * m[2][2];
        }
        r.atoms.push_back(a);
    }
    r.ntypes = static_cast<int>(counts.size());
    r.triclinic = 1;
    std::memcpy(r.cell, m, sizeof m);
    bounding_box(r);
    print_totals(static_cast<int>(natoms), r.ntypes);
    return 1;
}

// Parses text (nullptr: the file could not be read) and, on success only,
// replaces the record with what was read.
template <class Parse>
int parse_into(QB_tools* s, const MappedFile* file, Parse parse) {
    QB_checkdat_err = 0;
    if (!file) return -1;
    ReadResult r;
    const int code = parse(file->text(), r);
    if (code == 1) store_result(s, r);
    return code;
}

template <class Parse>
int read_with(QB_tools* s, const char* path, Parse parse) {
    MappedFile file;
    return parse_into(s, file.open(path) ? &file : nullptr, parse);
}

// -------------------------------------------------------------------- writers

// Buffered text output with fast number formatting.
class TextOut {
public:
    explicit TextOut(FILE* f) : f_(f), buf_(new char[kSize]) {}
    ~TextOut() { flush(); }
    TextOut(const TextOut&) = delete;
    TextOut& operator=(const TextOut&) = delete;

    TextOut& operator<<(std::string_view s) {
        if (s.size() > kSize - kRoom) {
            flush();
            std::fwrite(s.data(), 1, s.size(), f_);
            return *this;
        }
        room(s.size());
        for (char c : s) buf_[n_++] = c;
        return *this;
    }
    TextOut& operator<<(char c) {
        room(1);
        buf_[n_++] = c;
        return *this;
    }
    TextOut& lf(double v) {
        room(kRoom);
        n_ += static_cast<size_t>(QB_format_lf(buf_.get() + n_, v));
        return *this;
    }
    TextOut& integer(long long v) {
        room(24);
        n_ = static_cast<size_t>(std::to_chars(buf_.get() + n_, buf_.get() + n_ + 24, v).ptr - buf_.get());
        return *this;
    }
    void flush() {
        if (n_) std::fwrite(buf_.get(), 1, n_, f_);
        n_ = 0;
    }

private:
    static constexpr size_t kSize = 1 << 20;
    static constexpr size_t kRoom = 352;  // the longest "%lf" text and then some
    void room(size_t need) {
        if (n_ + need > kSize) flush();
    }
    FILE* f_;
    std::unique_ptr<char[]> buf_;
    size_t n_ = 0;
};

int live_atoms(const QB_tools* s) {
    int n = 0;
    for (int i = 0; i < s->natoms; i++) n += s->atoms[i].id > 0;
    return n;
}

// The LAMMPS form of a triclinic cell: a along x, b in the xy plane, with
// tilts folded into [-L/2, L/2] so that LAMMPS accepts the box.
struct LammpsCell {
    double lo[3];
    double len[3];  // A, B, C
    double xy, xz, yz;
    double axes[3][3];  // unit vectors of the restricted frame
    bool folded = false;
};

bool lammps_cell(const QB_tools* s, LammpsCell& c) {
    const double(*v)[3] = s->cell;
    auto dot = [](const double* p, const double* q) { return p[0] * q[0] + p[1] * q[1] + p[2] * q[2]; };
    const double longest = std::max({std::sqrt(dot(v[0], v[0])), std::sqrt(dot(v[1], v[1])), std::sqrt(dot(v[2], v[2]))});
    if (!(longest > 0) || !std::isfinite(longest)) return false;
    const double tiny = 1e-9 * longest;
    c.len[0] = std::sqrt(dot(v[0], v[0]));
    if (!(c.len[0] > tiny)) return false;
    for (int d = 0; d < 3; d++) c.axes[0][d] = v[0][d] / c.len[0];
    c.xy = dot(c.axes[0], v[1]);
    double b[3];
    for (int d = 0; d < 3; d++) b[d] = v[1][d] - c.xy * c.axes[0][d];
    c.len[1] = std::sqrt(dot(b, b));
    if (!(c.len[1] > tiny)) return false;
    for (int d = 0; d < 3; d++) c.axes[1][d] = b[d] / c.len[1];
    c.xz = dot(c.axes[0], v[2]);
    c.yz = dot(c.axes[1], v[2]);
    double w[3];
    for (int d = 0; d < 3; d++) w[d] = v[2][d] - c.xz * c.axes[0][d] - c.yz * c.axes[1][d];
    c.len[2] = std::sqrt(dot(w, w));
    if (!(c.len[2] > tiny)) return false;
    for (int d = 0; d < 3; d++) c.axes[2][d] = w[d] / c.len[2];
    std::memcpy(c.lo, s->origin, sizeof c.lo);

    // The same periodic crystal with shorter vectors: c - k b, c - k a, b - k a.
    if (std::fabs(c.yz) > c.len[1] / 2) {
        const double k = std::round(c.yz / c.len[1]);
        c.yz -= k * c.len[1];
        c.xz -= k * c.xy;
        c.folded = true;
    }
    if (std::fabs(c.xz) > c.len[0] / 2) {
        c.xz -= std::round(c.xz / c.len[0]) * c.len[0];
        c.folded = true;
    }
    if (std::fabs(c.xy) > c.len[0] / 2) {
        c.xy -= std::round(c.xy / c.len[0]) * c.len[0];
        c.folded = true;
    }
    return true;
}

// Position of an atom in the LAMMPS frame; wrapped into the folded cell.
void lammps_position(const LammpsCell& c, const atomdata& a, double out[3]) {
    const double d[3] = {a.x - c.lo[0], a.y - c.lo[1], a.z - c.lo[2]};
    double q[3];
    for (int e = 0; e < 3; e++) q[e] = d[0] * c.axes[e][0] + d[1] * c.axes[e][1] + d[2] * c.axes[e][2];
    if (c.folded) {
        double w = q[2] / c.len[2];
        double v = (q[1] - w * c.yz) / c.len[1];
        double u = (q[0] - v * c.xy - w * c.xz) / c.len[0];
        auto unit = [](double f) {
            f -= std::floor(f);
            return f >= 1 ? 0.0 : f;
        };
        u = unit(u);
        v = unit(v);
        w = unit(w);
        q[0] = u * c.len[0] + v * c.xy + w * c.xz;
        q[1] = v * c.len[1] + w * c.yz;
        q[2] = w * c.len[2];
    }
    for (int e = 0; e < 3; e++) out[e] = c.lo[e] + q[e];
}

// "id type x y z" of a live atom as the LAMMPS formats hold it: triclinic
// records are renumbered (n counts the atoms written) and converted.
TextOut& lammps_atom(TextOut& w, const QB_tools* s, const LammpsCell& c, const atomdata& a, int& n) {
    double p[3] = {a.x, a.y, a.z};
    if (s->triclinic == 1) lammps_position(c, a, p);
    w.integer(s->triclinic == 1 ? ++n : a.id) << '\t';
    w.integer(a.type) << '\t';
    w.lf(p[0]) << '\t';
    w.lf(p[1]) << '\t';
    return w.lf(p[2]);
}

// Writes through a temporary file; 1 when the whole file landed.
template <class Body>
int write_file(const char* path, Body body) {
    if (!path) return -1;
    QB_output_file out(path);
    if (!out) return -1;
    {
        TextOut w(out.get());
        body(w);
    }
    return out.commit() ? 1 : -1;
}

}  // namespace

// ============================================================= public readers

double QB_checkdat(const char* token) { return token ? checkdat(token) : 0; }

int QB_checkchar(const char* token) { return token && is_plain_number(token) ? 0 : 1; }

int QB_read_lmp(QB_tools* s, const char* path) { return read_with(s, path, read_lmp_text); }

int QB_read_lmc(QB_tools* s, const char* path) {
    return read_with(s, path, [path](std::string_view text, ReadResult& r) { return read_lmc_text(text, path, r); });
}

int QB_read_vasp(QB_tools* s, const char* path) { return read_with(s, path, read_vasp_text); }

int QB_read_file(QB_tools* s, const char* path) {
    MappedFile file;
    const MappedFile* text = file.open(path) ? &file : nullptr;
    QB_free_atom(s);
    int code = parse_into(s, text, read_lmp_text);
    if (code == 1) return 1;
    if (code == -2) return 2;
    QB_free_atom(s);
    code = parse_into(s, text, [path](std::string_view t, ReadResult& r) { return read_lmc_text(t, path, r); });
    if (code == 1) return 3;
    if (code == -2 || code == -4) return 4;
    QB_free_exchannel(s);
    QB_free_atom(s);
    code = parse_into(s, text, read_vasp_text);
    if (code == 1) return 5;
    if (code == -2) return 6;
    return 0;
}

// ============================================================= public writers

int QB_dump_lmp(QB_tools* s, const char* path) {
    LammpsCell c;
    if (s->triclinic == 1 && !lammps_cell(s, c)) return -2;
    return write_file(path, [&](TextOut& w) {
        w << "Position data Generated by Quelm\n";
        w.integer(live_atoms(s)) << "\tatoms\n";
        w.integer(s->ntypes) << "\tatom types\n";
        const char* names[3] = {"\txlo xhi\n", "\tylo yhi\n", "\tzlo zhi\n"};
        for (int d = 0; d < 3; d++) {
            const double low = s->triclinic == 1 ? c.lo[d] : s->lo[d];
            const double high = s->triclinic == 1 ? c.lo[d] + c.len[d] : s->lo[d] + s->size[d];
            w.lf(low) << "\t\t";
            w.lf(high) << names[d];
        }
        if (s->triclinic == 1) {
            w.lf(c.xy) << "\t\t";
            w.lf(c.xz) << '\t';
            w.lf(c.yz) << "\txy xz yz\n";
        }
        w << "\nAtoms\n\n";
        int n = 0;
        for (int i = 0; i < s->natoms; i++)
            if (s->atoms[i].id > 0) lammps_atom(w, s, c, s->atoms[i], n) << '\n';
    });
}

int QB_dump_lmc(QB_tools* s, const char* path) {
    LammpsCell c;
    if (s->triclinic == 1 && !lammps_cell(s, c)) return -2;
    return write_file(path, [&](TextOut& w) {
        w << "ITEM: TIMESTEP\n0\nITEM: NUMBER OF ATOMS\n";
        w.integer(live_atoms(s)) << '\n';
        if (s->triclinic == 1) {
            w << "ITEM: BOX BOUNDS xy xz yz pp pp pp\n";
            const double xlo = c.lo[0] + std::min(0.0, c.xy) + std::min(0.0, c.xz);
            const double ylo = c.lo[1] + std::min(0.0, c.yz);
            w.lf(xlo) << ' ';
            w.lf(xlo + c.len[0] + std::fabs(c.xy) + std::fabs(c.xz)) << ' ';
            w.lf(c.xy) << '\n';
            w.lf(ylo) << ' ';
            w.lf(ylo + c.len[1] + std::fabs(c.yz)) << ' ';
            w.lf(c.xz) << '\n';
            w.lf(c.lo[2]) << ' ';
            w.lf(c.lo[2] + c.len[2]) << ' ';
            w.lf(c.yz) << '\n';
        } else {
            w << "ITEM: BOX BOUNDS pp pp pp\n";
            for (int d = 0; d < 3; d++) {
                w.lf(s->lo[d]) << ' ';
                w.lf(s->lo[d] + s->size[d]) << '\n';
            }
        }
        w << "ITEM: ATOMS id type x y z";
        std::string name;
        for (int slot = 5; slot < QB_slot_sum(s); slot++) {
            QB_slot_name(s, slot, name);
            w << ' ' << name;
        }
        w << '\n';
        int n = 0;
        for (int i = 0; i < s->natoms; i++) {
            if (s->atoms[i].id <= 0) continue;
            lammps_atom(w, s, c, s->atoms[i], n);
            for (int k = 0; k < s->channel_count; k++) w << '\t', w.lf(QB_slot_data(s, 5 + k, i));
            for (int k = 0; k < s->exint_count; k++)
                w << '\t', w.integer(static_cast<long long>(QB_slot_data(s, 5 + s->channel_count + k, i)));
            for (int k = 0; k < s->exdouble_count; k++)
                w << '\t', w.lf(QB_slot_data(s, 5 + s->channel_count + s->exint_count + k, i));
            w << '\n';
        }
    });
}

namespace {
int dump_vasp(QB_tools* s, const char* path, bool direct) {
    const bool tric = s->triclinic == 1;
    double cell[3][3];
    std::memcpy(cell, s->cell, sizeof cell);
    const double volume = det3(cell);
    if (direct) {
        if (tric ? !(std::fabs(volume) > 0) : !(s->size[0] != 0 && s->size[1] != 0 && s->size[2] != 0)) return -2;
    }
    std::vector<int> per_type(static_cast<size_t>(std::max(s->ntypes, 0)), 0);
    for (int i = 0; i < s->natoms; i++) {
        const atomdata& a = s->atoms[i];
        if (a.id > 0 && a.type >= 1 && a.type <= s->ntypes) per_type[a.type - 1]++;
    }
    std::vector<std::string> names(per_type.size());
    for (size_t t = 0; t < names.size(); t++) {
        QB_load_elename(s, static_cast<int>(t), names[t]);
        // A name that would not read back as a name is written as its default.
        bool readable = !names[t].empty() && !is_plain_number(names[t]) && names[t][0] != '!';
        for (unsigned char c : names[t]) readable = readable && c > ' ';
        if (!readable) names[t] = "E" + std::to_string(t);
    }
    return write_file(path, [&](TextOut& w) {
        w << "\tPosition data Generated by Quelm\n\t1.0\n";
        for (int e = 0; e < 3; e++) {
            for (int d = 0; d < 3; d++) {
                w << (d == 0 ? "\t" : "\t\t");
                if (tric)
                    w.lf(cell[e][d]);
                else if (d == e)
                    w.lf(s->size[d]);
                else
                    w << "0.0";
            }
            w << '\n';
        }
        w << '\t';
        for (const auto& n : names) w << n << '\t';
        w << "\n\t";
        for (int c : per_type) w.integer(c) << '\t';
        w << (direct ? "\nDirect\n" : "\nCartesian\n");
        const double* base = tric ? s->origin : s->lo;
        double inverse[3][3] = {{0}};  // rows: (b x c), (c x a), (a x b) over the volume
        for (int e = 0; e < 3; e++) {
            const double* p = cell[(e + 1) % 3];
            const double* q = cell[(e + 2) % 3];
            inverse[e][0] = (p[1] * q[2] - p[2] * q[1]) / volume;
            inverse[e][1] = (p[2] * q[0] - p[0] * q[2]) / volume;
            inverse[e][2] = (p[0] * q[1] - p[1] * q[0]) / volume;
        }
        for (int t = 1; t <= s->ntypes; t++)
            for (int i = 0; i < s->natoms; i++) {
                const atomdata& a = s->atoms[i];
                if (a.id <= 0 || a.type != t) continue;
                const double d[3] = {a.x - base[0], a.y - base[1], a.z - base[2]};
                double out[3];
                for (int e = 0; e < 3; e++) {
                    if (!direct)
                        out[e] = d[e];
                    else if (tric)
                        out[e] = inverse[e][0] * d[0] + inverse[e][1] * d[1] + inverse[e][2] * d[2];
                    else
                        out[e] = d[e] / s->size[e];
                }
                w << '\t';
                w.lf(out[0]) << "\t\t";
                w.lf(out[1]) << "\t\t";
                w.lf(out[2]) << '\n';
            }
    });
}
}  // namespace

int QB_dump_vasp_Direct(QB_tools* s, const char* path) { return dump_vasp(s, path, true); }
int QB_dump_vasp_Cartesian(QB_tools* s, const char* path) { return dump_vasp(s, path, false); }

// ============================================================ engine headers

FILE* aaopenfile(const char* path, const char* mode) {
    FILE* f = path && mode ? std::fopen(path, mode) : nullptr;
    if (!f) std::printf("file with path\n%s\nopen error\n", path ? path : "");
    return f;
}

void out_lmp_head(FILE* f, const char* columns, int natoms, int timestep, const double* lo, const double* hi) {
    QB_fprintf(f, "ITEM: TIMESTEP\n%d\nITEM: NUMBER OF ATOMS\n%d\nITEM: BOX BOUNDS pp pp pp\n", timestep, natoms);
    for (int k = 0; k < 3; k++) QB_fprintf(f, "%f %f\n", lo[k], hi[k]);
    QB_fprintf(f, "ITEM: ATOMS %s\n", columns);
}

void out_imd_head(FILE* f, const char* columns, int /*n*/, const double* box) {
    QB_fprintf(f, "#F A 0 0 0 3 0 0\n#C %s\n#X %f 0.0 0.0\n#Y 0.0 %f 0.0\n#Z 0.0 0.0 %f\n#E\n", columns, box[0], box[1],
               box[2]);
}

void out_data_head(FILE* f, int natoms, int ntypes, const double* lo, const double* hi) {
    QB_fprintf(f, "\n%d atoms\n%d atom types\n%f %f xlo xhi\n%f %f ylo yhi\n%f %f zlo zhi\n\nAtoms\n\n", natoms, ntypes,
               lo[0], hi[0], lo[1], hi[1], lo[2], hi[2]);
}
