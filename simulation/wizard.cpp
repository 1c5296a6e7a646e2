#include "simulation/wizard.h"

#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <climits>
#include <filesystem>
#include <set>
#include <system_error>
#include <utility>

#include "store/quelm_store.h"
#include "builders/layers.h"
#include "qb/qb_file.h"
#include "qb/qb_formats.h"
#include "qb/qb_text.h"
#include "tools/potentials.h"
#include "view/view_image.h"

namespace fs = std::filesystem;

namespace {

const QN_wizard_info kInfos[4] = {
    {QN_wizard::dynamic, "dynamic", "Dynamic", 5, "S_Dynamic"},
    {QN_wizard::quasistatic, "quasistatic", "Quasistatic", 6, "S_Quasistatic"},
    {QN_wizard::shock, "shock", "Shock", 7, "S_Shock"},
    {QN_wizard::crack, "crack", "Crack", QN_CRACK_GROUP, "S_Crack"},
};

const char* const kPassword = "S_severpass";
const char* const kAngle = "S_anga";
// The other values of an interface solution, tied to "S_anga".
const char* const kAngleFollowers[9] = {"S_n1y", "S_n1z", "S_d1y", "S_d1z", "S_angb",
                                        "S_n2y", "S_n2z", "S_d2y", "S_d2z"};
// The renderer's image files and the task's own files.
constexpr int kMaxImages = 5;
const char* const kSetup = "echo '0' > run_no && { [ ! -d \"$HOME/bin/Viz\" ] || cp -r -- \"$HOME/bin/Viz\" . ; }";

// One default of a store group: t text, i int, d double, m ten "S_mass"
// occurrences, b the shock wizard's "S_blank" (int 0, then double 0).
struct Default {
    const char* label;
    char kind;
    double number;
    const char* text;
};

std::vector<Default> defaults_of(QN_wizard kind) {
    if (kind == QN_wizard::crack) {
        return {
            {"S_Crack", 't', 0, "0"},         {"S_pot", 't', 0, "No_File"},     {"S_elenum", 'i', 0, nullptr},
            {"S_mass", 'm', 1, nullptr},      {"S_model", 'i', 0, nullptr},     {"S_inputa", 't', 0, "No_File"},
            {"S_inputb", 't', 0, "No_File"},  {"S_minanga", 'd', 0, nullptr},   {"S_maxanga", 'd', 360, nullptr},
            {"S_minangb", 'd', 0, nullptr},   {"S_maxangb", 'd', 360, nullptr}, {"S_maxbox", 'd', 200, nullptr},
            {"S_maxlat", 'd', 30, nullptr},   {"S_maxmis", 'd', 0.0001, nullptr}, {"S_boxx", 'd', 100, nullptr},
            {"S_boxy", 'd', 100, nullptr},    {"S_boxz", 'd', 100, nullptr},    {"S_solute", 'i', 0, nullptr},
            {"S_seed", 'd', 0, nullptr},      {"S_snum", 'd', 0, nullptr},      {"S_dx", 'd', 3, nullptr},
            {"S_dy", 'd', 3, nullptr},        {"S_dz", 'd', 3, nullptr},        {"S_crar", 'd', 0, nullptr},
            {"S_crak", 'd', 0, nullptr},      {"S_load", 'i', 0, nullptr},      {"S_craa", 'd', 0, nullptr},
            {"S_crab", 'd', 0, nullptr},      {"S_cral", 'd', 0, nullptr},      {"S_crag", 'd', 70, nullptr},
            {"S_miu", 'd', 0.3, nullptr},     {"S_dirload", 'i', 2, nullptr},   {"S_dircrack", 'i', 0, nullptr},
            {"S_fix", 'd', 0, nullptr},       {"S_relax", 'i', 0, nullptr},     {"S_cond", 'i', 0, nullptr},
            {"S_rate", 'd', 0.1, nullptr},    {"S_dt", 'd', 1, nullptr},        {"S_step", 'i', 5000, nullptr},
            {"S_loop", 'i', 20, nullptr},     {"S_temp", 'i', 300, nullptr},    {"S_ssdia", 'i', 0, nullptr},
            {"S_str", 'i', 0, nullptr},       {"S_par", 'i', 0, nullptr},       {"S_ort", 'i', 0, nullptr},
            {"S_ast", 'i', 0, nullptr},       {"S_apt", 'i', 0, nullptr},       {"S_dump", 'i', 0, nullptr},
            {"S_anga", 't', 0, "reset"},      {"S_n1y", 't', 0, "reset"},       {"S_n1z", 't', 0, "reset"},
            {"S_d1y", 't', 0, "reset"},       {"S_d1z", 't', 0, "reset"},       {"S_angb", 't', 0, "reset"},
            {"S_n2y", 't', 0, "reset"},       {"S_n2z", 't', 0, "reset"},       {"S_d2y", 't', 0, "reset"},
            {"S_d2z", 't', 0, "reset"},       {"S_img1", 'i', 0, nullptr},      {"S_img2", 'i', 0, nullptr},
            {"S_img3", 'i', 0, nullptr},      {"S_img4", 'i', 0, nullptr},      {"S_img5", 'i', 0, nullptr},
            {"S_scut", 'd', 0, nullptr},      {"S_px", 'i', 0, nullptr},        {"S_py", 'i', 0, nullptr},
            {"S_pz", 'i', 0, nullptr},        {"S_script", 't', 0, "None"},     {"S_severip", 't', 0, "0.0.0.0"},
            {"S_severname", 't', 0, "None"},  {"S_severfold", 't', 0, "None"},  {"S_severcomm", 't', 0, "None"},
            {"S_savefold", 't', 0, "None"},
        };
    }
    const bool shock = kind == QN_wizard::shock;
    std::vector<Default> d = {
        {QN_wizard_about(kind).marker, 't', 0, "0"},
        {"S_pot", 't', 0, "blank"},
        {"S_elenum", 'i', 0, nullptr},
        {"S_mass", 'm', 0, nullptr},
        {"S_model", 'i', 0, nullptr},
        {"S_inputa", 't', 0, "blank"},
        {"S_load", 'i', 0, nullptr},
        {"S_dirload", 'i', 0, nullptr},
    };
    if (shock) {
        d.push_back({"S_spd", 'd', 1, nullptr});
        d.push_back({"S_end", 'd', 20, nullptr});
        d.push_back({"S_relax", 'i', 0, nullptr});
        d.push_back({"S_blank", 'b', 0, nullptr});
        d.push_back({"S_dt", 'd', 1, nullptr});
    } else {
        d.push_back({"S_rate", 'd', kind == QN_wizard::quasistatic ? 0.001 : 1, nullptr});
        d.push_back({"S_end", 'd', 0.2, nullptr});
        d.push_back({"S_relax", 'i', 0, nullptr});
        d.push_back({"S_cond", 'i', 0, nullptr});
        d.push_back({"S_dt", 'd', 1, nullptr});
        d.push_back({"S_temp", 'd', 300, nullptr});
    }
    const std::vector<Default> tail = {
        {"S_ssdia", 'i', 1, nullptr}, {"S_str", 'i', 0, nullptr},       {"S_par", 'i', 0, nullptr},
        {"S_ort", 'i', 0, nullptr},   {"S_ast", 'i', 0, nullptr},       {"S_apt", 'i', 0, nullptr},
        {"S_dump", 'i', 2000, nullptr}, {"S_script", 't', 0, "blank"}, {"S_px", 'i', 0, nullptr},
        {"S_py", 'i', 0, nullptr},    {"S_pz", 'i', 0, nullptr},        {"S_img1", 'i', 0, nullptr},
        {"S_img2", 'i', 0, nullptr},  {"S_img3", 'i', 0, nullptr},      {"S_img4", 'i', 0, nullptr},
        {"S_img5", 'i', 0, nullptr},
    };
    d.insert(d.end(), tail.begin(), tail.end());
    return d;
}

// The crack labels read from a status file as text or as int; the others
// of the group are doubles.
const std::set<std::string>& crack_text_labels() {
    static const std::set<std::string> labels = {"S_pot",       "S_inputa",    "S_inputb",    "S_script",
                                                 "S_severip",   "S_severname", "S_severfold", "S_severcomm",
                                                 "S_savefold"};
    return labels;
}
const std::set<std::string>& crack_int_labels() {
    static const std::set<std::string> labels = {
        "S_elenum", "S_model", "S_solute", "S_seed", "S_load", "S_dirload", "S_dircrack", "S_relax",
        "S_cond",   "S_step",  "S_loop",   "S_temp", "S_ssdia", "S_str",   "S_par",      "S_ort",
        "S_ast",    "S_apt",   "S_dump",   "S_n1y",  "S_n1z",   "S_n2y",   "S_n2z",      "S_img1",
        "S_img2",   "S_img3",  "S_img4",   "S_img5", "S_px",    "S_py",    "S_pz"};
    return labels;
}

int group_of(QN_wizard kind) { return QN_wizard_about(kind).group; }

bool valid_group(int group) { return group >= 0 && group < static_cast<int>(Quelm_data.size()); }

// A file field still at its placeholder ("blank", "None", "No_File").
bool chosen(const std::string& path) {
    return !path.empty() && path != "blank" && path != "None" && path != "No_File" && path != "No_file";
}

std::string bare_name(const std::string& path) { return fs::path(path).filename().string(); }

std::string text_of(int group, const char* label) { return QN_stored_text(group, label, ""); }

bool tilt_mode(QN_wizard kind) { return kind == QN_wizard::crack && QN_stored_int(QN_CRACK_GROUP, "S_model", 0) == 1; }

bool regular_file(const std::string& path) {
    std::error_code ec;
    return fs::is_regular_file(path, ec);
}

std::string join_lines(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& l : lines) text += (text.empty() ? "" : "\n") + l;
    return text;
}

