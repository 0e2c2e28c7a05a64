"""Tests of the toolkit layer: IR, Session, calibration utilities, ranges."""
import copy

import numpy as np
import onnx
import pytest
from onnx import TensorProto, helper, numpy_helper
from PIL import Image

import onnx_models as om
from mivra.api.ir import IR, ModelLoadError
from mivra.api.mivra_utils import get_input_img, get_input_paths, preprocess_input
from mivra.api.quant_utils import get_min_max_from_scale_zp, int_range
from mivra.api.session import Session

BUILDERS = [om.make_cnn_model, om.make_two_input_model, om.make_split_model,
            om.make_no_conv_model]


def assert_layerwise_equals_whole(ir, param, model=None, atol=1e-5, skip=()):
    """Every tensor the layer-by-layer run computes equals the whole-model run
    of ``model`` (default: ``ir.model``); the reference exposes every node
    output. Names in ``skip`` (random values) are not compared. Returns the
    layer-by-layer tensors."""
    computed, live = om.run_layer_by_layer(ir, param)
    assert live == {}, f"tensors never freed: {sorted(live)}"
    feeds = om.load_model_inputs(ir, param)
    ref = om.run_whole_model(model if model is not None else ir.model, feeds)
    produced = {o for n in ir.graph.node for o in n.output if o}
    assert produced <= set(computed)
    for name in produced - set(skip):
        if name in ref:
            np.testing.assert_allclose(computed[name], ref[name], rtol=1e-5, atol=atol,
                                       err_msg=name)
    for name in set(ir.outputs) - set(skip):
        np.testing.assert_allclose(computed[name], ref[name], rtol=1e-5, atol=atol,
                                   err_msg=name)
    return computed


def expected_frees(ir, layers):
    """Brute-force dead sets: after layer i, a tensor is dead when it exists
    (a model input read so far or an output of a layer <= i), it is not read
    by any layer > i, it is not a graph output (unless i is the last layer),
    and it was not reported before."""
    inits = {t.name for t in ir.graph.initializer}
    nodes = [l.graph.node[0] for l in layers]
    reported, out = set(), []
    for i in range(len(nodes)):
        exists = set()
        for j in range(i + 1):
            exists |= {x for x in nodes[j].input if x and x not in inits}
            exists |= {x for x in nodes[j].output if x}
        later = set()
        for j in range(i + 1, len(nodes)):
            later |= {x for x in nodes[j].input if x}
        if i < len(nodes) - 1:
            later |= set(ir.outputs)
        dead = exists - later - reported
        reported |= dead
        out.append(dead)
    return out


# ----------------------------------------------------------------------------
# Layer split
# ----------------------------------------------------------------------------

@pytest.mark.parametrize("opset", [9, 11, 13, 17, 21])
@pytest.mark.parametrize("builder", BUILDERS, ids=lambda b: b.__name__)
def test_layer_by_layer_equals_whole_model(builder, opset, tmp_path):
    model = builder(opset=opset)
    param = om.write_calibration(model, tmp_path, n_samples=3)
    assert_layerwise_equals_whole(IR(model), param)


@pytest.mark.parametrize("builder", BUILDERS, ids=lambda b: b.__name__)
def test_layer_models_are_valid_single_node_models(builder):
    model = builder(opset=13)
    ir = IR(model)
    layers, frees, producers = ir.create_ir_layers()
    assert isinstance(layers, list) and len(layers) == len(model.graph.node)
    inits = {t.name for t in model.graph.initializer}
    available = set(ir.inputs)
    for i, layer in enumerate(layers):
        onnx.checker.check_model(layer)
        assert len(layer.graph.node) == 1
        node = layer.graph.node[0]
        assert layer.ir_version == model.ir_version
        assert list(layer.opset_import) == list(model.opset_import)
        # topological: every runtime input exists before the layer runs
        runtime = [x for x in node.input if x and x not in inits]
        assert all(x in available for x in runtime), (i, runtime)
        available |= set(node.output)
        # exactly the initializers the node reads, typed inputs for the rest
        assert sorted(t.name for t in layer.graph.initializer) == \
            sorted({x for x in node.input if x in inits})
        assert [vi.name for vi in layer.graph.input] == list(dict.fromkeys(runtime))
        assert all(vi.type.tensor_type.elem_type for vi in layer.graph.input)
        assert [o.name for o in layer.graph.output] == [o for o in node.output if o]
        for o in node.output:
            assert producers[o] == i
        clone = copy.deepcopy(layer)
        assert clone == layer and clone is not layer
    # the list is mutable, as the driver drops layers while it runs
    layers[0] = None


