"""The pass over a model: calibration data path, layer loop, quant_tab update, with
recording stand-ins for `quantize` (end-to-end quantization: test_end_to_end.py)."""
import os

import numpy as np
import onnx
import pytest
import torch
from onnx import helper

import mivra.api.gdq_quant as gq
from mivra.api.ir import IR
from onnx_models import (load_model_inputs, make_cnn_model, make_no_conv_model,
                         make_ocr_model, make_quant_tab, make_split_model, make_two_input_model,
                         run_whole_model, write_calibration)


class Recorder(gq.GdqQuant):
    """GdqQuant that records the working dict and the layers it would quantize
    (and, with ``solve``, quantizes them)."""

    def __init__(self, *a, solve=False, **k):
        super().__init__(*a, **k)
        # every tensor ever in inputs_data_f, keys at each layer's start, (layer, inp, w_name, dev, print_log)
        self.solve, self.seen, self.live_before, self.calls = solve, {}, [], []

    def _sess_input(self, sess, inputs_data_f):
        self.live_before.append(set(inputs_data_f))
        super()._sess_input(sess, inputs_data_f)
        self.seen.update(inputs_data_f)

    def _sess_run(self, sess, inputs_data_f):
        super()._sess_run(sess, inputs_data_f)
        self.seen.update(inputs_data_f)

    def quantize(self, layer, inp, w_name, quantizers, dev, print_log):
        self.calls.append((layer, inp, w_name, dev, print_log))
        if self.solve:
            super().quantize(layer, inp, w_name, quantizers, dev, print_log)


def _setup(model, tmp_path, **kw):
    param = write_calibration(model, str(tmp_path), **kw)
    return IR(model), param, make_quant_tab(model)


@pytest.mark.parametrize("build,kw,solve", [
    (make_cnn_model, {}, False),
    (make_two_input_model, {"npy_inputs": ("aux",)}, False),
    (make_split_model, {}, False),
    # symbolic width, a 0-d Gather output feeding a computed Reshape target, LSTM, Gemm
    (make_ocr_model, {"shapes": {"image": [1, 1, 8, 12]}}, True),
])
def test_layer_by_layer_equals_whole_model(tmp_path, build, kw, solve):
    model = build()
    ir, param, tab = _setup(model, tmp_path, **kw)
    drv = Recorder(ir, param, tab, solve=solve)
    assert drv.run() == 0 and all(("w_int" in e) == solve for e in tab.values())
    whole = run_whole_model(model, load_model_inputs(ir, param))
    for name in [o for n in model.graph.node for o in n.output]:
        np.testing.assert_allclose(drv.seen[name], whole[name], rtol=1e-5, atol=1e-5,
                                   err_msg=name)
    # Every sample row was filled (np.empty would leave garbage otherwise).
    assert all(v.shape[0] == 3 for v in drv.seen.values())


def test_conv_layers_handed_to_quantize_and_dead_tensors_dropped(tmp_path):
    model = make_cnn_model()
    drv = Recorder(*_setup(model, tmp_path))
    drv.run()
    # conv2 is grouped (group 2) and is run but not quantized.
    assert [c[2] for c in drv.calls] == ["conv1.weight", "conv3.weight"]
    layer, inp, _, dev, print_log = drv.calls[0]
    assert isinstance(layer, torch.nn.Conv2d) and layer.bias is not None
    assert (layer.kernel_size, layer.padding, layer.stride, layer.groups) == ((3, 3), (1, 1), (1, 1), 1)
    np.testing.assert_array_equal(layer.weight.detach().numpy(),
                                  onnx.numpy_helper.to_array(model.graph.initializer[0]))
    assert tuple(inp.shape) == (3, 1, 3, 8, 8) and dev == "cpu" and print_log is False
    assert drv.calls[1][0].bias is None  # conv3 has no bias input
    assert os.environ["OMP_NUM_THREADS"] == os.environ["MKL_NUM_THREADS"] == "8"
    assert torch.get_num_threads() == 8
    _, can_frees, _ = drv.ir.deepcopy().create_ir_layers()
    dead = set()
    for il, live in enumerate(drv.live_before):
        assert not (live & dead), f"layer {il} still holds freed {live & dead}"
        dead |= set(can_frees[il])
    assert not any("logits" in f for f in can_frees[:-1])  # graph output: kept to the end


def test_input_read_by_two_layers_is_loaded_once(tmp_path, monkeypatch):
    ir, param, tab = _setup(make_two_input_model(), tmp_path, npy_inputs=("aux",))
    loads, real = [], gq.get_input_img
    monkeypatch.setattr(gq, "get_input_img", lambda path, *a: loads.append(path) or real(path, *a))
    Recorder(ir, param, tab).run()
    assert len(set(loads)) == len(loads) == 6  # one load per (input, sample): 2 x 3


