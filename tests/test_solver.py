import builtins
import os

import numpy as np
import pytest
import torch
from torch import nn

from mivra.api import gdq_quant as g
import reference as ref


class Conv1D(nn.Module):
    """A transposed fully connected layer: weight (in_features, out_features)."""

    def __init__(self, nin, nout):
        super().__init__()
        self.weight = nn.Parameter(torch.randn(nin, nout))


def conv(cin, cout, k=3, **kw):
    torch.manual_seed(cin * 1000 + cout)
    return nn.Conv2d(cin, cout, k, bias=False, **kw)


# --- layer statistics --------------------------------------------------------
@pytest.mark.parametrize("cin,shape,geom", [
    (2, (3, 6, 7), dict(kernel_size=(3, 2), stride=(2, 1), padding=(1, 0), dilation=(1, 2))),
    (2, (3, 6, 7), dict(kernel_size=1)),            # pointwise: the pixels are the patches
    (2, (130, 5, 5), dict(kernel_size=3, padding=1)),  # 130 images: several chunks
    (32, (3, 5, 5), dict(kernel_size=3)),           # 288 features: the Gram product splits
    (1, (2, 64, 64), dict(kernel_size=3, padding=1)),  # 4096 positions: one product per image
])
def test_conv_H_is_mean_of_unfolded_patch_products_over_batches(cin, shape, geom):
    layer = nn.Conv2d(cin, 4, bias=False, **geom)
    x = np.random.default_rng(0).standard_normal((shape[0], cin) + shape[1:]).astype(np.float32)
    X, k = ref.unfold(x, layer.kernel_size, layer.stride, layer.padding, layer.dilation), shape[0] // 3 + 1
    H, n = X @ X.T / X.shape[1], X.shape[1]
    for parts in ([x], [x[:k], x[k:]]):
        d = g.decoupleQ(layer)
        for part in parts:
            d.add_batch(torch.tensor(part), None, None)
        assert d.H.dtype == torch.float64 and d.nsamples == n
        np.testing.assert_allclose(d.H.numpy(), H, rtol=1e-11, atol=1e-13)


@pytest.mark.parametrize("features", [5, 600])  # 600: the Gram product splits twice
def test_mask_weights_linear_vectors_and_only_counts_for_conv(features):
    rng = np.random.default_rng(2)
    x, m = rng.standard_normal((2, 4, features)), rng.uniform(0, 1, size=(2, 4)).astype(np.float32)
    d = g.decoupleQ(nn.Linear(features, 2, bias=False))
    d.add_batch(torch.tensor(x), None, torch.tensor(m))
    xm = x.reshape(-1, features) * m.astype(np.float64).reshape(-1, 1)
    np.testing.assert_allclose(d.nsamples, m.sum(), rtol=1e-6)
    np.testing.assert_allclose(d.H.numpy(), xm.T @ xm / float(d.nsamples), rtol=1e-10, atol=1e-15)
    layer, x = conv(2, 2), torch.randn(2, 2, 4, 4)
    plain, masked = g.decoupleQ(layer), g.decoupleQ(layer)
    plain.add_batch(x, None, None)
    masked.add_batch(x, None, torch.full((8,), 0.5))
    assert masked.nsamples == 4.0
    torch.testing.assert_close(masked.H, plain.H * plain.nsamples / 4.0)
    with pytest.raises(NotImplementedError, match="not support yet"):
        g.decoupleQ(nn.Conv1d(2, 3, 3))