@pytest.mark.parametrize("builder", BUILDERS, ids=lambda b: b.__name__)
def test_can_frees_match_brute_force(builder):
    ir = IR(builder(opset=13))
    layers, frees, _ = ir.create_ir_layers()
    assert len(frees) == len(layers)
    got = [set(f) for f in frees]
    assert got == expected_frees(ir, layers)
    flat = [x for f in frees for x in f]
    assert len(flat) == len(set(flat)), "a tensor reported dead twice"
    assert not set(flat) & {t.name for t in ir.graph.initializer}


def test_graph_outputs_live_until_the_end_and_unread_outputs_die_at_once():
    # conv1 becomes a second graph output that the later layers also read;
    # the split model gets a third, unread output from a Relu.
    model = om.make_cnn_model()
    model.graph.output.append(helper.make_tensor_value_info("conv1", TensorProto.FLOAT,
                                                            [1, 8, 8, 8]))
    ir = IR(model)
    layers, frees, producers = ir.create_ir_layers()
    where = {x: i for i, f in enumerate(frees) for x in f}
    assert where["conv1"] == len(layers) - 1
    assert where["logits"] == len(layers) - 1
    assert where["relu1"] == producers["add1"]  # last reader of relu1

    m2 = om.make_split_model()
    m2.graph.node.insert(2, helper.make_node("Relu", ["half_b"], ["unused"], name="u"))
    ir2 = IR(m2)
    layers2, frees2, prod2 = ir2.create_ir_layers()
    assert "unused" in frees2[prod2["unused"]]


def test_input_read_by_two_layers_stays_until_its_last_reader(tmp_path):
    model = om.make_two_input_model()
    ir = IR(model)
    layers, frees, producers = ir.create_ir_layers()
    readers = [i for i, l in enumerate(layers) if "aux" in l.graph.node[0].input]
    assert len(readers) == 2
    assert "aux" in frees[readers[1]]
    assert all("aux" not in f for f in frees[:readers[1]])
    assert "aux" in ir.inputs and "image" in ir.inputs
    param = om.write_calibration(model, tmp_path, n_samples=2)
    assert_layerwise_equals_whole(ir, param)


def test_split_layer_has_two_outputs_in_node_order():
    ir = IR(om.make_split_model(opset=13))
    layers, _, producers = ir.create_ir_layers()
    layer = layers[producers["half_a"]]
    sess = Session(ir, layer)
    assert [o.name for o in sess.get_outputs()] == ["half_a", "half_b"]
    assert [i.name for i in sess.get_inputs()] == ["c1"]
    x = np.random.default_rng(0).standard_normal((1, 8, 8, 8)).astype(np.float32)
    a, b = sess.run({"c1": x, "unrelated": x})
    np.testing.assert_array_equal(a, x[:, :4])
    np.testing.assert_array_equal(b, x[:, 4:])


def test_topological_order_is_restored_for_unsorted_nodes():
    model = om.make_no_conv_model()
    nodes = list(model.graph.node)
    ir = IR(model)
    del ir.model.graph.node[:]
    ir.model.graph.node.extend(list(reversed(nodes)))
    layers, _, _ = ir.create_ir_layers()
    assert [l.graph.node[0].name for l in layers] == [n.name for n in nodes]


