// The potential converters: setfl (eam/alloy, eam/fs) to .quelm, the
// re-mapper, their refusals, the quelm-batch commands and total energies of
// the written files against LAMMPS.
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "qb/qb_file.h"
#include "qb/qb_text.h"
#include "test_support.h"
#include "tools/potentials.h"

// The batch commands are compiled in here until the test program links
// tools_batch.
#include "tools/potential_batch.h"

namespace {

const std::string kFixtures = std::string(QUELM_TEST_DATA) + "/tools/fixtures/potentials/";

void write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

std::vector<std::string> words_of(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    std::string w;
    while (in >> w) words.push_back(w);
    return words;
}

double num(const std::string& w) {
    std::string s = w;
    for (char& c : s)
        if (c == 'D' || c == 'd') c = 'e';
    return std::strtod(s.c_str(), nullptr);
}

// A setfl file read independently of the converter.
struct Source {
    int n = 0, nrho = 0, nr = 0;
    double drho = 0, dr = 0, cut = 0;
    std::vector<std::vector<double>> F;                  // [e][k]
    std::vector<std::vector<std::vector<double>>> rho;   // [e][j][k]
    std::vector<std::vector<std::vector<double>>> rphi;  // [i][j][k]
};

Source read_source(const std::string& path, bool fs) {
    std::string text = slurp(path);
    size_t p = 0;
    for (int k = 0; k < 3; ++k) p = text.find('\n', p) + 1;
    const std::vector<std::string> w = words_of(text.substr(p));
    size_t at = 0;
    Source s;
    s.n = std::atoi(w[at++].c_str());
    at += s.n;
    s.nrho = std::atoi(w[at++].c_str());
    s.drho = num(w[at++]);
    s.nr = std::atoi(w[at++].c_str());
    s.dr = num(w[at++]);
    s.cut = num(w[at++]);
    auto table = [&](int count) {
        std::vector<double> t;
        for (int k = 0; k < count; ++k) t.push_back(num(w[at++]));
        return t;
    };
    for (int e = 0; e < s.n; ++e) {
        at += 4;
        s.F.push_back(table(s.nrho));
        s.rho.emplace_back();
        for (int j = 0; j < (fs ? s.n : 1); ++j) s.rho[e].push_back(table(s.nr));
    }
    for (int i = 0; i < s.n; ++i) {
        s.rphi.emplace_back();
        for (int j = 0; j <= i; ++j) s.rphi[i].push_back(table(s.nr));
    }
    EXPECT_EQ(at, w.size());
    return s;
}

// A .quelm file read word by word, blocks in file order.
struct RawBlock {
    int i, j, kind, m;
    std::string lo, hi;
    std::vector<std::string> x, y;
};
struct RawQuelm {
    std::string first_line;
    std::vector<RawBlock> blocks;
};

RawQuelm read_raw(const std::string& path) {
    const std::string text = slurp(path);
    RawQuelm q;
    q.first_line = text.substr(0, text.find('\n'));
    const std::vector<std::string> w = words_of(text);
    size_t at = 2;
    while (at < w.size()) {
        RawBlock b;
        b.i = std::atoi(w[at++].c_str());
        b.j = std::atoi(w[at++].c_str());
        b.kind = std::atoi(w[at++].c_str());
        b.m = std::atoi(w[at++].c_str());
        b.lo = w[at++];
        b.hi = w[at++];
        for (int k = 0; k <= b.m; ++k) {
            b.x.push_back(w[at++]);
            b.y.push_back(w[at++]);
        }
        q.blocks.push_back(b);
    }
    return q;
}

std::vector<std::array<int, 3>> headers(const RawQuelm& q) {
    std::vector<std::array<int, 3>> h;
    for (const RawBlock& b : q.blocks) h.push_back({b.i, b.j, b.kind});
    return h;
}

std::vector<std::array<int, 3>> alloy_order(int n) {
    std::vector<std::array<int, 3>> h;
    for (int i = 0; i < n; ++i) {
        h.push_back({i, i, 2});
        for (int j = 0; j < n; ++j) h.push_back({i, j, 1});
    }
    for (int i = 0; i < n; ++i)
        for (int j = 0; j <= i; ++j) h.push_back({i, j, 0});
    return h;
}

std::vector<std::array<int, 3>> fs_order(int n) {
    std::vector<std::array<int, 3>> h;
    for (int i = 0; i < n; ++i) h.push_back({i, i, 2});
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) h.push_back({i, j, 1});
    for (int i = 0; i < n; ++i)
        for (int j = 0; j <= i; ++j) h.push_back({i, j, 0});
    return h;
}

// A small setfl file with awkward values; fs selects the layout; fortran
// writes the exponents with "D".
std::string small_setfl(int n, bool fs, int nrho = 5, int nr = 6, bool fortran = false) {
    auto value = [&](int a, int b, int k) {
        return std::sin(1.7 * k + 0.37 * a + 0.11 * b + 0.3) * std::pow(10.0, (k % 5) - 2) / 3.0;
    };
    auto put = [&](double v) {
        std::string s = QB_format("%.17e", v);
        if (fortran) s[s.find('e')] = 'D';
        return s + "\n";
    };
    std::string t = "comment one\ncomment two\ncomment three\n";
    t += std::to_string(n);
    for (int e = 0; e < n; ++e) t += std::string(" ") + char('A' + e);
    t += QB_format("\n%d 0.1 %d 0.3 %.17g\n", nrho, nr, 0.3 * (nr - 1) + 0.05);
    for (int e = 0; e < n; ++e) {
        t += QB_format("%d 12.5 3.6 fcc\n", 10 + e);
        for (int k = 0; k < nrho; ++k) t += put(value(e, 7, k));
        for (int j = 0; j < (fs ? n : 1); ++j)
            for (int k = 0; k < nr; ++k) t += put(value(e, j + 20, k));
    }
    for (int i = 0; i < n; ++i)
        for (int j = 0; j <= i; ++j)
            for (int k = 0; k < nr; ++k) t += put(value(i, j + 40, k));
    return t;
}

