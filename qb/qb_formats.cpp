#include "qb/qb_formats.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>
#include <zlib.h>

#include "qb/qb_extxyz.h"
#include "qb/qb_file.h"
#include "qb/qb_gzip.h"
#include "qb/qb_progress.h"
#include "qb/qb_read_text.h"
#include "qb/qb_text.h"
#include "qb/qb_threads.h"

int QB_checkdat_err = 0;

namespace {

using namespace qb_read;

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
int parse_into(QB_tools* s, const std::string_view* text, Parse parse, std::string* reason = nullptr) {
    QB_checkdat_err = 0;
    if (!text) return -1;
    ReadResult r;
    const int code = parse(*text, r);
    if (code == 1) store_result(s, r);
    if (code != 1 && reason && !r.reason.empty()) *reason = r.reason;
    return code;
}

// The text of a file, mapped, or decompressed when it is gzip data.
class FileText {
public:
    bool open(const char* path, std::string* reason) {
        if (QB_is_gzip(path)) {
            gz_ = true;
            return QB_gunzip(path, inflated_, reason);
        }
        return map_.open(path, reason);
    }
    std::string_view text() const { return gz_ ? std::string_view(inflated_) : map_.text(); }

private:
    MappedFile map_;
    std::string inflated_;
    bool gz_ = false;
};

template <class Parse>
int read_with(QB_tools* s, const char* path, Parse parse) {
    FileText file;
    if (!file.open(path, nullptr)) return parse_into(s, nullptr, parse);
    const std::string_view text = file.text();
    return parse_into(s, &text, parse);
}

// -------------------------------------------------------------------- writers

// Buffered text output with fast number formatting.
class TextOut {
public:
    explicit TextOut(FILE* f, gzFile gz = nullptr) : f_(f), gz_(gz), buf_(new char[kSize]) {}
    // Text kept in memory, appended to *text.
    explicit TextOut(std::string* text) : f_(nullptr), gz_(nullptr), text_(text), buf_(new char[kSize]) {}
    ~TextOut() { flush(); }
    TextOut(const TextOut&) = delete;
    TextOut& operator=(const TextOut&) = delete;