def test_control_flow_node_fails_at_create_ir_layers_naming_it():
    then_g = helper.make_graph([helper.make_node("Relu", ["x"], ["t"])], "then", [],
                               [helper.make_tensor_value_info("t", TensorProto.FLOAT,
                                                              [1, 3])])
    else_g = helper.make_graph([helper.make_node("Neg", ["x"], ["e"])], "else", [],
                               [helper.make_tensor_value_info("e", TensorProto.FLOAT,
                                                              [1, 3])])
    nodes = [helper.make_node("ReduceSum", ["x"], ["s"], keepdims=0),
             helper.make_node("Greater", ["s", "zero"], ["cond"]),
             helper.make_node("If", ["cond"], ["y"], name="branch",
                              then_branch=then_g, else_branch=else_g)]
    model = om.finish_model(nodes, [helper.make_tensor_value_info("x", TensorProto.FLOAT,
                                                                  [1, 3])],
                            [helper.make_tensor_value_info("y", TensorProto.FLOAT,
                                                           [1, 3])],
                            [numpy_helper.from_array(np.array(0, np.float32), "zero")],
                            opset=13)
    ir = IR(model)  # loading is fine
    with pytest.raises(ValueError, match=r"node 'branch' \(If\) holds a subgraph"):
        ir.create_ir_layers()


# ----------------------------------------------------------------------------
# IR object
# ----------------------------------------------------------------------------

def test_ir_inputs_get_array_and_deepcopy(tmp_path):
    model = om.make_cnn_model()
    ir = IR(model)
    assert ir.inputs == ["input"] and "input" in ir.inputs
    assert "conv1.weight" not in ir.inputs
    assert ir.outputs == ["logits"]
    assert ir.graph is ir.model.graph
    want = numpy_helper.to_array(model.graph.initializer[0])
    t = ir.graph.initializer[0]
    a = ir.get_array(t, ref=False)
    np.testing.assert_array_equal(a, want)
    a[...] = 7  # an independent copy
    np.testing.assert_array_equal(ir.get_array(t), want)
    np.testing.assert_array_equal(ir.get_array("conv1.weight", ref=True), want)
    with pytest.raises(KeyError, match="no initializer named 'nope'"):
        ir.get_array("nope")

    clone = ir.deepcopy()
    clone.graph.initializer[0].CopyFrom(numpy_helper.from_array(want * 0, t.name))
    np.testing.assert_array_equal(ir.get_array(t.name), want)
    assert clone.get_array(t.name).sum() == 0
    # the caller's ModelProto is not modified by loading
    assert model.graph.value_info == onnx.ModelProto().graph.value_info

    path = tmp_path / "m.onnx"
    ir.save(str(path))
    again = IR(str(path))
    np.testing.assert_array_equal(again.get_array("fc.weight"), ir.get_array("fc.weight"))


def test_missing_model_file_is_named(tmp_path):
    path = tmp_path / "absent.onnx"
    with pytest.raises(FileNotFoundError, match="ONNX model file not found: .*absent.onnx"):
        IR(str(path))


def test_non_onnx_file_is_rejected(tmp_path):
    path = tmp_path / "junk.onnx"
    path.write_bytes(b"\xff\xfe this is not a protobuf \x00\x01" * 4)
    with pytest.raises(ModelLoadError, match="not an ONNX model: .*junk.onnx"):
        IR(str(path))
    empty = tmp_path / "empty.onnx"
    empty.write_bytes(b"")
    with pytest.raises(ModelLoadError, match="not an ONNX model"):
        IR(str(empty))


def test_model_failing_the_checker_is_rejected():
    model = om.make_no_conv_model()
    model.graph.node[0].input[0] = "does_not_exist"
    with pytest.raises(ModelLoadError, match="ONNX checker rejected"):
        IR(model)
    with pytest.raises(TypeError, match="path to an ONNX file or an onnx.ModelProto"):
        IR(42)


def test_shape_inference_failure_is_reported():
    # Checker-valid, but Add of (1,3) and (1,4) cannot broadcast.
    nodes = [helper.make_node("Add", ["a", "b"], ["c"])]
    model = om.finish_model(
        nodes, [helper.make_tensor_value_info("a", TensorProto.FLOAT, [1, 3]),
                helper.make_tensor_value_info("b", TensorProto.FLOAT, [1, 4])],
        [helper.make_tensor_value_info("c", TensorProto.FLOAT, [1, 3])], [], opset=13)
    with pytest.raises(ModelLoadError, match="shape inference failed"):
        IR(model)


