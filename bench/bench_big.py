"""End to end on a model over 2 GiB: ``mivra-gdq quantize`` with both exports,
its wall time and peak RSS against the model's size.

The model (built here, its weights in external data, one matrix at a time):
``--layers`` parallel MatMuls of (``--rows``, ``--cols``) float32 weights
reading one input (1, 8, rows), each output averaged over its last axis, the
averages summed. The calibration list holds ``--samples`` .npy inputs. The
command line runs in a subprocess (``os.wait4`` gives its peak RSS); then both
exported models are loaded by onnxruntime from their paths and must agree on
a sample. Everything is written under ``--work`` (default a new folder in
/tmp) and removed at the end unless ``--keep``.

    python3 bench/bench_big.py [--layers 64] [--rows 128] [--cols 65536] [--samples 16]
                               [--method gdq|minmax] [--report] [--exclude PATTERN] [--work DIR] [--keep]
"""
from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np
import onnx
from onnx import TensorProto, helper

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
GiB = 1024 ** 3


def build_model(folder: str, layers: int, rows: int, cols: int, opset: int = 17) -> str:
    """Write model.onnx and model.onnx.data (weights written one at a time); returns the path."""
    path = os.path.join(folder, "model.onnx")
    rng = np.random.default_rng(0)
    inits, nodes, sums = [], [], []
    with open(path + ".data", "wb") as fh:
        for i in range(layers):
            w = (rng.standard_normal((rows, cols), dtype=np.float32) * rows ** -0.5)
            t = TensorProto(name=f"W{i}", dims=[rows, cols], data_type=TensorProto.FLOAT)
            t.data_location = TensorProto.EXTERNAL
            offset = fh.tell()
            fh.write(w.tobytes())
            for k, v in (("location", "model.onnx.data"), ("offset", offset), ("length", w.nbytes)):
                t.external_data.add(key=k, value=str(v))
            inits.append(t)
            nodes += [helper.make_node("MatMul", ["x", f"W{i}"], [f"y{i}"], name=f"mm{i}"),
                      helper.make_node("ReduceMean", [f"y{i}"], [f"m{i}"], name=f"mean{i}",
                                       axes=[-1], keepdims=0)]
            sums.append(f"m{i}")
            del w
    nodes.append(helper.make_node("Sum", sums, ["out"], name="sum"))
    graph = helper.make_graph(nodes, "big", [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 8, rows])],
                              [helper.make_tensor_value_info("out", TensorProto.FLOAT, [1, 8])], initializer=inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", opset)])
    model.ir_version = 8
    with open(path, "wb") as fh:
        fh.write(model.SerializeToString())
    return path


def write_samples(folder: str, n: int, rows: int) -> str:
    rng = np.random.default_rng(1)
    cal = os.path.join(folder, "cal")
    os.makedirs(cal, exist_ok=True)
    for i in range(n):
        np.save(os.path.join(cal, f"s{i}.npy"), rng.standard_normal((1, 8, rows)).astype(np.float32))
    listing = os.path.join(cal, "list.txt")
    with open(listing, "w") as fh:
        fh.write("".join(f"s{i}.npy\n" for i in range(n)))
    return listing


def run_cli(model: str, listing: str, folder: str, extra=()) -> tuple[float, float]:
    """(wall seconds, peak RSS in bytes) of one command-line run."""
    cmd = [sys.executable, "-m", "mivra", "quantize", model, "--dataset", listing,
           "--out", os.path.join(folder, "out"), "--export-qdq", os.path.join(folder, "q.onnx"),
           "--export-fake-quant", os.path.join(folder, "f.onnx"), *extra]
    env = dict(os.environ, PYTHONPATH=ROOT)
    t0 = time.perf_counter()
    p = subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                         stdin=subprocess.DEVNULL)
    _, status, usage = os.wait4(p.pid, 0)
    wall = time.perf_counter() - t0
    if status != 0:
        sys.exit(f"mivra-gdq failed (status {status}):\n{p.stderr.read().decode()}")
    return wall, usage.ru_maxrss * 1024.0


