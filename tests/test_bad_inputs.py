"""Whatever a user feeds ``mivra-gdq quantize``, a bad input ends in exit status 2
and one line ``mivra-gdq: error: <what>: <why>; <what to do>`` on stderr, with
nothing written: no new file or folder, earlier files untouched, no traceback.

Each row runs BASE plus its arguments (or its own command when it starts with
"quantize") in a subprocess without standard input or terminal.
"""
import os
import re
import resource
import shlex
import signal
import subprocess
import sys

import numpy as np
import pytest

import bad_inputs as b
from onnx_models import conv_only_model, write_calibration

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BASE = "quantize m.onnx --dataset cal.txt --method minmax --out o --export-qdq q.onnx --export-fake-quant f.onnx"
OUTPUTS = ("o", "q.onnx", "f.onnx")
ERROR_LINE = re.compile(r"^mivra-gdq: error: \S.*: \S.*; \S.*$")
F32_MAX = float(np.finfo(np.float32).max)


def case(kind, build, args, fragment, code=2, absent=OUTPUTS):
    return pytest.param(build, args, code, fragment, absent, id=kind)


GOOD = b.build()
ROWS = [
    # arguments
    case("bits-out-of-range", GOOD, "--bits 9", "--bits"),
    case("qmethod-group0", GOOD, "--qmethod group0", "--qmethod group0"),
    case("qtype-unknown", GOOD, "--qtype both", "--qtype"),
    case("dataset-missing", GOOD, "quantize m.onnx --out o", "--dataset"),
    case("ops-unknown", GOOD, "--ops conv,lstm", "--ops conv,lstm: unknown kind of layer"),
    case("matmul-nbits-without-qdq", GOOD, "quantize m.onnx --dataset cal.txt --out o --matmul-nbits",
         "--matmul-nbits: it only applies to the QDQ model; add --export-qdq OUT.onnx"),
    case("avg-bits-out-of-range", GOOD, "--avg-bits 9", "give a mean width from 2 to 8"),
    case("size-budget-too-small", GOOD, "--max-size 10", "below what 2-bit weights need"),
    case("layout-unknown", GOOD, "--layout nhcw", "--layout nhcw"),
    case("shape-not-integers", GOOD, "--shape 1,3,a,4", "--shape 1,3,a,4"),
    case("shape-zero-dim", GOOD, "--shape 1,3,0,4", "positive integers"),
    case("shape-contradicts-model", GOOD, "--shape 1,3,5,5", "input x has shape [1, 3, 4, 4]"),
    case("option-names-no-input", GOOD, "--mean z=1", "no input z"),
    case("exclude-matches-nothing", GOOD, "--exclude c1,nosuch*", "--exclude nosuch*"),
    case("mean-nan", GOOD, "--mean nan", "not a finite number"),
    case("mean-wrong-channel-count", GOOD, "--mean 1,2", "mean has 2 values"),
    case("mean-overflows-float32", GOOD, "--mean 1e300", "outside the range of float32"),
    case("std-denormal", GOOD, "--std 1e-40", "below 1e-30"),
    case("std-overflows-float32", b.build(samples=[b.sample(1e30), b.sample()]), "--std 1e-10", "line 2 of cal.txt"),
    # the model file
    case("model-missing", b.build(then=lambda d: os.remove(d / "m.onnx")), "", "model file not found"),
    case("model-is-a-folder", b.build(then=b.to_folder("m.onnx")), "", "not a regular file"),
    case("model-garbage", b.build(model=b"\x08\x07garbage\xff" * 9), "", "cannot load the model"),
    case("model-fails-checker", b.build(b.set_input(1, 0, "nowhere")), "", "cannot load the model"),
    case("model-channels-inconsistent", b.build(b.set_input(2, 1, "w1")), "", "Input channels C is not equal"),
    case("external-data-missing", b.build(then=b.external_data(keep=False)), "", "external data file"),
    case("initializer-too-few-bytes", b.build(b.data_size("w1", 36)), "",
         "initializer w1 holds 36 bytes, but its shape [4, 3, 3, 3] of float32 needs 432"),
    case("initializer-too-many-bytes", b.build(b.data_size("b1", 36)), "",
         "initializer b1 holds 36 bytes, but its shape [4] of float32 needs 16"),
    case("initializer-bytes-not-whole-elements", b.build(b.data_size("w2", 65)), "",
         "initializer w2 holds 65 bytes, but its shape [4, 4, 1, 1] of float32 needs 64"),
    case("initializer-float-data-count", b.build(b.data_size("w1", 200, "float_data")), "",
         "initializer w1 holds 200 values in float_data, but its shape [4, 3, 3, 3] of float32 needs 108"),
    case("external-data-short", b.build(then=b.external_data(size=500)), "",
         "initializer w2 holds 52 bytes in its external data file m.onnx.data, but its shape"),
    case("weight-nan", b.build(b.set_value("w1", (0, 0, 0, 0), np.nan)), "",
         "weight w1 of Conv node c1: holds 1 NaN or infinite value(s)"),
    case("weight-huge", b.build(b.set_value("w1", (1, 2, 0, 1), 3e15)), "", "beyond the 1e+15"),
    case("bias-nan", b.build(b.set_value("b1", 2, np.nan)), "", "bias b1 of Conv node c1"),
    case("gemm-bias-infinite", b.build(b.gemm_head, b.set_value("fc.b", 4, -np.inf)), "",
         "bias fc.b of Gemm node fc: holds 1 NaN"),
    case("weight-computed-at-runtime", b.build(b.computed_weight), "", "not stored as an initializer"),
    case("auto-pad", b.build(b.auto_pad), "", "auto_pad is not supported"),
    case("weights-float16", b.build(b.float16), "", "only float32 weights"),
    case("conv-1d", b.build(model=b.conv1d_model()), "", "only 2-D convolutions"),
    case("control-flow-if", b.build(b.if_node), "", "node branch (If): holds a subgraph"),
    case("custom-domain-op", b.build(b.custom_op), "", "onnxruntime has no operator Mystery in domain my.domain"),
    case("model-fails-on-samples", b.build(b.fixed_reshape, width=None, samples=[b.sample(shape=(3, 4, 6))] * 2),
         "--shape 1,3,4,6", "onnxruntime fails"),
    # the calibration list and its samples
    case("list-missing", b.build(then=lambda d: os.remove(d / "cal.txt")), "", "calibration list not found"),
    case("list-without-samples", b.build(listing="# nothing\n\n"), "", "holds no samples"),
    case("list-short-line", b.build(listing="s0.npy s1.npy\ns0.npy\n"), "", "line 2 of calibration list"),
    case("list-too-many-paths", b.build(listing="s0.npy s1.npy\n"), "", "gives 2 path(s) per sample"),
    case("list-not-utf8", b.build(listing=b"s0.npy\n\xff\xfe\n"), "", "calibration list"),
    case("sample-missing", b.build(listing="s0.npy\nnope.npy\n"), "", "nope.npy (line 2"),
    case("sample-wrong-shape", b.build(samples=[b.sample(shape=(4, 4, 3))]), "", "does not match"),
    case("sample-nan", b.build(samples=[b.sample(), b.sample(np.nan)]), "", "contains NaN"),
    case("sample-infinite", b.build(samples=[b.sample(-np.inf)]), "", "contains infinite"),
    case("sample-beyond-float32", b.build(samples=[b.sample(), b.sample(1e39, np.float64)]), "",
         f"outside the range of float32 (-{F32_MAX:.3g}"),
    case("sample-complex", b.build(samples=[b.sample(1 + 2j, np.complex64)]), "", "holds complex numbers"),
    case("sample-text", b.build(samples=[b.sample("1.5", np.str_)]), "", "holds text"),
    case("sample-bool", b.build(samples=[b.sample(True, np.bool_)]), "", "holds booleans"),
    case("sample-structured", b.build(samples=[np.zeros(b.SHAPE, [("a", "f4"), ("b", "f4")])]), "",
         "holds structured records"),
    case("sample-pickled-objects", b.build(samples=[b.sample(1, object)]), "", "cannot read .npy file"),
    case("sample-corrupt-npy", b.build(samples=[("s0.npy", b"\x93NUMPY garbage")]), "", "cannot read .npy"),
    case("sample-corrupt-image", b.build(samples=[("s0.png", b"\x89PNG\r\n\x1a\n broken")]), "", "cannot decode image"),
    # output paths
    case("out-is-a-file", b.build(then=lambda d: (d / "o").write_text("old")), "",
         "--out o: exists and is not a folder", absent=("q.onnx", "f.onnx")),
    case("out-under-a-file", b.build(then=lambda d: (d / "plain").write_text("old")), "--out plain/o",
         "plain is a file, not a folder"),
    case("export-is-a-fifo", b.build(then=lambda d: os.mkfifo(d / "pipe")), "--export-fake-quant pipe",
         "not a regular file"),
    case("export-overwrites-model", GOOD, "--export-qdq m.onnx", "same file as the model"),
    case("exports-collide", GOOD, "--export-fake-quant q.onnx", "same file as --export-qdq q.onnx"),
    case("export-overwrites-list", GOOD, "--export-qdq cal.txt", "same file as the calibration list"),
    case("export-overwrites-sample", GOOD, "--export-fake-quant s1.npy", "same file as a calibration sample"),
    case("export-overwrites-model-data", b.build(then=b.external_data()), "--export-qdq m.onnx.data",
         "same file as the model's external data"),
    case("export-symlink-to-model", b.build(then=lambda d: (d / "link.onnx").symlink_to("m.onnx")),
         "--export-fake-quant link.onnx", "same file as the model"),
    case("export-into-out-file", GOOD, "--export-qdq o/summary.json", "same file as --out o (summary.json)"),
    case("out-file-is-a-folder", b.build(then=lambda d: (d / "o" / "quant_tab.json").mkdir(parents=True)), "",
         "quant_tab.json): is a folder", absent=("q.onnx", "f.onnx")),
    case("out-in-unwritable-folder", GOOD, "--out {ro}/o", "cannot create files in"),
    # nothing to quantize, degenerate calibration data: a note, status 0
    case("no-layer-of-the-kinds", GOOD, "--ops gemm,matmul", "no layers of the kinds gemm,matmul to quantize; "
         "nothing to do", code=0),
    case("samples-all-zero", b.build(samples=[b.sample(0.0)] * 2), "--method gdq", "quantized by plain min/max",
         code=0, absent=("o/.quant_tab.json.tmp",)),
]


