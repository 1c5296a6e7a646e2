#include "tools/potential_batch.h"

#include <string>
#include <vector>

#include "store/quelm_batch_core.h"
#include "tools/potentials.h"

namespace {

const char* const kConvertUsage = "usage: quelm-batch convert-potential IN -o OUT.quelm [--format alloy|fs]";
const char* const kRemapUsage = "usage: quelm-batch remap-potential IN.quelm -o OUT.quelm --map E1,E2,...";

int usage(FILE* err, const std::string& why, const char* line) {
    std::fprintf(err, "%s\n%s\n", why.c_str(), line);
    return 2;
}

// "2,1,1" → {2, 1, 1}; false unless every item is a positive whole number.
bool parse_map(const std::string& text, std::vector<int>& map) {
    map.clear();
    size_t p = 0;
    while (true) {
        const size_t comma = text.find(',', p);
        const std::string item = text.substr(p, comma == std::string::npos ? std::string::npos : comma - p);
        if (item.empty() || item.size() > 9 || item.find_first_not_of("0123456789") != std::string::npos)
            return false;
        map.push_back(std::stoi(item));
        if (map.back() < 1) return false;
        if (comma == std::string::npos) return true;
        p = comma + 1;
    }
}

}  // namespace

int QN_batch_convert_potential(int argc, const char* const* argv, FILE* out, FILE* err) {
    QN_batch_args args;
    std::string error;
    if (!QN_batch_parse(argc, argv, 2, {"-o", "--format"}, args, error)) return usage(err, error, kConvertUsage);
    if (args.words.size() != 1 || !args.entries.empty())
        return usage(err, "convert-potential takes one input file", kConvertUsage);
    const std::string* output = args.option("-o");
    if (!output || output->empty()) return usage(err, "convert-potential needs an output file (-o)", kConvertUsage);
    const std::string& input = args.words[0];
    QT_setfl_layout layout = QT_setfl_layout::alloy;
    if (const std::string* format = args.option("--format")) {
        if (*format == "alloy")
            layout = QT_setfl_layout::alloy;
        else if (*format == "fs")
            layout = QT_setfl_layout::fs;
        else
            return usage(err, "unknown --format " + *format + " (alloy or fs)", kConvertUsage);
    } else if (!QT_setfl_layout_of(input, layout, error)) {
        std::fprintf(err, "%s\n", error.c_str());
        return 1;
    }
    if (!QT_setfl_to_quelm(input, *output, layout, error)) {
        std::fprintf(err, "%s\n", error.c_str());
        return 1;
    }
    std::fprintf(out, "%s: %s (%s) written as %s\n", error.c_str(), input.c_str(),
                 layout == QT_setfl_layout::alloy ? "eam/alloy" : "eam/fs", output->c_str());
    return 0;
}

int QN_batch_remap_potential(int argc, const char* const* argv, FILE* out, FILE* err) {
    QN_batch_args args;
    std::string error;
    if (!QN_batch_parse(argc, argv, 2, {"-o", "--map"}, args, error)) return usage(err, error, kRemapUsage);
    if (args.words.size() != 1 || !args.entries.empty())
        return usage(err, "remap-potential takes one .quelm file", kRemapUsage);
    const std::string* output = args.option("-o");
    if (!output || output->empty()) return usage(err, "remap-potential needs an output file (-o)", kRemapUsage);
    const std::string* map_text = args.option("--map");
    std::vector<int> map;
    if (!map_text) return usage(err, "remap-potential needs --map", kRemapUsage);
    if (!parse_map(*map_text, map))
        return usage(err, "--map " + *map_text + " is not a list of element numbers counted from 1 (2,1,...)",
                     kRemapUsage);
    if (QT_remap_quelm(args.words[0], *output, map, error) != 1) {
        std::fprintf(err, "%s\n", error.c_str());
        return 1;
    }
    std::fprintf(out, "%s: %s written for %zu types\n", error.c_str(), output->c_str(), map.size());
    return 0;
}

void QN_batch_register_potentials() {
    QN_batch_add_command("convert-potential",
                         "  convert-potential IN -o OUT.quelm [--format alloy|fs]\n"
                         "                            turn a LAMMPS eam/alloy or eam/fs file into a .quelm file\n"
                         "                            (the layout is recognised from the file when not given)\n",
                         QN_batch_convert_potential);
    QN_batch_add_command("remap-potential",
                         "  remap-potential IN.quelm -o OUT.quelm --map E1,E2,...\n"
                         "                            rewrite a .quelm file for a model: type t takes element Et\n"
                         "                            of IN (counted from 1)\n",
                         QN_batch_remap_potential);
}
