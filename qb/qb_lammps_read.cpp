// Reading LAMMPS data files and dumps as LAMMPS writes them: data files of
// the common atom styles with their header in any order, dumps with
// wrapped, unwrapped or scaled positions and element names.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <unordered_map>

#include "qb/qb_formats.h"
#include "qb/qb_progress.h"
#include "qb/qb_read_text.h"
#include "qb/qb_text.h"

namespace qb_read {

namespace {

// ---------------------------------------------------------------- data file

// Where the values of an "Atoms" line are, per atom style; id is first in
// every style, and three image flags may follow.
struct AtomStyle {
    const char* name;
    int mol, type, q, x;  // column of each value, -1 when the style has none
    int columns;
};
constexpr AtomStyle kAtomStyles[] = {
    {"atomic", -1, 1, -1, 2, 5},   {"charge", -1, 1, 2, 3, 6}, {"full", 1, 2, 3, 4, 7},
    {"molecular", 1, 2, -1, 3, 6}, {"bond", 1, 2, -1, 3, 6},   {"angle", 1, 2, -1, 3, 6},
};
constexpr int kMostColumns = 10;

// Header lines the reader uses: leading numbers, then the keyword.
enum HeaderKey { kAtomsKey, kTypesKey, kXKey, kYKey, kZKey, kTiltKey };
constexpr struct {
    const char* keyword;
    int values;
} kHeaderKeys[] = {{"atoms", 1}, {"atom types", 1}, {"xlo xhi", 2}, {"ylo yhi", 2}, {"zlo zhi", 2}, {"xy xz yz", 3}};

// The keyword of a header line: its words after the leading numbers, joined
// by single blanks.
std::string header_keyword(const std::vector<std::string_view>& words, size_t first) {
    std::string out;
    for (size_t k = first; k < words.size(); k++) {
        if (k > first) out += ' ';
        out.append(words[k]);
    }
    return out;
}

std::string style_list() {
    std::string out;
    for (const AtomStyle& s : kAtomStyles) out += std::string(out.empty() ? "" : ", ") + s.name;
    return out;
}

}  // namespace

int read_lmp_text(std::string_view text, ReadResult& r) {
    Scanner sc(text);
    sc.skip_line();  // the title

    // Header: "N keyword" lines in any order, up to the first section name.
    long long natoms = -1, ntypes = 0;
    double lo[3] = {-0.5, -0.5, -0.5}, hi[3] = {0.5, 0.5, 0.5}, tilt[3] = {0, 0, 0};
    bool tilted = false;
    std::string_view line;
    std::vector<std::string_view> words;
    while (true) {
        if (!sc.next_line(line)) return -1;
        words = words_of(without_comment(line));
        if (words.empty()) continue;
        size_t numbers = 0;
        double values[3];
        while (numbers < words.size() && is_plain_number(words[numbers])) {
            if (numbers < 3) token_number(words[numbers], values[numbers]);
            numbers++;
        }
        if (numbers == 0) break;  // a section name
        const std::string keyword = header_keyword(words, numbers);
        int key = 0;
        while (key < 6 && keyword != kHeaderKeys[key].keyword) key++;
        if (key == 6) continue;  // bonds, angles, ellipsoids, ...: not needed here
        if (numbers != static_cast<size_t>(kHeaderKeys[key].values)) return -1;
        long long count = 0;
        if ((key == kAtomsKey || key == kTypesKey) && (!token_int(words[0], count) || count < 0)) return -1;
        switch (key) {
            case kAtomsKey: natoms = count; break;
            case kTypesKey: ntypes = count; break;
            case kTiltKey:
                std::copy(values, values + 3, tilt);
                tilted = true;
                break;
            default:
                lo[key - kXKey] = values[0];
                hi[key - kXKey] = values[1];
        }
    }
    if (natoms < 0 || ntypes > QB_MAX_TYPES) return -1;

    // Sections up to "Atoms", whose comment names the atom style. A
    // "Masses" line "1 63.546 # Cu" names its type after the element of
    // its comment.
    std::vector<std::string> names;
    while (words.empty() || words[0] != "Atoms") {
        if (!words.empty() && words[0] == "Masses" && words.size() == 1) {
            while (true) {
                if (!sc.next_line(line)) return -1;
                words = words_of(without_comment(line));
                long long type = 0;
                if (words.size() != 2 || !token_int(words[0], type) || !is_plain_number(words[1])) break;
                const size_t hash = line.find('#');
                if (hash == std::string_view::npos || type < 1 || type > QB_MAX_TYPES || (ntypes > 0 && type > ntypes))
                    continue;
                const std::vector<std::string_view> comment = words_of(line.substr(hash + 1));
                if (comment.empty() || !(QB_element_mass(std::string(comment[0])) > 0)) continue;
                if (names.size() < static_cast<size_t>(type)) names.resize(static_cast<size_t>(type));
                names[static_cast<size_t>(type - 1)] = std::string(comment[0]);
            }
            continue;
        }
        if (!sc.next_line(line)) return -1;
        words = words_of(without_comment(line));
    }
    const AtomStyle* style = &kAtomStyles[0];
    const size_t hash = line.find('#');
    const std::vector<std::string_view> comment =
        hash == std::string_view::npos ? std::vector<std::string_view>() : words_of(line.substr(hash + 1));
    const bool named = !comment.empty();
    if (named) {
        style = nullptr;
        for (const AtomStyle& s : kAtomStyles)
            if (comment[0] == s.name) style = &s;
        if (!style) {
            r.reason = "atom style " + std::string(comment[0]) + " is not read (" + style_list() + " are)";
            return -2;
        }
    }

    // The shortest atom line takes two characters a value.
    if (static_cast<double>(natoms) * 2 * style->columns > sc.remaining() + 1.0) return -2;

    ProgressScope progress(kReadingMessage);
    r.atoms.reserve(static_cast<size_t>(natoms));
    if (style->q >= 0) {
        r.channel_names = {"q"};
        r.channel_data.assign(1, {});
        r.channel_data[0].reserve(static_cast<size_t>(natoms));
    }
    if (style->mol >= 0) {
        r.exint_names = {"mol"};
        r.exint_data.assign(1, {});
        r.exint_data[0].reserve(static_cast<size_t>(natoms));
    }
    int top = static_cast<int>(ntypes);
    for (long long i = 0; i < natoms; i++) {
        if (i % kProgressStep == 0) {  // a stop request fails the read as broken data does
            if (i > 0) QB_progress_update(100.0 * i / natoms);
            if (QB_progress_stop_requested()) {
                r.reason = QB_STOPPED_MESSAGE;
                return -2;
            }
        }
        if (!sc.next_line(line)) return -2;
        Scanner fields(without_comment(line));
        std::string_view tok[kMostColumns + 1];
        int n = 0;
        while (n <= kMostColumns && fields.read_word(tok[n])) n++;
        if (n == 0) {  // a comment line
            i--;
            continue;
        }
        if (n != style->columns && n != style->columns + 3) {
            // The next section or the end of the file: the atoms ran short.
            if (!is_plain_number(tok[0]) || sc.at_end()) return -2;
            r.reason = QB_format("atom line %lld has %d values, not the %d or %d of atom style %s", i + 1, n,
                                 style->columns, style->columns + 3, style->name);
            if (!named) r.reason += "; a data file of another style names it after its section, as \"Atoms # charge\" does";
            return -2;
        }
        long long id, type, mol = 0, flag;
        double q = 0, p[3];
        bool ok = token_int(tok[0], id) && token_int(tok[style->type], type);
        for (int d = 0; d < 3; d++) ok = ok && token_number(tok[style->x + d], p[d]);
        if (style->mol >= 0) ok = ok && token_int(tok[style->mol], mol);
        if (style->q >= 0) ok = ok && token_number(tok[style->q], q);
        for (int k = style->columns; k < n; k++) ok = ok && token_int(tok[k], flag);
        if (!ok || id < 1 || type < 1 || type > QB_MAX_TYPES) return -2;
        r.atoms.push_back({static_cast<int32_t>(id), static_cast<int32_t>(type), p[0], p[1], p[2], 0});
        if (style->q >= 0) r.channel_data[0].push_back(q);
        if (style->mol >= 0) r.exint_data[0].push_back(static_cast<int>(mol));
        top = std::max(top, static_cast<int>(type));
    }
    r.ntypes = top;
    r.element_names = std::move(names);
    r.periodic[0] = r.periodic[1] = r.periodic[2] = 1;
    const double L[3] = {hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]};
    if (tilted) {
        set_restricted_cell(r, lo, L, tilt[0], tilt[1], tilt[2]);
    } else {
        for (int d = 0; d < 3; d++) {
            r.lo[d] = r.origin[d] = lo[d];
            r.size[d] = L[d];
            r.cell[d][d] = L[d];
        }
    }
    print_totals(static_cast<int>(natoms), r.ntypes);
    return 1;
}

