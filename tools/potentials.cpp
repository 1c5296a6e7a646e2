#include "tools/potentials.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "qb/qb_file.h"
#include "qb/qb_text.h"

namespace {

const char* const kDone = "Transfer complete";

// One blank-separated word of a file and the line it is on.
struct Word {
    const char* s;
    size_t len;
    int line;
    std::string text() const { return std::string(s, len); }
};

// Splits text into words from the line after the first skip_lines lines.
std::vector<Word> split_words(const std::string& text, int skip_lines) {
    std::vector<Word> words;
    size_t p = 0;
    int line = 1;
    for (int k = 0; k < skip_lines && p < text.size(); ++p)
        if (text[p] == '\n') {
            ++k;
            ++line;
        }
    while (p < text.size()) {
        const char c = text[p];
        if (c == '\n') {
            ++line;
            ++p;
        } else if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
            ++p;
        } else {
            const size_t start = p;
            while (p < text.size() && !std::strchr(" \t\r\n\f\v", text[p])) ++p;
            words.push_back({text.data() + start, p - start, line});
        }
    }
    return words;
}

// Copies a number word into buf with Fortran "D" exponents made "e"; false
// when the word holds anything but digits, signs, points and exponent letters
// (so no "inf", "nan" or hexadecimal numbers).
bool number_text(const Word& w, char* buf, size_t size) {
    if (w.len == 0 || w.len + 1 > size) return false;
    for (size_t k = 0; k < w.len; ++k) {
        const char c = w.s[k];
        if (c == 'D' || c == 'd')
            buf[k] = 'e';
        else if ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E')
            buf[k] = c;
        else
            return false;
    }
    buf[w.len] = '\0';
    return true;
}

bool parse_double(const Word& w, double& v) {
    char buf[128];
    if (!number_text(w, buf, sizeof buf)) return false;
    char* end = nullptr;
    v = QB_strtod(buf, &end);
    return end != buf && *end == '\0' && std::isfinite(v);
}

// Needs the C numeric locale of the caller (QB_c_numeric).
bool parse_long_double(const Word& w, long double& v) {
    char buf[128];
    if (!number_text(w, buf, sizeof buf)) return false;
    char* end = nullptr;
    v = std::strtold(buf, &end);
    return end != buf && *end == '\0' && std::isfinite(v);
}

// A whole number within int range ("500", "5.0e2").
bool parse_int(const Word& w, int& v) {
    double d;
    if (!parse_double(w, d) || d != std::floor(d) || std::fabs(d) > 2147483647.0) return false;
    v = static_cast<int>(d);
    return true;
}

// Walks the words of one file; every failure names the file, the line, the
// block and the value.
struct Cursor {
    const std::string& path;
    const std::vector<Word>& words;
    size_t pos = 0;
    std::string& message;

    size_t left() const { return words.size() - pos; }

    bool missing(const std::string& what) {
        message = path + " ends early: " + what + " is missing";
        return false;
    }
    bool bad(const Word& w, const std::string& what, const char* why) {
        message = QB_format("%s line %d: %s: \"%s\" %s", path.c_str(), w.line, what.c_str(), w.text().c_str(), why);
        return false;
    }
    bool word(const std::string& what, const Word*& w) {
        if (pos >= words.size()) return missing(what);
        w = &words[pos++];
        return true;
    }
    bool real(const std::string& what, double& v) {
        const Word* w;
        if (!word(what, w)) return false;
        return parse_double(*w, v) || bad(*w, what, "is not a number");
    }
    bool whole(const std::string& what, int& v) {
        const Word* w;
        if (!word(what, w)) return false;
        return parse_int(*w, v) || bad(*w, what, "is not a whole number");
    }
    // count numbers into out; block() names the table for a message.
    bool table(size_t count, std::vector<double>& out, const std::function<std::string()>& block) {
        out.clear();
        out.reserve(std::min(count, left()));
        for (size_t k = 0; k < count; ++k) {
            if (pos >= words.size())
                return missing(QB_format("%s, value %zu of %zu", block().c_str(), k + 1, count));
            const Word& w = words[pos++];
            double v;
            if (!parse_double(w, v))
                return bad(w, QB_format("%s, value %zu of %zu", block().c_str(), k + 1, count), "is not a number");
            out.push_back(v);
        }
        return true;
    }
};

