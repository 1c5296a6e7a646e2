#include "app/quelm_batch_core.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>

#include "analysis/morla_driver.h"
#include "analysis/morla_summary.h"
#include "app/quelm_model_io.h"
#include "app/quelm_store.h"
#include "builders/monocrystal.h"
#include "builders/defects.h"
#include "builders/layers.h"
#include "builders/nanostructures.h"
#include "dislocation/kavir_bridge.h"
#include "builders/polycrystal_editor.h"
#include "qb/qb_file.h"
#include "qb/qb_formats.h"
#include "qb/qb_frames.h"
#include "qb/qb_gzip.h"
#include "qb/qb_text.h"

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
    "  build KIND [-LABEL=VALUE ...] [--status FILE.qnw] [--elements Cu,Ni] -o OUT\n"
    "                            build a model as the form KIND does (KIND: monocrystal,\n"
    "                            polycrystal, nanocomposite),\n"
    "                            from the form's defaults, a saved status and the values\n"
    "                            given (a structure choice brings its own lattice\n"
    "                            parameters, as in the form), and write it to OUT: .lmp\n"
    "                            data file, .lmc custom dump or .POSCAR (Cartesian); e.g.\n"
    "                            build monocrystal -M_single_str=5 -M_single_dpx=3 -o nacl.lmp\n"
    "                            build polycrystal -Model_Poly_file=grains.input -o poly.lmp\n"
    "                            (the generator's log poly_log.fpl is written beside OUT);\n"
    "                            KIND also bilayer, multilayer (--accept-mismatch builds one\n"
    "                            the form would ask about), nanoparticle, nanowire, nanosheet,\n"
    "                            coreshell, dislocation, crack, solution; --elements names\n"
    "                            the element of each atom type of the model, in type order\n"
    "                            (the form's Elements:; without it the crystal files' names\n"
    "                            are kept), which a .POSCAR needs\n"
    "  build --list              name the builders, one per line\n"
    "  scan BOTTOM UPPER [-S_maxlat=... -S_maxbox=... -S_maxmis=... -S_minanga=... ...]\n"
    "       [-o TABLE.tsv]       the lattice-mismatch scan of two crystals whose interface is\n"
    "                            their y-z plane: one row per match\n"
    "  analyse IN -o OUT.lmc [--method cna,baa,cnp,csp,lco,oim] [-A_...=VALUE ...]\n"
    "          [--status FILE.qnw] [--summary FILE.tsv]\n"
    "                            run the structure analyses switched on (each listed method,\n"
    "                            or -A_..._active=1) over IN, print a summary (atoms per\n"
    "                            structure class, statistics of CSP and CNP) and write IN\n"
    "                            with their result columns as a custom dump; --summary\n"
    "                            writes the summary as a table (file, column, class, count,\n"
    "                            percent, value); without -o only the summary is given\n"
    "  analyse IN1 IN2 ... [-o FOLDER] [--summary FILE.tsv] ...\n"
    "  analyse --series FILE [-o FOLDER] [--summary FILE.tsv] ...\n"
    "                            the same for several inputs, or for the numbered series FILE\n"
    "                            belongs to (its folder's files that differ only in their\n"
    "                            numbers, in numeric order: run.2 before run.10); one summary\n"
    "                            per input, in order; -o names a folder that receives\n"
    "                            one NAME.lmc per input\n"
    "  analyse IN -o OUT.lmc --method dva,sta,dda,sva,ida,nye,nta[,cna,...] [--reference REF]\n"
    "          [-KV_...=VALUE ...]\n"
    "                            the dislocation analyses against the reference REF (DDA and\n"
    "                            IDA write the file -KV_dda_dump=... / -KV_ida_dump=...)\n"
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

int usage_error(FILE* err, const std::string& message) {
    std::fprintf(err, "quelm-batch: %s\nTry 'quelm-batch --help'.\n", message.c_str());
    return 2;
}

bool ends_with(const std::string& s, const char* tail) {
    const size_t n = std::strlen(tail);
    return s.size() > n && s.compare(s.size() - n, n, tail) == 0;
}