# ----------------------------------------------------------------------------
# Session
# ----------------------------------------------------------------------------

def test_session_excludes_initializers_and_checks_the_feed():
    ir = IR(om.initializers_as_inputs(om.make_cnn_model(opset=9)))
    layers, _, _ = ir.create_ir_layers()
    sess = Session(ir, layers[0])
    assert [i.name for i in sess.get_inputs()] == ["input"]
    assert [o.name for o in sess.get_outputs()] == ["conv1"]
    with pytest.raises(KeyError, match="input 'input' of the layer is missing"):
        sess.run({})
    x = np.random.default_rng(1).standard_normal((1, 3, 8, 8)).astype(np.float32)
    (y,) = sess.run({"input": x})
    # independent float64 reference of the 3x3, pad-1 convolution
    w = ir.get_array("conv1.weight").astype(np.float64)
    b = ir.get_array("conv1.bias").astype(np.float64)
    xp = np.pad(x[0].astype(np.float64), ((0, 0), (1, 1), (1, 1)))
    ref = np.empty((8, 8, 8))
    for o in range(8):
        for i in range(8):
            for j in range(8):
                ref[o, i, j] = (w[o] * xp[:, i:i + 3, j:j + 3]).sum() + b[o]
    np.testing.assert_allclose(y[0], ref, rtol=1e-5, atol=1e-5)


# ----------------------------------------------------------------------------
# Calibration list and loading
# ----------------------------------------------------------------------------

def _write(path, text):
    path.write_text(text)
    return str(path)


def test_get_input_paths_format(tmp_path):
    (tmp_path / "a.npy").write_bytes(b"")
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "b.npy").write_bytes(b"")
    absolute = tmp_path / "c.npy"
    absolute.write_bytes(b"")
    lst = _write(tmp_path / "list.txt",
                 f"# header\n\n  a.npy   sub/b.npy\n   # indented comment\n"
                 f"{absolute} a.npy\n\n")
    got = get_input_paths(lst)
    assert got == [[str(tmp_path / "a.npy"), str(tmp_path / "sub" / "b.npy")],
                   [str(absolute), str(tmp_path / "a.npy")]]
    assert get_input_paths(_write(tmp_path / "empty.txt", "# nothing\n")) == []


def test_get_input_paths_errors(tmp_path):
    with pytest.raises(FileNotFoundError, match="calibration list file not found: .*nope"):
        get_input_paths(str(tmp_path / "nope.txt"))
    (tmp_path / "a.npy").write_bytes(b"")
    lst = _write(tmp_path / "l1.txt", "a.npy a.npy\n# c\na.npy\n")
    with pytest.raises(ValueError, match=r"line 3 of calibration list .*l1.txt lists 1 "
                                         r"path\(s\), but line 1 lists 2"):
        get_input_paths(lst)
    lst = _write(tmp_path / "l2.txt", "a.npy\n\nmissing.png\n")
    with pytest.raises(FileNotFoundError,
                       match=r"calibration sample file not found: .*missing.png \(line 3"):
        get_input_paths(lst)


