#include "qb/qb_progress.h"

#include <atomic>

namespace {
QB_progress_hooks installed = {nullptr, nullptr, nullptr};
std::atomic<bool> stop_request{false};
}

const char* const QB_STOPPED_MESSAGE = "Stopped on request";

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

void QB_progress_request_stop(bool stop) { stop_request.store(stop, std::memory_order_relaxed); }

bool QB_progress_stop_requested() { return stop_request.load(std::memory_order_relaxed); }
