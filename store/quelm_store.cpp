#include "store/quelm_store.h"

#include <climits>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <type_traits>

#include "qb/qb_file.h"
#include "qb/qb_progress.h"
#include "qb/qb_text.h"

std::vector<Quelm_data_bit_LV3> Quelm_data;
int QN_MAX_BIT = 0;
int BIND_IDLIST[3][QN_BIND_MAX] = {{-1, -1, -1, -1, -1, -1, -1, -1, -1, -1},
                                   {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1},
                                   {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}};

namespace {

const char* const LOOP_FLAG = "PRIVATE_LOOP_FLAG";

int count(const Quelm_data_bit_LV2& bit) { return static_cast<int>(bit.values.size()); }

bool valid_group(int group) { return group >= 0 && static_cast<size_t>(group) < Quelm_data.size(); }

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// A label must come back from a status file as the label of its own entry.
bool valid_label(const std::string& label) {
    if (label.empty() || label == LOOP_FLAG) return false;
    for (char c : label)
        if (c == '=' || is_blank(c)) return false;
    return true;
}

// The matching rule: offset of the value inside entry, or npos. Only a text
// may be empty; a number needs at least one character.
size_t value_offset(const std::string& entry, const std::string& label, bool empty_allowed) {
    const size_t start = !entry.empty() && entry[0] == '-' ? 1 : 0;
    const size_t n = label.size();
    if (entry.size() - start < n + (empty_allowed ? 1 : 2) || entry[start + n] != '=' || entry.compare(start, n, label) != 0)
        return std::string::npos;
    return start + n + 1;
}

int to_int(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 2147483648.0) return INT_MAX;
    if (v <= -2147483649.0) return INT_MIN;
    return static_cast<int>(v);
}

void parse(const char* text, double& out) { out = QB_strtod(text, nullptr); }
void parse(const char* text, int& out) { out = to_int(QB_strtod(text, nullptr)); }

// Applies the matching rule to one entry and parses its value.
template <class T>
bool match(const std::string& entry, const std::string& label, T& out) {
    const size_t at = value_offset(entry, label, std::is_same_v<T, std::string>);
    if (at == std::string::npos) return false;
    // Values may hold NUL bytes read from a file; texts keep them all.
    if constexpr (std::is_same_v<T, std::string>)
        out = entry.substr(at);
    else
        parse(entry.c_str() + at, out);
    return true;
}

// Index of matching bit number `occurrence` (by slot 0); each match met on the
// way writes *out when given.
template <class T>
int find_bit(int group, const std::string& label, int occurrence, T* out) {
    if (!valid_group(group) || occurrence < 0) return -1;
    const auto& bits = Quelm_data[group].bits;
    T value{};
    int seen = 0;
    for (size_t i = 0; i < bits.size(); i++) {
        if (bits[i].values.empty() || !match(bits[i].values[0], label, value)) continue;
        if (out) *out = value;
        if (seen++ == occurrence) return static_cast<int>(i);
    }
    return -1;
}

template <class T>
int scan_multi(int group, int occurrence, const std::string& label, T& out) {
    return find_bit(group, label, occurrence, &out) >= 0 ? 1 : 0;
}

template <class T>
int scan_loop(int group, const std::string& label, T& out, int slot) {
    if (!valid_group(group) || slot < 0) return 0;
    for (const auto& bit : Quelm_data[group].bits)
        if (static_cast<size_t>(slot) < bit.values.size() && match(bit.values[slot], label, out))
            return count(bit);
    return 0;
}

// The one place that changes a bit's values. Slot 0 replaces them all by one;
// slot k > 0 overwrites slot k or appends it when k == value_count.
int write_slot(Quelm_data_bit_LV2& bit, std::string text, int slot) {
    if (slot < 0 || static_cast<size_t>(slot) > bit.values.size()) return QN_REFUSED;
    if (slot == 0)
        bit.values.assign(1, std::move(text));
    else if (static_cast<size_t>(slot) == bit.values.size())
        bit.values.push_back(std::move(text));
    else
        bit.values[slot] = std::move(text);
    bit.value_count = static_cast<int>(bit.values.size());
    return 1;
}

