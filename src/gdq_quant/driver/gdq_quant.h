#pragma once
// The quantization pass over a whole model: GdqQuant.
//
// The driver orchestrates host objects (the toolkit's model object, its
// inference sessions, NumPy calibration arrays, the parameter and table
// dicts), so it works on them through pybind11 handles; every numerical step
// runs in the core through the module's published classes decoupleQ and
// Quantizer.
#include <pybind11/pybind11.h>

namespace gdq {
namespace driver {

namespace py = pybind11;

// The module namespace the driver resolves its collaborators in (Session,
// get_input_paths, decoupleQ, Quantizer, np, torch, ...). Set once at load.
void set_namespace(py::dict globals);

// GdqQuant(ir, param, quant_tab): ir copied with ir.deepcopy(), param and
// quant_tab kept by reference, input_paths from get_input_paths.
void init(py::object self, py::object ir, py::object param, py::object quant_tab);

// (w, w_np, w_name, b, b_np, b_name) of the single node of a layer model;
// None where not found among the initializers.
py::tuple get_w_b(py::object self, py::object model);

// Loads and preprocesses every model input the session reads that is not in
// inputs_data_f yet: one (N, ...) array per input.
void sess_input(py::object self, py::object sess, py::object inputs_data_f);

// Runs the session once per calibration sample and stores each output as one
// (N, ...) array under the output's name.
void sess_run(py::object self, py::object sess, py::object inputs_data_f);

// Quantizes one nn.Conv2d from its calibration inputs inp (N, B, C, H, W) and
// stores the result record under quantizers[w_name].
void quantize(py::object self, py::object layer, py::object inp, py::object w_name,
              py::object quantizers, py::object dev, py::object print_log);

// The whole pass; writes quant_tab after the last layer. Returns 0.
py::object run(py::object self);

}  // namespace driver
}  // namespace gdq
