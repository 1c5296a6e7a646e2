// Configurable simulation frames: template files, their store group and the
// LAMMPS input files of each task. See frame_template.h.
#include "simulation/frame_template.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <system_error>

#include "simulation/campaign.h"
#include "store/quelm_store.h"
#include "qb/qb_file.h"
#include "qb/qb_formats.h"
#include "qb/qb_text.h"
#include "qb/qb_tools.h"
#include "tools/potentials.h"

namespace fs = std::filesystem;

const char* const ELEMENT_NAME[109] = {
    "H",  "He", "Li", "Be", "B",  "C",  "N",  "O",  "F",  "Ne", "Na", "Mg", "Al", "Si", "P",  "S",  "Cl", "Ar",
    "K",  "Ca", "Sc", "Ti", "V",  "Cr", "Mn", "Fe", "Co", "Ni", "Cu", "Zn", "Ga", "Ge", "As", "Se", "Br", "Kr",
    "Rb", "Sr", "Y",  "Zr", "Nb", "Mo", "Tc", "Ru", "Rh", "Pd", "Ag", "Cd", "In", "Sn", "Sb", "Te", "I",  "Xe",
    "Cs", "Ba", "La", "Ce", "Pr", "Nd", "Pm", "Sm", "Eu", "Gd", "Tb", "Dy", "Ho", "Er", "Tm", "Yb", "Lu", "Hf",
    "Ta", "W",  "Re", "Os", "Ir", "Pt", "Au", "Hg", "Tl", "Pb", "Bi", "Po", "At", "Rn", "Fr", "Ra", "Ac", "Th",
    "Pa", "U",  "Np", "Pu", "Am", "Cm", "Bk", "Cf", "Es", "Fm", "Md", "No", "Lr", "Rf", "Db", "Sg", "Bh", "Hs",
    "Mt",
};

const char* const QN_FRAME_POTENTIAL_NAMES[8] = {
    "EAM", "EAM-Alloy", "EAM-FS", "Tersoff", "MEAM", "Custom", "Custom+1file", "Custom+2files",
};

namespace {

// Atom types a frame can describe: the ten mass/element pairs.
constexpr int TYPE_SLOTS = 10;

const char* const FIXED_LABELS[] = {
    "S_model",  "S_input",    "S_pot1",     "S_pot2",      "S_pot_cus",   "S_elenum",
    "S_potype", "S_mass",     "S_elemt",    "S_script",    "S_path",      "S_severip",
    "S_severfold", "S_severcomm", "S_severpass", "S_severname", "S_savefold",
};

// Names the task folder itself uses; an uploaded file must not take them.
const char* const RESERVED_NAMES[] = {"in", "in.variable", "in.potential"};

bool valid_group(int group) { return group >= 0 && static_cast<size_t>(group) < Quelm_data.size(); }

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

std::vector<std::string> split_tokens(const std::string& text) {
    std::vector<std::string> tokens;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && is_blank(text[i])) i++;
        const size_t start = i;
        while (i < text.size() && !is_blank(text[i])) i++;
        if (i > start) tokens.push_back(text.substr(start, i - start));
    }
    return tokens;
}

// The whole token as a number; false when anything but a number is in it.
bool parse_number(const std::string& token, double& out) {
    char* end = nullptr;
    const double v = QB_strtod(token.c_str(), &end);
    if (token.empty() || end != token.c_str() + token.size() || !std::isfinite(v)) return false;
    out = v;
    return true;
}

std::string join_path(const std::string& dir, const std::string& name) {
    return dir.empty() ? name : dir + "/" + name;
}

std::string file_name(const std::string& path) { return fs::path(path).filename().string(); }

// A text entry holds a path only when the user chose one.
bool is_chosen(const std::string& path) { return !path.empty() && path != "No_file" && path != "NULL"; }

bool has_blank_or_quote(const std::string& name) {
    for (char c : name)
        if (is_blank(c) || c == '"' || c == '\'') return true;
    return false;
}

bool is_reserved_name(const std::string& name) {
    for (const char* r : RESERVED_NAMES)
        if (name == r) return true;
    return false;
}

bool valid_variable_name(const std::string& label) {
    if (label.empty()) return false;
    for (char c : label)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) return false;
    return true;
}

bool is_field(QN_frame_field::Kind kind) {
    return kind == QN_frame_field::INT || kind == QN_frame_field::FLOAT || kind == QN_frame_field::LOOP ||
           kind == QN_frame_field::CHOICE;
}

std::string text_entry(int group, const std::string& label) {
    std::string out;
    return QN_scan_char_single(group, label, out) ? out : std::string();
}

int int_entry(int group, const std::string& label, int fallback) {
    int out = fallback;
    QN_scan_int_single(group, label, out);
    return out;
}

