"""The quantizable convolutions of a model and layer exclusion.

A convolution is quantizable when it is a "Conv" node with one group and a
4-D weight stored as an initializer -- exactly the layers the quantizer works on.
"""
from __future__ import annotations

import fnmatch
from dataclasses import dataclass, field

import onnx
from onnx import numpy_helper

from .errors import UserError


@dataclass
class ConvLayer:
    node: str            # node name (or its output name when the node is unnamed)
    weight: str          # weight initializer name
    input: str           # activation input
    shape: tuple         # weight shape (C, in, kh, kw)
    output: str = ""     # first output (unique, unlike node names)
    bias: str = ""       # bias initializer name, "" when there is none
    strides: tuple = (1, 1)
    pads: tuple = (0, 0, 0, 0)   # top, left, bottom, right
    dilations: tuple = (1, 1)
    excluded: bool = False
    extra: dict = field(default_factory=dict)


def _attr(node, name, default):
    for a in node.attribute:
        if a.name == name:
            return onnx.helper.get_attribute_value(a)
    return default


def find_conv_layers(model: onnx.ModelProto) -> list[ConvLayer]:
    """Ungrouped convolutions of the top-level graph, in node (execution) order.

    Raises ``UserError`` for an ungrouped Conv that the quantizer cannot take
    (weight not an initializer, not a 2-D convolution).
    """
    inits = {t.name: t for t in model.graph.initializer}
    layers = []
    for node in model.graph.node:
        if node.op_type != "Conv" or int(_attr(node, "group", 1)) != 1:
            continue
        name = node.name or node.output[0]
        if len(node.input) < 2 or node.input[1] not in inits:
            raise UserError(f"Conv node {name}", "its weight is computed in the graph, not stored "
                            "as an initializer, and only stored weights can be quantized",
                            "export the model with its weights as constants (constant folding on)")
        weight = inits[node.input[1]]
        if weight.data_type != onnx.TensorProto.FLOAT:
            dtype = onnx.helper.tensor_dtype_to_np_dtype(weight.data_type)
            raise UserError(f"Conv node {name}", f"weight {weight.name} is {dtype}, "
                            "and only float32 weights are supported", "export the model in float32")
        dims = tuple(int(d) for d in weight.dims)
        if len(dims) != 4:
            raise UserError(f"Conv node {name}", "only 2-D convolutions are supported, "
                            f"its weight has shape {list(dims)}",
                            "convert the model's 1-D or 3-D convolutions to 2-D ones")
        if 0 in dims:
            raise UserError(f"Conv node {name}", f"weight {weight.name} of shape {list(dims)} is empty",
                            "fix the model")
        pads = tuple(int(p) for p in _attr(node, "pads", [0, 0, 0, 0]))
        if _attr(node, "auto_pad", b"NOTSET") not in (b"NOTSET", "NOTSET"):
            raise UserError(f"Conv node {name}", "auto_pad is not supported",
                            "export the model with explicit pads")
        layers.append(ConvLayer(
            node=name, weight=node.input[1], input=node.input[0], shape=dims, output=node.output[0],
            bias=node.input[2] if len(node.input) > 2 else "",
            strides=tuple(int(s) for s in _attr(node, "strides", [1, 1])),
            pads=(pads[0], pads[1], pads[2], pads[3]),
            dilations=tuple(int(d) for d in _attr(node, "dilations", [1, 1])),
        ))
    return layers


def apply_exclusions(layers: list[ConvLayer], patterns: list[str], first_last: bool) -> list[str]:
    """Mark excluded layers; returns the weight names that stay float.

    A pattern (fnmatch syntax) matches a layer by node name or weight name.
    A pattern matching no quantizable convolution is an error naming it.
    """
    for pat in patterns:
        hit = [L for L in layers if fnmatch.fnmatchcase(L.node, pat) or fnmatch.fnmatchcase(L.weight, pat)]
        if not hit:
            raise UserError(f"--exclude {pat}", "matches no convolution node or weight",
                            "give node or weight names of ungrouped Conv nodes, e.g. "
                            + ", ".join(L.node for L in layers[:3]))
        for L in hit:
            L.excluded = True
    if first_last and layers:
        layers[0].excluded = True
        layers[-1].excluded = True
    # A weight shared with an excluded node stays float everywhere.
    excluded = {L.weight for L in layers if L.excluded}
    for L in layers:
        if L.weight in excluded:
            L.excluded = True
    return sorted(excluded)


def initializer_arrays(model: onnx.ModelProto, names) -> dict:
    names = set(names)
    return {t.name: numpy_helper.to_array(t) for t in model.graph.initializer if t.name in names}
