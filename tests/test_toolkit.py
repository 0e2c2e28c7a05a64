"""Tests of the toolkit layer: IR, Session, calibration utilities, ranges."""
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

BUILDERS = [om.make_cnn_model, om.make_two_input_model, om.make_split_model, om.make_no_conv_model]
_tvi = om._tvi


def assert_layerwise_equals_whole(ir, param, model=None, atol=1e-5, skip=()):
    """Run the calibration set through ``ir``'s single-node layers like the driver (one
    Session per layer, samples fed one by one, tensors deleted as ``can_frees`` says, so
    one freed too early fails with KeyError); every tensor equals the whole-model
    onnxruntime run of ``model`` (default ``ir.model``), except the random ones in
    ``skip``, and none is left unfreed. Returns the layer-by-layer tensors."""
    work = ir.deepcopy()
    layers, can_frees, _ = work.create_ir_layers()
    data = om.load_model_inputs(work, param)
    feeds, computed = dict(data), dict(data)
    for layer, frees in zip(layers, can_frees):
        sess = Session(work, layer)
        outs = [sess.run({i.name: data[i.name][si] for i in sess.get_inputs()})
                for si in range(len(next(iter(feeds.values()))))]
        for k, o in enumerate(sess.get_outputs()):
            data[o.name] = computed[o.name] = np.stack([r[k] for r in outs])
        for name in frees:
            data.pop(name, None)
    assert data == {}, f"tensors never freed: {sorted(data)}"
    ref = om.run_whole_model(model if model is not None else ir.model, feeds)
    produced = {o for n in ir.graph.node for o in n.output if o}
    assert produced <= set(computed)
    for name in (produced & set(ref)) | set(ir.outputs):
        if name not in skip:
            np.testing.assert_allclose(computed[name], ref[name], rtol=1e-5, atol=atol, err_msg=name)
    return computed


def expected_frees(ir, layers):
    """Brute-force dead sets: after layer i a tensor is dead when it exists (a model
    input read so far or an output of a layer <= i), no later layer reads it, it is not
    a graph output (unless i is the last layer) and it was not reported before."""
    inits = {t.name for t in ir.graph.initializer}
    nodes = [l.graph.node[0] for l in layers]
    reported, out = set(), []
    for i in range(len(nodes)):
        exists = {x for n in nodes[:i + 1] for x in list(n.input) + list(n.output) if x and x not in inits}
        later = {x for n in nodes[i + 1:] for x in n.input if x}
        if i < len(nodes) - 1:
            later |= set(ir.outputs)
        dead = exists - later - reported
        reported |= dead
        out.append(dead)
    return out


OPSETS = [9, 11, 13, 17, 21]


@pytest.mark.parametrize("opset", OPSETS)
@pytest.mark.parametrize("builder", BUILDERS, ids=lambda b: b.__name__)
def test_layer_by_layer_equals_whole_model(builder, opset, tmp_path):
    """As built, and with every weight made by Constant / Identity / Cast nodes, which
    loading folds back into the original initializers."""
    plain = builder(opset=opset)
    param = om.write_calibration(plain, tmp_path, n_samples=2)
    assert_layerwise_equals_whole(IR(plain), param)
    styled = om.weights_as_constants(plain)
    ir = IR(styled)
    assert [n.name for n in ir.graph.node] == [n.name for n in plain.graph.node]
    assert {t.name for t in ir.graph.initializer} == {t.name for t in plain.graph.initializer}
    for t in plain.graph.initializer:
        np.testing.assert_array_equal(ir.get_array(t.name), numpy_helper.to_array(t))
    assert_layerwise_equals_whole(ir, param, model=styled)


def _cnn_with_inner_output(opset):
    """conv1 is also a graph output, read by later layers: it lives to the end."""
    m = om.make_cnn_model(opset=opset)
    m.graph.output.append(_tvi("conv1", [1, 8, 8, 8]))
    return m


def _split_with_unread_output(opset):
    """"unused" is read by no layer: it dies right after its producer."""
    m = om.make_split_model(opset=opset)
    m.graph.node.insert(2, helper.make_node("Relu", ["half_b"], ["unused"], name="u"))
    return m


@pytest.mark.parametrize("builder", BUILDERS + [_cnn_with_inner_output, _split_with_unread_output],
                         ids=lambda b: b.__name__)
