"""The published surface of mivra.api.gdq_quant: names, order, parameter
lists, defaults, argument errors, load-time rules, tracebacks and output."""
import contextlib
import inspect
import io
import subprocess
import sys
import textwrap
import traceback

import numpy as np
import pytest
import torch

import mivra.api.gdq_quant as gq

R = inspect.Parameter.empty  # a required parameter

# (name, [(parameter, default)]) in the order the module creates them.
FUNCTIONS = [
    ("repeat_interleave", [("x", R), ("groupsize", R), ("scale", R), ("zero", R)]),
    ("cal_quant_error", [("x", R), ("q", R), ("h", R)]),
    ("my_round", [("x", R)]),
    ("opt_intW3", [("scale_out", R), ("zero_out", R), ("H00", R), ("sym", R), ("min_bound", R),
                   ("max_bound", R), ("x0", R), ("x_init", None), ("max_iter", 0),
                   ("lr", 0.001), ("max_inner_iter", 0), ("round_fn", "gptq")]),
    ("round_gptq", [("W", R), ("scale_out", R), ("zero_out", R), ("sym", R), ("min_bound", R),
                    ("max_bound", R), ("H00", None), ("**kwargs", R)]),
    ("safe_div", [("x", R), ("y", R)]),
    ("quantize", [("x", R), ("scale", R), ("zero", R), ("min_bound", R), ("max_bound", R),
                  ("scale_out", None), ("zero_out", None), ("return_int", False),
                  ("zero_no_shift", False)]),
    ("cal_quant_err_scale_zero", [("x", R), ("scale", R), ("zero", R), ("scale_out", R),
                                  ("zero_out", R), ("sym", R), ("min_bound", R),
                                  ("max_bound", R), ("groupsize", R), ("h", None),
                                  ("x0", None), ("zero_no_shift", False)]),
    ("get_linear_eq", [(p, R) for p in "abcdef"]),
]

METHODS = {
    "MyAdam": (object, [
        ("__init__", [("self", R), ("param", R), ("lr", R)]),
        ("step", [("self", R), ("grad", R)]),
    ]),
    "Quantizer": (torch.nn.Module, [
        ("__init__", [("self", R), ("*args", R), ("**kwargs", R)]),
        ("configure", [("self", R), ("bits", 4), ("perchannel", True), ("sym", False),
                       ("grid", 200), ("maxshrink", 0.8), ("thr", 0.01),
                       ("iters_for_scale", 4), ("zero_no_shift", True)]),
        ("find_params", [("self", R), ("x", R), ("groupsize", -1), ("H", None),
                         ("best", None), ("x0", None)]),
        ("get_scale_and_zero_out_group", [("self", R), ("x", None), ("scale", None),
                                          ("zero", None), ("H", None), ("groupsize", -1),
                                          ("x0", None), ("x_int", None),
                                          ("double_precision", True)]),
        ("get_scale_and_zero", [("self", R), ("xmin", R), ("xmax", R), ("x", R), ("h", R),
                                ("scale_out", None), ("zero_out", None), ("best", None),
                                ("scale", None), ("zero", None), ("groupsize", -1),
                                ("x0", None)]),
        ("get_minmax", [("self", R), ("x", R), ("groupsize", R)]),
        ("quant_via_minmax", [("self", R), ("x", R), ("groupsize", R), ("h", R),
                              ("bestp", None)]),
        ("get_fake_int_in", [("self", R), ("x", R), ("scale", R), ("zero", R),
                             ("groupsize", -1), ("zero_no_shift", None)]),
        ("get_scale_and_zero_out", [("self", R), ("x", R), ("scale", R), ("zero", R),
                                    ("h", R), ("x0", None), ("x_int", None)]),
        ("get_scale_out_sym", [("self", R), ("h", R), ("x0", R), ("x_int", R),
                               ("groupsize", -1)]),
        ("get_scale_zero_by_minmax", [("self", R), ("xmax", R), ("xmin", R)]),
        ("free", [("self", R)]),
    ]),
    "decoupleQ": (object, [
        ("__init__", [("self", R), ("layer", R), ("name", ""), ("print_log", False)]),
        ("add_batch", [("self", R), ("inp", R), ("out", R), ("mask", R)]),
        ("startquant", [("self", R), ("groupsize", R), ("symmetric", R), ("max_iter_num", R),
                        ("inner_iters_for_round", R), ("iters_before_round", R), ("dev", R),
                        ("lr", R), ("actorder", True), ("round_fn", "gptq"),
                        ("perdamp", 0.01)]),
        ("free", [("self", R)]),
    ]),
    "GdqQuant": (object, [
        ("__init__", [("self", R), ("ir", R), ("param", R), ("quant_tab", R)]),
        ("_get_w_b", [("self", R), ("model", R)]),
        ("_sess_input", [("self", R), ("sess", R), ("inputs_data_f", R)]),
        ("_sess_run", [("self", R), ("sess", R), ("inputs_data_f", R)]),
        ("quantize", [("self", R), ("layer", R), ("inp", R), ("w_name", R), ("quantizers", R),
                      ("dev", R), ("print_log", R)]),
        ("run", [("self", R)]),
    ]),
}


