"""Folding of the constants real exporters compute inside the graph.

Nodes are folded into initializers in node order (so whole chains fold),
without changing what the model computes:

* ``Constant`` nodes become initializers of the same name;
* ``Identity`` and ``Cast`` nodes reading an initializer (exporters'
  ``Constant -> Identity -> Cast`` weight chains) become initializers holding
  the node's result (Cast evaluated with NumPy where NumPy casts exactly like
  ONNX, otherwise the node stays);
* any other default-domain node whose inputs are all initializers (for
  example ``Concat`` of constant scales, ``Reshape``/``Transpose`` of a
  weight) is evaluated once with onnxruntime and replaced by its results;
  nodes with random results and nodes holding subgraphs are kept.

Nodes with an output that is a graph output are kept as they are.
Initializers that were read only by folded nodes are dropped.
"""
from __future__ import annotations

import copy
from typing import Dict, List, Optional

import numpy as np
import onnx
from onnx import AttributeProto, TensorProto, helper, numpy_helper

from .graph_edit import drop_initializers

__all__ = ["fold_exporter_constants", "value_info_of_tensor", "SUBGRAPH_ATTRS"]

# Cast targets/sources whose values NumPy reproduces exactly as ONNX Cast
# defines them (float->int truncates toward zero, anything->bool is x != 0).
_NUMPY_CAST_TYPES = {
    TensorProto.FLOAT, TensorProto.DOUBLE, TensorProto.FLOAT16,
    TensorProto.INT8, TensorProto.INT16, TensorProto.INT32, TensorProto.INT64,
    TensorProto.UINT8, TensorProto.UINT16, TensorProto.UINT32, TensorProto.UINT64,
    TensorProto.BOOL,
}

SUBGRAPH_ATTRS = (AttributeProto.GRAPH, AttributeProto.GRAPHS)


def _subgraph_reads(graph: onnx.GraphProto) -> set:
    """Names read by nodes of ``graph`` and of its nested subgraphs."""
    names = set()
    for node in graph.node:
        names.update(i for i in node.input if i)
        for attr in node.attribute:
            if attr.type == AttributeProto.GRAPH:
                names |= _subgraph_reads(attr.g)
            elif attr.type == AttributeProto.GRAPHS:
                for g in attr.graphs:
                    names |= _subgraph_reads(g)
    return names


def _constant_to_tensor(node: onnx.NodeProto) -> Optional[TensorProto]:
    """The tensor a ``Constant`` node produces, named after its output, or
    None for forms not folded (sparse values)."""
    if len(node.attribute) != 1:
        return None
    attr = node.attribute[0]
    name = node.output[0]
    if attr.name == "value":
        t = copy.deepcopy(attr.t)
    elif attr.name == "value_float":
        t = numpy_helper.from_array(np.array(attr.f, dtype=np.float32))
    elif attr.name == "value_floats":
        t = numpy_helper.from_array(np.array(list(attr.floats), dtype=np.float32))
    elif attr.name == "value_int":
        t = numpy_helper.from_array(np.array(attr.i, dtype=np.int64))
    elif attr.name == "value_ints":
        t = numpy_helper.from_array(np.array(list(attr.ints), dtype=np.int64))
    elif attr.name == "value_string":
        t = helper.make_tensor(name, TensorProto.STRING, [], [attr.s])
    elif attr.name == "value_strings":
        t = helper.make_tensor(name, TensorProto.STRING, [len(attr.strings)],
                               list(attr.strings))
    else:
        return None
    t.name = name
    return t


def fold_exporter_constants(model: onnx.ModelProto, base_dir: Optional[str]) -> None:
    """Turn nodes computing constants into initializers, in place (see the
    module docstring); ``base_dir`` resolves external-data locations."""
    graph = model.graph
    inits = {t.name: t for t in graph.initializer}
    outputs = {o.name for o in graph.output}
    folded_sources = set()
    keep = []
    for node in graph.node:
        tensors = _fold_node(node, inits, outputs, model, base_dir)
        if tensors is None:
            keep.append(node)
            continue
        folded_sources.update(i for i in node.input if i)
        for tensor in tensors:
            inits[tensor.name] = tensor
            graph.initializer.append(tensor)
            if model.ir_version < 4:
                # Before IR version 4 every initializer must also be a graph input.
                graph.input.append(value_info_of_tensor(tensor))
    if len(keep) == len(graph.node):
        return
    del graph.node[:]
    graph.node.extend(keep)
    # Drop initializers that only folded nodes read.
    read = _subgraph_reads(graph) | outputs
    drop_initializers(graph, {n for n in folded_sources if n in inits and n not in read})


