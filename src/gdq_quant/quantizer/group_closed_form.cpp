#include "common/errors.h"
#include "quantizer/quantizer.h"

namespace gdq {

OutParams get_scale_and_zero_out_group(const QuantizerConfig&, const OptTensor&, const OptTensor&,
                                       const OptTensor&, const OptTensor&, int64_t,
                                       const OptTensor&, const OptTensor&, bool) {
  throw NotSupported("get_scale_and_zero_out_group: not implemented yet");
}

}  // namespace gdq
