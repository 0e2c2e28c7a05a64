"""Small real ONNX models, calibration data and reference runners for tests.

Importable helpers (``from onnx_models import ...`` with ``tests/`` on the
path, which pytest arranges through ``tests/conftest.py``):

Model builders (all return a checked ``onnx.ModelProto`` with float32 data,
deterministic weights for a given ``seed``, and the opset / ir_version asked
for):

* ``make_cnn_model``       input -> Conv -> Relu -> grouped Conv -> Add (skip)
                           -> Conv 1x1 (no bias) -> MaxPool -> GlobalAveragePool
                           -> Flatten -> Gemm
* ``make_two_input_model`` two model inputs ("image" from PNG files, "aux" from
                           .npy files); "aux" is read by two layers
* ``make_split_model``     a Split layer with two outputs, both consumed
* ``make_no_conv_model``   no Conv node at all

Calibration and tables:

* ``write_calibration(model, folder, ...)`` writes PNG / .npy samples and the
  list file, and returns the ``param`` dict of the quantization driver.
* ``make_quant_tab(model, ...)`` one entry per Conv weight (grouped ones too).

References:

* ``load_model_inputs(ir, param)`` loads the calibration set of every model
  input exactly as the driver does.
* ``run_layer_by_layer(ir, param)`` pushes the calibration set through the
  single-node layers of ``ir`` the way the driver does (dropping tensors as
  ``can_frees`` says) and returns every tensor that was computed.
* ``run_whole_model(model, feeds)`` runs the whole model in onnxruntime with
  every node output exposed as a graph output.
"""
from __future__ import annotations

import os

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

#: ir_version an exporter of that era writes for the given default-domain opset.
IR_FOR_OPSET = {7: 3, 9: 4, 10: 5, 11: 6, 12: 7, 13: 7, 14: 7, 15: 8, 16: 8,
                17: 8, 18: 8, 19: 9, 20: 9, 21: 10}


def ir_for_opset(opset: int) -> int:
    """ir_version matching ``opset`` (the newest one not above it)."""
    known = [k for k in IR_FOR_OPSET if k <= opset]
    return IR_FOR_OPSET[max(known)] if known else 3


def _rng(seed):
    return np.random.default_rng(seed)


def _init(name, array):
    return numpy_helper.from_array(np.asarray(array), name)


def _f32(rng, *shape, scale=0.3):
    return (rng.standard_normal(shape) * scale).astype(np.float32)


def finish_model(nodes, inputs, outputs, initializers, opset=13, ir_version=None,
                 name="model", check=True):
    """Assemble a model with the default-domain ``opset`` and check it."""
    graph = helper.make_graph(nodes, name, inputs, outputs, initializer=initializers)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", opset)],
                              producer_name="mivra-tests")
    model.ir_version = ir_version if ir_version is not None else ir_for_opset(opset)
    if check:
        onnx.checker.check_model(model)
    return model


def _tvi(name, shape, elem=TensorProto.FLOAT):
    return helper.make_tensor_value_info(name, elem, shape)


