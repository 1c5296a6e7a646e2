// Numbers in text, always in the C locale whatever the user's locale:
// files written in one country read back in another.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

// strtod in the C locale.
double QB_strtod(const char* s, char** end);

// snprintf/fprintf/sscanf-style formatting in the C locale.
std::string QB_format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
int QB_fprintf(FILE* f, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Writes v as "%lf" does (six decimals) into out, which holds at least 350
// characters; returns the length. Much faster than printf for bulk output.
int QB_format_lf(char* out, double v);

// While alive, this thread formats and parses numbers in the C locale
// (printf, scanf, strtod).
class QB_c_numeric {
public:
    QB_c_numeric();
    ~QB_c_numeric();
    QB_c_numeric(const QB_c_numeric&) = delete;
    QB_c_numeric& operator=(const QB_c_numeric&) = delete;

private:
    void* previous_;
};
