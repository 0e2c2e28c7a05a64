"""Tests of the toolkit layer: IR, Session, calibration utilities, ranges."""
import numpy as np
import pytest
from onnx import helper, numpy_helper
from PIL import Image

import onnx_models as om
from mivra.api.ir import IR, ModelLoadError
from mivra.api.mivra_utils import get_input_img, get_input_paths, preprocess_input
from mivra.api.quant_utils import get_min_max_from_scale_zp, int_range


def _cnn_with_inner_output(opset):
    """conv1 is also a graph output, read by later layers: it lives to the end."""
    m = om.make_cnn_model(opset=opset)
    m.graph.output.append(om._tvi("conv1", [1, 8, 8, 8]))
    return m


def _split_with_unread_output(opset):
    """"unused" is read by no layer: it dies right after its producer."""
    m = om.make_split_model(opset=opset)
    m.graph.node.insert(2, helper.make_node("Relu", ["half_b"], ["unused"], name="u"))
    return m


@pytest.mark.parametrize("builder,opset", [
    (om.make_cnn_model, 9), (om.make_cnn_model, 21), (om.make_two_input_model, 17),
    (om.make_split_model, 11), (om.make_split_model, 13), (om.make_no_conv_model, 13),
    (_cnn_with_inner_output, 13), (_split_with_unread_output, 13)], ids=lambda v: getattr(v, "__name__", v))
def test_layer_by_layer_equals_whole_model(builder, opset, tmp_path):
    """As built, and with every weight made by Constant / Identity / Cast nodes, which
    loading folds back into the original initializers."""
    plain = builder(opset=opset)
    param = om.write_calibration(plain, tmp_path, n_samples=2)
    om.check_layer_split(IR(plain), param)
    styled = om.weights_as_constants(plain)
    ir = IR(styled)
    assert [n.name for n in ir.graph.node] == [n.name for n in plain.graph.node]
    assert sorted(t.SerializeToString() for t in ir.graph.initializer) == \
        sorted(t.SerializeToString() for t in plain.graph.initializer)
    om.check_layer_split(ir, param, model=styled)


def test_unsorted_nodes():
    model = om.make_no_conv_model()
    ir = IR(model)
    del ir.model.graph.node[:]
    ir.model.graph.node.extend(reversed(model.graph.node))
    assert [l.graph.node[0].name for l in ir.create_ir_layers()[0]] == [n.name for n in model.graph.node]


def test_ir_arrays_copies_and_save(tmp_path):
    model = om.make_cnn_model()
    ir = IR(model)
    assert ir.inputs == ["input"] and ir.outputs == ["logits"] and ir.graph is ir.model.graph
    want, t = numpy_helper.to_array(model.graph.initializer[0]), ir.graph.initializer[0]
    ir.get_array(t)[...] = 7                          # an independent copy
    clone = ir.deepcopy()
    clone.graph.initializer[0].CopyFrom(numpy_helper.from_array(want * 0, t.name))
    np.testing.assert_array_equal(ir.get_array("conv1.weight", ref=True), want)
    assert clone.get_array(t.name).sum() == 0 and len(model.graph.value_info) == 0  # caller's model untouched
    with pytest.raises(KeyError, match="no initializer named 'nope'"):
        ir.get_array("nope")
    ir.save(str(tmp_path / "m.onnx"))
    np.testing.assert_array_equal(IR(str(tmp_path / "m.onnx")).get_array("fc.weight"), ir.get_array("fc.weight"))


