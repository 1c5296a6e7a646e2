// What the structure-file readers share: the file in memory, a scanner that
// reads it the way the C library's formatted input would (without its cost),
// number tokens in the C locale, and the record a reader fills before it
// replaces the model. Internal to the atom-system library.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "qb/qb_tools.h"

namespace qb_read {

constexpr int kProgressStep = 100000;
extern const char* const kReadingMessage;

inline bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Converts the number at the start of [p, end) as strtod does (C locale);
// returns the number of characters used, 0 when there is no number.
size_t parse_number(const char* p, const char* end, double& out);
// An integer token as "%d" reads it; false for no digits or beyond int.
bool parse_int_prefix(const char*& p, const char* end, long long& out);

// A whole token as a number: the value and whether all of it was used.
bool token_number(std::string_view w, double& v);
bool token_int(std::string_view w, long long& v);
bool is_plain_number(std::string_view w);
// The token's leading number; prints the reader's remark and sets
// QB_checkdat_err when characters remain.
double checkdat(std::string_view w);

class Scanner {
public:
    Scanner(const char* begin, const char* end) : p_(begin), end_(end) {}
    explicit Scanner(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

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
    // The rest of the current line, without its line end, which is passed.
    std::string_view rest_of_line() {
        const char* start = p_;
        while (p_ < end_ && *p_ != '\n') p_++;
        const std::string_view line(start, static_cast<size_t>(p_ - start));
        if (p_ < end_) p_++;
        return line;
    }
    // The next line that holds more than blanks, without its line end;
    // false at the end of the text.
    bool next_line(std::string_view& line) {
        while (p_ < end_) {
            line = rest_of_line();
            for (char c : line)
                if (!is_space(c)) return true;
        }
        return false;
    }

private:
    const char* p_;
    const char* end_;
};

// The whitespace-separated words of a line.
std::vector<std::string_view> words_of(std::string_view line);

// Strips a trailing "# comment".
inline std::string_view without_comment(std::string_view line) {
    const size_t hash = line.find('#');
    return hash == std::string_view::npos ? line : line.substr(0, hash);
}

// Opens a regular file for reading (O_CLOEXEC, non-blocking so that a name
// that became a pipe is never waited on): the descriptor, or -1 with the
// user's reason ("cannot open PATH: …", "not a regular file").
int open_regular(const char* path, std::string* reason);

// A whole regular file mapped into memory, read-only. Anything else (a
// folder, a FIFO, a device) is refused before it is opened, so a read never
// waits on a pipe or a terminal.
class MappedFile {
public:
    MappedFile() = default;
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // False with the user's reason ("cannot open PATH: No such file or
    // directory", "cannot open PATH: not a regular file") when it cannot.
    bool open(const char* path, std::string* reason = nullptr);
    std::string_view text() const {
        return map_ ? std::string_view(static_cast<const char*>(map_), size_) : std::string_view();
    }

private:
    void* map_ = nullptr;
    size_t size_ = 0;
};

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
    std::vector<std::string> exint_names;
    std::vector<std::vector<int>> exint_data;
    std::vector<std::string> element_names;  // an empty entry keeps the default name
    std::string reason;  // why a read failed, in the user's words, when there is more to say than the code
};

// Replaces the record with what was read.
void store_result(QB_tools* s, ReadResult& r);

void print_totals(int natoms, int ntypes);

// Sets the triclinic cell a = (L0, 0, 0), b = (xy, L1, 0), c = (xz, yz, L2)
// at origin o, with lo/size its bounding box.
void set_restricted_cell(ReadResult& r, const double o[3], const double L[3], double xy, double xz, double yz);

// Closes the busy report however the reader leaves.
struct ProgressScope {
    explicit ProgressScope(const char* message);
    ~ProgressScope();
    ProgressScope(const ProgressScope&) = delete;
    ProgressScope& operator=(const ProgressScope&) = delete;
};

// The LAMMPS readers: 1 read, -1 not the format, -2 atom data short or
// unusable; the dump reader also gives -3 (a bad number) and -4 (no
// position columns).
int read_lmp_text(std::string_view text, ReadResult& r);
int read_lmc_text(std::string_view text, const char* path, ReadResult& r);

}  // namespace qb_read
