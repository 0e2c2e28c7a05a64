"""Exporter-style models (constant subgraphs, IR version 3, optional inputs, shared
weights, contrib operators, external data, opset-dependent operators, torch exports
with symbolic dims): every tensor computed layer by layer equals the whole-model run."""
import io
import os
import warnings

import numpy as np
import onnx
import pytest
import torch
from onnx import TensorProto, helper, numpy_helper

import onnx_models as om
from mivra.api.ir import IR
from mivra.api.session import Session
from test_toolkit import assert_layerwise_equals_whole, expected_frees

OPSETS = [9, 11, 13, 17, 21]
FOLDED_OPS = {"Constant", "Identity", "Cast"}
_tvi, _init = om._tvi, om._init


def _check_layers(ir):
    """Layer models are valid and can_frees matches the brute-force sets."""
    layers, frees, _ = ir.create_ir_layers()
    for layer in layers:
        onnx.checker.check_model(layer)
    assert [set(f) for f in frees] == expected_frees(ir, layers)
    return layers


def _rank(vi):
    """Rank of a layer input; its dims are left open (the runtime's tensors decide)."""
    dims = vi.type.tensor_type.shape.dim
    assert not any(d.dim_param or d.dim_value for d in dims)
    return len(dims)


def test_constant_subgraphs_and_constant_forms_are_folded(tmp_path):
    """Conv weight = Reshape(Transpose(w_t)); Resize scales = Concat of two Constants;
    value_float / value_int + Cast constants; a RandomUniform node and its reader and a
    Constant that is a graph output are kept."""
    w = np.random.default_rng(8).standard_normal((4, 3, 3, 3)).astype(np.float32)
    N = helper.make_node
    nodes = [N("Constant", [], ["exported"], value_floats=[5.0]),
             N("Transpose", ["w_t"], ["w_flat"], perm=[1, 0]),
             N("Constant", [], ["w_shape"], value_ints=[4, 3, 3, 3]),
             N("Reshape", ["w_flat", "w_shape"], ["w"]),
             N("Constant", [], ["s_nc"], value_floats=[1.0, 1.0]),
             N("Constant", [], ["s_hw"], value_floats=[2.0, 2.0]),
             N("Concat", ["s_nc", "s_hw"], ["scales"], axis=0),
             N("RandomUniform", [], ["noise"], shape=[1], dtype=1),
             N("Mul", ["noise", "zero"], ["noise0"]),
             N("Constant", [], ["f"], value_float=2.0),
             N("Constant", [], ["i"], value_int=3),
             N("Cast", ["i"], ["i_f"], to=TensorProto.FLOAT),
             N("Conv", ["x", "w"], ["c"], name="conv", kernel_shape=[3, 3]),
             N("Add", ["c", "noise0"], ["cn"]),
             N("Resize", ["cn", "", "scales"], ["r"], mode="nearest"),
             N("Mul", ["r", "f"], ["a"]),
             N("Sub", ["a", "i_f"], ["y"])]
    model = om.finish_model(nodes, [_tvi("x", [1, 3, 6, 6])], [_tvi("y", [1, 4, 8, 8]), _tvi("exported", [1])],
                            [_init("w_t", np.ascontiguousarray(w.reshape(4, 27).T)),
                             _init("zero", np.zeros(1, np.float32))])
    ir = IR(model)
    assert [n.op_type for n in ir.graph.node] == ["Constant", "RandomUniform", "Mul", "Conv", "Add", "Resize",
                                                  "Mul", "Sub"]
    np.testing.assert_array_equal(ir.get_array("w"), w)
    np.testing.assert_array_equal(ir.get_array("scales"), [1, 1, 2, 2])
    assert ir.get_array("i_f").dtype == np.float32 and ir.get_array("i_f") == 3.0
    assert {t.name for t in ir.graph.initializer} == {"w", "scales", "zero", "f", "i_f"}
    conv = next(l for l in _check_layers(ir) if l.graph.node[0].op_type == "Conv")
    assert [t.name for t in conv.graph.initializer] == ["w"]
    out = assert_layerwise_equals_whole(ir, om.write_calibration(model, tmp_path, n_samples=2),
                                        model=model, skip=["noise"])
    np.testing.assert_array_equal(out["exported"], [[5.0]] * 2)