    TextOut& operator<<(std::string_view s) {
        if (s.size() > kSize - kRoom) {
            flush();
            put(s.data(), s.size());
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
    // The shortest text that reads back as the same double.
    TextOut& g(double v) {
        room(32);
        n_ = static_cast<size_t>(std::to_chars(buf_.get() + n_, buf_.get() + n_ + 32, v).ptr - buf_.get());
        return *this;
    }
    void flush() {
        if (n_) put(buf_.get(), n_);
        n_ = 0;
    }
    bool failed() const { return failed_; }

private:
    static constexpr size_t kSize = 1 << 20;
    static constexpr size_t kRoom = 352;  // the longest "%lf" text and then some
    void room(size_t need) {
        if (n_ + need > kSize) flush();
    }
    void put(const char* p, size_t n) {
        if (text_) {
            text_->append(p, n);
        } else if (gz_) {
            if (gzwrite(gz_, p, static_cast<unsigned>(n)) != static_cast<int>(n)) failed_ = true;
        } else if (std::fwrite(p, 1, n, f_) != n) {
            failed_ = true;
        }
    }
    FILE* f_;
    gzFile gz_;
    std::string* text_ = nullptr;
    std::unique_ptr<char[]> buf_;
    size_t n_ = 0;
    bool failed_ = false;
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

// Writes through a temporary file; 1 when the whole file landed. A name
// ending in ".gz" is written gzipped.
template <class Body>
int write_file(const char* path, Body body) {
    if (!path) return -1;
    QB_output_file out(path);
    if (!out) return -1;
    if (!QB_gz_name(path)) {
        bool failed;
        {
            TextOut w(out.get());
            body(w);
            w.flush();
            failed = w.failed();
        }
        return !failed && out.commit() ? 1 : -1;
    }
    std::fflush(out.get());
    const int fd = dup(fileno(out.get()));
    gzFile gz = fd >= 0 ? gzdopen(fd, "wb6") : nullptr;
    if (!gz) {
        if (fd >= 0) close(fd);
        return -1;
    }
    gzbuffer(gz, 1u << 20);
    bool failed;
    {
        TextOut w(out.get(), gz);
        body(w);
        w.flush();
        failed = w.failed();
    }
    failed = gzclose_w(gz) != Z_OK || failed;
    return !failed && out.commit() ? 1 : -1;
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

int QB_read_file(QB_tools* s, const char* path) { return QB_read_file(s, path, nullptr); }

int QB_read_file(QB_tools* s, const char* path, std::string* reason) {
    if (reason) reason->clear();
    FileText file;
    if (!file.open(path, reason)) {
        QB_free_exchannel(s);
        QB_free_atom(s);
        return QB_READ_UNREADABLE;
    }
    const std::string_view text = file.text();
    return QB_read_text(s, text, path, reason);
}

int QB_read_text(QB_tools* s, std::string_view text, const char* path, std::string* reason) {
    if (reason) reason->clear();
    if (!path) path = "";
    QB_free_atom(s);
    int code = parse_into(s, &text, read_lmp_text, reason);
    if (code == 1) return 1;
    if (code == -2) return 2;
    if (reason) reason->clear();
    QB_free_atom(s);
    code = parse_into(
        s, &text, [path](std::string_view t, ReadResult& r) { return read_lmc_text(t, path, r); }, reason);
    if (code == 1) return 3;
    if (code == -2 || code == -4) return 4;
    if (reason) reason->clear();
    QB_free_exchannel(s);
    QB_free_atom(s);
    // An XYZ frame before POSCAR: its first line is a count alone, and a
    // POSCAR whose title is a number has its scale, not a comment, next.
    if (looks_like_xyz(text)) {
        code = parse_into(s, &text, [](std::string_view t, ReadResult& r) { return read_extxyz_text(t, r); }, reason);
        if (code == 1) return QB_READ_EXTXYZ;
        if (code == -2) return QB_READ_EXTXYZ_BROKEN;
        if (reason) reason->clear();
        QB_free_exchannel(s);
        QB_free_atom(s);
    }
    code = parse_into(s, &text, read_vasp_text, reason);
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
        w << QB_lammps_masses(s);
        w << "\nAtoms\n\n";
        int n = 0;
        for (int i = 0; i < s->natoms; i++)
            if (s->atoms[i].id > 0) lammps_atom(w, s, c, s->atoms[i], n) << '\n';
    });
}

std::string QB_lammps_masses(const QB_tools* s) {
    if (s->ntypes < 1) return std::string();
    std::string out = "\nMasses\n\n";
    char number[400];
    for (int t = 1; t <= s->ntypes; t++) {
        const std::string name = QB_elename(s, t - 1);
        const double mass = QB_element_mass(name);
        if (!(mass > 0)) return std::string();
        out += std::to_string(t) + '\t';
        out.append(number, static_cast<size_t>(QB_format_lf(number, mass)));
        out += "\t# " + name + '\n';
    }
    return out;
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
        // Rows of atoms first .. last - 1; n counts the atoms written before.
        auto rows = [&](TextOut& out, int first, int last, int n) {
            for (int i = first; i < last; i++) {
                if (s->atoms[i].id <= 0) continue;
                lammps_atom(out, s, c, s->atoms[i], n);
                // Columns read directly (a short column reads as 0, as its slot does).
                const size_t a = static_cast<size_t>(i);
                auto at = [a](const auto& columns, int k) {
                    const size_t c = static_cast<size_t>(k);
                    return c < columns.size() && a < columns[c].size() ? columns[c][a] : 0;
                };
                for (int k = 0; k < s->channel_count; k++) out << '\t', out.lf(at(s->channel_data, k));
                for (int k = 0; k < s->exint_count; k++) out << '\t', out.integer(at(s->exint_data, k));
                for (int k = 0; k < s->exdouble_count; k++) out << '\t', out.lf(at(s->exdouble_data, k));
                out << '\n';
            }
        };
        // Blocks of rows are made into text side by side, then written in
        // order.
        constexpr int kBlock = 1 << 15;
        const int blocks = (s->natoms + kBlock - 1) / kBlock;
        const int T = std::min(QB_thread_count(0), blocks);
        if (T <= 1) return rows(w, 0, s->natoms, 0);
        std::vector<int> before(static_cast<size_t>(blocks) + 1, 0);  // live atoms before each block
        for (int b = 0; b < blocks; b++) {
            before[b + 1] = before[b];
            for (int i = b * kBlock; i < std::min(s->natoms, (b + 1) * kBlock); i++) before[b + 1] += s->atoms[i].id > 0;
        }
        std::vector<std::string> text(static_cast<size_t>(T));
        std::vector<std::unique_ptr<TextOut>> out;
        for (std::string& t : text) out.push_back(std::make_unique<TextOut>(&t));
        for (int first = 0; first < blocks; first += T) {
            const int here = std::min(T, blocks - first);
            QB_on_threads(here, [&](int t) {
                const int b = first + t;
                text[t].clear();
                rows(*out[t], b * kBlock, std::min(s->natoms, (b + 1) * kBlock), before[b]);
                out[t]->flush();
            });
            for (int t = 0; t < here; t++) w << text[t];
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
    // Every type needs a name the species line holds; none is made up.
    if (QB_vasp_unnamed_type(s) != 0) return QB_WRITE_UNNAMED;
    std::vector<std::string> names(per_type.size());
    for (size_t t = 0; t < names.size(); t++) QB_load_elename(s, static_cast<int>(t), names[t]);
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

int QB_vasp_unnamed_type(const QB_tools* s) {
    for (int t = 1; t <= s->ntypes; t++) {
        const std::string name = QB_elename(s, t - 1);
        // A name that reads back as a name: not a number, not a comment.
        bool readable = !name.empty() && !is_plain_number(name) && name[0] != '!';
        for (unsigned char c : name) readable = readable && c > ' ';
        if (!readable) return t;
    }
    return 0;
}

int QB_dump_vasp_Direct(QB_tools* s, const char* path) { return dump_vasp(s, path, true); }
int QB_dump_vasp_Cartesian(QB_tools* s, const char* path) { return dump_vasp(s, path, false); }

int QB_dump_extxyz(QB_tools* s, const char* path) {
    // The cell: the triclinic vectors, or the orthogonal box at lo.
    double cell[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
    double origin[3];
    if (s->triclinic == 1) {
        std::memcpy(cell, s->cell, sizeof cell);
        std::memcpy(origin, s->origin, sizeof origin);
    } else {
        for (int d = 0; d < 3; d++) cell[d][d] = s->size[d];
        std::memcpy(origin, s->lo, sizeof origin);
    }
    // Species ASE knows: a type named after an element keeps its name, any
    // other is written X (ASE's dummy atom). When that leaves two types with
    // one species, a "type" column keeps them apart (read back as the types).
    std::vector<std::string> species(static_cast<size_t>(std::max(s->ntypes, 0)));
    bool type_column = false;
    for (size_t t = 0; t < species.size(); t++) {
        QB_load_elename(s, static_cast<int>(t), species[t]);
        if (!(QB_element_mass(species[t]) > 0)) species[t] = "X";
        for (size_t u = 0; u < t; u++) type_column = type_column || species[u] == species[t];
    }
    // Column names: letters, digits and underscores only, as ASE keeps them.
    auto clean = [](std::string name) {
        for (char& c : name)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') c = '_';
        return name.empty() ? std::string("column") : name;
    };
    return write_file(path, [&](TextOut& w) {
        // A cell that is not finite numbers is left out (no Lattice: no cell).
        bool finite = true;
        for (int e = 0; e < 3; e++) {
            finite = finite && std::isfinite(origin[e]);
            for (int d = 0; d < 3; d++) finite = finite && std::isfinite(cell[e][d]);
        }
        w.integer(live_atoms(s)) << '\n';
        if (finite) {
            w << "Lattice=\"";
            for (int e = 0; e < 3; e++)
                for (int d = 0; d < 3; d++) {
                    if (e + d > 0) w << ' ';
                    w.g(cell[e][d]);
                }
            w << "\" ";
        }
        w << "Properties=species:S:1:pos:R:3";
        if (type_column) w << ":type:I:1";
        for (const auto& n : s->channel_names) w << ':' << clean(n) << ":R:1";
        for (const auto& n : s->exint_names) w << ':' << clean(n) << ":I:1";
        for (const auto& n : s->exdouble_names) w << ':' << clean(n) << ":R:1";
        if (finite) {
            w << " Origin=\"";
            w.g(origin[0]) << ' ';
            w.g(origin[1]) << ' ';
            w.g(origin[2]) << '"';
        }
        w << " pbc=\"";
        w << (s->periodic[0] ? "T " : "F ") << (s->periodic[1] ? "T " : "F ") << (s->periodic[2] ? "T\"\n" : "F\"\n");
        for (int i = 0; i < s->natoms; i++) {
            const atomdata& a = s->atoms[i];
            if (a.id <= 0) continue;
            const size_t t = static_cast<size_t>(a.type - 1);
            w << (a.type >= 1 && t < species.size() ? std::string_view(species[t]) : std::string_view("X")) << ' ';
            w.g(a.x) << ' ';
            w.g(a.y) << ' ';
            w.g(a.z);
            if (type_column) w << ' ', w.integer(a.type);
            const size_t k = static_cast<size_t>(i);
            auto at = [k](const auto& columns, size_t c) {
                return c < columns.size() && k < columns[c].size() ? columns[c][k] : 0;
            };
            for (size_t c = 0; c < s->channel_names.size(); c++) w << ' ', w.g(at(s->channel_data, c));
            for (size_t c = 0; c < s->exint_names.size(); c++) w << ' ', w.integer(at(s->exint_data, c));
            for (size_t c = 0; c < s->exdouble_names.size(); c++) w << ' ', w.g(at(s->exdouble_data, c));
            w << '\n';
        }
    });
}

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
