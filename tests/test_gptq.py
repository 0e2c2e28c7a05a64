import numpy as np
import pytest
import torch

from mivra.api import gdq_quant as g
import reference as ref

LADDER_LINES = ["海森矩阵为非正定矩阵 " + t for t in ("0.01", "0.1", "1.0", "10.0", "100.0")]


def gptq(W, so, zo, mn, mx, H, blocksize=None):
    """round_gptq; with a blocksize, through the private entry that takes it."""
    if blocksize is None:
        return g.round_gptq(W, so, zo, False, mn, mx, H00=H)
    return g._round_gptq(W, so, zo, mn, mx, H, blocksize)


def problem(seed, rows, cols, dtype=torch.float64, asym=True):
    rng = np.random.default_rng(seed)
    W = rng.standard_normal((rows, cols)) * rng.uniform(0.5, 2.0, size=(rows, 1))
    scale = np.abs(W).max(axis=1, keepdims=True) / 7.0 * rng.uniform(0.6, 1.0, size=(rows, 1))
    zero = (rng.uniform(-0.3, 0.3, size=(rows, 1)) if asym else np.zeros((rows, 1)))
    so = np.repeat(scale, cols, axis=1)
    zo = np.repeat(zero, cols, axis=1)
    H = ref.correlated_hessian(rng, cols)
    t = lambda a: torch.tensor(a, dtype=dtype)
    return W, so, zo, H, t


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
    if path == "tensor_ops":  # the per-column tensor operations used off the CPU
        g._arm_fault("gptq_tensor_ops", 1)
    Q, newW = gptq(Wt, t(so), t(zo), -8, 7, t(H), blocksize)
    Qr, newWr, Wr = ref.round_gptq(W, so, zo, -8, 7, H)
    np.testing.assert_allclose(Q.numpy(), Qr, rtol=1e-10, atol=1e-12)
    np.testing.assert_allclose(newW.numpy(), newWr, rtol=1e-9, atol=1e-10)
    np.testing.assert_allclose(Wt.numpy(), Wr, rtol=1e-9, atol=1e-10)


def test_result_lies_on_the_grid_of_the_pair():
    W, so, zo, H, t = problem(2, 6, 40)
    Q, _ = gptq(t(W), t(so), t(zo), -8, 7, t(H))
    grid = (Q.numpy() - zo) / so
    np.testing.assert_allclose(grid, np.round(grid), atol=1e-9)
    assert grid.min() >= -8 - 1e-9 and grid.max() <= 7 + 1e-9


def test_W_ends_equal_to_Q_and_first_column_of_newW_is_the_input():
    W, so, zo, H, t = problem(3, 5, 30, dtype=torch.float32)
    Wt = t(W)
    Q, newW = gptq(Wt, t(so), t(zo), -8, 7, t(H))
    torch.testing.assert_close(Wt, Q, rtol=1e-4, atol=1e-4)
    assert torch.equal(newW[:, 0], t(W)[:, 0])
    assert Q.dtype == torch.float32 and newW.dtype == torch.float32


@pytest.mark.parametrize("path", ["row_loop", "tensor_ops"])
def test_blocked_equals_column_by_column_float32(path):
    W, so, zo, H, t = problem(4, 32, 300, dtype=torch.float32)
    Q1, n1 = gptq(t(W), t(so), t(zo), -8, 7, t(H), 1)
    for bs in (7, 64, 128, 1000):
        if path == "tensor_ops":
            g._arm_fault("gptq_tensor_ops", 1)
        Qb, nb = gptq(t(W), t(so), t(zo), -8, 7, t(H), bs)
        # Float32 summation order differs; a grid decision may flip only for a
        # value within rounding noise of a half, which these data do not hit.
        torch.testing.assert_close(Qb, Q1, rtol=0, atol=1e-5)
        torch.testing.assert_close(nb, n1, rtol=1e-4, atol=1e-4)


def test_tensor_ops_path_equals_row_loop_float32():
    W, so, zo, H, t = problem(15, 16, 200, dtype=torch.float32)
    Wa, Wb = t(W), t(W)
    Qa, na = gptq(Wa, t(so), t(zo), -8, 7, t(H))
    g._arm_fault("gptq_tensor_ops", 1)
    Qb, nb = gptq(Wb, t(so), t(zo), -8, 7, t(H))
    torch.testing.assert_close(Qa, Qb, rtol=0, atol=1e-6)
    torch.testing.assert_close(na, nb, rtol=1e-5, atol=1e-5)
    torch.testing.assert_close(Wa, Wb, rtol=1e-5, atol=1e-5)