// ----------------------------------------------------------------- dump file

namespace {

// The position columns a dump may carry, in the order they are preferred.
constexpr const char* kPositionSets[4][3] = {{"x", "y", "z"}, {"xu", "yu", "zu"}, {"xs", "ys", "zs"}, {"xsu", "ysu", "zsu"}};
constexpr bool kUnwrapped[4] = {false, true, false, true};
constexpr bool kScaled[4] = {false, false, true, true};

enum Role { kId, kType, kX, kY, kZ, kElement, kImageX, kImageY, kImageZ, kExtra };

// The box of a dump as the cell a = (ax, 0, 0), b = (bx, by, 0),
// c = (cx, cy, cz) at an origin: scaled coordinates to positions and back.
struct DumpCell {
    const double (*cell)[3];
    const double* origin;
    double fraction(const double p[3], int d) const {
        const double f2 = (p[2] - origin[2]) / cell[2][2];
        if (d == 2) return f2;
        const double f1 = (p[1] - origin[1] - f2 * cell[2][1]) / cell[1][1];
        if (d == 1) return f1;
        return (p[0] - origin[0] - f1 * cell[1][0] - f2 * cell[2][0]) / cell[0][0];
    }
    void position(const double f[3], double p[3]) const {
        for (int e = 0; e < 3; e++) p[e] = origin[e] + f[0] * cell[0][e] + f[1] * cell[1][e] + f[2] * cell[2][e];
    }
    // Moves p by whole cell vectors into the box along the periodic
    // directions; n gets the image counts (0 where nothing moved).
    void wrap(double p[3], const double f[3], const int periodic[3], int n[3]) const {
        for (int d = 0; d < 3; d++) {
            n[d] = 0;
            const double shift = std::floor(f[d]);
            if (!periodic[d] || !(std::fabs(shift) < 1e9) || !std::isfinite(cell[d][d]) || cell[d][d] == 0) continue;
            n[d] = static_cast<int>(shift);
            for (int e = 0; e < 3; e++) p[e] -= shift * cell[d][e];
        }
    }
};

std::string joined(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& n : names) out += (out.empty() ? "" : " ") + n;
    return out;
}

}  // namespace

