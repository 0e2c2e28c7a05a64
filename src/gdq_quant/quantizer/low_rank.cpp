// The low-rank form of a damped second moment (quantizer.h).
#include <ATen/ATen.h>

#include <cmath>
#include <optional>

#include "quantizer/quantizer.h"

namespace gdq {

// Cholesky with diagonal pivoting: step k takes the largest remaining
// diagonal d[p] as pivot and the column (H[:, p] - F_k F_k[p]^T) / sqrt(d[p]);
// the remaining diagonal loses that column's squares. After r steps
// H - F_r F_r^T is the Schur complement, positive semidefinite, whose largest
// entry is its largest diagonal.
std::optional<LowRankH> low_rank_form(const Tensor& H, double lambda, int64_t max_rank,
                                      at::ScalarType dtype) {
  TORCH_INTERNAL_ASSERT(H.dim() == 2 && H.size(0) == H.size(1) && H.scalar_type() == at::kDouble);
  const int64_t n = H.size(0);
  const int64_t cap = std::min(max_rank, (n - 1) / 3);
  if (cap < 0) return std::nullopt;
  Tensor d = H.diagonal().clone();
  const double top = d.max().item<double>();
  if (!std::isfinite(top)) return std::nullopt;
  const double tol = 1e-11 * top;
  Tensor F = at::zeros({n, std::max<int64_t>(cap, 1)}, H.options());
  int64_t r = 0;
  for (;; ++r) {
    auto [dm, p] = d.max(0);
    const double v = dm.item<double>();
    if (!(v > tol)) break;                 // also ends on an all-zero H
    if (r == cap) return std::nullopt;
    const int64_t i = p.item<int64_t>();
    Tensor c = H.select(1, i).clone();
    if (r > 0) c.sub_(F.narrow(1, 0, r).mv(F.select(0, i).narrow(0, 0, r)));
    c.div_(std::sqrt(v));
    F.select(1, r).copy_(c);
    d.sub_(c.square());
    d[i] = 0.0;
  }
  return LowRankH{F.narrow(1, 0, r).to(dtype).contiguous(), lambda};
}

}  // namespace gdq
