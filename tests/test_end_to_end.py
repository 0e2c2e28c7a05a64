"""GdqQuant.run() on real ONNX models: every ungrouped convolution gets its
integer weights, and they reproduce the layer better than plain rounding."""
import numpy as np
import onnx
import pytest
import torch
from onnx import helper, numpy_helper

import mivra.api.gdq_quant as gq
from mivra.api.ir import IR
from onnx_models import (finish_model, load_model_inputs, make_cnn_model, make_quant_tab,
                         run_whole_model, write_calibration)


def patches(x, kh, kw, stride=(1, 1), pad=(0, 0), dil=(1, 1)):
    """(C*kh*kw, B*L) patch matrix of x (B, C, H, W), rows ordered (c, i, j)."""
    B, C, H, W = x.shape
    xp = np.pad(x, ((0, 0), (0, 0), (pad[0], pad[0]), (pad[1], pad[1])))
    Ho = (H + 2 * pad[0] - dil[0] * (kh - 1) - 1) // stride[0] + 1
    Wo = (W + 2 * pad[1] - dil[1] * (kw - 1) - 1) // stride[1] + 1
    cols = np.empty((C, kh, kw, B, Ho, Wo), np.float64)
    for i in range(kh):
        for j in range(kw):
            r0, c0 = i * dil[0], j * dil[1]
            cols[:, i, j] = xp[:, :, r0:r0 + stride[0] * Ho:stride[0],
                               c0:c0 + stride[1] * Wo:stride[1]].transpose(1, 0, 2, 3)
    return cols.reshape(C * kh * kw, B * Ho * Wo)


def hessian(x, kh, kw, **kw_):
    X = patches(x.astype(np.float64), kh, kw, **kw_)
    return X @ X.T / X.shape[1]


def row_errors(W, Q, H):
    R = Q - W
    return np.einsum("ij,jk,ik->i", R, H, R)


