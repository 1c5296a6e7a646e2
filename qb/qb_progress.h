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
