"""Quantization primitives against independent NumPy float64 formulas."""
import numpy as np
import pytest
import torch

from mivra.api import gdq_quant as G


def t32(a):
    return torch.tensor(np.asarray(a, dtype=np.float32))


def round_half_up(v):
    """Nearest integer, exact halves upwards (exact: the fraction v - floor(v) is exact)."""
    v = np.asarray(v, dtype=np.float64)
    f = np.floor(v)
    return f + (v - f >= 0.5)


def bounds(bits):
    mx = 2 ** (bits - 1) - 1
    return -mx - 1, mx


# --- my_round -----------------------------------------------------------------


def test_my_round_ties_go_up_and_input_is_kept():
    x = t32([0.5, 1.5, 2.5, -0.5, -1.5, -2.5, 2.4, -2.6])
    before = x.clone()
    y = G.my_round(x)
    assert y.tolist() == [1, 2, 3, 0, -1, -2, 2, -3]
    assert y.dtype == torch.float32
    assert torch.equal(x, before)


def test_my_round_near_half_is_not_a_tie_in_float32():
    # 0.49999997 + 0.5 is stored as 1.0 in float32: a one-pass floor(x + 0.5)
    # would give 1, the two-pass rule gives 0.
    v = np.nextafter(np.float32(0.5), np.float32(0))
    x = torch.tensor([v, -v, np.float32(1.5) - np.float32(2**-23)], dtype=torch.float32)
    assert G.my_round(x).tolist() == [0.0, 0.0, 1.0]


@pytest.mark.parametrize("dtype", [torch.float32, torch.float64])
def test_my_round_matches_half_up_reference(dtype):
    rng = np.random.default_rng(0)
    halves = rng.integers(-50, 50, 300) + 0.5
    near = np.nextafter(halves, np.where(rng.random(300) < 0.5, -np.inf, np.inf))
    x = np.concatenate([halves, near, rng.normal(0, 20, 400)]).astype(
        np.float32 if dtype == torch.float32 else np.float64)
    y = G.my_round(torch.tensor(x, dtype=dtype))
    assert y.dtype == dtype
    np.testing.assert_array_equal(y.numpy().astype(np.float64), round_half_up(x))


def test_my_round_without_ties_is_plain_rounding():
    x = t32([[0.2, -0.7], [3.49, -3.51]])
    assert G.my_round(x).tolist() == [[0, -1], [3, -4]]


# --- safe_div -----------------------------------------------------------------


def test_safe_div_examples():
    x = torch.tensor([3.0, 3.0, 6.0, -2.0], dtype=torch.float64)
    y = torch.tensor([0.0, -1e-20, -3.0, 1e-16], dtype=torch.float64)
    got = G.safe_div(x, y)
    np.testing.assert_array_equal(got.numpy(), [3.0 / 1e-15, 3.0 / -1e-15, -2.0, -2.0 / 1e-15])


def test_safe_div_random_against_reference_and_broadcast():
    rng = np.random.default_rng(1)
    x = rng.normal(size=(5, 4))
    y = rng.normal(size=(1, 4)) * 10.0 ** rng.integers(-20, 2, (1, 4))
    y[0, 0] = 0.0
    ref = x / (np.maximum(np.abs(y), 1e-15) * np.where(y == 0, 1.0, np.sign(y)))
    got = G.safe_div(torch.tensor(x), torch.tensor(y))
    assert got.shape == (5, 4)
    np.testing.assert_allclose(got.numpy(), ref, rtol=1e-15)


# --- repeat_interleave --------------------------------------------------------


def test_repeat_interleave_shapes_and_values():
    x = torch.zeros(2, 12)
    s = t32([[1, 2, 3], [4, 5, 6]])
    scale, zero = G.repeat_interleave(x, 4, s, None)
    assert zero is None
    np.testing.assert_array_equal(scale.numpy(), np.repeat(s.numpy(), 4, axis=1))
    scale, zero = G.repeat_interleave(x, -1, s[:, :1], -s[:, :1])
    assert scale.shape == (2, 12) and zero.shape == (2, 12)
    assert (zero[1] == -4).all()
    x4 = torch.zeros(2, 3, 2, 2)
    scale, _ = G.repeat_interleave(x4, -1, s[:, :1], None)
    assert scale.shape == (2, 3, 1, 1)
    assert G.repeat_interleave(x, 4, None, None) == (None, None)


