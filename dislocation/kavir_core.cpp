#include "dislocation/kavir_core.h"

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "qb/qb_formats.h"
#include "qb/qb_text.h"
#include "qb/qb_tools.h"

// ================================================================ tables

const std::vector<std::vector<const char*>> KAVIR_GKEY_DEFAULT = {
    {"read_datafile_def", "read_datafile_ref", "read_line_def", "read_line_ref", "read_prop_def", "read_prop_ref",
     "write_datafile", "decimal_digit", "write_datatype", "boundary", "showpbc", "warpin", "eliminate_cell",
     "porjection", "proj_norm", "proj_dis", "proj_format", "test_mode", "proj_unsave"},
    {"x_lneigh", "neighbor_cutoff", "bin", "neighbor_list", "neighset", "burgers"},
};

const std::vector<std::vector<const char*>> KAVIR_SKEY_DEFAULT = {
    {"export_atoms", "dda_normal", "dda_projection", "dda_burgers", "EDGE", "SCREW", "MIXED", "center", "edge_bond"},
    {"write_datafile_ref", "eliminate_overall"},
    {"mapset", "mapnum", "deformtensor", "deformsvd", "nye_tensors"},
    {"lattice_orient", "lattice_type", "lattice_const", "spatial_division", "deform", "correlation_list",
     "nye_tensors", "stat", "neighlenth", "unpure", "program_infor", "checkPrefQreal", "inboxid", "coor", "loc",
     "relative", "absolute", "filepath", "sfilename", "filename", "filetype", "mapset", "mapnum", "deformtensor",
     "deformsvd"},
    {"normal_vector", "layer_one", "layer_two", "eliminate_overall"},
    {"Deform", "Strain", "Stretch", "Rotation", "Volume"},
    {"avedis", "max_sva"},
};

const char* const FILETYPE_str[4] = {"lmp", "imd", "lmpdata", "cfg"};
const char* const PROJ_FORMAT_str[2] = {"none", "default"};
const char* const linevec[6] = {"x", "y", "z", "X", "Y", "Z"};
const char* const facevec[6] = {"yz", "xz", "xy", "YZ", "XZ", "XY"};
const char* const KAVIR_ANALYSES = "nye dda dva ida nta sta sva";

namespace {

// Arguments of the shared keywords.
const std::vector<KAVIR_keyword>& base_keywords() {
    static const std::vector<KAVIR_keyword> k = {
        {"read_datafile_def", {"w"}},
        {"read_datafile_ref", {"w"}},
        {"read_line_def", {"i"}},
        {"read_line_ref", {"i"}},
        {"read_prop_def", {"i"}},
        {"read_prop_ref", {"i"}},
        {"write_datafile", {"w"}},
        {"decimal_digit", {"i"}},
        {"write_datatype", {":lmp:imd:lmpdata:cfg"}},
        {"boundary", {"p", "p", "p"}},
        {"showpbc", {}},
        {"warpin", {"b"}},
        {"eliminate_cell", {"b"}},
        {"porjection", {"i", "i"}},
        {"proj_norm", {"d", "d", "d"}},
        {"proj_dis", {"d", "d"}},
        {"proj_format", {":none:default"}},
        {"test_mode", {}},
        {"proj_unsave", {"b"}},
        {"x_lneigh", {"d"}},
        {"neighbor_cutoff", {"i", "d"}},
        {"bin", {}},
        {"neighbor_list", {}},
        {"neighset", {":def:cur:ref"}},
        {"burgers", {"d", "d", "d"}},
    };
    return k;
}

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

bool whole_int(const std::string& w, long long& v) {
    const char* b = w.data();
    const char* e = b + w.size();
    if (b < e && *b == '+') b++;
    const auto r = std::from_chars(b, e, v);
    return r.ec == std::errc() && r.ptr == e && b < e;
}

bool whole_double(const std::string& w, double& v) {
    const char* b = w.data();
    const char* e = b + w.size();
    if (b < e && *b == '+') b++;
    const auto r = std::from_chars(b, e, v);
    return r.ec == std::errc() && r.ptr == e && b < e && std::isfinite(v);
}

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// Splits text into words with line numbers; a word beginning with '#'
// ends its line.
std::vector<KAVIR_word> words_of(const std::string& text) {
    std::vector<KAVIR_word> out;
    int line = 1;
    size_t i = 0;
    const size_t n = text.size();
    while (i < n) {
        const char c = text[i];
        if (c == '\n') {
            line++;
            i++;
            continue;
        }
        if (blank(c)) {
            i++;
            continue;
        }
        if (c == '#') {
            while (i < n && text[i] != '\n') i++;
            continue;
        }
        const size_t start = i;
        while (i < n && !blank(text[i])) i++;
        out.push_back({text.substr(start, i - start), line});
    }
    return out;
}

}  // namespace

