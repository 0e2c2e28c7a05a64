#include "common/errors.h"
#include "quantizer/quantizer.h"

namespace gdq {

Tensor get_fake_int_in(const QuantizerConfig&, const Tensor&, const Tensor&, const Tensor&, int64_t,
                       std::optional<bool>) {
  throw NotSupported("get_fake_int_in: not implemented yet");
}

std::pair<Tensor, Tensor> get_scale_out_sym(const QuantizerConfig&, const Tensor&, const Tensor&,
                                            const Tensor&, int64_t) {
  throw NotSupported("get_scale_out_sym: not implemented yet");
}

OutParams get_scale_and_zero_out(const QuantizerConfig&, const OptTensor&, const OptTensor&,
                                 const OptTensor&, const Tensor&, const OptTensor&,
                                 const OptTensor&) {
  throw NotSupported("get_scale_and_zero_out: not implemented yet");
}

}  // namespace gdq
