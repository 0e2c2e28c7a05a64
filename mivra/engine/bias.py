"""Bias correction: the mean output error of a quantized layer folded into its bias.

A layer's output is W x + b per input vector x. With quantized weights (and,
in the sequential pass, quantized inputs x~) the mean over the calibration set
of float output minus quantized output is m = W mu - W_hat mu~; adding m to
the bias makes that mean zero. A Conv without a bias gets one; a Gemm's C
takes alpha / beta * m (its output is alpha A B + beta C); a MatMul's bias is
the constant of the Add that alone reads its output (shape (N,) or (1, .., N)),
and a MatMul without one is left as it is.
"""
from __future__ import annotations

import numpy as np
import onnx
from onnx import numpy_helper

from ..api.graph_edit import drop_initializers, unique_name


def corrected(t, current: np.ndarray | None, m: np.ndarray) -> np.ndarray | None:
    """The new bias of target ``t`` from its ``current`` bias (None: absent)
    and the mean output error ``m`` (one value per output channel)."""
    if t.kind in ("conv", "grouped"):
        base = np.zeros(len(m), np.float32) if current is None else current
        return (base.astype(np.float64) + m).astype(np.float32)
    if t.kind == "gemm" and t.beta != 0:
        base = np.zeros(len(m), np.float32) if current is None else current
        return (base.astype(np.float64) + (t.alpha / t.beta) * m).astype(np.float32)
    if t.kind == "matmul" and current is not None:
        return (current.astype(np.float64).reshape(-1) + m).astype(np.float32).reshape(current.shape)
    return None


def apply_biases(model: onnx.ModelProto, biases: dict) -> onnx.ModelProto:
    """Give the nodes named by output in ``biases`` ({output: array}) a new
    bias initializer holding the array (in place; returns ``model``). Bias
    initializers no node reads any more are dropped."""
    if not biases:
        return model
    graph = model.graph
    taken = {t.name for t in graph.initializer} | {o for n in graph.node for o in n.output} \
        | {i.name for i in graph.input}
    old = set()
    inits = {t.name for t in graph.initializer}
    for node in graph.node:
        if node.output and node.output[0] in biases:
            name = unique_name(f"{node.name or node.output[0]}.bias_corrected", taken)
            graph.initializer.append(numpy_helper.from_array(biases[node.output[0]], name))
            # Conv and Gemm: input 2; a MatMul's Add: its constant operand
            k = next(i for i, x in enumerate(node.input) if x in inits) if node.op_type == "Add" else 2
            if len(node.input) > k:
                old.add(node.input[k])
                node.input[k] = name
            else:
                node.input.append(name)
    read = {i for n in graph.node for i in n.input} | {o.name for o in graph.output}
    drop_initializers(graph, old - read)
    return model