// The value text of an entry ("-LABEL=VALUE" → "VALUE").
std::string value_of(const std::string& entry) {
    const size_t eq = entry.find('=');
    return eq == std::string::npos ? std::string() : entry.substr(eq + 1);
}

// The template fields of a group in store order: every bit with values whose
// label is not a fixed one.
std::vector<int> field_bits(int group) {
    std::vector<int> out;
    if (!valid_group(group)) return out;
    const auto& bits = Quelm_data[group].bits;
    for (size_t i = 0; i < bits.size(); i++) {
        if (bits[i].values.empty()) continue;
        if (QN_frame_is_fixed_label(Quelm_get_label(bits[i].values[0]))) continue;
        out.push_back(static_cast<int>(i));
    }
    return out;
}

// Product of the value counts of the fields; -1 when it does not fit.
long long task_product(int group) {
    long long tasks = 1;
    for (int i : field_bits(group)) {
        tasks *= static_cast<long long>(Quelm_data[group].bits[i].values.size());
        if (tasks > INT_MAX - 1) return -1;
    }
    return tasks;
}

// The custom pair-lines file: as stored, or inside config_dir when a
// relative path is not found from the working folder.
std::string custom_file(int group, const std::string& config_dir) {
    const std::string path = text_entry(group, "S_pot_cus");
    if (!is_chosen(path) || QB_file_exists(path) || fs::path(path).is_absolute()) return path;
    const std::string inside = join_path(config_dir, path);
    return QB_file_exists(inside) ? inside : path;
}

bool is_custom(int type) { return type == QN_POT_CUSTOM || type == QN_POT_CUSTOM_1 || type == QN_POT_CUSTOM_2; }

// Store labels of the files a potential type uploads, in order.
std::vector<std::string> potential_labels(int type) {
    switch (type) {
    case QN_POT_EAM:
    case QN_POT_EAM_ALLOY:
    case QN_POT_EAM_FS:
    case QN_POT_TERSOFF:
    case QN_POT_CUSTOM_1:
        return {"S_pot1"};
    case QN_POT_MEAM:
    case QN_POT_CUSTOM_2:
        return {"S_pot1", "S_pot2"};
    default:
        return {};
    }
}

// Element symbol of type k + 1 ("X" for an index outside the table; the
// check refuses such a frame).
std::string element_of(int group, int k) {
    int e = -1;
    if (!QN_scan_int_multi(group, k, "S_elemt", e) || e < 0 || e >= QN_ELEMENT_COUNT) return "X";
    return ELEMENT_NAME[e];
}

int type_slots_used(int group) {
    const int n = int_entry(group, "S_elenum", 0);
    return n < 0 ? 1 : (n >= TYPE_SLOTS ? TYPE_SLOTS : n + 1);
}

bool write_text(const std::string& path, const std::string& text, std::string& message) {
    QB_output_file out(path);
    if (!out) {
        message = "cannot create " + path;
        return false;
    }
    if (std::fwrite(text.data(), 1, text.size(), out.get()) != text.size() || !out.commit()) {
        out.discard();
        message = "cannot write " + path;
        return false;
    }
    return true;
}

bool copy_into(const std::string& from, const std::string& to, std::string& message) {
    std::error_code ec;
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
    if (ec) {
        message = "cannot copy " + from + " to " + to + ": " + ec.message();
        return false;
    }
    return true;
}

void add_line(std::string& message, const std::string& line) {
    if (!message.empty()) message += "\n";
    message += line;
}

}  // namespace

std::string QN_frame_display(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        if (c == '_') c = ' ';
    return out;
}

int QN_frame_read_list(const std::string& config_dir, std::vector<std::string>& paths, std::string& message) {
    paths.clear();
    message.clear();
    std::string text, reason;
    if (!QB_read_text_file(join_path(config_dir, "config_list.txt"), text, &reason)) {
        message = "cannot read the template list: " + reason;
        return -1;
    }
    for (const std::string& token : split_tokens(text)) paths.push_back(join_path(config_dir, token));
    return static_cast<int>(paths.size());
}