// Checks every value of a converted file against the source: embedding and
// density values and arguments exactly, phi_k * r_k within one ulp of r*phi.
void expect_values(const Source& s, bool fs, const RawQuelm& q) {
    ASSERT_EQ(q.first_line, QB_format(" %d 6", s.n));
    const std::vector<std::array<int, 3>> order = fs ? fs_order(s.n) : alloy_order(s.n);
    ASSERT_EQ(headers(q), order);
    for (const RawBlock& b : q.blocks) {
        SCOPED_TRACE(QB_format("block %d %d %d", b.i, b.j, b.kind));
        if (b.kind == 2) {
            ASSERT_EQ(b.m, s.nrho - 1);
            EXPECT_EQ(num(b.lo), 0.0);
            EXPECT_EQ(num(b.hi), (s.nrho - 1) * s.drho);
            // fs2quelm writes embeddings with an upper-case exponent letter.
            EXPECT_NE(b.y[1].find(fs ? 'E' : 'e'), std::string::npos) << b.y[1];
            for (int k = 0; k <= b.m; ++k) {
                ASSERT_EQ(num(b.x[k]), k * s.drho) << k;
                ASSERT_EQ(num(b.y[k]), s.F[b.i][k]) << k;
            }
            continue;
        }
        ASSERT_EQ(b.m, s.nr - 1);
        EXPECT_EQ(num(b.lo), 0.0);
        EXPECT_EQ(num(b.hi), s.cut);
        EXPECT_NE(b.y[1].find('e'), std::string::npos) << b.y[1];
        for (int k = 0; k <= b.m; ++k) {
            const double r = num(b.x[k]);
            ASSERT_EQ(r, k * s.dr) << k;
            const double y = num(b.y[k]);
            if (b.kind == 1) {
                ASSERT_EQ(y, s.rho[b.i][fs ? b.j : 0][k]) << k;
            } else if (k == 0) {
                ASSERT_EQ(y, 0.0);
            } else {
                const double u = s.rphi[b.i][b.j][k];
                const double back = y * r;
                ASSERT_GE(back, std::nextafter(u, -INFINITY)) << k;
                ASSERT_LE(back, std::nextafter(u, INFINITY)) << k;
            }
        }
    }
}

using Potentials = QuietStdoutTest;

TEST_F(Potentials, AlloyValuesAndOrderOneAndTwoElements) {
    ScratchDir dir;
    for (int n : {1, 2}) {
        SCOPED_TRACE(n);
        write_file(dir.path("in.alloy"), small_setfl(n, false));
        std::string message;
        ASSERT_TRUE(QT_setfl_to_quelm(dir.path("in.alloy"), dir.path("out.quelm"), QT_setfl_layout::alloy, message))
            << message;
        EXPECT_EQ(message, "Transfer complete");
        expect_values(read_source(dir.path("in.alloy"), false), false, read_raw(dir.path("out.quelm")));
    }
}

TEST_F(Potentials, FsValuesAndOrderOneAndTwoElements) {
    ScratchDir dir;
    for (int n : {1, 2, 3}) {
        SCOPED_TRACE(n);
        write_file(dir.path("in.fs"), small_setfl(n, true));
        std::string message;
        ASSERT_TRUE(QT_setfl_to_quelm(dir.path("in.fs"), dir.path("out.quelm"), QT_setfl_layout::fs, message))
            << message;
        const RawQuelm q = read_raw(dir.path("out.quelm"));
        expect_values(read_source(dir.path("in.fs"), true), true, q);
        if (n == 1) {
            EXPECT_EQ(headers(q), alloy_order(1));  // one element: the same order
        }
    }
}

TEST_F(Potentials, AlloyWritesTheDensityOncePerPartner) {
    ScratchDir dir;
    write_file(dir.path("in"), small_setfl(2, false));
    char arg0[] = "run";
    std::string in = dir.path("in"), out = dir.path("out.quelm");
    char* argv[] = {arg0, in.data(), out.data()};
    std::string message;
    ASSERT_EQ(alloy2quelm(3, argv, &message), 1) << message;
    const RawQuelm q = read_raw(out);
    EXPECT_EQ(q.blocks[1].y, q.blocks[2].y);  // (0 0 1) and (0 1 1)
    EXPECT_EQ(q.blocks[4].y, q.blocks[5].y);  // (1 0 1) and (1 1 1)
    EXPECT_NE(q.blocks[1].y, q.blocks[4].y);
}