def test_ir3_initializers_listed_as_inputs_with_a_constant_weight(tmp_path):
    """Old exporters: IR version 3, every initializer also a graph input, except
    conv3.weight, which a Constant node produces."""
    model = om.initializers_as_inputs(om.make_cnn_model(opset=9))
    model.ir_version = 3
    w = next(t for t in model.graph.initializer if t.name == "conv3.weight")
    for field in (model.graph.initializer, model.graph.input):
        keep = [x for x in field if x.name != "conv3.weight"]
        del field[:]
        field.extend(keep)
    model.graph.node.insert(0, helper.make_node("Constant", [], ["conv3.weight"], value=w))
    onnx.checker.check_model(model)
    ir = IR(model)
    onnx.checker.check_model(ir.model)
    assert ir.inputs == ["input"]
    conv = _check_layers(ir)[0]  # IR 3 layer models list their initializers as inputs
    assert {vi.name for vi in conv.graph.input} == {"input", "conv1.weight", "conv1.bias"}
    sess = Session(ir, conv)  # which the session does not ask to be fed
    assert [i.name for i in sess.get_inputs()] == ["input"]
    assert [o.name for o in sess.get_outputs()] == ["conv1"]
    with pytest.raises(KeyError, match="input 'input' of the layer is missing"):
        sess.run({})
    x = np.random.default_rng(1).standard_normal((1, 3, 8, 8)).astype(np.float32)
    (y,) = sess.run({"input": x})
    w = ir.get_array("conv1.weight").astype(np.float64)  # float64 loops of the 3x3, pad-1 conv
    b = ir.get_array("conv1.bias").astype(np.float64)
    xp = np.pad(x[0].astype(np.float64), ((0, 0), (1, 1), (1, 1)))
    ref = [[[(w[o] * xp[:, i:i + 3, j:j + 3]).sum() + b[o] for j in range(8)] for i in range(8)]
           for o in range(8)]
    np.testing.assert_allclose(y[0], ref, rtol=1e-5, atol=1e-5)
    assert_layerwise_equals_whole(ir, om.write_calibration(model, tmp_path, n_samples=2), model=model)


def test_initializer_read_by_several_nodes(tmp_path):
    w = np.random.default_rng(4).standard_normal((3, 3, 3, 3)).astype(np.float32)
    nodes = [helper.make_node("Conv", ["x", "shared", "bias"], ["a"], name="ca",
                              kernel_shape=[3, 3], pads=[1, 1, 1, 1]),
             helper.make_node("Relu", ["a"], ["ar"]),
             helper.make_node("Conv", ["ar", "shared", "bias"], ["b"], name="cb",
                              kernel_shape=[3, 3], pads=[1, 1, 1, 1]),
             helper.make_node("Add", ["b", "bias4d"], ["y"])]
    model = om.finish_model(nodes, [_tvi("x", [1, 3, 8, 8])], [_tvi("y", [1, 3, 8, 8])],
                            [_init("shared", w), _init("bias", np.array([0.1, -0.2, 0.3], np.float32)),
                             _init("bias4d", np.ones((1, 3, 1, 1), np.float32))])
    ir = IR(model)
    convs = [l for l in _check_layers(ir) if l.graph.node[0].op_type == "Conv"]
    assert len(convs) == 2
    for layer in convs:
        (t,) = [t for t in layer.graph.initializer if t.name == "shared"]
        np.testing.assert_array_equal(ir.get_array(t), w)
    # the two layer models do not share the tensor
    convs[0].graph.initializer[0].CopyFrom(numpy_helper.from_array(w * 0, "shared"))
    assert ir.get_array(convs[1].graph.initializer[0]).any() and ir.get_array("shared").any()
    assert_layerwise_equals_whole(ir, om.write_calibration(model, tmp_path, n_samples=2))


