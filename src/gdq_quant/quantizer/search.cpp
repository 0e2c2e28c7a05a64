#include <ATen/ATen.h>
#include <ATen/Parallel.h>
#include <c10/util/Exception.h>

#include <algorithm>
#include <limits>
#include <vector>

#include "common/errors.h"
#include "common/host.h"
#include "kernels/incremental_errors.h"
#include "kernels/residuals.h"
#include "quantizer/quantizer.h"

namespace gdq {
namespace {

// --- how many candidates share one product -----------------------------------
//
// Stacking B candidates runs the element work and the product with h once per
// B candidates. On the CPU the product's efficiency grows with its row count
// up to about 2048 rows; each of the two scratch buffers stays within 2^24
// elements. With early exit, stacks stay at 8 so that little work follows the
// step that ends the search. On an accelerator stacks save kernel launches
// (up to about 2048 residual rows and 2^24 elements). The test seam
// "shrink_small_stacks" forces stacks of 3 for one search.
int64_t shrink_batch(const Tensor& x, int64_t rows, int64_t cols, int64_t steps, bool eary_exit) {
  const int64_t per = std::max<int64_t>(rows * cols, 1);
  rows = std::max<int64_t>(rows, 1);
  int64_t b;
  if (host::fault("shrink_small_stacks")) {
    b = 3;
  } else if (x.is_cpu()) {
    b = std::min((2048 + rows - 1) / rows, (int64_t(1) << 24) / per);
    if (eary_exit) b = std::min<int64_t>(b, 8);
  } else {
    b = std::min<int64_t>({(int64_t(1) << 24) / per, 2048 / rows, 16});
  }
  return std::clamp<int64_t>(std::min(b, steps), 1, std::max<int64_t>(steps, 1));
}

// Shrink factor of step i: 1 - i / grid, in host floating point.
double factor_of(const QuantizerConfig& cfg, int64_t i) {
  return 1.0 - static_cast<double>(i) / static_cast<double>(cfg.grid);
}

// (scale, zero) of every candidate i0 .. i0 + B - 1, stacked to (B, rows, G):
// get_scale_zero_by_minmax(p * xmax, p * xmin) for each. A floating range is
// scaled by a tensor of the factors in its own dtype, the value a host factor
// takes when it multiplies that range, so every element equals the
// one-candidate result.
std::pair<Tensor, Tensor> candidate_params(const QuantizerConfig& cfg, const Tensor& xmin,
                                           const Tensor& xmax, int64_t i0, int64_t B) {
  if (xmin.is_floating_point() && xmax.scalar_type() == xmin.scalar_type()) {
    std::vector<double> ps;
    for (int64_t i = i0; i < i0 + B; ++i) ps.push_back(factor_of(cfg, i));
    std::vector<int64_t> shape(xmax.dim() + 1, 1);
    shape[0] = B;
    Tensor p = at::tensor(ps, xmax.options().dtype(at::kDouble))
                   .to(xmax.scalar_type())
                   .view(shape);
    return get_scale_zero_by_minmax(cfg, xmax.unsqueeze(0) * p, xmin.unsqueeze(0) * p);
  }
  std::vector<Tensor> scales, zeros;
  for (int64_t i = i0; i < i0 + B; ++i) {
    const double p = factor_of(cfg, i);
    auto [s1, z1] = get_scale_zero_by_minmax(cfg, xmax * p, xmin * p);
    scales.push_back(s1);
    zeros.push_back(z1);
  }
  return {at::stack(scales), at::stack(zeros)};
}

// --- per-row errors of stacked candidates --------------------------------------

// E = R L for a lower-triangular L (n x n), by column blocks: block j of E is
// R[:, j:] L[j:, block j], since L is zero above its diagonal. About half the
// multiply-adds of a full product (plus half a block's worth per block), in
// products wide enough to run near a full product's speed. E may be a row
// block of a larger matrix.
void mul_lower(const Tensor& R, const Tensor& L, Tensor& E) {
  const int64_t n = L.size(0);
  const int64_t nb = std::clamp<int64_t>(n / 96 * 16, 96, 384);
  for (int64_t j = 0; j < n; j += nb) {
    const int64_t w = std::min(nb, n - j);
    Tensor Ej = E.narrow(1, j, w);
    at::mm_out(Ej, R.narrow(1, j, n - j), L.narrow(0, j, n - j).narrow(1, j, w));
  }
}

// Errors r h r^T of the residuals of stacked candidates, r = quantize(x; candidate) - x0.
//
// CPU (float/double, one dtype throughout), under the no-shift zero
// convention, without an output pair, where it pays off (at most 5 bits):
// each row's h u carried from candidate to candidate (IncrementalErrors; per
// group, h (s_ref . u) for scales s_ref fixed per row), the errors in double. Otherwise the residuals of B
// candidates are
// written by one fused loop into a buffer R (B * rows, cols) allocated once per
// search, one product gives E = R F and a row loop the errors. F is the lower
// Cholesky factor of the symmetric part of h where it has one (h = F F^T on r,
// err = |E_k|^2, about half the multiply-adds), else h itself (err = E_k . R_k).
// Elsewhere, and for a stack of Hessians h (G, cols, cols) (row block k
// weighted by h[k]): tensor operations, element for element those of
// cal_quant_err_scale_zero, with one product per stack.
class StackedErrors {
 public:
  StackedErrors(const QuantizerConfig& cfg, const Tensor& x, const Tensor& x0, const Tensor& h,
                const OptTensor& scale_out, const OptTensor& zero_out, int64_t groupsize,
                int64_t batch, int64_t steps, bool eary_exit, bool tensor_ops,
                const std::optional<LowRankH>& low = std::nullopt)
      : cfg_(cfg), x_(x), x0_(x0), h_(h), scale_out_(scale_out), zero_out_(zero_out),
        groupsize_(groupsize), batch_(batch) {
    GDQ_REQUIRE(x.dim() == 2);
    GDQ_REQUIRE(x0.dim() == 2);
    GDQ_REQUIRE(h.dim() == 2 || h.dim() == 3);
    if (low && h.dim() == 2 && low->F.scalar_type() == x.scalar_type()) {
      F_ = low->F.contiguous();
      lambda_ = low->lambda;
    }
    fused_ = !tensor_ops && fusable();
    if (!fused_) return;
    const int64_t rows = x.size(0), cols = x.size(1);
    x_ = x.contiguous();
    x0_ = x0.contiguous();
    const int64_t G = cols / (groupsize == -1 ? cols : groupsize);
    if (scale_out_) {
      scale_out_ = scale_out_->reshape({rows, G}).contiguous();
      zero_out_ = zero_out_->reshape({rows, G}).contiguous();
    }
    if (carried(steps)) {
      // A stack reads each row's carried state once: 16 candidates per stack
      // (at most 8 with early exit), whatever the row count.
      batch_ = std::min<int64_t>(steps, eary_exit ? 8 : 16);
      if (host::fault("shrink_small_stacks_carried")) batch_ = 3;
      // The seam "shrink_direct_errors" takes every grouped candidate's error directly.
      carry_.emplace(x_, x0_, ((h + h.t()) / 2).contiguous(), static_cast<double>(cfg.min_bound),
                     static_cast<double>(cfg.max_bound), cols / G,
                     host::fault("shrink_direct_errors") ? -1.0 : IncrementalErrors::kScaleSlack);
      return;
    }
    R_ = at::empty({batch * rows, cols}, x.options());
    E_ = at::empty({batch * rows, F_.defined() ? F_.size(1) : cols}, x.options());
    // The factor costs about cols^3 / 3 multiply-adds and saves about
    // rows * cols^2 / 2 per candidate.
    if (!F_.defined() && 3 * steps * rows > 2 * cols) {
      const Tensor hs = ((h + h.t()) / 2).contiguous();
      auto [L, info] = at::linalg_cholesky_ex(hs);
      if (info.item<int64_t>() == 0 && at::isfinite(L).all().item<bool>()) L_ = L;
    }
    h_ = h.contiguous();
  }

