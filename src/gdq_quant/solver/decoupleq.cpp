#include "solver/decoupleq.h"

#include "common/errors.h"

namespace gdq {

at::Tensor weight_matrix(const LayerView&, const at::Tensor&) {
  throw NotSupported("not support yet");
}

void add_batch(HessianState&, const LayerView&, const at::Tensor&,
               const std::optional<at::Tensor>&, int64_t) {
  throw NotSupported("add_batch: not implemented yet");
}

StartQuantResult startquant(const LayerView&, const at::Tensor&, double, QuantizerConfig&,
                            const StartQuantArgs&) {
  throw NotSupported("startquant: not implemented yet");
}

}  // namespace gdq