@pytest.mark.parametrize("transposed", [False, True])
def test_running_mean_over_batches_after_an_empty_one_skipping_nan(transposed, capsys,
                                                                   monkeypatch):
    # Conv1D keeps (in, out) weights; its statistics use the last axis too.
    d = g.decoupleQ(Conv1D(3, 2) if transposed else nn.Linear(3, 2, bias=False))
    rng = np.random.default_rng(3)
    a, b = rng.standard_normal((4, 3)), rng.standard_normal((2, 7, 3))
    assert (d.rows, d.columns) == (2, 3)
    d.add_batch(torch.zeros(0, 3), None, None)
    assert not isinstance(d.H, torch.Tensor) and d.H == 0 and d.nsamples == 0
    for batch in (a, b):
        d.add_batch(torch.tensor(batch), None, None)
    x = np.concatenate([a, b.reshape(-1, 3)])
    assert d.nsamples == 18 and np.allclose(d.H.numpy(), x.T @ x / 18, rtol=1e-12, atol=0)
    H, bad = d.H.clone(), torch.randn(6, 3)
    bad[2, 1] = float("nan")
    # Asked for 8 threads, the core runs on at most the CPUs the process may use.
    seen, real_print = [], builtins.print
    monkeypatch.setattr(builtins, "print", lambda *a: seen.append(torch.get_num_threads()) or real_print(*a))
    torch.set_num_threads(8)
    d.add_batch(bad, None, None)  # a NaN batch is skipped, an inf one is not
    assert capsys.readouterr().out == "catch a NAN!!!!!!\n" and torch.get_num_threads() == 8
    assert seen == [min(8, g._available_cpus())] and g._available_cpus() <= len(os.sched_getaffinity(0))
    assert torch.equal(d.H, H) and d.nsamples == 18
    bad[2, 1] = float("inf")
    d.add_batch(bad, None, None)
    assert capsys.readouterr().out == "" and d.nsamples == 24


# --- solver ----------------------------------------------------------------

def calib(cin, n=6, hw=7, seed=0):
    """Correlated, non-negative calibration images (post-activation like)."""
    rng = np.random.default_rng(seed)
    z = rng.standard_normal((n, cin, hw, hw))
    z = z + 0.8 * np.roll(z, 1, axis=1) + 0.5 * rng.standard_normal((n, 1, 1, 1))
    return torch.tensor(np.maximum(z, 0) + 0.1 * z, dtype=torch.float32)


def solve(layer, x, *, groupsize=-1, sym=False, max_iter_num=4, actorder=True, print_log=False,
          iters_for_scale=4, H=None, bits=4):
    d = g.decoupleQ(layer, print_log=print_log)
    d.quantizer = g.Quantizer()
    d.quantizer.configure(bits=bits, sym=sym, iters_for_scale=iters_for_scale)
    if H is None:
        d.add_batch(x, None, None)
    else:
        d.H, d.nsamples = H.clone(), 1000
    H, w = d.H.clone(), layer.weight.data.detach().clone().float()
    W = w.t().contiguous() if isinstance(layer, Conv1D) else w.flatten(1)
    return d, W, H, d.startquant(groupsize, sym, max_iter_num, 50, 50, "cpu", 0.001,
                                 actorder=actorder, round_fn="gptq")


@pytest.mark.parametrize("bits,mask,tensor_ops", [(4, False, False), (2, False, False),
                                                 (4, True, False), (2, False, True)])
def test_search_over_fewer_vectors_than_columns_chooses_as_the_full_product(bits, mask, tensor_ops):
    """Pooled features of a classifier head: 40 vectors of 160 columns make H of
    rank 40, whose search sums each candidate's error as |r F|^2 + damping |r|^2
    (H = F F^T): the same choices as the full product with H, which a sample
    count of a million forces. Mask weights of 1/4 count 10 vectors though the
    rank is 40: the count is no bound there, and the full product serves. Also
    with the tensor operations used off the CPU."""
    rng = np.random.default_rng(21)
    x = torch.tensor(np.maximum(rng.standard_normal((40, 160)), 0) * rng.uniform(0.2, 3, 160),
                     dtype=torch.float32)
    w = torch.tensor(rng.standard_normal((48, 160)) * 0.1, dtype=torch.float32)
    out = []
    for count in (None, 10 ** 6):
        layer = nn.Linear(160, 48, bias=False)
        layer.weight.data = w.clone()
        d = g.decoupleQ(layer)
        d.quantizer = g.Quantizer()
        d.quantizer.configure(bits=bits, sym=False)
        d.add_batch(x, None, torch.full((40,), 0.25) if mask else None)
        d.nsamples = count or d.nsamples
        g._arm_fault("shrink_tensor_ops", 10 ** 6 if tensor_ops else 0)
        try:
            out.append(d.startquant(-1, False, 4, 50, 50, "cpu", 0.001))
        finally:
            g._arm_fault("shrink_tensor_ops", 0)
    (so, zo, w_int, err), (so_f, zo_f, w_int_f, err_f) = out
    assert torch.equal(w_int, w_int_f) and torch.equal(so, so_f) and torch.equal(zo, zo_f)
    np.testing.assert_allclose(err.numpy(), err_f.numpy(), rtol=1e-5)