TEST_F(Potentials, FortranExponents) {
    ScratchDir dir;
    write_file(dir.path("d.fs"), small_setfl(2, true, 5, 6, true));
    write_file(dir.path("e.fs"), small_setfl(2, true, 5, 6, false));
    std::string message;
    ASSERT_TRUE(QT_setfl_to_quelm(dir.path("d.fs"), dir.path("d.quelm"), QT_setfl_layout::fs, message)) << message;
    ASSERT_TRUE(QT_setfl_to_quelm(dir.path("e.fs"), dir.path("e.quelm"), QT_setfl_layout::fs, message)) << message;
    EXPECT_EQ(slurp(dir.path("d.quelm")), slurp(dir.path("e.quelm")));
}

TEST_F(Potentials, LammpsFilesReadBackExactly) {
    ScratchDir dir;
    struct Case {
        const char* file;
        bool fs;
    };
    for (const Case& c : {Case{"CuNi.eam.alloy", false}, Case{"AlFe_mm.eam.fs", true}, Case{"asym.eam.fs", true}}) {
        SCOPED_TRACE(c.file);
        std::string message;
        ASSERT_TRUE(QT_setfl_to_quelm(kFixtures + c.file, dir.path("out.quelm"),
                                      c.fs ? QT_setfl_layout::fs : QT_setfl_layout::alloy, message))
            << message;
        expect_values(read_source(kFixtures + c.file, c.fs), c.fs, read_raw(dir.path("out.quelm")));
    }
}

// Remapping: block (c, l) of the output holds source (map[c], map[l]).
void expect_remapped(const std::string& source, const std::string& target, const std::vector<int>& map) {
    QT_quelm src, out;
    std::string message;
    ASSERT_TRUE(QT_read_quelm(source, src, message)) << message;
    ASSERT_TRUE(QT_read_quelm(target, out, message)) << message;
    const int n = static_cast<int>(map.size());
    ASSERT_EQ(out.n, n);
    const RawQuelm raw = read_raw(target);
    EXPECT_EQ(headers(raw), alloy_order(n));
    EXPECT_NE(raw.blocks[0].y[1].find('E'), std::string::npos);
    const RawQuelm raw_src = read_raw(source);
    std::map<std::array<int, 3>, const RawBlock*> by_header;
    for (const RawBlock& b : raw_src.blocks) by_header[{b.i, b.j, b.kind}] = &b;
    for (const RawBlock& b : raw.blocks) {
        const int a = map[b.i] - 1, c = map[b.j] - 1;
        std::array<int, 3> key{a, c, b.kind};
        if (b.kind == 0) key = {std::max(a, c), std::min(a, c), 0};
        const RawBlock& s = *by_header.at(key);
        SCOPED_TRACE(QB_format("block %d %d %d", b.i, b.j, b.kind));
        ASSERT_EQ(b.m, s.m);
        ASSERT_EQ(num(b.hi), num(s.hi));
        for (int k = 0; k <= b.m; ++k) {
            ASSERT_EQ(num(b.x[k]), num(s.x[k]));
            ASSERT_EQ(num(b.y[k]), num(s.y[k]));  // reads back to the same double
        }
    }
}

TEST_F(Potentials, RemapAlloyAndFsFiles) {
    ScratchDir dir;
    write_file(dir.path("a"), small_setfl(2, false));
    write_file(dir.path("f"), small_setfl(2, true));
    write_file(dir.path("f3"), small_setfl(3, true));
    std::string message;
    ASSERT_TRUE(QT_setfl_to_quelm(dir.path("a"), dir.path("a.quelm"), QT_setfl_layout::alloy, message));
    ASSERT_TRUE(QT_setfl_to_quelm(dir.path("f"), dir.path("f.quelm"), QT_setfl_layout::fs, message));
    ASSERT_TRUE(QT_setfl_to_quelm(dir.path("f3"), dir.path("f3.quelm"), QT_setfl_layout::fs, message));
    for (const char* source : {"a.quelm", "f.quelm"})
        for (const std::vector<int>& map : {std::vector<int>{2, 1}, std::vector<int>{1, 1}, std::vector<int>{1, 2},
                                            std::vector<int>{2}, std::vector<int>{2, 2, 1}}) {
            SCOPED_TRACE(std::string(source) + " map of " + std::to_string(map.size()));
            ASSERT_EQ(QT_remap_quelm(dir.path(source), dir.path("r.quelm"), map, message), 1) << message;
            EXPECT_EQ(message, "Transfer complete");
            expect_remapped(dir.path(source), dir.path("r.quelm"), map);
        }
    ASSERT_EQ(QT_remap_quelm(dir.path("f3.quelm"), dir.path("r.quelm"), {3, 1, 2}, message), 1) << message;
    expect_remapped(dir.path("f3.quelm"), dir.path("r.quelm"), {3, 1, 2});
    // A re-mapped file re-maps again.
    ASSERT_EQ(QT_remap_quelm(dir.path("r.quelm"), dir.path("r2.quelm"), {2, 1}, message), 1) << message;
    expect_remapped(dir.path("r.quelm"), dir.path("r2.quelm"), {2, 1});
}

