"""Quantizer: min/max ranges, shrink search, find_params and the closed-form
output scale/zero, against independent NumPy float64 formulas."""
import numpy as np
import pytest
import torch

from mivra.api import gdq_quant as G
from reference import my_round as round_half_up, quad_err as np_err, quantize as np_quant


T = torch.tensor


def quantizer(**kw):
    q = G.Quantizer()
    q.configure(**kw)
    return q


def spd(rng, d):
    a = rng.normal(size=(d, 2 * d))
    return a @ a.T / (2 * d) + 0.1 * np.eye(d)


def np_minmax(x, gs, sym):
    xg = x.reshape(x.shape[0], -1 if gs == -1 else x[0].size // gs, x[0].size if gs == -1 else gs)
    xmin, xmax = np.minimum(xg.min(-1), 0.0), np.maximum(xg.max(-1), 0.0)
    if sym:
        xmax = np.maximum(np.abs(xmin), xmax)
        xmin = np.where(xmin < 0, -xmax, xmin)
    empty = (xmin == 0) & (xmax == 0)
    xmin[empty], xmax[empty] = -1.0, 1.0
    return xmin, xmax


def np_scale_zero(xmax, xmin, lo, hi, sym, zns):
    scale = (xmax - xmin) / (hi - lo)
    if sym:
        return scale, np.zeros_like(scale)
    return scale, (lo - round_half_up(xmin / scale) if zns else xmin - scale * lo)


def np_dequant(x, s, z, lo, hi, zns, gs):
    gs = x.shape[1] if gs == -1 else gs
    return np_quant(x, np.repeat(s, gs, 1), np.repeat(z, gs, 1), lo, hi, zns)[1]


def np_search(q, x, h, xmin, xmax, gs, best=None, scale=None, zero=None, x0=None):
    """The shrink search one candidate at a time (float32 best when it starts at
    +inf): strict improvement only; without given parameters it stops at the
    first candidate that improves no row."""
    lo, hi, early = q.min_bound, q.max_bound, scale is None
    best = np.full(x.shape[0], np.inf, np.float32) if best is None else best.copy()
    scale, zero = (np_scale_zero(xmax, xmin, lo, hi, q.sym, q.zero_no_shift) if early
                   else (scale.copy(), zero.copy()))
    bestp, steps = np.ones(x.shape[0], xmin.dtype), 0
    for steps in range(1, int(q.maxshrink * q.grid) + 1):
        p = 1 - (steps - 1) / q.grid
        s1, z1 = np_scale_zero(p * xmax, p * xmin, lo, hi, q.sym, q.zero_no_shift)
        err = np_err(np_dequant(x, s1, z1, lo, hi, q.zero_no_shift, gs), x if x0 is None else x0, h)
        imp = err < best
        if imp.any():
            best[imp], scale[imp], zero[imp], bestp[imp] = err[imp], s1[imp], z1[imp], p
        elif early:
            break
    return scale, zero, best, bestp, steps


def np_group_solve(x_int, x0, H, gs, sym, damp=False):
    """Normal equations P p = M^T H^T x0 per row (w = M p): P = M^T Hs M (Hs the
    symmetric part of H) but for the scale/zero coupling block Ma^T H Mi."""
    hs, ng, sols = (H + H.T) / 2, x_int.shape[1] // gs, []
    blocks = np.kron(np.eye(ng), np.ones((gs, 1)))  # (D, ng) group indicators
    for c in range(len(x_int)):
        M = blocks * x_int[c][:, None] if sym else np.hstack([blocks * x_int[c][:, None], blocks])
        P = M.T @ hs @ M
        if not sym:
            P[:ng, ng:] = M[:, :ng].T @ H @ M[:, ng:]
            P[ng:, :ng] = P[:ng, ng:].T
        if damp:
            P = P + (0.01 * np.mean(np.diag(P)) + (1e-5 if sym else 0.0)) * np.eye(len(P))
        sols.append(np.linalg.solve(P, M.T @ (H.T @ x0[c])))
    sols = np.stack(sols)
    return (sols, np.zeros_like(sols)) if sym else (sols[:, :ng], sols[:, ng:])


def noisy_case(seed, rows):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(rows, 16))
    return x, x + rng.normal(scale=0.05, size=x.shape), spd(rng, 16)


