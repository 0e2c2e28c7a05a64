"""Calibration data: the sample list, loading of one input, preprocessing.

Data flow for one model input of one calibration sample (what the quantizer
does)::

    paths = get_input_paths(dataset)                  # once
    img   = get_input_img(paths[i][idx], "nchw", shape, layout, rgb2bgr)
    x     = preprocess_input(img, layout, mean, std, dtype)   # feeds the input

Conventions:

* ``shape`` is the model input's full shape with its leading batch of 1
  (samples are fed one at a time), written in ``layout``: "nchw" is
  (1, C, H, W), "nhwc" is (1, H, W, C). Inputs of another rank use the
  layout name only to say whether the last axis ("nhwc") or the first axis
  after the batch ("nchw") holds channels; their samples come from .npy files.
* ``get_input_img`` returns one sample WITHOUT the batch axis, in the layout it
  is asked for (its second argument): "nchw" gives (C, H, W), "nhwc" gives
  (H, W, C).
* ``preprocess_input`` takes that channel-first sample (the quantizer always
  asks for "nchw"), normalises it per channel and returns it in the model
  input's ``layout`` with the batch axis of 1 added, ready to be fed.
"""
from __future__ import annotations

import os
from typing import List, Optional, Sequence, Union

import numpy as np

__all__ = ["get_input_paths", "get_input_img", "preprocess_input"]

_LAYOUTS = ("nchw", "nhwc")
_IMAGE_MODES = {1: "L", 3: "RGB", 4: "RGBA"}


def get_input_paths(dataset: str) -> List[List[str]]:
    """Read a calibration list file.

    Format: plain text, one calibration sample per line; a line holds one
    path per model input (the input's ``idx`` selects its column), separated
    by blanks (so paths cannot contain blanks). Blank lines and lines whose
    first non-blank character is ``#`` are skipped. Relative paths are
    resolved against the folder of the list file; ``~`` is expanded.

    Returns a list (one entry per sample, in file order) of lists of absolute
    paths. An empty list (no samples) is returned as ``[]``.

    Raises FileNotFoundError naming the list file when it does not exist, or
    naming a sample file (and its line) that does not exist; ValueError naming
    the line number when a line lists fewer paths than another line.
    """
    dataset = os.fspath(dataset)
    if not os.path.isfile(dataset):
        raise FileNotFoundError(f"calibration list file not found: {dataset}")
    root = os.path.dirname(os.path.abspath(dataset))
    entries = []  # (line number, [paths])
    with open(dataset, "r", encoding="utf-8") as fh:
        for lineno, line in enumerate(fh, start=1):
            text = line.strip()
            if not text or text.startswith("#"):
                continue
            paths = []
            for p in text.split():
                p = os.path.expanduser(p)
                if not os.path.isabs(p):
                    p = os.path.join(root, p)
                paths.append(os.path.normpath(p))
            entries.append((lineno, paths))
    if not entries:
        return []
    widest_line, widest = max(entries, key=lambda e: len(e[1]))
    for lineno, paths in entries:
        if len(paths) < len(widest):
            raise ValueError(
                f"line {lineno} of calibration list {dataset} lists {len(paths)} "
                f"path(s), but line {widest_line} lists {len(widest)}; every line "
                f"needs one path per model input")
    for lineno, paths in entries:
        for p in paths:
            if not os.path.isfile(p):
                raise FileNotFoundError(
                    f"calibration sample file not found: {p} (line {lineno} of {dataset})")
    return [paths for _, paths in entries]


def _check_layout(layout: str, what: str) -> str:
    if layout not in _LAYOUTS:
        raise ValueError(f"{what} must be one of {_LAYOUTS}, got {layout!r}")
    return layout


def _sample_shape(shape: Sequence) -> List[Optional[int]]:
    """``shape`` without its leading batch of 1; symbolic dims become None."""
    dims = [int(d) if isinstance(d, (int, np.integer)) and int(d) > 0 else None
            for d in shape]
    if not dims:
        raise ValueError("input shape must have at least the batch axis, got []")
    if dims[0] not in (1, None):
        raise ValueError(f"input shape {list(shape)} must start with a batch of 1: "
                         f"calibration samples are fed one at a time")
    return dims[1:]


def _to_layout(sample: np.ndarray, src: str, dst: str) -> np.ndarray:
    """Move the channel axis of a (batch-less) sample from ``src`` to ``dst``."""
    if src == dst or sample.ndim < 2:
        return sample
    if src == "nhwc":  # channels last -> first
        return np.ascontiguousarray(np.moveaxis(sample, -1, 0))
    return np.ascontiguousarray(np.moveaxis(sample, 0, -1))


def _check_finite(arr: np.ndarray, path: str) -> None:
    if np.issubdtype(arr.dtype, np.floating) or np.issubdtype(arr.dtype, np.complexfloating):
        if np.isnan(arr).any():
            raise ValueError(f"calibration file {path} contains NaN values")
        if np.isinf(arr).any():
            raise ValueError(f"calibration file {path} contains infinite values")


