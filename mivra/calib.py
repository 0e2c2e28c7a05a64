"""Calibration settings per model input and loading of the calibration set.

The settings become ``param["inputs_meta"]["attrs"]``; the loaded set is what
the quantizer itself will read (same toolkit functions), and feeds the layer
Hessians and the accuracy report.
"""
from __future__ import annotations

import numpy as np
import onnx
from onnx import helper

from .errors import UserError, first_line

LAYOUTS = ("nchw", "nhwc")
# Smallest |std| divided by: below it the samples would be scaled into overflow
# or denormals rather than normalised.
MIN_STD = 1e-30
# Array kinds a calibration file may hold, per kind of model input.
_ACCEPTED_KINDS = {"f": "iuf", "i": "iu", "u": "iu", "b": "b"}
_KIND_NAMES = {"c": "complex numbers", "b": "booleans", "U": "text", "S": "bytes",
               "O": "Python objects", "V": "structured records", "M": "dates", "m": "time spans",
               "f": "floating-point numbers", "i": "integers", "u": "integers"}


def model_dims(model: onnx.ModelProto, names) -> dict:
    """Model input name -> shape list, symbolic dims None."""
    by_name = {vi.name: vi for vi in model.graph.input}
    return {name: [d.dim_value if d.HasField("dim_value") and d.dim_value > 0 else None
                   for d in by_name[name].type.tensor_type.shape.dim] for name in names}


def input_shapes(model: onnx.ModelProto, names) -> dict:
    """Model input name -> shape list; a symbolic batch becomes 1, other symbolic dims None."""
    out = model_dims(model, names)
    for dims in out.values():
        if dims and dims[0] is None:
            dims[0] = 1
    return out


def _elem_dtype(model: onnx.ModelProto, name: str) -> str:
    vi = next(vi for vi in model.graph.input if vi.name == name)
    try:
        dtype = np.dtype(helper.tensor_dtype_to_np_dtype(vi.type.tensor_type.elem_type))
    except (KeyError, TypeError, ValueError):
        dtype = None
    if dtype is None or dtype.kind not in _ACCEPTED_KINDS:
        raise UserError(f"model input {name}", "is not a numeric tensor, so calibration "
                        "samples cannot feed it", "give a model whose inputs are numeric tensors")
    return dtype.name


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
                raise UserError(f"--{what} {v}", f"the model has no input {name}",
                                f"name one of its inputs: {', '.join(names)}")
            out[name] = val
    return out


def _floats(text, what, name):
    label = f"--{what} {text} (input {name})"
    bad = UserError(label, "expected numbers separated by commas",
                    f"give one --{what} value, or one per channel, e.g. --{what} 0.5,0.5,0.5")
    try:
        vals = [float(t) for t in text.split(",") if t.strip() != ""]
    except ValueError:
        raise bad from None
    if not vals:
        raise bad
    if not all(np.isfinite(vals)):
        raise UserError(label, "not a finite number", f"give finite --{what} values")
    if what == "std" and min(abs(v) for v in vals) < MIN_STD:
        raise UserError(label, f"a standard deviation below {MIN_STD:g} in magnitude "
                        "cannot be divided by", "give the spread of the data, e.g. --std 1")
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
            raise UserError(f"--rgb2bgr {v}", f"the model has no input {v}",
                            f"name one of its inputs: {', '.join(inputs)}")
    shapes = input_shapes(model, inputs)
    attrs = {}
    for idx, name in enumerate(inputs):
        lay = layouts.get(name, "nchw")
        if lay not in LAYOUTS:
            raise UserError(f"--layout {lay}", "unknown layout", "give nchw or nhwc")
        shp = shapes[name]
        if name in shapes_opt:
            try:
                given = [int(t) for t in shapes_opt[name].split(",")]
            except ValueError:
                given = None
            if not given or min(given) < 1:
                raise UserError(f"--shape {shapes_opt[name]}", "expected positive integers "
                                "separated by commas", "give every dim, e.g. --shape 1,3,224,224")
            if len(given) != len(shp) or any(d is not None and d != g for d, g in zip(shp, given)):
                raise UserError(f"--shape {shapes_opt[name]}", f"input {name} has shape "
                                f"{_shape_text(shp)}", "give its fixed dims as they are "
                                "and a size for each symbolic (?) one")
            shp = given
        attrs[name] = {
            "idx": idx,
            "shape": shp,
            "layout": lay,
            "rgb2bgr": name in flips,
            "mean": _floats(means[name], "mean", name) if name in means else None,
            "std": _floats(stds[name], "std", name) if name in stds else None,
            "dtype": _elem_dtype(model, name),
        }
    return attrs


def _shape_text(dims) -> str:
    return "[" + ", ".join("?" if d is None else str(d) for d in dims) + "]"


def sample_lines(dataset: str) -> list:
    """Line number of each sample of a calibration list, in the order
    ``get_input_paths`` returns the samples (blank and ``#`` lines skipped)."""
    with open(dataset, "r", encoding="utf-8") as fh:
        return [n for n, line in enumerate(fh, start=1)
                if line.strip() and not line.strip().startswith("#")]


def check_sample_kind(arr: np.ndarray, dtype: str):
    """Why the array of a calibration file cannot feed an input of ``dtype``, or None."""
    want = np.dtype(dtype)
    kind = np.asarray(arr).dtype.kind
    if kind in _ACCEPTED_KINDS[want.kind]:
        return None
    return f"it holds {_KIND_NAMES.get(kind, arr.dtype.name)} ({arr.dtype}), not values for a {want} input"


