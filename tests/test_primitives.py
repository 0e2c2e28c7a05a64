"""Quantization primitives against independent NumPy float64 formulas."""
import numpy as np
import pytest
import torch

from mivra.api import gdq_quant as G
from reference import my_round, quad_err, quantize as np_quant, safe_div

T = torch.tensor
t32 = lambda a: T(np.asarray(a, dtype=np.float32))  # noqa: E731


@pytest.mark.parametrize("dtype", [torch.float32, torch.float64])
def test_my_round_ties_up_against_reference(dtype):
    # 0.49999997 + 0.5 is stored as 1.0 in float32: a one-pass floor(x + 0.5)
    # would give 1, the two-pass rule gives 0.
    v = np.nextafter(np.float32(0.5), np.float32(0))
    x = t32([0.5, 1.5, 2.5, -0.5, -1.5, -2.5, 2.4, -2.6, v, -v, np.float32(1.5) - 2**-23])
    assert G.my_round(x).tolist() == [1, 2, 3, 0, -1, -2, 2, -3, 0, 0, 1] and x[0].item() == 0.5
    rng = np.random.default_rng(0)
    halves = rng.integers(-50, 50, 300) + 0.5
    x = np.concatenate([halves, np.nextafter(halves, rng.choice([-np.inf, np.inf], 300)),
                        rng.normal(0, 20, 400)]).astype(dtype == torch.float32 and np.float32 or np.float64)
    y = G.my_round(T(x))
    assert y.dtype == dtype
    np.testing.assert_array_equal(y.numpy().astype(np.float64), my_round(x.astype(np.float64)))


def test_safe_div_examples_and_random_broadcast():
    x, y = T([3.0, 3.0, 6.0, -2.0]).double(), T([0.0, -1e-20, -3.0, 1e-16], dtype=torch.float64)
    np.testing.assert_array_equal(G.safe_div(x, y).numpy(),
                                  [3.0 / 1e-15, 3.0 / -1e-15, -2.0, -2.0 / 1e-15])
    rng = np.random.default_rng(1)
    x, y = rng.normal(size=(5, 4)), rng.normal(size=(1, 4)) * 10.0 ** rng.integers(-20, 2, (1, 4))
    y[0, 0] = 0.0
    np.testing.assert_allclose(G.safe_div(T(x), T(y)).numpy(), safe_div(x, y), rtol=1e-15)
    np.testing.assert_array_equal(G.safe_div(T(x), 0.1).numpy(), x / 0.1)  # a plain number


def test_repeat_interleave_shapes_and_values():
    x, s = torch.zeros(2, 12), t32([[1, 2, 3], [4, 5, 6]])
    scale, zero = G.repeat_interleave(x, 4, s, None)
    assert zero is None and torch.equal(scale, T(np.repeat(s.numpy(), 4, axis=1)))
    scale, zero = G.repeat_interleave(x, -1, s[:, :1], -s[:, :1])
    assert scale.shape == zero.shape == (2, 12) and (zero[1] == -4).all()
    assert G.repeat_interleave(torch.zeros(2, 3, 2, 2), -1, s[:, :1], None)[0].shape == (2, 3, 1, 1)
    assert G.repeat_interleave(x, 4, None, None) == (None, None)


def test_quantize_worked_examples_and_host_numbers():
    x, s, z = t32([[0.6, 0.625, 10.0]]), t32([[0.25]]), t32([[2.0]])
    assert G.quantize(x, s, z, -8, 7, return_int=True, zero_no_shift=True).tolist() == [[4, 5, 7]]
    assert G.quantize(x, s, z, -8, 7, zero_no_shift=True).tolist() == [[0.5, 0.75, 1.25]]
    # An output pair wins over the zero convention: grid 4 and clamp(-12 + 2) = -8.
    v = G.quantize(t32([[0.6, -3.0]]), s, z, -8, 7, scale_out=t32([[0.5]]),
                   zero_out=t32([[0.125]]), zero_no_shift=True)
    assert v.tolist() == [[4 * 0.5 + 0.125, -8 * 0.5 + 0.125]]
    # Plain numbers act as in tensor arithmetic: float64 x with float64 values,
    # float32 x stays float32.
    x = np.array([[0.3, 0.75, -0.41, 0.251]])
    np.testing.assert_array_equal(G.quantize(T(x), 0.1, 0.05, -8, 7).numpy(),
                                  0.1 * np.clip(my_round((x - 0.05) / 0.1), -8, 7) + 0.05)
    x32 = T(x, dtype=torch.float32)
    assert torch.equal(G.quantize(x32, 0.1, 0.05, -8, 7),
                       torch.clamp(G.my_round((x32 - 0.05) / 0.1), -8, 7) * 0.1 + 0.05)


