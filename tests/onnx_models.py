"""Small ONNX models, calibration data and reference runners shared by the tests.

Builders return a checked float32 ``onnx.ModelProto`` with weights fixed by
``seed``; ``write_calibration`` writes samples plus the driver's ``param`` dict;
``run_whole_model`` is the reference the layer split is compared with; the rest
rewrite a model into exporter styles.
"""
from __future__ import annotations

import copy
import os

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

# ir_version an exporter of that era writes for a default-domain opset.
IR_FOR_OPSET = {7: 3, 9: 4, 10: 5, 11: 6, 12: 7, 15: 8, 19: 9, 21: 10}


def _init(name, array):
    return numpy_helper.from_array(np.asarray(array), name)


def _f32(rng, *shape, scale=0.3):
    return (rng.standard_normal(shape) * scale).astype(np.float32)


def _tvi(name, shape, elem=TensorProto.FLOAT):
    return helper.make_tensor_value_info(name, elem, shape)


def _conv(inputs, out, **attrs):
    return helper.make_node("Conv", inputs, [out], name=out, kernel_shape=[3, 3], pads=[1, 1, 1, 1], **attrs)


def finish_model(nodes, inputs, outputs, initializers, opset=13, ir_version=None, name="model", check=True):
    """Assemble a model with the default-domain ``opset`` and check it."""
    graph = helper.make_graph(nodes, name, inputs, outputs, initializer=initializers)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", opset)],
                              producer_name="mivra-tests")
    if ir_version is None:
        ir_version = IR_FOR_OPSET[max([k for k in IR_FOR_OPSET if k <= opset] or [7])]
    model.ir_version = ir_version
    if check:
        onnx.checker.check_model(model)
    return model