def random_case(seed, c=6, d=16, bits=4):
    rng = np.random.default_rng(seed)
    x_int = rng.integers(-(2 ** (bits - 1)), 2 ** (bits - 1), size=(c, d)).astype(np.float64)
    x0 = 0.05 * x_int + 0.02 + rng.normal(scale=0.03, size=(c, d))
    return x_int, x0, spd(rng, d)


def all_equal(a, b):
    return all(torch.equal(u, v) for u, v in zip(a, b))


# --- configuration and min/max --------------------------------------------------
@pytest.mark.parametrize("bits,lo,hi", [(2, -2, 1), (3, -4, 3), (4, -8, 7), (8, -128, 127)])
def test_configure_bounds_defaults_and_minmax_parameters(bits, lo, hi):
    q = quantizer(bits=bits)
    assert (q.min_bound, q.max_bound) == (lo, hi) and isinstance(q.max_bound, int)
    assert (q.perchannel, q.sym, q.grid, q.maxshrink, q.thr, q.iters_for_scale,
            q.zero_no_shift) == (True, False, 200, 0.8, 0.01, 4, True)
    x = np.random.default_rng(bits).normal(size=(5, 8))
    for sym, zns in [(False, True), (False, False), (True, True)]:
        q = quantizer(bits=bits, sym=sym, zero_no_shift=zns)
        xmin, xmax = q.get_minmax(T(x), -1)
        for a, r in zip(q.get_scale_zero_by_minmax(xmax, xmin),
                        np_scale_zero(xmax.numpy(), xmin.numpy(), lo, hi, sym, zns)):
            np.testing.assert_allclose(a.numpy(), r, rtol=1e-15, atol=1e-15)  # shapes too


@pytest.mark.parametrize("sym", [False, True])
@pytest.mark.parametrize("gs", [-1, 9])
def test_get_minmax_random_conv_shaped_and_grouping_rules(sym, gs):
    x = np.random.default_rng(5).normal(size=(6, 2, 3, 3))
    x[0] = np.abs(x[0])  # all non-negative row: xmin stays 0 even when symmetric
    x[1] = 0.0           # all-zero row: [-1, 1]
    x[2] = -np.abs(x[2])  # all non-positive row: xmax stays 0 unless symmetric
    got = quantizer(sym=sym).get_minmax(T(x), gs)
    assert got[0].dtype == torch.float64  # the widening zero does not narrow float64
    np.testing.assert_array_equal(np.stack([v.numpy() for v in got]), np_minmax(x, gs, sym))
    with pytest.raises(AssertionError):
        quantizer().get_minmax(T(x), 4)  # 18 columns are not groups of 4
    assert all_equal(quantizer(sym=sym).get_minmax(T(x), 18), quantizer(sym=sym).get_minmax(T(x), -1))
    x = torch.tensor([[1.0, 2.0, 3.0, 4.0], [-5.0, 0.0, 0.0, 0.0], [0.0, 0.0, 0.0, 9.0]])
    assert [v.tolist() for v in quantizer(perchannel=False).get_minmax(x, -1)] == [[[-5.0]], [[9.0]]]


# --- shrink search ----------------------------------------------------------------
@pytest.mark.parametrize("started", [False, True])
def test_search_stacked_candidates_equal_single_ones(started):
    # The CPU stacks all 16 candidates of this search in one product; the seam
    # forces stacks of 3. How many candidates share a product must not matter.
    rng = np.random.default_rng(6)
    x, h = (T(a, dtype=torch.float32) for a in (rng.normal(size=(128, 1152)), spd(rng, 1152)))
    q = quantizer(grid=20)
    xmin, xmax = q.get_minmax(x, 64)
    kw = {}
    if started:
        s, z = q.get_scale_zero_by_minmax(xmax, xmin)
        kw = dict(scale=s, zero=z, best=G.cal_quant_err_scale_zero(
            x, s, z, None, None, False, -8, 7, 64, h, zero_no_shift=True))
    single = q.get_scale_and_zero(xmin, xmax, x, h, groupsize=64, **kw)
    G._arm_fault("shrink_small_stacks", 1)
    assert all_equal(q.get_scale_and_zero(xmin, xmax, x, h, groupsize=64, **kw), single)
    # The tensor operations used off the CPU (r h r^T, not |r F|^2) decide alike.
    G._arm_fault("shrink_tensor_ops", 1)
    s, z, b, p = q.get_scale_and_zero(xmin, xmax, x, h, groupsize=64, **kw)
    assert all_equal((s, z, p), (single[0], single[1], single[3]))
    torch.testing.assert_close(b, single[2], rtol=1e-5, atol=0)


