"""The published surface of mivra.api.gdq_quant: names, order, signatures with
their defaults, argument errors, load-time rules, tracebacks."""
import inspect
import os
import subprocess
import sys
import textwrap
import traceback

import numpy as np
import pytest
import torch

import mivra.api.gdq_quant as gq

# The signatures as str(inspect.signature) writes them, in the module's order.
FUNCTIONS = {
    "repeat_interleave": "(x, groupsize, scale, zero)", "cal_quant_error": "(x, q, h)", "my_round": "(x)",
    "opt_intW3": "(scale_out, zero_out, H00, sym, min_bound, max_bound, x0, x_init=None, "
                 "max_iter=0, lr=0.001, max_inner_iter=0, round_fn='gptq')",
    "round_gptq": "(W, scale_out, zero_out, sym, min_bound, max_bound, H00=None, **kwargs)",
    "safe_div": "(x, y)", "quantize": "(x, scale, zero, min_bound, max_bound, scale_out=None, zero_out=None, "
                                  "return_int=False, zero_no_shift=False)",
    "cal_quant_err_scale_zero": "(x, scale, zero, scale_out, zero_out, sym, min_bound, max_bound, "
                                "groupsize, h=None, x0=None, zero_no_shift=False)",
    "get_linear_eq": "(a, b, c, d, e, f)",
}

METHODS = {
    "MyAdam": (object, {"__init__": "(self, param, lr)", "step": "(self, grad)"}),
    "Quantizer": (torch.nn.Module, {
        "__init__": "(self, *args, **kwargs)",
        "configure": "(self, bits=4, perchannel=True, sym=False, grid=200, maxshrink=0.8, "
                     "thr=0.01, iters_for_scale=4, zero_no_shift=True)",
        "find_params": "(self, x, groupsize=-1, H=None, best=None, x0=None)",
        "get_scale_and_zero_out_group": "(self, x=None, scale=None, zero=None, H=None, "
                                        "groupsize=-1, x0=None, x_int=None, double_precision=True)",
        "get_scale_and_zero": "(self, xmin, xmax, x, h, scale_out=None, zero_out=None, best=None, "
                              "scale=None, zero=None, groupsize=-1, x0=None)",
        "get_minmax": "(self, x, groupsize)", "quant_via_minmax": "(self, x, groupsize, h, bestp=None)",
        "get_fake_int_in": "(self, x, scale, zero, groupsize=-1, zero_no_shift=None)",
        "get_scale_and_zero_out": "(self, x, scale, zero, h, x0=None, x_int=None)",
        "get_scale_out_sym": "(self, h, x0, x_int, groupsize=-1)",
        "get_scale_zero_by_minmax": "(self, xmax, xmin)", "free": "(self)"}),
    "decoupleQ": (object, {
        "__init__": "(self, layer, name='', print_log=False)", "add_batch": "(self, inp, out, mask)",
        "startquant": "(self, groupsize, symmetric, max_iter_num, inner_iters_for_round, "
                      "iters_before_round, dev, lr, actorder=True, round_fn='gptq', perdamp=0.01)",
        "free": "(self)"}),
    "GdqQuant": (object, {
        "__init__": "(self, ir, param, quant_tab)", "_get_w_b": "(self, model)",
        "_sess_input": "(self, sess, inputs_data_f)", "_sess_run": "(self, sess, inputs_data_f)",
        "quantize": "(self, layer, inp, w_name, quantizers, dev, print_log)",
        "run": "(self)"}),
}


def test_namespace_order():
    import torch.nn as nn
    from mivra.api import mivra_utils, session

    names = [n for n in vars(gq) if not n.startswith("_")]
    star = [n for n in vars(nn) if not n.startswith("_")]
    # A star-imported name that a later import rebinds keeps its first slot.
    assert names == list(dict.fromkeys(
        ["os", "copy", "np", "math", "time", "torch"] + star
        + ["nn", "preprocess_input", "get_input_img", "get_input_paths", "Session",
           "repeat_interleave", "cal_quant_error", "my_round", "MyAdam", "opt_intW3",
           "round_gptq", "safe_div", "quantize", "cal_quant_err_scale_zero",
           "get_linear_eq", "Quantizer", "decoupleQ", "GdqQuant"]))
    assert gq.np is np and gq.nn is nn and gq.Conv2d is nn.Conv2d and gq.Unfold is nn.Unfold
    assert gq.get_input_paths is mivra_utils.get_input_paths and gq.Session is session.Session
    assert gq.get_linear_eq.__doc__ == "\n Solve linear equations:\n ax+by=c\n dx+ey=f"


