import numpy as np
import pytest
import torch

from mivra.api import gdq_quant as g
import reference as ref

LADDER_LINES = ["海森矩阵为非正定矩阵 " + t for t in ("0.01", "0.1", "1.0", "10.0", "100.0")]


def gptq(W, so, zo, mn, mx, H, blocksize=None):
    """round_gptq; with a blocksize, through the private entry that takes it."""
    return (g.round_gptq(W, so, zo, False, mn, mx, H00=H) if blocksize is None
            else g._round_gptq(W, so, zo, mn, mx, H, blocksize))


def problem(seed, rows, cols, dtype=torch.float64):
    rng = np.random.default_rng(seed)
    W = rng.standard_normal((rows, cols)) * rng.uniform(0.5, 2.0, size=(rows, 1))
    scale = np.abs(W).max(axis=1, keepdims=True) / 7.0 * rng.uniform(0.6, 1.0, size=(rows, 1))
    so, zo = (np.repeat(v, cols, axis=1) for v in (scale, rng.uniform(-0.3, 0.3, size=(rows, 1))))
    return W, so, zo, ref.correlated_hessian(rng, cols), lambda a: torch.tensor(a, dtype=dtype)


@pytest.fixture(autouse=True)
def _disarm():
    yield
    for site in ("cholesky", "nan_factor", "gptq_tensor_ops"):
        g._arm_fault(site, 0)


@pytest.mark.parametrize("path", ["row_loop", "tensor_ops"])
@pytest.mark.parametrize("blocksize", [None, 1, 5, 128])
def test_matches_column_by_column_reference(blocksize, path):
    W, so, zo, H, t = problem(1, 9, 23)
    Wt = t(W)
    g._arm_fault("gptq_tensor_ops", path == "tensor_ops")  # the per-column tensor operations used off the CPU
    got = (*gptq(Wt, t(so), t(zo), -8, 7, t(H), blocksize), Wt)
    for a, b in zip(got, ref.round_gptq(W, so, zo, -8, 7, H)):
        np.testing.assert_allclose(a.numpy(), b, rtol=1e-9, atol=1e-10)


@pytest.mark.parametrize("path", ["row_loop", "tensor_ops"])
def test_blocked_equals_column_by_column_float32_on_the_grid(path):
    W, so, zo, H, t = problem(4, 32, 300, dtype=torch.float32)
    W1 = t(W)
    Q1, n1 = gptq(W1, t(so), t(zo), -8, 7, t(H), 1)
    assert Q1.dtype == n1.dtype == torch.float32 and torch.equal(n1[:, 0], t(W)[:, 0])  # first column: input
    torch.testing.assert_close(W1, Q1, rtol=1e-4, atol=1e-4)  # W ends equal to Q
    grid = (Q1.double().numpy() - zo) / so
    np.testing.assert_allclose(grid, np.clip(np.round(grid), -8, 7), atol=1e-5)
    for bs in (None, 7, 64, 128, 1000):
        g._arm_fault("gptq_tensor_ops", path == "tensor_ops")
        Wb = t(W)
        # Float32 summation order differs; a grid decision may flip only for a
        # value within rounding noise of a half, which these data do not hit.
        for a, b, rtol, atol in zip((*gptq(Wb, t(so), t(zo), -8, 7, t(H), bs), Wb), (Q1, n1, W1),
                                    (0, 1e-4, 1e-4), (1e-5, 1e-4, 1e-4)):
            torch.testing.assert_close(a, b, rtol=rtol, atol=atol)


def test_identity_hessian_gives_clamped_my_round_with_ties_up():
    rng = np.random.default_rng(5)
    W = np.round(rng.uniform(-12, 12, size=(7, 16)) * 4) / 4  # many exact halves
    W[0, :6] = [0.5, 1.5, 2.5, -0.5, -1.5, -2.5]
    ones = np.ones_like(W)
    ones[1, 3] = 0.0  # a zero scale divides by the 1e-15 floor: clamped grid value times zero
    Q, _ = gptq(torch.tensor(W), torch.tensor(ones), torch.tensor(0 * ones), -8, 7,
                torch.eye(16, dtype=torch.float64))
    np.testing.assert_array_equal(Q.numpy(), np.clip(ref.my_round(W), -8, 7) * ones)
    np.testing.assert_array_equal(Q.numpy()[0, :6], [1, 2, 3, 0, -1, -2])


