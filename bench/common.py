"""Shared inputs for the solver benchmarks, and a child process's time and peak memory."""
import os
import subprocess
import sys

import numpy as np
import torch

from mivra.scheme import grid_bounds


def random_problem(C, D, samples, seed=0):
    """Weights x (C, D) of scale 0.05 and a well-conditioned second moment
    H = a a^T / samples + 0.05 I of `samples` Gaussian vectors (float32)."""
    g = torch.Generator().manual_seed(seed)
    x = torch.randn(C, D, generator=g) * 0.05
    a = torch.randn(D, samples, generator=g)
    return x, a @ a.T / samples + 0.05 * torch.eye(D)


def patch_hessian(channels, k=3, rho=0.7, seed=0):
    """Second moment (D x D, D = channels * k * k) of k x k patches of a feature map
    whose channels are correlated through a random mixing with a decaying
    spectrum, whose pixels are correlated as rho^(city-block distance), and
    which has a positive mean per channel (as after a ReLU). Columns are in
    the weight layout (c * k + i) * k + j."""
    rng = np.random.default_rng(seed)
    A = rng.standard_normal((channels, channels)) * np.arange(1, channels + 1) ** -0.7
    Cc = A @ A.T / channels + 0.01 * np.eye(channels)
    idx = np.array([(i, j) for i in range(k) for j in range(k)])
    Cs = rho ** np.abs(idx[:, None, :] - idx[None, :, :]).sum(-1)
    mu = np.repeat(rng.uniform(0.0, 0.5, size=channels), k * k)
    return np.kron(Cc, Cs) + np.outer(mu, mu)


def weights_and_pair(rows, cols, seed=0, bits=4):
    """Weights with varied row ranges and their per-row min/max dequantization pair."""
    rng = np.random.default_rng(seed)
    W = torch.tensor(rng.standard_normal((rows, cols)) * rng.uniform(0.01, 0.1, size=(rows, 1)),
                     dtype=torch.float32)
    lo, hi = grid_bounds(bits)
    wmin = torch.clamp(W.min(1, keepdim=True).values, max=0)
    wmax = torch.clamp(W.max(1, keepdim=True).values, min=0)
    so = (wmax - wmin) / (hi - lo)
    zo = wmin - lo * so
    return W, so.expand(rows, cols).contiguous(), zo.expand(rows, cols).contiguous(), lo, hi


def matmul_seconds(C, D, repeat=3):
    """Best time of one (C x D) @ (D x D) float32 product."""
    a, b = torch.randn(C, D), torch.randn(D, D)
    best = float("inf")
    import time
    for _ in range(repeat):
        t = time.perf_counter()
        a @ b
        best = min(best, time.perf_counter() - t)
    return best


def conv_layer_and_inputs(out_ch, in_ch, kh, kw, seed=0):
    """A bias-free convolution (out_ch, in_ch, kh, kw) and ReLU'd, channel- and
    pixel-correlated input images giving 64 patches each, enough images for
    at least in_ch * kh * kw input vectors."""
    import math

    from torch import nn

    torch.manual_seed(seed)
    layer = nn.Conv2d(in_ch, out_ch, (kh, kw), bias=False)
    n = math.ceil(in_ch * kh * kw / 64)
    rng = np.random.default_rng(seed)
    z = rng.standard_normal((n, in_ch, 8 + kh - 1, 8 + kw - 1)).astype(np.float32)
    z += 0.7 * np.roll(z, 1, axis=1) + 0.3 * np.roll(z, 1, axis=3)
    return layer, torch.tensor(np.maximum(z, 0.0))


# Runs a command and prints "status wall-seconds peak-RSS-KiB": the measured
# command is started from this small process rather than from the benchmark,
# since a child's peak RSS also counts the memory of the process it was forked from.
LAUNCHER = """import os, signal, subprocess, sys, time
t = time.perf_counter()
p = subprocess.Popen(sys.argv[1:], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
    signal.signal(s, lambda n, f: p.send_signal(n))
_, status, usage = os.wait4(p.pid, 0)
print(os.waitstatus_to_exitcode(status), time.perf_counter() - t, usage.ru_maxrss)
"""
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def run_child(cmd: list) -> tuple:
    """(status, wall seconds, peak RSS in MiB, stderr) of one subprocess."""
    env = dict(os.environ, PYTHONPATH=ROOT)
    p = subprocess.run([sys.executable, "-c", LAUNCHER, *cmd], env=env, capture_output=True,
                       stdin=subprocess.DEVNULL)
    if p.returncode != 0:
        sys.exit(f"launcher failed: {p.stderr.decode(errors='replace')}")
    code, wall, rss = p.stdout.split()
    return int(code), float(wall), int(rss) / 1024.0, p.stderr.decode(errors="replace")