def make_cnn_model(opset=13, seed=0, channels=3, size=8, hidden=8, classes=5, batch=1):
    """input -> conv1 -> Relu -> conv2 (group 2) -> Add(skip) -> conv3 (1x1, no bias)
    -> MaxPool -> GlobalAveragePool -> Flatten -> Gemm "fc" -> "logits"."""
    rng = np.random.default_rng(seed)
    inits = [_init("conv1.weight", _f32(rng, hidden, channels, 3, 3)),
             _init("conv1.bias", _f32(rng, hidden, scale=0.1)),
             _init("conv2.weight", _f32(rng, hidden, hidden // 2, 3, 3)),
             _init("conv2.bias", _f32(rng, hidden, scale=0.1)),
             _init("conv3.weight", _f32(rng, hidden, hidden, 1, 1)),
             _init("fc.weight", _f32(rng, classes, hidden)),
             _init("fc.bias", _f32(rng, classes, scale=0.1))]
    nodes = [
        _conv(["input", "conv1.weight", "conv1.bias"], "conv1"),
        helper.make_node("Relu", ["conv1"], ["relu1"], name="relu1"),
        _conv(["relu1", "conv2.weight", "conv2.bias"], "conv2", group=2),
        helper.make_node("Add", ["conv2", "relu1"], ["add1"], name="add1"),
        helper.make_node("Conv", ["add1", "conv3.weight"], ["conv3"], name="conv3",
                         kernel_shape=[1, 1], strides=[1, 1]),
        helper.make_node("MaxPool", ["conv3"], ["pool1"], name="pool1", kernel_shape=[2, 2],
                         strides=[2, 2]),
        helper.make_node("GlobalAveragePool", ["pool1"], ["gap"], name="gap"),
        helper.make_node("Flatten", ["gap"], ["flat"], name="flat", axis=1),
        helper.make_node("Gemm", ["flat", "fc.weight", "fc.bias"], ["logits"], name="fc",
                         transB=1),
    ]
    return finish_model(nodes, [_tvi("input", [batch, channels, size, size])],
                        [_tvi("logits", [batch, classes])], inits, opset=opset, name="cnn")


def conv_only_model(channels=32, seed=0):
    """Three ungrouped 3x3 convolutions "c0", "c1", "c2" without biases."""
    rng = np.random.default_rng(seed)
    inits, nodes, x = [], [], "input"
    for i in range(3):
        inits.append(_init(f"c{i}.weight", _f32(rng, channels, channels, 3, 3, scale=0.1)))
        nodes.append(_conv([x, f"c{i}.weight"], f"c{i}"))
        x = f"c{i}"
    return finish_model(nodes, [_tvi("input", [1, channels, 6, 6])], [_tvi(x, [1, channels, 6, 6])], inits)


def make_shared_weight_model(seed=5, size=8):
    """One weight and bias, "shared" and "bias", read by two convolutions "ca" and "cb"
    (weight tying): input -> ca -> Relu -> cb -> c3 (own weight) -> "out"."""
    rng = np.random.default_rng(seed)
    inits = [_init("shared", _f32(rng, 4, 4, 3, 3)), _init("bias", _f32(rng, 4, scale=0.1)),
             _init("c3.weight", _f32(rng, 4, 4, 3, 3))]
    nodes = [_conv(["input", "shared", "bias"], "ca"),
             helper.make_node("Relu", ["ca"], ["relu"], name="relu"),
             _conv(["relu", "shared", "bias"], "cb"),
             _conv(["cb", "c3.weight"], "out")]
    return finish_model(nodes, [_tvi("input", [1, 4, size, size])], [_tvi("out", [1, 4, size, size])],
                        inits, name="shared_weight")


def make_ocr_model(seed=6, height=8, hidden=6, classes=5):
    """A captcha recogniser in miniature: a 1 x 1 x H x "image_width" image -> two
    Conv/Relu (MaxPool between) -> Reshape to (1, C*H', W') whose target is computed
    from the activation's shape (Shape -> Gather of a 0-d index -> Unsqueeze -> Concat)
    -> Transpose to (W', 1, C*H') -> LSTM -> Reshape -> Gemm -> "logits" (W', classes)."""
    rng = np.random.default_rng(seed)
    feat = 8 * (height // 2)
    N = helper.make_node
    inits = [_init("c1.weight", _f32(rng, 4, 1, 3, 3)), _init("c1.bias", _f32(rng, 4, scale=0.1)),
             _init("c2.weight", _f32(rng, 8, 4, 3, 3)), _init("c2.bias", _f32(rng, 8, scale=0.1)),
             _init("width_axis", np.array(3, np.int64)), _init("axis0", np.array([0], np.int64)),
             _init("lead", np.array([1, feat], np.int64)), _init("flat_shape", np.array([-1, hidden], np.int64)),
             _init("lstm.W", _f32(rng, 1, 4 * hidden, feat)), _init("lstm.R", _f32(rng, 1, 4 * hidden, hidden)),
             _init("lstm.B", _f32(rng, 1, 8 * hidden, scale=0.1)),
             _init("fc.weight", _f32(rng, classes, hidden)), _init("fc.bias", _f32(rng, classes, scale=0.1))]
    nodes = [_conv(["image", "c1.weight", "c1.bias"], "c1"),
             N("Relu", ["c1"], ["r1"], name="r1"),
             N("MaxPool", ["r1"], ["p1"], name="p1", kernel_shape=[2, 2], strides=[2, 2]),
             _conv(["p1", "c2.weight", "c2.bias"], "c2"),
             N("Relu", ["c2"], ["r2"], name="r2"),
             N("Shape", ["r2"], ["shape"], name="shape"),
             N("Gather", ["shape", "width_axis"], ["width"], name="width", axis=0),     # 0-d
             N("Unsqueeze", ["width", "axis0"], ["width_1d"], name="width_1d"),
             N("Concat", ["lead", "width_1d"], ["target"], name="target", axis=0),
             N("Reshape", ["r2", "target"], ["seq"], name="seq"),
             N("Transpose", ["seq"], ["steps"], name="steps", perm=[2, 0, 1]),
             N("LSTM", ["steps", "lstm.W", "lstm.R", "lstm.B"], ["lstm_y"], name="lstm", hidden_size=hidden),
             N("Reshape", ["lstm_y", "flat_shape"], ["flat"], name="flat"),
             N("Gemm", ["flat", "fc.weight", "fc.bias"], ["logits"], name="fc", transB=1)]
    return finish_model(nodes, [_tvi("image", [1, 1, height, "image_width"])],
                        [_tvi("logits", ["steps", classes])], inits, name="ocr")


def make_two_input_model(opset=13, seed=1, size=8):
    """"image" (1,3,H,W) -> c1 -> Add("aux" (1,4,H,W)) -> Relu -> Concat(., aux) -> c2
    -> "out"; "aux" is read by two layers."""
    rng = np.random.default_rng(seed)
    inits = [_init("c1.weight", _f32(rng, 4, 3, 3, 3)), _init("c1.bias", _f32(rng, 4, scale=0.1)),
             _init("c2.weight", _f32(rng, 4, 8, 3, 3)), _init("c2.bias", _f32(rng, 4, scale=0.1))]
    nodes = [_conv(["image", "c1.weight", "c1.bias"], "c1"),
             helper.make_node("Add", ["c1", "aux"], ["sum"], name="sum"),
             helper.make_node("Relu", ["sum"], ["act"], name="act"),
             helper.make_node("Concat", ["act", "aux"], ["cat"], name="cat", axis=1),
             _conv(["cat", "c2.weight", "c2.bias"], "out")]
    nodes[-1].name = "c2"
    return finish_model(nodes, [_tvi("image", [1, 3, size, size]), _tvi("aux", [1, 4, size, size])],
                        [_tvi("out", [1, 4, size, size])], inits, opset=opset, name="two_inputs")


def make_split_model(opset=13, seed=2, size=8):
    """input -> c1 (3->8) -> Split "split" (axis 1, [4, 4]; sizes an attribute before
    opset 13, an input from 13) -> c2 on "half_a", Sigmoid on "half_b" -> Mul -> "out"."""
    rng = np.random.default_rng(seed)
    inits = [_init("c1.weight", _f32(rng, 8, 3, 3, 3)), _init("c1.bias", _f32(rng, 8, scale=0.1)),
             _init("c2.weight", _f32(rng, 4, 4, 3, 3)), _init("c2.bias", _f32(rng, 4, scale=0.1))]
    if opset >= 13:
        inits.append(_init("split_sizes", np.array([4, 4], np.int64)))
        split = helper.make_node("Split", ["c1", "split_sizes"], ["half_a", "half_b"], name="split", axis=1)
    else:
        split = helper.make_node("Split", ["c1"], ["half_a", "half_b"], name="split", axis=1, split=[4, 4])
    nodes = [_conv(["input", "c1.weight", "c1.bias"], "c1"), split,
             _conv(["half_a", "c2.weight", "c2.bias"], "c2"),
             helper.make_node("Sigmoid", ["half_b"], ["gate"], name="gate"),
             helper.make_node("Mul", ["c2", "gate"], ["out"], name="mul")]
    return finish_model(nodes, [_tvi("input", [1, 3, size, size])],
                        [_tvi("out", [1, 4, size, size])], inits, opset=opset, name="split")


def make_no_conv_model(opset=13, seed=3, size=8, classes=4):
    """No Conv: input -> Relu -> MaxPool -> Flatten -> MatMul -> Add -> "out"."""
    rng = np.random.default_rng(seed)
    feat = 3 * (size // 2) ** 2
    inits = [_init("fc.weight", _f32(rng, feat, classes)), _init("fc.bias", _f32(rng, classes, scale=0.1))]
    nodes = [helper.make_node("Relu", ["input"], ["r"], name="r"),
             helper.make_node("MaxPool", ["r"], ["p"], name="p", kernel_shape=[2, 2], strides=[2, 2]),
             helper.make_node("Flatten", ["p"], ["f"], name="f", axis=1),
             helper.make_node("MatMul", ["f", "fc.weight"], ["mm"], name="mm"),
             helper.make_node("Add", ["mm", "fc.bias"], ["out"], name="bias_add")]
    return finish_model(nodes, [_tvi("input", [1, 3, size, size])], [_tvi("out", [1, classes])],
                        inits, opset=opset, name="no_conv")


def write_calibration(model, folder, n_samples=3, seed=0, npy_inputs=(), shapes=None, list_name="calib.txt"):
    """Write ``n_samples`` samples and their list file; return the driver's ``param``
    (qmethod "channel", dtype_w "int4").

    4-D inputs with 1 or 3 channels get random PNGs (mean = std = 127.5, so values
    land in [-1, 1]) unless named in ``npy_inputs``; others get float32 .npy samples
    without the batch axis (mean 0, std 1). ``shapes`` gives concrete shapes for
    inputs with symbolic dims. The list has a comment line, a blank line, then one
    line of relative paths per sample, in model-input order.
    """
    from PIL import Image

    shapes = dict(shapes or {})
    rng = np.random.default_rng(seed)
    os.makedirs(folder, exist_ok=True)
    inits = {t.name for t in model.graph.initializer}
    attrs, rows = {}, [[] for _ in range(n_samples)]
    inputs = [vi for vi in model.graph.input if vi.name not in inits]
    for idx, vi in enumerate(inputs):
        name = vi.name
        dims = [d.dim_value if d.HasField("dim_value") else None for d in vi.type.tensor_type.shape.dim]
        shape = list(shapes.get(name, dims))
        if None in shape:
            raise ValueError(f"input {name!r} has symbolic dims {dims}; pass shapes=")
        as_png = len(shape) == 4 and shape[1] in (1, 3) and name not in npy_inputs
        c = shape[1] if len(shape) == 4 else 1
        safe = name.replace("/", "_").replace(":", "_")
        for si in range(n_samples):
            if as_png:
                pix = rng.integers(0, 256, size=(shape[2], shape[3], c), dtype=np.uint8)
                rel = os.path.join("images", f"{safe}_{si}.png")
                os.makedirs(os.path.join(folder, "images"), exist_ok=True)
                Image.fromarray(pix[:, :, 0] if c == 1 else pix, mode="L" if c == 1 else "RGB"
                                ).save(os.path.join(folder, rel))
            else:
                rel = f"{safe}_{si}.npy"
                np.save(os.path.join(folder, rel), rng.standard_normal(shape[1:]).astype(np.float32))
            rows[si].append(rel)
        norm = 127.5 if as_png else None
        attrs[name] = {"idx": idx, "shape": shape, "layout": "nchw", "rgb2bgr": False,
                       "mean": [norm or 0.0] * c, "std": [norm or 1.0] * c, "dtype": "float32"}
    list_path = os.path.join(folder, list_name)
    with open(list_path, "w") as fh:
        fh.write("# calibration samples: one line per sample, one path per input\n\n")
        fh.writelines(" ".join(row) + "\n" for row in rows)
    return {"inputs_meta": {"dataset": list_path, "attrs": attrs}, "qmethod": "channel", "dtype_w": "int4"}


def make_quant_tab(model, qtype="asym", dtype="int4", qmethod="channel"):
    """One quant_tab entry per Conv weight, grouped convolutions included."""
    return {n.input[1]: {"qtype": qtype, "dtype": dtype, "qmethod": qmethod}
            for n in model.graph.node if n.op_type == "Conv"}


def load_model_inputs(ir, param):
    """{model input name: (N, *sample shape) array} loaded like the driver."""
    from mivra.api.mivra_utils import get_input_img, get_input_paths, preprocess_input

    meta = param["inputs_meta"]
    paths = get_input_paths(meta["dataset"])
    out = {}
    for name in ir.inputs:
        a = meta["attrs"][name]
        out[name] = np.stack([
            preprocess_input(get_input_img(s[a["idx"]], "nchw", a["shape"], a["layout"],
                                           a["rgb2bgr"]), a["layout"], a["mean"], a["std"],
                             a["dtype"]) for s in paths])
    return out


def run_whole_model(model, feeds):
    """Run the whole ``model`` in onnxruntime (CPU, no graph optimisation) on every
    sample of ``feeds`` ({input: (N, ...)}), with every node output exposed as a graph
    output. Returns {tensor name: (N, ...) array}."""
    import onnxruntime as ort

    m = copy.deepcopy(model)
    have = {o.name for o in m.graph.output}
    m.graph.output.extend(onnx.ValueInfoProto(name=o) for o in dict.fromkeys(
        o for node in m.graph.node for o in node.output if o and o not in have))
    so = ort.SessionOptions()
    so.graph_optimization_level = ort.GraphOptimizationLevel.ORT_DISABLE_ALL
    sess = ort.InferenceSession(m.SerializeToString(), so, providers=["CPUExecutionProvider"])
    names = [o.name for o in sess.get_outputs()]
    n = len(next(iter(feeds.values()))) if feeds else 1
    res = [sess.run(None, {k: v[si] for k, v in feeds.items()}) for si in range(n)]
    return {k: np.stack([r[i] for r in res]) for i, k in enumerate(names)}


# Rewrites into the styles real exporters produce.

def weights_as_constants(model, styles=("constant", "identity", "cast")):
    """Copy of ``model`` whose initializer k is produced by nodes of style
    ``styles[k % len(styles)]``: "constant" a Constant node, "identity" Constant ->
    Identity, "cast" a float64 Constant -> Cast back (float tensors only). Tensor names
    are kept and the nodes put first; graph inputs naming initializers are removed."""
    m = copy.deepcopy(model)
    g = m.graph
    nodes = []
    for k, t in enumerate(g.initializer):
        style = styles[k % len(styles)]
        arr = numpy_helper.to_array(t)
        if style == "cast" and arr.dtype in (np.float32, np.float16):
            src = numpy_helper.from_array(arr.astype(np.float64), t.name + "__f64")
            nodes += [helper.make_node("Constant", [], [src.name], value=src),
                      helper.make_node("Cast", [src.name], [t.name], to=t.data_type)]
        elif style == "identity":
            src = copy.deepcopy(t)
            src.name = t.name + "__const"
            nodes += [helper.make_node("Constant", [], [src.name], value=src),
                      helper.make_node("Identity", [src.name], [t.name])]
        else:
            nodes.append(helper.make_node("Constant", [], [t.name], value=t))
    names = {t.name for t in g.initializer}
    rest = list(g.node)
    inputs = [vi for vi in g.input if vi.name not in names]
    del g.node[:], g.initializer[:], g.input[:]
    g.node.extend(nodes + rest)
    g.input.extend(inputs)
    m.ir_version = max(m.ir_version, 4)  # Constant-produced weights need no input entries
    return m


def initializers_as_inputs(model):
    """Copy of ``model`` listing every initializer as a graph input too, as IR
    version 3 exporters did."""
    m = copy.deepcopy(model)
    listed = {vi.name for vi in m.graph.input}
    m.graph.input.extend(_tvi(t.name, list(t.dims), t.data_type)
                         for t in m.graph.initializer if t.name not in listed)
    return m


def save_with_external_data(model, path, convert_attribute=False):
    """Save ``model`` with every initializer (and, with ``convert_attribute``, every
    tensor attribute) in the side file ``<basename>.data``; return that file's path."""
    loc = os.path.basename(path) + ".data"
    onnx.save_model(copy.deepcopy(model), path, save_as_external_data=True,
                    all_tensors_to_one_file=True, location=loc, size_threshold=0,
                    convert_attribute=convert_attribute)
    return os.path.join(os.path.dirname(path), loc)
