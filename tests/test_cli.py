"""The mivra-gdq command line, run in a subprocess on small real models."""
import json
import os
import subprocess
import sys

import numpy as np
import onnx
import onnxruntime as ort
import pytest
from onnx import numpy_helper

from mivra.api.ir import IR
from onnx_models import (conv_only_model, load_model_inputs, make_cnn_model, make_no_conv_model,
                         write_calibration)

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NORM = ["--mean", "127.5", "--std", "127.5"]


def cli(*args, cwd):
    env = dict(os.environ, PYTHONPATH=ROOT + os.pathsep + os.environ.get("PYTHONPATH", ""))
    return subprocess.run([sys.executable, "-m", "mivra", *map(str, args)], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=300)


def _run(model, feeds):
    so = ort.SessionOptions()
    so.log_severity_level = 3
    return ort.InferenceSession(model.SerializeToString(), so,
                                providers=["CPUExecutionProvider"]).run(None, feeds)


def _inits(model):
    return {t.name: t for t in model.graph.initializer}


def _json(path):
    """Strict JSON: NaN and Infinity tokens are refused."""
    def refuse(token):
        raise ValueError(f"{path.name}: {token} is not JSON")
    return json.loads(path.read_text(), parse_constant=refuse)


@pytest.fixture(scope="module")
def cnn(tmp_path_factory):
    d = tmp_path_factory.mktemp("cnn")
    m = make_cnn_model()
    onnx.save(m, d / "cnn.onnx")
    param = write_calibration(m, str(d / "cal"), n_samples=4)
    return d, m, param


@pytest.fixture(scope="module")
def minmax_run(cnn):
    d, m, param = cnn
    r = cli("quantize", "cnn.onnx", "--dataset", "cal/calib.txt", *NORM, "--method", "minmax",
            "--ops", "conv", "--bits", "3", "--qtype", "asym", "--out", "out", "--export-qdq", "q.onnx",
            "--export-fake-quant", "f.onnx", "--report", cwd=d)
    assert r.returncode == 0, r.stderr
    return d, m, param, r