def test_load_errors_name_the_problem(tmp_path, monkeypatch):
    (tmp_path / "junk.onnx").write_bytes(b"\xff\xfe this is not a protobuf \x00\x01" * 4)
    with pytest.raises(ModelLoadError, match="not an ONNX model: .*junk.onnx"):
        IR(str(tmp_path / "junk.onnx"))
    with pytest.raises(TypeError, match="path to an ONNX file or an onnx.ModelProto"):
        IR(42)
    model = om.finish_model([helper.make_node("Add", ["a", "b"], ["c"])],   # Add of (1,3) and (1,4)
                            [om._tvi("a", [1, 3]), om._tvi("b", [1, 4])], [om._tvi("c", [1, 3])], [])
    with pytest.raises(ModelLoadError, match="shape inference failed"):
        IR(model)
    bad = om.make_no_conv_model()
    bad.graph.node[0].input[0] = "does_not_exist"
    with pytest.raises(ModelLoadError, match="ONNX checker rejected"):
        IR(bad)
    # over the protobuf limit (made small here), checks and shape inference go through a file
    monkeypatch.setattr("mivra.api.model_file.MAX_PROTO_BYTES", 100)
    with pytest.raises(ModelLoadError, match="ONNX checker rejected"):
        IR(bad)


def test_get_input_paths_format(tmp_path):
    (tmp_path / "sub").mkdir()
    for f in ("a.npy", "sub/b.npy", "c.npy"):
        (tmp_path / f).write_bytes(b"")
    lst = tmp_path / "list.txt"
    lst.write_text(f"# header\n\n  a.npy   sub/b.npy\n   # indented comment\n{tmp_path / 'c.npy'} a.npy\n\n")
    assert get_input_paths(str(lst)) == [[str(tmp_path / "a.npy"), str(tmp_path / "sub" / "b.npy")],
                                         [str(tmp_path / "c.npy"), str(tmp_path / "a.npy")]]
    lst.write_text("# nothing\n")
    assert get_input_paths(str(lst)) == []


def test_sample_loading_layouts(tmp_path):
    pix = np.random.default_rng(5).integers(0, 256, size=(4, 6, 3), dtype=np.uint8)
    Image.fromarray(pix, "RGB").save(tmp_path / "x.png")
    Image.fromarray(np.full((9, 5, 3), 77, np.uint8), "RGB").save(tmp_path / "u.jpg", quality=100)
    arr = np.arange(24, dtype=np.float32).reshape(2, 3, 4)
    np.save(tmp_path / "s.npy", arr)
    np.save(tmp_path / "b.npy", arr[None])
    load = lambda f, *a: get_input_img(str(tmp_path / f), *a)
    chw = pix.transpose(2, 0, 1)
    for got, want in [(load("x.png", "nchw", [1, 3, 4, 6], "nchw", False), chw),
                      (load("x.png", "nchw", [1, 3, 4, 6], "nchw", True), chw[::-1]),
                      (load("x.png", "nhwc", [1, 4, 6, 3], "nhwc", False), pix),
                      (load("x.png", "nchw", [1, 4, 6, 3], "nhwc", False), chw),
                      (load("s.npy", "nchw", [1, 2, 3, 4], "nchw", False), arr),
                      (load("b.npy", "nchw", [1, 2, "H", None], "nchw", False), arr),
                      (load("s.npy", "nchw", [1, 2, 3, 4], "nhwc", False), arr.transpose(2, 0, 1))]:  # (H, W, C)
        assert got.dtype == np.float32
        np.testing.assert_array_equal(got, want)
    gray = load("x.png", "nchw", [1, 1, 4, 6], "nchw", False)           # ITU-R 601 luma, as Pillow's "L"
    assert gray.shape == (1, 4, 6) and np.abs(gray[0] - pix @ [0.299, 0.587, 0.114]).max() <= 1.0
    u = load("u.jpg", "nchw", [1, 3, 4, 6], "nchw", False)             # resized, still uniform
    assert u.shape == (3, 4, 6) and np.abs(u - 77).max() <= 1
    for shape, msg in [([1, 2, 4, 3], r"s.npy holds an array of shape \(2, 3, 4\), which does not match"),
                       ([2, 3, 4], "must start with a batch of 1")]:
        with pytest.raises(ValueError, match=msg):
            load("s.npy", "nchw", shape, "nchw", False)


