"""Options beyond the fixed recipe: each does what it promises."""
import itertools
from dataclasses import replace

import numpy as np
import pytest
from onnx import helper, numpy_helper

from mivra import export, pipeline
from mivra.engine.mixed import WIDTHS, knapsack
from mivra.engine.quant_pass import quantize_model
from onnx_models import _conv, _init, _tvi, finish_model, prepared_job, run_whole_model


def _deep_cnn(rng, width=8, depth=4):
    """input (1, 3, 10, 10) -> depth x (3x3 Conv + Relu) -> 1x1 Conv "out"."""
    inits, nodes, x, cin = [], [], "input", 3
    for k in range(depth):
        w = rng.standard_normal((width, cin, 3, 3)) * np.sqrt(2.0 / (cin * 9))
        inits += [_init(f"w{k}", w.astype(np.float32)),
                  _init(f"b{k}", (rng.standard_normal(width) * 0.1).astype(np.float32))]
        nodes += [_conv([x, f"w{k}", f"b{k}"], f"c{k}"), helper.make_node("Relu", [f"c{k}"], [f"r{k}"])]
        x, cin = f"r{k}", width
    inits.append(_init("head", (rng.standard_normal((4, width, 1, 1)) * 0.3).astype(np.float32)))
    nodes.append(helper.make_node("Conv", [x, "head"], ["out"], name="head", kernel_shape=[1, 1]))
    return finish_model(nodes, [_tvi("input", [1, 3, 10, 10])], [_tvi("out", [1, 4, 10, 10])], inits)


@pytest.fixture(scope="module")
def deep(tmp_path_factory):
    d = tmp_path_factory.mktemp("deep")
    return prepared_job(_deep_cnn(np.random.default_rng(3)), d, n_samples=8, bits=2, qtype="asym")


def _out(model, feeds):
    return run_whole_model(model, feeds)["out"]


def _quantized(job, **opts):
    j = replace(job, opts=replace(job.opts, **opts))
    pipeline.quantize(j, warn=lambda line: None)
    return j, export.export_fake_quant(j.model, j.quant_tab, j.quantized, j.biases)


def test_float_target_fits_the_float_model_best(deep):
    """Model-output error against the float model on the calibration set: the
    sequential float-target fit beats the fixed recipe and the own-target variant. Its
    layers report mean |W x - W' x~|^2 / mean |W x|^2, x the float model's inputs, x~
    the partly quantized model's."""
    ref = _out(deep.model, deep.feeds)
    err = {}
    for name, opts in {"fixed": {}, "float target": dict(sequential=True)}.items():
        job, model = _quantized(deep, **opts)
        err[name] = np.mean((_out(model, deep.feeds) - ref) ** 2)
    f, q = (run_whole_model(m, deep.feeds) for m in (deep.model, model))
    bias = {t.name: numpy_helper.to_array(t).reshape(-1, 1, 1) for t in deep.model.graph.initializer}
    for s in job.stats:      # outputs W x + b, W' x~ + b ("head": "out", no bias)
        out, b = ("out", 0) if s.layer.node == "head" else (s.layer.node, bias["b" + s.layer.node[1:]])
        assert s.err == pytest.approx(np.sum((f[out] - q[out]) ** 2) / np.sum((f[out] - b) ** 2), rel=1e-3), out
    own = quantize_model(deep.ir, deep.feeds, deep.layers,
                         replace(pipeline.recipe_of(deep.opts), sequential=True, float_target=False))
    tab = own.tab("entry")
    m = export.export_fake_quant(deep.model, tab, list(tab))
    err["own target"] = np.mean((_out(m, deep.feeds) - ref) ** 2)
    assert err["float target"] < 0.8 * min(err["fixed"], err["own target"]), err


def _matmul_net(rng):
    """input (1, 3, 10, 10) -> channels last -> MatMul (3, 6) + Relu -> MatMul (6, 4) "out"."""
    inits = [_init("m0", rng.standard_normal((3, 6)).astype(np.float32)),
             _init("m1", rng.standard_normal((6, 4)).astype(np.float32))]
    nodes = [helper.make_node("Transpose", ["input"], ["t"], perm=[0, 2, 3, 1]),
             helper.make_node("MatMul", ["t", "m0"], ["y0"], name="y0"), helper.make_node("Relu", ["y0"], ["r0"]),
             helper.make_node("MatMul", ["r0", "m1"], ["out"], name="y1")]
    return finish_model(nodes, [_tvi("input", [1, 3, 10, 10])], [_tvi("out", [1, 10, 10, 4])], inits)


