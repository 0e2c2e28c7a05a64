#include "kernels/adam.h"

#include "common/errors.h"

namespace gdq {

AdamState::AdamState(at::Tensor p, double lr_) : param(std::move(p)), lr(lr_) {
  exp_avg = at::zeros_like(param, at::MemoryFormat::Preserve);
  exp_avg_sq = at::zeros_like(param, at::MemoryFormat::Preserve);
}

void AdamState::step(const at::Tensor&) { throw NotSupported("MyAdam.step: not implemented yet"); }

}  // namespace gdq
