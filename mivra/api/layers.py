"""Splitting a model into single-node layer models, run one after the other
on the tensors the whole model produces."""
from __future__ import annotations

import copy
from typing import Dict, List, Optional, Tuple

import onnx
from onnx import TensorProto, helper

from .folding import SUBGRAPH_ATTRS, value_info_of_tensor
from .session import ort_session

__all__ = ["split_layers", "LayerModels"]


def split_layers(model: onnx.ModelProto) -> Tuple[List[onnx.ModelProto], List[List[str]],
                                                  Dict[str, int]]:
    """Split the model into single-node layer models.

    Returns ``(ir_layers, can_frees, producers)``:

    ``ir_layers``
        A list with one ``onnx.ModelProto`` per node, in a topological
        execution order (stable: the model's node order where it is already
        valid). Each is a valid model on its own: its one node (attributes
        unchanged), the initializers the node reads, typed graph inputs for
        the node's other inputs and graph outputs for its non-empty outputs
        (types and ranks from shape inference, every dimension left
        open, so a layer accepts the tensors the whole model produces), the
        model's opset imports, ir_version and local functions. For
        ir_version < 4 the initializers are listed as graph inputs as well,
        as that IR version requires.
    ``can_frees``
        ``can_frees[i]`` lists, in first-seen order, the non-initializer
        tensors that no layer after ``i`` reads: a tensor is listed at its
        last reader; an output nobody reads right after its producer;
        graph outputs only at the last layer (after which every remaining
        tensor is listed, so nothing stays alive).
    ``producers``
        Dict tensor name -> index of the layer producing it.

    Raises ``ValueError`` naming the node when a node holds a subgraph
    (control flow: If, Loop, Scan, ...), and naming the tensor when a node
    reads a tensor that is neither produced, a model input nor an
    initializer.
    """
    split = LayerModels(model)
    return [split[i] for i in range(len(split))], split.can_frees, split.producers


class LayerModels:
    """The layer models of ``split_layers``, each built only when asked for.

    ``layers[i]`` builds layer model ``i`` (a new ``onnx.ModelProto`` on every
    call, with its own copies of the initializers its node reads), so that a
    walk over the model holds one layer's copy of the weights at a time;
    ``len(layers)``, ``can_frees`` and ``producers`` are those of
    ``split_layers``. Every check of ``split_layers`` is made when the object
    is created (same errors), so that building a layer later cannot fail.
    The model must not change while the object is in use.
    """

    def __init__(self, model: onnx.ModelProto):
        graph = model.graph
        for idx, node in enumerate(graph.node):
            if any(a.type in SUBGRAPH_ATTRS for a in node.attribute):
                raise ValueError(
                    f"{_node_label(node, idx)} holds a subgraph; control-flow nodes "
                    f"(If, Loop, Scan) cannot be split into single-node layers")
        order = _topological_order(graph)
        nodes = [graph.node[i] for i in order]
        inits = {t.name: t for t in graph.initializer}
        types = _value_types(graph)
        untyped = [x for node in nodes for x in node.input
                   if x and x not in inits and not _typed(types.get(x))]
        if untyped:
            types.update(_runtime_types(model, list(dict.fromkeys(untyped))))
        for i, node in enumerate(nodes):
            _check_input_types(i, node, inits, types)
        self._model, self._nodes, self._inits, self._types = model, nodes, inits, types
        self.can_frees, self.producers = _lifetimes(graph, nodes, inits)
        self._last_read = {x: i for i, node in enumerate(nodes) for x in node.input if x}
        self._graph_outputs = {o.name for o in graph.output}

    def __len__(self) -> int:
        return len(self._nodes)

    def node(self, i: int) -> onnx.NodeProto:
        """The node of layer ``i``."""
        return self._nodes[i]

    def segment(self, i: int, j: int) -> Optional[onnx.ModelProto]:
        """One model of the nodes of layers ``i`` .. ``j - 1``, in order: its inputs
        the tensors they read that earlier layers or the model give, its outputs
        the tensors they make that later layers read or the model gives out (dims
        open, as in the layer models); None when no such output is left."""
        nodes = self._nodes[i:j]
        made, inputs, inits = set(), {}, {}
        for node in nodes:
            for x in node.input:
                if not x or x in made:
                    continue
                if x in self._inits:
                    inits.setdefault(x, self._inits[x])
                else:
                    inputs.setdefault(x, self._types[x])
            made.update(o for o in node.output if o)
        outputs = [o for node in nodes for o in node.output
                   if o and (self._last_read.get(o, -1) >= j or o in self._graph_outputs)]
        if not outputs:
            return None
        typed = [_rank_only(self._types[o]) if _typed(self._types.get(o)) else
                 onnx.ValueInfoProto(name=o) for o in outputs]
        ins = [_rank_only(v) for v in inputs.values()]
        if self._model.ir_version < 4:
            ins += [value_info_of_tensor(t) for t in inits.values()]
        g = helper.make_graph([copy.deepcopy(n) for n in nodes], f"layers_{i}_{j}", ins, typed,
                              initializer=[copy.deepcopy(t) for t in inits.values()])
        return _model_of(self._model, g)

    def __getitem__(self, i: int) -> onnx.ModelProto:
        if not 0 <= i < len(self._nodes):
            raise IndexError(f"layer {i} of {len(self._nodes)}")
        return _layer_model(self._model, i, self._nodes[i], self._inits, self._types)


