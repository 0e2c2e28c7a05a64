"""The calibration set pushed through a model node by node.

A stream holds, for every live tensor, a ``SampleList``: one array per
calibration sample (in memory or spilled to disk, see ``samples``), each of
the shape the whole model gives that tensor for that sample. Nodes run sample
by sample, as their own single-node models or in segments of consecutive
nodes run as written, so every node sees exactly the tensors the whole model
would give it; tensors no later node reads are dropped as soon as their last
reader has run.

Two streams can walk side by side: the float model's, and that of the model
whose quantized layers already carry their quantized weights (a layer model
with substituted initializers). Hooks run before each node, where a layer's
inputs are complete in both streams.
"""
from __future__ import annotations

import copy
import time

import numpy as np
from onnx import numpy_helper

from ..api.session import Session
from .bias import apply_biases
from .samples import SampleList


def run_layer(sess: Session, data: dict, n: int) -> None:
    """Run ``sess`` on every sample of ``data`` and store its outputs there."""
    names = [i.name for i in sess.get_inputs()]
    outs = [SampleList() for _ in sess.get_outputs()]
    for i in range(n):
        for o, r in zip(outs, sess.run({k: data[k][i] for k in names})):
            o.append(r)
    for o, r in zip(sess.get_outputs(), outs):
        data[o.name] = r


def with_initializers(layer, values: dict, biases: dict):
    """``layer`` with the arrays of ``values`` in the initializers they name and
    the biases of ``biases`` ({node output: array}); a copy when anything changes."""
    node = layer.graph.node[0]
    bias = biases.get(node.output[0]) if node.output else None
    if bias is None and not any(t.name in values for t in layer.graph.initializer):
        return layer
    out = copy.deepcopy(layer)
    for t in out.graph.initializer:
        if t.name in values:
            t.CopyFrom(numpy_helper.from_array(np.asarray(values[t.name]), t.name))
    if bias is not None:
        apply_biases(out, {node.output[0]: bias})
    return out


class Streams:
    """Float stream and, when ``quantized`` is set, the partly quantized stream.

    ``walk(before)`` calls ``before(node, self)`` ahead of every node; the
    hook may read ``self.float[name]`` and ``self.quant[name]`` for the node's
    inputs and may put quantized weights into ``self.replaced`` (weight name ->
    array) and corrected biases into ``self.biases`` (node output -> array),
    which the quantized stream uses from then on. Graph outputs of the float
    stream are kept in ``self.outputs``.
    """

    def __init__(self, ir, feeds: dict, quantized: bool = False):
        self.ir = ir
        self.n = len(next(iter(feeds.values())))
        self.float = dict(feeds)
        self.quant = dict(feeds) if quantized else None
        self.replaced: dict = {}
        self.biases: dict = {}
        self.outputs: dict = {}
        self.seconds = 0.0          # time spent running nodes

    def walk(self, before=None, progress=None, stops=None, after=None) -> None:
        """Run every node; ``before`` runs ahead of, ``after`` after the nodes whose
        first output is in ``stops`` (all nodes when None). The nodes between two
        stops run as one model without graph optimizations, node by node as
        written, so that they compute what their single-node models compute with
        one call per sample; a stop that needs no model of its own (see
        ``_alone``) heads the segment after it, its ``before`` run first."""
        layers = self.ir.layer_models()         # built one at a time: one copy of a weight lives
        can_frees = layers.can_frees
        graph_outputs = set(self.ir.outputs)
        i = 0
        while i < len(layers):
            node = layers.node(i)
            j = i + 1
            if stops is not None and not self._alone(node, stops, after):
                while j < len(layers) and not _stops_at(layers.node(j), stops):
                    j += 1
            if j - i == 1:
                layer = layers[i]
                if before is not None:
                    before(node, self)
                self._run(layer, True)
                if after is not None:
                    after(node, self)
            else:
                if before is not None and _stops_at(node, stops):
                    before(node, self)      # a stop leading its segment: its inputs are here
                segment = layers.segment(i, j)
                if segment is not None:
                    self._run(segment, False)
            for il in range(i, j):
                for name in can_frees[il]:
                    if name in graph_outputs and name in self.float:
                        self.outputs[name] = self.float[name]
                    self.float.pop(name, None)
                    if self.quant is not None:
                        self.quant.pop(name, None)
            if progress is not None:
                progress(j - i)
            i = j

    def _alone(self, node, stops, after) -> bool:
        """Whether ``node`` runs as its own model: the operators of ``ALONE``, and
        every stop where the quantized stream may change its weights or a hook
        reads its outputs; any other stop leads the segment after it."""
        return node.op_type in ALONE or (_stops_at(node, stops) and
                                         (self.quant is not None or after is not None))

    def _run(self, model, single: bool) -> None:
        """Run a layer model (``single``) or a segment on both streams."""
        t0 = time.perf_counter()
        sess = Session(self.ir, model, optimize=single)
        run_layer(sess, self.float, self.n)
        if self.quant is not None:
            qmodel = with_initializers(model, self.replaced, self.biases) if single else model
            if qmodel is not model:     # its own weights or bias: its own session
                sess = Session(self.ir, qmodel, optimize=single)
            run_layer(sess, self.quant, self.n)
        self.seconds += time.perf_counter() - t0


# Operators whose kernels onnxruntime's graph optimizations change (layouts,
# fusions): they always run as their own optimized single-node models, so that
# their outputs do not depend on what runs beside them.
ALONE = frozenset({"Conv", "ConvTranspose", "Gemm", "LSTM", "GRU", "RNN"})


def _stops_at(node, stops) -> bool:
    return node.op_type in ALONE or (bool(node.output) and node.output[0] in stops)