def test_png_loading_layouts_gray_and_bgr(tmp_path):
    rng = np.random.default_rng(5)
    pix = rng.integers(0, 256, size=(4, 6, 3), dtype=np.uint8)
    Image.fromarray(pix, "RGB").save(tmp_path / "x.png")
    p = str(tmp_path / "x.png")
    chw = get_input_img(p, "nchw", [1, 3, 4, 6], "nchw", False)
    assert chw.shape == (3, 4, 6) and chw.dtype == np.float32
    np.testing.assert_array_equal(chw, pix.transpose(2, 0, 1))
    bgr = get_input_img(p, "nchw", [1, 3, 4, 6], "nchw", True)
    np.testing.assert_array_equal(bgr, pix[:, :, ::-1].transpose(2, 0, 1))
    hwc = get_input_img(p, "nhwc", [1, 4, 6, 3], "nhwc", False)
    np.testing.assert_array_equal(hwc, pix)
    # nhwc model input, asked for channel-first
    np.testing.assert_array_equal(get_input_img(p, "nchw", [1, 4, 6, 3], "nhwc", False),
                                  chw)
    # grayscale: one channel, ITU-R 601 luma as Pillow defines "L"
    gray = get_input_img(p, "nchw", [1, 1, 4, 6], "nchw", False)
    p64 = pix.astype(np.float64)
    luma = (p64[..., 0] * 299 + p64[..., 1] * 587 + p64[..., 2] * 114) / 1000
    assert gray.shape == (1, 4, 6)
    assert np.abs(gray[0] - luma).max() <= 1.0
    # resizing: a uniform image stays uniform at the input's size
    Image.fromarray(np.full((9, 5, 3), 77, np.uint8), "RGB").save(tmp_path / "u.jpg",
                                                                   quality=100)
    u = get_input_img(str(tmp_path / "u.jpg"), "nchw", [1, 3, 4, 6], "nchw", False)
    assert u.shape == (3, 4, 6) and np.abs(u - 77).max() <= 1
    Image.fromarray(pix, "RGB").save(tmp_path / "x.bmp")
    np.testing.assert_array_equal(
        get_input_img(str(tmp_path / "x.bmp"), "nchw", [1, 3, 4, 6], "nchw", False), chw)


def test_undecodable_image_is_named(tmp_path):
    bad = tmp_path / "broken.png"
    bad.write_bytes(b"\x89PNG\r\n\x1a\n garbage")
    with pytest.raises(ValueError, match="cannot decode image file .*broken.png"):
        get_input_img(str(bad), "nchw", [1, 3, 4, 4], "nchw", False)
    with pytest.raises(FileNotFoundError, match="calibration sample file not found"):
        get_input_img(str(tmp_path / "gone.png"), "nchw", [1, 3, 4, 4], "nchw", False)


def test_npy_loading_shapes_and_errors(tmp_path):
    arr = np.arange(2 * 3 * 4, dtype=np.float32).reshape(2, 3, 4)
    np.save(tmp_path / "s.npy", arr)
    np.save(tmp_path / "b.npy", arr[None])
    for name in ("s.npy", "b.npy"):
        got = get_input_img(str(tmp_path / name), "nchw", [1, 2, 3, 4], "nchw", False)
        np.testing.assert_array_equal(got, arr)
    # stored nhwc (H=2, W=3, C=4), asked channel-first
    got = get_input_img(str(tmp_path / "s.npy"), "nchw", [1, 2, 3, 4], "nhwc", False)
    np.testing.assert_array_equal(got, arr.transpose(2, 0, 1))
    # symbolic dims match any size
    got = get_input_img(str(tmp_path / "s.npy"), "nchw", [1, 2, "H", None], "nchw", False)
    assert got.shape == (2, 3, 4)
    with pytest.raises(ValueError, match=r"s.npy holds an array of shape \(2, 3, 4\), "
                                         r"which does not match the input shape"):
        get_input_img(str(tmp_path / "s.npy"), "nchw", [1, 2, 4, 3], "nchw", False)
    nan = arr.copy()
    nan[1, 1, 1] = np.nan
    np.save(tmp_path / "nan.npy", nan)
    with pytest.raises(ValueError, match="nan.npy contains NaN"):
        get_input_img(str(tmp_path / "nan.npy"), "nchw", [1, 2, 3, 4], "nchw", False)
    np.save(tmp_path / "obj.npy", np.array([{"a": 1}], dtype=object), allow_pickle=True)
    with pytest.raises(ValueError, match="cannot read .npy file .*obj.npy"):
        get_input_img(str(tmp_path / "obj.npy"), "nchw", [1, 1], "nchw", False)
    with pytest.raises(ValueError, match="must start with a batch of 1"):
        get_input_img(str(tmp_path / "s.npy"), "nchw", [2, 3, 4], "nchw", False)