@pytest.mark.parametrize("bits", [2, 3, 4, 8])
@pytest.mark.parametrize("zero_no_shift", [True, False])
def test_quantize_random_against_reference(bits, zero_no_shift):
    rng = np.random.default_rng(bits * 10 + zero_no_shift)
    lo, hi = -2 ** (bits - 1), 2 ** (bits - 1) - 1
    x, s = rng.normal(size=(6, 16)), rng.uniform(0.05, 0.5, size=(6, 1))
    z = (rng.integers(lo, hi + 1, size=(6, 1)).astype(np.float64) if zero_no_shift
         else rng.normal(size=(6, 1)))
    q, deq = np_quant(x, s, z, lo, hi, zero_no_shift)
    args = (T(x), T(s), T(z), lo, hi)
    np.testing.assert_array_equal(
        G.quantize(*args, return_int=True, zero_no_shift=zero_no_shift).numpy(), q)
    np.testing.assert_allclose(G.quantize(*args, zero_no_shift=zero_no_shift).numpy(), deq,
                               rtol=1e-14, atol=1e-14)


def test_cal_quant_error_is_r_h_r_on_matrices_only():
    rng = np.random.default_rng(2)
    x, q, h = rng.normal(size=(5, 7)), rng.normal(size=(5, 7)), rng.normal(size=(7, 7))
    got = G.cal_quant_error(T(x), T(q), T(h))  # h not symmetric: r h r^T, not r h^T r^T
    np.testing.assert_allclose(got.numpy(), quad_err(x, q, h), rtol=1e-12)  # shape (5,) too
    for a, hh in ((torch.zeros(2, 3), torch.zeros(3)), (torch.zeros(6), torch.zeros(6, 6))):
        with pytest.raises(AssertionError):
            G.cal_quant_error(a, a, hh)


@pytest.mark.parametrize("groupsize", [-1, 4])
@pytest.mark.parametrize("zero_no_shift", [True, False])
def test_cal_quant_err_scale_zero_against_reference(groupsize, zero_no_shift):
    rng, ng = np.random.default_rng(3), 1 if groupsize == -1 else 12 // groupsize
    x0 = (x := rng.normal(size=(4, 12))) + rng.normal(scale=0.01, size=(4, 12))
    s = rng.uniform(0.1, 0.4, size=(4, ng))
    z = rng.integers(-3, 3, size=(4, ng)).astype(np.float64) if zero_no_shift else rng.normal(size=(4, ng))
    so, zo = s * 1.1, rng.normal(scale=0.1, size=(4, ng))
    h = (lambda a: a @ a.T)(rng.normal(size=(12, 12)))
    se, ze, soe, zoe = (np.repeat(v, 12 // ng, axis=1) for v in (s, z, so, zo))
    q, deq = np_quant(x, se, ze, -8, 7, zero_no_shift)
    got = G.cal_quant_err_scale_zero(T(x), T(s), T(z), T(so), T(zo), False, -8, 7, groupsize,
                                     h=T(h), x0=T(x0), zero_no_shift=zero_no_shift)
    np.testing.assert_allclose(got.numpy(), quad_err(x0, q * soe + zoe, h), rtol=1e-10)
    got = G.cal_quant_err_scale_zero(T(x), T(s), T(z), None, None, True, -8, 7, groupsize,
                                     h=T(h), zero_no_shift=zero_no_shift)
    np.testing.assert_allclose(got.numpy(), quad_err(x, deq, h), rtol=1e-10)


def test_get_linear_eq_against_solve_and_determinant_floor():
    rng = np.random.default_rng(4)
    m, rhs = rng.normal(size=(50, 2, 2)), rng.normal(size=(50, 2))
    m, rhs = m[np.abs(np.linalg.det(m)) > 1e-3], rhs[np.abs(np.linalg.det(m)) > 1e-3]
    xy = G.get_linear_eq(*(T(v) for v in (m[:, 0, 0], m[:, 0, 1], rhs[:, 0], m[:, 1, 0], m[:, 1, 1],
                                          rhs[:, 1])))
    np.testing.assert_allclose(np.stack(xy, 1), np.linalg.solve(m, rhs[..., None])[..., 0], rtol=1e-8,
                               atol=1e-10)
    # a = b = d = 1, c = 1, f = 0: a*e - b*d = 0, -4e-6, 2e-5; below 1e-5 in magnitude
    # it becomes 1e-5 with its own sign (+ for 0), so x = e / deno.
    one = torch.ones(3, dtype=torch.float64)
    e = T([1.0, 1.0 - 4e-6, 1.0 + 2e-5], dtype=torch.float64)
    deno = np.array([1e-5, -1e-5, (1.0 + 2e-5) - 1.0])
    np.testing.assert_allclose(np.stack(G.get_linear_eq(one, one, one, one, e, 0 * one)),
                               [e.numpy() / deno, -1.0 / deno], rtol=1e-9)
    x, y = G.get_linear_eq(f := T([1.0, 2.0]), 0 * f, f, 0 * f, f, f)
    assert x.dtype == torch.float32 and x.tolist() == [1.0, 1.0] and y.tolist() == [1.0, 1.0]
