"""Thread oversubscription: the heavy native steps timed with torch's thread
count set to 8 (what GdqQuant.run asks for on the CPU) and to the number of
CPUs this process may use, in one run. Requesting more threads than there are
CPUs must not make a step slower: the ratio 8-thread / available-thread time
should stay near 1 (the native core caps its threads at the available CPUs).

Steps: add_batch of a 480x480 1x1 convolution over 30720 input vectors,
startquant of a 480x480 1x1 and a 64x64 3x3 (256 x 576) convolution, and the
thorough find_params (shrink search and closed form) of a 256 x 2304 weight.

    python3 bench/bench_threads.py [--repeat N]
"""
import os
import sys
import time

import torch

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.dirname(HERE)]
from common import conv_layer_and_inputs, random_problem  # noqa: E402

from mivra.api import gdq_quant as g  # noqa: E402


def available_cpus():
    """The module's own count when it has one, else the affinity mask."""
    if hasattr(g, "_available_cpus"):
        return g._available_cpus()
    return len(os.sched_getaffinity(0))


def add_batch_step():
    layer, _ = conv_layer_and_inputs(480, 480, 1, 1)
    x = torch.relu(torch.randn(480, 480, 8, 8, generator=torch.Generator().manual_seed(0)))

    def run():
        g.decoupleQ(layer).add_batch(x, None, None)
    return run


def startquant_step(shape):
    layer, x = conv_layer_and_inputs(*shape)
    d = g.decoupleQ(layer)
    d.add_batch(x, None, None)
    H = d.H

    def run():
        d.H = H.clone()
        d.quantizer = g.Quantizer()
        d.quantizer.configure(bits=4, sym=False)
        d.startquant(-1, False, 4, 50, 50, "cpu", 0.001)
    return run


def find_params_step():
    x, h = random_problem(256, 2304, 2304)
    q = g.Quantizer()
    q.configure(bits=4)

    def run():
        q.find_params(x, H=h)
    return run


def best_times(fn, counts, repeat):
    """Best time of fn at each thread count; the counts take turns, so that a
    machine whose speed drifts during the run favours none of them."""
    best = {n: float("inf") for n in counts}
    for r in range(repeat + 1):
        for n in counts:
            torch.set_num_threads(n)
            t = time.perf_counter()
            fn()
            if r:  # the first round warms up
                best[n] = min(best[n], time.perf_counter() - t)
    return [best[n] for n in counts]


def main():
    repeat = 3
    if "--repeat" in sys.argv:
        repeat = int(sys.argv[sys.argv.index("--repeat") + 1])
    n = available_cpus()
    start = torch.get_num_threads()
    steps = [("add_batch 480x480 1x1, 30720 vectors", add_batch_step()),
             ("startquant 480x480 1x1", startquant_step((480, 480, 1, 1))),
             ("startquant 256x576 (64x64 3x3)", startquant_step((256, 64, 3, 3))),
             ("find_params 256x2304", find_params_step())]
    print(f"available CPUs {n}; best of {repeat} runs")
    print(f"{'step':38s} {f'{n} threads':>11s} {'8 threads':>11s} {'ratio':>7s}")
    worst = 0.0
    for name, fn in steps:
        t_n, t_8 = best_times(fn, [n, 8], repeat)
        worst = max(worst, t_8 / t_n)
        print(f"{name:38s} {t_n:10.3f}s {t_8:10.3f}s {t_8 / t_n:7.2f}", flush=True)
    torch.set_num_threads(start)
    print(f"largest ratio 8-thread / {n}-thread: {worst:.2f}")


if __name__ == "__main__":
    main()
