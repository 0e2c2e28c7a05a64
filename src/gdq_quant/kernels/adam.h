#pragma once
// Minimal Adam for one tensor, updated in place from a caller-computed
// gradient (no autograd). eps = 1e-5 is added after the bias correction.
#include <ATen/core/Tensor.h>

namespace gdq {

struct AdamState {
  at::Tensor param;  // updated in place
  double lr = 0.001;
  int64_t t = 0;
  at::Tensor exp_avg, exp_avg_sq;  // zeros_like(param, preserve_format)
  double beta1 = 0.9, beta2 = 0.999, eps = 1e-5;

  AdamState() = default;
  AdamState(at::Tensor param, double lr);
  void step(const at::Tensor& grad);
};

}  // namespace gdq