// The group as the task scripts and status files see it, for the lifetime
// of the object: no password entry (whatever put one there), the files the
// task folder holds named by their bare names, and, for the crack, the nine
// followers bound to "S_anga". Everything is put back by the destructor.
class GroupView {
public:
    GroupView(QN_wizard kind, bool bare_names) : group_(group_of(kind)) {
        QN_output_bind_free();
        if (!valid_group(group_)) return;
        auto& bits = Quelm_data[group_].bits;
        for (size_t i = 0; i < bits.size();) {
            if (!bits[i].values.empty() && Quelm_get_label(bits[i].values[0]) == kPassword) {
                removed_.emplace_back(i + removed_.size(), std::move(bits[i]));
                bits.erase(bits.begin() + static_cast<long>(i));
            } else {
                i++;
            }
        }
        Quelm_data[group_].bit_count = static_cast<int>(bits.size());
        if (bare_names) {
            std::vector<const char*> labels = {"S_pot", "S_inputa", "S_script"};
            if (tilt_mode(kind)) labels.push_back("S_inputb");
            for (const char* label : labels) {
                const int index = Quelm_scan_dest_single(group_, label);
                if (index < 0) continue;
                const std::string path = text_of(group_, label);
                if (!chosen(path)) continue;
                saved_.emplace_back(index, Quelm_data[group_].bits[index].values);
                QN_set_bit_char(group_, label, bare_name(path));
            }
        }
        if (kind == QN_wizard::crack) {
            const int driver = Quelm_scan_dest_single(group_, kAngle);
            int k = 0;
            for (const char* follower : kAngleFollowers) {
                const int index = Quelm_scan_dest_single(group_, follower);
                if (driver >= 0 && index >= 0 && QN_output_bind_set(k, driver, index) == 1) k++;
            }
        }
    }
    ~GroupView() {
        QN_output_bind_free();
        if (!valid_group(group_)) return;
        auto& bits = Quelm_data[group_].bits;
        for (auto& s : saved_) {
            bits[s.first].values = s.second;
            bits[s.first].value_count = static_cast<int>(s.second.size());
        }
        for (auto& r : removed_) bits.insert(bits.begin() + static_cast<long>(std::min(r.first, bits.size())), std::move(r.second));
        Quelm_data[group_].bit_count = static_cast<int>(bits.size());
    }
    GroupView(const GroupView&) = delete;
    GroupView& operator=(const GroupView&) = delete;

private:
    int group_;
    std::vector<std::pair<size_t, Quelm_data_bit_LV2>> removed_;
    std::vector<std::pair<int, std::vector<std::string>>> saved_;
};