TEST_F(Potentials, PotTansferSwapsAndMakesTheMapZeroBased) {
    ScratchDir dir;
    write_file(dir.path("f"), small_setfl(2, true));
    std::string message;
    ASSERT_TRUE(QT_setfl_to_quelm(dir.path("f"), dir.path("f.quelm"), QT_setfl_layout::fs, message));
    std::string source = dir.path("f.quelm"), target = dir.path("t.quelm");
    int map[] = {2, 1};
    ASSERT_EQ(Pot_transfer(source.data(), target.data(), 2, map, &message), 1) << message;
    EXPECT_EQ(map[0], 1);
    EXPECT_EQ(map[1], 0);
    expect_remapped(source, target, {2, 1});
    QT_quelm src, out;
    ASSERT_TRUE(QT_read_quelm(source, src, message));
    ASSERT_TRUE(QT_read_quelm(target, out, message));
    EXPECT_EQ(out.rho(0, 1).y, src.rho(1, 0).y);  // the asymmetric densities follow the map
    EXPECT_EQ(out.rho(1, 0).y, src.rho(0, 1).y);
    EXPECT_EQ(out.phi(0, 0).y, src.phi(1, 1).y);
    EXPECT_EQ(out.phi(1, 0).y, src.phi(1, 0).y);
    EXPECT_EQ(out.phi(1, 1).y, src.phi(0, 0).y);
    ASSERT_EQ(Pot_transfer(source.data(), target.data(), 0, nullptr, &message), 1) << message;
    EXPECT_EQ(slurp(target), " 0 6\n");
}

// The refusals: each leaves no output, and an existing output unchanged.
struct BadCase {
    const char* name;
    std::string text;
    QT_setfl_layout layout;
    const char* message;
};

std::string replace_word(const std::string& text, size_t line, size_t word, const std::string& with) {
    std::istringstream in(text);
    std::string out, l;
    for (size_t n = 1; std::getline(in, l); ++n) {
        if (n == line) {
            std::vector<std::string> w = words_of(l);
            w[word] = with;
            l.clear();
            for (size_t k = 0; k < w.size(); ++k) l += (k ? " " : "") + w[k];
        }
        out += l + "\n";
    }
    return out;
}

TEST_F(Potentials, BadSetflFilesAreRefused) {
    const std::string alloy = small_setfl(2, false);
    const std::string fs = small_setfl(2, true);
    const std::string funcfl =
        "Cu functions\n29 63.55 3.615 FCC\n3 0.5 3 0.5 1.2\n0. -0.3 -0.5\n1 2 3\n4 5 6\n";
    std::string truncated = alloy.substr(0, alloy.rfind('\n', alloy.size() - 2) + 1);
    const std::vector<BadCase> cases = {
        {"truncated", truncated, QT_setfl_layout::alloy,
         "ends early: pair r*phi(r) 2-2 (B-B), value 6 of 6 is missing"},
        {"not a number", replace_word(alloy, 9, 0, "abc"), QT_setfl_layout::alloy,
         "line 9: element 1 (A) embedding F(rho), value 3 of 5: \"abc\" is not a number"},
        {"comma", replace_word(alloy, 14, 0, "2.5e-3,"), QT_setfl_layout::alloy,
         "element 1 (A) density rho(r), value 3 of 6: \"2.5e-3,\" is not a number"},
        {"fs density word", replace_word(fs, 19, 0, "x"), QT_setfl_layout::fs,
         "line 19: element 1 (A) density rho(r) for element 2 (B), value 2 of 6: \"x\" is not a number"},
        {"N zero", replace_word(alloy, 4, 0, "0"), QT_setfl_layout::alloy, "the element count is 0"},
        {"N negative", replace_word(alloy, 4, 0, "-2"), QT_setfl_layout::alloy, "the element count is -2"},
        {"N fraction", replace_word(alloy, 4, 0, "2.5"), QT_setfl_layout::alloy,
         "the element count: \"2.5\" is not a whole number"},
        {"Nrho one", replace_word(alloy, 5, 0, "1"), QT_setfl_layout::alloy, "Nrho is 1; it must be at least 2"},
        {"Nr one", replace_word(alloy, 5, 2, "1"), QT_setfl_layout::alloy, "Nr is 1; it must be at least 2"},
        {"drho zero", replace_word(alloy, 5, 1, "0"), QT_setfl_layout::alloy, "drho is 0; it must be positive"},
        {"dr zero", replace_word(alloy, 5, 3, "0.0"), QT_setfl_layout::alloy, "dr is 0; it must be positive"},
        {"cut-off negative", replace_word(alloy, 5, 4, "-1"), QT_setfl_layout::alloy,
         "the cut-off is -1; it must be positive"},
        {"nan", replace_word(alloy, 5, 4, "nan"), QT_setfl_layout::alloy, "the cut-off: \"nan\" is not a number"},
        {"fs to alloy", fs, QT_setfl_layout::alloy,
         "element 2 (B) density rho(r), value 1 of 6: \"fcc\" is not a number (it holds the number of values of "
         "an eam/fs file)"},
        {"alloy to fs", alloy, QT_setfl_layout::fs,
         "element 1 (A) density rho(r) for element 2 (B), value 4 of 6: \"fcc\" is not a number (it holds the "
         "number of values of an eam/alloy file)"},
        {"fs one element to alloy", small_setfl(1, true) + "0.5\n", QT_setfl_layout::alloy,
         "1 more words after the last pair table of an eam/alloy file"},
        {"leftover", alloy + "1.0\n", QT_setfl_layout::alloy, "1 more words after the last pair table"},
        {"funcfl", funcfl, QT_setfl_layout::alloy, "looks like a single-element funcfl .eam file"},
        {"empty", "", QT_setfl_layout::fs, "ends early: the element count is missing"},
    };
    ScratchDir dir;
    for (const BadCase& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(dir.path("in"), c.text);
        std::string message;
        EXPECT_FALSE(QT_setfl_to_quelm(dir.path("in"), dir.path("new.quelm"), c.layout, message));
        EXPECT_NE(message.find(c.message), std::string::npos) << message;
        EXPECT_FALSE(QB_file_exists(dir.path("new.quelm")));
        write_file(dir.path("old.quelm"), "keep me\n");
        EXPECT_FALSE(QT_setfl_to_quelm(dir.path("in"), dir.path("old.quelm"), c.layout, message));
        EXPECT_EQ(slurp(dir.path("old.quelm")), "keep me\n");
    }
    std::filesystem::directory_iterator files(dir.dir());
    for (const auto& f : files) EXPECT_EQ(f.path().filename().string().find(".tmp"), std::string::npos);

    std::string message;
    EXPECT_FALSE(QT_setfl_to_quelm(dir.path("missing"), dir.path("x.quelm"), QT_setfl_layout::alloy, message));
    EXPECT_NE(message.find("cannot open"), std::string::npos) << message;
    write_file(dir.path("in"), alloy);
    EXPECT_FALSE(QT_setfl_to_quelm(dir.path("in"), dir.path("no/such/x.quelm"), QT_setfl_layout::alloy, message));
    EXPECT_NE(message.find("cannot create"), std::string::npos) << message;
    char arg0[] = "run";
    char* argv[] = {arg0};
    EXPECT_EQ(fs2quelm(1, argv, &message), 0);
}