std::string KAVIR_analysis_word(const std::string& text, int& line) {
    line = 1;
    size_t i = 0;
    while (i < text.size() && blank(text[i])) {
        if (text[i] == '\n') line++;
        i++;
    }
    if (i >= text.size()) return "";
    // "#nye": the word after the first character, on the same line.
    if (text[i] == '#') {
        i++;
        while (i < text.size() && blank(text[i]) && text[i] != '\n') i++;
        if (i >= text.size() || text[i] == '\n') return "";
    }
    size_t e = i;
    while (e < text.size() && !blank(text[e])) e++;
    return text.substr(i, e - i);
}

// ================================================================ CMEM

void CMEM::Free::operator()(void* p) const { std::free(p); }

void* CMEM::smalloc(size_t size, const char* name) {
    if (size == 0) return nullptr;
    void* p = std::calloc(1, size);
    if (!p) {
        throw KavirError(KAVIR_BAD_DATA,
                         QB_format("Failed to allocate %zu bytes for array %s", size, name ? name : ""));
    }
    blocks_.emplace(p, std::unique_ptr<void, Free>(p));
    return p;
}

void* CMEM::srealloc(void* p, size_t size, const char* name) {
    if (size == 0) {
        sfree(p);
        return nullptr;
    }
    if (!p) return smalloc(size, name);
    auto it = blocks_.find(p);
    if (it == blocks_.end()) fail(name);
    void* q = std::realloc(p, size);
    if (!q) {
        throw KavirError(KAVIR_BAD_DATA,
                         QB_format("Failed to reallocate %zu bytes for array %s", size, name ? name : ""));
    }
    (void)it->second.release();
    blocks_.erase(it);
    blocks_.emplace(q, std::unique_ptr<void, Free>(q));
    return q;
}

void CMEM::sfree(void* p) {
    if (!p) return;
    auto it = blocks_.find(p);
    if (it == blocks_.end()) {
        std::printf("please do not use malloc function, these memory cannot be clear\n");
        return;
    }
    blocks_.erase(it);
}

int CMEM::setptrnull(void* p) {
    auto it = blocks_.find(p);
    if (it == blocks_.end()) return 0;
    (void)it->second.release();
    blocks_.erase(it);
    return 1;
}

void CMEM::destroyall() { blocks_.clear(); }

void CMEM::fail(const char* name) {
    throw KavirError(KAVIR_BAD_DATA,
                     QB_format("Cannot create/grow a vector/array of pointers for %s", name ? name : ""));
}

// ================================================================ context

KAVIR_settings::KAVIR_settings() {
    for (const auto& g : KAVIR_GKEY_DEFAULT) GKEY.emplace_back(g.begin(), g.end());
    for (const auto& g : KAVIR_SKEY_DEFAULT) SKEY.emplace_back(g.begin(), g.end());
}

CKAVIR::CKAVIR(FILE* out_, FILE* err_, std::string dir_)
    : mem(&memory_), out(out_), err(err_), dir(dir_.empty() ? std::string(".") : std::move(dir_)) {}

std::string CKAVIR::path(const std::string& name) const {
    if (!name.empty() && name[0] == '/') return name;
    return dir + "/" + name;
}

void CKAVIR::say(const char* fmt, ...) {
    if (!out) return;
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(out, fmt, ap);
    va_end(ap);
}

void CMDSETTING(CKAVIR* k) {
    std::string text;
    if (!QB_read_text_file(k->path("CMDSETTING"), text)) return;
    const std::vector<KAVIR_word> w = words_of(text);
    if (w.empty() || w[0].text != "CMDSETTING") return;
    KAVIR_settings& s = k->set;
    for (size_t i = 1; i < w.size(); i++) {
        const std::string& word = w[i].text;
        const bool has_next = i + 1 < w.size();
        bool renamed = false;
        for (auto* table : {&s.GKEY, &s.SKEY})
            for (auto& group : *table)
                for (std::string& slot : group)
                    if (slot == word && has_next) {
                        slot = w[i + 1].text;
                        renamed = true;
                    }
        if (!has_next) break;
        const std::string& v = w[i + 1].text;
        long long iv = 0;
        double dv = 0;
        bool typed = true;
        if (word == "DEFALUT_INFO_NUM" && whole_int(v, iv)) s.DEFALUT_INFO_NUM = static_cast<int>(iv);
        else if (word == "DECIMAL_DIGIT" && whole_int(v, iv)) s.DECIMAL_DIGIT = static_cast<int>(std::clamp(iv, 0LL, 17LL));
        else if (word == "DISFILE") s.DISFILE = v;
        else if (word == "REFFILE") s.REFFILE = v;
        else if (word == "OUTFILE") s.OUTFILE = v;
        else if (word == "INPAR") s.INFILE = v;
        else if (word == "NYE_TURN_HCP" && whole_int(v, iv)) s.NYE_TURN_HCP = static_cast<int>(iv);
        else if (word == "NYE_HCP_COPLANE" && whole_double(v, dv)) s.NYE_HCP_COPLANE = dv;
        else if (word == "NYE_PRINTFSTEP" && whole_int(v, iv)) s.NYE_PRINTFSTEP = static_cast<int>(std::max(1LL, iv));
        else if (word == "NYE_S1_CUTOFF" && whole_double(v, dv)) s.NYE_S1_CUTOFF = dv;
        else typed = false;
        if (renamed || typed) i++;
    }
}