def test_layer_models_and_can_frees(builder):
    """Valid single-node models in topological order, reading exactly their own
    initializers; can_frees equals the brute-force dead sets."""
    model = builder(opset=13)
    ir = IR(model)
    layers, frees, producers = ir.create_ir_layers()
    assert isinstance(layers, list) and len(layers) == len(model.graph.node)
    inits = {t.name for t in model.graph.initializer}
    available = set(ir.inputs)
    for i, layer in enumerate(layers):
        onnx.checker.check_model(layer)
        (node,) = layer.graph.node
        assert layer.ir_version == model.ir_version
        assert list(layer.opset_import) == list(model.opset_import)
        runtime = [x for x in node.input if x and x not in inits]
        assert set(runtime) <= available, (i, runtime)
        available |= set(node.output)
        assert sorted(t.name for t in layer.graph.initializer) == \
            sorted({x for x in node.input if x in inits})
        assert [vi.name for vi in layer.graph.input] == list(dict.fromkeys(runtime))
        assert all(vi.type.tensor_type.elem_type for vi in layer.graph.input)
        assert [o.name for o in layer.graph.output] == [o for o in node.output if o]
        assert all(producers[o] == i for o in node.output)
    assert [set(f) for f in frees] == expected_frees(ir, layers)
    flat = [x for f in frees for x in f]
    assert len(flat) == len(set(flat)) and not set(flat) & inits


def test_topological_order_is_restored_for_unsorted_nodes():
    model = om.make_no_conv_model()
    nodes = list(model.graph.node)
    ir = IR(model)
    del ir.model.graph.node[:]
    ir.model.graph.node.extend(reversed(nodes))
    assert [l.graph.node[0].name for l in ir.create_ir_layers()[0]] == [n.name for n in nodes]


def test_control_flow_node_fails_at_create_ir_layers_naming_it():
    then_g = helper.make_graph([helper.make_node("Relu", ["x"], ["t"])], "then", [], [_tvi("t", [1, 3])])
    else_g = helper.make_graph([helper.make_node("Neg", ["x"], ["e"])], "else", [], [_tvi("e", [1, 3])])
    nodes = [helper.make_node("ReduceSum", ["x"], ["s"], keepdims=0),
             helper.make_node("Greater", ["s", "zero"], ["cond"]),
             helper.make_node("If", ["cond"], ["y"], name="branch", then_branch=then_g,
                              else_branch=else_g)]
    ir = IR(om.finish_model(nodes, [_tvi("x", [1, 3])], [_tvi("y", [1, 3])],
                            [numpy_helper.from_array(np.array(0, np.float32), "zero")]))
    with pytest.raises(ValueError, match=r"node 'branch' \(If\) holds a subgraph"):
        ir.create_ir_layers()


def test_ir_inputs_get_array_deepcopy_and_save(tmp_path):
    model = om.make_cnn_model()
    ir = IR(model)
    assert ir.inputs == ["input"] and ir.outputs == ["logits"] and ir.graph is ir.model.graph
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
    assert len(model.graph.value_info) == 0  # loading leaves the caller's model alone
    ir.save(str(tmp_path / "m.onnx"))
    np.testing.assert_array_equal(IR(str(tmp_path / "m.onnx")).get_array("fc.weight"),
                                  ir.get_array("fc.weight"))


def test_load_errors_name_the_problem(tmp_path):
    with pytest.raises(FileNotFoundError, match="ONNX model file not found: .*absent.onnx"):
        IR(str(tmp_path / "absent.onnx"))
    (tmp_path / "junk.onnx").write_bytes(b"\xff\xfe this is not a protobuf \x00\x01" * 4)
    (tmp_path / "empty.onnx").write_bytes(b"")
    for name in ("junk.onnx", "empty.onnx"):
        with pytest.raises(ModelLoadError, match=f"not an ONNX model: .*{name}"):
            IR(str(tmp_path / name))
    bad = om.make_no_conv_model()
    bad.graph.node[0].input[0] = "does_not_exist"
    with pytest.raises(ModelLoadError, match="ONNX checker rejected"):
        IR(bad)
    with pytest.raises(TypeError, match="path to an ONNX file or an onnx.ModelProto"):
        IR(42)
    # checker-valid, but Add of (1,3) and (1,4) cannot broadcast
    model = om.finish_model([helper.make_node("Add", ["a", "b"], ["c"])],
                            [_tvi("a", [1, 3]), _tvi("b", [1, 4])], [_tvi("c", [1, 3])], [])
    with pytest.raises(ModelLoadError, match="shape inference failed"):
        IR(model)


