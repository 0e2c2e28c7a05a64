"""Exporter-style models: constant weights, old IR versions, optional inputs,
shared weights, symbolic dims, external data, opset-dependent operators and
small torch CNNs exported at several opsets. Every tensor computed layer by
layer must equal the whole-model onnxruntime run of the model as given."""
import io
import os
import warnings

import numpy as np
import onnx
import pytest
from onnx import TensorProto, helper, numpy_helper

import onnx_models as om
from mivra.api.ir import IR
from mivra.api.session import Session
from test_toolkit import assert_layerwise_equals_whole, expected_frees

OPSETS = [9, 11, 13, 17, 21]
FOLDED_OPS = {"Constant", "Identity", "Cast"}


def _check_layers(ir):
    """Layer models are valid and can_frees matches the brute-force sets."""
    layers, frees, _ = ir.create_ir_layers()
    for layer in layers:
        onnx.checker.check_model(layer)
    assert [set(f) for f in frees] == expected_frees(ir, layers)
    return layers


# ----------------------------------------------------------------------------
# Constant-node weights
# ----------------------------------------------------------------------------

@pytest.mark.parametrize("opset", OPSETS)
@pytest.mark.parametrize("builder", [om.make_cnn_model, om.make_split_model,
                                     om.make_two_input_model])
def test_constant_node_weights_become_initializers(builder, opset, tmp_path):
    plain = builder(opset=opset)
    styled = om.weights_as_constants(plain)
    assert not styled.graph.initializer
    ir = IR(styled)
    assert not {n.op_type for n in ir.graph.node} & FOLDED_OPS
    assert [n.name for n in ir.graph.node] == [n.name for n in plain.graph.node]
    for t in plain.graph.initializer:
        np.testing.assert_array_equal(ir.get_array(t.name), numpy_helper.to_array(t))
    # helper tensors of the Identity/Cast chains are gone
    assert {t.name for t in ir.graph.initializer} == {t.name for t in plain.graph.initializer}
    layers = _check_layers(ir)
    for layer in layers:
        node = layer.graph.node[0]
        if node.op_type == "Conv":  # the weight is an initializer of the layer
            assert node.input[1] in {t.name for t in layer.graph.initializer}
    param = om.write_calibration(plain, tmp_path, n_samples=2)
    assert_layerwise_equals_whole(ir, param, model=styled)


def test_constant_forms_and_graph_output_constants_are_kept(tmp_path):
    x = helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 4])
    nodes = [
        helper.make_node("Constant", [], ["f"], value_float=2.0),
        helper.make_node("Constant", [], ["fs"], value_floats=[1.0, 2.0, 3.0, 4.0]),
        helper.make_node("Constant", [], ["shape"], value_ints=[4, 1]),
        helper.make_node("Constant", [], ["i"], value_int=3),
        helper.make_node("Cast", ["i"], ["i_f"], to=TensorProto.FLOAT),
        helper.make_node("Constant", [], ["exported"], value_floats=[5.0]),
        helper.make_node("Mul", ["x", "f"], ["a"]),
        helper.make_node("Add", ["a", "fs"], ["b"]),
        helper.make_node("Sub", ["b", "i_f"], ["c"]),
        helper.make_node("Reshape", ["c", "shape"], ["y"]),
    ]
    model = om.finish_model(nodes, [x],
                            [helper.make_tensor_value_info("y", TensorProto.FLOAT, [4, 1]),
                             helper.make_tensor_value_info("exported", TensorProto.FLOAT,
                                                           [1])], [], opset=13)
    ir = IR(model)
    assert [n.op_type for n in ir.graph.node] == ["Constant", "Mul", "Add", "Sub",
                                                  "Reshape"]
    assert ir.get_array("i_f").dtype == np.float32 and ir.get_array("i_f") == 3.0
    np.testing.assert_array_equal(ir.get_array("shape"), [4, 1])
    xv = np.arange(4, dtype=np.float32).reshape(1, 4)
    layers, frees, _ = ir.create_ir_layers()
    data = {"x": xv}
    for layer in layers:
        s = Session(ir, layer)
        outs = s.run(data)
        data.update({o.name: v for o, v in zip(s.get_outputs(), outs)})
    np.testing.assert_allclose(data["y"][:, 0], xv[0] * 2 + [1, 2, 3, 4] - 3)
    np.testing.assert_array_equal(data["exported"], [5.0])


