"""The quantization job around the native quantizer, with a stand-in that behaves
like the driver at its interfaces: it looks ``Session`` up in its own module, needs
every ungrouped Conv weight in ``quant_tab`` and fills the entries by min/max rounding."""
import sys
import types

import numpy as np
import onnx
import pytest
from onnx import numpy_helper

from onnx_models import make_cnn_model, make_two_input_model, write_calibration
from mivra import baseline, pipeline
from mivra.api import session as session_mod


@pytest.fixture
def standin(monkeypatch):
    mod = types.ModuleType("mivra.api.gdq_quant")
    mod.Session = session_mod.Session
    seen = {}

    class GdqQuant:
        def __init__(self, ir, param, quant_tab):
            self.ir, self.param, self.quant_tab = ir.deepcopy(), param, quant_tab

        def run(self):
            layers, _, _ = self.ir.create_ir_layers()
            bits = int(self.param["dtype_w"][-1])
            for layer in layers:
                mod.Session(self.ir, layer)
                node = layer.graph.node[0]
                group = [a.i for a in node.attribute if a.name == "group"]
                if node.op_type == "Conv" and group in ([], [1]):
                    entry = self.quant_tab[node.input[1]]          # KeyError like the driver
                    w = {t.name: numpy_helper.to_array(t) for t in layer.graph.initializer}[node.input[1]]
                    baseline.fill_quant_tab_minmax({node.input[1]: w}, {node.input[1]: entry}, bits)
            seen["tab_keys"] = sorted(self.quant_tab)
            return 0

    mod.GdqQuant = GdqQuant
    monkeypatch.setitem(sys.modules, "mivra.api.gdq_quant", mod)
    import mivra.api
    monkeypatch.setattr(mivra.api, "gdq_quant", mod, raising=False)
    return seen


@pytest.fixture
def model_files(tmp_path):
    m = make_cnn_model()
    onnx.save(m, tmp_path / "m.onnx")
    write_calibration(m, str(tmp_path / "cal"), n_samples=2)
    return str(tmp_path / "m.onnx"), str(tmp_path / "cal" / "calib.txt")


def test_job_with_exclusion_and_timing(standin, model_files):
    model, lst = model_files
    job = pipeline.prepare(pipeline.Options(model=model, dataset=lst, bits=4, qtype="asym",
                                            mean=["127.5"], std=["127.5"], exclude=["conv1.w*"]))
    pipeline.quantize(job)
    # every ungrouped conv weight reaches the quantizer; only the kept ones come out
    assert standin["tab_keys"] == ["conv1.weight", "conv3.weight"]
    assert sorted(job.quant_tab) == ["conv3.weight"]
    stats = {s.layer.node: s for s in job.stats}
    assert stats["conv1"].layer.excluded and stats["conv1"].qmethod == "float"
    assert stats["conv1"].quant_bytes == stats["conv1"].float_bytes == 8 * 3 * 9 * 4
    s3 = stats["conv3"]
    assert s3.seconds is not None and s3.seconds >= 0
    # the stand-in rounds like the baseline: same error on both sides
    assert s3.err == pytest.approx(s3.err_minmax) and 0 < s3.err < 1
    assert s3.container == "INT4" and s3.quant_bytes == 32 + 4 * 8 + 4
    assert job.param["dtype_w"] == "int4" and job.param["qmethod"] == "channel"
    attrs = job.param["inputs_meta"]["attrs"]["input"]
    assert attrs["shape"] == [1, 3, 8, 8] and attrs["mean"] == [127.5] and attrs["dtype"] == "float32"


def test_hessian_error_matches_float64_reference(standin, model_files):
    """H = mean over patches of x x^T, from explicit loops over the padded input."""
    from mivra.layers import hessian_errors, initializer_arrays, layer_hessians

    model, lst = model_files
    job = pipeline.prepare(pipeline.Options(model=model, dataset=lst, mean=["127.5"], std=["127.5"]))
    L1 = next(L for L in job.layers if L.node == "conv1")
    H = layer_hessians(job.model, [L1], job.feeds)["conv1.weight"]
    x = job.feeds["input"].astype(np.float64)                 # (N, 1, 3, 8, 8), conv1 reads the input
    xp = np.pad(x[:, 0], ((0, 0), (0, 0), (1, 1), (1, 1)))
    cols = np.array([xp[n, :, i:i + 3, j:j + 3].reshape(-1)
                     for n in range(xp.shape[0]) for i in range(8) for j in range(8)])
    np.testing.assert_allclose(H, cols.T @ cols / len(cols), rtol=1e-10, atol=1e-12)
    # the streamed relative errors equal r H r^T / w H w^T with this H
    w = initializer_arrays(job.model, ["conv1.weight"])["conv1.weight"].astype(np.float64)
    rng = np.random.default_rng(5)
    hats = [w + rng.standard_normal(w.shape) * 0.01, np.zeros_like(w)]
    got = hessian_errors(job.model, job.layers, job.feeds, {"conv1.weight": (w, hats)})["conv1.weight"]
    W = w.reshape(8, -1)
    ref = [np.trace((h.reshape(8, -1) - W) @ H @ (h.reshape(8, -1) - W).T) / np.trace(W @ H @ W.T)
           for h in hats]
    np.testing.assert_allclose(got, ref, rtol=1e-9)
    assert got[1] == pytest.approx(1.0)


def test_per_input_settings_two_inputs(tmp_path):
    """A bare value applies to every input, INPUT=VALUE overrides it for one."""
    from mivra.calib import build_attrs, load_calibration
    from mivra.errors import UserError

    m = make_two_input_model()
    write_calibration(m, str(tmp_path), n_samples=2, npy_inputs=("aux",))
    attrs = build_attrs(m, ["image", "aux"], mean=["127.5", "aux=0"], std=["127.5", "aux=2"],
                        rgb2bgr=["image"])
    assert attrs["image"]["mean"] == [127.5] and attrs["aux"]["mean"] == [0.0]
    assert attrs["aux"]["std"] == [2.0] and attrs["image"]["rgb2bgr"] and not attrs["aux"]["rgb2bgr"]
    assert [attrs[n]["idx"] for n in ("image", "aux")] == [0, 1]
    _, feeds = load_calibration(str(tmp_path / "calib.txt"), attrs)
    assert feeds["image"].shape == (2, 1, 3, 8, 8) and feeds["aux"].shape == (2, 1, 4, 8, 8)
    raw = np.load(tmp_path / "aux_1.npy")
    np.testing.assert_allclose(feeds["aux"][1, 0], raw / 2, rtol=1e-6)
    assert np.abs(feeds["image"]).max() <= 1.0
    with pytest.raises(UserError, match=r"--std 0 \(input aux\): a standard deviation below 1e-30"):
        build_attrs(m, ["image", "aux"], std=["aux=0"])
    with pytest.raises(UserError, match="--layout nhcw: unknown layout; give nchw or nhwc"):
        build_attrs(m, ["image", "aux"], layout=["nhcw"])
