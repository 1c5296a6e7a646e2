#include "store/quelm_batch_core.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "qb/qb_formats.h"
#include "qb/qb_frames.h"
#include "qb/qb_gzip.h"
#include "qb/qb_text.h"
#include "store/quelm_model_io.h"
#include "store/quelm_store.h"

namespace {

const char* const kUsage =
    "Usage: quelm-batch COMMAND [ARGUMENTS]\n"
    "\n"
    "Commands:\n"
    "  info FILE                 read FILE (LAMMPS data file, LAMMPS dump, POSCAR or\n"
    "                            extended XYZ, plain or gzipped, recognised by its content)\n"
    "                            and report atoms, types and box, and the frames of a file\n"
    "                            of many\n"
    "  convert IN OUT [--format lmp|lmc|poscar|poscar-direct|extxyz] [--frame K]\n"
    "          [--elements Cu,Ni]\n"
    "                            read IN (frame K of a file of many, from 1; the first by\n"
    "                            default) and write OUT; without --format the ending of OUT\n"
    "                            chooses: .lmp data file, .lmc custom dump, .POSCAR or .vasp\n"
    "                            POSCAR with Cartesian coordinates, .xyz or .extxyz extended\n"
    "                            XYZ; OUT ending in .gz is written gzipped; --elements names\n"
    "                            the element of each atom type, in type order (a POSCAR needs\n"
    "                            one for every type; IN may give them: POSCAR species,\n"
    "                            extended XYZ species, a dump's element column, the\n"
    "                            comments of a data file's Masses)\n"
    "%s"
    "  --help                    this text\n"
    "\n"
    "Form values are given as -LABEL=VALUE, the store's own text form; a label given\n"
    "several times fills its successive entries (one per atom type) in order, and\n"
    "--status FILE.qnw first loads a saved status file.\n"
    "\n"
    "Exit status: 0 done, 1 failed, 2 usage error.\n";

struct Registered {
    std::string name, usage;
    QN_batch_command run;
};
std::vector<Registered>& registered() {
    static std::vector<Registered> commands;
    return commands;
}

int command_info(const QN_batch_args& args, FILE* out, FILE* err) {
    if (args.words.size() != 1 || !args.options.empty() || !args.entries.empty())
        return QN_batch_usage_error(err, "info takes one FILE");
    QB_tools model;
    return QN_batch_read_frame(args.words[0], 0, &model, out, err) ? 0 : 1;
}

int command_convert(const QN_batch_args& args, FILE* out, FILE* err) {
    if (args.words.size() != 2 || !args.entries.empty()) return QN_batch_usage_error(err, "convert takes IN and OUT");
    const std::string& target = args.words[1];
    const std::string* format = args.option("--format");
    const int kind = QN_export_kind(target, format);
    if (kind < 0 && format) return QN_batch_usage_error(err, "unknown format '" + *format + "'");
    if (kind < 0) return QN_batch_usage_error(err, "cannot tell the format of '" + target + "': give --format");
    int frame = 1;
    if (const std::string* k = args.option("--frame")) {
        long long v = 0;
        size_t used = 0;
        try {
            v = std::stoll(*k, &used);
        } catch (...) {
            used = 0;
        }
        if (used != k->size() || v < 1 || v > 1000000000) return QN_batch_usage_error(err, "--frame takes a frame number from 1");
        frame = static_cast<int>(v);
    }
    const std::string* elements = args.option("--elements");
    QB_tools model;
    if (!QN_batch_read_frame(args.words[0], frame - 1, &model, out, err)) return 1;
    std::string why;
    if (elements && QB_set_elenames(&model, *elements, &why) != 1) {
        std::fprintf(err, "Writing file failed\n--elements: %s\n", why.c_str());
        return 1;
    }
    const int written = QN_write_model(&model, target.c_str(), kind);
    if (written != 1) {
        std::fprintf(err, "Writing file failed\n%s\n",
                     QN_write_failure(&model, written, target, QN_batch_elements_hint(model)).c_str());
        return 1;
    }
    std::fprintf(out, "Save file complete\n");
    return 0;
}

}  // namespace

int QN_batch_usage_error(FILE* err, const std::string& message) {
    std::fprintf(err, "quelm-batch: %s\nTry 'quelm-batch --help'.\n", message.c_str());
    return 2;
}

bool QN_batch_ends_with(const std::string& s, const char* tail) {
    const size_t n = std::strlen(tail);
    return s.size() > n && s.compare(s.size() - n, n, tail) == 0;
}

// Reads path into model; prints the report. True on success.
bool QN_batch_read_model(const std::string& path, QB_tools* model, FILE* out, FILE* err) {
    std::string text;
    const int result = QN_read_model(model, path.c_str(), text);
    if (result == 1) {
        std::fprintf(out, "%s\n", text.c_str());
        return true;
    }
    std::fprintf(err, "%s\n", result < 0 ? text.c_str() : "Reading file failed");
    return false;
}

