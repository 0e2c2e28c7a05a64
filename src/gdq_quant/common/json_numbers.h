#pragma once
// JSON text of number arrays, character for character what Python's json
// module writes for a list of the same values (json.dumps(list(v))):
// "[v0, v1, ...]". A double is written as repr(float) does: its shortest
// decimal digits that read back to the same double, in positional notation
// for decimal exponents -5 < e < 16 ("0.0001", "1234.5", "100.0") and
// otherwise as d.ddde+XX ("1e-05", "1.5e+16").
#include <cstdint>
#include <string>

namespace gdq {
namespace json {

// v: n finite doubles (the caller refuses others: JSON has no NaN or Infinity).
std::string floats(const double* v, int64_t n);

// v: n integers.
std::string integers(const int64_t* v, int64_t n);

}  // namespace json
}  // namespace gdq
