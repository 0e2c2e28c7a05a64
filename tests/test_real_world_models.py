"""Exporter-style models (constant subgraphs, IR version 3, contrib operators,
opset-dependent operators, torch exports with symbolic dims and external data): the layer split is valid and every tensor equals the whole-model run."""
from math import erf, sqrt

import numpy as np
import onnx
import pytest
import torch
from onnx import TensorProto, helper

import onnx_models as om
from mivra.api.ir import IR
from mivra.api.session import Session

N, _tvi, _init = helper.make_node, om._tvi, om._init


def _open_rank(vi):
    """Rank of a layer input, whose dims are left open (the runtime's tensors decide)."""
    dims = vi.type.tensor_type.shape.dim
    assert not any(d.dim_param or d.dim_value for d in dims)
    return len(dims)


def test_constant_subgraphs_are_folded(tmp_path):
    """Conv weight = Reshape(Transpose(w_t)); Resize scales = Concat of two Constants;
    value_float / value_int + Cast constants; a RandomUniform node and its reader and a
    Constant that is a graph output are kept."""
    w = np.random.default_rng(8).standard_normal((4, 3, 3, 3)).astype(np.float32)
    nodes = [N("Constant", [], ["exported"], value_floats=[5.0]), N("Transpose", ["w_t"], ["w_flat"], perm=[1, 0]),
             N("Constant", [], ["w_shape"], value_ints=[4, 3, 3, 3]), N("Reshape", ["w_flat", "w_shape"], ["w"]),
             N("Constant", [], ["s_nc"], value_floats=[1.0, 1.0]), N("Constant", [], ["s_hw"], value_floats=[2.0, 2.0]),
             N("Concat", ["s_nc", "s_hw"], ["scales"], axis=0), N("RandomUniform", [], ["noise"], shape=[1], dtype=1),
             N("Mul", ["noise", "zero"], ["noise0"]), N("Constant", [], ["f"], value_float=2.0),
             N("Constant", [], ["i"], value_int=3), N("Cast", ["i"], ["i_f"], to=TensorProto.FLOAT),
             N("Conv", ["x", "w"], ["c"], name="conv", kernel_shape=[3, 3]), N("Add", ["c", "noise0"], ["cn"]),
             N("Resize", ["cn", "", "scales"], ["r"], mode="nearest"), N("Mul", ["r", "f"], ["a"]),
             N("Sub", ["a", "i_f"], ["y"])]
    model = om.finish_model(nodes, [_tvi("x", [1, 3, 6, 6])], [_tvi("y", [1, 4, 8, 8]), _tvi("exported", [1])],
                            [_init("w_t", np.ascontiguousarray(w.reshape(4, 27).T)), _init("zero", np.zeros(1, "f4"))])
    ir = IR(model)
    assert [n.op_type for n in ir.graph.node] == ["Constant", "RandomUniform", "Mul", "Conv", "Add", "Resize", "Mul",
                                                  "Sub"]
    assert {t.name for t in ir.graph.initializer} == {"w", "scales", "zero", "f", "i_f"}
    np.testing.assert_array_equal(ir.get_array("w"), w)
    np.testing.assert_array_equal(ir.get_array("scales"), [1, 1, 2, 2])
    assert ir.get_array("i_f").dtype == np.float32 and ir.get_array("i_f") == 3.0
    _, out = om.check_layer_split(ir, om.write_calibration(model, tmp_path, n_samples=2), model=model, skip=["noise"])
    np.testing.assert_array_equal(out["exported"], [[5.0]] * 2)


def test_ir3_initializers_listed_as_inputs_and_a_constant_weight(tmp_path):
    """Old exporters: IR version 3, every initializer also a graph input, except
    conv3.weight, which a Constant node produces."""
    model = om.make_cnn_model(opset=9)
    model.ir_version = 3
    w = next(t for t in model.graph.initializer if t.name == "conv3.weight")
    model.graph.node.insert(0, N("Constant", [], ["conv3.weight"], value=w))
    model.graph.initializer.remove(w)
    model.graph.input.extend(_tvi(t.name, list(t.dims)) for t in model.graph.initializer)
    ir = IR(model)
    onnx.checker.check_model(ir.model)
    assert ir.inputs == ["input"]
    conv = om.check_layer_split(ir, om.write_calibration(model, tmp_path, n_samples=2), model=model)[0][0]
    assert {vi.name for vi in conv.graph.input} == {"input", "conv1.weight", "conv1.bias"}  # IR 3 needs them
    sess = Session(ir, conv)                        # which the session does not ask to be fed
    assert [i.name for i in sess.get_inputs()] == ["input"] and [o.name for o in sess.get_outputs()] == ["conv1"]
    with pytest.raises(KeyError, match="input 'input' of the layer is missing"):
        sess.run({})


