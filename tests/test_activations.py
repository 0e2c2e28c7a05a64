"""Quantized activations: the range rules against brute force, the rounding
against onnxruntime's QuantizeLinear/DequantizeLinear, the QDQ layout against
onnxruntime's integer kernels, and weights fitted to rounded inputs."""
import collections

import numpy as np
import onnx
import onnxruntime as ort
import pytest
from onnx import TensorProto, helper, numpy_helper

from mivra import export, pipeline
from mivra.engine.activations import ActParams, RangeStats, params_of
from onnx_models import _conv, _init, _tvi, finish_model, prepared_job, run_whole_model


def _stats(x, pieces=3):
    rs = RangeStats()
    for part in np.array_split(x, pieces):      # streamed over samples
        rs.add_range(part)
    for part in np.array_split(x, pieces):
        rs.add_histogram(part)
    return rs


@pytest.mark.parametrize("bits,signed", [(8, False), (8, True), (16, False)])
def test_rounding_is_quantize_then_dequantize_linear(bits, signed):
    """fake_quant equals onnxruntime's QuantizeLinear -> DequantizeLinear bit for bit,
    halves to even and saturation included."""
    rng = np.random.default_rng(0)
    p = params_of(-1.3, 2.1, bits, symmetric=signed)
    x = np.concatenate([rng.uniform(-3, 4, 1000), (np.arange(-20, 20) + 0.5) * p.scale]).astype(np.float32)
    dt = {(8, False): TensorProto.UINT8, (8, True): TensorProto.INT8, (16, False): TensorProto.UINT16}[(bits, signed)]
    npdt = {TensorProto.UINT8: np.uint8, TensorProto.INT8: np.int8, TensorProto.UINT16: np.uint16}[dt]
    inits = [numpy_helper.from_array(np.float32(p.scale), "s"), numpy_helper.from_array(npdt(p.zero_point), "z")]
    nodes = [helper.make_node("QuantizeLinear", ["x", "s", "z"], ["q"]),
             helper.make_node("DequantizeLinear", ["q", "s", "z"], ["y"])]
    m = helper.make_model(helper.make_graph(nodes, "qdq", [_tvi("x", [len(x)])], [_tvi("y", [len(x)])], inits),
                          opset_imports=[helper.make_opsetid("", 21)])
    m.ir_version = 10
    y = ort.InferenceSession(m.SerializeToString(), providers=["CPUExecutionProvider"]).run(None, {"x": x})[0]
    np.testing.assert_array_equal(p.fake_quant(x), y)
    assert (p.qmin, p.qmax) == ((-(1 << bits - 1), (1 << bits - 1) - 1) if signed else (0, (1 << bits) - 1))
    assert p.fake_quant(np.float32([0.0]))[0] == 0.0          # 0 is on the grid


def test_range_rules_against_brute_force():
    """minmax: the whole range; percentile: the tails cut; mse: the least squared error
    of rounding the data themselves over the same shrink grid (to a histogram bin);
    entropy: a clip inside the range that keeps the bulk."""
    rng = np.random.default_rng(1)
    x = np.concatenate([rng.standard_normal(200000), [40.0, -25.0]]).astype(np.float32)   # two outliers
    rs = _stats(x)
    mm = rs.params("minmax", 8, False)
    assert (mm.lo, mm.hi) == (pytest.approx(-25.0), pytest.approx(40.0)) and mm.zero_point == round(25 / mm.scale)
    pc = rs.params("percentile", 8, False)
    assert np.percentile(x, 0.0004) - 0.05 <= pc.lo and pc.hi <= np.percentile(x, 99.9996) + 0.05 and pc.hi < 6
    # a tail of 5e-6 of a million values on each side is 5 values: 7 outliers stay, 3 go
    for n_out, inside in [(7, True), (3, False)]:
        y = np.concatenate([rng.standard_normal(10 ** 6), [20.0] * n_out, [-12.0] * n_out]).astype(np.float32)
        pc = _stats(y).params("percentile", 8, False)
        assert (abs(pc.hi - 20) < 0.1 and abs(pc.lo + 12) < 0.1) if inside else (pc.hi < 6 and pc.lo > -6)
    ms = rs.params("mse", 8, True)
    errs = {f: np.mean((params_of(-25 * f, 40 * f, 8, True).fake_quant(x) - x) ** 2) for f in np.linspace(0.3, 1, 71)}
    best = min(errs, key=errs.get)
    assert errs[min(errs, key=lambda f: abs(f * 40 - ms.hi))] <= 1.05 * errs[best]
    en = rs.params("entropy", 8, True)
    assert 2.5 < en.hi < 40 and en.lo == -en.hi