def test_identity_hessian_gives_clamped_my_round():
    rng = np.random.default_rng(5)
    W = np.round(rng.uniform(-12, 12, size=(7, 16)) * 4) / 4  # many exact halves
    W[0, :6] = [0.5, 1.5, 2.5, -0.5, -1.5, -2.5]
    ones = np.ones_like(W)
    Q, _ = gptq(torch.tensor(W), torch.tensor(ones), torch.tensor(0 * ones), -8, 7,
                torch.eye(16, dtype=torch.float64))
    np.testing.assert_array_equal(Q.numpy(), np.clip(ref.my_round(W), -8, 7))
    np.testing.assert_array_equal(Q.numpy()[0, :6], [1, 2, 3, 0, -1, -2])


def test_ties_round_upwards_in_the_first_column():
    H = ref.correlated_hessian(np.random.default_rng(6), 5)
    W = np.zeros((6, 5))
    W[:, 0] = [0.5, 1.5, 2.5, -0.5, -1.5, -2.5]
    s = np.ones_like(W)
    Q, _ = gptq(torch.tensor(W), torch.tensor(s), torch.tensor(0 * s), -8, 7, torch.tensor(H))
    np.testing.assert_array_equal(Q.numpy()[:, 0], [1, 2, 3, 0, -1, -2])


def test_zero_scale_divides_by_the_floor_instead_of_failing():
    W = np.array([[0.3, -0.2, 0.1]])
    so = np.array([[0.1, 0.0, 0.1]])
    Q, _ = gptq(torch.tensor(W), torch.tensor(so), torch.zeros(1, 3, dtype=torch.float64), -8, 7,
                torch.eye(3, dtype=torch.float64))
    assert np.isfinite(Q.numpy()).all()
    assert Q[0, 1].item() == 0.0  # clamped grid value times a zero scale


def test_positive_definite_hessian_prints_nothing(capsys):
    W, so, zo, H, t = problem(7, 4, 12)
    gptq(t(W), t(so), t(zo), -8, 7, t(H))
    assert capsys.readouterr().out == ""


def test_singular_only_through_a_zero_feature_uses_first_level(capsys):
    W, so, zo, H, t = problem(8, 4, 12)
    H[3, :] = 0
    H[:, 3] = 0
    Q, _ = gptq(t(W), t(so), t(zo), -8, 7, t(H))
    assert capsys.readouterr().out == ""
    Qr, _, _ = ref.round_gptq(W, so, zo, -8, 7, H, ladder=(0.01,))
    np.testing.assert_allclose(Q.numpy(), Qr, rtol=1e-10, atol=1e-12)


def test_all_zero_hessian_walks_the_whole_ladder_then_raises(capsys):
    W, so, zo, _, t = problem(9, 3, 6)
    with pytest.raises(ValueError, match="not positive definite"):
        gptq(t(W), t(so), t(zo), -8, 7, torch.zeros(6, 6, dtype=torch.float64))
    assert capsys.readouterr().out.splitlines() == LADDER_LINES


def test_cholesky_fault_moves_to_the_next_level(capsys):
    W, so, zo, H, t = problem(10, 5, 14)
    g._arm_fault("cholesky", 2)
    Q, _ = gptq(t(W), t(so), t(zo), -8, 7, t(H))
    assert capsys.readouterr().out.splitlines() == LADDER_LINES[:2]
    Qr, _, _ = ref.round_gptq(W, so, zo, -8, 7, H, ladder=(1.0,))
    np.testing.assert_allclose(Q.numpy(), Qr, rtol=1e-10, atol=1e-12)


def test_cholesky_fault_at_every_level_raises(capsys):
    W, so, zo, H, t = problem(11, 3, 6)
    g._arm_fault("cholesky", 5)
    with pytest.raises(ValueError, match="Hessian"):
        gptq(t(W), t(so), t(zo), -8, 7, t(H))
    assert capsys.readouterr().out.splitlines() == LADDER_LINES


def test_nan_factor_moves_on_silently(capsys):
    W, so, zo, H, t = problem(12, 5, 14)
    g._arm_fault("nan_factor", 1)
    Q, _ = gptq(t(W), t(so), t(zo), -8, 7, t(H))
    assert capsys.readouterr().out == ""
    Qr, _, _ = ref.round_gptq(W, so, zo, -8, 7, H, ladder=(0.1,))
    np.testing.assert_allclose(Q.numpy(), Qr, rtol=1e-10, atol=1e-12)


def test_nan_factor_at_every_level_reaches_the_debug_shell(capsys):
    # Without a terminal the shell announces its header and is skipped.
    W, so, zo, H, t = problem(13, 3, 6)
    g._arm_fault("nan_factor", 5)
    Q, _ = gptq(t(W), t(so), t(zo), -8, 7, t(H))
    out = capsys.readouterr().out
    assert out.startswith("nan appears!") and out.count("\n") == 1
    assert torch.isnan(Q).any()


