// Status files: read any bytes, load the entries into a group the way a form
// does, write the group back and read that again. The second reading must
// rebuild the same group and write the same bytes; the task count must be
// sane and small expansions must write one script per task.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "store/quelm_store.h"

namespace {

constexpr int GROUP = 3;
constexpr int GROUP_AGAIN = 4;

std::string work_dir;

void remove_work_dir() {
    std::error_code ec;
    std::filesystem::remove_all(work_dir, ec);
}

const std::string& dir() {
    if (work_dir.empty()) {
        std::string pattern = (std::filesystem::temp_directory_path() / "fuzz_status_XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        work_dir = pattern;
        std::atexit(remove_work_dir);
    }
    return work_dir;
}

std::string read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "fuzz_status: %s\n", what);
    std::abort();
}

// A form's initialisation with every label it meets: the kind of a label
// follows from its length, a new occurrence starts at each slot-0 entry.
void load(int group, const std::vector<std::string>& entries, const std::vector<int>& flags) {
    QN_reset_group(group, "fuzz");
    std::map<std::string, int> made;
    for (size_t i = 0; i < entries.size(); i++) {
        const std::string label = Quelm_get_label(entries[i]);
        int& n = made[label];
        const int occurrence = flags[i] == 0 ? n : n - 1;
        if (occurrence < 0) continue;
        int r = 0;
        switch (label.size() % 3) {
            case 0: r = QN_reset_bit_int_multi(group, occurrence, label, entries[i], flags[i]); break;
            case 1: r = QN_reset_bit_double_multi(group, occurrence, label, entries[i], flags[i]); break;
            default: r = QN_reset_bit_char_multi(group, occurrence, label, entries[i], flags[i]); break;
        }
        check(r == 0 || r == 1 || r == QN_REFUSED, "unexpected writer result");
        if (r == 1 && flags[i] == 0) n++;
    }
}

bool same_group(const Quelm_data_bit_LV3& a, const Quelm_data_bit_LV3& b) {
    if (a.bit_count != b.bit_count || a.bits.size() != b.bits.size()) return false;
    for (size_t i = 0; i < a.bits.size(); i++)
        if (a.bits[i].values != b.bits[i].values || a.bits[i].label != b.bits[i].label ||
            a.bits[i].value_count != static_cast<int>(a.bits[i].values.size()))
            return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input = dir() + "/input.qnw", first = dir() + "/first.qnw", second = dir() + "/second.qnw";
    {
        std::ofstream out(input, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    QN_store_init();
    std::vector<std::string> entries;
    std::vector<int> flags;
    const int n = Quelm_read_add(input, entries, flags);
    check(n == static_cast<int>(entries.size()) && flags.size() == entries.size(), "entries and flags differ");
    for (size_t i = 0; i < entries.size(); i++) {
        check(!entries[i].empty() && entries[i][0] == '-', "entry without its minus");
        check(flags[i] >= -1 && flags[i] <= static_cast<int>(i), "loop flag out of range");
    }
    load(GROUP, entries, flags);
    for (const auto& bit : Quelm_data[GROUP].bits) check(!bit.values.empty(), "bit without values");

    check(QN_dump_status(first, GROUP) == 1, "status file not written");
    check(Quelm_read_add(first, entries, flags) >= 0, "status file not read");
    load(GROUP_AGAIN, entries, flags);
    check(same_group(Quelm_data[GROUP], Quelm_data[GROUP_AGAIN]), "round trip changed the group");
    check(QN_dump_status(second, GROUP_AGAIN) == 1, "second status file not written");
    check(read_bytes(first) == read_bytes(second), "round trip changed the file");

    // Tie the first two bits when the input asks for it (odd first byte).
    if (size > 0 && (data[0] & 1) && Quelm_data[GROUP].bit_count >= 2) QN_output_bind_set(0, 0, 1);
    const int tasks = QN_sum_script(GROUP);
    check(tasks >= 1 || tasks == QN_TOO_MANY_TASKS || tasks == QN_BAD_BIND, "bad task count");
    if (tasks >= 1 && tasks <= 4) {
        check(QN_dump_script(dir() + "/task", GROUP) == tasks + 1, "scripts not written");
        int taking_part = 0;
        for (const auto& bit : Quelm_data[GROUP].bits) taking_part += bit.value_count > 0;
        for (int t = 1; t <= tasks; t++) {
            const int got = Quelm_read_add(dir() + "/task" + std::to_string(t) + ".qld", entries, flags);
            check(got == taking_part, "script does not hold one value per bit");
        }
    }
    QN_output_bind_free();
    return 0;
}
