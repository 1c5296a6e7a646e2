// Helpers the method files share: the usable part of a neighbour list and
// the word lists that `init` reads (numbers in the C locale).
#pragma once

#include <vector>

namespace MORLA_METHOD {

// Usable neighbour count: clamped to MORLA_MAX_NEIGHBOURS, 0 without a
// centre or an array, cut at the first missing entry.
int usable_count(const double* centre, double* const* neighbours, int n);

// Index of the first word equal to key at or after `from`, or -1.
int find_word(int argc, char** argv, const char* key, int from = 0);

// A whole word as a number; false when any of it is not part of the number.
bool whole_double(const char* w, double* out);
bool whole_int(const char* w, long* out);
bool whole_int(const char* w, int* out);  // also false beyond the int range

// The numbers following the word at index k, up to the first word that is
// not a number.
std::vector<double> numbers_after(int argc, char** argv, int k);

}  // namespace MORLA_METHOD