def test_conv_attributes_asymmetric_pads_and_missing_kernel_shape(tmp_path):
    rng = np.random.default_rng(0)
    w = rng.standard_normal((4, 3, 3, 2)).astype(np.float32)
    node = helper.make_node("Conv", ["x", "w"], ["y"], pads=[0, 0, 1, 1], strides=[2, 1],
                            dilations=[1, 2])
    graph = helper.make_graph([node], "g", [helper.make_tensor_value_info("x", 1, [1, 3, 9, 9])],
                              [helper.make_tensor_value_info("y", 1, [1, 4, 4, 8])],
                              [onnx.numpy_helper.from_array(w, "w")])
    drv = Recorder(*_setup(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)]),
                           tmp_path))
    drv.run()
    layer = drv.calls[0][0]  # the kernel size is taken from the weight
    assert (layer.padding, layer.stride, layer.dilation, layer.kernel_size) == ((0, 0), (2, 1), (1, 2),
                                                                                (3, 2))


def test_no_conv_model_leaves_table_alone(tmp_path, capfd):
    ir, param, _ = _setup(make_no_conv_model(), tmp_path)
    tab = {"other": {"qtype": "sym", "dtype": "int4", "qmethod": "channel"}}
    assert gq.GdqQuant(ir, param, tab).run() == 0
    assert tab == {"other": {"qtype": "sym", "dtype": "int4", "qmethod": "channel"}}
    assert "I GdqQuant " in capfd.readouterr().err


class Injector(gq.GdqQuant):
    """Writes chosen result records instead of solving."""

    records = {}

    def quantize(self, layer, inp, w_name, quantizers, dev, print_log):
        if w_name in self.records:
            quantizers[w_name] = dict(self.records[w_name])


def test_quant_tab_update_rules(tmp_path):
    ir, param, tab = _setup(make_cnn_model(), tmp_path)
    tab["conv1.weight"]["qmethod"] = tab["conv3.weight"]["qmethod"] = "group4"
    w_int = np.arange(-4, 4, dtype=np.int8).reshape(8, 1, 1, 1)
    # -zeros/scales: 0.5 (tie -> 0), 0 scale (-> 0), 2.5 (tie -> 2), -1.5 (tie -> -2)
    scales = np.array([0.5, 0.0, 2.0, 2.0], np.float32)
    zeros = np.array([-0.25, 1.0, -5.0, 3.0], np.float32)
    rec = lambda z, gs, sym: {"scales": scales, "zeros": z, "weights": w_int,  # noqa: E731
                              "loss": torch.zeros(8), "groupsize": gs, "sym": sym}
    Injector.records = {"conv1.weight": rec(zeros, -1, False), "conv3.weight": rec(zeros * 0, 72, True),
                        "not.in.table": rec(zeros, -1, True)}
    Injector(ir, param, tab).run()
    e = tab["conv1.weight"]
    assert list(e) == ["qtype", "dtype", "qmethod", "scale", "zero_point", "min", "max", "w_int"]
    assert e["scale"] == [0.5, 0.0, 2.0, 2.0] and [int(z) for z in e["zero_point"]] == [0, 0, 2, -2]
    assert all(np.asarray(z).dtype == np.int32 for z in e["zero_point"]) and e["w_int"] is w_int
    assert e["qtype"] == "asym" and e["qmethod"] == "channel"  # group asked, fell back
    from mivra.api.quant_utils import get_min_max_from_scale_zp
    assert (e["min"], e["max"]) == get_min_max_from_scale_zp(e["scale"], e["zero_point"], "int4", "asym")
    assert (tab["conv3.weight"]["qtype"], tab["conv3.weight"]["qmethod"]) == ("sym", "group4")
    assert "not.in.table" not in tab
    assert "scale" not in tab["conv2.weight"]  # grouped: untouched


@pytest.mark.parametrize("case", ["failing_layer", "missing_weight_key"])
def test_failure_leaves_table_untouched(tmp_path, case):
    ir, param, tab = _setup(make_cnn_model(), tmp_path)

    class Failing(Injector):
        def _sess_run(self, sess, inputs_data_f):
            if sess.get_outputs()[0].name == "flat":
                raise RuntimeError("boom")
            super()._sess_run(sess, inputs_data_f)

    Failing.records = {"conv1.weight": {"scales": np.ones(8, np.float32), "zeros": np.zeros(8, np.float32),
                                        "weights": np.zeros((8, 3, 3, 3), np.int8),
                                        "loss": torch.zeros(8), "groupsize": -1, "sym": True}}
    failing = case == "failing_layer"
    if not failing:
        del tab["conv1.weight"]
    before = {k: dict(v) for k, v in tab.items()}
    with pytest.raises(RuntimeError if failing else KeyError, match="boom" if failing else "conv1.weight"):
        (Failing if failing else gq.GdqQuant)(ir, param, tab).run()
    assert tab == before


