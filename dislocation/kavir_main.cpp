#include "dislocation/kavir_main.h"

#include <cstring>
#include <new>

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
};

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// The first word of the command file (words after '#' skipped).
std::string first_word(const std::string& text, int& line) {
    line = 1;
    size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '\n') line++;
        if (c == '#') {
            while (i < text.size() && text[i] != '\n') i++;
            continue;
        }
        if (!blank(c)) {
            size_t e = i;
            while (e < text.size() && !blank(text[e])) e++;
            return text.substr(i, e - i);
        }
        i++;
    }
    return "";
}

}  // namespace

int KAVIR_main(const KAVIR_run& run) {
    QB_c_numeric c_numbers;
    CKAVIR k(run.out, run.err, run.dir);
    k.deformed_model = run.deformed;
    k.reference_model = run.reference;
    k.table = run.table;
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
            return report(KAVIR_BAD_DATA, "infile error: can not open " + inpar + (reason.empty() ? "" : " (" + reason + ")"));
        int line = 1;
        const std::string word = first_word(text, line);
        if (word.empty()) return report(KAVIR_BAD_INPAR, inpar + ": the file names no analysis; the analyses are " + KAVIR_ANALYSES);
        const std::string name = lower(word);
        for (const Analysis& a : kAnalyses)
            if (name == a.name) {
                a.run(&k, inpar);
                if (run.out) std::fflush(run.out);
                return KAVIR_WRITTEN;
            }
        const std::string all = std::string(" ") + KAVIR_ANALYSES + " ";
        if (all.find(" " + name + " ") != std::string::npos)
            return report(KAVIR_BAD_INPAR, inpar + ":" + std::to_string(line) + ": the analysis " + word +
                                               " is not available in this version; the analyses are " + KAVIR_ANALYSES);
        return report(KAVIR_BAD_INPAR, inpar + ":" + std::to_string(line) + ": unknown analysis '" + word +
                                           "'; the analyses are " + KAVIR_ANALYSES);
    } catch (const KavirError& e) {
        return report(e.status, e.what());
    } catch (const std::bad_alloc&) {
        return report(KAVIR_BAD_DATA, "not enough memory for the analysis");
    }
}
