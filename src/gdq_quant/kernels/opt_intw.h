#pragma once
// Integer weights for a fixed expanded output scale/zero: optional projected
// Adam steps on the relaxed weights, then GPTQ rounding.
#include <ATen/core/Tensor.h>

#include <optional>
#include <string>

#include "kernels/gptq.h"

namespace gdq {

struct OptIntResult {
  at::Tensor w_int;  // (rows, cols) float holding integers in [min_bound, max_bound]
  at::Tensor f1;     // newW of round_gptq
  at::Tensor loss;   // (rows,) cal_quant_error(rounded, x0, H00)
};

// scale_out, zero_out, x0, x_init (rows, cols); H00 (cols, cols). round_fn is
// "gptq" (no gradient steps) or "train"; anything else is an AssertionFailure
// after the gradient steps. Runs without autograd recording. `factor`, when
// given, is gptq_factor(H00), handed on to round_gptq.
OptIntResult opt_intW3(const at::Tensor& scale_out, const at::Tensor& zero_out,
                       const at::Tensor& H00, bool sym, const at::Scalar& min_bound,
                       const at::Scalar& max_bound, const at::Tensor& x0,
                       const std::optional<at::Tensor>& x_init, int64_t max_iter, double lr,
                       int64_t max_inner_iter, const std::string& round_fn,
                       const GptqFactor* factor = nullptr);

// opt_intW3 with H00 either (cols, cols) (then exactly opt_intW3) or a stack
// (G, cols, cols) of one Hessian per block of rows / G rows: the gradient,
// the rounding (round_gptq_grouped) and the loss of each row use its block's
// H00[k]; `factor`, when given, is gptq_factor(H00).
OptIntResult opt_intW3_grouped(const at::Tensor& scale_out, const at::Tensor& zero_out,
                               const at::Tensor& H00, bool sym, const at::Scalar& min_bound,
                               const at::Scalar& max_bound, const at::Tensor& x0,
                               const std::optional<at::Tensor>& x_init, int64_t max_iter,
                               double lr, int64_t max_inner_iter, const std::string& round_fn,
                               const GptqFactor* factor = nullptr);

}  // namespace gdq
