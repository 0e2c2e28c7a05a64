"""The command line's quantization pass against the library's pass and float64 references."""
import numpy as np
import onnx
import pytest
from onnx import helper, numpy_helper

from mivra import export, pipeline
from mivra.api.gdq_quant import GdqQuant
from mivra.api.ir import IR
from mivra.api.session import ort_session
from onnx_models import _conv, _f32, _init, _tvi, finish_model, make_cnn_model, make_quant_tab, \
    run_whole_model, write_calibration

NORM = dict(mean=["127.5"], std=["127.5"])


def _job(tmp_path, model, n=3, **opts):
    onnx.save(model, tmp_path / "m.onnx")
    param = write_calibration(model, str(tmp_path / "cal"), n_samples=n)
    job = pipeline.prepare(pipeline.Options(model=str(tmp_path / "m.onnx"),
                                            dataset=str(tmp_path / "cal" / "calib.txt"),
                                            **{**NORM, **opts}))
    return job, param


@pytest.mark.parametrize("qtype,qmethod,bits", [("asym", "channel", 4), ("sym", "group2", 3),
                                                ("asym", "group64", 2)])
def test_equals_library_pass(tmp_path, qtype, qmethod, bits):
    """Same activations, statistics and solver settings: the same table, bit for bit."""
    job, param = _job(tmp_path, make_cnn_model(), qtype=qtype, qmethod=qmethod, bits=bits,
                      ops=("conv",))
    pipeline.quantize(job)
    tab = make_quant_tab(job.model, qtype=qtype, dtype=f"int{bits}", qmethod=qmethod)
    GdqQuant(IR(job.model), {**param, "qmethod": qmethod, "dtype_w": f"int{bits}"}, tab).run()
    assert sorted(job.quant_tab) == ["conv1.weight", "conv3.weight"]   # conv2 is grouped
    for name, ours in job.quant_tab.items():
        lib = tab[name]
        np.testing.assert_array_equal(ours["w_int"], lib["w_int"])
        for k in ("scale", "zero_point", "qtype", "qmethod", "min", "max"):
            assert ours[k] == list(lib[k]) if isinstance(lib[k], list) else ours[k] == lib[k], k
    assert {s.layer.node: s.method for s in job.stats} == {"conv1": "gdq", "conv3": "gdq"}


def _shared_weight_model(rng):
    """One 3x3 weight read by two convolutions with different padding; their inputs differ."""
    inits = [_init("w", _f32(rng, 4, 3, 3, 3)), _init("k", _f32(rng, 3, 3, 1, 1))]
    nodes = [_conv(["input", "w"], "a"),
             helper.make_node("Conv", ["input", "k"], ["mixed"], name="mix", kernel_shape=[1, 1]),
             helper.make_node("Conv", ["mixed", "w"], ["b"], name="b", kernel_shape=[3, 3],
                              pads=[0, 0, 2, 2]),
             helper.make_node("Add", ["a", "b"], ["out"], name="add")]
    nodes[0].name = "a"
    return finish_model(nodes, [_tvi("input", [1, 3, 6, 6])], [_tvi("out", [1, 4, 6, 6])], inits)


def _patches(x, pads):
    """(positions, 27) 3x3 patches of x (N, 3, H, W) padded (top, left, bottom, right)."""
    t, l, b, r = pads
    xp = np.pad(x, ((0, 0), (0, 0), (t, b), (l, r)))
    H, W = xp.shape[2] - 2, xp.shape[3] - 2
    return np.array([xp[n, :, i:i + 3, j:j + 3].reshape(-1)
                     for n in range(len(xp)) for i in range(H) for j in range(W)])


def test_shared_weight_solved_once_on_union_of_inputs(tmp_path):
    job, _ = _job(tmp_path, _shared_weight_model(np.random.default_rng(0)), n=2, bits=3)
    pipeline.quantize(job)
    assert list(job.quant_tab) == ["w", "k"]
    a, b = (s for s in job.stats if s.layer.weight == "w")
    assert a.err == b.err and 0 < a.err < 1
    # reference: H over the patches of both users, the error of the table's weights
    x = np.concatenate(job.feeds["input"]).astype(np.float64)
    m = onnx.load(tmp_path / "m.onnx")
    mixed = run_whole_model(m, job.feeds)["mixed"][:, 0].astype(np.float64)
    P = np.concatenate([_patches(x, (1, 1, 1, 1)), _patches(mixed, (0, 0, 2, 2))])
    H = P.T @ P / len(P)
    w = numpy_helper.to_array(next(t for t in m.graph.initializer if t.name == "w")).reshape(4, -1)
    R = export.dequantize_entry(job.quant_tab["w"]).reshape(4, -1) - w
    assert a.err == pytest.approx(np.trace(R @ H @ R.T) / np.trace(w @ H @ w.T), rel=1e-6)