// Reads path into model; prints the report. True on success.
bool read_model(const std::string& path, QB_tools* model, FILE* out, FILE* err) {
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
bool read_frame(const std::string& path, int frame, QB_tools* model, FILE* out, FILE* err) {
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
        return read_model(path, model, out, err);
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

int command_info(const QN_batch_args& args, FILE* out, FILE* err) {
    if (args.words.size() != 1 || !args.options.empty() || !args.entries.empty())
        return usage_error(err, "info takes one FILE");
    QB_tools model;
    return read_frame(args.words[0], 0, &model, out, err) ? 0 : 1;
}

// How to give the element names a POSCAR needs.
std::string elements_hint(const QB_tools& model) {
    const char* sample[4] = {"Cu", "Ni", "Al", "Fe"};
    std::string list;
    for (int t = 0; t < std::min(std::max(model.ntypes, 1), 4); t++) list += std::string(t ? "," : "") + sample[t];
    if (model.ntypes > 4) list += ",...";
    return QB_format("give one element name per type, in type order, with --elements (the model has %d type%s), "
                     "e.g. --elements %s",
                     model.ntypes, model.ntypes == 1 ? "" : "s", list.c_str());
}

int command_convert(const QN_batch_args& args, FILE* out, FILE* err) {
    if (args.words.size() != 2 || !args.entries.empty()) return usage_error(err, "convert takes IN and OUT");
    const std::string& target = args.words[1];
    const std::string plain = QB_without_gz(target);
    int kind = -1;
    if (const std::string* format = args.option("--format")) {
        const char* names[5] = {"lmc", "lmp", "poscar", "poscar-direct", "extxyz"};
        for (int k = 0; k < 5; k++)
            if (*format == names[k]) kind = k;
        if (kind < 0) return usage_error(err, "unknown format '" + *format + "'");
    } else if (ends_with(plain, ".lmc")) {
        kind = 0;
    } else if (ends_with(plain, ".lmp")) {
        kind = 1;
    } else if (ends_with(plain, ".POSCAR") || ends_with(plain, ".vasp")) {
        kind = 2;
    } else if (ends_with(plain, ".xyz") || ends_with(plain, ".extxyz")) {
        kind = 4;
    } else {
        return usage_error(err, "cannot tell the format of '" + target + "': give --format");
    }
    int frame = 1;
    if (const std::string* k = args.option("--frame")) {
        long long v = 0;
        size_t used = 0;
        try {
            v = std::stoll(*k, &used);
        } catch (...) {
            used = 0;
        }
        if (used != k->size() || v < 1 || v > 1000000000) return usage_error(err, "--frame takes a frame number from 1");
        frame = static_cast<int>(v);
    }
    const std::string* elements = args.option("--elements");
    QB_tools model;
    if (!read_frame(args.words[0], frame - 1, &model, out, err)) return 1;
    std::string why;
    if (elements && QB_set_elenames(&model, *elements, &why) != 1) {
        std::fprintf(err, "Writing file failed\n--elements: %s\n", why.c_str());
        return 1;
    }
    const int written = QN_write_model(&model, target.c_str(), kind);
    if (written != 1) {
        std::fprintf(err, "Writing file failed\n%s\n",
                     QN_write_failure(&model, written, target, elements_hint(model)).c_str());
        return 1;
    }
    std::fprintf(out, "Save file complete\n");
    return 0;
}

// A builder reachable through "build KIND": it fills its store group the way
// opening its form does, optionally reacts to the values given as its form's
// choices do (e.g. a structure choice bringing its own lattice parameters),
// and builds from that group into a model, giving its code (1 built) and the
// user's message.
struct Builder {
    const char* kind;
    int group;
    int (*defaults)();
    void (*choices)();  // may be null
    // Builds into model; `target` is the output file (a builder may write
    // side files beside it).
    int (*build)(QB_tools* model, const std::string& target, const QN_batch_args& args, std::string& message);
};

void choose_monocrystal() {
    int index = 0;
    if (QN_scan_int_single(QN_SINGLE_GROUP, "M_single_str", index)) QN_model_single_choose(index);
}

int build_monocrystal(QB_tools* model, const std::string&, const QN_batch_args&, std::string& message) {
    QN_single_params params;
    QN_model_single_read(params);
    return QN_model_single_build(model, params, message);
}

int polycrystal_defaults() { return QN_model_poly_defaults(0); }
int nanocomposite_defaults() { return QN_model_poly_defaults(1); }

// The generator on the keyword file -Model_Poly_file=FILE; its log
// "poly_log.fpl" goes beside the output.
int build_polycrystal(QB_tools* model, const std::string& target, const QN_batch_args&, std::string& message) {
    const size_t slash = target.find_last_of('/');
    const std::string folder = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    return QN_model_poly_build(model, folder + "poly_log.fpl", message);
}

int bilayer_defaults() { return QN_model_double_defaults(0); }
int multilayer_defaults() { return QN_model_double_defaults(1); }

// A mismatch the form would ask about is refused unless accepted.
template <int Mode>
int build_layers(QB_tools* model, const std::string&, const QN_batch_args& args, std::string& message) {
    const bool accept = args.option("--accept-mismatch") != nullptr;
    const int built = QN_model_double_build(Mode, model, message, accept ? -1 : QN_DOUBLE_ASK_MISMATCH);
    if (built == QN_DOUBLE_LARGE_MISMATCH) message += "\ngive --accept-mismatch to build it anyway";
    return built;
}

template <int (*Build)(QB_tools*, std::string&)>
int build_from_group(QB_tools* model, const std::string&, const QN_batch_args&, std::string& message) {
    return Build(model, message);
}

const Builder kBuilders[] = {
    {"monocrystal", QN_SINGLE_GROUP, QN_model_single_defaults, choose_monocrystal, build_monocrystal},
    {"polycrystal", QN_POLY_GROUP, polycrystal_defaults, nullptr, build_polycrystal},
    {"nanocomposite", QN_POLY_GROUP, nanocomposite_defaults, nullptr, build_polycrystal},
    {"bilayer", QN_DOUBLE_GROUP, bilayer_defaults, nullptr, build_layers<0>},
    {"multilayer", QN_DOUBLE_GROUP, multilayer_defaults, nullptr, build_layers<1>},
    {"nanoparticle", QN_NANO_GROUP, QN_model_cluster_defaults, nullptr, build_from_group<QN_model_cluster_build>},
    {"nanowire", QN_NANO_GROUP, QN_model_wire_defaults, nullptr, build_from_group<QN_model_wire_build>},
    {"nanosheet", QN_NANO_GROUP, QN_model_sheet_defaults, nullptr, build_from_group<QN_model_sheet_build>},
    {"coreshell", QN_NANO_GROUP, QN_model_coreshell_defaults, nullptr, build_from_group<QN_model_coreshell_build>},
    {"dislocation", QN_DEFECT_GROUP, QN_model_dislocation_defaults, nullptr,
     build_from_group<QN_model_dislocation_build>},
    {"crack", QN_DEFECT_GROUP, QN_model_crack_defaults, nullptr, build_from_group<QN_model_crack_build>},
    {"solution", QN_DEFECT_GROUP, QN_model_solute_defaults, nullptr, build_from_group<QN_model_solute_build>},
};

// While alive, what the code remarks on standard output (the readers' ">>"
// lines) goes to standard error, so a table printed there stays clean.
class RemarksToStderr {
public:
    RemarksToStderr() {
        std::fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        if (saved_ >= 0) dup2(STDERR_FILENO, STDOUT_FILENO);
    }
    ~RemarksToStderr() {
        std::fflush(stdout);
        if (saved_ < 0) return;
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }
    RemarksToStderr(const RemarksToStderr&) = delete;
    RemarksToStderr& operator=(const RemarksToStderr&) = delete;

private:
    int saved_;
};

// The lattice-mismatch scan with the crack wizard's search limits.
int command_scan(int argc, const char* const* argv, FILE* out, FILE* err) {
    QN_batch_args args;
    std::string error;
    if (!QN_batch_parse(argc, argv, 2, {"-o", "--status"}, args, error)) return usage_error(err, error);
    if (args.words.size() != 2) return usage_error(err, "scan takes BOTTOM and UPPER");
    QN_store_init();
    QN_reset_group(QN_CRACK_GROUP, " ");
    QN_scan_defaults();
    const int filled = QN_batch_fill_group(QN_CRACK_GROUP, args, error);
    if (filled == 2) return usage_error(err, error);
    if (filled != 0) {
        std::fprintf(err, "%s\n", error.c_str());
        return 1;
    }
    QN_scan_limits_from_store();
    // Without -o the table alone goes to standard output, the reports to
    // standard error.
    const std::string* target = args.option("-o");
    QB_tools a, b;
    std::vector<scaned_data> rows;
    {
        std::unique_ptr<RemarksToStderr> quiet;
        if (!target && out == stdout) quiet = std::make_unique<RemarksToStderr>();
        FILE* notes = target || quiet ? out : err;
        if (!read_model(args.words[0], &a, notes, err) || !read_model(args.words[1], &b, notes, err)) return 1;
        std::string remarks;
        QB_mismatch_scan(&a, &b, rows, &remarks);
        std::fputs(remarks.c_str(), notes);
    }
    std::string table = "Theta1\tTheta2\tBoxy\tMismatchy\tBoxz\tMismatchz\tn1y\tn2y\tn1z\tn2z\n";
    for (const scaned_data& r : rows)
        table += QB_format("%lf\t%lf\t%lf\t%lf\t%lf\t%lf\t%d\t%d\t%d\t%d\n", r.theta1, r.theta2,
                           (r.n1y * r.d1y + r.n2y * r.d2y) / 2, r.mismatchy, (r.n1z * r.d1z + r.n2z * r.d2z) / 2,
                           r.mismatchz, r.n1y, r.n2y, r.n1z, r.n2z);
    if (target) {
        QB_output_file file(*target);
        if (!file || std::fputs(table.c_str(), file.get()) < 0 || !file.commit()) {
            std::fprintf(err, "Writing file failed\nCannot write %s\n", target->c_str());
            return 1;
        }
        std::fprintf(out, "%d matches written to %s\n", static_cast<int>(rows.size()), target->c_str());
    } else {
        std::fputs(table.c_str(), out);
    }
    return 0;
}

// Index of a dislocation analysis by name, -1 for none.
int kavir_method(const std::string& name) {
    for (int k = 0; k < QN_KAVIR_COUNT; k++)
        if (name == QN_KAVIR_names[k]) return k;
    return -1;
}


bool is_folder(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_directory(path, ec);
}

// The dump written into folder for input: its name (after any ".gz") with
// ".lmc" in place of its ending, unless that ending is a number, as in
// LAMMPS's dump.100, which stays part of the name: dump.100.lmc.
std::string output_in_folder(const std::string& folder, const std::string& input) {
    std::string name = QB_without_gz(input);
    const size_t slash = name.find_last_of('/');
    if (slash != std::string::npos) name = name.substr(slash + 1);
    const size_t dot = name.find_last_of('.');
    if (dot != std::string::npos && dot > 0 && dot + 1 < name.size() &&
        name.find_first_not_of("0123456789", dot + 1) != std::string::npos)
        name = name.substr(0, dot);
    return folder + (folder.empty() || folder.back() == '/' ? "" : "/") + name + ".lmc";
}

bool same_file(const std::string& a, const std::string& b) {
    std::error_code ea, eb;
    const auto ca = std::filesystem::weakly_canonical(a, ea), cb = std::filesystem::weakly_canonical(b, eb);
    return ea || eb ? a == b : ca == cb;
}

// Inputs: the files named, or the numbered series of --series FILE. -o is
// optional (without it the summary is all there is): for one input it is
// OUT.lmc or a folder, for several a folder that receives one NAME.lmc per
// input, never one that would replace an input. Each input gets its summary on standard
// output; --summary FILE.tsv collects all of them, rows in input order, and
// is written only when every input was analysed.
int command_analyse(int argc, const char* const* argv, FILE* out, FILE* err) {
    QN_batch_args args;
    std::string error;
    if (!QN_batch_parse(argc, argv, 2, {"-o", "--method", "--status", "--reference", "--summary", "--series"}, args,
                        error))
        return usage_error(err, error);
    const std::string* target = args.option("-o");
    const std::string* table = args.option("--summary");
    std::vector<std::string> inputs = args.words;
    if (const std::string* series = args.option("--series")) {
        if (!inputs.empty()) return usage_error(err, "analyse takes input files or --series FILE, not both");
        inputs = QN_series_of(*series);
        if (inputs.empty()) {
            std::fprintf(err, "Reading file failed\nCannot read %s\n", series->c_str());
            return 1;
        }
    }
    if (inputs.empty()) return usage_error(err, "analyse takes IN (or several, or --series FILE)");
    const bool to_folder = target && (inputs.size() > 1 || is_folder(*target) || target->back() == '/');
    if (target && !to_folder && !ends_with(*target, ".lmc"))
        return usage_error(err, "the analysed model is written as a custom dump (.lmc)");
    std::error_code exists_error;
    const bool target_exists = target && std::filesystem::exists(*target, exists_error);
    if (to_folder && (target_exists ? !is_folder(*target) : ends_with(*target, ".lmc")))
        return usage_error(err, "-o " + *target + " is not a folder");
    std::vector<std::string> outputs;
    for (const std::string& in : inputs) {
        if (!target) break;
        outputs.push_back(to_folder ? output_in_folder(*target, in) : *target);
        for (size_t k = 0; k + 1 < outputs.size(); k++)
            if (same_file(outputs[k], outputs.back()))
                return usage_error(err, "two inputs would both be written to " + outputs.back());
        for (const std::string& other : inputs)
            if (same_file(other, outputs.back()))
                return usage_error(err, "writing " + outputs.back() + " would replace an input");
    }
    if (table) {
        for (const std::string& in : inputs)
            if (same_file(in, *table)) return usage_error(err, "--summary " + *table + " would replace an input");
    }
    std::vector<std::string> methods;
    if (const std::string* list = args.option("--method")) {
        size_t start = 0;
        while (start <= list->size()) {
            const size_t end = list->find(',', start);
            methods.push_back(list->substr(start, end == std::string::npos ? std::string::npos : end - start));
            if (end == std::string::npos) break;
            start = end + 1;
        }
        for (const std::string& m : methods)
            if (m != "cna" && m != "baa" && m != "cnp" && m != "csp" && m != "lco" && m != "oim" &&
                kavir_method(m) < 0)
                return usage_error(err, "unknown method '" + m + "'");
    }
    // The dislocation analyses' entries (-KV_…) fill their own group.
    QN_batch_args structure = args, dislocation = args;
    structure.entries.clear();
    dislocation.entries.clear();
    for (const std::string& e : args.entries) (e.rfind("-KV_", 0) == 0 ? dislocation : structure).entries.push_back(e);
    dislocation.options.clear();  // a status file belongs to the structure group

    // A folder that does not exist yet is made (in a folder that does).
    if (to_folder && !target_exists) {
        std::error_code made;
        if (!std::filesystem::create_directory(*target, made) || made)
            return usage_error(err, "cannot make the folder " + *target +
                                        (made ? ": " + made.message() : std::string()));
    }
    std::string rows = QN_MORLA_tsv_header();
    for (size_t f = 0; f < inputs.size(); f++) {
        const std::string& input = inputs[f];
        if (inputs.size() > 1) std::fprintf(out, "[%d/%d] %s\n", static_cast<int>(f + 1),
                                            static_cast<int>(inputs.size()), input.c_str());
        QB_tools model;
        if (!read_model(input, &model, out, err)) return 1;
        QN_store_init();
        QN_analy_defaults(model.ntypes);
        QN_KAVIR_init(model.ntypes);
        bool kavir[QN_KAVIR_COUNT] = {};
        for (const std::string& m : methods) {
            if (kavir_method(m) >= 0) kavir[kavir_method(m)] = true;
            else QN_set_bit_int(QN_ANALY_GROUP, "A_" + m + "_active", 1, 0);
        }
        if (const std::string* ref = args.option("--reference")) QN_set_bit_char(QN_KAVIR_GROUP, "KV_ref", *ref);
        for (auto [group, part] : {std::pair<int, const QN_batch_args*>{QN_ANALY_GROUP, &structure},
                                   std::pair<int, const QN_batch_args*>{QN_KAVIR_GROUP, &dislocation}}) {
            const int filled = QN_batch_fill_group(group, *part, error);
            if (filled != 0) {
                if (filled == 2) return usage_error(err, error);
                std::fprintf(err, "%s\n", error.c_str());
                return 1;
            }
        }
        // The tab's order: the dislocation analyses, then the structure methods.
        int run = 0;
        for (int k = 0; k < QN_KAVIR_COUNT; k++) {
            if (!kavir[k]) continue;
            std::string message;
            if (QN_KAVIR_compute(&model, k, message) != 1) {
                std::fprintf(err, "%s\n", message.c_str());
                return 1;
            }
            std::fprintf(out, "%s\n", message.c_str());
            run++;
        }
        std::string note;
        const int structure_run = QN_MORLA_compute(&model, 0, &note);
        if (structure_run < 0) {
            std::fprintf(err, "%s\n", note.c_str());
            return 1;
        }
        if (!note.empty()) std::fprintf(out, "%s\n", note.c_str());
        run += structure_run;
        std::fprintf(out, "%d analyses run\n", run);
        const std::vector<std::string> columns = QN_MORLA_active_columns();
        const QN_MORLA_summary_t summary = QN_MORLA_summary(&model, &columns);
        for (const std::string& line : QN_MORLA_summary_lines(summary)) std::fprintf(out, "%s\n", line.c_str());
        rows += QN_MORLA_tsv_rows(summary, input);
        if (target) {
            if (QB_dump_lmc(&model, outputs[f].c_str()) != 1) {
                std::fprintf(err, "Writing file failed\nCannot write %s\n", outputs[f].c_str());
                return 1;
            }
            std::fprintf(out, "Save file complete\n");
        }
    }
    if (table) {
        QB_output_file file(*table);
        if (!file || std::fputs(rows.c_str(), file.get()) < 0 || !file.commit()) {
            std::fprintf(err, "Writing file failed\nCannot write %s\n", table->c_str());
            return 1;
        }
        std::fprintf(out, "Summary written to %s\n", table->c_str());
    }
    return 0;
}

int command_build(int argc, const char* const* argv, FILE* out, FILE* err) {
    if (argc == 3 && std::strcmp(argv[2], "--list") == 0) {
        for (const Builder& b : kBuilders) std::fprintf(out, "%s\n", b.kind);
        return 0;
    }
    QN_batch_args args;
    std::string error;
    if (!QN_batch_parse(argc, argv, 2, {"--status", "-o", "--elements"}, args, error, {"--accept-mismatch"}))
        return usage_error(err, error);
    if (args.words.size() != 1) return usage_error(err, "build takes one KIND (see 'quelm-batch build --list')");
    const Builder* builder = nullptr;
    for (const Builder& b : kBuilders)
        if (args.words[0] == b.kind) builder = &b;
    if (!builder) return usage_error(err, "no builder named '" + args.words[0] + "' (see 'quelm-batch build --list')");
    const std::string* target = args.option("-o");
    if (!target) return usage_error(err, "build needs -o OUT");
    int kind;
    if (ends_with(*target, ".lmc")) {
        kind = 0;
    } else if (ends_with(*target, ".lmp")) {
        kind = 1;
    } else if (ends_with(*target, ".POSCAR")) {
        kind = 2;
    } else {
        return usage_error(err, "cannot tell the format of '" + *target + "': end it in .lmp, .lmc or .POSCAR");
    }

    QN_store_init();
    builder->defaults();
    int filled = QN_batch_fill_group(builder->group, args, error);
    if (filled == 0 && builder->choices) {
        // As in the form: a choice brings its own values, and the values
        // given explicitly are put in again on top of them.
        builder->choices();
        filled = QN_batch_fill_group(builder->group, args, error);
    }
    if (filled == 2) return usage_error(err, error);
    if (filled != 0) {
        std::fprintf(err, "%s\n", error.c_str());
        return 1;
    }
    // The form's "Elements:".
    if (const std::string* elements = args.option("--elements"))
        QN_set_bit_char(builder->group, "M_elements", *elements);
    QB_tools model;
    QB_init(&model);
    std::string message;
    if (builder->build(&model, *target, args, message) != 1) {
        std::fprintf(err, "%s\n", message.c_str());
        return 1;
    }
    const int written = QN_write_model(&model, target->c_str(), kind);
    if (written != 1) {
        std::fprintf(err, "Writing file failed\n%s\n",
                     QN_write_failure(&model, written, *target, elements_hint(model)).c_str());
        return 1;
    }
    std::fprintf(out, "%s\n", message.c_str());
    return 0;
}

}  // namespace

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
    if (argc < 2) return usage_error(err, "no command given");
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
        if (!QN_batch_parse(argc, argv, 2, {}, args, error)) return usage_error(err, error);
        return command_info(args, out, err);
    }
    if (command == "build") return command_build(argc, argv, out, err);
    if (command == "analyse") return command_analyse(argc, argv, out, err);
    if (command == "scan") return command_scan(argc, argv, out, err);
    if (command == "convert") {
        if (!QN_batch_parse(argc, argv, 2, {"--format", "--frame", "--elements"}, args, error))
            return usage_error(err, error);
        return command_convert(args, out, err);
    }
    return usage_error(err, "unknown command '" + command + "'");
}