# --- quantize -----------------------------------------------------------------


def test_quantize_worked_examples_zero_no_shift():
    x = t32([[0.6, 0.625, 10.0]])
    s, z = t32([[0.25]]), t32([[2.0]])
    q = G.quantize(x, s, z, -8, 7, return_int=True, zero_no_shift=True)
    assert q.tolist() == [[4, 5, 7]]
    v = G.quantize(x, s, z, -8, 7, zero_no_shift=True)
    assert v.tolist() == [[0.5, 0.75, 1.25]]


def test_quantize_worked_example_real_zero():
    x = t32([[0.6]])
    s, z = t32([[0.25]]), t32([[-1.0]])
    assert G.quantize(x, s, z, -8, 7, return_int=True).tolist() == [[6]]
    assert G.quantize(x, s, z, -8, 7).tolist() == [[0.5]]


def test_quantize_output_pair_wins_over_zero_convention():
    x = t32([[0.6, -3.0]])
    s, z = t32([[0.25]]), t32([[2.0]])
    so, zo = t32([[0.5]]), t32([[0.125]])
    v = G.quantize(x, s, z, -8, 7, scale_out=so, zero_out=zo, zero_no_shift=True)
    # grid 4 and clamp(-12 + 2) = -8
    assert v.tolist() == [[4 * 0.5 + 0.125, -8 * 0.5 + 0.125]]


@pytest.mark.parametrize("bits", [2, 3, 4, 8])
@pytest.mark.parametrize("zero_no_shift", [True, False])
def test_quantize_random_against_reference(bits, zero_no_shift):
    rng = np.random.default_rng(bits * 10 + zero_no_shift)
    lo, hi = bounds(bits)
    x = rng.normal(size=(6, 16))
    s = rng.uniform(0.05, 0.5, size=(6, 1))
    z = (rng.integers(lo, hi + 1, size=(6, 1)).astype(np.float64) if zero_no_shift
         else rng.normal(size=(6, 1)))
    if zero_no_shift:
        q = np.clip(round_half_up(x / s) + z, lo, hi)
        deq = s * (q - z)
    else:
        q = np.clip(round_half_up((x - z) / s), lo, hi)
        deq = s * q + z
    X, S, Z = (torch.tensor(a) for a in (x, s, z))
    got_q = G.quantize(X, S, Z, lo, hi, return_int=True, zero_no_shift=zero_no_shift)
    got = G.quantize(X, S, Z, lo, hi, zero_no_shift=zero_no_shift)
    np.testing.assert_array_equal(got_q.numpy(), q)
    np.testing.assert_allclose(got.numpy(), deq, rtol=1e-14, atol=1e-14)
    assert got_q.min() >= lo and got_q.max() <= hi



def test_quantize_host_numbers_keep_the_precision_of_x():
    # Plain numbers for scale and zero act as they do in tensor arithmetic:
    # a float64 x is quantized with the float64 values, a float32 x stays float32.
    x = np.array([[0.3, 0.75, -0.41, 0.251]])
    q = np.clip(round_half_up((x - 0.05) / 0.1), -8, 7)
    got = G.quantize(torch.tensor(x), 0.1, 0.05, -8, 7)
    assert got.dtype == torch.float64
    np.testing.assert_array_equal(got.numpy(), 0.1 * q + 0.05)
    np.testing.assert_array_equal(G.safe_div(torch.tensor(x), 0.1).numpy(), x / 0.1)
    x32 = torch.tensor(x, dtype=torch.float32)
    got32 = G.quantize(x32, 0.1, 0.05, -8, 7)
    assert got32.dtype == torch.float32
    assert torch.equal(got32, torch.clamp(G.my_round((x32 - 0.05) / 0.1), -8, 7) * 0.1 + 0.05)

# --- errors -------------------------------------------------------------------


def test_cal_quant_error_is_r_h_r():
    rng = np.random.default_rng(2)
    x, q = rng.normal(size=(5, 7)), rng.normal(size=(5, 7))
    h = rng.normal(size=(7, 7))
    ref = np.einsum("ij,jk,ik->i", q - x, h, q - x)
    got = G.cal_quant_error(torch.tensor(x), torch.tensor(q), torch.tensor(h))
    assert got.shape == (5,)
    np.testing.assert_allclose(got.numpy(), ref, rtol=1e-12)


