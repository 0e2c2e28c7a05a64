#include "kernels/adam.h"

#include <ATen/ATen.h>

#include <cmath>

namespace gdq {

AdamState::AdamState(at::Tensor p, double lr_) : param(std::move(p)), lr(lr_) {
  exp_avg = at::zeros_like(param, at::MemoryFormat::Preserve);
  exp_avg_sq = at::zeros_like(param, at::MemoryFormat::Preserve);
}

// m <- m + (1 - b1)(g - m);  v <- b2 v + (1 - b2) g^2;
// p <- p - lr / (1 - b1^t) * m / (sqrt(v) / sqrt(1 - b2^t) + eps).
void AdamState::step(const at::Tensor& grad) {
  t += 1;
  exp_avg.lerp_(grad, 1.0 - beta1);
  exp_avg_sq.mul_(beta2).addcmul_(grad, grad, 1.0 - beta2);
  const double bias_correction1 = 1.0 - std::pow(beta1, static_cast<double>(t));
  const double bias_correction2 = 1.0 - std::pow(beta2, static_cast<double>(t));
  const double step_size = lr / bias_correction1;
  const double bias_correction2_sqrt = std::sqrt(bias_correction2);
  at::Tensor denom = (exp_avg_sq.sqrt() / bias_correction2_sqrt).add_(eps);
  param.addcdiv_(exp_avg, denom, -step_size);
}

}  // namespace gdq
