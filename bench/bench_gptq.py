"""GPTQ rounding on a 512 x 4608 weight (a 3x3 convolution over 512 channels):
lazy block updates (default block of 128 columns) against the plain update of
all later columns after every column. Reports both times, the speed-up and how
closely the two results agree.

Usage: python3 bench/bench_gptq.py [rows cols]
"""
import os
import sys
import time

import torch

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import patch_hessian, weights_and_pair  # noqa: E402

from mivra.api import gdq_quant as g  # noqa: E402


def run(W, so, zo, lo, hi, H, blocksize):
    Wc = W.clone()
    t = time.perf_counter()
    Q, newW = g._round_gptq(Wc, so, zo, lo, hi, H, blocksize)
    return time.perf_counter() - t, Q


def main():
    rows, cols = (int(sys.argv[1]), int(sys.argv[2])) if len(sys.argv) > 2 else (512, 4608)
    torch.set_num_threads(max(1, torch.get_num_threads()))
    H = torch.tensor(patch_hessian(cols // 9), dtype=torch.float32)
    W, so, zo, lo, hi = weights_and_pair(rows, cols)
    print(f"round_gptq on W {rows}x{cols}, H {cols}x{cols}, {torch.get_num_threads()} threads")

    t = time.perf_counter()
    torch.linalg.cholesky(H.double())
    t_chol = time.perf_counter() - t

    t_blk, Q_blk = min(run(W, so, zo, lo, hi, H, 128) for _ in range(2))
    t_plain, Q_plain = run(W, so, zo, lo, hi, H, 1)
    print(f"one float64 Cholesky of H:      {t_chol:8.3f} s")
    print(f"blocked (128 columns per block): {t_blk:8.3f} s")
    print(f"plain column by column:          {t_plain:8.3f} s")
    print(f"speed-up:                        {t_plain / t_blk:8.2f} x")
    for bs in (32, 64, 256):
        print(f"  block {bs:4d}:                  {run(W, so, zo, lo, hi, H, bs)[0]:8.3f} s")

    q_blk = torch.round((Q_blk - zo) / so)
    q_plain = torch.round((Q_plain - zo) / so)
    differ = (q_blk != q_plain).sum().item()
    e_blk = g.cal_quant_error(W, Q_blk, H)
    e_plain = g.cal_quant_error(W, Q_plain, H)
    rel = ((e_blk - e_plain).abs() / e_plain.abs().clamp_min(1e-30)).max().item()
    print(f"grid values that differ:         {differ} of {q_blk.numel()}")
    print(f"max |Q_blocked - Q_plain|:       {(Q_blk - Q_plain).abs().max().item():.3e}")
    print(f"max relative row-error change:   {rel:.3e}")
    print(f"mean row error (blocked, plain): {e_blk.mean().item():.6e} {e_plain.mean().item():.6e}")


if __name__ == "__main__":
    main()
