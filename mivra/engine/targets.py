"""The layers a model's weights can be quantized in, and their weight layouts.

Every kind is solved on a weight matrix W (rows = output channels, columns =
input features) with the second moment of the input vectors x that W
multiplies (output = W x):

=========  ==========================  ===================================  ==============
kind       node                        W from the stored weight             input vectors
=========  ==========================  ===================================  ==============
conv       Conv, group 1               (C, in, kh, kw) -> (C, in*kh*kw)     patches
grouped    Conv, group g > 1           rows of group j: (C/g, in/g*kh*kw)   patches of the
                                                                            group's channels
gemm       Gemm with a constant B      B (N, K) if transB, else B^T         rows of A (or
                                                                            columns: transA)
matmul     MatMul, constant 2-D right  B^T (N, K)                           last axis of A
gather     Gather (axis 0) of a         the table (V, D): a row per entry   none: the rows
           constant 2-D table                                               it reads
=========  ==========================  ===================================  ==============

An embedding table's output is the row it reads, so each row's error is its
own squared error (H = I), weighed by how often the calibration set reads it.

The stored weight keeps its layout in the table: ``axis`` is the axis of its
output channels (1 for B of MatMul and of Gemm without transB, else 0), and
groups of columns run along the other axis (the flattened columns of a conv).
"""
from __future__ import annotations

import fnmatch
from dataclasses import dataclass

import numpy as np
import onnx

from ..errors import UserError

KINDS = ("conv", "gemm", "matmul", "grouped", "gather")
RECURRENT = ("LSTM", "GRU", "RNN")


@dataclass
class Target:
    node: str                 # node name (its first output when unnamed)
    output: str               # the node's first output, unique in the graph
    kind: str                 # one of KINDS
    weight: str               # weight initializer
    input: str                # activation input
    shape: tuple              # stored weight shape
    groups: int = 1
    strides: tuple = (1, 1)
    pads: tuple = (0, 0, 0, 0)       # top, left, bottom, right
    dilations: tuple = (1, 1)
    trans_a: bool = False
    trans_b: bool = False
    alpha: float = 1.0
    beta: float = 1.0
    bias: str = ""            # bias input (Conv B, Gemm C, the constant of a MatMul's Add);
                              # "" when there is none
    bias_node: str = ""       # output of the node holding a MatMul's bias (its Add)
    excluded: bool = False

    @property
    def op(self) -> str:
        return {"conv": "Conv", "grouped": "Conv", "gemm": "Gemm", "matmul": "MatMul",
                "gather": "Gather"}[self.kind]

    @property
    def bias_holder(self) -> str:
        """First output of the node whose input ``bias`` is: the node itself, or a
        MatMul's Add."""
        return self.bias_node or self.output

    @property
    def axis(self) -> int:
        """Axis of the output channels in the stored weight."""
        return 1 if self.kind == "matmul" or (self.kind == "gemm" and not self.trans_b) else 0

    @property
    def kernel(self) -> tuple:
        return tuple(self.shape[2:4]) if self.kind in ("conv", "grouped") else (1, 1)

    @property
    def rows(self) -> int:
        return int(self.shape[self.axis])

    def matrix(self, w: np.ndarray) -> np.ndarray:
        """W (rows, columns) of the stored weight ``w``."""
        if self.kind in ("conv", "grouped"):
            return w.reshape(w.shape[0], -1)
        return w.T if self.axis == 1 else w

    def stored(self, W: np.ndarray) -> np.ndarray:
        """The stored layout of a matrix shaped like ``matrix(w)``."""
        if self.kind in ("conv", "grouped"):
            return W.reshape(self.shape)
        return np.ascontiguousarray(W.T) if self.axis == 1 else W

    def statistics_key(self) -> tuple:
        """What a layer's statistics depend on besides the calibration set: its
        input tensor and how it reads it (layers reading one tensor alike, such
        as attention's Q, K and V, share them)."""
        if self.kind in ("conv", "grouped"):
            return (self.kind, self.input, self.kernel, self.groups, self.strides, self.pads,
                    self.dilations, self.shape[1])
        return (self.kind if self.kind == "gather" else "matrix", self.input, self.trans_a,
                self.rows if self.kind == "gather" else 0)

    def rows_of(self, groups: list):
        """Rows of W of the convolution groups ``groups`` (all: every row)."""
        if len(groups) == self.groups:
            return slice(None)
        r = self.rows // self.groups
        return np.concatenate([np.arange(g * r, (g + 1) * r) for g in groups])