std::string value_text(const std::string& label, int v) { return "-" + label + QB_format("=%d", v); }
// "%lf", unless its six decimals would lose the value (a strain rate of
// 2e-7 must not become 0): then the shortest text that reads back exactly.
std::string value_text(const std::string& label, double v) {
    std::string text = QB_format("%lf", v);
    const double back = QB_strtod(text.c_str(), nullptr);
    if (std::isfinite(v) && v != 0 && std::fabs(back - v) > 1e-3 * std::fabs(v)) {
        char shortest[64];
        const auto end = std::to_chars(shortest, shortest + sizeof shortest, v).ptr;
        text.assign(shortest, end);
    }
    return "-" + label + "=" + text;
}
std::string value_text(const std::string& label, const std::string& v) { return "-" + label + "=" + v; }

template <class T>
int set_bit(int group, int occurrence, const std::string& label, const T& value, int slot) {
    if (!valid_group(group) || !valid_label(label) || occurrence < 0) return QN_REFUSED;
    auto& g = Quelm_data[group];
    int index = Quelm_scan_dest_multi(group, label, occurrence);
    if (index < 0) {
        if (slot != 0) return QN_REFUSED;  // a new bit starts at slot 0
        Quelm_data_bit_LV2 bit;
        bit.label = label;
        g.bits.push_back(std::move(bit));
        g.bit_count = static_cast<int>(g.bits.size());
        index = g.bit_count - 1;
    }
    return write_slot(g.bits[index], value_text(label, value), slot);
}

template <class T>
int save_bit(std::vector<Quelm_data_bit_LV2>& bits, int index, const std::string& label, const T& value, int slot) {
    if (index < 0 || static_cast<size_t>(index) >= bits.size() || !valid_label(label)) return QN_REFUSED;
    return write_slot(bits[index], value_text(label, value), slot);
}

template <class T>
int reset_bit(int group, int occurrence, const std::string& label, const std::string& entry, int slot) {
    T value{};
    if (!match(entry, label, value)) return 0;
    return set_bit(group, occurrence, label, value, std::is_same_v<T, std::string> ? 0 : slot);
}

// A title or tip is one comment line of the files; a line end inside it would
// turn the rest into entries.
std::string comment_line(const std::string& text) { return "#" + text.substr(0, text.find('\n')) + "\n"; }

bool put(FILE* f, const std::string& s) { return std::fwrite(s.data(), 1, s.size(), f) == s.size(); }

// How a group expands into tasks: for each bit its place value (free bits),
// the bind entry that gives its slot (followers), or neither (no values).
struct task_plan {
    long long tasks = 1;
    std::vector<long long> place;  // 0: not a free bit
    std::vector<int> bind_entry;   // -1: not a follower
};

int bind_entries() {
    int k = 0;
    while (k < QN_BIND_MAX && BIND_IDLIST[0][k] != -1 && BIND_IDLIST[1][k] != -1) k++;
    return k;
}

int plan_tasks(int group, task_plan& plan) {
    if (!valid_group(group)) return QN_REFUSED;
    const auto& bits = Quelm_data[group].bits;
    const long long n = static_cast<long long>(bits.size());
    plan.place.assign(bits.size(), 0);
    plan.bind_entry.assign(bits.size(), -1);
    const int entries = bind_entries();
    for (int k = 0; k < entries; k++) {
        const int d = BIND_IDLIST[0][k], f = BIND_IDLIST[1][k];
        if (d < 0 || d >= f || f >= n) return QN_BAD_BIND;
        // A follower without values takes no part; one with values needs a
        // slot for every slot its driver can take.
        if (count(bits[f]) > 0 && (count(bits[f]) < count(bits[d]) || count(bits[d]) == 0)) return QN_BAD_BIND;
        if (plan.bind_entry[f] < 0) plan.bind_entry[f] = k;
    }
    plan.tasks = 1;
    for (size_t i = 0; i < bits.size(); i++) {
        if (count(bits[i]) < 1 || plan.bind_entry[i] >= 0) continue;
        plan.place[i] = plan.tasks;
        plan.tasks *= count(bits[i]);
        if (plan.tasks > INT_MAX - 1) return QN_TOO_MANY_TASKS;
    }
    return static_cast<int>(plan.tasks);
}

