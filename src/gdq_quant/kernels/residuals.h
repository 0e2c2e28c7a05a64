#pragma once
// Element loops of the shrink search on the CPU: the quantization residuals
// of stacked parameter sets, and row-wise dot products.
//
// Both run rows in parallel (at::parallel_for), vectorised for the machine
// (kernels/clones.h).
#include <ATen/core/Tensor.h>

#include <optional>

namespace gdq {

// R[b * rows + i, :] = quantize(x[i], scale_b[b, i], zero_b[b, i], min_bound,
// max_bound, scale_out[i], zero_out[i], zero_no_shift) - x0[i] for every
// parameter set b < B (quantize of primitives.h: without scale_out the way
// back is that of the zero convention). Element for element the arithmetic
// of quantize followed by the subtraction, so every grid value is the one
// quantize gives.
//   x, x0            (rows, cols)
//   scale_b, zero_b  (B, rows, G): G groups of cols / G consecutive columns
//   scale_out, zero_out  (rows, G), both given or both absent
//   R                (B * rows, cols), written; may be a row block of a larger
//                    buffer (row stride cols)
// All on the CPU, contiguous, of one dtype, float or double.
void quantization_residuals_cpu(const at::Tensor& x, const at::Tensor& x0,
                                const at::Tensor& scale_b, const at::Tensor& zero_b,
                                const std::optional<at::Tensor>& scale_out,
                                const std::optional<at::Tensor>& zero_out,
                                const at::Scalar& min_bound, const at::Scalar& max_bound,
                                bool zero_no_shift, at::Tensor& R);

// d[k] = sum_j A[k, j] * B[k, j] for two (n, cols) matrices of one dtype
// (float or double) on the CPU with unit column stride, accumulated in
// double; d (n,) in that dtype.
at::Tensor row_dots_cpu(const at::Tensor& A, const at::Tensor& B);

}  // namespace gdq