int QN_frame_read_template(const std::string& path, QN_frame_template& frame, std::string& message) {
    frame = QN_frame_template();
    frame.path = path;
    message.clear();
    std::string text, reason;
    if (!QB_read_text_file(path, text, &reason)) {
        message = "cannot read the template: " + reason;
        return -1;
    }
    const std::vector<std::string> tok = split_tokens(text);
    if (tok.size() < 2) {
        message = "the template " + path + " has no name (its second word)";
        return -2;
    }
    frame.name = QN_frame_display(tok[1]);
    auto warn = [&](const std::string& w) { frame.warnings.push_back(w); };

    int open_groups = 0;
    bool seen_in = false;
    const size_t n = tok.size();
    size_t i = 2;
    // Arguments of the directive at i: false (and a warning) when the file
    // ends before them.
    auto has_args = [&](size_t count) {
        if (n - i - 1 >= count) return true;
        warn("\"" + tok[i] + "\" at the end of the template lacks its arguments");
        return false;
    };
    while (i < n) {
        const std::string& key = tok[i];
        QN_frame_field f;
        if (key == "Region:") {
            if (!has_args(1)) break;
            f.kind = QN_frame_field::REGION;
            f.text = tok[i + 1];
            if (f.text != "Setting" && f.text != "Output")
                warn("Region: \"" + f.text + "\" is no section of the frame (Setting or Output)");
            if (open_groups > 0) warn("Region: \"" + f.text + "\" starts inside an open Group:");
            frame.fields.push_back(f);
            i += 2;
        } else if (key == "Tip:" || key == "Group:") {
            if (!has_args(1)) break;
            f.kind = key == "Tip:" ? QN_frame_field::TIP : QN_frame_field::GROUP;
            f.text = tok[i + 1];
            if (f.kind == QN_frame_field::GROUP && open_groups++ > 0)
                warn("Group: \"" + f.text + "\" opens inside another group");
            frame.fields.push_back(f);
            i += 2;
        } else if (key == "GroupEnd") {
            if (open_groups == 0)
                warn("GroupEnd without an open Group:");
            else
                open_groups--;
            f.kind = QN_frame_field::GROUP_END;
            frame.fields.push_back(f);
            i += 1;
        } else if (key == "Int:" || key == "Float:" || key == "Loop:") {
            if (!has_args(2)) break;
            f.kind = key == "Int:"     ? QN_frame_field::INT
                     : key == "Float:" ? QN_frame_field::FLOAT
                                       : QN_frame_field::LOOP;
            f.text = tok[i + 1];
            double v = 0;
            if (!parse_number(tok[i + 2], v))
                warn(key + " \"" + f.text + "\" has the default \"" + tok[i + 2] + "\", which is no number (0 taken)");
            if (f.kind == QN_frame_field::INT) {
                if (v >= 2147483648.0 || v <= -2147483649.0) {
                    warn("Int: \"" + f.text + "\" has a default outside the integer range (0 taken)");
                    v = 0;
                }
                v = std::trunc(v);
            }
            f.value = v;
            frame.fields.push_back(f);
            i += 3;
        } else if (key == "Choice:") {
            if (!has_args(2)) break;
            f.kind = QN_frame_field::CHOICE;
            f.text = tok[i + 1];
            double count = 0;
            if (!parse_number(tok[i + 2], count) || count < 1 || count != std::trunc(count) ||
                count > static_cast<double>(n)) {
                warn("Choice: \"" + f.text + "\" has the item count \"" + tok[i + 2] +
                     "\", which is no positive integer (skipped)");
                i += 3;
                continue;
            }
            const size_t items = static_cast<size_t>(count);
            if (n - i - 3 < items + 1) {
                warn("Choice: \"" + f.text + "\" lacks its items or default at the end of the template");
                break;
            }
            f.items.assign(tok.begin() + static_cast<long>(i + 3), tok.begin() + static_cast<long>(i + 3 + items));
            double v = 0;
            const std::string& d = tok[i + 3 + items];
            if (!parse_number(d, v) || std::trunc(v) < 0 || std::trunc(v) >= static_cast<double>(items)) {
                warn("Choice: \"" + f.text + "\" has the default \"" + d + "\" outside its items (0 taken)");
                v = 0;
            }
            f.value = std::trunc(v);
            frame.fields.push_back(f);
            i += 4 + items;
        } else if (key == "In:") {
            if (!has_args(1)) break;
            if (seen_in) warn("a second In: \"" + tok[i + 1] + "\" replaces \"" + frame.input_script + "\"");
            frame.input_script = tok[i + 1];
            seen_in = true;
            i += 2;
        } else {
            i += 1;  // not a directive
        }
    }
    if (open_groups > 0) warn("a Group: is not closed by GroupEnd");
    if (!seen_in) warn("the template names no input script (In:)");
    return 1;
}

bool QN_frame_is_fixed_label(const std::string& label) {
    for (const char* l : FIXED_LABELS)
        if (label == l) return true;
    for (const auto& job : QN_job_labels())
        if (label == job.first) return true;
    return false;
}