// What a run sends: the potential (re-mapped), the model(s) and the job
// script, each with the name it gets in the task folder.
struct Package {
    std::string potential;
    std::vector<int> map;
    std::vector<std::pair<std::string, std::string>> copies;  // source, name
    int tasks = 0;
    std::vector<std::string> shared_names() const {
        std::vector<std::string> names = {bare_name(potential)};
        for (const auto& c : copies) names.push_back(c.second);
        return names;
    }
};

void plan_package(QN_wizard kind, const QN_wizard_extras& extras, Package& p) {
    const int group = group_of(kind);
    p.potential = text_of(group, "S_pot");
    p.map = QN_wizard_type_map(QN_stored_int(group, "S_elenum", 0) + 1, extras.links);
    p.copies.clear();
    const std::string model = text_of(group, "S_inputa");
    p.copies.emplace_back(model, bare_name(model));
    if (tilt_mode(kind)) {
        const std::string upper = text_of(group, "S_inputb");
        p.copies.emplace_back(upper, bare_name(upper));
    }
    const std::string script = text_of(group, "S_script");
    if (chosen(script)) p.copies.emplace_back(script, bare_name(script));
}

bool copy_file(const std::string& from, const fs::path& to, std::string& message) {
    std::error_code ec;
    if (fs::exists(to, ec) && fs::equivalent(from, to, ec)) return true;  // already the file itself
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
    if (ec) {
        message = "cannot copy " + from + " to " + to.string() + ": " + ec.message();
        return false;
    }
    return true;
}

bool write_text(const fs::path& path, const std::string& text, std::string& message) {
    QB_output_file file(path.string());
    if (!file || std::fwrite(text.data(), 1, text.size(), file.get()) != text.size() || !file.commit()) {
        message = "cannot write " + path.string();
        return false;
    }
    return true;
}

// Writes the re-mapped potential, the copies, input1.qld … inputT.qld and
// img1 … imgN into dir. T, or negative.
int write_package(QN_wizard kind, const QN_wizard_extras& extras, const Package& p, const fs::path& dir,
                  std::string& message) {
    std::string why;
    const int remapped = QT_remap_quelm(p.potential, (dir / bare_name(p.potential)).string(), p.map, why);
    if (remapped == -1) {
        message = "ERROR: Too much element required in potential file";
        return QN_REFUSED;
    }
    if (remapped != 1) {
        message = "cannot write the re-mapped potential: " + why;
        return QN_FILE_ERROR;
    }
    for (const auto& c : p.copies)
        if (!copy_file(c.first, dir / c.second, message)) return QN_FILE_ERROR;
    int written;
    {
        GroupView view(kind, true);
        written = QN_dump_script((dir / "input").string(), group_of(kind));
    }
    if (written < 2) {
        message = written == QN_FILE_ERROR ? "cannot write the task scripts in " + dir.string()
                                           : "the loops do not expand into tasks (code " + std::to_string(written) + ")";
        return written < 0 ? written : QN_REFUSED;
    }
    for (size_t k = 0; k < extras.images.size(); k++) {
        const QN_image_setting& im = extras.images[k];
        const std::string path = (dir / ("img" + std::to_string(k + 1))).string();
        if (Quelm_dump_img(path.c_str(), im.width, im.height, static_cast<int>(im.rotx), static_cast<int>(im.roty),
                           static_cast<int>(im.rotz), static_cast<int>(im.distance)) != QN_IMAGE_OK) {
            message = "cannot write the image settings " + path;
            return QN_FILE_ERROR;
        }
    }
    return written - 1;
}

bool clamp_int(double v, int& out) {
    if (!std::isfinite(v)) return false;
    v = std::trunc(v);
    if (v < INT_MIN || v > INT_MAX) return false;
    out = static_cast<int>(v);
    return true;
}

