#include "kernels/group_gram.h"

#include <ATen/ATen.h>
#include <ATen/Parallel.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "kernels/clones.h"

// v8d values pass between always-inlined helpers only, never across a call
// whose ABI the instruction set would change.
#pragma GCC diagnostic ignored "-Wpsabi"

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
          const T* row = plane + y * J.Win;
          std::fill(dst, dst + lo, 0.0);
          if (J.sw == 1)
            for (int64_t ow = lo; ow < hi; ++ow) dst[ow] = static_cast<double>(row[ow + off]);
          else
            for (int64_t ow = lo; ow < hi; ++ow) dst[ow] = static_cast<double>(row[ow * J.sw + off]);
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
//
// kPin keeps the 2 kTile loaded vectors in registers (an empty asm that
// claims to change them): GCC would otherwise fold every use into a
// multiply's memory operand, 2 kTile^2 loads per step instead of 2 kTile,
// and the loads are what bounds this loop. Only where one register holds
// a v8d (AVX-512).
template <bool kPin>
GDQ_ALWAYS_INLINE v8d load_lanes(const double* p) {
  v8d v;
  std::memcpy(&v, p, sizeof(v8d));
  if constexpr (kPin) __asm__("" : "+v"(v));
  return v;
}

template <bool kPin>
GDQ_ALWAYS_INLINE void add_pair_tiles(v8d* __restrict acc, const double* __restrict P, int64_t Dp,
                                      int64_t M, int64_t m8) {
  static_assert(kTile == 3, "the tile below is 3 x 3");
  for (int64_t p0 = 0; p0 < Dp; p0 += kTile)
    for (int64_t q0 = p0; q0 < Dp; q0 += kTile) {
      const double *u = P + p0 * M, *w = P + q0 * M;
      v8d a00{}, a01{}, a02{}, a10{}, a11{}, a12{}, a20{}, a21{}, a22{};
      for (int64_t k = 0; k < m8; k += kLanes) {
        const v8d u0 = load_lanes<kPin>(u + k), u1 = load_lanes<kPin>(u + M + k),
                  u2 = load_lanes<kPin>(u + 2 * M + k);
        const v8d w0 = load_lanes<kPin>(w + k), w1 = load_lanes<kPin>(w + M + k),
                  w2 = load_lanes<kPin>(w + 2 * M + k);
        a00 += u0 * w0, a01 += u0 * w1, a02 += u0 * w2;
        a10 += u1 * w0, a11 += u1 * w1, a12 += u1 * w2;
        a20 += u2 * w0, a21 += u2 * w1, a22 += u2 * w2;
      }
      v8d* r = acc + p0 * Dp + q0;
      r[0] += a00, r[1] += a01, r[2] += a02;
      r[Dp] += a10, r[Dp + 1] += a11, r[Dp + 2] += a12;
      r[2 * Dp] += a20, r[2 * Dp + 1] += a21, r[2 * Dp + 2] += a22;
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
template <typename T, bool kPin>
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
        add_pair_tiles<kPin>(acc, P.data(), Dp, M, m8);
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

// One body per instruction set, chosen at run time (as GDQ_CLONES would, but
// the AVX-512 one pins its loads).
template <typename T>
__attribute__((target("avx512f"))) bool group_grams_avx512(const GramJob<T>& J, int64_t j0, int64_t j1) {
  return group_grams<T, true>(J, j0, j1);
}
template <typename T>
__attribute__((target("avx2"))) bool group_grams_avx2(const GramJob<T>& J, int64_t j0, int64_t j1) {
  return group_grams<T, false>(J, j0, j1);
}
template <typename T>
bool group_grams_default(const GramJob<T>& J, int64_t j0, int64_t j1) {
  return group_grams<T, false>(J, j0, j1);
}

template <typename T>
bool group_grams_of(const GramJob<T>& J, int64_t j0, int64_t j1) {
  static const int isa = __builtin_cpu_supports("avx512f") ? 2 : __builtin_cpu_supports("avx2") ? 1 : 0;
  return isa == 2 ? group_grams_avx512(J, j0, j1)
                  : isa == 1 ? group_grams_avx2(J, j0, j1) : group_grams_default(J, j0, j1);
}

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