def test_signatures_and_classes():
    for name, sig in FUNCTIONS.items():
        assert str(inspect.signature(getattr(gq, name))) == sig, name
    for cls, (base, methods) in METHODS.items():
        assert (klass := getattr(gq, cls)).__bases__ == (base,) and klass.__module__ == "mivra.api.gdq_quant"
        assert [k for k in vars(klass) if callable(vars(klass)[k]) and not k.startswith("__")
                or k == "__init__"] == list(methods)
        for method, sig in methods.items():
            assert str(inspect.signature(getattr(klass, method))) == sig, (cls, method)


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
    (lambda: gq.Quantizer(1), None),  # handed on to nn.Module.__init__, which takes nothing
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError, match=message):
        call()


def test_keywords_plain_fields_and_collected_kwargs():
    q = gq.Quantizer()
    with pytest.raises(TypeError):  # an argument error does no work
        q.configure(bits=3, colour="red")
    assert not hasattr(q, "max_bound") and list(q.parameters()) == []
    q.configure(bits=2, sym=True, zero_no_shift=False)
    q.iters_for_scale = 1  # fields are plain, writable attributes
    assert (q.max_bound, q.min_bound, q.sym, q.zero_no_shift, q.iters_for_scale) == (1, -2, True, False, 1)
    assert gq.my_round(x=torch.tensor([2.5])).item() == 3
    assert inspect.unwrap(gq.opt_intW3) is not gq.opt_intW3  # wrapped by no_grad
    # round_gptq collects unknown keywords instead of rejecting them.
    W = torch.tensor([[0.26, -0.74]])
    Q, _ = gq.round_gptq(W.clone(), torch.full((1, 2), 0.5), torch.zeros(1, 2), True, -2, 1,
                         H00=torch.eye(2), x0=W, left=None, right=None, max_iter=3, opt=None)
    assert Q.tolist() == [[0.5, -0.5]]


def test_traceback_names_the_operation():
    q = gq.Quantizer()
    q.configure(sym=False)
    names = lambda info: [f.name for f in traceback.extract_tb(info.value.__traceback__)]  # noqa: E731
    with pytest.raises(AssertionError) as info:
        q.get_scale_out_sym(torch.eye(2), torch.ones(1, 2), torch.ones(1, 2))
    assert "mivra.api.gdq_quant.Quantizer.get_scale_out_sym" in names(info)
    with pytest.raises(AssertionError) as info:
        gq.cal_quant_error(torch.zeros(2), torch.zeros(2), torch.eye(2))
    assert names(info)[-1] == "mivra.api.gdq_quant.cal_quant_error"


@pytest.mark.parametrize("code,expected", [
    ("""
        import sys, importlib
        import mivra.api.gdq_quant
        del sys.modules["mivra.api.gdq_quant"]
        importlib.import_module("mivra.api.gdq_quant")
     """, "Module 'gdq_quant' has already been imported. Re-initialisation is not supported."),
    ("""
        import os
        import mivra.api.gdq_quant
        import _xxsubinterpreters as interpreters
        interpreters.run_string(interpreters.create(), "import sys; sys.path.insert(0, "
                                f"{os.getcwd()!r}); import mivra.api.gdq_quant")
     """, "Interpreter change detected - this module can only be loaded into one interpreter "
          "per process."),
    ("""
        import sys
        sys.modules["mivra.api.session"] = None  # the sibling module cannot be imported
        import mivra.api.gdq_quant
     """, "Error: import of mivra.api.session halted"),
], ids=["reinitialisation", "second_interpreter", "failed_dependency"])
def test_load_time_refusals(code, expected):
    r = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                       text=True, cwd=os.path.dirname(os.path.dirname(__file__)), timeout=120)
    assert r.returncode != 0 and expected in r.stderr, r.stderr