  // Candidates per stack.
  int64_t batch() const { return batch_; }

  // scale_b, zero_b (B, rows, G) -> errors (B, rows) in x's dtype.
  Tensor operator()(const Tensor& scale_b, const Tensor& zero_b) {
    return fused_ ? fused_errors(scale_b, zero_b) : tensor_errors(scale_b, zero_b);
  }

 private:
  // The fused loop covers floating x, x0, one h, parameters and output pair of
  // one dtype on the CPU, grouped as the shapes say.
  bool fusable() const {
    if (h_.dim() != 2) return false;
    const auto dt = x_.scalar_type();
    if (!x_.is_cpu() || (dt != at::kFloat && dt != at::kDouble)) return false;
    if (x0_.scalar_type() != dt || h_.scalar_type() != dt || x0_.sizes() != x_.sizes()) return false;
    if (!x0_.is_cpu() || !h_.is_cpu() || h_.size(0) != x_.size(1) || h_.size(1) != x_.size(1))
      return false;
    const int64_t cols = x_.size(1);
    const int64_t gs = groupsize_ == -1 ? cols : groupsize_;
    if (gs <= 0 || cols % gs != 0) return false;
    const int64_t G = cols / gs;
    if (scale_out_.has_value() != zero_out_.has_value()) return false;
    if (scale_out_) {
      for (const Tensor& t : {*scale_out_, *zero_out_})
        if (!t.is_cpu() || t.scalar_type() != dt || t.dim() != 2 || t.size(0) != x_.size(0) ||
            t.size(1) != G)
          return false;
    }
    return true;
  }