def test_models_over_the_protobuf_limit_are_checked_through_a_file(monkeypatch, tmp_path):
    monkeypatch.setattr("mivra.api.ir._MAX_PROTO_BYTES", 100)  # the small models take the file route
    bad = om.make_no_conv_model()
    bad.graph.node[0].input[0] = "does_not_exist"
    with pytest.raises(ModelLoadError, match="ONNX checker rejected"):
        IR(bad)
    model = om.weights_as_constants(om.make_cnn_model())
    ir = IR(model)
    assert not {n.op_type for n in ir.graph.node} & {"Constant", "Identity", "Cast"}
    assert ir.graph.value_info  # shapes were inferred
    assert_layerwise_equals_whole(ir, om.write_calibration(model, tmp_path, n_samples=1), model=model)


def test_get_input_paths_format_and_errors(tmp_path):
    (tmp_path / "sub").mkdir()
    for f in ("a.npy", "sub/b.npy", "c.npy"):
        (tmp_path / f).write_bytes(b"")
    lst = tmp_path / "list.txt"
    lst.write_text(f"# header\n\n  a.npy   sub/b.npy\n   # indented comment\n"
                   f"{tmp_path / 'c.npy'} a.npy\n\n")
    assert get_input_paths(str(lst)) == [[str(tmp_path / "a.npy"), str(tmp_path / "sub" / "b.npy")],
                                         [str(tmp_path / "c.npy"), str(tmp_path / "a.npy")]]
    lst.write_text("# nothing\n")
    assert get_input_paths(str(lst)) == []
    with pytest.raises(FileNotFoundError, match="calibration list file not found: .*nope"):
        get_input_paths(str(tmp_path / "nope.txt"))
    lst.write_text("a.npy a.npy\n# c\na.npy\n")
    with pytest.raises(ValueError, match=r"line 3 of calibration list .*list.txt lists 1 "
                                         r"path\(s\), but line 1 lists 2"):
        get_input_paths(str(lst))
    lst.write_text("a.npy\n\nmissing.png\n")
    with pytest.raises(FileNotFoundError, match=r"calibration sample file not found: .*missing.png \(line 3"):
        get_input_paths(str(lst))


def test_image_loading_layouts_gray_bgr_resize_and_errors(tmp_path):
    pix = np.random.default_rng(5).integers(0, 256, size=(4, 6, 3), dtype=np.uint8)
    for ext in ("png", "bmp"):
        Image.fromarray(pix, "RGB").save(tmp_path / f"x.{ext}")
    p = str(tmp_path / "x.png")
    chw = get_input_img(p, "nchw", [1, 3, 4, 6], "nchw", False)
    assert chw.shape == (3, 4, 6) and chw.dtype == np.float32
    np.testing.assert_array_equal(chw, pix.transpose(2, 0, 1))
    np.testing.assert_array_equal(get_input_img(p, "nchw", [1, 3, 4, 6], "nchw", True),
                                  pix[:, :, ::-1].transpose(2, 0, 1))
    np.testing.assert_array_equal(get_input_img(p, "nhwc", [1, 4, 6, 3], "nhwc", False), pix)
    np.testing.assert_array_equal(get_input_img(p, "nchw", [1, 4, 6, 3], "nhwc", False), chw)
    np.testing.assert_array_equal(
        get_input_img(str(tmp_path / "x.bmp"), "nchw", [1, 3, 4, 6], "nchw", False), chw)
    # grayscale: ITU-R 601 luma, as Pillow defines "L"
    gray = get_input_img(p, "nchw", [1, 1, 4, 6], "nchw", False)
    luma = pix.astype(np.float64) @ [0.299, 0.587, 0.114]
    assert gray.shape == (1, 4, 6) and np.abs(gray[0] - luma).max() <= 1.0
    # resizing: a uniform image stays uniform at the input's size
    Image.fromarray(np.full((9, 5, 3), 77, np.uint8), "RGB").save(tmp_path / "u.jpg", quality=100)
    u = get_input_img(str(tmp_path / "u.jpg"), "nchw", [1, 3, 4, 6], "nchw", False)
    assert u.shape == (3, 4, 6) and np.abs(u - 77).max() <= 1
    (tmp_path / "broken.png").write_bytes(b"\x89PNG\r\n\x1a\n garbage")
    with pytest.raises(ValueError, match="cannot decode image file .*broken.png"):
        get_input_img(str(tmp_path / "broken.png"), "nchw", [1, 3, 4, 4], "nchw", False)
    with pytest.raises(FileNotFoundError, match="calibration sample file not found"):
        get_input_img(str(tmp_path / "gone.png"), "nchw", [1, 3, 4, 4], "nchw", False)