def stored(path: str) -> int:
    """Bytes of a model file and of its external data file, if any."""
    return os.path.getsize(path) + (os.path.getsize(path + ".data") if os.path.exists(path + ".data") else 0)


def outputs_agree(folder: str, listing: str) -> float:
    """Largest difference between the fake-quant and QDQ models' outputs on the
    first sample, both loaded by onnxruntime from their paths (the QDQ model
    with float activations: see README on MatMulNBits fusion)."""
    import onnxruntime as ort

    x = np.load(os.path.join(os.path.dirname(listing), "s0.npy"))
    outs = []
    for name in ("f.onnx", "q.onnx"):
        so = ort.SessionOptions()
        so.add_session_config_entry("session.qdq_matmulnbits_accuracy_level", "1")
        sess = ort.InferenceSession(os.path.join(folder, name), so, providers=["CPUExecutionProvider"])
        outs.append(sess.run(None, {"x": x})[0])
        del sess
    scale = max(1e-6, float(np.abs(outs[0]).max()))
    diff = float(np.abs(outs[0] - outs[1]).max())
    if not diff <= 1e-4 * scale:
        sys.exit(f"fake-quant and QDQ models disagree: max |diff| {diff:.3g} (outputs up to {scale:.3g})")
    return diff


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--layers", type=int, default=64)
    ap.add_argument("--rows", type=int, default=128)
    ap.add_argument("--cols", type=int, default=65536)
    ap.add_argument("--samples", type=int, default=16)
    ap.add_argument("--method", choices=("gdq", "minmax"), default="gdq")
    ap.add_argument("--report", action="store_true", help="also --report (fake-quant models run from files)")
    ap.add_argument("--exclude", default=None, metavar="PATTERN",
                    help="layers kept float (e.g. 'mm[1-9]*': only mm0 solved, for the default method's "
                         "time on 2 cores)")
    ap.add_argument("--work", default=None, help="folder for the files (default: a new one in /tmp)")
    ap.add_argument("--keep", action="store_true", help="keep the files")
    args = ap.parse_args()
    work = args.work or tempfile.mkdtemp(prefix="mivra_big_", dir="/tmp")
    os.makedirs(work, exist_ok=True)
    try:
        t0 = time.perf_counter()
        model = build_model(work, args.layers, args.rows, args.cols)
        listing = write_samples(work, args.samples, args.rows)
        size = stored(model)
        print(f"model: {args.layers} MatMuls of {args.rows}x{args.cols} float32, "
              f"{size / GiB:.2f} GiB ({size} bytes, external data); built in {time.perf_counter() - t0:.0f} s")
        extra = ["--method", args.method] + (["--report"] if args.report else []) + \
            (["--exclude", args.exclude] if args.exclude else [])
        wall, rss = run_cli(model, listing, work, extra)
        with open(os.path.join(work, "out", "summary.json")) as fh:
            t = json.load(fh)["timings"]
        opts = args.method + (", --report" if args.report else "") + \
            (f", --exclude {args.exclude}" if args.exclude else "")
        print(f"command line ({opts}): wall {wall:.0f} s  "
              f"peak RSS {rss / GiB:.2f} GiB  peak RSS / model size {rss / size:.2f}")
        print("  " + "  ".join(f"{k} {t[k]:.1f}" for k in ("load", "forward", "hessian", "solve",
                                                           "error_table", "export", "report", "write",
                                                           "total") if k in t))
        print(f"  QDQ model {stored(os.path.join(work, 'q.onnx')) / GiB:.3f} GiB, fake-quant model "
              f"{stored(os.path.join(work, 'f.onnx')) / GiB:.2f} GiB "
              f"(data files: {', '.join(n for n in sorted(os.listdir(work)) if n.endswith('.data'))})")
        diff = outputs_agree(work, listing)
        print(f"  both load in onnxruntime from their paths; fake-quant vs QDQ on a sample: "
              f"max |diff| {diff:.2e}")
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
