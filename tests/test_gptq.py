import numpy as np
import pytest
import torch

from mivra.api import gdq_quant as g
import reference as ref

LADDER_LINES = ["海森矩阵为非正定矩阵 " + t for t in ("0.01", "0.1", "1.0", "10.0", "100.0")]


def gptq(W, so, zo, mn, mx, H, blocksize=None):
    kw = {} if blocksize is None else {"_blocksize": blocksize}
    return g.round_gptq(W, so, zo, False, mn, mx, H00=H, **kw)


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
    for site in ("cholesky", "nan_factor"):
        g._arm_fault(site, 0)


@pytest.mark.parametrize("blocksize", [None, 1, 5, 128])
def test_matches_column_by_column_reference(blocksize):
    W, so, zo, H, t = problem(1, 9, 23)
    Wt = t(W)
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


def test_blocked_equals_column_by_column_float32():
    W, so, zo, H, t = problem(4, 32, 300, dtype=torch.float32)
    Q1, n1 = gptq(t(W), t(so), t(zo), -8, 7, t(H), 1)
    for bs in (7, 64, 128, 1000):
        Qb, nb = gptq(t(W), t(so), t(zo), -8, 7, t(H), bs)
        # Float32 summation order differs; a grid decision may flip only for a
        # value within rounding noise of a half, which these data do not hit.
        torch.testing.assert_close(Qb, Q1, rtol=0, atol=1e-5)
        torch.testing.assert_close(nb, n1, rtol=1e-4, atol=1e-4)


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


def test_nan_factor_at_every_level_reaches_the_debug_hook(monkeypatch, capsys):
    headers = []
    g._set_debug_shell(lambda header: headers.append(header)) if hasattr(g, "_set_debug_shell") \
        else monkeypatch.setattr("IPython.embed", lambda header="", **kw: headers.append(header))
    W, so, zo, H, t = problem(13, 3, 6)
    g._arm_fault("nan_factor", 5)
    Q, _ = gptq(t(W), t(so), t(zo), -8, 7, t(H))
    assert headers == ["nan appears!"]
    assert torch.isnan(Q).any()
    assert "海森矩阵" not in capsys.readouterr().out


def test_shape_mismatch_is_reported():
    W, so, zo, H, t = problem(14, 3, 6)
    with pytest.raises(RuntimeError, match="H00"):
        gptq(t(W), t(so), t(zo), -8, 7, torch.eye(5, dtype=torch.float64))