// ================================================================ command file

CCMDBASE::CCMDBASE(CKAVIR* k)
    : kavir(k),
      mem(k->mem),
      datafile_def(k->set.DISFILE),
      datafile_ref(k->set.REFFILE),
      prop_def(k->set.DEFALUT_INFO_NUM),
      prop_ref(k->set.DEFALUT_INFO_NUM),
      write_datafile(k->set.OUTFILE),
      decimal_digit(k->set.DECIMAL_DIGIT) {}

std::vector<KAVIR_entry> CCMDBASE::readcut(const std::string& path, const std::vector<KAVIR_keyword>& own,
                                           int own_group) {
    inpar = path;
    kavir->say("input file is %s\n", path.c_str());
    std::string text, reason;
    if (!QB_read_text_file(kavir->path(path), text, &reason))
        throw KavirError(KAVIR_BAD_DATA, "infile error: can not open " + path + (reason.empty() ? "" : " (" + reason + ")"));
    const std::string where = path;
    auto fail = [&](int line, const std::string& why) -> KavirError {
        return KavirError(KAVIR_BAD_INPAR, where + ":" + std::to_string(line) + ": " + why);
    };
    int analysis_line = 0;
    const std::string analysis = KAVIR_analysis_word(text, analysis_line);
    if (analysis.empty()) throw KavirError(KAVIR_BAD_INPAR, where + ": the file names no analysis");
    // The words after the analysis line ("#nye" is a comment to the word
    // splitter; a bare "nye" is the line's first word).
    std::vector<KAVIR_word> w = words_of(text);
    size_t i = 0;
    if (i < w.size() && w[i].line == analysis_line && w[i].text == analysis) i++;
    if (i < w.size() && w[i].line == analysis_line)
        throw fail(w[i].line, "'" + w[i].text + "' after the analysis word " + analysis);

    // Names of the keywords in this run, with their argument lists.
    struct Known {
        const KAVIR_keyword* kw;
        bool own;
    };
    std::unordered_map<std::string, Known> names;
    const KAVIR_settings& s = kavir->set;
    const auto& base = base_keywords();
    size_t b = 0;
    for (int g = 0; g < 2; g++)
        for (size_t i = 0; i < s.GKEY[g].size(); i++, b++) names[s.GKEY[g][i]] = {&base[b], false};
    if (own_group >= 0) {
        const auto& group = s.SKEY[static_cast<size_t>(own_group)];
        const auto& defaults = KAVIR_SKEY_DEFAULT[static_cast<size_t>(own_group)];
        for (size_t i = 0; i < group.size(); i++)
            for (const KAVIR_keyword& k : own)
                if (std::strcmp(k.name, defaults[i]) == 0) names[group[i]] = {&k, true};
    }

    std::vector<KAVIR_entry> mine;
    while (i < w.size()) {
        const KAVIR_word& key = w[i++];
        auto it = names.find(key.text);
        if (it == names.end()) throw fail(key.line, "unknown keyword '" + key.text + "'");
        const KAVIR_keyword& kw = *it->second.kw;
        const bool matrix = std::strcmp(kw.name, "lattice_orient") == 0;
        KAVIR_entry e{kw.name, {}, key.line};
        int last_line = key.line;
        for (const std::string& kind : kw.args) {
            // Arguments stay on the keyword's line; a lattice matrix may
            // continue on the following lines.
            const bool continues = matrix && i < w.size() && w[i].line > last_line && e.args.size() >= 1 &&
                                   w[i].line <= last_line + 1;
            if (i >= w.size() || (w[i].line != last_line && !continues))
                throw fail(key.line, key.text + " needs " + std::to_string(kw.args.size()) + " argument" +
                                         (kw.args.size() == 1 ? "" : "s"));
            const KAVIR_word& a = w[i++];
            last_line = a.line;
            long long iv;
            double dv;
            std::string v = a.text;
            if (kind == "i" && !whole_int(v, iv))
                throw fail(a.line, key.text + ": '" + v + "' is not a whole number");
            if (kind == "d" && !whole_double(v, dv)) throw fail(a.line, key.text + ": '" + v + "' is not a number");
            if (kind == "b") {
                v = lower(v);
                if (v != "on" && v != "off") throw fail(a.line, key.text + " takes on or off, not '" + a.text + "'");
            }
            if (kind == "p") {
                v = lower(v);
                if (v != "p" && v != "s") throw fail(a.line, key.text + " takes p or s, not '" + a.text + "'");
            }
            if (!kind.empty() && kind[0] == ':') {
                v = lower(v);
                if ((kind + ":").find(":" + v + ":") == std::string::npos) {
                    std::string choices = kind.substr(1);
                    for (char& c : choices)
                        if (c == ':') c = ' ';
                    throw fail(a.line, key.text + " takes one of " + choices + ", not '" + a.text + "'");
                }
            }
            e.args.push_back(v);
        }
        if (i < w.size() && w[i].line == last_line)
            throw fail(w[i].line, "'" + w[i].text + "' after the arguments of " + key.text);
        if (it->second.own) mine.push_back(std::move(e));
        else apply_base(e);
    }
    return mine;
}