def test_preprocess_input_against_loops():
    rng = np.random.default_rng(3)
    img = rng.uniform(0, 255, size=(3, 2, 4)).astype(np.float32)
    mean, std = [10.0, 20.0, 30.0], [2.0, 4.0, 8.0]
    out = preprocess_input(img, "nchw", mean, std, "float32")
    assert out.shape == (1, 3, 2, 4) and out.dtype == np.float32
    ref = np.empty((3, 2, 4))
    for c in range(3):
        for i in range(2):
            for j in range(4):
                ref[c, i, j] = (float(img[c, i, j]) - mean[c]) / std[c]
    np.testing.assert_allclose(out[0], ref, rtol=1e-6)
    nhwc = preprocess_input(img, "nhwc", mean, std, "float64")
    assert nhwc.shape == (1, 2, 4, 3) and nhwc.dtype == np.float64
    np.testing.assert_allclose(nhwc[0], ref.transpose(1, 2, 0), rtol=1e-12)
    scalar = preprocess_input(img, "nchw", 5.0, 0.5, "float32")
    np.testing.assert_allclose(scalar[0], (img.astype(np.float64) - 5) * 2, rtol=1e-6)
    ident = preprocess_input(img, "nchw", None, None, "float32")
    np.testing.assert_array_equal(ident[0], img)
    with pytest.raises(ValueError, match="std must be non-zero"):
        preprocess_input(img, "nchw", 0, [1, 0, 1], "float32")
    with pytest.raises(ValueError, match="mean has 2 values but the input has 3 channels"):
        preprocess_input(img, "nchw", [1, 2], 1, "float32")


def test_calibration_fixture_matches_driver_contract(tmp_path):
    model = om.make_two_input_model()
    param = om.write_calibration(model, tmp_path, n_samples=4)
    attrs = param["inputs_meta"]["attrs"]
    assert set(attrs) == {"image", "aux"}
    paths = get_input_paths(param["inputs_meta"]["dataset"])
    assert len(paths) == 4 and all(len(p) == 2 for p in paths)
    feeds = om.load_model_inputs(IR(model), param)
    assert feeds["image"].shape == (4, 1, 3, 8, 8)
    assert feeds["aux"].shape == (4, 1, 4, 8, 8)
    assert np.abs(feeds["image"]).max() <= 1.0 + 1e-6
    tab = om.make_quant_tab(model)
    assert tab == {"c1.weight": {"qtype": "asym", "dtype": "int4", "qmethod": "channel"},
                   "c2.weight": {"qtype": "asym", "dtype": "int4", "qmethod": "channel"}}


# ----------------------------------------------------------------------------
# Quantization ranges
# ----------------------------------------------------------------------------

@pytest.mark.parametrize("dtype", ["int4", "int8", "uint8", "int2"])
def test_min_max_brute_force(dtype):
    rng = np.random.default_rng(7)
    scale = list(rng.uniform(-0.5, 0.5, size=6)) + [0.0]
    zp = list(rng.integers(-9, 9, size=7))
    lo, hi = get_min_max_from_scale_zp(scale, zp, dtype, "asym")
    bits = int(dtype.lstrip("uint"))
    grid = range(0, 2**bits) if dtype.startswith("u") else \
        range(-(2 ** (bits - 1)), 2 ** (bits - 1))
    for k in range(7):
        vals = [(q - int(zp[k])) * float(scale[k]) for q in grid]
        assert lo[k] == pytest.approx(min(vals), abs=1e-12)
        assert hi[k] == pytest.approx(max(vals), abs=1e-12)
        assert lo[k] <= hi[k]
    assert all(isinstance(v, float) for v in lo + hi)


