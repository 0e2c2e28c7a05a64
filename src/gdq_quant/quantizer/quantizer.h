#pragma once
// Scale and zero estimation for one weight matrix x (rows = output channels,
// columns = input features), per row or per group of `groupsize` consecutive
// columns (G = columns / groupsize groups; groupsize -1 = one group per row).
//
// Shapes: scale, zero, scale_out, zero_out (rows, G); best, bestp, err (rows,);
// h / H (columns, columns) in the weights' dtype and on their device. Per
// channel (one group per row), h / H may instead be a stack (K, columns,
// columns) of one Hessian per block of rows / K consecutive rows (see
// kernels/primitives.h), except in the shrink search started from min/max
// (TORCH_CHECK); the group-wise closed form needs one matrix (TORCH_CHECK).
#include <ATen/core/Tensor.h>

#include <optional>

#include "kernels/primitives.h"

namespace gdq {

// Configuration of a quantizer. configure is the only way to build one and
// the one place that derives the integer grid [min_bound, max_bound] =
// [-2^(bits-1), 2^(bits-1) - 1] from the bit width.
struct QuantizerConfig {
  int64_t max_bound;
  int64_t min_bound;
  bool perchannel;
  bool sym;
  int64_t grid;
  double maxshrink;
  double thr;
  int64_t iters_for_scale;
  bool zero_no_shift;

  static QuantizerConfig configure(int64_t bits = 4, bool perchannel = true, bool sym = false,
                                   int64_t grid = 200, double maxshrink = 0.8, double thr = 0.01,
                                   int64_t iters_for_scale = 4, bool zero_no_shift = true);

  // Zero-point of the symmetric grid, (max_bound + min_bound + 1) // 2 (floor
  // division): 0 for every grid built by configure.
  int64_t sym_zero() const;