def _relu_cnn(rng):
    """input (1, 3, 8, 8) -> 3x3 Conv + Relu -> 3x3 Conv + Relu -> 1x1 Conv "out"."""
    f = lambda *s: (rng.standard_normal(s) * 0.4).astype(np.float32)
    inits = [_init("w0", f(8, 3, 3, 3)), _init("b0", f(8)), _init("w1", f(8, 8, 3, 3)), _init("b1", f(8)),
             _init("w2", f(4, 8, 1, 1))]
    nodes = [_conv(["input", "w0", "b0"], "c0"), helper.make_node("Relu", ["c0"], ["r0"]),
             _conv(["r0", "w1", "b1"], "c1"), helper.make_node("Relu", ["c1"], ["r1"]),
             helper.make_node("Conv", ["r1", "w2"], ["out"], name="head", kernel_shape=[1, 1])]
    return finish_model(nodes, [_tvi("input", [1, 3, 8, 8])], [_tvi("out", [1, 4, 8, 8])], inits)


@pytest.fixture(scope="module")
def relu_cnn(tmp_path_factory):
    d = tmp_path_factory.mktemp("act")
    return prepared_job(_relu_cnn(np.random.default_rng(2)), d, bits=8)


def _quantized(job, **opts):
    from dataclasses import replace

    j = replace(job, opts=replace(job.opts, **opts))
    pipeline.quantize(j, warn=lambda line: None)
    return j


@pytest.mark.parametrize("bits", [8, 4])
def test_qdq_model_runs_integer_kernels_and_equals_fake_quant(relu_cnn, bits):
    """W8A8 and W4A8: every quantized layer's input and output carries a
    QuantizeLinear -> DequantizeLinear pair; onnxruntime fuses each Conv into
    QLinearConv (4-bit weights too: they are stored as INT8); the QDQ model
    computes the fake-quant model (rounded activations) at every optimization
    level, bit for bit where it runs as written."""
    job = _quantized(relu_cnn, act_bits=8, bits=bits)
    assert set(job.acts) == {"input", "r0", "r1", "out"}        # a Relu rounds for its Conv
    q, info = export.export_qdq(job.model, job.quant_tab, job.quantized, acts=job.acts)
    assert {v["container"] for v in info["weights"].values()} == {"INT8"}
    assert np.abs(np.asarray(job.quant_tab["w1"]["w_int"])).max() <= 2 ** (bits - 1)
    f = export.export_fake_quant(job.model, job.quant_tab, job.quantized, acts=job.acts)
    onnx.checker.check_model(q, full_check=True)
    ops = _optimized_ops(q)
    assert ops["QLinearConv"] == 3 and ops["Conv"] == 0, ops
    x = {"input": job.feeds["input"][0]}
    grid = job.acts["out"]
    outs = {}
    for level in (ort.GraphOptimizationLevel.ORT_DISABLE_ALL, ort.GraphOptimizationLevel.ORT_ENABLE_BASIC,
                  ort.GraphOptimizationLevel.ORT_ENABLE_ALL):
        so = ort.SessionOptions()
        so.graph_optimization_level = level
        outs[level] = [ort.InferenceSession(m.SerializeToString(), so, providers=["CPUExecutionProvider"])
                       .run(None, x)[0] for m in (q, f)]
        # integer kernels requantize each layer their own way: a step here and
        # there, carried through the layers
        assert np.abs(outs[level][0] - outs[level][1]).max() <= 2.001 * grid.scale
    a, b = outs[ort.GraphOptimizationLevel.ORT_DISABLE_ALL]
    np.testing.assert_array_equal(a, b)
    assert np.all(np.abs(b / np.float32(grid.scale) + grid.zero_point - np.rint(b / grid.scale + grid.zero_point)) < 1e-3)


def _optimized_ops(model) -> collections.Counter:
    so = ort.SessionOptions()
    so.optimized_model_filepath = str(__import__("tempfile").mkdtemp()) + "/opt.onnx"
    so.graph_optimization_level = ort.GraphOptimizationLevel.ORT_ENABLE_EXTENDED
    ort.InferenceSession(model.SerializeToString(), so, providers=["CPUExecutionProvider"])
    return collections.Counter(n.op_type for n in onnx.load(so.optimized_model_filepath).graph.node)


def test_swish_runs_as_integer_kernels(tmp_path):
    """Conv -> x * sigmoid(x) -> Conv: the gate is rounded too, so onnxruntime runs
    the Sigmoid and the Mul as integer kernels between the two QLinearConvs."""
    rng = np.random.default_rng(4)
    inits = [_init("w0", (rng.standard_normal((6, 3, 3, 3)) * 0.4).astype(np.float32)),
             _init("w1", (rng.standard_normal((4, 6, 1, 1)) * 0.4).astype(np.float32))]
    nodes = [_conv(["input", "w0"], "c0"), helper.make_node("Sigmoid", ["c0"], ["s0"]),
             helper.make_node("Mul", ["c0", "s0"], ["m0"]),
             helper.make_node("Conv", ["m0", "w1"], ["out"], name="head", kernel_shape=[1, 1])]
    m = finish_model(nodes, [_tvi("input", [1, 3, 8, 8])], [_tvi("out", [1, 4, 8, 8])], inits)
    job = prepared_job(m, tmp_path, n_samples=4, act_bits=8)
    pipeline.quantize(job, warn=lambda line: None)
    assert set(job.acts) == {"input", "c0", "s0", "m0", "out"}
    ops = _optimized_ops(export.export_qdq(job.model, job.quant_tab, job.quantized, acts=job.acts)[0])
    assert ops["QLinearConv"] == 2 and ops["QLinearSigmoid"] == 1 and ops["QLinearMul"] == 1, ops
    assert ops["Sigmoid"] == ops["Mul"] == 0, ops


