import numpy as np
import pytest
import torch

from mivra.api import gdq_quant as g
from reference import Adam


def test_matches_float64_reference_over_many_steps():
    rng = np.random.default_rng(0)
    p0 = rng.standard_normal((5, 7))
    param = torch.tensor(p0)
    alias = param
    opt = g.MyAdam(param, 0.03)
    ref = Adam(p0, 0.03)
    for _ in range(25):
        grad = rng.standard_normal((5, 7)) * rng.uniform(0.01, 3.0)
        opt.step(torch.tensor(grad))
        ref.step(grad)
    assert alias.data_ptr() == param.data_ptr()  # updated in place
    np.testing.assert_allclose(param.numpy(), ref.p, rtol=1e-12, atol=1e-14)
    np.testing.assert_allclose(opt.exp_avg.numpy(), ref.m, rtol=1e-12, atol=1e-15)
    np.testing.assert_allclose(opt.exp_avg_sq.numpy(), ref.v, rtol=1e-12, atol=1e-15)
    assert opt.t == 25


@pytest.mark.parametrize("c", [2.0, -0.5, 1e-3, 0.0])
def test_first_step_moves_by_lr_against_constant_gradient(c):
    param = torch.full((3, 3), 1.0, dtype=torch.float64)
    opt = g.MyAdam(param, 0.01)
    opt.step(torch.full((3, 3), c, dtype=torch.float64))
    expected = 1.0 - 0.01 * c / (abs(c) + 1e-5)  # eps 1e-5; a zero gradient leaves param
    np.testing.assert_allclose(param.numpy(), expected, rtol=0, atol=1e-15)


def test_defaults_and_state_keep_dtype_and_layout_of_param():
    opt = g.MyAdam(torch.zeros(2), 1)
    assert (opt.beta1, opt.beta2, opt.eps, opt.t) == (0.9, 0.999, 1e-5, 0)
    assert isinstance(opt.lr, float) and opt.lr == 1.0
    param = torch.zeros(4, 6, dtype=torch.float64).t()  # non-contiguous
    opt = g.MyAdam(param, 0.1)
    assert opt.exp_avg.dtype == torch.float64 and opt.exp_avg_sq.dtype == torch.float64
    assert opt.exp_avg.stride() == param.stride()
    opt.step(torch.ones(6, 4, dtype=torch.float64))
    assert param.dtype == torch.float64 and opt.exp_avg.shape == (6, 4)
