#include "kernels/opt_intw.h"

#include <ATen/ATen.h>
#include <ATen/core/grad_mode.h>

#include "common/errors.h"
#include "kernels/adam.h"
#include "kernels/gptq.h"
#include "kernels/primitives.h"

namespace gdq {

OptIntResult opt_intW3(const at::Tensor& scale_out, const at::Tensor& zero_out,
                       const at::Tensor& H00, bool sym, const at::Scalar& min_bound,
                       const at::Scalar& max_bound, const at::Tensor& x0,
                       const std::optional<at::Tensor>& x_init, int64_t max_iter, double lr,
                       int64_t max_inner_iter, const std::string& round_fn,
                       const GptqFactor* factor) {
  TORCH_CHECK(H00.dim() == 2, "opt_intW3: H00 must be a (cols, cols) matrix, got shape ",
              H00.sizes());
  return opt_intW3_grouped(scale_out, zero_out, H00, sym, min_bound, max_bound, x0, x_init,
                           max_iter, lr, max_inner_iter, round_fn, factor);
}

OptIntResult opt_intW3_grouped(const at::Tensor& scale_out, const at::Tensor& zero_out,
                               const at::Tensor& H00, bool /*sym*/, const at::Scalar& min_bound,
                               const at::Scalar& max_bound, const at::Tensor& x0,
                               const std::optional<at::Tensor>& x_init, int64_t max_iter,
                               double lr, int64_t /*max_inner_iter*/,
                               const std::string& round_fn, const GptqFactor* factor) {
  at::NoGradGuard no_grad;
  // The relaxation is a copy: round_gptq updates its argument in place.
  at::Tensor w = x_init ? x_init->clone() : x0.clone();
  const int64_t steps = round_fn == "gptq" ? 0 : max_iter;
  if (steps > 0) {
    // Box of representable values; ordered also where a scale is negative.
    const at::Tensor l = min_bound * scale_out + zero_out;
    const at::Tensor r = max_bound * scale_out + zero_out;
    const at::Tensor left = at::minimum(l, r);
    const at::Tensor right = at::maximum(l, r);
    AdamState opt(w, lr);
    for (int64_t k = 0; k < steps; ++k) {
      // Gradient of 1/2 sum_i (w_i - x0_i) H00 (w_i - x0_i)^T for symmetric H00
      // (the row's own H00[k] for a stack).
      opt.step(hmul(w - x0, H00));
      w.clamp_(left, right);
    }
  }
  GDQ_REQUIRE(round_fn == "gptq" || round_fn == "train");

  GptqResult g =
      round_gptq_grouped(w, scale_out, zero_out, min_bound, max_bound, H00, 128, factor);
  GDQ_REQUIRE(x0.dim() == 2);
  at::Tensor loss = quant_error_grouped(g.Q, x0, H00);
  at::Tensor w_int = at::clamp(my_round(safe_div(g.Q - zero_out, scale_out)), min_bound, max_bound);
  return {w_int, g.newW, loss};
}

}  // namespace gdq