  // Whether the errors are carried from candidate to candidate: a search
  // long enough, without an output pair or a low-rank h, over finite values.
  bool carried(int64_t steps) const {
    if (F_.defined() || scale_out_ || !cfg_.zero_no_shift) return false;
    if (host::fault("shrink_products")) return false;
    const int64_t levels = static_cast<int64_t>(cfg_.max_bound - cfg_.min_bound) + 1;
    if (!IncrementalErrors::pays_off(levels, x_.size(1), steps)) return false;
    return at::isfinite(x_).all().item<bool>() && at::isfinite(x0_).all().item<bool>() &&
           at::isfinite(h_).all().item<bool>();
  }

  Tensor fused_errors(const Tensor& scale_b, const Tensor& zero_b) {
    const int64_t B = scale_b.size(0), rows = x_.size(0), cols = x_.size(1);
    const int64_t G = cols / (groupsize_ == -1 ? cols : groupsize_);
    if (scale_b.scalar_type() != x_.scalar_type() || zero_b.scalar_type() != x_.scalar_type() ||
        scale_b.dim() != 3 || scale_b.size(1) != rows || scale_b.size(2) != G ||
        zero_b.sizes() != scale_b.sizes())
      return tensor_errors(scale_b, zero_b);
    if (carry_) return (*carry_)(scale_b, zero_b).to(x_.scalar_type());
    Tensor R = R_.narrow(0, 0, B * rows);
    Tensor E = E_.narrow(0, 0, B * rows);
    quantization_residuals_cpu(x_, x0_, scale_b.contiguous(), zero_b.contiguous(), scale_out_,
                               zero_out_, cfg_.min_bound, cfg_.max_bound, cfg_.zero_no_shift, R);
    Tensor err;
    if (F_.defined()) {
      at::mm_out(E, R, F_);
      err = row_dots_cpu(E, E).add_(row_dots_cpu(R, R), lambda_);
    } else if (L_.defined()) {
      mul_lower(R, L_, E);
      err = row_dots_cpu(E, E);
    } else {
      at::mm_out(E, R, h_);
      err = row_dots_cpu(E, R);
    }
    return err.view({B, rows});
  }