const char* layout_name(QT_setfl_layout layout) { return layout == QT_setfl_layout::alloy ? "eam/alloy" : "eam/fs"; }

// Number of words a setfl file of this header needs after its three comment
// lines, or 0 when it does not fit in 64 bits.
uint64_t setfl_words(QT_setfl_layout layout, uint64_t n, uint64_t nrho, uint64_t nr) {
    if (n > 10000 || nrho > (1u << 31) || nr > (1u << 31)) return 0;
    const uint64_t densities = layout == QT_setfl_layout::alloy ? 1 : n;
    return 1 + n + 5 + n * (4 + nrho + densities * nr) + n * (n + 1) / 2 * nr;
}

// A funcfl file: a comment line, "Z mass a lattice", then "Nrho drho Nr dr
// cut-off". Used only to say why a setfl reading failed.
bool looks_like_funcfl(const std::string& text) {
    const std::vector<Word> words = split_words(text, 1);
    if (words.size() < 9 || words[0].line != 2 || words[3].line != 2 || words[4].line != 3 || words[8].line != 3)
        return false;
    if (words.size() > 9 && words[9].line == 3) return false;
    int z, nrho, nr;
    double mass, a, drho, dr, cut;
    return parse_int(words[0], z) && parse_double(words[1], mass) && parse_double(words[2], a) &&
           parse_int(words[4], nrho) && parse_double(words[5], drho) && parse_int(words[6], nr) &&
           parse_double(words[7], dr) && parse_double(words[8], cut);
}

// Reads the header of a setfl file (element count, names, grids).
bool read_setfl_head(Cursor& in, QT_setfl& pot) {
    if (!in.whole("the element count", pot.n)) return false;
    if (pot.n <= 0) {
        in.message = QB_format("%s: the element count is %d; it must be at least 1", in.path.c_str(), pot.n);
        return false;
    }
    pot.names.clear();
    for (int e = 0; e < pot.n; ++e) {
        const Word* w;
        if (!in.word(QB_format("the name of element %d", e + 1), w)) return false;
        pot.names.push_back(w->text());
    }
    if (!in.whole("Nrho", pot.nrho) || !in.real("drho", pot.drho) || !in.whole("Nr", pot.nr) ||
        !in.real("dr", pot.dr) || !in.real("the cut-off", pot.cutoff))
        return false;
    const char* p = in.path.c_str();
    if (pot.nrho <= 1) return (in.message = QB_format("%s: Nrho is %d; it must be at least 2", p, pot.nrho), false);
    if (pot.nr <= 1) return (in.message = QB_format("%s: Nr is %d; it must be at least 2", p, pot.nr), false);
    if (pot.drho <= 0) return (in.message = QB_format("%s: drho is %g; it must be positive", p, pot.drho), false);
    if (pot.dr <= 0) return (in.message = QB_format("%s: dr is %g; it must be positive", p, pot.dr), false);
    if (pot.cutoff <= 0)
        return (in.message = QB_format("%s: the cut-off is %g; it must be positive", p, pot.cutoff), false);
    return true;
}

// Writes one block; upper selects the " %.20LE" form.
template <typename X, typename Y>
void write_block(FILE* f, int i, int j, int kind, long double lo, long double hi, size_t count, X x, Y y, bool upper) {
    std::fprintf(f, " %d %d %d\n", i, j, kind);
    std::fprintf(f, " %zu\n", count - 1);
    if (upper) {
        std::fprintf(f, " %.20LE %.20LE\n", lo, hi);
        for (size_t k = 0; k < count; ++k)
            std::fprintf(f, " %.20LE %.20LE\n", static_cast<long double>(x(k)), static_cast<long double>(y(k)));
    } else {
        std::fprintf(f, " %.20le %.20le\n", static_cast<double>(lo), static_cast<double>(hi));
        for (size_t k = 0; k < count; ++k)
            std::fprintf(f, " %.20le %.20le\n", static_cast<double>(x(k)), static_cast<double>(y(k)));
    }
}

}  // namespace

