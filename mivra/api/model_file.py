"""Reading and writing an ONNX model: the file, its external data, the checker
and shape inference (also for models of 2 GiB or more, which protobuf cannot
serialize in one message).

Big models are never copied whole: ``without_initializers`` copies every field
but the initializers, ``stub`` stands in for an initializer without its data,
and ``save_external`` writes a model's initializers one at a time into an
external data file."""
from __future__ import annotations

import os
from typing import Iterable

import onnx
from onnx import AttributeProto, TensorProto

__all__ = ["ModelLoadError", "DataSizeError", "load_path", "read_path", "load_external", "check",
           "check_data_sizes", "infer_shapes", "uses_external_data", "without_initializers",
           "stub", "is_stub", "save_external", "relocate", "stored_bytes", "byte_size", "field_size"]


class ModelLoadError(ValueError):
    """The model could not be loaded, checked or shape-inferred."""


class DataSizeError(ModelLoadError):
    """A tensor holds more or less data than its dims and data type call for."""


# Protobuf cannot serialize messages of 2 GiB or more; the checker and shape
# inference then have to work from a file with external data.
MAX_PROTO_BYTES = 2**31 - 1
# Above this size a model is checked and its shapes inferred from a file that
# leaves its big tensors' data out: in memory, the checker and shape inference
# each take a serialized copy of the whole model (about 0.2 s per 100 MB each).
SKELETON_BYTES = 16 << 20


def byte_size(proto: onnx.ModelProto) -> int:
    """Serialized size of ``proto``, summed from its initializers' sizes: protobuf's
    ``ByteSize`` serializes the whole message to measure it (a transient copy
    of every weight) and refuses messages of 2 GiB or more."""
    from google.protobuf.message import EncodeError

    if not proto.HasField("graph") or len(proto.graph.initializer) == 0:
        return proto.ByteSize()
    header = without_initializers(proto)
    graph = header.graph.ByteSize()
    full = graph
    for t in proto.graph.initializer:
        try:
            n = t.ByteSize()
        except EncodeError:     # one tensor of 2 GiB or more: its data, roughly
            n = 1
            for d in t.dims:
                n *= d
            n = n * _BITS.get(t.data_type, 8) // 8 + 1024
        full += field_size(n)
    return header.ByteSize() - field_size(graph) + field_size(full)


