"""Small ONNX models (checked, float32, weights fixed by ``seed``), calibration data,
whole-model references for the layer split, and rewrites into exporter styles."""
from __future__ import annotations

import copy
import io
import os
import warnings

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

# ir_version an exporter of that era writes for a default-domain opset.
IR_FOR_OPSET = {7: 3, 9: 4, 10: 5, 11: 6, 12: 7, 15: 8, 19: 9, 21: 10}
N = helper.make_node


def _init(name, array):
    return numpy_helper.from_array(np.asarray(array), name)


def _f32(rng, *shape, scale=0.3):
    return (rng.standard_normal(shape) * scale).astype(np.float32)


def _tvi(name, shape, elem=TensorProto.FLOAT):
    return helper.make_tensor_value_info(name, elem, shape)


def _conv(inputs, out, **attrs):
    return N("Conv", inputs, [out], name=out, kernel_shape=[3, 3], pads=[1, 1, 1, 1], **attrs)


def finish_model(nodes, inputs, outputs, initializers, opset=13, name="model"):
    """Assemble a model with the default-domain ``opset`` and check it."""
    graph = helper.make_graph(nodes, name, inputs, outputs, initializer=initializers)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", opset)], producer_name="mivra-tests")
    model.ir_version = IR_FOR_OPSET[max([k for k in IR_FOR_OPSET if k <= opset] or [7])]
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
             _init("fc.weight", _f32(rng, classes, hidden)), _init("fc.bias", _f32(rng, classes, scale=0.1))]
    nodes = [_conv(["input", "conv1.weight", "conv1.bias"], "conv1"), N("Relu", ["conv1"], ["relu1"], name="relu1"),
             _conv(["relu1", "conv2.weight", "conv2.bias"], "conv2", group=2),
             N("Add", ["conv2", "relu1"], ["add1"], name="add1"),
             N("Conv", ["add1", "conv3.weight"], ["conv3"], name="conv3", kernel_shape=[1, 1], strides=[1, 1]),
             N("MaxPool", ["conv3"], ["pool1"], name="pool1", kernel_shape=[2, 2], strides=[2, 2]),
             N("GlobalAveragePool", ["pool1"], ["gap"], name="gap"),
             N("Flatten", ["gap"], ["flat"], name="flat", axis=1),
             N("Gemm", ["flat", "fc.weight", "fc.bias"], ["logits"], name="fc", transB=1)]
    return finish_model(nodes, [_tvi("input", [batch, channels, size, size])],
                        [_tvi("logits", [batch, classes])], inits, opset=opset, name="cnn")


def conv_only_model(channels=32, seed=0):
    """Three ungrouped 3x3 convolutions "c0", "c1", "c2" without biases."""
    rng = np.random.default_rng(seed)
    inits = [_init(f"c{i}.weight", _f32(rng, channels, channels, 3, 3, scale=0.1)) for i in range(3)]
    nodes = [_conv([f"c{i - 1}" if i else "input", f"c{i}.weight"], f"c{i}") for i in range(3)]
    shape = [1, channels, 6, 6]
    return finish_model(nodes, [_tvi("input", shape)], [_tvi("c2", shape)], inits)


def make_shared_weight_model(seed=5, size=8):
    """Weight "shared" and bias "bias" read by two convolutions "ca" and "cb" (weight tying):
    input -> ca -> Relu -> cb -> c3 (own weight) -> "out"."""
    rng = np.random.default_rng(seed)
    inits = [_init("shared", _f32(rng, 4, 4, 3, 3)), _init("bias", _f32(rng, 4, scale=0.1)),
             _init("c3.weight", _f32(rng, 4, 4, 3, 3))]
    nodes = [_conv(["input", "shared", "bias"], "ca"), N("Relu", ["ca"], ["relu"], name="relu"),
             _conv(["relu", "shared", "bias"], "cb"), _conv(["cb", "c3.weight"], "out")]
    shape = [1, 4, size, size]
    return finish_model(nodes, [_tvi("input", shape)], [_tvi("out", shape)], inits, name="shared_weight")