bool QT_read_setfl(const std::string& path, QT_setfl_layout layout, QT_setfl& pot, std::string& message) {
    pot = QT_setfl();
    pot.layout = layout;
    std::string text;
    if (!QB_read_text_file(path, text, &message)) return false;
    const std::vector<Word> words = split_words(text, 3);
    Cursor in{path, words, 0, message};
    bool ok = read_setfl_head(in, pot);
    if (ok) {
        const int n = pot.n;
        const size_t densities = layout == QT_setfl_layout::alloy ? 1 : static_cast<size_t>(n);
        // Tables are added as they are read, so a bad header cannot make
        // this allocate more than the file holds.
        pot.embedding.resize(n);
        pot.density.resize(n);
        pot.r_phi.resize(n);
        for (int e = 0; ok && e < n; ++e) {
            const std::string elem = QB_format("element %d (%s)", e + 1, pot.names[e].c_str());
            double z, mass, a;
            const Word* lattice;
            ok = in.real(elem + " atomic number", z) && in.real(elem + " mass", mass) &&
                 in.real(elem + " lattice constant", a) && in.word(elem + " lattice name", lattice) &&
                 in.table(pot.nrho, pot.embedding[e], [&] { return elem + " embedding F(rho)"; });
            for (size_t j = 0; ok && j < densities; ++j)
                ok = in.table(pot.nr, pot.density[e].emplace_back(), [&] {
                    return layout == QT_setfl_layout::alloy
                               ? elem + " density rho(r)"
                               : QB_format("%s density rho(r) for element %zu (%s)", elem.c_str(), j + 1,
                                           pot.names[j].c_str());
                });
        }
        for (int i = 0; ok && i < n; ++i) {
            for (int j = 0; ok && j <= i; ++j)
                ok = in.table(pot.nr, pot.r_phi[i].emplace_back(), [&] {
                    return QB_format("pair r*phi(r) %d-%d (%s-%s)", i + 1, j + 1, pot.names[i].c_str(),
                                     pot.names[j].c_str());
                });
        }
        if (ok && in.left() > 0) {
            const Word& w = words[in.pos];
            message = QB_format("%s line %d: %zu more words after the last pair table of an %s file", path.c_str(),
                                w.line, in.left(), layout_name(layout));
            ok = false;
        }
        if (!ok) {
            // Say which layout the file would fit, if it fits the other.
            const QT_setfl_layout other =
                layout == QT_setfl_layout::alloy ? QT_setfl_layout::fs : QT_setfl_layout::alloy;
            if (setfl_words(other, pot.n, pot.nrho, pot.nr) == words.size())
                message += QB_format(" (it holds the number of values of an %s file)", layout_name(other));
        }
    }
    if (!ok && looks_like_funcfl(text))
        message += " (this looks like a single-element funcfl .eam file, which is not a setfl file)";
    return ok;
}

bool QT_looks_like_funcfl(const std::string& text) { return looks_like_funcfl(text); }

bool QT_setfl_layout_of(const std::string& path, QT_setfl_layout& layout, std::string& message) {
    std::string text;
    if (!QB_read_text_file(path, text, &message)) return false;
    const std::vector<Word> words = split_words(text, 3);
    Cursor in{path, words, 0, message};
    QT_setfl head;
    if (!read_setfl_head(in, head)) {
        if (looks_like_funcfl(text))
            message += " (this looks like a single-element funcfl .eam file, which is not a setfl file)";
        return false;
    }
    const bool alloy = setfl_words(QT_setfl_layout::alloy, head.n, head.nrho, head.nr) == words.size();
    const bool fs = setfl_words(QT_setfl_layout::fs, head.n, head.nrho, head.nr) == words.size();
    if (alloy && fs) {
        message = path + ": a one-element file fits both eam/alloy and eam/fs; give the format";
        return false;
    }
    if (!alloy && !fs) {
        message = QB_format("%s: %zu values fit neither eam/alloy (%llu) nor eam/fs (%llu) with %d elements, Nrho %d "
                            "and Nr %d",
                            path.c_str(), words.size(),
                            (unsigned long long)setfl_words(QT_setfl_layout::alloy, head.n, head.nrho, head.nr),
                            (unsigned long long)setfl_words(QT_setfl_layout::fs, head.n, head.nrho, head.nr), head.n,
                            head.nrho, head.nr);
        return false;
    }
    layout = alloy ? QT_setfl_layout::alloy : QT_setfl_layout::fs;
    return true;
}

