#include "qb/qb_progress.h"

namespace {
QB_progress_hooks installed = {nullptr, nullptr, nullptr};
}

void QB_set_progress_hooks(const QB_progress_hooks* hooks) {
    installed = hooks ? *hooks : QB_progress_hooks{nullptr, nullptr, nullptr};
}

void QB_progress_begin(const char* message) {
    if (installed.begin) installed.begin(message);
}

void QB_progress_update(double percent) {
    if (installed.update) installed.update(percent);
}

void QB_progress_end() {
    if (installed.end) installed.end();
}
