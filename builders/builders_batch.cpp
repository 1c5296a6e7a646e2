#include "builders/builders_batch.h"

#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "builders/defects.h"
#include "builders/layers.h"
#include "builders/monocrystal.h"
#include "builders/nanostructures.h"
#include "builders/polycrystal_editor.h"
#include "qb/qb_file.h"
#include "qb/qb_text.h"
#include "store/quelm_batch_core.h"
#include "store/quelm_model_io.h"
#include "store/quelm_store.h"

namespace {

const char* const kBuildUsage =
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
    "  build --list              name the builders, one per line\n";

const char* const kScanUsage =
    "  scan BOTTOM UPPER [-S_maxlat=... -S_maxbox=... -S_maxmis=... -S_minanga=... ...]\n"
    "       [-o TABLE.tsv]       the lattice-mismatch scan of two crystals whose interface is\n"
    "                            their y-z plane: one row per match\n";

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

const std::vector<QN_builder> kBuilders = {
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
    if (!QN_batch_parse(argc, argv, 2, {"-o", "--status"}, args, error)) return QN_batch_usage_error(err, error);
    if (args.words.size() != 2) return QN_batch_usage_error(err, "scan takes BOTTOM and UPPER");
    QN_store_init();
    QN_reset_group(QN_CRACK_GROUP, " ");
    QN_scan_defaults();
    const int filled = QN_batch_fill_group(QN_CRACK_GROUP, args, error);
    if (filled == 2) return QN_batch_usage_error(err, error);
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
        if (!QN_batch_read_model(args.words[0], &a, notes, err) || !QN_batch_read_model(args.words[1], &b, notes, err)) return 1;
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

int command_build(int argc, const char* const* argv, FILE* out, FILE* err) {
    if (argc == 3 && std::strcmp(argv[2], "--list") == 0) {
        for (const QN_builder& b : kBuilders) std::fprintf(out, "%s\n", b.kind);
        return 0;
    }
    QN_batch_args args;
    std::string error;
    if (!QN_batch_parse(argc, argv, 2, {"--status", "-o", "--elements"}, args, error, {"--accept-mismatch"}))
        return QN_batch_usage_error(err, error);
    if (args.words.size() != 1) return QN_batch_usage_error(err, "build takes one KIND (see 'quelm-batch build --list')");
    const QN_builder* builder = QN_builder_find(args.words[0]);
    if (!builder) return QN_batch_usage_error(err, "no builder named '" + args.words[0] + "' (see 'quelm-batch build --list')");
    const std::string* target = args.option("-o");
    if (!target) return QN_batch_usage_error(err, "build needs -o OUT");
    int kind;
    if (QN_batch_ends_with(*target, ".lmc")) {
        kind = 0;
    } else if (QN_batch_ends_with(*target, ".lmp")) {
        kind = 1;
    } else if (QN_batch_ends_with(*target, ".POSCAR")) {
        kind = 2;
    } else {
        return QN_batch_usage_error(err, "cannot tell the format of '" + *target + "': end it in .lmp, .lmc or .POSCAR");
    }

    const int filled = QN_builder_fill(*builder, args, error);
    if (filled == 2) return QN_batch_usage_error(err, error);
    if (filled != 0) {
        std::fprintf(err, "%s\n", error.c_str());
        return 1;
    }
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
                     QN_write_failure(&model, written, *target, QN_batch_elements_hint(model)).c_str());
        return 1;
    }
    std::fprintf(out, "%s\n", message.c_str());
    return 0;
}

}  // namespace

const std::vector<QN_builder>& QN_builders() { return kBuilders; }

const QN_builder* QN_builder_find(const std::string& kind) {
    for (const QN_builder& b : kBuilders)
        if (kind == b.kind) return &b;
    return nullptr;
}

int QN_builder_fill(const QN_builder& builder, const QN_batch_args& args, std::string& error) {
    QN_store_init();
    builder.defaults();
    int filled = QN_batch_fill_group(builder.group, args, error);
    if (filled == 0 && builder.choices) {
        // As in the form: a choice brings its own values, and the values
        // given explicitly are put in again on top of them.
        builder.choices();
        filled = QN_batch_fill_group(builder.group, args, error);
    }
    if (filled != 0) return filled;
    // The form's "Elements:".
    if (const std::string* elements = args.option("--elements")) QN_set_bit_char(builder.group, "M_elements", *elements);
    return 0;
}

void QN_batch_register_builders() {
    QN_batch_add_command("build", kBuildUsage, command_build);
    QN_batch_add_command("scan", kScanUsage, command_scan);
}