def test_constant_subgraphs_feeding_weights_and_scales_are_folded(tmp_path):
    """Conv weight = Reshape(Transpose(w_t)); Resize scales = Concat of two
    Constants; a RandomUniform node and what reads it are kept."""
    rng = np.random.default_rng(8)
    w = rng.standard_normal((4, 3, 3, 3)).astype(np.float32)
    w_t = np.ascontiguousarray(w.reshape(4, 27).T)  # stored transposed, flat
    nodes = [
        helper.make_node("Transpose", ["w_t"], ["w_flat"], perm=[1, 0]),
        helper.make_node("Constant", [], ["w_shape"], value_ints=[4, 3, 3, 3]),
        helper.make_node("Reshape", ["w_flat", "w_shape"], ["w"]),
        helper.make_node("Constant", [], ["s_nc"], value_floats=[1.0, 1.0]),
        helper.make_node("Constant", [], ["s_hw"], value_floats=[2.0, 2.0]),
        helper.make_node("Concat", ["s_nc", "s_hw"], ["scales"], axis=0),
        helper.make_node("RandomUniform", [], ["noise"], shape=[1], dtype=1),
        helper.make_node("Mul", ["noise", "zero"], ["noise0"]),
        helper.make_node("Conv", ["x", "w"], ["c"], name="conv", kernel_shape=[3, 3]),
        helper.make_node("Add", ["c", "noise0"], ["cn"]),
        helper.make_node("Resize", ["cn", "", "scales"], ["y"], mode="nearest"),
    ]
    model = om.finish_model(
        nodes, [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 3, 6, 6])],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, [1, 4, 8, 8])],
        [numpy_helper.from_array(w_t, "w_t"),
         numpy_helper.from_array(np.zeros(1, np.float32), "zero")], opset=13)
    ir = IR(model)
    assert [n.op_type for n in ir.graph.node] == ["RandomUniform", "Mul", "Conv", "Add",
                                                  "Resize"]
    np.testing.assert_array_equal(ir.get_array("w"), w)
    np.testing.assert_array_equal(ir.get_array("scales"), [1, 1, 2, 2])
    assert {t.name for t in ir.graph.initializer} == {"w", "scales", "zero"}
    layers = _check_layers(ir)
    conv = next(l for l in layers if l.graph.node[0].op_type == "Conv")
    assert [t.name for t in conv.graph.initializer] == ["w"]
    param = om.write_calibration(model, tmp_path, n_samples=2)
    assert_layerwise_equals_whole(ir, param, model=model, skip=["noise"])


# ----------------------------------------------------------------------------
# Old exporters: IR version 3, initializers listed as graph inputs
# ----------------------------------------------------------------------------

def test_initializers_listed_as_inputs_ir3(tmp_path):
    model = om.initializers_as_inputs(om.make_cnn_model(opset=9))
    model.ir_version = 3
    onnx.checker.check_model(model)
    ir = IR(model)
    assert ir.inputs == ["input"]
    layers = _check_layers(ir)
    # IR version 3 layer models list their initializers as inputs, as required
    conv = layers[0]
    assert {vi.name for vi in conv.graph.input} == {"input", "conv1.weight", "conv1.bias"}
    assert [i.name for i in Session(ir, conv).get_inputs()] == ["input"]
    param = om.write_calibration(model, tmp_path, n_samples=2)
    assert_layerwise_equals_whole(ir, param, model=model)


def test_constant_weight_folded_into_ir3_model(tmp_path):
    model = om.initializers_as_inputs(om.make_cnn_model(opset=9))
    model.ir_version = 3
    w = next(t for t in model.graph.initializer if t.name == "conv3.weight")
    keep = [t for t in model.graph.initializer if t.name != "conv3.weight"]
    del model.graph.initializer[:]
    model.graph.initializer.extend(keep)
    inputs = [vi for vi in model.graph.input if vi.name != "conv3.weight"]
    del model.graph.input[:]
    model.graph.input.extend(inputs)
    model.graph.node.insert(0, helper.make_node("Constant", [], ["conv3.weight"], value=w))
    onnx.checker.check_model(model)
    ir = IR(model)
    onnx.checker.check_model(ir.model)
    assert "conv3.weight" not in ir.inputs
    _check_layers(ir)
    param = om.write_calibration(model, tmp_path, n_samples=2)
    assert_layerwise_equals_whole(ir, param, model=model)