void CCMDBASE::apply_base(const KAVIR_entry& e) {
    const std::string& k = e.key;
    const auto& a = e.args;
    auto fail = [&](const std::string& why) {
        return KavirError(KAVIR_BAD_INPAR, inpar + ":" + std::to_string(e.line) + ": " + why);
    };
    auto index_of = [](const char* const* list, int n, const std::string& v) {
        for (int i = 0; i < n; i++)
            if (v == list[i]) return i;
        return 0;
    };
    if (k == "read_datafile_def") datafile_def = a[0];
    else if (k == "read_datafile_ref") datafile_ref = a[0];
    else if (k == "read_line_def") line_def = std::atoi(a[0].c_str());
    else if (k == "read_line_ref") line_ref = std::atoi(a[0].c_str());
    else if (k == "read_prop_def") prop_def = std::atoi(a[0].c_str());
    else if (k == "read_prop_ref") prop_ref = std::atoi(a[0].c_str());
    else if (k == "write_datafile") write_datafile = a[0];
    else if (k == "decimal_digit") decimal_digit = std::clamp(std::atoi(a[0].c_str()), 0, 17);
    else if (k == "write_datatype") write_datatype = index_of(FILETYPE_str, 4, a[0]);
    else if (k == "boundary") for (int d = 0; d < 3; d++) boundary[d] = a[static_cast<size_t>(d)] == "p";
    else if (k == "showpbc") showpbc = true;
    else if (k == "warpin") warpin = a[0] == "on";
    else if (k == "eliminate_cell") eliminate_cell = a[0] == "on";
    else if (k == "porjection") {
        const int axis = std::atoi(a[0].c_str()), face = std::atoi(a[1].c_str());
        if (axis < 0 || axis > 2 || face < 0 || face > 2) throw fail("porjection takes two indices from 0 to 2");
        proj_axis = axis;
        proj_face = face;
        has_porjection = true;
    } else if (k == "proj_norm") {
        for (int d = 0; d < 3; d++) proj_norm[d] = std::atof(a[static_cast<size_t>(d)].c_str());
        has_proj_norm = true;
    } else if (k == "proj_dis") {
        proj_dis[0] = std::atof(a[0].c_str());
        proj_dis[1] = std::atof(a[1].c_str());
        has_proj_dis = proj_dis[1] > proj_dis[0];
    } else if (k == "proj_format") proj_format = index_of(PROJ_FORMAT_str, 2, a[0]);
    else if (k == "test_mode") test_mode = true;
    else if (k == "proj_unsave") proj_unsave = a[0] == "on";
    else if (k == "x_lneigh") x_lneigh = std::atof(a[0].c_str());
    else if (k == "neighbor_cutoff") {
        const double r = std::atof(a[1].c_str());
        if (!(r > 0)) throw fail("neighbor_cutoff needs a positive length");
        has_cutoff = true;
        cut_type.push_back(std::atoi(a[0].c_str()));
        cut_len.push_back(r);
    } else if (k == "bin") bin = true;
    else if (k == "neighbor_list") neighbor_list = true;
    else if (k == "neighset") neighset = a[0] == "ref" ? 1 : 0;
    else if (k == "burgers") {
        for (int d = 0; d < 3; d++) burgers[d] = std::atof(a[static_cast<size_t>(d)].c_str());
        has_burgers = true;
    }
}

