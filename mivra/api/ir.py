"""The model object of the toolkit: an ONNX model, checked, normalised and
split into single-node layer models.

Loading (``IR(model)``):

1. The model is read from a path (external-data initializers are read from
   their side files next to the model) or copied from an ``onnx.ModelProto``.
2. It is validated with ``onnx.checker.check_model``.
3. Constants that real exporters compute inside the graph are folded into
   initializers, in node order (so whole chains fold), without changing what
   the model computes:

   * ``Constant`` nodes become initializers of the same name;
   * ``Identity`` and ``Cast`` nodes reading an initializer (exporters'
     ``Constant -> Identity -> Cast`` weight chains) become initializers
     holding the node's result (Cast evaluated with NumPy where NumPy casts
     exactly like ONNX, otherwise the node stays);
   * any other default-domain node whose inputs are all initializers (for
     example ``Concat`` of constant scales, ``Reshape``/``Transpose`` of a
     weight) is evaluated once with onnxruntime and replaced by its results;
     nodes with random results and nodes holding subgraphs are kept.

   Nodes with an output that is a graph output are kept as they are.
   Initializers that were read only by folded nodes are dropped.
4. Shapes and types of every tensor are inferred (``onnx.shape_inference``,
   strict mode, with data propagation); symbolic dims stay symbolic.

Graph inputs that are also initializers (older exporters list every weight as
an input) are treated as initializers: they are not model inputs.
"""
from __future__ import annotations

import copy
import os
from typing import Dict, Iterable, List, Optional, Tuple, Union

import numpy as np
import onnx
from onnx import AttributeProto, TensorProto, helper, numpy_helper

__all__ = ["IR", "ModelLoadError"]


class ModelLoadError(ValueError):
    """The model could not be loaded, checked or shape-inferred."""


# Cast targets/sources whose values NumPy reproduces exactly as ONNX Cast
# defines them (float->int truncates toward zero, anything->bool is x != 0).
_NUMPY_CAST_TYPES = {
    TensorProto.FLOAT, TensorProto.DOUBLE, TensorProto.FLOAT16,
    TensorProto.INT8, TensorProto.INT16, TensorProto.INT32, TensorProto.INT64,
    TensorProto.UINT8, TensorProto.UINT16, TensorProto.UINT32, TensorProto.UINT64,
    TensorProto.BOOL,
}

_SUBGRAPH_ATTRS = (AttributeProto.GRAPH, AttributeProto.GRAPHS)

# Protobuf cannot serialize messages of 2 GiB or more; the checker and shape
# inference then have to work from a file with external data.
_MAX_PROTO_BYTES = 2**31 - 1


def _via_file(proto: onnx.ModelProto, fn):
    """Call ``fn(path)`` on ``proto`` saved with external data in a temporary
    folder; when ``fn`` returns a path, the model stored there is loaded (data
    in memory) and returned."""
    import tempfile

    with tempfile.TemporaryDirectory(prefix="mivra_ir_") as tmp:
        path = os.path.join(tmp, "model.onnx")
        onnx.save_model(copy.deepcopy(proto), path, save_as_external_data=True,
                        all_tensors_to_one_file=True, location="model.data",
                        size_threshold=1024, convert_attribute=True)
        out = fn(path)
        if isinstance(out, str):
            return onnx.load(out, load_external_data=True)
        return out


def _infer_shapes_path(path: str) -> str:
    out = path[:-len(".onnx")] + ".inferred.onnx"
    onnx.shape_inference.infer_shapes_path(path, out, check_type=True, strict_mode=True,
                                           data_prop=True)
    return out


def _node_label(node: onnx.NodeProto, index: int) -> str:
    """Readable identification of a node for error messages."""
    name = node.name if node.name else f"#{index}"
    return f"node '{name}' ({node.op_type})"


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