TEST_F(Potentials, LayoutIsRecognisedOnlyWhenUnambiguous) {
    ScratchDir dir;
    QT_setfl_layout layout;
    std::string message;
    write_file(dir.path("a"), small_setfl(2, false));
    ASSERT_TRUE(QT_setfl_layout_of(dir.path("a"), layout, message)) << message;
    EXPECT_EQ(layout, QT_setfl_layout::alloy);
    write_file(dir.path("f"), small_setfl(3, true));
    ASSERT_TRUE(QT_setfl_layout_of(dir.path("f"), layout, message)) << message;
    EXPECT_EQ(layout, QT_setfl_layout::fs);
    write_file(dir.path("one"), small_setfl(1, true));
    EXPECT_FALSE(QT_setfl_layout_of(dir.path("one"), layout, message));
    EXPECT_NE(message.find("fits both"), std::string::npos) << message;
    write_file(dir.path("odd"), small_setfl(2, false) + "1\n");
    EXPECT_FALSE(QT_setfl_layout_of(dir.path("odd"), layout, message));
    EXPECT_NE(message.find("fit neither"), std::string::npos) << message;
}

TEST_F(Potentials, BadQuelmFilesAreRefused) {
    ScratchDir dir;
    write_file(dir.path("f"), small_setfl(2, true, 3, 3));
    std::string message;
    ASSERT_TRUE(QT_setfl_to_quelm(dir.path("f"), dir.path("good.quelm"), QT_setfl_layout::fs, message));
    const std::string good = slurp(dir.path("good.quelm"));
    // Lines of good: 1 " 2 6"; each block 3 + 3 points = 6 lines; block b
    // (from 1) starts at line 2 + 6 (b - 1). Order: (0 0 2) (1 1 2) (0 0 1)
    // (0 1 1) (1 0 1) (1 1 1) (0 0 0) (1 0 0) (1 1 0).
    auto block_line = [](int b, int offset) { return static_cast<size_t>(2 + 6 * (b - 1) + offset); };
    std::string no_last = good.substr(0, good.size());
    for (int k = 0; k < 6; ++k) no_last = no_last.substr(0, no_last.rfind('\n', no_last.size() - 2) + 1);
    struct Q {
        const char* name;
        std::string text;
        std::vector<int> map;
        int result;
        const char* message;
    };
    const std::vector<Q> cases = {
        {"map zero", good, {1, 0}, -1, "model type 2 asks for element 0"},
        {"map past", good, {3}, -1, "model type 1 asks for element 3"},
        {"index out of range", replace_word(good, block_line(4, 0), 1, "2"), {1, 2}, 0,
         "block 4 (0 2 1) has an element index outside 0 … 1"},
        {"negative index", replace_word(good, block_line(7, 0), 0, "-1"), {1, 2}, 0,
         "block 7 (-1 0 0) has an element index outside"},
        {"bad kind", replace_word(good, block_line(2, 0), 2, "3"), {1, 2}, 0, "block 2 (1 1 3) has a kind"},
        {"pair upper", replace_word(good, block_line(8, 0), 0, "0") , {1, 2}, 0, "appears a second time"},
        {"density grid", replace_word(good, block_line(5, 4), 0, "0.30000000000000004"), {1, 2}, 0,
         "block 5 (1 0 1) has another grid than block (0 0 1)"},
        {"pair range", replace_word(good, block_line(9, 2), 1, "9"), {1, 2}, 0,
         "block 9 (1 1 0) has another grid than block (0 0 1)"},
        {"embedding points", replace_word(good, block_line(2, 4), 0, "0.15"), {1, 2}, 0,
         "block 2 (1 1 2) has another grid than block (0 0 2)"},
        {"missing block", no_last, {1, 2}, 0, "the pair block (1 1 0) is missing"},
        {"truncated", good.substr(0, good.rfind('\n', good.size() - 2) + 1), {1, 2}, 0,
         "ends early: block 9 (1 1 0), point 3 of 3, argument is missing"},
        {"not a number", replace_word(good, block_line(3, 4), 1, "1.0x"), {1, 2}, 0,
         "block 3 (0 0 1), point 2 of 3, value: \"1.0x\" is not a number"},
        {"falling", replace_word(good, block_line(3, 5), 0, "0.1"), {1, 2}, 0,
         "line 19: block 3 (0 0 1), point 3 of 3: \"0.1\" does not follow a smaller argument"},
        {"one point", replace_word(good, block_line(1, 1), 0, "0"), {1, 2}, 0, "has 1 points; it needs at least 2"},
        {"no elements", " 0 6\n", {}, 0, "the element count is 0"},
        {"huge count", " 100000 6\n 0 0 2\n", {1}, 0, "100000 elements need at least"},
        {"leftover", good + " 1\n", {1, 2}, 0, "ends early: block 10 header, second index is missing"},
    };
    for (const Q& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(dir.path("in.quelm"), c.text);
        EXPECT_EQ(QT_remap_quelm(dir.path("in.quelm"), dir.path("new.quelm"), c.map, message), c.result);
        EXPECT_NE(message.find(c.message), std::string::npos) << message;
        EXPECT_FALSE(QB_file_exists(dir.path("new.quelm")));
        write_file(dir.path("old.quelm"), "keep me\n");
        EXPECT_EQ(QT_remap_quelm(dir.path("in.quelm"), dir.path("old.quelm"), c.map, message), c.result);
        EXPECT_EQ(slurp(dir.path("old.quelm")), "keep me\n");
    }
    std::string source = dir.path("good.quelm"), target = dir.path("t.quelm");
    int map[] = {0, 1};
    EXPECT_EQ(Pot_transfer(source.data(), target.data(), 2, map, &message), -1);
    EXPECT_FALSE(QB_file_exists(target));
    EXPECT_EQ(map[0], 0);
    EXPECT_EQ(map[1], 1);
}