int QN_frame_write_defaults(int group, const QN_frame_template& frame) {
    if (QN_reset_group(group, frame.name) < 0) return QN_REFUSED;
    int ok = 1;
    auto need = [&](int rc) {
        if (rc < 0) ok = rc;
    };
    need(QN_set_bit_int(group, "S_model", 0, 0));
    need(QN_set_bit_char(group, "S_input", "No_file"));
    need(QN_set_bit_char(group, "S_pot1", "NULL"));
    need(QN_set_bit_char(group, "S_pot2", "NULL"));
    need(QN_set_bit_char(group, "S_pot_cus", "NULL"));
    need(QN_set_bit_int(group, "S_elenum", 0, 0));
    need(QN_set_bit_int(group, "S_potype", 0, 0));
    for (int k = 0; k < TYPE_SLOTS; k++) {
        need(QN_set_bit_double_multi(group, k, "S_mass", 0, 0));
        need(QN_set_bit_int_multi(group, k, "S_elemt", 0, 0));
    }
    // A field under a fixed label would overwrite a fixed entry, and a label
    // the store cannot hold is refused by it: QN_frame_check reports both,
    // here they are left out.
    for (const QN_frame_field& f : frame.fields) {
        if (!is_field(f.kind) || QN_frame_is_fixed_label(f.text)) continue;
        if (f.kind == QN_frame_field::INT || f.kind == QN_frame_field::CHOICE)
            QN_set_bit_int(group, f.text, static_cast<int>(f.value), 0);
        else
            QN_set_bit_double(group, f.text, f.value, 0);
    }
    for (const char* label : {"S_script", "S_path", "S_severip", "S_severfold", "S_severcomm"})
        need(QN_set_bit_char(group, label, "No_file"));
    // The password is empty until the user types it.
    need(QN_set_bit_char(group, "S_severpass", ""));
    need(QN_set_bit_char(group, "S_severname", "No_file"));
    need(QN_set_bit_char(group, "S_savefold", "No_file"));
    // The scheduler of a submission and its job settings.
    for (const auto& [label, value] : QN_job_labels()) need(QN_set_bit_char(group, label, value));
    return ok;
}

int QN_frame_task_count(int group) {
    if (!valid_group(group)) return QN_REFUSED;
    const long long t = task_product(group);
    return t < 0 ? QN_TOO_MANY_TASKS : static_cast<int>(t);
}

std::string QN_frame_variable_text(int group, int task) {
    const int tasks = QN_frame_task_count(group);
    if (tasks < 1 || task < 0 || task >= tasks) return std::string();
    std::string out = "read_data " + file_name(text_entry(group, "S_input")) + "\n";
    long long place = 1;
    for (int i : field_bits(group)) {
        const auto& values = Quelm_data[group].bits[i].values;
        const std::string label = Quelm_get_label(values[0]);
        const int n = static_cast<int>(values.size());
        if (n == 1) {
            out += "variable " + label + " equal " + value_of(values[0]) + "\n";
            continue;
        }
        const int slot = QN_id_extract(0, task, static_cast<int>(place), n);
        const double v = QB_strtod(value_of(values[slot]).c_str(), nullptr);
        out += "variable " + label + QB_format(" equal %lf\n", v);
        place *= n;
    }
    return out;
}

int QN_dump_variable(const std::string& base, int group, std::string& message) {
    message.clear();
    const int tasks = QN_frame_task_count(group);
    if (tasks < 1) {
        message = tasks == QN_TOO_MANY_TASKS ? "the loops give more tasks than can be counted"
                                             : "no frame group " + std::to_string(group);
        return tasks < 0 ? tasks : QN_REFUSED;
    }
    for (int t = 0; t < tasks; t++)
        if (!write_text(base + std::to_string(t + 1), QN_frame_variable_text(group, t), message)) return QN_FILE_ERROR;
    return tasks + 1;
}

std::string QN_frame_potential_text(int group, const std::string& config_dir) {
    if (!valid_group(group)) return std::string();
    const int type = int_entry(group, "S_potype", -1);
    const int types = type_slots_used(group);
    std::string elements;
    for (int k = 0; k < types; k++) elements += " " + element_of(group, k);
    const std::string pot1 = file_name(text_entry(group, "S_pot1"));
    std::string out;
    switch (type) {
    case QN_POT_EAM:
        // A funcfl file holds one element and takes no element names.
        out = "pair_style eam\npair_coeff * * " + pot1 + "\n";
        break;
    case QN_POT_EAM_ALLOY:
        out = "pair_style eam/alloy\npair_coeff * * " + pot1 + elements + "\n";
        break;
    case QN_POT_EAM_FS:
        out = "pair_style eam/fs\npair_coeff * * " + pot1 + elements + "\n";
        break;
    case QN_POT_TERSOFF:
        out = "pair_style tersoff\npair_coeff * * " + pot1 + elements + "\n";
        break;
    case QN_POT_MEAM:
        out = "pair_style meam\npair_coeff * * " + pot1 + elements + " " + file_name(text_entry(group, "S_pot2")) +
              elements + "\n";
        break;
    case QN_POT_CUSTOM:
    case QN_POT_CUSTOM_1:
    case QN_POT_CUSTOM_2: {
        std::string lines;
        if (QB_read_text_file(custom_file(group, config_dir), lines) && !lines.empty()) {
            out = lines;
            if (out.back() != '\n') out += "\n";
        }
        break;
    }
    default:
        break;
    }
    for (int k = 0; k < types; k++) {
        double mass = 0;
        QN_scan_double_multi(group, k, "S_mass", mass);
        out += QB_format("mass %d %lf\n", k + 1, mass);
    }
    return out;
}