# ----------------------------------------------------------------------------
# Optional empty inputs, shared initializers
# ----------------------------------------------------------------------------

def make_optional_inputs_model(opset):
    """Conv without bias (""), Clip with no min (""), Resize without roi ("")
    and Dropout with no ratio / training_mode and no mask output."""
    rng = np.random.default_rng(11)
    inits = [numpy_helper.from_array(rng.standard_normal((4, 3, 3, 3)).astype(np.float32),
                                     "w"),
             numpy_helper.from_array(np.array(0.5, np.float32), "hi"),
             numpy_helper.from_array(np.array([1, 1, 2, 2], np.float32), "scales")]
    nodes = [helper.make_node("Conv", ["x", "w", ""], ["c"], kernel_shape=[3, 3],
                              pads=[1, 1, 1, 1]),
             helper.make_node("Clip", ["c", "", "hi"], ["cl"]),
             helper.make_node("Resize", ["cl", "", "scales"], ["r"], mode="nearest"),
             helper.make_node("Dropout", ["r", "", ""], ["y", ""])]
    return om.finish_model(nodes, [helper.make_tensor_value_info("x", TensorProto.FLOAT,
                                                                 [1, 3, 8, 8])],
                           [helper.make_tensor_value_info("y", TensorProto.FLOAT,
                                                          [1, 4, 16, 16])],
                           inits, opset=opset)


@pytest.mark.parametrize("opset", [13, 17, 21])
def test_optional_empty_inputs(opset, tmp_path):
    model = make_optional_inputs_model(opset)
    ir = IR(model)
    layers = _check_layers(ir)
    assert list(layers[0].graph.node[0].input) == ["x", "w", ""]
    assert [vi.name for vi in layers[1].graph.input] == ["c"]
    assert [o.name for o in layers[3].graph.output] == ["y"]
    param = om.write_calibration(model, tmp_path, n_samples=2)
    out = assert_layerwise_equals_whole(ir, param)
    assert out["cl"].max() <= 0.5 and out["cl"].min() < -0.5  # only max clipped


def test_initializer_read_by_several_nodes(tmp_path):
    rng = np.random.default_rng(4)
    w = rng.standard_normal((3, 3, 3, 3)).astype(np.float32)
    nodes = [helper.make_node("Conv", ["x", "shared", "bias"], ["a"], name="ca",
                              kernel_shape=[3, 3], pads=[1, 1, 1, 1]),
             helper.make_node("Relu", ["a"], ["ar"]),
             helper.make_node("Conv", ["ar", "shared", "bias"], ["b"], name="cb",
                              kernel_shape=[3, 3], pads=[1, 1, 1, 1]),
             helper.make_node("Add", ["b", "bias4d"], ["y"])]
    model = om.finish_model(
        nodes, [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 3, 8, 8])],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, [1, 3, 8, 8])],
        [numpy_helper.from_array(w, "shared"),
         numpy_helper.from_array(np.array([0.1, -0.2, 0.3], np.float32), "bias"),
         numpy_helper.from_array(np.ones((1, 3, 1, 1), np.float32), "bias4d")])
    ir = IR(model)
    layers = _check_layers(ir)
    convs = [l for l in layers if l.graph.node[0].op_type == "Conv"]
    assert len(convs) == 2
    for layer in convs:
        (t,) = [t for t in layer.graph.initializer if t.name == "shared"]
        np.testing.assert_array_equal(ir.get_array(t), w)
    # the two layer models do not share the tensor
    convs[0].graph.initializer[0].CopyFrom(numpy_helper.from_array(w * 0, "shared"))
    assert ir.get_array(convs[1].graph.initializer[0]).any()
    assert ir.get_array("shared").any()
    param = om.write_calibration(model, tmp_path, n_samples=2)
    assert_layerwise_equals_whole(ir, param)