def _custom_op_model(domain, op):
    nodes = [helper.make_node("Relu", ["x"], ["r"]),
             helper.make_node(op, ["r"], ["m"], domain=domain, name="custom"),
             helper.make_node("Neg", ["m"], ["y"], name="neg")]
    g = helper.make_graph(nodes, "g", [_tvi("x", ["N", 3])], [_tvi("y", ["N", 3])])
    m = helper.make_model(g, opset_imports=[helper.make_opsetid("", 13), helper.make_opsetid(domain, 1)])
    m.ir_version = 8
    return m


def test_contrib_operator_typed_by_onnxruntime_and_unknown_one_is_named():
    # ONNX shape inference does not know com.microsoft operators
    ir = IR(_custom_op_model("com.microsoft", "Gelu"))
    layers = _check_layers(ir)
    vi = layers[2].graph.input[0]
    assert vi.name == "m" and vi.type.tensor_type.elem_type == TensorProto.FLOAT and _rank(vi) == 2
    data = {"x": np.array([[-1.0, 0.5, 2.0]], np.float32)}
    for layer in layers:
        s = Session(ir, layer)  # fed the whole dict: inputs it does not read are ignored
        data.update(zip([o.name for o in s.get_outputs()], s.run(data)))
    from math import erf, sqrt
    gelu = [0.5 * v * (1 + erf(v / sqrt(2))) for v in (0.0, 0.5, 2.0)]
    np.testing.assert_allclose(data["y"][0], [-g for g in gelu], rtol=1e-5, atol=1e-6)
    with pytest.raises(ValueError, match=r"node 'neg' \(Neg\): no type is known for its input 'm'"):
        IR(_custom_op_model("my.domain", "Mystery")).create_ir_layers()


def test_external_data_model(tmp_path):
    plain = om.make_cnn_model(opset=13)
    path = tmp_path / "ext.onnx"
    side = om.save_with_external_data(plain, str(path))
    raw = onnx.load(str(path), load_external_data=False)
    assert all(t.data_location == TensorProto.EXTERNAL for t in raw.graph.initializer)
    ir = IR(str(path))
    for t in plain.graph.initializer:
        np.testing.assert_array_equal(ir.get_array(t.name), numpy_helper.to_array(t))
    # a tensor still pointing to the side file is read from it
    t_ext = next(t for t in raw.graph.initializer if t.name == "conv2.weight")
    np.testing.assert_array_equal(ir.get_array(t_ext), ir.get_array("conv2.weight"))
    _check_layers(ir)
    assert_layerwise_equals_whole(ir, om.write_calibration(plain, tmp_path / "c", n_samples=2), model=plain)
    # a ModelProto with external references resolves them against base_dir
    np.testing.assert_array_equal(IR(raw, base_dir=str(tmp_path)).get_array("fc.weight"),
                                  ir.get_array("fc.weight"))
    os.remove(side)
    with pytest.raises(FileNotFoundError, match="external data file of initializer "
                                                "'conv1.weight' not found: .*ext.onnx.data"):
        IR(str(path))