def test_construction_and_layer_list_errors(tmp_path):
    ir, param, tab = _setup(make_cnn_model(), tmp_path)
    with pytest.raises(TypeError, match=r"GdqQuant.__init__\(\) missing 1 required"):
        gq.GdqQuant(ir, param)
    drv = gq.GdqQuant(ir, param, tab)
    drv.ir = type("TwoValues", (), {"create_ir_layers": lambda self: ([], [])})()
    with pytest.raises(ValueError, match=r"not enough values to unpack \(expected 3, got 2\)"):
        drv.run()
    param["inputs_meta"]["dataset"] = str(tmp_path / "nope.txt")
    with pytest.raises(Exception, match="nope.txt"):
        gq.GdqQuant(ir, param, tab)


# --- the per-layer call ------------------------------------------------------

def _bare_driver(qmethod, qtype, dtype_w="int4"):
    drv = object.__new__(gq.GdqQuant)
    drv.param, drv.quant_tab = {"qmethod": qmethod, "dtype_w": dtype_w}, {"w": {"qtype": qtype}}
    return drv


def _calib(cin, n=5, hw=6, seed=0):
    rng = np.random.default_rng(seed)
    return torch.tensor(np.abs(rng.standard_normal((n, 1, cin, hw, hw))), dtype=torch.float32)


def _direct(layer, inp, groupsize, sym, bits):
    d = gq.decoupleQ(layer)
    d.quantizer = gq.Quantizer()
    d.quantizer.configure(bits=bits, sym=sym)
    d.add_batch(inp.reshape((-1,) + tuple(inp.shape[2:])), None, None)
    return d.startquant(groupsize, sym, 4, 50, 50, "cpu", 0.001, actorder=True, round_fn="gptq")


@pytest.mark.parametrize("qmethod,qtype,k,cin,groupsize,sym", [
    ("group2", "asym", 1, 8, 2, True),       # groups of 2 columns, always symmetric
    ("group64", "asym", 3, 4, -1, False),    # 36 columns, not a multiple of 576
    ("group4", "asym", 3, 8, 36, True),      # 4 x 3 x 3 columns per group, 2 groups
    ("channel", "sym", 3, 4, -1, True),
])
def test_quantize_record(qmethod, qtype, k, cin, groupsize, sym, capsys):
    torch.manual_seed(3)
    layer, twin = torch.nn.Conv2d(cin, 16, k, bias=False), torch.nn.Conv2d(cin, 16, k, bias=False)
    twin.weight.data = layer.weight.data.clone()
    inp, quantizers = _calib(cin), {"w": "earlier"}
    _bare_driver(qmethod, qtype, "int3").quantize(layer, inp, "w", quantizers, "cpu", False)
    assert capsys.readouterr().out == ""
    rec = quantizers["w"]
    assert rec["groupsize"] == groupsize and rec["sym"] is sym
    so, zo, w_int, err = _direct(twin, inp, groupsize, sym, 3)
    # Group 0 of every channel first, then group 1, ... (assert_array_equal checks the shapes)
    np.testing.assert_array_equal(rec["scales"], so.t().numpy().reshape(-1))
    np.testing.assert_array_equal(rec["zeros"], zo.t().numpy().reshape(-1))
    assert rec["weights"].dtype == np.int8 and np.array_equal(rec["weights"], w_int.numpy())
    assert int(rec["weights"].min()) >= -4 and int(rec["weights"].max()) <= 3
    assert isinstance(rec["loss"], torch.Tensor) and torch.equal(rec["loss"], err)
    assert torch.equal(layer.weight.data, twin.weight.data)
    with pytest.raises(KeyError):  # an unknown weight name fails before any work
        _bare_driver(qmethod, qtype).quantize(layer, inp, "other", {}, "cpu", False)
    assert torch.equal(layer.weight.data, twin.weight.data)


def test_quantize_prints_one_line_then_an_empty_one(capsys):
    torch.manual_seed(4)
    quantizers = {}
    _bare_driver("channel", "asym").quantize(torch.nn.Conv2d(4, 16, 3, bias=False), _calib(4), "w",
                                             quantizers, "cpu", True)
    lines = capsys.readouterr().out.split("\n")
    assert lines[-2:] == ["", ""]
    head, loss = lines[-3].split(", loss is ")
    name, cost = head.split(", time cost ")
    assert name == "w" and float(cost) >= 0 and loss == str(quantizers["w"]["loss"].mean().item())
