// Running the engine in a scratch folder and reading its results back.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "dislocation/kavir_main.h"
#include "qb/qb_formats.h"
#include "qb/qb_tools.h"
#include "test_support.h"

struct KavirOutcome {
    int status;
    std::string messages;  // standard output
    std::string errors;    // standard error
};

// Writes text as INPAR in the scratch folder and runs the engine there.
inline KavirOutcome run_kavir(const ScratchDir& dir, const std::string& inpar_text, const std::string& name = "INPAR",
                              KAVIR_table* table = nullptr, const QB_tools* model = nullptr,
                              void (*analysis)(CKAVIR*, const std::string&) = nullptr,
                              const QB_tools* reference = nullptr) {
    if (!inpar_text.empty() || name == "INPAR") {
        FILE* f = std::fopen(dir.path(name).c_str(), "w");
        std::fputs(inpar_text.c_str(), f);
        std::fclose(f);
    }
    char* out_buf = nullptr;
    char* err_buf = nullptr;
    size_t out_len = 0, err_len = 0;
    FILE* out = open_memstream(&out_buf, &out_len);
    FILE* err = open_memstream(&err_buf, &err_len);
    KAVIR_run run;
    run.dir = dir.dir();
    run.inpar = name;
    run.out = out;
    run.err = err;
    run.table = table;
    run.deformed = model;
    run.reference = reference;
    run.analysis = analysis;
    const int status = KAVIR_main(run);
    std::fclose(out);
    std::fclose(err);
    KavirOutcome o{status, out_buf ? out_buf : "", err_buf ? err_buf : ""};
    std::free(out_buf);
    std::free(err_buf);
    return o;
}

// A result file read back: ids, positions and columns by name.
struct KavirResult {
    std::vector<int> id;
    std::vector<double> x, y, z;
    std::map<std::string, std::vector<double>> col;
    size_t size() const { return id.size(); }
    double operator()(const std::string& name, size_t i) const { return col.at(name).at(i); }
};

inline KavirResult read_result(const std::string& path) {
    QB_tools s;
    QB_init(&s);
    std::string reason;
    const int code = QB_read_file(&s, path.c_str(), &reason);
    EXPECT_EQ(code % 2, 1) << path << ": " << reason;
    KavirResult r;
    for (int i = 0; i < s.natoms; i++) {
        const atomdata& a = s.atoms[static_cast<size_t>(i)];
        r.id.push_back(a.id);
        r.x.push_back(a.x);
        r.y.push_back(a.y);
        r.z.push_back(a.z);
    }
    for (size_t c = 0; c < s.channel_names.size(); c++) r.col[s.channel_names[c]] = s.channel_data[c];
    return r;
}
