"""QDQ / fake-quant export and the min/max baseline, checked against onnx's own
INT4 decoding, onnxruntime's DequantizeLinear and float64 references."""
import os

import numpy as np
import onnx
import onnxruntime as ort
import pytest
from onnx import TensorProto, helper, numpy_helper

from onnx_models import _tvi, conv_only_model, finish_model, make_cnn_model, make_shared_weight_model
from mivra import baseline, export
from mivra.outputs import StagedOutputs


def _run(model, feeds, outputs=None):
    so = ort.SessionOptions()
    so.log_severity_level = 3
    s = ort.InferenceSession(model.SerializeToString(), so, providers=["CPUExecutionProvider"])
    return s.run(outputs, feeds)


def _filled(model, names, bits, qtype="sym", qmethod="channel"):
    arrays = {t.name: numpy_helper.to_array(t) for t in model.graph.initializer if t.name in names}
    tab = {n: {"qtype": qtype, "dtype": f"int{bits}", "qmethod": qmethod} for n in names}
    baseline.fill_quant_tab_minmax(arrays, tab, bits)
    return tab


@pytest.mark.parametrize("bits", [2, 3, 4, 8])
@pytest.mark.parametrize("sym", [True, False])
@pytest.mark.parametrize("groupsize", [-1, 9])
def test_minmax_is_nearest_grid_value(bits, sym, groupsize):
    """Every weight rounds to the nearest value of its own (channel, group) grid (brute force)."""
    rng = np.random.default_rng(bits)
    w = rng.standard_normal((5, 4, 3, 3))
    w[1] = np.abs(w[1])                      # a channel without negative values
    w[2] = 0.0                               # an all-zero channel
    w_int, scale, zp = baseline.minmax_quantize(w, bits, sym, groupsize)
    lo, hi = -2 ** (bits - 1), 2 ** (bits - 1) - 1
    assert w_int.dtype == np.int8 and w_int.min() >= lo and w_int.max() <= hi
    gs = 36 if groupsize == -1 else groupsize
    W, Q = w.reshape(5, -1), w_int.reshape(5, -1)
    grid = np.arange(lo, hi + 1)
    for c in range(5):
        for d in range(36):
            s, z = scale[c, d // gs], zp[c, d // gs]
            best = np.abs((grid - z) * s - W[c, d]).min()
            assert abs((Q[c, d] - z) * s - W[c, d]) <= best + 1e-12
    assert np.all((Q[2] - np.repeat(zp[2], gs)) == 0)
    assert not sym or np.all(zp == 0)


def test_minmax_range_ends():
    """Asymmetric: min(w) sits on the lowest grid value; symmetric: max|w| on max_bound."""
    w = np.array([[-1.0, 0.5, 0.25, 0.0]])
    w_int, scale, zp = baseline.minmax_quantize(w, 4, sym=False)
    assert scale[0, 0] == pytest.approx(1.5 / 15)
    assert w_int[0, 0] == -8 and zp[0, 0] == -8 - round(-1.0 / (1.5 / 15))
    w_int, scale, zp = baseline.minmax_quantize(w, 4, sym=True)
    assert scale[0, 0] == pytest.approx(1.0 / 7) and w_int[0, 0] == -7 and zp[0, 0] == 0


def test_group_fallback_and_order():
    """group64 does not divide 16 x 3x3 = 144 columns: per channel, qmethod "channel"."""
    w = np.random.default_rng(0).standard_normal((4, 16, 3, 3)).astype(np.float32)
    tab = {"w": {"qtype": "asym", "dtype": "int4", "qmethod": "group64"}}
    baseline.fill_quant_tab_minmax({"w": w}, tab, 4)
    assert tab["w"]["qmethod"] == "channel" and len(tab["w"]["scale"]) == 4
    tab = {"w": {"qtype": "asym", "dtype": "int4", "qmethod": "group8"}}
    baseline.fill_quant_tab_minmax({"w": w}, tab, 4)
    e = tab["w"]
    assert e["qmethod"] == "group8" and e["qtype"] == "sym" and len(e["scale"]) == 8
    for k in range(2):  # group after group: entry k*C + c is channel c, group k
        for c in range(4):
            amax = np.abs(w[c].reshape(-1)[k * 72:(k + 1) * 72]).max()
            assert e["scale"][k * 4 + c] == pytest.approx(amax / 7)


def test_int4_packing_matches_onnx_decoding():
    vals = np.array([-8, 7, 0, -1, 3, -5, 6], dtype=np.int8)
    t = export.int_tensor("t", vals, TensorProto.INT4)
    assert len(t.raw_data) == 4
    np.testing.assert_array_equal(numpy_helper.to_array(t).astype(np.int64), vals)


def _entry(w_int, scale, zp, bits=4):
    return {"w_int": np.asarray(w_int, np.int8), "scale": list(scale), "zero_point": list(zp),
            "dtype": f"int{bits}", "qtype": "asym", "qmethod": "channel"}


def test_dequantize_entry_reference():
    rng = np.random.default_rng(1)
    w_int = rng.integers(-8, 8, size=(3, 4, 1, 2))
    scale = rng.random(3 * 2) + 0.1                  # 2 groups of 4 columns
    zp = rng.integers(-8, 8, size=3 * 2)
    got = export.dequantize_entry(_entry(w_int, scale, zp)).reshape(3, 8)
    W = w_int.reshape(3, 8)
    ref = [[(W[c, d] - zp[d // 4 * 3 + c]) * np.float32(scale[d // 4 * 3 + c]) for d in range(8)]
           for c in range(3)]
    np.testing.assert_allclose(got, ref, rtol=1e-6)


@pytest.mark.parametrize("zp_value,bits,want", [(0, 4, "INT4"), (-8, 3, "INT4"), (9, 4, "INT8"),
                                                (200, 4, "INT16"), (0, 6, "INT8"), (-40000, 8, "INT32")])
@pytest.mark.parametrize("blocked", [False, True])
def test_dequantize_linear_is_bit_exact(zp_value, bits, want, blocked):
    """onnxruntime's DequantizeLinear equals dequantize_entry bit for bit, whatever container."""
    rng = np.random.default_rng(2)
    C, I, G = 4, 6, (3 if blocked else 1)
    w = rng.standard_normal((C, I, 3, 3)).astype(np.float32)
    m = finish_model([helper.make_node("Conv", ["x", "w"], ["y"], name="conv", pads=[1, 1, 1, 1])],
                     [_tvi("x", [1, I, 5, 5])], [_tvi("y", [1, C, 5, 5])],
                     [numpy_helper.from_array(w, "w")])
    lo, hi = -2 ** (bits - 1), 2 ** (bits - 1) - 1
    e = _entry(rng.integers(lo, hi + 1, size=w.shape), rng.random(C * G) + 0.01,
               np.full(C * G, zp_value), bits)
    q, info = export.export_qdq(m, {"w": e}, ["w"])
    assert info["weights"]["w"]["container"] == want
    onnx.checker.check_model(q, full_check=True)
    q.graph.output.append(onnx.ValueInfoProto(name="w"))
    x = rng.standard_normal((1, I, 5, 5)).astype(np.float32)
    y, w_dq = _run(q, {"x": x}, ["y", "w"])
    np.testing.assert_array_equal(w_dq, export.dequantize_entry(e))
    y_fake = _run(export.export_fake_quant(m, {"w": e}, ["w"]), {"x": x})[0]
    np.testing.assert_allclose(y, y_fake, rtol=0, atol=1e-5 * max(1.0, np.abs(y_fake).max()))


@pytest.mark.parametrize("bits,qtype,qmethod,opset", [(4, "asym", "channel", 21), (2, "sym", "group2", 21),
                                                      (3, "asym", "group4", 21), (6, "sym", "channel", 13),
                                                      (8, "asym", "channel", 13)])
def test_qdq_matches_fake_quant(bits, qtype, qmethod, opset):
    m = make_cnn_model(opset=13)
    names = ["conv1.weight", "conv3.weight"]
    tab = _filled(m, names, bits, qtype, qmethod)
    q, info = export.export_qdq(m, tab, names)
    onnx.checker.check_model(q, full_check=True)
    assert info["opset_from"] == 13 and info["opset_to"] == opset
    f = export.export_fake_quant(m, tab, names)
    x = np.random.default_rng(3).standard_normal((1, 3, 8, 8)).astype(np.float32)
    np.testing.assert_allclose(_run(q, {"input": x})[0], _run(f, {"input": x})[0], rtol=1e-5, atol=1e-5)
    # untouched initializers (grouped conv, Gemm, biases) keep their bytes
    orig = {t.name: t.SerializeToString() for t in m.graph.initializer}
    for model in (q, f):
        for t in model.graph.initializer:
            if t.name in orig and t.name not in names:
                assert t.SerializeToString() == orig[t.name]
    assert {t.name for t in f.graph.initializer} == set(orig)


def test_int4_model_is_small():
    """Conv-only model: INT4 QDQ initializers take at most 1/6 of the float weights' bytes."""
    m = conv_only_model()
    names = [t.name for t in m.graph.initializer]
    q, _ = export.export_qdq(m, _filled(m, names, 4, "asym"), names)
    float_bytes = sum(len(t.raw_data) for t in m.graph.initializer)
    assert sum(len(t.raw_data) or len(t.SerializeToString()) for t in q.graph.initializer) <= float_bytes / 6
    assert len(q.SerializeToString()) <= len(m.SerializeToString()) / 6 + 2000


def test_initializer_listed_as_input_is_removed_from_inputs():
    m = make_cnn_model(opset=9)
    m.graph.input.append(_tvi("conv1.weight", [8, 3, 3, 3]))
    q, _ = export.export_qdq(m, _filled(m, ["conv1.weight"], 4), ["conv1.weight"])
    assert "conv1.weight" not in {v.name for v in q.graph.input}
    onnx.checker.check_model(q, full_check=True)
    _run(q, {"input": np.zeros((1, 3, 8, 8), np.float32)})


def test_staged_outputs_all_or_nothing(tmp_path):
    target = tmp_path / "new" / "deep"
    with pytest.raises(RuntimeError):
        with StagedOutputs() as out:
            out.write_text(str(target / "a.txt"), "a")
            out.write_text(str(tmp_path / "b.txt"), "b")
            raise RuntimeError("boom")
    assert os.listdir(tmp_path) == []
    (tmp_path / "b.txt").write_text("old")
    with StagedOutputs() as out:
        out.write_text(str(target / "a.txt"), "a")
        out.write_text(str(tmp_path / "b.txt"), "new")
        out.commit()
    assert (target / "a.txt").read_text() == "a" and (tmp_path / "b.txt").read_text() == "new"
    assert sorted(os.listdir(tmp_path)) == ["b.txt", "new"]


@pytest.mark.parametrize("bits,qmethod", [(4, "channel"), (8, "channel"), (3, "group2")])
def test_shared_weight_dequantized_once(bits, qmethod):
    """A weight read by two convolutions (listed once per reader, as the layer list has
    it) gets one DequantizeLinear feeding both; the model passes the full checker and
    computes what the fake-quant model does."""
    m = make_shared_weight_model()
    tab = _filled(m, ["shared", "c3.weight"], bits, "asym", qmethod)
    names = ["shared", "shared", "c3.weight"]
    q, _ = export.export_qdq(m, tab, names)
    onnx.checker.check_model(q, full_check=True)
    dq = [n for n in q.graph.node if n.op_type == "DequantizeLinear"]
    assert sorted(n.input[0] for n in dq) == ["c3.weight_quantized", "shared_quantized"]
    x = np.random.default_rng(4).standard_normal((1, 4, 8, 8)).astype(np.float32)
    f = export.export_fake_quant(m, tab, names)
    np.testing.assert_allclose(_run(q, {"input": x})[0], _run(f, {"input": x})[0], rtol=1e-5, atol=1e-5)