bool QT_write_quelm(const QT_setfl& pot, const std::string& path, std::string& message) {
    QB_output_file out;
    if (!out.open(path)) {
        message = "cannot create " + path;
        return false;
    }
    QB_c_numeric c_locale;
    FILE* f = out.get();
    const int n = pot.n;
    const bool fs = pot.layout == QT_setfl_layout::fs;
    std::vector<std::vector<std::vector<double>>> phi(n);
    for (int i = 0; i < n; ++i) {
        phi[i].resize(i + 1);
        for (int j = 0; j <= i; ++j) {
            phi[i][j].assign(pot.nr, 0.0);
            for (int k = 1; k < pot.nr; ++k) phi[i][j][k] = pot.r_phi[i][j][k] / (k * pot.dr);
        }
    }
    auto rho_x = [&](size_t k) { return k * pot.drho; };
    auto r_x = [&](size_t k) { return k * pot.dr; };
    auto embedding = [&](int c) {
        write_block(f, c, c, 2, 0.0L, static_cast<long double>((pot.nrho - 1) * pot.drho), pot.nrho, rho_x,
                    [&](size_t k) { return pot.embedding[c][k]; }, fs);
    };
    auto density = [&](int c, int j) {
        const std::vector<double>& rho = pot.density[c][fs ? j : 0];
        write_block(f, c, j, 1, 0.0L, static_cast<long double>(pot.cutoff), pot.nr, r_x,
                    [&](size_t k) { return rho[k]; }, false);
    };
    std::fprintf(f, " %d 6\n", n);
    if (fs) {
        for (int c = 0; c < n; ++c) embedding(c);
        for (int c = 0; c < n; ++c)
            for (int j = 0; j < n; ++j) density(c, j);
    } else {
        for (int c = 0; c < n; ++c) {
            embedding(c);
            for (int j = 0; j < n; ++j) density(c, j);
        }
    }
    for (int i = 0; i < n; ++i)
        for (int j = 0; j <= i; ++j) {
            write_block(f, i, j, 0, 0.0L, static_cast<long double>(pot.cutoff), pot.nr, r_x,
                        [&](size_t k) { return phi[i][j][k]; }, false);
        }
    if (!out.commit()) {
        message = "cannot write " + path;
        return false;
    }
    return true;
}

bool QT_setfl_to_quelm(const std::string& in, const std::string& out, QT_setfl_layout layout, std::string& message,
                       FILE* log) {
    QT_setfl pot;
    if (!QT_read_setfl(in, layout, pot, message)) return false;
    if (log) {
        std::fprintf(log, "getting head data,%d %d\n", pot.nr, pot.nrho);
        for (int e = 0; e < pot.n; ++e) std::fprintf(log, "getting %dth rho data\n", e + 1);
        for (int i = 1; i <= pot.n; ++i)
            for (int j = 1; j <= i; ++j) std::fprintf(log, "getting %d Pair %d x %d data\n", pot.nr, i, j);
    }
    if (!QT_write_quelm(pot, out, message)) return false;
    message = kDone;
    return true;
}

namespace {

bool same_grid(const QT_quelm_block& a, const QT_quelm_block& b) {
    return a.lo == b.lo && a.hi == b.hi && a.x == b.x;
}

}  // namespace