def test_outputs_qdq_model_and_report(minmax_run):
    d, m, param, r = minmax_run
    assert sorted(os.listdir(d / "out")) == ["layer_error.png", "quant_tab.json", "report.json",
                                             "summary.json", "weights.npz"]
    assert (d / "out" / "layer_error.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert "conv1" in r.stdout and "model on disk" in r.stdout and "opset raised from 13 to 21" in r.stdout
    assert not [f for f in os.listdir(d) if f.endswith(".tmp")]
    tab = _json(d / "out" / "quant_tab.json")
    assert sorted(tab) == ["conv1.weight", "conv3.weight"]      # conv2 is grouped
    e = tab["conv1.weight"]
    assert e["shape"] == [8, 3, 3, 3] and e["qtype"] == "asym" and e["qmethod"] == "channel"
    assert len(e["scale"]) == len(e["zero_point"]) == len(e["min"]) == len(e["max"]) == 8
    w = np.load(d / "out" / "weights.npz")
    assert sorted(w.files) == sorted(tab)
    assert w["conv1.weight"].dtype == np.int8 and w["conv1.weight"].min() >= -4 and w["conv1.weight"].max() <= 3
    q, f = onnx.load(d / "q.onnx"), onnx.load(d / "f.onnx")
    onnx.checker.check_model(q, full_check=True)
    qi = _inits(q)
    for name, e in tab.items():  # the QDQ model stores exactly the tables' integers and scales
        np.testing.assert_array_equal(numpy_helper.to_array(qi[name + "_quantized"]).astype(np.int64),
                                      w[name].astype(np.int64))
        assert qi[name + "_quantized"].data_type == onnx.TensorProto.INT4
        np.testing.assert_array_equal(numpy_helper.to_array(qi[name + "_scale"]), np.float32(e["scale"]))
        ref = (w[name].astype(np.int64) - np.array(e["zero_point"])[:, None, None, None]) \
            * np.float32(e["scale"])[:, None, None, None].astype(np.float64)
        np.testing.assert_allclose(numpy_helper.to_array(_inits(f)[name]), ref, rtol=1e-6, atol=1e-12)
    x = np.random.default_rng(0).standard_normal((1, 3, 8, 8)).astype(np.float32)
    np.testing.assert_allclose(_run(q, {"input": x})[0], _run(f, {"input": x})[0], rtol=1e-5, atol=1e-6)
    orig = _inits(m)  # float weights that were not quantized are kept bit for bit
    for model in (q, f):
        for name in ("conv2.weight", "fc.weight", "conv1.bias"):
            assert _inits(model)[name].SerializeToString() == orig[name].SerializeToString()
    # report: SQNR and cosine recomputed from the float and QDQ models on the calibration set
    rep = _json(d / "out" / "report.json")
    xs = load_model_inputs(IR(m), param)["input"]
    ref = np.stack([_run(m, {"input": x})[0] for x in xs]).astype(np.float64)
    got = np.stack([_run(q, {"input": x})[0] for x in xs]).astype(np.float64)
    sqnr = 10 * np.log10(np.sum(ref ** 2) / np.sum((ref - got) ** 2))
    cos = np.sum(ref * got) / np.linalg.norm(ref) / np.linalg.norm(got)
    for side in ("ours", "minmax"):        # --method minmax: both sides are min/max rounding
        assert rep["outputs"]["logits"][side]["sqnr_db"] == pytest.approx(sqnr, rel=1e-6)
        assert rep["outputs"]["logits"][side]["cosine"] == pytest.approx(cos, rel=1e-9)
    layers = {L["node"]: L for L in rep["layers"]}
    assert layers["conv1"]["hessian_error"] == pytest.approx(layers["conv1"]["hessian_error_minmax"])
    assert 0 < layers["conv1"]["hessian_error"] < 1


def test_exclusion_keeps_float_bits(minmax_run):
    d, m, _, _ = minmax_run
    r = cli("quantize", "cnn.onnx", "--dataset", "cal/calib.txt", *NORM, "--method", "minmax",
            "--ops", "conv", "--bits", "3", "--qtype", "asym", "--out", "out_ex", "--exclude", "conv1",
            "--export-qdq", "q_ex.onnx", "--export-fake-quant", "f_ex.onnx", cwd=d)
    assert r.returncode == 0, r.stderr
    tab = _json(d / "out_ex" / "quant_tab.json")
    assert sorted(tab) == ["conv3.weight"]
    assert tab["conv3.weight"] == _json(d / "out" / "quant_tab.json")["conv3.weight"]
    orig = _inits(m)["conv1.weight"].SerializeToString()
    for f in ("q_ex.onnx", "f_ex.onnx"):
        assert _inits(onnx.load(d / f))["conv1.weight"].SerializeToString() == orig
    assert "conv1.weight_quantized" not in _inits(onnx.load(d / "q_ex.onnx"))
    assert _json(d / "out_ex" / "summary.json")["excluded"] == ["conv1.weight"]


def test_exclude_first_last_and_int4_size(tmp_path):
    """c0 and c2 stay float bit for bit; c1's INT4 QDQ tensors take at most 1/6 of its float bytes."""
    m = conv_only_model(channels=32)
    onnx.save(m, tmp_path / "c.onnx")
    write_calibration(m, str(tmp_path / "cal"), n_samples=2, npy_inputs=("input",))
    r = cli("quantize", "c.onnx", "--dataset", "cal/calib.txt", "--method", "minmax", "--out", "o",
            "--exclude-first-last", "--export-qdq", "q.onnx", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert sorted(_json(tmp_path / "o" / "quant_tab.json")) == ["c1.weight"]
    qi, fi = _inits(onnx.load(tmp_path / "q.onnx")), _inits(m)
    for name in ("c0.weight", "c2.weight"):
        assert qi[name].SerializeToString() == fi[name].SerializeToString()
    rest = sum(len(t.raw_data) or len(t.SerializeToString()) for n, t in qi.items()
               if n not in ("c0.weight", "c2.weight"))
    assert rest <= len(fi["c1.weight"].raw_data) / 6


def test_no_conv_model_nothing_to_do(tmp_path):
    m = make_no_conv_model()
    onnx.save(m, tmp_path / "n.onnx")
    write_calibration(m, str(tmp_path / "cal"), n_samples=1)
    r = cli("quantize", "n.onnx", "--dataset", "cal/calib.txt", "--out", "o", "--export-qdq", "q.onnx",
            "--ops", "conv,grouped", cwd=tmp_path)
    assert r.returncode == 0
    assert "no layers of the kinds" in r.stdout and "nothing to do" in r.stdout
    assert not (tmp_path / "o").exists() and not (tmp_path / "q.onnx").exists()


@pytest.mark.parametrize("extra", [["--qmethod", "channel", "--qtype", "asym"], ["--qmethod", "group2"]])
def test_gdq_end_to_end(cnn, tmp_path, extra):
    d = cnn[0]
    r = cli("quantize", d / "cnn.onnx", "--dataset", d / "cal" / "calib.txt", *NORM, "--bits", "4",
            *extra, "--out", "o", "--export-qdq", "q.onnx", "--export-fake-quant", "f.onnx", "--report",
            cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    tab = _json(tmp_path / "o" / "quant_tab.json")
    w = np.load(tmp_path / "o" / "weights.npz")
    assert sorted(tab) == ["conv1.weight", "conv2.weight", "conv3.weight", "fc.weight"]
    for name, e in tab.items():
        assert w[name].min() >= -8 and w[name].max() <= 7 and len(e["scale"]) % e["shape"][0] == 0
    q, f = onnx.load(tmp_path / "q.onnx"), onnx.load(tmp_path / "f.onnx")
    x = np.random.default_rng(0).standard_normal((1, 3, 8, 8)).astype(np.float32)
    np.testing.assert_allclose(_run(q, {"input": x})[0], _run(f, {"input": x})[0], rtol=1e-5, atol=1e-6)
    assert set(_json(tmp_path / "o" / "report.json")["outputs"]["logits"]) == {"ours", "minmax"}


def test_infinite_sqnr_in_strict_json(tmp_path):
    """An output that is zero whatever the weights: float and quantized models agree
    exactly, the SQNR is infinite, and report.json writes it as the string "inf"."""
    from bad_inputs import tiny_model, write

    m = tiny_model()
    m.graph.node[-1].output[0] = "y0"
    m.graph.node.append(onnx.helper.make_node("Mul", ["y0", "zero"], ["y"]))
    m.graph.initializer.append(numpy_helper.from_array(np.zeros(1, np.float32), "zero"))
    write(tmp_path, m)
    r = cli("quantize", "m.onnx", "--dataset", "cal.txt", "--method", "minmax", "--out", "o", "--report",
            cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    rep = _json(tmp_path / "o" / "report.json")
    assert rep["outputs"]["y"]["ours"]["sqnr_db"] == "inf"
    for name in ("quant_tab.json", "summary.json"):
        _json(tmp_path / "o" / name)
