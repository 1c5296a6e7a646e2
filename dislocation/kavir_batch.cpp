#include "dislocation/kavir_batch.h"

#include "store/quelm_batch_core.h"
#include "dislocation/kavir_main.h"

namespace {

int command_kavir(int argc, const char* const* argv, FILE* out, FILE* err) {
    QN_batch_args args;
    std::string error;
    if (!QN_batch_parse(argc, argv, 2, {"--dir"}, args, error) || args.words.size() > 1 || !args.entries.empty()) {
        std::fprintf(err, "%s\nusage: quelm-batch kavir [INPAR] [--dir DIR]\n",
                     error.empty() ? "kavir takes at most one command file" : error.c_str());
        return 2;
    }
    KAVIR_run run;
    if (const std::string* dir = args.option("--dir")) run.dir = *dir;
    if (!args.words.empty()) run.inpar = args.words[0];
    run.out = out;
    run.err = err;
    return KAVIR_main(run);
}

}  // namespace

void QN_batch_register_kavir() {
    QN_batch_add_command("kavir",
                         "  kavir [INPAR] [--dir DIR]  run the dislocation-analysis engine on the command file INPAR\n"
                         "                            (default: INPAR, or the name CMDSETTING gives); CMDSETTING and\n"
                         "                            relative names are looked up in DIR (default: here)\n",
                         command_kavir);
}
