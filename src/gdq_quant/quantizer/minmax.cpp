#include "common/errors.h"
#include "quantizer/quantizer.h"

namespace gdq {

QuantizerConfig QuantizerConfig::configure(int64_t bits, bool perchannel, bool sym, int64_t grid,
                                           double maxshrink, double thr, int64_t iters_for_scale,
                                           bool zero_no_shift) {
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

std::pair<Tensor, Tensor> get_minmax(const QuantizerConfig&, const Tensor&, int64_t) {
  throw NotSupported("get_minmax: not implemented yet");
}

std::pair<Tensor, Tensor> get_scale_zero_by_minmax(const QuantizerConfig&, const Tensor&,
                                                   const Tensor&) {
  throw NotSupported("get_scale_zero_by_minmax: not implemented yet");
}

}  // namespace gdq
