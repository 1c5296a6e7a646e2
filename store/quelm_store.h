// The parameter store: every form's parameters as labelled value texts
// ("-LABEL=VALUE"), grouped per form, with the status files (.qnw) that save
// one group and the task scripts (.qld) that expand a group's loops into one
// file per task.
//
// Return codes: 1 done, 0 nothing found or done, negative for a refusal.
// Readers never return a negative code (a bad group simply finds nothing), so
// "if (QN_scan_...)" is always a safe test. Nothing here opens a dialog or
// ends the program. Numbers are written and parsed in the C locale.
#pragma once

#include <string>
#include <vector>

constexpr int QN_REFUSED = -1;         // bad group, index, slot, occurrence or label
constexpr int QN_FILE_ERROR = -2;      // a file could not be opened, created or written
constexpr int QN_TOO_MANY_TASKS = -3;  // the task count does not fit an int
constexpr int QN_BAD_BIND = -4;        // BIND_IDLIST names bits that cannot be tied

constexpr int QN_FIXED_GROUPS = 8;  // groups 0 ... 7 have fixed owners
constexpr int QN_BIND_MAX = 10;     // entries of BIND_IDLIST

// One parameter. value_count always equals values.size(); slot k holds the
// whole text of the k-th value, "-LABEL=VALUE". More than one value is a loop.
struct Quelm_data_bit_LV2 {
    int value_count = 0;
    std::string tip = "blank tip";
    std::string label;  // as given when the bit was created; lookups use slot 0
    std::vector<std::string> values;
};

// One group (a form's parameters). bit_count always equals bits.size().
struct Quelm_data_bit_LV3 {
    int bit_count = 0;
    std::string title;
    std::vector<Quelm_data_bit_LV2> bits;
};

// The store. Empty until QN_store_init(); QN_MAX_BIT == Quelm_data.size().
// QN_add_zone may move the groups and a new bit may move a group's bits:
// keep group and bit indices, not references, across such calls.
extern std::vector<Quelm_data_bit_LV3> Quelm_data;
extern int QN_MAX_BIT;

// Bind table: entry k ties the follower bit BIND_IDLIST[1][k] to the driver
// bit BIND_IDLIST[0][k] (driver index < follower index); row 2 holds the
// driver's slot in the task being written. Entries are read up to the first
// -1 in row 0 or 1.
extern int BIND_IDLIST[3][QN_BIND_MAX];

// Start-up: (re)creates the 8 fixed, empty groups and empties the bind table.
// Calling it again resets the whole store (tests do this).
void QN_store_init();
// Releases every group (QN_MAX_BIT 0) and empties the bind table.
void QN_store_free();

// ---- Groups and bits -------------------------------------------------------
int QN_reset_group(int group, const std::string& title);
// Appends a group; its index, or QN_REFUSED before QN_store_init().
int QN_add_zone();
void QN_delete_group(Quelm_data_bit_LV3& group);
// Empties bits[index] (it keeps its place in the group).
int QN_delete_bit(std::vector<Quelm_data_bit_LV2>& bits, int index);

// ---- Writers by label ------------------------------------------------------
// Finds matching bit number `occurrence` (appending a new bit when there is
// none) and writes the value text "-label=value" into `slot`. Slot 0 replaces
// all values by one; slot k > 0 overwrites slot k or, for k == value_count,
// grows the loop by one. A slot beyond that (which would leave undefined slots
// between) is refused, and no bit is appended for a refused write. Labels must
// be non-empty, without blanks or '=' and not PRIVATE_LOOP_FLAG, so that every
// written value reads back from a status file under its own label.
// Doubles are written with "%lf", or, when six decimals would lose the
// value (2e-7 would read back as 0), as the shortest exact text ("2e-07").
int QN_set_bit_int_multi(int group, int occurrence, const std::string& label, int value, int slot);
int QN_set_bit_double_multi(int group, int occurrence, const std::string& label, double value, int slot);
int QN_set_bit_char_multi(int group, int occurrence, const std::string& label, const std::string& text);
int QN_set_bit_int(int group, const std::string& label, int value, int slot);
int QN_set_bit_double(int group, const std::string& label, double value, int slot);
int QN_set_bit_char(int group, const std::string& label, const std::string& text);
// Stores a value given as text (the part after '=' of an entry) in slot
// `slot` of the bit, as the numeric writers do for their values.
int QN_set_bit_text_multi(int group, int occurrence, const std::string& label, const std::string& text, int slot);

// ---- Writers by index (widget bindings know the bit's index) ---------------
// Usage: QN_save_bit_int(Quelm_data[group].bits, index, label, value, slot).
int QN_save_bit_int(std::vector<Quelm_data_bit_LV2>& bits, int index, const std::string& label, int value, int slot);
int QN_save_bit_double(std::vector<Quelm_data_bit_LV2>& bits, int index, const std::string& label, double value,
                       int slot);
int QN_save_bit_char(std::vector<Quelm_data_bit_LV2>& bits, int index, const std::string& label,
                     const std::string& text);

