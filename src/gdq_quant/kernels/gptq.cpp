#include "kernels/gptq.h"

#include "common/errors.h"

namespace gdq {

GptqResult round_gptq(at::Tensor&, const at::Tensor&, const at::Tensor&, const at::Scalar&,
                      const at::Scalar&, const at::Tensor&, int64_t) {
  throw NotSupported("round_gptq: not implemented yet");
}

}  // namespace gdq