@pytest.mark.parametrize("case,faults,lines,level", [
    ("positive_definite", 0, [], 0.01),
    ("zero_feature", 0, [], 0.01),  # singular only through a zero feature: first level works
    ("cholesky", 2, LADDER_LINES[:2], 1.0),  # two failed factorisations, third level
    ("nan_factor", 1, [], 0.1),  # a NaN factor moves on silently
    ("cholesky", 5, LADDER_LINES, None),  # every level fails: ValueError
    ("zero_hessian", 0, LADDER_LINES, None),
])
def test_damping_ladder_level_and_messages(case, faults, lines, level, capsys):
    W, so, zo, H, t = problem(8, 4, 12)
    rows = {"zero_feature": 3, "zero_hessian": slice(None)}.get(case)
    if rows is not None:
        H[rows, :] = H[:, rows] = 0
    if faults:
        g._arm_fault(case, faults)
    if level is None:
        with pytest.raises(ValueError, match="Hessian H00 is not positive definite"):
            gptq(t(W), t(so), t(zo), -8, 7, t(H))
    else:
        Q, _ = gptq(t(W), t(so), t(zo), -8, 7, t(H))
        Qr, _, _ = ref.round_gptq(W, so, zo, -8, 7, H, ladder=(level,))
        np.testing.assert_allclose(Q.numpy(), Qr, rtol=1e-10, atol=1e-12)
    assert capsys.readouterr().out.splitlines() == lines


def test_nan_factor_at_every_level_reaches_the_debug_shell(capsys):
    # Without a terminal the shell announces its header and is skipped.
    W, so, zo, H, t = problem(13, 3, 6)
    g._arm_fault("nan_factor", 5)
    Q, _ = gptq(t(W), t(so), t(zo), -8, 7, t(H))
    out = capsys.readouterr().out
    assert out.startswith("nan appears!") and out.count("\n") == 1 and torch.isnan(Q).any()
    with pytest.raises(RuntimeError, match="H00"):  # shape mismatch
        gptq(t(W), t(so), t(zo), -8, 7, torch.eye(5, dtype=torch.float64))


# --- opt_intW3 -------------------------------------------------------------

@pytest.mark.parametrize("negative_scale,lr,x0_gain", [(False, 0.05, 1.0), (True, 0.05, 1.0),
                                                       (True, 10.0, 3.0)])
def test_opt_intW3_train_matches_reference(negative_scale, lr, x0_gain):
    # lr 10 from weights far outside the box: only the projection keeps the
    # relaxation (first column of f1) inside it.
    W, so, zo, H, t = problem(20, 6, 18)
    W *= x0_gain
    so[::2] *= -1 if negative_scale else 1
    x0 = t(W)
    w_int, f1, loss = g.opt_intW3(t(so), t(zo), t(H), False, -8, 7, x0, max_iter=15, lr=lr,
                                  round_fn="train")
    wr, f1r, lossr = ref.opt_intW3(so, zo, H, -8, 7, W, 15, lr, "train")
    np.testing.assert_array_equal(w_int.numpy(), wr)
    for a, r in ((f1, f1r), (loss, lossr)):
        np.testing.assert_allclose(a.numpy(), r, rtol=1e-9, atol=1e-12)
    assert torch.equal(x0, t(W))  # x0 untouched
    l, r = -8 * so[:, 0] + zo[:, 0], 7 * so[:, 0] + zo[:, 0]
    assert np.all(abs(2 * f1.numpy()[:, 0] - l - r) <= abs(r - l) + 1e-12)


def test_opt_intW3_gptq_ignores_max_iter_and_train_without_steps_is_gptq():
    W, so, zo, H, t = problem(22, 5, 12)
    Qr, _, _ = ref.round_gptq(W, so, zo, -8, 7, H)
    for res in (g.opt_intW3(t(so), t(zo), t(H), False, -8, 7, t(W), max_iter=n, round_fn=fn)
                for n, fn in ((50, "gptq"), (0, "train"))):
        np.testing.assert_array_equal(res[0].numpy(), np.round((Qr - zo) / so))
        np.testing.assert_allclose(res[2].numpy(), ref.quad_err(Qr, W, H), rtol=1e-9)
    # float32, 2 bits: integers in bounds, the loss is their error
    W, so, zo, H, t = problem(23, 7, 20, dtype=torch.float32)
    w_int, _, loss = g.opt_intW3(t(so), t(zo), t(H), True, -2, 1, t(W))
    w = w_int.numpy()
    assert np.array_equal(w, np.clip(np.round(w), -2, 1))
    np.testing.assert_allclose(loss.numpy(), ref.quad_err(w * so + zo, W, H), rtol=1e-4)


def test_opt_intW3_keeps_x_init_records_no_gradient_and_rejects_unknown_round_fn():
    W, so, zo, H, t = problem(25, 4, 8, dtype=torch.float32)
    x_init = t(W) + 0.3
    out = g.opt_intW3(t(so).requires_grad_(True), t(zo), t(H), False, -8, 7,
                      t(W).requires_grad_(True), x_init=x_init, max_iter=3, round_fn="train")
    assert torch.equal(x_init, t(W) + 0.3) and not any(r.requires_grad for r in out)
    with pytest.raises(AssertionError):
        g.opt_intW3(t(so), t(zo), t(H), False, -8, 7, t(W), round_fn="sgd")
