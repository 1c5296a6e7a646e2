// Extended XYZ: species become types in order of appearance (named after
// their species), R, I and L properties become file columns (vectors as
// name_0, name_1, ...), the Lattice the cell.
#include "qb/qb_extxyz.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "qb/qb_file.h"
#include "qb/qb_formats.h"
#include "qb/qb_progress.h"
#include "qb/qb_text.h"

namespace qb_read {

namespace {

constexpr long long kMostColumns = 4096;

struct Property {
    std::string name;
    char kind;  // S, R, I, L
    int count;
};

// The key=value pairs of the comment line; values may be quoted ("..." or
// '...', with backslash escapes) or braced ({...}). A bare key is a flag.
bool parse_comment(std::string_view line, std::vector<std::pair<std::string, std::string>>& out, std::string& why) {
    size_t i = 0;
    const size_t n = line.size();
    while (true) {
        while (i < n && is_space(line[i])) i++;
        if (i >= n) return true;
        std::string key;
        while (i < n && !is_space(line[i]) && line[i] != '=') key += line[i++];
        while (i < n && (line[i] == ' ' || line[i] == '\t')) i++;
        if (i >= n || line[i] != '=') {
            out.emplace_back(key, "T");
            continue;
        }
        i++;
        while (i < n && (line[i] == ' ' || line[i] == '\t')) i++;
        std::string value;
        if (i < n && (line[i] == '"' || line[i] == '\'' || line[i] == '{')) {
            const char close = line[i] == '{' ? '}' : line[i];
            i++;
            bool closed = false;
            while (i < n) {
                if (line[i] == '\\' && i + 1 < n && close != '}') {
                    value += line[i + 1];
                    i += 2;
                    continue;
                }
                if (line[i] == close) {
                    closed = true;
                    i++;
                    break;
                }
                value += line[i++];
            }
            if (!closed) {
                why = "the value of " + key + " has no closing " + std::string(1, close);
                return false;
            }
        } else {
            while (i < n && !is_space(line[i])) value += line[i++];
        }
        if (key.empty()) {
            why = "a value \"" + value + "\" has no key";
            return false;
        }
        out.emplace_back(key, value);
    }
}

bool same_key(const std::string& a, const char* b) {
    if (a.size() != std::strlen(b)) return false;
    for (size_t k = 0; k < a.size(); k++)
        if (std::tolower(static_cast<unsigned char>(a[k])) != std::tolower(static_cast<unsigned char>(b[k]))) return false;
    return true;
}

bool parse_properties(const std::string& text, std::vector<Property>& props, std::string& why) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        const size_t colon = text.find(':', start);
        parts.push_back(text.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    if (parts.size() % 3 != 0) {
        why = "Properties=" + text + " is not a list of name:type:count";
        return false;
    }
    long long total = 0;
    for (size_t k = 0; k < parts.size(); k += 3) {
        Property p;
        p.name = parts[k];
        long long count = 0;
        const std::string& kind = parts[k + 1];
        if (p.name.empty() || kind.size() != 1 || !std::strchr("SRIL", kind[0]) ||
            !token_int(parts[k + 2], count) || count < 1 || count > kMostColumns) {
            why = "Properties=" + text + ": \"" + parts[k] + ":" + parts[k + 1] + ":" + parts[k + 2] +
                  "\" is not name:S|R|I|L:count";
            return false;
        }
        p.kind = kind[0];
        p.count = static_cast<int>(count);
        total += count;
        if (total > kMostColumns) {
            why = "Properties=" + text + " has too many columns";
            return false;
        }
        props.push_back(p);
    }
    return true;
}

bool parse_logical(std::string_view w, double& v) {
    if (w == "T" || w == "True" || w == "true" || w == "1") {
        v = 1;
        return true;
    }
    if (w == "F" || w == "False" || w == "false" || w == "0") {
        v = 0;
        return true;
    }
    return false;
}

// The first line without its line end; the position after it.
std::string_view first_line(std::string_view text, size_t& next) {
    const size_t end = text.find('\n');
    next = end == std::string_view::npos ? text.size() : end + 1;
    std::string_view line = text.substr(0, end == std::string_view::npos ? text.size() : end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

bool count_line(std::string_view line, long long& count) {
    const std::vector<std::string_view> w = words_of(line);
    return w.size() == 1 && token_int(w[0], count) && count >= 0;
}

}  // namespace

bool looks_like_xyz(std::string_view text) {
    size_t next = 0;
    long long count;
    if (!count_line(first_line(text, next), count)) return false;
    text.remove_prefix(next);
    const std::string_view comment = first_line(text, next);
    if (comment.find("Lattice=") != std::string_view::npos || comment.find("Properties=") != std::string_view::npos)
        return true;
    if (count == 0) return false;
    text.remove_prefix(next);
    const std::vector<std::string_view> w = words_of(first_line(text, next));
    if (w.size() < 4 || is_plain_number(w[0])) return false;
    for (int k = 1; k <= 3; k++)
        if (!is_plain_number(w[static_cast<size_t>(k)])) return false;
    return true;
}

int read_extxyz_text(std::string_view text, ReadResult& r, size_t* used) {
    if (!looks_like_xyz(text)) return -1;
    size_t at = 0, next = 0;
    long long natoms = 0;
    count_line(first_line(text, next), natoms);
    at = next;
    const std::string_view comment = first_line(text.substr(at), next);
    at += next;

    std::vector<std::pair<std::string, std::string>> pairs;
    std::vector<Property> props;
    if (!parse_comment(comment, pairs, r.reason)) return -2;
    bool have_lattice = false, have_pbc = false;
    double lattice[9] = {0};
    int pbc[3] = {0, 0, 0};
    double origin[3] = {0, 0, 0};
    std::string properties = "species:S:1:pos:R:3";
    for (const auto& [key, value] : pairs) {
        if (same_key(key, "Lattice")) {
            const std::vector<std::string_view> w = words_of(value);
            bool ok = w.size() == 9;
            for (size_t k = 0; ok && k < 9; k++) ok = token_number(w[k], lattice[k]) && std::isfinite(lattice[k]);
            if (!ok) {
                r.reason = "Lattice=\"" + value + "\" is not nine numbers";
                return -2;
            }
            have_lattice = true;
        } else if (same_key(key, "Properties")) {
            properties = value;
        } else if (same_key(key, "pbc")) {
            const std::vector<std::string_view> w = words_of(value);
            bool ok = w.size() == 3;
            for (size_t k = 0; ok && k < 3; k++) {
                double v;
                ok = parse_logical(w[k], v);
                pbc[k] = v != 0;
            }
            if (!ok) {
                r.reason = "pbc=\"" + value + "\" is not three of T and F";
                return -2;
            }
            have_pbc = true;
        } else if (same_key(key, "Origin")) {
            const std::vector<std::string_view> w = words_of(value);
            bool ok = w.size() == 3;
            for (size_t k = 0; ok && k < 3; k++) ok = token_number(w[k], origin[k]) && std::isfinite(origin[k]);
            if (!ok) {
                r.reason = "Origin=\"" + value + "\" is not three numbers";
                return -2;
            }
        }
    }
    if (!parse_properties(properties, props, r.reason)) return -2;

    // Where each value of an atom line goes.
    enum Role { kSkip, kSpecies, kX, kY, kZ, kColumn, kType };
    struct Slot {
        int role;
        char kind;
        size_t column;
    };
    std::vector<Slot> slots;
    bool have_pos = false, have_species = false, have_types = false;
    for (const Property& p : props) {
        if (p.name == "pos" && p.kind == 'R' && p.count == 3 && !have_pos) {
            for (int d = 0; d < 3; d++) slots.push_back({kX + d, 'R', 0});
            have_pos = true;
        } else if ((p.name == "species" || p.name == "element") && p.kind == 'S' && p.count == 1 && !have_species) {
            slots.push_back({kSpecies, 'S', 0});
            have_species = true;
        } else if (p.name == "type" && p.kind == 'I' && p.count == 1 && !have_types) {
            slots.push_back({kType, 'I', 0});
            have_types = true;
        } else if (p.kind == 'S') {
            for (int k = 0; k < p.count; k++) slots.push_back({kSkip, 'S', 0});
        } else {
            for (int k = 0; k < p.count; k++) {
                slots.push_back({kColumn, p.kind, r.channel_names.size()});
                r.channel_names.push_back(p.count == 1 ? p.name : p.name + "_" + std::to_string(k));
            }
        }
    }
    if (!have_pos) {
        r.reason = "Properties=" + properties + " has no pos:R:3";
        return -2;
    }
    // Every value takes at least one character and a separator.
    if (static_cast<double>(natoms) * static_cast<double>(slots.size()) * 2 > static_cast<double>(text.size() - at) + 2) {
        size_t lines = 0;
        for (size_t k = at; k < text.size(); k++) lines += text[k] == '\n';
        if (at < text.size() && text.back() != '\n') lines++;
        r.reason = QB_format("the file ends after %zu of %lld atom lines", std::min<size_t>(lines, static_cast<size_t>(natoms)),
                             natoms);
        return -2;
    }

    ProgressScope progress(kReadingMessage);
    r.atoms.reserve(static_cast<size_t>(natoms));
    r.channel_data.assign(r.channel_names.size(), std::vector<double>());
    for (auto& c : r.channel_data) c.reserve(static_cast<size_t>(natoms));
    std::unordered_map<std::string, int> species_index;
    std::vector<std::string> species;
    std::vector<std::string_view> w;
    w.reserve(slots.size() + 1);
    std::vector<std::pair<int, int>> types;  // (type column, species index + 1) per atom
    for (long long i = 0; i < natoms; i++) {
        if (i % kProgressStep == 0) {  // a stop request fails the read as broken data does
            if (i > 0) QB_progress_update(100.0 * i / natoms);
            if (QB_progress_stop_requested()) {
                r.reason = QB_STOPPED_MESSAGE;
                return -2;
            }
        }
        if (at >= text.size()) {
            r.reason = QB_format("the file ends after %lld of %lld atom lines", i, natoms);
            return -2;
        }
        const std::string_view line = first_line(text.substr(at), next);
        at += next;
        w.clear();
        Scanner sc(line);
        std::string_view word;
        while (w.size() <= slots.size() && sc.read_word(word)) w.push_back(word);
        if (w.size() != slots.size()) {
            r.reason = QB_format("atom line %lld has %s%zu values, not the %zu of Properties", i + 1,
                                 w.size() > slots.size() ? "more than " : "", std::min(w.size(), slots.size()), slots.size());
            return -2;
        }
        atomdata a{static_cast<int32_t>(i + 1), 1, 0, 0, 0, 0};
        double p[3] = {0, 0, 0};
        int type_value = 0;
        for (size_t k = 0; k < slots.size(); k++) {
            const Slot& s = slots[k];
            if (s.role == kSkip) continue;
            if (s.role == kSpecies) {
                const auto found = species_index.emplace(std::string(w[k]), static_cast<int>(species.size()));
                if (found.second) {
                    if (species.size() >= static_cast<size_t>(QB_MAX_TYPES)) {
                        r.reason = "too many species";
                        return -2;
                    }
                    species.emplace_back(w[k]);
                }
                a.type = found.first->second + 1;
                continue;
            }
            double v = 0;
            long long n = 0;
            bool ok;
            if (s.kind == 'I') {
                ok = token_int(w[k], n);
                v = static_cast<double>(n);
            } else if (s.kind == 'L') {
                ok = parse_logical(w[k], v);
            } else {
                ok = token_number(w[k], v);
            }
            if (!ok) {
                r.reason = QB_format("atom line %lld: \"%s\" is not %s", i + 1, std::string(w[k]).c_str(),
                                     s.kind == 'I' ? "an integer" : s.kind == 'L' ? "T or F" : "a number");
                return -2;
            }
            if (s.role == kType) {
                if (n < 1 || n > QB_MAX_TYPES) {
                    r.reason = QB_format("atom line %lld: type %lld is not 1 ... %d", i + 1, n, QB_MAX_TYPES);
                    return -2;
                }
                type_value = static_cast<int>(n);
            } else if (s.role == kColumn)
                r.channel_data[s.column].push_back(v);
            else
                p[s.role - kX] = v;
        }
        a.x = p[0];
        a.y = p[1];
        a.z = p[2];
        if (have_types) types.push_back({type_value, a.type});
        r.atoms.push_back(a);
    }
    if (used) *used = at;
    r.ntypes = natoms > 0 ? std::max<int>(1, static_cast<int>(species.size())) : static_cast<int>(species.size());
    r.element_names = species;
    if (have_types) {
        // A "type" column gives the types; each is named after its species.
        int top = 0;
        for (const auto& t : types) top = std::max(top, t.first);
        r.element_names.assign(static_cast<size_t>(top), std::string());
        for (size_t i = 0; i < types.size(); i++) {
            r.atoms[i].type = types[i].first;
            if (have_species) r.element_names[static_cast<size_t>(types[i].first - 1)] = species[static_cast<size_t>(types[i].second - 1)];
        }
        r.ntypes = top;
    }

    // ASE's dummy species X names no element.
    for (std::string& name : r.element_names)
        if (name == "X") name.clear();

    // The cell: orthogonal when the Lattice is diagonal.
    if (!have_pbc) pbc[0] = pbc[1] = pbc[2] = have_lattice ? 1 : 0;
    std::memcpy(r.periodic, pbc, sizeof pbc);
    if (have_lattice) {
        const double(*m)[3] = reinterpret_cast<const double(*)[3]>(lattice);
        const bool diagonal = m[0][1] == 0 && m[0][2] == 0 && m[1][0] == 0 && m[1][2] == 0 && m[2][0] == 0 && m[2][1] == 0;
        std::memcpy(r.cell, lattice, sizeof r.cell);
        std::memcpy(r.origin, origin, sizeof r.origin);
        r.triclinic = diagonal ? 0 : 1;
        for (int d = 0; d < 3; d++) {
            double low = 0, span = 0;
            for (int e = 0; e < 3; e++) {
                if (m[e][d] < 0) low += m[e][d];
                span += std::fabs(m[e][d]);
            }
            r.lo[d] = origin[d] + low;
            r.size[d] = span;
        }
    } else {
        // No cell: the box that holds the atoms.
        r.triclinic = 0;
        for (int d = 0; d < 3; d++) {
            double low = 0, high = 0;
            for (size_t i = 0; i < r.atoms.size(); i++) {
                const double v = d == 0 ? r.atoms[i].x : d == 1 ? r.atoms[i].y : r.atoms[i].z;
                if (i == 0 || v < low) low = v;
                if (i == 0 || v > high) high = v;
            }
            if (!std::isfinite(low) || !std::isfinite(high)) low = high = 0;
            r.lo[d] = r.origin[d] = low;
            r.size[d] = high - low;
            r.cell[d][d] = r.size[d];
        }
    }
    std::printf(">>extended XYZ file is found\n");
    print_totals(static_cast<int>(natoms), r.ntypes);
    return 1;
}

}  // namespace qb_read

int QB_read_extxyz(QB_tools* s, const char* path) {
    qb_read::MappedFile file;
    if (!file.open(path)) return -1;
    qb_read::ReadResult r;
    QB_checkdat_err = 0;
    const int code = qb_read::read_extxyz_text(file.text(), r);
    if (code == 1) qb_read::store_result(s, r);
    return code;
}