@pytest.mark.parametrize("sym,zns", [(False, True), (False, False), (True, True)])
@pytest.mark.parametrize("gs", [-1, 4])
@pytest.mark.parametrize("started", [False, True])
def test_search_against_numpy(sym, zns, gs, started):
    x, x0, h = noisy_case(7, 40)
    q = quantizer(sym=sym, zero_no_shift=zns)
    xmin, xmax = np_minmax(x, gs, sym)
    kw, tkw = {}, {}
    if started:
        s, z = np_scale_zero(xmax, xmin, -8, 7, sym, zns)
        kw = dict(scale=s, zero=z, best=np_err(np_dequant(x, s, z, -8, 7, zns, gs), x0, h))
        tkw = {k: T(v) for k, v in kw.items()}
    rs, rz, rb, rp, steps = np_search(q, x, h, xmin, xmax, gs, x0=x0, **kw)
    s, z, b, p = q.get_scale_and_zero(T(xmin), T(xmax), T(x), T(h), groupsize=gs, x0=T(x0), **tkw)
    assert (steps < 160 or started) and b.dtype == (torch.float64 if started else torch.float32)
    np.testing.assert_array_equal(p.numpy(), rp)  # the early exit above is exercised
    for a, r in ((s, rs), (z, rz)):
        np.testing.assert_allclose(a.numpy(), r, rtol=1e-14, atol=1e-14)
    np.testing.assert_allclose(b.numpy(), rb, rtol=1e-6 if not started else 1e-12)
    if started:  # given parameters are copied, never modified
        np.testing.assert_array_equal(tkw["scale"].numpy(), kw["scale"])


@pytest.mark.parametrize("bits,sym,cols,gs", [(2, False, 200, -1), (3, True, 64, -1), (4, False, 130, -1),
                                              (5, True, 72, -1), (4, False, 128, 32), (3, True, 120, 24),
                                              (2, False, 200, 8)])
def test_search_carried_errors(bits, sym, cols, gs):
    # At <= 5 bits the CPU carries h u from one candidate to the next (per
    # group: h (s_ref . u), the scales a multiple of s_ref to rounding).
    # Against the float64 formula in float64 (to rounding; with groups also
    # every error taken directly, the seam), and in float32 against a product
    # per candidate (the seam) and against stacks of 3 (the carried state
    # crosses stacks). Rows 3 and 5 have an empty range in their first group
    # (scale 0): under sym their candidates have zero 0, row 3's (a zero
    # entry: 0 / 0) are NaN, row 5's error that of r = -x0 there; with a zero
    # point the zero is NaN.
    rng = np.random.default_rng(bits)
    x = rng.normal(size=(24, cols)) * rng.uniform(0.2, 2.0, size=(24, 1))
    x[3, 0] = 0.0
    x0, h = x + rng.normal(scale=0.02, size=x.shape), spd(rng, cols)
    q = quantizer(bits=bits, sym=sym)
    xmin, xmax = np_minmax(x, gs, sym)
    xmin[[3, 5], 0] = xmax[[3, 5], 0] = 0.0
    with np.errstate(invalid="ignore", divide="ignore"):
        s, z = np_scale_zero(xmax, xmin, q.min_bound, q.max_bound, sym, True)
        s[[3, 5], 0], z[[3, 5], 0] = 1.0, 0.0
        kw = dict(scale=s, zero=z, best=np_err(np_dequant(x, s, z, q.min_bound, q.max_bound, True, gs), x0, h))
        kw["best"][5] = 1.01 * np_err(-x0[5:6], 0 * x0[5:6], h)[0] if sym and gs == -1 else kw["best"][5]
        rs, rz, rb, rp, _ = np_search(q, x, h, xmin, xmax, gs, x0=x0, **kw)
    args = [T(a) for a in (xmin, xmax, x, h)]
    for seam in ["shrink_direct_errors"] * (gs != -1) + [None]:
        if seam:
            G._arm_fault(seam, 1)
        s64, _, b64, p64 = q.get_scale_and_zero(*args, x0=T(x0), groupsize=gs,
                                                **{k: T(v) for k, v in kw.items()})
        np.testing.assert_array_equal(p64.numpy(), rp)
        np.testing.assert_allclose(b64.numpy(), rb, rtol=1e-10)
    others = np.delete(rp, [3, 5])
    assert p64[3] == 1.0 and (gs != -1 or (b64[5] < kw["best"][5]) == sym)
    assert 0.2 < others.min() and (others < 1).mean() > 0.5

    f32 = [T(a).float() for a in (xmin, xmax, x, h)]
    kw32 = dict(x0=T(x0).float(), groupsize=gs, **{k: T(v).float() for k, v in kw.items()})
    carried = q.get_scale_and_zero(*f32, **kw32)
    G._arm_fault("shrink_products", 1)
    products = q.get_scale_and_zero(*f32, **kw32)
    G._arm_fault("shrink_small_stacks_carried", 1)
    assert all_equal(q.get_scale_and_zero(*f32, **kw32), carried)
    assert all_equal((carried[0], carried[1], carried[3]), (products[0], products[1], products[3]))
    torch.testing.assert_close(carried[2], products[2], rtol=1e-5, atol=0)
    if gs == -1:
        np.testing.assert_array_equal(carried[3].numpy(), rp.astype(np.float32))