int QN_frame_dump_potential(const std::string& path, int group, const std::string& config_dir,
                            std::string& message) {
    message.clear();
    if (!valid_group(group)) {
        message = "no frame group " + std::to_string(group);
        return QN_REFUSED;
    }
    if (is_custom(int_entry(group, "S_potype", -1))) {
        std::string lines, reason;
        if (!QB_read_text_file(custom_file(group, config_dir), lines, &reason)) {
            message = "ERROR: Potential file not found: the custom pair lines: " + reason;
            return QN_FILE_ERROR;
        }
    }
    return write_text(path, QN_frame_potential_text(group, config_dir), message) ? 1 : QN_FILE_ERROR;
}

std::vector<std::string> QN_frame_potential_files(int group) {
    std::vector<std::string> out;
    if (!valid_group(group)) return out;
    for (const std::string& label : potential_labels(int_entry(group, "S_potype", -1)))
        out.push_back(text_entry(group, label));
    return out;
}

int QN_frame_check(int group, const QN_frame_template& frame, const std::string& config_dir, std::string& message) {
    message.clear();
    if (!valid_group(group)) {
        message = "no frame group " + std::to_string(group);
        return QN_REFUSED;
    }
    std::string problems;
    auto problem = [&](const std::string& line) { add_line(problems, line); };
    // File names that land in one task folder: two of one name would
    // overwrite each other.
    std::set<std::string> names;
    auto upload_name = [&](const std::string& path, const std::string& what) {
        const std::string name = file_name(path);
        if (has_blank_or_quote(name))
            problem("The " + what + " name \"" + name + "\" holds a blank, tab or quote, which LAMMPS cannot read");
        if (is_reserved_name(name))
            problem("The " + what + " is named \"" + name + "\", a name the task folder uses itself");
        else if (!names.insert(name).second)
            problem("The " + what + " \"" + name + "\" has the file name of another file of the task");
    };

    // Model.
    const int types = int_entry(group, "S_elenum", -1) + 1;
    const std::string model = text_entry(group, "S_input");
    if (!is_chosen(model)) {
        problem("No model file is chosen");
    } else if (!QB_file_exists(model)) {
        problem("The model file " + model + " does not exist");
    } else {
        upload_name(model, "model file");
        QB_tools s;
        std::string reason;
        const int code = QB_read_file(&s, model.c_str(), &reason);
        if (code == 3 || code == 5)
            problem("The model file " + model + " is a " + (code == 3 ? "LAMMPS dump" : "POSCAR file") +
                    "; read_data needs a LAMMPS data file");
        else if (code != 1)
            problem("The model file " + model + " cannot be read as a LAMMPS data file" +
                    (reason.empty() ? std::string() : ": " + reason));
        else if (s.ntypes != types)
            problem(QB_format("The model has %d atom types but %d are set in Type Sum", s.ntypes, types));
    }

    // Types: masses and elements.
    if (types < 1 || types > TYPE_SLOTS) {
        problem(QB_format("Type Sum %d is outside 1 ... %d", types, TYPE_SLOTS));
    } else {
        for (int k = 0; k < types; k++) {
            double mass = 0;
            if (!QN_scan_double_multi(group, k, "S_mass", mass) || !(mass > 0))
                problem(QB_format("The mass of atom type %d is %lf; it must be above 0", k + 1, mass));
            int e = -1;
            if (!QN_scan_int_multi(group, k, "S_elemt", e) || e < 0 || e >= QN_ELEMENT_COUNT)
                problem(QB_format("Atom type %d has no element (index %d)", k + 1, e));
        }
    }

    // Potential.
    const int type = int_entry(group, "S_potype", -1);
    if (type < 0 || type > QN_POT_CUSTOM_2) {
        problem(QB_format("The potential type %d is none of the %d types", type, 8));
    } else {
        if (type == QN_POT_MEAM)
            problem("The potential type MEAM (pair_style meam) is not available in the installed LAMMPS");
        for (const std::string& label : potential_labels(type)) {
            const std::string path = text_entry(group, label);
            if (!is_chosen(path) || !QB_file_exists(path))
                problem("ERROR: Potential file not found: " + (is_chosen(path) ? path : "none chosen") + " (" +
                        label + ")");
            else
                upload_name(path, "potential file");
        }
        if (is_custom(type)) {
            const std::string path = custom_file(group, config_dir);
            if (!is_chosen(path) || !QB_file_exists(path))
                problem("ERROR: Potential file not found: " + (is_chosen(path) ? path : "none chosen") +
                        " (the custom pair lines, S_pot_cus)");
        }
    }

    // Fields.
    std::set<std::string> labels;
    for (const QN_frame_field& f : frame.fields) {
        if (!is_field(f.kind)) continue;
        if (!valid_variable_name(f.text))
            problem("The field label \"" + f.text + "\" is no LAMMPS variable name (letters, digits and _ only)");
        else if (QN_frame_is_fixed_label(f.text))
            problem("The field label \"" + f.text + "\" is one the frame uses itself");
        else if (!labels.insert(f.text).second)
            problem("The field label \"" + f.text + "\" is used twice");
        else if (Quelm_scan_dest_single(group, f.text) < 0)
            problem("The field \"" + f.text + "\" has no value");
    }
    if (QN_frame_task_count(group) < 1) problem("The loops give more tasks than can be counted");

    // Scripts.
    if (frame.input_script.empty())
        problem("The template names no input script (In:)");
    else if (!QB_file_exists(join_path(config_dir, frame.input_script)))
        problem("The input script " + join_path(config_dir, frame.input_script) + " does not exist");
    const std::string script = text_entry(group, "S_script");
    if (is_chosen(script)) {
        if (!QB_file_exists(script))
            problem("The job script " + script + " does not exist");
        else
            upload_name(script, "job script");
    }

    if (!problems.empty()) {
        message = problems;
        return QN_REFUSED;
    }
    return 1;
}

