"""Reading an ONNX model: the file, its external data, the checker and shape
inference (also for models of 2 GiB or more, which protobuf cannot serialize
in one message)."""
from __future__ import annotations

import copy
import os
from typing import Iterable

import onnx
from onnx import AttributeProto, TensorProto

__all__ = ["ModelLoadError", "DataSizeError", "load_path", "load_external", "check",
           "check_data_sizes", "infer_shapes"]


class ModelLoadError(ValueError):
    """The model could not be loaded, checked or shape-inferred."""


class DataSizeError(ModelLoadError):
    """A tensor holds more or less data than its dims and data type call for."""


# Protobuf cannot serialize messages of 2 GiB or more; the checker and shape
# inference then have to work from a file with external data.
MAX_PROTO_BYTES = 2**31 - 1


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


def load_path(path: str) -> onnx.ModelProto:
    """The model stored at ``path``, its external data read into memory."""
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
    load_external(proto, os.path.dirname(os.path.abspath(path)), path)
    return proto


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
        if proto.ByteSize() > MAX_PROTO_BYTES:
            _via_file(proto, lambda path: onnx.checker.check_model(path))
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
    mode, with data propagation; symbolic dims stay symbolic)."""
    try:
        if proto.ByteSize() > MAX_PROTO_BYTES:
            return _via_file(proto, _infer_shapes_path)
        return onnx.shape_inference.infer_shapes(proto, check_type=True, strict_mode=True,
                                                 data_prop=True)
    except Exception as exc:  # onnx raises InferenceError / ValidationError
        raise ModelLoadError(f"shape inference failed for {source}: {exc}") from None


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