def test_search_factors_smallest_factor_and_edge_rows():
    # Only the small values are weighted, so shrinking helps down to the last factor.
    x = np.array([[8.0] + [0.013 * k for k in range(1, 8)]])
    h = np.diag([0.0] + [1.0] * 7)
    xmin, xmax = np_minmax(x, -1, False)
    for grid, last in [(10, 0.3), (200, 0.205)]:
        q = quantizer(grid=grid)
        _, _, _, p = q.get_scale_and_zero(T(xmin), T(xmax), T(x), T(h))
        assert p.item() == pytest.approx(last) and p.item() == np_search(q, x, h, xmin, xmax, -1)[3][0]
    # An exactly representable row keeps p = 1 (error 0); a NaN row never improves.
    x = torch.tensor([[-8.0, -4.0, 0.0, 7.0], [1.0, float("nan"), 0.5, -0.3], [0.3, -0.7, 0.2, 0.9]])
    q = quantizer()
    _, _, best, p = q.get_scale_and_zero(*q.get_minmax(x, -1), x, torch.eye(4))
    assert p[:2].tolist() == [1.0, 1.0] and best[:2].tolist() == [0.0, float("inf")]


def test_quant_via_minmax_reuses_bestp():
    rng = np.random.default_rng(8)
    x, h = (T(a, dtype=torch.float32) for a in (rng.normal(size=(6, 12)), spd(rng, 12)))
    q = quantizer()
    w, p = q.quant_via_minmax(x, 4, h)
    s, z, _, p2 = q.get_scale_and_zero(*q.get_minmax(x, 4), x, h, groupsize=4)
    assert torch.equal(p, p2) and torch.equal(w, G.quantize(x, *G.repeat_interleave(x, 4, s, z),
                                                            -8, 7, zero_no_shift=True))
    w2, p3 = q.quant_via_minmax(x, 4, h, bestp=p)
    assert torch.equal(p3, p) and torch.allclose(w2, w, atol=1e-6)


# --- find_params ------------------------------------------------------------------
@pytest.mark.parametrize("sym", [False, True])
@pytest.mark.parametrize("gs", [-1, 8])
def test_find_params_levels(sym, gs):
    # iters_for_scale 0: min/max; 1: plus the shrink search; 4: plus the closed form.
    x, x0, h = noisy_case(9, 6)
    xmin, xmax = np_minmax(x, gs, sym)
    rs, rz = np_scale_zero(xmax, xmin, -8, 7, sym, True)
    rb = np_err(np_dequant(x, rs, rz, -8, 7, True, gs), x0, h)
    res = [quantizer(sym=sym, iters_for_scale=i).find_params(T(x), gs, T(h), x0=T(x0))
           for i in (0, 1, 4)]
    best = res[0][4].numpy()
    rs1, _, rb1, _, _ = np_search(quantizer(sym=sym), x, h, xmin, xmax, gs, best=best, scale=rs,
                                  zero=rz, x0=x0)
    for (s, z, so, zo, b), ws, wb in zip(res, (rs, rs1), (rb, rb1)):
        np.testing.assert_allclose(s.numpy(), ws, rtol=1e-14)
        np.testing.assert_allclose(b.numpy(), wb, rtol=1e-10)
        assert torch.equal(so, s) and torch.equal(zo, -s * z)
    np.testing.assert_array_equal(res[0][1].numpy(), rz)
    (s1, z1, _, _, b1), (s4, z4, so4, zo4, b4) = res[1:]
    assert (b1.numpy() <= best).all() and torch.equal(s4, s1) and torch.equal(z4, z1)
    assert all_equal((so4, zo4, b4), quantizer(sym=sym).get_scale_and_zero_out_group(
        T(x), s1, z1, T(h), gs, x0=T(x0)))
    assert gs == -1 or so4.dtype == torch.float32  # the grouped solve always returns float32
    if sym:  # least squares over the output scale can only lower the error
        assert (b4.numpy() <= b1.numpy() * (1 + 1e-6)).all()