def _custom_op_model(domain, op):
    nodes = [helper.make_node("Relu", ["x"], ["r"]),
             helper.make_node(op, ["r"], ["m"], domain=domain, name="custom"),
             helper.make_node("Neg", ["m"], ["y"], name="neg")]
    g = helper.make_graph(nodes, "g", [helper.make_tensor_value_info("x", TensorProto.FLOAT,
                                                                     ["N", 3])],
                          [helper.make_tensor_value_info("y", TensorProto.FLOAT, ["N", 3])])
    m = helper.make_model(g, opset_imports=[helper.make_opsetid("", 13),
                                            helper.make_opsetid(domain, 1)])
    m.ir_version = 8
    return m


def test_contrib_operator_output_typed_by_onnxruntime():
    # ONNX shape inference does not know com.microsoft operators.
    ir = IR(_custom_op_model("com.microsoft", "Gelu"))
    layers = _check_layers(ir)
    vi = layers[2].graph.input[0]
    assert vi.name == "m" and vi.type.tensor_type.elem_type == TensorProto.FLOAT
    assert [d.dim_param or d.dim_value for d in vi.type.tensor_type.shape.dim] == ["N", 3]
    data = {"x": np.array([[-1.0, 0.5, 2.0]], np.float32)}
    for layer in layers:
        s = Session(ir, layer)
        data.update(zip([o.name for o in s.get_outputs()], s.run(data)))
    from math import erf, sqrt
    gelu = [0.5 * v * (1 + erf(v / sqrt(2))) for v in (0.0, 0.5, 2.0)]
    np.testing.assert_allclose(data["y"][0], [-g for g in gelu], rtol=1e-5, atol=1e-6)


def test_unknown_operator_output_type_is_an_error_naming_the_tensor():
    ir = IR(_custom_op_model("my.domain", "Mystery"))
    with pytest.raises(ValueError, match=r"node 'neg' \(Neg\): no type is known for its "
                                         r"input 'm'"):
        ir.create_ir_layers()


# ----------------------------------------------------------------------------
# Symbolic dims, external data
# ----------------------------------------------------------------------------

@pytest.mark.parametrize("opset", [11, 17])
def test_symbolic_dims_stay_symbolic(opset, tmp_path):
    plain = om.make_cnn_model(opset=opset)
    model = om.with_symbolic_dims(plain, {"input": ["N", 3, "H", "W"]})
    ir = IR(model)
    layers = _check_layers(ir)
    dims = layers[0].graph.input[0].type.tensor_type.shape.dim
    assert [d.dim_param or d.dim_value for d in dims] == ["N", 3, "H", "W"]
    relu_in = layers[1].graph.input[0].type.tensor_type.shape.dim
    assert relu_in[0].dim_param == "N" and relu_in[1].dim_value == 8
    param = om.write_calibration(model, tmp_path, n_samples=2,
                                 shapes={"input": [1, 3, 8, 8]})
    assert_layerwise_equals_whole(ir, param)
    # also runs at another calibration size
    param = om.write_calibration(model, tmp_path / "big", n_samples=1,
                                 shapes={"input": [1, 3, 12, 10]})
    out = assert_layerwise_equals_whole(ir, param)
    assert out["conv1"].shape == (1, 1, 8, 12, 10)


def test_external_data_model(tmp_path):
    plain = om.make_cnn_model(opset=13)
    path = tmp_path / "ext.onnx"
    side = om.save_with_external_data(plain, str(path))
    raw = onnx.load(str(path), load_external_data=False)
    assert all(t.data_location == TensorProto.EXTERNAL for t in raw.graph.initializer)
    ir = IR(str(path))
    for t in plain.graph.initializer:
        want = numpy_helper.to_array(t)
        np.testing.assert_array_equal(ir.get_array(t.name), want)
    # a tensor still pointing to the side file is read from it
    t_ext = next(t for t in raw.graph.initializer if t.name == "conv2.weight")
    np.testing.assert_array_equal(ir.get_array(t_ext),
                                  numpy_helper.to_array(plain.graph.initializer[2]))
    _check_layers(ir)
    param = om.write_calibration(plain, tmp_path / "calib", n_samples=2)
    assert_layerwise_equals_whole(ir, param, model=plain)
    # a ModelProto with external references resolves them against base_dir
    ir2 = IR(raw, base_dir=str(tmp_path))
    np.testing.assert_array_equal(ir2.get_array("fc.weight"), ir.get_array("fc.weight"))
    # the side file missing is reported by name
    os.remove(side)
    with pytest.raises(FileNotFoundError, match="external data file of initializer "
                                                "'conv1.weight' not found: .*ext.onnx.data"):
        IR(str(path))