bool is_number(const std::string& text) {
    if (text.empty()) return false;
    char* end = nullptr;
    const double v = QB_strtod(text.c_str(), &end);
    return end && *end == '\0' && std::isfinite(v);
}

}  // namespace

// ---- Kinds ---------------------------------------------------------------------

const QN_wizard_info& QN_wizard_about(QN_wizard kind) { return kInfos[static_cast<int>(kind)]; }

bool QN_wizard_from_word(const std::string& word, QN_wizard& kind) {
    for (const auto& info : kInfos)
        if (word == info.word) {
            kind = info.kind;
            return true;
        }
    return false;
}

// ---- The store group -----------------------------------------------------------

int QN_wizard_write_defaults(QN_wizard kind) {
    const int group = group_of(kind);
    const int reset = QN_reset_group(group, " ");
    if (reset < 0) return reset;
    for (const Default& d : defaults_of(kind)) {
        int r = 1;
        switch (d.kind) {
            case 't': r = QN_set_bit_char(group, d.label, d.text); break;
            case 'i': r = QN_set_bit_int(group, d.label, static_cast<int>(d.number), 0); break;
            case 'd': r = QN_set_bit_double(group, d.label, d.number, 0); break;
            case 'm':
                for (int k = 0; k < 10 && r >= 0; k++) r = QN_set_bit_double_multi(group, k, d.label, d.number, 0);
                break;
            case 'b':
                r = QN_set_bit_int(group, d.label, 0, 0);
                if (r >= 0) r = QN_set_bit_double(group, d.label, 0, 0);
                break;
        }
        if (r < 0) return r;
    }
    return 2;
}

int QN_wizard_init(QN_wizard kind) {
    const int group = group_of(kind);
    if (valid_group(group)) {
        const auto& bits = Quelm_data[group].bits;
        if (!bits.empty() && !bits[0].values.empty() &&
            Quelm_get_label(bits[0].values[0]) == QN_wizard_about(kind).marker)
            return 1;
    }
    return QN_wizard_write_defaults(kind);
}

// ---- Crack status files --------------------------------------------------------

int QN_crack_apply_status(const std::vector<std::string>& entries, const std::vector<int>& loop_flags,
                          std::string& warnings) {
    warnings.clear();
    const int written = QN_wizard_write_defaults(QN_wizard::crack);
    if (written < 0) return written;
    const int group = QN_CRACK_GROUP;
    std::vector<std::string> notes;
    std::set<std::string> known;
    for (const Default& d : defaults_of(QN_wizard::crack)) known.insert(d.label);
    const std::set<std::string> angle_labels = [] {
        std::set<std::string> s = {kAngle};
        for (const char* f : kAngleFollowers) s.insert(f);
        return s;
    }();
    bool password_named = false;
    int masses = 0;
    for (size_t i = 0; i < entries.size(); i++) {
        const std::string& entry = entries[i];
        const int slot = i < loop_flags.size() ? loop_flags[i] : 0;
        const std::string label = Quelm_get_label(entry);
        std::string value;
        Quelm_scan_char_single(entry, label, value);
        if (label == kPassword) {
            if (!password_named)
                notes.push_back("the password entry S_severpass is ignored: passwords are never kept in a set-up");
            password_named = true;
            continue;
        }
        // The marker is already in place; loop flags are no entries of their own.
        if (label == "S_Crack" || label == "PRIVATE_LOOP_FLAG") continue;
        if (!known.count(label)) {
            notes.push_back("unknown entry " + label + " ignored");
            continue;
        }
        if (slot < 0) {
            notes.push_back("entry " + label + " has a loop slot out of range; ignored");
            continue;
        }
        int r;
        if (label == "S_mass") {
            const int occurrence = slot == 0 ? masses++ : masses - 1;
            if (occurrence < 0 || occurrence >= 10) {
                notes.push_back("S_mass entry beyond the tenth type ignored");
                continue;
            }
            r = QN_reset_bit_double_multi(group, occurrence, label, entry, slot);
        } else if (crack_text_labels().count(label)) {
            r = QN_reset_bit_char(group, label, entry, slot);
        } else if (angle_labels.count(label) && !is_number(value)) {
            // The solution values are "reset" until an interface search.
            if (value == "reset" && slot == 0) {
                r = QN_set_bit_char(group, label, "reset");
            } else {
                notes.push_back("entry " + label + "=" + value + " is no number; ignored");
                continue;
            }
        } else if (crack_int_labels().count(label)) {
            r = QN_reset_bit_int(group, label, entry, slot);
        } else {
            r = QN_reset_bit_double(group, label, entry, slot);
        }
        if (r == 0)
            notes.push_back("entry " + label + "=" + value + " is no number; ignored");
        else if (r < 0)
            notes.push_back("entry " + label + " (loop slot " + std::to_string(slot) + ") could not be stored; ignored");
    }
    warnings = join_lines(notes);
    return 1;
}

int QN_crack_load_status(const std::string& path, std::string& warnings, std::string& message) {
    std::vector<std::string> entries;
    std::vector<int> flags;
    warnings.clear();
    if (Quelm_read_add(path, entries, flags) < 0) {
        message = "Cannot read the status file " + path;
        return QN_FILE_ERROR;
    }
    const int applied = QN_crack_apply_status(entries, flags, warnings);
    if (applied < 0) {
        message = "the crack settings cannot be written to the store";
        return applied;
    }
    message = "Status loaded from " + path;
    return 1;
}

