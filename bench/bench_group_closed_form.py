"""Group-wise closed-form output scale/zero: the group-by-group construction of
the block normal equations (Quantizer.get_scale_and_zero_out_group) against the
plain construction through full (C, G, D) tensors, written out below in torch.

    python3 bench/bench_group_closed_form.py [C D groupsize]   (default 512 4608 288)

Each method runs in its own subprocess on identical inputs, so that its peak
resident memory (VmHWM, reset through /proc/self/clear_refs) is its own; the
parent compares the results and prints the time and memory ratios.
"""
import json
import os
import subprocess
import sys
import tempfile
import time

import torch

# run from a checkout: the package lives in the repository root
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.dirname(HERE)]
from common import random_problem  # noqa: E402


def read_status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(key)


def reset_peak():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def make_inputs(C, D, gs, sym):
    from mivra.api import gdq_quant as G

    x0, H = random_problem(C, D, 256)
    q = G.Quantizer()
    q.configure(bits=4, sym=sym)
    xmin, xmax = q.get_minmax(x0, gs)
    scale, zero = q.get_scale_zero_by_minmax(xmax, xmin)
    x_int = q.get_fake_int_in(x0, scale, zero, groupsize=gs)
    return q, x0, H, x_int


def full_tensor(q, H, groupsize, x0, x_int, double_precision=True):
    """The block normal equations built from the (C, G, D) tensors A, A H and I."""
    from mivra.api import gdq_quant as G

    C, D = x_int.shape
    ng = D // groupsize
    mm = lambda i, j, k: torch.matmul(torch.matmul(i, j.unsqueeze(0)), k)
    A = torch.zeros(C, ng, D, dtype=x_int.dtype)
    for g in range(ng):
        A[:, g, g * groupsize:(g + 1) * groupsize] = x_int[:, g * groupsize:(g + 1) * groupsize]
    AH = A @ H
    A = A.transpose(1, 2)
    P11 = AH @ A
    del A
    left = (x0 @ H).reshape(C, ng, groupsize)
    up = (left * x_int.reshape(C, ng, groupsize)).sum(-1)
    if q.sym:
        del AH
        P, y, extra = P11, up, 1e-5
    else:
        I = torch.zeros(C, ng, D, dtype=x_int.dtype)
        for g in range(ng):
            I[:, g, g * groupsize:(g + 1) * groupsize] = 1.0
        P12 = AH @ I.transpose(1, 2)
        del AH
        P22 = mm(I, H, I.transpose(1, 2))
        del I
        P = torch.cat([torch.cat([P11, P12], -1), torch.cat([P12.transpose(1, 2), P22], -1)], 1)
        y, extra = torch.cat([up, left.sum(-1)], 1), 0.0
    P = (P + P.transpose(1, 2)) / 2.0
    if double_precision:
        P, y = P.double(), y.double()
    try:
        sol = torch.linalg.solve(P, y)
    except Exception:
        i = torch.arange(P.shape[-1])
        P[:, i, i] += 0.01 * P[:, i, i].mean(1, keepdim=True) + extra
        sol = torch.linalg.solve(P, y)
    sol = sol.float()
    scale_out, zero_out = (sol, torch.zeros_like(sol)) if q.sym else (sol[:, :ng], sol[:, ng:])
    if q.zero_no_shift and not q.sym:
        zero_out = G.my_round(zero_out / scale_out) * scale_out
    s0, z0 = G.repeat_interleave(x_int, groupsize, scale_out, zero_out)
    err = G.cal_quant_error(x0, x_int * s0 + z0, H)
    return scale_out, zero_out, err


def worker(method, C, D, gs, sym, out):
    torch.manual_seed(0)
    q, x0, H, x_int = make_inputs(C, D, gs, sym)

    def call(rows):
        if method == "group":
            return q.get_scale_and_zero_out_group(H=H, groupsize=gs, x0=x0[rows], x_int=x_int[rows])
        return full_tensor(q, H, gs, x0[rows], x_int[rows])

    call(slice(0, 2))  # one-time library start-up outside the measurement
    rss0 = read_status("VmRSS")
    reset_peak()
    t0 = time.perf_counter()
    res = call(slice(None))
    dt = time.perf_counter() - t0
    peak = read_status("VmHWM") - rss0
    torch.save([r.clone() for r in res], out)
    print(json.dumps({"time": dt, "peak": peak}))


def run_worker(method, C, D, gs, sym, out):
    r = subprocess.run([sys.executable, __file__, "--worker", method, str(C), str(D), str(gs),
                        str(int(sym)), out], capture_output=True, text=True)
    if r.returncode:
        sys.exit(f"{method} worker failed:\n{r.stderr}")
    return json.loads(r.stdout.strip().splitlines()[-1])


def main(argv):
    C, D, gs = (int(v) for v in argv[:3]) if len(argv) >= 3 else (512, 4608, 288)
    print(f"C={C} D={D} groupsize={gs} G={D // gs} torch threads={torch.get_num_threads()}")
    ok = True
    with tempfile.TemporaryDirectory() as tmp:
        for sym in (False, True):
            stats = {}
            for method in ("group", "full"):
                stats[method] = run_worker(method, C, D, gs, sym, os.path.join(tmp, method + ".pt"))
            mine = torch.load(os.path.join(tmp, "group.pt"))
            ref = torch.load(os.path.join(tmp, "full.pt"))
            diffs = []
            for name, a, b in zip(("scale_out", "zero_out", "err"), mine, ref):
                rel = ((a - b).abs().max() / b.abs().max().clamp_min(1e-30)).item()
                diffs.append(f"{name} {rel:.2e}")
                ok &= a.shape == b.shape and rel < 1e-3
            g, f = stats["group"], stats["full"]
            print(f"{'sym ' if sym else 'asym'}: group-by-group {g['time']:.3f} s, "
                  f"peak +{g['peak'] / 2**20:.1f} MiB | full tensors {f['time']:.3f} s, "
                  f"peak +{f['peak'] / 2**20:.1f} MiB | speed-up x{f['time'] / g['time']:.1f}, "
                  f"memory x{f['peak'] / max(g['peak'], 1):.1f} | max rel diff: {', '.join(diffs)}")
    print("results agree" if ok else "RESULTS DIFFER")
    return 0 if ok else 1


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--worker":
        m, C, D, gs, sym, out = sys.argv[2:8]
        worker(m, int(C), int(D), int(gs), bool(int(sym)), out)
    else:
        sys.exit(main(sys.argv[1:]))
