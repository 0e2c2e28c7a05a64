"""Inference session for one single-node layer model, on onnxruntime."""
from __future__ import annotations

from typing import Dict, List, Mapping, Optional, Sequence

import numpy as np
import onnx
import onnxruntime as ort
from google.protobuf.message import EncodeError

from .cpus import available_cpus
from .model_file import MAX_PROTO_BYTES

__all__ = ["Session", "default_providers", "ort_session"]


def default_providers() -> List[str]:
    """CUDAExecutionProvider first when this onnxruntime build has it, then
    CPUExecutionProvider."""
    available = ort.get_available_providers()
    providers = []
    if "CUDAExecutionProvider" in available:
        providers.append("CUDAExecutionProvider")
    providers.append("CPUExecutionProvider")
    return providers


def ort_session(model, optimize: bool = True, providers: Optional[Sequence[str]] = None,
                num_threads: Optional[int] = None) -> ort.InferenceSession:
    """The one onnxruntime session recipe of mivra: quiet, sequential, with
    at most as many intra-op threads as this process may use (and at most 8).

    ``model`` is an ``onnx.ModelProto``, its serialized bytes or the path of
    a model file (which may have external data, so over 2 GiB). Without
    ``optimize`` the graph runs exactly as written (no fusions or rewrites):
    constants evaluate as the nodes define them. ``providers`` defaults to
    the CPU.
    """
    so = ort.SessionOptions()
    so.intra_op_num_threads = num_threads or min(8, available_cpus())
    so.inter_op_num_threads = 1
    so.execution_mode = ort.ExecutionMode.ORT_SEQUENTIAL
    so.log_severity_level = 4      # fatal only: failures reach the caller as exceptions
    if not optimize:
        so.graph_optimization_level = ort.GraphOptimizationLevel.ORT_DISABLE_ALL
    data = model if isinstance(model, (bytes, str)) else model.SerializeToString()
    return ort.InferenceSession(data, so, providers=list(providers or ["CPUExecutionProvider"]))


class Session:
    """An onnxruntime session for one layer model of ``ir.create_ir_layers()``.

    Parameters
    ----------
    ir:
        The model object the layer comes from (kept for reference; the layer
        model carries everything it needs: its initializers are in memory).
    layer:
        A single-node ``onnx.ModelProto``.
    providers:
        onnxruntime execution providers; default ``default_providers()``.
    num_threads:
        Intra-op threads of the session (default: the CPUs this process may
        use, at most 8); one inter-op thread, sequential execution.
    optimize:
        onnxruntime's graph optimizations (default on); off, a model of several
        nodes runs node by node as written, as their single-node models do.

    ``get_inputs()`` lists the layer's runtime inputs (initializers excluded),
    ``get_outputs()`` its outputs; both return onnxruntime ``NodeArg`` entries
    (with ``.name``, ``.shape``, ``.type``). ``run(input_feed)`` runs one
    calibration sample.
    """

    def __init__(self, ir, layer: onnx.ModelProto,
                 providers: Optional[Sequence[str]] = None,
                 num_threads: Optional[int] = None, optimize: bool = True):
        self.ir = ir
        if not isinstance(layer, onnx.ModelProto):
            raise TypeError(f"Session expects a layer onnx.ModelProto, got "
                            f"{type(layer).__name__}")
        try:                    # serialized once: the bytes go to onnxruntime
            data = layer.SerializeToString()
        except (EncodeError, ValueError):
            data = None
        if data is None or len(data) > MAX_PROTO_BYTES:
            raise ValueError(f"layer model '{layer.graph.name}' is over the 2 GiB "
                             f"protobuf limit of an in-memory session")
        self._initializers = {t.name for t in layer.graph.initializer}
        self._sess = ort_session(data, optimize=optimize,
                                 providers=providers or default_providers(),
                                 num_threads=num_threads)
        self._inputs = [i for i in self._sess.get_inputs()
                        if i.name not in self._initializers]
        self._outputs = list(self._sess.get_outputs())

    def get_inputs(self) -> list:
        """Runtime inputs of the layer (initializers excluded), in graph order."""
        return list(self._inputs)

    def get_outputs(self) -> list:
        """Outputs of the layer, in the order ``run`` returns them."""
        return list(self._outputs)

    def run(self, input_feed: Mapping[str, np.ndarray]) -> List[np.ndarray]:
        """Run one sample: ``input_feed`` maps every name of ``get_inputs()``
        to its array (extra names are ignored). Returns the output arrays in
        ``get_outputs()`` order. A missing input raises KeyError naming it."""
        feed: Dict[str, np.ndarray] = {}
        for inp in self._inputs:
            if inp.name not in input_feed:
                raise KeyError(f"input '{inp.name}' of the layer is missing from "
                               f"the feed (got {sorted(input_feed)})")
            feed[inp.name] = np.asarray(input_feed[inp.name], order="C")  # 0-d stays 0-d
        return self._sess.run(None, feed)
