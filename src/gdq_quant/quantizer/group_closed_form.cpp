#include <ATen/ATen.h>

#include <algorithm>
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
// max(C*D, 2^22)), never the (C, G, D) tensors A, I, A H.
struct Blocks {
  Tensor P11, P12;  // (C, G, G)
};

Blocks row_blocks(const Tensor& x_int, const Tensor& H, int64_t G, int64_t gs, bool with_p12) {
  const int64_t C = x_int.size(0), D = x_int.size(1);
  const Tensor xg = x_int.reshape({C, G, gs}).permute({1, 0, 2});  // (G, C, gs)
  const Tensor Hr = H.reshape({G, gs, D});                          // row blocks of H
  Blocks b;
  Tensor p11_t = at::empty({G, C, G}, x_int.options());  // [g1, c, g2]
  Tensor p12_t = with_p12 ? at::empty({G, C, G}, x_int.options()) : Tensor();
  const int64_t k = std::clamp<int64_t>((int64_t(1) << 22) / std::max<int64_t>(C * D, 1), 1, G);
  for (int64_t g0 = 0; g0 < G; g0 += k) {
    const int64_t n = std::min(k, G - g0);
    Tensor U = at::matmul(xg.narrow(0, g0, n), Hr.narrow(0, g0, n));  // (n, C, D)
    if (with_p12) p12_t.narrow(0, g0, n).copy_(U.reshape({n, C, G, gs}).sum(-1));
    U.mul_(x_int);
    p11_t.narrow(0, g0, n).copy_(U.reshape({n, C, G, gs}).sum(-1));
  }
  b.P11 = p11_t.permute({1, 0, 2});
  if (with_p12) b.P12 = p12_t.permute({1, 0, 2});
  return b;
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

// P[c] s[c] = y[c] for every row: the LU factorisation and solve that
// linalg_solve makes, except that a singular matrix in the batch throws before
// the solve runs on its factor (where the math library would print complaints
// about the factor's pivots).
Tensor batched_solve(const Tensor& P, const Tensor& y) {
  threads::IntraOpThreadCap one_thread(1);
  auto [LU, pivots, info] = at::linalg_lu_factor_ex(P);
  TORCH_CHECK(!info.ne(0).any().item<bool>(), "get_scale_and_zero_out_group: a singular system");
  const bool vector = y.dim() == P.dim() - 1;
  const Tensor s = at::linalg_lu_solve(LU, pivots, vector ? y.unsqueeze(-1) : y);
  return vector ? s.squeeze(-1) : s;
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
  Tensor P, y;
  if (cfg.sym) {
    P = row_blocks(x_int, H, G, gs, /*with_p12=*/false).P11.to(x_int.scalar_type());
    y = rhs(x0, x_int, H, G, gs).first;
  } else {
    const int64_t C = x_int.size(0);
    Blocks b = row_blocks(x_int, H, G, gs, /*with_p12=*/true);
    // P22[g1, g2] = I[g1] H I[g2]^T: block sums of H, the same for every row.
    Tensor P22 = H.reshape({G, gs, G, gs}).sum(1).sum(-1).expand({C, G, G});
    P = at::cat({at::cat({b.P11, b.P12}, -1), at::cat({b.P12.transpose(-2, -1), P22}, -1)}, 1)
            .to(x_int.scalar_type());
    auto [up, down] = rhs(x0, x_int, H, G, gs);
    y = at::cat({up, down}, 1);
  }
  P = (P + P.transpose(-2, -1)) / 2.0;
  if (double_precision) {
    P = P.to(at::kDouble);
    y = y.to(at::kDouble);
  }
  return {P, y};
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
