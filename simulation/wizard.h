// The simulation wizards of the remote engine: dynamic, quasistatic and shock
// tests (store groups 5, 6, 7) and crack propagation (group 4). Each wizard's
// store group expands into one task per combination of its loop values; a
// task is the engine's task script "input.qld" with the model, the potential
// re-mapped to the model's types (.quelm), the job script and the
// image-settings files.
//
// Core only (no FLTK): the windows and quelm-batch call these. Functions
// return 1 (or a count) on success and a negative code with the reason in
// `message` otherwise. The password is never part of a wizard's group, so no
// task script or status file can hold it.
#pragma once

#include <string>
#include <vector>

#include "simulation/remote_tasks.h"
#include "simulation/ssh_session.h"

enum class QN_wizard { dynamic, quasistatic, shock, crack };

struct QN_wizard_info {
    QN_wizard kind;
    const char* word;    // "dynamic", "quasistatic", "shock", "crack" (quelm-batch)
    const char* name;    // "Dynamic", "Quasistatic", "Shock", "Crack"
    int group;           // 5, 6, 7, 4
    const char* marker;  // "S_Dynamic", "S_Quasistatic", "S_Shock", "S_Crack"
};
const QN_wizard_info& QN_wizard_about(QN_wizard kind);
// "dynamic" … "crack" → the kind; false for another word.
bool QN_wizard_from_word(const std::string& word, QN_wizard& kind);

// ---- The store group -----------------------------------------------------------

// Keeps the group when it already starts with the wizard's marker (the
// window reopens with the values last entered); otherwise resets it (title
// " ") and writes the defaults in store order. 1 kept, 2 written.
int QN_wizard_init(QN_wizard kind);
// Resets the group and writes the defaults.
int QN_wizard_write_defaults(QN_wizard kind);

// Crack set-ups saved and loaded as status files (.qnw). Loading resets
// group 4 to its defaults and applies the file's entries by the wizard's
// label kinds (text, int, double; the k-th "S_mass" to occurrence k; loops
// keep their slots); a password entry in the file is ignored and named in
// `warnings`. 1, or negative when the file cannot be read or written.
int QN_crack_load_status(const std::string& path, std::string& warnings, std::string& message);
int QN_crack_apply_status(const std::vector<std::string>& entries, const std::vector<int>& loop_flags,
                          std::string& warnings);
int QN_crack_save_status(const std::string& path, std::string& message);

// The interface search of a "Tilt Interface" crack model: reads "S_inputa"
// and "S_inputb", applies the store's limits and runs the lattice-mismatch
// scan. The rows found, or negative.
struct scaned_data;
int QN_crack_search(std::vector<scaned_data>& rows, std::string& message);
// The chosen rows (by index into rows) become "S_anga" and its nine
// followers, one value per row.
int QN_crack_choose(const std::vector<scaned_data>& rows, const std::vector<int>& chosen, std::string& message);

// ---- What lives in the window, not in the store --------------------------------

// A type link: model atom type `from` (1-based) takes element `to` of the
// potential file.
struct QN_type_link {
    int from = 0;
    double to = 0;
};

// One rendered image of the remote renderer. Its colour mode is the store's
// "S_img1" … "S_img5" (0: image not used).
struct QN_image_setting {
    int width = 1000, height = 1000;
    double rotx = 0, roty = 90, rotz = 0, distance = 1000;
};

struct QN_wizard_extras {
    std::vector<QN_type_link> links;
    std::vector<QN_image_setting> images;  // images 1 … n (n = images.size() ≤ 5)
};

// Type map of `types` model types: map[t] = t + 1, then for each link with
// 0 < from ≤ types, map[from − 1] = trunc(to).
std::vector<int> QN_wizard_type_map(int types, const std::vector<QN_type_link>& links);

// Number of tasks of the wizard's group (the crack's interface solution
// followers bound to "S_anga"), or negative with the reason.
int QN_wizard_task_count(QN_wizard kind, std::string& message);

// Checks what a run needs before anything is written or sent (model and
// potential files exist, masses > 0 for each type, the re-mapping fits the
// potential, a crack "Tilt Interface" model has its solutions, no value
// lost in the task scripts …). 1, or negative with every problem, one per
// line. Users know "ERROR: Potential file not found", "ERROR: Too much
// element required in potential file" and "ERROR: Model not selected".
int QN_wizard_check(QN_wizard kind, const QN_wizard_extras& extras, std::string& message);

// Pack's refusal to replace files of an earlier package (ask, then pack
// with overwrite).
constexpr int QN_WIZARD_FILES_EXIST = -7;

// "Pack": writes into folder (created when missing) the re-mapped potential
// under the potential's file name, the model file(s), the job script,
// input1.qld … inputT.qld (files named by their bare names) and img1 …
// imgN. Existing files of those names are refused (QN_WIZARD_FILES_EXIST)
// unless overwrite. T, or negative.
int QN_wizard_pack(QN_wizard kind, const QN_wizard_extras& extras, const std::string& folder, bool overwrite,
                   std::string& message);

// The task folders as the server holds them after a submission: out_dir/R1 …
// RT, each with input.qld, the images, run_no ("0"), the potential, the
// model(s) and the job script. With `shared` given, the files every task
// shares are written once into out_dir instead and their names returned
// there (what the submission uploads once). T, or negative.
int QN_wizard_stage(QN_wizard kind, const QN_wizard_extras& extras, const std::string& out_dir, bool overwrite,
                    std::string& message, std::vector<std::string>* shared = nullptr);

// "Submit": checks, stages into a private temporary folder (removed at the
// end), uploads the shared files once, creates F/R1 … F/RT with their own
// files, and runs in each "cd -- 'F/Rj' && cp -- ../… . && echo '0' > run_no
// && [copy of ~/bin/Viz when the account has it] && COMMAND".
// With queue, the tasks go to its scheduler instead (see QN_submit_tasks).
QN_submit_report QN_wizard_submit(QN_wizard kind, const QN_wizard_extras& extras, const QN_ssh_options& options,
                                  const std::string& folder, const std::string& command, bool overwrite,
                                  QN_queue_request* queue = nullptr);

// ---- Crack results -------------------------------------------------------------

// The renderer's blocks: tasks that differ only in the tilt angle ("S_anga"
// and its followers). With p the place value of the angle loop and b its
// number of values, a block is the tasks c + p·s (s = 0 … b − 1), numbered
// from 1, for every task c whose angle slot is 0.
std::vector<std::vector<int>> QN_crack_blocks(std::string& message);

// "Download Standard": runs ~/bin/data_render in F once per block (its task
// folders' input.qld and Quelm_globel_profile1.dat as arguments), keeps each
// block's theta.png, theta.dat and union.log as F/result/thetaG.png, .dat,
// .log, and downloads them into save/result/ (unpacked). Every command and
// download is checked; the report says what failed.
QN_download_report QN_crack_download_standard(const QN_ssh_options& options, const std::string& folder,
                                              const std::string& save, QN_existing existing);
