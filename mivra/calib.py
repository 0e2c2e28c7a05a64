"""Calibration settings per model input and loading of the calibration set.

The settings become ``param["inputs_meta"]["attrs"]``; the loaded set is what
the quantizer itself will read (same toolkit functions), and feeds the layer
Hessians and the accuracy report.
"""
from __future__ import annotations

import numpy as np
import onnx
from onnx import helper

from .errors import UserError

LAYOUTS = ("nchw", "nhwc")


def input_shapes(model: onnx.ModelProto, names) -> dict:
    """Model input name -> shape list; a symbolic batch becomes 1, other symbolic dims None."""
    out = {}
    by_name = {vi.name: vi for vi in model.graph.input}
    for name in names:
        tt = by_name[name].type.tensor_type
        dims = [d.dim_value if d.HasField("dim_value") and d.dim_value > 0 else None
                for d in tt.shape.dim]
        if dims and dims[0] is None:
            dims[0] = 1
        out[name] = dims
    return out


def _elem_dtype(model: onnx.ModelProto, name: str) -> str:
    for vi in model.graph.input:
        if vi.name == name:
            return np.dtype(helper.tensor_dtype_to_np_dtype(vi.type.tensor_type.elem_type)).name
    raise KeyError(name)


def _per_input(values, names, what):
    """Split repeated ``[INPUT=]VALUE`` options into {input: value}; a bare value applies to all."""
    out = {}
    for v in values or []:          # a bare value applies to every input ...
        if "=" not in v:
            out.update({n: v for n in names})
    for v in values or []:          # ... and INPUT=VALUE overrides it for one
        if "=" in v:
            name, val = v.split("=", 1)
            if name not in names:
                raise UserError(f"--{what} {v}: the model has no input {name} "
                                f"(inputs: {', '.join(names)})")
            out[name] = val
    return out


def _floats(text, what):
    try:
        vals = [float(t) for t in text.split(",") if t.strip() != ""]
    except ValueError:
        raise UserError(f"--{what} {text}: expected numbers separated by commas") from None
    if not vals:
        raise UserError(f"--{what} {text}: expected numbers separated by commas")
    return vals


def build_attrs(model: onnx.ModelProto, inputs: list, mean=None, std=None, layout=None,
                rgb2bgr=None, shape=None) -> dict:
    """``attrs`` of ``inputs_meta``: per model input idx, shape, layout, rgb2bgr, mean, std, dtype.

    Options are lists of ``[INPUT=]VALUE`` strings; ``rgb2bgr`` is a list of
    input names or "*" for every input.
    """
    means = _per_input(mean, inputs, "mean")
    stds = _per_input(std, inputs, "std")
    layouts = _per_input(layout, inputs, "layout")
    shapes_opt = _per_input(shape, inputs, "shape")
    flips = set()
    for v in rgb2bgr or []:
        if v == "*":
            flips.update(inputs)
        elif v in inputs:
            flips.add(v)
        else:
            raise UserError(f"--rgb2bgr {v}: the model has no input {v} (inputs: {', '.join(inputs)})")
    shapes = input_shapes(model, inputs)
    attrs = {}
    for idx, name in enumerate(inputs):
        lay = layouts.get(name, "nchw")
        if lay not in LAYOUTS:
            raise UserError(f"--layout {lay}: expected nchw or nhwc")
        shp = shapes[name]
        if name in shapes_opt:
            try:
                given = [int(t) for t in shapes_opt[name].split(",")]
            except ValueError:
                raise UserError(f"--shape {shapes_opt[name]}: expected integers separated by commas") from None
            if len(given) != len(shp) or any(d is not None and d != g for d, g in zip(shp, given)):
                raise UserError(f"--shape {shapes_opt[name]}: input {name} has shape "
                                f"{['?' if d is None else d for d in shp]}")
            shp = given
        attrs[name] = {
            "idx": idx,
            "shape": shp,
            "layout": lay,
            "rgb2bgr": name in flips,
            "mean": _floats(means[name], "mean") if name in means else None,
            "std": _floats(stds[name], "std") if name in stds else None,
            "dtype": _elem_dtype(model, name),
        }
        if attrs[name]["std"] is not None and any(s == 0 for s in attrs[name]["std"]):
            raise UserError(f"--std {stds[name]}: a standard deviation of 0 (input {name})")
    return attrs


def load_calibration(dataset: str, attrs: dict) -> tuple[list, dict]:
    """Load and check every calibration sample.

    Returns ``(paths, feeds)``: the sample list and {input: (N, *input shape)}.
    Every problem is a ``UserError`` naming the sample and input.
    """
    from .api.mivra_utils import get_input_img, get_input_paths, preprocess_input

    try:
        paths = get_input_paths(dataset)
    except (OSError, ValueError) as e:
        raise UserError(str(e)) from None
    names = list(attrs)
    if not paths:
        raise UserError(f"calibration list {dataset} holds no samples")
    if len(paths[0]) != len(names):
        raise UserError(f"calibration list {dataset} gives {len(paths[0])} path(s) per sample, "
                        f"but the model has {len(names)} input(s): {', '.join(names)}")
    feeds = {}
    for name in names:
        a = attrs[name]
        rows = []
        for si, sample in enumerate(paths):
            path = sample[a["idx"]]
            try:
                img = get_input_img(path, "nchw", a["shape"], a["layout"], a["rgb2bgr"])
                x = preprocess_input(img, a["layout"], a["mean"], a["std"], a["dtype"])
            except (OSError, ValueError) as e:
                raise UserError(f"calibration sample {si + 1}, input {name}: {e}") from None
            want = a["shape"]
            if x.ndim != len(want) or any(d is not None and d != g for d, g in zip(want, x.shape)):
                raise UserError(f"calibration sample {si + 1} ({path}) gives input {name} shape "
                                f"{list(x.shape)}, but the model expects "
                                f"{['?' if d is None else d for d in want]}")
            if rows and x.shape != rows[0].shape:
                raise UserError(f"calibration sample {si + 1} ({path}) gives input {name} shape "
                                f"{list(x.shape)}, unlike sample 1's {list(rows[0].shape)}")
            rows.append(x)
        feeds[name] = np.stack(rows)
    return paths, feeds
