"""Reading an ONNX model: the file, its external data, the checker and shape
inference (also for models of 2 GiB or more, which protobuf cannot serialize
in one message)."""
from __future__ import annotations

import copy
import os
from typing import Iterable

import onnx
from onnx import AttributeProto, TensorProto

__all__ = ["ModelLoadError", "load_path", "load_external", "check", "infer_shapes"]


class ModelLoadError(ValueError):
    """The model could not be loaded, checked or shape-inferred."""


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
    if any(True for _ in _external_tensors(proto)):
        try:
            onnx.external_data_helper.load_external_data_for_model(proto, base)
        except Exception as exc:
            raise ModelLoadError(
                f"cannot read external data of {source}: {exc}") from None


def check(proto: onnx.ModelProto, source: str) -> None:
    """The ONNX checker's verdict on ``proto`` as a ``ModelLoadError``."""
    try:
        if proto.ByteSize() > MAX_PROTO_BYTES:
            _via_file(proto, lambda path: onnx.checker.check_model(path))
        else:
            onnx.checker.check_model(proto)
    except onnx.checker.ValidationError as exc:
        raise ModelLoadError(f"ONNX checker rejected {source}: {exc}") from None


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
