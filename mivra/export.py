"""Deployable models from a filled ``quant_tab``.

* QDQ model: every quantized weight becomes an integer initializer feeding a
  ``DequantizeLinear`` node whose output carries the weight's original name, so
  the consuming convolution is untouched.  Weights of 4 bits and fewer are stored
  as INT4 (two values per byte), wider ones as INT8 (and per-channel ones as
  INT8 when 8-bit activations let integer kernels run the layers).  Per-channel parameters use
  axis 0; group-wise parameters use blocked dequantization on the weight viewed
  as (C, D) -- D = in * kh * kw flattened input columns, the axis groups run
  along -- followed by a ``Reshape`` back to (C, in, kh, kw).
* Fake-quant model: the original graph with each quantized weight replaced by
  its dequantized float32 values, computed exactly as ``DequantizeLinear`` does
  (``float(int32(q) - zero_point) * scale`` in float32), so both models carry
  bit-identical weights.

The integer container of a weight must hold the weight's grid values and its
zero points.  An asymmetric zero point may lie outside the b-bit grid; the
container is then widened (INT4 -> INT8 -> INT16 -> INT32) so the model stays
exact.

Neither export copies the model: both are built as ``ModelParts``, every field
of the model but its initializers plus the initializers in order, each taken
from the model (not copied), made on demand (a dequantized weight) or new (the
integer weights of the QDQ model).  The graph edits (and the opset
conversion) run on the model with stubs in place of its initializers.
``write_model`` writes the parts as one file, or, for models of
EXTERNAL_DATA_BYTES or more and wherever the caller asks (the command line
does when the input model kept its weights in external data), as ``OUT.onnx``
plus ``OUT.onnx.data`` beside it, one initializer at a time.
"""
from __future__ import annotations

import os

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

from . import scheme
from .api import model_file
from .api.graph_edit import drop_initializers, unique_name
from .engine.bias import apply_biases

# DequantizeLinear with INT4/INT16 inputs and blocked quantization appeared in
# opset 21; per-axis INT8 needs opset 13.
QDQ_OPSET_LOW_BIT = 21
QDQ_OPSET_INT8 = 13
IR_VERSION_FOR_OPSET = {21: 10, 13: 7}

_CONTAINERS = [  # (data type, min, max, bytes per value)
    (TensorProto.INT4, -8, 7, 0.5),
    (TensorProto.INT8, -128, 127, 1),
    (TensorProto.INT16, -(2 ** 15), 2 ** 15 - 1, 2),
    (TensorProto.INT32, -(2 ** 31), 2 ** 31 - 1, 4),
]
# Models whose serialized size would reach this many bytes are written with
# external data (protobuf cannot serialize 2 GiB in one message).
EXTERNAL_DATA_BYTES = model_file.MAX_PROTO_BYTES

_NP_OF = {TensorProto.INT8: np.int8, TensorProto.INT16: np.int16, TensorProto.INT32: np.int32}
CONTAINER_NAME = {TensorProto.INT4: "INT4", TensorProto.INT8: "INT8",
                  TensorProto.INT16: "INT16", TensorProto.INT32: "INT32"}


def entry_bits(entry: dict) -> int:
    """Bit width of a ``quant_tab`` entry: the last character of its ``dtype``."""
    return int(str(entry["dtype"])[-1])


def entry_axis(entry: dict) -> int:
    """Axis of the output channels in the stored weight (1 for MatMul-style (K, N) weights)."""
    return int(entry.get("axis", 0))


