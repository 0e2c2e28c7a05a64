"""Fault seeding: does the test suite catch deliberate single-line faults?

Each fault replaces one exact piece of one source line (it must occur exactly
once in the file). For each fault, one at a time: apply it, rebuild the
extension when a C++ source changed, run the tests (stopping at the first
failure), restore the source. A fault is caught when the tests fail; the first
failing test is printed with it.

    .venv/bin/python tools/seed_faults.py            # every fault
    .venv/bin/python tools/seed_faults.py 3 7        # faults 3 and 7
    .venv/bin/python tools/seed_faults.py --list

The sources are restored even when the run is interrupted; the extension is
rebuilt after each C++ fault and at the end when any C++ fault ran.
"""
from __future__ import annotations

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PY = os.path.join(ROOT, ".venv", "bin", "python")
if not os.path.exists(PY):      # a worktree without its own environment
    PY = sys.executable

# (file, original text, faulty text, what the fault breaks)
FAULTS = [
    # --- numerical core (C++) ---
    # kernels
    ("src/gdq_quant/kernels/primitives.h", "return y + (y - v == T(-0.5) ? T(1) : T(0));",
     "return y + (y - v == T(0.5) ? T(1) : T(0));", "scalar rounding: the wrong halves move"),
    ("src/gdq_quant/kernels/primitives.cpp", "return y.add_((y - x).eq_(-0.5));",
     "return y.add_((y - x).abs().eq_(0.5));", "my_round: halves rounded up twice"),
    ("src/gdq_quant/kernels/primitives.cpp", "Tensor denom = at::clamp_min(y.abs(), 1e-15) * sign;",
     "Tensor denom = at::clamp_min(y.abs(), 1e-5) * sign;", "safe_div floors at the wrong magnitude"),
    ("src/gdq_quant/kernels/primitives.cpp", "Tensor floor = sign * 1e-5;",
     "Tensor floor = at::full_like(deno, 1e-5);", "get_linear_eq: floor loses the determinant's sign"),
    ("src/gdq_quant/kernels/primitives.cpp", "return (at::matmul(r, h) * r).sum(1);",
     "return (at::matmul(r, h) * r).mean(1);", "row error averaged instead of summed"),
    # quantizer
    ("src/gdq_quant/quantizer/minmax.cpp", "c.min_bound = -c.max_bound - 1;",
     "c.min_bound = -c.max_bound;", "grid loses its lowest value"),
    ("src/gdq_quant/quantizer/minmax.cpp", "Tensor xmax = at::maximum(std::get<0>(v.max(-1)), zeros);",
     "Tensor xmax = std::get<0>(v.max(-1));", "range no longer contains 0 from above"),
    ("src/gdq_quant/quantizer/minmax.cpp", "xmin = at::where(xmin < 0, -xmax, xmin);",
     "xmin = -xmax;", "symmetric range of a non-negative group mirrored"),
    ("src/gdq_quant/quantizer/minmax.cpp", "zero = xmin - scale * cfg.min_bound;",
     "zero = xmin + scale * cfg.min_bound;", "real zero offset with the wrong sign"),
    ("src/gdq_quant/quantizer/search.cpp", "return 1.0 - static_cast<double>(i) / static_cast<double>(cfg.grid);",
     "return 1.0 - static_cast<double>(i + 1) / static_cast<double>(cfg.grid);",
     "shrink grid shifted by one step"),
    ("src/gdq_quant/quantizer/closed_form.cpp", "out.zero_out = at::where(out.scale_out == 0, out.zero_out, shifted);",
     "out.zero_out = shifted;", "zero-scale rows divided by zero"),
    ("src/gdq_quant/quantizer/closed_form.cpp", "const Tensor p6 = at::matmul(x0, colsum);",
     "const Tensor p6 = at::matmul(x_int, colsum);", "closed form: right-hand side from the integers"),
    ("src/gdq_quant/quantizer/group_closed_form.cpp", "damped ? solve_damped(P, y, cfg.sym ? 1e-5 : 0.0, /*retry_only=*/true)",
     "damped ? solve_damped(P, y, 0.0, /*retry_only=*/true)", "symmetric damped retry without the 1e-5"),
    ("src/gdq_quant/quantizer/group_closed_form.cpp", "out.zero_out = sol.narrow(1, G, G).contiguous();",
     "out.zero_out = sol.narrow(1, 0, G).contiguous();", "group zeros read from the scales' half"),
    # GPTQ
    ("src/gdq_quant/kernels/gptq.cpp", "constexpr double kLadder[] = {0.01, 0.1, 1.0, 10.0, 100.0};",
     "constexpr double kLadder[] = {0.1, 1.0, 10.0, 100.0, 1000.0};", "damping ladder starts too high"),
    ("src/gdq_quant/kernels/gptq.cpp", "for (int64_t k = j; k < bs; ++k) w[k] -= ei * hj[k];",
     "for (int64_t k = j + 1; k < bs; ++k) w[k] -= ei * hj[k];", "row loop: the rounded column itself not updated"),
    ("src/gdq_quant/kernels/gptq.cpp", "W.narrow(1, i2, cols - i2).addmm_(Err, Hinv.narrow(0, i1, n).narrow(1, i2, cols - i2), 1, -1);",
     "W.narrow(1, i2, cols - i2).addmm_(Err, Hinv.narrow(0, i1, n).narrow(1, i2, cols - i2), 1, 1);",
     "tensor path: later blocks get the error with the wrong sign"),
    ("src/gdq_quant/solver/decoupleq.cpp", "s.perm = at::argsort(s.H.diagonal(), /*dim=*/0, /*descending=*/true);",
     "s.perm = at::argsort(s.H.diagonal(), /*dim=*/0, /*descending=*/false);", "act order ascending"),
    # solver
    ("src/gdq_quant/solver/decoupleq.cpp", "s.H.diagonal().add_(args.perdamp * dp);",
     "s.H.diagonal().add_(args.perdamp);", "damping not scaled by the mean diagonal"),
    ("src/gdq_quant/solver/decoupleq.cpp", "s.invperm = at::argsort(*s.perm);",
     "s.invperm = *s.perm;", "act order not undone"),
    ("src/gdq_quant/solver/decoupleq.cpp", "rounding(s, s.scale_out, s.zero_out, 0, 0.001, 0, \"gptq\");\n    Tensor tmp = err0 < s.err;",
     "rounding(s, s.scale_out, s.zero_out, 0, 0.001, 0, \"gptq\");\n    Tensor tmp = err0 <= s.err;",
     "first rounding accepted on ties"),
    ("src/gdq_quant/solver/decoupleq.cpp", "s.cfg.iters_for_scale = std::max<int64_t>(s.iters_for_scale, 2);",
     "s.cfg.iters_for_scale = std::max<int64_t>(s.iters_for_scale, 1);", "alternation's search without the closed form"),
    ("src/gdq_quant/solver/decoupleq.cpp", "accept(tmp, sc.zero_out, s.zero_out);",
     "accept(tmp, sc.zero_out, s.scale_out);", "scale step writes its zeros over the scales"),
    ("src/gdq_quant/solver/hessian.cpp", "h.narrow(0, 0, k1).narrow(1, k1, k2).addmm_(X1, X2.t());",
     "h.narrow(0, 0, k1).narrow(1, k1, k2).addmm_(X2, X1.t());", "Gram product: off-diagonal block transposed"),
    ("src/gdq_quant/solver/hessian.cpp", "return at::triu(h) + at::triu(h, 1).t();",
     "return at::triu(h) + at::tril(h, -1);", "symmetric fill keeps the unfilled lower triangle"),
    ("src/gdq_quant/solver/hessian.cpp", "P.permute({1, 0, 2}).reshape({K, b * L})",
     "P.reshape({K, b * L})", "small images laid side by side without reordering their patches"),
    ("src/gdq_quant/solver/hessian.cpp", "vectors += b * L;",
     "vectors += b;", "convolution counts images, not patch vectors"),
    # driver and bindings
    ("src/gdq_quant/driver/gdq_quant.cpp", "a.padding = py::tuple(ints_of(attr)[py::slice(0, 2, 1)]);",
     "a.padding = py::tuple(ints_of(attr)[py::slice(2, 4, 1)]);", "driver reads the trailing pads"),
    ("src/gdq_quant/driver/gdq_quant.cpp", "groupsize.cast<int64_t>() != -1;",
     "groupsize.cast<int64_t>() == -1;", "group-wise no longer forces symmetry"),
    ("src/gdq_quant/driver/gdq_quant.cpp", "groupsize = builtin(\"int\")(qmethod[tail_from(5)]) * ks[0] * ks[1];",
     "groupsize = builtin(\"int\")(qmethod[tail_from(5)]) * ks[0];", "group size counts one kernel axis"),
    ("src/gdq_quant/driver/gdq_quant.cpp", "if (attrs.groups == 1)",
     "if (attrs.groups >= 1)", "grouped convolutions quantized as plain ones"),
    ("src/gdq_quant/module/group_decoupleq.cpp", "opt(\"perdamp\", Float(0.01))",
     "opt(\"perdamp\", Float(0.1))", "startquant's default damping"),
    ("src/gdq_quant/module/callable.cpp", "(i + 1 == names.size() ? \", and \" : \", \")",
     "(i + 1 == names.size() ? \" and \" : \", \")", "argument error lists names without the serial comma"),
    ("src/gdq_quant/quantizer/group_closed_form.cpp", "                             : batched_solve(P, y));",
     "                             : solve_damped(P, y, cfg.sym ? 1e-5 : 0.0));",
     "group closed form: a singular row damps only its own row block"),
    # --- product (Python) ---
    ("mivra/scheme.py", "    return qtype == \"sym\" if groupsize == -1 else not asym_groups",
     "    return qtype == \"sym\"", "group-wise not symmetric by default"),
    ("mivra/scheme.py", "    if gs <= 0 or n_columns % gs:",
     "    if gs <= 0 or n_columns % (gs + 1):", "group fallback test off by one"),
    ("mivra/scheme.py", "    return np.round(ratio).astype(np.int32)",
     "    return np.floor(ratio + 0.5).astype(np.int32)", "table zero points round halves up"),
    ("mivra/engine/targets.py", "        return 1 if self.kind == \"matmul\" or (self.kind == \"gemm\" and not self.trans_b) else 0",
     "        return 1 if self.kind == \"matmul\" else 0", "Gemm without transB: channels on the wrong axis"),
    ("mivra/engine/layer.py", "    pre = None if (top, left) == (bottom, right) else (left, right, top, bottom)",
     "    pre = None", "asymmetric pads ignored in the statistics"),
    ("mivra/engine/layer.py", "        x = x.transpose(-1, -2)",
     "        x = x", "Gemm transA: rows taken for columns"),
    ("mivra/engine/float_target.py", "err = float(((Wh @ Hq) * Wh).sum()) - 2.0 * float((WdC * Wh).sum()) + base",
     "err = float(((Wh @ Hq) * Wh).sum()) - 1.0 * float((WdC * Wh).sum()) + base",
     "output error misses the cross term's factor 2"),
    ("mivra/engine/float_target.py",
     "    Wt = torch.cholesky_solve(rhs.transpose(-1, -2).contiguous(), L).transpose(-1, -2)  # H~ symmetric",
     "    Wt = Wd", "float target: the layer's own weights"),
    ("mivra/engine/float_target.py", "    rhs = Wd @ C + lam * Wd                                     # W (C + lambda I)",
     "    rhs = Wd @ C                                                # W (C + lambda I)",
     "float target shrunk toward zero (damping in H~ only)"),
    ("mivra/engine/targets.py", "        return (self.kind if self.kind == \"gather\" else \"matrix\", self.input, self.trans_a,",
     "        return (self.kind if self.kind == \"gather\" else \"matrix\", self.input, False,",
     "statistics shared by layers reading one input in different ways"),
    ("mivra/engine/bias.py", "if node.op_type == \"Add\" else 2",
     "if False else 2", "a MatMul's corrected bias written to the Add's input 2"),
    ("mivra/engine/targets.py", "    if len(users) != 1 or users[0].op_type != \"Add\":",
     "    if not users or users[0].op_type != \"Add\":", "bias of a MatMul read by other nodes too"),
    ("mivra/engine/bias.py", "        return (base.astype(np.float64) + m).astype(np.float32)",
     "        return (base.astype(np.float64) - m).astype(np.float32)", "bias correction with the wrong sign"),
    ("mivra/engine/mixed.py", "order = np.lexsort((cand_e, cand_c))",
     "order = np.lexsort((cand_c, cand_e))", "knapsack frontier sorted by error instead of cost"),
    ("mivra/export.py", "    u = (v & 0x0F).astype(np.uint8)\n    return (u[0::2] | (u[1::2] << 4)).astype(np.uint8).tobytes()",
     "    u = (v & 0x0F).astype(np.uint8)\n    return (u[1::2] | (u[0::2] << 4)).astype(np.uint8).tobytes()",
     "INT4 nibbles swapped"),
    ("mivra/outputs.py", "            os.replace(tmp, path)",
     "            os.rename(tmp, path + \".part\")", "staged outputs never reach their names"),
    ("mivra/api/session.py", "feed[inp.name] = np.asarray(input_feed[inp.name], order=\"C\")  # 0-d stays 0-d",
     "feed[inp.name] = np.ascontiguousarray(input_feed[inp.name])", "0-d samples fed as 1-D"),
    ("mivra/api/layers.py", "        if name in graph_outputs:\n            at = last",
     "        if name in graph_outputs:\n            at = last_read.get(name, last)",
     "graph outputs freed before the end"),
    ("mivra/api/layers.py", "if name not in last_read and name not in producers:",
     "if name not in last_read:", "can_frees lists a tensor twice"),
    ("mivra/api/folding.py", "if not named or any(o in graph_outputs for o in named):",
     "if not named:", "a constant that is a graph output folded away"),
    ("mivra/api/layers.py", "            if ir_version < 4:\n                layer_inputs.append",
     "            if ir_version < 3:\n                layer_inputs.append",
     "IR 3 layer models do not list their initializers as inputs"),
    ("mivra/api/mivra_utils.py", "y = (x.astype(np.float64) - m) / s",
     "y = x.astype(np.float64) / s - m", "std divides before the mean is subtracted"),
    ("mivra/api/mivra_utils.py", "return np.ascontiguousarray(np.moveaxis(sample, -1, 0))",
     "return np.ascontiguousarray(np.moveaxis(sample, 0, -1))", "channels-last samples moved the wrong way"),
    ("mivra/api/mivra_utils.py", "                    p = os.path.join(root, p)",
     "                    p = os.path.abspath(p)", "relative sample paths taken from the working folder"),
    ("mivra/calib.py", "            out[name] = val",
     "            out.setdefault(name, val)", "INPUT=VALUE does not override a bare value"),
    ("mivra/calib.py", "min(abs(v) for v in vals) < MIN_STD", "min(vals) < MIN_STD",
     "negative standard deviations refused"),
    ("mivra/checks.py", "if n.op_type in (\"Conv\", \"Gemm\") and len(n.input) > 2",
     "if n.op_type == \"Conv\" and len(n.input) > 2", "Gemm biases not checked"),
    ("mivra/checks.py", "    check_control_flow(model)\n", "    pass\n", "control-flow check disabled"),
    ("mivra/outputs.py", "        for d in reversed(self._made_dirs):",
     "        for d in self._made_dirs:", "new folders removed parent first: nested ones stay"),
    ("mivra/outputs.py", "        real = os.path.realpath(path)",
     "        real = os.path.abspath(path)", "symbolic links not resolved when paths are compared"),
    ("mivra/export.py", "    lo = min(int(w_int.min()), int(zp.min()))",
     "    lo = int(w_int.min())", "container ignores negative zero points"),
    ("mivra/export.py", "int_tensor(z_name, zp.reshape(C), dt)]",
     "int_tensor(z_name, -zp.reshape(C), dt)]", "per-channel zero points stored with the wrong sign"),
    ("mivra/export.py", "[flat],\n                                              name=dq_name, axis=1,",
     "[flat],\n                                              name=dq_name, axis=0,",
     "blocked convolution weights dequantized along the wrong axis"),
    ("mivra/report.py", "    return 10.0 * math.log10(signal / noise)",
     "    return 20.0 * math.log10(signal / noise)", "SQNR of a power ratio taken as 20 log10"),
    # --- one Hessian per block of rows (grouped convolutions; C++) ---
    ("src/gdq_quant/solver/decoupleq.cpp", "s.H.diagonal(0, -2, -1).mean(-1, /*keepdim=*/true)",
     "s.H.diagonal(0, -2, -1).mean()", "stacked H: every block damped by the mean diagonal of all"),
    ("src/gdq_quant/quantizer/closed_form.cpp", "const Tensor p6 = rowdot(x0, colsum.repeat_interleave(r, 0));",
     "const Tensor p6 = rowdot(x0, colsum.select(0, 0).expand_as(x0));",
     "stacked closed form: every row with block 0's column sums"),
    ("src/gdq_quant/solver/decoupleq.cpp",
     "tmp.logical_and_(s.alive.repeat_interleave(tmp.size(0) / s.alive.size(0)));", "(void)tmp;",
     "stacked H: frozen row blocks keep taking candidates"),
    ("src/gdq_quant/solver/decoupleq.cpp",
     "s.perm = at::argsort(s.H.diagonal(0, -2, -1), /*dim=*/-1, /*descending=*/true);",
     "s.perm = at::argsort(s.H.diagonal(0, -2, -1).select(0, 0), /*dim=*/-1, /*descending=*/true)"
     ".expand({s.H.size(0), s.H.size(1)}).contiguous();", "stacked H: block 0's act order for every block"),
    # --- integer activations ---
    ("mivra/engine/activations.py", "    zp = int(np.clip(round(-a / scale), 0, qmax))",
     "    zp = int(np.clip(round(a / scale), 0, qmax))", "activation zero point with the wrong sign"),
    ("mivra/engine/activations.py", "    tail = (100.0 - PERCENTILE) / 200.0",
     "    tail = (100.0 - PERCENTILE) / 100.0", "percentile range cuts both tails twice over"),
    ("mivra/engine/activations.py", "        p[-1] += counts[i:].sum()                       # clipped mass on the edge bin",
     "        pass", "entropy range forgets the clipped mass"),
    ("mivra/engine/quant_pass.py",
     "            streams.quant[name] = SampleList(p.fake_quant(x) for x in streams.quant[name])",
     "            pass", "sequential pass fits the weights to unrounded inputs"),
    ("mivra/engine/quant_pass.py", "if r.act_min_sqnr is not None and p.bits < 16 and sqnr < r.act_min_sqnr:",
     "if r.act_min_sqnr is not None and p.bits < 16 and sqnr > r.act_min_sqnr:",
     "hard tensors: the easy ones take 16 bits"),
    ("mivra/engine/quant_pass.py", "        if t is not None and t.kind != \"gather\" and name not in self.clamped:",
     "        if t is not None and t.kind != \"gather\":", "a layer read by a Relu rounded twice"),
    ("mivra/export.py",
     "    start = 0 if entry_bits(entry) <= 4 and not (integer_kernels and per_channel) else 1",
     "    start = 0 if entry_bits(entry) <= 4 else 1", "W4A8 weights stored INT4: no integer kernels"),
    ("mivra/export.py", "            if x in renamed and x in inputs:",
     "            if x in renamed and x not in inputs:", "readers of a model input skip its rounding"),
    ("mivra/engine/quant_pass.py", "                y = y - b.astype(np.float32)[None, :, None]",
     "                pass", "output energy of a convolution counts its bias"),
    ("mivra/engine/quant_pass.py", "                n += y.size // y.shape[-1]\n",
     "                n += y.shape[0]\n", "output energy of a matrix product per sample, not per row"),
    ("mivra/engine/quant_pass.py", "        elif name in self.clamped.values() or name in self.gates:",
     "        elif name in self.clamped.values():", "the swish gate left float: Sigmoid and Mul leave the integer kernels"),
    ("mivra/engine/float_target.py", "Hq, C, H = Hq + Hs, C + Hs, None if H is None else H + Hs",
     "Hq, C, H = Hq + Hs, C, None if H is None else H + Hs", "equal streams: C loses their products"),
    ("mivra/report.py", "if hard and job.opts.act_min_sqnr is None:", "if hard:",
     "the hint toward 16 bits though a threshold was given"),
    # --- grouped statistics straight from the images ---
    ("src/gdq_quant/kernels/group_gram.cpp", "const int64_t off = kx * J.dw - J.pw;",
     "const int64_t off = kx * J.dw;", "grouped patches: columns not shifted by the padding"),
    ("src/gdq_quant/kernels/group_gram.cpp", "for (int64_t q0 = p0; q0 < Dp; q0 += kTile)",
     "for (int64_t q0 = p0 + kTile; q0 < Dp; q0 += kTile)", "grouped H: diagonal tiles skipped"),
    ("src/gdq_quant/kernels/group_gram.cpp", "for (int64_t a = 0; a < D; ++a) std::fill(P.data() + a * M + m, P.data() + a * M + m8, 0.0);",
     "", "grouped H: a block's last lanes keep the previous block's values"),
    ("src/gdq_quant/kernels/group_gram.cpp", "for (int64_t k = 0; k < n; ++k) nan |= x[k] != x[k];",
     "for (int64_t k = 0; k + 1 < n; ++k) nan |= x[k] != x[k];", "a NaN in a plane's last value goes through"),
    ("mivra/engine/float_target.py", 'blocks = {"H": G[:, :D, :D], "C": G[:, :D, D:], "q": G[:, D:, D:]}',
     'blocks = {"H": G[:, :D, :D], "C": G[:, D:, :D], "q": G[:, D:, D:]}', "grouped cross moment transposed"),
    ("mivra/engine/float_target.py", "cols = [xs[:, :, j * dw:j * dw + sw * (Wo - 1) + 1:sw].sum(2) for j in range(kw)]",
     "cols = [xs[:, :, j * dw:j * dw + sw * (Wo - 1) + 1].sum(2) for j in range(kw)]", "patch sums ignore the stride"),
    # --- the search over fewer vectors than columns ---
    ("src/gdq_quant/quantizer/search.cpp", "err = row_dots_cpu(E, E).add_(row_dots_cpu(R, R), lambda_);",
     "err = row_dots_cpu(E, E);", "low-rank search: errors without the damping"),
    ("src/gdq_quant/quantizer/search.cpp", "return at::matmul(r, F_).square().sum(-1).add_(r.square().sum(-1), lambda_);",
     "return at::matmul(r, F_).square().sum(-1);", "low-rank search off the CPU: errors without the damping"),
    ("src/gdq_quant/quantizer/low_rank.cpp", "    if (r > 0) c.sub_(F.narrow(1, 0, r).mv(F.select(0, i).narrow(0, 0, r)));\n",
     "", "pivoted Cholesky: columns not reduced by the earlier ones"),
    ("src/gdq_quant/quantizer/low_rank.cpp", "if (r == cap) return std::nullopt;",
     "if (r == cap) break;", "low-rank form cut at the count's rank: errors miss directions"),
    # --- the cross moment as W C ---
    ("mivra/engine/float_target.py", "self.WC.add_(Y @ Xq.transpose(-1, -2))",
     "self.WC.add_(Y @ X.transpose(-1, -2))", "W C from the float stream's vectors twice"),
    ("mivra/engine/float_target.py", "C, WC = (C + Hs, None) if WC is None else (None, WC + self.W @ Hs)",
     "C, WC = (C + Hs, None) if WC is None else (None, WC)", "equal streams: W C loses their products"),
    ("mivra/engine/float_target.py", "sums, sums_q = patch_sums(layer, z).split(D, 1)",
     "sums_q, sums = patch_sums(layer, z).split(D, 1)", "grouped pairs: the streams' means swapped"),
    # --- errors carried from candidate to candidate ---
    ("src/gdq_quant/kernels/incremental_errors.cpp", "        cur.swap(v);\n", "",
     "carried errors: changes counted from the first candidate again"),
    ("src/gdq_quant/kernels/incremental_errors.cpp", "acc[l] += r * (rho * t[k + l] - hx0[k + l]);",
     "acc[l] += r * (rho * t[k + l] + hx0[k + l]);", "carried errors: h x0 added instead of subtracted"),
    ("src/gdq_quant/kernels/incremental_errors.cpp", "    v += a[q];\n", "",
     "carried errors: a candidate's changes never reach h u"),
    ("src/gdq_quant/kernels/incremental_errors.cpp", "for (int64_t k0 = 0; k0 < a.cols; k0 += kBlock) {\n    const int64_t w",
     "for (int64_t k0 = 0; k0 + kBlock <= a.cols; k0 += kBlock) {\n    const int64_t w", "carried errors: the last partial block of columns left out"),
    ("src/gdq_quant/quantizer/search.cpp", "if (F_.defined() || scale_out_ || !cfg_.zero_no_shift) return false;",
     "if (F_.defined() || scale_out_) return false;", "carried errors under the real-zero convention"),
    ("src/gdq_quant/kernels/incremental_errors.cpp", "grid_offsets(x, v, w, s[0], z[0], a.lo, a.hi);",
     "grid_offsets(x, v, w, a.s[i], z[0], a.lo, a.hi);",
     "carried errors: residuals from the stack's first scale's grid values"),
    ("src/gdq_quant/kernels/incremental_errors.cpp", "    std::copy(cur.begin(), cur.end(), u);\n", "",
     "carried errors: a stack's last offsets not kept for the next"),
    ("src/gdq_quant/kernels/incremental_errors.cpp", "for (int64_t j = 0; j < n; ++j) moved[j] = v[j] != cur[j];",
     "for (int64_t j = 0; j < n; ++j) moved[j] = v[j] > cur[j];", "carried errors: only the entries that moved up counted"),
    ("src/gdq_quant/kernels/incremental_errors.cpp", "static_cast<uint16_t>(Grouped ? j / a.gs : 0)",
     "static_cast<uint16_t>(0)", "carried group errors: every change weighted by the first group's s_ref"),
    ("src/gdq_quant/kernels/incremental_errors.cpp", "n = std::min(w, (g + 1) * a.gs - k0) - k;",
     "n = std::min(w, (g + 1) * a.gs) - k;", "carried group errors: a segment runs past its group's end"),
    ("src/gdq_quant/kernels/incremental_errors.cpp", "(u_.to(at::kDouble).view({rows, G, gs_}) * sref_.unsqueeze(2))",
     "(u_.to(at::kDouble).view({rows, G, gs_}))", "carried group errors: the first h u without s_ref"),
    ("src/gdq_quant/kernels/incremental_errors.cpp", "r[k] = static_cast<double>(a.s[bi * a.G + k / a.gs])",
     "r[k] = static_cast<double>(a.s[bi * a.G])", "direct group errors: every residual with the first group's scale"),
    ("src/gdq_quant/kernels/incremental_errors.cpp", "for (int64_t l = 0; l < kBlock; ++l) err += r[k0 + l] * hr[l];",
     "for (int64_t l = 0; l < kBlock; ++l) err += r[l] * hr[l];", "direct group errors: every block against the first"),
    ("mivra/engine/float_target.py", "perdamp = perdamp * (1.0 + per_dim * Hq.shape[-1] / max(float(n), 1.0))",
     "perdamp = perdamp * (1.0 + per_dim * Hq.shape[-1])", "float target: the ridge ignores how many vectors there are"),
    # --- a run's overheads ---
    ("mivra/engine/quant_pass.py", "PairedMoments(not from_output, means=r.bias_correction)",
     "PairedMoments(not from_output, means=False)", "sequential bias correction without the paired means"),
    ("mivra/engine/stream.py", "            if qmodel is not model:     # its own weights or bias: its own session",
     "            if False:", "quantized stream: a layer runs with the float stream's weights"),
    ("mivra/api/graph_edit.py", "for i in reversed([i for i, t in enumerate(field) if t.name in names]):",
     "for i in [i for i, t in enumerate(field) if t.name in names]:", "dropping initializers: indices shift under the loop"),
    ("mivra/export.py", "    u &= 0x0F\n", "", "INT4 packing: a negative value's high nibble spills into its neighbour"),
    ("mivra/scheme.py", "        w -= zp.astype(np.float32)[..., None]", "        w += zp.astype(np.float32)[..., None]",
     "dequantization: the zero point added"),
    ("mivra/api/ir.py", "self.stored_bytes = model_file.stored_bytes(path, proto)",
     "self.stored_bytes = os.path.getsize(path)", "model size without its external data files"),
    ("mivra/cli.py", "keep_vi = job.ir.source_value_info", "keep_vi = set()",
     "exports lose the value_info the source model had"),
    ("mivra/engine/stream.py", "                    before(node, self)      # a stop leading its segment: its inputs are here",
     "                    pass", "plain pass: a layer leading a segment never gets its statistics"),
    ("mivra/engine/stream.py", "(self.quant is not None or after is not None))",
     "False)", "sequential pass: a quantized layer runs in a segment with the float weights"),
    ("mivra/engine/quant_pass.py", "        if self.recipe.sequential:\n            active = list(",
     "        if False:\n            active = list(", "sequential pass: bias holders run with the float biases"),
    ("mivra/cli.py", "if any(os.path.commonpath([folder, p]) == folder for p in existing):",
     "if False:", "an export may overwrite the model's external data"),
    ("src/gdq_quant/common/json_numbers.cpp", "if (decpt <= -4 || decpt > 16) {",
     "if (decpt < -4 || decpt > 16) {", "JSON numbers: 1e-05 written positionally"),
    ("src/gdq_quant/common/json_numbers.cpp", "out.append(static_cast<size_t>(-decpt), '0');",
     "out.append(static_cast<size_t>(1 - decpt), '0');", "JSON numbers: one zero too many after the point"),
    ("mivra/outputs.py", "v.dtype in (np.float64, np.int64) and np.isfinite(v).all():",
     "v.dtype in (np.float64, np.int64):", "JSON numbers: a NaN reaches the native writer"),
    ("src/gdq_quant/quantizer/group_closed_form.cpp", "const int64_t per = (rows + parts - 1) / parts;",
     "const int64_t per = rows / parts;", "group closed form: the last rows of an uneven split left out"),
    ("src/gdq_quant/quantizer/group_closed_form.cpp", "if (i < G) return p12[(i * C + c) * G + (j - G)];",
     "if (i < G) return p11[(i * C + c) * G + (j - G)];", "group closed form: the scale-zero block read from the scale block"),
    ("src/gdq_quant/quantizer/group_closed_form.cpp", "    U.mul_(x_int);\n", "",
     "group closed form: the scale block without the integers"),
    ("src/gdq_quant/quantizer/group_closed_form.cpp",
     "Pc[i * n + j] = Pc[j * n + i] = static_cast<O>((a(c, i, j) + a(c, j, i)) / T(2));",
     "Pc[i * n + j] = Pc[j * n + i] = static_cast<O>(a(c, i, j));",
     "group closed form: the one-pass systems not symmetrised (a few units in the last place)"),
    # --- patch sums at unit stride ---
    ("mivra/engine/float_target.py", "lo, hi = min(max(start, 0), size), min(max(start + n, 0), size)",
     "lo, hi = min(max(start, 0), size), min(max(start + n - 1, 0), size)", "unit-stride patch sums: windows one short"),
    ("mivra/engine/float_target.py", "cols = [window(xs, rows, j * dw - pw, Wo, 2) for j in range(kw)]",
     "cols = [window(xs, rows, j * dw, Wo, 2) for j in range(kw)]", "unit-stride patch sums: column padding ignored"),
]


