// Progress reports of long core operations (reading a million-atom file,
// writing task scripts). The core only calls these functions; the GUI
// connects them to its busy dialog, the command line leaves them silent.
#pragma once

struct QB_progress_hooks {
    void (*begin)(const char* message);  // open a (nestable) busy report
    void (*update)(double percent);      // 0 ... 100
    void (*end)();                       // close the innermost report
};

// Installs the hooks (copied); nullptr removes them.
void QB_set_progress_hooks(const QB_progress_hooks* hooks);

void QB_progress_begin(const char* message);
void QB_progress_update(double percent);
void QB_progress_end();

// A request to stop the long operation under way, set from any thread (the
// Python module sets it on Ctrl-C). The core looks at it where it can stop
// and then fails with QB_STOPPED_MESSAGE; it stays set until cleared.
//
// Operations that look at it, each between chunks of work and leaving the
// caller's model as it was (or, for a file read, failing as any broken file
// does, with the message as the reason): the structure analysis
// (QN_MORLA_compute), the polycrystal generator (ic_xyz_poly), the LAMMPS
// data and dump readers and the extended XYZ reader, and the measurements
// (QN_measure_run). One that finishes its last chunk before it looks
// succeeds.
void QB_progress_request_stop(bool stop);
bool QB_progress_stop_requested();  // a relaxed std::atomic<bool> load, cheap
extern const char* const QB_STOPPED_MESSAGE;  // "Stopped on request"
