#include "analysis/analysis_batch.h"

#include <filesystem>
#include <string>
#include <vector>

#include "analysis/morla_driver.h"
#include "analysis/morla_summary.h"
#include "dislocation/kavir_bridge.h"
#include "qb/qb_file.h"
#include "qb/qb_formats.h"
#include "qb/qb_gzip.h"
#include "qb/qb_text.h"
#include "store/quelm_batch_core.h"
#include "store/quelm_model_io.h"
#include "store/quelm_store.h"

namespace {

const char* const kAnalyseUsage =
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
    "                            per input, in order; -o names a folder (made if its\n"
    "                            parent exists) that receives one dump per input: run.1.lmp\n"
    "                            gives run.1.lmc, dump.100 gives dump.100.lmc\n"
    "  analyse IN -o OUT.lmc --method dva,sta,dda,sva,ida,nye,nta[,cna,...] [--reference REF]\n"
    "          [-KV_...=VALUE ...]\n"
    "                            the dislocation analyses against the reference REF (DDA and\n"
    "                            IDA write the file -KV_dda_dump=... / -KV_ida_dump=...)\n";

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
// OUT.lmc or a folder, for several a folder that receives one dump per
// input (see output_in_folder), never one that would replace an input. Each input gets its summary on standard
// output; --summary FILE.tsv collects all of them, rows in input order, and
// is written only when every input was analysed.
int command_analyse(int argc, const char* const* argv, FILE* out, FILE* err) {
    QN_batch_args args;
    std::string error;
    if (!QN_batch_parse(argc, argv, 2, {"-o", "--method", "--status", "--reference", "--summary", "--series"}, args,
                        error))
        return QN_batch_usage_error(err, error);
    const std::string* target = args.option("-o");
    const std::string* table = args.option("--summary");
    std::vector<std::string> inputs = args.words;
    if (const std::string* series = args.option("--series")) {
        if (!inputs.empty()) return QN_batch_usage_error(err, "analyse takes input files or --series FILE, not both");
        inputs = QN_series_of(*series);
        if (inputs.empty()) {
            std::fprintf(err, "Reading file failed\nCannot read %s\n", series->c_str());
            return 1;
        }
    }
    if (inputs.empty()) return QN_batch_usage_error(err, "analyse takes IN (or several, or --series FILE)");
    const bool to_folder = target && (inputs.size() > 1 || is_folder(*target) || target->back() == '/');
    if (target && !to_folder && !QN_batch_ends_with(*target, ".lmc"))
        return QN_batch_usage_error(err, "the analysed model is written as a custom dump (.lmc)");
    std::error_code exists_error;
    const bool target_exists = target && std::filesystem::exists(*target, exists_error);
    if (to_folder && (target_exists ? !is_folder(*target) : QN_batch_ends_with(*target, ".lmc")))
        return QN_batch_usage_error(err, "-o " + *target + " is not a folder");
    std::vector<std::string> outputs;
    for (const std::string& in : inputs) {
        if (!target) break;
        outputs.push_back(to_folder ? output_in_folder(*target, in) : *target);
        for (size_t k = 0; k + 1 < outputs.size(); k++)
            if (same_file(outputs[k], outputs.back()))
                return QN_batch_usage_error(err, "two inputs would both be written to " + outputs.back());
        for (const std::string& other : inputs)
            if (same_file(other, outputs.back()))
                return QN_batch_usage_error(err, "writing " + outputs.back() + " would replace an input");
    }
    if (table) {
        for (const std::string& in : inputs)
            if (same_file(in, *table)) return QN_batch_usage_error(err, "--summary " + *table + " would replace an input");
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
                return QN_batch_usage_error(err, "unknown method '" + m + "'");
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
            return QN_batch_usage_error(err, "cannot make the folder " + *target +
                                        (made ? ": " + made.message() : std::string()));
    }
    std::string rows = QN_MORLA_tsv_header();
    for (size_t f = 0; f < inputs.size(); f++) {
        const std::string& input = inputs[f];
        if (inputs.size() > 1) std::fprintf(out, "[%d/%d] %s\n", static_cast<int>(f + 1),
                                            static_cast<int>(inputs.size()), input.c_str());
        QB_tools model;
        if (!QN_batch_read_model(input, &model, out, err)) return 1;
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
                if (filled == 2) return QN_batch_usage_error(err, error);
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

}  // namespace

void QN_batch_register_analysis() { QN_batch_add_command("analyse", kAnalyseUsage, command_analyse); }