def cli(args, cwd, **kw):
    env = dict(os.environ, PYTHONPATH=ROOT, PYTHONDONTWRITEBYTECODE="1")
    return subprocess.run([sys.executable, *args], cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=300, start_new_session=True, **kw)


@pytest.mark.parametrize("build,args,code,fragment,absent", ROWS)
def test_bad_input(tmp_path, build, args, code, fragment, absent):
    build(tmp_path)
    ro = b.unwritable_folder(tmp_path) if "{ro}" in args else None
    if "{ro}" in args and ro is None:
        pytest.skip("no folder here refuses new files")
    before = b.snapshot(tmp_path)
    args = args.format(ro=ro)
    r = cli(["-m", "mivra", *shlex.split(args if args.startswith("quantize") else f"{BASE} {args}")], tmp_path)
    assert (r.returncode, fragment in (r.stderr if code else r.stdout + r.stderr)) == (code, True), r.stdout + r.stderr
    assert "Traceback" not in r.stderr and not [p for p in absent if os.path.lexists(tmp_path / p)]
    if code == 2:
        assert ERROR_LINE.match(r.stderr) and r.stderr.count("\n") == 1, r.stderr
        assert b.snapshot(tmp_path) == before


SIGNAL_AT_COMMIT = """
import os, signal, sys
from mivra import outputs
signal.signal(signal.{sig}, signal.SIG_DFL)   # as in a terminal, whatever the tests inherited (nohup)
def commit(self, _commit=outputs.StagedOutputs.commit):
    os.kill(os.getpid(), signal.{sig})      # every output is staged by now
    return _commit(self)
outputs.StagedOutputs.commit = commit
from mivra.cli import main
sys.exit(main(sys.argv[1:]))
"""