int QN_crack_save_status(const std::string& path, std::string& message) {
    int saved;
    {
        GroupView view(QN_wizard::crack, false);
        saved = QN_dump_status(path, QN_CRACK_GROUP);
    }
    if (saved != 1) {
        message = "Cannot write the status file " + path;
        return saved < 0 ? saved : QN_FILE_ERROR;
    }
    message = "Status saved to " + path;
    return 1;
}

// ---- Interface search ----------------------------------------------------------

int QN_crack_search(std::vector<scaned_data>& rows, std::string& message) {
    rows.clear();
    const std::string bottom = text_of(QN_CRACK_GROUP, "S_inputa");
    const std::string upper = text_of(QN_CRACK_GROUP, "S_inputb");
    QB_tools a, b;
    const std::pair<const std::string*, QB_tools*> crystals[2] = {{&bottom, &a}, {&upper, &b}};
    const char* const names[2] = {"bottom", "upper"};
    for (int k = 0; k < 2; k++) {
        const std::string& path = *crystals[k].first;
        std::string reason;
        if (!chosen(path) || !regular_file(path)) {
            message = std::string("ERROR: the ") + names[k] + " crystal file is not found" +
                      (chosen(path) ? ": " + path : std::string());
            return QN_REFUSED;
        }
        const int read = QB_read_file(crystals[k].second, path.c_str(), &reason);
        if (read % 2 == 0 || read == QB_READ_UNREADABLE || crystals[k].second->natoms < 1) {
            message = std::string("ERROR: the ") + names[k] + " crystal " + path + " cannot be read" +
                      (reason.empty() ? std::string() : ": " + reason);
            return QN_REFUSED;
        }
    }
    QN_scan_defaults();
    QN_scan_limits_from_store();
    std::string remarks;
    const int found = QB_mismatch_scan(&a, &b, rows, &remarks);
    message = std::to_string(found) + " interface solution" + (found == 1 ? "" : "s") + " found";
    if (!remarks.empty()) message += "\n" + remarks;
    return static_cast<int>(rows.size());
}

int QN_crack_choose(const std::vector<scaned_data>& rows, const std::vector<int>& chosen_rows, std::string& message) {
    std::vector<scaned_data> marked = rows;
    for (auto& r : marked) r.selected = 0;
    for (int k : chosen_rows) {
        if (k < 0 || static_cast<size_t>(k) >= rows.size()) {
            message = "there is no interface solution " + std::to_string(k + 1) + " (" + std::to_string(rows.size()) +
                      " found)";
            return QN_REFUSED;
        }
        marked[k].selected = 1;
    }
    const long count = std::count_if(marked.begin(), marked.end(), [](const scaned_data& r) { return r.selected; });
    if (count == 0) {
        message = "no interface solution chosen";
        return QN_REFUSED;
    }
    if (!valid_group(QN_CRACK_GROUP)) {
        message = "the store is not set up";
        return QN_REFUSED;
    }
    QN_tiltscan_save(marked);
    message = std::to_string(count) + " interface solution" + (count == 1 ? "" : "s") + " chosen";
    return static_cast<int>(count);
}

// ---- Type map, tasks, checks ---------------------------------------------------

std::vector<int> QN_wizard_type_map(int types, const std::vector<QN_type_link>& links) {
    std::vector<int> map(static_cast<size_t>(std::max(types, 0)));
    for (int t = 0; t < types; t++) map[t] = t + 1;
    for (const QN_type_link& link : links) {
        if (link.from <= 0 || link.from > types) continue;
        int to = 0;
        map[link.from - 1] = clamp_int(link.to, to) ? to : 0;
    }
    return map;
}

int QN_wizard_task_count(QN_wizard kind, std::string& message) {
    const int group = group_of(kind);
    if (!valid_group(group) || Quelm_data[group].bits.empty()) {
        message = "the " + std::string(QN_wizard_about(kind).name) + " settings are not set up";
        return QN_REFUSED;
    }
    int tasks;
    {
        GroupView view(kind, false);
        tasks = QN_sum_script(group);
    }
    if (tasks == QN_BAD_BIND)
        message = "the interface solutions are incomplete: S_anga and its nine followers need one value per solution";
    else if (tasks == QN_TOO_MANY_TASKS)
        message = "the loops give too many tasks";
    else if (tasks < 1)
        message = "the settings give no task";
    return tasks;
}

