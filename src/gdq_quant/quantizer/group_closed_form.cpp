#include <ATen/ATen.h>
#include <ATen/Parallel.h>

#include <algorithm>
#include <exception>
#include <thread>
#include <vector>

#include "common/errors.h"
#include "common/host.h"
#include "common/threads.h"
#include "quantizer/quantizer.h"

namespace gdq {
namespace {

// Blocks of the normal equations, formed group by group.
//
// With A[c, g] the row x_int[c] restricted to the columns of group g and I[g]
// the indicator of those columns:
//   P11[c, g1, g2] = A[c, g1] H A[c, g2]^T = sum_{j in g2} U[c, g1, j] x_int[c, j]
//   P12[c, g1, g2] = A[c, g1] H I[g2]^T    = sum_{j in g2} U[c, g1, j]
// where U[c, g1, :] = x_int[c, g1-block] H[g1-block, :] is a (C x gs)(gs x D)
// product. Over all g1 these products cost one (C x D)(D x D) product, and
// only a chunk of g1 values is held at a time (k*C*D elements, k*C*D at most
// max(C*D, 2^20): the chunk's sums then read it from the second-level
// cache), never the (C, G, D) tensors A, I, A H. Chunks of g1 leave every
// product as it is; chunks of rows would not (the math library's kernel
// depends on the row count).
struct Blocks {
  Tensor p11, p12;  // (G, C, G), [g1, c, g2]
};

Blocks row_blocks(const Tensor& x_int, const Tensor& H, int64_t G, int64_t gs, bool with_p12) {
  const int64_t C = x_int.size(0), D = x_int.size(1);
  const Tensor xg = x_int.reshape({C, G, gs}).permute({1, 0, 2});  // (G, C, gs)
  const Tensor Hr = H.reshape({G, gs, D});                          // row blocks of H
  Blocks b;
  b.p11 = at::empty({G, C, G}, x_int.options());
  if (with_p12) b.p12 = at::empty({G, C, G}, x_int.options());
  const int64_t k = std::clamp<int64_t>((int64_t(1) << 20) / std::max<int64_t>(C * D, 1), 1, G);
  for (int64_t g0 = 0; g0 < G; g0 += k) {
    const int64_t n = std::min(k, G - g0);
    Tensor U = at::matmul(xg.narrow(0, g0, n), Hr.narrow(0, g0, n));  // (n, C, D)
    if (with_p12) {
      Tensor dst = b.p12.narrow(0, g0, n);
      at::sum_out(dst, U.view({n, C, G, gs}), -1);
    }
    U.mul_(x_int);
    Tensor dst = b.p11.narrow(0, g0, n);
    at::sum_out(dst, U.view({n, C, G, gs}), -1);
  }
  return b;
}

// The row systems (C, n, n), n = G with p12 null (scales alone), else 2G:
// P[c] = [[P11, P12], [P12^T, P22]] from P11, P12 held [g1, c, g2] and P22
// (G, G) the same for every row, symmetrised as (P + P^T) / 2 in T and stored
// as O: element for element what the tensor expressions give (the same sums
// and halvings in T, an exact widening), in one pass.
template <typename T, typename O>
void assemble_systems(const T* p11, const T* p12, const T* p22, O* P, int64_t C, int64_t G) {
  const int64_t n = p12 ? 2 * G : G;
  auto a = [&](int64_t c, int64_t i, int64_t j) -> T {
    if (i < G && j < G) return p11[(i * C + c) * G + j];
    if (i < G) return p12[(i * C + c) * G + (j - G)];
    if (j < G) return p12[(j * C + c) * G + (i - G)];
    return p22[(i - G) * G + (j - G)];
  };
  at::parallel_for(0, C, 1, [&](int64_t c0, int64_t c1) {
    for (int64_t c = c0; c < c1; ++c) {
      O* Pc = P + c * n * n;
      for (int64_t i = 0; i < n; ++i)
        for (int64_t j = i; j < n; ++j)  // a + b == b + a: the lower half mirrors
          Pc[i * n + j] = Pc[j * n + i] = static_cast<O>((a(c, i, j) + a(c, j, i)) / T(2));
    }
  });
}

template <typename T>
Tensor systems_of(const Blocks& b, const Tensor& P22, int64_t C, int64_t G, at::ScalarType out) {
  const int64_t n = b.p12.defined() ? 2 * G : G;
  Tensor P = at::empty({C, n, n}, b.p11.options().dtype(out));
  const T* p12 = b.p12.defined() ? b.p12.data_ptr<T>() : nullptr;
  const T* p22 = P22.defined() ? P22.data_ptr<T>() : nullptr;
  if (out == at::kDouble)
    assemble_systems(b.p11.data_ptr<T>(), p12, p22, P.data_ptr<double>(), C, G);
  else
    assemble_systems(b.p11.data_ptr<T>(), p12, p22, P.data_ptr<T>(), C, G);
  return P;
}

// Right-hand side pieces: left = (x0 H) as (C, G, gs);
// up[c, g] = sum_i left[c, g, i] x_int[c, g*gs + i], down[c, g] = sum_i left[c, g, i].
std::pair<Tensor, Tensor> rhs(const Tensor& x0, const Tensor& x_int, const Tensor& H, int64_t G,
                              int64_t gs) {
  const int64_t C = x_int.size(0);
  Tensor left = at::matmul(x0, H).reshape({C, G, gs});
  Tensor up = (left * x_int.reshape({C, G, gs})).sum(-1);
  Tensor down = left.sum(-1);
  return {up, down};
}

// P[c] s[c] = y[c] for the rows of one part, on the calling thread: the LU
// factorisation and solve that linalg_solve makes, except that a singular
// matrix throws before the solve runs on its factor (where the math library
// would print complaints about the factor's pivots).
Tensor lu_solve_rows(const Tensor& P, const Tensor& y) {
  auto [LU, pivots, info] = at::linalg_lu_factor_ex(P);
  TORCH_CHECK(!info.ne(0).any().item<bool>(), "get_scale_and_zero_out_group: a singular system");
  const bool vector = y.dim() == P.dim() - 1;
  const Tensor s = at::linalg_lu_solve(LU, pivots, vector ? y.unsqueeze(-1) : y);
  return vector ? s.squeeze(-1) : s;
}

// Rows per thread below which one thread solves them all.
constexpr int64_t kRowsPerThread = 64;

// P[c] s[c] = y[c] for every row. Every system is factored by the math
// library on one thread (with more, its batched LU nests its own threads in
// the batch loop and spins); on the CPU the rows are split in contiguous
// parts over the available CPUs, each part on its own thread held to one
// thread, so that every system gets the factor it gets alone.
Tensor batched_solve(const Tensor& P, const Tensor& y) {
  threads::IntraOpThreadCap one_thread(1);
  const int64_t rows = P.size(0);
  const int64_t parts = P.is_cpu() ? std::clamp<int64_t>(rows / kRowsPerThread, 1,
                                                         threads::available_cpus())
                                   : 1;
  if (parts == 1) return lu_solve_rows(P, y);
  const int64_t per = (rows + parts - 1) / parts;
  std::vector<Tensor> out(parts);
  std::vector<std::exception_ptr> failed(parts);
  auto run = [&](int64_t k) {
    try {
      const int64_t r0 = k * per, m = std::min(per, rows - r0);
      out[k] = lu_solve_rows(P.narrow(0, r0, m), y.narrow(0, r0, m));
    } catch (...) {
      failed[k] = std::current_exception();
    }
  };
  std::vector<std::thread> helpers;
  for (int64_t k = 1; k < parts; ++k)
    helpers.emplace_back([&, k] {
      threads::IntraOpThreadCap alone(1);  // this thread's own count (OpenMP, math library)
      run(k);
    });
  run(0);
  for (std::thread& t : helpers) t.join();
  for (const std::exception_ptr& e : failed)
    if (e) std::rethrow_exception(e);
  return at::cat(out, 0);
}

// Solves P[c] s[c] = y[c] for every row in one batched call (with
// `retry_only`, straight to the retry). If that fails for any reason (a
// singular matrix in the batch, say), every row's diagonal is raised by
// 0.01 * its mean (+ extra) and the solve is repeated once; a second failure
// propagates.
Tensor solve_damped(Tensor P, const Tensor& y, double extra, bool retry_only = false) {
  if (!retry_only) {
    try {
      return batched_solve(P, y);
    } catch (const std::exception&) {
    }
  }
  Tensor damp = P.diagonal(0, -2, -1).mean(1, /*keepdim=*/true) * 0.01;
  if (extra != 0.0) damp = damp + extra;
  P.diagonal(0, -2, -1).add_(damp);
  threads::IntraOpThreadCap one_thread(1);
  return at::linalg_solve(P, y);
}

// Elements of the row systems (n x n each) formed and solved at a time.
constexpr int64_t kSystemBudget = int64_t(1) << 23;

// The normal equations (P symmetrised, y) of the rows x0 / x_int, per row:
// G x G for the scales alone (sym), else 2G x 2G for scales and zeros; in
// float64 with double_precision.
std::pair<Tensor, Tensor> system_of(const QuantizerConfig& cfg, const Tensor& H, const Tensor& x0,
                                    const Tensor& x_int, int64_t G, int64_t gs,
                                    bool double_precision) {
  const int64_t C = x_int.size(0);
  const at::ScalarType T = x_int.scalar_type();
  Blocks b = row_blocks(x_int, H, G, gs, /*with_p12=*/!cfg.sym);
  // P22[g1, g2] = I[g1] H I[g2]^T: block sums of H, the same for every row.
  const Tensor P22 = cfg.sym ? Tensor() : H.reshape({G, gs, G, gs}).sum(1).sum(-1).contiguous();
  Tensor y;
  if (cfg.sym) {
    y = rhs(x0, x_int, H, G, gs).first;
  } else {
    auto [up, down] = rhs(x0, x_int, H, G, gs);
    y = at::cat({up, down}, 1);
  }
  if (double_precision) y = y.to(at::kDouble);
  const at::ScalarType out = double_precision ? at::kDouble : T;
  // The seam "group_systems_tensor_ops" takes the tensor expressions (used off the CPU).
  if (x_int.is_cpu() && (T == at::kFloat || T == at::kDouble) && H.scalar_type() == T &&
      !host::fault("group_systems_tensor_ops")) {
    Tensor P = T == at::kFloat ? systems_of<float>(b, P22, C, G, out)
                               : systems_of<double>(b, P22, C, G, out);
    return {P, y};
  }
  const Tensor P11 = b.p11.permute({1, 0, 2});
  Tensor P;
  if (cfg.sym) {
    P = P11.to(T);
  } else {
    const Tensor P12 = b.p12.permute({1, 0, 2});
    P = at::cat({at::cat({P11, P12}, -1), at::cat({P12.transpose(-2, -1), P22.expand({C, G, G})}, -1)},
                1)
            .to(T);
  }
  P = (P + P.transpose(-2, -1)) / 2.0;
  return {P.to(out), y};
}

}  // namespace

OutParams get_scale_and_zero_out_group(const QuantizerConfig& cfg, const OptTensor& x,
                                       const OptTensor& scale, const OptTensor& zero,
                                       const OptTensor& H_in, int64_t groupsize,
                                       const OptTensor& x0_in, const OptTensor& x_int_in,
                                       bool double_precision) {
  TORCH_CHECK(x0_in.has_value() || x.has_value(),
              "get_scale_and_zero_out_group: needs x or x0 (the reference weights), got neither");
  TORCH_CHECK(H_in.has_value(), "get_scale_and_zero_out_group: H is required");
  const Tensor x0 = x0_in ? *x0_in : *x;
  const Tensor& H = *H_in;
  if (groupsize == -1 || groupsize == x0.size(1)) {
    return get_scale_and_zero_out(cfg, x, scale, zero, H, x0, x_int_in);
  }
  TORCH_CHECK(groupsize > 0, "get_scale_and_zero_out_group: groupsize must be -1 or positive, got ",
              groupsize);
  TORCH_CHECK(H.dim() == 2,
              "get_scale_and_zero_out_group: group-wise scales need one (D, D) H for all rows, "
              "got H of shape ", H.sizes(), " with groupsize ", groupsize);
  const Tensor x_int = given_or_fake_int(cfg, x, scale, zero, x_int_in, groupsize,
                                         "get_scale_and_zero_out_group");
  // The symmetric grid has no zero-point; checked before any group maths.
  if (cfg.sym && zero && !(*zero == 0).all().item<bool>()) {
    host::print({host::text(*zero)});
    throw AssertionNone();
  }
  const int64_t C = x_int.size(0), D = x_int.size(1), G = D / groupsize;
  // Fails with the tensor library's shape error when groupsize does not divide D.
  (void)x_int.reshape({C, G, groupsize});

  // Rows are independent systems; they are formed and solved in row blocks of
  // at most kSystemBudget elements of (n x n) systems, so that memory does not
  // grow with C * G^2. A singular system anywhere damps every row (the retry
  // of solve_damped), so the blocks are solved undamped first and all again,
  // damped, when one of them failed.
  const int64_t n = cfg.sym ? G : 2 * G;
  const int64_t rb = std::clamp<int64_t>(kSystemBudget / std::max<int64_t>(n * n, 1), 1, C);
  auto solve_rows = [&](bool damped) {
    std::vector<Tensor> parts;
    for (int64_t r0 = 0; r0 < C; r0 += rb) {
      const int64_t m = std::min(rb, C - r0);
      auto [P, y] = system_of(cfg, H, x0.narrow(0, r0, m), x_int.narrow(0, r0, m), G, groupsize,
                              double_precision);
      parts.push_back(damped ? solve_damped(P, y, cfg.sym ? 1e-5 : 0.0, /*retry_only=*/true)
                             : batched_solve(P, y));
    }
    return parts.size() == 1 ? parts[0] : at::cat(parts, 0);
  };
  host::empty_cache();
  Tensor sol;
  try {
    sol = solve_rows(false);
  } catch (const std::exception&) {
    sol = solve_rows(true);
  }
  sol = sol.to(at::kFloat);
  OutParams out;
  if (cfg.sym) {
    out.scale_out = sol;
    out.zero_out = at::zeros_like(out.scale_out);
    auto so = repeat_interleave(x_int.sizes(), groupsize, out.scale_out, std::nullopt).first;
    out.err = cal_quant_error(x0, x_int * *so, H);
    return out;
  }
  out.scale_out = sol.narrow(1, 0, G).contiguous();
  out.zero_out = sol.narrow(1, G, G).contiguous();
  if (cfg.zero_no_shift) out.zero_out = my_round(out.zero_out / out.scale_out) * out.scale_out;
  auto [so, zo] = repeat_interleave(x_int.sizes(), groupsize, out.scale_out, out.zero_out);
  out.err = cal_quant_error(x0, x_int * *so + *zo, H);
  return out;
}

}  // namespace gdq