# ----------------------------------------------------------------------------
# Operators whose form changes with the opset
# ----------------------------------------------------------------------------

def make_opset_ops_model(opset):
    """Conv -> BatchNormalization -> Clip (attrs < 11, inputs >= 11) ->
    Unsqueeze/Squeeze (axes attr < 13, input >= 13) -> Upsample (9) / Resize
    (roi input at 11, empty roi from 13) -> Split (attr < 13, input >= 13) ->
    Concat -> ReduceMean (axes attr < 18, input >= 18)."""
    rng = np.random.default_rng(opset)
    f = np.float32
    inits = [numpy_helper.from_array((rng.standard_normal((4, 3, 3, 3)) * .4).astype(f), "w"),
             numpy_helper.from_array(rng.standard_normal(4).astype(f), "bn_s"),
             numpy_helper.from_array(rng.standard_normal(4).astype(f), "bn_b"),
             numpy_helper.from_array(rng.standard_normal(4).astype(f), "bn_m"),
             numpy_helper.from_array(rng.uniform(.5, 2, 4).astype(f), "bn_v"),
             numpy_helper.from_array(np.array([1, 1, 2, 2], f), "scales")]
    nodes = [helper.make_node("Conv", ["x", "w"], ["c"], kernel_shape=[3, 3],
                              pads=[1, 1, 1, 1]),
             helper.make_node("BatchNormalization", ["c", "bn_s", "bn_b", "bn_m", "bn_v"],
                              ["bn"], epsilon=1e-3)]
    if opset < 11:
        nodes.append(helper.make_node("Clip", ["bn"], ["cl"], min=-0.5, max=1.0))
    else:
        inits += [numpy_helper.from_array(np.array(-0.5, f), "lo"),
                  numpy_helper.from_array(np.array(1.0, f), "hi")]
        nodes.append(helper.make_node("Clip", ["bn", "lo", "hi"], ["cl"]))
    if opset < 13:
        nodes += [helper.make_node("Unsqueeze", ["cl"], ["u"], axes=[0]),
                  helper.make_node("Squeeze", ["u"], ["sq"], axes=[0])]
    else:
        inits.append(numpy_helper.from_array(np.array([0], np.int64), "ax0"))
        nodes += [helper.make_node("Unsqueeze", ["cl", "ax0"], ["u"]),
                  helper.make_node("Squeeze", ["u", "ax0"], ["sq"])]
    if opset < 10:
        nodes.append(helper.make_node("Upsample", ["sq", "scales"], ["up"], mode="nearest"))
    elif opset < 13:
        inits.append(numpy_helper.from_array(np.zeros(0, f), "roi"))
        nodes.append(helper.make_node("Resize", ["sq", "roi", "scales"], ["up"],
                                      mode="linear"))
    else:
        nodes.append(helper.make_node("Resize", ["sq", "", "scales"], ["up"],
                                      mode="linear", coordinate_transformation_mode=
                                      "half_pixel"))
    if opset < 13:
        nodes.append(helper.make_node("Split", ["up"], ["s0", "s1"], axis=1, split=[1, 3]))
    else:
        inits.append(numpy_helper.from_array(np.array([1, 3], np.int64), "split"))
        nodes.append(helper.make_node("Split", ["up", "split"], ["s0", "s1"], axis=1))
    nodes.append(helper.make_node("Concat", ["s1", "s0"], ["cat"], axis=1))
    if opset < 18:
        nodes.append(helper.make_node("ReduceMean", ["cat"], ["y"], axes=[2], keepdims=1))
    else:
        inits.append(numpy_helper.from_array(np.array([2], np.int64), "ax2"))
        nodes.append(helper.make_node("ReduceMean", ["cat", "ax2"], ["y"], keepdims=1))
    return om.finish_model(nodes, [helper.make_tensor_value_info("x", TensorProto.FLOAT,
                                                                 [1, 3, 6, 6])],
                           [helper.make_tensor_value_info("y", TensorProto.FLOAT,
                                                          [1, 4, 1, 12])],
                           inits, opset=opset)