bool QT_read_quelm(const std::string& path, QT_quelm& pot, std::string& message) {
    pot = QT_quelm();
    std::string text;
    if (!QB_read_text_file(path, text, &message)) return false;
    const std::vector<Word> words = split_words(text, 0);
    Cursor in{path, words, 0, message};
    QB_c_numeric c_locale;
    double ignored;
    if (!in.whole("the element count", pot.n) || !in.real("the second number of the first line", ignored))
        return false;
    const int n = pot.n;
    if (n <= 0) {
        message = QB_format("%s: the element count is %d; it must be at least 1", path.c_str(), n);
        return false;
    }
    // Every one of the N * N density blocks takes at least ten numbers.
    if (static_cast<uint64_t>(n) * static_cast<uint64_t>(n) * 10 > words.size()) {
        message = QB_format("%s ends early: %d elements need at least %llu numbers; the file holds %zu", path.c_str(),
                            n, static_cast<unsigned long long>(n) * static_cast<unsigned long long>(n) * 10,
                            words.size());
        return false;
    }
    pot.embedding.resize(n);
    pot.density.resize(static_cast<size_t>(n) * n);
    pot.pair.resize(static_cast<size_t>(n) * (n + 1) / 2);
    std::vector<char> seen_e(n, 0), seen_d(pot.density.size(), 0), seen_p(pot.pair.size(), 0);
    const QT_quelm_block* radial = nullptr;
    const QT_quelm_block* rho_grid = nullptr;
    int number = 0;
    while (in.left() > 0) {
        ++number;
        const std::string name = QB_format("block %d", number);
        int i, j, kind, m;
        if (!in.whole(name + " header, first index", i) || !in.whole(name + " header, second index", j) ||
            !in.whole(name + " header, kind", kind))
            return false;
        const std::string what = QB_format("block %d (%d %d %d)", number, i, j, kind);
        const int line = words[in.pos - 1].line;
        auto refuse = [&](const char* why) {
            message = QB_format("%s line %d: %s %s", path.c_str(), line, what.c_str(), why);
            return false;
        };
        if (kind < 0 || kind > 2) return refuse("has a kind other than 0 (pair), 1 (density) or 2 (embedding)");
        if (i < 0 || i >= n || j < 0 || j >= n)
            return refuse(QB_format("has an element index outside 0 … %d", n - 1).c_str());
        if (kind == 2 && i != j) return refuse("is an embedding block whose two indices differ");
        if (kind == 0 && j > i) return refuse("is a pair block whose second index exceeds the first");
        char* seen = kind == 2 ? &seen_e[i] : kind == 1 ? &seen_d[i * n + j] : &seen_p[i * (i + 1) / 2 + j];
        if (*seen) return refuse("appears a second time");
        *seen = 1;
        QT_quelm_block& b = kind == 2 ? pot.embedding[i] : kind == 1 ? pot.density[i * n + j]
                                                                      : pot.pair[i * (i + 1) / 2 + j];
        b.i = i;
        b.j = j;
        b.kind = kind;
        if (!in.whole(what + " point count", m)) return false;
        if (m < 1) return refuse(QB_format("has %d points; it needs at least 2", m + 1).c_str());
        const Word* w;
        if (!in.word(what + " range, lower end", w)) return false;
        if (!parse_long_double(*w, b.lo)) return in.bad(*w, what + " range, lower end", "is not a number");
        if (!in.word(what + " range, upper end", w)) return false;
        if (!parse_long_double(*w, b.hi)) return in.bad(*w, what + " range, upper end", "is not a number");
        const size_t count = static_cast<size_t>(m) + 1;
        b.x.reserve(std::min(count, in.left() / 2));
        b.y.reserve(std::min(count, in.left() / 2));
        for (size_t k = 0; k < count; ++k) {
            for (int c = 0; c < 2; ++c) {
                const std::string at =
                    QB_format("%s, point %zu of %zu, %s", what.c_str(), k + 1, count, c == 0 ? "argument" : "value");
                if (!in.word(at, w)) return false;
                long double v;
                if (!parse_long_double(*w, v)) return in.bad(*w, at, "is not a number");
                (c == 0 ? b.x : b.y).push_back(v);
            }
            if (k > 0 && !(b.x[k] > b.x[k - 1]))
                return in.bad(words[in.pos - 2], QB_format("%s, point %zu of %zu", what.c_str(), k + 1, count),
                              "does not follow a smaller argument");
        }
        const QT_quelm_block*& first = kind == 2 ? rho_grid : radial;
        if (!first)
            first = &b;
        else if (!same_grid(*first, b))
            return refuse(QB_format("has another grid than block (%d %d %d); all %s blocks must share one", first->i,
                                    first->j, first->kind, kind == 2 ? "embedding" : "density and pair")
                              .c_str());
    }
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            if (i == j && !seen_e[i])
                return (message = QB_format("%s: the embedding block (%d %d 2) is missing", path.c_str(), i, i), false);
            if (!seen_d[i * n + j])
                return (message = QB_format("%s: the density block (%d %d 1) is missing", path.c_str(), i, j), false);
            if (j <= i && !seen_p[i * (i + 1) / 2 + j])
                return (message = QB_format("%s: the pair block (%d %d 0) is missing", path.c_str(), i, j), false);
        }
    return true;
}

