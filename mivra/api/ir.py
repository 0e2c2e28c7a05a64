"""The model object of the toolkit: an ONNX model, checked, normalised and
split into single-node layer models.

Loading (``IR(model)``):

1. The model is read from a path (external-data initializers are read from
   their side files next to the model) or copied from an ``onnx.ModelProto``
   (``model_file``).
2. It is validated with ``onnx.checker.check_model``.
3. Constants that real exporters compute inside the graph are folded into
   initializers (``folding``), without changing what the model computes.
4. Shapes and types of every tensor are inferred (``onnx.shape_inference``,
   strict mode, with data propagation); symbolic dims stay symbolic.

``create_ir_layers`` splits it into layer models (``layers``);
``layer_models`` gives the same layer models one at a time. Graph inputs
that are also initializers (older exporters list every weight as an input)
are treated as initializers: they are not model inputs.
"""
from __future__ import annotations

import copy
import os
from typing import Dict, List, Optional, Tuple, Union

import numpy as np
import onnx
from onnx import TensorProto, numpy_helper

from . import model_file
from .folding import fold_exporter_constants
from .layers import LayerModels, split_layers
from .model_file import ModelLoadError

__all__ = ["IR", "ModelLoadError"]


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
    external_data : bool
        Whether the source model kept tensors in external data files.
    stored_bytes : int or None
        Bytes of the model file and its external data files (None for a
        ``ModelProto``).
    source_value_info : set of str
        Names of the tensors the source model gave a value_info.
    """

    def __init__(self, model: Union[str, os.PathLike, onnx.ModelProto],
                 base_dir: Optional[str] = None):
        if isinstance(model, (str, os.PathLike)):
            path = os.fspath(model)
            proto = model_file.read_path(path)
            self.external_data = model_file.uses_external_data(proto)
            self.stored_bytes = model_file.stored_bytes(path, proto)
            self._base_dir = os.path.dirname(os.path.abspath(path))
            self._source = path
            model_file.load_external(proto, self._base_dir, path)
        elif isinstance(model, onnx.ModelProto):
            proto = copy.deepcopy(model)
            self.external_data = model_file.uses_external_data(proto)
            self._base_dir = os.path.abspath(base_dir) if base_dir else os.getcwd()
            self._source = "the given ModelProto"
            self.stored_bytes = None
            model_file.load_external(proto, self._base_dir, self._source)
        else:
            raise TypeError(
                f"IR expects a path to an ONNX file or an onnx.ModelProto, got "
                f"{type(model).__name__}")
        self.source_value_info = {v.name for v in proto.graph.value_info}
        model_file.check(proto, self._source)
        fold_exporter_constants(proto, self._base_dir)
        self._set_model(model_file.infer_shapes(proto, self._source))

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
        new.external_data = self.external_data
        new.stored_bytes = self.stored_bytes
        new.source_value_info = set(self.source_value_info)
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
        """``(ir_layers, can_frees, producers)``: the model split into
        single-node layer models in a topological order, per layer the tensors
        no later layer reads, and each tensor's producing layer (see
        ``layers.split_layers``)."""
        return split_layers(self.model)

    def layer_models(self) -> LayerModels:
        """The layer models of ``create_ir_layers`` built one at a time:
        ``layers[i]`` is layer ``i`` (built on each call), ``len(layers)``,
        ``layers.can_frees`` and ``layers.producers`` are as there. A walk
        over them holds one layer's copy of its weights at a time."""
        return LayerModels(self.model)