def damped(H):
    return H.float() + 0.01 * H.float().diagonal().mean() * torch.eye(len(H))


def assert_err_of(err, W, H, w_int, so, zo, groupsize=-1, sym=False):
    """The returned row errors are those of the returned weights under damped H."""
    wi = w_int.reshape(w_int.shape[0], -1).double()
    s, z = (t.double().repeat_interleave(wi.shape[1] // t.shape[1], 1) for t in (so, zo))
    Q = wi * s + (0 if sym else z)
    expected = ref.quad_err(W.double().numpy(), Q.numpy(), damped(H).double().numpy())
    np.testing.assert_allclose(err.double().numpy(), expected, rtol=2e-3, atol=1e-6)
    return Q


@pytest.mark.parametrize("groupsize,sym,actorder", [
    (-1, False, True), (24, True, True), (-1, False, False), (24, True, False)])
def test_returned_error_is_the_error_of_the_returned_weights(groupsize, sym, actorder):
    layer = conv(8, 16)
    d, W, H, (so, zo, w_int, err) = solve(layer, calib(8), groupsize=groupsize, sym=sym,
                                          actorder=actorder)
    assert so.shape == zo.shape == (16, 1 if groupsize == -1 else 3) and err.shape == (16,)
    assert w_int.dtype == torch.int8 and w_int.shape == layer.weight.shape
    assert -8 <= int(w_int.min()) and int(w_int.max()) <= 7
    Q = assert_err_of(err, W, H, w_int, so, zo, groupsize, sym)
    # The layer now holds the dequantized weights; H is consumed.
    np.testing.assert_allclose(layer.weight.data.reshape(16, -1).double().numpy(), Q.numpy(),
                               rtol=1e-6, atol=1e-6)
    assert not hasattr(d, "H")
    with pytest.raises(AttributeError):
        d.startquant(-1, False, 2, 50, 50, "cpu", 0.001)


def test_alternation_never_worsens_a_row_and_improves_the_first_estimate():
    x = calib(8, seed=1)
    err0, err1, err4 = (solve(conv(8, 16), x, max_iter_num=n)[3][3] for n in (0, 1, 4))
    assert torch.all(err1 <= err0) and torch.all(err4 <= err1)
    assert err4.sum() < err0.sum()


def on_grid(rng, rows, first):
    """Integers of the 4-bit grid with columns first and first + 1 at its ends."""
    q = rng.integers(-8, 8, size=(rows, 16)).astype(np.float32)
    q[:, first], q[:, first + 1] = -8, 7
    return q


def test_candidates_with_equal_error_are_not_taken(capsys):
    # Weights exactly on the min/max grid: the first estimate has error 0 and
    # every candidate can at best tie, so no row is ever replaced and the loop
    # ends at the first rounding step.
    layer, rng = nn.Linear(16, 4, bias=False), np.random.default_rng(5)
    layer.weight.data = torch.tensor((q := on_grid(rng, 4, 0)) * 0.25)
    x = torch.tensor(rng.standard_normal((64, 16)), dtype=torch.float32)
    _, _, _, (so, zo, w_int, err) = solve(layer, x, max_iter_num=4, print_log=True)
    assert capsys.readouterr().out.splitlines()[1:5] == [
        "get scale via minmax, the init loss is 0.0",
        "the success rate of gptq is 0.0, the loss is 0.0",
        "Iter 0, the success rate of opt_intW is 0.0, the loss is 0.0",
        "after 0 of pure_training, the loss is 0.0"]
    assert torch.equal(w_int.float(), torch.tensor(q)) and torch.all(so == 0.25) and torch.all(err == 0)


def test_conv1d_results_are_transposed_and_a_float64_layer_keeps_its_dtype():
    rng = np.random.default_rng(7)
    w = torch.tensor(rng.standard_normal((10, 6)))  # (in, out)
    c1, lin = Conv1D(10, 6), nn.Linear(10, 6, bias=False).double()
    c1.weight.data, lin.weight.data = w.float(), w.t().clone()
    x = torch.tensor(rng.standard_normal((80, 10)), dtype=torch.float32)
    so_c, zo_c, wi_c, err_c = solve(c1, x)[3]
    so_l, zo_l, wi_l, err_l = solve(lin, x.double())[3]
    assert wi_c.shape == (10, 6) and so_c.shape == (1, 6) and torch.equal(wi_c, wi_l.t())
    for a, b in ((so_c, so_l.t()), (zo_c, zo_l.t()), (err_c, err_l),
                 (c1.weight.data, lin.weight.data.t().float())):
        torch.testing.assert_close(a, b)
    # The float64 layer holds the float32 dequantized weights, widened.
    assert so_l.dtype == torch.float32 and lin.weight.dtype == torch.float64
    assert torch.equal(lin.weight.data, (wi_l.float() * so_l + zo_l).double())


# --- out-of-memory retry and numerical breakdown -----------------------------

@pytest.fixture
def armed():
    yield g._arm_fault
    g._arm_fault("scale_step_oom", 0)


OOM1 = "catch an OutOfMemoryError, the shape of the weight is  torch.Size([{}, 72]) " \
       "we will spilt to get scale"
OOM2 = "catch an OutOfMemoryError again, the shape of the weight is  torch.Size([{}, 72]) give up"


def loop_lines(out):
    return [l for l in out.splitlines() if l.startswith(("Iter", "catch", "after"))]


def test_oom_with_rows_not_divisible_by_16_stops_the_loop(armed, capsys):
    armed("scale_step_oom", 1)
    d, W, H, (so, zo, w_int, err) = solve(conv(8, 40), calib(8, seed=8), max_iter_num=3,
                                          print_log=True)
    lines = loop_lines(capsys.readouterr().out)
    assert len(lines) == 3 and lines[1] == OOM1.format(40)
    assert lines[0].startswith("Iter 0, the success rate of opt_intW is ") and lines[2].startswith(
        "after 0 of pure_training, the loss is ")
    assert_err_of(err, W, H, w_int, so, zo)


def test_oom_with_48_rows_is_retried_in_16_blocks_and_a_second_oom_gives_up(armed, capsys):
    x = calib(8, seed=9)
    plain = solve(conv(8, 48), x, max_iter_num=2, print_log=True)[3]
    plain_lines = loop_lines(capsys.readouterr().out)
    armed("scale_step_oom", 1)
    split = solve(conv(8, 48), x, max_iter_num=2, print_log=True)[3]
    lines = loop_lines(capsys.readouterr().out)
    assert lines[1] == OOM1.format(48)
    assert lines[2].startswith("Iter 0, the success rate of analytic_scale is ")
    cut = lambda ls: [l.split(", the loss is ")[0] for l in ls if not l.startswith("catch")]
    assert cut(lines) == cut(plain_lines)
    for a, b in zip(split, plain):
        torch.testing.assert_close(a, b, rtol=1e-4, atol=1e-6)
    one = solve(conv(8, 48), x, max_iter_num=1)[3]
    armed("scale_step_oom", 2)
    err = solve(conv(8, 48), x, max_iter_num=3, print_log=True)[3][3]
    lines = loop_lines(capsys.readouterr().out)
    assert lines[1:3] == [OOM1.format(48), OOM2.format(48)] and len(lines) == 4
    assert lines[3].startswith("after 0 of pure_training, the loss is ")
    assert torch.all(err <= one[3])


FATAL = "Fatal error, the eigenvalues os hessian is "
LADDER = "海森矩阵为非正定矩阵 "


def indefinite(w):
    """A linear layer with weights w and an H whose feature 0 has curvature -3."""
    layer = nn.Linear(16, w.shape[0], bias=False)
    layer.weight.data = torch.tensor(w, dtype=torch.float32)
    H = torch.eye(16, dtype=torch.float64)
    H[0, 0] = -3.0
    return layer, H


def test_negative_error_in_the_scale_step_is_fatal(capsys):
    layer, H = indefinite(np.random.default_rng(10).standard_normal((8, 16)))
    with pytest.raises(ValueError, match="^" + FATAL + "tensor") as info:
        solve(layer, None, H=H, max_iter_num=2)
    eig = str(info.value)[len(FATAL):]
    assert "-2.99" in eig  # the negative eigenvalue of the damped H
    out = capsys.readouterr().out
    assert out.endswith("\n" + eig + "\n")  # printed before raising
    # Both roundings (first pass, loop) report the damping levels that failed.
    ladder = [LADDER + t for t in ("0.01", "0.1", "1.0")]
    assert [l for l in out.splitlines() if l.startswith(LADDER)] == ladder * 2


@pytest.mark.parametrize("print_log", [True, False])
def test_negative_error_after_a_rounding_step(print_log, capsys):
    # Weights on the 0.25 grid except for an offset in feature 0: the rounding
    # step leaves negative errors, reported only with logging while the loop
    # goes on to the scale step, where they are fatal.
    w = on_grid(np.random.default_rng(11), 4, 1) * 0.25
    w[:, 0] += 0.1
    layer, H = indefinite(w)
    with pytest.raises(ValueError, match="^" + FATAL) as info:
        solve(layer, None, H=H, max_iter_num=2, print_log=print_log)
    lines = capsys.readouterr().out.splitlines()
    if not print_log:  # only the ladder lines and the eigenvalues before the error
        assert [l for l in lines if not l.startswith(LADDER)] == str(info.value)[len(FATAL):].splitlines()
        return
    i = next(k for k, l in enumerate(lines) if l.startswith("The eigenvalues is tensor(["))
    assert "-2.9925" in lines[i]
    values = lambda p: [float(v) for v in next(l for l in lines[i:] if l.startswith(p))  # noqa: E731
                        .split("[")[1].split("]")[0].split(",")]
    errs, negs = values("The err is  tensor(["), values("The negative err is  tensor([")
    assert negs == [e for e in errs if e < 0] and negs
    assert any(l.startswith("Iter 0, the success rate of opt_intW is ") for l in lines[i:])


# --- exact log and results of the alternation ---------------------------------

def test_sample_count_is_printed_as_the_host_writes_it(capsys):
    # A mask makes the count a float even when its sum is whole.
    d = g.decoupleQ(nn.Linear(5, 16, bias=False), print_log=True)
    d.quantizer = g.Quantizer()
    d.quantizer.configure(bits=4)
    d.add_batch(torch.randn(6, 5), None, torch.ones(6))
    assert d.nsamples == 6 and isinstance(d.nsamples, float)
    d.startquant(-1, False, 0, 50, 50, "cpu", 0.001)
    assert capsys.readouterr().out.splitlines()[0].endswith(" nsample 6.0, columns 5")


def startquant_steps(W, H, q, groupsize, sym, max_iter_num, log, perm=None):
    """The alternation written out with the module's public pieces: every
    rounding runs its own damping ladder (opt_intW3 -> round_gptq); act order
    is torch.argsort(diag, descending=True), ties included."""
    Hd, remembered, q.iters_for_scale = damped(H), q.iters_for_scale, 0
    scale, zero, so, zo, err = q.find_params(W, groupsize=groupsize, H=Hd)
    log(f"get scale via minmax, the init loss is {err.mean().item()}")
    w_int = q.get_fake_int_in(W, scale, zero, groupsize=groupsize)
    perm = torch.argsort(Hd.diagonal(), descending=True) if perm is None else perm

    def rounding(so0, zo0, **kw):
        s0, z0 = g.repeat_interleave(W, groupsize, so0, zo0)
        wi, _, e = g.opt_intW3(s0[:, perm], z0[:, perm], Hd[perm][:, perm], sym, q.min_bound,
                               q.max_bound, W[:, perm], **kw)
        return wi[:, torch.argsort(perm)], e

    def accept(what, wi0, so0, zo0, e0):  # strict improvement only; returns the rate
        tmp = e0 < err
        if wi0 is not None:
            w_int[tmp] = wi0[tmp]
        so[tmp], zo[tmp], err[tmp] = so0[tmp], zo0[tmp], e0[tmp]
        log(f"{what} is {tmp.sum().item() / len(tmp)}, the loss is {err.mean().item()}")
        return tmp.sum().item() / len(tmp)

    if max_iter_num >= 1:
        wi0, e0 = rounding(so, zo, round_fn="gptq")
        accept("the success rate of gptq", wi0, so, zo, e0)
    it = -1
    for it in range(max_iter_num - 1):
        q.iters_for_scale = max(remembered, 2)
        so0, zo0 = q.find_params(W, groupsize=groupsize, H=Hd)[2:4] if it == 0 else (so, zo)
        wi0, e0 = rounding(so0, zo0, x_init=None, max_iter=50, lr=0.001, max_inner_iter=50,
                           round_fn="gptq")
        if accept(f"Iter {it}, the success rate of opt_intW", wi0, so0, zo0, e0) < 0.0001:
            break
        so0, zo0, e0 = q.get_scale_and_zero_out_group(H=Hd, groupsize=groupsize, x0=W, x_int=w_int)
        if accept(f"Iter {it}, the success rate of analytic_scale", None, so0, zo0, e0) < 0.0001:
            break
    log(f"after {it} of pure_training, the loss is {err.mean().item()}")
    return so, zo, w_int, err


def tied_layer():
    """Linear 24 -> 32 with H = 0.9^|i-j|: every diagonal element of H ties."""
    layer, i = nn.Linear(24, 32, bias=False), np.arange(24)
    layer.weight.data = torch.tensor(np.random.default_rng(12).standard_normal((32, 24)), dtype=torch.float32)
    return layer, torch.tensor(0.9 ** np.abs(i[:, None] - i[None, :]), dtype=torch.float64)


@pytest.mark.parametrize("groupsize,sym,max_iter_num,iters,after,tied", [
    (-1, False, 4, 4, 4, False), (24, True, 4, 1, 2, False), (-1, True, 3, 0, 2, False),
    (-1, False, 1, 4, 0, False), (-1, False, 0, 4, 0, False), (-1, False, 1, 4, 0, True)])
def test_solver_equals_the_steps_with_a_fresh_ladder_per_rounding(groupsize, sym, max_iter_num,
                                                                   iters, after, tied, capsys):
    # Exact results and log lines; max_iter_num 0 returns the first estimate,
    # 1 runs only the GPTQ pass; the loop raises iters_for_scale to at least 2.
    layer, H0 = tied_layer() if tied else (conv(8, 16), None)
    d, W, H, (so, zo, w_int, err) = solve(layer, calib(8, seed=13), groupsize=groupsize, sym=sym,
                                          max_iter_num=max_iter_num, iters_for_scale=iters,
                                          print_log=True, H=H0)
    lines, q, expected = capsys.readouterr().out.splitlines(), g.Quantizer(), []
    q.configure(bits=4, sym=sym, iters_for_scale=iters)
    so_r, zo_r, wi_r, err_r = startquant_steps(W, H, q, groupsize, sym, max_iter_num, expected.append)
    assert lines[0] == ("The number of samples for GPTQ must be larger than the dimension of "
                        "Hession matrix;Otherwise, H must be a singular matrix and cannot be "
                        "inverted. nsample " + ("1000, columns 24" if tied else "150, columns 72"))
    assert lines[1:-1] == expected and lines[-1].startswith("finally the loss is  ")
    assert all(map(torch.equal, (so, zo, err, w_int.reshape(W.shape[0], -1).float()),
                   (so_r, zo_r, err_r, wi_r)))
    assert d.quantizer.iters_for_scale == q.iters_for_scale == after
    if tied:  # the tie order matters: plain column order would round differently
        q.configure(bits=4, sym=sym, iters_for_scale=iters)
        plain = startquant_steps(W, H, q, -1, sym, 1, lambda _: None, perm=torch.arange(24))
        assert not torch.equal(plain[2], wi_r)


# --- grouped convolutions: one Hessian per block of rows ----------------------

@pytest.mark.parametrize("cin,groups,shape,geom", [
    (6, 3, (3, 6, 7), dict(kernel_size=(3, 2), stride=(2, 1), padding=(1, 0), dilation=(1, 2))),
    (4, 4, (130, 5, 5), dict(kernel_size=3, padding=1)),   # depthwise, several chunks
    (4, 2, (3, 6, 7), dict(kernel_size=1)),                 # pointwise
    (6, 2, (2, 26, 26), dict(kernel_size=3)),               # 576 positions: one image per chunk
    (8, 2, (3, 9, 8), dict(kernel_size=3, stride=2, padding=1)),   # 36 values per patch
    (2, 2, (1, 30, 30), dict(kernel_size=3, padding=1)),    # blocks of rows, the last one partial
])
def test_grouped_conv_H_is_one_patch_moment_per_group(cin, groups, shape, geom, capsys):
    layer = nn.Conv2d(cin, 2 * groups, groups=groups, bias=False, **geom)
    x = np.random.default_rng(1).standard_normal((shape[0], cin) + shape[1:]).astype(np.float32)
    cg, k = cin // groups, shape[0] // 3 + 1
    X = [ref.unfold(x[:, j * cg:(j + 1) * cg], layer.kernel_size, layer.stride, layer.padding,
                    layer.dilation) for j in range(groups)]
    for parts in ([x], [x[:k], x[k:]]):
        d = g.decoupleQ(layer)
        for part in parts:
            d.add_batch(torch.tensor(part), None, None)
        assert d.H.dtype == torch.float64 and d.H.shape == (groups,) + (X[0].shape[0],) * 2
        assert d.nsamples == X[0].shape[1] and torch.equal(d.H, d.H.transpose(1, 2))
        for j in range(groups):
            np.testing.assert_allclose(d.H[j].numpy(), X[j] @ X[j].T / X[j].shape[1],
                                       rtol=1e-11, atol=1e-13)
    # a batch holding a NaN anywhere (also where no patch reads) is skipped
    H, bad = d.H.clone(), x[:1].copy()
    bad[0, -1, -1, -1] = np.nan
    d.add_batch(torch.tensor(bad), None, None)
    assert capsys.readouterr().out == "catch a NAN!!!!!!\n"
    assert torch.equal(d.H, H) and d.nsamples == X[0].shape[1]


def stacked_problem(seed, groups, rows, cols):
    """Weights of `groups` blocks of `rows` rows and one Hessian per block, of
    scales 1, 4, 16, ... (a damping from another block's diagonal shows)."""
    rng = np.random.default_rng(seed)
    W = rng.standard_normal((groups * rows, cols)) * rng.uniform(0.5, 2.0, size=(groups * rows, 1))
    H = np.stack([ref.correlated_hessian(rng, cols) * 4.0 ** k for k in range(groups)])
    return torch.tensor(W, dtype=torch.float32), torch.tensor(H)


def linear(W):
    layer = nn.Linear(W.shape[1], W.shape[0], bias=False)
    layer.weight.data = W.clone()
    return layer


def stacked_and_separate(W, H, capsys, **kw):
    """startquant once with the stack H and once per block with H[k]: the two
    results (scale_out, zero_out, w_int, err) and the stdout of each."""
    r, out = W.shape[0] // H.shape[0], []
    one = solve(linear(W), None, H=H, **kw)[3]
    out.append(capsys.readouterr().out)
    parts = [solve(linear(W[k * r:(k + 1) * r]), None, H=H[k], **kw)[3] for k in range(len(H))]
    out.append(capsys.readouterr().out)
    return one, [torch.cat(t) for t in zip(*parts)], out


def assert_same_solution(one, parts):
    """Equal integers; the float results up to the summation order."""
    assert torch.equal(one[2], parts[2])
    for a, b in zip(one[:2] + one[3:], parts[:2] + parts[3:]):
        torch.testing.assert_close(a, b, rtol=1e-4, atol=1e-6)


@pytest.mark.parametrize("path", ["row_loop", "tensor_ops"])
@pytest.mark.parametrize("seed,groups,rows,cols,bits,sym", [
    (0, 3, 4, 12, 4, False), (1, 4, 3, 9, 2, True), (2, 2, 2, 200, 4, False),  # 200: one ladder per matrix
    (3, 1, 5, 10, 3, False)])  # a stack of one is the 2-D call
def test_stacked_hessian_solves_each_block_as_its_own_call(seed, groups, rows, cols, bits, sym,
                                                           path, capsys):
    W, H = stacked_problem(seed, groups, rows, cols)
    g._arm_fault("gptq_tensor_ops", 10 ** 6 if path == "tensor_ops" else 0)
    try:  # the batched tensor operations stand for the device path
        one = solve(linear(W), None, H=H, sym=sym, bits=bits)[3]
    finally:
        g._arm_fault("gptq_tensor_ops", 0)
    _, parts, _ = stacked_and_separate(W, H, capsys, sym=sym, bits=bits)
    if path == "tensor_ops":
        assert (one[2] == parts[2]).double().mean() >= 0.999
        return
    assert_same_solution(one, parts)
    if groups == 1:
        assert all(map(torch.equal, one, solve(linear(W), None, H=H[0], sym=sym, bits=bits)[3]))
        return
    with pytest.raises(RuntimeError, match="groupsize -1"):
        solve(linear(W), None, H=H, groupsize=cols // 2 if cols % 2 == 0 else cols // 3)
    with pytest.raises(RuntimeError, match="G dividing the"):
        solve(linear(W[1:]), None, H=H)


def test_blocks_not_positive_definite_climb_their_own_ladders_and_stop_on_their_own(capsys):
    # Block 1 (feature 0 at curvature -3) fails three levels, block 2 (-0.5)
    # two, block 0 none: the lines come block by block as separate calls
    # print them, and each block is solved on its own level.
    W, H = stacked_problem(4, 3, 4, 16)
    H[1], H[2] = torch.eye(16, dtype=torch.float64), torch.eye(16, dtype=torch.float64)
    H[1, 0, 0], H[2, 0, 0] = -3.0, -0.5
    one, parts, (out1, outs) = stacked_and_separate(W, H, capsys, max_iter_num=1)
    ladder = lambda out: [l for l in out.splitlines() if l.startswith(LADDER)]  # noqa: E731
    assert ladder(out1) == ladder(outs) == [LADDER + t for t in ("0.01", "0.1", "1.0", "0.01", "0.1")]
    assert_same_solution(one, parts)
    H[1, 0, 0] = -1000.0  # no level factorises block 1
    with pytest.raises(ValueError, match=r"H00\[1\] of row block 1 is not positive definite"):
        solve(linear(W), None, H=H, max_iter_num=1)
    # Blocks of two rows stop the alternation at different iterations; a
    # stopped block keeps its rows while the others go on.
    W, H = stacked_problem(5, 6, 2, 10)
    one, parts, (out1, outs) = stacked_and_separate(W, H, capsys, max_iter_num=8, print_log=True)
    after = [int(l.split()[1]) for l in outs.splitlines() if l.startswith("after ")]
    assert len(set(after)) > 1 and f"after {max(after)} of pure_training" in out1
    assert_same_solution(one, parts)
