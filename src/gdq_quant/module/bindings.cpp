// The binding layer: publishes every name of mivra.api.gdq_quant in one place.
//
// Classes are host classes (Quantizer derives from torch.nn.Module, the others
// from object) whose fields are plain attributes, readable and writable from
// Python; their methods are native functions that read the fields, call the
// core with plain structs and tensors, and write the fields back.
#include <torch/extension.h>

#include <c10/util/Exception.h>

#include "common/errors.h"
#include "common/host.h"
#include "common/threads.h"
#include "common/timing.h"
#include "driver/gdq_quant.h"
#include "kernels/adam.h"
#include "kernels/gptq.h"
#include "kernels/opt_intw.h"
#include "kernels/primitives.h"
#include "module/callable.h"
#include "quantizer/quantizer.h"
#include "solver/decoupleq.h"

namespace gdq {
namespace module {
namespace {

const char* const kModule = "mivra.api.gdq_quant";

// ---------------------------------------------------------------------------
// Conversions between host values and core values.

bool truthy(const py::handle& h) {
  int r = PyObject_IsTrue(h.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

std::string type_name(const py::handle& h) { return Py_TYPE(h.ptr())->tp_name; }

// A tensor argument. Host numbers become wrapped-number tensors, as in the
// tensor library's own arithmetic with numbers: they take the dtype of the
// tensors they meet (a float64 x keeps the full value of 0.1, a float32 x
// stays float32).
at::Tensor tensor_arg(const py::handle& h, const char* what) {
  if (THPVariable_Check(h.ptr())) return THPVariable_Unpack(h.ptr());
  if (PyBool_Check(h.ptr()) || PyLong_Check(h.ptr()) || PyFloat_Check(h.ptr())) {
    at::Tensor t = at::scalar_tensor(h.cast<double>(), at::TensorOptions().dtype(at::kDouble));
    t.unsafeGetTensorImpl()->set_wrapped_number(true);
    return t;
  }
  throw py::type_error(std::string(what) + " must be a tensor, got " + type_name(h));
}

OptTensor opt_tensor_arg(const py::handle& h, const char* what) {
  if (h.is_none()) return std::nullopt;
  return tensor_arg(h, what);
}

// A grid bound: host ints stay integral so that clamping keeps whole numbers.
at::Scalar scalar_arg(const py::handle& h, const char* what) {
  if (THPVariable_Check(h.ptr())) return THPVariable_Unpack(h.ptr()).item();
  if (PyBool_Check(h.ptr())) return at::Scalar(static_cast<int64_t>(truthy(h)));
  if (PyLong_Check(h.ptr())) return at::Scalar(h.cast<int64_t>());
  if (PyFloat_Check(h.ptr())) return at::Scalar(h.cast<double>());
  py::object as_float = py::reinterpret_steal<py::object>(PyNumber_Float(h.ptr()));
  if (!as_float) throw py::type_error(std::string(what) + " must be a number, got " + type_name(h));
  return at::Scalar(as_float.cast<double>());
}

int64_t int_arg(const py::handle& h) {
  py::object i = py::reinterpret_steal<py::object>(PyNumber_Index(h.ptr()));
  if (!i) throw py::error_already_set();
  return i.cast<int64_t>();
}

double double_arg(const py::handle& h) {
  double v = PyFloat_AsDouble(h.ptr());
  if (v == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return v;
}

py::object wrap(const at::Tensor& t) {
  if (!t.defined()) return py::none();
  return py::reinterpret_steal<py::object>(THPVariable_Wrap(t));
}

py::object wrap(const OptTensor& t) { return t ? wrap(*t) : py::none(); }

py::object torch_nn() { return py::module_::import("torch").attr("nn"); }

// The solver's view of a layer object: nn.Conv2d, a 2-D "Conv1D", nn.Linear.
LayerView layer_view(const py::handle& layer) {
  LayerView v;
  py::object nn = torch_nn();
  py::object weight = layer.attr("weight");
  v.weight = tensor_arg(weight.attr("data"), "layer.weight");
  auto pair = [](const py::handle& h) {
    py::tuple t = py::tuple(py::reinterpret_borrow<py::object>(h));
    return std::array<int64_t, 2>{t[0].cast<int64_t>(), t[1].cast<int64_t>()};
  };
  if (py::isinstance(layer, nn.attr("Conv2d"))) {
    v.kind = LayerKind::Conv2d;
    v.kernel_size = pair(layer.attr("kernel_size"));
    v.stride = pair(layer.attr("stride"));
    v.dilation = pair(layer.attr("dilation"));
    py::object padding = layer.attr("padding");
    if (py::isinstance<py::str>(padding))
      throw py::value_error("decoupleQ needs explicit integer padding, got '" +
                            padding.cast<std::string>() + "'");
    v.padding = pair(padding);
  } else if (py::str(py::type::handle_of(layer).attr("__name__")).cast<std::string>() ==
             "Conv1D") {
    v.kind = v.weight.dim() == 2 ? LayerKind::Conv1D : LayerKind::Other;
  } else if (py::isinstance(layer, nn.attr("Linear"))) {
    v.kind = LayerKind::Linear;
  }
  return v;
}

// Quantizer fields <-> QuantizerConfig.
QuantizerConfig read_config(const py::handle& self) {
  QuantizerConfig c = QuantizerConfig::configure();
  c.max_bound = int_arg(self.attr("max_bound"));
  c.min_bound = int_arg(self.attr("min_bound"));
  c.perchannel = truthy(self.attr("perchannel"));
  c.sym = truthy(self.attr("sym"));
  c.grid = int_arg(self.attr("grid"));
  c.maxshrink = double_arg(self.attr("maxshrink"));
  c.thr = double_arg(self.attr("thr"));
  c.iters_for_scale = int_arg(self.attr("iters_for_scale"));
  c.zero_no_shift = truthy(self.attr("zero_no_shift"));
  return c;
}

// ---------------------------------------------------------------------------
// The table of published callables.

py::object None() { return py::none(); }
py::object Int(int64_t v) { return py::int_(v); }
py::object Float(double v) { return py::float_(v); }
py::object Bool(bool v) { return py::bool_(v); }
py::object Str(const char* v) { return py::str(v); }

// Every call into the numerical core runs with ATen's thread count capped at
// the CPUs this process may use (common/threads.h).
Impl capped(Impl impl) {
  return [impl = std::move(impl)](const BoundArgs& a) {
    threads::IntraOpThreadCap cap;
    return impl(a);
  };
}

struct Builder {
  py::module_ m;

  py::object fn(const std::string& qualname, std::vector<Param> params, Impl impl,
                bool varargs = false, bool varkw = false) {
    return make(qualname, std::move(params), capped(std::move(impl)), varargs, varkw);
  }

  // A method cls.name(self, *params) for def_class.
  std::pair<std::string, py::object> method(const std::string& cls, const std::string& name,
                                            std::vector<Param> params, Impl impl,
                                            bool varargs = false, bool varkw = false) {
    params.insert(params.begin(), req("self"));
    return {name, fn(cls + "." + name, std::move(params), std::move(impl), varargs, varkw)};
  }

  // A method that works on host objects at the caller's thread count: the
  // driver's, which sets the count for the rest of the process and reaches
  // the core only through the capped entries.
  std::pair<std::string, py::object> host_method(const std::string& cls, const std::string& name,
                                                 std::vector<Param> params, Impl impl) {
    params.insert(params.begin(), req("self"));
    return {name, make(cls + "." + name, std::move(params), std::move(impl), false, false)};
  }

  void def(const std::string& name, std::vector<Param> params, Impl impl, bool varkw = false,
           std::string doc = "") {
    Signature sig{name, std::move(params), false, varkw, std::move(doc)};
    m.attr(name.c_str()) = make_function(kModule, sig, capped(std::move(impl)), false);
  }

  py::object make(const std::string& qualname, std::vector<Param> params, Impl impl,
                  bool varargs, bool varkw) {
    Signature sig{qualname, std::move(params), varargs, varkw, ""};
    bool is_method = qualname.find('.') != std::string::npos;
    return make_function(kModule, sig, std::move(impl), is_method);
  }

  // A host class built from (name, method) pairs in declaration order.
  void def_class(const std::string& name, const py::object& base,
                 const std::vector<std::pair<std::string, py::object>>& methods) {
    py::dict ns;
    ns["__module__"] = kModule;
    ns["__qualname__"] = name;
    for (const auto& [method, f] : methods) ns[method.c_str()] = f;
    py::object type = py::reinterpret_borrow<py::object>((PyObject*)&PyType_Type);
    m.attr(name.c_str()) = type(name, py::make_tuple(base), ns);
  }
};

// 1. Imports, in order: os, copy, numpy as np, math, time, torch, torch.nn.*,
//    the toolkit's utilities and Session.
void import_dependencies(py::module_& m) {
  for (const char* name : {"os", "copy"}) m.attr(name) = py::module_::import(name);
  m.attr("np") = py::module_::import("numpy");
  for (const char* name : {"math", "time", "torch"}) m.attr(name) = py::module_::import(name);
  py::module_ nn = py::module_::import("torch.nn");
  py::object all = py::getattr(nn, "__all__", py::none());
  if (!all.is_none()) {
    for (auto name : all) m.attr(name) = nn.attr(name);
  } else {
    for (auto item : nn.attr("__dict__").cast<py::dict>()) {
      std::string name = py::str(item.first);
      if (!name.empty() && name[0] != '_') m.attr(item.first) = item.second;
    }
  }
  std::string package = py::str(m.attr("__package__"));
  py::module_ utils = py::module_::import((package + ".mivra_utils").c_str());
  for (const char* name : {"preprocess_input", "get_input_img", "get_input_paths"})
    m.attr(name) = utils.attr(name);
  m.attr("Session") = py::module_::import((package + ".session").c_str()).attr("Session");
}

// 2-5. Numeric functions and MyAdam.
void def_kernels(Builder& b) {
  b.def("repeat_interleave", {req("x"), req("groupsize"), req("scale"), req("zero")},
        [](const BoundArgs& a) {
          at::Tensor x = tensor_arg(a[0], "x");
          auto [s, z] = repeat_interleave(x.sizes(), int_arg(a[1]), opt_tensor_arg(a[2], "scale"),
                                          opt_tensor_arg(a[3], "zero"));
          return py::object(py::make_tuple(wrap(s), wrap(z)));
        });
  b.def("cal_quant_error", {req("x"), req("q"), req("h")}, [](const BoundArgs& a) {
    return wrap(cal_quant_error(tensor_arg(a[0], "x"), tensor_arg(a[1], "q"),
                                tensor_arg(a[2], "h")));
  });
  b.def("my_round", {req("x")},
        [](const BoundArgs& a) { return wrap(my_round(tensor_arg(a[0], "x"))); });

  b.def_class(
      "MyAdam", py::reinterpret_borrow<py::object>((PyObject*)&PyBaseObject_Type),
      {{"__init__", b.fn("MyAdam.__init__", {req("self"), req("param"), req("lr")},
                         [](const BoundArgs& a) {
                           const py::object& self = a[0];
                           double lr = double_arg(a[2]);
                           AdamState st(tensor_arg(a[1], "param"), lr);
                           self.attr("param") = a[1];
                           self.attr("lr") = lr;
                           self.attr("t") = 0;
                           self.attr("exp_avg") = wrap(st.exp_avg);
                           self.attr("exp_avg_sq") = wrap(st.exp_avg_sq);
                           self.attr("beta1") = st.beta1;
                           self.attr("beta2") = st.beta2;
                           self.attr("eps") = st.eps;
                           return None();
                         })},
       {"step", b.fn("MyAdam.step", {req("self"), req("grad")}, [](const BoundArgs& a) {
          const py::object& self = a[0];
          AdamState st;
          st.param = tensor_arg(self.attr("param"), "param");
          st.lr = double_arg(self.attr("lr"));
          st.t = int_arg(self.attr("t"));
          st.exp_avg = tensor_arg(self.attr("exp_avg"), "exp_avg");
          st.exp_avg_sq = tensor_arg(self.attr("exp_avg_sq"), "exp_avg_sq");
          st.beta1 = double_arg(self.attr("beta1"));
          st.beta2 = double_arg(self.attr("beta2"));
          st.eps = double_arg(self.attr("eps"));
          st.step(tensor_arg(a[1], "grad"));
          self.attr("t") = st.t;
          return None();
        })}});

  py::object opt_intw = b.fn(
      "opt_intW3",
      {req("scale_out"), req("zero_out"), req("H00"), req("sym"), req("min_bound"),
       req("max_bound"), req("x0"), opt("x_init", None()), opt("max_iter", Int(0)),
       opt("lr", Float(0.001)), opt("max_inner_iter", Int(0)), opt("round_fn", Str("gptq"))},
      [](const BoundArgs& a) {
        OptIntResult r = opt_intW3(
            tensor_arg(a[0], "scale_out"), tensor_arg(a[1], "zero_out"), tensor_arg(a[2], "H00"),
            truthy(a[3]), scalar_arg(a[4], "min_bound"), scalar_arg(a[5], "max_bound"),
            tensor_arg(a[6], "x0"), opt_tensor_arg(a[7], "x_init"), int_arg(a[8]),
            double_arg(a[9]), int_arg(a[10]), py::str(a[11]).cast<std::string>());
        return py::object(py::make_tuple(wrap(r.w_int), wrap(r.f1), wrap(r.loss)));
      });
  // Published already wrapped, so that every call runs without autograd.
  b.m.attr("opt_intW3") = py::module_::import("torch").attr("no_grad")()(opt_intw);

  b.def(
      "round_gptq",
      {req("W"), req("scale_out"), req("zero_out"), req("sym"), req("min_bound"), req("max_bound"),
       opt("H00", None())},
      [](const BoundArgs& a) {
        if (a[6].is_none()) throw py::type_error("round_gptq() needs the Hessian H00, got None");
        at::Tensor W = tensor_arg(a[0], "W");
        GptqResult r = round_gptq(W, tensor_arg(a[1], "scale_out"), tensor_arg(a[2], "zero_out"),
                                  scalar_arg(a[4], "min_bound"), scalar_arg(a[5], "max_bound"),
                                  tensor_arg(a[6], "H00"));
        return py::object(py::make_tuple(wrap(r.Q), wrap(r.newW)));
      },
      /*varkw=*/true);
  b.def("safe_div", {req("x"), req("y")}, [](const BoundArgs& a) {
    return wrap(safe_div(tensor_arg(a[0], "x"), tensor_arg(a[1], "y")));
  });
  b.def("quantize",
        {req("x"), req("scale"), req("zero"), req("min_bound"), req("max_bound"),
         opt("scale_out", None()), opt("zero_out", None()), opt("return_int", Bool(false)),
         opt("zero_no_shift", Bool(false))},
        [](const BoundArgs& a) {
          return wrap(quantize(tensor_arg(a[0], "x"), tensor_arg(a[1], "scale"),
                               tensor_arg(a[2], "zero"), scalar_arg(a[3], "min_bound"),
                               scalar_arg(a[4], "max_bound"), opt_tensor_arg(a[5], "scale_out"),
                               opt_tensor_arg(a[6], "zero_out"), truthy(a[7]), truthy(a[8])));
        });
  b.def("cal_quant_err_scale_zero",
        {req("x"), req("scale"), req("zero"), req("scale_out"), req("zero_out"), req("sym"),
         req("min_bound"), req("max_bound"), req("groupsize"), opt("h", None()),
         opt("x0", None()), opt("zero_no_shift", Bool(false))},
        [](const BoundArgs& a) {
          return wrap(cal_quant_err_scale_zero(
              tensor_arg(a[0], "x"), tensor_arg(a[1], "scale"), tensor_arg(a[2], "zero"),
              opt_tensor_arg(a[3], "scale_out"), opt_tensor_arg(a[4], "zero_out"),
              scalar_arg(a[6], "min_bound"), scalar_arg(a[7], "max_bound"), int_arg(a[8]),
              opt_tensor_arg(a[9], "h"), opt_tensor_arg(a[10], "x0"), truthy(a[11])));
        });
  b.def("get_linear_eq", {req("a"), req("b"), req("c"), req("d"), req("e"), req("f")},
        [](const BoundArgs& a) {
          auto [x, y] = get_linear_eq(tensor_arg(a[0], "a"), tensor_arg(a[1], "b"),
                                      tensor_arg(a[2], "c"), tensor_arg(a[3], "d"),
                                      tensor_arg(a[4], "e"), tensor_arg(a[5], "f"));
          return py::object(py::make_tuple(wrap(x), wrap(y)));
        },
        false, "\n Solve linear equations:\n ax+by=c\n dx+ey=f");
}

// 6. Quantizer (a torch.nn.Module).
void def_quantizer(Builder& b) {
  auto method = [&](const std::string& name, std::vector<Param> params, Impl impl,
                    bool varargs = false, bool varkw = false) {
    return b.method("Quantizer", name, std::move(params), std::move(impl), varargs, varkw);
  };
  auto t = [](const BoundArgs& a, size_t i, const char* what) { return tensor_arg(a[i], what); };
  auto ot = [](const BoundArgs& a, size_t i, const char* what) {
    return opt_tensor_arg(a[i], what);
  };
  auto out3 = [](const OutParams& r) {
    return py::object(py::make_tuple(wrap(r.scale_out), wrap(r.zero_out), wrap(r.err)));
  };
  std::vector<std::pair<std::string, py::object>> methods;
  methods.push_back(method(
      "__init__", {},
      [](const BoundArgs& a) {
        torch_nn().attr("Module").attr("__init__")(a[0], *a.extra_args, **a.extra_kwargs);
        return None();
      },
      /*varargs=*/true, /*varkw=*/true));
  methods.push_back(method(
      "configure",
      {opt("bits", Int(4)), opt("perchannel", Bool(true)), opt("sym", Bool(false)),
       opt("grid", Int(200)), opt("maxshrink", Float(0.8)), opt("thr", Float(0.01)),
       opt("iters_for_scale", Int(4)), opt("zero_no_shift", Bool(true))},
      [](const BoundArgs& a) {
        const py::object& self = a[0];
        QuantizerConfig c = QuantizerConfig::configure(int_arg(a[1]));
        self.attr("max_bound") = c.max_bound;
        self.attr("min_bound") = c.min_bound;
        const char* names[] = {"perchannel", "sym", "grid", "maxshrink",
                               "thr", "iters_for_scale", "zero_no_shift"};
        for (size_t i = 0; i < 7; ++i) self.attr(names[i]) = a[i + 2];
        return None();
      }));
  methods.push_back(method(
      "find_params",
      {req("x"), opt("groupsize", Int(-1)), opt("H", None()), opt("best", None()),
       opt("x0", None())},
      [=](const BoundArgs& a) {
        Params p = find_params(read_config(a[0]), t(a, 1, "x"), int_arg(a[2]), ot(a, 3, "H"),
                               ot(a, 5, "x0"));
        return py::object(py::make_tuple(wrap(p.scale), wrap(p.zero), wrap(p.scale_out),
                                         wrap(p.zero_out), wrap(p.best)));
      }));
  methods.push_back(method(
      "get_scale_and_zero_out_group",
      {opt("x", None()), opt("scale", None()), opt("zero", None()), opt("H", None()),
       opt("groupsize", Int(-1)), opt("x0", None()), opt("x_int", None()),
       opt("double_precision", Bool(true))},
      [=](const BoundArgs& a) {
        return out3(get_scale_and_zero_out_group(
            read_config(a[0]), ot(a, 1, "x"), ot(a, 2, "scale"), ot(a, 3, "zero"), ot(a, 4, "H"),
            int_arg(a[5]), ot(a, 6, "x0"), ot(a, 7, "x_int"), truthy(a[8])));
      }));
  methods.push_back(method(
      "get_scale_and_zero",
      {req("xmin"), req("xmax"), req("x"), req("h"), opt("scale_out", None()),
       opt("zero_out", None()), opt("best", None()), opt("scale", None()), opt("zero", None()),
       opt("groupsize", Int(-1)), opt("x0", None())},
      [=](const BoundArgs& a) {
        ShrinkResult r = get_scale_and_zero(
            read_config(a[0]), t(a, 1, "xmin"), t(a, 2, "xmax"), t(a, 3, "x"), t(a, 4, "h"),
            ot(a, 5, "scale_out"), ot(a, 6, "zero_out"), ot(a, 7, "best"), ot(a, 8, "scale"),
            ot(a, 9, "zero"), int_arg(a[10]), ot(a, 11, "x0"));
        return py::object(
            py::make_tuple(wrap(r.scale), wrap(r.zero), wrap(r.best), wrap(r.bestp)));
      }));
  methods.push_back(method("get_minmax", {req("x"), req("groupsize")}, [=](const BoundArgs& a) {
    auto [xmin, xmax] = get_minmax(read_config(a[0]), t(a, 1, "x"), int_arg(a[2]));
    return py::object(py::make_tuple(wrap(xmin), wrap(xmax)));
  }));
  methods.push_back(method(
      "quant_via_minmax", {req("x"), req("groupsize"), req("h"), opt("bestp", None())},
      [=](const BoundArgs& a) {
        auto [q, bestp] = quant_via_minmax(read_config(a[0]), t(a, 1, "x"), int_arg(a[2]),
                                           t(a, 3, "h"), ot(a, 4, "bestp"));
        return py::object(py::make_tuple(wrap(q), wrap(bestp)));
      }));
  methods.push_back(method(
      "get_fake_int_in",
      {req("x"), req("scale"), req("zero"), opt("groupsize", Int(-1)),
       opt("zero_no_shift", None())},
      [=](const BoundArgs& a) {
        std::optional<bool> zns;
        if (!a[5].is_none()) zns = truthy(a[5]);
        return wrap(get_fake_int_in(read_config(a[0]), t(a, 1, "x"), t(a, 2, "scale"),
                                    t(a, 3, "zero"), int_arg(a[4]), zns));
      }));
  methods.push_back(method(
      "get_scale_and_zero_out",
      {req("x"), req("scale"), req("zero"), req("h"), opt("x0", None()), opt("x_int", None())},
      [=](const BoundArgs& a) {
        return out3(get_scale_and_zero_out(read_config(a[0]), ot(a, 1, "x"), ot(a, 2, "scale"),
                                           ot(a, 3, "zero"), t(a, 4, "h"), ot(a, 5, "x0"),
                                           ot(a, 6, "x_int")));
      }));
  methods.push_back(method(
      "get_scale_out_sym", {req("h"), req("x0"), req("x_int"), opt("groupsize", Int(-1))},
      [=](const BoundArgs& a) {
        auto [s, err] = get_scale_out_sym(read_config(a[0]), t(a, 1, "h"), t(a, 2, "x0"),
                                          t(a, 3, "x_int"), int_arg(a[4]));
        return py::object(py::make_tuple(wrap(s), wrap(err)));
      }));
  methods.push_back(method("get_scale_zero_by_minmax", {req("xmax"), req("xmin")},
                           [=](const BoundArgs& a) {
                             auto [s, z] = get_scale_zero_by_minmax(
                                 read_config(a[0]), t(a, 1, "xmax"), t(a, 2, "xmin"));
                             return py::object(py::make_tuple(wrap(s), wrap(z)));
                           }));
  methods.push_back(method("free", {}, [](const BoundArgs&) { return None(); }));
  b.def_class("Quantizer", torch_nn().attr("Module"), methods);
}

// 7. decoupleQ: one layer's statistics and its solver.
void def_decoupleq(Builder& b) {
  auto method = [&](const std::string& name, std::vector<Param> params, Impl impl) {
    return b.method("decoupleQ", name, std::move(params), std::move(impl));
  };
  std::vector<std::pair<std::string, py::object>> methods;
  methods.push_back(method(
      "__init__", {req("layer"), opt("name", Str("")), opt("print_log", Bool(false))},
      [](const BoundArgs& a) {
        const py::object& self = a[0];
        LayerView v = layer_view(a[1]);
        at::Tensor W = weight_matrix(v, v.weight);  // NotSupported for other kinds
        self.attr("layer") = a[1];
        self.attr("rows") = W.size(0);
        self.attr("columns") = W.size(1);
        self.attr("H") = 0;
        self.attr("nsamples") = 0;
        self.attr("print_log") = a[3];
        return None();
      }));
  methods.push_back(method(
      "add_batch", {req("inp"), req("out"), req("mask")}, [](const BoundArgs& a) {
        const py::object& self = a[0];
        LayerView v = layer_view(self.attr("layer"));
        if (v.kind == LayerKind::Other) throw NotSupported("not support yet");
        HessianState st;
        py::object H = self.attr("H");
        if (THPVariable_Check(H.ptr())) st.H = THPVariable_Unpack(H.ptr());
        py::object n = self.attr("nsamples");
        st.nsamples = double_arg(n);
        OptTensor mask = opt_tensor_arg(a[3], "mask");
        add_batch(st, v, tensor_arg(a[1], "inp"), mask);
        if (st.H.defined()) self.attr("H") = wrap(st.H);
        const bool integral = !mask && PyLong_Check(n.ptr()) &&
                              st.nsamples == static_cast<double>(int64_t(st.nsamples));
        if (integral)
          self.attr("nsamples") = int64_t(st.nsamples);
        else
          self.attr("nsamples") = st.nsamples;
        return None();
      }));
  methods.push_back(method(
      "startquant",
      {req("groupsize"), req("symmetric"), req("max_iter_num"), req("inner_iters_for_round"),
       req("iters_before_round"), req("dev"), req("lr"), opt("actorder", Bool(true)),
       opt("round_fn", Str("gptq")), opt("perdamp", Float(0.01))},
      [](const BoundArgs& a) {
        const py::object& self = a[0];
        py::object layer = self.attr("layer");
        LayerView v = layer_view(layer);
        if (v.kind == LayerKind::Other) throw NotSupported("");
        py::object H = self.attr("H");  // AttributeError once consumed
        if (!THPVariable_Check(H.ptr()))
          throw py::value_error("decoupleQ.startquant needs the statistics of at least one "
                                "batch (add_batch), but H is " +
                                py::repr(H).cast<std::string>());
        at::Tensor Hs = THPVariable_Unpack(H.ptr());
        std::string nsamples = py::str(self.attr("nsamples"));
        py::object quantizer = self.attr("quantizer");
        QuantizerConfig cfg = read_config(quantizer);
        StartQuantArgs args;
        args.groupsize = int_arg(a[1]);
        args.symmetric = truthy(a[2]);
        args.max_iter_num = int_arg(a[3]);
        args.inner_iters_for_round = int_arg(a[4]);
        args.iters_before_round = int_arg(a[5]);
        args.dev = py::str(a[6]).cast<std::string>();
        args.lr = double_arg(a[7]);
        args.actorder = truthy(a[8]);
        args.round_fn = py::str(a[9]).cast<std::string>();
        args.perdamp = double_arg(a[10]);
        args.print_log = truthy(self.attr("print_log"));
        py::delattr(self, "H");
        // The solver leaves iters_for_scale at 0 or max(entry value, 2); the
        // field follows it even when the solve fails.
        struct WriteBack {
          py::object q;
          QuantizerConfig* c;
          ~WriteBack() {
            PyObject *t, *v, *tb;
            PyErr_Fetch(&t, &v, &tb);
            if (PyObject_SetAttrString(q.ptr(), "iters_for_scale",
                                       py::int_(c->iters_for_scale).ptr()) < 0)
              PyErr_Clear();
            PyErr_Restore(t, v, tb);
          }
        } write_back{quantizer, &cfg};
        StartQuantResult r = startquant(v, Hs, nsamples, cfg, args);
        layer.attr("weight").attr("data") = wrap(r.Q);
        return py::object(
            py::make_tuple(wrap(r.scale_out), wrap(r.zero_out), wrap(r.w_int), wrap(r.err)));
      }));
  methods.push_back(method("free", {}, [](const BoundArgs& a) {
    a[0].attr("H") = py::none();
    host::empty_cache();
    return None();
  }));
  b.def_class("decoupleQ", py::reinterpret_borrow<py::object>((PyObject*)&PyBaseObject_Type),
              methods);
}

// 8. GdqQuant: the pass over the model.
void def_driver(Builder& b) {
  auto method = [&](const std::string& name, std::vector<Param> params, Impl impl) {
    return b.host_method("GdqQuant", name, std::move(params), std::move(impl));
  };
  b.def_class(
      "GdqQuant", py::reinterpret_borrow<py::object>((PyObject*)&PyBaseObject_Type),
      {method("__init__", {req("ir"), req("param"), req("quant_tab")},
              [](const BoundArgs& a) {
                driver::init(a[0], a[1], a[2], a[3]);
                return None();
              }),
       method("_get_w_b", {req("model")},
              [](const BoundArgs& a) { return py::object(driver::get_w_b(a[0], a[1])); }),
       method("_sess_input", {req("sess"), req("inputs_data_f")},
              [](const BoundArgs& a) {
                driver::sess_input(a[0], a[1], a[2]);
                return None();
              }),
       method("_sess_run", {req("sess"), req("inputs_data_f")},
              [](const BoundArgs& a) {
                driver::sess_run(a[0], a[1], a[2]);
                return None();
              }),
       method("quantize",
              {req("layer"), req("inp"), req("w_name"), req("quantizers"), req("dev"),
               req("print_log")},
              [](const BoundArgs& a) {
                driver::quantize(a[0], a[1], a[2], a[3], a[4], a[5], a[6]);
                return None();
              }),
       method("run", {}, [](const BoundArgs& a) { return driver::run(a[0]); })});
}

// ---------------------------------------------------------------------------
// Host services for the core and error translation.

void install_host_hooks() {
  host::Hooks h;
  h.print = [](const std::vector<std::string>& args) {
    py::tuple t(args.size());
    for (size_t i = 0; i < args.size(); ++i) t[i] = py::str(args[i]);
    py::module_::import("builtins").attr("print")(*t);
  };
  h.float_text = [](double v) { return py::repr(py::float_(v)).cast<std::string>(); };
  h.tensor_text = [](const at::Tensor& t) { return py::str(wrap(t)).cast<std::string>(); };
  h.empty_cache = [] { py::module_::import("torch").attr("cuda").attr("empty_cache")(); };
  h.debug_shell = [](const std::string& header) {
    py::module_ sys = py::module_::import("sys");
    bool interactive = false;
    try {
      interactive = truthy(sys.attr("stdin").attr("isatty")());
    } catch (py::error_already_set&) {
    }
    if (!interactive) {
      // No terminal to talk to: say so and go on rather than block the run.
      py::module_::import("builtins").attr("print")(
          py::str(header), "(no interactive terminal; debugging shell skipped)");
      return;
    }
    py::module_::import("IPython").attr("embed")(py::arg("header") = header);
  };
  host::install(std::move(h));
}

template <typename E>
void set_torch_error(const char* torch_attr, const E& e) {
  py::object type = py::module_::import("torch").attr(torch_attr);
  PyErr_SetString(type.ptr(), e.what_without_backtrace());
}

void register_translators() {
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const AssertionNone&) {
      PyObject* e = PyObject_CallOneArg(PyExc_AssertionError, Py_None);
      if (e) {
        PyErr_SetObject(PyExc_AssertionError, e);
        Py_DECREF(e);
      }
    } catch (const AssertionFailure&) {
      PyErr_SetNone(PyExc_AssertionError);
    } catch (const FatalError& e) {
      PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const NotSupported& e) {
      if (std::string(e.what()).empty())
        PyErr_SetNone(PyExc_NotImplementedError);
      else
        PyErr_SetString(PyExc_NotImplementedError, e.what());
    } catch (const c10::OutOfMemoryError& e) {
      set_torch_error("OutOfMemoryError", e);
    } catch (const c10::LinAlgError& e) {
      PyErr_SetString(py::module_::import("torch").attr("linalg").attr("LinAlgError").ptr(),
                      e.what_without_backtrace());
    } catch (const c10::IndexError& e) {
      PyErr_SetString(PyExc_IndexError, e.what_without_backtrace());
    } catch (const c10::ValueError& e) {
      PyErr_SetString(PyExc_ValueError, e.what_without_backtrace());
    } catch (const c10::TypeError& e) {
      PyErr_SetString(PyExc_TypeError, e.what_without_backtrace());
    } catch (const c10::NotImplementedError& e) {
      PyErr_SetString(PyExc_NotImplementedError, e.what_without_backtrace());
    } catch (const c10::Error& e) {
      PyErr_SetString(PyExc_RuntimeError, e.what_without_backtrace());
    }
  });
}

// Fills the module namespace in its fixed order of creation.
void populate(py::module_ m) {
  import_dependencies(m);
  register_translators();
  install_host_hooks();
  Builder b{m};
  def_kernels(b);
  def_quantizer(b);
  def_decoupleq(b);
  def_driver(b);
  driver::set_namespace(m.attr("__dict__"));
  // Private entries for tests and benchmarks: GPTQ rounding with an explicit
  // block size, the CPUs the core's thread cap allows, and per-stage solver
  // timing.
  m.attr("_round_gptq") = b.fn(
      "_round_gptq",
      {req("W"), req("scale_out"), req("zero_out"), req("min_bound"), req("max_bound"),
       req("H00"), req("blocksize")},
      [](const BoundArgs& a) {
        at::Tensor W = tensor_arg(a[0], "W");
        GptqResult r = round_gptq(W, tensor_arg(a[1], "scale_out"), tensor_arg(a[2], "zero_out"),
                                  scalar_arg(a[3], "min_bound"), scalar_arg(a[4], "max_bound"),
                                  tensor_arg(a[5], "H00"), int_arg(a[6]));
        return py::object(py::make_tuple(wrap(r.Q), wrap(r.newW)));
      });
  m.attr("_available_cpus") = b.fn("_available_cpus", {}, [](const BoundArgs&) {
    return py::object(py::int_(threads::available_cpus()));
  });
  m.attr("_stage_timing") = b.fn("_stage_timing", {req("on")}, [](const BoundArgs& a) {
    timing::enable(truthy(a[0]));
    return None();
  });
  m.attr("_stage_times") = b.fn("_stage_times", {}, [](const BoundArgs&) {
    py::dict d;
    for (auto& kv : timing::take()) d[py::str(kv.first)] = kv.second;
    return py::object(d);
  });
  // Test seam: arms a named fault site of the core for the next `count` polls.
  m.attr("_arm_fault") = b.fn("_arm_fault", {req("site"), req("count")}, [](const BoundArgs& a) {
    host::arm(py::str(a[0]).cast<std::string>(), int_arg(a[1]));
    return None();
  });
}

// ---------------------------------------------------------------------------
// Load-time rules: one interpreter per process, one initialisation.

int64_t g_interpreter = -1;
bool g_initialised = false;

PyObject* module_create(PyObject* import_info, PyModuleDef*) {
  int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return nullptr;
  if (g_interpreter == -1) {
    g_interpreter = id;
  } else if (g_interpreter != id) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return nullptr;
  }
  PyObject* name = PyObject_GetAttrString(import_info, "name");
  if (!name) return nullptr;
  PyObject* m = PyModule_NewObject(name);
  Py_DECREF(name);
  return m;
}

int module_exec(PyObject* m) {
  if (g_initialised) {
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'gdq_quant' has already been imported. Re-initialisation is not "
                    "supported.");
    return -1;
  }
  try {
    populate(py::reinterpret_borrow<py::module_>(m));
  } catch (...) {
    set_error_from_current_exception();
    return -1;
  }
  g_initialised = true;
  return 0;
}

PyModuleDef_Slot g_slots[] = {{Py_mod_create, (void*)module_create},
                              {Py_mod_exec, (void*)module_exec},
                              {0, nullptr}};

PyModuleDef g_def = {PyModuleDef_HEAD_INIT,
                     "gdq_quant",
                     "Hessian-weighted low-bit weight quantization of ONNX convolutions.",
                     0,
                     nullptr,
                     g_slots,
                     nullptr,
                     nullptr,
                     nullptr};

}  // namespace
}  // namespace module
}  // namespace gdq

extern "C" PYBIND11_EXPORT PyObject* PyInit_gdq_quant() {
  return PyModuleDef_Init(&gdq::module::g_def);
}
