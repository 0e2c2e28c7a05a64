"""GPTQ rounding on a 512 x 4608 weight (a 3x3 convolution over 512 channels)
with the second moment of correlated patches: lazy block updates (blocks of
128 columns: rank-one updates inside a block, one matrix product for the
columns after it) against the plain update of all later columns after every
column. Reports the time of the damping ladder (float64 factorisations, the
same for both), the time of the column loop for both, the speed-up and how
closely the two results agree.

The CPU runs the rounding inside a block as a row-parallel loop; with
--tensor-ops the per-column tensor-operation path (the one used on other
devices) is timed as well, blocked and, with --tensor-ops-plain, unblocked
(slow: minutes).

Usage: python3 bench/bench_gptq.py [--threads N] [--rows R --cols D] [--tensor-ops]
       [--tensor-ops-plain]
"""
import argparse
import os
import sys
import time

import torch

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.dirname(HERE)]
from common import patch_hessian, weights_and_pair  # noqa: E402

from mivra.api import gdq_quant as g  # noqa: E402


def run(W, so, zo, lo, hi, H, blocksize, tensor_ops=False):
    Wc = W.clone()
    if tensor_ops:
        g._arm_fault("gptq_tensor_ops", 1)
    g._stage_times()
    t = time.perf_counter()
    Q, _ = g._round_gptq(Wc, so, zo, lo, hi, H, blocksize)
    total = time.perf_counter() - t
    st = g._stage_times()
    return total, st.get("gptq_factor", 0.0), st.get("gptq_columns", 0.0), Q


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--threads", type=int, default=0)
    ap.add_argument("--rows", type=int, default=512)
    ap.add_argument("--cols", type=int, default=4608)
    ap.add_argument("--tensor-ops", action="store_true")
    ap.add_argument("--tensor-ops-plain", action="store_true")
    a = ap.parse_args()
    if not hasattr(g, "_round_gptq") or not hasattr(g, "_stage_timing"):
        sys.exit("bench_gptq needs the private module entries _round_gptq and _stage_timing")
    if a.threads:
        torch.set_num_threads(a.threads)
    g._stage_timing(True)
    H = torch.tensor(patch_hessian(a.cols // 9), dtype=torch.float32)
    W, so, zo, lo, hi = weights_and_pair(a.rows, a.cols)
    print(f"round_gptq on W {a.rows}x{a.cols}, H {a.cols}x{a.cols} (correlated 3x3 patches), "
          f"{torch.get_num_threads()} threads")

    runs = {}
    runs["blocked"] = min(run(W, so, zo, lo, hi, H, 128) for _ in range(2))
    runs["plain"] = run(W, so, zo, lo, hi, H, 1)
    if a.tensor_ops or a.tensor_ops_plain:
        runs["blocked, tensor ops"] = run(W, so, zo, lo, hi, H, 128, True)
    if a.tensor_ops_plain:
        runs["plain, tensor ops"] = run(W, so, zo, lo, hi, H, 1, True)
    print(f"{'':22s} {'total':>9s} {'ladder':>9s} {'columns':>9s}")
    for k, (tot, fac, cols, _) in runs.items():
        print(f"{k:22s} {tot:8.3f}s {fac:8.3f}s {cols:8.3f}s")
    b, p = runs["blocked"], runs["plain"]
    print(f"speed-up of the column loop, blocked over plain: {p[2] / b[2]:.2f} x "
          f"(whole call {p[0] / b[0]:.2f} x)")
    if "plain, tensor ops" in runs:
        t = runs["plain, tensor ops"]
        print(f"blocked row loop over plain tensor ops: {t[2] / b[2]:.1f} x (columns)")
    for bs in (32, 64, 256):
        print(f"  block {bs:4d}: columns {run(W, so, zo, lo, hi, H, bs)[2]:8.3f} s")

    Q_blk, Q_plain = b[3], p[3]
    q_blk = torch.round((Q_blk - zo) / so)
    q_plain = torch.round((Q_plain - zo) / so)
    differ = (q_blk != q_plain).sum().item()
    e_blk = g.cal_quant_error(W, Q_blk, H)
    e_plain = g.cal_quant_error(W, Q_plain, H)
    rel = ((e_blk - e_plain).abs() / e_plain.abs().clamp_min(1e-30)).max().item()
    print(f"grid values that differ (blocked vs plain): {differ} of {q_blk.numel()}")
    print(f"max |Q_blocked - Q_plain|:                  {(Q_blk - Q_plain).abs().max().item():.3e}")
    print(f"max relative change of a row error:         {rel:.3e}")
    print(f"mean row error (blocked, plain):            {e_blk.mean().item():.6e} "
          f"{e_plain.mean().item():.6e}")


if __name__ == "__main__":
    main()