// Text of one task script.
std::string task_text(const Quelm_data_bit_LV3& g, const task_plan& plan, int task) {
    std::string out = comment_line(g.title);
    const int entries = bind_entries();
    for (size_t i = 0; i < g.bits.size(); i++) {
        const auto& bit = g.bits[i];
        if (count(bit) < 1) continue;
        const int slot = plan.bind_entry[i] >= 0 ? BIND_IDLIST[2][plan.bind_entry[i]]
                                                 : QN_id_extract(0, task, static_cast<int>(plan.place[i]), count(bit));
        out += comment_line(bit.tip) + bit.values[slot] + "\n";
        for (int k = 0; k < entries; k++)
            if (BIND_IDLIST[0][k] == static_cast<int>(i)) BIND_IDLIST[2][k] = slot;
    }
    return out;
}

struct progress_report {
    explicit progress_report(const std::string& message) { QB_progress_begin(message.c_str()); }
    ~progress_report() { QB_progress_end(); }
};

}  // namespace

// ---- Store -----------------------------------------------------------------

void QN_store_init() {
    Quelm_data.assign(QN_FIXED_GROUPS, Quelm_data_bit_LV3());
    QN_MAX_BIT = QN_FIXED_GROUPS;
    QN_output_bind_free();
}

void QN_store_free() {
    Quelm_data.clear();
    Quelm_data.shrink_to_fit();
    QN_MAX_BIT = 0;
    QN_output_bind_free();
}

int QN_reset_group(int group, const std::string& title) {
    if (!valid_group(group)) return QN_REFUSED;
    QN_delete_group(Quelm_data[group]);
    Quelm_data[group].title = title;
    return 1;
}

int QN_add_zone() {
    if (Quelm_data.size() < static_cast<size_t>(QN_FIXED_GROUPS) || Quelm_data.size() >= INT_MAX)
        return QN_REFUSED;
    Quelm_data.emplace_back();
    QN_MAX_BIT = static_cast<int>(Quelm_data.size());
    return QN_MAX_BIT - 1;
}

void QN_delete_group(Quelm_data_bit_LV3& group) {
    group.bits.clear();
    group.bit_count = 0;
}

int QN_delete_bit(std::vector<Quelm_data_bit_LV2>& bits, int index) {
    if (index < 0 || static_cast<size_t>(index) >= bits.size()) return QN_REFUSED;
    bits[index].values.clear();
    bits[index].value_count = 0;
    return 1;
}

// ---- Writers ---------------------------------------------------------------

int QN_set_bit_int_multi(int group, int occurrence, const std::string& label, int value, int slot) {
    return set_bit(group, occurrence, label, value, slot);
}
int QN_set_bit_double_multi(int group, int occurrence, const std::string& label, double value, int slot) {
    return set_bit(group, occurrence, label, value, slot);
}
int QN_set_bit_char_multi(int group, int occurrence, const std::string& label, const std::string& text) {
    return set_bit(group, occurrence, label, text, 0);
}
int QN_set_bit_int(int group, const std::string& label, int value, int slot) {
    return set_bit(group, 0, label, value, slot);
}
int QN_set_bit_double(int group, const std::string& label, double value, int slot) {
    return set_bit(group, 0, label, value, slot);
}
int QN_set_bit_char(int group, const std::string& label, const std::string& text) {
    return set_bit(group, 0, label, text, 0);
}
int QN_set_bit_text_multi(int group, int occurrence, const std::string& label, const std::string& text, int slot) {
    return set_bit(group, occurrence, label, text, slot);
}

int QN_save_bit_int(std::vector<Quelm_data_bit_LV2>& bits, int index, const std::string& label, int value, int slot) {
    return save_bit(bits, index, label, value, slot);
}
int QN_save_bit_double(std::vector<Quelm_data_bit_LV2>& bits, int index, const std::string& label, double value,
                       int slot) {
    return save_bit(bits, index, label, value, slot);
}
int QN_save_bit_char(std::vector<Quelm_data_bit_LV2>& bits, int index, const std::string& label,
                     const std::string& text) {
    return save_bit(bits, index, label, text, 0);
}

