#include "kernels/gptq.h"

#include <ATen/ATen.h>
#include <ATen/Dispatch.h>
#include <ATen/Parallel.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "common/errors.h"
#include "common/host.h"
#include "common/timing.h"
#include "kernels/clones.h"
#include "kernels/primitives.h"

namespace gdq {
namespace {

using at::Tensor;

constexpr double kLadder[] = {0.01, 0.1, 1.0, 10.0, 100.0};

// M^-1 written into out, for a lower-triangular M (n x n) with a non-zero
// diagonal, by halving: [[A, 0], [C, D]]^-1 = [[A^-1, 0], [-D^-1 C A^-1, D^-1]].
// About n^3 / 3 multiply-adds, in large products; blocks of at most 192 rows
// by triangular solves. out (uninitialised on entry, zeros above the
// diagonal on return) may be a block of a larger matrix.
void lower_inverse_impl(const Tensor& M, Tensor out) {
  const int64_t n = M.size(0);
  if (n <= 192) {
    out.copy_(at::linalg_solve_triangular(M, at::eye(n, M.options()), /*upper=*/false));
    return;
  }
  const int64_t n1 = n / 2, n2 = n - n1;
  lower_inverse_impl(M.narrow(0, 0, n1).narrow(1, 0, n1), out.narrow(0, 0, n1).narrow(1, 0, n1));
  lower_inverse_impl(M.narrow(0, n1, n2).narrow(1, n1, n2),
                     out.narrow(0, n1, n2).narrow(1, n1, n2));
  out.narrow(0, 0, n1).narrow(1, n1, n2).zero_();
  const Tensor Ai = out.narrow(0, 0, n1).narrow(1, 0, n1);
  const Tensor Di = out.narrow(0, n1, n2).narrow(1, n1, n2);
  const Tensor C = M.narrow(0, n1, n2).narrow(1, 0, n1);
  Tensor X = out.narrow(0, n1, n2).narrow(1, 0, n1);
  at::mm_out(X, Di, at::mm(C, Ai)).neg_();
}

// The upper factor U of H^-1 (U^T U = H^-1) for a symmetric positive definite
// H, given in reversed index order, Hr = J H J (J the reversal). With
// Hr = M M^T (M lower), H^-1 = (J M^-1 J)^T (J M^-1 J), and J M^-1 J is upper
// triangular with a positive diagonal: the Cholesky factor of H^-1, which is
// unique. One factorisation and one triangular inverse (about 2 n^3 / 3
// multiply-adds) instead of factorising H, inverting it and factorising the
// inverse. Throws what the factorisation throws when H is not positive
// definite.
Tensor inverse_factor_impl(const Tensor& Hr) {
  const Tensor M = at::linalg_cholesky(Hr);
  Tensor Minv = at::empty_like(M);
  lower_inverse_impl(M, Minv);
  return Minv.flip({0, 1});
}

// Prints what the ladder met on the way and settles its outcome: the lines of
// the failed levels, then an error when no level produced a factor (for a
// stack: for some matrix, the first such one named), or the debugging shell
// when the factor holds NaN.
void announce_impl(const GptqFactor& f, const Tensor& H00) {
  for (double t : f.failed) host::print({"海森矩阵为非正定矩阵 " + host::text(t)});
  if (!f.U.defined() && H00.dim() == 3) {
    const Tensor Hk = H00.select(0, f.missing);
    throw FatalError(
        "round_gptq: the Hessian H00[" + host::text(f.missing) + "] of row block " +
        host::text(f.missing) + " is not positive definite: its Cholesky factorisation "
        "failed at every damping level (0.01 to 100 times the mean of its diagonal, " +
        host::text(Hk.diagonal().mean().item<double>()) + ")");
  }
  if (!f.U.defined()) {
    throw FatalError(
        "round_gptq: the Hessian H00 is not positive definite: its Cholesky factorisation "
        "failed at every damping level (0.01 to 100 times the mean of its diagonal, " +
        host::text(H00.diagonal().mean().item<double>()) + ")");
  }
  if (f.nan) host::debug_shell("nan appears!");
}

// safe_div's guarded denominator sign(y) * max(|y|, 1e-15), sign(0) = +1;
// NaN stays NaN.
template <typename T>
GDQ_ALWAYS_INLINE T guarded(T y) {
  const T m = std::max(std::abs(y), T(1e-15));
  return y < T(0) ? -m : m;
}

// One block of bs columns of the CPU loop, rows at stride ld: row r of the
// block starts at W + r * ld (likewise Q, N); element (r, j) of the
// dequantization pair is so[r * so_r + j * so_c] (strides 0 where expanded);
// Hb is the factor's (bs x bs) diagonal block.
template <typename T>
struct BlockArgs {
  T* W;          // updated in place by the feedback
  const T* so;   // scale_out
  const T* zo;   // zero_out
  int64_t so_r, so_c, zo_r, zo_c;
  const T* Hb;
  T* Q;          // rounded values
  T* N;          // W before each column was rounded
  T* E;          // (rows, bs) scaled errors, the feedback to the columns after the block
  T lo, hi;
  int64_t bs, ld;
};

// Rounds the block's columns for the kR rows r .. r + kR - 1. Rows are
// independent; within a row the columns go strictly in order, and each
// rounded column updates the rest of the row's block (contiguous,
// vectorised). The kR rows advance together, so that their rounding chains
// (division, rounding, division) overlap. Same arithmetic as the
// tensor-operation path, element by element.
template <typename T, int kR>
GDQ_ALWAYS_INLINE void round_row_group(const BlockArgs<T>& a, int64_t r) {
  const int64_t bs = a.bs, ld = a.ld;
  for (int64_t j = 0; j < bs; ++j) {
    const T* __restrict hj = a.Hb + j * bs;
    T e[kR];
    for (int i = 0; i < kR; ++i) {
      const int64_t row = r + i;
      const T v = a.W[row * ld + j];
      const T s = a.so[row * a.so_r + j * a.so_c], z = a.zo[row * a.zo_r + j * a.zo_c];
      a.N[row * ld + j] = v;
      T g = round_half_up((v - z) / guarded(s));
      g = g < a.lo ? a.lo : g;
      g = g > a.hi ? a.hi : g;
      const T q = z + g * s;
      a.Q[row * ld + j] = q;
      e[i] = (v - q) / hj[j];
      a.E[row * bs + j] = e[i];
    }
    // Column j itself becomes v - e * h_jj = q.
    for (int i = 0; i < kR; ++i) {
      T* __restrict w = a.W + (r + i) * ld;
      const T ei = e[i];
      for (int64_t k = j; k < bs; ++k) w[k] -= ei * hj[k];
    }
  }
}

template <typename T>
GDQ_ALWAYS_INLINE void round_block_rows(const BlockArgs<T>& a, int64_t r0, int64_t r1) {
  constexpr int kR = 8;
  int64_t r = r0;
  for (; r + kR <= r1; r += kR) round_row_group<T, kR>(a, r);
  for (; r < r1; ++r) round_row_group<T, 1>(a, r);
}

GDQ_CLONES void round_block_rows_f32(const BlockArgs<float>& a, int64_t r0, int64_t r1) {
  round_block_rows(a, r0, r1);
}
GDQ_CLONES void round_block_rows_f64(const BlockArgs<double>& a, int64_t r0, int64_t r1) {
  round_block_rows(a, r0, r1);
}
void round_block_rows_of(const BlockArgs<float>& a, int64_t r0, int64_t r1) {
  round_block_rows_f32(a, r0, r1);
}
void round_block_rows_of(const BlockArgs<double>& a, int64_t r0, int64_t r1) {
  round_block_rows_f64(a, r0, r1);
}

// The column loop on the CPU, in W's own row-major layout (no transposes):
// inside a block, rows in parallel; after it, the columns after the block
// receive its feedback at once, W[:, i2:] -= Err Hinv[i1:i2, i2:].
template <typename scalar_t>
void round_columns_cpu_impl(Tensor& W, const Tensor& scale_out, const Tensor& zero_out,
                            double min_bound, double max_bound, const Tensor& Hinv, int64_t bs,
                            Tensor& Q, Tensor& newW) {
  const int64_t rows = W.size(0), cols = W.size(1);
  // Row-major working copies only where the caller's tensors are not.
  Tensor Wc = W.is_contiguous() ? W : W.contiguous();
  Tensor Qc = Q.is_contiguous() ? Q : at::empty({rows, cols}, W.options());
  Tensor Nc = newW.is_contiguous() ? newW : at::empty({rows, cols}, W.options());
  Tensor E = at::empty({rows, bs}, W.options());
  // Rows per task: about 2^13 block elements.
  const int64_t grain = std::max<int64_t>(1, (int64_t(1) << 13) / std::max<int64_t>(bs, 1));
  for (int64_t i1 = 0; i1 < cols; i1 += bs) {
    const int64_t i2 = std::min(i1 + bs, cols);
    const int64_t n = i2 - i1;
    const Tensor Hb = Hinv.narrow(0, i1, n).narrow(1, i1, n).contiguous();
    BlockArgs<scalar_t> a;
    a.W = Wc.data_ptr<scalar_t>() + i1;
    a.so = scale_out.data_ptr<scalar_t>() + i1 * scale_out.stride(1);
    a.zo = zero_out.data_ptr<scalar_t>() + i1 * zero_out.stride(1);
    a.so_r = scale_out.stride(0);
    a.so_c = scale_out.stride(1);
    a.zo_r = zero_out.stride(0);
    a.zo_c = zero_out.stride(1);
    a.Hb = Hb.data_ptr<scalar_t>();
    a.Q = Qc.data_ptr<scalar_t>() + i1;
    a.N = Nc.data_ptr<scalar_t>() + i1;
    a.E = E.data_ptr<scalar_t>();
    a.lo = static_cast<scalar_t>(min_bound);
    a.hi = static_cast<scalar_t>(max_bound);
    a.bs = n;
    a.ld = cols;
    at::parallel_for(0, rows, grain, [&](int64_t r0, int64_t r1) { round_block_rows_of(a, r0, r1); });
    if (i2 < cols) {
      const Tensor Err = E.view({rows * bs}).narrow(0, 0, rows * n).view({rows, n});
      Wc.narrow(1, i2, cols - i2).addmm_(Err, Hinv.narrow(0, i1, n).narrow(1, i2, cols - i2), 1, -1);
    }
  }
  if (!Wc.is_same(W)) W.copy_(Wc);
  if (!Qc.is_same(Q)) Q.copy_(Qc);
  if (!Nc.is_same(newW)) newW.copy_(Nc);
}

// The column loop as tensor operations, one column at a time, for every
// device. Columns [i1, i2) form a block: inside it every rounded column
// updates the rest of the block by a rank-one product; the columns after the
// block receive all of the block's feedback at once,
// W[:, i2:] -= Err (rows x bs) * Hinv[i1:i2, i2:]. This equals updating every
// later column after each rounding, since the feedback is linear in the errors.
void round_columns_tensor_impl(Tensor& W, const Tensor& scale_out, const Tensor& zero_out,
                               const Tensor& denom, const at::Scalar& min_bound,
                               const at::Scalar& max_bound, const Tensor& Hinv, int64_t bs,
                               Tensor& Q, Tensor& newW) {
  const int64_t rows = W.size(0), cols = W.size(1);
  for (int64_t i1 = 0; i1 < cols; i1 += bs) {
    const int64_t i2 = std::min(i1 + bs, cols);
    const int64_t n = i2 - i1;
    Tensor Err = at::empty({rows, n}, W.options());
    for (int64_t i = i1; i < i2; ++i) {
      Tensor w = W.select(1, i);
      newW.select(1, i).copy_(w);
      Tensor r = my_round((w - zero_out.select(1, i)) / denom.select(1, i));
      r.clamp_(min_bound, max_bound);
      Tensor q = at::addcmul(zero_out.select(1, i), r, scale_out.select(1, i));
      Q.select(1, i).copy_(q);
      Tensor err1 = (w - q).div_(Hinv.select(0, i).select(0, i));
      // Column i itself becomes w - err1 * Hinv[i, i] = q.
      W.narrow(1, i, i2 - i).addr_(err1, Hinv.select(0, i).narrow(0, i, i2 - i), 1, -1);
      Err.select(1, i - i1).copy_(err1);
    }
    if (i2 < cols)
      W.narrow(1, i2, cols - i2).addmm_(Err, Hinv.narrow(0, i1, n).narrow(1, i2, cols - i2), 1, -1);
  }
}

// Rounds the columns of W in order, in blocks of `blocksize` (all columns in
// one block for blocksize <= 1).
void round_columns_impl(Tensor& W, const Tensor& scale_out, const Tensor& zero_out,
                        const at::Scalar& min_bound, const at::Scalar& max_bound,
                        const Tensor& Hinv, int64_t blocksize, Tensor& Q, Tensor& newW) {
  const int64_t bs = blocksize <= 1 ? W.size(1) : blocksize;
  const bool cpu_loop = W.device().is_cpu() &&
                        (W.scalar_type() == at::kFloat || W.scalar_type() == at::kDouble) &&
                        !host::fault("gptq_tensor_ops");
  if (!cpu_loop) {
    // safe_div's guarded denominator, sign(y) * max(|y|, 1e-15) with sign(0) = +1.
    Tensor sign = at::sign(scale_out);
    sign = at::where(sign == 0, at::ones_like(sign), sign);
    const Tensor denom = at::clamp_min(scale_out.abs(), 1e-15) * sign;
    return round_columns_tensor_impl(W, scale_out, zero_out, denom, min_bound, max_bound, Hinv,
                                     bs, Q, newW);
  }
  AT_DISPATCH_FLOATING_TYPES(W.scalar_type(), "round_gptq", [&] {
    round_columns_cpu_impl<scalar_t>(W, scale_out, zero_out, min_bound.toDouble(),
                                     max_bound.toDouble(), Hinv, bs, Q, newW);
  });
}

// The tensor-operation column loop of round_columns_tensor_impl on G row
// blocks at once: W3, scale_out, zero_out, denom, Q, newW (G, r, cols), block
// k with the inverse factor Hinv[k] (Hinv (G, cols, cols)). Inside a column
// block each rounded column updates the rest of the block (element-wise
// products, as the CPU row loop rounds them); the columns after it receive
// the block's feedback by one batched product.
void round_columns_stacked_impl(Tensor W3, const Tensor& scale_out, const Tensor& zero_out,
                                const Tensor& denom, const at::Scalar& min_bound,
                                const at::Scalar& max_bound, const Tensor& Hinv, int64_t bs,
                                Tensor Q3, Tensor newW3) {
  const int64_t G = W3.size(0), r = W3.size(1), cols = W3.size(2);
  for (int64_t i1 = 0; i1 < cols; i1 += bs) {
    const int64_t i2 = std::min(i1 + bs, cols);
    const int64_t n = i2 - i1;
    Tensor Err = at::empty({G, r, n}, W3.options());
    for (int64_t i = i1; i < i2; ++i) {
      Tensor w = W3.select(2, i);  // (G, r)
      newW3.select(2, i).copy_(w);
      Tensor g = my_round((w - zero_out.select(2, i)) / denom.select(2, i));
      g.clamp_(min_bound, max_bound);
      Tensor q = at::addcmul(zero_out.select(2, i), g, scale_out.select(2, i));
      Q3.select(2, i).copy_(q);
      const Tensor hrow = Hinv.select(1, i).narrow(1, i, i2 - i);  // (G, i2 - i): Hinv[k, i, i:i2]
      Tensor err1 = (w - q).div_(hrow.select(1, 0).unsqueeze(1));
      // Column i itself becomes w - err1 * Hinv[k, i, i] = q.
      W3.narrow(2, i, i2 - i).sub_(err1.unsqueeze(2) * hrow.unsqueeze(1));
      Err.select(2, i - i1).copy_(err1);
    }
    if (i2 < cols)
      W3.narrow(2, i2, cols - i2).baddbmm_(Err, Hinv.narrow(1, i1, n).narrow(2, i2, cols - i2),
                                          1, -1);
  }
}

// Rounds the columns of W (rows, cols), row block k of G with Hinv[k]: the
// CPU row loop block by block (each block's rows are contiguous in the
// row-major W, so they are updated in place), else one stacked pass.
void round_columns_grouped_impl(Tensor& W, const Tensor& scale_out, const Tensor& zero_out,
                                const at::Scalar& min_bound, const at::Scalar& max_bound,
                                const Tensor& Hinv, int64_t blocksize, Tensor& Q, Tensor& newW) {
  TORCH_INTERNAL_ASSERT(W.is_contiguous() && Q.is_contiguous() && newW.is_contiguous());
  const int64_t G = Hinv.size(0), rows = W.size(0), cols = W.size(1), r = rows / G;
  const int64_t bs = blocksize <= 1 ? cols : blocksize;
  const bool cpu_loop = W.device().is_cpu() &&
                        (W.scalar_type() == at::kFloat || W.scalar_type() == at::kDouble) &&
                        !host::fault("gptq_tensor_ops");
  if (cpu_loop) {
    AT_DISPATCH_FLOATING_TYPES(W.scalar_type(), "round_gptq", [&] {
      for (int64_t k = 0; k < G; ++k) {
        Tensor Wk = W.narrow(0, k * r, r), Qk = Q.narrow(0, k * r, r);
        Tensor Nk = newW.narrow(0, k * r, r);
        round_columns_cpu_impl<scalar_t>(Wk, scale_out.narrow(0, k * r, r),
                                         zero_out.narrow(0, k * r, r), min_bound.toDouble(),
                                         max_bound.toDouble(), Hinv.select(0, k), bs, Qk, Nk);
      }
    });
    return;
  }
  Tensor sign = at::sign(scale_out);
  sign = at::where(sign == 0, at::ones_like(sign), sign);
  const Tensor denom = at::clamp_min(scale_out.abs(), 1e-15) * sign;
  auto blocks = [&](const Tensor& t) { return t.reshape({G, r, cols}); };
  round_columns_stacked_impl(W.view({G, r, cols}), blocks(scale_out), blocks(zero_out),
                             blocks(denom), min_bound, max_bound, Hinv, bs, Q.view({G, r, cols}),
                             newW.view({G, r, cols}));
}

// --- the damping ladder -----------------------------------------------------

// Matrices of a stack up to this order are factorised in batched calls.
constexpr int64_t kBatchedFactorMax = 192;

// The ladder of one (cols, cols) H00.
GptqFactor factor_of_one(const Tensor& H00) {
  GptqFactor f;
  const Tensor mean_diag = H00.diagonal().mean().to(at::kDouble);
  // H00 in float64 and reversed order; the damping adds to the diagonal,
  // which the reversal maps onto itself.
  const Tensor Hr00 = H00.flip({0, 1}).to(at::kDouble);
  for (double t : kLadder) {
    try {
      Tensor Hr = Hr00.clone();
      Hr.diagonal().add_(mean_diag * t);
      if (host::fault("cholesky")) throw std::runtime_error("injected factorisation failure");
      f.U = inverse_factor_impl(Hr);
      if (host::fault("nan_factor")) f.U = at::full_like(f.U, NAN);
      f.nan = f.U.isnan().any().item<bool>();
      if (!f.nan) return f;
    } catch (...) {
      // Every failure of a level, whatever its kind, moves on to the next one.
      f.failed.push_back(t);
    }
  }
  return f;
}

// The ladders of a stack, one matrix after the other.
GptqFactor factor_of_each(const Tensor& H00) {
  GptqFactor f;
  std::vector<Tensor> Us;
  for (int64_t k = 0; k < H00.size(0); ++k) {
    GptqFactor fk = factor_of_one(H00.select(0, k));
    f.failed.insert(f.failed.end(), fk.failed.begin(), fk.failed.end());
    f.nan = f.nan || fk.nan;
    if (!fk.U.defined() && f.missing < 0) f.missing = k;
    Us.push_back(fk.U);
  }
  if (f.missing < 0) f.U = at::stack(Us);
  return f;
}

// Where a matrix of a stack stands on the ladder.
enum class Rung : char { none, nan, done };

// The ladders of a stack in lockstep: at each level the matrices without a
// NaN-free factor are damped and factorised in one batched call (the upper
// factor as in inverse_factor_impl: U = J M^-1 J for the reversed, damped
// matrix = M M^T), and each keeps the factor it got or moves on.
GptqFactor factor_of_stack(const Tensor& H00) {
  const int64_t G = H00.size(0), n = H00.size(1);
  const Tensor mean_diag = H00.diagonal(0, -2, -1).mean(-1).to(at::kDouble);  // (G,)
  const Tensor Hr00 = H00.flip({-2, -1}).to(at::kDouble);
  Tensor U = at::empty_like(Hr00);
  std::vector<Rung> rung(G, Rung::none);
  std::vector<std::vector<double>> failed(G);
  const auto index_opts = Hr00.options().dtype(at::kLong);
  for (double t : kLadder) {
    std::vector<int64_t> pending;
    for (int64_t k = 0; k < G; ++k)
      if (rung[k] != Rung::done) pending.push_back(k);
    if (pending.empty()) break;
    std::vector<int64_t> made;  // matrices of `pending` factorised at this level
    try {
      const Tensor idx = at::tensor(pending, index_opts);
      Tensor Hr = Hr00.index_select(0, idx);
      Hr.diagonal(0, -2, -1).add_((mean_diag.index_select(0, idx) * t).unsqueeze(-1));
      if (host::fault("cholesky")) throw std::runtime_error("injected factorisation failure");
      auto [M, info] = at::linalg_cholesky_ex(Hr);
      const Tensor ok = (info == 0).cpu().contiguous();
      for (int64_t p = 0; p < static_cast<int64_t>(pending.size()); ++p)
        if (ok.data_ptr<bool>()[p]) made.push_back(p);
      if (!made.empty()) {
        const Tensor sel = at::tensor(made, index_opts);
        const Tensor Mm = M.index_select(0, sel);
        Tensor Um = at::linalg_solve_triangular(Mm, at::eye(n, Mm.options()), /*upper=*/false)
                        .flip({-2, -1});
        if (host::fault("nan_factor")) Um = at::full_like(Um, NAN);
        const Tensor nan = Um.isnan().flatten(1).any(1).cpu().contiguous();
        U.index_copy_(0, idx.index_select(0, sel), Um);
        for (int64_t j = 0; j < static_cast<int64_t>(made.size()); ++j)
          rung[pending[made[j]]] = nan.data_ptr<bool>()[j] ? Rung::nan : Rung::done;
      }
    } catch (...) {
      made.clear();  // every failure of a level, whatever its kind, fails it for all
    }
    for (int64_t p = 0, j = 0; p < static_cast<int64_t>(pending.size()); ++p) {
      if (j < static_cast<int64_t>(made.size()) && made[j] == p)
        ++j;
      else
        failed[pending[p]].push_back(t);
    }
  }
  GptqFactor f;
  for (int64_t k = 0; k < G; ++k) {
    f.failed.insert(f.failed.end(), failed[k].begin(), failed[k].end());
    f.nan = f.nan || rung[k] == Rung::nan;
    if (rung[k] == Rung::none && f.missing < 0) f.missing = k;
  }
  if (f.missing < 0) f.U = U;
  return f;
}

}  // namespace

GptqFactor gptq_factor(const at::Tensor& H00) {
  if (H00.dim() == 2) return factor_of_one(H00);
  TORCH_CHECK(H00.dim() == 3 && H00.size(1) == H00.size(2),
              "gptq_factor: H00 must be (cols, cols) or (G, cols, cols), got ", H00.sizes());
  return H00.size(1) <= kBatchedFactorMax ? factor_of_stack(H00) : factor_of_each(H00);
}

namespace {

// The argument checks of round_gptq; a stack H00 (G, cols, cols) is accepted
// where `stacks` (G dividing the rows).
void check_rounding_args(const Tensor& W, const Tensor& scale_out, const Tensor& zero_out,
                         const Tensor& H00, bool stacks) {
  TORCH_CHECK(W.dim() == 2 && W.is_floating_point(),
              "round_gptq: W must be a 2-D float tensor, got shape ", W.sizes(), " and dtype ",
              W.scalar_type());
  TORCH_CHECK(scale_out.sizes() == W.sizes() && zero_out.sizes() == W.sizes(),
              "round_gptq: scale_out and zero_out must have the shape of W ", W.sizes(), ", got ",
              scale_out.sizes(), " and ", zero_out.sizes());
  if (stacks && H00.dim() == 3) {
    TORCH_CHECK(H00.size(0) > 0 && W.size(0) % H00.size(0) == 0 && H00.size(1) == W.size(1) &&
                    H00.size(2) == W.size(1),
                "round_gptq: a stack H00 must be (G, ", W.size(1), ", ", W.size(1),
                ") with G dividing the ", W.size(0), " rows, got ", H00.sizes());
  } else {
    TORCH_CHECK(H00.dim() == 2 && H00.size(0) == W.size(1) && H00.size(1) == W.size(1),
                "round_gptq: H00 must be (", W.size(1), ", ", W.size(1), "), got ", H00.sizes());
  }
  TORCH_CHECK(H00.device() == W.device() && scale_out.device() == W.device() &&
                  zero_out.device() == W.device(),
              "round_gptq: W, scale_out, zero_out and H00 must be on one device, got ",
              W.device(), ", ", scale_out.device(), ", ", zero_out.device(), " and ", H00.device());
}

}  // namespace

GptqResult round_gptq(at::Tensor& W, const at::Tensor& scale_out, const at::Tensor& zero_out,
                      const at::Scalar& min_bound, const at::Scalar& max_bound,
                      const at::Tensor& H00, int64_t blocksize, const GptqFactor* factor) {
  check_rounding_args(W, scale_out, zero_out, H00, /*stacks=*/false);
  return round_gptq_grouped(W, scale_out, zero_out, min_bound, max_bound, H00, blocksize, factor);
}

GptqResult round_gptq_grouped(at::Tensor& W, const at::Tensor& scale_out,
                              const at::Tensor& zero_out, const at::Scalar& min_bound,
                              const at::Scalar& max_bound, const at::Tensor& H00,
                              int64_t blocksize, const GptqFactor* factor) {
  check_rounding_args(W, scale_out, zero_out, H00, /*stacks=*/true);
  const bool stack = H00.dim() == 3;
  // The stacked loops work on row-major copies where W is not row-major.
  Tensor Wc = stack ? W.contiguous() : W;
  // Every column of both is written by the column loop.
  Tensor newW = at::empty_like(Wc);
  Tensor Q = at::empty_like(Wc);
  GptqFactor fresh;
  if (!factor) {
    timing::Section ts("gptq_factor", W.device());
    fresh = gptq_factor(H00);
    factor = &fresh;
  }
  announce_impl(*factor, H00);
  timing::Section ts("gptq_columns", W.device());
  const Tensor Hinv = factor->U.to(W.scalar_type());
  if (!stack) {
    round_columns_impl(W, scale_out.to(W.scalar_type()), zero_out.to(W.scalar_type()), min_bound,
                       max_bound, Hinv, blocksize, Q, newW);
    return {Q, newW};
  }
  round_columns_grouped_impl(Wc, scale_out.to(W.scalar_type()), zero_out.to(W.scalar_type()),
                             min_bound, max_bound, Hinv, blocksize, Q, newW);
  if (!Wc.is_same(W)) W.copy_(Wc);
  return {Q, newW};
}

}  // namespace gdq