def make_ocr_model(seed=6, height=8, hidden=6, classes=5):
    """A captcha recogniser in miniature: a 1 x 1 x H x "image_width" image -> two
    Conv/Relu (MaxPool between) -> Reshape to (1, C*H', W') whose target is computed
    from the activation's shape (Shape -> Gather of a 0-d index -> Unsqueeze -> Concat)
    -> Transpose to (W', 1, C*H') -> LSTM -> Reshape -> Gemm -> "logits" (W', classes)."""
    rng = np.random.default_rng(seed)
    feat = 8 * (height // 2)
    inits = [_init("c1.weight", _f32(rng, 4, 1, 3, 3)), _init("c1.bias", _f32(rng, 4, scale=0.1)),
             _init("c2.weight", _f32(rng, 8, 4, 3, 3)), _init("c2.bias", _f32(rng, 8, scale=0.1)),
             _init("width_axis", np.array(3, np.int64)), _init("axis0", np.array([0], np.int64)),
             _init("lead", np.array([1, feat], np.int64)), _init("flat_shape", np.array([-1, hidden], np.int64)),
             _init("lstm.W", _f32(rng, 1, 4 * hidden, feat)), _init("lstm.R", _f32(rng, 1, 4 * hidden, hidden)),
             _init("lstm.B", _f32(rng, 1, 8 * hidden, scale=0.1)),
             _init("fc.weight", _f32(rng, classes, hidden)), _init("fc.bias", _f32(rng, classes, scale=0.1))]
    nodes = [_conv(["image", "c1.weight", "c1.bias"], "c1"), N("Relu", ["c1"], ["r1"], name="r1"),
             N("MaxPool", ["r1"], ["p1"], name="p1", kernel_shape=[2, 2], strides=[2, 2]),
             _conv(["p1", "c2.weight", "c2.bias"], "c2"), N("Relu", ["c2"], ["r2"], name="r2"),
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
    nodes = [_conv(["image", "c1.weight", "c1.bias"], "c1"), N("Add", ["c1", "aux"], ["sum"], name="sum"),
             N("Relu", ["sum"], ["act"], name="act"), N("Concat", ["act", "aux"], ["cat"], name="cat", axis=1),
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
        split = N("Split", ["c1", "split_sizes"], ["half_a", "half_b"], name="split", axis=1)
    else:
        split = N("Split", ["c1"], ["half_a", "half_b"], name="split", axis=1, split=[4, 4])
    nodes = [_conv(["input", "c1.weight", "c1.bias"], "c1"), split, _conv(["half_a", "c2.weight", "c2.bias"], "c2"),
             N("Sigmoid", ["half_b"], ["gate"], name="gate"), N("Mul", ["c2", "gate"], ["out"], name="mul")]
    return finish_model(nodes, [_tvi("input", [1, 3, size, size])],
                        [_tvi("out", [1, 4, size, size])], inits, opset=opset, name="split")


def make_no_conv_model(opset=13, seed=3, size=8, classes=4):
    """No Conv: input -> Relu -> MaxPool -> Flatten -> MatMul -> Add -> "out"."""
    rng = np.random.default_rng(seed)
    inits = [_init("fc.weight", _f32(rng, 3 * (size // 2) ** 2, classes)),
             _init("fc.bias", _f32(rng, classes, scale=0.1))]
    nodes = [N("Relu", ["input"], ["r"], name="r"),
             N("MaxPool", ["r"], ["p"], name="p", kernel_shape=[2, 2], strides=[2, 2]),
             N("Flatten", ["p"], ["f"], name="f", axis=1), N("MatMul", ["f", "fc.weight"], ["mm"], name="mm"),
             N("Add", ["mm", "fc.bias"], ["out"], name="bias_add")]
    return finish_model(nodes, [_tvi("input", [1, 3, size, size])], [_tvi("out", [1, classes])],
                        inits, opset=opset, name="no_conv")


def write_calibration(model, folder, n_samples=3, seed=0, npy_inputs=(), shapes=None, list_name="calib.txt"):
    """Write ``n_samples`` samples and their list (a comment, a blank line, then relative
    paths) and return the driver's ``param`` (qmethod "channel", dtype_w "int4"). 4-D inputs
    with 1 or 3 channels not in ``npy_inputs`` get random PNGs (mean = std = 127.5), others
    float32 .npy samples; ``shapes`` fixes symbolic dims."""
    from PIL import Image

    rng = np.random.default_rng(seed)
    os.makedirs(folder, exist_ok=True)
    inits = {t.name for t in model.graph.initializer}
    attrs, rows = {}, [[] for _ in range(n_samples)]
    for idx, vi in enumerate(vi for vi in model.graph.input if vi.name not in inits):
        name = vi.name
        shape = list((shapes or {}).get(name) or [d.dim_value if d.HasField("dim_value") else None
                                                  for d in vi.type.tensor_type.shape.dim])
        assert None not in shape, f"input {name!r} has symbolic dims; pass shapes="
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
        attrs[name] = {"idx": idx, "shape": shape, "layout": "nchw", "rgb2bgr": False,
                       "mean": [127.5 if as_png else 0.0] * c, "std": [127.5 if as_png else 1.0] * c,
                       "dtype": "float32"}
    list_path = os.path.join(folder, list_name)
    with open(list_path, "w") as fh:
        fh.write("# calibration samples: one line per sample, one path per input\n\n")
        fh.writelines(" ".join(row) + "\n" for row in rows)
    return {"inputs_meta": {"dataset": list_path, "attrs": attrs}, "qmethod": "channel", "dtype_w": "int4"}


def prepared_job(model, folder, n_samples=6, npy_inputs=("input",), **opts):
    """The command line's prepared job for ``model`` saved in ``folder`` with
    ``n_samples`` calibration samples (``write_calibration``) and ``opts``."""
    from mivra import pipeline

    folder = str(folder)
    onnx.save(model, os.path.join(folder, "m.onnx"))
    write_calibration(model, os.path.join(folder, "cal"), n_samples=n_samples, npy_inputs=npy_inputs)
    return pipeline.prepare(pipeline.Options(model=os.path.join(folder, "m.onnx"),
                                             dataset=os.path.join(folder, "cal", "calib.txt"), **opts))


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
        out[name] = np.stack([preprocess_input(get_input_img(s[a["idx"]], "nchw", a["shape"], a["layout"],
                                                             a["rgb2bgr"]), a["layout"], a["mean"], a["std"],
                                               a["dtype"]) for s in paths])
    return out


def run_whole_model(model, feeds):
    """{tensor: (N, ...)} of every node output of the whole ``model`` run in onnxruntime
    (CPU, no graph optimisation) on each sample of ``feeds`` ({input: (N, ...) or a list
    of N arrays}); a list of N arrays where the samples' shapes differ."""
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
    out = {k: [r[i] for r in res] for i, k in enumerate(names)}
    return {k: np.stack(v) if len({a.shape for a in v}) == 1 else v for k, v in out.items()}


def check_layer_split(ir, param=None, model=None, atol=1e-5, skip=()):
    """Valid single-node layers in a runnable order, each with exactly the initializers its
    node reads; ``can_frees`` lists each tensor once, where brute force finds it dead. With
    ``param``, the calibration set runs layer by layer like the driver (tensors deleted as
    ``can_frees`` says) and every tensor equals the whole-model run of ``model`` (default
    ``ir.model``) but the random ones in ``skip``. Returns (layers, tensors computed)."""
    from mivra.api.session import Session

    work = ir.deepcopy()
    layers, frees, producers = work.create_ir_layers()
    inits = {t.name for t in ir.graph.initializer}
    nodes = [layer.graph.node[0] for layer in layers]
    available, reported = set(ir.inputs), set()
    for i, (layer, node) in enumerate(zip(layers, nodes)):
        onnx.checker.check_model(layer)
        assert (layer.ir_version, list(layer.opset_import)) == (ir.model.ir_version, list(ir.model.opset_import))
        runtime = [x for x in node.input if x and x not in inits]
        assert set(runtime) <= available, (i, runtime)
        available |= set(node.output)
        assert sorted(t.name for t in layer.graph.initializer) == sorted({x for x in node.input if x in inits})
        assert all(producers[o] == i for o in node.output if o)
        # brute force: dead after layer i = exists, read by no later layer, not a graph output before the end
        exists = {x for n in nodes[:i + 1] for x in list(n.input) + list(n.output) if x and x not in inits}
        later = {x for n in nodes[i + 1:] for x in n.input} | (set(ir.outputs) if i < len(nodes) - 1 else set())
        assert set(frees[i]) == exists - later - reported, i
        reported |= set(frees[i])
    flat = [x for f in frees for x in f]
    assert len(flat) == len(set(flat))
    if param is None:
        return layers, None
    data = load_model_inputs(work, param)
    feeds, computed = dict(data), dict(data)
    for layer, dead in zip(layers, frees):
        sess = Session(work, layer)
        outs = [sess.run({i.name: data[i.name][si] for i in sess.get_inputs()})
                for si in range(len(next(iter(feeds.values()))))]
        for k, o in enumerate(sess.get_outputs()):
            data[o.name] = computed[o.name] = np.stack([r[k] for r in outs])
        for name in dead:
            data.pop(name)
    assert data == {}, f"tensors never freed: {sorted(data)}"
    ref = run_whole_model(model if model is not None else ir.model, feeds)
    for name in ({o for n in nodes for o in n.output if o} & set(ref)) - set(skip):
        np.testing.assert_allclose(computed[name], ref[name], rtol=1e-5, atol=atol, err_msg=name)
    return layers, computed


# Rewrites into the styles real exporters produce.

def weights_as_constants(model, styles=("constant", "identity", "cast")):
    """Copy of ``model`` whose initializer k (name kept) comes from nodes put first, of
    style ``styles[k % 3]``: a Constant, Constant -> Identity, or float64 Constant -> Cast."""
    m = copy.deepcopy(model)
    g = m.graph
    nodes = []
    for k, t in enumerate(g.initializer):
        style, arr = styles[k % len(styles)], numpy_helper.to_array(t)
        if style == "cast" and arr.dtype in (np.float32, np.float16):
            src = numpy_helper.from_array(arr.astype(np.float64), t.name + "__f64")
            nodes += [N("Constant", [], [src.name], value=src), N("Cast", [src.name], [t.name], to=t.data_type)]
        elif style == "identity":
            src = copy.deepcopy(t)
            src.name = t.name + "__const"
            nodes += [N("Constant", [], [src.name], value=src), N("Identity", [src.name], [t.name])]
        else:
            nodes.append(N("Constant", [], [t.name], value=t))
    names = {t.name for t in g.initializer}
    rest, inputs = list(g.node), [vi for vi in g.input if vi.name not in names]
    del g.node[:], g.initializer[:], g.input[:]
    g.node.extend(nodes + rest)
    g.input.extend(inputs)
    m.ir_version = max(m.ir_version, 4)  # Constant-produced weights need no input entries
    return m


def save_with_external_data(model, path):
    """Save ``model`` with its initializers and tensor attributes in ``<basename>.data``."""
    onnx.save_model(copy.deepcopy(model), path, save_as_external_data=True, all_tensors_to_one_file=True,
                    location=os.path.basename(path) + ".data", size_threshold=0, convert_attribute=True)


def export_small_net(opset, fold=False, dynamic=False, seed=0):
    """(torch network, its TorchScript export): conv/BN/ReLU, max pool, a residual block
    with a grouped conv, nearest upsample, concat, 1x1 head."""
    import torch
    from torch import nn

    class SmallNet(nn.Module):
        def __init__(self):
            super().__init__()
            self.stem = nn.Sequential(nn.Conv2d(3, 8, 3, padding=1), nn.BatchNorm2d(8), nn.ReLU())
            self.block = nn.Sequential(nn.Conv2d(8, 8, 3, padding=1, bias=False), nn.BatchNorm2d(8),
                                       nn.ReLU(), nn.Conv2d(8, 8, 3, padding=1, groups=2))
            self.head = nn.Conv2d(16, 4, 1)

        def forward(self, x):
            s = self.stem(x)
            p = nn.functional.max_pool2d(s, 2)
            u = nn.functional.interpolate(torch.relu(p + self.block(p)), scale_factor=2.0, mode="nearest")
            return self.head(torch.cat([u, s], dim=1))

    torch.manual_seed(seed)
    net = SmallNet().eval()
    with torch.no_grad():
        for m in net.modules():
            if isinstance(m, nn.BatchNorm2d):
                m.running_mean.uniform_(-0.5, 0.5)
                m.running_var.uniform_(0.5, 2.0)
    buf = io.BytesIO()
    kwargs = {"dynamic_axes": {"x": {0: "N", 2: "H", 3: "W"}}} if dynamic else {}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        torch.onnx.export(net, (torch.randn(1, 3, 8, 8),), buf, opset_version=opset, dynamo=False,
                          do_constant_folding=fold, input_names=["x"], output_names=["y"],
                          training=torch.onnx.TrainingMode.EVAL, **kwargs)
    return net, onnx.load_from_string(buf.getvalue())