int QN_reset_bit_int_multi(int group, int occurrence, const std::string& label, const std::string& entry, int slot) {
    return reset_bit<int>(group, occurrence, label, entry, slot);
}
int QN_reset_bit_double_multi(int group, int occurrence, const std::string& label, const std::string& entry, int slot) {
    return reset_bit<double>(group, occurrence, label, entry, slot);
}
int QN_reset_bit_char_multi(int group, int occurrence, const std::string& label, const std::string& entry, int slot) {
    return reset_bit<std::string>(group, occurrence, label, entry, slot);
}
int QN_reset_bit_int(int group, const std::string& label, const std::string& entry, int slot) {
    return reset_bit<int>(group, 0, label, entry, slot);
}
int QN_reset_bit_double(int group, const std::string& label, const std::string& entry, int slot) {
    return reset_bit<double>(group, 0, label, entry, slot);
}
int QN_reset_bit_char(int group, const std::string& label, const std::string& entry, int slot) {
    return reset_bit<std::string>(group, 0, label, entry, slot);
}

// ---- Readers ---------------------------------------------------------------

int QN_scan_int_single(int group, const std::string& label, int& out) { return scan_multi(group, 0, label, out); }
int QN_scan_double_single(int group, const std::string& label, double& out) {
    return scan_multi(group, 0, label, out);
}
int QN_scan_char_single(int group, const std::string& label, std::string& out) {
    return scan_multi(group, 0, label, out);
}
int QN_stored_int(int group, const std::string& label, int fallback) {
    QN_scan_int_single(group, label, fallback);
    return fallback;
}
double QN_stored_double(int group, const std::string& label, double fallback) {
    QN_scan_double_single(group, label, fallback);
    return fallback;
}
std::string QN_stored_text(int group, const std::string& label, const std::string& fallback) {
    std::string v = fallback;
    QN_scan_char_single(group, label, v);
    return v;
}
int QN_scan_int_multi(int group, int occurrence, const std::string& label, int& out) {
    return scan_multi(group, occurrence, label, out);
}
int QN_scan_double_multi(int group, int occurrence, const std::string& label, double& out) {
    return scan_multi(group, occurrence, label, out);
}
int QN_scan_char_multi(int group, int occurrence, const std::string& label, std::string& out) {
    return scan_multi(group, occurrence, label, out);
}
int QN_scan_int_loop(int group, const std::string& label, int& out, int slot) {
    return scan_loop(group, label, out, slot);
}
int QN_scan_double_loop(int group, const std::string& label, double& out, int slot) {
    return scan_loop(group, label, out, slot);
}

int Quelm_scan_dest_single(int group, const std::string& label) {
    return find_bit<std::string>(group, label, 0, nullptr);
}
int Quelm_scan_dest_multi(int group, const std::string& label, int occurrence) {
    return find_bit<std::string>(group, label, occurrence, nullptr);
}

int Quelm_scan_int_single(const std::string& entry, const std::string& label, int& out) {
    return match(entry, label, out) ? 1 : 0;
}
int Quelm_scan_double_single(const std::string& entry, const std::string& label, double& out) {
    return match(entry, label, out) ? 1 : 0;
}
int Quelm_scan_char_single(const std::string& entry, const std::string& label, std::string& out) {
    return match(entry, label, out) ? 1 : 0;
}

std::string Quelm_get_label(const std::string& entry) {
    const size_t start = !entry.empty() && entry[0] == '-' ? 1 : 0;
    const size_t eq = entry.find('=', start);
    return entry.substr(start, eq == std::string::npos ? std::string::npos : eq - start);
}

// ---- Status file -----------------------------------------------------------

