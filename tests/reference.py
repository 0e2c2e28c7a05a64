"""Independent NumPy float64 references for the solver tests."""
import numpy as np

LADDER = (0.01, 0.1, 1.0, 10.0, 100.0)


def my_round(x):
    """Nearest integer, exact halves towards +inf."""
    y = np.round(x)  # half to even
    return np.where(np.abs(y - x) == 0.5, np.round(x + 0.5), y)


def safe_div(x, y):
    sign = np.where(np.sign(y) == 0, 1.0, np.sign(y))
    return x / (np.maximum(np.abs(y), 1e-15) * sign)


def inverse_factor(H00, ladder=LADDER):
    """Upper U with U^T U = (H00 + t mean(diag) I)^-1 for the first t that factorises."""
    H00 = np.asarray(H00, dtype=np.float64)
    for t in ladder:
        try:
            Linv = np.linalg.inv(np.linalg.cholesky(H00 + t * np.mean(np.diag(H00)) * np.eye(len(H00))))
        except np.linalg.LinAlgError:
            continue
        return np.linalg.cholesky(Linv.T @ Linv).T, t
    raise np.linalg.LinAlgError("no damping level factorises")


def round_gptq(W, scale_out, zero_out, min_bound, max_bound, H00, ladder=LADDER):
    """Column-by-column GPTQ rounding; returns (Q, newW, W after feedback)."""
    W = np.array(W, dtype=np.float64)
    Q, newW, U = W.copy(), W.copy(), inverse_factor(H00, ladder)[0]
    for i in range(W.shape[1]):
        w = newW[:, i] = W[:, i].copy()
        q = np.clip(my_round(safe_div(w - zero_out[:, i], scale_out[:, i])), min_bound, max_bound)
        Q[:, i] = q * scale_out[:, i] + zero_out[:, i]
        W[:, i:] -= np.outer((w - Q[:, i]) / U[i, i], U[i, i:])
    return Q, newW, W


def quantize(x, s, z, lo, hi, zero_no_shift):
    """(grid integers, dequantized values) for per-element scale s and zero z."""
    if zero_no_shift:
        q = np.clip(my_round(x / s) + z, lo, hi)
        return q, s * (q - z)
    q = np.clip(my_round((x - z) / s), lo, hi)
    return q, s * q + z


def quad_err(x, q, h):
    """Row-wise r h r^T, r = q - x."""
    r = np.asarray(q, np.float64) - np.asarray(x, np.float64)
    return np.einsum("ij,jk,ik->i", r, np.asarray(h, np.float64), r)


class Adam:
    def __init__(self, param, lr):
        self.p, self.lr, self.t = np.array(param, dtype=np.float64), lr, 0
        self.m, self.v = np.zeros_like(self.p), np.zeros_like(self.p)

    def step(self, g, b1=0.9, b2=0.999, eps=1e-5):
        self.t += 1
        self.m = b1 * self.m + (1 - b1) * g
        self.v = b2 * self.v + (1 - b2) * g * g
        denom = np.sqrt(self.v) / np.sqrt(1 - b2 ** self.t) + eps
        self.p = self.p - self.lr / (1 - b1 ** self.t) * self.m / denom


def opt_intW3(scale_out, zero_out, H00, min_bound, max_bound, x0, max_iter, lr, round_fn):
    """Projected Adam steps on the relaxed weights, then GPTQ rounding."""
    l, r = min_bound * scale_out + zero_out, max_bound * scale_out + zero_out
    left, right = np.minimum(l, r), np.maximum(l, r)
    opt = Adam(x0, lr)
    for _ in range(0 if round_fn == "gptq" else max_iter):
        opt.step((opt.p - x0) @ H00)
        opt.p = np.clip(opt.p, left, right)
    Q, newW, _ = round_gptq(opt.p, scale_out, zero_out, min_bound, max_bound, H00)
    w_int = np.clip(my_round(safe_div(Q - zero_out, scale_out)), min_bound, max_bound)
    return w_int, newW, quad_err(Q, x0, H00)


def unfold(x, kernel, stride=(1, 1), padding=(0, 0), dilation=(1, 1)):
    """Patch matrix (C*kh*kw, B*L) of images x (B, C, H, W), row (c*kh + i)*kw + j."""
    (kh, kw), (sy, sx), (dy, dx) = kernel, stride, dilation
    xp = np.pad(np.asarray(x, np.float64), ((0, 0), (0, 0), (padding[0],) * 2, (padding[1],) * 2))
    Ho = (xp.shape[2] - dy * (kh - 1) - 1) // sy + 1
    Wo = (xp.shape[3] - dx * (kw - 1) - 1) // sx + 1
    return np.stack([xp[:, c, i * dy:i * dy + sy * (Ho - 1) + 1:sy,
                        j * dx:j * dx + sx * (Wo - 1) + 1:sx].reshape(-1)
                     for c in range(x.shape[1]) for i in range(kh) for j in range(kw)])


def correlated_hessian(rng, n, samples=None, mix=0.9):
    """A realistic positive semi-definite second moment from correlated vectors."""
    samples = samples or 4 * n
    z = rng.standard_normal((samples, n))
    x = z.copy()
    for k in range(1, n):  # AR(1) correlation between neighbouring features
        x[:, k] = mix * x[:, k - 1] + np.sqrt(1 - mix * mix) * z[:, k]
    x *= rng.uniform(0.2, 2.0, size=n)
    return x.T @ x / samples