def make_opset_ops_model(opset):
    """Conv (empty bias "") -> BatchNormalization -> Clip (attrs < 11, inputs >= 11, empty
    min "" from 13) -> Unsqueeze/Squeeze (axes attr < 13, input >= 13) -> Upsample (9) /
    Resize (roi input at 11, empty roi "" from 13) -> Split (attr < 13, input >= 13) ->
    Concat -> ReduceMean (axes attr < 18) -> Dropout (empty ratio, training_mode from 12;
    no mask output)."""
    rng = np.random.default_rng(opset)
    f = np.float32
    inits = [_init("w", (rng.standard_normal((4, 3, 3, 3)) * .4).astype(f)),
             _init("bn_s", rng.standard_normal(4).astype(f)),
             _init("bn_b", rng.standard_normal(4).astype(f)),
             _init("bn_m", rng.standard_normal(4).astype(f)),
             _init("bn_v", rng.uniform(.5, 2, 4).astype(f)),
             _init("scales", np.array([1, 1, 2, 2], f))]
    N = helper.make_node
    nodes = [N("Conv", ["x", "w", ""], ["c"], kernel_shape=[3, 3], pads=[1, 1, 1, 1]),
             N("BatchNormalization", ["c", "bn_s", "bn_b", "bn_m", "bn_v"], ["bn"], epsilon=1e-3)]
    if opset < 11:
        nodes.append(N("Clip", ["bn"], ["cl"], min=-0.5, max=1.0))
    else:
        inits += [_init("lo", np.array(-0.5, f))] * (opset < 13) + [_init("hi", np.array(1.0, f))]
        nodes.append(N("Clip", ["bn", "lo" if opset < 13 else "", "hi"], ["cl"]))
    if opset < 13:
        nodes += [N("Unsqueeze", ["cl"], ["u"], axes=[0]), N("Squeeze", ["u"], ["sq"], axes=[0])]
    else:
        inits.append(_init("ax0", np.array([0], np.int64)))
        nodes += [N("Unsqueeze", ["cl", "ax0"], ["u"]), N("Squeeze", ["u", "ax0"], ["sq"])]
    if opset < 10:
        nodes.append(N("Upsample", ["sq", "scales"], ["up"], mode="nearest"))
    elif opset < 13:
        inits.append(_init("roi", np.zeros(0, f)))
        nodes.append(N("Resize", ["sq", "roi", "scales"], ["up"], mode="linear"))
    else:
        nodes.append(N("Resize", ["sq", "", "scales"], ["up"], mode="linear",
                       coordinate_transformation_mode="half_pixel"))
    if opset < 13:
        nodes.append(N("Split", ["up"], ["s0", "s1"], axis=1, split=[1, 3]))
    else:
        inits.append(_init("split", np.array([1, 3], np.int64)))
        nodes.append(N("Split", ["up", "split"], ["s0", "s1"], axis=1))
    nodes.append(N("Concat", ["s1", "s0"], ["cat"], axis=1))
    if opset < 18:
        nodes.append(N("ReduceMean", ["cat"], ["rm"], axes=[2], keepdims=1))
    else:
        inits.append(_init("ax2", np.array([2], np.int64)))
        nodes.append(N("ReduceMean", ["cat", "ax2"], ["rm"], keepdims=1))
    nodes.append(N("Dropout", ["rm"] + ["", ""] * (opset >= 12), ["y", ""]))
    return om.finish_model(nodes, [_tvi("x", [1, 3, 6, 6])], [_tvi("y", [1, 4, 1, 12])], inits, opset=opset)


@pytest.mark.parametrize("opset", OPSETS)
def test_opset_dependent_operators(opset, tmp_path):
    model = make_opset_ops_model(opset)
    ir = IR(model)
    layers = _check_layers(ir)
    for layer in layers:
        assert list(layer.opset_import) == list(model.opset_import)
        assert layer.ir_version == model.ir_version
    by_op = {l.graph.node[0].op_type: l for l in layers}
    assert list(by_op["Conv"].graph.node[0].input) == ["x", "w", ""]
    assert [vi.name for vi in by_op["Clip"].graph.input] == ["bn"]
    assert [o.name for o in by_op["Dropout"].graph.output] == ["y"]
    out = assert_layerwise_equals_whole(ir, om.write_calibration(model, tmp_path, n_samples=2))
    assert out["up"].shape == (2, 1, 4, 12, 12)
    assert out["cl"].max() <= 1.0 and (out["cl"].min() >= -0.5) == (opset < 13)  # min "": no lower clip


