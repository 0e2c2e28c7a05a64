#include "common/json_numbers.h"

#include <c10/util/Exception.h>

#include <charconv>
#include <cstdio>
#include <cmath>

namespace gdq {
namespace json {
namespace {

// Appends repr(x) for a finite x. std::to_chars in scientific form gives the
// shortest digits that round-trip (the closest of them to x, as Python's
// dtoa picks), "d.ddde+X"; they are laid out again by Python's rules, with
// decpt the position of the decimal point after the first digit's place:
// x = 0.d1d2... * 10^decpt.
void append_double(std::string& out, double x) {
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof(buf), x, std::chars_format::scientific);
  TORCH_INTERNAL_ASSERT(res.ec == std::errc(), "to_chars failed");
  const char* p = buf;
  const char* end = res.ptr;
  if (*p == '-') {
    out.push_back('-');
    ++p;
  }
  char digits[32];
  int nd = 0;
  for (; p < end && *p != 'e'; ++p)
    if (*p != '.') digits[nd++] = *p;
  TORCH_INTERNAL_ASSERT(p < end && nd > 0, "to_chars gave no exponent");
  int e10 = 0;                            // "e+16", "e-05" (not terminated)
  const char* q = p + 1 + (p[1] == '+');
  TORCH_INTERNAL_ASSERT(std::from_chars(q, end, e10).ptr == end, "to_chars gave a bad exponent");
  int decpt = e10 + 1;
  if (decpt <= -4 || decpt > 16) {        // exponent notation
    out.push_back(digits[0]);
    if (nd > 1) {
      out.push_back('.');
      out.append(digits + 1, nd - 1);
    }
    char eb[8];
    const int k = std::snprintf(eb, sizeof(eb), "e%+.02d", e10);
    out.append(eb, k);
    return;
  }
  if (decpt <= 0) {                       // 0.000ddd
    out.append("0.");
    out.append(static_cast<size_t>(-decpt), '0');
    out.append(digits, nd);
  } else if (decpt < nd) {                // dd.ddd
    out.append(digits, decpt);
    out.push_back('.');
    out.append(digits + decpt, nd - decpt);
  } else {                                // ddd00.0
    out.append(digits, nd);
    out.append(static_cast<size_t>(decpt - nd), '0');
    out.append(".0");
  }
}

}  // namespace

std::string floats(const double* v, int64_t n) {
  std::string out;
  out.reserve(static_cast<size_t>(n) * 24 + 2);
  out.push_back('[');
  for (int64_t i = 0; i < n; ++i) {
    TORCH_INTERNAL_ASSERT(std::isfinite(v[i]), "json::floats: a non-finite value");
    if (i) out.append(", ");
    append_double(out, v[i]);
  }
  out.push_back(']');
  return out;
}

std::string integers(const int64_t* v, int64_t n) {
  std::string out;
  out.reserve(static_cast<size_t>(n) * 4 + 2);
  out.push_back('[');
  char buf[24];
  for (int64_t i = 0; i < n; ++i) {
    if (i) out.append(", ");
    const auto res = std::to_chars(buf, buf + sizeof(buf), v[i]);
    out.append(buf, res.ptr - buf);
  }
  out.push_back(']');
  return out;
}

}  // namespace json
}  // namespace gdq