void CCMDBASE::real(std::string& out, double v, char sep) const {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, decimal_digit);
    out.append(buf, r.ptr);
    out.push_back(sep);
}

void CCMDBASE::head_out(FILE* f, const char* columns, int n, const double lo[3], const double hi[3]) const {
    if (write_datatype == 1) {
        const double len[3] = {hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]};
        std::string c = columns;
        for (char& ch : c)
            if (ch == '\t') ch = ' ';
        out_imd_head(f, c.c_str(), n, len);
    } else {
        out_lmp_head(f, columns, n, 0, lo, hi);
    }
}

std::string CCMDBASE::proj_name(int k) const {
    const bool none = no_output();
    if (k <= 0) {
        const std::string tail = std::string(linevec[proj_axis]) + "_" + facevec[proj_face];
        return none ? tail : write_datafile + "_" + tail;
    }
    return none ? std::string(linevec[k]) : write_datafile + "_" + linevec[k];
}

// ================================================================ atoms

void atom::init(int n, int ninfo_) {
    natoms = n;
    ninfo = ninfo_;
    id.assign(static_cast<size_t>(n), 0);
    type.assign(static_cast<size_t>(n), 0);
    pos.assign(3 * static_cast<size_t>(n), 0.0);
    info.assign(static_cast<size_t>(n) * static_cast<size_t>(std::max(0, ninfo_)), 0.0);
}

namespace {

// The engine's own IMD files: "#" header lines (#C columns, #X/#Y/#Z box
// lengths), then id type x y z and further numbers per line.
bool read_imd(const std::string& text, QB_tools* s, std::string& reason) {
    QB_init(s);
    size_t p = 0;
    std::vector<std::string> columns;
    double len[3] = {0, 0, 0};
    while (p < text.size() && text[p] == '#') {
        const size_t e = std::min(text.find('\n', p), text.size());
        const std::string line = text.substr(p, e - p);
        p = e + 1;
        if (line.rfind("#C", 0) == 0) {
            for (const KAVIR_word& w : words_of(" " + line.substr(2))) columns.push_back(w.text);
        } else if (line.size() > 2 && (line[1] == 'X' || line[1] == 'Y' || line[1] == 'Z')) {
            const std::vector<KAVIR_word> w = words_of(line.substr(2));
            const int d = line[1] - 'X';
            double v = 0;
            if (w.size() == 3 && whole_double(w[static_cast<size_t>(d)].text, v)) len[d] = v;
        } else if (line.rfind("#E", 0) == 0) {
            break;
        }
    }
    if (columns.size() < 5) {
        reason = "the IMD header has no #C line with id type x y z";
        return false;
    }
    for (int d = 0; d < 3; d++) s->size[d] = len[d];
    s->cell[0][0] = len[0];
    s->cell[1][1] = len[1];
    s->cell[2][2] = len[2];
    const size_t extra = columns.size() - 5;
    for (size_t c = 0; c < extra; c++) {
        s->channel_names.push_back(columns[5 + c]);
        s->channel_data.emplace_back();
    }
    s->channel_count = static_cast<int>(extra);
    size_t line_no = 0;
    while (p < text.size()) {
        const size_t e = std::min(text.find('\n', p), text.size());
        const std::vector<KAVIR_word> w = words_of(text.substr(p, e - p));
        p = e + 1;
        line_no++;
        if (w.empty()) continue;
        if (w.size() < columns.size()) {
            reason = "atom line " + std::to_string(line_no) + " is short";
            return false;
        }
        long long id = 0, type = 0;
        double x[3];
        if (!whole_int(w[0].text, id) || !whole_int(w[1].text, type) || !whole_double(w[2].text, x[0]) ||
            !whole_double(w[3].text, x[1]) || !whole_double(w[4].text, x[2])) {
            reason = "atom line " + std::to_string(line_no) + " is not id type x y z";
            return false;
        }
        QB_create_atom(s, static_cast<int>(std::max(1LL, type)), x[0], x[1], x[2]);
        s->atoms.back().id = static_cast<int32_t>(id);
        s->atoms.back().type = static_cast<int32_t>(type);
        for (size_t c = 0; c < extra; c++) {
            double v = 0;
            const char* b = w[5 + c].text.data();
            std::from_chars(b, b + w[5 + c].text.size(), v);
            s->channel_data[c].push_back(v);
        }
    }
    return true;
}

}  // namespace

