#include "kernels/residuals.h"

#include <ATen/ATen.h>
#include <ATen/Parallel.h>

#include "kernels/clones.h"
#include "kernels/primitives.h"

namespace gdq {
namespace {

using at::Tensor;

template <typename T>
struct ResidualArgs {
  const T* x;
  const T* x0;
  const T* s;   // (B, rows, G)
  const T* z;   // (B, rows, G)
  const T* so;  // (rows, G) or null
  const T* zo;  // (rows, G) or null
  T lo, hi;
  int64_t rows, cols, G, gs;
  T* R;  // (B * rows, cols)
};

// One group of one row: grid value, dequantization, residual. The operations
// and their order are those of quantize: division, round half up, + zero,
// clamp (NaN passes), then q * so + zo, s * (q - z) or s * q + z.
template <typename T, bool kZeroNoShift, bool kOut>
GDQ_ALWAYS_INLINE void residual_span(const T* __restrict x, const T* __restrict x0, T* __restrict r,
                              int64_t n, T s, T z, T so, T zo, T lo, T hi) {
  for (int64_t j = 0; j < n; ++j) {
    T q = kZeroNoShift ? round_half_up(x[j] / s) + z : round_half_up((x[j] - z) / s);
    q = q < lo ? lo : q;
    q = q > hi ? hi : q;
    const T deq = kOut ? q * so + zo : (kZeroNoShift ? s * (q - z) : s * q + z);
    r[j] = deq - x0[j];
  }
}

template <typename T, bool kZeroNoShift, bool kOut>
GDQ_ALWAYS_INLINE void residual_rows(const ResidualArgs<T>& a, int64_t k0, int64_t k1) {
  for (int64_t k = k0; k < k1; ++k) {  // k = b * rows + i
    const int64_t i = k % a.rows;
    for (int64_t g = 0; g < a.G; ++g) {
      const int64_t j0 = g * a.gs;
      const T so = kOut ? a.so[i * a.G + g] : T(0);
      const T zo = kOut ? a.zo[i * a.G + g] : T(0);
      residual_span<T, kZeroNoShift, kOut>(a.x + i * a.cols + j0, a.x0 + i * a.cols + j0,
                                           a.R + k * a.cols + j0, a.gs, a.s[k * a.G + g],
                                           a.z[k * a.G + g], so, zo, a.lo, a.hi);
    }
  }
}

template <typename T>
GDQ_ALWAYS_INLINE void residual_rows_any(const ResidualArgs<T>& a, bool zero_no_shift, int64_t k0,
                                  int64_t k1) {
  const bool out = a.so != nullptr;
  if (zero_no_shift)
    out ? residual_rows<T, true, true>(a, k0, k1) : residual_rows<T, true, false>(a, k0, k1);
  else
    out ? residual_rows<T, false, true>(a, k0, k1) : residual_rows<T, false, false>(a, k0, k1);
}

GDQ_CLONES void residual_rows_f32(const ResidualArgs<float>& a, bool zns, int64_t k0,
                                  int64_t k1) {
  residual_rows_any(a, zns, k0, k1);
}

GDQ_CLONES void residual_rows_f64(const ResidualArgs<double>& a, bool zns, int64_t k0,
                                  int64_t k1) {
  residual_rows_any(a, zns, k0, k1);
}

void residual_rows_of(const ResidualArgs<float>& a, bool zns, int64_t k0, int64_t k1) {
  residual_rows_f32(a, zns, k0, k1);
}
void residual_rows_of(const ResidualArgs<double>& a, bool zns, int64_t k0, int64_t k1) {
  residual_rows_f64(a, zns, k0, k1);
}

// Eight partial sums, so that the loop vectorises without reassociating a
// single running sum.
template <typename T>
GDQ_ALWAYS_INLINE double dot(const T* __restrict a, const T* __restrict b, int64_t n) {
  double acc[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  int64_t j = 0;
  for (; j + 8 <= n; j += 8)
    for (int l = 0; l < 8; ++l) acc[l] += double(a[j + l]) * double(b[j + l]);
  for (; j < n; ++j) acc[0] += double(a[j]) * double(b[j]);
  return ((acc[0] + acc[1]) + (acc[2] + acc[3])) + ((acc[4] + acc[5]) + (acc[6] + acc[7]));
}

template <typename T>
GDQ_ALWAYS_INLINE void dots(const T* A, int64_t lda, const T* B, int64_t ldb, int64_t n, T* d,
                     int64_t k0, int64_t k1) {
  for (int64_t k = k0; k < k1; ++k) d[k] = static_cast<T>(dot(A + k * lda, B + k * ldb, n));
}

GDQ_CLONES void dots_f32(const float* A, int64_t lda, const float* B, int64_t ldb, int64_t n,
                         float* d, int64_t k0, int64_t k1) {
  dots(A, lda, B, ldb, n, d, k0, k1);
}

GDQ_CLONES void dots_f64(const double* A, int64_t lda, const double* B, int64_t ldb, int64_t n,
                         double* d, int64_t k0, int64_t k1) {
  dots(A, lda, B, ldb, n, d, k0, k1);
}

void dots_of(const float* A, int64_t lda, const float* B, int64_t ldb, int64_t n, float* d,
             int64_t k0, int64_t k1) {
  dots_f32(A, lda, B, ldb, n, d, k0, k1);
}
void dots_of(const double* A, int64_t lda, const double* B, int64_t ldb, int64_t n, double* d,
             int64_t k0, int64_t k1) {
  dots_f64(A, lda, B, ldb, n, d, k0, k1);
}

// Rows per task so that a task handles at least ~64k elements.
int64_t grain(int64_t cols) { return std::max<int64_t>(1, (int64_t(1) << 16) / std::max<int64_t>(cols, 1)); }

}  // namespace

void quantization_residuals_cpu(const Tensor& x, const Tensor& x0, const Tensor& scale_b,
                                const Tensor& zero_b, const std::optional<Tensor>& scale_out,
                                const std::optional<Tensor>& zero_out,
                                const at::Scalar& min_bound, const at::Scalar& max_bound,
                                bool zero_no_shift, Tensor& R) {
  const int64_t B = scale_b.size(0), rows = x.size(0), cols = x.size(1), G = scale_b.size(2);
  TORCH_INTERNAL_ASSERT(x.is_cpu() && x.is_contiguous() && x0.is_contiguous() &&
                        x0.sizes() == x.sizes());
  TORCH_INTERNAL_ASSERT(scale_b.is_contiguous() && zero_b.is_contiguous() &&
                        scale_b.sizes() == zero_b.sizes() && scale_b.size(1) == rows);
  TORCH_INTERNAL_ASSERT(G > 0 && cols % G == 0);
  TORCH_INTERNAL_ASSERT(R.size(0) == B * rows && R.size(1) == cols && R.stride(1) == 1 &&
                        R.stride(0) == cols);
  TORCH_INTERNAL_ASSERT(scale_out.has_value() == zero_out.has_value());
  AT_DISPATCH_FLOATING_TYPES(x.scalar_type(), "quantization_residuals_cpu", [&] {
    ResidualArgs<scalar_t> a;
    a.x = x.data_ptr<scalar_t>();
    a.x0 = x0.data_ptr<scalar_t>();
    a.s = scale_b.data_ptr<scalar_t>();
    a.z = zero_b.data_ptr<scalar_t>();
    a.so = nullptr;
    a.zo = nullptr;
    if (scale_out) {
      TORCH_INTERNAL_ASSERT(scale_out->is_contiguous() && zero_out->is_contiguous() &&
                            scale_out->numel() == rows * G && zero_out->numel() == rows * G);
      a.so = scale_out->data_ptr<scalar_t>();
      a.zo = zero_out->data_ptr<scalar_t>();
    }
    a.lo = min_bound.to<scalar_t>();
    a.hi = max_bound.to<scalar_t>();
    a.rows = rows;
    a.cols = cols;
    a.G = G;
    a.gs = cols / G;
    a.R = R.data_ptr<scalar_t>();
    at::parallel_for(0, B * rows, grain(cols), [&](int64_t k0, int64_t k1) {
      residual_rows_of(a, zero_no_shift, k0, k1);
    });
  });
}

Tensor row_dots_cpu(const Tensor& A, const Tensor& B) {
  TORCH_INTERNAL_ASSERT(A.is_cpu() && A.dim() == 2 && A.sizes() == B.sizes() &&
                        A.scalar_type() == B.scalar_type() && A.stride(1) == 1 &&
                        B.stride(1) == 1);
  const int64_t n = A.size(0), cols = A.size(1);
  Tensor d = at::empty({n}, A.options());
  AT_DISPATCH_FLOATING_TYPES(A.scalar_type(), "row_dots_cpu", [&] {
    const scalar_t* a = A.data_ptr<scalar_t>();
    const scalar_t* b = B.data_ptr<scalar_t>();
    scalar_t* out = d.data_ptr<scalar_t>();
    const int64_t lda = A.stride(0), ldb = B.stride(0);
    at::parallel_for(0, n, grain(cols), [&](int64_t k0, int64_t k1) {
      dots_of(a, lda, b, ldb, cols, out, k0, k1);
    });
  });
  return d;
}

}  // namespace gdq
