"""The mivra-gdq command line, run in a subprocess on small real models, and its
per-input calibration options."""
import json
import os
import subprocess
import sys

import numpy as np
import onnx
import onnxruntime as ort
import pytest
from onnx import helper, numpy_helper

import onnx_models as om
from mivra.api.ir import IR
from mivra.calib import build_attrs

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def cli(*args, cwd):
    env = dict(os.environ, PYTHONPATH=ROOT)
    r = subprocess.run([sys.executable, "-m", "mivra", "quantize", *map(str, args)], cwd=cwd, env=env,
                       stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stderr
    return r


def _run(model, x):
    return ort.InferenceSession(model.SerializeToString(), providers=["CPUExecutionProvider"]).run(None, {"input": x})


def _inits(model):
    return {t.name: t for t in model.graph.initializer}


def _json(path):
    """Strict JSON: NaN and Infinity tokens are refused."""
    def refuse(token):
        raise ValueError(f"{path.name}: {token} is not JSON")
    return json.loads(path.read_text(), parse_constant=refuse)


@pytest.fixture(scope="module")
def cnn(tmp_path_factory):
    """The small CNN with a second output, "zeroed", that is 0 whatever the weights."""
    d = tmp_path_factory.mktemp("cnn")
    m = om.make_cnn_model()
    m.graph.node.append(helper.make_node("Mul", ["logits", "zero"], ["zeroed"]))
    m.graph.initializer.append(numpy_helper.from_array(np.zeros(1, np.float32), "zero"))
    m.graph.output.append(om._tvi("zeroed", [1, 5]))
    onnx.save(m, d / "cnn.onnx")
    param = om.write_calibration(m, str(d / "cal"), n_samples=4)
    return d, m, param


def test_minmax_with_exclusion_exports_and_report(cnn):
    d, m, param = cnn
    r = cli("cnn.onnx", "--dataset", "cal/calib.txt", "--mean", "127.5", "--std", "127.5", "--method", "minmax",
            "--ops", "conv", "--bits", "3", "--qtype", "asym", "--exclude", "conv1", "--out", "out",
            "--export-qdq", "q.onnx", "--export-fake-quant", "f.onnx", "--report", cwd=d)
    assert sorted(os.listdir(d / "out")) == ["layer_error.png", "quant_tab.json", "report.json", "summary.json",
                                             "weights.npz"]
    assert "kept float: conv1" in r.stdout and "opset raised from 13 to 21" in r.stdout
    assert _json(d / "out" / "summary.json")["excluded"] == ["conv1.weight"]
    tab, w = _json(d / "out" / "quant_tab.json"), np.load(d / "out" / "weights.npz")
    assert sorted(tab) == sorted(w.files) == ["conv3.weight"]     # conv2 is grouped, fc a Gemm
    e, q_int = tab["conv3.weight"], w["conv3.weight"]
    assert (e["shape"], e["qtype"], e["qmethod"]) == ([8, 8, 1, 1], "asym", "channel")
    assert len(e["scale"]) == len(e["zero_point"]) == 8
    assert q_int.dtype == np.int8 and q_int.min() >= -4 and q_int.max() <= 3
    q, f = onnx.load(d / "q.onnx"), onnx.load(d / "f.onnx")
    onnx.checker.check_model(q, full_check=True)
    qi = _inits(q)              # the QDQ model stores exactly the table's integers and scales
    assert qi["conv3.weight_quantized"].data_type == onnx.TensorProto.INT4
    np.testing.assert_array_equal(numpy_helper.to_array(qi["conv3.weight_quantized"]), q_int)
    np.testing.assert_array_equal(numpy_helper.to_array(qi["conv3.weight_scale"]), np.float32(e["scale"]))
    x = np.random.default_rng(0).standard_normal((1, 3, 8, 8)).astype(np.float32)
    np.testing.assert_allclose(_run(q, x)[0], _run(f, x)[0], rtol=1e-5, atol=1e-6)
    # report: SQNR and cosine recomputed from the float and QDQ models on the calibration set
    rep = _json(d / "out" / "report.json")
    xs = om.load_model_inputs(IR(m), param)["input"]
    ref, got = (np.stack([_run(model, x)[0] for x in xs]).astype(np.float64) for model in (m, q))
    for side in ("ours", "minmax"):        # --method minmax: both sides are min/max rounding
        assert rep["outputs"]["logits"][side]["sqnr_db"] == pytest.approx(
            10 * np.log10(np.sum(ref ** 2) / np.sum((ref - got) ** 2)), rel=1e-6)
        assert rep["outputs"]["logits"][side]["cosine"] == pytest.approx(
            np.sum(ref * got) / np.linalg.norm(ref) / np.linalg.norm(got), rel=1e-9)
    layer = {L["node"]: L for L in rep["layers"]}["conv3"]
    assert layer["hessian_error"] == pytest.approx(layer["hessian_error_minmax"]) and 0 < layer["hessian_error"] < 1


def test_group_wise_every_kind_and_infinite_sqnr(cnn, tmp_path):
    """Every kind of layer, group-wise; the output that is zero whatever the weights has an
    infinite SQNR, which the strict JSON report writes as the string "inf"."""
    d = cnn[0]
    r = cli(d / "cnn.onnx", "--dataset", d / "cal" / "calib.txt", "--mean", "127.5", "--std", "127.5",
            "--qmethod", "group2", "--out", "o", "--export-qdq", "q.onnx", "--export-fake-quant", "f.onnx",
            "--report", cwd=tmp_path)
    assert "hint:" not in r.stdout          # mostly convolutions
    tab, w = _json(tmp_path / "o" / "quant_tab.json"), np.load(tmp_path / "o" / "weights.npz")
    assert sorted(tab) == ["conv1.weight", "conv2.weight", "conv3.weight", "fc.weight"]
    for name, e in tab.items():
        assert w[name].min() >= -8 and w[name].max() <= 7 and len(e["scale"]) % e["shape"][0] == 0
    x = np.random.default_rng(0).standard_normal((1, 3, 8, 8)).astype(np.float32)
    np.testing.assert_allclose(*(_run(onnx.load(tmp_path / f), x)[0] for f in ("q.onnx", "f.onnx")),
                               rtol=1e-5, atol=1e-6)
    rep = _json(tmp_path / "o" / "report.json")
    assert set(rep["outputs"]["logits"]) == {"ours", "minmax"} and rep["outputs"]["zeroed"]["ours"]["sqnr_db"] == "inf"


def test_exporter_styled_model_without_first_and_last(tmp_path):
    """Weights as Constant chains in an external-data file, symbolic dims fixed by
    --shape: the first and last layers stay float bit for bit, the others are quantized."""
    _, model = om.export_small_net(17, dynamic=True, seed=1)
    om.save_with_external_data(om.weights_as_constants(model), str(tmp_path / "m.onnx"))
    om.write_calibration(model, str(tmp_path / "cal"), n_samples=3, shapes={"x": [1, 3, 8, 12]})
    cli("m.onnx", "--dataset", "cal/calib.txt", "--shape", "1,3,8,12", "--qtype", "asym", "--exclude-first-last",
        "--out", "o", "--export-qdq", "q.onnx", cwd=tmp_path)
    ir = IR(str(tmp_path / "m.onnx"))
    convs = [n.input[1] for n in ir.graph.node if n.op_type == "Conv"]
    assert len(convs) == 4 and sorted(_json(tmp_path / "o" / "quant_tab.json")) == sorted(convs[1:3])
    q = onnx.load(str(tmp_path / "q.onnx"))
    onnx.checker.check_model(q)
    for name in (convs[0], convs[3]):
        np.testing.assert_array_equal(numpy_helper.to_array(_inits(q)[name]), ir.get_array(name))


def test_per_input_calibration_options():
    """A bare value applies to every input, INPUT=VALUE overrides it for one, whatever the
    order; a negative std is a valid divisor."""
    m = om.make_two_input_model()
    a = build_attrs(m, ["image", "aux"], mean=["aux=2,3,4,5", "1"], std=["-2", "image=0.5"],
                    layout=["aux=nhwc"], rgb2bgr=["image"], shape=["image=1,3,8,8"])
    assert a["image"] == {"idx": 0, "shape": [1, 3, 8, 8], "layout": "nchw", "rgb2bgr": True, "mean": [1.0],
                          "std": [0.5], "dtype": "float32"}
    assert a["aux"] == {"idx": 1, "shape": [1, 4, 8, 8], "layout": "nhwc", "rgb2bgr": False,
                        "mean": [2.0, 3.0, 4.0, 5.0], "std": [-2.0], "dtype": "float32"}
