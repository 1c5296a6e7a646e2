#include "tools/dumps.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <system_error>

#include "qb/qb_file.h"
#include "qb/qb_text.h"

namespace {

// ---------------------------------------------------------------- numbers

// "00" … "99", for writing two digits at a time.
struct DigitPairs {
    char text[200];
    DigitPairs() {
        for (int i = 0; i < 100; i++) {
            text[2 * i] = static_cast<char>('0' + i / 10);
            text[2 * i + 1] = static_cast<char>('0' + i % 10);
        }
    }
};
const DigitPairs kPairs;

// Writes the decimal digits of v; returns the end.
char* put_unsigned(char* out, uint64_t v) {
    char tmp[24];
    char* p = tmp + sizeof tmp;
    while (v >= 100) {
        const unsigned r = static_cast<unsigned>(v % 100);
        v /= 100;
        p -= 2;
        std::memcpy(p, kPairs.text + 2 * r, 2);
    }
    if (v >= 10) {
        p -= 2;
        std::memcpy(p, kPairs.text + 2 * v, 2);
    } else {
        *--p = static_cast<char>('0' + v);
    }
    const size_t n = static_cast<size_t>(tmp + sizeof tmp - p);
    std::memcpy(out, p, n);
    return out + n;
}

// Writes v as "%d" does (v may lie outside int: |INT_MIN|, type + 1).
char* put_integer(char* out, long long v) {
    if (v < 0) {
        *out++ = '-';
        return put_unsigned(out, 0ULL - static_cast<unsigned long long>(v));
    }
    return put_unsigned(out, static_cast<uint64_t>(v));
}

// Right-aligns the len characters at out in a field of 9.
char* pad9(char* out, int len) {
    if (len >= 9) return out + len;
    const int shift = 9 - len;
    std::memmove(out + shift, out, static_cast<size_t>(len));
    std::memset(out, ' ', static_cast<size_t>(shift));
    return out + 9;
}

// Little-endian fields of a record.
int32_t load_int32(const unsigned char* p) {
    uint32_t u;
    std::memcpy(&u, p, 4);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    u = __builtin_bswap32(u);
#endif
    int32_t v;
    std::memcpy(&v, &u, 4);
    return v;
}

double load_double(const unsigned char* p) {
    uint64_t u;
    std::memcpy(&u, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    u = __builtin_bswap64(u);
#endif
    double v;
    std::memcpy(&v, &u, 8);
    return v;
}

// ---------------------------------------------------------------- records

// Longest line a record can give: eleven numbers of at most 330 characters
// and two integers.
constexpr size_t kLineMax = 11 * 340 + 64;

char* put_ids(char* p, const unsigned char* r) {
    const long long id = load_int32(r);
    p = put_integer(p, id < 0 ? -id : id);
    *p++ = ' ';
    p = put_integer(p, static_cast<long long>(load_int32(r + 4)) + 1);
    return p;
}

// "%d %d %9.4lf × 11\n": |id|, type + 1 and the eleven doubles.
char* put_aes_line(char* p, const unsigned char* r) {
    p = put_ids(p, r);
    for (int k = 0; k < 11; k++) {
        *p++ = ' ';
        p = DUMP_put_fixed4(p, load_double(r + 8 + 8 * k));
    }
    *p++ = '\n';
    return p;
}

// "%d %d %9.4lf × 9\n": |id|, type + 1, x, y, z, pe, cna, cnp and the
// colour's red, green and blue as fractions of 255.
char* put_st_line(char* p, const unsigned char* r) {
    p = put_ids(p, r);
    for (int k = 0; k < 4; k++) {
        *p++ = ' ';
        p = DUMP_put_fixed4(p, load_double(r + 8 + 8 * k));
    }
    for (int k = 0; k < 2; k++) {
        *p++ = ' ';
        p = DUMP_put_fixed4(p, load_double(r + 48 + 8 * k));
    }
    // The packed colour is signed; division and remainder truncate toward
    // zero, as the engine packs and the original reader unpacked it.
    const int32_t c = load_int32(r + 40);
    const int channels[3] = {(c / 65536) % 256, (c / 256) % 256, c % 256};
    for (int k = 0; k < 3; k++) {
        *p++ = ' ';
        p = DUMP_put_fixed4(p, channels[k] / 255.0);
    }
    *p++ = '\n';
    return p;
}

// ---------------------------------------------------------------- files

std::string errno_text(int code) { return std::generic_category().message(code); }

// Reads exactly n bytes unless the file ends first; returns the count read,
// -1 on a read error (errno set).
ssize_t read_fully(int fd, unsigned char* buffer, size_t n) {
    size_t got = 0;
    while (got < n) {
        const ssize_t r = ::read(fd, buffer + got, n - got);
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) break;
        got += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(got);
}

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

bool same_file(const std::string& a, const struct stat& b) {
    struct stat st;
    return ::stat(a.c_str(), &st) == 0 && st.st_dev == b.st_dev && st.st_ino == b.st_ino;
}

// Word separators of a header, as scanf's "%s" sees them in the C locale.
bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

const char* kind_name(DUMP_kind kind) { return kind == DUMP_kind::st ? "DatST" : "DatAES"; }

}  // namespace

const char* const DUMP_convert_dump_usage =
    "  convert-dump IN --kind st|aes -o OUT.lmc\n"
    "                            turn the engine's binary structure (st) or atomic-stress (aes)\n"
    "                            dump IN, with its header IN.parm, into a LAMMPS custom dump\n";

int DUMP_record_size(DUMP_kind kind) { return kind == DUMP_kind::st ? DUMP_ST_RECORD : DUMP_AES_RECORD; }

char* DUMP_put_fixed4(char* out, double v) {
    const double a = std::fabs(v);
    // Below 1e11 the product t = a × 10^4 stays under 2^50, where every
    // k + 0.5 is a double. Rounding the product is monotonic, so t's fraction
    // lies above (below) one half exactly when the exact product's does, and
    // the digits printf rounds to are known; only a fraction of exactly one
    // half (a tie, or a product rounded onto one) needs the exact conversion.
    if (a < 1e11) {
        const double t = a * 10000.0;
        const double whole = std::floor(t);
        const double frac = t - whole;
        if (frac != 0.5) {
            const uint64_t n = static_cast<uint64_t>(whole) + (frac > 0.5 ? 1 : 0);
            char* p = out;
            if (std::signbit(v)) *p++ = '-';
            p = put_unsigned(p, n / 10000);
            const unsigned f = static_cast<unsigned>(n % 10000);
            *p++ = '.';
            std::memcpy(p, kPairs.text + 2 * (f / 100), 2);
            std::memcpy(p + 2, kPairs.text + 2 * (f % 100), 2);
            p += 4;
            return pad9(out, static_cast<int>(p - out));
        }
    }
    // Large numbers, near-ties, infinities and NaN: the exact conversion
    // (to_chars with a precision prints what printf prints, in any locale).
    if (std::isnan(v)) {
        const char* text = std::signbit(v) ? "-nan" : "nan";
        const int n = static_cast<int>(std::strlen(text));
        std::memcpy(out, text, static_cast<size_t>(n));
        return pad9(out, n);
    }
    const auto r = std::to_chars(out, out + 330, v, std::chars_format::fixed, 4);
    return pad9(out, static_cast<int>(r.ptr - out));
}

bool DUMP_parse_header(const std::string& text, DUMP_header& header, std::string& reason) {
    std::string words[15];
    int count = 0;
    size_t i = 0;
    while (count < 15) {
        while (i < text.size() && is_blank(text[i])) i++;
        if (i >= text.size()) break;
        const size_t start = i;
        while (i < text.size() && !is_blank(text[i])) i++;
        words[count++] = text.substr(start, i - start);
    }
    if (count < 15) {
        reason = "it has " + std::to_string(count) + (count == 1 ? " word" : " words") + ", 15 are needed";
        return false;
    }
    auto integer = [](const std::string& w) { return std::strtoll(w.c_str(), nullptr, 10); };
    auto real = [](const std::string& w) { return QB_strtod(w.c_str(), nullptr); };
    header.natoms = integer(words[1]);
    header.lo[0] = real(words[3]);
    header.hi[0] = real(words[4]);
    header.lo[1] = real(words[6]);
    header.hi[1] = real(words[7]);
    header.lo[2] = real(words[9]);
    header.hi[2] = real(words[10]);
    header.timestep = integer(words[14]);
    return true;
}

DUMP_report DUMP_convert(DUMP_kind kind, const std::string& binary, const std::string& target, FILE* progress) {
    DUMP_report report;
    auto fail = [&](const std::string& message) {
        report.status = 1;
        report.message = message;
        report.warnings.clear();
        return report;
    };
    const std::string parm = binary + ".parm";

    // The header.
    std::string text, reason;
    const bool header_read = QB_read_text_file(parm, text, &reason);
    if (progress && kind == DUMP_kind::st) std::fprintf(progress, "header %s is read\n", parm.c_str());
    if (!header_read)
        return fail((kind == DUMP_kind::st ? "ErrorOpeningInputFile\n" : "ErrorOpeningFile\n") + reason);
    DUMP_header header;
    if (!DUMP_parse_header(text, header, reason)) return fail("The header " + parm + " is not usable: " + reason);
    report.header_atoms = header.natoms;

    // The binary: a regular file (a FIFO or a device is refused before it
    // could block), opened once and measured.
    Fd in;
    struct stat st;
    if (::stat(binary.c_str(), &st) != 0)
        return fail("ErrorOpeningFile\ncannot open " + binary + ": " + errno_text(errno));
    if (!S_ISREG(st.st_mode)) return fail("ErrorOpeningFile\ncannot open " + binary + ": not a regular file");
    in.fd = ::open(binary.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (in.fd < 0) return fail("ErrorOpeningFile\ncannot open " + binary + ": " + errno_text(errno));
    if (::fstat(in.fd, &st) != 0 || !S_ISREG(st.st_mode))
        return fail("ErrorOpeningFile\ncannot open " + binary + ": not a regular file");
    if (progress && kind == DUMP_kind::st) std::fprintf(progress, "data file %s is read\n", binary.c_str());

    const long long record = DUMP_record_size(kind);
    const long long bytes = static_cast<long long>(st.st_size);
    if (bytes == 0) return fail("The data file " + binary + " is empty");
    const long long records = bytes / record;
    report.ignored_bytes = bytes % record;
    if (records == 0)
        return fail("The data file " + binary + " holds " + std::to_string(bytes) + " bytes, less than one " +
                    kind_name(kind) + " record of " + std::to_string(record) + " bytes");
    if (same_file(target, st)) return fail("Cannot write " + target + ": it is the data file itself");
    {
        struct stat hs;
        if (::stat(parm.c_str(), &hs) == 0 && same_file(target, hs))
            return fail("Cannot write " + target + ": it is the header file itself");
    }

    QB_output_file out(target);
    if (!out) return fail("Cannot write " + target + ": " + errno_text(errno));

    // The four header sections; the dump declares the records it holds.
    std::string head = QB_format("ITEM: TIMESTEP\n%lld\nITEM: NUMBER OF ATOMS\n%lld\nITEM: BOX BOUNDS pp pp pp\n",
                                 header.timestep, records);
    head += QB_format("%g\t%g\n%g\t%g\n%g\t%g\n", header.lo[0], header.hi[0], header.lo[1], header.hi[1], header.lo[2],
                      header.hi[2]);
    head += kind == DUMP_kind::st ? "ITEM: ATOMS id type x y z pe cna cnp l_r l_g l_b\n"
                                  : "ITEM: ATOMS id type x y z pe pxx pyy pzz pyz pxz pxy mises\n";

    // One chunk of records in, lines out through a buffer written in large
    // blocks.
    constexpr size_t kOutSize = size_t(1) << 20;
    std::unique_ptr<unsigned char[]> chunk(new unsigned char[static_cast<size_t>(record) * DUMP_CHUNK_RECORDS]);
    std::unique_ptr<char[]> buffer(new char[kOutSize]);
    char* p = buffer.get();
    char* const flush_at = buffer.get() + kOutSize - kLineMax;
    bool write_ok = true;
    auto flush = [&] {
        const size_t n = static_cast<size_t>(p - buffer.get());
        if (n && std::fwrite(buffer.get(), 1, n, out.get()) != n) write_ok = false;
        p = buffer.get();
    };
    std::memcpy(p, head.data(), head.size());
    p += head.size();

    long long done = 0;
    while (done < records && write_ok) {
        const long long want = std::min<long long>(DUMP_CHUNK_RECORDS, records - done);
        const ssize_t got = read_fully(in.fd, chunk.get(), static_cast<size_t>(want * record));
        if (got != want * record) {
            const std::string why = got < 0 ? errno_text(errno)
                                            : binary + " ended after " + std::to_string(done * record + got) +
                                                  " of " + std::to_string(bytes) + " bytes";
            return fail("error reading file, is SaveParticle correct?\n" + why);
        }
        const unsigned char* r = chunk.get();
        for (long long k = 0; k < want; k++, r += record) {
            p = kind == DUMP_kind::st ? put_st_line(p, r) : put_aes_line(p, r);
            if (p >= flush_at) flush();
        }
        done += want;
    }
    flush();
    if (!write_ok || !out.commit()) return fail("Cannot write " + target);

    report.status = 0;
    report.atoms = records;
    if (report.ignored_bytes > 0)
        report.warnings.push_back("The last " + std::to_string(report.ignored_bytes) + " bytes of " + binary +
                                  " are not a whole record and were left out");
    if (header.natoms != records)
        report.warnings.push_back("The header " + parm + " gives " + std::to_string(header.natoms) +
                                  " atoms but " + binary + " holds " + std::to_string(records) +
                                  " records; the dump declares " + std::to_string(records));
    report.message = std::to_string(records) + (records == 1 ? " atom" : " atoms") + " written to " + target;
    return report;
}

namespace {

int run_argv(DUMP_kind kind, int argc, char** argv, std::string* message) {
    if (argc < 3 || !argv || !argv[1] || !argv[2]) {
        if (message) *message = std::string(kind_name(kind)) + "2lmp takes the binary dump and the file to write";
        return 1;
    }
    const DUMP_report report = DUMP_convert(kind, argv[1], argv[2], kind == DUMP_kind::st ? stdout : nullptr);
    if (message) {
        message->clear();
        for (const std::string& w : report.warnings) *message += w + "\n";
        *message += report.message;
    }
    return report.status;
}

int usage_error(FILE* err, const std::string& message) {
    std::fprintf(err, "quelm-batch: %s\nTry 'quelm-batch --help'.\n", message.c_str());
    return 2;
}

}  // namespace

int DatST2lmp(int argc, char** argv, std::string* message) { return run_argv(DUMP_kind::st, argc, argv, message); }

int DatAES2lmp(int argc, char** argv, std::string* message) { return run_argv(DUMP_kind::aes, argc, argv, message); }

int DUMP_convert_dump_command(int argc, const char* const* argv, FILE* out, FILE* err) {
    std::vector<std::string> words;
    const char* kind_word = nullptr;
    const char* target = nullptr;
    for (int i = 2; i < argc; i++) {
        const std::string word = argv[i];
        if (word == "--kind" || word == "-o") {
            if (i + 1 >= argc) return usage_error(err, "option '" + word + "' needs a value");
            const char*& slot = word == "-o" ? target : kind_word;
            if (slot) return usage_error(err, "option '" + word + "' given twice");
            slot = argv[++i];
        } else if (word.size() > 1 && word[0] == '-') {
            return usage_error(err, "unknown option '" + word + "'");
        } else {
            words.push_back(word);
        }
    }
    if (words.size() != 1 || !kind_word || !target)
        return usage_error(err, "convert-dump takes IN, --kind st|aes and -o OUT.lmc");
    DUMP_kind kind;
    if (std::strcmp(kind_word, "st") == 0) kind = DUMP_kind::st;
    else if (std::strcmp(kind_word, "aes") == 0) kind = DUMP_kind::aes;
    else return usage_error(err, std::string("unknown dump kind '") + kind_word + "' (st or aes)");
    const std::string out_path = target;
    if (out_path.size() <= 4 || out_path.compare(out_path.size() - 4, 4, ".lmc") != 0)
        return usage_error(err, "the converted dump is written as a custom dump (.lmc)");

    const DUMP_report report = DUMP_convert(kind, words[0], out_path);
    if (report.status != 0) {
        std::fprintf(err, "%s\n", report.message.c_str());
        return 1;
    }
    for (const std::string& w : report.warnings) std::fprintf(err, "warning: %s\n", w.c_str());
    std::fprintf(out, "%s\n", report.message.c_str());
    return 0;
}
