"""Broken inputs for the command line.

A builder (``build``) writes into a fresh folder what one run of ``mivra-gdq quantize
m.onnx --dataset cal.txt`` reads: the model ``m.onnx`` (a tiny two-Conv model with a
(1, 3, 4, 4) input "x", unless the case replaces it), two float32 .npy samples and the
list ``cal.txt`` naming them -- with the one thing the case breaks.
"""
import os
import stat
from pathlib import Path

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

from onnx_models import _tvi, finish_model

SHAPE = (3, 4, 4)          # one sample of input "x", without the batch axis
N = helper.make_node


def tiny_model(width=4):
    """x (1, 3, 4, width) -> c1 (3x3, pad 1, bias) -> Relu -> c2 (1x1) -> "y"; width
    None makes the last dim symbolic."""
    rng = np.random.default_rng(0)
    inits = [numpy_helper.from_array(rng.standard_normal(s).astype(np.float32), n)
             for n, s in [("w1", (4, 3, 3, 3)), ("b1", (4,)), ("w2", (4, 4, 1, 1))]]
    nodes = [N("Conv", ["x", "w1", "b1"], ["c1"], name="c1", kernel_shape=[3, 3], pads=[1, 1, 1, 1]),
             N("Relu", ["c1"], ["r"], name="relu"), N("Conv", ["r", "w2"], ["y"], name="c2", kernel_shape=[1, 1])]
    return finish_model(nodes, [_tvi("x", [1, 3, 4, width or "W"])], [_tvi("y", [1, 4, 4, width or "W"])], inits)


def sample(fill=None, dtype=np.float32, shape=SHAPE):
    """A sample array of ``shape`` filled with ``fill`` (random when None)."""
    return (np.random.default_rng(2).standard_normal(shape) if fill is None else np.full(shape, fill)).astype(dtype)


def write(d, model=None, samples=None, listing=None):
    """Write m.onnx (a ModelProto or raw bytes; default ``tiny_model()``), the samples
    (arrays saved as s0.npy, s1.npy, ...; (name, bytes) pairs as given; default two random
    ones) and cal.txt (``listing``, default a comment and one sample per line)."""
    model = tiny_model() if model is None else model
    (d / "m.onnx").write_bytes(model if isinstance(model, bytes) else model.SerializeToString())
    if samples is None:
        samples = list(np.random.default_rng(1).standard_normal((2,) + SHAPE).astype(np.float32))
    names = [s[0] if isinstance(s, tuple) else f"s{i}.npy" for i, s in enumerate(samples)]
    for name, s in zip(names, samples):
        if isinstance(s, tuple):
            (d / name).write_bytes(s[1])
        else:
            np.save(d / name, s, allow_pickle=True)
    listing = "# calibration\n" + "".join(n + "\n" for n in names) if listing is None else listing
    (d / "cal.txt").write_bytes(listing if isinstance(listing, bytes) else listing.encode())


def build(*changes, width=4, then=None, **files):
    """Builder of a case: the tiny model (``width``) changed in place by each of ``changes``,
    written with ``files`` (what ``write`` takes, ``model`` included), then ``then(d)``."""
    def run(d):
        m = tiny_model(width)
        for change in changes:
            change(m)
        write(d, **{"model": m, **files})
        if then:
            then(d)
    return run


def to_folder(name):
    return lambda d: (os.remove(d / name), (d / name).mkdir())


def external_data(keep=True, size=None):
    """m.onnx saved again with its weights in m.onnx.data (removed unless ``keep``; cut or
    extended to ``size`` bytes when given)."""
    def act(d):
        onnx.save_model(tiny_model(), str(d / "m.onnx"), save_as_external_data=True, location="m.onnx.data",
                        size_threshold=0)
        if not keep:
            os.remove(d / "m.onnx.data")
        elif size is not None:
            os.truncate(d / "m.onnx.data", size)
    return act


# model changes

def set_value(name, index, value):
    """Put ``value`` at ``index`` of initializer ``name``."""
    def change(m):
        t = next(t for t in m.graph.initializer if t.name == name)
        a = numpy_helper.to_array(t).copy()
        a[index] = value
        t.CopyFrom(numpy_helper.from_array(a, name))
    return change


