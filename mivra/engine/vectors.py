"""A layer's input vectors, chunk by chunk, and products of them.

A convolution's vectors are its patches in the weight's column order
(channel, kernel row, kernel column), one per image and output position; a
grouped convolution's are split per group (a leading group axis); a matrix
product's are the rows of its input. Patches are made from strided views of
the padded images (one view per kernel offset, stacked): one copy, in the
layout the products read.
"""
from __future__ import annotations

import torch
import torch.nn.functional as F
from torch import nn

PATCH_BUDGET = 1 << 23      # float64 elements of one chunk of vectors
GRAM_BASE = 256             # rows below which X X^T is one product


def _conv_patches(layer: nn.Conv2d, x: torch.Tensor) -> torch.Tensor:
    """(g, D, b * L) float64 patches of the images x (b, C, H, W), D = C / g * kh * kw."""
    (kh, kw), (sh, sw), (ph, pw), (dh, dw) = (layer.kernel_size, layer.stride, layer.padding,
                                              layer.dilation)
    C, b, H, W = x.shape[1], x.shape[0], x.shape[2], x.shape[3]
    # channels first, padded and in float64: one copy
    xp = x.new_zeros((C, b, H + 2 * ph, W + 2 * pw), dtype=torch.float64)
    xp[:, :, ph:ph + H, pw:pw + W] = x.transpose(0, 1)
    Ho = (xp.shape[2] - dh * (kh - 1) - 1) // sh + 1
    Wo = (xp.shape[3] - dw * (kw - 1) - 1) // sw + 1
    if (dh, dw) == (1, 1):          # every patch as a strided view, laid out by one copy
        u = xp.unfold(2, kh, sh).unfold(3, kw, sw)[:, :, :Ho, :Wo]     # (C, b, Ho, Wo, kh, kw)
        P = u.permute(0, 4, 5, 1, 2, 3)
    else:
        P = torch.stack([xp[:, :, i * dh:i * dh + sh * (Ho - 1) + 1:sh,
                            j * dw:j * dw + sw * (Wo - 1) + 1:sw]
                         for i in range(kh) for j in range(kw)], 1)    # (C, kh * kw, b, Ho, Wo)
    return P.reshape(layer.groups, -1, b * Ho * Wo)


def vectors(layer, x: torch.Tensor, budget: int | None = None):
    """Float64 chunks of the input vectors ``layer`` sees in ``x``: (D, m), or
    (g, D, m) for a convolution of g > 1 groups (nn.Conv2d: images; nn.Linear:
    rows of x), of about ``budget`` elements (default PATCH_BUDGET)."""
    budget = budget or PATCH_BUDGET
    if isinstance(layer, nn.Conv2d):
        kh, kw = layer.kernel_size
        per_image = x[0].numel() * kh * kw / (layer.stride[0] * layer.stride[1])
        step = max(1, int(budget // max(per_image, 1)))
        for b0 in range(0, x.shape[0], step):
            P = _conv_patches(layer, x[b0:b0 + step])
            yield P[0] if layer.groups == 1 else P
    else:
        step = max(1, budget // max(1, x.shape[-1]))
        for r0 in range(0, x.shape[0], step):
            yield x[r0:r0 + step].double().T


def add_gram_upper(h: torch.Tensor, X: torch.Tensor) -> None:
    """h += X X^T on its upper triangle (X (K, m); h (K, K)): diagonal blocks by
    halving, each off-diagonal block once, about half the multiply-adds of the
    full product; for (g, K, m) stacks the full product per group."""
    if X.dim() == 3:
        h.baddbmm_(X, X.transpose(1, 2))
        return
    K = X.shape[0]
    if K <= GRAM_BASE:
        h.addmm_(X, X.T)
        return
    k1 = K // 2
    add_gram_upper(h[:k1, :k1], X[:k1])
    add_gram_upper(h[k1:, k1:], X[k1:])
    h[:k1, k1:].addmm_(X[:k1], X[k1:].T)


def symmetric_from_upper(h: torch.Tensor) -> torch.Tensor:
    if h.dim() == 3:
        return h
    return torch.triu(h) + torch.triu(h, 1).T
