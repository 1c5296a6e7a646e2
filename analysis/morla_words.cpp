#include "analysis/morla_words.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "analysis/morla.h"
#include "qb/qb_text.h"

namespace MORLA_METHOD {

int usable_count(const double* centre, double* const* neighbours, int n) {
    if (centre == nullptr || neighbours == nullptr || n <= 0) return 0;
    if (n > MORLA_MAX_NEIGHBOURS) n = MORLA_MAX_NEIGHBOURS;
    for (int j = 0; j < n; j++)
        if (neighbours[j] == nullptr) return j;
    return n;
}

int find_word(int argc, char** argv, const char* key, int from) {
    if (argv == nullptr) return -1;
    for (int i = from < 0 ? 0 : from; i < argc; i++)
        if (argv[i] != nullptr && std::strcmp(argv[i], key) == 0) return i;
    return -1;
}

bool whole_double(const char* w, double* out) {
    if (w == nullptr || *w == '\0') return false;
    char* end = nullptr;
    const double v = QB_strtod(w, &end);
    if (end == w || *end != '\0') return false;
    *out = v;
    return true;
}

bool whole_int(const char* w, long* out) {
    if (w == nullptr || *w == '\0') return false;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(w, &end, 10);
    if (end == w || *end != '\0' || errno == ERANGE) return false;
    *out = v;
    return true;
}

bool whole_int(const char* w, int* out) {
    long v = 0;
    if (!whole_int(w, &v) || v > INT_MAX || v < INT_MIN) return false;
    *out = static_cast<int>(v);
    return true;
}

std::vector<double> numbers_after(int argc, char** argv, int k) {
    std::vector<double> out;
    double v = 0;
    for (int i = k + 1; i < argc && whole_double(argv[i], &v); i++) out.push_back(v);
    return out;
}

}  // namespace MORLA_METHOD