def make_cnn_model(opset=13, seed=0, channels=3, size=8, hidden=8, classes=5,
                   batch=1):
    """Conv -> Relu -> grouped Conv -> Add(skip) -> Conv1x1 -> pools -> Gemm.

    Input "input" (batch, channels, size, size); output "logits" (batch, classes).
    Weights: "conv1.weight"/"conv1.bias" (3x3, pad 1), "conv2.weight"/"conv2.bias"
    (3x3, pad 1, group 2), "conv3.weight" (1x1, stride 1, no bias), "fc.weight",
    "fc.bias".
    """
    rng = _rng(seed)
    inits = [
        _init("conv1.weight", _f32(rng, hidden, channels, 3, 3)),
        _init("conv1.bias", _f32(rng, hidden, scale=0.1)),
        _init("conv2.weight", _f32(rng, hidden, hidden // 2, 3, 3)),
        _init("conv2.bias", _f32(rng, hidden, scale=0.1)),
        _init("conv3.weight", _f32(rng, hidden, hidden, 1, 1)),
        _init("fc.weight", _f32(rng, classes, hidden)),
        _init("fc.bias", _f32(rng, classes, scale=0.1)),
    ]
    nodes = [
        helper.make_node("Conv", ["input", "conv1.weight", "conv1.bias"], ["conv1"],
                         name="conv1", kernel_shape=[3, 3], pads=[1, 1, 1, 1]),
        helper.make_node("Relu", ["conv1"], ["relu1"], name="relu1"),
        helper.make_node("Conv", ["relu1", "conv2.weight", "conv2.bias"], ["conv2"],
                         name="conv2", kernel_shape=[3, 3], pads=[1, 1, 1, 1], group=2),
        helper.make_node("Add", ["conv2", "relu1"], ["add1"], name="add1"),
        helper.make_node("Conv", ["add1", "conv3.weight"], ["conv3"], name="conv3",
                         kernel_shape=[1, 1], strides=[1, 1]),
        helper.make_node("MaxPool", ["conv3"], ["pool1"], name="pool1",
                         kernel_shape=[2, 2], strides=[2, 2]),
        helper.make_node("GlobalAveragePool", ["pool1"], ["gap"], name="gap"),
        helper.make_node("Flatten", ["gap"], ["flat"], name="flat", axis=1),
        helper.make_node("Gemm", ["flat", "fc.weight", "fc.bias"], ["logits"],
                         name="fc", transB=1),
    ]
    return finish_model(nodes, [_tvi("input", [batch, channels, size, size])],
                        [_tvi("logits", [batch, classes])], inits, opset=opset,
                        name="cnn")


def make_two_input_model(opset=13, seed=1, size=8):
    """Two model inputs: "image" (1,3,H,W) and "aux" (1,4,H,W).

    image -> Conv(3->4) -> Add(aux) -> Relu -> Concat(relu, aux) -> Conv(8->4)
    -> "out". "aux" is read by two layers (Add and Concat).
    """
    rng = _rng(seed)
    inits = [
        _init("c1.weight", _f32(rng, 4, 3, 3, 3)),
        _init("c1.bias", _f32(rng, 4, scale=0.1)),
        _init("c2.weight", _f32(rng, 4, 8, 3, 3)),
        _init("c2.bias", _f32(rng, 4, scale=0.1)),
    ]
    nodes = [
        helper.make_node("Conv", ["image", "c1.weight", "c1.bias"], ["c1"], name="c1",
                         kernel_shape=[3, 3], pads=[1, 1, 1, 1]),
        helper.make_node("Add", ["c1", "aux"], ["sum"], name="sum"),
        helper.make_node("Relu", ["sum"], ["act"], name="act"),
        helper.make_node("Concat", ["act", "aux"], ["cat"], name="cat", axis=1),
        helper.make_node("Conv", ["cat", "c2.weight", "c2.bias"], ["out"], name="c2",
                         kernel_shape=[3, 3], pads=[1, 1, 1, 1]),
    ]
    return finish_model(nodes, [_tvi("image", [1, 3, size, size]),
                                _tvi("aux", [1, 4, size, size])],
                        [_tvi("out", [1, 4, size, size])], inits, opset=opset,
                        name="two_inputs")


def make_split_model(opset=13, seed=2, size=8):
    """input -> Conv(3->8) -> Split(axis 1, [4, 4]) -> (Conv on half a,
    Sigmoid on half b) -> Mul -> "out". The Split layer has two outputs.

    The split sizes are an attribute before opset 13 and an input from 13 on.
    """
    rng = _rng(seed)
    inits = [
        _init("c1.weight", _f32(rng, 8, 3, 3, 3)),
        _init("c1.bias", _f32(rng, 8, scale=0.1)),
        _init("c2.weight", _f32(rng, 4, 4, 3, 3)),
        _init("c2.bias", _f32(rng, 4, scale=0.1)),
    ]
    if opset >= 13:
        inits.append(_init("split_sizes", np.array([4, 4], np.int64)))
        split = helper.make_node("Split", ["c1", "split_sizes"], ["half_a", "half_b"],
                                 name="split", axis=1)
    else:
        split = helper.make_node("Split", ["c1"], ["half_a", "half_b"], name="split",
                                 axis=1, split=[4, 4])
    nodes = [
        helper.make_node("Conv", ["input", "c1.weight", "c1.bias"], ["c1"], name="c1",
                         kernel_shape=[3, 3], pads=[1, 1, 1, 1]),
        split,
        helper.make_node("Conv", ["half_a", "c2.weight", "c2.bias"], ["c2"], name="c2",
                         kernel_shape=[3, 3], pads=[1, 1, 1, 1]),
        helper.make_node("Sigmoid", ["half_b"], ["gate"], name="gate"),
        helper.make_node("Mul", ["c2", "gate"], ["out"], name="mul"),
    ]
    return finish_model(nodes, [_tvi("input", [1, 3, size, size])],
                        [_tvi("out", [1, 4, size, size])], inits, opset=opset,
                        name="split")


def make_no_conv_model(opset=13, seed=3, size=8, classes=4):
    """No Conv: input -> Relu -> MaxPool -> Flatten -> MatMul -> Add -> "out"."""
    rng = _rng(seed)
    feat = 3 * (size // 2) * (size // 2)
    inits = [_init("fc.weight", _f32(rng, feat, classes)),
             _init("fc.bias", _f32(rng, classes, scale=0.1))]
    nodes = [
        helper.make_node("Relu", ["input"], ["r"], name="r"),
        helper.make_node("MaxPool", ["r"], ["p"], name="p", kernel_shape=[2, 2],
                         strides=[2, 2]),
        helper.make_node("Flatten", ["p"], ["f"], name="f", axis=1),
        helper.make_node("MatMul", ["f", "fc.weight"], ["mm"], name="mm"),
        helper.make_node("Add", ["mm", "fc.bias"], ["out"], name="bias_add"),
    ]
    return finish_model(nodes, [_tvi("input", [1, 3, size, size])],
                        [_tvi("out", [1, classes])], inits, opset=opset,
                        name="no_conv")


# ----------------------------------------------------------------------------
# Calibration data and quantization tables
# ----------------------------------------------------------------------------

def model_input_infos(model):
    """[(name, shape list)] of the model inputs that are not initializers.

    Symbolic or unknown dims are returned as None.
    """
    init = {t.name for t in model.graph.initializer}
    out = []
    for vi in model.graph.input:
        if vi.name in init:
            continue
        dims = [d.dim_value if d.HasField("dim_value") else None
                for d in vi.type.tensor_type.shape.dim]
        out.append((vi.name, dims))
    return out


def write_calibration(model, folder, n_samples=3, seed=0, npy_inputs=(),
                      shapes=None, list_name="calib.txt"):
    """Write ``n_samples`` calibration samples and their list file.

    Each 4-D model input with 1 or 3 channels gets PNG images (random pixels;
    mean 127.5 / std 127.5 per channel, so values land in [-1, 1]) unless its
    name is in ``npy_inputs``; every other input gets float32 ``.npy`` files
    holding one sample without the batch axis (mean 0, std 1). ``shapes`` may
    give concrete shapes (with the leading batch of 1) for inputs whose model
    shape has symbolic dims. The list file has a comment line, a blank line and
    relative paths, one line per sample, paths in model-input order.

    Returns the driver's ``param`` dict (``qmethod`` "channel", ``dtype_w``
    "int4").
    """
    from PIL import Image

    shapes = dict(shapes or {})
    rng = _rng(seed)
    os.makedirs(folder, exist_ok=True)
    attrs = {}
    rows = [[] for _ in range(n_samples)]
    for idx, (name, dims) in enumerate(model_input_infos(model)):
        shape = list(shapes.get(name, dims))
        if any(d is None for d in shape):
            raise ValueError(f"input {name!r} has symbolic dims {dims}; pass shapes=")
        as_png = len(shape) == 4 and shape[1] in (1, 3) and name not in npy_inputs
        c = shape[1] if len(shape) == 4 else 1
        for si in range(n_samples):
            safe = name.replace("/", "_").replace(":", "_")
            if as_png:
                h, w = shape[2], shape[3]
                pix = rng.integers(0, 256, size=(h, w, c), dtype=np.uint8)
                img = Image.fromarray(pix[:, :, 0] if c == 1 else pix,
                                      mode="L" if c == 1 else "RGB")
                rel = os.path.join("images", f"{safe}_{si}.png")
                os.makedirs(os.path.join(folder, "images"), exist_ok=True)
                img.save(os.path.join(folder, rel))
            else:
                arr = rng.standard_normal(shape[1:]).astype(np.float32)
                rel = f"{safe}_{si}.npy"
                np.save(os.path.join(folder, rel), arr)
            rows[si].append(rel)
        attrs[name] = {
            "idx": idx, "shape": shape, "layout": "nchw", "rgb2bgr": False,
            "mean": [127.5] * c if as_png else [0.0] * c,
            "std": [127.5] * c if as_png else [1.0] * c,
            "dtype": "float32",
        }
    list_path = os.path.join(folder, list_name)
    with open(list_path, "w") as fh:
        fh.write("# calibration samples: one line per sample, one path per input\n\n")
        for row in rows:
            fh.write(" ".join(row) + "\n")
    return {"inputs_meta": {"dataset": list_path, "attrs": attrs},
            "qmethod": "channel", "dtype_w": "int4"}


def conv_weight_names(model):
    """Names of the weight inputs (second input) of every Conv node, in order."""
    return [n.input[1] for n in model.graph.node if n.op_type == "Conv"]


def make_quant_tab(model, qtype="asym", dtype="int4", qmethod="channel"):
    """One quant_tab entry per Conv weight, grouped convolutions included."""
    return {w: {"qtype": qtype, "dtype": dtype, "qmethod": qmethod}
            for w in conv_weight_names(model)}


# ----------------------------------------------------------------------------
# Reference runners
# ----------------------------------------------------------------------------

def load_model_inputs(ir, param):
    """{model input name: (N, *sample shape) array} loaded like the driver."""
    from mivra.api.mivra_utils import get_input_img, get_input_paths, preprocess_input

    meta = param["inputs_meta"]
    paths = get_input_paths(meta["dataset"])
    out = {}
    for name in ir.inputs:
        attr = meta["attrs"][name]
        rows = []
        for sample in paths:
            img = get_input_img(sample[attr["idx"]], "nchw", attr["shape"],
                                attr["layout"], attr["rgb2bgr"])
            rows.append(preprocess_input(img, attr["layout"], attr["mean"],
                                         attr["std"], attr["dtype"]))
        out[name] = np.stack(rows)
    return out


def run_layer_by_layer(ir, param, keep_all=True):
    """Run the calibration set through ``ir``'s single-node layers.

    Mirrors the driver: one ``Session`` per layer, model inputs loaded on first
    use, every sample fed separately, outputs stacked on a leading sample axis,
    and tensors deleted after layer i when ``can_frees[i]`` names them (so a
    tensor freed too early makes a later layer fail with KeyError).

    Returns ``(computed, live)``: ``computed`` maps every tensor that was loaded
    or produced to its (N, ...) array (kept even after it was freed, when
    ``keep_all``), ``live`` is what remained in the working dict at the end.
    """
    from mivra.api.mivra_utils import get_input_img, get_input_paths, preprocess_input
    from mivra.api.session import Session

    work = ir.deepcopy()
    ir_layers, can_frees, _ = work.create_ir_layers()
    meta = param["inputs_meta"]
    paths = get_input_paths(meta["dataset"])
    n = len(paths)
    data, computed = {}, {}
    for il in range(len(ir_layers)):
        layer = ir_layers[il]
        sess = Session(work, layer)
        ir_layers[il] = None
        for inp in sess.get_inputs():
            if inp.name in data or inp.name not in work.inputs:
                continue
            attr = meta["attrs"][inp.name]
            rows = []
            for si in range(n):
                img = get_input_img(paths[si][attr["idx"]], "nchw", attr["shape"],
                                    attr["layout"], attr["rgb2bgr"])
                rows.append(preprocess_input(img, attr["layout"], attr["mean"],
                                             attr["std"], attr["dtype"]))
            data[inp.name] = np.stack(rows)
            computed[inp.name] = data[inp.name]
        outs = [[] for _ in sess.get_outputs()]
        for si in range(n):
            feed = {i.name: data[i.name][si] for i in sess.get_inputs()}
            for k, o in enumerate(sess.run(feed)):
                outs[k].append(o)
        for k, o in enumerate(sess.get_outputs()):
            data[o.name] = np.stack(outs[k])
            if keep_all:
                computed[o.name] = data[o.name]
        for name in can_frees[il]:
            data.pop(name, None)
    return computed, data


def expose_all_outputs(model):
    """Copy of ``model`` whose graph outputs are every node output (typed from
    shape inference where known), in node order, original outputs first."""
    import copy

    m = copy.deepcopy(model)
    try:
        inferred = onnx.shape_inference.infer_shapes(m)
    except Exception:  # pragma: no cover - reference helper
        inferred = m
    types = {vi.name: vi for vi in list(inferred.graph.value_info)
             + list(inferred.graph.output) + list(inferred.graph.input)}
    have = {o.name for o in m.graph.output}
    for node in m.graph.node:
        for name in node.output:
            if name and name not in have:
                vi = types.get(name)
                m.graph.output.append(copy.deepcopy(vi) if vi is not None
                                      else onnx.ValueInfoProto(name=name))
                have.add(name)
    return m


def run_whole_model(model, feeds):
    """Run the whole ``model`` in onnxruntime (CPU, no graph optimisation) on
    every sample of ``feeds`` ({input: (N, ...) array}); every node output is
    exposed. Returns {tensor name: (N, ...) array}."""
    import onnxruntime as ort

    m = expose_all_outputs(model)
    so = ort.SessionOptions()
    so.graph_optimization_level = ort.GraphOptimizationLevel.ORT_DISABLE_ALL
    sess = ort.InferenceSession(m.SerializeToString(), so,
                                providers=["CPUExecutionProvider"])
    names = [o.name for o in sess.get_outputs()]
    n = len(next(iter(feeds.values()))) if feeds else 1
    per = {k: [] for k in names}
    for si in range(n):
        res = sess.run(None, {k: v[si] for k, v in feeds.items()})
        for k, r in zip(names, res):
            per[k].append(r)
    return {k: np.stack(v) for k, v in per.items()}


# ----------------------------------------------------------------------------
# Rewrites into the styles real exporters produce
# ----------------------------------------------------------------------------

def weights_as_constants(model, styles=("constant", "identity", "cast")):
    """Copy of ``model`` whose initializers are produced by nodes instead.

    Initializer k (in stored order) gets style ``styles[k % len(styles)]``:
    "constant" a ``Constant`` node with the tensor as its ``value``;
    "identity" ``Constant -> Identity``; "cast" a float64 ``Constant -> Cast``
    back to the original float type (float tensors only, others fall back to
    "constant"). The nodes are put first, so the graph stays sorted; the
    tensors keep their names, so the model computes the same values. Graph
    inputs naming initializers are removed.
    """
    import copy

    m = copy.deepcopy(model)
    g = m.graph
    nodes = []
    for k, t in enumerate(g.initializer):
        style = styles[k % len(styles)]
        arr = numpy_helper.to_array(t)
        if style == "cast" and arr.dtype in (np.float32, np.float16):
            src = numpy_helper.from_array(arr.astype(np.float64), t.name + "__f64")
            nodes.append(helper.make_node("Constant", [], [src.name], value=src))
            nodes.append(helper.make_node("Cast", [src.name], [t.name],
                                          to=t.data_type))
        elif style == "identity":
            src = copy.deepcopy(t)
            src.name = t.name + "__const"
            nodes.append(helper.make_node("Constant", [], [src.name], value=src))
            nodes.append(helper.make_node("Identity", [src.name], [t.name]))
        else:
            nodes.append(helper.make_node("Constant", [], [t.name], value=t))
    names = {t.name for t in g.initializer}
    rest = list(g.node)
    inputs = [vi for vi in g.input if vi.name not in names]
    del g.node[:], g.initializer[:], g.input[:]
    g.node.extend(nodes + rest)
    g.input.extend(inputs)
    if m.ir_version < 4:
        m.ir_version = 4  # Constant-produced weights need no input entries
    return m


def initializers_as_inputs(model):
    """Copy of ``model`` listing every initializer as a graph input too, the
    way exporters for IR version 3 did."""
    import copy

    m = copy.deepcopy(model)
    listed = {vi.name for vi in m.graph.input}
    for t in m.graph.initializer:
        if t.name not in listed:
            m.graph.input.append(helper.make_tensor_value_info(t.name, t.data_type,
                                                               list(t.dims)))
    return m


def with_symbolic_dims(model, dims):
    """Copy of ``model`` whose inputs get the dims in ``dims``
    ({input: [dim, ...]}, str entries symbolic) and whose outputs and
    value_info lose their sizes (outputs keep their rank with fresh symbolic
    dims; the rest is left to shape inference)."""
    import copy

    m = copy.deepcopy(model)
    for vi in m.graph.input:
        if vi.name in dims:
            shape = vi.type.tensor_type.shape
            del shape.dim[:]
            for d in dims[vi.name]:
                dim = shape.dim.add()
                if isinstance(d, str):
                    dim.dim_param = d
                else:
                    dim.dim_value = d
    for vi in m.graph.output:
        for k, dim in enumerate(vi.type.tensor_type.shape.dim):
            dim.Clear()
            dim.dim_param = f"{vi.name}_d{k}"
    del m.graph.value_info[:]
    return m


def save_with_external_data(model, path, convert_attribute=False):
    """Save ``model`` to ``path`` with every initializer (and, with
    ``convert_attribute``, every tensor attribute such as Constant values) in
    the side file ``<basename>.data``; returns the side file's path."""
    import copy

    m = copy.deepcopy(model)
    loc = os.path.basename(path) + ".data"
    onnx.save_model(m, path, save_as_external_data=True, all_tensors_to_one_file=True,
                    location=loc, size_threshold=0, convert_attribute=convert_attribute)
    return os.path.join(os.path.dirname(path), loc)
