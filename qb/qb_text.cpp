#include "qb/qb_text.h"

#include <locale.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {
locale_t c_locale() {
    static locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return loc;
}
}  // namespace

QB_c_numeric::QB_c_numeric() : previous_(uselocale(c_locale())) {}
QB_c_numeric::~QB_c_numeric() { uselocale(static_cast<locale_t>(previous_)); }

double QB_strtod(const char* s, char** end) { return strtod_l(s, end, c_locale()); }

namespace {
std::string vformat(const char* fmt, va_list args) {
    QB_c_numeric c;
    va_list copy;
    va_copy(copy, args);
    char small[256];
    const int n = std::vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
    std::vector<char> big(static_cast<size_t>(n) + 1);
    std::vsnprintf(big.data(), big.size(), fmt, args);
    return std::string(big.data(), static_cast<size_t>(n));
}
}  // namespace

std::string QB_format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string s = vformat(fmt, args);
    va_end(args);
    return s;
}

int QB_fprintf(FILE* f, const char* fmt, ...) {
    QB_c_numeric c;
    va_list args;
    va_start(args, fmt);
    const int n = std::vfprintf(f, fmt, args);
    va_end(args);
    return n;
}

int QB_format_lf(char* out, double v) {
    if (!std::isfinite(v)) {
        // printf spells these "inf", "-inf", "nan", "-nan".
        const char* text = std::isnan(v) ? (std::signbit(v) ? "-nan" : "nan") : (v < 0 ? "-inf" : "inf");
        const int n = static_cast<int>(std::strlen(text));
        std::memcpy(out, text, static_cast<size_t>(n));
        return n;
    }
    const auto r = std::to_chars(out, out + 349, v, std::chars_format::fixed, 6);
    return static_cast<int>(r.ptr - out);
}