int QN_frame_stage(int group, const QN_frame_template& frame, const std::string& config_dir, const std::string& out_dir,
                   bool overwrite, std::string& message) {
    if (QN_frame_check(group, frame, config_dir, message) < 0) return QN_REFUSED;
    const int tasks = QN_frame_task_count(group);
    const fs::path root(out_dir);
    std::error_code ec;
    // Without overwrite, no task folder of an earlier staging is touched.
    for (int j = 1; j <= tasks && !overwrite; j++) {
        const fs::path dir = root / ("R" + std::to_string(j));
        if (fs::exists(dir, ec)) {
            message = dir.string() + " exists already; stage with overwrite to replace the task folders";
            return QN_REFUSED;
        }
    }
    fs::create_directories(root, ec);
    if (ec || !fs::is_directory(root)) {
        message = "cannot create " + out_dir + (ec ? ": " + ec.message() : std::string());
        return QN_FILE_ERROR;
    }
    // Replacing a staging: the old task folders go, those beyond the new
    // task count too, so that no stale task is left behind.
    for (int j = 1; fs::exists(root / ("R" + std::to_string(j)), ec); j++) {
        fs::remove_all(root / ("R" + std::to_string(j)), ec);
        if (ec) {
            message = "cannot remove " + (root / ("R" + std::to_string(j))).string() + ": " + ec.message();
            return QN_FILE_ERROR;
        }
    }

    std::vector<std::string> copies = {text_entry(group, "S_input")};
    const std::string script = text_entry(group, "S_script");
    if (is_chosen(script)) copies.push_back(script);
    for (const std::string& p : QN_frame_potential_files(group)) copies.push_back(p);
    const std::string potential = QN_frame_potential_text(group, config_dir);
    const std::string input = join_path(config_dir, frame.input_script);

    for (int j = 1; j <= tasks; j++) {
        const fs::path dir = root / ("R" + std::to_string(j));
        fs::create_directory(dir, ec);
        if (ec) {
            message = "cannot create " + dir.string() + ": " + ec.message();
            return QN_FILE_ERROR;
        }
        for (const std::string& from : copies)
            if (!copy_into(from, (dir / file_name(from)).string(), message)) return QN_FILE_ERROR;
        if (!copy_into(input, (dir / "in").string(), message)) return QN_FILE_ERROR;
        if (!write_text((dir / "in.variable").string(), QN_frame_variable_text(group, j - 1), message) ||
            !write_text((dir / "in.potential").string(), potential, message))
            return QN_FILE_ERROR;
    }
    message.clear();
    return tasks;
}

// ---- The campaign command line ----------------------------------------------

namespace {

bool whole_number(const std::string& text, double& value) {
    char* end = nullptr;
    value = QB_strtod(text.c_str(), &end);
    return !text.empty() && end && *end == '\0' && std::isfinite(value);
}

// The shortest text that reads back as the value ("300", "0.1", "63.546").
std::string short_number(double v) { return QB_format("%.10g", v); }

}  // namespace

int QN_frame_element_index(const std::string& text) {
    for (int e = 0; e < QN_ELEMENT_COUNT; e++)
        if (text == ELEMENT_NAME[e]) return e;
    double v = 0;
    if (whole_number(text, v) && v == std::floor(v) && v >= 0 && v < QN_ELEMENT_COUNT) return static_cast<int>(v);
    return -1;
}

