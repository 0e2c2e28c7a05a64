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

from onnx_models import load_model_inputs, make_cnn_model, make_no_conv_model, write_calibration
from test_export import conv_only_model

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NORM = ["--mean", "127.5", "--std", "127.5"]


def cli(*args, cwd):
    env = dict(os.environ, PYTHONPATH=ROOT + os.pathsep + os.environ.get("PYTHONPATH", ""))
    return subprocess.run([sys.executable, "-m", "mivra", *map(str, args)], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=300)


@pytest.fixture(scope="module")
def gdq():
    from mivra.api.gdq_quant import GdqQuant
    return GdqQuant


def _run(model, feeds, outputs=None):
    so = ort.SessionOptions()
    so.log_severity_level = 3
    s = ort.InferenceSession(model.SerializeToString() if isinstance(model, onnx.ModelProto) else model,
                             so, providers=["CPUExecutionProvider"])
    return s.run(outputs, feeds)


def _inits(model):
    return {t.name: t for t in model.graph.initializer}


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
            "--bits", "3", "--qtype", "asym", "--out", "out", "--export-qdq", "q.onnx",
            "--export-fake-quant", "f.onnx", "--report", cwd=d)
    assert r.returncode == 0, r.stderr
    return d, m, param, r


def test_outputs_written(minmax_run):
    d, m, _, r = minmax_run
    assert sorted(os.listdir(d / "out")) == ["layer_error.png", "quant_tab.json", "report.json",
                                             "summary.json", "weights.npz"]
    tab = json.loads((d / "out" / "quant_tab.json").read_text())
    assert sorted(tab) == ["conv1.weight", "conv3.weight"]      # conv2 is grouped
    e = tab["conv1.weight"]
    assert e["shape"] == [8, 3, 3, 3] and e["qtype"] == "asym" and e["qmethod"] == "channel"
    assert len(e["scale"]) == len(e["zero_point"]) == len(e["min"]) == len(e["max"]) == 8
    w = np.load(d / "out" / "weights.npz")
    assert sorted(w.files) == sorted(tab)
    assert w["conv1.weight"].dtype == np.int8 and w["conv1.weight"].min() >= -4 and w["conv1.weight"].max() <= 3
    assert (d / "out" / "layer_error.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert "conv1" in r.stdout and "model on disk" in r.stdout and "opset raised from 13 to 21" in r.stdout
    assert not [f for f in os.listdir(d) if f.endswith(".tmp")]


def test_qdq_model_matches_fake_quant_and_tables(minmax_run):
    d, m, _, _ = minmax_run
    q = onnx.load(d / "q.onnx")
    f = onnx.load(d / "f.onnx")
    onnx.checker.check_model(q, full_check=True)
    tab = json.loads((d / "out" / "quant_tab.json").read_text())
    w = np.load(d / "out" / "weights.npz")
    # the QDQ model stores exactly the integers and parameters of quant_tab.json / weights.npz
    qi = _inits(q)
    for name, e in tab.items():
        np.testing.assert_array_equal(numpy_helper.to_array(qi[name + "_quantized"]).astype(np.int64),
                                      w[name].astype(np.int64))
        assert qi[name + "_quantized"].data_type == onnx.TensorProto.INT4
        np.testing.assert_array_equal(numpy_helper.to_array(qi[name + "_scale"]),
                                      np.float32(e["scale"]))
        ref = (w[name].astype(np.int64) - np.array(e["zero_point"])[:, None, None, None]) \
            * np.float32(e["scale"])[:, None, None, None].astype(np.float64)
        np.testing.assert_allclose(numpy_helper.to_array(_inits(f)[name]), ref, rtol=1e-6, atol=1e-12)
    x = np.random.default_rng(0).standard_normal((1, 3, 8, 8)).astype(np.float32)
    np.testing.assert_allclose(_run(q, {"input": x})[0], _run(f, {"input": x})[0], rtol=1e-5, atol=1e-6)
    # float weights that were not quantized are kept bit for bit
    orig = _inits(m)
    for model in (q, f):
        for name in ("conv2.weight", "fc.weight", "conv1.bias"):
            assert _inits(model)[name].SerializeToString() == orig[name].SerializeToString()


def test_report_numbers(minmax_run):
    """SQNR and cosine recomputed from the float and QDQ models on the calibration set."""
    from mivra.api.ir import IR

    d, m, param, _ = minmax_run
    rep = json.loads((d / "out" / "report.json").read_text())
    feeds = load_model_inputs(IR(m), param)
    q = onnx.load(d / "q.onnx")
    ref = np.stack([_run(m, {"input": x})[0] for x in feeds["input"]]).astype(np.float64)
    got = np.stack([_run(q, {"input": x})[0] for x in feeds["input"]]).astype(np.float64)
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
            "--bits", "3", "--qtype", "asym", "--out", "out_ex", "--exclude", "conv1",
            "--export-qdq", "q_ex.onnx", "--export-fake-quant", "f_ex.onnx", cwd=d)
    assert r.returncode == 0, r.stderr
    tab = json.loads((d / "out_ex" / "quant_tab.json").read_text())
    assert sorted(tab) == ["conv3.weight"]
    full = json.loads((d / "out" / "quant_tab.json").read_text())
    assert tab["conv3.weight"] == full["conv3.weight"]       # other layers unchanged
    orig = _inits(m)["conv1.weight"].SerializeToString()
    for f in ("q_ex.onnx", "f_ex.onnx"):
        assert _inits(onnx.load(d / f))["conv1.weight"].SerializeToString() == orig
    assert "conv1.weight_quantized" not in _inits(onnx.load(d / "q_ex.onnx"))
    summary = json.loads((d / "out_ex" / "summary.json").read_text())
    assert summary["excluded"] == ["conv1.weight"]