// quelm-batch convert-potential and remap-potential, called directly.
struct Batch {
    int status;
    std::string out, err;
};

Batch batch(int (*command)(int, const char* const*, FILE*, FILE*), std::vector<std::string> words) {
    std::vector<const char*> argv{"quelm-batch"};
    for (const std::string& w : words) argv.push_back(w.c_str());
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    Batch b{command(static_cast<int>(argv.size()), argv.data(), out, err), "", ""};
    for (auto [f, s] : {std::pair<FILE*, std::string*>{out, &b.out}, {err, &b.err}}) {
        std::rewind(f);
        char buf[4096];
        size_t got;
        while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) s->append(buf, got);
        std::fclose(f);
    }
    return b;
}

TEST_F(Potentials, BatchCommands) {
    ScratchDir dir;
    write_file(dir.path("a"), small_setfl(2, false));
    write_file(dir.path("f"), small_setfl(2, true));
    write_file(dir.path("one"), small_setfl(1, false));
    auto convert = [&](std::vector<std::string> w) {
        w.insert(w.begin(), "convert-potential");
        return batch(QN_batch_convert_potential, w);
    };
    auto remap = [&](std::vector<std::string> w) {
        w.insert(w.begin(), "remap-potential");
        return batch(QN_batch_remap_potential, w);
    };
    Batch b = convert({dir.path("a"), "-o", dir.path("a.quelm")});
    ASSERT_EQ(b.status, 0) << b.err;
    EXPECT_NE(b.out.find("Transfer complete"), std::string::npos);
    expect_values(read_source(dir.path("a"), false), false, read_raw(dir.path("a.quelm")));
    b = convert({dir.path("f"), "-o", dir.path("f.quelm")});
    ASSERT_EQ(b.status, 0) << b.err;
    expect_values(read_source(dir.path("f"), true), true, read_raw(dir.path("f.quelm")));
    b = convert({dir.path("one"), "-o", dir.path("one.quelm")});
    EXPECT_EQ(b.status, 1);
    EXPECT_NE(b.err.find("fits both"), std::string::npos) << b.err;
    EXPECT_FALSE(QB_file_exists(dir.path("one.quelm")));
    b = convert({dir.path("one"), "-o", dir.path("one.quelm"), "--format", "fs"});
    EXPECT_EQ(b.status, 0) << b.err;
    b = convert({dir.path("f"), "-o", dir.path("x.quelm"), "--format", "alloy"});
    EXPECT_EQ(b.status, 1);
    EXPECT_NE(b.err.find("values of an eam/fs file"), std::string::npos) << b.err;
    EXPECT_FALSE(QB_file_exists(dir.path("x.quelm")));
    EXPECT_EQ(convert({dir.path("f"), "-o", dir.path("x.quelm"), "--format", "setfl"}).status, 2);
    EXPECT_EQ(convert({dir.path("f")}).status, 2);
    EXPECT_EQ(convert({"-o", dir.path("x.quelm")}).status, 2);
    EXPECT_FALSE(QB_file_exists(dir.path("x.quelm")));

    b = remap({dir.path("f.quelm"), "-o", dir.path("r.quelm"), "--map", "2,1,1"});
    ASSERT_EQ(b.status, 0) << b.err;
    expect_remapped(dir.path("f.quelm"), dir.path("r.quelm"), {2, 1, 1});
    b = remap({dir.path("f.quelm"), "-o", dir.path("x.quelm"), "--map", "1,3"});
    EXPECT_EQ(b.status, 1);
    EXPECT_NE(b.err.find("model type 2 asks for element 3"), std::string::npos) << b.err;
    for (const char* bad : {"0,1", "1,,2", "", "a", "1.5", "-1"})
        EXPECT_EQ(remap({dir.path("f.quelm"), "-o", dir.path("x.quelm"), "--map", bad}).status, 2) << bad;
    EXPECT_EQ(remap({dir.path("f.quelm"), "-o", dir.path("x.quelm")}).status, 2);
    EXPECT_EQ(remap({dir.path("f"), "-o", dir.path("x.quelm"), "--map", "1"}).status, 1);
    EXPECT_FALSE(QB_file_exists(dir.path("x.quelm")));
}