def _params(fn):
    out = []
    for p in inspect.signature(fn).parameters.values():
        prefix = {p.VAR_POSITIONAL: "*", p.VAR_KEYWORD: "**"}.get(p.kind, "")
        out.append((prefix + p.name, p.default))
    return out


def test_namespace_order():
    import torch.nn as nn

    names = [n for n in vars(gq) if not n.startswith("_")]
    star = [n for n in vars(nn) if not n.startswith("_")]
    expected = (["os", "copy", "np", "math", "time", "torch"] + star
                + ["nn", "preprocess_input", "get_input_img", "get_input_paths", "Session",
                   "repeat_interleave", "cal_quant_error", "my_round", "MyAdam", "opt_intW3",
                   "round_gptq", "safe_div", "quantize", "cal_quant_err_scale_zero",
                   "get_linear_eq", "Quantizer", "decoupleQ", "GdqQuant"])
    # A star-imported name that a later import rebinds keeps its first slot.
    dedup = list(dict.fromkeys(expected))
    assert names == dedup
    assert gq.np is np and gq.nn is nn and gq.Conv2d is nn.Conv2d and gq.Unfold is nn.Unfold
    from mivra.api import mivra_utils, session
    assert gq.get_input_paths is mivra_utils.get_input_paths
    assert gq.Session is session.Session


@pytest.mark.parametrize("name,params", FUNCTIONS, ids=[f[0] for f in FUNCTIONS])
def test_function_signatures(name, params):
    assert _params(getattr(gq, name)) == params


@pytest.mark.parametrize("cls", list(METHODS))
def test_classes(cls):
    base, methods = METHODS[cls]
    klass = getattr(gq, cls)
    assert klass.__bases__ == (base,) and klass.__module__ == "mivra.api.gdq_quant"
    declared = [k for k in vars(klass) if callable(vars(klass)[k]) and not k.startswith("__")
                or k == "__init__"]
    assert declared == [m for m, _ in methods]
    for method, params in methods:
        assert _params(getattr(klass, method)) == params, method


def test_get_linear_eq_doc():
    assert gq.get_linear_eq.__doc__ == "\n Solve linear equations:\n ax+by=c\n dx+ey=f"


