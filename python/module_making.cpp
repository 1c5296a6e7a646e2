// The builders, Atomkit and the dislocation engine's analyses for the
// package quelm: each runs the core operation that quelm-batch runs, from
// the same store group filled the same way.
#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "atomkit/atomkit.h"
#include "builders/builders_batch.h"
#include "builders/monocrystal.h"
#include "dislocation/kavir_bridge.h"
#include "python/long_run.h"
#include "python/quelm_module.h"
#include "qb/qb_file.h"
#include "qb/qb_text.h"
#include "store/quelm_batch_core.h"
#include "store/quelm_model_io.h"
#include "store/quelm_store.h"

namespace qpy {
namespace {

const QN_builder& builder_of(const std::string& kind) {
    const QN_builder* b = QN_builder_find(kind);
    if (!b) {
        std::string known;
        for (const QN_builder& k : QN_builders()) known += (known.empty() ? "" : ", ") + std::string(k.kind);
        value_error("no builder named '" + kind + "' (" + known + ")");
    }
    return *b;
}

std::vector<std::string> builder_kinds() {
    std::vector<std::string> kinds;
    for (const QN_builder& b : QN_builders()) kinds.emplace_back(b.kind);
    return kinds;
}

// The builder's group as its form opens: (label, value, tip) for every
// value, a per-type label once per type.
std::vector<std::tuple<std::string, std::string, std::string>> builder_defaults(const std::string& kind) {
    const QN_builder& b = builder_of(kind);
    CoreHold hold;
    QN_store_init();
    b.defaults();
    std::vector<std::tuple<std::string, std::string, std::string>> out;
    for (const Quelm_data_bit_LV2& bit : Quelm_data[static_cast<size_t>(b.group)].bits) {
        if (bit.values.empty()) continue;
        const std::string label = Quelm_get_label(bit.values[0]);
        std::string value;
        Quelm_scan_char_single(bit.values[0], label, value);
        out.emplace_back(label, value, bit.tip);
    }
    return out;
}

// Builds as "quelm-batch build KIND" does; side files (the polycrystal
// generator's log) go into folder. The model and the builder's message.
std::pair<Model, std::string> build(const std::string& kind, const std::vector<std::string>& entries,
                                    py::object elements, bool accept_mismatch, py::object status,
                                    const std::string& folder, py::object progress) {
    const QN_builder& b = builder_of(kind);
    QN_batch_args args;
    args.entries = entries;
    if (!status.is_none()) args.options.emplace_back("--status", status.cast<std::string>());
    if (!elements.is_none()) args.options.emplace_back("--elements", elements.cast<std::string>());
    if (accept_mismatch) args.options.emplace_back("--accept-mismatch", "");
    CoreHold hold;
    std::string error;
    const int filled = QN_builder_fill(b, args, error);
    if (filled == 1) os_error(error);
    if (filled != 0) value_error(error);
    Model m;
    QB_init(&m.s);
    std::string message;
    int built = 0;
    const std::string target = folder + "/model";
    run_long(progress, [&] { built = b.build(&m.s, target, args, message); });
    if (built != 1) {
        // The command line's hint, in the words of the Python call.
        const std::string hint = "give --accept-mismatch";
        const size_t at = message.find(hint);
        if (at != std::string::npos) message.replace(at, hint.size(), "give accept_mismatch=True");
        value_error(message);
    }
    return {std::move(m), message};
}

// Loads the recipe from its file (path) or from text (named path in messages).
void load_recipe(py::object text, const std::string& path) {
    AK_free_all();
    std::string message;
    const int loaded = text.is_none() ? AK_load(path, message) : AK_load_text(text.cast<std::string>(), path, message);
    if (loaded == -1 && text.is_none() && message.rfind(path + ":", 0) != 0) os_error(message);
    if (loaded == -2 && message.rfind(path + ":", 0) != 0) message = path + ":1: " + message;
    if (loaded != 1) value_error(message);
}

// One step's line of the run's report: (number, kind, ran, failed, message, atoms).
using StepLine = std::tuple<int, std::string, bool, bool, std::string, int>;

std::tuple<Model, std::vector<StepLine>, std::string> atomkit_run(const Model& base, py::object text,
                                                                  const std::string& path, int upto,
                                                                  py::object progress) {
    if (upto < 0) value_error("upto takes a step number, 1 or more");
    CoreHold hold;
    load_recipe(text, path);
    Model out;
    std::vector<AK_step_report> report;
    std::string message;
    int failed = 0;
    run_long(progress, [&] { failed = AK_run(base.s, &out.s, upto, report, message); });
    std::vector<StepLine> lines;
    std::string why;
    for (const AK_step_report& r : report) {
        const char* kind = AK_step_kinds[AKdata_step[static_cast<size_t>(r.index)].kind].method;
        lines.emplace_back(r.number, kind, r.ran, r.failed, r.message, r.atoms);
        if (r.failed) why += QB_format("\nstep %d %s: failed, %s", r.number, kind, r.message.c_str());
    }
    if (failed) value_error(message + why);
    return {std::move(out), lines, message};
}

// The region's preview on a copy of the model: true inside.
py::array_t<bool> atomkit_select(const Model& m, py::object text, const std::string& path, const std::string& region) {
    CoreHold hold;
    load_recipe(text, path);
    const int id = AK_region_id(region);
    if (id < 0) value_error(path + " has no region named " + region);
    QB_tools copy;
    QB_copy_system(&copy, &m.s);
    AK_region_select(&copy, id);
    const int slot = QB_slot_get(&copy, "Select");
    py::array_t<bool> mask(copy.natoms);
    auto w = mask.mutable_unchecked<1>();
    for (int i = 0; i < copy.natoms; i++) w(i) = slot >= 0 && QB_slot_data(&copy, slot, i) != 0;
    return mask;
}

}  // namespace

bool engine_analysis(Model& m, const std::string& method, py::object reference, const py::dict& settings,
                     const py::object& progress, py::dict& out) {
    int k = -1;
    for (int j = 0; j < QN_KAVIR_COUNT; j++)
        if (method == QN_KAVIR_names[j]) k = j;
    if (k < 0) return false;
    CoreHold hold;
    QN_store_init();
    QN_KAVIR_init(m.s.ntypes);
    // A reference model is handed to the engine as a data file.
    std::optional<QB_private_folder> scratch;
    std::string reference_path;
    if (py::isinstance<py::str>(reference)) {
        reference_path = reference.cast<std::string>();
    } else if (py::isinstance<Model>(reference)) {
        scratch.emplace("quelm_py_");
        if (scratch->path.empty()) os_error("Cannot make a private folder for the reference");
        reference_path = scratch->path + "/reference.lmp";
        Model& ref = reference.cast<Model&>();
        const int written = QN_write_model(&ref.s, reference_path.c_str(), 1);
        if (written != 1) os_error(QN_write_failure(&ref.s, written, reference_path));
    } else if (!reference.is_none()) {
        value_error("reference must be a quelm.Model or a file's path");
    }
    if (!reference_path.empty()) QN_set_bit_char(QN_KAVIR_GROUP, "KV_ref", reference_path);
    // A keyword names the analysis' own value (cut is KV_dva_cut for dva),
    // else one the analyses share (eli is KV_eli).
    QN_batch_args args;
    const std::string own = std::string("KV_") + method + "_";
    for (auto item : settings) {
        const std::string name = py::str(item.first).cast<std::string>();
        py::dict one;
        one[item.first] = item.second;
        const std::string prefix = Quelm_scan_dest_single(QN_KAVIR_GROUP, own + name) >= 0 ? own : "KV_";
        for (const std::string& e : settings_entries(one, prefix, false)) args.entries.push_back(e);
    }
    std::string error;
    if (QN_batch_fill_group(QN_KAVIR_GROUP, args, error) != 0) value_error(error);
    std::string message;
    std::vector<std::string> columns;
    int done = 0;
    run_long(progress, [&] { done = QN_KAVIR_compute(&m.s, k, message, &columns); });
    if (done != 1) value_error(message);
    for (const std::string& c : columns) out[py::str(c)] = column_copy(m.s, c);
    out["message"] = message;
    return true;
}

void bind_making(py::module_& mod) {
    mod.def("builder_kinds", &builder_kinds);
    mod.def("builder_defaults", &builder_defaults, py::arg("kind"));
    mod.def("build", &build, py::arg("kind"), py::arg("entries"), py::arg("elements"), py::arg("accept_mismatch"),
            py::arg("status"), py::arg("folder"), py::arg("progress"));
    mod.def("atomkit_run", &atomkit_run, py::arg("model"), py::arg("text"), py::arg("path"), py::arg("upto"),
            py::arg("progress"));
    mod.def("atomkit_select", &atomkit_select, py::arg("model"), py::arg("text"), py::arg("path"), py::arg("region"));
    mod.def("atomkit_kinds", [] {
        std::vector<std::pair<std::string, std::string>> regions, steps;
        for (const AK_kind_info& k : AK_region_kinds) regions.emplace_back(k.keyword, k.fields);
        for (const AK_kind_info& k : AK_step_kinds) steps.emplace_back(k.keyword, k.fields);
        return std::make_pair(regions, steps);
    });
    mod.def("monocrystal_structures", [] {
        std::vector<std::string> names;
        for (const QN_single_structure& s : QN_single_structures) names.emplace_back(s.label);
        return names;
    });
    mod.def("engine_methods", [] {
        std::vector<std::string> names(QN_KAVIR_names, QN_KAVIR_names + QN_KAVIR_COUNT);
        return names;
    });
}

}  // namespace qpy
