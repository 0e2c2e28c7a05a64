#include "kernels/incremental_errors.h"

#include <ATen/ATen.h>
#include <ATen/Parallel.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "kernels/clones.h"
#include "kernels/primitives.h"

namespace gdq {
namespace {

using at::Tensor;

// One change of u: entry j (of group g) moved by d, a whole number.
struct Change {
  int32_t j;
  int16_t d;
  uint16_t g;
};


template <typename T>
struct StackArgs {
  const T* x;
  const T* x0;
  const double* hp;  // h in blocks of kBlock columns: (ld / kBlock, cols, kBlock)
  const T* s;  // (B, rows, G)
  const T* z;  // (B, rows, G)
  T* u;        // (rows, cols)
  double* t;   // (rows, ld), ld = cols rounded up to kBlock (zero beyond cols)
  const double* hx0;
  const double* sref;  // (rows, G)
  double* rho;         // (B, rows): s / s_ref
  double* se;          // (B, rows, G): s + e, e = s - rho s_ref
  uint8_t* direct;     // (B, rows): e too large, the error taken directly
  double slack;        // largest |e_g| / |s_g| of a carried error
  double* err;         // (B, rows), accumulated
  std::vector<Change>* changes;  // per row
  int64_t* ends;                 // (rows, B): end of candidate b's changes in the row's list
  T lo, hi;
  int64_t rows, cols, ld, B, gs, G;
};

// Whether a zero z leaves clamp(.) - z within the offsets' range.
template <typename T>
bool usable_zero(T z, T lo, T hi) {
  return std::isfinite(z) && std::abs(z) + std::max(std::abs(lo), std::abs(hi)) < T(1 << 20);
}

// v[j] = clamp(round(x[j] / s) + z) - z: the operations of quantize in its
// order. Returns whether every v[j] is a number (0 / 0 is not: a zero scale
// on a zero entry).
template <typename T>
GDQ_ALWAYS_INLINE bool grid_offsets(const T* __restrict x, T* __restrict v, int64_t n, T s, T z,
                                    T lo, T hi) {
  int64_t nans = 0;
  for (int64_t j = 0; j < n; ++j) {
    T q = round_half_up(x[j] / s) + z;
    q = q < lo ? lo : q;
    q = q > hi ? hi : q;
    v[j] = q - z;
    nans += v[j] != v[j];
  }
  return nans == 0;
}

// moved[j] = 1 where v[j] != cur[j], else 0. Read eight bytes at a time as a
// word, byte k of which is moved[8 w + k] on a little-endian machine.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "moved entries are read as words");
template <typename T>
GDQ_ALWAYS_INLINE void moved_entries(const T* __restrict v, const T* __restrict cur,
                                     uint8_t* __restrict moved, int64_t n) {
  for (int64_t j = 0; j < n; ++j) moved[j] = v[j] != cur[j];
}

// sum_k (se u_k - x0_k) (rho t_k - hx0_k), a segment's share of r . h r
// (per channel se = rho = s), with eight partial sums.
template <typename T>
GDQ_ALWAYS_INLINE double residual_dot(const T* __restrict x0, const T* __restrict u,
                                      const double* __restrict t, const double* __restrict hx0,
                                      double se, double rho, int64_t n) {
  double acc[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  int64_t k = 0;
  for (; k + 8 <= n; k += 8)
    for (int l = 0; l < 8; ++l) {
      const double r = se * static_cast<double>(u[k + l]) - static_cast<double>(x0[k + l]);
      acc[l] += r * (rho * t[k + l] - hx0[k + l]);
    }
  for (; k < n; ++k)
    acc[0] += (se * static_cast<double>(u[k]) - static_cast<double>(x0[k])) * (rho * t[k] - hx0[k]);
  return ((acc[0] + acc[1]) + (acc[2] + acc[3])) + ((acc[4] + acc[5]) + (acc[6] + acc[7]));
}

// Grid offsets of a row under one candidate's scales and zeros per group
// (s, z (G,)): whether they are usable (every zero usable, no offset NaN).
template <typename T>
GDQ_ALWAYS_INLINE bool row_offsets(const T* __restrict x, T* __restrict v, const T* s, const T* z,
                                   int64_t gs, int64_t G, T lo, T hi) {
  bool ok = true;
  for (int64_t g = 0; g < G && ok; ++g)
    ok = usable_zero(z[g], lo, hi) && grid_offsets(x + g * gs, v + g * gs, gs, s[g], z[g], lo, hi);
  return ok;
}

// rho = s . s_ref / |s_ref|^2 and se = s + e, e = s - rho s_ref, of one row
// and candidate; whether every |e_g| <= slack |s_g|. Per channel
// (s_ref = 1) rho = s and e = 0.
template <typename T>
GDQ_ALWAYS_INLINE bool scale_ratio(const T* s, const double* sref, int64_t G, double slack,
                                   double& rho, double* se) {
  double num = 0, den = 0;
  for (int64_t g = 0; g < G; ++g) {
    num += static_cast<double>(s[g]) * sref[g];
    den += sref[g] * sref[g];
  }
  rho = den > 0 ? num / den : 0.0;
  bool small = true;
  for (int64_t g = 0; g < G; ++g) {
    const double sg = static_cast<double>(s[g]), e = sg - rho * sref[g];
    se[g] = sg + e;
    small = small && std::abs(e) <= slack * std::abs(sg);
  }
  return small;
}

// First pass, rows i0 .. i1: per candidate b the entries where its grid
// offsets differ from the row's previous usable candidate's; ends[i, b]
// where candidate b's list ends; u takes the last usable candidate's
// offsets. A candidate is unusable where a zero is not finite or an offset
// is NaN (as its residual would be): it records nothing and gets err NaN.
// With groups, also rho, s + e and whether e is too large for the carried
// error.
template <typename T, bool Grouped>
GDQ_ALWAYS_INLINE void list_changes(const StackArgs<T>& a, int64_t i0, int64_t i1) {
  const int64_t words = (a.cols + 7) / 8;
  std::vector<T> v(a.cols), cur(a.cols);
  std::vector<uint8_t> moved(words * 8, 0);
  for (int64_t i = i0; i < i1; ++i) {
    std::vector<Change>& ch = a.changes[i];
    ch.clear();
    T* u = a.u + i * a.cols;
    [[maybe_unused]] const double* sref = a.sref + i * a.G;
    std::copy(u, u + a.cols, cur.begin());
    for (int64_t b = 0; b < a.B; ++b) {
      const int64_t bi = b * a.rows + i;
      if (row_offsets(a.x + i * a.cols, v.data(), a.s + bi * a.G, a.z + bi * a.G, a.gs, a.G, a.lo,
                      a.hi)) {
        if constexpr (Grouped)
          a.direct[bi] =
              !scale_ratio(a.s + bi * a.G, sref, a.G, a.slack, a.rho[bi], a.se + bi * a.G);
        moved_entries(v.data(), cur.data(), moved.data(), a.cols);
        for (int64_t w = 0; w < words; ++w) {  // eight entries at a time: most did not move
          uint64_t m;
          std::memcpy(&m, moved.data() + 8 * w, 8);
          for (; m; m &= m - 1) {
            const int64_t j = 8 * w + __builtin_ctzll(m) / 8;
            ch.push_back({static_cast<int32_t>(j), static_cast<int16_t>(v[j] - cur[j]),
                          static_cast<uint16_t>(Grouped ? j / a.gs : 0)});
          }
        }
        cur.swap(v);
      } else {
        a.err[bi] = std::numeric_limits<double>::quiet_NaN();
      }
      a.ends[i * a.B + b] = static_cast<int64_t>(ch.size());
    }
    std::copy(cur.begin(), cur.end(), u);
  }
}

constexpr int64_t kBlock = 64;  // columns of h per block of the second pass
constexpr int kAhead = 3;

// Eight doubles, held in one register where the machine has 512-bit ones.
typedef double Double8 __attribute__((vector_size(64)));

GDQ_ALWAYS_INLINE Double8 load8(const double* p) {
  Double8 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Asks for the n elements at p to be brought into cache.
template <typename T>
GDQ_ALWAYS_INLINE void prefetch(const T* p, int64_t n) {
  const char* c = reinterpret_cast<const char*>(p);
  for (int64_t off = 0; off < n * static_cast<int64_t>(sizeof(T)); off += 64) __builtin_prefetch(c + off);
}

// t[0 .. 64) += sum over the changes [c, end) of d s_ref[g] * hb[j, 0 .. 64)
// (per channel d hb[j, ...]), hb a block of h: the block's sums stay in eight
// registers while h's rows stream in (the row kAhead changes ahead
// prefetched: a row costs a few cycles, a fetch from the second-level cache
// more).
template <bool Grouped>
GDQ_ALWAYS_INLINE void add_changes(double* __restrict t, const double* __restrict hb,
                                   const double* sref, const Change* c, const Change* end) {
  Double8 a[8] = {};
  for (; c < end; ++c) {
    if (c + kAhead < end) {
      const char* next = reinterpret_cast<const char*>(hb + c[kAhead].j * kBlock);
#pragma GCC unroll 8
      for (int off = 0; off < kBlock * static_cast<int>(sizeof(double)); off += 64)
        __builtin_prefetch(next + off);
    }
    const double* hr = hb + c->j * kBlock;
    const double d = Grouped ? c->d * sref[c->g] : c->d;
#pragma GCC unroll 8
    for (int q = 0; q < 8; ++q) a[q] += d * load8(hr + 8 * q);
  }
#pragma GCC unroll 8
  for (int q = 0; q < 8; ++q) {
    Double8 v;
    std::memcpy(&v, t + 8 * q, sizeof v);
    v += a[q];
    std::memcpy(t + 8 * q, &v, sizeof v);
  }
}

// Second pass, rows i0 .. i1, one block of columns [k0, k0 + kBlock) at a
// time (its part of h stays in cache across rows and candidates; a row's
// part of x, x0, h x0 and t is read once for all candidates of the stack):
// the candidates' changes applied to t in order, their grid offsets formed
// again group by group, each candidate's partial error added.
template <typename T, bool Grouped>
GDQ_ALWAYS_INLINE void carry_blocks(const StackArgs<T>& a, int64_t i0, int64_t i1) {
  T v[kBlock];
  for (int64_t k0 = 0; k0 < a.cols; k0 += kBlock) {
    const int64_t w = std::min(kBlock, a.cols - k0);
    const double* hb = a.hp + k0 * a.cols;
    for (int64_t i = i0; i < i1; ++i) {
      double* t = a.t + i * a.ld + k0;
      const T* x = a.x + i * a.cols + k0;
      const T* x0 = a.x0 + i * a.cols + k0;
      const double* hx0 = a.hx0 + i * a.ld + k0;
      const Change* ch = a.changes[i].data();
      if (i + 1 < i1) {  // the next row's pieces of the block, from wherever they are
        prefetch(t + a.ld, w);
        prefetch(hx0 + a.ld, w);
        prefetch(x + a.cols, w);
        prefetch(x0 + a.cols, w);
      }
      int64_t c = 0;
      for (int64_t b = 0; b < a.B; ++b) {
        const int64_t end = a.ends[i * a.B + b], bi = b * a.rows + i;
        double& e = a.err[bi];
        if (std::isnan(e)) continue;  // unusable candidate: no changes listed
        add_changes<Grouped>(t, hb, a.sref + i * a.G, ch + c, ch + end);
        c = end;
        const T* s = a.s + bi * a.G;
        const T* z = a.z + bi * a.G;
        if constexpr (!Grouped) {  // r = s u - x0, h r = s t - h x0
          grid_offsets(x, v, w, s[0], z[0], a.lo, a.hi);
          e += residual_dot(x0, v, t, hx0, static_cast<double>(s[0]), static_cast<double>(s[0]), w);
          continue;
        }
        for (int64_t k = 0; k < w;) {  // segments of one group each
          const int64_t g = (k0 + k) / a.gs, n = std::min(w, (g + 1) * a.gs - k0) - k;
          grid_offsets(x + k, v + k, n, s[g], z[g], a.lo, a.hi);
          e += residual_dot(x0 + k, v + k, t + k, hx0 + k, a.se[bi * a.G + g], a.rho[bi], n);
          k += n;
        }
      }
    }
  }
}

// One clone set per dtype and per layout of the scales (one group per row or
// several).
#define GDQ_STACK_PASS(name, T, grouped)                                              \
  GDQ_CLONES void name##_##T##_##grouped(const StackArgs<T>& a, int64_t i0, int64_t i1) { \
    name<T, grouped>(a, i0, i1);                                                      \
  }
GDQ_STACK_PASS(list_changes, float, false)
GDQ_STACK_PASS(list_changes, float, true)
GDQ_STACK_PASS(list_changes, double, false)
GDQ_STACK_PASS(list_changes, double, true)
GDQ_STACK_PASS(carry_blocks, float, false)
GDQ_STACK_PASS(carry_blocks, float, true)
GDQ_STACK_PASS(carry_blocks, double, false)
GDQ_STACK_PASS(carry_blocks, double, true)
#undef GDQ_STACK_PASS

void list_changes_of(const StackArgs<float>& a, int64_t i0, int64_t i1) {
  a.G > 1 ? list_changes_float_true(a, i0, i1) : list_changes_float_false(a, i0, i1);
}
void list_changes_of(const StackArgs<double>& a, int64_t i0, int64_t i1) {
  a.G > 1 ? list_changes_double_true(a, i0, i1) : list_changes_double_false(a, i0, i1);
}
void carry_blocks_of(const StackArgs<float>& a, int64_t i0, int64_t i1) {
  a.G > 1 ? carry_blocks_float_true(a, i0, i1) : carry_blocks_float_false(a, i0, i1);
}
void carry_blocks_of(const StackArgs<double>& a, int64_t i0, int64_t i1) {
  a.G > 1 ? carry_blocks_double_true(a, i0, i1) : carry_blocks_double_false(a, i0, i1);
}

// r h r^T of one row and candidate from its residual r = s . u - x0 and h
// in blocks, in double: the error of a candidate whose scales are not a
// multiple of s_ref to rounding.
template <typename T>
double direct_error(const StackArgs<T>& a, int64_t b, int64_t i) {
  const int64_t bi = b * a.rows + i;
  std::vector<T> v(a.cols);
  row_offsets(a.x + i * a.cols, v.data(), a.s + bi * a.G, a.z + bi * a.G, a.gs, a.G, a.lo, a.hi);
  std::vector<double> r(a.ld, 0.0);
  for (int64_t k = 0; k < a.cols; ++k)
    r[k] = static_cast<double>(a.s[bi * a.G + k / a.gs]) * static_cast<double>(v[k]) -
           static_cast<double>(a.x0[i * a.cols + k]);
  double err = 0;
  for (int64_t k0 = 0; k0 < a.cols; k0 += kBlock) {  // (h r)[k0 .. k0 + kBlock)
    double hr[kBlock] = {};
    const double* hb = a.hp + k0 * a.cols;
    for (int64_t j = 0; j < a.cols; ++j)
      for (int64_t l = 0; l < kBlock; ++l) hr[l] += r[j] * hb[j * kBlock + l];
    for (int64_t l = 0; l < kBlock; ++l) err += r[k0 + l] * hr[l];
  }
  return err;
}

// Grid offsets of one candidate per row (s, z (rows, G)) into u; rows where
// they are unusable keep theirs.
template <typename T>
void record_offsets(const T* x, const T* s, const T* z, T* u, int64_t rows, int64_t cols,
                    int64_t gs, T lo, T hi) {
  const int64_t G = cols / gs;
  at::parallel_for(0, rows, 1, [&](int64_t i0, int64_t i1) {
    std::vector<T> v(cols);
    for (int64_t i = i0; i < i1; ++i)
      if (row_offsets(x + i * cols, v.data(), s + i * G, z + i * G, gs, G, lo, hi))
        std::copy(v.begin(), v.end(), u + i * cols);
  });
}

}  // namespace

IncrementalErrors::IncrementalErrors(const Tensor& x, const Tensor& x0, const Tensor& h,
                                     double lo, double hi, int64_t groupsize, double slack)
    : x_(x), x0_(x0), h_(h), lo_(lo), hi_(hi), gs_(groupsize == -1 ? x.size(1) : groupsize),
      slack_(slack) {
  TORCH_INTERNAL_ASSERT(x.is_cpu() && x.dim() == 2 && x.is_contiguous() && x0.is_contiguous() &&
                        x0.sizes() == x.sizes() && h.is_contiguous() && h.dim() == 2 &&
                        h.size(0) == x.size(1) && h.size(1) == x.size(1));
  TORCH_INTERNAL_ASSERT(x0.scalar_type() == x.scalar_type() && h.scalar_type() == x.scalar_type());
  TORCH_INTERNAL_ASSERT(hi - lo < 64);
  TORCH_INTERNAL_ASSERT(gs_ > 0 && x.size(1) % gs_ == 0);
  u_ = at::zeros_like(x);
}

bool IncrementalErrors::pays_off(int64_t levels, int64_t cols, int64_t steps) {
  // On average about 1, 2, 4, 8 % of the entries change per step at 2, 3, 4,
  // 5 bits (doubling per bit; more as the factor falls). A change costs a
  // double row of h where a fresh evaluation takes half a float row per
  // entry at a matrix product's speed: at 2, 4, 5 bits 4.1x, 2.7x, 1.8x
  // faster on 384 x 1536 weights, 2.5x, 1.9x, 1.35x on 1536 x 384, 2.4x at 4
  // bits on 8210 x 1024; about even at 6 bits. h is held once more in double
  // (at most 64 MiB).
  return levels <= 32 && steps >= 16 && cols <= 2896;
}

// u and s_ref of the first candidate (s_ref = 1 per channel; a scale that is
// not finite gives 1), then t = h (s_ref . u) and h x0 as products (h
// symmetric: row i of U h is h u_i).
void IncrementalErrors::start(const Tensor& scale, const Tensor& zero) {
  const int64_t rows = x_.size(0), cols = x_.size(1), G = cols / gs_;
  const Tensor s = scale.select(0, 0).reshape({rows, G}).contiguous();
  const Tensor z = zero.select(0, 0).reshape({rows, G}).contiguous();
  AT_DISPATCH_FLOATING_TYPES(x_.scalar_type(), "incremental_errors_start", [&] {
    record_offsets(x_.data_ptr<scalar_t>(), s.data_ptr<scalar_t>(), z.data_ptr<scalar_t>(),
                   u_.data_ptr<scalar_t>(), rows, cols, gs_, static_cast<scalar_t>(lo_),
                   static_cast<scalar_t>(hi_));
  });
  const Tensor s64 = s.to(at::kDouble);
  sref_ = G == 1 ? at::ones_like(s64) : at::where(at::isfinite(s64), s64, at::ones_like(s64));
  const int64_t ld = (cols + kBlock - 1) / kBlock * kBlock;
  const auto f64 = x_.options().dtype(at::kDouble);
  // hp[k][j][l] = h[j][k * kBlock + l], zero beyond cols: a block's rows lie
  // together (rows of h a multiple of 2 KiB apart would share a few cache
  // sets). t and h x0 block by block from it, so h is held in double once.
  hp_ = at::zeros({ld / kBlock, cols, kBlock}, f64);
  t_ = at::empty({rows, ld}, f64);
  hx0_ = at::empty({rows, ld}, f64);
  const Tensor U = G == 1 ? u_.to(at::kDouble)
                          : (u_.to(at::kDouble).view({rows, G, gs_}) * sref_.unsqueeze(2))
                                .view({rows, cols});
  const Tensor X0 = x0_.to(at::kDouble);
  for (int64_t k = 0; k < ld / kBlock; ++k) {
    const int64_t w = std::min(kBlock, cols - k * kBlock);
    hp_[k].narrow(1, 0, w).copy_(h_.narrow(1, k * kBlock, w));
    t_.narrow(1, k * kBlock, kBlock).copy_(at::mm(U, hp_[k]));
    hx0_.narrow(1, k * kBlock, kBlock).copy_(at::mm(X0, hp_[k]));
  }
  started_ = true;
}

Tensor IncrementalErrors::operator()(const Tensor& scale, const Tensor& zero) {
  const int64_t B = scale.size(0), rows = x_.size(0), cols = x_.size(1), G = cols / gs_;
  TORCH_INTERNAL_ASSERT(scale.scalar_type() == x_.scalar_type() && scale.numel() == B * rows * G &&
                        zero.sizes() == scale.sizes() && zero.scalar_type() == scale.scalar_type());
  if (!started_) start(scale, zero);
  const Tensor s = scale.reshape({B, rows, G}).contiguous();
  const Tensor z = zero.reshape({B, rows, G}).contiguous();
  const auto f64 = x_.options().dtype(at::kDouble);
  Tensor err = at::zeros({B, rows}, f64);
  Tensor rho = at::empty({B, rows}, f64), se = at::empty({B, rows, G}, f64);
  Tensor direct = at::zeros({B, rows}, x_.options().dtype(at::kByte));
  std::vector<std::vector<Change>> changes(rows);
  std::vector<int64_t> ends(rows * B);
  AT_DISPATCH_FLOATING_TYPES(x_.scalar_type(), "incremental_errors", [&] {
    StackArgs<scalar_t> a;
    a.x = x_.data_ptr<scalar_t>();
    a.x0 = x0_.data_ptr<scalar_t>();
    a.hp = hp_.data_ptr<double>();
    a.s = s.data_ptr<scalar_t>();
    a.z = z.data_ptr<scalar_t>();
    a.u = u_.data_ptr<scalar_t>();
    a.t = t_.data_ptr<double>();
    a.hx0 = hx0_.data_ptr<double>();
    a.sref = sref_.data_ptr<double>();
    a.rho = rho.data_ptr<double>();
    a.se = se.data_ptr<double>();
    a.direct = direct.data_ptr<uint8_t>();
    a.slack = slack_;
    a.err = err.data_ptr<double>();
    a.changes = changes.data();
    a.ends = ends.data();
    a.lo = static_cast<scalar_t>(lo_);
    a.hi = static_cast<scalar_t>(hi_);
    a.rows = rows;
    a.cols = cols;
    a.ld = t_.size(1);
    a.B = B;
    a.gs = gs_;
    a.G = G;
    at::parallel_for(0, rows, 1, [&](int64_t i0, int64_t i1) { list_changes_of(a, i0, i1); });
    at::parallel_for(0, rows, 1, [&](int64_t i0, int64_t i1) { carry_blocks_of(a, i0, i1); });
    std::vector<int64_t> todo;  // (row, candidate) pairs whose scales left s_ref's direction
    const uint8_t* d = a.direct;
    for (int64_t bi = 0; bi < B * rows; ++bi)
      if (d[bi] && !std::isnan(a.err[bi])) todo.push_back(bi);
    at::parallel_for(0, static_cast<int64_t>(todo.size()), 1, [&](int64_t k0, int64_t k1) {
      for (int64_t k = k0; k < k1; ++k)
        a.err[todo[k]] = direct_error(a, todo[k] / rows, todo[k] % rows);
    });
  });
  return err;
}

}  // namespace gdq
