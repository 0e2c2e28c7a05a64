"""Built-in example: a small CNN on scikit-learn's handwritten digits.

The network (four convolutions, 8x8 grayscale input, 10 classes) is trained
once with torch on the CPU, written as ONNX and cached together with a
calibration list; it is then quantized at each requested bit width, and the
test accuracy of the float model, of plain min/max rounding and of this
quantizer (both as QDQ models in onnxruntime) is printed side by side.
"""
from __future__ import annotations

import os
import time

import numpy as np

MODEL_FILE = "digits_cnn_v1.onnx"
CALIB_DIR = "calibration_v1"
N_CALIB = 128
SEED = 0


def cache_dir(cache=None) -> str:
    if cache:
        return cache
    if os.environ.get("MIVRA_CACHE"):
        return os.environ["MIVRA_CACHE"]
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "mivra", "demo")


def digits_split():
    """(x_train, y_train, x_test, y_test); x as float32 (N, 1, 8, 8) in [0, 1]."""
    from sklearn.datasets import load_digits

    d = load_digits()
    x = (d.images.astype(np.float32) / 16.0)[:, None]
    y = d.target.astype(np.int64)
    order = np.random.default_rng(SEED).permutation(len(y))
    n_test = len(y) // 5
    test, train = order[:n_test], order[n_test:]
    return x[train], y[train], x[test], y[test]


def train_model(x, y, epochs=12, seconds_cap=40.0):
    """Train the CNN; returns its parameters as NumPy arrays."""
    import torch
    from torch import nn

    torch.manual_seed(SEED)
    net = nn.Sequential(
        nn.Conv2d(1, 16, 3, padding=1), nn.ReLU(),
        nn.Conv2d(16, 32, 3, padding=1), nn.ReLU(), nn.MaxPool2d(2),
        nn.Conv2d(32, 32, 3, padding=1), nn.ReLU(),
        nn.Conv2d(32, 10, 4), nn.Flatten(),
    )
    opt = torch.optim.Adam(net.parameters(), lr=3e-3)
    X, Y = torch.from_numpy(x), torch.from_numpy(y)
    g = torch.Generator().manual_seed(SEED)
    t0 = time.perf_counter()
    for _ in range(epochs):
        perm = torch.randperm(len(Y), generator=g)
        for i in range(0, len(Y), 64):
            idx = perm[i:i + 64]
            opt.zero_grad()
            loss = nn.functional.cross_entropy(net(X[idx]), Y[idx])
            loss.backward()
            opt.step()
        if time.perf_counter() - t0 > seconds_cap:
            break
    convs = [m for m in net if isinstance(m, nn.Conv2d)]
    return [(c.weight.detach().numpy().copy(), c.bias.detach().numpy().copy()) for c in convs]


def build_onnx(params):
    """The trained network as an ONNX graph (opset 13, symbolic batch)."""
    import onnx
    from onnx import TensorProto, helper, numpy_helper

    inits, nodes = [], []
    x = "image"
    names = ["conv1", "conv2", "conv3", "conv4"]
    for i, (name, (w, b)) in enumerate(zip(names, params)):
        inits += [numpy_helper.from_array(w.astype(np.float32), f"{name}.weight"),
                  numpy_helper.from_array(b.astype(np.float32), f"{name}.bias")]
        pads = [0, 0, 0, 0] if name == "conv4" else [1, 1, 1, 1]
        nodes.append(helper.make_node("Conv", [x, f"{name}.weight", f"{name}.bias"], [name],
                                      name=name, kernel_shape=list(w.shape[2:]), pads=pads))
        x = name
        if name == "conv4":
            break
        nodes.append(helper.make_node("Relu", [x], [f"{name}_relu"], name=f"{name}_relu"))
        x = f"{name}_relu"
        if name == "conv2":
            nodes.append(helper.make_node("MaxPool", [x], ["pool"], name="pool",
                                          kernel_shape=[2, 2], strides=[2, 2]))
            x = "pool"
    nodes.append(helper.make_node("Flatten", [x], ["logits"], name="flatten", axis=1))
    graph = helper.make_graph(
        nodes, "digits_cnn",
        [helper.make_tensor_value_info("image", TensorProto.FLOAT, ["batch", 1, 8, 8])],
        [helper.make_tensor_value_info("logits", TensorProto.FLOAT, ["batch", 10])], inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)],
                              producer_name="mivra-demo")
    model.ir_version = 7
    onnx.checker.check_model(model)
    return model


def prepare_cache(folder: str, retrain: bool = False) -> tuple[str, str]:
    """Trained model and calibration list in ``folder`` (made when missing)."""
    from .outputs import StagedOutputs

    model_path = os.path.join(folder, MODEL_FILE)
    list_path = os.path.join(folder, CALIB_DIR, "calib.txt")
    if os.path.isfile(model_path) and os.path.isfile(list_path) and not retrain:
        return model_path, list_path
    x_tr, y_tr, _, _ = digits_split()
    t0 = time.perf_counter()
    params = train_model(x_tr, y_tr)
    print(f"trained the digits CNN in {time.perf_counter() - t0:.1f} s "
          f"({len(y_tr)} training images); cached in {folder}")
    model = build_onnx(params)
    rows = np.random.default_rng(SEED + 1).choice(len(y_tr), N_CALIB, replace=False)
    with StagedOutputs() as out:
        lines = ["# digits calibration samples: one (1, 8, 8) float32 image per line"]
        for k, r in enumerate(rows):
            rel = f"sample_{k:03d}.npy"

            def save(tmp, a=x_tr[r]):
                with open(tmp, "wb") as fh:
                    np.save(fh, a)
            out.write_with(os.path.join(folder, CALIB_DIR, rel), save)
            lines.append(rel)
        out.write_text(list_path, "\n".join(lines) + "\n")
        out.write_bytes(model_path, model.SerializeToString())
        out.commit()
    return model_path, list_path


def accuracy(model, x, y) -> float:
    from .api.session import ort_session

    sess = ort_session(model)
    logits = sess.run(None, {"image": x})[0]
    return float((logits.argmax(axis=1) == y).mean())


def run_demo(cache=None, bits=(4, 3, 2), retrain=False, method="gdq") -> int:
    from . import export
    from .pipeline import Options, prepare, quantize
    from .report import table

    t_start = time.perf_counter()
    folder = cache_dir(cache)
    model_path, list_path = prepare_cache(folder, retrain)
    _, _, x_te, y_te = digits_split()
    rows = []
    float_acc = None
    for b in bits:
        job = prepare(Options(model=model_path, dataset=list_path, bits=b, qmethod="channel",
                              qtype="sym", method=method))
        if float_acc is None:
            float_acc = accuracy(job.model, x_te, y_te)
        t0 = time.perf_counter()
        quantize(job)
        dt = time.perf_counter() - t0
        ours, _ = export.export_qdq(job.model, job.quant_tab, job.quantized)
        mm, _ = export.export_qdq(job.model, job.minmax_tab, job.quantized)
        rows.append([b, f"{100 * float_acc:.1f}%", f"{100 * accuracy(mm, x_te, y_te):.1f}%",
                     f"{100 * accuracy(ours, x_te, y_te):.1f}%", f"{dt:.1f}"])
    print()
    print(f"digits CNN, {len(y_te)} test images, per-channel symmetric weights, "
          f"{N_CALIB} calibration images")
    print(table(["bits", "float", "min/max rounding", "mivra", "quantize s"], rows))
    print(f"total {time.perf_counter() - t_start:.1f} s")
    return 0