int QN_wizard_check(QN_wizard kind, const QN_wizard_extras& extras, std::string& message) {
    const int group = group_of(kind);
    std::vector<std::string> problems;
    if (!valid_group(group) || Quelm_data[group].bits.empty()) {
        message = "the " + std::string(QN_wizard_about(kind).name) + " settings are not set up";
        return QN_REFUSED;
    }
    const bool tilt = tilt_mode(kind);
    const std::string model = text_of(group, "S_inputa");
    if (!chosen(model) || !regular_file(model))
        problems.push_back(std::string(tilt ? "ERROR: Bottom crystal file not found" : "ERROR: Model file not found") +
                           (chosen(model) ? ": " + model : std::string()));
    if (tilt) {
        const std::string upper = text_of(group, "S_inputb");
        if (!chosen(upper) || !regular_file(upper))
            problems.push_back("ERROR: Upper crystal file not found" + (chosen(upper) ? ": " + upper : std::string()));
        if (QN_stored_text(group, kAngle, "reset") == "reset") problems.push_back("ERROR: Model not selected");
    }

    const int elenum = QN_stored_int(group, "S_elenum", 0);
    const int types = elenum + 1;
    if (elenum < 0 || elenum > 9) problems.push_back("the type sum must be 1 ... 10 (S_elenum " + std::to_string(elenum) + ")");
    for (int k = 0; k < std::min(types, 10); k++) {
        double mass = 0;
        if (!QN_scan_double_multi(group, k, "S_mass", mass) || !(mass > 0))
            problems.push_back("ERROR: the mass of type " + std::to_string(k + 1) + " must be above 0");
    }

    const std::string potential = text_of(group, "S_pot");
    if (!chosen(potential) || !regular_file(potential)) {
        problems.push_back("ERROR: Potential file not found" + (chosen(potential) ? ": " + potential : std::string()));
    } else if (types >= 1 && types <= 10) {
        QT_quelm pot;
        std::string why;
        if (!QT_read_quelm(potential, pot, why)) {
            problems.push_back("the potential file cannot be used: " + why);
        } else {
            for (int e : QN_wizard_type_map(types, extras.links))
                if (e < 1 || e > pot.n) {
                    problems.push_back("ERROR: Too much element required in potential file (element " +
                                       std::to_string(e) + " asked, the file has " + std::to_string(pot.n) + ")");
                    break;
                }
        }
    }

    const std::string script = text_of(group, "S_script");
    if (chosen(script) && !regular_file(script)) problems.push_back("ERROR: Job script not found: " + script);

    // The names the files take in a task folder: distinct, and one word each
    // (the engine reads the task script word by word).
    Package p;
    plan_package(kind, extras, p);
    std::set<std::string> names = {"input.qld", "run_no"};
    for (int k = 1; k <= kMaxImages; k++) names.insert("img" + std::to_string(k));
    std::vector<std::string> sent;
    if (chosen(potential)) sent.push_back(bare_name(potential));
    for (const auto& c : p.copies)
        if (chosen(c.first)) sent.push_back(c.second);
    for (const std::string& name : sent) {
        if (!QN_remote_name_ok(name) ||
            std::any_of(name.begin(), name.end(), [](unsigned char c) { return std::isspace(c) || c < 32; })) {
            problems.push_back("the file name \"" + name + "\" cannot be used in a task (no blanks or control characters)");
        } else if (!names.insert(name).second) {
            problems.push_back("two files of a task would share the name " + name);
        }
    }

    if (extras.images.size() > static_cast<size_t>(kMaxImages))
        problems.push_back("at most 5 images can be rendered");
    for (size_t k = 0; k < extras.images.size() && k < static_cast<size_t>(kMaxImages); k++) {
        const QN_image_setting& im = extras.images[k];
        if (im.width < 1 || im.height < 1)
            problems.push_back("image " + std::to_string(k + 1) + " needs a width and a height of at least 1");
        int ignored;
        if (!clamp_int(im.rotx, ignored) || !clamp_int(im.roty, ignored) || !clamp_int(im.rotz, ignored) ||
            !clamp_int(im.distance, ignored))
            problems.push_back("image " + std::to_string(k + 1) + " has a rotation or distance out of range");
    }
    for (int k = 1; k <= kMaxImages; k++) {
        const int colour = QN_stored_int(group, "S_img" + std::to_string(k), 0);
        const bool has = static_cast<size_t>(k) <= extras.images.size();
        if (colour != 0 && !has)
            problems.push_back("image " + std::to_string(k) + " has a colour mode (S_img" + std::to_string(k) +
                               ") but no settings");
        else if (colour == 0 && has)
            problems.push_back("image " + std::to_string(k) + " has settings but no colour mode (S_img" +
                               std::to_string(k) + " is 0)");
    }

    // A line end inside a value would start a new entry of the task script.
    for (const auto& bit : Quelm_data[group].bits)
        for (const auto& v : bit.values)
            if (v.find_first_of("\r\n") != std::string::npos) {
                problems.push_back("the value of " + Quelm_get_label(v) + " holds a line end");
                break;
            }

    std::string why;
    if (QN_wizard_task_count(kind, why) < 1) problems.push_back(why);

    if (!problems.empty()) {
        message = join_lines(problems);
        return QN_REFUSED;
    }
    message.clear();
    return 1;
}

// ---- Pack, stage, submit -------------------------------------------------------