def field_size(n: int) -> int:
    """Bytes of a length-delimited field of ``n`` bytes (field number < 16)."""
    return 1 + max(1, (n.bit_length() + 6) // 7) + n


def _via_file(proto: onnx.ModelProto, fn, attributes: bool):
    """``fn(path)`` on ``proto`` saved in a temporary folder with the data of its
    initializers (and, with ``attributes``, of its tensor attributes) of
    EXTERNAL_MIN_BYTES or more left out: an external data file of the right
    size holds zeros in their place (a sparse file: nothing is copied or
    written). The checker and shape inference read no such data: it is the
    small tensors (shapes, axes), kept in the file, that they look at."""
    import tempfile

    with tempfile.TemporaryDirectory(prefix="mivra_ir_") as tmp:
        path = os.path.join(tmp, "model.onnx")
        save_external(without_initializers(proto), proto.graph.initializer, path,
                      os.path.join(tmp, "model.data"), "model.data", attributes=attributes,
                      write_data=False)
        return fn(path)


def _via_skeleton(proto: onnx.ModelProto) -> bool:
    """Whether ``proto`` is checked and inferred through a file (see SKELETON_BYTES)."""
    return byte_size(proto) > min(MAX_PROTO_BYTES, SKELETON_BYTES)


def _infer_shapes_path(path: str) -> onnx.ModelProto:
    """The model at ``path`` with shapes inferred, its external data not read."""
    out = path[:-len(".onnx")] + ".inferred.onnx"
    onnx.shape_inference.infer_shapes_path(path, out, check_type=True, strict_mode=True,
                                           data_prop=True)
    return onnx.load(out, load_external_data=False)


def load_path(path: str) -> onnx.ModelProto:
    """The model stored at ``path``, its external data read into memory."""
    proto = read_path(path)
    load_external(proto, os.path.dirname(os.path.abspath(path)), path)
    return proto


def read_path(path: str) -> onnx.ModelProto:
    """The model stored at ``path``, its external data not read."""
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
    return proto


def uses_external_data(proto: onnx.ModelProto) -> bool:
    """Whether a tensor of ``proto`` has its data in an external file."""
    return any(True for _ in _external_tensors(proto))


def load_external(proto: onnx.ModelProto, base: str, source: str) -> None:
    """Read every external-data tensor of ``proto`` (locations relative to
    ``base``) into memory; ``source`` names the model in messages."""
    for t in _external_tensors(proto):
        info = {e.key: e.value for e in t.external_data}
        full = os.path.join(base, info.get("location", ""))
        if not os.path.isfile(full):
            raise FileNotFoundError(
                f"external data file of initializer '{t.name}' not found: {full} "
                f"(referenced by {source})")
        _check_external_size(t, info, full)
    if any(True for _ in _external_tensors(proto)):
        try:
            onnx.external_data_helper.load_external_data_for_model(proto, base)
        except Exception as exc:
            raise ModelLoadError(
                f"cannot read external data of {source}: {exc}") from None


def check(proto: onnx.ModelProto, source: str) -> None:
    """The ONNX checker's verdict on ``proto`` as a ``ModelLoadError``; first,
    that every tensor holds the data its dims and type call for."""
    check_data_sizes(proto)
    try:
        if _via_skeleton(proto):
            _via_file(proto, onnx.checker.check_model, attributes=True)
        else:
            onnx.checker.check_model(proto)
    except onnx.checker.ValidationError as exc:
        raise ModelLoadError(f"ONNX checker rejected {source}: {exc}") from None


# Bits per element of each data type (strings have no fixed size).
_BITS = {TensorProto.FLOAT: 32, TensorProto.UINT8: 8, TensorProto.INT8: 8, TensorProto.UINT16: 16,
         TensorProto.INT16: 16, TensorProto.INT32: 32, TensorProto.INT64: 64, TensorProto.BOOL: 8,
         TensorProto.FLOAT16: 16, TensorProto.DOUBLE: 64, TensorProto.UINT32: 32,
         TensorProto.UINT64: 64, TensorProto.COMPLEX64: 64, TensorProto.COMPLEX128: 128,
         TensorProto.BFLOAT16: 16}
_BITS.update({getattr(TensorProto, name): bits for name, bits in [
    ("FLOAT8E4M3FN", 8), ("FLOAT8E4M3FNUZ", 8), ("FLOAT8E5M2", 8), ("FLOAT8E5M2FNUZ", 8),
    ("FLOAT8E8M0", 8), ("UINT4", 4), ("INT4", 4), ("FLOAT4E2M1", 4), ("UINT2", 2), ("INT2", 2),
    ("FLOAT6E2M3", 6), ("FLOAT6E3M2", 6)] if hasattr(TensorProto, name)})

# The typed field of each data type, and the entries (e) it takes for (n) elements:
# complex numbers take two, 4-bit types pack two elements and 2-bit types four
# into one entry of int32_data.
_TYPED = {TensorProto.FLOAT: ("float_data", 1, 1), TensorProto.COMPLEX64: ("float_data", 2, 1),
          TensorProto.DOUBLE: ("double_data", 1, 1), TensorProto.COMPLEX128: ("double_data", 2, 1),
          TensorProto.INT64: ("int64_data", 1, 1), TensorProto.UINT32: ("uint64_data", 1, 1),
          TensorProto.UINT64: ("uint64_data", 1, 1)}
_TYPED.update({dt: ("int32_data", 1, 1 if bits >= 6 else 8 // bits) for dt, bits in _BITS.items()
               if dt not in _TYPED})


def _type_name(data_type: int) -> str:
    try:
        return onnx.helper.tensor_dtype_to_np_dtype(data_type).name
    except Exception:
        return TensorProto.DataType.Name(data_type).lower()


def _needs(t: TensorProto, held: int, unit: str, e: int = 1, n_per: int = 1) -> str | None:
    """Why ``t``, holding ``held`` bytes (``unit`` "bytes ...", e.g. "bytes in its
    external data file F") or entries of its typed field (``unit`` the field's
    name; ``e`` entries per ``n_per`` elements, rounded up), does not fit its dims
    and type; None when it does."""
    n = 1
    for d in t.dims:
        n *= d
    if n < 0:
        return None             # the checker refuses negative dims
    if unit.startswith("bytes"):
        need, what = -(-n * _BITS[t.data_type] // 8), unit
    else:
        need, what = -(-n * e // n_per), f"values in {unit}"
    if held == need:
        return None
    return (f"holds {held} {what}, but its shape {list(t.dims)} of {_type_name(t.data_type)} "
            f"needs {need}")


def _size_problem(t: TensorProto) -> str | None:
    """Why the data ``t`` holds in the model file does not match its dims and
    type, or None (also for strings, unknown types and external data)."""
    if t.data_type not in _BITS or (t.HasField("data_location")
                                    and t.data_location == TensorProto.EXTERNAL):
        return None
    if t.HasField("raw_data"):
        return _needs(t, len(t.raw_data), "bytes")
    field, e, n_per = _TYPED[t.data_type]
    return _needs(t, len(getattr(t, field)), field, e, n_per)


def _labelled_tensors(graph: onnx.GraphProto):
    """(label, tensor) of the initializers and tensor attributes of ``graph`` and its subgraphs."""
    for t in graph.initializer:
        yield f"initializer {t.name}", t
    for i, node in enumerate(graph.node):
        owner = f"node {node.name or '#' + str(i)} ({node.op_type})"
        for attr in node.attribute:
            if attr.type == AttributeProto.TENSOR:
                yield f"attribute {attr.name} of {owner}", attr.t
            elif attr.type == AttributeProto.TENSORS:
                for k, t in enumerate(attr.tensors):
                    yield f"attribute {attr.name}[{k}] of {owner}", t
            elif attr.type == AttributeProto.GRAPH:
                yield from _labelled_tensors(attr.g)
            elif attr.type == AttributeProto.GRAPHS:
                for g in attr.graphs:
                    yield from _labelled_tensors(g)


def check_data_sizes(proto: onnx.ModelProto) -> None:
    """Every initializer and tensor attribute holds as many bytes (``raw_data``)
    or values (its typed field) as its dims and data type call for: the ONNX
    checker lets more through, and fewer of some types, which numpy then cannot
    reshape.  Strings are not checked; external data is checked when it is read."""
    for label, t in _labelled_tensors(proto.graph):
        why = _size_problem(t)
        if why:
            raise DataSizeError(f"{label} {why}")


def _check_external_size(t: TensorProto, info: dict, full: str) -> None:
    """The bytes that reading ``t``'s external data (``info``: location, offset,
    length) from the file ``full`` gives fit its dims and type."""
    if t.data_type not in _BITS:
        return
    try:
        offset = int(info.get("offset", 0))
        length = int(info["length"]) if "length" in info else None
    except ValueError:
        return                  # reported when the data is read
    if offset < 0 or (length is not None and length < 0):
        return
    held = max(0, os.path.getsize(full) - offset)
    if length is not None:
        held = min(held, length)
    why = _needs(t, held, f"bytes in its external data file {info.get('location', '')}")
    if why:
        raise DataSizeError(f"initializer {t.name} {why}")


def infer_shapes(proto: onnx.ModelProto, source: str) -> onnx.ModelProto:
    """``proto`` with the shapes and types of every tensor inferred (strict
    mode, with data propagation; symbolic dims stay symbolic). A model over
    SKELETON_BYTES is inferred from a file and updated in place (its
    initializers are not copied): ``proto`` itself is returned."""
    try:
        if _via_skeleton(proto):
            _adopt(proto, _via_file(proto, _infer_shapes_path, attributes=False))
            return proto
        return onnx.shape_inference.infer_shapes(proto, check_type=True, strict_mode=True,
                                                 data_prop=True)
    except Exception as exc:  # onnx raises InferenceError / ValidationError
        raise ModelLoadError(f"shape inference failed for {source}: {exc}") from None


def _adopt(proto: onnx.ModelProto, other: onnx.ModelProto) -> None:
    """Give ``proto`` every field of ``other`` but the graph's initializers, in place."""
    for fd, _ in proto.ListFields():
        if fd.name != "graph":
            proto.ClearField(fd.name)
    _copy_fields(proto, other, skip=("graph",))
    graph = proto.graph
    for fd, _ in graph.ListFields():
        if fd.name != "initializer":
            graph.ClearField(fd.name)
    _copy_fields(graph, other.graph, skip=("initializer",))


# -- big models: copies without the initializers, and external data ---------------

# Tensors of fewer bytes stay in the model file when the others go to external
# data (as onnx.save_model does by default).
EXTERNAL_MIN_BYTES = 1024
# External tensors of at least _ALIGN_FROM bytes start at a multiple of _ALIGN
# bytes in the data file, so that a runtime can map them.
_ALIGN_FROM, _ALIGN = 1 << 20, 1 << 16
# Fields of a TensorProto that hold or locate its data.
_DATA_FIELDS = ("raw_data", "float_data", "int32_data", "string_data", "int64_data",
                "double_data", "uint64_data", "external_data", "data_location")
# Location of a stub's data: never written to a file.
_STUB_LOCATION = "<mivra: data held elsewhere>"


def _copy_fields(dst, src, skip=()) -> None:
    """Copy every set field of the message ``src`` but those named in ``skip`` into ``dst``."""
    for fd, value in src.ListFields():
        if fd.name in skip:
            continue
        if fd.is_repeated:
            getattr(dst, fd.name).extend(value)
        elif fd.message_type is not None:
            getattr(dst, fd.name).CopyFrom(value)
        else:
            setattr(dst, fd.name, value)


def without_initializers(proto: onnx.ModelProto) -> onnx.ModelProto:
    """A copy of ``proto`` holding every field but the graph's initializers
    (which are not copied)."""
    out = onnx.ModelProto()
    _copy_fields(out, proto, skip=("graph",))
    if proto.HasField("graph"):
        out.graph.SetInParent()
        _copy_fields(out.graph, proto.graph, skip=("initializer",))
    return out


def stub(t: TensorProto) -> TensorProto:
    """``t`` without its data: name, type, dims and the rest, marked as data held
    elsewhere (``is_stub``). Graph edits (and the ONNX version converter) carry
    stubs through; they are replaced by the tensors before a model is written."""
    s = TensorProto()
    _copy_fields(s, t, skip=_DATA_FIELDS)
    s.data_location = TensorProto.EXTERNAL
    s.external_data.add(key="location", value=_STUB_LOCATION)
    return s


def is_stub(t: TensorProto) -> bool:
    return t.data_location == TensorProto.EXTERNAL and any(
        e.key == "location" and e.value == _STUB_LOCATION for e in t.external_data)


def _data_bytes(t: TensorProto, read: bool):
    """The bytes ``t`` stores externally (raw little-endian data), their number
    when not ``read``, or None for a tensor that stays in the model file: one of
    fewer than EXTERNAL_MIN_BYTES bytes, of strings or of sub-byte elements held
    in a typed field."""
    if t.data_location == TensorProto.EXTERNAL:
        raise ValueError(f"tensor {t.name}: its data is not in memory")
    raw = t.HasField("raw_data")
    if not raw and _BITS.get(t.data_type, 0) < 8:
        return None
    n = 1
    for d in t.dims:
        n *= d
    size = len(t.raw_data) if raw and read else -(-n * _BITS.get(t.data_type, 8) // 8)
    if size < EXTERNAL_MIN_BYTES:
        return None
    if not read:
        return size
    if raw:
        return t.raw_data
    from onnx import numpy_helper

    return numpy_helper.to_array(t).tobytes()


def _put(t: TensorProto, fh, location: str, data) -> None:
    """Move the data of ``t`` (in place) to the end of the open data file ``fh``,
    recorded as ``location``: ``data`` is its bytes, or their number, by which
    the file then only grows (a hole)."""
    size = data if isinstance(data, int) else len(data)
    offset = fh.seek(0, os.SEEK_END)
    if size >= _ALIGN_FROM and offset % _ALIGN:
        offset += _ALIGN - offset % _ALIGN
    if isinstance(data, int):
        fh.truncate(offset + size)
    else:
        fh.seek(offset)
        fh.write(data)
    for name in _DATA_FIELDS:
        t.ClearField(name)
    t.data_location = TensorProto.EXTERNAL
    for key, value in (("location", location), ("offset", str(offset)), ("length", str(size))):
        t.external_data.add(key=key, value=value)


def _external_ref(t: TensorProto, fh, location: str, read: bool) -> TensorProto:
    """``t`` as the model file records it: a new tensor pointing into ``fh``
    where its data went, or ``t`` itself when it stays in the model file."""
    data = _data_bytes(t, read)
    if data is None:
        return t
    ref = TensorProto()
    _copy_fields(ref, t, skip=_DATA_FIELDS)
    _put(ref, fh, location, data)
    return ref


def save_external(header: onnx.ModelProto, tensors, path: str, data_path: str, location: str,
                  attributes: bool = False, write_data: bool = True) -> onnx.ModelProto:
    """Write a model to ``path``, the data of its big tensors to ``data_path``.

    ``header`` is the model without initializers (``without_initializers``);
    ``tensors`` its initializers in order, an iterable consumed one at a time
    (each may be made on the fly and dropped after). Tensors of
    EXTERNAL_MIN_BYTES or more have their data written to ``data_path`` and
    are recorded as external data at ``location`` (relative to the model's
    folder); the others stay in the model file. With ``attributes`` the
    tensor attributes of the header's nodes go there too (moved out of the
    header in place). Without ``write_data`` nothing is written to the data
    file: it is extended to its size (zeros). Returns the header, which now
    holds the initializers (``relocate`` changes their location)."""
    inits = header.graph.initializer
    with open(data_path, "wb") as fh:
        for t in tensors:
            inits.append(_external_ref(t, fh, location, write_data))
        if attributes:
            for node in header.graph.node:
                for t in _node_tensors(node):
                    data = _data_bytes(t, write_data)
                    if data is not None:
                        _put(t, fh, location, data)
    _write_model(header, path)
    return header


def _node_tensors(node: onnx.NodeProto) -> Iterable[TensorProto]:
    """Tensor attributes of ``node`` and of its subgraphs (initializers included)."""
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


def _write_model(proto: onnx.ModelProto, path: str) -> None:
    with open(path, "wb") as fh:
        fh.write(proto.SerializeToString())


def relocate(header: onnx.ModelProto, path: str, location: str) -> None:
    """Record ``location`` as the external data file of every external tensor
    of ``header`` and write it to ``path`` again."""
    for t in _external_tensors(header):
        for e in t.external_data:
            if e.key == "location":
                e.value = location
    _write_model(header, path)


def stored_bytes(path: str, proto: onnx.ModelProto | None = None) -> int:
    """Bytes of the model file ``path`` and of the external data files it names
    (``proto``: the model as read from ``path``, its external data not loaded)."""
    total = os.path.getsize(path)
    try:
        proto = onnx.load(path, load_external_data=False) if proto is None else proto
    except Exception:
        return total
    folder = os.path.dirname(os.path.abspath(path))
    files = set()
    for t in _external_tensors(proto):
        loc = {e.key: e.value for e in t.external_data}.get("location")
        if loc:
            files.add(os.path.realpath(os.path.join(folder, loc)))
    return total + sum(os.path.getsize(f) for f in files if os.path.isfile(f))


def _graph_tensors(graph: onnx.GraphProto) -> Iterable[TensorProto]:
    """Initializers and tensor attributes of ``graph`` and its subgraphs."""
    yield from graph.initializer
    for node in graph.node:
        yield from _node_tensors(node)


def _external_tensors(proto: onnx.ModelProto) -> Iterable[TensorProto]:
    """Tensors of ``proto`` whose data live in an external file."""
    for t in _graph_tensors(proto.graph):
        if t.HasField("data_location") and t.data_location == TensorProto.EXTERNAL:
            yield t