void CREADATOM::read(const std::string& path, atom* a, int* ninfo) {
    const std::string full = kavir->path(path);
    std::string head;
    if (QB_file_exists(full)) {  // a regular file: a pipe is never opened here
        FILE* f = std::fopen(full.c_str(), "rb");
        if (f) {
            char buf[3] = {0, 0, 0};
            if (std::fread(buf, 1, 2, f) == 2) head.assign(buf, 2);
            std::fclose(f);
        }
    }
    QB_tools model;
    QB_init(&model);
    std::string reason;
    if (head == "#F") {
        std::string text;
        if (!QB_read_text_file(full, text, &reason) || !read_imd(text, &model, reason))
            throw KavirError(KAVIR_BAD_DATA, "file " + path + " can not be read: " + reason);
    } else {
        const int code = QB_read_file(&model, full.c_str(), &reason);
        if (code == QB_READ_UNREADABLE)
            throw KavirError(KAVIR_BAD_DATA, "file " + path + " can not open" + (reason.empty() ? "" : ": " + reason));
        if (code % 2 == 0)
            throw KavirError(KAVIR_BAD_DATA,
                             "can not find useful data in " + path + (reason.empty() ? "" : ": " + reason));
    }
    take(&model, a, ninfo, path);
}

void CREADATOM::take(const QB_tools* s, atom* a, int* ninfo, const std::string& name) {
    if (s->triclinic)
        throw KavirError(KAVIR_BAD_DATA, "file " + name + " has a tilted (triclinic) box; the engine reads orthogonal boxes only");
    int n = 0;
    for (int i = 0; i < s->natoms; i++)
        if (s->atoms[static_cast<size_t>(i)].id >= 0) n++;
    if (n == 0) throw KavirError(KAVIR_BAD_DATA, "file " + name + " holds no atoms");
    // Extra columns: the file's own columns, then those the program added.
    std::vector<const std::vector<double>*> cols;
    std::vector<std::vector<double>> ints;
    for (const auto& c : s->channel_data) cols.push_back(&c);
    for (const auto& c : s->exint_data) ints.emplace_back(c.begin(), c.end());
    for (const auto& c : ints) cols.push_back(&c);
    for (const auto& c : s->exdouble_data) cols.push_back(&c);
    const int present = static_cast<int>(cols.size());
    const int wanted = ninfo ? *ninfo : -1;
    const int take_cols = wanted == -1 ? present : wanted < -1 ? 0 : std::min(wanted, present);
    a->init(n, take_cols);
    int k = 0;
    for (int i = 0; i < s->natoms; i++) {
        const atomdata& d = s->atoms[static_cast<size_t>(i)];
        if (d.id < 0) continue;
        a->id[static_cast<size_t>(k)] = d.id;
        a->type[static_cast<size_t>(k)] = d.type;
        double* p = a->p(k);
        p[0] = d.x;
        p[1] = d.y;
        p[2] = d.z;
        for (int c = 0; c < take_cols; c++)
            a->info[static_cast<size_t>(k) * static_cast<size_t>(take_cols) + static_cast<size_t>(c)] =
                (*cols[static_cast<size_t>(c)])[static_cast<size_t>(i)];
        k++;
    }
    a->boxtype = 2;
    for (int d = 0; d < 3; d++) {
        a->box[0][d] = s->lo[d];
        a->box[1][d] = s->lo[d] + s->size[d];
        a->box[2][d] = s->size[d];
    }
    if (ninfo) *ninfo = take_cols;
    if (take_cols > 0) kavir->say("file %s input %d stoms with %d more info\n", name.c_str(), n, take_cols);
    else kavir->say("file %s input %d stoms without more info\n", name.c_str(), n);
}

// ================================================================ preprocessing

void pre_warpin(const double box[3][3], int n, double* pos, const bool* periodic) {
    for (int d = 0; d < 3; d++) {
        if (!periodic[d] || !(box[2][d] > 0)) continue;
        const double lo = box[0][d], L = box[2][d];
        for (int i = 0; i < n; i++) {
            double& x = pos[3 * static_cast<size_t>(i) + static_cast<size_t>(d)];
            if (!std::isfinite(x) || (x >= lo && x < lo + L)) continue;
            x -= std::floor((x - lo) / L) * L;
            if (x >= lo + L) x = lo;  // rounding of a point just below lo
        }
    }
}

