#include <c10/util/Exception.h>

#include <algorithm>
#include <vector>

#include "common/errors.h"
#include "common/host.h"
#include "quantizer/quantizer.h"

namespace gdq {
namespace {

// Number of shrink candidates whose residuals go through one product with h.
// Stacking B candidates runs every elementwise step and the product once per
// B candidates instead of once per candidate: on an accelerator that saves
// kernel launches (stacks up to about 2048 residual rows and 2^24 elements);
// on the CPU it saves thread fork/join rounds, which dominate small layers on
// a busy machine, while stacks beyond a few MiB fall out of cache and cost
// more than they save (stacks up to 2^20 elements there). Measured on a
// shared 2-core CPU for 64 x 576: 16-stacked 1.7x slower single-threaded,
// 15x faster with two threads under load. The test seam "shrink_batched"
// forces 16-candidate stacks for one search.
int64_t shrink_batch(const Tensor& x, int64_t rows, int64_t cols, int64_t steps) {
  const int64_t per = std::max<int64_t>(rows * cols, 1);
  int64_t b;
  if (host::fault("shrink_batched")) {
    b = 16;
  } else if (x.is_cpu()) {
    b = (int64_t(1) << 20) / per;
  } else {
    b = std::min((int64_t(1) << 24) / per, 2048 / std::max<int64_t>(rows, 1));
  }
  return std::clamp<int64_t>(std::min(b, steps), 1, 16);
}

// Per-row errors of quantizing x with each stacked candidate: scale_b, zero_b
// (B, rows, G) -> (B, rows). Element for element the arithmetic of
// cal_quant_err_scale_zero; the B residuals go through one product with h.
Tensor candidate_errors(const QuantizerConfig& cfg, const Tensor& x, const Tensor& scale_b,
                        const Tensor& zero_b, const OptTensor& scale_out,
                        const OptTensor& zero_out, int64_t groupsize, const Tensor& h,
                        const Tensor& x0) {
  GDQ_REQUIRE(x.dim() == 2);
  GDQ_REQUIRE(x0.dim() == 2);
  GDQ_REQUIRE(h.dim() == 2);
  const int64_t gs = groupsize == -1 ? x.size(1) : groupsize;
  Tensor s = scale_b.repeat_interleave(gs, 2);
  Tensor z = zero_b.repeat_interleave(gs, 2);
  auto [so, zo] = repeat_interleave(x.sizes(), groupsize, scale_out, zero_out);
  Tensor q = quantize(x, s, z, cfg.min_bound, cfg.max_bound, so, zo, false, cfg.zero_no_shift);
  s.reset();
  z.reset();
  Tensor r = q - x0;
  q.reset();
  const int64_t B = r.size(0), rows = r.size(1), cols = r.size(2);
  Tensor rh = at::matmul(r.reshape({B * rows, cols}), h).reshape({B, rows, -1});
  return (rh * r).sum(-1);
}

}  // namespace

ShrinkResult get_scale_and_zero(const QuantizerConfig& cfg, const Tensor& xmin, const Tensor& xmax,
                                const Tensor& x, const Tensor& h, const OptTensor& scale_out,
                                const OptTensor& zero_out, const OptTensor& best,
                                const OptTensor& scale, const OptTensor& zero, int64_t groupsize,
                                const OptTensor& x0) {
  const Tensor ref = x0 ? *x0 : x;
  const int64_t rows = x.size(0);
  TORCH_CHECK(xmin.size(0) == rows, "get_scale_and_zero: xmin has ", xmin.size(0),
              " rows but x has ", rows, " (one shrink factor per row of x)");
  TORCH_CHECK(scale_out.has_value() == zero_out.has_value(),
              "get_scale_and_zero: scale_out and zero_out must be given together");

  ShrinkResult res;
  res.best = best ? best->clone()
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
  res.bestp = at::ones({rows}, xmin.options());

  const int64_t steps = static_cast<int64_t>(cfg.maxshrink * static_cast<double>(cfg.grid));
  const int64_t batch = shrink_batch(x, rows, x.size(1), steps);
  for (int64_t i0 = 0; i0 < steps; i0 += batch) {
    const int64_t B = std::min(batch, steps - i0);
    std::vector<Tensor> scales, zeros;
    std::vector<double> ps;
    for (int64_t i = i0; i < i0 + B; ++i) {
      const double p = 1.0 - static_cast<double>(i) / static_cast<double>(cfg.grid);
      auto [s1, z1] = get_scale_zero_by_minmax(cfg, xmax * p, xmin * p);
      scales.push_back(s1);
      zeros.push_back(z1);
      ps.push_back(p);
    }
    Tensor scale_b = at::stack(scales), zero_b = at::stack(zeros);
    Tensor errs =
        candidate_errors(cfg, x, scale_b, zero_b, scale_out, zero_out, groupsize, h, ref);

    // Walk the candidates in order of decreasing p, exactly as one at a time:
    // a row takes candidate j only when its error is strictly below the best
    // so far (ties keep the larger p, NaN never wins). With early exit, the
    // first candidate that improves no row freezes the state for the rest.
    Tensor choice = at::full({rows}, -1, x.options().dtype(at::kLong));
    Tensor active = at::ones({}, x.options().dtype(at::kBool));
    for (int64_t j = 0; j < B; ++j) {
      Tensor err = errs[j];
      Tensor improved = err < res.best;
      if (eary_exit) improved.logical_and_(active);
      res.best = at::where(improved, err.to(res.best.scalar_type()), res.best);
      choice.masked_fill_(improved, j);
      if (eary_exit) active.logical_and_(improved.any());
    }
    Tensor taken = choice >= 0;
    Tensor idx = choice.clamp_min(0);
    auto pick = [&](const Tensor& stacked, const Tensor& current) {
      Tensor g = stacked.gather(0, idx.view({1, rows, 1}).expand({1, rows, stacked.size(2)}))
                     .squeeze(0);
      return at::where(taken.unsqueeze(1), g.to(current.scalar_type()), current);
    };
    res.scale = pick(scale_b, res.scale);
    res.zero = pick(zero_b, res.zero);
    Tensor pvals = at::tensor(ps, x.options().dtype(at::kDouble)).to(res.bestp.scalar_type());
    res.bestp = at::where(taken, pvals.index_select(0, idx), res.bestp);
    if (eary_exit && !active.item<bool>()) break;
  }
  return res;
}

Params find_params(const QuantizerConfig& cfg, const Tensor& x, int64_t groupsize,
                   const OptTensor& H, const OptTensor& x0) {
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
  out.best = cal_quant_err_scale_zero(x, out.scale, out.zero, out.scale_out, out.zero_out,
                                      cfg.min_bound, cfg.max_bound, groupsize, H, x0,
                                      cfg.zero_no_shift);
  if (cfg.iters_for_scale == 0) return out;

  ShrinkResult sr = get_scale_and_zero(cfg, xmin, xmax, x, *H, std::nullopt, std::nullopt,
                                       out.best, out.scale, out.zero, groupsize, x0);
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