int QN_wizard_pack(QN_wizard kind, const QN_wizard_extras& extras, const std::string& folder, bool overwrite,
                   std::string& message) {
    if (QN_wizard_check(kind, extras, message) != 1) return QN_REFUSED;
    if (folder.empty()) {
        message = "ERROR: Build folder failed: no folder given";
        return QN_REFUSED;
    }
    std::string why;
    const int tasks = QN_wizard_task_count(kind, why);
    Package p;
    plan_package(kind, extras, p);
    const fs::path root(folder);
    std::error_code ec;
    fs::create_directories(root, ec);
    if (!fs::is_directory(root, ec)) {
        message = "ERROR: Build folder failed: " + folder;
        return QN_FILE_ERROR;
    }
    // The re-mapped potential never replaces the user's potential itself.
    const fs::path pot_target = root / bare_name(p.potential);
    if (fs::exists(pot_target, ec) && fs::equivalent(pot_target, p.potential, ec)) {
        message = "the pack folder holds the potential file " + p.potential +
                  " itself; its re-mapped copy would replace it: choose another folder";
        return QN_REFUSED;
    }
    std::vector<std::string> targets = {pot_target.filename().string()};
    for (const auto& c : p.copies) {
        const fs::path t = root / c.second;
        if (!(fs::exists(t, ec) && fs::equivalent(t, c.first, ec))) targets.push_back(c.second);
    }
    for (int j = 1; j <= tasks; j++) targets.push_back("input" + std::to_string(j) + ".qld");
    for (size_t k = 1; k <= extras.images.size(); k++) targets.push_back("img" + std::to_string(k));
    if (!overwrite) {
        std::vector<std::string> existing;
        for (const auto& t : targets)
            if (fs::exists(root / t, ec)) existing.push_back(t);
        if (!existing.empty()) {
            std::string list;
            for (size_t i = 0; i < existing.size() && i < 5; i++) list += (i ? ", " : "") + existing[i];
            if (existing.size() > 5) list += ", …";
            message = folder + " holds " + std::to_string(existing.size()) + " of the files to write (" + list +
                      "); nothing was written (pack with overwrite to replace them)";
            return QN_WIZARD_FILES_EXIST;
        }
    } else {
        // Replacing a pack: task scripts and images of the old one beyond the
        // new counts go, so that no stale task is left behind.
        for (int j = tasks + 1; fs::is_regular_file(root / ("input" + std::to_string(j) + ".qld"), ec); j++)
            fs::remove(root / ("input" + std::to_string(j) + ".qld"), ec);
        for (size_t k = extras.images.size() + 1; k <= static_cast<size_t>(kMaxImages); k++)
            if (fs::is_regular_file(root / ("img" + std::to_string(k)), ec)) fs::remove(root / ("img" + std::to_string(k)), ec);
    }
    const int written = write_package(kind, extras, p, root, message);
    if (written < 1) return written;
    message = std::to_string(written) + " task" + (written == 1 ? "" : "s") + " packed in " + folder;
    return written;
}

int QN_wizard_stage(QN_wizard kind, const QN_wizard_extras& extras, const std::string& out_dir, bool overwrite,
                    std::string& message, std::vector<std::string>* shared) {
    if (QN_wizard_check(kind, extras, message) != 1) return QN_REFUSED;
    if (out_dir.empty()) {
        message = "no staging folder given";
        return QN_REFUSED;
    }
    Package p;
    plan_package(kind, extras, p);
    std::string why;
    const int tasks = QN_wizard_task_count(kind, why);
    const fs::path root(out_dir);
    std::error_code ec;
    const std::vector<std::string> names = p.shared_names();
    if (!overwrite) {
        for (int j = 1; j <= tasks; j++) {
            const fs::path dir = root / ("R" + std::to_string(j));
            if (fs::exists(dir, ec)) {
                message = dir.string() + " exists already; stage with overwrite to replace the task folders";
                return QN_REFUSED;
            }
        }
        if (shared)
            for (const auto& n : names)
                if (fs::exists(root / n, ec)) {
                    message = (root / n).string() + " exists already; stage with overwrite to replace it";
                    return QN_REFUSED;
                }
    }
    fs::create_directories(root, ec);
    if (!fs::is_directory(root, ec)) {
        message = "cannot create " + out_dir + (ec ? ": " + ec.message() : std::string());
        return QN_FILE_ERROR;
    }
    if (shared) {
        const fs::path pot_target = root / bare_name(p.potential);
        if (fs::exists(pot_target, ec) && fs::equivalent(pot_target, p.potential, ec)) {
            message = "the staging folder holds the potential file " + p.potential + " itself; choose another folder";
            return QN_REFUSED;
        }
    }
    for (int j = 1; fs::exists(root / ("R" + std::to_string(j)), ec); j++) {
        fs::remove_all(root / ("R" + std::to_string(j)), ec);
        if (ec) {
            message = "cannot remove " + (root / ("R" + std::to_string(j))).string() + ": " + ec.message();
            return QN_FILE_ERROR;
        }
    }
    // Everything is written into a private folder beside the task folders
    // first (same file system, so the files are moved, not copied).
    QB_private_folder work(".quelm_stage_", root.string());
    if (work.path.empty()) {
        message = "cannot create a private folder in " + out_dir;
        return QN_FILE_ERROR;
    }
    const int written = write_package(kind, extras, p, work.path, message);
    if (written < 1) return written;
    const fs::path from(work.path);
    for (int j = 1; j <= written; j++) {
        const fs::path dir = root / ("R" + std::to_string(j));
        fs::create_directory(dir, ec);
        if (ec) {
            message = "cannot create " + dir.string() + ": " + ec.message();
            return QN_FILE_ERROR;
        }
        fs::rename(from / ("input" + std::to_string(j) + ".qld"), dir / "input.qld", ec);
        if (ec) {
            message = "cannot move the task script into " + dir.string() + ": " + ec.message();
            return QN_FILE_ERROR;
        }
        for (size_t k = 1; k <= extras.images.size(); k++)
            if (!copy_file((from / ("img" + std::to_string(k))).string(), dir / ("img" + std::to_string(k)), message))
                return QN_FILE_ERROR;
        if (!write_text(dir / "run_no", "0\n", message)) return QN_FILE_ERROR;
        if (!shared)
            for (const auto& n : names)
                if (!copy_file((from / n).string(), dir / n, message)) return QN_FILE_ERROR;
    }
    if (shared) {
        for (const auto& n : names) {
            fs::rename(from / n, root / n, ec);
            if (ec) {
                message = "cannot move " + n + " into " + out_dir + ": " + ec.message();
                return QN_FILE_ERROR;
            }
        }
        *shared = names;
    }
    message = std::to_string(written) + " task" + (written == 1 ? "" : "s") + " staged in " + out_dir;
    return written;
}

