#pragma once
// Per-row errors r h r^T of consecutive shrink candidates, carried from one
// candidate to the next instead of recomputed.
//
// A candidate under the no-shift zero convention has the residual
// r = s . u - x0, with u = clamp(round(x / s) + z) - z a vector of whole
// numbers and s the scale of each entry's group (one group per row: per
// channel). Consecutive shrink factors change u in a few percent of its
// entries at 2-5 bits, so t = h (s_ref . u), for scales s_ref fixed per row,
// follows by one column of h per changed entry (t += d s_ref[j] h[:, j]).
// Per channel s_ref = 1 and err = r . (s t - h x0) exactly. With groups,
// every group's scale moves with the factor: s = rho s_ref + e with rho the
// least-squares ratio and e within rounding of zero, so that
// h r = rho t - h x0 + h (e . u) and
//   err = ((s + e) . u - x0) . (rho t - h x0) + (e . u)^T h (e . u),
// the last term below 2^-40 of the signal's energy where every |e_g| is below
// 2^-20 |s_g| (kScaleSlack: the scales of min/max ranges through zero,
// shrunk in float, are); a (row, candidate) with a larger e gets its error
// from its residual and h directly. Per candidate a few percent of the product with h that a
// fresh evaluation costs. Everything is accumulated in double (a whole
// number times a float is exact in double), and h x0 is formed once. A stack
// of candidates is taken in two passes: the changes of u per row and
// candidate, then per block of columns of h (kept in cache) the updates of t
// and the errors' partial sums.
#include <ATen/core/Tensor.h>

#include <cstdint>

namespace gdq {

class IncrementalErrors {
 public:
  //   x, x0     (rows, cols), h (cols, cols) symmetric, all finite; on the
  //             CPU, contiguous, of one dtype (float or double)
  //   lo, hi    the integer grid, at most 64 values wide
  //   groupsize columns per group of a row's scales, dividing cols (-1: one
  //             group per row)
  //   slack     the largest |e_g| / |s_g| of a carried error (negative: every
  //             error of a grouped row taken directly)
  // Holds h once more in double.
  static constexpr double kScaleSlack = 1.0 / (1 << 20);
  IncrementalErrors(const at::Tensor& x, const at::Tensor& x0, const at::Tensor& h, double lo,
                    double hi, int64_t groupsize = -1, double slack = kScaleSlack);

  // scale, zero (B, rows, G): the next B candidates, in the order the search
  // takes them -> errors (B, rows), double, those of the residuals as
  // quantize gives them (a zero scale gives r = -x0; NaN where a grid value
  // would be NaN). A (row, candidate) whose zero is not finite or whose grid
  // values hold a NaN gets NaN (it never improves a row) and leaves the row's
  // state as it was. A zero is unusable where any of its row's groups' is.
  at::Tensor operator()(const at::Tensor& scale, const at::Tensor& zero);

  // Whether a search over `steps` candidates on a grid of `levels` values
  // with `cols` columns is cheaper this way than with a product per candidate.
  static bool pays_off(int64_t levels, int64_t cols, int64_t steps);

 private:
  void start(const at::Tensor& scale, const at::Tensor& zero);

  at::Tensor x_, x0_, h_;  // as given
  at::Tensor u_;           // (rows, cols), x's dtype: u of the row's last valid candidate
  at::Tensor hp_;          // h in blocks of columns
  at::Tensor t_, hx0_;     // (rows, cols rounded up) double: h (s_ref . u) and h x0
  at::Tensor sref_;        // (rows, G) double: s_ref per group
  double lo_, hi_;
  int64_t gs_;             // columns per group
  double slack_;
  bool started_ = false;
};

}  // namespace gdq
