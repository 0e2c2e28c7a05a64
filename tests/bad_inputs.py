"""Broken inputs for the command line, one small builder per kind.

A builder writes into a fresh folder what one run of ``mivra-gdq quantize
m.onnx --dataset cal.txt`` reads: the model ``m.onnx`` (a tiny two-Conv model
with a (1, 3, 4, 4) input "x", unless the case replaces it), two float32 .npy
samples and the list ``cal.txt`` naming them -- with the one thing the case
breaks.
"""
from __future__ import annotations

import os
import stat

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

from onnx_models import _tvi, finish_model

SHAPE = (3, 4, 4)          # one sample of input "x", without the batch axis


def tiny_model(width=4):
    """x (1, 3, 4, width) -> c1 (3x3, pad 1, bias) -> Relu -> c2 (1x1) -> "y"; width
    None makes the last dim symbolic."""
    rng = np.random.default_rng(0)
    inits = [numpy_helper.from_array(rng.standard_normal((4, 3, 3, 3)).astype(np.float32), "w1"),
             numpy_helper.from_array(rng.standard_normal(4).astype(np.float32), "b1"),
             numpy_helper.from_array(rng.standard_normal((4, 4, 1, 1)).astype(np.float32), "w2")]
    nodes = [helper.make_node("Conv", ["x", "w1", "b1"], ["c1"], name="c1", kernel_shape=[3, 3],
                              pads=[1, 1, 1, 1]),
             helper.make_node("Relu", ["c1"], ["r"], name="relu"),
             helper.make_node("Conv", ["r", "w2"], ["y"], name="c2", kernel_shape=[1, 1])]
    w = width or "W"
    return finish_model(nodes, [_tvi("x", [1, 3, 4, w])], [_tvi("y", [1, 4, 4, w])], inits)


def write(d, model=None, samples=None, listing=None):
    """Write m.onnx (``model``: a ModelProto or raw bytes; default ``tiny_model()``),
    the samples (arrays saved as s0.npy, s1.npy, ...; raw bytes saved as given) and
    cal.txt (``listing``, default one sample per line)."""
    model = tiny_model() if model is None else model
    data = model if isinstance(model, bytes) else model.SerializeToString()
    (d / "m.onnx").write_bytes(data)
    if samples is None:
        rng = np.random.default_rng(1)
        samples = [rng.standard_normal(SHAPE).astype(np.float32) for _ in range(2)]
    names = []
    for i, s in enumerate(samples):
        name = s[0] if isinstance(s, tuple) else f"s{i}.npy"
        body = s[1] if isinstance(s, tuple) else s
        if isinstance(body, bytes):
            (d / name).write_bytes(body)
        else:
            np.save(d / name, body, allow_pickle=True)
        names.append(name)
    if listing is None:
        listing = "# calibration\n" + "".join(n + "\n" for n in names)
    (d / "cal.txt").write_bytes(listing if isinstance(listing, bytes) else listing.encode())


def good(d):
    write(d)


# builders of the good case plus one file or folder

def folder(name):
    return lambda d: (write(d), (d / name).mkdir(parents=True))


def file(name, text="old"):
    return lambda d: (write(d), (d / name).write_text(text))


def symlink(name, target):
    return lambda d: (write(d), (d / name).symlink_to(target))


def no_file(name):
    return lambda d: (write(d), os.remove(d / name))


def with_model(*changes):
    """Builder of the tiny model changed in place by each of ``changes`` in turn."""
    def build(d):
        m = tiny_model()
        for change in changes:
            change(m)
        write(d, m)
    return build


def with_samples(*arrays):
    return lambda d: write(d, samples=list(arrays))


def with_listing(text):
    return lambda d: write(d, listing=text)


def sample(fill=None, dtype=np.float32, shape=SHAPE):
    """A sample array of ``shape`` filled with ``fill`` (random when None)."""
    a = np.random.default_rng(2).standard_normal(shape) if fill is None else np.full(shape, fill)
    return a.astype(dtype)


# model changes

def set_value(name, index, value):
    """Put ``value`` at ``index`` of initializer ``name``."""
    def change(m):
        t = next(t for t in m.graph.initializer if t.name == name)
        a = numpy_helper.to_array(t).copy()
        a[index] = value
        t.CopyFrom(numpy_helper.from_array(a, name))
    return change


def scale_weight(name, factor):
    def change(m):
        t = next(t for t in m.graph.initializer if t.name == name)
        t.CopyFrom(numpy_helper.from_array(numpy_helper.to_array(t) * np.float32(factor), name))
    return change


def auto_pad(m):
    conv = m.graph.node[0]
    keep = [a for a in conv.attribute if a.name != "pads"]
    del conv.attribute[:]
    conv.attribute.extend(keep + [helper.make_attribute("auto_pad", "SAME_UPPER")])


def float16(m):
    """The whole model in float16."""
    for t in m.graph.initializer:
        t.CopyFrom(numpy_helper.from_array(numpy_helper.to_array(t).astype(np.float16), t.name))
    for vi in list(m.graph.input) + list(m.graph.output):
        vi.type.tensor_type.elem_type = TensorProto.FLOAT16


