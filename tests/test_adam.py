import numpy as np
import pytest
import torch

from mivra.api import gdq_quant as g
from reference import Adam


def test_matches_float64_reference_in_place_keeping_layout():
    rng = np.random.default_rng(0)
    p0 = rng.standard_normal((7, 5))
    param = torch.tensor(p0).t()  # non-contiguous: the state keeps its strides
    alias = param
    opt = g.MyAdam(param, 0.03)
    assert (opt.beta1, opt.beta2, opt.eps, opt.t, opt.lr) == (0.9, 0.999, 1e-5, 0, 0.03)
    assert opt.exp_avg.stride() == param.stride() and opt.exp_avg_sq.dtype == torch.float64
    ref = Adam(p0.T, 0.03)
    for _ in range(25):
        grad = rng.standard_normal((5, 7)) * rng.uniform(0.01, 3.0)
        opt.step(torch.tensor(grad))
        ref.step(grad)
    assert alias.data_ptr() == param.data_ptr() and param.dtype == torch.float64
    np.testing.assert_allclose(param.numpy(), ref.p, rtol=1e-12, atol=1e-14)
    np.testing.assert_allclose(opt.exp_avg.numpy(), ref.m, rtol=1e-12, atol=1e-15)
    np.testing.assert_allclose(opt.exp_avg_sq.numpy(), ref.v, rtol=1e-12, atol=1e-15)
    assert opt.t == 25 and isinstance(g.MyAdam(torch.zeros(2), 1).lr, float)


@pytest.mark.parametrize("c", [2.0, -0.5, 1e-3, 0.0])
def test_first_step_moves_by_lr_against_constant_gradient(c):
    param = torch.full((3, 3), 1.0, dtype=torch.float64)
    g.MyAdam(param, 0.01).step(torch.full((3, 3), c, dtype=torch.float64))
    # eps 1e-5; a zero gradient leaves param
    np.testing.assert_allclose(param.numpy(), 1.0 - 0.01 * c / (abs(c) + 1e-5), rtol=0, atol=1e-15)