def _lifetimes(graph: onnx.GraphProto, nodes: list, inits: dict) -> Tuple[List[List[str]],
                                                                           Dict[str, int]]:
    """``(can_frees, producers)`` of ``split_layers`` for ``nodes`` in their order."""
    producers: Dict[str, int] = {}
    last_read: Dict[str, int] = {}
    seen: List[str] = []
    for i, node in enumerate(nodes):
        for name in node.input:
            if name and name not in inits:
                if name not in last_read and name not in producers:
                    seen.append(name)
                last_read[name] = i
        for name in node.output:
            if name:
                producers[name] = i
                if name not in last_read:
                    seen.append(name)
    graph_outputs = {o.name for o in graph.output}
    can_frees: List[List[str]] = [[] for _ in nodes]
    last = len(nodes) - 1
    for name in seen:
        if name in graph_outputs:
            at = last
        elif name in last_read:
            at = last_read[name]
        else:
            at = producers[name]
        can_frees[at].append(name)
    return can_frees, producers


def _check_input_types(index: int, node: onnx.NodeProto, inits: Dict[str, TensorProto],
                       types: Dict[str, onnx.ValueInfoProto]) -> None:
    """Every input of ``node`` that is not an initializer has a known type."""
    for name in node.input:
        if name and name not in inits and not _typed(types.get(name)):
            raise ValueError(
                f"{_node_label(node, index)}: no type is known for its input "
                f"'{name}' (neither ONNX shape inference nor onnxruntime could "
                f"determine it)")


def _topological_order(graph: onnx.GraphProto) -> List[int]:
    """Stable topological order of the graph's node indices."""
    available = {vi.name for vi in graph.input} | \
        {t.name for t in graph.initializer} | {""}
    producer_of = {}
    for i, node in enumerate(graph.node):
        for o in node.output:
            if o:
                producer_of[o] = i
    pending = list(range(len(graph.node)))
    order: List[int] = []
    while pending:
        progressed = False
        rest = []
        for i in pending:
            node = graph.node[i]
            if all(name in available for name in node.input):
                order.append(i)
                available.update(o for o in node.output if o)
                progressed = True
            else:
                rest.append(i)
        if not progressed:
            i = rest[0]
            node = graph.node[i]
            missing = next(n for n in node.input if n not in available)
            if missing not in producer_of:
                raise ValueError(
                    f"{_node_label(node, i)} reads tensor '{missing}', which is "
                    f"neither a model input, an initializer nor a node output")
            raise ValueError(f"the graph has a cycle through {_node_label(node, i)}")
        pending = rest
    return order

def _value_types(graph: onnx.GraphProto) -> Dict[str, onnx.ValueInfoProto]:
    types: Dict[str, onnx.ValueInfoProto] = {}
    # Later sources win, so inferred value_info overrides declarations,
    # except that an untyped entry never replaces a typed one.
    for vi in list(graph.input) + list(graph.output) + list(graph.value_info):
        if vi.type.WhichOneof("value") or vi.name not in types:
            types[vi.name] = vi
    return types