# Operators whose result is not a function of their inputs.
_NONDETERMINISTIC = {"RandomNormal", "RandomUniform", "RandomNormalLike",
                     "RandomUniformLike", "Multinomial", "Bernoulli", "Dropout"}


def _fold_node(node: onnx.NodeProto, inits: Dict[str, TensorProto],
               graph_outputs: set, model: onnx.ModelProto,
               base_dir: Optional[str]) -> Optional[List[TensorProto]]:
    """The tensors ``node`` computes, named after its outputs, when it computes
    constants that can be folded; None when the node must stay."""
    if node.domain not in ("", "ai.onnx"):
        return None
    named = [o for o in node.output if o]
    if not named or any(o in graph_outputs for o in named):
        return None
    if any(a.type in SUBGRAPH_ATTRS for a in node.attribute):
        return None
    if node.op_type == "Constant":
        t = _constant_to_tensor(node)
        return [t] if t is not None else None
    reads = [i for i in node.input if i]
    if not reads or any(i not in inits for i in reads):
        return None
    if node.op_type == "Identity":
        t = copy.deepcopy(inits[reads[0]])
        t.name = named[0]
        return [t]
    if node.op_type == "Cast":
        t = _fold_cast(node, inits[reads[0]], base_dir)
        return [t] if t is not None else None
    if node.op_type in _NONDETERMINISTIC:
        return None
    return _fold_with_onnxruntime(node, inits, model)


def _plain_cpu_session(model: onnx.ModelProto):
    """A CPU session that runs ``model`` exactly as written (no graph
    rewriting), for evaluating constants and typing tensors."""
    from .session import ort_session

    return ort_session(model, optimize=False)


def _fold_with_onnxruntime(node: onnx.NodeProto, inits: Dict[str, TensorProto],
                           model: onnx.ModelProto) -> Optional[List[TensorProto]]:
    """Evaluate a node whose inputs are all initializers with onnxruntime
    (the runtime that executes the layers, so the values are the ones the
    model would compute). None when it cannot be evaluated or yields
    something other than tensors."""
    reads = list(dict.fromkeys(i for i in node.input if i))
    named = [o for o in node.output if o]
    tensors = [inits[n] for n in reads]
    g = helper.make_graph(
        [copy.deepcopy(node)], "fold",
        [value_info_of_tensor(t) for t in tensors] if model.ir_version < 4 else [],
        [onnx.ValueInfoProto(name=o) for o in named], initializer=tensors)
    m = onnx.ModelProto()
    m.ir_version = model.ir_version
    m.opset_import.extend(model.opset_import)
    m.graph.CopyFrom(g)
    try:
        values = _plain_cpu_session(m).run(None, {})
    except Exception:
        return None
    out = []
    for name, value in zip(named, values):
        if not isinstance(value, np.ndarray):
            return None
        out.append(numpy_helper.from_array(value, name))
    return out


def _fold_cast(node: onnx.NodeProto, src: TensorProto,
               base_dir: Optional[str]) -> Optional[TensorProto]:
    """Cast of an initializer evaluated with NumPy, or None when the pair of
    types is not one NumPy casts exactly like ONNX."""
    to = next((a.i for a in node.attribute if a.name == "to"), None)
    if to not in _NUMPY_CAST_TYPES or src.data_type not in _NUMPY_CAST_TYPES:
        return None
    arr = numpy_helper.to_array(src, base_dir or "")
    res = arr.astype(helper.tensor_dtype_to_np_dtype(to))
    t = numpy_helper.from_array(np.ascontiguousarray(res), node.output[0])
    return t


def value_info_of_tensor(t: TensorProto) -> onnx.ValueInfoProto:
    return helper.make_tensor_value_info(t.name, t.data_type, list(t.dims))