// ---- Writers from a status-file entry --------------------------------------
// If `entry` matches `label`, store its parsed value in `slot` (the entry's
// loop flag) and return the writer's result; otherwise change nothing and
// return 0. The text writers ignore `slot`.
int QN_reset_bit_int_multi(int group, int occurrence, const std::string& label, const std::string& entry, int slot);
int QN_reset_bit_double_multi(int group, int occurrence, const std::string& label, const std::string& entry, int slot);
int QN_reset_bit_char_multi(int group, int occurrence, const std::string& label, const std::string& entry, int slot);
int QN_reset_bit_int(int group, const std::string& label, const std::string& entry, int slot);
int QN_reset_bit_double(int group, const std::string& label, const std::string& entry, int slot);
int QN_reset_bit_char(int group, const std::string& label, const std::string& entry, int slot);

// ---- Readers ---------------------------------------------------------------
// Matching rule: drop one leading '-'; the entry matches label L when it
// starts with L and has '=' right behind it. The value is the text behind
// that '='. A text may be empty (a password not yet typed is a value too, so
// the next write finds its bit); a number read from an empty value does not
// match. Integers are parsed as doubles and
// truncated toward zero (clamped to the int range, NaN gives 0); text that is
// no number reads as 0.

// First bit whose slot 0 matches: value to out, 1. Else 0, out unchanged.
int QN_scan_int_single(int group, const std::string& label, int& out);
int QN_scan_double_single(int group, const std::string& label, double& out);
int QN_scan_char_single(int group, const std::string& label, std::string& out);
// The same, returning the value, or `fallback` when the group has none.
int QN_stored_int(int group, const std::string& label, int fallback = 0);
double QN_stored_double(int group, const std::string& label, double fallback = 0);
std::string QN_stored_text(int group, const std::string& label, const std::string& fallback = "blank");
// 1 at matching bit number `occurrence`; every matching bit met on the way
// writes out, so on 0 out holds the last match, if any.
int QN_scan_int_multi(int group, int occurrence, const std::string& label, int& out);
int QN_scan_double_multi(int group, int occurrence, const std::string& label, double& out);
int QN_scan_char_multi(int group, int occurrence, const std::string& label, std::string& out);
// First bit with more than `slot` values whose slot `slot` matches: value to
// out; returns that bit's value_count (0 when none matches).
int QN_scan_int_loop(int group, const std::string& label, int& out, int slot);
int QN_scan_double_loop(int group, const std::string& label, double& out, int slot);
// Bit index of the first / occurrence-th bit whose slot 0 matches, or -1.
int Quelm_scan_dest_single(int group, const std::string& label);
int Quelm_scan_dest_multi(int group, const std::string& label, int occurrence);
// The matching rule on one entry text: 1 and the value, or 0, out unchanged.
int Quelm_scan_int_single(const std::string& entry, const std::string& label, int& out);
int Quelm_scan_double_single(const std::string& entry, const std::string& label, double& out);
int Quelm_scan_char_single(const std::string& entry, const std::string& label, std::string& out);
// Label part of an entry: without one leading '-', up to the first '='.
std::string Quelm_get_label(const std::string& entry);

// ---- Status file, task scripts, bind table ---------------------------------
// Writes the group to `path` (".qnw" appended unless path is longer than 4
// characters and ends in it). 1, QN_REFUSED for a bad group, QN_FILE_ERROR
// when the file cannot be written (an earlier file of that name stays intact).
int QN_dump_status(const std::string& path, int group);

// Reads a status file into its entries and their loop flags (same length).
// Tokens starting with '#' or "//" skip the rest of the line; "/*" skips up to
// a later token ending in "*/"; a token starting with '-' and holding '='
// starts an entry; any other token (a word like "-np" included) is appended to
// the current entry after one blank. The loop flag of an entry is the value of
// the last "-PRIVATE_LOOP_FLAG=" entry at or before it, 0 before the first;
// a flag that is negative or larger than the number of entries before it is
// out of range and gives -1, which every writer refuses as a slot.
// Returns the number of entries, or QN_FILE_ERROR (no entries) when the file
// cannot be read.
int Quelm_read_add(const std::string& path, std::vector<std::string>& entries, std::vector<int>& loop_flags);

// Number of tasks the group expands to: the product of the value counts of
// its free bits (bits with values that are no follower), 1 without any.
// QN_REFUSED for a bad group, QN_BAD_BIND when a bind entry names a bit
// outside the group, a driver not before its follower, or a follower with
// values but fewer than its driver; QN_TOO_MANY_TASKS when the count does not
// fit (T + 1 must be an int).
int QN_sum_script(int group);
// Writes base1.qld ... baseT.qld (task t takes slot (t / p) % n of each free
// bit, p the product of the counts of the free bits before it; a follower
// takes its driver's slot) inside a "Submitting %d tasks" progress report.
// Returns T + 1, a QN_sum_script refusal, or QN_FILE_ERROR when a file cannot
// be written (files of earlier tasks stay).
int QN_dump_script(const std::string& base, int group);

// (task mod (place * n)) / place: the slot of a loop of n values with place
// value `place`; QN_REFUSED for task < 0, place < 1 or n < 1.
int QN_id_extract(int ignored, int task, int place, int n);
// Entry k ties bits a and b: row 0 <- min, row 1 <- max. QN_REFUSED for k
// outside 0 ... 9, a negative index or a == b.
int QN_output_bind_set(int k, int a, int b);
void QN_output_bind_free();
