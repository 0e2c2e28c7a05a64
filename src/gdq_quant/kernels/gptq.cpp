#include "kernels/gptq.h"

#include <ATen/Dispatch.h>
#include <ATen/Parallel.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "common/errors.h"
#include "common/host.h"
#include "common/timing.h"
#include "kernels/clones.h"
#include "kernels/primitives.h"

namespace gdq {
namespace {

using at::Tensor;

constexpr double kLadder[] = {0.01, 0.1, 1.0, 10.0, 100.0};

// Prints what the ladder met on the way and settles its outcome: the lines of
// the failed levels, then an error when no level produced a factor, or the
// debugging shell when the factor holds NaN.
void announce_impl(const GptqFactor& f, const Tensor& H00) {
  for (double t : f.failed) host::print({"海森矩阵为非正定矩阵 " + host::text(t)});
  if (!f.U.defined() || f.from_inverse) {
    const std::string mean = host::text(H00.diagonal().mean().item<double>());
    if (!f.U.defined())
      throw FatalError(
          "round_gptq: the Hessian H00 is not positive definite: its Cholesky factorisation "
          "failed at every damping level (0.01 to 100 times the mean of its diagonal, " +
          mean + ")");
    throw FatalError(
        "round_gptq: the Hessian H00 is not positive definite: the inverse of its damped form "
        "could not be factorised at any damping level (mean of its diagonal " +
        mean + ")");
  }
  if (f.nan) host::debug_shell("nan appears!");
}

// One block of columns, rows x bs, every matrix contiguous with row stride bs
// (Hb: bs x bs).
template <typename T>
struct BlockArgs {
  T* W;          // updated in place by the feedback
  const T* so;   // scale_out
  const T* zo;   // zero_out
  const T* den;  // safe_div's guarded scale_out
  const T* Hb;   // the factor's diagonal block
  T* Q;          // rounded values
  T* N;          // W before each column was rounded
  T* E;          // scaled errors, the feedback to the columns after the block
  T lo, hi;
  int64_t bs;
};

// Rounds the block's columns of rows r0 .. r1 - 1, one row at a time (every
// row's rounding depends only on that row). Same arithmetic as the
// tensor-operation path, element by element.
template <typename T>
GDQ_ALWAYS_INLINE void round_block_rows(const BlockArgs<T>& a, int64_t r0, int64_t r1) {
  const int64_t bs = a.bs;
  for (int64_t r = r0; r < r1; ++r) {
    T* __restrict w = a.W + r * bs;
    const T* so = a.so + r * bs;
    const T* zo = a.zo + r * bs;
    const T* den = a.den + r * bs;
    T* q_out = a.Q + r * bs;
    T* n_out = a.N + r * bs;
    T* e_out = a.E + r * bs;
    for (int64_t j = 0; j < bs; ++j) {
      const T v = w[j];
      n_out[j] = v;
      T g = round_half_up((v - zo[j]) / den[j]);
      g = g < a.lo ? a.lo : g;
      g = g > a.hi ? a.hi : g;
      const T q = zo[j] + g * so[j];
      q_out[j] = q;
      const T* __restrict hj = a.Hb + j * bs;
      const T e = (v - q) / hj[j];
      e_out[j] = e;
      for (int64_t k = j; k < bs; ++k) w[k] -= e * hj[k];
    }
  }
}

GDQ_CLONES void round_block_rows_f32(const BlockArgs<float>& a, int64_t r0, int64_t r1) {
  round_block_rows(a, r0, r1);
}
GDQ_CLONES void round_block_rows_f64(const BlockArgs<double>& a, int64_t r0, int64_t r1) {
  round_block_rows(a, r0, r1);
}
void round_block_rows_of(const BlockArgs<float>& a, int64_t r0, int64_t r1) {
  round_block_rows_f32(a, r0, r1);
}
void round_block_rows_of(const BlockArgs<double>& a, int64_t r0, int64_t r1) {
  round_block_rows_f64(a, r0, r1);
}

// Rounds the block held in W1 (rows x bs, contiguous), rows in parallel.
template <typename scalar_t>
void round_block_cpu_impl(Tensor& W1, const Tensor& so1, const Tensor& zo1, const Tensor& den1,
                          const Tensor& Hb, Tensor& Q1, Tensor& N1, Tensor& E1, double min_bound,
                          double max_bound) {
  BlockArgs<scalar_t> a;
  a.W = W1.data_ptr<scalar_t>();
  a.so = so1.data_ptr<scalar_t>();
  a.zo = zo1.data_ptr<scalar_t>();
  a.den = den1.data_ptr<scalar_t>();
  a.Hb = Hb.data_ptr<scalar_t>();
  a.Q = Q1.data_ptr<scalar_t>();
  a.N = N1.data_ptr<scalar_t>();
  a.E = E1.data_ptr<scalar_t>();
  a.lo = static_cast<scalar_t>(min_bound);
  a.hi = static_cast<scalar_t>(max_bound);
  a.bs = W1.size(1);
  const int64_t grain = std::max<int64_t>(1, 32768 / std::max<int64_t>(1, a.bs * a.bs));
  at::parallel_for(0, W1.size(0), grain,
                   [&](int64_t r0, int64_t r1) { round_block_rows_of(a, r0, r1); });
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
  const bool cpu_loop = W.device().is_cpu() &&
                        (W.scalar_type() == at::kFloat || W.scalar_type() == at::kDouble) &&
                        !host::fault("gptq_tensor_ops");

  for (int64_t i1 = 0; i1 < cols; i1 += bs) {
    const int64_t i2 = std::min(i1 + bs, cols);
    const int64_t n = i2 - i1;
    Tensor Err;
    if (cpu_loop) {
      Tensor W1 = W.narrow(1, i1, n).contiguous();
      Tensor so1 = scale_out.narrow(1, i1, n).contiguous();
      Tensor zo1 = zero_out.narrow(1, i1, n).contiguous();
      Tensor den1 = denom.narrow(1, i1, n).contiguous();
      Tensor Hb = Hinv.narrow(0, i1, n).narrow(1, i1, n).contiguous();
      Tensor Q1 = at::empty({rows, n}, W.options());
      Tensor N1 = at::empty({rows, n}, W.options());
      Err = at::empty({rows, n}, W.options());
      AT_DISPATCH_FLOATING_TYPES(W.scalar_type(), "round_gptq", [&] {
        round_block_cpu_impl<scalar_t>(W1, so1, zo1, den1, Hb, Q1, N1, Err, min_bound.toDouble(),
                                       max_bound.toDouble());
      });
      W.narrow(1, i1, n).copy_(W1);
      Q.narrow(1, i1, n).copy_(Q1);
      newW.narrow(1, i1, n).copy_(N1);
    } else {
      Err = at::empty({rows, n}, W.options());
      for (int64_t i = i1; i < i2; ++i) {
        Tensor w = W.select(1, i);
        newW.select(1, i).copy_(w);
        Tensor r = my_round((w - zero_out.select(1, i)) / denom.select(1, i));
        r.clamp_(min_bound, max_bound);
        Tensor q = at::addcmul(zero_out.select(1, i), r, scale_out.select(1, i));
        Q.select(1, i).copy_(q);
        Tensor err1 = (w - q).div_(Hinv.select(0, i).select(0, i));
        // Column i itself becomes w - err1 * Hinv[i, i] = q.
        W.narrow(1, i, i2 - i).addr_(err1, Hinv.select(0, i).narrow(0, i, i2 - i), 1, -1);
        Err.select(1, i - i1).copy_(err1);
      }
    }
    if (i2 < cols)
      W.narrow(1, i2, cols - i2).addmm_(Err, Hinv.narrow(0, i1, n).narrow(1, i2, cols - i2), 1, -1);
  }
}

}  // namespace

GptqFactor gptq_factor(const at::Tensor& H00) {
  GptqFactor f;
  const Tensor mean_diag = H00.diagonal().mean().to(at::kDouble);
  for (double t : kLadder) {
    try {
      Tensor H = H00.to(at::kDouble, /*non_blocking=*/false, /*copy=*/true);
      H.diagonal().add_(mean_diag * t);
      if (host::fault("cholesky")) throw std::runtime_error("injected factorisation failure");
      Tensor L = at::linalg_cholesky(H);
      f.U = at::cholesky_inverse(L);
      f.from_inverse = true;
      f.U = at::linalg_cholesky(f.U, /*upper=*/true);
      f.from_inverse = false;
      if (host::fault("nan_factor")) f.U = at::full_like(f.U, NAN);
      f.nan = f.U.isnan().any().item<bool>();
      if (!f.nan) return f;
    } catch (...) {
      // Every failure of a level, whatever its kind, moves on to the next one.
      f.failed.push_back(t);
    }
  }
  return f;
}

GptqResult round_gptq(at::Tensor& W, const at::Tensor& scale_out, const at::Tensor& zero_out,
                      const at::Scalar& min_bound, const at::Scalar& max_bound,
                      const at::Tensor& H00, int64_t blocksize, const GptqFactor* factor) {
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

  // Every column of both is written by the column loop.
  Tensor newW = at::empty_like(W);
  Tensor Q = at::empty_like(W);
  GptqFactor fresh;
  if (!factor) {
    timing::Section ts("gptq_factor", W.device());
    fresh = gptq_factor(H00);
    factor = &fresh;
  }
  announce_impl(*factor, H00);
  timing::Section ts("gptq_columns", W.device());
  const Tensor Hinv = factor->U.to(W.scalar_type());
  round_columns_impl(W, scale_out.to(W.scalar_type()), zero_out.to(W.scalar_type()), min_bound,
                     max_bound, Hinv, blocksize, Q, newW);
  return {Q, newW};
}

}  // namespace gdq
