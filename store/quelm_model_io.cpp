#include "store/quelm_model_io.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

#include "qb/qb_file.h"

#include "qb/qb_formats.h"
#include "qb/qb_gzip.h"
#include "qb/qb_text.h"

namespace {
// "4 atoms and 1 type", in the singular where it is one.
std::string atoms_and_types(const QB_tools* model) {
    return QB_format("%d atom%s and %d type%s", model->natoms, model->natoms == 1 ? "" : "s", model->ntypes,
                     model->ntypes == 1 ? "" : "s");
}
}  // namespace

int QN_read_report(int code, const QB_tools* model, std::string& text, const std::string& reason) {
    const char* kind = nullptr;
    if (code % 2 == 0 && !reason.empty()) {
        text = "Reading file failed\n" + reason;
        return -1;
    }
    switch (code) {
        case 0: text = "Reading file failed\nUnknown model format"; return -1;
        case 1: kind = "LMP"; break;
        case 2: text = "Reading file failed\nNot enough atoms in LMP format"; return -1;
        case 3: kind = "LMC"; break;
        case 4: text = "Reading file failed\nNot enough atoms in LMC format"; return -1;
        case 5: kind = "POSCAR"; break;
        case 6: text = "Reading file failed\nNot enough atoms in POSCAR format"; return -1;
        case QB_READ_UNREADABLE: text = "Reading file failed\ncannot open the file"; return -1;
        case QB_READ_EXTXYZ: kind = "XYZ"; break;
        case QB_READ_EXTXYZ_BROKEN: text = "Reading file failed\nNot enough atoms in XYZ format"; return -1;
        default: text.clear(); return 0;
    }
    text = QB_format("%s file detected with %s\nBox size %lf %lf %lf", kind, atoms_and_types(model).c_str(),
                     model->size[0], model->size[1], model->size[2]);
    return 1;
}

std::string QN_new_model_text(const QB_tools* model) {
    return QB_format("New model detected with %s\nBox size %lf %lf %lf", atoms_and_types(model).c_str(),
                     model->size[0], model->size[1], model->size[2]);
}

int QN_read_model(QB_tools* model, const char* path, std::string& text) {
    std::string reason;
    const int code = QB_read_file(model, path, &reason);
    return QN_read_report(code, model, text, reason);
}

int QN_write_model(QB_tools* model, const char* path, int kind) {
    switch (kind) {
        case 0: return QB_dump_lmc(model, path);
        case 1: return QB_dump_lmp(model, path);
        case 2: return QB_dump_vasp_Cartesian(model, path);
        case 3: return QB_dump_vasp_Direct(model, path);
        case 4: return QB_dump_extxyz(model, path);
    }
    return -1;
}

std::string QN_write_failure(const QB_tools* model, int written, const std::string& path, const std::string& hint) {
    if (written == -2) return "The box has no volume";
    if (written != QB_WRITE_UNNAMED) return "Cannot write " + path;
    const int t = QB_vasp_unnamed_type(model);
    const std::string name = QB_elename(model, t - 1);
    std::string why =
        name.empty()
            ? QB_format("A POSCAR file names the element of every atom type, and type %d of %d has no element name", t,
                        model->ntypes)
            : QB_format("A POSCAR file names the element of every atom type, and the name \"%s\" of type %d cannot "
                        "stand in its species line",
                        name.c_str(), t);
    return hint.empty() ? why : why + "\n" + hint;
}

// ---- Numbered file series -------------------------------------------------

bool QN_numeric_less(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    auto digit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
    while (i < a.size() && j < b.size()) {
        if (digit(a[i]) && digit(b[j])) {
            size_t ei = i, ej = j;
            while (ei < a.size() && digit(a[ei])) ei++;
            while (ej < b.size() && digit(b[ej])) ej++;
            std::string da = a.substr(i, ei - i), db = b.substr(j, ej - j);
            da.erase(0, std::min(da.find_first_not_of('0'), da.size()));
            db.erase(0, std::min(db.find_first_not_of('0'), db.size()));
            if (da.size() != db.size()) return da.size() < db.size();
            if (da != db) return da < db;
            i = ei;
            j = ej;
            continue;
        }
        const int ca = std::tolower(static_cast<unsigned char>(a[i]));
        const int cb = std::tolower(static_cast<unsigned char>(b[j]));
        if (ca != cb) return ca < cb;
        i++;
        j++;
    }
    return a.size() - i < b.size() - j;
}

std::string QN_series_pattern(const std::string& path) {
    std::string out;
    for (size_t i = 0; i < path.size(); i++) {
        if (std::isdigit(static_cast<unsigned char>(path[i]))) {
            out += '*';
            while (i + 1 < path.size() && std::isdigit(static_cast<unsigned char>(path[i + 1]))) i++;
        } else {
            out += path[i];
        }
    }
    return out;
}

std::vector<std::string> QN_series_of(const std::string& path) {
    if (!QB_file_exists(path)) return {};
    const size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string pattern = QN_series_pattern(path);
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder.empty() ? "." : folder, ec)) {
        std::error_code kind;
        if (!entry.is_regular_file(kind)) continue;
        const std::string name = entry.path().filename().string();
        if (QN_series_pattern(folder + name) == pattern) names.push_back(name);
    }
    std::sort(names.begin(), names.end(), QN_numeric_less);
    std::vector<std::string> series;
    for (const std::string& name : names) series.push_back(folder + name);
    if (std::find(series.begin(), series.end(), path) == series.end()) {
        auto at = series.begin();
        while (at != series.end() && QN_numeric_less(*at, path)) ++at;
        series.insert(at, path);
    }
    return series;
}

int QN_export_kind(const std::string& path, const std::string* format) {
    if (format) {
        const char* names[5] = {"lmc", "lmp", "poscar", "poscar-direct", "extxyz"};
        for (int k = 0; k < 5; k++)
            if (*format == names[k]) return k;
        return -1;
    }
    const std::string plain = QB_without_gz(path);
    auto ends = [&](const char* tail) {
        const std::string t = tail;
        return plain.size() >= t.size() && plain.compare(plain.size() - t.size(), t.size(), t) == 0;
    };
    if (ends(".lmc") || ends(".dump")) return 0;
    if (ends(".lmp") || ends(".data")) return 1;
    if (ends("POSCAR") || ends(".vasp")) return 2;
    if (ends(".xyz") || ends(".extxyz")) return 4;
    return -1;
}
