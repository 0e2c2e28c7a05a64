"""Quantization of what exporters actually produce: torch exports at several
opsets, weights as Constant chains, symbolic dims, external data."""
import json
import os
import subprocess
import sys

import numpy as np
import onnx
import pytest
import torch

import mivra.api.gdq_quant as gq
import onnx_models as om
from mivra.api.ir import IR
from test_real_world_models import export_small_net

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def ungrouped_conv_weights(ir):
    out = []
    for node in ir.graph.node:
        if node.op_type != "Conv":
            continue
        group = next((a.i for a in node.attribute if a.name == "group"), 1)
        if group == 1:
            out.append(node.input[1])
    return out


def quant_tab_for(ir, qtype="asym"):
    tab = {}
    for node in ir.graph.node:
        if node.op_type == "Conv":
            tab[node.input[1]] = {"qtype": qtype, "dtype": "int4", "qmethod": "channel"}
    return tab


def assert_quantized(ir, tab):
    names = ungrouped_conv_weights(ir)
    assert len(names) == 3  # stem, first block conv, head (the grouped conv is skipped)
    for name in names:
        e = tab[name]
        w = ir.get_array(ir.initializer(name))
        assert e["w_int"].shape == w.shape and e["w_int"].dtype == np.int8
        assert len(e["scale"]) == w.shape[0]
        # The dequantized weights stay close to the float ones.
        s = np.asarray(e["scale"])[:, None]
        zp = np.asarray(e["zero_point"], np.float64)[:, None]
        deq = (e["w_int"].reshape(w.shape[0], -1) - zp) * s
        rel = np.linalg.norm(deq - w.reshape(w.shape[0], -1)) / np.linalg.norm(w)
        assert rel < 0.3, (name, rel)
    for name in set(tab) - set(names):
        assert "w_int" not in tab[name]


@pytest.mark.parametrize("opset", [9, 13, 21])
def test_torch_export_is_quantized(opset, tmp_path):
    _, model = export_small_net(opset, fold=opset != 9)
    ir = IR(model)
    param = om.write_calibration(model, str(tmp_path), n_samples=3)
    tab = quant_tab_for(ir)
    gq.GdqQuant(ir, param, tab).run()
    assert_quantized(ir, tab)


def exporter_styled(tmp_path, opset=17):
    _, model = export_small_net(opset, dynamic=True, seed=1)
    styled = om.weights_as_constants(model)
    path = tmp_path / "styled.onnx"
    om.save_with_external_data(styled, str(path), convert_attribute=True)
    param = om.write_calibration(model, str(tmp_path / "calib"), n_samples=3,
                                 shapes={"x": [1, 3, 8, 12]})
    return path, param


def test_constant_weights_symbolic_dims_external_data(tmp_path):
    path, param = exporter_styled(tmp_path)
    ir = IR(str(path))
    assert not any(n.op_type == "Constant" for n in ir.graph.node)
    tab = quant_tab_for(ir)
    gq.GdqQuant(ir, param, tab).run()
    assert_quantized(ir, tab)


def test_calibration_samples_must_share_a_shape(tmp_path):
    path, param = exporter_styled(tmp_path)
    calib = tmp_path / "calib"
    np.save(calib / "odd.npy", np.zeros((3, 8, 10), np.float32))
    lines = [l for l in open(param["inputs_meta"]["dataset"]) if l.strip() and l[0] != "#"]
    param["inputs_meta"]["dataset"] = str(calib / "odd.txt")
    with open(calib / "odd.txt", "w") as fh:
        fh.write(lines[0] + lines[1] + "odd.npy\n")
    param["inputs_meta"]["attrs"]["x"]["shape"] = [1, 3, "N", "W"]  # symbolic: keep sizes
    ir = IR(str(path))
    tab = quant_tab_for(ir)
    before = json.dumps(tab)
    with pytest.raises(ValueError, match=r"calibration sample 2 \(.*odd.npy.*\).*'x'"):
        gq.GdqQuant(ir, param, tab).run()
    assert json.dumps(tab) == before


def test_cli_on_exporter_styled_model(tmp_path):
    path, param = exporter_styled(tmp_path)
    out = tmp_path / "out"
    env = dict(os.environ, PYTHONPATH=ROOT)
    r = subprocess.run([sys.executable, "-m", "mivra", "quantize", str(path), "--dataset",
                        param["inputs_meta"]["dataset"], "--shape", "1,3,8,12", "--bits", "4",
                        "--out", str(out), "--export-qdq", str(tmp_path / "q.onnx")],
                       env=env, capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stderr
    tab = json.load(open(out / "quant_tab.json"))
    assert len(tab) == 4
    onnx.checker.check_model(str(tmp_path / "q.onnx"))
