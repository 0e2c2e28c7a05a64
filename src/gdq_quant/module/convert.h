#pragma once
// Conversions between host values and the core's values: tensor and number
// arguments, tensors handed back, a layer object's view for the solver and a
// Quantizer's fields as a QuantizerConfig. The only place that touches the
// tensor library's Python objects directly.
#include <ATen/core/Tensor.h>
#include <pybind11/pybind11.h>

#include <optional>
#include <string>

#include "quantizer/quantizer.h"
#include "solver/decoupleq.h"

namespace gdq {
namespace module {

namespace py = pybind11;

// The host's truth test (bool(h)); host errors propagate.
bool truthy(const py::handle& h);

// A tensor argument. Host numbers (bool, int, float) become wrapped-number
// tensors, as in the tensor library's own arithmetic with numbers: they take
// the dtype of the tensors they meet (a float64 x keeps the full value of 0.1,
// a float32 x stays float32). Anything else: TypeError naming `what`.
at::Tensor tensor_arg(const py::handle& h, const char* what);

// None -> absent, else tensor_arg.
OptTensor opt_tensor_arg(const py::handle& h, const char* what);

// The tensor held by h, or absent when h is no tensor (e.g. decoupleQ.H
// before the first batch).
OptTensor tensor_if_any(const py::handle& h);

// A grid bound: host ints (and bools) stay integral so that clamping keeps
// whole numbers; floats, 0-d tensors and numbers convertible by float() pass.
at::Scalar scalar_arg(const py::handle& h, const char* what);

// operator.index(h) and float(h), with the host's errors.
int64_t int_arg(const py::handle& h);
double double_arg(const py::handle& h);

// The host tensor for t (None for an undefined or absent tensor).
py::object wrap(const at::Tensor& t);
py::object wrap(const OptTensor& t);

// torch.nn, imported on use.
py::object torch_nn();

// The solver's view of a layer object: nn.Conv2d (explicit integer padding
// only: ValueError otherwise; its groups), a 2-D "Conv1D", nn.Linear; kind
// Other for anything else.
LayerView layer_view(const py::handle& layer);

// A Quantizer's fields as a QuantizerConfig.
QuantizerConfig read_config(const py::handle& self);

}  // namespace module
}  // namespace gdq