def _runtime_types(model: onnx.ModelProto, names: List[str]) -> Dict[str, onnx.ValueInfoProto]:
    """Types of tensors ONNX shape inference could not type (operators of
    domains it does not know, such as onnxruntime's contrib operators),
    as onnxruntime infers them when it loads the whole model with these
    tensors exposed as outputs. Names it cannot type are left out."""
    m = copy.deepcopy(model)
    m.graph.output.extend(onnx.ValueInfoProto(name=n) for n in names)
    try:
        sess = ort_session(m, optimize=False)
    except Exception:
        return {}
    found = {}
    for arg in sess.get_outputs():
        if arg.name not in names or not arg.type.startswith("tensor("):
            continue
        elem = _ORT_ELEM_TYPES.get(arg.type[len("tensor("):-1])
        if elem is None:
            continue
        shape = None if arg.shape is None else [
            d if isinstance(d, (int, str)) else None for d in arg.shape]
        found[arg.name] = helper.make_tensor_value_info(arg.name, elem, shape)
    return found

def _layer_model(model: onnx.ModelProto, index: int, node: onnx.NodeProto,
                 inits: Dict[str, TensorProto],
                 types: Dict[str, onnx.ValueInfoProto]) -> onnx.ModelProto:
    """The single-node model of ``node`` (see ``split_layers``)."""
    ir_version = model.ir_version
    layer_inputs, layer_inits, done = [], [], set()
    for name in node.input:
        if not name or name in done:
            continue
        done.add(name)
        if name in inits:
            layer_inits.append(copy.deepcopy(inits[name]))
            if ir_version < 4:
                layer_inputs.append(value_info_of_tensor(inits[name]))
            continue
        vi = types.get(name)
        if not _typed(vi):
            raise ValueError(
                f"{_node_label(node, index)}: no type is known for its input "
                f"'{name}' (neither ONNX shape inference nor onnxruntime could "
                f"determine it)")
        layer_inputs.append(_rank_only(vi))
    layer_outputs = []
    for name in node.output:
        if not name or name in done:
            continue
        done.add(name)
        vi = types.get(name)
        layer_outputs.append(_rank_only(vi) if _typed(vi)
                             else onnx.ValueInfoProto(name=name))
    g = helper.make_graph([copy.deepcopy(node)], f"layer_{index}",
                          layer_inputs, layer_outputs, initializer=layer_inits)
    return _model_of(model, g)


def _model_of(model: onnx.ModelProto, g: onnx.GraphProto) -> onnx.ModelProto:
    """A model of graph ``g`` with ``model``'s IR version, producer, opsets and functions."""
    m = onnx.ModelProto()
    m.ir_version = model.ir_version
    m.producer_name = model.producer_name
    m.producer_version = model.producer_version
    m.opset_import.extend(copy.deepcopy(list(model.opset_import)))
    if model.functions:
        m.functions.extend(copy.deepcopy(list(model.functions)))
    m.graph.CopyFrom(g)
    return m


_ORT_ELEM_TYPES = {
    "float": TensorProto.FLOAT, "double": TensorProto.DOUBLE,
    "float16": TensorProto.FLOAT16, "bfloat16": TensorProto.BFLOAT16,
    "int8": TensorProto.INT8, "int16": TensorProto.INT16, "int32": TensorProto.INT32,
    "int64": TensorProto.INT64, "uint8": TensorProto.UINT8, "uint16": TensorProto.UINT16,
    "uint32": TensorProto.UINT32, "uint64": TensorProto.UINT64, "bool": TensorProto.BOOL,
    "string": TensorProto.STRING,
}


def _rank_only(vi: onnx.ValueInfoProto) -> onnx.ValueInfoProto:
    """``vi`` with every dimension left open (its rank kept). A layer model
    runs on the tensors the whole model produces; open dims let it take them
    as they come where static inference fixed a size the runtime does not
    keep (dynamic widths, shape-computing subgraphs)."""
    out = copy.deepcopy(vi)
    if out.type.WhichOneof("value") == "tensor_type" and out.type.tensor_type.HasField("shape"):
        for d in out.type.tensor_type.shape.dim:
            d.Clear()
    return out


def _typed(vi: Optional[onnx.ValueInfoProto]) -> bool:
    """Whether ``vi`` carries a type."""
    return vi is not None and vi.type.WhichOneof("value") is not None


def _node_label(node: onnx.NodeProto, index: int) -> str:
    """Readable identification of a node for error messages."""
    name = node.name if node.name else f"#{index}"
    return f"node '{name}' ({node.op_type})"