def test_preprocess_input_against_loops():
    img = np.random.default_rng(3).uniform(0, 255, size=(3, 2, 4)).astype(np.float32)
    mean, std = [10.0, 20.0, 30.0], [2.0, 4.0, 8.0]
    ref = np.array([[[(float(img[c, i, j]) - mean[c]) / std[c] for j in range(4)] for i in range(2)]
                    for c in range(3)])
    out = preprocess_input(img, "nchw", mean, std, "float32")
    assert out.shape == (1, 3, 2, 4) and out.dtype == np.float32
    np.testing.assert_allclose(out[0], ref, rtol=1e-6)
    nhwc = preprocess_input(img, "nhwc", mean, std, "float64")
    assert nhwc.dtype == np.float64
    np.testing.assert_allclose(nhwc, ref.transpose(1, 2, 0)[None], rtol=1e-12)
    np.testing.assert_allclose(preprocess_input(img, "nchw", 5.0, 0.5, "float32")[0], (img - 5.0) * 2, rtol=1e-6)
    np.testing.assert_array_equal(preprocess_input(img, "nchw", None, None, "float32")[0], img)
    with pytest.raises(ValueError, match="std must be non-zero"):
        preprocess_input(img, "nchw", 0, [1, 0, 1], "float32")


@pytest.mark.parametrize("dtype", ["int2", "int4", "int8", "uint8"])
def test_min_max_brute_force(dtype):
    rng = np.random.default_rng(7)
    scale, zp = list(rng.uniform(-0.5, 0.5, size=6)) + [0.0], list(rng.integers(-9, 9, size=7))
    bits = int(dtype.lstrip("uint"))
    grid = range(2 ** bits) if dtype[0] == "u" else range(-2 ** (bits - 1), 2 ** (bits - 1))
    assert int_range(dtype) == (min(grid), max(grid))
    lo, hi = get_min_max_from_scale_zp(scale, zp, dtype, "asym")
    assert all(isinstance(v, float) for v in lo + hi)
    vals = np.array([[(q - int(zp[k])) * float(scale[k]) for q in grid] for k in range(7)])
    np.testing.assert_allclose(lo, vals.min(1), atol=1e-12)
    np.testing.assert_allclose(hi, vals.max(1), atol=1e-12)
    assert get_min_max_from_scale_zp(0.25, [1, -1], "int4", "asym") == ([-2.25, -1.75], [1.5, 2.0])
    assert get_min_max_from_scale_zp([0.5, 2.0], 0, "int4", "sym") == ([-4.0, -16.0], [3.5, 14.0])
    for args, msg in [(([1.0], [0], "int4", "other"), "qtype must be 'sym' or 'asym'"),
                      (([1.0], [0], "float8", "sym"), "unsupported quantized dtype 'float8'"),
                      (([1.0, 2.0], [0, 0, 0], "int8", "asym"), "scale has 2 elements but zero_point has 3")]:
        with pytest.raises(ValueError, match=msg):
            get_min_max_from_scale_zp(*args)


@pytest.mark.parametrize("builder", [lambda: om.make_cnn_model(opset=9), lambda: om.weights_as_constants(om.make_ocr_model()),
                                     lambda: om.make_split_model(opset=11)])
def test_layers_on_demand_and_loading_big_models(builder, tmp_path, monkeypatch):
    """layer_models() builds one at a time exactly the layer models of create_ir_layers(); a
    model over the protobuf limit (lowered here) is checked and shape-inferred from a file
    (weights left out, tensor attributes too) into the same normalised model."""
    from mivra.api import model_file

    path = str(tmp_path / "m.onnx")
    om.save_with_external_data(builder(), path)
    ir = IR(path)
    layers, frees, producers = ir.create_ir_layers()
    lazy = ir.layer_models()
    assert (len(lazy), lazy.can_frees, lazy.producers) == (len(layers), frees, producers)
    assert [lazy[i].SerializeToString() for i in range(len(lazy))] == [m.SerializeToString() for m in layers]
    monkeypatch.setattr(model_file, "MAX_PROTO_BYTES", 1000)
    big = IR(path)
    assert big.external_data and big.model.SerializeToString() == ir.model.SerializeToString()
