"""Checks of a model before any quantization work.

Everything the layer-by-layer pass or the exports would trip over later is
refused here with a ``UserError`` naming the node, tensor or sample: control
flow, operators onnxruntime cannot run, opsets the QDQ export cannot reach,
weights that are not finite or too large for float32 statistics, and
calibration samples the model cannot run on.  (The samples' own values are
checked when they are loaded, in ``calib``.)
"""
from __future__ import annotations

import re

import numpy as np
import onnx
from onnx import AttributeProto

from .api import model_file
from .errors import UserError, first_line

# Largest |w| of a weight: squares and sums of squares of the layer statistics
# must stay far inside float32 range (3.4e38).
MAX_ABS_WEIGHT = 1e15


_ORT_PREFIX = re.compile(r"^\[ONNXRuntimeError\] : \d+ : \w+ : (Fatal error: )?")


def node_label(node: onnx.NodeProto, index: int) -> str:
    domain = f"{node.domain}:" if node.domain not in ("", "ai.onnx") else ""
    return f"node {node.name or '#' + str(index)} ({domain}{node.op_type})"


def ort_reason(exc: BaseException) -> str:
    """An onnxruntime error as a short line, without its status prefix."""
    return _ORT_PREFIX.sub("", first_line(exc, limit=400))[:240]


def check_control_flow(model: onnx.ModelProto) -> None:
    """Nodes holding subgraphs (If, Loop, Scan, ...) cannot be split into layers."""
    for i, node in enumerate(model.graph.node):
        if any(a.type in (AttributeProto.GRAPH, AttributeProto.GRAPHS) for a in node.attribute):
            raise UserError(node_label(node, i), "holds a subgraph (control flow), which the "
                            "layer-by-layer pass cannot split", "export the model without "
                            "If/Loop/Scan (fixed branches, unrolled loops)")


def _known_operators(model: onnx.ModelProto) -> set:
    from onnxruntime.capi import onnxruntime_pybind11_state as ort_state

    known = {(s.domain or "", s.name) for s in ort_state.get_all_operator_schema()}
    known |= {(f.domain, f.name) for f in model.functions}
    return known


def _unknown_operator(model: onnx.ModelProto):
    """(index, node) of the first node whose operator onnxruntime does not know, or None."""
    known = _known_operators(model)
    for i, node in enumerate(model.graph.node):
        domain = "" if node.domain == "ai.onnx" else node.domain
        if (domain, node.op_type) not in known:
            return i, node
    return None


def _refuse_unknown_operator(model: onnx.ModelProto) -> None:
    unknown = _unknown_operator(model)
    if unknown is not None:
        i, node = unknown
        raise UserError(node_label(node, i), f"onnxruntime has no operator {node.op_type} in "
                        f"domain {node.domain or 'ai.onnx'}", "replace it by standard ONNX "
                        "operators, which the layer-by-layer pass runs in onnxruntime")


def whole_model_session(model: onnx.ModelProto):
    """An onnxruntime CPU session of the whole model (no graph rewriting); a
    ``UserError`` naming the operator or the reason when onnxruntime cannot
    load the model.  A model over the 2 GiB an in-memory session takes gets
    its operators checked by name only, and None."""
    from .api.session import ort_session

    if model_file.byte_size(model) > model_file.MAX_PROTO_BYTES:
        _refuse_unknown_operator(model)
        return None
    try:
        return ort_session(model, optimize=False)
    except Exception as e:
        _refuse_unknown_operator(model)
        raise UserError("the model", f"onnxruntime cannot load it ({ort_reason(e)})",
                        "export a model that onnxruntime runs") from None


def check_exportable(model: onnx.ModelProto, bits: int, qmethod: str) -> None:
    """The QDQ export raises the opset to what DequantizeLinear of these weights
    needs; refuse a model the ONNX version converter cannot take there."""
    from . import export

    target = export.QDQ_OPSET_LOW_BIT if bits <= 4 or qmethod.startswith("group") \
        else export.QDQ_OPSET_INT8
    if export.default_opset(model) >= target:
        return
    try:
        export.raise_opset(export.stubbed(model), target)     # the graph only: no weight copied
    except ValueError as e:
        raise UserError("the model", f"{first_line(e)}, which the QDQ export of {bits}-bit "
                        f"{qmethod} weights needs", f"export the model at opset {target}") from None


def check_model(model: onnx.ModelProto, layers, bits: int, qmethod: str):
    """Every model check that needs no calibration data; returns the
    whole-model session that ``check_runs`` runs."""
    check_control_flow(model)
    check_weight_numbers(model, [L for L in layers if not L.excluded])
    sess = whole_model_session(model)
    check_exportable(model, bits, qmethod)
    return sess


def _bias_of(model: onnx.ModelProto) -> dict:
    """Output name -> bias input of each Conv and Gemm node that has one."""
    return {n.output[0]: n.input[2] for n in model.graph.node
            if n.op_type in ("Conv", "Gemm") and len(n.input) > 2 and n.input[2] and n.output}


def check_weight_numbers(model: onnx.ModelProto, layers) -> None:
    """Weights and biases of the layers to quantize are finite; weights stay
    within +-MAX_ABS_WEIGHT."""
    from onnx import numpy_helper

    inits = {t.name: t for t in model.graph.initializer}
    bias = _bias_of(model)
    for L in layers:
        for role, name in (("weight", L.weight), ("bias", bias.get(L.output, ""))):
            if name not in inits:
                continue
            a = numpy_helper.to_array(inits[name])
            if a.dtype.kind not in "fc":
                continue
            bad = int(a.size - np.isfinite(a).sum())
            what = f"{role} {name} of {L.op} node {L.node}"
            if bad:
                raise UserError(what, f"holds {bad} NaN or infinite value(s)",
                                f"fix the model, or keep the layer float with --exclude {L.node}")
            amax = float(np.abs(a).max(initial=0.0))
            if role == "weight" and amax > MAX_ABS_WEIGHT:
                raise UserError(what, f"holds values up to {amax:.3g}, beyond the "
                                f"{MAX_ABS_WEIGHT:g} that float32 layer statistics can hold",
                                f"rescale the model so that |w| <= {MAX_ABS_WEIGHT:g}, "
                                f"or --exclude {L.node}")


def check_runs(sess, feeds: dict, where: str) -> None:
    """The whole model runs on the first calibration sample (``where`` says
    where it comes from): shapes that the layers cannot take fail here, before
    the pass, rather than in its middle.  Without a session (models over
    2 GiB) the pass is the first to run the model."""
    if sess is None:
        return
    try:
        sess.run(None, {k: v[0] for k, v in feeds.items()})
    except Exception as e:
        raise UserError(f"the model, run on the calibration sample at {where}",
                        f"onnxruntime fails ({ort_reason(e)})", "check that the model runs in "
                        "onnxruntime on inputs of this shape (see --shape)") from None