def _attr(node, name, default):
    for a in node.attribute:
        if a.name == name:
            return onnx.helper.get_attribute_value(a)
    return default


def _float_weight(node, name, inits, ndim) -> tuple | None:
    """Shape of the float32 initializer ``name`` with ``ndim`` dims, else None."""
    t = inits.get(name)
    if t is None or t.data_type != onnx.TensorProto.FLOAT or len(t.dims) != ndim:
        return None
    return tuple(int(d) for d in t.dims)


def _conv_target(node, name, inits) -> Target:
    if len(node.input) < 2 or node.input[1] not in inits:
        raise UserError(f"Conv node {name}", "its weight is computed in the graph, not stored "
                        "as an initializer, and only stored weights can be quantized",
                        "export the model with its weights as constants (constant folding on)")
    t = inits[node.input[1]]
    if t.data_type != onnx.TensorProto.FLOAT:
        dtype = onnx.helper.tensor_dtype_to_np_dtype(t.data_type)
        raise UserError(f"Conv node {name}", f"weight {t.name} is {dtype}, and only float32 "
                        "weights are supported", "export the model in float32")
    dims = tuple(int(d) for d in t.dims)
    if len(dims) != 4:
        raise UserError(f"Conv node {name}", "only 2-D convolutions are supported, its weight "
                        f"has shape {list(dims)}", "convert the model's 1-D or 3-D convolutions "
                        "to 2-D ones, or leave Convs float with --ops")
    if 0 in dims:
        raise UserError(f"Conv node {name}", f"weight {t.name} of shape {list(dims)} is empty",
                        "fix the model")
    if _attr(node, "auto_pad", b"NOTSET") not in (b"NOTSET", "NOTSET"):
        raise UserError(f"Conv node {name}", "auto_pad is not supported",
                        "export the model with explicit pads")
    groups = int(_attr(node, "group", 1))
    pads = tuple(int(p) for p in _attr(node, "pads", [0, 0, 0, 0]))
    return Target(node=name, output=node.output[0], kind="conv" if groups == 1 else "grouped",
                  weight=node.input[1], input=node.input[0], shape=dims, groups=groups,
                  bias=node.input[2] if len(node.input) > 2 else "",
                  strides=tuple(int(s) for s in _attr(node, "strides", [1, 1])),
                  pads=pads, dilations=tuple(int(d) for d in _attr(node, "dilations", [1, 1])))


def _add_bias(node, shape, inits, readers) -> tuple[str, str]:
    """(constant, Add output) when the MatMul ``node``'s output (N columns) is
    read only by an Add whose other operand is a float32 initializer of N values
    along the last axis: the MatMul's bias. Else ("", "")."""
    users = readers.get(node.output[0], [])
    if len(users) != 1 or users[0].op_type != "Add":
        return "", ""
    add = users[0]
    other = [i for i in add.input if i != node.output[0]]
    c = inits.get(other[0]) if len(other) == 1 else None
    dims = [int(d) for d in c.dims] if c is not None else []
    if (c is None or c.data_type != onnx.TensorProto.FLOAT or not dims or dims[-1] != shape[1]
            or any(d != 1 for d in dims[:-1])):
        return "", ""
    return c.name, add.output[0]