 private:
  QuantizerConfig() = default;
};

// --- min/max range and its parameters -------------------------------------

// (xmin, xmax), each (rows, G) ((1, 1) when !perchannel); every range contains
// 0, is mirrored under sym, and an all-zero group becomes [-1, 1].
std::pair<Tensor, Tensor> get_minmax(const QuantizerConfig& cfg, const Tensor& x,
                                     int64_t groupsize);

// (scale, zero) of the range [xmin, xmax]; note the argument order.
std::pair<Tensor, Tensor> get_scale_zero_by_minmax(const QuantizerConfig& cfg, const Tensor& xmax,
                                                   const Tensor& xmin);

// --- shrink search ---------------------------------------------------------

// h = F F^T + lambda I with F (cols, r), r < cols: a damped second moment of
// fewer input vectors than columns (a classifier head's pooled features), in
// which a residual's error r h r^T = |r F|^2 + lambda |r|^2 costs r + 1
// multiply-adds per column instead of cols / 2.
struct LowRankH {
  Tensor F;       // (cols, r) in the dtype and on the device of the search
  double lambda;
};

// The low-rank form of H + lambda I for H (cols, cols) float64, positive
// semidefinite of rank at most max_rank: F by Cholesky with diagonal pivoting
// (in float64, then cast to dtype), stopped once the largest remaining
// diagonal is at most 1e-11 of H's largest; nullopt when max_rank steps leave
// more, or when r would not be below cols / 3.
std::optional<LowRankH> low_rank_form(const Tensor& H, double lambda, int64_t max_rank,
                                      at::ScalarType dtype);

struct ShrinkResult {
  Tensor scale, zero, best, bestp;
};

// One shrink factor p per row, p = 1 - i/grid for i < int(maxshrink * grid);
// a row takes a step only when its error strictly improves. Started from
// min/max (scale absent) it stops at the first step that improves no row.
// Several candidates share one product with h (see search.cpp); the
// decisions are taken candidate by candidate, in order, so stacking changes
// nothing but the summation order inside that product. On the CPU the
// errors may be summed as |r F|^2 with h = F F^T (the same quadratic form);
// given `low` (h's low-rank form) as |r F|^2 + lambda |r|^2 on any device.
// Test seams: host::fault("shrink_small_stacks") forces 3-candidate stacks;
// host::fault("shrink_tensor_ops") takes the tensor-operation path (the one
// used off the CPU) on the CPU too.
ShrinkResult get_scale_and_zero(const QuantizerConfig& cfg, const Tensor& xmin, const Tensor& xmax,
                                const Tensor& x, const Tensor& h, const OptTensor& scale_out,
                                const OptTensor& zero_out, const OptTensor& best,
                                const OptTensor& scale, const OptTensor& zero, int64_t groupsize,
                                const OptTensor& x0,
                                const std::optional<LowRankH>& low = std::nullopt);

struct Params {
  Tensor scale, zero, scale_out, zero_out, best;
};

// Min/max estimate, refined by the shrink search (iters_for_scale >= 1) and by
// the group-wise closed form (iters_for_scale >= 2; a c10::OutOfMemoryError
// there is swallowed, cached memory is released and the searched values
// stand). Test seam: host::fault("find_params_oom") raises that error at the
// start of the closed-form call. `low`, H's low-rank form, serves the search.
Params find_params(const QuantizerConfig& cfg, const Tensor& x, int64_t groupsize,
                   const OptTensor& H, const OptTensor& x0,
                   const std::optional<LowRankH>& low = std::nullopt);

// (dequantized x, bestp): search (or reuse bestp, shape (rows,)) and quantize.
std::pair<Tensor, Tensor> quant_via_minmax(const QuantizerConfig& cfg, const Tensor& x,
                                           int64_t groupsize, const Tensor& h,
                                           const OptTensor& bestp);

// --- closed-form output scale / zero ---------------------------------------

// Clamped grid values of x (float, shape of x) for per-group scale/zero;
// zero_no_shift absent = cfg.zero_no_shift.
Tensor get_fake_int_in(const QuantizerConfig& cfg, const Tensor& x, const Tensor& scale,
                       const Tensor& zero, int64_t groupsize, std::optional<bool> zero_no_shift);

// x_int when given, else get_fake_int_in(x, scale, zero, groupsize); `caller`
// names the operation in the error for a missing x, scale or zero.
Tensor given_or_fake_int(const QuantizerConfig& cfg, const OptTensor& x, const OptTensor& scale,
                         const OptTensor& zero, const OptTensor& x_int, int64_t groupsize,
                         const char* caller);

struct OutParams {
  Tensor scale_out, zero_out, err;
};

// Least-squares s per row for x^ = s * x_int (requires cfg.sym): returns
// (scale_out (rows, 1), err (rows,)) with h symmetrised.
std::pair<Tensor, Tensor> get_scale_out_sym(const QuantizerConfig& cfg, const Tensor& h,
                                            const Tensor& x0, const Tensor& x_int,
                                            int64_t groupsize);

// Least-squares (s, z) per row for x^ = s * x_int + z; results (rows, 1).
// Throws FatalError("Fatal Error") for a non-finite asymmetric solution. With
// zero_no_shift, z is moved to a whole number of s steps; a row whose s is 0
// keeps its least-squares z.
OutParams get_scale_and_zero_out(const QuantizerConfig& cfg, const OptTensor& x,
                                 const OptTensor& scale, const OptTensor& zero, const Tensor& h,
                                 const OptTensor& x0, const OptTensor& x_int);

// Group-wise least squares: G scales (and G zeros unless sym) per row from one
// dense n x n system per row (n = G or 2G), formed group by group in about one
// (C x D)(D x D) product, and formed and solved in blocks of rows of at most
// 2^23 system elements (memory O(2^23 + C*D + D^2), not O(C*n^2)). Batched
// solves; if one throws, one retry for every row with every diagonal raised by
// 0.01 * its row mean (+1e-5 when sym). Delegates to get_scale_and_zero_out for a single
// group (results then (rows, 1) in the weights' dtype). Results scale_out,
// zero_out (rows, G) float32, err (rows,). sym with a non-zero `zero` (checked
// before the groupsize divisibility): the tensor is printed and AssertionNone
// thrown.
OutParams get_scale_and_zero_out_group(const QuantizerConfig& cfg, const OptTensor& x,
                                       const OptTensor& scale, const OptTensor& zero,
                                       const OptTensor& H, int64_t groupsize, const OptTensor& x0,
                                       const OptTensor& x_int, bool double_precision);

}  // namespace gdq