void KAVIR_extent(int n, const double* pos, int axis, double& lo, double& hi) {
    lo = HUGE_VAL;
    hi = -HUGE_VAL;
    for (int i = 0; i < n; i++) {
        const double x = pos[3 * static_cast<size_t>(i) + static_cast<size_t>(axis)];
        lo = std::min(lo, x);
        hi = std::max(hi, x);
    }
}

void pre_box_size(double box[3][3], int n, const double* pos) {
    for (int d = 0; d < 3; d++) {
        double lo, hi;
        KAVIR_extent(n, pos, d, lo, hi);
        box[0][d] = lo - 0.1;
        box[1][d] = hi + 0.1;
        box[2][d] = box[1][d] - box[0][d];
    }
}

void pre_mindisplace(const bool* periodic, const double* len, int n, double* ref, const double* def) {
    for (int d = 0; d < 3; d++) {
        if (!periodic[d] || !(len[d] > 0)) continue;
        const double L = len[d];
        for (int i = 0; i < n; i++) {
            double& r = ref[3 * static_cast<size_t>(i) + static_cast<size_t>(d)];
            const double x = def[3 * static_cast<size_t>(i) + static_cast<size_t>(d)];
            if (!std::isfinite(r) || !std::isfinite(x)) continue;
            r -= std::round((r - x) / L) * L;
        }
    }
}

void pre_eliminate_cell(const double defbox[3][3], const double refbox[3][3], int n, double* ref) {
    for (int d = 0; d < 3; d++) {
        if (!(refbox[2][d] > 0) || !(defbox[2][d] > 0)) continue;
        const double f = defbox[2][d] / refbox[2][d];
        for (int i = 0; i < n; i++) {
            double& x = ref[3 * static_cast<size_t>(i) + static_cast<size_t>(d)];
            x = defbox[0][d] + (x - refbox[0][d]) * f;
        }
    }
}

// ================================================================ projection

int CPROJECT::init(FILE* log) {
    const double s = normal[0] * normal[0] + normal[1] * normal[1] + normal[2] * normal[2];
    if (s < eps) {
        plane[0] = 0;
        plane[1] = 1;
        return result = axis;
    }
    for (int i = 0; i < 3; i++)
        if (std::fabs(normal[i] * normal[i] - s) < eps * std::max(1.0, s)) {
            plane[0] = i == 0 ? 1 : 0;
            plane[1] = i == 2 ? 1 : 2;
            return result = i;
        }
    plane[0] = axis == 0 ? 1 : 0;
    plane[1] = axis == 2 ? 1 : 2;
    const double nn = std::sqrt(s);
    double n[3] = {normal[0] / nn, normal[1] / nn, normal[2] / nn};
    if (base == axis) {
        if (log) std::fprintf(log, "\nbase = proj %d error!!!!\n", base);
        base++;
    }
    if (base > 2) {
        if (log) std::fprintf(log, "\nbase %d error!!!!\n", base);
        base %= 3;
    }
    double u[3];
    u[base] = 0;
    u[(base + 1) % 3] = -n[(base + 2) % 3];
    u[(base + 2) % 3] = n[(base + 1) % 3];
    double lu = std::sqrt(u[0] * u[0] + u[1] * u[1] + u[2] * u[2]);
    if (lu < 1e-12) {  // the normal lies along the base axis: any in-plane u will do
        u[0] = 0;
        u[1] = 0;
        u[2] = 0;
        u[(base + 1) % 3] = 1;
        lu = 1;
    }
    for (double& c : u) c /= lu;
    double w[3] = {n[1] * u[2] - n[2] * u[1], n[2] * u[0] - n[0] * u[2], n[0] * u[1] - n[1] * u[0]};
    const double lw = std::sqrt(w[0] * w[0] + w[1] * w[1] + w[2] * w[2]);
    for (double& c : w) c /= lw;
    // Rows: the normal in row `axis`, u and w in the other two rows in order.
    const int r1 = axis == 0 ? 1 : 0;
    const int r2 = 3 - axis - r1;
    for (int c = 0; c < 3; c++) {
        trot[axis][c] = n[c];
        trot[r1][c] = u[c];
        trot[r2][c] = w[c];
    }
    for (int r = 0; r < 3; r++)
        for (int c = 0; c < 3; c++) rot[r][c] = trot[c][r];
    return result = -1;
}

void CPROJECT::calc(double* v) const {
    if (result < 0) {
        double t[3];
        for (int r = 0; r < 3; r++) t[r] = trot[r][0] * v[0] + trot[r][1] * v[1] + trot[r][2] * v[2];
        for (int r = 0; r < 3; r++) v[r] = t[r];
        if (flatten) v[axis] = 0;
    } else {
        v[result] = 0;
    }
}