// Reads frame `frame` (0-based) of path into model; prints the report and,
// for a file of many frames, which frame it is. True on success.
bool QN_batch_read_frame(const std::string& path, int frame, QB_tools* model, FILE* out, FILE* err) {
    QB_frames frames;
    std::string reason;
    const int opened = frames.open(path, &reason);
    if (opened < 0) {
        std::fprintf(err, "Reading file failed\n%s\n", reason.c_str());
        return false;
    }
    if (opened == 0) {
        if (frame != 0) {
            std::fprintf(err, "Reading file failed\n%s holds one frame, not %d\n", path.c_str(), frame + 1);
            return false;
        }
        return QN_batch_read_model(path, model, out, err);
    }
    if (frame >= frames.count()) {
        std::fprintf(err, "Reading file failed\n%s holds %d frame%s, not %d%s%s\n", path.c_str(), frames.count(),
                     frames.count() == 1 ? "" : "s", frame + 1, frames.remark().empty() ? "" : "\n",
                     frames.remark().c_str());
        return false;
    }
    std::string text;
    const int code = frames.read(frame, model, &reason);
    const int result = QN_read_report(code, model, text, reason);
    if (result != 1) {
        std::fprintf(err, "%s\n", result < 0 ? text.c_str() : ("Reading file failed\n" + reason).c_str());
        return false;
    }
    std::fprintf(out, "%s\n", text.c_str());
    if (frames.count() > 1 || !frames.remark().empty()) {
        std::fprintf(out, "%d frame%s (timesteps %lld ... %lld); frame %d read%s\n", frames.count(),
                     frames.count() == 1 ? "" : "s", frames.timestep(0), frames.timestep(frames.count() - 1), frame + 1,
                     frames.gzipped() ? " (gzipped: each frame is decompressed from the start)" : "");
        if (!frames.remark().empty()) std::fprintf(out, "%s\n", frames.remark().c_str());
    }
    return true;
}

// How to give the element names a POSCAR needs.
std::string QN_batch_elements_hint(const QB_tools& model) {
    const char* sample[4] = {"Cu", "Ni", "Al", "Fe"};
    std::string list;
    for (int t = 0; t < std::min(std::max(model.ntypes, 1), 4); t++) list += std::string(t ? "," : "") + sample[t];
    if (model.ntypes > 4) list += ",...";
    return QB_format("give one element name per type, in type order, with --elements (the model has %d type%s), "
                     "e.g. --elements %s",
                     model.ntypes, model.ntypes == 1 ? "" : "s", list.c_str());
}

void QN_batch_add_command(const char* name, const char* usage, QN_batch_command command) {
    if (name && command) registered().push_back({name, usage ? usage : "", command});
}

const std::string* QN_batch_args::option(const std::string& name) const {
    for (const auto& o : options)
        if (o.first == name) return &o.second;
    return nullptr;
}

bool QN_batch_parse(int argc, const char* const* argv, int first, const std::vector<std::string>& valued,
                    QN_batch_args& args, std::string& error, const std::vector<std::string>& flags) {
    for (int i = first; i < argc; i++) {
        const std::string word = argv[i];
        bool takes_value = false, flag = false;
        for (const auto& v : valued) takes_value |= v == word;
        for (const auto& f : flags) flag |= f == word;
        if (flag) {
            args.options.emplace_back(word, "");
        } else if (takes_value) {
            if (i + 1 >= argc) {
                error = "option '" + word + "' needs a value";
                return false;
            }
            args.options.emplace_back(word, argv[++i]);
        } else if (word.size() > 2 && word.compare(0, 2, "--") == 0) {
            error = "unknown option '" + word + "'";
            return false;
        } else if (word.size() > 1 && word[0] == '-') {
            const size_t eq = word.find('=');
            if (eq == std::string::npos || eq < 2 || eq + 1 == word.size()) {
                error = "'" + word + "' is not of the form -LABEL=VALUE";
                return false;
            }
            args.entries.push_back(word);
        } else {
            args.words.push_back(word);
        }
    }
    return true;
}

int QN_batch_fill_group(int group, const QN_batch_args& args, std::string& error) {
    if (const std::string* status = args.option("--status")) {
        std::vector<std::string> entries;
        std::vector<int> flags;
        if (Quelm_read_add(*status, entries, flags) < 0) {
            error = "Cannot read the status file " + *status;
            return 1;
        }
        std::map<std::string, int> firsts;  // slot-0 entries seen per label
        for (size_t i = 0; i < entries.size(); i++) {
            const std::string label = Quelm_get_label(entries[i]);
            std::string value;
            if (flags[i] < 0 || !Quelm_scan_char_single(entries[i], label, value)) continue;
            const int occurrence = flags[i] == 0 ? firsts[label]++ : firsts[label] - 1;
            if (occurrence < 0 || Quelm_scan_dest_multi(group, label, occurrence) < 0) continue;
            QN_set_bit_text_multi(group, occurrence, label, value, flags[i]);
        }
    }
    std::map<std::string, int> given;
    for (const std::string& entry : args.entries) {
        const std::string label = Quelm_get_label(entry);
        std::string value;
        Quelm_scan_char_single(entry, label, value);
        const int occurrence = given[label]++;
        if (Quelm_scan_dest_multi(group, label, occurrence) < 0) {
            error = occurrence == 0 ? "no value named " + label + " here"
                                    : label + " takes at most " + std::to_string(occurrence) + " values here";
            return 2;
        }
        QN_set_bit_text_multi(group, occurrence, label, value, 0);
    }
    return 0;
}

int QN_batch_main(int argc, const char* const* argv, FILE* out, FILE* err) {
    if (argc < 2) return QN_batch_usage_error(err, "no command given");
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        std::string more;
        for (const auto& r : registered()) more += r.usage;
        std::fprintf(out, kUsage, more.c_str());
        return 0;
    }
    for (const auto& r : registered())
        if (command == r.name) return r.run(argc, argv, out, err);
    QN_batch_args args;
    std::string error;
    if (command == "info") {
        if (!QN_batch_parse(argc, argv, 2, {}, args, error)) return QN_batch_usage_error(err, error);
        return command_info(args, out, err);
    }
    if (command == "convert") {
        if (!QN_batch_parse(argc, argv, 2, {"--format", "--frame", "--elements"}, args, error))
            return QN_batch_usage_error(err, error);
        return command_convert(args, out, err);
    }
    return QN_batch_usage_error(err, "unknown command '" + command + "'");
}