def test_degenerate_layers_fall_back_to_minmax(tmp_path):
    """conv3 reads Relu(-|x|) = 0: nothing to minimise, min/max rounding and one note."""
    rng = np.random.default_rng(1)
    inits = [_init("w1", _f32(rng, 4, 3, 3, 3)), _init("w3", _f32(rng, 4, 4, 1, 1))]
    nodes = [_conv(["input", "w1"], "c1"),
             helper.make_node("Abs", ["c1"], ["abs"]), helper.make_node("Neg", ["abs"], ["neg"]),
             helper.make_node("Relu", ["neg"], ["dead"]),
             helper.make_node("Conv", ["dead", "w3"], ["out"], name="c3", kernel_shape=[1, 1])]
    model = finish_model(nodes, [_tvi("input", [1, 3, 6, 6])], [_tvi("out", [1, 4, 6, 6])], inits)
    job, _ = _job(tmp_path, model, qtype="asym")
    lines = []
    pipeline.quantize(job, warn=lines.append)
    methods = {s.layer.node: s.method for s in job.stats}
    assert methods == {"c1": "gdq", "c3": "minmax (fallback: inputs all zero)"}
    assert lines == ["note: layer c3: its inputs are all zero on the calibration set, so there "
                     "is no output error to minimise; quantized by plain min/max rounding"]
    for k in ("w_int", "scale", "zero_point"):
        np.testing.assert_array_equal(job.quant_tab["w3"][k], job.minmax_tab["w3"][k])
    # a solver failure is said in words, not with the solver's tensors
    from mivra.api import gdq_quant

    gdq_quant._arm_fault("cholesky", 5)          # every damping level of c1's factor fails
    lines = []
    pipeline.quantize(job, warn=lines.append)
    assert job.stats[0].method == "minmax (fallback: no factorisation)"
    assert lines[0] == ("warning: layer c1: its input statistics cannot be factorised at any damping "
                        "level; quantized by plain min/max rounding")


def _matrix_layers_model(rng):
    """Gemm(transA, B (K, N)) on a features-first input, depthwise and grouped Convs,
    MatMul (constant (K, N)) on a sequence of any length."""
    inits = [_init("B", _f32(rng, 6, 5)), _init("dw", _f32(rng, 4, 1, 3, 3)),
             _init("gw", _f32(rng, 4, 2, 1, 1)), _init("M", _f32(rng, 8, 3)), _init("B2", _f32(rng, 7, 3)),
             _init("M2", _f32(rng, 8, 2))]
    nodes = [helper.make_node("Gemm", ["a", "B"], ["g"], name="gemm", transA=1, alpha=0.5),
             helper.make_node("Gemm", ["a", "B2"], ["g2"], name="gemm2"),      # the same input, as rows
             helper.make_node("Conv", ["img", "dw"], ["d"], name="dw", group=4, kernel_shape=[3, 3],
                              pads=[1, 1, 1, 1]),
             helper.make_node("Conv", ["d", "gw"], ["c"], name="gc", group=2, kernel_shape=[1, 1]),
             helper.make_node("MatMul", ["seq", "M"], ["m"], name="mm"),
             helper.make_node("MatMul", ["seq", "M2"], ["m2"], name="mm2")]
    return finish_model(nodes, [_tvi("a", [6, 7]), _tvi("img", [1, 4, 5, 5]), _tvi("seq", [1, "T", 8])],
                        [_tvi("g", [7, 5]), _tvi("g2", [6, 3]), _tvi("c", [1, 4, 5, 5]), _tvi("m", [1, "T", 3]),
                         _tvi("m2", [1, "T", 2])], inits)