def _grouped_net(rng):
    """input (1, 4, 10, 10) -> 3x3 Conv of 2 groups + bias, Relu -> 1x1 Conv "out"."""
    inits = [_init("g0", rng.standard_normal((6, 2, 3, 3)).astype(np.float32)),
             _init("gb", rng.standard_normal(6).astype(np.float32)),
             _init("g1", rng.standard_normal((4, 6, 1, 1)).astype(np.float32))]
    nodes = [_conv(["input", "g0", "gb"], "y0", group=2), helper.make_node("Relu", ["y0"], ["r0"]),
             helper.make_node("Conv", ["r0", "g1"], ["out"], name="y1", kernel_shape=[1, 1])]
    return finish_model(nodes, [_tvi("input", [1, 4, 10, 10])], [_tvi("out", [1, 4, 10, 10])], inits)


@pytest.mark.parametrize("net", [_matmul_net, _grouped_net])
def test_sequential_error_table_against_the_models(tmp_path, net):
    """The sequential pass's error per layer, mean |W x - W' x~|^2 / mean |W x|^2,
    against the float and quantized models run whole (W x: the float output less
    its bias) on matrix products of many rows per sample and grouped convolutions."""
    m = net(np.random.default_rng(4))
    job = prepared_job(m, tmp_path, bits=2, qtype="asym")
    job, model = _quantized(job, sequential=True)
    f, q = (run_whole_model(x, job.feeds) for x in (job.model, model))
    inits = {t.name: numpy_helper.to_array(t) for t in m.graph.initializer}
    for s in job.stats:
        out = s.layer.output
        b = inits["gb"].reshape(-1, 1, 1) if s.layer.bias else 0
        assert s.err == pytest.approx(np.sum((f[out] - q[out]) ** 2) / np.sum((f[out] - b) ** 2), rel=1e-3), out


@pytest.mark.parametrize("per_dim", [0.0, 16.0])
def test_float_target_is_the_ridge_fit_toward_the_float_weights(per_dim):
    """W' minimises |W X - W' X~|^2 / n + lambda |W' - W|^2, lambda = 1 % of mean diag H~
    times (1 + per_dim D / n): against a float64 least-squares solve of the stacked system.
    With X~ = X nothing upstream is quantized and W' is W itself, on few vectors per
    feature too; the stronger ridge leaves W' closer to W."""
    import torch

    from mivra.engine.float_target import target_weights

    rng = np.random.default_rng(5)
    D, n = 24, 30                     # barely more vectors than features: small eigenvalues
    W = rng.standard_normal((5, D))
    X = rng.standard_normal((D, n)) * np.linspace(0.05, 2, D)[:, None]
    for Xq in (X, X + 0.1 * rng.standard_normal((D, n))):
        Hq, C = Xq @ Xq.T / n, X @ Xq.T / n
        got = target_weights(W, torch.from_numpy(W @ C), torch.from_numpy(Hq), n, per_dim=per_dim)
        lam = 0.01 * (1 + per_dim * D / n) * np.trace(Hq) / D
        A = np.vstack([Xq.T / np.sqrt(n), np.sqrt(lam) * np.eye(D)])
        B = np.vstack([X.T @ W.T / np.sqrt(n), np.sqrt(lam) * W.T])
        want = np.linalg.lstsq(A, B, rcond=None)[0].T
        np.testing.assert_allclose(got, want, rtol=1e-4, atol=1e-5)
    np.testing.assert_allclose(target_weights(W, torch.from_numpy(W @ X @ X.T / n),
                                              torch.from_numpy(X @ X.T / n), n, per_dim=per_dim),
                               W, rtol=1e-5, atol=1e-5)
    far = [np.abs(target_weights(W, torch.from_numpy(W @ C), torch.from_numpy(Hq), n, per_dim=k) - W).max()
           for k in (0.0, 16.0)]
    assert far[1] < 0.5 * far[0]


@pytest.mark.parametrize("sequential", [False, True])
def test_bias_correction_zeroes_mean_output_error(deep, sequential):
    """Per output channel, the mean over the calibration set of a corrected
    convolution's output equals the float model's (before its Relu), on the
    inputs the correction saw: every layer's in the sequential pass (the
    partly quantized model's), the first layer's otherwise (the float model's).
    A bias is created where the Conv had none (the head)."""
    job, model = _quantized(deep, bias_correction=True, sequential=sequential)
    names = [f"c{k}" for k in range(4)] + ["out"]
    f, q = (run_whole_model(m, deep.feeds) for m in (deep.model, model))
    assert len(job.biases) == 5 and len(next(n for n in model.graph.node if n.name == "head").input) == 3
    for name in names[:None if sequential else 1]:
        a, b = f[name], q[name]
        mean_err = (a - b).mean(axis=(0, 1, 3, 4))
        assert np.abs(mean_err).max() <= 1e-5 * np.abs(a).mean() + 1e-6, name
        assert np.abs(a - b).max() > 1e-3      # the layer is quantized, not float


