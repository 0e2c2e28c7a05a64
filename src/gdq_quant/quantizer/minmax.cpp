#include <ATen/ATen.h>
#include <c10/core/DefaultDtype.h>

#include "common/errors.h"
#include "quantizer/quantizer.h"

namespace gdq {

QuantizerConfig QuantizerConfig::configure(int64_t bits, bool perchannel, bool sym, int64_t grid,
                                           double maxshrink, double thr, int64_t iters_for_scale,
                                           bool zero_no_shift) {
  TORCH_CHECK(bits >= 1 && bits <= 62, "configure: bits must be in [1, 62], got ", bits);
  QuantizerConfig c;
  c.max_bound = (int64_t(1) << (bits - 1)) - 1;
  c.min_bound = -c.max_bound - 1;
  c.perchannel = perchannel;
  c.sym = sym;
  c.grid = grid;
  c.maxshrink = maxshrink;
  c.thr = thr;
  c.iters_for_scale = iters_for_scale;
  c.zero_no_shift = zero_no_shift;
  return c;
}

int64_t QuantizerConfig::sym_zero() const {
  // (max_bound + min_bound + 1) // 2 with floor division; 0 for every signed grid.
  int64_t s = max_bound + min_bound + 1;
  return s >= 0 ? s / 2 : -((-s + 1) / 2);
}

std::pair<Tensor, Tensor> get_minmax(const QuantizerConfig& cfg, const Tensor& x,
                                     int64_t groupsize) {
  TORCH_CHECK(x.dim() >= 1, "get_minmax: x must have at least one axis, got ", x.dim());
  Tensor v = cfg.perchannel ? x.flatten(1) : x.reshape({1, -1});
  const int64_t rows = v.size(0), cols = v.size(1);
  int64_t num_group = 1;
  if (groupsize == -1 || groupsize == cols) {
    groupsize = cols;
  } else {
    TORCH_CHECK(groupsize > 0, "get_minmax: groupsize must be -1 or positive, got ", groupsize);
    GDQ_REQUIRE(cols % groupsize == 0);
    num_group = cols / groupsize;
  }
  v = v.reshape({rows, num_group, groupsize});

  // The zero every range is widened to include has the default floating dtype,
  // so the result follows the usual promotion with x's dtype.
  Tensor zeros = at::zeros({rows, num_group},
                           x.options().dtype(c10::get_default_dtype_as_scalartype()));
  Tensor xmin = at::minimum(std::get<0>(v.min(-1)), zeros);
  Tensor xmax = at::maximum(std::get<0>(v.max(-1)), zeros);

  if (cfg.sym) {
    xmax = at::maximum(xmin.abs(), xmax);
    xmin = at::where(xmin < 0, -xmax, xmin);
  }
  Tensor empty = (xmin == 0).logical_and_(xmax == 0);
  xmin = xmin.masked_fill(empty, -1);
  xmax = xmax.masked_fill(empty, 1);
  return {xmin, xmax};
}

std::pair<Tensor, Tensor> get_scale_zero_by_minmax(const QuantizerConfig& cfg, const Tensor& xmax,
                                                   const Tensor& xmin) {
  Tensor scale = (xmax - xmin) / (cfg.max_bound - cfg.min_bound);
  Tensor zero;
  if (cfg.sym) {
    zero = at::full_like(scale, cfg.sym_zero());
  } else if (cfg.zero_no_shift) {
    // Integer offset on the grid that puts xmin on min_bound.
    zero = at::rsub(my_round(xmin / scale), cfg.min_bound);
  } else {
    // Real offset with the same effect under the subtract-before-scaling convention.
    zero = xmin - scale * cfg.min_bound;
  }
  return {scale, zero};
}

}  // namespace gdq