def test_cal_quant_error_requires_matrices():
    x = torch.zeros(2, 3)
    with pytest.raises(AssertionError):
        G.cal_quant_error(x, x, torch.zeros(3))
    with pytest.raises(AssertionError):
        G.cal_quant_error(torch.zeros(6), torch.zeros(6), torch.zeros(6, 6))


@pytest.mark.parametrize("groupsize", [-1, 4])
@pytest.mark.parametrize("zero_no_shift", [True, False])
def test_cal_quant_err_scale_zero_against_reference(groupsize, zero_no_shift):
    rng = np.random.default_rng(3)
    x = rng.normal(size=(4, 12))
    x0 = x + rng.normal(scale=0.01, size=x.shape)
    ng = 1 if groupsize == -1 else 12 // groupsize
    gs = 12 if groupsize == -1 else groupsize
    s = rng.uniform(0.1, 0.4, size=(4, ng))
    z = rng.integers(-3, 3, size=(4, ng)).astype(np.float64) if zero_no_shift else rng.normal(size=(4, ng))
    so, zo = s * 1.1, rng.normal(scale=0.1, size=(4, ng))
    a = rng.normal(size=(12, 12))
    h = a @ a.T
    se, ze, soe, zoe = (np.repeat(v, gs, axis=1) for v in (s, z, so, zo))
    if zero_no_shift:
        q = np.clip(round_half_up(x / se) + ze, -8, 7)
        deq = se * (q - ze)
    else:
        q = np.clip(round_half_up((x - ze) / se), -8, 7)
        deq = se * q + ze
    via_pair = q * soe + zoe
    T = torch.tensor
    err = lambda w, ref: np.einsum("ij,jk,ik->i", w - ref, h, w - ref)
    got = G.cal_quant_err_scale_zero(T(x), T(s), T(z), T(so), T(zo), False, -8, 7, groupsize,
                                     h=T(h), x0=T(x0), zero_no_shift=zero_no_shift)
    np.testing.assert_allclose(got.numpy(), err(via_pair, x0), rtol=1e-10)
    got = G.cal_quant_err_scale_zero(T(x), T(s), T(z), None, None, True, -8, 7, groupsize,
                                     h=T(h), zero_no_shift=zero_no_shift)
    np.testing.assert_allclose(got.numpy(), err(deq, x), rtol=1e-10)


# --- get_linear_eq ------------------------------------------------------------


def test_get_linear_eq_determinant_floor():
    one = torch.ones(3, dtype=torch.float64)
    # a*e - b*d = 0, -4e-6, 2e-5; c = 1, f = 0 gives x = e / deno.
    a = torch.tensor([1.0, 1.0, 1.0], dtype=torch.float64)
    b = torch.tensor([1.0, 1.0, 1.0], dtype=torch.float64)
    d = torch.tensor([1.0, 1.0, 1.0], dtype=torch.float64)
    e = torch.tensor([1.0, 1.0 - 4e-6, 1.0 + 2e-5], dtype=torch.float64)
    x, y = G.get_linear_eq(a, b, one, d, e, 0 * one)
    deno = np.array([1e-5, -1e-5, (1.0 + 2e-5) - 1.0])
    np.testing.assert_allclose(x.numpy(), e.numpy() / deno, rtol=1e-9)
    np.testing.assert_allclose(y.numpy(), -1.0 / deno, rtol=1e-9)


def test_get_linear_eq_random_against_solve():
    rng = np.random.default_rng(4)
    m = rng.normal(size=(50, 2, 2))
    rhs = rng.normal(size=(50, 2))
    m = m[np.abs(np.linalg.det(m)) > 1e-3]
    rhs = rhs[: len(m)]
    ref = np.linalg.solve(m, rhs[..., None])[..., 0]
    T = torch.tensor
    x, y = G.get_linear_eq(T(m[:, 0, 0]), T(m[:, 0, 1]), T(rhs[:, 0]), T(m[:, 1, 0]), T(m[:, 1, 1]),
                           T(rhs[:, 1]))
    np.testing.assert_allclose(np.stack([x.numpy(), y.numpy()], 1), ref, rtol=1e-8, atol=1e-10)


def test_get_linear_eq_float32_stays_float32():
    f = torch.tensor([1.0, 2.0])
    x, y = G.get_linear_eq(f, 0 * f, f, 0 * f, f, f)
    assert x.dtype == torch.float32 and x.tolist() == [1.0, 1.0] and y.tolist() == [1.0, 1.0]