@pytest.mark.parametrize("layer,same", [("conv", False), ("conv", True), ("grouped", False),
                                        ("depthwise", False), ("depthwise", True), ("linear", False),
                                        ("grouped-unit-stride", False), ("depthwise-unit-stride", True)])
def test_paired_moments_against_float64_vectors(monkeypatch, layer, same):
    """H~ = X~ X~^T / n, H = X X^T / n, C = X X~^T / n, both means of the paired
    inputs and, given the layer's weights W, W C and the output energy |W x|^2 / n,
    per group, against NumPy float64 patches, over chunks of a few images; equal
    streams give one product. At unit stride (its own way to the means) a wide
    padding puts whole kernel rows and columns of some patches in it."""
    import torch
    from torch import nn

    import reference as ref
    from mivra.engine import vectors
    from mivra.engine.float_target import PairedMoments

    monkeypatch.setattr(vectors, "PATCH_BUDGET", 200)
    rng = np.random.default_rng(8)
    x, xq = rng.standard_normal((2, 5, 6, 7, 9))
    xq = x if same else xq
    geometry = dict(kernel=(3, 2), stride=(2, 2), padding=(1, 0), dilation=(1, 2))
    if layer.endswith("unit-stride"):
        geometry = dict(kernel=(3, 2), stride=(1, 1), padding=(3, 1), dilation=(1, 2))
        layer = layer.split("-")[0]
    if layer == "linear":
        mod, X, Xq, g = nn.Linear(9, 1), x.reshape(-1, 9).T[None], xq.reshape(-1, 9).T[None], 1
        x, xq = x.reshape(-1, 9), xq.reshape(-1, 9)
    else:
        g = {"grouped": 3, "depthwise": 6}.get(layer, 1)
        mod = nn.Conv2d(6, g, geometry["kernel"], geometry["stride"], geometry["padding"],
                        geometry["dilation"], groups=g)
        X, Xq = (ref.unfold(a, **geometry).reshape(6, 6, -1) for a in (x, xq))    # (c, i*j, n)
        X, Xq = (a.reshape(g, 6 // g * 6, -1) for a in (X, Xq))
    X, Xq = X.astype(np.float32).astype(np.float64), Xq.astype(np.float32).astype(np.float64)
    n = X.shape[-1]
    W = rng.standard_normal((g, 1, X.shape[1]))
    want = {"Hq": Xq @ Xq.transpose(0, 2, 1) / n, "H": X @ X.transpose(0, 2, 1) / n,
            "C": X @ Xq.transpose(0, 2, 1) / n, "mu": X.mean(-1), "mu_q": Xq.mean(-1),
            "energy": ((W @ X) ** 2).sum((1, 2)) / n, "WC": W @ (X @ Xq.transpose(0, 2, 1)) / n}
    xt = torch.tensor(x, dtype=torch.float32)
    pm, pw = PairedMoments(), PairedMoments()
    pm.add(mod, xt, xt if same else torch.tensor(xq, dtype=torch.float32))
    pw.add(mod, xt, xt if same else torch.tensor(xq, dtype=torch.float32), torch.tensor(W if g > 1 else W[0]))
    (Hq, H, cross), cross_w = pm.result(), pw.result()[2]
    got = {"Hq": Hq.H, "H": H.H, "C": cross.C, "mu": cross.mu, "mu_q": cross.mu_q,
           "energy": cross_w.energy, "WC": cross_w.weighted(W.reshape(-1, W.shape[-1]))}
    assert Hq.n == H.n == n
    for k, v in got.items():
        np.testing.assert_allclose(v.numpy().reshape(want[k].shape), want[k], rtol=1e-10, atol=1e-12, err_msg=k)


def test_matmul_bias_correction_folds_into_its_add(tmp_path):
    """A MatMul's bias is the constant of the Add that alone reads its output, of shape
    (N,) or (1, 1, N): the correction goes there (its shape kept) and zeroes the mean
    error of the Add's output per column over every position of every sample; a MatMul
    whose output others read too keeps its Add as it is."""
    rng = np.random.default_rng(11)
    f = lambda *s: (rng.standard_normal(s) * 0.3).astype(np.float32)
    inits = [_init("W1", f(16, 24)), _init("b1", f(24)), _init("W2", f(24, 8)), _init("b2", f(1, 1, 8)),
             _init("W3", f(8, 4)), _init("b3", f(4))]
    N = helper.make_node
    nodes = [N("MatMul", ["x", "W1"], ["m1"], name="mm1"), N("Add", ["m1", "b1"], ["a1"], name="add1"),
             N("Relu", ["a1"], ["r1"]), N("MatMul", ["r1", "W2"], ["m2"], name="mm2"),
             N("Add", ["b2", "m2"], ["a2"], name="add2"), N("MatMul", ["a2", "W3"], ["m3"], name="mm3"),
             N("Add", ["m3", "b3"], ["a3"], name="add3"), N("Mul", ["m3", "m3"], ["sq"])]
    model = finish_model(nodes, [_tvi("x", [1, 5, 16])], [_tvi("a3", [1, 5, 4]), _tvi("sq", [1, 5, 4])],
                         inits)
    job = prepared_job(model, tmp_path, npy_inputs=(), bits=2, qtype="asym")
    from mivra.cli import _matmul_hint

    hints = [_matmul_hint(replace(job, opts=replace(job.opts, qmethod=q, asym_groups=a)))
             for q, a in (("group8", False), ("group8", True), ("channel", False))]
    assert hints[0].startswith("hint: most layers are matrix products") and hints[1:] == [None, None]
    job, q = _quantized(job, bias_correction=True, sequential=True)
    assert sorted(job.biases) == ["a1", "a2"]
    shapes = {n.name: numpy_helper.to_array(next(t for t in q.graph.initializer if t.name == n.input[k])).shape
              for n, k in ((n, 1 if n.name == "add1" else 0) for n in q.graph.node if n.name in ("add1", "add2"))}
    assert shapes == {"add1": (24,), "add2": (1, 1, 8)}
    a, b = (run_whole_model(m, job.feeds) for m in (job.model, q))
    for name in ("a1", "a2"):
        err = (a[name] - b[name]).mean(axis=(0, 1, 2))
        assert np.abs(err).max() <= 1e-5 * np.abs(a[name]).mean() + 1e-6, name
        assert np.abs(a[name] - b[name]).max() > 1e-3


def test_knapsack_is_optimal_and_meets_the_budget():
    rng = np.random.default_rng(0)
    for _ in range(200):
        L, K = rng.integers(1, 5), rng.integers(1, 4)
        costs = rng.integers(1, 20, size=(L, K)).tolist()
        errors = rng.random((L, K)).round(2).tolist()
        budget = int(rng.integers(1, 50))
        feasible = [(sum(errors[l][k] for l, k in enumerate(ch)), ch)
                    for ch in itertools.product(range(K), repeat=L)
                    if sum(costs[l][k] for l, k in enumerate(ch)) <= budget]
        got = knapsack(costs, errors, budget)
        if not feasible:
            assert got is None
            continue
        assert sum(costs[l][k] for l, k in enumerate(got)) <= budget
        assert sum(errors[l][k] for l, k in enumerate(got)) == pytest.approx(min(feasible)[0])


@pytest.mark.parametrize("budget", [dict(avg_bits=2.5), dict(avg_bits=3.0), dict(avg_bits=5.0),
                                    dict(max_size=1300)])
def test_widths_per_layer_under_a_budget(deep, budget):
    """Widths from {2, 3, 4, 8} within the budget, using most of it: weight bits
    against the mean width, or packed bytes (scales and zero points included,
    the biases staying float) against the size."""
    job, _ = _quantized(deep, **budget)
    n = {s.layer.weight: np.prod(s.layer.shape) for s in job.stats}
    bits = {s.layer.weight: s.bits for s in job.stats}
    assert set(bits.values()) <= set(WIDTHS)
    if "avg_bits" in budget:
        used, cap, step = sum(n[w] * bits[w] for w in n), budget["avg_bits"] * sum(n.values()), \
            sum(n.values())
    else:
        rows = {s.layer.weight: s.layer.shape[0] for s in job.stats}
        biases = sum(4 * rows[f"w{k}"] for k in range(4))
        used = biases + sum((n[w] * b + rows[w] * (32 + b)) / 8 for w, b in bits.items())
        cap, step = budget["max_size"], max(n.values()) / 8
    assert cap - step < used <= cap
    assert all(job.quant_tab[w]["dtype"] == f"int{b}" for w, b in bits.items())
    assert all(np.asarray(job.quant_tab[w]["w_int"]).max() < 2 ** (b - 1) for w, b in bits.items())


@pytest.mark.parametrize("qtype", ["sym", "asym"])
def test_asym_groups_give_groups_zero_points_whatever_the_channel_type(deep, qtype):
    """--asym-groups: a zero point per group, with --qtype sym too (it sets the
    per-channel type); without it groups are symmetric, with --qtype asym too."""
    for asym_groups in (False, True):
        job, _ = _quantized(deep, qtype=qtype, qmethod="group2", asym_groups=asym_groups, bits=3)
        e = job.quant_tab["w1"]
        assert e["qtype"] == ("asym" if asym_groups else "sym")
        assert any(e["zero_point"]) == asym_groups
