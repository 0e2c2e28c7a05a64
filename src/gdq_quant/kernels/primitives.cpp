#include "kernels/primitives.h"

#include <ATen/ATen.h>

#include "common/errors.h"

namespace gdq {

Tensor my_round(const Tensor& x) {
  // round_half_up element for element: one step up where half-to-even rounding
  // went down from an exact half. No host synchronisation.
  Tensor y = at::round(x);
  return y.add_((y - x).eq_(-0.5));
}

Tensor safe_div(const Tensor& x, const Tensor& y) {
  Tensor sign = at::sign(y);
  sign = at::where(sign == 0, at::ones_like(sign), sign);
  Tensor denom = at::clamp_min(y.abs(), 1e-15) * sign;
  return x / denom;
}

std::pair<OptTensor, OptTensor> repeat_interleave(at::IntArrayRef x_shape, int64_t groupsize,
                                                  const OptTensor& scale, const OptTensor& zero) {
  if (groupsize == -1) groupsize = x_shape[1];
  auto spread = [&](const OptTensor& t) -> OptTensor {
    if (!t) return std::nullopt;
    Tensor r = t->repeat_interleave(groupsize, 1);
    std::vector<int64_t> shape{r.size(0), r.size(1)};
    for (size_t i = 2; i < x_shape.size(); ++i) shape.push_back(1);
    return r.reshape(shape);
  };
  return {spread(scale), spread(zero)};
}

Tensor quantize(const Tensor& x, const Tensor& scale, const Tensor& zero,
                const at::Scalar& min_bound, const at::Scalar& max_bound,
                const OptTensor& scale_out, const OptTensor& zero_out, bool return_int,
                bool zero_no_shift) {
  Tensor q = zero_no_shift ? at::clamp(my_round(x / scale) + zero, min_bound, max_bound)
                           : at::clamp(my_round((x - zero) / scale), min_bound, max_bound);
  if (return_int) return q;
  if (scale_out) {
    TORCH_CHECK(zero_out.has_value(), "quantize: scale_out given without zero_out");
    return q * *scale_out + *zero_out;
  }
  if (zero_no_shift) return scale * (q - zero);
  return scale * q + zero;
}

Tensor cal_quant_error(const Tensor& x, const Tensor& q, const Tensor& h) {
  GDQ_REQUIRE(x.dim() == 2);
  GDQ_REQUIRE(q.dim() == 2);
  GDQ_REQUIRE(h.dim() == 2);
  return quant_error_grouped(x, q, h);
}

Tensor hmul(const Tensor& R, const Tensor& h) {
  if (h.dim() != 3) return at::matmul(R, h);
  const int64_t G = h.size(0), rows = R.size(-2);
  TORCH_CHECK(G > 0 && rows % G == 0, "a stack of ", G, " Hessians needs the ", rows,
              " rows to split into ", G, " equal blocks");
  // (..., G, rows / G, cols) @ (G, cols, cols): block k by h[k].
  return at::matmul(R.unflatten(-2, {G, rows / G}), h).flatten(-3, -2);
}

Tensor quant_error_grouped(const Tensor& x, const Tensor& q, const Tensor& h) {
  Tensor r = q - x;
  if (h.dim() == 2) return (at::matmul(r, h) * r).sum(1);
  return (hmul(r, h) * r).sum(-1);
}

namespace {

// (reference, quantized x) of cal_quant_err_scale_zero.
std::pair<Tensor, Tensor> reference_and_quantized(const Tensor& x, const Tensor& scale,
                                                  const Tensor& zero, const OptTensor& scale_out,
                                                  const OptTensor& zero_out,
                                                  const at::Scalar& min_bound,
                                                  const at::Scalar& max_bound, int64_t groupsize,
                                                  const OptTensor& x0, bool zero_no_shift) {
  auto [s, z] = repeat_interleave(x.sizes(), groupsize, scale, zero);
  auto [so, zo] = repeat_interleave(x.sizes(), groupsize, scale_out, zero_out);
  Tensor ref = x0 ? *x0 : x;
  Tensor q = quantize(x, *s, *z, min_bound, max_bound, so, zo, false, zero_no_shift);
  return {ref, q};
}

}  // namespace

Tensor cal_quant_err_scale_zero(const Tensor& x, const Tensor& scale, const Tensor& zero,
                                const OptTensor& scale_out, const OptTensor& zero_out,
                                const at::Scalar& min_bound, const at::Scalar& max_bound,
                                int64_t groupsize, const OptTensor& h, const OptTensor& x0,
                                bool zero_no_shift) {
  auto [ref, q] = reference_and_quantized(x, scale, zero, scale_out, zero_out, min_bound,
                                          max_bound, groupsize, x0, zero_no_shift);
  GDQ_REQUIRE(h.has_value());
  return cal_quant_error(ref, q, *h);
}

Tensor quant_err_scale_zero_grouped(const Tensor& x, const Tensor& scale, const Tensor& zero,
                                    const OptTensor& scale_out, const OptTensor& zero_out,
                                    const at::Scalar& min_bound, const at::Scalar& max_bound,
                                    int64_t groupsize, const OptTensor& h, const OptTensor& x0,
                                    bool zero_no_shift) {
  auto [ref, q] = reference_and_quantized(x, scale, zero, scale_out, zero_out, min_bound,
                                          max_bound, groupsize, x0, zero_no_shift);
  GDQ_REQUIRE(h.has_value());
  return quant_error_grouped(ref, q, *h);
}

std::pair<Tensor, Tensor> get_linear_eq(const Tensor& a, const Tensor& b, const Tensor& c,
                                        const Tensor& d, const Tensor& e, const Tensor& f) {
  Tensor deno = a * e - b * d;
  Tensor sign = at::sign(deno);
  sign = at::where(sign == 0, at::ones_like(sign), sign);
  Tensor floor = sign * 1e-5;
  deno = at::where(deno.abs() < 1e-5, floor, deno);
  return {(c * e - b * f) / deno, (a * f - c * d) / deno};
}

}  // namespace gdq