@pytest.mark.parametrize("qmethod", ["channel", "group2"])
def test_matrix_and_grouped_layers_against_float64_statistics(tmp_path, qmethod):
    """Each layer's error equals sum r H r^T / sum w H w^T with H built in NumPy from
    the layer's own input vectors in its own layout (per group of a grouped Conv), over
    every sample as it is: the features-first input whole (its first dim is no batch),
    sequences of their own lengths; r taken from the exported weights; the QDQ model
    computes what the fake-quant one does."""
    model = _matrix_layers_model(np.random.default_rng(2))
    onnx.save(model, tmp_path / "m.onnx")
    write_calibration(model, str(tmp_path / "cal"), n_samples=3, npy_inputs=("img",),
                      shapes={"a": [1, 6, 7], "seq": [1, 1, 8]})
    rng = np.random.default_rng(7)
    for si, T in enumerate((4, 9, 1)):          # whole inputs, and sentences of their own length
        np.save(tmp_path / "cal" / f"a_{si}.npy", rng.standard_normal((6, 7)).astype(np.float32))
        np.save(tmp_path / "cal" / f"seq_{si}.npy", rng.standard_normal((T, 8)).astype(np.float32))
    job = pipeline.prepare(pipeline.Options(model=str(tmp_path / "m.onnx"), qmethod=qmethod,
                                            dataset=str(tmp_path / "cal" / "calib.txt"), bits=3))
    pipeline.quantize(job)
    assert [s.method for s in job.stats] == ["gdq"] * 6
    assert [s.vectors for s in job.stats] == [21, 18, 75, 75, 14, 14]
    feeds = {k: np.concatenate(v) for k, v in job.feeds.items() if k != "seq"}
    d = run_whole_model(model, job.feeds)["d"][:, 0]
    x = {"gemm": [np.concatenate([a.T for a in job.feeds["a"]])],      # columns of A
         "gemm2": [np.concatenate(list(job.feeds["a"]))],                # rows of A
         "mm": [np.concatenate([s.reshape(-1, 8) for s in job.feeds["seq"]])],
         "dw": [_patches(feeds["img"][:, [c]].repeat(3, 1), (1, 1, 1, 1))[:, :9] for c in range(4)],
         "gc": [d[:, 2 * j:2 * j + 2].transpose(0, 2, 3, 1).reshape(-1, 2) for j in range(2)]}
    x["mm2"] = x["mm"]
    stored = {t.name: numpy_helper.to_array(t) for t in model.graph.initializer}
    for s in job.stats:
        t = s.layer
        w = stored[t.weight]
        kn = t.weight in ("B", "M", "B2", "M2")      # (K, N) weights
        W = w.T if kn else w.reshape(w.shape[0], -1)
        e = job.quant_tab[t.weight]
        R = (export.dequantize_entry(e).T if kn
             else export.dequantize_entry(e).reshape(W.shape)) - W
        rows = np.array_split(np.arange(len(W)), len(x[t.node]))
        num = den = 0.0
        for idx, X in zip(rows, x[t.node]):
            H = X.T.astype(np.float64) @ X / len(X)
            num += np.trace(R[idx] @ H @ R[idx].T)
            den += np.trace(W[idx] @ H @ W[idx].T)
        assert s.err == pytest.approx(num / den, rel=1e-5), t.node
        if qmethod == "group2" and t.kind in ("gemm", "matmul") and W.shape[1] % 2 == 0:
            assert len(e["scale"]) == W.shape[0] * W.shape[1] // 2
    q, _ = export.export_qdq(job.model, job.quant_tab, job.quantized)
    f = export.export_fake_quant(job.model, job.quant_tab, job.quantized)
    one = {k: v[0] for k, v in job.feeds.items()}
    # (unoptimized: onnxruntime's own DequantizeLinear+MatMul fusion computes in int8)
    for a, b in zip(ort_session(q, optimize=False).run(None, one), ort_session(f).run(None, one)):
        np.testing.assert_allclose(a, b, rtol=1e-6, atol=1e-6)


def test_matmul_nbits_export_computes_the_fake_quant_model(tmp_path):
    rng = np.random.default_rng(4)
    nodes = [helper.make_node("MatMul", ["x", "M"], ["h"], name="mm1"),
             helper.make_node("Relu", ["h"], ["r"]), helper.make_node("MatMul", ["r", "P"], ["y"], name="mm2")]
    model = finish_model(nodes, [_tvi("x", [1, 5, 32])], [_tvi("y", [1, 5, 4])],
                         [_init("M", _f32(rng, 32, 40)), _init("P", _f32(rng, 40, 4))])
    onnx.save(model, tmp_path / "m.onnx")
    write_calibration(model, str(tmp_path / "cal"), n_samples=2)
    for qtype in ("sym", "asym"):
        job = pipeline.prepare(pipeline.Options(model=str(tmp_path / "m.onnx"), qmethod="group16",
                                                dataset=str(tmp_path / "cal" / "calib.txt"),
                                                qtype=qtype, asym_groups=qtype == "asym"))
        pipeline.quantize(job)
        q, info = export.export_qdq(job.model, job.quant_tab, job.quantized, matmul_nbits=True)
        # P's K = 40 is no multiple of 16: per channel, DequantizeLinear
        assert info["matmul_nbits"] == ["M"]
        assert [n.op_type for n in q.graph.node] == ["DequantizeLinear", "MatMulNBits", "Relu", "MatMul"]
        f = export.export_fake_quant(job.model, job.quant_tab, job.quantized)
        x = {"x": job.feeds["x"][0]}
        # unoptimized: onnxruntime would fuse P's DequantizeLinear + MatMul into an int8 kernel
        np.testing.assert_allclose(ort_session(q, optimize=False).run(None, x)[0],
                                   ort_session(f).run(None, x)[0], rtol=1e-5, atol=1e-5)


def test_samples_beyond_the_budget_are_spilled_oldest_first_and_read_back():
    """Arrays over the memory budget go to files, the longest-kept first; they read back
    equal; dropping a list removes its files and its share of the budget."""
    import gc
    import os

    from mivra.engine.samples import SampleList, Spill

    spill = Spill(budget=3 * 800)
    rng = np.random.default_rng(0)
    a = [rng.standard_normal(100) for _ in range(4)]          # 800 bytes each
    old, new = SampleList(a[:2], spill), SampleList(a[2:], spill)
    assert spill.resident == 2400 and spill.spilled == 800
    assert old._entries[0].path is not None and new._entries[-1].arr is not None
    for lst, want in ((old, a[:2]), (new, a[2:])):
        for got, w in zip(lst, want):
            np.testing.assert_array_equal(got, w)
    path = old._entries[0].path
    del old
    gc.collect()
    assert not os.path.exists(path) and (spill.resident, spill.spilled) == (1600, 0)
    spill.close()