def _fold_exporter_constants(model: onnx.ModelProto, base_dir: Optional[str]) -> None:
    """Turn nodes computing constants into initializers, in place (see the
    module docstring)."""
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
                graph.input.append(_value_info_of_tensor(tensor))
    if len(keep) == len(graph.node):
        return
    del graph.node[:]
    graph.node.extend(keep)
    # Drop initializers that only folded nodes read.
    read = _subgraph_reads(graph) | outputs
    dead = {n for n in folded_sources if n in inits and n not in read}
    if dead:
        kept_inits = [t for t in graph.initializer if t.name not in dead]
        del graph.initializer[:]
        graph.initializer.extend(kept_inits)
        kept_inputs = [vi for vi in graph.input if vi.name not in dead]
        del graph.input[:]
        graph.input.extend(kept_inputs)


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
    if any(a.type in _SUBGRAPH_ATTRS for a in node.attribute):
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
        [_value_info_of_tensor(t) for t in tensors] if model.ir_version < 4 else [],
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


def _value_info_of_tensor(t: TensorProto) -> onnx.ValueInfoProto:
    return helper.make_tensor_value_info(t.name, t.data_type, list(t.dims))


class IR:
    """A checked ONNX model and its split into single-node layer models.

    Parameters
    ----------
    model:
        Path of an ``.onnx`` file (external data are read from the paths the
        model records, relative to the model's folder), or an
        ``onnx.ModelProto`` (copied; the caller's object is never modified).
    base_dir:
        Folder against which the external-data locations of a ``ModelProto``
        are resolved (ignored for paths; default: the current folder).

    Raises
    ------
    FileNotFoundError
        The model file, or one of its external-data files, does not exist.
    ModelLoadError (a ValueError)
        The file is not an ONNX model, the ONNX checker rejects the model, or
        shape inference fails; the message names the file or the problem.
    TypeError
        ``model`` is neither a path nor a ``ModelProto``.

    Attributes
    ----------
    model : onnx.ModelProto
        The normalised model (exporter constants folded, shapes inferred).
    graph : onnx.GraphProto
        ``model.graph``.
    inputs : list of str
        Names of the model's own inputs, in graph order, initializers excluded
        (taken when the model is loaded or copied).
    outputs : list of str
        Names of the graph outputs (taken likewise).
    """

    def __init__(self, model: Union[str, os.PathLike, onnx.ModelProto],
                 base_dir: Optional[str] = None):
        if isinstance(model, (str, os.PathLike)):
            path = os.fspath(model)
            proto = self._load_path(path)
            self._base_dir = os.path.dirname(os.path.abspath(path))
            self._source = path
        elif isinstance(model, onnx.ModelProto):
            proto = copy.deepcopy(model)
            self._base_dir = os.path.abspath(base_dir) if base_dir else os.getcwd()
            self._source = "the given ModelProto"
            self._load_external(proto)
        else:
            raise TypeError(
                f"IR expects a path to an ONNX file or an onnx.ModelProto, got "
                f"{type(model).__name__}")
        large = proto.ByteSize() > _MAX_PROTO_BYTES
        try:
            if large:
                _via_file(proto, lambda path: onnx.checker.check_model(path))
            else:
                onnx.checker.check_model(proto)
        except onnx.checker.ValidationError as exc:
            raise ModelLoadError(
                f"ONNX checker rejected {self._source}: {exc}") from None
        _fold_exporter_constants(proto, self._base_dir)
        try:
            if large:
                proto = _via_file(proto, _infer_shapes_path)
            else:
                proto = onnx.shape_inference.infer_shapes(
                    proto, check_type=True, strict_mode=True, data_prop=True)
        except Exception as exc:  # onnx raises InferenceError / ValidationError
            raise ModelLoadError(
                f"shape inference failed for {self._source}: {exc}") from None
        self._set_model(proto)

    # -- construction helpers ---------------------------------------------

    @staticmethod
    def _load_path(path: str) -> onnx.ModelProto:
        if not os.path.exists(path):
            raise FileNotFoundError(f"ONNX model file not found: {path}")
        if not os.path.isfile(path):
            raise ModelLoadError(f"not an ONNX model file (not a regular file): {path}")
        try:
            proto = onnx.load(path, load_external_data=False)
        except Exception as exc:
            raise ModelLoadError(f"not an ONNX model: {path} ({exc})") from None
        if proto.ir_version == 0 and not proto.opset_import and not proto.HasField("graph"):
            raise ModelLoadError(f"not an ONNX model: {path} (no ir_version, "
                                 f"opset imports or graph)")
        base = os.path.dirname(os.path.abspath(path))
        IR._load_external_from(proto, base, path)
        return proto

    def _load_external(self, proto: onnx.ModelProto) -> None:
        IR._load_external_from(proto, self._base_dir, self._source)

    @staticmethod
    def _load_external_from(proto: onnx.ModelProto, base: str, source: str) -> None:
        """Read every external-data tensor of ``proto`` into memory."""
        for t in _external_tensors(proto):
            info = {e.key: e.value for e in t.external_data}
            loc = info.get("location", "")
            full = os.path.join(base, loc)
            if not os.path.isfile(full):
                raise FileNotFoundError(
                    f"external data file of initializer '{t.name}' not found: {full} "
                    f"(referenced by {source})")
        if any(True for _ in _external_tensors(proto)):
            try:
                onnx.external_data_helper.load_external_data_for_model(proto, base)
            except Exception as exc:
                raise ModelLoadError(
                    f"cannot read external data of {source}: {exc}") from None

    def _set_model(self, proto: onnx.ModelProto) -> None:
        self.model = proto
        init_names = {t.name for t in proto.graph.initializer}
        self._init_names = init_names
        self.inputs = [vi.name for vi in proto.graph.input if vi.name not in init_names]
        self.outputs = [vi.name for vi in proto.graph.output]

    # -- public API ----------------------------------------------------------

    @property
    def graph(self) -> onnx.GraphProto:
        return self.model.graph

    def deepcopy(self) -> "IR":
        """An independent copy: no protobuf message is shared with ``self``."""
        new = IR.__new__(IR)
        new._base_dir = self._base_dir
        new._source = self._source
        new._set_model(copy.deepcopy(self.model))
        return new

    def __deepcopy__(self, memo) -> "IR":
        return self.deepcopy()

    def save(self, path: str, external_data: bool = False) -> None:
        """Write the normalised model to ``path``; with ``external_data`` the
        initializers go to ``<basename>.data`` next to it."""
        m = self.model
        if external_data:
            m = copy.deepcopy(m)
            onnx.save_model(m, path, save_as_external_data=True,
                            all_tensors_to_one_file=True,
                            location=os.path.basename(path) + ".data",
                            size_threshold=0)
        else:
            onnx.save_model(m, path)

    def initializer(self, name: str) -> TensorProto:
        """The initializer called ``name`` (KeyError if there is none)."""
        for t in self.model.graph.initializer:
            if t.name == name:
                return t
        raise KeyError(f"no initializer named '{name}'")

    def get_array(self, initializer: Union[TensorProto, str],
                  ref: bool = False) -> np.ndarray:
        """Data of an initializer as a NumPy array.

        ``initializer`` is a ``TensorProto`` (of this model, of one of its
        layer models, or of a copy) or an initializer name. Data stored in an
        external file are read from it (locations relative to the model's
        folder). With ``ref=False`` (the default) the result is an independent,
        writable copy; with ``ref=True`` it may share memory with the
        serialized tensor and must be treated as read-only.
        """
        t = self.initializer(initializer) if isinstance(initializer, str) else initializer
        if not isinstance(t, TensorProto):
            raise TypeError(f"get_array expects an onnx.TensorProto or a name, got "
                            f"{type(initializer).__name__}")
        arr = numpy_helper.to_array(t, self._base_dir)
        if ref:
            return arr
        if not (arr.flags.owndata and arr.flags.writeable):
            arr = arr.copy()
        return arr

    def create_ir_layers(self) -> Tuple[List[onnx.ModelProto], List[List[str]],
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
        graph = self.model.graph
        for idx, node in enumerate(graph.node):
            if any(a.type in _SUBGRAPH_ATTRS for a in node.attribute):
                raise ValueError(
                    f"{_node_label(node, idx)} holds a subgraph; control-flow nodes "
                    f"(If, Loop, Scan) cannot be split into single-node layers")
        order = self._topological_order()
        nodes = [graph.node[i] for i in order]
        inits = {t.name: t for t in graph.initializer}
        types = self._value_types()
        untyped = [x for node in nodes for x in node.input
                   if x and x not in inits and not _typed(types.get(x))]
        if untyped:
            types.update(self._runtime_types(list(dict.fromkeys(untyped))))

        ir_layers = [self._layer_model(i, node, inits, types)
                     for i, node in enumerate(nodes)]

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
        return ir_layers, can_frees, producers

    # -- layer construction --------------------------------------------------

    def _topological_order(self) -> List[int]:
        """Stable topological order of the graph's node indices."""
        graph = self.model.graph
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

    def _value_types(self) -> Dict[str, onnx.ValueInfoProto]:
        graph = self.model.graph
        types: Dict[str, onnx.ValueInfoProto] = {}
        # Later sources win, so inferred value_info overrides declarations,
        # except that an untyped entry never replaces a typed one.
        for vi in list(graph.input) + list(graph.output) + list(graph.value_info):
            if vi.type.WhichOneof("value") or vi.name not in types:
                types[vi.name] = vi
        return types

    def _runtime_types(self, names: List[str]) -> Dict[str, onnx.ValueInfoProto]:
        """Types of tensors ONNX shape inference could not type (operators of
        domains it does not know, such as onnxruntime's contrib operators),
        as onnxruntime infers them when it loads the whole model with these
        tensors exposed as outputs. Names it cannot type are left out."""
        m = copy.deepcopy(self.model)
        m.graph.output.extend(onnx.ValueInfoProto(name=n) for n in names)
        try:
            sess = _plain_cpu_session(m)
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

    def _layer_model(self, index: int, node: onnx.NodeProto,
                     inits: Dict[str, TensorProto],
                     types: Dict[str, onnx.ValueInfoProto]) -> onnx.ModelProto:
        ir_version = self.model.ir_version
        layer_inputs, layer_inits, done = [], [], set()
        for name in node.input:
            if not name or name in done:
                continue
            done.add(name)
            if name in inits:
                layer_inits.append(copy.deepcopy(inits[name]))
                if ir_version < 4:
                    layer_inputs.append(_value_info_of_tensor(inits[name]))
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
        m = onnx.ModelProto()
        m.ir_version = ir_version
        m.producer_name = self.model.producer_name
        m.producer_version = self.model.producer_version
        m.opset_import.extend(copy.deepcopy(list(self.model.opset_import)))
        if self.model.functions:
            m.functions.extend(copy.deepcopy(list(self.model.functions)))
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


def _graph_tensors(graph: onnx.GraphProto) -> Iterable[TensorProto]:
    """Initializers and tensor attributes of ``graph`` and its subgraphs."""
    yield from graph.initializer
    for node in graph.node:
        for attr in node.attribute:
            if attr.type == AttributeProto.TENSOR:
                yield attr.t
            elif attr.type == AttributeProto.TENSORS:
                yield from attr.tensors
            elif attr.type == AttributeProto.GRAPH:
                yield from _graph_tensors(attr.g)
            elif attr.type == AttributeProto.GRAPHS:
                for g in attr.graphs:
                    yield from _graph_tensors(g)


def _external_tensors(proto: onnx.ModelProto) -> Iterable[TensorProto]:
    """Tensors of ``proto`` whose data live in an external file."""
    for t in _graph_tensors(proto.graph):
        if t.HasField("data_location") and t.data_location == TensorProto.EXTERNAL:
            yield t