  Tensor tensor_errors(const Tensor& scale_b, const Tensor& zero_b) const {
    const int64_t gs = groupsize_ == -1 ? x_.size(1) : groupsize_;
    Tensor s = scale_b.repeat_interleave(gs, 2);
    Tensor z = zero_b.repeat_interleave(gs, 2);
    auto [so, zo] = repeat_interleave(x_.sizes(), groupsize_, scale_out_, zero_out_);
    Tensor q = quantize(x_, s, z, cfg_.min_bound, cfg_.max_bound, so, zo, false,
                        cfg_.zero_no_shift);
    s.reset();
    z.reset();
    Tensor r = q - x0_;
    q.reset();
    if (h_.dim() == 3) return (hmul(r, h_) * r).sum(-1);
    if (F_.defined()) return at::matmul(r, F_).square().sum(-1).add_(r.square().sum(-1), lambda_);
    const int64_t B = r.size(0), rows = r.size(1), cols = r.size(2);
    Tensor rh = at::matmul(r.reshape({B * rows, cols}), h_).reshape({B, rows, -1});
    return (rh * r).sum(-1);
  }

  const QuantizerConfig& cfg_;
  Tensor x_, x0_, h_;
  OptTensor scale_out_, zero_out_;
  int64_t groupsize_;
  int64_t batch_;
  bool fused_ = false;
  Tensor R_, E_, L_;
  Tensor F_;             // h = F F^T + lambda_ I where given
  double lambda_ = 0.0;
  std::optional<IncrementalErrors> carry_;
};

// --- decisions ---------------------------------------------------------------

// The search state and its per-candidate decisions, taken in order of
// decreasing p exactly as one candidate at a time: a row takes candidate j only
// when its error is strictly below its best so far (ties keep the larger p,
// NaN never wins); with early exit, the first candidate that improves no row
// freezes the state for the rest. On the CPU (best in float or double) the
// decisions run as a plain loop over host numbers; elsewhere as tensor
// operations on the device.
class Decisions {
 public:
  Decisions(const Tensor& best, bool eary_exit, bool tensor_ops)
      : best_(best), eary_exit_(eary_exit) {
    host_ = !tensor_ops && best.is_cpu() &&
            (best.scalar_type() == at::kFloat || best.scalar_type() == at::kDouble);
    if (host_) {
      Tensor b = best.to(at::kDouble).contiguous();
      host_best_.assign(b.data_ptr<double>(), b.data_ptr<double>() + b.numel());
    }
  }

  bool active() const { return active_; }

  // errs (B, rows): per row the index of the candidate taken in this stack, or -1.
  Tensor take(const Tensor& errs) {
    return host_ ? take_host(errs) : take_tensor(errs);
  }

  Tensor best() const {
    if (!host_) return best_;
    return at::tensor(host_best_, best_.options().dtype(at::kDouble)).to(best_.scalar_type());
  }

 private:
  Tensor take_host(const Tensor& errs) {
    const int64_t B = errs.size(0), rows = errs.size(1);
    const Tensor e = errs.to(at::kDouble).contiguous();
    const double* ep = e.data_ptr<double>();
    const bool narrow = best_.scalar_type() == at::kFloat;
    std::vector<int64_t> choice(rows, -1);
    for (int64_t j = 0; j < B && active_; ++j) {
      bool any = false;
      for (int64_t i = 0; i < rows; ++i) {
        const double v = ep[j * rows + i];
        if (v < host_best_[i]) {  // false for NaN
          host_best_[i] = narrow ? static_cast<double>(static_cast<float>(v)) : v;
          choice[i] = j;
          any = true;
        }
      }
      if (eary_exit_) active_ = any;
    }
    return at::tensor(choice, errs.options().dtype(at::kLong));
  }

