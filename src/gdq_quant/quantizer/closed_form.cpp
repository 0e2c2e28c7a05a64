#include <ATen/ATen.h>

#include "common/errors.h"
#include "quantizer/quantizer.h"

namespace gdq {
namespace {

// (h + h^T) / 2, of each matrix of a stack.
Tensor symmetrised(const Tensor& h) { return (h + h.transpose(-2, -1)) / 2.0; }

// Per-row dot products u[c] . v[c] (the diagonal of u v^T without forming it).
Tensor rowdot(const Tensor& u, const Tensor& v) { return (u * v).sum(1); }

// The terms of the normal equations with the all-ones vector, per row:
// (1 H 1^T, x0 H 1^T), for one H shared by all rows ...
std::pair<Tensor, Tensor> ones_terms(const Tensor& hs, const Tensor& x0) {
  const Tensor colsum = hs.sum(0);  // 1 H, the same for every row
  const Tensor p5 = colsum.sum().expand({x0.size(0)});
  const Tensor p6 = at::matmul(x0, colsum);
  return {p5, p6};
}

// ... and for a stack hs (G, D, D), each row with its block's Hessian.
std::pair<Tensor, Tensor> ones_terms_per_row(const Tensor& hs, const Tensor& x0) {
  const int64_t r = x0.size(0) / hs.size(0);
  const Tensor colsum = hs.sum(-2);  // (G, D): 1 H[k]
  const Tensor p5 = colsum.sum(-1).repeat_interleave(r, 0);
  const Tensor p6 = rowdot(x0, colsum.repeat_interleave(r, 0));
  return {p5, p6};
}

}  // namespace

Tensor get_fake_int_in(const QuantizerConfig& cfg, const Tensor& x, const Tensor& scale,
                       const Tensor& zero, int64_t groupsize, std::optional<bool> zero_no_shift) {
  auto [s, z] = repeat_interleave(x.sizes(), groupsize, scale, zero);
  return quantize(x, *s, *z, cfg.min_bound, cfg.max_bound, std::nullopt, std::nullopt,
                  /*return_int=*/true, zero_no_shift.value_or(cfg.zero_no_shift));
}

Tensor given_or_fake_int(const QuantizerConfig& cfg, const OptTensor& x, const OptTensor& scale,
                         const OptTensor& zero, const OptTensor& x_int, int64_t groupsize,
                         const char* caller) {
  if (x_int) return *x_int;
  TORCH_CHECK(x.has_value() && scale.has_value() && zero.has_value(), caller,
              ": without x_int, x, scale and zero are required");
  return get_fake_int_in(cfg, *x, *scale, *zero, groupsize, std::nullopt);
}

std::pair<Tensor, Tensor> get_scale_out_sym(const QuantizerConfig& cfg, const Tensor& h,
                                            const Tensor& x0, const Tensor& x_int,
                                            int64_t groupsize) {
  GDQ_REQUIRE(cfg.sym);
  const Tensor hs = symmetrised(h);
  // hs is exactly symmetric, so (hs x_int^T)^T = x_int hs: one (C x D)(D x D) product.
  const Tensor ah = hmul(x_int, hs);
  const Tensor wha = rowdot(x0, ah);     // x0[c] H x_int[c]^T
  const Tensor aha = rowdot(x_int, ah);  // x_int[c] H x_int[c]^T
  Tensor scale_out = safe_div(wha, aha).unsqueeze(1);
  Tensor scale_out0 = *repeat_interleave(x_int.sizes(), groupsize, scale_out, std::nullopt).first;
  Tensor err = quant_error_grouped(x0, x_int * scale_out0, hs);
  return {scale_out, err};
}

OutParams get_scale_and_zero_out(const QuantizerConfig& cfg, const OptTensor& x,
                                 const OptTensor& scale, const OptTensor& zero, const Tensor& h,
                                 const OptTensor& x0_in, const OptTensor& x_int_in) {
  TORCH_CHECK(x0_in.has_value() || x.has_value(),
              "get_scale_and_zero_out: needs x or x0 (the reference weights), got neither");
  const Tensor x0 = x0_in ? *x0_in : *x;
  const Tensor x_int = given_or_fake_int(cfg, x, scale, zero, x_int_in, -1, "get_scale_and_zero_out");

  OutParams out;
  if (cfg.sym) {
    std::tie(out.scale_out, out.err) = get_scale_out_sym(cfg, h, x0, x_int, -1);
    out.zero_out = at::full_like(out.scale_out, cfg.sym_zero());
    return out;
  }

  // Normal equations of min over (s, z) of (s a + z 1 - x0) H (s a + z 1 - x0)^T
  // per row, a = x_int[c]:
  //   (a H a^T) s + (1 H a^T) z = x0 H a^T
  //   (1 H a^T) s + (1 H 1^T) z = x0 H 1^T
  // With a stack of Hessians, H is the one of the row's block.
  const Tensor hs = symmetrised(h);
  const Tensor ah = hmul(x_int, hs);  // rows a H
  const Tensor p1 = rowdot(ah, x_int);
  const Tensor p2 = ah.sum(1);
  const Tensor p3 = rowdot(x0, ah);
  const Tensor& p4 = p2;
  auto [p5, p6] = hs.dim() == 2 ? ones_terms(hs, x0) : ones_terms_per_row(hs, x0);
  auto [s, z] = get_linear_eq(p1, p2, p3, p4, p5, p6);
  if (!(at::isfinite(s).all().item<bool>() && at::isfinite(z).all().item<bool>())) {
    throw FatalError("Fatal Error");
  }
  out.scale_out = s.unsqueeze(1);
  out.zero_out = z.unsqueeze(1);
  if (cfg.zero_no_shift) {
    // Whole number of scale steps. A row with scale 0 (e.g. all-zero x_int)
    // has no steps to count; it keeps its least-squares offset.
    Tensor shifted = my_round(out.zero_out / out.scale_out) * out.scale_out;
    out.zero_out = at::where(out.scale_out == 0, out.zero_out, shifted);
  }
  auto [so, zo] = repeat_interleave(x_int.sizes(), -1, out.scale_out, out.zero_out);
  out.err = quant_error_grouped(x0, x_int * *so + *zo, hs);
  return out;
}

}  // namespace gdq
