#include "dislocation/kavir_main.h"

#include <chrono>
#include <new>

#include "dislocation/kavir_compare.h"
#include "dislocation/kavir_nye.h"
#include "qb/qb_file.h"
#include "qb/qb_text.h"

namespace {

struct Analysis {
    const char* name;
    void (*run)(CKAVIR*, const std::string&);
};

// The analyses this engine runs, by their first word.
const Analysis kAnalyses[] = {
    {"nye", KAVIR_nye},
    {"dva", KAVIR_dva},
    {"ida", KAVIR_ida},
    {"sva", KAVIR_sva},
    {"dda", KAVIR_dda},
    {"sta", KAVIR_sta},
    {"nta", KAVIR_nta},
};

}  // namespace

int KAVIR_main(const KAVIR_run& run) {
    QB_c_numeric c_numbers;
    CKAVIR k(run.out, run.err, run.dir);
    k.deformed_model = run.deformed;
    k.reference_model = run.reference;
    k.table = run.table;
    k.model_columns = run.model_columns;
    auto report = [&](int status, const std::string& message) {
        if (run.out) std::fprintf(run.out, "%s\n", message.c_str());
        if (run.err && run.err != run.out) std::fprintf(run.err, "%s\n", message.c_str());
        if (run.out) std::fflush(run.out);
        return status;
    };
    try {
        CMDSETTING(&k);
        const std::string inpar = run.inpar.empty() ? k.set.INFILE : run.inpar;
        std::string text, reason;
        if (!QB_read_text_file(k.path(inpar), text, &reason))
            return report(KAVIR_BAD_DATA,
                          "infile error: can not open file " + inpar + (reason.empty() ? "" : " (" + reason + ")") +
                              "\nThe typical command lines of KAVIR for each functionality looks like :\n>> KAVIR <INPAR>\n"
                              "(<INPAR> is the command file)\n>> KAVIR\n(using command file with default name \"INPAR\")");
        int line = 1;
        const std::string word = KAVIR_analysis_word(text, line);
        if (word.empty()) return report(KAVIR_BAD_INPAR, inpar + ": the file names no analysis; the analyses are " + KAVIR_ANALYSES);
        // The word in lower or upper case, not mixed.
        std::string name = word;
        for (char& c : name)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        std::string upper = name;
        for (char& c : upper)
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (word != name && word != upper) name = word;
        for (const Analysis& a : kAnalyses)
            if (name == a.name || run.analysis) {
                k.say("function %s begin:\n", name.c_str());
                const auto t0 = std::chrono::steady_clock::now();
                (run.analysis ? run.analysis : a.run)(&k, inpar);
                k.say("Total wall time: %.0f ms\n\n",
                      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
                if (run.out) std::fflush(run.out);
                return KAVIR_WRITTEN;
            }
        return report(KAVIR_BAD_INPAR,
                      inpar + ":" + std::to_string(line) + ": unknown analysis '" + word + "'; the analyses are " +
                          KAVIR_ANALYSES +
                          "\nWrite the following commands in the first line in the command file to use the "
                          "corresponding methods above.\nNotice: the following commands must be written in the first "
                          "line of the command file.\n#dva\n#nye\n#nta\n#ida\n#sta");
    } catch (const KavirError& e) {
        return report(e.status, e.what());
    } catch (const std::bad_alloc&) {
        return report(KAVIR_BAD_DATA, "not enough memory for the analysis");
    }
}