QN_submit_report QN_wizard_submit(QN_wizard kind, const QN_wizard_extras& extras, const QN_ssh_options& options,
                                  const std::string& folder, const std::string& command, bool overwrite,
                                  QN_queue_request* queue) {
    QN_submit_report report;
    std::string message;
    if (QN_wizard_check(kind, extras, message) != 1) {
        report.error = message;
        return report;
    }
    std::error_code ec;
    const fs::path temp = fs::temp_directory_path(ec);
    if (ec) {
        report.error = "no temporary folder: " + ec.message();
        return report;
    }
    QB_private_folder work("quelm_wizard_", temp.string());
    if (work.path.empty()) {
        report.error = "cannot create a private staging folder";
        return report;
    }
    QN_submit_shared shared;
    const std::string staged = work.path + "/run";
    const int tasks = QN_wizard_stage(kind, extras, staged, true, message, &shared.files);
    if (tasks < 1) {
        report.error = message;
        return report;
    }
    shared.setup = kSetup;
    return QN_submit_tasks(options, staged, tasks, folder, command, overwrite, &shared, queue);
}

// ---- Crack results -------------------------------------------------------------

std::vector<std::vector<int>> QN_crack_blocks(std::string& message) {
    std::vector<std::vector<int>> blocks;
    const int tasks = QN_wizard_task_count(QN_wizard::crack, message);
    if (tasks < 1) return blocks;
    const int driver = Quelm_scan_dest_single(QN_CRACK_GROUP, kAngle);
    if (driver < 0) {
        message = "the crack settings have no S_anga";
        return blocks;
    }
    // Followers all come after S_anga, so its place value is the product of
    // the counts of the bits before it.
    const auto& bits = Quelm_data[QN_CRACK_GROUP].bits;
    long long place = 1;
    for (int i = 0; i < driver; i++)
        if (bits[i].value_count > 0) place *= bits[i].value_count;
    const long long b = std::max(bits[driver].value_count, 1);
    for (long long c = 0; c < tasks; c++) {
        if ((c / place) % b != 0) continue;
        std::vector<int> block;
        for (long long s = 0; s < b; s++) block.push_back(static_cast<int>(c + place * s + 1));
        blocks.push_back(std::move(block));
    }
    message = std::to_string(blocks.size()) + " block" + (blocks.size() == 1 ? "" : "s") + " of " +
              std::to_string(b) + " task" + (b == 1 ? "" : "s");
    return blocks;
}

QN_download_report QN_crack_download_standard(const QN_ssh_options& options, const std::string& folder,
                                              const std::string& save, QN_existing existing) {
    QN_download_report report;
    std::error_code ec;
    if (save.empty() || !fs::is_directory(save, ec)) {
        report.error = "Can not access save folder " + save;
        return report;
    }
    std::string message;
    const std::vector<std::vector<int>> blocks = QN_crack_blocks(message);
    if (blocks.empty()) {
        report.error = message;
        return report;
    }
    std::string quoted_folder;
    if (folder.empty() || !QN_shell_quote(folder, quoted_folder)) {
        report.error = "no usable server folder given";
        return report;
    }
    QN_ssh_session session;
    if (session.open(options) != QN_SSH_OK) {
        report.error = "Can not access sever: " + session.message();
        return report;
    }
    std::vector<std::string> names;
    for (size_t g = 0; g < blocks.size(); g++) {
        const std::string theta = "theta" + std::to_string(g + 1);
        std::string line = "cd -- " + quoted_folder + " && \"$HOME/bin/data_render\"";
        std::string used;
        for (int j : blocks[g]) {
            std::string a, b;
            const std::string r = "R" + std::to_string(j);
            QN_shell_quote(r + "/input.qld", a);
            QN_shell_quote(r + "/Quelm_globel_profile1.dat", b);
            line += " " + a + " " + b;
            used += (used.empty() ? "" : " ") + r;
        }
        line += " && mkdir -p result && cp theta.png result/" + theta + ".png && cp theta.dat result/" + theta +
                ".dat && cp union.log result/" + theta + ".log";
        int status = -1;
        std::string output;
        if (session.exec(line, &status, &output) != QN_SSH_OK) {
            report.failed.emplace_back("result/" + theta, "the renderer could not be run on " + used + ": " +
                                                              session.message());
            continue;
        }
        if (status != 0) {
            if (output.size() > 2000) output.erase(0, output.size() - 2000);
            while (!output.empty() && output.back() == '\n') output.pop_back();
            report.failed.emplace_back("result/" + theta, "the renderer on " + used + " ended with exit status " +
                                                              std::to_string(status) +
                                                              (output.empty() ? std::string() : ": " + output));
            continue;
        }
        for (const char* ext : {".png", ".dat", ".log"}) names.push_back("result/" + theta + ext);
    }
    session.close();
    if (names.empty()) return report;
    QN_download_report fetched = QNDF_download(options, folder, names, save, existing);
    if (!fetched.error.empty()) report.error = fetched.error;
    report.done = std::move(fetched.done);
    report.skipped = std::move(fetched.skipped);
    report.failed.insert(report.failed.end(), fetched.failed.begin(), fetched.failed.end());
    return report;
}
