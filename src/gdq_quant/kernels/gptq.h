#pragma once
// Column-by-column rounding with inverse-Hessian error feedback.
#include <ATen/ATen.h>

namespace gdq {

struct GptqResult {
  at::Tensor Q;     // (rows, cols) rounded weights as real values, dtype of W
  at::Tensor newW;  // (rows, cols) W as it stood just before each column was rounded
};

// W (rows, cols) float, updated in place by the error feedback; scale_out,
// zero_out (rows, cols) expanded dequantization pair; H00 (cols, cols), not
// modified. The inverse-Hessian factor comes from a damping ladder
// t in {0.01, 0.1, 1, 10, 100} x mean(diag H00). `blocksize` columns share
// one lazy trailing update; blocksize <= 1 updates after every column.
GptqResult round_gptq(at::Tensor& W, const at::Tensor& scale_out, const at::Tensor& zero_out,
                      const at::Scalar& min_bound, const at::Scalar& max_bound,
                      const at::Tensor& H00, int64_t blocksize = 128);

}  // namespace gdq