def _matrix_target(node, name, inits, readers=None) -> Target | None:
    """Gemm or MatMul whose right operand is a constant 2-D float32 matrix."""
    if len(node.input) < 2 or node.input[0] in inits:
        return None
    shape = _float_weight(node, node.input[1], inits, 2)
    if shape is None:
        return None
    if node.op_type == "Gemm":
        return Target(node=name, output=node.output[0], kind="gemm", weight=node.input[1],
                      input=node.input[0], shape=shape, trans_a=bool(_attr(node, "transA", 0)),
                      trans_b=bool(_attr(node, "transB", 0)), alpha=float(_attr(node, "alpha", 1.0)),
                      beta=float(_attr(node, "beta", 1.0)),
                      bias=node.input[2] if len(node.input) > 2 else "")
    bias, bias_node = _add_bias(node, shape, inits, readers or {})
    return Target(node=name, output=node.output[0], kind="matmul", weight=node.input[1],
                  input=node.input[0], shape=shape, bias=bias, bias_node=bias_node)


def _gather_target(node, name, inits) -> Target | None:
    """Gather of rows (axis 0) of a constant 2-D float32 table."""
    if len(node.input) < 2 or int(_attr(node, "axis", 0)) != 0 or node.input[1] in inits:
        return None
    shape = _float_weight(node, node.input[0], inits, 2)
    if shape is None or 0 in shape:
        return None
    return Target(node=name, output=node.output[0], kind="gather", weight=node.input[0],
                  input=node.input[1], shape=shape)


def find_targets(model: onnx.ModelProto, kinds=KINDS) -> tuple[list, list]:
    """(targets of the chosen ``kinds`` in node order, unsupported layers).

    Unsupported layers are (node, op, reason) of weight-carrying nodes left in
    float: recurrent layers, and matrix products whose weight is not a
    constant 2-D float32 matrix.
    """
    inits = {t.name: t for t in model.graph.initializer}
    readers = {}
    for node in model.graph.node:
        for i in dict.fromkeys(node.input):
            readers.setdefault(i, []).append(node)
    targets, skipped = [], []
    for node in model.graph.node:
        name = node.name or node.output[0]
        if node.op_type == "Conv":
            groups = int(_attr(node, "group", 1))
            if ("conv" if groups == 1 else "grouped") in kinds:
                targets.append(_conv_target(node, name, inits))
        elif node.op_type in ("Gemm", "MatMul"):
            if node.op_type.lower() not in kinds:
                continue
            t = _matrix_target(node, name, inits, readers)
            if t is not None:
                targets.append(t)
            elif len(node.input) > 1 and node.input[1] in inits:
                skipped.append((name, node.op_type, "not quantized (weight is not a 2-D float32 matrix)"))
        elif node.op_type == "Gather" and "gather" in kinds:
            t = _gather_target(node, name, inits)
            if t is not None:
                targets.append(t)
        elif node.op_type in RECURRENT and any(i in inits for i in node.input[1:3]):
            skipped.append((name, node.op_type, "not quantized (unsupported op)"))
    # A table that a matrix product also reads (tied embeddings) is solved on that
    # product's statistics; its lookups read the same quantized table.
    products = {t.weight for t in targets if t.kind != "gather"}
    return [t for t in targets if t.kind != "gather" or t.weight not in products], skipped


def apply_exclusions(layers: list, patterns: list[str], first_last: bool) -> list[str]:
    """Mark excluded layers; returns the weight names that stay float.

    A pattern (fnmatch syntax) matches a layer by node name or weight name.
    A pattern matching no quantizable layer is an error naming it.
    """
    for pat in patterns:
        hit = [L for L in layers if fnmatch.fnmatchcase(L.node, pat) or fnmatch.fnmatchcase(L.weight, pat)]
        if not hit:
            raise UserError(f"--exclude {pat}", "matches no quantizable node or weight",
                            "give node or weight names of the layers to quantize, e.g. "
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


def initializer_nbytes(model: onnx.ModelProto) -> dict:
    """{initializer: bytes of its values} from its dims and data type, without
    reading its data (0 for types without a fixed size)."""
    out = {}
    for t in model.graph.initializer:
        try:
            item = np.dtype(onnx.helper.tensor_dtype_to_np_dtype(t.data_type)).itemsize
        except (KeyError, TypeError, ValueError):
            item = 0
        out[t.name] = int(np.prod(t.dims, dtype=np.int64)) * item
    return out