def test_sequential_fits_the_rounded_inputs(relu_cnn):
    """With --sequential the layers are solved on the inputs the quantized model
    feeds them, activation rounding included: their mean output error is zeroed by
    bias correction against the QDQ model's own (rounded) inputs, and the model
    with quantized activations is closer to the float one than when the weights were
    solved on float inputs."""
    a8 = _quantized(relu_cnn, bits=3, act_bits=8, sequential=True, bias_correction=True)
    f = export.export_fake_quant(a8.model, a8.quant_tab, a8.quantized, a8.biases, acts=a8.acts)
    ref, got = run_whole_model(a8.model, a8.feeds), run_whole_model(f, a8.feeds)
    mean_err = (ref["c1"] - got["c1"]).mean(axis=(0, 1, 3, 4))     # before its Relu rounds it
    assert np.abs(mean_err).max() <= 1e-4 * np.abs(ref["c1"]).mean() + 1e-5
    plain = _quantized(relu_cnn, bits=3, act_bits=8)
    fp = export.export_fake_quant(plain.model, plain.quant_tab, plain.quantized, acts=plain.acts)
    err = lambda m: np.mean((run_whole_model(m, a8.feeds)["out"] - ref["out"]) ** 2)
    assert err(f) < 0.8 * err(fp)


def test_nonfinite_activation_stays_float(tmp_path):
    """An activation holding infinities on the calibration set has no range: it stays
    float, with one warning, and the rest is quantized."""
    rng = np.random.default_rng(3)
    inits = [_init("w0", rng.standard_normal((4, 3, 1, 1)).astype(np.float32)),
             _init("w1", rng.standard_normal((4, 4, 1, 1)).astype(np.float32)), _init("zero", np.zeros(1, np.float32))]
    nodes = [helper.make_node("Conv", ["input", "w0"], ["c0"], name="c0", kernel_shape=[1, 1]),
             helper.make_node("Div", ["c0", "zero"], ["inf"]),
             helper.make_node("Conv", ["inf", "w1"], ["out"], name="c1", kernel_shape=[1, 1])]
    m = finish_model(nodes, [_tvi("input", [1, 3, 4, 4])], [_tvi("out", [1, 4, 4, 4])], inits)
    job = prepared_job(m, tmp_path, n_samples=2, act_bits=8, method="minmax")
    lines = []
    pipeline.quantize(job, warn=lines.append)
    assert "inf" not in job.acts and {"input", "c0"} <= set(job.acts)
    assert any(line.startswith("warning: activation inf:") and "stays float" in line for line in lines)


def test_hard_tensors_take_16_bits(relu_cnn):
    """--act-min-sqnr: the 8-bit activations rounded worse than the threshold take 16
    bits (and round far better), the others stay at 8."""
    at8 = _quantized(relu_cnn, act_bits=8, method="minmax")
    cut = float(np.median(list(at8.act_sqnr.values())))
    mixed = _quantized(relu_cnn, act_bits=8, method="minmax", act_min_sqnr=cut)
    for name, sqnr in at8.act_sqnr.items():
        assert mixed.acts[name].bits == (16 if sqnr < cut else 8), name
        assert mixed.act_sqnr[name] > sqnr + 40 if sqnr < cut else mixed.act_sqnr[name] == sqnr


@pytest.mark.parametrize("sqnr,threshold,hint", [(25.0, None, True), (35.0, None, False), (25.0, 20.0, False)])
def test_hint_toward_16_bits(sqnr, threshold, hint):
    """The command line points to --act-min-sqnr when an 8-bit activation rounds
    below 30 dB and no threshold was given."""
    from types import SimpleNamespace

    from mivra.report import act_lines

    job = SimpleNamespace(acts={"a": params_of(-1, 1, 8, False), "b": params_of(0, 2, 8, False)},
                          act_sqnr={"a": 45.0, "b": sqnr}, opts=SimpleNamespace(act_min_sqnr=threshold))
    lines = act_lines(job)
    assert any(line.startswith("hint: 1 of 2 activations") and "--act-min-sqnr 30" in line
               for line in lines) == hint, lines
