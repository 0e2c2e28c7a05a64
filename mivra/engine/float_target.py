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

from .layer import Moments, by_group, geometry_conv, native
from .vectors import add_gram_upper, symmetric_from_upper, vectors


@dataclass
class Cross:
    """The cross moment C = X X~^T / n of paired float and quantized-stream
    vectors -- or, accumulated for the layer's own weights W, just W C --
    and their means (C and WC None where only means are kept), and, where it
    was measured directly, the float output energy mean |W x|^2 (per group)."""
    C: torch.Tensor | None
    mu: torch.Tensor | None             # None where the means were not asked for
    mu_q: torch.Tensor | None
    energy: torch.Tensor | None = None
    WC: torch.Tensor | None = None      # (rows, D), or (g, rows / g, D) per group

    def weighted(self, W: np.ndarray, ok: list | None = None) -> torch.Tensor:
        """W C for the rows ``W`` of the groups ``ok`` (None: all), in the group
        layout of by_group: the one accumulated, or W times C."""
        if self.WC is not None:
            return self.WC if ok is None or self.WC.dim() == 2 else self.WC[ok]
        C = self.C if ok is None or self.C.dim() == 2 else self.C[ok]
        return by_group(W, C) @ C

    def mean(self) -> tuple[torch.Tensor, torch.Tensor]:
        return self.mu, self.mu_q


