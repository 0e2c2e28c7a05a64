"""Model-level and layer-level effect of quantization: tables, JSON and a plot."""
from __future__ import annotations

import math

import numpy as np


class _Sums:
    """Running float64 sums over samples of one output: a.b, |a|^2, |b|^2, |a - b|^2."""

    def __init__(self):
        self.ab = self.aa = self.bb = self.dd = 0.0

    def add(self, a: np.ndarray, b: np.ndarray) -> None:
        a = np.asarray(a, dtype=np.float64).ravel()
        b = np.asarray(b, dtype=np.float64).ravel()
        self.ab += float(a @ b)
        self.aa += float(a @ a)
        self.bb += float(b @ b)
        self.dd += float(np.sum((a - b) ** 2))

    def cosine(self) -> float:
        na, nb = math.sqrt(self.aa), math.sqrt(self.bb)
        if na == 0 or nb == 0:
            return 1.0 if na == nb else 0.0
        return self.ab / (na * nb)

    def sqnr_db(self) -> float:
        """10 log10(|ref|^2 / |ref - test|^2); +inf when they are equal."""
        signal, noise = self.aa, self.dd
        if noise == 0:
            return math.inf
        if signal == 0:
            return -math.inf
        return 10.0 * math.log10(signal / noise)


def model_metrics(model, feeds: dict, ref: dict) -> dict:
    """Cosine similarity and SQNR of every output of ``model`` (onnxruntime,
    CPU) against ``ref`` ({output: (N, ...)}) over the calibration samples,
    one sample at a time (the model's outputs are not kept)."""
    from .api.session import ort_session

    sess = ort_session(model)
    names = [o.name for o in sess.get_outputs()]
    n = len(next(iter(feeds.values())))
    sums = {k: _Sums() for k in names}
    for si in range(n):
        for k, v in zip(names, sess.run(None, {k: v[si] for k, v in feeds.items()})):
            sums[k].add(ref[k][si], v)
    return {k: {"cosine": s.cosine(), "sqnr_db": s.sqnr_db()} for k, s in sums.items() if k in ref}


def json_number(x):
    """JSON has no infinities or NaN: write them as strings."""
    if x is None:
        return None
    if isinstance(x, float) and not math.isfinite(x):
        return "nan" if math.isnan(x) else ("inf" if x > 0 else "-inf")
    return x


def _fmt(x, fmt_code):
    if x is None or (isinstance(x, float) and math.isnan(x)):
        return "-"
    if isinstance(x, float) and math.isinf(x):
        return "inf" if x > 0 else "-inf"
    return format(x, fmt_code)


def table(headers, rows) -> str:
    widths = [max(len(str(h)), *(len(str(r[i])) for r in rows)) if rows else len(str(h))
              for i, h in enumerate(headers)]
    line = lambda cells: "  ".join(str(c).ljust(w) if i == 0 else str(c).rjust(w)
                                   for i, (c, w) in enumerate(zip(cells, widths)))
    return "\n".join([line(headers), line(["-" * w for w in widths])] + [line(r) for r in rows])


def human_bytes(n: float) -> str:
    for unit in ("B", "KiB", "MiB", "GiB"):
        if abs(n) < 1024 or unit == "GiB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024.0


def layer_table(job) -> str:
    rows = []
    for s in job.stats:
        L = s.layer
        if L.excluded:
            rows.append([L.node, "x".join(map(str, L.shape)), "float", "excluded", "FLOAT",
                         "-", "-", "-", "-", human_bytes(s.float_bytes), human_bytes(s.quant_bytes)])
            continue
        ratio = s.err / s.err_minmax if s.err_minmax and not math.isnan(s.err_minmax) and s.err_minmax > 0 else float("nan")
        method = s.qmethod if s.method in ("gdq", "minmax") else f"{s.qmethod}, {s.method}"
        rows.append([L.node, "x".join(map(str, L.shape)), s.bits, method, s.container,
                     _fmt(s.err, ".3e"), _fmt(s.err_minmax, ".3e"), _fmt(ratio, ".3f"),
                     _fmt(s.seconds, ".2f"), human_bytes(s.float_bytes), human_bytes(s.quant_bytes)])
    headers = ["layer", "weight", "bits", "method", "stored", "H-err", "H-err min/max",
               "ratio", "time s", "float", "quantized"]
    return table(headers, rows)