int proj_init(CCMDBASE* cmd, CPROJECT* p, int n, const double* pos) {
    for (int d = 0; d < 3; d++) p->normal[d] = cmd->proj_norm[d];
    p->axis = cmd->proj_axis;
    p->base = cmd->proj_face;
    p->flatten = cmd->proj_unsave;
    p->eps = cmd->kavir->set.PROJNORMEPS;
    const int r = p->init(cmd->kavir->out);
    cmd->proj_idx.clear();
    const double* nv = cmd->proj_norm;
    const double nn = std::sqrt(nv[0] * nv[0] + nv[1] * nv[1] + nv[2] * nv[2]);
    for (int i = 0; i < n; i++) {
        if (cmd->has_proj_dis && nn > 0) {
            const double* x = pos + 3 * static_cast<size_t>(i);
            const double t = (x[0] * nv[0] + x[1] * nv[1] + x[2] * nv[2]) / nn;
            if (t < cmd->proj_dis[0] || t > cmd->proj_dis[1]) continue;
        }
        cmd->proj_idx.push_back(i);
    }
    return r;
}

// ================================================================ output

KAVIR_out::KAVIR_out(const std::string& path) : path_(path) {
    if (!file_.open(path)) throw KavirError(KAVIR_BAD_DATA, "file with path\n" + path + "\nopen error");
}

void KAVIR_out::put(const std::string& s) {
    if (!s.empty()) std::fwrite(s.data(), 1, s.size(), file_.get());
}

void KAVIR_out::text(const std::string& s) { put(s); }

void KAVIR_out::commit() {
    if (!file_.commit()) throw KavirError(KAVIR_BAD_DATA, "file with path\n" + path_ + "\nwrite error");
}

void KAVIR_parallel(size_t n, size_t block, const std::function<void(size_t, size_t)>& body) {
    if (n == 0) return;
    block = std::max<size_t>(1, block);
    const size_t blocks = (n + block - 1) / block;
    const size_t threads = std::min<size_t>({blocks, std::max(1u, std::thread::hardware_concurrency()), 8});
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t b; (b = next.fetch_add(1)) < blocks;) body(b * block, std::min(n, (b + 1) * block));
    };
    std::vector<std::thread> helpers;
    for (size_t t = 1; t < threads; t++) helpers.emplace_back(work);
    work();
    for (std::thread& t : helpers) t.join();
}

void proj_default(CCMDBASE* cmd, const int* plane, const std::vector<const double*>& pos,
                  const std::vector<const double*>& vec, const double lo[3], const double hi[3],
                  const std::string& name) {
    if (cmd->proj_format != 1) return;
    const int i = plane[0], j = plane[1];
    const size_t n = pos.size();
    const bool test = cmd->test_mode;
    const char* names[3] = {test ? "d0001.lmp" : "d0001.txt", test ? "e0001.lmp" : "e0001.txt",
                            test ? "a0001.lmp" : "a0001.txt"};
    const std::string heads[3] = {"x\ty\tz\t" + name + ".X\t" + name + ".Y\t" + name + ".Z",
                                  "x\ty\tc1\tc2\t" + name + ".X\t" + name + ".Y\tc3", "x\ty\ttheta\tmag\tcolor"};
    for (int f = 0; f < 3; f++) {
        KAVIR_out out(cmd->kavir->path(names[f]));
        if (test) cmd->head_out(out.file(), heads[f].c_str(), static_cast<int>(n), lo, hi);
        out.rows(n, [&](size_t k, std::string& s) {
            const double* p = pos[k];
            const double* v = vec[k];
            if (f == 0) {
                s += QB_format("%16.9lf  %16.9lf  %16.9lf %16.9lf  %16.9lf  %16.9lf\n", p[0], p[1], p[2], v[0], v[1], v[2]);
            } else if (f == 1) {
                s += QB_format("%16.9lf  %16.9lf  %16.9lf %16.9lf  %16.9lf  %16.9lf  %16.9lf\n", p[i], p[j], 0.0, 0.0,
                               v[i], v[j], 0.0);
            } else {
                double angle = std::atan2(v[j], v[i]) * 180.0 / std::acos(-1.0);
                if (angle < 0) angle += 360.0;
                if (angle >= 360.0) angle -= 360.0;
                const double m = std::sqrt(v[i] * v[i] + v[j] * v[j]);
                s += QB_format("%16.9lf  %16.9lf  %16.9lf %16.9lf %16.9lf\n", p[i], p[j], angle, m, v[i] < 0 ? -m : m);
            }
        });
        out.commit();
    }
    cmd->kavir->say("Proj(default) Success! \n");
}
