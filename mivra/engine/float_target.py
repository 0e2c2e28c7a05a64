"""Statistics against the float model: a layer fitted on the inputs of the
partly quantized model to the outputs of the float model.

With X the float model's input vectors of a layer and X~ those of the model
whose earlier layers are already quantized (same calibration samples, same
positions), the layer's weights W_hat should minimise

    sum over vectors |W x - W_hat x~|^2 / n
      = tr(W_hat H~ W_hat^T) - 2 tr(W C W_hat^T) + tr(W H W^T),

H~ = X~ X~^T / n, C = X X~^T / n, H = X X^T / n. Completing the square, this
is the usual Hessian-weighted problem for the target W' = W C H~^-1 with the
Hessian H~, so the same solver runs on (W', H~).

H~ is estimated from a finite calibration set, so its smallest eigenvalues are
noise, and the target is regularised toward the float weights (a ridge):

    W' = argmin |W X - W' X~|^2 / n + lambda |W' - W|^2
       = W (C + lambda I) (H~ + lambda I)^-1,

lambda = perdamp * mean(diag H~), the solver's own damping. Where nothing
upstream is quantized (X~ = X, so C = H~) the target is W itself; damping H~
alone would instead shrink W along every direction whose eigenvalue is near
lambda. The means mu = mean x and mu~ = mean x~ give the mean output error
W mu - W_hat mu~ that a bias correction removes.
"""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import torch
import torch.nn.functional as F
from torch import nn

from .layer import by_group

PATCH_BUDGET = 1 << 25      # float64 elements of one chunk of input vectors


def vector_chunks(layer, x: torch.Tensor):
    """Float64 chunks of the input vectors ``layer`` sees in ``x``: (D, m)
    patches of an nn.Conv2d in the weight's column order (columns by image,
    then position), (g, D, m) per group of a grouped one, (D, m) rows of an
    nn.Linear's input."""
    if isinstance(layer, nn.Conv2d):
        g = layer.groups
        K = x.shape[1] * layer.kernel_size[0] * layer.kernel_size[1]
        L = F.unfold(x[:1].double(), layer.kernel_size, layer.dilation, layer.padding,
                     layer.stride).shape[-1]
        step = max(1, PATCH_BUDGET // max(1, K * L))
        for b0 in range(0, x.shape[0], step):
            u = F.unfold(x[b0:b0 + step].double(), layer.kernel_size, layer.dilation,
                         layer.padding, layer.stride)            # (b, K, L)
            if g == 1:
                yield u.permute(1, 0, 2).reshape(K, -1)
            else:
                yield u.view(u.shape[0], g, K // g, -1).permute(1, 2, 0, 3).reshape(g, K // g, -1)
    else:
        step = max(1, PATCH_BUDGET // max(1, x.shape[-1]))
        for r0 in range(0, x.shape[0], step):
            yield x[r0:r0 + step].double().T


@dataclass
class CrossMoments:
    """Running sums of x x~^T, x and x~ over ``n`` paired input vectors
    (float64; with a leading group axis for a grouped convolution)."""
    C: torch.Tensor | None = None
    mu: torch.Tensor | None = None
    mu_q: torch.Tensor | None = None
    n: int = 0

    def add(self, layer, x: torch.Tensor, x_q: torch.Tensor | None) -> None:
        """Accumulate the pairs of float and quantized-stream vectors (``x_q``
        None: only the float means)."""
        chunks_q = vector_chunks(layer, x_q) if x_q is not None else None
        for X in vector_chunks(layer, x):
            Xq = next(chunks_q) if chunks_q is not None else X
            if self.mu is None:
                self.mu, self.mu_q = X.new_zeros(X.shape[:-1]), X.new_zeros(X.shape[:-1])
                if x_q is not None:
                    self.C = X.new_zeros(X.shape[:-1] + X.shape[-2:-1])
            self.mu += X.sum(-1)
            self.mu_q += Xq.sum(-1)
            if x_q is not None:
                if X.dim() == 2:
                    self.C.addmm_(X, Xq.T)
                else:
                    self.C.baddbmm_(X, Xq.transpose(1, 2))
            self.n += X.shape[-1]

    def mean(self) -> tuple[torch.Tensor, torch.Tensor]:
        return self.mu / max(self.n, 1), self.mu_q / max(self.n, 1)

    def cross(self) -> torch.Tensor:
        return self.C / max(self.n, 1)


def damped(H: torch.Tensor, perdamp: float = 0.01) -> torch.Tensor:
    """H + perdamp * mean(diag H) * I (per group), the solver's damping."""
    out = H.clone()
    d = out.diagonal(dim1=-2, dim2=-1)
    d.add_(perdamp * d.mean(-1, keepdim=True))
    return out


def target_weights(W: np.ndarray, C: torch.Tensor, Hq: torch.Tensor,
                   perdamp: float = 0.01) -> np.ndarray:
    """W' = W (C + lambda I)(H~ + lambda I)^-1, lambda = perdamp * mean(diag H~):
    the float outputs fitted on the quantized inputs, ridge-regularised toward
    W (per group); float32 like the stored weights."""
    Wd = by_group(W, Hq)
    lam = perdamp * Hq.diagonal(dim1=-2, dim2=-1).mean(-1)[..., None, None]
    L = torch.linalg.cholesky(damped(Hq, perdamp))
    rhs = Wd @ C + lam * Wd                                     # W (C + lambda I)
    Wt = torch.cholesky_solve(rhs.transpose(-1, -2).contiguous(), L).transpose(-1, -2)  # H~ symmetric
    return Wt.reshape(np.shape(W)).numpy().astype(np.float32)


def output_error(W: np.ndarray, W_hats: list, H: torch.Tensor, C: torch.Tensor,
                 Hq: torch.Tensor) -> tuple[list, float]:
    """([mean |W x - W_hat x~|^2 for each W_hat], mean |W x|^2), summed over the rows."""
    Wd = by_group(W, Hq)
    base = float(((Wd @ H) * Wd).sum())
    WdC = Wd @ C
    errs = []
    for W_hat in W_hats:
        Wh = by_group(W_hat, Hq)
        err = float(((Wh @ Hq) * Wh).sum()) - 2.0 * float((WdC * Wh).sum()) + base
        errs.append(max(err, 0.0))
    return errs, base


def mean_output_error(W: np.ndarray, W_hat: np.ndarray, mu: torch.Tensor,
                      mu_q: torch.Tensor) -> np.ndarray:
    """W mu - W_hat mu~ per row: the mean over the calibration set of the
    float output minus the quantized one."""
    Wd = torch.from_numpy(np.asarray(W, dtype=np.float64))
    Wh = torch.from_numpy(np.asarray(W_hat, dtype=np.float64))
    if mu.dim() == 2:                       # per group: (g, D) means for rows / g rows each
        g = mu.shape[0]
        return ((Wd.view(g, -1, Wd.shape[-1]) @ mu[..., None])
                - (Wh.view(g, -1, Wh.shape[-1]) @ mu_q[..., None])).reshape(-1).numpy()
    return (Wd @ mu - Wh @ mu_q).numpy()
