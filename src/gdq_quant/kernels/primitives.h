#pragma once
// Quantization primitives shared by every numerical step.
//
// Conventions (element-wise; R = my_round, clamp to [min_bound, max_bound]):
//   zero_no_shift = true : q = clamp(R(x / scale) + zero),   x^ = scale * (q - zero)
//   zero_no_shift = false: q = clamp(R((x - zero) / scale)), x^ = scale * q + zero
// With a dequantization pair (scale_out, zero_out) the way back is always
//   x^ = q * scale_out + zero_out.
//
// All functions work in the dtype and on the device of their tensor arguments
// and return new tensors; none modifies an argument.
#include <ATen/core/Tensor.h>

#include <cmath>
#include <optional>
#include <utility>

namespace gdq {

using at::Tensor;
using OptTensor = std::optional<Tensor>;

// The system's rounding rule: nearest integer, exact halves towards +inf.
// Half-to-even rounding differs from it exactly where it went down from an
// exact half (y - v == -0.5, computed exactly), and there one step up gives
// v + 0.5. NaN and infinities pass through. This scalar form serves the
// element loops of the CPU kernels; my_round is the same rule on tensors,
// element for element.
template <typename T>
inline T round_half_up(T v) {
  const T y = std::nearbyint(v);  // half to even in the default rounding mode
  return y + (y - v == T(-0.5) ? T(1) : T(0));
}

// round_half_up on every element. Same shape and dtype.
Tensor my_round(const Tensor& x);

// x / y', y' = sign(y) * max(|y|, 1e-15) with sign(0) = +1. Broadcasting.
Tensor safe_div(const Tensor& x, const Tensor& y);

// Spreads per-group parameters (rows, G) to column resolution:
// (rows, G * groupsize) reshaped to (d0, d1, 1, ..., 1) with len(x_shape) - 2
// trailing ones. groupsize -1 means x_shape[1]. Absent inputs stay absent.
std::pair<OptTensor, OptTensor> repeat_interleave(at::IntArrayRef x_shape, int64_t groupsize,
                                                  const OptTensor& scale, const OptTensor& zero);

// Grid values (return_int) or dequantized values of x; scale, zero,
// scale_out, zero_out already broadcastable to x. Plain division by scale.
Tensor quantize(const Tensor& x, const Tensor& scale, const Tensor& zero,
                const at::Scalar& min_bound, const at::Scalar& max_bound,
                const OptTensor& scale_out = std::nullopt, const OptTensor& zero_out = std::nullopt,
                bool return_int = false, bool zero_no_shift = false);

// err_i = r_i h r_i^T with r = q - x; x, q (rows, cols), h (cols, cols), all
// 2-D (AssertionFailure otherwise). Returns (rows,).
Tensor cal_quant_error(const Tensor& x, const Tensor& q, const Tensor& h);

// Per-row error of quantizing x with per-group (scale, zero) and mapping back
// with (scale_out, zero_out) when given, measured against x0 (default x);
// h (cols, cols) as for cal_quant_error.
Tensor cal_quant_err_scale_zero(const Tensor& x, const Tensor& scale, const Tensor& zero,
                                const OptTensor& scale_out, const OptTensor& zero_out,
                                const at::Scalar& min_bound, const at::Scalar& max_bound,
                                int64_t groupsize, const OptTensor& h, const OptTensor& x0,
                                bool zero_no_shift);

// --- one Hessian per block of rows (used inside the core) --------------------
//
// The solver of a grouped convolution weights the rows of W (rows, cols) by a
// stack h (G, cols, cols): the rows form G consecutive blocks of rows / G rows
// and block k is weighted by h[k]. Every function below takes h either as one
// (cols, cols) matrix for all rows, where it computes exactly what the 2-D
// functions above compute, or as such a stack (TORCH_CHECK: G divides rows).

// R h row by row: R (..., rows, cols) -> (..., rows, cols); leading axes
// (a stack of candidates, say) broadcast against the stack.
Tensor hmul(const Tensor& R, const Tensor& h);

// err_i = r_i h r_i^T with r = q - x (rows, cols); h of either form.
Tensor quant_error_grouped(const Tensor& x, const Tensor& q, const Tensor& h);

// cal_quant_err_scale_zero with h of either form.
Tensor quant_err_scale_zero_grouped(const Tensor& x, const Tensor& scale, const Tensor& zero,
                                    const OptTensor& scale_out, const OptTensor& zero_out,
                                    const at::Scalar& min_bound, const at::Scalar& max_bound,
                                    int64_t groupsize, const OptTensor& h, const OptTensor& x0,
                                    bool zero_no_shift);

// Element-wise Cramer's rule for a*x + b*y = c, d*x + e*y = f; a determinant
// of magnitude below 1e-5 is replaced by +-1e-5 with its own sign (+ for 0).
std::pair<Tensor, Tensor> get_linear_eq(const Tensor& a, const Tensor& b, const Tensor& c,
                                        const Tensor& d, const Tensor& e, const Tensor& f);

}  // namespace gdq