def test_find_params_out_of_memory_falls_back_silently(capsys):
    rng = np.random.default_rng(10)
    x, h = (T(a, dtype=torch.float32) for a in (rng.normal(size=(8, 16)), spd(rng, 16)))
    r1, r4 = (quantizer(iters_for_scale=i).find_params(x, 8, h) for i in (1, 4))
    capsys.readouterr()
    G._arm_fault("find_params_oom", 1)
    assert all_equal(quantizer(iters_for_scale=4).find_params(x, 8, h), r1)
    assert capsys.readouterr().out == ""
    # the seam fires once; the next call runs the closed form again
    assert all_equal(quantizer(iters_for_scale=4).find_params(x, 8, h), r4)


# --- closed form per channel --------------------------------------------------------
@pytest.mark.parametrize("grouped", [False, True])
def test_fake_int_in_and_closed_form_from_x_scale_zero_with_default_x0(grouped):
    rng = np.random.default_rng(12)
    x, h = rng.normal(size=(4, 12)), spd(rng, 12)
    gs, s = (4 if grouped else -1), rng.uniform(0.05, 0.3, size=(4, 3 if grouped else 1))
    z = rng.integers(-2, 3, size=s.shape).astype(np.float64)
    for zns in (True, False):  # None follows the quantizer: shift-free zero by default
        kw = {} if zns else {"zero_no_shift": False}
        got = quantizer(bits=3).get_fake_int_in(T(x), T(s), T(z), groupsize=gs, **kw)
        np.testing.assert_array_equal(got.numpy(), np_quant(x, *(np.repeat(v, 12 // s.shape[1], 1)
                                                                  for v in (s, z)), -4, 3, zns)[0])
    q = quantizer(zero_no_shift=grouped)
    x_int = q.get_fake_int_in(T(x), T(s), T(z), groupsize=gs)
    ref = q.get_scale_and_zero_out(None, None, None, T(h), x0=T(x), x_int=x_int)
    if grouped:
        got = q.get_scale_and_zero_out_group(T(x), T(s), T(z), T(h), 4)
        ref = q.get_scale_and_zero_out_group(H=T(h), groupsize=4, x0=T(x), x_int=x_int)
        with pytest.raises(RuntimeError):
            q.get_scale_and_zero_out_group(H=T(h), groupsize=5, x0=T(x), x_int=x_int)
    else:
        got = q.get_scale_and_zero_out(T(x), T(s), T(z), T(h))
        for gs1 in (-1, 12):  # one group is the per-channel closed form
            one = q.get_scale_and_zero_out_group(H=T(h), groupsize=gs1, x0=T(x), x_int=x_int)
            assert one[0].shape == (4, 1) and all_equal(one, ref)
    assert all_equal(got, ref)


@pytest.mark.parametrize("sym,zns,bits", [(True, True, b) for b in (2, 3, 4, 8)] +
                         [(False, z, b) for z in (False, True) for b in (2, 4, 8)])
def test_scale_and_zero_out_is_least_squares(sym, zns, bits):
    x_int, x0, hn = random_case(20 + bits, bits=bits)
    hn[0, 1] += 0.05  # not symmetric: only the symmetric part may matter
    q = quantizer(bits=bits, sym=sym, zero_no_shift=zns)
    so, zo, err = q.get_scale_and_zero_out(None, None, None, T(hn), x0=T(x0), x_int=T(x_int))
    hs = (hn + hn.T) / 2
    L = np.linalg.cholesky(hs)  # weighted least squares via lstsq on the Cholesky factor
    sol = np.array([np.linalg.lstsq(L.T @ np.stack([xi, np.ones(len(hs))][:1 + (not sym)], 1),
                                    L.T @ y, rcond=None)[0] for xi, y in zip(x_int, x0)])
    rs, rz = sol[:, :1], (0 * sol if sym else sol[:, 1:])
    rz = round_half_up(rz / rs) * rs if zns and not sym else rz
    np.testing.assert_allclose(so.numpy(), rs, rtol=1e-8)  # shapes (6, 1) too
    np.testing.assert_allclose(zo.numpy(), rz, rtol=1e-8, atol=1e-12)
    np.testing.assert_allclose(err.numpy(), np_err(x_int * rs + rz, x0, hs), rtol=1e-8)
    if sym:  # the general entry is the symmetric scale, which asymmetric may not call
        assert all_equal((so, err), q.get_scale_out_sym(T(hn), T(x0), T(x_int)))
    else:
        with pytest.raises(AssertionError):
            q.get_scale_out_sym(T(hn), T(x0), T(x_int))


@pytest.mark.parametrize("zns", [False, True])
def test_scale_and_zero_out_degenerate_rows_and_fatal_error(zns):
    x_int, x0, h = random_case(14)
    x_int[2] = 0.0  # all-zero row: scale and zero 0, error of x0 itself
    x_int[3] = 3.0  # equal integers: p1 p5 - p2 p2 = 0 exactly, the determinant becomes 1e-5
    args = (None, None, None, T(np.eye(16)))
    so, zo, err = quantizer(zero_no_shift=zns).get_scale_and_zero_out(*args, x0=T(x0), x_int=T(x_int))
    assert so[2].item() == zo[2].item() == 0.0 and np.isfinite(err.numpy()).all()
    np.testing.assert_allclose(err[2].item(), x0[2] @ x0[2], rtol=1e-10)
    p1, p2, p3, p5, p6 = 9.0 * 16, 3.0 * 16, 3 * x0[3].sum(), 16.0, x0[3].sum()
    assert so[3].item() == pytest.approx((p3 * p5 - p2 * p6) / 1e-5, rel=1e-9)
    if not zns:
        assert zo[3].item() == pytest.approx((p1 * p6 - p3 * p2) / 1e-5, rel=1e-9)
    assert quantizer(sym=True).get_scale_and_zero_out(*args, x0=T(x0), x_int=T(x_int))[0][2] == 0
    x0[1, 3] = np.nan
    with pytest.raises(ValueError, match="^Fatal Error$"):
        quantizer().get_scale_and_zero_out(None, None, None, T(h), x0=T(x0), x_int=T(x_int))
    with pytest.raises(ValueError, match="^Fatal Error$"):
        quantizer().find_params(torch.tensor([[0.1, -0.2, 0.3, 0.4]]), -1, torch.diag(T([np.inf, 1, 1, 1])))


# --- closed form per group ----------------------------------------------------------
@pytest.mark.parametrize("sym,zns,c", [(False, False, 6), (False, True, 6), (True, True, 6),
                                        (False, True, 131), (True, True, 131)])  # rows on 2 threads
@pytest.mark.parametrize("bits", [3, 4, 8])
def test_group_closed_form_against_numpy(sym, zns, c, bits):
    x_int, x0, hn = random_case(30 + bits, c=c, d=24, bits=bits)
    hn[2, 5] += 0.03  # err uses H as passed, the equations its symmetric part
    q = quantizer(bits=bits, sym=sym, zero_no_shift=zns)
    so, zo, err = q.get_scale_and_zero_out_group(H=T(hn), groupsize=8, x0=T(x0), x_int=T(x_int))
    rs, rz = np_group_solve(x_int, x0, hn, 8, sym)
    rz = round_half_up(rz / rs) * rs if zns and not sym else rz
    assert so.dtype == torch.float32  # the comparisons check the (c, 3) shapes too
    np.testing.assert_allclose(np.stack([so.numpy(), zo.numpy()]), [rs, rz], rtol=2e-6, atol=1e-7)
    so64, zo64 = (np.repeat(v.numpy().astype(np.float64), 8, 1) for v in (so, zo))
    np.testing.assert_allclose(err.numpy(), np_err(x_int * so64 + zo64, x0, hn), rtol=1e-9)
    # float32 inputs, solved in float64 or in float32: float32 results near the same
    args = dict(H=T(hn).float(), groupsize=8, x0=T(x0).float(), x_int=T(x_int).float())
    for dp in (True, False):
        so, zo, err = q.get_scale_and_zero_out_group(double_precision=dp, **args)
        assert so.dtype == err.dtype == torch.float32
        np.testing.assert_allclose(so.numpy(), rs, rtol=2e-3)
        if not zns:
            np.testing.assert_allclose(zo.numpy(), rz, rtol=2e-3, atol=1e-4)


@pytest.mark.parametrize("sym", [False, True])
@pytest.mark.parametrize("dtype", [torch.float32, torch.float64])
def test_group_systems_one_pass_equal_tensor_expressions(sym, dtype):
    """The CPU's one-pass assembly of the row systems gives, bit for bit, what the
    tensor expressions used off the CPU give."""
    x_int, x0, h = random_case(7, c=131, d=24)
    q = quantizer(sym=sym, zero_no_shift=False)
    args = dict(H=T(h).to(dtype), groupsize=8, x0=T(x0).to(dtype), x_int=T(x_int).to(dtype))
    fast = q.get_scale_and_zero_out_group(**args)
    G._arm_fault("group_systems_tensor_ops", 1 << 20)
    try:
        ref = q.get_scale_and_zero_out_group(**args)
    finally:
        G._arm_fault("group_systems_tensor_ops", 0)
    assert all(torch.equal(a, b) for a, b in zip(fast, ref))


@pytest.mark.parametrize("sym", [False, True])
@pytest.mark.parametrize("c,d,gs,bad", [(5, 16, 4, 3), (2100, 128, 2, 2050)])
def test_group_damped_retry_on_singular_row(sym, c, d, gs, bad):
    """A singular row system damps every row's, also those of other row blocks (the
    second size is solved in several blocks)."""
    x_int, x0, h = random_case(42, c=c, d=d)
    x_int[:, 1::gs] = x_int[:, ::gs] + 1    # no group of equal values: regular systems
    x_int[bad] = 0.0  # singular system for that row: the whole batch is damped
    q = quantizer(sym=sym, zero_no_shift=False)
    so, zo, err = q.get_scale_and_zero_out_group(H=T(h), groupsize=gs, x0=T(x0), x_int=T(x_int))
    for a, r in zip((so, zo), np_group_solve(x_int, x0, h, gs, sym, damp=True)):
        np.testing.assert_allclose(a.numpy(), r, rtol=2e-6, atol=1e-7)
    assert (so[bad] == 0).all()
    # an undamped solve would differ on the regular rows, also on the first
    ru, _ = np_group_solve(x_int[:3], x0[:3], h, gs, sym)
    assert not np.allclose(so.numpy()[:3], ru, rtol=1e-6)
    x_int, x0 = x_int[:5], x0[:5]
    if not sym:  # a second failure propagates (no 1e-5 floor to rescue it)
        with pytest.raises(RuntimeError):
            q.get_scale_and_zero_out_group(H=torch.zeros(d, d, dtype=torch.float64), groupsize=gs,
                                           x0=T(x0), x_int=T(x_int))


def test_group_sym_zero_point_check(capsys):
    # A non-zero zero-point prints the zero-point and raises AssertionError(None),
    # before the columns are split into groups (10 columns, groups of 4).
    x_int, eye, z = torch.zeros(3, 10).double(), torch.eye(10).double(), torch.ones(3, 2).double()
    q = quantizer(sym=True)
    with pytest.raises(AssertionError) as info:
        q.get_scale_and_zero_out_group(None, None, z, eye, 4, x0=x_int, x_int=x_int)
    assert info.value.args == (None,) and capsys.readouterr().out == str(z) + "\n"
    with pytest.raises(RuntimeError, match="invalid for input of size 30"):
        q.get_scale_and_zero_out_group(None, None, 0 * z, eye, 4, x0=x_int, x_int=x_int)
    assert capsys.readouterr().out == ""
    z[1:] = 0.0  # the check also guards the entry from x, scale and zero
    with pytest.raises(AssertionError):
        q.get_scale_and_zero_out_group(x_int[:, :8], 0.1 + z, z, eye[:8, :8], 4)
    assert capsys.readouterr().out == str(z) + "\n"