int QT_remap_quelm(const std::string& source, const std::string& target, const std::vector<int>& map,
                   std::string& message, FILE* log) {
    QT_quelm pot;
    if (!QT_read_quelm(source, pot, message)) return 0;
    for (size_t t = 0; t < map.size(); ++t)
        if (map[t] < 1 || map[t] > pot.n) {
            message = QB_format("model type %zu asks for element %d; %s has elements 1 … %d", t + 1, map[t],
                                source.c_str(), pot.n);
            return -1;
        }
    const int n = static_cast<int>(map.size());
    std::vector<int> e(n);
    for (int t = 0; t < n; ++t) e[t] = map[t] - 1;

    QB_output_file out;
    if (!out.open(target)) {
        message = "cannot create " + target;
        return 0;
    }
    QB_c_numeric c_locale;
    FILE* f = out.get();
    auto block = [&](int i, int j, int kind, const QT_quelm_block& b) {
        write_block(f, i, j, kind, b.lo, b.hi, b.x.size(), [&](size_t k) { return b.x[k]; },
                    [&](size_t k) { return b.y[k]; }, true);
    };
    std::fprintf(f, " %d 6\n", n);
    for (int c = 0; c < n; ++c) {
        if (log) std::fprintf(log, "getting %dth rho data\n", c + 1);
        block(c, c, 2, pot.embedding[e[c]]);
        for (int l = 0; l < n; ++l) block(c, l, 1, pot.rho(e[c], e[l]));
    }
    for (int i = 0; i < n; ++i)
        for (int j = 0; j <= i; ++j) {
            const QT_quelm_block& b = pot.phi(e[i], e[j]);
            if (log) std::fprintf(log, "dumping %zu Pair %d x %d data\n", b.x.size(), i + 1, j + 1);
            block(i, j, 0, b);
        }
    if (!out.commit()) {
        message = "cannot write " + target;
        return 0;
    }
    message = kDone;
    return 1;
}

namespace {

int run_converter(int argc, char** argv, std::string* message, QT_setfl_layout layout) {
    std::string text;
    int result = 0;
    if (argc < 3 || !argv || !argv[1] || !argv[2])
        text = "an input and an output file are needed";
    else
        result = QT_setfl_to_quelm(argv[1], argv[2], layout, text, stdout) ? 1 : 0;
    if (message) *message = text;
    return result;
}

}  // namespace

int alloy2quelm(int argc, char** argv, std::string* message) {
    return run_converter(argc, argv, message, QT_setfl_layout::alloy);
}

int fs2quelm(int argc, char** argv, std::string* message) {
    return run_converter(argc, argv, message, QT_setfl_layout::fs);
}

int Pot_transfer(char* source, char* target, int n, int* map, std::string* message) {
    std::string text;
    int result = 0;
    if (!source || !target || n < 0 || (n > 0 && !map)) {
        text = "a source, a target and a map are needed";
    } else {
        result = QT_remap_quelm(source, target, std::vector<int>(map, map + n), text, stdout);
        if (result == 1)
            for (int t = 0; t < n; ++t) map[t] -= 1;
    }
    if (message) *message = text;
    return result;
}