def _custom_op_model(domain, op):
    nodes = [N("Relu", ["x"], ["r"]), N(op, ["r"], ["m"], domain=domain, name="custom"),
             N("Neg", ["m"], ["y"], name="neg")]
    m = helper.make_model(helper.make_graph(nodes, "g", [_tvi("x", ["N", 3])], [_tvi("y", ["N", 3])]),
                          opset_imports=[helper.make_opsetid("", 13), helper.make_opsetid(domain, 1)])
    m.ir_version = 8
    return m


def test_contrib_operator_typed_by_onnxruntime_and_unknown_one_is_named():
    ir = IR(_custom_op_model("com.microsoft", "Gelu"))   # ONNX shape inference does not know it
    layers, _ = om.check_layer_split(ir)
    vi = layers[2].graph.input[0]
    assert vi.name == "m" and vi.type.tensor_type.elem_type == TensorProto.FLOAT and _open_rank(vi) == 2
    data = {"x": np.array([[-1.0, 0.5, 2.0]], np.float32)}
    for layer in layers:
        s = Session(ir, layer)  # fed the whole dict: inputs it does not read are ignored
        data.update(zip([o.name for o in s.get_outputs()], s.run(data)))
    np.testing.assert_allclose(data["y"][0], [-0.5 * v * (1 + erf(v / sqrt(2))) for v in (0.0, 0.5, 2.0)],
                               rtol=1e-5, atol=1e-6)
    with pytest.raises(ValueError, match=r"node 'neg' \(Neg\): no type is known for its input 'm'"):
        IR(_custom_op_model("my.domain", "Mystery")).create_ir_layers()


@pytest.mark.parametrize("opset", [11, 12, 13])
def test_empty_optional_inputs_and_outputs(opset, tmp_path):
    """Conv without bias "", Clip without min ("" from opset 13), Resize without roi ("" from
    13), Dropout with ratio and training_mode "" (from 12) and no mask output "": the empty
    names are neither inputs nor outputs of the layers."""
    new, f = opset >= 13, np.float32
    inits = [_init("w", om._f32(np.random.default_rng(opset), 4, 3, 3, 3)), _init("lo", np.array(-0.5, f)),
             _init("hi", np.array(1.0, f)), _init("roi", np.zeros(0, f)), _init("scales", np.array([1, 1, 2, 2], f))]
    nodes = [N("Conv", ["x", "w", ""], ["c"], kernel_shape=[3, 3], pads=[1, 1, 1, 1]),
             N("Clip", ["c", "" if new else "lo", "hi"], ["cl"]),
             N("Resize", ["cl", "" if new else "roi", "scales"], ["up"], mode="linear"),
             N("Dropout", ["up"] + ["", ""] * (opset >= 12), ["y", ""])]
    model = om.finish_model(nodes, [_tvi("x", [1, 3, 6, 6])], [_tvi("y", [1, 4, 12, 12])],
                            [t for t in inits if t.name in {i for n in nodes for i in n.input}], opset=opset)
    layers, out = om.check_layer_split(IR(model), om.write_calibration(model, tmp_path, n_samples=2))
    assert list(layers[0].graph.node[0].input) == ["x", "w", ""] and [vi.name for vi in layers[0].graph.input] == ["x"]
    assert [vi.name for vi in layers[1].graph.input] == ["c"] and [o.name for o in layers[3].graph.output] == ["y"]
    assert out["cl"].max() <= 1.0 and (out["cl"].min() >= -0.5) == (not new)     # min "": no lower clip


@pytest.mark.parametrize("opset", [9, 13, 21])
def test_torch_export_as_exported_and_restyled(opset, tmp_path):
    """The export as it is (dynamic axes, constant folding on for opsets above 9), then
    with weights as Constant chains in an external-data file: both give the torch
    network's output at a size other than the exported one."""
    net, model = om.export_small_net(opset, fold=opset > 9, dynamic=True, seed=1)
    del model.graph.value_info[:]  # symbolic shapes are left to inference
    param = om.write_calibration(model, tmp_path / "c", n_samples=2, shapes={"x": [1, 3, 8, 12]})
    ir = IR(model)
    with torch.no_grad():
        ref = np.stack([net(torch.from_numpy(v)).numpy() for v in om.load_model_inputs(ir, param)["x"]])
    inits = {t.name for t in ir.graph.initializer}
    assert all(any(i and i not in inits for i in node.input) for node in ir.graph.node)  # constants all folded
    styled, path = om.weights_as_constants(model), tmp_path / "styled.onnx"
    om.save_with_external_data(styled, str(path))
    const = next(n for n in onnx.load(str(path), load_external_data=False).graph.node if n.op_type == "Constant")
    assert const.attribute[0].t.data_location == TensorProto.EXTERNAL
    for ir, src in ((ir, model), (IR(str(path)), styled)):
        assert not {n.op_type for n in ir.graph.node} & {"Constant", "Identity", "Cast"}
        layers, out = om.check_layer_split(ir, param, model=src)
        assert _open_rank(layers[0].graph.input[0]) == _open_rank(layers[1].graph.input[0]) == 4
        np.testing.assert_allclose(out["y"], ref, rtol=1e-4, atol=1e-4)
