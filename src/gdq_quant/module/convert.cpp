#include "module/convert.h"

#include <torch/csrc/autograd/python_variable.h>

#include <array>

namespace gdq {
namespace module {
namespace {

std::string type_name(const py::handle& h) { return Py_TYPE(h.ptr())->tp_name; }

}  // namespace

bool truthy(const py::handle& h) {
  int r = PyObject_IsTrue(h.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

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

OptTensor tensor_if_any(const py::handle& h) {
  if (!THPVariable_Check(h.ptr())) return std::nullopt;
  return THPVariable_Unpack(h.ptr());
}

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
    v.groups = layer.attr("groups").cast<int64_t>();
  } else if (py::str(py::type::handle_of(layer).attr("__name__")).cast<std::string>() ==
             "Conv1D") {
    v.kind = v.weight.dim() == 2 ? LayerKind::Conv1D : LayerKind::Other;
  } else if (py::isinstance(layer, nn.attr("Linear"))) {
    v.kind = LayerKind::Linear;
  }
  return v;
}

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

}  // namespace module
}  // namespace gdq