// ---- Total energies against LAMMPS ----------------------------------------

// LAMMPS's tables: cubic pieces on each interval with slopes from a
// five-point difference (PairEAM::interpolate), evaluated as LAMMPS does.
struct Table {
    int n = 0;
    std::vector<std::array<double, 7>> c;  // 1-based as in LAMMPS

    Table() = default;
    Table(const std::vector<double>& f, double delta) : n(static_cast<int>(f.size())), c(f.size() + 1) {
        for (int m = 1; m <= n; ++m) c[m][6] = f[m - 1];
        c[1][5] = c[2][6] - c[1][6];
        c[2][5] = 0.5 * (c[3][6] - c[1][6]);
        c[n - 1][5] = 0.5 * (c[n][6] - c[n - 2][6]);
        c[n][5] = c[n][6] - c[n - 1][6];
        for (int m = 3; m <= n - 2; ++m)
            c[m][5] = ((c[m - 2][6] - c[m + 2][6]) + 8.0 * (c[m + 1][6] - c[m - 1][6])) / 12.0;
        for (int m = 1; m <= n - 1; ++m) {
            c[m][4] = 3.0 * (c[m + 1][6] - c[m][6]) - 2.0 * c[m][5] - c[m + 1][5];
            c[m][3] = c[m][5] + c[m + 1][5] - 2.0 * (c[m + 1][6] - c[m][6]);
        }
        c[n][4] = 0.0;
        c[n][3] = 0.0;
        for (int m = 1; m <= n; ++m) {
            c[m][2] = c[m][5] / delta;
            c[m][1] = 2.0 * c[m][4] / delta;
            c[m][0] = 3.0 * c[m][3] / delta;
        }
    }
};

struct Config {
    double length = 0;
    std::vector<int> type;  // from 0
    std::vector<std::array<double, 3>> pos;
};

Config read_config(const std::string& path) {
    std::istringstream in(slurp(path));
    Config c;
    std::string line;
    int atoms = 0;
    while (std::getline(in, line)) {
        std::istringstream l(line);
        double a, b;
        std::string w1, w2;
        if (line.find(" atoms") != std::string::npos) {
            l >> atoms;
        } else if (line.find("xlo xhi") != std::string::npos) {
            l >> a >> b;
            c.length = b - a;
        } else if (line.rfind("Atoms", 0) == 0) {
            std::getline(in, line);
            for (int k = 0; k < atoms && std::getline(in, line); ++k) {
                std::istringstream al(line);
                int id, t;
                std::array<double, 3> p;
                al >> id >> t >> p[0] >> p[1] >> p[2];
                c.type.push_back(t - 1);
                c.pos.push_back(p);
            }
        }
    }
    EXPECT_EQ(static_cast<int>(c.pos.size()), atoms);
    return c;
}

// Total energy of a cubic periodic configuration under a .quelm potential
// whose element e is model type e; the density an atom of type a gets from
// a neighbour of type b is block (b, a, 1), as LAMMPS's eam/fs takes it.
double eam_energy(const QT_quelm& pot, const Config& config) {
    const int n = pot.n;
    const QT_quelm_block& r_grid = pot.phi(0, 0);
    const QT_quelm_block& rho_grid = pot.embedding[0];
    const double dr = static_cast<double>(r_grid.x[1]), drho = static_cast<double>(rho_grid.x[1]);
    const int nr = static_cast<int>(r_grid.x.size()), nrho = static_cast<int>(rho_grid.x.size());
    const double cut = static_cast<double>(r_grid.hi), rdr = 1.0 / dr, rdrho = 1.0 / drho;
    const double rhomax = (nrho - 1) * drho;
    auto doubles = [](const std::vector<long double>& v) { return std::vector<double>(v.begin(), v.end()); };
    std::vector<Table> F(n), rho(n * n), z2(n * n);
    for (int a = 0; a < n; ++a) {
        F[a] = Table(doubles(pot.embedding[a].y), drho);
        for (int b = 0; b < n; ++b) {
            rho[a * n + b] = Table(doubles(pot.rho(a, b).y), dr);
            const QT_quelm_block& p = pot.phi(a, b);
            std::vector<double> r_phi(p.y.size());
            for (size_t k = 0; k < p.y.size(); ++k) r_phi[k] = static_cast<double>(p.y[k]) * static_cast<double>(p.x[k]);
            z2[a * n + b] = Table(r_phi, dr);
        }
    }
    auto at = [&](const Table& t, double r) {
        double p = r * rdr + 1.0;
        int m = std::min(static_cast<int>(p), nr - 1);
        p = std::min(p - m, 1.0);
        const auto& c = t.c[m];
        return ((c[3] * p + c[4]) * p + c[5]) * p + c[6];
    };
    const size_t atoms = config.pos.size();
    const double L = config.length;
    const int images = static_cast<int>(std::ceil(cut / L)) + 1;
    std::vector<double> density(atoms, 0.0);
    double energy = 0;
    for (size_t i = 0; i < atoms; ++i)
        for (size_t j = 0; j < atoms; ++j)
            for (int u = -images; u <= images; ++u)
                for (int v = -images; v <= images; ++v)
                    for (int w = -images; w <= images; ++w) {
                        if (i == j && u == 0 && v == 0 && w == 0) continue;
                        const double dx = config.pos[j][0] + u * L - config.pos[i][0];
                        const double dy = config.pos[j][1] + v * L - config.pos[i][1];
                        const double dz = config.pos[j][2] + w * L - config.pos[i][2];
                        const double rsq = dx * dx + dy * dy + dz * dz;
                        if (rsq >= cut * cut) continue;
                        const double r = std::sqrt(rsq);
                        const int a = config.type[i], b = config.type[j];
                        density[i] += at(rho[b * n + a], r);
                        energy += 0.5 * at(z2[a * n + b], r) / r;
                    }
    for (size_t i = 0; i < atoms; ++i) {
        double p = density[i] * rdrho + 1.0;
        int m = std::max(1, std::min(static_cast<int>(p), nrho - 1));
        p = std::min(p - m, 1.0);
        const auto& c = F[config.type[i]].c[m];
        double e = ((c[3] * p + c[4]) * p + c[5]) * p + c[6];
        if (density[i] > rhomax) e += ((c[0] * p + c[1]) * p + c[2]) * (density[i] - rhomax);
        energy += e;
    }
    return energy;
}