  Tensor take_tensor(const Tensor& errs) {
    const int64_t B = errs.size(0), rows = errs.size(1);
    Tensor choice = at::full({rows}, -1, errs.options().dtype(at::kLong));
    Tensor active = at::ones({}, errs.options().dtype(at::kBool));
    for (int64_t j = 0; j < B; ++j) {
      Tensor err = errs[j];
      Tensor improved = err < best_;
      if (eary_exit_) improved.logical_and_(active);
      best_ = at::where(improved, err.to(best_.scalar_type()), best_);
      choice.masked_fill_(improved, j);
      if (eary_exit_) active.logical_and_(improved.any());
    }
    if (eary_exit_) active_ = active.item<bool>();
    return choice;
  }

  Tensor best_;
  bool eary_exit_;
  bool host_ = false;
  bool active_ = true;
  std::vector<double> host_best_;
};

}  // namespace

ShrinkResult get_scale_and_zero(const QuantizerConfig& cfg, const Tensor& xmin, const Tensor& xmax,
                                const Tensor& x, const Tensor& h, const OptTensor& scale_out,
                                const OptTensor& zero_out, const OptTensor& best,
                                const OptTensor& scale, const OptTensor& zero, int64_t groupsize,
                                const OptTensor& x0, const std::optional<LowRankH>& low) {
  const Tensor ref = x0 ? *x0 : x;
  const int64_t rows = x.size(0);
  TORCH_CHECK(xmin.size(0) == rows, "get_scale_and_zero: xmin has ", xmin.size(0),
              " rows but x has ", rows, " (one shrink factor per row of x)");
  TORCH_CHECK(scale_out.has_value() == zero_out.has_value(),
              "get_scale_and_zero: scale_out and zero_out must be given together");

  ShrinkResult res;
  const Tensor best0 = best ? best->clone()
                            : at::full({rows}, std::numeric_limits<double>::infinity(),
                                       x.options().dtype(c10::get_default_dtype_as_scalartype()));
  bool eary_exit;
  if (scale) {
    TORCH_CHECK(zero.has_value(), "get_scale_and_zero: scale given without zero");
    res.scale = scale->clone();
    res.zero = zero->clone();
    eary_exit = false;
  } else {
    std::tie(res.scale, res.zero) = get_scale_zero_by_minmax(cfg, xmax, xmin);
    eary_exit = true;
  }
  TORCH_CHECK(!eary_exit || h.dim() == 2,
              "get_scale_and_zero: a search from min/max (scale absent) needs one (cols, cols) "
              "h for all rows, got h of shape ", h.sizes());
  const int64_t steps = static_cast<int64_t>(cfg.maxshrink * static_cast<double>(cfg.grid));
  const bool tensor_ops = host::fault("shrink_tensor_ops");
  StackedErrors errors_of(cfg, x, ref, h, scale_out, zero_out, groupsize,
                          shrink_batch(x, rows, x.size(1), steps, eary_exit), steps, eary_exit,
                          tensor_ops, low);
  const int64_t batch = errors_of.batch();
  Decisions decide(best0, eary_exit, tensor_ops);

  // Step taken per row (-1: none), turned into its factor at the end.
  Tensor step = at::full({rows}, -1, xmin.options().dtype(at::kLong));
  for (int64_t i0 = 0; i0 < steps && decide.active(); i0 += batch) {
    const int64_t B = std::min(batch, steps - i0);
    auto [scale_b, zero_b] = candidate_params(cfg, xmin, xmax, i0, B);
    Tensor choice = decide.take(errors_of(scale_b, zero_b)).to(xmin.device());
    Tensor taken = choice >= 0;
    Tensor idx = choice.clamp_min(0);
    auto pick = [&](const Tensor& stacked, const Tensor& current) {
      Tensor g = stacked.gather(0, idx.view({1, rows, 1}).expand({1, rows, stacked.size(2)}))
                     .squeeze(0);
      return at::where(taken.unsqueeze(1), g.to(current.scalar_type()), current);
    };
    res.scale = pick(scale_b, res.scale);
    res.zero = pick(zero_b, res.zero);
    step = at::where(taken, choice + i0, step);
  }
  res.best = decide.best();
  std::vector<double> ps{1.0};
  for (int64_t i = 0; i < steps; ++i) ps.push_back(factor_of(cfg, i));
  const Tensor factors = at::tensor(ps, xmin.options().dtype(at::kDouble));
  res.bestp = factors.index_select(0, step + 1).to(xmin.scalar_type());
  return res;
}

Params find_params(const QuantizerConfig& cfg, const Tensor& x, int64_t groupsize,
                   const OptTensor& H, const OptTensor& x0, const std::optional<LowRankH>& low) {
  TORCH_CHECK(H.has_value(), "find_params: H is required");
  auto [xmin, xmax] = get_minmax(cfg, x, groupsize);
  Params out;
  std::tie(out.scale, out.zero) = get_scale_zero_by_minmax(cfg, xmax, xmin);

  // The dequantization pair equivalent to (scale, zero) under the zero convention.
  auto output_pair = [&]() {
    out.scale_out = out.scale.clone();
    out.zero_out = cfg.zero_no_shift ? -out.scale * out.zero : out.zero.clone();
  };
  output_pair();
  out.best = quant_err_scale_zero_grouped(x, out.scale, out.zero, out.scale_out, out.zero_out,
                                          cfg.min_bound, cfg.max_bound, groupsize, H, x0,
                                          cfg.zero_no_shift);
  if (cfg.iters_for_scale == 0) return out;

  ShrinkResult sr = get_scale_and_zero(cfg, xmin, xmax, x, *H, std::nullopt, std::nullopt,
                                       out.best, out.scale, out.zero, groupsize, x0, low);
  out.scale = sr.scale;
  out.zero = sr.zero;
  out.best = sr.best;
  output_pair();
  if (cfg.iters_for_scale == 1) return out;

  try {
    if (host::fault("find_params_oom")) {
      TORCH_CHECK_WITH(OutOfMemoryError, false, "find_params: injected out-of-memory error");
    }
    OutParams o = get_scale_and_zero_out_group(cfg, x, out.scale, out.zero, H, groupsize, x0,
                                               std::nullopt, /*double_precision=*/true);
    out.scale_out = o.scale_out;
    out.zero_out = o.zero_out;
    out.best = o.err;
  } catch (const c10::OutOfMemoryError&) {
    // Not enough device memory for the closed form: keep the searched values.
    host::empty_cache();
  }
  return out;
}

std::pair<Tensor, Tensor> quant_via_minmax(const QuantizerConfig& cfg, const Tensor& x,
                                           int64_t groupsize, const Tensor& h,
                                           const OptTensor& bestp) {
  auto [xmin, xmax] = get_minmax(cfg, x, groupsize);
  Tensor scale, zero, p;
  if (!bestp) {
    ShrinkResult sr = get_scale_and_zero(cfg, xmin, xmax, x, h, std::nullopt, std::nullopt,
                                         std::nullopt, std::nullopt, std::nullopt, groupsize,
                                         std::nullopt);
    scale = sr.scale;
    zero = sr.zero;
    p = sr.bestp;
  } else {
    p = *bestp;
    std::vector<int64_t> shape(xmax.dim(), 1);
    shape[0] = xmax.size(0);
    Tensor pr = p.reshape(shape);
    std::tie(scale, zero) = get_scale_zero_by_minmax(cfg, xmax * pr, xmin * pr);
  }
  auto [s, z] = repeat_interleave(x.sizes(), groupsize, scale, zero);
  return {quantize(x, *s, *z, cfg.min_bound, cfg.max_bound, std::nullopt, std::nullopt, false,
                   cfg.zero_no_shift),
          p};
}

}  // namespace gdq