def layer_json(job) -> list:
    out = []
    for s in job.stats:
        L = s.layer
        out.append({
            "node": L.node, "kind": L.kind, "groups": L.groups, "rows": L.rows,
            "weight": L.weight, "shape": list(L.shape),
            "excluded": L.excluded, "bits": s.bits, "method": s.method,
            "qmethod": s.qmethod, "stored_as": s.container,
            "hessian_error": json_number(s.err), "hessian_error_minmax": json_number(s.err_minmax),
            "seconds": s.seconds, "solve_seconds": s.solve_seconds, "vectors": s.vectors,
            "float_bytes": s.float_bytes, "quantized_bytes": s.quant_bytes,
            **({"note": s.note} if s.note else {}),
        })
    return out


def act_json(job) -> dict:
    """Per quantized activation: its grid, range and the SQNR of its rounding on
    the calibration set (dB)."""
    return {name: {"bits": p.bits, "signed": p.signed, "scale": p.scale, "zero_point": p.zero_point,
                   "min": p.lo, "max": p.hi, "sqnr_db": json_number(job.act_sqnr.get(name))}
            for name, p in job.acts.items()}


def act_lines(job, worst: int = 3) -> list:
    """A line on the activations and one per activation whose rounding costs most."""
    if not job.acts:
        return []
    kinds = {}
    for name, p in job.acts.items():
        kinds.setdefault(f"{'int' if p.signed else 'uint'}{p.bits}", []).append(name)
    rows = sorted(job.act_sqnr.items(), key=lambda kv: kv[1])[:worst]
    lines = [f"activations: " + ", ".join(f"{len(v)} tensors as {k}" for k, v in kinds.items()) +
             ", per tensor; lowest SQNR of their rounding on the calibration set:"]
    lines += [f"  {name}: {_fmt(v, '.1f')} dB at {job.acts[name].bits} bits (range "
              f"{job.acts[name].lo:.4g} .. {job.acts[name].hi:.4g})" for name, v in rows]
    if len(kinds) > 1:
        wide = [n for n, p in job.acts.items() if p.bits == 16]
        lines.append("  at 16 bits (hard tensors): " + ", ".join(wide))
    hard = [n for n, p in job.acts.items() if p.bits == 8 and job.act_sqnr.get(n, math.inf) < HARD_TENSOR_DB]
    if hard and job.opts.act_min_sqnr is None:
        lines.append(f"hint: {len(hard)} of {len(job.acts)} activations keep less than {HARD_TENSOR_DB:g} dB "
                     f"at 8 bits (outliers?): --act-min-sqnr {HARD_TENSOR_DB:g} gives them 16 bits, which "
                     "keeps a transformer close to its float-activation accuracy")
    return lines


# SQNR below which an 8-bit activation is worth the hint toward 16 bits: on the
# sentence encoder the tensors under it cost most of the accuracy of W4A8.
HARD_TENSOR_DB = 30.0


def metrics_table(metrics: dict, label: str, base_label: str = "min/max") -> str:
    rows = []
    for name, m in metrics.items():
        rows.append([name, _fmt(m["ours"]["cosine"], ".6f"), _fmt(m["ours"]["sqnr_db"], ".2f"),
                     _fmt(m["minmax"]["cosine"], ".6f"), _fmt(m["minmax"]["sqnr_db"], ".2f")])
    return table(["output", f"cos {label}", f"SQNR dB {label}", f"cos {base_label}",
                  f"SQNR dB {base_label}"], rows)


def plot_layer_errors(job, path: str) -> None:
    """Bar chart of per-layer Hessian-weighted relative error, quantizer vs min/max rounding."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    stats = [s for s in job.stats if not s.layer.excluded]
    widths = {s.bits for s in stats}
    names = [s.layer.node if len(widths) == 1 else f"{s.layer.node} ({s.bits} b)" for s in stats]
    x = np.arange(len(stats))
    fig, ax = plt.subplots(figsize=(max(6.0, 0.5 * len(stats) + 2), 4.0))
    if job.opts.method == "gdq":
        ax.bar(x - 0.2, [s.err_minmax for s in stats], 0.4, label="min/max rounding")
        ax.bar(x + 0.2, [s.err for s in stats], 0.4, label="mivra")
    else:
        ax.bar(x, [s.err for s in stats], 0.6, label="min/max rounding")
    ax.set_yscale("log")
    ax.set_xticks(x)
    ax.set_xticklabels(names, rotation=60, ha="right", fontsize=8)
    ax.set_ylabel("relative Hessian-weighted error")
    label = f"{widths.pop()}-bit" if len(widths) == 1 else "mixed-width"
    ax.set_title(f"{label} {job.opts.qmethod}, {job.opts.qtype}")
    ax.legend()
    fig.tight_layout()
    with open(path, "wb") as fh:
        fig.savefig(fh, format="png", dpi=100)
    plt.close(fig)
