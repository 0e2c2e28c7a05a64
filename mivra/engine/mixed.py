"""Bit widths per layer under a size budget.

Each layer l can take a width b from WIDTHS at a cost c_l(b) (its weight bits,
or its stored bytes) and an error e_l(b) (its Hessian-weighted output error
relative to its output energy, measured by a quick solve at that width). The
widths minimise sum_l e_l(b_l) subject to sum_l c_l(b_l) <= budget: a
multiple-choice knapsack, solved exactly by dynamic programming over the
Pareto frontier of (cost, error) of the layers seen so far; a state is dropped
only when another costs no more and errs no more.
"""
from __future__ import annotations

import numpy as np

WIDTHS = (2, 3, 4, 8)


def knapsack(costs: list, errors: list, budget: float) -> list | None:
    """Indices of the chosen option per layer minimising the summed error with
    summed cost <= ``budget``; None when even the cheapest choice exceeds it.

    ``costs[l][k]``, ``errors[l][k]``: cost and error of option k of layer l.
    """
    cheapest_rest = np.concatenate([np.cumsum([min(c) for c in costs][::-1])[::-1][1:], [0]])
    # frontier: arrays of cost, error and back-pointers, sorted by cost with
    # strictly decreasing error
    cost = np.zeros(1)
    err = np.zeros(1)
    back = []
    for l, (cl, el) in enumerate(zip(costs, errors)):
        cand_c = (cost[:, None] + np.asarray(cl, float)[None, :]).ravel()
        cand_e = (err[:, None] + np.asarray(el, float)[None, :]).ravel()
        origin = np.arange(cand_c.size)
        fits = cand_c + cheapest_rest[l] <= budget
        cand_c, cand_e, origin = cand_c[fits], cand_e[fits], origin[fits]
        if cand_c.size == 0:
            return None
        order = np.lexsort((cand_e, cand_c))
        cand_c, cand_e, origin = cand_c[order], cand_e[order], origin[order]
        keep = cand_e < np.minimum.accumulate(np.concatenate([[np.inf], cand_e[:-1]]))
        cost, err = cand_c[keep], cand_e[keep]
        back.append((origin[keep], len(cl)))
    best = int(np.argmin(err))
    choice = []
    for origin, n_opt in reversed(back):
        o = int(origin[best])
        choice.append(o % n_opt)
        best = o // n_opt
    return choice[::-1]


def stored_bytes(n_weights: int, n_scales: int, bits: int, asym: bool) -> float:
    """Bytes of a layer packed at its width: b-bit integers, float32 scales
    and, when asymmetric, b-bit zero points."""
    return (n_weights * bits + n_scales * (32 + (bits if asym else 0))) / 8.0
