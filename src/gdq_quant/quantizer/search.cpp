#include "common/errors.h"
#include "quantizer/quantizer.h"

namespace gdq {

ShrinkResult get_scale_and_zero(const QuantizerConfig&, const Tensor&, const Tensor&, const Tensor&,
                                const Tensor&, const OptTensor&, const OptTensor&, const OptTensor&,
                                const OptTensor&, const OptTensor&, int64_t, const OptTensor&) {
  throw NotSupported("get_scale_and_zero: not implemented yet");
}

Params find_params(const QuantizerConfig&, const Tensor&, int64_t, const OptTensor&,
                   const OptTensor&) {
  throw NotSupported("find_params: not implemented yet");
}

std::pair<Tensor, Tensor> quant_via_minmax(const QuantizerConfig&, const Tensor&, int64_t,
                                           const Tensor&, const OptTensor&) {
  throw NotSupported("quant_via_minmax: not implemented yet");
}

}  // namespace gdq
