#pragma once
// Second moments of the patches of a grouped convolution whose groups see few
// values per patch (a depthwise 3x3 sees 9), computed from the images
// directly: no patch matrix is formed, so the cost is that of the
// D (D + 1) / 2 products per position, not of writing and reading D float64
// values per position.
#include <ATen/core/Tensor.h>

#include <array>
#include <optional>

namespace gdq {

// Geometry of a 2-D convolution (symmetric zero padding, as nn.Conv2d).
struct ConvGeometry {
  std::array<int64_t, 2> kernel{1, 1}, stride{1, 1}, padding{0, 0}, dilation{1, 1};
  int64_t groups = 1;
};

// Patch values per group, D = (C / groups) * kh * kw, up to which the direct
// products are used on the CPU.
constexpr int64_t kSmallGroupPatch = 32;

// h[j] = X_j X_j^T, X_j (D, b * Ho * Wo) the patches of group j in the
// weight's column order (channel, kernel row, kernel column) over the images
// x (b, C, Hin, Win); each h[j] exactly symmetric.
//   x  float or double (other dtypes are converted), CPU
//   h  (groups, D, D) float64, CPU, contiguous; written
// Products are exact in float64 (float inputs); sums run per position block
// with eight partial sums, in an order other than a matrix product's.
// Returns the number of patch positions b * Ho * Wo, or nullopt when x holds
// a NaN (h is then undefined). Each plane is scanned for it just before it is
// read, so the check costs no separate pass over x.
std::optional<int64_t> small_group_grams_cpu(at::Tensor& h, const at::Tensor& x, const ConvGeometry& geo);

}  // namespace gdq
