// A layer's statistics: its weight matrix layout and the running mean H of
// x x^T over its input vectors (decoupleq.h).
#include "solver/decoupleq.h"

#include <ATen/ATen.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <tuple>

#include "common/errors.h"
#include "common/host.h"
#include "kernels/group_gram.h"

namespace gdq {
namespace {

using at::Tensor;

// Upper bound on the elements of one chunk's float64 patch matrix (256 MiB).
constexpr int64_t kPatchBudget = int64_t(1) << 25;

// The same for a grouped convolution (8 MiB): its products are many small
// ones, whose speed is that of reading the patches, best while they are
// still in cache.
constexpr int64_t kGroupPatchBudget = int64_t(1) << 20;

// Adds X X^T into the upper triangle of h (K x K) for X (K, n): diagonal blocks
// recursively, each off-diagonal block once. The lower triangle of h outside
// the diagonal blocks of kGramBase rows is left untouched (symmetric_from_upper
// fills it), so the product costs about half the multiply-adds of X X^T.
constexpr int64_t kGramBase = 256;

void add_gram_upper_impl(const Tensor& h, const Tensor& X) {
  const int64_t K = X.size(0);
  if (K <= kGramBase) {
    h.addmm_(X, X.t());
    return;
  }
  const int64_t k1 = K / 2, k2 = K - k1;
  const Tensor X1 = X.narrow(0, 0, k1), X2 = X.narrow(0, k1, k2);
  add_gram_upper_impl(h.narrow(0, 0, k1).narrow(1, 0, k1), X1);
  add_gram_upper_impl(h.narrow(0, k1, k2).narrow(1, k1, k2), X2);
  h.narrow(0, 0, k1).narrow(1, k1, k2).addmm_(X1, X2.t());
}

Tensor symmetric_from_upper(const Tensor& h) { return at::triu(h) + at::triu(h, 1).t(); }

// The same for each matrix of a stack (g, D, D).
Tensor symmetric_stack_from_upper(const Tensor& h) {
  return at::triu(h) + at::triu(h, 1).transpose(-2, -1);
}

// Adds X[j] X[j]^T into h[j] for the patches P (b, g*D, L) of b images, split
// into g groups of D consecutive rows: one batched product of
// X = (g, D, b*L) by its transpose.
void add_group_grams_impl(const Tensor& h, const Tensor& P) {
  const int64_t b = P.size(0), g = h.size(0), D = h.size(1), L = P.size(2);
  const Tensor X = b == 1 ? P.select(0, 0).view({g, D, L})
                          : P.view({b, g, D, L}).permute({1, 2, 0, 3}).reshape({g, D, b * L});
  h.baddbmm_(X, X.transpose(1, 2));
}

// X X^T of the patch matrix X (C*kh*kw, B*L) of the images inp (B, C, Hin, Win),
// in float64, with B*L, the number of input vectors (columns of X). The images
// go through in chunks of at most `chunk` (fewer when a chunk's float64 patch
// matrix would exceed kPatchBudget elements), so only one chunk's patches live
// at a time. The sum runs over images and positions in any order: an image
// of many positions is one product (its patches made alone), a chunk of small
// images is first laid out as one (K, b*L) matrix.
// With layer.groups = g > 1: only the g diagonal blocks (D, D), D = K / g, of
// X X^T, as a stack (g, D, D) (the rows of X are channel-major, so block j
// holds the patches of channels [j*C/g, (j+1)*C/g)), in chunks of at most
// kGroupPatchBudget patch elements.
std::pair<Tensor, int64_t> conv_second_moment_impl(const LayerView& layer, const Tensor& inp,
                                                   int64_t chunk) {
  const int64_t B = inp.size(0);
  const int64_t K = inp.size(1) * layer.kernel_size[0] * layer.kernel_size[1];
  const int64_t groups = layer.groups;
  Tensor h = groups == 1 ? at::zeros({K, K}, inp.options().dtype(at::kDouble))
                         : at::zeros({groups, K / groups, K / groups},
                                     inp.options().dtype(at::kDouble));
  int64_t L = 1;  // patch positions per image
  for (int d = 0; d < 2; ++d) {
    const int64_t n = inp.size(2 + d) + 2 * layer.padding[d] -
                      layer.dilation[d] * (layer.kernel_size[d] - 1) - 1;
    L *= n < 0 ? 0 : n / layer.stride[d] + 1;
  }
  // A 1x1 kernel with unit stride and no padding: the patches are the pixels.
  const bool pointwise = layer.kernel_size == std::array<int64_t, 2>{1, 1} &&
                         layer.stride == std::array<int64_t, 2>{1, 1} &&
                         layer.padding == std::array<int64_t, 2>{0, 0};
  // Images of at least kOwnProduct positions are one product each (their
  // patches made one image at a time); smaller ones are laid out side by side.
  constexpr int64_t kOwnProduct = 512;
  int64_t step = L >= kOwnProduct ? 1 : std::max<int64_t>(1, chunk);
  const int64_t budget = groups == 1 ? kPatchBudget : kGroupPatchBudget;
  if (K * L > 0) step = std::max<int64_t>(1, std::min(step, budget / (K * L)));
  int64_t vectors = 0;
  for (int64_t b0 = 0; b0 < B; b0 += step) {
    const int64_t b = std::min(step, B - b0);
    const Tensor x = inp.narrow(0, b0, b).to(at::kDouble);
    const Tensor P = pointwise ? x.reshape({b, K, L})
                               : at::im2col(x, layer.kernel_size, layer.dilation, layer.padding,
                                            layer.stride);  // (b, K, L)
    TORCH_INTERNAL_ASSERT(P.size(2) == L);
    if (groups == 1)
      add_gram_upper_impl(h, b == 1 ? P.select(0, 0) : P.permute({1, 0, 2}).reshape({K, b * L}));
    else
      add_group_grams_impl(h, P);
    vectors += b * L;
  }
  // Exactly symmetric: the upper triangle mirrored, as for one matrix.
  return {groups == 1 ? symmetric_from_upper(h) : symmetric_stack_from_upper(h), vectors};
}

// Whether x holds a NaN. A sum is NaN only when x holds a NaN or infinities
// (also partial sums overflowing) of both signs, so only then are the
// elements looked at one by one; otherwise one read of x, no mask written.
bool has_nan(const Tensor& x) {
  if (!x.is_floating_point() || x.numel() == 0) return false;
  if (!std::isnan(x.sum().item<double>())) return false;
  return at::isnan(x).any().item<bool>();
}

// A grouped convolution on the CPU whose groups see at most kSmallGroupPatch
// values per patch (group_gram.h).
bool small_groups(const LayerView& layer, const Tensor& inp) {
  return layer.kind == LayerKind::Conv2d && layer.groups > 1 && inp.is_cpu() && inp.dim() == 4 &&
         inp.size(1) % layer.groups == 0 &&
         inp.size(1) / layer.groups * layer.kernel_size[0] * layer.kernel_size[1] <= kSmallGroupPatch;
}

}  // namespace

at::Tensor weight_matrix(const LayerView& layer, const at::Tensor& weight) {
  switch (layer.kind) {
    case LayerKind::Conv2d:
      return weight.flatten(1);
    case LayerKind::Conv1D:
      if (weight.dim() == 2) return weight.t();
      break;
    case LayerKind::Linear:
      return weight;
    default:
      break;
  }
  throw NotSupported("not support yet");
}

void add_batch(HessianState& st, const LayerView& layer, const at::Tensor& inp,
               const std::optional<at::Tensor>& mask_in, int64_t chunk) {
  // A grouped layer of few values per patch is scanned for NaN by its kernel.
  const bool small = small_groups(layer, inp);
  if (!small && has_nan(inp)) {
    host::print({"catch a NAN!!!!!!"});
    return;
  }
  std::optional<Tensor> mask;
  if (mask_in) mask = mask_in->to(inp.scalar_type());

  Tensor h;
  double tmp = 0;
  switch (layer.kind) {
    case LayerKind::Linear:
    case LayerKind::Conv1D: {
      TORCH_CHECK(inp.dim() >= 1, "add_batch: the input needs a feature axis, got shape ",
                  inp.sizes());
      Tensor X = inp.reshape({-1, inp.size(-1)});
      if (mask) X = X * mask->reshape({-1, 1});
      X = X.to(at::kDouble);
      h = at::zeros({X.size(1), X.size(1)}, X.options());
      add_gram_upper_impl(h, X.t());
      h = symmetric_from_upper(h);
      tmp = static_cast<double>(X.size(0));
      break;
    }
    case LayerKind::Conv2d: {
      if (small) {
        // Few values per group and patch: products straight from the images.
        const int64_t K = inp.size(1) * layer.kernel_size[0] * layer.kernel_size[1];
        h = at::empty({layer.groups, K / layer.groups, K / layer.groups},
                      inp.options().dtype(at::kDouble));
        const auto vectors = small_group_grams_cpu(
            h, inp,
            ConvGeometry{layer.kernel_size, layer.stride, layer.padding, layer.dilation, layer.groups});
        if (!vectors) {
          host::print({"catch a NAN!!!!!!"});
          return;
        }
        tmp = static_cast<double>(*vectors);
        break;
      }
      TORCH_CHECK(inp.dim() == 4, "add_batch: a convolution input must be (B, C, Hin, Win), got ",
                  inp.sizes());
      TORCH_CHECK(layer.groups >= 1 && inp.size(1) % layer.groups == 0,
                  "add_batch: a convolution of ", layer.groups,
                  " groups needs input channels divisible by it, got ", inp.size(1));
      int64_t vectors = 0;
      std::tie(h, vectors) = conv_second_moment_impl(layer, inp, chunk);
      tmp = static_cast<double>(vectors);
      break;
    }
    default:
      throw NotSupported("not support yet");
  }
  if (mask) tmp = mask->sum(at::kDouble).item<double>();

  if (st.H.defined() && st.H.dim() == 2 && h.dim() == 2)
    TORCH_CHECK(st.H.sizes() == h.sizes(), "add_batch: the batch has ", h.size(0),
                " features per vector, the statistics so far have ", st.H.size(0));
  if (st.H.defined())
    TORCH_CHECK(st.H.sizes() == h.sizes(), "add_batch: the batch's statistics have shape ",
                h.sizes(), ", those so far ", st.H.sizes());
  // An empty batch (or a mask summing to 0) adds nothing; as a first batch it
  // would divide by zero, so H and nsamples are left as they are.
  if (tmp == 0) return;
  if (!st.H.defined())
    st.H = h / tmp;
  else
    st.H = (st.H * st.nsamples + h) / (st.nsamples + tmp);
  st.nsamples += tmp;
}

}  // namespace gdq