@pytest.mark.parametrize("opset", OPSETS)
def test_opset_dependent_operators(opset, tmp_path):
    model = make_opset_ops_model(opset)
    ir = IR(model)
    layers = _check_layers(ir)
    for layer in layers:
        assert list(layer.opset_import) == list(model.opset_import)
        assert layer.ir_version == model.ir_version
    param = om.write_calibration(model, tmp_path, n_samples=2)
    out = assert_layerwise_equals_whole(ir, param)
    assert out["up"].shape == (2, 1, 4, 12, 12)
    assert out["cl"].min() >= -0.5 and out["cl"].max() <= 1.0


# ----------------------------------------------------------------------------
# torch.onnx.export (TorchScript exporter; the dynamo exporter needs
# onnxscript, which is not installed)
# ----------------------------------------------------------------------------

import torch  # noqa: E402


class SmallNet(torch.nn.Module):
    """conv/BN/ReLU, max pool, a residual block, nearest upsample, concat."""

    def __init__(self):
        super().__init__()
        nn = torch.nn
        self.stem = nn.Sequential(nn.Conv2d(3, 8, 3, padding=1), nn.BatchNorm2d(8),
                                  nn.ReLU())
        self.pool = nn.MaxPool2d(2)
        self.block = nn.Sequential(nn.Conv2d(8, 8, 3, padding=1, bias=False),
                                   nn.BatchNorm2d(8), nn.ReLU(),
                                   nn.Conv2d(8, 8, 3, padding=1, groups=2))
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
    kwargs = {}
    if dynamic:
        kwargs["dynamic_axes"] = {"x": {0: "N", 2: "H", 3: "W"}}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        torch.onnx.export(net, (torch.randn(1, 3, 8, 8),), buf, opset_version=opset,
                          dynamo=False, do_constant_folding=fold, input_names=["x"],
                          output_names=["y"], training=torch.onnx.TrainingMode.EVAL,
                          **kwargs)
    return net, onnx.load_from_string(buf.getvalue())


def _torch_out(net, feeds):
    with torch.no_grad():
        return np.stack([net(torch.from_numpy(v)).numpy() for v in feeds["x"]])


@pytest.mark.parametrize("opset", OPSETS)
def test_torch_export(opset, tmp_path):
    net, model = export_small_net(opset, fold=(opset % 2 == 1 and opset > 9))
    ir = IR(model)
    assert not {n.op_type for n in ir.graph.node} & {"Constant", "Identity"}
    inits = {t.name for t in ir.graph.initializer}
    for node in ir.graph.node:  # every node reads at least one runtime tensor
        assert any(i and i not in inits for i in node.input), node.op_type
    _check_layers(ir)
    param = om.write_calibration(model, tmp_path, n_samples=2)
    out = assert_layerwise_equals_whole(ir, param, model=model)
    feeds = om.load_model_inputs(ir, param)
    np.testing.assert_allclose(out["y"], _torch_out(net, feeds), rtol=1e-4, atol=1e-4)


@pytest.mark.parametrize("opset", OPSETS)
def test_torch_export_exporter_styles(opset, tmp_path):
    """Dynamic axes, then weights as Constant chains, then external data."""
    net, model = export_small_net(opset, dynamic=True, seed=1)
    styled = om.weights_as_constants(model)
    path = tmp_path / "styled.onnx"
    om.save_with_external_data(styled, str(path), convert_attribute=True)
    raw = onnx.load(str(path), load_external_data=False)
    const = next(n for n in raw.graph.node if n.op_type == "Constant")
    assert const.attribute[0].t.data_location == TensorProto.EXTERNAL
    ir = IR(str(path))
    assert not {n.op_type for n in ir.graph.node} & FOLDED_OPS
    layers = _check_layers(ir)
    dims = layers[0].graph.input[0].type.tensor_type.shape.dim
    assert [d.dim_param or d.dim_value for d in dims] == ["N", 3, "H", "W"]
    param = om.write_calibration(model, tmp_path / "c", n_samples=2,
                                 shapes={"x": [1, 3, 8, 12]})
    out = assert_layerwise_equals_whole(ir, param, model=styled)
    feeds = om.load_model_inputs(ir, param)
    np.testing.assert_allclose(out["y"], _torch_out(net, feeds), rtol=1e-4, atol=1e-4)
