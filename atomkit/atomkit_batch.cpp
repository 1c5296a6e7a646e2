#include "atomkit/atomkit_batch.h"

#include <cstdio>
#include <string>
#include <vector>

#include "store/quelm_batch_core.h"
#include "store/quelm_model_io.h"
#include "atomkit/atomkit.h"
#include "qb/qb_text.h"

namespace {

int usage(FILE* err, const std::string& message) {
    std::fprintf(err, "quelm-batch: %s\nTry 'quelm-batch --help'.\n", message.c_str());
    return 2;
}

bool ends_with(const std::string& s, const char* tail) {
    const std::string t = tail;
    return s.size() > t.size() && s.compare(s.size() - t.size(), t.size(), t) == 0;
}

int command_atomkit(int argc, const char* const* argv, FILE* out, FILE* err) {
    QN_batch_args args;
    std::string error;
    if (!QN_batch_parse(argc, argv, 2, {"-o", "--upto", "--select"}, args, error)) return usage(err, error);
    const std::string* target = args.option("-o");
    if (args.words.size() != 2 || !target || !args.entries.empty())
        return usage(err, "atomkit takes BASE, RECIPE and -o OUT");
    int kind;
    if (ends_with(*target, ".lmc"))
        kind = 0;
    else if (ends_with(*target, ".lmp"))
        kind = 1;
    else if (ends_with(*target, ".POSCAR"))
        kind = 2;
    else
        return usage(err, "cannot tell the format of '" + *target + "': end it in .lmp, .lmc or .POSCAR");
    const std::string* select = args.option("--select");
    if (select && kind != 0) return usage(err, "--select needs a custom dump (.lmc) to hold the column Select");
    int upto = 0;
    if (const std::string* k = args.option("--upto")) {
        char* end = nullptr;
        const double v = QB_strtod(k->c_str(), &end);
        if (k->empty() || *end || !(v >= 1) || v != static_cast<int>(v)) return usage(err, "--upto takes a step number, 1 or more");
        upto = static_cast<int>(v);
    }

    QB_tools base;
    std::string text;
    if (QN_read_model(&base, args.words[0].c_str(), text) != 1) {
        std::fprintf(err, "%s\n", text.empty() ? "Reading file failed" : text.c_str());
        return 1;
    }
    std::fprintf(out, "%s\n", text.c_str());
    AK_free_all();
    const std::string& recipe = args.words[1];
    const int loaded = AK_load(recipe, text);
    if (loaded != 1) {
        std::fprintf(err, loaded == -2 ? "%s:1: %s\n" : "%s\n", loaded == -2 ? recipe.c_str() : text.c_str(), text.c_str());
        return 1;
    }
    int region = -1;
    if (select && (region = AK_region_id(*select)) < 0) {
        std::fprintf(err, "%s has no region named %s\n", recipe.c_str(), select->c_str());
        return 1;
    }
    QB_tools model;
    std::vector<AK_step_report> report;
    const int failed = AK_run(base, &model, upto, report, text);
    for (const AK_step_report& r : report) {
        const AK_step_item& step = AKdata_step[static_cast<size_t>(r.index)];
        const char* kind_name = AK_step_kinds[step.kind].method;
        if (r.failed)
            std::fprintf(out, "step %d %s: failed, %s\n", r.number, kind_name, r.message.c_str());
        else
            std::fprintf(out, "step %d %s: %d atoms\n", r.number, kind_name, r.atoms);
    }
    if (failed) {
        std::fprintf(err, "%s\n", text.c_str());
        return 1;
    }
    if (region >= 0) std::fprintf(out, "%d atoms in region %s\n", AK_region_select(&model, region), select->c_str());
    const int written = QN_write_model(&model, target->c_str(), kind);
    if (written != 1) {
        std::fprintf(err, "Writing file failed\n%s\n", QN_write_failure(&model, written, *target).c_str());
        return 1;
    }
    std::fprintf(out, "%s\nSave file complete\n", QN_new_model_text(&model).c_str());
    return 0;
}

}  // namespace

void QN_batch_register_atomkit() {
    QN_batch_add_command("atomkit",
                         "  atomkit BASE RECIPE -o OUT [--upto K] [--select REGION]\n"
                         "                            replay the Atomkit recipe RECIPE (a saved recipe) on BASE,\n"
                         "                            all its steps or the first K, and write OUT (.lmp, .lmc,\n"
                         "                            .POSCAR); --select adds the column Select of a region\n"
                         "                            (.lmc only)\n",
                         command_atomkit);
}
