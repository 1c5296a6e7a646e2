// Long core operations run from Python: the work runs on a thread of its
// own without the GIL while the calling thread waits, hands the core's
// progress reports to the caller's callback and watches for Ctrl-C. On an
// interrupt (or an exception from the callback) the core is asked to stop
// where it can, the work is waited for and the Python exception raised.
#pragma once

#include <pybind11/pybind11.h>

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "qb/qb_progress.h"

namespace qpy {

namespace py = pybind11;

// The core keeps its parameters in one store per process: one operation at
// a time. The lock is waited for without the GIL, so a thread holding it can
// always get the GIL back.
inline std::recursive_mutex& core_lock() {
    static std::recursive_mutex lock;
    return lock;
}

class CoreHold {
public:
    CoreHold() {
        py::gil_scoped_release free;
        core_lock().lock();
    }
    ~CoreHold() { core_lock().unlock(); }
    CoreHold(const CoreHold&) = delete;
    CoreHold& operator=(const CoreHold&) = delete;
};

// What the core last reported, read by the waiting thread.
struct ProgressState {
    std::mutex lock;
    std::string message;
    double percent = 0;
    int changes = 0;
};

inline ProgressState*& current_progress() {
    static ProgressState* state = nullptr;
    return state;
}

inline void progress_begin(const char* message) {
    if (ProgressState* p = current_progress()) {
        std::lock_guard<std::mutex> hold(p->lock);
        p->message = message ? message : "";
        p->percent = 0;
        p->changes++;
    }
}

inline void progress_update(double percent) {
    if (ProgressState* p = current_progress()) {
        std::lock_guard<std::mutex> hold(p->lock);
        p->percent = percent;
        p->changes++;
    }
}

// Runs work() (core code only: no Python inside) and returns when it ended.
// progress (None or a callable) is called as progress(percent, message) from
// the calling thread, with the GIL, whenever the core reported something new.
template <class Work>
void run_long(const py::object& progress, Work&& work) {
    std::optional<CoreHold> one_at_a_time(std::in_place);
    ProgressState state;
    current_progress() = &state;
    static const QB_progress_hooks hooks = {progress_begin, progress_update, nullptr};
    QB_set_progress_hooks(&hooks);
    QB_progress_request_stop(false);

    std::mutex done_lock;
    std::condition_variable done_signal;
    bool done = false;
    std::exception_ptr failure;
    std::thread worker([&] {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        std::lock_guard<std::mutex> hold(done_lock);
        done = true;
        done_signal.notify_all();
    });

    bool interrupted = false;
    std::optional<py::error_already_set> pending;  // the interrupt or the callback's exception
    int seen = 0;
    double delivered = -1;
    for (;;) {
        {
            py::gil_scoped_release free;
            std::unique_lock<std::mutex> hold(done_lock);
            done_signal.wait_for(hold, std::chrono::milliseconds(interrupted ? 1000 : 50), [&] { return done; });
            if (done) break;
        }
        if (interrupted) continue;
        if (PyErr_CheckSignals() != 0) {
            pending.emplace();
            interrupted = true;
            QB_progress_request_stop(true);
            continue;
        }
        if (progress.is_none()) continue;
        double percent;
        std::string message;
        {
            std::lock_guard<std::mutex> hold(state.lock);
            if (state.changes == seen) continue;
            seen = state.changes;
            percent = state.percent;
            message = state.message;
        }
        try {
            delivered = percent;
            progress(percent, message);
        } catch (py::error_already_set& e) {
            pending.emplace(std::move(e));
            interrupted = true;
            QB_progress_request_stop(true);
        }
    }
    {
        py::gil_scoped_release free;
        worker.join();
    }
    QB_set_progress_hooks(nullptr);
    current_progress() = nullptr;
    QB_progress_request_stop(false);
    one_at_a_time.reset();
    if (pending) throw std::move(*pending);
    if (failure) std::rethrow_exception(failure);
    // The end, once, whatever the core's last report said (its threads may
    // finish the last chunks unreported).
    if (!progress.is_none() && (state.changes > seen || delivered != 100.0)) progress(100.0, state.message);
}

}  // namespace qpy