def _load_image(path: str, dims: List[Optional[int]], layout: str) -> np.ndarray:
    """Decode an image into an (H, W, C) float32 array sized by ``dims``."""
    from PIL import Image, UnidentifiedImageError

    if len(dims) != 3:
        raise ValueError(f"image file {path} cannot feed an input of sample shape "
                         f"{dims}: images need a 4-D input shape (1, C, H, W) or "
                         f"(1, H, W, C)")
    if layout == "nchw":
        c, h, w = dims
    else:
        h, w, c = dims
    if c not in _IMAGE_MODES:
        raise ValueError(f"image file {path} cannot feed an input with {c} channels "
                         f"(supported: 1 grayscale, 3 RGB, 4 RGBA)")
    try:
        with Image.open(path) as im:
            im = im.convert(_IMAGE_MODES[c])
            if h is not None and w is not None and (im.height, im.width) != (h, w):
                im = im.resize((w, h), Image.BILINEAR)
            arr = np.asarray(im, dtype=np.float32)
    except (UnidentifiedImageError, OSError, SyntaxError, ValueError) as exc:
        raise ValueError(f"cannot decode image file {path}: {exc}") from None
    if arr.ndim == 2:
        arr = arr[:, :, None]
    return arr


def get_input_img(path: str, fmt: str, shape: Sequence, layout: str,
                  rgb2bgr: bool = False) -> np.ndarray:
    """Load one calibration sample of one model input.

    Parameters
    ----------
    path:
        A ``.npy`` file or an image Pillow can decode (PNG, JPEG, BMP, ...).
    fmt:
        Layout of the returned sample: "nchw" -> (C, H, W), "nhwc" -> (H, W, C).
    shape:
        The model input's shape with its leading batch of 1, in ``layout``.
    layout:
        "nchw" or "nhwc": the layout of ``shape`` (and of the data in .npy
        files).
    rgb2bgr:
        Reverse the channel order of 3-channel images (RGB -> BGR); .npy data
        are taken as they are.

    Images are converted to RGB (3 channels), grayscale (1 channel) or RGBA
    (4 channels) after the input's channel count, resized bilinearly to the
    input's H x W when they differ, and returned as float32 pixel values in
    [0, 255]. ``.npy`` files (loaded with ``allow_pickle=False``) must hold
    one sample in ``layout``, with or without the leading batch of 1; their
    shape must match ``shape`` (symbolic dims match any size); their dtype is
    kept.

    Raises FileNotFoundError for a missing file, ValueError naming the file
    for an undecodable image or .npy, a shape mismatch, or NaN/inf values.
    """
    _check_layout(fmt, "requested layout")
    _check_layout(layout, "layout")
    path = os.fspath(path)
    if not os.path.isfile(path):
        raise FileNotFoundError(f"calibration sample file not found: {path}")
    dims = _sample_shape(shape)
    if path.lower().endswith(".npy"):
        try:
            arr = np.load(path, allow_pickle=False)
        except Exception as exc:
            raise ValueError(f"cannot read .npy file {path}: {exc}") from None
        got = list(arr.shape)
        if len(got) == len(dims) + 1 and got[0] == 1:
            arr = arr[0]
            got = got[1:]
        if len(got) != len(dims) or any(d is not None and d != g
                                        for d, g in zip(dims, got)):
            raise ValueError(f"calibration file {path} holds an array of shape "
                             f"{tuple(arr.shape)}, which does not match the input "
                             f"shape {list(shape)} (batch of 1 optional)")
        _check_finite(arr, path)
        return _to_layout(np.ascontiguousarray(arr), layout, fmt)
    hwc = _load_image(path, dims, layout)
    if rgb2bgr and hwc.shape[-1] == 3:
        hwc = hwc[:, :, ::-1]
    return _to_layout(np.ascontiguousarray(hwc), "nhwc", fmt)


def _per_channel(value, channels: int, name: str, ndim: int) -> np.ndarray:
    """``value`` (None, scalar or per-channel list) shaped to broadcast over a
    channel-first sample of ``ndim`` axes."""
    if value is None:
        return np.zeros(1) if name == "mean" else np.ones(1)
    arr = np.asarray(value, dtype=np.float64).ravel()
    if arr.size not in (1, channels):
        raise ValueError(f"{name} has {arr.size} values but the input has "
                         f"{channels} channels")
    if arr.size == 1 or ndim == 0:
        return arr.reshape(())
    return arr.reshape((channels,) + (1,) * (ndim - 1))


def preprocess_input(img: np.ndarray, layout: str,
                     mean: Union[None, float, Sequence[float]],
                     std: Union[None, float, Sequence[float]],
                     dtype: str = "float32") -> np.ndarray:
    """Normalise one channel-first sample and shape it for feeding.

    ``img`` is a sample as ``get_input_img(..., "nchw", ...)`` returns it:
    channels on axis 0, no batch axis. The result is
    ``(img - mean[c]) / std[c]`` for every channel c, computed in float64 and
    cast to ``dtype`` (a NumPy dtype name such as "float32"); ``mean`` and
    ``std`` are None (0 and 1), scalars, or one value per channel. The result
    is returned in the model input's ``layout`` ("nhwc" moves channels last)
    with a leading batch axis of 1, e.g. (1, C, H, W) for "nchw".

    Raises ValueError for a zero std, a per-channel list of the wrong length,
    or a result containing NaN.
    """
    _check_layout(layout, "layout")
    x = np.asarray(img)
    channels = x.shape[0] if x.ndim else 1
    m = _per_channel(mean, channels, "mean", x.ndim)
    s = _per_channel(std, channels, "std", x.ndim)
    if np.any(s == 0):
        raise ValueError(f"std must be non-zero, got {std!r}")
    y = (x.astype(np.float64) - m) / s
    if np.isnan(y).any():
        raise ValueError("preprocessed calibration data contain NaN values")
    if layout == "nhwc":
        y = _to_layout(y, "nchw", "nhwc")
    return np.ascontiguousarray(y.astype(np.dtype(dtype))[None])
