#include "kernels/group_gram.h"

#include <ATen/ATen.h>
#include <ATen/Parallel.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "kernels/clones.h"

namespace gdq {
namespace {

using at::Tensor;

// Eight float64 lanes (one AVX-512 register, two AVX2 ones). Aligned as a
// double, so that buffers of them need no over-aligned allocation (loads and
// stores are unaligned ones).
typedef double v8d __attribute__((vector_size(64), aligned(8)));
constexpr int64_t kLanes = 8;

// Patch positions per block: a block's D rows of float64 patch values stay
// in the core's cache.
constexpr int64_t kBlockPositions = 256;

template <typename T>
struct GramJob {
  const T* x;          // (b, C, Hin, Win), contiguous
  double* h;           // (groups, D, D)
  int64_t b, C, Hin, Win, cg, D;
  int64_t kh, kw, sh, sw, ph, pw, dh, dw;
  int64_t Ho, Wo;
};

// P[a, (oh - oh0) * Wo + ow] = the value patch entry a = (c, ky, kx) of group
// j reads at output position (oh, ow) of image bi, 0 in the padding, for the
// output rows [oh0, oh0 + nr); P has M columns.
template <typename T>
GDQ_ALWAYS_INLINE void fill_patches(const GramJob<T>& J, int64_t j, int64_t bi, int64_t oh0,
                                    int64_t nr, double* P, int64_t M) {
  int64_t a = 0;
  for (int64_t c = 0; c < J.cg; ++c) {
    const T* plane = J.x + ((bi * J.C) + j * J.cg + c) * J.Hin * J.Win;
    for (int64_t ky = 0; ky < J.kh; ++ky)
      for (int64_t kx = 0; kx < J.kw; ++kx, ++a) {
        // input column of output column ow: ow * sw + kx * dw - pw, inside for ow in [lo, hi)
        const int64_t off = kx * J.dw - J.pw;
        const int64_t lo = std::min(J.Wo, off >= 0 ? 0 : (-off + J.sw - 1) / J.sw);
        const int64_t hi = std::max(lo, std::min(J.Wo, off >= J.Win ? 0 : (J.Win - off + J.sw - 1) / J.sw));
        for (int64_t r = 0; r < nr; ++r) {
          double* dst = P + a * M + r * J.Wo;
          const int64_t y = (oh0 + r) * J.sh + ky * J.dh - J.ph;
          if (y < 0 || y >= J.Hin) {
            std::fill(dst, dst + J.Wo, 0.0);
            continue;
          }
          const T* in = plane + y * J.Win + off;
          std::fill(dst, dst + lo, 0.0);
          if (J.sw == 1)
            for (int64_t ow = lo; ow < hi; ++ow) dst[ow] = static_cast<double>(in[ow]);
          else
            for (int64_t ow = lo; ow < hi; ++ow) dst[ow] = static_cast<double>(in[ow * J.sw]);
          std::fill(dst + hi, dst + J.Wo, 0.0);
        }
      }
  }
}

// Pair tiles: kTile x kTile products per step, from kTile + kTile vector
// loads, with the running sums in registers.
constexpr int64_t kTile = 3;

// acc[p * Dp + q] += P[p] * P[q] lane by lane over the columns [0, m8) of P
// (rows of M columns; Dp rows, a multiple of kTile, rows from D on zero),
// for every tile of pairs (p0 .. p0 + kTile) x (q0 .. q0 + kTile) with
// p0 <= q0: all pairs p <= q and some others.
GDQ_ALWAYS_INLINE void add_pair_tiles(v8d* __restrict acc, const double* __restrict P, int64_t Dp,
                                      int64_t M, int64_t m8) {
  for (int64_t p0 = 0; p0 < Dp; p0 += kTile)
    for (int64_t q0 = p0; q0 < Dp; q0 += kTile) {
      v8d a[kTile][kTile] = {};
      for (int64_t k = 0; k < m8; k += kLanes) {
        v8d u[kTile], w[kTile];
#pragma GCC unroll 4
        for (int64_t i = 0; i < kTile; ++i) {
          std::memcpy(&u[i], P + (p0 + i) * M + k, sizeof(v8d));
          std::memcpy(&w[i], P + (q0 + i) * M + k, sizeof(v8d));
        }
#pragma GCC unroll 4
        for (int64_t i = 0; i < kTile; ++i)
#pragma GCC unroll 4
          for (int64_t j = 0; j < kTile; ++j) a[i][j] += u[i] * w[j];
      }
      for (int64_t i = 0; i < kTile; ++i)
        for (int64_t j = 0; j < kTile; ++j) acc[(p0 + i) * Dp + q0 + j] += a[i][j];
    }
}

// Whether the n values at x hold a NaN (a NaN is the one value unequal to itself).
template <typename T>
GDQ_ALWAYS_INLINE bool any_nan(const T* __restrict x, int64_t n) {
  int nan = 0;
  for (int64_t k = 0; k < n; ++k) nan |= x[k] != x[k];
  return nan != 0;
}

// Groups [j0, j1): h[j] = X_j X_j^T, block of output rows by block: the
// block's patch values are laid out (fill_patches), every pair accumulates
// lane by lane (add_pairs), and the lanes are summed at the end. Returns
// whether a plane of these groups holds a NaN (h is then not complete).
template <typename T>
GDQ_ALWAYS_INLINE bool group_grams(const GramJob<T>& J, int64_t j0, int64_t j1) {
  const int64_t D = J.D, Dp = (D + kTile - 1) / kTile * kTile;
  const int64_t rows_per_block = std::max<int64_t>(1, kBlockPositions / J.Wo);
  const int64_t M = (rows_per_block * J.Wo + kLanes - 1) / kLanes * kLanes;
  std::vector<double> P(Dp * M, 0.0);      // rows from D on stay zero
  std::vector<double> acc_store(Dp * Dp * kLanes);
  v8d* acc = reinterpret_cast<v8d*>(acc_store.data());
  for (int64_t j = j0; j < j1; ++j) {
    std::fill(acc_store.begin(), acc_store.end(), 0.0);
    for (int64_t bi = 0; bi < J.b; ++bi) {
      // the group's planes, read here once (and then from cache by the blocks)
      if (any_nan(J.x + (bi * J.C + j * J.cg) * J.Hin * J.Win, J.cg * J.Hin * J.Win)) return true;
      for (int64_t oh0 = 0; oh0 < J.Ho; oh0 += rows_per_block) {
        const int64_t nr = std::min(rows_per_block, J.Ho - oh0), m = nr * J.Wo;
        fill_patches(J, j, bi, oh0, nr, P.data(), M);
        const int64_t m8 = (m + kLanes - 1) / kLanes * kLanes;
        for (int64_t a = 0; a < D; ++a) std::fill(P.data() + a * M + m, P.data() + a * M + m8, 0.0);
        add_pair_tiles(acc, P.data(), Dp, M, m8);
      }
    }
    double* hj = J.h + j * D * D;
    for (int64_t p = 0; p < D; ++p)
      for (int64_t q = p; q < D; ++q) {
        const v8d& u = acc[p * Dp + q];
        hj[p * D + q] = hj[q * D + p] = ((u[0] + u[1]) + (u[2] + u[3])) + ((u[4] + u[5]) + (u[6] + u[7]));
      }
  }
  return false;
}

GDQ_CLONES bool group_grams_f32(const GramJob<float>& J, int64_t j0, int64_t j1) {
  return group_grams(J, j0, j1);
}
GDQ_CLONES bool group_grams_f64(const GramJob<double>& J, int64_t j0, int64_t j1) {
  return group_grams(J, j0, j1);
}
bool group_grams_of(const GramJob<float>& J, int64_t j0, int64_t j1) { return group_grams_f32(J, j0, j1); }
bool group_grams_of(const GramJob<double>& J, int64_t j0, int64_t j1) { return group_grams_f64(J, j0, j1); }

}  // namespace

std::optional<int64_t> small_group_grams_cpu(Tensor& h, const Tensor& x_in, const ConvGeometry& geo) {
  const Tensor x = (x_in.scalar_type() == at::kFloat || x_in.scalar_type() == at::kDouble)
                       ? x_in.contiguous()
                       : x_in.to(at::kDouble).contiguous();
  const int64_t g = geo.groups, C = x.size(1);
  TORCH_INTERNAL_ASSERT(x.is_cpu() && x.dim() == 4 && g >= 1 && C % g == 0);
  const int64_t D = C / g * geo.kernel[0] * geo.kernel[1];
  TORCH_INTERNAL_ASSERT(h.is_cpu() && h.is_contiguous() && h.scalar_type() == at::kDouble &&
                        h.dim() == 3 && h.size(0) == g && h.size(1) == D && h.size(2) == D);
  const int64_t nh = x.size(2) + 2 * geo.padding[0] - geo.dilation[0] * (geo.kernel[0] - 1) - 1;
  const int64_t nw = x.size(3) + 2 * geo.padding[1] - geo.dilation[1] * (geo.kernel[1] - 1) - 1;
  const int64_t Ho = nh < 0 ? 0 : nh / geo.stride[0] + 1, Wo = nw < 0 ? 0 : nw / geo.stride[1] + 1;
  if (x.size(0) == 0 || Ho == 0 || Wo == 0) {
    if (at::isnan(x).any().item<bool>()) return std::nullopt;
    h.zero_();
    return 0;
  }
  std::atomic<bool> nan{false};
  AT_DISPATCH_FLOATING_TYPES(x.scalar_type(), "small_group_grams_cpu", [&] {
    GramJob<scalar_t> J{x.data_ptr<scalar_t>(), h.data_ptr<double>(), x.size(0), C, x.size(2),
                        x.size(3), C / g, D, geo.kernel[0], geo.kernel[1], geo.stride[0],
                        geo.stride[1], geo.padding[0], geo.padding[1], geo.dilation[0],
                        geo.dilation[1], Ho, Wo};
    at::parallel_for(0, g, 1, [&](int64_t j0, int64_t j1) {
      if (group_grams_of(J, j0, j1)) nan = true;
    });
  });
  if (nan) return std::nullopt;
  return x.size(0) * Ho * Wo;
}

}  // namespace gdq