def data_size(name, n, field="raw_data"):
    """Initializer ``name`` holding ``n`` bytes of raw data (its own bytes, cut or repeated),
    or ``n`` values in the typed ``field`` (e.g. float_data) instead."""
    def change(m):
        t = next(t for t in m.graph.initializer if t.name == name)
        a = numpy_helper.to_array(t).ravel()
        t.ClearField("raw_data")
        if field == "raw_data":
            t.raw_data = (a.tobytes() * (n // a.nbytes + 1))[:n]
        else:
            getattr(t, field).extend(np.resize(a, n).tolist())
    return change


def set_input(node, k, name):
    return lambda m: m.graph.node[node].input.__setitem__(k, name)


def auto_pad(m):
    a = m.graph.node[0].attribute
    a.remove(next(x for x in a if x.name == "pads"))
    a.append(helper.make_attribute("auto_pad", "SAME_UPPER"))


def float16(m):
    for t in m.graph.initializer:
        t.CopyFrom(numpy_helper.from_array(numpy_helper.to_array(t).astype(np.float16), t.name))
    for vi in list(m.graph.input) + list(m.graph.output):
        vi.type.tensor_type.elem_type = TensorProto.FLOAT16


def computed_weight(m):
    """c1's weight is w1 times a runtime tensor derived from x."""
    m.graph.node[0].input[1] = "w1x"
    m.graph.node.insert(0, N("Mul", ["w1", "xmax"], ["w1x"]))
    m.graph.node.insert(0, N("ReduceMax", ["x"], ["xmax"], keepdims=0))


def if_node(m):
    """The output passes through an If whose condition is computed from the data."""
    branch = lambda op, out: helper.make_graph([N(op, ["y0"], [out])], out, [], [_tvi(out, [1, 4, 4, 4])])
    m.graph.node[-1].output[0] = "y0"
    m.graph.node.extend([N("ReduceMax", ["y0"], ["mx"], keepdims=0), N("Greater", ["mx", "zero"], ["cond"]),
                         N("If", ["cond"], ["y"], name="branch", then_branch=branch("Identity", "t"),
                           else_branch=branch("Neg", "e"))])
    m.graph.initializer.append(numpy_helper.from_array(np.array(0, np.float32), "zero"))


def custom_op(m):
    m.graph.node[1].op_type, m.graph.node[1].domain = "Mystery", "my.domain"
    m.opset_import.append(helper.make_opsetid("my.domain", 1))


def gemm_head(m):
    """y (1, 4, 4, 4) -> Flatten -> Gemm "fc" (weight fc.w, bias fc.b) -> "logits"."""
    rng = np.random.default_rng(3)
    m.graph.node.extend([N("Flatten", ["y"], ["flat"], name="flatten"),
                         N("Gemm", ["flat", "fc.w", "fc.b"], ["logits"], name="fc", transB=1)])
    m.graph.initializer.extend(numpy_helper.from_array(rng.standard_normal(s).astype(np.float32), n)
                               for n, s in [("fc.w", (5, 64)), ("fc.b", (5,))])
    m.graph.output[0].CopyFrom(_tvi("logits", [1, 5]))


def fixed_reshape(m):
    """A Reshape to (1, 64) at the end: with a symbolic width, it fits only width 4."""
    m.graph.node[-1].output[0] = "y0"
    m.graph.node.append(N("Reshape", ["y0", "target"], ["y"], name="flatten"))
    m.graph.initializer.append(numpy_helper.from_array(np.array([1, 64], np.int64), "target"))
    m.graph.output[0].CopyFrom(_tvi("y", [1, 64]))


def conv1d_model():
    node = N("Conv", ["x", "w"], ["y"], name="conv1d", kernel_shape=[3], pads=[1, 1])
    return finish_model([node], [_tvi("x", [1, 3, 4])], [_tvi("y", [1, 2, 4])],
                        [numpy_helper.from_array(np.ones((2, 3, 3), np.float32), "w")])


def unwritable_folder(d):
    """A folder this process cannot create files in: a read-only folder of ``d``,
    or, for a user whom permissions do not stop, /sys; None when there is none."""
    ro = d / "ro"
    ro.mkdir(exist_ok=True)
    ro.chmod(0o555)
    for folder in (ro, "/sys"):
        try:
            open(os.path.join(folder, ".probe"), "w").close()
            os.remove(os.path.join(folder, ".probe"))
        except OSError:
            return str(folder)
    return None


def snapshot(d) -> dict:
    """Every path under ``d`` with its bytes (None for folders, the target for links,
    the file type for anything else)."""
    out = {}
    for root, dirs, files in os.walk(d):
        out.update({os.path.relpath(os.path.join(root, n), d): None for n in dirs})
        for name in files:
            p = os.path.join(root, name)
            out[os.path.relpath(p, d)] = os.readlink(p) if os.path.islink(p) else \
                Path(p).read_bytes() if os.path.isfile(p) else stat.S_IFMT(os.lstat(p).st_mode)
    return out