def test_shape_mismatch_is_reported():
    W, so, zo, H, t = problem(14, 3, 6)
    with pytest.raises(RuntimeError, match="H00"):
        gptq(t(W), t(so), t(zo), -8, 7, torch.eye(5, dtype=torch.float64))


# --- opt_intW3 -------------------------------------------------------------

def int_problem(seed, rows, cols, dtype=torch.float64, negative_scale=False):
    W, so, zo, H, t = problem(seed, rows, cols, dtype)
    if negative_scale:
        so[::2] *= -1
    return W, so, zo, H, t


@pytest.mark.parametrize("negative_scale", [False, True])
def test_opt_intW3_train_matches_reference(negative_scale):
    W, so, zo, H, t = int_problem(20, 6, 18, negative_scale=negative_scale)
    x0 = t(W)
    w_int, f1, loss = g.opt_intW3(t(so), t(zo), t(H), False, -8, 7, x0, max_iter=15, lr=0.05,
                                  round_fn="train")
    wr, f1r, lossr = ref.opt_intW3(so, zo, H, -8, 7, W, 15, 0.05, "train")
    np.testing.assert_array_equal(w_int.numpy(), wr)
    np.testing.assert_allclose(f1.numpy(), f1r, rtol=1e-9, atol=1e-10)
    np.testing.assert_allclose(loss.numpy(), lossr, rtol=1e-9, atol=1e-12)
    assert torch.equal(x0, t(W))  # x0 untouched


def test_opt_intW3_gradient_steps_stay_in_the_box():
    # With a large learning rate the unclamped steps would leave the box; the
    # relaxation handed to the rounding (first column of f1) must be inside it.
    W, so, zo, H, t = int_problem(21, 8, 10, negative_scale=True)
    x0 = t(W) * 3.0  # far outside the representable range
    _, f1, _ = g.opt_intW3(t(so), t(zo), t(H), False, -8, 7, x0, max_iter=5, lr=10.0,
                           round_fn="train")
    l, r = -8 * so + zo, 7 * so + zo
    lo, hi = np.minimum(l, r)[:, 0], np.maximum(l, r)[:, 0]
    assert np.all(f1.numpy()[:, 0] >= lo - 1e-12) and np.all(f1.numpy()[:, 0] <= hi + 1e-12)


def test_opt_intW3_gptq_ignores_max_iter_and_train_without_steps_is_gptq():
    W, so, zo, H, t = int_problem(22, 5, 12)
    a = g.opt_intW3(t(so), t(zo), t(H), False, -8, 7, t(W), max_iter=50, round_fn="gptq")
    b = g.opt_intW3(t(so), t(zo), t(H), False, -8, 7, t(W), max_iter=0, round_fn="train")
    Qr, _, _ = ref.round_gptq(W, so, zo, -8, 7, H)
    for res in (a, b):
        np.testing.assert_array_equal(res[0].numpy(), np.round((Qr - zo) / so))
        np.testing.assert_allclose(res[2].numpy(), ref.quad_err(Qr, W, H), rtol=1e-9)


def test_opt_intW3_integers_in_bounds_and_loss_is_their_error():
    W, so, zo, H, t = int_problem(23, 7, 20, dtype=torch.float32)
    w_int, _, loss = g.opt_intW3(t(so), t(zo), t(H), True, -2, 1, t(W))
    w = w_int.numpy()
    assert np.array_equal(w, np.round(w)) and w.min() >= -2 and w.max() <= 1
    np.testing.assert_allclose(loss.numpy(), ref.quad_err(w * so + zo, W, H), rtol=1e-4)


def test_opt_intW3_x_init_is_copied_and_gradient_pulls_to_x0():
    W, so, zo, H, t = int_problem(24, 4, 8)
    x_init = t(W) + 0.3
    before = x_init.clone()
    g.opt_intW3(t(so), t(zo), t(H), False, -8, 7, t(W), x_init=x_init, max_iter=3,
                round_fn="train")
    assert torch.equal(x_init, before)


def test_opt_intW3_records_no_gradient():
    W, so, zo, H, t = int_problem(25, 4, 8, dtype=torch.float32)
    x0 = t(W).requires_grad_(True)
    s = t(so).requires_grad_(True)
    w_int, f1, loss = g.opt_intW3(s, t(zo), t(H), False, -8, 7, x0, max_iter=2, round_fn="train")
    assert not (w_int.requires_grad or f1.requires_grad or loss.requires_grad)


def test_opt_intW3_unknown_round_fn_is_an_assertion():
    W, so, zo, H, t = int_problem(26, 2, 4)
    with pytest.raises(AssertionError):
        g.opt_intW3(t(so), t(zo), t(H), False, -8, 7, t(W), round_fn="sgd")