def computed_weight(m):
    """c1's weight is w1 times a runtime tensor derived from x."""
    m.graph.node.insert(0, helper.make_node("ReduceMax", ["x"], ["xmax"], keepdims=0))
    m.graph.node.insert(1, helper.make_node("Mul", ["w1", "xmax"], ["w1x"]))
    m.graph.node[2].input[1] = "w1x"


def if_node(m):
    """The output passes through an If whose condition is computed from the data."""
    then_g = helper.make_graph([helper.make_node("Identity", ["y0"], ["t"])], "then", [],
                               [_tvi("t", [1, 4, 4, 4])])
    else_g = helper.make_graph([helper.make_node("Neg", ["y0"], ["e"])], "else", [],
                               [_tvi("e", [1, 4, 4, 4])])
    m.graph.node[-1].output[0] = "y0"
    m.graph.node.extend([helper.make_node("ReduceMax", ["y0"], ["mx"], keepdims=0),
                         helper.make_node("Greater", ["mx", "zero"], ["cond"]),
                         helper.make_node("If", ["cond"], ["y"], name="branch",
                                          then_branch=then_g, else_branch=else_g)])
    m.graph.initializer.append(numpy_helper.from_array(np.array(0, np.float32), "zero"))


def custom_op(m):
    m.graph.node[1].op_type, m.graph.node[1].domain = "Mystery", "my.domain"
    m.opset_import.append(helper.make_opsetid("my.domain", 1))


def dangling_input(m):
    m.graph.node[1].input[0] = "nowhere"


def channel_mismatch(m):
    m.graph.node[2].input[1] = "w1"      # 3 input channels where c1 gives 4


def gemm_head(m):
    """y (1, 4, 4, 4) -> Flatten -> Gemm "fc" (weight fc.w, bias fc.b) -> "logits"."""
    rng = np.random.default_rng(3)
    m.graph.node.extend([helper.make_node("Flatten", ["y"], ["flat"], name="flatten"),
                         helper.make_node("Gemm", ["flat", "fc.w", "fc.b"], ["logits"], name="fc", transB=1)])
    m.graph.initializer.extend([numpy_helper.from_array(rng.standard_normal((5, 64)).astype(np.float32), "fc.w"),
                                numpy_helper.from_array(rng.standard_normal(5).astype(np.float32), "fc.b")])
    del m.graph.output[:]
    m.graph.output.append(_tvi("logits", [1, 5]))


def conv1d_model():
    w = np.ones((2, 3, 3), np.float32)
    node = helper.make_node("Conv", ["x", "w"], ["y"], name="conv1d", kernel_shape=[3], pads=[1, 1])
    return finish_model([node], [_tvi("x", [1, 3, 4])], [_tvi("y", [1, 2, 4])],
                        [numpy_helper.from_array(w, "w")])


def fixed_reshape_model():
    """Symbolic width, but a Reshape whose fixed target only fits width 4."""
    m = tiny_model(width=None)
    m.graph.node[-1].output[0] = "y0"
    m.graph.node.append(helper.make_node("Reshape", ["y0", "target"], ["y"], name="flatten"))
    m.graph.initializer.append(numpy_helper.from_array(np.array([1, 64], np.int64), "target"))
    del m.graph.output[:]
    m.graph.output.append(_tvi("y", [1, 64]))
    return m


def external_data(d, keep=True):
    """The tiny model with its weights in m.onnx.data (removed unless ``keep``)."""
    write(d)
    onnx.save_model(tiny_model(), str(d / "m.onnx"), save_as_external_data=True, location="m.onnx.data",
                    size_threshold=0)
    if not keep:
        os.remove(d / "m.onnx.data")


def symbolic_model(d, shapes):
    write(d, tiny_model(width=None), samples=[sample(shape=s) for s in shapes])


def unwritable_folder(d):
    """A folder this process cannot create files in: a read-only folder of ``d``,
    or, for a user whom permissions do not stop, /sys; None when there is none."""
    ro = d / "ro"
    ro.mkdir(exist_ok=True)
    ro.chmod(0o555)
    for folder in (ro, "/sys"):
        try:
            probe = os.path.join(folder, ".probe")
            with open(probe, "w"):
                pass
            os.remove(probe)
        except OSError:
            return str(folder)
    return None


def snapshot(d) -> dict:
    """Every path under ``d`` with its bytes (None for folders, the target for
    links, the file type for anything else)."""
    out = {}
    for root, dirs, files in os.walk(d):
        for name in dirs:
            out[os.path.relpath(os.path.join(root, name), d)] = None
        for name in files:
            p = os.path.join(root, name)
            if os.path.islink(p):
                out[os.path.relpath(p, d)] = os.readlink(p)
            elif os.path.isfile(p):
                with open(p, "rb") as fh:
                    out[os.path.relpath(p, d)] = fh.read()
            else:
                out[os.path.relpath(p, d)] = stat.S_IFMT(os.lstat(p).st_mode)
    return out