int QN_frame_set_elements(int group, const std::string& list, std::string& message) {
    message.clear();
    if (!valid_group(group)) {
        message = "no frame group " + std::to_string(group);
        return QN_REFUSED;
    }
    const std::vector<std::string> names = QB_split_elenames(list);
    if (names.empty()) {
        message = "--elements needs one element per atom type, e.g. Cu,Ni";
        return QN_REFUSED;
    }
    if (static_cast<int>(names.size()) > TYPE_SLOTS) {
        message = QB_format("--elements gives %d elements; a frame has at most %d atom types",
                            static_cast<int>(names.size()), TYPE_SLOTS);
        return QN_REFUSED;
    }
    std::vector<int> indices;
    for (size_t k = 0; k < names.size(); k++) {
        const int e = QN_frame_element_index(names[k]);
        if (e < 0) {
            message = QB_format("--elements: \"%s\" (type %d) is no element symbol", names[k].c_str(),
                                static_cast<int>(k) + 1);
            return QN_REFUSED;
        }
        indices.push_back(e);
    }
    for (size_t k = 0; k < indices.size(); k++) QN_set_bit_int_multi(group, static_cast<int>(k), "S_elemt", indices[k], 0);
    QN_set_bit_int(group, "S_elenum", static_cast<int>(indices.size()) - 1, 0);
    return 1;
}

int QN_frame_default_masses(int group, std::vector<std::string>& notes, int named) {
    notes.clear();
    if (!valid_group(group)) return QN_REFUSED;
    const int types = named < 0 ? type_slots_used(group) : std::min(named, type_slots_used(group));
    for (int k = 0; k < types; k++) {
        double mass = 0;
        QN_scan_double_multi(group, k, "S_mass", mass);
        if (mass > 0 || mass < 0) continue;  // a typed mass wins; a negative one is the check's to refuse
        const std::string name = element_of(group, k);
        const double standard = QB_element_mass(name);
        if (!(standard > 0)) continue;
        QN_set_bit_double_multi(group, k, "S_mass", standard, 0);
        notes.push_back(QB_format("type %d %s: mass %s (standard atomic weight)", k + 1, name.c_str(),
                                  short_number(standard).c_str()));
    }
    return 1;
}

int QN_frame_parse_loop(const std::string& text, std::string& label, std::vector<double>& values,
                        std::string& message) {
    message.clear();
    values.clear();
    label.clear();
    const size_t eq = text.find('=');
    const std::string usage = "give --loop LABEL=START:END:STEP or --loop LABEL=V1,V2,...";
    if (eq == std::string::npos || eq == 0 || eq + 1 == text.size()) {
        message = "--loop " + text + ": " + usage;
        return QN_REFUSED;
    }
    label = text.substr(0, eq);
    const std::string rest = text.substr(eq + 1);
    const char sep = rest.find(':') != std::string::npos ? ':' : ',';
    std::vector<double> parts;
    size_t start = 0;
    while (true) {
        const size_t end = rest.find(sep, start);
        double v = 0;
        const std::string part = rest.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!whole_number(part, v)) {
            message = "--loop " + text + ": \"" + part + "\" is no number; " + usage;
            return QN_REFUSED;
        }
        parts.push_back(v);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    if (sep == ',') {
        values = parts;
        return 1;
    }
    if (parts.size() != 3) {
        message = "--loop " + text + ": a range is START:END:STEP";
        return QN_REFUSED;
    }
    const double first = parts[0], last = parts[1], step = parts[2];
    if (step == 0 || (last - first) * step < 0) {
        message = "--loop " + text + ": the step must be non-zero and go from START towards END";
        return QN_REFUSED;
    }
    // A tolerance of a millionth of a step so that 0.1:0.5:0.1 ends at 0.5.
    const double count = std::floor((last - first) / step + 1e-6) + 1;
    if (!(count <= 100000)) {
        message = "--loop " + text + ": more than 100000 values";
        return QN_REFUSED;
    }
    for (int i = 0; i < static_cast<int>(count); i++) {
        double v = first + i * step;
        if (std::fabs(v) < std::fabs(step) * 1e-9) v = 0;  // no -1e-17 from rounding
        values.push_back(v);
    }
    return 1;
}

int QN_frame_set_loop(int group, const QN_frame_template& frame, const std::string& label,
                      const std::vector<double>& values, std::string& message) {
    message.clear();
    std::string loops;
    bool found = false;
    for (const auto& f : frame.fields) {
        if (f.kind != QN_frame_field::LOOP) continue;
        loops += (loops.empty() ? "" : ", ") + f.text;
        if (f.text == label) found = true;
    }
    if (!found) {
        message = label + " is no loop of " + frame.name + "; " +
                  (loops.empty() ? std::string("it has no loop fields") : "its loops: " + loops);
        return QN_REFUSED;
    }
    if (values.empty() || !valid_group(group)) {
        message = "--loop " + label + " has no values";
        return QN_REFUSED;
    }
    for (size_t s = 0; s < values.size(); s++)
        if (QN_set_bit_double_multi(group, 0, label, values[s], static_cast<int>(s)) < 0) {
            message = "cannot store the values of " + label;
            return QN_REFUSED;
        }
    return 1;
}