@pytest.mark.parametrize("call,message", [
    (lambda: gq.my_round(), r"^my_round\(\) missing 1 required positional argument: 'x'$"),
    (lambda: gq.safe_div(1), r"^safe_div\(\) missing 1 required positional argument: 'y'$"),
    (lambda: gq.cal_quant_error(), r"^cal_quant_error\(\) missing 3 required positional "
                                   r"arguments: 'x', 'q', and 'h'$"),
    (lambda: gq.my_round(1, 2), r"^my_round\(\) takes 1 positional argument but 2 were given$"),
    (lambda: gq.quantize(*range(10)),
     r"^quantize\(\) takes from 5 to 9 positional arguments but 10 were given$"),
    (lambda: gq.my_round(y=1), r"^my_round\(\) got an unexpected keyword argument 'y'$"),
    (lambda: gq.safe_div(1, x=2), r"^safe_div\(\) got multiple values for argument 'x'$"),
    (lambda: gq.Quantizer().configure(4, bits=3),
     r"^Quantizer.configure\(\) got multiple values for argument 'bits'$"),
    (lambda: gq.Quantizer().free(1),
     r"^Quantizer.free\(\) takes 1 positional argument but 2 were given$"),
    (lambda: gq.MyAdam(torch.zeros(2)),
     r"^MyAdam.__init__\(\) missing 1 required positional argument: 'lr'$"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError, match=message):
        call()


def test_argument_error_does_no_work():
    q = gq.Quantizer()
    with pytest.raises(TypeError):
        q.configure(bits=3, colour="red")
    assert not hasattr(q, "max_bound")


def test_keywords_and_collected_kwargs():
    q = gq.Quantizer()
    q.configure(bits=2, sym=True, zero_no_shift=False)
    assert (q.max_bound, q.min_bound, q.sym, q.zero_no_shift, q.grid) == (1, -2, True, False, 200)
    assert gq.my_round(x=torch.tensor([2.5])).item() == 3
    # round_gptq collects unknown keywords instead of rejecting them.
    W = torch.tensor([[0.26, -0.74]])
    Q, _ = gq.round_gptq(W.clone(), torch.full((1, 2), 0.5), torch.zeros(1, 2), True, -2, 1,
                         H00=torch.eye(2), x0=W, left=None, right=None, max_iter=3, opt=None)
    assert Q.tolist() == [[0.5, -0.5]]


def test_quantizer_module_behaviour():
    q = gq.Quantizer()
    assert isinstance(q, torch.nn.Module) and list(q.parameters()) == []
    q.configure()
    q.iters_for_scale = 1  # fields are plain, writable attributes
    assert q.iters_for_scale == 1
    with pytest.raises(TypeError):
        gq.Quantizer(1)  # handed on to nn.Module.__init__, which takes nothing


def test_opt_intw3_runs_without_grad():
    assert not torch.is_grad_enabled() or True
    x0 = torch.randn(3, 4, requires_grad=True)
    s = torch.full((3, 4), 0.1)
    seen = []
    w_int, _, loss = gq.opt_intW3(s, torch.zeros(3, 4), torch.eye(4), True, -8, 7, x0.detach())
    assert not w_int.requires_grad and not loss.requires_grad
    assert inspect.unwrap(gq.opt_intW3) is not gq.opt_intW3  # wrapped by no_grad


def test_traceback_names_the_operation():
    q = gq.Quantizer()
    q.configure(sym=False)
    with pytest.raises(AssertionError) as info:
        q.get_scale_out_sym(torch.eye(2), torch.ones(1, 2), torch.ones(1, 2))
    names = [f.name for f in traceback.extract_tb(info.value.__traceback__)]
    assert "mivra.api.gdq_quant.Quantizer.get_scale_out_sym" in names
    with pytest.raises(AssertionError) as info:
        gq.cal_quant_error(torch.zeros(2), torch.zeros(2), torch.eye(2))
    names = [f.name for f in traceback.extract_tb(info.value.__traceback__)]
    assert names[-1] == "mivra.api.gdq_quant.cal_quant_error"


def test_output_goes_through_host_print():
    class Layer(torch.nn.Linear):
        pass

    moq = gq.decoupleQ(torch.nn.Linear(3, 2))
    buf = io.StringIO()
    with contextlib.redirect_stdout(buf):
        moq.add_batch(torch.tensor([[float("nan"), 1.0, 2.0]]), None, None)
    assert buf.getvalue() == "catch a NAN!!!!!!\n"
    assert moq.nsamples == 0 and moq.H == 0


def _run(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, cwd=_ROOT, timeout=120)


_ROOT = __import__("os").path.dirname(__import__("os").path.dirname(__file__))


def test_reinitialisation_is_refused():
    r = _run("""
        import sys, importlib
        import mivra.api.gdq_quant
        del sys.modules["mivra.api.gdq_quant"]
        try:
            importlib.import_module("mivra.api.gdq_quant")
        except Exception as e:
            print(type(e).__name__, e)
    """)
    assert r.stdout.strip().endswith(
        "Module 'gdq_quant' has already been imported. Re-initialisation is not supported."), r.stderr


def test_second_interpreter_is_refused():
    r = _run("""
        import os
        import mivra.api.gdq_quant
        import _xxsubinterpreters as interpreters
        interp = interpreters.create()
        try:
            interpreters.run_string(
                interp, f"import sys; sys.path.insert(0, {os.getcwd()!r}); import mivra.api.gdq_quant")
        except Exception as e:
            print(type(e).__name__, e)
    """)
    assert ("Interpreter change detected - this module can only be loaded into one "
            "interpreter per process.") in r.stdout + r.stderr, r.stderr


def test_failed_dependency_import_fails_the_load():
    r = _run("""
        import sys
        sys.modules["mivra.api.session"] = None  # the sibling module cannot be imported
        try:
            import mivra.api.gdq_quant
        except ImportError as e:
            print("ImportError", e)
        print("gdq_quant" in str(sorted(sys.modules)))
    """)
    lines = r.stdout.splitlines()
    assert lines[0].startswith("ImportError") and "mivra.api.session" in lines[0], r.stderr
