#include "qb/qb_text.h"

#include <locale.h>

#include <charconv>
#include <cmath>
#include <cstdint>
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

namespace {

// "%.6f" of a finite v, exactly: v is m 2^e with
// an integer m of at most 53 bits, so v 10^6 = m 10^6 2^e is an integer
// shifted by e, whose rounding to an integer (half to even, as the C
// library rounds the exact binary value) is worked out in 128 bits.
// Returns the length, or 0 when v is too large for it (1.8e13 and more).
// The digits of n millionths, after the sign.
int millionths(char* out, bool negative, uint64_t n) {
    const uint64_t whole = n / 1000000u;
    uint64_t part = n % 1000000u;
    char* p = out;
    if (negative) *p++ = '-';
    p = std::to_chars(p, p + 24, whole).ptr;
    *p = '.';
    for (int k = 6; k >= 1; k--, part /= 10) p[k] = static_cast<char>('0' + part % 10);
    return static_cast<int>(p + 7 - out);
}

int format_fixed6(char* out, double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    // Mostly t = |v| 10^6 in double decides: it is off the exact product by
    // at most t 2^-53, so unless its fraction lies that close to a half,
    // the nearest whole number is the exact product's.
    const double t = std::fabs(v) * 1e6;
    if (t < 0x1p53) {
        const uint64_t low = static_cast<uint64_t>(t);
        const double fraction = t - static_cast<double>(low);  // exact
        if (std::fabs(fraction - 0.5) > t * 0x1p-52) return millionths(out, bits >> 63, low + (fraction > 0.5));
    }
    const int biased = static_cast<int>((bits >> 52) & 0x7FF);
    const uint64_t fraction = bits & ((uint64_t(1) << 52) - 1);
    const uint64_t m = biased == 0 ? fraction : fraction | (uint64_t(1) << 52);
    const int e = (biased == 0 ? 1 : biased) - 1075;
    if (e > 47) return 0;
    unsigned __int128 n = static_cast<unsigned __int128>(m) * 1000000u;  // below 2^73
    if (e >= 0) {
        n <<= e;  // below 2^120
    } else if (e > -128) {
        const int s = -e;
        const unsigned __int128 rest = n & ((static_cast<unsigned __int128>(1) << s) - 1);
        const unsigned __int128 half = static_cast<unsigned __int128>(1) << (s - 1);
        n >>= s;
        if (rest > half || (rest == half && (n & 1))) n++;
    } else {
        n = 0;  // below half a millionth
    }
    if (n >> 64 != 0) return 0;  // 1.8e13 and more: rare enough for the library
    return millionths(out, bits >> 63, static_cast<uint64_t>(n));
}

}  // namespace

int QB_format_lf(char* out, double v) {
    if (!std::isfinite(v)) {
        // printf spells these "inf", "-inf", "nan", "-nan".
        const char* text = std::isnan(v) ? (std::signbit(v) ? "-nan" : "nan") : (v < 0 ? "-inf" : "inf");
        const int n = static_cast<int>(std::strlen(text));
        std::memcpy(out, text, static_cast<size_t>(n));
        return n;
    }
    if (const int n = format_fixed6(out, v)) return n;
    const auto r = std::to_chars(out, out + 349, v, std::chars_format::fixed, 6);
    return static_cast<int>(r.ptr - out);
}