std::string QN_frame_task_values(int group, int task) {
    const int tasks = QN_frame_task_count(group);
    if (tasks < 1 || task < 0 || task >= tasks) return std::string();
    std::string out;
    long long place = 1;
    for (int i : field_bits(group)) {
        const auto& values = Quelm_data[group].bits[i].values;
        const int n = static_cast<int>(values.size());
        if (n == 1) continue;
        const int slot = QN_id_extract(0, task, static_cast<int>(place), n);
        const double v = QB_strtod(value_of(values[slot]).c_str(), nullptr);
        out += (out.empty() ? "" : " ") + Quelm_get_label(values[0]) + "=" + short_number(v);
        place *= n;
    }
    return out;
}

namespace {

std::vector<std::string> words_of(const std::string& text) {
    std::vector<std::string> out;
    std::string w;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            if (!w.empty()) out.push_back(w);
            w.clear();
        } else {
            w += c;
        }
    }
    if (!w.empty()) out.push_back(w);
    return out;
}

bool is_number(const std::string& w) {
    double v = 0;
    return whole_number(w, v);
}

// Every value of a funcfl file: the header and Nrho + 2 Nr table values.
bool is_funcfl(const std::string& text) {
    if (!QT_looks_like_funcfl(text)) return false;
    const size_t first = text.find('\n');
    if (first == std::string::npos) return false;
    const std::vector<std::string> w = words_of(text.substr(first + 1));
    if (w.size() < 9) return false;
    const double nrho = QB_strtod(w[4].c_str(), nullptr), nr = QB_strtod(w[6].c_str(), nullptr);
    if (!(nrho > 0) || !(nr > 0)) return false;
    if (static_cast<double>(w.size()) != 9 + nrho + 2 * nr) return false;
    for (size_t i = 0; i < w.size(); i++)
        if (i != 3 && !is_number(w[i])) return false;  // word 4 is the lattice name ("FCC")
    return true;
}

// Tersoff entries: three element words and fourteen numbers each, comments
// from '#' on.
bool is_tersoff(const std::string& text) {
    std::string kept;
    bool comment = false;
    for (char c : text) {
        if (c == '#') comment = true;
        if (c == '\n') comment = false;
        if (!comment) kept += c;
    }
    const std::vector<std::string> w = words_of(kept);
    if (w.empty() || w.size() % 17 != 0) return false;
    for (size_t i = 0; i < w.size(); i++) {
        const bool element_word = i % 17 < 3;
        if (element_word ? QN_frame_element_index(w[i]) < 0 || is_number(w[i]) : !is_number(w[i])) return false;
    }
    return true;
}

}  // namespace

int QN_frame_potential_kind(const std::string& path, int& type, std::string& message) {
    message.clear();
    std::string text, reason;
    if (!QB_read_text_file(path, text, &reason)) {
        message = "cannot read the potential file " + path + (reason.empty() ? std::string() : ": " + reason);
        return QN_REFUSED;
    }
    std::vector<int> kinds;
    if (is_funcfl(text)) kinds.push_back(QN_POT_EAM);
    QT_setfl_layout layout;
    std::string setfl_message;
    if (QT_setfl_layout_of(path, layout, setfl_message))
        kinds.push_back(layout == QT_setfl_layout::alloy ? QN_POT_EAM_ALLOY : QN_POT_EAM_FS);
    else if (setfl_message.find("fits both") != std::string::npos)
        // One element: both layouts hold the same single density table, and
        // eam/alloy and eam/fs read the file alike.
        kinds.push_back(QN_POT_EAM_ALLOY);
    if (is_tersoff(text)) kinds.push_back(QN_POT_TERSOFF);
    if (kinds.size() == 1) {
        type = kinds[0];
        return 1;
    }
    const std::string choices =
        "-S_potype=0 (EAM funcfl), 1 (EAM/alloy setfl), 2 (EAM/fs Finnis-Sinclair) or 3 (Tersoff) with -S_pot1=FILE";
    if (kinds.empty()) {
        message = path + " is none of the potential files recognised here (EAM funcfl, EAM/alloy setfl, EAM/fs "
                         "Finnis-Sinclair, Tersoff); give its type: " + choices;
    } else {
        std::string names;
        for (int k : kinds) names += (names.empty() ? "" : " and ") + std::string(QN_FRAME_POTENTIAL_NAMES[k]);
        message = path + " fits " + names + "; give its type: " + choices;
    }
    return QN_REFUSED;
}
