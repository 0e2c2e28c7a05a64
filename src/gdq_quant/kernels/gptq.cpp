#include "kernels/gptq.h"

#include <cmath>
#include <stdexcept>
#include <string>

#include "common/errors.h"
#include "common/host.h"

namespace gdq {
namespace {

using at::Tensor;

constexpr double kLadder[] = {0.01, 0.1, 1.0, 10.0, 100.0};

// Upper Cholesky factor U of H^-1 (U^T U = H^-1), H = H00 + t * mean(diag H00) * I
// in float64, for the first damping level t that yields a factor free of NaN.
Tensor inverse_factor_impl(const Tensor& H00) {
  const Tensor mean_diag = H00.diagonal().mean().to(at::kDouble);
  enum class Last { None, Inverse, Factor } last = Last::None;
  Tensor Hinv;
  for (double t : kLadder) {
    try {
      Tensor H = H00.to(at::kDouble, /*non_blocking=*/false, /*copy=*/true);
      H.diagonal().add_(mean_diag * t);
      if (host::fault("cholesky")) throw std::runtime_error("injected factorisation failure");
      Tensor L = at::linalg_cholesky(H);
      Hinv = at::cholesky_inverse(L);
      last = Last::Inverse;
      Hinv = at::linalg_cholesky(Hinv, /*upper=*/true);
      last = Last::Factor;
      if (host::fault("nan_factor")) Hinv = at::full_like(Hinv, NAN);
      if (!Hinv.isnan().any().item<bool>()) return Hinv;
    } catch (...) {
      host::print({"海森矩阵为非正定矩阵 " + host::text(t)});
    }
  }
  if (last == Last::None)
    throw FatalError(
        "round_gptq: the Hessian H00 is not positive definite: its Cholesky factorisation failed "
        "at every damping level (0.01 to 100 times the mean of its diagonal, " +
        host::text(mean_diag.item<double>()) + ")");
  if (last == Last::Inverse)
    throw FatalError(
        "round_gptq: the Hessian H00 is not positive definite: the inverse of its damped form "
        "could not be factorised at any damping level (mean of its diagonal " +
        host::text(mean_diag.item<double>()) + ")");
  host::debug_shell("nan appears!");
  return Hinv;
}

// Rounds the columns of W in order. Columns [i1, i2) form a block: inside it
// every rounded column updates the rest of the block by a rank-one product;
// the columns after the block receive all of the block's feedback at once,
// W[:, i2:] -= Err (rows x bs) * Hinv[i1:i2, i2:]. This equals updating every
// later column after each rounding, since the feedback is linear in the errors.
void round_columns_impl(Tensor& W, const Tensor& scale_out, const Tensor& zero_out,
                        const at::Scalar& min_bound, const at::Scalar& max_bound,
                        const Tensor& Hinv, int64_t blocksize, Tensor& Q, Tensor& newW) {
  const int64_t rows = W.size(0);
  const int64_t cols = W.size(1);
  const int64_t bs = blocksize <= 1 ? cols : blocksize;
  // safe_div's guarded denominator, sign(y) * max(|y|, 1e-15) with sign(0) = +1.
  Tensor sign = at::sign(scale_out);
  sign = at::where(sign == 0, at::ones_like(sign), sign);
  const Tensor denom = at::clamp_min(scale_out.abs(), 1e-15) * sign;

  for (int64_t i1 = 0; i1 < cols; i1 += bs) {
    const int64_t i2 = std::min(i1 + bs, cols);
    Tensor Err = at::empty({rows, i2 - i1}, W.options());
    for (int64_t i = i1; i < i2; ++i) {
      Tensor w = W.select(1, i);
      newW.select(1, i).copy_(w);
      Tensor x = (w - zero_out.select(1, i)) / denom.select(1, i);
      // my_round: nearest integer, exact halves upwards. Half-to-even rounding
      // is off only where it went down from an exact half (r - x == -0.5).
      Tensor r = at::round(x);
      r.add_((r - x).eq_(-0.5));
      r.clamp_(min_bound, max_bound);
      Tensor q = at::addcmul(zero_out.select(1, i), r, scale_out.select(1, i));
      Q.select(1, i).copy_(q);
      Tensor err1 = (w - q).div_(Hinv.select(0, i).select(0, i));
      // Column i itself becomes w - err1 * Hinv[i, i] = q.
      W.narrow(1, i, i2 - i).addr_(err1, Hinv.select(0, i).narrow(0, i, i2 - i), 1, -1);
      Err.select(1, i - i1).copy_(err1);
    }
    if (i2 < cols)
      W.narrow(1, i2, cols - i2)
          .addmm_(Err, Hinv.narrow(0, i1, i2 - i1).narrow(1, i2, cols - i2), 1, -1);
  }
}

}  // namespace

GptqResult round_gptq(at::Tensor& W, const at::Tensor& scale_out, const at::Tensor& zero_out,
                      const at::Scalar& min_bound, const at::Scalar& max_bound,
                      const at::Tensor& H00, int64_t blocksize) {
  TORCH_CHECK(W.dim() == 2 && W.is_floating_point(),
              "round_gptq: W must be a 2-D float tensor, got shape ", W.sizes(), " and dtype ",
              W.scalar_type());
  TORCH_CHECK(scale_out.sizes() == W.sizes() && zero_out.sizes() == W.sizes(),
              "round_gptq: scale_out and zero_out must have the shape of W ", W.sizes(), ", got ",
              scale_out.sizes(), " and ", zero_out.sizes());
  TORCH_CHECK(H00.dim() == 2 && H00.size(0) == W.size(1) && H00.size(1) == W.size(1),
              "round_gptq: H00 must be (", W.size(1), ", ", W.size(1), "), got ", H00.sizes());
  TORCH_CHECK(H00.device() == W.device() && scale_out.device() == W.device() &&
                  zero_out.device() == W.device(),
              "round_gptq: W, scale_out, zero_out and H00 must be on one device, got ",
              W.device(), ", ", scale_out.device(), ", ", zero_out.device(), " and ", H00.device());

  Tensor newW = W.clone();
  Tensor Q = W.clone();
  const Tensor Hinv = inverse_factor_impl(H00).to(W.scalar_type());
  round_columns_impl(W, scale_out.to(W.scalar_type()), zero_out.to(W.scalar_type()), min_bound, max_bound, Hinv, blocksize, Q, newW);
  return {Q, newW};
}

}  // namespace gdq