int read_lmc_text(std::string_view text, const char* path, ReadResult& r) {
    Scanner sc(text);
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

    // Column names: the rest of the "ITEM: ATOMS" line. Without names, the
    // old atom style: id type xs ys zs, and three image flags.
    if (!sc.read_word(w) || !sc.read_word(w)) return -1;
    std::vector<std::string> names;
    for (std::string_view name : words_of(sc.rest_of_line())) names.emplace_back(name);
    if (names.empty() && natoms > 0) {
        Scanner peek = sc;
        std::string_view first;
        const size_t values = peek.next_line(first) ? words_of(first).size() : 0;
        if (values == 5 || values == 8) names = {"id", "type", "xs", "ys", "zs"};
        if (values == 8) names.insert(names.end(), {"ix", "iy", "iz"});
    }
    auto column = [&](const char* name) {
        const auto it = std::find(names.begin(), names.end(), name);
        return it == names.end() ? -1 : static_cast<int>(it - names.begin());
    };
    int set = 0;
    while (set < 4 && (column(kPositionSets[set][0]) < 0 || column(kPositionSets[set][1]) < 0 ||
                       column(kPositionSets[set][2]) < 0))
        set++;
    if (set == 4) {
        std::printf(">>ERROR: LAMMPS dump file: %s doesn't contain enough data\n", path);
        r.reason = "LAMMPS dump " + std::string(path) + " has the columns " +
                   (names.empty() ? std::string("(none)") : joined(names)) +
                   "; it needs x y z, xu yu zu, xs ys zs or xsu ysu zsu";
        return -4;
    }
    // Unwrapped positions are wrapped on reading; the file's image counts
    // then become integer columns that match the wrapped positions.
    const bool images = kUnwrapped[set] && column("ix") >= 0 && column("iy") >= 0 && column("iz") >= 0;
    std::vector<int> role(names.size(), kExtra);
    auto assign = [&](const char* name, int what) {
        const int k = column(name);
        if (k >= 0) role[static_cast<size_t>(k)] = what;
    };
    assign("id", kId);
    assign("type", kType);
    assign("element", kElement);
    for (int d = 0; d < 3; d++) assign(kPositionSets[set][d], kX + d);
    if (images) {
        assign("ix", kImageX);
        assign("iy", kImageY);
        assign("iz", kImageZ);
    }
    for (size_t k = 0; k < names.size(); k++) {
        if (role[k] != kExtra) continue;
        QB_fprintf(stdout, ">>extra data %s is found\n", names[k].c_str());
        r.channel_names.push_back(names[k]);
    }
    const bool have_type = column("type") >= 0, have_element = column("element") >= 0;
    const size_t columns = names.size();
    // Every value takes at least one character and a separator.
    if (static_cast<double>(natoms) * columns > sc.remaining() / 2.0 + 2) return -2;

    ProgressScope progress(kReadingMessage);
    r.atoms.reserve(static_cast<size_t>(natoms));
    r.channel_data.assign(r.channel_names.size(), std::vector<double>());
    for (auto& c : r.channel_data) c.reserve(static_cast<size_t>(natoms));
    if (images) {
        r.exint_names = {"ix", "iy", "iz"};
        r.exint_data.assign(3, std::vector<int>());
        for (auto& c : r.exint_data) c.reserve(static_cast<size_t>(natoms));
    }
    const DumpCell box{r.cell, r.origin};
    // Element names by order of first appearance, and the element of each type.
    std::unordered_map<std::string_view, int> element_index;
    std::vector<std::string_view> elements;
    std::map<long long, int> element_of_type;
    int tmin = INT_MAX, tmax = INT_MIN;
    for (long long i = 0; i < natoms; i++) {
        if (i % kProgressStep == 0) {  // a stop request fails the read as broken data does
            if (i > 0) QB_progress_update(100.0 * i / natoms);
            if (QB_progress_stop_requested()) {
                r.reason = QB_STOPPED_MESSAGE;
                return -2;
            }
        }
        atomdata a{static_cast<int32_t>(i + 1), 1, 0, 0, 0, 0};
        double v[3] = {0, 0, 0};
        int element = -1;
        size_t extra = 0;
        for (size_t k = 0; k < columns; k++) {
            if (!sc.read_word(w)) return -2;
            if (role[k] == kElement) {
                const auto found = element_index.emplace(w, static_cast<int>(elements.size()));
                if (found.second) elements.push_back(w);
                element = found.first->second;
                continue;
            }
            const double value = checkdat(w);
            switch (role[k]) {
                case kId: a.id = QB_to_int(value); break;
                case kType: a.type = QB_to_int(value); break;
                case kX:
                case kY:
                case kZ: v[role[k] - kX] = value; break;
                case kImageX:
                case kImageY:
                case kImageZ: break;  // made again from the wrapping
                default: r.channel_data[extra++].push_back(value);
            }
        }
        double p[3] = {v[0], v[1], v[2]};
        if (kScaled[set]) box.position(v, p);
        if (kUnwrapped[set]) {
            const double f[3] = {kScaled[set] ? v[0] : box.fraction(p, 0), kScaled[set] ? v[1] : box.fraction(p, 1),
                                 kScaled[set] ? v[2] : box.fraction(p, 2)};
            int n[3];
            box.wrap(p, f, r.periodic, n);
            if (images)
                for (int d = 0; d < 3; d++) r.exint_data[static_cast<size_t>(d)].push_back(n[d]);
        }
        a.x = p[0];
        a.y = p[1];
        a.z = p[2];
        if (element >= 0) {
            if (!have_type) a.type = element + 1;
            element_of_type.emplace(a.type, element);
        }
        tmin = std::min(tmin, static_cast<int>(a.type));
        tmax = std::max(tmax, static_cast<int>(a.type));
        r.atoms.push_back(a);
    }
    r.ntypes = natoms > 0 ? tmax : 0;
    long long shift = 0;
    if (natoms > 0 && tmin < 1) {
        shift = 1LL - tmin;
        if (tmax + shift > QB_MAX_TYPES) return -2;
        for (auto& a : r.atoms) a.type += static_cast<int32_t>(shift);
        r.ntypes = static_cast<int>(tmax + shift);
    }
    if (r.ntypes > QB_MAX_TYPES) return -2;
    if (have_element) {
        r.element_names.assign(static_cast<size_t>(r.ntypes), std::string());
        for (const auto& [type, element] : element_of_type)
            r.element_names[static_cast<size_t>(type + shift - 1)] = std::string(elements[static_cast<size_t>(element)]);
    }
    std::printf(">>LAMMPS dump file %s is found\n", path);
    print_totals(static_cast<int>(natoms), r.ntypes);
    if (QB_checkdat_err) {
        QB_checkdat_err = 0;
        return -3;
    }
    return 1;
}

}  // namespace qb_read
