// Atomkit recipes: load any bytes; a recipe that loads must save, load again
// and save the same text, and run on a small crystal without failing in a
// way other than a reported step failure.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "atomkit/atomkit.h"
#include "qb/qb_tools.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    AK_free_all();
    std::string message;
    if (AK_load_text(text, "fuzz", message) != 1) return 0;
    const std::string saved = AK_save_text();
    if (AK_load_text(saved, "fuzz", message) != 1 || AK_save_text() != saved) std::abort();
    // Runs only recipes that stay small: a duplicate or fill could grow without bound.
    for (const auto& step : AKdata_step)
        if (step.kind == AK_DUPLICATE || step.kind == AK_FILL_ATOMS || step.kind == AK_EXTEND ||
            step.kind == AK_REMOVE_DUPLICATE || step.kind == AK_ADD_ATOM || step.kind == AK_MIRROR)
            return 0;
    QB_tools base;
    QB_init(&base);
    for (int k = 0; k < 3; k++) base.size[k] = base.cell[k][k] = 4;
    for (int k = 0; k < 8; k++) QB_create_atom(&base, 1 + k % 2, (k & 1) * 2.0, (k & 2) * 1.0, (k & 4) * 0.5);
    QB_tools out;
    std::vector<AK_step_report> report;
    AK_run(base, &out, 0, report, message);
    for (const auto& a : out.atoms)
        if (a.id < 1) std::abort();
    return 0;
}
