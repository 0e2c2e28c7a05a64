#include "solver/decoupleq.h"

#include <ATen/ATen.h>

#include <algorithm>
#include <cmath>
#include <tuple>
#include <sstream>

#include "common/errors.h"
#include "common/host.h"
#include "common/timing.h"
#include "kernels/opt_intw.h"
#include "kernels/primitives.h"

namespace gdq {
namespace {

using at::Tensor;

// Upper bound on the elements of one chunk's float64 patch matrix (256 MiB).
constexpr int64_t kPatchBudget = int64_t(1) << 25;

std::string shape_text(const Tensor& t) {
  std::ostringstream os;
  os << "torch.Size([";
  for (int64_t i = 0; i < t.dim(); ++i) os << (i ? ", " : "") << t.size(i);
  os << "])";
  return os.str();
}

double mean_of(const Tensor& t) { return t.mean().item<double>(); }

// Rows of `cur` replaced by those of `cand` where `take` (rows,) is true.
Tensor take_rows(const Tensor& take, const Tensor& cand, const Tensor& cur) {
  Tensor m = take;
  while (m.dim() < cur.dim()) m = m.unsqueeze(-1);
  return at::where(m, cand, cur);
}

double rate_of(const Tensor& take) {
  return static_cast<double>(take.sum().item<int64_t>()) / static_cast<double>(take.numel());
}

// X X^T of the patch matrix X (C*kh*kw, B*L) of the images inp (B, C, Hin, Win),
// in float64, with B*L, the number of input vectors (columns of X). The images
// go through in chunks of at most `chunk` (fewer when a chunk's float64 patch
// matrix would exceed kPatchBudget elements), so only one chunk's patches live
// at a time.
std::pair<Tensor, int64_t> conv_second_moment_impl(const LayerView& layer, const Tensor& inp,
                                                   int64_t chunk) {
  const int64_t B = inp.size(0);
  const int64_t K = inp.size(1) * layer.kernel_size[0] * layer.kernel_size[1];
  Tensor h = at::zeros({K, K}, inp.options().dtype(at::kDouble));
  int64_t L = 1;  // patch positions per image
  for (int d = 0; d < 2; ++d) {
    const int64_t n = inp.size(2 + d) + 2 * layer.padding[d] -
                      layer.dilation[d] * (layer.kernel_size[d] - 1) - 1;
    L *= n < 0 ? 0 : n / layer.stride[d] + 1;
  }
  int64_t step = std::max<int64_t>(1, chunk);
  if (K * L > 0) step = std::max<int64_t>(1, std::min(step, kPatchBudget / (K * L)));
  int64_t vectors = 0;
  for (int64_t b0 = 0; b0 < B; b0 += step) {
    const int64_t b = std::min(step, B - b0);
    Tensor P = at::im2col(inp.narrow(0, b0, b), layer.kernel_size, layer.dilation, layer.padding,
                          layer.stride);  // (b, K, L)
    TORCH_INTERNAL_ASSERT(P.size(2) == L);
    Tensor X = at::empty({K, b, L}, P.options().dtype(at::kDouble));
    X.copy_(P.permute({1, 0, 2}));  // columns ordered by image, then patch position
    P = Tensor();
    X = X.view({K, b * L});
    h.addmm_(X, X.t());
    vectors += b * L;
  }
  return {h, vectors};
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
  if (at::isnan(inp).any().item<bool>()) {
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
      h = at::matmul(X.t(), X);
      tmp = static_cast<double>(X.size(0));
      break;
    }
    case LayerKind::Conv2d: {
      TORCH_CHECK(inp.dim() == 4, "add_batch: a convolution input must be (B, C, Hin, Win), got ",
                  inp.sizes());
      int64_t vectors = 0;
      std::tie(h, vectors) = conv_second_moment_impl(layer, inp, chunk);
      tmp = static_cast<double>(vectors);
      break;
    }
    default:
      throw NotSupported("not support yet");
  }
  if (mask) tmp = mask->sum(at::kDouble).item<double>();