def test_exclude_first_last_and_int4_size(tmp_path):
    m = conv_only_model(channels=32)
    onnx.save(m, tmp_path / "c.onnx")
    write_calibration(m, str(tmp_path / "cal"), n_samples=2, npy_inputs=("input",))
    r = cli("quantize", "c.onnx", "--dataset", "cal/calib.txt", "--method", "minmax", "--out", "o",
            "--export-qdq", "q.onnx", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    q = onnx.load(tmp_path / "q.onnx")
    float_bytes = sum(len(t.raw_data) for t in m.graph.initializer)
    q_bytes = sum(len(t.raw_data) for t in q.graph.initializer)
    assert q_bytes <= float_bytes / 6
    r = cli("quantize", "c.onnx", "--dataset", "cal/calib.txt", "--method", "minmax", "--out", "o2",
            "--exclude-first-last", "--export-qdq", "q2.onnx", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert sorted(json.loads((tmp_path / "o2" / "quant_tab.json").read_text())) == ["c1.weight"]
    qi = _inits(onnx.load(tmp_path / "q2.onnx"))
    for name in ("c0.weight", "c2.weight"):
        assert qi[name].SerializeToString() == _inits(m)[name].SerializeToString()


def test_no_conv_model_nothing_to_do(tmp_path):
    m = make_no_conv_model()
    onnx.save(m, tmp_path / "n.onnx")
    write_calibration(m, str(tmp_path / "cal"), n_samples=1)
    r = cli("quantize", "n.onnx", "--dataset", "cal/calib.txt", "--out", "o", "--export-qdq", "q.onnx",
            cwd=tmp_path)
    assert r.returncode == 0
    assert "no ungrouped convolutions" in r.stdout and "nothing to do" in r.stdout
    assert not (tmp_path / "o").exists() and not (tmp_path / "q.onnx").exists()


def _two_path_list(d):
    (d / "cal" / "bad.txt").write_text("images/input_0.png images/input_1.png\n")
    return str(d / "cal" / "bad.txt")


def _wrong_shape_list(d):
    np.save(d / "cal" / "wrong.npy", np.zeros((1, 4, 4), np.float32))
    (d / "cal" / "wrong.txt").write_text("wrong.npy\n")
    return str(d / "cal" / "wrong.txt")


@pytest.mark.parametrize("case,args,needle", [
    ("nomatch", ["--exclude", "conv1,nosuch*"], "nosuch*"),
    ("missing model", ["--model-missing"], "model file not found"),
    ("missing list", ["--dataset", "nolist.txt"], "nolist.txt"),
    ("bits", ["--bits", "9"], "--bits"),
    ("qmethod", ["--qmethod", "group0"], "group0"),
    ("unknown input", ["--mean", "x=1"], "no input x"),
    ("paths per sample", ["--dataset", _two_path_list], "2 path(s) per sample"),
    ("sample shape", ["--dataset", _wrong_shape_list], "does not match"),
])
def test_user_errors(cnn, tmp_path, monkeypatch, capsys, case, args, needle):
    """In-process (same entry point as the console script): exit status 2, one line, no files."""
    from mivra.cli import main

    d, m, _ = cnn
    monkeypatch.chdir(tmp_path)
    model = "nosuch.onnx" if args == ["--model-missing"] else str(d / "cnn.onnx")
    args = [] if args == ["--model-missing"] else [a(d) if callable(a) else a for a in args]
    dataset = ["--dataset", str(d / "cal" / "calib.txt")] if "--dataset" not in args else []
    try:
        rc = main(["quantize", model, *dataset, *NORM, "--method", "minmax", *args, "--out", "o",
                   "--export-qdq", "q.onnx", "--report"])
    except SystemExit as e:
        rc = e.code
    err = capsys.readouterr().err
    assert rc == 2
    lines = err.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("mivra-gdq: error:") and needle in lines[0], err
    assert os.listdir(tmp_path) == []


def test_user_error_exit_status_in_subprocess(cnn, tmp_path):
    d, _, _ = cnn
    r = cli("quantize", d / "cnn.onnx", "--dataset", d / "cal" / "calib.txt", "--exclude", "nosuch",
            "--out", "o", "--export-qdq", "q.onnx", cwd=tmp_path)
    assert r.returncode == 2 and r.stderr == "mivra-gdq: error: --exclude nosuch: matches no convolution node or weight\n"
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("extra", [["--qmethod", "channel", "--qtype", "asym"], ["--qmethod", "group2"]])
def test_gdq_end_to_end(gdq, cnn, tmp_path, extra):
    d, m, _ = cnn
    r = cli("quantize", d / "cnn.onnx", "--dataset", d / "cal" / "calib.txt", *NORM, "--bits", "4",
            *extra, "--out", "o", "--export-qdq", "q.onnx", "--export-fake-quant", "f.onnx", "--report",
            cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    tab = json.loads((tmp_path / "o" / "quant_tab.json").read_text())
    w = np.load(tmp_path / "o" / "weights.npz")
    assert sorted(tab) == ["conv1.weight", "conv3.weight"]
    for name, e in tab.items():
        assert w[name].min() >= -8 and w[name].max() <= 7
        C = e["shape"][0]
        assert len(e["scale"]) % C == 0
    q, f = onnx.load(tmp_path / "q.onnx"), onnx.load(tmp_path / "f.onnx")
    x = np.random.default_rng(0).standard_normal((1, 3, 8, 8)).astype(np.float32)
    np.testing.assert_allclose(_run(q, {"input": x})[0], _run(f, {"input": x})[0], rtol=1e-5, atol=1e-6)
    rep = json.loads((tmp_path / "o" / "report.json").read_text())
    assert set(rep["outputs"]["logits"]) == {"ours", "minmax"}