int QN_dump_status(const std::string& path, int group) {
    if (!valid_group(group)) return QN_REFUSED;
    const bool has_ext = path.size() > 4 && path.compare(path.size() - 4, 4, ".qnw") == 0;
    QB_output_file file(has_ext ? path : path + ".qnw");
    if (!file) return QN_FILE_ERROR;
    const auto& g = Quelm_data[group];
    bool ok = put(file.get(), comment_line(g.title));
    for (const auto& bit : g.bits) {
        if (bit.values.empty()) continue;
        ok = put(file.get(), comment_line(bit.tip)) && ok;
        if (bit.values.size() == 1) {
            ok = put(file.get(), bit.values[0] + "\n") && ok;
            continue;
        }
        for (size_t k = 0; k < bit.values.size(); k++)
            ok = put(file.get(), QB_format("-PRIVATE_LOOP_FLAG=%d\t", static_cast<int>(k)) + bit.values[k] + "\n") && ok;
        ok = put(file.get(), "-PRIVATE_LOOP_FLAG=0\t") && ok;
    }
    return ok && file.commit() ? 1 : QN_FILE_ERROR;
}

int Quelm_read_add(const std::string& path, std::vector<std::string>& entries, std::vector<int>& loop_flags) {
    entries.clear();
    loop_flags.clear();
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file) return QN_FILE_ERROR;
    std::string text;
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) text.append(buffer, got);
    if (std::ferror(file.get())) return QN_FILE_ERROR;

    const size_t end = text.size();
    size_t pos = 0;
    // The next token as [begin, pos); false at the end of the text.
    size_t begin = 0;
    auto next_token = [&]() {
        while (pos < end && is_blank(text[pos])) pos++;
        begin = pos;
        while (pos < end && !is_blank(text[pos])) pos++;
        return pos > begin;
    };
    auto starts = [&](const char* two) { return pos - begin >= 2 && text[begin] == two[0] && text[begin + 1] == two[1]; };

    bool in_entry = false;
    while (next_token() && entries.size() < static_cast<size_t>(INT_MAX)) {
        if (text[begin] == '#' || starts("//")) {
            const size_t eol = text.find('\n', begin);
            pos = eol == std::string::npos ? end : eol;
        } else if (starts("/*")) {
            while (next_token() && !(pos - begin >= 2 && text[pos - 2] == '*' && text[pos - 1] == '/')) {
            }
        } else if (text[begin] == '-' && std::memchr(text.data() + begin, '=', pos - begin)) {
            entries.emplace_back(text, begin, pos - begin);
            in_entry = true;
        } else if (in_entry) {
            entries.back().append(1, ' ').append(text, begin, pos - begin);
        }
    }

    // Loop flags, after the entries are complete (a flag entry may have
    // collected words behind it).
    int flag = 0;
    for (size_t i = 0; i < entries.size(); i++) {
        int v = 0;
        if (match(entries[i], LOOP_FLAG, v)) flag = v >= 0 && static_cast<size_t>(v) <= i ? v : -1;
        loop_flags.push_back(flag);
    }
    return static_cast<int>(entries.size());
}

// ---- Task scripts and bind table -------------------------------------------

int QN_sum_script(int group) {
    task_plan plan;
    return plan_tasks(group, plan);
}

int QN_dump_script(const std::string& base, int group) {
    task_plan plan;
    const int tasks = plan_tasks(group, plan);
    if (tasks < 0) return tasks;
    progress_report report(QB_format("Submitting %d tasks", tasks));
    for (int t = 0; t < tasks; t++) {
        QB_progress_update(100.0 * t / tasks);
        QB_output_file file(QB_format("%s%d.qld", base.c_str(), t + 1));
        if (!file || !put(file.get(), task_text(Quelm_data[group], plan, t)) || !file.commit())
            return QN_FILE_ERROR;
    }
    return tasks + 1;
}

int QN_id_extract(int, int task, int place, int n) {
    if (task < 0 || place < 1 || n < 1) return QN_REFUSED;
    const long long p = place;
    return static_cast<int>((task % (p * n)) / p);
}

int QN_output_bind_set(int k, int a, int b) {
    if (k < 0 || k >= QN_BIND_MAX || a < 0 || b < 0 || a == b) return QN_REFUSED;
    BIND_IDLIST[0][k] = a < b ? a : b;
    BIND_IDLIST[1][k] = a < b ? b : a;
    return 1;
}

void QN_output_bind_free() {
    for (int k = 0; k < QN_BIND_MAX; k++) {
        BIND_IDLIST[0][k] = -1;
        BIND_IDLIST[1][k] = -1;
    }
}
