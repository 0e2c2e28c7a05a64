#include "kernels/opt_intw.h"

#include "common/errors.h"

namespace gdq {

OptIntResult opt_intW3(const at::Tensor&, const at::Tensor&, const at::Tensor&, bool,
                       const at::Scalar&, const at::Scalar&, const at::Tensor&,
                       const std::optional<at::Tensor>&, int64_t, double, int64_t,
                       const std::string&) {
  throw NotSupported("opt_intW3: not implemented yet");
}

}  // namespace gdq