class PairedMoments:
    """H~, C and the means of a layer's paired inputs, accumulated in float64
    from one set of patches per stream and chunk (with a leading group axis for
    a grouped convolution), and the float inputs' H -- or, given the weights
    W of a layer with fewer rows than half its columns, W C and the output
    energy mean |W x|^2 from its float outputs Y = W X: W C = Y X~^T costs
    2 rows * D multiply-adds per vector instead of D^2, and the energy is
    all the error table needs of H; with ``float_gram`` False, no H (the
    caller measures the energy on the layer's output); with ``means`` False,
    no means (only bias correction reads them). Where the streams are equal
    (nothing upstream rounded yet) H~ = C = H come from one product. A batch
    holding NaN is skipped."""

    def __init__(self, float_gram: bool = True, means: bool = True):
        self.Hq = self.H = self.C = self.WC = self.s = self.s_q = self.energy = None
        self.W = None
        self.float_gram = float_gram
        self.means = means
        self.Hs = None                # X X^T of the batches where X~ = X: their H~ and C
        self.n = 0
        self.nan_batches = 0

    def add(self, layer, x: torch.Tensor, x_q: torch.Tensor, W: torch.Tensor | None = None) -> None:
        if has_nan(x) or has_nan(x_q):
            self.nan_batches += 1
            return
        same = x_q is x or torch.equal(x, x_q)      # nothing upstream rounded yet: C = H~
        if isinstance(layer, nn.Conv2d) and layer.groups > 1:
            self._add_grouped(layer, x, x_q, same, W)
            return
        for X, Xq in zip(vectors(layer, x), vectors(layer, x) if same else vectors(layer, x_q)):
            if self.Hq is None:
                sq = X.shape[:-1] + X.shape[-2:-1]
                self.Hq = X.new_zeros(sq)
                if W is not None:
                    self.W, self.WC = W, X.new_zeros(W.shape)
                    self.energy = X.new_zeros(X.shape[:-2])
                else:
                    self.C = X.new_zeros(sq)
                    self.H = X.new_zeros(sq) if self.float_gram else None
                self.s, self.s_q = X.new_zeros(X.shape[:-1]), X.new_zeros(X.shape[:-1])
            Y = None if W is None else W @ X        # the float outputs, bias aside
            if same:                    # X~ = X: one product for H~ and C
                if self.Hs is None:
                    self.Hs = torch.zeros_like(self.Hq)
                add_gram_upper(self.Hs, X)
            else:
                add_gram_upper(self.Hq, Xq)
                if Y is not None:
                    self.WC.add_(Y @ Xq.transpose(-1, -2))
                else:
                    self.C.add_(X @ Xq.transpose(-1, -2))
            if Y is not None:
                self.energy += Y.square().sum((-2, -1))
            elif self.H is not None and not same:
                add_gram_upper(self.H, X)
            if self.means:
                self.s += X.sum(-1)
                self.s_q += Xq.sum(-1)
            self.n += X.shape[-1]

    def _add_grouped(self, layer, x, x_q, same: bool, W) -> None:
        """A grouped convolution's batch: each group's float and quantized-stream
        channels side by side make one grouped layer of twice the channels,
        whose per-group second moment [[H, C], [C^T, H~]] (float64, from the
        images directly) gives all three, and whose patch sums both means."""
        g, D = layer.groups, x.shape[1] // layer.groups * layer.kernel_size[0] * layer.kernel_size[1]
        if same:
            G, n = _group_gram(layer, x)
            blocks = {"s": G}
            sums = patch_sums(layer, x) if self.means else None
            sums_q = sums
        else:
            b, C, Hh, Ww = x.shape
            z = torch.cat([x.reshape(b, g, C // g, Hh, Ww), x_q.reshape(b, g, C // g, Hh, Ww)], 2)
            z = z.reshape(b, 2 * C, Hh, Ww)
            G, n = _group_gram(layer, z)
            blocks = {"H": G[:, :D, :D], "C": G[:, :D, D:], "q": G[:, D:, D:]}
            # per group: x's entries, then x~'s
            sums, sums_q = patch_sums(layer, z).split(D, 1) if self.means else (None, None)
        if self.Hq is None:
            zeros = lambda *shape: torch.zeros(shape, dtype=torch.float64)    # noqa: E731
            self.Hq, self.C, self.s, self.s_q = zeros(g, D, D), zeros(g, D, D), zeros(g, D), zeros(g, D)
            if W is not None:
                self.energy = zeros(g)
            elif self.float_gram:
                self.H = zeros(g, D, D)
        if same:
            self.Hs = blocks["s"] if self.Hs is None else self.Hs + blocks["s"]
        else:
            self.Hq += blocks["q"]
            self.C += blocks["C"]
            if self.H is not None:
                self.H += blocks["H"]
        if W is not None:           # |W x|^2 summed: tr(W H W^T) per group
            Hf = blocks["s"] if same else blocks["H"]
            self.energy += ((W @ Hf) * W).sum((-2, -1))
        if self.means:
            self.s += sums
            self.s_q += sums_q
        self.n += n

    def result(self) -> tuple:
        """(Moments of H~, Moments of H or None, Cross) over the vectors seen."""
        if self.Hq is None:
            return Moments(nan_batches=self.nan_batches), Moments(nan_batches=self.nan_batches), None
        n = float(self.n)
        H = None if self.H is None else symmetric_from_upper(self.H)
        Hq, C, WC = symmetric_from_upper(self.Hq), self.C, self.WC
        if self.Hs is not None:
            Hs = symmetric_from_upper(self.Hs)
            Hq, H = Hq + Hs, None if H is None else H + Hs
            C, WC = (C + Hs, None) if WC is None else (None, WC + self.W @ Hs)
        H = None if H is None else Moments(H / n, n, self.nan_batches)
        per_n = lambda t: None if t is None else t / n      # noqa: E731
        mu, mu_q = (self.s / n, self.s_q / n) if self.means else (None, None)
        return (Moments(Hq / n, n, self.nan_batches), H,
                Cross(per_n(C), mu, mu_q, per_n(self.energy), per_n(WC)))


def has_nan(x: torch.Tensor) -> bool:
    """Whether x holds a NaN: its sum is NaN only then (or with infinities of
    both signs), so the elements are looked at only in that case."""
    return bool(torch.isnan(x.sum())) and bool(torch.isnan(x).any())


def _group_gram(layer: nn.Conv2d, x: torch.Tensor) -> tuple[torch.Tensor, int]:
    """(sum over patches of X_j X_j^T per group (g, D, D) float64, patches) of
    the images x (b, C, H, W) for a grouped convolution of ``layer``'s
    geometry over C channels."""
    conv = geometry_conv(x.shape[1], layer.groups, tuple(layer.kernel_size), tuple(layer.stride),
                          tuple(layer.padding), tuple(layer.dilation))
    moq = native().decoupleQ(conv)
    moq.add_batch(x, None, None)
    return moq.H * moq.nsamples, int(moq.nsamples)


def patch_sums(layer: nn.Conv2d, x: torch.Tensor) -> torch.Tensor:
    """Sum over the patches of the images x of each patch entry, per group:
    (g, D) float64, entries in the weight's column order (channel, kernel row,
    kernel column). The images are summed first, then each kernel offset's
    strided window of the padded sum."""
    (kh, kw), (sh, sw), (ph, pw), (dh, dw) = (layer.kernel_size, layer.stride, layer.padding,
                                              layer.dilation)
    if (sh, sw) == (1, 1):
        return _unit_stride_patch_sums(layer, x)
    xs = F.pad(x.sum(0, dtype=torch.float64), (pw, pw, ph, ph))          # (C, Hp, Wp)
    Ho = (xs.shape[1] - dh * (kh - 1) - 1) // sh + 1
    Wo = (xs.shape[2] - dw * (kw - 1) - 1) // sw + 1
    # a window's sum is separable: per kernel column, the sums along each row
    # (C, Hp), then per kernel row along those
    cols = [xs[:, :, j * dw:j * dw + sw * (Wo - 1) + 1:sw].sum(2) for j in range(kw)]
    out = torch.stack([cols[j][:, i * dh:i * dh + sh * (Ho - 1) + 1:sh].sum(1)
                       for i in range(kh) for j in range(kw)], 1)        # (C, kh * kw)
    return out.reshape(layer.groups, -1)


def _unit_stride_patch_sums(layer: nn.Conv2d, x: torch.Tensor) -> torch.Tensor:
    """patch_sums at stride 1: a kernel offset's window covers a run of
    consecutive rows and columns of the image (padding adds zeros), so its sum
    is the whole sum less the few rows and columns it misses at the edges; one
    pass over the images instead of one per kernel column."""
    (kh, kw), (ph, pw), (dh, dw) = layer.kernel_size, layer.padding, layer.dilation
    xs = x.sum(0, dtype=torch.float64) if x.shape[0] > 1 else x[0]     # (C, H, W)
    H, W = xs.shape[1:]
    Ho, Wo = H + 2 * ph - dh * (kh - 1), W + 2 * pw - dw * (kw - 1)

    def window(a: torch.Tensor, full: torch.Tensor, start: int, n: int, dim: int) -> torch.Tensor:
        """Sum of a over indices [start, start + n) of dim, clipped to a, as full less the rest."""
        size = a.shape[dim]
        lo, hi = min(max(start, 0), size), min(max(start + n, 0), size)
        out = full
        if lo > 0:
            out = out - a.narrow(dim, 0, lo).sum(dim, dtype=torch.float64)
        if hi < size:
            out = out - a.narrow(dim, hi, size - hi).sum(dim, dtype=torch.float64)
        return out

    rows = xs.sum(2, dtype=torch.float64)                                 # (C, H)
    cols = [window(xs, rows, j * dw - pw, Wo, 2) for j in range(kw)]      # (C, H) per kernel column
    out = torch.stack([window(cols[j], cols[j].sum(1), i * dh - ph, Ho, 1)
                       for i in range(kh) for j in range(kw)], 1)        # (C, kh * kw)
    return out.reshape(layer.groups, -1)


class Means:
    """The mean input vector of a layer (float stream only)."""

    def __init__(self):
        self.s, self.n = None, 0

    def add(self, layer, x: torch.Tensor) -> None:
        for X in vectors(layer, x):
            self.s = X.sum(-1) if self.s is None else self.s + X.sum(-1)
            self.n += X.shape[-1]

    def result(self) -> Cross:
        mu = self.s / max(self.n, 1)
        return Cross(None, mu, mu)


def damped(H: torch.Tensor, perdamp: float = 0.01) -> torch.Tensor:
    """H + perdamp * mean(diag H) * I (per group), the solver's damping."""
    out = H.clone()
    d = out.diagonal(dim1=-2, dim2=-1)
    d.add_(perdamp * d.mean(-1, keepdim=True))
    return out


# Ridge strength per unit of D / n (see target_weights): set by measurement. On the
# sentence encoder (a few thousand tokens for 384- and 1536-wide inputs) 0, 4, 16, 64
# raised the cosine at W4 in groups of 32 from 0.9927 to 0.9933, 0.9939, 0.9943, while
# the captcha recogniser's Gemm head (1024 columns, 1,408 vectors) read 83.2 /
# 74.2 % at W4 / W2 with 0, 83.2 / 74.8 % with 16 and 82.4 / 72.2 % with 64.
RIDGE_PER_DIM = 16.0


def target_weights(W: np.ndarray, WC: torch.Tensor, Hq: torch.Tensor, n: float,
                   perdamp: float = 0.01, per_dim: float = RIDGE_PER_DIM) -> np.ndarray:
    """W' = W (C + lambda I)(H~ + lambda I)^-1 from W C (``WC``, per group as
    by_group lays W out) and H~ over ``n`` vectors: the float outputs fitted
    on the quantized inputs, ridge-regularised toward W (per group), with
    lambda = perdamp (1 + per_dim D / n) mean(diag H~): the fewer vectors per
    input dimension D determine the fit, the closer W' stays to W (n >> D:
    the solver's own damping). Float32 like the stored weights."""
    Wd = by_group(W, Hq)
    perdamp = perdamp * (1.0 + per_dim * Hq.shape[-1] / max(float(n), 1.0))
    lam = perdamp * Hq.diagonal(dim1=-2, dim2=-1).mean(-1)[..., None, None]
    L = torch.linalg.cholesky(damped(Hq, perdamp))
    rhs = WC + lam * Wd                                         # W (C + lambda I)
    Wt = torch.cholesky_solve(rhs.transpose(-1, -2).contiguous(), L).transpose(-1, -2)  # H~ symmetric
    return Wt.reshape(np.shape(W)).numpy().astype(np.float32)


def output_error(W: np.ndarray, W_hats: list, H: torch.Tensor | None, WC: torch.Tensor,
                 Hq: torch.Tensor, energy: torch.Tensor | None = None) -> tuple[list, float]:
    """([mean |W x - W_hat x~|^2 for each W_hat], mean |W x|^2), summed over the
    rows, from W C (``WC``); mean |W x|^2 from H, or as measured (``energy``)."""
    Wd = by_group(W, Hq)
    base = float(energy.sum()) if energy is not None else float(((Wd @ H) * Wd).sum())
    WdC = WC
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