  if (st.H.defined())
    TORCH_CHECK(st.H.sizes() == h.sizes(), "add_batch: the batch has ", h.size(0),
                " features per vector, the statistics so far have ", st.H.size(0));
  // An empty batch (or a mask summing to 0) adds nothing; as a first batch it
  // would divide by zero, so H and nsamples are left as they are.
  if (tmp == 0) return;
  if (!st.H.defined())
    st.H = h / tmp;
  else
    st.H = (st.H * st.nsamples + h) / (st.nsamples + tmp);
  st.nsamples += tmp;
}

StartQuantResult startquant(const LayerView& layer, const at::Tensor& H_in,
                            const std::string& nsamples, QuantizerConfig& cfg,
                            const StartQuantArgs& args) {
  const c10::Device dev(args.dev);
  const bool conv1d = layer.kind == LayerKind::Conv1D && layer.weight.dim() == 2;
  const int64_t gs = args.groupsize;

  // --- preparation -------------------------------------------------------
  Tensor W = layer.weight.detach().to(dev, at::kFloat, /*non_blocking=*/false, /*copy=*/true);
  if (layer.kind == LayerKind::Conv2d)
    W = W.flatten(1);
  else if (conv1d)
    W = W.t().contiguous();
  else if (layer.kind != LayerKind::Linear)
    throw NotSupported("");
  const int64_t rows = W.size(0);
  const int64_t columns = W.size(1);
  if (args.print_log)
    host::print({"The number of samples for GPTQ must be larger than the dimension of Hession "
                 "matrix;Otherwise, H must be a singular matrix and cannot be inverted. nsample " +
                 nsamples + ", columns " + host::text(columns)});

  Tensor H = H_in.to(dev, W.scalar_type(), /*non_blocking=*/false, /*copy=*/true);
  TORCH_CHECK(H.dim() == 2 && H.size(0) == columns && H.size(1) == columns,
              "startquant: H must be (", columns, ", ", columns, ") for this layer, got ",
              H.sizes());
  {
    Tensor dp = H.diagonal().mean();
    H.diagonal().add_(args.perdamp * dp);
  }

  // --- first estimate ----------------------------------------------------
  const int64_t iters_for_scale = cfg.iters_for_scale;
  cfg.iters_for_scale = 0;
  Tensor scale_out, zero_out, w_int, err;
  {
    timing::Section ts("first_estimate", dev);
    Params p = find_params(cfg, W, gs, H, std::nullopt);
    if (args.print_log)
      host::print({"get scale via minmax, the init loss is " + host::text(mean_of(p.best))});
    w_int = get_fake_int_in(cfg, W, p.scale, p.zero, gs, std::nullopt);
    scale_out = p.scale_out;
    zero_out = p.zero_out;
    err = p.best;
  }

  // Act order: columns by descending Hessian diagonal.
  std::optional<Tensor> perm, invperm;
  if (args.actorder && args.max_iter_num >= 1) {
    // The default (unstable) sort of torch.argsort(diag, descending=True):
    // columns with equal diagonal come out in that sort's order.
    perm = at::argsort(H.diagonal(), /*dim=*/0, /*descending=*/true);
    invperm = at::argsort(*perm);
  }
  std::optional<GptqFactor> factor;
  // The roundings only read H and W: one (permuted) copy serves all of them.
  Tensor h00, w00;
  // Integer weights for the expanded pair (so, zo), in W's column order.
  auto rounding = [&](const Tensor& so, const Tensor& zo, int64_t max_iter, double lr,
                      int64_t max_inner_iter, const std::string& round_fn) {
    auto [s0, z0] = repeat_interleave(W.sizes(), gs, so, zo);
    if (!h00.defined()) {
      h00 = perm ? H.index_select(0, *perm).index_select(1, *perm) : H.clone();
      w00 = perm ? W.index_select(1, *perm) : W.clone();
    }
    if (perm) {
      *s0 = s0->index_select(1, *perm);
      *z0 = z0->index_select(1, *perm);
    }
    // Every rounding sees the same (permuted) H, so the damping ladder runs
    // once; later roundings reuse its factor and report what it met.
    if (!factor) {
      timing::Section ts("gptq_factor", dev);
      factor = gptq_factor(h00);
    }
    OptIntResult r = opt_intW3(*s0, *z0, h00, args.symmetric, cfg.min_bound, cfg.max_bound, w00,
                               std::nullopt, max_iter, lr, max_inner_iter, round_fn, &*factor);
    if (invperm) r.w_int = r.w_int.index_select(1, *invperm);
    return std::make_pair(r.w_int, r.loss);
  };

  // --- first rounding pass: pure GPTQ rounding ----------------------------
  if (args.max_iter_num >= 1) {
    timing::Section ts("gptq_pass", dev);
    auto [w_int0, err0] = rounding(scale_out, zero_out, 0, 0.001, 0, "gptq");
    Tensor tmp = err0 < err;
    w_int = take_rows(tmp, w_int0, w_int);
    err = take_rows(tmp, err0, err);
    const double rate = rate_of(tmp);
    if (args.print_log)
      host::print({"the success rate of gptq is " + host::text(rate) + ", the loss is " +
                   host::text(mean_of(err))});
  }
  host::empty_cache();

  // --- alternation of rounding and scale steps ----------------------------
  const int64_t max_inner_iter = args.inner_iters_for_round;
  int64_t iter_num = -1;
  for (int64_t it = 0; it < args.max_iter_num - 1; ++it) {
    iter_num = it;
    Tensor scale_out0, zero_out0;
    if (it == 0) {
      timing::Section ts("param_search", dev);
      cfg.iters_for_scale = std::max<int64_t>(iters_for_scale, 2);
      Params p = find_params(cfg, W, gs, H, std::nullopt);
      scale_out0 = p.scale_out;
      zero_out0 = p.zero_out;
    } else {
      scale_out0 = scale_out;
      zero_out0 = zero_out;
    }

    double rate;
    {
      timing::Section ts("rounding_steps", dev);
      auto [w_int0, err0] = rounding(scale_out0, zero_out0, args.iters_before_round, args.lr,
                                     max_inner_iter, args.round_fn);
      Tensor neg = err0 < 0;
      if (neg.any().item<bool>()) {
        Tensor eig = at::linalg_eigvalsh(H);
        if (args.print_log) {
          host::print({"The eigenvalues is", host::text(eig)});
          host::print({"The err is ", host::text(err0)});
          host::print({"The negative err is ", host::text(err0.index({neg}))});
        }
      }
      Tensor tmp = err0 < err;
      w_int = take_rows(tmp, w_int0, w_int);
      scale_out = take_rows(tmp, scale_out0, scale_out);
      zero_out = take_rows(tmp, zero_out0, zero_out);
      err = take_rows(tmp, err0, err);
      rate = rate_of(tmp);
    }
    if (args.print_log)
      host::print({"Iter " + host::text(it) + ", the success rate of opt_intW is " +
                   host::text(rate) + ", the loss is " + host::text(mean_of(err))});
    if (rate < 0.0001) break;
    scale_out0 = zero_out0 = Tensor();

    // Scale step: least-squares output scale and zero for the accepted integers.
    OutParams sc;
    bool give_up = false;
    {
      timing::Section ts("scale_steps", dev);
      try {
        if (host::fault("scale_step_oom"))
          TORCH_CHECK_WITH(OutOfMemoryError, false, "injected out-of-memory in the scale step");
        sc = get_scale_and_zero_out_group(cfg, std::nullopt, std::nullopt, std::nullopt, H, gs, W,
                                          w_int, true);
        if ((sc.err < 0).any().item<bool>()) {
          Tensor eig = at::linalg_eigvalsh(H);
          host::print({host::text(eig)});
          throw FatalError("Fatal error, the eigenvalues os hessian is " + host::text(eig));
        }
      } catch (const c10::OutOfMemoryError&) {
        host::print({"catch an OutOfMemoryError, the shape of the weight is ", shape_text(W),
                     "we will spilt to get scale"});
        const int64_t num_part = 16;
        const int64_t ps = rows / num_part;
        if (rows % num_part != 0) {
          give_up = true;
        } else {
          try {
            std::vector<Tensor> so, zo, er;
            for (int64_t k = 0; k < num_part; ++k) {
              if (host::fault("scale_step_oom"))
                TORCH_CHECK_WITH(OutOfMemoryError, false,
                                 "injected out-of-memory in the scale step");
              OutParams part = get_scale_and_zero_out_group(
                  cfg, std::nullopt, std::nullopt, std::nullopt, H, gs, W.narrow(0, k * ps, ps),
                  w_int.narrow(0, k * ps, ps), true);
              so.push_back(part.scale_out);
              zo.push_back(part.zero_out);
              er.push_back(part.err);
            }
            sc = {at::cat(so, 0), at::cat(zo, 0), at::cat(er, 0)};
          } catch (const c10::OutOfMemoryError&) {
            host::print({"catch an OutOfMemoryError again, the shape of the weight is ",
                         shape_text(W), "give up"});
            host::empty_cache();
            give_up = true;
          }
        }
      }
    }
    if (give_up) break;

    Tensor tmp = sc.err < err;
    err = take_rows(tmp, sc.err, err);
    scale_out = take_rows(tmp, sc.scale_out, scale_out);
    zero_out = take_rows(tmp, sc.zero_out, zero_out);
    rate = rate_of(tmp);
    if (args.print_log)
      host::print({"Iter " + host::text(it) + ", the success rate of analytic_scale is " +
                   host::text(rate) + ", the loss is " + host::text(mean_of(err))});
    if (rate < 0.0001) break;
  }
  if (args.print_log)
    host::print({"after " + host::text(iter_num) + " of pure_training, the loss is " +
                 host::text(mean_of(err))});

  // --- result --------------------------------------------------------------
  auto [s0, z0] = repeat_interleave(W.sizes(), gs, scale_out, zero_out);
  Tensor Q = args.symmetric ? w_int * *s0 : w_int * *s0 + *z0;
  if (args.print_log) {
    Tensor R = W - Q;
    Tensor loss = (at::matmul(R, H) * R).sum(1);
    host::print({"finally the loss is ", host::text(mean_of(loss))});
  }
  if (conv1d) {
    Q = Q.t();
    w_int = w_int.t();
    scale_out = scale_out.t();
    zero_out = zero_out.t();
  }
  StartQuantResult res;
  res.scale_out = scale_out;
  res.zero_out = zero_out;
  res.w_int = w_int.reshape(layer.weight.sizes()).to(at::kChar);
  res.err = err;
  res.Q = Q.reshape(layer.weight.sizes()).to(layer.weight.scalar_type());
  return res;
}

}  // namespace gdq