def test_min_max_sym_int4_and_errors():
    lo, hi = get_min_max_from_scale_zp([0.5, 2.0], [0, 0], "int4", "sym")
    assert lo == [-4.0, -16.0] and hi == [3.5, 14.0]
    assert int_range("int4") == (-8, 7) and int_range("int8") == (-128, 127)
    lo, hi = get_min_max_from_scale_zp(0.25, [1, -1], "int4", "asym")
    assert lo == [-2.25, -1.75] and hi == [1.5, 2.0]
    with pytest.raises(ValueError, match="qtype must be 'sym' or 'asym'"):
        get_min_max_from_scale_zp([1.0], [0], "int4", "other")
    with pytest.raises(ValueError, match="unsupported quantized dtype 'float8'"):
        get_min_max_from_scale_zp([1.0], [0], "float8", "sym")
    with pytest.raises(ValueError, match="scale has 2 elements but zero_point has 3"):
        get_min_max_from_scale_zp([1.0, 2.0], [0, 0, 0], "int8", "asym")


def test_models_over_the_protobuf_limit_are_checked_through_a_file(monkeypatch, tmp_path):
    # Lower the 2 GiB limit so that the small model takes the file route.
    import mivra.api.ir as ir_mod
    monkeypatch.setattr(ir_mod, "_MAX_PROTO_BYTES", 100)
    model = om.weights_as_constants(om.make_cnn_model())
    ir = IR(model)
    assert not {n.op_type for n in ir.graph.node} & {"Constant", "Identity", "Cast"}
    assert ir.graph.value_info  # shapes were inferred
    np.testing.assert_array_equal(
        ir.get_array("conv1.weight"),
        numpy_helper.to_array(om.make_cnn_model().graph.initializer[0]))
    bad = om.make_no_conv_model()
    bad.graph.node[0].input[0] = "does_not_exist"
    with pytest.raises(ModelLoadError, match="ONNX checker rejected"):
        IR(bad)
    param = om.write_calibration(model, tmp_path, n_samples=1)
    assert_layerwise_equals_whole(ir, param, model=model)


def test_conv_layers_expose_weights_and_attributes_as_the_driver_reads_them():
    """Weight = initializer named by input[1] (or input[0]), bias = input[2],
    found in a deep copy of the layer; attributes through name/ints/i."""
    model = om.make_cnn_model()
    ir = IR(model).deepcopy()
    layers, _, _ = ir.create_ir_layers()
    want = {t.name: numpy_helper.to_array(t) for t in model.graph.initializer}
    seen = {}
    for layer in layers:
        node = layer.graph.node[0]
        if node.op_type != "Conv":
            continue
        m = copy.deepcopy(layer)
        nod = m.graph.node[0]
        w_name = b_name = None
        for const in m.graph.initializer:
            if const.name in (nod.input[1], nod.input[0]):
                w_name, w_np = const.name, ir.get_array(const, ref=False)
            if len(nod.input) >= 3 and const.name == nod.input[2]:
                b_name, b_np = const.name, ir.get_array(const, ref=False)
        np.testing.assert_array_equal(w_np, want[w_name])
        if b_name is not None:
            np.testing.assert_array_equal(b_np, want[b_name])
        attrs = {a.name: (list(a.ints) if a.ints else a.i) for a in nod.attribute}
        seen[w_name] = (b_name, attrs.get("group", 1), attrs["kernel_shape"])
    assert seen == {"conv1.weight": ("conv1.bias", 1, [3, 3]),
                    "conv2.weight": ("conv2.bias", 2, [3, 3]),
                    "conv3.weight": (None, 1, [1, 1])}


def test_ranges_for_zero_points_rounded_like_the_driver():
    scales = np.array([0.1, 0.0, -0.05], np.float32)
    zeros = np.array([-0.42, 0.0, 0.11], np.float32)
    zp = np.where(scales == 0, 0, np.round(-zeros / np.where(scales == 0, 1, scales)))
    lo, hi = get_min_max_from_scale_zp(scales.tolist(), zp.astype(np.int32).tolist(),
                                       "int4", "asym")
    assert zp.tolist() == [4.0, 0.0, 2.0]
    np.testing.assert_allclose(lo, [(-8 - 4) * 0.1, 0.0, (7 - 2) * -0.05], rtol=1e-6)
    np.testing.assert_allclose(hi, [(7 - 4) * 0.1, 0.0, (-8 - 2) * -0.05], rtol=1e-6)
