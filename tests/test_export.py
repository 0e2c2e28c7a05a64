"""QDQ / fake-quant export and the min/max baseline, checked against brute force,
onnxruntime's DequantizeLinear and float64 references."""
import json
import os

import numpy as np
import onnx
import onnxruntime as ort
import pytest
from onnx import TensorProto, helper, numpy_helper

import onnx_models as om
from mivra import baseline, export, scheme
from mivra.outputs import StagedOutputs, json_text


def _run(model, feeds, outputs=None):
    so = ort.SessionOptions()
    so.log_severity_level = 3
    return ort.InferenceSession(model.SerializeToString(), so, providers=["CPUExecutionProvider"]).run(outputs, feeds)


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
    assert w_int.dtype == np.int8 and (not sym or np.all(zp == 0))
    gs = 36 if groupsize == -1 else groupsize
    W, Q, grid = w.reshape(5, -1), w_int.reshape(5, -1), np.arange(lo, hi + 1)
    for c in range(5):
        for d in range(36):
            s, z = scale[c, d // gs], zp[c, d // gs]
            best = np.abs((grid - z) * s - W[c, d]).min()
            assert lo <= Q[c, d] <= hi and abs((Q[c, d] - z) * s - W[c, d]) <= best + 1e-12
    assert np.all(Q[2] == np.repeat(zp[2], gs))
    # float32 weights are worked in their own dtype: the same as their float64 copy
    w32 = w.astype(np.float32)
    assert all(np.array_equal(a, b) for a, b in zip(baseline.minmax_quantize(w32, bits, sym, groupsize),
                                                    baseline.minmax_quantize(w32.astype(np.float64), bits, sym, groupsize)))
    # the range ends: asymmetric, min(w) on the lowest grid value; symmetric, max|w| on max_bound
    w_int, scale, zp = baseline.minmax_quantize(np.array([[-1.0, 0.5, 0.25, 0.0]]), bits, sym)
    assert (w_int[0, 0], scale[0, 0]) == ((-hi, pytest.approx(1 / hi)) if sym else (lo, pytest.approx(1.5 / (hi - lo))))


def test_group_fallback_and_order():
    """group64 does not divide 16 x 3x3 = 144 columns: per channel, qmethod "channel"."""
    w = np.random.default_rng(0).standard_normal((4, 16, 3, 3)).astype(np.float32)
    for qmethod, want, n in [("group64", "channel", 4), ("group8", "group8", 8)]:
        tab = {"w": {"qtype": "asym", "dtype": "int4", "qmethod": qmethod}}
        baseline.fill_quant_tab_minmax({"w": w}, tab, 4)
        assert (tab["w"]["qmethod"], len(tab["w"]["scale"])) == (want, n)
    e = tab["w"]
    assert e["qtype"] == "sym"
    for k in range(2):  # group after group: entry k*C + c is channel c, group k
        for c in range(4):
            assert e["scale"][k * 4 + c] == pytest.approx(np.abs(w[c].reshape(-1)[k * 72:(k + 1) * 72]).max() / 7)


def test_table_zero_points_round_halves_to_even():
    """round(-zero / scale): exact halves go to the even integer; a zero scale gives 0."""
    z = scheme.table_zero_points(np.array([2.0, 2.0, 2.0, 0.0]), np.array([-5.0, -7.0, 5.0, 1.0]))
    assert z.dtype == np.int32 and z.tolist() == [2, 4, -2, 0]


def _entry(w_int, scale, zp, bits=4):
    return {"w_int": np.asarray(w_int, np.int8), "scale": list(scale), "zero_point": list(zp),
            "dtype": f"int{bits}", "qtype": "asym", "qmethod": "channel"}


def test_dequantize_entry_reference():
    rng = np.random.default_rng(1)
    w_int = rng.integers(-8, 8, size=(3, 4, 1, 2))
    scale, zp = rng.random(3 * 2) + 0.1, rng.integers(-8, 8, size=3 * 2)     # 2 groups of 4 columns
    W = w_int.reshape(3, 8)
    ref = [[(W[c, d] - zp[d // 4 * 3 + c]) * np.float32(scale[d // 4 * 3 + c]) for d in range(8)] for c in range(3)]
    np.testing.assert_allclose(export.dequantize_entry(_entry(w_int, scale, zp)).reshape(3, 8), ref, rtol=1e-6)


@pytest.mark.parametrize("zp_value,bits,want", [(0, 4, "INT4"), (-8, 3, "INT4"), (9, 4, "INT8"),
                                                (200, 4, "INT16"), (0, 6, "INT8"), (-40000, 8, "INT32")])
@pytest.mark.parametrize("blocked", [False, True])
def test_dequantize_linear_is_bit_exact(zp_value, bits, want, blocked):
    """onnxruntime's DequantizeLinear equals dequantize_entry bit for bit, whatever container."""
    rng = np.random.default_rng(2)
    C, I, G = 4, 6, (3 if blocked else 1)
    w = rng.standard_normal((C, I, 3, 3)).astype(np.float32)
    m = om.finish_model([helper.make_node("Conv", ["x", "w"], ["y"], name="conv", pads=[1, 1, 1, 1])],
                        [om._tvi("x", [1, I, 5, 5])], [om._tvi("y", [1, C, 5, 5])], [numpy_helper.from_array(w, "w")])
    lo, hi = -2 ** (bits - 1), 2 ** (bits - 1) - 1
    e = _entry(rng.integers(lo, hi + 1, size=w.shape), rng.random(C * G) + 0.01, np.full(C * G, zp_value), bits)
    q, info = export.export_qdq(m, {"w": e}, ["w"])
    assert info["weights"]["w"]["container"] == want
    onnx.checker.check_model(q, full_check=True)
    q.graph.output.append(onnx.ValueInfoProto(name="w"))
    x = rng.standard_normal((1, I, 5, 5)).astype(np.float32)
    y, w_dq = _run(q, {"x": x}, ["y", "w"])
    np.testing.assert_array_equal(w_dq, export.dequantize_entry(e))
    y_fake = _run(export.export_fake_quant(m, {"w": e}, ["w"]), {"x": x})[0]
    np.testing.assert_allclose(y, y_fake, rtol=0, atol=1e-5 * max(1.0, np.abs(y_fake).max()))


def _cnn_listing_a_weight_as_input():
    m = om.make_cnn_model(opset=9)
    m.graph.input.append(om._tvi("conv1.weight", [8, 3, 3, 3]))
    return m


@pytest.mark.parametrize("build,names,bits,qtype,qmethod,opset", [
    (om.make_cnn_model, ["conv1.weight", "conv3.weight"], 4, "asym", "channel", 21),
    (om.make_cnn_model, ["conv1.weight", "conv3.weight"], 2, "sym", "group2", 21),
    (om.make_cnn_model, ["conv1.weight", "conv3.weight"], 3, "asym", "group4", 21),
    (om.make_cnn_model, ["conv1.weight", "conv3.weight"], 8, "asym", "channel", 13),
    (_cnn_listing_a_weight_as_input, ["conv1.weight"], 6, "sym", "channel", 13),
    # a weight read by two convolutions is listed once per reader, as the layer list has it
    (om.make_shared_weight_model, ["shared", "shared", "c3.weight"], 4, "asym", "channel", 21),
    (om.make_shared_weight_model, ["shared", "shared", "c3.weight"], 3, "asym", "group2", 21)])
def test_qdq_matches_fake_quant(build, names, bits, qtype, qmethod, opset):
    """One DequantizeLinear per weight; the model passes the full checker and computes what
    the fake-quant model does; initializers not quantized keep their bytes."""
    m = build()
    arrays = {t.name: numpy_helper.to_array(t) for t in m.graph.initializer if t.name in names}
    tab = {n: {"qtype": qtype, "dtype": f"int{bits}", "qmethod": qmethod} for n in arrays}
    baseline.fill_quant_tab_minmax(arrays, tab, bits)
    q, info = export.export_qdq(m, tab, names)
    onnx.checker.check_model(q, full_check=True)
    assert (info["opset_from"], info["opset_to"]) == (m.opset_import[0].version, opset)
    assert sorted(n.input[0] for n in q.graph.node if n.op_type == "DequantizeLinear") == \
        sorted(n + "_quantized" for n in arrays)
    assert not set(arrays) & {v.name for v in q.graph.input}
    f = export.export_fake_quant(m, tab, names)
    x = {"input": np.random.default_rng(3).standard_normal((1, 4 if "shared" in names else 3, 8, 8)).astype(np.float32)}
    np.testing.assert_allclose(_run(q, x)[0], _run(f, x)[0], rtol=1e-5, atol=1e-5)
    orig = {t.name: t.SerializeToString() for t in m.graph.initializer}
    assert {t.name for t in f.graph.initializer} == set(orig)
    for model in (q, f):
        assert all(t.SerializeToString() == orig[t.name] for t in model.graph.initializer
                   if t.name in orig and t.name not in names)


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


def _bit_patterns(n):
    rng = np.random.default_rng(5)
    v = rng.integers(0, 2 ** 64, n, dtype=np.uint64).view(np.float64)
    return v[np.isfinite(v)]


@pytest.mark.parametrize("values", [
    np.array([0.0, -0.0, 0.1, 1e-05, 0.0001, 1e16, 1234567890123456.0, 12345678901234567.0, 5e-324,
              2.2250738585072014e-308, 1.7976931348623157e308, 100.0, -2.5, 1e22, 1e-07, 9.999999e-05]),
    _bit_patterns(200_000),                                                   # every exponent
    np.random.default_rng(6).standard_normal(100_000).astype(np.float32).astype(np.float64) * 1e-3,
    np.array([0, -1, 7, -8, 2 ** 62, -2 ** 63], dtype=np.int64),
])
def test_number_arrays_written_as_json_writes_their_lists(values):
    """The table's number arrays are written character for character as json writes their
    lists (repr of each float); a NaN is refused as json refuses it."""
    entry = {"scale": values, "shape": [3, 4]}
    assert json_text({"w": entry}, compact_values=True) == \
        json_text({"w": {"scale": values.tolist(), "shape": [3, 4]}}, compact_values=True)
    with pytest.raises(ValueError):
        json_text({"w": {"scale": np.array([1.0, np.nan])}}, compact_values=True)


@pytest.mark.parametrize("qmethod", ["channel", "group8"])
def test_embedding_table_quantized_behind_dequantize_linear(tmp_path, qmethod):
    """A Gather's table is quantized per row (or in blocks of 8 along the row): the rows
    the calibration set reads by the solver, the others exactly as min/max rounding; the
    error counts each read as often as it happens; the QDQ model (INT4 behind
    DequantizeLinear) computes in onnxruntime what the fake-quant model does."""
    from mivra import pipeline

    rng = np.random.default_rng(5)
    E = (rng.standard_normal((40, 16)) * rng.uniform(0.1, 1, (40, 1))).astype(np.float32)
    nodes = [helper.make_node("Gather", ["E", "ids"], ["e"], name="emb"),
             helper.make_node("ReduceSum", ["e"], ["y"], keepdims=0)]
    m = om.finish_model(nodes, [helper.make_tensor_value_info("ids", TensorProto.INT64, [1, "T"])],
                        [om._tvi("y", [])], [om._init("E", E)])
    onnx.save(m, tmp_path / "m.onnx")
    ids = [np.array([[3, 3, 7, -1]]), np.array([[7, 12]])]             # -1 reads row 39
    for i, a in enumerate(ids):
        np.save(tmp_path / f"i{i}.npy", a)
    (tmp_path / "cal.txt").write_text("i0.npy\ni1.npy\n")
    job = pipeline.prepare(pipeline.Options(model=str(tmp_path / "m.onnx"), dataset=str(tmp_path / "cal.txt"),
                                            qmethod=qmethod, qtype="asym", asym_groups=True, bits=3))
    pipeline.quantize(job)
    (s,) = job.stats
    e, mm = job.quant_tab["E"], job.minmax_tab["E"]
    counts = np.bincount([3, 3, 7, 39, 7, 12], minlength=40)
    W, Wq = E.astype(np.float64), export.dequantize_entry(e).astype(np.float64)
    assert (s.layer.kind, s.vectors) == ("gather", 6)
    assert s.err == pytest.approx(counts @ ((Wq - W) ** 2).sum(1) / (counts @ (W ** 2).sum(1)), rel=1e-6)
    unread = counts == 0
    np.testing.assert_array_equal(np.asarray(e["w_int"])[unread], np.asarray(mm["w_int"])[unread])
    assert not np.array_equal(np.asarray(e["w_int"])[~unread], np.asarray(mm["w_int"])[~unread])
    q, info = export.export_qdq(job.model, job.quant_tab, job.quantized)
    f = export.export_fake_quant(job.model, job.quant_tab, job.quantized)
    assert info["weights"]["E"]["container"] == "INT4"
    assert [n.op_type for n in q.graph.node][:2] == ["DequantizeLinear", "Gather"]
    feed = {"ids": np.arange(40)[None]}
    np.testing.assert_allclose(_run(q, feed)[0], _run(f, feed)[0], rtol=1e-6)
    np.testing.assert_allclose(_run(f, feed)[0], Wq.sum(), rtol=1e-5)


def _tensors(model):
    return [(t.name, numpy_helper.to_array(t)) for t in model.graph.initializer]


def test_model_over_the_limit_goes_to_external_data(tmp_path, monkeypatch):
    """Over the size limit (lowered here) the exports are written as OUT.onnx + OUT.onnx.data
    (the initializers of 1 KiB or more in the data file) and the report runs its fake-quant
    models from such files: the same tensors, nodes and outputs in onnxruntime, and the same
    report, bit for bit, as when everything is done in memory; no temporary file is left."""
    from mivra import cli
    from mivra.api import model_file

    m = om.make_cnn_model(hidden=32)
    onnx.save(m, tmp_path / "m.onnx")
    om.write_calibration(m, str(tmp_path / "cal"), n_samples=2)
    monkeypatch.chdir(tmp_path)
    args = ["quantize", "m.onnx", "--dataset", "cal/calib.txt", "--bias-correction", "--report"]
    assert cli.main(args + ["--out", "a", "--export-qdq", "q.onnx", "--export-fake-quant", "f.onnx"]) == 0
    monkeypatch.setattr(export, "EXTERNAL_DATA_BYTES", 4000)
    monkeypatch.setattr(model_file, "MAX_PROTO_BYTES", 4000)     # the input too goes the big way
    assert cli.main(args + ["--out", "b", "--export-qdq", "Q.onnx", "--export-fake-quant", "F.onnx"]) == 0
    assert sorted(os.listdir(tmp_path)) == ["F.onnx", "F.onnx.data", "Q.onnx", "Q.onnx.data", "a", "b", "cal",
                                            "f.onnx", "m.onnx", "q.onnx"]
    report = [json.loads((tmp_path / d / "report.json").read_text())["outputs"] for d in "ab"]
    assert report[0] == report[1]
    summary = json.loads((tmp_path / "b" / "summary.json").read_text())
    assert summary["qdq_model_bytes"] == os.path.getsize("Q.onnx") + os.path.getsize("Q.onnx.data")
    x = {"input": np.random.default_rng(0).standard_normal((1, 3, 8, 8)).astype(np.float32)}
    for small, big in (("q.onnx", "Q.onnx"), ("f.onnx", "F.onnx")):
        header = onnx.load(big, load_external_data=False)
        external = {t.name for t in header.graph.initializer if t.data_location == TensorProto.EXTERNAL}
        assert external == {t.name for t in onnx.load(small).graph.initializer
                            if len(t.raw_data) >= 1024} != set()
        assert {e.value for t in header.graph.initializer for e in t.external_data if e.key == "location"} \
            == {big + ".data"}
        a, b = onnx.load(small), onnx.load(big)
        assert a.graph.node == b.graph.node
        for (na, ta), (nb, tb) in zip(_tensors(a), _tensors(b), strict=True):
            assert na == nb
            np.testing.assert_array_equal(ta, tb)
        sessions = [ort.InferenceSession(p, providers=["CPUExecutionProvider"]) for p in (small, big)]
        np.testing.assert_array_equal(*(s.run(None, x)[0] for s in sessions))


def test_external_data_input_and_output_paths(tmp_path, monkeypatch, capsys):
    """A model whose weights are in external data gives exports with external data too; the
    data file OUT.onnx.data is checked before any work like every output's path; a failed
    write of a model and its data file leaves neither."""
    from mivra import cli

    m = om.make_cnn_model(hidden=32)
    kept = m.graph.node[0].output[0]        # the one tensor the source describes
    m.graph.value_info.append(helper.make_tensor_value_info(kept, TensorProto.FLOAT, None))
    om.save_with_external_data(m, str(tmp_path / "m.onnx"))
    om.write_calibration(m, str(tmp_path / "cal"), n_samples=2)
    monkeypatch.chdir(tmp_path)
    args = ["quantize", "m.onnx", "--dataset", "cal/calib.txt", "--out", "o", "--export-qdq", "q.onnx"]
    assert cli.main(args + ["--export-fake-quant", "q.onnx.data"]) == 2
    assert "--export-fake-quant q.onnx.data: is the same file as --export-qdq q.onnx (its external data" \
        in capsys.readouterr().err
    assert sorted(os.listdir(tmp_path)) == ["cal", "m.onnx", "m.onnx.data"]
    assert cli.main(args) == 0
    assert os.path.getsize("q.onnx.data") > 0
    summary = json.loads((tmp_path / "o" / "summary.json").read_text())
    assert summary["model_bytes"] == os.path.getsize("m.onnx") + os.path.getsize("m.onnx.data")
    # the export keeps the source's value_info, not what shape inference added
    assert [v.name for v in onnx.load("q.onnx", load_external_data=False).graph.value_info] == [kept]
    x = {"input": np.random.default_rng(0).standard_normal((1, 3, 8, 8)).astype(np.float32)}
    ort.InferenceSession("q.onnx", providers=["CPUExecutionProvider"]).run(None, x)
    with pytest.raises(ZeroDivisionError):
        with StagedOutputs() as out:
            out.write_files(["n.onnx.data", "n.onnx"], lambda d, p: (open(d, "wb").write(b"1"), 1 / 0))
    with pytest.raises(Exception, match="n.onnx: cannot write it"):
        with StagedOutputs() as out:
            out.write_files(["n.onnx.data", "n.onnx"], lambda d, p: open(os.path.join(d, "x"), "wb"))
    assert not [f for f in os.listdir(tmp_path) if f.startswith((".n", "n"))]


def test_parts_size_is_exact():
    """The exports' parts give their model's exact serialized size without making it."""
    m = om.make_cnn_model(hidden=32)
    arrays = {t.name: numpy_helper.to_array(t) for t in m.graph.initializer if t.name.endswith("weight")}
    tab = {n: {"qtype": "asym", "dtype": "int4", "qmethod": "channel"} for n in arrays}
    baseline.fill_quant_tab_minmax(arrays, tab, 4)
    biases = {"conv1": np.arange(8, dtype=np.float32)}
    for parts in (export.qdq_parts(m, tab, ["conv2.weight"], biases)[0], export.fake_quant_parts(m, tab, list(tab), biases)):
        assert not parts.header.graph.initializer
        size = parts.byte_size()
        assert size == len(parts.model().SerializeToString())