def dequantize(entry, groupsize):
    w_int = entry["w_int"].astype(np.float64)
    C = w_int.shape[0]
    Wi = w_int.reshape(C, -1)
    scale = np.asarray(entry["scale"], np.float64)
    zp = np.asarray(entry["zero_point"], np.float64)
    G = scale.size // C
    # group after group, one value per output channel
    s = scale.reshape(G, C).T.repeat(Wi.shape[1] // G, axis=1)
    z = zp.reshape(G, C).T.repeat(Wi.shape[1] // G, axis=1)
    return (Wi - z) * s


def minmax_rounding(W, bits, sym):
    qmax, qmin = 2 ** (bits - 1) - 1, -2 ** (bits - 1)
    lo = np.minimum(W.min(1, keepdims=True), 0)
    hi = np.maximum(W.max(1, keepdims=True), 0)
    if sym:
        hi = np.maximum(-lo, hi)
        lo = -hi
    scale = (hi - lo) / (qmax - qmin)
    zp = qmin - np.round(lo / scale)
    q = np.clip(np.round(W / scale) + zp, qmin, qmax)
    return (q - zp) * scale


def conv_model(cin=8, cout=16, k=3, size=10, group_model=False, seed=0):
    rng = np.random.default_rng(seed)
    w1 = (rng.standard_normal((cout, cin, k, k)) * 0.2).astype(np.float32)
    b1 = (rng.standard_normal(cout) * 0.1).astype(np.float32)
    w2 = (rng.standard_normal((cout, cout, 1, 1)) * 0.2).astype(np.float32)
    w3 = (rng.standard_normal((cout, 1, 3, 3)) * 0.2).astype(np.float32)
    nodes = [
        helper.make_node("Conv", ["x", "w1", "b1"], ["c1"], kernel_shape=[k, k],
                         pads=[1, 1, 1, 1]),
        helper.make_node("Relu", ["c1"], ["r1"]),
        helper.make_node("Conv", ["r1", "w3"], ["dw"], kernel_shape=[3, 3], pads=[1, 1, 1, 1],
                         group=cout),
        helper.make_node("Conv", ["dw", "w2"], ["y"], kernel_shape=[1, 1]),
    ]
    inits = [numpy_helper.from_array(a, n) for a, n in
             [(w1, "w1"), (b1, "b1"), (w2, "w2"), (w3, "w3")]]
    return finish_model(nodes, [helper.make_tensor_value_info("x", 1, [1, cin, size, size])],
                        [helper.make_tensor_value_info("y", 1, [1, cout, size, size])], inits)


@pytest.mark.parametrize("qtype,bits", [("asym", 4), ("sym", 3), ("asym", 2)])
def test_per_channel_beats_minmax(tmp_path, qtype, bits):
    model = conv_model()
    param = write_calibration(model, str(tmp_path), n_samples=6, npy_inputs=("x",))
    param["dtype_w"] = f"int{bits}"
    tab = make_quant_tab(model, qtype=qtype, dtype=f"int{bits}")
    ir = IR(model)
    assert gq.GdqQuant(ir, param, tab).run() == 0
    assert "scale" not in tab["w3"]  # depthwise: not quantized
    feeds = load_model_inputs(ir, param)
    acts = run_whole_model(model, feeds)
    inputs = {"w1": (feeds["x"][:, 0], 3, dict(pad=(1, 1))), "w2": (acts["dw"][:, 0], 1, {})}
    for name, (x, k, geo) in inputs.items():
        e = tab[name]
        W = numpy_helper.to_array(next(t for t in model.graph.initializer if t.name == name))
        C = W.shape[0]
        assert e["w_int"].dtype == np.int8 and e["w_int"].shape == W.shape
        assert e["w_int"].min() >= -2 ** (bits - 1) and e["w_int"].max() <= 2 ** (bits - 1) - 1
        assert len(e["scale"]) == C and len(e["zero_point"]) == C
        assert e["qtype"] == qtype and e["qmethod"] == "channel"
        if qtype == "sym":
            assert all(int(z) == 0 for z in e["zero_point"])
        assert len(e["min"]) == C and np.all(np.asarray(e["min"]) <= np.asarray(e["max"]))
        H = hessian(x, k, k, **geo)
        Wm = W.reshape(C, -1).astype(np.float64)
        ours = row_errors(Wm, dequantize(e, -1), H)
        plain = row_errors(Wm, minmax_rounding(Wm, bits, qtype == "sym"), H)
        assert ours.sum() < 0.9 * plain.sum(), (name, ours.sum(), plain.sum())
    # The model itself is not modified.
    np.testing.assert_array_equal(ir.get_array(ir.model.graph.initializer[0]),
                                  numpy_helper.to_array(model.graph.initializer[0]))


def test_group_wise_and_fallback(tmp_path):
    model = conv_model(cin=6, cout=16)
    param = write_calibration(model, str(tmp_path), n_samples=4, npy_inputs=("x",))
    # "group4": w1 has 6*9 = 54 columns, not a multiple of 4*9 = 36 -> per channel;
    # w2 has 16 columns in groups of 4*1*1 = 4.
    param["qmethod"] = "group4"
    tab = make_quant_tab(model, qtype="asym", qmethod="group4")
    gq.GdqQuant(IR(model), param, tab).run()
    e1, e2 = tab["w1"], tab["w2"]
    assert e1["qmethod"] == "channel" and e1["qtype"] == "asym" and len(e1["scale"]) == 16
    assert e2["qmethod"] == "group4" and e2["qtype"] == "sym"  # group-wise is symmetric
    assert len(e2["scale"]) == 4 * 16 and all(int(z) == 0 for z in e2["zero_point"])
    feeds = load_model_inputs(IR(model), param)
    acts = run_whole_model(model, feeds)
    W = numpy_helper.to_array(model.graph.initializer[2]).reshape(16, -1).astype(np.float64)
    H = hessian(acts["dw"][:, 0], 1, 1)
    ours = row_errors(W, dequantize(e2, 4), H)
    plain = row_errors(W, minmax_rounding(W, 4, True), H)
    assert ours.sum() < 0.5 * plain.sum()  # four scales per row and a solver beat one scale


def test_cnn_fixture_end_to_end(tmp_path):
    model = make_cnn_model()
    param = write_calibration(model, str(tmp_path), n_samples=4)
    tab = make_quant_tab(model)
    gq.GdqQuant(IR(model), param, tab).run()
    assert {k for k, v in tab.items() if "w_int" in v} == {"conv1.weight", "conv3.weight"}