# torch.onnx.export with the TorchScript exporter (the dynamo one needs onnxscript)

class SmallNet(torch.nn.Module):
    """conv/BN/ReLU, max pool, a residual block, nearest upsample, concat."""

    def __init__(self):
        super().__init__()
        nn = torch.nn
        self.stem = nn.Sequential(nn.Conv2d(3, 8, 3, padding=1), nn.BatchNorm2d(8), nn.ReLU())
        self.pool = nn.MaxPool2d(2)
        self.block = nn.Sequential(nn.Conv2d(8, 8, 3, padding=1, bias=False), nn.BatchNorm2d(8),
                                   nn.ReLU(), nn.Conv2d(8, 8, 3, padding=1, groups=2))
        self.head = nn.Conv2d(16, 4, 1)

    def forward(self, x):
        s = self.stem(x)
        p = self.pool(s)
        r = torch.relu(p + self.block(p))
        u = torch.nn.functional.interpolate(r, scale_factor=2.0, mode="nearest")
        return self.head(torch.cat([u, s], dim=1))


def export_small_net(opset, fold=False, dynamic=False, seed=0):
    torch.manual_seed(seed)
    net = SmallNet().eval()
    with torch.no_grad():  # non-trivial BN statistics
        for m in net.modules():
            if isinstance(m, torch.nn.BatchNorm2d):
                m.running_mean.uniform_(-0.5, 0.5)
                m.running_var.uniform_(0.5, 2.0)
    buf = io.BytesIO()
    kwargs = {"dynamic_axes": {"x": {0: "N", 2: "H", 3: "W"}}} if dynamic else {}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        torch.onnx.export(net, (torch.randn(1, 3, 8, 8),), buf, opset_version=opset,
                          dynamo=False, do_constant_folding=fold, input_names=["x"],
                          output_names=["y"], training=torch.onnx.TrainingMode.EVAL, **kwargs)
    return net, onnx.load_from_string(buf.getvalue())


@pytest.mark.parametrize("opset", OPSETS)
def test_torch_export_as_exported_and_restyled(opset, tmp_path):
    """The export as it is (dynamic axes, constant folding on for odd opsets above 9),
    then with weights as Constant chains in an external-data file: both give the
    torch network's output at a size other than the exported one."""
    net, model = export_small_net(opset, fold=(opset % 2 == 1 and opset > 9), dynamic=True, seed=1)
    del model.graph.value_info[:]  # symbolic shapes are left to inference
    param = om.write_calibration(model, tmp_path / "c", n_samples=2, shapes={"x": [1, 3, 8, 12]})
    ir = IR(model)
    with torch.no_grad():
        ref = np.stack([net(torch.from_numpy(v)).numpy() for v in om.load_model_inputs(ir, param)["x"]])
    inits = {t.name for t in ir.graph.initializer}
    for node in ir.graph.node:  # every node reads at least one runtime tensor
        assert any(i and i not in inits for i in node.input), node.op_type
    styled = om.weights_as_constants(model)
    path = tmp_path / "styled.onnx"
    om.save_with_external_data(styled, str(path), convert_attribute=True)
    raw = onnx.load(str(path), load_external_data=False)
    const = next(n for n in raw.graph.node if n.op_type == "Constant")
    assert const.attribute[0].t.data_location == TensorProto.EXTERNAL
    for ir, src in ((ir, model), (IR(str(path)), styled)):
        assert not {n.op_type for n in ir.graph.node} & FOLDED_OPS
        layers = _check_layers(ir)
        assert _rank(layers[0].graph.input[0]) == _rank(layers[1].graph.input[0]) == 4
        out = assert_layerwise_equals_whole(ir, param, model=src)
        np.testing.assert_allclose(out["y"], ref, rtol=1e-4, atol=1e-4)