def entry_groups(entry: dict, shape) -> tuple[int, int, int]:
    """(C, G, groupsize) of an entry: G scales per output channel over D columns."""
    axis = entry_axis(entry)
    C = int(shape[axis])
    D = int(np.prod(shape)) // C
    n = len(entry["scale"])
    if n % C or D % (n // C):
        raise ValueError(f"{n} scales do not fit a weight of shape {tuple(shape)}")
    G = n // C
    return C, G, D // G


def weight_matrix(w: np.ndarray, axis: int) -> np.ndarray:
    """(C, D) rows of output channels of a stored weight."""
    return w.T if axis == 1 else w.reshape(w.shape[0], -1)


def scale_zero(entry: dict, shape) -> tuple[np.ndarray, np.ndarray]:
    """Scale (float32) and zero point (int64) of an entry, each of shape (C, G)."""
    C, G, _ = entry_groups(entry, shape)
    scale = np.asarray(entry["scale"], dtype=np.float32).reshape(G, C).T
    zp = np.asarray(entry["zero_point"], dtype=np.int64).reshape(G, C).T
    return np.ascontiguousarray(scale), np.ascontiguousarray(zp)


def dequantize_entry(entry: dict) -> np.ndarray:
    """Float32 weight carried by an entry, bit for bit what DequantizeLinear yields."""
    w_int = np.asarray(entry["w_int"])
    axis = entry_axis(entry)
    scale, zp = scale_zero(entry, w_int.shape)
    W = scheme.dequantize(weight_matrix(w_int, axis), scale, zp)
    return np.ascontiguousarray(W.T) if axis == 1 else W.reshape(w_int.shape)


def container(entry: dict, integer_kernels: bool = False) -> int:
    """Narrowest integer type holding the entry's grid values and zero points.
    With ``integer_kernels`` (8-bit activations around the layer), a per-channel
    weight takes INT8 at least, whatever its width: onnxruntime fuses
    DequantizeLinear into its integer kernels (QLinearConv, QLinearMatMul) for
    INT8 weights only, and runs an INT4 one as a float layer between roundings,
    several times slower than the float model."""
    w_int = np.asarray(entry["w_int"])
    zp = np.asarray(entry["zero_point"], dtype=np.int64)
    lo = min(int(w_int.min()), int(zp.min()))
    hi = max(int(w_int.max()), int(zp.max()))
    per_channel = len(entry["scale"]) == w_int.shape[entry_axis(entry)]
    start = 0 if entry_bits(entry) <= 4 and not (integer_kernels and per_channel) else 1
    for dt, cmin, cmax, _ in _CONTAINERS[start:]:
        if cmin <= lo and hi <= cmax:
            return dt
    raise ValueError(f"zero point range [{lo}, {hi}] does not fit a 32-bit integer")


def pack_int4(values: np.ndarray) -> bytes:
    """Two signed 4-bit values per byte, the first element in the low nibble."""
    u = np.asarray(values).reshape(-1).astype(np.uint8)    # two's complement: low nibble kept
    if u.size % 2:
        u = np.concatenate([u, np.zeros(1, np.uint8)])
    u &= 0x0F
    return (u[0::2] | (u[1::2] << 4)).tobytes()


def int_tensor(name: str, values: np.ndarray, dtype: int) -> TensorProto:
    values = np.asarray(values)
    if dtype == TensorProto.INT4:
        return helper.make_tensor(name, dtype, list(values.shape), pack_int4(values), raw=True)
    return numpy_helper.from_array(values.astype(_NP_OF[dtype]), name)


def stored_bytes(n_values: int, dtype: int) -> int:
    """Bytes an initializer of ``n_values`` of ``dtype`` takes in the model."""
    if dtype == TensorProto.INT4:
        return (n_values + 1) // 2
    return n_values * dict((d, b) for d, _, _, b in _CONTAINERS)[dtype]


def storage(entry: dict, integer_kernels: bool = False) -> tuple[str, int]:
    """(container name, bytes) of an entry as the QDQ model stores it: grid
    values, float32 scales and zero points (``container``)."""
    dt = container(entry, integer_kernels)
    n = int(np.asarray(entry["w_int"]).size)
    k = len(entry["scale"])
    return CONTAINER_NAME[dt], stored_bytes(n, dt) + 4 * k + stored_bytes(k, dt)


def default_opset(model: onnx.ModelProto) -> int:
    for op in model.opset_import:
        if op.domain in ("", "ai.onnx"):
            return int(op.version)
    return 1


def _all_names(graph: onnx.GraphProto) -> set:
    names = {t.name for t in graph.initializer}
    names |= {v.name for v in graph.input} | {v.name for v in graph.output}
    names |= {v.name for v in graph.value_info}
    for node in graph.node:
        names |= set(node.input) | set(node.output)
        if node.name:
            names.add(node.name)
    return names


def raise_opset(model: onnx.ModelProto, opset: int) -> onnx.ModelProto:
    """Model converted to default-domain ``opset`` (returned unchanged when already there)."""
    if default_opset(model) >= opset:
        return model
    from onnx import version_converter

    try:
        converted = version_converter.convert_version(model, opset)
    except Exception as e:  # the converter reports adapters it lacks with assorted errors
        raise ValueError(f"cannot raise the model's opset from {default_opset(model)} to {opset}: {e}") from None
    converted.ir_version = max(converted.ir_version, IR_VERSION_FOR_OPSET[opset])
    return converted


def matmul_nbits_ready(model: onnx.ModelProto, entry: dict, name: str) -> bool:
    """Whether weight ``name`` can go into onnxruntime's MatMulNBits: read only as
    the constant right operand of MatMul nodes, at most 4 bits with zero points
    inside the 4-bit grid, in blocks of a power of two >= 16 along K."""
    readers = [n for n in model.graph.node if name in n.input]
    if not readers or any(n.op_type != "MatMul" or list(n.input).index(name) != 1 for n in readers):
        return False
    w_int = np.asarray(entry["w_int"])
    if entry_bits(entry) > 4 or entry_axis(entry) != 1 or w_int.ndim != 2:
        return False
    _, G, gs = entry_groups(entry, w_int.shape)
    zp = np.asarray(entry["zero_point"])
    return G > 1 and gs >= 16 and gs & (gs - 1) == 0 and zp.min() >= -8 and zp.max() <= 7


def _nibbles(u: np.ndarray) -> np.ndarray:
    """Pairs of 4-bit unsigned values along the last axis, the first in the low nibble."""
    if u.shape[-1] % 2:
        u = np.concatenate([u, np.zeros(u.shape[:-1] + (1,), u.dtype)], axis=-1)
    return (u[..., 0::2] | (u[..., 1::2] << 4)).astype(np.uint8)


def matmul_nbits_tensors(entry: dict, base: str) -> tuple[list, int]:
    """(initializers B, scales[, zero points], block size) of MatMulNBits for a
    (K, N) weight entry: B (N, K / bs, bs / 2) packed unsigned nibbles (grid
    value + 8), scales (N * K / bs,), zero points + 8 packed per row of blocks
    (left out when all are 0, the operator's default)."""
    w_int = np.asarray(entry["w_int"]).astype(np.int64)
    K, N = w_int.shape
    _, G, gs = entry_groups(entry, w_int.shape)
    scale, zp = scale_zero(entry, w_int.shape)           # (N, G)
    u = (w_int + 8).astype(np.uint8).T.reshape(N, G, gs)
    out = [numpy_helper.from_array(_nibbles(u), base + "_nbits"),
           numpy_helper.from_array(np.ascontiguousarray(scale.reshape(-1)), base + "_nbits_scale")]
    if zp.any():
        out.append(numpy_helper.from_array(_nibbles((zp + 8).astype(np.uint8)).reshape(-1),
                                           base + "_nbits_zero_point"))
    return out, gs


def export_qdq(model: onnx.ModelProto, quant_tab: dict, names,
               biases: dict | None = None, matmul_nbits: bool = False,
               acts: dict | None = None) -> tuple[onnx.ModelProto, dict]:
    """QDQ model for the weights ``names`` (each a filled ``quant_tab`` entry):
    ``qdq_parts`` put together in memory; see there."""
    parts, info = qdq_parts(model, quant_tab, names, biases, matmul_nbits, acts)
    return parts.model(), info


def qdq_parts(model: onnx.ModelProto, quant_tab: dict, names,
              biases: dict | None = None, matmul_nbits: bool = False,
              acts: dict | None = None) -> tuple["ModelParts", dict]:
    """QDQ model for the weights ``names`` (each a filled ``quant_tab`` entry),
    as ``ModelParts``: the initializers it keeps are the model's own, not copied.

    ``biases`` ({node output: array}) replaces the biases of those nodes
    (bias correction). With ``matmul_nbits``, MatMul weights that qualify
    (``matmul_nbits_ready``) become onnxruntime's MatMulNBits operator instead
    of DequantizeLinear + MatMul. ``acts`` ({tensor: ActParams}) quantizes
    those activations (``add_activation_qdq``). Returns the model and a dict
    of facts about it: ``opset_from``, ``opset_to``, ``matmul_nbits`` (the
    weights so exported) and, per weight, ``container`` (type name) and
    ``bytes`` (integer values + scales + zero points as stored).
    """
    names = list(dict.fromkeys(names))      # a weight shared by several nodes is stored once
    nbits = [n for n in names if matmul_nbits and matmul_nbits_ready(model, quant_tab[n], n)]
    names = [n for n in names if n not in nbits]
    blocked = any(entry_groups(quant_tab[n], np.shape(quant_tab[n]["w_int"]))[1] > 1 for n in names)
    kernels = integer_kernels(acts)
    containers = {n: container(quant_tab[n], kernels) for n in names}
    needs_21 = blocked or any(c in (TensorProto.INT4, TensorProto.INT16, TensorProto.INT32)
                              for c in containers.values()) or _acts_need_21(acts)
    target = QDQ_OPSET_LOW_BIT if needs_21 else QDQ_OPSET_INT8
    opset_from = default_opset(model)
    out = stubbed(model)
    if names or acts:
        out = raise_opset(out, target)
    graph = out.graph
    taken = _all_names(graph)
    inits = {t.name: i for i, t in enumerate(graph.initializer)}
    missing = [n for n in names if n not in inits]
    if missing:
        raise ValueError(f"weight {missing[0]} is not an initializer of the model")

    new_nodes, new_inits, info = [], [], {}
    made = _IntTensors()            # the integer weights, made when written
    drop = set(names)
    for name in names:
        entry = quant_tab[name]
        w_int = np.asarray(entry["w_int"])
        shape = w_int.shape
        C, G, gs = entry_groups(entry, shape)
        scale, zp = scale_zero(entry, shape)
        dt = containers[name]
        q_name = unique_name(name + "_quantized", taken)
        s_name = unique_name(name + "_scale", taken)
        z_name = unique_name(name + "_zero_point", taken)
        dq_name = unique_name(name + "_DequantizeLinear", taken)
        axis = entry_axis(entry)
        if G == 1:      # per channel, along the channel axis
            new_inits += [made.put(q_name, w_int, dt),
                          numpy_helper.from_array(scale.reshape(C), s_name),
                          int_tensor(z_name, zp.reshape(C), dt)]
            new_nodes.append(helper.make_node("DequantizeLinear", [q_name, s_name, z_name], [name],
                                              name=dq_name, axis=axis))
        elif axis == 1:  # (K, N) weight: blocks run down the K axis
            new_inits += [made.put(q_name, w_int, dt),
                          numpy_helper.from_array(np.ascontiguousarray(scale.T), s_name),
                          int_tensor(z_name, np.ascontiguousarray(zp.T), dt)]
            new_nodes.append(helper.make_node("DequantizeLinear", [q_name, s_name, z_name], [name],
                                              name=dq_name, axis=0, block_size=gs))
        elif w_int.ndim == 2:
            new_inits += [made.put(q_name, w_int, dt), numpy_helper.from_array(scale, s_name),
                          int_tensor(z_name, zp, dt)]
            new_nodes.append(helper.make_node("DequantizeLinear", [q_name, s_name, z_name], [name],
                                              name=dq_name, axis=1, block_size=gs))
        else:           # blocks along the flattened columns of a convolution weight
            flat = unique_name(name + "_dequantized_2d", taken)
            shp = unique_name(name + "_shape", taken)
            new_inits += [made.put(q_name, w_int.reshape(C, G * gs), dt),
                          numpy_helper.from_array(scale, s_name),
                          int_tensor(z_name, zp, dt),
                          numpy_helper.from_array(np.asarray(shape, dtype=np.int64), shp)]
            new_nodes.append(helper.make_node("DequantizeLinear", [q_name, s_name, z_name], [flat],
                                              name=dq_name, axis=1, block_size=gs))
            new_nodes.append(helper.make_node("Reshape", [flat, shp], [name],
                                              name=unique_name(name + "_Reshape", taken)))
        cname, nbytes = storage(entry, kernels)
        info[name] = {"container": cname, "bytes": nbytes}

    # A dequantized weight is a node output now (also where old models list it as an input).
    drop_initializers(graph, drop)
    graph.initializer.extend(new_inits)
    nodes = list(graph.node)
    del graph.node[:]
    graph.node.extend(new_nodes + nodes)
    if nbits:
        _to_matmul_nbits(out, quant_tab, nbits, taken, info)
    apply_biases(out, biases or {})
    add_activation_qdq(out, acts or {}, taken)
    return ModelParts(out, model, made), {"opset_from": opset_from, "opset_to": default_opset(out),
                                    "weights": info, "matmul_nbits": nbits}


def integer_kernels(acts: dict | None) -> bool:
    """Whether the model's layers may run as onnxruntime's integer kernels:
    some activations are rounded to 8 bits."""
    return any(p.bits == 8 for p in (acts or {}).values())


def _acts_need_21(acts: dict | None) -> bool:
    """16-bit activations: QuantizeLinear with INT16/UINT16 needs opset 21."""
    return any(p.bits > 8 for p in (acts or {}).values())


_ACT_TYPES = {(8, True): TensorProto.INT8, (8, False): TensorProto.UINT8,
              (16, True): TensorProto.INT16, (16, False): TensorProto.UINT16}
_ACT_NP = {TensorProto.INT8: np.int8, TensorProto.UINT8: np.uint8, TensorProto.INT16: np.int16,
           TensorProto.UINT16: np.uint16}


def add_activation_qdq(model: onnx.ModelProto, acts: dict, taken: set | None = None) -> None:
    """A QuantizeLinear -> DequantizeLinear pair on each activation of ``acts``
    ({tensor: ActParams}, per tensor), in place. The tensor's producer now makes
    ``<tensor>_float``, the pair follows it and gives the tensor its name back,
    so that every reader -- a graph output too -- reads the rounded values; a
    model input's pair opens the graph and its readers read the pair's output.
    This is the layout onnxruntime's QDQ optimiser fuses with the quantized
    layers around it into integer kernels."""
    if not acts:
        return
    graph = model.graph
    taken = taken if taken is not None else _all_names(graph)
    inputs = {i.name for i in graph.input}
    pairs, renamed = {}, {}
    for name, p in acts.items():
        dt = _ACT_TYPES[(p.bits, p.signed)]
        s_name = unique_name(name + "_act_scale", taken)
        z_name = unique_name(name + "_act_zero_point", taken)
        q = unique_name(name + "_quantized", taken)
        src = name if name in inputs else unique_name(name + "_float", taken)
        out = unique_name(name + "_dequantized", taken) if name in inputs else name
        graph.initializer.extend([numpy_helper.from_array(np.asarray(p.scale, np.float32), s_name),
                                  numpy_helper.from_array(np.asarray(p.zero_point, _ACT_NP[dt]), z_name)])
        pairs[name] = [helper.make_node("QuantizeLinear", [src, s_name, z_name], [q],
                                        name=unique_name(name + "_QuantizeLinear", taken)),
                       helper.make_node("DequantizeLinear", [q, s_name, z_name], [out],
                                        name=unique_name(name + "_DequantizeLinear", taken))]
        renamed[name] = out if name in inputs else src
    nodes = [n for name in acts if name in inputs for n in pairs[name]]
    for node in graph.node:
        for k, x in enumerate(node.input):
            if x in renamed and x in inputs:
                node.input[k] = renamed[x]
        nodes.append(node)
        for k, o in enumerate(node.output):
            if o in pairs and o not in inputs:
                node.output[k] = renamed[o]
                nodes.extend(pairs[o])
    del graph.node[:]
    graph.node.extend(nodes)


def _to_matmul_nbits(model: onnx.ModelProto, quant_tab: dict, names: list, taken: set,
                     info: dict) -> None:
    """Replace the MatMul readers of ``names`` by MatMulNBits (float activations,
    accuracy level 1), in place."""
    graph = model.graph
    if not any(op.domain == "com.microsoft" for op in model.opset_import):
        model.opset_import.append(helper.make_opsetid("com.microsoft", 1))
    for name in names:
        entry = quant_tab[name]
        K, N = np.shape(entry["w_int"])
        tensors, gs = matmul_nbits_tensors(entry, unique_name(name, taken))
        for t in tensors:
            taken.add(t.name)
        graph.initializer.extend(tensors)
        for i, node in enumerate(graph.node):
            if node.op_type == "MatMul" and node.input[1] == name:
                graph.node[i].CopyFrom(helper.make_node(
                    "MatMulNBits", [node.input[0]] + [t.name for t in tensors], list(node.output),
                    name=node.name, domain="com.microsoft", K=K, N=N, bits=4, block_size=gs,
                    accuracy_level=1))
        drop_initializers(graph, {name})
        info[name] = {"container": "MatMulNBits", "bytes": sum(len(t.raw_data) for t in tensors)}


def export_fake_quant(model: onnx.ModelProto, quant_tab: dict, names,
                      biases: dict | None = None, acts: dict | None = None) -> onnx.ModelProto:
    """The model with each weight of ``names`` replaced by its dequantized float32
    values (and the biases of ``biases`` in place, the activations of ``acts``
    rounded by QuantizeLinear -> DequantizeLinear): ``fake_quant_parts`` put
    together in memory."""
    return fake_quant_parts(model, quant_tab, names, biases, acts).model()


def fake_quant_parts(model: onnx.ModelProto, quant_tab: dict, names,
                     biases: dict | None = None, acts: dict | None = None) -> "ModelParts":
    """``export_fake_quant`` as ``ModelParts``: each dequantized weight is made
    when the parts are written or put together; the other initializers are
    the model's own."""
    names = set(names)
    made = {}
    for t in model.graph.initializer:
        if t.name in names:
            shape = tuple(np.shape(quant_tab[t.name]["w_int"]))
            if tuple(t.dims) != shape:
                raise ValueError(f"weight {t.name}: quantized shape {shape} != {tuple(t.dims)}")
            made[t.name] = _Dequantized(quant_tab[t.name], t)
    out = apply_biases(stubbed(model), biases or {})
    if acts:
        out = raise_opset(out, QDQ_OPSET_LOW_BIT if _acts_need_21(acts) else QDQ_OPSET_INT8)
        add_activation_qdq(out, acts)
    return ModelParts(out, model, made)


class _Dequantized:
    """The dequantized float32 initializer of a table entry, made when called."""

    def __init__(self, entry: dict, original: TensorProto):
        self.entry, self.name = entry, original.name
        n = int(np.prod(original.dims, dtype=np.int64))
        meta = TensorProto(name=original.name, dims=original.dims, data_type=TensorProto.FLOAT)
        self.size = meta.ByteSize() + model_file.field_size(4 * n)      # + raw_data (field 9)

    def __call__(self) -> TensorProto:
        return numpy_helper.from_array(dequantize_entry(self.entry), self.name)


class _IntTensors(dict):
    """Integer initializers of the QDQ model, made when written: name -> maker."""

    def put(self, name: str, values: np.ndarray, dtype: int) -> TensorProto:
        """Register the integer tensor ``name`` of ``values``; returns its stub."""
        self[name] = _IntTensor(name, values, dtype)
        meta = TensorProto(name=name, dims=np.shape(values), data_type=dtype)
        return model_file.stub(meta)


class _IntTensor:
    """``int_tensor(name, values, dtype)``, made when called."""

    def __init__(self, name: str, values: np.ndarray, dtype: int):
        self.name, self.values, self.dtype = name, values, dtype
        n = stored_bytes(int(np.size(values)), dtype)
        meta = TensorProto(name=name, dims=np.shape(values), data_type=dtype)
        self.size = meta.ByteSize() + model_file.field_size(n)          # + raw_data (field 9)

    def __call__(self) -> TensorProto:
        return int_tensor(self.name, self.values, self.dtype)


def stubbed(model: onnx.ModelProto) -> onnx.ModelProto:
    """A copy of ``model`` with stubs (``model_file.stub``) for its initializers:
    for graph edits and the opset conversion, without copying any weight."""
    out = model_file.without_initializers(model)
    out.graph.initializer.extend(model_file.stub(t) for t in model.graph.initializer)
    return out


class ModelParts:
    """A model as its header -- every field but the graph's initializers -- and
    its initializers in order, each taken when needed: the source model's own
    (where the header holds a stub), made by a callable (``made``: name ->
    callable with a ``size``, the bytes of the tensor it makes), or held by
    the header. ``tensors()`` yields them one at a time; ``model()`` puts the
    model together in memory; ``byte_size()`` is its serialized size, without
    making anything."""

    def __init__(self, header: onnx.ModelProto, source: onnx.ModelProto, made: dict | None = None):
        made = made or {}
        originals = {t.name: t for t in source.graph.initializer}
        self.names, self._tensors = [], {}
        for t in header.graph.initializer:
            self.names.append(t.name)
            if model_file.is_stub(t):
                self._tensors[t.name] = made.get(t.name) or originals[t.name]
            else:
                self._tensors[t.name] = t       # stays valid once removed from the header
        del header.graph.initializer[:]
        self.header = header

    def tensor(self, name: str) -> TensorProto:
        t = self._tensors[name]
        return t if isinstance(t, TensorProto) else t()

    def tensors(self):
        for name in self.names:
            yield self.tensor(name)

    def byte_size(self) -> int:
        graph = self.header.graph.ByteSize()
        full = graph + sum(model_file.field_size(t.size if callable(t) else t.ByteSize())
                           for t in (self._tensors[n] for n in self.names))
        return self.header.ByteSize() - model_file.field_size(graph) + model_file.field_size(full)

    def model(self) -> onnx.ModelProto:
        """The whole model in memory: the header, given copies of the
        initializers (the parts are used up: call once)."""
        out, self.header = self.header, None
        out.graph.initializer.extend(self.tensors())
        return out


def data_path(path: str) -> str:
    """The external data file written beside the model file ``path``."""
    return path + ".data"


def use_external_data(parts: ModelParts, asked: bool = False) -> bool:
    """Whether ``write_model`` should write ``parts`` with external data: when
    ``asked`` or when the model would reach EXTERNAL_DATA_BYTES."""
    return asked or parts.byte_size() >= EXTERNAL_DATA_BYTES


def write_model(parts: ModelParts, path: str, external: bool, staged=None) -> int:
    """Write the model of ``parts`` to ``path`` (through ``staged``, a
    ``StagedOutputs``, when given) after the ONNX checker has passed it;
    returns the bytes written.

    With ``external``, initializers of ``model_file.EXTERNAL_MIN_BYTES`` or
    more go one at a time to ``data_path(path)``, which the model names by its
    file name (relative to the model's folder); the checker then runs on the
    files written. Otherwise the model is put together and serialized in
    memory."""
    if not external:
        data = parts.model().SerializeToString()
        onnx.checker.check_model(data)
        if staged is not None:
            staged.write_bytes(path, data)
        else:
            with open(path, "wb") as fh:
                fh.write(data)
        return len(data)

    def write(data_file: str, model_file_: str) -> None:
        # The model first names the data file by its own (temporary) name, so
        # that the checker runs on the files as written; then by its final one.
        header, parts.header = parts.header, None
        model_file.save_external(header, parts.tensors(), model_file_, data_file,
                                 os.path.basename(data_file))
        onnx.checker.check_model(model_file_)
        final = os.path.basename(data_path(path))
        if os.path.basename(data_file) != final:
            model_file.relocate(header, model_file_, final)
        sizes.append(os.path.getsize(data_file) + os.path.getsize(model_file_))

    sizes = []
    if staged is not None:
        staged.write_files([data_path(path), path], write)
    else:
        write(data_path(path), path)
    return sizes[0]
