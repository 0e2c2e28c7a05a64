// The layer solver: startquant as its named steps (prepare, first estimate,
// first rounding pass, alternation, finish) over one working state.
#include "solver/decoupleq.h"

#include <ATen/ATen.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "common/errors.h"
#include "common/host.h"
#include "common/timing.h"
#include "kernels/opt_intw.h"
#include "kernels/primitives.h"

namespace gdq {
namespace {

using at::Tensor;

// The host's text of a shape, torch.Size([a, b]).
std::string shape_text(const Tensor& t) {
  std::ostringstream os;
  os << "torch.Size([";
  for (int64_t i = 0; i < t.dim(); ++i) os << (i ? ", " : "") << t.size(i);
  os << "])";
  return os.str();
}

double mean_of(const Tensor& t) { return t.mean().item<double>(); }

// Rows of `cur` replaced by those of `cand` where `take` (rows,) is true.
void accept(const Tensor& take, const Tensor& cand, Tensor& cur) {
  Tensor m = take;
  while (m.dim() < cur.dim()) m = m.unsqueeze(-1);
  cur = at::where(m, cand, cur);
}

// Share of rows that took a candidate.
double rate_of(const Tensor& take) {
  return static_cast<double>(take.sum().item<int64_t>()) / static_cast<double>(take.numel());
}

// The working state of one startquant call, shared by its steps.
struct Solve {
  const LayerView& layer;
  QuantizerConfig& cfg;
  const StartQuantArgs& args;
  c10::Device dev;
  Tensor W;                     // (rows, columns) float32 on dev, in the W layout
  Tensor H;                     // (columns, columns) float32 on dev, damped; or a stack
                                // (G, columns, columns), row block k weighted by H[k]
  Tensor alive;                 // stack: (G,) bool, the row blocks the alternation still changes
  int64_t iters_for_scale = 0;  // the quantizer's value on entry
  // The accepted solution, row by row.
  Tensor scale_out, zero_out;  // (rows, G)
  Tensor w_int;                // (rows, columns), whole numbers
  Tensor err;                  // (rows,)
  // Inputs of every rounding, made once: the act-order permutation and its
  // inverse, the permuted H and W (the roundings only read them) and the
  // damping ladder's factor of that H.
  std::optional<Tensor> perm, invperm;  // (columns,), or (G, columns) for a stack
  Tensor h00, w00;
  std::optional<GptqFactor> factor;
  // H = F F^T + damping where H holds fewer vectors than a third of its
  // columns: the search's errors in rank + 1 products per column.
  std::optional<LowRankH> low;
};

// --- preparation ------------------------------------------------------------

// A stack H (G, columns, columns) for the rows of W: G divides the rows, per
// channel only; each H[k] damped by perdamp * mean(diag H[k]); every row
// block alive.
void prepare_stack(Solve& s, int64_t columns) {
  const int64_t G = s.H.size(0), rows = s.W.size(0);
  TORCH_CHECK(G > 0 && rows % G == 0 && s.H.size(1) == columns && s.H.size(2) == columns,
              "startquant: a stack H must be (G, ", columns, ", ", columns,
              ") with G dividing the ", rows, " rows, got ", s.H.sizes());
  TORCH_CHECK(s.args.groupsize == -1, "startquant: with one H per block of rows (H of shape ",
              s.H.sizes(), ") only per-channel scales are supported (groupsize -1), got groupsize ",
              s.args.groupsize);
  const Tensor dp = s.H.diagonal(0, -2, -1).mean(-1, /*keepdim=*/true);  // (G, 1)
  s.H.diagonal(0, -2, -1).add_(s.args.perdamp * dp);
  s.alive = at::ones({G}, s.W.options().dtype(at::kBool));
}

// W from the layer (a float32 copy on dev in the W layout; NotSupported("")
// for other layers), the sample-count line, and H on dev in float32 with
// perdamp * mean(diag H) added to its diagonal (a stack of one is one H).
Solve prepare(const LayerView& layer, const Tensor& H_in, const std::string& nsamples,
              QuantizerConfig& cfg, const StartQuantArgs& args) {
  Solve s{layer, cfg, args, c10::Device(args.dev)};
  s.W = layer.weight.detach().to(s.dev, at::kFloat, /*non_blocking=*/false, /*copy=*/true);
  if (layer.kind == LayerKind::Conv2d)
    s.W = s.W.flatten(1);
  else if (layer.kind == LayerKind::Conv1D && layer.weight.dim() == 2)
    s.W = s.W.t().contiguous();
  else if (layer.kind != LayerKind::Linear)
    throw NotSupported("");
  const int64_t columns = s.W.size(1);
  if (args.print_log)
    host::print({"The number of samples for GPTQ must be larger than the dimension of Hession "
                 "matrix;Otherwise, H must be a singular matrix and cannot be inverted. nsample " +
                 nsamples + ", columns " + host::text(columns)});

  s.H = H_in.to(s.dev, s.W.scalar_type(), /*non_blocking=*/false, /*copy=*/true);
  if (s.H.dim() == 3 && s.H.size(0) == 1) s.H = s.H.select(0, 0);
  if (s.H.dim() == 3) {
    prepare_stack(s, columns);
    return s;
  }
  TORCH_CHECK(s.H.dim() == 2 && s.H.size(0) == columns && s.H.size(1) == columns,
              "startquant: H must be (", columns, ", ", columns, ") for this layer, got ",
              s.H.sizes());
  const Tensor dp = s.H.diagonal().mean();
  const Tensor damping = args.perdamp * dp;
  s.H.diagonal().add_(damping);
  const double vectors = std::strtod(nsamples.c_str(), nullptr);
  if (vectors >= 1 && 3 * vectors < columns)
    s.low = low_rank_form(H_in.to(s.dev, at::kDouble), damping.item<double>(),
                          static_cast<int64_t>(vectors), s.H.scalar_type());
  return s;
}

// --- first estimate -----------------------------------------------------------

// Min/max parameters without search (iters_for_scale 0; the entry value is
// kept for the alternation) and their integer weights.
void first_estimate(Solve& s) {
  timing::Section ts("first_estimate", s.dev);
  s.iters_for_scale = s.cfg.iters_for_scale;
  s.cfg.iters_for_scale = 0;
  Params p = find_params(s.cfg, s.W, s.args.groupsize, s.H, std::nullopt);
  if (s.args.print_log)
    host::print({"get scale via minmax, the init loss is " + host::text(mean_of(p.best))});
  s.w_int = get_fake_int_in(s.cfg, s.W, p.scale, p.zero, s.args.groupsize, std::nullopt);
  s.scale_out = p.scale_out;
  s.zero_out = p.zero_out;
  s.err = p.best;
}

// --- rounding -------------------------------------------------------------------

// Columns of X (rows, columns) reordered by perm: (columns,) for every row,
// or (G, columns), row k for the block k of rows / G rows.
Tensor permute_columns(const Tensor& X, const Tensor& perm) {
  if (perm.dim() == 1) return X.index_select(1, perm);
  const Tensor Xb = X.reshape({perm.size(0), -1, perm.size(1)});  // (G, r, columns)
  return Xb.gather(2, perm.unsqueeze(1).expand_as(Xb)).reshape(X.sizes());
}

// Rows and columns of every H[k] of a stack (G, columns, columns) reordered by perm[k].
Tensor permute_stack(const Tensor& H, const Tensor& perm) {
  const Tensor rows = H.gather(1, perm.unsqueeze(2).expand_as(H));  // H[k, perm[k, i], j]
  return rows.gather(2, perm.unsqueeze(1).expand_as(H));            // then [.., perm[k, j]]
}

// Act order of a stack: per H[k], columns by descending diagonal, and the inverse.
void stack_order(Solve& s) {
  s.perm = at::argsort(s.H.diagonal(0, -2, -1), /*dim=*/-1, /*descending=*/true);
  s.invperm = at::argsort(*s.perm, /*dim=*/-1, /*descending=*/false);
}

// The inputs every rounding shares, made at the first rounding: with act
// order the columns by descending Hessian diagonal (the default, unstable
// sort of torch.argsort(diag, descending=True): equal diagonals come out in
// that sort's order; per H[k] for a stack), H and W permuted by it, and the
// damping ladder's factor of the permuted H (it runs once; later roundings
// report what it met).
void rounding_inputs(Solve& s) {
  if (s.h00.defined()) return;
  if (s.args.actorder && s.H.dim() == 3) {
    stack_order(s);
  } else if (s.args.actorder) {
    s.perm = at::argsort(s.H.diagonal(), /*dim=*/0, /*descending=*/true);
    s.invperm = at::argsort(*s.perm);
  }
  if (s.H.dim() == 3)
    s.h00 = s.perm ? permute_stack(s.H, *s.perm) : s.H.clone();
  else
    s.h00 = s.perm ? s.H.index_select(0, *s.perm).index_select(1, *s.perm) : s.H.clone();
  s.w00 = s.perm ? permute_columns(s.W, *s.perm) : s.W.clone();
  timing::Section ts("gptq_factor", s.dev);
  s.factor = gptq_factor(s.h00);
}

// Integer weights (in W's column order) and their row errors for the output
// pair (so, zo) (rows, G): opt_intW3 on the permuted problem.
std::pair<Tensor, Tensor> rounding(Solve& s, const Tensor& so, const Tensor& zo, int64_t max_iter,
                                   double lr, int64_t max_inner_iter,
                                   const std::string& round_fn) {
  rounding_inputs(s);
  auto [s0, z0] = repeat_interleave(s.W.sizes(), s.args.groupsize, so, zo);
  if (s.perm) {
    *s0 = permute_columns(*s0, *s.perm);
    *z0 = permute_columns(*z0, *s.perm);
  }
  OptIntResult r = opt_intW3_grouped(*s0, *z0, s.h00, s.args.symmetric, s.cfg.min_bound,
                                     s.cfg.max_bound, s.w00, std::nullopt, max_iter, lr,
                                     max_inner_iter, round_fn, &*s.factor);
  if (s.invperm) r.w_int = permute_columns(r.w_int, *s.invperm);
  return {r.w_int, r.loss};
}

// --- first rounding pass ----------------------------------------------------------

// With max_iter_num >= 1, a pure GPTQ rounding of the first estimate, taken
// by the rows it improves. Cached device memory is released in every case.
void first_rounding_pass(Solve& s) {
  if (s.args.max_iter_num >= 1) {
    timing::Section ts("gptq_pass", s.dev);
    auto [w_int0, err0] = rounding(s, s.scale_out, s.zero_out, 0, 0.001, 0, "gptq");
    Tensor tmp = err0 < s.err;
    accept(tmp, w_int0, s.w_int);
    accept(tmp, err0, s.err);
    const double rate = rate_of(tmp);
    if (s.args.print_log)
      host::print({"the success rate of gptq is " + host::text(rate) + ", the loss is " +
                   host::text(mean_of(s.err))});
  }
  host::empty_cache();
}

// --- alternation ------------------------------------------------------------------

// With a stack H, the rows of frozen blocks take (and report) nothing: tmp
// (rows,) masked.
void keep_frozen(const Solve& s, Tensor& tmp) {
  if (s.alive.defined())
    tmp.logical_and_(s.alive.repeat_interleave(tmp.size(0) / s.alive.size(0)));
}

// Whether the alternation ends after a step that the rows `tmp` took (their
// share `rate`): with one H when fewer than 0.01 % of the rows improved; with
// a stack, a row block of which fewer than 0.01 % of the rows improved is
// frozen, and the loop ends when every block is.
bool step_ends_loop(Solve& s, const Tensor& tmp, double rate) {
  if (!s.alive.defined()) return rate < 0.0001;
  const int64_t G = s.alive.size(0);
  const Tensor block_rate =
      tmp.view({G, -1}).sum(1).to(at::kDouble) / static_cast<double>(tmp.size(0) / G);
  s.alive.logical_and_(block_rate >= 0.0001);
  return !s.alive.any().item<bool>();
}

// Rounding step of iteration `it` for the output pair (so0, zo0): rows whose
// error it lowers take its integers, the pair and the error. Returns whether
// the loop ends.
bool rounding_step(Solve& s, int64_t it, const Tensor& so0, const Tensor& zo0) {
  double rate;
  bool ends;
  {
    timing::Section ts("rounding_steps", s.dev);
    auto [w_int0, err0] = rounding(s, so0, zo0, s.args.iters_before_round, s.args.lr,
                                   s.args.inner_iters_for_round, s.args.round_fn);
    Tensor neg = err0 < 0;
    keep_frozen(s, neg);
    if (neg.any().item<bool>()) {
      Tensor eig = at::linalg_eigvalsh(s.H);
      if (s.args.print_log) {
        host::print({"The eigenvalues is", host::text(eig)});
        host::print({"The err is ", host::text(err0)});
        host::print({"The negative err is ", host::text(err0.index({neg}))});
      }
    }
    Tensor tmp = err0 < s.err;
    keep_frozen(s, tmp);
    accept(tmp, w_int0, s.w_int);
    accept(tmp, so0, s.scale_out);
    accept(tmp, zo0, s.zero_out);
    accept(tmp, err0, s.err);
    rate = rate_of(tmp);
    ends = step_ends_loop(s, tmp, rate);
  }
  if (s.args.print_log)
    host::print({"Iter " + host::text(it) + ", the success rate of opt_intW is " +
                 host::text(rate) + ", the loss is " + host::text(mean_of(s.err))});
  return ends;
}

// The closed-form output pair for the accepted integers, on 16 row blocks;
// nullopt when the rows do not split evenly or a block runs out of memory
// again. With a stack H there is no split: nullopt at once.
std::optional<OutParams> scale_step_in_blocks(Solve& s) {
  if (s.H.dim() == 3) {
    host::print({"catch an OutOfMemoryError, the shape of the weight is ", shape_text(s.W),
                 "give up"});
    host::empty_cache();
    return std::nullopt;
  }
  host::print({"catch an OutOfMemoryError, the shape of the weight is ", shape_text(s.W),
               "we will spilt to get scale"});
  const int64_t num_part = 16;
  const int64_t rows = s.W.size(0);
  const int64_t ps = rows / num_part;
  if (rows % num_part != 0) return std::nullopt;
  try {
    std::vector<Tensor> so, zo, er;
    for (int64_t k = 0; k < num_part; ++k) {
      if (host::fault("scale_step_oom"))
        TORCH_CHECK_WITH(OutOfMemoryError, false, "injected out-of-memory in the scale step");
      OutParams part = get_scale_and_zero_out_group(
          s.cfg, std::nullopt, std::nullopt, std::nullopt, s.H, s.args.groupsize,
          s.W.narrow(0, k * ps, ps), s.w_int.narrow(0, k * ps, ps), true);
      so.push_back(part.scale_out);
      zo.push_back(part.zero_out);
      er.push_back(part.err);
    }
    return OutParams{at::cat(so, 0), at::cat(zo, 0), at::cat(er, 0)};
  } catch (const c10::OutOfMemoryError&) {
    host::print({"catch an OutOfMemoryError again, the shape of the weight is ",
                 shape_text(s.W), "give up"});
    host::empty_cache();
    return std::nullopt;
  }
}

// Scale step of iteration `it`: the least-squares output pair for the
// accepted integers, taken by the rows whose error it lowers. A negative row
// error is fatal (eigenvalues of H printed and reported). Returns whether the
// loop ends (also when the step ran out of memory and gave up).
bool scale_step(Solve& s, int64_t it) {
  OutParams sc;
  {
    timing::Section ts("scale_steps", s.dev);
    try {
      if (host::fault("scale_step_oom"))
        TORCH_CHECK_WITH(OutOfMemoryError, false, "injected out-of-memory in the scale step");
      sc = get_scale_and_zero_out_group(s.cfg, std::nullopt, std::nullopt, std::nullopt, s.H,
                                        s.args.groupsize, s.W, s.w_int, true);
      Tensor neg = sc.err < 0;
      keep_frozen(s, neg);
      if (neg.any().item<bool>()) {
        Tensor eig = at::linalg_eigvalsh(s.H);
        host::print({host::text(eig)});
        throw FatalError("Fatal error, the eigenvalues os hessian is " + host::text(eig));
      }
    } catch (const c10::OutOfMemoryError&) {
      std::optional<OutParams> blocks = scale_step_in_blocks(s);
      if (!blocks) return true;
      sc = *blocks;
    }
  }
  Tensor tmp = sc.err < s.err;
  keep_frozen(s, tmp);
  accept(tmp, sc.err, s.err);
  accept(tmp, sc.scale_out, s.scale_out);
  accept(tmp, sc.zero_out, s.zero_out);
  const double rate = rate_of(tmp);
  const bool ends = step_ends_loop(s, tmp, rate);
  if (s.args.print_log)
    host::print({"Iter " + host::text(it) + ", the success rate of analytic_scale is " +
                 host::text(rate) + ", the loss is " + host::text(mean_of(s.err))});
  return ends;
}

// Up to max_iter_num - 1 iterations of a rounding step (in iteration 0 for
// the pair of a thorough parameter search, iters_for_scale >= 2) and a scale
// step, until a step improves fewer than 0.01 % of the rows (with a stack H:
// of the rows of every block, each block frozen at its own such step) or the
// scale step gives up.
void alternation(Solve& s) {
  int64_t iter_num = -1;
  for (int64_t it = 0; it < s.args.max_iter_num - 1; ++it) {
    iter_num = it;
    Tensor so0 = s.scale_out, zo0 = s.zero_out;
    if (it == 0) {
      timing::Section ts("param_search", s.dev);
      s.cfg.iters_for_scale = std::max<int64_t>(s.iters_for_scale, 2);
      Params p = find_params(s.cfg, s.W, s.args.groupsize, s.H, std::nullopt, s.low);
      so0 = p.scale_out;
      zo0 = p.zero_out;
    }
    if (rounding_step(s, it, so0, zo0)) break;
    so0 = zo0 = Tensor();
    if (scale_step(s, it)) break;
  }
  if (s.args.print_log)
    host::print({"after " + host::text(iter_num) + " of pure_training, the loss is " +
                 host::text(mean_of(s.err))});
}

// --- finish -----------------------------------------------------------------------

// The dequantized weights Q = w_int * s0 (+ z0 unless symmetric), the final
// loss line, the Conv1D transposes, and the result in the layer's shapes.
StartQuantResult finish(Solve& s) {
  auto [s0, z0] = repeat_interleave(s.W.sizes(), s.args.groupsize, s.scale_out, s.zero_out);
  Tensor Q = s.args.symmetric ? s.w_int * *s0 : s.w_int * *s0 + *z0;
  if (s.args.print_log) {
    Tensor R = s.W - Q;
    Tensor loss = (hmul(R, s.H) * R).sum(1);
    host::print({"finally the loss is ", host::text(mean_of(loss))});
  }
  Tensor w_int = s.w_int, scale_out = s.scale_out, zero_out = s.zero_out;
  if (s.layer.kind == LayerKind::Conv1D && s.layer.weight.dim() == 2) {
    Q = Q.t();
    w_int = w_int.t();
    scale_out = scale_out.t();
    zero_out = zero_out.t();
  }
  StartQuantResult res;
  res.scale_out = scale_out;
  res.zero_out = zero_out;
  res.w_int = w_int.reshape(s.layer.weight.sizes()).to(at::kChar);
  res.err = s.err;
  res.Q = Q.reshape(s.layer.weight.sizes()).to(s.layer.weight.scalar_type());
  return res;
}

}  // namespace

StartQuantResult startquant(const LayerView& layer, const at::Tensor& H_in,
                            const std::string& nsamples, QuantizerConfig& cfg,
                            const StartQuantArgs& args) {
  Solve s = prepare(layer, H_in, nsamples, cfg, args);
  first_estimate(s);
  first_rounding_pass(s);
  alternation(s);
  return finish(s);
}

}  // namespace gdq