@pytest.mark.parametrize("sig", ["SIGINT", "SIGHUP"])
def test_signal_while_outputs_are_staged(tmp_path, sig):
    """The staged files and the new --out folder go; the earlier QDQ model stays."""
    b.write(tmp_path)
    (tmp_path / "q.onnx").write_text("old")
    before = b.snapshot(tmp_path)
    r = cli(["-c", SIGNAL_AT_COMMIT.format(sig=sig), *shlex.split(BASE)], tmp_path)
    assert (r.returncode, r.stderr) == (128 + getattr(signal, sig), f"mivra-gdq: interrupted by {sig}\n")
    assert b.snapshot(tmp_path) == before


SIGNAL_AFTER_CREATE = """
import fnmatch, os, signal, sys
signal.signal(signal.SIGTERM, signal.SIG_DFL)
def then_signal(create):
    def call(path, *args, **kw):
        out = create(path, *args, **kw)
        if isinstance(path, str) and fnmatch.fnmatch(os.path.basename(path), {pattern!r}):
            os.kill(os.getpid(), signal.SIGTERM)   # the file or folder exists; is it registered?
        return out
    return call
os.{call} = then_signal(os.{call})
from mivra.cli import main
sys.exit(main(sys.argv[1:]))
"""


@pytest.mark.parametrize("call,pattern", [("open", ".layer_error.png.*"), ("mkdir", "o")],
                         ids=["plot-temporary", "out-folder"])
def test_signal_right_after_creating(tmp_path, call, pattern):
    """SIGTERM arriving just after a staged temporary or a folder for the outputs
    is created leaves neither behind."""
    b.write(tmp_path)
    before = b.snapshot(tmp_path)
    r = cli(["-c", SIGNAL_AFTER_CREATE.format(call=call, pattern=pattern), *shlex.split(BASE), "--report"],
            tmp_path)
    assert (r.returncode, r.stderr) == (128 + signal.SIGTERM, "mivra-gdq: interrupted by SIGTERM\n")
    assert b.snapshot(tmp_path) == before


def test_file_size_limit(tmp_path):
    """A write beyond RLIMIT_FSIZE fails with one line naming the file; earlier
    outputs stay, staged ones go."""
    b.write(tmp_path, conv_only_model(), samples=[])
    write_calibration(conv_only_model(), str(tmp_path), n_samples=1, list_name="cal.txt")
    (tmp_path / "o").mkdir()
    (tmp_path / "o" / "quant_tab.json").write_text("old")
    before = b.snapshot(tmp_path)
    limit = 64 * 1024          # the fake-quant model (110 KiB) does not fit; the rest does
    r = cli(["-m", "mivra", *shlex.split(BASE)], tmp_path,
            preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.RLIM_INFINITY)))
    assert r.returncode == 2 and r.stderr.startswith("mivra-gdq: error: f.onnx: cannot write it (File too large)")
    assert ERROR_LINE.match(r.stderr) and r.stderr.count("\n") == 1, r.stderr
    assert b.snapshot(tmp_path) == before