TEST_F(Potentials, EnergiesAgreeWithLammps) {
    std::istringstream cases(slurp(kFixtures + "energies.txt"));
    ScratchDir dir;
    std::string line;
    int count = 0;
    std::map<std::string, Config> configs;
    while (std::getline(cases, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream l(line);
        std::string name, data, file, layout, map_text;
        double reference;
        l >> name >> data >> file >> layout >> map_text >> reference;
        SCOPED_TRACE(name);
        ++count;
        std::string in = kFixtures + file, quelm = dir.path(name + ".quelm");
        char arg0[] = "run";
        char* argv[] = {arg0, in.data(), quelm.data()};
        std::string message;
        ASSERT_EQ(layout == "fs" ? fs2quelm(3, argv, &message) : alloy2quelm(3, argv, &message), 1) << message;
        if (map_text != "-") {
            std::vector<int> map;
            for (size_t at = 0; at < map_text.size();) {  // "2,1"
                const size_t end = std::min(map_text.find(',', at), map_text.size());
                map.push_back(std::stoi(map_text.substr(at, end - at)));
                at = end + 1;
            }
            ASSERT_FALSE(map.empty());
            std::string target = dir.path(name + ".mapped.quelm");
            ASSERT_EQ(Pot_transfer(quelm.data(), target.data(), static_cast<int>(map.size()), map.data(), &message), 1)
                << message;
            quelm = target;
        }
        QT_quelm pot;
        ASSERT_TRUE(QT_read_quelm(quelm, pot, message)) << message;
        if (!configs.count(data)) configs[data] = read_config(kFixtures + data);
        const double energy = eam_energy(pot, configs[data]);
        EXPECT_NEAR(energy, reference, 1e-8 * std::fabs(reference)) << QB_format("%.17g", energy);
        if (name == "asym") {
            // The fixture tells the cross densities apart: swapping them
            // moves the energy far beyond the tolerance.
            QT_quelm swapped = pot;
            std::swap(swapped.density[1], swapped.density[2]);
            EXPECT_GT(std::fabs(eam_energy(swapped, configs[data]) - reference), 1e-4 * std::fabs(reference));
        }
        if (std::getenv("QUELM_SHOW_ENERGIES"))
            std::fprintf(stderr, "%s %.17g %.17g %.3g\n", name.c_str(), energy, reference,
                         std::fabs(energy - reference) / std::fabs(reference));
    }
    EXPECT_EQ(count, 8);
}

}  // namespace

#ifdef QUELM_BATCH
TEST(PotentialCommands, QuelmBatchConvertsAndRemaps) {
    ScratchDir dir;
    const std::string cuni = std::string(QUELM_TEST_DATA) + "/tools/fixtures/potentials/CuNi.eam.alloy";
    BatchOutcome ok = run_batch(dir, "convert-potential " + cuni + " -o " + dir.path("cuni.quelm"));
    ASSERT_EQ(ok.status, 0) << ok.err;
    EXPECT_NE(ok.out.find("Transfer complete"), std::string::npos) << ok.out;
    BatchOutcome mapped = run_batch(dir, "remap-potential " + dir.path("cuni.quelm") + " -o " + dir.path("m.quelm") +
                                             " --map 2,1");
    ASSERT_EQ(mapped.status, 0) << mapped.err;
    QT_quelm pot;
    std::string message;
    ASSERT_TRUE(QT_read_quelm(dir.path("m.quelm"), pot, message)) << message;
    EXPECT_EQ(pot.n, 2);
    BatchOutcome beyond = run_batch(dir, "remap-potential " + dir.path("cuni.quelm") + " -o " + dir.path("x.quelm") +
                                             " --map 3");
    EXPECT_EQ(beyond.status, 1);
    EXPECT_FALSE(QB_file_exists(dir.path("x.quelm")));
    EXPECT_EQ(run_batch(dir, "convert-potential " + cuni).status, 2);
}
#endif