def _restore(path: str, text: str) -> None:
    with open(path, "w") as fh:
        fh.write(text)


def run_fault(k: int, fault, pytest_args: list, timeout: int) -> tuple[str, float, str]:
    """(status, seconds, the first test that failed) of one fault."""
    rel, old, new, _ = fault
    path = os.path.join(ROOT, rel)
    with open(path) as fh:
        original = fh.read()
    if original.count(old) != 1:
        return f"not applied ({original.count(old)} matches)", 0.0, ""
    t0 = time.perf_counter()
    # A folder of its own for pytest's temporary files: pytest sessions running beside this
    # one (other checkouts, other users of the machine) prune the shared ones.
    basetemp = tempfile.mkdtemp(prefix="seed_faults_")
    _restore(path, original.replace(old, new))
    try:
        if rel.startswith("src/"):
            b = subprocess.run(["make", "-s", "build"], cwd=ROOT, capture_output=True, text=True)
            if b.returncode:
                return "does not compile", time.perf_counter() - t0, ""
        r = subprocess.run([PY, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", f"--basetemp={basetemp}",
                            *pytest_args], cwd=ROOT, capture_output=True, text=True, timeout=timeout,
                           stdin=subprocess.DEVNULL)
        by = next((line.split(" - ")[0].split(" ", 1)[1] for line in r.stdout.splitlines()
                   if line.startswith(("FAILED ", "ERROR "))), "")
        return ("caught" if r.returncode else "MISSED"), time.perf_counter() - t0, by
    except subprocess.TimeoutExpired:
        return "caught (timeout)", time.perf_counter() - t0, ""
    finally:
        _restore(path, original)
        shutil.rmtree(basetemp, ignore_errors=True)
        if rel.startswith("src/"):      # the next fault runs against the restored core
            subprocess.run(["make", "-s", "build"], cwd=ROOT, capture_output=True)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("which", nargs="*", type=int, help="fault numbers (default: all)")
    ap.add_argument("--list", action="store_true")
    ap.add_argument("--timeout", type=int, default=900)
    ap.add_argument("--pytest", default="tests", help="what pytest runs (default: tests)")
    args = ap.parse_args()
    if args.list:
        for k, f in enumerate(FAULTS):
            print(f"{k:2d}  {f[0]}: {f[3]}")
        return 0
    # Sources must come back even on Ctrl-C or SIGTERM: turn them into exceptions.
    signal.signal(signal.SIGTERM, lambda *_: (_ for _ in ()).throw(KeyboardInterrupt()))
    chosen = args.which or range(len(FAULTS))
    results, cpp = [], False
    try:
        for k in chosen:
            cpp |= FAULTS[k][0].startswith("src/")
            status, secs, by = run_fault(k, FAULTS[k], args.pytest.split(), args.timeout)
            results.append((k, status))
            print(f"{k:2d}  {status:<22} {secs:6.0f} s  {FAULTS[k][0]}: {FAULTS[k][3]}"
                  + (f"  [{by}]" if by else ""), flush=True)
    finally:
        if cpp:
            subprocess.run(["make", "-s", "build"], cwd=ROOT, capture_output=True)
    missed = [k for k, s in results if not s.startswith("caught")]
    print(f"\n{len(results) - len(missed)} of {len(results)} faults caught" +
          (f"; not caught: {missed}" if missed else ""))
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