def test_npy_loading_shapes_and_errors(tmp_path):
    arr = np.arange(24, dtype=np.float32).reshape(2, 3, 4)
    np.save(tmp_path / "s.npy", arr)
    np.save(tmp_path / "b.npy", arr[None])
    s = str(tmp_path / "s.npy")
    for p in (s, str(tmp_path / "b.npy")):
        np.testing.assert_array_equal(get_input_img(p, "nchw", [1, 2, 3, 4], "nchw", False), arr)
    # stored nhwc (H=2, W=3, C=4), asked channel-first
    np.testing.assert_array_equal(get_input_img(s, "nchw", [1, 2, 3, 4], "nhwc", False),
                                  arr.transpose(2, 0, 1))
    assert get_input_img(s, "nchw", [1, 2, "H", None], "nchw", False).shape == (2, 3, 4)
    with pytest.raises(ValueError, match=r"s.npy holds an array of shape \(2, 3, 4\), "
                                         r"which does not match the input shape"):
        get_input_img(s, "nchw", [1, 2, 4, 3], "nchw", False)
    with pytest.raises(ValueError, match="must start with a batch of 1"):
        get_input_img(s, "nchw", [2, 3, 4], "nchw", False)
    arr[1, 1, 1] = np.nan
    np.save(tmp_path / "nan.npy", arr)
    with pytest.raises(ValueError, match="nan.npy contains NaN"):
        get_input_img(str(tmp_path / "nan.npy"), "nchw", [1, 2, 3, 4], "nchw", False)
    np.save(tmp_path / "obj.npy", np.array([{"a": 1}], dtype=object), allow_pickle=True)
    with pytest.raises(ValueError, match="cannot read .npy file .*obj.npy"):
        get_input_img(str(tmp_path / "obj.npy"), "nchw", [1, 1], "nchw", False)


def test_preprocess_input_against_loops():
    img = np.random.default_rng(3).uniform(0, 255, size=(3, 2, 4)).astype(np.float32)
    mean, std = [10.0, 20.0, 30.0], [2.0, 4.0, 8.0]
    out = preprocess_input(img, "nchw", mean, std, "float32")
    assert out.shape == (1, 3, 2, 4) and out.dtype == np.float32
    ref = np.array([[[(float(img[c, i, j]) - mean[c]) / std[c] for j in range(4)]
                     for i in range(2)] for c in range(3)])
    np.testing.assert_allclose(out[0], ref, rtol=1e-6)
    nhwc = preprocess_input(img, "nhwc", mean, std, "float64")
    assert nhwc.shape == (1, 2, 4, 3) and nhwc.dtype == np.float64
    np.testing.assert_allclose(nhwc[0], ref.transpose(1, 2, 0), rtol=1e-12)
    np.testing.assert_allclose(preprocess_input(img, "nchw", 5.0, 0.5, "float32")[0],
                               (img.astype(np.float64) - 5) * 2, rtol=1e-6)
    np.testing.assert_array_equal(preprocess_input(img, "nchw", None, None, "float32")[0], img)
    with pytest.raises(ValueError, match="std must be non-zero"):
        preprocess_input(img, "nchw", 0, [1, 0, 1], "float32")
    with pytest.raises(ValueError, match="mean has 2 values but the input has 3 channels"):
        preprocess_input(img, "nchw", [1, 2], 1, "float32")


@pytest.mark.parametrize("dtype", ["int4", "int8", "uint8", "int2"])
def test_min_max_brute_force(dtype):
    rng = np.random.default_rng(7)
    scale = list(rng.uniform(-0.5, 0.5, size=6)) + [0.0]
    zp = list(rng.integers(-9, 9, size=7))
    lo, hi = get_min_max_from_scale_zp(scale, zp, dtype, "asym")
    bits = int(dtype.lstrip("uint"))
    grid = range(2**bits) if dtype.startswith("u") else range(-2 ** (bits - 1), 2 ** (bits - 1))
    for k in range(7):
        vals = [(q - int(zp[k])) * float(scale[k]) for q in grid]
        assert lo[k] == pytest.approx(min(vals), abs=1e-12)
        assert hi[k] == pytest.approx(max(vals), abs=1e-12)
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