def check_sample_values(y: np.ndarray, dtype: str):
    """Why preprocessed values ``y`` (float64) do not fit ``dtype``, or None."""
    want = np.dtype(dtype)
    if want.kind == "b":
        return None
    finite = np.isfinite(y)
    if not finite.all():
        return f"{int(y.size - finite.sum())} value(s) are NaN or infinite after preprocessing"
    info = np.finfo(want) if want.kind == "f" else np.iinfo(want)
    lo, hi = float(y.min(initial=0.0)), float(y.max(initial=0.0))
    if lo < info.min or hi > info.max:
        return (f"after preprocessing its values reach {lo if lo < info.min else hi:.3g}, "
                f"outside the range of {want} ({float(info.min):.3g} to {float(info.max):.3g})")
    return None


def load_calibration(dataset: str, attrs: dict, dims: dict | None = None) -> tuple[list, dict]:
    """Load and check every calibration sample.

    Returns ``(paths, feeds)``: the sample list and {input: SampleList of one
    array per sample}. Samples of one input may differ in size along the
    input's symbolic dims (sentences of their own length). Every problem is a
    ``UserError`` naming the file, its line in the list and the input:
    unreadable files, arrays of the wrong kind or shape, values that are not
    finite or do not fit the input's dtype after preprocessing. ``dims``
    ({input: the model's dims, None where symbolic}) checks the first dim of
    samples that hold a whole input (a fixed batch, a sequence-first input).
    """
    from .api.mivra_utils import get_input_paths
    from .engine.samples import SampleList

    try:
        paths = get_input_paths(dataset)
        lines = sample_lines(dataset)
    except (OSError, ValueError) as e:
        raise UserError(f"calibration list {dataset}", first_line(e),
                        "fix the list: one line per sample, one existing file per model input") from None
    names = list(attrs)
    if not paths:
        raise UserError(f"calibration list {dataset}", "holds no samples",
                        "list at least one sample file per line")
    if len(paths[0]) != len(names):
        raise UserError(f"calibration list {dataset}", f"gives {len(paths[0])} path(s) per sample, "
                        f"but the model has {len(names)} input(s): {', '.join(names)}",
                        "give one path per model input on every line, in input order")
    assert len(lines) == len(paths)
    feeds = {name: SampleList() for name in names}
    for sample, line in zip(paths, lines):
        for name in names:
            feeds[name].append(_load_sample(sample[attrs[name]["idx"]], f"line {line} of {dataset}",
                                            name, attrs[name], (dims or {}).get(name)))
    return paths, feeds


def _load_sample(path: str, where: str, name: str, a: dict, dims=None) -> np.ndarray:
    """One preprocessed sample of input ``name`` as the quantizer will see it."""
    from .api.mivra_utils import get_input_img, preprocess_input

    what = f"calibration file {path} ({where}, input {name})"
    whole = _whole_input(path, a)
    try:
        img = whole if whole is not None else get_input_img(path, "nchw", a["shape"], a["layout"],
                                                            a["rgb2bgr"])
    except (OSError, ValueError) as e:
        raise UserError(what, first_line(e), "give a readable .npy or image file of the input's shape") from None
    why = check_sample_kind(img, a["dtype"])
    if why:
        raise UserError(what, why, f"save the sample as a real-valued {a['dtype']} array")
    try:
        with np.errstate(all="ignore"):
            if whole is None:
                y = preprocess_input(img, a["layout"], a["mean"], a["std"], "float64")
            else:
                y = _normalised(whole, a)
            why = check_sample_values(y, a["dtype"])
            x = None if why else y.astype(np.dtype(a["dtype"]))   # the same float64 values, cast once
    except ValueError as e:
        why = first_line(e)
    if why:
        raise UserError(what, why, "check the file and the --mean/--std values")
    want = a["shape"] if whole is None or not dims else [dims[0]] + list(a["shape"][1:])
    if x.ndim != len(want) or any(d is not None and d != g for d, g in zip(want, x.shape)):
        raise UserError(what, f"gives shape {list(x.shape)}, but the model expects "
                        f"{_shape_text(want)}", "give a sample of the input's shape")
    return x


def _whole_input(path: str, a: dict) -> np.ndarray | None:
    """The array of a .npy file that holds a whole input whose first dim is not a
    batch of 1 (a fixed batch, a sequence-first or features-first input), else
    None: such arrays are fed as they are, whatever their first dim means."""
    if not path.lower().endswith(".npy") or not a["shape"]:
        return None
    try:
        arr = np.load(path, allow_pickle=False, mmap_mode="r")
    except (OSError, ValueError):
        return None                 # get_input_img reports it
    if arr.ndim != len(a["shape"]) or arr.shape[0] == 1 and a["shape"][0] in (1, None):
        return None
    return np.array(arr)


def _normalised(x: np.ndarray, a: dict) -> np.ndarray:
    """(x - mean) / std in float64 along the channel axis of a whole input (axis 1
    for nchw, the last for nhwc), as preprocess_input does for one sample."""
    y = x.astype(np.float64)
    axis = -1 if a["layout"] == "nhwc" else min(1, y.ndim - 1)
    for values, op in ((a["mean"], np.subtract), (a["std"], np.divide)):
        if values is None:
            continue
        v = np.asarray(values, dtype=np.float64)
        if v.size not in (1, y.shape[axis] if y.ndim else 1):
            raise ValueError(f"{'mean' if op is np.subtract else 'std'} has {v.size} values but "
                             f"the input has {y.shape[axis]} channels")
        shape = [1] * y.ndim
        if v.size > 1:
            shape[axis] = v.size
        y = op(y, v.reshape(shape))
    return y
